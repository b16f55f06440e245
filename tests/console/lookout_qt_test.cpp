// The console program's window logic with Qt Test: the real application against the real engine
// (first log-in with its password change, the tree's roots filled from the engine, a browser's
// machine and session in the activity view while curl uses the proxy, ending it from the view,
// copying its address, a lost engine and a reconnect), the window never held by the network (its
// event loop turns while a fake engine holds back the end of a 16 MiB frame), and the models,
// settings, placement, commands and tab sheet on their own.
//
// With LOOKOUT_SCREENSHOTS set to a folder, the main window with both trees filled and a tab sheet
// are saved there as PNG files (the build runs this under Xvfb for that).
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QDir>
#include <QFormLayout>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QSplitter>
#include <QTabBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QtTest/QtTest>
#include <atomic>
#include <cstring>
#include <map>
#include <thread>

#include "console/dialogs/access/user_sheets.h"
#include "console/dialogs/common/tab_sheet.h"
#include "console/model/console_texts.h"
#include "console/model/tree_entry.h"
#include "console/shell/activity_view.h"
#include "console/shell/lookout_app.h"
#include "console/shell/lookout_view.h"
#include "console/shell/qt_dialogs.h"
#include "console/shell/sorted_item.h"
#include "engine/config/util.h"
#include "engine/proxy/www/www_settings.h"
#include "engine/remote/frame.h"
#include "engine/remote/link.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_qt_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

using namespace trellis::test;

namespace {

// Answers every dialog as told and records what was shown.
struct FakeDialogs : RecordedAnswers<ConsoleDialogs> {
  bool OnlineOptions(ConnectParams& params, const std::function<bool(ConnectParams&)>& accept) override {
    ++onlineOptions;
    ConnectParams p = params;
    p.password = password;
    if (!accept(p)) return false;
    params = p;
    return true;
  }
  bool ChangePassword(bool, CString* oldPassword, CString* newPassword) override {
    ++changePassword;
    *oldPassword = password;
    *newPassword = newPasswordAnswer;
    return true;
  }
  bool WriteMessage(const CString& title, CString* text) override {
    written.push_back(title);
    *text = "hello";
    return true;
  }
  void ShowReceivedMessage(const CString& title, const CString& text, const CString&,
                           const std::function<void(const CString&)>&) override {
    shown.push_back(title + ": " + text);
  }
  bool ConfirmationOptions(ConsoleWarnings&) override { return false; }
  void MachineProperties(const CMachineRecord& m) override { properties.push_back(m.Address); }
  void About() override {}
  bool OpenHelp() override { return false; }

  bool HasShown(const CString& what) const {
    for (const auto& s : shown)
      if (s.find(what) != CString::npos) return true;
    return false;
  }

  CString password;
  CString newPasswordAnswer = "pw";
  int onlineOptions = 0;
  int changePassword = 0;
  std::vector<CString> written, properties;
};

void Screenshot(QWidget* w, const char* name) {
  const QByteArray dir = qgetenv("LOOKOUT_SCREENSHOTS");
  if (dir.isEmpty()) return;
  QDir().mkpath(QString::fromLocal8Bit(dir));
  const QString file = QDir(QString::fromLocal8Bit(dir)).filePath(QString::fromLatin1(name));
  QPixmap shot = w->grab();
  QVERIFY2(shot.save(file), qPrintable(file));
}

QStringList Children(QTreeWidgetItem* root) {
  QStringList out;
  if (!root) return out;
  for (int i = 0; i < root->childCount(); ++i) out << root->child(i)->text(0);
  return out;
}

// An origin on 127.0.0.2 that holds its one request until released.
struct HeldOrigin {
  HeldOrigin() {
    fd = ListenOn("127.0.0.2", &port);
    thread = std::thread([this] {
      int c = accept(fd, nullptr, nullptr);
      if (c < 0) return;
      ReadSome(c, 1, 5000);
      while (!release.load()) usleep(20000);
      SendAll(c, "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
      close(c);
    });
  }
  ~HeldOrigin() {
    release = true;
    shutdown(fd, SHUT_RDWR);
    if (thread.joinable()) thread.join();
    close(fd);
  }
  int fd = -1;
  uint16_t port = 0;
  std::atomic<bool> release{false};
  std::thread thread;
};

}  // namespace

class LookoutQtTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { TempRoot(); }
  void theConsoleAgainstTheEngine();
  void theWindowIsNeverHeldByTheNetwork();
  void activityViewKeepsEntriesByAddressAndNumber();
  void configurationTreeUpdatesAndDeletes();
  void theTreeOpensTheEditorsAndTheUserSheetTakesItsUsersFigures();
  void settingsRoundTripThroughQSettingsAndPlacement();
  void commandsFollowTheOnlineStateAndCloseAsksAboutChanges();
  void tabSheetPagesRefuseAChangeAndLoadOncePerActivation();
  void aReceivedMessageIsAnsweredInPlace();
  void theOnlineOptionsDialogStaysOpenUntilItsValuesAreAccepted();
  void theFirstLogInTypedIntoTheChangePasswordDialog();
};

