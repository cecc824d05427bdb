// Shared pieces of the OPC DA tests: a value object with settable answers, a finder
// over a few of them, and checks that a test leaves no task block or BSTR behind.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "com/ole_text.h"
#include "common/platform/text.h"
#include "com/runtime_control.h"
#include "server/opcda/item_proxy.h"

namespace opcda_test {

class FakeProxy : public TOPCItemProxy {
 public:
  explicit FakeProxy(const std::string& name, VARTYPE type = VT_R8, bool rw = true)
      : TOPCItemProxy(name), type_(type), rw_(rw) {}
  WORD quality() override { return quality_; }
  DATE lastUpdate() override { return 45000.5; }
  HRESULT value(VARIANT* out) override {
    if (text_) {
      out->vt = VT_BSTR;
      out->bstrVal = Utf8ToBstr("text value");
      return out->bstrVal ? S_OK : E_OUTOFMEMORY;
    }
    out->vt = VT_R8;
    out->dblVal = value_;
    return S_OK;
  }
  VARTYPE datatype() override { return type_; }
  bool writeable() override { return rw_; }
  void write(const VARIANT& v) override {
    ++writes_;
    if (v.vt == VT_R8) value_ = v.dblVal;
  }

  VARTYPE type_;
  bool rw_;
  bool text_ = false;
  WORD quality_ = OPC_QUALITY_GOOD;
  double value_ = 1.5;
  int writes_ = 0;
};

class FakeFinder : public TOPCProxyFinder {
 public:
  TOPCItemProxy* FindProxy(const std::string& id) override {
    auto it = proxies.find(id);
    return it == proxies.end() ? nullptr : it->second.get();
  }
  FakeProxy& Add(const std::string& id, VARTYPE type = VT_R8, bool rw = true) {
    auto p = std::make_unique<FakeProxy>(id, type, rw);
    FakeProxy& r = *p;
    proxies[id] = std::move(p);
    return r;
  }
  std::map<std::string, std::unique_ptr<FakeProxy>> proxies;
};

// An IUnknown that only counts its references: to see what an object holds, hands out
// or forwards.
class CountedUnknown : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  ULONG refs = 1;
};

// Fails the test when task blocks or BSTRs made during it are still alive at its end.
class LeakCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    blocks_ = zelcom::LiveTaskBlocks();
    bstrs_ = zelcom::LiveBstrs();
  }
  void TearDown() override {
    zelcom::FailTaskAllocAt(0);
    EXPECT_EQ(zelcom::LiveTaskBlocks(), blocks_) << "task blocks leaked";
    EXPECT_EQ(zelcom::LiveBstrs(), bstrs_) << "BSTRs leaked";
  }

 private:
  int64_t blocks_ = 0;
  int64_t bstrs_ = 0;
};

inline std::u16string W(const char* s) { return Utf8ToUtf16(s); }

// AddItems' definitions of `ids`: active, client handles 100, 101, ... in order, with the
// requested type `vt`. They point into the object's own copies of the ids.
struct ItemDefs {
  explicit ItemDefs(const std::vector<const char*>& ids, VARTYPE vt = VT_EMPTY) : defs(ids.size()) {
    for (const char* id : ids) names.push_back(W(id));
    for (size_t i = 0; i < ids.size(); ++i) {
      defs[i].szItemID = names[i].data();
      defs[i].bActive = TRUE;
      defs[i].hClient = static_cast<OPCHANDLE>(100 + i);
      defs[i].vtRequestedDataType = vt;
    }
  }
  ItemDefs(const ItemDefs&) = delete;
  ItemDefs& operator=(const ItemDefs&) = delete;
  DWORD count() const { return static_cast<DWORD>(defs.size()); }

  std::vector<std::u16string> names;
  std::vector<OPCITEMDEF> defs;
};

}  // namespace opcda_test
