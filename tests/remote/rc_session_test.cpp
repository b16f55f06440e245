// Consoles against an in-process engine: the log-in refusal that must reach the console, the
// machine record a console log-in must leave alone, a service upload that replaces the object
// instead of loading over the running one (and a broken one that changes nothing), a session that
// ends itself, notifications whose object has gone, and the cache settings.
#include <chrono>

#include <gtest/gtest.h>

#include "engine/remote/rc_codes.h"
#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/proxy/www/www_cache.h"
#include "engine/core/engine.h"
#include "engine/core/machine.h"
#include "engine/remote/rc_service.h"
#include "engine/core/service_manager.h"
#include "engine/remote/frame.h"
#include "engine/remote/link.h"
#include "tests/support/engine_fixture.h"

namespace {

using namespace std::chrono_literals;

using trellis::test::FreePort;
using trellis::test::WaitFor;

struct Console {
  X1Socket sock;
  Console(uint16_t port, const CString& user, const CString& password) {
    sock.Create();
    SetHandshake(sock, LINK_CLIENT_CONSOLE, false, false, user, password);
    sock.Connect("127.0.0.1", port, 5000);
  }
  CTLRCPMessage Next() {
    CTLRCPMessage m;
    ReceiveObject(sock, m);
    return m;
  }
  // The next message that is not a notification of the codes given.
  CTLRCPMessage NextSkipping(std::initializer_list<uint16_t> skip) {
    for (;;) {
      CTLRCPMessage m = Next();
      if (std::find(skip.begin(), skip.end(), m.m_code) == skip.end()) return m;
    }
  }
  void Send(uint16_t code, const CString& t1 = CString(), const CString& t2 = CString()) {
    SendRCPMessage(sock, code, t1, t2);
  }
  bool Closed() {
    char c;
    return sock.ReceiveBlocking(&c, 1) == 0;
  }
};

class RCSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    X1Socket::InitNotifier();
    for (const auto& key : RegEnumSubKeys(nullptr)) RegDeleteKeyTree(key);
    port = FreePort();
    const CString key = CString(kServicesKey) + "\\" + kRemoteControlServiceName;
    RegWriteString(key, "ServiceType", kRemoteControlServiceClass);
    RegWriteString(key, "Name", kRemoteControlServiceName);
    RegWriteDWORD(key, "PortNumber", port);
    RegWriteDWORD(key, "BindingOption", BINDING_SPECIFIC);
    RegWriteString(key, "SpecificBinding", "127.0.0.1");
    engine = std::make_shared<CTrellisEngine>();
    SetTheEngine(engine);
    ASSERT_TRUE(engine->CreateThread());
    ASSERT_TRUE(WaitFor([&] { return engine->GetTimerId() != 0; }, 10000));
    auto admin = engine->Users().FindUser("Administrator");
    ASSERT_TRUE(admin);
    admin->Password = "pw";
    admin->UserMustChangePassword = 0;
  }
  void TearDown() override {
    engine->Shutdown(0);
    EXPECT_TRUE(engine->WaitForExit(15000));
    SetTheEngine(nullptr);
  }
  std::unique_ptr<Console> Login(const CString& user = "Administrator", const CString& password = "pw") {
    auto c = std::make_unique<Console>(port, user, password);
    EXPECT_EQ(c->Next().m_code, RC_NOTIFY_LOGGED_IN);
    return c;
  }

  uint16_t port = 0;
  std::shared_ptr<CTrellisEngine> engine;
};

TEST_F(RCSessionTest, RefusedConsoleHearsAccessDeniedAndTheMachineKeepsItsIdentity) {
  auto rc = engine->GetServiceManager().FindService(kRemoteControlServiceName);
  ASSERT_TRUE(rc);
  rc->Settings().AccessRights.IncludeDefaultRights = kDefaultRightsIgnored;
  rc->Settings().AccessRights.AddRecipientByName("Administrators");
  auto guest = engine->Users().FindUser("Guest");
  guest->Password = "g";

  Console refused(port, "Guest", "g");
  CTLRCPMessage m = refused.Next();
  EXPECT_EQ(m.m_code, RC_NOTIFY_OPERATOR_MESSAGE);
  EXPECT_EQ(m.m_text1, "Access Denied");
  EXPECT_EQ(m.m_text2, "You are not allowed to log in");
  EXPECT_TRUE(refused.Closed());

  // An administrator's log-in raises only its own session: proxies from the same address still run
  // as the user the engine assumes for it.
  auto admin = Login();
  auto machine = engine->GetMachineMap().Find("127.0.0.1");
  ASSERT_TRUE(machine);
  EXPECT_EQ(machine->GetUserName(), "Guest");
  EXPECT_EQ(machine->GetSecurityLevel(), kLevelGuest);
}

