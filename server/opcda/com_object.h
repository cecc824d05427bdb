// A small COM object base for the OPC layer's stand-alone objects (enumerators): one
// interface plus IUnknown, a reference count, deletion on the last Release. Main thread
// only (single-threaded apartment), so the count is a plain number. Each live object
// counts on the server process (server/opcda/com_server.h).
#pragma once
#include "com/com.h"
#include "server/opcda/com_server.h"

template <class I, const IID* Iid>
class TComObject : public I {
 public:
  TComObject() { ServerObjectCreated(); }
  TComObject(const TComObject&) = delete;
  TComObject& operator=(const TComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, *Iid)) {
      *ppv = static_cast<I*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG n = --refs_;
    if (n == 0) delete this;
    return n;
  }

 protected:
  virtual ~TComObject() { ServerObjectReleased(); }

 private:
  ULONG refs_ = 1;  // the creator's reference
};
