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
// A new transfer of the session's transport (its handle may be missing: not usable).
TwhTransferPtr NewTransfer(const NxWinHTTP& session);
bool TransferUsable(const TwhTransfer& t);
// Forgets the last answer before the transfer waits in the pool.
void ClearTransfer(TwhTransfer& t);
