#include "console/dialogs/core/service_sheet_qt.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/common/log_options_qt.h"
#include "console/dialogs/core/dhcp_pages_qt.h"
#include "console/dialogs/core/mapping_editors_qt.h"
#include "console/dialogs/core/service_pages_qt.h"
#include "console/model/list_images.h"
#include "console/model/lookout_client.h"
#include "console/model/tree_images.h"

namespace {

QLabel* Label(int id, const char* text, QWidget* parent) {
  return Named(new QLabel(QString::fromLatin1(text), parent), id);
}

// A number field; on failure the page says why and keeps the focus on it.
bool ReadNumber(QWidget* page, QLineEdit* e, int id, uint64_t min, uint64_t max, uint32_t* out, Prompter& p) {
  uint64_t v = 0;
  FieldError error;
  if (!ReadUnsigned(S(e->text()), id, min, max, &v, &error)) {
    ShowFieldError(page, error, p);
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

QTreeWidget* InterfaceList(int id, const char* first, bool status, QWidget* parent) {
  auto* t = Named(new QTreeWidget(parent), id);
  t->setRootIsDecorated(false);
  QStringList cols{QString::fromLatin1(first)};
  if (status) cols << QStringLiteral("Status");
  t->setHeaderLabels(cols);
  t->setColumnWidth(0, 120);
  return t;
}

void FillRows(QTreeWidget* list, const std::vector<InterfaceRow>& rows, bool status) {
  list->clear();
  for (const InterfaceRow& r : rows) {
    QStringList cells{Q(r.name)};
    if (status) cells << Q(r.status);
    (new QTreeWidgetItem(list, cells))->setIcon(0, TreeImages()[InterfaceImage(r.kind)]);
  }
  list->resizeColumnToContents(0);
  list->setColumnWidth(0, std::max(120, list->columnWidth(0) + 8));
}

// ---- General --------------------------------------------------------------------------------------

class GeneralWidget : public TabPage {
 public:
  GeneralWidget(GeneralPage& logic, Prompter& prompter)
      : TabPage(QStringLiteral("General")), m_logic(logic), m_prompter(prompter) {
    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("Service Name"), m_name = Edit(GeneralPage::NAME, this));
    form->addRow(QStringLiteral("Description"), m_description = Edit(GeneralPage::DESCRIPTION, this));
    auto* portRow = new QHBoxLayout;
    m_enabled = Check(GeneralPage::ENABLED, "Accept connections on port", this);
    portRow->addWidget(m_enabled);
    portRow->addWidget(m_port = Edit(GeneralPage::PORT, this));
    m_port->setMaxLength(5);
    m_port->setMaximumWidth(90);
    portRow->addStretch(1);
    form->addRow(portRow);
    m_java = Check(GeneralPage::JAVA_CLIENT, "Use java client authentication as required by policies.", this);
    form->addRow(m_java);
    // The class-specific controls; the page's rules show those of the service's class.
    auto* delimiterRow = new QHBoxLayout;
    delimiterRow->addWidget(Label(GeneralPage::DELIMITER_LABEL, "Delimiter character", this));
    delimiterRow->addWidget(m_delimiter = Edit(GeneralPage::DELIMITER, this));
    m_delimiter->setMaxLength(1);
    m_delimiter->setMaximumWidth(40);
    delimiterRow->addStretch(1);
    form->addRow(delimiterRow);
    form->addRow(m_autodial = Check(GeneralPage::AUTODIAL, "Allow Request to initiate dialer", this));
    form->addRow(m_publicIPs = Check(GeneralPage::PUBLIC_IPS, "Allow allocation of non-private addresses", this));
    form->addRow(m_login = Check(GeneralPage::LOGIN, "Use login as required by policies.", this));
    auto* promptRow = new QHBoxLayout;
    promptRow->addWidget(Label(GeneralPage::PROMPT_LABEL, "Prompt", this));
    promptRow->addWidget(m_prompt = Edit(GeneralPage::PROMPT, this), 1);
    form->addRow(promptRow);
    connect(m_publicIPs, &QCheckBox::clicked, this,
            [this](bool checked) { m_logic.ClickPublicIPs(checked, m_prompter); });
    auto* box = Named(new QGroupBox(QStringLiteral("Default Mapping"), this), GeneralPage::DEFAULT_GROUP);
    auto* grid = new QGridLayout(box);
    grid->addWidget(m_allowDefault = Check(GeneralPage::ALLOW_DEFAULT, "Enable default mapping to", box), 0, 0, 1, 4);
    grid->addWidget(Label(GeneralPage::DEFAULT_HOST_LABEL, "Server", box), 1, 0);
    grid->addWidget(m_defaultHost = Edit(GeneralPage::DEFAULT_HOST, box), 1, 1);
    grid->addWidget(Label(GeneralPage::DEFAULT_PORT_LABEL, "on port", box), 1, 2);
    grid->addWidget(m_defaultPort = Edit(GeneralPage::DEFAULT_PORT, box), 1, 3);
    m_defaultPort->setMaxLength(5);
    m_defaultPort->setMaximumWidth(90);
    grid->setColumnStretch(1, 1);
    form->addRow(box);
    connect(m_allowDefault, &QCheckBox::toggled, this, [this](bool on) {
      m_logic.allowDefault = on;
      ApplyStates(this, m_logic.States());
    });
  }
  void LoadControls() override {
    m_name->setText(Q(m_logic.name));
    m_description->setText(Q(m_logic.description));
    m_enabled->setChecked(m_logic.enabled);
    m_port->setText(QString::number(m_logic.port));
    m_java->setChecked(m_logic.useJavaClient);
    m_delimiter->setText(Q(m_logic.delimiter));
    m_autodial->setChecked(m_logic.allowAutodial);
    m_publicIPs->setChecked(m_logic.allowPublicIPs);
    m_login->setChecked(m_logic.enableLogin);
    m_prompt->setText(Q(m_logic.prompt));
    m_allowDefault->setChecked(m_logic.allowDefault);
    m_defaultHost->setText(Q(m_logic.defaultHost));
    m_defaultPort->setText(QString::number(m_logic.defaultPort));
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    // A port outside 1-65535 would listen on some other port, or on one the system picks.
    if (!ReadNumber(this, m_port, GeneralPage::PORT, 1, 65535, &m_logic.port, m_prompter)) return false;
    m_logic.name = S(m_name->text());
    m_logic.description = S(m_description->text());
    m_logic.enabled = m_enabled->isChecked();
    m_logic.useJavaClient = m_java->isChecked();
    m_logic.delimiter = S(m_delimiter->text());
    m_logic.allowAutodial = m_autodial->isChecked();
    m_logic.allowPublicIPs = m_publicIPs->isChecked();
    m_logic.enableLogin = m_login->isChecked();
    m_logic.prompt = S(m_prompt->text());
    // The default destination's port is read only where the page shows it.
    if (m_defaultPort->isVisibleTo(this) &&
        !ReadNumber(this, m_defaultPort, GeneralPage::DEFAULT_PORT, 0, 65535, &m_logic.defaultPort, m_prompter))
      return false;
    m_logic.allowDefault = m_allowDefault->isChecked();
    m_logic.defaultHost = S(m_defaultHost->text().trimmed());
    return true;
  }

 private:
  GeneralPage& m_logic;
  Prompter& m_prompter;
  QLineEdit *m_name, *m_description, *m_port, *m_defaultHost, *m_defaultPort, *m_delimiter, *m_prompt;
  QCheckBox *m_enabled, *m_java, *m_allowDefault, *m_autodial, *m_publicIPs, *m_login;
};

// ---- Bindings -------------------------------------------------------------------------------------

class BindingsWidget : public TabPage {
 public:
  BindingsWidget(BindingsPage& logic, Prompter& prompter)
      : TabPage(QStringLiteral("Bindings")), m_logic(logic), m_prompter(prompter) {
    auto* layout = new QVBoxLayout(this);
    m_group = new QButtonGroup(this);
    layout->addWidget(
        Radio(m_group, BindingsPage::ANY, BINDING_ALL, "Allow connections coming in on any interface", this));
    layout->addWidget(Radio(m_group, BindingsPage::SPECIFIC, BINDING_SPECIFIC,
                            "Connections will be accepted on the following interface only", this));
    m_combo = Named(new QComboBox(this), BindingsPage::COMBO);
    m_combo->setEditable(true);
    layout->addWidget(m_combo);
    layout->addWidget(
        Radio(m_group, BindingsPage::LIST, BINDING_LIST, "Specify interfaces connections will be accepted on", this));
    auto* lists = new QHBoxLayout;
    lists->addWidget(m_bound = InterfaceList(BindingsPage::BOUND, "Bound", true, this));
    lists->addWidget(m_available = InterfaceList(BindingsPage::AVAILABLE, "Available", true, this));
    layout->addLayout(lists, 1);
    layout->addWidget(m_reuse = Check(BindingsPage::REUSE, "Start even if address is in use", this));
    connect(m_group, &QButtonGroup::idClicked, this, [this](int value) {
      // The check is the operator's only while the list option does not force it.
      if (m_logic.option != BINDING_LIST) m_logic.reuseAddr = m_reuse->isChecked();
      m_logic.ChooseOption(static_cast<uint32_t>(value), m_prompter);
      ApplyStates(this, m_logic.States());
    });
    connect(m_combo, &QComboBox::activated, this,
            [this](int index) { m_logic.ChooseSpecific(S(m_combo->itemText(index)), m_prompter); });
    connect(m_available, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
      m_logic.Bind(static_cast<size_t>(m_available->indexOfTopLevelItem(item)), m_prompter);
      Fill();
    });
    connect(m_bound, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
      m_logic.Unbind(static_cast<size_t>(m_bound->indexOfTopLevelItem(item)));
      Fill();
    });
  }
  void LoadControls() override {
    m_group->button(static_cast<int>(m_logic.option))->setChecked(true);
    m_combo->clear();
    for (const CString& name : m_logic.combo) m_combo->addItem(Q(name));
    m_combo->setCurrentText(Q(m_logic.specific));
    m_reuse->setChecked(m_logic.reuseAddr);
    Fill();
  }
  bool StoreControls() override {
    m_logic.option = static_cast<uint32_t>(m_group->checkedId());
    m_logic.specific = S(m_combo->currentText());
    // The list option forces the check on screen; the stored switch keeps its own value.
    if (m_logic.option != BINDING_LIST) m_logic.reuseAddr = m_reuse->isChecked();
    return true;
  }

