// The instrument I/O session as the driver session sees it: open/close, the session settings and
// lock, and formatted and typed write / read / query in the driver's format language. Operations
// are listed in the order of the session's virtual table.
#pragma once

#include "base/ScopeGuard.h"
#include "io/FormatArgs.h"

#include <korvane/KorvanePlatform.h>

#include <memory>
#include <string>

namespace korvane {

struct IErrorReporter;
struct ICallContextProvider;
struct IEnumFormatter;
class CIoLog;

// Checks the instrument for errors after each complete formatted operation.
struct IInstrErrorPoller {
  virtual HRESULT PollInstrumentErrors() = 0;

 protected:
  ~IInstrErrorPoller() = default;
};

// Reads that stop because the requested count was reached, not because the instrument ended its
// message, succeed with this status: the caller must read again for the rest.
inline constexpr HRESULT S_IO_MORE_DATA = 0x00040102;
// VISA-COM's own form of the same condition (VI_SUCCESS_MAX_CNT); accepted wherever the above is.
inline constexpr HRESULT S_IO_MAX_COUNT = 0x00040006;
// A read that stopped at the termination character (VISA-COM's VI_SUCCESS_TERM_CHAR); a read
// that ended at the instrument's END returns S_OK.
inline constexpr HRESULT S_IO_TERM_CHAR = 0x00040005;
inline constexpr bool IsMoreData(HRESULT hr) noexcept { return hr == S_IO_MORE_DATA || hr == S_IO_MAX_COUNT; }

// Unformatted message transfers. Every read and write takes a byte count, an optional pointer
// receiving the count actually moved, and a timeout for this one transfer (kKeepSessionTimeout,
// or milliseconds set before the transfer and restored after it). A read succeeds with
// S_IO_MORE_DATA (or S_IO_MAX_COUNT) when the message continues and with another success
// status when the bytes returned end the message; bytes delivered before a failure (a timeout)
// are counted in the actual count. Operations are listed in virtual-table order.
struct ILowLevelIo {
  virtual HRESULT GetTerminationCharacter(BYTE* pcTermChar) = 0;
  virtual HRESULT SetTerminationCharacter(BYTE cTermChar) = 0;
  virtual HRESULT GetTerminationCharacterEnabled(VARIANT_BOOL* pbEnabled) = 0;
  virtual HRESULT SetTerminationCharacterEnabled(VARIANT_BOOL bEnabled) = 0;
  virtual HRESULT GetSendEndEnabled(VARIANT_BOOL* pbEnabled) = 0;
  virtual HRESULT SetSendEndEnabled(VARIANT_BOOL bEnabled) = 0;

  virtual HRESULT LowLevelReadNoPoll(BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) = 0;
  virtual HRESULT LowLevelReadNoPoll(LONG lCount, SAFEARRAY** ppsaBuf, LONG* plActual, LONG lTimeout) = 0;
  virtual HRESULT LowLevelReadStringNoPoll(LONG lCount, BSTR* pbstrBuf, LONG* plActual, LONG lTimeout) = 0;
  virtual HRESULT LowLevelWriteNoPoll(const BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) = 0;
  virtual HRESULT LowLevelWriteNoPoll(SAFEARRAY* psaBuf, LONG lCount, LONG* plActual, LONG lTimeout) = 0;
  virtual HRESULT LowLevelWriteStringNoPoll(BSTR bstrBuf, LONG* plActual, LONG lTimeout) = 0;

  // The same transfers followed by the status check.
  virtual HRESULT LowLevelRead(BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) = 0;
  virtual HRESULT LowLevelRead(LONG lCount, SAFEARRAY** ppsaBuf, LONG* plActual, LONG lTimeout) = 0;
  virtual HRESULT LowLevelReadString(LONG lCount, BSTR* pbstrBuf, LONG* plActual, LONG lTimeout) = 0;
  virtual HRESULT LowLevelWrite(const BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) = 0;
  virtual HRESULT LowLevelWrite(SAFEARRAY* psaBuf, LONG lCount, LONG* plActual, LONG lTimeout) = 0;
  virtual HRESULT LowLevelWriteString(BSTR bstrBuf, LONG* plActual, LONG lTimeout) = 0;

