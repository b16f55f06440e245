#include "console/dialogs/common/location_lists_qt.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/dialogs/common/controls_qt.h"

LocationListsWidget::LocationListsWidget(LocationLists& logic, Prompter& prompter, const char* everywhere,
                                         const char* specify)
    : TabPage(QStringLiteral("Location")), m_logic(logic), m_prompter(prompter) {
  auto* layout = new QVBoxLayout(this);
  m_group = new QButtonGroup(this);
  layout->addWidget(Radio(m_group, LocationLists::EVERYWHERE, 0, everywhere, this));
  layout->addWidget(Radio(m_group, LocationLists::SPECIFY, 1, specify, this));
  auto* lists = new QHBoxLayout;
  lists->addWidget(Side(false, "Included locations", LocationLists::INCLUDED));
  lists->addWidget(Side(true, "Excluded locations", LocationLists::EXCLUDED));
  layout->addLayout(lists, 1);
  connect(m_group, &QButtonGroup::idClicked, this, [this](int v) {
    m_logic.SetSpecify(v == 1);
    ApplyStates(this, m_logic.ListStates());
  });
}

void LocationListsWidget::LoadControls() {
  m_group->button(m_logic.specify ? 1 : 0)->setChecked(true);
  Refill();
}

bool LocationListsWidget::StoreControls() {
  m_logic.includedEdit = S(m_edit[0]->text().trimmed());
  m_logic.excludedEdit = S(m_edit[1]->text().trimmed());
  return true;
}

QGroupBox* LocationListsWidget::Side(bool ex, const char* title, int base) {
  auto* box = new QGroupBox(QString::fromLatin1(title), this);
  auto* grid = new QGridLayout(box);
  const int i = ex ? 1 : 0;
  grid->addWidget(m_list[i] = Named(new QListWidget(box), base), 0, 0, 1, 2);
  grid->addWidget(m_edit[i] = Named(new QLineEdit(box), base + 1), 1, 0, 1, 2);
  auto* add = Button(base + 2, "Add", box);
  auto* remove = Button(base + 3, "Remove", box);
  grid->addWidget(add, 2, 0);
  grid->addWidget(remove, 2, 1);
  connect(add, &QPushButton::clicked, this, [this, ex, i] {
    (ex ? m_logic.excludedEdit : m_logic.includedEdit) = S(m_edit[i]->text().trimmed());
    m_logic.Add(ex, m_prompter);
    Refill();
  });
  connect(remove, &QPushButton::clicked, this, [this, ex, i] {
    const int row = m_list[i]->currentRow();
    if (row < 0) return;
    m_logic.Remove(ex, static_cast<size_t>(row));
    Refill();
  });
  return box;
}

void LocationListsWidget::Refill() {
  const std::vector<CString>* lists[] = {&m_logic.included, &m_logic.excluded};
  const CString* edits[] = {&m_logic.includedEdit, &m_logic.excludedEdit};
  for (int i = 0; i < 2; ++i) {
    m_list[i]->clear();
    for (const CString& p : *lists[i]) m_list[i]->addItem(Q(p));
    m_edit[i]->setText(Q(*edits[i]));
  }
  ApplyStates(this, m_logic.ListStates());
}