// The real Change Password dialog against a fresh engine, typed into as it opens, keys to the
// widget that has the focus: Enter with the fields empty is refused by the dialog itself (nothing
// is sent, the focus goes to the new password), then a new password typed twice completes the
// log-in and clears the engine's mark.
void LookoutQtTest::theFirstLogInTypedIntoTheChangePasswordDialog() {
  EngineProcess engine;
  std::string log;
  QVERIFY2(engine.Start(&log), log.c_str());
  // Real dialogs; the On-line Options answer with the empty password, notices are recorded.
  struct Dialogs : RecordedAnswers<QtDialogs> {
    Dialogs() : RecordedAnswers<QtDialogs>(nullptr) {}
    bool OnlineOptions(ConnectParams& params, const std::function<bool(ConnectParams&)>& accept) override {
      return AnswerWithEmptyPassword(params, accept);
    }
  };
  auto dialogsOwned = std::make_unique<Dialogs>();
  Dialogs& dialogs = *dialogsOwned;
  LookoutApp app(EngineSettings(engine.rcPort), std::move(dialogsOwned));
  QStringList focusSeen;
  int step = 0;
  QTimer typist;
  typist.setInterval(10);
  QObject::connect(&typist, &QTimer::timeout, [&] {
    QWidget* d = QApplication::activeModalWidget();
    // The operator types once the dialog is up and has the keyboard.
    QWidget* focus = QApplication::focusWidget();
    if (!d || d->objectName() != "changePassword" || !focus || focus->window() != d) return;
    if (step == 0) {
      Screenshot(d, "change-password.png");
      focusSeen << focus->objectName();
      QTest::keyClick(focus, Qt::Key_Return);  // empty fields
      focusSeen << (QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString());
      step = 1;
    } else if (step == 1) {
      QTest::keyClicks(focus, "admin-pw");
      QTest::keyClick(focus, Qt::Key_Tab);
      QWidget* confirm = QApplication::focusWidget();
      focusSeen << (confirm ? confirm->objectName() : QString());
      if (!confirm) return;
      QTest::keyClicks(confirm, "admin-pw");
      step = 2;
      QTest::keyClick(confirm, Qt::Key_Return);
    }
  });
  typist.start();
  QVERIFY(app.Start(true));
  app.Window()->show();
  QVERIFY(WaitUntil([&] { return app.Client().IsLoggedIn(); }, 30000));
  typist.stop();
  // The dialog opened on the old password; the refusal sent the focus to the new one; Tab to the
  // confirmation.
  QCOMPARE(focusSeen, QStringList({"c1002", "c1001", "c1024"}));
  QCOMPARE(step, 2);
  QCOMPARE(dialogs.shown.at(0), CString(kTitleAuthentication) + ": " + kTextMustChangePassword);
  QCOMPARE(dialogs.shown.at(1), CString(kTitleLookout) + ": " + kTextForcedPasswordEmpty);
  QCOMPARE(dialogs.shown.size(), size_t(2));  // nothing from the engine: no refused change was sent
  QCOMPARE(QString::fromStdString(app.Client().Login().password), QString("admin-pw"));
  QVERIFY(WaitUntil([&] { return app.Window()->Tree()->Root(RC_REQ_GET_USERS) != nullptr; }));
  std::string mark;
  RunCommand(BuildPath("trellis-reg") + " query 'UserDatabase\\Administrator' UserMustChangePassword", &mark);
  QCOMPARE(QString::fromStdString(mark).trimmed(), QString("\"UserMustChangePassword\"=dword:0"));
  QVERIFY(app.Stop(5000));
}

void LookoutQtTest::theOnlineOptionsDialogStaysOpenUntilItsValuesAreAccepted() {
  QtDialogs dialogs(nullptr);
  ConnectParams params{"localhost", 808, "Administrator", ""};
  int offered = 0;
  QString focused;
  // Plays the user: fills the fields and presses OK twice; the first OK is refused.
  QTimer::singleShot(0, [&] {
    QWidget* d = QApplication::activeModalWidget();
    QVERIFY(d);
    // The field that has (or gets, once the window is active) the focus.
    if (d->focusWidget()) focused = d->focusWidget()->objectName();
    d->findChild<QLineEdit*>("server")->setText("gateway");
    d->findChild<QSpinBox*>("port")->setValue(9808);
    d->findChild<QLineEdit*>("user")->setText("administrator");
    d->findChild<QLineEdit*>("password")->setText("pw");
    auto* ok = d->findChild<QPushButton*>("IDOK");
    QTest::mouseClick(ok, Qt::LeftButton);
    QVERIFY(d->isVisible());
    QTest::mouseClick(ok, Qt::LeftButton);
  });
  const bool ok = dialogs.OnlineOptions(params, [&](ConnectParams& p) {
    // The check corrects the name's letter case the second time.
    if (++offered == 1) return false;
    p.user = "Administrator";
    return true;
  });
  QVERIFY(ok);
  QCOMPARE(offered, 2);
  QCOMPARE(focused, QString("password"));
  QCOMPARE(QString::fromStdString(params.server), QString("gateway"));
  QCOMPARE(params.port, uint16_t(9808));
  QCOMPARE(QString::fromStdString(params.user), QString("Administrator"));
  QCOMPARE(QString::fromStdString(params.password), QString("pw"));
}

void LookoutQtTest::aReceivedMessageIsAnsweredInPlace() {
  QtDialogs dialogs(nullptr);
  CString sent;
  dialogs.ShowReceivedMessage("Message from Administrator on 192.168.0.2", "hi", "192.168.0.2",
                              [&](const CString& text) { sent = text; });
  QDialog* d = nullptr;
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->objectName() == "receivedMessage") d = qobject_cast<QDialog*>(w);
  QVERIFY(d);
  QVERIFY(!d->isModal());
  auto* button = d->findChild<QPushButton*>("c1");
  auto* edit = d->findChild<QPlainTextEdit*>("c1039");
  QCOMPARE(button->text(), QString("&Reply"));
  QCOMPARE(edit->toPlainText(), QString("hi"));
  QTest::mouseClick(button, Qt::LeftButton);
  QCOMPARE(d->windowTitle(), QString("Reply to Administrator on 192.168.0.2"));
  QCOMPARE(button->text(), QString("&Send"));
  QCOMPARE(d->findChild<QLabel*>("c1042")->text(), QString("Your Message"));
  QVERIFY(sent.empty());
  edit->setPlainText("hello back");
  QPointer<QDialog> alive(d);
  QTest::mouseClick(button, Qt::LeftButton);
  QCOMPARE(QString::fromStdString(sent), QString("hello back"));
  QTRY_VERIFY_WITH_TIMEOUT(!alive, 30000);
}

