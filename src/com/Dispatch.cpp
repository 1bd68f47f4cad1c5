// The dispatch layer (Windows): member tables read from the type libraries, argument
// conversion between script values and the vtable's types, the call through the vtable, and
// the wrapping of what comes back (interfaces as dispatchable views, arrays as VARIANT arrays).
// One file because the three parts share the type-library reader's records and the view class;
// late binding is a Windows-only path, tested as a whole by the script and IDispatch clients.
#include "com/Dispatch.h"

#include "platform/Guard.h"
#include "com/ComObject.h"
#include "platform/ComObject.h"

#include <korvane/ComHelpers.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane {
namespace {

// ---- member tables ----

struct ParamType {
  VARTYPE vt = VT_EMPTY;  // the value's type; VT_UNKNOWN with an iid for an interface
  bool array = false;     // SAFEARRAY of vt
  bool pointer = false;   // the vtable entry takes its address ([out], [in, out])
  bool retval = false;
  bool optional = false;
  IID iid = GUID_NULL;
};

struct Function {
  SHORT vtableOffset = 0;
  std::vector<ParamType> params;
};

struct Member {
  std::wstring name;
  std::optional<Function> get, put, method;
};

struct Table {
  std::vector<Member> members;  // DISPID = index + 1
  DISPID item = DISPID_UNKNOWN, count = DISPID_UNKNOWN, name = DISPID_UNKNOWN;
  bool Collection() const { return item > 0 && count > 0 && name > 0; }
};

struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

template <typename T, void (STDMETHODCALLTYPE ITypeInfo::*Release)(T*)>
class TypeInfoPart {
 public:
  TypeInfoPart(ITypeInfo* info, T* part) : info_(info), part_(part) {}
  TypeInfoPart(const TypeInfoPart&) = delete;
  TypeInfoPart& operator=(const TypeInfoPart&) = delete;
  ~TypeInfoPart() {
    if (part_) (info_->*Release)(part_);
  }
  T* operator->() const { return part_; }

