// The OPC DA server object and the process-wide server list.
#include "server/opcda/da2.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "com/ole_text.h"
#include "server/opcda/enumerators.h"
#include "server/opcda/group.h"
#include "server/opcda/opc_util.h"

std::vector<TDA2*> g_OpcServers;
TOpcLock g_OpcServersLock;

namespace {
constexpr char kNoNameGroup[] = "SYSTEM_NO_NAME_GROUP";
}

TDA2::TDA2()
    : _opcItemProperties(*static_cast<IOPCServer*>(this), *this),
      _connectionPoints(*static_cast<IOPCServer*>(this)) {
  _startTime = NowDate();
  // A single connection; the server never calls the sink, it only keeps it.
  _connectionPoints.Add(IID_IOPCShutdown, 1, [this](IUnknown* sink, bool connected) {
    _clientSink = connected ? zelcom::ComPtr<IOPCShutdown>(static_cast<IOPCShutdown*>(sink))
                            : nullptr;
  });
  ServerObjectCreated();
}

void TDA2::Initialize() {
  TOpcGuard g(g_OpcServersLock);
  g_OpcServers.push_back(this);
  _listed = true;
}

TDA2::~TDA2() {
  if (_listed) {
    TOpcGuard g(g_OpcServersLock);
    auto it = std::find(g_OpcServers.begin(), g_OpcServers.end(), this);
    if (it != g_OpcServers.end()) g_OpcServers.erase(it);
  }
  DetachGroups();
  if (auto* p = _connectionPoints.Find(IID_IOPCShutdown)) p->DisconnectAll();
  _clientSink.Reset();
  ServerObjectReleased();
}

void TDA2::DetachGroups() {
  std::vector<zelcom::ComPtr<IUnknown>> drop;
  {
    TOpcGuard g(_lock);
    // Last first; a group a client still holds survives detached.
    for (auto it = _live.rbegin(); it != _live.rend(); ++it) (*it)->Detach();
    _live.clear();
    _groups.clear();
    drop.swap(_ownRefs);
  }
  // Releasing may destroy groups; they no longer reach back (detached).
  while (!drop.empty()) drop.pop_back();
}

DATE TDA2::NowDate() { return NowLocalDate(); }

