// Console requests on the dialer and the scheduler. This engine has neither, so their requests are
// refused with reply 2 instead of reply 1: the console then sends none of the frames the code
// table lists for them and waits for none. Their change notifications are dropped as well (see
// ProcessOutgoingMessage), since there is no object to fill their frames.
#include "engine/remote/rc_service.h"

bool CRemoteControlSession::ServesDialerOrSchedulerRequest(uint16_t /*code*/) { return false; }
