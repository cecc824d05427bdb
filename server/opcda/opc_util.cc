// The OPC layer's shared helpers: log channel, task-allocated blocks, time stamps,
// variant conversion and error texts.
#include "server/opcda/opc_util.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "com/ole_text.h"
#ifndef _WIN32
#include "common/platform/sys_text.h"
#endif

TOpcLogFun g_POpcLogFun = nullptr;

void OpcLog(const char* fmt, ...) {
  if (!g_POpcLogFun) return;
  try {
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    std::string line;
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
      line.assign(small, static_cast<size_t>(n));
    } else if (n >= 0) {
      line.resize(static_cast<size_t>(n) + 1);
      std::vsnprintf(line.data(), line.size(), fmt, ap2);
      line.resize(static_cast<size_t>(n));
    }
    va_end(ap2);
    g_POpcLogFun(line);
  } catch (...) {
    // A log line is never worth a failed client call.
  }
}

void* taskMemAlloc(size_t count, TTaskMemAllocKind kind) {
  static constexpr size_t kSizes[] = {
      sizeof(HRESULT),       sizeof(OPCITEMSTATE), sizeof(OPCITEMRESULT),
      sizeof(OPCSERVERSTATUS), sizeof(OPCHANDLE),  sizeof(LPWSTR),
      sizeof(VARTYPE),       sizeof(VARIANT),      sizeof(WORD),
      sizeof(FILETIME),      sizeof(OPCITEMATTRIBUTES), sizeof(LCID)};
  if (kind < 0 || static_cast<size_t>(kind) >= sizeof kSizes / sizeof kSizes[0]) return nullptr;
  size_t size = kSizes[kind];
  if (count > static_cast<size_t>(-1) / size) return nullptr;
  void* p = CoTaskMemAlloc(count * size);
  if (p) std::memset(p, 0, count * size);
  return p;
}

void FreeTaskStrings(LPWSTR* a, size_t count) {
  if (!a) return;
  for (size_t i = 0; i < count; ++i) CoTaskMemFree(a[i]);
  CoTaskMemFree(a);
}

void FreeTaskVariants(VARIANT* a, size_t count) {
  if (!a) return;
  for (size_t i = 0; i < count; ++i) VariantClear(&a[i]);
  CoTaskMemFree(a);
}

