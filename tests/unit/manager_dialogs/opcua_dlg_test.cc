// The OPC UA settings dialog on the offscreen platform: what it shows for the settings
// and the autostart entries, the rules of its check boxes, and what "确认" writes to
// config.ini, the Run values and the desktop's autostart entries.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "common/cert/self_cert.h"
#include "common/config/app_paths.h"
#include "common/platform/ini_file.h"
#include "common/platform/paths.h"
#include "common/platform/registry.h"
#include "common/settings/sys_config.h"
#include "manager/core/autostart.h"
#include "manager/ui/opcua_dlg.h"
#include "tests/common/test_env.h"
#include "tests/unit/manager_dialogs/dlg_fixture.h"

namespace {
// The protected steps are called directly: LoadSettings is the opening, OkClicked "确认".
struct TTestOpcUA : TfrmOpcUA {
  using TfrmOpcUA::LoadSettings;
  using TfrmOpcUA::OkClicked;
};

bool Shown(const QWidget* w) { return !w->isHidden(); }

class OpcUaDlgTest : public ::testing::Test {
 protected:
  TOffscreenApp app_;
  void SetUp() override {
    savedAppDir_ = g_AppDir;
    g_AppDir = dir_ / "app dir";  // a blank inside, as under a user's home
    std::filesystem::create_directories(g_AppDir);
    g_CfgFileName = dir_ / "config.ini";
    dir_.Write("config.ini", "[SYS]\r\nLogOPC=1\r\n[OPCUA]\r\nEnable=1\r\nLogLevel=3\r\n");
    TSysOP = TSysOPRecord{};
    TSysOP.Enable = 1;
    TSysOP.Port = 4840;
    TSysOP.DispAddFolder = 1;
  }
  void TearDown() override {
    g_AppDir = savedAppDir_;
    g_CfgFileName.clear();
    TSysOP = TSysOPRecord{};
  }
  static std::string Run(const char* name) {
    std::string v;
    return RegReadString(TRegRoot::HKCU, kRunKey, name, v) ? v : "(none)";
  }
  static bool Entry(const char* name) { return FileExists(AutostartFileName(name)); }
  TIniFile Cfg() const { return TIniFile(g_CfgFileName); }
  void Confirm() {
    dlg_.setResult(0);
    dlg_.OkClicked();
  }

  TTempDir dir_;
  TScopedEnv root_{"ZELOPC_DATA_ROOT", dir_.path()};
  TScopedEnv xdg_{"XDG_CONFIG_HOME", dir_ / "xdg"};
  std::string savedAppDir_;
  TRecordedBoxes boxes_;
  TTestOpcUA dlg_;
};
}  // namespace

