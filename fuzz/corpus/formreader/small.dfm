object F: TFuzzForm
  object A: TFuzzControl
    Left = -1
    Color = $80000005
  end
end
