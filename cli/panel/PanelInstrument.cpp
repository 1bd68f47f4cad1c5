#include "panel/PanelInstrument.h"

#include "ExitCodes.h"
#include "Json.h"
#include "ToolSession.h"

#include <korvane/ComHelpers.h>
#include <korvane/KorvaneCom.h>

#include <cctype>
#include <cmath>

namespace korvane::panel {
namespace {

using cli::JsonNumber;
using cli::JsonString;

// The I/O log goes to the panel's file, within the DriverSetup section the caller may have given.
std::string WithIoLog(const std::string& options, const std::string& file) {
  std::string upper = options;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.find("DRIVERSETUP") != std::string::npos) return options + ", IoLog=" + file;
  return options + (options.empty() ? "" : ", ") + "DriverSetup=IoLog=" + file;
}

constexpr double kInvalidResult = 9.9e37;  // the instrument's "no valid result"

std::string Failure(const std::string& what, HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  return what + " failed: " + code + " " + cli::LastErrorText();
}

}  // namespace

CPanelInstrument::~CPanelInstrument() { Shutdown(); }

int CPanelInstrument::Start(const std::string& resource, const cli::Args& a, const std::string& ioLog) {
  cli::Args args = a;
  if (!ioLog.empty()) args.options = WithIoLog(a.options, ioLog);
  std::promise<int> opened;
  std::future<int> rc = opened.get_future();
  thread_ = std::thread(
      [this, resource, args, p = std::move(opened)]() mutable { Run(resource, args, std::move(p)); });
  const int code = rc.get();
  if (code != cli::kExitOk) Shutdown();
  return code;
}

