// The scheduler editors' windows with Qt Test: the sheet, the event dialog and the action dialog
// driven through their controls by id (enable rules, refusals, the copy reaching the mirror only
// at OK), and the whole console program against the real engine: an event made through the
// editors from the Scheduler root is sent (151) and run at once (152), and the web proxy it stops
// refuses curl; then a one-off event entered in the event dialog for the coming minute fires and
// starts the proxy again.
//
// With LOOKOUT_SCREENSHOTS set to a folder, the sheet's pages and both dialogs are saved there as
// PNG files (the build runs the first case under Xvfb for that).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <functional>

#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/scheduler/scheduler_sheets.h"
#include "console/model/list_images.h"
#include "console/model/tree_entry.h"
#include "console/model/tree_images.h"
#include "console/shell/lookout_app.h"
#include "console/shell/lookout_view.h"
#include "engine/proxy/www/www_settings.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/console_qt_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

using namespace trellis::test;

namespace {

// Runs drive on the modal dialog that opens when trigger runs; false when none opened. A failed
// check inside drive fails the test as anywhere else.
template <class D>
bool WithModal(const std::function<void()>& trigger, const std::function<void(D*)>& drive) {
  bool done = false;
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<D*>(QApplication::activeModalWidget());
    if (!dlg) return;
    dlg->resize(dlg->sizeHint());
    drive(dlg);
    done = true;
    if (dlg->isVisible()) dlg->reject();
  });
  trigger();
  return done;
}

// The action dialog: a code chosen by its name and, for a list kind, a name from the combo.
void ChooseAction(ActionDialog* dlg, const char* name, const QString& argument) {
  auto* what = Ctl<QComboBox>(dlg, SCHED_ACT_DO_WHAT);
  what->setCurrentIndex(what->findText(QString::fromLatin1(name)));
  auto* combo = Ctl<QComboBox>(dlg, SCHED_ACT_COMBO);
  if (!combo->isHidden()) combo->setCurrentIndex(combo->findText(argument));
  auto* edit = Ctl<QLineEdit>(dlg, SCHED_ACT_EDIT);
  if (!edit->isHidden()) edit->setText(argument);
}

int CurlStatus(uint16_t proxyPort) {
  // The origin is a closed loopback port: the proxy answers with an error page, a stopped proxy
  // refuses the connection (curl's 7).
  return RunCommand("curl -s -o /dev/null -m 10 -x http://127.0.0.1:" + std::to_string(proxyPort) +
                    " http://127.0.0.1:" + std::to_string(FreePort()) + "/");
}

}  // namespace

class SchedulerQtTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { TempRoot(); }
  void theSheetAndItsDialogsThroughTheirControls();
  void theConsoleProgramSchedulesRunsAndFiresEventsOnTheEngine();
};

