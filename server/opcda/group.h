// TOPCGroup: the group object through which a client subscribes to items and reads and
// writes them (IOPCItemMgt, IOPCGroupStateMgt, IOPCPublicGroupStateMgt, IOPCSyncIO,
// IOPCAsyncIO2, and an IConnectionPointContainer with the IOPCDataCallback point);
// TOPCItem: the group's record of one item. Main thread only; see server/opcda/da2.h for
// locks, re-entrancy and lifetime, and group_async.cc for the scan and the callbacks.
#pragma once
#include <memory>
#include "server/opcda/opc_lock.h"
#include <string>
#include <unordered_map>
#include <vector>

#include "com/com.h"
#include "com/com_ptr.h"
#include "com/connection_point.h"
#include "com/opc_da.h"
#include "server/opcda/async_io.h"
#include "server/opcda/class_info.h"
#include "server/opcda/enumerators.h"
#include "server/opcda/item_proxy.h"

class TDA2;
class TOPCGroup;

class TOPCItem {
 public:
  TOPCItem(TDA2* server, TOPCGroup* group, TOPCItemProxy* proxy, const std::string& ref);
  ~TOPCItem() { VariantClear(&_lastSent); }
  TOPCItem(const TOPCItem&) = delete;
  TOPCItem& operator=(const TOPCItem&) = delete;

  // An item that turns active is reported again at the next subscription report.
  void setActive(bool a) {
    if (a && !_active) forgetSent();
    _active = a;
  }
  void setClientHandle(OPCHANDLE h) { _clientHandle = h; }
  // 0 stores the canonical type.
  void setRequestedDataType(VARTYPE vt) {
    _requestedDataType = vt == VT_EMPTY ? canonicalDataType() : vt;
    forgetSent();
  }
  // As the client gave it at AddItems (0 stays 0: the canonical type).
  void setRequestedDataTypeRaw(VARTYPE vt) { _requestedDataType = vt; }
  // The sync read record: client handle, time stamp, value in the proxy's own type,
  // quality (out of service for a cache read of an inactive group).
  HRESULT readItemValueStateTime(OPCITEMSTATE& state, bool outOfService);
  void writeItemValue(const VARIANT& v) { _proxy->write(v); }
  // The value in the requested type (into out, empty on entry).
  HRESULT getCurrentValue(VARIANT* out);
  bool active() const { return _active; }
  bool writeable() { return _proxy->writeable(); }
  DWORD accessRights() { return _proxy->accessRights(); }
  WORD quality() { return _active ? _proxy->quality() : OPC_QUALITY_OUT_OF_SERVICE; }
  OPCHANDLE serverHandle() const { return _serverHandle; }
  OPCHANDLE clientHandle() const { return _clientHandle; }
  VARTYPE canonicalDataType() { return _proxy->datatype(); }
  VARTYPE requestedDataType() const { return _requestedDataType; }
  const std::string& ref() const { return _ref; }
  TOPCItemProxy* proxy() const { return _proxy; }

  // Subscription state: whether value or quality differ from what the client was last
  // given, and the record of what it was given (false when the copy could not be made:
  // the item then counts as changed again).
  bool changedSince(const VARIANT& v, WORD quality) const;
  bool markSent(const VARIANT& v, WORD quality);
  void forgetSent() { _sent = false; }

 private:
  TDA2* _server;
  TOPCGroup* _group;
  VARTYPE _requestedDataType = VT_EMPTY;
  std::string _ref;
  bool _active = false;
  OPCHANDLE _serverHandle;
  OPCHANDLE _clientHandle = 0;
  TOPCItemProxy* _proxy;  // owned by the server's address space
  VARIANT _lastSent{};     // the value of the last report, in the requested type
  WORD _lastQuality = 0;
  bool _sent = false;
};

// Item server handles: unique among the live items of the process, never 0..0xFFFFF.
OPCHANDLE MakeItemServerHandle();