TEST_F(OpcUaDlgTest, OpeningShowsTheSettingsByTheVisibilityRules) {
  const struct {
    int enable, keep, port;
    const char* closePass;
    const char* user;
    const char* runData;  // the server's Run value; nullptr: none, "*": this program's
    // expected
    bool grpUA, autoStart, keepOn, keepEnabled, closePassOn;
    const char* passText;
    bool userPass;
    const char* portText;
  } cases[] = {
      {1, 1, 0, "", "", nullptr, true, false, false, false, false, nullptr, false, "4866"},
      {0, 0, 4840, "", "", nullptr, false, false, false, false, false, nullptr, false, "4840"},
      {1, 0, 4840, "1234", "op", nullptr, true, false, false, false, true, "1234", true, "4840"},
      {1, 1, 4840, "", "", "*", true, true, true, true, false, nullptr, false, "4840"},
      {1, 0, 4840, "", "", "*", true, true, false, true, false, nullptr, false, "4840"},
      // The value points to another folder: not this program's autostart.
      {1, 1, 4840, "", "", "/opt/other/ZelOpcServer3", true, false, false, false, false, nullptr, false, "4840"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases));
    TSysOP.Enable = c.enable;
    TSysOP.KeepUARun = c.keep;
    TSysOP.Port = c.port;
    TSysOP.ClosePass = c.closePass;
    TSysOP.User = c.user;
    TSysOP.Pass = "secret";
    if (!c.runData) RegDeleteValue(TRegRoot::HKCU, kRunKey, kRunServerName);
    else RegWriteString(TRegRoot::HKCU, kRunKey, kRunServerName, *c.runData == '*' ? ServerRunData() : c.runData);
    dlg_.chkPassShow->setChecked(true);  // left on at an earlier opening
    dlg_.LoadSettings();
    EXPECT_EQ(Shown(dlg_.grpUA), c.grpUA);
    EXPECT_EQ(dlg_.chkAutoStart->isChecked(), c.autoStart);
    EXPECT_EQ(dlg_.chkKeepUARun->isChecked(), c.keepOn);
    EXPECT_EQ(dlg_.chkKeepUARun->isEnabled(), c.keepEnabled);
    EXPECT_EQ(TSysOP.KeepUARun, c.keepOn ? 1 : 0);
    EXPECT_EQ(dlg_.chkClosePass->isChecked(), c.closePassOn);
    EXPECT_EQ(Shown(dlg_.edtPass), c.closePassOn);
    if (c.passText) {
      EXPECT_EQ(dlg_.edtPass->text().toStdString(), c.passText);
    }
    EXPECT_EQ(dlg_.chkUserPass->isChecked(), c.userPass);
    EXPECT_EQ(Shown(dlg_.grpUserPass), c.userPass);
    EXPECT_EQ(dlg_.edtUAPass->text(), "secret");
    EXPECT_FALSE(dlg_.chkPassShow->isChecked());
    EXPECT_EQ(dlg_.edtUAPass->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dlg_.edtPort->text().toStdString(), c.portText);
  }
}

TEST_F(OpcUaDlgTest, CheckBoxesApplyTheirRulesWhenClicked) {
  dlg_.LoadSettings();
  dlg_.show();
  ClickBox(dlg_.chkEnable);
  EXPECT_FALSE(Shown(dlg_.grpUA));
  ClickBox(dlg_.chkEnable);
  EXPECT_TRUE(Shown(dlg_.grpUA));

  // The close password: an empty field gets the default one.
  dlg_.edtPass->clear();
  ClickBox(dlg_.chkClosePass);
  EXPECT_TRUE(Shown(dlg_.edtPass));
  EXPECT_EQ(dlg_.edtPass->text(), "807295");
  dlg_.edtPass->setText("42");
  ClickBox(dlg_.chkClosePass);
  EXPECT_FALSE(Shown(dlg_.edtPass));
  ClickBox(dlg_.chkClosePass);
  EXPECT_EQ(dlg_.edtPass->text(), "42");

  ClickBox(dlg_.chkAutoStart);
  EXPECT_TRUE(dlg_.chkKeepUARun->isEnabled());
  ClickBox(dlg_.chkKeepUARun);
  ClickBox(dlg_.chkAutoStart);
  EXPECT_FALSE(dlg_.chkKeepUARun->isEnabled());
  EXPECT_FALSE(dlg_.chkKeepUARun->isChecked());

  ClickBox(dlg_.chkUserPass);
  EXPECT_TRUE(Shown(dlg_.grpUserPass));
  ClickBox(dlg_.chkPassShow);
  EXPECT_EQ(dlg_.edtUAPass->echoMode(), QLineEdit::Normal);
  ClickBox(dlg_.chkPassShow);
  EXPECT_EQ(dlg_.edtUAPass->echoMode(), QLineEdit::Password);
  ClickBox(dlg_.chkUserPass);
  EXPECT_FALSE(Shown(dlg_.grpUserPass));

  // Typing limits: the port 5 digits, the close password 8 digits.
  dlg_.edtPort->clear();
  TypeText(dlg_.edtPort, "4a84-0123");
  EXPECT_EQ(dlg_.edtPort->text(), "48401");
  dlg_.edtPass->clear();
  TypeText(dlg_.edtPass, "1234x567890");
  EXPECT_EQ(dlg_.edtPass->text(), "12345678");
  dlg_.hide();
}

