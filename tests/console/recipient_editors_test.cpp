// The recipient editors' logic without a display: the recipient sheet's page set by service kind
// and right type, each page's rules, questions and writes (an untouched page writes nothing, a
// refusal anywhere writes nothing, the caller's recipient is never touched), the Time Slice
// dialog's checks, and the System Policies dialog asking every question before anything is written;
// then system rights edited through it against the real engine and read back from the engine.
#include "console/dialogs/access/recipient_editors.h"

#include <gtest/gtest.h>

#include <deque>

#include "console/dialogs/access/system_policies.h"
#include "console/dialogs/core/service_sheet.h"
#include "console/model/list_images.h"
#include "console/model/lookout_client.h"
#include "engine/access/group.h"
#include "engine/access/user.h"
#include "engine/proxy/www/www_settings.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/engine_process.h"

namespace trellis::test {
namespace {

constexpr uint32_t kAsk = EDITOR_MB_STOP | EDITOR_MB_DEFAULT_NO;

RecipientSheetContext Principals() { return {{{"alice", "Alice", false}, {"Staff", "the staff", true}}, {}}; }

std::shared_ptr<CTimeSlice> Weekdays(int fromHour, int toHour) {
  auto s = std::make_shared<CTimeSlice>();
  s->EveryWhat = CTimeSlice::kWeekdays;
  s->CheckTime = 1;
  s->StartTime = WithTimeOfDay(CDateTime(), fromHour * 3600);
  s->EndTime = WithTimeOfDay(CDateTime(), toHour * 3600);
  return s;
}

// A recipient with something on every page.
std::shared_ptr<CRecipient> Restricted() {
  auto r = std::make_shared<CRecipient>("Staff");
  r->MinimumSecurityLevel = 1;
  r->SpecifyLocation = 1;
  r->IncludedLocations = {"10.*.*.*", "127.0.0.1"};
  r->ExcludedLocations = {"10.0.0.7"};
  r->SpecifyTime = 1;
  r->TimeFilter.AddInclusion(Weekdays(8, 18));
  return r;
}

TEST(RecipientSheet, PagesFollowTheServiceKindAndTheRightType) {
  using V = std::vector<int>;
  const V all{RECIPIENT_PAGE_USER, RECIPIENT_PAGE_LOCATION, RECIPIENT_PAGE_TIME, RECIPIENT_PAGE_BAN,
              RECIPIENT_PAGE_ADVANCED};
  const V noBan{RECIPIENT_PAGE_USER, RECIPIENT_PAGE_LOCATION, RECIPIENT_PAGE_TIME, RECIPIENT_PAGE_ADVANCED};
  const V plain{RECIPIENT_PAGE_USER, RECIPIENT_PAGE_LOCATION, RECIPIENT_PAGE_TIME};
  const V dhcpAccess{RECIPIENT_PAGE_TIME, RECIPIENT_PAGE_ADVANCED};
  struct Row {
    uint32_t kind;
    V byType[4];
  };
  const Row table[] = {
      {SERVICE_KIND_NONE, {noBan, plain, plain, plain}},
      {SERVICE_KIND_WWW, {all, plain, plain, plain}},
      {SERVICE_KIND_DNS, {noBan, plain, plain, plain}},
      {SERVICE_KIND_DHCP, {dhcpAccess, plain, plain, plain}},
  };
  for (const Row& row : table)
    for (int32_t type = 0; type < 4; ++type)
      EXPECT_EQ(RecipientPageSet(row.kind, type), row.byType[type]) << "kind " << row.kind << " type " << type;

  // The sheet offers logic for the pages it has; the others stay for their builders.
  RecipientSheet www(nullptr, SERVICE_KIND_WWW, kRightAccess);
  EXPECT_EQ(www.Pages(), all);
  EXPECT_TRUE(www.Page(RECIPIENT_PAGE_USER));
  EXPECT_FALSE(www.Page(RECIPIENT_PAGE_BAN));
  RecipientSheet dhcp(nullptr, SERVICE_KIND_DHCP, kRightAccess);
  EXPECT_FALSE(dhcp.Page(RECIPIENT_PAGE_USER));
  EXPECT_TRUE(dhcp.Page(RECIPIENT_PAGE_TIME));

  EXPECT_EQ(www.Title(), "Properties for new recipient");
  auto staff = Restricted();
  EXPECT_EQ(RecipientSheet(staff.get(), SERVICE_KIND_WWW, kRightEdit).Title(), "Properties for recipient Staff");
}

TEST(RecipientSheet, OkWithoutChangesKeepsTheBytesAndNeverTouchesTheCallersRecipient) {
  ScriptedPrompter prompter;
  for (auto original : {Restricted(), std::make_shared<CRecipient>()}) {
    // An unusable setting stored earlier is not asked about while its page is left alone.
    original->SpecifyLocation = 1;
    original->IncludedLocations.clear();
    const auto before = ArchiveBytes(*original);
    RecipientSheet sheet(original.get(), SERVICE_KIND_WWW, kRightAccess, Principals());
    auto result = sheet.Ok(prompter);
    ASSERT_TRUE(result);
    EXPECT_EQ(ArchiveBytes(*result), before);
    EXPECT_NE(result.get(), original.get());
  }
  EXPECT_TRUE(prompter.boxes.empty());

  // Every page changed, then OK: the caller's object keeps its bytes, the result has the changes.
  auto original = Restricted();
  const auto before = ArchiveBytes(*original);
  RecipientSheet sheet(original.get(), SERVICE_KIND_WWW, kRightAccess, Principals());
  sheet.user.level = 2;
  sheet.location.SetSpecify(false);
  sheet.time.Remove(false, 0);
  sheet.time.SetSpecify(false);
  auto result = sheet.Ok(prompter);
  ASSERT_TRUE(result);
  EXPECT_EQ(ArchiveBytes(*original), before);
  EXPECT_EQ(result->MinimumSecurityLevel, 2);
  EXPECT_EQ(result->SpecifyLocation, 0u);
  EXPECT_EQ(result->IncludedLocations, original->IncludedLocations);  // the lists stay for later
  EXPECT_EQ(result->SpecifyTime, 0u);
  EXPECT_TRUE(result->TimeFilter.Inclusions.IsEmpty());
  EXPECT_EQ(original->TimeFilter.Inclusions.GetCount(), 1u);
  EXPECT_EQ(result->UserName, "Staff");  // an existing recipient keeps who it is
}

TEST(RecipientSheet, TheRecipientPageNamesANewRecipientAndLocksAnExistingOne) {
  ScriptedPrompter prompter;
  RecipientSheet fresh(nullptr, SERVICE_KIND_WWW, kRightEdit, Principals());
  RecipientUserPage& p = fresh.user;
  // New: the list and name follow "Specify user or group"; the radios are free.
  EXPECT_TRUE(p.States().at(RecipientUserPage::EVERYONE).enabled);
  EXPECT_FALSE(p.States().at(RecipientUserPage::LIST).enabled);
  p.SetSpecify(true);
  EXPECT_TRUE(p.States().at(RecipientUserPage::LIST).enabled);
  p.SetName("");
  p.name.clear();
  int refused = 0;
  EXPECT_FALSE(fresh.Ok(prompter, &refused));
  EXPECT_EQ(refused, RECIPIENT_PAGE_USER);
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0].title, "Error");
  EXPECT_EQ(prompter.boxes[0].text, "You must select a user or group");
  p.Select(fresh.Context(), 1);
  p.level = kLevelAuthenticated;
  auto staff = fresh.Ok(prompter);
  ASSERT_TRUE(staff);
  EXPECT_EQ(staff->UserName, "Staff");
  EXPECT_EQ(staff->SpecifyUser, 1u);
  EXPECT_EQ(staff->MinimumSecurityLevel, 2);

