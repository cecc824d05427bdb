// The runtime's process state: BSTRs, the task allocator and its failure switch, GUID
// text, times, and the class-object table with the server process count.
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "com/com.h"
#include "com/com_ptr.h"
#include "com/guid_text.h"
#include "com/ole_text.h"
#include "com/runtime_control.h"
#include "common/platform/registry.h"
#include "tests/common/test_env.h"

namespace {

TEST(Bstr, KeepsLengthAndEmbeddedZeros) {
  BSTR b = SysAllocStringLen(u"a\0b", 3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(SysStringByteLen(b), 6u);
  EXPECT_EQ(b[3], 0) << "terminated after the last character";
  EXPECT_EQ(BstrToUtf8(b), std::string("a\0b", 3));
  SysFreeString(b);

  BSTR blank = SysAllocStringLen(nullptr, 2);  // no source: zero characters
  EXPECT_EQ(blank[0], 0);
  EXPECT_EQ(SysStringLen(blank), 2u);
  SysFreeString(blank);

  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u) << "a null BSTR is the empty text";
  SysFreeString(nullptr);
}

TEST(Bstr, Utf8RoundTripThroughTheConverter) {
  zelcom::Bstr b(Utf8ToBstr("Pumpe \xE6\xB3\xB5 \xF0\x9F\x98\x80"));
  EXPECT_EQ(SysStringLen(b.Get()), 10u) << "the emoji is a surrogate pair";
  EXPECT_EQ(BstrToUtf8(b.Get()), "Pumpe \xE6\xB3\xB5 \xF0\x9F\x98\x80");
  LPWSTR task = Utf8ToTaskString("x");
  EXPECT_EQ(OleToUtf8(task), "x");
  CoTaskMemFree(task);
  EXPECT_EQ(OleToUtf8(nullptr), "");
}

TEST(TaskAllocator, FailureSwitchHitsTheNthAllocationOnce) {
  int64_t live = zelcom::LiveTaskBlocks();
  zelcom::FailTaskAllocAt(3);
  void* a = CoTaskMemAlloc(8);
  void* b = CoTaskMemAlloc(0);  // a valid block even for zero bytes
  void* c = CoTaskMemAlloc(8);
  void* d = CoTaskMemAlloc(8);
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_NE(d, nullptr) << "the switch fires once";
  EXPECT_EQ(zelcom::LiveTaskBlocks(), live + 3);
  for (void* p : {a, b, d}) CoTaskMemFree(p);
  CoTaskMemFree(nullptr);
  EXPECT_EQ(zelcom::LiveTaskBlocks(), live);

  zelcom::FailTaskAllocAt(1);
  EXPECT_EQ(Utf8ToTaskString("text"), nullptr) << "helpers report the failure";
  zelcom::FailTaskAllocAt(1);
  zelcom::FailTaskAllocAt(0);
  void* e = CoTaskMemAlloc(4);
  EXPECT_NE(e, nullptr) << "0 switches the failure off";
  CoTaskMemFree(e);
}

TEST(GuidText, RegistryFormRoundTrips) {
  const GUID g = {0x39C13A4D, 0x011E, 0x11D0, {0x96, 0x75, 0x00, 0x20, 0xAF, 0xD8, 0xAD, 0xB3}};
  EXPECT_EQ(GuidToText(g), "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}");
  auto back = TextToGuid("{39c13a4d-011e-11d0-9675-0020afd8adb3}");
  ASSERT_TRUE(back);
  EXPECT_TRUE(IsEqualGUID(*back, g));

  for (const char* bad : {"", "39C13A4D-011E-11D0-9675-0020AFD8ADB3",
                          "{39C13A4D-011E-11D0-9675-0020AFD8ADB}",
                          "{39C13A4D-011E-11D0-9675-0020AFD8ADBG}",
                          "{39C13A4D+011E-11D0-9675-0020AFD8ADB3}",
                          "{39C13A4D-011E-11D0-9675-0020AFD8ADB3}x"})
    EXPECT_FALSE(TextToGuid(bad)) << bad;

  OLECHAR buf[39];
  EXPECT_EQ(StringFromGUID2(g, buf, 38), 0) << "no room for the zero";
  ASSERT_EQ(StringFromGUID2(g, buf, 39), 39);
  CLSID parsed;
  ASSERT_EQ(CLSIDFromString(buf, &parsed), S_OK);
  EXPECT_TRUE(IsEqualCLSID(parsed, g));
  EXPECT_EQ(CLSIDFromString(u"ZELOPC", &parsed), CO_E_CLASSSTRING);
}

TEST(Times, FileTimeAndDateConversions) {
  SYSTEMTIME st = {1970, 1, 0, 1, 0, 0, 0, 0};
  FILETIME ft;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  EXPECT_EQ((uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime, 116444736000000000ULL);
  SYSTEMTIME back;
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
  EXPECT_EQ(back.wDayOfWeek, 4) << "1970-01-01 was a Thursday";

  SYSTEMTIME feb29 = {2000, 2, 0, 29, 12, 30, 15, 0};
  double date;
  ASSERT_TRUE(SystemTimeToVariantTime(&feb29, &date));
  SYSTEMTIME again;
  ASSERT_TRUE(VariantTimeToSystemTime(date, &again));
  EXPECT_EQ(again.wMonth, 2);
  EXPECT_EQ(again.wDay, 29);
  EXPECT_EQ(again.wSecond, 15);
  SYSTEMTIME feb30 = {2001, 2, 0, 29, 0, 0, 0, 0};
  EXPECT_FALSE(SystemTimeToVariantTime(&feb30, &date));
  EXPECT_FALSE(SystemTimeToFileTime(&feb30, &ft));
}

// Summer and winter stamps each take their own offset, also when converted in the
// other season.
TEST(Times, LocalFileTimeUsesTheOffsetOfThatMoment) {
  struct TzReload {
    ~TzReload() { tzset(); }  // after tz below has restored the variable
  } reload;
  TScopedEnv tz{"TZ", "CET-1CEST,M3.5.0,M10.5.0/3"};
  tzset();
  struct Stamp {
    SYSTEMTIME utc;
    int hourLocal;
  };
  for (const Stamp& s : {Stamp{{2024, 1, 0, 15, 12, 0, 0, 0}, 13},
                         Stamp{{2024, 7, 0, 15, 12, 0, 0, 0}, 14}}) {
    FILETIME utc, local, utcAgain;
    ASSERT_TRUE(SystemTimeToFileTime(&s.utc, &utc));
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    SYSTEMTIME shown;
    FileTimeToSystemTime(&local, &shown);
    EXPECT_EQ(shown.wHour, s.hourLocal);
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &utcAgain));
    EXPECT_EQ(utcAgain.dwLowDateTime, utc.dwLowDateTime);
    EXPECT_EQ(utcAgain.dwHighDateTime, utc.dwHighDateTime);
  }
}

