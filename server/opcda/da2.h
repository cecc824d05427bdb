// TDA2: the OPC DA 2.0 server object one client creates. It answers IOPCServer,
// IOPCCommon, IOPCServerPublicGroups, IOPCBrowseServerAddressSpace, IOPCItemProperties
// (embedded TOPCItemProp), IPersistFile (stubs), IConnectionPointContainer with one
// IOPCShutdown point, and the automation side: IDispatch with the member-less dual IDA2,
// IProvideClassInfo, ISupportErrorInfo (server/opcda/class_info.h). The address space (browse tree, item lookup, group class) is left
// to a derived class.
//
// Threading: COM calls, scans and callbacks run on the main thread (single-threaded
// apartment). Locks, outermost first: g_OpcServersLock, a server's _lock, a group's
// _lock; all re-entrant. Re-entrancy: while a callback is out at a client, another call
// of that client may arrive on the same thread. Loops that call out therefore walk a
// copy of the list holding a reference to each element, so a group or server removed
// meanwhile stays valid until the loop is done.
//
// Lifetime: the server holds one reference to each group made by AddGroup; a group
// points back without a reference. When the server goes, every group it still knows is
// detached (its items dropped: their value objects belong to the server), so a group a
// client still holds answers without touching freed memory.
#pragma once
#include <memory>
#include "server/opcda/class_info.h"
#include "server/opcda/com_server.h"
#include "server/opcda/opc_lock.h"
#include <string>
#include <vector>

#include "com/com.h"
#include "com/com_ptr.h"
#include "com/connection_point.h"
#include "com/opc_da.h"
#include "server/opcda/item_prop.h"
#include "server/opcda/item_proxy.h"

class TOPCGroup;
class TDA2;

// Every live server object in creation order, and its lock.
extern std::vector<TDA2*> g_OpcServers;
extern TOpcLock g_OpcServersLock;

