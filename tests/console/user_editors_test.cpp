// The editor framework and the user and group editors without a display: field parsing with its
// texts, clones, the pages' rules and checks with their exact texts, the sheet's all-or-nothing
// OK over the mirror, and then a new user made through the Edit User sheet's logic against the
// real engine, read back from the engine's user database after a restart.
#include "console/dialogs/access/user_editors.h"

#include <gtest/gtest.h>

#include <deque>

#include "console/model/console_texts.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/engine_process.h"

namespace trellis::test {
namespace {

// Message boxes recorded; questions answered from a script (No when it runs out).
struct ScriptedUserDialogs : UserDialogs {
  std::optional<CString> ConfirmPassword(const CString& typed) override {
    asked.push_back(typed);
    return answer;
  }
  std::vector<CString> asked;
  std::optional<CString> answer;
};

TEST(EditorFramework, FieldsParseWithTheConsolesTextsAndClonesAreWholeAndIndependent) {
  EXPECT_EQ(ParseUnsigned(" 42 ", 0, 100), 42u);
  EXPECT_FALSE(ParseUnsigned("", 0, 100));
  EXPECT_FALSE(ParseUnsigned("-1", 0, 100));
  EXPECT_FALSE(ParseUnsigned("4x", 0, 100));
  EXPECT_FALSE(ParseUnsigned("99999999999999999999999", 0, UINT64_MAX));
  uint64_t v = 0;
  FieldError e;
  EXPECT_FALSE(ReadUnsigned("0", 1068, 1, 65535, &v, &e));
  EXPECT_EQ(e.control, 1068);
  EXPECT_EQ(e.text, "Please enter an integer between 1 and 65535.");
  EXPECT_FALSE(ReadUnsigned("abc", 1068, 1, 65535, &v, &e));
  EXPECT_EQ(e.text, kTextEnterPositiveInteger);
  EXPECT_TRUE(ReadUnsigned("8080", 1068, 1, 65535, &v, &e));
  EXPECT_EQ(v, 8080u);

  EXPECT_EQ(ParseCurrency("1.5")->GetUnits(), 15000);
  EXPECT_EQ(ParseCurrency("-12.0001")->GetUnits(), -120001);
  EXPECT_EQ(ParseCurrency("3")->GetUnits(), 30000);
  EXPECT_EQ(ParseCurrency(".5")->GetUnits(), 5000);
  for (const char* bad : {"", "-", "1.23456", "1..2", "1,5", "99999999999999999999"})
    EXPECT_FALSE(ParseCurrency(bad)) << bad;
  // Every amount the page shows reads back as itself.
  for (int64_t units : {0ll, 1ll, -1ll, 15000ll, -123456789ll, 922337203685477ll})
    EXPECT_EQ(ParseCurrency(CCurrency::FromUnits(units).Format())->GetUnits(), units) << units;

  ScriptedPrompter p;
  for (const char* bad : {"", "a\\b", "a/b", "tab\there"}) EXPECT_FALSE(CheckObjectName(bad, p)) << bad;
  EXPECT_TRUE(CheckObjectName(std::string(255, 'x'), p));
  EXPECT_FALSE(CheckObjectName(std::string(256, 'x'), p));
  ASSERT_EQ(p.boxes.size(), 5u);
  EXPECT_EQ(p.boxes[0].title, kTitleInvalidName);
  EXPECT_EQ(p.boxes[0].style, EDITOR_MB_STOP);

  CUser u("bob", "Bob B", "pw", "desc");
  u.ClientSendTraffic = 77;
  u.TimeRate = CCurrency::FromUnits(25000);
  auto copy = Clone(u);
  EXPECT_EQ(ArchiveBytes(*copy), ArchiveBytes(u));
  copy->RealName = "changed";
  EXPECT_EQ(u.RealName, "Bob B");
  CGroup g("team", "the team");
  g.AddMember("bob", CGroup::kUser);
  EXPECT_TRUE(Clone(g)->HasMember("bob"));
}

class UserEditorsOffline : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<CLookoutClient>(ui, loop.Poster());
    auto& db = *client->EditMirrors().users;
    db.CreateBuiltInAccounts(nullptr);
    auto bob = std::make_shared<CUser>("bob", "Bob B", "pw", "a user");
    bob->ClientSendTraffic = 1572864;
    bob->ClientSendTrafficRate = CCurrency::FromUnits(10000);
    bob->TimeOnLine = 5400;
    bob->TimeRate = CCurrency::FromUnits(20000);
    bob->OpeningBalance = CCurrency::FromUnits(100000);
    bob->AuditUser = 1;
    bob->AuditOptions = 1 | 8 | 256 | 1024;  // 1024: a bit without a check box
    bob->UserCannotChangePassword = 1;
    ASSERT_TRUE(db.Add(bob, nullptr));
    db.FindGroup("Users")->AddMember("bob", CGroup::kUser);
  }
  std::vector<uint8_t> Bytes(const CString& name) { return ArchiveBytes(*client->Mirrors().users->Find(name)); }

