// The project editor driven through its widgets on the offscreen platform: the checks of
// "确认" in their order, what is filled in and copied back, the typing limits and the
// display-name suggestion.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "manager/ui/prj_editor.h"
#include "tests/unit/manager_dialogs/dlg_fixture.h"

namespace {
class PrjEditorTest : public ::testing::Test {
 protected:
  TOffscreenApp app_;
  void SetUp() override {
    cfg_.Add("31415926532", "Pump1");
    cfg_.Add("12345678903", "Tank12");
  }
  QPushButton* Ok() { return dlg_.findChild<QPushButton*>("btnOk"); }
  // Opens the editor on `prj`, types the number and the name, clicks "确认" once.
  bool Confirm(TOpcPrj& prj, const QString& zel, const QString& disp) {
    WhenShown(dlg_, [&] {
      dlg_.edtZEL->setText(zel);
      dlg_.edtDispName->setText(disp);
      QTest::mouseClick(Ok(), Qt::LeftButton);
    });
    return dlg_.EditProject(prj);
  }

  TTestCfg cfg_;
  TMgrFlags flags_;
  TRecordedBoxes boxes_;
  TfrmNetPrjEditor dlg_{cfg_, flags_};
};
}  // namespace

TEST_F(PrjEditorTest, OkChecksInOrderAndStaysOpenOnTheFirstFailure) {
  const struct {
    const char* zel;
    const char* disp;
    bool allowDup;
    const char* message;  // nullptr: accepted
  } cases[] = {
      {"31415926533", "New", false, "设备序号错误！"},
      {"3141592653", "New", false, "设备序号应当是11位！"},
      {"", "", false, "设备序号应当是11位！"},  // the number is checked first
      {"00000000009", " 7up", false, "名称不可用数字开头！"},
      {"00000000009", "Pump 1", false, "名称不可含有特殊字符\" \""},
      {"00000000009", "Pump-1", false, "名称不可含有特殊字符\"-\""},
      {"00000000009", "  ", false, "名称不可为空！"},
      {"00000000009", "泵站，一号", false, nullptr},
      {"31415926532", "Pump1", false, "设备序号(31415926532)已经存在，不可重复！"},
      {"31415926532", "New", true, nullptr},  // "ZELID"
      {"00000000009", "Pump1", false, "设备显示名已经被使用，不可重名！"},
      {"31415926532", "Pump1", true, "设备显示名已经被使用，不可重名！"},
      {"00000000009", "pump1", false, nullptr},    // names compare case-sensitively
      {"00000000009", " Pump1 ", false, nullptr},  // and untrimmed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.zel) + " / " + c.disp);
    boxes_.Texts().clear();
    flags_.AllowDupId = c.allowDup;
    TOpcPrj prj;
    prj.DispName = "Old";
    const bool ok = Confirm(prj, c.zel, c.disp);
    if (!c.message) {
      EXPECT_TRUE(ok);
      EXPECT_TRUE(boxes_.Texts().empty());
      EXPECT_EQ(prj.Name, c.zel);
      EXPECT_EQ(prj.DispName, c.disp);  // stored as typed, blanks included
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{std::string("E:") + c.message});
      EXPECT_EQ(prj.Name, "");
      EXPECT_EQ(prj.DispName, "Old");
    }
  }
}

TEST_F(PrjEditorTest, FocusGoesToTheFieldAtFault) {
  const struct {
    const char* zel;
    const char* disp;
    bool onNumber;
  } cases[] = {{"3141592653", "Pump 1", true}, {"00000000009", "Pump 1", false}, {"00000000009", "Pump1", false}};
  TOpcPrj prj;
  WhenShown(dlg_, [&] {
    for (const auto& c : cases) {
      dlg_.edtZEL->setText(c.zel);
      dlg_.edtDispName->setText(c.disp);
      QTest::mouseClick(Ok(), Qt::LeftButton);
      EXPECT_EQ(dlg_.focusWidget(), c.onNumber ? dlg_.edtZEL : dlg_.edtDispName) << c.zel << " " << c.disp;
    }
  });
  EXPECT_FALSE(dlg_.EditProject(prj));
  EXPECT_EQ(boxes_.Texts().size(), 3u);
}

