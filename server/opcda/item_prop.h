// IOPCItemProperties of a server object: the six properties every item offers, read
// through the item's value object. The object is embedded in the server object and has
// no reference count of its own: IUnknown goes to the server's controlling IUnknown.
// Main thread only.
#pragma once
#include "com/com.h"
#include "com/opc_da.h"
#include "server/opcda/item_proxy.h"

class TOPCItemProp final : public IOPCItemProperties {
 public:
  TOPCItemProp(IUnknown& owner, TOPCProxyFinder& server) : owner_(owner), server_(server) {}
  TOPCItemProp(const TOPCItemProp&) = delete;
  TOPCItemProp& operator=(const TOPCItemProp&) = delete;
  ~TOPCItemProp() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return owner_.QueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }

  HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount,
                                                     DWORD** ppPropertyIDs,
                                                     LPWSTR** ppDescriptions,
                                                     VARTYPE** ppvtDataTypes) override;
  HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR szItemID, DWORD dwCount,
                                              DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                              HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                          LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override;

 private:
  IUnknown& owner_;
  TOPCProxyFinder& server_;
};