 private:
  ITypeInfo* info_;
  T* part_;
};
using TypeAttr = TypeInfoPart<TYPEATTR, &ITypeInfo::ReleaseTypeAttr>;
using FuncDesc = TypeInfoPart<FUNCDESC, &ITypeInfo::ReleaseFuncDesc>;

HMODULE ThisModule() noexcept {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

// The module's type libraries (its own and the IVI ones it carries) and the member table of
// each interface, built on first use. They live as long as the process: the tables are small
// and a script may come back to any interface at any time.
class CTypeRegistry {
 public:
  HRESULT TypeInfo(REFGUID guid, ComPtr<ITypeInfo>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    LoadLibraries();
    for (auto& lib : libs_) {
      if (lib && SUCCEEDED(lib->GetTypeInfoOfGuid(guid, out.Receive()))) return S_OK;
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }

  HRESULT TableOf(REFIID iid, const Table*& out) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = tables_.find(iid);
      if (it != tables_.end()) {
        out = it->second.get();
        return S_OK;
      }
    }
    ComPtr<ITypeInfo> info;
    if (HRESULT hr = TypeInfo(iid, info); FAILED(hr)) return hr;
    auto table = std::make_unique<Table>();
    if (HRESULT hr = AddFunctions(info.get(), *table); FAILED(hr)) return hr;
    for (std::size_t k = 0; k < table->members.size(); ++k) {
      const Member& m = table->members[k];
      const DISPID id = static_cast<DISPID>(k + 1);
      if (!m.get) continue;
      if (_wcsicmp(m.name.c_str(), L"Item") == 0 && m.get->params.size() == 2) table->item = id;
      if (_wcsicmp(m.name.c_str(), L"Count") == 0 && m.get->params.size() == 1) table->count = id;
      if (_wcsicmp(m.name.c_str(), L"Name") == 0 && m.get->params.size() == 2) table->name = id;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = tables_[iid];
    if (!slot) slot = std::move(table);
    out = slot.get();
    return S_OK;
  }

 private:
  void LoadLibraries() {
    if (loaded_) return;
    loaded_ = true;
    std::wstring path(MAX_PATH, L'\0');
    const DWORD n = GetModuleFileNameW(ThisModule(), path.data(), static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size()) return;
    path.resize(n);
    // TYPELIB 1 is the driver's library, 2 and 3 the IVI libraries it imports.
    const std::wstring names[] = {path, path + L"\\2", path + L"\\3"};
    for (int k = 0; k < 3; ++k) LoadTypeLibEx(names[k].c_str(), REGKIND_NONE, libs_[k].Receive());
  }

  // The entries of an interface and of the interfaces it extends, base first; IUnknown's
  // own three are not for late binding.
  HRESULT AddFunctions(ITypeInfo* info, Table& table) {
    TYPEATTR* raw = nullptr;
    if (HRESULT hr = info->GetTypeAttr(&raw); FAILED(hr)) return hr;
    TypeAttr attr(info, raw);
    if (IsEqualGUID(attr->guid, IID_IUnknown) || IsEqualGUID(attr->guid, IID_IDispatch)) return S_OK;
    if (attr->cImplTypes > 0) {
      HREFTYPE ref = 0;
      ComPtr<ITypeInfo> base;
      if (HRESULT hr = info->GetRefTypeOfImplType(0, &ref); FAILED(hr)) return hr;
      if (HRESULT hr = info->GetRefTypeInfo(ref, base.Receive()); FAILED(hr)) return hr;
      if (HRESULT hr = AddFunctions(base.get(), table); FAILED(hr)) return hr;
    }
    for (UINT k = 0; k < attr->cFuncs; ++k) {
      FUNCDESC* fraw = nullptr;
      if (HRESULT hr = info->GetFuncDesc(k, &fraw); FAILED(hr)) return hr;
      FuncDesc f(info, fraw);
      BSTR name = nullptr;
      if (HRESULT hr = info->GetDocumentation(f->memid, &name, nullptr, nullptr, nullptr); FAILED(hr)) return hr;
      std::wstring text = name ? name : L"";
      SysFreeString(name);
      Function fn;
      fn.vtableOffset = f->oVft;
      for (SHORT p = 0; p < f->cParams; ++p) {
        ParamType t;
        if (HRESULT hr = Describe(info, f->lprgelemdescParam[p], t); FAILED(hr)) return hr;
        fn.params.push_back(t);
      }
      Member* m = nullptr;
      for (Member& x : table.members)
        if (_wcsicmp(x.name.c_str(), text.c_str()) == 0) m = &x;
      if (!m) {
        table.members.push_back(Member{text, {}, {}, {}});
        m = &table.members.back();
      }
      std::optional<Function>& slot = f->invkind == INVOKE_PROPERTYGET ? m->get
                                      : f->invkind == INVOKE_FUNC      ? m->method
                                                                       : m->put;
      if (!slot) slot = std::move(fn);
    }
    return S_OK;
  }

  static HRESULT KindOf(ITypeInfo* info, HREFTYPE ref, TYPEKIND& kind, GUID& guid) {
    ComPtr<ITypeInfo> target;
    if (HRESULT hr = info->GetRefTypeInfo(ref, target.Receive()); FAILED(hr)) return hr;
    TYPEATTR* raw = nullptr;
    if (HRESULT hr = target->GetTypeAttr(&raw); FAILED(hr)) return hr;
    TypeAttr attr(target.get(), raw);
    kind = attr->typekind;
    guid = attr->guid;
    return S_OK;
  }

  static bool IsInterfaceRef(ITypeInfo* info, const TYPEDESC* d, GUID& iid) {
    TYPEKIND kind{};
    return d->vt == VT_PTR && d->lptdesc->vt == VT_USERDEFINED &&
           SUCCEEDED(KindOf(info, d->lptdesc->hreftype, kind, iid)) && kind == TKIND_INTERFACE;
  }

  static HRESULT Describe(ITypeInfo* info, const ELEMDESC& e, ParamType& t) {
    const USHORT flags = e.paramdesc.wParamFlags;
    t.retval = flags & PARAMFLAG_FRETVAL;
    t.optional = flags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT);
    const TYPEDESC* d = &e.tdesc;
    GUID iid = GUID_NULL;
    if (d->vt == VT_PTR && !IsInterfaceRef(info, d, iid)) {
      t.pointer = true;
      d = d->lptdesc;
    }
    if (IsInterfaceRef(info, d, iid)) {
      t.vt = VT_UNKNOWN;
      t.iid = iid;
    } else if (d->vt == VT_SAFEARRAY) {
      t.array = true;
      t.vt = d->lptdesc->vt;
    } else if (d->vt == VT_USERDEFINED) {
      TYPEKIND kind{};
      if (HRESULT hr = KindOf(info, d->hreftype, kind, iid); FAILED(hr)) return hr;
      if (kind != TKIND_ENUM) return TYPE_E_UNSUPFORMAT;
      t.vt = VT_I4;
    } else {
      t.vt = d->vt;
    }
    return S_OK;
  }

  std::mutex mutex_;
  bool loaded_ = false;
  ComPtr<ITypeLib> libs_[3];
  std::map<IID, std::unique_ptr<Table>, GuidLess> tables_;
};

CTypeRegistry& Types() {
  static CTypeRegistry* registry = new CTypeRegistry;  // lives as long as the process
  return *registry;
}

// ---- values ----

// A script passes variables by reference; the value is what they refer to.
const VARIANT& Deref(const VARIANT& v) {
  const VARIANT* p = &v;
  while (V_VT(p) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(p)) p = V_VARIANTREF(p);
  return *p;
}

bool Missing(const VARIANT* v) {
  return !v || (V_VT(&Deref(*v)) == VT_ERROR && V_ERROR(&Deref(*v)) == DISP_E_PARAMNOTFOUND);
}

// A property of a script object by name ("length", "0", "1", ...).
HRESULT ScriptProperty(IDispatch* object, const std::wstring& name, VARIANT* value) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR text = const_cast<LPOLESTR>(name.c_str());
  if (HRESULT hr = object->GetIDsOfNames(IID_NULL, &text, 1, LOCALE_USER_DEFAULT, &id); FAILED(hr)) return hr;
  DISPPARAMS none{};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, value, nullptr, nullptr);
}

