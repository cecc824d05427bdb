// The asynchronous side of a group: IOPCAsyncIO2, the transaction queue, the scan at the
// group's update rate and the IOPCDataCallback calls it makes (read, write, refresh and
// cancel completions, then the subscription report of the items that changed).
//
// Re-entrancy: a callback is an outgoing call during which the client may call back
// into this group or its server (add or remove items, refresh, change the state,
// unadvise, remove and release the group). So a callback is assembled completely
// before it goes out (its arrays own copies of everything), the transaction queue is
// detached before it is processed, items are looked up again by handle after every
// callback, the sink is fetched anew before each one, and the scan holds a reference to
// the group until it is done.
#include <cstring>
#include <new>

#include "common/platform/clock.h"
#include "server/opcda/da2.h"
#include "server/opcda/group.h"
#include "server/opcda/opc_util.h"

namespace {

// Results of a call whose client has gone (its process ended, the proxy was cut):
// calling such a sink again only costs time on the main thread.
constexpr HRESULT kRpcServerDied = static_cast<HRESULT>(0x80010007);
constexpr HRESULT kRpcDisconnected = static_cast<HRESULT>(0x80010108);
constexpr HRESULT kRpcServerDiedDne = static_cast<HRESULT>(0x80010012);
constexpr HRESULT kObjNotConnected = static_cast<HRESULT>(0x800401FD);
constexpr HRESULT kRpcUnavailable = static_cast<HRESULT>(0x800706BA);

bool ClientGone(HRESULT hr) {
  return hr == kRpcServerDied || hr == kRpcDisconnected || hr == kRpcServerDiedDne ||
         hr == kObjNotConnected || hr == kRpcUnavailable;
}

uint32_t TickCount() { return static_cast<uint32_t>(SteadyMs()); }

FILETIME NowFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return ft;
}

bool GoodQuality(WORD q) { return (q & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD; }

// Plain values: copied and compared as they are, without the variant functions.
bool PlainScalar(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I1: case VT_UI1: case VT_I2: case VT_UI2:
    case VT_BOOL: case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4:
    case VT_ERROR: case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY:
      return true;
    default:
      return false;
  }
}

// Equal values; anything but plain values and texts counts as different. Floating
// values compare by their bits, so a NaN that stays NaN is no change.
bool SameValue(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_EMPTY: case VT_NULL: return true;
    case VT_I1: case VT_UI1: return a.bVal == b.bVal;
    case VT_I2: case VT_UI2: case VT_BOOL: return a.iVal == b.iVal;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR:
      return a.lVal == b.lVal;
    case VT_I8: case VT_UI8: case VT_R8: case VT_DATE: case VT_CY:
      return std::memcmp(&a.llVal, &b.llVal, sizeof a.llVal) == 0;
    case VT_BSTR: {
      UINT n = SysStringLen(a.bstrVal);
      return n == SysStringLen(b.bstrVal) &&
             (n == 0 || std::memcmp(a.bstrVal, b.bstrVal, n * sizeof(OLECHAR)) == 0);
    }
    default: return false;
  }
}

// The arrays of one callback, task-allocated for the call and freed after it returns.
// Entries [0, count) are filled; their variants are cleared on destruction.
struct TCallbackArrays {
  TCallbackArrays() = default;
  TCallbackArrays(const TCallbackArrays&) = delete;
  TCallbackArrays& operator=(const TCallbackArrays&) = delete;
  ~TCallbackArrays() {
    if (values)
      for (DWORD i = 0; i < count; ++i) VariantClear(&values[i]);
    CoTaskMemFree(handles);
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
  }
  // Room for n entries; with values also for values, qualities and time stamps.
  bool Alloc(size_t n, bool withValues) {
    handles = static_cast<OPCHANDLE*>(taskMemAlloc(n, tmaHandle));
    errors = static_cast<HRESULT*>(taskMemAlloc(n, tmaHResult));
    if (withValues) {
      values = static_cast<VARIANT*>(taskMemAlloc(n, tmaVariant));
      qualities = static_cast<WORD*>(taskMemAlloc(n, tmaQuality));
      times = static_cast<FILETIME*>(taskMemAlloc(n, tmaFileTime));
    }
    return handles && errors && (!withValues || (values && qualities && times));
  }
  HRESULT MasterQuality() const {
    for (DWORD i = 0; i < count; ++i)
      if (!GoodQuality(qualities[i])) return S_FALSE;
    return S_OK;
  }

