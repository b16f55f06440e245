// The cache sheet's window with Qt Test, headless (offscreen): driven through its controls by id
// (a number that cannot be read keeping the sheet open on its field, the option ticks, the What to
// cache radio greying the tree and idling its buttons, the trees' buttons, a notification's reload,
// Cancel after Apply); then the whole console program against the real engine: the Caching root
// opens the sheet, a new size applied there is what a second console then reads from the engine,
// and a Purge Now that leaves the cache over its new limit brings the engine's notification 131
// back into the open sheet; a purge filter made with the Criterion dialog removes only the file it
// matches, and "Rebuild Index" drops the entry of a file deleted by hand. Under Xvfb (LOOKOUT_SCREENSHOTS set) each
// page is saved as a PNG.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <map>

#include "console/dialogs/access/filter_tree.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/proxy/cache_sheets.h"
#include "console/model/list_images.h"
#include "console/model/tree_images.h"
#include "console/shell/lookout_app.h"
#include "console/shell/lookout_view.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/console_qt_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

using namespace trellis::test;

namespace {

// Answers the Criterion dialog with a fresh criterion of the page's class.
struct NewCriteria : CriterionDialogs {
  std::shared_ptr<CRequestCriterion> EditCriterion(const CRequestCriterion*, const CriterionContext& ctx) override {
    std::shared_ptr<CRequestCriterion> c;
    if (ctx.Purge()) {
      c = std::make_shared<CCachePurgeCriterion>();
      c->DataIndex = kCacheFieldURL;
      c->Comparison = TL_COMPARE_CONTAINS;
      c->Value.SetString("/keep/");
      c->Value.SetType(2);
    } else {
      c = std::make_shared<CRequestCriterion>();
      c->DataIndex = kPropHTTPURL;
      c->Comparison = TL_COMPARE_CONTAINS;
      c->Value.SetString(".css");
      c->Value.SetType(2);
    }
    c->UpdateDescription();
    ++opened;
    return c;
  }
  int opened = 0;
};

// The page of that template in the dialog.
QWidget* Page(CacheSheetDialog& dlg, int id) { return dlg.findChild<QWidget*>(QStringLiteral("page%1").arg(id)); }

void Show(CacheSheetDialog& dlg, int pageId) { QVERIFY(dlg.Sheet()->SetActivePage(dlg.TabOf(pageId))); }

int TreeRows(QTreeWidget* tree) {
  int n = 0;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) n += 1 + tree->topLevelItem(i)->childCount();
  return n;
}

