#include "console/dialogs/scheduler/scheduler_sheets.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/common/log_options_qt.h"
#include "console/model/list_images.h"
#include "console/model/lookout_client.h"
#include "console/model/tree_images.h"

namespace {

QDateTime ToQt(const CDateTime& t) {
  if (!t.IsValid()) return QDateTime::currentDateTime();
  return QDateTime(QDate(t.GetYear(), t.GetMonth(), t.GetDay()), QTime(t.GetHour(), t.GetMinute(), t.GetSecond()));
}

CDateTime FromQt(const QDateTime& q) {
  const QDate d = q.date();
  const QTime t = q.time();
  return CDateTime(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second());
}

CDateTime LocalNow() { return FromQt(QDateTime::currentDateTime()); }

// ---- Sheet pages ----------------------------------------------------------------------------------

class EventsWidget : public TabPage {
 public:
  EventsWidget(SchedulerSheet& sheet, Prompter& prompter, const QIcon& icon)
      : TabPage(QStringLiteral("Events")), m_sheet(sheet), m_logic(sheet.events), m_prompter(prompter), m_icon(icon) {
    auto* layout = new QVBoxLayout(this);
    m_list = Named(new QTreeWidget(this), SCHED_EVENT_LIST);
    m_list->setRootIsDecorated(false);
    m_list->setHeaderLabels({QStringLiteral("Event"), QStringLiteral("Actions")});
    m_list->setColumnWidth(0, 190);
    m_list->setColumnWidth(1, 90);
    layout->addWidget(m_list, 1);
    auto* buttons = new QHBoxLayout;
    auto* add = Button(SCHED_EVENT_ADD, "&Add", this);
    auto* remove = Button(SCHED_EVENT_REMOVE, "&Remove", this);
    auto* now = Button(SCHED_EVENT_DO_NOW, "Do &Now", this);
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch(1);
    buttons->addWidget(now);
    layout->addLayout(buttons);
    connect(m_list, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
      m_logic.selected = item ? m_list->indexOfTopLevelItem(item) : -1;
      ApplyStates(this, m_logic.States());
    });
    connect(add, &QPushButton::clicked, this, [this] {
      CScheduleEvent fresh;
      EventDialog dlg(fresh, m_sheet.Client(), m_prompter, this);
      dlg.setWindowIcon(m_icon);
      if (dlg.exec() != QDialog::Accepted || !dlg.Result()) return;
      Refill(static_cast<int>(m_logic.Add(dlg.Result())));
    });
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
      const int row = m_list->indexOfTopLevelItem(item);
      auto copy = row < 0 ? nullptr : m_logic.EventCopy(static_cast<size_t>(row));
      if (!copy) return;
      EventDialog dlg(*copy, m_sheet.Client(), m_prompter, this);
      dlg.setWindowIcon(m_icon);
      if (dlg.exec() != QDialog::Accepted || !dlg.Result()) return;
      m_logic.Replace(static_cast<size_t>(row), dlg.Result());
      Refill(row);
    });
    connect(remove, &QPushButton::clicked, this, [this] {
      const int row = m_list->currentIndex().row();
      if (row < 0 || !m_logic.Remove(static_cast<size_t>(row))) return;
      Refill(-1);
    });
    connect(now, &QPushButton::clicked, this, [this] {
      const int row = m_list->currentIndex().row();
      if (row >= 0) m_sheet.DoNow(static_cast<size_t>(row));
    });
  }
  void LoadControls() override {
    m_logic.online = m_sheet.Client().IsOnline();
    Refill(m_logic.selected);
  }

 private:
  void Refill(int select) {
    {
      const QSignalBlocker block(m_list);
      m_list->clear();
      for (const auto& row : m_logic.Rows()) {
        auto* item = new QTreeWidgetItem(m_list, {Q(row.event), Q(row.actions)});
        item->setIcon(0, m_icon);
      }
      QTreeWidgetItem* item = select >= 0 ? m_list->topLevelItem(select) : nullptr;
      m_list->setCurrentItem(item);
      m_logic.selected = item ? select : -1;
    }
    ApplyStates(this, m_logic.States());
  }
  SchedulerSheet& m_sheet;
  SchedulerEventsPage& m_logic;
  Prompter& m_prompter;
  QIcon m_icon;
  QTreeWidget* m_list;
};

}  // namespace

// ---- Action dialog ------------------------------------------------------------------------------------

