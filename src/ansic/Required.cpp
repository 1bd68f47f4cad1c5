#include "ansic/Required.h"

#include "ansic/Families.h"
#include "ansic/Options.h"
#include "com/Objects.h"
#include "io/VisaComSession.h"

#include <korvane/KorvaneErrors.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace korvane::ansic {

HRESULT NullParameter(SessionData* s) noexcept {
  return RecordText(s, hresult::NullPointer, "A pointer argument is NULL.");
}

HRESULT RecordLength(SessionData& s, std::size_t& points) noexcept {
  points = 0;
  ComPtr<IIviDriverOperation> operation;
  HRESULT hr = AsInterface(s.root.get(), operation);
  VARIANT_BOOL simulating = VARIANT_FALSE;
  if (SUCCEEDED(hr)) hr = operation->get_Simulate(&simulating);
  if (FAILED(hr)) return Record(&s, hr);
  if (simulating) return S_OK;
  ComPtr<IKorvaneAcquisition> acquisition;
  hr = AsInterface(s.root.get(), acquisition);
  LONG n = 0;
  if (SUCCEEDED(hr)) hr = acquisition->get_RecordLength(&n);
  if (FAILED(hr)) return Record(&s, hr);
  points = n > 0 ? static_cast<std::size_t>(n) : 0;
  return S_OK;
}