// python3's web server on 127.0.0.2 over a folder of two pages, ended with the test.
struct Origin {
  Origin() {
    dir = MakeTempDir("origin");
    RunCommand("mkdir -p " + dir + "/keep && echo hello > " + dir + "/index.html && echo 'body{}' > " + dir +
               "/keep/a.css");
    port = FreePort("127.0.0.2");
    pid = fork();
    if (pid == 0) {
      const std::string p = std::to_string(port);
      execlp("python3", "python3", "-m", "http.server", p.c_str(), "--bind", "127.0.0.2", "--directory", dir.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Origin() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
  bool Up() {
    return QTest::qWaitFor(
        [&] {
          const int fd = ConnectTo("127.0.0.1", "127.0.0.2", port);
          if (fd < 0) return false;
          close(fd);
          return true;
        },
        15000);
  }
  std::string dir;
  uint16_t port = 0;
  pid_t pid = -1;
};

// The cached files of the engine holding text, by a search of the engine's home folder.
int CachedFilesWith(const std::string& text, const char* files = "*.tlc") {
  std::string out;
  RunCommand("grep -rl --include='" + std::string(files) + "' -e '" + text + "' \"$TRELLIS_HOME\" | wc -l", &out);
  return std::atoi(out.c_str());
}

// Drives the next modal Criterion dialog: variable, comparison and value, then OK.
void DriveCriterion(const QString& variable, const QString& comparison, const QString& value, bool* drove) {
  QTimer::singleShot(0, [=] {
    auto* dlg = qobject_cast<CriterionDialog*>(QApplication::activeModalWidget());
    if (!dlg) return;
    for (auto [id, text] :
         {std::pair{int(CriterionLogic::VARIABLE), variable}, std::pair{int(CriterionLogic::COMPARISON), comparison}}) {
      auto* combo = Ctl<QComboBox>(dlg, id);
      combo->setCurrentIndex(combo->findText(text));
    }
    Ctl<QLineEdit>(dlg, CriterionLogic::VALUE)->setText(value);
    Screenshot(dlg, "cache_purge_criterion.png");
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    *drove = !dlg->isVisible();
  });
}

std::shared_ptr<CWWWCacheSettings> Settings() {
  auto c = std::make_shared<CWWWCacheSettings>();
  c->MaxSize = 100;
  c->CacheOptions = 3;
  c->SpecifyWhatToCache = 0;
  return c;
}

}  // namespace

class CacheQtTest : public QObject {
  Q_OBJECT

 private slots:
  void theSheetThroughItsControls();
  void theConsoleAppliesAndPurgesOnTheEngine();
};

void CacheQtTest::theSheetThroughItsControls() {
  RecordingUi ui;
  TestLoop loop;
  CLookoutClient client(ui, loop.Poster());
  client.EditMirrors().cache = Settings();
  RecordingPrompter prompter;
  auto criteriaOwned = std::make_unique<NewCriteria>();
  NewCriteria& criteria = *criteriaOwned;
  CacheSheetDialog dlg(client, prompter, std::move(criteriaOwned));
  dlg.resize(dlg.sizeHint().expandedTo(QSize(520, 420)));
  dlg.show();
  dlg.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&dlg));
  QCOMPARE(dlg.windowTitle(), QString("Cache properties"));
  QCOMPARE(dlg.windowIcon().cacheKey(), TreeImages()[LIST_IMAGE_CACHE].cacheKey());
  QCOMPARE(dlg.Sheet()->PageCount(), 3);
  QCOMPARE(dlg.Sheet()->Bar()->tabText(0), QString("General"));
  QCOMPARE(dlg.Sheet()->Bar()->tabText(1), QString("What to cache"));
  QCOMPARE(dlg.Sheet()->Bar()->tabText(2), QString("What to purge"));