 private:
  void Fill() {
    FillRows(m_bound, m_logic.bound, true);
    FillRows(m_available, m_logic.available, true);
    ApplyStates(this, m_logic.States());
  }
  BindingsPage& m_logic;
  Prompter& m_prompter;
  QButtonGroup* m_group;
  QComboBox* m_combo;
  QTreeWidget *m_bound, *m_available;
  QCheckBox* m_reuse;
};

// ---- Interfaces -----------------------------------------------------------------------------------

class InterfacesWidget : public TabPage {
 public:
  explicit InterfacesWidget(InterfacesPage& logic) : TabPage(QStringLiteral("Interfaces")), m_logic(logic) {
    auto* layout = new QVBoxLayout(this);
    m_group = new QButtonGroup(this);
    auto* any = Radio(m_group, InterfacesPage::ANY, INTERFACE_METHOD_ANY,
                      "Connections out will be made on any interface.  The operating system will choose the "
                      "correct interface.",
                      this);
    layout->addWidget(any);
    layout->addWidget(Radio(m_group, InterfacesPage::FIXED, INTERFACE_METHOD_FIXED,
                            "Connections to be made out on the following interface only", this));
    m_combo = Named(new QComboBox(this), InterfacesPage::COMBO);
    layout->addWidget(m_combo);
    layout->addWidget(Radio(m_group, InterfacesPage::ROTATE, INTERFACE_METHOD_ROUND_ROBIN,
                            "Rotate connections out on all the following interfaces", this));
    auto* lists = new QHBoxLayout;
    lists->addWidget(m_inUse = InterfaceList(InterfacesPage::IN_USE, "In Use", false, this));
    lists->addWidget(m_available = InterfaceList(InterfacesPage::AVAILABLE, "Available", false, this));
    layout->addLayout(lists, 1);
    connect(m_group, &QButtonGroup::idClicked, this, [this](int value) {
      m_logic.method = static_cast<uint32_t>(value);
      ApplyStates(this, m_logic.States());
    });
    connect(m_inUse, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
      m_logic.Move(true, static_cast<size_t>(m_inUse->indexOfTopLevelItem(item)));
      Fill();
    });
    connect(m_available, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
      m_logic.Move(false, static_cast<size_t>(m_available->indexOfTopLevelItem(item)));
      Fill();
    });
  }
  void LoadControls() override {
    m_group->button(static_cast<int>(m_logic.method))->setChecked(true);
    m_combo->clear();
    for (const CString& name : m_logic.combo) m_combo->addItem(Q(name));
    m_combo->setCurrentText(Q(m_logic.fixed));
    Fill();
  }
  bool StoreControls() override {
    m_logic.method = static_cast<uint32_t>(m_group->checkedId());
    m_logic.fixed = S(m_combo->currentText());
    return true;
  }

 private:
  void Fill() {
    FillRows(m_inUse, m_logic.inUse, false);
    FillRows(m_available, m_logic.available, false);
    ApplyStates(this, m_logic.States());
  }
  InterfacesPage& m_logic;
  QButtonGroup* m_group;
  QComboBox* m_combo;
  QTreeWidget *m_inUse, *m_available;
};

