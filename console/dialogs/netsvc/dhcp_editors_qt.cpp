#include "console/dialogs/netsvc/dhcp_editors_qt.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <map>
#include <memory>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/common/list_images.h"
#include "console/shell/tree_images.h"

namespace {

// A refusal from a dialog's checks: a field error goes to its field, the rest was said already.
void Refused(QWidget* dlg, const FieldError& error, Prompter& prompter) {
  if (error.control != 0) ShowFieldError(dlg, error, prompter);
}

std::optional<size_t> Row(const QListWidget* list) {
  const int row = list->currentRow();
  return row < 0 ? std::nullopt : std::optional<size_t>(static_cast<size_t>(row));
}

}  // namespace

// ---- Sub-dialogs ---------------------------------------------------------------------------------

bool QtDHCPDialogs::EditOption(CDHCPOption& option) {
  DHCPOptionEditorDialog dlg(option, m_prompter, m_parent);
  if (dlg.exec() != QDialog::Accepted) return false;
  dlg.Logic().Apply(option);
  return true;
}

bool QtDHCPDialogs::EditOptions(CDHCPOptionsContainer& options) {
  CDHCPOptionsContainer copy(options);
  DHCPOptionsDialog dlg(copy, m_prompter, m_parent);
  if (dlg.exec() != QDialog::Accepted) return false;
  options.CopyFrom(copy);
  return true;
}

bool QtDHCPDialogs::EditScope(CDHCPScope& scope) {
  ScopeDialog dlg(scope, m_prompter, m_parent);
  if (dlg.exec() != QDialog::Accepted) return false;
  dlg.Logic().Apply(scope);
  return true;
}

bool QtDHCPDialogs::EditReservation(CDHCPReservation& reservation, const std::vector<CString>& taken) {
  ReservationDialog dlg(reservation, taken, m_prompter, m_parent);
  if (dlg.exec() != QDialog::Accepted) return false;
  dlg.Logic().Apply(reservation);
  return true;
}

// ---- "Edit DHCP Option" ---------------------------------------------------------------------------

