// An in-memory I/O session that expects a fixed sequence of commands and answers canned
// replies. It understands just the formats the driver session uses: literal commands, "%d" and
// "%s" on the write side, and "%d", "%lf", "%$Ct", "%$C[^\n]" (a width before "$C" is ignored),
// "%$Shb" (a definite-length block of 16-bit words, byte-reversed while the swap-bytes flag is on),
// "%#hb" (the same into the caller's array, its capacity and the words stored through a LONG*),
// "%$Sb" (a definite-length block of bytes),
// "%,$Slf" (comma-separated doubles into a new array), "%{Enum}[^\n]" (through the driver's
// enumeration formatter) and literal text on the read side. The status check's own transfers take a step as well: the
// command on the write, its reply on the read.
#pragma once

#include "io/FormattedIo.h"
#include "io/IoSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>
#include <korvane/KorvaneErrors.h>

namespace korvane::test {

class ScriptedIoSession : public IIoSession {
 public:
  struct Step {
    std::string command;
    std::string reply;
    HRESULT hr = S_OK;
    HRESULT readHr = S_OK;  // the status check's read of the reply
  };

  // The queries Initialize makes of an instrument that identifies as `model` with these options,
  // analog channel count and channel bandwidth (the bandwidth limit is 20 MHz).
  void ExpectConnect(const std::string& model, const char* options, const char* channels = "2",
                     const char* bandwidth = "+7.0E+07") {
    Expect("*IDN?", "Veltrane Instruments," + model + ",SN0001,1.02.3");
    Expect("*OPT?", options);
    Expect(":SYST:DATA:VAL? \"COUN:CHAN\"", channels);
    Expect(":SYST:DATA:VAL? \"CHAN:BAND\"", bandwidth);
    Expect(":SYST:DATA:VAL? \"CHAN:BWL\"", "+2.0E+07");
  }
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
  bool swapBytes = true;               // the instrument buffer's flag
  std::vector<std::string> sent;       // every command, in order
  std::vector<LONG> timeoutAtCommand;  // the timeout in force when each was sent
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

  HRESULT GetSwapBytes(bool* swap) override {
    *swap = swapBytes;
    return S_OK;
  }
  HRESULT SetSwapBytes(bool swap) override {
    swapBytes = swap;
    return S_OK;
  }

