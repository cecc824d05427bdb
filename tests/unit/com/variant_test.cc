// VARIANT life cycle and VariantChangeType against the published conversion rules.
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "com/com.h"
#include "com/ole_text.h"
#include "com/runtime_control.h"

namespace {

VARIANT Var(VARTYPE vt) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  return v;
}
VARIANT I1(int x) { VARIANT v = Var(VT_I1); v.cVal = static_cast<CHAR>(x); return v; }
VARIANT I2(int x) { VARIANT v = Var(VT_I2); v.iVal = static_cast<SHORT>(x); return v; }
VARIANT I4(int64_t x) { VARIANT v = Var(VT_I4); v.lVal = static_cast<LONG>(x); return v; }
VARIANT UI4(uint32_t x) { VARIANT v = Var(VT_UI4); v.ulVal = x; return v; }
VARIANT I8(int64_t x) { VARIANT v = Var(VT_I8); v.llVal = x; return v; }
VARIANT UI8(uint64_t x) { VARIANT v = Var(VT_UI8); v.ullVal = x; return v; }
VARIANT R4(float x) { VARIANT v = Var(VT_R4); v.fltVal = x; return v; }
VARIANT R8(double x) { VARIANT v = Var(VT_R8); v.dblVal = x; return v; }
VARIANT Date(double x) { VARIANT v = Var(VT_DATE); v.date = x; return v; }
VARIANT Cy(int64_t units) { VARIANT v = Var(VT_CY); v.cyVal.int64 = units; return v; }
VARIANT Bool(bool b) { VARIANT v = Var(VT_BOOL); v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE; return v; }
// Owns its BSTR: the cases below are built once and converted many times.
VARIANT Str(std::u16string_view s) {
  VARIANT v = Var(VT_BSTR);
  v.bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
  return v;
}

// The value of a result as text, so one column of the table holds every type.
std::string Show(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY: return "empty";
    case VT_I1: return std::to_string(v.cVal);
    case VT_UI1: return std::to_string(v.bVal);
    case VT_I2: return std::to_string(v.iVal);
    case VT_UI2: return std::to_string(v.uiVal);
    case VT_I4: return std::to_string(v.lVal);
    case VT_UI4: return std::to_string(v.ulVal);
    case VT_I8: return std::to_string(v.llVal);
    case VT_UI8: return std::to_string(v.ullVal);
    case VT_BOOL: return std::to_string(v.boolVal);
    case VT_CY: return "cy" + std::to_string(v.cyVal.int64);
    case VT_R4: { char b[32]; std::snprintf(b, sizeof b, "%.9g", v.fltVal); return b; }
    case VT_R8: { char b[32]; std::snprintf(b, sizeof b, "%.17g", v.dblVal); return b; }
    case VT_DATE: { char b[32]; std::snprintf(b, sizeof b, "date%.17g", v.date); return b; }
    case VT_BSTR: return "'" + BstrToUtf8(v.bstrVal) + "'";
    default: return "vt" + std::to_string(v.vt);
  }
}

struct Case {
  const char* what;
  VARIANT src;
  VARTYPE to;
  HRESULT hr;
  std::string value;  // Show() of the result when hr is S_OK
  USHORT flags = 0;
};

constexpr double kY2000 = 36526;  // 2000-01-01 as a DATE

