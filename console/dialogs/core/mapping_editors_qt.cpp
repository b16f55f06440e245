#include "console/dialogs/core/mapping_editors_qt.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
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
#include <algorithm>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/common/location_lists_qt.h"
#include "console/model/list_images.h"
#include "console/model/tree_images.h"

namespace {

class ServerWidget : public TabPage {
 public:
  ServerWidget(MappingServerPage& logic, const MappingSheetContext& ctx, Prompter& prompter)
      : TabPage(QStringLiteral("Mapping")), m_logic(logic), m_prompter(prompter) {
    auto* layout = new QVBoxLayout(this);
    auto* mapping = new QGroupBox(QStringLiteral("Mapping"), this);
    auto* form = new QFormLayout(mapping);
    form->addRow(m_enabled =
                     Named(new QCheckBox(QStringLiteral("Enable mapping to"), mapping), MappingServerPage::ENABLED));
    form->addRow(QStringLiteral("Server"), m_host = Named(new QLineEdit(mapping), MappingServerPage::HOST));
    form->addRow(QStringLiteral("on port"), m_port = Named(new QLineEdit(mapping), MappingServerPage::PORT));
    layout->addWidget(mapping);
    auto* dialer = new QGroupBox(QStringLiteral("Dialer dependent"), this);
    auto* dl = new QVBoxLayout(dialer);
    dl->addWidget(m_dialer = Named(new QCheckBox(QStringLiteral("This mapping applies only if on line to:"), dialer),
                                   MappingServerPage::DIALER));
    dl->addWidget(m_entry = Named(new QComboBox(dialer), MappingServerPage::CONNECTOID));
    m_entry->setEditable(true);
    for (const CString& e : ctx.phonebook) m_entry->addItem(Q(e));
    layout->addWidget(dialer);
    layout->addStretch(1);
    connect(m_dialer, &QCheckBox::toggled, this, [this](bool on) {
      m_logic.dialerDependent = on;
      ApplyStates(this, m_logic.States());
    });
  }
  void LoadControls() override {
    m_enabled->setChecked(m_logic.enabled);
    m_host->setText(Q(m_logic.host));
    m_port->setText(QString::number(m_logic.port));
    m_dialer->setChecked(m_logic.dialerDependent);
    m_entry->setCurrentText(Q(m_logic.connectoid));
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    uint64_t port = 0;
    FieldError error;
    if (!ReadUnsigned(S(m_port->text()), MappingServerPage::PORT, 0, 65535, &port, &error)) {
      ShowFieldError(this, error, m_prompter);
      return false;
    }
    m_logic.port = static_cast<uint32_t>(port);
    m_logic.enabled = m_enabled->isChecked();
    m_logic.host = S(m_host->text().trimmed());
    m_logic.dialerDependent = m_dialer->isChecked();
    m_logic.connectoid = S(m_entry->currentText());
    return true;
  }

 private:
  MappingServerPage& m_logic;
  Prompter& m_prompter;
  QCheckBox *m_enabled, *m_dialer;
  QLineEdit *m_host, *m_port;
  QComboBox* m_entry;
};

class UserWidget : public TabPage {
 public:
  UserWidget(MappingUserPage& logic, const MappingSheetContext& ctx)
      : TabPage(QStringLiteral("User")), m_logic(logic), m_ctx(ctx) {
    auto* layout = new QVBoxLayout(this);
    m_group = new QButtonGroup(this);
    auto* everyone =
        Named(new QRadioButton(QStringLiteral("This Mapping applies to everyone"), this), MappingUserPage::EVERYONE);
    auto* specify = Named(new QRadioButton(QStringLiteral("Specify user or group"), this), MappingUserPage::SPECIFY);
    m_group->addButton(everyone, 0);
    m_group->addButton(specify, 1);
    layout->addWidget(everyone);
    layout->addWidget(specify);
    layout->addWidget(m_name = Named(new QLineEdit(this), MappingUserPage::NAME));
    m_list = PrincipalList(MappingUserPage::LIST, m_ctx.principals, {{0, 90}, {1, 170}}, this);
    layout->addWidget(m_list, 1);
    connect(m_group, &QButtonGroup::idClicked, this, [this](int v) {
      m_logic.specify = v == 1;
      ApplyStates(this, m_logic.States());
    });
    connect(m_list, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
      if (!item) return;
      m_logic.Select(m_ctx, static_cast<size_t>(m_list->indexOfTopLevelItem(item)));
      m_name->setText(Q(m_logic.name));
    });
  }
  void LoadControls() override {
    m_group->button(m_logic.specify ? 1 : 0)->setChecked(true);
    m_name->setText(Q(m_logic.name));
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    m_logic.specify = m_group->checkedId() == 1;
    m_logic.name = S(m_name->text().trimmed());
    return true;
  }

