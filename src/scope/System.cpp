// The system interface's raw access to the instrument: command text and bytes written and read
// around the driver's formats, the I/O timeout, and the session's formatted-I/O object.
//
// None of these runs the status check: the caller is talking to the instrument directly, and an
// "*ESR?" of ours between its command and its read would take the reply it is waiting for.
// Every transfer goes through the instrument buffer (or finds it empty) and keeps the session's
// timeout, so a reply partly read by an earlier call is continued, never skipped or reordered.
// While simulating no I/O session is open: writes succeed without sending, reads return nothing.
#include "com/Objects.h"
#include "core/CallFrame.h"

#include <korvane/KorvaneMembers.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>

namespace korvane {
namespace {

// The timeout while simulating: no session to hold it, so the driver keeps the value, clamped as
// a real set would be, and both getters return it. A new session starts from the catalogue's
// simulation value again.
struct SimulatedTimeout {
  LONG milliseconds = static_cast<LONG>(members::IKorvaneSystem_get_TimeoutMilliseconds.simInteger);
};

constexpr LONG kShortestTimeout = 100;          // TimeoutMilliseconds below this ...
constexpr LONG kReplacementTimeout = 200;       // ... becomes this
constexpr LONG kShortestIoTimeout = 10;         // IOTimeout below this becomes this

HRESULT GetTimeout(CKorvane& self, LONG* val) {
  if (self.Simulate()) {
    *val = self.FeatureState<SimulatedTimeout>().milliseconds;
    return S_OK;
  }
  IIoSession* io = self.IoSession();
  return io ? io->GetTimeout(val) : self.Reporter().NotInitialized();
}

HRESULT SetTimeout(CKorvane& self, LONG milliseconds) {
  if (self.Simulate()) {
    self.FeatureState<SimulatedTimeout>().milliseconds = milliseconds;
    return S_OK;
  }
  IIoSession* io = self.IoSession();
  return io ? io->SetTimeout(milliseconds) : self.Reporter().NotInitialized();
}

// The I/O session of a connected, non-simulating root (the frame has checked the connection).
HRESULT Session(CKorvane& self, IIoSession** io) {
  *io = self.IoSession();
  return *io ? S_OK : self.Reporter().NotInitialized();
}

HRESULT WriteText(CKorvane& self, BSTR command) {
  if (self.Simulate()) return S_OK;
  IIoSession* io = nullptr;
  if (HRESULT hr = Session(self, &io); FAILED(hr)) return hr;
  const std::string text = ToNarrow(command);
  // The session takes a C string: a NUL inside would cut the command short without a word.
  if (text.find('\0') != std::string::npos)
    return self.Reporter().InvalidValue("Command", command, "The command contains a NUL character.");
  // The write terminator is added unless the text ends with it; the message ends with END.
  return io->WriteCommandNoPoll(text.c_str(), kKeepSessionTimeout);
}

// One response through the instrument buffer: the rest of a message a read has begun, or the
// next one, without its read terminator. Bytes reads use it too: a message ends where the
// session ends it (END, or the termination character while that is enabled), text or not.
HRESULT ReadMessage(CKorvane& self, std::string* message) {
  IIoSession* io = nullptr;
  if (HRESULT hr = Session(self, &io); FAILED(hr)) return hr;
  return io->ReadLineNoPoll(message, kKeepSessionTimeout);
}

// The caller's [in, out] array is replaced by a new one of `bytes`.
HRESULT ReturnBytes(CKorvane& self, const std::string& bytes, SAFEARRAY** slot) {
  SafeArrayPtr fresh(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
  if (!fresh) return self.Reporter().OutOfMemory("Could not allocate SAFEARRAY memory for ReadBytes.");
  if (!bytes.empty()) {
    SafeArrayAccess<BYTE> data(fresh.get());
    if (!data.ok()) return self.Reporter().OutOfMemory("Could not allocate SAFEARRAY memory for ReadBytes.");
    std::memcpy(data.data(), bytes.data(), bytes.size());
  }
  if (*slot) SafeArrayDestroy(*slot);
  *slot = fresh.Detach();
  return S_OK;
}

HRESULT ReadBytes(CKorvane& self, SAFEARRAY** val, LONG* count) {
  std::string bytes;
  if (!self.Simulate())
    if (HRESULT hr = ReadMessage(self, &bytes); FAILED(hr)) return hr;
  if (HRESULT hr = ReturnBytes(self, bytes, val); FAILED(hr)) return hr;
  if (count) *count = static_cast<LONG>(bytes.size());
  return S_OK;
}

// Every element of a one-dimensional byte array (no array: nothing), sent as they are with END.
// An empty array sends nothing: a zero-length write would still end a message on the wire.
HRESULT WriteBytes(CKorvane& self, SAFEARRAY* data, LONG* count) {
  if (data && (SafeArrayGetDim(data) != 1 || SafeArrayGetElemsize(data) != 1))
    return self.Reporter().InvalidValue("Data", "SAFEARRAY", "The data must be a one-dimensional array of bytes.");
  const LONG length = data ? static_cast<LONG>(data->rgsabound[0].cElements) : 0;
  if (count) *count = length;
  if (self.Simulate() || length == 0) return S_OK;
  IIoSession* io = nullptr;
  if (HRESULT hr = Session(self, &io); FAILED(hr)) return hr;
  auto* raw = dynamic_cast<ILowLevelIo*>(io);
  if (!raw) return self.Reporter().IoError("The I/O session has no unformatted transfers.");
  LONG written = 0;
  HRESULT hr = raw->LowLevelWriteNoPoll(data, length, &written, kKeepSessionTimeout);
  if (count) *count = written;
  return hr;
}

}  // namespace

// ---- IKorvaneSystem ----

HRESULT Impl_IKorvaneSystem_get_TimeoutMilliseconds(CKorvane& self, LONG* val) { return GetTimeout(self, val); }

HRESULT Impl_IKorvaneSystem_put_TimeoutMilliseconds(CKorvane& self, LONG val) {
  return SetTimeout(self, val < kShortestTimeout ? kReplacementTimeout : val);
}

// The method trace's state, not an instrument setting: true exactly while records are written.
HRESULT Impl_IKorvaneSystem_get_TraceEnabled(CKorvane& self, VARIANT_BOOL* val) {
  *val = self.MethodTrace().GetState() == CMethodTrace::kRunning ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT Impl_IKorvaneSystem_put_TraceEnabled(CKorvane& self, VARIANT_BOOL val) {
  self.MethodTrace().Enable(val != VARIANT_FALSE);
  return S_OK;
}

// The set-up is the instrument's own bytes, read and written as a definite-length block with the
// status check like any setting. While simulating there is none: an empty array, and a put that
// sends nothing.
HRESULT Impl_IKorvaneSystem_GetState(CKorvane& self, SAFEARRAY** State) {
  SafeArrayPtr setup;
  if (self.Simulate()) {
    setup = SafeArrayPtr(SafeArrayCreateVector(VT_UI1, 0, 0));
    if (!setup) return self.Reporter().OutOfMemory("Could not allocate SAFEARRAY memory for GetState.");
  } else {
    IIoSession* io = nullptr;
    if (HRESULT hr = Session(self, &io); FAILED(hr)) return hr;
    if (HRESULT hr = io->QueryByteBlock(":SYST:SET?", setup.Receive(), true); FAILED(hr)) return hr;
  }
  if (*State) SafeArrayDestroy(*State);
  *State = setup.Detach();
  return S_OK;
}

HRESULT Impl_IKorvaneSystem_PutState(CKorvane& self, SAFEARRAY** State) {
  if (!*State || SafeArrayGetDim(*State) != 1 || SafeArrayGetElemsize(*State) != 1)
    return self.Reporter().InvalidValue("State", "SAFEARRAY", "The set-up must be a one-dimensional array of bytes.");
  if (self.Simulate()) return S_OK;
  IIoSession* io = nullptr;
  if (HRESULT hr = Session(self, &io); FAILED(hr)) return hr;
  return io->WriteBlock(":SYST:SET", *State, true);
}

namespace {

class CLockedFormattedIo;
// The session's one direct-I/O object, while a caller holds it (it is not owned here).
struct DirectIoState {
  CLockedFormattedIo* object = nullptr;
};

// The session's formatted-I/O object as callers get it: every call takes the session lock, as
// the driver's own calls do, so that a caller's command and reply never interleave with another
// thread's driver call on the one I/O session. It holds a reference to the root, so the session
// (and its lock) outlive it. The lock is not held from one call to the next: a query's write and
// the read of its reply are two calls, and holding the session between them would let a caller
// that never reads stall every other thread (the IVI-COM LockObject, which could span them, is
// not supported).
class CLockedFormattedIo final : public IFormattedIO488, public ISupportErrorInfo {
 public:
  CLockedFormattedIo(CKorvane& root, ComPtr<IFormattedIO488> inner) : root_(root), inner_(std::move(inner)) {
    root_.AddRef();
  }
  CLockedFormattedIo(const CLockedFormattedIo&) = delete;
  CLockedFormattedIo& operator=(const CLockedFormattedIo&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IFormattedIO488))
      *ppv = static_cast<IFormattedIO488*>(this);
    else if (IsEqualGUID(riid, IID_ISupportErrorInfo))
      *ppv = static_cast<ISupportErrorInfo*>(this);
    else
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    // The last release and get_DirectIO's look-up take the session lock, so a release racing
    // a new look-up either hands the object out again or finds it gone.
    ULONG n;
    {
      frame::CSessionLock lock(&root_);
      n = refs_.fetch_sub(1) - 1;
      if (n == 0) {
        DirectIoState& state = root_.FeatureState<DirectIoState>();
        if (state.object == this) state.object = nullptr;
      }
    }
    if (n == 0) {
      CKorvane& root = root_;
      delete this;
      root.Release();
    }
    return n;
  }
  // Under the session lock: a new reference to a live object, or null once its count reached 0.
  CLockedFormattedIo* TakeReference() noexcept {
    ULONG n = refs_.load();
    while (n != 0 && !refs_.compare_exchange_weak(n, n + 1)) {
    }
    return n == 0 ? nullptr : this;
  }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override {
    return IsEqualGUID(riid, IID_IFormattedIO488) ? S_OK : S_FALSE;
  }

  HRESULT STDMETHODCALLTYPE get_IO(IMessage** p) override { return Locked(&IFormattedIO488::get_IO, p); }
  HRESULT STDMETHODCALLTYPE putref_IO(IMessage* p) override { return Locked(&IFormattedIO488::putref_IO, p); }
  HRESULT STDMETHODCALLTYPE get_InstrumentBigEndian(VARIANT_BOOL* p) override {
    return Locked(&IFormattedIO488::get_InstrumentBigEndian, p);
  }
  HRESULT STDMETHODCALLTYPE put_InstrumentBigEndian(VARIANT_BOOL v) override {
    return Locked(&IFormattedIO488::put_InstrumentBigEndian, v);
  }
  HRESULT STDMETHODCALLTYPE WriteString(BSTR data, VARIANT_BOOL flush) override {
    return Locked(&IFormattedIO488::WriteString, data, flush);
  }
  HRESULT STDMETHODCALLTYPE WriteNumber(VARIANT data, IEEEASCIIType type, VARIANT_BOOL flush) override {
    return Locked(&IFormattedIO488::WriteNumber, data, type, flush);
  }
  HRESULT STDMETHODCALLTYPE WriteList(VARIANT* data, IEEEASCIIType type, BSTR separator, VARIANT_BOOL flush) override {
    return Locked(&IFormattedIO488::WriteList, data, type, separator, flush);
  }
  HRESULT STDMETHODCALLTYPE WriteIEEEBlock(BSTR command, VARIANT data, VARIANT_BOOL flush) override {
    return Locked(&IFormattedIO488::WriteIEEEBlock, command, data, flush);
  }
  HRESULT STDMETHODCALLTYPE ReadString(BSTR* p) override { return Locked(&IFormattedIO488::ReadString, p); }
  HRESULT STDMETHODCALLTYPE ReadNumber(IEEEASCIIType type, VARIANT_BOOL flush, VARIANT* p) override {
    return Locked(&IFormattedIO488::ReadNumber, type, flush, p);
  }
  HRESULT STDMETHODCALLTYPE ReadList(IEEEASCIIType type, BSTR separator, VARIANT* p) override {
    return Locked(&IFormattedIO488::ReadList, type, separator, p);
  }
  HRESULT STDMETHODCALLTYPE ReadIEEEBlock(IEEEBinaryType type, VARIANT_BOOL seek, VARIANT_BOOL flush,
                                          VARIANT* p) override {
    return Locked(&IFormattedIO488::ReadIEEEBlock, type, seek, flush, p);
  }
  HRESULT STDMETHODCALLTYPE FlushWrite(VARIANT_BOOL end) override { return Locked(&IFormattedIO488::FlushWrite, end); }
  HRESULT STDMETHODCALLTYPE FlushRead() override { return Locked(&IFormattedIO488::FlushRead); }
  HRESULT STDMETHODCALLTYPE SetBufferSize(BufferMask mask, LONG size) override {
    return Locked(&IFormattedIO488::SetBufferSize, mask, size);
  }

 private:
  ~CLockedFormattedIo() = default;

  template <typename... P, typename... A>
  HRESULT Locked(HRESULT (STDMETHODCALLTYPE IFormattedIO488::*member)(P...), A... args) {
    frame::CSessionLock lock(&root_);
    return (inner_.get()->*member)(args...);
  }

  CKorvane& root_;
  ComPtr<IFormattedIO488> inner_;
  std::atomic<ULONG> refs_{1};
};

}  // namespace

HRESULT Impl_IKorvaneSystem_get_DirectIO(CKorvane& self, IFormattedIO488** val) {
  if (self.Simulate()) return self.Reporter().IoError("Direct I/O not available while Simulating");
  IIoSession* io = nullptr;
  if (HRESULT hr = Session(self, &io); FAILED(hr)) return hr;
  // The frame holds the session lock: the cached object cannot go away meanwhile.
  DirectIoState& state = self.FeatureState<DirectIoState>();
  if (state.object && state.object->TakeReference()) {
    *val = state.object;
    return S_OK;
  }
  auto* visa = dynamic_cast<IVisaComSession*>(io);
  IVisaComDirectIo* direct = visa ? visa->GetDirectIo() : nullptr;
  if (!direct) return self.Reporter().IoError("Direct I/O not available on this I/O session");
  ComPtr<IFormattedIO488> inner;
  if (HRESULT hr = direct->GetIFormattedIO488Pointer(inner.Receive()); FAILED(hr)) return hr;
  if (!inner) return self.Reporter().IoError("The I/O session has no formatted I/O object");
  auto* wrapper = new (std::nothrow) CLockedFormattedIo(self, std::move(inner));
  if (!wrapper) return self.Reporter().OutOfMemory();
  state.object = wrapper;
  *val = wrapper;
  return S_OK;
}

// ---- IKorvaneSystem2 ----

HRESULT Impl_IKorvaneSystem2_ClearIO(CKorvane& self) {
  if (self.Simulate()) return S_OK;
  IIoSession* io = nullptr;
  if (HRESULT hr = Session(self, &io); FAILED(hr)) return hr;
  // The instrument drops its pending output, and the instrument buffer what it held of it.
  return io->DeviceClear();
}

HRESULT Impl_IKorvaneSystem2_WriteBytes(CKorvane& self, SAFEARRAY** Data) { return WriteBytes(self, *Data, nullptr); }

HRESULT Impl_IKorvaneSystem2_WriteString(CKorvane& self, BSTR Command) { return WriteText(self, Command); }

HRESULT Impl_IKorvaneSystem2_ReadBytes(CKorvane& self, SAFEARRAY** Val) { return ReadBytes(self, Val, nullptr); }

HRESULT Impl_IKorvaneSystem2_ReadString(CKorvane& self, BSTR* Val) {
  std::string text;
  if (!self.Simulate())
    if (HRESULT hr = ReadMessage(self, &text); FAILED(hr)) return hr;
  Bstr reply(text);
  // An empty reply is an empty string, not a null one.
  if (!reply.get()) reply.Attach(SysAllocString(OLESTR("")));
  if (!reply.get()) return self.Reporter().OutOfMemory("Could not allocate BSTR memory for ReadString.");
  *Val = reply.Detach();
  return S_OK;
}

// ---- IKorvaneSystem4 ----

HRESULT Impl_IKorvaneSystem4_get_IOTimeout(CKorvane& self, LONG* val) { return GetTimeout(self, val); }

HRESULT Impl_IKorvaneSystem4_put_IOTimeout(CKorvane& self, LONG val) {
  return SetTimeout(self, val < kShortestIoTimeout ? kShortestIoTimeout : val);
}

HRESULT Impl_IKorvaneSystem4_ReadBytes2(CKorvane& self, SAFEARRAY** Val, LONG* ReturnCount) {
  return ReadBytes(self, Val, ReturnCount);
}

HRESULT Impl_IKorvaneSystem4_WriteBytes2(CKorvane& self, SAFEARRAY** Data, LONG* ReturnCount) {
  return WriteBytes(self, *Data, ReturnCount);
}

HRESULT Impl_IKorvaneSystem4_WriteString2(CKorvane& self, BSTR Command) { return WriteText(self, Command); }

}  // namespace korvane
