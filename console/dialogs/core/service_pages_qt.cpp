#include "console/dialogs/core/service_pages_qt.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"

namespace {

// ---- SOCKS Advanced -------------------------------------------------------------------------------

class SOCKSAdvancedWidget : public TabPage {
 public:
  explicit SOCKSAdvancedWidget(SOCKSAdvancedPage& logic) : TabPage(QStringLiteral("SOCKS Advanced")), m_logic(logic) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_refer = Check(SOCKSAdvancedPage::REFER, "Refer HTTP requests to caching HTTP Server", this));
    auto* referred = new QGridLayout;
    referred->setColumnMinimumWidth(0, 20);
    referred->addWidget(m_cache = Check(SOCKSAdvancedPage::CACHE, "Allow caching of referred HTTP requests", this), 0,
                        1, 1, 2);
    m_group = new QButtonGroup(this);
    referred->addWidget(Radio(m_group, SOCKSAdvancedPage::OWN_POLICY, 0, "Use this server's access policy", this), 1, 1,
                        1, 2);
    referred->addWidget(Radio(m_group, SOCKSAdvancedPage::USE_POLICY, 1, "Use following policy", this), 2, 1);
    m_policy = Named(new QComboBox(this), SOCKSAdvancedPage::POLICY);
    m_policy->setMinimumWidth(200);
    referred->addWidget(m_policy, 2, 2);
    referred->setColumnStretch(3, 1);
    layout->addLayout(referred);
    layout->addWidget(m_reverse =
                          Check(SOCKSAdvancedPage::REVERSE, "Perform reverse name lookup for IP requests", this));
    layout->addWidget(m_rfc1929 =
                          Check(SOCKSAdvancedPage::RFC1929, "Use RFC1929 (Cleartext) authentication for SOCKS5", this));
    layout->addStretch(1);
    connect(m_refer, &QCheckBox::toggled, this, [this](bool on) {
      m_logic.refer = on;
      ApplyStates(this, m_logic.States());
    });
    connect(m_group, &QButtonGroup::idClicked, this, [this](int value) {
      m_logic.useSpecified = static_cast<uint32_t>(value);
      ApplyStates(this, m_logic.States());
    });
  }
  void LoadControls() override {
    m_refer->setChecked(m_logic.refer);
    m_cache->setChecked(m_logic.cache);
    m_group->button(m_logic.useSpecified == 1 ? 1 : 0)->setChecked(true);
    m_policy->clear();
    for (const CString& name : m_logic.wwwServices) m_policy->addItem(Q(name));
    // A stored name no WWW service holds (any longer) still shows, so OK does not drop it unseen.
    if (!m_logic.policy.empty() && m_policy->findText(Q(m_logic.policy)) < 0) m_policy->addItem(Q(m_logic.policy));
    m_policy->setCurrentIndex(m_logic.policy.empty() ? -1 : m_policy->findText(Q(m_logic.policy)));
    m_reverse->setChecked(m_logic.reverse);
    m_rfc1929->setChecked(m_logic.rfc1929);
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    m_logic.refer = m_refer->isChecked();
    m_logic.cache = m_cache->isChecked();
    m_logic.useSpecified = m_group->checkedId() == 1 ? 1 : 0;
    m_logic.policy = S(m_policy->currentText());
    m_logic.reverse = m_reverse->isChecked();
    m_logic.rfc1929 = m_rfc1929->isChecked();
    return true;
  }

 private:
  SOCKSAdvancedPage& m_logic;
  QCheckBox *m_refer, *m_cache, *m_reverse, *m_rfc1929;
  QButtonGroup* m_group;
  QComboBox* m_policy;
};

// ---- Encryption -----------------------------------------------------------------------------------

