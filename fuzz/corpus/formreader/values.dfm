object F: TFuzzForm
  object A: TFuzzControl
    Anchors = []
    Align = ALTOP
    Lines = (
      ''
      'a'#9'b'
      'it''s')
    Scale = -1.25e-300
    Small = 0
    Color = -2147483633
    OnClick = nil
    Buddy = F.B
  end
  object B: TFuzzControl
    Buddy = A
    Blob = {}
  end
end
