#include "server/ui/server_info_form.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QTableWidget>
#include <QVBoxLayout>

#include "common/config/app_paths.h"
#include "server/core/main_window.h"
#include "server/runtime/zel_main.h"
#include "server/ui/qt_shell.h"

namespace {
QString Q(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

TfrmServerInfo::TfrmServerInfo(TZelMain& main, const TmyLangString& lang, const std::string& buttonCaption,
                               QWidget* parent)
    : QDialog(parent), main_(main), netConnInfo_(lang.NetConnInfo) {
  setObjectName("TfrmServerInfo");
  setFont(ServerWindowFont());
  setWindowTitle(Q(buttonCaption + "---" + g_PrjFileName));

  Grid = new QTableWidget(0, kServerInfoColumns, this);
  const TServerInfoRow headers = ServerInfoHeaders(lang);
  for (int c = 0; c < kServerInfoColumns; ++c) {
    Grid->setHorizontalHeaderItem(c, new QTableWidgetItem(Q(headers[size_t(c)])));
    Grid->setColumnWidth(c, kServerInfoColumnWidths[c]);
  }
  Grid->verticalHeader()->hide();
  Grid->setSelectionBehavior(QAbstractItemView::SelectRows);
  Grid->setSelectionMode(QAbstractItemView::SingleSelection);
  Grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Grid->verticalHeader()->setDefaultSectionSize(22);
  Grid->setContextMenuPolicy(Qt::CustomContextMenu);

  Memo = new QPlainTextEdit(this);
  Memo->setReadOnly(true);
  Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  btnRefresh = new QPushButton(Q(lang.Refresh), this);
  btnClose = new QPushButton(Q(lang.Close), this);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(btnRefresh);
  buttons->addWidget(btnClose);

  auto* col = new QVBoxLayout(this);
  col->addWidget(Grid, 1);
  col->addWidget(Memo);
  col->addLayout(buttons);

  RowMenu = new QMenu(this);
  actEnterPassword = RowMenu->addAction(QString::fromUtf8("输入密码"));
  actDeletePassword = RowMenu->addAction(QString::fromUtf8("删除保存的密码"));
  connect(actEnterPassword, &QAction::triggered, this, [this] { EnterPassword(); });
  connect(actDeletePassword, &QAction::triggered, this, [this] { DeletePassword(); });
  connect(Grid, &QTableWidget::cellDoubleClicked, this, [this](int, int) {
    if (ServerInfoAsksPasswordOnDoubleClick(Selected())) EnterPassword();
  });
  AskPassword = [this](const std::string& prompt, std::string& value) {
    QInputDialog dlg(this);
    dlg.setWindowTitle(QString::fromUtf8("输入密码"));
    dlg.setLabelText(Q(prompt));
    dlg.setTextEchoMode(QLineEdit::Password);
    if (dlg.exec() != QDialog::Accepted) return false;
    value = dlg.textValue().toStdString();
    return true;
  };
  connect(Grid, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    PrepareRowMenu();
    if (actEnterPassword->isVisible() || actDeletePassword->isVisible())
      RowMenu->popup(Grid->viewport()->mapToGlobal(pos));
  });

  connect(btnRefresh, &QPushButton::clicked, this, [this] { Refresh(); });
  connect(btnClose, &QPushButton::clicked, this, [this] { accept(); });
  RefreshTimer.setInterval(1500);
  connect(&RefreshTimer, &QTimer::timeout, this, [this] {
    if (!NoAutoRefresh) Refresh();
  });
  int width = 0;
  for (int w : kServerInfoColumnWidths) width += w;
  resize(width + 40, 480);
}

void TfrmServerInfo::Refresh() {
  const std::vector<TServerInfoRow> rows = ServerInfoRows(main_);
  Grid->setRowCount(int(rows.size()));
  for (size_t r = 0; r < rows.size(); ++r)
    for (int c = 0; c < kServerInfoColumns; ++c) {
      QTableWidgetItem* item = Grid->item(int(r), c);
      if (!item) Grid->setItem(int(r), c, item = new QTableWidgetItem);
      item->setText(Q(rows[r][size_t(c)]));
    }
  Memo->setPlainText(Q(netConnInfo_));
}

void TfrmServerInfo::ShowServerStatus(bool ctrl) {
  NoAutoRefresh = ctrl;
  Refresh();
  RefreshTimer.start();
  exec();
  RefreshTimer.stop();
}

void TfrmServerInfo::EndServerStatus() {
  RefreshTimer.stop();
  if (isVisible()) done(QDialog::Accepted);
}

TOpcSPrj* TfrmServerInfo::Selected() {
  const int row = Grid->currentRow();
  return row >= 0 && size_t(row) < main_.PrjCount() ? &main_.SPrj(size_t(row)) : nullptr;
}

void TfrmServerInfo::PrepareRowMenu() {
  const TServerInfoMenu m = ServerInfoMenuFor(Selected());
  actEnterPassword->setVisible(m.EnterPassword);
  actDeletePassword->setVisible(m.DeletePassword);
}

// The rules are asked again: the row's project may have changed since the menu opened.
void TfrmServerInfo::EnterPassword() {
  TOpcSPrj* p = Selected();
  if (!ServerInfoMenuFor(p).EnterPassword) return;
  std::string password;
  if (!AskPassword || !AskPassword(p->DispName + "[" + p->Name + "]", password)) return;
  // The question ran an event loop: take the row's project again.
  if (Selected() != p) return;
  EnterProjectPassword(main_, *p, password);
  Refresh();
}

void TfrmServerInfo::DeletePassword() {
  TOpcSPrj* p = Selected();
  if (!ServerInfoMenuFor(p).DeletePassword) return;
  DeleteSavedPassword(*p);
}

void TfrmServerInfo::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  Memo->setFixedHeight(ServerInfoMemoHeight(e->size().height()));
}
