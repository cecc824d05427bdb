// TOPCGroup: the group object through which a client subscribes to items and reads and
// writes them (IOPCItemMgt, IOPCGroupStateMgt, IOPCPublicGroupStateMgt, IOPCSyncIO, and
// an IConnectionPointContainer with the IOPCDataCallback point for asynchronous work);
// TOPCItem: the group's record of one item. Main thread only; see server/opcda/da2.h for
// locks, re-entrancy and lifetime.
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
#include "server/opcda/class_info.h"
#include "server/opcda/enumerators.h"
#include "server/opcda/item_proxy.h"

class TDA2;
class TOPCGroup;

class TOPCItem {
 public:
  TOPCItem(TDA2* server, TOPCGroup* group, TOPCItemProxy* proxy, const std::string& ref);

  void setActive(bool a) { _active = a; }
  void setClientHandle(OPCHANDLE h) { _clientHandle = h; }
  // 0 stores the canonical type.
  void setRequestedDataType(VARTYPE vt) { _requestedDataType = vt == VT_EMPTY ? canonicalDataType() : vt; }
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

 private:
  TDA2* _server;
  TOPCGroup* _group;
  VARTYPE _requestedDataType = VT_EMPTY;
  std::string _ref;
  bool _active = false;
  OPCHANDLE _serverHandle;
  OPCHANDLE _clientHandle = 0;
  TOPCItemProxy* _proxy;  // owned by the server's address space
};

// Item server handles: unique among the live items of the process, never 0..0xFFFFF.
OPCHANDLE MakeItemServerHandle();

class TOPCGroup : public IOPCItemMgt,
                  public IOPCGroupStateMgt,
                  public IOPCPublicGroupStateMgt,
                  public IOPCSyncIO {
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

  // Periodic work of one scan (subscriptions and asynchronous completions).
  virtual void scan();
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
  bool _active;
  bool _public = false;
  bool _onDataChangeEnabled = true;
  zelcom::ComPtr<IOPCDataCallback> _clientSink;
  uint32_t _lastUpdate = 0;
  DWORD _lastCancelId = 0;
};
