#pragma once
// The real engine program for the console's tests (console_engine.sh): started on this test
// process's own registry, home and run folder with a remote-control service and a web proxy on
// free loopback ports, and stopped again.
#include <cstdint>
#include <string>

namespace trellis::test {

class EngineProcess {
 public:
  ~EngineProcess() { Stop(); }
  // False (with the script's output in *log) when it did not come up.
  bool Start(std::string* log = nullptr);
  void Stop();
  // Starts the stopped engine again on the same registry and ports.
  bool Restart(std::string* log = nullptr);
  bool Running() const { return m_running; }

  uint16_t rcPort = 0;
  uint16_t wwwPort = 0;

 private:
  bool m_running = false;
};

}  // namespace trellis::test
