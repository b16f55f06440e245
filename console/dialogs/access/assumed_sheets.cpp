#include "console/dialogs/access/assumed_sheets.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/model/tree_entry.h"
#include "console/model/tree_images.h"

namespace {

// The user list of both dialogs: the users only, the current one chosen (none when it is not a
// user any more, so OK asks for one).
QComboBox* UserList(const std::vector<CString>& users, const CString& current, QWidget* parent) {
  auto* combo = Named(new QComboBox(parent), NameLocationDialog::USER);
  combo->setEditable(false);
  for (const CString& u : users) combo->addItem(TreeImages()[IMAGE_USER], Q(u));
  combo->setCurrentIndex(combo->findText(Q(current)));
  return combo;
}

// Enter accepts here: OK stays the default button of these two small dialogs.
QWidget* AcceptingOkCancel(QDialog* d) { return OkCancel(d, true); }

// One page: the list (1277) with its two columns and the buttons beside it.
class AssumedPageWidget : public TabPage {
 public:
  AssumedPageWidget(const QString& title, const QString& firstColumn, std::vector<std::pair<int, QString>> buttons)
      : TabPage(title) {
    m_list = Named(new QTreeWidget(this), AssumedByNamePage::LIST);
    m_list->setRootIsDecorated(false);
    m_list->setHeaderLabels({firstColumn, QStringLiteral("is assumed to be")});
    m_list->setColumnWidth(0, 110);
    m_list->setColumnWidth(1, 110);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    auto* grid = new QGridLayout(this);
    grid->addWidget(m_list, 0, 0, static_cast<int>(buttons.size()) + 1, 1);
    int row = 0;
    for (const auto& [id, text] : buttons) {
      auto* b = Named(new QPushButton(text, this), id);
      b->setAutoDefault(false);
      grid->addWidget(b, row++, 1);
      connect(b, &QPushButton::clicked, this, [this, id = id] { Pressed(id); });
    }
    grid->setRowStretch(row, 1);
    connect(m_list, &QTreeWidget::currentItemChanged, this, [this] {
      if (!m_filling) Selected(m_list->currentIndex().row());
    });
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this] { DoubleClicked(m_list->currentIndex().row()); });
  }

 protected:
  virtual void Pressed(int id) = 0;
  virtual void Selected(int row) = 0;
  virtual void DoubleClicked(int row) = 0;

  void Fill(const std::vector<AssumedRow>& rows, int selected, const ControlStates& states) {
    m_filling = true;
    m_list->clear();
    for (const AssumedRow& r : rows) new QTreeWidgetItem(m_list, {Q(r.first), Q(r.user)});
    // Names are never cut short.
    for (int c = 0; c < 2; ++c) {
      m_list->resizeColumnToContents(c);
      m_list->setColumnWidth(c, std::max(110, m_list->columnWidth(c) + 8));
    }
    if (selected >= 0 && selected < m_list->topLevelItemCount()) m_list->setCurrentItem(m_list->topLevelItem(selected));
    m_filling = false;
    ApplyStates(this, states);
  }

  QTreeWidget* m_list;
  bool m_filling = false;
};

// What both pages do alike on their list: a row chosen updates the buttons, a double-click edits.
template <class Page>
class AssumedListWidget : public AssumedPageWidget {
 public:
  AssumedListWidget(const QString& title, const QString& firstColumn, std::vector<std::pair<int, QString>> buttons,
                    Page& logic, AssumedDialogs& dialogs)
      : AssumedPageWidget(title, firstColumn, std::move(buttons)), m_logic(logic), m_dialogs(dialogs) {}

 protected:
  void Selected(int row) override {
    m_logic.selected = row;
    ApplyStates(this, m_logic.States());
  }
  void DoubleClicked(int row) override {
    if (row >= 0 && m_logic.Edit(size_t(row), m_dialogs)) LoadControls();
  }

  Page& m_logic;
  AssumedDialogs& m_dialogs;
};

class ByNameWidget : public AssumedListWidget<AssumedByNamePage> {
 public:
  ByNameWidget(AssumedByNamePage& logic, AssumedDialogs& dialogs)
      : AssumedListWidget(QStringLiteral("By Name"), QStringLiteral("Computername"),
                          {{AssumedByNamePage::ADD, QStringLiteral("&Add...")},
                           {AssumedByNamePage::REMOVE, QStringLiteral("&Remove")}},
                          logic, dialogs) {}
  void LoadControls() override { Fill(m_logic.rows, m_logic.selected, m_logic.States()); }

 protected:
  void Pressed(int id) override {
    if (id == AssumedByNamePage::ADD) m_logic.Add(m_dialogs);
    if (id == AssumedByNamePage::REMOVE && m_logic.selected >= 0) m_logic.Remove(size_t(m_logic.selected));
    LoadControls();
  }
};

