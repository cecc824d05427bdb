// The manager's configuration object and project class, the refresh of the project list
// through the data link (login, then enumeration on the data servers' threads, polled
// from the main thread) and the texts and images of the project tree. No Qt here: the
// window only shows what this computes.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "common/config/cfg_file.h"

// The manager's project: a variable-configuration error (the variable list changed) is
// the normal outcome of a refresh here, so it never shows.
class TOpcMPrj : public TOpcPrj {
 public:
  void ResetRuntime() override;
};

class TOpcCfgMgr : public TOpcCfgFile {
 public:
  int64_t NowMs = 0;  // link-clock time of the last scan step

  [[nodiscard]] std::unique_ptr<TOpcPrj> NewPrj() override;

  // Marks every project for a refresh (LinkMode 2 when forced, else 1); false when
  // there is no project, and then nothing is to be done.
  bool MarkRefresh(bool forced);
  // Logs in the marked projects without a session (on this thread) and hands every
  // marked project with a session to g_DataServerMgr for its enumeration.
  void StartRefreshWork();
  // One scan step at `now`: steps the data servers; true while a project is busy.
  bool ScanStep(int64_t now);
  // True while some project is neither idle, done nor failed.
  [[nodiscard]] bool AnyBusy() const;
  // Takes a project out of the list and out of every list that refers to it; the
  // project is destroyed. False when it was not in the list.
  bool RemovePrj(const TOpcPrj* prj);
  // The file part of the save: login cache (rebuilt and written), then ZelOpc.Dat.
  void SaveFiles();

 private:
  // Projects already logged in again during this refresh: a second session loss ends
  // their refresh instead of looping.
  std::vector<const TOpcPrj*> reLogged_;
};

// Tree images by index: 1 root, 2 project, 3 variable summary, 5 project with error
// (4 counts as a root and 6 as a project where nodes are told apart).
enum TMgrImage : int { imgRoot = 1, imgPrj = 2, imgVars = 3, imgRoot2 = 4, imgPrjErr = 5, imgPrj2 = 6 };

// "ZelOpcServer" with "(n设备)" when there are projects.
std::string RootNodeText(size_t prjCount);
// DispName[Name] and, with an error, "(" + error text + ")".
std::string PrjNodeText(const TOpcPrj& prj);
int PrjNodeImage(const TOpcPrj& prj);
// DevName(n个变量); empty when the project has no variables (no summary node).
std::string VarsNodeText(const TOpcPrj& prj);