// A JScript array (an object with length and numbered elements) as a SAFEARRAY of `elem`.
HRESULT ObjectToArray(IDispatch* object, VARTYPE elem, SAFEARRAY** out) {
  VariantOwner length;
  if (FAILED(ScriptProperty(object, L"length", length.ptr())) ||
      FAILED(VariantChangeType(length.ptr(), length.ptr(), 0, VT_I4)) || V_I4(length.ptr()) < 0)
    return DISP_E_TYPEMISMATCH;
  SAFEARRAY* dst = SafeArrayCreateVector(elem, 0, static_cast<ULONG>(V_I4(length.ptr())));
  if (!dst) return E_OUTOFMEMORY;
  for (LONG k = 0; k < V_I4(length.ptr()); ++k) {
    VariantOwner e, c;
    HRESULT hr = ScriptProperty(object, std::to_wstring(k), e.ptr());
    if (SUCCEEDED(hr)) hr = VariantChangeType(c.ptr(), e.ptr(), 0, elem);
    if (SUCCEEDED(hr)) hr = SafeArrayPutElement(dst, &k, &V_I8(c.ptr()));
    if (FAILED(hr)) {
      SafeArrayDestroy(dst);
      return DISP_E_TYPEMISMATCH;
    }
  }
  *out = dst;
  return S_OK;
}

