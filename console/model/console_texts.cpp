#include "console/model/console_texts.h"

#include "engine/net/socket_exception.h"
#include "engine/remote/link.h"

namespace {
constexpr const char* kProblem = "There was a problem connecting to the server.\n";
}

CString ConnectErrorText(uint32_t code, const CString& exceptionText) {
  // The exception's text is pasted in, never used as a format: it may come from the network.
  switch (code) {
    case WSAECONNREFUSED:
      return CString(kProblem) + "Connection refused by server.  Check your\nserver name and port number";
    case LINK_NO_RESPONSE:
      return CString(kProblem) +
             "No data was received from the server during\nauthentication.  Check the spelling of your username.";
    case LINK_PROTOCOL_ERROR: return CString(kProblem) + "A protocol error occured:\n" + exceptionText;
    case LINK_WRONG_VERSION:
      return CString(kProblem) +
             "Wrong protocol version.  Make sure you are\nusing compatible versions of\nTrellis and Lookout";
    case 103: return CString();
    case 104: return CString(kProblem) + "Failed authentication. Check your username and password\n";
    case LINK_WRONG_USERNAME: return CString(kProblem) + "Wrong username given";
    case LINK_NO_USERNAME: return CString(kProblem) + "No username given";
    case LINK_NO_SUCH_USER:
      return CString(kProblem) +
             "No such user - you tried to log in as a user that does not exist\n(note - usernames are case sensitive)";
    case LINK_BAD_PASSWORD:
      return CString(kProblem) + "Bad password - recheck your password\n(note - passwords are case sensitive)";
    case LINK_WRONG_CLIENT_TYPE:
      return CString(kProblem) + "Wrong client type - you can only connect to\na Trellis remote Control Service";
    default: return "There was a problem connecting\nSocket error: " + exceptionText;
  }
}

CString DeleteConfirmationText(const CString& kind, const CString& name) {
  return "You are about to delete the " + kind + " " + name + "\ndo you wish to delete this " + kind + " anyway?";
}

CString WindowTitle(bool online, const CString& server) {
  return online ? "Nomra Lookout - Online to " + server : CString(kTitleOffline);
}