DHCPOptionEditorDialog::DHCPOptionEditorDialog(const CDHCPOption& option, Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_logic(option), m_prompter(prompter) {
  using L = DHCPOptionEditorLogic;
  setObjectName("DHCPOptionEditor");
  setWindowTitle(QString::fromLatin1(kTitleEditDHCPOption));
  auto* layout = new QVBoxLayout(this);
  auto* name = Named(new QLabel(Q(m_logic.Name()), this), L::NAME);
  QFont bold = name->font();
  bold.setBold(true);
  name->setFont(bold);
  layout->addWidget(name);
  switch (m_logic.Type()) {
    case DHCP_TYPE_FLAG: {
      auto* check = Named(new QCheckBox(QStringLiteral("Option enabled"), this), L::FLAG);
      check->setChecked(m_logic.flag);
      layout->addWidget(check);
      break;
    }
    case DHCP_TYPE_BYTE:
    case DHCP_TYPE_WORD:
    case DHCP_TYPE_DWORD:
    case DHCP_TYPE_ADDRESS:
    case DHCP_TYPE_TEXT: {
      m_value = Edit(L::VALUE, this);
      m_value->setText(Q(m_logic.value));
      // The text's bound is in bytes; the edit's in characters keeps most input short already.
      if (m_logic.Type() == DHCP_TYPE_TEXT) m_value->setMaxLength(static_cast<int>(kDHCPMaxOptionData));
      m_value->setMinimumWidth(260);
      layout->addWidget(m_value);
      break;
    }
    case DHCP_TYPE_ADDRESS_LIST: {
      auto* grid = new QGridLayout;
      m_list = Named(new QListWidget(this), L::LIST);
      m_listEdit = Edit(L::LIST_EDIT, this);
      grid->addWidget(m_listEdit, 0, 0);
      grid->addWidget(m_list, 1, 0, 4, 1);
      auto* add = Button(L::LIST_ADD, "&Add", this);
      auto* remove = Button(L::LIST_REMOVE, "&Remove", this);
      auto* up = Button(L::LIST_UP, "Up", this);
      auto* down = Button(L::LIST_DOWN, "Dn", this);
      grid->addWidget(add, 0, 1);
      grid->addWidget(remove, 1, 1);
      grid->addWidget(up, 2, 1);
      grid->addWidget(down, 3, 1);
      layout->addLayout(grid);
      connect(m_list, &QListWidget::currentRowChanged, this, [this] {
        m_logic.listSelected = Row(m_list);
        ApplyStates(this, m_logic.States());
      });
      connect(add, &QPushButton::clicked, this, [this] {
        m_logic.listEdit = S(m_listEdit->text());
        if (m_logic.AddAddress(m_prompter)) m_listEdit->clear();
        RefillList();
      });
      connect(remove, &QPushButton::clicked, this, [this] {
        m_logic.RemoveAddress();
        m_listEdit->setText(Q(m_logic.listEdit));
        RefillList();
      });
      connect(up, &QPushButton::clicked, this, [this] {
        m_logic.MoveAddress(true);
        RefillList();
      });
      connect(down, &QPushButton::clicked, this, [this] {
        m_logic.MoveAddress(false);
        RefillList();
      });
      RefillList();
      break;
    }
    case DHCP_TYPE_NODE_TYPE: {
      auto* group = new QButtonGroup(this);
      for (auto [id, text] : {std::pair{L::B_NODE, "B Node"}, std::pair{L::P_NODE, "P Node"},
                              std::pair{L::M_NODE, "M Node"}, std::pair{L::H_NODE, "H Node"}}) {
        auto* r = Named(new QRadioButton(QString::fromLatin1(text), this), id);
        // The radio's id is the node type's byte (B 1, P 2, M 4, H 8).
        group->addButton(r, id - L::NAME - 10);
        r->setChecked(m_logic.nodeType == id - L::NAME - 10);
        layout->addWidget(r);
      }
      connect(group, &QButtonGroup::idClicked, this, [this](int v) { m_logic.nodeType = static_cast<uint8_t>(v); });
      break;
    }
    default: break;
  }
  layout->addStretch(1);
  layout->addWidget(OkCancel(this));
}

void DHCPOptionEditorDialog::RefillList() {
  const QSignalBlocker block(m_list);
  m_list->clear();
  for (const CString& a : m_logic.list) m_list->addItem(Q(a));
  if (m_logic.listSelected) m_list->setCurrentRow(static_cast<int>(*m_logic.listSelected));
  ApplyStates(this, m_logic.States());
}

void DHCPOptionEditorDialog::Store() {
  if (auto* check = findChild<QCheckBox*>(QString::fromStdString(ControlName(DHCPOptionEditorLogic::FLAG))))
    m_logic.flag = check->isChecked();
  if (m_value) m_logic.value = S(m_value->text());
  if (m_listEdit) m_logic.listEdit = S(m_listEdit->text());
}

void DHCPOptionEditorDialog::accept() {
  Store();
  FieldError error;
  if (!m_logic.Validate(m_prompter, &error)) {
    Refused(this, error, m_prompter);
    return;
  }
  QDialog::accept();
}

// ---- "DHCP Options" --------------------------------------------------------------------------------

DHCPOptionsDialog::DHCPOptionsDialog(CDHCPOptionsContainer& options, Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_logic(options), m_dialogs(this, prompter) {
  using L = DHCPOptionsLogic;
  setObjectName("DHCPOptions");
  setWindowTitle(QString::fromLatin1(kTitleDHCPOptions));
  auto* grid = new QGridLayout(this);
  grid->addWidget(new QLabel(QStringLiteral("Available Options"), this), 0, 0);
  grid->addWidget(new QLabel(QStringLiteral("Options in use"), this), 0, 2);
  m_available = Named(new QListWidget(this), L::AVAILABLE);
  m_inUse = Named(new QListWidget(this), L::IN_USE);
  m_available->setMinimumWidth(210);
  m_inUse->setMinimumWidth(210);
  grid->addWidget(m_available, 1, 0);
  grid->addWidget(m_inUse, 1, 2);
  auto* middle = new QVBoxLayout;
  auto* add = Button(L::ADD, "&Add >>", this);
  auto* remove = Button(L::REMOVE, "<< &Remove", this);
  auto* edit = Button(L::EDIT, "Edit...", this);
  middle->addStretch(1);
  middle->addWidget(add);
  middle->addWidget(remove);
  middle->addWidget(edit);
  middle->addStretch(1);
  grid->addLayout(middle, 1, 1);
  auto* describe = new QHBoxLayout;
  describe->addWidget(new QLabel(QStringLiteral("Description:"), this));
  auto* text = Named(new QLabel(this), L::DESCRIPTION);
  text->setWordWrap(true);
  describe->addWidget(text, 1);
  grid->addLayout(describe, 2, 0, 1, 3);
  grid->addWidget(OkCancel(this), 3, 0, 1, 3);

  connect(m_available, &QListWidget::currentRowChanged, this, [this] { Describe(m_available); });
  connect(m_inUse, &QListWidget::currentRowChanged, this, [this] { Describe(m_inUse); });
  connect(add, &QPushButton::clicked, this, [this] {
    QListWidgetItem* item = m_available->currentItem();
    if (!item) return;
    const int code = item->data(Qt::UserRole).toInt();
    if (m_logic.Add(static_cast<uint8_t>(code), m_dialogs)) Refill(code);
  });
  connect(remove, &QPushButton::clicked, this, [this] {
    QListWidgetItem* item = m_inUse->currentItem();
    if (!item) return;
    const int code = item->data(Qt::UserRole).toInt();
    if (m_logic.Remove(static_cast<uint8_t>(code))) Refill(code);
  });
  connect(edit, &QPushButton::clicked, this, [this] { EditSelected(); });
  connect(m_inUse, &QListWidget::itemDoubleClicked, this, [this] { EditSelected(); });
  Refill(-1);
  if (m_available->count() > 0) m_available->setCurrentRow(0);
}

void DHCPOptionsDialog::Refill(int selectCode) {
  for (auto [list, codes] : {std::pair{m_available, m_logic.Available()}, std::pair{m_inUse, m_logic.InUse()}}) {
    const QSignalBlocker block(list);
    list->clear();
    for (uint8_t code : codes) {
      auto* item = new QListWidgetItem(Q(DHCPOptionName(code)), list);
      item->setData(Qt::UserRole, int(code));
      if (code == selectCode) list->setCurrentItem(item);
    }
  }
  Describe(m_inUse->currentItem() ? m_inUse : m_available);
}

void DHCPOptionsDialog::Describe(QListWidget* list) {
  auto* text = findChild<QLabel*>(QString::fromStdString(ControlName(DHCPOptionsLogic::DESCRIPTION)));
  QListWidgetItem* item = list->currentItem();
  text->setText(item ? Q(DHCPOptionsLogic::Description(static_cast<uint8_t>(item->data(Qt::UserRole).toInt())))
                     : QString());
  ControlStates st;
  st[DHCPOptionsLogic::ADD].enabled = m_available->currentItem() != nullptr;
  st[DHCPOptionsLogic::REMOVE].enabled = st[DHCPOptionsLogic::EDIT].enabled = m_inUse->currentItem() != nullptr;
  ApplyStates(this, st);
}

void DHCPOptionsDialog::EditSelected() {
  QListWidgetItem* item = m_inUse->currentItem();
  if (!item) return;
  const int code = item->data(Qt::UserRole).toInt();
  if (m_logic.Edit(static_cast<uint8_t>(code), m_dialogs)) Refill(code);
}

// ---- "Scope Properties" ----------------------------------------------------------------------------

ScopeDialog::ScopeDialog(const CDHCPScope& scope, Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_prompter(prompter), m_dialogs(this, prompter) {
  using L = ScopeDialogLogic;
  setObjectName("ScopeProperties");
  setWindowTitle(QString::fromLatin1(kTitleScopeProperties));
  m_logic.Load(scope);
  auto* layout = new QVBoxLayout(this);
  auto* top = new QGridLayout;
  top->addWidget(new QLabel(QStringLiteral("Description"), this), 0, 0);
  top->addWidget(Edit(L::DESCRIPTION, this), 0, 1);
  top->addWidget(Named(new QCheckBox(QStringLiteral("Scope enabled"), this), L::ENABLED), 1, 1);
  layout->addLayout(top);

  auto* range = new QGroupBox(QStringLiteral("Allocate IP addresses in the range"), this);
  auto* rg = new QGridLayout(range);
  rg->addWidget(new QLabel(QStringLiteral("From"), range), 0, 0);
  rg->addWidget(Edit(L::FROM, range), 0, 1);
  rg->addWidget(new QLabel(QStringLiteral("to"), range), 0, 2);
  rg->addWidget(Edit(L::TO, range), 0, 3);
  rg->addWidget(new QLabel(QStringLiteral("Network mask"), range), 1, 0);
  rg->addWidget(Edit(L::MASK, range), 1, 1);
  layout->addWidget(range);

  auto* lease = new QGroupBox(QStringLiteral("Lease Duration"), this);
  auto* lg = new QHBoxLayout(lease);
  for (auto [id, text] : {std::pair{L::DAYS, "Days"}, std::pair{L::HOURS, "Hours"}, std::pair{L::MINUTES, "Minutes"}}) {
    lg->addWidget(new QLabel(QString::fromLatin1(text), lease));
    auto* e = Edit(id, lease);
    e->setMaximumWidth(60);
    lg->addWidget(e);
  }
  lg->addStretch(1);
  layout->addWidget(lease);

  auto* excl = new QGroupBox(QStringLiteral("Excluded addresses"), this);
  auto* eg = new QGridLayout(excl);
  m_exclusions = Named(new QListWidget(excl), L::EXCLUSIONS);
  m_exclusions->setMinimumHeight(80);
  eg->addWidget(m_exclusions, 0, 0, 1, 4);
  eg->addWidget(new QLabel(QStringLiteral("From"), excl), 1, 0);
  eg->addWidget(Edit(L::EXCLUDE_FROM, excl), 1, 1);
  eg->addWidget(new QLabel(QStringLiteral("to"), excl), 1, 2);
  eg->addWidget(Edit(L::EXCLUDE_TO, excl), 1, 3);
  auto* buttons = new QHBoxLayout;
  auto* add = Button(L::EXCLUDE_ADD, "Add", excl);
  auto* remove = Button(L::EXCLUDE_REMOVE, "Remove", excl);
  buttons->addStretch(1);
  buttons->addWidget(add);
  buttons->addWidget(remove);
  eg->addLayout(buttons, 2, 0, 1, 4);
  layout->addWidget(excl);

  auto* bottom = new QHBoxLayout;
  auto* options = Button(L::OPTIONS, "&Options...", this);
  bottom->addWidget(options);
  bottom->addStretch(1);
  bottom->addWidget(OkCancel(this));
  layout->addLayout(bottom);

  connect(m_exclusions, &QListWidget::currentRowChanged, this, [this] {
    m_logic.exclusionSelected = Row(m_exclusions);
    ApplyStates(this, m_logic.States());
  });
  connect(add, &QPushButton::clicked, this, [this] {
    Store();
    FieldError error;
    if (!m_logic.AddExclusion(m_prompter, &error)) {
      Refused(this, error, m_prompter);
      return;
    }
    Load();
  });
  connect(remove, &QPushButton::clicked, this, [this] {
    Store();
    m_logic.RemoveExclusion();
    Load();
  });
  connect(options, &QPushButton::clicked, this, [this] { m_logic.EditOptions(m_dialogs); });
  Load();
}

void ScopeDialog::Load() {
  using L = ScopeDialogLogic;
  auto set = [this](int id, const CString& v) { qobject_cast<QLineEdit*>(FindControl(this, id))->setText(Q(v)); };
  set(L::DESCRIPTION, m_logic.description);
  set(L::FROM, m_logic.from);
  set(L::TO, m_logic.to);
  set(L::MASK, m_logic.mask);
  set(L::DAYS, m_logic.days);
  set(L::HOURS, m_logic.hours);
  set(L::MINUTES, m_logic.minutes);
  set(L::EXCLUDE_FROM, m_logic.excludeFrom);
  set(L::EXCLUDE_TO, m_logic.excludeTo);
  qobject_cast<QCheckBox*>(FindControl(this, L::ENABLED))->setChecked(m_logic.enabled);
  {
    const QSignalBlocker block(m_exclusions);
    m_exclusions->clear();
    for (const CString& row : m_logic.ExclusionRows()) m_exclusions->addItem(Q(row));
    if (m_logic.exclusionSelected) m_exclusions->setCurrentRow(static_cast<int>(*m_logic.exclusionSelected));
  }
  ApplyStates(this, m_logic.States());
}

void ScopeDialog::Store() {
  using L = ScopeDialogLogic;
  auto get = [this](int id) { return S(qobject_cast<QLineEdit*>(FindControl(this, id))->text()); };
  m_logic.description = get(L::DESCRIPTION);
  m_logic.from = get(L::FROM);
  m_logic.to = get(L::TO);
  m_logic.mask = get(L::MASK);
  m_logic.days = get(L::DAYS);
  m_logic.hours = get(L::HOURS);
  m_logic.minutes = get(L::MINUTES);
  m_logic.excludeFrom = get(L::EXCLUDE_FROM);
  m_logic.excludeTo = get(L::EXCLUDE_TO);
  m_logic.enabled = qobject_cast<QCheckBox*>(FindControl(this, L::ENABLED))->isChecked();
}

void ScopeDialog::accept() {
  Store();
  FieldError error;
  if (!m_logic.Validate(m_prompter, &error)) {
    Refused(this, error, m_prompter);
    return;
  }
  QDialog::accept();
}

// ---- "Reservation" ----------------------------------------------------------------------------------

ReservationDialog::ReservationDialog(const CDHCPReservation& reservation, const std::vector<CString>& taken,
                                     Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_prompter(prompter), m_dialogs(this, prompter) {
  using L = ReservationDialogLogic;
  setObjectName("Reservation");
  setWindowTitle(QString::fromLatin1(kTitleReservation));
  m_logic.Load(reservation, taken);
  auto* layout = new QGridLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("IP Address"), this), 0, 0);
  auto* address = Edit(L::ADDRESS, this);
  address->setText(Q(m_logic.address));
  layout->addWidget(address, 0, 1);
  auto* group = new QButtonGroup(this);
  auto* byName = Named(new QRadioButton(QStringLiteral("Reserved for computer name"), this), L::BY_NAME);
  auto* byMac = Named(new QRadioButton(QStringLiteral("Reserved for MAC Address"), this), L::BY_MAC);
  group->addButton(byName, CDHCPReservation::MATCH_COMPUTER_NAME);
  group->addButton(byMac, CDHCPReservation::MATCH_HARDWARE_ADDRESS);
  byName->setChecked(m_logic.matchOn == CDHCPReservation::MATCH_COMPUTER_NAME);
  byMac->setChecked(m_logic.matchOn == CDHCPReservation::MATCH_HARDWARE_ADDRESS);
  layout->addWidget(byName, 1, 0, 1, 2);
  layout->addWidget(byMac, 2, 0, 1, 2);
  auto* match = Edit(L::MATCH, this);
  match->setText(Q(m_logic.match));
  match->setMinimumWidth(220);
  layout->addWidget(match, 3, 0, 1, 2);
  auto* bottom = new QHBoxLayout;
  auto* options = Button(L::OPTIONS, "&Options", this);
  bottom->addWidget(options);
  bottom->addStretch(1);
  bottom->addWidget(OkCancel(this));
  layout->addLayout(bottom, 4, 0, 1, 2);
  connect(group, &QButtonGroup::idClicked, this, [this](int v) { m_logic.matchOn = static_cast<uint32_t>(v); });
  connect(options, &QPushButton::clicked, this, [this] { m_logic.EditOptions(m_dialogs); });
}

void ReservationDialog::accept() {
  using L = ReservationDialogLogic;
  m_logic.address = S(qobject_cast<QLineEdit*>(FindControl(this, L::ADDRESS))->text());
  m_logic.match = S(qobject_cast<QLineEdit*>(FindControl(this, L::MATCH))->text());
  FieldError error;
  if (!m_logic.Validate(m_prompter, &error)) {
    Refused(this, error, m_prompter);
    return;
  }
  QDialog::accept();
}

// ---- DHCP Mode --------------------------------------------------------------------------------------

namespace {

class DHCPModeWidget : public TabPage {
 public:
  explicit DHCPModeWidget(DHCPModePage& logic) : TabPage(QStringLiteral("DHCP Mode")), m_logic(logic) {
    using L = DHCPModePage;
    auto* layout = new QVBoxLayout(this);
    m_group = new QButtonGroup(this);
    struct Mode {
      int id;
      uint32_t value;
      const char* text;
      const char* note;
    };
    const Mode modes[] = {
        {L::AUTOMATIC, CDHCPDatabase::MODE_AUTOMATIC, "Fully automatic.",
         "Use this mode if you have no extra options required.  Trellis will create scopes as required, assign a "
         "default gateway, and set your DNS to Trellis"},
        {L::SEMI, CDHCPDatabase::MODE_SEMI_AUTOMATIC, "Semi automatic",
         "Use this mode if you want Trellis to auto configure what it can, but you also want extra control."},
        {L::MANUAL, CDHCPDatabase::MODE_MANUAL, "Manual",
         "Trellis will not configure itself - you must specify everything"},
    };
    for (const Mode& m : modes) {
      auto* r = Named(new QRadioButton(QString::fromLatin1(m.text), this), m.id);
      m_group->addButton(r, static_cast<int>(m.value));
      layout->addWidget(r);
      auto* note = new QLabel(QString::fromLatin1(m.note), this);
      note->setWordWrap(true);
      note->setContentsMargins(24, 0, 0, 6);
      layout->addWidget(note);
      if (m.id == L::SEMI) {
        auto* checks = new QVBoxLayout;
        checks->setContentsMargins(24, 0, 0, 6);
        for (auto [id, text] :
             {std::pair{L::CREATE_SCOPES, "Create Scopes"}, std::pair{L::ASSIGN_GATEWAY, "Assign Gateway"},
              std::pair{L::ASSIGN_DNS, "Assign DNS"}}) {
          auto* c = Named(new QCheckBox(QString::fromLatin1(text), this), id);
          checks->addWidget(c);
          connect(c, &QCheckBox::toggled, this, [this] { Store(); });
        }
        layout->addLayout(checks);
      }
    }
    layout->addStretch(1);
    connect(m_group, &QButtonGroup::idClicked, this, [this] {
      Store();
      ApplyStates(this, m_logic.States());
    });
  }
  void LoadControls() override {
    if (auto* b = m_group->button(static_cast<int>(m_logic.mode))) b->setChecked(true);
    for (const auto& [id, bit] : DHCPModePage::kBits) {
      auto* c = qobject_cast<QCheckBox*>(FindControl(this, id));
      const QSignalBlocker block(c);
      c->setChecked((m_logic.autoOptions & bit) != 0);
    }
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    Store();
    return true;
  }

 private:
  void Store() {
    if (m_group->checkedId() >= 0) m_logic.mode = static_cast<uint32_t>(m_group->checkedId());
    uint32_t bits = 0;
    for (const auto& [id, bit] : DHCPModePage::kBits)
      if (qobject_cast<QCheckBox*>(FindControl(this, id))->isChecked()) bits |= bit;
    m_logic.autoOptions = bits;
  }
  DHCPModePage& m_logic;
  QButtonGroup* m_group;
};

enum { ROLE_KIND = Qt::UserRole, ROLE_SCOPE, ROLE_ADDRESS, ROLE_INTERFACE, ROLE_IMAGE };

}  // namespace

TabPage* NewDHCPModeWidget(DHCPModePage& logic) { return new DHCPModeWidget(logic); }

// ---- DHCP Settings ------------------------------------------------------------------------------------

DHCPSettingsWidget::DHCPSettingsWidget(DHCPSettingsPage& logic, Prompter& prompter)
    : TabPage(QStringLiteral("DHCP Settings")), m_logic(logic), m_dialogs(this, prompter) {
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(
      QStringLiteral("Scopes by interface; right-click an item for its commands, double-click to edit it."), this));
  m_tree = Named(new QTreeWidget(this), DHCPSettingsPage::TREE);
  m_tree->setHeaderHidden(true);
  m_tree->setExpandsOnDoubleClick(false);
  m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
  m_tree->installEventFilter(this);
  layout->addWidget(m_tree, 1);
  connect(m_tree, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    QTreeWidgetItem* item = m_tree->itemAt(pos);
    if (!item) return;
    m_tree->setCurrentItem(item);
    std::unique_ptr<QMenu> menu(BuildMenu());
    menu->exec(m_tree->viewport()->mapToGlobal(pos));
  });
  connect(m_tree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    // The command is for the item clicked, whatever was selected before.
    m_tree->setCurrentItem(item);
    if (item->data(0, ROLE_KIND).toInt() == DHCP_ITEM_INTERFACE)
      item->setExpanded(!item->isExpanded());
    else
      Properties();
  });
}

