// The dialer editors' windows with Qt Test, headless (offscreen): the dialer sheet and the Edit
// Profile sheet driven through their controls by id (a profile added, refused for its name, edited
// and removed; local sites; the Settings ranges keeping their page; Apply and Cancel against the
// mirror's bytes; Enter never closing the sheet; status lines and another console's dialer reaching
// the open sheet), then the whole console program against the real engine with the Remote Access
// simulator: the sheet opened from the Dialing entry, a profile made there and sent, read back from
// the engine, dialled from the console with its status lines arriving in the sheet, and reset.
// Under Xvfb (LOOKOUT_SCREENSHOTS set) every page of both sheets is saved as a PNG.
#include <stdlib.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <deque>
#include <fstream>
#include <map>

#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/dialer/dialer_sheets.h"
#include "console/model/lookout_client.h"
#include "console/shell/lookout_app.h"
#include "console/shell/lookout_view.h"
#include "console/shell/sorted_item.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/console_qt_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/test_env.h"

using namespace trellis::test;

namespace {

// The recipient sheet, answered in advance.
struct ScriptedRecipients : RecipientDialogs {
  std::shared_ptr<CRecipient> EditRecipient(const CRecipient* existing, uint32_t, int32_t) override {
    ++calls;
    if (names.empty()) return nullptr;
    auto r = std::make_shared<CRecipient>();
    if (existing) r->CopyFrom(*existing);
    r->UserName = names.front();
    names.pop_front();
    return r;
  }
  std::deque<CString> names;
  int calls = 0;
};

QStringList Column(QTreeWidget* list, int column) {
  QStringList out;
  for (int i = 0; i < list->topLevelItemCount(); ++i) out << list->topLevelItem(i)->text(column);
  return out;
}

std::shared_ptr<CDialerProfileSettings> Profile(const CString& name, const CString& entry) {
  auto p = NewDialerProfile();
  p->Name = name;
  p->ProfileName = entry;
  p->Username = "dialuser";
  return p;
}

std::shared_ptr<CDialerSettings> Dialer() {
  auto d = std::make_shared<CDialerSettings>();
  d->AddProfile(Profile("Office", "Sim ISP"));
  d->AddProfile(Profile("Backup", "Other ISP"));
  d->LocalSites = {"intranet"};
  d->PhonebookEntries = {"Sim ISP", "Other ISP"};
  d->LogOptions = 1;
  return d;
}

// Fills the General page of an Edit Profile sheet and presses OK.
void FillProfile(EditProfileDialog& d, const QString& name, const QString& entry, const QString& retries) {
  if (Ctl<QLineEdit>(&d, PROFILE_GENERAL_NAME)->isEnabled()) Ctl<QLineEdit>(&d, PROFILE_GENERAL_NAME)->setText(name);
  Ctl<QComboBox>(&d, PROFILE_GENERAL_ENTRY)->setCurrentText(entry);
  Ctl<QLineEdit>(&d, PROFILE_GENERAL_USERNAME)->setText("dialuser");
  Ctl<QLineEdit>(&d, PROFILE_GENERAL_RETRIES)->setText(retries);
  QTest::mouseClick(d.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
}

}  // namespace

class DialerQtTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { TempRoot(); }
  void theSheetsThroughTheirControls();
  void theConsoleDialsAProfileMadeInItsSheet();
};

