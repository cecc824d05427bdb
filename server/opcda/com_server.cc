// The COM server runtime of the program: class factories, class objects, process lifetime.
#include "server/opcda/com_server.h"

#include <atomic>
#include <cctype>
#include <new>

namespace {

struct TComServerState {
  std::atomic<bool> startedByCom{false};
  bool ownCount = false;  // a process not started by COM holds one count itself
  std::atomic<ULONG> processRefs{0};  // the process count as the last AddRef/Release gave it
  std::function<void()> onLastRelease;
};

TComServerState& State() {
  static TComServerState state;
  return state;
}

bool SwitchPresent(int argc, const char* const* argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!a || (a[0] != '-' && a[0] != '/')) continue;
    const char* p = a + 1;
    const char* q = name;
    while (*p && *q && std::toupper(static_cast<unsigned char>(*p)) == *q) ++p, ++q;
    if (!*p && !*q) return true;
  }
  return false;
}

}  // namespace

TComStartMode ComStartModeFromArgs(int argc, const char* const* argv) {
  static const struct {
    const char* name;
    TComStartMode mode;
  } order[] = {
      {"AUTOMATION", TComStartMode::Automation},
      {"EMBEDDING", TComStartMode::Embedding},
      {"UNREGSERVERPERUSER", TComStartMode::UnregServerPerUser},
      {"REGSERVERPERUSER", TComStartMode::RegServerPerUser},
      {"UNREGSERVER", TComStartMode::UnregServer},
      {"REGSERVER", TComStartMode::RegServer},
  };
  for (const auto& o : order)
    if (SwitchPresent(argc, argv, o.name)) return o.mode;
  return TComStartMode::Normal;
}

// ---- class factory

HRESULT TComClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG TComClassFactory::AddRef() { return ++refs_; }

ULONG TComClassFactory::Release() {
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

HRESULT TComClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  try {
    return info_.Create(riid, ppv);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT TComClassFactory::LockServer(BOOL lock) {
  if (lock)
    ServerObjectCreated();
  else
    ServerObjectReleased();
  return S_OK;
}

// ---- class objects

bool TComClassObjects::Register(const std::vector<TComClassInfo>& classes) {
  bool ok = true;
  for (const TComClassInfo& info : classes) {
    TComClassFactory* f = new (std::nothrow) TComClassFactory(info);
    if (!f) {
      ok = false;
      continue;
    }
    DWORD cookie = 0;
    // Suspended: no activation reaches a half-registered set; all resume together below.
    HRESULT hr = CoRegisterClassObject(*info.ClassId, static_cast<IClassFactory*>(f), CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED, &cookie);
    f->Release();  // the registration holds its own reference
    if (FAILED(hr)) {
      ok = false;
      continue;
    }
    try {
      cookies_.push_back(cookie);
    } catch (...) {
      CoRevokeClassObject(cookie);
      ok = false;
    }
  }
  CoResumeClassObjects();
  return ok;
}

void TComClassObjects::Revoke() {
  while (!cookies_.empty()) {
    CoRevokeClassObject(cookies_.back());
    cookies_.pop_back();
  }
}

// ---- lifetime

void BeginComServer(TComStartMode mode, std::function<void()> onLastRelease) {
  TComServerState& s = State();
  s.startedByCom = StartedByCom(mode);
  s.onLastRelease = std::move(onLastRelease);
  if (!s.startedByCom && !s.ownCount) {
    s.ownCount = true;
    s.processRefs = CoAddRefServerProcess();
  }
}

void EndComServer() {
  TComServerState& s = State();
  s.onLastRelease = nullptr;
  s.startedByCom = false;
  if (s.ownCount) {
    s.ownCount = false;
    s.processRefs = CoReleaseServerProcess();
  }
}

void ServerObjectCreated() { State().processRefs = CoAddRefServerProcess(); }

bool ComServerInUse() { return State().processRefs != 0; }

void ServerObjectReleased() {
  TComServerState& s = State();
  s.processRefs = CoReleaseServerProcess();
  if (s.processRefs != 0) return;
  // The handler only posts the end to the main loop: the releasing object is still on
  // the stack here.
  if (s.startedByCom && s.onLastRelease) s.onLastRelease();
}
