// The recipient editors' windows with Qt Test: the recipient sheet and the Time Slice dialog driven
// through their controls by id (the rules as the operator clicks, a refused pattern and a refused
// slice keeping their dialogs, the result only after OK), the System Policies dialog adding and
// removing through the recipient sheet and asking before it writes; then the whole console
// program against the real engine: the web proxy's access right restricted to a group through the
// service sheet's Policies page and the recipient sheet, a guest's curl refused and the same
// machine served once the group's user has logged in from it, then refused again once the same
// recipient, edited again, excludes every day, and once its locations exclude her address. Under Xvfb
// (LOOKOUT_SCREENSHOTS set) every page and dialog is saved as a PNG.
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTimeEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <map>

#include "console/dialogs/access/filter_editors.h"
#include "console/dialogs/access/recipient_sheets.h"
#include "console/dialogs/access/user_editors.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/core/service_sheet_qt.h"
#include "console/model/tree_entry.h"
#include "console/shell/lookout_app.h"
#include "console/shell/lookout_view.h"
#include "console/shell/sorted_item.h"
#include "engine/access/user.h"
#include "engine/dialer/dialer_settings.h"
#include "engine/proxy/socks/socks_settings.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/console_qt_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

using namespace trellis::test;

namespace {

// Fills a Time Slice dialog with a weekday slice between two times and presses OK.
void FillSlice(QDialog* dlg, QTime from, QTime to) {
  Click(Ctl(dlg, TimeSliceEditor::SUNDAY));
  Click(Ctl(dlg, TimeSliceEditor::SATURDAY));
  Click(Ctl(dlg, TimeSliceEditor::BETWEEN));
  Ctl<QTimeEdit>(dlg, TimeSliceEditor::FROM)->setTime(from);
  Ctl<QTimeEdit>(dlg, TimeSliceEditor::TO)->setTime(to);
  QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
}

// The recipient sheet as the console opens it, answered by the test: each call runs `drive` on
// the open sheet and returns what the sheet gave.
struct DrivenRecipients : RecipientDialogs {
  DrivenRecipients(Prompter& p, RecipientSheetContext c) : prompter(p), ctx(std::move(c)) {}
  std::shared_ptr<CRecipient> EditRecipient(const CRecipient* existing, uint32_t kind, int32_t type) override {
    RecipientSheetDialog dlg(existing, kind, type, ctx, prompter);
    dlg.show();
    seen.push_back({kind, type});
    if (drive) drive(dlg);
    return dlg.result() == QDialog::Accepted ? dlg.Result() : nullptr;
  }
  Prompter& prompter;
  RecipientSheetContext ctx;
  std::function<void(RecipientSheetDialog&)> drive;
  std::vector<std::pair<uint32_t, int32_t>> seen;
};

}  // namespace

class RecipientQtTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { TempRoot(); }
  void theRecipientSheetFollowsItsRulesAndGivesItsResultOnlyAtOk();
  void theSystemPoliciesDialogEditsWorkingCopiesAndAsksBeforeWriting();
  void theConsolesSheetOffersTheMirrorsGroupsAndDialerProfiles();
  void aGroupRestrictedThroughTheConsoleRefusesAGuestAndServesItsLoggedInUser();
};

