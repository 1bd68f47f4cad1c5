// The method trace of a session: its settings (option string, Initialize), its state, and the
// XML file the call frame's records go to.
//
// Choices of ours, documented for the field:
// - File: the trace name with ".xml" unless it ends in it; a relative name is taken in the trace
//   directory (TraceDirectory()). With no name the driver's identifier is the name.
// - The file is well-formed XML whenever a reader looks: every record is written together with
//   the closing "</TraceRecords>" tag, and the next record overwrites that tag. Records are
//   written whole when the call ends (nested calls therefore appear before their caller;
//   StartTime orders them), one write per record, so threads never interleave within one.
// - Saved copies: "<base>_<local time %Y-%m-%d_%H-%M-%S>.xml" (with "_2", "_3" ... when that
//   name exists). A file left by an earlier run is saved this way before a new one starts; so is
//   the current file when it would grow beyond TraceSizeMax kilobytes (0: no limit) or when it
//   was started more than TraceSaveInterval seconds ago (0: never). Both are checked as records
//   are written: the driver has no timer.
// - Arrays: with TraceArray off (the default) a record gives an array's element count only;
//   with it on, at most TraceArraySizeMax elements (0 or less: 100), "Shown" saying how many.
// - Timestamp: local time, ISO 8601 with microseconds and the UTC offset. StartTime: milliseconds
//   since the trace started. Thread: the system's thread id.
// - State 2 (stopped): the file could not be created or written. Records stop; putting
//   TraceEnabled true does not restart it, the next Initialize does.
// - Every Initialize starts from a fresh trace (NewSession): closed, state 1, default settings,
//   whatever an earlier session on the same object did. Only that Initialize's options (and its
//   store) say whether and where it traces, as they would for a newly created object, which is
//   what every IVI-C init gets. "Trace=true" opens the trace; it runs (state 0) once Initialize
//   configures it. A "Trace=false" after it in the same Initialize (the option string's or the
//   store's DriverSetup) finds it open in state 1 and fails with E_UNEXPECTED rather than
//   silently dropping one of the two.
// - The style sheet: "trace.xslt" is written beside the trace file (the driver carries a copy)
//   unless TraceTransform names another; that name gets ".xslt" unless it has an extension.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace korvane {

class CTraceFile;

// The directory of trace files named without a directory: $KORVANE_TRACE_DIR when set; otherwise
// %LOCALAPPDATA%\Korvane\Trace on Windows, $XDG_STATE_HOME/korvane/trace (or
// ~/.local/state/korvane/trace) elsewhere; the system's temporary directory as the last resort.
std::string TraceDirectory();

class CMethodTrace {
 public:
  enum State : LONG { kRunning = 0, kPaused = 1, kStopped = 2 };
  static constexpr LONG kDefaultArrayShown = 100;

  CMethodTrace();
  CMethodTrace(const CMethodTrace&) = delete;
  CMethodTrace& operator=(const CMethodTrace&) = delete;
  ~CMethodTrace();

  // The call frame's test, the only cost of a call while no trace file is open.
  bool Active() const noexcept { return active_.load(std::memory_order_relaxed); }
  // Records are written now (open, running, the file in order).
  bool Recording() const noexcept;

  const std::string& Name() const noexcept { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  const std::string& DriverIdentifier() const noexcept { return identifier_; }
  void SetDriverIdentifier(std::string id) { identifier_ = std::move(id); }
  const std::string& Transform() const noexcept { return transform_; }
  void SetTransform(std::string t) { transform_ = std::move(t); }

  LONG GetState() const noexcept { return state_.load(std::memory_order_relaxed); }
  void SetState(LONG s) noexcept { state_.store(s, std::memory_order_relaxed); }
  bool IsOpen() const noexcept { return open_.load(std::memory_order_relaxed); }
  void SetOpen(bool open) noexcept { open_.store(open, std::memory_order_relaxed); }

  LONG SizeMax() const noexcept { return sizeMax_; }
  void SetSizeMax(LONG v) noexcept { sizeMax_ = v; }
  bool ArraySwitch() const noexcept { return array_; }
  void SetArraySwitch(bool v) noexcept { array_ = v; }
  LONG ArraySizeMax() const noexcept { return arraySizeMax_; }
  void SetArraySizeMax(LONG v) noexcept { arraySizeMax_ = v; }
  LONG SaveInterval() const noexcept { return saveInterval_; }
  void SetSaveInterval(LONG v) noexcept { saveInterval_ = v; }
  // How many elements of an array a record shows: none with the switch off.
  LONG ArrayShown() const noexcept {
    if (!array_) return 0;
    return arraySizeMax_ > 0 ? arraySizeMax_ : kDefaultArrayShown;
  }

  bool IsClosing() const noexcept { return closing_; }
  // Close flags the trace; the frame writes Close's own record and then finishes the file (it
  // is complete already; it is only let go). No more records until the next Initialize.
  void SetClosing(bool v) noexcept { closing_ = v; }
  void FinishIfClosing() noexcept {
    if (closing_) FinishFile();
  }

  // Back to the state of a newly constructed trace, its file let go: Initialize calls it before
  // the options are read.
  void NewSession() noexcept;
  // Initialize hands over the identifier after option processing; an open trace starts running
  // and its file is created.
  void Configure(std::string identifier);
  // TraceEnabled: true opens and starts a trace that is not open, and restarts a paused one;
  // false pauses a running one.
  void Enable(bool on);

  // The path of the file records go to now; empty while none is open.
  std::string FilePath() const;
  // Milliseconds since the trace started, for StartTime.
  long StartOffsetMs(std::int64_t steadyNs) const noexcept;
  // One record, written whole; a failing file stops the trace (state 2).
  void Write(std::string_view record);

 private:
  void StartFile();
  void FinishFile() noexcept;

  std::string name_;
  std::string identifier_;
  std::string transform_;
  std::atomic<LONG> state_{kPaused};
  std::atomic<bool> open_{false};
  LONG sizeMax_ = 0;
  bool array_ = false;
  LONG arraySizeMax_ = 0;
  LONG saveInterval_ = 0;
  bool closing_ = false;

  std::atomic<bool> active_{false};
  std::int64_t startedNs_ = 0;
  mutable std::mutex fileLock_;  // guards file_ (the file has its own lock for writes)
  std::shared_ptr<CTraceFile> file_;
};

}  // namespace korvane
