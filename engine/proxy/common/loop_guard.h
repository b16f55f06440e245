#pragma once
// Roads back into a service: whether a connection one of its sessions is about to make would come,
// through the engine's own listeners, back into that service's listener. Such a road turns one
// client connection into connections without end (each one accepted makes the next) until the
// engine runs out of threads and descriptors, so it is refused before anything is connected.
//
// A hop enters the engine when its address is this host's (the loopback, 0.0.0.0, or an address of
// one of its interfaces) and one of the engine's services of that transport listens there on that
// port. The road then goes on from that service to each of its fixed destinations (its operator's
// choice: a mapping's rules and default, the server of non-proxy requests, an upstream proxy),
// resolved the same way. A road loops when it reaches the service it started from. It ends where
// it leaves the engine, and at a service without fixed destinations (the SOCKS server, the XDMA
// relay: there the next hop is a client's choice, judged as such when it is made). Each service is
// followed once per walk, so the walk ends however the engine's services point at each other; a
// loop among other services is refused by each of those services when their own sessions connect.
//
// Threads: any session thread or a datagram service's thread. Takes the service manager's lock and
// each service's locks one at a time, never more than one at once.
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/config/util.h"

class CService;

namespace loopguard {

struct Hop {
  // A host name or dotted text, looked up only when some service of the engine has that port and
  // transport (most destinations are not worth a lookup); when empty, address is the destination.
  CString host;
  uint32_t address = 0;  // host order
  uint32_t port = 0;
  uint32_t transport = 0;  // SERVICE_TRANSPORT_*
};

// What the walk needs to know of the engine, so the walk itself stands apart from it.
struct Graph {
  // The service whose listener takes what is sent to the hop, or null.
  std::function<const void*(const Hop&)> enters;
  // A service's fixed destinations, as hops.
  std::function<std::vector<Hop>(const void*)> next;
  std::function<CString(const void*)> name;
};

// At most this many host names are looked up in one walk (dotted text costs nothing, and only a hop
// on a port of the engine's is looked up at all): a mapping with thousands of named rules must not
// make every connection wait for their lookups.
inline constexpr size_t kMaxLookups = 32;

// The road from the first hops back into start: the names of the services it passes, start at
// both ends ("A -> B -> A"); empty when there is none.
CString FindRoadBack(const void* start, const std::vector<Hop>& first, const Graph& graph);

// The engine's services and listeners as a graph. A hop enters a service when its address (looked
// up through the engine when it is a name) is this host's (the loopback, 0.0.0.0, or an address of
// one of its interfaces, as the engine lists them or the system has them now) and the service
// listens there.
Graph EngineGraph();

}  // namespace loopguard
