// The item tree of a server object, its browse position and lookups.
#include "server/namespace/nx_server.h"

#include <algorithm>

#include "com/ole_text.h"
#include "common/helpers/message_boxes.h"
#include "common/platform/text.h"
#include "server/namespace/case_fold.h"
#include "server/opcda/opc_util.h"

TInitServerFun g_PInitServer = nullptr;

std::string FoldCase(const std::string& s) { return FoldCaseUtf8(s); }

namespace {

bool FoldedLess(const std::pair<std::string, TValueProxy*>& a,
                const std::pair<std::string, TValueProxy*>& b) {
  return a.first < b.first;
}

// Position of key in a sorted list, or null.
TValueProxy* FindSorted(const TProxyList& list, const std::string& key) {
  std::string k = FoldCase(key);
  auto it = std::lower_bound(list.begin(), list.end(), std::make_pair(k, nullptr), FoldedLess);
  return it != list.end() && it->first == k ? it->second : nullptr;
}

}  // namespace

// ---- TValueProxy

TValueProxy::TValueProxy(const std::string& name) : TOPCItemProxy(name) { VariantInit(&fValue); }

TValueProxy::~TValueProxy() { VariantClear(&fValue); }

DATE TValueProxy::lastUpdate() { return NowLocalDate(); }

HRESULT TValueProxy::value(VARIANT* out) {
  if (pRead) return pRead(this, out);
  return VariantCopy(out, &fValue);
}

void TValueProxy::write(const VARIANT& v) {
  if (isReadOnly) return;
  if (pWrite) {
    pWrite(this, v);
  } else {
    VariantCopy(&fValue, const_cast<VARIANT*>(&v));
  }
}

// ---- TOpcVarGroup

TValueProxy* TOpcVarGroup::AddItem(std::unique_ptr<TValueProxy> item) {
  item->VarGroup = this;
  Items.push_back(std::move(item));
  return Items.back().get();
}

TOpcVarGroup* TOpcVarGroup::FindChildGroup(const std::string& sName) const {
  for (const auto& g : Groups)
    if (g->Name == sName) return g.get();
  return nullptr;
}

TValueProxy* TOpcVarGroup::FindItem(const std::string& aName) const {
  std::string k = FoldCase(aName);
  for (const auto& it : Items)
    if (FoldCase(it->ShortName) == k) return it.get();
  return nullptr;
}

void TOpcVarGroup::InitAddFullName(TProxyList& list) {
  FullPrefix = (Parent ? Parent->FullPrefix : std::string()) + Name;
  if (!FullPrefix.empty()) FullPrefix += '.';
  for (const auto& it : Items) {
    it->_ref = FullPrefix + it->ShortName;
    list.emplace_back(FoldCase(it->_ref), it.get());
  }
  for (const auto& g : Groups) g->InitAddFullName(list);
}

void TOpcVarGroup::Sort() {
  std::stable_sort(Items.begin(), Items.end(), [](const auto& a, const auto& b) {
    return FoldCase(a->ShortName) < FoldCase(b->ShortName);
  });
  for (const auto& g : Groups) g->Sort();
}

void TOpcVarGroup::FillFlatItemList(std::vector<std::string>& list, VARTYPE vtype) const {
  for (const auto& it : Items)
    if (vtype == VT_EMPTY || it->fType == vtype) list.push_back(it->_ref);
  for (const auto& g : Groups) g->FillFlatItemList(list, vtype);
}

void TOpcVarGroup::FillLeafItemList(std::vector<std::string>& list, VARTYPE vtype) const {
  for (const auto& it : Items)
    if (vtype == VT_EMPTY || it->fType == vtype) list.push_back(it->ShortName);
}

void TOpcVarGroup::FillGroupList(std::vector<std::string>& list, VARTYPE vtype) const {
  (void)vtype;
  for (const auto& g : Groups) list.push_back(g->Name);
}

// ---- TNxBaseOPCGroup