TEST(VariantChangeType, FollowsThePublishedConversionRules) {
  const Case cases[] = {
      // Reals to integers round to nearest, ties to even.
      {"2.5 to I4", R8(2.5), VT_I4, S_OK, "2"},
      {"3.5 to I4", R8(3.5), VT_I4, S_OK, "4"},
      {"-2.5 to I4", R8(-2.5), VT_I4, S_OK, "-2"},
      {"-3.5 to I4", R8(-3.5), VT_I4, S_OK, "-4"},
      {"2.4999 to I4", R8(2.4999), VT_I4, S_OK, "2"},
      {"-0.5 to I4", R8(-0.5), VT_I4, S_OK, "0"},
      {"R4 1.5 to I2", R4(1.5f), VT_I2, S_OK, "2"},
      // Range ends, judged after rounding.
      {"I4 max + 0.4", R8(2147483647.4), VT_I4, S_OK, "2147483647"},
      {"I4 max + 0.5", R8(2147483647.5), VT_I4, DISP_E_OVERFLOW, ""},
      {"I4 min - 0.5", R8(-2147483648.5), VT_I4, S_OK, "-2147483648"},
      {"I4 min - 0.6", R8(-2147483648.6), VT_I4, DISP_E_OVERFLOW, ""},
      {"254.5 to UI1", R8(254.5), VT_UI1, S_OK, "254"},
      {"255.5 to UI1", R8(255.5), VT_UI1, DISP_E_OVERFLOW, ""},
      {"-0.4 to UI1", R8(-0.4), VT_UI1, S_OK, "0"},
      {"-0.6 to UI1", R8(-0.6), VT_UI1, DISP_E_OVERFLOW, ""},
      {"NaN to I4", R8(std::nan("")), VT_I4, DISP_E_OVERFLOW, ""},
      {"2^63 to I8", R8(9223372036854775808.0), VT_I8, DISP_E_OVERFLOW, ""},
      {"2^64 to UI8", R8(18446744073709551616.0), VT_UI8, DISP_E_OVERFLOW, ""},
      // Integers between integer types.
      {"I4 128 to I1", I4(128), VT_I1, DISP_E_OVERFLOW, ""},
      {"I4 -128 to I1", I4(-128), VT_I1, S_OK, "-128"},
      {"I4 -129 to I1", I4(-129), VT_I1, DISP_E_OVERFLOW, ""},
      {"I2 200 to I1", I2(200), VT_I1, DISP_E_OVERFLOW, ""},
      {"I1 -1 to UI2", I1(-1), VT_UI2, DISP_E_OVERFLOW, ""},
      {"I4 -1 to UI4", I4(-1), VT_UI4, DISP_E_OVERFLOW, ""},
      {"UI4 max to I4", UI4(0xFFFFFFFF), VT_I4, DISP_E_OVERFLOW, ""},
      {"UI4 max to I8", UI4(0xFFFFFFFF), VT_I8, S_OK, "4294967295"},
      {"I8 max to UI8", I8(INT64_MAX), VT_UI8, S_OK, "9223372036854775807"},
      {"UI8 max to I8", UI8(UINT64_MAX), VT_I8, DISP_E_OVERFLOW, ""},
      {"I8 min to I4", I8(INT64_MIN), VT_I4, DISP_E_OVERFLOW, ""},
      {"UI8 max to R8", UI8(UINT64_MAX), VT_R8, S_OK, "1.8446744073709552e+19"},
      // Booleans are -1 and 0; an unsigned target takes all bits set.
      {"true to I2", Bool(true), VT_I2, S_OK, "-1"},
      {"true to I4", Bool(true), VT_I4, S_OK, "-1"},
      {"true to R8", Bool(true), VT_R8, S_OK, "-1"},
      {"true to UI1", Bool(true), VT_UI1, S_OK, "255"},
      {"true to UI4", Bool(true), VT_UI4, S_OK, "4294967295"},
      {"false to I4", Bool(false), VT_I4, S_OK, "0"},
      {"true to BSTR", Bool(true), VT_BSTR, S_OK, "'-1'"},
      {"false to BSTR", Bool(false), VT_BSTR, S_OK, "'0'"},
      {"true to BSTR, alpha", Bool(true), VT_BSTR, S_OK, "'True'", VARIANT_ALPHABOOL},
      {"false to BSTR, alpha", Bool(false), VT_BSTR, S_OK, "'False'", VARIANT_ALPHABOOL},
      {"5 to BOOL", I4(5), VT_BOOL, S_OK, "-1"},
      {"0 to BOOL", I4(0), VT_BOOL, S_OK, "0"},
      {"0.1 to BOOL", R8(0.1), VT_BOOL, S_OK, "-1"},
      // Text: '.' decimals, blanks around, exponent; anything else is a mismatch.
      {"'12.5' to R8", Str(u"12.5"), VT_R8, S_OK, "12.5"},
      {"' 42 ' to I4", Str(u" 42 "), VT_I4, S_OK, "42"},
      {"'+7' to I2", Str(u"+7"), VT_I2, S_OK, "7"},
      {"'1e3' to I4", Str(u"1e3"), VT_I4, S_OK, "1000"},
      {"'2.5' to I4", Str(u"2.5"), VT_I4, S_OK, "2"},
      {"'.5' to R8", Str(u".5"), VT_R8, S_OK, "0.5"},
      {"'1e-400' to R8", Str(u"1e-400"), VT_R8, S_OK, "0"},
      {"'1e400' to R8", Str(u"1e400"), VT_R8, DISP_E_OVERFLOW, ""},
      {"'99999999999' to I4", Str(u"99999999999"), VT_I4, DISP_E_OVERFLOW, ""},
      {"'300' to UI1", Str(u"300"), VT_UI1, DISP_E_OVERFLOW, ""},
      {"'-1' to UI4", Str(u"-1"), VT_UI4, DISP_E_OVERFLOW, ""},
      {"UI8 max text", Str(u"18446744073709551615"), VT_UI8, S_OK, "18446744073709551615"},
      {"I8 min text", Str(u"-9223372036854775808"), VT_I8, S_OK, "-9223372036854775808"},
      {"beyond 64 bits", Str(u"18446744073709551616"), VT_UI8, DISP_E_OVERFLOW, ""},
      {"'1,5' to R8", Str(u"1,5"), VT_R8, DISP_E_TYPEMISMATCH, ""},
      {"'abc' to I4", Str(u"abc"), VT_I4, DISP_E_TYPEMISMATCH, ""},
      {"'' to I4", Str(u""), VT_I4, DISP_E_TYPEMISMATCH, ""},
      {"'   ' to I4", Str(u"   "), VT_I4, DISP_E_TYPEMISMATCH, ""},
      {"'-' to I4", Str(u"-"), VT_I4, DISP_E_TYPEMISMATCH, ""},
      {"'1e' to R8", Str(u"1e"), VT_R8, DISP_E_TYPEMISMATCH, ""},
      {"'1.2.3' to R8", Str(u"1.2.3"), VT_R8, DISP_E_TYPEMISMATCH, ""},
      {"'12abc' to I4", Str(u"12abc"), VT_I4, DISP_E_TYPEMISMATCH, ""},
      {"embedded zero", Str(std::u16string_view(u"1\0" "2", 3)), VT_I4, DISP_E_TYPEMISMATCH, ""},
      {"full-width digit", Str(u"\uFF11"), VT_I4, DISP_E_TYPEMISMATCH, ""},
      {"'inf' to R8", Str(u"inf"), VT_R8, DISP_E_TYPEMISMATCH, ""},
      {"'true' to BOOL", Str(u"true"), VT_BOOL, S_OK, "-1"},
      {"'FALSE' to BOOL", Str(u"FALSE"), VT_BOOL, S_OK, "0"},
      {"'2' to BOOL", Str(u"2"), VT_BOOL, S_OK, "-1"},
      {"'yes' to BOOL", Str(u"yes"), VT_BOOL, DISP_E_TYPEMISMATCH, ""},
      // Numbers to text: 15 significant digits for R8, 7 for R4, '.' always.
      {"0.1 to BSTR", R8(0.1), VT_BSTR, S_OK, "'0.1'"},
      {"1/3 to BSTR", R8(1.0 / 3), VT_BSTR, S_OK, "'0.333333333333333'"},
      {"1e20 to BSTR", R8(1e20), VT_BSTR, S_OK, "'1E+20'"},
      {"-1.5 to BSTR", R8(-1.5), VT_BSTR, S_OK, "'-1.5'"},
      {"R4 0.1 to BSTR", R4(0.1f), VT_BSTR, S_OK, "'0.1'"},
      {"I8 min to BSTR", I8(INT64_MIN), VT_BSTR, S_OK, "'-9223372036854775808'"},
      {"UI8 max to BSTR", UI8(UINT64_MAX), VT_BSTR, S_OK, "'18446744073709551615'"},
      // R4 range.
      {"1e39 to R4", R8(1e39), VT_R4, DISP_E_OVERFLOW, ""},
      {"-1e39 to R4", R8(-1e39), VT_R4, DISP_E_OVERFLOW, ""},
      {"0.1 to R4", R8(0.1), VT_R4, S_OK, "0.100000001"},
      // Currency: 1/10 000 units, ties to even when made whole.
      {"I4 5 to CY", I4(5), VT_CY, S_OK, "cy50000"},
      {"CY 1.2345 to R8", Cy(12345), VT_R8, S_OK, "1.2344999999999999"},
      {"CY 2.5 to I4", Cy(25000), VT_I4, S_OK, "2"},
      {"CY 3.5 to I4", Cy(35000), VT_I4, S_OK, "4"},
      {"CY -2.5 to I4", Cy(-25000), VT_I4, S_OK, "-2"},
      {"CY 2.5001 to I4", Cy(25001), VT_I4, S_OK, "3"},
      {"CY 1.5 to BSTR", Cy(15000), VT_BSTR, S_OK, "'1.5'"},
      {"CY -0.0001 to BSTR", Cy(-1), VT_BSTR, S_OK, "'-0.0001'"},
      {"R8 1.23456 to CY", R8(1.23456), VT_CY, S_OK, "cy12346"},
      {"R8 1e16 to CY", R8(1e16), VT_CY, DISP_E_OVERFLOW, ""},
      {"I8 max to CY", I8(INT64_MAX), VT_CY, DISP_E_OVERFLOW, ""},
      {"'1.5' to CY", Str(u"1.5"), VT_CY, S_OK, "cy15000"},
      // Dates: days since 1899-12-30, ISO text, years 100 to 9999.
      {"DATE to BSTR", Date(kY2000 + 0.5), VT_BSTR, S_OK, "'2000-01-01 12:00:00'"},
      {"midnight to BSTR", Date(kY2000), VT_BSTR, S_OK, "'2000-01-01'"},
      {"time only to BSTR", Date(0.25), VT_BSTR, S_OK, "'06:00:00'"},
      {"before 1899-12-30", Date(-1.25), VT_BSTR, S_OK, "'1899-12-29 06:00:00'"},
      {"seconds round", Date(kY2000 + 0.99999999), VT_BSTR, S_OK, "'2000-01-02'"},
      {"text to DATE", Str(u"2000-01-01 12:00:00"), VT_DATE, S_OK, "date36526.5"},
      {"ISO T", Str(u"2000-01-01T06:00"), VT_DATE, S_OK, "date36526.25"},
      {"time text to DATE", Str(u"18:00"), VT_DATE, S_OK, "date0.75"},
      {"early text to DATE", Str(u"1899-12-29 06:00:00"), VT_DATE, S_OK, "date-1.25"},
      {"Feb 30", Str(u"2000-02-30"), VT_DATE, DISP_E_TYPEMISMATCH, ""},
      {"hour 24", Str(u"2000-01-01 24:00"), VT_DATE, DISP_E_TYPEMISMATCH, ""},
      {"year 99", Str(u"0099-01-01"), VT_DATE, DISP_E_TYPEMISMATCH, ""},
      {"R8 3e6 to DATE", R8(3e6), VT_DATE, DISP_E_OVERFLOW, ""},
      {"R8 to DATE", R8(kY2000 + 0.5), VT_DATE, S_OK, "date36526.5"},
      {"DATE .5 to I4", Date(kY2000 + 0.5), VT_I4, S_OK, "36526"},
      {"DATE 1.5 to I4", Date(kY2000 + 1.5), VT_I4, S_OK, "36528"},
      // Empty and null.
      {"EMPTY to I4", Var(VT_EMPTY), VT_I4, S_OK, "0"},
      {"EMPTY to BSTR", Var(VT_EMPTY), VT_BSTR, S_OK, "''"},
      {"NULL to I4", Var(VT_NULL), VT_I4, DISP_E_TYPEMISMATCH, ""},
      {"NULL to BSTR", Var(VT_NULL), VT_BSTR, DISP_E_TYPEMISMATCH, ""},
      {"I4 to NULL", I4(1), VT_NULL, DISP_E_TYPEMISMATCH, ""},
      {"I4 to EMPTY", I4(1), VT_EMPTY, S_OK, "empty"},
      {"ERROR to I4", Var(VT_ERROR), VT_I4, DISP_E_TYPEMISMATCH, ""},
      {"to a type that is none", I4(1), 15, DISP_E_BADVARTYPE, ""},
      {"to an array", I4(1), VT_ARRAY | VT_I4, DISP_E_BADVARTYPE, ""},
  };
  for (const Case& c : cases) {
    VARIANT out;
    VariantInit(&out);
    HRESULT hr = VariantChangeType(&out, &c.src, c.flags, c.to);
    EXPECT_EQ(hr, c.hr) << c.what;
    if (hr == S_OK && c.hr == S_OK) {
      EXPECT_EQ(out.vt, c.to) << c.what;
      EXPECT_EQ(Show(out), c.value) << c.what;
    } else {
      EXPECT_EQ(out.vt, VT_EMPTY) << c.what << ": a failed conversion leaves the target";
    }
    VariantClear(&out);
  }
  for (const Case& c : cases) VariantClear(const_cast<VARIANT*>(&c.src));
  EXPECT_EQ(zelcom::LiveBstrs(), 0);
}

