// Where the most recent exception was thrown. Every C++ throw of the process passes
// through a wrapper of the runtime's throw entry that records the call stack of the
// throwing thread; LastExceptionStack formats it, one frame per line as
// "module+0xoffset (address)".
#pragma once
#include <string>

std::string LastExceptionStack();
// Links the throw wrapper into a program (call once at start; also a no-op check).
void EnableExceptionStackTracking();
