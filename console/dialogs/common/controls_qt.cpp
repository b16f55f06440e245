#include "console/dialogs/common/controls_qt.h"

#include <QAbstractItemView>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialog>
#include <QEvent>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QToolButton>
#include <QTreeWidget>
#include <algorithm>
#include <set>
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

namespace {

bool TakesFocus(const QWidget* w) { return (w->focusPolicy() & Qt::TabFocus) && !w->focusProxy(); }

void CollectLayout(QLayout* layout, std::vector<QWidget*>& out, std::set<QWidget*>& seen);

void CollectWidget(QWidget* w, std::vector<QWidget*>& out, std::set<QWidget*>& seen) {
  if (!w || w->isWindow() || !seen.insert(w).second) return;
  if (TakesFocus(w)) {
    out.push_back(w);
    return;
  }
  if (w->layout()) CollectLayout(w->layout(), out, seen);
  // What no layout places (a stack's pages, a splitter's panes, a scroll area's contents) follows
  // in the order it was made.
  for (QObject* o : w->children())
    if (auto* child = qobject_cast<QWidget*>(o)) CollectWidget(child, out, seen);
}

void CollectItem(QLayoutItem* item, std::vector<QWidget*>& out, std::set<QWidget*>& seen) {
  if (!item) return;
  if (item->widget()) {
    CollectWidget(item->widget(), out, seen);
  } else if (item->layout()) {
    CollectLayout(item->layout(), out, seen);
  }
}

void CollectLayout(QLayout* layout, std::vector<QWidget*>& out, std::set<QWidget*>& seen) {
  if (auto* grid = qobject_cast<QGridLayout*>(layout)) {
    // A grid's items come in the order they were added; the eye reads them by row and column.
    std::vector<std::pair<std::pair<int, int>, int>> cells;
    for (int i = 0; i < grid->count(); ++i) {
      int row = 0, column = 0, rows = 0, columns = 0;
      grid->getItemPosition(i, &row, &column, &rows, &columns);
      cells.push_back({{row, column}, i});
    }
    std::stable_sort(cells.begin(), cells.end());
    for (const auto& cell : cells) CollectItem(grid->itemAt(cell.second), out, seen);
    return;
  }
  if (auto* form = qobject_cast<QFormLayout*>(layout)) {
    for (int row = 0; row < form->rowCount(); ++row)
      for (auto role : {QFormLayout::LabelRole, QFormLayout::FieldRole, QFormLayout::SpanningRole})
        CollectItem(form->itemAt(row, role), out, seen);
    return;
  }
  for (int i = 0; i < layout->count(); ++i) CollectItem(layout->itemAt(i), out, seen);
}

// A field takes what the operator types or ticks. Lists are not: a list given the focus makes its
// first row current, which the editors take for a choice (and Delete would act on it).
bool IsField(const QWidget* w) {
  return !qobject_cast<const QPushButton*>(w) && !qobject_cast<const QToolButton*>(w) &&
         !qobject_cast<const QTabBar*>(w) && !qobject_cast<const QAbstractItemView*>(w);
}

// Installed on the application once it exists: every dialog's keyboard the first time it shows.
class KeyboardFilter : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show) return false;
    auto* dialog = qobject_cast<QDialog*>(watched);
    if (!dialog || qobject_cast<QMessageBox*>(dialog) || dialog->property(kDone).toBool()) return false;
    dialog->setProperty(kDone, true);
    FollowLayoutWithKeyboard(dialog);
    return false;
  }

 private:
  static constexpr const char* kDone = "keyboardFollowsLayout";
};

}  // namespace

void InstallDialogKeyboard() {
  auto* app = QCoreApplication::instance();
  if (!app) return;
  static QPointer<KeyboardFilter> filter;
  if (!filter) filter = new KeyboardFilter(app);
  // Installed again, it moves in front of the filters installed since.
  app->installEventFilter(filter);
}

Q_COREAPP_STARTUP_FUNCTION(InstallDialogKeyboard)

std::vector<QWidget*> WidgetsInLayoutOrder(QWidget* dialog) {
  std::vector<QWidget*> out;
  std::set<QWidget*> seen{dialog};
  if (dialog->layout()) CollectLayout(dialog->layout(), out, seen);
  for (QObject* o : dialog->children())
    if (auto* child = qobject_cast<QWidget*>(o)) CollectWidget(child, out, seen);
  return out;
}

void FollowLayoutWithKeyboard(QWidget* dialog) {
  const std::vector<QWidget*> chain = WidgetsInLayoutOrder(dialog);
  for (size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
  // A dialog that chose its field (the On-line Options' password) keeps it.
  if (dialog->focusWidget()) return;
  for (QWidget* w : chain) {
    if (IsField(w) && w->isEnabled() && w->isVisibleTo(dialog)) {
      w->setFocus();
      return;
    }
  }
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
