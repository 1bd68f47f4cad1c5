// The XML file of a method trace, and the small pieces the records are written with: clocks,
// thread ids, local-time text and XML escaping.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace korvane {

namespace trace {

// Monotonic nanoseconds, for durations and StartTime.
std::int64_t SteadyNs() noexcept;
// The calling thread's system id (cached per thread).
unsigned long long ThreadId() noexcept;
// Local time `agoNs` before now, ISO 8601 with microseconds and UTC offset:
// 2026-12-07T00:40:21.123456+01:00. The second-resolution part is formatted once per second.
void AppendTimestamp(std::string& out, std::int64_t agoNs = 0);
// Local time now as "%Y-%m-%d_%H-%M-%S", the suffix of saved copies.
std::string FileTimeSuffix();
// `text` with &, <, >, " and ' escaped for an attribute value; tab, CR and LF become character
// references so that they survive attribute normalisation, other control characters (not
// allowed in XML 1.0) become "\xNN".
void AppendEscaped(std::string& out, std::string_view text);
// The style sheet the driver carries, written beside trace files that name no other.
std::string_view StyleSheetText() noexcept;

}  // namespace trace

// One trace file, shared by every session of the process that names the same path. Each record
// is written with the closing root tag after it, at the place of the previous closing tag, so
// the file is complete XML between writes.
class CTraceFile {
 public:
  struct Settings {
    std::string path;             // absolute, ends in ".xml"
    std::string styleSheet;       // href of the style-sheet reference
    bool writeStyleSheet;         // write the driver's own style sheet beside the file
    std::string identifier;       // the driver's identifier, an attribute of the root
    std::uint64_t sizeMax;        // bytes, 0: no limit
    std::int64_t saveIntervalNs;  // 0: never
  };

  // The file of `settings.path`, started (an existing one saved first), or null when it could
  // not be created. A file already open in this process is shared; its settings stay those it
  // was started with.
  static std::shared_ptr<CTraceFile> Open(const Settings& settings);

  CTraceFile(const CTraceFile&) = delete;
  CTraceFile& operator=(const CTraceFile&) = delete;
  ~CTraceFile();

  // Appends one record (complete XML elements); false when the file cannot be written.
  bool Append(std::string_view record);
  const std::string& Path() const noexcept { return settings_.path; }
  // Saved copies made so far by this file object (rollover and save interval).
  unsigned SavedCopies() const noexcept { return saved_; }

  // "<base>_<suffix>.xml" that does not exist yet.
  static std::string SavedCopyName(const std::string& path, const std::string& suffix);

 private:
  explicit CTraceFile(Settings settings) : settings_(std::move(settings)) {}
  bool Start();
  void CloseFile() noexcept;
  bool WriteAt(std::uint64_t offset, const std::string& bytes);
  bool SaveAndRestart();

  Settings settings_;
  std::mutex lock_;
  std::string buffer_;
  std::uint64_t end_ = 0;  // where the closing root tag starts
  std::uint64_t headerSize_ = 0;
  std::int64_t startedNs_ = 0;
  unsigned saved_ = 0;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace korvane
