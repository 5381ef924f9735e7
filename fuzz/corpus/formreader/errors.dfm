object F: TFuzzForm
  object A: TFuzzControl
    Left = 'x'
    Buddy = Ghost
    Data = {ABC}
    Caption = 'open
  end
