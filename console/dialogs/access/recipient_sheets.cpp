#include "console/dialogs/access/recipient_sheets.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/dialogs/access/filter_sheets.h"
#include "console/dialogs/access/filter_tree.h"
#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/common/location_lists_qt.h"
#include "console/model/list_images.h"
#include "console/model/tree_images.h"
#include "engine/core/service_settings.h"

namespace {

QDateTime ToQt(const CDateTime& t) {
  if (!t.IsValid()) return QDateTime();
  return QDateTime(QDate(t.GetYear(), t.GetMonth(), t.GetDay()), QTime(t.GetHour(), t.GetMinute(), t.GetSecond()));
}
CDateTime FromQt(const QDateTime& t) {
  if (!t.isValid()) {
    CDateTime bad;
    bad.SetStatus(CDateTime::invalid);
    return bad;
  }
  return CDateTime(t.date().year(), t.date().month(), t.date().day(), t.time().hour(), t.time().minute(),
                   t.time().second());
}

// ---- Recipient page -------------------------------------------------------------------------------

class UserWidget : public TabPage {
 public:
  UserWidget(RecipientUserPage& logic, const RecipientSheetContext& ctx)
      : TabPage(QStringLiteral("Recipient")), m_logic(logic), m_ctx(ctx) {
    auto* layout = new QVBoxLayout(this);
    m_who = new QButtonGroup(this);
    layout->addWidget(Radio(m_who, RecipientUserPage::EVERYONE, 0, "Everyone", this));
    layout->addWidget(Radio(m_who, RecipientUserPage::SPECIFY, 1, "Specify user or group", this));
    layout->addWidget(m_name = Named(new QLineEdit(this), RecipientUserPage::NAME));
    m_list = PrincipalList(RecipientUserPage::LIST, m_ctx.principals, {{0, 120}}, this);
    layout->addWidget(m_list, 1);
    auto* box = new QGroupBox(QStringLiteral("Security"), this);
    auto* levels = new QVBoxLayout(box);
    m_level = new QButtonGroup(this);
    levels->addWidget(Radio(m_level, RecipientUserPage::UNKNOWN, 0, "User may be unknown", box));
    levels->addWidget(Radio(m_level, RecipientUserPage::ASSUMED, 1, "User may be assumed", box));
    levels->addWidget(Radio(m_level, RecipientUserPage::AUTHENTICATED, 2, "User must be authenticated", box));
    layout->addWidget(box);
    connect(m_who, &QButtonGroup::idClicked, this, [this](int v) {
      m_logic.SetSpecify(v == 1);
      ApplyStates(this, m_logic.States());
    });
    connect(m_level, &QButtonGroup::idClicked, this, [this](int v) { m_logic.level = v; });
    connect(m_list, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
      if (!item) return;
      m_logic.Select(m_ctx, static_cast<size_t>(m_list->indexOfTopLevelItem(item)));
      m_name->setText(Q(m_logic.name));
    });
    connect(m_name, &QLineEdit::textEdited, this, [this](const QString& t) { m_logic.SetName(S(t.trimmed())); });
  }
  void LoadControls() override {
    m_who->button(m_logic.specify ? 1 : 0)->setChecked(true);
    // A level the radios do not offer (3, refused) shows no radio until one is chosen.
    if (QAbstractButton* b = m_level->button(m_logic.level)) b->setChecked(true);
    m_name->setText(Q(m_logic.name));
    ApplyStates(this, m_logic.States());
  }

 private:
  RecipientUserPage& m_logic;
  const RecipientSheetContext& m_ctx;
  QButtonGroup *m_who, *m_level;
  QLineEdit* m_name;
  QTreeWidget* m_list;
};

// ---- Time page ------------------------------------------------------------------------------------

class TimeWidget : public TabPage {
 public:
  TimeWidget(RecipientTimePage& logic, Prompter& prompter)
      : TabPage(QStringLiteral("Time")), m_logic(logic), m_prompter(prompter) {
    auto* layout = new QVBoxLayout(this);
    m_group = new QButtonGroup(this);
    layout->addWidget(Radio(m_group, RecipientTimePage::ALWAYS, 0, "Recipient has rights always", this));
    layout->addWidget(
        Radio(m_group, RecipientTimePage::SPECIFY, 1, "Specify times when this recipient has rights", this));
    layout->addWidget(Side(false, "Included times", RecipientTimePage::INCLUDED), 1);
    layout->addWidget(Side(true, "Excluded times", RecipientTimePage::EXCLUDED), 1);
    connect(m_group, &QButtonGroup::idClicked, this, [this](int v) {
      m_logic.SetSpecify(v == 1);
      ApplyStates(this, m_logic.States());
    });
  }
  void LoadControls() override {
    m_group->button(m_logic.specify ? 1 : 0)->setChecked(true);
    Refill();
  }

