#include "console/dialogs/access/filter_tree.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/model/list_images.h"
#include "console/model/tree_images.h"

namespace {

constexpr int kFilterRole = Qt::UserRole;
constexpr int kCriterionRole = Qt::UserRole + 1;

}  // namespace

// ---- Criterion dialog -------------------------------------------------------------------------

CriterionDialog::CriterionDialog(const CRequestCriterion* existing, const CriterionContext& ctx, Prompter& prompter,
                                 QWidget* parent)
    : QDialog(parent), m_logic(ctx), m_prompter(prompter) {
  setWindowTitle(QString::fromLatin1(kCriterionCaption));
  m_logic.Load(existing);
  auto* layout = new QVBoxLayout(this);
  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(QStringLiteral("Variable"), this), 0, 0);
  grid->addWidget(m_variable = Named(new QComboBox(this), CriterionLogic::VARIABLE), 0, 1);
  auto offered = OfferedVariables(ctx);
  // A criterion whose variable this service does not offer keeps it listed, so an edit never
  // changes the variable behind the operator's back.
  if (existing && std::find(offered.begin(), offered.end(), m_logic.dataIndex) == offered.end() &&
      VariableName(ctx, m_logic.dataIndex))
    offered.push_back(m_logic.dataIndex);
  for (int32_t v : offered) m_variable->addItem(QString::fromLatin1(VariableName(ctx, v)), v);
  m_variable->setMinimumContentsLength(30);
  m_not = new QButtonGroup(this);
  auto* met = Named(new QRadioButton(QStringLiteral("This criterion is met if"), this), CriterionLogic::MET);
  auto* notMet =
      Named(new QRadioButton(QStringLiteral("This criterion is NOT met if:"), this), CriterionLogic::NOT_MET);
  m_not->addButton(met, 0);
  m_not->addButton(notMet, 1);
  grid->addWidget(met, 1, 0, 1, 2);
  grid->addWidget(notMet, 2, 0, 1, 2);
  grid->addWidget(m_comparisonLabel = new QLabel(QStringLiteral("Comparison"), this), 3, 0);
  grid->addWidget(m_comparison = Named(new QComboBox(this), CriterionLogic::COMPARISON), 3, 1);
  grid->addWidget(m_valueLabel = new QLabel(QStringLiteral("Value"), this), 4, 0);
  grid->addWidget(m_value = Named(new QLineEdit(this), CriterionLogic::VALUE), 4, 1);
  grid->addWidget(m_nameLabel = new QLabel(this), 5, 0);
  grid->addWidget(m_name = Named(new QComboBox(this), CriterionLogic::NAME), 5, 1);
  m_name->setEditable(true);
  grid->setColumnStretch(1, 1);
  layout->addLayout(grid);
  layout->addWidget(OkCancel(this, true));

  m_variable->setCurrentIndex(std::max(0, m_variable->findData(m_logic.dataIndex)));
  m_not->button(m_logic.negate ? 1 : 0)->setChecked(true);
  m_value->setText(Q(m_logic.value));
  m_name->setEditText(Q(m_logic.name));
  Refresh();
  connect(m_variable, &QComboBox::currentIndexChanged, this, [this](int) {
    Store();
    m_logic.SetVariable(m_variable->currentData().toInt());
    Refresh();
  });
  connect(m_comparison, &QComboBox::currentIndexChanged, this, [this](int) {
    Store();
    ApplyRules();
  });
}

void CriterionDialog::Store() {
  if (m_variable->currentIndex() >= 0) m_logic.dataIndex = m_variable->currentData().toInt();
  if (m_comparison->currentIndex() >= 0) m_logic.comparison = m_comparison->currentData().toInt();
  m_logic.negate = m_not->checkedId() == 1;
  m_logic.value = S(m_value->text());
  m_logic.name = S(m_name->currentText());
}

void CriterionDialog::Refresh() {
  const QSignalBlocker block(m_comparison);
  m_comparison->clear();
  for (int32_t c : m_logic.Comparisons()) m_comparison->addItem(QString::fromLatin1(GetComparisonName(c)), c);
  m_comparison->setCurrentIndex(std::max(0, m_comparison->findData(m_logic.comparison)));
  const CString typed = S(m_name->currentText());
  m_name->clear();
  for (const CString& n : m_logic.NameChoices()) m_name->addItem(Q(n));
  m_name->setEditText(Q(typed));
  // A group must be one of the console's groups when it knows them; a header is typed.
  m_nameLabel->setText(Q(m_logic.NameLabel()));
  ApplyRules();
}

void CriterionDialog::ApplyRules() {
  ApplyStates(this, m_logic.States());
  // A label goes with its field.
  m_comparisonLabel->setHidden(m_comparison->isHidden());
  m_valueLabel->setHidden(m_value->isHidden());
  m_nameLabel->setHidden(m_name->isHidden());
}

void CriterionDialog::accept() {
  Store();
  FieldError error;
  if (!m_logic.Validate(&error)) {
    ShowFieldError(this, error, m_prompter);
    return;
  }
  m_result = m_logic.Result();
  QDialog::accept();
}

