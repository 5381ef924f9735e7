object MainForm: TFuzzForm
  Caption = 'Velmora  '#304'stanbul'
  object Panel1: TFuzzControl
    Left = 8
    Bevel.BevelOuter = bvRaised
    Anchors = [akLeft, akTop]
    object Button1: TFuzzControl
      Caption = 'Kayda Ba' +
        'şla'
      OnClick = Button1Click
      Buddy = Label1
    end
  end
  object Label1: TFuzzControl
    Caption = 'Dosya :'
    Scale = 1.5E2
    Small = $FF
    Color = clBtnFace
    Visible = False
    Align = alClient
    Lines = (
      'first'
      'it''s')
    Data = {
      0001FF
      7E}
    Blob = {CAFE}
  end
end
