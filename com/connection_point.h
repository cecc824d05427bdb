// Connection points for the outgoing interfaces of our COM objects (IOPCShutdown of the
// server object, IOPCDataCallback of a group): a container that the owner embeds and
// hands out for IConnectionPointContainer, and one point per outgoing interface with
// Advise, Unadvise and EnumConnections.
//
// The container and its points have no reference count of their own: AddRef and Release
// go to the owner's controlling IUnknown, so a client that holds a point keeps the owner
// alive. Enumerators handed out are COM objects of their own that hold the owner.
// Main thread only (single-threaded apartment); the change callback may call back into
// the owner, so the point's state is complete before it runs.
#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "com/com.h"
#include "com/com_ptr.h"

namespace zelcom {

class ConnectionPointContainer;

// Called after a sink was connected (connected true) or disconnected. The sink is the
// interface of the point's IID. An exception from it stops at the point: a failed connect
// is undone (E_UNEXPECTED), a failed disconnect still disconnects.
using SinkChanged = std::function<void(IUnknown* sink, bool connected)>;

class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(ConnectionPointContainer& container, const IID& iid, size_t maxConnections,
                  SinkChanged onChange);
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;
  ~ConnectionPoint();

  const IID& Iid() const { return iid_; }
  size_t Count() const { return connections_.size(); }
  // The connected sinks in advise order, each with a reference for the caller, so a sink
  // that unadvises while it is being called stays valid. T is the point's interface.
  // Throws std::bad_alloc like any container: call it inside the owner's guard.
  template <class T>
  std::vector<ComPtr<T>> Sinks() const {
    std::vector<ComPtr<T>> out;
    out.reserve(connections_.size());
    for (const Connection& c : connections_) out.emplace_back(static_cast<T*>(c.sink));
    return out;
  }
  // Drops every connection without calling the change callback (the owner is going).
  void DisconnectAll();

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IConnectionPoint
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) override;

 private:
  struct Connection {
    DWORD cookie;
    IUnknown* sink;  // one reference held
  };
  ConnectionPointContainer& container_;
  IID iid_;
  size_t maxConnections_;
  SinkChanged onChange_;
  std::vector<Connection> connections_;
  DWORD lastCookie_ = 0;
};

class ConnectionPointContainer final : public IConnectionPointContainer {
 public:
  // owner: the controlling IUnknown of the object that embeds the container.
  explicit ConnectionPointContainer(IUnknown& owner) : owner_(owner) {}
  ConnectionPointContainer(const ConnectionPointContainer&) = delete;
  ConnectionPointContainer& operator=(const ConnectionPointContainer&) = delete;
  ~ConnectionPointContainer() = default;

  // Adds the point of one outgoing interface; maxConnections 0 means no limit.
  ConnectionPoint& Add(const IID& iid, size_t maxConnections, SinkChanged onChange = {});
  ConnectionPoint* Find(const IID& iid) const;
  IUnknown& Owner() const { return owner_; }

  // IUnknown: the owner's.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

 private:
  IUnknown& owner_;
  std::vector<std::unique_ptr<ConnectionPoint>> points_;
};

}  // namespace zelcom