void LookoutQtTest::theConsoleAgainstTheEngine() {
  EngineProcess engine;
  std::string log;
  QVERIFY2(engine.Start(&log), log.c_str());
  auto store = EngineSettings(engine.rcPort);
  // A window large enough to show both trees whole.
  store->Set("Settings", "Placement", EncodePlacement({40, 40, 820, 520, false}));
  auto dialogsOwned = std::make_unique<FakeDialogs>();
  FakeDialogs& dialogs = *dialogsOwned;
  LookoutApp app(std::move(store), std::move(dialogsOwned));
  QVERIFY(app.Start(true));
  MainFrame* w = app.Window();
  w->show();

  // First run: the On-line Options come first (an empty password confirmed, the local engine
  // found running), then the engine asks for a new password and the console asks the user.
  QVERIFY(WaitUntil([&] { return app.Client().IsLoggedIn(); }));
  QCOMPARE(dialogs.onlineOptions, 1);
  QCOMPARE(dialogs.changePassword, 1);
  QCOMPARE(QString::fromStdString(dialogs.asked.at(0)), QString("Lookout: ") + kTextNoPassword);
  QVERIFY(dialogs.HasShown(kTextMustChangePassword));
  QCOMPARE(w->windowTitle(), QString("Nomra Lookout - Online to 127.0.0.1"));

  LookoutView* tree = w->Tree();
  QVERIFY(WaitUntil([&] { return tree->Root(RC_REQ_GET_CACHE) && app.Client().OutstandingRequests() == 0; }));
  QCOMPARE(Children(tree->Root(RC_REQ_GET_USERS)), QStringList({"Administrator", "Guest"}));
  QCOMPARE(Children(tree->Root(kGroupsRoot)), QStringList({"Administrators", "Users"}));
  QCOMPARE(Children(tree->Root(RC_REQ_GET_SERVICES)), QStringList({"Remote Control Service", "WWW Proxy server"}));
  QVERIFY(tree->Root(RC_REQ_GET_POLICIES));
  QVERIFY(tree->Root(RC_REQ_GET_ASSUMPTIONS));
  QCOMPARE(tree->Entry(ENTRY_SERVICE, "WWW Proxy server")->data(0, ROLE_IMAGE).toInt(), int(IMAGE_SERVICE_RUNNING));
  // The dialer and the scheduler answer: both roots show.
  QVERIFY(tree->Root(RC_REQ_GET_DIALER));
  QVERIFY(tree->Root(RC_REQ_GET_SCHEDULER));
  tree->expandAll();

  // A browser through the web proxy.
  ActivityView* act = w->Activity();
  {
    HeldOrigin origin;
    const std::string url = "http://127.0.0.2:" + std::to_string(origin.port) + "/page";
    std::thread curl([&] {
      RunCommand("curl -s -m 20 --interface 127.0.0.3 -x http://127.0.0.1:" + std::to_string(engine.wwwPort) + " " +
                 url);
    });
    struct Join {
      HeldOrigin& o;
      std::thread& t;
      ~Join() {
        o.release = true;
        if (t.joinable()) t.join();
      }
    } join{origin, curl};
    // A web session is "http://" until its request is read; the line follows its description.
    QTreeWidgetItem* session = nullptr;
    QVERIFY(WaitUntil([&] {
      QTreeWidgetItem* m = act->MachineItem("127.0.0.3");
      if (!m) return false;
      for (int i = 0; i < m->childCount(); ++i)
        if (m->child(i)->data(0, ROLE_KIND).toInt() == ENTRY_SESSION && m->child(i)->text(0).startsWith("http://"))
          session = m->child(i);
      return session != nullptr && session->text(0) == QString::fromStdString(url);
    }));
    QCOMPARE(session->text(0), QString::fromStdString(url));
    QCOMPARE(session->parent()->text(0), QString("127.0.0.3"));
    // The user line under the machine.
    QTreeWidgetItem* line = session->parent()->child(0)->data(0, ROLE_KIND).toInt() == ENTRY_USER_LINE
                                ? session->parent()->child(0)
                                : session->parent()->child(1);
    QCOMPARE(line->text(0), QString("Guest (Unknown user)"));
    act->setCurrentItem(session);
    Screenshot(w, "main-window.png");
    // And at the size a first start opens with.
    const QRect before = w->geometry();
    w->resize(600, 440);
    QTest::qWait(50);
    Screenshot(w, "main-window-first-start-size.png");
    w->setGeometry(before);

    // Copy Resource Location puts the address on the clipboard; Send Message is not offered to a
    // guest.
    QVERIFY(act->CanCopy());
    QVERIFY(!act->CanSendMessage());
    w->Action(CMD_COPY_LOCATION)->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromStdString(url));
    w->Action(CMD_MACHINE_PROPERTIES)->trigger();
    QCOMPARE(dialogs.properties, std::vector<CString>{"127.0.0.3"});

    // Terminate asks while the switch is on: No sends nothing. With the switch off it does not
    // ask, and the session and its machine go.
    const size_t asked = dialogs.asked.size();
    app.UpdateActions();
    QVERIFY(w->Action(CMD_TERMINATE)->isEnabled());
    dialogs.yes = false;
    w->Action(CMD_TERMINATE)->trigger();
    QCOMPARE(dialogs.asked.size(), asked + 1);
    QCOMPARE(QString::fromStdString(dialogs.asked.back()), QString("Confirm termination: ") + kTextConfirmTermination);
    QCOMPARE(app.Client().OutstandingRequests(), size_t(0));
    dialogs.yes = true;
    app.Settings().warnings.DeleteSession = 0;
    // The Delete key in the activity view is Terminate.
    QTest::keyClick(act, Qt::Key_Delete);
    QCOMPARE(dialogs.asked.size(), asked + 1);
    QVERIFY(WaitUntil([&] { return act->MachineItem("127.0.0.3") == nullptr; }));
  }

  // Delete in the tree: asked and answered No, nothing is sent; with the switch off the request
  // goes at once (and the engine refuses to delete a built-in account: "Access denied.").
  tree->setCurrentItem(tree->Entry(ENTRY_USER, "Guest"));
  app.UpdateActions();
  QVERIFY(w->Action(CMD_DELETE)->isEnabled());
  dialogs.yes = false;
  w->Action(CMD_DELETE)->trigger();
  QCOMPARE(QString::fromStdString(dialogs.asked.back()),
           QString("Confirm deletion: ") + QString::fromStdString(DeleteConfirmationText("user", "Guest")));
  QCOMPARE(app.Client().OutstandingRequests(), size_t(0));
  dialogs.yes = true;
  app.Settings().warnings.DeleteUserGroup = 0;
  const size_t askedBefore = dialogs.asked.size();
  w->Action(CMD_DELETE)->trigger();
  QCOMPARE(dialogs.asked.size(), askedBefore);
  QVERIFY(WaitUntil([&] { return dialogs.HasShown(kTextAccessDenied); }));
  QVERIFY(tree->Entry(ENTRY_USER, "Guest"));
  // Stopping the web proxy shows as its picture.
  tree->setCurrentItem(tree->Entry(ENTRY_SERVICE, "WWW Proxy server"));
  w->Action(CMD_STOP_SERVICE)->trigger();
  QVERIFY(WaitUntil([&] {
    return tree->Entry(ENTRY_SERVICE, "WWW Proxy server")->data(0, ROLE_IMAGE).toInt() == IMAGE_SERVICE_STOPPED;
  }));
  w->Action(CMD_START_SERVICE)->trigger();
  QVERIFY(WaitUntil([&] {
    return tree->Entry(ENTRY_SERVICE, "WWW Proxy server")->data(0, ROLE_IMAGE).toInt() == IMAGE_SERVICE_RUNNING;
  }));

  // The engine goes away: the console says so, goes off-line and empties both trees.
  engine.Stop();
  QVERIFY(WaitUntil([&] { return !app.Client().IsOnline(); }, 30000));
  QVERIFY(dialogs.HasShown(kTextConnectionTerminated));
  QCOMPARE(w->windowTitle(), QString("Nomra Lookout - Off-line"));
  QCOMPARE(tree->topLevelItemCount(), 0);
  QCOMPARE(act->topLevelItemCount(), 0);
  QVERIFY(w->Action(CMD_GO_ONLINE)->isEnabled());
  QVERIFY(!w->Action(CMD_SAVE)->isEnabled());

  // It comes back: Go On-line connects at once with the accepted credentials.
  QVERIFY2(engine.Restart(&log), log.c_str());
  w->Action(CMD_GO_ONLINE)->trigger();
  QVERIFY(WaitUntil([&] { return tree->Root(RC_REQ_GET_SERVICES) != nullptr; }));
  QCOMPARE(dialogs.onlineOptions, 1);
  QVERIFY(app.Client().IsOnline());

  // A wrong password: the box says so, and the next Go On-line asks for the values again.
  w->Action(CMD_GO_OFFLINE)->trigger();
  QVERIFY(!app.Client().IsOnline());
  app.Client().Login().password = "wrong";
  w->Action(CMD_GO_ONLINE)->trigger();
  QVERIFY(WaitUntil([&] { return dialogs.HasShown("Bad password - recheck your password"); }));
  QVERIFY(!app.Client().CredentialsAccepted());
  QCOMPARE(w->windowTitle(), QString("Nomra Lookout - Off-line"));
  QVERIFY(app.Stop(5000));
}

