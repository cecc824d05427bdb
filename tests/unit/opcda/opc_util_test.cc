// Error texts, the variant conversion fallback, task blocks and the OPC time stamp.
#include "server/opcda/opc_util.h"

#include "tests/unit/opcda/test_support.h"

namespace opcda_test {
namespace {

TEST(OpcErrorText, EveryOpcCodeHasItsText) {
  struct Case {
    uint32_t code;
    const char* text;
  };
  const Case cases[] = {
      {0x0004000D, "The server does not support the requested data rate but will use the closest available rate."},
      {0x0004000E, "A value passed to WRITE was accepted but the output was clamped."},
      {0x0004000F, "The operation cannot be completed because the object still has references that exist."},
      {0x00040200, "The condition has already been acknowleged."},
      {0x00040201, "The buffer time parameter was invalid."},
      {0x00040202, "The max size parameter was invalid."},
      {0xC0040001, "The value of the handle is invalid."},
      {0xC0040004, "The server cannot convert the data between the requested data type and the canonical data type."},
      {0xC0040005, "The requested operation cannot be done on a public group."},
      {0xC0040006, "The Items AccessRights do not allow the operation."},
      {0xC0040007, "The item is no longer available in the server address space."},
      {0xC0040008, "The item definition does not conform to the server's syntax."},
      {0xC0040009, "The filter string was not valid."},
      {0xC004000A, "The item's access path is not known to the server."},
      {0xC004000B, "The value was out of range."},
      {0xC004000C, "Duplicate name not allowed."},
      {0xC0040010, "The server's configuration file is an invalid format."},
      {0xC0040011, "The server could not locate the requested object."},
      {0xC0040203, "The server does not recognise the passed property ID."},
      {0xC0040204, "The time does not match the latest active time."},
      {0xC0040205, "A refresh is currently in progress."},
      {0xC0040206, "Information is not available."},
      // Other codes: the system's text without trailing period and line end.
      {0x80070057, "The parameter is incorrect"},
      {0x8007000E, "Not enough memory resources are available to complete this operation"},
      {0x80004005, "Unspecified error"},
      {0xC0040002, ""},  // not an OPC DA 2 code, no system text
  };
  for (const Case& c : cases)
    EXPECT_EQ(OPCErrorCodeToString(static_cast<HRESULT>(c.code)), c.text) << std::hex << c.code;
}

TEST(ConvertVariant, ConvertsOrAnswersTypeMismatchAsI4) {
  VARIANT v, out;
  VariantInit(&v);
  VariantInit(&out);
  v.vt = VT_R8;
  v.dblVal = 2.5;
  ASSERT_EQ(ConvertVariant(v, VT_I4, &out), S_OK);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, 2);  // to nearest even
  v.vt = VT_BSTR;
  v.bstrVal = Utf8ToBstr("not a number");
  ASSERT_EQ(ConvertVariant(v, VT_R8, &out), S_OK);
  EXPECT_EQ(out.vt, VT_I4);
  EXPECT_EQ(out.lVal, DISP_E_TYPEMISMATCH);
  VariantClear(&v);
  VariantClear(&out);
}

TEST(TaskMemAlloc, ZeroFilledAndOverflowRefused) {
  auto* s = static_cast<OPCITEMSTATE*>(taskMemAlloc(3, tmaItemState));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s[2].hClient, 0u);
  EXPECT_EQ(s[2].vDataValue.vt, VT_EMPTY);
  CoTaskMemFree(s);
  EXPECT_EQ(taskMemAlloc(static_cast<size_t>(-1) / 2, tmaVariant), nullptr);
  EXPECT_EQ(taskMemAlloc(1, static_cast<TTaskMemAllocKind>(12)), nullptr);
}

TEST(OpcTime, LocalDateTimeBecomesUtcFileTime) {
  // 1970-01-01 00:00 local time: back in local file time it is the epoch's file time,
  // whatever the machine's zone.
  FILETIME ft = DataTimeToOPCTime(25569.0);
  FILETIME local{};
  FileTimeToLocalFileTime(&ft, &local);
  uint64_t t = (static_cast<uint64_t>(local.dwHighDateTime) << 32) | local.dwLowDateTime;
  EXPECT_EQ(t, 116444736000000000ull);
}

}  // namespace
}  // namespace opcda_test
