#pragma once
// The engine's list of local interfaces and the choice of a local address towards a host.
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/config/interface.h"

// Resolves a host name or dotted text to a host-order address; 0xFFFFFFFF when refused or unknown.
using HostResolver = std::function<uint32_t(const CString& host)>;

// "Settings" value naming a stable outside host whose reachability marks the outside interfaces.
// Empty (the default) skips the test: nothing is ever sent to a host nobody configured.
inline constexpr const char* kInternetTestHostValue = "InternetTestHost";

// A host the gateway reaches the outside through: a name server of its resolver, an upstream
// proxy a service names.
struct UpstreamHost {
  uint32_t address = 0;  // host order
  CString what;          // "name server", "upstream proxy"
};

// The IPv4 name servers of a resolver configuration in resolv.conf form, in their order.
std::vector<uint32_t> ReadNameServers(const char* path = "/etc/resolv.conf");

// Why the services that serve only the inside (DHCP, the DNS relay) must not bind themselves to
// the interface holding address: "it carries the default route", or "it carries the route to the
// name server 10.0.0.53" (a host of hosts; the machine's own and loopback addresses say nothing).
// Empty for an interface of the inside, and for an address that is no interface's.
CString UpstreamReason(uint32_t address, const std::vector<UpstreamHost>& hosts);

// Rebuilds info's interface map: loopback, "Settings\\Interfaces", the machine's own adapters,
// LAN flags, active dial-up connections removed, the multi-interface flag, the outside flags,
// the upstream reasons (against hosts), the dial-up phonebook entries, and the computer name.
void BuildInterfaceList(CSysInfo& info, const HostResolver& resolve, const std::vector<UpstreamHost>& hosts = {});

// The text names this machine (its computer name, ignoring case) or the address of one of its
// non-dial-up interfaces.
bool IsLocalAddress(CSysInfo& info, const CString& text);

// The local interface address to use towards host. For "127.0.0.1" and "localhost" the loopback
// address when the mask admits loopback or plain addresses (kinds 1 and 4). With a port: the local
// address of a connection made to host:port (false when none can be made). With port 0: an
// interface of the mask on the host's network, else the one of its class that reaches it.
bool GetInterfaceAddressFor(CSysInfo& info, const CString& host, uint16_t port, CString* out, uint32_t kindMask,
                            const HostResolver& resolve);

// Whether an interface address reaches a host: equal or on one classful network, not when exactly
// one of them is private, else when the kernel routes to the host from that address or a connect
// from it (capped at two seconds) completes or is refused.
bool IsReachableFrom(uint32_t interfaceAddress, uint32_t host);
