#pragma once
// What the console's views and commands reach of the application: the protocol state with its
// mirrors, the dialogs, the settings. All on the user-interface thread.
#include "console/model/console_dialogs.h"
#include "console/model/console_settings.h"
#include "console/model/lookout_client.h"

class ConsoleHost {
 public:
  virtual ~ConsoleHost() = default;
  virtual CLookoutClient& Client() = 0;
  virtual ConsoleDialogs& Dialogs() = 0;
  virtual ConsoleSettings& Settings() = 0;
  // The editors: the property sheet of an entry of the configuration tree (kind: tree_entry.h),
  // and the new-user and new-group editors. Each opens without blocking the caller.
  virtual void OpenProperties(int /*kind*/, const CString& /*name*/) {}
  virtual void NewUser() {}
  virtual void NewGroup() {}
  // A new service of that stored class name ("CWWWService", ...).
  virtual void NewService(const CString& /*className*/) {}
  // The dialer's property sheet (the Dialing entry of the tree).
  virtual void OpenDialer() {}
  // The editor behind a root of the configuration tree (its get code: 130 opens the cache sheet).
  virtual void OpenRoot(int /*code*/) {}
  // The System Policies dialog (the engine's own rights).
  virtual void OpenSystemPolicies() {}
  // The Scheduler Properties sheet (once the engine's scheduler has been fetched).
  virtual void OpenScheduler() {}
  // The Assumed users sheet (a double click on the Assumed Users root).
  virtual void OpenAssumedUsers() {}
};

// Qt's text of a console text (bytes taken as UTF-8, the engine's texts are plain ASCII).
#define QS(text) QString::fromStdString(text)