TEST_F(PrjEditorTest, ReconfirmingAProjectKeepsItsNumberAndName) {
  TOpcPrj& pump = *cfg_.Prjs[0];
  EXPECT_TRUE(Confirm(pump, "31415926532", "Pump1"));
  EXPECT_TRUE(boxes_.Texts().empty());
  // Another project may not take that number.
  EXPECT_FALSE(Confirm(*cfg_.Prjs[1], "31415926532", "Tank12"));
  EXPECT_EQ(boxes_.Texts(), std::vector<std::string>{"E:设备序号(31415926532)已经存在，不可重复！"});
  EXPECT_EQ(cfg_.Prjs[1]->Name, "12345678903");
}

TEST_F(PrjEditorTest, FillsFromTheProjectAndCopiesBack) {
  TOpcPrj& prj = *cfg_.Prjs[0];
  prj.Password = "abcdefghijklmnop";  // 16 units: longer than can be typed, kept whole
  prj.CustServer = "http://127.0.0.1:7080";
  prj.WriteOpt = 2;
  prj.UseGroup = 1;
  bool shown = false;
  WhenShown(dlg_, [&] {
    shown = true;
    EXPECT_EQ(dlg_.edtZEL->text(), "31415926532");
    EXPECT_EQ(dlg_.edtPass->text(), "abcdefghijklmnop");
    EXPECT_EQ(dlg_.edtPass->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dlg_.edtServer->text(), "http://127.0.0.1:7080");
    EXPECT_FALSE(dlg_.chkDefServer->isChecked());
    EXPECT_TRUE(dlg_.grpCustomServer->isEnabled());
    EXPECT_EQ(dlg_.cbWO->currentIndex(), 2);
    EXPECT_TRUE(dlg_.chkVarGroup->isChecked());
    EXPECT_EQ(dlg_.focusWidget(), dlg_.edtZEL);
    // The built-in server: the address goes on OK although the edit still shows it.
    ClickBox(dlg_.chkDefServer);
    EXPECT_FALSE(dlg_.grpCustomServer->isEnabled());
    EXPECT_FALSE(dlg_.edtServer->isEnabled());
    EXPECT_EQ(dlg_.edtServer->text(), "http://127.0.0.1:7080");
    dlg_.cbWO->setCurrentIndex(1);
    ClickBox(dlg_.chkVarGroup);
    QTest::mouseClick(Ok(), Qt::LeftButton);
  });
  ASSERT_TRUE(dlg_.EditProject(prj)) << boxes_.Texts().front();
  EXPECT_TRUE(shown);
  EXPECT_EQ(prj.CustServer, "");
  EXPECT_EQ(prj.Password, "abcdefghijklmnop");
  EXPECT_EQ(prj.WriteOpt, 1);
  EXPECT_EQ(prj.UseGroup, 0);

  // A project without a custom server: the built-in one is checked, the group disabled.
  WhenShown(dlg_, [&] {
    EXPECT_TRUE(dlg_.chkDefServer->isChecked());
    EXPECT_FALSE(dlg_.grpCustomServer->isEnabled());
    ClickBox(dlg_.chkDefServer);
    EXPECT_TRUE(dlg_.edtServer->isEnabled());
    TypeText(dlg_.edtServer, "https://127.0.0.1:7443");
    QTest::mouseClick(Ok(), Qt::LeftButton);
  });
  ASSERT_TRUE(dlg_.EditProject(prj));
  EXPECT_EQ(prj.CustServer, "https://127.0.0.1:7443");
}