void RecipientQtTest::theRecipientSheetFollowsItsRulesAndGivesItsResultOnlyAtOk() {
  RecordingPrompter prompter;
  RecipientSheetContext ctx{{{"alice", "Alice", false}, {"Staff", "the staff", true}}, {"ISP"}};
  RecipientSheetDialog sheet(nullptr, SERVICE_KIND_WWW, kRightAccess, ctx, prompter);
  QCOMPARE(sheet.windowTitle(), QString("Properties for new recipient"));
  QVERIFY(!sheet.windowIcon().isNull());
  // The Criterion dialog of the filter pages offers the mirror's groups and dialer profiles.
  const CriterionContext& criteria = sheet.Logic().advanced->Tree().Context();
  QVERIFY(criteria.groups == std::vector<CString>{"Staff"});
  QVERIFY(criteria.profiles == std::vector<CString>{"ISP"});
  QStringList tabs;
  for (int i = 0; i < sheet.Sheet()->Bar()->count(); ++i) tabs << sheet.Sheet()->Bar()->tabText(i);
  QCOMPARE(tabs, QStringList({"Recipient", "Location", "Time", "Ban list", "Advanced"}));
  // Every control of the Recipient, Location and Time pages by its id.
  const std::pair<int, std::vector<int>> ids[] = {
      {0, {1105, 1106, 1107, 1108, 1109, 1000, 1099}},
      {1, {1111, 1110, 1112, 1113, 1114, 1115, 1116, 1117, 1118, 1119}},
      {2, {1120, 1121, 1112, 1114, 1115, 1116, 1118, 1119}},
  };
  for (const auto& [tab, list] : ids)
    for (int id : list) QVERIFY2(FindControl(sheet.Sheet()->GetPage(tab), id), qPrintable(QString::number(id)));
  sheet.show();
  QVERIFY(QTest::qWaitForWindowExposed(&sheet));

  // Recipient: the list follows "Specify user or group"; a row chosen fills the name.
  QWidget* user = sheet.Sheet()->GetPage(0);
  QVERIFY(Ctl<QRadioButton>(user, RecipientUserPage::EVERYONE)->isChecked());
  QVERIFY(Ctl<QRadioButton>(user, RecipientUserPage::UNKNOWN)->isChecked());
  QVERIFY(!Ctl(user, RecipientUserPage::LIST)->isEnabled());
  Click(Ctl(user, RecipientUserPage::SPECIFY));
  QVERIFY(Ctl(user, RecipientUserPage::LIST)->isEnabled());
  auto* list = Ctl<QTreeWidget>(user, RecipientUserPage::LIST);
  QCOMPARE(list->topLevelItemCount(), 2);
  QCOMPARE(list->topLevelItem(1)->text(0), QString("Staff"));
  list->setCurrentItem(list->topLevelItem(1));
  QCOMPARE(Ctl<QLineEdit>(user, RecipientUserPage::NAME)->text(), QString("Staff"));
  Click(Ctl(user, RecipientUserPage::AUTHENTICATED));
  Screenshot(&sheet, "recipient-user.png");

  // Location: the lists follow the radio; a pattern that does not compile stays in its edit.
  QVERIFY(sheet.Sheet()->SetActivePage(1));
  QWidget* loc = sheet.Sheet()->GetPage(1);
  QVERIFY(!Ctl(loc, RecipientLocationPage::INCLUDED_ADD)->isEnabled());
  Click(Ctl(loc, RecipientLocationPage::SPECIFY));
  QVERIFY(Ctl(loc, RecipientLocationPage::EXCLUDED_REMOVE)->isEnabled());
  Ctl<QLineEdit>(loc, RecipientLocationPage::INCLUDED_EDIT)->setText("10.1.");
  QTest::mouseClick(Ctl(loc, RecipientLocationPage::INCLUDED_ADD), Qt::LeftButton);
  QCOMPARE(prompter.boxes.back(), CString("Invalid location|The location \"10.1.\" is not a valid address pattern"));
  QCOMPARE(Ctl<QListWidget>(loc, RecipientLocationPage::INCLUDED)->count(), 0);
  QCOMPARE(Ctl<QLineEdit>(loc, RecipientLocationPage::INCLUDED_EDIT)->text(), QString("10.1."));
  Ctl<QLineEdit>(loc, RecipientLocationPage::INCLUDED_EDIT)->setText("127.*.*.*");
  QTest::mouseClick(Ctl(loc, RecipientLocationPage::INCLUDED_ADD), Qt::LeftButton);
  QCOMPARE(Ctl<QListWidget>(loc, RecipientLocationPage::INCLUDED)->count(), 1);
  // Enter in a field never closes the sheet.
  QTest::keyClick(Ctl(loc, RecipientLocationPage::EXCLUDED_EDIT), Qt::Key_Return);
  QVERIFY(sheet.isVisible());
  Screenshot(&sheet, "recipient-location.png");

  // Time: Add opens the Time Slice dialog; a range across midnight keeps it open.
  QVERIFY(sheet.Sheet()->SetActivePage(2));
  QWidget* time = sheet.Sheet()->GetPage(2);
  QVERIFY(!Ctl(time, RecipientTimePage::INCLUDED_ADD)->isEnabled());
  Click(Ctl(time, RecipientTimePage::SPECIFY));
  QVERIFY(Ctl(time, RecipientTimePage::INCLUDED_ADD)->isEnabled());
  bool drove = false;
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<TimeSliceDialog*>(QApplication::activeModalWidget());
    QVERIFY(dlg);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    QCOMPARE(dlg->windowTitle(), QString("Time Slice"));
    QVERIFY(!Ctl(dlg, TimeSliceEditor::STARTING)->isEnabled());
    QVERIFY(!Ctl(dlg, TimeSliceEditor::FROM)->isEnabled());
    Click(Ctl(dlg, TimeSliceEditor::SINGLE));
    QVERIFY(Ctl(dlg, TimeSliceEditor::STARTING)->isEnabled());
    QVERIFY(!Ctl(dlg, TimeSliceEditor::MONDAY)->isEnabled());
    Screenshot(dlg, "time-slice-single.png");
    Click(Ctl(dlg, TimeSliceEditor::REGULAR));
    FillSlice(dlg, QTime(22, 0), QTime(6, 0));
    QVERIFY(dlg->isVisible());
    QCOMPARE(prompter.boxes.back(), CString("Time Slice|") + kTextOvernight);
    Screenshot(dlg, "time-slice.png");
    // The days were changed by the first attempt: tick them back as they were, then a day range.
    Click(Ctl(dlg, TimeSliceEditor::SUNDAY));
    Click(Ctl(dlg, TimeSliceEditor::SATURDAY));
    Click(Ctl(dlg, TimeSliceEditor::ALL_DAY));
    FillSlice(dlg, QTime(9, 0), QTime(17, 0));
    drove = !dlg->isVisible();
  });
  QTest::mouseClick(Ctl(time, RecipientTimePage::INCLUDED_ADD), Qt::LeftButton);
  QVERIFY(drove);
  auto* included = Ctl<QListWidget>(time, RecipientTimePage::INCLUDED);
  QCOMPARE(included->count(), 1);
  QCOMPARE(included->item(0)->text(), QString("Every weekday from 09:00:00 to 17:00:00"));
  Screenshot(&sheet, "recipient-time.png");
  // A double click edits the row's slice: Saturday added, the row replaced in place.
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<TimeSliceDialog*>(QApplication::activeModalWidget());
    QVERIFY(dlg);
    QCOMPARE(Ctl<QTimeEdit>(dlg, TimeSliceEditor::FROM)->time(), QTime(9, 0));
    QVERIFY(Ctl<QRadioButton>(dlg, TimeSliceEditor::BETWEEN)->isChecked());
    Click(Ctl(dlg, TimeSliceEditor::SATURDAY));
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  });
  emit included->itemDoubleClicked(included->item(0));
  QCOMPARE(included->count(), 1);
  QCOMPARE(included->item(0)->text(), QString("Every MTWThFS from 09:00:00 to 17:00:00"));
  QVERIFY(!sheet.Result());

  QTest::mouseClick(sheet.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(!sheet.isVisible());
  auto r = sheet.Result();
  QVERIFY(r);
  QCOMPARE(r->UserName, CString("Staff"));
  QCOMPARE(r->SpecifyUser, 1u);
  QCOMPARE(r->MinimumSecurityLevel, 2);
  QCOMPARE(r->SpecifyLocation, 1u);
  QCOMPARE(r->IncludedLocations, std::vector<CString>{"127.*.*.*"});
  QCOMPARE(r->SpecifyTime, 1u);
  QCOMPARE(r->TimeFilter.Inclusions.GetCount(), size_t(1));
}