void CPanelInstrument::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(m_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

std::string CPanelInstrument::Call(std::function<std::string(IKorvane8*)> job) {
  // After the session closed, a job still queued is answered without a driver.
  std::packaged_task<std::string(IKorvane8*)> task([job = std::move(job)](IKorvane8* root) {
    return root ? job(root) : std::string("{\"ok\": false, \"error\": \"the panel is shutting down\"}");
  });
  std::future<std::string> result = task.get_future();
  {
    std::lock_guard<std::mutex> lock(m_);
    if (stop_) return "{\"ok\": false, \"error\": \"the panel is shutting down\"}";
    jobs_.push_back(std::move(task));
  }
  cv_.notify_all();
  return result.get();
}

void CPanelInstrument::SetMode(RunMode mode) {
  mode_ = mode;
  cv_.notify_all();
}

void CPanelInstrument::SetWatchers(int n) {
  {
    std::lock_guard<std::mutex> lock(m_);
    watchers_ = n;
  }
  cv_.notify_all();
}

void CPanelInstrument::SetMeasurements(const std::string& channel, std::vector<std::string> names) {
  std::lock_guard<std::mutex> lock(m_);
  measureChannel_ = channel;
  measureNames_ = std::move(names);
  lastMeasure_ = {};
}

void CPanelInstrument::SetListeners(std::function<void(std::shared_ptr<const Record>)> onRecord,
                                    std::function<void(const std::string&)> onMeasurements) {
  std::lock_guard<std::mutex> lock(m_);
  onRecord_ = std::move(onRecord);
  onMeasurements_ = std::move(onMeasurements);
}

std::shared_ptr<const Record> CPanelInstrument::Latest() const {
  std::lock_guard<std::mutex> lock(m_);
  return latest_;
}

void CPanelInstrument::Run(std::string resource, cli::Args a, std::promise<int> opened) {
  ComInit com;
  cli::Session s;
  const int rc = s.Open(resource, a);
  if (rc != cli::kExitOk) {
    opened.set_value(rc);
    return;
  }
  model_ = cli::Identity(s.get(), &IIviDriverIdentity::get_InstrumentModel);
  {
    ComPtr<IKorvaneChannels> chs;
    LONG n = 0;
    if (SUCCEEDED(s->get_Channels(chs.Receive())) && SUCCEEDED(chs->get_Count(&n)))
      for (LONG k = 1; k <= n; ++k) {
        Bstr name;
        if (SUCCEEDED(chs->get_Name(k, name.Receive()))) channels_.push_back(name.Narrow());
      }
  }
  opened.set_value(cli::kExitOk);
  for (;;) {
    std::packaged_task<std::string(IKorvane8*)> job;
    {
      std::unique_lock<std::mutex> lock(m_);
      cv_.wait(lock, [this] { return stop_ || !jobs_.empty() || (mode_ != RunMode::Stop && watchers_ > 0); });
      if (stop_) break;
      if (!jobs_.empty()) {
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
    }
    if (job.valid()) {
      job(s.get());
      continue;
    }
    // A short record acquires far faster than a page can show it: at most one record per
    // kMinRecordInterval, and requests are served while waiting.
    {
      std::unique_lock<std::mutex> lock(m_);
      if (cv_.wait_until(lock, lastAcquire_ + kMinRecordInterval, [this] { return stop_ || !jobs_.empty(); }))
        continue;
    }
    lastAcquire_ = std::chrono::steady_clock::now();
    Acquire(s.get());
  }
  // Requests that arrived while stopping get an answer rather than a wait.
  std::lock_guard<std::mutex> lock(m_);
  for (auto& job : jobs_) job(nullptr);
  jobs_.clear();
}

void CPanelInstrument::Acquire(IKorvane8* root) {
  auto record = std::make_shared<Record>();
  const auto start = std::chrono::steady_clock::now();
  ComPtr<IKorvaneChannels> chs;
  HRESULT hr = root->get_Channels(chs.Receive());
  std::vector<std::string> enabled;
  for (const std::string& name : channels_) {
    ComPtr<IKorvaneChannel> ch;
    VARIANT_BOOL on = VARIANT_FALSE;
    Bstr b(name);
    if (SUCCEEDED(hr) && SUCCEEDED(chs->get_Item(b, ch.Receive())) && SUCCEEDED(ch->get_Enabled(&on)) &&
        on != VARIANT_FALSE)
      enabled.push_back(name);
  }
  for (std::size_t k = 0; k < enabled.size() && record->error.empty(); ++k) {
    ComPtr<IKorvaneMeasurement> m;
    hr = cli::MeasurementItem(root, enabled[k], m);
    if (FAILED(hr)) {
      record->error = Failure("Measurements.Item(" + enabled[k] + ")", hr);
      break;
    }
    SafeArrayPtr arr(SafeArrayCreateVector(VT_R8, 0, 0));
    SAFEARRAY* raw = arr.Detach();
    cli::Trace t;
    t.name = enabled[k];
    // The first channel acquires; the others are read from the same acquisition.
    hr = k == 0 ? m->ReadWaveform(static_cast<LONG>(cli::kDefaultTimeoutMs), &raw, &t.initialX, &t.xIncrement)
                : m->FetchWaveform(&raw, &t.initialX, &t.xIncrement);
    arr = SafeArrayPtr(raw);
    if (FAILED(hr)) {
      record->error = Failure(std::string(k == 0 ? "ReadWaveform" : "FetchWaveform") + " of " + enabled[k], hr);
      break;
    }
    SafeArrayAccess<double> data(arr.get());
    if (data.ok()) t.volts.assign(data.data(), data.data() + data.size());
    record->traces.push_back(std::move(t));
  }
  if (!record->error.empty()) cli::InstrumentErrors(root);  // the page shows the failure; the queue is left clean
  record->acquireMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::function<void(std::shared_ptr<const Record>)> notify;
  {
    std::lock_guard<std::mutex> lock(m_);
    record->seq = ++seq_;
    latest_ = record;
    notify = onRecord_;
    if (mode_ == RunMode::Single) mode_ = RunMode::Stop;
  }
  if (notify) notify(record);
  if (!record->error.empty()) {
    // A failing acquisition is not retried at full speed.
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, std::chrono::milliseconds(500), [this] { return stop_ || !jobs_.empty(); });
    return;
  }
  Measure(root);
}

void CPanelInstrument::Measure(IKorvane8* root) {
  std::string channel;
  std::vector<std::string> names;
  {
    std::lock_guard<std::mutex> lock(m_);
    const auto now = std::chrono::steady_clock::now();
    if (measureNames_.empty() || now - lastMeasure_ < std::chrono::milliseconds(500)) return;
    lastMeasure_ = now;
    channel = measureChannel_;
    names = measureNames_;
  }
  const paths::EnumInfo* e = paths::FindEnum("KorvaneMeasurementEnum");
  std::string out = "{\"type\": \"measurements\", \"channel\": " + JsonString(channel) + ", \"results\": [";
  ComPtr<IKorvaneMeasurement> m;
  HRESULT hr = cli::MeasurementItem(root, channel, m);
  for (std::size_t k = 0; k < names.size(); ++k) {
    out += std::string(k ? ", " : "") + "{\"name\": " + JsonString(names[k]);
    const paths::EnumWord* word = nullptr;
    for (std::size_t w = 0; e && w < e->count; ++w)
      if (names[k] == e->words[w].word) word = &e->words[w];
    double v = 0;
    if (!word) {
      out += ", \"value\": null, \"error\": \"unknown measurement\"}";
      continue;
    }
    HRESULT r = FAILED(hr) ? hr : m->FetchWaveformMeasurement(static_cast<KorvaneMeasurementEnum>(word->value), &v);
    if (FAILED(r)) out += ", \"value\": null, \"error\": " + JsonString(Failure("FetchWaveformMeasurement", r));
    else if (!std::isfinite(v) || std::fabs(v) >= kInvalidResult)
      out += ", \"value\": null, \"error\": \"no valid result\"";
    else out += ", \"value\": " + JsonNumber(v);
    out += "}";
  }
  out += "]}";
  cli::InstrumentErrors(root);
  std::function<void(const std::string&)> notify;
  {
    std::lock_guard<std::mutex> lock(m_);
    notify = onMeasurements_;
  }
  if (notify) notify(out);
}

}  // namespace korvane::panel