std::shared_ptr<CRequestCriterion> QtCriterionDialogs::EditCriterion(const CRequestCriterion* existing,
                                                                     const CriterionContext& ctx) {
  CriterionDialog dlg(existing, ctx, m_prompter, m_parent);
  if (dlg.exec() != QDialog::Accepted) return nullptr;
  return dlg.Result();
}

// ---- The tree ---------------------------------------------------------------------------------

FilterTreeWidget::FilterTreeWidget(FilterTreeLogic& logic, QWidget* parent) : QTreeWidget(parent), m_logic(logic) {
  setHeaderHidden(true);
  setColumnCount(1);
  setContextMenuPolicy(Qt::CustomContextMenu);
  // A double click opens or closes a filter and opens a criterion's properties; labels are
  // edited with F2 or a click on the selected filter.
  setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
  connect(this, &QWidget::customContextMenuRequested, this, &FilterTreeWidget::ShowMenu);
  connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    const FilterTreeItem it = ItemOf(item);
    if (!it.IsCriterion()) return;
    if (m_logic.Activate(it)) {
      Refill(it);
      emit Changed();
    }
  });
  connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item) {
    if (m_filling) return;
    const FilterTreeItem it = ItemOf(item);
    const bool renamed = m_logic.Rename(it, S(item->text(0)));
    // An empty label is dropped: the refill shows the name again.
    QMetaObject::invokeMethod(
        this, [this, it] { Refill(it); }, Qt::QueuedConnection);
    if (renamed) emit Changed();
  });
  Refill();
}

FilterTreeItem FilterTreeWidget::ItemOf(const QTreeWidgetItem* item) const {
  if (!item) return {};
  return {item->data(0, kFilterRole).toInt(), item->data(0, kCriterionRole).toInt()};
}

void FilterTreeWidget::Refill(std::optional<FilterTreeItem> select) {
  m_filling = true;
  clear();
  const QIcon& filterIcon = TreeImages()[LIST_IMAGE_FILTER];
  const QIcon& criterionIcon = TreeImages()[LIST_IMAGE_CRITERION];
  QTreeWidgetItem* parent = nullptr;
  QTreeWidgetItem* chosen = nullptr;
  for (const auto& row : m_logic.Rows()) {
    QTreeWidgetItem* item;
    if (row.item.IsFilter()) {
      item = parent = new QTreeWidgetItem(this, {Q(row.text)});
      item->setIcon(0, filterIcon);
      item->setFlags(item->flags() | Qt::ItemIsEditable);
    } else {
      item = new QTreeWidgetItem(parent, {Q(row.text)});
      item->setIcon(0, criterionIcon);
    }
    item->setData(0, kFilterRole, row.item.filter);
    item->setData(0, kCriterionRole, row.item.criterion);
    if (select && *select == row.item) chosen = item;
  }
  expandAll();
  if (chosen) setCurrentItem(chosen);
  m_filling = false;
}

std::optional<FilterTreeItem> FilterTreeWidget::Selected() const {
  const auto items = selectedItems();
  if (items.isEmpty()) return std::nullopt;
  return ItemOf(items.front());
}

void FilterTreeWidget::RunCommand(int command) {
  std::optional<FilterTreeItem> next;
  if (m_logic.Run(command, Selected(), &next)) {
    Refill(next);
    emit Changed();
  }
}

QMenu* FilterTreeWidget::BuildMenu(std::optional<FilterTreeItem> item, QWidget* parent) {
  auto* menu = new QMenu(parent);
  for (int command : FilterTreeLogic::Menu(item)) {
    if (command == FILTER_CMD_SEPARATOR) {
      menu->addSeparator();
      continue;
    }
    QAction* a = menu->addAction(QString::fromLatin1(FilterTreeLogic::CommandText(command)));
    a->setData(command);
    connect(a, &QAction::triggered, this, [this, command, item] {
      std::optional<FilterTreeItem> next;
      if (m_logic.Run(command, item, &next)) {
        Refill(next);
        emit Changed();
      }
    });
  }
  return menu;
}

void FilterTreeWidget::ShowMenu(const QPoint& pos) {
  QTreeWidgetItem* at = itemAt(pos);
  std::optional<FilterTreeItem> item;
  if (at) {
    setCurrentItem(at);
    item = ItemOf(at);
  } else {
    clearSelection();
  }
  QMenu* menu = BuildMenu(item, this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(viewport()->mapToGlobal(pos) + QPoint(5, 0));
}

void FilterTreeWidget::keyPressEvent(QKeyEvent* event) {
  if (state() != QAbstractItemView::EditingState) {
    if (event->key() == Qt::Key_Insert) {
      std::optional<FilterTreeItem> next;
      if (m_logic.Insert(Selected(), &next)) {
        Refill(next);
        emit Changed();
      }
      return;
    }
    if (event->key() == Qt::Key_Delete) {
      if (m_logic.Delete(Selected())) {
        Refill();
        emit Changed();
      }
      return;
    }
  }
  QTreeWidget::keyPressEvent(event);
}
