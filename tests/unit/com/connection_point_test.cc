// Connection points: advise rules, cookies, enumerators, references, and a change
// callback that calls back into its point.
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "com/com_ptr.h"
#include "com/connection_point.h"

namespace {

using zelcom::ComPtr;

const IID kIidEvents = {0xA1, 0xB2, 0xC3, {1, 1, 1, 1, 1, 1, 1, 1}};
const IID kIidOther = {0xA1, 0xB2, 0xC3, {2, 2, 2, 2, 2, 2, 2, 2}};

struct IEvents : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Fired(int value) = 0;
};

// A client's sink; it counts its references so the test sees every one come back.
struct Sink final : IEvents {
  ULONG refs = 1;
  bool answersEvents = true;
  std::vector<int> seen;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || (answersEvents && riid == kIidEvents)) {
      *ppv = static_cast<IEvents*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }  // on the test's stack
  HRESULT STDMETHODCALLTYPE Fired(int value) override {
    seen.push_back(value);
    return S_OK;
  }
};

// The owner: a COM object embedding a container with two points, one limited to a
// single connection (as IOPCShutdown is).
struct Owner final : IUnknown {
  ULONG refs = 1;
  zelcom::ConnectionPointContainer points{*this};
  zelcom::ConnectionPoint& events;
  zelcom::ConnectionPoint& single;
  std::vector<std::pair<IUnknown*, bool>> changes;

  Owner()
      : events(points.Add(kIidEvents, 0,
                          [this](IUnknown* s, bool c) { changes.push_back({s, c}); })),
        single(points.Add(kIidOther, 1)) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) {
      *ppv = this;
    } else if (riid == IID_IConnectionPointContainer) {
      *ppv = static_cast<IConnectionPointContainer*>(&points);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
};

ComPtr<IConnectionPoint> FindPoint(Owner& o, const IID& iid) {
  ComPtr<IConnectionPointContainer> cpc;
  EXPECT_EQ(o.QueryInterface(IID_IConnectionPointContainer, cpc.ReceiveVoid()), S_OK);
  ComPtr<IConnectionPoint> cp;
  EXPECT_EQ(cpc->FindConnectionPoint(iid, cp.Receive()), S_OK);
  return cp;
}

