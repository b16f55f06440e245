// A ban filter made through the console reaches the engine and bans: the console program (Qt,
// offscreen) logs in to the real engine; the web proxy's properties are opened as from the tree,
// a recipient is added to its access right on the Policies page and given a ban criterion on the
// recipient sheet's Ban list page (sheet, page and Criterion dialog driven through their controls
// by id), the service sheet's OK sends the service (34), and curl through the proxy is refused for a URL holding
// "blocked" and served for another by a loopback origin. A second console reads the ban back from the
// engine. Then the same recipient's Advanced page grants only URLs holding "/public/".
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest/QtTest>
#include <atomic>
#include <map>
#include <thread>

#include "console/dialogs/access/filter_sheets.h"
#include "console/dialogs/access/filter_tree.h"
#include "console/dialogs/access/recipient_sheets.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/dialogs/core/service_sheet_qt.h"
#include "console/model/console_dialogs.h"
#include "console/model/tree_entry.h"
#include "console/shell/lookout_app.h"
#include "engine/core/service_settings.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/console_qt_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

using namespace trellis::test;

namespace {

// An origin on 127.0.0.2 that answers every request with 200 and the path it was asked for, and
// records the paths.
struct Origin {
  Origin() {
    fd = ListenOn("127.0.0.2", &port);
    thread = std::thread([this] {
      while (!stop.load()) {
        int c = accept(fd, nullptr, nullptr);
        if (c < 0) return;
        const std::string req = ReadSome(c, 1, 5000);
        const size_t sp = req.find(' ');
        const std::string path = sp == std::string::npos ? "" : req.substr(sp + 1, req.find(' ', sp + 1) - sp - 1);
        {
          std::lock_guard<std::mutex> g(mx);
          paths.push_back(path);
        }
        const std::string body = "served " + path;
        SendAll(c, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        close(c);
      }
    });
  }
  ~Origin() {
    stop = true;
    shutdown(fd, SHUT_RDWR);
    if (thread.joinable()) thread.join();
    close(fd);
  }
  std::vector<std::string> Paths() {
    std::lock_guard<std::mutex> g(mx);
    return paths;
  }
  int fd = -1;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::thread thread;
  std::mutex mx;
  std::vector<std::string> paths;
};

void Choose(QComboBox* combo, const QString& text) {
  const int i = combo->findText(text);
  QVERIFY2(i >= 0, qPrintable(text));
  combo->setCurrentIndex(i);
}

// curl through the proxy: the status code and the body.
std::pair<std::string, std::string> Fetch(uint16_t proxy, const std::string& url) {
  std::string out;
  RunCommand("curl -s -m 20 -w '\\n%{http_code}' -x http://127.0.0.1:" + std::to_string(proxy) + " " + url, &out);
  const size_t nl = out.rfind('\n');
  if (nl == std::string::npos) return {out, ""};
  return {out.substr(nl + 1), out.substr(0, nl)};
}

}  // namespace

class FiltersE2eTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { TempRoot(); }
  void aBanMadeInTheConsoleRefusesTheBannedUrlOnly();
};

