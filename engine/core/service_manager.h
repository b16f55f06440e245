#pragma once
// Every configured service of the engine by name: created from the registry by the class name
// stored with each, written back, and checked before the engine starts them.
//
// The map's keys are case-sensitive but registry keys are not, so two services whose names differ
// only in case would share one key and lose one at the next start: such a name is refused.
//
// Lock order: the manager's lock, then one service's locks (service.h). Service operations called
// under the manager's lock must not wait for another thread that needs the manager; Startup and
// Shutdown of the services are therefore called on a snapshot, outside the lock.
#include <functional>
#include <memory>
#include <vector>

#include "engine/config/lockable.h"
#include "engine/core/service.h"
#include "engine/remote/rc_service_settings.h"


class CServiceManager : public CLockableMap {
  TL_DECLARE_DYNAMIC(CServiceManager)

 public:
  CServiceManager();
  ~CServiceManager() override;

  // Enters the service under its name, replacing an entry of that name. Refused (false) for a null
  // service, an invalid name, or a name equal ignoring case to another service's.
  bool AddService(std::shared_ptr<CService> service);
  // Takes the entry out (the caller keeps its reference); false when absent.
  bool RemoveService(const CString& name);
  std::shared_ptr<CService> FindService(const CString& name) const;
  // The first TCP service listening on address:port (port as decimal text), or null.
  std::shared_ptr<CService> FindTCPServiceFor(const CString& address, const CString& port) const;
  // The class of exactly that name when it is a creatable service class, else null.
  static const CRuntimeClass* FindClass(const CString& className);
  // A new running service of that class (null when FindClass refuses it, or when this program
  // has no running form of it).
  static std::shared_ptr<CService> CreateService(const CString& className);
  // A new, idle object of live's class holding live's settings as they archive (the running state
  // and the binding states as reported values); null when the class cannot be made here.
  static std::shared_ptr<CService> CopyService(CService& live);
  // Services in name order.
  std::vector<std::shared_ptr<CService>> GetServices() const;

  // Deletes the sub-keys of key that name no service, then saves every service below key.
  // False when some write failed (what was written stays).
  virtual bool SaveServices(const CString& key);
  // Adds a service for every sub-key of key whose ServiceType names a service class.
  virtual void LoadServices(const CString& key);
  // Engine start: makes sure a service named "Remote Control Service" exists, auto-binds every
  // service when "Setup" SecureInstall is set, then validates every service's bindings against
  // info.
  void StartAll(CSysInfo& info);
  // Opens every service's log file; then Startup of every service.
  void OpenLogFiles();
  void StartupAll();
  // Shutdown of every service, then empties the map; returns the services let go, so the caller
  // can wait for their sessions before dropping the last references.
  std::vector<std::shared_ptr<CService>> ShutdownAll();

  // Where the manager reports what the operator should know (a missing class); the engine routes
  // it to its own log. Without one, the system event log.
  void SetReporter(std::function<void(const CString&)> reporter);

 private:
  void Report(const CString& text) const;

  std::function<void(const CString&)> m_reporter;
};
