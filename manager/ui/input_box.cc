// InputText: the manager's one-line input box. One TfrmInpBox is made on first use and
// kept; its caption is the application's title.
#include "manager/ui/input_box.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QVBoxLayout>

#include "common/helpers/message_boxes.h"
#include "manager/ui/base_dlg.h"

namespace {
class TfrmInpBox : public TfrmBaseDlg {
 public:
  explicit TfrmInpBox(QWidget* parent) : TfrmBaseDlg(parent) {
    setObjectName("frmInpBox");
    lbPrompt = new QLabel(this);
    lbPrompt->setObjectName("lbPrompt");
    lbPrompt->setWordWrap(true);
    edtVal = new QLineEdit(this);
    edtVal->setObjectName("edtVal");
    Body()->addWidget(lbPrompt);
    Body()->addWidget(edtVal);
    Body()->addStrut(320);
  }
  QLabel* lbPrompt;
  QLineEdit* edtVal;
};
}  // namespace

bool InputText(std::string& text, const std::string& prompt, QWidget* parent) {
  // Kept between calls; deleted with its parent, and then made again on the next call.
  static QPointer<TfrmInpBox> box;
  if (!box) box = new TfrmInpBox(parent);
  box->setWindowTitle(QString::fromStdString(ApplicationTitle()));
  box->lbPrompt->setText(QString::fromStdString(prompt));
  box->edtVal->setText(QString::fromStdString(text));
  box->edtVal->selectAll();
  box->edtVal->setFocus();
  if (box->exec() != QDialog::Accepted) return false;
  text = box->edtVal->text().toStdString();
  return true;
}
