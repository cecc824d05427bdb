#include "common/helpers/random_uid.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <sys/random.h>
#endif

#include <cstdlib>
#include <ctime>

#include "common/platform/registry.h"
#include "common/platform/text.h"

namespace {
// The system's random source: n bytes or false.
bool SystemRandom(uint8_t* out, size_t n, bool probe) {
#ifdef _WIN32
  (void)probe;
  return BCryptGenRandom(nullptr, out, ULONG(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
#else
  return getrandom(out, n, probe ? GRND_NONBLOCK : 0) == ssize_t(n);
#endif
}
}  // namespace

TNxRandomUID::TNxRandomUID() {
  uint8_t probe;
  hasProvider_ = SystemRandom(&probe, 1, true);
  if (!hasProvider_) std::srand(unsigned(std::time(nullptr)));
}

bool TNxRandomUID::RandomBytes(uint8_t* out, size_t n) {
  if (hasProvider_ && SystemRandom(out, n, false)) return true;
  // Without the system source: pairs of bytes from the program's pseudo-random generator.
  for (size_t i = 0; i < n; i += 2) {
    int v = std::rand() & 0xFFFF;
    out[i] = uint8_t(v);
    if (i + 1 < n) out[i + 1] = uint8_t(v >> 8);
  }
  return false;
}

std::string TNxRandomUID::MakeUID() {
  uint8_t b[8];
  if (hasProvider_) {
    // Identifiers starting with F0..FF are kept for those made without the provider.
    do {
      RandomBytes(b, 8);
    } while (b[0] >= 0xF0);
  } else {
    RandomBytes(b, 8);
    b[0] = 0xF1;
  }
  std::string s;
  for (uint8_t x : b) s += Format("%02X", x);
  return s;
}

std::string TNxRandomUID::GetUID(const std::string& key) {
  if (!cached_.empty()) return cached_;
  std::string k = key.empty() ? std::string("Software\\Microsoft\\COM") : key;
  RegCreateKey(TRegRoot::HKCU, k);
  std::string v;
  if (RegReadString(TRegRoot::HKCU, k, "UID", v)) cached_ = v;
  if (cached_.empty()) {
    cached_ = MakeUID();
    RegWriteString(TRegRoot::HKCU, k, "UID", cached_);
  }
  return cached_;
}

std::string GetUID(const std::string& key) {
  static TNxRandomUID uid;
  return uid.GetUID(key);
}
