#pragma once
// What the console's Qt tests share besides console_harness.h: the console program's dialogs
// answered in advance, an in-memory settings store, finding a control by its id, clicks, waits,
// and the screenshots the Xvfb runs save. Everything runs on the test's (GUI) thread.
#include <QAbstractItemView>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QMessageBox>
#include <QPoint>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QString>
#include <QTabBar>
#include <QTimer>
#include <QToolButton>
#include <QWidget>
#include <QtTest/QtTest>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/dialogs/common/controls_qt.h"
#include "console/dialogs/common/editor_qt.h"
#include "console/model/console_dialogs.h"
#include "console/model/console_settings.h"
#include "console/shell/lookout_app.h"
#include "console/shell/lookout_view.h"
#include "tests/console/console_harness.h"

namespace trellis::test {

// The console program's own settings, kept in memory so no test reads or writes a profile.
struct MemoryStore : KeyValueStore {
  std::optional<CString> Get(const CString& g, const CString& k) const override {
    auto it = values.find(g + "/" + k);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
  void Set(const CString& g, const CString& k, const CString& v) override { values[g + "/" + k] = v; }
  std::map<CString, CString> values;
};

// Settings that point the console program at the engine's remote-control port on loopback.
inline std::unique_ptr<MemoryStore> EngineSettings(uint16_t rcPort) {
  auto store = std::make_unique<MemoryStore>();
  store->Set("Settings", "TrellisServer", "127.0.0.1");
  store->Set("Settings", "TrellisPort", std::to_string(rcPort));
  return store;
}

// Over the dialogs of Base (the bare interface, or the console's real Qt dialogs): every question
// answered `yes` and kept in `asked`, every box kept in `shown`, each as "title: text".
template <class Base>
struct RecordedAnswers : Base {
  using Base::Base;
  bool AskYesNo(const CString& title, const CString& text, uint32_t) override {
    asked.push_back(title + ": " + text);
    return yes;
  }
  bool AskOkCancel(const CString& title, const CString& text) override {
    asked.push_back(title + ": " + text);
    return yes;
  }
  void Inform(const CString& title, const CString& text, uint32_t) override { shown.push_back(title + ": " + text); }
  void ShowMessage(const CString& title, const CString& text, uint32_t) override {
    shown.push_back(title + ": " + text);
  }

  bool yes = true;
  std::vector<CString> asked, shown;
};

// The On-line Options as answered at a fresh engine's first log-in: the empty password offered.
inline bool AnswerWithEmptyPassword(ConnectParams& params, const std::function<bool(ConnectParams&)>& accept) {
  ConnectParams p = params;
  p.password.clear();
  if (!accept(p)) return false;
  params = p;
  return true;
}

// The console program's dialogs as an operator answers them at a fresh engine's first log-in: the
// empty password offered, then changed to `newPassword` when the engine asks for it; every
// question answered Yes; the dialogs the tests do not drive are declined.
struct FirstLoginDialogs : RecordedAnswers<ConsoleDialogs> {
  explicit FirstLoginDialogs(CString newPw = "pw") : newPassword(std::move(newPw)) {}
  bool OnlineOptions(ConnectParams& params, const std::function<bool(ConnectParams&)>& accept) override {
    return AnswerWithEmptyPassword(params, accept);
  }
  bool ChangePassword(bool, CString* oldPassword, CString* newPw) override {
    oldPassword->clear();
    *newPw = newPassword;
    return true;
  }
  bool WriteMessage(const CString&, CString*) override { return false; }
  void ShowReceivedMessage(const CString&, const CString&, const CString&,
                           const std::function<void(const CString&)>&) override {}
  bool ConfirmationOptions(ConsoleWarnings&) override { return false; }
  void MachineProperties(const CMachineRecord&) override {}
  void About() override {}
  bool OpenHelp() override { return false; }

