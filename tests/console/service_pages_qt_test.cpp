// The service sheet's class pages with Qt Test, headless (offscreen): the General page of POP3,
// DNS, DHCP and Telnet services (only the class's controls shown, the delimiter refused through
// the controls, the public-addresses warning on a click), SOCKS Advanced and Encryption clicked
// through their tables, and OK through the controls into the mirror. Under Xvfb
// (LOOKOUT_SCREENSHOTS set) each of these pages is saved as a PNG.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QtTest/QtTest>

#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/core/service_sheet_qt.h"
#include "console/model/lookout_client.h"
#include "engine/netsvc/dhcp/dhcp_settings.h"
#include "engine/netsvc/dns/dns_settings.h"
#include "engine/proxy/mapping/mapping_settings.h"
#include "engine/proxy/pop3/pop3_settings.h"
#include "engine/proxy/socks/socks_settings.h"
#include "engine/proxy/telnet/telnet_settings.h"
#include "engine/proxy/www/www_settings.h"
#include "tests/console/console_harness.h"
#include "tests/console/console_qt_harness.h"

using namespace trellis::test;

class ServicePagesQtTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup() { client.reset(); }
  void theGeneralPageShowsItsClassesControlsAndChecksThem();
  void theSOCKSAdvancedPageFollowsItsClicksAndWrites();
  void theEncryptionPageFollowsItsClicksAndWrites();

 private:
  template <class T>
  std::shared_ptr<T> Add(const CString& name) {
    auto s = std::make_shared<T>();
    s->SetName(name);
    s->PortNumber = 4000;
    auto b = std::make_shared<CBinding>();
    b->m_interface = CInterface(INTERFACE_IP, "192.168.1.1");
    s->BindingOption = BINDING_LIST;
    s->Bindings.SetAt("192.168.1.1", b);
    client->EditMirrors().services->SetAt(name, s);
    return s;
  }
  // The sheet shown at a size that fits every page.
  void Show(EditServiceDialog& sheet) {
    sheet.resize(sheet.sizeHint().expandedTo(QSize(560, 440)));
    sheet.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sheet));
  }
  QWidget* Page(EditServiceDialog& sheet, int id) { return sheet.Sheet()->GetPage(sheet.TabOf(id)); }
  void PressOk(EditServiceDialog& sheet) { QTest::mouseClick(sheet.findChild<QPushButton*>("IDOK"), Qt::LeftButton); }

  trellis::test::TestLoop loop;
  trellis::test::RecordingUi ui;
  std::unique_ptr<CLookoutClient> client;
  RecordingPrompter prompter;
};

void ServicePagesQtTest::init() {
  client = std::make_unique<CLookoutClient>(ui, loop.Poster());
  auto lan = std::make_shared<CInterface>(INTERFACE_IP, "192.168.1.1");
  lan->m_lan = 1;
  client->EditMirrors().interfaces->SetAt("192.168.1.1", lan);
  prompter.boxes.clear();
}

