#pragma once
// The scheduler editors' Qt windows: the Scheduler Properties sheet, the Scheduled Event
// Properties dialog and the Action dialog. Each control's object name is its id
// (scheduler_editors.h); values, rules and OK are in the logic there. Sub-dialogs open modal.
#include <QDialog>
#include <QIcon>
#include <memory>

#include "console/dialogs/common/tab_sheet.h"
#include "console/dialogs/scheduler/scheduler_editors.h"

class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QListWidget;
class QRadioButton;

// "Action" over a copy of one action.
class ActionDialog : public QDialog {
  Q_OBJECT

 public:
  ActionDialog(const CScheduleEventAction& action, SchedulerLists lists, Prompter& prompter, QWidget* parent = nullptr);
  ActionDialogLogic& Logic() { return m_logic; }
  // The new action after OK, else null.
  std::shared_ptr<CScheduleEventAction> Result() const { return m_result; }
  void accept() override;

 private:
  void SetUp();
  ActionDialogLogic m_logic;
  Prompter& m_prompter;
  QComboBox* m_what;
  QLabel* m_label;
  QComboBox* m_combo;
  QLineEdit* m_edit;
  QCheckBox* m_check;
  std::shared_ptr<CScheduleEventAction> m_result;
};

// "Scheduled Event Properties" over a copy of one event. The Action dialog's lists are taken from
// the client's mirrors each time it opens.
class EventDialog : public QDialog {
  Q_OBJECT

 public:
  EventDialog(const CScheduleEvent& event, CLookoutClient& client, Prompter& prompter, QWidget* parent = nullptr);
  EventDialogLogic& Logic() { return m_logic; }
  // The edited copy after OK, else null.
  std::shared_ptr<CScheduleEvent> Result() const { return m_result; }
  void accept() override;

 private:
  bool StoreControls();
  void LoadControls();
  void RefillActions(int select);
  void EditAction(int row);
  std::shared_ptr<CScheduleEvent> m_event;
  EventDialogLogic m_logic;
  CLookoutClient& m_client;
  Prompter& m_prompter;
  QRadioButton *m_regular, *m_single;
  QComboBox *m_recurrence, *m_weekday;
  QLineEdit *m_day, *m_hour, *m_minute, *m_description;
  QDateTimeEdit* m_when;
  QCheckBox* m_enabled;
  QListWidget* m_actions;
  std::shared_ptr<CScheduleEvent> m_result;
};

// "Scheduler Properties": Events and Logging over the sheet's copy of the console's scheduler.
// icon: the scheduler's picture for the window and the event rows (the console's image list).
class SchedulerSheetDialog : public SheetDialog {
  Q_OBJECT

 public:
  SchedulerSheetDialog(CLookoutClient& client, Prompter& prompter, const QIcon& icon = QIcon(),
                       QWidget* parent = nullptr);
  SchedulerSheet& Logic() { return m_logic; }
  void accept() override;

 private:
  SchedulerSheet m_logic;
  Prompter& m_prompter;
};