TOPCGroup* TNxBaseOPCGroup::Create(TDA2* server, const std::string& name, bool active,
                                   DWORD requestedUpdateRate, OPCHANDLE clientHandle, DWORD lcid) {
  try {
    auto* g = new TNxBaseOPCGroup(server, name, active, requestedUpdateRate, clientHandle, lcid);
    g->classInfo().AnswerGroupInterface();  // the type library's IOPCGroup
    return Register(g, server);
  } catch (...) {
    return nullptr;
  }
}

// ---- TNxBaseOPCServer

TNxBaseOPCServer* TNxBaseOPCServer::Create() {
  auto* s = new TNxBaseOPCServer();
  try {
    s->Initialize();
  } catch (...) {
    s->Release();
    throw;
  }
  return s;
}

void TNxBaseOPCServer::Initialize() {
  TDA2::Initialize();
  if (OpcIsLog()) OpcLog("+++ZelOpcServerV3_Create");
  AllItems.clear();
  RootVarGroup_ = std::make_unique<TOpcVarGroup>("");
  RootVarGroup_->Server = this;
  CurVarGroup = nullptr;
  if (g_PInitServer) {
    g_PInitServer(this);
  } else {
    MessageBoxes().Error("NoInitlizeServer", "Error");
  }
  // A tree that was never completed still browses from its root.
  if (!CurVarGroup) CurVarGroup = RootVarGroup_.get();
}

TNxBaseOPCServer::~TNxBaseOPCServer() {
  if (OpcIsLog()) OpcLog("---ZelOpcServerV3_Destroy");
  DetachGroups();  // items point into the tree
  AllItems.clear();
  CurVarGroup = nullptr;
  RootVarGroup_.reset();
}

TOpcVarGroup* TNxBaseOPCServer::AddVarGroup(std::unique_ptr<TOpcVarGroup> aGroup,
                                            TOpcVarGroup* aParent) {
  if (!aParent) aParent = RootVarGroup_.get();
  aGroup->Server = this;
  aGroup->Parent = aParent;
  aParent->Groups.push_back(std::move(aGroup));
  return aParent->Groups.back().get();
}

void TNxBaseOPCServer::CompleteInit() {
  AllItems.clear();
  RootVarGroup_->InitAddFullName(AllItems);
  RootVarGroup_->Sort();
  std::stable_sort(AllItems.begin(), AllItems.end(), FoldedLess);
  CurVarGroup = RootVarGroup_.get();
}

TValueProxy* TNxBaseOPCServer::FindProxy(const std::string& ref) { return FindSorted(AllItems, ref); }

TValueProxy* TNxBaseOPCServer::GetAt(int idx) {
  if (idx < 0 || static_cast<size_t>(idx) >= AllItems.size()) return nullptr;
  return AllItems[static_cast<size_t>(idx)].second;
}

bool TNxBaseOPCServer::CheckFlatName(const std::string& sName) {
  return FindSorted(AllItems, sName) != nullptr;
}

std::string TNxBaseOPCServer::ExpandFullName(const std::string& nameInGroup) {
  std::string out;
  if (CurVarGroup) {
    if (TValueProxy* p = CurVarGroup->FindItem(nameInGroup)) {
      out = p->_ref;
    } else if (CurVarGroup->FindChildGroup(nameInGroup)) {
      out = nameInGroup;
    }
  }
  if (out.empty() && CheckFlatName(nameInGroup)) out = nameInGroup;
  return out;
}

std::string TNxBaseOPCServer::RemoveSelfNamePrefix(const std::string& fullName) {
  // ASCII folding here: the name is ASCII, and a fold that keeps every byte in place lets
  // the positions of the folded text serve the original.
  static const std::string self = LowerCase("ZelOpcServer3.ZELOPC");
  std::string out;
  std::string folded = LowerCase(fullName);
  size_t i = 0;
  while (i < fullName.size()) {
    if (folded.compare(i, self.size(), self) == 0) {
      i += self.size();
    } else {
      out += fullName[i++];
    }
  }
  return out;
}

