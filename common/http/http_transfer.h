// What the portable part of the HTTP client reads of a finished transfer; each transport
// (libcurl on Linux, WinHTTP on Windows) defines TwhTransfer and these.
#pragma once
#include <string>
#include <vector>

#include "common/http/win_http_client.h"

// "Name: value" lines of the final answer's headers.
const std::vector<std::string>& TransferHeaders(const TwhTransfer& t);
// The answer body as received.
const std::string& TransferBody(const TwhTransfer& t);
