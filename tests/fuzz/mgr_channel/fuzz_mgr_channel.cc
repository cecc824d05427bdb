// The manager's window-channel request parser against arbitrary bytes, fed whole and in
// two pieces: a piece never changes a decision already made, and only the one exact
// line shows the manager.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "manager/core/mgr_process.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  const TMgrRequest whole = ParseMgrRequest(in, true);
  if (whole == TMgrRequest::Incomplete) std::abort();  // an ended request is always decided
  for (size_t cut = 0; cut <= size && cut < 200; ++cut) {
    const TMgrRequest part = ParseMgrRequest(in.substr(0, cut), false);
    if (part != TMgrRequest::Incomplete && part != whole) std::abort();
  }
  if (whole == TMgrRequest::Show) {
    const size_t eol = in.find('\n');
    std::string_view line = in.substr(0, eol);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line != "MSG 1025") std::abort();
  }
  return 0;
}
