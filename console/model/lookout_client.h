#pragma once
// The console's side of the remote-control protocol that lives on the user-interface thread: the
// log-in values, the on-line state, the mirrors of the engine's configuration and of its client
// machines, and what every reply and notification does to them and to the views.
//
// Threads: everything here runs on the user-interface thread (the thread that calls Start and that
// the post function of the constructor runs closures on). The session thread (lookout_session.h)
// only moves frames; its events come here through that post function, so the mirrors are this
// thread's alone and the views read them without locks. Views and dialogs are told through
// ConsoleUi with names and values, never with pointers into the mirrors.
//
// No toolkit: the Qt program implements ConsoleUi and the post function; the tests use recording
// fakes and a queue they pump.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "console/model/lookout_session.h"
#include "engine/access/location.h"
#include "engine/access/right.h"
#include "engine/access/user_db.h"
#include "engine/config/lockable.h"
#include "engine/core/machine_record.h"
#include "engine/core/service_settings.h"
#include "engine/dialer/dialer_settings.h"
#include "engine/proxy/www/www_cache_settings.h"
#include "engine/scheduler/scheduler_settings.h"

// Who a view update is for.
enum : int {
  VIEW_TREE = 0,         // configuration tree view
  VIEW_ACTIVITY = 1,     // activity view
  VIEW_TREE_UPDATE = 2,  // configuration tree view
  VIEW_BOTH = 3,         // activity view, then configuration tree view
  VIEW_USER_SHEET = 5,   // the open Edit User sheet, when it shows that user
  VIEW_DIALER = 6,       // the open dialer sheet
  VIEW_CACHE = 7,        // the open cache sheet
};

// A view update's code for "clear everything".
inline constexpr uint16_t kViewClear = 4;

struct SessionView {
  CString address;
  uint32_t number = 0;
  CString description;
  CString userName;
  uint32_t level = 0;  // the machine's security level
};

// A view update: the code (a notification's or a completed get's), and the values it is about.
struct ViewEvent {
  uint16_t code = 0;
  CString name;               // user, group or service name; a machine's address
  uint32_t runningState = 0;  // 35
  CMachineRecord machine;     // 71, 72, 73
  SessionView session;        // 74, 75, 76
  CString text;               // 63: the profile's status line (name: the profile, runningState: its state)
};

class ConsoleUi {
 public:
  virtual ~ConsoleUi() = default;
  virtual void ViewUpdate(int category, const ViewEvent& event) = 0;
  // style: MB_STOP or MB_EXCLAMATION (console_texts.h).
  virtual void MessageBox(const CString& title, const CString& text, uint32_t style) = 0;
  virtual void SetOnline(bool online, const CString& server) = 0;
  // kind 0 message box, 2 a received message (reply address given), 3 a new message to address.
  virtual void Popup(int kind, const CString& title, const CString& text, const CString& address) = 0;
  // A command the session asks the user interface to run (32813: Change Password).
  virtual void Command(uint32_t id) = 0;
  // The engine's log-in waits for a new password (120): the command and its notice. The console
  // program shows them one after the other (the notice first), never two windows at once.
  virtual void PasswordMustChange();
};

inline constexpr uint32_t kCommandChangePassword = 32813;

struct SessionMirror {
  uint32_t number = 0;
  CString description;
  CString userName;
  uint32_t level = 0;
};

struct MachineMirror {
  CMachineRecord record;
  std::map<uint32_t, SessionMirror> sessions;
};

// The console's copies of the engine's configuration and activity.
struct ConsoleMirrors {
  ConsoleMirrors();
  void Clear();

  std::shared_ptr<CGroupMemberDatabase> users;
  std::shared_ptr<CLockableMap> interfaces;     // CInterface by name
  std::shared_ptr<CLockableMap> services;       // CServiceSettings by name
  std::vector<std::shared_ptr<CRight>> rights;  // 13 once fetched, else empty
  std::shared_ptr<CLocationArray> locations;
  std::shared_ptr<CLockableStringMap> machineNames;
  std::shared_ptr<CWWWCacheSettings> cache;  // null until fetched
  std::shared_ptr<CDialerSettings> dialer;   // null until fetched
  // Null until fetched; replaced whole by each get and notification, never changed in place, so
  // an editor that looks it up again at OK sees either the old or the new one.
  std::shared_ptr<CSchedulerSettings> scheduler;
  std::map<CString, MachineMirror> machines;
};

class CLookoutClient {
 public:
  // Runs a closure on the user-interface thread, from any thread, in posting order.
  using PostFn = std::function<void(std::function<void()>)>;

  CLookoutClient(ConsoleUi& ui, PostFn post);
  ~CLookoutClient();
  CLookoutClient(const CLookoutClient&) = delete;
  CLookoutClient& operator=(const CLookoutClient&) = delete;

  // Starts the session thread. False when it could not be started.
  bool Start();
  // Asks the session thread to end, cancelling a connect in progress, and waits at most waitMs.
  // False when it has not ended in time (the caller then leaves the process without destroying).
  bool Stop(int waitMs);

