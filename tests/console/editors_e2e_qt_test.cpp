// The console program itself (Qt, offscreen) against the real engine: a user (password and
// groups), the web proxy (port, bindings, logging) and a new TCP mapping service with one rule
// (made, then changed) are edited through the editors' controls as an operator would, the
// configuration is saved from the menu, the engine is restarted, and what the engine stored is
// read back from its registry with trellis-reg: the engine kept exactly what the console sent.
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <map>

#include "console/dialogs/access/user_sheets.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/core/mapping_editors_qt.h"
#include "console/dialogs/core/service_sheet_qt.h"
#include "console/model/tree_entry.h"
#include "console/shell/lookout_app.h"
#include "console/shell/lookout_view.h"
#include "engine/config/util.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_qt_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

using namespace trellis::test;

namespace {

// The row of a list whose first column reads text, or null.
QTreeWidgetItem* Row(QTreeWidget* list, const QString& text) {
  const auto found = list->findItems(text, Qt::MatchExactly, 0);
  return found.isEmpty() ? nullptr : found.first();
}

// A double click on a row, as the list reports it.
void DoubleClick(QTreeWidget* list, QTreeWidgetItem* item) {
  list->setCurrentItem(item);
  emit list->itemDoubleClicked(item, 0);
}

bool Accepts(uint16_t port) {
  const int fd = Connect(port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// One value of the engine's registry as trellis-reg prints it ("name"=type:data), or empty.
QString RegValue(const std::string& key, const std::string& value) {
  std::string out;
  if (RunCommand(BuildPath("trellis-reg") + " query '" + key + "' '" + value + "' 2>/dev/null", &out) != 0) return {};
  return QString::fromStdString(out).trimmed();
}

// The text of an sz line's quoted data, its escapes undone (\\ \" \n \r \t \xHH).
CString SzData(const QString& line) {
  const std::string s = line.toStdString();
  const size_t open = s.find(":\"");
  if (open == std::string::npos || s.size() < open + 3 || s.back() != '"') return "<not an sz value>";
  const std::string body = s.substr(open + 2, s.size() - open - 3);
  CString out;
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '\\' || i + 1 >= body.size()) {
      out += body[i];
      continue;
    }
    const char c = body[++i];
    if (c == 'x' && i + 2 < body.size()) {
      out += static_cast<char>(std::stoi(body.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
    }
  }
  return out;
}

uint16_t OtherFreePort(std::initializer_list<uint16_t> taken) {
  for (;;) {
    const uint16_t p = FreePort();
    if (std::find(taken.begin(), taken.end(), p) == taken.end()) return p;
  }
}

}  // namespace

class EditorsE2ETest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { TempRoot(); }
  void editsThroughTheConsoleAreWhatTheEngineStores();
};

void EditorsE2ETest::editsThroughTheConsoleAreWhatTheEngineStores() {
  EngineProcess engine;
  std::string log;
  QVERIFY2(engine.Start(&log), log.c_str());
  auto store = EngineSettings(engine.rcPort);
  auto dialogsOwned = std::make_unique<FirstLoginDialogs>("admin-pw");
  FirstLoginDialogs& dialogs = *dialogsOwned;
  auto app = std::make_unique<LookoutApp>(std::move(store), std::move(dialogsOwned));
  const std::string online = BringOnline(*app, RC_REQ_GET_CACHE);
  QVERIFY2(online.empty(), online.c_str());
  MainFrame* w = app->Window();
  LookoutView* tree = w->Tree();
  const size_t boxes = dialogs.shown.size();
  const size_t questions = dialogs.asked.size();
  auto settle = [&] {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return WaitUntil([&] { return app->Client().OutstandingRequests() == 0; });
  };

  // ---- A user: Guest gets a password and joins Users.
  emit tree->itemDoubleClicked(tree->Entry(ENTRY_USER, "Guest"), 0);
  QPointer<EditUserDialog> user = w->findChild<EditUserDialog*>("EditUserSheet");
  QVERIFY(user);
  QWidget* info = user->Sheet()->GetPage(0);
  Ctl<QLineEdit>(info, 1020)->setText("guest-pw");
  Ctl<QLineEdit>(info, 1008)->setText("guest-pw");
  QVERIFY(user->Sheet()->SetActivePage(1));
  QWidget* groups = user->Sheet()->GetPage(1);
  // Guest leaves Users, where the installation put it, and joins Administrators.
  auto* member = Ctl<QTreeWidget>(groups, 1043);
  auto* notMember = Ctl<QTreeWidget>(groups, 1045);
  QVERIFY(Row(member, "Users"));
  DoubleClick(member, Row(member, "Users"));
  QVERIFY(Row(notMember, "Administrators"));
  DoubleClick(notMember, Row(notMember, "Administrators"));
  QVERIFY(Row(member, "Administrators"));
  QVERIFY(Row(notMember, "Users"));
  QTest::mouseClick(user->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(WaitUntil([&] { return !user || !user->isVisible(); }));
  QVERIFY(settle());

  // ---- The web proxy: a new port, the list option with loopback only, two logging bits.
  const uint16_t wwwPort = OtherFreePort({engine.rcPort, engine.wwwPort});
  emit tree->itemDoubleClicked(tree->Entry(ENTRY_SERVICE, "WWW Proxy server"), 0);
  QPointer<EditServiceDialog> www = w->findChild<EditServiceDialog*>("EditServiceSheet");
  QVERIFY(www);
  auto page = [](EditServiceDialog* d, int id) { return d->Sheet()->GetPage(d->TabOf(id)); };
  Ctl<QLineEdit>(page(www, SERVICE_PAGE_GENERAL), GeneralPage::PORT)->setText(QString::number(wwwPort));
  QVERIFY(www->Sheet()->SetActivePage(www->TabOf(SERVICE_PAGE_BINDINGS)));
  QWidget* bindings = page(www, SERVICE_PAGE_BINDINGS);
  Click(Ctl(bindings, BindingsPage::LIST));
  auto* bound = Ctl<QTreeWidget>(bindings, BindingsPage::BOUND);
  auto* available = Ctl<QTreeWidget>(bindings, BindingsPage::AVAILABLE);
  QVERIFY(bound->isEnabled());
  // Only the loopback address: anything else bound goes back to "Available".
  for (int guard = 0; guard < 64; ++guard) {
    QTreeWidgetItem* other = nullptr;
    for (int i = 0; i < bound->topLevelItemCount(); ++i)
      if (bound->topLevelItem(i)->text(0) != "127.0.0.1") other = bound->topLevelItem(i);
    if (!other) break;
    DoubleClick(bound, other);
  }
  if (!Row(bound, "127.0.0.1")) {
    QVERIFY(Row(available, "127.0.0.1"));
    DoubleClick(available, Row(available, "127.0.0.1"));
  }
  QCOMPARE(bound->topLevelItemCount(), 1);
  QVERIFY(www->Sheet()->SetActivePage(www->TabOf(SERVICE_PAGE_LOGGING)));
  QWidget* logging = page(www, SERVICE_PAGE_LOGGING);
  Click(Ctl(logging, LoggingPage::ON));
  for (const auto& [id, bit] : LoggingPage::kBits) {
    auto* check = Ctl<QCheckBox>(logging, id);
    QVERIFY(check->isEnabled());
    if (check->isChecked() != (bit == 64 || bit == 128)) Click(check);
  }
  QTest::mouseClick(www->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(WaitUntil([&] { return !www || !www->isVisible(); }));
  QVERIFY(settle());
  QVERIFY(WaitUntil([&] { return Accepts(wwwPort); }));

  // ---- A new TCP mapping service with one rule, made through its sheet and the Mapping sheet.
  const uint16_t linkPort = OtherFreePort({engine.rcPort, engine.wwwPort, wwwPort});
  app->NewService("CTCPMappingService");
  QPointer<EditServiceDialog> link = w->findChild<EditServiceDialog*>("EditServiceSheet");
  QVERIFY(link);
  QWidget* general = page(link, SERVICE_PAGE_GENERAL);
  Ctl<QLineEdit>(general, GeneralPage::NAME)->setText("Database link");
  Ctl<QLineEdit>(general, GeneralPage::PORT)->setText(QString::number(linkPort));
  QVERIFY(link->Sheet()->SetActivePage(link->TabOf(SERVICE_PAGE_BINDINGS)));
  QWidget* linkBindings = page(link, SERVICE_PAGE_BINDINGS);
  Click(Ctl(linkBindings, BindingsPage::SPECIFIC));
  Ctl<QComboBox>(linkBindings, BindingsPage::COMBO)->setCurrentText("127.0.0.1");
  QVERIFY(link->Sheet()->SetActivePage(link->TabOf(SERVICE_PAGE_MAPPINGS)));
  QWidget* mappings = page(link, SERVICE_PAGE_MAPPINGS);
  bool drove = false;
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<MappingSheetDialog*>(QApplication::activeModalWidget());
    if (!dlg) return;
    QWidget* server = dlg->Sheet()->GetPage(0);
    Ctl<QLineEdit>(server, MappingServerPage::HOST)->setText("127.0.0.1");
    Ctl<QLineEdit>(server, MappingServerPage::PORT)->setText("5432");
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    drove = !dlg->isVisible();
  });
  QTest::mouseClick(Ctl(mappings, MappingsPage::ADD), Qt::LeftButton);
  QVERIFY(drove);
  QTest::mouseClick(link->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(WaitUntil([&] { return !link || !link->isVisible(); }));
  QVERIFY(settle());
  QVERIFY(WaitUntil([&] { return Accepts(linkPort); }));
  QVERIFY(WaitUntil([&] { return tree->Entry(ENTRY_SERVICE, "Database link") != nullptr; }));

  // Its rule changed again from the tree: a double click on the rule opens the Mapping sheet.
  emit tree->itemDoubleClicked(tree->Entry(ENTRY_SERVICE, "Database link"), 0);
  link = w->findChild<EditServiceDialog*>("EditServiceSheet");
  QVERIFY(link);
  QCOMPARE(link->windowTitle(), QString("Database link Properties"));
  QVERIFY(link->Sheet()->SetActivePage(link->TabOf(SERVICE_PAGE_MAPPINGS)));
  auto* rules = Ctl<QListWidget>(page(link, SERVICE_PAGE_MAPPINGS), MappingsPage::LIST);
  QCOMPARE(rules->count(), 1);
  QCOMPARE(rules->item(0)->text(), QString("Link to 127.0.0.1:5432 no dependencies"));
  drove = false;
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<MappingSheetDialog*>(QApplication::activeModalWidget());
    if (!dlg) return;
    Ctl<QLineEdit>(dlg->Sheet()->GetPage(0), MappingServerPage::PORT)->setText("6543");
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    drove = !dlg->isVisible();
  });
  emit rules->itemDoubleClicked(rules->item(0));
  QVERIFY(drove);
  QCOMPARE(rules->item(0)->text(), QString("Link to 127.0.0.1:6543 no dependencies"));
  QTest::mouseClick(link->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(WaitUntil([&] { return !link || !link->isVisible(); }));
  QVERIFY(settle());

  // Nothing was refused or questioned on the way.
  for (size_t i = boxes; i < dialogs.shown.size(); ++i) QFAIL(dialogs.shown[i].c_str());
  for (size_t i = questions; i < dialogs.asked.size(); ++i) QFAIL(dialogs.asked[i].c_str());

  // ---- Saved from the menu; the engine restarts on what it stored.
  w->Action(CMD_SAVE)->trigger();
  QVERIFY(settle());
  QVERIFY(app->Stop(5000));
  app.reset();
  engine.Stop();
  QVERIFY2(engine.Restart(&log), log.c_str());
  QVERIFY(WaitUntil([&] { return Accepts(wwwPort) && Accepts(linkPort); }));
  QVERIFY(!Accepts(engine.wwwPort));

  const CString password = SzData(RegValue("UserDatabase\\Guest", "Password"));
  CString plain = password;
  ScrambleString(plain);
  QCOMPARE(plain, CString("guest-pw"));
  QVERIFY(RegValue("UserDatabase\\Users\\Members", "Guest").isEmpty());
  QVERIFY(!RegValue("UserDatabase\\Administrators\\Members", "Guest").isEmpty());
  QVERIFY(!RegValue("UserDatabase\\Users\\Members", "Administrator").isEmpty());
  const std::string wwwKey = "Services\\WWW Proxy server";
  QCOMPARE(RegValue(wwwKey, "PortNumber"), QString("\"PortNumber\"=dword:%1").arg(wwwPort));
  QCOMPARE(RegValue(wwwKey, "BindingOption"), QString("\"BindingOption\"=dword:2"));
  QCOMPARE(RegValue(wwwKey, "LoggingEnabled"), QString("\"LoggingEnabled\"=dword:1"));
  QCOMPARE(RegValue(wwwKey, "LogOptions"), QString("\"LogOptions\"=dword:192"));
  std::string out;
  QCOMPARE(RunCommand(BuildPath("trellis-reg") + " export '" + wwwKey + "\\Bindings'", &out), 0);
  QVERIFY2(QString::fromStdString(out).count("\\Bindings\\") == 1, out.c_str());
  QVERIFY2(out.find("\\Bindings\\127.0.0.1]") != std::string::npos, out.c_str());
  const std::string linkKey = "Services\\Database link";
  QCOMPARE(RegValue(linkKey, "ServiceType"), QString("\"ServiceType\"=sz:\"CTCPMappingService\""));
  QCOMPARE(RegValue(linkKey, "PortNumber"), QString("\"PortNumber\"=dword:%1").arg(linkPort));
  QCOMPARE(RegValue(linkKey, "SpecificBinding"), QString("\"SpecificBinding\"=sz:\"127.0.0.1\""));
  QCOMPARE(RunCommand(BuildPath("trellis-reg") + " export '" + linkKey + "\\Mappings'", &out), 0);
  QVERIFY2(out.find("\"Host\"=sz:\"127.0.0.1\"") != std::string::npos, out.c_str());
  QVERIFY2(out.find("\"Port\"=dword:6543") != std::string::npos, out.c_str());
}

QTEST_MAIN(EditorsE2ETest)
#include "editors_e2e_qt_test.moc"
