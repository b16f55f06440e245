#include "engine/core/nt_service.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "engine/config/reg_helpers.h"
#include "platform/clock.h"
#include "platform/registry.h"

namespace svc = platform::svc;

CNTService* CNTService::s_instance = nullptr;

namespace {

const char* const kEventTexts[] = {
    "The %1 service was installed successfully.\r\n",
    "The %1 service was removed successfully.\r\n",
    "The %1 service was not removed successfully.\r\n",
    "The control handler was not installed.  The service will terminate.\r\n",
    "The service could not initialise.  The service will terminate.\r\n",
    "The service has been started.\r\n",
    "The service has been stopped.\r\n",
    "Bad request sent to service.\r\n",
    "%1.\r\n",
};

// How long -stop, -start and -clean wait for a stopping engine to end: its stop ends every session
// and saves the configuration, which takes a few seconds at most.
constexpr int kStopWaitMs = 60000;

}  // namespace

CNTService::CNTService(const char* serviceName, const char* displayName)
    : m_serviceName(serviceName), m_displayName(displayName) {
  s_instance = this;
  m_status.serviceType = svc::kServiceWin32OwnProcess;
  m_status.currentState = svc::kServiceStopped;
  m_status.controlsAccepted = svc::kAcceptStop;
}

CNTService::~CNTService() {
  DebugMsg("CNTService::~CNTService()");
  if (s_instance == this) s_instance = nullptr;
}

std::string CNTService::ModulePath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

std::string CNTService::FormatEventText(uint32_t id, const char* s1) {
  if (id >= sizeof kEventTexts / sizeof kEventTexts[0]) return {};
  std::string text = kEventTexts[id];
  size_t p = text.find("%1");
  if (p != std::string::npos) text.replace(p, 2, s1 ? s1 : "");
  return text;
}

void CNTService::LogEvent(uint16_t type, uint32_t id, const char* s1, const char* s2, const char* s3) {
  (void)s2;
  (void)s3;  // no message of the table takes more than one insertion
  platform::eventlog::Report(m_serviceName, static_cast<platform::eventlog::EventType>(type), id,
                             FormatEventText(id, s1));
}

void CNTService::DebugMsg(const char* format, ...) {
  // Debug lines are for a developer watching the process; they have no other effect.
  if (!getenv("TRELLIS_DEBUG")) return;
  char msg[1024];
  va_list ap;
  va_start(ap, format);
  vsnprintf(msg, sizeof msg, format, ap);
  va_end(ap);
  fprintf(stderr, "[%s](%lu): %s\n", m_serviceName.c_str(), static_cast<unsigned long>(gettid()), msg);
}

uint32_t CNTService::ExitCode() const {
  std::lock_guard<std::mutex> lk(m_statusMutex);
  return m_status.win32ExitCode;
}