// A script array (any element type, one dimension) as a SAFEARRAY of `elem`.
HRESULT ToArray(const VARIANT& arg, VARTYPE elem, SAFEARRAY** out) {
  *out = nullptr;
  const VARIANT& v = Deref(arg);
  if (V_VT(&v) == VT_EMPTY || V_VT(&v) == VT_NULL) return S_OK;
  if (V_VT(&v) == VT_DISPATCH && V_DISPATCH(&v)) return ObjectToArray(V_DISPATCH(&v), elem, out);
  if (!(V_VT(&v) & VT_ARRAY)) return DISP_E_TYPEMISMATCH;
  SAFEARRAY* src = (V_VT(&v) & VT_BYREF) ? *V_ARRAYREF(&v) : V_ARRAY(&v);
  if (!src) return S_OK;
  if (SafeArrayGetDim(src) != 1) return DISP_E_TYPEMISMATCH;
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(src, 1, &lo);
  SafeArrayGetUBound(src, 1, &hi);
  const VARTYPE from = V_VT(&v) & VT_TYPEMASK;
  SAFEARRAY* dst = SafeArrayCreateVector(elem, 0, static_cast<ULONG>(hi - lo + 1));
  if (!dst) return E_OUTOFMEMORY;
  for (LONG k = lo; k <= hi; ++k) {
    VariantOwner e, c;
    HRESULT hr;
    if (from == VT_VARIANT) {
      hr = SafeArrayGetElement(src, &k, e.ptr());
    } else {
      hr = SafeArrayGetElement(src, &k, &V_I8(e.ptr()));
      if (SUCCEEDED(hr)) V_VT(e.ptr()) = from;
    }
    if (SUCCEEDED(hr)) hr = VariantChangeType(c.ptr(), e.ptr(), 0, elem);
    LONG at = k - lo;
    if (SUCCEEDED(hr)) hr = SafeArrayPutElement(dst, &at, &V_I8(c.ptr()));
    if (FAILED(hr)) {
      SafeArrayDestroy(dst);
      return DISP_E_TYPEMISMATCH;
    }
  }
  *out = dst;
  return S_OK;
}

// A SAFEARRAY of scalars as the VARIANT array scripts index and enumerate.
HRESULT ToVariantArray(SAFEARRAY* src, VARTYPE elem, VARIANT& out) {
  LONG lo = 0, hi = -1;
  if (src) {
    SafeArrayGetLBound(src, 1, &lo);
    SafeArrayGetUBound(src, 1, &hi);
  }
  SAFEARRAY* dst = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(hi - lo + 1));
  if (!dst) return E_OUTOFMEMORY;
  if (hi >= lo) {
    void* from = nullptr;
    VARIANT* to = nullptr;
    HRESULT hr = SafeArrayAccessData(src, &from);
    if (SUCCEEDED(hr)) {
      hr = SafeArrayAccessData(dst, reinterpret_cast<void**>(&to));
      if (FAILED(hr)) SafeArrayUnaccessData(src);
    }
    if (FAILED(hr)) {
      SafeArrayDestroy(dst);
      return hr;
    }
    const ULONG size = SafeArrayGetElemsize(src);
    for (LONG k = 0; k <= hi - lo; ++k) {
      V_VT(&to[k]) = elem;
      std::memcpy(&V_I8(&to[k]), static_cast<const BYTE*>(from) + size * k, size);
      if (elem == VT_BSTR) V_BSTR(&to[k]) = SysAllocString(V_BSTR(&to[k]));
    }
    SafeArrayUnaccessData(dst);
    SafeArrayUnaccessData(src);
  }
  V_VT(&out) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&out) = dst;
  return S_OK;
}

// ---- views and enumerators ----

// IDispatch over one interface of an object: what navigation and collections hand to scripts.
// The view is its own identity; other interfaces are asked of the object.
class CDispatchView final : public ComObject<CDispatchView, IDispatch, ISupportErrorInfo> {
 public:
  static HRESULT Create(IUnknown* target, REFIID iid, IDispatch** out) noexcept {
    *out = nullptr;
    auto* view = new (std::nothrow) CDispatchView(target, iid);
    if (!view) return E_OUTOFMEMORY;
    *out = view;
    return S_OK;
  }
  HRESULT QueryElsewhere(REFIID iid, void** ppv) noexcept { return target_->QueryInterface(iid, ppv); }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    return index == 0 ? DispatchTypeInfo(iid_, info) : DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return DispatchGetIDsOfNames(iid_, names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* excep, UINT* argErr) override {
    return DispatchInvoke(target_.get(), iid_, id, flags, params, result, excep, argErr);
  }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID) override { return S_OK; }

 private:
  CDispatchView(IUnknown* target, REFIID iid) : target_(target), iid_(iid) {}
  ~CDispatchView() override = default;

  ComPtr<IUnknown> target_;
  IID iid_;
  CModuleRef moduleRef_;
};

