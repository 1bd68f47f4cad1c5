// The system interface's raw access to the instrument: command text and bytes written and read
// around the driver's formats and the I/O timeout (the session's formatted-I/O object is in
// DirectIo.cpp).
//
// None of these runs the status check: the caller is talking to the instrument directly, and an
// "*ESR?" of ours between its command and its read would take the reply it is waiting for.
// Every transfer goes through the instrument buffer (or finds it empty) and keeps the session's
// timeout, so a reply partly read by an earlier call is continued, never skipped or reordered.
// While simulating no I/O session is open: writes succeed without sending, reads return nothing.
#include "com/Objects.h"
#include "core/CallFrame.h"

#include <korvane/KorvaneMembers.h>

#include <cstring>
#include <string>

namespace korvane {
namespace {

// The timeout while simulating: no session to hold it, so the driver keeps the value, clamped as
// a real set would be, and both getters return it. A new session starts from the catalogue's
// simulation value again.
struct SimulatedTimeout {
  LONG milliseconds = static_cast<LONG>(members::IKorvaneSystem_get_TimeoutMilliseconds.simInteger);
};

constexpr LONG kShortestTimeout = 100;     // TimeoutMilliseconds below this ...
constexpr LONG kReplacementTimeout = 200;  // ... becomes this
constexpr LONG kShortestIoTimeout = 10;    // IOTimeout below this becomes this

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