  // Back to Everyone after a name was chosen: the recipient is everybody's again.
  RecipientSheet again(nullptr, SERVICE_KIND_WWW, kRightEdit, Principals());
  again.user.Select(again.Context(), 0);
  again.user.SetSpecify(false);
  auto everyone = again.Ok(prompter);
  ASSERT_TRUE(everyone);
  EXPECT_EQ(everyone->UserName, "Everyone");
  EXPECT_EQ(everyone->SpecifyUser, 0u);

  // Existing: who it is cannot change; the level is written even with the page untouched.
  RecipientSheet existing(staff.get(), SERVICE_KIND_WWW, kRightEdit, Principals());
  for (int id :
       {RecipientUserPage::EVERYONE, RecipientUserPage::SPECIFY, RecipientUserPage::NAME, RecipientUserPage::LIST})
    EXPECT_FALSE(existing.user.States().at(id).enabled) << id;
  existing.user.level = kLevelGuest;
  auto lowered = existing.Ok(prompter);
  ASSERT_TRUE(lowered);
  EXPECT_EQ(lowered->MinimumSecurityLevel, 0);
  EXPECT_EQ(lowered->UserName, "Staff");
}

TEST(RecipientSheet, TheLocationPageChecksPatternsAndAsksAboutLocalhost) {
  ScriptedPrompter prompter;
  RecipientSheet sheet(nullptr, SERVICE_KIND_WWW, kRightEdit);
  RecipientLocationPage& p = sheet.location;
  for (int id = RecipientLocationPage::INCLUDED; id <= RecipientLocationPage::EXCLUDED_REMOVE; ++id)
    EXPECT_FALSE(p.States().at(id).enabled) << id;
  p.SetSpecify(true);
  EXPECT_TRUE(p.States().at(RecipientLocationPage::EXCLUDED_REMOVE).enabled);

  // A pattern that does not compile stays in its edit; Remove gives an entry back for correction.
  p.includedEdit = "10.1.";
  EXPECT_FALSE(p.Add(false, prompter));
  EXPECT_EQ(prompter.boxes.back().title, "Invalid location");
  EXPECT_EQ(prompter.boxes.back().text, "The location \"10.1.\" is not a valid address pattern");
  EXPECT_EQ(p.includedEdit, "10.1.");
  EXPECT_TRUE(p.included.empty());

  // Nothing included: the "Invalid setting" question; No refuses.
  prompter.boxes.clear();
  EXPECT_FALSE(sheet.Ok(prompter));
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0].title, "Invalid setting");
  EXPECT_EQ(prompter.boxes[0].text, kTextNoLocations);
  EXPECT_EQ(prompter.boxes[0].style, kAsk);

  // The localhost question: asked exactly when no included pattern covers 127.0.0.1 or an excluded
  // one does.
  struct Case {
    std::vector<CString> included, excluded;
    bool asks;
  };
  const Case cases[] = {
      {{"127.*.*.*"}, {}, false},   {{"*"}, {}, false},
      {{"10.*.*.*"}, {}, true},     {{"10.*.*.*", "127.0.0.1"}, {}, false},
      {{"*"}, {"127.0.0.1"}, true}, {{"127.*.*.*"}, {"10.*.*.*"}, false},
  };
  for (const Case& c : cases) {
    RecipientSheet s(nullptr, SERVICE_KIND_WWW, kRightEdit);
    s.location.SetSpecify(true);
    for (const CString& pat : c.included) {
      s.location.includedEdit = pat;
      ASSERT_TRUE(s.location.Add(false, prompter)) << pat;
    }
    for (const CString& pat : c.excluded) {
      s.location.excludedEdit = pat;
      ASSERT_TRUE(s.location.Add(true, prompter)) << pat;
    }
    prompter.boxes.clear();
    prompter.answers = {false};
    EXPECT_EQ(s.Ok(prompter) == nullptr, c.asks) << c.included[0];
    ASSERT_EQ(prompter.boxes.size(), c.asks ? 1u : 0u);
    if (c.asks) {
      EXPECT_EQ(prompter.boxes[0].title, "Possible setting problem");
      EXPECT_EQ(prompter.boxes[0].text, kTextLocalhost);
      // Yes keeps the setting.
      prompter.answers = {true};
      auto r = s.Ok(prompter);
      ASSERT_TRUE(r);
      EXPECT_EQ(r->IncludedLocations, c.included);
      EXPECT_EQ(r->ExcludedLocations, c.excluded);
      EXPECT_EQ(r->SpecifyLocation, 1u);
    }
  }

  // A stored pattern that does not compile is refused once the page is changed.
  auto broken = Restricted();
  broken->IncludedLocations.push_back("300.1");
  RecipientSheet b(broken.get(), SERVICE_KIND_WWW, kRightEdit);
  b.location.Remove(true, 0);
  prompter.boxes.clear();
  int refused = 0;
  EXPECT_FALSE(b.Ok(prompter, &refused));
  EXPECT_EQ(refused, RECIPIENT_PAGE_LOCATION);
  EXPECT_EQ(prompter.boxes.at(0).text, "The location \"300.1\" is not a valid address pattern");
}

