// A low-level session over an in-memory byte stream, behaving like a VISA message session on a
// socket: a read stops after the termination character (when enabled), at the requested count
// (more data follows), or times out when the available bytes run out.
#pragma once

#include "base/ErrorReporter.h"
#include "support/TestSupport.h"
#include "io/IoSession.h"

#include <korvane/ComHelpers.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace korvane::test {

inline constexpr HRESULT kTimeout = static_cast<HRESULT>(0x80040015);  // E_VISA_TMO
inline constexpr HRESULT kTermChar = 0x00040005;                       // S_VISA_TERM_CHAR

class FakeLowLevelIo : public ILowLevelIo {
 public:
  struct Sent {
    std::string bytes;
    bool end;
  };

  std::string input;                          // what the instrument sends
  std::size_t pos = 0;                        // how much of it was read
  std::size_t available = std::string::npos;  // bytes beyond this never arrive
  std::vector<std::size_t> endMarks;          // END after these byte counts (transports with END)
  bool termEnabled = true;
  BYTE termChar = '\n';
  bool sendEnd = true;
  std::vector<Sent> sent;
  LONG shortWriteBy = 0;           // the next write sends this many bytes fewer
  bool giveBackOnTimeout = false;  // a timed-out read returns nothing and keeps its bytes
  int reads = 0;
  std::size_t largestRead = 0;

  void Feed(std::string bytes) { input += bytes; }
  std::string AllSent() const {
    std::string all;
    for (const auto& s : sent) all += s.bytes;
    return all;
  }

  HRESULT GetTerminationCharacter(BYTE* p) override { return *p = termChar, S_OK; }
  HRESULT SetTerminationCharacter(BYTE c) override { return termChar = c, S_OK; }
  HRESULT GetTerminationCharacterEnabled(VARIANT_BOOL* p) override {
    *p = termEnabled ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT SetTerminationCharacterEnabled(VARIANT_BOOL b) override { return termEnabled = b != VARIANT_FALSE, S_OK; }
  HRESULT GetSendEndEnabled(VARIANT_BOOL* p) override {
    *p = sendEnd ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT SetSendEndEnabled(VARIANT_BOOL b) override { return sendEnd = b != VARIANT_FALSE, S_OK; }

  HRESULT LowLevelReadNoPoll(BYTE* buf, LONG count, LONG* actual, LONG) override {
    ++reads;
    largestRead = std::max<std::size_t>(largestRead, static_cast<std::size_t>(count));
    std::size_t limit = std::min(input.size(), available);
    LONG n = 0;
    while (n < count && pos < limit) {
      char c = input[pos++];
      buf[n++] = static_cast<BYTE>(c);
      if (std::find(endMarks.begin(), endMarks.end(), pos) != endMarks.end()) return *actual = n, S_OK;
      if (termEnabled && static_cast<BYTE>(c) == termChar) return *actual = n, kTermChar;
    }
    if (n < count && giveBackOnTimeout) {
      pos -= static_cast<std::size_t>(n);
      n = 0;
    }
    *actual = n;
    return n == count ? S_IO_MAX_COUNT : kTimeout;
  }
  HRESULT LowLevelReadNoPoll(LONG, SAFEARRAY**, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelReadStringNoPoll(LONG, BSTR*, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelWriteNoPoll(const BYTE* buf, LONG count, LONG* actual, LONG) override {
    LONG n = std::max<LONG>(0, count - std::exchange(shortWriteBy, 0));
    sent.push_back({std::string(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n)), sendEnd});
    if (actual) *actual = n;
    return S_OK;
  }
  HRESULT LowLevelWriteNoPoll(SAFEARRAY*, LONG, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelWriteStringNoPoll(BSTR, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelRead(BYTE*, LONG, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelRead(LONG, SAFEARRAY**, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelReadString(LONG, BSTR*, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelWrite(const BYTE*, LONG, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelWrite(SAFEARRAY*, LONG, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelWriteString(BSTR, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT FlushInstrBuffer() override { return E_NOTIMPL; }
};

// The description of the thread's error information, taken (and so cleared).
inline std::string TakeErrorText() { return TakeErrorInfo().description; }

// Message ids as HRESULTs, so tests can compare results directly.
inline HRESULT MessageResult(unsigned id) { return static_cast<HRESULT>(FindMessage(id)->hresult); }

}  // namespace korvane::test
