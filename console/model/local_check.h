#pragma once
// The local log-in check of the On-line Options dialog: before connecting to an engine on this
// machine, the console looks whether that engine runs and whether the user exists there, and
// corrects the user name's letter case to the stored one.
//
// Neither look changes anything: the engine's instance lock is probed without being taken (taking
// it, even for a moment, would make an engine starting at that instant quit as "already
// running"), and the engine's registry is opened only when the file exists and is readable. The
// registry holds scrambled passwords and is usually readable by root alone, so when it cannot be
// read the user check is skipped rather than refusing every log-in of an ordinary user.
#include "engine/config/archive.h"

enum class LocalCheckResult {
  Ok,          // go on (user name possibly corrected)
  NotRunning,  // kTextNotRunning
  NoSuchUser,  // kTextNoSuchLocalUser
};

struct LocalCheck {
  LocalCheckResult result = LocalCheckResult::Ok;
  CString userName;  // the name to log in with (the stored spelling when it differed only in case)
};

// "localhost" in any letter case, or exactly "127.0.0.1".
bool IsLocalServer(const CString& server);
// Whether the engine's instance lock is held (a lock file that cannot be opened for lack of
// permission counts as held: some engine made it).
bool LocalEngineRunning();
// The whole check for a server and user; for a server that is not local, Ok with the name as given.
LocalCheck CheckLocalLogin(const CString& server, const CString& userName);