  TestLoop loop;
  RecordingUi ui;
  std::unique_ptr<CLookoutClient> client;
  ScriptedPrompter prompter;
  ScriptedUserDialogs dialogs;
};

TEST_F(UserEditorsOffline, PagesLoadTheirRulesAndOkWithoutChangesKeepsTheUsersBytes) {
  const auto before = Bytes("bob");
  const auto usersBefore = Bytes("Users");
  EditUserSheet sheet(*client, "bob", dialogs);
  EXPECT_TRUE(sheet.Existing());
  EXPECT_EQ(sheet.Title(), "Properties for user bob");
  // User Info: name fixed for an existing user; the two password flags exclude each other.
  ControlStates s = sheet.info.States();
  EXPECT_FALSE(s[UserInfoPage::NAME].enabled);
  EXPECT_TRUE(s[UserInfoPage::CANNOT_CHANGE].enabled);
  EXPECT_FALSE(s[UserInfoPage::MUST_CHANGE].enabled);
  sheet.info.cannotChange = false;
  sheet.info.mustChange = true;
  s = sheet.info.States();
  EXPECT_FALSE(s[UserInfoPage::CANNOT_CHANGE].enabled);
  EXPECT_TRUE(s[UserInfoPage::MUST_CHANGE].enabled);
  sheet.info.cannotChange = true;
  sheet.info.mustChange = false;
  // Groups: direct membership.
  ASSERT_EQ(sheet.groups.memberOf.size(), 1u);
  EXPECT_EQ(sheet.groups.memberOf[0].name, "Users");
  EXPECT_FALSE(sheet.groups.changed);
  // Accounting: 1,572,864 bytes at 1.0000 a megabyte is 1.5; 5,400 s at 2.0000 an hour is 3.
  EXPECT_EQ(sheet.accounting.subtotal[0].GetUnits(), 15000);
  EXPECT_EQ(sheet.accounting.subtotal[4].GetUnits(), 30000);
  EXPECT_EQ(sheet.accounting.total.GetUnits(), 45000);
  EXPECT_EQ(sheet.accounting.closing.GetUnits(), 100000 - 45000);
  // Auditing: the check boxes follow the radio.
  for (const auto& [id, bit] : AuditingPage::kBits) EXPECT_TRUE(sheet.auditing.States()[id].enabled) << id;
  sheet.auditing.audit = false;
  for (const auto& [id, bit] : AuditingPage::kBits) EXPECT_FALSE(sheet.auditing.States()[id].enabled) << id;
  sheet.auditing.audit = true;

  EXPECT_EQ(sheet.Ok(prompter), -1);
  EXPECT_TRUE(prompter.boxes.empty());
  EXPECT_EQ(Bytes("bob"), before);
  EXPECT_EQ(Bytes("Users"), usersBefore);
  // Off-line nothing goes out.
  EXPECT_EQ(client->OutstandingRequests(), 0u);
}

