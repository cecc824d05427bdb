// ZelOpcMgr3: the configuration manager. One instance per user session; a second start
// brings the running one to the front and ends.
#include <csignal>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QMessageBox>

#include "common/helpers/message_boxes.h"
#include "common/helpers/program_info.h"
#include "common/platform/named_mutex.h"
#include "common/platform/window_channel.h"
#include "manager/core/mgr_process.h"
#include "manager/ui/main_window.h"
#include "common/qtui/qt_boxes.h"

namespace {
const char* const kManagerHelp =
    "Usage: ZelOpcMgr3 [-ZELID] [-XML] [-GENCERT]\n"
    "The configuration manager of the ZEL OPC gateway: adds, edits and removes the devices\n"
    "the gateway serves, refreshes their variable lists from the cloud, sets up OPC UA and\n"
    "its certificate, and stops and starts the gateway so that it follows each change.\n"
    "\n"
    "Options are also read one per line from OpcMgrParam.ini beside the program; letter\n"
    "case does not matter, '/' works like '-', other options are ignored.\n"
    "  -ZELID     allow the same device number in more than one device\n"
    "  -XML       always write the project file as XML (converts it at start)\n"
    "  -GENCERT   make the OPC UA certificate when there is none, then end\n"
    "  --help     this text\n"
    "  --version  the program's version\n"
    "\n"
    "A second start while the manager runs brings the running one to the front.\n"
    "The data folder is $ZELOPC_DATA_ROOT/ZelOPC3, else $XDG_DATA_HOME/ZelOPC3\n"
    "(~/.local/share/ZelOPC3). The gateway ZelOpcServer3 is started from the manager's\n"
    "own folder.\n";
}  // namespace

int main(int argc, char** argv) {
  // Answered before any window exists: manual pages are made from them without a display.
  if (AnswerInfoOption(argc, argv, "ZelOpcMgr3", kManagerHelp)) return 0;
  std::signal(SIGPIPE, SIG_IGN);
  auto instance = std::make_unique<TNamedMutex>();
  if (!instance->Acquire(kMgrMutexName)) {
    (void)SendWindowMessage(kMgrWindowClass, kMgrChannelCaption, kMsgShowManager, nullptr, 5000);
    return 0;
  }
  try {
    QApplication app(argc, argv);
    QApplication::setApplicationName(kMgrAppTitle);
    QApplication::setQuitOnLastWindowClosed(true);
    SetApplicationTitle(kMgrAppTitle);
    SetMessageBoxes(std::make_unique<TQtBoxes>());
    std::vector<std::string> params(argv + 1, argv + argc);
    TfrmOpcMgr3Main form;
    form.OnReleaseInstance = [&instance] { instance.reset(); };
    if (!form.Startup(params)) return 0;
    form.show();
    return form.Ended ? 0 : QApplication::exec();
  } catch (const std::exception& e) {
    QMessageBox::critical(nullptr, kMgrAppTitle, QString::fromStdString(e.what()));
    return 0;
  }
}
