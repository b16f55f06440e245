// The console program against a real engine, driven as an operator would: log in (the first
// log-in changes the password), open the DHCP service's sheet from the tree, choose Manual, make
// a scope on the bound interface with Router, DNS (two, in order) and Domain name options through
// the options dialog and its editors, the NetBIOS node type among the global options, make a reservation on that scope
// for a MAC address typed with colons in lower case, OK the sheet and have the engine save its configuration.
// tests/e2e/test_console_dhcp.sh runs it inside the namespace where the engine listens and then lets a real DHCP client
// ask.
//
// Environment: LOOKOUT_PORT (the remote-control port on 127.0.0.1), DHCP_INTERFACE, DHCP_FROM,
// DHCP_TO, DHCP_ROUTER, DHCP_DNS (blank-separated), DHCP_DOMAIN, DHCP_RESERVED, DHCP_MAC. Exit 0 when every step went
// through.
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/core/dhcp_pages_qt.h"
#include "console/dialogs/core/service_sheet_qt.h"
#include "console/dialogs/netsvc/dhcp_editors_qt.h"
#include "console/model/console_dialogs.h"
#include "console/model/tree_entry.h"
#include "console/shell/lookout_app.h"
#include "console/shell/lookout_view.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_qt_harness.h"

namespace {

using trellis::test::FirstLoginDialogs;
using trellis::test::MemoryStore;

// The first log-in: an empty password confirmed, then changed when the engine asks. What the
// console asked and showed goes to stderr with a failure.
const FirstLoginDialogs* g_dialogs = nullptr;

void PrintDialogs(const char* indent) {
  if (!g_dialogs) return;
  for (const CString& s : g_dialogs->asked) std::fprintf(stderr, "%sasked: %s\n", indent, s.c_str());
  for (const CString& s : g_dialogs->shown) std::fprintf(stderr, "%sshown: %s\n", indent, s.c_str());
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "FAIL: %s\n", what);
  PrintDialogs("  ");
  std::fflush(stderr);
  // Modal loops may be open: leave without unwinding them.
  std::_Exit(1);
}
#define CHECK(cond)           \
  do {                        \
    if (!(cond)) Fail(#cond); \
  } while (0)

QString Env(const char* name) {
  const QByteArray v = qgetenv(name);
  if (v.isEmpty()) Fail(name);
  return QString::fromLocal8Bit(v);
}

template <class W = QWidget>
W* Ctl(QWidget* root, int id) {
  auto* w = qobject_cast<W*>(FindControl(root, id));
  if (!w) Fail("a control is missing");
  return w;
}
void Type(QWidget* root, int id, const QString& text) { Ctl<QLineEdit>(root, id)->setText(text); }
void Press(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); }
template <class D>
D* Modal() {
  auto* d = qobject_cast<D*>(QApplication::activeModalWidget());
  if (!d) Fail("the expected dialog is not open");
  return d;
}
// "Add >>" on the named option, its editor filled by fill and confirmed.
void AddOption(DHCPOptionsDialog* opts, const char* name, const std::function<void(DHCPOptionEditorDialog*)>& fill) {
  auto* available = Ctl<QListWidget>(opts, DHCPOptionsLogic::AVAILABLE);
  auto items = available->findItems(QString::fromLatin1(name), Qt::MatchExactly);
  CHECK(!items.isEmpty());
  available->setCurrentItem(items.first());
  QTimer::singleShot(0, [&] {
    auto* ed = Modal<DHCPOptionEditorDialog>();
    fill(ed);
    Press(ed->findChild<QPushButton*>("IDOK"));
    CHECK(!ed->isVisible());
  });
  Press(Ctl(opts, DHCPOptionsLogic::ADD));
}
void AddAddresses(DHCPOptionEditorDialog* ed, const QStringList& addresses) {
  for (const QString& a : addresses) {
    Type(ed, DHCPOptionEditorLogic::LIST_EDIT, a);
    Press(Ctl(ed, DHCPOptionEditorLogic::LIST_ADD));
  }
}

