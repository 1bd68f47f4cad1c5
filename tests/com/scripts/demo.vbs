' The demo's steps through late binding, as a VBScript user writes them. Run by cscript with
' the simulator's resource string; prints one line per step ("ok ..." or "FAIL ...") and exits
' with the number of failed steps.
Option Explicit
Dim resource, failures, drv, ch, names, count, meas, wf, x0, dx, freq, k
resource = WScript.Arguments(0)
failures = 0

Sub Check(ok, what)
  If ok Then
    WScript.Echo "ok " & what
  Else
    WScript.Echo "FAIL " & what
    failures = failures + 1
  End If
End Sub

Set drv = CreateObject("Korvane.Korvane")
drv.Initialize resource, True, True, "QueryInstrStatus=true"
Check drv.Initialized, "initialize"
Check Len(drv.Identity.InstrumentModel) > 0, "identity: " & drv.Identity.InstrumentManufacturer & " " & drv.Identity.InstrumentModel

drv.Timebase.HorizontalScale = 0.0002
Check Abs(drv.Timebase.HorizontalScale - 0.0002) < 1e-9, "timebase " & drv.Timebase.HorizontalScale

names = ""
count = 0
For Each ch In drv.Channels
  ch.Enabled = True
  If ch.Enabled Then count = count + 1
Next
For k = 1 To drv.Channels.Count
  names = names & drv.Channels.Name(k) & " "
Next
Check count = drv.Channels.Count And count > 0, "for each over " & count & " channels: " & names
Check drv.Channels("Channel1").Enabled, "default member Item"

Set meas = drv.Measurements.Item("Channel1")
meas.ReadWaveformMeasurement 2, 5000, freq
Check freq > 900 And freq < 1100, "frequency " & freq

On Error Resume Next
drv.Acquisition.Type = 99
Check Err.Number <> 0 And Len(Err.Description) > 0, "refused value: " & Hex(Err.Number) & " " & Err.Description & " (" & Err.Source & ")"
Err.Clear
On Error GoTo 0

meas.ReadWaveform 5000, wf, x0, dx
Check IsArray(wf), "waveform is an array"
Check UBound(wf) >= 99, "waveform of " & (UBound(wf) + 1) & " points, x increment " & dx
Check VarType(wf(0)) = vbDouble, "points are numbers"

' A script array where a method takes an array of doubles.
Dim points
points = Array(0.5, -0.25, 1, 0)
On Error Resume Next
drv.WaveformGenerator2.Arbitrary.SetData points
Check Err.Number = 0, "script array into SetData " & Err.Description
Err.Clear
On Error GoTo 0

drv.Close
Check Not drv.Initialized, "close"
WScript.Quit failures
