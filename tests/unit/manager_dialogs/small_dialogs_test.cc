// The base dialog, the input box and the about box on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QUrl>

#include "common/helpers/file_helpers.h"
#include "common/helpers/message_boxes.h"
#include "manager/ui/about_dlg.h"
#include "manager/ui/input_box.h"
#include "tests/unit/manager_dialogs/dlg_fixture.h"

namespace {
// Catches what the desktop would open instead of starting a browser.
class TUrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> urls;
 public slots:
  void open(const QUrl& url) { urls.push_back(url); }
};

QDialog* OpenDialog(const char* objectName) {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == objectName && w->isVisible()) return qobject_cast<QDialog*>(w);
  return nullptr;
}

// Answers the input box once it shows: types `typed` and clicks the named button.
void AnswerInputBox(const QString& typed, const char* button, QString* prompt, QString* caption,
                    QDialog** seen) {
  QTimer::singleShot(0, [=] {
    QDialog* box = OpenDialog("frmInpBox");
    ASSERT_NE(box, nullptr);
    *seen = box;
    *prompt = box->findChild<QLabel*>("lbPrompt")->text();
    *caption = box->windowTitle();
    auto* edit = box->findChild<QLineEdit*>("edtVal");
    edit->selectAll();
    TypeText(edit, typed);
    QTest::mouseClick(box->findChild<QPushButton*>(button), Qt::LeftButton);
  });
}
}  // namespace

TEST(MgrSmallDialogs, InputBoxReplacesTheTextOnlyOnOk) {
  EnsureOffscreenApp();
  SetApplicationTitle("ZEL OPC 管理器");
  std::string text = "old";
  QString prompt, caption;
  QDialog* first = nullptr;
  QDialog* second = nullptr;
  QWidget owner;  // the box goes with it, before the application
  AnswerInputBox("新的名字", "btnOk", &prompt, &caption, &first);
  EXPECT_TRUE(InputText(text, "请输入名称:", &owner));
  EXPECT_EQ(text, "新的名字");
  EXPECT_EQ(prompt, "请输入名称:");
  EXPECT_EQ(caption, "ZEL OPC 管理器");

  AnswerInputBox("discarded", "btnCancel", &prompt, &caption, &second);
  EXPECT_FALSE(InputText(text, "again", &owner));
  EXPECT_EQ(text, "新的名字");
  EXPECT_EQ(first, second);  // one box, kept between uses
  SetApplicationTitle("ZelOpc");
}

TEST(MgrSmallDialogs, AboutBoxShowsTheVersionAndOpensItsLink) {
  EnsureOffscreenApp();
  TUrlCatcher catcher;
  QDesktopServices::setUrlHandler("https", &catcher, "open");
  TfrmAboutDlg dlg;
  EXPECT_EQ(dlg.windowTitle(), "关于 ZEL OPC 管理器");
  EXPECT_EQ(dlg.lbVersion->text().toStdString(), "ZEL OPC 管理器 (版本" + FileVersionText() + ")");
  EXPECT_FALSE(FileVersionText().empty());
  bool cancelShown = true;
  QRect frame, area;
  WhenShown(dlg, [&] {
    cancelShown = dlg.findChild<QPushButton*>("btnCancel")->isVisible();
    frame = dlg.geometry();
    area = dlg.screen()->availableGeometry();
    // The link is the centred text of its label.
    QTest::mouseClick(dlg.lbLink, Qt::LeftButton, {}, dlg.lbLink->rect().center());
    QTest::keyClick(&dlg, Qt::Key_Escape);
  });
  dlg.exec();
  QDesktopServices::unsetUrlHandler("https");
  EXPECT_FALSE(cancelShown);
  EXPECT_EQ(catcher.urls, QList<QUrl>{QUrl("https://www.zelcloud.example")});
  EXPECT_EQ(dlg.lbLink->text().contains(">www.zelcloud.example<"), true);
  // Centred on the screen (within a pixel of rounding).
  EXPECT_LE(std::abs(frame.center().x() - area.center().x()), 1);
  EXPECT_LE(std::abs(frame.center().y() - area.center().y()), 1);

  // "确认" closes the box.
  WhenShown(dlg, [&] { QTest::mouseClick(dlg.findChild<QPushButton*>("btnOk"), Qt::LeftButton); });
  EXPECT_EQ(dlg.exec(), QDialog::Accepted);
}

#include "small_dialogs_test.moc"
