#include "common/link/link_state.h"

#include <algorithm>

#include "common/config/opc_prj.h"
#include "common/log/link_texts.h"
#include "common/platform/clock.h"

void SetNetState(TOpcPrj& prj, int state) {
  prj.NetState = state;
  prj.SID.clear();
  prj.ADDR.clear();
  prj.ADDRS.clear();
  prj.DataUrl.clear();
}

void SetProjectError(TOpcPrj& prj, int code) {
  prj.ErrCode = code;
  prj.NetState = ncsError;
  prj.LastError = SteadyMs();
  prj.ResetRuntime();
}

int MapServerCode(int c) {
  switch (c) {
    case 1: case 2: case 3: case 6: case 18: case 19: case 20: case 21: return ncePassword;
    case 4: case 7: case 9: case 11: case 14: case 17: return nceDeviceConn;
    case 5: return nceNotSupported;
    case 10: return nceTransparent;
    case 12: case 13: case 16: return nceVarConfig;
    case 15: return nceTooManyConn;
    default: return nceNone;  // 0, 8, 22..24 and codes outside the table
  }
}

std::string ProjectListText(const std::vector<TOpcPrj*>& list) {
  std::string s;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i) s += ",";
    s += list[i]->DispName + ":" + list[i]->Name;
  }
  return s;
}

bool AppendUnique(std::vector<TOpcPrj*>& list, TOpcPrj* p) {
  if (std::find(list.begin(), list.end(), p) != list.end()) return false;
  list.push_back(p);
  return true;
}
