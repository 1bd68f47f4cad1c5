#include "io/IoLog.h"

#include "base/TraceFile.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

namespace korvane {

namespace {

constexpr std::size_t kHead = 256;  // bytes of a message kept for its line
constexpr std::size_t kTail = 32;
constexpr std::size_t kShownText = 160;  // text longer than kHead is shown this far

std::atomic<unsigned> g_sessions{0};

void Quote(std::string& out, std::string_view bytes) {
  out += '"';
  for (char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (u < 0x20 || u >= 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(u));
          out += hex;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

// A log destination, shared by the sessions that name it.
class CIoLogSink {
 public:
  static std::shared_ptr<CIoLogSink> Open(std::string_view target) {
    static std::mutex lock;
    static std::map<std::string, std::weak_ptr<CIoLogSink>> sinks;
    std::lock_guard<std::mutex> guard(lock);
    const std::string key(target);
    if (auto it = sinks.find(key); it != sinks.end())
      if (auto shared = it->second.lock()) return shared;
    std::shared_ptr<CIoLogSink> sink(new CIoLogSink);
    if (key == "stderr") {
      sink->file_ = stderr;
    } else {
      sink->file_ = std::fopen(key.c_str(), "ab");
      if (!sink->file_) return nullptr;
      sink->owned_ = true;
    }
    sinks[key] = sink;
    return sink;
  }
  ~CIoLogSink() {
    if (owned_) std::fclose(file_);
  }
  void Write(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock_);
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
  }

 private:
  CIoLogSink() = default;
  std::mutex lock_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
};

std::shared_ptr<CIoLog> CIoLog::Create(std::string_view target) {
  std::shared_ptr<CIoLogSink> sink = CIoLogSink::Open(target);
  if (!sink) return nullptr;
  return std::shared_ptr<CIoLog>(new CIoLog(std::move(sink), ++g_sessions));
}

CIoLog::~CIoLog() = default;

void CIoLog::Line(std::int64_t startNs, const std::string& text) {
  std::string line;
  line.reserve(text.size() + 48);
  trace::AppendTimestamp(line, trace::SteadyNs() - startNs);
  line += " s" + std::to_string(session_) + ' ';
  line += text;
  line += '\n';
  sink_->Write(line);
}

void CIoLog::Opened(const char* resource) {
  out_ = Message{};
  in_ = Message{};
  Line(trace::SteadyNs(), std::string("open ") + (resource ? resource : ""));
}

void CIoLog::Closed() { Line(trace::SteadyNs(), "close"); }

void CIoLog::Add(Message& m, const BYTE* data, LONG count, std::int64_t startNs) {
  if (!m.open) {
    m = Message{};
    m.open = true;
    m.startNs = startNs;
  }
  if (count <= 0 || !data) return;
  const auto n = static_cast<std::size_t>(count);
  const char* bytes = reinterpret_cast<const char*>(data);
  if (m.head.size() < kHead) m.head.append(bytes, std::min(n, kHead - m.head.size()));
  if (n >= kTail) {
    m.tail.assign(bytes + n - kTail, kTail);
  } else {
    m.tail.append(bytes, n);
    if (m.tail.size() > kTail) m.tail.erase(0, m.tail.size() - kTail);
  }
  m.total += n;
}

void CIoLog::Emit(Message& m, const char* arrow, HRESULT hr) {
  const double ms = static_cast<double>(trace::SteadyNs() - m.startNs) / 1e6;
  char figures[96];
  std::string text = arrow;
  text += ' ';
  if (FAILED(hr)) {
    std::snprintf(figures, sizeof figures, "failed 0x%08X after %.3f ms: ", static_cast<unsigned>(hr), ms);
    text += figures;
    text += Describe(m.head, m.tail, m.total);
    std::snprintf(figures, sizeof figures, " (%llu B)", static_cast<unsigned long long>(m.total));
  } else {
    text += Describe(m.head, m.tail, m.total);
    std::snprintf(figures, sizeof figures, " (%llu B, %.3f ms)", static_cast<unsigned long long>(m.total), ms);
  }
  text += figures;
  Line(m.startNs, text);
  m.open = false;
}

void CIoLog::Sent(const BYTE* data, LONG count, bool end, std::int64_t startNs, HRESULT hr) {
  Add(out_, data, count, startNs);
  if (end || FAILED(hr)) Emit(out_, "->", hr);
}

void CIoLog::Received(const BYTE* data, LONG count, bool more, std::int64_t startNs, HRESULT hr) {
  Add(in_, data, count, startNs);
  if (FAILED(hr)) return Emit(in_, "<-", hr);
  // A read of binary data ends at any byte that looks like the termination character; a block
  // goes on until its length and the terminator after it have arrived.
  if (!more && !BlockPending(in_)) Emit(in_, "<-", hr);
}

bool CIoLog::BlockPending(const Message& m) {
  const std::string_view head = m.head;
  for (std::size_t i = 0; i + 1 < head.size(); ++i) {
    if (head[i] != '#' || (i > 0 && head[i - 1] != ' ' && head[i - 1] != ',') || !IsDigit(head[i + 1])) continue;
    const std::size_t dataAt = i + 2 + static_cast<std::size_t>(head[i + 1] - '0');
    if (head[i + 1] == '0' || dataAt > head.size()) return false;
    std::uint64_t length = 0;
    for (std::size_t k = i + 2; k < dataAt; ++k) {
      if (!IsDigit(head[k])) return false;
      length = length * 10 + static_cast<std::uint64_t>(head[k] - '0');
    }
    const std::uint64_t after = dataAt + length;
    return m.total < after || (m.total == after && (m.tail.empty() || m.tail.back() != '\n'));
  }
  return false;
}

std::string CIoLog::Describe(std::string_view head, std::string_view tail, std::uint64_t total) {
  std::string out;
  // A definite-length block: "#", a digit n, n digits of length; at the start of the message or
  // after the blank or comma that ends a command header or a value.
  for (std::size_t i = 0; i + 1 < head.size(); ++i) {
    if (head[i] != '#' || (i > 0 && head[i - 1] != ' ' && head[i - 1] != ',')) continue;
    if (!IsDigit(head[i + 1])) continue;
    const std::size_t digits = static_cast<std::size_t>(head[i + 1] - '0');
    const std::size_t dataAt = i + 2 + digits;
    if (digits == 0) {  // indefinite length: to the end of the message
      if (i) Quote(out, head.substr(0, i));
      out += "#0<" + std::to_string(total - (i + 2)) + " bytes>";
      return out;
    }
    if (dataAt > head.size()) continue;
    std::uint64_t length = 0;
    bool number = true;
    for (std::size_t k = i + 2; k < dataAt; ++k) {
      number = number && IsDigit(head[k]);
      length = length * 10 + static_cast<std::uint64_t>(head[k] - '0');
    }
    if (!number) continue;
    if (i) Quote(out, head.substr(0, i));
    out += head.substr(i, dataAt - i);
    const std::uint64_t after = dataAt + length;
    if (total < after) {
      out += "<" + std::to_string(length) + " bytes, " + std::to_string(total - dataAt) + " arrived>";
      return out;
    }
    out += "<" + std::to_string(length) + " bytes>";
    const std::uint64_t rest = total - after;
    if (rest == 0) return out;
    if (rest <= tail.size()) Quote(out, tail.substr(tail.size() - static_cast<std::size_t>(rest)));
    else out += "<+" + std::to_string(rest) + " bytes>";
    return out;
  }
  if (total <= head.size()) {
    Quote(out, head);
  } else {
    Quote(out, head.substr(0, kShownText));
    out += "...";
    Quote(out, tail);
  }
  return out;
}

}  // namespace korvane
