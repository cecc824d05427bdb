// The bytes one client sends on a connection, through chunk assembly, the secure
// channel and every service decoder, on a fresh server without a socket. The first byte
// chooses how the rest is split into reads (0: one read), so chunks also arrive torn.
// Whatever comes in, the server never crashes and its output is a sequence of whole
// chunks.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "uaclib/server.h"

namespace {

void OnWrite(void*, void*, double*) {}

void CheckChunks(const uint8_t* p, size_t n) {
  while (n > 0) {
    if (n < 8) std::abort();
    uint32_t size;
    std::memcpy(&size, p + 4, 4);
    if (size < 8 || size > n) std::abort();
    p += size;
    n -= size;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uaclib::ServerConfig cfg;
  cfg.info.applicationUri = "urn:fuzz";
  uaclib::Server server(0, cfg, &OnWrite);
  server.UseCounterNonces();
  TuasFolder folder{"P", 1, 0, 0, 0};
  TuasFolder* folders[] = {&folder};
  TuasVarDef defs[] = {
      {"P.A", "A", "P_A", nullptr, 1, UAS_TYPE_DOUBLE, 'W', 0},
      {"P.B", "B", "P_B", nullptr, 1, UAS_TYPE_INT32, 'R', 0},
      {"P.C", "C", "P_C", nullptr, 1, UAS_TYPE_STRING, 'W', 0},
  };
  TuasVarDef* defPtrs[] = {&defs[0], &defs[1], &defs[2]};
  if (server.AddNamespace(defPtrs, 3, folders, 1) != 0) std::abort();

  uaclib::Connection* c = server.OpenLocalConnection();
  size_t piece = data[0] ? data[0] : size;
  ++data;
  --size;
  double value = 1;
  for (size_t at = 0; at < size && !c->Closing(); at += piece) {
    c->Feed(data + at, piece < size - at ? piece : size - at);
    TuasUpdateItem item{1, &value, 0, 0};
    TuasUpdateItem* items[] = {&item};
    if (server.Update(items, 1) != 0) std::abort();
    value += 1;
    server.RunTimers();
  }
  CheckChunks(c->OutData(), c->OutSize());
  server.CloseLocalConnection(c);
  return 0;
}
