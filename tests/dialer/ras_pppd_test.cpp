// The layer over pppd, driven through a stand-in pppd (stand_in_pppd.sh: pppd's option parsing,
// a peers folder of the test's own, a tun interface for the link, the ip-up and ip-down scripts)
// in a network namespace of the test process's own; and the real pppd where it is installed.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "engine/config/reg_helpers.h"
#include "engine/dialer/dialer.h"
#include "tests/support/engine_fixture.h"

namespace {

using trellis::test::ReadFile;
using trellis::test::WaitFor;
using trellis::test::WriteFile;

const std::string kPppdLayer = std::string(TRELLIS_BUILD_DIR) + "/librasapi32.so";
const std::string kStandIn = std::string(TRELLIS_SOURCE_DIR) + "/tests/dialer/stand_in_pppd.sh";

// ip-up and ip-down as a Debian system's: run by pppd with the link's interface, tty, speed, local
// and remote address and ipparam; these write them down.
constexpr const char* kScript = "#!/bin/sh\necho \"$@\" > \"$STANDIN_PPPD_DIR/$(basename \"$0\")\"\n";

class PppdLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* before = getenv("TRELLIS_PPP_PEERS")) peersBefore = before;
    // The link's interface lives in a network namespace of this process's own; every thread the
    // dialer and the layer start from here on is in it, and so is every pppd.
    if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "needs root for a network namespace of its own";
    dir = trellis::test::MakeTempDir("pppd");
    peers = dir + "/etc/peers";
    mkdir((dir + "/etc").c_str(), 0755);
    mkdir(peers.c_str(), 0755);
    WriteFile(peers + "/isp", "# the test's provider\nnoauth\npty \"/bin/true\"\n10.64.7.2:10.64.7.1  # addresses\n");
    for (const char* name : {"-detach", ".hidden", "bad name"}) WriteFile(peers + "/" + name, "noauth\n");
    mkdir((peers + "/folder").c_str(), 0755);
    for (const char* name : {"/etc/ip-up", "/etc/ip-down"}) {
      WriteFile(dir + name, kScript);
      chmod((dir + name).c_str(), 0755);
    }
    setenv("STANDIN_PPPD_DIR", dir.c_str(), 1);
    setenv("TRELLIS_PPP_PEERS", peers.c_str(), 1);
    setenv("TRELLIS_PPPD", kStandIn.c_str(), 1);
    host.users.CreateBuiltInAccounts();
    SetSessionHost(&host);
    RegWriteString("Settings", kLogDirectoryValue, trellis::test::MakeTempDir("pppdlogs"));
    std::string error;
    api = LoadRasApi(kPppdLayer, &error);
    ASSERT_TRUE(api) << error;
    dialer = std::make_shared<CDialer>();
    dialer->SetRasApi(api);
    dialer->LogOptions = 3;
    dialer->TimeBetweenRetries = 10;
    dialer->RasdialTimeout = 10000;
    dialer->RequestRestart = [this] { ++restarts; };
    dialer->Start();
    profile = std::make_shared<CDialerProfile>();
    profile->Name = "Office";
    profile->ProfileName = "isp";
    profile->Username = "bob";
    profile->Password = "s3cret";
    profile->Domain = "CORP";
    profile->Retries = 2;
    profile->AccessRights.AddRecipient(std::make_shared<CRecipient>());
    dialer->AddProfile(profile);
  }
  void TearDown() override {
    if (dialer) dialer->Stop();
    SetSessionHost(nullptr);
    unsetenv("STANDIN_PPPD_DIR");
    setenv("TRELLIS_PPP_PEERS", peersBefore.c_str(), 1);
    unsetenv("TRELLIS_PPPD");
  }
  std::string Log() { return ReadFile(dialer->GetLogFile()->GetPath()); }
  // Whether the dialer's log (status lines included) holds the text.
  bool Logged(const std::string& text) { return Log().find(text) != std::string::npos; }

  trellis::test::CTestSessionHost host;
  std::string dir, peers, peersBefore;
  std::shared_ptr<const RasApi> api;
  std::shared_ptr<CDialer> dialer;
  std::shared_ptr<CDialerProfile> profile;
  std::atomic<int> restarts{0};
};