 private:
  // One side: the list (base), Add (base + 2), Remove (base + 3).
  QGroupBox* Side(bool ex, const char* title, int base) {
    auto* box = new QGroupBox(QString::fromLatin1(title), this);
    auto* row = new QHBoxLayout(box);
    const int i = ex ? 1 : 0;
    row->addWidget(m_list[i] = Named(new QListWidget(box), base), 1);
    auto* buttons = new QVBoxLayout;
    auto* add = Button(base + 2, "Add", box);
    auto* remove = Button(base + 3, "Remove", box);
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch(1);
    row->addLayout(buttons);
    connect(add, &QPushButton::clicked, this, [this, ex] {
      TimeSliceDialog dlg(nullptr, m_prompter, this);
      if (dlg.exec() != QDialog::Accepted) return;
      m_logic.Add(ex, dlg.Result());
      Refill();
    });
    connect(remove, &QPushButton::clicked, this, [this, ex, i] {
      const int r = m_list[i]->currentRow();
      if (r < 0) return;
      m_logic.Remove(ex, static_cast<size_t>(r));
      Refill();
    });
    connect(m_list[i], &QListWidget::itemDoubleClicked, this, [this, ex, i](QListWidgetItem* item) {
      const int r = m_list[i]->row(item);
      auto slice = r < 0 ? nullptr : m_logic.Slice(ex, static_cast<size_t>(r));
      if (!slice) return;
      TimeSliceDialog dlg(slice.get(), m_prompter, this);
      if (dlg.exec() != QDialog::Accepted) return;
      m_logic.Replace(ex, static_cast<size_t>(r), dlg.Result());
      Refill();
      m_list[i]->setCurrentRow(r);
    });
    return box;
  }
  void Refill() {
    for (int i = 0; i < 2; ++i) {
      m_list[i]->clear();
      for (const CString& row : m_logic.Rows(i == 1)) m_list[i]->addItem(Q(row));
    }
    ApplyStates(this, m_logic.States());
  }
  RecipientTimePage& m_logic;
  Prompter& m_prompter;
  QButtonGroup* m_group;
  QListWidget* m_list[2];
};

}  // namespace

// ---- Time Slice dialog ----------------------------------------------------------------------------