  // Sends what the instrument buffer holds, with END.
  virtual HRESULT FlushInstrBuffer() = 0;

 protected:
  ~ILowLevelIo() = default;
};

// The value types of the typed operation families: name, C++ type. Every family has one
// operation per type; the implementations are one template each.
#define KORVANE_IO_VALUE_TYPES(X) \
  X(Byte, BYTE)                   \
  X(Int16, short)                 \
  X(Int32, LONG)                  \
  X(Int64, LONGLONG)              \
  X(Real32, float)                \
  X(Real64, double)

// The typed operations of one value type. Writes send `command`, a space and the value (a list:
// comma-separated; a block: IEEE 488.2 definite-length, elements in the buffer's byte order), then
// the write terminator with END. Reads take one value, a list or a block from the next message and
// drop what the message has left; list and block reads into a caller array take its capacity in
// `*plCount` and return the number stored there; the SAFEARRAY forms return a new array. Queries
// send `command` as it stands, flushed, then read. Writes and queries end with the status check
// when `poll` is true.
#define KORVANE_IO_TYPED_FAMILY(Name, T, Tail)                                                           \
  virtual HRESULT Write##Name(const char* command, T value, bool poll) Tail;                             \
  virtual HRESULT Write##Name##List(const char* command, const T* values, LONG lCount, bool poll) Tail;  \
  virtual HRESULT Write##Name##Block(const char* command, const T* values, LONG lCount, bool poll) Tail; \
  virtual HRESULT Read##Name(T* pValue) Tail;                                                            \
  virtual HRESULT Read##Name##List(T* pValues, LONG* plCount) Tail;                                      \
  virtual HRESULT Read##Name##List(SAFEARRAY** ppsaValues) Tail;                                         \
  virtual HRESULT Read##Name##Block(T* pValues, LONG* plCount) Tail;                                     \
  virtual HRESULT Read##Name##Block(SAFEARRAY** ppsaValues) Tail;                                        \
  virtual HRESULT Query##Name(const char* command, T* pValue, bool poll) Tail;                           \
  virtual HRESULT Query##Name##List(const char* command, T* pValues, LONG* plCount, bool poll) Tail;     \
  virtual HRESULT Query##Name##List(const char* command, SAFEARRAY** ppsaValues, bool poll) Tail;        \
  virtual HRESULT Query##Name##Block(const char* command, T* pValues, LONG* plCount, bool poll) Tail;    \
  virtual HRESULT Query##Name##Block(const char* command, SAFEARRAY** ppsaValues, bool poll) Tail;

#define KORVANE_IO_PURE = 0
#define KORVANE_IO_OVERRIDE override
#define KORVANE_IO_DECLARE_PURE(Name, T) KORVANE_IO_TYPED_FAMILY(Name, T, KORVANE_IO_PURE)
#define KORVANE_IO_DECLARE_OVERRIDE(Name, T) KORVANE_IO_TYPED_FAMILY(Name, T, KORVANE_IO_OVERRIDE)

// This layer's lock modes; VISA's are 1 (exclusive) and 2 (shared).
enum IoAccessMode : LONG { kIoExclusiveLock = 0, kIoSharedLock = 1 };

struct IIoSession {
  virtual ~IIoSession() = default;

  // The poller, reporter and context provider are required and are not owned; they must
  // outlive the open session.
  virtual HRESULT Open(const char* resourceName, IInstrErrorPoller* poller, IErrorReporter* reporter,
                       ICallContextProvider* context) = 0;
  virtual HRESULT Close() = 0;

  // Serial poll: the IEEE 488.2 status byte, read without a query, so a pending reply is kept.
  virtual HRESULT ReadStatusBte(short* psStatusByte) = 0;