// ---- Sessions -------------------------------------------------------------------------------------

class SessionsWidget : public TabPage {
 public:
  SessionsWidget(SessionsPage& logic, Prompter& prompter)
      : TabPage(QStringLiteral("Sessions")), m_logic(logic), m_prompter(prompter) {
    auto* grid = new QGridLayout(this);
    grid->addWidget(m_timeOut = Check(SessionsPage::TIME_OUT, "Sessions time out after", this), 0, 0);
    grid->addWidget(m_timeout = Edit(SessionsPage::TIMEOUT_SECONDS, this), 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("seconds of inactivity"), this), 0, 2);
    grid->addWidget(m_limit = Check(SessionsPage::LIMIT, "Limit number of concurrent sessions to", this), 1, 0);
    grid->addWidget(m_count = Edit(SessionsPage::LIMIT_COUNT, this), 1, 1);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(2, 1);
  }
  void LoadControls() override {
    m_timeOut->setChecked(m_logic.timeOut);
    m_timeout->setText(QString::number(m_logic.timeout));
    m_limit->setChecked(m_logic.limit);
    m_count->setText(QString::number(m_logic.sessionLimit));
  }
  bool StoreControls() override {
    if (!ReadNumber(this, m_timeout, SessionsPage::TIMEOUT_SECONDS, 0, 0xFFFFFFFFu, &m_logic.timeout, m_prompter) ||
        !ReadNumber(this, m_count, SessionsPage::LIMIT_COUNT, 0, 0xFFFFFFFFu, &m_logic.sessionLimit, m_prompter))
      return false;
    m_logic.timeOut = m_timeOut->isChecked();
    m_logic.limit = m_limit->isChecked();
    return true;
  }

 private:
  SessionsPage& m_logic;
  Prompter& m_prompter;
  QCheckBox *m_timeOut, *m_limit;
  QLineEdit *m_timeout, *m_count;
};