  DWORD count = 0;
  OPCHANDLE* handles = nullptr;
  VARIANT* values = nullptr;
  WORD* qualities = nullptr;
  FILETIME* times = nullptr;
  HRESULT* errors = nullptr;
};

// Sets a flag for the lifetime of a scope and restores it, exceptions included.
class TFlagScope {
 public:
  explicit TFlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~TFlagScope() { flag_ = false; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

// ---- TOPCItem: subscription state

bool TOPCItem::changedSince(const VARIANT& v, WORD quality) const {
  return !_sent || quality != _lastQuality || !SameValue(v, _lastSent);
}

bool TOPCItem::markSent(const VARIANT& v, WORD quality) {
  _lastQuality = quality;
  if (PlainScalar(v.vt) && PlainScalar(_lastSent.vt)) {
    _lastSent = v;
  } else if (FAILED(VariantCopy(&_lastSent, const_cast<VARIANT*>(&v)))) {
    VariantClear(&_lastSent);
    _sent = false;
    return false;
  }
  _sent = true;
  return true;
}

// ---- IOPCAsyncIO2

DWORD TOPCGroup::makeAsyncCancelID() {
  TOpcGuard g(_lock);
  return ++_lastCancelId;
}

zelcom::ComPtr<IOPCDataCallback> TOPCGroup::clientSink() {
  TOpcGuard g(_lock);
  return _clientSink;
}

HRESULT TOPCGroup::QueueItems(TAsyncKind kind, DWORD dwCount, OPCHANDLE* phServer,
                              VARIANT* pItemValues, DWORD dwTransactionID, DWORD* pdwCancelID,
                              HRESULT** ppErrors) {
  HRESULT* errors = nullptr;
  try {
    if (ppErrors) *ppErrors = nullptr;
    if (!clientSink()) return CONNECT_E_NOCONNECTION;
    if (dwCount == 0) return E_INVALIDARG;
    if (!phServer || !pdwCancelID || !ppErrors || (kind == akWrite && !pItemValues))
      return E_INVALIDARG;
    errors = static_cast<HRESULT*>(taskMemAlloc(dwCount, tmaHResult));
    if (!errors) return E_OUTOFMEMORY;
    TOpcGuard g(_lock);
    auto t = std::make_unique<TAsyncIO2>(this, kind, dwTransactionID);
    t->reserve(dwCount);
    _asyncList.reserve(_asyncList.size() + 1);  // the append below cannot fail then
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
      if (FindItem(phServer[i])) {
        HRESULT hr = t->addItem(phServer[i], pItemValues ? &pItemValues[i] : nullptr);
        if (FAILED(hr)) {
          CoTaskMemFree(errors);
          return hr;
        }
        errors[i] = S_OK;
      } else {
        errors[i] = OPC_E_INVALIDHANDLE;
        result = S_FALSE;
      }
    }
    t->setCancelId(makeAsyncCancelID());
    *pdwCancelID = t->cancelId();
    _asyncList.push_back(std::move(t));
    *ppErrors = errors;
    return result;
  } catch (...) {
    CoTaskMemFree(errors);
    return E_OUTOFMEMORY;
  }
}

HRESULT TOPCGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID,
                        DWORD* pdwCancelID, HRESULT** ppErrors) {
  return QueueItems(akRead, dwCount, phServer, nullptr, dwTransactionID, pdwCancelID, ppErrors);
}

HRESULT TOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                         DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors) {
  return QueueItems(akWrite, dwCount, phServer, pItemValues, dwTransactionID, pdwCancelID,
                    ppErrors);
}

