// Connection points and their enumerators.
#include "com/connection_point.h"

#include <atomic>
#include <new>

namespace zelcom {
namespace {

// A snapshot enumerator (IEnumConnections, IEnumConnectionPoints): the items are copied
// when it is made; each item handed out carries a reference for the caller. It holds
// the owner of the points so they outlive it.
template <class Enum, class Item, class Stored>
class SnapshotEnum final : public Enum {
 public:
  using HandOut = Item (*)(const Stored&);
  SnapshotEnum(IUnknown& owner, std::vector<Stored> items, const IID& iid, HandOut handOut)
      : owner_(&owner), items_(std::move(items)), iid_(iid), handOut_(handOut) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == iid_) {
      *ppv = static_cast<Enum*>(this);
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
  // The COM rule: the fetched count may be left out only when one item is asked for.
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, Item* rgelt, ULONG* pceltFetched) override {
    if (pceltFetched) *pceltFetched = 0;
    if (!rgelt || (celt > 1 && !pceltFetched)) return E_POINTER;
    ULONG n = 0;
    for (; n < celt && pos_ < items_.size(); ++n) rgelt[n] = handOut_(items_[pos_++]);
    if (pceltFetched) *pceltFetched = n;
    return n == celt ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    size_t left = items_.size() - pos_;
    if (celt > left) {
      pos_ = items_.size();
      return S_FALSE;
    }
    pos_ += celt;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    pos_ = 0;
    return S_OK;
  }
  // The copy continues from the same position, as COM defines Clone.
  HRESULT STDMETHODCALLTYPE Clone(Enum** ppEnum) override {
    if (!ppEnum) return E_POINTER;
    *ppEnum = nullptr;
    SnapshotEnum* copy;
    try {
      copy = new SnapshotEnum(*owner_.Get(), items_, iid_, handOut_);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    *ppEnum = copy;
    copy->pos_ = pos_;
    copy->AddRef();
    return S_OK;
  }

 private:
  ~SnapshotEnum() = default;
  std::atomic<ULONG> refs_{0};
  ComPtr<IUnknown> owner_;
  std::vector<Stored> items_;
  size_t pos_ = 0;
  IID iid_;
  HandOut handOut_;
};

struct HeldConnection {
  ComPtr<IUnknown> sink;
  DWORD cookie;
};

CONNECTDATA HandOutConnection(const HeldConnection& c) {
  c.sink->AddRef();
  return {c.sink.Get(), c.cookie};
}

IConnectionPoint* HandOutPoint(IConnectionPoint* const& p) {
  p->AddRef();
  return p;
}

using ConnectionsEnum = SnapshotEnum<IEnumConnections, CONNECTDATA, HeldConnection>;
using PointsEnum = SnapshotEnum<IEnumConnectionPoints, IConnectionPoint*, IConnectionPoint*>;

}  // namespace

ConnectionPoint::ConnectionPoint(ConnectionPointContainer& container, const IID& iid,
                                 size_t maxConnections, SinkChanged onChange)
    : container_(container), iid_(iid), maxConnections_(maxConnections),
      onChange_(std::move(onChange)) {}

ConnectionPoint::~ConnectionPoint() { DisconnectAll(); }

void ConnectionPoint::DisconnectAll() {
  std::vector<Connection> gone;
  gone.swap(connections_);
  for (Connection& c : gone) c.sink->Release();
}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *ppv = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG ConnectionPoint::AddRef() { return container_.Owner().AddRef(); }
ULONG ConnectionPoint::Release() { return container_.Owner().Release(); }

HRESULT ConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (!pIID) return E_POINTER;
  *pIID = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (!ppCPC) return E_POINTER;
  *ppCPC = &container_;
  container_.AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  if (!pdwCookie) return E_POINTER;
  *pdwCookie = 0;
  if (!pUnkSink) return E_POINTER;
  if (maxConnections_ != 0 && connections_.size() >= maxConnections_)
    return CONNECT_E_ADVISELIMIT;
  void* sink = nullptr;
  if (FAILED(pUnkSink->QueryInterface(iid_, &sink)) || !sink) return CONNECT_E_CANNOTCONNECT;
  DWORD cookie = lastCookie_ + 1;
  if (cookie == 0) cookie = 1;  // 0 is no connection
  try {
    connections_.push_back({cookie, static_cast<IUnknown*>(sink)});
  } catch (const std::bad_alloc&) {
    static_cast<IUnknown*>(sink)->Release();
    return E_OUTOFMEMORY;
  }
  lastCookie_ = cookie;
  // The owner's callback must not let an exception reach the client: a failing one
  // undoes the connection.
  try {
    if (onChange_) onChange_(static_cast<IUnknown*>(sink), true);
  } catch (...) {
    Unadvise(cookie);
    return E_UNEXPECTED;
  }
  *pdwCookie = cookie;
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD dwCookie) {
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->cookie != dwCookie) continue;
    IUnknown* sink = it->sink;
    connections_.erase(it);
    try {
      if (onChange_) onChange_(sink, false);
    } catch (...) {
      // The sink is gone either way; nothing of the failure reaches the client.
    }
    sink->Release();  // last: the sink's release may call back into the owner
    return S_OK;
  }
  return CONNECT_E_NOCONNECTION;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  ConnectionsEnum* e;
  try {
    std::vector<HeldConnection> items;
    items.reserve(connections_.size());
    for (const Connection& c : connections_)
      items.push_back({ComPtr<IUnknown>(c.sink), c.cookie});
    e = new ConnectionsEnum(container_.Owner(), std::move(items), IID_IEnumConnections,
                            &HandOutConnection);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  e->AddRef();
  *ppEnum = e;
  return S_OK;
}

ConnectionPoint& ConnectionPointContainer::Add(const IID& iid, size_t maxConnections,
                                               SinkChanged onChange) {
  points_.push_back(
      std::make_unique<ConnectionPoint>(*this, iid, maxConnections, std::move(onChange)));
  return *points_.back();
}

ConnectionPoint* ConnectionPointContainer::Find(const IID& iid) const {
  for (const auto& p : points_)
    if (p->Iid() == iid) return p.get();
  return nullptr;
}

HRESULT ConnectionPointContainer::QueryInterface(REFIID riid, void** ppv) {
  return owner_.QueryInterface(riid, ppv);
}
ULONG ConnectionPointContainer::AddRef() { return owner_.AddRef(); }
ULONG ConnectionPointContainer::Release() { return owner_.Release(); }

HRESULT ConnectionPointContainer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  if (!ppEnum) return E_POINTER;
  *ppEnum = nullptr;
  PointsEnum* e;
  try {
    std::vector<IConnectionPoint*> items;
    for (const auto& p : points_) items.push_back(p.get());
    e = new PointsEnum(owner_, std::move(items), IID_IEnumConnectionPoints, &HandOutPoint);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  e->AddRef();
  *ppEnum = e;
  return S_OK;
}

HRESULT ConnectionPointContainer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  if (!ppCP) return E_POINTER;
  *ppCP = nullptr;
  ConnectionPoint* p = Find(riid);
  if (!p) return CONNECT_E_NOCONNECTION;
  p->AddRef();
  *ppCP = p;
  return S_OK;
}

}  // namespace zelcom
