#include "common/platform/sys_text.h"

#include <cstring>

namespace {
struct TSysText {
  uint32_t code;
  const char* text;
};
// Win32 error codes and the HRESULTs that wrap them, with their system texts.
constexpr TSysText kTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {14, "Not enough memory resources are available to complete this operation."},
    {32, "The process cannot access the file because it is being used by another process."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {122, "The data area passed to a system call is too small."},
    {183, "Cannot create a file when that file already exists."},
    {193, "%1 is not a valid Win32 application."},
    {1460, "This operation returned because the timeout period expired."},
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004004, "Operation aborted"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    {0x80070005, "Access is denied."},
    {0x80070006, "The handle is invalid."},
    {0x8007000E, "Not enough memory resources are available to complete this operation."},
    {0x80070057, "The parameter is incorrect."},
    {0x80040154, "Class not registered"},
    {0x80040200, "Cannot connect"},
    {0x80020005, "Type mismatch."},
    {0x8002000A, "Out of present range."},
};
}  // namespace

std::string SysErrorMessage(uint32_t code) {
  for (const TSysText& t : kTexts)
    if (t.code == code) return t.text;
  return {};
}
