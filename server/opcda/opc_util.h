// Helpers shared by the OPC DA objects: the OPC log channel, task-allocated result
// blocks, time stamps, variant conversion and the error texts behind GetErrorString.
// Portable: compiles against our COM runtime and against the Windows headers.
#pragma once
#include <cstddef>
#include <string>

#include "com/com.h"
#include "com/opc_da.h"

// The OPC layer's log sink; null means no OPC log. Set once at start-up.
using TOpcLogFun = void (*)(const std::string& msg);
extern TOpcLogFun g_POpcLogFun;
inline bool OpcIsLog() { return g_POpcLogFun != nullptr; }
// printf-style line through g_POpcLogFun; does nothing when no sink is set. Never throws.
void OpcLog(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Element kinds of taskMemAlloc, in their published order.
enum TTaskMemAllocKind {
  tmaHResult = 0,  // HRESULT and DWORD
  tmaItemState,
  tmaItemResult,
  tmaServerStatus,
  tmaHandle,
  tmaString,
  tmaVarType,
  tmaVariant,
  tmaQuality,
  tmaFileTime,
  tmaItemAttributes,
  tmaLCID,
};

// count zero-filled elements from the COM task allocator; nullptr when it fails or the
// size overflows.
void* taskMemAlloc(size_t count, TTaskMemAllocKind kind);

// The typed form used inside the OPC layer.
template <class T>
T* TaskArray(size_t count) {
  if (count > static_cast<size_t>(-1) / sizeof(T)) return nullptr;
  void* p = CoTaskMemAlloc(count * sizeof(T));
  if (p) {
    auto* b = static_cast<unsigned char*>(p);
    for (size_t i = 0; i < count * sizeof(T); ++i) b[i] = 0;
  }
  return static_cast<T*>(p);
}
// Frees a task-allocated string array and the strings in it.
void FreeTaskStrings(LPWSTR* a, size_t count);
// Clears every variant of a task-allocated array and frees it.
void FreeTaskVariants(VARIANT* a, size_t count);

// The present local date-time (days since 1899-12-30).
DATE NowLocalDate();
// Local date-time to UTC file time (through calendar time and local file time).
FILETIME DataTimeToOPCTime(DATE local);

// value converted to vartype by the runtime's variant conversion into out (cleared
// first); when that fails out is a VT_I4 holding DISP_E_TYPEMISMATCH. S_OK, or
// E_OUTOFMEMORY when a text could not be allocated.
HRESULT ConvertVariant(const VARIANT& value, VARTYPE vartype, VARIANT* out);

// The text of an OPC result code; other codes take the system's message text with
// trailing blanks, control characters and periods removed (empty when there is none).
std::string OPCErrorCodeToString(HRESULT code);

// UTF-8 name of a VARTYPE for log lines ("VT_I4").
const char* VarTypeName(VARTYPE vt);
