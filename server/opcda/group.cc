// The OPC DA group and its items.
#include "server/opcda/group.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "com/ole_text.h"
#include "server/opcda/da2.h"
#include "server/opcda/opc_util.h"

namespace {

constexpr OPCHANDLE kFirstItemHandle = 0x100000;
std::atomic<OPCHANDLE> g_lastItemHandle{kFirstItemHandle - 1};

}  // namespace

OPCHANDLE MakeItemServerHandle() {
  // Drawn from one process-wide counter; after 2^32 - 2^20 items it starts again above
  // the reserved range.
  OPCHANDLE h = ++g_lastItemHandle;
  while (h < kFirstItemHandle) h = ++g_lastItemHandle;
  return h;
}

// ---- TOPCItem

TOPCItem::TOPCItem(TDA2* server, TOPCGroup* group, TOPCItemProxy* proxy, const std::string& ref)
    : _server(server), _group(group), _ref(ref), _serverHandle(MakeItemServerHandle()),
      _proxy(proxy) {
  (void)_server;
  (void)_group;
}

HRESULT TOPCItem::readItemValueStateTime(OPCITEMSTATE& state, bool outOfService) {
  state.hClient = _clientHandle;
  state.ftTimeStamp = DataTimeToOPCTime(_proxy->lastUpdate());
  VariantInit(&state.vDataValue);
  HRESULT hr = _proxy->value(&state.vDataValue);
  if (FAILED(hr)) {
    VariantClear(&state.vDataValue);
    return hr;
  }
  state.wQuality = outOfService ? OPC_QUALITY_OUT_OF_SERVICE : _proxy->quality();
  return S_OK;
}

HRESULT TOPCItem::getCurrentValue(VARIANT* out) {
  VARIANT v;
  VariantInit(&v);
  HRESULT hr = _proxy->value(&v);
  if (SUCCEEDED(hr) && _requestedDataType != VT_EMPTY && _requestedDataType != canonicalDataType()) {
    hr = ConvertVariant(v, _requestedDataType, out);
    VariantClear(&v);
    return hr;
  }
  *out = v;  // moved: nothing to clear
  return hr;
}

// ---- TOPCGroup: creation and lifetime

TOPCGroup::TOPCGroup(TDA2* server, const std::string& name, bool active, DWORD requestedUpdateRate,
                     OPCHANDLE clientHandle, DWORD lcid)
    : _connectionPoints(*static_cast<IOPCItemMgt*>(this)), _server(server), _name(name),
      _clientHandle(clientHandle), _requestedUpdateRate(validateRequestedUpDateRate(requestedUpdateRate)),
      _LCID(lcid), _active(active) {
  _connectionPoints.Add(IID_IOPCDataCallback, 1, [this](IUnknown* sink, bool connected) {
    TOpcGuard g(_lock);
    _clientSink = connected ? zelcom::ComPtr<IOPCDataCallback>(static_cast<IOPCDataCallback*>(sink))
                            : nullptr;
  });
  ServerObjectCreated();
}

TOPCGroup* TOPCGroup::Create(TDA2* server, const std::string& name, bool active,
                             DWORD requestedUpdateRate, OPCHANDLE clientHandle, DWORD lcid) {
  try {
    return Register(new TOPCGroup(server, name, active, requestedUpdateRate, clientHandle, lcid),
                    server);
  } catch (...) {
    return nullptr;
  }
}

TOPCGroup* TOPCGroup::Register(TOPCGroup* g, TDA2* server) {
  try {
    g->_serverHandle = server->MakeGroupServerHandle();
    server->TouchLastUpdate();
    server->AddToGroupList(g);
    return g;
  } catch (...) {
    g->Release();
    return nullptr;
  }
}

TOPCGroup::~TOPCGroup() {
  {
    TOpcGuard g(_lock);
    while (!_items.empty()) _items.pop_back();  // last first
    _byHandle.clear();
    _asyncList.clear();
  }
  if (auto* p = _connectionPoints.Find(IID_IOPCDataCallback)) p->DisconnectAll();
  _clientSink.Reset();
  if (_server) _server->GroupGone(this);
  ServerObjectReleased();
}

void TOPCGroup::Detach() {
  TOpcGuard g(_lock);
  _byHandle.clear();
  _items.clear();
  _server = nullptr;
}

