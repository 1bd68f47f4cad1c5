// An instrument reply held in memory, delivered to the instrument buffer the way a socket
// session would: reads stop after the termination character (when enabled), at the requested
// count, or time out when the bytes run out. The first input byte picks the largest piece a
// single read hands out, so that the parsers meet every split of the reply; an even piece size
// gives a connection that marks the end of the reply itself (END on its last byte).
#pragma once

#include "base/CallContext.h"
#include "base/ErrorReporter.h"
#include "io/InstrBuffer.h"
#include "io/IoSession.h"

#include <korvane/ComHelpers.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>

namespace korvane::fuzz {

inline constexpr HRESULT kTimeout = static_cast<HRESULT>(0x80040015);
inline constexpr HRESULT kTermChar = 0x00040005;

class MemoryIo final : public ILowLevelIo {
 public:
  MemoryIo(std::string_view input, std::size_t piece, bool endMarked)
      : input_(input), piece_(std::max<std::size_t>(piece, 1)), endMarked_(endMarked) {}

  HRESULT GetTerminationCharacter(BYTE* p) override { return *p = '\n', S_OK; }
  HRESULT SetTerminationCharacter(BYTE) override { return S_OK; }
  HRESULT GetTerminationCharacterEnabled(VARIANT_BOOL* p) override {
    *p = term_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT SetTerminationCharacterEnabled(VARIANT_BOOL b) override { return term_ = b != VARIANT_FALSE, S_OK; }
  HRESULT GetSendEndEnabled(VARIANT_BOOL* p) override { return *p = VARIANT_TRUE, S_OK; }
  HRESULT SetSendEndEnabled(VARIANT_BOOL) override { return S_OK; }

  HRESULT LowLevelReadNoPoll(BYTE* buf, LONG count, LONG* actual, LONG) override {
    LONG n = 0;
    const std::size_t limit = std::min(input_.size(), pos_ + piece_);
    while (n < count && pos_ < limit) {
      const char c = input_[pos_++];
      buf[n++] = static_cast<BYTE>(c);
      if (term_ && c == '\n') return *actual = n, kTermChar;
    }
    *actual = n;
    if (n == count) return S_IO_MAX_COUNT;
    if (pos_ < input_.size()) return S_IO_MAX_COUNT;
    return endMarked_ ? S_OK : kTimeout;
  }
  HRESULT LowLevelReadNoPoll(LONG, SAFEARRAY**, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelReadStringNoPoll(LONG, BSTR*, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelWriteNoPoll(const BYTE*, LONG count, LONG* actual, LONG) override {
    if (actual) *actual = count;
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

 private:
  std::string_view input_;
  std::size_t piece_;
  std::size_t pos_ = 0;
  bool endMarked_;
  bool term_ = true;
};

class NoCallContext final : public ICallContextProvider {
 public:
  HRESULT PushCallContext(const CMethodInfo*) override { return S_OK; }
  void PopCallContext() override {}
  const CMethodInfo* CurrentCallContext() override { return nullptr; }
};

// One reply: the I/O, the reporter and an instrument buffer over them.
struct Reply {
  Reply(std::string_view data, std::size_t piece)
      : io(data, piece, piece % 2 == 0), buffer(CInstrBuffer::Create(&io, &reporter, "\n", "\n")) {
    if (!buffer) return;
    buffer->SetEndOnlyAtTerminator(piece % 2 != 0);
    buffer->BeginRead();
  }
  MemoryIo io;
  NoCallContext context;
  CKorvaneErrorReporter reporter{&context};
  std::unique_ptr<CInstrBuffer> buffer;
};

// Splits the fuzz input: the first byte is the piece size (1..256), the rest the reply.
inline std::size_t TakePiece(const uint8_t*& data, size_t& size) {
  if (size == 0) return 4096;
  const std::size_t piece = 1 + data[0];
  ++data;
  --size;
  return piece;
}

}  // namespace korvane::fuzz