// A console's system, edit and start/stop rights are judged with the request known, so their ban
// and request restrictions apply: a ban that matches the console's address refuses, and request
// filters that match nothing grant nothing.
TEST_F(RCSessionTest, RestrictionsOfAConsolesRightsApplyAndFailClosed) {
  auto admin = Login();
  auto restricted = [](CRight& right, bool ban) {
    auto recipient = std::make_shared<CRecipient>("Administrators");
    (ban ? recipient->SpecifyBan : recipient->SpecifyRequest) = 1;
    auto loopback = std::make_shared<CRequestCriterion>();
    loopback->DataIndex = kPropClientIP;
    loopback->Comparison = TL_COMPARE_BEGINS;
    loopback->Value.SetString("127.");
    recipient->BanFilter.AddCriterion(loopback);
    CRight replacement;
    replacement.RightType = right.RightType;
    replacement.Description = right.Description;
    replacement.IncludeDefaultRights = kDefaultRightsIgnored;
    replacement.AddRecipient(recipient);
    right.CopyFrom(replacement);
  };
  auto reply = [&](uint16_t code, const CString& t1 = CString(), const CString& t2 = CString()) {
    admin->Send(code, t1, t2);
    const uint16_t first = admin->NextSkipping({74, 75, 76}).m_code;
    if (first == RC_REPLY_ACCEPTED) {
      const uint16_t last = admin->NextSkipping({74, 75, 76}).m_code;
      EXPECT_TRUE(last == RC_REPLY_DONE || last == RC_REPLY_FAILED) << last;
    }
    return first;
  };
  // Unrestricted, the administrator may do all three (ending the sessions of a machine that does
  // not exist is accepted, then fails).
  const CString nowhere = "10.255.255.1";
  EXPECT_EQ(reply(RC_REQ_TERMINATE_MACHINE, nowhere), RC_REPLY_ACCEPTED);
  auto rc = engine->GetServiceManager().FindService(kRemoteControlServiceName);
  ASSERT_TRUE(rc);
  EXPECT_EQ(reply(RC_REQ_START_STOP_SERVICE, kRemoteControlServiceName, "1"), RC_REPLY_ACCEPTED);

  restricted(*engine->GetRight(kRightActivityControl), true);
  EXPECT_EQ(reply(RC_REQ_TERMINATE_MACHINE, nowhere), RC_REPLY_REFUSED) << "a banned system right was granted";
  restricted(*engine->GetRight(kRightActivityControl), false);
  EXPECT_EQ(reply(RC_REQ_TERMINATE_MACHINE, nowhere), RC_REPLY_REFUSED)
      << "a request-restricted system right was granted";

  restricted(rc->Settings().StartStopRights, true);
  EXPECT_EQ(reply(RC_REQ_START_STOP_SERVICE, kRemoteControlServiceName, "1"), RC_REPLY_REFUSED);
  restricted(rc->Settings().EditRights, false);
  admin->Send(RC_REQ_MODIFY_SERVICE, kRemoteControlServiceName);
  EXPECT_EQ(admin->NextSkipping({74, 75, 76}).m_code, RC_REPLY_REFUSED) << "a restricted edit right was granted";
}