HRESULT TOPCGroup::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCItemMgt))
    *ppv = static_cast<IOPCItemMgt*>(this);
  else if (IsEqualIID(riid, IID_IOPCGroupStateMgt))
    *ppv = static_cast<IOPCGroupStateMgt*>(this);
  else if (IsEqualIID(riid, IID_IOPCPublicGroupStateMgt))
    *ppv = static_cast<IOPCPublicGroupStateMgt*>(this);
  else if (IsEqualIID(riid, IID_IOPCSyncIO))
    *ppv = static_cast<IOPCSyncIO*>(this);
  else if (IsEqualIID(riid, IID_IOPCAsyncIO2))
    *ppv = static_cast<IOPCAsyncIO2*>(this);
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

ULONG TOPCGroup::AddRef() { return ++refs_; }

ULONG TOPCGroup::Release() {
  ULONG n = --refs_;
  if (n == 0) delete this;
  return n;
}

TOPCItem* TOPCGroup::FindItem(OPCHANDLE h) {
  auto it = _byHandle.find(h);
  return it == _byHandle.end() ? nullptr : it->second;
}

std::vector<TOPCItem*> TOPCGroup::getActiveItems() {
  TOpcGuard g(_lock);
  std::vector<TOPCItem*> out;
  for (auto& it : _items)
    if (it->active()) out.push_back(it.get());
  return out;
}

// ---- IOPCItemMgt

namespace {

// Frees the result arrays of an item-definition method that failed half-way.
void DropResults(OPCITEMRESULT*& r, HRESULT*& e) {
  CoTaskMemFree(r);
  CoTaskMemFree(e);
  r = nullptr;
  e = nullptr;
}

}  // namespace

HRESULT TOPCGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                            HRESULT** ppErrors) {
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  size_t firstNew = _items.size();
  try {
    if (!ppAddResults || !ppErrors) return E_POINTER;
    *ppAddResults = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0) return E_INVALIDARG;
    if (!pItemArray) return E_INVALIDARG;
    if (!_server) return E_FAIL;
    results = static_cast<OPCITEMRESULT*>(taskMemAlloc(dwCount, tmaItemResult));
    errors = static_cast<HRESULT*>(taskMemAlloc(dwCount, tmaHResult));
    if (!results || !errors) {
      DropResults(results, errors);
      return E_OUTOFMEMORY;
    }
    TOpcGuard g(_lock);
    // Room for every new item first, so the loop below cannot fail half-way.
    _items.reserve(_items.size() + dwCount);
    _byHandle.reserve(_byHandle.size() + dwCount);
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      const OPCITEMDEF& d = pItemArray[i];
      std::string id = OleToUtf8(d.szItemID);
      TOPCItemProxy* proxy = nullptr;
      if (id.empty()) {
        errors[i] = OPC_E_INVALIDITEMID;
      } else if (!(proxy = _server->FindProxy(id))) {
        errors[i] = OPC_E_UNKNOWNITEMID;
      } else if (static_cast<unsigned>(d.vtRequestedDataType) > VT_I8) {
        errors[i] = OPC_E_BADTYPE;
      } else {
        auto item = std::make_unique<TOPCItem>(_server, this, proxy, id);
        item->setActive(d.bActive != 0);
        item->setClientHandle(d.hClient);
        item->setRequestedDataTypeRaw(d.vtRequestedDataType);
        OPCITEMRESULT& r = results[i];
        r.hServer = item->serverHandle();
        r.vtCanonicalDataType = item->canonicalDataType();
        r.dwAccessRights = item->accessRights();
        r.dwBlobSize = 0;
        r.pBlob = nullptr;
        _byHandle.emplace(item->serverHandle(), item.get());
        _items.push_back(std::move(item));
        errors[i] = S_OK;
      }
      if (errors[i] != S_OK) result = S_FALSE;
    }
    *ppAddResults = results;
    *ppErrors = errors;
    return result;
  } catch (...) {
    // All or nothing: the items this call added go again, as the client gets no handles.
    TOpcGuard g(_lock);
    for (size_t i = firstNew; i < _items.size(); ++i) _byHandle.erase(_items[i]->serverHandle());
    if (_items.size() > firstNew) _items.resize(firstNew);
    DropResults(results, errors);
    return E_OUTOFMEMORY;
  }
}

HRESULT TOPCGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                 OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
  (void)bBlobUpdate;
  try {
    if (!ppValidationResults || !ppErrors) return E_POINTER;
    *ppValidationResults = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0 || !pItemArray) return E_INVALIDARG;
    if (!_server) return E_FAIL;
    auto* results = static_cast<OPCITEMRESULT*>(taskMemAlloc(dwCount, tmaItemResult));
    auto* errors = static_cast<HRESULT*>(taskMemAlloc(dwCount, tmaHResult));
    if (!results || !errors) {
      DropResults(results, errors);
      return E_OUTOFMEMORY;
    }
    TOpcGuard g(_lock);
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      TOPCItemProxy* proxy = _server->FindProxy(OleToUtf8(pItemArray[i].szItemID));
      if (proxy) {
        results[i].vtCanonicalDataType = proxy->datatype();
        results[i].dwAccessRights = proxy->accessRights();
        errors[i] = S_OK;
      } else {
        errors[i] = OPC_E_INVALIDITEMID;
        result = S_FALSE;
      }
    }
    *ppValidationResults = results;
    *ppErrors = errors;
    return result;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

