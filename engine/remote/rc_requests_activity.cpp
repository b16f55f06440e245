// Console requests on machines, sessions and activity: the activity list, ending sessions,
// registering for notifications, and messages and signals to other consoles.
#include "engine/config/util.h"
#include "engine/core/machine.h"
#include "engine/remote/rc_service.h"

namespace {

// A session number as the console writes it: decimal digits only, no sign, fits 32 bits.
bool ParseDecimal(const CString& text, uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

bool TerminateMachine(CMachineMap& machines, const CString& address) {
  auto machine = machines.Find(address);
  if (!machine) return false;
  machine->TerminateAllSessions(kSessionExitIdle);
  return true;
}

bool TerminateSession(CMachineMap& machines, const CString& address, const CString& number) {
  auto machine = machines.Find(address);
  uint32_t value = 0;
  if (!machine || !ParseDecimal(number, &value)) return false;
  auto session = machine->FindSession(value);
  if (!session) return false;
  session->Terminate(kSessionExitIdle);
  return true;
}

// The activity list is queued to this console alone, as the notifications a registered console
// receives when machines and sessions appear.
void QueueActivity(CRemoteControlSession& console, CMachineMap& machines) {
  for (const auto& machine : machines.Snapshot()) {
    const CString address = machine->GetAddress();
    console.QueueNotification(RC_NOTIFY_MACHINE_ADDED, address, machine->GetUserName(),
                              FormatString("%u", machine->GetSecurityLevel()));
    for (const auto& session : machine->GetSessions())
      console.QueueNotification(RC_NOTIFY_SESSION_ADDED, address, FormatString("%u", session->GetSessionNumber()),
                                session->GetDescription());
  }
}

}  // namespace

bool CRemoteControlSession::ActivityRequest(const CTLRCPMessage& message) {
  auto engine = TheEngine();
  const CString& t1 = message.m_text1;
  switch (message.m_code) {
    case RC_REQ_GET_ACTIVITY:
      QueueActivity(*this, engine->GetMachineMap());
      return true;
    case RC_REQ_TERMINATE_MACHINE: return TerminateMachine(engine->GetMachineMap(), t1);
    case RC_REQ_TERMINATE_SESSION: return TerminateSession(engine->GetMachineMap(), t1, message.m_text2);
    // The five registrations are one: the console receives every notification from now on.
    case RC_REQ_REGISTER_ALL:
    case RC_REQ_REGISTER_ALERTS:
    case RC_REQ_REGISTER_MESSAGES:
    case RC_REQ_REGISTER_ACTIVITY:
    case RC_REQ_REGISTER_DIALER:
      engine->AddMonitor(SelfPtr());
      return true;
    // Every console at the address hears it, whether or not it registered for notifications.
    case RC_REQ_SEND_MESSAGE:
      engine->NotifyConsolesAtAddress(t1, RC_NOTIFY_CONSOLE_MESSAGE, GetClientAddress(), GetUserName(),
                                      message.m_text2);
      return true;
    case RC_REQ_SEND_SIGNAL:
      engine->NotifyConsolesAtAddress(t1, RC_NOTIFY_CONSOLE_SIGNAL, GetClientAddress(), GetUserName(), CString());
      return true;
    default: return false;
  }
}