class ByIPWidget : public AssumedListWidget<AssumedByIPPage> {
 public:
  ByIPWidget(AssumedByIPPage& logic, AssumedDialogs& dialogs)
      : AssumedListWidget(QStringLiteral("By IP Address"), QStringLiteral("IP Address matching"),
                          {{AssumedByIPPage::ADD, QStringLiteral("&Add...")},
                           {AssumedByIPPage::REMOVE, QStringLiteral("&Remove")},
                           {AssumedByIPPage::UP, QStringLiteral("&Up")},
                           {AssumedByIPPage::DOWN, QStringLiteral("&Down")}},
                          logic, dialogs) {}
  void LoadControls() override { Fill(m_logic.Rows(), m_logic.selected, m_logic.States()); }

 protected:
  void Pressed(int id) override {
    const int row = m_logic.selected;
    if (id == AssumedByIPPage::ADD) m_logic.Add(m_dialogs);
    if (row >= 0) {
      if (id == AssumedByIPPage::REMOVE) m_logic.Remove(size_t(row));
      if (id == AssumedByIPPage::UP) m_logic.Up(size_t(row));
      if (id == AssumedByIPPage::DOWN) m_logic.Down(size_t(row));
    }
    LoadControls();
  }
};

}  // namespace

// ---- Dialogs --------------------------------------------------------------------------------------

NameLocationQtDialog::NameLocationQtDialog(NameLocationDialog& logic, Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_logic(logic), m_prompter(prompter) {
  setObjectName("NameLocationDialog");
  setWindowTitle(QStringLiteral("Assumed User by Name"));
  auto* form = new QFormLayout;
  m_machine = Named(new QLineEdit(Q(logic.machine), this), NameLocationDialog::MACHINE);
  m_user = UserList(logic.Users(), logic.user, this);
  form->addRow(QStringLiteral("&Machine name:"), m_machine);
  form->addRow(QStringLiteral("&Is assumed to be:"), m_user);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(AcceptingOkCancel(this));
  setMinimumWidth(320);
}

void NameLocationQtDialog::accept() {
  m_logic.machine = S(m_machine->text().trimmed());
  m_logic.user = S(m_user->currentText());
  if (!m_logic.Validate(m_prompter)) {
    m_machine->setFocus();
    return;
  }
  QDialog::accept();
}

LocationRuleQtDialog::LocationRuleQtDialog(LocationRuleDialog& logic, CLocation& location, Prompter& prompter,
                                           QWidget* parent)
    : QDialog(parent), m_logic(logic), m_location(location), m_prompter(prompter) {
  setObjectName("LocationRuleDialog");
  setWindowTitle(QStringLiteral("Location Rule"));
  setWindowIcon(TreeImages()[IMAGE_MACHINE]);
  auto* form = new QFormLayout;
  m_pattern = Named(new QLineEdit(Q(logic.pattern), this), LocationRuleDialog::PATTERN);
  m_pattern->setPlaceholderText(QStringLiteral("for example 192.168.1.*"));
  m_user = UserList(logic.Users(), logic.user, this);
  form->addRow(QStringLiteral("IP Address &matching:"), m_pattern);
  form->addRow(QStringLiteral("&Is assumed to be:"), m_user);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(AcceptingOkCancel(this));
  setMinimumWidth(320);
}

void LocationRuleQtDialog::accept() {
  m_logic.pattern = S(m_pattern->text().trimmed());
  m_logic.user = S(m_user->currentText());
  if (!m_logic.Ok(m_prompter, m_location)) {
    m_pattern->setFocus();
    return;
  }
  QDialog::accept();
}

bool QtAssumedDialogs::EditNameLocation(NameLocationDialog& dialog) {
  NameLocationQtDialog d(dialog, m_prompter, m_parent);
  return d.exec() == QDialog::Accepted;
}

bool QtAssumedDialogs::EditLocationRule(LocationRuleDialog& dialog, CLocation& location) {
  LocationRuleQtDialog d(dialog, location, m_prompter, m_parent);
  return d.exec() == QDialog::Accepted;
}

// ---- Sheet --------------------------------------------------------------------------------------

AssumedUsersDialog::AssumedUsersDialog(CLookoutClient& client, Prompter& prompter, AssumedDialogs* dialogs,
                                       QWidget* parent)
    : SheetDialog(QString::fromLatin1(kTitleAssumedUsers), parent), m_logic(client), m_prompter(prompter) {
  setObjectName("AssumedUsersSheet");
  setWindowIcon(TreeImages()[IMAGE_ASSUMED]);
  if (!dialogs) {
    m_ownDialogs = std::make_unique<QtAssumedDialogs>(prompter, this);
    dialogs = m_ownDialogs.get();
  }
  Sheet()->AddPage(new ByNameWidget(m_logic.byName, *dialogs));
  Sheet()->AddPage(new ByIPWidget(m_logic.byIP, *dialogs));
  resize(440, 300);
}

AssumedUsersDialog::~AssumedUsersDialog() = default;

void AssumedUsersDialog::accept() {
  if (!Sheet()->Accept()) return;
  const int refused = m_logic.Ok(m_prompter);
  if (refused >= 0) {
    // The refused row is selected on its page.
    Sheet()->ShowRefused(refused);
    return;
  }
  QDialog::accept();
}
