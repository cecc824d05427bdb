// Project link-state helpers shared by the login, the batches and the data servers.
#pragma once
#include <string>
#include <vector>

class TOpcPrj;

// Sets NetState and forgets the session: SID, ADDR, ADDRS and DataUrl emptied.
void SetNetState(TOpcPrj& prj, int state);
// ErrCode = code, NetState = ncsError, LastError = now, then the project's ResetRuntime.
void SetProjectError(TOpcPrj& prj, int code);
// Server result code -> project error code; codes outside 0..24 give 0.
int MapServerCode(int serverCode);
// "DispName:Name" entries joined by ',' (the retry and re-login log lines).
std::string ProjectListText(const std::vector<TOpcPrj*>& list);
// Appends p unless the list holds it already; true when appended.
bool AppendUnique(std::vector<TOpcPrj*>& list, TOpcPrj* p);
