#include "console/dialogs/dialer/dialer_sheets.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/model/lookout_client.h"
#include "engine/remote/rc_codes.h"

namespace {

QTreeWidget* ListView(int id, const std::vector<std::pair<const char*, int>>& columns, QWidget* parent) {
  auto* list = Named(new QTreeWidget(parent), id);
  list->setRootIsDecorated(false);
  list->setColumnCount(static_cast<int>(columns.size()));
  QStringList labels;
  for (const auto& c : columns) labels << QString::fromLatin1(c.first);
  list->setHeaderLabels(labels);
  for (size_t i = 0; i < columns.size(); ++i) list->setColumnWidth(static_cast<int>(i), columns[i].second);
  list->header()->setStretchLastSection(true);
  return list;
}

QIcon Picture(const DialerImages& images, int n) { return images ? images(n) : QIcon(); }

// ---- Edit Profile pages --------------------------------------------------------------------------

class GeneralWidget : public TabPage {
 public:
  GeneralWidget(ProfileGeneralPage& logic, const ProfileSheetContext& ctx, Prompter& prompter)
      : TabPage(QStringLiteral("General")), m_logic(logic), m_prompter(prompter) {
    auto* grid = new QGridLayout(this);
    int row = 0;
    grid->addWidget(new QLabel(QStringLiteral("Profile Name"), this), row, 0);
    grid->addWidget(m_name = Named(new QLineEdit(this), PROFILE_GENERAL_NAME), row++, 1, 1, 2);
    m_name->setReadOnly(ctx.existing);
    grid->addWidget(
        m_autoConnect = Named(new QCheckBox(QStringLiteral("Auto connect to"), this), PROFILE_GENERAL_AUTO_CONNECT),
        row, 0);
    grid->addWidget(m_entry = Named(new QComboBox(this), PROFILE_GENERAL_ENTRY), row++, 1, 1, 2);
    // Editable: an entry the engine's phonebook no longer lists is kept as it is.
    m_entry->setEditable(true);
    for (const CString& e : ctx.phonebook) m_entry->addItem(Q(e));
    grid->addWidget(new QLabel(QStringLiteral("Username"), this), row, 0);
    grid->addWidget(m_user = Named(new QLineEdit(this), PROFILE_GENERAL_USERNAME), row++, 1, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("Password"), this), row, 0);
    grid->addWidget(m_password = Named(new QLineEdit(this), PROFILE_GENERAL_PASSWORD), row++, 1, 1, 2);
    m_password->setEchoMode(QLineEdit::Password);
    grid->addWidget(new QLabel(QStringLiteral("Domain"), this), row, 0);
    grid->addWidget(m_domain = Named(new QLineEdit(this), PROFILE_GENERAL_DOMAIN), row++, 1, 1, 2);
    grid->addWidget(m_autoDisconnect = Named(new QCheckBox(QStringLiteral("Auto disconnect after"), this),
                                             PROFILE_GENERAL_AUTO_DISCONNECT),
                    row, 0);
    grid->addWidget(m_after = Named(new QLineEdit(this), PROFILE_GENERAL_DISCONNECT_AFTER), row, 1);
    grid->addWidget(new QLabel(QStringLiteral("seconds of inactivity"), this), row++, 2);
    grid->addWidget(new QLabel(QStringLiteral("Try to connect"), this), row, 0);
    grid->addWidget(m_retries = Named(new QLineEdit(this), PROFILE_GENERAL_RETRIES), row, 1);
    grid->addWidget(new QLabel(QStringLiteral("times"), this), row++, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(row, 1);
    connect(m_autoDisconnect, &QCheckBox::toggled, this, [this](bool on) {
      m_logic.autoDisconnect = on;
      ApplyStates(this, m_logic.States());
    });
  }
  void LoadControls() override {
    m_name->setText(Q(m_logic.name));
    m_entry->setCurrentText(Q(m_logic.entry));
    m_user->setText(Q(m_logic.username));
    m_password->setText(Q(m_logic.password));
    m_domain->setText(Q(m_logic.domain));
    m_autoConnect->setChecked(m_logic.autoConnect);
    m_autoDisconnect->setChecked(m_logic.autoDisconnect);
    m_after->setText(QString::number(m_logic.disconnectAfter));
    m_retries->setText(QString::number(m_logic.retries));
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    FieldError error;
    if (!m_logic.ReadNumbers(S(m_after->text()), S(m_retries->text()), &error)) {
      ShowFieldError(this, error, m_prompter);
      return false;
    }
    m_logic.name = S(m_name->text());
    m_logic.entry = S(m_entry->currentText());
    m_logic.username = S(m_user->text());
    m_logic.password = S(m_password->text());
    m_logic.domain = S(m_domain->text());
    m_logic.autoConnect = m_autoConnect->isChecked();
    m_logic.autoDisconnect = m_autoDisconnect->isChecked();
    return true;
  }