TEST_F(OpcUaDlgTest, BlankUserKeepsTheDialogOpenThenConfirmingClearsBoth) {
  dlg_.LoadSettings();
  dlg_.chkUserPass->click();
  dlg_.edtUAUser->setText("   ");
  dlg_.edtUAPass->setText(" pw ");
  Confirm();
  EXPECT_EQ(boxes_.Texts(),
            std::vector<std::string>{"E:启用了OPCUA用户名/密码，需要输入用户名!\n如果不使用该功能，请不要启用"});
  EXPECT_EQ(dlg_.result(), 0);
  EXPECT_FALSE(dlg_.chkUserPass->isChecked());
  EXPECT_EQ(dlg_.edtUAPass->text(), "pw");  // trimmed back into the edit
  EXPECT_EQ(Cfg().ReadString("OPCUA", "User", "(none)"), "(none)");  // nothing written yet
  Confirm();
  EXPECT_EQ(dlg_.result(), QDialog::Accepted);
  EXPECT_EQ(dlg_.edtUAPass->text(), "");
  EXPECT_EQ(Cfg().ReadString("OPCUA", "User", "(none)"), "");
  EXPECT_EQ(Cfg().ReadString("OPCUA", "Pass", "(none)"), "");

  // A user name is trimmed and stored with its password.
  dlg_.LoadSettings();
  dlg_.chkUserPass->click();
  dlg_.edtUAUser->setText(" operator ");
  dlg_.edtUAPass->setText("p w");
  Confirm();
  EXPECT_EQ(dlg_.result(), QDialog::Accepted);
  EXPECT_EQ(TSysOP.User, "operator");
  EXPECT_EQ(Cfg().ReadString("OPCUA", "User", ""), "operator");
  EXPECT_EQ(Cfg().ReadString("OPCUA", "Pass", ""), "p w");
}

TEST_F(OpcUaDlgTest, PortIsStoredAsParsedAndZeroWhenNoPort) {
  const struct {
    const char* text;
    int port;
  } cases[] = {{"4840", 4840}, {"00080", 80}, {"65535", 65535}, {"", 0}, {"0", 0}, {"65536", 0}, {"99999", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    dlg_.LoadSettings();
    dlg_.edtPort->setText(c.text);
    Confirm();
    ASSERT_EQ(dlg_.result(), QDialog::Accepted);
    EXPECT_EQ(TSysOP.Port, c.port);
    EXPECT_EQ(Cfg().ReadInteger("OPCUA", "Port", -1), c.port);
  }
  // The next opening shows a stored 0 as the default port.
  dlg_.LoadSettings();
  EXPECT_EQ(dlg_.edtPort->text(), "4866");
}

TEST_F(OpcUaDlgTest, AutostartChangesWriteRunValuesAndDesktopEntries) {
  const std::string server = ServerRunData(), mgr = MgrRunData();
  const std::string none = "(none)";
  const struct {
    const char* step;
    bool entryGone;  // the desktop's settings removed the server's entry before opening
    bool enable, autoStart, keep;
    std::string serverValue, mgrValue;
  } steps[] = {
      {"autostart on", false, true, true, false, server, none},
      {"keep on too", false, true, true, true, server, mgr},
      {"keep off only", false, true, true, false, server, none},
      {"both on again", false, true, true, true, server, mgr},
      {"OPC UA off", false, false, true, true, none, none},  // disabling takes autostart away
      {"autostart on, keep on", false, true, true, true, server, mgr},
      {"autostart off", false, true, false, false, none, none},
      {"autostart on again", false, true, true, false, server, none},
      {"entry gone: shown off, confirming writes it again", true, true, true, false, server, none},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.step);
    if (s.entryGone) DeleteFileAt(AutostartFileName(kRunServerName));
    dlg_.LoadSettings();
    EXPECT_EQ(dlg_.chkAutoStart->isChecked(), Run(kRunServerName) != none && !s.entryGone);
    dlg_.chkEnable->setChecked(s.enable);
    dlg_.chkAutoStart->setChecked(s.autoStart);
    dlg_.chkKeepUARun->setChecked(s.keep);
    Confirm();
    ASSERT_EQ(dlg_.result(), QDialog::Accepted);
    EXPECT_TRUE(boxes_.Texts().empty());
    EXPECT_EQ(Run(kRunServerName), s.serverValue);
    EXPECT_EQ(Run(kRunMgrName), s.mgrValue);
    EXPECT_EQ(Entry(kRunServerName), s.serverValue != none);
    EXPECT_EQ(Entry(kRunMgrName), s.mgrValue != none);
    EXPECT_EQ(Cfg().ReadInteger("OPCUA", "KeepUARun", -1), s.mgrValue != none ? 1 : 0);
    EXPECT_EQ(Cfg().ReadInteger("OPCUA", "Enable", -1), s.enable ? 1 : 0);
    EXPECT_EQ(TSysOP.Enable, s.enable ? 1 : 0);
  }
}

