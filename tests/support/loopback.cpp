#include "tests/support/loopback.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <random>

#include "tests/support/test_env.h"

namespace trellis::test {
namespace {

// Reads until the peer's end (true) or a 10 s silence or failure (false); the bytes in *out.
bool ReadUntilEnd(int fd, std::string* out) {
  SetRecvTimeout(fd);
  char buf[8192];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0) return true;
    if (n < 0) return false;
    if (out) out->append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

sockaddr_in SocketAddress(const char* address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

int ListenOn(const char* address, uint16_t* port, int backlog) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = SocketAddress(address, 0);
  socklen_t len = sizeof a;
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  EXPECT_TRUE(bound) << "bind to " << address;
  const bool named = bound && ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
  EXPECT_TRUE(named) << "getsockname on " << address;
  const bool listening = named && ::listen(fd, backlog) == 0;
  EXPECT_TRUE(listening) << "listen on " << address;
  if (!listening) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

namespace {
bool Bindable(const char* address, uint16_t port) {
  for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a = SocketAddress(address, port);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (!ok) return false;
  }
  return true;
}
}  // namespace

uint16_t FreePort(const char* address) {
  // As tests/e2e/ports.py: outside the kernel's range for outgoing connections, free for TCP and
  // UDP on the address and on every address, and held for this process.
  static std::mt19937 random(static_cast<uint32_t>(::getpid()) * 2654435761u ^
                             static_cast<uint32_t>(std::random_device{}()));
  static std::mutex mx;
  std::lock_guard<std::mutex> g(mx);
  std::uniform_int_distribution<int> range(20000, 32000);
  for (int i = 0; i < 1000; ++i) {
    const auto port = static_cast<uint16_t>(range(random));
    if (Bindable(address, port) && Bindable("0.0.0.0", port) && HoldPort(port)) return port;
  }
  ADD_FAILURE() << "no free port";
  return 0;
}

int ConnectTo(const char* from, const char* address, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local = SocketAddress(from, 0);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0) << "bind to " << from;
  sockaddr_in a = SocketAddress(address, port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int Connect(uint16_t port, const char* from) {
  int fd = ConnectTo(from, "127.0.0.1", port);
  if (fd >= 0) SetRecvTimeout(fd);
  return fd;
}

void SetRecvTimeout(int fd, int seconds) {
  timeval tv{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool SendAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

std::string ReadSome(int fd, size_t want, int timeoutMs) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < want && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::string ReadToEnd(int fd) {
  std::string out;
  ReadUntilEnd(fd, &out);
  return out;
}

bool ReadsEnd(int fd) { return ReadUntilEnd(fd, nullptr); }

bool ServerClosed(int fd) {
  char c;
  return ::recv(fd, &c, 1, 0) == 0;
}

LoopbackListener::LoopbackListener(const char* address, int backlog)
    : address_(address), fd_(ListenOn(address, &port_, backlog)) {}

LoopbackListener::~LoopbackListener() {
  if (fd_ >= 0) ::close(fd_);
}

int LoopbackListener::Connect(const char* from, int* accepted) {
  *accepted = -1;
  int client = ConnectTo(from, address_.c_str(), port_);
  EXPECT_GE(client, 0) << "connect from " << from << " to " << address_ << ":" << port_;
  if (client >= 0) *accepted = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  return client;
}

DatagramPeer::DatagramPeer(const char* address, uint16_t want) {
  fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = SocketAddress(address, want);
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << "bind to " << address;
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
}

DatagramPeer::~DatagramPeer() { ::close(fd); }

void DatagramPeer::SendTo(const char* address, uint16_t to, const std::string& data) const {
  sockaddr_in a = SocketAddress(address, to);
  ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

std::string DatagramPeer::Receive(uint16_t* fromPort, int timeoutMs) const {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return "\x01none";
  char buf[65536];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  const ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
  if (fromPort) *fromPort = ntohs(from.sin_port);
  return n < 0 ? "\x01none" : std::string(buf, static_cast<size_t>(n));
}

}  // namespace trellis::test
