#pragma once
// What the pages over a filter tree share: the Add Filter, Add Criterion and Delete buttons on the
// tree's selection, and the page that applies to every request or to those its filters name (the
// two radios over the tree). Page: AddFilter, AddCriterion and Remove on a FilterTreeItem; the
// choosing page also `specify`, Tree(), States() and the ids SPECIFY, TREE, ADD_FILTER and
// ADD_CRITERION.
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <optional>

#include "console/dialogs/access/filter_tree.h"
#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/tab_sheet.h"

// The three buttons under a filter tree, in a row the caller may add to.
template <class Page>
QHBoxLayout* FilterTreeButtons(Page& logic, FilterTreeWidget* tree, int deleteId, QWidget* parent) {
  auto* row = new QHBoxLayout;
  auto* addFilter = Button(Page::ADD_FILTER, "Add Filter", parent);
  auto* addCriterion = Button(Page::ADD_CRITERION, "Add Criterion", parent);
  auto* remove = Button(deleteId, "Delete", parent);
  row->addWidget(addFilter);
  row->addWidget(addCriterion);
  row->addWidget(remove);
  row->addStretch(1);
  QObject::connect(addFilter, &QPushButton::clicked, parent, [&logic, tree] {
    std::optional<FilterTreeItem> next;
    if (logic.AddFilter(&next)) tree->Refill(next);
  });
  QObject::connect(addCriterion, &QPushButton::clicked, parent, [&logic, tree] {
    std::optional<FilterTreeItem> next;
    if (logic.AddCriterion(tree->Selected(), &next)) tree->Refill(next);
  });
  QObject::connect(remove, &QPushButton::clicked, parent, [&logic, tree] {
    if (logic.Remove(tree->Selected())) tree->Refill();
  });
  return row;
}

// Every request (radio allId) or only those the filters name (SPECIFY), with the tree below.
template <class Page>
class FilterChoicePage : public TabPage {
 public:
  FilterChoicePage(Page& logic, const char* title, int allId, const char* allText, const char* specifyText,
                   int deleteId)
      : TabPage(QString::fromLatin1(title)), m_logic(logic) {
    auto* layout = new QVBoxLayout(this);
    m_group = new QButtonGroup(this);
    layout->addWidget(Radio(m_group, allId, 0, allText, this));
    layout->addWidget(Radio(m_group, Page::SPECIFY, 1, specifyText, this));
    m_tree = Named(new FilterTreeWidget(m_logic.Tree(), this), Page::TREE);
    layout->addWidget(m_tree, 1);
    layout->addLayout(FilterTreeButtons(m_logic, m_tree, deleteId, this));
    QObject::connect(m_group, &QButtonGroup::idClicked, this, [this](int v) {
      m_logic.specify = v == 1;
      ApplyStates(this, m_logic.States());
    });
  }
  void LoadControls() override {
    m_group->button(m_logic.specify ? 1 : 0)->setChecked(true);
    m_tree->Refill(m_tree->Selected());
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    m_logic.specify = m_group->checkedId() == 1;
    return true;
  }

 private:
  Page& m_logic;
  QButtonGroup* m_group;
  FilterTreeWidget* m_tree;
};