// ---- Non-proxy requests ---------------------------------------------------------------------------

class NonProxyWidget : public TabPage {
 public:
  NonProxyWidget(NonProxyPage& logic, Prompter& prompter)
      : TabPage(QStringLiteral("Non-proxy Requests")), m_logic(logic), m_prompter(prompter) {
    auto* grid = new QGridLayout(this);
    m_group = new QButtonGroup(this);
    grid->addWidget(Radio(m_group, NonProxyPage::REJECT, 0, "Reject request", this), 0, 0, 1, 4);
    grid->addWidget(Radio(m_group, NonProxyPage::PIPE, 1, "Pipe request through to predetermined server", this), 1, 0,
                    1, 4);
    grid->addWidget(new QLabel(QStringLiteral("Server"), this), 2, 1);
    grid->addWidget(m_host = Edit(NonProxyPage::HOST, this), 2, 2);
    grid->addWidget(new QLabel(QStringLiteral("Port"), this), 3, 1);
    grid->addWidget(m_port = Edit(NonProxyPage::PORT, this), 3, 2);
    grid->addWidget(m_cache = Check(NonProxyPage::CACHE, "Cache non-proxy requests", this), 4, 1, 1, 2);
    grid->addWidget(m_prepend = Check(NonProxyPage::PREPEND, "Prepend resource with:", this), 5, 1);
    grid->addWidget(m_prependInfo = Edit(NonProxyPage::PREPEND_INFO, this), 5, 2);
    grid->addWidget(Radio(m_group, NonProxyPage::REDIRECT, 2, "Redirect client to predetermined location", this), 6, 0,
                    1, 4);
    grid->addWidget(Label(NonProxyPage::REDIRECT_LABEL, "URL:", this), 7, 1);
    grid->addWidget(m_url = Edit(NonProxyPage::URL, this), 7, 2);
    grid->addWidget(Radio(m_group, NonProxyPage::SERVE, 3, "Serve request", this), 8, 0, 1, 2);
    auto* web = Named(new QPushButton(QStringLiteral("Web Server Settings"), this), NonProxyPage::WEB_SERVER);
    web->setAutoDefault(false);
    grid->addWidget(web, 8, 2, Qt::AlignLeft);
    grid->setColumnMinimumWidth(0, 20);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(9, 1);
    connect(m_group, &QButtonGroup::idClicked, this, [this](int value) {
      m_logic.action = static_cast<uint32_t>(value);
      ApplyStates(this, m_logic.States());
    });
    connect(web, &QPushButton::clicked, this, [this] {
      WebServerSettingsDialog dlg(m_logic, this);
      dlg.exec();
    });
  }
  void LoadControls() override {
    m_group->button(static_cast<int>(m_logic.action))->setChecked(true);
    m_host->setText(Q(m_logic.host));
    m_port->setText(QString::number(m_logic.port));
    m_cache->setChecked(m_logic.cache);
    m_prepend->setChecked(m_logic.prepend);
    m_prependInfo->setText(Q(m_logic.prependInfo));
    m_url->setText(Q(m_logic.url));
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    if (!ReadNumber(this, m_port, NonProxyPage::PORT, 0, 65535, &m_logic.port, m_prompter)) return false;
    m_logic.action = static_cast<uint32_t>(m_group->checkedId());
    m_logic.host = S(m_host->text());
    m_logic.cache = m_cache->isChecked();
    m_logic.prepend = m_prepend->isChecked();
    m_logic.prependInfo = S(m_prependInfo->text());
    m_logic.url = S(m_url->text());
    return true;
  }