 private:
  ProfileGeneralPage& m_logic;
  Prompter& m_prompter;
  QLineEdit *m_name, *m_user, *m_password, *m_domain, *m_after, *m_retries;
  QComboBox* m_entry;
  QCheckBox *m_autoConnect, *m_autoDisconnect;
};

class AccessWidget : public TabPage {
 public:
  AccessWidget(ProfileAccessPage& logic, RecipientDialogs* dialogs, DialerImages images)
      : TabPage(QStringLiteral("Access")), m_logic(logic), m_dialogs(dialogs), m_images(std::move(images)) {
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Right"), this));
    top->addWidget(m_right = Named(new QComboBox(this), PROFILE_ACCESS_RIGHT), 1);
    layout->addLayout(top);
    layout->addWidget(new QLabel(QStringLiteral("Is granted to:"), this));
    layout->addWidget(m_list = ListView(PROFILE_ACCESS_LIST, {{"Recipient", 90}, {"Rights", 170}}, this), 1);
    // Add and Remove under the list on the left, as on every list of a right's recipients.
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_add = Button(PROFILE_ACCESS_ADD, "&Add", this));
    buttons->addWidget(Button(PROFILE_ACCESS_REMOVE, "&Remove", this));
    buttons->addStretch(1);
    layout->addLayout(buttons);
    connect(m_add, &QPushButton::clicked, this, [this] {
      if (m_dialogs && m_logic.Add(*m_dialogs)) Refill();
    });
    connect(static_cast<QPushButton*>(FindControl(this, PROFILE_ACCESS_REMOVE)), &QPushButton::clicked, this, [this] {
      if (!m_logic.selected) return;
      m_logic.Remove(*m_logic.selected);
      Refill();
    });
    connect(m_list, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
      const int row = item ? m_list->indexOfTopLevelItem(item) : -1;
      if (row >= 0)
        m_logic.selected = static_cast<size_t>(row);
      else
        m_logic.selected.reset();
      States();
    });
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
      const int row = m_list->indexOfTopLevelItem(item);
      if (m_dialogs && row >= 0 && m_logic.Edit(static_cast<size_t>(row), *m_dialogs)) Refill();
    });
  }
  void LoadControls() override {
    m_right->clear();
    m_right->addItem(Q(m_logic.RightName()));
    Refill();
  }

 private:
  void Refill() {
    m_list->clear();
    for (const auto& r : m_logic.Rows()) {
      auto* item = new QTreeWidgetItem(m_list, {Q(r.recipient), Q(r.rights)});
      item->setIcon(0, Picture(m_images, r.image));
    }
    m_logic.selected.reset();
    States();
  }
  void States() {
    ApplyStates(this, m_logic.States());
    // The recipient sheet is opened through the console's recipient dialogs; without them the
    // page can list and remove, not add.
    m_add->setEnabled(m_dialogs != nullptr);
  }

  ProfileAccessPage& m_logic;
  RecipientDialogs* m_dialogs;
  DialerImages m_images;
  QComboBox* m_right;
  QTreeWidget* m_list;
  QPushButton* m_add;
};

}  // namespace

// ---- The dialer sheet's pages ---------------------------------------------------------------------

