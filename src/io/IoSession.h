// The instrument I/O session as the driver session sees it: open/close, the timeout, and
// formatted write / read / query in the driver's format language. Operations are listed in the
// order of the session's virtual table; the remaining members of that table (status byte,
// termination settings, locks, typed families) join here as the I/O layer grows.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <cstdarg>

namespace korvane {

struct IErrorReporter;
struct ICallContextProvider;

// Checks the instrument for errors after each complete formatted operation.
struct IInstrErrorPoller {
  virtual HRESULT PollInstrumentErrors() = 0;

 protected:
  ~IInstrErrorPoller() = default;
};

struct IIoSession {
  virtual ~IIoSession() = default;

  // The poller, reporter and context provider are required and are not owned; they must
  // outlive the open session.
  virtual HRESULT Open(const char* resourceName, IInstrErrorPoller* poller, IErrorReporter* reporter,
                       ICallContextProvider* context) = 0;
  virtual HRESULT Close() = 0;

  virtual HRESULT GetTimeout(LONG* plTimeout) = 0;
  virtual HRESULT SetTimeout(LONG lTimeout) = 0;

  // Write: format, flush with END, status check. Read: parse, status check. Query: the write
  // part and the read part with one status check at the end; the argument list serves the
  // command format first and then the response format.
  virtual HRESULT FormattedWrite(const char* format, ...) = 0;
  virtual HRESULT FormattedWriteV(const char* format, va_list args) = 0;
  virtual HRESULT FormattedRead(const char* format, ...) = 0;
  virtual HRESULT FormattedReadV(const char* format, va_list args) = 0;
  virtual HRESULT FormattedQuery(const char* command, const char* response, ...) = 0;
  virtual HRESULT FormattedQueryV(const char* command, const char* response, va_list args) = 0;
};

}  // namespace korvane
