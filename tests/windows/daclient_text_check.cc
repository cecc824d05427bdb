// Checks ZelDaClient's texts on the real OLE automation of Windows (run under Wine by
// scripts/test-windows.sh): values as an operator reads them, quality words, UTC time
// stamps, and the values parsed from the command line, where a wrong reading would write
// a wrong value. Prints one line per failed check; the exit code is the number of failures.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

#include "tools/daclient/da_text.h"

using namespace daclient;

namespace {
int g_failures = 0;
void Check(bool ok, const std::string& what) {
  if (ok) return;
  ++g_failures;
  std::printf("FAILED: %s\n", what.c_str());
}

VARIANT Of(VARTYPE vt) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  return v;
}

SAFEARRAY* R8Array(std::initializer_list<double> values) {
  SAFEARRAY* a = SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(values.size()));
  LONG i = 0;
  for (double d : values) SafeArrayPutElement(a, &i, &d), ++i;
  return a;
}

void Values() {
  struct TCase {
    VARIANT v;
    const char* want;
  };
  VARIANT r8 = Of(VT_R8), r4 = Of(VT_R4), tenth = Of(VT_R8), i4 = Of(VT_I4), ui8 = Of(VT_UI8), on = Of(VT_BOOL),
          off = Of(VT_BOOL), text = Of(VT_BSTR), err = Of(VT_ERROR), arr = Of(VT_ARRAY | VT_R8),
          texts = Of(VT_ARRAY | VT_BSTR);
  r8.dblVal = 1.5;
  r4.fltVal = 0.1f;  // the float's own shortest text, not 0.100000001490116
  tenth.dblVal = 0.1;
  i4.lVal = -7;
  ui8.ullVal = 18446744073709551615ULL;
  on.boolVal = VARIANT_TRUE;
  off.boolVal = VARIANT_FALSE;
  text.bstrVal = SysAllocString(L"Wert \u00e4\u4e2d");
  err.scode = E_FAIL;
  arr.parray = R8Array({1, 2.5});
  texts.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
  for (LONG i = 0; i < 2; ++i) {
    BSTR b = SysAllocString(i ? L"b" : L"a");
    SafeArrayPutElement(texts.parray, &i, b);
    SysFreeString(b);
  }
  TCase cases[] = {{r8, "1.5"},   {r4, "0.1"},   {tenth, "0.1"}, {i4, "-7"}, {ui8, "18446744073709551615"},
                   {on, "true"},  {off, "false"}, {text, "Wert \xC3\xA4\xE4\xB8\xAD"}, {Of(VT_EMPTY), "(empty)"},
                   {err, "error 0x80004005"}, {arr, "[1, 2.5]"}, {texts, "[a, b]"}};
  for (TCase& c : cases) {
    const std::string got = ValueText(c.v);
    Check(got == c.want, "value " + std::string(c.want) + " printed as " + got);
    VariantClear(&c.v);
  }
}

void Qualities() {
  struct TCase {
    WORD q;
    const char* want;
  } cases[] = {{0xC0, "good"},
               {0x00, "bad (0x00)"},
               {0x08, "bad, not connected (0x08)"},
               {0x1A, "bad, comm failure, high limited (0x1A)"},
               {0x44, "uncertain, last usable value (0x44)"},
               {0xD8, "good, local override (0xD8)"},
               {0xC3, "good, constant (0xC3)"},
               {0x01C0, "good (0x01C0)"}};
  for (const TCase& c : cases) Check(QualityText(c.q) == c.want, "quality " + std::string(c.want));
}

void Times() {
  FILETIME zero{};
  Check(TimeText(zero) == "-", "a zero time stamp is -");
  SYSTEMTIME st{};
  st.wYear = 2026, st.wMonth = 12, st.wDay = 11, st.wHour = 8, st.wMinute = 30, st.wSecond = 1, st.wMilliseconds = 123;
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  Check(TimeText(ft) == "2026-12-11T08:30:01.123Z", "time stamp in UTC: " + TimeText(ft));
}

void Parsing() {
  struct TCase {
    const char* text;
    VARTYPE type;
    bool ok;
    const char* printed;  // ValueText of the result
  } cases[] = {
      {"1.5", VT_R8, true, "1.5"},     {"-1e3", VT_R8, true, "-1000"},  {"42", VT_I2, true, "42"},
      {"true", VT_BOOL, true, "true"}, {"Off", VT_BOOL, true, "false"}, {"-1", VT_BOOL, true, "true"},
      {"x y", VT_BSTR, true, "x y"},   {"x y", VT_EMPTY, true, "x y"},
      // Refused rather than written as something else.
      {"1,5", VT_R8, false, ""},       // not 15
      {"12.7", VT_I4, false, ""},      // not 13
      {"300", VT_UI1, false, ""},      // out of range
      {"2", VT_BOOL, false, ""},       {"abc", VT_R4, false, ""},        {"", VT_I4, false, ""},
      {"1.5.5", VT_R8, false, ""},
  };
  for (const TCase& c : cases) {
    VARIANT v;
    const HRESULT hr = ParseValue(c.text, c.type, &v);
    const std::string what = std::string("\"") + c.text + "\" as type " + std::to_string(c.type);
    Check(SUCCEEDED(hr) == c.ok, what + (c.ok ? " refused" : " accepted"));
    if (SUCCEEDED(hr) && c.ok) {
      Check(v.vt == (c.type == VT_EMPTY ? VARTYPE{VT_BSTR} : c.type), what + ": wrong type");
      Check(ValueText(v) == c.printed, what + " parsed as " + ValueText(v));
    }
    VariantClear(&v);
  }
}
}  // namespace

int main() {
  Values();
  Qualities();
  Times();
  Parsing();
  std::printf("daclient_text_check: %d failure(s)\n", g_failures);
  return g_failures;
}
