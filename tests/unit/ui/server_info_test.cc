// The status window: its rows from the projects' states, its headers and buttons from
// uiinfo.ini, the memo's height, the row menu and its password actions, and the refresh
// that Ctrl suppresses.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include "common/log/link_texts.h"
#include "server/core/main_window.h"
#include "server/core/server_info.h"
#include "server/runtime/zel_main.h"
#include "server/ui/server_info_form.h"
#include "common/config/opc_prj.h"
#include "common/platform/text.h"
#include "tests/common/test_env.h"
#include "tests/unit/ui/offscreen_app.h"

namespace {
TOpcSPrj& AddPrj(TZelMain& main, const char* disp, const char* name, int state, int err) {
  auto p = main.NewPrj();
  p->DispName = disp;
  p->Name = name;
  p->DevName = "PLC";
  p->NetState = state;
  p->ErrCode = err;
  main.Prjs.push_back(std::move(p));
  return main.SPrj(main.PrjCount() - 1);
}
}  // namespace

TEST(ServerInfo, ConnectionColumnsFollowStateAndErrorCode) {
  struct Case {
    int state, err;
    const char* server;
    const char* device;
    const char* fault;
  } cases[] = {
      {ncsReLogin, nceNone, "正常运行", "重登录", "(无)"},
      {ncsError, nceDeviceConn, "正常运行", "错误", "设备连接故障"},
      {ncsError, nceTransparent, "正常运行", "错误", nullptr},  // the first device-side code
      {ncsError, ncePassword, "错误", "", "序号密码错误"},
      {ncsError, nceNetwork, "错误", "", nullptr},
      {ncsError, nceDeviceId, "错误", "错误", nullptr},  // only codes 1 and 3 blank the device
      {ncsEnum, nceNone, "正常运行", "获取变量", nullptr},
      {ncsStartRW, nceNone, "正常运行", "开始读写", nullptr},
      {ncsIdle, nceNone, "空闲", "空闲", nullptr},
      {ncsRunning, nceNone, "正常运行", "正常运行", nullptr},
  };
  TZelMain main;
  for (const Case& c : cases) AddPrj(main, "Pump", "1001", c.state, c.err);
  const std::vector<TServerInfoRow> rows = ServerInfoRows(main);
  ASSERT_EQ(rows.size(), std::size(cases));
  for (size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(std::to_string(cases[i].state) + "/" + std::to_string(cases[i].err));
    EXPECT_EQ(rows[i][0], std::to_string(i + 1));
    EXPECT_EQ(rows[i][2], cases[i].server);
    EXPECT_EQ(rows[i][3], cases[i].device);
    if (cases[i].fault) {
      EXPECT_EQ(rows[i][4], cases[i].fault);
    }
  }
}

TEST(ServerInfo, DescriptionCarriesTheWriteOptimisation) {
  TZelMain main;
  const char* expected[] = {"Pump[1001](PLC)", "Pump[1001](PLC)写优化:低", "Pump[1001](PLC)写优化:无"};
  for (int opt = 0; opt < 3; ++opt) AddPrj(main, "Pump", "1001", ncsRunning, 0).WriteOpt = opt;
  const auto rows = ServerInfoRows(main);
  for (int opt = 0; opt < 3; ++opt) EXPECT_EQ(rows[size_t(opt)][1], expected[opt]);
}

TEST(ServerInfo, MemoHeightIsTwoFifthsUpTo400ThenFixed) {
  const std::pair<int, int> cases[] = {{0, 0}, {7, 2}, {400, 160}, {401, 160}, {1000, 160}, {399, 159}};
  for (auto [content, memo] : cases) EXPECT_EQ(ServerInfoMemoHeight(content), memo) << content;
}