// The items of a collection as they were when the enumeration began.
class CEnumVariant final : public ComObject<CEnumVariant, IEnumVARIANT> {
 public:
  explicit CEnumVariant(std::shared_ptr<std::vector<VARIANT>> items) : items_(std::move(items)) {}
  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT* out, ULONG* fetched) override {
    if (!out) return E_POINTER;
    ULONG n = 0;
    for (; n < count && next_ < items_->size(); ++n, ++next_) {
      VariantInit(&out[n]);
      VariantCopy(&out[n], &(*items_)[next_]);
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const std::size_t left = items_->size() - next_;
    next_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT** out) override {
    if (!out) return E_POINTER;
    auto* copy = new (std::nothrow) CEnumVariant(items_);
    if (!copy) return E_OUTOFMEMORY;
    copy->next_ = next_;
    *out = copy;
    return S_OK;
  }

 private:
  ~CEnumVariant() override = default;

  std::shared_ptr<std::vector<VARIANT>> items_;
  std::size_t next_ = 0;
  CModuleRef moduleRef_;
};

struct VariantList {
  std::vector<VARIANT> items;
  ~VariantList() {
    for (VARIANT& v : items) VariantClear(&v);
  }
};

// ---- the call ----

// One parameter of a call: the converted value and what the vtable entry receives.
struct Slot {
  Slot() {
    std::memset(&value, 0, sizeof value);
    std::memset(&arg, 0, sizeof arg);
  }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;
  ~Slot() {
    if (array) SafeArrayDestroy(array);
    if (object) object->Release();
    VariantClear(&value);
  }
  VARIANT value;               // scalars, strings, VARIANTs
  SAFEARRAY* array = nullptr;  // arrays
  IUnknown* object = nullptr;  // interfaces
  VARIANT arg;                 // what DispCallFunc pushes
  VARTYPE argType = VT_EMPTY;
  VARIANT* source = nullptr;  // the caller's argument, for [in, out] and [out]
};

// Interface, array or scalar coming back, as a script sees it.
HRESULT ToScript(const ParamType& p, Slot& s, VARIANT& out) {
  VariantInit(&out);
  if (p.array) return ToVariantArray(s.array, p.vt, out);
  if (p.vt == VT_UNKNOWN) {
    if (!s.object) {
      V_VT(&out) = VT_DISPATCH;
      V_DISPATCH(&out) = nullptr;
      return S_OK;
    }
    if (!IsEqualGUID(p.iid, GUID_NULL)) {
      V_VT(&out) = VT_DISPATCH;
      return CDispatchView::Create(s.object, p.iid, &V_DISPATCH(&out));
    }
    IDispatch* d = nullptr;
    if (SUCCEEDED(s.object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&d)))) {
      V_VT(&out) = VT_DISPATCH;
      V_DISPATCH(&out) = d;
    } else {
      V_VT(&out) = VT_UNKNOWN;
      V_UNKNOWN(&out) = std::exchange(s.object, nullptr);
    }
    return S_OK;
  }
  if (p.vt == VT_VARIANT) {
    out = s.value;
    std::memset(&s.value, 0, sizeof s.value);
    return S_OK;
  }
  // Scripts have no 64-bit integers; a double carries every value the instruments use.
  if (p.vt == VT_I8) {
    V_VT(&out) = VT_R8;
    V_R8(&out) = static_cast<double>(V_I8(&s.value));
    return S_OK;
  }
  out = s.value;
  V_VT(&out) = p.vt;
  std::memset(&s.value, 0, sizeof s.value);  // a string's ownership moves with it
  return S_OK;
}