  HRESULT Formatted(const char* command, const char* response, format::ArgList args) override {
    if (!command) {
      ADD_FAILURE() << "the driver session reads only through queries";
      return E_UNEXPECTED;
    }
    Step step;
    HRESULT hr = SendAndTake(command, args, step);
    if (SUCCEEDED(hr) && response) hr = Parse(response, step.reply, args, swapBytes);
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
  void SetEnumFormatter(IEnumFormatter* enums) noexcept override { enums_ = enums; }
  HRESULT CheckStatus() override { return Poll(); }

  // What the driver session never uses: a call is a fault of the code under test.
  // No serial poll here: callers fall back to a query, as with sessions that lack one.
  HRESULT ReadStatusBte(short*) override { return E_NOTIMPL; }
  HRESULT GetTerminationCharacter(BYTE*) override { return Unused("GetTerminationCharacter"); }
  HRESULT SetTerminationCharacter(BYTE) override { return Unused("SetTerminationCharacter"); }
  HRESULT GetTerminationCharacterEnabled(VARIANT_BOOL*) override { return Unused("GetTerminationCharacterEnabled"); }
  HRESULT SetTerminationCharacterEnabled(VARIANT_BOOL) override { return Unused("SetTerminationCharacterEnabled"); }
  HRESULT Lock(LONG, LONG, const char*, std::string*) override { return Unused("Lock"); }
  HRESULT Unlock() override { return Unused("Unlock"); }
  HRESULT WriteList(const char*, SAFEARRAY*, bool) override { return Unused("WriteList"); }
  HRESULT WriteBlock(const char*, SAFEARRAY*, bool) override { return Unused("WriteBlock"); }
#define KORVANE_SCRIPTED_UNUSED(Name, T)                                                                   \
  HRESULT Write##Name(const char*, T, bool) override { return Unused("Write" #Name); }                     \
  HRESULT Write##Name##List(const char*, const T*, LONG, bool) override { return Unused("Write" #Name); }  \
  HRESULT Write##Name##Block(const char*, const T*, LONG, bool) override { return Unused("Write" #Name); } \
  HRESULT Read##Name(T*) override { return Unused("Read" #Name); }                                         \
  HRESULT Read##Name##List(T*, LONG*) override { return Unused("Read" #Name); }                            \
  HRESULT Read##Name##List(SAFEARRAY**) override { return Unused("Read" #Name); }                          \
  HRESULT Read##Name##Block(T*, LONG*) override { return Unused("Read" #Name); }                           \
  HRESULT Read##Name##Block(SAFEARRAY**) override { return Unused("Read" #Name); }                         \
  HRESULT Query##Name(const char*, T*, bool) override { return Unused("Query" #Name); }                    \
  HRESULT Query##Name##List(const char*, T*, LONG*, bool) override { return Unused("Query" #Name); }       \
  HRESULT Query##Name##List(const char*, SAFEARRAY**, bool) override { return Unused("Query" #Name); }     \
  HRESULT Query##Name##Block(const char*, T*, LONG*, bool) override { return Unused("Query" #Name); }      \
  HRESULT Query##Name##Block(const char*, SAFEARRAY**, bool) override { return Unused("Query" #Name); }
  KORVANE_IO_VALUE_TYPES(KORVANE_SCRIPTED_UNUSED)
#undef KORVANE_SCRIPTED_UNUSED

 private:
  static HRESULT Unused(const char* operation) {
    ADD_FAILURE() << "the driver session does not call " << operation;
    return E_NOTIMPL;
  }

  HRESULT Poll() { return poller_ ? poller_->PollInstrumentErrors() : S_OK; }

  HRESULT SendAndTake(const char* format, format::ArgList& args, Step& step) {
    std::string command;
    for (const char* p = format; *p; ++p) {
      if (p[0] == '%' && p[1] == 'd') {
        command += std::to_string(args.NextInt());
        ++p;
      } else if (p[0] == '%' && p[1] == 's') {
        command += args.NextPtr<const char>();
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
      return hresult::NotInitialized;
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

  HRESULT Parse(const char* format, const std::string& reply, format::ArgList& args, bool swap) {
    // A width before "$C" changes nothing here: "%255$Ct" reads as "%$Ct".
    std::string plain;
    for (const char* p = format; *p; ++p) {
      plain += *p;
      if (*p != '%') continue;
      const char* q = p + 1;
      while (*q >= '0' && *q <= '9') ++q;
      if (q != p + 1 && q[0] == '$' && q[1] == 'C') p = q - 1;
    }
    return ParseRest(plain.c_str(), reply, 0, args, swap);
  }

  HRESULT ParseRest(const char* format, const std::string& reply, std::size_t in, format::ArgList& args, bool swap) {
    for (const char* p = format; *p;) {
      std::string_view rest(p);
      if (rest.starts_with("%$Ct") || rest.starts_with("%$C[^\n]")) {
        std::size_t end = rest[3] == 't' ? reply.size() : std::min(reply.find('\n', in), reply.size());
        *args.NextPtr<std::string>() = reply.substr(in, end - in);
        in = end;
        p += rest[3] == 't' ? 4 : 7;
      } else if (rest.starts_with("%$Shb") || rest.starts_with("%#hb")) {
        const bool array = rest[1] == '$';
        SAFEARRAY** out = array ? args.NextPtr<SAFEARRAY*>() : nullptr;
        LONG* count = array ? nullptr : args.NextPtr<LONG>();
        auto* caller = array ? nullptr : args.NextPtr<unsigned char>();
        if (out) *out = nullptr;
        if (in + 2 > reply.size() || reply[in] != '#' || reply[in + 1] < '1' || reply[in + 1] > '9')
          return E_UNEXPECTED;
        std::size_t digits = static_cast<std::size_t>(reply[in + 1] - '0');
        std::size_t bytes = std::strtoul(reply.substr(in + 2, digits).c_str(), nullptr, 10);
        in += 2 + digits;
        if (in + bytes > reply.size()) return E_UNEXPECTED;
        // The caller's array takes what fits; the rest of the block is dropped.
        const std::size_t words = array ? bytes / 2
                                        : std::min<std::size_t>(bytes / 2, static_cast<std::size_t>(*count));
        SAFEARRAY* sa = array ? SafeArrayCreateVector(VT_I2, 0, static_cast<ULONG>(words)) : nullptr;
        void* data = caller;
        if (sa) SafeArrayAccessData(sa, &data);
        auto* dst = static_cast<unsigned char*>(data);
        for (std::size_t k = 0; k < 2 * words; k += 2) {
          unsigned char hi = static_cast<unsigned char>(reply[in + k]),
                        lo = static_cast<unsigned char>(reply[in + k + 1]);
          if (swap) {
            std::int16_t v = static_cast<std::int16_t>((hi << 8) | lo);
            std::memcpy(dst + k, &v, 2);
          } else {
            dst[k] = hi;
            dst[k + 1] = lo;
          }
        }
        if (sa) SafeArrayUnaccessData(sa);
        if (out) *out = sa;
        if (count) *count = static_cast<LONG>(words);
        in += bytes;
        p += array ? 5 : 4;
      } else if (rest.starts_with("%$Sb")) {
        // A definite-length block of bytes, as they come.
        SAFEARRAY** out = args.NextPtr<SAFEARRAY*>();
        *out = nullptr;
        if (in + 2 > reply.size() || reply[in] != '#' || reply[in + 1] < '1' || reply[in + 1] > '9')
          return E_UNEXPECTED;
        const std::size_t digits = static_cast<std::size_t>(reply[in + 1] - '0');
        const std::size_t bytes = std::strtoul(reply.substr(in + 2, digits).c_str(), nullptr, 10);
        in += 2 + digits;
        if (in + bytes > reply.size()) return E_UNEXPECTED;
        SAFEARRAY* sa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes));
        void* data = nullptr;
        SafeArrayAccessData(sa, &data);
        if (bytes) std::memcpy(data, reply.data() + in, bytes);
        SafeArrayUnaccessData(sa);
        *out = sa;
        in += bytes;
        p += 4;
      } else if (rest.starts_with("%,$Slf")) {
        // Comma-separated doubles to the end of the reply.
        std::vector<double> values;
        while (in < reply.size()) {
          const char* start = reply.c_str() + in;
          char* end = nullptr;
          values.push_back(std::strtod(start, &end));
          if (end == start) return E_FAIL;
          in += static_cast<std::size_t>(end - start);
          if (in < reply.size() && reply[in] == ',') ++in;
        }
        SAFEARRAY* sa = SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(values.size()));
        void* data = nullptr;
        SafeArrayAccessData(sa, &data);
        if (!values.empty()) std::memcpy(data, values.data(), values.size() * sizeof(double));
        SafeArrayUnaccessData(sa);
        *args.NextPtr<SAFEARRAY*>() = sa;
        p += 6;
      } else if (rest.starts_with("%d") || rest.starts_with("%lf")) {
        const char* start = reply.c_str() + in;
        char* end = nullptr;
        if (p[1] == 'd') {
          long v = std::strtol(start, &end, 10);
          if (end != start) *args.NextPtr<int>() = static_cast<int>(v);
          p += 2;
        } else {
          double v = std::strtod(start, &end);
          if (end != start) *args.NextPtr<double>() = v;
          p += 3;
        }
        if (end == start) return E_FAIL;
        in += static_cast<std::size_t>(end - start);
      } else if (rest.starts_with("%{") && rest.find("}[^\n]") != std::string_view::npos) {
        const std::size_t close = rest.find('}');
        const std::string_view name = rest.substr(2, close - 2);
        std::string_view token(reply.c_str() + in);
        if (const std::size_t nl = token.find('\n'); nl != std::string_view::npos) token = token.substr(0, nl);
        LONG value = 0;
        if (!enums_) return E_UNEXPECTED;
        if (HRESULT hr = enums_->ParseEnumToken(name, token, &value); FAILED(hr)) return hr;
        if (name == "VARIANT_BOOL") *args.NextPtr<VARIANT_BOOL>() = static_cast<VARIANT_BOOL>(value);
        else *args.NextPtr<LONG>() = value;
        in += token.size();
        p += close + 1 + std::string_view("[^\n]").size();
      } else if (*p == '%') {
        ADD_FAILURE() << "format not understood by the scripted session: " << format;
        return E_UNEXPECTED;
      } else {
        if (in >= reply.size() || reply[in] != *p) return E_FAIL;
        ++in;
        ++p;
      }
    }
    return S_OK;
  }

  std::deque<Step> steps_;
  IInstrErrorPoller* poller_ = nullptr;
  IEnumFormatter* enums_ = nullptr;
  Step pending_;
  bool replyPending_ = false;
};

}  // namespace korvane::test