class TDA2 : public IOPCServer,
             public IOPCCommon,
             public IOPCServerPublicGroups,
             public IOPCBrowseServerAddressSpace,
             public IPersistFile,
             public TOPCProxyFinder {
 public:
  TDA2(const TDA2&) = delete;
  TDA2& operator=(const TDA2&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IOPCServer
  HRESULT STDMETHODCALLTYPE AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                                     OPCHANDLE hClientGroup, LONG* pTimeBias,
                                     FLOAT* pPercentDeadband, DWORD dwLCID,
                                     OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                                     REFIID riid, LPUNKNOWN* ppUnk) override;
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LCID dwLocale,
                                           LPWSTR* ppString) override;
  HRESULT STDMETHODCALLTYPE GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
  HRESULT STDMETHODCALLTYPE GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
  HRESULT STDMETHODCALLTYPE RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
  HRESULT STDMETHODCALLTYPE CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid,
                                                  LPUNKNOWN* ppUnk) override;
  // IOPCCommon
  HRESULT STDMETHODCALLTYPE SetLocaleID(LCID dwLcid) override;
  HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* pdwLcid) override;
  HRESULT STDMETHODCALLTYPE QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
  HRESULT STDMETHODCALLTYPE GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
  HRESULT STDMETHODCALLTYPE SetClientName(LPCWSTR szName) override;
  // IOPCServerPublicGroups
  HRESULT STDMETHODCALLTYPE GetPublicGroupByName(LPCWSTR szName, REFIID riid,
                                                 LPUNKNOWN* ppUnk) override;
  HRESULT STDMETHODCALLTYPE RemovePublicGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
  // IOPCBrowseServerAddressSpace
  HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
  HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection,
                                                 LPCWSTR szString) override;
  HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType,
                                             LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                                             DWORD dwAccessRightsFilter,
                                             LPENUMSTRING* ppIEnumString) override;
  HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
  HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR szItemID,
                                              LPENUMSTRING* ppIEnumString) override;
  // IPersistFile: stubs.
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  HRESULT STDMETHODCALLTYPE IsDirty() override;
  HRESULT STDMETHODCALLTYPE Load(LPCOLESTR pszFileName, DWORD dwMode) override;
  HRESULT STDMETHODCALLTYPE Save(LPCOLESTR pszFileName, BOOL fRemember) override;
  HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR pszFileName) override;
  HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* ppszFileName) override;

  // The address space, implemented by the namespace server. Names are UTF-8.
  virtual HRESULT ChangePosDown(const std::string& sName) = 0;
  virtual HRESULT ChangePosTo(const std::string& sName) = 0;
  virtual HRESULT ChangePosUp() = 0;
  virtual void FillFlatItemList(std::vector<std::string>& list, VARTYPE vtype) = 0;
  virtual void FillLeafItemList(std::vector<std::string>& list, VARTYPE vtype) = 0;
  virtual void FillGroupList(std::vector<std::string>& list, VARTYPE vtype) = 0;
  virtual std::string RemoveSelfNamePrefix(const std::string& fullName) = 0;
  // Name of the current browse branch, for log lines.
  virtual std::string CurrentBranchName() = 0;
  // One scan: the groups' periodic work, then what a derived class adds.
  virtual void Scan();
  // A new group of the server's group class, already in the group list; null on failure.
  virtual TOPCGroup* CreateGroup(const std::string& name, bool active, DWORD requestedUpdateRate,
                                 OPCHANDLE clientHandle, DWORD lcid);
  virtual void GetServerInfo(OPCSERVERSTATUS& status);
  TOPCItemProxy* FindProxy(const std::string& itemId) override = 0;
  virtual std::string ExpandFullName(const std::string& nameInGroup) = 0;

  // Used by the groups.
  TOpcLock& Lock() { return _lock; }
  OPCHANDLE MakeGroupServerHandle();
  void AddToGroupList(TOPCGroup* g);  // the group's creation
  void GroupGone(TOPCGroup* g);       // the group's destructor
  TOPCGroup* FindGroupByName(const std::string& name);
  TOPCGroup* FindGroupByServerHandle(OPCHANDLE h);
  void TouchLastUpdate() { _lastUpdateTime = NowDate(); }
  size_t GroupCount();
  IUnknown* Unknown() { return static_cast<IOPCServer*>(this); }

 protected:
  TDA2();
  virtual ~TDA2();
  // Second stage of creation: joins g_OpcServers. Derived classes build their address
  // space after calling it.
  virtual void Initialize();
  static DATE NowDate();
  // Detaches every group (their items go); a derived class calls it before it frees the
  // value objects the items point to.
  void DetachGroups();

 private:
  HRESULT GetErrorStringCommon(HRESULT dwError, LPWSTR* ppString);
  HRESULT GetGroupByNameImpl(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk);
  HRESULT RemoveGroupImpl(OPCHANDLE hServerGroup, BOOL bForce);

  ULONG refs_ = 1;
  TOPCItemProp _opcItemProperties;
  zelcom::ConnectionPointContainer _connectionPoints;
  // IDispatch (dual IDA2), IProvideClassInfo and ISupportErrorInfo of the server class.
  TClassInfoPart _classInfo{*static_cast<IOPCServer*>(this), TZelType::ServerClass, true};
  TOpcLock _lock;
  std::vector<TOPCGroup*> _groups;  // GUARDED_BY(_lock): listed groups, creation order
  // GUARDED_BY(_lock): every live group of this server, removed ones included, so each
  // is detached when the server goes.
  std::vector<TOPCGroup*> _live;
  // Groups made through AddGroup hold one reference of the server's own.
  std::vector<zelcom::ComPtr<IUnknown>> _ownRefs;
  LCID _localID = LOCALE_SYSTEM_DEFAULT;
  std::string _clientName;
  DATE _startTime = 0;
  DATE _lastUpdateTime = 0;
  zelcom::ComPtr<IOPCShutdown> _clientSink;
  OPCHANDLE _lastGroupServerHandle = 0;
  bool _listed = false;  // in g_OpcServers

  friend void KillOPCServers();
};

// One scan of every server object (the main window's 200 ms timer).
void ScanOPCServers();
// Program end: disconnects and destroys every server object, last first.
void KillOPCServers();
