// korvane fetch: one acquisition, the waveforms of its channels to CSV and SVG.
#include "Commands.h"
#include "ExitCodes.h"
#include "Json.h"
#include "Plot.h"
#include "ToolSession.h"

#include <algorithm>
#include <cstdio>

namespace korvane::cli {

int CmdFetch(const Args& a) {
  if (a.positional.size() != 1) return Usage("fetch", "fetch takes one resource");
  if (a.channels.empty()) return Usage("fetch", "fetch needs --channel");
  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  HRESULT hr = S_OK;

  if (a.points > 0) {
    // The record length the instrument transfers.
    ComPtr<IKorvaneWaveform> wf;
    hr = s->get_Waveform(wf.Receive());
    if (SUCCEEDED(hr)) hr = wf->put_PointCount(a.points);
    if (FAILED(hr)) return Fail("set Waveform.PointCount", hr, s.get());
  }

  std::vector<Trace> traces;
  for (std::size_t k = 0; k < a.channels.size(); ++k) {
    const std::string& ch = a.channels[k];
    const std::string item = "Measurements.Item(" + ch + ")";
    ComPtr<IKorvaneMeasurement> m;
    hr = MeasurementItem(s.get(), ch, m);
    if (FAILED(hr)) return FailOnPath(item, hr, s.get(), item);
    SafeArrayPtr arr(SafeArrayCreateVector(VT_R8, 0, 0));
    SAFEARRAY* raw = arr.Detach();
    Trace t;
    t.name = ch;
    {
      Progress p("Reading " + ch);
      // The first channel acquires; the others are fetched from the same acquisition.
      hr = k == 0 ? m->ReadWaveform(a.timeoutMs, &raw, &t.initialX, &t.xIncrement)
                  : m->FetchWaveform(&raw, &t.initialX, &t.xIncrement);
    }
    arr = SafeArrayPtr(raw);
    if (FAILED(hr)) return Fail(std::string(k == 0 ? "ReadWaveform" : "FetchWaveform") + " of " + ch, hr, s.get());
    SafeArrayAccess<double> data(arr.get());
    if (!data.ok()) return Fail("reading the waveform array of " + ch, data.hr());
    t.volts.assign(data.data(), data.data() + data.size());
    if (a.points > 0 && t.volts.size() > static_cast<std::size_t>(a.points)) t.volts.resize(a.points);
    traces.push_back(std::move(t));
  }

  const std::string model = Identity(s.get(), &IIviDriverIdentity::get_InstrumentModel);
  const bool simulated = Simulating(s.get());
  double rate = 0;
  {
    ComPtr<IKorvaneAcquisition> acq;
    if (FAILED(s->get_Acquisition(acq.Receive())) || FAILED(acq->get_SampleRate(&rate)) || !(rate > 0))
      rate = traces[0].xIncrement > 0 ? 1.0 / traces[0].xIncrement : 0;
  }
  std::string names;
  for (const Trace& t : traces) names += (names.empty() ? "" : ", ") + t.name;
  const std::string title = names + " \xE2\x80\x94 " + model + ", " +
                            (rate > 0 ? Engineering(rate, "Sa/s") : std::string("sample rate unknown")) +
                            (simulated ? " (simulated)" : "");
  // The driver's simulation mode has no instrument to measure: the plot says so in place.
  const std::string note = simulated ? kSimulatedDataNote : "";
  if (a.csv.empty() && a.svg.empty() && !a.json) {
    std::fputs(CsvText(traces).c_str(), stdout);  // stdout holds the data alone, for pipes
    return kExitOk;
  }
  std::string error;
  if (!a.csv.empty() && !WriteFile(a.csv, CsvText(traces), error)) return Failure(error);
  if (!a.svg.empty() && !WriteFile(a.svg, SvgText(traces, title, note), error)) return Failure(error);
  if (a.json) {
    std::string out = "{\"model\": " + JsonString(model) + ", \"simulated\": " + (simulated ? "true" : "false") +
                      ", \"sample_rate\": " + JsonNumber(rate) + ", \"traces\": [";
    for (std::size_t k = 0; k < traces.size(); ++k) {
      const Trace& t = traces[k];
      double lo = 0, hi = 0;
      if (!t.volts.empty()) {
        const auto [mn, mx] = std::minmax_element(t.volts.begin(), t.volts.end());
        lo = *mn;
        hi = *mx;
      }
      out += std::string(k ? ", " : "") + "{\"channel\": " + JsonString(t.name) +
             ", \"points\": " + std::to_string(t.volts.size()) + ", \"initial_x\": " + JsonNumber(t.initialX) +
             ", \"x_increment\": " + JsonNumber(t.xIncrement) + ", \"min_volts\": " + JsonNumber(lo) +
             ", \"max_volts\": " + JsonNumber(hi) + "}";
    }
    out += "], \"files\": {\"csv\": " + (a.csv.empty() ? "null" : JsonString(a.csv)) +
           ", \"svg\": " + (a.svg.empty() ? "null" : JsonString(a.svg)) + "}}";
    std::printf("%s\n", out.c_str());
    return kExitOk;
  }
  for (const Trace& t : traces)
    std::printf("%-10s %zu points, x0 %s, dx %s\n", t.name.c_str(), t.volts.size(),
                Quantity(t.initialX, "s", a.human).c_str(), Quantity(t.xIncrement, "s", a.human).c_str());
  if (simulated) std::printf("note: %s\n", kSimulatedDataNote);
  return kExitOk;
}

}  // namespace korvane::cli