// A fake engine on the real link that sends what takes the console's session thread longest.
void LookoutQtTest::theWindowIsNeverHeldByTheNetwork() {
  uint16_t port = 0;
  int listenFd = ListenOn("127.0.0.1", &port);
  X1Socket server;
  std::atomic<bool> ready{false};
  std::thread acceptor([&] {
    int fd = accept(listenFd, nullptr, nullptr);
    if (fd < 0) return;
    try {
      server.Attach(fd);
      X1Link& link = SetHandshake(server, LINK_CLIENT_CONSOLE, false, false, CString(), CString());
      link.SetUserLookup([](const CString&, CString* password) {
        *password = "p";
        return LinkUserState::Found;
      });
      link.ServerHandshake(server);
      ready = true;
    } catch (const X1SocketException&) {
      // The test below fails on ready staying false.
    }
  });
  auto store = std::make_unique<MemoryStore>();
  store->Set("Settings", "TrellisServer", "10.255.255.1");  // not local: no local check
  store->Set("Settings", "TrellisPort", std::to_string(port));
  auto dialogsOwned = std::make_unique<FakeDialogs>();
  dialogsOwned->password = "p";
  LookoutApp app(std::move(store), std::move(dialogsOwned));
  QVERIFY(app.Start(false));
  app.Client().Login().server = "127.0.0.1";
  app.Client().Login().user = "u";
  app.Client().Login().password = "p";
  app.Client().GoOnline();
  QVERIFY(WaitUntil([&] { return app.Client().IsOnline(); }));
  acceptor.join();
  QVERIFY(ready.load());

  // A user of almost 16 MiB and the message that announces it, sent whole but for the frame's last
  // bytes, which the fake engine holds back until the window has shown that it keeps running: a
  // window that waited for the bytes would not turn its event loop until they came (a minute
  // later, when the engine gives up holding them).
  CUser big;
  big.Name = "big";
  big.Description = CString(kMaxFrameLength - 4096, 'x');
  std::vector<uint8_t> bytes = BuildFrame(*std::make_unique<CTLRCPMessage>(RC_NOTIFY_USER_ADDED, "big"));
  std::vector<uint8_t> frame = BuildFrame(big);
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  const size_t held = 1024;
  std::atomic<bool> headSent{false}, release{false}, tailSent{false};
  std::thread sender([&] {
    server.Send(bytes.data(), bytes.size() - held);
    headSent = true;
    for (int i = 0; i < 600 && !release.load(); ++i) usleep(100000);
    tailSent = true;
    server.Send(bytes.data() + bytes.size() - held, held);
  });
  struct Release {
    std::atomic<bool>& release;
    std::thread& t;
    ~Release() {
      release = true;
      if (t.joinable()) t.join();
    }
  } releaseAtEnd{release, sender};
  QVERIFY(WaitUntil([&] { return headSent.load(); }, 90000));
  int turns = 0;
  QTimer ticker;
  ticker.setInterval(5);
  connect(&ticker, &QTimer::timeout, [&] { ++turns; });
  ticker.start();
  QVERIFY(WaitUntil([&] { return turns >= 20; }, 90000));
  QVERIFY2(!tailSent.load(), "the event loop stood still until the frame was whole");
  QVERIFY(app.Client().Mirrors().users->FindUser("big") == nullptr);
  release = true;
  QVERIFY(WaitUntil([&] { return app.Client().Mirrors().users->FindUser("big") != nullptr; }, 30000));
  QVERIFY(app.Client().IsOnline());
  QVERIFY(app.Stop(5000));
  server.Close();
  close(listenFd);
}

