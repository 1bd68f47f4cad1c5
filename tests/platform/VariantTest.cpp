// VariantChangeType to numbers and booleans: natively our layer, under Wine the system's.
#include <gtest/gtest.h>
#include <korvane/ComHelpers.h>

#include <string>

namespace {

VARIANT Of(VARTYPE vt, LONGLONG bits, double real = 0) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  if (vt == VT_R8) v.dblVal = real;
  else v.llVal = bits;
  return v;
}

TEST(VariantChangeType, ValuesFitTheTargetOrOverflowLeavingTheDestinationAlone) {
  struct {
    VARIANT from;
    VARTYPE to;
    HRESULT hr;
    LONGLONG value;  // read back through the target's own member, sign-extended
  } cases[] = {
      {Of(VT_I4, 200), VT_UI1, S_OK, 200},
      {Of(VT_I4, 300), VT_UI1, DISP_E_OVERFLOW, 0},
      {Of(VT_I2, -1), VT_UI4, DISP_E_OVERFLOW, 0},
      {Of(VT_I8, 1LL << 32), VT_UI4, DISP_E_OVERFLOW, 0},
      // Between the signed and unsigned types of one width the bits are copied.
      {Of(VT_I2, -1), VT_UI2, S_OK, 65535},
      {Of(VT_UI4, 0xFFFFFFFFLL), VT_I4, S_OK, -1},
      {Of(VT_R8, 0, 2.5), VT_I4, S_OK, 2},
      {Of(VT_R8, 0, 3.5), VT_I4, S_OK, 4},  // halves to even
      {Of(VT_R8, 0, 1e20), VT_I8, DISP_E_OVERFLOW, 0},
      {Of(VT_R8, 0, -1.0), VT_UI8, DISP_E_OVERFLOW, 0},
      {Of(VT_I4, 5), VT_BOOL, S_OK, VARIANT_TRUE},
      {Of(VT_EMPTY, 0), VT_I4, S_OK, 0},
      {Of(VT_NULL, 0), VT_I4, DISP_E_TYPEMISMATCH, 0},
  };
  for (auto& c : cases) {  // not const: some system headers declare the source non-const
    SCOPED_TRACE("vt " + std::to_string(c.from.vt) + " to vt " + std::to_string(c.to));
    VARIANT out = Of(VT_I4, 9);
    const HRESULT hr = VariantChangeType(&out, &c.from, 0, c.to);
    EXPECT_EQ(hr, c.hr);
    if (hr != c.hr) continue;
    EXPECT_EQ(out.vt, SUCCEEDED(c.hr) ? c.to : static_cast<VARTYPE>(VT_I4));
    LONGLONG got = out.lVal;
    if (c.to == VT_UI1) got = out.bVal;
    if (c.to == VT_UI2) got = out.uiVal;
    if (c.to == VT_UI4) got = out.ulVal;
    if (c.to == VT_BOOL) got = out.boolVal;
    EXPECT_EQ(got, SUCCEEDED(c.hr) ? c.value : 9);
  }
}

TEST(VariantChangeType, TextIsParsedAndConvertedInPlace) {
  VARIANT v = Of(VT_EMPTY, 0);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(OLESTR("4294967296"));
  VARIANT out = Of(VT_EMPTY, 0);
  ASSERT_EQ(VariantChangeType(&out, &v, 0, VT_UI8), S_OK);
  EXPECT_EQ(out.ullVal, 4294967296ULL);
  SysFreeString(v.bstrVal);
  v.bstrVal = SysAllocString(OLESTR("SOCKET"));
  EXPECT_EQ(VariantChangeType(&out, &v, 0, VT_UI2), DISP_E_TYPEMISMATCH);
  SysFreeString(v.bstrVal);
  v.bstrVal = SysAllocString(OLESTR("-12"));
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I2), S_OK);  // the string is freed and replaced
  EXPECT_EQ(v.vt, VT_I2);
  EXPECT_EQ(v.iVal, -12);
}

}  // namespace