TEST_F(RCSessionTest, ServiceUploadReplacesTheObjectAndABrokenOneChangesNothing) {
  auto admin = Login();
  auto& manager = engine->GetServiceManager();
  auto live = manager.FindService(kRemoteControlServiceName);
  CRemoteControlService edited;
  {
    std::vector<uint8_t> form = BuildFrame(live->Settings());
    LoadBareFrame(std::span<const uint8_t>(form).subspan(4), edited);
  }
  edited.SessionLimit = 17;
  edited.Name = "Someone Else";  // the request's name wins

  // Broken: the frame stops inside the service. Nothing may change, and the console is closed.
  std::vector<uint8_t> frame = BuildFrame(edited);
  std::vector<uint8_t> cut(frame.begin(), frame.end() - 6);
  const uint32_t n = static_cast<uint32_t>(cut.size() - 4);
  memcpy(cut.data(), &n, 4);
  {
    Console broken(port, "Administrator", "pw");
    EXPECT_EQ(broken.Next().m_code, RC_NOTIFY_LOGGED_IN);
    broken.Send(34, kRemoteControlServiceName);
    EXPECT_EQ(broken.Next().m_code, RC_REPLY_ACCEPTED);
    broken.sock.Send(cut.data(), cut.size());
    EXPECT_EQ(broken.Next().m_code, RC_REPLY_FAILED);
    EXPECT_TRUE(broken.Closed());
  }
  EXPECT_EQ(manager.FindService(kRemoteControlServiceName), live);
  EXPECT_NE(live->Settings().SessionLimit, 17u);

  admin->Send(34, kRemoteControlServiceName);
  EXPECT_EQ(admin->NextSkipping({75}).m_code, RC_REPLY_ACCEPTED);
  admin->sock.Send(frame.data(), frame.size());
  EXPECT_EQ(admin->Next().m_code, RC_REPLY_DONE);
  auto replaced = manager.FindService(kRemoteControlServiceName);
  ASSERT_TRUE(replaced);
  EXPECT_NE(replaced, live) << "loaded over the running object";
  EXPECT_EQ(replaced->Settings().SessionLimit, 17u);
  EXPECT_FALSE(manager.FindService("Someone Else"));
  EXPECT_EQ(RegReadDWORD(CString(kServicesKey) + "\\" + kRemoteControlServiceName, "SessionLimit", 0), 17u);
  // The replacement listens in the old one's place, and the console that changed it goes on.
  Console again(port, "Administrator", "pw");
  EXPECT_EQ(again.Next().m_code, RC_NOTIFY_LOGGED_IN);
  admin->Send(90);
  EXPECT_EQ(admin->NextSkipping({75, 74, 35}).m_code, RC_REPLY_ACCEPTED);
}

// While Administrator has no password the consoles' service stays on the loopback, also when a
// console uploads it bound to every interface.
TEST_F(RCSessionTest, AnUploadCannotOpenTheConsolesServiceWhileAdministratorHasNoPassword) {
  ASSERT_TRUE(engine->Users().Add(std::make_shared<CUser>("ops", "", "o", ""), nullptr));
  auto administrators = engine->Users().FindGroup("Administrators");
  ASSERT_TRUE(administrators);
  ASSERT_TRUE(administrators->AddMember("ops", 0));
  {
    auto admin = engine->Users().FindUser("Administrator");
    CLockGuard g(*admin);
    admin->Password.clear();
  }
  auto console = Login("ops", "o");
  auto& manager = engine->GetServiceManager();
  auto live = manager.FindService(kRemoteControlServiceName);
  CRemoteControlService edited;
  {
    std::vector<uint8_t> form = BuildFrame(live->Settings());
    LoadBareFrame(std::span<const uint8_t>(form).subspan(4), edited);
  }
  edited.BindingOption = BINDING_ALL;
  std::vector<uint8_t> frame = BuildFrame(edited);
  console->Send(34, kRemoteControlServiceName);
  EXPECT_EQ(console->NextSkipping({75}).m_code, RC_REPLY_ACCEPTED);
  console->sock.Send(frame.data(), frame.size());
  EXPECT_EQ(console->Next().m_code, RC_REPLY_DONE);
  auto replaced = manager.FindService(kRemoteControlServiceName);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(replaced->Settings().BindingOption, BINDING_SPECIFIC);
  EXPECT_EQ(replaced->Settings().SpecificBinding, "127.0.0.1");
}

