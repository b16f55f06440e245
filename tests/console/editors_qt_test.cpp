// The user and group editors' windows with Qt Test, headless (offscreen): every control of the
// Edit User sheet by its id, the rules as the operator clicks, a field that does not parse keeping
// its page, Enter never closing the sheet, OK through the controls into the mirror, and the group
// dialog's moves. Under Xvfb (LOOKOUT_SCREENSHOTS set) each page and dialog is saved as a PNG.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <deque>

#include "console/dialogs/access/user_sheets.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/core/mapping_editors_qt.h"
#include "console/dialogs/core/service_sheet_qt.h"
#include "console/model/lookout_client.h"
#include "engine/proxy/mapping/mapping_settings.h"
#include "engine/proxy/www/www_settings.h"
#include "tests/console/console_harness.h"
#include "tests/console/console_qt_harness.h"

using namespace trellis::test;

namespace {

struct NoConfirm : UserDialogs {
  std::optional<CString> ConfirmPassword(const CString&) override { return std::nullopt; }
};

// A click on a check box or radio's indicator (a click far right of its text is no click).

}  // namespace

class EditorsQtTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup() { client.reset(); }
  void theEditUserSheetFollowsItsRulesAndWritesThroughItsControls();
  void theGroupDialogMovesUsersAndRefusesATakenName();
  void theServiceSheetFollowsItsRulesAndWritesThroughItsControls();
  void aMappingRuleIsAddedThroughTheMappingSheetAndReachesTheServiceAtOk();

 private:
  trellis::test::TestLoop loop;
  trellis::test::RecordingUi ui;
  std::unique_ptr<CLookoutClient> client;
  RecordingPrompter prompter;
  NoConfirm confirm;
};

void EditorsQtTest::init() {
  client = std::make_unique<CLookoutClient>(ui, loop.Poster());
  auto& db = *client->EditMirrors().users;
  db.CreateBuiltInAccounts(nullptr);
  auto bob = std::make_shared<CUser>("bob", "Bob B", "pw", "a user of the gateway");
  bob->ClientSendTraffic = 1572864;
  bob->ClientSendTrafficRate = CCurrency::FromUnits(10000);
  QVERIFY(db.Add(bob, nullptr));
  prompter.boxes.clear();
}