  // ---- Log-in values and state --------------------------------------------------------------
  ConnectParams& Login() { return m_login; }
  const ConnectParams& Login() const { return m_login; }
  bool IsOnline() const { return m_online; }
  bool IsConnecting() const { return m_connecting; }
  // The engine has completed the log-in (message 5).
  bool IsLoggedIn() const { return m_loggedIn; }
  // The engine's log-in waits for this account's new password (message 120, until 5).
  bool MustChangePassword() const { return m_mustChangePassword; }
  bool CredentialsAccepted() const { return m_credentialsAccepted; }
  bool ConfigurationChanged() const { return m_configChanged; }
  void SetConfigurationChanged(bool value) { m_configChanged = value; }

  // ---- Commands -------------------------------------------------------------------------------
  void GoOnline();
  void GoOffline();
  // One request with its texts; requests that change the engine's configuration set the
  // configuration-changed flag (12 clears it). Returns the request's id, 0 when not queued.
  uint64_t Request(uint16_t code, const CString& text1 = CString(), const CString& text2 = CString(),
                   const CString& text3 = CString());
  // A request with one object sent after the go-ahead: serialised now (a snapshot), bare or
  // class-tagged (32).
  uint64_t QueueObject(uint16_t code, const CString& name, CObject& object, bool tagged = false);
  // The same with several objects, each a bare frame, in order (42: the thirteen rights).
  uint64_t QueueObjects(uint16_t code, const CString& name, const std::vector<CObject*>& objects);
  // Request 120 for the logged-in user. The log-in password becomes the new one once the engine
  // has done it, and goes back when the engine then refuses it.
  uint64_t ChangePassword(const CString& oldPassword, const CString& newPassword);

  // ---- What the views read --------------------------------------------------------------------
  const ConsoleMirrors& Mirrors() const { return m_mirrors; }

  // ---- What the editors commit ----------------------------------------------------------------
  // An editor's finished copy of a user or group replaces the mirror's entry of its name (or
  // joins the mirror), and the views hear of it as of the notification `code` (22/24/25/27).
  // False when the mirror refused it (a name unfit for a key, or held by the other kind).
  bool CommitUserObject(std::shared_ptr<CFilterComponent> obj, uint16_t code);
  // The same for a service (32/34).
  bool CommitService(std::shared_ptr<CServiceSettings> service, uint16_t code);
  // An editor's finished copy of the dialer replaces the mirror's (the open dialer sheet hears of
  // it as of notification 62). False for a null one.
  bool CommitDialer(std::shared_ptr<CDialerSettings> dialer);
  // The cache sheet's applied copy replaces the cache mirror. The open sheet is not told: it is
  // the one that applied, and the engine's notification 131 follows on-line.
  void CommitCache(std::shared_ptr<CWWWCacheSettings> cache);
  // An editor's finished copies of the engine's rights (all 13, in code order) replace the mirror's.
  // False (nothing replaced) for another count or a missing right.
  bool CommitRights(std::vector<std::shared_ptr<CRight>> rights);
  // The scheduler sheet's finished copy replaces the mirror's scheduler; the views hear of it as
  // of notification 151. False for null.
  bool CommitScheduler(std::shared_ptr<CSchedulerSettings> scheduler);
  // The Assumed users sheet's result replaces both mirrors and, on-line, goes to the engine (51:
  // the location table, then the machine-name map). Returns the request's id, 0 when not sent.
  uint64_t PutAssumptions(std::shared_ptr<CLocationArray> locations, std::shared_ptr<CLockableStringMap> names);
  // For tests that fill the mirrors without an engine.
  ConsoleMirrors& EditMirrors() { return m_mirrors; }
  // Requests queued and not yet answered.
  size_t OutstandingRequests() const { return m_outstanding; }
  // Every frame or object that could not be read since start (the message was skipped whole).
  size_t LoadFailures() const { return m_loadFailures; }

  // For tests: the session thread.
  CLookoutSession* Session() { return m_session.get(); }

  // Applies one event of the session thread (normally through the post function).
  void HandleEvent(const SessionEvent& event);

 private:
  class Sink;
  void OnConnected(const CString& server);
  void OnConnectFailed(uint32_t code, const CString& text);
  void OnLost(const SessionEvent& event);
  void OnMessage(const CTLRCPMessage& message, const std::vector<FramePayload>& frames);
  void OnTransactionDone(const SessionEvent& event);
  void ApplyGet(uint16_t code, const std::vector<FramePayload>& frames);
  void GoneOffline();
  void NotifyViews(int category, const ViewEvent& event);
  void NotifyViews(int category, uint16_t code, const CString& name = CString());

  ConsoleUi& m_ui;
  PostFn m_post;
  std::shared_ptr<CLookoutClient*> m_alive;
  std::shared_ptr<CLookoutSession> m_session;

  ConnectParams m_login;
  bool m_online = false;
  bool m_connecting = false;
  bool m_loggedIn = false;
  bool m_mustChangePassword = false;
  bool m_credentialsAccepted = false;
  bool m_configChanged = false;

  // Password change in flight: the request's id and the new password; after it was done, the old
  // one, until a refusal brings it back or the next log-in confirms the new one.
  uint64_t m_passwordRequest = 0;
  CString m_newPassword;
  bool m_passwordRevertible = false;
  CString m_oldPassword;

  ConsoleMirrors m_mirrors;
  size_t m_loadFailures = 0;
  size_t m_outstanding = 0;
};

// The requests a completed log-in queues, in their order.
const std::vector<uint16_t>& FirstRequests();
// Whether a request changes the engine's configuration.
bool RequestChangesConfiguration(uint16_t code);
// Whether a refusal of the request is silent (the gets).
bool RefusalIsSilent(uint16_t code);