HRESULT TNxBaseOPCServer::ChangePosUp() {
  if (!CurVarGroup || !CurVarGroup->Parent) return E_FAIL;
  CurVarGroup = CurVarGroup->Parent;
  return S_OK;
}

HRESULT TNxBaseOPCServer::ChangePosDown(const std::string& sName) {
  if (sName.empty() || !CurVarGroup) return E_FAIL;
  TOpcVarGroup* g = CurVarGroup->FindChildGroup(sName);
  if (!g) return E_FAIL;
  CurVarGroup = g;
  return S_OK;
}

HRESULT TNxBaseOPCServer::ChangePosTo(const std::string& sName) {
  if (sName.empty()) {
    CurVarGroup = RootVarGroup_.get();
    return S_OK;
  }
  // Pieces split at '.', '/', '\', blanks and control characters; a piece in double
  // quotes keeps its blanks and dots.
  std::vector<std::string> pieces;
  std::string cur;
  bool quoted = false, have = false;
  for (char c : sName) {
    unsigned char u = static_cast<unsigned char>(c);
    if (quoted) {
      if (c == '"') quoted = false;
      else cur += c;
    } else if (c == '"') {
      quoted = true;
      have = true;
    } else if (c == '.' || c == '/' || c == '\\' || u <= ' ') {
      if (have || !cur.empty()) pieces.push_back(cur);
      cur.clear();
      have = false;
    } else {
      cur += c;
    }
  }
  if (have || !cur.empty()) pieces.push_back(cur);
  TOpcVarGroup* g = RootVarGroup_.get();
  for (const std::string& p : pieces) {
    g = g->FindChildGroup(p);
    if (!g) return E_FAIL;
  }
  CurVarGroup = g;
  return S_OK;
}

void TNxBaseOPCServer::FillFlatItemList(std::vector<std::string>& list, VARTYPE vtype) {
  if (CurVarGroup) CurVarGroup->FillFlatItemList(list, vtype);
}

void TNxBaseOPCServer::FillLeafItemList(std::vector<std::string>& list, VARTYPE vtype) {
  if (CurVarGroup) CurVarGroup->FillLeafItemList(list, vtype);
}

void TNxBaseOPCServer::FillGroupList(std::vector<std::string>& list, VARTYPE vtype) {
  if (CurVarGroup) CurVarGroup->FillGroupList(list, vtype);
}

std::string TNxBaseOPCServer::CurrentBranchName() { return CurVarGroup ? CurVarGroup->Name : std::string(); }

void TNxBaseOPCServer::Scan() {
  TDA2::Scan();
  for (auto& [key, proxy] : AllItems)
    if (proxy->pScan) proxy->pScan(proxy);
}

TOPCGroup* TNxBaseOPCServer::CreateGroup(const std::string& name, bool active,
                                         DWORD requestedUpdateRate, OPCHANDLE clientHandle,
                                         DWORD lcid) {
  return TNxBaseOPCGroup::Create(this, name, active, requestedUpdateRate, clientHandle, lcid);
}

void TNxBaseOPCServer::GetServerInfo(OPCSERVERSTATUS& status) {
  // Everything TDA2's version fills is replaced, so its vendor text is not made at all.
  status.wMajorVersion = 3;
  status.wMinorVersion = 1;
  status.wBuildNumber = 0;
  CoTaskMemFree(status.szVendorInfo);
  status.szVendorInfo = Utf8ToTaskString("ZEL Net OPC Server");
}

size_t TNxBaseOPCServer::GetServersCount() {
  TOpcGuard g(g_OpcServersLock);
  return g_OpcServers.size();
}

TNxBaseOPCServer* TNxBaseOPCServer::GetServer(size_t idx) {
  TOpcGuard g(g_OpcServersLock);
  return idx < g_OpcServers.size() ? dynamic_cast<TNxBaseOPCServer*>(g_OpcServers[idx]) : nullptr;
}
