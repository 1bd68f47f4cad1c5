// Late binding for the driver's objects without touching their interfaces: every object also
// answers IDispatch (over its default interface), IProvideClassInfo2 and ISupportErrorInfo.
// The dispatch layer reads the members from the type library and calls them through their
// vtables; interface pointers it hands out are wrapped again, so a script walks from the root
// to every sub-object, and collections enumerate with For Each.
//
// Windows only: other platforms have no type library to drive it. There the objects answer
// ISupportErrorInfo alone.
#pragma once

#include <korvane/KorvanePlatform.h>

#if defined(_WIN32)
#include <ocidl.h>
#endif

namespace korvane {

#if defined(_WIN32)

// Invoke on `target`, an interface pointer of type `iid`, as IDispatch::Invoke would. The
// member tables come from the module's type libraries; a failing member gives
// DISP_E_EXCEPTION with the driver's error description and source.
HRESULT DispatchGetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, DISPID* ids) noexcept;
HRESULT DispatchInvoke(IUnknown* target, REFIID iid, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                       EXCEPINFO* excep, UINT* argErr) noexcept;
// The type information of an interface or coclass of the module's libraries.
HRESULT DispatchTypeInfo(REFGUID guid, ITypeInfo** info) noexcept;

// The late-binding interfaces of an object. Self (the COM object class) supplies the object's
// IUnknown members and says which interfaces it has.
class CDispatchSupport : public IDispatch, public IProvideClassInfo2, public ISupportErrorInfo {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    return index == 0 ? DispatchTypeInfo(DefaultInterface(), info) : DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return DispatchGetIDsOfNames(DefaultInterface(), names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* excep, UINT* argErr) override {
    IUnknown* target = DefaultInterfacePointer();
    return target ? DispatchInvoke(target, DefaultInterface(), id, flags, params, result, excep, argErr)
                  : E_UNEXPECTED;
  }
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    return DispatchTypeInfo(ClassId(), info);
  }
  // The objects fire no events: the default source interface is GUID_NULL, which is how
  // containers learn there is nothing to connect to.
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* guid) override {
    if (!guid || kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
    *guid = GUID_NULL;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return HasInterface(iid) ? S_OK : S_FALSE;
  }

 protected:
  virtual ~CDispatchSupport() = default;
  // The object's coclass and default interface, the default interface itself (no reference
  // added) and whether the object has an interface.
  virtual const CLSID& ClassId() const noexcept = 0;
  virtual const IID& DefaultInterface() const noexcept = 0;
  virtual IUnknown* DefaultInterfacePointer() noexcept = 0;
  virtual bool HasInterface(REFIID iid) noexcept = 0;

  // QueryInterface's share: the late-binding interfaces, or null.
  void* FindSupportInterface(REFIID iid) noexcept {
    if (IsEqualIID(iid, IID_IDispatch)) return static_cast<IDispatch*>(this);
    if (IsEqualIID(iid, IID_IProvideClassInfo) || IsEqualIID(iid, IID_IProvideClassInfo2))
      return static_cast<IProvideClassInfo2*>(this);
    if (IsEqualIID(iid, IID_ISupportErrorInfo)) return static_cast<ISupportErrorInfo*>(this);
    return nullptr;
  }
};

#else

class CDispatchSupport : public ISupportErrorInfo {
 public:
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return HasInterface(iid) ? S_OK : S_FALSE;
  }

 protected:
  virtual ~CDispatchSupport() = default;
  virtual const CLSID& ClassId() const noexcept = 0;
  virtual const IID& DefaultInterface() const noexcept = 0;
  virtual IUnknown* DefaultInterfacePointer() noexcept = 0;
  virtual bool HasInterface(REFIID iid) noexcept = 0;

  void* FindSupportInterface(REFIID iid) noexcept {
    return IsEqualIID(iid, IID_ISupportErrorInfo) ? static_cast<ISupportErrorInfo*>(this) : nullptr;
  }
};

#endif

}  // namespace korvane
