// Controls and counters of our COM runtime that the Windows runtime does not have:
// the task allocator's failure switch (to drive out-of-memory paths) and the counts
// tests check for leaks and for the end of a COM-started process. Linux only.
#pragma once
#include <cstdint>

#include "com/com.h"

namespace zelcom {

// Makes the n-th task allocation from now on fail (1: the next one), once; 0 switches
// the failure off. CoTaskMemRealloc and every BSTR allocation count as allocations.
void FailTaskAllocAt(uint64_t n);
// Task allocations made since the start (failed ones included).
uint64_t TaskAllocCount();
// Task-allocated blocks not freed yet.
int64_t LiveTaskBlocks();
// BSTRs allocated and not freed yet.
int64_t LiveBstrs();
// The server process reference count (CoAddRefServerProcess/CoReleaseServerProcess).
ULONG ServerProcessCount();
// Class objects currently registered (suspended ones included).
size_t RegisteredClassObjects();

}  // namespace zelcom