TEST(RecipientSheet, TheTimePageEditsItsOwnCopyAndARefusalLaterWritesNothing) {
  ScriptedPrompter prompter;
  auto original = Restricted();
  RecipientSheet sheet(original.get(), SERVICE_KIND_WWW, kRightEdit);
  RecipientTimePage& p = sheet.time;
  for (int id : {RecipientTimePage::INCLUDED, RecipientTimePage::EXCLUDED_REMOVE})
    EXPECT_TRUE(p.States().at(id).enabled);
  ASSERT_EQ(p.Rows(false), std::vector<CString>{"Every weekday from 08:00:00 to 18:00:00"});
  p.Add(true, Weekdays(12, 13));
  p.Replace(false, 0, Weekdays(9, 17));
  EXPECT_EQ(p.Rows(false), std::vector<CString>{"Every weekday from 09:00:00 to 17:00:00"});
  EXPECT_EQ(p.Rows(true), std::vector<CString>{"Every weekday from 12:00:00 to 13:00:00"});
  EXPECT_EQ(original->TimeFilter.Inclusions.GetCount(), 1u);
  EXPECT_TRUE(original->TimeFilter.Exclusions.IsEmpty());

  // The location page validates before the time page writes: a refusal there leaves the result
  // unmade, and a second OK finds the page's slices intact.
  sheet.location.SetSpecify(true);
  sheet.location.included.clear();
  EXPECT_FALSE(sheet.Ok(prompter));
  sheet.location.included = {"*"};
  auto result = sheet.Ok(prompter);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->TimeFilter.Exclusions.GetCount(), 1u);
  EXPECT_EQ(dynamic_cast<CTimeSlice&>(*result->TimeFilter.Inclusions.GetHead()).GetDescription(),
            "Every weekday from 09:00:00 to 17:00:00");

  // Times significant and none included: asked; No refuses on the Time page.
  p.Remove(false, 0);
  prompter.boxes.clear();
  int refused = 0;
  EXPECT_FALSE(sheet.Ok(prompter, &refused));
  EXPECT_EQ(refused, RECIPIENT_PAGE_TIME);
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0].title, "Invalid setting");
  EXPECT_EQ(prompter.boxes[0].text, kTextNoTimes);
  EXPECT_EQ(prompter.boxes[0].style, kAsk);
}