TEST_F(PrjEditorTest, CancelKeepsTheProjectButTheStoredSuggestion) {
  TOpcPrj prj;
  prj.Name = "31415926532";
  prj.Password = "pw";
  prj.WriteOpt = 1;
  WhenShown(dlg_, [&] {
    EXPECT_EQ(dlg_.edtDispName->text(), "Tank13");  // after the last project's name
    dlg_.edtZEL->setText("00000000009");
    dlg_.edtPass->setText("other");
    dlg_.cbWO->setCurrentIndex(0);
    QTest::mouseClick(dlg_.findChild<QPushButton*>("btnCancel"), Qt::LeftButton);
  });
  EXPECT_FALSE(dlg_.EditProject(prj));
  EXPECT_EQ(prj.Name, "31415926532");
  EXPECT_EQ(prj.Password, "pw");
  EXPECT_EQ(prj.WriteOpt, 1);
  EXPECT_EQ(prj.DispName, "Tank13");
}

TEST_F(PrjEditorTest, SuggestionFollowsTheLastOtherProject) {
  const struct {
    std::vector<std::string> names;  // display names of the list
    bool appended;                   // the new project is in the list already
    std::string suggestion;
  } cases[] = {
      {{}, false, "ZEL1"},
      {{}, true, "ZEL1"},
      {{"Pump1", "Tank12"}, false, "Tank13"},
      {{"Pump1", "Tank12"}, true, "Tank13"},
      {{"Line007"}, false, "Line8"},
      {{"X99999999999"}, false, "X100000000000"},  // beyond 32 bits: still opens
  };
  for (const auto& c : cases) {
    TTestCfg cfg;
    for (const auto& n : c.names) cfg.Add("", n);
    TfrmNetPrjEditor dlg(cfg, flags_);
    TOpcPrj own;
    TOpcPrj* prj = c.appended ? &cfg.Add("", "") : &own;
    WhenShown(dlg, [] {});
    EXPECT_FALSE(dlg.EditProject(*prj));
    EXPECT_EQ(prj->DispName, c.suggestion);
  }
}

TEST_F(PrjEditorTest, TypingStopsAtTheLimits) {
  TOpcPrj prj;
  WhenShown(dlg_, [&] {
    const struct {
      QLineEdit* edit;
      QString typed, kept;
    } cases[] = {
        {dlg_.edtZEL, "12a3-45678 901234", "12345678901"},  // digits only, 11
        {dlg_.edtPass, "abcdefghijklmnopqrst", "abcdefghijklmno"},
        {dlg_.edtDispName, "Pump station North", "Pump station No"},
        {dlg_.edtDispName, "泵站泵站泵站泵站泵站泵站泵站泵站泵站", "泵站泵站泵站泵站泵站泵站泵站泵"},
    };
    for (const auto& c : cases) {
      c.edit->clear();
      TypeText(c.edit, c.typed);
      EXPECT_EQ(c.edit->text(), c.kept) << c.edit->objectName().toStdString();
    }
  });
  dlg_.EditProject(prj);
}

TEST_F(PrjEditorTest, LeavingTheNumberFillsAnEmptyNameAndEnterConfirms) {
  TOpcPrj prj;
  WhenShown(dlg_, [&] {
    dlg_.edtDispName->clear();
    dlg_.edtZEL->setText("00000000009");
    QFocusEvent out(QEvent::FocusOut);
    QCoreApplication::sendEvent(dlg_.edtZEL, &out);
    EXPECT_EQ(dlg_.edtDispName->text(), "ZEL");
    QTest::keyClick(dlg_.edtZEL, Qt::Key_Return);  // the default button
  });
  EXPECT_TRUE(dlg_.EditProject(prj));
  EXPECT_EQ(prj.DispName, "ZEL");
}

TEST_F(PrjEditorTest, NoRefreshFlagFollowsTheBoxAcrossOpenings) {
  TOpcPrj prj;
  flags_.NoAutoRefresh = true;
  WhenShown(dlg_, [&] {
    EXPECT_FALSE(flags_.NoAutoRefresh);  // taken from the box at opening
    ClickBox(dlg_.chkNoRefresh);
    EXPECT_TRUE(flags_.NoAutoRefresh);
  });
  dlg_.EditProject(prj);
  flags_.NoAutoRefresh = false;
  WhenShown(dlg_, [&] { EXPECT_TRUE(dlg_.chkNoRefresh->isChecked()); });
  dlg_.EditProject(prj);
  EXPECT_TRUE(flags_.NoAutoRefresh);
}
