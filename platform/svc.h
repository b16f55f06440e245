#pragma once
// A small service-control layer: the service database, starting a service as a detached process,
// sending it the stop control, and the dispatcher that a service process runs.
//
// Service records live in the registry store under HKLM\SYSTEM\CurrentControlSet\Services\<name>.
// A running service process holds a lock on "<rundir>/<name>.lock" for its whole life; whether a
// service runs, and which process it is, is always read from that lock, never from a pid that a
// crashed process may have left behind. The status it reports is kept in "<rundir>/<name>.status".
// The run folder is TRELLIS_RUNDIR, else /run/trellis.
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace platform::svc {

// Result codes, numbered as the host system's service manager numbers them.
constexpr long kOk = 0;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorServiceAlreadyRunning = 1056;
constexpr long kErrorServiceDoesNotExist = 1060;
constexpr long kErrorServiceNotActive = 1062;
constexpr long kErrorFailedControllerConnect = 1063;
constexpr long kErrorServiceExists = 1073;
constexpr long kErrorDatabaseUnavailable = 1065;

constexpr uint32_t kServiceWin32OwnProcess = 16;
constexpr uint32_t kServiceInteractiveProcess = 256;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceErrorNormal = 1;

// States and controls.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kControlStop = 1;
constexpr uint32_t kControlPause = 2;
constexpr uint32_t kControlContinue = 3;
constexpr uint32_t kControlInterrogate = 4;
constexpr uint32_t kControlShutdown = 5;
constexpr uint32_t kAcceptStop = 1;

// Environment variable that marks a process as started by this layer; its value is the service name.
constexpr const char* kDispatchMarker = "TRELLIS_SCM_DISPATCH";

struct ServiceConfig {
  uint32_t type = kServiceWin32OwnProcess;
  uint32_t start = kServiceDemandStart;
  uint32_t errorControl = kServiceErrorNormal;
  std::string imagePath;
  std::string displayName;
};

struct ServiceStatus {
  uint32_t serviceType = kServiceWin32OwnProcess;
  uint32_t currentState = kServiceStopped;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
  pid_t processId = 0;  // only meaningful while the service runs
};

std::string RunDirectory();
std::string ServiceKey(const std::string& name);

// Service database.
long CreateService(const std::string& name, const ServiceConfig& config);
long DeleteService(const std::string& name);
bool ServiceExists(const std::string& name);
long QueryServiceConfig(const std::string& name, ServiceConfig* config);
long ChangeServiceConfig(const std::string& name, const ServiceConfig& config);

// Control. None of these waits for the state change.
long StartService(const std::string& name);
long ControlService(const std::string& name, uint32_t control, ServiceStatus* status);
long QueryServiceStatus(const std::string& name, ServiceStatus* status);
// Pid of the running service process, 0 when it does not run.
pid_t RunningPid(const std::string& name);
// Waits up to timeoutMs for the service process to be gone; true when it is. With a pid, waits for
// that process only: a new one started meanwhile (a -start right after a -stop) does not count.
bool WaitUntilStopped(const std::string& name, int timeoutMs, pid_t pid = 0);

// In the service process.
using ServiceMainFunction = void (*)(int argc, char** argv);
using ControlHandlerFunction = void (*)(uint32_t control);
// Runs serviceMain on a thread of its own and turns stop signals into controls on the calling
// thread until serviceMain returns. Fails at once (kErrorFailedControllerConnect) when the process
// was not started by this layer for that service. Must be called before the process starts any
// other thread, so that every thread inherits the blocked stop signals.
long StartServiceCtrlDispatcher(const std::string& name, ServiceMainFunction serviceMain);
// Returns a non-zero handle, or 0 when no dispatcher runs for that name.
uintptr_t RegisterServiceCtrlHandler(const std::string& name, ControlHandlerFunction handler);
bool SetServiceStatus(uintptr_t handle, const ServiceStatus& status);

}  // namespace platform::svc
