// The server status window `TfrmServerInfo`: one grid row per project with its server and
// device connection and fault, refreshed every 1.5 s while open. The rules are in
// server/core/server_info.h; this is their display.
#pragma once
#include <QDialog>
#include <QTimer>
#include <functional>

#include "server/core/server_info.h"

class QTableWidget;
class QPlainTextEdit;
class QPushButton;
class QMenu;
class QAction;
class TZelMain;
class TOpcSPrj;

class TfrmServerInfo : public QDialog {
  Q_OBJECT
 public:
  // `buttonCaption` is the main window's status button text, the first part of the caption.
  TfrmServerInfo(TZelMain& main, const TmyLangString& lang, const std::string& buttonCaption,
                 QWidget* parent = nullptr);

  // Modal; with `ctrl` held the window shows one snapshot and does not refresh itself.
  void ShowServerStatus(bool ctrl);
  void EndServerStatus();
  void Refresh();
  // The row pop-up menu's entries as they would show for the selected row.
  void PrepareRowMenu();
  // "输入密码" for the selected row: asks, then uses and keeps the password.
  void EnterPassword();
  // "删除保存的密码" for the selected row.
  void DeletePassword();

  // The password question (a masked line); false when cancelled. Tests answer it.
  std::function<bool(const std::string& prompt, std::string& value)> AskPassword;

  QTableWidget* Grid;
  QPlainTextEdit* Memo;
  QPushButton* btnRefresh;
  QPushButton* btnClose;
  QMenu* RowMenu;
  QAction* actEnterPassword;
  QAction* actDeletePassword;
  QTimer RefreshTimer;
  bool NoAutoRefresh = false;

 protected:
  void resizeEvent(QResizeEvent* e) override;

 private:
  TOpcSPrj* Selected();

  TZelMain& main_;
  std::string netConnInfo_;
};
