#include "io/InstrBuffer.h"

#include "base/ErrorReporter.h"
#include "platform/Guard.h"

#include <korvane/ComHelpers.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

namespace korvane {

namespace {

constexpr LONG kMaxTransfer = 0x7FFFFFFF;

bool EndsWith(const BYTE* data, ULONG count, const std::string& tail) noexcept {
  return !tail.empty() && count >= tail.size() &&
         std::memcmp(data + count - tail.size(), tail.data(), tail.size()) == 0;
}

std::unique_ptr<BYTE[]> Allocate(std::size_t n) noexcept {
  return std::unique_ptr<BYTE[]>(new (std::nothrow) BYTE[n]);
}

// Switches termination on the character off for a scope and restores it.
class TermCharOff {
 public:
  explicit TermCharOff(ILowLevelIo* io) noexcept : io_(io) {
    VARIANT_BOOL on = VARIANT_FALSE;
    if (SUCCEEDED(io_->GetTerminationCharacterEnabled(&on)) && on != VARIANT_FALSE)
      restore_ = SUCCEEDED(io_->SetTerminationCharacterEnabled(VARIANT_FALSE));
  }
  TermCharOff(const TermCharOff&) = delete;
  TermCharOff& operator=(const TermCharOff&) = delete;
  ~TermCharOff() {
    if (restore_) io_->SetTerminationCharacterEnabled(VARIANT_TRUE);
  }

 private:
  ILowLevelIo* io_;
  bool restore_ = false;
};

}  // namespace

std::unique_ptr<CInstrBuffer> CInstrBuffer::Create(ILowLevelIo* io, IErrorReporter* reporter,
                                                   std::string_view readTerminator,
                                                   std::string_view writeTerminator) noexcept {
  if (!io || !reporter) return nullptr;
  try {
    std::unique_ptr<CInstrBuffer> b(new CInstrBuffer(io, reporter));
    b->readTerminator_ = readTerminator;
    b->writeTerminator_ = writeTerminator;
    b->readBuf_ = Allocate(b->readCapacity_);
    b->writeBuf_ = Allocate(std::size_t{b->writeCapacity_} + b->writeTerminator_.size());
    if (!b->readBuf_ || !b->writeBuf_) return nullptr;
    return b;
  } catch (...) {
    return nullptr;
  }
}

HRESULT CInstrBuffer::Report(unsigned id, const std::string& text) {
  if (id == msg::IoError) return reporter_->IoError(text.c_str());
  return reporter_->ReportElab(id, text.c_str());
}

void CInstrBuffer::ClearRead() noexcept {
  readCount_ = visibleCount_ = readPos_ = 0;
  endOfMessage_ = endReached_ = true;
  stoppedAtTermChar_ = false;
  hasRead_ = false;
}

void CInstrBuffer::BeginRead() noexcept {
  if (endOfMessage_ && readPos_ >= visibleCount_) {
    messageBytes_ = 0;
    readCount_ = visibleCount_ = readPos_ = 0;
    endOfMessage_ = endReached_ = false;
    stoppedAtTermChar_ = false;
    hasRead_ = false;
  }
}

void CInstrBuffer::Reset() noexcept {
  ClearRead();
  writeCount_ = 0;
  messageOpen_ = false;
  // A device clear drops what has arrived; over a plain socket the instrument may still send
  // the rest of an abandoned reply, so what is there at the next command is dropped too, but
  // nothing is waited for.
  abandonedPartial_ = false;
}

void CInstrBuffer::Abandon() noexcept {
  abandoned_ = true;
  abandonedPartial_ = messageBytes_ > 0;
  ClearRead();
}

void CInstrBuffer::DrainAbandoned() noexcept {
  if (!abandoned_) return;
  abandoned_ = false;
  using Clock = std::chrono::steady_clock;
  LONG limit = kDefaultDrainMs;
  if (timeouts_) timeouts_->GetTimeout(&limit);
  if (limit < 0) limit = kDefaultDrainMs;  // an infinite timeout must not hang the next command
  const auto until = Clock::now() + std::chrono::milliseconds(limit);
  // Inside a message (some of the reply had come, or bytes are there now) the rest is on its
  // way: wait for its end, up to one timeout. Between messages, and once that time is up, take
  // only what is there already: binary data with line feeds can look like several messages.
  // A read that times out gives its bytes back to the session, so what is there is taken by
  // reads that can complete: the whole buffer, then halves of it down to one byte.
  bool waiting = abandonedPartial_;
  LONG probe = static_cast<LONG>(readCapacity_);
  std::uint64_t lateBytes = 0;  // taken after the time was up, from a sender that never stops
  ClearRead();
  for (;;) {
    LONG wait = 0;
    if (waiting) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      waiting = left > 0;
      wait = waiting ? static_cast<LONG>(left) : 0;
    }
    LONG got = 0;
    const LONG want = waiting ? static_cast<LONG>(readCapacity_) : probe;
    HRESULT hr = io_->LowLevelReadNoPoll(readBuf_.get(), want, &got, wait);
    if (FAILED(hr)) {
      // Timed out (its bytes are back in the session) or the connection failed.
      if (!waiting) probe /= 2;
      waiting = false;
      if (probe == 0) break;
      continue;
    }
    if (got <= 0 && !waiting) break;
    if (!waiting && Clock::now() >= until) {
      lateBytes += static_cast<std::uint64_t>(got);
      if (lateBytes > kMaxReplyText) break;
    }
    // Some of a message came without its end: wait for the rest while there is time.
    waiting = IsMoreData(hr);
  }
  ClearRead();
}