// An [in, out] or [out] value back into the caller's variable: a script's VARIANT variable
// gets the script form; a typed reference (a compiled client's) gets its own type.
HRESULT WriteBack(const ParamType& p, Slot& s) {
  VARIANT* target = s.source;
  if (!target || !(V_VT(target) & VT_BYREF)) return S_OK;  // passed by value: nothing to update
  if (V_VT(target) == (VT_BYREF | VT_VARIANT)) {
    VARIANT value;
    if (HRESULT hr = ToScript(p, s, value); FAILED(hr)) return hr;
    VariantClear(V_VARIANTREF(target));
    *V_VARIANTREF(target) = value;
    return S_OK;
  }
  const VARTYPE type = V_VT(target) & ~VT_BYREF;
  if (p.array && type == (VT_ARRAY | p.vt)) {
    if (*V_ARRAYREF(target)) SafeArrayDestroy(*V_ARRAYREF(target));
    *V_ARRAYREF(target) = std::exchange(s.array, nullptr);
    return S_OK;
  }
  if (p.array || p.vt == VT_UNKNOWN || (type & VT_ARRAY)) return DISP_E_TYPEMISMATCH;
  VariantOwner value, converted;
  if (HRESULT hr = ToScript(p, s, value.get()); FAILED(hr)) return hr;
  if (HRESULT hr = VariantChangeType(converted.ptr(), value.ptr(), 0, type); FAILED(hr)) return hr;
  if (type == VT_BSTR) {
    SysFreeString(*V_BSTRREF(target));
    *V_BSTRREF(target) = converted.Detach().bstrVal;
    return S_OK;
  }
  const std::size_t size = type == VT_I8 || type == VT_R8 || type == VT_UI8 || type == VT_CY || type == VT_DATE ? 8
                           : type == VT_I2 || type == VT_UI2 || type == VT_BOOL                                 ? 2
                           : type == VT_I1 || type == VT_UI1                                                    ? 1
                                                                                                                : 4;
  std::memcpy(V_BYREF(target), &V_I8(converted.ptr()), size);
  return S_OK;
}

// The caller's argument into the slot of parameter p.
HRESULT FromScript(const ParamType& p, VARIANT* given, Slot& s) {
  s.source = given;
  const bool missing = Missing(given);
  if (p.array) {
    if (!missing) {
      if (HRESULT hr = ToArray(*given, p.vt, &s.array); FAILED(hr)) return hr;
    }
    if (!s.array && !p.pointer) s.array = SafeArrayCreateVector(p.vt, 0, 0);
    s.argType = VT_BYREF | VT_I4;  // a pointer either way
    V_BYREF(&s.arg) = p.pointer ? static_cast<void*>(&s.array) : static_cast<void*>(s.array);
    return S_OK;
  }
  if (p.vt == VT_UNKNOWN) {
    if (!missing && !p.retval) {
      const VARIANT& v = Deref(*given);
      IUnknown* unk = V_VT(&v) == VT_DISPATCH ? V_DISPATCH(&v) : V_VT(&v) == VT_UNKNOWN ? V_UNKNOWN(&v) : nullptr;
      if (unk) {
        const IID& want = IsEqualGUID(p.iid, GUID_NULL) ? IID_IUnknown : p.iid;
        if (FAILED(unk->QueryInterface(want, reinterpret_cast<void**>(&s.object)))) return DISP_E_TYPEMISMATCH;
      } else if (V_VT(&v) != VT_EMPTY && V_VT(&v) != VT_NULL) {
        return DISP_E_TYPEMISMATCH;
      }
    }
    s.argType = VT_BYREF | VT_I4;
    V_BYREF(&s.arg) = p.pointer ? static_cast<void*>(&s.object) : static_cast<void*>(s.object);
    return S_OK;
  }
  if (!missing && !p.retval) {
    VariantOwner converted;
    VARIANT* v = const_cast<VARIANT*>(&Deref(*given));  // only read
    HRESULT hr = p.vt == VT_VARIANT ? VariantCopyInd(converted.ptr(), v)
                                    : VariantChangeType(converted.ptr(), v, 0, p.vt);
    if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
    s.value = converted.Detach();
  } else if (p.vt != VT_VARIANT) {
    V_VT(&s.value) = p.vt;  // zero, an empty string, false
  }
  if (p.pointer) {
    s.argType = VT_BYREF | VT_I4;
    V_BYREF(&s.arg) = p.vt == VT_VARIANT ? static_cast<void*>(&s.value) : static_cast<void*>(&V_I8(&s.value));
  } else if (p.vt == VT_VARIANT) {
    s.argType = VT_VARIANT;  // DispCallFunc passes the VARIANT itself
  } else {
    s.argType = p.vt;
    s.arg = s.value;  // a bitwise view; the slot keeps ownership
  }
  return S_OK;
}

void FillException(HRESULT failure, EXCEPINFO* excep) {
  if (!excep) return;
  std::memset(excep, 0, sizeof *excep);
  excep->scode = failure;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    info->GetDescription(&excep->bstrDescription);
    info->GetSource(&excep->bstrSource);
    info->Release();
  }
}