int CNTService::ParseStandardArgs(int argc, char** argv) {
  if (argc <= 1) return 0;
  const char* arg = argv[1];
  const char* display = m_displayName.c_str();
  if (strcasecmp(arg, "-v") == 0) {
    printf("Trellis 2.1d\n");
    printf("The service is%s installed\n", IsInstalled() ? "" : " not");
    return 1;
  }
  if (strcasecmp(arg, "-i") == 0) {
    if (IsInstalled()) {
      printf("%s is already installed\n", display);
    } else if (Install()) {
      printf("%s installed\n", display);
    } else {
      printf("%s failed to install. Error %d\n", display, static_cast<int>(m_lastError));
    }
    return 1;
  }
  if (strcasecmp(arg, "-u") == 0) {
    if (!IsInstalled()) {
      printf("%s is not installed\n", display);
    } else if (Uninstall()) {
      printf("%s removed. (You must delete the file (%s) yourself.)\n", display, ModulePath().c_str());
    } else {
      printf("Could not remove %s. Error %d\n", display, static_cast<int>(m_lastError));
    }
    return 1;
  }
  if (strcasecmp(arg, "-start") == 0) {
    if (!IsInstalled()) {
      printf("%s is not installed\n", display);
      return 1;
    }
    // A start while a stop is under way waits for the old process: it still holds the instance
    // lock, and a new one would find it and end at once while this one reported success.
    svc::ServiceStatus status;
    if (svc::QueryServiceStatus(m_serviceName, &status) == svc::kOk && status.processId != 0 &&
        status.currentState == svc::kServiceStopPending &&
        !svc::WaitUntilStopped(m_serviceName, kStopWaitMs, status.processId)) {
      fprintf(stderr, "%s service is still stopping - not started\n", display);
      return 2;
    }
    long rc = svc::StartService(m_serviceName);
    if (rc == svc::kOk || rc == svc::kErrorServiceAlreadyRunning)
      printf("%s service started\n", display);
    else
      printf("%s service failed to start - error %u\n", display, static_cast<unsigned>(rc));
    return 1;
  }
  if (strcasecmp(arg, "-stop") == 0) {
    if (!IsInstalled()) {
      printf("%s is not installed\n", display);
      return 1;
    }
    // Stopped is said only once the process has gone; a stop that does not finish in time is a
    // failure the caller must see (on standard error and in the exit status).
    svc::ServiceStatus status;
    const long rc = svc::ControlService(m_serviceName, svc::kControlStop, &status);
    if (rc != svc::kOk && rc != svc::kErrorServiceNotActive) return 1;
    if (rc == svc::kOk && !svc::WaitUntilStopped(m_serviceName, kStopWaitMs, status.processId)) {
      fprintf(stderr, "%s service did not stop within %d seconds\n", display, kStopWaitMs / 1000);
      return 2;
    }
    printf("%s service stopped\n", display);
    return 1;
  }
  if (strcasecmp(arg, "-clean") == 0) {
    if (!IsInstalled()) {
      printf("%s is not installed\n", display);
      return 1;
    }
    if (!StopNTService(m_serviceName.c_str()) || !svc::WaitUntilStopped(m_serviceName, kStopWaitMs))
      printf("Failed to stop %s service\n", display);
    if (!DeleteNTService(m_serviceName.c_str())) printf("Failed to remove %s service\n", display);
    SetRegistryRoot("Nomra Software", "Trellis 2");
    RegDeleteKeyTree(nullptr);
    return 1;
  }
  printf(
      "Invalid parameter - valid parameters are (case sensitive)\n-i\tInstall service\n-u\tUninstall "
      "service\n-start\tStart service\n-stop\tStop service\n-clean\tStop service, uninstall, and remove "
      "registry entries\n-v\tQuery service version number\n");
  return 1;
}

bool CNTService::IsInstalled() { return IsServiceInstalled(m_serviceName.c_str()); }

bool CNTService::Install() {
  std::string path = ModulePath();
  svc::ServiceConfig config;
  config.type = svc::kServiceWin32OwnProcess;
  config.start = svc::kServiceDemandStart;
  config.errorControl = svc::kServiceErrorNormal;
  config.imagePath = path;
  config.displayName = m_displayName;
  m_lastError = svc::CreateService(m_serviceName, config);
  if (m_lastError != svc::kOk) return false;

  auto store = platform::reg::Store::Default();
  std::string key = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + m_serviceName;
  std::string types("\x07\0\0\0", 4);
  if (!store ||
      store->SetValue(key, "EventMessageFile", platform::reg::kExpandSz, path + std::string(1, '\0')) !=
          platform::reg::kOk ||
      store->SetValue(key, "TypesSupported", platform::reg::kDword, types) != platform::reg::kOk) {
    m_lastError = platform::reg::kAccessDenied;
    return false;
  }
  LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_INSTALLED, m_serviceName.c_str());
  return true;
}

bool CNTService::Uninstall() {
  m_lastError = svc::DeleteService(m_serviceName);
  if (m_lastError == svc::kOk) {
    LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_REMOVED, m_serviceName.c_str());
    return true;
  }
  LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_NOTREMOVED, m_serviceName.c_str());
  return false;
}

bool CNTService::StartService() {
  DebugMsg("Calling StartServiceCtrlDispatcher()");
  long rc = svc::StartServiceCtrlDispatcher(m_serviceName, ServiceMain);
  DebugMsg("Returned from StartServiceCtrlDispatcher()");
  return rc == svc::kOk;
}

