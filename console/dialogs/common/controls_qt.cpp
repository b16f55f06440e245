#include "console/dialogs/common/controls_qt.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <utility>

QPushButton* Button(int id, const char* text, QWidget* parent) {
  auto* b = Named(new QPushButton(QString::fromLatin1(text), parent), id);
  b->setAutoDefault(false);
  return b;
}

QRadioButton* Radio(QButtonGroup* group, int id, int value, const char* text, QWidget* parent) {
  auto* r = Named(new QRadioButton(QString::fromLatin1(text), parent), id);
  group->addButton(r, value);
  return r;
}

QCheckBox* Check(int id, const char* text, QWidget* parent) {
  return Named(new QCheckBox(QString::fromLatin1(text), parent), id);
}

QLineEdit* Edit(int id, QWidget* parent, bool password) {
  auto* e = Named(new QLineEdit(parent), id);
  if (password) e->setEchoMode(QLineEdit::Password);
  return e;
}

QDialogButtonBox* OkCancel(QDialog* dlg) {
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dlg);
  for (auto [which, name] :
       {std::pair{QDialogButtonBox::Ok, "IDOK"}, std::pair{QDialogButtonBox::Cancel, "IDCANCEL"}}) {
    QPushButton* b = box->button(which);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    b->setDefault(false);
  }
  QObject::connect(box, &QDialogButtonBox::accepted, dlg, &QDialog::accept);
  QObject::connect(box, &QDialogButtonBox::rejected, dlg, &QDialog::reject);
  return box;
}
