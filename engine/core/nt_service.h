#pragma once
// A generic service wrapper over the platform's service-control layer: the service's status,
// its control handler, event-log reporting and the command-line switches that install, remove,
// start, stop and clean the service.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/eventlog.h"
#include "platform/svc.h"

// Event-log message ids of the program's message table.
enum : uint32_t {
  EVMSG_INSTALLED = 0,
  EVMSG_REMOVED = 1,
  EVMSG_NOTREMOVED = 2,
  EVMSG_CTRLHANDLERNOTINSTALLED = 3,
  EVMSG_FAILEDINIT = 4,
  EVMSG_STARTED = 5,
  EVMSG_STOPPED = 6,
  EVMSG_BADREQUEST = 7,
  EVMSG_DEBUG = 8,
};

enum : uint16_t {
  EVENTLOG_ERROR_TYPE = platform::eventlog::kError,
  EVENTLOG_WARNING_TYPE = platform::eventlog::kWarning,
  EVENTLOG_INFORMATION_TYPE = platform::eventlog::kInformation,
};

class CNTService {
 public:
  CNTService(const char* serviceName, const char* displayName);
  virtual ~CNTService();

  // 0 when no switch was given (run as a service), 1 when a switch was handled or refused, 2 when
  // a -stop or -start could not finish (the engine still stopping after the wait).
  int ParseStandardArgs(int argc, char** argv);
  bool IsInstalled();
  bool Install();
  bool Uninstall();
  void LogEvent(uint16_t type, uint32_t id, const char* s1 = nullptr, const char* s2 = nullptr,
                const char* s3 = nullptr);
  // Runs the service dispatcher; returns only when the service has stopped.
  bool StartService();
  void SetStatus(uint32_t state);
  bool Initialize();
  void DebugMsg(const char* format, ...) __attribute__((format(printf, 2, 3)));

  virtual void Run();
  virtual bool OnInit();
  virtual void OnStop();
  virtual void OnInterrogate();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();
  virtual bool OnUserControl(uint32_t control);

  static void ServiceMain(int argc, char** argv);
  static void Handler(uint32_t control);

  // Service operations by name; none waits for the state change.
  static bool IsServiceInstalled(const char* name);
  static bool DeleteNTService(const char* name);
  static bool StopNTService(const char* name);
  static bool StartNTService(const char* name);

  // Text of an event as the event viewer shows it: the message-table entry with "%1" replaced.
  static std::string FormatEventText(uint32_t id, const char* s1);
  // Full path of the running program.
  static std::string ModulePath();

  const std::string& ServiceName() const { return m_serviceName; }
  uint32_t ExitCode() const;
  bool IsRunning() const { return m_isRunning.load() != 0; }

  static CNTService* s_instance;

 protected:
  std::string m_serviceName;
  std::string m_displayName;
  uint32_t m_majorVersion = 1;
  uint32_t m_minorVersion = 0;
  uintptr_t m_statusHandle = 0;
  platform::svc::ServiceStatus m_status;
  mutable std::mutex m_statusMutex;
  std::atomic<uint32_t> m_isRunning{0};
  long m_lastError = 0;  // the last failure of a service-control call, for "Error %d" texts
};