TEST(ServerInfo, RowMenuShowsOnlyForProjectsWithoutSavedPassword) {
  struct Case {
    bool selected;
    int noSavePass, state;
    bool enter, del;
  } cases[] = {
      {false, 1, ncsError, false, false}, {true, 0, ncsError, false, false},
      {true, 1, ncsError, true, true},    {true, 1, ncsRunning, false, true},
  };
  TZelMain main;
  for (const Case& c : cases) {
    TOpcSPrj& p = AddPrj(main, "Pump", "1001", c.state, 0);
    p.NoSavePass = c.noSavePass;
    const TServerInfoMenu m = ServerInfoMenuFor(c.selected ? &p : nullptr);
    EXPECT_EQ(m.EnterPassword, c.enter);
    EXPECT_EQ(m.DeletePassword, c.del);
  }
}

TEST(ServerInfo, WindowTakesUiInfoTextsAndRefreshesUnlessCtrl) {
  EnsureOffscreenApp();
  TZelMain main;
  AddPrj(main, "Pump", "1001", ncsRunning, 0).NoSavePass = 1;
  TmyLangString lang;
  lang.ColHeader[1] = "设备";
  lang.ColHeader[5] = "unused";
  lang.Refresh = "刷新";
  lang.Close = "退出";
  lang.NetConnInfo = "连接:";
  TfrmServerInfo form(main, lang, "查看服务器状态");
  EXPECT_EQ(form.Grid->columnCount(), 5);
  const char* headers[] = {"ID", "设备", "服务器连接", "设备连接", "故障信息"};
  for (int c = 0; c < 5; ++c) {
    EXPECT_EQ(form.Grid->horizontalHeaderItem(c)->text().toStdString(), headers[c]);
    EXPECT_EQ(form.Grid->columnWidth(c), kServerInfoColumnWidths[c]);
  }
  EXPECT_EQ(form.btnRefresh->text().toStdString(), "刷新");
  EXPECT_EQ(form.btnClose->text().toStdString(), "退出");
  EXPECT_EQ(form.windowTitle().toStdString().rfind("查看服务器状态---", 0), 0u);

  for (bool ctrl : {false, true}) {
    SCOPED_TRACE(ctrl);
    main.SPrj(0).NetState = ncsRunning;
    std::string before, after;
    // While the modal window is open, the project changes; the timer shows it unless
    // the window was opened with Ctrl, where only the refresh button does.
    QTimer::singleShot(0, [&] {
      before = form.Grid->item(0, 3)->text().toStdString();
      main.SPrj(0).NetState = ncsReLogin;
    });
    QTimer::singleShot(1700, [&] {
      after = form.Grid->item(0, 3)->text().toStdString();
      if (ctrl) form.btnRefresh->click();
      EXPECT_EQ(form.Grid->item(0, 3)->text().toStdString(), "重登录");
      EXPECT_EQ(form.Memo->toPlainText().toStdString(), "连接:");
      form.Grid->selectRow(0);
      form.PrepareRowMenu();
      EXPECT_TRUE(form.actEnterPassword->isVisible());  // not running: a password may help
      EXPECT_TRUE(form.actDeletePassword->isVisible());
      form.EndServerStatus();
    });
    form.ShowServerStatus(ctrl);
    EXPECT_FALSE(form.RefreshTimer.isActive());
    EXPECT_EQ(before, "正常运行");
    EXPECT_EQ(after, ctrl ? "正常运行" : "重登录");
  }
}