void LookoutQtTest::activityViewKeepsEntriesByAddressAndNumber() {
  struct Host : ConsoleHost {
    Host() : client(ui, [](std::function<void()>) {}) {}
    struct NullUi : ConsoleUi {
      void ViewUpdate(int, const ViewEvent&) override {}
      void MessageBox(const CString&, const CString&, uint32_t) override {}
      void SetOnline(bool, const CString&) override {}
      void Popup(int, const CString&, const CString&, const CString&) override {}
      void Command(uint32_t) override {}
    } ui;
    CLookoutClient client;
    FakeDialogs dialogs;
    ConsoleSettings settings;
    CLookoutClient& Client() override { return client; }
    ConsoleDialogs& Dialogs() override { return dialogs; }
    ConsoleSettings& Settings() override { return settings; }
  } host;
  ActivityView view(host);
  auto machine = [](uint16_t code, const char* address, const char* name, uint32_t level) {
    ViewEvent ev;
    ev.code = code;
    ev.name = address;
    ev.machine.Address = address;
    ev.machine.ComputerName = name;
    ev.machine.UserName = "bob";
    ev.machine.SecurityLevel = level;
    return ev;
  };
  auto session = [](uint16_t code, const char* address, uint32_t number, const char* text, uint32_t level = 2) {
    ViewEvent ev;
    ev.code = code;
    ev.name = address;
    ev.session.address = address;
    ev.session.number = number;
    ev.session.description = text;
    ev.session.userName = "bob";
    ev.session.level = level;
    return ev;
  };
  // A session before its machine sits at the top, and moves under the machine when it comes.
  view.Update(session(RC_NOTIFY_SESSION_ADDED, "10.0.0.5", 3, "POP3 mail"));
  QCOMPARE(view.SessionItem("10.0.0.5", 3)->parent(), nullptr);
  view.Update(machine(RC_NOTIFY_MACHINE_ADDED, "10.0.0.5", "desk", 1));
  QTreeWidgetItem* m = view.MachineItem("10.0.0.5");
  QCOMPARE(m->text(0), QString("desk [10.0.0.5]"));
  QCOMPARE(view.SessionItem("10.0.0.5", 3)->parent(), m);
  QCOMPARE(view.SessionItem("10.0.0.5", 3)->data(0, ROLE_IMAGE).toInt(), int(IMAGE_SESSION_POP3));
  // 75: cached, handover, and back.
  view.Update(session(RC_NOTIFY_SESSION_CHANGED, "10.0.0.5", 3, "cached"));
  QCOMPARE(view.SessionItem("10.0.0.5", 3)->data(0, ROLE_IMAGE).toInt(), int(IMAGE_CACHED));
  view.Update(session(RC_NOTIFY_SESSION_CHANGED, "10.0.0.5", 3, "handover"));
  QCOMPARE(view.SessionItem("10.0.0.5", 3)->text(0), QString("SOCKS Handover"));
  QCOMPARE(view.SessionItem("10.0.0.5", 3)->data(0, ROLE_IMAGE).toInt(), int(IMAGE_SESSION_HANDOVER));
  view.Update(session(RC_NOTIFY_SESSION_CHANGED, "10.0.0.5", 3, "HTTP://example.org/a"));
  QCOMPARE(view.SessionItem("10.0.0.5", 3)->data(0, ROLE_IMAGE).toInt(), int(IMAGE_SESSION));
  // 72 updates the machine's text and its user line.
  view.Update(machine(RC_NOTIFY_MACHINE_CHANGED, "10.0.0.5", "", 2));
  QCOMPARE(m->text(0), QString("10.0.0.5"));
  QStringList texts = Children(m);
  QVERIFY(texts.contains("bob (Authenticated)"));
  // Menu rules: copy for http/ftp in any case; Send Message to level 2 only, on-line only.
  view.setCurrentItem(view.SessionItem("10.0.0.5", 3));
  QVERIFY(view.CanCopy());
  QVERIFY(!view.CanSendMessage());  // off-line
  view.CopyResourceLocation();
  QCOMPARE(QGuiApplication::clipboard()->text(), QString("HTTP://example.org/a"));
  QMenu* menu = view.BuildMenu();
  QCOMPARE(menu->actions().at(0)->text(), QString("Terminate session"));
  QCOMPARE(menu->actions().at(2)->text(), QString("Send Message to bob"));
  delete menu;
  view.setCurrentItem(m);
  menu = view.BuildMenu();
  QCOMPARE(menu->actions().at(0)->text(), QString("Terminate all sessions on 10.0.0.5"));
  QVERIFY(!menu->actions().at(3)->isEnabled());
  delete menu;
  // 76 then 73; a reused number after the machine went finds the new entry, not a stale one.
  view.Update(session(RC_NOTIFY_SESSION_ADDED, "10.0.0.5", 4, "ftp://x"));
  view.Update(machine(RC_NOTIFY_MACHINE_REMOVED, "10.0.0.5", "", 0));
  QCOMPARE(view.topLevelItemCount(), 0);
  QVERIFY(!view.SessionItem("10.0.0.5", 3));
  view.Update(machine(RC_NOTIFY_MACHINE_ADDED, "10.0.0.5", "", 0));
  view.Update(session(RC_NOTIFY_SESSION_CHANGED, "10.0.0.5", 3, "Real audio"));
  QCOMPARE(view.SessionItem("10.0.0.5", 3)->data(0, ROLE_IMAGE).toInt(), int(IMAGE_SESSION_REAL));
  view.Update(session(RC_NOTIFY_SESSION_ENDED, "10.0.0.5", 3, ""));
  QVERIFY(!view.SessionItem("10.0.0.5", 3));
  // What was ended goes, and the selection stays on a neighbour of it: the next session, then the
  // machine, then the next machine; never the console's own log-in session.
  view.Update(machine(RC_NOTIFY_MACHINE_ADDED, "127.0.0.1", "", 2));
  view.Update(session(RC_NOTIFY_SESSION_ADDED, "127.0.0.1", 1, "Trellis Login: Register for everything"));
  view.Update(machine(RC_NOTIFY_MACHINE_ADDED, "10.0.0.7", "", 0));
  for (uint32_t n : {8u, 9u}) view.Update(session(RC_NOTIFY_SESSION_ADDED, "10.0.0.7", n, "http://example.org/"));
  view.setCurrentItem(view.SessionItem("10.0.0.7", 8));
  view.Update(session(RC_NOTIFY_SESSION_ENDED, "10.0.0.7", 8, ""));
  QCOMPARE(view.currentItem(), view.SessionItem("10.0.0.7", 9));
  view.Update(session(RC_NOTIFY_SESSION_ENDED, "10.0.0.7", 9, ""));
  QCOMPARE(view.currentItem(), view.MachineItem("10.0.0.7"));
  view.Update(machine(RC_NOTIFY_MACHINE_REMOVED, "10.0.0.7", "", 0));
  QVERIFY(view.currentItem() != view.SessionItem("127.0.0.1", 1));
  QVERIFY(!view.currentItem() || view.currentItem()->data(0, ROLE_KIND).toInt() == ENTRY_MACHINE);
  // 4 clears everything, orphans included.
  view.Update(session(RC_NOTIFY_SESSION_ADDED, "10.0.0.9", 1, "x"));
  ViewEvent clear;
  clear.code = kViewClear;
  view.Update(clear);
  QCOMPARE(view.topLevelItemCount(), 0);
  QVERIFY(!view.SessionItem("10.0.0.9", 1));
  QVERIFY(!view.MachineItem("10.0.0.5"));
}