void DialerQtTest::theSheetsThroughTheirControls() {
  TestLoop loop;
  RecordingUi ui;
  CLookoutClient client(ui, loop.Poster());
  client.EditMirrors().dialer = Dialer();
  const auto before = ArchiveBytes(*client.Mirrors().dialer);
  RecordingPrompter prompter;
  ScriptedRecipients recipients;

  {
    // Cancel after changes on every page: the mirror keeps its bytes.
    DialerSheetDialog sheet(client, prompter, &recipients, {});
    sheet.show();
    auto* list = Ctl<QTreeWidget>(&sheet, DIALER_PHONEBOOK_LIST);
    list->setCurrentItem(list->topLevelItem(0));
    QTest::mouseClick(Ctl(&sheet, DIALER_PHONEBOOK_REMOVE), Qt::LeftButton);
    QCOMPARE(Column(list, 0), QStringList({"Office"}));
    sheet.Sheet()->SetActivePage(1);
    Ctl<QLineEdit>(&sheet, DIALER_SITES_EDIT)->setText("example.org");
    QTest::mouseClick(Ctl(&sheet, DIALER_SITES_ADD), Qt::LeftButton);
    QTest::mouseClick(sheet.findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
    QVERIFY(!sheet.isVisible());
  }
  QVERIFY(ArchiveBytes(*client.Mirrors().dialer) == before);

  DialerSheetDialog sheet(client, prompter, &recipients, {});
  sheet.show();
  QCOMPARE(sheet.windowTitle(), QString("Trellis Dialer Properties"));
  QTabBar* bar = sheet.Sheet()->Bar();
  QCOMPARE(bar->count(), 3);
  QCOMPARE(bar->tabText(0), QString("Phonebook"));
  QCOMPARE(bar->tabText(1), QString("Local sites"));
  QCOMPARE(bar->tabText(2), QString("Settings"));

  // Phonebook: rows in name order; Dial and Reset need a row and the engine (off line here).
  auto* list = Ctl<QTreeWidget>(&sheet, DIALER_PHONEBOOK_LIST);
  QCOMPARE(Column(list, 0), QStringList({"Backup", "Office"}));
  QCOMPARE(list->topLevelItem(1)->text(1), QString("Account dialuser at Sim ISP "));
  QVERIFY(!Ctl(&sheet, DIALER_PHONEBOOK_REMOVE)->isEnabled());
  list->setCurrentItem(list->topLevelItem(1));
  QVERIFY(Ctl(&sheet, DIALER_PHONEBOOK_REMOVE)->isEnabled());
  QVERIFY(!Ctl(&sheet, DIALER_PHONEBOOK_DIAL)->isEnabled());
  QVERIFY(!Ctl(&sheet, DIALER_PHONEBOOK_RESET)->isEnabled());
  Screenshot(&sheet, "dialer-phonebook.png");

  // Add: a taken name is refused and the Edit Profile sheet stays open; a new one gets a row.
  int runs = 0;
  auto script = [&](EditProfileDialog& d) {
    ++runs;
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    if (runs == 1) {
      QCOMPARE(d.windowTitle(), QString("Properties for new dialer entry"));
      QCOMPARE(d.Sheet()->Bar()->tabText(0), QString("General"));
      QCOMPARE(d.Sheet()->Bar()->tabText(1), QString("Access"));
      auto* entries = Ctl<QComboBox>(&d, PROFILE_GENERAL_ENTRY);
      QCOMPARE(entries->count(), 2);
      QCOMPARE(entries->itemText(0), QString("Sim ISP"));
      // The idle time follows its check.
      Click(Ctl(&d, PROFILE_GENERAL_AUTO_DISCONNECT));
      QVERIFY(!Ctl(&d, PROFILE_GENERAL_DISCONNECT_AFTER)->isEnabled());
      Click(Ctl(&d, PROFILE_GENERAL_AUTO_DISCONNECT));
      QVERIFY(Ctl(&d, PROFILE_GENERAL_DISCONNECT_AFTER)->isEnabled());
      Screenshot(&d, "dialer-edit-profile-general.png");
      FillProfile(d, "office", "Sim ISP", "2");
      QVERIFY(d.isVisible());
      QCOMPARE(QString::fromStdString(prompter.boxes.back()),
               QString("Duplicate Profile Name|You must choose another name for this profile"));
      // Retries 0 keeps the page, with the range.
      FillProfile(d, "Home", "Sim ISP", "0");
      QVERIFY(d.isVisible());
      QCOMPARE(QString::fromStdString(prompter.boxes.back()),
               QString("Lookout|Please enter an integer between 1 and 2147483647."));
      // Access: the default recipient; Add through the recipient sheet.
      d.Sheet()->SetActivePage(0);
      Ctl<QLineEdit>(&d, PROFILE_GENERAL_RETRIES)->setText("2");
      d.Sheet()->SetActivePage(1);
      auto* who = Ctl<QTreeWidget>(&d, PROFILE_ACCESS_LIST);
      QCOMPARE(Column(who, 0), QStringList({"Everyone"}));
      QCOMPARE(Ctl<QComboBox>(&d, PROFILE_ACCESS_RIGHT)->currentText(), QString("Users can use this dialer account"));
      recipients.names.push_back("alice");
      QTest::mouseClick(Ctl(&d, PROFILE_ACCESS_ADD), Qt::LeftButton);
      QCOMPARE(Column(who, 0), QStringList({"Everyone", "alice"}));
      QCOMPARE(who->topLevelItem(1)->text(1), QString("Unrestricted Rights"));
      // Add and Remove sit on the left under the list, as on the other recipient lists.
      QCOMPARE(Ctl(&d, PROFILE_ACCESS_ADD)->mapTo(&d, QPoint(0, 0)).x(), who->mapTo(&d, QPoint(0, 0)).x());
      Screenshot(&d, "dialer-edit-profile-access.png");
      d.Sheet()->SetActivePage(0);
      FillProfile(d, "Home", "Sim ISP", "2");
    } else {
      // Double click on Office: its name is fixed.
      QCOMPARE(d.windowTitle(), QString("Properties for dialer entry Office"));
      QVERIFY(!Ctl(&d, PROFILE_GENERAL_NAME)->isEnabled());
      FillProfile(d, "ignored", "Other ISP", "4");
    }
  };
  sheet.runProfileSheet = [&](EditProfileDialog& d) {
    script(d);
    return d.result();
  };
  QTest::mouseClick(Ctl(&sheet, DIALER_PHONEBOOK_ADD), Qt::LeftButton);
  QCOMPARE(runs, 1);
  QCOMPARE(recipients.calls, 1);
  QCOMPARE(Column(list, 0), QStringList({"Backup", "Home", "Office"}));
  sheet.EditProfile(2);
  QCOMPARE(Column(list, 0), QStringList({"Backup", "Home", "Office"}));
  QCOMPARE(list->topLevelItem(2)->text(1), QString("Account dialuser at Other ISP "));
  // Nothing of it is in the mirror yet.
  QVERIFY(ArchiveBytes(*client.Mirrors().dialer) == before);

  // Status lines by name; one for a profile the sheet does not show changes nothing.
  ViewEvent status;
  status.code = RC_NOTIFY_DIALER_PROFILE;
  status.name = "Office";
  status.text = "Dialing Other ISP";
  sheet.DialerUpdate(status);
  QCOMPARE(list->topLevelItem(2)->text(2), QString("Dialing Other ISP"));
  status.name = "Gone";
  sheet.DialerUpdate(status);
  QCOMPARE(Column(list, 2), QStringList({"", "", "Dialing Other ISP"}));

  // Local sites: Add, and Remove puts the text back into the edit.
  sheet.Sheet()->SetActivePage(1);
  auto* sites = Ctl<QListWidget>(&sheet, DIALER_SITES_LIST);
  auto* edit = Ctl<QLineEdit>(&sheet, DIALER_SITES_EDIT);
  QVERIFY(!Ctl(&sheet, DIALER_SITES_ADD)->isEnabled());
  edit->setText("example.org");
  QTest::mouseClick(Ctl(&sheet, DIALER_SITES_ADD), Qt::LeftButton);
  QCOMPARE(sites->count(), 2);
  QVERIFY(edit->text().isEmpty());
  sites->setCurrentRow(0);
  QTest::mouseClick(Ctl(&sheet, DIALER_SITES_REMOVE), Qt::LeftButton);
  QCOMPARE(edit->text(), QString("intranet"));
  QCOMPARE(sites->count(), 1);
  Screenshot(&sheet, "dialer-local-sites.png");

  // Settings: the checks follow the radio; Enter does not close; a range keeps the page.
  sheet.Sheet()->SetActivePage(2);
  Click(Ctl(&sheet, DIALER_SETTINGS_NO_LOGGING));
  QVERIFY(!Ctl(&sheet, DIALER_SETTINGS_LOG_DIAL)->isEnabled());
  Click(Ctl(&sheet, DIALER_SETTINGS_LOGGING));
  QVERIFY(Ctl(&sheet, DIALER_SETTINGS_LOG_DEBUG)->isEnabled());
  Click(Ctl(&sheet, DIALER_SETTINGS_LOG_DEBUG));
  Screenshot(&sheet, "dialer-settings.png");
  auto* timer = Ctl<QLineEdit>(&sheet, DIALER_SETTINGS_TIMER);
  timer->setText("61");
  QTest::keyClick(timer, Qt::Key_Return);
  QVERIFY(sheet.isVisible());
  QTest::mouseClick(sheet.findChild<QPushButton*>("ID_APPLY_NOW"), Qt::LeftButton);
  QCOMPARE(QString::fromStdString(prompter.boxes.back()), QString("Lookout|Please enter an integer between 1 and 60."));
  QCOMPARE(sheet.Sheet()->ActiveIndex(), 2);
  QVERIFY(ArchiveBytes(*client.Mirrors().dialer) == before);

  // Apply: the mirror takes everything; Apply again changes nothing; the sheet stays open.
  timer->setText("7");
  QTest::mouseClick(sheet.findChild<QPushButton*>("ID_APPLY_NOW"), Qt::LeftButton);
  QVERIFY(sheet.isVisible());
  const auto applied = ArchiveBytes(*client.Mirrors().dialer);
  QTest::mouseClick(sheet.findChild<QPushButton*>("ID_APPLY_NOW"), Qt::LeftButton);
  QVERIFY(ArchiveBytes(*client.Mirrors().dialer) == applied);
  const auto& d = *client.Mirrors().dialer;
  QCOMPARE(d.TimerInterval, 7u);
  QCOMPARE(d.LogOptions, 3u);
  QVERIFY(d.LocalSites == std::vector<CString>{"example.org"});
  QCOMPARE(QString::fromStdString(d.FindProfileSettings("Office")->ProfileName), QString("Other ISP"));
  QCOMPARE(d.FindProfileSettings("Office")->Retries, 4);
  auto home = d.FindProfileSettings("Home");
  QVERIFY(home);
  QCOMPARE(home->Retries, 2);
  QCOMPARE(int(home->AccessRights.GetRecipients().size()), 2);

  // Another console's dialer (62) under the open sheet: the lists follow it.
  auto other = Dialer();
  other->AddProfile(Profile("Branch", "Sim ISP"));
  client.EditMirrors().dialer = other;
  ViewEvent changed;
  changed.code = RC_NOTIFY_DIALER_CHANGED;
  sheet.DialerUpdate(changed);
  QCOMPARE(Column(list, 0), QStringList({"Backup", "Branch", "Office"}));
  QCOMPARE(sites->count(), 1);
  QCOMPARE(sites->item(0)->text(), QString("intranet"));

  // OK closes; off line nothing went out.
  QTest::mouseClick(sheet.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(!sheet.isVisible());
  QCOMPARE(client.OutstandingRequests(), size_t(0));
}

void DialerQtTest::theConsoleDialsAProfileMadeInItsSheet() {
  const std::string dir = MakeTempDir("rassim");
  {
    std::ofstream book(dir + "/phonebook.ini");
    book << "[Sim ISP]\nconnect_ms=200\n";
  }
  setenv("TRELLIS_RASAPI32", BuildPath("librasapi32-sim.so").c_str(), 1);
  setenv("TRELLIS_RASSIM_PHONEBOOK", (dir + "/phonebook.ini").c_str(), 1);
  setenv("TRELLIS_RASSIM_STATE", (dir + "/sim.state").c_str(), 1);
  EngineProcess engine;
  std::string log;
  QVERIFY2(engine.Start(&log), log.c_str());
  auto store = EngineSettings(engine.rcPort);
  auto dialogsOwned = std::make_unique<FirstLoginDialogs>();
  FirstLoginDialogs& dialogs = *dialogsOwned;
  LookoutApp app(std::move(store), std::move(dialogsOwned));
  const std::string online = BringOnline(app, RC_REQ_GET_DIALER);
  QVERIFY2(online.empty(), online.c_str());
  LookoutView* tree = app.Window()->Tree();

  // The Dialing entry opens the dialer sheet (a double click, as the operator does).
  QTreeWidgetItem* dialing = tree->Root(RC_REQ_GET_DIALER);
  tree->scrollToItem(dialing);
  const QRect r = tree->visualItemRect(dialing);
  // An item view takes a double click only on the item the press before it was on.
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, r.center());
  QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, r.center());
  DialerSheetDialog* sheet = nullptr;
  QVERIFY(QTest::qWaitFor([&] { return (sheet = app.DialerSheet()) != nullptr; }, 30000));

  // Add a profile through the Edit Profile sheet, then OK: the dialer goes to the engine (62).
  QTimer::singleShot(0, [&] {
    auto* d = qobject_cast<EditProfileDialog*>(QApplication::activeModalWidget());
    QVERIFY(d);
    // Access: Add opens the console's recipient sheet; its OK adds a recipient.
    d->Sheet()->SetActivePage(1);
    QVERIFY(Ctl(d, PROFILE_ACCESS_ADD)->isEnabled());
    QString recipientTitle;
    QTimer::singleShot(0, [&] {
      QDialog* r = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      QVERIFY(r && r != d);
      recipientTitle = r->windowTitle();
      QTest::mouseClick(r->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      if (r->isVisible()) r->reject();
    });
    QTest::mouseClick(Ctl(d, PROFILE_ACCESS_ADD), Qt::LeftButton);
    QVERIFY(!recipientTitle.isEmpty());
    QCOMPARE(Ctl<QTreeWidget>(d, PROFILE_ACCESS_LIST)->topLevelItemCount(), 2);
    d->Sheet()->SetActivePage(0);
    FillProfile(*d, "Office", "Sim ISP", "1");
  });
  QTest::mouseClick(Ctl(sheet, DIALER_PHONEBOOK_ADD), Qt::LeftButton);
  auto* list = Ctl<QTreeWidget>(sheet, DIALER_PHONEBOOK_LIST);
  QCOMPARE(Column(list, 0), QStringList({"Office"}));
  // A local site and the debug log, through their pages.
  sheet->Sheet()->SetActivePage(1);
  Ctl<QLineEdit>(sheet, DIALER_SITES_EDIT)->setText("127.0.0.8");
  QTest::mouseClick(Ctl(sheet, DIALER_SITES_ADD), Qt::LeftButton);
  sheet->Sheet()->SetActivePage(2);
  if (!Ctl<QCheckBox>(sheet, DIALER_SETTINGS_LOG_DEBUG)->isChecked()) Click(Ctl(sheet, DIALER_SETTINGS_LOG_DEBUG));
  QPointer<DialerSheetDialog> first(sheet);
  QTest::mouseClick(sheet->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(!first, 30000);
  QVERIFY(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000));

  // Read back from the engine by a second console.
  {
    FreshConsole other;
    QVERIFY(other.LogIn(engine.rcPort, "Administrator", "pw", RC_REQ_GET_DIALER));
    auto p = other.client.Mirrors().dialer ? other.client.Mirrors().dialer->FindProfileSettings("Office") : nullptr;
    QVERIFY(p);
    QCOMPARE(QString::fromStdString(p->ProfileName), QString("Sim ISP"));
    QCOMPARE(p->Retries, 1);
    QCOMPARE(int(p->AccessRights.GetRecipients().size()), 2);
    QVERIFY(other.client.Mirrors().dialer->LocalSites == std::vector<CString>{"127.0.0.8"});
    QCOMPARE(other.client.Mirrors().dialer->LogOptions & 2u, 2u);
    QVERIFY(other.client.Stop(5000));
  }

  // The sheet again (from the menu this time): Dial, and the status lines arrive in its row.
  tree->setCurrentItem(dialing);
  tree->Properties();
  QVERIFY(QTest::qWaitFor([&] { return (sheet = app.DialerSheet()) != nullptr; }, 30000));
  list = Ctl<QTreeWidget>(sheet, DIALER_PHONEBOOK_LIST);
  QCOMPARE(Column(list, 0), QStringList({"Office"}));
  list->setCurrentItem(list->topLevelItem(0));
  QVERIFY(Ctl(sheet, DIALER_PHONEBOOK_DIAL)->isEnabled());
  // Every status the row is given, however fast they come.
  QStringList seen;
  connect(list, &QTreeWidget::itemChanged, [&](QTreeWidgetItem* item, int column) {
    if (column == 2 && !item->text(2).isEmpty() && (seen.isEmpty() || seen.back() != item->text(2)))
      seen << item->text(2);
  });
  QTest::mouseClick(Ctl(sheet, DIALER_PHONEBOOK_DIAL), Qt::LeftButton);
  auto simState = [&] {
    std::ifstream state(dir + "/sim.state");
    return std::string((std::istreambuf_iterator<char>(state)), std::istreambuf_iterator<char>());
  };
  // The layer holds the link up with the profile's credentials, and the row says so.
  // The dial has ended once the link, on line, was checked once more: "Connected" after "On line
  // to" (the same word also names a step before it). A Reset before that would race the dial's end.
  QVERIFY(QTest::qWaitFor(
      [&] {
        return seen.contains("On line to Sim ISP") && !seen.isEmpty() && seen.back() == "Connected" &&
               simState().find("up Sim ISP") != std::string::npos;
      },
      30000));
  // The steps of the dial showed on the way.
  QVERIFY2(seen.size() >= 2, qPrintable(seen.join(" / ")));
  QVERIFY2(simState().find("last_user dialuser") != std::string::npos, simState().c_str());
  Screenshot(sheet, "dialer-phonebook-connected.png");

  // Reset hangs up; the line says so.
  QTest::mouseClick(Ctl(sheet, DIALER_PHONEBOOK_RESET), Qt::LeftButton);
  // (The dialer's own pass may call the link "Off Line" right after.)
  QVERIFY2(QTest::qWaitFor([&] { return seen.contains("Disconnected from Sim ISP"); }, 30000),
           qPrintable(seen.join(" / ")));
  for (const auto& s : dialogs.shown) QVERIFY2(s.find("Dial") == CString::npos, s.c_str());

  // The engine uses what the sheet sent: a browser's request for the local site does not dial,
  // one for another address dials on demand through the profile.
  auto dials = [&] {
    const std::string text = simState();
    const size_t at = text.find("dials ");
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + 6);
  };
  auto dialerLog = [] {
    std::string text;
    const QDir logs(QString::fromLocal8Bit(qgetenv("TRELLIS_HOME")) + "/Logs");
    for (const QString& f : logs.entryList({"Dialer.*.log"}, QDir::Files)) {
      std::ifstream in(logs.filePath(f).toStdString());
      text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
  };
  const int before = dials();
  QCOMPARE(before, 1);
  const std::string proxy = " -x http://127.0.0.1:" + std::to_string(engine.wwwPort) + " ";
  RunCommand("curl -s -m 10" + proxy + "http://127.0.0.8:9/ >/dev/null");
  // The log manager writes the line on its own thread, after the proxy has answered.
  QVERIFY2(QTest::qWaitFor(
               [&] {
                 return dialerLog().find("Local site 127.0.0.8 not dialed - matched on 127.0.0.8") != std::string::npos;
               },
               30000),
           dialerLog().c_str());
  QCOMPARE(dials(), before);
  RunCommand("curl -s -m 10" + proxy + "http://127.0.0.9:9/ >/dev/null");
  QVERIFY(QTest::qWaitFor([&] { return dials() == before + 1; }, 30000));
  QTest::mouseClick(sheet->findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
  QVERIFY(app.Stop(5000));
  unsetenv("TRELLIS_RASAPI32");
  unsetenv("TRELLIS_RASSIM_PHONEBOOK");
  unsetenv("TRELLIS_RASSIM_STATE");
}

QTEST_MAIN(DialerQtTest)
#include "dialer_qt_test.moc"
