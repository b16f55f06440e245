#pragma once
// Loopback helpers and a plain echo session shared by the tests that run services against real
// sockets (core tests only: the session needs the engine library).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "engine/core/service.h"
#include "engine/core/session.h"

namespace trellis::test {

// A plain TCP service (settings and runtime in one object) whose connections get no session.
using CPlainTCPService = TRunningService<CTCPServiceSettings, CTCPService>;

// Polls pred until it holds or timeoutMs pass; false on time-out.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 5000);

// A loopback TCP port that was free a moment ago.
uint16_t FreePort();

// A client socket from `from` (a loopback address of its own) connected to port on 127.0.0.1,
// with a 10 s receive time-out; -1 when refused.
int Connect(uint16_t port, const char* from = "127.0.0.1");

// True when the server closed the connection (end of stream) within the socket's time-out.
bool ServerClosed(int fd);

// How many descriptors this process holds now.
size_t OpenDescriptors();

// Echoes what it reads; ends when the client closes.
class CTestEchoSession : public CTCPSession {
 public:
  CTestEchoSession(std::shared_ptr<CService> service, int handle);

 protected:
  void OnRead(platform::Message& msg) override;
  void OnClose(platform::Message& msg) override;
};

}  // namespace trellis::test