// The program's recipient sheet hands the Criterion dialog the groups and the dialer's profiles of
// the mirrors, so "User is member of" and "Dialer is on line" offer real names.
void RecipientQtTest::theConsolesSheetOffersTheMirrorsGroupsAndDialerProfiles() {
  TestLoop loop;
  RecordingUi ui;
  CLookoutClient client(ui, loop.Poster());
  client.EditMirrors().users->CreateBuiltInAccounts(nullptr);
  auto dialer = std::make_shared<CDialerSettings>();
  auto profile = std::make_shared<CDialerProfileSettings>();
  profile->Name = "ISP";
  dialer->Profiles.SetAt("ISP", profile);
  client.EditMirrors().dialer = dialer;
  RecordingPrompter prompter;
  QtRecipientDialogs dialogs(client, prompter, nullptr);
  CriterionContext seen;
  bool opened = false;
  QTimer::singleShot(0, [&] {
    auto* sheet = qobject_cast<RecipientSheetDialog*>(QApplication::activeModalWidget());
    if (!sheet) return;
    opened = true;
    seen = sheet->Logic().advanced->Tree().Context();
    sheet->reject();
  });
  QVERIFY(!dialogs.EditRecipient(nullptr, SERVICE_KIND_WWW, kRightAccess));
  QVERIFY(opened);
  QVERIFY(seen.profiles == std::vector<CString>{"ISP"});
  QVERIFY(std::find(seen.groups.begin(), seen.groups.end(), "Administrators") != seen.groups.end());
  QCOMPARE(seen.serviceKind, uint32_t(SERVICE_KIND_WWW));
}