TEST(VariantChangeType, InPlaceConversionFreesTheOldValueOnlyOnSuccess) {
  int64_t before = zelcom::LiveBstrs();
  VARIANT v = Str(u"17");
  ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 17);
  EXPECT_EQ(zelcom::LiveBstrs(), before);

  VARIANT bad = Str(u"x");
  EXPECT_EQ(VariantChangeType(&bad, &bad, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad.vt, VT_BSTR);
  EXPECT_EQ(BstrToUtf8(bad.bstrVal), "x");
  VariantClear(&bad);
  EXPECT_EQ(zelcom::LiveBstrs(), before);
}

TEST(VariantChangeType, ReadsThroughAReference) {
  double d = 2.5;
  VARIANT ref = Var(VT_R8 | VT_BYREF);
  ref.pdblVal = &d;
  VARIANT out;
  VariantInit(&out);
  ASSERT_EQ(VariantChangeType(&out, &ref, 0, VT_I2), S_OK);
  EXPECT_EQ(out.iVal, 2);
  ref.pdblVal = nullptr;
  EXPECT_EQ(VariantChangeType(&out, &ref, 0, VT_I2), DISP_E_BADVARTYPE);
}

// Any BSTR is a valid input: random texts from digits, signs, points, exponents, blanks
// and a few odd code units (surrogates, zero, non-ASCII) end in a defined result.
TEST(VariantChangeType, AnyTextEndsInADefinedResult) {
  const char16_t alphabet[] = u"0123456789+-.eE :T\t\0\xD800\xDC00\x00E9,9";
  std::mt19937 rng(7);
  const VARTYPE targets[] = {VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_I8,
                             VT_UI8, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BOOL, VT_BSTR};
  for (int i = 0; i < 20000; ++i) {
    std::u16string s(rng() % 24, u' ');
    for (char16_t& ch : s) ch = alphabet[rng() % (std::size(alphabet) - 1)];
    VARIANT src = Str(s);
    for (VARTYPE t : targets) {
      VARIANT out;
      VariantInit(&out);
      HRESULT hr = VariantChangeType(&out, &src, 0, t);
      ASSERT_TRUE(hr == S_OK || hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW)
          << std::hex << hr;
      VariantClear(&out);
    }
    VariantClear(&src);
  }
}