DATE NowLocalDate() {
  FILETIME utc{}, local{};
  GetSystemTimeAsFileTime(&utc);
  // Reads of many items ask within one millisecond: the calendar work is done once per
  // millisecond and thread.
  uint64_t ms = ((static_cast<uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime) / 10000;
  thread_local uint64_t lastMs = 0;
  thread_local DATE lastDate = 0;
  if (ms == lastMs) return lastDate;
  FileTimeToLocalFileTime(&utc, &local);
  SYSTEMTIME st{};
  FileTimeToSystemTime(&local, &st);
  DATE d = 0;
  SystemTimeToVariantTime(&st, &d);
  // The calendar conversion keeps whole seconds only; add the milliseconds back.
  lastMs = ms;
  lastDate = d + st.wMilliseconds / 86400000.0;
  return lastDate;
}

namespace {
FILETIME Convert(DATE local) {
  FILETIME out{};
  SYSTEMTIME st{};
  if (!VariantTimeToSystemTime(local, &st)) return out;
  FILETIME lft{};
  if (!SystemTimeToFileTime(&st, &lft)) return out;
  if (!LocalFileTimeToFileTime(&lft, &out)) return FILETIME{};
  return out;
}
}  // namespace

FILETIME DataTimeToOPCTime(DATE local) {
  // One entry per thread: the items of one read mostly carry the same time stamp.
  thread_local DATE lastIn = -1;
  thread_local FILETIME lastOut{};
  if (local == lastIn) return lastOut;
  FILETIME out = Convert(local);
  lastIn = local;
  lastOut = out;
  return out;
}

HRESULT ConvertVariant(const VARIANT& value, VARTYPE vartype, VARIANT* out) {
  VariantClear(out);
  HRESULT hr = VariantChangeType(out, const_cast<VARIANT*>(&value), 0, vartype);
  if (hr == E_OUTOFMEMORY) return hr;
  if (FAILED(hr)) {
    VariantClear(out);
    out->vt = VT_I4;
    out->lVal = DISP_E_TYPEMISMATCH;
  }
  return S_OK;
}

namespace {

struct CodeText {
  uint32_t code;
  const char* text;
};

constexpr CodeText kOpcTexts[] = {
    {0x0004000D, "The server does not support the requested data rate but will use the closest available rate."},
    {0x0004000E, "A value passed to WRITE was accepted but the output was clamped."},
    {0x0004000F, "The operation cannot be completed because the object still has references that exist."},
    {0x00040200, "The condition has already been acknowleged."},
    {0x00040201, "The buffer time parameter was invalid."},
    {0x00040202, "The max size parameter was invalid."},
    {0xC0040001, "The value of the handle is invalid."},
    {0xC0040004, "The server cannot convert the data between the requested data type and the canonical data type."},
    {0xC0040005, "The requested operation cannot be done on a public group."},
    {0xC0040006, "The Items AccessRights do not allow the operation."},
    {0xC0040007, "The item is no longer available in the server address space."},
    {0xC0040008, "The item definition does not conform to the server's syntax."},
    {0xC0040009, "The filter string was not valid."},
    {0xC004000A, "The item's access path is not known to the server."},
    {0xC004000B, "The value was out of range."},
    {0xC004000C, "Duplicate name not allowed."},
    {0xC0040010, "The server's configuration file is an invalid format."},
    {0xC0040011, "The server could not locate the requested object."},
    {0xC0040203, "The server does not recognise the passed property ID."},
    {0xC0040204, "The time does not match the latest active time."},
    {0xC0040205, "A refresh is currently in progress."},
    {0xC0040206, "Information is not available."},
};

std::string SystemMessage(HRESULT code) {
  std::string text;
#ifdef _WIN32
  wchar_t buf[513] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0, buf, 512, nullptr);
  text = OleToUtf8(n ? buf : L"");
#else
  // No system message table here: the program's table of the Windows texts.
  text = SysErrorMessage(static_cast<uint32_t>(code));
#endif
  if (text.size() > 512) text.resize(512);
  while (!text.empty()) {
    unsigned char c = static_cast<unsigned char>(text.back());
    if (c <= ' ' || c == '.' || c == 0x7F) text.pop_back();
    else break;
  }
  return text;
}

}  // namespace

std::string OPCErrorCodeToString(HRESULT code) {
  for (const CodeText& t : kOpcTexts)
    if (t.code == static_cast<uint32_t>(code)) return t.text;
  return SystemMessage(code);
}

const char* VarTypeName(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: return "VT_EMPTY";
    case VT_NULL: return "VT_NULL";
    case VT_I2: return "VT_I2";
    case VT_I4: return "VT_I4";
    case VT_R4: return "VT_R4";
    case VT_R8: return "VT_R8";
    case VT_CY: return "VT_CY";
    case VT_DATE: return "VT_DATE";
    case VT_BSTR: return "VT_BSTR";
    case VT_ERROR: return "VT_ERROR";
    case VT_BOOL: return "VT_BOOL";
    case VT_VARIANT: return "VT_VARIANT";
    case VT_I1: return "VT_I1";
    case VT_UI1: return "VT_UI1";
    case VT_UI2: return "VT_UI2";
    case VT_UI4: return "VT_UI4";
    case VT_I8: return "VT_I8";
    case VT_UI8: return "VT_UI8";
    case VT_INT: return "VT_INT";
    case VT_UINT: return "VT_UINT";
    default: return "VT_?";
  }
}