ActionDialog::ActionDialog(const CScheduleEventAction& action, SchedulerLists lists, Prompter& prompter,
                           QWidget* parent)
    : QDialog(parent), m_logic(action, std::move(lists)), m_prompter(prompter) {
  setObjectName("ActionDialog");
  setWindowTitle(QString::fromLatin1(kActionDialogTitle));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  m_what = Named(new QComboBox(this), SCHED_ACT_DO_WHAT);
  for (const ActionInfo& a : ActionTable()) m_what->addItem(QString::fromLatin1(a.name), a.code);
  form->addRow(QStringLiteral("Do what"), m_what);
  m_label = Named(new QLabel(this), SCHED_ACT_LABEL);
  auto* arg = new QVBoxLayout;
  m_combo = Named(new QComboBox(this), SCHED_ACT_COMBO);
  m_edit = Named(new QLineEdit(this), SCHED_ACT_EDIT);
  m_edit->setMinimumWidth(260);
  arg->addWidget(m_combo);
  arg->addWidget(m_edit);
  form->addRow(m_label, arg);
  layout->addLayout(form);
  m_check = Named(new QCheckBox(this), SCHED_ACT_CHECK);
  layout->addWidget(m_check);
  layout->addStretch(1);
  layout->addLayout(OkCancelRow(this));

  m_what->setCurrentIndex(m_what->findData(m_logic.code));
  m_edit->setText(Q(m_logic.text));
  m_check->setChecked(m_logic.flag);
  SetUp();
  connect(m_what, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (index < 0) return;
    m_logic.choice = S(m_combo->currentText());
    m_logic.code = m_what->itemData(index).toUInt();
    SetUp();
  });
}

void ActionDialog::SetUp() {
  m_label->setText(Q(m_logic.LabelText()));
  m_check->setText(Q(m_logic.CheckText()));
  const QSignalBlocker block(m_combo);
  m_combo->clear();
  for (const CString& c : m_logic.Choices()) m_combo->addItem(Q(c));
  // The stored name when the list holds it, else nothing chosen.
  m_combo->setCurrentIndex(m_combo->findText(Q(m_logic.choice), Qt::MatchExactly));
  ApplyStates(this, m_logic.States());
}

void ActionDialog::accept() {
  m_logic.code = m_what->currentIndex() < 0 ? m_logic.code : m_what->currentData().toUInt();
  m_logic.text = S(m_edit->text());
  m_logic.choice = m_combo->currentIndex() < 0 ? CString() : S(m_combo->currentText());
  m_logic.flag = m_check->isChecked();
  if (!m_logic.Validate(m_prompter)) {
    m_combo->setFocus();
    return;
  }
  m_result = m_logic.Result();
  QDialog::accept();
}

// ---- Scheduled Event Properties -----------------------------------------------------------------------

