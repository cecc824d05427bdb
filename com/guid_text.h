// The registry text form of GUIDs, "{6B29FC40-CA47-1067-B31D-00DD010662DA}": 38
// characters, upper-case hex. Portable: the registration code uses it on both platforms.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "com/com.h"

std::string GuidToText(const GUID& guid);
// Accepts either case; the braces are required.
std::optional<GUID> TextToGuid(std::string_view text);
