// Mapping rules and the mapping services' settings, with the configuration library alone: each
// condition of a rule, the order rules are tried in, the default, the registry and archive forms
// (rule order after a reload of more than ten rules, scrambled passwords, a cut archive).
#include "engine/proxy/mapping/mapping.h"

#include <gtest/gtest.h>

#include "engine/access/group.h"
#include "engine/access/user.h"
#include "engine/access/user_db.h"
#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/proxy/mapping/mapping_settings.h"
#include "tests/support/registry_fixture.h"

namespace {

using trellis::test::PrivateRegistryTest;

std::vector<uint8_t> Archived(CObject& obj) {
  CArchive ar;
  obj.Serialize(ar);
  return ar.TakeBytes();
}

class MappingTest : public PrivateRegistryTest {
 protected:
  void SetUp() override {
    PrivateRegistryTest::SetUp();
    users.Add(std::make_shared<CUser>("alice", "", "pw", ""), nullptr);
    users.Add(std::make_shared<CUser>("bob", "", "pw", ""), nullptr);
    auto staff = std::make_shared<CGroup>("Staff", "");
    staff->AddMember("alice", CGroup::kUser);
    users.Add(staff, nullptr);
  }
  CMappingRequest Request(const char* user, const char* address) {
    CMappingRequest r;
    r.UserName = user;
    r.ClientAddress = address;
    r.Users = &users;
    r.IsConnectionUp = [this](const CString& entry) { return entry == upEntry; };
    return r;
  }
  CGroupMemberDatabase users;
  CString upEntry = "ISP";
};

TEST_F(MappingTest, EachConditionOnItsOwn) {
  CMapping plain("10.0.0.1", 25);
  EXPECT_TRUE(plain.Match(Request("bob", "192.168.1.5")));
  CMapping disabled = plain;
  disabled.Enabled = 0;
  EXPECT_FALSE(disabled.Match(Request("bob", "192.168.1.5")));

  CMapping dial = plain;
  dial.DialerDependent = 1;
  dial.DUNConnectoid = "ISP";
  EXPECT_TRUE(dial.Match(Request("bob", "192.168.1.5")));
  upEntry = "Other";
  EXPECT_FALSE(dial.Match(Request("bob", "192.168.1.5")));
  CMappingRequest noDialer = Request("bob", "192.168.1.5");
  noDialer.IsConnectionUp = nullptr;
  EXPECT_FALSE(dial.Match(noDialer));

  CMapping user = plain;
  user.SpecifyUser = 1;
  user.UserName = "Staff";
  EXPECT_TRUE(user.Match(Request("alice", "192.168.1.5"))) << "member of the group";
  EXPECT_FALSE(user.Match(Request("bob", "192.168.1.5")));
  user.UserName = "bob";
  EXPECT_TRUE(user.Match(Request("bob", "192.168.1.5"))) << "the user itself";
  user.UserName = "nobody";
  EXPECT_FALSE(user.Match(Request("nobody", "192.168.1.5"))) << "an unknown name never matches";

  CMapping where = plain;
  where.SpecifyLocation = 1;
  EXPECT_FALSE(where.Match(Request("bob", "192.168.1.5"))) << "no included pattern: no match";
  where.IncludedLocations = {"192.168.1.?"};
  EXPECT_TRUE(where.Match(Request("bob", "192.168.1.5")));
  EXPECT_FALSE(where.Match(Request("bob", "192.168.1.15")));
  where.IncludedLocations = {"192.168.1.*"};
  where.ExcludedLocations = {"192.168.1.1?"};
  EXPECT_TRUE(where.Match(Request("bob", "192.168.1.5")));
  EXPECT_FALSE(where.Match(Request("bob", "192.168.1.12")));
  EXPECT_TRUE(where.Match(Request("bob", "192.168.1.120")));
  where.ExcludedLocations = {"not a pattern"};
  EXPECT_FALSE(where.Match(Request("bob", "192.168.1.5"))) << "a broken exclusion excludes";
}

TEST_F(MappingTest, ResolveTakesTheFirstMatchThenTheDefault) {
  CMappings m;
  auto a = std::make_shared<CMapping>("a.example", 1);
  a->SpecifyUser = 1;
  a->UserName = "Staff";
  m.AddMapping(a);
  m.AddMapping(std::make_shared<CMapping>("b.example", 2));
  m.AddMapping(std::make_shared<CMapping>("c.example", 3));
  m.Default = CHostPort("d.example", 4);
  CHostPort dest;
  ASSERT_TRUE(m.Resolve(Request("alice", "10.0.0.1"), dest));
  EXPECT_EQ(dest, CHostPort("a.example", 1));
  ASSERT_TRUE(m.Resolve(Request("bob", "10.0.0.1"), dest));
  EXPECT_EQ(dest, CHostPort("b.example", 2)) << "the earlier of two matching rules wins";

  CMappings onlyDefault;
  onlyDefault.Default = CHostPort("d.example", 4);
  ASSERT_TRUE(onlyDefault.Resolve(Request("bob", "10.0.0.1"), dest));
  EXPECT_EQ(dest, CHostPort("d.example", 4));
  onlyDefault.AllowDefault = 0;
  EXPECT_FALSE(onlyDefault.Resolve(Request("bob", "10.0.0.1"), dest));

  // A rule whose test throws refuses: neither a later rule nor the default is taken.
  CMappings broken;
  auto dial = std::make_shared<CMapping>("x", 1);
  dial->DialerDependent = 1;
  broken.AddMapping(dial);
  broken.AddMapping(std::make_shared<CMapping>("y", 2));
  broken.Default = CHostPort("d", 3);
  CMappingRequest r = Request("bob", "10.0.0.1");
  r.IsConnectionUp = [](const CString&) -> bool { throw std::runtime_error("dialer gone"); };
  dest = CHostPort();
  EXPECT_FALSE(broken.Resolve(r, dest));
  EXPECT_EQ(dest, CHostPort());
}

TEST_F(MappingTest, TwelveRulesKeepTheirOrderThroughTheRegistry) {
  CMappings m;
  m.AllowDefault = 0;
  m.Default = CHostPort("default.example", 99);
  for (uint32_t i = 0; i < 12; ++i) {
    auto rule = std::make_shared<CMapping>(FormatString("host%u", i), 1000 + i);
    rule->SpecifyLocation = i % 2;
    rule->IncludedLocations = {"10.?.0.1", "192.168.*"};
    rule->ExcludedLocations = {"10.1.0.1"};
    rule->UserName = "Staff";
    rule->DUNConnectoid = "ISP";
    m.AddMapping(rule);
  }
  ASSERT_TRUE(m.Save("Services\\X\\Mappings"));
  EXPECT_TRUE(RegValueExists("Services\\X\\Mappings\\Mapping10\\IncludedLocations", "10.?.0.1"));
  CMappings back;
  back.Load("Services\\X\\Mappings");
  EXPECT_EQ(back.AllowDefault, 0u);
  EXPECT_EQ(back.Default, CHostPort("default.example", 99));
  auto rules = back.GetMappings();
  ASSERT_EQ(rules.size(), 12u);
  for (uint32_t i = 0; i < 12; ++i) EXPECT_EQ(rules[i]->Destination.Host, FormatString("host%u", i));
  EXPECT_EQ(Archived(back), Archived(m));

  // A list saved shorter leaves no old rule behind.
  CMappings two;
  two.AddMapping(std::make_shared<CMapping>("only", 1));
  ASSERT_TRUE(two.Save("Services\\X\\Mappings"));
  back.Load("Services\\X\\Mappings");
  EXPECT_EQ(back.GetMappings().size(), 1u);
  EXPECT_EQ(back.AllowDefault, 1u);
}

TEST_F(MappingTest, ArchiveRoundTripAndACutArchiveChangesNothing) {
  CMappings m;
  m.Default = CHostPort("d", 4);
  auto rule = std::make_shared<CMapping>("a", 1);
  rule->SpecifyUser = 1;
  rule->UserName = "bob";
  rule->IncludedLocations = {"1.2.3.?"};
  m.AddMapping(rule);
  auto bytes = Archived(m);
  // Byte form of one rule: Enabled, SpecifyUser, SpecifyLocation, then the user name.
  CMappings copy;
  CArchive in(bytes.data(), bytes.size());
  copy.Serialize(in);
  EXPECT_EQ(in.BytesLeft(), 0u);
  EXPECT_EQ(Archived(copy), bytes);
  ASSERT_EQ(copy.GetMappings().size(), 1u);
  EXPECT_EQ(copy.GetMappings()[0]->IncludedLocations, std::vector<CString>{"1.2.3.?"});

  for (size_t cut = 1; cut < bytes.size(); cut += 3) {
    CMappings victim;
    victim.AddMapping(std::make_shared<CMapping>("kept", 7));
    CArchive part(bytes.data(), cut);
    EXPECT_THROW(victim.Serialize(part), CArchiveException) << cut;
    ASSERT_EQ(victim.GetMappings().size(), 1u) << cut;
    EXPECT_EQ(victim.GetMappings()[0]->Destination, CHostPort("kept", 7));
    EXPECT_EQ(victim.Default, CHostPort()) << cut;
  }
  // A pattern count beyond what the bytes can hold is refused before anything is allocated.
  CArchive huge;
  huge << uint32_t{1} << uint32_t{0} << uint32_t{0} << CString() << uint32_t{0} << CString() << CString("h")
       << uint32_t{1};
  huge.WriteCount(0x7FFFFFF);
  auto hb = huge.TakeBytes();
  CMapping victim;
  CArchive hin(hb.data(), hb.size());
  EXPECT_THROW(victim.Serialize(hin), CArchiveException);
}

TEST_F(MappingTest, TCPMappingLinkValuesAreStoredInOrderWithScrambledPasswords) {
  CTCPMappingServiceSettings s;
  EXPECT_EQ(s.PortNumber, 0u);
  EXPECT_EQ(s.GetName(), "TCP Mapping service");
  EXPECT_EQ(s.ConnectMethodsOffered, static_cast<uint32_t>(CONNECT_SOCKS4 | CONNECT_HTTP_TUNNEL));
  EXPECT_TRUE(s.HasMappings());
  EXPECT_FALSE(s.HasNonProxySettings());
  s.SetName("M");
  s.SpecifyUserForIncomingConnection = 1;
  s.EncryptConnectionsIn = 1;
  s.UsernameIn = "peer";
  s.PasswordIn = "secret-in";
  s.EncryptConnectionsOut = 1;
  s.UsernameOut = "me";
  s.PasswordOut = "secret-out";
  s.Mappings->AddMapping(std::make_shared<CMapping>("a", 1));
  ASSERT_TRUE(s.SaveSettings("Services\\M"));
  CString stored = RegReadString("Services\\M", "PasswordIn", "");
  EXPECT_NE(stored, "secret-in");
  ScrambleString(stored);
  EXPECT_EQ(stored, "secret-in");
  EXPECT_EQ(RegReadString("Services\\M\\Mappings\\Mapping0", "Host", ""), "a");

  CTCPMappingServiceSettings back;
  back.LoadSettings("Services\\M");
  EXPECT_EQ(back.PasswordIn, "secret-in");
  EXPECT_EQ(back.PasswordOut, "secret-out");
  EXPECT_EQ(back.Mappings->GetMappings().size(), 1u);
  auto bytes = Archived(back);
  EXPECT_EQ(bytes, Archived(s));

  // The archive ends with the seven link values, the flag of a fixed user before the one of
  // ciphering and the passwords scrambled.
  CArchive tail;
  CString in = "secret-in", out = "secret-out";
  ScrambleString(in);
  ScrambleString(out);
  tail << uint32_t{1} << uint32_t{1} << CString("peer") << in << uint32_t{1} << CString("me") << out;
  auto t = tail.TakeBytes();
  ASSERT_GE(bytes.size(), t.size());
  EXPECT_TRUE(std::equal(t.begin(), t.end(), bytes.end() - t.size()));
}

}  // namespace