// ---- reading ----

HRESULT CInstrBuffer::Fill() {
  LONG got = 0;
  HRESULT hr = io_->LowLevelReadNoPoll(readBuf_.get(), static_cast<LONG>(readCapacity_), &got, kKeepSessionTimeout);
  readPos_ = 0;
  hasRead_ = false;
  if (got > 0) messageBytes_ += static_cast<ULONG>(got);
  if (FAILED(hr)) {
    // What is left of the message is unknown: the next command drains it first. Nothing is
    // pending from our side, so a later discard does not wait for it.
    Abandon();
    return hr;
  }
  readCount_ = static_cast<ULONG>(std::clamp<LONG>(got, 0, static_cast<LONG>(readCapacity_)));
  endOfMessage_ = endReached_ = !IsMoreData(hr);
  stoppedAtTermChar_ = hr == S_IO_TERM_CHAR;
  visibleCount_ = readCount_;
  if (endOfMessage_ && EndsWith(readBuf_.get(), readCount_, readTerminator_))
    visibleCount_ -= static_cast<ULONG>(readTerminator_.size());
  return S_OK;
}

HRESULT CInstrBuffer::ReadChar(char* pc) {
  while (readPos_ >= visibleCount_) {
    if (endOfMessage_) return S_FALSE;
    HRESULT hr = Fill();
    if (FAILED(hr)) return hr;
  }
  *pc = static_cast<char>(readBuf_[readPos_++]);
  hasRead_ = true;
  return S_OK;
}

HRESULT CInstrBuffer::PushBack() {
  if (!hasRead_ || readPos_ == 0)
    return Report(msg::IoError, "Can't push character back into read buffer.  Buffer has not been read from.");
  --readPos_;
  hasRead_ = false;
  return S_OK;
}

HRESULT CInstrBuffer::ReadDirect(BYTE* dst, ULONG count, ULONG* actual) {
  TermCharOff raw(io_);
  ULONG done = 0;
  HRESULT hr = S_OK;
  while (done < count) {
    LONG want = static_cast<LONG>(std::min<ULONG>(count - done, kMaxTransfer));
    LONG got = 0;
    hr = io_->LowLevelReadNoPoll(dst + done, want, &got, kKeepSessionTimeout);
    if (got > 0) {
      done += static_cast<ULONG>(std::min(got, want));
      messageBytes_ += static_cast<ULONG>(got);
    }
    if (FAILED(hr)) {
      Abandon();
      break;
    }
    // The message may go on past the bytes asked for (the instrument's terminator at least).
    endOfMessage_ = endReached_ = false;
    if (got <= 0) break;
  }
  *actual = done;
  return FAILED(hr) ? hr : S_OK;
}

HRESULT CInstrBuffer::Read(BYTE* dst, ULONG count, ULONG* actual) {
  ULONG local = 0;
  if (!actual) actual = &local;
  *actual = 0;
  if (count == 0) return S_OK;
  if (!dst) return Report(msg::OutOfMemory, "Failed copying data from formatted I/O read buffer to user buffer.");
  ULONG buffered = std::min(count, readCount_ - readPos_);
  if (buffered > 0) {
    std::memcpy(dst, readBuf_.get() + readPos_, buffered);
    readPos_ += buffered;
    hasRead_ = true;
    // A terminator hidden at the end of the chunk was data after all: the message goes on.
    if (readPos_ > visibleCount_) {
      visibleCount_ = readCount_;
      endOfMessage_ = endReached_ = false;
    }
  }
  *actual = buffered;
  if (buffered == count) return S_OK;
  ULONG direct = 0;
  HRESULT hr = ReadDirect(dst + buffered, count - buffered, &direct);
  *actual += direct;
  return hr;
}

