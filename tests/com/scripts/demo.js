// The demo's steps through late binding, as a JScript user writes them. Run by cscript with
// the simulator's resource string; prints one line per step ("ok ..." or "FAIL ...") and exits
// with the number of failed steps. JScript passes arguments by value, so methods with
// [in, out] arguments hand back their array or value as the result.
var resource = WScript.Arguments(0);
var failures = 0;
function check(ok, what) {
  WScript.Echo((ok ? "ok " : "FAIL ") + what);
  if (!ok) failures++;
}

var drv = new ActiveXObject("Korvane.Korvane");
drv.Initialize(resource, true, true, "QueryInstrStatus=true");
check(drv.Initialized, "initialize");
check(drv.Identity.InstrumentModel.length > 0, "identity: " + drv.Identity.InstrumentModel);

drv.Timebase.HorizontalScale = 0.0002;
check(Math.abs(drv.Timebase.HorizontalScale - 0.0002) < 1e-9, "timebase " + drv.Timebase.HorizontalScale);

var count = 0;
for (var e = new Enumerator(drv.Channels); !e.atEnd(); e.moveNext()) {
  var ch = e.item();
  ch.Enabled = true;
  if (ch.Enabled) count++;
}
check(count == drv.Channels.Count && count > 0, "for each over " + count + " channels");

var meas = drv.Measurements.Item("Channel1");
var freq = meas.ReadWaveformMeasurement(2, 5000, 0);
check(freq > 900 && freq < 1100, "frequency " + freq);

try {
  drv.Acquisition.Type = 99;
  check(false, "refused value");
} catch (err) {
  check(err.number != 0 && err.description.length > 0, "refused value: " + err.number + " " + err.description);
}

var wf = new VBArray(meas.ReadWaveform(5000, null, 0, 0)).toArray();
check(wf.length >= 100 && typeof wf[0] == "number", "waveform of " + wf.length + " points");

try {
  drv.WaveformGenerator2.Arbitrary.SetData([0.5, -0.25, 1, 0]);
  check(true, "script array into SetData");
} catch (err) {
  check(false, "script array into SetData: " + err.description);
}

drv.Close();
check(!drv.Initialized, "close");
WScript.Quit(failures);