std::optional<DHCPTreeItem> DHCPSettingsWidget::Selected() const {
  QTreeWidgetItem* item = m_tree->currentItem();
  if (!item) return std::nullopt;
  DHCPTreeItem sel;
  sel.kind = item->data(0, ROLE_KIND).toInt();
  sel.scopeId = item->data(0, ROLE_SCOPE).toUInt();
  sel.address = S(item->data(0, ROLE_ADDRESS).toString());
  sel.interfaceName = S(item->data(0, ROLE_INTERFACE).toString());
  return sel;
}

void DHCPSettingsWidget::Refill() {
  const auto before = Selected();
  const QSignalBlocker block(m_tree);
  m_tree->clear();
  QTreeWidgetItem* current = nullptr;
  auto add = [&](auto& self, const DHCPTreeItem& node, QTreeWidgetItem* parent) -> void {
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_tree);
    item->setText(0, Q(node.text));
    item->setData(0, ROLE_KIND, node.kind);
    item->setData(0, ROLE_SCOPE, node.scopeId);
    item->setData(0, ROLE_ADDRESS, Q(node.address));
    item->setData(0, ROLE_INTERFACE, Q(node.interfaceName));
    // The console's pictures, so an interface or a scope looks as it does in the main tree.
    static const std::map<int, int> kImages = {{DHCP_ITEM_INTERFACE, LIST_IMAGE_INTERFACE_IP},
                                               {DHCP_ITEM_SCOPE, LIST_IMAGE_DHCP_SCOPE},
                                               {DHCP_ITEM_RESERVATION, LIST_IMAGE_MACHINE},
                                               {DHCP_ITEM_GLOBAL, LIST_IMAGE_DHCP_GLOBAL}};
    const int image = kImages.at(node.kind);
    item->setData(0, ROLE_IMAGE, image);
    item->setIcon(0, TreeImages()[image]);
    if (before && before->kind == node.kind && before->scopeId == node.scopeId && before->address == node.address &&
        (node.kind != DHCP_ITEM_INTERFACE || before->interfaceName == node.interfaceName))
      current = item;
    for (const DHCPTreeItem& child : node.children) self(self, child, item);
    item->setExpanded(true);
  };
  for (const DHCPTreeItem& node : m_logic.Tree()) add(add, node, nullptr);
  if (current) m_tree->setCurrentItem(current);
}