TEST_F(UserEditorsOffline, ARefusedPageLeavesTheMirrorAsItWasAndTheConfirmationDecidesThePassword) {
  const auto before = Bytes("bob");
  EditUserSheet sheet(*client, "bob", dialogs);
  sheet.info.realName = "Robert";
  sheet.auditing.options = 2;
  sheet.accounting.Reset();
  // Typed twice differently; Cancel on Confirm Password keeps the sheet open and writes nothing.
  sheet.info.password = "new1";
  sheet.info.confirm = "new2";
  EXPECT_EQ(sheet.Ok(prompter), 0);
  ASSERT_EQ(dialogs.asked, std::vector<CString>{"new1"});
  EXPECT_EQ(Bytes("bob"), before);
  EXPECT_EQ(sheet.info.password, "new1");
  // Reset changed the page only.
  EXPECT_EQ(client->Mirrors().users->FindUser("bob")->ClientSendTraffic, 1572864u);

  // Confirmed: everything is written at once.
  dialogs.answer = "new1";
  EXPECT_EQ(sheet.Ok(prompter), -1);
  auto bob = client->Mirrors().users->FindUser("bob");
  EXPECT_EQ(bob->RealName, "Robert");
  EXPECT_EQ(bob->Password, "new1");
  EXPECT_EQ(bob->AuditOptions, 2u);
  EXPECT_EQ(bob->ClientSendTraffic, 0u);
  EXPECT_EQ(bob->OpeningBalance.GetUnits(), 0);
  EXPECT_EQ(bob->ClosingBalance.GetUnits(), 0);
  EXPECT_TRUE(ui.HasView(VIEW_TREE_UPDATE, RC_NOTIFY_USER_CHANGED, "bob"));

  // Confirm Password's own OK beeps on a mismatch.
  EXPECT_FALSE(AcceptConfirmPassword("a", "b", prompter));
  EXPECT_TRUE(AcceptConfirmPassword("a", "a", prompter));
  EXPECT_EQ(prompter.beeps, 1);
}

TEST_F(UserEditorsOffline, CountersTheOperatorLeftAloneTakeTheEnginesNewerFigures) {
  EditUserSheet sheet(*client, "bob", dialogs);
  sheet.accounting.rate[1] = CCurrency::FromUnits(5000);  // the operator changes one rate
  // Meanwhile the engine credited traffic (a notification replaced the mirror's user).
  auto newer = Clone(*client->Mirrors().users->FindUser("bob"));
  newer->ClientSendTraffic = 3 * 1048576;
  newer->TimeOnLine = 7200;
  ASSERT_TRUE(client->EditMirrors().users->Add(newer, nullptr));
  sheet.CountersChanged();
  EXPECT_EQ(sheet.accounting.quantity[0], 3u * 1048576);
  EXPECT_EQ(sheet.accounting.subtotal[0].GetUnits(), 30000);
  EXPECT_EQ(sheet.accounting.rate[1].GetUnits(), 5000);
  // And a newer figure that arrives after the page was last refreshed is kept too.
  auto newest = Clone(*newer);
  newest->NonClientRecvTraffic = 999;
  ASSERT_TRUE(client->EditMirrors().users->Add(newest, nullptr));
  EXPECT_EQ(sheet.Ok(prompter), -1);
  auto bob = client->Mirrors().users->FindUser("bob");
  EXPECT_EQ(bob->ClientSendTraffic, 3u * 1048576);
  EXPECT_EQ(bob->NonClientRecvTraffic, 999u);
  EXPECT_EQ(bob->ClientRecvTrafficRate.GetUnits(), 5000);
}