void CNTService::ServiceMain(int argc, char** argv) {
  CNTService* self = s_instance;
  if (!self) return;
  self->DebugMsg("Entering CNTService::ServiceMain()");
  {
    std::lock_guard<std::mutex> lk(self->m_statusMutex);
    self->m_status.currentState = svc::kServiceStartPending;
  }
  self->m_statusHandle = svc::RegisterServiceCtrlHandler(self->m_serviceName, Handler);
  if (self->m_statusHandle == 0) {
    self->LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_CTRLHANDLERNOTINSTALLED);
    return;
  }
  if (self->Initialize()) {
    self->m_isRunning = 1;
    {
      std::lock_guard<std::mutex> lk(self->m_statusMutex);
      self->m_status.win32ExitCode = 0;
      self->m_status.checkPoint = 0;
      self->m_status.waitHint = 0;
    }
    self->Run();
  }
  self->SetStatus(svc::kServiceStopped);
  self->DebugMsg("Leaving CNTService::ServiceMain()");
}

bool CNTService::Initialize() {
  DebugMsg("Entering CNTService::Initialize()");
  SetStatus(svc::kServiceStartPending);
  errno = 0;
  bool ok = OnInit();
  // The last system error is the exit code; ServiceMain clears it when the service goes on to run.
  const int lastError = errno;
  {
    std::lock_guard<std::mutex> lk(m_statusMutex);
    m_status.win32ExitCode = static_cast<uint32_t>(lastError);
  }
  if (!ok) {
    LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_FAILEDINIT);
    SetStatus(svc::kServiceStopped);
    return false;
  }
  LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_STARTED);
  SetStatus(svc::kServiceRunning);
  DebugMsg("Leaving CNTService::Initialize()");
  return true;
}

void CNTService::SetStatus(uint32_t state) {
  DebugMsg("CNTService::SetStatus(%lu, %lu)", static_cast<unsigned long>(m_statusHandle),
           static_cast<unsigned long>(state));
  std::lock_guard<std::mutex> lk(m_statusMutex);
  m_status.currentState = state;
  svc::SetServiceStatus(m_statusHandle, m_status);
}

void CNTService::Handler(uint32_t control) {
  CNTService* self = s_instance;
  if (!self) return;
  self->DebugMsg("CNTService::Handler(%lu)", static_cast<unsigned long>(control));
  switch (control) {
    case svc::kControlStop:
      self->SetStatus(svc::kServiceStopPending);
      self->OnStop();
      self->m_isRunning = 0;
      self->LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_STOPPED);
      break;
    case svc::kControlPause: self->OnPause(); break;
    case svc::kControlContinue: self->OnContinue(); break;
    case svc::kControlInterrogate: self->OnInterrogate(); break;
    case svc::kControlShutdown: self->OnShutdown(); break;
    default:
      if (control >= 128) {
        if (!self->OnUserControl(control)) self->LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_BADREQUEST);
      } else {
        self->LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_BADREQUEST);
      }
      break;
  }
  std::lock_guard<std::mutex> lk(self->m_statusMutex);
  self->DebugMsg("Updating status (%lu, %lu)", static_cast<unsigned long>(self->m_statusHandle),
                 static_cast<unsigned long>(self->m_status.currentState));
  svc::SetServiceStatus(self->m_statusHandle, self->m_status);
}

void CNTService::Run() {
  DebugMsg("Entering CNTService::Run()");
  while (m_isRunning) {
    DebugMsg("Sleeping...");
    platform::SleepMs(5000);
  }
}

bool CNTService::OnInit() {
  DebugMsg("CNTService::OnInit()");
  return true;
}
void CNTService::OnStop() { DebugMsg("CNTService::OnStop()"); }
void CNTService::OnInterrogate() { DebugMsg("CNTService::OnInterrogate()"); }
void CNTService::OnPause() { DebugMsg("CNTService::OnPause()"); }
void CNTService::OnContinue() { DebugMsg("CNTService::OnContinue()"); }
void CNTService::OnShutdown() { DebugMsg("CNTService::OnShutdown()"); }
bool CNTService::OnUserControl(uint32_t control) {
  DebugMsg("CNTService::OnUserControl(%8.8lX)", static_cast<unsigned long>(control));
  return false;
}

bool CNTService::IsServiceInstalled(const char* name) { return svc::ServiceExists(name); }

bool CNTService::DeleteNTService(const char* name) { return svc::DeleteService(name) == svc::kOk; }

bool CNTService::StopNTService(const char* name) {
  long rc = svc::ControlService(name, svc::kControlStop, nullptr);
  return rc == svc::kOk || rc == svc::kErrorServiceNotActive;
}

bool CNTService::StartNTService(const char* name) {
  long rc = svc::StartService(name);
  return rc == svc::kOk || rc == svc::kErrorServiceAlreadyRunning;
}
