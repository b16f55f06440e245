// The walk that finds a road from a service back into its own listener, over made-up services:
// each listens on one port and points at the ports in its list.
#include "engine/proxy/common/loop_guard.h"

#include <gtest/gtest.h>

#include <map>

#include "engine/core/service_settings.h"

namespace {

struct Net {
  std::map<uint32_t, std::vector<uint32_t>> points;  // listening port -> fixed destinations' ports
  std::map<uint32_t, char> names;
  size_t asked = 0;  // fixed destinations looked up

  loopguard::Graph Graph() {
    loopguard::Graph g;
    g.enters = [this](const loopguard::Hop& hop) -> const void* {
      auto it = points.find(hop.port);
      return it == points.end() || hop.transport != SERVICE_TRANSPORT_TCP ? nullptr : &it->second;
    };
    g.next = [this](const void* node) {
      ++asked;
      std::vector<loopguard::Hop> hops;
      for (uint32_t p : *static_cast<const std::vector<uint32_t>*>(node))
        hops.push_back({CString(), 0x7F000001u, p, SERVICE_TRANSPORT_TCP});
      return hops;
    };
    g.name = [this](const void* node) {
      for (auto& [port, list] : points)
        if (&list == node) return CString(1, names[port]);
      return CString("?");
    };
    return g;
  }
  CString Road(uint32_t from, std::vector<uint32_t> first) {
    std::vector<loopguard::Hop> hops;
    for (uint32_t p : first) hops.push_back({CString(), 0x7F000001u, p, SERVICE_TRANSPORT_TCP});
    return loopguard::FindRoadBack(&points.at(from), hops, Graph());
  }
};

TEST(LoopGuard, FindsEveryRoadBackAndNoOther) {
  Net n;
  n.points = {{1, {1}}, {2, {3}}, {3, {2}},       {4, {5}}, {5, {9}},   {6, {7}},
              {7, {8}}, {8, {7}}, {10, {11, 12}}, {11, {}}, {12, {13}}, {13, {10}}};
  n.names = {{1, 'S'}, {2, 'A'}, {3, 'B'},  {4, 'C'},  {5, 'D'},  {6, 'E'},
             {7, 'F'}, {8, 'G'}, {10, 'W'}, {11, 'X'}, {12, 'Y'}, {13, 'Z'}};
  EXPECT_EQ(n.Road(1, {1}), "S -> S");                  // a mapping to its own port
  EXPECT_EQ(n.Road(2, {3}), "A -> B -> A");             // two mappings to each other
  EXPECT_EQ(n.Road(10, {12}), "W -> Y -> Z -> W");      // through a chain
  EXPECT_EQ(n.Road(10, {11, 12}), "W -> Y -> Z -> W");  // the second of two roads
  EXPECT_EQ(n.Road(4, {5}), "");                        // a chain that leaves the engine
  EXPECT_EQ(n.Road(4, {99}), "");                       // no listener there
  EXPECT_EQ(n.Road(6, {7}), "");                        // a loop among others is theirs to refuse
  EXPECT_EQ(n.Road(2, {}), "");
}

TEST(LoopGuard, EachServiceIsFollowedOnce) {
  // Every service points at every other: the walk still visits each once.
  Net n;
  for (uint32_t p = 1; p <= 20; ++p) {
    n.names[p] = static_cast<char>('a' + p);
    for (uint32_t q = 2; q <= 20; ++q) n.points[p].push_back(q);
  }
  EXPECT_EQ(n.Road(1, {2}), "");
  EXPECT_LE(n.asked, 19u);
}

}  // namespace
