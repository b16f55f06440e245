#include "console/dialogs/netsvc/dhcp_editors_qt.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
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
#include "console/model/list_images.h"
#include "console/model/tree_images.h"

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

bool QtDHCPDialogs::EditScope(CDHCPScope& scope, const std::vector<CIPRange>& others) {
  ScopeDialog dlg(scope, others, m_prompter, m_parent);
  if (dlg.exec() != QDialog::Accepted) return false;
  dlg.Logic().Apply(scope);
  return true;
}

bool QtDHCPDialogs::EditReservation(CDHCPReservation& reservation, const std::vector<CString>& taken,
                                    const std::vector<CIPRange>& scopes) {
  ReservationDialog dlg(reservation, taken, scopes, m_prompter, m_parent);
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

ScopeDialog::ScopeDialog(const CDHCPScope& scope, const std::vector<CIPRange>& others, Prompter& prompter,
                         QWidget* parent)
    : QDialog(parent), m_prompter(prompter), m_dialogs(this, prompter) {
  using L = ScopeDialogLogic;
  setObjectName("ScopeProperties");
  setWindowTitle(QString::fromLatin1(kTitleScopeProperties));
  m_logic.Load(scope, others);
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
                                     const std::vector<CIPRange>& scopes, Prompter& prompter, QWidget* parent)
    : QDialog(parent), m_prompter(prompter), m_dialogs(this, prompter) {
  using L = ReservationDialogLogic;
  setObjectName("Reservation");
  setWindowTitle(QString::fromLatin1(kTitleReservation));
  m_logic.Load(reservation, taken, scopes);
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
