// The assumed-user, message and confirmation windows with Qt Test, headless (offscreen): the
// Assumed users sheet and its two dialogs driven by their control ids, the Send Message dialog's
// reply in place, the Confirmation Options' boxes, the pictures of the editors' lists; then the
// whole console program against the real engine: a POP3 service made with the New command that
// had none before answers on its port, an assumed-user rule from the sheet gives a browser its
// user in the activity view, a message from another console is answered through the dialog, and a
// cleared confirmation box lets Delete go without its question. Under Xvfb (LOOKOUT_SCREENSHOTS
// set) every sheet and dialog is saved as a PNG.
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabBar>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <functional>
#include <map>

#include "console/dialogs/access/assumed_sheets.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/core/service_sheet_qt.h"
#include "console/dialogs/remote/message_dialogs_qt.h"
#include "console/model/list_images.h"
#include "console/model/tree_entry.h"
#include "console/model/tree_images.h"
#include "console/shell/activity_view.h"
#include "console/shell/lookout_app.h"
#include "console/shell/lookout_view.h"
#include "console/shell/qt_dialogs.h"
#include "engine/config/interface.h"
#include "engine/proxy/www/www_settings.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/console_qt_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

using namespace trellis::test;

namespace {

// Runs fn on the modal dialog of that object name once it shows (a button that opens it with
// exec() returns only after fn closed it). Counts how often it ran.
struct WhenShown {
  WhenShown(const char* name, std::function<void(QDialog*)> fn) : m_name(name), m_fn(std::move(fn)) { Arm(); }
  void Arm() {
    QTimer::singleShot(20, [this] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* d = qobject_cast<QDialog*>(w);
        if (d && d->isVisible() && d->objectName() == m_name) {
          ++ran;
          m_fn(d);
          return;
        }
      }
      if (++m_tries < 500) Arm();
    });
  }
  int ran = 0;

 private:
  QString m_name;
  std::function<void(QDialog*)> m_fn;
  int m_tries = 0;
};

void Press(QDialog* d, const char* objectName) {
  for (QPushButton* b : d->findChildren<QPushButton*>())
    if (b->objectName() == objectName || b->text() == objectName) {
      b->click();
      return;
    }
  QFAIL(objectName);
}

// The dialog's OK: the button box's accept button.
void Ok(QDialog* d) {
  for (QPushButton* b : d->findChildren<QPushButton*>())
    if (b->text() == "&OK" || b->text() == "OK") {
      b->click();
      return;
    }
  QFAIL("no OK");
}

QStringList Column(QTreeWidget* list, int column) {
  QStringList out;
  for (int i = 0; i < list->topLevelItemCount(); ++i) out << list->topLevelItem(i)->text(column);
  return out;
}

bool SameIcon(const QIcon& icon, int image) { return icon.cacheKey() == TreeImages()[image].cacheKey(); }

// The console's real dialogs, except those a test cannot answer by clicking before they block:
// log-in, password change and questions answer themselves and are recorded.
struct AutoDialogs : RecordedAnswers<QtDialogs> {
  AutoDialogs() : RecordedAnswers<QtDialogs>(nullptr) {}
  bool OnlineOptions(ConnectParams& params, const std::function<bool(ConnectParams&)>& accept) override {
    ConnectParams p = params;
    p.password = password;
    if (!accept(p)) return false;
    params = p;
    return true;
  }
  bool ChangePassword(bool, CString* oldPassword, CString* newPassword) override {
    *oldPassword = password;
    *newPassword = "admin-pw";
    password = "admin-pw";
    return true;
  }
  CString password;
};

}  // namespace

class MiscQtTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { TempRoot(); }
  void theAssumedUsersSheetThroughItsControls();
  void messageAndConfirmationDialogs();
  void editorListsShowTheTreesPictures();
  void theConsoleAgainstTheEngine();
};

