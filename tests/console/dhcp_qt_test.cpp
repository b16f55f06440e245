// The DHCP editors' windows with Qt Test, headless (offscreen): the DHCP Mode page's rules as the
// operator clicks, the DHCP Settings tree's menus by the kind of item, a scope made through the
// Scope Properties dialog with an exclusion and a DNS option added through the options dialog and
// its list editor, a refused mask keeping the dialog open, a reservation whose MAC address is
// typed with colons, and the sheet's OK writing all of it into the mirror. Under Xvfb
// (LOOKOUT_SCREENSHOTS set) each page, dialog and option editor is saved as a PNG.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>

#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/core/dhcp_pages_qt.h"
#include "console/dialogs/core/service_sheet_qt.h"
#include "console/dialogs/netsvc/dhcp_editors_qt.h"
#include "console/model/list_images.h"
#include "console/model/lookout_client.h"
#include "console/model/tree_images.h"
#include "engine/netsvc/dhcp/dhcp_settings.h"
#include "tests/console/console_harness.h"
#include "tests/console/console_qt_harness.h"

using namespace trellis::test;

namespace {

void Type(QWidget* root, int id, const char* text) { Ctl<QLineEdit>(root, id)->setText(QString::fromUtf8(text)); }

template <class D>
D* Modal() {
  return qobject_cast<D*>(QApplication::activeModalWidget());
}

QTreeWidgetItem* FindItem(QTreeWidget* tree, const QString& text) {
  auto found = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
  return found.isEmpty() ? nullptr : found.first();
}

// The menu action of a command on the selected item: its enabled state, and it run.
bool MenuHas(DHCPSettingsWidget* page, int id, const QString& menuName) {
  std::unique_ptr<QMenu> menu(page->BuildMenu());
  if (menu->objectName() != menuName) return false;
  auto* a = menu->findChild<QAction*>(QString::fromStdString(ControlName(id)));
  return a && a->isEnabled();
}
void Run(DHCPSettingsWidget* page, int id) {
  std::unique_ptr<QMenu> menu(page->BuildMenu());
  menu->findChild<QAction*>(QString::fromStdString(ControlName(id)))->trigger();
}

}  // namespace

class DHCPQtTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup() { client.reset(); }
  void aScopeAndAReservationAreMadeThroughTheControlsAndReachTheServiceAtOk();
  void everyOptionEditorShowsItsTypesControls();

 private:
  trellis::test::TestLoop loop;
  trellis::test::RecordingUi ui;
  std::unique_ptr<CLookoutClient> client;
  RecordingPrompter prompter;
};

void DHCPQtTest::init() {
  client = std::make_unique<CLookoutClient>(ui, loop.Poster());
  auto lan = std::make_shared<CInterface>(INTERFACE_IP, "192.168.1.1");
  lan->m_lan = 1;
  client->EditMirrors().interfaces->SetAt("192.168.1.1", lan);
  auto svc = std::make_shared<CDHCPServiceSettings>();
  svc->SetName("DHCP Service");
  svc->BindingOption = BINDING_SPECIFIC;
  svc->SpecificBinding = "192.168.1.1";
  svc->Database.OperatingMode = CDHCPDatabase::MODE_AUTOMATIC;
  client->EditMirrors().services->SetAt(svc->GetName(), svc);
  prompter.boxes.clear();
}

