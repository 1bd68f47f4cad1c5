// The panel's one driver session. Every call to the driver runs on the session's own thread, in
// the order asked: a control change from any tab waits at most for the acquisition in progress,
// and the acquisitions of a running panel fill the time between requests.
#pragma once

#include "Arguments.h"
#include "Plot.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct IKorvane8;

namespace korvane::panel {

// One acquisition: the enabled channels' records, in volts.
struct Record {
  unsigned seq = 0;
  std::vector<cli::Trace> traces;
  double acquireMs = 0;  // the driver's read of every channel
  std::string error;     // why the acquisition failed, when it did
};

enum class RunMode { Stop, Run, Single };

// 50 records a second at most: more than a page shows, far less than a short record allows.
constexpr std::chrono::milliseconds kMinRecordInterval{20};

class CPanelInstrument {
 public:
  CPanelInstrument() = default;
  CPanelInstrument(const CPanelInstrument&) = delete;
  CPanelInstrument& operator=(const CPanelInstrument&) = delete;
  ~CPanelInstrument();

  // Opens the session on the session thread; 0 or the tool's exit code (the failure printed).
  // The I/O log of the session goes to `ioLog` (a file the panel shows in its console).
  int Start(const std::string& resource, const cli::Args& a, const std::string& ioLog);
  void Shutdown();

  // Runs `job` on the session thread before the next acquisition and returns its result.
  std::string Call(std::function<std::string(IKorvane8*)> job);

  void SetMode(RunMode mode);
  RunMode Mode() const { return mode_.load(); }
  // Acquisitions run only while a page watches.
  void SetWatchers(int n);

  // The measurements taken on the records of a running panel, every half second.
  void SetMeasurements(const std::string& channel, std::vector<std::string> names);

  std::shared_ptr<const Record> Latest() const;
  // Called on the session thread after each record, and with a measurement result (JSON text).
  void SetListeners(std::function<void(std::shared_ptr<const Record>)> onRecord,
                    std::function<void(const std::string&)> onMeasurements);

  std::string Model() const { return model_; }
  std::vector<std::string> ChannelNames() const { return channels_; }

 private:
  void Run(std::string resource, cli::Args a, std::promise<int> opened);
  void Acquire(IKorvane8* root);
  void Measure(IKorvane8* root);

  std::thread thread_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::packaged_task<std::string(IKorvane8*)>> jobs_;
  bool stop_ = false;
  std::atomic<RunMode> mode_{RunMode::Run};
  int watchers_ = 0;
  std::shared_ptr<const Record> latest_;
  unsigned seq_ = 0;
  std::string measureChannel_;
  std::vector<std::string> measureNames_;
  std::chrono::steady_clock::time_point lastMeasure_{};
  std::chrono::steady_clock::time_point lastAcquire_{};
  std::function<void(std::shared_ptr<const Record>)> onRecord_;
  std::function<void(const std::string&)> onMeasurements_;
  std::string model_;
  std::vector<std::string> channels_;
};

}  // namespace korvane::panel