QMenu* DHCPSettingsWidget::BuildMenu() {
  const auto sel = Selected();
  using L = DHCPSettingsPage;
  auto* menu = new QMenu(this);
  menu->setObjectName(
      QStringLiteral("menu%1").arg(sel && sel->kind == DHCP_ITEM_SCOPE ? L::MENU_SCOPE : L::MENU_OTHER));
  const ControlStates st = m_logic.States(sel ? &*sel : nullptr);
  struct Command {
    int id;
    const char* text;
    void (DHCPSettingsWidget::*run)();
  };
  for (const Command& c : {Command{L::NEW_SCOPE, "New &scope", &DHCPSettingsWidget::NewScope},
                           Command{L::NEW_RESERVATION, "New &reservation", &DHCPSettingsWidget::NewReservation},
                           Command{L::DELETE, "&Delete", &DHCPSettingsWidget::DeleteSelected},
                           Command{L::PROPERTIES, "&Properties", &DHCPSettingsWidget::Properties}}) {
    QAction* a = menu->addAction(QString::fromLatin1(c.text));
    a->setObjectName(QString::fromStdString(ControlName(c.id)));
    a->setEnabled(st.at(c.id).enabled);
    connect(a, &QAction::triggered, this, c.run);
  }
  return menu;
}

void DHCPSettingsWidget::NewScope() {
  if (auto sel = Selected(); sel && m_logic.NewScope(*sel, m_dialogs)) Refill();
}

void DHCPSettingsWidget::NewReservation() {
  if (auto sel = Selected(); sel && m_logic.NewReservation(*sel, m_dialogs)) Refill();
}

void DHCPSettingsWidget::DeleteSelected() {
  if (auto sel = Selected(); sel && m_logic.Delete(*sel)) Refill();
}

void DHCPSettingsWidget::Properties() {
  if (auto sel = Selected(); sel && m_logic.Properties(*sel, m_dialogs)) Refill();
}

bool DHCPSettingsWidget::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_tree && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Insert) {
      const auto sel = Selected();
      if (sel && sel->kind == DHCP_ITEM_SCOPE)
        NewReservation();
      else
        NewScope();
      return true;
    }
    if (key == Qt::Key_Delete) {
      DeleteSelected();
      return true;
    }
  }
  return TabPage::eventFilter(watched, event);
}