void EditorsQtTest::theEditUserSheetFollowsItsRulesAndWritesThroughItsControls() {
  EditUserDialog sheet(*client, "bob", prompter, confirm);
  QCOMPARE(sheet.windowTitle(), QString("Properties for user bob"));
  const int ids[] = {1021, 1025, 1020, 1008, 1002, 1019, 1015, 1016, 1043, 1045, 1044, 1045, 1046,
                     1047, 1048, 1049, 1050, 1051, 1052, 1053, 1054, 1055, 1056, 1057, 1058, 1059,
                     1060, 1061, 1062, 1084, 1085, 1090, 1093, 1091, 1089, 1086, 1088, 1092, 1087};
  for (int id : ids) QVERIFY2(FindControl(&sheet, id), qPrintable(QString::number(id)));
  sheet.resize(sheet.sizeHint());
  sheet.show();
  QVERIFY(QTest::qWaitForWindowExposed(&sheet));
  const char* shots[] = {"edit-user-info.png", "edit-user-groups.png", "edit-user-accounting.png",
                         "edit-user-auditing.png"};
  for (int i = 0; i < 4; ++i) {
    QVERIFY(sheet.Sheet()->SetActivePage(i));
    Screenshot(&sheet, shots[i]);
  }
  QVERIFY(sheet.Sheet()->SetActivePage(0));

  QVERIFY(!Ctl(&sheet, 1021)->isEnabled());
  Click(Ctl<QCheckBox>(&sheet, 1016));
  QVERIFY(!Ctl(&sheet, 1015)->isEnabled());
  Click(Ctl<QCheckBox>(&sheet, 1016));
  QVERIFY(Ctl(&sheet, 1015)->isEnabled());

  // Enter in a field is not OK.
  auto* realName = Ctl<QLineEdit>(&sheet, 1025);
  realName->setFocus();
  realName->setText("Robert");
  QTest::keyClick(realName, Qt::Key_Return);
  QVERIFY(sheet.isVisible());

  // A quantity that is not a number keeps the Accounting page.
  QVERIFY(sheet.Sheet()->SetActivePage(2));
  QCOMPARE(Ctl<QLineEdit>(&sheet, 1049)->text(), QString("1.5"));
  Ctl<QLineEdit>(&sheet, 1044)->setText("lots");
  sheet.Sheet()->Bar()->setCurrentIndex(3);
  QCOMPARE(sheet.Sheet()->ActiveIndex(), 2);
  QCOMPARE(prompter.boxes.back(), CString("Lookout|Please enter a positive integer."));
  Ctl<QLineEdit>(&sheet, 1044)->setText("3145728");
  Ctl<QLineEdit>(&sheet, 1044)->editingFinished();
  QCOMPARE(Ctl<QLineEdit>(&sheet, 1049)->text(), QString("3"));

  // Auditing's checks follow the radio.
  sheet.Sheet()->Bar()->setCurrentIndex(3);
  QCOMPARE(sheet.Sheet()->ActiveIndex(), 3);
  QVERIFY(!Ctl(&sheet, 1090)->isEnabled());
  Click(Ctl<QRadioButton>(&sheet, 1085));
  QVERIFY(Ctl(&sheet, 1090)->isEnabled());
  Click(Ctl<QCheckBox>(&sheet, 1090));

  // A password typed twice differently and not confirmed: the sheet stays, the mirror as it was.
  QVERIFY(sheet.Sheet()->SetActivePage(0));
  Ctl<QLineEdit>(&sheet, 1020)->setText("one");
  Ctl<QLineEdit>(&sheet, 1008)->setText("two");
  QTest::mouseClick(sheet.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(sheet.isVisible());
  QCOMPARE(client->Mirrors().users->FindUser("bob")->RealName, CString("Bob B"));

  Ctl<QLineEdit>(&sheet, 1008)->setText("one");
  QTest::mouseClick(sheet.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(!sheet.isVisible());
  auto bob = client->Mirrors().users->FindUser("bob");
  QCOMPARE(bob->RealName, CString("Robert"));
  QCOMPARE(bob->Password, CString("one"));
  QCOMPARE(bob->ClientSendTraffic, uint64_t(3145728));
  QCOMPARE(bob->AuditUser, 1u);
  QCOMPARE(bob->AuditOptions, 1u);

  ConfirmPasswordDialog dlg("typed", prompter, nullptr);
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  Screenshot(&dlg, "confirm-password.png");
  Ctl<QLineEdit>(&dlg, 1024)->setText("other");
  dlg.accept();
  QVERIFY(dlg.isVisible());
  QCOMPARE(prompter.beeps, 1);
  Ctl<QLineEdit>(&dlg, 1024)->setText("typed");
  dlg.accept();
  QVERIFY(!dlg.isVisible());
  QCOMPARE(dlg.Password(), CString("typed"));
}

void EditorsQtTest::theGroupDialogMovesUsersAndRefusesATakenName() {
  GroupEditDialog dlg(*client, "", prompter);
  QCOMPARE(dlg.windowTitle(), QString("New Group"));
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  auto* nonMembers = Ctl<QTreeWidget>(&dlg, 1037);
  auto* members = Ctl<QTreeWidget>(&dlg, 1038);
  QCOMPARE(nonMembers->topLevelItemCount(), 3);  // Administrator, Guest, bob
  QCOMPARE(Ctl<QPushButton>(&dlg, 4)->text(), QString("&Add"));
  QCOMPARE(Ctl<QPushButton>(&dlg, 3)->text(), QString("&Remove"));
  nonMembers->setCurrentItem(nonMembers->findItems("bob", Qt::MatchExactly).value(0));
  QTest::mouseClick(Ctl<QPushButton>(&dlg, 4), Qt::LeftButton);
  QCOMPARE(members->topLevelItemCount(), 1);
  Screenshot(&dlg, "new-group.png");
  Ctl<QLineEdit>(&dlg, 1035)->setText("bob");
  dlg.accept();
  QVERIFY(dlg.isVisible());
  QCOMPARE(prompter.boxes.back(), CString("Lookout|") + kTextGroupNameNotUnique);
  Ctl<QLineEdit>(&dlg, 1035)->setText("staff");
  dlg.accept();
  QVERIFY(!dlg.isVisible());
  QVERIFY(client->Mirrors().users->FindGroup("staff")->HasMember("bob"));

  GroupEditDialog edit(*client, "staff", prompter);
  QCOMPARE(edit.windowTitle(), QString("Edit Group"));
  QVERIFY(!Ctl(&edit, 1035)->isEnabled());
  edit.show();
  QVERIFY(QTest::qWaitForWindowExposed(&edit));
  Screenshot(&edit, "edit-group.png");
}

void EditorsQtTest::theServiceSheetFollowsItsRulesAndWritesThroughItsControls() {
  auto& m = client->EditMirrors();
  m.interfaces->SetAt("127.0.0.1", std::make_shared<CInterface>(INTERFACE_LOOPBACK, "127.0.0.1"));
  auto lan = std::make_shared<CInterface>(INTERFACE_IP, "192.168.1.1");
  m.interfaces->SetAt("192.168.1.1", lan);
  auto www = std::make_shared<CWWWServiceSettings>();
  www->SetName("WWW Proxy server");
  www->SetDescription("the web proxy");
  www->PortNumber = 8080;
  www->ConnectMethodsOffered = 1 | 4;
  www->AccessRights.AddRecipientByName("Users");
  m.services->SetAt(www->GetName(), www);

  EditServiceDialog sheet(std::make_unique<EditServiceSheet>(*client, "WWW Proxy server"), prompter);
  QCOMPARE(sheet.windowTitle(), QString("WWW Proxy server Properties"));
  QStringList tabs;
  for (int i = 0; i < sheet.Sheet()->PageCount(); ++i) tabs << sheet.Sheet()->Bar()->tabText(i);
  QCOMPARE(tabs, QStringList({"General", "Bindings", "Interfaces", "Sessions", "Policies", "Non-proxy Requests",
                              "Connection", "Logging"}));
  // Every control id of each page, looked up in its own page (ids repeat across pages).
  const std::vector<std::pair<int, std::vector<int>>> ids = {
      {SERVICE_PAGE_GENERAL, {1066, 1067, 1071, 1068, 1306}},
      {SERVICE_PAGE_BINDINGS, {1254, 1271, 1256, 1030, 1257, 1259, 1260}},
      {SERVICE_PAGE_INTERFACES, {1261, 1262, 1263, 1030, 1259, 1260}},
      {SERVICE_PAGE_SESSIONS, {1069, 1070, 1071, 1072}},
      {SERVICE_PAGE_POLICIES, {1097, 1043, 1341, 1098, 1099}},
      {SERVICE_PAGE_NON_PROXY, {1071, 1072, 1075, 1079, 1073, 1074, 1078, 1076, 1082, 1083, 1248}},
      {SERVICE_PAGE_CONNECTION, {1221, 1222, 1223, 1224, 1026, 1226, 1225, 1338}},
      {SERVICE_PAGE_LOGGING, {1165, 1166, 1171, 1172, 1167, 1168, 1169, 1170, 1173, 1174, 1176}}};
  auto page = [&](int id) { return sheet.Sheet()->GetPage(sheet.TabOf(id)); };
  for (const auto& [pageId, controls] : ids)
    for (int id : controls) QVERIFY2(FindControl(page(pageId), id), qPrintable(QString("%1 %2").arg(pageId).arg(id)));

  sheet.resize(sheet.sizeHint().expandedTo(QSize(560, 440)));
  sheet.show();
  QVERIFY(QTest::qWaitForWindowExposed(&sheet));
  for (int i = 0; i < sheet.Sheet()->PageCount(); ++i) {
    QVERIFY(sheet.Sheet()->SetActivePage(i));
    Screenshot(&sheet, QString("service-%1.png").arg(sheet.Sheet()->Bar()->tabText(i).toLower().replace(' ', '-')));
  }

  // General: a port out of range keeps the page with the range text.
  QVERIFY(sheet.Sheet()->SetActivePage(0));
  QWidget* general = page(SERVICE_PAGE_GENERAL);
  QVERIFY(!Ctl(general, 1066)->isEnabled());
  Ctl<QLineEdit>(general, 1068)->setText("70000");
  sheet.Sheet()->Bar()->setCurrentIndex(1);
  QCOMPARE(sheet.Sheet()->ActiveIndex(), 0);
  QCOMPARE(prompter.boxes.back(), CString("Lookout|Please enter an integer between 1 and 65535."));
  Ctl<QLineEdit>(general, 1068)->setText("8181");

  // Bindings: the table of the three options, and the warning of "any interface".
  sheet.Sheet()->Bar()->setCurrentIndex(1);
  QWidget* bindings = page(SERVICE_PAGE_BINDINGS);
  Click(Ctl(bindings, 1256));
  QVERIFY(Ctl(bindings, 1259)->isEnabled());
  QVERIFY(!Ctl(bindings, 1030)->isEnabled());
  QVERIFY(!Ctl(bindings, 1257)->isEnabled());
  QVERIFY(Ctl<QCheckBox>(bindings, 1257)->isChecked());
  Click(Ctl(bindings, 1271));
  QVERIFY(!Ctl(bindings, 1259)->isEnabled());
  QVERIFY(Ctl(bindings, 1030)->isEnabled());
  QVERIFY(Ctl(bindings, 1257)->isEnabled());
  QVERIFY(!Ctl<QCheckBox>(bindings, 1257)->isChecked());
  Click(Ctl(bindings, 1254));
  QCOMPARE(prompter.boxes.back(), CString("Lookout|") + kTextBindAny);
  QVERIFY(!Ctl(bindings, 1030)->isEnabled());
  Click(Ctl(bindings, 1271));
  qobject_cast<QComboBox*>(Ctl(bindings, 1030))->setCurrentText("127.0.0.1");

  // Connection: only the offered methods; the server fields follow the choice.
  sheet.Sheet()->Bar()->setCurrentIndex(sheet.TabOf(SERVICE_PAGE_CONNECTION));
  QWidget* conn = page(SERVICE_PAGE_CONNECTION);
  QVERIFY(!Ctl(conn, 1223)->isEnabled());
  QVERIFY(!Ctl(conn, 1026)->isEnabled());
  Click(Ctl(conn, 1224));
  QVERIFY(Ctl(conn, 1026)->isEnabled());
  QVERIFY(!Ctl(conn, 1225)->isEnabled());
  Ctl<QLineEdit>(conn, 1026)->setText("upstream.example");
  Ctl<QLineEdit>(conn, 1226)->setText("3128");

  // Non-proxy: Serve enables only the web server button.
  sheet.Sheet()->Bar()->setCurrentIndex(sheet.TabOf(SERVICE_PAGE_NON_PROXY));
  QWidget* np = page(SERVICE_PAGE_NON_PROXY);
  Click(Ctl(np, 1079));
  QVERIFY(Ctl(np, 1248)->isEnabled());
  QVERIFY(!Ctl(np, 1073)->isEnabled());
  Click(Ctl(np, 1072));
  QVERIFY(Ctl(np, 1073)->isEnabled());
  QVERIFY(!Ctl(np, 1248)->isEnabled());
  WebServerSettingsDialog web(sheet.Logic().nonProxy, &sheet);
  web.show();
  QVERIFY(QTest::qWaitForWindowExposed(&web));
  Screenshot(&web, "web-server-settings.png");
  Ctl<QLineEdit>(&web, 1250)->setText("/srv/www");
  web.accept();

  QTest::mouseClick(sheet.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(!sheet.isVisible());
  auto s = client->Mirrors().services->LookupAs<CWWWServiceSettings>("WWW Proxy server");
  QCOMPARE(s->PortNumber, 8181u);
  QCOMPARE(s->BindingOption, uint32_t(BINDING_SPECIFIC));
  QCOMPARE(s->SpecificBinding, CString("127.0.0.1"));
  QCOMPARE(s->ConnectMethod, 4u);
  QCOMPARE(s->ProxyServer, CString("upstream.example"));
  QCOMPARE(s->ProxyPort, 3128u);
  QCOMPARE(s->NonProxyRequestAction, 1u);
  QCOMPARE(s->ServerRoot, CString("/srv/www"));
  QCOMPARE(s->RestartNeeded, 1u);
  // The mirror's old object was replaced, not changed.
  QCOMPARE(www->PortNumber, 8080u);
}

void EditorsQtTest::aMappingRuleIsAddedThroughTheMappingSheetAndReachesTheServiceAtOk() {
  auto svc = std::make_shared<CTCPMappingServiceSettings>();
  svc->SetName("Database link");
  svc->PortNumber = 15432;
  svc->Mappings->AddMapping(std::make_shared<CMapping>("db.example", 5432));
  client->EditMirrors().services->SetAt(svc->GetName(), svc);

  EditServiceDialog sheet(std::make_unique<EditServiceSheet>(*client, "Database link"), prompter);
  const int tab = sheet.TabOf(SERVICE_PAGE_MAPPINGS);
  QVERIFY(tab >= 0);
  QCOMPARE(sheet.Sheet()->Bar()->tabText(tab), QString("Mappings"));
  sheet.resize(sheet.sizeHint().expandedTo(QSize(560, 440)));
  sheet.show();
  QVERIFY(QTest::qWaitForWindowExposed(&sheet));
  // General: the default destination's controls, host and port following 1191.
  QWidget* general = sheet.Sheet()->GetPage(sheet.TabOf(SERVICE_PAGE_GENERAL));
  QVERIFY(Ctl(general, GeneralPage::DEFAULT_GROUP)->isVisible());
  QVERIFY(Ctl(general, GeneralPage::DEFAULT_HOST)->isEnabled());  // AllowDefault loads as 1
  Click(Ctl(general, GeneralPage::ALLOW_DEFAULT));
  QVERIFY(!Ctl(general, GeneralPage::DEFAULT_PORT)->isEnabled());
  Click(Ctl(general, GeneralPage::ALLOW_DEFAULT));
  Ctl<QLineEdit>(general, GeneralPage::DEFAULT_HOST)->setText("spare.example");
  Ctl<QLineEdit>(general, GeneralPage::DEFAULT_PORT)->setText("5433");
  Screenshot(&sheet, "service-mapping-general.png");
  QVERIFY(sheet.Sheet()->SetActivePage(tab));
  TabPage* page = sheet.Sheet()->GetPage(tab);
  auto* list = Ctl<QListWidget>(page, MappingsPage::LIST);
  QVERIFY(list);
  QCOMPARE(list->count(), 1);
  QCOMPARE(list->item(0)->text(), QString("Link to db.example:5432 no dependencies"));
  // Remove follows the selection (the list may take the focus, and with it a current row).
  list->setCurrentRow(-1);
  QVERIFY(!Ctl(page, MappingsPage::REMOVE)->isEnabled());
  list->setCurrentRow(0);
  QVERIFY(Ctl(page, MappingsPage::REMOVE)->isEnabled());
  Screenshot(&sheet, "service-mappings.png");

  // Add: the Mapping sheet opens modal; it is driven through its controls by id.
  bool drove = false;
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<MappingSheetDialog*>(QApplication::activeModalWidget());
    if (!dlg) return;
    QCOMPARE(dlg->windowTitle(), QString("Mapping Properties"));
    dlg->resize(dlg->sizeHint().expandedTo(QSize(480, 380)));
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    QWidget* server = dlg->Sheet()->GetPage(0);
    QVERIFY(!Ctl(server, MappingServerPage::CONNECTOID)->isEnabled());
    Click(Ctl(server, MappingServerPage::DIALER));
    QVERIFY(Ctl(server, MappingServerPage::CONNECTOID)->isEnabled());
    Click(Ctl(server, MappingServerPage::DIALER));
    Ctl<QLineEdit>(server, MappingServerPage::HOST)->setText("replica.example");
    Ctl<QLineEdit>(server, MappingServerPage::PORT)->setText("6432");
    Screenshot(dlg, "mapping-mapping.png");
    QVERIFY(dlg->Sheet()->SetActivePage(1));
    // User: the list of users and groups by their plain names follows "Specify user or group",
    // and a chosen row names the rule's user.
    QWidget* userPage = dlg->Sheet()->GetPage(1);
    auto* principals = Ctl<QTreeWidget>(userPage, MappingUserPage::LIST);
    QVERIFY(!principals->isEnabled());
    Click(Ctl(userPage, MappingUserPage::SPECIFY));
    QVERIFY(principals->isEnabled());
    const auto groups = principals->findItems("Administrators", Qt::MatchExactly, 0);
    QCOMPARE(groups.size(), 1);
    principals->setCurrentItem(groups[0]);
    QCOMPARE(Ctl<QLineEdit>(userPage, MappingUserPage::NAME)->text(), QString("Administrators"));
    Screenshot(dlg, "mapping-user.png");
    Click(Ctl(userPage, MappingUserPage::EVERYONE));
    QVERIFY(!principals->isEnabled());
    QVERIFY(dlg->Sheet()->SetActivePage(2));
    QWidget* loc = dlg->Sheet()->GetPage(2);
    QVERIFY(!Ctl(loc, MappingLocationPage::INCLUDED_ADD)->isEnabled());
    Click(Ctl(loc, MappingLocationPage::SPECIFY));
    QVERIFY(Ctl(loc, MappingLocationPage::INCLUDED_ADD)->isEnabled());
    Ctl<QLineEdit>(loc, MappingLocationPage::INCLUDED_EDIT)->setText("10.1.");
    QTest::mouseClick(Ctl(loc, MappingLocationPage::INCLUDED_ADD), Qt::LeftButton);
    QCOMPARE(Ctl<QListWidget>(loc, MappingLocationPage::INCLUDED)->count(), 0);
    QCOMPARE(prompter.boxes.back(), CString("Invalid location|The location \"10.1.\" is not a valid address pattern"));
    Ctl<QLineEdit>(loc, MappingLocationPage::INCLUDED_EDIT)->setText("10.1.*.*");
    QTest::mouseClick(Ctl(loc, MappingLocationPage::INCLUDED_ADD), Qt::LeftButton);
    QCOMPARE(Ctl<QListWidget>(loc, MappingLocationPage::INCLUDED)->count(), 1);
    Screenshot(dlg, "mapping-location.png");
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    drove = !dlg->isVisible();
  });
  QTest::mouseClick(Ctl(page, MappingsPage::ADD), Qt::LeftButton);
  QVERIFY(drove);
  QCOMPARE(list->count(), 2);
  QCOMPARE(list->item(1)->text(), QString("Link to replica.example:6432 by location"));
  // Nothing reached the service before the sheet's OK.
  QCOMPARE(svc->Mappings->GetMappings().size(), size_t(1));

  QTest::mouseClick(sheet.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(!sheet.isVisible());
  auto s = client->Mirrors().services->LookupAs<CTCPMappingServiceSettings>("Database link");
  auto rules = s->Mappings->GetMappings();
  QCOMPARE(rules.size(), size_t(2));
  QCOMPARE(rules[1]->Destination.Host, CString("replica.example"));
  QCOMPARE(rules[1]->Destination.Port, 6432u);
  QCOMPARE(rules[1]->IncludedLocations, std::vector<CString>{"10.1.*.*"});
  QCOMPARE(s->Mappings->Default.Host, CString("spare.example"));
  QCOMPARE(s->Mappings->Default.Port, 5433u);
}

QTEST_MAIN(EditorsQtTest)
#include "editors_qt_test.moc"
