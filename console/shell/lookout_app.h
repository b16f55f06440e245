#pragma once
// The console program: the application controller (settings, the protocol state and its session
// thread, the commands of the File and Tools menus) and its main window (menus, tool bar, status
// bar, the activity view and the configuration tree side by side).
//
// Threads: all of it runs on the GUI thread. The session thread's events arrive here as queued
// calls on this object (the bridge of lookout_client.h), so the mirrors are the GUI thread's own.
#include <QLabel>
#include <QMainWindow>
#include <QMap>
#include <QObject>
#include <QSettings>
#include <memory>

#include "console/shell/console_host.h"

class ActivityView;
class LookoutView;
class LookoutApp;
class QSplitter;
class EditUserDialog;
class DialerSheetDialog;
class CacheSheetDialog;
class Prompter;
class UserDialogs;
class RecipientDialogs;

// Command ids of the menus (the QAction object names are "c" + id).
enum : int {
  CMD_GO_ONLINE = 32782,
  CMD_GO_OFFLINE = 32812,
  CMD_SAVE = 32775,
  CMD_CHANGE_PASSWORD = 32813,
  CMD_ONLINE_OPTIONS = 32841,
  CMD_SHUTDOWN = 32872,
  CMD_CONFIRMATION_OPTIONS = 32888,
  CMD_ABOUT = 57664,
  CMD_EXIT = 57665,
  CMD_ALWAYS_ON_TOP = 32887,
  CMD_HELP = 57670,
  CMD_TERMINATE = 32799,
  CMD_SEND_MESSAGE = 32801,
  CMD_MACHINE_PROPERTIES = 32800,
  CMD_COPY_LOCATION = 32886,
  CMD_DELETE = 32843,
  CMD_START_SERVICE = 32839,
  CMD_STOP_SERVICE = 32840,
};

// The profile's "Settings" and "Warnings" in QSettings("Nomra Software", "Lookout").
class QtSettingsStore : public KeyValueStore {
 public:
  QtSettingsStore() : m_settings(QStringLiteral("Nomra Software"), QStringLiteral("Lookout")) {}
  std::optional<CString> Get(const CString& group, const CString& key) const override;
  void Set(const CString& group, const CString& key, const CString& value) override;
  void Sync() { m_settings.sync(); }

 private:
  mutable QSettings m_settings;
};

class MainFrame : public QMainWindow {
  Q_OBJECT

 public:
  explicit MainFrame(LookoutApp& app);
  QAction* Action(int id) const { return m_actions.value(id); }
  ActivityView* Activity() const { return m_activity; }
  LookoutView* Tree() const { return m_tree; }
  QSplitter* Splitter() const { return m_splitter; }
  void SetStatus(bool online, const QString& user, const QString& server);
  // Widens the tree's pane (taking from the activity pane, which keeps a usable width) until its
  // longest entry shows whole.
  void FitTree();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QAction* Add(QMenu* menu, int id, const QString& text, void (LookoutApp::*slot)());
  LookoutApp& m_app;
  QMap<int, QAction*> m_actions;
  ActivityView* m_activity = nullptr;
  LookoutView* m_tree = nullptr;
  QSplitter* m_splitter = nullptr;
  QLabel* m_state = nullptr;
  QLabel* m_user = nullptr;
  QLabel* m_server = nullptr;
};

class LookoutApp : public QObject, public ConsoleHost, public ConsoleUi {
  Q_OBJECT

 public:
  // Null store: the user's QSettings profile. Null dialogs: the Qt dialogs.
  LookoutApp(std::unique_ptr<KeyValueStore> store = nullptr, std::unique_ptr<ConsoleDialogs> dialogs = nullptr);
  ~LookoutApp() override;

  // Loads the settings, starts the session thread, shows the main window and (unless told not to)
  // posts Go On-line, as the program does at start. False when the session thread cannot start.
  bool Start(bool goOnline = true);
  // Saves the log-in settings and ends the session thread (waiting at most waitMs). False when the
  // thread did not end in time: the caller then leaves the process without destroying anything.
  bool Stop(int waitMs);

  MainFrame* Window() const { return m_window.get(); }

  // ConsoleHost.
  CLookoutClient& Client() override { return *m_client; }
  ConsoleDialogs& Dialogs() override { return *m_dialogs; }
  ConsoleSettings& Settings() override { return m_settings; }
  void OpenProperties(int kind, const CString& name) override;
  void NewUser() override;
  void NewGroup() override;
  void NewService(const CString& className) override;
  void OpenDialer() override;
  // The open dialer sheet, or null.
  DialerSheetDialog* DialerSheet() const;
  void OpenSystemPolicies() override;
  void OpenScheduler() override;
  void OpenAssumedUsers() override;
  // The open Edit User sheet, or null.
  EditUserDialog* UserSheet() const;
  void OpenRoot(int code) override;
  // The open cache sheet, or null.
  CacheSheetDialog* CacheSheet() const;

  // ConsoleUi (from the protocol state).
  void ViewUpdate(int category, const ViewEvent& event) override;
  void MessageBox(const CString& title, const CString& text, uint32_t style) override;
  void SetOnline(bool online, const CString& server) override;
  void Popup(int kind, const CString& title, const CString& text, const CString& address) override;
  void Command(uint32_t id) override;
  void PasswordMustChange() override;

  // Commands.
  void GoOnline();
  void GoOffline();
  void SaveChanges();
  void ChangePassword();
  void OnlineOptions();
  void ShutdownEngine();
  void ConfirmationOptions();
  void About();
  void Help();
  void Exit();
  void ToggleAlwaysOnTop();
  void Terminate();
  void SendMessage();
  void MachineProperties();
  void CopyLocation();
  void DeleteEntry();
  void StartService();
  void StopService();

  // The main window asks before it closes: false keeps it open.
  bool CanClose();
  void UpdateActions();
  // Applies the stored placement (or centres 600 x 440), clamped to the screens.
  void PlaceWindow();

 private:
  std::unique_ptr<KeyValueStore> m_store;
  std::unique_ptr<ConsoleDialogs> m_dialogs;
  ConsoleSettings m_settings;
  std::unique_ptr<CLookoutClient> m_client;
  std::unique_ptr<MainFrame> m_window;
  bool m_alwaysOnTop = false;
  // The Change Password dialog is open (a second one would only stand in its way).
  bool m_changingPassword = false;
  // The editors' message boxes (through the dialogs above) and sub-dialogs.
  std::unique_ptr<Prompter> m_prompter;
  std::unique_ptr<UserDialogs> m_userDialogs;
  std::unique_ptr<RecipientDialogs> m_recipientDialogs;
};
