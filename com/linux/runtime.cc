// The process state of our COM runtime: apartments, the task allocator with its failure
// switch, BSTRs, the server process count.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "com/runtime_control.h"

namespace {
thread_local int t_initCount = 0;

std::atomic<uint64_t> g_allocCount{0};
std::atomic<uint64_t> g_failAt{0};  // allocation number that fails, 0: none
std::atomic<int64_t> g_liveBlocks{0};
std::atomic<int64_t> g_liveBstrs{0};
std::atomic<ULONG> g_serverProcess{0};

// True when this allocation is the one the switch names.
bool NextAllocationFails() {
  uint64_t n = g_allocCount.fetch_add(1) + 1;
  uint64_t at = g_failAt.load();
  return at != 0 && n == at && g_failAt.compare_exchange_strong(at, 0);
}

// BSTR block layout: [uint32 byte count][characters][uint16 zero]; the BSTR points at
// the characters.
constexpr size_t kBstrPrefix = sizeof(uint32_t);
}  // namespace

namespace zelcom {
void FailTaskAllocAt(uint64_t n) { g_failAt = n == 0 ? 0 : g_allocCount.load() + n; }
uint64_t TaskAllocCount() { return g_allocCount.load(); }
int64_t LiveTaskBlocks() { return g_liveBlocks.load(); }
int64_t LiveBstrs() { return g_liveBstrs.load(); }
ULONG ServerProcessCount() { return g_serverProcess.load(); }
}  // namespace zelcom

HRESULT CoInitialize(LPVOID) { return CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }

HRESULT CoInitializeEx(LPVOID, DWORD) { return t_initCount++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize() {
  if (t_initCount > 0) --t_initCount;
}

LPVOID CoTaskMemAlloc(size_t cb) {
  if (NextAllocationFails()) return nullptr;
  void* p = std::malloc(cb == 0 ? 1 : cb);
  if (p) ++g_liveBlocks;
  return p;
}

LPVOID CoTaskMemRealloc(LPVOID pv, size_t cb) {
  if (!pv) return CoTaskMemAlloc(cb);
  if (cb == 0) {
    CoTaskMemFree(pv);
    return nullptr;
  }
  if (NextAllocationFails()) return nullptr;
  return std::realloc(pv, cb);  // on failure the old block stays valid and counted
}

void CoTaskMemFree(LPVOID pv) {
  if (!pv) return;
  --g_liveBlocks;
  std::free(pv);
}

// BSTRs come from the task allocator on the platform too, so the failure switch counts them.
BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  // The byte count must fit the 32-bit prefix.
  if (ui > (std::numeric_limits<uint32_t>::max() - kBstrPrefix) / sizeof(OLECHAR) - 1)
    return nullptr;
  if (NextAllocationFails()) return nullptr;
  size_t bytes = size_t{ui} * sizeof(OLECHAR);
  auto* block = static_cast<unsigned char*>(std::malloc(kBstrPrefix + bytes + sizeof(OLECHAR)));
  if (!block) return nullptr;
  uint32_t len = static_cast<uint32_t>(bytes);
  std::memcpy(block, &len, sizeof len);
  auto* chars = reinterpret_cast<OLECHAR*>(block + kBstrPrefix);
  if (strIn)
    std::memcpy(chars, strIn, bytes);
  else
    std::memset(chars, 0, bytes);
  chars[ui] = 0;
  ++g_liveBstrs;
  return chars;
}

BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  UINT n = 0;
  while (psz[n]) ++n;
  return SysAllocStringLen(psz, n);
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (!pbstr) return FALSE;
  BSTR fresh = SysAllocString(psz);
  if (psz && !fresh) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

void SysFreeString(BSTR bstrString) {
  if (!bstrString) return;
  --g_liveBstrs;
  std::free(reinterpret_cast<unsigned char*>(bstrString) - kBstrPrefix);
}

UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  uint32_t len;
  std::memcpy(&len, reinterpret_cast<unsigned char*>(bstr) - kBstrPrefix, sizeof len);
  return len;
}

UINT SysStringLen(BSTR pbstr) { return SysStringByteLen(pbstr) / sizeof(OLECHAR); }

HRESULT CoDisconnectObject(LPUNKNOWN pUnk, DWORD) { return pUnk ? S_OK : E_INVALIDARG; }

ULONG CoAddRefServerProcess() { return ++g_serverProcess; }

ULONG CoReleaseServerProcess() {
  ULONG prev = g_serverProcess.load();
  // Never below zero: an unbalanced release is a caller's fault, not a wrap-around.
  while (prev != 0 && !g_serverProcess.compare_exchange_weak(prev, prev - 1)) {
  }
  if (prev <= 1) {
    // As on Windows: the last release suspends the class objects, so no new object can
    // be created while the process winds down.
    CoSuspendClassObjects();
    return 0;
  }
  return prev - 1;
}

LCID GetUserDefaultLCID() { return 0x409; }