TEST(TimeSlice, RulesChecksAndWhatIsStored) {
  ScriptedPrompter prompter;
  TimeSliceEditor fresh(nullptr);
  // Rules: regular offers the days and the range; the times follow "Between"; single only dates.
  auto st = fresh.States();
  EXPECT_FALSE(st.at(TimeSliceEditor::STARTING).enabled);
  EXPECT_TRUE(st.at(TimeSliceEditor::SUNDAY).enabled);
  EXPECT_FALSE(st.at(TimeSliceEditor::FROM).enabled);
  fresh.between = true;
  EXPECT_TRUE(fresh.States().at(TimeSliceEditor::TO).enabled);
  fresh.single = true;
  st = fresh.States();
  EXPECT_TRUE(st.at(TimeSliceEditor::FINISHING).enabled);
  for (int id : {TimeSliceEditor::SATURDAY, TimeSliceEditor::ALL_DAY, TimeSliceEditor::BETWEEN, TimeSliceEditor::FROM})
    EXPECT_FALSE(st.at(id).enabled) << id;

  // A single occurrence always stores CheckTime 1, whatever the range radio says.
  fresh.between = false;
  fresh.starting = CDateTime(2026, 12, 24, 18, 0, 0);
  fresh.finishing = CDateTime(2026, 12, 26, 8, 0, 0);
  ASSERT_TRUE(fresh.Validate(prompter));
  auto once = fresh.Result();
  EXPECT_EQ(once->Every, 0u);
  EXPECT_EQ(once->CheckTime, 1u);
  EXPECT_TRUE(once->IsInSlice(CDateTime(2026, 12, 25, 12, 0, 0)));
  // An end before the start is refused.
  fresh.finishing = CDateTime(2026, 12, 23, 8, 0, 0);
  EXPECT_FALSE(fresh.Validate(prompter));
  EXPECT_EQ(prompter.boxes.back().text, kTextEndBeforeStart);

  // A range across midnight would never match: refused, with how to say it instead.
  TimeSliceEditor night(nullptr);
  night.between = true;
  night.fromTime = WithTimeOfDay(CDateTime(), 22 * 3600);
  night.toTime = WithTimeOfDay(CDateTime(), 6 * 3600);
  EXPECT_FALSE(night.Validate(prompter));
  EXPECT_EQ(prompter.boxes.back().text, kTextOvernight);
  night.toTime = WithTimeOfDay(CDateTime(), 23 * 3600 + 59 * 60 + 59);
  EXPECT_TRUE(night.Validate(prompter));
  auto late = night.Result();
  EXPECT_EQ(late->Every, 1u);
  EXPECT_EQ(late->CheckTime, 1u);
  EXPECT_TRUE(late->IsInSlice(CDateTime(2026, 12, 9, 23, 30, 0)));
  EXPECT_FALSE(late->IsInSlice(CDateTime(2026, 12, 9, 21, 30, 0)));

  // No day ticked: asked; No keeps the dialog open.
  night.days = 0;
  prompter.boxes.clear();
  EXPECT_FALSE(night.Validate(prompter));
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0].text, kTextNoDays);

  // An existing slice: OK without changes gives the same bytes; the caller's slice is untouched.
  auto stored = Weekdays(8, 18);
  stored->StartTime = CDateTime(2020, 3, 4, 8, 0, 0);  // a date part the slice ignores, kept
  const auto before = ArchiveBytes(*stored);
  TimeSliceEditor edit(stored.get());
  EXPECT_EQ(ArchiveBytes(*edit.Result()), before);
  edit.days = CTimeSlice::kWeekend;
  EXPECT_NE(edit.Result().get(), stored.get());
  EXPECT_EQ(ArchiveBytes(*stored), before);
  EXPECT_EQ(edit.Result()->EveryWhat, CTimeSlice::kWeekend);
}