void DHCPQtTest::aScopeAndAReservationAreMadeThroughTheControlsAndReachTheServiceAtOk() {
  EditServiceDialog sheet(std::make_unique<EditServiceSheet>(*client, "DHCP Service"), prompter);
  sheet.resize(560, 460);
  sheet.show();
  QVERIFY(QTest::qWaitForWindowExposed(&sheet));

  // DHCP Mode: the flags follow "Semi automatic".
  const int modeTab = sheet.TabOf(SERVICE_PAGE_DHCP_MODE);
  QVERIFY(modeTab >= 0);
  QCOMPARE(sheet.TabOf(SERVICE_PAGE_DHCP_SETTINGS), modeTab + 1);
  QVERIFY(sheet.Sheet()->SetActivePage(modeTab));
  QWidget* mode = sheet.Sheet()->GetPage(modeTab);
  QVERIFY(Ctl<QRadioButton>(mode, DHCPModePage::AUTOMATIC)->isChecked());
  QVERIFY(!Ctl(mode, DHCPModePage::CREATE_SCOPES)->isEnabled());
  Click(Ctl(mode, DHCPModePage::SEMI));
  QVERIFY(Ctl(mode, DHCPModePage::ASSIGN_DNS)->isEnabled());
  QVERIFY(Ctl<QCheckBox>(mode, DHCPModePage::ASSIGN_DNS)->isChecked());
  Click(Ctl(mode, DHCPModePage::ASSIGN_DNS));
  QVERIFY(!Ctl<QCheckBox>(mode, DHCPModePage::ASSIGN_DNS)->isChecked());
  Screenshot(&sheet, "dhcp-mode.png");
  Click(Ctl(mode, DHCPModePage::MANUAL));
  QVERIFY(!Ctl(mode, DHCPModePage::ASSIGN_DNS)->isEnabled());

  // DHCP Settings: the interface, then "Global Options"; menus by the kind of item.
  QVERIFY(sheet.Sheet()->SetActivePage(modeTab + 1));
  auto* page = qobject_cast<DHCPSettingsWidget*>(sheet.Sheet()->GetPage(modeTab + 1));
  QVERIFY(page);
  QTreeWidget* tree = page->Tree();
  QCOMPARE(tree->topLevelItemCount(), 2);
  QCOMPARE(tree->topLevelItem(0)->text(0), QString("192.168.1.1"));
  QCOMPARE(tree->topLevelItem(1)->text(0), QString("Global Options"));
  // The console's pictures: an interface 8, "Global Options" 12.
  QCOMPARE(tree->topLevelItem(0)->icon(0).cacheKey(), TreeImages()[LIST_IMAGE_INTERFACE_IP].cacheKey());
  QCOMPARE(tree->topLevelItem(1)->icon(0).cacheKey(), TreeImages()[LIST_IMAGE_DHCP_GLOBAL].cacheKey());
  tree->setCurrentItem(tree->topLevelItem(0));
  QVERIFY(MenuHas(page, DHCPSettingsPage::NEW_SCOPE, "menu146"));
  QVERIFY(!MenuHas(page, DHCPSettingsPage::NEW_RESERVATION, "menu146"));

  // New scope: a mask with a hole is refused and the dialog stays; an exclusion and a DNS
  // option (added through "Add >>" and the list editor) go with it.
  bool drove = false;
  QTimer::singleShot(0, [&] {
    auto* dlg = Modal<ScopeDialog>();
    QVERIFY(dlg);
    QCOMPARE(dlg->windowTitle(), QString("Scope Properties"));
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    using S = ScopeDialogLogic;
    // The keyboard starts on the first field and Tab follows the form, row by row.
    QStringList tabs;
    for (QWidget* w = dlg->focusWidget(); w && tabs.size() < 9; w = w->nextInFocusChain())
      if (w->window() == dlg && (w->focusPolicy() & Qt::TabFocus) && !w->focusProxy()) tabs << w->objectName();
    QCOMPARE(tabs, QStringList({"c1530", "c1531", "c1532", "c1533", "c1534", "c1535", "c1536", "c1537", "c1538"}));
    Type(dlg, S::DESCRIPTION, "office");
    Type(dlg, S::FROM, "192.168.1.10");
    Type(dlg, S::TO, "192.168.1.99");
    Type(dlg, S::MASK, "255.255.0.255");
    Type(dlg, S::DAYS, "0");
    Type(dlg, S::HOURS, "2");
    Type(dlg, S::MINUTES, "30");
    Type(dlg, S::EXCLUDE_FROM, "192.168.1.20");
    Type(dlg, S::EXCLUDE_TO, "192.168.1.25");
    Press(Ctl(dlg, S::EXCLUDE_ADD));
    QCOMPARE(Ctl<QListWidget>(dlg, S::EXCLUSIONS)->count(), 1);
    QCOMPARE(Ctl<QListWidget>(dlg, S::EXCLUSIONS)->item(0)->text(), QString("192.168.1.20 - 192.168.1.25"));
    QCOMPARE(Ctl<QLineEdit>(dlg, S::EXCLUDE_FROM)->text(), QString());
    QTimer::singleShot(0, [&] {
      auto* opts = Modal<DHCPOptionsDialog>();
      QVERIFY(opts);
      auto* available = Ctl<QListWidget>(opts, DHCPOptionsLogic::AVAILABLE);
      QCOMPARE(available->currentItem()->text(), QString("Time offset"));
      QCOMPARE(Ctl<QLabel>(opts, DHCPOptionsLogic::DESCRIPTION)->text(),
               QString("Time offset in UTC for client subnet"));
      available->setCurrentItem(available->findItems("DNS server", Qt::MatchExactly).first());
      QCOMPARE(Ctl<QLabel>(opts, DHCPOptionsLogic::DESCRIPTION)->text(), QString("DNS servers, in preference order"));
      // The editor opens at once; Cancel adds nothing.
      QTimer::singleShot(0, [&] { Modal<QDialog>()->reject(); });
      Press(Ctl(opts, DHCPOptionsLogic::ADD));
      QCOMPARE(Ctl<QListWidget>(opts, DHCPOptionsLogic::IN_USE)->count(), 0);
      QTimer::singleShot(0, [&] {
        auto* ed = Modal<DHCPOptionEditorDialog>();
        QVERIFY(ed);
        QCOMPARE(ed->windowTitle(), QString("Edit DHCP Option"));
        QCOMPARE(Ctl<QLabel>(ed, DHCPOptionEditorLogic::NAME)->text(), QString("DNS server"));
        using E = DHCPOptionEditorLogic;
        for (const char* a : {"192.168.1.3", "192.168.1.2"}) {
          Type(ed, E::LIST_EDIT, a);
          Press(Ctl(ed, E::LIST_ADD));
        }
        Ctl<QListWidget>(ed, E::LIST)->setCurrentRow(1);
        Press(Ctl(ed, E::LIST_UP));
        QCOMPARE(Ctl<QListWidget>(ed, E::LIST)->item(0)->text(), QString("192.168.1.2"));
        Screenshot(ed, "dhcp-option-list.png");
        Press(ed->findChild<QPushButton*>("IDOK"));
      });
      Press(Ctl(opts, DHCPOptionsLogic::ADD));
      auto* inUse = Ctl<QListWidget>(opts, DHCPOptionsLogic::IN_USE);
      QCOMPARE(inUse->count(), 1);
      QCOMPARE(inUse->item(0)->text(), QString("DNS server"));
      Screenshot(opts, "dhcp-options.png");
      Press(opts->findChild<QPushButton*>("IDOK"));
    });
    Press(Ctl(dlg, S::OPTIONS));
    Screenshot(dlg, "dhcp-scope.png");
    Press(dlg->findChild<QPushButton*>("IDOK"));
    QVERIFY(dlg->isVisible());
    QCOMPARE(prompter.boxes.back(), CString("Scope Properties|") + kTextBadMask);
    Type(dlg, S::MASK, "255.255.255.0");
    Press(dlg->findChild<QPushButton*>("IDOK"));
    drove = !dlg->isVisible();
  });
  Run(page, DHCPSettingsPage::NEW_SCOPE);
  QVERIFY(drove);
  QTreeWidgetItem* scopeItem = FindItem(tree, "[192.168.1.10 - 192.168.1.99] office");
  QVERIFY(scopeItem);

  // New reservation on the scope (menu 147), the MAC typed with colons in lower case.
  tree->setCurrentItem(scopeItem);
  QVERIFY(MenuHas(page, DHCPSettingsPage::NEW_RESERVATION, "menu147"));
  drove = false;
  QTimer::singleShot(0, [&] {
    auto* dlg = Modal<ReservationDialog>();
    QVERIFY(dlg);
    using R = ReservationDialogLogic;
    QVERIFY(Ctl<QRadioButton>(dlg, R::BY_MAC)->isChecked());
    Type(dlg, R::ADDRESS, "192.168.1.50");
    Type(dlg, R::MATCH, "02:00:00:aa:bb:01");
    Screenshot(dlg, "dhcp-reservation.png");
    Press(dlg->findChild<QPushButton*>("IDOK"));
    drove = !dlg->isVisible();
  });
  Run(page, DHCPSettingsPage::NEW_RESERVATION);
  QVERIFY(drove);
  QVERIFY(FindItem(tree, "[192.168.1.50] 020000AABB01"));
  QCOMPARE(FindItem(tree, "[192.168.1.50] 020000AABB01")->icon(0).cacheKey(),
           TreeImages()[LIST_IMAGE_MACHINE].cacheKey());
  QCOMPARE(FindItem(tree, "[192.168.1.10 - 192.168.1.99] office")->icon(0).cacheKey(),
           TreeImages()[LIST_IMAGE_DHCP_SCOPE].cacheKey());
  // A double click edits a copy: Cancel leaves the tree as it was.
  QTimer::singleShot(0, [&] {
    auto* dlg = Modal<ReservationDialog>();
    QVERIFY(dlg);
    QCOMPARE(Ctl<QLineEdit>(dlg, ReservationDialogLogic::MATCH)->text(), QString("020000AABB01"));
    Type(dlg, ReservationDialogLogic::ADDRESS, "192.168.1.60");
    dlg->reject();
  });
  emit tree->itemDoubleClicked(FindItem(tree, "[192.168.1.50] 020000AABB01"), 0);
  QVERIFY(FindItem(tree, "[192.168.1.50] 020000AABB01"));
  // Insert on a scope makes a reservation (a taken address is refused first); Delete removes it.
  tree->setCurrentItem(FindItem(tree, "[192.168.1.10 - 192.168.1.99] office"));
  QTimer::singleShot(0, [&] {
    auto* dlg = Modal<ReservationDialog>();
    QVERIFY(dlg);
    Type(dlg, ReservationDialogLogic::ADDRESS, "192.168.1.50");
    Type(dlg, ReservationDialogLogic::MATCH, "02-00-00-00-00-02");
    Press(dlg->findChild<QPushButton*>("IDOK"));
    QVERIFY(dlg->isVisible());
    QCOMPARE(prompter.boxes.back(), CString("Reservation|The address 192.168.1.50 is already reserved."));
    Type(dlg, ReservationDialogLogic::ADDRESS, "192.168.1.51");
    Press(dlg->findChild<QPushButton*>("IDOK"));
  });
  QTest::keyClick(tree, Qt::Key_Insert);
  QTreeWidgetItem* second = FindItem(tree, "[192.168.1.51] 020000000002");
  QVERIFY(second);
  tree->setCurrentItem(second);
  QTest::keyClick(tree, Qt::Key_Delete);
  QVERIFY(!FindItem(tree, "[192.168.1.51] 020000000002"));
  Screenshot(&sheet, "dhcp-settings.png");
  // Nothing reached the mirror's service before the sheet's OK.
  QVERIFY(!client->Mirrors().services->LookupAs<CDHCPServiceSettings>("DHCP Service")->Database.FindScope(1));

  Press(sheet.findChild<QPushButton*>("IDOK"));
  QVERIFY(!sheet.isVisible());
  auto svc = client->Mirrors().services->LookupAs<CDHCPServiceSettings>("DHCP Service");
  QCOMPARE(svc->Database.OperatingMode.load(), uint32_t(CDHCPDatabase::MODE_MANUAL));
  // Loaded with all three flags; "Assign DNS" was cleared.
  QCOMPARE(svc->Database.AutoOptions.load(), uint32_t(CDHCPDatabase::AUTO_CREATE_SCOPES | CDHCPDatabase::AUTO_ROUTER));
  auto scope = svc->Database.FindScope(1);
  QVERIFY(scope);
  QCOMPARE(scope->BoundInterface, CString("192.168.1.1"));
  QCOMPARE(scope->LeaseDuration, 2u * 3600 + 30 * 60);
  QCOMPARE(scope->GetExclusions().size(), size_t(1));
  auto dns = scope->Options.GetOption(6);
  QVERIFY(dns);
  QCOMPARE(std::vector<uint8_t>(dns->Data, dns->Data + dns->Length),
           (std::vector<uint8_t>{192, 168, 1, 2, 192, 168, 1, 3}));
  auto r = svc->Database.FindReservationByAddress("192.168.1.50");
  QVERIFY(r);
  QCOMPARE(r->MatchData, CString("020000AABB01"));
  QCOMPARE(r->ScopeID, 1u);
}