EventDialog::EventDialog(const CScheduleEvent& event, CLookoutClient& client, Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_event(Clone(event)), m_logic(event, LocalNow()), m_client(client), m_prompter(prompter) {
  setObjectName("ScheduledEventDialog");
  setWindowTitle(QString::fromLatin1(kEventDialogTitle));
  auto* layout = new QVBoxLayout(this);

  auto* when = new QGroupBox(QStringLiteral("When"), this);
  auto* grid = new QGridLayout(when);
  auto* group = new QButtonGroup(this);
  m_regular = Named(new QRadioButton(QStringLiteral("Regular occurence"), when), SCHED_EV_REGULAR);
  m_single = Named(new QRadioButton(QStringLiteral("Single occurence"), when), SCHED_EV_SINGLE);
  group->addButton(m_regular, 1);
  group->addButton(m_single, 0);
  m_recurrence = Named(new QComboBox(when), SCHED_EV_RECURRENCE);
  for (const char* r : {"Monthly", "Weekly", "Daily", "Hourly"}) m_recurrence->addItem(QString::fromLatin1(r));
  m_day = Named(new QLineEdit(when), SCHED_EV_DAY_OF_MONTH);
  m_weekday = Named(new QComboBox(when), SCHED_EV_DAY_OF_WEEK);
  uint32_t d = 1;
  for (const char* w : {"Sundays", "Mondays", "Tuesdays", "Wednesdays", "Thursdays", "Fridays", "Saturdays"})
    m_weekday->addItem(QString::fromLatin1(w), d++);
  m_hour = Named(new QLineEdit(when), SCHED_EV_HOUR);
  m_minute = Named(new QLineEdit(when), SCHED_EV_MINUTE);
  for (QLineEdit* e : {m_day, m_hour, m_minute}) e->setMaximumWidth(48);
  m_when = Named(new QDateTimeEdit(when), SCHED_EV_DATE_TIME);
  m_when->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm"));
  m_when->setCalendarPopup(true);
  grid->addWidget(m_regular, 0, 0);
  grid->addWidget(m_recurrence, 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("Day of month"), when), 1, 0);
  grid->addWidget(m_day, 1, 1);
  grid->addWidget(new QLabel(QStringLiteral("Day of week"), when), 2, 0);
  grid->addWidget(m_weekday, 2, 1);
  auto* time = new QHBoxLayout;
  time->addWidget(m_hour);
  time->addWidget(new QLabel(QStringLiteral(":"), when));
  time->addWidget(m_minute);
  time->addStretch(1);
  grid->addWidget(new QLabel(QStringLiteral("At (hour : minute)"), when), 3, 0);
  grid->addLayout(time, 3, 1);
  grid->addWidget(m_single, 4, 0);
  grid->addWidget(m_when, 4, 1);
  layout->addWidget(when);

  auto* form = new QFormLayout;
  m_description = Named(new QLineEdit(this), SCHED_EV_DESCRIPTION);
  form->addRow(QStringLiteral("Description"), m_description);
  layout->addLayout(form);
  m_enabled = Named(new QCheckBox(QStringLiteral("Event enabled"), this), SCHED_EV_ENABLED);
  layout->addWidget(m_enabled);

  auto* actions = new QGroupBox(QStringLiteral("Actions"), this);
  auto* al = new QHBoxLayout(actions);
  m_actions = Named(new QListWidget(actions), SCHED_EV_ACTIONS);
  m_actions->setMinimumWidth(280);
  al->addWidget(m_actions, 1);
  auto* ab = new QVBoxLayout;
  auto* add = Button(SCHED_EV_ACTION_ADD, "&Add", actions);
  auto* remove = Button(SCHED_EV_ACTION_REMOVE, "&Remove", actions);
  auto* up = Button(SCHED_EV_ACTION_UP, "&Up", actions);
  auto* down = Button(SCHED_EV_ACTION_DOWN, "&Down", actions);
  for (QPushButton* b : {add, remove, up, down}) ab->addWidget(b);
  ab->addStretch(1);
  al->addLayout(ab);
  layout->addWidget(actions, 1);
  layout->addLayout(OkCancelRow(this));

  LoadControls();
  connect(group, &QButtonGroup::idClicked, this, [this](int v) {
    m_logic.regular = v == 1;
    ApplyStates(this, m_logic.States());
  });
  connect(m_recurrence, &QComboBox::currentIndexChanged, this, [this](int i) {
    if (i < 0) return;
    m_logic.everyWhat = static_cast<uint32_t>(i);
    ApplyStates(this, m_logic.States());
  });
  connect(add, &QPushButton::clicked, this, [this] {
    ActionDialog dlg(CScheduleEventAction(), SchedulerListsOf(m_client), m_prompter, this);
    if (dlg.exec() != QDialog::Accepted || !dlg.Result()) return;
    m_logic.AddAction(dlg.Result());
    RefillActions(static_cast<int>(m_logic.ActionCount()) - 1);
  });
  connect(remove, &QPushButton::clicked, this, [this] {
    const int row = m_actions->currentRow();
    if (row >= 0 && m_logic.RemoveAction(static_cast<size_t>(row))) RefillActions(-1);
  });
  connect(up, &QPushButton::clicked, this, [this] {
    const int row = m_actions->currentRow();
    if (row >= 0 && m_logic.PromoteAction(static_cast<size_t>(row))) RefillActions(row - 1);
  });
  connect(down, &QPushButton::clicked, this, [this] {
    const int row = m_actions->currentRow();
    if (row >= 0 && m_logic.DemoteAction(static_cast<size_t>(row))) RefillActions(row + 1);
  });
  connect(m_actions, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem* item) { EditAction(m_actions->row(item)); });
}

void EventDialog::LoadControls() {
  (m_logic.regular ? m_regular : m_single)->setChecked(true);
  {
    const QSignalBlocker block(m_recurrence);
    m_recurrence->setCurrentIndex(m_logic.everyWhat <= TL_EVERY_HOUR ? static_cast<int>(m_logic.everyWhat) : -1);
  }
  m_day->setText(QString::number(m_logic.dayOfMonth));
  m_weekday->setCurrentIndex(m_weekday->findData(m_logic.dayOfWeek));
  m_hour->setText(QString::number(m_logic.hour));
  m_minute->setText(QString::number(m_logic.minute));
  m_when->setDateTime(ToQt(m_logic.when));
  m_description->setText(Q(m_logic.description));
  m_enabled->setChecked(m_logic.enabled);
  RefillActions(-1);
  ApplyStates(this, m_logic.States());
}

