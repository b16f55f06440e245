#include "engine/proxy/common/loop_guard.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <set>

#include "engine/core/engine.h"
#include "engine/core/interfaces.h"
#include "engine/core/service.h"
#include "engine/core/service_manager.h"

namespace loopguard {

CString FindRoadBack(const void* start, const std::vector<Hop>& first, const Graph& graph) {
  if (!start) return CString();
  std::set<const void*> seen;
  std::vector<const void*> road;
  // Depth first, each service once: the depth is at most the number of services.
  std::function<bool(const std::vector<Hop>&)> walk = [&](const std::vector<Hop>& hops) {
    for (const Hop& hop : hops) {
      const void* service = graph.enters(hop);
      if (!service) continue;
      road.push_back(service);
      if (service == start) return true;
      if (seen.insert(service).second && walk(graph.next(service))) return true;
      road.pop_back();
    }
    return false;
  };
  if (!walk(first)) return CString();
  CString text = graph.name(start);
  for (const void* service : road) text += " -> " + graph.name(service);
  return text;
}

namespace {

constexpr uint32_t kLoopback = 0x7F000001u;

bool IsThisHost(uint32_t address, const std::vector<CString>& adapters) {
  if (address == 0 || (address >> 24) == 127) return true;
  const CString dotted = FormatIPAddress(address);
  if (auto engine = TheEngine(); engine && IsLocalAddress(engine->GetSysInfo(), dotted)) return true;
  // The engine's list is read at start-up; a dial-up link's address or one added since counts too.
  return std::find(adapters.begin(), adapters.end(), dotted) != adapters.end();
}

bool Resolve(const CString& host, uint32_t* address) {
  auto engine = TheEngine();
  if (!engine) return false;
  const auto found = engine->LookupHost(host);
  if (!found) return false;
  *address = *found;
  return true;
}

}  // namespace

Graph EngineGraph() {
  // The services are held for the whole walk: one deleted meanwhile is still a valid object.
  auto services = std::make_shared<std::vector<std::shared_ptr<CService>>>();
  if (auto engine = TheEngine()) *services = engine->GetServiceManager().GetServices();
  // The system's addresses once per walk, and only when some hop needs them.
  auto adapters = std::make_shared<std::optional<std::vector<CString>>>();
  auto lookups = std::make_shared<size_t>(0);
  Graph graph;
  graph.enters = [services, adapters, lookups](const Hop& hop) -> const void* {
    // Cheapest first: most destinations are on no port of the engine's at all.
    auto port = [&](const std::shared_ptr<CService>& s) {
      CLockGuard g(s->Settings());
      return s->Settings().PortNumber == hop.port && s->Settings().GetTransport() == hop.transport;
    };
    if (std::none_of(services->begin(), services->end(), port)) return nullptr;
    uint32_t address = hop.address;
    if (!hop.host.empty() && !TryParseIPAddress(hop.host, &address)) {
      if (*lookups >= kMaxLookups) return nullptr;
      ++*lookups;
      if (!Resolve(hop.host, &address)) return nullptr;
    }
    if (!adapters->has_value()) {
      adapters->emplace();
      CSysInfo::GetLocalAddresses(**adapters);
    }
    if (!IsThisHost(address, **adapters)) return nullptr;
    // 0.0.0.0 reaches the loopback's listeners.
    if (address == 0) address = kLoopback;
    for (const auto& service : *services) {
      if (service->Settings().GetTransport() == hop.transport && service->ListensOn(address, hop.port))
        return service.get();
    }
    return nullptr;
  };
  graph.next = [services](const void* node) {
    std::vector<Hop> hops;
    auto it = std::find_if(services->begin(), services->end(),
                           [node](const std::shared_ptr<CService>& s) { return s.get() == node; });
    if (it == services->end()) return hops;
    std::vector<CFixedDestination> fixed;
    (*it)->Settings().GetFixedDestinations(fixed);
    for (const CFixedDestination& d : fixed) {
      if (d.Port != 0 && d.Port <= 0xFFFF && !d.Host.empty()) hops.push_back({d.Host, 0, d.Port, d.Transport});
    }
    return hops;
  };
  graph.name = [services](const void* node) {
    for (const auto& service : *services)
      if (service.get() == node) return service->Settings().GetName();
    return CString();
  };
  return graph;
}

}  // namespace loopguard
