// The layer over pppd, with a stand-in pppd (a script that records how it was started and plays
// a link's log) in a peers folder of the test's own; and the real pppd when it is installed.
#include <gtest/gtest.h>
#include <signal.h>
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

const std::string kPppdLayer = std::string(TRELLIS_BUILD_DIR) + "/librasapi32-pppd.so";

// Plays pppd: records its arguments and the password it reads on descriptor 3, then either ends
// with the status the "mode" file names, or writes a link's log lines to descriptor 4 and runs
// until SIGTERM (pppd's status 5).
constexpr const char* kFakePppd = R"(#!/bin/bash
d=$(dirname "$0")
printf '%s\n' "$@" > "$d/argv"
if [ -e /proc/self/fd/3 ]; then cat <&3 > "$d/password"; fi
mode=$(cat "$d/mode")
case "$mode" in exit:*) exit "${mode#exit:}";; esac
echo "Using interface ppp7" >&4
echo "Connect: ppp7 <--> /dev/pts/9" >&4
echo "CHAP authentication succeeded" >&4
echo "local  IP address 10.77.0.2" >&4
echo "remote IP address 10.77.0.1" >&4
trap 'exit 5' TERM
while :; do sleep 0.1; done
)";

class PppdLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // As in the engine: a pppd that has already ended when its password is written must not take
    // the process with it.
    signal(SIGPIPE, SIG_IGN);
    dir = trellis::test::MakeTempDir("pppd");
    peers = dir + "/peers";
    mkdir(peers.c_str(), 0755);
    for (const char* name : {"isp", "-detach", ".hidden", "bad name"}) WriteFile(peers + "/" + name, "noauth\n");
    mkdir((peers + "/folder").c_str(), 0755);
    fake = dir + "/pppd";
    WriteFile(fake, kFakePppd);
    chmod(fake.c_str(), 0755);
    setenv("TRELLIS_PPP_PEERS", peers.c_str(), 1);
    setenv("TRELLIS_PPPD", fake.c_str(), 1);
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
    dialer->Stop();
    SetSessionHost(nullptr);
    unsetenv("TRELLIS_PPP_PEERS");
    unsetenv("TRELLIS_PPPD");
  }
  std::string Log() { return ReadFile(dialer->GetLogFile()->GetPath()); }

  trellis::test::CTestSessionHost host;
  std::string dir, peers, fake;
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

TEST_F(PppdLayerTest, ALinkComesUpWithThePasswordOffTheCommandLineAndGoesWithItsProcess) {
  WriteFile(dir + "/mode", "up");
  profile->Dial(*dialer);
  ASSERT_TRUE(profile->CheckConnection(*dialer));
  CString address;
  EXPECT_TRUE(profile->GetAddressText(address));
  EXPECT_EQ(address, "10.77.0.2");
  const std::string argv = ReadFile(dir + "/argv");
  EXPECT_NE(argv.find("file\n" + peers + "/isp\nnodetach\n"), std::string::npos) << argv;
  EXPECT_NE(argv.find("user\nCORP\\bob\n"), std::string::npos) << argv;
  EXPECT_NE(argv.find("passwordfd\n3\n"), std::string::npos) << argv;
  EXPECT_EQ(argv.find("s3cret"), std::string::npos);
  EXPECT_EQ(ReadFile(dir + "/password"), "s3cret");
  EXPECT_EQ(dialer->GetActiveAddresses(), std::vector<CString>{"10.77.0.2"});

  // Hang-up ends pppd; once it is reaped the handle is gone and the profile off line.
  const HRASCONN handle = profile->GetHandle();
  profile->HangUp(*dialer);
  RASCONNSTATUSA status{};
  status.dwSize = sizeof(status);
  EXPECT_TRUE(WaitFor([&] { return api->RasGetConnectStatusA(handle, &status) == RAS_ERROR_INVALID_HANDLE; }));
  EXPECT_FALSE(profile->CheckConnection(*dialer));
  EXPECT_EQ(Log().find("Timed out of hangup"), std::string::npos);
}

TEST_F(PppdLayerTest, PppdsExitStatusIsTheDialsErrorAndNeverRestartsTheDialer) {
  WriteFile(dir + "/mode", "exit:4");
  profile->Dial(*dialer);
  EXPECT_FALSE(profile->CheckConnection(*dialer));
  // The status line (to the log and the consoles) carries pppd's reason before the reset clears it.
  const std::string log = Log();
  EXPECT_NE(log.find("Office: The port is not available"), std::string::npos) << log;
  size_t attempts = 0;
  for (size_t p = log.find("Office: Dial unsuccessful"); p != std::string::npos;
       p = log.find("Office: Dial unsuccessful", p + 1))
    ++attempts;
  EXPECT_EQ(attempts, 2u);
  EXPECT_EQ(restarts.load(), 0);

  WriteFile(dir + "/mode", "exit:19");
  profile->Retries = 1;
  profile->Dial(*dialer);
  EXPECT_NE(Log().find("Office: Access was denied because the username and/or password was invalid"),
            std::string::npos);

  // The real pppd, where installed: without kernel PPP support it ends with status 4 as above.
  if (access("/usr/sbin/pppd", X_OK) == 0 && access("/dev/ppp", F_OK) != 0) {
    unsetenv("TRELLIS_PPPD");
    profile->Dial(*dialer);
    EXPECT_FALSE(profile->CheckConnection(*dialer));
    EXPECT_EQ(restarts.load(), 0);
  }
}

}  // namespace