void LookoutQtTest::configurationTreeUpdatesAndDeletes() {
  auto dialogsOwned = std::make_unique<FakeDialogs>();
  FakeDialogs& dialogs = *dialogsOwned;
  LookoutApp app(std::make_unique<MemoryStore>(), std::move(dialogsOwned));
  QVERIFY(app.Start(false));
  LookoutView* tree = app.Window()->Tree();
  ViewEvent ev;
  auto update = [&](uint16_t code, const char* name = "") {
    ev.code = code;
    ev.name = name;
    tree->Update(ev);
  };
  // Codes on an empty tree: nothing to add to, no root appears.
  update(RC_NOTIFY_USER_ADDED, "x");
  QCOMPARE(tree->topLevelItemCount(), 0);
  // Roots are built once however often their get completes.
  update(RC_REQ_GET_USERS);
  update(RC_REQ_GET_USERS);
  update(RC_REQ_GET_CACHE);
  update(RC_REQ_GET_CACHE);
  QCOMPARE(tree->topLevelItemCount(), 3);
  // A user added twice is one entry.
  auto user = std::make_shared<CUser>();
  user->Name = "carol";
  QVERIFY(app.Client().Mirrors().users->Add(user, nullptr));
  update(RC_NOTIFY_USER_ADDED, "carol");
  update(RC_NOTIFY_USER_ADDED, "carol");
  QCOMPARE(Children(tree->Root(RC_REQ_GET_USERS)), QStringList({"carol"}));
  // Delete asks with the switch on; No sends nothing (off-line it is not offered at all).
  tree->setCurrentItem(tree->Entry(ENTRY_USER, "carol"));
  QVERIFY(!tree->CanDelete());
  update(RC_NOTIFY_USER_DELETED, "carol");
  QCOMPARE(Children(tree->Root(RC_REQ_GET_USERS)), QStringList());
  update(kViewClear);
  QCOMPARE(tree->topLevelItemCount(), 0);
  QCOMPARE(DeleteConfirmationText("user", "carol"),
           CString("You are about to delete the user carol\ndo you wish to delete this user anyway?"));
  QVERIFY(dialogs.asked.empty());
}

