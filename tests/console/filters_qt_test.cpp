// The request-filter editors' windows with Qt Test, headless (offscreen): the Criterion dialog
// driven through its controls (only suitable comparisons, a refused value keeping the dialog
// open), the filter tree's keys, menus, double click and label editing, and the recipient's Ban
// list and Advanced pages in a sheet, with the Criterion dialog opened from them modally. Under
// Xvfb (LOOKOUT_SCREENSHOTS set) each window is saved as a PNG.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <functional>

#include "console/dialogs/access/filter_sheets.h"
#include "console/dialogs/access/filter_tree.h"
#include "console/dialogs/access/recipient_sheets.h"
#include "console/dialogs/common/editor_qt.h"
#include "engine/core/service_settings.h"
#include "tests/console/console_qt_harness.h"

using namespace trellis::test;

namespace {

void Choose(QComboBox* combo, const QString& text) {
  const int i = combo->findText(text);
  QVERIFY2(i >= 0, qPrintable(text));
  combo->setCurrentIndex(i);
}

QStringList Items(QComboBox* combo) {
  QStringList out;
  for (int i = 0; i < combo->count(); ++i) out << combo->itemText(i);
  return out;
}

// Drives the next modal Criterion dialog with fn, then presses its OK.
void DriveCriterion(std::function<void(CriterionDialog*)> fn, bool* drove) {
  QTimer::singleShot(0, [fn, drove] {
    auto* dlg = qobject_cast<CriterionDialog*>(QApplication::activeModalWidget());
    if (!dlg) return;
    fn(dlg);
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    *drove = !dlg->isVisible();
  });
}

struct ScriptedCriteria : CriterionDialogs {
  std::shared_ptr<CRequestCriterion> EditCriterion(const CRequestCriterion* existing,
                                                   const CriterionContext& ctx) override {
    CriterionLogic logic(ctx);
    logic.Load(existing);
    if (!fill) return nullptr;
    fill(logic);
    return logic.Result();
  }
  std::function<void(CriterionLogic&)> fill;
};

QStringList TreeTexts(QTreeWidget* tree) {
  QStringList out;
  for (QTreeWidgetItemIterator it(tree); *it; ++it) out << (*it)->text(0);
  return out;
}

}  // namespace

class FiltersQtTest : public QObject {
  Q_OBJECT

 private slots:
  void theCriterionDialogOffersWhatCanHoldAndRefusesABadValue();
  void theFilterTreeFollowsKeysMenusAndLabels();
  void theBanListAndAdvancedPagesWriteThroughTheirControls();
  void theRecipientSheetHoldsBothPagesWhereItsPageSetHasThem();

 private:
  RecordingPrompter prompter;
};