HRESULT CInstrBuffer::Read(ULONG count, SAFEARRAY** ppsaBuf) {
  if (!ppsaBuf) return reporter_->NullPointer("Read", "ppsaBuf", nullptr);
  *ppsaBuf = nullptr;
  SafeArrayPtr sa(SafeArrayCreateVector(VT_UI1, 0, count));
  if (!sa) return Report(msg::OutOfMemory, "Could not allocate SAFEARRAY memory for Read.");
  ULONG got = 0;
  {
    SafeArrayAccess<BYTE> data(sa.get());
    if (!data.ok()) return Report(msg::OutOfMemory, "Could not allocate SAFEARRAY memory for Read.");
    HRESULT hr = Read(data.data(), count, &got);
    if (FAILED(hr)) return hr;
  }
  if (got < count) {
    // Hand out only what arrived.
    SafeArrayPtr shorter(SafeArrayCreateVector(VT_UI1, 0, got));
    if (!shorter) return Report(msg::OutOfMemory, "Could not allocate SAFEARRAY memory for Read.");
    SafeArrayAccess<BYTE> from(sa.get()), to(shorter.get());
    if (!from.ok() || !to.ok()) return Report(msg::OutOfMemory, "Could not allocate SAFEARRAY memory for Read.");
    if (got) std::memcpy(to.data(), from.data(), got);
    sa = std::move(shorter);
  }
  *ppsaBuf = sa.Detach();
  return S_OK;
}

HRESULT CInstrBuffer::Read(ULONG count, BSTR* pbstrBuf) {
  if (!pbstrBuf) return reporter_->NullPointer("Read", "pbstrBuf", nullptr);
  *pbstrBuf = nullptr;
  std::string bytes;
  HRESULT hr = Guarded(
      [&] {
        bytes.resize(count);
        return S_OK;
      },
      [this](const CaughtException&) { return Report(msg::OutOfMemory, "Could not allocate BSTR memory for Read."); });
  if (FAILED(hr)) return hr;
  ULONG got = 0;
  hr = Read(reinterpret_cast<BYTE*>(bytes.data()), count, &got);
  if (FAILED(hr)) return hr;
  bytes.resize(got);
  try {
    OleString wide = ToOle(bytes);
    *pbstrBuf = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  } catch (...) {
    *pbstrBuf = nullptr;
  }
  if (!*pbstrBuf) return Report(msg::OutOfMemory, "Could not allocate BSTR memory for Read.");
  return S_OK;
}

HRESULT CInstrBuffer::BeginIndefiniteBlock() {
  if (endOnlyAtTerminator_) {
    // Whatever follows (more data, or the next "message" cut at a line feed in the data) is
    // part of this reply: all of it is dropped before the next command, waiting for the rest
    // only when no line feed has come yet.
    const bool midMessage = !endOfMessage_;
    Abandon();
    abandonedPartial_ = midMessage;
    return reporter_->UnexpectedResponse(
        "The response holds an indefinite-length (#0) block. On this connection a message ends at a line feed, "
        "which binary data may hold, so the end of the block cannot be known: only definite-length blocks "
        "(#<digits><length>) can be read here.");
  }
  // A chunk cut at the termination character (switched on by the caller) ended at a data byte.
  if (stoppedAtTermChar_ && endOfMessage_) {
    visibleCount_ = readCount_;
    endOfMessage_ = endReached_ = false;
  }
  return S_OK;
}