class PhonebookWidget : public TabPage {
 public:
  PhonebookWidget(DialerSheetDialog& dialog, DialerImages images)
      : TabPage(QStringLiteral("Phonebook")), m_dialog(dialog), m_logic(dialog.Logic()), m_images(std::move(images)) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(
        m_list = ListView(DIALER_PHONEBOOK_LIST, {{"Profile", 100}, {"Description", 170}, {"Status", 110}}, this), 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Button(DIALER_PHONEBOOK_ADD, "&Add", this));
    buttons->addWidget(Button(DIALER_PHONEBOOK_REMOVE, "R&emove", this));
    buttons->addStretch(1);
    buttons->addWidget(Button(DIALER_PHONEBOOK_DIAL, "&Dial", this));
    buttons->addWidget(Button(DIALER_PHONEBOOK_RESET, "&Reset", this));
    layout->addLayout(buttons);
    auto clicked = [this](int id, auto fn) {
      connect(static_cast<QPushButton*>(FindControl(this, id)), &QPushButton::clicked, this, fn);
    };
    clicked(DIALER_PHONEBOOK_ADD, [this] { m_dialog.AddProfile(); });
    clicked(DIALER_PHONEBOOK_REMOVE, [this] {
      if (!m_logic.phonebook.selected) return;
      m_logic.phonebook.Remove(*m_logic.phonebook.selected);
      Refill();
    });
    clicked(DIALER_PHONEBOOK_DIAL, [this] { m_logic.Dial(); });
    clicked(DIALER_PHONEBOOK_RESET, [this] { m_logic.Reset(); });
    connect(m_list, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
      const int row = item ? m_list->indexOfTopLevelItem(item) : -1;
      if (row >= 0)
        m_logic.phonebook.selected = static_cast<size_t>(row);
      else
        m_logic.phonebook.selected.reset();
      States();
    });
    connect(m_list, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { m_dialog.EditProfile(m_list->indexOfTopLevelItem(item)); });
  }
  void LoadControls() override { Refill(); }
  void Refill() {
    // The selection is kept by name: rows are matched by name, never by position or object.
    const auto before = m_logic.phonebook.Rows();
    const QString selectedName = m_logic.phonebook.selected && *m_logic.phonebook.selected < before.size()
                                     ? Q(before[*m_logic.phonebook.selected].name)
                                     : QString();
    m_list->blockSignals(true);
    m_list->clear();
    m_logic.phonebook.selected.reset();
    const auto rows = m_logic.phonebook.Rows();
    for (size_t i = 0; i < rows.size(); ++i) {
      auto* item = new QTreeWidgetItem(m_list, {Q(rows[i].name), Q(rows[i].description), Q(rows[i].status)});
      item->setIcon(0, Picture(m_images, 7));
      if (!selectedName.isEmpty() && item->text(0) == selectedName) {
        m_list->setCurrentItem(item);
        m_logic.phonebook.selected = i;
      }
    }
    m_list->blockSignals(false);
    // The set widths, widened to show every text whole; the status takes the rest.
    const int widths[] = {100, 170};
    for (int c = 0; c < 2; ++c) {
      m_list->resizeColumnToContents(c);
      m_list->setColumnWidth(c, std::max(widths[c], m_list->columnWidth(c) + 8));
    }
    States();
  }
  void SetStatus(const QString& name, const QString& text) {
    for (int i = 0; i < m_list->topLevelItemCount(); ++i)
      if (m_list->topLevelItem(i)->text(0) == name) m_list->topLevelItem(i)->setText(2, text);
  }
  void States() {
    m_logic.phonebook.online = m_logic.Client().IsOnline();
    ApplyStates(this, m_logic.phonebook.States());
  }

 private:
  DialerSheetDialog& m_dialog;
  DialerSheet& m_logic;
  DialerImages m_images;
  QTreeWidget* m_list;
};

class LocalSitesWidget : public TabPage {
 public:
  explicit LocalSitesWidget(LocalSitesPage& logic) : TabPage(QStringLiteral("Local sites")), m_logic(logic) {
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(QString::fromLatin1(kTextLocalSites), this);
    text->setWordWrap(true);
    layout->addWidget(text);
    layout->addWidget(m_list = Named(new QListWidget(this), DIALER_SITES_LIST), 1);
    auto* row = new QHBoxLayout;
    row->addWidget(m_edit = Named(new QLineEdit(this), DIALER_SITES_EDIT), 1);
    auto* add = Button(DIALER_SITES_ADD, "&Add", this);
    auto* remove = Button(DIALER_SITES_REMOVE, "R&emove", this);
    row->addWidget(add);
    row->addWidget(remove);
    layout->addLayout(row);
    connect(m_edit, &QLineEdit::textChanged, this, [this](const QString& t) {
      m_logic.edit = S(t);
      ApplyStates(this, m_logic.States());
    });
    connect(add, &QPushButton::clicked, this, [this] {
      m_logic.edit = S(m_edit->text());
      if (m_logic.Add()) Refill();
    });
    connect(remove, &QPushButton::clicked, this, [this] {
      const int r = m_list->currentRow();
      if (r < 0) return;
      m_logic.Remove(static_cast<size_t>(r));
      Refill();
    });
    connect(m_list, &QListWidget::currentRowChanged, this, [this](int r) {
      if (r >= 0)
        m_logic.selected = static_cast<size_t>(r);
      else
        m_logic.selected.reset();
      ApplyStates(this, m_logic.States());
    });
  }
  void LoadControls() override { Refill(); }
  bool StoreControls() override {
    m_logic.edit = S(m_edit->text());
    return true;
  }
  void Refill() {
    m_list->blockSignals(true);
    m_list->clear();
    for (const CString& s : m_logic.sites) m_list->addItem(Q(s));
    m_list->blockSignals(false);
    m_logic.selected.reset();
    {
      QSignalBlocker block(m_edit);
      m_edit->setText(Q(m_logic.edit));
    }
    ApplyStates(this, m_logic.States());
  }