  virtual HRESULT GetTimeout(LONG* plTimeout) = 0;
  virtual HRESULT SetTimeout(LONG lTimeout) = 0;
  virtual HRESULT GetTerminationCharacter(BYTE* pcTermChar) = 0;
  virtual HRESULT SetTerminationCharacter(BYTE cTermChar) = 0;
  virtual HRESULT GetTerminationCharacterEnabled(VARIANT_BOOL* pbEnabled) = 0;
  virtual HRESULT SetTerminationCharacterEnabled(VARIANT_BOOL bEnabled) = 0;
  // The resource lock. `lAccessMode` is an IoAccessMode; `requestedKey` may be null (no key);
  // `accessKey` receives the key of a shared lock (empty for an exclusive one).
  virtual HRESULT Lock(LONG lAccessMode, LONG lTimeout, const char* requestedKey, std::string* accessKey) = 0;
  virtual HRESULT Unlock() = 0;

  // The status check: the poller's check when connected.
  virtual HRESULT CheckStatus() = 0;

  // Write: format, flush with END, status check. Read: parse, status check. Query: the write
  // part and the read part with one status check at the end; the argument list serves the
  // command format first and then the response format. Argument types are checked when the
  // call is compiled (io/FormatArgs.h).
  template <typename... A>
  HRESULT FormattedWrite(const char* format, A... args) {
    static_assert((format::WriteArg<A> && ...),
                  "FormattedWrite: an argument the format engine does not take (see io/FormatArgs.h)");
    return Formatted(format, nullptr, format::Args(args...));
  }
  template <typename... A>
  HRESULT FormattedRead(const char* format, A... args) {
    static_assert((format::ReadArg<A> && ...),
                  "FormattedRead: a destination the format engine does not store into (see io/FormatArgs.h)");
    return Formatted(nullptr, format, format::Args(args...));
  }
  template <typename... A>
  HRESULT FormattedQuery(const char* command, const char* response, A... args) {
    static_assert(((format::WriteArg<A> || format::ReadArg<A>)&&...),
                  "FormattedQuery: an argument the format engine does not take (see io/FormatArgs.h)");
    return Formatted(command, response, format::Args(args...));
  }
  // The three in one: `command` written (null: no write part), then `response` read (null: no
  // read part).
  virtual HRESULT Formatted(const char* command, const char* response, format::ArgList args) = 0;

  KORVANE_IO_VALUE_TYPES(KORVANE_IO_DECLARE_PURE)
  // A list or block from a SAFEARRAY of any of the value types (VT_UI1, VT_I2, VT_I4, VT_I8, VT_R4,
  // VT_R8); another element type is refused before anything is sent.
  virtual HRESULT WriteList(const char* command, SAFEARRAY* psaValues, bool poll) = 0;
  virtual HRESULT WriteBlock(const char* command, SAFEARRAY* psaValues, bool poll) = 0;

  // The transfers of the status check itself, which must not start another one. The write sends
  // `command` and the write terminator, flushed with END; the read takes one message, without
  // its terminator. `lTimeout` is kKeepSessionTimeout or a timeout for this one transfer.
  virtual HRESULT WriteCommandNoPoll(const char* command, LONG lTimeout) = 0;
  virtual HRESULT ReadLineNoPoll(std::string* line, LONG lTimeout) = 0;
  // Device clear: the instrument drops its pending output and the session its buffered bytes.
  virtual HRESULT DeviceClear() = 0;

  // The enumeration conversions of the format language; not owned, must outlive the session.
  virtual void SetEnumFormatter(IEnumFormatter*) noexcept = 0;

  // The instrument buffer's swap-bytes flag (block elements byte-reversed as they are read).
  virtual HRESULT GetSwapBytes(bool*) = 0;
  virtual HRESULT SetSwapBytes(bool) = 0;

  // The I/O log of every message sent and received (null: none). Sessions without a wire of
  // their own have nothing to log.
  virtual void SetIoLog(std::shared_ptr<CIoLog>) noexcept {}
};

}  // namespace korvane
