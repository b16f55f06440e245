#include "console/dialogs/access/user_sheets.h"

#include <QApplication>
#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/model/list_images.h"
#include "console/model/tree_images.h"

namespace {

QTreeWidget* List(int id, const QStringList& columns, const std::vector<int>& widths, QWidget* parent) {
  auto* t = Named(new QTreeWidget(parent), id);
  t->setRootIsDecorated(false);
  t->setHeaderLabels(columns);
  for (size_t i = 0; i < widths.size(); ++i) t->setColumnWidth(static_cast<int>(i), widths[i]);
  t->setSelectionMode(QAbstractItemView::SingleSelection);
  return t;
}

// Columns keep their given widths unless an entry needs more: names are never cut short.
void FitColumns(QTreeWidget* list, const std::vector<int>& widths) {
  for (size_t i = 0; i < widths.size(); ++i) {
    const int c = static_cast<int>(i);
    list->resizeColumnToContents(c);
    list->setColumnWidth(c, std::max(widths[i], list->columnWidth(c) + 8));
  }
}

// ---- User Info ------------------------------------------------------------------------------------

class UserInfoWidget : public TabPage {
 public:
  explicit UserInfoWidget(UserInfoPage& logic) : TabPage(QStringLiteral("User Info")), m_logic(logic) {
    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("Username:"), m_name = Edit(UserInfoPage::NAME, this));
    form->addRow(QStringLiteral("Real name:"), m_realName = Edit(UserInfoPage::REAL_NAME, this));
    form->addRow(QStringLiteral("Password:"), m_password = Edit(UserInfoPage::PASSWORD, this, true));
    form->addRow(QStringLiteral("Confirm:"), m_confirm = Edit(UserInfoPage::CONFIRM, this, true));
    form->addRow(QStringLiteral("Description:"), m_description = Edit(UserInfoPage::DESCRIPTION, this));
    m_enabled = Named(new QCheckBox(QStringLiteral("Account enabled"), this), UserInfoPage::ACCOUNT_ENABLED);
    m_cannot = Named(new QCheckBox(QStringLiteral("User cannot change password"), this), UserInfoPage::CANNOT_CHANGE);
    m_must =
        Named(new QCheckBox(QStringLiteral("User must change password next logon"), this), UserInfoPage::MUST_CHANGE);
    for (QCheckBox* c : {m_enabled, m_cannot, m_must}) form->addRow(c);
    for (QCheckBox* c : {m_cannot, m_must})
      connect(c, &QCheckBox::toggled, this, [this] {
        m_logic.cannotChange = m_cannot->isChecked();
        m_logic.mustChange = m_must->isChecked();
        ApplyStates(this, m_logic.States());
      });
  }
  void LoadControls() override {
    m_name->setText(Q(m_logic.name));
    m_realName->setText(Q(m_logic.realName));
    m_password->setText(Q(m_logic.password));
    m_confirm->setText(Q(m_logic.confirm));
    m_description->setText(Q(m_logic.description));
    m_enabled->setChecked(m_logic.accountEnabled);
    m_cannot->setChecked(m_logic.cannotChange);
    m_must->setChecked(m_logic.mustChange);
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    m_logic.name = S(m_name->text());
    m_logic.realName = S(m_realName->text());
    m_logic.password = S(m_password->text());
    m_logic.confirm = S(m_confirm->text());
    m_logic.description = S(m_description->text());
    m_logic.accountEnabled = m_enabled->isChecked();
    m_logic.cannotChange = m_cannot->isChecked();
    m_logic.mustChange = m_must->isChecked();
    return true;
  }

 private:
  UserInfoPage& m_logic;
  QLineEdit *m_name, *m_realName, *m_password, *m_confirm, *m_description;
  QCheckBox *m_enabled, *m_cannot, *m_must;
};

// ---- Groups ---------------------------------------------------------------------------------------

class GroupsWidget : public TabPage {
 public:
  explicit GroupsWidget(UserGroupsPage& logic) : TabPage(QStringLiteral("Groups")), m_logic(logic) {
    auto* layout = new QVBoxLayout(this);
    const QStringList cols{QStringLiteral("Group"), QStringLiteral("Description")};
    layout->addWidget(new QLabel(QStringLiteral("Is a member of:"), this));
    layout->addWidget(m_member = List(UserGroupsPage::MEMBER_OF, cols, {90, 190}, this));
    layout->addWidget(new QLabel(QStringLiteral("Is not a member of:"), this));
    layout->addWidget(m_other = List(UserGroupsPage::NOT_MEMBER_OF, cols, {90, 190}, this));
    connect(m_member, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
      m_logic.Move(true, static_cast<size_t>(m_member->indexOfTopLevelItem(item)));
      LoadControls();
    });
    connect(m_other, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
      m_logic.Move(false, static_cast<size_t>(m_other->indexOfTopLevelItem(item)));
      LoadControls();
    });
  }
  void LoadControls() override {
    for (auto [list, rows] : {std::pair{m_member, &m_logic.memberOf}, std::pair{m_other, &m_logic.notMemberOf}}) {
      list->clear();
      for (const GroupRow& r : *rows) new QTreeWidgetItem(list, {Q(r.name), Q(r.description)});
      FitColumns(list, {90, 190});
    }
  }

 private:
  UserGroupsPage& m_logic;
  QTreeWidget *m_member, *m_other;
};

