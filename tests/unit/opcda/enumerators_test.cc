// The three enumerators: position, count and S_FALSE rules of Next/Skip, Clone, and the
// all-or-nothing answer when the task allocator fails.
#include "server/opcda/enumerators.h"

#include <vector>

#include "server/opcda/opc_util.h"
#include "tests/unit/opcda/test_support.h"

namespace opcda_test {
namespace {

using zelcom::ComPtr;

class EnumTest : public LeakCheck {};

// Next of the string enumerator through the interface, freeing what it returns.
struct NextResult {
  HRESULT hr;
  ULONG fetched;
  std::vector<std::string> texts;
};
NextResult NextStrings(IEnumString* e, ULONG celt) {
  std::vector<LPOLESTR> buf(celt + 1, nullptr);
  NextResult r{0, 12345, {}};
  r.hr = e->Next(celt, buf.data(), &r.fetched);
  for (ULONG i = 0; i < r.fetched && i < celt; ++i) {
    r.texts.push_back(OleToUtf8(buf[i]));
    CoTaskMemFree(buf[i]);
  }
  return r;
}

TEST_F(EnumTest, StringsNextCountsAndSFalse) {
  auto e = ComPtr<IEnumString>::Adopt(new TOPCStringsEnumerator({"a", "b", "c"}));
  struct Step {
    ULONG celt;
    HRESULT hr;
    ULONG fetched;
    std::vector<std::string> texts;
  };
  const Step steps[] = {
      {1, S_OK, 1, {"a"}},
      {3, S_FALSE, 2, {"b", "c"}},  // fewer remained than asked
      {1, S_FALSE, 0, {}},          // at the end
      {0, S_OK, 0, {}},             // nothing asked, nothing missing
  };
  for (const Step& s : steps) {
    NextResult r = NextStrings(e.Get(), s.celt);
    EXPECT_EQ(r.hr, s.hr) << "celt " << s.celt;
    EXPECT_EQ(r.fetched, s.fetched) << "celt " << s.celt;
    EXPECT_EQ(r.texts, s.texts) << "celt " << s.celt;
  }
}

TEST_F(EnumTest, StringsNextPointerRules) {
  auto e = ComPtr<IEnumString>::Adopt(new TOPCStringsEnumerator({"a", "b"}));
  LPOLESTR one = nullptr;
  EXPECT_EQ(e->Next(1, nullptr, nullptr), E_POINTER);
  LPOLESTR two[2] = {};
  EXPECT_EQ(e->Next(2, two, nullptr), E_POINTER);  // more than one needs a count
  // One element may be fetched without a count.
  EXPECT_EQ(e->Next(1, &one, nullptr), S_OK);
  EXPECT_EQ(OleToUtf8(one), "a");
  CoTaskMemFree(one);
}

TEST_F(EnumTest, SkipPastTheEndStopsAtTheEnd) {
  auto s = ComPtr<IEnumString>::Adopt(new TOPCStringsEnumerator({"a", "b", "c"}));
  EXPECT_EQ(s->Skip(5), S_FALSE);
  EXPECT_EQ(NextStrings(s.Get(), 1).fetched, 0u);
  EXPECT_EQ(s->Reset(), S_OK);
  EXPECT_EQ(s->Skip(3), S_OK);  // exactly to the end is no shortfall
  EXPECT_EQ(s->Reset(), S_OK);
  EXPECT_EQ(s->Skip(1), S_OK);
  // A count that would wrap a 32-bit position still ends at the end.
  EXPECT_EQ(s->Skip(0xFFFFFFFFu), S_FALSE);
  EXPECT_EQ(s->Reset(), S_OK);
  EXPECT_EQ(NextStrings(s.Get(), 1).texts, std::vector<std::string>{"a"});
}

TEST_F(EnumTest, SkipLogsTheNewPosition) {
  static std::vector<std::string> lines;
  lines.clear();
  g_POpcLogFun = [](const std::string& m) { lines.push_back(m); };
  auto s = ComPtr<IEnumString>::Adopt(new TOPCStringsEnumerator({"a", "b", "c"}));
  s->Skip(5);
  g_POpcLogFun = nullptr;
  EXPECT_EQ(lines, std::vector<std::string>{"StringsEnumerator.Skip:celt=5;curr=3"});
}

TEST_F(EnumTest, CloneStartsAtTheFirstElementWithItsOwnPosition) {
  auto s = ComPtr<IEnumString>::Adopt(new TOPCStringsEnumerator({"a", "b", "c"}));
  NextStrings(s.Get(), 1);
  NextStrings(s.Get(), 1);
  ComPtr<IEnumString> c;
  ASSERT_EQ(s->Clone(c.Receive()), S_OK);
  EXPECT_EQ(NextStrings(c.Get(), 3).texts, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(NextStrings(s.Get(), 3).texts, std::vector<std::string>{"c"});
  EXPECT_EQ(s->Clone(nullptr), E_POINTER);
}

TEST_F(EnumTest, StringsNextOutOfMemoryReturnsNothingAndKeepsThePosition) {
  auto s = ComPtr<IEnumString>::Adopt(new TOPCStringsEnumerator({"a", "b", "c"}));
  zelcom::FailTaskAllocAt(2);  // the second string
  LPOLESTR buf[3] = {};
  ULONG fetched = 99;
  EXPECT_EQ(s->Next(3, buf, &fetched), E_OUTOFMEMORY);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(buf[0], nullptr);
  EXPECT_EQ(NextStrings(s.Get(), 3).texts, (std::vector<std::string>{"a", "b", "c"}));
}

using Counted = CountedUnknown;

TEST_F(EnumTest, UnknownNextRulesAndReferences) {
  Counted a, b;
  {
    auto e = ComPtr<IEnumUnknown>::Adopt(new TS3UnknownEnumerator(
        {ComPtr<IUnknown>(&a), ComPtr<IUnknown>(&b)}));
    EXPECT_EQ(a.refs, 2u);  // one held by the enumerator
    IUnknown* got[3] = {};
    ULONG fetched = 7;
    EXPECT_EQ(e->Next(0, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 7u);  // celt 0 touches nothing
    EXPECT_EQ(e->Next(1, got, nullptr), E_INVALIDARG);
    EXPECT_EQ(e->Next(3, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(got[0], &a);
    EXPECT_EQ(got[1], &b);
    EXPECT_EQ(a.refs, 3u);  // the caller's own reference
    got[0]->Release();
    got[1]->Release();
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(3), S_FALSE);
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Next(2, got, &fetched), S_OK);
    got[0]->Release();
    got[1]->Release();
    ComPtr<IEnumUnknown> c;
    ASSERT_EQ(e->Clone(c.Receive()), S_OK);
    EXPECT_EQ(a.refs, 3u);  // the clone holds its own
    EXPECT_EQ(c->Next(1, got, &fetched), S_OK);
    EXPECT_EQ(got[0], &a);
    got[0]->Release();
  }
  EXPECT_EQ(a.refs, 1u);
  EXPECT_EQ(b.refs, 1u);
}

TOPCItemAttributes Att(const char* id, OPCHANDLE hs) {
  TOPCItemAttributes t;
  t._active = true;
  t._itemID = id;
  t._requestedDataType = VT_I4;
  t._canonicalDataType = VT_R8;
  t._clientHandle = hs + 1000;
  t._serverHandle = hs;
  t._accessRights = OPC_READABLE | OPC_WRITEABLE;
  return t;
}

void FreeAtts(OPCITEMATTRIBUTES* a, ULONG n) {
  for (ULONG i = 0; i < n; ++i) {
    CoTaskMemFree(a[i].szAccessPath);
    CoTaskMemFree(a[i].szItemID);
    VariantClear(&a[i].vEUInfo);
  }
  CoTaskMemFree(a);
}

TEST_F(EnumTest, ItemAttributesNextFillsEveryField) {
  auto e = ComPtr<IEnumOPCItemAttributes>::Adopt(
      new TOPCItemAttEnumerator({Att("P.A", 0x100001), Att("P.B", 0x100002)}));
  OPCITEMATTRIBUTES* a = reinterpret_cast<OPCITEMATTRIBUTES*>(1);
  ULONG fetched = 9;
  EXPECT_EQ(e->Next(0, &a, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  ASSERT_EQ(e->Next(5, &a, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(OleToUtf8(a[0].szAccessPath), "");
  EXPECT_NE(a[0].szAccessPath, nullptr);
  EXPECT_EQ(OleToUtf8(a[1].szItemID), "P.B");
  EXPECT_EQ(a[1].bActive, TRUE);
  EXPECT_EQ(a[1].hClient, 0x100002u + 1000);
  EXPECT_EQ(a[1].hServer, 0x100002u);
  EXPECT_EQ(a[1].dwAccessRights, 3u);
  EXPECT_EQ(a[1].dwBlobSize, 0u);
  EXPECT_EQ(a[1].pBlob, nullptr);
  EXPECT_EQ(a[1].vtRequestedDataType, VT_I4);
  EXPECT_EQ(a[1].vtCanonicalDataType, VT_R8);
  EXPECT_EQ(a[1].dwEUType, OPC_NOENUM);
  EXPECT_EQ(a[1].vEUInfo.vt, VT_EMPTY);
  FreeAtts(a, fetched);

  ComPtr<IEnumOPCItemAttributes> c;
  ASSERT_EQ(e->Clone(c.Receive()), S_OK);
  ASSERT_EQ(c->Next(2, &a, &fetched), S_OK);
  EXPECT_EQ(OleToUtf8(a[0].szItemID), "P.A");
  FreeAtts(a, fetched);
  EXPECT_EQ(c->Reset(), S_OK);
  EXPECT_EQ(c->Skip(2), S_OK);
  EXPECT_EQ(c->Skip(1), S_FALSE);
}

TEST_F(EnumTest, ItemAttributesOutOfMemoryAtEveryAllocation) {
  // Allocations of Next(2): the array, then two strings per record.
  for (uint64_t n = 1; n <= 5; ++n) {
    auto e = ComPtr<IEnumOPCItemAttributes>::Adopt(
        new TOPCItemAttEnumerator({Att("P.A", 0x100001), Att("P.B", 0x100002)}));
    zelcom::FailTaskAllocAt(n);
    OPCITEMATTRIBUTES* a = nullptr;
    ULONG fetched = 9;
    EXPECT_EQ(e->Next(2, &a, &fetched), E_OUTOFMEMORY) << "allocation " << n;
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(fetched, 0u);
    zelcom::FailTaskAllocAt(0);
    ASSERT_EQ(e->Next(2, &a, &fetched), S_OK) << "the position stayed";
    FreeAtts(a, fetched);
  }
}

}  // namespace
}  // namespace opcda_test