// The row menu's actions on the password store: a password entered for a project the
// archive keeps none for is used for its next login at once and found again at the next
// start; deleting it leaves the running project alone.
TEST(ServerInfo, RowMenuEntersKeepsAndForgetsTheDevicePassword) {
  EnsureOffscreenApp();
  TTempDir dir;
  TScopedEnv root("ZELOPC_DATA_ROOT", dir.path());
  TZelMain main;
  TOpcSPrj& refused = AddPrj(main, "Pump", "1001", ncsError, ncePassword);
  refused.NoSavePass = 1;
  TOpcSPrj& running = AddPrj(main, "Tank", "1002", ncsRunning, 0);
  running.NoSavePass = 1;
  running.Password = "tank";
  main.RetryList.push_back(&refused);
  TfrmServerInfo form(main, TmyLangString{}, "查看服务器状态");
  form.Refresh();
  int asked = 0;
  std::string prompt, answer;
  bool confirm = true;
  form.AskPassword = [&](const std::string& p, std::string& value) {
    ++asked;
    prompt = p;
    value = answer;
    return confirm;
  };

  // Cancelled: nothing changes.
  form.Grid->selectRow(0);
  confirm = false;
  form.actEnterPassword->trigger();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(prompt, "Pump[1001]");
  EXPECT_EQ(refused.ReadRegPass("1001"), "");
  EXPECT_EQ(main.RetryList.size(), 1u);

  // Confirmed: at most 16 UTF-16 units, kept scrambled, the login comes on the next tick.
  confirm = true;
  answer = "一二三四五六七八九十abcdefgh";
  form.actEnterPassword->trigger();
  EXPECT_EQ(refused.Password, "一二三四五六七八九十abcdef");
  EXPECT_EQ(refused.ReadRegPass("1001"), EncodePass(refused.Password));
  EXPECT_TRUE(main.RetryList.empty());
  ASSERT_EQ(main.ReLoginList.size(), 1u);
  EXPECT_EQ(main.ReLoginList[0], &refused);

  // A running project's row has no "输入密码", even when the action is reached anyway.
  form.Grid->selectRow(1);
  form.actEnterPassword->trigger();
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(running.ReadRegPass("1002"), "");

  // The next start: projects without a password of their own take the kept one.
  {
    TZelMain next;
    AddPrj(next, "Pump", "1001", ncsIdle, 0).NoSavePass = 1;
    AddPrj(next, "Tank", "1002", ncsIdle, 0).NoSavePass = 1;
    AddPrj(next, "Own", "1001", ncsIdle, 0).Password = "own";
    ApplySavedPasswords(next);
    EXPECT_EQ(next.SPrj(0).Password, refused.Password);
    EXPECT_EQ(next.SPrj(1).Password, "");
    EXPECT_EQ(next.SPrj(2).Password, "own");
  }

  // "删除保存的密码": the store forgets it, the project keeps its password for now.
  form.Grid->selectRow(0);
  form.actDeletePassword->trigger();
  EXPECT_EQ(refused.ReadRegPass("1001"), "");
  EXPECT_FALSE(refused.Password.empty());
  TZelMain next;
  AddPrj(next, "Pump", "1001", ncsIdle, 0).NoSavePass = 1;
  ApplySavedPasswords(next);
  EXPECT_EQ(next.SPrj(0).Password, "");
}

// A double click asks for the password only where the data server refused it for a
// project whose password the archive does not keep.
TEST(ServerInfo, DoubleClickAsksForThePasswordOnlyAfterAPasswordError) {
  EnsureOffscreenApp();
  TTempDir dir;
  TScopedEnv root("ZELOPC_DATA_ROOT", dir.path());
  struct Case {
    int noSavePass, err;
    bool asks;
  } cases[] = {{1, ncePassword, true}, {0, ncePassword, false}, {1, nceNetwork, false}, {1, nceDeviceConn, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.noSavePass << "/" << c.err);
    TZelMain main;
    AddPrj(main, "Pump", "1001", ncsError, c.err).NoSavePass = c.noSavePass;
    TfrmServerInfo form(main, TmyLangString{}, "查看服务器状态");
    form.Refresh();
    form.Grid->selectRow(0);
    bool asked = false;
    form.AskPassword = [&](const std::string&, std::string&) {
      asked = true;
      return false;
    };
    emit form.Grid->cellDoubleClicked(0, 1);
    EXPECT_EQ(asked, c.asks);
  }
}
