// The user and group editors' windows with Qt Test, headless (offscreen): every control of the
// Edit User sheet by its id, the rules as the operator clicks, a field that does not parse keeping
// its page, Enter never closing the sheet, OK through the controls into the mirror, and the group
// dialog's moves. Under Xvfb (LOOKOUT_SCREENSHOTS set) each page and dialog is saved as a PNG.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <deque>

#include "console/dialogs/access/user_sheets.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/shell/lookout_client.h"
#include "tests/console/console_harness.h"

namespace {

struct RecordingPrompter : Prompter {
  void Message(const CString& title, const CString& text, uint32_t) override { boxes.push_back(title + "|" + text); }
  bool AskYesNo(const CString& title, const CString& text, uint32_t) override {
    boxes.push_back(title + "|" + text);
    return false;
  }
  void Beep() override { ++beeps; }
  std::vector<CString> boxes;
  int beeps = 0;
};

struct NoConfirm : UserDialogs {
  std::optional<CString> ConfirmPassword(const CString&) override { return std::nullopt; }
};

void Screenshot(QWidget* w, const QString& name) {
  const QByteArray dir = qgetenv("LOOKOUT_SCREENSHOTS");
  if (dir.isEmpty()) return;
  QDir().mkpath(QString::fromLocal8Bit(dir));
  QVERIFY(w->grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(name)));
}

// A click on a check box or radio's indicator (a click far right of its text is no click).
void Click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(6, w->height() / 2)); }

template <class W = QWidget>
W* Ctl(QWidget* root, int id) {
  return qobject_cast<W*>(FindControl(root, id));
}

}  // namespace

class EditorsQtTest : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup() { client.reset(); }
  void theEditUserSheetFollowsItsRulesAndWritesThroughItsControls();
  void theGroupDialogMovesUsersAndRefusesATakenName();

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
  const int ids[] = {1021, 1025, 1020, 1008, 1002, 1019, 1015, 1016, 1043, 1045, 1044, 1045, 1046, 1047, 1048, 1049,
                     1050, 1051, 1052, 1053, 1054, 1055, 1056, 1057, 1058, 1059, 1060, 1061, 1062, 1084, 1085,
                     1090, 1093, 1091, 1089, 1086, 1088, 1092, 1087};
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

QTEST_MAIN(EditorsQtTest)
#include "editors_qt_test.moc"
