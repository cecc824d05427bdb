// ZelDaClient's connection to a server and its private groups.
#include "tools/daclient/da_session.h"

#include <algorithm>
#include <cstdio>

#include "tools/daclient/da_text.h"

namespace daclient {

TDaSession::~TDaSession() {
  if (!server_) return;
  for (OPCHANDLE h : groups_) server_->RemoveGroup(h, FALSE);
}

HRESULT TDaSession::Connect(const std::wstring& server, std::string& error) {
  CLSID clsid;
  HRESULT hr = server.size() > 1 && server.front() == L'{' ? CLSIDFromString(server.c_str(), &clsid)
                                                            : CLSIDFromProgID(server.c_str(), &clsid);
  if (FAILED(hr)) {
    error = "server " + Narrow(server.c_str()) + " is not registered: " + HresultText(hr);
    return hr;
  }
  // A local server (the usual case) or a DLL server; not on another computer.
  // A server that is just ending after its last client can cut an activation off that
  // reached it a moment before; a new activation starts a fresh process, so try again.
  // E_NOINTERFACE too: Wine gives it when the process it started for this client ended
  // without serving the class (another instance serves it, a moment later).
  for (int attempt = 0;; ++attempt) {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_SERVER, IID_IOPCServer,
                          server_.ReceiveVoid());
    const bool serverWentAway = hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) || hr == RPC_E_DISCONNECTED ||
                                hr == CO_E_SERVER_STOPPING || hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) ||
                                hr == HRESULT_FROM_WIN32(RPC_S_UNKNOWN_IF) || hr == RPC_E_SERVER_DIED ||
                                hr == RPC_E_SERVER_DIED_DNE || hr == E_NOINTERFACE;
    if (!serverWentAway || attempt == 3) break;
    Sleep(500);
  }
  if (FAILED(hr)) {
    error = "cannot start or reach " + Narrow(server.c_str()) + ": " + HresultText(hr);
    return hr;
  }
  // Optional: lets the server name its client in its log.
  ComPtr<IOPCCommon> common;
  if (SUCCEEDED(server_.As(IID_IOPCCommon, &common))) common->SetClientName(L"ZelDaClient");
  return S_OK;
}

HRESULT TDaSession::AddGroup(const std::vector<std::wstring>& ids, bool active, DWORD rateMs, TItemGroup& g,
                             std::string& error) {
  g = TItemGroup{};
  g.ids = ids;
  HRESULT hr = server_->AddGroup(L"ZelDaClient", active, rateMs, 1, nullptr, nullptr, LOCALE_SYSTEM_DEFAULT,
                                 &g.hGroup, &g.revisedRate, IID_IUnknown, g.group.Receive());
  if (FAILED(hr)) {
    error = "AddGroup failed: " + ErrorText(hr);
    return hr;
  }
  groups_.push_back(g.hGroup);
  ComPtr<IOPCItemMgt> mgt;
  if (FAILED(hr = g.group.As(IID_IOPCItemMgt, &mgt))) {
    error = "the group has no IOPCItemMgt: " + HresultText(hr);
    return hr;
  }
  std::vector<OPCITEMDEF> defs(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    defs[i] = OPCITEMDEF{};
    defs[i].szAccessPath = const_cast<LPWSTR>(L"");
    defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
    defs[i].bActive = active;
    defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
    defs[i].vtRequestedDataType = VT_EMPTY;
  }
  OPCITEMRESULT* results = nullptr;
  HRESULT* errors = nullptr;
  hr = mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
  if (FAILED(hr)) {
    error = "AddItems failed: " + ErrorText(hr);
    return hr;
  }
  g.handles.assign(ids.size(), 0);
  g.errors.assign(ids.size(), E_FAIL);
  g.types.assign(ids.size(), VT_EMPTY);
  for (size_t i = 0; i < ids.size(); ++i) {
    if (errors) g.errors[i] = errors[i];
    if (results && SUCCEEDED(g.errors[i])) {
      g.handles[i] = results[i].hServer;
      g.types[i] = results[i].vtCanonicalDataType;
    }
    if (results) CoTaskMemFree(results[i].pBlob);
  }
  CoTaskMemFree(results);
  CoTaskMemFree(errors);
  return S_OK;
}

void TDaSession::RemoveGroup(TItemGroup& g) {
  if (!g.group) return;
  g.group.Reset();
  auto it = std::find(groups_.begin(), groups_.end(), g.hGroup);
  if (it != groups_.end()) {
    groups_.erase(it);
    server_->RemoveGroup(g.hGroup, FALSE);
  }
}

std::string TDaSession::ErrorText(HRESULT hr) const {
  if (server_ && HRESULT_FACILITY(hr) == FACILITY_ITF) {
    LPWSTR text = nullptr;
    if (SUCCEEDED(server_->GetErrorString(hr, LOCALE_SYSTEM_DEFAULT, &text)) && text) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
      std::string out = std::string(code) + " " + Narrow(text);
      CoTaskMemFree(text);
      return out;
    }
  }
  return HresultText(hr);
}

}  // namespace daclient