// ---- Accounting -----------------------------------------------------------------------------------

class AccountingWidget : public TabPage {
 public:
  AccountingWidget(AccountingPage& logic, Prompter& prompter)
      : TabPage(QStringLiteral("Accounting")), m_logic(logic), m_prompter(prompter) {
    auto* grid = new QGridLayout(this);
    const char* labels[] = {"Bytes sent to client", "Bytes recved from client", "Bytes sent for client",
                            "Bytes recved for client", "Seconds on line"};
    grid->addWidget(new QLabel(QStringLiteral("Quantity"), this), 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Rate"), this), 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("Subtotal"), this), 0, 3);
    for (int i = 0; i < AccountingPage::kRows; ++i) {
      grid->addWidget(new QLabel(QString::fromLatin1(labels[i]), this), i + 1, 0);
      grid->addWidget(m_quantity[i] = Edit(AccountingPage::kQuantity[i], this), i + 1, 1);
      grid->addWidget(m_rate[i] = Edit(AccountingPage::kRate[i], this), i + 1, 2);
      grid->addWidget(m_subtotal[i] = Edit(AccountingPage::kSubtotal[i], this), i + 1, 3);
      m_subtotal[i]->setReadOnly(true);
    }
    const int r = AccountingPage::kRows + 1;
    grid->addWidget(new QLabel(QStringLiteral("Total Charges"), this), r, 2);
    grid->addWidget(m_total = Edit(AccountingPage::TOTAL, this), r, 3);
    grid->addWidget(new QLabel(QStringLiteral("Opening Balance"), this), r + 1, 0);
    grid->addWidget(m_opening = Edit(AccountingPage::OPENING, this), r + 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Closing Balance"), this), r + 1, 2);
    grid->addWidget(m_closing = Edit(AccountingPage::CLOSING, this), r + 1, 3);
    m_total->setReadOnly(true);
    m_closing->setReadOnly(true);
    auto* reset = Named(new QPushButton(QStringLiteral("&Reset"), this), AccountingPage::RESET);
    reset->setAutoDefault(false);
    grid->addWidget(reset, r + 2, 3);
    // Spare height goes below the figures, never between their rows.
    grid->setRowStretch(r + 3, 1);
    connect(reset, &QPushButton::clicked, this, [this] {
      m_logic.Reset();
      LoadControls();
    });
    for (QLineEdit* e : m_quantity) connect(e, &QLineEdit::editingFinished, this, [this] { Recompute(); });
    for (QLineEdit* e : m_rate) connect(e, &QLineEdit::editingFinished, this, [this] { Recompute(); });
    connect(m_opening, &QLineEdit::editingFinished, this, [this] { Recompute(); });
  }
  void LoadControls() override {
    for (int i = 0; i < AccountingPage::kRows; ++i) {
      m_quantity[i]->setText(QString::number(m_logic.quantity[i]));
      m_rate[i]->setText(Q(m_logic.rate[i].Format()));
      m_subtotal[i]->setText(Q(m_logic.subtotal[i].Format()));
    }
    m_total->setText(Q(m_logic.total.Format()));
    m_opening->setText(Q(m_logic.opening.Format()));
    m_closing->setText(Q(m_logic.closing.Format()));
  }
  bool StoreControls() override {
    FieldError error;
    for (int i = 0; i < AccountingPage::kRows; ++i) {
      uint64_t q = 0;
      CCurrency rate;
      if (!ReadUnsigned(S(m_quantity[i]->text()), AccountingPage::kQuantity[i], 0, 0xFFFFFFFFu, &q, &error) ||
          !ReadCurrency(S(m_rate[i]->text()), AccountingPage::kRate[i], &rate, &error)) {
        ShowFieldError(this, error, m_prompter);
        return false;
      }
      m_logic.quantity[i] = q;
      m_logic.rate[i] = rate;
    }
    if (!ReadCurrency(S(m_opening->text()), AccountingPage::OPENING, &m_logic.opening, &error)) {
      ShowFieldError(this, error, m_prompter);
      return false;
    }
    m_logic.Recompute();
    return true;
  }

 private:
  void Recompute() {
    // Figures that do not parse yet are left for the page's own check when it is left.
    QSignalBlocker block(this);
    AccountingPage saved = m_logic;
    FieldError error;
    bool ok = true;
    for (int i = 0; ok && i < AccountingPage::kRows; ++i) {
      uint64_t q = 0;
      ok = ReadUnsigned(S(m_quantity[i]->text()), 0, 0, 0xFFFFFFFFu, &q, &error) &&
           ReadCurrency(S(m_rate[i]->text()), 0, &m_logic.rate[i], &error);
      if (ok) m_logic.quantity[i] = q;
    }
    ok = ok && ReadCurrency(S(m_opening->text()), 0, &m_logic.opening, &error);
    if (!ok) {
      m_logic = saved;
      return;
    }
    m_logic.Recompute();
    for (int i = 0; i < AccountingPage::kRows; ++i) m_subtotal[i]->setText(Q(m_logic.subtotal[i].Format()));
    m_total->setText(Q(m_logic.total.Format()));
    m_closing->setText(Q(m_logic.closing.Format()));
  }
  AccountingPage& m_logic;
  Prompter& m_prompter;
  QLineEdit* m_quantity[AccountingPage::kRows];
  QLineEdit* m_rate[AccountingPage::kRows];
  QLineEdit* m_subtotal[AccountingPage::kRows];
  QLineEdit *m_total, *m_opening, *m_closing;
};

// ---- Auditing -------------------------------------------------------------------------------------

class AuditingWidget : public TabPage {
 public:
  explicit AuditingWidget(AuditingPage& logic) : TabPage(QStringLiteral("Auditing")), m_logic(logic) {
    auto* layout = new QVBoxLayout(this);
    m_off = Named(new QRadioButton(QStringLiteral("Do not audit user"), this), AuditingPage::DO_NOT_AUDIT);
    m_on = Named(new QRadioButton(QStringLiteral("Audit these events"), this), AuditingPage::AUDIT);
    layout->addWidget(m_off);
    layout->addWidget(m_on);
    auto* box = new QGroupBox(this);
    auto* grid = new QGridLayout(box);
    const char* texts[] = {"User login",       "User logout",     "Configuration changes", "Authorisation failures",
                           "Session creation", "Request details", "Session traffic",       "Session termination"};
    int n = 0;
    for (const auto& [id, bit] : AuditingPage::kBits) {
      auto* c = Named(new QCheckBox(QString::fromLatin1(texts[n]), box), id);
      grid->addWidget(c, n % 4, n / 4);
      m_checks.push_back({c, bit});
      ++n;
    }
    layout->addWidget(box);
    layout->addStretch(1);
    connect(m_on, &QRadioButton::toggled, this, [this](bool on) {
      m_logic.audit = on;
      ApplyStates(this, m_logic.States());
    });
  }
  void LoadControls() override {
    (m_logic.audit ? m_on : m_off)->setChecked(true);
    for (auto [c, bit] : m_checks) c->setChecked((m_logic.options & bit) != 0);
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    m_logic.audit = m_on->isChecked();
    uint32_t known = 0, options = 0;
    for (auto [c, bit] : m_checks) {
      known |= bit;
      if (c->isChecked()) options |= bit;
    }
    // Bits without a check box keep their value.
    m_logic.options = (m_logic.options & ~known) | options;
    return true;
  }

 private:
  AuditingPage& m_logic;
  QRadioButton *m_off, *m_on;
  std::vector<std::pair<QCheckBox*, uint32_t>> m_checks;
};

}  // namespace

// ---- Confirm Password -----------------------------------------------------------------------------

ConfirmPasswordDialog::ConfirmPasswordDialog(const CString& typed, Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_prompter(prompter) {
  setWindowTitle(QStringLiteral("Confirm Password"));
  auto* form = new QFormLayout(this);
  form->addRow(QStringLiteral("Password:"), m_password = Edit(1001, this, true));
  form->addRow(QStringLiteral("Confirm Password:"), m_confirm = Edit(1024, this, true));
  m_password->setText(Q(typed));
  form->addRow(OkCancel(this, true));
  m_confirm->setFocus();
}

CString ConfirmPasswordDialog::Password() const { return S(m_password->text()); }

void ConfirmPasswordDialog::accept() {
  if (AcceptConfirmPassword(S(m_password->text()), S(m_confirm->text()), m_prompter)) QDialog::accept();
}

std::optional<CString> QtUserDialogs::ConfirmPassword(const CString& typed) {
  ConfirmPasswordDialog dlg(typed, m_prompter, m_parent);
  if (dlg.exec() != QDialog::Accepted) return std::nullopt;
  return dlg.Password();
}

// ---- Edit User ------------------------------------------------------------------------------------

EditUserDialog::EditUserDialog(CLookoutClient& client, const CString& userName, Prompter& prompter,
                               UserDialogs& dialogs, QWidget* parent)
    : SheetDialog(QString(), parent),
      m_logic(std::make_unique<EditUserSheet>(client, userName, dialogs)),
      m_prompter(prompter) {
  setObjectName("EditUserSheet");
  setWindowTitle(Q(m_logic->Title()));
  setWindowIcon(TreeImages()[LIST_IMAGE_USER]);
  Sheet()->AddPage(new UserInfoWidget(m_logic->info));
  Sheet()->AddPage(new GroupsWidget(m_logic->groups));
  Sheet()->AddPage(new AccountingWidget(m_logic->accounting, prompter));
  Sheet()->AddPage(new AuditingWidget(m_logic->auditing));
}

EditUserDialog::~EditUserDialog() = default;

void EditUserDialog::CountersChanged() {
  TabPage* page = Sheet()->GetPage(2);
  // Fields the operator is typing in stay as typed: the page's values are taken first.
  if (Sheet()->ActiveIndex() == 2 && !page->StoreControls()) return;
  m_logic->CountersChanged();
  if (Sheet()->ActiveIndex() == 2) page->LoadControls();
}

void EditUserDialog::accept() {
  // Every page's fields into its values (a field that does not parse keeps its page).
  if (!Sheet()->Accept()) return;
  const int refused = m_logic->Ok(m_prompter);
  if (refused >= 0) {
    Sheet()->ShowRefused(refused);
    return;
  }
  QDialog::accept();
}

// ---- Groups ---------------------------------------------------------------------------------------

GroupEditDialog::GroupEditDialog(CLookoutClient& client, const CString& groupName, Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_logic(client, groupName), m_prompter(prompter) {
  setObjectName(m_logic.Existing() ? "EditGroupDialog" : "NewGroupDialog");
  setWindowTitle(m_logic.Existing() ? QStringLiteral("Edit Group") : QStringLiteral("New Group"));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Group Name"), m_name = Edit(GroupDialog::NAME, this));
  form->addRow(QStringLiteral("Description"), m_description = Edit(GroupDialog::DESCRIPTION, this));
  layout->addLayout(form);
  const QStringList cols{QStringLiteral("User"), QStringLiteral("Real name"), QStringLiteral("Description")};
  auto* lists = new QGridLayout;
  lists->addWidget(new QLabel(QStringLiteral("Members:"), this), 0, 0);
  lists->addWidget(m_members = List(GroupDialog::MEMBERS, cols, {70, 100, 170}, this), 1, 0);
  auto* moves = new QVBoxLayout;
  auto* add = Named(new QPushButton(QStringLiteral("&Add"), this), GroupDialog::ADD);
  auto* remove = Named(new QPushButton(QStringLiteral("&Remove"), this), GroupDialog::REMOVE);
  moves->addStretch(1);
  moves->addWidget(add);
  moves->addWidget(remove);
  moves->addStretch(1);
  lists->addLayout(moves, 1, 1);
  lists->addWidget(new QLabel(QStringLiteral("Non-members:"), this), 0, 2);
  lists->addWidget(m_nonMembers = List(GroupDialog::NON_MEMBERS, cols, {70, 100, 170}, this), 1, 2);
  layout->addLayout(lists, 1);
  layout->addWidget(OkCancel(this, true));
  for (QPushButton* b : {add, remove}) b->setAutoDefault(false);
  connect(add, &QPushButton::clicked, this, [this] { MoveSelected(false); });
  connect(remove, &QPushButton::clicked, this, [this] { MoveSelected(true); });
  connect(m_members, &QTreeWidget::itemDoubleClicked, this, [this] { MoveSelected(true); });
  connect(m_nonMembers, &QTreeWidget::itemDoubleClicked, this, [this] { MoveSelected(false); });
  m_name->setText(Q(m_logic.name));
  m_description->setText(Q(m_logic.description));
  Fill();
  ApplyStates(this, m_logic.States());
  resize(sizeHint().expandedTo(QSize(900, 380)));
}

void GroupEditDialog::Fill() {
  for (auto [list, rows] : {std::pair{m_members, &m_logic.members}, std::pair{m_nonMembers, &m_logic.nonMembers}}) {
    list->clear();
    for (const UserRow& r : *rows) new QTreeWidgetItem(list, {Q(r.name), Q(r.realName), Q(r.description)});
    FitColumns(list, {70, 100, 170});
  }
}

void GroupEditDialog::MoveSelected(bool fromMembers) {
  QTreeWidget* list = fromMembers ? m_members : m_nonMembers;
  QTreeWidgetItem* item = list->currentItem();
  if (!item) return;
  m_logic.Move(fromMembers, static_cast<size_t>(list->indexOfTopLevelItem(item)));
  Fill();
}

void GroupEditDialog::accept() {
  m_logic.name = S(m_name->text());
  m_logic.description = S(m_description->text());
  if (m_logic.Ok(m_prompter)) QDialog::accept();
}
