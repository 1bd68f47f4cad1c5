// The IVI inherent members of the root: the session implements them; the call frame in front
// has already locked the object, pushed the call context and checked the connection.
#include "com/Objects.h"

namespace korvane {

// ---- IIviDriver ----
HRESULT Impl_IIviDriver_Initialize(CKorvane& self, BSTR ResourceName, VARIANT_BOOL IdQuery, VARIANT_BOOL Reset,
                                   BSTR OptionString) {
  return self.CDriver::Initialize(ResourceName, IdQuery, Reset, OptionString);
}
HRESULT Impl_IIviDriver_get_Initialized(CKorvane& self, VARIANT_BOOL* pVal) {
  return self.CDriver::get_Initialized(pVal);
}
HRESULT Impl_IIviDriver_Close(CKorvane& self) { return self.CDriver::Close(); }

// ---- IIviComponentIdentity / IIviDriverIdentity ----
HRESULT Impl_IIviComponentIdentity_get_Description(CKorvane& self, BSTR* pVal) {
  return self.CDriver::get_Description(pVal);
}
HRESULT Impl_IIviComponentIdentity_get_Revision(CKorvane& self, BSTR* pVal) {
  return self.CDriver::get_Revision(pVal);
}
HRESULT Impl_IIviComponentIdentity_get_Vendor(CKorvane& self, BSTR* pVal) { return self.CDriver::get_Vendor(pVal); }
HRESULT Impl_IIviDriverIdentity_get_InstrumentManufacturer(CKorvane& self, BSTR* pVal) {
  return self.CDriver::get_InstrumentManufacturer(pVal);
}
HRESULT Impl_IIviDriverIdentity_get_InstrumentModel(CKorvane& self, BSTR* pVal) {
  return self.CDriver::get_InstrumentModel(pVal);
}
HRESULT Impl_IIviDriverIdentity_get_InstrumentFirmwareRevision(CKorvane& self, BSTR* pVal) {
  return self.CDriver::get_InstrumentFirmwareRevision(pVal);
}
HRESULT Impl_IIviDriverIdentity_get_Identifier(CKorvane& self, BSTR* pVal) {
  return self.CDriver::get_Identifier(pVal);
}
HRESULT Impl_IIviDriverIdentity_get_SupportedInstrumentModels(CKorvane& self, BSTR* pVal) {
  return self.CDriver::get_SupportedInstrumentModels(pVal);
}
HRESULT Impl_IIviDriverIdentity_get_SpecificationMajorVersion(CKorvane& self, LONG* pVal) {
  return self.CDriver::get_SpecificationMajorVersion(pVal);
}
HRESULT Impl_IIviDriverIdentity_get_SpecificationMinorVersion(CKorvane& self, LONG* pVal) {
  return self.CDriver::get_SpecificationMinorVersion(pVal);
}
HRESULT Impl_IIviDriverIdentity_get_GroupCapabilities(CKorvane& self, BSTR* pVal) {
  return self.CDriver::get_GroupCapabilities(pVal);
}

// ---- IIviDriverOperation ----
HRESULT Impl_IIviDriverOperation_get_LogicalName(CKorvane& self, BSTR* pVal) {
  return self.CDriver::get_LogicalName(pVal);
}
HRESULT Impl_IIviDriverOperation_get_IoResourceDescriptor(CKorvane& self, BSTR* pVal) {
  return self.CDriver::get_IoResourceDescriptor(pVal);
}
HRESULT Impl_IIviDriverOperation_get_Cache(CKorvane& self, VARIANT_BOOL* pVal) {
  return self.CDriver::get_Cache(pVal);
}
HRESULT Impl_IIviDriverOperation_put_Cache(CKorvane& self, VARIANT_BOOL newVal) {
  return self.CDriver::put_Cache(newVal);
}
HRESULT Impl_IIviDriverOperation_get_InterchangeCheck(CKorvane& self, VARIANT_BOOL* pVal) {
  return self.CDriver::get_InterchangeCheck(pVal);
}
HRESULT Impl_IIviDriverOperation_put_InterchangeCheck(CKorvane& self, VARIANT_BOOL newVal) {
  return self.CDriver::put_InterchangeCheck(newVal);
}
HRESULT Impl_IIviDriverOperation_get_QueryInstrumentStatus(CKorvane& self, VARIANT_BOOL* pVal) {
  return self.CDriver::get_QueryInstrumentStatus(pVal);
}
HRESULT Impl_IIviDriverOperation_put_QueryInstrumentStatus(CKorvane& self, VARIANT_BOOL newVal) {
  return self.CDriver::put_QueryInstrumentStatus(newVal);
}
HRESULT Impl_IIviDriverOperation_get_RangeCheck(CKorvane& self, VARIANT_BOOL* pVal) {
  return self.CDriver::get_RangeCheck(pVal);
}
HRESULT Impl_IIviDriverOperation_put_RangeCheck(CKorvane& self, VARIANT_BOOL newVal) {
  return self.CDriver::put_RangeCheck(newVal);
}
HRESULT Impl_IIviDriverOperation_get_RecordCoercions(CKorvane& self, VARIANT_BOOL* pVal) {
  return self.CDriver::get_RecordCoercions(pVal);
}
HRESULT Impl_IIviDriverOperation_put_RecordCoercions(CKorvane& self, VARIANT_BOOL newVal) {
  return self.CDriver::put_RecordCoercions(newVal);
}
HRESULT Impl_IIviDriverOperation_get_Simulate(CKorvane& self, VARIANT_BOOL* pVal) {
  return self.CDriver::get_Simulate(pVal);
}
HRESULT Impl_IIviDriverOperation_put_Simulate(CKorvane& self, VARIANT_BOOL newVal) {
  return self.CDriver::put_Simulate(newVal);
}
HRESULT Impl_IIviDriverOperation_get_DriverSetup(CKorvane& self, BSTR* pVal) {
  return self.CDriver::get_DriverSetup(pVal);
}
HRESULT Impl_IIviDriverOperation_InvalidateAllAttributes(CKorvane& self) {
  return self.CDriver::InvalidateAllAttributes();
}
HRESULT Impl_IIviDriverOperation_ClearInterchangeWarnings(CKorvane& self) {
  return self.CDriver::ClearInterchangeWarnings();
}
HRESULT Impl_IIviDriverOperation_GetNextInterchangeWarning(CKorvane& self, BSTR* InterchangeWarning) {
  return self.CDriver::GetNextInterchangeWarning(InterchangeWarning);
}
HRESULT Impl_IIviDriverOperation_ResetInterchangeCheck(CKorvane& self) {
  return self.CDriver::ResetInterchangeCheck();
}
HRESULT Impl_IIviDriverOperation_GetNextCoercionRecord(CKorvane& self, BSTR* CoercionRecord) {
  return self.CDriver::GetNextCoercionRecord(CoercionRecord);
}

// ---- IIviDriverUtility ----
HRESULT Impl_IIviDriverUtility_Reset(CKorvane& self) { return self.CDriver::Reset(); }
HRESULT Impl_IIviDriverUtility_ResetWithDefaults(CKorvane& self) { return self.CDriver::ResetWithDefaults(); }
HRESULT Impl_IIviDriverUtility_Disable(CKorvane& self) { return self.CDriver::Disable(); }
HRESULT Impl_IIviDriverUtility_SelfTest(CKorvane& self, LONG* TestResult, BSTR* TestMessage) {
  return self.CDriver::SelfTest(TestResult, TestMessage);
}
HRESULT Impl_IIviDriverUtility_ErrorQuery(CKorvane& self, LONG* ErrorCode, BSTR* ErrorMessage) {
  return self.CDriver::ErrorQuery(ErrorCode, ErrorMessage);
}
// A hold keeps the root alive, and with it the lock it holds: a session is never destroyed
// while a thread still owns its lock.
HRESULT Impl_IIviDriverUtility_LockObject(CKorvane& self) {
  const HRESULT hr = self.CDriver::LockObject();
  if (SUCCEEDED(hr)) self.AddRef();
  return hr;
}
HRESULT Impl_IIviDriverUtility_UnlockObject(CKorvane& self) {
  const unsigned before = self.ObjectLockHolds();
  const HRESULT hr = self.CDriver::UnlockObject();
  // The caller holds its own reference for this call, so this is never the last one.
  if (self.ObjectLockHolds() < before) self.Release();
  return hr;
}

}  // namespace korvane
