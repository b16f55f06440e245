#include "engine/access/user_db.h"

#include <gtest/gtest.h>

#include <regex>

#include "engine/config/log_file.h"
#include "engine/access/time_filter.h"
#include "engine/config/util.h"
#include "tests/support/registry_fixture.h"
#include "tests/support/test_env.h"

namespace {

class UserDb : public trellis::test::PrivateRegistryTest {
 protected:
  std::string dir_ = trellis::test::MakeTempDir("userdb");
};

// Byte 15 scrambles to 0 when it is a space, 22 when '.', 23 when '0'.
const CString kLongPassword = "abcdefghijklmno pqrstu.0-and-then-some-more-characters";
const CString kEndsInZero = "0123456789abcde ";

CUser FullUser() {
  CUser u("carol", "Carol Smith", kLongPassword, "Accounts");
  u.ClientSendTraffic = 5ull << 30;  // past 32 bits
  u.ClientRecvTraffic = 123456789;
  u.NonClientSendTraffic = 42;
  u.NonClientRecvTraffic = 0xFFFFFFFFull;
  u.TimeOnLine = 86400;
  u.ClientSendTrafficRate = CCurrency::FromUnits(12345);
  u.ClientRecvTrafficRate = CCurrency::FromUnits(1);
  u.NonClientSendTrafficRate = CCurrency::FromUnits(0x123456789ALL);
  u.NonClientRecvTrafficRate = CCurrency::FromUnits(7);
  u.TimeRate = CCurrency::FromUnits(20000);
  u.OpeningBalance = CCurrency::FromUnits(-(3LL << 40));  // negative, beyond 32 bits
  u.ClosingBalance = CCurrency::FromUnits(-1);
  u.AccountEnabled = 0;
  u.UserCannotChangePassword = 1;
  u.UserMustChangePassword = 1;
  u.AuditUser = 1;
  u.AuditOptions = 0x17F;
  return u;
}

void ExpectSameUser(const CUser& a, const CUser& b, bool countersSaturated) {
  EXPECT_EQ(a.Name, b.Name);
  EXPECT_EQ(a.Description, b.Description);
  EXPECT_EQ(a.RealName, b.RealName);
  EXPECT_EQ(a.Password, b.Password);
  EXPECT_EQ(a.ClientSendTraffic, countersSaturated ? 0xFFFFFFFFull : b.ClientSendTraffic);
  EXPECT_EQ(a.ClientRecvTraffic, b.ClientRecvTraffic);
  EXPECT_EQ(a.NonClientSendTraffic, b.NonClientSendTraffic);
  EXPECT_EQ(a.NonClientRecvTraffic, b.NonClientRecvTraffic);
  EXPECT_EQ(a.TimeOnLine, b.TimeOnLine);
  EXPECT_EQ(a.ClientSendTrafficRate, b.ClientSendTrafficRate);
  EXPECT_EQ(a.ClientRecvTrafficRate, b.ClientRecvTrafficRate);
  EXPECT_EQ(a.NonClientSendTrafficRate, b.NonClientSendTrafficRate);
  EXPECT_EQ(a.NonClientRecvTrafficRate, b.NonClientRecvTrafficRate);
  EXPECT_EQ(a.TimeRate, b.TimeRate);
  EXPECT_EQ(a.OpeningBalance, b.OpeningBalance);
  EXPECT_EQ(a.ClosingBalance, b.ClosingBalance);
  EXPECT_EQ(a.AccountEnabled, b.AccountEnabled);
  EXPECT_EQ(a.UserCannotChangePassword, b.UserCannotChangePassword);
  EXPECT_EQ(a.UserMustChangePassword, b.UserMustChangePassword);
  EXPECT_EQ(a.AuditUser, b.AuditUser);
  EXPECT_EQ(a.AuditOptions, b.AuditOptions);
}

TEST_F(UserDb, UserRegistryRoundTripKeepsEveryFieldAndZeroBytes) {
  CUser u = FullUser();
  CString scrambled = kLongPassword;
  ScrambleString(scrambled);
  ASSERT_NE(scrambled.find('\0'), CString::npos);
  ASSERT_TRUE(u.SaveToRegistry("UserDatabase\\carol"));
  EXPECT_EQ(RegReadString("UserDatabase\\carol", "Type", ""), "User");
  EXPECT_EQ(RegReadDWORD("UserDatabase\\carol", "ClientSendTraffic", 0), 0xFFFFFFFFu);  // saturated
  EXPECT_EQ(RegReadDWORD("UserDatabase\\carol", "OpeningBalanceHi", 0), 0xFFFFFD00u);
  EXPECT_EQ(RegReadDWORD("UserDatabase\\carol", "OpeningBalanceLo", 1), 0u);
  CUser r;
  r.LoadFromRegistry("UserDatabase\\carol");
  ExpectSameUser(r, u, true);

  // A scrambled form that ends in a zero byte survives too.
  u.Password = kEndsInZero;
  ASSERT_TRUE(u.SaveToRegistry("UserDatabase\\carol"));
  r.LoadFromRegistry("UserDatabase\\carol");
  EXPECT_EQ(r.Password, kEndsInZero);

  // Missing values load their defaults.
  CUser d;
  d.AccountEnabled = 0;
  d.LoadFromRegistry("UserDatabase\\nobody");
  EXPECT_EQ(d.AccountEnabled, 1u);
  EXPECT_EQ(d.Password, "");
}

TEST_F(UserDb, UserArchiveRoundTripAndRefusals) {
  CUser u = FullUser();
  u.Password = kEndsInZero + kLongPassword;
  CArchive out;
  u.Serialize(out);
  CArchive in(out.Bytes().data(), out.Bytes().size());
  CUser a;
  a.Serialize(in);
  EXPECT_EQ(in.BytesLeft(), 0u);
  ExpectSameUser(a, u, true);
  // An invalid currency keeps its status.
  u.TimeRate = CCurrency::Invalid();
  CArchive out2;
  u.Serialize(out2);
  CArchive in2(out2.Bytes().data(), out2.Bytes().size());
  a.Serialize(in2);
  EXPECT_FALSE(a.TimeRate.IsValid());

  // A stream that breaks off changes nothing; a name that could not be a key is refused.
  CUser keep = FullUser();
  CArchive part(out.Bytes().data(), out.Bytes().size() - 2);
  EXPECT_THROW(keep.Serialize(part), CArchiveException);
  ExpectSameUser(keep, FullUser(), false);
  for (const char* bad : {"", "a\\b", "../etc", "x\ny"}) {
    CUser evil = FullUser();
    evil.Name = bad;
    CArchive e;
    evil.Serialize(e);
    CArchive ein(e.Bytes().data(), e.Bytes().size());
    CUser x;
    EXPECT_THROW(x.Serialize(ein), CArchiveException) << bad;
  }
}

TEST(User, UpdateBalanceTruncatesLikeTheAmountsAndNeverWraps) {
  CUser u;
  u.ClientSendTrafficRate = CCurrency::FromUnits(10000);  // 1.0 per megabyte
  u.ClientSendTraffic = 1572864;
  u.TimeRate = CCurrency::FromUnits(20000);  // 2.0 per hour
  u.TimeOnLine = 5400;
  u.OpeningBalance = CCurrency::FromUnits(100000);
  u.UpdateBalance();
  EXPECT_EQ(u.ClosingBalance.GetUnits(), 100000 - 15000 - 30000);
  // Truncation: 1 byte is 0.0000 megabytes; 1 second at 1.0/h is 0.0002 hours (2.7 truncated).
  CUser t;
  t.ClientRecvTrafficRate = CCurrency::FromUnits(10000);
  t.ClientRecvTraffic = 1;
  t.TimeRate = CCurrency::FromUnits(10000);
  t.TimeOnLine = 1;
  t.UpdateBalance();
  EXPECT_EQ(t.ClosingBalance.GetUnits(), -2);
  // Past 4 GiB the charge keeps counting: 5 GiB at 1.0/MB is 5120.
  CUser big;
  big.NonClientRecvTrafficRate = CCurrency::FromUnits(10000);
  big.NonClientRecvTraffic = 5ull << 30;
  big.UpdateBalance();
  EXPECT_EQ(big.ClosingBalance.GetUnits(), -5120 * 10000LL);
  // A rate that no 64-bit amount can carry gives an invalid balance, not a wrapped one.
  big.NonClientRecvTrafficRate = CCurrency::FromUnits(INT64_MAX);
  big.UpdateBalance();
  EXPECT_FALSE(big.ClosingBalance.IsValid());
}

TEST_F(UserDb, NamesUnfitForKeysAreRefusedAndNeverDeleteTheDatabase) {
  CGroupMemberDatabase db;
  db.CreateBuiltInAccounts();
  ASSERT_TRUE(RegKeyExists("UserDatabase\\Guest"));
  for (const CString& bad : {CString(""), CString("a\\b"), CString("a/b"), CString(256, 'x'), CString("tab\there"),
                             CString("nul\0x", 5)}) {
    EXPECT_FALSE(db.Add(std::make_shared<CUser>(bad, "", "", ""))) << bad;
    EXPECT_FALSE(db.Remove(bad)) << bad;
  }
  EXPECT_TRUE(db.Add(std::make_shared<CUser>(CString(255, 'x'), "", "", "")));
  EXPECT_TRUE(RegKeyExists("UserDatabase\\Guest"));
  EXPECT_TRUE(RegKeyExists("UserDatabase\\Administrators"));
  // A user cannot take the group's place, nor a second spelling of a name join.
  EXPECT_FALSE(db.Add(std::make_shared<CUser>("Administrators", "", "", "")));
  EXPECT_FALSE(db.Add(std::make_shared<CUser>("guest", "", "", "")));
  EXPECT_TRUE(db.FindGroup("Administrators"));
  // Replacing a user by a user works.
  auto guest = std::make_shared<CUser>("Guest", "G", "pw", "new");
  EXPECT_TRUE(db.Add(guest));
  EXPECT_EQ(db.FindUser("Guest"), guest);
  EXPECT_EQ(RegReadString("UserDatabase\\Guest", "RealName", ""), "G");
  EXPECT_TRUE(db.Remove("Guest"));
  EXPECT_FALSE(RegKeyExists("UserDatabase\\Guest"));
  EXPECT_TRUE(RegKeyExists("UserDatabase\\Administrator"));
}

TEST_F(UserDb, BuiltInsSaveLoadAndStaleKeys) {
  CGroupMemberDatabase db;
  db.CreateBuiltInAccounts();
  auto admin = db.FindUser("Administrator");
  ASSERT_TRUE(admin);
  EXPECT_EQ(admin->UserMustChangePassword, 1u);
  EXPECT_EQ(admin->Description, "Built in account for administering this server");
  EXPECT_EQ(db.FindGroup("Users")->GetMembers(), (CGroup::Members{{"Administrator", 0}, {"Guest", 0}}));
  EXPECT_EQ(db.FindGroup("Administrators")->Description, "Members can administer this server");
  EXPECT_EQ(db.FindUser("Guest")->Description, "Built in account for guest access to this server");
  EXPECT_EQ(db.FindGroup("Users")->Description, "Ordinary users");

  admin->ClientSendTraffic = 77;
  ASSERT_TRUE(RegWriteString("UserDatabase\\Leftover", "Type", "User"));
  ASSERT_TRUE(RegWriteString("UserDatabase\\Odd", "Type", "Printer"));
  ASSERT_TRUE(db.SaveAccounts(kUserDatabaseKey));
  EXPECT_EQ(RegReadDWORD("UserDatabase\\Administrator", "ClientSendTraffic", 0), 77u);
  ASSERT_TRUE(db.Save(kUserDatabaseKey));
  EXPECT_FALSE(RegKeyExists("UserDatabase\\Leftover"));
  EXPECT_FALSE(RegKeyExists("UserDatabase\\Odd"));

  // A removed member leaves the saved group too.
  db.FindGroup("Users")->RemoveMember("Guest");
  ASSERT_TRUE(db.Save(kUserDatabaseKey));
  CGroupMemberDatabase r;
  ASSERT_TRUE(RegWriteString("UserDatabase\\Odd", "Type", "Printer"));
  r.Load(kUserDatabaseKey);
  EXPECT_EQ(r.Keys(), (std::vector<CString>{"Administrator", "Administrators", "Guest", "Users"}));
  EXPECT_EQ(r.FindGroup("Users")->GetMembers(), (CGroup::Members{{"Administrator", 0}}));
  EXPECT_EQ(r.FindUser("Administrator")->ClientSendTraffic, 77u);
  EXPECT_TRUE(r.FindGroup("Administrators")->Includes("Administrator"));
}

TEST_F(UserDb, GroupsNestTerminateOnCyclesAndDropMissingMembers) {
  CGroupMemberDatabase db;
  auto a = std::make_shared<CGroup>("A", "");
  auto b = std::make_shared<CGroup>("B", "");
  auto inner = std::make_shared<CGroup>("Inner", "");
  auto bob = std::make_shared<CUser>("bob", "", "", "");
  ASSERT_TRUE(db.Add(a, nullptr));
  ASSERT_TRUE(db.Add(b, nullptr));
  ASSERT_TRUE(db.Add(inner, nullptr));
  ASSERT_TRUE(db.Add(bob, nullptr));
  a->AddMember(*b);
  b->AddMember(*a);  // a cycle
  b->AddMember(*inner);
  inner->AddMember(*bob);
  inner->AddMember(*a);
  EXPECT_EQ(a->GetMembers().at("B"), CGroup::kGroup);
  EXPECT_TRUE(a->Includes("bob"));
  EXPECT_TRUE(b->Includes("Inner"));
  EXPECT_FALSE(a->Includes("Bob"));  // case-sensitive
  EXPECT_FALSE(a->Includes("nobody"));
  EXPECT_TRUE(bob->Includes("bob"));
  EXPECT_FALSE(bob->Includes("BOB"));

  // A member gone from the database is dropped on the next walk; a kind that no longer fits too.
  inner->AddMember("ghost", CGroup::kUser);
  inner->AddMember("bob2", CGroup::kGroup);
  ASSERT_TRUE(db.Add(std::make_shared<CUser>("bob2", "", "", ""), nullptr));
  EXPECT_FALSE(a->Includes("ghost"));
  EXPECT_FALSE(inner->HasMember("ghost"));
  EXPECT_FALSE(inner->HasMember("bob2"));
  EXPECT_TRUE(db.Remove("bob", nullptr));
  EXPECT_FALSE(a->Includes("bob"));
  EXPECT_FALSE(inner->HasMember("bob"));
  EXPECT_FALSE(inner->AddMember("", CGroup::kUser));
  EXPECT_FALSE(inner->AddMember("x", 5));
}

TEST_F(UserDb, DatabaseArchiveRestoresAdministratorAndRefusesBadEntries) {
  CGroupMemberDatabase db;
  db.CreateBuiltInAccounts(nullptr);
  db.FindGroup("Administrators")->RemoveMember("Administrator");
  db.FindUser("Guest")->Password = kLongPassword;
  CArchive out;
  ASSERT_TRUE(db.Store(out));
  CGroupMemberDatabase r;
  CArchive in(out.Bytes().data(), out.Bytes().size());
  ASSERT_TRUE(r.Load(in)) << r.LastLoadError();
  EXPECT_TRUE(r.FindGroup("Administrators")->HasMember("Administrator"));
  EXPECT_EQ(r.FindUser("Guest")->Password, kLongPassword);
  EXPECT_TRUE(r.FindGroup("Users")->Includes("Guest"));  // groups ask their new database

  // Hand-made streams: a time slice is no account, and two spellings of one name cannot share a key.
  auto stream = [](const std::vector<std::shared_ptr<CFilterComponent>>& items) {
    CArchive ar;
    ar << static_cast<uint32_t>(items.size());
    for (const auto& it : items) {
      ar << it->Name << it->GetRuntimeClass()->m_className;
      it->Serialize(ar);
    }
    return ar.TakeBytes();
  };
  auto slice = std::make_shared<CTimeSlice>();
  slice->Name = "Slice";
  const std::vector<std::vector<uint8_t>> streams = {
      stream({slice}), stream({std::make_shared<CUser>("Eve", "", "", ""), std::make_shared<CUser>("eve", "", "", "")})};
  for (const auto& bytes : streams) {
    CGroupMemberDatabase x;
    CArchive xin(bytes.data(), bytes.size());
    EXPECT_FALSE(x.Load(xin));
    EXPECT_LE(x.GetCount(), 1u);
    EXPECT_FALSE(x.Find("Slice"));
  }
}

TEST_F(UserDb, AuditLinesLandInTheDatedFileWithTheirTexts) {
  const std::string auditDir = dir_ + "/audit";
  ASSERT_TRUE(RegWriteString("Settings", kAuditDirectoryValue, auditDir));
  CUser u("dave", "", "", "");
  u.AuditUser = 1;
  u.AuditOptions = 0x1FF & ~4u;  // everything but free text
  u.OpenAuditFile();
  ASSERT_TRUE(u.GetAuditFile());
  EXPECT_EQ(u.GetAuditFile()->GetPath(), auditDir + "/" + CLogFile::FileNameFor("dave", time(nullptr)));

  EXPECT_TRUE(u.Audit(CUser::kAuditLoggedIn, "10.0.0.5", 7));
  EXPECT_TRUE(u.Audit(CUser::kAuditLoggedOut, "10.0.0.5", 7));
  EXPECT_FALSE(u.Audit(CUser::kAuditText, "10.0.0.5", 7, "not audited"));
  EXPECT_TRUE(u.Audit(CUser::kAuditFailedAuthorisation, "10.0.0.5", 7, "GET http://x/"));
  EXPECT_TRUE(u.Audit(CUser::kAuditCreated, "10.0.0.5", 4294967295u, "WWW"));
  EXPECT_TRUE(u.Audit(CUser::kAuditRequested, "10.0.0.5", 7, "http://x/\r\nforged"));
  EXPECT_TRUE(u.AuditTraffic("10.0.0.5", 7, 5ull << 30, 2, 3, 4, 5));
  EXPECT_TRUE(u.Audit(CUser::kAuditTerminated, "10.0.0.5", 7, "exit code 5"));

  const std::regex stamp("^\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\t");
  std::vector<std::string> rest;
  const std::string text = trellis::test::ReadFile(u.GetAuditFile()->GetPath());
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    std::string line = text.substr(pos, end - pos);
    ASSERT_TRUE(std::regex_search(line, stamp)) << line;
    rest.push_back(line.substr(18));
    pos = end + 2;
  }
  EXPECT_EQ(rest, (std::vector<std::string>{
                      "10.0.0.5\t0000000007\tLogged in",
                      "10.0.0.5\t0000000007\tLogged out",
                      "10.0.0.5\t0000000007\tFailed authorisation:\tGET http://x/",
                      "10.0.0.5\t4294967295\tCreated\tWWW",
                      "10.0.0.5\t0000000007\tRequested\thttp://x/  forged",
                      "10.0.0.5\t0000000007\tTraffic\t 5368709120\t2\t3\t4\t5s",
                      "10.0.0.5\t0000000007\tTerminated exit code 5",
                  }));

  // A name that would leave the folder turns auditing off instead of opening anything.
  CUser evil("../escape", "", "", "");
  evil.AuditUser = 1;
  evil.AuditOptions = 0x1FF;
  evil.OpenAuditFile();
  EXPECT_FALSE(evil.GetAuditFile());
  EXPECT_EQ(evil.AuditUser, 0u);
  EXPECT_FALSE(evil.Audit(CUser::kAuditLoggedIn, "1.2.3.4", 1));
}

}  // namespace