// --- class objects ---

const CLSID kClsid = {0x1234, 0x5678, 0x9ABC, {1, 2, 3, 4, 5, 6, 7, 8}};
const IID kIidThing = {0x1234, 0x5678, 0x9ABC, {8, 7, 6, 5, 4, 3, 2, 1}};

// A plain object that a factory makes; it holds the server process while it lives.
struct Thing final : IUnknown {
  ULONG refs = 1;
  Thing() { CoAddRefServerProcess(); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == kIidThing) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --refs;
    if (n == 0) {
      CoReleaseServerProcess();
      delete this;
    }
    return n;
  }
};

struct Factory final : IClassFactory {
  ULONG refs = 1;
  int made = 0;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // lives on the test's stack
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* t = new Thing;
    ++made;
    HRESULT hr = t->QueryInterface(riid, ppv);
    t->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

HRESULT Create(zelcom::ComPtr<IUnknown>* out, DWORD context = CLSCTX_LOCAL_SERVER) {
  return CoCreateInstance(kClsid, nullptr, context, IID_IUnknown, out->ReceiveVoid());
}

TEST(ClassObjects, SuspendedUntilResumedThenMultiUseUntilRevoked) {
  Factory f;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kClsid, &f, CLSCTX_LOCAL_SERVER,
                                  REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie),
            S_OK);
  EXPECT_NE(cookie, 0u);
  EXPECT_EQ(f.refs, 2u) << "the table holds the class object";
  zelcom::ComPtr<IUnknown> a, b;
  EXPECT_EQ(Create(&a), REGDB_E_CLASSNOTREG) << "suspended";
  ASSERT_EQ(CoResumeClassObjects(), S_OK);
  ASSERT_EQ(Create(&a), S_OK);
  ASSERT_EQ(Create(&b), S_OK);
  EXPECT_EQ(f.made, 2);
  EXPECT_EQ(zelcom::ServerProcessCount(), 2u);
  EXPECT_EQ(Create(&b, CLSCTX_INPROC_SERVER), REGDB_E_CLASSNOTREG) << "context must match";
  EXPECT_EQ(CoCreateInstance(kClsid, a.Get(), CLSCTX_ALL, IID_IUnknown, b.ReceiveVoid()),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(b.Get(), nullptr);

  DWORD second = 0;
  EXPECT_EQ(CoRegisterClassObject(kClsid, &f, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &second),
            CO_E_OBJISREG);
  EXPECT_EQ(second, 0u);

  ASSERT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(f.refs, 1u);
  EXPECT_EQ(CoRevokeClassObject(cookie), CO_E_OBJNOTREG);
  EXPECT_EQ(Create(&b), REGDB_E_CLASSNOTREG);
  a.Reset();
  EXPECT_EQ(zelcom::ServerProcessCount(), 0u);
}