template <class F>
HRESULT TOPCGroup::PerHandle(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors, F&& f) {
  try {
    if (!ppErrors) return E_POINTER;
    *ppErrors = nullptr;
    if (dwCount == 0 || !phServer) return E_INVALIDARG;
    auto* errors = static_cast<HRESULT*>(taskMemAlloc(dwCount, tmaHResult));
    if (!errors) return E_OUTOFMEMORY;
    TOpcGuard g(_lock);
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      TOPCItem* item = FindItem(phServer[i]);
      errors[i] = item ? f(*item, i) : OPC_E_INVALIDHANDLE;
      if (errors[i] != S_OK) result = S_FALSE;
    }
    *ppErrors = errors;
    return result;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT TOPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
  return PerHandle(dwCount, phServer, ppErrors, [this](TOPCItem& item, DWORD) {
    TOPCItem* p = &item;
    _byHandle.erase(p->serverHandle());
    auto it = std::find_if(_items.begin(), _items.end(), [p](const auto& u) { return u.get() == p; });
    if (it != _items.end()) _items.erase(it);
    return S_OK;
  });
}

HRESULT TOPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                  HRESULT** ppErrors) {
  return PerHandle(dwCount, phServer, ppErrors, [bActive](TOPCItem& item, DWORD) {
    item.setActive(bActive != 0);
    return S_OK;
  });
}

HRESULT TOPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                    HRESULT** ppErrors) {
  if (!phClient && dwCount > 0) return E_INVALIDARG;
  return PerHandle(dwCount, phServer, ppErrors, [phClient](TOPCItem& item, DWORD i) {
    item.setClientHandle(phClient[i]);
    return S_OK;
  });
}

HRESULT TOPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                HRESULT** ppErrors) {
  if (!pRequestedDatatypes && dwCount > 0) return E_INVALIDARG;
  return PerHandle(dwCount, phServer, ppErrors, [pRequestedDatatypes](TOPCItem& item, DWORD i) {
    VARTYPE vt = pRequestedDatatypes[i];
    if (vt > VT_I8) return OPC_E_BADTYPE;
    item.setRequestedDataType(vt);
    return S_OK;
  });
}

