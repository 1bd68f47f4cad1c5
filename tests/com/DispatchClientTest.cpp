// A compiled client that knows the driver only through IDispatch: names resolved with
// GetIDsOfNames, every call through Invoke, against the simulator whose resource string
// KORVANE_TEST_RESOURCE names (tests/com/script_clients.py starts it and runs this program).
// Besides the scripts' flow it checks what only such a client sees: typed by-reference
// arguments, the type information and error-info support of the objects.
#include <windows.h>
#include <ocidl.h>
#include <ole2.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const char* s) { return std::wstring(s, s + std::char_traits<char>::length(s)); }

struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  ~Variant() { VariantClear(&v); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

// Calls by name on an IDispatch; the last HRESULT and exception stay for inspection.
class Late {
 public:
  explicit Late(IDispatch* d) : d_(d) {}
  Late(Late&& o) noexcept : d_(o.d_) { o.d_ = nullptr; }
  Late(const Late&) = delete;
  Late& operator=(const Late&) = delete;
  ~Late() {
    if (d_) d_->Release();
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrHelpFile);
  }
  IDispatch* get() const { return d_; }

  // args in call order; flags DISPATCH_*.
  HRESULT Call(const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    hr = d_->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS dp{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags & DISPATCH_PROPERTYPUT) {
      dp.rgdispidNamedArgs = &put;
      dp.cNamedArgs = 1;
    }
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrHelpFile);
    excep = {};
    UINT argErr = 0;
    hr = d_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, result, &excep, &argErr);
    return hr;
  }
  Late Object(const wchar_t* name, std::vector<VARIANT> args = {}) {
    Variant r;
    Call(name, DISPATCH_PROPERTYGET | DISPATCH_METHOD, std::move(args), &r.v);
    IDispatch* d = V_VT(&r.v) == VT_DISPATCH ? V_DISPATCH(&r.v) : nullptr;
    if (d) d->AddRef();
    return Late(d);
  }
  double Number(const wchar_t* name) {
    Variant r;
    Call(name, DISPATCH_PROPERTYGET, {}, &r.v);
    return SUCCEEDED(VariantChangeType(&r.v, &r.v, 0, VT_R8)) ? V_R8(&r.v) : -1;
  }
  std::wstring Text(const wchar_t* name) {
    Variant r;
    Call(name, DISPATCH_PROPERTYGET, {}, &r.v);
    return V_VT(&r.v) == VT_BSTR && V_BSTR(&r.v) ? V_BSTR(&r.v) : L"";
  }

  HRESULT hr = S_OK;
  EXCEPINFO excep{};

 private:
  IDispatch* d_;
};

VARIANT Arg(double x) {
  VARIANT v;
  V_VT(&v) = VT_R8;
  V_R8(&v) = x;
  return v;
}
VARIANT Arg(LONG x) {
  VARIANT v;
  V_VT(&v) = VT_I4;
  V_I4(&v) = x;
  return v;
}
VARIANT Arg(bool x) {
  VARIANT v;
  V_VT(&v) = VT_BOOL;
  V_BOOL(&v) = x ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}
VARIANT Arg(BSTR x) {  // borrowed: the caller frees it
  VARIANT v;
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = x;
  return v;
}
template <typename T>
VARIANT Ref(VARTYPE vt, T* p) {
  VARIANT v;
  V_VT(&v) = VT_BYREF | vt;
  V_BYREF(&v) = p;
  return v;
}