void MiscQtTest::theAssumedUsersSheetThroughItsControls() {
  TestLoop loop;
  RecordingUi ui;
  CLookoutClient client(ui, loop.Poster());
  auto& m = client.EditMirrors();
  m.users->CreateBuiltInAccounts(nullptr);
  QVERIFY(m.users->Add(std::make_shared<CUser>("bob", "Bob", "pw", ""), nullptr));
  m.machineNames->SetAt("LABPC", "bob");
  m.locations->Add(std::make_shared<CLocation>("10.*.*.*", "bob"));
  m.locations->Add(std::make_shared<CLocation>("192.168.1.*", "Guest"));
  const auto before = ArchiveBytes(*m.locations);
  RecordingPrompter prompter;
  prompter.answer = true;

  AssumedUsersDialog sheet(client, prompter);
  sheet.show();
  QCOMPARE(sheet.windowTitle(), QString("Assumed Users"));
  QVERIFY(SameIcon(sheet.windowIcon(), LIST_IMAGE_ASSUMED));
  QCOMPARE(sheet.Sheet()->Bar()->tabText(0), QString("By Name"));
  QCOMPARE(sheet.Sheet()->Bar()->tabText(1), QString("By IP Address"));
  QWidget* byName = sheet.Sheet()->GetPage(0);
  auto* names = Ctl<QTreeWidget>(byName, AssumedByNamePage::LIST);
  QCOMPARE(names->headerItem()->text(0), QString("Computername"));
  QCOMPARE(names->headerItem()->text(1), QString("is assumed to be"));
  QCOMPARE(Column(names, 0), QStringList({"LABPC"}));
  Screenshot(&sheet, "assumed-users-by-name.png");

  // Add on By Name: a duplicate in another case is refused and the dialog stays; then a new name.
  int round = 0;
  WhenShown nameDialog("NameLocationDialog", [&](QDialog* d) {
    auto* user = Ctl<QComboBox>(d, NameLocationDialog::USER);
    QVERIFY(!user->isEditable());
    QCOMPARE(user->count(), 3);  // users only
    Screenshot(d, "assumed-name-dialog.png");
    Ctl<QLineEdit>(d, NameLocationDialog::MACHINE)->setText("labpc");
    user->setCurrentText("Administrator");
    Ok(d);
    QVERIFY(d->isVisible());
    ++round;
    Ctl<QLineEdit>(d, NameLocationDialog::MACHINE)->setText("HALLPC");
    Ok(d);
  });
  Ctl<QPushButton>(byName, AssumedByNamePage::ADD)->click();
  QCOMPARE(nameDialog.ran, 1);
  QCOMPARE(round, 1);
  QCOMPARE(prompter.boxes.at(0), CString("Machine name|The machine name \"labpc\" is already in the list"));
  QCOMPARE(Column(names, 0), QStringList({"LABPC", "HALLPC"}));
  QCOMPARE(Column(names, 1), QStringList({"bob", "Administrator"}));

  // By IP Address: the rows in try order; Up and Down follow the selection.
  QVERIFY(sheet.Sheet()->SetActivePage(1));
  QWidget* byIP = sheet.Sheet()->GetPage(1);
  auto* rules = Ctl<QTreeWidget>(byIP, AssumedByIPPage::LIST);
  QCOMPARE(rules->headerItem()->text(0), QString("IP Address matching"));
  QCOMPARE(Column(rules, 0), QStringList({"10.*.*.*", "192.168.1.*"}));
  auto* up = Ctl<QPushButton>(byIP, AssumedByIPPage::UP);
  auto* down = Ctl<QPushButton>(byIP, AssumedByIPPage::DOWN);
  rules->setCurrentItem(rules->topLevelItem(0));
  QVERIFY(!up->isEnabled());
  QVERIFY(down->isEnabled());
  down->click();
  QCOMPARE(Column(rules, 0), QStringList({"192.168.1.*", "10.*.*.*"}));
  QVERIFY(up->isEnabled());
  QVERIFY(!down->isEnabled());
  Screenshot(&sheet, "assumed-users-by-ip.png");

  // Add a rule: a pattern that does not parse is refused in the dialog, then a good one.
  WhenShown ruleDialog("LocationRuleDialog", [&](QDialog* d) {
    QVERIFY(SameIcon(d->windowIcon(), LIST_IMAGE_MACHINE));
    Ctl<QLineEdit>(d, LocationRuleDialog::PATTERN)->setText("10.*.*.*.*");
    Ctl<QComboBox>(d, LocationRuleDialog::USER)->setCurrentText("bob");
    Screenshot(d, "assumed-rule-dialog.png");
    Ok(d);
    QVERIFY(d->isVisible());
    Ctl<QLineEdit>(d, LocationRuleDialog::PATTERN)->setText("127.*.*.*");
    Ok(d);
  });
  Ctl<QPushButton>(byIP, AssumedByIPPage::ADD)->click();
  QCOMPARE(ruleDialog.ran, 1);
  QCOMPARE(prompter.boxes.back(),
           CString("Invalid location|The location \"10.*.*.*.*\" is not a valid address pattern"));
  QCOMPARE(Column(rules, 0), QStringList({"192.168.1.*", "10.*.*.*", "127.*.*.*"}));
  QCOMPARE(Column(rules, 1), QStringList({"Guest", "bob", "bob"}));
  // Remove the selected (new) row, and nothing reached the mirror yet.
  Ctl<QPushButton>(byIP, AssumedByIPPage::REMOVE)->click();
  QCOMPARE(rules->topLevelItemCount(), 2);
  QCOMPARE(ArchiveBytes(*m.locations), before);

  Press(&sheet, "IDOK");
  QVERIFY(!sheet.isVisible());
  QCOMPARE(client.Mirrors().locations->FindByAddress("10.0.0.1"), CString("bob"));
  QCOMPARE(client.Mirrors().locations->GetLocation(0)->GetName(), CString("192.168.1.*"));
  CString user;
  QVERIFY(client.Mirrors().machineNames->Lookup("HALLPC", user));
  QCOMPARE(user, CString("Administrator"));
}