void EventDialog::RefillActions(int select) {
  m_actions->clear();
  for (const CString& t : m_logic.ActionTexts()) m_actions->addItem(Q(t));
  if (select >= 0) m_actions->setCurrentRow(select);
}

void EventDialog::EditAction(int row) {
  auto copy = row < 0 ? nullptr : m_logic.ActionCopy(static_cast<size_t>(row));
  if (!copy) return;
  ActionDialog dlg(*copy, SchedulerListsOf(m_client), m_prompter, this);
  if (dlg.exec() != QDialog::Accepted || !dlg.Result()) return;
  m_logic.ReplaceAction(static_cast<size_t>(row), dlg.Result());
  RefillActions(row);
}

bool EventDialog::StoreControls() {
  FieldError error;
  uint64_t hour = 0, minute = 0, day = 0;
  if (m_hour->isEnabled() && !ReadUnsigned(S(m_hour->text()), SCHED_EV_HOUR, 0, 23, &hour, &error)) {
    ShowFieldError(this, error, m_prompter);
    return false;
  }
  if (m_minute->isEnabled() && !ReadUnsigned(S(m_minute->text()), SCHED_EV_MINUTE, 0, 59, &minute, &error)) {
    ShowFieldError(this, error, m_prompter);
    return false;
  }
  if (m_day->isEnabled() && !ReadUnsigned(S(m_day->text()), SCHED_EV_DAY_OF_MONTH, 0, 0xFFFFFFFFu, &day, &error)) {
    ShowFieldError(this, error, m_prompter);
    return false;
  }
  // A disabled field keeps what the event had.
  if (m_hour->isEnabled()) m_logic.hour = static_cast<uint32_t>(hour);
  if (m_minute->isEnabled()) m_logic.minute = static_cast<uint32_t>(minute);
  if (m_day->isEnabled()) m_logic.dayOfMonth = static_cast<uint32_t>(day);
  m_logic.regular = m_regular->isChecked();
  if (m_recurrence->currentIndex() >= 0) m_logic.everyWhat = static_cast<uint32_t>(m_recurrence->currentIndex());
  if (m_weekday->currentIndex() >= 0) m_logic.dayOfWeek = m_weekday->currentData().toUInt();
  m_logic.when = FromQt(m_when->dateTime());
  m_logic.description = S(m_description->text());
  m_logic.enabled = m_enabled->isChecked();
  return true;
}

void EventDialog::accept() {
  if (!StoreControls()) return;
  if (!m_logic.Validate(m_prompter)) {
    if (QWidget* day = FindControl(this, SCHED_EV_DAY_OF_MONTH); day && day->isEnabled()) day->setFocus();
    return;
  }
  m_logic.Apply(*m_event);
  m_result = m_event;
  QDialog::accept();
}

// ---- Scheduler Properties ----------------------------------------------------------------------------

SchedulerSheetDialog::SchedulerSheetDialog(CLookoutClient& client, Prompter& prompter, QWidget* parent)
    : SheetDialog(QString::fromLatin1(kSchedulerSheetTitle), parent), m_logic(client), m_prompter(prompter) {
  setObjectName("SchedulerSheet");
  // The sheet, its event dialogs and every event row show the console's scheduler picture.
  const QIcon& icon = TreeImages()[LIST_IMAGE_SCHEDULER];
  setWindowIcon(icon);
  Sheet()->AddPage(new EventsWidget(m_logic, prompter, icon));
  SchedulerLoggingPage& logging = m_logic.logging;
  Sheet()->AddPage(new LogOptionsWidget(logging.logging, logging.options, [&logging] { return logging.States(); },
                                        {SCHED_LOG_OFF,
                                         kLogOffText,
                                         SCHED_LOG_ON,
                                         "Log these events",
                                         {{SCHED_LOG_DETAILS, SCHED_LOG_EVENT, "Event details"},
                                          {SCHED_LOG_DEBUG_BIT, SCHED_LOG_DEBUG, "Debug"},
                                          {SCHED_LOG_CONFIG_BIT, SCHED_LOG_CONFIG, "Configuration changes"},
                                          {SCHED_LOG_ERRORS, SCHED_LOG_ERROR, "Errors"},
                                          {SCHED_LOG_START_STOP, SCHED_LOG_THREAD, "Scheduler start / stop"}},
                                         5}));
}

void SchedulerSheetDialog::accept() {
  if (!Sheet()->Accept()) return;
  int refused = -1;
  if (!m_logic.Ok(m_prompter, &refused)) {
    if (refused >= 0 && refused != Sheet()->ActiveIndex()) Sheet()->SetActivePage(refused);
    return;
  }
  QDialog::accept();
}
