#pragma once
// The request-filter tree and the Criterion dialog as Qt windows. The tree shows a collection's
// filters with their criteria and works on it through FilterTreeLogic (filter_editors.h): right
// click menus, Insert and Delete keys, double click, label editing of filters. The Criterion
// dialog binds CriterionLogic to its controls (object names "c<id>").
//
// Threads: the user-interface thread.
#include <QDialog>
#include <QTreeWidget>
#include <memory>
#include <optional>

#include "console/dialogs/access/filter_editors.h"

class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;

// "Criterion": variable 1179, met / not met 1174 / 1175, comparison 1176, value 1177, name 1178.
class CriterionDialog : public QDialog {
  Q_OBJECT

 public:
  // existing: the criterion to show (never changed), or null for a new one.
  CriterionDialog(const CRequestCriterion* existing, const CriterionContext& ctx, Prompter& prompter,
                  QWidget* parent = nullptr);
  CriterionLogic& Logic() { return m_logic; }
  // The criterion after OK, else null.
  std::shared_ptr<CRequestCriterion> Result() const { return m_result; }
  void accept() override;

 private:
  void Store();
  void Refresh();
  void ApplyRules();
  CriterionLogic m_logic;
  Prompter& m_prompter;
  std::shared_ptr<CRequestCriterion> m_result;
  QComboBox *m_variable, *m_comparison, *m_name;
  QButtonGroup* m_not;
  QLineEdit* m_value;
  QLabel *m_nameLabel, *m_comparisonLabel, *m_valueLabel;
};

// Opens the Criterion dialog modally over a parent window.
class QtCriterionDialogs : public CriterionDialogs {
 public:
  QtCriterionDialogs(Prompter& prompter, QWidget* parent) : m_prompter(prompter), m_parent(parent) {}
  std::shared_ptr<CRequestCriterion> EditCriterion(const CRequestCriterion* existing,
                                                   const CriterionContext& ctx) override;

 private:
  Prompter& m_prompter;
  QWidget* m_parent;
};

// The tree control over a FilterTreeLogic the caller keeps alive. Every change refills it.
class FilterTreeWidget : public QTreeWidget {
  Q_OBJECT

 public:
  FilterTreeWidget(FilterTreeLogic& logic, QWidget* parent = nullptr);
  // Empties and refills from the collection; the item given (or none) is selected.
  void Refill(std::optional<FilterTreeItem> select = std::nullopt);
  std::optional<FilterTreeItem> Selected() const;
  // A menu command on the selection (what the page's buttons and the menus do).
  void RunCommand(int command);
  // The menu of an item as it would pop up (tests read and trigger its actions).
  QMenu* BuildMenu(std::optional<FilterTreeItem> item, QWidget* parent);

 signals:
  // The collection changed (pages set their modified flag).
  void Changed();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  FilterTreeItem ItemOf(const QTreeWidgetItem* item) const;
  void ShowMenu(const QPoint& pos);
  FilterTreeLogic& m_logic;
  bool m_filling = false;
};
