// VariantChangeType to the numeric and boolean types: natively our layer, under Wine the system's.
#include <gtest/gtest.h>
#include <korvane/ComHelpers.h>

#include <cstdint>
#include <string>

namespace {

VARIANT Integer(VARTYPE vt, LONGLONG bits) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  v.llVal = bits;
  return v;
}

VARIANT Real(double d) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_R8;
  v.dblVal = d;
  return v;
}

TEST(VariantChangeType, IntegersFitTheirTargetOrOverflow) {
  struct Case {
    VARIANT from;
    VARTYPE to;
    HRESULT hr;
    LONGLONG value;  // the target's bits, sign-extended for signed targets
  } cases[] = {
      {Integer(VT_I4, 200), VT_UI1, S_OK, 200},
      {Integer(VT_I4, 300), VT_UI1, DISP_E_OVERFLOW, 0},
      {Integer(VT_I2, -1), VT_UI2, DISP_E_OVERFLOW, 0},
      {Integer(VT_I8, 4294967295LL), VT_UI4, S_OK, 4294967295LL},
      {Integer(VT_I8, 4294967296LL), VT_UI4, DISP_E_OVERFLOW, 0},
      {Integer(VT_UI4, 0xFFFFFFFFLL), VT_I4, DISP_E_OVERFLOW, 0},
      {Integer(VT_UI1, 255), VT_I1, DISP_E_OVERFLOW, 0},
      {Integer(VT_I4, -5), VT_I8, S_OK, -5},
      {Real(2.5), VT_I4, S_OK, 2},  // halves round to even
      {Real(3.5), VT_I4, S_OK, 4},
      {Real(-0.4), VT_I2, S_OK, 0},
      {Real(1e20), VT_I8, DISP_E_OVERFLOW, 0},
      {Real(-1.0), VT_UI8, DISP_E_OVERFLOW, 0},
      {Integer(VT_EMPTY, 0), VT_I4, S_OK, 0},
      {Integer(VT_NULL, 0), VT_I4, DISP_E_TYPEMISMATCH, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("from vt " + std::to_string(c.from.vt) + " to vt " + std::to_string(c.to));
    VARIANT out = Integer(VT_I4, 9);
    EXPECT_EQ(VariantChangeType(&out, &c.from, 0, c.to), c.hr);
    if (FAILED(c.hr)) {
      EXPECT_EQ(out.vt, VT_I4);  // a failed conversion leaves the destination alone
      EXPECT_EQ(out.lVal, 9);
      continue;
    }
    ASSERT_EQ(out.vt, c.to);
    switch (c.to) {
      case VT_UI1: EXPECT_EQ(out.bVal, c.value); break;
      case VT_UI4: EXPECT_EQ(out.ulVal, static_cast<ULONG>(c.value)); break;
      case VT_I2: EXPECT_EQ(out.iVal, c.value); break;
      case VT_I4: EXPECT_EQ(out.lVal, c.value); break;
      case VT_I8: EXPECT_EQ(out.llVal, c.value); break;
      default: ADD_FAILURE() << "no check for this target";
    }
  }
}

TEST(VariantChangeType, BooleansTextAndInPlace) {
  VARIANT out;
  VariantInit(&out);
  VARIANT five = Integer(VT_I4, 5), zero = Integer(VT_I4, 0);
  ASSERT_EQ(VariantChangeType(&out, &five, 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_TRUE);
  ASSERT_EQ(VariantChangeType(&out, &zero, 0, VT_BOOL), S_OK);
  EXPECT_EQ(out.boolVal, VARIANT_FALSE);

  VARIANT text;
  VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(OLESTR("4294967296"));
  ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_UI8), S_OK);
  EXPECT_EQ(out.ullVal, 4294967296ULL);
  EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_UI4), DISP_E_OVERFLOW);
  VariantClear(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(OLESTR("SOCKET"));
  EXPECT_EQ(VariantChangeType(&out, &text, 0, VT_UI2), DISP_E_TYPEMISMATCH);
  // In place: the string is freed and replaced by the number.
  VariantClear(&text);
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString(OLESTR("-12"));
  ASSERT_EQ(VariantChangeType(&text, &text, 0, VT_I2), S_OK);
  EXPECT_EQ(text.vt, VT_I2);
  EXPECT_EQ(text.iVal, -12);
}

}  // namespace