HRESULT TDA2::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCServer))
    *ppv = static_cast<IOPCServer*>(this);
  else if (IsEqualIID(riid, IID_IOPCCommon))
    *ppv = static_cast<IOPCCommon*>(this);
  else if (IsEqualIID(riid, IID_IOPCServerPublicGroups))
    *ppv = static_cast<IOPCServerPublicGroups*>(this);
  else if (IsEqualIID(riid, IID_IOPCBrowseServerAddressSpace))
    *ppv = static_cast<IOPCBrowseServerAddressSpace*>(this);
  else if (IsEqualIID(riid, IID_IOPCItemProperties))
    *ppv = static_cast<IOPCItemProperties*>(&_opcItemProperties);
  else if (IsEqualIID(riid, IID_IPersistFile) || IsEqualIID(riid, IID_IPersist))
    *ppv = static_cast<IPersistFile*>(this);
  else if (IsEqualIID(riid, IID_IConnectionPointContainer))
    *ppv = static_cast<IConnectionPointContainer*>(&_connectionPoints);
  else if (void* part = _classInfo.Find(riid))
    *ppv = part;
  else {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG TDA2::AddRef() { return ++refs_; }

ULONG TDA2::Release() {
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

// ---- groups

OPCHANDLE TDA2::MakeGroupServerHandle() {
  TOpcGuard g(_lock);
  return ++_lastGroupServerHandle;
}

void TDA2::AddToGroupList(TOPCGroup* grp) {
  TOpcGuard g(_lock);
  _live.push_back(grp);  // reserve first: the second push cannot fail then
  _groups.reserve(_groups.size() + 1);
  _groups.push_back(grp);
}

void TDA2::GroupGone(TOPCGroup* grp) {
  TOpcGuard g(_lock);
  std::erase(_groups, grp);
  std::erase(_live, grp);
}

TOPCGroup* TDA2::FindGroupByName(const std::string& name) {
  TOpcGuard g(_lock);
  for (TOPCGroup* grp : _groups)
    if (grp->name() == name) return grp;
  return nullptr;
}

TOPCGroup* TDA2::FindGroupByServerHandle(OPCHANDLE h) {
  TOpcGuard g(_lock);
  for (TOPCGroup* grp : _groups)
    if (grp->serverHandle() == h) return grp;
  return nullptr;
}

size_t TDA2::GroupCount() {
  TOpcGuard g(_lock);
  return _groups.size();
}

TOPCGroup* TDA2::CreateGroup(const std::string& name, bool active, DWORD requestedUpdateRate,
                             OPCHANDLE clientHandle, DWORD lcid) {
  return TOPCGroup::Create(this, name, active, requestedUpdateRate, clientHandle, lcid);
}

HRESULT TDA2::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate,
                       OPCHANDLE hClientGroup, LONG* pTimeBias, FLOAT* pPercentDeadband,
                       DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate,
                       REFIID riid, LPUNKNOWN* ppUnk) {
  (void)pTimeBias;
  (void)pPercentDeadband;
  try {
    if (ppUnk) *ppUnk = nullptr;
    std::string requested = OleToUtf8(szName);
    std::string name = requested.empty() ? kNoNameGroup : requested;
    OpcLog("TDA2.AddGroup:szName=%s", name.c_str());
    TOpcGuard g(_lock);
    for (unsigned n = 1; FindGroupByName(name); ++n) name = requested + std::to_string(n);
    TOPCGroup* grp = CreateGroup(name, bActive != 0, dwRequestedUpdateRate, hClientGroup, dwLCID);
    if (!grp) return E_OUTOFMEMORY;
    // The creator's reference becomes the server's own.
    auto own = zelcom::ComPtr<IUnknown>::Adopt(grp->Unknown());
    if (ppUnk) {
      HRESULT hr = grp->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
      if (FAILED(hr)) return hr;  // own goes, and with it the group
    }
    _ownRefs.push_back(std::move(own));
    if (pRevisedUpdateRate) *pRevisedUpdateRate = grp->requestedUpdateRate();
    if (phServerGroup) *phServerGroup = grp->serverHandle();
    return S_OK;
  } catch (...) {
    if (ppUnk && *ppUnk) {
      (*ppUnk)->Release();
      *ppUnk = nullptr;
    }
    return E_OUTOFMEMORY;
  }
}

HRESULT TDA2::GetErrorStringCommon(HRESULT dwError, LPWSTR* ppString) {
  try {
    if (!ppString) return E_INVALIDARG;
    *ppString = nullptr;
    std::string text = OPCErrorCodeToString(dwError);
    OpcLog("TDA2.GetErrorString:dwError=%d,Str=%s", static_cast<int>(dwError), text.c_str());
    *ppString = Utf8ToTaskString(text);
    return *ppString ? S_OK : E_OUTOFMEMORY;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT TDA2::GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) {
  (void)dwLocale;
  return GetErrorStringCommon(dwError, ppString);
}

HRESULT TDA2::GetGroupByNameImpl(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
  try {
    if (ppUnk) *ppUnk = nullptr;
    std::string name = OleToUtf8(szName);
    if (name.empty()) name = kNoNameGroup;
    TOpcGuard g(_lock);
    TOPCGroup* grp = FindGroupByName(name);
    if (!grp || !ppUnk) {
      OpcLog("TDA2.GetGroupByName_ERROR:szName=%s", name.c_str());
      return E_INVALIDARG;
    }
    OpcLog("TDA2.GetGroupByName_OK:szName=%s", name.c_str());
    return grp->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT TDA2::GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
  return GetGroupByNameImpl(szName, riid, ppUnk);
}

HRESULT TDA2::GetStatus(OPCSERVERSTATUS** ppServerStatus) {
  try {
    if (!ppServerStatus) {
      OpcLog("TDA2.GetStatus:E_INVALIDARG");
      return E_INVALIDARG;
    }
    *ppServerStatus = nullptr;
    auto* st = static_cast<OPCSERVERSTATUS*>(taskMemAlloc(1, tmaServerStatus));
    if (!st) return E_OUTOFMEMORY;
    {
      TOpcGuard g(_lock);
      st->ftStartTime = DataTimeToOPCTime(_startTime);
      st->ftCurrentTime = DataTimeToOPCTime(NowDate());
      // Before the first scan the last update is the start (a zero local time would
      // turn into a time before 1601).
      st->ftLastUpdateTime = DataTimeToOPCTime(_lastUpdateTime != 0 ? _lastUpdateTime : _startTime);
      st->dwServerState = OPC_STATUS_RUNNING;
      st->dwGroupCount = static_cast<DWORD>(_groups.size());
      st->dwBandWidth = 100;
      GetServerInfo(*st);
    }
    if (!st->szVendorInfo) {
      CoTaskMemFree(st);
      return E_OUTOFMEMORY;
    }
    OpcLog("TDA2.GetStatus:OK");
    *ppServerStatus = st;
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

void TDA2::GetServerInfo(OPCSERVERSTATUS& status) {
  status.wMajorVersion = 1;
  status.wMinorVersion = 2;
  status.wBuildNumber = 5;
  CoTaskMemFree(status.szVendorInfo);
  status.szVendorInfo = Utf8ToTaskString("Vendor Info");
}

HRESULT TDA2::RemoveGroupImpl(OPCHANDLE hServerGroup, BOOL bForce) {
  try {
    TOpcGuard g(_lock);
    TOPCGroup* grp = hServerGroup ? FindGroupByServerHandle(hServerGroup) : nullptr;
    if (!grp) {
      OpcLog("TDA2.RemoveGroup:E_INVALIDARG");
      return E_INVALIDARG;
    }
    auto own = std::find_if(_ownRefs.begin(), _ownRefs.end(),
                            [&](const auto& p) { return p.Get() == grp->Unknown(); });
    ULONG others = grp->refCount() - (own != _ownRefs.end() ? 1 : 0);
    if (!bForce && others > 1) {
      OpcLog("TDA2.RemoveGroup:OPC_S_INUSE");
      return OPC_S_INUSE;
    }
    std::string name = grp->name();
    std::erase(_groups, grp);
    // Dropping the server's reference may destroy the group: last step.
    zelcom::ComPtr<IUnknown> drop;
    if (own != _ownRefs.end()) {
      drop = std::move(*own);
      _ownRefs.erase(own);
    }
    OpcLog("TDA2.RemoveGroup:OK,group=%s", name.c_str());
    return S_OK;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT TDA2::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) {
  return RemoveGroupImpl(hServerGroup, bForce);
}

HRESULT TDA2::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) {
  try {
    if (!ppUnk) return E_POINTER;
    *ppUnk = nullptr;
    bool strings = IsEqualIID(riid, IID_IEnumString);
    if (!strings && !IsEqualIID(riid, IID_IEnumUnknown)) return E_NOINTERFACE;
    bool priv, pub;
    switch (dwScope) {
      case OPC_ENUM_PRIVATE_CONNECTIONS:
      case OPC_ENUM_PRIVATE: priv = true, pub = false; break;
      case OPC_ENUM_PUBLIC_CONNECTIONS:
      case OPC_ENUM_PUBLIC: priv = false, pub = true; break;
      case OPC_ENUM_ALL_CONNECTIONS:
      case OPC_ENUM_ALL: priv = true, pub = true; break;
      default: return E_INVALIDARG;
    }
    TOpcGuard g(_lock);
    std::vector<TOPCGroup*> sel;
    for (TOPCGroup* grp : _groups)
      if (priv && !grp->isPublic()) sel.push_back(grp);
    for (TOPCGroup* grp : _groups)
      if (pub && grp->isPublic()) sel.push_back(grp);
    if (strings) {
      std::vector<std::string> names;
      for (TOPCGroup* grp : sel) names.push_back(grp->name());
      *ppUnk = new TOPCStringsEnumerator(std::move(names));
    } else {
      std::vector<zelcom::ComPtr<IUnknown>> units;
      for (TOPCGroup* grp : sel) units.emplace_back(grp->Unknown());
      *ppUnk = new TS3UnknownEnumerator(std::move(units));
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// ---- IOPCCommon

HRESULT TDA2::SetLocaleID(LCID dwLcid) {
  if (dwLcid != LOCALE_SYSTEM_DEFAULT && dwLcid != LOCALE_USER_DEFAULT) return E_INVALIDARG;
  TOpcGuard g(_lock);
  _localID = dwLcid;
  return S_OK;
}

HRESULT TDA2::GetLocaleID(LCID* pdwLcid) {
  if (!pdwLcid) return E_INVALIDARG;
  *pdwLcid = _localID;
  return S_OK;
}

HRESULT TDA2::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) {
  if (!pdwCount || !pdwLcid) return E_INVALIDARG;
  *pdwCount = 0;
  *pdwLcid = static_cast<LCID*>(taskMemAlloc(2, tmaLCID));
  if (!*pdwLcid) return E_OUTOFMEMORY;
  (*pdwLcid)[0] = LOCALE_SYSTEM_DEFAULT;
  (*pdwLcid)[1] = LOCALE_USER_DEFAULT;
  *pdwCount = 2;
  return S_OK;
}

HRESULT TDA2::GetErrorString(HRESULT dwError, LPWSTR* ppString) {
  return GetErrorStringCommon(dwError, ppString);
}

HRESULT TDA2::SetClientName(LPCWSTR szName) {
  try {
    _clientName = OleToUtf8(szName);
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// ---- IOPCServerPublicGroups: the same search and removal over all groups.

HRESULT TDA2::GetPublicGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
  return GetGroupByNameImpl(szName, riid, ppUnk);
}

HRESULT TDA2::RemovePublicGroup(OPCHANDLE hServerGroup, BOOL bForce) {
  return RemoveGroupImpl(hServerGroup, bForce);
}

// ---- IOPCBrowseServerAddressSpace

HRESULT TDA2::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) {
  if (!pNameSpaceType) return E_INVALIDARG;
  *pNameSpaceType = OPC_NS_HIERARCHIAL;
  return S_OK;
}

HRESULT TDA2::ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) {
  try {
    std::string s = RemoveSelfNamePrefix(OleToUtf8(szString));
    auto sep = [](char c) { return c == '/' || c == '\\' || c == '.'; };
    if (!s.empty() && sep(s.front())) s.erase(0, 1);
    if (!s.empty() && sep(s.back())) s.pop_back();
    TOpcGuard g(_lock);
    HRESULT hr = S_OK;
    const char* dir = "#ERROR#";
    switch (dwBrowseDirection) {
      case OPC_BROWSE_UP: dir = "UP", hr = ChangePosUp(); break;
      case OPC_BROWSE_DOWN: dir = "DOWN", hr = ChangePosDown(s); break;
      case OPC_BROWSE_TO: dir = "TO", hr = ChangePosTo(s); break;
      default: break;
    }
    if (OpcIsLog())
      OpcLog("ChangeBrowsePos:Dir=%d(%s);Pos=%s;CurGroup=%s", static_cast<int>(dwBrowseDirection),
             dir, s.c_str(), CurrentBranchName().c_str());
    return hr;
  } catch (...) {
    return E_FAIL;
  }
}

HRESULT TDA2::BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                               VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                               LPENUMSTRING* ppIEnumString) {
  try {
    if (!ppIEnumString) return E_POINTER;
    *ppIEnumString = nullptr;
    std::vector<std::string> list;
    const char* type = "#ERROR#";
    TOpcGuard g(_lock);
    bool rights = dwAccessRightsFilter == 0 || dwAccessRightsFilter == (OPC_READABLE | OPC_WRITEABLE);
    switch (dwBrowseFilterType) {
      case OPC_BRANCH:
        type = "Branch";
        if (rights) FillGroupList(list, vtDataTypeFilter);
        break;
      case OPC_LEAF:
        type = "Leaf";
        if (rights) FillLeafItemList(list, vtDataTypeFilter);
        break;
      case OPC_FLAT:
        type = "Flat";
        if (rights) FillFlatItemList(list, vtDataTypeFilter);
        break;
      default: break;
    }
    if (OpcIsLog())
      OpcLog("BrowseOPCItemIDs:BrowseType=%s;DataType=%d(%s);AccRight=%u;Count=%u;Filter=\"%s\";CurGroup=\"%s\"",
             type, static_cast<int>(vtDataTypeFilter), VarTypeName(vtDataTypeFilter),
             static_cast<unsigned>(dwAccessRightsFilter), static_cast<unsigned>(list.size()),
             OleToUtf8(szFilterCriteria).c_str(), CurrentBranchName().c_str());
    *ppIEnumString = new TOPCStringsEnumerator(std::move(list));
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT TDA2::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) {
  try {
    if (!szItemID) return E_INVALIDARG;
    *szItemID = nullptr;
    std::string in = OleToUtf8(szItemDataID);
    TOpcGuard g(_lock);
    std::string full = ExpandFullName(in);
    if (full.empty()) {
      OpcLog("TDA2.GetItemID_ERROR:szItemDataID=%s", in.c_str());
      return OPC_E_UNKNOWNITEMID;
    }
    *szItemID = Utf8ToTaskString(full);
    if (!*szItemID) return E_OUTOFMEMORY;
    OpcLog("TDA2.GetItemID_OK:szItemDataID=\"%s\";szItemID=\"%s\";", in.c_str(), full.c_str());
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT TDA2::BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) {
  if (ppIEnumString) *ppIEnumString = nullptr;
  try {
    OpcLog("BrowseAccessPaths_ERROR:szItemID=%s", OleToUtf8(szItemID).c_str());
  } catch (...) {
  }
  return E_NOTIMPL;
}

// ---- IPersistFile: nothing to persist.

HRESULT TDA2::GetClassID(CLSID* pClassID) {
  (void)pClassID;
  return S_FALSE;
}
HRESULT TDA2::IsDirty() { return S_FALSE; }
HRESULT TDA2::Load(LPCOLESTR, DWORD) { return S_FALSE; }
HRESULT TDA2::Save(LPCOLESTR, BOOL) { return S_FALSE; }
HRESULT TDA2::SaveCompleted(LPCOLESTR) { return S_FALSE; }
HRESULT TDA2::GetCurFile(LPOLESTR* ppszFileName) {
  if (ppszFileName) *ppszFileName = nullptr;
  return S_FALSE;
}

// ---- scans

void TDA2::Scan() {
  // The client may release the server in a group's callback: held until the end, and
  // declared before the guard so the lock is left first.
  zelcom::ComPtr<IUnknown> self(Unknown());
  TOpcGuard g(_lock);
  _lastUpdateTime = NowDate();
  // A copy with references: a callback may remove groups while the loop runs.
  std::vector<zelcom::ComPtr<IUnknown>> hold;
  std::vector<TOPCGroup*> groups = _groups;
  hold.reserve(groups.size());
  for (TOPCGroup* grp : groups) hold.emplace_back(grp->Unknown());
  for (TOPCGroup* grp : groups) {
    // A group removed by an earlier group's callback no longer calls its client.
    if (std::find(_groups.begin(), _groups.end(), grp) != _groups.end()) grp->scan();
  }
}

void ScanOPCServers() {
  try {
    TOpcGuard g(g_OpcServersLock);
    std::vector<zelcom::ComPtr<IUnknown>> hold;
    std::vector<TDA2*> servers = g_OpcServers;
    for (TDA2* s : servers) hold.emplace_back(s->Unknown());
    for (TDA2* s : servers) s->Scan();
  } catch (...) {
    // A scan that cannot copy its list skips this tick.
  }
}

void KillOPCServers() {
  std::vector<TDA2*> servers;
  {
    TOpcGuard g(g_OpcServersLock);
    servers = g_OpcServers;
  }
  for (auto it = servers.rbegin(); it != servers.rend(); ++it) {
    try {
      CoDisconnectObject((*it)->Unknown(), 0);
      delete *it;
    } catch (...) {
      // One object's failure does not keep the others alive.
    }
  }
  CoUninitialize();
}