TEST_F(UserEditorsOffline, NewUsersAndGroupsAreCheckedAgainstEveryNameAndKeptOffline) {
  EditUserSheet sheet(*client, "", dialogs);
  EXPECT_FALSE(sheet.Existing());
  EXPECT_EQ(sheet.Title(), kTitleNewUser);
  EXPECT_TRUE(sheet.info.States()[UserInfoPage::NAME].enabled);
  // "Users" is listed as a member already.
  ASSERT_EQ(sheet.groups.memberOf.size(), 1u);
  EXPECT_EQ(sheet.groups.memberOf[0].name, kBuiltInUsersGroup);
  EXPECT_TRUE(sheet.groups.changed);

  // A group's name, or a user's in another letter case, would replace that entry in the engine.
  for (const char* taken : {"Administrators", "BOB"}) {
    sheet.info.name = taken;
    EXPECT_EQ(sheet.Ok(prompter), 0) << taken;
    ASSERT_FALSE(prompter.boxes.empty());
    EXPECT_EQ(prompter.boxes.back().title, kTitleUserNameConflict);
    EXPECT_EQ(prompter.boxes.back().text, kTextChooseAnotherUserName);
  }
  sheet.info.name = "";
  EXPECT_EQ(sheet.Ok(prompter), 0);
  EXPECT_EQ(prompter.boxes.back().title, kTitleInvalidName);
  EXPECT_EQ(client->Mirrors().users->GetCount(), 5u);

  sheet.info.name = "carol";
  sheet.info.password = sheet.info.confirm = "pw";
  // Also into Administrators, out of nothing else.
  sheet.groups.Move(false, 0);
  ASSERT_EQ(sheet.groups.memberOf.size(), 2u);
  ui.views.clear();
  EXPECT_EQ(sheet.Ok(prompter), -1);
  // The user first, then exactly the groups whose members changed, in the page's order.
  std::vector<CString> entered;
  for (const auto& v : ui.views)
    if (v.category == VIEW_TREE_UPDATE &&
        (v.event.code == RC_NOTIFY_USER_ADDED || v.event.code == RC_NOTIFY_GROUP_CHANGED))
      entered.push_back(v.event.name);
  EXPECT_EQ(entered, (std::vector<CString>{"carol", "Users", "Administrators"}));
  auto carol = client->Mirrors().users->FindUser("carol");
  ASSERT_TRUE(carol);
  EXPECT_EQ(carol->Password, "pw");
  EXPECT_TRUE(client->Mirrors().users->FindGroup("Users")->HasMember("carol"));
  EXPECT_TRUE(client->Mirrors().users->FindGroup("Administrators")->HasMember("carol"));
  EXPECT_TRUE(ui.HasView(VIEW_TREE_UPDATE, RC_NOTIFY_USER_ADDED, "carol"));

  // New Group: unique among users and groups; its members are users the mirror holds.
  GroupDialog add(*client, "");
  EXPECT_TRUE(add.States()[GroupDialog::NAME].enabled);
  add.name = "carol";
  EXPECT_FALSE(add.Ok(prompter));
  EXPECT_EQ(prompter.boxes.back().text, kTextGroupNameNotUnique);
  add.name = "staff";
  add.description = "the staff";
  for (size_t i = 0; i < add.nonMembers.size(); ++i)
    if (add.nonMembers[i].name == "bob") add.Move(false, i);
  EXPECT_TRUE(add.Ok(prompter));
  auto staff = client->Mirrors().users->FindGroup("staff");
  ASSERT_TRUE(staff);
  EXPECT_EQ(staff->GetMembers(), (CGroup::Members{{"bob", CGroup::kUser}}));
  EXPECT_TRUE(ui.HasView(VIEW_TREE_UPDATE, RC_NOTIFY_GROUP_ADDED, "staff"));

  // Edit Group: Administrator stays in Administrators (the engine would put it back).
  GroupDialog admins(*client, "Administrators");
  EXPECT_FALSE(admins.States()[GroupDialog::NAME].enabled);
  for (size_t i = admins.members.size(); i-- > 0;) admins.Move(true, i);
  ASSERT_EQ(admins.members.size(), 1u);
  EXPECT_EQ(admins.members[0].name, "Administrator");
  admins.description = "changed";
  EXPECT_TRUE(admins.Ok(prompter));
  auto g = client->Mirrors().users->FindGroup("Administrators");
  EXPECT_TRUE(g->HasMember("Administrator"));
  EXPECT_FALSE(g->HasMember("carol"));
  EXPECT_EQ(g->Description, "changed");
}

// ---- Against the real engine ------------------------------------------------------------------------

class UserEditorsAgainstEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string log;
    ASSERT_TRUE(engine.Start(&log)) << log;
    client = std::make_unique<CLookoutClient>(ui, loop.Poster());
    ASSERT_EQ(FirstAdminLogIn(*client, ui, loop, engine.rcPort, RC_REQ_GET_USERS), "");
  }
  void TearDown() override {
    if (client) {
      EXPECT_TRUE(client->Stop(5000));
    }
    engine.Stop();
  }
  bool Done() { return client->OutstandingRequests() == 0; }

  EngineProcess engine;
  TestLoop loop;
  RecordingUi ui;
  std::unique_ptr<CLookoutClient> client;
  ScriptedPrompter prompter;
  ScriptedUserDialogs dialogs;
};

