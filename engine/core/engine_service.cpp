#include "engine/core/engine_service.h"

#include "engine/core/engine.h"
#include "platform/clock.h"
#include "platform/instance_lock.h"

namespace svc = platform::svc;

namespace {
// The engine's stop takes a few seconds of fixed pauses; its thread must be gone before the
// process ends.
constexpr int kEngineExitWaitMs = 20000;
}  // namespace

CEngineService::CEngineService() : CNTService("TrellisEngine", "Nomra Trellis Engine") {}

bool CEngineService::OnInit() { return true; }

void CEngineService::Run() {
  try {
    long error = 0;
    // The lock is close-on-exec: a program the engine starts must never keep it alive.
    std::unique_ptr<platform::NamedMutex> mutex = platform::NamedMutex::Create("TrellisEngineApp", &error);
    if (!mutex) {
      LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_DEBUG, "TrellisEngine already running - terminating");
    } else {
      svc::ServiceConfig config;
      if (svc::QueryServiceConfig(m_serviceName, &config) == svc::kOk &&
          (config.type & svc::kServiceInteractiveProcess)) {
        config.type = svc::kServiceWin32OwnProcess;
        svc::ChangeServiceConfig(m_serviceName, config);
        LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_DEBUG,
                 "Service was set to interact with desktop - disabled - will take effect on next start");
      }
      auto engine = TheEngine();
      if (!engine->CreateThread()) LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_DEBUG, "Could not start the engine thread");
      while (m_isRunning) platform::SleepMs(1000);
      engine->WaitForExit(kEngineExitWaitMs);
    }
    mutex.reset();
    LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_DEBUG, "Engine stopped");
  } catch (...) {
    LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_DEBUG, "Caught unknown exception in Run");
  }
}

void CEngineService::OnStop() {
  try {
    LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_DEBUG, "Stop command received from Service Control Manager - stopping Engine");
    TheEngine()->Shutdown(0);
  } catch (...) {
    // The service layer ends the process after a stop whatever happens here.
  }
}

void CEngineService::OnShutdown() {
  try {
    LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_DEBUG, "System shutting down - stopping Engine");
    TheEngine()->Shutdown(0);
  } catch (...) {
    // The system is going down; nothing is left to tell.
  }
}