// ---- System Policies ------------------------------------------------------------------------------

class SystemPoliciesOffline : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<CLookoutClient>(ui, loop.Poster());
    std::vector<std::shared_ptr<CRight>> rights(kRCRightCount);
    for (auto& r : rights) r = std::make_shared<CRight>();
    for (const auto& def : kEngineRights)
      rights[static_cast<size_t>(def.code)]->FillDefaults(def.code, def.description);
    client->EditMirrors().rights = rights;
  }
  std::vector<std::vector<uint8_t>> Bytes() const {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& r : client->Mirrors().rights) out.push_back(ArchiveBytes(*r));
    return out;
  }
  TestLoop loop;
  RecordingUi ui;
  std::unique_ptr<CLookoutClient> client;
};

TEST_F(SystemPoliciesOffline, TwelveRightsInCodeOrderAndEveryQuestionBeforeAnyWrite) {
  ScriptedPrompter prompter;
  const auto before = Bytes();
  SystemPolicies dlg(*client);
  ASSERT_TRUE(dlg.Available());
  const auto names = dlg.RightNames();
  ASSERT_EQ(names.size(), 12u);
  EXPECT_EQ(names.front(), "Users can access services");
  EXPECT_EQ(names[10], "Users can shutdown Trellis");
  EXPECT_EQ(names.back(), "Users can change Trellis Scheduler");
  dlg.selected = 11;
  EXPECT_EQ(dlg.SelectedType(), kRightScheduler);

  // OK untouched: nothing asked, the mirror's rights keep their bytes; off-line nothing is sent.
  EXPECT_TRUE(dlg.Ok(prompter));
  EXPECT_TRUE(prompter.boxes.empty());
  EXPECT_EQ(Bytes(), before);
  EXPECT_EQ(client->OutstandingRequests(), 0u);

  // Two rights emptied: the first question's No writes nothing at all, even for the rights before.
  SystemPolicies edit(*client);
  edit.selected = 3;  // Users can create and edit users
  ASSERT_EQ(edit.Rows().size(), 1u);
  EXPECT_EQ(edit.Rows()[0].recipient, "Administrators");
  // Rows show the user picture for a user of the mirror, the group picture otherwise.
  client->EditMirrors().users->CreateBuiltInAccounts(nullptr);
  edit.Add(std::make_shared<CRecipient>("Administrator"));
  ASSERT_EQ(edit.Rows().size(), 2u);
  EXPECT_EQ(edit.Rows()[0].image, LIST_IMAGE_GROUP);
  EXPECT_EQ(edit.Rows()[1].image, LIST_IMAGE_USER);
  edit.Remove(1);
  auto guest = std::make_shared<CRecipient>("Guests");
  guest->MinimumSecurityLevel = 2;
  edit.Add(guest);
  edit.Remove(0);
  EXPECT_EQ(edit.Rows()[0].recipient, "Guests");
  edit.selected = 5;
  edit.Remove(0);
  edit.selected = 10;
  edit.Remove(0);
  EXPECT_FALSE(edit.States().at(SystemPolicies::REMOVE).enabled);
  prompter.answers = {true, false};
  EXPECT_FALSE(edit.Ok(prompter));
  ASSERT_EQ(prompter.boxes.size(), 2u);
  EXPECT_EQ(prompter.boxes[0].title, "Users can monitor activity on this server");
  EXPECT_EQ(prompter.boxes[0].text,
            "There are no recipients for this right\nAll access to this right will be denied.\n\nDo you wish to "
            "continue?");
  EXPECT_EQ(prompter.boxes[0].style, kAsk);
  EXPECT_EQ(prompter.boxes[1].title, "Users can shutdown Trellis");
  EXPECT_EQ(Bytes(), before);

  // The dialog stays open on intact working copies: a second OK, answered Yes, writes them all.
  edit.selected = 3;
  ASSERT_EQ(edit.Rows().size(), 1u);
  auto changed = std::make_shared<CRecipient>("Guests");
  edit.Replace(0, changed);
  prompter.answers = {true, true};
  EXPECT_TRUE(edit.Ok(prompter));
  const auto& rights = client->Mirrors().rights;
  ASSERT_EQ(rights[kRightUserAdd]->GetRecipients().size(), 1u);
  EXPECT_EQ(rights[kRightUserAdd]->GetRecipients()[0]->MinimumSecurityLevel, 0);
  EXPECT_TRUE(rights[kRightActivityMonitor]->GetRecipients().empty());
  EXPECT_TRUE(rights[kRightShutdown]->GetRecipients().empty());
  EXPECT_EQ(ArchiveBytes(*rights[11]), before[11]);
  // The mirror holds clones: editing the dialog further changes nothing there.
  edit.Remove(0);
  EXPECT_EQ(rights[kRightUserAdd]->GetRecipients().size(), 1u);
}