void RecipientQtTest::theSystemPoliciesDialogEditsWorkingCopiesAndAsksBeforeWriting() {
  TestLoop loop;
  RecordingUi ui;
  CLookoutClient client(ui, loop.Poster());
  std::vector<std::shared_ptr<CRight>> rights(kRCRightCount);
  for (auto& right : rights) right = std::make_shared<CRight>();
  for (const auto& def : kEngineRights) rights[static_cast<size_t>(def.code)]->FillDefaults(def.code, def.description);
  client.EditMirrors().rights = rights;

  RecordingPrompter prompter;
  DrivenRecipients recipients(prompter, {{{"alice", "Alice", false}, {"Staff", "the staff", true}}, {}});
  SystemPoliciesDialog dlg(client, prompter, recipients);
  QCOMPARE(dlg.windowTitle(), QString("System Policies"));
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  auto* combo = Ctl<QComboBox>(&dlg, SystemPolicies::RIGHT);
  QCOMPARE(combo->count(), 12);
  QCOMPARE(combo->itemText(0), QString("Users can access services"));
  auto* list = Ctl<QTreeWidget>(&dlg, SystemPolicies::LIST);
  QCOMPARE(list->topLevelItemCount(), 1);
  QCOMPARE(list->topLevelItem(0)->text(0), QString("Everyone"));
  Screenshot(&dlg, "system-policies.png");

  // Shutdown: Add through the recipient sheet (a group, its pages as for a right without service).
  combo->setCurrentIndex(10);
  emit combo->activated(10);
  QCOMPARE(list->topLevelItem(0)->text(0), QString("Administrators"));
  recipients.drive = [&](RecipientSheetDialog& sheet) {
    QCOMPARE(sheet.Sheet()->Bar()->count(), 3);
    Screenshot(&sheet, "system-policies-recipient.png");
    QWidget* user = sheet.Sheet()->GetPage(0);
    Click(Ctl(user, RecipientUserPage::SPECIFY));
    Ctl<QTreeWidget>(user, RecipientUserPage::LIST)
        ->setCurrentItem(Ctl<QTreeWidget>(user, RecipientUserPage::LIST)->topLevelItem(1));
    QTest::mouseClick(sheet.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  };
  QTest::mouseClick(Ctl(&dlg, SystemPolicies::ADD), Qt::LeftButton);
  QCOMPARE(recipients.seen.back(), (std::pair<uint32_t, int32_t>(SERVICE_KIND_NONE, kRightShutdown)));
  QCOMPARE(list->topLevelItemCount(), 2);
  QCOMPARE(list->topLevelItem(1)->text(0), QString("Staff"));

  // Double click: the sheet over a copy of the row; its title names the recipient.
  recipients.drive = [&](RecipientSheetDialog& sheet) {
    QCOMPARE(sheet.windowTitle(), QString("Properties for recipient Staff"));
    Click(Ctl(sheet.Sheet()->GetPage(0), RecipientUserPage::ASSUMED));
    QTest::mouseClick(sheet.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  };
  emit list->itemDoubleClicked(list->topLevelItem(1), 0);
  // Remove the other row, then the Access right's only one: that right is asked about at OK.
  list->setCurrentItem(list->topLevelItem(0));
  QTest::mouseClick(Ctl(&dlg, SystemPolicies::REMOVE), Qt::LeftButton);
  QCOMPARE(list->topLevelItemCount(), 1);
  combo->setCurrentIndex(0);
  emit combo->activated(0);
  list->setCurrentItem(list->topLevelItem(0));
  QTest::mouseClick(Ctl(&dlg, SystemPolicies::REMOVE), Qt::LeftButton);
  QVERIFY(!Ctl(&dlg, SystemPolicies::REMOVE)->isEnabled());
  const auto before = ArchiveBytes(*client.Mirrors().rights[kRightShutdown]);
  QTest::mouseClick(dlg.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(dlg.isVisible());
  QCOMPARE(prompter.boxes.back(), CString("Users can access services|") + kTextNoRecipients);
  QVERIFY(ArchiveBytes(*client.Mirrors().rights[kRightShutdown]) == before);
  prompter.answer = true;
  QTest::mouseClick(dlg.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(!dlg.isVisible());
  const auto shutdown = client.Mirrors().rights[kRightShutdown]->GetRecipients();
  QCOMPARE(shutdown.size(), size_t(1));
  QCOMPARE(shutdown[0]->UserName, CString("Staff"));
  QCOMPARE(shutdown[0]->MinimumSecurityLevel, 1);
  QVERIFY(client.Mirrors().rights[kRightAccess]->GetRecipients().empty());
}

// ---- The console program against the engine ----------------------------------------------------------

namespace {

struct Silent : Prompter {
  void Message(const CString& title, const CString& text, uint32_t) override { boxes.push_back(title + "|" + text); }
  bool AskYesNo(const CString&, const CString&, uint32_t) override { return true; }
  void Beep() override {}
  std::vector<CString> boxes;
};
struct NoConfirm : UserDialogs {
  std::optional<CString> ConfirmPassword(const CString&) override { return std::nullopt; }
};

// The status code of a fetch through the proxy from 127.0.0.3 (the machine the test logs in from).
std::string FetchFromMachine(uint16_t proxyPort, const std::string& url, std::string* body) {
  const std::string out = MakeTempDir("fetch") + "/body";
  std::string code;
  RunCommand("curl -s -m 20 --interface 127.0.0.3 -H 'Pragma: no-cache' -o " + out +
                 " -w '%{http_code}' -x http://127.0.0.1:" + std::to_string(proxyPort) + " " + url,
             &code);
  if (body) *body = ReadFile(out);
  return code;
}

}  // namespace

void RecipientQtTest::aGroupRestrictedThroughTheConsoleRefusesAGuestAndServesItsLoggedInUser() {
  EngineProcess engine;
  std::string log;
  QVERIFY2(engine.Start(&log), log.c_str());
  auto store = EngineSettings(engine.rcPort);
  auto dialogsOwned = std::make_unique<FirstLoginDialogs>("admin-pw");
  LookoutApp app(std::move(store), std::move(dialogsOwned));
  const std::string online = BringOnline(app, RC_REQ_GET_POLICIES);
  QVERIFY2(online.empty(), online.c_str());
  MainFrame* w = app.Window();
  LookoutView* tree = w->Tree();

  // An origin on 127.0.0.2 and a page the proxy serves before any restriction.
  const std::string dir = MakeTempDir("origin");
  QVERIFY(WriteFile(dir + "/page.html", "hello staff\n"));
  const uint16_t originPort = FreePort("127.0.0.2");
  QProcess origin;
  origin.start("python3", {"-m", "http.server", "--bind", "127.0.0.2", "--directory", QString::fromStdString(dir),
                           QString::number(originPort)});
  QVERIFY(origin.waitForStarted());
  struct Stop {
    QProcess& p;
    ~Stop() {
      p.terminate();
      p.waitForFinished(3000);
    }
  } stopOrigin{origin};
  QVERIFY(WaitFor(
      [&] {
        const int fd = ConnectTo("127.0.0.1", "127.0.0.2", originPort);
        if (fd < 0) return false;
        close(fd);
        return true;
      },
      10000));
  const std::string url = "http://127.0.0.2:" + std::to_string(originPort) + "/page.html";
  std::string body;
  QCOMPARE(FetchFromMachine(engine.wwwPort, url, &body), std::string("200"));

  // A user and a group with her in it, made with the console's own editors.
  Silent prompter;
  NoConfirm confirm;
  EditUserSheet user(app.Client(), "", confirm);
  user.info.name = "alice";
  user.info.password = user.info.confirm = "alice-pw";
  QCOMPARE(user.Ok(prompter), -1);
  QVERIFY(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000));
  GroupDialog group(app.Client(), "");
  group.name = "Staff";
  for (size_t i = 0; i < group.nonMembers.size(); ++i)
    if (group.nonMembers[i].name == "alice") group.Move(false, i);
  QVERIFY(group.Ok(prompter));
  QVERIFY(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000));

  // The web proxy's sheet from the tree; its Policies page: Everyone out, Staff in through the
  // recipient sheet, default rights ignored.
  tree->setCurrentItem(tree->Entry(ENTRY_SERVICE, "WWW Proxy server"));
  emit tree->itemDoubleClicked(tree->currentItem(), 0);
  auto* sheet = w->findChild<EditServiceDialog*>("EditServiceSheet");
  QVERIFY(sheet);
  const int tab = sheet->TabOf(SERVICE_PAGE_POLICIES);
  QVERIFY(sheet->Sheet()->SetActivePage(tab));
  QWidget* page = sheet->Sheet()->GetPage(tab);
  auto* rows = Ctl<QTreeWidget>(page, PoliciesPage::LIST);
  // Whatever the first run gave the right goes.
  while (rows->topLevelItemCount() > 0) {
    const int before = rows->topLevelItemCount();
    rows->setCurrentItem(rows->topLevelItem(0));
    QTest::mouseClick(Ctl(page, PoliciesPage::REMOVE), Qt::LeftButton);
    QCOMPARE(rows->topLevelItemCount(), before - 1);
  }
  bool drove = false;
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<RecipientSheetDialog*>(QApplication::activeModalWidget());
    QVERIFY(dlg);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    QWidget* who = dlg->Sheet()->GetPage(0);
    Click(Ctl(who, RecipientUserPage::SPECIFY));
    auto* list = Ctl<QTreeWidget>(who, RecipientUserPage::LIST);
    for (int i = 0; i < list->topLevelItemCount(); ++i)
      if (list->topLevelItem(i)->text(0).startsWith("Staff")) list->setCurrentItem(list->topLevelItem(i));
    QCOMPARE(Ctl<QLineEdit>(who, RecipientUserPage::NAME)->text(), QString("Staff"));
    // A proxy login makes the machine its user's at level 1, so the right asks no more than that.
    Click(Ctl(who, RecipientUserPage::ASSUMED));
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    drove = !dlg->isVisible();
  });
  QTest::mouseClick(Ctl(page, PoliciesPage::ADD), Qt::LeftButton);
  QVERIFY(drove);
  QCOMPARE(rows->topLevelItemCount(), 1);
  QCOMPARE(rows->topLevelItem(0)->text(0), QString("Staff"));
  auto* mode = Ctl<QComboBox>(page, PoliciesPage::MODE);
  mode->setCurrentIndex(kDefaultRightsIgnored);
  emit mode->activated(kDefaultRightsIgnored);
  QTest::mouseClick(sheet->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000));

  // A guest from 127.0.0.3 is refused and the origin is not asked.
  QCOMPARE(FetchFromMachine(engine.wwwPort, url, &body), std::string("403"));
  QVERIFY(body.find("hello staff") == std::string::npos);

  // The gateway's own login for a machine: a SOCKS5 service (made with the console's service
  // sheet) that asks the same group's users for RFC 1929 credentials. A login there makes the
  // machine alice's for as long as it has a session.
  uint16_t socksPort = 0;
  do socksPort = FreePort();
  while (socksPort == engine.wwwPort || socksPort == engine.rcPort);
  auto socks = std::make_shared<CSOCKSServiceSettings>();
  socks->UseRFC1929 = 1;
  EditServiceSheet fresh(app.Client(), socks);
  fresh.general.name = "SOCKS login";
  fresh.general.port = socksPort;
  fresh.bindings.option = BINDING_SPECIFIC;
  fresh.bindings.specific = "127.0.0.1";
  while (!fresh.policies.Rows().empty()) fresh.policies.Remove(0);
  RecipientSheet staff(nullptr, fresh.policies.ServiceKind(), fresh.policies.SelectedType(),
                       RecipientContextOf(app.Client()));
  staff.user.SetSpecify(true);
  staff.user.SetName("Staff");
  fresh.policies.Add(staff.Ok(prompter));
  fresh.policies.SetMode(kDefaultRightsIgnored);
  QCOMPARE(fresh.Ok(prompter), 0);
  QVERIFY(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000));
  QVERIFY(WaitFor(
      [&] {
        const int fd = ConnectTo("127.0.0.1", "127.0.0.1", socksPort);
        if (fd < 0) return false;
        close(fd);
        return true;
      },
      15000));

  // Before the login the machine is still a guest's.
  QCOMPARE(FetchFromMachine(engine.wwwPort, url, &body), std::string("403"));
  QProcess login;
  login.setProcessChannelMode(QProcess::MergedChannels);
  const QString script = QStringLiteral(
                             "import socket, struct, sys\n"
                             "s = socket.socket(); s.settimeout(15); s.bind(('127.0.0.3', 0))\n"
                             "s.connect(('127.0.0.1', %1))\n"
                             "s.sendall(b'\\x05\\x01\\x02'); assert s.recv(2) == b'\\x05\\x02'\n"
                             "s.sendall(b'\\x01\\x05alice\\x08alice-pw'); r = s.recv(2)\n"
                             "s.sendall(b'\\x05\\x01\\x00\\x01' + socket.inet_aton('127.0.0.2') + "
                             "struct.pack('>H', %2))\n"
                             "print('login', r.hex(), s.recv(10).hex(), flush=True); sys.stdin.read()\n")
                             .arg(socksPort)
                             .arg(originPort);
  login.start("python3", {"-c", script});
  QVERIFY(login.waitForStarted());
  QByteArray said;
  QVERIFY(QTest::qWaitFor(
      [&] {
        said += login.readAll();
        return said.contains("\n") || login.state() == QProcess::NotRunning;
      },
      15000));
  QVERIFY2(said.startsWith("login 0100 0500"), said.constData());
  const std::string served = FetchFromMachine(engine.wwwPort, url, &body);
  QVERIFY2(served == "200", (served + " " + body).c_str());
  QCOMPARE(body, std::string("hello staff\n"));

  // The same recipient edited again (double click on its row of the service sheet's Policies page),
  // the sheet driven by `drive`, the service sheet then OK'd and sent.
  auto editStaff = [&](const std::function<void(RecipientSheetDialog*)>& drive) {
    tree->setCurrentItem(tree->Entry(ENTRY_SERVICE, "WWW Proxy server"));
    emit tree->itemDoubleClicked(tree->currentItem(), 0);
    EditServiceDialog* svc = nullptr;
    for (auto* d : w->findChildren<EditServiceDialog*>("EditServiceSheet"))
      if (d->isVisible()) svc = d;
    QVERIFY(svc);
    const int tab = svc->TabOf(SERVICE_PAGE_POLICIES);
    QVERIFY(svc->Sheet()->SetActivePage(tab));
    auto* list = Ctl<QTreeWidget>(svc->Sheet()->GetPage(tab), PoliciesPage::LIST);
    QCOMPARE(list->topLevelItemCount(), 1);
    bool done = false;
    QTimer::singleShot(0, [&] {
      auto* dlg = qobject_cast<RecipientSheetDialog*>(QApplication::activeModalWidget());
      QVERIFY(dlg);
      QCOMPARE(dlg->windowTitle(), QString("Properties for recipient Staff"));
      drive(dlg);
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      done = !dlg->isVisible();
    });
    emit list->itemDoubleClicked(list->topLevelItem(0), 0);
    QVERIFY(done);
    const auto expected = ArchiveBytes(*svc->Logic().policies.Recipient(0));
    QTest::mouseClick(svc->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    QVERIFY(!svc->isVisible());
    // The engine echoes every change to every console, this one included: the echo of an earlier
    // edit may still arrive after this one was committed, so wait for this edit's own.
    QVERIFY(QTest::qWaitFor(
        [&] {
          auto www = app.Client().Mirrors().services->LookupAs<CServiceSettings>("WWW Proxy server");
          const auto now = www->AccessRights.GetRecipients();
          return app.Client().OutstandingRequests() == 0 && now.size() == 1 && ArchiveBytes(*now[0]) == expected;
        },
        15000));
  };
  auto pageOf = [](RecipientSheetDialog* dlg, int id) {
    dlg->Sheet()->SetActivePage(dlg->TabOf(id));
    return dlg->Sheet()->GetPage(dlg->TabOf(id));
  };

  // Times significant, every day, and every day excluded as well: the logged-in user is refused.
  int slices = 0;
  auto addEveryDay = [&](QWidget* time, int addId) {
    QTimer::singleShot(0, [&] {
      auto* slice = qobject_cast<TimeSliceDialog*>(QApplication::activeModalWidget());
      QVERIFY(slice);
      QVERIFY(Ctl<QRadioButton>(slice, TimeSliceEditor::ALL_DAY)->isChecked());
      QTest::mouseClick(slice->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      slices += !slice->isVisible();
    });
    QTest::mouseClick(Ctl(time, addId), Qt::LeftButton);
  };
  editStaff([&](RecipientSheetDialog* dlg) {
    QWidget* time = pageOf(dlg, RECIPIENT_PAGE_TIME);
    Click(Ctl(time, RecipientTimePage::SPECIFY));
    addEveryDay(time, RecipientTimePage::INCLUDED_ADD);
    addEveryDay(time, RecipientTimePage::EXCLUDED_ADD);
    QCOMPARE(Ctl<QListWidget>(time, RecipientTimePage::EXCLUDED)->item(0)->text(), QString("Every day"));
  });
  QCOMPARE(slices, 2);
  QCOMPARE(FetchFromMachine(engine.wwwPort, url, &body), std::string("403"));

  // Time no longer significant, locations are: everywhere but 127.0.0.4 serves her again...
  editStaff([&](RecipientSheetDialog* dlg) {
    Click(Ctl(pageOf(dlg, RECIPIENT_PAGE_TIME), RecipientTimePage::ALWAYS));
    QWidget* loc = pageOf(dlg, RECIPIENT_PAGE_LOCATION);
    Click(Ctl(loc, RecipientLocationPage::SPECIFY));
    Ctl<QLineEdit>(loc, RecipientLocationPage::INCLUDED_EDIT)->setText("*");
    QTest::mouseClick(Ctl(loc, RecipientLocationPage::INCLUDED_ADD), Qt::LeftButton);
    Ctl<QLineEdit>(loc, RecipientLocationPage::EXCLUDED_EDIT)->setText("127.0.0.4");
    QTest::mouseClick(Ctl(loc, RecipientLocationPage::EXCLUDED_ADD), Qt::LeftButton);
  });
  QCOMPARE(FetchFromMachine(engine.wwwPort, url, &body), std::string("200"));
  // ...and excluding her machine's address refuses her.
  editStaff([&](RecipientSheetDialog* dlg) {
    QWidget* loc = pageOf(dlg, RECIPIENT_PAGE_LOCATION);
    QCOMPARE(Ctl<QListWidget>(loc, RecipientLocationPage::EXCLUDED)->count(), 1);
    Ctl<QLineEdit>(loc, RecipientLocationPage::EXCLUDED_EDIT)->setText("127.0.0.3");
    QTest::mouseClick(Ctl(loc, RecipientLocationPage::EXCLUDED_ADD), Qt::LeftButton);
  });
  QCOMPARE(FetchFromMachine(engine.wwwPort, url, &body), std::string("403"));
  login.closeWriteChannel();
  QVERIFY(login.waitForFinished(30000));

  // The System Policies dialog opens from its root.
  QTreeWidgetItem* policies = tree->Root(RC_REQ_GET_POLICIES);
  emit tree->itemDoubleClicked(policies, 0);
  auto* sys = w->findChild<SystemPoliciesDialog*>("SystemPolicies");
  QVERIFY(sys);
  QCOMPARE(Ctl<QComboBox>(sys, SystemPolicies::RIGHT)->count(), 12);
  sys->reject();
  QVERIFY(app.Stop(5000));
}

QTEST_MAIN(RecipientQtTest)
#include "recipient_qt_test.moc"