void DHCPQtTest::everyOptionEditorShowsItsTypesControls() {
  using E = DHCPOptionEditorLogic;
  struct Case {
    uint8_t code;
    std::vector<uint8_t> data;
    int control;
    const char* file;
  } cases[] = {
      {19, {1}, E::FLAG, "dhcp-option-flag.png"},
      {2, {0xFF, 0xFF, 0xB9, 0xB0}, E::VALUE, "dhcp-option-value.png"},
      {6, {10, 0, 0, 1, 10, 0, 0, 2}, E::LIST, "dhcp-option-addresses.png"},
      {15, {'l', 'a', 'b', '.', 't', 'e', 's', 't'}, E::VALUE, "dhcp-option-text.png"},
      {46, {8}, E::H_NODE, "dhcp-option-node.png"},
  };
  for (const Case& c : cases) {
    CDHCPOption o(c.code, c.data.data(), c.data.size());
    DHCPOptionEditorDialog dlg(o, prompter);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QVERIFY2(Ctl(&dlg, c.control), c.file);
    Screenshot(&dlg, c.file);
    // OK without a change gives back the same bytes.
    Press(dlg.findChild<QPushButton*>("IDOK"));
    QVERIFY(!dlg.isVisible());
    CDHCPOption again;
    dlg.Logic().Apply(again);
    QCOMPARE(std::vector<uint8_t>(again.Data, again.Data + again.Length), c.data);
  }
  // The time offset shows signed; the node type's radio is checked; a text too long is refused.
  CDHCPOption offset(2, "\xFF\xFF\xB9\xB0", 4);
  DHCPOptionEditorDialog value(offset, prompter);
  QCOMPARE(Ctl<QLineEdit>(&value, E::VALUE)->text(), QString("-18000"));
  CDHCPOption node(46, "\x08", 1);
  DHCPOptionEditorDialog radios(node, prompter);
  QVERIFY(Ctl<QRadioButton>(&radios, E::H_NODE)->isChecked());
  Click(Ctl(&radios, E::P_NODE));
  QCOMPARE(radios.Logic().nodeType, uint8_t(2));
  CDHCPOption text;
  text.Code = 17;
  DHCPOptionEditorDialog path(text, prompter);
  path.show();
  Ctl<QLineEdit>(&path, E::VALUE)->setText(QString(126, QChar(0xe9)));  // 252 bytes
  Press(path.findChild<QPushButton*>("IDOK"));
  QVERIFY(!path.isVisible());
  path.show();
  Ctl<QLineEdit>(&path, E::VALUE)->setText(QString(127, QChar(0xe9)));  // 254 bytes
  Press(path.findChild<QPushButton*>("IDOK"));
  QVERIFY(path.isVisible());
  QCOMPARE(prompter.boxes.back(), CString("Edit DHCP Option|") + DHCPTextTooLongText(254));
}

QTEST_MAIN(DHCPQtTest)
#include "dhcp_qt_test.moc"