TEST(DispatchClient, DemoFlowThroughInvokeOnly) {
  const char* env = std::getenv("KORVANE_TEST_RESOURCE");
  ASSERT_NE(nullptr, env) << "run by tests/com/script_clients.py, which starts the simulator";
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  {
    CLSID clsid;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"Korvane.Korvane", &clsid));
    IDispatch* raw = nullptr;
    ASSERT_EQ(S_OK,
              CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, reinterpret_cast<void**>(&raw)));
    Late drv(raw);

    // The object describes itself: its coclass and its default interface.
    IProvideClassInfo* pci = nullptr;
    ASSERT_EQ(S_OK, drv.get()->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&pci)));
    ITypeInfo* cls = nullptr;
    ASSERT_EQ(S_OK, pci->GetClassInfo(&cls));
    BSTR name = nullptr;
    cls->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr);
    EXPECT_STREQ(L"Korvane", name);
    SysFreeString(name);
    cls->Release();
    pci->Release();
    IProvideClassInfo2* pci2 = nullptr;
    ASSERT_EQ(S_OK, drv.get()->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(&pci2)));
    GUID source = IID_IDispatch;
    EXPECT_EQ(S_OK, pci2->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source));
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, source)) << "the objects have no event source";
    EXPECT_EQ(E_INVALIDARG, pci2->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID + 7, &source));
    EXPECT_EQ(E_INVALIDARG, pci2->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, nullptr));
    pci2->Release();
    ISupportErrorInfo* sei = nullptr;
    ASSERT_EQ(S_OK, drv.get()->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&sei)));
    const IID iviDriver = {0x47ED5184, 0xA398, 0x11D4, {0xBA, 0x58, 0x00, 0x00, 0x64, 0x65, 0x73, 0x74}};
    EXPECT_EQ(S_OK, sei->InterfaceSupportsErrorInfo(iviDriver));
    EXPECT_EQ(S_FALSE, sei->InterfaceSupportsErrorInfo(IID_IClassFactory));
    sei->Release();

    BSTR resource = SysAllocString(Wide(env).c_str()), options = SysAllocString(L"QueryInstrStatus=true");
    ASSERT_EQ(S_OK,
              drv.Call(L"Initialize", DISPATCH_METHOD, {Arg(resource), Arg(true), Arg(true), Arg(options)}, nullptr))
        << std::hex << drv.hr;
    SysFreeString(resource);
    SysFreeString(options);
    EXPECT_FALSE(drv.Object(L"Identity").Text(L"InstrumentModel").empty());

    Late timebase = drv.Object(L"Timebase");
    ASSERT_NE(nullptr, timebase.get());
    ASSERT_EQ(S_OK, timebase.Call(L"HorizontalScale", DISPATCH_PROPERTYPUT, {Arg(5e-4)}, nullptr));
    EXPECT_DOUBLE_EQ(5e-4, timebase.Number(L"HorizontalScale"));

    // For Each as a compiled client does it: DISPID_NEWENUM, then IEnumVARIANT.
    Late channels = drv.Object(L"Channels");
    DISPPARAMS none{};
    Variant en;
    ASSERT_EQ(S_OK, channels.get()->Invoke(DISPID_NEWENUM, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                                           &en.v, nullptr, nullptr));
    IEnumVARIANT* items = nullptr;
    ASSERT_EQ(S_OK, V_UNKNOWN(&en.v)->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items)));
    Variant item;
    ULONG got = 0, seen = 0;
    while (items->Next(1, &item.v, &got) == S_OK && got == 1) {
      EXPECT_EQ(VT_DISPATCH, V_VT(&item.v));
      ++seen;
      VariantClear(&item.v);
    }
    items->Release();
    EXPECT_EQ(static_cast<ULONG>(channels.Number(L"Count")), seen);
    EXPECT_GT(seen, 0u);

    // Typed references come back in their own types: a double array, a double.
    Late meas = drv.Object(L"Measurements").Object(L"Item", {Arg(SysAllocString(L"Channel1"))});
    ASSERT_NE(nullptr, meas.get());
    SAFEARRAY* wf = nullptr;
    double x0 = -1, dx = -1;
    ASSERT_EQ(S_OK,
              meas.Call(L"ReadWaveform", DISPATCH_METHOD,
                        {Arg(LONG{5000}), Ref(VT_ARRAY | VT_R8, &wf), Ref(VT_R8, &x0), Ref(VT_R8, &dx)}, nullptr))
        << std::hex << meas.hr;
    ASSERT_NE(nullptr, wf);
    VARTYPE vt = VT_EMPTY;
    SafeArrayGetVartype(wf, &vt);
    EXPECT_EQ(VT_R8, vt);
    EXPECT_GE(wf->rgsabound[0].cElements, 100u);
    EXPECT_GT(dx, 0);
    SafeArrayDestroy(wf);

    // A refused value: DISP_E_EXCEPTION carrying the driver's code, text and source.
    Late acquisition = drv.Object(L"Acquisition");
    EXPECT_EQ(DISP_E_EXCEPTION, acquisition.Call(L"Type", DISPATCH_PROPERTYPUT, {Arg(LONG{99})}, nullptr));
    EXPECT_TRUE(FAILED(acquisition.excep.scode));
    EXPECT_NE(nullptr, acquisition.excep.bstrDescription);
    EXPECT_NE(nullptr, acquisition.excep.bstrSource);
    // Wrong argument counts and unknown names are the dispatch layer's own errors.
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, timebase.Call(L"HorizontalScale", DISPATCH_PROPERTYGET, {Arg(1.0)}, nullptr));
    EXPECT_EQ(DISP_E_UNKNOWNNAME, timebase.Call(L"NoSuchMember", DISPATCH_PROPERTYGET, {}, nullptr));
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              timebase.Call(L"HorizontalScale", DISPATCH_PROPERTYPUT, {Arg(SysAllocString(L"fast"))}, nullptr));

    EXPECT_EQ(S_OK, drv.Call(L"Close", DISPATCH_METHOD, {}, nullptr));
  }
  CoUninitialize();
}

}  // namespace