void SchedulerQtTest::theSheetAndItsDialogsThroughTheirControls() {
  TestLoop loop;
  RecordingUi ui;
  CLookoutClient client(ui, loop.Poster());
  auto s = std::make_shared<CSchedulerSettings>();
  auto nightly = std::make_shared<CScheduleEvent>();
  nightly->Description = "Nightly purge";
  nightly->EveryWhat = TL_EVERY_DAY;
  nightly->AtTime = ScheduleMinuteStart(3 * 60);
  nightly->AddAction(std::make_shared<CScheduleEventAction>(TL_ACTION_CACHE_PURGE, ""));
  s->AddEvent(nightly);
  client.EditMirrors().scheduler = s;
  auto www = std::make_shared<CWWWServiceSettings>();
  www->SetName("WWW Proxy server");
  client.EditMirrors().services->SetAt(www->GetName(), www);
  RecordingPrompter prompter;

  SchedulerSheetDialog sheet(client, prompter);
  QCOMPARE(sheet.windowTitle(), QString("Scheduler Properties"));
  QCOMPARE(sheet.Sheet()->Bar()->tabText(0), QString("Events"));
  QCOMPARE(sheet.Sheet()->Bar()->tabText(1), QString("Logging"));
  sheet.resize(sheet.sizeHint().expandedTo(QSize(420, 340)));
  sheet.show();
  QVERIFY(QTest::qWaitForWindowExposed(&sheet));
  QWidget* events = sheet.Sheet()->GetPage(0);
  auto* list = Ctl<QTreeWidget>(events, SCHED_EVENT_LIST);
  QCOMPARE(list->topLevelItemCount(), 1);
  QCOMPARE(list->topLevelItem(0)->text(0), QString("Nightly purge"));
  QCOMPARE(list->topLevelItem(0)->text(1), QString("1"));
  // The scheduler's picture on the sheet and on every event row.
  QCOMPARE(sheet.windowIcon().cacheKey(), TreeImages()[LIST_IMAGE_SCHEDULER].cacheKey());
  QCOMPARE(list->topLevelItem(0)->icon(0).cacheKey(), TreeImages()[LIST_IMAGE_SCHEDULER].cacheKey());
  QVERIFY(!Ctl(events, SCHED_EVENT_REMOVE)->isEnabled());
  list->setCurrentItem(list->topLevelItem(0));
  QVERIFY(Ctl(events, SCHED_EVENT_REMOVE)->isEnabled());
  QVERIFY(!Ctl(events, SCHED_EVENT_DO_NOW)->isEnabled());  // off-line
  Screenshot(&sheet, "scheduler-events.png");

  // Add: the event dialog, with its enable rules, a refused day and an action added through the
  // action dialog (which refuses a service left unchosen).
  const bool added = WithModal<EventDialog>(
      [&] { Press(Ctl(events, SCHED_EVENT_ADD)); },
      [&](EventDialog* dlg) {
        QCOMPARE(dlg->windowTitle(), QString("Scheduled Event Properties"));
        QCOMPARE(dlg->windowIcon().cacheKey(), TreeImages()[LIST_IMAGE_SCHEDULER].cacheKey());
        QVERIFY(Ctl<QRadioButton>(dlg, SCHED_EV_REGULAR)->isChecked());
        QVERIFY(!Ctl(dlg, SCHED_EV_DATE_TIME)->isEnabled());
        QVERIFY(Ctl(dlg, SCHED_EV_DAY_OF_MONTH)->isEnabled());
        auto* recurrence = Ctl<QComboBox>(dlg, SCHED_EV_RECURRENCE);
        recurrence->setCurrentIndex(TL_EVERY_WEEK);
        QVERIFY(!Ctl(dlg, SCHED_EV_DAY_OF_MONTH)->isEnabled());
        QVERIFY(Ctl(dlg, SCHED_EV_DAY_OF_WEEK)->isEnabled());
        recurrence->setCurrentIndex(TL_EVERY_HOUR);
        QVERIFY(!Ctl(dlg, SCHED_EV_HOUR)->isEnabled());
        QVERIFY(Ctl(dlg, SCHED_EV_MINUTE)->isEnabled());
        Click(Ctl(dlg, SCHED_EV_SINGLE));
        QVERIFY(Ctl(dlg, SCHED_EV_DATE_TIME)->isEnabled());
        QVERIFY(!Ctl(dlg, SCHED_EV_MINUTE)->isEnabled());
        QVERIFY(!Ctl(dlg, SCHED_EV_RECURRENCE)->isEnabled());
        Click(Ctl(dlg, SCHED_EV_REGULAR));
        recurrence->setCurrentIndex(TL_EVERY_MONTH);
        Ctl<QLineEdit>(dlg, SCHED_EV_DAY_OF_MONTH)->setText("0");
        Ctl<QLineEdit>(dlg, SCHED_EV_HOUR)->setText("6");
        Ctl<QLineEdit>(dlg, SCHED_EV_MINUTE)->setText("45");
        Ctl<QLineEdit>(dlg, SCHED_EV_DESCRIPTION)->setText("Monthly stop");
    // Enter in a field never closes the dialog.
    QTest::keyClick(Ctl(dlg, SCHED_EV_DESCRIPTION), Qt::Key_Return);
    QVERIFY(dlg->isVisible());
        Press(dlg->findChild<QPushButton*>("IDOK"));
        QVERIFY(dlg->isVisible());
        QCOMPARE(prompter.boxes.back(), CString("Lookout|Please enter an integer between 1 and 31."));
        Ctl<QLineEdit>(dlg, SCHED_EV_MINUTE)->setText("60");
        Ctl<QLineEdit>(dlg, SCHED_EV_DAY_OF_MONTH)->setText("15");
        Press(dlg->findChild<QPushButton*>("IDOK"));
        QVERIFY(dlg->isVisible());
        QCOMPARE(prompter.boxes.back(), CString("Lookout|Please enter an integer between 0 and 59."));
        Ctl<QLineEdit>(dlg, SCHED_EV_MINUTE)->setText("45");

        const bool acted = WithModal<ActionDialog>(
            [&] { Press(Ctl(dlg, SCHED_EV_ACTION_ADD)); },
            [&](ActionDialog* act) {
              QCOMPARE(act->windowTitle(), QString("Action"));
              QVERIFY(Ctl(act, SCHED_ACT_COMBO)->isHidden());  // "Do Nothing"
              ChooseAction(act, "Stop Service", QString());
              QVERIFY(!Ctl(act, SCHED_ACT_COMBO)->isHidden());
              QVERIFY(Ctl(act, SCHED_ACT_EDIT)->isHidden());
              QCOMPARE(Ctl<QLabel>(act, SCHED_ACT_LABEL)->text(), QString("Service"));
              Ctl<QComboBox>(act, SCHED_ACT_COMBO)->setCurrentIndex(-1);
              Press(act->findChild<QPushButton*>("IDOK"));
              QVERIFY(act->isVisible());
              QCOMPARE(prompter.boxes.back(), CString("Action|You must choose a service for this action"));
              ChooseAction(act, "Execute commandline", "touch /tmp/never");
              QVERIFY(!Ctl(act, SCHED_ACT_CHECK)->isHidden());
              QCOMPARE(Ctl<QCheckBox>(act, SCHED_ACT_CHECK)->text(), QString("Run Hidden"));
              Screenshot(act, "scheduler-action-text.png");
              ChooseAction(act, "Stop Service", "WWW Proxy server");
              Screenshot(act, "scheduler-action.png");
              Press(act->findChild<QPushButton*>("IDOK"));
              QVERIFY(!act->isVisible());
            });
        QVERIFY(acted);
        auto* actions = Ctl<QListWidget>(dlg, SCHED_EV_ACTIONS);
        QCOMPARE(actions->count(), 1);
        QCOMPARE(actions->item(0)->text(), QString("Stop service: WWW Proxy server"));
        Screenshot(dlg, "scheduler-event.png");
        Press(dlg->findChild<QPushButton*>("IDOK"));
        QVERIFY(!dlg->isVisible());
      });
  QVERIFY(added);
  QCOMPARE(list->topLevelItemCount(), 2);
  QCOMPARE(list->topLevelItem(1)->text(0), QString("Monthly stop"));
  QCOMPARE(list->topLevelItem(1)->text(1), QString("1"));
  // Nothing reached the mirror before OK.
  QCOMPARE(client.Mirrors().scheduler, s);
  QCOMPARE(s->GetEvents().size(), size_t(1));

  // Logging: the checks follow the radio.
  QVERIFY(sheet.Sheet()->SetActivePage(1));
  QWidget* logging = sheet.Sheet()->GetPage(1);
  QVERIFY(Ctl(logging, SCHED_LOG_ERRORS)->isEnabled());
  Screenshot(&sheet, "scheduler-logging.png");
  Click(Ctl(logging, SCHED_LOG_OFF));
  QVERIFY(!Ctl(logging, SCHED_LOG_ERRORS)->isEnabled());
  Click(Ctl(logging, SCHED_LOG_ON));
  Click(Ctl(logging, SCHED_LOG_DEBUG_BIT));  // off: 47 had it

  Press(sheet.findChild<QPushButton*>("IDOK"));
  QVERIFY(!sheet.isVisible());
  const auto after = client.Mirrors().scheduler;
  QVERIFY(after != s);
  const auto stored = after->GetEvents();
  QCOMPARE(stored.size(), size_t(2));
  QCOMPARE(stored[1]->Description, CString("Monthly stop"));
  QCOMPARE(stored[1]->DayOfMonth, 15u);
  QCOMPARE(stored[1]->AtTime.GetValue(), ScheduleMinuteStart(6 * 60 + 45).GetValue());
  QCOMPARE(stored[1]->GetActions().at(0)->EventData, CString("WWW Proxy server"));
  QCOMPARE(after->LogOptions.load(), 47u & ~uint32_t(SCHED_LOG_DEBUG));
}

