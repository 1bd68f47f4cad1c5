// The byte sink and source of the formatted I/O engine: the session's instrument buffer, or a
// string when text is formatted for the driver's own use.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <cstddef>
#include <cstdint>

namespace korvane {

// The longest text the driver takes from one reply into a string of its own (a text or token
// field, a line of the status check): an instrument that never ends its reply must not grow
// the caller's memory without bound. A longer one fails the read with an unexpected-response
// error, and the rest of that reply is dropped before the next command goes out.
inline constexpr std::size_t kMaxReplyText = std::size_t{1} << 20;
// The same bound for an indefinite-length (#0) block, which has no length of its own.
inline constexpr std::size_t kMaxIndefiniteBlock = std::size_t{256} << 20;

struct IIoBuffer {
  // A response is about to be parsed: when the previous message was read to its end, the next
  // character comes from a new one. Unread bytes of the previous message are read first.
  virtual void BeginRead() noexcept = 0;
  // One character of the current message. S_FALSE (and no character) when the message has
  // ended; the trailing read terminator is never returned.
  virtual HRESULT ReadChar(char* pc) = 0;
  // Steps back over the character read last; one step is guaranteed.
  virtual HRESULT PushBack() = 0;

  // Exactly `count` bytes into `dst`, across termination characters and END marks (binary data
  // may hold either). Fewer arrive only when the source stops delivering; `*actual` (optional)
  // gets the count moved.
  virtual HRESULT Read(BYTE* dst, ULONG count, ULONG* actual) = 0;
  virtual HRESULT Read(ULONG count, SAFEARRAY** ppsaBuf) = 0;
  virtual HRESULT Read(ULONG count, BSTR* pbstrBuf) = 0;
  // An indefinite-length (#0) block follows, whose data runs to the end of the message. Where
  // the connection marks that end on its own (VXI-11, HiSLIP, USBTMC) the data is then read to
  // it, line feeds included. Where the termination character is the only end (a raw socket, a
  // serial line) a line feed in binary data cannot be told from the end, and reading on could
  // hand back a cut block as a whole one: the reply is given up (its rest is dropped before the
  // next command) and the read fails with an unexpected-response error saying so.
  virtual HRESULT BeginIndefiniteBlock() = 0;
  // The rest of the current message as binary data, up to `capacity` bytes, without the
  // trailing terminator. `*more` tells whether bytes of the message are left unread.
  virtual HRESULT ReadToEnd(BYTE* dst, ULONG capacity, ULONG* actual, bool* more) = 0;
  // Reads and drops `count` bytes, like Read.
  virtual HRESULT Skip(std::uint64_t count) = 0;

  // Takes `count` bytes; with `flush` the buffer is then sent with END.
  virtual HRESULT Write(const char* data, ULONG count, ULONG* written, bool flush) = 0;
  virtual HRESULT Write(BSTR text, ULONG* written, bool flush) = 0;
  virtual HRESULT Flush(bool end) = 0;
  // Drops the rest of the current message.
  virtual HRESULT Discard() = 0;

  virtual HRESULT GetReadCapacity(ULONG* capacity) = 0;
  virtual HRESULT SetReadCapacity(ULONG capacity) = 0;
  virtual HRESULT GetWriteCapacity(ULONG* capacity) = 0;
  virtual HRESULT SetWriteCapacity(ULONG capacity) = 0;
  // On: 16-, 32- and 64-bit block elements travel big-endian and are byte-reversed here.
  virtual HRESULT GetSwapBytes(bool* swap) = 0;
  virtual HRESULT SetSwapBytes(bool swap) = 0;

 protected:
  ~IIoBuffer() = default;
};

}  // namespace korvane
