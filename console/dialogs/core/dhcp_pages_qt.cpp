#include "console/dialogs/core/dhcp_pages_qt.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/model/list_images.h"
#include "console/model/tree_images.h"

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
