#include "tests/console/engine_process.h"

#include <stdlib.h>

#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

namespace trellis::test {

namespace {
std::string Script() {
  // TempRoot sets this process's registry, home and run folder, which the script inherits.
  TempRoot();
  return "bash " + SourcePath("tests/console/console_engine.sh") + " " + BuildPath("");
}
}  // namespace

bool EngineProcess::Start(std::string* log) {
  // Every engine of the process starts from a first install of its own.
  TempRoot();
  const std::string dir = MakeTempDir("engine");
  setenv("TRELLIS_REGISTRY", (dir + "/registry.db").c_str(), 1);
  setenv("TRELLIS_HOME", (dir + "/home").c_str(), 1);
  setenv("TRELLIS_RUNDIR", (dir + "/run").c_str(), 1);
  setenv("TRELLIS_EVENTLOG", (dir + "/events.log").c_str(), 1);
  rcPort = FreePort();
  do {
    wwwPort = FreePort();
  } while (wwwPort == rcPort);
  std::string out;
  const int rc =
      RunCommand(Script() + " start " + std::to_string(rcPort) + " " + std::to_string(wwwPort) + " 2>&1", &out);
  if (log) *log = out;
  m_running = true;  // even half-started, it is stopped at the end
  return rc == 0;
}

bool EngineProcess::Restart(std::string* log) {
  std::string out;
  const int rc =
      RunCommand(Script() + " restart " + std::to_string(rcPort) + " " + std::to_string(wwwPort) + " 2>&1", &out);
  if (log) *log = out;
  m_running = true;
  return rc == 0;
}

void EngineProcess::Stop() {
  if (!m_running) return;
  m_running = false;
  RunCommand(Script() + " stop 2>&1");
}

}  // namespace trellis::test
