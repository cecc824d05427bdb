// The namespace server: TNxBaseOPCServer adds the item tree to the OPC DA server object;
// TOpcVarGroup is one folder of it, TValueProxy one item whose value, quality and writes
// are served by callbacks. Each server object builds its own tree once (g_PInitServer)
// and reads it afterwards without a lock; the browse position belongs to the server
// object. Item ids are found regardless of letter case; folder moves compare exactly.
// Main thread only.
#pragma once
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "com/com.h"
#include "server/opcda/da2.h"
#include "server/opcda/group.h"
#include "server/opcda/item_proxy.h"

class TNxBaseOPCServer;
class TValueProxy;
class TOpcVarGroup;

using TInitServerFun = void (*)(TNxBaseOPCServer* server);
// Read into value (empty on entry); E_OUTOFMEMORY when a text cannot be made.
using TOpcReadFun = HRESULT (*)(TValueProxy* item, VARIANT* value);
using TOpcWriteFun = void (*)(TValueProxy* item, const VARIANT& value);
using TOpcScanFun = void (*)(TValueProxy* item);

// Builds the namespace of a new server object; set at start-up.
extern TInitServerFun g_PInitServer;

// Letter-case folding of the item lookup (Unicode simple case folding, server/namespace/case_fold.h).
std::string FoldCase(const std::string& s);

class TValueProxy final : public TOPCItemProxy {
 public:
  explicit TValueProxy(const std::string& name);
  ~TValueProxy() override;

  WORD quality() override { return static_cast<WORD>(_qty); }
  DATE lastUpdate() override;
  HRESULT value(VARIANT* out) override;
  VARTYPE datatype() override { return fType; }
  bool writeable() override { return !isReadOnly; }
  void write(const VARIANT& value) override;
  void SetVType(VARTYPE vtype) { fType = vtype; }

  VARTYPE fType = VT_EMPTY;
  TOpcVarGroup* VarGroup = nullptr;
  void* Tag = nullptr;  // the runtime object behind the item (variable, project, main)
  VARIANT fValue;       // used when no read or write callback is set
  int32_t _qty = OPC_QUALITY_GOOD;
  bool isReadOnly = false;
  TOpcWriteFun pWrite = nullptr;
  TOpcReadFun pRead = nullptr;
  TOpcScanFun pScan = nullptr;
};

// Sorted (folded key, proxy) pairs; equal keys keep their insertion order.
using TProxyList = std::vector<std::pair<std::string, TValueProxy*>>;

class TOpcVarGroup {
 public:
  explicit TOpcVarGroup(const std::string& name) : Name(name) {}
  TOpcVarGroup(const TOpcVarGroup&) = delete;
  TOpcVarGroup& operator=(const TOpcVarGroup&) = delete;

  // Takes ownership.
  TValueProxy* AddItem(std::unique_ptr<TValueProxy> item);
  TOpcVarGroup* FindChildGroup(const std::string& sName) const;
  TValueProxy* FindItem(const std::string& aName) const;
  void InitAddFullName(TProxyList& list);
  void Sort();
  void FillFlatItemList(std::vector<std::string>& list, VARTYPE vtype) const;
  void FillLeafItemList(std::vector<std::string>& list, VARTYPE vtype) const;
  void FillGroupList(std::vector<std::string>& list, VARTYPE vtype) const;

  std::string Name;
  std::string FullPrefix;
  TNxBaseOPCServer* Server = nullptr;
  TOpcVarGroup* Parent = nullptr;
  std::vector<std::unique_ptr<TValueProxy>> Items;  // sorted by folded short name after Sort
  std::vector<std::unique_ptr<TOpcVarGroup>> Groups;
};

class TNxBaseOPCGroup final : public TOPCGroup {
 public:
  static TOPCGroup* Create(TDA2* server, const std::string& name, bool active,
                           DWORD requestedUpdateRate, OPCHANDLE clientHandle, DWORD lcid);

 private:
  using TOPCGroup::TOPCGroup;
};

class TNxBaseOPCServer : public TDA2 {
 public:
  // A new server object with its tree built; the caller holds the one reference.
  static TNxBaseOPCServer* Create();

  // Takes ownership of aGroup; aParent null means the root.
  TOpcVarGroup* AddVarGroup(std::unique_ptr<TOpcVarGroup> aGroup, TOpcVarGroup* aParent);
  void CompleteInit();
  TValueProxy* FindProxy(const std::string& ref) override;
  TValueProxy* GetAt(int idx);
  bool CheckFlatName(const std::string& sName);
  std::string ExpandFullName(const std::string& nameInGroup) override;
  std::string RemoveSelfNamePrefix(const std::string& fullName) override;
  HRESULT ChangePosUp() override;
  HRESULT ChangePosDown(const std::string& sName) override;
  HRESULT ChangePosTo(const std::string& sName) override;
  void FillFlatItemList(std::vector<std::string>& list, VARTYPE vtype) override;
  void FillLeafItemList(std::vector<std::string>& list, VARTYPE vtype) override;
  void FillGroupList(std::vector<std::string>& list, VARTYPE vtype) override;
  std::string CurrentBranchName() override;
  void Scan() override;
  TOPCGroup* CreateGroup(const std::string& name, bool active, DWORD requestedUpdateRate,
                         OPCHANDLE clientHandle, DWORD lcid) override;
  void GetServerInfo(OPCSERVERSTATUS& status) override;

  static size_t GetServersCount();
  static TNxBaseOPCServer* GetServer(size_t idx);

  TOpcVarGroup* RootVarGroup() const { return RootVarGroup_.get(); }
  TOpcVarGroup* CurVarGroup = nullptr;
  TProxyList AllItems;  // sorted by folded full id after CompleteInit

 protected:
  TNxBaseOPCServer() = default;
  ~TNxBaseOPCServer() override;
  void Initialize() override;

 private:
  std::unique_ptr<TOpcVarGroup> RootVarGroup_;
};
