// An in-memory I/O session that expects a fixed sequence of commands and answers canned
// replies. It understands just the formats the driver session uses: literal commands, "%d" and
// "%s" on the write side, and "%d", "%lf", "%$Ct" and literal text on the read side. The status check's
// own transfers take a step as well: the command on the write, its reply on the read.
#pragma once

#include "io/IoSession.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::test {

class ScriptedIoSession : public IIoSession {
 public:
  struct Step {
    std::string command;
    std::string reply;
    HRESULT hr = S_OK;
    HRESULT readHr = S_OK;  // the status check's read of the reply
  };

  void Expect(std::string command, std::string reply = {}, HRESULT hr = S_OK) {
    steps_.push_back({std::move(command), std::move(reply), hr});
  }
  // The command goes out; reading its reply fails with `hr`.
  void ExpectReadFailure(std::string command, HRESULT hr) { steps_.push_back({std::move(command), {}, S_OK, hr}); }
  bool AllConsumed() const { return steps_.empty(); }

  HRESULT openResult = S_OK;
  bool isOpen = false;
  int openCount = 0;
  int closeCount = 0;
  std::string openedResource;
  LONG timeout = 2000;
  std::vector<std::string> sent;        // every command, in order
  std::vector<LONG> timeoutAtCommand;   // the timeout in force when each was sent
  int deviceClears = 0;

  HRESULT Open(const char* resourceName, IInstrErrorPoller* poller, IErrorReporter* reporter,
               ICallContextProvider* context) override {
    if (!poller || !reporter || !context) return E_POINTER;
    ++openCount;
    openedResource = resourceName;
    if (FAILED(openResult)) return openResult;
    poller_ = poller;
    isOpen = true;
    return S_OK;
  }
  HRESULT Close() override {
    ++closeCount;
    isOpen = false;
    return S_OK;
  }
  HRESULT GetTimeout(LONG* plTimeout) override {
    *plTimeout = timeout;
    return S_OK;
  }
  HRESULT SetTimeout(LONG lTimeout) override {
    timeout = lTimeout;
    return S_OK;
  }

  HRESULT FormattedWrite(const char* format, ...) override {
    va_list args;
    va_start(args, format);
    HRESULT hr = FormattedWriteV(format, args);
    va_end(args);
    return hr;
  }
  HRESULT FormattedWriteV(const char* format, va_list args) override {
    va_list local;
    va_copy(local, args);
    Step step;
    HRESULT hr = SendAndTake(format, local, step);
    va_end(local);
    return FAILED(hr) ? hr : Poll();
  }
  HRESULT FormattedRead(const char*, ...) override {
    ADD_FAILURE() << "the driver session reads only through queries";
    return E_UNEXPECTED;
  }
  HRESULT FormattedReadV(const char*, va_list) override {
    ADD_FAILURE() << "the driver session reads only through queries";
    return E_UNEXPECTED;
  }
  HRESULT FormattedQuery(const char* command, const char* response, ...) override {
    va_list args;
    va_start(args, response);
    HRESULT hr = FormattedQueryV(command, response, args);
    va_end(args);
    return hr;
  }
  HRESULT FormattedQueryV(const char* command, const char* response, va_list args) override {
    va_list local;
    va_copy(local, args);
    Step step;
    HRESULT hr = SendAndTake(command, local, step);
    if (SUCCEEDED(hr)) hr = Parse(response, step.reply, local);
    va_end(local);
    return FAILED(hr) ? hr : Poll();
  }

  HRESULT WriteCommandNoPoll(const char* command, LONG) override {
    Step step;
    HRESULT hr = Take(command, step);
    replyPending_ = SUCCEEDED(hr);
    pending_ = std::move(step);
    return hr;
  }
  HRESULT ReadLineNoPoll(std::string* line, LONG) override {
    if (!replyPending_) {
      ADD_FAILURE() << "a read with no command before it";
      return E_FAIL;
    }
    replyPending_ = false;
    if (FAILED(pending_.readHr)) return pending_.readHr;
    *line = pending_.reply;
    return S_OK;
  }
  HRESULT DeviceClear() override {
    ++deviceClears;
    replyPending_ = false;
    return S_OK;
  }

 private:
  HRESULT Poll() { return poller_ ? poller_->PollInstrumentErrors() : S_OK; }

  HRESULT SendAndTake(const char* format, va_list& args, Step& step) {
    std::string command;
    for (const char* p = format; *p; ++p) {
      if (p[0] == '%' && p[1] == 'd') {
        command += std::to_string(va_arg(args, int));
        ++p;
      } else if (p[0] == '%' && p[1] == 's') {
        command += va_arg(args, const char*);
        ++p;
      } else {
        command += *p;
      }
    }
    return Take(command, step);
  }

  HRESULT Take(const std::string& command, Step& step) {
    if (!isOpen) {
      ADD_FAILURE() << "command on a closed session: " << command;
      return static_cast<HRESULT>(0x8004701D);
    }
    sent.push_back(command);
    timeoutAtCommand.push_back(timeout);
    if (steps_.empty()) {
      ADD_FAILURE() << "unexpected command: " << command;
      return E_FAIL;
    }
    step = steps_.front();
    steps_.pop_front();
    if (step.command != command) {
      ADD_FAILURE() << "expected " << step.command << ", got " << command;
      return E_FAIL;
    }
    return step.hr;
  }

  static HRESULT Parse(const char* format, const std::string& reply, va_list& args) {
    const char* in = reply.c_str();
    for (const char* p = format; *p;) {
      std::string_view rest(p);
      if (rest.starts_with("%$Ct")) {
        *va_arg(args, std::string*) = in;
        in += std::strlen(in);
        p += 4;
      } else if (rest.starts_with("%d") || rest.starts_with("%lf")) {
        char* end = nullptr;
        if (p[1] == 'd') {
          long v = std::strtol(in, &end, 10);
          if (end != in) *va_arg(args, int*) = static_cast<int>(v);
          p += 2;
        } else {
          double v = std::strtod(in, &end);
          if (end != in) *va_arg(args, double*) = v;
          p += 3;
        }
        if (end == in) return E_FAIL;
        in = end;
      } else if (*p == '%') {
        ADD_FAILURE() << "format not understood by the scripted session: " << format;
        return E_UNEXPECTED;
      } else {
        if (*in != *p) return E_FAIL;
        ++in;
        ++p;
      }
    }
    return S_OK;
  }

  std::deque<Step> steps_;
  IInstrErrorPoller* poller_ = nullptr;
  Step pending_;
  bool replyPending_ = false;
};

}  // namespace korvane::test