TEST_F(SystemPoliciesOffline, TheServicePoliciesPageAddsAndReplacesRecipientsOnItsWorkingCopy) {
  auto www = std::make_shared<CWWWServiceSettings>();
  www->SetName("WWW Proxy server");
  www->AccessRights.AddRecipient(std::make_shared<CRecipient>());
  client->EditMirrors().services->SetAt("WWW Proxy server", www);
  EditServiceSheet sheet(*client, "WWW Proxy server");
  PoliciesPage& p = sheet.policies;
  EXPECT_TRUE(p.States().at(PoliciesPage::ADD).enabled);
  EXPECT_EQ(p.ServiceKind(), static_cast<uint32_t>(SERVICE_KIND_WWW));
  EXPECT_EQ(p.SelectedType(), kRightAccess);
  // Edit: the sheet works on a copy of the row and the result takes the row's place.
  RecipientSheet edit(p.Recipient(0).get(), p.ServiceKind(), p.SelectedType());
  edit.user.level = kLevelAuthenticated;
  ScriptedPrompter prompter;
  p.Replace(0, edit.Ok(prompter));
  RecipientSheet add(nullptr, p.ServiceKind(), p.SelectedType(), Principals());
  add.user.SetSpecify(true);
  add.user.Select(add.Context(), 0);
  p.Add(add.Ok(prompter));
  ASSERT_EQ(p.Rows().size(), 2u);
  EXPECT_EQ(p.Rows()[1].recipient, "alice");
  EXPECT_EQ(www->AccessRights.GetRecipients().size(), 1u);
  EXPECT_EQ(www->AccessRights.GetRecipients()[0]->MinimumSecurityLevel, 0);
  ASSERT_EQ(sheet.Ok(prompter), 0);
  auto after = client->Mirrors().services->LookupAs<CServiceSettings>("WWW Proxy server");
  const auto recipients = after->AccessRights.GetRecipients();
  ASSERT_EQ(recipients.size(), 2u);
  EXPECT_EQ(recipients[0]->MinimumSecurityLevel, 2);
  EXPECT_EQ(recipients[1]->UserName, "alice");
  EXPECT_EQ(recipients[1]->SpecifyUser, 1u);
}

