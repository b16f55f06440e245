#include "engine/core/interfaces.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/route.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

namespace {

constexpr uint16_t kReachabilityPort = 20000;
constexpr int kReachabilityTimeoutMs = 2000;

sockaddr_in MakeAddress(uint32_t hostOrder, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(hostOrder);
  a.sin_port = htons(port);
  return a;
}

// The source address the kernel would use towards a host. A connected datagram socket sends
// nothing, so this costs no traffic and never blocks.
bool RouteSource(uint32_t host, uint16_t port, uint32_t* source) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in to = MakeAddress(host, port ? port : 9);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (ok) ok = getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0;
  close(fd);
  if (ok) *source = ntohl(local.sin_addr.s_addr);
  return ok;
}

// The local address of a TCP connection made to host:port, which is closed again at once. False
// when no connection can be made (a closed port, an unreachable host). The wait is the system's
// own connect time-out.
bool ConnectedSource(uint32_t host, uint16_t port, uint32_t* source) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_in to = MakeAddress(host, port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  if (!ok && errno == EINPROGRESS) {
    // Non-blocking only so that a signal cannot cut the wait short.
    pollfd p{fd, POLLOUT, 0};
    int rc;
    do {
      rc = poll(&p, 1, -1);
    } while (rc < 0 && errno == EINTR);
    int err = 0;
    socklen_t len = sizeof err;
    ok = rc == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
  }
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (ok) ok = getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0;
  close(fd);
  if (ok) *source = ntohl(local.sin_addr.s_addr);
  return ok;
}

bool ConnectFrom(uint32_t local, uint32_t host) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_in from = MakeAddress(local, 0);
  sockaddr_in to = MakeAddress(host, kReachabilityPort);
  bool reachable = false;
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0) {
    int rc = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (rc == 0) {
      reachable = true;
    } else if (errno == ECONNREFUSED) {
      reachable = true;
    } else if (errno == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, kReachabilityTimeoutMs) == 1) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        reachable = err == 0 || err == ECONNREFUSED;
      }
    }
  }
  close(fd);
  return reachable;
}

bool InPrefix(uint32_t host, uint32_t address) {
  for (const LocalAddress& a : ReadLocalAddresses())
    if (a.address == address && a.netmask != 0 && (host & a.netmask) == (address & a.netmask)) return true;
  return false;
}

// The devices that hold a default route of the main table (/proc/net/route: the kernel's own view
// of this network namespace).
std::vector<CString> DefaultRouteDevices() {
  std::vector<CString> out;
  std::ifstream in("/proc/net/route");
  std::string line;
  std::getline(in, line);  // the column names
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string device;
    unsigned long destination = 0, gateway = 0, flags = 0, refs = 0, use = 0, metric = 0, mask = 0;
    if (!(fields >> device >> std::hex >> destination >> gateway >> flags >> std::dec >> refs >> use >> metric >>
          std::hex >> mask))
      continue;
    if (destination == 0 && mask == 0 && (flags & RTF_UP)) out.push_back(device);
  }
  return out;
}

}  // namespace

std::vector<uint32_t> ReadNameServers(const char* path) {
  std::vector<uint32_t> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string keyword, value;
    if (!(fields >> keyword >> value) || keyword != "nameserver") continue;
    uint32_t a = 0;
    // IPv6 servers are not ours to route.
    if (TryParseIPAddress(value, &a)) out.push_back(a);
  }
  return out;
}

CString UpstreamReason(uint32_t address, const std::vector<UpstreamHost>& hosts) {
  const std::vector<LocalAddress> local = ReadLocalAddresses();
  auto deviceOf = [&](uint32_t a) -> const LocalAddress* {
    for (const LocalAddress& l : local)
      if (l.address == a) return &l;
    return nullptr;
  };
  const LocalAddress* own = deviceOf(address);
  if (!own || own->loopback || own->device.empty()) return {};
  for (const CString& device : DefaultRouteDevices())
    if (device == own->device) return "it carries the default route";
  for (const UpstreamHost& h : hosts) {
    // A server on this machine is reached over loopback and says nothing about the interfaces.
    if (h.address == 0 || (h.address >> 24) == 127 || deviceOf(h.address)) continue;
    uint32_t source = 0;
    if (!RouteSource(h.address, 0, &source)) continue;
    const LocalAddress* via = deviceOf(source);
    if (via && via->device == own->device)
      return FormatString("it carries the route to the %s %s", h.what.c_str(), FormatIPAddress(h.address).c_str());
  }
  return {};
}

bool IsReachableFrom(uint32_t a, uint32_t h) {
  if (a == h || IsSameNetwork(a, h)) return true;
  if (IsPrivateAddress(a) != IsPrivateAddress(h)) return false;
  uint32_t source = 0;
  if (RouteSource(h, kReachabilityPort, &source) && source == a) return true;
  return ConnectFrom(a, h);
}