 private:
  LocalSitesPage& m_logic;
  QListWidget* m_list;
  QLineEdit* m_edit;
};

class DialerSettingsWidget : public TabPage {
 public:
  DialerSettingsWidget(DialerSettingsPage& logic, Prompter& prompter)
      : TabPage(QStringLiteral("Settings")), m_logic(logic), m_prompter(prompter) {
    auto* layout = new QVBoxLayout(this);
    auto* logging = new QGroupBox(QStringLiteral("Logging"), this);
    auto* lg = new QVBoxLayout(logging);
    m_group = new QButtonGroup(this);
    auto* off = Named(new QRadioButton(QStringLiteral("No logging"), logging), DIALER_SETTINGS_NO_LOGGING);
    auto* on = Named(new QRadioButton(QStringLiteral("Log these events"), logging), DIALER_SETTINGS_LOGGING);
    m_group->addButton(off, 0);
    m_group->addButton(on, 1);
    lg->addWidget(off);
    lg->addWidget(on);
    auto* checks = new QVBoxLayout;
    checks->setContentsMargins(20, 0, 0, 0);
    checks->addWidget(
        m_dial = Named(new QCheckBox(QStringLiteral("Dialing / hanging up"), logging), DIALER_SETTINGS_LOG_DIAL));
    checks->addWidget(m_debug = Named(new QCheckBox(QStringLiteral("Debug"), logging), DIALER_SETTINGS_LOG_DEBUG));
    lg->addLayout(checks);
    layout->addWidget(logging);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Online status check update interval (sec)"), this), 0, 0);
    grid->addWidget(m_timer = Named(new QLineEdit(this), DIALER_SETTINGS_TIMER), 0, 1);
    grid->addWidget(
        m_sync = Named(new QCheckBox(QStringLiteral("Use Synchronous Rasdial call"), this), DIALER_SETTINGS_SYNC), 1, 0,
        1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Abort dial attempt if not completed within"), this), 2, 0);
    grid->addWidget(m_timeout = Named(new QLineEdit(this), DIALER_SETTINGS_RASDIAL_TIMEOUT), 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("milliseconds"), this), 2, 2);
    grid->addWidget(new QLabel(QStringLiteral("Wait"), this), 3, 0, Qt::AlignRight);
    grid->addWidget(m_wait = Named(new QLineEdit(this), DIALER_SETTINGS_RETRY_WAIT), 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("milliseconds between redial attempts"), this), 3, 2);
    // Wide enough for the largest value a field takes (ten digits).
    const int digits = m_timeout->fontMetrics().horizontalAdvance(QStringLiteral("0000000000")) + 16;
    for (QLineEdit* e : {m_timer, m_timeout, m_wait}) e->setFixedWidth(digits);
    grid->setColumnStretch(3, 1);
    layout->addLayout(grid);
    layout->addStretch(1);
    connect(m_group, &QButtonGroup::idClicked, this, [this](int v) {
      m_logic.loggingEnabled = v == 1;
      ApplyStates(this, m_logic.States());
    });
  }
  void LoadControls() override {
    m_group->button(m_logic.loggingEnabled ? 1 : 0)->setChecked(true);
    m_dial->setChecked(m_logic.logDialing);
    m_debug->setChecked(m_logic.logDebug);
    m_timer->setText(QString::number(m_logic.timerInterval));
    m_sync->setChecked(m_logic.synchronous);
    m_timeout->setText(QString::number(m_logic.rasdialTimeout));
    m_wait->setText(QString::number(m_logic.timeBetweenRetries));
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    FieldError error;
    if (!m_logic.ReadNumbers(S(m_timer->text()), S(m_timeout->text()), S(m_wait->text()), &error)) {
      ShowFieldError(this, error, m_prompter);
      return false;
    }
    m_logic.loggingEnabled = m_group->checkedId() == 1;
    // Only the radio decides whether the log is written: the checks keep what they show.
    m_logic.logDialing = m_dial->isChecked();
    m_logic.logDebug = m_debug->isChecked();
    m_logic.synchronous = m_sync->isChecked();
    return true;
  }

 private:
  DialerSettingsPage& m_logic;
  Prompter& m_prompter;
  QButtonGroup* m_group;
  QCheckBox *m_dial, *m_debug, *m_sync;
  QLineEdit *m_timer, *m_timeout, *m_wait;
};