HRESULT CInstrBuffer::ReadToEnd(BYTE* dst, ULONG capacity, ULONG* actual, bool* more) {
  *actual = 0;
  *more = false;
  // Binary data to the END mark: a termination character in it is data.
  std::optional<TermCharOff> raw;
  if (!endOnlyAtTerminator_) raw.emplace(io_);
  ULONG buffered = std::min(capacity, visibleCount_ - std::min(readPos_, visibleCount_));
  if (buffered > 0) {
    std::memcpy(dst, readBuf_.get() + readPos_, buffered);
    readPos_ += buffered;
    hasRead_ = true;
  }
  *actual = buffered;
  if (readPos_ < visibleCount_) {
    *more = true;
    return S_OK;
  }
  while (!endOfMessage_) {
    if (*actual == capacity) {
      *more = true;
      return S_OK;
    }
    LONG want = static_cast<LONG>(std::min<ULONG>(capacity - *actual, kMaxTransfer));
    LONG got = 0;
    HRESULT hr = io_->LowLevelReadNoPoll(dst + *actual, want, &got, kKeepSessionTimeout);
    if (got > 0) {
      *actual += static_cast<ULONG>(std::min(got, want));
      messageBytes_ += static_cast<ULONG>(got);
    }
    if (FAILED(hr)) {
      Abandon();
      return hr;
    }
    if (!IsMoreData(hr)) {
      // The message ended here; its terminator is not data.
      ClearRead();
      if (EndsWith(dst, *actual, readTerminator_)) *actual -= static_cast<ULONG>(readTerminator_.size());
      return S_OK;
    }
    if (got <= 0) break;
  }
  return S_OK;
}

HRESULT CInstrBuffer::Skip(std::uint64_t count) {
  ULONG buffered = static_cast<ULONG>(std::min<std::uint64_t>(count, readCount_ - readPos_));
  readPos_ += buffered;
  if (readPos_ > visibleCount_) {
    visibleCount_ = readCount_;
    endOfMessage_ = endReached_ = false;
  }
  count -= buffered;
  if (count == 0) return S_OK;
  // The read buffer is empty now and serves as scratch space.
  readCount_ = visibleCount_ = readPos_ = 0;
  while (count > 0) {
    ULONG want = static_cast<ULONG>(std::min<std::uint64_t>(count, readCapacity_));
    ULONG got = 0;
    HRESULT hr = ReadDirect(readBuf_.get(), want, &got);
    if (FAILED(hr)) return hr;
    if (got == 0) return S_FALSE;
    count -= got;
  }
  return S_OK;
}

HRESULT CInstrBuffer::Discard() {
  HRESULT hr = S_OK;
  while (!endOfMessage_) {
    LONG got = 0;
    hr = io_->LowLevelReadNoPoll(readBuf_.get(), static_cast<LONG>(readCapacity_), &got, kKeepSessionTimeout);
    if (got > 0) messageBytes_ += static_cast<ULONG>(got);
    if (FAILED(hr)) {
      Abandon();
      return hr;
    }
    if (!IsMoreData(hr) || got <= 0) break;
  }
  ClearRead();
  return FAILED(hr) ? hr : S_OK;
}

// ---- writing ----

HRESULT CInstrBuffer::SendBuffer(bool end) {
  DrainAbandoned();
  bool restoreEnd = false;
  if (!end) {
    VARIANT_BOOL on = VARIANT_FALSE;
    if (SUCCEEDED(io_->GetSendEndEnabled(&on)) && on != VARIANT_FALSE)
      restoreEnd = SUCCEEDED(io_->SetSendEndEnabled(VARIANT_FALSE));
  }
  const ULONG asked = writeCount_;
  LONG sent = 0;
  HRESULT hr = io_->LowLevelWriteNoPoll(writeBuf_.get(), static_cast<LONG>(asked), &sent, kKeepSessionTimeout);
  if (restoreEnd) io_->SetSendEndEnabled(VARIANT_TRUE);
  lastSentEndedWithTerminator_ = EndsWith(writeBuf_.get(), asked, writeTerminator_);
  // Unsent bytes are dropped: a half-sent command cannot be completed later.
  writeCount_ = 0;
  messageOpen_ = !end;
  if (FAILED(hr)) return hr;
  if (sent < static_cast<LONG>(asked)) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "Flush of formatted I/O write buffer only successfully sent %d of %d bytes to the device.",
                  static_cast<int>(sent), static_cast<int>(asked));
    return Report(msg::IoError, text);
  }
  return S_OK;
}

HRESULT CInstrBuffer::Flush(bool end) {
  if (writeCount_ == 0) {
    // Nothing buffered; but a message sent in pieces without END still has to be ended, unless
    // its last piece carried the terminator already.
    if (!end || !messageOpen_) return S_OK;
    if (lastSentEndedWithTerminator_) {
      messageOpen_ = false;
      return S_OK;
    }
  }
  if (end && !EndsWith(writeBuf_.get(), writeCount_, writeTerminator_)) {
    // The write buffer always has room for the terminator behind its capacity.
    std::memcpy(writeBuf_.get() + writeCount_, writeTerminator_.data(), writeTerminator_.size());
    writeCount_ += static_cast<ULONG>(writeTerminator_.size());
  }
  return SendBuffer(end);
}

