// The program as a COM server: its start mode, the class factories of its creatable
// classes, the registration of their class objects, and the count of live COM objects
// that ends a COM-started process when it drops to zero.
//
// Every COM object of the OPC layer (server objects, groups, enumerators) counts through
// ServerObjectCreated/ServerObjectReleased, which use the system's server process count
// (CoAddRefServerProcess). A process that COM did not start holds one count of its own
// for its whole life: the count never reaches zero there, so the class objects are never
// suspended and later clients still connect. Main thread only, except the count itself.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "com/com.h"

enum class TComStartMode {
  Normal,
  Automation,          // -AUTOMATION: started by COM
  Embedding,           // -EMBEDDING: started by COM
  RegServer,           // -REGSERVER: write the class entries and end
  UnregServer,         // -UNREGSERVER: remove them and end
  RegServerPerUser,    // the per-user forms: the same under HKCU\Software\Classes
  UnregServerPerUser,
};

// The start mode as the COM server runtime reads it from the process arguments (argv[1..],
// '-' or '/', any case, compared whole). Several switches: the first of AUTOMATION,
// EMBEDDING, UNREGSERVERPERUSER, REGSERVERPERUSER, UNREGSERVER, REGSERVER present counts,
// so a removal request is never overridden by a registration.
TComStartMode ComStartModeFromArgs(int argc, const char* const* argv);
inline bool StartedByCom(TComStartMode m) {
  return m == TComStartMode::Automation || m == TComStartMode::Embedding;
}

// One creatable class of the program.
struct TComClassInfo {
  const CLSID* ClassId;
  std::string ClassName;    // the ProgID is the server name, '.' and this
  std::string Description;
  bool Typed;               // described by the type library: Version and TypeLib entries
  // A new object answering riid; the factory checks aggregation before.
  HRESULT (*Create)(REFIID riid, void** ppv);
};

// IClassFactory over one TComClassInfo. Multi-instance: every CreateInstance makes a new
// object. LockServer counts like a live object.
class TComClassFactory final : public IClassFactory {
 public:
  explicit TComClassFactory(const TComClassInfo& info) : info_(info) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;
  const TComClassInfo& Info() const { return info_; }

 private:
  ~TComClassFactory() = default;
  TComClassInfo info_;
  ULONG refs_ = 1;
};

// The class objects of a list of classes, registered for local-server activation as
// multiple-use and suspended, then resumed together; revoked when this ends.
class TComClassObjects {
 public:
  TComClassObjects() = default;
  TComClassObjects(const TComClassObjects&) = delete;
  TComClassObjects& operator=(const TComClassObjects&) = delete;
  ~TComClassObjects() { Revoke(); }
  // False when a class object could not be registered (those registered stay until Revoke).
  bool Register(const std::vector<TComClassInfo>& classes);
  void Revoke();
  size_t Count() const { return cookies_.size(); }

 private:
  std::vector<DWORD> cookies_;
};

// The process lifetime. Begin decides the mode (a process not started by COM takes its
// own count); onLastRelease runs when a COM-started process's last object goes. End gives
// the own count back and forgets the handler.
void BeginComServer(TComStartMode mode, std::function<void()> onLastRelease);
void EndComServer();
void ServerObjectCreated();
void ServerObjectReleased();
// True while objects (or a lock) hold the process. The end posted by onLastRelease checks
// it: a client that got the class object just before the last release may have created an
// object in between, and ending then would cut its calls off.
bool ComServerInUse();