TEST_F(OpcUaDlgTest, DesktopEntriesStartTheProgramsOfAFolderWithABlank) {
  // The entry runs the program itself, so it must exist to be quoted as one path.
  dir_.Write("app dir/ZelOpcServer3", "");
  dir_.Write("app dir/ZelOpcMgr3", "");
  ASSERT_TRUE(SetAutoStart(true, true));
  for (const char* name : {kRunServerName, kRunMgrName}) {
    std::string text;
    ASSERT_TRUE(ReadFileBytes(AutostartFileName(name), text));
    const std::string program = name == kRunServerName ? "ZelOpcServer3" : "ZelOpcMgr3";
    EXPECT_NE(text.find("\nExec=\"" + dir_.path() + "/app dir/" + program + "\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nName=" + std::string(name) + "\n"), std::string::npos);
  }
  EXPECT_TRUE(SetAutoStart(false, false));
  EXPECT_FALSE(Entry(kRunServerName));
  EXPECT_FALSE(Entry(kRunMgrName));
  EXPECT_FALSE(SetAutoStart(false, false));  // nothing to delete: failure as on Windows
}

TEST_F(OpcUaDlgTest, DisablingKeepsClosePassAndFolderPrefix) {
  TSysOP.ClosePass = "1234";
  dlg_.LoadSettings();
  dlg_.chkClosePass->setChecked(false);
  dlg_.chkDispAddFolder->setChecked(false);
  dlg_.chkEnable->setChecked(false);
  Confirm();
  ASSERT_EQ(dlg_.result(), QDialog::Accepted);
  EXPECT_EQ(TSysOP.ClosePass, "1234");
  EXPECT_EQ(TSysOP.DispAddFolder, 1);
  const TIniFile ini = Cfg();
  EXPECT_EQ(ini.ReadInteger("OPCUA", "Enable", -1), 0);
  EXPECT_EQ(ini.ReadString("OPCUA", "ClosePass", ""), "1234");
  EXPECT_EQ(ini.ReadInteger("OPCUA", "DispAddFolder", -1), 1);
  // The other lines of the file stay.
  EXPECT_EQ(ini.ReadInteger("SYS", "LogOPC", 0), 1);
  EXPECT_EQ(ini.ReadInteger("OPCUA", "LogLevel", 0), 3);

  // Enabled, the same changes count; an empty close-password field takes the default.
  dlg_.LoadSettings();
  dlg_.chkEnable->setChecked(true);
  dlg_.chkDispAddFolder->setChecked(false);
  dlg_.chkClosePass->setChecked(false);
  Confirm();
  EXPECT_EQ(TSysOP.ClosePass, "");
  EXPECT_EQ(TSysOP.DispAddFolder, 0);
  dlg_.LoadSettings();
  dlg_.edtPass->clear();
  dlg_.chkClosePass->setChecked(true);
  Confirm();
  EXPECT_EQ(TSysOP.ClosePass, "807295");
  EXPECT_EQ(Cfg().ReadString("OPCUA", "ClosePass", ""), "807295");
}

