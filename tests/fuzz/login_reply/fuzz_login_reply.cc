// The login answer as it comes from the login server: split into items, the status item
// checked, each project's item parsed. Nothing crashes, and every project leaves the
// parse in one of the two states a login can give.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/config/opc_prj.h"
#include "common/link/link_state.h"
#include "common/link/login.h"
#include "common/log/link_texts.h"
#include "common/platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // First byte: the projects' custom server (none, http, https); the rest: the answer.
  if (size < 1) return 0;
  static const char* const kServers[] = {"", "http://login.test:81", "https://login.test:7443"};
  const std::string_view answer(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> items = SplitItems(answer);
  if (items.empty() || Trim(items[0]) != "OK") return 0;
  TOpcPrj prjs[4];
  for (size_t n = 0; n + 1 < items.size() && n < std::size(prjs); ++n) {
    TOpcPrj& p = prjs[n];
    p.Name = "1000000" + std::to_string(n);
    p.DispName = "P" + std::to_string(n);
    p.CustServer = kServers[data[0] % 3];
    p.NetState = ncsRunning;
    p.SID = "old";
    const bool ok = ParseLoginReply(p, SplitLines(items[n + 1]));
    if (ok) {
      if (p.NetState != ncsEnum || p.ErrCode != nceNone) std::abort();
      if (p.DataUrl.rfind("http://", 0) != 0 && p.DataUrl.rfind("https://", 0) != 0) std::abort();
      if (p.ADDR != LowerCase(p.ADDR) || p.ADDRS != LowerCase(p.ADDRS)) std::abort();
    } else {
      if (p.NetState != ncsError || !p.SID.empty() || !p.DataUrl.empty()) std::abort();
      if (p.ErrCode < nceNone || p.ErrCode > nceDeviceConn) std::abort();
    }
  }
  return 0;
}
