#include "base/TraceFile.h"

#include <korvane/ComHelpers.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace korvane {

namespace trace {

std::int64_t SteadyNs() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

unsigned long long ThreadId() noexcept {
  thread_local unsigned long long id = [] {
#ifdef _WIN32
    return static_cast<unsigned long long>(GetCurrentThreadId());
#else
    return static_cast<unsigned long long>(syscall(SYS_gettid));
#endif
  }();
  return id;
}

namespace {

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  return tm;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

// The local second as text and its offset from UTC, e.g. "2026-12-07T00:40:21" and "+01:00".
struct SecondText {
  std::time_t second = -1;
  char date[32] = {};
  char offset[8] = {};
};

void Refresh(SecondText& s, std::time_t t) {
  const std::tm tm = LocalTime(t);
  std::strftime(s.date, sizeof s.date, "%Y-%m-%dT%H:%M:%S", &tm);
  const long long localSeconds = DaysFromCivil(tm.tm_year + 1900LL, static_cast<unsigned>(tm.tm_mon + 1),
                                               static_cast<unsigned>(tm.tm_mday)) *
                                     86400 +
                                 tm.tm_hour * 3600LL + tm.tm_min * 60LL + tm.tm_sec;
  const long long offsetMin = (localSeconds - static_cast<long long>(t)) / 60;
  const long long a = offsetMin < 0 ? -offsetMin : offsetMin;
  std::snprintf(s.offset, sizeof s.offset, "%c%02lld:%02lld", offsetMin < 0 ? '-' : '+', (a / 60) % 100, a % 60);
  s.second = t;
}

}  // namespace

void AppendTimestamp(std::string& out, std::int64_t agoNs) {
  thread_local SecondText cache;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count() -
                  agoNs / 1000;
  const std::time_t t = static_cast<std::time_t>(us / 1000000);
  if (t != cache.second) Refresh(cache, t);
  char fraction[7] = ".";
  for (long long k = 6, f = us % 1000000; k > 0; --k, f /= 10) fraction[k] = static_cast<char>('0' + f % 10);
  out += cache.date;
  out.append(fraction, 7);
  out += cache.offset;
}

std::string FileTimeSuffix() {
  const std::tm tm = LocalTime(std::time(nullptr));
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d_%H-%M-%S", &tm);
  return text;
}

void AppendEscaped(std::string& out, std::string_view text) {
  // Runs of characters that need nothing are appended whole; most values are such a run.
  const auto plain = [](unsigned char c) {
    return c >= 0x20 && c != 0x7F && c != '&' && c != '<' && c != '>' && c != '"' && c != '\'';
  };
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t j = i;
    while (j < text.size() && plain(static_cast<unsigned char>(text[j]))) ++j;
    out.append(text.data() + i, j - i);
    if (j == text.size()) break;
    const char c = text[j];
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      default: {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
        out += hex;
      }
    }
    i = j + 1;
  }
}

}  // namespace trace

namespace {

constexpr std::string_view kClosing = "</TraceRecords>\r\n";

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

// Open trace files of the process by path, so that sessions naming one file share its writer.
std::mutex g_filesLock;
std::map<std::string, std::weak_ptr<CTraceFile>>& Files() {
  static std::map<std::string, std::weak_ptr<CTraceFile>> files;
  return files;
}

}  // namespace

std::string CTraceFile::SavedCopyName(const std::string& path, const std::string& suffix) {
  std::string base = path;
  if (base.size() >= 4 && base.compare(base.size() - 4, 4, ".xml") == 0) base.resize(base.size() - 4);
  std::error_code ec;
  std::string name = base + "_" + suffix + ".xml";
  for (int n = 2; std::filesystem::exists(FsPath(name), ec); ++n)
    name = base + "_" + suffix + "_" + std::to_string(n) + ".xml";
  return name;
}