 private:
  NonProxyPage& m_logic;
  Prompter& m_prompter;
  QButtonGroup* m_group;
  QLineEdit *m_host, *m_port, *m_prependInfo, *m_url;
  QCheckBox *m_cache, *m_prepend;
};

// ---- Connection -----------------------------------------------------------------------------------

class ConnectionWidget : public TabPage {
 public:
  ConnectionWidget(ConnectionPage& logic, Prompter& prompter)
      : TabPage(QStringLiteral("Connection")), m_logic(logic), m_prompter(prompter) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Connections to servers are made:"), this));
    m_group = new QButtonGroup(this);
    layout->addWidget(Radio(m_group, ConnectionPage::DIRECT, 0, "Directly", this));
    layout->addWidget(Radio(m_group, ConnectionPage::CASCADED, 1, "Through cascaded proxy server", this));
    layout->addWidget(Radio(m_group, ConnectionPage::SOCKS4, 2, "Through SOCKS4 server", this));
    layout->addWidget(Radio(m_group, ConnectionPage::TUNNEL, 4, "Through HTTP proxy with SSL tunneling support", this));
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Server"), m_server = Edit(ConnectionPage::SERVER, this));
    form->addRow(QStringLiteral("Port"), m_port = Edit(ConnectionPage::PORT, this));
    form->addRow(QStringLiteral("SOCKS4 Password"), m_password = Edit(ConnectionPage::SOCKS4_PASSWORD, this));
    layout->addLayout(form);
    layout->addWidget(m_bypass = Check(ConnectionPage::BYPASS, "Bypass proxy for local sites (pingable sites)", this));
    layout->addStretch(1);
    connect(m_group, &QButtonGroup::idClicked, this, [this](int value) {
      m_logic.method = static_cast<uint32_t>(value);
      ApplyStates(this, m_logic.States());
    });
  }
  void LoadControls() override {
    if (QAbstractButton* b = m_group->button(static_cast<int>(m_logic.method))) b->setChecked(true);
    m_server->setText(Q(m_logic.server));
    m_port->setText(QString::number(m_logic.port));
    m_password->setText(Q(m_logic.socks4Password));
    m_bypass->setChecked(m_logic.bypass);
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    const uint32_t method = static_cast<uint32_t>(m_group->checkedId());
    // An upstream needs a real port; going direct leaves it unused.
    const uint64_t min = method == CONNECT_DIRECT ? 0 : 1;
    if (!ReadNumber(this, m_port, ConnectionPage::PORT, min, 65535, &m_logic.port, m_prompter)) return false;
    m_logic.method = method;
    m_logic.server = S(m_server->text());
    m_logic.socks4Password = S(m_password->text());
    m_logic.bypass = m_bypass->isChecked();
    return true;
  }

 private:
  ConnectionPage& m_logic;
  Prompter& m_prompter;
  QButtonGroup* m_group;
  QLineEdit *m_server, *m_port, *m_password;
  QCheckBox* m_bypass;
};

