// The I/O log: one line per command sent and per reply received, with the local time it began,
// the session, the byte count and the duration. Binary blocks show their header and length,
// never their bytes; long text shows its beginning and its length.
//
//   2026-12-07T00:40:21.123456+01:00 s1 -> ":WAV:DATA?\n" (11 B, 0.021 ms)
//   2026-12-07T00:40:21.124001+01:00 s1 <- #42000<2000 bytes>"\n" (2007 B, 1.532 ms)
//   2026-12-07T00:40:23.130000+01:00 s1 <- failed 0x80040011 after 2000.120 ms: "" (0 B)
//
// A message may travel in several transfers (a long write, a reply read in chunks): it is one
// line, from the start of its first transfer to the end of its last. Sessions of one process
// that name the same file share it; each line is written whole.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace korvane {

class CIoLogSink;

class CIoLog {
 public:
  // `target` is "stderr" or a file name (appended to). Null when the file cannot be opened.
  static std::shared_ptr<CIoLog> Create(std::string_view target);
  ~CIoLog();

  void Opened(const char* resource);
  void Closed();
  // One transfer of a message going out; `end`: the message ends with it.
  void Sent(const BYTE* data, LONG count, bool end, std::int64_t startNs, HRESULT hr);
  // One transfer of a message coming in; `more`: the message continues.
  void Received(const BYTE* data, LONG count, bool more, std::int64_t startNs, HRESULT hr);

  // The text a message is shown as, from its first bytes, its last bytes and its length.
  static std::string Describe(std::string_view head, std::string_view tail, std::uint64_t total);

 private:
  struct Message {
    bool open = false;
    std::int64_t startNs = 0;
    std::string head;  // the first kHead bytes
    std::string tail;  // the last kTail bytes
    std::uint64_t total = 0;
  };
  CIoLog(std::shared_ptr<CIoLogSink> sink, unsigned session) : sink_(std::move(sink)), session_(session) {}
  void Add(Message& m, const BYTE* data, LONG count, std::int64_t startNs);
  static bool BlockPending(const Message& m);
  void Emit(Message& m, const char* arrow, HRESULT hr);
  void Line(std::int64_t startNs, const std::string& text);

  std::shared_ptr<CIoLogSink> sink_;
  unsigned session_;
  Message out_, in_;
};

}  // namespace korvane
