#include "core/MethodTrace.h"
#include "base/StringUtil.h"

#include "base/TraceFile.h"

#include <cstdlib>
#include <filesystem>

namespace korvane {

namespace {

std::string EnvText(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : std::string();
}

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8(const std::filesystem::path& p) {
  const std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

}  // namespace

std::string TraceDirectory() {
  if (std::string dir = EnvText("KORVANE_TRACE_DIR"); !dir.empty()) return dir;
#ifdef _WIN32
  if (std::string local = EnvText("LOCALAPPDATA"); !local.empty()) return local + "\\Korvane\\Trace";
#else
  if (std::string state = EnvText("XDG_STATE_HOME"); !state.empty()) return state + "/korvane/trace";
  if (std::string home = EnvText("HOME"); !home.empty()) return home + "/.local/state/korvane/trace";
#endif
  std::error_code ec;
  return Utf8(std::filesystem::temp_directory_path(ec) / "korvane-trace");
}

CMethodTrace::CMethodTrace() = default;
CMethodTrace::~CMethodTrace() = default;

bool CMethodTrace::Recording() const noexcept { return Active() && open_ && GetState() == kRunning; }

std::string CMethodTrace::FilePath() const {
  std::lock_guard<std::mutex> guard(fileLock_);
  return file_ ? file_->Path() : std::string();
}

// The call that opens the trace (an Initialize) began before the file did: it starts at 0.
long CMethodTrace::StartOffsetMs(std::int64_t steadyNs) const noexcept {
  return steadyNs > startedNs_ ? static_cast<long>((steadyNs - startedNs_) / 1000000) : 0;
}

void CMethodTrace::StartFile() {
  std::string name = name_.empty() ? (identifier_.empty() ? std::string("Korvane") : identifier_) : name_;
  if (!EndsWithNoCase(name, ".xml")) name += ".xml";
  std::filesystem::path path = FsPath(name);
  if (path.is_relative()) path = FsPath(TraceDirectory()) / path;
  std::error_code ec;
  if (auto absolute = std::filesystem::absolute(path, ec); !ec) path = absolute;

  CTraceFile::Settings settings;
  settings.path = Utf8(path.lexically_normal());
  const bool ownSheet = transform_.empty();
  settings.styleSheet = ownSheet ? std::string("trace.xslt") : transform_;
  if (!ownSheet && FsPath(settings.styleSheet).extension().empty()) settings.styleSheet += ".xslt";
  settings.writeStyleSheet = ownSheet;
  settings.identifier = identifier_;
  settings.sizeMax = sizeMax_ > 0 ? static_cast<std::uint64_t>(sizeMax_) * 1024u : 0u;
  settings.saveIntervalNs = saveInterval_ > 0 ? static_cast<std::int64_t>(saveInterval_) * 1000000000LL : 0;

  std::shared_ptr<CTraceFile> file = CTraceFile::Open(settings);
  {
    std::lock_guard<std::mutex> guard(fileLock_);
    file_ = std::move(file);
    active_.store(file_ != nullptr, std::memory_order_relaxed);
  }
  startedNs_ = trace::SteadyNs();
  if (!Active()) SetState(kStopped);
}

void CMethodTrace::FinishFile() noexcept {
  std::shared_ptr<CTraceFile> file;
  {
    std::lock_guard<std::mutex> guard(fileLock_);
    file = std::move(file_);
    active_.store(false, std::memory_order_relaxed);
  }
  // The file is complete already; the last session using it closes it here.
}

void CMethodTrace::NewSession() noexcept {
  FinishFile();
  name_.clear();
  transform_.clear();
  SetState(kPaused);
  SetOpen(false);
  sizeMax_ = 0;
  array_ = false;
  arraySizeMax_ = 0;
  saveInterval_ = 0;
  closing_ = false;
}

void CMethodTrace::Configure(std::string identifier) {
  identifier_ = std::move(identifier);
  closing_ = false;
  FinishFile();
  if (!open_) return;
  SetState(kRunning);
  StartFile();
}

void CMethodTrace::Enable(bool on) {
  if (on) {
    if (!open_) {
      open_ = true;
      SetState(kRunning);
      StartFile();
    } else if (GetState() != kStopped) {
      SetState(kRunning);
      if (!Active() && !closing_) StartFile();
    }
  } else if (GetState() == kRunning) {
    SetState(kPaused);
  }
}

void CMethodTrace::Write(std::string_view record) {
  std::shared_ptr<CTraceFile> file;
  {
    std::lock_guard<std::mutex> guard(fileLock_);
    file = file_;
  }
  if (!file || file->Append(record)) return;
  SetState(kStopped);
  FinishFile();
}

}  // namespace korvane