// ---- Policies -------------------------------------------------------------------------------------

class PoliciesWidget : public TabPage {
 public:
  // The user database that decides each recipient's picture (none: no pictures).
  const CGroupMemberDatabase* users = nullptr;
  PoliciesWidget(PoliciesPage& logic, RecipientDialogs* recipients)
      : TabPage(QStringLiteral("Policies")), m_logic(logic), m_recipients(recipients) {
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Right"), m_right = Named(new QComboBox(this), PoliciesPage::RIGHT));
    layout->addLayout(form);
    layout->addWidget(new QLabel(QStringLiteral("Is granted to:"), this));
    m_list = Named(new QTreeWidget(this), PoliciesPage::LIST);
    m_list->setRootIsDecorated(false);
    m_list->setHeaderLabels({QStringLiteral("Recipient"), QStringLiteral("Rights")});
    layout->addWidget(m_list, 1);
    auto* buttons = new QHBoxLayout;
    auto* add = Named(new QPushButton(QStringLiteral("&Add"), this), PoliciesPage::ADD);
    auto* remove = Named(new QPushButton(QStringLiteral("&Remove"), this), PoliciesPage::REMOVE);
    for (QPushButton* b : {add, remove}) {
      b->setAutoDefault(false);
      buttons->addWidget(b);
    }
    buttons->addStretch(1);
    layout->addLayout(buttons);
    auto* modeForm = new QFormLayout;
    m_mode = Named(new QComboBox(this), PoliciesPage::MODE);
    m_mode->addItems(
        {QStringLiteral("are ignored"), QStringLiteral("may be used instead"), QStringLiteral("MUST also be granted")});
    modeForm->addRow(QStringLiteral("Default rights (System policies)"), m_mode);
    layout->addLayout(modeForm);
    connect(m_right, &QComboBox::activated, this, [this](int index) {
      m_logic.selected = static_cast<size_t>(index);
      Refill();
    });
    connect(m_mode, &QComboBox::activated, this, [this](int index) { m_logic.SetMode(index); });
    connect(remove, &QPushButton::clicked, this, [this] {
      if (QTreeWidgetItem* item = m_list->currentItem()) {
        m_logic.Remove(static_cast<size_t>(m_list->indexOfTopLevelItem(item)));
        Refill();
      }
    });
    connect(add, &QPushButton::clicked, this, [this] {
      if (!m_recipients) return;
      if (auto r = m_recipients->EditRecipient(nullptr, m_logic.ServiceKind(), m_logic.SelectedType())) {
        m_logic.Add(std::move(r));
        Refill();
      }
    });
    connect(m_list, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
      const int row = m_list->indexOfTopLevelItem(item);
      auto existing = row < 0 ? nullptr : m_logic.Recipient(static_cast<size_t>(row));
      if (!m_recipients || !existing) return;
      if (auto r = m_recipients->EditRecipient(existing.get(), m_logic.ServiceKind(), m_logic.SelectedType())) {
        m_logic.Replace(static_cast<size_t>(row), std::move(r));
        Refill();
      }
    });
  }
  void LoadControls() override {
    m_right->clear();
    for (const CString& name : m_logic.RightNames()) m_right->addItem(Q(name));
    m_right->setCurrentIndex(static_cast<int>(m_logic.selected));
    Refill();
  }

 private:
  void Refill() {
    m_list->clear();
    for (const PoliciesPage::Row& r : m_logic.Rows()) {
      auto* row = new QTreeWidgetItem(m_list, {Q(r.recipient), Q(r.rights)});
      if (users) row->setIcon(0, TreeImages()[AccountImage(*users, r.recipient)]);
    }
    for (auto [column, width] : {std::pair{0, 90}, std::pair{1, 170}}) {
      m_list->resizeColumnToContents(column);
      m_list->setColumnWidth(column, std::max(width, m_list->columnWidth(column) + 8));
    }
    m_mode->setCurrentIndex(m_logic.Mode());
    ApplyStates(this, m_logic.States());
  }
  PoliciesPage& m_logic;
  RecipientDialogs* m_recipients;
  QComboBox *m_right, *m_mode;
  QTreeWidget* m_list;
};

