// A ban filter made through the console reaches the engine and bans: the console program (Qt,
// offscreen) logs in to the real engine, the web proxy's access right's recipient is edited on the
// Ban list page through its controls (the Criterion dialog driven by id), the service goes back
// with request 34, and curl through the proxy is refused for a URL holding "blocked" and served
// for another by a loopback origin. A second console reads the ban back from the engine.
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
#include "console/dialogs/common/editor_qt.h"
#include "console/shell/console_dialogs.h"
#include "console/shell/lookout_app.h"
#include "engine/core/service_settings.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

using namespace trellis::test;

namespace {

struct MemoryStore : KeyValueStore {
  std::optional<CString> Get(const CString& g, const CString& k) const override {
    auto it = values.find(g + "/" + k);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
  void Set(const CString& g, const CString& k, const CString& v) override { values[g + "/" + k] = v; }
  std::map<CString, CString> values;
};

// The first log-in: an empty password confirmed, then changed to "pw".
struct FirstLogin : ConsoleDialogs {
  bool AskYesNo(const CString&, const CString&, uint32_t) override { return true; }
  bool AskOkCancel(const CString&, const CString&) override { return true; }
  void Inform(const CString&, const CString&, uint32_t) override {}
  void ShowMessage(const CString&, const CString&, uint32_t) override {}
  bool OnlineOptions(ConnectParams& params, const std::function<bool(ConnectParams&)>& accept) override {
    ConnectParams p = params;
    p.password = "";
    if (!accept(p)) return false;
    params = p;
    return true;
  }
  bool ChangePassword(CString* oldPassword, CString* newPassword) override {
    *oldPassword = "";
    *newPassword = "pw";
    return true;
  }
  bool WriteMessage(const CString&, CString*) override { return false; }
  void ShowReceivedMessage(const CString&, const CString&, const CString&,
                           const std::function<void(const CString&)>&) override {}
  bool ConfirmationOptions(ConsoleWarnings&) override { return false; }
  void MachineProperties(const CMachineRecord&) override {}
  void About() override {}
  bool OpenHelp() override { return false; }
};

struct Boxes : Prompter {
  void Message(const CString& title, const CString& text, uint32_t) override { seen.push_back(title + "|" + text); }
  bool AskYesNo(const CString& title, const CString& text, uint32_t) override {
    seen.push_back(title + "|" + text);
    return false;
  }
  void Beep() override {}
  std::vector<CString> seen;
};

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

template <class W = QWidget>
W* Ctl(QWidget* root, int id) {
  return qobject_cast<W*>(FindControl(root, id));
}

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
  auto store = std::make_unique<MemoryStore>();
  store->Set("Settings", "TrellisServer", "127.0.0.1");
  store->Set("Settings", "TrellisPort", std::to_string(engine.rcPort));
  LookoutApp app(std::move(store), std::make_unique<FirstLogin>());
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

  // The service's access right, edited on a copy as the service sheet does.
  auto mirrored = app.Client().Mirrors().services->LookupAs<CServiceSettings>("WWW Proxy server");
  QVERIFY(mirrored);
  auto service = Clone(*mirrored);
  // The engine's install leaves this right without recipients: the operator adds one (a new
  // recipient: everyone), as the Policies page's Add does through the recipient sheet.
  auto recipients = service->AccessRights.GetRecipients();
  if (recipients.empty()) recipients.push_back(std::make_shared<CRecipient>());
  Boxes prompter;
  QtCriterionDialogs dialogs(prompter, nullptr);
  BanListPage ban(service->GetServiceKind(), dialogs,
                  CriterionContextOf(app.Client(), service->GetServiceKind(), CRITERION_MODE_BAN));
  ban.Load(*recipients[0]);
  SheetDialog sheet(QString("Properties for recipient %1").arg(QString::fromStdString(recipients[0]->UserName)));
  sheet.Sheet()->AddPage(NewBanListWidget(ban));
  sheet.show();
  QVERIFY(QTest::qWaitForWindowExposed(&sheet));
  QWidget* page = sheet.Sheet()->GetPage(0);
  QTest::mouseClick(Ctl(page, BanListPage::ENABLE), Qt::LeftButton, {}, QPoint(6, 6));
  bool drove = false;
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<CriterionDialog*>(QApplication::activeModalWidget());
    if (!dlg) return;
    Choose(Ctl<QComboBox>(dlg, CriterionLogic::VARIABLE), "HTTP URL");
    Choose(Ctl<QComboBox>(dlg, CriterionLogic::COMPARISON), "contains");
    Ctl<QLineEdit>(dlg, CriterionLogic::VALUE)->setText("blocked");
    QTest::mouseClick(dlg->findChild<QPushButton*>("IDOK"), Qt::LeftButton);
    drove = !dlg->isVisible();
  });
  QTest::mouseClick(Ctl(page, BanListPage::ADD), Qt::LeftButton);
  QVERIFY(drove);
  QCOMPARE(Ctl<QTreeWidget>(page, BanListPage::LIST)->topLevelItemCount(), 1);
  QVERIFY(sheet.Sheet()->Accept());
  std::vector<PageLogic<CRecipient>*> order{&ban};
  auto edited = ValidateAndApply(order, *recipients[0], prompter);
  QVERIFY(edited);
  sheet.close();

  // The recipient goes back into the copy of the right; the right stops also granting through the
  // engine's default access right, which would admit everyone whatever this recipient bans.
  service->AccessRights.Recipients.RemoveAll();
  service->AccessRights.AddRecipient(edited);
  service->AccessRights.IncludeDefaultRights = kDefaultRightsIgnored;
  QVERIFY(app.Client().QueueObject(RC_REQ_MODIFY_SERVICE, service->Name, *service) != 0);
  QVERIFY(app.Client().CommitService(service, RC_NOTIFY_SERVICE_CHANGED));
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
  auto r = back->AccessRights.GetRecipients();
  QCOMPARE(r.size(), size_t(1));
  QCOMPARE(r[0]->SpecifyBan, 1u);
  auto criteria = r[0]->BanFilter.GetCriteria();
  QCOMPARE(criteria.size(), size_t(1));
  QCOMPARE(criteria[0]->Description, CString("HTTP URL contains \"blocked\""));
  QCOMPARE(criteria[0]->Value.DataType, uint32_t(TL_DATA_STRING));
  app.Stop(5000);
}

QTEST_MAIN(FiltersE2eTest)
#include "filters_e2e_test.moc"