TEST(Variant, CopyDuplicatesTextAndCountsInterfaceReferences) {
  VARIANT a = Str(u"text");
  VARIANT b = I4(5);
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_NE(b.bstrVal, a.bstrVal);
  EXPECT_EQ(BstrToUtf8(b.bstrVal), "text");
  VariantClear(&a);
  EXPECT_EQ(BstrToUtf8(b.bstrVal), "text");
  VariantClear(&b);
  EXPECT_EQ(b.vt, VT_EMPTY);

  // Out of memory: the copy fails as a whole and the target keeps its value.
  VARIANT src = Str(u"text");
  VARIANT dst = I4(5);
  zelcom::FailTaskAllocAt(1);
  EXPECT_EQ(VariantCopy(&dst, &src), E_OUTOFMEMORY);
  EXPECT_EQ(dst.vt, VT_I4);
  zelcom::FailTaskAllocAt(1);
  EXPECT_EQ(VariantChangeType(&dst, &dst, 0, VT_BSTR), E_OUTOFMEMORY);
  EXPECT_EQ(dst.lVal, 5);
  VariantClear(&src);

  VARIANT arr = Var(VT_ARRAY | VT_I4);
  EXPECT_EQ(VariantClear(&arr), DISP_E_BADVARTYPE);
}

}  // namespace