TEST(ConnectionPoint, AdviseUnadviseAndTheirErrors) {
  Owner owner;
  Sink a, b, deaf;
  deaf.answersEvents = false;
  {
    ComPtr<IConnectionPoint> cp = FindPoint(owner, kIidEvents);
    EXPECT_EQ(owner.refs, 2u) << "a held point holds its owner";

    DWORD c1 = 99, c2 = 0, none = 99;
    EXPECT_EQ(cp->Advise(&a, nullptr), E_POINTER);
    EXPECT_EQ(cp->Advise(nullptr, &none), E_POINTER);
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(cp->Advise(&deaf, &none), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(deaf.refs, 1u);
    ASSERT_EQ(cp->Advise(&a, &c1), S_OK);
    ASSERT_EQ(cp->Advise(&b, &c2), S_OK);
    EXPECT_NE(c1, 0u);
    EXPECT_NE(c1, c2);
    EXPECT_EQ(a.refs, 2u);

    for (const auto& s : owner.events.Sinks<IEvents>()) s->Fired(5);
    EXPECT_EQ(a.seen, std::vector<int>{5});
    EXPECT_EQ(b.seen, std::vector<int>{5});

    EXPECT_EQ(cp->Unadvise(c1), S_OK);
    EXPECT_EQ(cp->Unadvise(c1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(a.refs, 1u);
    ASSERT_EQ(owner.changes.size(), 3u);
    EXPECT_EQ(owner.changes[2], (std::pair<IUnknown*, bool>{static_cast<IEvents*>(&a), false}));

    DWORD c3 = 0;
    ASSERT_EQ(cp->Advise(&a, &c3), S_OK);
    EXPECT_NE(c3, c1) << "cookies are not reused";

    IID iid;
    EXPECT_EQ(cp->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(iid == kIidEvents);
    ComPtr<IConnectionPointContainer> back;
    EXPECT_EQ(cp->GetConnectionPointContainer(back.Receive()), S_OK);
    EXPECT_EQ(back.Get(), static_cast<IConnectionPointContainer*>(&owner.points));
  }
  EXPECT_EQ(owner.refs, 1u);
  owner.events.DisconnectAll();
  EXPECT_EQ(a.refs, 1u);
  EXPECT_EQ(b.refs, 1u);
}

TEST(ConnectionPoint, SingleConnectionLimit) {
  Owner owner;
  // The limited point takes the other interface; a sink that answers it.
  struct OtherSink final : IUnknown {
    ULONG refs = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
      *ppv = (riid == IID_IUnknown || riid == kIidOther) ? this : nullptr;
      if (!*ppv) return E_NOINTERFACE;
      AddRef();
      return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  } first, second;
  ComPtr<IConnectionPoint> cp = FindPoint(owner, kIidOther);
  DWORD c1 = 0, c2 = 0;
  ASSERT_EQ(cp->Advise(&first, &c1), S_OK);
  EXPECT_EQ(cp->Advise(&second, &c2), CONNECT_E_ADVISELIMIT);
  EXPECT_EQ(second.refs, 1u);
  EXPECT_EQ(cp->Unadvise(c1), S_OK);
  EXPECT_EQ(cp->Advise(&second, &c2), S_OK);
  EXPECT_EQ(cp->Unadvise(c2), S_OK);
}

TEST(ConnectionPoint, FindAndEnumerate) {
  Owner owner;
  Sink a, b;
  ComPtr<IConnectionPointContainer> cpc;
  ASSERT_EQ(owner.QueryInterface(IID_IConnectionPointContainer, cpc.ReceiveVoid()), S_OK);
  ComPtr<IConnectionPoint> none;
  const IID unknown = {0xFF, 0, 0, {0}};
  EXPECT_EQ(cpc->FindConnectionPoint(unknown, none.Receive()), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(none.Get(), nullptr);
  EXPECT_EQ(cpc->FindConnectionPoint(kIidEvents, nullptr), E_POINTER);

  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(cpc->EnumConnectionPoints(points.Receive()), S_OK);
  IConnectionPoint* got[3] = {};
  ULONG fetched = 9;
  EXPECT_EQ(points->Next(3, got, nullptr), E_POINTER) << "more than one needs a count";
  EXPECT_EQ(points->Next(3, got, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(got[0], static_cast<IConnectionPoint*>(&owner.events));
  for (ULONG i = 0; i < fetched; ++i) got[i]->Release();
  EXPECT_EQ(points->Reset(), S_OK);
  EXPECT_EQ(points->Skip(3), S_FALSE);

  DWORD ca = 0, cb = 0;
  ASSERT_EQ(owner.events.Advise(&a, &ca), S_OK);
  ASSERT_EQ(owner.events.Advise(&b, &cb), S_OK);
  ComPtr<IEnumConnections> conns;
  ASSERT_EQ(owner.events.EnumConnections(conns.Receive()), S_OK);
  ASSERT_EQ(conns->Skip(1), S_OK);
  ComPtr<IEnumConnections> clone;
  ASSERT_EQ(conns->Clone(clone.Receive()), S_OK);
  CONNECTDATA cd[2] = {};
  ASSERT_EQ(clone->Next(1, cd, nullptr), S_OK) << "one item may go without a count";
  EXPECT_EQ(cd[0].dwCookie, cb) << "a clone continues where its source stands";
  EXPECT_EQ(cd[0].pUnk, static_cast<IUnknown*>(static_cast<IEvents*>(&b)));
  EXPECT_EQ(b.refs, 5u) << "its own, the point, two snapshots and the caller's";
  cd[0].pUnk->Release();
  clone.Reset();
  conns.Reset();
  points.Reset();
  cpc.Reset();
  owner.events.DisconnectAll();
  EXPECT_EQ(a.refs, 1u);
  EXPECT_EQ(b.refs, 1u);
  EXPECT_EQ(owner.refs, 1u) << "enumerators held the owner and gave it back";
}

// The owner's change callback may call back into the point (re-entrancy while a
// client's call is being answered): the point is consistent at that time.
TEST(ConnectionPoint, ChangeCallbackMayCallTheContainerAgain) {
  Sink a;
  struct Reentrant final : IUnknown {
    ULONG refs = 1;
    zelcom::ConnectionPointContainer points{*this};
    zelcom::ConnectionPoint* point = nullptr;
    size_t countSeen = 99;
    DWORD cookieToDrop = 0;
    Reentrant() {
      point = &points.Add(kIidEvents, 0, [this](IUnknown*, bool connected) {
        countSeen = point->Count();
        if (connected && cookieToDrop) point->Unadvise(std::exchange(cookieToDrop, 0));
      });
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  } owner;
  DWORD c1 = 0, c2 = 0;
  ASSERT_EQ(owner.point->Advise(&a, &c1), S_OK);
  EXPECT_EQ(owner.countSeen, 1u) << "the new sink is in place when the callback runs";
  owner.cookieToDrop = c1;
  ASSERT_EQ(owner.point->Advise(&a, &c2), S_OK);  // the callback drops the first one
  EXPECT_EQ(owner.point->Count(), 1u);
  EXPECT_EQ(owner.point->Unadvise(c1), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(owner.point->Unadvise(c2), S_OK);
  EXPECT_EQ(owner.countSeen, 0u);
  EXPECT_EQ(a.refs, 1u);
}

TEST(ConnectionPoint, ThrowingCallbackUndoesTheConnection) {
  Sink a;
  struct Owner2 final : IUnknown {
    zelcom::ConnectionPointContainer points{*this};
    zelcom::ConnectionPoint& point = points.Add(kIidEvents, 0, [](IUnknown*, bool) {
      throw std::runtime_error("owner failed");
    });
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
  } owner;
  DWORD cookie = 5;
  EXPECT_EQ(owner.point.Advise(&a, &cookie), E_UNEXPECTED);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(owner.point.Count(), 0u);
  EXPECT_EQ(a.refs, 1u);
}

}  // namespace
