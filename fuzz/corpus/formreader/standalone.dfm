object Solo: TFuzzControl
  Caption = #13#10'x'
  Bevel.BevelWidth = 3
  object Inner: TFuzzControl
    Buddy = Solo
  end
end
