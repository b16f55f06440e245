// The interface list and the choice of a local address, checked against what the kernel reports
// (ip(8)) and inside a private network namespace with interfaces of our own.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/core/interfaces.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

namespace {

CInterface* Find(CSysInfo& info, const CString& name) {
  return static_cast<CInterface*>(info.m_interfaces.Lookup(name).get());
}

HostResolver Dotted() {
  return [](const CString& h) { return ParseIPAddress(h); };
}

}  // namespace

TEST(InterfaceList, MatchesTheKernelsAddresses) {
  RegWriteString("Settings\\Interfaces", "192.0.2.9", "");
  SetDialupInfo({nullptr, [] { return std::vector<CString>{"192.0.2.9"}; },
                 [] { return std::vector<CString>{"Office", "10.9.9.9"}; }});
  CSysInfo info;
  BuildInterfaceList(info, Dotted());
  SetDialupInfo({});

  ASSERT_NE(Find(info, "127.0.0.1"), nullptr);
  EXPECT_EQ(Find(info, "127.0.0.1")->m_kind, INTERFACE_LOOPBACK);
  EXPECT_EQ(Find(info, "192.0.2.9"), nullptr) << "an active dial-up address is not an interface";
  ASSERT_NE(Find(info, "Office"), nullptr);
  EXPECT_EQ(Find(info, "Office")->m_kind, INTERFACE_DIALUP);
  EXPECT_EQ(Find(info, "10.9.9.9"), nullptr) << "an entry named like an address is refused";

  std::string ip;
  ASSERT_EQ(trellis::test::RunCommand("ip -4 -o addr show | awk '{print $4}' | cut -d/ -f1", &ip), 0);
  size_t kernelNonLoopback = 0;
  for (size_t p = 0, e; (e = ip.find('\n', p)) != std::string::npos; p = e + 1) {
    std::string a = ip.substr(p, e - p);
    if (a.rfind("127.", 0) == 0) continue;
    ++kernelNonLoopback;
    ASSERT_NE(Find(info, a), nullptr) << a;
    EXPECT_EQ(Find(info, a)->m_lan, 1u) << a;
  }
  // No loopback alias of the host name (127.0.1.1) sneaks in.
  for (const CString& k : info.m_interfaces.Keys()) EXPECT_TRUE(k == "127.0.0.1" || k.rfind("127.", 0) != 0) << k;
  EXPECT_EQ(info.m_interfaces.GetCount(), 2 + kernelNonLoopback);  // loopback and the dial-up entry
}

TEST(InterfaceList, LocalAddressesAndChoiceTowardsLoopback) {
  CSysInfo info;
  BuildInterfaceList(info, Dotted());
  EXPECT_TRUE(IsLocalAddress(info, "127.0.0.1"));
  EXPECT_TRUE(IsLocalAddress(info, info.m_computerName));
  EXPECT_FALSE(IsLocalAddress(info, "192.0.2.200"));
  CString out;
  EXPECT_TRUE(GetInterfaceAddressFor(info, "LOCALHOST", 0, &out, INTERFACE_IP, Dotted()));
  EXPECT_EQ(out, "127.0.0.1");
  EXPECT_FALSE(GetInterfaceAddressFor(info, "localhost", 0, &out, INTERFACE_DIALUP, Dotted()));
  EXPECT_TRUE(GetInterfaceAddressFor(info, "127.0.0.9", 0, &out, INTERFACE_LOOPBACK, Dotted()));
  EXPECT_EQ(out, "127.0.0.1");
  // With a port the answer is the local end of a real connection: a port that takes it gives it,
  // a closed one gives nothing.
  uint16_t port = 0;
  const int listener = trellis::test::ListenOn("127.0.0.9", &port);
  ASSERT_GE(listener, 0);
  EXPECT_TRUE(GetInterfaceAddressFor(info, "127.0.0.9", port, &out, INTERFACE_IP, Dotted()));
  EXPECT_EQ(out, "127.0.0.1") << "the local end of a connection to a loopback host";
  ::close(listener);
  out = "untouched";
  EXPECT_FALSE(GetInterfaceAddressFor(info, "127.0.0.9", port, &out, INTERFACE_IP, Dotted()));
  EXPECT_EQ(out, "untouched");
  EXPECT_FALSE(GetInterfaceAddressFor(info, "no.such.host.invalid", 0, &out, INTERFACE_IP,
                                      [](const CString&) { return 0xFFFFFFFFu; }));
}