TEST_F(OpcUaDlgTest, FailuresShowTheirBoxAndCloseWithCancel) {
  // The registry cannot be stored: a folder stands where its file belongs.
  {
    std::filesystem::create_directories(RegistryFileName());
    dlg_.LoadSettings();
    dlg_.chkAutoStart->setChecked(true);
    Confirm();
    EXPECT_EQ(dlg_.result(), QDialog::Rejected);
    EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"E:无法设置开机自启动注册表项!\n请用管理员权限重新运行本程序"});
    EXPECT_EQ(Cfg().ReadInteger("OPCUA", "Port", -1), -1);  // nothing written
    std::filesystem::remove_all(RegistryFileName());
  }
  // config.ini cannot be written: its folder is a file.
  boxes_.Texts().clear();
  dir_.Write("blocked", "");
  g_CfgFileName = dir_ / "blocked/config.ini";
  TSysOP.Enable = 0;
  dlg_.LoadSettings();
  dlg_.chkEnable->setChecked(true);
  dlg_.edtPort->setText("4841");
  dlg_.chkUserPass->click();
  dlg_.edtUAUser->setText("op");
  Confirm();
  EXPECT_EQ(dlg_.result(), QDialog::Rejected);
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"E:无法保存配置文件:\n" + g_CfgFileName +
                                                      "\n请用管理员权限重新运行本程序"});
  EXPECT_EQ(TSysOP.User, "op");  // already taken over in memory
  EXPECT_EQ(TSysOP.Enable, 0);   // these two only after the write
  EXPECT_EQ(TSysOP.Port, 4840);
}

TEST_F(OpcUaDlgTest, RegeneratesTheCertificateWithItsBoxes) {
  g_DataDir = dir_ / "data";
  std::filesystem::create_directories(SelfCertDir());
  const TSysOPRecord before = TSysOP;
  // Without the request template beside the program.
  dlg_.btnGenCert->click();
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{std::string("E:") + kCertFailedText});
  boxes_.Texts().clear();
  std::filesystem::copy_file(std::string(ZEL_SOURCE_DIR) + "/common/cert/certtmpl.cnf", g_AppDir + "/certtmpl.cnf");
  dlg_.btnGenCert->click();
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"I:证书成功生成"});
  EXPECT_TRUE(FileExists(SelfCertDerPath()));
  EXPECT_TRUE(FileExists(SelfKeyDerPath()));
  EXPECT_EQ(TSysOP.Port, before.Port);
  EXPECT_FALSE(Cfg().KeyExists("OPCUA", "Port"));
  g_DataDir.clear();
}

TEST_F(OpcUaDlgTest, EditOpcUaRunsModallyAndReportsOk) {
  WhenShown(dlg_, [&] {
    EXPECT_TRUE(dlg_.grpUA->isVisible());
    ClickBox(dlg_.chkEnable);
    EXPECT_FALSE(dlg_.grpUA->isVisible());
    QTest::mouseClick(dlg_.findChild<QPushButton*>("btnOk"), Qt::LeftButton);
  });
  EXPECT_TRUE(dlg_.EditOpcUa());
  EXPECT_EQ(TSysOP.Enable, 0);
  WhenShown(dlg_, [&] { QTest::mouseClick(dlg_.findChild<QPushButton*>("btnCancel"), Qt::LeftButton); });
  EXPECT_FALSE(dlg_.EditOpcUa());
}