namespace {

// Calls `body` with the root object as interface I.
template <class I, class F>
int32_t OnRoot(Session session, F&& body) noexcept {
  return WithSession(session, [&](SessionData& s) -> HRESULT {
    ComPtr<I> itf;
    const HRESULT hr = AsInterface(s.root.get(), itf);
    if (FAILED(hr)) return Record(&s, hr);
    return body(s, *itf.get());
  });
}

template <class I>
int32_t StringProperty(Session session, HRESULT (STDMETHODCALLTYPE I::*getter)(BSTR*), std::size_t size, char* buffer,
                       std::size_t* sizeRequired) noexcept {
  return OnRoot<I>(session, [&](SessionData& s, I& itf) -> HRESULT {
    Bstr value;
    const HRESULT hr = (itf.*getter)(value.Receive());
    if (FAILED(hr)) return Record(&s, hr);
    return Record(&s, CopyText(ToUtf8(value.get()), size, buffer, sizeRequired));
  });
}

template <class I>
int32_t BoolGet(Session session, HRESULT (STDMETHODCALLTYPE I::*getter)(VARIANT_BOOL*), bool* value) noexcept {
  return OnRoot<I>(session, [&](SessionData& s, I& itf) -> HRESULT {
    if (!value) return NullParameter(&s);
    VARIANT_BOOL v = VARIANT_FALSE;
    const HRESULT hr = (itf.*getter)(&v);
    if (FAILED(hr)) return Record(&s, hr);
    *value = v != VARIANT_FALSE;
    return Record(&s, hr);
  });
}

// The entry of an error queue as the C API writes it: -131,"Invalid Suffix" (quotes doubled).
std::string QueueEntry(long code, const std::string& message) {
  std::string out = std::to_string(code) + ",\"";
  for (char c : message) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// Takes the held response, or reads one. Called with nothing locked.
HRESULT NextResponse(SessionData& s, IKorvaneSystem2& system, std::string& response) {
  {
    std::lock_guard lk(s.m);
    if (s.hasHeldResponse) {
      response = s.heldResponse;
      return S_OK;
    }
  }
  Bstr value;
  const HRESULT hr = system.ReadString(value.Receive());
  if (FAILED(hr)) return Record(&s, hr);
  response = ToUtf8(value.get());
  std::lock_guard lk(s.m);
  s.heldResponse = response;
  s.hasHeldResponse = true;
  s.heldQuery.clear();
  return S_OK;
}

// A response goes to the caller whole, or stays held for the next read.
HRESULT HandOut(SessionData& s, const std::string& response, std::size_t size, char* buffer,
                std::size_t* sizeRequired) {
  const HRESULT hr = CopyText(response, size, buffer, sizeRequired);
  if (hr == S_OK && size != 0 && buffer) {
    std::lock_guard lk(s.m);
    s.hasHeldResponse = false;
    s.heldResponse.clear();
  }
  return Record(&s, hr);
}

}  // namespace

int32_t InitWithOptions(const char* resourceName, bool idQuery, bool reset, const char* options,
                        Session* session) noexcept {
  if (!session) return NullParameter(nullptr);
  *session = nullptr;
  return Guarded([&]() -> HRESULT {
    ForgetLastError(nullptr);
    std::string initString, error;
    HRESULT hr = OptionsToInitString(options ? options : "", initString, error);
    if (FAILED(hr)) return RecordText(nullptr, hr, error.c_str());
    hr = EnsureThreadCom();
    if (FAILED(hr)) return Record(nullptr, hr);
    auto data = std::make_shared<SessionData>();
    SetErrorInfo(0, nullptr);
    // The root talks to its instrument through the VISA-COM session it embeds.
    hr = CKorvane::Create(IID_IUnknown, data->root.ReceiveVoid(), std::make_unique<cKorvaneVisaComSession>());
    if (FAILED(hr)) return Record(nullptr, hr);
    ComPtr<IIviDriver> driver;
    hr = AsInterface(data->root.get(), driver);
    if (FAILED(hr)) return Record(nullptr, hr);
    Bstr resource, optionText;
    resource.Attach(NewBstrFromUtf8(resourceName));
    optionText.Attach(NewBstrFromUtf8(initString.c_str()));
    hr = driver->Initialize(resource, idQuery ? VARIANT_TRUE : VARIANT_FALSE, reset ? VARIANT_TRUE : VARIANT_FALSE,
                            optionText);
    // A failed Initialize leaves no session: its text is the thread's.
    if (FAILED(hr)) return Record(nullptr, hr);
    SessionData* raw = data.get();
    *session = AddSession(std::move(data));
    return Record(raw, hr);
  });
}

int32_t Init(const char* resourceName, bool idQuery, bool reset, Session* session) noexcept {
  return InitWithOptions(resourceName, idQuery, reset, "", session);
}

int32_t Close(Session session) noexcept {
  return Guarded([&]() -> HRESULT {
    const SessionPtr s = RemoveSession(session);
    if (!s) return RecordText(nullptr, kInvalidSession, "The session handle is not valid.");
    EnsureThreadCom();
    SetErrorInfo(0, nullptr);
    ComPtr<IIviDriver> driver;
    HRESULT hr = AsInterface(s->root.get(), driver);
    if (SUCCEEDED(hr)) hr = driver->Close();
    // The session is gone whatever Close said; its text goes to the thread.
    return Record(nullptr, hr);
  });
}

int32_t DriverVersion(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept {
  return StringProperty<IIviDriverIdentity>(session, &IIviDriverIdentity::get_Revision, size, buffer, sizeRequired);
}
int32_t DriverVendor(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept {
  return StringProperty<IIviDriverIdentity>(session, &IIviDriverIdentity::get_Vendor, size, buffer, sizeRequired);
}
int32_t InstrumentManufacturer(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept {
  return StringProperty<IIviDriverIdentity>(session, &IIviDriverIdentity::get_InstrumentManufacturer, size, buffer,
                                            sizeRequired);
}
int32_t InstrumentModel(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept {
  return StringProperty<IIviDriverIdentity>(session, &IIviDriverIdentity::get_InstrumentModel, size, buffer,
                                            sizeRequired);
}
int32_t SupportedModels(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept {
  return StringProperty<IIviDriverIdentity>(session, &IIviDriverIdentity::get_SupportedInstrumentModels, size, buffer,
                                            sizeRequired);
}

int32_t QueryInstrumentStatusGet(Session session, bool* value) noexcept {
  return BoolGet<IIviDriverOperation>(session, &IIviDriverOperation::get_QueryInstrumentStatus, value);
}
int32_t QueryInstrumentStatusSet(Session session, bool value) noexcept {
  return OnRoot<IIviDriverOperation>(session, [&](SessionData& s, IIviDriverOperation& op) {
    return Record(&s, op.put_QueryInstrumentStatus(value ? VARIANT_TRUE : VARIANT_FALSE));
  });
}
int32_t SimulateGet(Session session, bool* value) noexcept {
  return BoolGet<IIviDriverOperation>(session, &IIviDriverOperation::get_Simulate, value);
}
int32_t Reset(Session session) noexcept {
  return OnRoot<IIviDriverUtility>(session,
                                   [&](SessionData& s, IIviDriverUtility& u) { return Record(&s, u.Reset()); });
}

int32_t ErrorQuery(Session session, int32_t* errorCode, std::size_t size, char* buffer,
                   std::size_t* sizeRequired) noexcept {
  return OnRoot<IIviDriverUtility>(session, [&](SessionData& s, IIviDriverUtility& u) -> HRESULT {
    if (!errorCode) return NullParameter(&s);
    std::pair<long, std::string> entry;
    bool held = false;
    {
      std::lock_guard lk(s.m);
      if (s.heldError) {
        entry = *s.heldError;
        held = true;
      }
    }
    if (!held) {
      LONG code = 0;
      Bstr message;
      const HRESULT hr = u.ErrorQuery(&code, message.Receive());
      if (FAILED(hr)) return Record(&s, hr);
      entry = {code, ToUtf8(message.get())};
    }
    const HRESULT copy = CopyText(entry.second, size, buffer, sizeRequired);
    const bool taken = copy == S_OK && size != 0 && buffer;
    {
      std::lock_guard lk(s.m);
      if (taken) s.heldError.reset();
      else s.heldError = entry;
    }
    if (taken) *errorCode = static_cast<int32_t>(entry.first);
    return Record(&s, copy);
  });
}

int32_t ErrorMessage(int32_t status, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept {
  return Guarded([&]() -> HRESULT {
    const auto text = StatusText(static_cast<HRESULT>(status));
    if (!text) return RecordText(nullptr, kInvalidArgument, "The status is not one this driver returns.");
    return CopyText(*text, size, buffer, sizeRequired);
  });
}

int32_t LastErrorMessage(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept {
  return Guarded([&]() -> HRESULT {
    const SessionPtr s = FindSession(session);
    return CopyText(LastError(s.get()).second, size, buffer, sizeRequired);
  });
}

int32_t ClearLastError(Session session) noexcept {
  const SessionPtr s = FindSession(session);
  if (!s && session) return kInvalidSession;
  ForgetLastError(s.get());
  return S_OK;
}

int32_t ReadAndClearErrorQueue(Session session, std::size_t size, char* buffer) noexcept {
  return OnRoot<IIviDriverUtility>(session, [&](SessionData& s, IIviDriverUtility& u) -> HRESULT {
    // The queue is read whatever the buffer, so a size query cannot be offered: both are errors.
    if (!buffer) return NullParameter(&s);
    if (size == 0) return RecordText(&s, kInvalidArgument, "The buffer size is 0.");
    std::string text;
    bool full = false;
    auto add = [&](long code, const std::string& message) {
      const std::string entry = QueueEntry(code, message);
      const std::size_t grown = text.size() + (text.empty() ? 0 : 1) + entry.size();
      // Only whole entries, and the NUL after them; the rest is read and dropped.
      if (full || grown + 1 > size) {
        full = true;
        return;
      }
      text += (text.empty() ? "" : ";") + entry;
    };
    {
      std::lock_guard lk(s.m);
      if (s.heldError) add(s.heldError->first, s.heldError->second);
      s.heldError.reset();
    }
    // An instrument that never reports an empty queue must not hold the caller for ever.
    constexpr int kMaxEntries = 4096;
    HRESULT hr = S_OK;
    for (int k = 0; k < kMaxEntries; ++k) {
      LONG code = 0;
      Bstr message;
      hr = u.ErrorQuery(&code, message.Receive());
      if (FAILED(hr) || code == 0) break;
      add(code, ToUtf8(message.get()));
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return Record(&s, hr);
  });
}

namespace {

// The next record of a destructive list (coercions, interchange warnings) by the size protocol:
// what a size query or a short buffer does not take is held for the next call, as the error
// queue's entry is, so asking for the size loses nothing.
int32_t NextHeld(Session session, std::optional<std::string> SessionData::*held,
                 HRESULT (STDMETHODCALLTYPE IIviDriverOperation::*next)(BSTR*), std::size_t size, char* buffer,
                 std::size_t* sizeRequired) noexcept {
  return OnRoot<IIviDriverOperation>(session, [&](SessionData& s, IIviDriverOperation& op) -> HRESULT {
    std::optional<std::string> record;
    {
      std::lock_guard lk(s.m);
      record = std::exchange(s.*held, std::nullopt);
    }
    if (!record) {
      Bstr text;
      const HRESULT hr = (op.*next)(text.Receive());
      if (FAILED(hr)) return Record(&s, hr);
      record = ToUtf8(text.get());
    }
    const HRESULT copy = CopyText(*record, size, buffer, sizeRequired);
    // An empty record (none left) is not held: the next call asks the driver again.
    if ((copy != S_OK || size == 0 || !buffer) && !record->empty()) {
      std::lock_guard lk(s.m);
      // Another thread's call may have held one meanwhile: that one is older.
      if (!(s.*held)) s.*held = std::move(record);
    }
    return Record(&s, copy);
  });
}

}  // namespace

int32_t NextCoercionRecord(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept {
  return NextHeld(session, &SessionData::heldCoercion, &IIviDriverOperation::GetNextCoercionRecord, size, buffer,
                  sizeRequired);
}

int32_t NextInterchangeWarning(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept {
  return NextHeld(session, &SessionData::heldWarning, &IIviDriverOperation::GetNextInterchangeWarning, size, buffer,
                  sizeRequired);
}

int32_t IoTimeoutGet(Session session, int32_t* value) noexcept {
  return OnRoot<IKorvaneSystem>(session, [&](SessionData& s, IKorvaneSystem& system) -> HRESULT {
    if (!value) return NullParameter(&s);
    LONG v = 0;
    const HRESULT hr = system.get_TimeoutMilliseconds(&v);
    if (SUCCEEDED(hr)) *value = v;
    return Record(&s, hr);
  });
}
int32_t IoTimeoutSet(Session session, int32_t value) noexcept {
  return OnRoot<IKorvaneSystem>(session, [&](SessionData& s, IKorvaneSystem& system) {
    return Record(&s, system.put_TimeoutMilliseconds(value));
  });
}

int32_t WriteBytes(Session session, std::size_t count, const uint8_t* data) noexcept {
  return OnRoot<IKorvaneSystem2>(session, [&](SessionData& s, IKorvaneSystem2& system) -> HRESULT {
    ArrIn<uint8_t> bytes(count, data, 0);
    const HRESULT hr = bytes.check();
    if (hr == E_POINTER) return NullParameter(&s);
    if (FAILED(hr)) return RecordText(&s, hr, StatusText(hr).value_or("").c_str());
    return Record(&s, system.WriteBytes(bytes.com()));
  });
}

int32_t WriteString(Session session, const char* data) noexcept {
  return OnRoot<IKorvaneSystem2>(session, [&](SessionData& s, IKorvaneSystem2& system) -> HRESULT {
    if (!data) return NullParameter(&s);
    Bstr text;
    text.Attach(NewBstrFromUtf8(data));
    return Record(&s, system.WriteString(text));
  });
}

int32_t ReadBytes(Session session, std::size_t size, uint8_t* buffer, std::size_t* sizeRequired) noexcept {
  return OnRoot<IKorvaneSystem2>(session, [&](SessionData& s, IKorvaneSystem2& system) -> HRESULT {
    std::string bytes;
    bool held = false;
    {
      std::lock_guard lk(s.m);
      held = s.hasHeldResponse;
      if (held) bytes = s.heldResponse;
    }
    if (!held) {
      ArrOut<uint8_t> out(0, nullptr, nullptr, 0);
      const HRESULT hr = system.ReadBytes(out.com());
      if (FAILED(hr)) return Record(&s, hr);
      out.fit();
      SafeArrayAccess<uint8_t> access(out.array.p);
      if (out.sized.needed > 0 && access.ok())
        bytes.assign(reinterpret_cast<const char*>(access.data()), out.sized.needed);
    }
    // A stream: the bytes that fit go now, the rest stays for the next read.
    const std::size_t n = buffer ? std::min(size, bytes.size()) : 0;
    if (n > 0) std::memcpy(buffer, bytes.data(), n);
    if (sizeRequired) *sizeRequired = n == 0 ? bytes.size() : n;
    std::lock_guard lk(s.m);
    s.heldResponse = bytes.substr(n);
    s.heldQuery.clear();
    s.hasHeldResponse = !s.heldResponse.empty() || (n == 0 && !bytes.empty());
    return S_OK;
  });
}

int32_t ReadString(Session session, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept {
  return OnRoot<IKorvaneSystem2>(session, [&](SessionData& s, IKorvaneSystem2& system) -> HRESULT {
    std::string response;
    const HRESULT hr = NextResponse(s, system, response);
    if (FAILED(hr)) return hr;
    return HandOut(s, response, size, buffer, sizeRequired);
  });
}

int32_t Query(Session session, const char* command, std::size_t size, char* buffer,
              std::size_t* sizeRequired) noexcept {
  return OnRoot<IKorvaneSystem2>(session, [&](SessionData& s, IKorvaneSystem2& system) -> HRESULT {
    if (!command) return NullParameter(&s);
    std::string response;
    bool held = false;
    {
      std::lock_guard lk(s.m);
      held = s.hasHeldResponse && s.heldQuery == command;
      if (held) response = s.heldResponse;
      else s.hasHeldResponse = false;  // a reply nobody took is not this command's
    }
    // A response held from a size query answers the repeated call; the command is not sent again.
    if (!held) {
      ComPtr<IIviDriverUtility> utility;
      HRESULT hr = AsInterface(s.root.get(), utility);
      if (FAILED(hr)) return Record(&s, hr);
      // No other caller's command may come between this command and its reply.
      utility->LockObject();
      Bstr text;
      text.Attach(NewBstrFromUtf8(command));
      hr = system.WriteString(text);
      if (SUCCEEDED(hr)) hr = NextResponse(s, system, response);
      utility->UnlockObject();
      if (FAILED(hr)) return Record(&s, hr);
      std::lock_guard lk(s.m);
      s.heldQuery = command;
    }
    return HandOut(s, response, size, buffer, sizeRequired);
  });
}

}  // namespace korvane::ansic