TEST_F(RCSessionTest, SessionEndingItselfIsAnsweredAndNotAnnouncedAgain) {
  auto monitor = Login();
  monitor->Send(80);
  EXPECT_EQ(monitor->NextSkipping({75}).m_code, RC_REPLY_ACCEPTED);
  EXPECT_EQ(monitor->Next().m_code, RC_REPLY_DONE);

  auto self = Login();
  auto machine = engine->GetMachineMap().Find("127.0.0.1");
  ASSERT_TRUE(machine);
  uint32_t number = 0;
  for (const auto& s : machine->GetSessions()) number = std::max(number, s->GetSessionNumber());
  self->Send(76, "127.0.0.1", FormatString("%u", number));
  EXPECT_EQ(self->Next().m_code, RC_REPLY_ACCEPTED);
  EXPECT_EQ(self->Next().m_code, RC_REPLY_DONE);
  EXPECT_TRUE(self->Closed());

  // The monitor sees the session come and go, and no change of it after its end.
  const CString num = FormatString("%u", number);
  bool ended = false;
  for (int i = 0; i < 10 && !ended; ++i) {
    CTLRCPMessage m = monitor->Next();
    if (m.m_text2 != num) continue;
    EXPECT_NE(m.m_code, 75) << "a change announced for an ended session";
    ended = m.m_code == 76;
  }
  EXPECT_TRUE(ended);
  monitor->Send(90);
  for (;;) {
    CTLRCPMessage m = monitor->Next();
    if (m.m_code == RC_REPLY_ACCEPTED) break;
    EXPECT_FALSE(m.m_code == 75 && m.m_text2 == num) << "a ghost session";
  }
}

TEST_F(RCSessionTest, NotificationsOfVanishedObjectsAreDroppedAndTextsAreNoFormats) {
  auto monitor = Login();
  monitor->Send(80);
  EXPECT_EQ(monitor->NextSkipping({75}).m_code, RC_REPLY_ACCEPTED);
  EXPECT_EQ(monitor->Next().m_code, RC_REPLY_DONE);
  // A user changed and deleted before the notification went out: no 24 (with a frame the console
  // would wait for), only the deletion.
  engine->NotifyControllers(24, "nobody", CString(), CString());
  engine->NotifyControllers(71, "10.9.9.9", "Guest", "0");
  engine->NotifyControllers(23, "nobody", CString(), CString());
  CTLRCPMessage m = monitor->NextSkipping({75});
  EXPECT_EQ(m.m_code, 23);
  EXPECT_EQ(m.m_text1, "nobody");

  // A command text from the console is pasted, never formatted.
  CTLRCPMessage request(22, "%n%s%s");
  EXPECT_EQ(GetCommandText(request), "Add user %n%s%s");
  EXPECT_EQ(GetCommandText(CTLRCPMessage(76, "1.2.3.4", "7")), "Terminate session 7 on 1.2.3.4");
}

TEST_F(RCSessionTest, CacheSettingsTravelAndABadUploadChangesNothing) {
  auto cache = engine->GetWWWCache();
  ASSERT_TRUE(cache);
  cache->MaxSize = 1234;
  auto admin = Login();
  admin->Send(130);
  EXPECT_EQ(admin->NextSkipping({75}).m_code, RC_REPLY_ACCEPTED);
  CWWWCache copy;
  LoadBareFrame(ReceiveFramePayload(admin->sock), copy);
  EXPECT_EQ(copy.MaxSize.load(), 1234u);
  EXPECT_EQ(admin->Next().m_code, RC_REPLY_DONE);

  // An upload that is not a cache form changes nothing.
  admin->Send(131);
  EXPECT_EQ(admin->NextSkipping({75}).m_code, RC_REPLY_ACCEPTED);
  CTLRCPMessage notACache(1, "x");
  SendObject(admin->sock, notACache);
  EXPECT_EQ(admin->Next().m_code, RC_REPLY_FAILED);
  EXPECT_EQ(cache->MaxSize.load(), 1234u);
  EXPECT_TRUE(admin->Closed());

  auto again = Login();
  copy.MaxSize = 77;
  again->Send(131);
  EXPECT_EQ(again->NextSkipping({75, 74, 76}).m_code, RC_REPLY_ACCEPTED);
  SendObject(again->sock, copy);
  EXPECT_EQ(again->Next().m_code, RC_REPLY_DONE);
  EXPECT_EQ(cache->MaxSize.load(), 77u);
  // The new settings run at once but are written with the configuration, when a console commits it.
  EXPECT_NE(RegReadDWORD(kCacheKey, "MaxSize", 0), 77u);
  again->Send(RC_REQ_SAVE_CONFIGURATION);
  EXPECT_EQ(again->NextSkipping({75, 74, 76}).m_code, RC_REPLY_ACCEPTED);
  EXPECT_EQ(again->Next().m_code, RC_REPLY_DONE);
  EXPECT_EQ(RegReadDWORD(kCacheKey, "MaxSize", 0), 77u);
}

}  // namespace
