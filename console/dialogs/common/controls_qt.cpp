#include "console/dialogs/common/controls_qt.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <algorithm>
#include <utility>

#include "console/dialogs/common/principals.h"
#include "console/model/list_images.h"
#include "console/model/tree_images.h"

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

QWidget* OkCancel(QDialog* dlg, bool enterAccepts) {
  auto* row = new QWidget(dlg);
  row->setObjectName("okCancelRow");
  QHBoxLayout* layout = OkCancelRow(dlg);
  layout->setContentsMargins(0, 0, 0, 0);
  row->setLayout(layout);
  if (enterAccepts) row->findChild<QPushButton*>(QStringLiteral("IDOK"))->setDefault(true);
  return row;
}

QHBoxLayout* OkCancelRow(QDialog* dlg, const char* applyText, const char* applyName, std::function<void()> onApply) {
  auto* ok = new QPushButton(QStringLiteral("OK"), dlg);
  ok->setObjectName("IDOK");
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), dlg);
  cancel->setObjectName("IDCANCEL");
  QPushButton* apply = nullptr;
  if (applyText) {
    apply = new QPushButton(QString::fromLatin1(applyText), dlg);
    apply->setObjectName(QString::fromLatin1(applyName));
  }
  QObject::connect(ok, &QPushButton::clicked, dlg, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, dlg, &QDialog::reject);
  if (apply) QObject::connect(apply, &QPushButton::clicked, dlg, [onApply = std::move(onApply)] { onApply(); });
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  for (QPushButton* b : {ok, cancel, apply}) {
    if (!b) continue;
    b->setAutoDefault(false);
    b->setDefault(false);
    row->addWidget(b);
  }
  return row;
}

QTreeWidget* PrincipalList(int id, const std::vector<Principal>& principals,
                           std::initializer_list<std::pair<int, int>> minWidths, QWidget* parent) {
  auto* list = Named(new QTreeWidget(parent), id);
  list->setRootIsDecorated(false);
  list->setHeaderLabels({QStringLiteral("User / Group"), QStringLiteral("Description")});
  for (const Principal& p : principals)
    (new QTreeWidgetItem(list, {Q(p.name), Q(p.description)}))
        ->setIcon(0, TreeImages()[p.group ? LIST_IMAGE_GROUP : LIST_IMAGE_USER]);
  for (auto [column, width] : minWidths) {
    list->resizeColumnToContents(column);
    list->setColumnWidth(column, std::max(width, list->columnWidth(column) + 12));
  }
  return list;
}
