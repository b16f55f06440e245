#pragma once
// Plain-socket helpers for tests that play clients, servers and peers on loopback addresses
// (127.0.0.0/8): listening, connecting from a chosen address, sending and reading with limits.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace trellis::test {

// The IPv4 socket address of a dotted address and a port.
sockaddr_in SocketAddress(const char* address, uint16_t port);

// A TCP socket listening on address at a port of the system's choice (put in *port); -1 (and a
// test failure) when that fails.
int ListenOn(const char* address, uint16_t* port, int backlog = 16);

// A port free for TCP and UDP on address and on every address, held for this process so that no
// test running beside it picks it too (see HoldPort).
uint16_t FreePort(const char* address = "127.0.0.1");

// A client socket bound to `from` and connected to address:port; -1 when refused.
int ConnectTo(const char* from, const char* address, uint16_t port);

// A client socket from `from` connected to port on 127.0.0.1, with a 10 s receive time-out; -1
// when refused.
int Connect(uint16_t port, const char* from = "127.0.0.1");

// Gives reads on fd a time-out of `seconds`.
void SetRecvTimeout(int fd, int seconds = 10);

// Sends all of data; false when the connection fails first.
bool SendAll(int fd, const std::string& data);

// What arrives until at least `want` bytes have come, the peer ends or timeoutMs pass.
std::string ReadSome(int fd, size_t want, int timeoutMs = 5000);

// Everything until the peer's end (or a 10 s silence).
std::string ReadToEnd(int fd);

// True when the peer ends within 10 s of silence; what it sends before is read and dropped.
bool ReadsEnd(int fd);

// True when the server closed the connection (end of stream, no data) within the socket's
// time-out.
bool ServerClosed(int fd);

// A UDP socket bound to a loopback address (at port `want`, 0: the system's choice) that plays a
// datagram peer.
struct DatagramPeer {
  explicit DatagramPeer(const char* address, uint16_t want = 0);
  ~DatagramPeer();
  DatagramPeer(const DatagramPeer&) = delete;
  DatagramPeer& operator=(const DatagramPeer&) = delete;
  void SendTo(const char* address, uint16_t to, const std::string& data) const;
  // One datagram within timeoutMs and its sender's port; "\x01none" when none came.
  std::string Receive(uint16_t* fromPort = nullptr, int timeoutMs = 15000) const;
  int fd = -1;
  uint16_t port = 0;
};

// A TCP listener on a loopback address that hands out connected pairs.
class LoopbackListener {
 public:
  explicit LoopbackListener(const char* address = "127.0.0.1", int backlog = 512);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }

  // A client bound to `from` connected to this listener (-1, and a test failure, when refused);
  // the accepted end in *accepted.
  int Connect(const char* from, int* accepted);

 private:
  std::string address_;
  uint16_t port_ = 0;
  int fd_ = -1;
};

}  // namespace trellis::test