// ---- Logging --------------------------------------------------------------------------------------

TabPage* NewLoggingWidget(LoggingPage& logic) {
  const char* texts[] = {"Configuration changes",
                         "Authorisation failures",
                         "Session creation",
                         "Request details",
                         "Session traffic",
                         "Session termination",
                         "Service start / stop",
                         "Errors",
                         "Debug"};
  LogOptionsForm form{
      LoggingPage::OFF, "Do not log events for this service", LoggingPage::ON, "Log these events", {}, 5};
  int n = 0;
  for (const auto& [id, bit] : LoggingPage::kBits) form.checks.push_back({id, bit, texts[n++]});
  return new LogOptionsWidget(
      logic.enabled, logic.options, [&logic] { return logic.States(); }, form);
}

}  // namespace

// ---- Web Server Settings --------------------------------------------------------------------------

WebServerSettingsDialog::WebServerSettingsDialog(NonProxyPage& page, QWidget* parent) : QDialog(parent), m_page(page) {
  setObjectName("WebServerSettings");
  setWindowTitle(QStringLiteral("Web Server Settings"));
  auto* form = new QFormLayout(this);
  form->addRow(QStringLiteral("Server root directory"), m_root = Edit(1250, this));
  form->addRow(QStringLiteral("Default filename"), m_file = Edit(1249, this));
  form->addRow(m_browse = Check(1251, "Permit directory browsing", this));
  form->addRow(m_cgi = Check(1253, "Enable CGI Interface (NPH Only)", this));
  form->addRow(QStringLiteral("CGI Directory"), m_cgiRoot = Edit(1252, this));
  form->addRow(QStringLiteral("CGI URL Prefix"), m_cgiLabel = Edit(1254, this));
  form->addRow(OkCancel(this, true));
  m_root->setText(Q(page.serverRoot));
  m_file->setText(Q(page.defaultFilename));
  m_browse->setChecked(page.browsing);
  m_cgi->setChecked(page.cgi);
  m_cgiRoot->setText(Q(page.cgiRoot));
  m_cgiLabel->setText(Q(page.cgiLabel));
  resize(sizeHint().expandedTo(QSize(460, 0)));
}