TEST_F(PppdLayerTest, PeersAreThePhonebookAndAPeerNameCannotCarryAnOption) {
  dialer->RefreshPhonebookEntries();
  EXPECT_EQ(dialer->GetPhonebookEntries(), std::vector<CString>{"isp"});
  for (const char* entry : {"-detach", "../peers/isp", ".hidden", "folder", "nope"}) {
    RASDIALPARAMSA params{};
    params.dwSize = sizeof(params);
    snprintf(params.szEntryName, sizeof(params.szEntryName), "%s", entry);
    HRASCONN handle = nullptr;
    EXPECT_EQ(api->RasDialA(nullptr, nullptr, &params, 0, nullptr, &handle), RAS_ERROR_CANNOT_FIND_PHONEBOOK_ENTRY)
        << entry;
    EXPECT_EQ(handle, nullptr);
  }
  // A structure of another size is refused.
  RASDIALPARAMSA params{};
  params.dwSize = sizeof(params) - 4;
  HRASCONN handle = nullptr;
  EXPECT_EQ(api->RasDialA(nullptr, nullptr, &params, 0, nullptr, &handle), RAS_ERROR_INVALID_SIZE);
}

TEST_F(PppdLayerTest, ACalledPeerComesUpWithItsInterfaceAndGoesWithItsProcess) {
  profile->Dial(*dialer);
  ASSERT_TRUE(profile->CheckConnection(*dialer)) << Log();
  CString address;
  EXPECT_TRUE(profile->GetAddressText(address));
  EXPECT_EQ(address, "10.64.7.2");
  EXPECT_EQ(dialer->GetActiveAddresses(), std::vector<CString>{"10.64.7.2"});
  RASPPPIPA ip{};
  ip.dwSize = sizeof(ip);
  DWORD cb = sizeof(ip);
  ASSERT_EQ(api->RasGetProjectionInfoA(profile->GetHandle(), RASP_PppIp, &ip, &cb), 0u);
  EXPECT_STREQ(ip.szServerIpAddress, "10.64.7.1");
  // pppd read the peer with "call" (so its privileged options count whoever runs pppd); the
  // password came through the pipe, never on the command line.
  const std::string argv = ReadFile(dir + "/argv");
  EXPECT_EQ(argv.rfind("call\nisp\nnodetach\n", 0), 0u) << argv;
  EXPECT_EQ(argv.find("file\n"), std::string::npos) << argv;
  EXPECT_NE(argv.find("user\nCORP\\bob\n"), std::string::npos) << argv;
  EXPECT_NE(argv.find("plugin\npasswordfd.so\npasswordfd\n3\n"), std::string::npos) << argv;
  EXPECT_EQ(argv.find("s3cret"), std::string::npos);
  EXPECT_EQ(ReadFile(dir + "/password"), "s3cret");
  // pppd runs ip-up once the link's interface has its address, so it may still be on its way.
  EXPECT_TRUE(WaitFor([&] { return ReadFile(dir + "/ip-up") == "ppp0 /dev/pts/9 115200 10.64.7.2 10.64.7.1 \n"; }));

  // Hang-up ends pppd; once it is reaped the handle is gone, and so is the link's interface.
  const HRASCONN handle = profile->GetHandle();
  profile->HangUp(*dialer);
  RASCONNSTATUSA status{};
  status.dwSize = sizeof(status);
  EXPECT_TRUE(WaitFor([&] { return api->RasGetConnectStatusA(handle, &status) == RAS_ERROR_INVALID_HANDLE; }));
  EXPECT_FALSE(profile->CheckConnection(*dialer));
  EXPECT_EQ(ReadFile(dir + "/ip-down"), "ppp0 /dev/pts/9 115200 10.64.7.2 10.64.7.1 \n");
  EXPECT_EQ(if_nametoindex("ppp0"), 0u);
  EXPECT_FALSE(Logged("Timed out of hangup"));
}

