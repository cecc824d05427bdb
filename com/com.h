// The one include for COM: on Windows the platform's own headers, elsewhere our runtime
// with the same names and layouts. Code that includes only this header (and the
// portable helpers of com/) compiles unchanged on both.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <ocidl.h>
#include <olectl.h>
#include <comcat.h>
#else
#include "com/linux/api.h"
#endif