// Two networks of our own in a private namespace: a LAN (192.168.50.1/24 and 10.0.0.1/24) and an
// upstream (10.1.0.5/24, 198.51.100.2/24). Nothing leaves the namespace.
TEST(InterfaceList, ChoosesTheInterfaceOfTheHostsOwnNetwork) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(77);
    const char* setup =
        "ip link set lo up && ip link add lan0 type veth peer name lan1 && "
        "ip link add up0 type veth peer name up1 && "
        "ip addr add 192.168.50.1/24 dev lan0 && ip addr add 10.0.0.1/24 dev lan0 && "
        "ip addr add 10.1.0.5/24 dev up0 && ip addr add 198.51.100.2/24 dev up0 && "
        "ip link set lan0 up && ip link set lan1 up && ip link set up0 up && ip link set up1 up";
    if (system(setup) != 0) _exit(77);
    RegDeleteKeyTree("Settings\\Interfaces");
    RegWriteString("Settings", kInternetTestHostValue, "198.51.100.77");
    CSysInfo info;
    BuildInterfaceList(info, Dotted());
    int bad = 0;
    auto check = [&](bool ok, const char* what) {
      if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++bad;
      }
    };
    check(info.m_interfaces.GetCount() == 5, "loopback and four addresses");
    check(info.m_multiInterface == 1, "multi-interface flag");
    check(Find(info, "198.51.100.2") && Find(info, "198.51.100.2")->m_outside == 1, "upstream reaches the test host");
    check(Find(info, "192.168.50.1") && Find(info, "192.168.50.1")->m_outside == 0, "LAN is not outside");
    CString out;
    check(GetInterfaceAddressFor(info, "10.0.0.20", 0, &out, INTERFACE_IP, Dotted()) && out == "10.0.0.1",
          "real prefix beats the classful network");
    check(GetInterfaceAddressFor(info, "10.1.0.20", 0, &out, INTERFACE_IP, Dotted()) && out == "10.1.0.5",
          "upstream subnet");
    check(GetInterfaceAddressFor(info, "192.168.50.77", 0, &out, INTERFACE_IP, Dotted()) && out == "192.168.50.1",
          "LAN client");
    uint16_t port = 0;
    const int listener = trellis::test::ListenOn("198.51.100.2", &port);
    check(listener >= 0 && GetInterfaceAddressFor(info, "198.51.100.2", port, &out, INTERFACE_IP, Dotted()) &&
              out == "198.51.100.2",
          "the local end of a connection with a port");
    ::close(listener);
    check(!GetInterfaceAddressFor(info, "198.51.100.2", port, &out, INTERFACE_IP, Dotted()),
          "a routable address whose port is closed gives nothing");

    // The sides that face the outside: the one with the default route (all of its addresses),
    // and the one with the route to the resolver or an upstream proxy.
    check(Find(info, "10.1.0.5") && Find(info, "10.1.0.5")->m_upstream.empty(), "no default route yet");
    const std::vector<UpstreamHost> none;
    if (system("ip route add default via 10.1.0.6 dev up0") != 0) _exit(77);
    check(UpstreamReason(ParseIPAddress("10.1.0.5"), none) == "it carries the default route", "default route");
    check(UpstreamReason(ParseIPAddress("198.51.100.2"), none) == "it carries the default route",
          "every address of that interface");
    check(UpstreamReason(ParseIPAddress("192.168.50.1"), none).empty(), "the LAN is inside");
    check(UpstreamReason(ParseIPAddress("192.0.2.99"), none).empty(), "no interface of ours");
    const std::vector<UpstreamHost> resolver = {{ParseIPAddress("127.0.0.53"), "name server"},
                                                {ParseIPAddress("10.0.0.1"), "name server"},
                                                {ParseIPAddress("192.168.50.53"), "upstream proxy"}};
    check(UpstreamReason(ParseIPAddress("192.168.50.1"), resolver) ==
              "it carries the route to the upstream proxy 192.168.50.53",
          "route to an upstream host (loopback and own addresses say nothing)");
    CSysInfo routed;
    BuildInterfaceList(routed, Dotted(), resolver);
    check(Find(routed, "10.1.0.5") && Find(routed, "10.1.0.5")->m_upstream == "it carries the default route",
          "the list carries the reasons");
    check(Find(routed, "127.0.0.1") && Find(routed, "127.0.0.1")->m_upstream.empty(), "loopback is inside");

    char path[] = "/tmp/trellis-resolv.XXXXXX";
    const int fd = mkstemp(path);
    const char text[] = "# comment\nnameserver 10.1.0.53\nnameserver fd00::53\nsearch lab\n nameserver  10.1.0.54 \n";
    check(fd >= 0 && write(fd, text, sizeof text - 1) == static_cast<ssize_t>(sizeof text - 1), "resolv.conf written");
    ::close(fd);
    check(ReadNameServers(path) == std::vector<uint32_t>{ParseIPAddress("10.1.0.53"), ParseIPAddress("10.1.0.54")},
          "IPv4 name servers in order");
    unlink(path);
    _exit(bad == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no network namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