// ---- Against the real engine ----------------------------------------------------------------------

TEST(SystemPoliciesAgainstEngine, RightsEditedInTheDialogAreTheEnginesAndTheUserPageListsItsAccounts) {
  EngineProcess engine;
  std::string log;
  ASSERT_TRUE(engine.Start(&log)) << log;
  TestLoop loop;
  RecordingUi ui;
  auto client = std::make_unique<CLookoutClient>(ui, loop.Poster());
  ASSERT_EQ(FirstAdminLogIn(*client, ui, loop, engine.rcPort, RC_REQ_GET_POLICIES), "");

  const size_t shown = ui.boxes.size();  // the first log-in's password change
  SystemPolicies dlg(*client);
  ASSERT_EQ(dlg.RightNames().size(), 12u);
  dlg.selected = 9;  // cache management
  ASSERT_EQ(dlg.SelectedType(), kRightCacheManagement);
  RecipientSheet sheet(nullptr, SERVICE_KIND_NONE, dlg.SelectedType(), RecipientContextOf(*client));
  // The engine's accounts are offered; pick its Administrators group.
  size_t row = sheet.Context().principals.size();
  for (size_t i = 0; i < sheet.Context().principals.size(); ++i)
    if (sheet.Context().principals[i].name == "Administrators" && sheet.Context().principals[i].group) row = i;
  ASSERT_LT(row, sheet.Context().principals.size());
  sheet.user.SetSpecify(true);
  sheet.user.Select(sheet.Context(), row);
  sheet.user.level = kLevelAuthenticated;
  sheet.location.SetSpecify(true);
  sheet.location.includedEdit = "127.*.*.*";
  ScriptedPrompter prompter;
  ASSERT_TRUE(sheet.location.Add(false, prompter));
  dlg.Add(sheet.Ok(prompter));
  ASSERT_TRUE(dlg.Ok(prompter));
  EXPECT_TRUE(prompter.boxes.empty());
  ASSERT_TRUE(loop.RunUntil([&] { return client->OutstandingRequests() == 0; }));
  EXPECT_EQ(ui.boxes.size(), shown);

  FreshConsole other;
  ASSERT_TRUE(other.LogIn(engine.rcPort, "Administrator", "admin-pw", RC_REQ_GET_POLICIES));
  const auto& rights = other.client.Mirrors().rights;
  ASSERT_EQ(rights.size(), static_cast<size_t>(kRCRightCount));
  const auto recipients = rights[kRightCacheManagement]->GetRecipients();
  ASSERT_EQ(recipients.size(), 2u);
  EXPECT_EQ(recipients[1]->UserName, "Administrators");
  EXPECT_EQ(recipients[1]->SpecifyUser, 1u);
  EXPECT_EQ(recipients[1]->MinimumSecurityLevel, 2);
  EXPECT_EQ(recipients[1]->SpecifyLocation, 1u);
  EXPECT_EQ(recipients[1]->IncludedLocations, std::vector<CString>{"127.*.*.*"});
  EXPECT_TRUE(other.client.Stop(5000));
  EXPECT_TRUE(client->Stop(5000));
}

}  // namespace
}  // namespace trellis::test
