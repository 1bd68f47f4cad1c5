// Segmented memory. These members exist only on instruments with the segmented-memory option:
// the session's switch for them is that option flag, read from "*OPT?" when the session
// connects (every flag is set while simulating, where the call frame answers from the state
// cache before these run). Without it they send nothing and report the member unsupported.
#include "com/Objects.h"

namespace korvane {
namespace {

bool SegmentsAvailable(CKorvane& self) { return self.ModelCapabilities().segmentedMemory; }

// The shared getter: the generic query of the pending command, or "not supported".
template <typename T>
HRESULT GuardedGet(CKorvane& self, T* val) {
  if (!SegmentsAvailable(self)) return self.Reporter().PropertyNotSupported("", nullptr);
  return self.GenericQuery(self.PendingCommand(), self.PendingResponse(), val);
}

// The shared setter: the generic write of the pending command, or "not supported".
HRESULT GuardedPut(CKorvane& self) {
  if (!SegmentsAvailable(self)) return self.Reporter().PropertyNotSupported("", nullptr);
  return self.GenericWrite(self.PendingCommand());
}

}  // namespace

HRESULT Impl_IKorvaneAcquisitionSegmentedMemory_get_Count(CKorvane& self, LONG* val) { return GuardedGet(self, val); }
HRESULT Impl_IKorvaneAcquisitionSegmentedMemory_put_Count(CKorvane& self, LONG) { return GuardedPut(self); }
HRESULT Impl_IKorvaneAcquisitionSegmentedMemory_get_Index(CKorvane& self, LONG* val) { return GuardedGet(self, val); }
HRESULT Impl_IKorvaneAcquisitionSegmentedMemory_put_Index(CKorvane& self, LONG) { return GuardedPut(self); }
HRESULT Impl_IKorvaneAcquisitionSegmentedMemory_get_SaveOption(CKorvane& self, KorvaneMemorySegmentOptionEnum* val) {
  return GuardedGet(self, val);
}
HRESULT Impl_IKorvaneAcquisitionSegmentedMemory_put_SaveOption(CKorvane& self, KorvaneMemorySegmentOptionEnum) {
  return GuardedPut(self);
}

}  // namespace korvane
