// The rules of the server status window `TfrmServerInfo` without its widgets: the grid's
// headers and rows, the memo's height and the row pop-up menu's entries.
#pragma once
#include <array>
#include <string>
#include <vector>

class TZelMain;
class TOpcSPrj;
struct TmyLangString;

inline constexpr int kServerInfoColumns = 5;
inline constexpr int kServerInfoColumnWidths[kServerInfoColumns] = {41, 411, 96, 90, 209};

using TServerInfoRow = std::array<std::string, kServerInfoColumns>;

// The built-in headers, each replaced by its ColHeader text when that is not empty.
TServerInfoRow ServerInfoHeaders(const TmyLangString& lang);
// The server connection's state: running while the data server answers (states 3, 4, 6,
// and state 2 with a device-side error code of 6 or more), else the state itself.
int DerivedServerState(int netState, int errCode);
// One row per project in archive order.
std::vector<TServerInfoRow> ServerInfoRows(TZelMain& main);
// The memo's height for the window's content height.
int ServerInfoMemoHeight(int contentHeight);

struct TServerInfoMenu {
  bool EnterPassword = false;   // "输入密码"
  bool DeletePassword = false;  // "删除保存的密码"
};
// The entries shown for the selected project (none without one).
TServerInfoMenu ServerInfoMenuFor(const TOpcSPrj* selected);
// A double click on the row asks for the password: a project whose password the archive
// does not keep and that the data server refused for its password.
bool ServerInfoAsksPasswordOnDoubleClick(const TOpcSPrj* selected);

// The password store keeps the device passwords the archive does not (NoSavePass set),
// scrambled like the archive's, under the device number.
//
// "输入密码": the password is kept in the store and used at once: a project waiting for
// its next login round logs in again on the next tick. At most 16 UTF-16 units count.
void EnterProjectPassword(TZelMain& main, TOpcSPrj& prj, const std::string& password);
// "删除保存的密码": the store forgets the password; a session already made stays.
void DeleteSavedPassword(TOpcSPrj& prj);
// At start: each project without a password of its own takes the one kept in the store.
void ApplySavedPasswords(TZelMain& main);
