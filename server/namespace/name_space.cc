// The namespace over the runtime: one folder per project (display name), group and
// subgroup folders from the variables' group paths, the variables as items, and the
// "$$" system items of the root and of each project.
#include "server/namespace/name_space.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "com/ole_text.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"
#include "server/opcda/opc_util.h"
#include "server/runtime/zel_main.h"

namespace {

HRESULT PutI4(VARIANT* v, LONG x) {
  v->vt = VT_I4;
  v->lVal = x;
  return S_OK;
}

HRESULT PutText(VARIANT* v, const std::string& s) {
  BSTR b = Utf8ToBstr(s);
  if (!b) return E_OUTOFMEMORY;
  v->vt = VT_BSTR;
  v->bstrVal = b;
  return S_OK;
}

TOpcSPrj& PrjOf(TValueProxy* p) { return *static_cast<TOpcSPrj*>(p->Tag); }

HRESULT ReadCount(TValueProxy* p, VARIANT* v) {
  auto& main = *static_cast<TZelMain*>(p->Tag);
  LONG n = 0;
  for (size_t i = 0; i < main.PrjCount(); ++i) {
    int32_t st = main.SPrj(i).NetState;
    if (st >= ncsEnum && st <= ncsReLogin) ++n;
  }
  return PutI4(v, n);
}

HRESULT ReadRegState(TValueProxy* p, VARIANT* v) {
  int32_t e = PrjOf(p).ErrCode;
  return PutI4(v, (e == nceVarConfig || e == nceTransparent || e == nceDeviceConn) ? 0 : e);
}

HRESULT ReadRegInfo(TValueProxy* p, VARIANT* v) {
  try {
    TOpcSPrj& prj = PrjOf(p);
    std::vector<std::string> lines;
    AddStateLines(prj, lines);
    int64_t ms = NowMs() - prj.RunStart;
    if (ms < 0) ms = 0;
    int64_t s = ms / 1000;
    char run[32];
    std::snprintf(run, sizeof run, "RunTime=%02d:%02d:%02d", static_cast<int>((s / 3600) % 24),
                  static_cast<int>((s / 60) % 60), static_cast<int>(s % 60));
    lines.push_back(run);
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    return PutText(v, text);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ReadRegCommInfo(TValueProxy* p, VARIANT* v) {
  try {
    std::vector<std::string> lines;
    PrjOf(p).AppendStatusLines(lines);
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    return PutText(v, text);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT ReadIOServerState(TValueProxy* p, VARIANT* v) {
  int32_t e = PrjOf(p).ErrCode;
  return PutI4(v, (e >= 8 || e == 3) ? 1 : e);
}

HRESULT ReadEmptyText(TValueProxy*, VARIANT* v) { return PutText(v, ""); }
HRESULT ReadZero(TValueProxy*, VARIANT* v) { return PutI4(v, 0); }
void WriteNothing(TValueProxy*, const VARIANT&) {}

bool IsBad(const TZelVarItem& var) { return !IsGood(var); }

HRESULT ReadVar(TValueProxy* p, VARIANT* v) {
  auto& var = *static_cast<TZelVarItem*>(p->Tag);
  bool bad = IsBad(var);
  p->_qty = bad ? OPC_QUALITY_BAD : OPC_QUALITY_GOOD;
  double x = bad ? 0.0 : var.Prj->GetValue(var);
  switch (var.DataType) {
    case VAR_LONG: {
      // Truncated toward zero; a value outside 32 bits is clamped (converting it
      // unchecked is undefined).
      double t = std::trunc(x);
      if (!(t >= std::numeric_limits<int32_t>::min())) t = std::isnan(t) ? 0 : std::numeric_limits<int32_t>::min();
      if (t > std::numeric_limits<int32_t>::max()) t = std::numeric_limits<int32_t>::max();
      return PutI4(v, static_cast<LONG>(t));
    }
    case VAR_DISC:
      v->vt = VT_BOOL;
      v->boolVal = x != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    default:
      v->vt = VT_R8;
      v->dblVal = x;
      return S_OK;
  }
}

void WriteVar(TValueProxy* p, const VARIANT& value) {
  auto& var = *static_cast<TZelVarItem*>(p->Tag);
  if (IsBad(var) || var.ReadOnly) return;
  VARIANT d;
  VariantInit(&d);
  if (FAILED(VariantChangeType(&d, const_cast<VARIANT*>(&value), 0, VT_R8))) return;
  var.Prj->SetValue(var, d.dblVal);
  if (var.Prj->Push && var.UaNode != 0) var.Prj->Push->UpdateVar(var, false);
}

VARTYPE CanonicalType(int16_t dataType) {
  switch (dataType) {
    case VAR_DISC: return VT_BOOL;
    case VAR_LONG: return VT_I4;
    case VAR_ANALOG: return VT_R4;
    case VAR_DOUBLE: return VT_R8;
    case VAR_STR: return VT_BSTR;
    default: return VT_R4;  // not produced by the data link; typed like an analog value
  }
}

TValueProxy* AddSystemItem(TOpcVarGroup& folder, const char* name, VARTYPE vt, void* tag,
                           TOpcReadFun read, bool readOnly = true) {
  auto item = std::make_unique<TValueProxy>(name);
  item->fType = vt;
  item->Tag = tag;
  item->pRead = read;
  item->isReadOnly = readOnly;
  return folder.AddItem(std::move(item));
}

TOpcVarGroup* ChildFolder(TNxBaseOPCServer& server, TOpcVarGroup* parent, const std::string& name) {
  if (TOpcVarGroup* g = parent->FindChildGroup(name)) return g;
  return server.AddVarGroup(std::make_unique<TOpcVarGroup>(name), parent);
}

}  // namespace

void CreateOpcNameSpace(TZelMain& main, TNxBaseOPCServer& server) {
  if (OpcIsLog()) OpcLog("CreateOpcNameSpace");
  TOpcVarGroup* root = server.RootVarGroup();
  AddSystemItem(*root, "$$Count", VT_I4, &main, ReadCount);
  for (size_t i = 0; i < main.PrjCount(); ++i) {
    TOpcSPrj& prj = main.SPrj(i);
    auto owned = std::make_unique<TOpcVarGroup>(prj.DispName);
    TOpcVarGroup& folder = *owned;
    AddSystemItem(folder, "$$RegState", VT_I4, &prj, ReadRegState);
    AddSystemItem(folder, "$$RegInfo", VT_BSTR, &prj, ReadRegInfo);
    AddSystemItem(folder, "$$RegCommInfo", VT_BSTR, &prj, ReadRegCommInfo);
    server.AddVarGroup(std::move(owned), nullptr);
    AddSystemItem(folder, "$$IOServerState", VT_I4, &prj, ReadIOServerState);
    AddSystemItem(folder, "$$IOServerInfo", VT_BSTR, &prj, ReadEmptyText);
    AddSystemItem(folder, "$$IOServerCommInfo", VT_BSTR, &prj, ReadEmptyText);
    AddSystemItem(folder, "$$ForceRefresh", VT_I4, &prj, ReadZero, false)->pWrite = WriteNothing;
    for (const auto& var : prj.Vars) {
      auto item = std::make_unique<TValueProxy>(var->Name);
      item->Tag = var.get();
      item->fType = CanonicalType(var->DataType);
      item->pRead = ReadVar;
      item->pWrite = WriteVar;
      TOpcVarGroup* at = &folder;
      if (!var->GroupName.empty()) {
        at = ChildFolder(server, at, var->GroupName);
        if (!var->SubGroupName.empty()) at = ChildFolder(server, at, var->SubGroupName);
      }
      at->AddItem(std::move(item));
    }
  }
  server.CompleteInit();
}

void InitServerFromMain(TNxBaseOPCServer* server) {
  if (gp_Main && server) CreateOpcNameSpace(*gp_Main, *server);
}