HRESULT Call(IUnknown* target, const Function& f, const DISPPARAMS& dp, VARIANT* result, EXCEPINFO* excep,
             UINT* argErr) {
  const std::size_t n = f.params.size();
  std::size_t visible = 0, required = 0;
  for (const ParamType& p : f.params) {
    if (p.retval) continue;
    ++visible;
    if (!p.optional) required = visible;
  }
  if (dp.cArgs > visible) return DISP_E_BADPARAMCOUNT;
  std::vector<std::unique_ptr<Slot>> slots;
  std::vector<VARIANTARG*> args(n);
  std::vector<VARTYPE> types(n);
  std::size_t v = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const ParamType& p = f.params[k];
    slots.push_back(std::make_unique<Slot>());
    VARIANT* given = nullptr;
    if (!p.retval) {
      if (v < dp.cArgs) given = &dp.rgvarg[dp.cArgs - 1 - v];
      if (Missing(given) && v < required && !p.optional) return DISP_E_PARAMNOTOPTIONAL;
      ++v;
    }
    Slot& s = *slots.back();
    if (HRESULT hr = FromScript(p, given, s); FAILED(hr)) {
      if (argErr && given) *argErr = static_cast<UINT>(given - dp.rgvarg);
      return hr;
    }
    args[k] = s.argType == VT_VARIANT ? &s.value : &s.arg;
    types[k] = s.argType;
  }
  VARIANT ret;
  VariantInit(&ret);
  HRESULT hr = DispCallFunc(target, static_cast<ULONG_PTR>(f.vtableOffset), CC_STDCALL, VT_ERROR, static_cast<UINT>(n),
                            types.data(), args.data(), &ret);
  if (FAILED(hr)) return hr;
  const HRESULT status = V_ERROR(&ret);
  if (FAILED(status)) {
    FillException(status, excep);
    return DISP_E_EXCEPTION;
  }
  if (result) VariantInit(result);
  bool returned = false;
  for (std::size_t k = 0; k < n; ++k) {
    const ParamType& p = f.params[k];
    Slot& s = *slots[k];
    if (p.retval) {
      if (result) hr = ToScript(p, s, *result);
      returned = true;
    } else if (p.pointer && s.source && (V_VT(s.source) & VT_BYREF)) {
      hr = WriteBack(p, s);
    }
    if (FAILED(hr)) return hr;
  }
  // A caller that cannot pass variables by reference (JScript) gets the first [in, out]
  // array, or else the first [in, out] value, of a method without a return value as its result.
  if (result && !returned) {
    for (int pass = 0; pass < 2 && V_VT(result) == VT_EMPTY; ++pass) {
      for (std::size_t k = 0; k < n; ++k) {
        const ParamType& p = f.params[k];
        Slot& s = *slots[k];
        if (p.pointer && p.array == (pass == 0) && !(s.source && (V_VT(s.source) & VT_BYREF))) {
          if (HRESULT h = ToScript(p, s, *result); FAILED(h)) return h;
          break;
        }
      }
    }
  }
  return status;
}

HRESULT Enumerate(IUnknown* target, REFIID iid, const Table& t, VARIANT* result, EXCEPINFO* excep) {
  if (!result) return E_POINTER;
  VariantOwner count;
  DISPPARAMS none{};
  if (HRESULT hr = DispatchInvoke(target, iid, t.count, DISPATCH_PROPERTYGET, &none, count.ptr(), excep, nullptr);
      FAILED(hr))
    return hr;
  if (HRESULT hr = VariantChangeType(count.ptr(), count.ptr(), 0, VT_I4); FAILED(hr)) return hr;
  auto list = std::make_shared<VariantList>();
  for (LONG k = 1; k <= V_I4(count.ptr()); ++k) {
    VariantOwner index, name, item;
    V_VT(index.ptr()) = VT_I4;
    V_I4(index.ptr()) = k;
    DISPPARAMS byIndex{index.ptr(), nullptr, 1, 0};
    if (HRESULT hr = DispatchInvoke(target, iid, t.name, DISPATCH_PROPERTYGET, &byIndex, name.ptr(), excep, nullptr);
        FAILED(hr))
      return hr;
    DISPPARAMS byName{name.ptr(), nullptr, 1, 0};
    if (HRESULT hr = DispatchInvoke(target, iid, t.item, DISPATCH_PROPERTYGET, &byName, item.ptr(), excep, nullptr);
        FAILED(hr))
      return hr;
    list->items.push_back(item.Detach());
  }
  // The list owns the items; the enumerator and its clones share it.
  std::shared_ptr<std::vector<VARIANT>> shared(list, &list->items);
  auto* e = new (std::nothrow) CEnumVariant(std::move(shared));
  if (!e) return E_OUTOFMEMORY;
  VariantInit(result);
  V_VT(result) = VT_UNKNOWN;
  V_UNKNOWN(result) = e;
  return S_OK;
}

}  // namespace