  // General: the mirror's values; a size that is not a number keeps the sheet open on that field,
  // for Apply and for OK, and nothing is written.
  QWidget* general = Page(dlg, CACHE_PAGE_GENERAL);
  auto* size = Ctl<QLineEdit>(general, CacheGeneralPage::MAX_SIZE);
  QVERIFY(size);
  QCOMPARE(size->text(), QString("100"));
  QVERIFY(Ctl<QCheckBox>(general, CacheGeneralPage::LOOKUPS)->isChecked());
  QVERIFY(Ctl<QCheckBox>(general, CacheGeneralPage::ADDITIONS)->isChecked());
  Screenshot(&dlg, "cache_general.png");
  const auto before = ArchiveBytes(*client.Mirrors().cache);
  size->setText("12x");
  Ctl<QCheckBox>(general, CacheGeneralPage::LOOKUPS)->setChecked(false);
  QTest::mouseClick(dlg.findChild<QPushButton*>("IDAPPLY"), Qt::LeftButton);
  QCOMPARE(prompter.boxes.size(), size_t(1));
  QCOMPARE(QString::fromStdString(prompter.boxes[0]), QString("Lookout|Please enter a positive integer."));
  QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(size));
  QTest::mouseClick(dlg.findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(dlg.isVisible());
  QVERIFY(ArchiveBytes(*client.Mirrors().cache) == before);
  // Leaving the page with it is refused too.
  QVERIFY(!dlg.Sheet()->SetActivePage(1));
  QCOMPARE(dlg.Sheet()->ActiveIndex(), 0);
  const size_t refusals = prompter.boxes.size();
  QCOMPARE(refusals, size_t(3));
  // Enter in a field neither applies nor closes.
  size->setText("64");
  size->setFocus();
  QTest::keyClick(size, Qt::Key_Return);
  QVERIFY(dlg.isVisible());
  QCOMPARE(client.Mirrors().cache->MaxSize.load(), 100u);
  // A valid size with additions alone: options 1.
  QTest::mouseClick(dlg.findChild<QPushButton*>("IDAPPLY"), Qt::LeftButton);
  QCOMPARE(client.Mirrors().cache->MaxSize.load(), 64u);
  QCOMPARE(client.Mirrors().cache->CacheOptions.load(), 1u);
  QVERIFY(dlg.isVisible());

  // What to cache: "Cache everything" greys the tree and its buttons do nothing.
  Show(dlg, CACHE_PAGE_WHAT_TO_CACHE);
  QWidget* what = Page(dlg, CACHE_PAGE_WHAT_TO_CACHE);
  auto* tree = Ctl<QTreeWidget>(what, WhatToCachePage::TREE);
  QVERIFY(tree);
  QVERIFY(Ctl<QRadioButton>(what, WhatToCachePage::CACHE_EVERYTHING)->isChecked());
  QVERIFY(!tree->isEnabled());
  QTest::mouseClick(Ctl<QPushButton>(what, WhatToCachePage::ADD_FILTER), Qt::LeftButton);
  QCOMPARE(TreeRows(tree), 0);
  QTest::mouseClick(Ctl<QRadioButton>(what, WhatToCachePage::SPECIFY), Qt::LeftButton);
  QVERIFY(tree->isEnabled());
  QTest::mouseClick(Ctl<QPushButton>(what, WhatToCachePage::ADD_FILTER), Qt::LeftButton);
  QCOMPARE(tree->topLevelItemCount(), 1);
  QTest::mouseClick(Ctl<QPushButton>(what, WhatToCachePage::ADD_CRITERION), Qt::LeftButton);
  QCOMPARE(criteria.opened, 1);
  QCOMPARE(TreeRows(tree), 2);
  tree->expandAll();
  // A filter shows the filter picture, its criterion the criterion picture.
  QCOMPARE(tree->topLevelItem(0)->icon(0).cacheKey(), TreeImages()[LIST_IMAGE_FILTER].cacheKey());
  QCOMPARE(tree->topLevelItem(0)->child(0)->icon(0).cacheKey(), TreeImages()[LIST_IMAGE_CRITERION].cacheKey());
  Screenshot(&dlg, "cache_what_to_cache.png");

  // What to purge: its buttons always act; Purge Now off-line sends nothing and says nothing.
  Show(dlg, CACHE_PAGE_WHAT_TO_PURGE);
  QWidget* purge = Page(dlg, CACHE_PAGE_WHAT_TO_PURGE);
  auto* purgeTree = Ctl<QTreeWidget>(purge, WhatToPurgePage::TREE);
  QTest::mouseClick(Ctl<QPushButton>(purge, WhatToPurgePage::ADD_FILTER), Qt::LeftButton);
  QTest::mouseClick(Ctl<QPushButton>(purge, WhatToPurgePage::ADD_CRITERION), Qt::LeftButton);
  QCOMPARE(TreeRows(purgeTree), 2);
  purgeTree->expandAll();
  Screenshot(&dlg, "cache_what_to_purge.png");
  QTest::mouseClick(Ctl<QPushButton>(purge, WhatToPurgePage::PURGE_NOW), Qt::LeftButton);
  QCOMPARE(client.OutstandingRequests(), size_t(0));
  QCOMPARE(prompter.boxes.size(), refusals);

  // Apply takes both lists and the radio.
  QTest::mouseClick(dlg.findChild<QPushButton*>("IDAPPLY"), Qt::LeftButton);
  QCOMPARE(client.Mirrors().cache->SpecifyWhatToCache.load(), 1u);
  QCOMPARE(client.Mirrors().cache->CacheFilter.GetCount(), size_t(1));
  QCOMPARE(client.Mirrors().cache->PurgeFilter.GetCount(), size_t(1));

  // Another console's settings arrive: the shown tree and, once shown, the General values follow.
  auto next = Settings();
  next->MaxSize = 500;
  next->CacheOptions = 2;
  client.EditMirrors().cache = next;
  dlg.Reload();
  QCOMPARE(TreeRows(purgeTree), 0);
  Show(dlg, CACHE_PAGE_GENERAL);
  QCOMPARE(size->text(), QString("500"));
  QVERIFY(!Ctl<QCheckBox>(general, CacheGeneralPage::ADDITIONS)->isChecked());
  // The radio is the operator's still; Cancel after Apply keeps what the mirror holds.
  QVERIFY(Ctl<QRadioButton>(what, WhatToCachePage::SPECIFY)->isChecked());
  size->setText("7");
  QTest::mouseClick(dlg.findChild<QPushButton*>("IDCANCEL"), Qt::LeftButton);
  QVERIFY(!dlg.isVisible());
  QCOMPARE(client.Mirrors().cache->MaxSize.load(), 500u);
  QCOMPARE(prompter.boxes.size(), refusals);
}