HRESULT TOPCGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) {
  // Cache and device give the same present value (the runtime polls the devices).
  (void)dwSource;
  try {
    if (!clientSink()) return CONNECT_E_NOCONNECTION;
    if (!pdwCancelID) return E_INVALIDARG;
    TOpcGuard g(_lock);
    if (!_active) return E_FAIL;
    auto t = std::make_unique<TAsyncIO2>(this, akRefresh, dwTransactionID);
    _asyncList.reserve(_asyncList.size() + 1);
    t->setCancelId(makeAsyncCancelID());
    *pdwCancelID = t->cancelId();
    _asyncList.push_back(std::move(t));
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT TOPCGroup::Cancel2(DWORD dwCancelID) {
  TOpcGuard g(_lock);
  auto search = [dwCancelID](std::vector<std::unique_ptr<TAsyncIO2>>& list) {
    for (auto& t : list)
      if (t->cancelId() == dwCancelID && !t->done() && !t->cancelled()) {
        t->cancel();
        return true;
      }
    return false;
  };
  if (search(_asyncList) || (_inFlight && search(*_inFlight))) return S_OK;
  return E_FAIL;
}

HRESULT TOPCGroup::SetEnable(BOOL bEnable) {
  if (!clientSink()) return CONNECT_E_NOCONNECTION;
  TOpcGuard g(_lock);
  _onDataChangeEnabled = bEnable != 0;
  return S_OK;
}

HRESULT TOPCGroup::GetEnable(BOOL* pbEnable) {
  if (!clientSink()) return CONNECT_E_NOCONNECTION;
  if (!pbEnable) return E_INVALIDARG;
  TOpcGuard g(_lock);
  *pbEnable = _onDataChangeEnabled ? TRUE : FALSE;
  return S_OK;
}

// ---- the scan

void TOPCGroup::scan() {
  // Held until the end: the client may remove and release the group in a callback.
  // Declared before the guard, so the lock is left before the group can go.
  zelcom::ComPtr<IUnknown> self(Unknown());
  TOpcGuard g(_lock);
  if (_scanning || !_server) return;
  uint32_t now = TickCount();
  // The first processing scan is due at once, whatever the tick count (it starts near 0
  // after a boot and wraps); later ones when more than the rate has elapsed (unsigned
  // difference, so the wrap is harmless).
  if (_reported && now - _lastUpdate <= _requestedUpdateRate) return;
  _lastUpdate = now;
  _reported = true;
  TFlagScope scanning(_scanning);
  try {
    asyncScan();
    if (_active && _onDataChangeEnabled && listed()) sendDataChange(0, true);
  } catch (...) {
    // Out of memory while assembling: this tick's report is skipped, the next one
    // reports what is still different.
  }
}

bool TOPCGroup::listed() { return _server && _server->FindGroupByServerHandle(_serverHandle) == this; }

void TOPCGroup::asyncScan() {
  if (_asyncList.empty()) return;
  std::vector<std::unique_ptr<TAsyncIO2>> batch;
  batch.swap(_asyncList);
  if (!_clientSink) return;  // nobody to tell: the batch goes without callbacks
  struct InFlight {
    TOPCGroup& g;
    ~InFlight() { g._inFlight = nullptr; }
  } reset{*this};
  _inFlight = &batch;
  for (auto& t : batch) {
    if (t->done()) continue;
    t->setDone();
    // A client that unadvised or removed the group in an earlier callback hears
    // nothing more.
    if (!_clientSink || !listed()) break;
    if (t->cancelled()) {
      sendCancelComplete(*t);
      continue;
    }
    switch (t->kind()) {
      case akRead: sendReadComplete(*t); break;
      case akWrite: sendWriteComplete(*t); break;
      case akRefresh: sendDataChange(t->clientTransId(), false); break;
    }
  }
}

template <class F>
void TOPCGroup::Deliver(const zelcom::ComPtr<IOPCDataCallback>& sink, F&& call) {
  HRESULT hr;
  try {
    hr = call(sink.Get());
  } catch (...) {
    hr = E_UNEXPECTED;
  }
  if (ClientGone(hr)) DropSink(sink.Get());
}

void TOPCGroup::DropSink(IOPCDataCallback* sink) {
  zelcom::ConnectionPoint* point = _connectionPoints.Find(IID_IOPCDataCallback);
  if (!point) return;
  zelcom::ComPtr<IEnumConnections> e;
  if (FAILED(point->EnumConnections(e.Receive())) || !e) return;
  CONNECTDATA c{};
  DWORD cookie = 0;
  while (e->Next(1, &c, nullptr) == S_OK) {
    if (c.pUnk == static_cast<IUnknown*>(sink)) cookie = c.dwCookie;
    c.pUnk->Release();
  }
  if (cookie) point->Unadvise(cookie);
}

bool TOPCGroup::sendDataChange(DWORD transId, bool changedOnly) {
  zelcom::ComPtr<IOPCDataCallback> sink = _clientSink;
  if (!sink) return false;
  TCallbackArrays a;
  std::vector<TOPCItem*> listed;
  {
    size_t active = 0;
    for (auto& it : _items) active += it->active() ? 1 : 0;
    if (active == 0) return false;
    if (!a.Alloc(active, true)) return false;
    listed.reserve(active);
    FILETIME now = NowFileTime();
    for (auto& up : _items) {
      TOPCItem& it = *up;
      if (!it.active()) continue;
      VARIANT& v = a.values[a.count];  // zero-filled: empty
      if (FAILED(it.getCurrentValue(&v))) {  // a text without memory: the report is skipped
        VariantClear(&v);
        return false;
      }
      WORD q = it.quality();  // after the value: reading it refreshes the quality
      if (changedOnly && !it.changedSince(v, q)) {
        VariantClear(&v);
        continue;
      }
      a.handles[a.count] = it.clientHandle();
      a.qualities[a.count] = q;
      a.times[a.count] = now;
      a.errors[a.count] = S_OK;
      ++a.count;
      listed.push_back(&it);
    }
  }
  if (a.count == 0) return false;
  // Only a report that goes out counts as given to the client.
  for (DWORD i = 0; i < a.count; ++i) listed[i]->markSent(a.values[i], a.qualities[i]);
  listed.clear();  // the items may go during the call
  HRESULT master = a.MasterQuality();
  OPCHANDLE hGroup = _clientHandle;
  Deliver(sink, [&](IOPCDataCallback* s) {
    return s->OnDataChange(transId, hGroup, master, S_OK, a.count, a.handles, a.values,
                           a.qualities, a.times, a.errors);
  });
  return true;
}

bool TOPCGroup::sendReadComplete(const TAsyncIO2& t) {
  zelcom::ComPtr<IOPCDataCallback> sink = _clientSink;
  if (!sink || t.count() == 0) return false;
  TCallbackArrays a;
  if (!a.Alloc(t.count(), true)) return false;
  FILETIME now = NowFileTime();
  for (size_t i = 0; i < t.count(); ++i) {
    TOPCItem* it = FindItem(t.serverHandle(i));
    if (!it) continue;  // removed since the call
    VARIANT& v = a.values[a.count];
    if (FAILED(it->getCurrentValue(&v))) {
      VariantClear(&v);
      return false;
    }
    a.handles[a.count] = it->clientHandle();
    a.qualities[a.count] = it->proxy()->quality();
    a.times[a.count] = now;
    a.errors[a.count] = S_OK;
    ++a.count;
  }
  if (a.count == 0) return false;
  HRESULT master = a.MasterQuality();
  OPCHANDLE hGroup = _clientHandle;
  Deliver(sink, [&](IOPCDataCallback* s) {
    return s->OnReadComplete(t.clientTransId(), hGroup, master, S_OK, a.count, a.handles, a.values,
                             a.qualities, a.times, a.errors);
  });
  return true;
}

bool TOPCGroup::sendWriteComplete(const TAsyncIO2& t) {
  zelcom::ComPtr<IOPCDataCallback> sink = _clientSink;
  if (!sink || t.count() == 0) return false;
  TCallbackArrays a;
  if (!a.Alloc(t.count(), false)) return false;
  HRESULT master = S_OK;
  for (size_t i = 0; i < t.count(); ++i) {
    TOPCItem* it = FindItem(t.serverHandle(i));
    if (!it) continue;
    if (it->writeable()) {
      it->writeItemValue(t.value(i));
      a.errors[a.count] = S_OK;
    } else {
      a.errors[a.count] = OPC_E_BADRIGHTS;
      master = S_FALSE;
    }
    a.handles[a.count] = it->clientHandle();
    ++a.count;
  }
  if (a.count == 0) return false;
  OPCHANDLE hGroup = _clientHandle;
  Deliver(sink, [&](IOPCDataCallback* s) {
    return s->OnWriteComplete(t.clientTransId(), hGroup, master, a.count, a.handles, a.errors);
  });
  return true;
}

bool TOPCGroup::sendCancelComplete(const TAsyncIO2& t) {
  zelcom::ComPtr<IOPCDataCallback> sink = _clientSink;
  if (!sink) return false;
  OPCHANDLE hGroup = _clientHandle;
  Deliver(sink, [&](IOPCDataCallback* s) { return s->OnCancelComplete(t.clientTransId(), hGroup); });
  return true;
}