void FiltersE2eTest::aBanMadeInTheConsoleRefusesTheBannedUrlOnly() {
  EngineProcess engine;
  std::string log;
  QVERIFY2(engine.Start(&log), log.c_str());
  auto store = EngineSettings(engine.rcPort);
  LookoutApp app(std::move(store), std::make_unique<FirstLoginDialogs>());
  QVERIFY(app.Start(true));
  QVERIFY(QTest::qWaitFor([&] { return app.Client().IsLoggedIn(); }, 15000));
  QVERIFY(QTest::qWaitFor(
      [&] {
        return app.Client().OutstandingRequests() == 0 && app.Client().Mirrors().services &&
               app.Client().Mirrors().services->Lookup("WWW Proxy server");
      },
      15000));

  Origin origin;
  const std::string base = "http://127.0.0.2:" + std::to_string(origin.port);
  // Before: both URLs are served.
  QCOMPARE(Fetch(engine.wwwPort, base + "/blocked/page").first, std::string("200"));

  // The operator opens the web proxy's properties from the console, chooses on the Policies page
  // that the engine's default access right is ignored (it admits everyone, whatever this right's
  // recipients ban), adds a recipient (everyone) and, on its Ban list page, a criterion "HTTP URL
  // contains 'blocked'"; the service sheet's OK sends the service (34).
  app.OpenProperties(ENTRY_SERVICE, "WWW Proxy server");
  auto* svcSheet = app.Window()->findChild<EditServiceDialog*>();
  QVERIFY(svcSheet);
  QVERIFY(QTest::qWaitForWindowExposed(svcSheet));
  const int policiesTab = svcSheet->TabOf(SERVICE_PAGE_POLICIES);
  QVERIFY(policiesTab >= 0);
  QVERIFY(svcSheet->Sheet()->SetActivePage(policiesTab));
  QWidget* policies = svcSheet->Sheet()->GetPage(policiesTab);
  auto* mode = Ctl<QComboBox>(policies, PoliciesPage::MODE);
  QVERIFY(mode);
  mode->setCurrentIndex(kDefaultRightsIgnored);
  emit mode->activated(kDefaultRightsIgnored);
  const int rowsBefore = Ctl<QTreeWidget>(policies, PoliciesPage::LIST)->topLevelItemCount();

  bool droveSheet = false, droveCriterion = false;
  QStringList tabs;
  QTimer::singleShot(0, [&] {
    auto* sheet = qobject_cast<RecipientSheetDialog*>(QApplication::activeModalWidget());
    if (!sheet) return;
    QCOMPARE(sheet->windowTitle(), QString("Properties for new recipient"));
    for (int i = 0; i < sheet->Sheet()->PageCount(); ++i) tabs << sheet->Sheet()->GetPage(i)->Title();
    const int banTab = sheet->TabOf(RECIPIENT_PAGE_BAN);
    QVERIFY(banTab >= 0);
    QVERIFY(sheet->Sheet()->SetActivePage(banTab));
    QWidget* page = sheet->Sheet()->GetPage(banTab);
    QTest::mouseClick(Ctl(page, BanListPage::ENABLE), Qt::LeftButton, {}, QPoint(6, 6));
    QTimer::singleShot(0, [&] {
      auto* dlg = qobject_cast<CriterionDialog*>(QApplication::activeModalWidget());
      if (!dlg) return;
      Choose(Ctl<QComboBox>(dlg, CriterionLogic::VARIABLE), "HTTP URL");
      Choose(Ctl<QComboBox>(dlg, CriterionLogic::COMPARISON), "contains");
      Ctl<QLineEdit>(dlg, CriterionLogic::VALUE)->setText("blocked");
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      droveCriterion = !dlg->isVisible();
    });
    QTest::mouseClick(Ctl(page, BanListPage::ADD), Qt::LeftButton);
    QCOMPARE(Ctl<QTreeWidget>(page, BanListPage::LIST)->topLevelItemCount(), 1);
    QTest::mouseClick(sheet->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    droveSheet = !sheet->isVisible();
  });
  QTest::mouseClick(Ctl(policies, PoliciesPage::ADD), Qt::LeftButton);
  QVERIFY(droveCriterion);
  QVERIFY(droveSheet);
  // The web proxy's access right shows every page: Recipient, Location, Time, Ban list, Advanced.
  QCOMPARE(tabs, (QStringList{"Recipient", "Location", "Time", "Ban list", "Advanced"}));
  QCOMPARE(Ctl<QTreeWidget>(policies, PoliciesPage::LIST)->topLevelItemCount(), rowsBefore + 1);
  QTest::mouseClick(svcSheet->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(QTest::qWaitFor([&] { return !app.Window()->findChild<EditServiceDialog*>(); }, 30000));
  QVERIFY(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000));

  // The banned URL gets the refusal; another is served by the origin.
  auto banned = Fetch(engine.wwwPort, base + "/blocked/page");
  QVERIFY2(QTest::qWaitFor(
               [&] {
                 banned = Fetch(engine.wwwPort, base + "/blocked/page");
                 return banned.first == "403";
               },
               10000),
           banned.first.c_str());
  const auto other = Fetch(engine.wwwPort, base + "/news/page");
  QCOMPARE(other.first, std::string("200"));
  QCOMPARE(other.second, std::string("served /news/page"));
  const auto paths = origin.Paths();
  QCOMPARE(std::count(paths.begin(), paths.end(), "/blocked/page"), 1L);  // only the one before the ban

  // A second console reads the ban back from the engine.
  FreshConsole second;
  QVERIFY(second.LogIn(engine.rcPort, "Administrator", "pw", RC_REQ_GET_SERVICES));
  auto back = second.client.Mirrors().services->LookupAs<CServiceSettings>("WWW Proxy server");
  QVERIFY(back);
  QCOMPARE(back->AccessRights.IncludeDefaultRights, int32_t(kDefaultRightsIgnored));
  auto r = back->AccessRights.GetRecipients();
  QCOMPARE(r.size(), size_t(rowsBefore + 1));
  QCOMPARE(r.back()->SpecifyBan, 1u);
  auto criteria = r.back()->BanFilter.GetCriteria();
  QCOMPARE(criteria.size(), size_t(1));
  QCOMPARE(criteria[0]->Description, CString("HTTP URL contains \"blocked\""));
  QCOMPARE(criteria[0]->Value.DataType, uint32_t(TL_DATA_STRING));

  // Then request filters on the same recipient: opened again from the Policies page (a double
  // click on its row), its Advanced page grants only URLs holding "/public/".
  app.OpenProperties(ENTRY_SERVICE, "WWW Proxy server");
  svcSheet = app.Window()->findChild<EditServiceDialog*>();
  QVERIFY(svcSheet);
  QVERIFY(svcSheet->Sheet()->SetActivePage(policiesTab));
  policies = svcSheet->Sheet()->GetPage(policiesTab);
  auto* rows = Ctl<QTreeWidget>(policies, PoliciesPage::LIST);
  QCOMPARE(rows->topLevelItemCount(), rowsBefore + 1);
  droveSheet = droveCriterion = false;
  QTimer::singleShot(0, [&] {
    auto* sheet = qobject_cast<RecipientSheetDialog*>(QApplication::activeModalWidget());
    if (!sheet) return;
    const int advTab = sheet->TabOf(RECIPIENT_PAGE_ADVANCED);
    QVERIFY(sheet->Sheet()->SetActivePage(advTab));
    QWidget* page = sheet->Sheet()->GetPage(advTab);
    QTest::mouseClick(Ctl(page, RecipientAdvancedPage::SPECIFY), Qt::LeftButton, {}, QPoint(6, 6));
    QTest::mouseClick(Ctl(page, RecipientAdvancedPage::ADD_FILTER), Qt::LeftButton);
    QTimer::singleShot(0, [&] {
      auto* dlg = qobject_cast<CriterionDialog*>(QApplication::activeModalWidget());
      if (!dlg) return;
      Choose(Ctl<QComboBox>(dlg, CriterionLogic::VARIABLE), "HTTP URL");
      Choose(Ctl<QComboBox>(dlg, CriterionLogic::COMPARISON), "contains");
      Ctl<QLineEdit>(dlg, CriterionLogic::VALUE)->setText("/public/");
      QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
      droveCriterion = !dlg->isVisible();
    });
    QTest::mouseClick(Ctl(page, RecipientAdvancedPage::ADD_CRITERION), Qt::LeftButton);
    QCOMPARE(Ctl<QTreeWidget>(page, RecipientAdvancedPage::TREE)->topLevelItem(0)->childCount(), 1);
    QTest::mouseClick(sheet->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    droveSheet = !sheet->isVisible();
  });
  emit rows->itemDoubleClicked(rows->topLevelItem(rowsBefore), 0);
  QVERIFY(droveCriterion);
  QVERIFY(droveSheet);
  QTest::mouseClick(svcSheet->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
  QVERIFY(QTest::qWaitFor([&] { return !app.Window()->findChild<EditServiceDialog*>(); }, 30000));
  QVERIFY(QTest::qWaitFor([&] { return app.Client().OutstandingRequests() == 0; }, 15000));

  auto news = Fetch(engine.wwwPort, base + "/news/page");
  QVERIFY2(QTest::qWaitFor(
               [&] {
                 news = Fetch(engine.wwwPort, base + "/news/page");
                 return news.first != "200";
               },
               10000),
           news.first.c_str());
  QCOMPARE(news.first, std::string("403"));
  const auto pub = Fetch(engine.wwwPort, base + "/public/page");
  QCOMPARE(pub.first, std::string("200"));
  QCOMPARE(pub.second, std::string("served /public/page"));
  // The ban still comes first.
  QCOMPARE(Fetch(engine.wwwPort, base + "/public/blocked").first, std::string("403"));
  app.Stop(5000);
}

QTEST_MAIN(FiltersE2eTest)
#include "filters_e2e_test.moc"