void ServicePagesQtTest::theGeneralPageShowsItsClassesControlsAndChecksThem() {
  Add<CPOP3ServiceSettings>("POP3 gateway");
  Add<CDNSServiceSettings>("DNS relay");
  Add<CDHCPServiceSettings>("DHCP server");
  Add<CTelnetServiceSettings>("Telnet gateway");
  // name -> the class controls that show: delimiter (1069, 1093), 1211, 1345, 1307 (and 1346, 1347)
  struct Row {
    const char* name;
    const char* shot;
    std::vector<int> shown;
  };
  const std::vector<int> all = {1069, 1093, 1211, 1345, 1306, 1307, 1346, 1347, 1191, 1074, 1070};
  for (const Row& r :
       {Row{"POP3 gateway", "service-pop3-general.png", {1069, 1093}},
        Row{"DNS relay", "service-dns-general.png", {1211}}, Row{"DHCP server", "service-dhcp-general.png", {1345}},
        Row{"Telnet gateway", "service-telnet-general.png", {1307, 1346, 1347}}}) {
    EditServiceDialog sheet(std::make_unique<EditServiceSheet>(*client, r.name), prompter);
    Show(sheet);
    QWidget* general = Page(sheet, SERVICE_PAGE_GENERAL);
    for (int id : all) {
      const bool want = std::find(r.shown.begin(), r.shown.end(), id) != r.shown.end();
      QVERIFY2(Ctl(general, id), qPrintable(QString("%1 %2").arg(r.name).arg(id)));
      QVERIFY2(Ctl(general, id)->isVisible() == want, qPrintable(QString("%1 %2").arg(r.name).arg(id)));
    }
    Screenshot(&sheet, r.shot);
    sheet.reject();
  }

  // POP3: the delimiter is typed; a ":" keeps the sheet open with the text, "%" is written.
  {
    EditServiceDialog sheet(std::make_unique<EditServiceSheet>(*client, "POP3 gateway"), prompter);
    Show(sheet);
    QWidget* general = Page(sheet, SERVICE_PAGE_GENERAL);
    auto* delimiter = Ctl<QLineEdit>(general, GeneralPage::DELIMITER);
    QCOMPARE(delimiter->text(), QString("#"));
    QCOMPARE(delimiter->maxLength(), 1);
    delimiter->setText(":");
    PressOk(sheet);
    QVERIFY(sheet.isVisible());
    QCOMPARE(prompter.boxes.back(), CString(kTitleInvalidSetting) + "|" + kTextBadDelimiter);
    delimiter->setText("%");
    PressOk(sheet);
    QVERIFY(!sheet.isVisible());
    QCOMPARE(client->Mirrors().services->LookupAs<CPOP3ServiceSettings>("POP3 gateway")->Delimiter, uint32_t('%'));
  }
  // DHCP: checking 1345 warns, clearing it does not.
  {
    EditServiceDialog sheet(std::make_unique<EditServiceSheet>(*client, "DHCP server"), prompter);
    Show(sheet);
    QWidget* general = Page(sheet, SERVICE_PAGE_GENERAL);
    const size_t boxes = prompter.boxes.size();
    Click(Ctl(general, GeneralPage::PUBLIC_IPS));
    QCOMPARE(prompter.boxes.size(), boxes + 1);
    QCOMPARE(prompter.boxes.back(), CString("Warning|") + kTextPublicIPs);
    Click(Ctl(general, GeneralPage::PUBLIC_IPS));
    Click(Ctl(general, GeneralPage::PUBLIC_IPS));
    QCOMPARE(prompter.boxes.size(), boxes + 2);
    PressOk(sheet);
    QVERIFY(!sheet.isVisible());
    QCOMPARE(client->Mirrors().services->LookupAs<CDHCPServiceSettings>("DHCP server")->AllowAllocatePublicIPs, 1u);
  }
  // Telnet and DNS: their values through the controls.
  {
    EditServiceDialog sheet(std::make_unique<EditServiceSheet>(*client, "Telnet gateway"), prompter);
    Show(sheet);
    QWidget* general = Page(sheet, SERVICE_PAGE_GENERAL);
    QCOMPARE(Ctl<QLineEdit>(general, GeneralPage::PROMPT)->text(), QString("Trellis>"));
    Ctl<QLineEdit>(general, GeneralPage::PROMPT)->setText("gw>");
    Click(Ctl(general, GeneralPage::LOGIN));
    PressOk(sheet);
    QVERIFY(!sheet.isVisible());
    auto t = client->Mirrors().services->LookupAs<CTelnetServiceSettings>("Telnet gateway");
    QCOMPARE(t->Prompt, CString("gw>"));
    QCOMPARE(t->EnableLogin, 0u);
  }
  {
    EditServiceDialog sheet(std::make_unique<EditServiceSheet>(*client, "DNS relay"), prompter);
    Show(sheet);
    Click(Ctl(Page(sheet, SERVICE_PAGE_GENERAL), GeneralPage::AUTODIAL));
    PressOk(sheet);
    QVERIFY(!sheet.isVisible());
    QCOMPARE(client->Mirrors().services->LookupAs<CDNSServiceSettings>("DNS relay")->AllowAutodial, 0u);
  }
}

void ServicePagesQtTest::theSOCKSAdvancedPageFollowsItsClicksAndWrites() {
  auto www = std::make_shared<CWWWServiceSettings>();
  www->SetName("WWW Proxy server");
  client->EditMirrors().services->SetAt(www->GetName(), www);
  Add<CSOCKSServiceSettings>("SOCKS server");
  EditServiceDialog sheet(std::make_unique<EditServiceSheet>(*client, "SOCKS server"), prompter);
  QStringList tabs;
  for (int i = 0; i < sheet.Sheet()->PageCount(); ++i) tabs << sheet.Sheet()->Bar()->tabText(i);
  QCOMPARE(tabs,
           QStringList({"General", "Bindings", "Interfaces", "SOCKS Advanced", "Sessions", "Policies", "Logging"}));
  Show(sheet);
  QVERIFY(sheet.Sheet()->SetActivePage(sheet.TabOf(SERVICE_PAGE_SOCKS)));
  QWidget* p = Page(sheet, SERVICE_PAGE_SOCKS);
  for (int id : {1182, 1183, 1184, 1185, 1188, 1186, 1187}) QVERIFY2(Ctl(p, id), qPrintable(QString::number(id)));
  auto* combo = Ctl<QComboBox>(p, SOCKSAdvancedPage::POLICY);
  QCOMPARE(combo->count(), 1);
  QCOMPARE(combo->itemText(0), QString("WWW Proxy server"));
  // Referring (the default): the cache switch and the radios on, the combo only with 1185.
  QVERIFY(Ctl<QCheckBox>(p, SOCKSAdvancedPage::REFER)->isChecked());
  QVERIFY(Ctl(p, 1183)->isEnabled());
  QVERIFY(!Ctl(p, 1188)->isEnabled());
  Click(Ctl(p, SOCKSAdvancedPage::USE_POLICY));
  QVERIFY(Ctl(p, 1188)->isEnabled());
  Screenshot(&sheet, "service-socks-advanced.png");
  Click(Ctl(p, SOCKSAdvancedPage::REFER));
  for (int id : {1183, 1184, 1185, 1188}) QVERIFY2(!Ctl(p, id)->isEnabled(), qPrintable(QString::number(id)));
  QVERIFY(Ctl(p, 1186)->isEnabled());
  Click(Ctl(p, SOCKSAdvancedPage::REFER));
  // "Use following policy" with nothing chosen is refused through the sheet's OK.
  combo->setCurrentIndex(-1);
  PressOk(sheet);
  QVERIFY(sheet.isVisible());
  QCOMPARE(prompter.boxes.back(), CString(kTitleInvalidSetting) + "|" + kTextNoPolicyService);
  combo->setCurrentIndex(0);
  Click(Ctl(p, SOCKSAdvancedPage::RFC1929));
  Click(Ctl(p, SOCKSAdvancedPage::REVERSE));
  Click(Ctl(p, SOCKSAdvancedPage::CACHE));
  PressOk(sheet);
  QVERIFY(!sheet.isVisible());
  auto s = client->Mirrors().services->LookupAs<CSOCKSServiceSettings>("SOCKS server");
  QCOMPARE(s->UseSpecifiedPolicy, 1u);
  QCOMPARE(s->HTTPPolicy, CString("WWW Proxy server"));
  QCOMPARE(s->UseRFC1929, 1u);
  QCOMPARE(s->DoReverseLookups, 1u);
  QCOMPARE(s->CacheReferredHTTPRequests, 0u);
  QCOMPARE(s->ReferHTTPRequests, 1u);
}