void LookoutQtTest::theTreeOpensTheEditorsAndTheUserSheetTakesItsUsersFigures() {
  auto dialogsOwned = std::make_unique<FakeDialogs>();
  FakeDialogs& dialogs = *dialogsOwned;
  LookoutApp app(std::make_unique<MemoryStore>(), std::move(dialogsOwned));
  QVERIFY(app.Start(false));
  LookoutView* tree = app.Window()->Tree();
  auto& mirrors = app.Client().EditMirrors();
  mirrors.users->CreateBuiltInAccounts(nullptr);
  auto www = std::make_shared<CWWWServiceSettings>();
  www->SetName("WWW Proxy server");
  www->PortNumber = 8080;
  mirrors.services->SetAt(www->GetName(), www);
  ViewEvent ev;
  for (uint16_t code : {RC_REQ_GET_USERS, RC_REQ_GET_SERVICES}) {
    ev.code = code;
    tree->Update(ev);
  }
  auto openDialog = [&](const char* name) { return app.Window()->findChild<QDialog*>(QString::fromLatin1(name)); };

  // A double click on a user opens its sheet; a second Properties raises the same one.
  QTreeWidgetItem* guest = tree->Entry(ENTRY_USER, "Guest");
  QVERIFY(guest);
  emit tree->itemDoubleClicked(guest, 0);
  QDialog* sheet = openDialog("EditUserSheet");
  QVERIFY(sheet);
  QCOMPARE(sheet->windowTitle(), QString("Properties for user Guest"));
  tree->Properties();
  QCOMPARE(app.Window()->findChildren<EditUserDialog*>().size(), qsizetype(1));
  // The engine's counter update for that user reaches the open sheet's Accounting page.
  auto newer = std::make_shared<CUser>(*mirrors.users->FindUser("Guest"));
  newer->ClientSendTraffic = 1048576;
  QVERIFY(mirrors.users->Add(newer, nullptr));
  ViewEvent counters;
  counters.name = "Guest";
  app.ViewUpdate(VIEW_USER_SHEET, counters);
  QCOMPARE(static_cast<EditUserDialog*>(sheet)->Logic().accounting.quantity[0], uint64_t(1048576));
  sheet->reject();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

  // The menu's commands by id: a group's dialog, a new user's sheet, a service's sheet, a new
  // WWW service.
  tree->setCurrentItem(tree->Entry(ENTRY_GROUP, "Users"));
  QMenu* menu = tree->BuildMenu();
  for (const char* id : {"c32842", "c32846", "c32847", "c32858", "c32851", "c32843"})
    QVERIFY2(menu->findChild<QAction*>(id), id);
  menu->findChild<QAction*>("c32842")->trigger();
  QVERIFY(openDialog("EditGroupDialog"));
  openDialog("EditGroupDialog")->reject();
  menu->findChild<QAction*>("c32846")->trigger();
  QVERIFY(openDialog("EditUserSheet"));
  QCOMPARE(openDialog("EditUserSheet")->windowTitle(), QString("Properties for new user"));
  openDialog("EditUserSheet")->reject();
  menu->findChild<QAction*>("c32858")->trigger();
  QVERIFY(openDialog("EditServiceSheet"));
  openDialog("EditServiceSheet")->reject();
  delete menu;
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  emit tree->itemDoubleClicked(tree->Entry(ENTRY_SERVICE, "WWW Proxy server"), 0);
  QVERIFY(openDialog("EditServiceSheet"));
  QCOMPARE(openDialog("EditServiceSheet")->windowTitle(), QString("WWW Proxy server Properties"));
  openDialog("EditServiceSheet")->reject();
  QVERIFY(dialogs.shown.empty());
}

void LookoutQtTest::settingsRoundTripThroughQSettingsAndPlacement() {
  const QString home = QString::fromStdString(MakeTempDir("xdg"));
  qputenv("XDG_CONFIG_HOME", home.toLocal8Bit());
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home);
  {
    QtSettingsStore store;
    ConsoleSettings s;
    s.Username = "ops";
    s.TrellisServer = "gateway";
    s.TrellisPort = 9808;
    s.warnings.DeleteSession = 0;
    s.Placement = EncodePlacement({10, 20, 700, 500, false});
    s.AlwaysOnTop = 1;
    s.SaveLogin(store);
    s.SaveWindow(store);
    store.Sync();
  }
  const QString file = home + "/Nomra Software/Lookout.conf";
  QVERIFY(QFile::exists(file));
  // An independent INI reader sees the groups and values where the profile keeps them.
  std::string out;
  QCOMPARE(
      RunCommand(
          "python3 -c \"import configparser,sys; c=configparser.ConfigParser(); c.optionxform=str; "
          "c.read(sys.argv[1]); print(c['Settings']['Username'], c['Settings']['TrellisPort'], "
          "c['Warnings']['DeleteSession'], c['Warnings']['DeleteUserGroup'], len(c['Settings']['Placement']))\" '" +
              file.toStdString() + "'",
          &out),
      0);
  QCOMPARE(QString::fromStdString(out).trimmed(), QString("ops 9808 0 1 88"));
  QtSettingsStore again;
  ConsoleSettings loaded;
  loaded.Load(again);
  QCOMPARE(QString::fromStdString(loaded.TrellisServer), QString("gateway"));
  QCOMPARE(loaded.TrellisPort, 9808u);
  QCOMPARE(loaded.warnings.DeleteSession, 0u);
  // Bad values take their defaults.
  MemoryStore bad;
  bad.Set("Settings", "TrellisPort", "70000");
  bad.Set("Warnings", "DeleteService", "yes");
  loaded.Load(bad);
  QCOMPARE(loaded.TrellisPort, 808u);
  QCOMPARE(loaded.warnings.DeleteService, 1u);

  // Placement: exactly 88 characters applies, 87 or 89 or one off every screen centres 600 x 440.
  auto placed = [&](const CString& placement) {
    auto store = std::make_unique<MemoryStore>();
    store->Set("Settings", "Placement", placement);
    LookoutApp app(std::move(store), std::make_unique<FakeDialogs>());
    app.Start(false);
    return app.Window()->geometry();
  };
  const CString good = EncodePlacement({30, 40, 640, 480, false});
  QCOMPARE(good.size(), size_t(88));
  QCOMPARE(placed(good).size(), QSize(640, 480));
  QCOMPARE(placed(good.substr(0, 87)).size(), QSize(600, 440));
  QCOMPARE(placed(good + "0").size(), QSize(600, 440));
  QCOMPARE(placed(EncodePlacement({50000, 50000, 640, 480, false})).size(), QSize(600, 440));
  auto decoded = DecodePlacement(good);
  QVERIFY(decoded);
  QCOMPARE(decoded->left, 30);
  QCOMPARE(decoded->height, 480);
}

