// Behaviour, as VISA-COM's FormattedIO488 has it:
// - writes collect in the write buffer; `flushAndEND` sends it and ends the message. A message
//   that ends is given the session's termination character unless it already ends with it (a
//   socket has no END of its own, so the character is what ends a message there);
// - reads take the next message through the read buffer; the termination character that ends it
//   is not part of the value. `flushToEND` drops what the message has left after the value;
// - numbers are written as the type asks (whole numbers as integers, reals with 15 significant
//   digits, single precision with 7), lists with the caller's separator (default ","), blocks as
//   IEEE 488.2 definite-length blocks in InstrumentBigEndian byte order.
#include "io/BuiltInProvider.h"

#include "base/ErrorReporter.h"
#include "io/FormattedIo.h"
#include "io/InstrBuffer.h"
#include "visacom/ComError.h"
#include "platform/ComObject.h"
#include "visacom/VisaCom.h"

#include <korvane/ComHelpers.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace korvane {
namespace {

using visacom::ReportError;

// The element conversions of each IEEE ASCII type, for the printf and scanf sides.
struct AsciiFormats {
  const char* write;
  const char* blockWrite;  // with a leading %s for the command and %* for the count
  const char* blockRead;   // into a new SAFEARRAY
  VARTYPE vt;
};

bool FormatsOf(LONG type, AsciiFormats* f) {
  switch (type) {
    case ASCIIType_UI1: *f = {"%bu", "%s%*b", "%$Sb", VT_UI1}; return true;
    case ASCIIType_I2: *f = {"%hd", "%s%*hb", "%$Shb", VT_I2}; return true;
    case ASCIIType_I4: *f = {"%ld", "%s%*lb", "%$Slb", VT_I4}; return true;
    case ASCIIType_R4: *f = {"%0.7lg", "%s%*zb", "%$Szb", VT_R4}; return true;
    case ASCIIType_R8: *f = {"%0.15lg", "%s%*Zb", "%$SZb", VT_R8}; return true;
    case ASCIIType_BSTR: *f = {"%s", nullptr, nullptr, VT_BSTR}; return true;
    default: return false;
  }
}

// The IEEE ASCII type of a VARIANT's own value type (ASCIIType_Any).
LONG TypeOfVariant(VARTYPE vt) {
  switch (vt & VT_TYPEMASK) {
    case VT_UI1: return ASCIIType_UI1;
    case VT_I2: return ASCIIType_I2;
    case VT_I4:
    case VT_INT:
    case VT_BOOL: return ASCIIType_I4;
    case VT_R4: return ASCIIType_R4;
    case VT_R8: return ASCIIType_R8;
    case VT_BSTR: return ASCIIType_BSTR;
    default: return -1;
  }
}

// One element of `vt` at `p` as a double (whole numbers are exact in a double for these types).
double ElementValue(VARTYPE vt, const void* p) {
  switch (vt) {
    case VT_UI1: return *static_cast<const BYTE*>(p);
    case VT_I2: return *static_cast<const SHORT*>(p);
    case VT_I4:
    case VT_INT: return *static_cast<const LONG*>(p);
    case VT_BOOL: return *static_cast<const VARIANT_BOOL*>(p) ? -1 : 0;
    case VT_R4: return *static_cast<const FLOAT*>(p);
    case VT_R8: return *static_cast<const DOUBLE*>(p);
    default: return std::numeric_limits<double>::quiet_NaN();
  }
}

class CFormattedIo488 final : public ComObject<CFormattedIo488, IFormattedIO488, ISupportErrorInfo>,
                              private ILowLevelIo {
 public:
  CFormattedIo488() = default;

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override { return SupportsErrorInfo(riid); }

  HRESULT STDMETHODCALLTYPE get_IO(IMessage** pVal) override {
    if (!pVal) return NullOut();
    CsLock lk(cs_);
    *pVal = io_.get();
    if (*pVal) (*pVal)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE putref_IO(IMessage* val) override {
    CsLock lk(cs_);
    io_ = val;  // null detaches the session
    direct_.Reset();
    if (val) val->QueryInterface(IID_IKorvaneMessageDirect, direct_.ReceiveVoid());
    buffer_.reset();  // what was buffered belonged to the other session
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_InstrumentBigEndian(VARIANT_BOOL* pVal) override {
    if (!pVal) return NullOut();
    *pVal = bigEndian_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_InstrumentBigEndian(VARIANT_BOOL val) override {
    bigEndian_ = val != VARIANT_FALSE;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE WriteString(BSTR data, VARIANT_BOOL flushAndEND) override {
    return Run([&] {
      ULONG written = 0;
      HRESULT hr = buffer_->Write(data ? data : const_cast<BSTR>(OLESTR("")), &written, false);
      return FAILED(hr) ? hr : EndWrite(flushAndEND);
    });
  }

  HRESULT STDMETHODCALLTYPE WriteNumber(VARIANT data, IEEEASCIIType type, VARIANT_BOOL flushAndEND) override {
    return Run([&] {
      const LONG t = type == ASCIIType_Any ? TypeOfVariant(data.vt) : type;
      HRESULT hr = t == ASCIIType_BSTR && (data.vt & VT_TYPEMASK) == VT_BSTR
                       ? buffer_->Write(data.bstrVal ? data.bstrVal : const_cast<BSTR>(OLESTR("")), nullptr, false)
                       : PrintValue(t, (data.vt & VT_BYREF) ? nullptr : &data.llVal, data.vt & VT_TYPEMASK);
      return FAILED(hr) ? hr : EndWrite(flushAndEND);
    });
  }

  HRESULT STDMETHODCALLTYPE WriteList(VARIANT* data, IEEEASCIIType type, BSTR listSeperator,
                                      VARIANT_BOOL flushAndEND) override {
    return Run([&] {
      SAFEARRAY* sa = ArrayOf(data);
      if (!sa) return ReportError(E_INVALIDARG, IID_IFormattedIO488, "WriteList takes a one-dimensional array.");
      VARTYPE vt = VT_EMPTY;
      SafeArrayGetVartype(sa, &vt);
      const LONG t = type == ASCIIType_Any ? TypeOfVariant(vt) : type;
      const std::string separator = listSeperator && SysStringLen(listSeperator) ? ToNarrow(listSeperator) : ",";
      SafeArrayAccess<BYTE> bytes(sa);
      if (!bytes.ok()) return bytes.hr();
      const std::size_t size = SafeArrayGetElemsize(sa);
      HRESULT hr = S_OK;
      for (std::size_t k = 0; SUCCEEDED(hr) && k < bytes.size(); ++k) {
        if (k) hr = buffer_->Write(separator.data(), static_cast<ULONG>(separator.size()), nullptr, false);
        const void* element = bytes.data() + k * size;
        if (SUCCEEDED(hr))
          hr = vt == VT_BSTR ? buffer_->Write(*static_cast<const BSTR*>(element) ? *static_cast<const BSTR*>(element)
                                                                                 : const_cast<BSTR>(OLESTR("")),
                                              nullptr, false)
                             : PrintValue(t, element, vt);
      }
      return FAILED(hr) ? hr : EndWrite(flushAndEND);
    });
  }

  HRESULT STDMETHODCALLTYPE WriteIEEEBlock(BSTR Command, VARIANT data, VARIANT_BOOL flushAndEND) override {
    return Run([&] {
      SAFEARRAY* sa = ArrayOf(&data);
      VARTYPE vt = VT_EMPTY;
      if (sa) SafeArrayGetVartype(sa, &vt);
      AsciiFormats f{};
      if (!sa || !FormatsOf(TypeOfVariant(vt), &f) || !f.blockWrite)
        return ReportError(E_INVALIDARG, IID_IFormattedIO488,
                           "WriteIEEEBlock takes a one-dimensional array of bytes, shorts, longs, floats or doubles.");
      SafeArrayAccess<BYTE> bytes(sa);
      if (!bytes.ok()) return bytes.hr();
      buffer_->SetSwapBytes(bigEndian_);
      const std::string command = ToNarrow(Command);
      HRESULT hr = Print(f.blockWrite, command.c_str(), static_cast<int>(bytes.size()), bytes.data());
      return FAILED(hr) ? hr : EndWrite(flushAndEND);
    });
  }

  HRESULT STDMETHODCALLTYPE ReadString(BSTR* pData) override {
    if (!pData) return NullOut();
    *pData = nullptr;
    return Run([&] {
      std::string text;
      HRESULT hr = Scan("%$Ct", &text);
      if (FAILED(hr)) return hr;
      Bstr out(text);
      if (!out.get()) out.Attach(SysAllocString(OLESTR("")));
      if (!out.get()) return ReportError(E_OUTOFMEMORY, IID_IFormattedIO488, "Out of memory.");
      *pData = out.Detach();
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE ReadNumber(IEEEASCIIType type, VARIANT_BOOL flushToEND, VARIANT* pData) override {
    if (!pData) return NullOut();
    return Run([&] {
      const LONG t = type == ASCIIType_Any ? ASCIIType_R8 : type;
      VariantOwner v;
      HRESULT hr;
      if (t == ASCIIType_BSTR) {
        std::string word;
        hr = Scan("%$Cs", &word);
        if (SUCCEEDED(hr)) {
          v.get().vt = VT_BSTR;
          v.get().bstrVal = Bstr(word).Detach();
        }
      } else {
        double value = 0;
        hr = Scan("%lf", &value);
        if (SUCCEEDED(hr)) hr = Store(t, value, v.ptr());
      }
      if (SUCCEEDED(hr) && flushToEND) hr = buffer_->Discard();
      if (FAILED(hr)) return hr;
      VariantClear(pData);
      *pData = v.Detach();
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE ReadList(IEEEASCIIType type, BSTR listSeperator, VARIANT* pData) override {
    if (!pData) return NullOut();
    return Run([&] {
      const LONG t = type == ASCIIType_Any ? ASCIIType_R8 : type;
      AsciiFormats f{};
      if (!FormatsOf(t, &f)) return BadType("ReadList");
      // The engine splits at any of the separator characters it knows: comma, semicolon, colon,
      // space and tab.
      const std::string separators = listSeperator && SysStringLen(listSeperator) ? ToNarrow(listSeperator) : ",";
      std::string codes;
      for (char c : separators) {
        const char code = c == ' ' ? 's' : c == '\t' ? 't' : (c == ',' || c == ';' || c == ':') ? c : '\0';
        if (!code)
          return ReportError(E_INVALIDARG, IID_IFormattedIO488,
                             "A list separator is made of commas, semicolons, colons, spaces and tabs.");
        codes += code;
      }
      const std::string format = "%(" + codes + ")$S" + (t == ASCIIType_BSTR ? "$Bs" : "lf");
      SafeArrayPtr values;
      HRESULT hr = Scan(format.c_str(), values.Receive());
      if (FAILED(hr)) return hr;
      SafeArrayPtr typed;
      if (t == ASCIIType_BSTR || t == ASCIIType_R8) {
        typed = std::move(values);
      } else {
        SafeArrayAccess<double> in(values.get());
        if (!in.ok()) return in.hr();
        typed = SafeArrayPtr(SafeArrayCreateVector(f.vt, 0, static_cast<ULONG>(in.size())));
        if (!typed) return ReportError(E_OUTOFMEMORY, IID_IFormattedIO488, "Out of memory.");
        SafeArrayAccess<BYTE> out(typed.get());
        const std::size_t size = SafeArrayGetElemsize(typed.get());
        for (std::size_t k = 0; k < in.size(); ++k) {
          VARIANT element;
          VariantInit(&element);
          if (HRESULT e = Store(t, in.data()[k], &element); FAILED(e)) return e;
          std::memcpy(out.data() + k * size, &element.llVal, size);
        }
      }
      VariantClear(pData);
      pData->vt = static_cast<VARTYPE>(VT_ARRAY | f.vt);
      pData->parray = typed.Detach();
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE ReadIEEEBlock(IEEEBinaryType type, VARIANT_BOOL seekToBlock, VARIANT_BOOL flushToEND,
                                          VARIANT* pData) override {
    if (!pData) return NullOut();
    return Run([&] {
      AsciiFormats f{};
      if (!FormatsOf(type, &f) || !f.blockRead) return BadType("ReadIEEEBlock");
      buffer_->BeginRead();
      if (seekToBlock) {
        // Whatever comes before the block's '#' (a header the instrument echoes) is dropped.
        for (char c = 0;;) {
          HRESULT hr = buffer_->ReadChar(&c);
          if (FAILED(hr)) return hr;
          if (hr == S_FALSE)
            return ReportError(E_FAIL, IID_IFormattedIO488, "The message ended before a definite-length block began.");
          if (c == '#') {
            buffer_->PushBack();
            break;
          }
        }
      }
      buffer_->SetSwapBytes(bigEndian_);
      SafeArrayPtr values;
      HRESULT hr = Scan(f.blockRead, values.Receive());
      if (SUCCEEDED(hr) && flushToEND) hr = buffer_->Discard();
      if (FAILED(hr)) return hr;
      VariantClear(pData);
      pData->vt = static_cast<VARTYPE>(VT_ARRAY | f.vt);
      pData->parray = values.Detach();
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE FlushWrite(VARIANT_BOOL sendEND) override {
    return Run([&] { return buffer_->Flush(sendEND != VARIANT_FALSE); });
  }
  HRESULT STDMETHODCALLTYPE FlushRead() override {
    return Run([&] { return buffer_->Discard(); });
  }
  HRESULT STDMETHODCALLTYPE SetBufferSize(BufferMask mask, LONG size) override {
    if (size <= 0 || (mask & ~IO_IN_AND_OUT_BUFS) || !(mask & IO_IN_AND_OUT_BUFS))
      return ReportError(E_INVALIDARG, IID_IFormattedIO488, "SetBufferSize takes a buffer mask and a positive size.");
    return Run([&] {
      HRESULT hr = S_OK;
      if (mask & IO_IN_BUF) hr = buffer_->SetReadCapacity(static_cast<ULONG>(size));
      if (SUCCEEDED(hr) && (mask & IO_OUT_BUF)) hr = buffer_->SetWriteCapacity(static_cast<ULONG>(size));
      return hr;
    });
  }

 private:
  ~CFormattedIo488() override = default;

  static HRESULT NullOut() { return ReportError(E_POINTER, IID_IFormattedIO488, "The output pointer is null."); }
  static HRESULT BadType(const char* member) {
    return ReportError(E_INVALIDARG, IID_IFormattedIO488,
                       std::string(member) + ": the element type is not one it reads.");
  }

  // Runs a formatting member with the session's buffer ready, under the object's lock.
  template <typename Fn>
  HRESULT Run(Fn&& fn) {
    CsLock lk(cs_);
    return visacom::Guarded(IID_IFormattedIO488, [&]() -> HRESULT {
      if (!io_) return ReportError(E_FAIL, IID_IFormattedIO488, "The IO property holds no session.");
      if (!buffer_) {
        BYTE term = '\n';
        io_->get_TerminationCharacter(&term);
        const std::string terminator(1, static_cast<char>(term));
        buffer_ = CInstrBuffer::Create(this, &reporter_, terminator, terminator);
        if (!buffer_) return ReportError(E_OUTOFMEMORY, IID_IFormattedIO488, "Out of memory.");
        buffer_->SetEndOnlyAtTerminator(EndsOnlyAtTerminator(*io_.get()));
      }
      return fn();
    });
  }

  // Raw sockets and serial lines have no END of their own: the termination character ends a
  // message. A session that cannot say what it is counts as one of them.
  static bool EndsOnlyAtTerminator(IMessage& io) {
    SHORT type = 0;
    if (FAILED(io.get_HardwareInterfaceType(&type))) return true;
    if (type == INTF_ASRL) return true;
    if (type != INTF_TCPIP) return false;
    VARIANT v;
    VariantInit(&v);
    bool socket = true;
    if (SUCCEEDED(io.GetAttribute(visa::VI_ATTR_RSRC_CLASS, &v)) && v.vt == VT_BSTR && v.bstrVal)
      socket = ToNarrow(v.bstrVal) == "SOCKET";
    VariantClear(&v);
    return socket;
  }

  HRESULT EndWrite(VARIANT_BOOL flushAndEND) { return flushAndEND ? buffer_->Flush(true) : S_OK; }

  template <typename... A>
  HRESULT Print(const char* format, A... args) {
    auto list = format::Args(args...);
    format::ArgList cursor(list);
    HRESULT hr = engine_.Printf(*buffer_, format, &cursor);
    if (FAILED(hr)) buffer_->DropOutput();
    return hr;
  }
  template <typename... A>
  HRESULT Scan(const char* format, A... args) {
    auto list = format::Args(args...);
    format::ArgList cursor(list);
    return engine_.Scanf(*buffer_, format, &cursor);
  }

  // One value of type `t` (IEEE ASCII type) from the element of `vt` at `p`.
  HRESULT PrintValue(LONG t, const void* p, VARTYPE vt) {
    AsciiFormats f{};
    if (!p || !FormatsOf(t, &f) || t == ASCIIType_BSTR) return BadType("WriteNumber");
    const double v = ElementValue(vt, p);
    if (std::isnan(v) && vt != VT_R4 && vt != VT_R8)
      return ReportError(E_INVALIDARG, IID_IFormattedIO488, "The value is not a number.");
    switch (t) {
      case ASCIIType_UI1:
      case ASCIIType_I2:
      case ASCIIType_I4: {
        VARIANT whole;
        VariantInit(&whole);
        if (HRESULT hr = Store(t, v, &whole); FAILED(hr)) return hr;
        return Print("%ld", static_cast<LONG>(t == ASCIIType_UI1  ? whole.bVal
                                              : t == ASCIIType_I2 ? whole.iVal
                                                                  : whole.lVal));
      }
      default: return Print(f.write, v);
    }
  }

  // `value` as a VARIANT of the type's element type; whole-number types take whole values in range.
  static HRESULT Store(LONG t, double value, VARIANT* out) {
    auto whole = [&](double lo, double hi) { return value == std::trunc(value) && value >= lo && value <= hi; };
    switch (t) {
      case ASCIIType_UI1:
        if (!whole(0, 255)) break;
        out->vt = VT_UI1;
        out->bVal = static_cast<BYTE>(value);
        return S_OK;
      case ASCIIType_I2:
        if (!whole(-32768, 32767)) break;
        out->vt = VT_I2;
        out->iVal = static_cast<SHORT>(value);
        return S_OK;
      case ASCIIType_I4:
        if (!whole(-2147483648.0, 2147483647.0)) break;
        out->vt = VT_I4;
        out->lVal = static_cast<LONG>(value);
        return S_OK;
      case ASCIIType_R4:
        out->vt = VT_R4;
        out->fltVal = static_cast<FLOAT>(value);
        return S_OK;
      case ASCIIType_R8:
        out->vt = VT_R8;
        out->dblVal = value;
        return S_OK;
      default: return BadType("ReadNumber");
    }
    return ReportError(DISP_E_OVERFLOW, IID_IFormattedIO488,
                       "The value " + std::to_string(value) + " does not fit the element type asked for.");
  }

  static SAFEARRAY* ArrayOf(VARIANT* v) {
    if (!v) return nullptr;
    SAFEARRAY* sa = nullptr;
    if ((v->vt & VT_ARRAY) && (v->vt & VT_BYREF)) {
      SAFEARRAY** ref = static_cast<SAFEARRAY**>(v->byref);
      sa = ref ? *ref : nullptr;
    } else if (v->vt & VT_ARRAY) {
      sa = v->parray;
    }
    return sa && SafeArrayGetDim(sa) == 1 ? sa : nullptr;
  }

  // ---- the session's transfers, as the instrument buffer takes them ----

  HRESULT GetTerminationCharacter(BYTE* c) override { return io_->get_TerminationCharacter(c); }
  HRESULT SetTerminationCharacter(BYTE c) override { return io_->put_TerminationCharacter(c); }
  HRESULT GetTerminationCharacterEnabled(VARIANT_BOOL* on) override {
    return io_->get_TerminationCharacterEnabled(on);
  }
  HRESULT SetTerminationCharacterEnabled(VARIANT_BOOL on) override { return io_->put_TerminationCharacterEnabled(on); }
  HRESULT GetSendEndEnabled(VARIANT_BOOL* on) override { return io_->get_SendEndEnabled(on); }
  HRESULT SetSendEndEnabled(VARIANT_BOOL on) override { return io_->put_SendEndEnabled(on); }

  HRESULT LowLevelReadNoPoll(BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) override {
    LONG got = 0;
    ScopedTimeout t(*io_.get(), lTimeout);
    HRESULT hr;
    if (direct_) {
      hr = direct_->ReadInto(pBuf, lCount, &got);
    } else {
      SafeArrayPtr data;
      hr = io_->Read(lCount, data.Receive());
      if (SUCCEEDED(hr) && data) {
        SafeArrayAccess<BYTE> bytes(data.get());
        got = static_cast<LONG>(std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(lCount)));
        if (got) std::memcpy(pBuf, bytes.data(), static_cast<std::size_t>(got));
      }
    }
    if (plActual) *plActual = got;
    return hr == S_VISA_MAX_CNT ? S_IO_MORE_DATA : hr;
  }
  HRESULT LowLevelReadNoPoll(LONG lCount, SAFEARRAY** ppsaBuf, LONG* plActual, LONG lTimeout) override {
    SafeArrayPtr data(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(lCount)));
    if (!data) return E_OUTOFMEMORY;
    LONG got = 0;
    HRESULT hr;
    {
      SafeArrayAccess<BYTE> bytes(data.get());
      hr = LowLevelReadNoPoll(bytes.data(), lCount, &got, lTimeout);
    }
    if (plActual) *plActual = got;
    if (FAILED(hr)) return hr;
    data.get()->rgsabound[0].cElements = static_cast<ULONG>(got);
    *ppsaBuf = data.Detach();
    return hr;
  }
  HRESULT LowLevelReadStringNoPoll(LONG lCount, BSTR* pbstrBuf, LONG* plActual, LONG lTimeout) override {
    std::string bytes(static_cast<std::size_t>(lCount), '\0');
    LONG got = 0;
    HRESULT hr = LowLevelReadNoPoll(reinterpret_cast<BYTE*>(bytes.data()), lCount, &got, lTimeout);
    if (plActual) *plActual = got;
    if (FAILED(hr)) return hr;
    bytes.resize(static_cast<std::size_t>(got));
    *pbstrBuf = Bstr(bytes).Detach();
    return hr;
  }
  HRESULT LowLevelWriteNoPoll(const BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) override {
    LONG sent = 0;
    ScopedTimeout t(*io_.get(), lTimeout);
    HRESULT hr;
    if (direct_) {
      hr = direct_->WriteFrom(pBuf, lCount, &sent);
    } else {
      SafeArrayPtr data(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(lCount)));
      if (!data) return E_OUTOFMEMORY;
      {
        SafeArrayAccess<BYTE> bytes(data.get());
        if (lCount) std::memcpy(bytes.data(), pBuf, static_cast<std::size_t>(lCount));
      }
      SAFEARRAY* psa = data.get();
      hr = io_->Write(&psa, lCount, &sent);
    }
    if (plActual) *plActual = sent;
    return hr;
  }
  HRESULT LowLevelWriteNoPoll(SAFEARRAY* psaBuf, LONG lCount, LONG* plActual, LONG lTimeout) override {
    SafeArrayAccess<BYTE> bytes(psaBuf);
    if (!bytes.ok()) return bytes.hr();
    return LowLevelWriteNoPoll(bytes.data(), std::min(lCount, static_cast<LONG>(bytes.size())), plActual, lTimeout);
  }
  HRESULT LowLevelWriteStringNoPoll(BSTR bstrBuf, LONG* plActual, LONG lTimeout) override {
    const std::string text = ToNarrow(bstrBuf);
    return LowLevelWriteNoPoll(reinterpret_cast<const BYTE*>(text.data()), static_cast<LONG>(text.size()), plActual,
                               lTimeout);
  }
  // Formatted I/O never checks the instrument's status: the polling forms are the same transfers.
  HRESULT LowLevelRead(BYTE* p, LONG n, LONG* a, LONG t) override { return LowLevelReadNoPoll(p, n, a, t); }
  HRESULT LowLevelRead(LONG n, SAFEARRAY** p, LONG* a, LONG t) override { return LowLevelReadNoPoll(n, p, a, t); }
  HRESULT LowLevelReadString(LONG n, BSTR* p, LONG* a, LONG t) override {
    return LowLevelReadStringNoPoll(n, p, a, t);
  }
  HRESULT LowLevelWrite(const BYTE* p, LONG n, LONG* a, LONG t) override { return LowLevelWriteNoPoll(p, n, a, t); }
  HRESULT LowLevelWrite(SAFEARRAY* p, LONG n, LONG* a, LONG t) override { return LowLevelWriteNoPoll(p, n, a, t); }
  HRESULT LowLevelWriteString(BSTR p, LONG* a, LONG t) override { return LowLevelWriteStringNoPoll(p, a, t); }
  HRESULT FlushInstrBuffer() override { return buffer_ ? buffer_->Flush(true) : S_OK; }

  CriticalSection cs_;
  ComPtr<IMessage> io_;
  ComPtr<IKorvaneMessageDirect> direct_;
  bool bigEndian_ = true;  // IEEE 488.2 binary data is big-endian
  // The engine's failures are described in the driver's words; no call context names a method.
  CKorvaneErrorReporter reporter_{nullptr};
  CFormattedIo engine_{&reporter_};
  std::unique_ptr<CInstrBuffer> buffer_;
};

}  // namespace

HRESULT CreateFormattedIo488(REFIID riid, void** ppv) noexcept { return CFormattedIo488::Create(riid, ppv); }

}  // namespace korvane
