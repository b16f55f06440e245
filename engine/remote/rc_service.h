#pragma once
// The remote-control service (the consoles' TCP service, port 808 on 127.0.0.1 by default) and its
// sessions: one thread per console, which logs the console in over the enciphered link, answers
// its requests frame by frame and sends it the engine's notifications once it registers.
//
// Identity: the console's user and level 2 belong to the console's session only. The machine record
// of the console's address keeps the user and level the engine assumes for it, so proxy sessions
// from the same address never run as the console's user.
//
// Uploads are parsed completely into new objects first; only a complete, valid upload is applied,
// as a diff and through the same paths as the single-object requests, keeping the engine's runtime
// state (running services and their listeners, traffic counters). A replaced service is a new
// object swapped in under the manager's lock and started in place of the old one.
//
// Notifications are queued from any thread (QueueNotification) and sent only by the session's own
// thread, between requests, so frames never interleave. The objects a notification carries are
// looked up when it is sent; one whose object has gone is dropped. Passwords never leave the engine.
// A console that lets more than kMaxQueuedNotifications pile up is disconnected.
//
// Strangers: a connection holds a place of the service's CConsoleGate from its accept on, a
// waiting one until its log-in succeeds (then a console's) or it ends; a connection the gate has
// no place for is closed at once. Failed log-ins wait as long as the gate says, the event log
// hears of an address that keeps failing, and the lines of connections that never logged in are
// written as far as the gate's line budget for their address goes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "engine/remote/console_gate.h"
#include "engine/remote/rc_codes.h"
#include "engine/remote/rc_message.h"
#include "engine/core/engine.h"
#include "engine/core/service.h"
#include "engine/remote/rc_service_settings.h"
#include "engine/core/session.h"

class CRemoteControlService final : public TRunningService<CRemoteControlServiceSettings, CTCPService> {
 public:
  // Logged-in consoles served at once; a further log-in is closed at once (each console is a
  // thread). Connections still logging in have places of their own (CConsoleGate).
  static constexpr size_t kMaxConsoles = CConsoleGate::kMaxConsoles;

  CRemoteControlService();
  ~CRemoteControlService() override;

  // While Administrator's password is empty (or the list option has no binding), the service
  // listens on 127.0.0.1 only; it is always enabled and reuses its address.
  void ValidateBindings(CSysInfo& info) override;
  std::shared_ptr<CTCPSession> CreateSession(int handle) override;

  CConsoleGate& GetGate() { return *m_gate; }

 private:
  // Held by the sessions as well: a session may outlive a replaced service object.
  std::shared_ptr<CConsoleGate> m_gate = std::make_shared<CConsoleGate>();
};

class CRemoteControlSession : public CTCPSession, public CEngineMonitor {
  TL_DECLARE_DYNAMIC(CRemoteControlSession)

 public:
  static constexpr size_t kMaxQueuedNotifications = 4096;

  // gate: where the connection from gateAddress holds its waiting place (none without a gate).
  CRemoteControlSession(std::shared_ptr<CService> service, int acceptedHandle,
                        std::shared_ptr<CConsoleGate> gate = nullptr, CString gateAddress = CString());
  ~CRemoteControlSession() override;

  uint32_t GetAuthenticatedLevel() const override { return kLevelAuthenticated; }
  bool IsLoggedIn() const { return m_loggedIn.load(); }

  // CEngineMonitor: queues the message to this session's thread (false once it has ended, or when
  // the queue is full, which ends the session).
  bool QueueNotification(uint32_t code, const CString& text1, const CString& text2, const CString& text3) override;
  CString GetMonitorAddress() const override { return GetClientAddress(); }

  // The rights decision of a request (login state, account, the code's right, built-in names).
  bool HasRights(const CTLRCPMessage& message);

 protected:
  bool InitInstance() override;
  void OnMessage(platform::Message& msg) override;
  void OnRead(platform::Message& msg) override;
  void OnClose(platform::Message& msg) override;
  void OnStart() override;
  void OnEnd() override;
  // "Access Denied" goes out at once, before the connection closes.
  void SendAccessDenied() override;

 private:
  void CheckLogin();
  // A failed log-in: counted against the address, reported once when it keeps failing, and
  // waited for as the gate says, in short steps so that an engine stop is not held up.
  void WaitAfterFailedLogin();
  // Whether the lines of this connection, which did not log in, are written (the gate's budget).
  bool KeepStrangerLines();
  // Gives the gate back this connection's place (once).
  void ReleasePlace();
  void HandleRequest(CTLRCPMessage& message);
  // Carries out one accepted request. False: reply 4. An exception: reply 4 too, unless the stream
  // is out of step (then the session ends).
  bool ProcessIncomingMessage(CTLRCPMessage& message);
  void AuditCommand(const CTLRCPMessage& message, bool ok);
  void ProcessOutgoingMessage(const CTLRCPMessage& message);
  bool HasSystemRight(int32_t code);
  // This console's user as the rights see it: authenticated, from the console's address.
  AccessRequest ConsoleAccessRequest();
  bool IsOwnCommand(const CTLRCPMessage& message) const;
  void Reply(uint16_t code, const CString& text1 = CString());
  void SendNow(uint16_t code, const CString& text1 = CString(), const CString& text2 = CString(),
               const CString& text3 = CString());

  // Whether a request of a feature this engine may lack (the table's "optional") is served now.
  bool ServesOptionalRequest(uint16_t code);

  // The request handlers, one per family of codes, each in a file of its own (each false for
  // reply 4; a code of another family is false too).
  bool SystemRequest(const CTLRCPMessage& message);    // rc_requests_system.cpp
  bool UserRequest(const CTLRCPMessage& message);      // rc_requests_users.cpp
  bool ServiceRequest(const CTLRCPMessage& message);   // rc_requests_services.cpp
  bool RightsRequest(const CTLRCPMessage& message);    // rc_requests_rights.cpp
  bool ActivityRequest(const CTLRCPMessage& message);  // rc_requests_activity.cpp
  bool CacheRequest(const CTLRCPMessage& message);     // rc_requests_cache.cpp
  bool DialerRequest(const CTLRCPMessage& message);    // rc_requests_dialer_scheduler.cpp
  bool SchedulerRequest(const CTLRCPMessage& message);  // rc_requests_dialer_scheduler.cpp
  static bool IsCacheRequest(uint16_t code);           // rc_requests_cache.cpp
  static bool ServesDialerOrSchedulerRequest(uint16_t code);  // rc_requests_dialer_scheduler.cpp

  enum Place : int { PLACE_NONE, PLACE_WAITING, PLACE_CONSOLE };
  std::shared_ptr<CConsoleGate> m_gate;
  const CString m_gateAddress;
  std::atomic<int> m_place{PLACE_NONE};
  std::atomic<bool> m_loggedIn{false};
  std::atomic<size_t> m_queued{0};
  bool m_shutdownRequested = false;
};