// ---- Edit Profile -----------------------------------------------------------------------------------

EditProfileDialog::EditProfileDialog(std::unique_ptr<EditProfileSheet> logic, Prompter& prompter,
                                     RecipientDialogs* dialogs, DialerImages images, QWidget* parent)
    : SheetDialog(QString(), parent), m_logic(std::move(logic)), m_prompter(prompter) {
  setObjectName("EditProfileSheet");
  setWindowTitle(Q(m_logic->Title()));
  setWindowIcon(Picture(images, 7));
  Sheet()->AddPage(new GeneralWidget(m_logic->general, m_logic->Context(), prompter));
  Sheet()->AddPage(new AccessWidget(m_logic->access, dialogs, std::move(images)));
}

void EditProfileDialog::accept() {
  if (!Sheet()->Accept()) return;
  int refused = -1;
  m_result = m_logic->Ok(m_prompter, &refused);
  if (!m_result) {
    if (refused >= 0 && refused != Sheet()->ActiveIndex()) Sheet()->SetActivePage(refused);
    return;
  }
  QDialog::accept();
}

// ---- The dialer sheet -------------------------------------------------------------------------------

DialerSheetDialog::DialerSheetDialog(CLookoutClient& client, Prompter& prompter, RecipientDialogs* dialogs,
                                     DialerImages images, QWidget* parent)
    : QDialog(parent),
      m_logic(client),
      m_prompter(prompter),
      m_dialogs(dialogs),
      m_images(std::move(images)),
      m_sheet(new TabSheet(this)) {
  setObjectName("DialerSheet");
  setWindowTitle(QString::fromLatin1(kTitleDialerSheet));
  setWindowIcon(Picture(m_images, 7));
  m_sheet->AddPage(m_phonebook = new PhonebookWidget(*this, m_images));
  m_sheet->AddPage(m_sites = new LocalSitesWidget(m_logic.localSites));
  m_sheet->AddPage(m_settings = new DialerSettingsWidget(m_logic.settings, prompter));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_sheet, 1);
  layout->addLayout(OkCancelRow(this, "&Apply", "ID_APPLY_NOW", [this] { ApplyChanges(); }));
  resize(560, 400);
}

void DialerSheetDialog::RefreshPages() {
  m_phonebook->Refill();
  m_sites->Refill();
  if (TabPage* shown = m_sheet->GetPage(m_sheet->ActiveIndex())) shown->LoadControls();
}

bool DialerSheetDialog::ApplyChanges() {
  if (!m_sheet->Accept()) return false;
  const int result = m_logic.Commit(m_prompter);
  if (result < 0) return false;
  if (result < m_sheet->PageCount()) {
    if (result != m_sheet->ActiveIndex()) m_sheet->SetActivePage(result);
    return false;
  }
  RefreshPages();
  return true;
}

void DialerSheetDialog::accept() {
  if (ApplyChanges()) QDialog::accept();
}

void DialerSheetDialog::DialerUpdate(const ViewEvent& event) {
  if (event.code == RC_NOTIFY_DIALER_CHANGED) {
    // The shown page keeps what the operator typed: it stores before the lists are refilled.
    if (TabPage* shown = m_sheet->GetPage(m_sheet->ActiveIndex()); shown == m_sites) m_sites->StoreControls();
    m_logic.DialerChanged();
    m_phonebook->Refill();
    m_sites->Refill();
  } else if (event.code == RC_NOTIFY_DIALER_PROFILE) {
    if (m_logic.ProfileStatus(event.name, event.text)) m_phonebook->SetStatus(Q(event.name), Q(event.text));
  }
}

void DialerSheetDialog::OnlineChanged() { m_phonebook->States(); }

bool DialerSheetDialog::AddProfile() {
  EditProfileDialog dlg(m_logic.NewProfileSheet(), m_prompter, m_dialogs, m_images, this);
  if (runProfileSheet(dlg) != QDialog::Accepted || !dlg.Result()) return false;
  m_logic.phonebook.Put(dlg.Result());
  m_phonebook->Refill();
  return true;
}

bool DialerSheetDialog::EditProfile(int row) {
  if (row < 0) return false;
  auto sheet = m_logic.EditSheet(static_cast<size_t>(row));
  if (!sheet) return false;
  EditProfileDialog dlg(std::move(sheet), m_prompter, m_dialogs, m_images, this);
  if (runProfileSheet(dlg) != QDialog::Accepted || !dlg.Result()) return false;
  m_logic.phonebook.Put(dlg.Result());
  m_phonebook->Refill();
  return true;
}
