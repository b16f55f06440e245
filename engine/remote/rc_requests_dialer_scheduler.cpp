// Console requests on the dialer (60-63) and the scheduler (150-152).
#include <cerrno>
#include <cstdlib>

#include "engine/dialer/dialer.h"
#include "engine/remote/frame.h"
#include "engine/remote/rc_service.h"
#include "engine/scheduler/scheduler.h"

namespace {
constexpr const char* kDialerKey = "Dialer";
constexpr const char* kSchedulerKey = "Scheduler";

// An event id as the console writes it: decimal digits only, within 32 bits.
bool ParseEventId(const CString& text, uint32_t* id) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > 0xFFFFFFFFull) return false;
  *id = static_cast<uint32_t>(v);
  return true;
}
}  // namespace

bool CRemoteControlSession::ServesDialerOrSchedulerRequest(uint16_t code) {
  switch (code) {
    case RC_REQ_GET_DIALER:
    case RC_REQ_UPLOAD_DIALER:
    case RC_REQ_MODIFY_DIALER:
    case RC_REQ_DIAL_OR_HANG_UP: return TheEngine()->GetDialer() != nullptr;
    case RC_REQ_GET_SCHEDULER:
    case RC_REQ_UPDATE_SCHEDULER:
    case RC_REQ_RUN_SCHEDULE_EVENT: return TheEngine()->GetScheduler() != nullptr;
    default: return false;
  }
}

bool CRemoteControlSession::DialerRequest(const CTLRCPMessage& message) {
  auto dialer = TheEngine()->GetDialer();
  if (!dialer) return false;
  switch (message.m_code) {
    case RC_REQ_GET_DIALER:
      dialer->RefreshPhonebookEntries();
      SendObject(m_clientSocket, *dialer);
      return true;
    case RC_REQ_UPLOAD_DIALER:
    case RC_REQ_MODIFY_DIALER: {
      std::vector<uint8_t> payload = ReceiveFramePayload(m_clientSocket);
      {
        // Checked whole on a scratch dialer first; only a complete, valid form reaches the live one.
        CDialerSettings scratch;
        LoadBareFrame(payload, scratch);
      }
      // Profiles still named are updated in place, so a dial running on one goes on with it; a
      // profile no longer named is hung up and removed.
      LoadBareFrame(payload, *dialer);
      // The phonebook is the engine's own, whatever list the console held; the log follows the
      // new logging settings.
      dialer->RefreshPhonebookEntries();
      dialer->OpenLogFile();
      return dialer->Save(kDialerKey);
    }
    case RC_REQ_DIAL_OR_HANG_UP:
      // Hanging up is carried out as the profile's reset. A name no profile has changes nothing.
      if (message.m_text2 == "1" || message.m_text2 == "0")
        dialer->PostCommand(message.m_text1, message.m_text2 == "1");
      return true;
    default: return false;
  }
}

bool CRemoteControlSession::SchedulerRequest(const CTLRCPMessage& message) {
  auto scheduler = TheEngine()->GetScheduler();
  if (!scheduler) return false;
  switch (message.m_code) {
    case RC_REQ_GET_SCHEDULER: SendObject(m_clientSocket, static_cast<CSchedulerSettings&>(*scheduler)); return true;
    case RC_REQ_UPDATE_SCHEDULER: {
      std::vector<uint8_t> payload = ReceiveFramePayload(m_clientSocket);
      {
        // Checked whole on scratch settings first; only a complete, valid form reaches the live
        // scheduler, whose events are then replaced between two minute passes.
        CSchedulerSettings scratch;
        LoadBareFrame(payload, scratch);
      }
      LoadBareFrame(payload, static_cast<CSchedulerSettings&>(*scheduler));
      scheduler->OpenLogFile();
      scheduler->Log(SCHED_LOG_CONFIG, "%s", "");
      return scheduler->Save(kSchedulerKey);
    }
    case RC_REQ_RUN_SCHEDULE_EVENT: {
      uint32_t id = 0;
      // An id no event has runs nothing; the request is still answered as done.
      if (ParseEventId(message.m_text1, &id)) scheduler->ForceEvent(id);
      return true;
    }
    default: return false;
  }
}