std::shared_ptr<CTraceFile> CTraceFile::Open(const Settings& settings) {
  std::lock_guard<std::mutex> guard(g_filesLock);
  auto& files = Files();
  if (auto it = files.find(settings.path); it != files.end())
    if (auto shared = it->second.lock()) return shared;
  std::shared_ptr<CTraceFile> file(new CTraceFile(settings));
  {
    std::lock_guard<std::mutex> fileGuard(file->lock_);
    if (!file->Start()) return nullptr;
  }
  files[settings.path] = file;
  return file;
}

CTraceFile::~CTraceFile() {
  CloseFile();
  std::lock_guard<std::mutex> guard(g_filesLock);
  auto& files = Files();
  // Only this file's entry: a later file of the same path may have replaced it already.
  if (auto it = files.find(settings_.path); it != files.end() && it->second.expired()) files.erase(it);
}

bool CTraceFile::Start() {
  std::error_code ec;
  const std::filesystem::path path = FsPath(settings_.path);
  std::filesystem::create_directories(path.parent_path(), ec);
  // A file of an earlier run is kept as a saved copy rather than overwritten.
  if (std::filesystem::exists(path, ec)) {
    std::filesystem::rename(path, FsPath(SavedCopyName(settings_.path, trace::FileTimeSuffix())), ec);
    if (ec) return false;
  }
  if (settings_.writeStyleSheet) {
    const std::filesystem::path sheet = path.parent_path() / FsPath(settings_.styleSheet);
    const std::string_view text = trace::StyleSheetText();
    if (std::filesystem::file_size(sheet, ec) != text.size() || ec) {
      std::ofstream out(sheet, std::ios::binary | std::ios::trunc);
      out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
  }
#ifdef _WIN32
  OleString wide = ToOle(settings_.path);
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = h;
#else
  fd_ = ::open(settings_.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) return false;
#endif
  std::string header = "<?xml version=\"1.0\"?>\r\n<?xml-stylesheet type=\"text/xsl\" href=\"";
  trace::AppendEscaped(header, settings_.styleSheet);
  header += "\"?>\r\n<TraceRecords Driver=\"";
  trace::AppendEscaped(header, settings_.identifier);
  header += "\" Started=\"";
  trace::AppendTimestamp(header);
  header += "\">\r\n";
  headerSize_ = header.size();
  header += kClosing;
  if (!WriteAt(0, header)) {
    CloseFile();
    return false;
  }
  end_ = headerSize_;
  startedNs_ = trace::SteadyNs();
  return true;
}

void CTraceFile::CloseFile() noexcept {
#ifdef _WIN32
  if (handle_) ::CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
#else
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
#endif
}

bool CTraceFile::WriteAt(std::uint64_t offset, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
#ifdef _WIN32
    if (!handle_) return false;
    OVERLAPPED at{};
    const std::uint64_t where = offset + done;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    DWORD wrote = 0;
    if (!WriteFile(static_cast<HANDLE>(handle_), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &wrote,
                   &at) ||
        wrote == 0)
      return false;
#else
    if (fd_ < 0) return false;
    const ssize_t wrote = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (wrote <= 0) return false;
#endif
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

bool CTraceFile::SaveAndRestart() {
  // The file is complete as it stands; it only moves to its saved name.
  CloseFile();
  std::error_code ec;
  std::filesystem::rename(FsPath(settings_.path), FsPath(SavedCopyName(settings_.path, trace::FileTimeSuffix())), ec);
  if (ec) return false;
  ++saved_;
  return Start();
}

bool CTraceFile::Append(std::string_view record) {
  std::lock_guard<std::mutex> guard(lock_);
  const bool started = end_ > headerSize_;
  const bool tooBig = settings_.sizeMax && end_ + record.size() + kClosing.size() > settings_.sizeMax;
  const bool tooOld = settings_.saveIntervalNs && trace::SteadyNs() - startedNs_ >= settings_.saveIntervalNs;
  // A file holds at least one record, however small the limit.
  if (started && (tooBig || tooOld) && !SaveAndRestart()) return false;
  buffer_.assign(record);
  buffer_ += kClosing;
  if (!WriteAt(end_, buffer_)) return false;
  end_ += record.size();
  return true;
}

}  // namespace korvane