void MiscQtTest::messageAndConfirmationDialogs() {
  // The console's window, kept on top by the operator: a received message brings it forward and
  // leaves it on top.
  QWidget owner;
  owner.setWindowFlag(Qt::WindowStaysOnTopHint, true);
  owner.show();
  CString sent;
  auto* d = new SendMessageDialog(
      SendMessageForm::Received("Message from Administrator on 192.168.0.2", "Can you restart the proxy?",
                                "192.168.0.2"),
      [&](SendMessageForm& f) { sent = f.Address() + "|" + f.text; }, &owner);
  d->setAttribute(Qt::WA_DeleteOnClose);
  d->show();
  d->Announce();
  QVERIFY(owner.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  QPointer<QDialog> alive(d);
  auto* button = Ctl<QPushButton>(d, SendMessageForm::BUTTON);
  auto* text = Ctl<QPlainTextEdit>(d, SendMessageForm::TEXT);
  QCOMPARE(d->windowTitle(), QString("Message from Administrator on 192.168.0.2"));
  QCOMPARE(button->text(), QString("&Reply"));
  QCOMPARE(Ctl<QLabel>(d, SendMessageForm::LABEL)->text(), QString("Message"));
  QVERIFY(text->isReadOnly());
  QVERIFY(!button->autoDefault());
  Screenshot(d, "message-received.png");
  button->click();
  QCOMPARE(d->windowTitle(), QString("Reply to Administrator on 192.168.0.2"));
  QCOMPARE(button->text(), QString("&Send"));
  QCOMPARE(Ctl<QLabel>(d, SendMessageForm::LABEL)->text(), QString("Your Message"));
  QVERIFY(!text->isReadOnly());
  QCOMPARE(text->toPlainText(), QString("Can you restart the proxy?"));
  text->setPlainText("Done.");
  Screenshot(d, "message-reply.png");
  QVERIFY(sent.empty());
  button->click();
  QCOMPARE(QString::fromStdString(sent), QString("192.168.0.2|Done."));
  QTRY_VERIFY_WITH_TIMEOUT(!alive, 30000);

  ConsoleWarnings warnings;
  warnings.DeleteSession = 0;
  ConfirmationOptionsDialog confirm(warnings);
  confirm.show();
  QCOMPARE(confirm.windowTitle(), QString("Confirmation Options"));
  QVERIFY(Ctl<QCheckBox>(&confirm, 1348)->isChecked());
  QVERIFY(!Ctl<QCheckBox>(&confirm, 1351)->isChecked());
  Screenshot(&confirm, "confirmation-options.png");
  Ctl<QCheckBox>(&confirm, 1350)->setChecked(false);
  Ctl<QCheckBox>(&confirm, 1351)->setChecked(true);
  // Cancel keeps the switches; OK takes the boxes.
  confirm.reject();
  QCOMPARE(warnings.DeleteService, 1u);
  Ok(&confirm);
  QCOMPARE(warnings.DeleteService, 0u);
  QCOMPARE(warnings.DeleteSession, 1u);
  QCOMPARE(warnings.BindExternal, 1u);
}

void MiscQtTest::editorListsShowTheTreesPictures() {
  QCOMPARE(InterfaceImage(INTERFACE_IP), 8);
  QCOMPARE(InterfaceImage(INTERFACE_DIALUP), 7);
  QCOMPARE(InterfaceImage(INTERFACE_LOOPBACK), 9);
  QCOMPARE(InterfaceImage(0), 0);

  TestLoop loop;
  RecordingUi ui;
  CLookoutClient client(ui, loop.Poster());
  auto& m = client.EditMirrors();
  m.users->CreateBuiltInAccounts(nullptr);
  const std::map<QString, uint32_t> kinds = {
      {"192.168.1.1", INTERFACE_IP}, {"127.0.0.1", INTERFACE_LOOPBACK}, {"Provider", INTERFACE_DIALUP}};
  for (const auto& [name, kind] : kinds)
    m.interfaces->SetAt(name.toStdString(), std::make_shared<CInterface>(kind, name.toStdString()));
  auto www = std::make_shared<CWWWServiceSettings>();
  www->SetName("WWW Proxy server");
  www->PortNumber = 8080;
  www->AccessRights.AddRecipientByName("Users");
  www->AccessRights.AddRecipientByName("Guest");
  m.services->SetAt(www->GetName(), www);
  QCOMPARE(AccountImage(*m.users, "Guest"), int(LIST_IMAGE_USER));
  QCOMPARE(AccountImage(*m.users, "Users"), int(LIST_IMAGE_GROUP));
  QCOMPARE(AccountImage(*m.users, "nobody"), int(LIST_IMAGE_GROUP));

  RecordingPrompter prompter;
  prompter.answer = true;
  EditServiceDialog sheet(std::make_unique<EditServiceSheet>(client, "WWW Proxy server"), prompter);
  sheet.show();
  QVERIFY(SameIcon(sheet.windowIcon(), LIST_IMAGE_SERVICE));
  // Bindings: each interface with the picture of its kind.
  for (int i = 0; i < sheet.Sheet()->PageCount(); ++i) {
    QVERIFY(sheet.Sheet()->SetActivePage(i));
    QWidget* page = sheet.Sheet()->GetPage(i);
    int rows = 0;
    for (int id : {1259, 1260})
      if (auto* list = Ctl<QTreeWidget>(page, id); list && page->objectName() == "page187")
        for (int r = 0; r < list->topLevelItemCount(); ++r, ++rows) {
          const QString name = list->topLevelItem(r)->text(0);
          QVERIFY2(kinds.count(name), qPrintable(name));
          QVERIFY2(SameIcon(list->topLevelItem(r)->icon(0), InterfaceImage(kinds.at(name))), qPrintable(name));
        }
    if (page->objectName() == "page187") QVERIFY(rows >= 2);
    // Policies: the default recipients, each with its user or group picture.
    if (auto* list = Ctl<QTreeWidget>(page, PoliciesPage::LIST); list && page->objectName() == "page148") {
      QVERIFY(list->topLevelItemCount() > 0);
      for (int r = 0; r < list->topLevelItemCount(); ++r) {
        const CString name = list->topLevelItem(r)->text(0).toStdString();
        QVERIFY2(SameIcon(list->topLevelItem(r)->icon(0), AccountImage(*m.users, name)), name.c_str());
      }
    }
  }
  // Every picture the editors use is drawn.
  for (int image : {5, 6, 8, 9, 11, 12}) QVERIFY(!TreeImages()[image].pixmap(16).toImage().isNull());
}

void MiscQtTest::theConsoleAgainstTheEngine() {
  EngineProcess engine;
  std::string log;
  QVERIFY2(engine.Start(&log), log.c_str());
  auto store = EngineSettings(engine.rcPort);
  auto owned = std::make_unique<AutoDialogs>();
  AutoDialogs& dialogs = *owned;
  LookoutApp app(std::move(store), std::move(owned));
  const std::string online = BringOnline(app, RC_REQ_GET_SCHEDULER);
  QVERIFY2(online.empty(), online.c_str());
  MainFrame* w = app.Window();
  LookoutView* tree = w->Tree();
  dialogs.shown.clear();

  // New POP3 Service: the menu command the console lacked opens the sheet over a new service.
  tree->setCurrentItem(tree->Root(RC_REQ_GET_SERVICES));
  QMenu* menu = tree->BuildMenu();
  for (const char* id : {"c32852", "c32856", "c32857", "c32855", "c32853", "c32860", "c32859", "c32854", "c32851",
                         "c32858", "c32863", "c32878", "c32879"})
    QVERIFY2(menu->findChild<QAction*>(id), id);
  menu->findChild<QAction*>("c32857")->trigger();
  delete menu;
  auto* sheet = w->findChild<EditServiceDialog*>("EditServiceSheet");
  QVERIFY(sheet);
  QVERIFY(sheet->windowTitle().endsWith("Properties"));
  const uint16_t port = FreePort();
  QWidget* general = sheet->Sheet()->GetPage(0);
  Ctl<QLineEdit>(general, GeneralPage::NAME)->setText("Mail gateway");
  Ctl<QLineEdit>(general, GeneralPage::PORT)->setText(QString::number(port));
  // The POP3 gateway's own field, with its first value; the other classes' fields hidden.
  QCOMPARE(Ctl<QLineEdit>(general, GeneralPage::DELIMITER)->text(), QString("#"));
  QVERIFY(Ctl<QLineEdit>(general, GeneralPage::DELIMITER)->isVisible());
  for (int id : {GeneralPage::AUTODIAL, GeneralPage::PUBLIC_IPS, GeneralPage::LOGIN, GeneralPage::PROMPT,
                 GeneralPage::JAVA_CLIENT})
    QVERIFY(!FindControl(general, id)->isVisible());
  Screenshot(sheet, "new-pop3-service.png");
  Press(sheet, "IDOK");
  QVERIFY(QTest::qWaitFor([&] { return tree->Entry(ENTRY_SERVICE, "Mail gateway") != nullptr; }, 15000));
  std::string greeting;
  QVERIFY(QTest::qWaitFor(
      [&] {
        int fd = Connect(port);
        if (fd < 0) return false;
        greeting = ReadSome(fd, 10, 3000);
        close(fd);
        return !greeting.empty();
      },
      15000));
  QCOMPARE(QString::fromStdString(greeting.substr(0, 11)), QString("+OK Trellis"));

  // Assumed Users: a double click on the root opens the sheet; a rule gives 127.*.*.* the user
  // Administrator, so the browser below shows as assumed.
  emit tree->itemDoubleClicked(tree->Root(RC_REQ_GET_ASSUMPTIONS), 0);
  auto* assumed = w->findChild<AssumedUsersDialog*>("AssumedUsersSheet");
  QVERIFY(assumed);
  QVERIFY(assumed->Sheet()->SetActivePage(1));
  WhenShown rule("LocationRuleDialog", [&](QDialog* d) {
    Ctl<QLineEdit>(d, LocationRuleDialog::PATTERN)->setText("127.*.*.*");
    Ctl<QComboBox>(d, LocationRuleDialog::USER)->setCurrentText("Administrator");
    Ok(d);
  });
  Ctl<QPushButton>(assumed->Sheet()->GetPage(1), AssumedByIPPage::ADD)->click();
  QCOMPARE(rule.ran, 1);
  Press(assumed, "IDOK");
  QVERIFY(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000));
  // A browser from 127.0.0.3 that keeps its request open while the view is looked at (a finished
  // one takes its machine out of the view again).
  const int browser = ConnectTo("127.0.0.3", "127.0.0.1", engine.wwwPort);
  QVERIFY(browser >= 0);
  QVERIFY(SendAll(browser, "GET http://127.0.0.2:9/ HTTP/1.0\r\n"));
  ActivityView* act = w->Activity();
  auto userLines = [&] {
    QStringList lines;
    if (QTreeWidgetItem* m = act->MachineItem("127.0.0.3"))
      for (int i = 0; i < m->childCount(); ++i) lines << m->child(i)->text(0);
    return lines;
  };
  QVERIFY2(QTest::qWaitFor([&] { return userLines().contains("Administrator (Assumed)"); }, 15000),
           qPrintable(userLines().join(";")));
  close(browser);

  // A message from another console at this address opens the dialog; the reply goes back.
  FreshConsole other;
  QVERIFY(other.LogIn(engine.rcPort, "Administrator", "admin-pw", RC_REQ_GET_USERS));
  other.client.Request(RC_REQ_SEND_MESSAGE, "127.0.0.1", "lunch?");
  QDialog* received = nullptr;
  QVERIFY(QTest::qWaitFor(
      [&] {
        other.loop.RunFor(10);
        received = w->findChild<QDialog*>("receivedMessage");
        return received != nullptr;
      },
      15000));
  QCOMPARE(received->windowTitle(), QString("Message from Administrator on 127.0.0.1"));
  QCOMPARE(Ctl<QPlainTextEdit>(received, SendMessageForm::TEXT)->toPlainText(), QString("lunch?"));
  Ctl<QPushButton>(received, SendMessageForm::BUTTON)->click();
  Ctl<QPlainTextEdit>(received, SendMessageForm::TEXT)->setPlainText("yes, at one");
  Ctl<QPushButton>(received, SendMessageForm::BUTTON)->click();
  QVERIFY(QTest::qWaitFor(
      [&] {
        other.loop.RunFor(10);
        for (const auto& p : other.ui.popups)
          if (p.text == "yes, at one|127.0.0.1") return true;
        return false;
      },
      15000));

  // Confirmation Options: with "deleting a service" cleared, Delete sends 33 without asking.
  WhenShown confirm("confirmationOptions", [&](QDialog* d) {
    Ctl<QCheckBox>(d, ConfirmationOptionsForm::DELETE_SERVICE)->setChecked(false);
    Ok(d);
  });
  w->Action(CMD_CONFIRMATION_OPTIONS)->trigger();
  QCOMPARE(confirm.ran, 1);
  QCOMPARE(app.Settings().warnings.DeleteService, 0u);
  const size_t asked = dialogs.asked.size();
  tree->setCurrentItem(tree->Entry(ENTRY_SERVICE, "Mail gateway"));
  w->Action(CMD_DELETE)->trigger();
  QCOMPARE(dialogs.asked.size(), asked);
  QVERIFY(QTest::qWaitFor([&] { return tree->Entry(ENTRY_SERVICE, "Mail gateway") == nullptr; }, 15000));
  QVERIFY(QTest::qWaitFor(
      [&] {
        const int fd = Connect(port);
        if (fd >= 0) close(fd);
        return fd < 0;
      },
      15000));
  QVERIFY2(dialogs.shown.empty(), dialogs.shown.empty() ? "" : dialogs.shown[0].c_str());
  QVERIFY(other.client.Stop(5000));
  QVERIFY(app.Stop(5000));
}

QTEST_MAIN(MiscQtTest)
#include "misc_qt_test.moc"