void WebServerSettingsDialog::accept() {
  m_page.serverRoot = S(m_root->text());
  m_page.defaultFilename = S(m_file->text());
  m_page.browsing = m_browse->isChecked();
  m_page.cgi = m_cgi->isChecked();
  m_page.cgiRoot = S(m_cgiRoot->text());
  m_page.cgiLabel = S(m_cgiLabel->text());
  QDialog::accept();
}

// ---- Sheet ----------------------------------------------------------------------------------------

EditServiceDialog::EditServiceDialog(std::unique_ptr<EditServiceSheet> logic, Prompter& prompter, QWidget* parent,
                                     RecipientDialogs* recipients)
    : SheetDialog(QString(), parent), m_logic(std::move(logic)), m_prompter(prompter) {
  setObjectName("EditServiceSheet");
  setWindowTitle(Q(m_logic->Title()));
  setWindowIcon(TreeImages()[LIST_IMAGE_SERVICE]);
  for (int id : m_logic->Pages()) {
    TabPage* page = nullptr;
    switch (id) {
      case SERVICE_PAGE_GENERAL: page = new GeneralWidget(m_logic->general, prompter); break;
      case SERVICE_PAGE_BINDINGS: page = new BindingsWidget(m_logic->bindings, prompter); break;
      case SERVICE_PAGE_INTERFACES: page = new InterfacesWidget(m_logic->interfaces); break;
      case SERVICE_PAGE_SESSIONS: page = new SessionsWidget(m_logic->sessions, prompter); break;
      case SERVICE_PAGE_NON_PROXY: page = new NonProxyWidget(m_logic->nonProxy, prompter); break;
      case SERVICE_PAGE_CONNECTION: page = new ConnectionWidget(m_logic->connection, prompter); break;
      case SERVICE_PAGE_POLICIES:
        page = new PoliciesWidget(m_logic->policies, recipients);
        static_cast<PoliciesWidget*>(page)->users = m_logic->Client().Mirrors().users.get();
        break;
      case SERVICE_PAGE_LOGGING: page = NewLoggingWidget(m_logic->logging); break;
      case SERVICE_PAGE_MAPPINGS:
        page = NewMappingsWidget(m_logic->mappings, MappingContextOf(m_logic->Client()), prompter);
        break;
      case SERVICE_PAGE_SOCKS: page = NewSOCKSAdvancedWidget(m_logic->socks); break;
      case SERVICE_PAGE_ENCRYPTION: page = NewEncryptionWidget(m_logic->encryption); break;

      case SERVICE_PAGE_DHCP_MODE: page = NewDHCPModeWidget(*m_logic->dhcpMode); break;
      case SERVICE_PAGE_DHCP_SETTINGS: page = new DHCPSettingsWidget(*m_logic->dhcpSettings, prompter); break;
      default: break;  // pages not part of this console yet
    }
    if (!page) continue;
    page->setObjectName(QStringLiteral("page%1").arg(id));
    Sheet()->AddPage(page);
    m_tabPages.push_back(id);
  }
}

EditServiceDialog::~EditServiceDialog() = default;

int EditServiceDialog::TabOf(int pageId) const {
  for (size_t i = 0; i < m_tabPages.size(); ++i)
    if (m_tabPages[i] == pageId) return static_cast<int>(i);
  return -1;
}

void EditServiceDialog::accept() {
  if (!Sheet()->Accept()) return;
  const int refused = m_logic->Ok(m_prompter);
  if (refused > 0) {
    Sheet()->ShowRefused(TabOf(refused));
    return;
  }
  QDialog::accept();
}
