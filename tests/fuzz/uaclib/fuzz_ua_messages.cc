// The bytes one client sends on a connection, through chunk assembly, the secure
// channel and every service decoder, on a fresh server without a socket. Whatever comes
// in, the server never crashes and its output is a sequence of whole chunks.
//
// Plain input: the first byte chooses how the rest is split into reads (0: one read),
// so chunks also arrive torn.
//
// Secured input: "SEC" | Config Byte | records. The target is the client: with fixed
// test keys it says Hello and opens a channel with the policy (Config % 3) in Sign or,
// with Config bit 2, SignAndEncrypt; then each record becomes one chunk it signs (and
// encrypts) with the channel's keys:
//   Control Byte | Length UInt16 | payload (the message body from its type id)
// Control bits 0-1 the chunk: 0 MSG F, 1 MSG C, 2 MSG A, 3 CLO F; bit 2 flips one byte
// of the sealed chunk; bit 3 repeats the last sequence number; bit 4 names an unknown
// token; bit 5 renews the channel first. Every MSG chunk the server answers with must
// open with the server keys the client derived.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/unit/uaclib/ua_secure_client.h"
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

struct Fixture {
  uaclib::Server server;
  Fixture(bool keys) : server(0, Config(keys), &OnWrite) {
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
  }
  static uaclib::ServerConfig Config(bool keys) {
    uaclib::ServerConfig cfg;
    cfg.info.applicationUri = "urn:fuzz";
    if (keys) {
      cfg.certificate = uatest::ServerCertificate();
      cfg.privateKey = uatest::ServerKey();
    }
    return cfg;
  }
  double value = 1;
  // One run step's timer work with a value change, as the gateway makes them.
  void Step() {
    TuasUpdateItem item{1, &value, 0, 0};
    TuasUpdateItem* items[] = {&item};
    if (server.Update(items, 1) != 0) std::abort();
    value += 1;
    server.RunTimers();
  }
};

void RunPlain(const uint8_t* data, size_t size) {
  Fixture f(false);
  uaclib::Connection* c = f.server.OpenLocalConnection();
  size_t piece = data[0] ? data[0] : size;
  ++data;
  --size;
  for (size_t at = 0; at < size && !c->Closing(); at += piece) {
    c->Feed(data + at, piece < size - at ? piece : size - at);
    f.Step();
  }
  CheckChunks(c->OutData(), c->OutSize());
  f.server.CloseLocalConnection(c);
}

void RunSecured(const uint8_t* data, size_t size) {
  if (size < 1) return;
  uint8_t config = data[0];
  ++data;
  --size;
  Fixture f(true);
  uaclib::Connection* c = f.server.OpenLocalConnection();
  {
    uatest::SecureClient client(*c, uaclib::kSecurePolicyUris[config % 3],
                                config & 4 ? uaclib::SecurityMode::SignAndEncrypt : uaclib::SecurityMode::Sign);
    if (!client.Ready() || !client.Connect()) std::abort();  // a correct handshake must succeed
    while (size >= 3 && !c->Closing()) {
      uint8_t control = data[0];
      size_t n = data[1] | size_t(data[2]) << 8;
      data += 3;
      size -= 3;
      if (n > size) n = size;
      // Every MSG chunk the server answers with opens with its keys.
      if (!client.Send(control, data, n)) std::abort();
      data += n;
      size -= n;
      f.Step();
    }
  }
  CheckChunks(c->OutData(), c->OutSize());
  f.server.CloseLocalConnection(c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (size >= 3 && std::memcmp(data, "SEC", 3) == 0)
    RunSecured(data + 3, size - 3);
  else
    RunPlain(data, size);
  return 0;
}
