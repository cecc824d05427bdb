// The system's component category manager on Linux: ICatRegister over the registry layer.
// It is a built-in class of the runtime (no registration needed), found by
// CoGetClassObject before the class-object table.
#include <cstdio>
#include <string>

#include "com/guid_text.h"
#include "com/linux/builtin_classes.h"
#include "common/platform/registry.h"
#include "common/platform/text.h"

namespace {

constexpr const char* kImplemented = "Implemented Categories";
constexpr const char* kRequired = "Required Categories";

std::string CategoryKey(const CATID& catid) { return "Component Categories\\" + GuidToText(catid); }
std::string ClassCategoryKey(REFCLSID clsid, const char* kind, const CATID& catid) {
  return "CLSID\\" + GuidToText(clsid) + "\\" + kind + "\\" + GuidToText(catid);
}

// Stateless and process-long: the reference count is not kept.
class CategoryManager final : public ICatRegister, public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ICatRegister)
      *ppv = static_cast<ICatRegister*>(this);
    else if (riid == IID_IClassFactory)
      *ppv = static_cast<IClassFactory*>(this);
    else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    if (riid == IID_IClassFactory) return E_NOINTERFACE;
    return QueryInterface(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  HRESULT STDMETHODCALLTYPE RegisterCategories(ULONG n, CATEGORYINFO info[]) override {
    if (n && !info) return E_POINTER;
    for (ULONG i = 0; i < n; ++i) {
      char locale[16];
      std::snprintf(locale, sizeof locale, "%x", static_cast<unsigned>(info[i].lcid));
      // The description field may lack its zero: read at most its 128 characters.
      std::u16string text;
      for (size_t k = 0; k < 128 && info[i].szDescription[k]; ++k)
        text.push_back(info[i].szDescription[k]);
      if (!RegWriteString(TRegRoot::HKCR, CategoryKey(info[i].catid), locale, Utf16ToUtf8(text)))
        return E_FAIL;
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UnRegisterCategories(ULONG n, CATID catids[]) override {
    if (n && !catids) return E_POINTER;
    for (ULONG i = 0; i < n; ++i) RegDeleteKey(TRegRoot::HKCR, CategoryKey(catids[i]));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE RegisterClassImplCategories(REFCLSID clsid, ULONG n,
                                                        CATID catids[]) override {
    return Mark(clsid, kImplemented, n, catids);
  }
  HRESULT STDMETHODCALLTYPE UnRegisterClassImplCategories(REFCLSID clsid, ULONG n,
                                                          CATID catids[]) override {
    return Unmark(clsid, kImplemented, n, catids);
  }
  HRESULT STDMETHODCALLTYPE RegisterClassReqCategories(REFCLSID clsid, ULONG n,
                                                       CATID catids[]) override {
    return Mark(clsid, kRequired, n, catids);
  }
  HRESULT STDMETHODCALLTYPE UnRegisterClassReqCategories(REFCLSID clsid, ULONG n,
                                                         CATID catids[]) override {
    return Unmark(clsid, kRequired, n, catids);
  }

 private:
  static HRESULT Mark(REFCLSID clsid, const char* kind, ULONG n, CATID catids[]) {
    if (n && !catids) return E_POINTER;
    for (ULONG i = 0; i < n; ++i)
      if (!RegCreateKey(TRegRoot::HKCR, ClassCategoryKey(clsid, kind, catids[i]))) return E_FAIL;
    return S_OK;
  }
  static HRESULT Unmark(REFCLSID clsid, const char* kind, ULONG n, CATID catids[]) {
    if (n && !catids) return E_POINTER;
    for (ULONG i = 0; i < n; ++i)
      RegDeleteKey(TRegRoot::HKCR, ClassCategoryKey(clsid, kind, catids[i]));
    return S_OK;
  }
};

}  // namespace

namespace zelcom::internal {

IUnknown* BuiltinClassObject(REFCLSID clsid, DWORD context) {
  static CategoryManager manager;
  if (clsid == CLSID_StdComponentCategoriesMgr && (context & CLSCTX_INPROC_SERVER))
    return static_cast<ICatRegister*>(&manager);
  return nullptr;
}

}  // namespace zelcom::internal
