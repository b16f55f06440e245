// Console requests on the dialer and the scheduler. The dialer's (60-63) are served; this engine
// has no scheduler, so its requests are refused with reply 2 instead of reply 1: the console then
// sends none of the frames the code table lists for them and waits for none. Scheduler change
// notifications are dropped as well (see ProcessOutgoingMessage), since there is no object to
// fill their frames.
#include "engine/dialer/dialer.h"
#include "engine/remote/frame.h"
#include "engine/remote/rc_service.h"

namespace {
constexpr const char* kDialerKey = "Dialer";
}

bool CRemoteControlSession::ServesDialerOrSchedulerRequest(uint16_t code) {
  switch (code) {
    case RC_REQ_GET_DIALER:
    case RC_REQ_UPLOAD_DIALER:
    case RC_REQ_MODIFY_DIALER:
    case RC_REQ_DIAL_OR_HANG_UP: return TheEngine()->GetDialer() != nullptr;
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