 private:
  MappingUserPage& m_logic;
  const MappingSheetContext& m_ctx;
  QButtonGroup* m_group;
  QLineEdit* m_name;
  QTreeWidget* m_list;
};

class MappingsWidget : public TabPage {
 public:
  MappingsWidget(MappingsPage& logic, MappingSheetContext ctx, Prompter& prompter)
      : TabPage(QStringLiteral("Mappings")), m_logic(logic), m_ctx(std::move(ctx)), m_prompter(prompter) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Connections are mapped by the first rule that applies:"), this));
    m_list = Named(new QListWidget(this), MappingsPage::LIST);
    layout->addWidget(m_list, 1);
    auto* buttons = new QHBoxLayout;
    auto* add = Button(MappingsPage::ADD, "&Add", this);
    auto* remove = Button(MappingsPage::REMOVE, "&Remove", this);
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    connect(m_list, &QListWidget::currentRowChanged, this, [this](int row) {
      m_logic.selected = row < 0 ? std::nullopt : std::optional<size_t>(static_cast<size_t>(row));
      ApplyStates(this, m_logic.States());
    });
    connect(add, &QPushButton::clicked, this, [this] {
      MappingSheetDialog dlg(CMapping(), false, m_ctx, m_prompter, this);
      if (dlg.exec() == QDialog::Accepted) {
        m_logic.Add(dlg.Result());
        Refill();
      }
    });
    connect(m_list, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
      const int row = m_list->row(item);
      if (row < 0 || static_cast<size_t>(row) >= m_logic.Rules().size()) return;
      MappingSheetDialog dlg(*m_logic.Rules()[static_cast<size_t>(row)], true, m_ctx, m_prompter, this);
      if (dlg.exec() == QDialog::Accepted) {
        m_logic.Replace(static_cast<size_t>(row), dlg.Result());
        Refill();
        m_list->setCurrentRow(row);
      }
    });
    connect(remove, &QPushButton::clicked, this, [this] {
      const int row = m_list->currentRow();
      if (row < 0) return;
      m_logic.Remove(static_cast<size_t>(row));
      Refill();
    });
  }
  void LoadControls() override { Refill(); }

 private:
  void Refill() {
    const QSignalBlocker block(m_list);
    m_list->clear();
    for (const CString& row : m_logic.Rows()) m_list->addItem(Q(row));
    m_logic.selected.reset();
    ApplyStates(this, m_logic.States());
  }
  MappingsPage& m_logic;
  MappingSheetContext m_ctx;
  Prompter& m_prompter;
  QListWidget* m_list;
};

}  // namespace

MappingSheetDialog::MappingSheetDialog(const CMapping& mapping, bool existing, MappingSheetContext ctx,
                                       Prompter& prompter, QWidget* parent)
    : SheetDialog(QString::fromLatin1(kMappingSheetTitle), parent),
      m_logic(mapping, existing, std::move(ctx)),
      m_prompter(prompter) {
  setObjectName("MappingSheet");
  setWindowTitle(QString::fromLatin1(kMappingSheetTitle));
  Sheet()->AddPage(new ServerWidget(m_logic.server, m_logic.Context(), prompter));
  Sheet()->AddPage(new UserWidget(m_logic.user, m_logic.Context()));
  Sheet()->AddPage(new LocationListsWidget(m_logic.location, prompter, "This mapping applies from everywhere",
                                           "Specify locations from where this mapping applies"));
}

void MappingSheetDialog::accept() {
  if (!Sheet()->Accept()) return;
  int refused = -1;
  m_result = m_logic.Ok(m_prompter, &refused);
  if (!m_result) {
    Sheet()->ShowRefused(refused);
    return;
  }
  QDialog::accept();
}

TabPage* NewMappingsWidget(MappingsPage& logic, MappingSheetContext ctx, Prompter& prompter) {
  return new MappingsWidget(logic, std::move(ctx), prompter);
}