void FiltersQtTest::theCriterionDialogOffersWhatCanHoldAndRefusesABadValue() {
  CriterionContext ctx;
  ctx.serviceKind = SERVICE_KIND_WWW;
  ctx.mode = CRITERION_MODE_BAN;
  ctx.groups = {"Staff"};
  CriterionDialog dlg(nullptr, ctx, prompter);
  QCOMPARE(dlg.windowTitle(), QString("Criterion"));
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  auto* variable = Ctl<QComboBox>(&dlg, CriterionLogic::VARIABLE);
  auto* comparison = Ctl<QComboBox>(&dlg, CriterionLogic::COMPARISON);
  auto* value = Ctl<QLineEdit>(&dlg, CriterionLogic::VALUE);
  auto* name = Ctl<QComboBox>(&dlg, CriterionLogic::NAME);
  QVERIFY(variable && comparison && value && name && Ctl(&dlg, CriterionLogic::MET) &&
          Ctl(&dlg, CriterionLogic::NOT_MET));
  QVERIFY(Items(variable).contains("HTTP URL"));
  QVERIFY(!Items(variable).contains("POP3 Username"));

  // A field's label goes with its field.
  auto labelShown = [&](const QString& text) {
    for (QLabel* l : dlg.findChildren<QLabel*>())
      if (l->text() == text && !l->isHidden()) return true;
    return false;
  };
  Choose(variable, "Is non-proxy request");
  QCOMPARE(Items(comparison), (QStringList{"is TRUE", "is FALSE"}));
  QVERIFY(value->isHidden() && !labelShown("Value"));
  Choose(variable, "User is member of");
  QVERIFY(comparison->isHidden() && !labelShown("Comparison"));
  QVERIFY(labelShown("Group"));
  QVERIFY(!name->isHidden());
  QCOMPARE(Items(name), QStringList{"Staff"});
  Choose(variable, "HTTP Header field");
  QVERIFY(!name->isHidden() && name->isEnabled());
  QCOMPARE(Items(comparison), (QStringList{"equals", "contains", "begins with", "ends with", "is empty"}));
  Screenshot(&dlg, "criterion-header.png");

  // A level beyond 3 is refused: the dialog stays open with the focus on the value.
  Choose(variable, "User: Authentication level");
  QCOMPARE(Items(comparison), (QStringList{"equals", "greater than", "less than"}));
  value->setText("9");
  QTest::mouseClick(dlg.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(dlg.isVisible());
  QCOMPARE(prompter.boxes.back(), CString("Lookout|Please enter an integer between 0 and 3."));
  QVERIFY(!dlg.Result());

  Choose(variable, "HTTP URL");
  Choose(comparison, "contains");
  value->setText("blocked");
  Click(Ctl(&dlg, CriterionLogic::NOT_MET));
  Screenshot(&dlg, "criterion.png");
  QTest::mouseClick(dlg.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(!dlg.isVisible());
  auto c = dlg.Result();
  QVERIFY(c);
  QCOMPARE(c->DataIndex, int32_t(kPropHTTPURL));
  QCOMPARE(c->Comparison, int32_t(TL_COMPARE_CONTAINS));
  QCOMPARE(c->Value.DataType, uint32_t(TL_DATA_STRING));
  QCOMPARE(c->Not, 1);
  QCOMPARE(c->Description, CString("Not HTTP URL contains \"blocked\""));

  // Opened on that criterion, the controls show it, and Cancel leaves no result.
  CriterionDialog again(c.get(), ctx, prompter);
  QCOMPARE(Ctl<QComboBox>(&again, CriterionLogic::VARIABLE)->currentText(), QString("HTTP URL"));
  QCOMPARE(Ctl<QComboBox>(&again, CriterionLogic::COMPARISON)->currentText(), QString("contains"));
  QCOMPARE(Ctl<QLineEdit>(&again, CriterionLogic::VALUE)->text(), QString("blocked"));
  QVERIFY(Ctl<QRadioButton>(&again, CriterionLogic::NOT_MET)->isChecked());
  again.reject();
  QVERIFY(!again.Result());
}

void FiltersQtTest::theFilterTreeFollowsKeysMenusAndLabels() {
  CRequestFilterCollection filters;
  ScriptedCriteria dialogs;
  CriterionContext ctx;
  ctx.serviceKind = SERVICE_KIND_WWW;
  FilterTreeLogic logic(filters, ctx, dialogs);
  FilterTreeWidget tree(logic);
  int changes = 0;
  connect(&tree, &FilterTreeWidget::Changed, [&] { ++changes; });
  tree.resize(420, 260);
  tree.show();
  QVERIFY(QTest::qWaitForWindowExposed(&tree));

  // Insert with nothing selected: a filter; Insert on it: a criterion from the dialog.
  QTest::keyClick(&tree, Qt::Key_Insert);
  QCOMPARE(tree.topLevelItemCount(), 1);
  const QString filterName = tree.topLevelItem(0)->text(0);
  QVERIFY(filterName.startsWith("Filter "));
  tree.setCurrentItem(tree.topLevelItem(0));
  dialogs.fill = [](CriterionLogic& l) {
    l.SetVariable(kPropHTTPMethod);
    l.value = "POST";
  };
  QTest::keyClick(&tree, Qt::Key_Insert);
  QCOMPARE(TreeTexts(&tree), (QStringList{filterName, "HTTP Method equals \"POST\""}));
  QVERIFY(tree.topLevelItem(0)->isExpanded());
  QCOMPARE(tree.currentItem()->text(0), QString("HTTP Method equals \"POST\""));

  // Menus: on a criterion, on a filter, and on nothing.
  auto texts = [&](std::optional<FilterTreeItem> item) {
    QStringList out;
    std::unique_ptr<QMenu> menu(tree.BuildMenu(item, nullptr));
    for (QAction* a : menu->actions()) out << (a->isSeparator() ? QString("-") : a->text());
    return out;
  };
  QCOMPARE(texts(FilterTreeItem{0, 0}),
           (QStringList{"New filter criterion", "Delete filter criterion", "-", "New filter", "Properties"}));
  QCOMPARE(texts(FilterTreeItem{0, -1}), (QStringList{"New filter criterion", "New filter", "Delete filter"}));
  QCOMPARE(texts(std::nullopt), QStringList{"New filter"});
  {
    std::unique_ptr<QMenu> menu(tree.BuildMenu(std::nullopt, nullptr));
    menu->actions().front()->trigger();
  }
  QCOMPARE(tree.topLevelItemCount(), 2);

  // Double click on a criterion: its properties, edited in place.
  dialogs.fill = [](CriterionLogic& l) { l.value = "PUT"; };
  QTreeWidgetItem* crit = tree.topLevelItem(0)->child(0);
  emit tree.itemDoubleClicked(crit, 0);
  QCOMPARE(tree.topLevelItem(0)->child(0)->text(0), QString("HTTP Method equals \"PUT\""));
  Screenshot(&tree, "filter-tree.png");

  // Labels: a filter takes its new name; an empty one is dropped.
  QVERIFY(tree.topLevelItem(0)->flags() & Qt::ItemIsEditable);
  QVERIFY(!(tree.topLevelItem(0)->child(0)->flags() & Qt::ItemIsEditable));
  tree.topLevelItem(0)->setText(0, "Uploads");
  QCoreApplication::processEvents();
  QCOMPARE(filters.GetFilters()[0]->Name, CString("Uploads"));
  tree.topLevelItem(0)->setText(0, "");
  QCoreApplication::processEvents();
  QCOMPARE(filters.GetFilters()[0]->Name, CString("Uploads"));
  QCOMPARE(tree.topLevelItem(0)->text(0), QString("Uploads"));

  // Delete: the criterion, then the filter.
  tree.setCurrentItem(tree.topLevelItem(0)->child(0));
  QTest::keyClick(&tree, Qt::Key_Delete);
  QCOMPARE(tree.topLevelItem(0)->childCount(), 0);
  tree.setCurrentItem(tree.topLevelItem(0));
  QTest::keyClick(&tree, Qt::Key_Delete);
  QCOMPARE(tree.topLevelItemCount(), 1);
  QCOMPARE(filters.GetCount(), size_t(1));
  QVERIFY(changes >= 7);
}

void FiltersQtTest::theBanListAndAdvancedPagesWriteThroughTheirControls() {
  CRecipient recipient;
  QtCriterionDialogs dialogs(prompter, nullptr);
  BanListPage ban(SERVICE_KIND_WWW, dialogs);
  RecipientAdvancedPage advanced(SERVICE_KIND_WWW, kRightAccess, dialogs);
  ban.Load(recipient);
  advanced.Load(recipient);
  SheetDialog sheet("Properties for recipient Everyone");
  sheet.Sheet()->AddPage(NewBanListWidget(ban));
  sheet.Sheet()->AddPage(NewRecipientAdvancedWidget(advanced));
  sheet.resize(520, 420);
  sheet.show();
  QVERIFY(QTest::qWaitForWindowExposed(&sheet));

  // Ban list: the list follows the switch; Add opens the Criterion dialog.
  QWidget* banPage = sheet.Sheet()->GetPage(0);
  auto* list = Ctl<QTreeWidget>(banPage, BanListPage::LIST);
  QVERIFY(list && !list->isEnabled());
  Click(Ctl(banPage, BanListPage::ENABLE));
  QVERIFY(list->isEnabled());
  bool drove = false;
  DriveCriterion(
      [](CriterionDialog* dlg) {
        Choose(Ctl<QComboBox>(dlg, CriterionLogic::VARIABLE), "HTTP URL");
        Choose(Ctl<QComboBox>(dlg, CriterionLogic::COMPARISON), "contains");
        Ctl<QLineEdit>(dlg, CriterionLogic::VALUE)->setText("blocked");
      },
      &drove);
  QTest::mouseClick(Ctl(banPage, BanListPage::ADD), Qt::LeftButton);
  QVERIFY(drove);
  QCOMPARE(list->topLevelItemCount(), 1);
  QCOMPARE(list->topLevelItem(0)->text(0), QString("HTTP URL contains \"blocked\""));
  Screenshot(&sheet, "recipient-banlist.png");
  // Edit through a double click, then Delete through the key.
  drove = false;
  DriveCriterion([](CriterionDialog* dlg) { Ctl<QLineEdit>(dlg, CriterionLogic::VALUE)->setText("ads"); }, &drove);
  emit list->itemDoubleClicked(list->topLevelItem(0), 0);
  QVERIFY(drove);
  QCOMPARE(list->topLevelItem(0)->text(0), QString("HTTP URL contains \"ads\""));
  QCOMPARE(recipient.BanFilter.GetCriteria().size(), size_t(0));

  // Advanced: the tree and its buttons follow the radios; "Specify" with no filter asks.
  QVERIFY(sheet.Sheet()->SetActivePage(1));
  QWidget* advPage = sheet.Sheet()->GetPage(1);
  auto* tree = Ctl<FilterTreeWidget>(advPage, RecipientAdvancedPage::TREE);
  QVERIFY(tree && !tree->isEnabled() && !Ctl(advPage, RecipientAdvancedPage::ADD_FILTER)->isEnabled());
  Click(Ctl(advPage, RecipientAdvancedPage::SPECIFY));
  QVERIFY(tree->isEnabled() && Ctl(advPage, RecipientAdvancedPage::ADD_CRITERION)->isEnabled());
  QVERIFY(sheet.Sheet()->Accept());
  std::vector<PageLogic<CRecipient>*> order{&ban, &advanced};
  prompter.answer = false;
  QVERIFY(!ValidateAndApply(order, recipient, prompter));
  QCOMPARE(prompter.boxes.back(), CString(kTitleFilterInvalidSetting) + "|" + kTextNoRequestFilters);

  QTest::mouseClick(Ctl(advPage, RecipientAdvancedPage::ADD_FILTER), Qt::LeftButton);
  QCOMPARE(tree->topLevelItemCount(), 1);
  drove = false;
  DriveCriterion(
      [](CriterionDialog* dlg) {
        Choose(Ctl<QComboBox>(dlg, CriterionLogic::VARIABLE), "User: Authentication level");
        Choose(Ctl<QComboBox>(dlg, CriterionLogic::COMPARISON), "greater than");
        Ctl<QLineEdit>(dlg, CriterionLogic::VALUE)->setText("1");
      },
      &drove);
  QTest::mouseClick(Ctl(advPage, RecipientAdvancedPage::ADD_CRITERION), Qt::LeftButton);
  QVERIFY(drove);
  QCOMPARE(TreeTexts(tree).size(), 2);
  QCOMPARE(TreeTexts(tree)[1], QString("User: Authentication level greater than 1"));
  Screenshot(&sheet, "recipient-advanced.png");

  QVERIFY(sheet.Sheet()->Accept());
  auto edited = ValidateAndApply(order, recipient, prompter);
  QVERIFY(edited);
  QCOMPARE(edited->SpecifyBan, 1u);
  QCOMPARE(edited->BanFilter.GetCriteria()[0]->Description, CString("HTTP URL contains \"ads\""));
  QCOMPARE(edited->SpecifyRequest, 1u);
  QCOMPARE(edited->RequestFilter.GetFilters()[0]->GetCriteria().size(), size_t(1));
  // The recipient the sheet was opened on is untouched.
  QCOMPARE(recipient.SpecifyBan, 0u);
  QVERIFY(recipient.RequestFilter.IsEmpty());
}

void FiltersQtTest::theRecipientSheetHoldsBothPagesWhereItsPageSetHasThem() {
  RecipientSheetContext ctx;
  ctx.principals = {{"Staff", "the staff", true}, {"alice", "", false}};
  {
    RecipientSheetDialog dns(nullptr, SERVICE_KIND_DNS, kRightAccess, ctx, prompter);
    QCOMPARE(dns.TabOf(RECIPIENT_PAGE_BAN), -1);
    QVERIFY(dns.TabOf(RECIPIENT_PAGE_ADVANCED) >= 0);
    RecipientSheetDialog edit(nullptr, SERVICE_KIND_WWW, kRightEdit, ctx, prompter);
    QCOMPARE(edit.TabOf(RECIPIENT_PAGE_ADVANCED), -1);
  }
  RecipientSheetDialog sheet(nullptr, SERVICE_KIND_WWW, kRightAccess, ctx, prompter);
  sheet.show();
  QVERIFY(QTest::qWaitForWindowExposed(&sheet));
  const int banTab = sheet.TabOf(RECIPIENT_PAGE_BAN);
  const int advTab = sheet.TabOf(RECIPIENT_PAGE_ADVANCED);
  QCOMPARE(banTab, 3);
  QCOMPARE(advTab, 4);
  QCOMPARE(sheet.Sheet()->GetPage(banTab)->Title(), QString("Ban list"));
  QVERIFY(sheet.Sheet()->SetActivePage(banTab));
  QVERIFY(Ctl(sheet.Sheet()->GetPage(banTab), BanListPage::LIST));
  Screenshot(&sheet, "recipient-sheet-banlist.png");

  // The Criterion dialog opened from this sheet offers the console's groups.
  bool drove = false;
  DriveCriterion(
      [](CriterionDialog* dlg) {
        Choose(Ctl<QComboBox>(dlg, CriterionLogic::VARIABLE), "User is member of");
        QCOMPARE(Items(Ctl<QComboBox>(dlg, CriterionLogic::NAME)), QStringList{"Staff"});
        Ctl<QComboBox>(dlg, CriterionLogic::NAME)->setCurrentIndex(0);
        Screenshot(dlg, "criterion-group.png");
      },
      &drove);
  QTest::mouseClick(Ctl(sheet.Sheet()->GetPage(banTab), BanListPage::ADD), Qt::LeftButton);
  QVERIFY(drove);
  QCOMPARE(Ctl<QTreeWidget>(sheet.Sheet()->GetPage(banTab), BanListPage::LIST)->topLevelItem(0)->text(0),
           QString("User is member of group Staff"));

  // Advanced with "Specify" and no filter: OK asks, and No keeps the sheet on that page.
  QVERIFY(sheet.Sheet()->SetActivePage(advTab));
  Click(Ctl(sheet.Sheet()->GetPage(advTab), RecipientAdvancedPage::SPECIFY));
  Screenshot(&sheet, "recipient-sheet-advanced.png");
  QVERIFY(sheet.Sheet()->SetActivePage(0));
  prompter.answer = false;
  QTest::mouseClick(sheet.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(sheet.isVisible());
  QCOMPARE(sheet.Sheet()->ActiveIndex(), advTab);
  QCOMPARE(prompter.boxes.back(), CString(kTitleFilterInvalidSetting) + "|" + kTextNoRequestFilters);
  prompter.answer = true;
  QTest::mouseClick(sheet.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(!sheet.isVisible());
  QVERIFY(sheet.Result());
  QCOMPARE(sheet.Result()->SpecifyRequest, 1u);
  QCOMPARE(sheet.Result()->BanFilter.GetCriteria()[0]->VariableName, CString("Staff"));
}

QTEST_MAIN(FiltersQtTest)
#include "filters_qt_test.moc"
#include "tests/console/console_qt_harness.h"