  CString newPassword;
};

// Every dialog a test opens starts with the keyboard on one of its fields (an edit, a choice, a box
// to tick), never on a button, a list or the tab bar (an operator who types at once must reach a
// field): checked as each dialog first shows,
// failing the test that opened it. Message boxes keep the focus on their default answer.
class FirstFieldCheck : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* d = qobject_cast<QDialog*>(watched);
    if (event->type() != QEvent::Show || !d || qobject_cast<QMessageBox*>(d) || d->property("fieldChecked").toBool())
      return false;
    d->setProperty("fieldChecked", true);
    // The console's own filter has run (InstallFirstFieldCheck puts it in front of this one).
    bool hasField = false;
    for (QWidget* w : d->findChildren<QWidget*>())
      if ((w->focusPolicy() & Qt::TabFocus) && w->isEnabled() && w->isVisibleTo(d) && IsFieldWidget(w)) hasField = true;
    QWidget* focus = d->focusWidget();
    [&] {
      QVERIFY2(!hasField || (focus && IsFieldWidget(focus)),
               qPrintable(QString("dialog '%1' opens with the focus on %2")
                              .arg(d->windowTitle(),
                                   focus ? focus->objectName() + " (" + focus->metaObject()->className() + ")"
                                         : QString("nothing"))));
    }();
    return false;
  }
  static bool IsFieldWidget(const QWidget* w) {
    return !qobject_cast<const QPushButton*>(w) && !qobject_cast<const QToolButton*>(w) &&
           !qobject_cast<const QTabBar*>(w) && !qobject_cast<const QScrollBar*>(w) &&
           !qobject_cast<const QAbstractItemView*>(w);
  }
};
inline void InstallFirstFieldCheck() {
  static bool installed = false;
  if (installed || !QCoreApplication::instance()) return;
  installed = true;
  QCoreApplication::instance()->installEventFilter(new FirstFieldCheck(QCoreApplication::instance()));
  InstallDialogKeyboard();
}
Q_COREAPP_STARTUP_FUNCTION(InstallFirstFieldCheck)

// Keeps the event loop running until pred holds; false when ms ran out first.
inline bool WaitUntil(const std::function<bool()>& pred, int ms = 15000) { return QTest::qWaitFor(pred, ms); }

// Starts the console program online, shows its window and waits until it is logged in and the
// tree root `root` (its request code) arrived with every get answered. Empty when all went
// through, else the step that did not.
inline std::string BringOnline(LookoutApp& app, uint16_t root) {
  if (!app.Start(true)) return "the console program did not start";
  app.Window()->show();
  if (!WaitUntil([&] { return app.Client().IsLoggedIn(); })) return "the log-in did not finish";
  if (!WaitUntil([&] { return app.Window()->Tree()->Root(root) && app.Client().OutstandingRequests() == 0; }))
    return "the tree root did not arrive";
  return {};
}

// The control of that id under root, as W, or null.
template <class W = QWidget>
W* Ctl(QWidget* root, int id) {
  return qobject_cast<W*>(FindControl(root, id));
}

// A click on a check box or radio's indicator.
inline void Click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(6, w->height() / 2)); }
// A click in the middle of a button.
inline void Press(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); }

// Every tab of every sheet in w shows whole: the sheet is as wide as its tab row, so none hides
// behind the tab bar's scroll arrows. And its OK and Cancel are the console's one row of plain
// buttons (controls_qt.h), never a button box, whose buttons carry icons in some styles.
inline void CheckEveryTabShows(QWidget* w) {
  QVERIFY2(w->findChildren<QDialogButtonBox*>().isEmpty(), qPrintable(w->windowTitle() + ": a button box"));
  for (QTabBar* bar : w->findChildren<QTabBar*>())
    if (bar->isVisible())
      QVERIFY2(bar->width() >= bar->sizeHint().width(), qPrintable(QString("%1: tab row %2 px wide, %3 px shown")
                                                                       .arg(w->windowTitle())
                                                                       .arg(bar->sizeHint().width())
                                                                       .arg(bar->width())));
}

// With LOOKOUT_SCREENSHOTS set to a folder, saves the widget there as name (a PNG file). Whether
// saved or not, it must look like the rest of the console (CheckEveryTabShows).
inline void Screenshot(QWidget* w, const QString& name) {
  CheckEveryTabShows(w);
  const QByteArray dir = qgetenv("LOOKOUT_SCREENSHOTS");
  if (dir.isEmpty()) return;
  QDir().mkpath(QString::fromLocal8Bit(dir));
  QVERIFY(w->grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(name)));
}

}  // namespace trellis::test