TEST(ClassObjects, SingleUseServesOneActivation) {
  Factory f;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kClsid, &f, CLSCTX_LOCAL_SERVER, REGCLS_SINGLEUSE, &cookie),
            S_OK);
  zelcom::ComPtr<IUnknown> a, b;
  EXPECT_EQ(Create(&a), S_OK);
  EXPECT_EQ(Create(&b), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(f.refs, 1u);
}

TEST(ClassObjects, LastServerProcessReleaseSuspendsTheClassObjects) {
  Factory f;
  DWORD cookie = 0;
  ASSERT_EQ(CoRegisterClassObject(kClsid, &f, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie),
            S_OK);
  zelcom::ComPtr<IUnknown> a;
  ASSERT_EQ(Create(&a), S_OK);
  EXPECT_EQ(zelcom::ServerProcessCount(), 1u);
  a.Reset();  // the object's release brings the count to 0: the process may end
  EXPECT_EQ(zelcom::ServerProcessCount(), 0u);
  EXPECT_EQ(Create(&a), REGDB_E_CLASSNOTREG) << "no new object while the process winds down";
  EXPECT_EQ(CoReleaseServerProcess(), 0u) << "never below zero";
  EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
  EXPECT_EQ(zelcom::RegisteredClassObjects(), 0u);
}

TEST(ClassObjects, ArgumentErrors) {
  Factory f;
  DWORD cookie = 7;
  EXPECT_EQ(CoRegisterClassObject(kClsid, nullptr, CLSCTX_LOCAL_SERVER, 0, &cookie),
            E_INVALIDARG);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(CoRegisterClassObject(kClsid, &f, 0, 0, &cookie), E_INVALIDARG);
  EXPECT_EQ(CoCreateInstance(kClsid, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(CoDisconnectObject(nullptr, 0), E_INVALIDARG);
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE) << "counted per thread";
  CoUninitialize();
  CoUninitialize();
}

// The system's category manager writes the platform's keys to the registry layer.
TEST(ComponentCategories, RegisterAndUnregisterInTheRegistry) {
  TTempDir dir;
  TScopedEnv root{"ZELOPC_DATA_ROOT", dir.path()};
  zelcom::ComPtr<ICatRegister> cats;
  ASSERT_EQ(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                             IID_ICatRegister, cats.ReceiveVoid()),
            S_OK);
  const CATID cat = {0x63D5F432, 0xCFE4, 0x11D1, {0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB}};
  CATEGORYINFO info = {cat, 0x409, {}};
  const std::u16string text = u"OPC Data Access Servers Version 2.0";
  text.copy(info.szDescription, 127);
  ASSERT_EQ(cats->RegisterCategories(1, &info), S_OK);
  CATID ids[] = {cat};
  ASSERT_EQ(cats->RegisterClassImplCategories(kClsid, 1, ids), S_OK);

  const std::string catKey = "Component Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";
  const std::string implKey = "CLSID\\" + GuidToText(kClsid) +
                              "\\Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";
  std::string value;
  ASSERT_TRUE(RegReadString(TRegRoot::HKCR, catKey, "409", value));
  EXPECT_EQ(value, "OPC Data Access Servers Version 2.0");
  EXPECT_TRUE(RegKeyExists(TRegRoot::HKCR, implKey));

  EXPECT_EQ(cats->UnRegisterClassImplCategories(kClsid, 1, ids), S_OK);
  EXPECT_FALSE(RegKeyExists(TRegRoot::HKCR, implKey));
  EXPECT_EQ(cats->RegisterCategories(1, nullptr), E_POINTER);
}

}  // namespace