TimeSliceDialog::TimeSliceDialog(const CTimeSlice* slice, Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_logic(slice), m_prompter(prompter) {
  setObjectName("TimeSlice");
  setWindowTitle(QStringLiteral("Time Slice"));
  auto* layout = new QVBoxLayout(this);
  m_kind = new QButtonGroup(this);
  auto* kinds = new QHBoxLayout;
  kinds->addWidget(Radio(m_kind, TimeSliceEditor::REGULAR, 0, "Regular Occurence", this));
  kinds->addWidget(Radio(m_kind, TimeSliceEditor::SINGLE, 1, "Single Occurence", this));
  kinds->addStretch(1);
  layout->addLayout(kinds);

  auto* every = new QGroupBox(QStringLiteral("Every"), this);
  auto* days = new QGridLayout(every);
  const char* names[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  for (int d = 0; d < 7; ++d) {
    auto* c = Named(new QCheckBox(QString::fromLatin1(names[d]), every), TimeSliceEditor::kDays[d]);
    c->setChecked((m_logic.days >> d) & 1u);
    days->addWidget(c, d / 4, d % 4);
  }
  m_range = new QButtonGroup(this);
  days->addWidget(Radio(m_range, TimeSliceEditor::ALL_DAY, 0, "All Day", every), 2, 0);
  days->addWidget(Radio(m_range, TimeSliceEditor::BETWEEN, 1, "Between", every), 3, 0);
  auto* from = Named(new QTimeEdit(ToQt(m_logic.fromTime).time(), every), TimeSliceEditor::FROM);
  auto* to = Named(new QTimeEdit(ToQt(m_logic.toTime).time(), every), TimeSliceEditor::TO);
  for (QTimeEdit* e : {from, to}) e->setDisplayFormat(QStringLiteral("HH:mm:ss"));
  days->addWidget(from, 3, 1);
  days->addWidget(new QLabel(QStringLiteral("and"), every), 3, 2, Qt::AlignCenter);
  days->addWidget(to, 3, 3);
  layout->addWidget(every);

  auto* once = new QGroupBox(QStringLiteral("Single Occurence"), this);
  auto* form = new QFormLayout(once);
  auto* starting = Named(new QDateTimeEdit(ToQt(m_logic.starting), once), TimeSliceEditor::STARTING);
  auto* finishing = Named(new QDateTimeEdit(ToQt(m_logic.finishing), once), TimeSliceEditor::FINISHING);
  for (QDateTimeEdit* e : {starting, finishing}) {
    e->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    e->setCalendarPopup(true);
  }
  form->addRow(QStringLiteral("Starting"), starting);
  form->addRow(QStringLiteral("Finishing"), finishing);
  layout->addWidget(once);
  layout->addWidget(OkCancel(this));

  m_kind->button(m_logic.single ? 1 : 0)->setChecked(true);
  m_range->button(m_logic.between ? 1 : 0)->setChecked(true);
  connect(m_kind, &QButtonGroup::idClicked, this, [this] { Update(); });
  connect(m_range, &QButtonGroup::idClicked, this, [this] { Update(); });
  Update();
}

void TimeSliceDialog::Store() {
  m_logic.single = m_kind->checkedId() == 1;
  m_logic.between = m_range->checkedId() == 1;
  uint32_t days = 0;
  for (int d = 0; d < 7; ++d)
    if (auto* c = qobject_cast<QCheckBox*>(FindControl(this, TimeSliceEditor::kDays[d])); c && c->isChecked())
      days |= 1u << d;
  m_logic.days = days;
  // A time of day keeps the date part the slice had, so an untouched slice stays as it was.
  auto secondOf = [this](int id) {
    const QTime t = qobject_cast<QTimeEdit*>(FindControl(this, id))->time();
    return t.hour() * 3600 + t.minute() * 60 + t.second();
  };
  if (const int32_t s = secondOf(TimeSliceEditor::FROM);
      s != m_logic.fromTime.GetSecondOfDay() || !m_logic.fromTime.IsValid())
    m_logic.fromTime = WithTimeOfDay(m_logic.fromTime, s);
  if (const int32_t s = secondOf(TimeSliceEditor::TO);
      s != m_logic.toTime.GetSecondOfDay() || !m_logic.toTime.IsValid())
    m_logic.toTime = WithTimeOfDay(m_logic.toTime, s);
  auto dateOf = [this](int id) { return qobject_cast<QDateTimeEdit*>(FindControl(this, id))->dateTime(); };
  if (dateOf(TimeSliceEditor::STARTING) != ToQt(m_logic.starting))
    m_logic.starting = FromQt(dateOf(TimeSliceEditor::STARTING));
  if (dateOf(TimeSliceEditor::FINISHING) != ToQt(m_logic.finishing))
    m_logic.finishing = FromQt(dateOf(TimeSliceEditor::FINISHING));
}

void TimeSliceDialog::Update() {
  m_logic.single = m_kind->checkedId() == 1;
  m_logic.between = m_range->checkedId() == 1;
  ApplyStates(this, m_logic.States());
}

void TimeSliceDialog::accept() {
  Store();
  if (!m_logic.Validate(m_prompter)) return;
  m_result = m_logic.Result();
  QDialog::accept();
}

// ---- Recipient sheet ------------------------------------------------------------------------------

RecipientSheetDialog::RecipientSheetDialog(const CRecipient* existing, uint32_t serviceKind, int32_t rightType,
                                           RecipientSheetContext ctx, Prompter& prompter, QWidget* parent)
    : SheetDialog(QString(), parent), m_logic(existing, serviceKind, rightType, std::move(ctx)), m_prompter(prompter) {
  setObjectName("EditRecipientSheet");
  setWindowIcon(TreeImages()[LIST_IMAGE_USER]);
  setWindowTitle(Q(m_logic.Title()));
  CriterionContext criteria;
  for (const auto& p : m_logic.Context().principals)
    if (p.group) criteria.groups.push_back(p.name);
  criteria.profiles = m_logic.Context().profiles;
  m_criteria = std::make_shared<QtCriterionDialogs>(prompter, this);
  m_logic.AddFilterPages(*m_criteria, criteria);
  for (int id : m_logic.Pages()) {
    TabPage* page = nullptr;
    switch (id) {
      case RECIPIENT_PAGE_USER: page = new UserWidget(m_logic.user, m_logic.Context()); break;
      case RECIPIENT_PAGE_LOCATION:
        page = new LocationListsWidget(m_logic.location, prompter, "Recipient has rights from everywhere",
                                       "Specify locations from where this recipient has rights");
        break;
      case RECIPIENT_PAGE_TIME: page = new TimeWidget(m_logic.time, prompter); break;
      case RECIPIENT_PAGE_BAN: page = NewBanListWidget(*m_logic.ban); break;
      case RECIPIENT_PAGE_ADVANCED: page = NewRecipientAdvancedWidget(*m_logic.advanced); break;
      default: break;
    }
    if (!page) continue;
    page->setObjectName(QStringLiteral("page%1").arg(id));
    Sheet()->AddPage(page);
    m_tabPages.push_back(id);
  }
  resize(sizeHint().expandedTo(QSize(480, 440)));
}

int RecipientSheetDialog::TabOf(int pageId) const {
  for (size_t i = 0; i < m_tabPages.size(); ++i)
    if (m_tabPages[i] == pageId) return static_cast<int>(i);
  return -1;
}

void RecipientSheetDialog::accept() {
  if (!Sheet()->Accept()) return;
  int refused = 0;
  m_result = m_logic.Ok(m_prompter, &refused);
  if (!m_result) {
    Sheet()->ShowRefused(TabOf(refused));
    return;
  }
  QDialog::accept();
}

std::shared_ptr<CRecipient> QtRecipientDialogs::EditRecipient(const CRecipient* existing, uint32_t serviceKind,
                                                              int32_t rightType) {
  // Over the dialog that asked (a service sheet, System Policies), so it never opens beneath it.
  QWidget* parent = QApplication::activeModalWidget() ? QApplication::activeModalWidget() : m_parent;
  RecipientSheetContext ctx = RecipientContextOf(m_client);
  ctx.profiles = CriterionContextOf(m_client, serviceKind, rightType).profiles;
  RecipientSheetDialog dlg(existing, serviceKind, rightType, std::move(ctx), m_prompter, parent);
  if (dlg.exec() != QDialog::Accepted) return nullptr;
  return dlg.Result();
}

// ---- System Policies ------------------------------------------------------------------------------

SystemPoliciesDialog::SystemPoliciesDialog(CLookoutClient& client, Prompter& prompter, RecipientDialogs& recipients,
                                           QWidget* parent)
    : QDialog(parent), m_logic(client), m_prompter(prompter), m_recipients(recipients) {
  setObjectName("SystemPolicies");
  setWindowIcon(TreeImages()[LIST_IMAGE_FILTER]);
  setWindowTitle(QString::fromLatin1(kSystemPoliciesTitle));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Right"), m_right = Named(new QComboBox(this), SystemPolicies::RIGHT));
  for (const CString& name : m_logic.RightNames()) m_right->addItem(Q(name));
  layout->addLayout(form);
  layout->addWidget(new QLabel(QStringLiteral("Is granted to:"), this));
  m_list = Named(new QTreeWidget(this), SystemPolicies::LIST);
  m_list->setRootIsDecorated(false);
  m_list->setHeaderLabels({QStringLiteral("Recipient"), QStringLiteral("Rights")});
  layout->addWidget(m_list, 1);
  auto* buttons = new QHBoxLayout;
  auto* add = Button(SystemPolicies::ADD, "&Add", this);
  auto* remove = Button(SystemPolicies::REMOVE, "&Remove", this);
  buttons->addWidget(add);
  buttons->addWidget(remove);
  buttons->addStretch(1);
  layout->addLayout(buttons);
  layout->addWidget(OkCancel(this));
  connect(m_right, &QComboBox::activated, this, [this](int index) {
    m_logic.selected = static_cast<size_t>(index);
    Refill();
  });
  connect(add, &QPushButton::clicked, this, [this] {
    if (auto r = m_recipients.EditRecipient(nullptr, SERVICE_KIND_NONE, m_logic.SelectedType())) {
      m_logic.Add(std::move(r));
      Refill();
    }
  });
  connect(m_list, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* item) { Edit(m_list->indexOfTopLevelItem(item)); });
  connect(remove, &QPushButton::clicked, this, [this] {
    if (QTreeWidgetItem* item = m_list->currentItem()) {
      m_logic.Remove(static_cast<size_t>(m_list->indexOfTopLevelItem(item)));
      Refill();
    }
  });
  Refill();
  resize(sizeHint().expandedTo(QSize(440, 360)));
}

void SystemPoliciesDialog::Edit(int row) {
  auto existing = row < 0 ? nullptr : m_logic.Recipient(static_cast<size_t>(row));
  if (!existing) return;
  if (auto r = m_recipients.EditRecipient(existing.get(), SERVICE_KIND_NONE, m_logic.SelectedType())) {
    m_logic.Replace(static_cast<size_t>(row), std::move(r));
    Refill();
  }
}

void SystemPoliciesDialog::Refill() {
  m_list->clear();
  for (const SystemPolicies::Row& r : m_logic.Rows())
    (new QTreeWidgetItem(m_list, {Q(r.recipient), Q(r.rights)}))->setIcon(0, TreeImages()[r.image]);
  m_list->resizeColumnToContents(0);
  m_list->setColumnWidth(0, std::max(90, m_list->columnWidth(0) + 8));
  ApplyStates(this, m_logic.States());
}

void SystemPoliciesDialog::accept() {
  if (!m_logic.Ok(m_prompter)) return;
  QDialog::accept();
}