void BuildInterfaceList(CSysInfo& info, const HostResolver& resolve, const std::vector<UpstreamHost>& hosts) {
  CLockGuard lock(info.m_interfaces);
  info.m_interfaces.RemoveAll();
  auto enter = [&](uint32_t kind, const CString& name) {
    if (!info.m_interfaces.Lookup(name)) info.m_interfaces.SetAt(name, std::make_shared<CInterface>(kind, name));
  };
  enter(INTERFACE_LOOPBACK, "127.0.0.1");
  for (const CString& name : RegEnumValueNames("Settings\\Interfaces")) enter(INTERFACE_IP, name);

  // The machine's own addresses come from its adapters, not from a lookup of its host name, which
  // on many systems answers a loopback alias that is no interface at all.
  std::vector<CString> adapters;
  CSysInfo::GetLocalAddresses(adapters);
  for (const CString& a : adapters) enter(INTERFACE_IP, a);
  for (auto& [name, obj] : info.m_interfaces) {
    auto* i = static_cast<CInterface*>(obj.get());
    for (const CString& a : adapters)
      if (a == name) i->m_lan = 1;
  }

  const DialupInfo dialup = GetDialupInfo();
  if (dialup.activeAddresses)
    for (const CString& a : dialup.activeAddresses()) info.m_interfaces.RemoveKey(a);

  info.m_multiInterface = info.m_interfaces.GetCount() >= 3 ? 1 : 0;

  CString testHost = RegReadString("Settings", kInternetTestHostValue, "");
  if (!testHost.empty() && resolve) {
    uint32_t h = resolve(testHost);
    if (h != 0xFFFFFFFFu) {
      for (auto& [name, obj] : info.m_interfaces) {
        auto* i = static_cast<CInterface*>(obj.get());
        uint32_t a;
        if (TryParseIPAddress(i->GetAddressText(), &a) && IsReachableFrom(a, h)) i->m_outside = 1;
      }
    }
  }

  for (auto& [name, obj] : info.m_interfaces) {
    auto* i = static_cast<CInterface*>(obj.get());
    uint32_t a;
    if (i->m_kind == INTERFACE_IP && TryParseIPAddress(i->GetAddressText(), &a))
      i->m_upstream = UpstreamReason(a, hosts);
  }

  if (dialup.entryNames) {
    for (const CString& entry : dialup.entryNames()) {
      // An entry named like an address would take that address's place in the map.
      uint32_t ignored;
      if (TryParseIPAddress(entry, &ignored)) continue;
      enter(INTERFACE_DIALUP, entry);
    }
  }
  info.m_computerName = CSysInfo::ReadComputerName();
}

bool IsLocalAddress(CSysInfo& info, const CString& text) {
  if (!info.m_computerName.empty() && strcasecmp(text.c_str(), info.m_computerName.c_str()) == 0) return true;
  uint32_t ignored;
  if (!TryParseIPAddress(text, &ignored)) return false;
  CLockGuard lock(info.m_interfaces);
  for (auto& [name, obj] : info.m_interfaces) {
    auto* i = static_cast<CInterface*>(obj.get());
    if (i->m_kind != INTERFACE_DIALUP && i->GetAddressText() == text) return true;
  }
  return false;
}

bool GetInterfaceAddressFor(CSysInfo& info, const CString& host, uint16_t port, CString* out, uint32_t kindMask,
                            const HostResolver& resolve) {
  if (host == "127.0.0.1" || strcasecmp(host.c_str(), "localhost") == 0) {
    if (!(kindMask & (INTERFACE_IP | INTERFACE_LOOPBACK))) return false;
    *out = "127.0.0.1";
    return true;
  }
  uint32_t h = resolve ? resolve(host) : ParseIPAddress(host);
  if (h == 0xFFFFFFFFu) return false;
  if (port != 0) {
    // The answer is the local end of a real connection: the route alone would also answer for a
    // port nobody listens on or a host that cannot be reached.
    uint32_t source;
    if (!ConnectedSource(h, port, &source)) return false;
    *out = FormatIPAddress(source);
    return true;
  }

  std::vector<std::pair<uint32_t, CString>> candidates;
  {
    CLockGuard lock(info.m_interfaces);
    for (auto& [name, obj] : info.m_interfaces) {
      auto* i = static_cast<CInterface*>(obj.get());
      uint32_t a;
      if (!(i->m_kind & kindMask) || !i->IsAvailable() || !TryParseIPAddress(i->GetAddressText(), &a)) continue;
      candidates.emplace_back(a, i->m_address);
    }
  }
  // The interface whose real network holds the host beats the classful guess: two subnets of one
  // private class network are not one network.
  for (auto& [a, text] : candidates)
    if (InPrefix(h, a)) return *out = text, true;
  for (auto& [a, text] : candidates)
    if (IsSameNetwork(a, h)) return *out = text, true;
  std::vector<std::pair<uint32_t, CString>> sameClass;
  for (auto& c : candidates)
    if (IsPrivateAddress(c.first) == IsPrivateAddress(h)) sameClass.push_back(c);
  if (sameClass.size() == 1 && !IsPrivateAddress(h)) return *out = sameClass[0].second, true;
  for (auto& [a, text] : sameClass)
    if (IsReachableFrom(a, h)) return *out = text, true;
  return false;
}
