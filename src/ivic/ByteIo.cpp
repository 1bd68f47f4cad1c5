// The two byte transfers with 64-bit counts. They differ from the array families: the write
// clamps its count to what a SAFEARRAY can hold, the read copies into the caller's buffer after
// the instrument read has happened, whatever the buffer.
#include "ivic/Families.h"

#include <korvane/KorvaneCom.h>

using namespace korvane;
using namespace korvane::ivic;

namespace {

// The largest element count of a SAFEARRAY.
constexpr ViInt64 kMaxArrayCount = 0x7FFFFFFF;

using System4 = OnRoot<IKorvaneSystem4, IID_IKorvaneSystem4>;

// The bytes to send; a null buffer sends no array at all.
struct WriteBuffer {
  ViInt64 count;
  const ViByte* data;
  OwnedArray array;
  ViStatus prepare(ViSession vi) noexcept {
    if (!data) return VI_SUCCESS;
    const ViInt64 n = count < 0 ? 0 : (count > kMaxArrayCount ? kMaxArrayCount : count);
    if (FAILED(FillSafeArray(data, static_cast<ViInt32>(n), array))) return OutOfMemory(vi);
    return VI_SUCCESS;
  }
  ArrayRef com() noexcept { return ArrayRef{&array.p}; }
  ViStatus commit() noexcept { return VI_SUCCESS; }
};

// The bytes read, cut to the caller's count (taken as 32 bits); a null buffer fails the copy
// only, after the read.
struct ReadBuffer {
  ViInt64 count;
  ViByte* data;
  ViInt64* returnCount;
  OwnedArray array;
  ViStatus prepare(ViSession) noexcept { return VI_SUCCESS; }
  ArrayRef com() noexcept { return ArrayRef{&array.p}; }
  ViStatus commit() noexcept {
    ViInt32 copied = 0;
    const ViStatus status = CopyArrayOut(array.p, static_cast<ViInt32>(count), data, &copied);
    *returnCount = copied;
    return status;
  }
};

// The method's own count; the read stores the number copied instead.
struct Ignored {
  LONG value = 0;
  ViStatus prepare(ViSession) noexcept { return VI_SUCCESS; }
  LONG* com() noexcept { return &value; }
  ViStatus commit() noexcept { return VI_SUCCESS; }
};

}  // namespace

extern "C" {

ViStatus _VI_FUNC Korvane_viWrite(ViSession vi, ViInt64 Count, ViByte Buffer[], ViInt64* ReturnCount) {
  if (!ReturnCount) return NullParameter(vi, "Parameter ReturnCount is VI_NULL.");
  return Invoke<System4, &IKorvaneSystem4::WriteBytes2>(vi, nullptr, WriteBuffer{Count, Buffer, {}},
                                                        OutAs<LONG>(ReturnCount));
}

ViStatus _VI_FUNC Korvane_viRead(ViSession vi, ViInt64 Count, ViByte Buffer[], ViInt64* ReturnCount) {
  if (!ReturnCount) return NullParameter(vi, "Parameter ReturnCount is VI_NULL.");
  return Invoke<System4, &IKorvaneSystem4::ReadBytes2>(vi, nullptr, ReadBuffer{Count, Buffer, ReturnCount, {}},
                                                       Ignored{});
}

}  // extern "C"