void ServicePagesQtTest::theEncryptionPageFollowsItsClicksAndWrites() {
  Add<CTCPMappingServiceSettings>("Database link");
  EditServiceDialog sheet(std::make_unique<EditServiceSheet>(*client, "Database link"), prompter);
  const int tab = sheet.TabOf(SERVICE_PAGE_ENCRYPTION);
  QVERIFY(tab >= 0);
  QCOMPARE(sheet.Sheet()->Bar()->tabText(tab), QString("Encryption"));
  Show(sheet);
  QVERIFY(sheet.Sheet()->SetActivePage(tab));
  QWidget* p = Page(sheet, SERVICE_PAGE_ENCRYPTION);
  // Nothing enciphered: only the two switches.
  for (int id : {1106, 1235, 1209, 1210, 1233, 1234})
    QVERIFY2(!Ctl(p, id)->isEnabled(), qPrintable(QString::number(id)));
  Click(Ctl(p, EncryptionPage::ENCRYPT_IN));
  QVERIFY(Ctl(p, 1106)->isEnabled());
  QVERIFY(Ctl(p, 1235)->isEnabled());
  QVERIFY(!Ctl(p, 1209)->isEnabled());
  Click(Ctl(p, EncryptionPage::SPECIFIED_USER));
  QVERIFY(Ctl(p, 1209)->isEnabled());
  QVERIFY(Ctl(p, 1210)->isEnabled());
  Click(Ctl(p, EncryptionPage::ENCRYPT_OUT));
  QVERIFY(Ctl(p, 1233)->isEnabled());
  QVERIFY(Ctl(p, 1234)->isEnabled());
  QCOMPARE(Ctl<QLineEdit>(p, EncryptionPage::PASSWORD_IN)->echoMode(), QLineEdit::Password);
  Screenshot(&sheet, "service-encryption.png");
  // A link without its user name is refused.
  PressOk(sheet);
  QVERIFY(sheet.isVisible());
  QCOMPARE(prompter.boxes.back(), CString(kTitleInvalidSetting) + "|" + kTextNoUserIn);
  Ctl<QLineEdit>(p, EncryptionPage::USER_IN)->setText("linkuser");
  Ctl<QLineEdit>(p, EncryptionPage::PASSWORD_IN)->setText("in-secret");
  Ctl<QLineEdit>(p, EncryptionPage::USER_OUT)->setText("far");
  Ctl<QLineEdit>(p, EncryptionPage::PASSWORD_OUT)->setText("out-secret");
  PressOk(sheet);
  QVERIFY(!sheet.isVisible());
  auto s = client->Mirrors().services->LookupAs<CTCPMappingServiceSettings>("Database link");
  QCOMPARE(s->EncryptConnectionsIn, 1u);
  QCOMPARE(s->SpecifyUserForIncomingConnection, 1u);
  QCOMPARE(s->UsernameIn, CString("linkuser"));
  QCOMPARE(s->PasswordIn, CString("in-secret"));
  QCOMPARE(s->EncryptConnectionsOut, 1u);
  QCOMPARE(s->UsernameOut, CString("far"));
  QCOMPARE(s->PasswordOut, CString("out-secret"));
}

QTEST_MAIN(ServicePagesQtTest)
#include "service_pages_qt_test.moc"