HRESULT CInstrBuffer::Write(const char* data, ULONG count, ULONG* written, bool flush) {
  ULONG taken = 0;
  if (written) *written = 0;
  if (count > 0 && !data)
    return Report(msg::OutOfMemory, "Failed copying data from user buffer to formatted I/O write buffer.");
  while (taken < count) {
    ULONG n = std::min(count - taken, writeCapacity_ - writeCount_);
    std::memcpy(writeBuf_.get() + writeCount_, data + taken, n);
    writeCount_ += n;
    taken += n;
    if (written) *written = taken;
    if (writeCount_ == writeCapacity_) {
      HRESULT hr = SendBuffer(false);
      if (FAILED(hr)) return hr;
    }
  }
  return flush ? Flush(true) : S_OK;
}

HRESULT CInstrBuffer::Write(BSTR text, ULONG* written, bool flush) {
  if (written) *written = 0;
  return Guarded(
      [&] {
        const std::string narrow = ToNarrow(text);
        return Write(narrow.data(), static_cast<ULONG>(narrow.size()), written, flush);
      },
      [this](const CaughtException&) {
        return Report(msg::OutOfMemory, "Failed copying data from user buffer to formatted I/O write buffer.");
      });
}

// ---- settings ----

HRESULT CInstrBuffer::GetReadCapacity(ULONG* capacity) {
  if (!capacity) return reporter_->NullPointer("GetReadCapacity", "pCapacity", nullptr);
  *capacity = readCapacity_;
  return S_OK;
}

HRESULT CInstrBuffer::SetReadCapacity(ULONG capacity) {
  readBuf_.reset();
  ClearRead();
  if (capacity > 0 && capacity <= static_cast<ULONG>(kMaxTransfer)) readBuf_ = Allocate(capacity);
  if (!readBuf_) {
    char text[120];
    std::snprintf(text, sizeof text, "Couldn't allocate formatted I/O read buffer with a capacity of %d bytes.",
                  static_cast<int>(capacity));
    // Keep a usable buffer behind the failure.
    readCapacity_ = kDefaultCapacity;
    readBuf_ = Allocate(readCapacity_);
    return Report(msg::OutOfMemory, text);
  }
  readCapacity_ = capacity;
  return S_OK;
}

HRESULT CInstrBuffer::GetWriteCapacity(ULONG* capacity) {
  if (!capacity) return reporter_->NullPointer("GetWriteCapacity", "pCapacity", nullptr);
  *capacity = writeCapacity_;
  return S_OK;
}

HRESULT CInstrBuffer::SetWriteCapacity(ULONG capacity) {
  writeBuf_.reset();
  writeCount_ = 0;
  if (capacity > 0 && capacity <= static_cast<ULONG>(kMaxTransfer) - writeTerminator_.size())
    writeBuf_ = Allocate(std::size_t{capacity} + writeTerminator_.size());
  if (!writeBuf_) {
    char text[120];
    std::snprintf(text, sizeof text, "Couldn't allocate formatted I/O write buffer with a capacity of %d bytes.",
                  static_cast<int>(capacity));
    writeCapacity_ = kDefaultCapacity;
    writeBuf_ = Allocate(std::size_t{writeCapacity_} + writeTerminator_.size());
    return Report(msg::OutOfMemory, text);
  }
  writeCapacity_ = capacity;
  return S_OK;
}

HRESULT CInstrBuffer::SetTerminators(std::string_view readTerminator, std::string_view writeTerminator) {
  return Guarded(
      [&] {
        readTerminator_ = readTerminator;
        writeTerminator_ = writeTerminator;
        return SetWriteCapacity(writeCapacity_);
      },
      [this](const CaughtException&) { return reporter_->OutOfMemory(); });
}

HRESULT CInstrBuffer::GetSwapBytes(bool* swap) {
  if (!swap) return reporter_->NullPointer("GetSwapBytes", "pSwap", nullptr);
  *swap = swapBytes_;
  return S_OK;
}

HRESULT CInstrBuffer::SetSwapBytes(bool swap) {
  swapBytes_ = swap;
  return S_OK;
}

}  // namespace korvane