TEST_F(PppdLayerTest, UpIsTheInterfaceWithItsAddressNotAWordingOfTheLog) {
  // A pppd that says nothing of the addresses in its log: up all the same.
  WriteFile(dir + "/mode", "quiet");
  profile->Dial(*dialer);
  ASSERT_TRUE(profile->CheckConnection(*dialer)) << Log();
  CString address;
  EXPECT_TRUE(profile->GetAddressText(address));
  EXPECT_EQ(address, "10.64.7.2");
  profile->HangUp(*dialer);
  ASSERT_TRUE(WaitFor([&] { return if_nametoindex("ppp0") == 0; }));

  // A log that names the addresses while the interface never gets one is no link.
  WriteFile(dir + "/mode", "no-interface");
  dialer->RasdialTimeout = 1500;
  profile->Retries = 1;
  profile->Dial(*dialer);
  EXPECT_FALSE(profile->CheckConnection(*dialer));
  EXPECT_TRUE(Logged("Office: RasDial call timed out waiting for connect"));
}

TEST_F(PppdLayerTest, EveryWayPppdFailsHasItsOwnTextAndNoneRestartsTheDialer) {
  struct Case {
    const char* mode;
    const char* text;
  };
  profile->Retries = 1;
  for (const Case& c : {Case{"exit:4", "Office: This system has no kernel PPP support"},
                        Case{"exit:19", "Office: Access was denied because the username and/or password was invalid"},
                        Case{"exit:2", "Office: pppd refused its options"},
                        Case{"exit:3", "Office: pppd may not be run by the engine"}}) {
    WriteFile(dir + "/mode", c.mode);
    profile->Dial(*dialer);
    EXPECT_FALSE(profile->CheckConnection(*dialer));
    EXPECT_TRUE(Logged(c.text)) << c.mode << "\n" << Log();
  }
  // Without pppd the dial fails at once and says so, not that the kernel lacks PPP.
  const std::string before = Log();
  setenv("TRELLIS_PPPD", (dir + "/no/pppd").c_str(), 1);
  profile->Dial(*dialer);
  EXPECT_FALSE(profile->CheckConnection(*dialer));
  const std::string after = Log().substr(before.size());
  EXPECT_NE(after.find("Office: pppd is not installed: " + dir + "/no/pppd was not found"), std::string::npos) << after;
  EXPECT_EQ(after.find("kernel"), std::string::npos) << after;
  EXPECT_EQ(restarts.load(), 0);
}

TEST_F(PppdLayerTest, TheRealPppdTakesTheCommandLine) {
  if (access("/usr/sbin/pppd", X_OK) != 0) GTEST_SKIP() << "pppd is not installed (apt install ppp)";
  if (access("/dev/ppp", F_OK) == 0)
    GTEST_SKIP() << "with kernel PPP support the real pair runs in test_dialer_pppd.sh";
  if (access("/etc/ppp/peers", F_OK) != 0) GTEST_SKIP() << "pppd's /etc/ppp/peers is missing";
  // The real pppd reads its peers from /etc/ppp/peers: a mount namespace of its own shows it the
  // test's folder there, and nothing of the machine's changes.
  const std::string wrapper = dir + "/real-pppd";
  WriteFile(wrapper,
            "#!/bin/sh\nexec unshare -m sh -c 'mount --bind \"$0\" /etc/ppp/peers && exec /usr/sbin/pppd \"$@\"' \"" +
                peers + "\" \"$@\"\n");
  chmod(wrapper.c_str(), 0755);
  setenv("TRELLIS_PPPD", wrapper.c_str(), 1);
  profile->Retries = 1;
  profile->Dial(*dialer);
  EXPECT_FALSE(profile->CheckConnection(*dialer));
  // Past its options (which it would refuse with status 2), it stops at the missing kernel support.
  EXPECT_TRUE(Logged("Office: This system has no kernel PPP support")) << Log();
  EXPECT_FALSE(Logged("refused its options")) << Log();
}

}  // namespace
