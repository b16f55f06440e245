// The engine program: installs, removes, starts, stops and cleans its service from the command
// line, and otherwise runs as that service when the service-control layer started it.
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/core/engine_service.h"

namespace {

void RemoveOldBetaService(CEngineService& service) {
  const char* beta = "Nomra Trellis Engine";
  if (!CNTService::IsServiceInstalled(beta)) return;
  if (CNTService::StopNTService(beta)) {
    service.LogEvent(EVENTLOG_WARNING_TYPE, EVMSG_DEBUG, "Stopped previous beta version");
    const char* text =
        CNTService::DeleteNTService(beta) ? "Removed previous beta version" : "Could not remove previous beta version";
    printf("%s\n", text);
    service.LogEvent(EVENTLOG_WARNING_TYPE, EVMSG_DEBUG, text);
  } else {
    printf("Could not stop previous beta version\n");
    service.LogEvent(EVENTLOG_WARNING_TYPE, EVMSG_DEBUG, "Could not stop previous beta version");
  }
}

// The engine's folders (logs, audit files, cache) are relative to its home: the program's own
// folder, unless TRELLIS_HOME names another.
void ChangeToHomeDirectory(CEngineService& service) {
  std::string dir;
  const char* home = getenv("TRELLIS_HOME");
  if (home && *home) {
    dir = home;
  } else {
    dir = CNTService::ModulePath();
    size_t cut = dir.rfind('/');
    dir = cut == std::string::npos ? std::string() : dir.substr(0, cut);
  }
  if (dir.empty()) return;
  if (chdir(dir.c_str()) != 0) {
    printf("Could not change to Trellis home directory (%s)\n", dir.c_str());
    std::string text = "Could not change to Trellis home directory (" + dir + ") - some folders may end up in strange places";
    service.LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_DEBUG, text.c_str());
  }
}

// Every connection costs descriptors (two for a relayed one, more with a cache file): the soft
// limit a service gets by default (often 1024) would let a few hundred clients shut out the rest.
void RaiseDescriptorLimit(CEngineService& service) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  const rlim_t before = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    std::string text = "Could not raise the descriptor limit above " + std::to_string(before);
    service.LogEvent(EVENTLOG_WARNING_TYPE, EVMSG_DEBUG, text.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  CEngineService service;
  try {
    RemoveOldBetaService(service);
    ChangeToHomeDirectory(service);
    // A switch that could not do what it was asked (a stop that did not finish) ends with 1.
    if (int handled = service.ParseStandardArgs(argc, argv)) return handled == 1 ? 0 : 1;
    service.LogEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_DEBUG, "Starting Engine");
    RaiseDescriptorLimit(service);
    // A send on a connection the peer has reset must fail, not end the process.
    signal(SIGPIPE, SIG_IGN);
    service.StartService();
    return static_cast<int>(service.ExitCode());
  } catch (...) {
    service.LogEvent(EVENTLOG_ERROR_TYPE, EVMSG_DEBUG, "Caught exception in Main()");
    return 0;
  }
}
