// The instrument buffer: collects formatted output until a flush, and reads responses in chunks
// of the read capacity from which the scanf side takes characters one at a time. Block data
// beyond the buffered chunk goes straight from the session into the caller's memory.
#pragma once

#include "io/IoBuffer.h"
#include "io/IoSession.h"

#include <memory>
#include <string>
#include <string_view>

namespace korvane {

struct IErrorReporter;

class CInstrBuffer final : public IIoBuffer {
 public:
  static constexpr ULONG kDefaultCapacity = 4096;

  // Both pointers are required and must outlive the buffer. Returns null when the buffers
  // cannot be allocated (the session reports that).
  static std::unique_ptr<CInstrBuffer> Create(ILowLevelIo* io, IErrorReporter* reporter,
                                              std::string_view readTerminator,
                                              std::string_view writeTerminator) noexcept;

  CInstrBuffer(const CInstrBuffer&) = delete;
  CInstrBuffer& operator=(const CInstrBuffer&) = delete;
  ~CInstrBuffer() = default;

  void BeginRead() noexcept override;
  HRESULT ReadChar(char* pc) override;
  HRESULT PushBack() override;
  HRESULT Read(BYTE* dst, ULONG count, ULONG* actual) override;
  HRESULT Read(ULONG count, SAFEARRAY** ppsaBuf) override;
  HRESULT Read(ULONG count, BSTR* pbstrBuf) override;
  HRESULT BeginIndefiniteBlock() override;
  HRESULT ReadToEnd(BYTE* dst, ULONG capacity, ULONG* actual, bool* more) override;
  HRESULT Skip(std::uint64_t count) override;
  HRESULT Write(const char* data, ULONG count, ULONG* written, bool flush) override;
  HRESULT Write(BSTR text, ULONG* written, bool flush) override;
  HRESULT Flush(bool end) override;
  HRESULT Discard() override;
  HRESULT GetReadCapacity(ULONG* capacity) override;
  HRESULT SetReadCapacity(ULONG capacity) override;
  HRESULT GetWriteCapacity(ULONG* capacity) override;
  HRESULT SetWriteCapacity(ULONG capacity) override;
  HRESULT GetSwapBytes(bool* swap) override;
  HRESULT SetSwapBytes(bool swap) override;

  // Forgets pending input and output without any I/O (after a device clear or a failed
  // transfer, when the instrument side has been reset).
  void Reset() noexcept;
  // Forgets input fetched but not yet taken, without any I/O.
  void DropInput() noexcept { ClearRead(); }
  // Drops buffered output that has not been sent (a formatted write that failed half-way).
  void DropOutput() noexcept {
    writeCount_ = 0;
    messageOpen_ = false;
  }
  // The write buffer is reallocated for the new write terminator's length.
  HRESULT SetTerminators(std::string_view readTerminator, std::string_view writeTerminator);

  // Whether a message ends only at the read terminator (a raw socket, a serial line: no END of
  // their own). Until told otherwise the buffer assumes so, which only costs indefinite-length
  // blocks.
  void SetEndOnlyAtTerminator(bool on) noexcept { endOnlyAtTerminator_ = on; }

  // True while the instrument's current message has bytes not yet fetched from the session.
  bool MessagePending() const noexcept { return !endOfMessage_; }

  // Gives up the current reply half-way (a failed read, or a reply the reader refused). Its
  // late rest must not answer the next command: before that command goes out, what is left
  // of the abandoned reply is read and dropped, up to its end but for one timeout at most, and
  // only when some of it has arrived.
  void Abandon() noexcept;
  // Where the drain takes its timeout from; without one it waits kDefaultDrainMs.
  void SetTimeoutSource(IIoSession* session) noexcept { timeouts_ = session; }
  static constexpr LONG kDefaultDrainMs = 2000;

 private:
  CInstrBuffer(ILowLevelIo* io, IErrorReporter* reporter) noexcept : io_(io), reporter_(reporter) {}

  HRESULT Fill();
  HRESULT SendBuffer(bool end);
  void ClearRead() noexcept;
  // Reads straight from the session until `count` bytes arrived, with termination on the
  // character switched off so that binary data cannot end the transfer early.
  HRESULT ReadDirect(BYTE* dst, ULONG count, ULONG* actual);
  HRESULT Report(unsigned id, const std::string& text);
  void DrainAbandoned() noexcept;

  ILowLevelIo* io_;
  IErrorReporter* reporter_;
  std::unique_ptr<BYTE[]> readBuf_;
  std::unique_ptr<BYTE[]> writeBuf_;
  ULONG readCapacity_ = kDefaultCapacity;
  ULONG writeCapacity_ = kDefaultCapacity;
  ULONG readCount_ = 0;
  ULONG visibleCount_ = 0;
  ULONG writeCount_ = 0;
  ULONG readPos_ = 0;
  bool endOfMessage_ = true;
  bool endReached_ = true;
  // The chunk read last stopped at the termination character rather than at END.
  bool stoppedAtTermChar_ = false;
  bool endOnlyAtTerminator_ = true;
  std::string writeTerminator_;
  std::string readTerminator_;
  bool swapBytes_ = true;
  // Push-back needs a character read since the last fill or discard.
  bool hasRead_ = false;
  // Bytes went out without END since the last END; a flush with END must still end the message.
  bool messageOpen_ = false;
  bool lastSentEndedWithTerminator_ = false;
  // Bytes of the current reply fetched so far, and the abandoned-reply state.
  std::uint64_t messageBytes_ = 0;
  bool abandoned_ = false;
  bool abandonedPartial_ = false;
  IIoSession* timeouts_ = nullptr;
};

}  // namespace korvane
