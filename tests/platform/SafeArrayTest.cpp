#include <gtest/gtest.h>
#include <korvane/ComHelpers.h>

using korvane::SafeArrayAccess;
using korvane::SafeArrayPtr;

TEST(SafeArray, VectorShape) {
  struct Case {
    VARTYPE vt;
    UINT size;
  } cases[] = {{VT_R8, 8}, {VT_I2, 2}, {VT_UI1, 1}, {VT_I4, 4}, {VT_BSTR, sizeof(BSTR)}};
  for (const auto& c : cases) {
    SafeArrayPtr sa(SafeArrayCreateVector(c.vt, 1, 5));
    ASSERT_TRUE(sa) << c.vt;
    EXPECT_EQ(SafeArrayGetDim(sa.get()), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(sa.get()), c.size) << c.vt;
    LONG lo = -9, hi = -9;
    EXPECT_EQ(SafeArrayGetLBound(sa.get(), 1, &lo), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(sa.get(), 1, &hi), S_OK);
    EXPECT_EQ(lo, 1);
    EXPECT_EQ(hi, 5);
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(sa.get(), &vt), S_OK);
    EXPECT_EQ(vt, c.vt);
    EXPECT_EQ(SafeArrayGetUBound(sa.get(), 0, &hi), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(sa.get(), 2, &hi), DISP_E_BADINDEX);
  }
}

TEST(SafeArray, EmptyArray) {
  SafeArrayPtr sa(SafeArrayCreateVector(VT_R8, 0, 0));
  ASSERT_TRUE(sa);
  LONG hi = 0;
  EXPECT_EQ(SafeArrayGetUBound(sa.get(), 1, &hi), S_OK);
  EXPECT_EQ(hi, -1);
  SafeArrayAccess<double> access(sa.get());
  EXPECT_TRUE(access.ok());
  EXPECT_EQ(access.size(), 0u);
}

TEST(SafeArray, AccessPairingAndLockedDestroy) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_I2, 0, 3);
  ASSERT_NE(sa, nullptr);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(sa, &data), S_OK);
  static_cast<short*>(data)[2] = -7;
  EXPECT_EQ(sa->cLocks, 1u);
  EXPECT_EQ(SafeArrayDestroy(sa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(sa), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(sa), E_UNEXPECTED);  // more unaccesses than accesses
  EXPECT_EQ(static_cast<short*>(sa->pvData)[2], -7);
  EXPECT_EQ(SafeArrayDestroy(sa), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(SafeArray, CopyIsDeepForStrings) {
  SafeArrayPtr sa(SafeArrayCreateVector(VT_BSTR, 0, 2));
  ASSERT_TRUE(sa);
  {
    SafeArrayAccess<BSTR> a(sa.get());
    ASSERT_TRUE(a.ok());
    a.data()[0] = SysAllocString(OLESTR("CHAN1"));
  }
  SafeArrayPtr copy;
  ASSERT_EQ(SafeArrayCopy(sa.get(), copy.Receive()), S_OK);
  SafeArrayAccess<BSTR> a(sa.get()), b(copy.get());
  ASSERT_TRUE(b.ok());
  EXPECT_NE(a.data()[0], b.data()[0]);
  EXPECT_EQ(korvane::ToNarrow(b.data()[0]), "CHAN1");
  EXPECT_EQ(b.data()[1], nullptr);
}

TEST(SafeArray, TwoDimensionalBoundsKeepCallerOrder) {
  SAFEARRAYBOUND bounds[2] = {{3, 0}, {4, 10}};
  SafeArrayPtr sa(SafeArrayCreate(VT_I4, 2, bounds));
  ASSERT_TRUE(sa);
  LONG lo1, hi2;
  EXPECT_EQ(SafeArrayGetLBound(sa.get(), 1, &lo1), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(sa.get(), 2, &hi2), S_OK);
  EXPECT_EQ(lo1, 0);
  EXPECT_EQ(hi2, 13);
}

TEST(Variant, ClearReleasesOwnedValues) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(OLESTR("x"));
  VARIANT w;
  VariantInit(&w);
  ASSERT_EQ(VariantCopy(&w, &v), S_OK);
  EXPECT_NE(w.bstrVal, v.bstrVal);
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(korvane::ToNarrow(w.bstrVal), "x");
  EXPECT_EQ(VariantClear(&w), S_OK);
}