class EncryptionWidget : public TabPage {
 public:
  explicit EncryptionWidget(EncryptionPage& logic) : TabPage(QStringLiteral("Encryption")), m_logic(logic) {
    auto* layout = new QVBoxLayout(this);
    auto* in = new QGroupBox(QStringLiteral("Connections to Trellis"), this);
    auto* inGrid = new QGridLayout(in);
    inGrid->addWidget(
        m_encryptIn = Check(EncryptionPage::ENCRYPT_IN, "Connections to this service must be encrypted", in), 0, 0, 1,
        3);
    m_group = new QButtonGroup(this);
    inGrid->addWidget(Radio(m_group, EncryptionPage::ANY_USER, 0, "Use any user account in user database", in), 1, 0, 1,
                      3);
    inGrid->addWidget(Radio(m_group, EncryptionPage::SPECIFIED_USER, 1, "Use specified username and password", in), 2,
                      0, 1, 3);
    inGrid->addWidget(new QLabel(QStringLiteral("Username"), in), 3, 1);
    inGrid->addWidget(m_userIn = Named(new QLineEdit(in), EncryptionPage::USER_IN), 3, 2);
    inGrid->addWidget(new QLabel(QStringLiteral("Password"), in), 4, 1);
    inGrid->addWidget(m_passwordIn = Named(new QLineEdit(in), EncryptionPage::PASSWORD_IN), 4, 2);
    inGrid->setColumnMinimumWidth(0, 20);
    inGrid->setColumnStretch(2, 1);
    layout->addWidget(in);
    auto* out = new QGroupBox(QStringLiteral("Connections Out of Trellis"), this);
    auto* outGrid = new QGridLayout(out);
    outGrid->addWidget(
        m_encryptOut = Check(EncryptionPage::ENCRYPT_OUT, "Encrypt connections made by this service", out), 0, 0, 1, 3);
    outGrid->addWidget(new QLabel(QStringLiteral("Username"), out), 1, 1);
    outGrid->addWidget(m_userOut = Named(new QLineEdit(out), EncryptionPage::USER_OUT), 1, 2);
    outGrid->addWidget(new QLabel(QStringLiteral("Password"), out), 2, 1);
    outGrid->addWidget(m_passwordOut = Named(new QLineEdit(out), EncryptionPage::PASSWORD_OUT), 2, 2);
    outGrid->setColumnMinimumWidth(0, 20);
    outGrid->setColumnStretch(2, 1);
    layout->addWidget(out);
    layout->addStretch(1);
    for (QLineEdit* e : {m_passwordIn, m_passwordOut}) e->setEchoMode(QLineEdit::Password);
    connect(m_encryptIn, &QCheckBox::toggled, this, [this](bool on) {
      m_logic.encryptIn = on;
      ApplyStates(this, m_logic.States());
    });
    connect(m_encryptOut, &QCheckBox::toggled, this, [this](bool on) {
      m_logic.encryptOut = on;
      ApplyStates(this, m_logic.States());
    });
    connect(m_group, &QButtonGroup::idClicked, this, [this](int value) {
      m_logic.specifyUser = static_cast<uint32_t>(value);
      ApplyStates(this, m_logic.States());
    });
  }
  void LoadControls() override {
    m_encryptIn->setChecked(m_logic.encryptIn);
    m_group->button(m_logic.specifyUser == 1 ? 1 : 0)->setChecked(true);
    m_userIn->setText(Q(m_logic.userIn));
    m_passwordIn->setText(Q(m_logic.passwordIn));
    m_encryptOut->setChecked(m_logic.encryptOut);
    m_userOut->setText(Q(m_logic.userOut));
    m_passwordOut->setText(Q(m_logic.passwordOut));
    ApplyStates(this, m_logic.States());
  }
  bool StoreControls() override {
    m_logic.encryptIn = m_encryptIn->isChecked();
    m_logic.specifyUser = m_group->checkedId() == 1 ? 1 : 0;
    m_logic.userIn = S(m_userIn->text());
    m_logic.passwordIn = S(m_passwordIn->text());
    m_logic.encryptOut = m_encryptOut->isChecked();
    m_logic.userOut = S(m_userOut->text());
    m_logic.passwordOut = S(m_passwordOut->text());
    return true;
  }

 private:
  EncryptionPage& m_logic;
  QCheckBox *m_encryptIn, *m_encryptOut;
  QButtonGroup* m_group;
  QLineEdit *m_userIn, *m_passwordIn, *m_userOut, *m_passwordOut;
};

}  // namespace

TabPage* NewSOCKSAdvancedWidget(SOCKSAdvancedPage& logic) { return new SOCKSAdvancedWidget(logic); }
TabPage* NewEncryptionWidget(EncryptionPage& logic) { return new EncryptionWidget(logic); }