HRESULT TOPCGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) {
  try {
    if (!ppUnk) return E_POINTER;
    *ppUnk = nullptr;
    TOpcGuard g(_lock);
    if (_items.empty()) return S_FALSE;
    std::vector<TOPCItemAttributes> snaps;
    snaps.reserve(_items.size());
    for (auto& it : _items) {
      TOPCItemAttributes a;
      a._active = it->active();
      a._itemID = it->ref();
      a._requestedDataType = it->requestedDataType();
      a._canonicalDataType = it->canonicalDataType();
      a._clientHandle = it->clientHandle();
      a._serverHandle = it->serverHandle();
      a._accessRights = it->accessRights();
      snaps.push_back(std::move(a));
    }
    auto e = zelcom::ComPtr<IEnumOPCItemAttributes>::Adopt(new TOPCItemAttEnumerator(std::move(snaps)));
    return e->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// ---- IOPCGroupStateMgt

HRESULT TOPCGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                            FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                            OPCHANDLE* phServerGroup) {
  try {
    TOpcGuard g(_lock);
    if (ppName) {
      *ppName = Utf8ToTaskString(_name);
      if (!*ppName) return E_OUTOFMEMORY;
    }
    if (pUpdateRate) *pUpdateRate = _requestedUpdateRate;
    if (pActive) *pActive = _active ? TRUE : FALSE;
    if (pTimeBias) *pTimeBias = 0;
    if (pPercentDeadband) *pPercentDeadband = 0.0f;
    if (pLCID) *pLCID = _LCID;
    if (phClientGroup) *phClientGroup = _clientHandle;
    if (phServerGroup) *phServerGroup = _serverHandle;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT TOPCGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                            LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                            OPCHANDLE* phClientGroup) {
  (void)pTimeBias;
  (void)pPercentDeadband;
  TOpcGuard g(_lock);
  if (pRequestedUpdateRate) _requestedUpdateRate = validateRequestedUpDateRate(*pRequestedUpdateRate);
  if (pActive) {
    // A group that turns active reports every active item at its next report.
    if (*pActive && !_active)
      for (auto& it : _items) it->forgetSent();
    _active = *pActive != 0;
  }
  if (pLCID) _LCID = *pLCID;
  if (phClientGroup) _clientHandle = *phClientGroup;
  if (pRevisedUpdateRate) *pRevisedUpdateRate = _requestedUpdateRate;
  return S_OK;
}

HRESULT TOPCGroup::SetName(LPCWSTR szName) {
  try {
    std::string name = OleToUtf8(szName);
    if (name.empty()) return E_INVALIDARG;
    if (!_server) return E_FAIL;
    // The name check takes the server's lock, before the group's.
    if (_server->FindGroupByName(name)) return OPC_E_DUPLICATENAME;
    TOpcGuard g(_lock);
    _name = name;
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT TOPCGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
  try {
    if (!ppUnk) return E_POINTER;
    *ppUnk = nullptr;
    if (!IsEqualIID(riid, IID_IOPCGroupStateMgt) && !IsEqualIID(riid, IID_IUnknown))
      return E_NOINTERFACE;
    if (!_server) return E_FAIL;
    TDA2* server = _server;
    std::string requested = OleToUtf8(szName);
    TOpcGuard sg(server->Lock());
    if (!requested.empty() && server->FindGroupByName(requested)) return OPC_E_DUPLICATENAME;
    std::string name = requested;
    for (unsigned n = 1; server->FindGroupByName(name); ++n) name = _name + std::to_string(n);
    TOPCGroup* c = TOPCGroup::Create(server, name, _active, _requestedUpdateRate, _clientHandle, _LCID);
    if (!c) return E_OUTOFMEMORY;
    auto hold = zelcom::ComPtr<IUnknown>::Adopt(c->Unknown());  // the clone lives by client refs
    {
      TOpcGuard g(_lock);
      c->_public = _public;
      c->_items.reserve(_items.size());
      for (auto& it : _items) {
        auto copy = std::make_unique<TOPCItem>(server, c, it->proxy(), it->ref());
        copy->setActive(it->active());
        copy->setClientHandle(it->clientHandle());
        copy->setRequestedDataTypeRaw(it->requestedDataType());
        c->_byHandle.emplace(copy->serverHandle(), copy.get());
        c->_items.push_back(std::move(copy));
      }
    }
    return c->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

// ---- IOPCPublicGroupStateMgt

HRESULT TOPCGroup::GetState(BOOL* pPublic) {
  if (!pPublic) return E_INVALIDARG;
  *pPublic = _public ? TRUE : FALSE;
  return S_OK;
}

HRESULT TOPCGroup::MoveToPublic() {
  TOpcGuard g(_lock);
  _public = true;
  return S_OK;
}

// ---- IOPCSyncIO

HRESULT TOPCGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                        OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
  try {
    if (!ppItemValues || !ppErrors) return E_POINTER;
    *ppItemValues = nullptr;
    *ppErrors = nullptr;
    if (dwCount == 0 || !phServer) return E_INVALIDARG;
    auto* states = static_cast<OPCITEMSTATE*>(taskMemAlloc(dwCount, tmaItemState));
    auto* errors = static_cast<HRESULT*>(taskMemAlloc(dwCount, tmaHResult));
    if (!states || !errors) {
      CoTaskMemFree(states);
      CoTaskMemFree(errors);
      return E_OUTOFMEMORY;
    }
    TOpcGuard g(_lock);
    bool outOfService = dwSource != OPC_DS_DEVICE && !_active;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      TOPCItem* item = FindItem(phServer[i]);
      errors[i] = item ? item->readItemValueStateTime(states[i], outOfService) : OPC_E_INVALIDHANDLE;
      if (errors[i] == E_OUTOFMEMORY) {
        for (DWORD j = 0; j < i; ++j) VariantClear(&states[j].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        return E_OUTOFMEMORY;
      }
      if (errors[i] != S_OK) result = S_FALSE;
    }
    *ppItemValues = states;
    *ppErrors = errors;
    return result;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT TOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                         HRESULT** ppErrors) {
  if (!pItemValues && dwCount > 0) return E_INVALIDARG;
  return PerHandle(dwCount, phServer, ppErrors, [pItemValues](TOPCItem& item, DWORD i) {
    if (!item.writeable()) return OPC_E_BADRIGHTS;
    item.writeItemValue(pItemValues[i]);
    return S_OK;
  });
}