class TOPCGroup : public IOPCItemMgt,
                  public IOPCGroupStateMgt,
                  public IOPCPublicGroupStateMgt,
                  public IOPCSyncIO,
                  public IOPCAsyncIO2 {
 public:
  // Made by the server object (CreateGroup, CloneGroup); joins the server's group list.
  // Returns the creator's reference, or null when out of memory.
  static TOPCGroup* Create(TDA2* server, const std::string& name, bool active,
                           DWORD requestedUpdateRate, OPCHANDLE clientHandle, DWORD lcid);
  TOPCGroup(const TOPCGroup&) = delete;
  TOPCGroup& operator=(const TOPCGroup&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IOPCItemMgt
  HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray,
                                     OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                          OPCITEMRESULT** ppValidationResults,
                                          HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer,
                                        HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                           HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer,
                                             OPCHANDLE* phClient, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer,
                                         VARTYPE* pRequestedDatatypes,
                                         HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;
  // IOPCGroupStateMgt
  HRESULT STDMETHODCALLTYPE GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName,
                                     LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                     OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) override;
  HRESULT STDMETHODCALLTYPE SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate,
                                     BOOL* pActive, LONG* pTimeBias, FLOAT* pPercentDeadband,
                                     DWORD* pLCID, OPCHANDLE* phClientGroup) override;
  HRESULT STDMETHODCALLTYPE SetName(LPCWSTR szName) override;
  HRESULT STDMETHODCALLTYPE CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
  // IOPCPublicGroupStateMgt
  HRESULT STDMETHODCALLTYPE GetState(BOOL* pPublic) override;
  HRESULT STDMETHODCALLTYPE MoveToPublic() override;
  // IOPCSyncIO
  HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                 OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                  HRESULT** ppErrors) override;
  // IOPCAsyncIO2
  HRESULT STDMETHODCALLTYPE Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                                 DWORD* pdwCancelID, HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                  DWORD dwTransactionID, DWORD* pdwCancelID,
                                  HRESULT** ppErrors) override;
  HRESULT STDMETHODCALLTYPE Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID,
                                     DWORD* pdwCancelID) override;
  HRESULT STDMETHODCALLTYPE Cancel2(DWORD dwCancelID) override;
  HRESULT STDMETHODCALLTYPE SetEnable(BOOL bEnable) override;
  HRESULT STDMETHODCALLTYPE GetEnable(BOOL* pbEnable) override;

  // Periodic work of one scan tick: when the group's rate has elapsed, the pending
  // transactions are completed and the changed active items are reported.
  virtual void scan();
  DWORD makeAsyncCancelID();
  size_t pendingTransactions() const { return _asyncList.size(); }
  std::vector<TOPCItem*> getActiveItems();
  ULONG refCount() const { return refs_; }
  const std::string& name() const { return _name; }
  OPCHANDLE serverHandle() const { return _serverHandle; }
  OPCHANDLE clientHandle() const { return _clientHandle; }
  DWORD requestedUpdateRate() const { return _requestedUpdateRate; }
  bool isPublic() const { return _public; }
  bool active() const { return _active; }
  size_t itemCount() const { return _items.size(); }
  IUnknown* Unknown() { return static_cast<IOPCItemMgt*>(this); }
  // The server is going: drop the items (their value objects go with it) and the link.
  void Detach();
  // IProvideClassInfo and ISupportErrorInfo of the group class.
  TClassInfoPart& classInfo() { return _classInfo; }

  static DWORD validateRequestedUpDateRate(DWORD rate) { return rate < 10 ? 10 : rate; }

 protected:
  TOPCGroup(TDA2* server, const std::string& name, bool active, DWORD requestedUpdateRate,
            OPCHANDLE clientHandle, DWORD lcid);
  virtual ~TOPCGroup();
  // Second stage of creation for every group class: server handle, group list. Takes the
  // new group's reference; returns it, or null (the group released) on failure.
  static TOPCGroup* Register(TOPCGroup* g, TDA2* server);

 private:
  TOPCItem* FindItem(OPCHANDLE h);
  // Result arrays of the per-handle methods: errors only.
  template <class F>
  HRESULT PerHandle(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors, F&& f);
  // The asynchronous side (group_async.cc).
  HRESULT QueueItems(TAsyncKind kind, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                     DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors);
  zelcom::ComPtr<IOPCDataCallback> clientSink();
  // Still in its server's group list (a callback may have removed it).
  bool listed();
  void asyncScan();
  // One callback of each kind; false when nothing was sent (nothing to report, no
  // sink, or no memory for the arrays).
  bool sendDataChange(DWORD transId, bool changedOnly);
  bool sendReadComplete(const TAsyncIO2& t);
  bool sendWriteComplete(const TAsyncIO2& t);
  bool sendCancelComplete(const TAsyncIO2& t);
  // Calls the sink; a sink whose client is gone is disconnected, so the scans stop
  // calling it. Nothing the sink does reaches the caller.
  template <class F>
  void Deliver(const zelcom::ComPtr<IOPCDataCallback>& sink, F&& call);
  void DropSink(IOPCDataCallback* sink);

  ULONG refs_ = 1;
  zelcom::ConnectionPointContainer _connectionPoints;
  TClassInfoPart _classInfo{*static_cast<IOPCItemMgt*>(this), TZelType::GroupClass, false};
  TOpcLock _lock;
  TDA2* _server;  // null once detached
  std::string _name;
  OPCHANDLE _clientHandle;
  OPCHANDLE _serverHandle = 0;
  DWORD _requestedUpdateRate;
  DWORD _LCID;
  // GUARDED_BY(_lock): items in the order added, and the handle index over them.
  std::vector<std::unique_ptr<TOPCItem>> _items;
  std::unordered_map<OPCHANDLE, TOPCItem*> _byHandle;
  // GUARDED_BY(_lock): pending transactions in call order; while a scan completes a
  // batch taken from it, _inFlight points at that batch (Cancel2 still reaches it).
  std::vector<std::unique_ptr<TAsyncIO2>> _asyncList;
  std::vector<std::unique_ptr<TAsyncIO2>>* _inFlight = nullptr;
  bool _active;
  bool _public = false;
  bool _onDataChangeEnabled = true;
  zelcom::ComPtr<IOPCDataCallback> _clientSink;
  uint32_t _lastUpdate = 0;
  DWORD _lastCancelId = 0;
  bool _reported = false;  // _lastUpdate holds the tick of a processing scan
  bool _scanning = false;  // a scan is calling out (a nested scan returns at once)
};
