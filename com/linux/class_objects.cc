// The process's table of class objects: registration, suspension, activation.
// Activation is always in-process; the context asked for must share a bit with the one
// registered. The table's lock is never held while a class object is called, so a
// factory may register or revoke from inside CreateInstance.
#include <mutex>
#include <vector>

#include "com/linux/builtin_classes.h"
#include "com/runtime_control.h"

namespace {
struct Registration {
  DWORD cookie;
  CLSID clsid;
  IUnknown* object;  // one reference held until revoked
  DWORD context;
  DWORD flags;
  bool suspended;
  bool used;  // a single-use registration that has served its one activation
};

struct ClassTable {
  std::mutex mutex;
  std::vector<Registration> entries;
  DWORD lastCookie = 0;
};

ClassTable& Table() {
  static ClassTable table;
  return table;
}
}  // namespace

namespace zelcom {
size_t RegisteredClassObjects() {
  std::lock_guard lock(Table().mutex);
  return Table().entries.size();
}
}  // namespace zelcom

HRESULT CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                              LPDWORD lpdwRegister) {
  if (!lpdwRegister) return E_INVALIDARG;
  *lpdwRegister = 0;
  if (!pUnk || (dwClsContext & CLSCTX_ALL) == 0) return E_INVALIDARG;
  ClassTable& t = Table();
  {
    std::lock_guard lock(t.mutex);
    for (const Registration& r : t.entries)
      if (r.clsid == rclsid && (r.context & dwClsContext) != 0 && !r.used)
        return CO_E_OBJISREG;
    DWORD cookie = ++t.lastCookie;
    if (cookie == 0) cookie = ++t.lastCookie;  // 0 is "no registration"
    t.entries.push_back({cookie, rclsid, pUnk, dwClsContext, flags,
                         (flags & REGCLS_SUSPENDED) != 0, false});
    *lpdwRegister = cookie;
  }
  pUnk->AddRef();
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD dwRegister) {
  IUnknown* object = nullptr;
  {
    std::lock_guard lock(Table().mutex);
    auto& entries = Table().entries;
    for (auto it = entries.begin(); it != entries.end(); ++it)
      if (it->cookie == dwRegister) {
        object = it->object;
        entries.erase(it);
        break;
      }
  }
  if (!object) return CO_E_OBJNOTREG;
  object->Release();  // outside the lock: the class object may end here
  return S_OK;
}

HRESULT CoResumeClassObjects() {
  std::lock_guard lock(Table().mutex);
  for (Registration& r : Table().entries) r.suspended = false;
  return S_OK;
}

HRESULT CoSuspendClassObjects() {
  std::lock_guard lock(Table().mutex);
  for (Registration& r : Table().entries) r.suspended = true;
  return S_OK;
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_INVALIDARG;
  *ppv = nullptr;
  if (IUnknown* builtin = zelcom::internal::BuiltinClassObject(rclsid, dwClsContext))
    return builtin->QueryInterface(riid, ppv);
  IUnknown* object = nullptr;
  {
    std::lock_guard lock(Table().mutex);
    for (Registration& r : Table().entries) {
      if (r.suspended || r.used || !(r.clsid == rclsid) || (r.context & dwClsContext) == 0)
        continue;
      // A single-use class object serves one activation, then leaves public view.
      if ((r.flags & (REGCLS_MULTIPLEUSE | REGCLS_MULTI_SEPARATE)) == 0) r.used = true;
      object = r.object;
      object->AddRef();
      break;
    }
  }
  if (!object) return REGDB_E_CLASSNOTREG;
  HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  void* factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, &factory);
  if (FAILED(hr)) return hr;
  auto* cf = static_cast<IClassFactory*>(factory);
  hr = cf->CreateInstance(pUnkOuter, riid, ppv);
  cf->Release();
  if (FAILED(hr)) *ppv = nullptr;
  return hr;
}