void Run(DHCPSettingsWidget* page, int id) {
  std::unique_ptr<QMenu> menu(page->BuildMenu());
  auto* a = menu->findChild<QAction*>(QString::fromStdString(ControlName(id)));
  CHECK(a && a->isEnabled());
  a->trigger();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication qapp(argc, argv);
  const QString port = Env("LOOKOUT_PORT"), iface = Env("DHCP_INTERFACE"), from = Env("DHCP_FROM"), to = Env("DHCP_TO"),
                router = Env("DHCP_ROUTER"), reserved = Env("DHCP_RESERVED"), mac = Env("DHCP_MAC"),
                dns = Env("DHCP_DNS"), domain = Env("DHCP_DOMAIN");
  auto store = std::make_unique<MemoryStore>();
  store->Set("Settings", "TrellisServer", "127.0.0.1");
  store->Set("Settings", "TrellisPort", port.toStdString());
  auto dialogs = std::make_unique<FirstLoginDialogs>("dhcp-operator");
  g_dialogs = dialogs.get();
  LookoutApp app(std::move(store), std::move(dialogs));
  CHECK(app.Start(true));
  app.Window()->show();
  CHECK(QTest::qWaitFor([&] { return app.Client().IsLoggedIn(); }, 20000));
  LookoutView* tree = app.Window()->Tree();
  CHECK(QTest::qWaitFor(
      [&] { return tree->Entry(ENTRY_SERVICE, "DHCP Service") && app.Client().OutstandingRequests() == 0; }, 20000));

  // The service's sheet from the tree, as a double click opens it.
  emit tree->itemDoubleClicked(tree->Entry(ENTRY_SERVICE, "DHCP Service"), 0);
  auto* sheet = app.Window()->findChild<EditServiceDialog*>("EditServiceSheet");
  CHECK(sheet);
  const int modeTab = sheet->TabOf(SERVICE_PAGE_DHCP_MODE);
  CHECK(modeTab >= 0 && sheet->Sheet()->SetActivePage(modeTab));
  QTest::mouseClick(Ctl(sheet->Sheet()->GetPage(modeTab), DHCPModePage::MANUAL), Qt::LeftButton, {}, QPoint(6, 8));
  const int settingsTab = sheet->TabOf(SERVICE_PAGE_DHCP_SETTINGS);
  CHECK(sheet->Sheet()->SetActivePage(settingsTab));
  auto* page = qobject_cast<DHCPSettingsWidget*>(sheet->Sheet()->GetPage(settingsTab));
  CHECK(page);
  auto found = page->Tree()->findItems(iface, Qt::MatchExactly);
  CHECK(!found.isEmpty());
  page->Tree()->setCurrentItem(found.first());

  // New scope, with its Router option.
  QTimer::singleShot(0, [&] {
    auto* dlg = Modal<ScopeDialog>();
    using S = ScopeDialogLogic;
    Type(dlg, S::DESCRIPTION, "console e2e");
    Type(dlg, S::FROM, from);
    Type(dlg, S::TO, to);
    Type(dlg, S::MASK, "255.255.255.0");
    Type(dlg, S::DAYS, "0");
    Type(dlg, S::HOURS, "1");
    Type(dlg, S::MINUTES, "0");
    QTimer::singleShot(0, [&] {
      auto* opts = Modal<DHCPOptionsDialog>();
      AddOption(opts, "Router", [&](DHCPOptionEditorDialog* ed) { AddAddresses(ed, {router}); });
      AddOption(opts, "DNS server", [&](DHCPOptionEditorDialog* ed) { AddAddresses(ed, dns.split(' ')); });
      AddOption(opts, "Domain name",
                [&](DHCPOptionEditorDialog* ed) { Type(ed, DHCPOptionEditorLogic::VALUE, domain); });
      CHECK(Ctl<QListWidget>(opts, DHCPOptionsLogic::IN_USE)->count() == 3);
      Press(opts->findChild<QPushButton*>("IDOK"));
    });
    Press(Ctl(dlg, S::OPTIONS));
    Press(dlg->findChild<QPushButton*>("IDOK"));
    CHECK(!dlg->isVisible());
  });
  Run(page, DHCPSettingsPage::NEW_SCOPE);
  auto scopes = page->Tree()->findItems(QStringLiteral("[%1 - %2] console e2e").arg(from, to),
                                        Qt::MatchExactly | Qt::MatchRecursive);
  CHECK(!scopes.isEmpty());

  // New reservation on it.
  page->Tree()->setCurrentItem(scopes.first());
  QTimer::singleShot(0, [&] {
    auto* dlg = Modal<ReservationDialog>();
    Type(dlg, ReservationDialogLogic::ADDRESS, reserved);
    Type(dlg, ReservationDialogLogic::MATCH, mac);
    Press(dlg->findChild<QPushButton*>("IDOK"));
    CHECK(!dlg->isVisible());
  });
  Run(page, DHCPSettingsPage::NEW_RESERVATION);

  // Global Options: the NetBIOS node type H.
  auto globals = page->Tree()->findItems("Global Options", Qt::MatchExactly);
  CHECK(!globals.isEmpty());
  page->Tree()->setCurrentItem(globals.first());
  QTimer::singleShot(0, [&] {
    auto* opts = Modal<DHCPOptionsDialog>();
    AddOption(opts, "NBT node type", [&](DHCPOptionEditorDialog* ed) {
      QTest::mouseClick(Ctl(ed, DHCPOptionEditorLogic::H_NODE), Qt::LeftButton, {}, QPoint(6, 8));
    });
    Press(opts->findChild<QPushButton*>("IDOK"));
  });
  Run(page, DHCPSettingsPage::PROPERTIES);

  // OK sends the service; then the engine saves its configuration.
  Press(sheet->findChild<QPushButton*>("IDOK"));
  CHECK(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 20000));
  app.Client().Request(RC_REQ_SAVE_CONFIGURATION);
  CHECK(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 20000));
  PrintDialogs("");
  std::printf("console: scope and reservation sent\n");
  return 0;
}