HRESULT DispatchTypeInfo(REFGUID guid, ITypeInfo** info) noexcept {
  if (!info) return E_POINTER;
  *info = nullptr;
  return Guarded([&] {
    ComPtr<ITypeInfo> found;
    HRESULT hr = Types().TypeInfo(guid, found);
    if (SUCCEEDED(hr)) *info = found.Detach();
    return hr;
  });
}

HRESULT DispatchGetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids) noexcept {
  if (!names || !ids) return E_POINTER;
  return Guarded([&]() -> HRESULT {
    const Table* t = nullptr;
    if (HRESULT hr = Types().TableOf(iid, t); FAILED(hr)) return hr;
    for (UINT k = 0; k < count; ++k) ids[k] = DISPID_UNKNOWN;
    if (count == 0 || !names[0]) return DISP_E_UNKNOWNNAME;
    if (t->Collection() && _wcsicmp(names[0], L"_NewEnum") == 0) {
      ids[0] = DISPID_NEWENUM;
    } else {
      for (std::size_t m = 0; m < t->members.size(); ++m)
        if (_wcsicmp(t->members[m].name.c_str(), names[0]) == 0) ids[0] = static_cast<DISPID>(m + 1);
    }
    // Arguments are positional; a name given for one is not known.
    return ids[0] != DISPID_UNKNOWN && count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
  });
}

HRESULT DispatchInvoke(IUnknown* target, REFIID iid, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                       EXCEPINFO* excep, UINT* argErr) noexcept {
  return Guarded([&]() -> HRESULT {
    const Table* t = nullptr;
    if (HRESULT hr = Types().TableOf(iid, t); FAILED(hr)) return hr;
    DISPPARAMS none{};
    if (!params) params = &none;
    if (id == DISPID_NEWENUM && t->Collection()) return Enumerate(target, iid, *t, result, excep);
    if (id == DISPID_VALUE) id = t->item;
    if (id < 1 || static_cast<std::size_t>(id) > t->members.size()) return DISP_E_MEMBERNOTFOUND;
    for (UINT k = 0; k < params->cNamedArgs; ++k)
      if (params->rgdispidNamedArgs[k] != DISPID_PROPERTYPUT) return DISP_E_NONAMEDARGS;
    const Member& m = t->members[static_cast<std::size_t>(id - 1)];
    const Function* f = nullptr;
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
      if (m.put) f = &*m.put;
    } else if ((flags & DISPATCH_METHOD) && m.method) {
      f = &*m.method;
    } else if ((flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) && m.get) {
      f = &*m.get;
    }
    if (!f) return DISP_E_MEMBERNOTFOUND;
    // drv.Channels("Channel1"): arguments to a property that takes none go to the default
    // member (Item) of what the property returns.
    if (f == &*m.get && params->cArgs > 0 && params->cNamedArgs == 0 && f->params.size() == 1 && f->params[0].retval &&
        f->params[0].vt == VT_UNKNOWN && !IsEqualGUID(f->params[0].iid, GUID_NULL)) {
      VariantOwner object;
      DISPPARAMS empty{};
      if (HRESULT hr = Call(target, *f, empty, object.ptr(), excep, argErr); FAILED(hr)) return hr;
      if (V_VT(object.ptr()) != VT_DISPATCH || !V_DISPATCH(object.ptr())) return DISP_E_MEMBERNOTFOUND;
      return V_DISPATCH(object.ptr())
          ->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET | DISPATCH_METHOD, params, result, excep, argErr);
    }
    return Call(target, *f, *params, result, excep, argErr);
  });
}

}  // namespace korvane