void SchedulerQtTest::theConsoleProgramSchedulesRunsAndFiresEventsOnTheEngine() {
  EngineProcess engine;
  std::string log;
  QVERIFY2(engine.Start(&log), log.c_str());
  auto store = EngineSettings(engine.rcPort);
  auto dialogsOwned = std::make_unique<FirstLoginDialogs>();
  LookoutApp app(std::move(store), std::move(dialogsOwned));
  const std::string online = BringOnline(app, RC_REQ_GET_SCHEDULER);
  QVERIFY2(online.empty(), online.c_str());
  LookoutView* tree = app.Window()->Tree();
  QCOMPARE(CurlStatus(engine.wwwPort), 0);
  auto openSheet = [&]() -> SchedulerSheetDialog* {
    emit tree->itemDoubleClicked(tree->Root(RC_REQ_GET_SCHEDULER), 0);
    return app.Window()->findChild<SchedulerSheetDialog*>("SchedulerSheet");
  };

  // An event made in the editors: stop the web proxy.
  SchedulerSheetDialog* sheet = openSheet();
  QVERIFY(sheet);
  QWidget* events = sheet->Sheet()->GetPage(0);
  const bool added = WithModal<EventDialog>([&] { Press(Ctl(events, SCHED_EVENT_ADD)); },
                                            [&](EventDialog* dlg) {
                                              Ctl<QLineEdit>(dlg, SCHED_EV_DESCRIPTION)->setText("Stop Service WWW");
                                              Ctl<QComboBox>(dlg, SCHED_EV_RECURRENCE)->setCurrentIndex(TL_EVERY_DAY);
                                              Ctl<QLineEdit>(dlg, SCHED_EV_HOUR)->setText("4");
                                              Ctl<QLineEdit>(dlg, SCHED_EV_MINUTE)->setText("0");
                                              const bool acted = WithModal<ActionDialog>(
                                                  [&] { Press(Ctl(dlg, SCHED_EV_ACTION_ADD)); },
                                                  [&](ActionDialog* act) {
                                                    ChooseAction(act, "Stop Service", "WWW Proxy server");
                                                    Press(act->findChild<QPushButton*>("IDOK"));
                                                    QVERIFY(!act->isVisible());
                                                  });
                                              QVERIFY(acted);
                                              Press(dlg->findChild<QPushButton*>("IDOK"));
                                              QVERIFY(!dlg->isVisible());
                                            });
  QVERIFY(added);
  auto* list = Ctl<QTreeWidget>(events, SCHED_EVENT_LIST);
  list->setCurrentItem(list->topLevelItem(0));
  // Not in the engine yet: no Do Now.
  QVERIFY(!Ctl(events, SCHED_EVENT_DO_NOW)->isEnabled());
  Press(sheet->findChild<QPushButton*>("IDOK"));
  QVERIFY(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000));
  QCOMPARE(CurlStatus(engine.wwwPort), 0);

  // Read back from the engine by a second console, whose own change reaches this console's
  // mirror through notification 151; then Do Now from a sheet opened again (by the root's menu).
  {
    FreshConsole other;
    QVERIFY(other.LogIn(engine.rcPort, "Administrator", "pw", RC_REQ_GET_SCHEDULER));
    const auto evs = other.client.Mirrors().scheduler->GetEvents();
    QCOMPARE(evs.size(), size_t(1));
    QCOMPARE(evs[0]->Description, CString("Stop Service WWW"));
    QCOMPARE(evs[0]->EveryWhat, uint32_t(TL_EVERY_DAY));
    QCOMPARE(evs[0]->AtTime.GetValue(), ScheduleMinuteStart(4 * 60).GetValue());
    QCOMPARE(evs[0]->GetActions().at(0)->EventAction, uint32_t(TL_ACTION_SERVICE_STOP));
    auto changed = Clone(*other.client.Mirrors().scheduler);
    changed->FindEvent(evs[0]->ID)->Description = "Stop Service WWW now";
    QVERIFY(other.client.QueueObject(RC_REQ_UPDATE_SCHEDULER, CString(), *changed));
    QVERIFY(other.loop.RunUntil([&] { return other.client.OutstandingRequests() == 0; }));
    QVERIFY(QTest::qWaitFor(
        [&] { return app.Client().Mirrors().scheduler->GetEvents().at(0)->Description == "Stop Service WWW now"; },
        15000));
  }
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QVERIFY(!app.Window()->findChild<SchedulerSheetDialog*>("SchedulerSheet"));
  tree->setCurrentItem(tree->Root(RC_REQ_GET_SCHEDULER));
  QMenu* menu = tree->BuildMenu();
  QAction* properties = menu->findChild<QAction*>("c32842");
  QVERIFY(properties);
  properties->trigger();
  delete menu;
  sheet = app.Window()->findChild<SchedulerSheetDialog*>("SchedulerSheet");
  QVERIFY(sheet);
  events = sheet->Sheet()->GetPage(0);
  list = Ctl<QTreeWidget>(events, SCHED_EVENT_LIST);
  QCOMPARE(list->topLevelItemCount(), 1);
  QCOMPARE(list->topLevelItem(0)->text(0), QString("Stop Service WWW now"));
  list->setCurrentItem(list->topLevelItem(0));
  QVERIFY(Ctl(events, SCHED_EVENT_DO_NOW)->isEnabled());
  Press(Ctl(events, SCHED_EVENT_DO_NOW));
  QVERIFY(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000));
  QVERIFY(QTest::qWaitFor([&] { return CurlStatus(engine.wwwPort) == 7; }, 15000));

  // A one-off event for the coming minute (with seconds the dialog must cut), entered in the
  // dialog, starts the proxy again when the engine's minute comes. Far enough ahead that the
  // upload is there before the minute begins.
  QDateTime at = QDateTime::currentDateTime().addSecs(60);
  if (at.time().second() >= 45) at = at.addSecs(60);
  at.setTime(QTime(at.time().hour(), at.time().minute(), 30));
  const bool once = WithModal<EventDialog>([&] { Press(Ctl(events, SCHED_EVENT_ADD)); },
                                           [&](EventDialog* dlg) {
                                             Ctl<QLineEdit>(dlg, SCHED_EV_DESCRIPTION)->setText("Start WWW once");
                                             Click(Ctl(dlg, SCHED_EV_SINGLE));
                                             Ctl<QDateTimeEdit>(dlg, SCHED_EV_DATE_TIME)->setDateTime(at);
                                             const bool acted = WithModal<ActionDialog>(
                                                 [&] { Press(Ctl(dlg, SCHED_EV_ACTION_ADD)); },
                                                 [&](ActionDialog* act) {
                                                   ChooseAction(act, "Start Service", "WWW Proxy server");
                                                   Press(act->findChild<QPushButton*>("IDOK"));
                                                 });
                                             QVERIFY(acted);
                                             Press(dlg->findChild<QPushButton*>("IDOK"));
                                             QVERIFY(!dlg->isVisible());
                                           });
  QVERIFY(once);
  Press(sheet->findChild<QPushButton*>("IDOK"));
  QVERIFY(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000));
  const auto mine = app.Client().Mirrors().scheduler->GetEvents();
  QCOMPARE(mine.size(), size_t(2));
  QCOMPARE(mine[1]->Every, 0u);
  QCOMPARE(mine[1]->AtTime.GetSecond(), 0);
  QCOMPARE(CurlStatus(engine.wwwPort), 7);
  const qint64 wait = QDateTime::currentDateTime().msecsTo(at) + 20000;
  QVERIFY(QTest::qWaitFor([&] { return CurlStatus(engine.wwwPort) == 0; }, static_cast<int>(wait)));
  QVERIFY(QDateTime::currentDateTime() >= at.addSecs(-30));
  app.Stop(5000);
}

QTEST_MAIN(SchedulerQtTest)
#include "scheduler_qt_test.moc"
