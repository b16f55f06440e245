#pragma once
// The texts the console shows, in one place: two places that show one text use one constant.
#include <cstdint>

#include "engine/config/archive.h"

// Message-box styles of the session's records.
enum : uint32_t {
  MB_STOP = 16,         // stop icon (critical)
  MB_EXCLAMATION = 48,  // exclamation icon (warning)
};

inline constexpr const char* kTitleConnectProblem = "Problem connecting to server";
inline constexpr const char* kTitleAuthentication = "Trellis Authentication";
inline constexpr const char* kTextAccessDenied = "Access denied.";
inline constexpr const char* kTitleServerError = "Server Error";
inline constexpr const char* kTextServerError =
    "There was an internal error in Trellis.\nYou should check your system settings";
inline constexpr const char* kTitleLookout = "Lookout";
inline constexpr const char* kTextConnectionTerminated = "Connection with server terminated";
inline constexpr const char* kTextMustChangePassword =
    "You must change your password.\nUntil then you have no rights on this system";
inline constexpr const char* kTextPasswordsDiffer =
    "Passwords do not match\n\nMake sure you specify the same\npassword and confirmed password";
inline constexpr const char* kTextForcedPasswordEmpty =
    "You must change your password.\n\nThe new password cannot be empty.";
inline constexpr const char* kTextForcedPasswordSame =
    "You must change your password.\n\nThe new password must differ from the old one.";
inline constexpr const char* kTitleOnline = "Nomra Lookout - Online to %s";
inline constexpr const char* kTitleOffline = "Nomra Lookout - Off-line";

inline constexpr const char* kTextNoPassword =
    "You have not specified a password\ndo you want to continue without a password?";
inline constexpr const char* kTextNotRunning =
    "Trellis is not running on this machine.\nYou must start the Trellis Engine before\nyou can log on";
inline constexpr const char* kTextNoSuchLocalUser =
    "There is no such Trellis user account on this machine.\nPlease check the spelling of your username";

inline constexpr const char* kTitleConfigurationChanged = "Configuration changed";
inline constexpr const char* kTextGoOfflineChanged =
    "You have made configuration changes.  If\nyou log off now, your changes will be retained\nin Trellis until it "
    "is restarted, at which\npoint you may lose them\n\nDo you want to log off without saving changes?.";
inline constexpr const char* kTextShutdownChanged =
    "You have made configuration changes\nthese will be lost if you shut down\ndo you want to continue without "
    "saving changes?";

inline constexpr const char* kTitleConfirmDeletion = "Confirm deletion";
inline constexpr const char* kTitleConfirmTermination = "Confirm termination";
inline constexpr const char* kTextConfirmTermination =
    "This will terminate the current selected activity\nwhich may result in data loss for the user.\n\nDo you wish "
    "to continue?";

// The text of a failed connect or log-in, by the failure's code (socket error or handshake code).
CString ConnectErrorText(uint32_t code, const CString& exceptionText);
// "You are about to delete the <kind> <name>\ndo you wish to delete this <kind> anyway?"
CString DeleteConfirmationText(const CString& kind, const CString& name);
// The window title for the on-line state.
CString WindowTitle(bool online, const CString& server);