void LookoutQtTest::commandsFollowTheOnlineStateAndCloseAsksAboutChanges() {
  auto dialogsOwned = std::make_unique<FakeDialogs>();
  FakeDialogs& dialogs = *dialogsOwned;
  LookoutApp app(std::make_unique<MemoryStore>(), std::move(dialogsOwned));
  QVERIFY(app.Start(false));
  MainFrame* w = app.Window();
  app.UpdateActions();
  QCOMPARE(w->windowTitle(), QString("Nomra Lookout - Off-line"));
  QVERIFY(w->Action(CMD_GO_ONLINE)->isEnabled());
  for (int id : {CMD_GO_OFFLINE, CMD_SAVE, CMD_CHANGE_PASSWORD, CMD_SHUTDOWN})
    QVERIFY2(!w->Action(id)->isEnabled(), qPrintable(QString::number(id)));
  for (int id : {CMD_ONLINE_OPTIONS, CMD_CONFIRMATION_OPTIONS, CMD_ABOUT, CMD_EXIT, CMD_ALWAYS_ON_TOP})
    QVERIFY(w->Action(id)->isEnabled());
  // Changing the password off-line sends nothing and keeps the stored one.
  app.Client().Login().password = "old";
  app.ChangePassword();
  QCOMPARE(QString::fromStdString(app.Client().Login().password), QString("old"));
  // Always on top toggles the hint and the check mark.
  w->Action(CMD_ALWAYS_ON_TOP)->trigger();
  QVERIFY(w->windowFlags() & Qt::WindowStaysOnTopHint);
  QVERIFY(w->Action(CMD_ALWAYS_ON_TOP)->isChecked());
  // Closing with unsaved changes asks; No keeps the window open.
  w->show();
  app.Client().SetConfigurationChanged(true);
  dialogs.yes = false;
  QVERIFY(!w->close());
  QVERIFY(w->isVisible());
  QCOMPARE(QString::fromStdString(dialogs.asked.back()), QString("Configuration changed: ") + kTextGoOfflineChanged);
  dialogs.yes = true;
  QVERIFY(w->close());
  // A failed log-in: the next Go On-line shows the On-line Options again.
  uint16_t closedPort = FreePort();
  app.Client().Login().server = "127.0.0.2";  // not this machine's name: no local check
  app.Client().Login().port = closedPort;
  w->Action(CMD_GO_ONLINE)->trigger();
  QCOMPARE(dialogs.onlineOptions, 1);
  QVERIFY(WaitUntil([&] { return dialogs.HasShown("Connection refused"); }));
  QVERIFY(!app.Client().CredentialsAccepted());
  w->Action(CMD_GO_ONLINE)->trigger();
  QCOMPARE(dialogs.onlineOptions, 2);
  QVERIFY(WaitUntil([&] { return !app.Client().IsConnecting(); }));
  // Help that cannot open says so.
  app.Help();
  QVERIFY(dialogs.HasShown("help could not be opened"));
}

namespace {
class CountingPage : public TabPage {
 public:
  CountingPage(const QString& title, QWidget* parent = nullptr) : TabPage(title, -1, parent) {
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    edit = new QLineEdit(this);
    form->addRow(QStringLiteral("Session limit (0 to 100):"), edit);
    layout->addLayout(form);
    layout->addStretch(1);
  }
  void LoadControls() override {
    ++loads;
    edit->setText(QString::number(value));
  }
  bool StoreControls() override {
    bool ok = false;
    const int v = edit->text().toInt(&ok);
    if (!ok || v < 0 || v > 100) {
      // Where the page says why (a modal box), the tab bar shows this page's tab.
      if (bar) tabWhileRefusing = bar->currentIndex();
      return false;
    }
    value = v;
    return true;
  }
  bool Validate() override { return value != 42; }
  void Apply() override { ++applied; }
  QLineEdit* edit;
  QTabBar* bar = nullptr;
  int tabWhileRefusing = -1;
  int value = 1;
  int loads = 0;
  int applied = 0;
};
}  // namespace

void LookoutQtTest::tabSheetPagesRefuseAChangeAndLoadOncePerActivation() {
  SheetDialog dialog("Edit Service");
  auto* first = new CountingPage("General");
  auto* second = new CountingPage(QString());
  second->setWindowTitle("Logging");
  QCOMPARE(dialog.Sheet()->AddPage(first), 0);
  QCOMPARE(dialog.Sheet()->AddPage(second), 1);
  QCOMPARE(dialog.Sheet()->Bar()->tabText(1), QString("Logging"));  // no title: the window title
  QCOMPARE(first->loads, 1);
  QCOMPARE(dialog.Sheet()->PageIndex(second), 1);
  QCOMPARE(dialog.Sheet()->GetPage(5), nullptr);
  dialog.resize(420, 260);
  dialog.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dialog));
  Screenshot(&dialog, "tab-sheet.png");

  // A value out of range keeps the page and its tab, also while the page says why.
  first->bar = dialog.Sheet()->Bar();
  first->edit->setText("500");
  first->edit->setFocus();
  QTest::mouseClick(dialog.Sheet()->Bar(), Qt::LeftButton, {}, dialog.Sheet()->Bar()->tabRect(1).center());
  QCOMPARE(first->tabWhileRefusing, 0);
  QCOMPARE(dialog.Sheet()->ActiveIndex(), 0);
  QCOMPARE(dialog.Sheet()->Bar()->currentIndex(), 0);
  QCOMPARE(second->loads, 0);
  if (QApplication::focusWidget()) QCOMPARE(QApplication::focusWidget(), first->edit);
  // A good value moves on; each activation loads once.
  first->edit->setText("7");
  dialog.Sheet()->Bar()->setCurrentIndex(1);
  QCOMPARE(dialog.Sheet()->ActiveIndex(), 1);
  QCOMPARE(first->value, 7);
  QCOMPARE(second->loads, 1);
  QVERIFY(dialog.Sheet()->SetActivePage(0));
  QCOMPARE(first->loads, 2);
  // Enter in a field does not close the sheet.
  QTest::keyClick(first->edit, Qt::Key_Return);
  QVERIFY(dialog.isVisible());
  // OK: every page validates before any applies.
  second->value = 42;
  dialog.accept();
  QVERIFY(dialog.isVisible());
  QCOMPARE(first->applied, 0);
  QCOMPARE(dialog.Sheet()->ActiveIndex(), 1);
  second->edit->setText("5");
  dialog.accept();
  QVERIFY(!dialog.isVisible());
  QCOMPARE(first->applied, 1);
  QCOMPARE(second->applied, 1);
}

QTEST_MAIN(LookoutQtTest)
#include "lookout_qt_test.moc"