void CacheQtTest::theConsoleAppliesAndPurgesOnTheEngine() {
  Origin origin;
  EngineProcess engine;
  std::string log;
  QVERIFY2(engine.Start(&log), log.c_str());
  QVERIFY(origin.Up());
  auto store = EngineSettings(engine.rcPort);
  auto dialogsOwned = std::make_unique<FirstLoginDialogs>();
  FirstLoginDialogs& dialogs = *dialogsOwned;
  LookoutApp app(std::move(store), std::move(dialogsOwned));
  const std::string online = BringOnline(app, RC_REQ_GET_CACHE);
  QVERIFY2(online.empty(), online.c_str());
  LookoutView* tree = app.Window()->Tree();

  // Two pages through the proxy, until the engine holds both in its cache.
  const std::string proxy = "http://127.0.0.1:" + std::to_string(engine.wwwPort);
  const std::string site = "http://127.0.0.2:" + std::to_string(origin.port);
  for (const char* path : {"/index.html", "/keep/a.css"}) {
    std::string out;
    QCOMPARE(RunCommand("curl -s -o /dev/null -w '%{http_code}' -x " + proxy + " " + site + path, &out), 0);
    QCOMPARE(QString::fromStdString(out), QString("200"));
  }
  QVERIFY(QTest::qWaitFor([&] { return CachedFilesWith("hello") == 1 && CachedFilesWith("body{}") == 1; }, 15000));
  QVERIFY(QTest::qWaitFor(
      [&] {
        if (app.Client().OutstandingRequests() == 0) app.Client().Request(RC_REQ_GET_CACHE);
        QTest::qWait(100);
        return app.Client().Mirrors().cache && app.Client().Mirrors().cache->GetTotalSize() > 0;
      },
      15000));
  QVERIFY(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000));

  // The Caching root opens the sheet; a second Properties raises the same one.
  emit tree->itemDoubleClicked(tree->Root(RC_REQ_GET_CACHE), 0);
  CacheSheetDialog* sheet = app.CacheSheet();
  QVERIFY(sheet);
  tree->setCurrentItem(tree->Root(RC_REQ_GET_CACHE));
  tree->Properties();
  QCOMPARE(app.Window()->findChildren<CacheSheetDialog*>().size(), qsizetype(1));
  QWidget* general = Page(*sheet, CACHE_PAGE_GENERAL);
  auto* size = Ctl<QLineEdit>(general, CacheGeneralPage::MAX_SIZE);
  auto* additions = Ctl<QCheckBox>(general, CacheGeneralPage::ADDITIONS);
  QVERIFY(additions->isChecked());

  // Apply, then the engine's echo of it (131), which reloads the open sheet: edits made before
  // the echo came would be dropped by it.
  auto applyAndHearEcho = [&] {
    const int reloads = sheet->Reloads();
    QTest::mouseClick(sheet->findChild<QPushButton*>("IDAPPLY"), Qt::LeftButton);
    return QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0 && sheet->Reloads() > reloads; },
                           15000);
  };

  // A second console watches the engine.
  FreshConsole watcher;
  QVERIFY(watcher.LogIn(engine.rcPort, "Administrator", "pw", RC_REQ_GET_CACHE));
  const size_t shown = dialogs.shown.size();

  // A new size applied through the sheet: the watcher hears 131 and the engine holds it.
  size->setText("64");
  QVERIFY(applyAndHearEcho());
  QVERIFY(watcher.loop.RunUntil([&] { return watcher.ui.HasView(VIEW_CACHE, RC_NOTIFY_CACHE_CHANGED); }));
  QCOMPARE(watcher.client.Mirrors().cache->MaxSize.load(), 64u);

  // A purge filter "URL contains /keep/" made on the What to purge page with the Criterion dialog,
  // applied, then Purge Now: the matching file goes, the other stays.
  Show(*sheet, CACHE_PAGE_WHAT_TO_PURGE);
  QWidget* purgePage = Page(*sheet, CACHE_PAGE_WHAT_TO_PURGE);
  auto* purgeTree = Ctl<QTreeWidget>(purgePage, WhatToPurgePage::TREE);
  QTest::mouseClick(Ctl<QPushButton>(purgePage, WhatToPurgePage::ADD_FILTER), Qt::LeftButton);
  QCOMPARE(purgeTree->topLevelItemCount(), 1);
  purgeTree->setCurrentItem(purgeTree->topLevelItem(0));
  bool drove = false;
  DriveCriterion(QString::fromLatin1(GetCacheFieldName(kCacheFieldURL)), "contains", "/keep/", &drove);
  QTest::mouseClick(Ctl<QPushButton>(purgePage, WhatToPurgePage::ADD_CRITERION), Qt::LeftButton);
  QVERIFY(drove);
  QCOMPARE(purgeTree->topLevelItem(0)->childCount(), 1);
  QVERIFY(applyAndHearEcho());
  // The engine runs one cache pass at a time (at the lowest priority) and refuses another while
  // one runs: the operator's answer to that refusal is to press again.
  auto pressUntilTaken = [&](QPushButton* button) {
    for (int i = 0; i < 100; ++i) {
      const size_t before = dialogs.shown.size();
      QTest::mouseClick(button, Qt::LeftButton);
      if (!QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000)) return false;
      if (dialogs.shown.size() == before) return true;
      dialogs.shown.resize(before);
      QTest::qWait(100);
    }
    return false;
  };
  QVERIFY(pressUntilTaken(Ctl<QPushButton>(purgePage, WhatToPurgePage::PURGE_NOW)));
  QVERIFY(QTest::qWaitFor([&] { return CachedFilesWith("body{}") == 0; }, 15000));
  QCOMPARE(CachedFilesWith("hello"), 1);
  Show(*sheet, CACHE_PAGE_GENERAL);

  // Size 0 applied, then Purge Now: nothing matches the empty purge list, the cache stays over its
  // limit, and the engine turns additions off and says so with 131, which the open sheet shows.
  size->setText("0");
  QVERIFY(applyAndHearEcho());
  Show(*sheet, CACHE_PAGE_WHAT_TO_PURGE);
  QVERIFY(pressUntilTaken(Ctl<QPushButton>(Page(*sheet, CACHE_PAGE_WHAT_TO_PURGE), WhatToPurgePage::PURGE_NOW)));
  QVERIFY(QTest::qWaitFor([&] { return !sheet->Logic().general.additions; }, 15000));
  Show(*sheet, CACHE_PAGE_GENERAL);
  QVERIFY(!additions->isChecked());
  QCOMPARE(size->text(), QString("0"));

  // Read back from the engine by the watcher: the limit the sheet set, additions off.
  watcher.client.Request(RC_REQ_GET_CACHE);
  QVERIFY(watcher.loop.RunUntil([&] { return watcher.client.OutstandingRequests() == 0; }));
  QCOMPARE(watcher.client.Mirrors().cache->MaxSize.load(), 0u);
  QCOMPARE(watcher.client.Mirrors().cache->CacheOptions.load() & kCacheEnableAdditions, 0u);

  // The remaining file deleted by hand, then "Rebuild Index": the engine's index drops its entry.
  QCOMPARE(CachedFilesWith("index.html", "cache.idx"), 1);
  QCOMPARE(CachedFilesWith("hello"), 1);
  QCOMPARE(RunCommand("grep -rl --include='*.tlc' -e hello \"$TRELLIS_HOME\" | xargs rm -f"), 0);
  QCOMPARE(CachedFilesWith("hello"), 0);
  QVERIFY(pressUntilTaken(Ctl<QPushButton>(general, CacheGeneralPage::REBUILD_INDEX)));
  QVERIFY(QTest::qWaitFor([&] { return CachedFilesWith("index.html", "cache.idx") == 0; }, 15000));

  QTest::mouseClick(sheet->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(QTest::qWaitFor([&] { return app.CacheSheet() == nullptr; }, 30000));
  // Opened again at once, a new sheet shows what the engine holds now.
  tree->Properties();
  QVERIFY(app.CacheSheet());
  QCOMPARE(Ctl<QLineEdit>(Page(*app.CacheSheet(), CACHE_PAGE_GENERAL), CacheGeneralPage::MAX_SIZE)->text(),
           QString("0"));
  app.CacheSheet()->reject();
  // Nothing was refused or reported on the way.
  CString extra;
  for (size_t i = shown; i < dialogs.shown.size(); ++i) extra += dialogs.shown[i] + "\n";
  QVERIFY2(dialogs.shown.size() == shown, extra.c_str());
  QVERIFY(watcher.client.Stop(5000));
  QVERIFY(app.Stop(5000));
}

QTEST_MAIN(CacheQtTest)
#include "cache_qt_test.moc"