TEST_F(UserEditorsAgainstEngine, ANewUserFromTheSheetLogsInAndStaysInTheEnginesDatabaseAcrossARestart) {
  const size_t boxesBefore = ui.boxes.size();
  EditUserSheet sheet(*client, "", dialogs);
  sheet.info.name = "dave";
  sheet.info.realName = "Dave D";
  sheet.info.password = sheet.info.confirm = "dave-pw";
  for (size_t i = 0; i < sheet.groups.notMemberOf.size(); ++i)
    if (sheet.groups.notMemberOf[i].name == "Administrators") sheet.groups.Move(false, i);
  sheet.auditing.audit = true;
  sheet.auditing.options = 1 | 2;
  ASSERT_EQ(sheet.Ok(prompter), -1);
  ASSERT_TRUE(loop.RunUntil([&] { return Done(); }));
  EXPECT_EQ(ui.boxes.size(), boxesBefore);

  // Then an edit of the existing user: a new real name, its password left alone...
  EditUserSheet edit(*client, "dave", dialogs);
  EXPECT_TRUE(edit.info.password.empty());
  edit.info.realName = "David";
  ASSERT_EQ(edit.Ok(prompter), -1);
  ASSERT_TRUE(loop.RunUntil([&] { return Done(); }));
  EXPECT_EQ(ui.boxes.size(), boxesBefore);
  // ...and one that changes it, typed twice.
  EditUserSheet password(*client, "dave", dialogs);
  password.info.password = password.info.confirm = "dave-pw2";
  ASSERT_EQ(password.Ok(prompter), -1);
  ASSERT_TRUE(loop.RunUntil([&] { return Done(); }));
  EXPECT_EQ(ui.boxes.size(), boxesBefore);

  // A new group with dave in it (25), and Guest taken into Users by Edit Group (27).
  GroupDialog group(*client, "");
  group.name = "auditors";
  group.description = "who reads the audits";
  for (size_t i = 0; i < group.nonMembers.size(); ++i)
    if (group.nonMembers[i].name == "dave") group.Move(false, i);
  ASSERT_TRUE(group.Ok(prompter));
  ASSERT_TRUE(loop.RunUntil([&] { return Done(); }));
  EXPECT_EQ(ui.boxes.size(), boxesBefore);

  client->Request(RC_REQ_SAVE_CONFIGURATION);
  ASSERT_TRUE(loop.RunUntil([&] { return Done(); }));
  ASSERT_TRUE(client->Stop(5000));
  client.reset();
  std::string log;
  ASSERT_TRUE(engine.Restart(&log)) << log;

  // The engine kept the user, its new password and its groups: dave logs in as a console.
  trellis::test::FreshConsole afterRestart;
  ASSERT_TRUE(afterRestart.LogIn(engine.rcPort, "dave", "dave-pw2", RC_REQ_GET_USERS));
  CLookoutClient& dave = afterRestart.client;
  auto user = dave.Mirrors().users->FindUser("dave");
  ASSERT_TRUE(user);
  EXPECT_EQ(user->RealName, "David");
  EXPECT_EQ(user->AuditUser, 1u);
  EXPECT_EQ(user->AuditOptions, 3u);
  EXPECT_TRUE(dave.Mirrors().users->FindGroup("Administrators")->HasMember("dave"));
  EXPECT_TRUE(dave.Mirrors().users->FindGroup("Users")->HasMember("dave"));
  auto auditors = dave.Mirrors().users->FindGroup("auditors");
  ASSERT_TRUE(auditors);
  EXPECT_EQ(auditors->Description, "who reads the audits");
  EXPECT_EQ(auditors->GetMembers(), (CGroup::Members{{"dave", CGroup::kUser}}));
  EXPECT_TRUE(dave.Stop(5000));
}

}  // namespace
}  // namespace trellis::test
