#include "engine/access/right.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "engine/access/user_db.h"
#include "engine/config/util.h"
#include "tests/support/registry_fixture.h"

namespace {

// 2024-01-01 was a Monday.
const CDateTime kMonday10(2024, 1, 1, 10, 0, 0);
const CDateTime kMonday16(2024, 1, 1, 16, 0, 0);
const CDateTime kSunday10(2024, 1, 7, 10, 0, 0);

uint32_t Ip(const char* text) { return ParseIPAddress(text); }

std::shared_ptr<CTimeSlice> Hours(uint32_t days, int from, int to) {
  auto s = std::make_shared<CTimeSlice>();
  s->EveryWhat = days;
  s->CheckTime = 1;
  s->StartTime = CDateTime(1899, 12, 30, from, 0, 0);
  s->EndTime = CDateTime(1899, 12, 30, to, 0, 0);
  return s;
}

// alice and bob are users, carol is disabled; Staff = {alice}, All = {Staff, bob} (a group inside
// a group), "Lonely" is a group with nobody in it.
class Rights : public trellis::test::PrivateRegistryTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(PrivateRegistryTest::SetUp());

    db_.CreateBuiltInAccounts(nullptr);
    ASSERT_TRUE(db_.Add(std::make_shared<CUser>("alice", "", "", ""), nullptr));
    ASSERT_TRUE(db_.Add(std::make_shared<CUser>("bob", "", "", ""), nullptr));
    auto carol = std::make_shared<CUser>("carol", "", "", "");
    carol->AccountEnabled = 0;
    ASSERT_TRUE(db_.Add(carol, nullptr));
    auto staff = std::make_shared<CGroup>("Staff", "");
    staff->AddMember("alice", CGroup::kUser);
    ASSERT_TRUE(db_.Add(staff, nullptr));
    auto all = std::make_shared<CGroup>("All", "");
    all->AddMember("Staff", CGroup::kGroup);
    all->AddMember("bob", CGroup::kUser);
    ASSERT_TRUE(db_.Add(all, nullptr));
    ASSERT_TRUE(db_.Add(std::make_shared<CGroup>("Lonely", ""), nullptr));

    ctx_.users = &db_;
    ctx_.clock = [this] { return now_; };
  }
  static AccessRequest Req(const char* user, uint32_t level, uint32_t canReach = 0,
                           const char* address = "192.168.1.5") {
    AccessRequest r;
    r.userName = user;
    r.level = level;
    r.authenticatedLevel = canReach;
    r.clientAddress = Ip(address);
    return r;
  }

  CGroupMemberDatabase db_;
  AccessContext ctx_;
  CDateTime now_ = kMonday10;
};

struct Row {
  const char* what;
  std::function<void(CRecipient&)> setup;
  AccessRequest request;
  AccessStage stage;
  uint32_t level;
  AccessResult result;
};

constexpr auto kAllowed = AccessResult::Allowed;
constexpr auto kLogin = AccessResult::LoginRequired;
constexpr auto kRefused = AccessResult::Refused;

TEST_F(Rights, RecipientDecisionTable) {
  auto user = [](const char* n) { return [n](CRecipient& r) { r.UserName = n; r.SpecifyUser = 1; }; };
  auto from = [](std::vector<CString> in, std::vector<CString> out = {}) {
    return [in, out](CRecipient& r) {
      r.SpecifyLocation = 1;
      r.IncludedLocations = in;
      r.ExcludedLocations = out;
    };
  };
  auto officeHours = [](CRecipient& r) {
    r.SpecifyTime = 1;
    r.TimeFilter.AddInclusion(Hours(CTimeSlice::kWeekdays, 9, 17));
  };
  const auto none = [](CRecipient&) {};
  const auto R = AccessStage::Request;
  const auto A = AccessStage::Accept;

  const Row rows[] = {
      {"everyone, known user", none, Req("alice", 0), R, 0, kAllowed},
      {"everyone, unknown user", none, Req("zed", 0), R, 3, kRefused},
      {"everyone, unknown user whose protocol can log in", none, Req("zed", 0, 2), R, 1, kLogin},
      {"everyone, disabled account", none, Req("carol", 2), R, 3, kRefused},
      {"a group name is not a session user", none, Req("Staff", 1), R, 3, kRefused},
      {"named user", user("alice"), Req("alice", 1), R, 0, kAllowed},
      {"named user, other user", user("alice"), Req("bob", 1), R, 3, kRefused},
      {"group member", user("Staff"), Req("alice", 1), R, 0, kAllowed},
      {"member of a group inside a group", user("All"), Req("alice", 1), R, 0, kAllowed},
      {"direct member of the outer group", user("All"), Req("bob", 1), R, 0, kAllowed},
      {"empty group", user("Lonely"), Req("alice", 1), R, 3, kRefused},
      {"guest, protocol logs in at 2", user("Staff"), Req("Guest", 0, 2), R, 1, kLogin},
      {"guest, protocol cannot log in", user("Staff"), Req("Guest", 0, 0), R, 3, kRefused},
      {"missing group: a login cannot help", user("Ghosts"), Req("alice", 0, 2), R, 3, kRefused},
      {"assumed user, login only at 1", user("Staff"), Req("bob", 1, 1), R, 1, kLogin},
      {"minimum 2, assumed user", [](CRecipient& r) { r.MinimumSecurityLevel = 2; }, Req("alice", 1), R, 2,
       kRefused},
      {"minimum 2, protocol can log in", [](CRecipient& r) { r.MinimumSecurityLevel = 2; }, Req("alice", 1, 2), R,
       2, kLogin},
      {"minimum 2, logged in", [](CRecipient& r) { r.MinimumSecurityLevel = 2; }, Req("alice", 2), R, 2, kAllowed},
      {"negative minimum is 0", [](CRecipient& r) { r.MinimumSecurityLevel = -5; }, Req("alice", 0), R, 0,
       kAllowed},
      {"minimum above 3 refuses", [](CRecipient& r) { r.MinimumSecurityLevel = 70; }, Req("alice", 2, 2), R, 3,
       kRefused},
      {"included location", from({"192.168.1.*"}), Req("alice", 0), R, 0, kAllowed},
      {"not included", from({"10.*"}), Req("alice", 0), R, 3, kRefused},
      {"included then excluded", from({"192.168.*"}, {"192.168.1.5"}), Req("alice", 0), R, 3, kRefused},
      {"excluded other address", from({"192.168.*"}, {"192.168.1.6"}), Req("alice", 0), R, 0, kAllowed},
      {"no included location", from({}), Req("alice", 0), R, 3, kRefused},
      {"invalid inclusion matches nothing", from({"192.168.1.1000"}), Req("alice", 0, 0, "192.168.1.100"), R, 3,
       kRefused},
      {"invalid exclusion excludes all", from({"*"}, {"300.1"}), Req("alice", 0), R, 3, kRefused},
      {"inside the time filter", officeHours, Req("alice", 0), R, 0, kAllowed},
      {"ban without a filter module refuses", [](CRecipient& r) { r.SpecifyBan = 1; }, Req("alice", 0), R, 3,
       kRefused},
      {"ban not consulted at accept", [](CRecipient& r) { r.SpecifyBan = 1; }, Req("alice", 0), A, 0, kAllowed},
      {"request filters without a module refuse", [](CRecipient& r) { r.SpecifyRequest = 1; }, Req("alice", 0), R,
       3, kRefused},
      {"request filters not consulted at accept", [](CRecipient& r) { r.SpecifyRequest = 1; }, Req("alice", 0), A,
       0, kAllowed},
  };
  for (const auto& row : rows) {
    CRight right;
    right.IncludeDefaultRights = kDefaultRightsIgnored;
    auto rc = std::make_shared<CRecipient>();
    row.setup(*rc);
    right.AddRecipient(rc);
    AccessRequest req = row.request;
    const AccessDecision d = right.Decide(req, ctx_, row.stage);
    EXPECT_EQ(d.level, row.level) << row.what;
    EXPECT_EQ(d.result, row.result) << row.what;
  }
}

TEST_F(Rights, TimeFilterOutsideItsHoursRefusesAndInsideEndsTheSessionAtTheChange) {
  CRight right;
  right.IncludeDefaultRights = kDefaultRightsIgnored;
  auto rc = std::make_shared<CRecipient>();
  rc->SpecifyTime = 1;
  rc->TimeFilter.AddInclusion(Hours(CTimeSlice::kWeekdays, 9, 17));
  right.AddRecipient(rc);

  now_ = kSunday10;
  AccessRequest req = Req("alice", 0);
  EXPECT_EQ(right.Decide(req, ctx_, AccessStage::Request).result, kRefused);

  now_ = kMonday16;
  AccessDecision d = right.Decide(req, ctx_, AccessStage::Request);
  ASSERT_EQ(d.result, kAllowed);
  ASSERT_TRUE(d.endTimeEnabled);
  EXPECT_EQ(d.endTime.Format("%Y-%m-%d %H:%M:%S"), "2024-01-01 17:00:01");
  AccessDecision g;
  ASSERT_TRUE(right.IsGranted(req, ctx_, AccessStage::Request, &g));
  EXPECT_TRUE(g.endTimeEnabled);
  EXPECT_EQ(g.endTime, d.endTime);

  // At the end time the same request is refused: the end time is exactly the change.
  now_ = d.endTime;
  EXPECT_EQ(right.Decide(req, ctx_, AccessStage::Request).result, kRefused);
  EXPECT_FALSE(right.IsGranted(req, ctx_, AccessStage::Request));
}

TEST_F(Rights, EndTimeComesOnlyFromRecipientsThatDecided) {
  auto timed = [](int32_t minimum, int to) {
    auto rc = std::make_shared<CRecipient>();
    rc->MinimumSecurityLevel = minimum;
    rc->SpecifyTime = 1;
    rc->TimeFilter.AddInclusion(Hours(CTimeSlice::kAllDays, 9, to));
    return rc;
  };
  auto untimed = [](int32_t minimum) {
    auto rc = std::make_shared<CRecipient>();
    rc->MinimumSecurityLevel = minimum;
    return rc;
  };
  AccessRequest req = Req("alice", 2);

  // An untimed level-1 recipient decides; a later timed level-2 one must not end the session.
  CRight a;
  a.IncludeDefaultRights = kDefaultRightsIgnored;
  a.AddRecipient(untimed(1));
  a.AddRecipient(timed(2, 12));
  AccessDecision d = a.Decide(req, ctx_, AccessStage::Request);
  EXPECT_EQ(d.level, 1u);
  EXPECT_FALSE(d.endTimeEnabled);

  // Two timed recipients at the same level: the permission lasts until the later end.
  CRight b;
  b.IncludeDefaultRights = kDefaultRightsIgnored;
  b.AddRecipient(timed(1, 12));
  b.AddRecipient(timed(1, 15));
  d = b.Decide(req, ctx_, AccessStage::Request);
  ASSERT_TRUE(d.endTimeEnabled);
  EXPECT_EQ(d.endTime.GetHour(), 15);

  // Both must allow (mode 2): the first end counts, including the default right's.
  CRight dflt;
  dflt.AddRecipient(timed(0, 12));
  ctx_.defaultRights[kRightAccess] = &dflt;
  CRight c;
  c.IncludeDefaultRights = kDefaultRightsBoth;
  c.AddRecipient(timed(0, 15));
  d = c.Decide(req, ctx_, AccessStage::Request);
  ASSERT_TRUE(d.endTimeEnabled);
  EXPECT_EQ(d.endTime.GetHour(), 12);

  // IsGranted: a timed recipient that does not grant (minimum above the session) leaves no end.
  CRight g;
  g.IncludeDefaultRights = kDefaultRightsIgnored;
  g.AddRecipient(timed(3, 12));
  g.AddRecipient(untimed(0));
  AccessRequest guest = Req("alice", 0);
  AccessDecision gd;
  ASSERT_TRUE(g.IsGranted(guest, ctx_, AccessStage::Request, &gd));
  EXPECT_FALSE(gd.endTimeEnabled);
}

TEST_F(Rights, DefaultRightModes) {
  CRight dflt;  // everybody at level 2
  auto strict = std::make_shared<CRecipient>();
  strict->MinimumSecurityLevel = 2;
  dflt.AddRecipient(strict);
  ctx_.defaultRights[kRightAccess] = &dflt;
  ctx_.defaultRights[kRightEdit] = &dflt;

  struct ModeRow {
    int32_t type, mode;
    bool ownRecipient;  // an unrestricted level-1 recipient
    uint32_t check;
    bool granted;  // for a session at level 1
  };
  const ModeRow rows[] = {
      {0, 0, false, 3, false}, {0, 1, false, 2, false}, {0, 2, false, 3, false},
      {0, 0, true, 1, true},   {0, 1, true, 1, true},   {0, 2, true, 2, false},
      {2, 1, true, 1, true},   {5, 2, true, 3, true},   // no default right for system types
      {0, 7, true, 3, false},  {0, -1, true, 3, false},  // an invalid mode refuses
  };
  for (const auto& row : rows) {
    CRight right;
    right.RightType = row.type;
    right.IncludeDefaultRights = row.mode;
    if (row.ownRecipient) {
      auto rc = std::make_shared<CRecipient>();
      rc->MinimumSecurityLevel = 1;
      right.AddRecipient(rc);
    }
    AccessRequest req = Req("alice", 1);
    EXPECT_EQ(right.Check(req, ctx_, AccessStage::Request), row.check) << row.type << "/" << row.mode;
    EXPECT_EQ(right.IsGranted(req, ctx_, AccessStage::Request), row.granted) << row.type << "/" << row.mode;
  }
  // Consulting the default right never writes into it.
  EXPECT_EQ(dflt.IncludeDefaultRights, kDefaultRightsEither);

  // Without a user database nothing is allowed.
  CRight open;
  open.IncludeDefaultRights = kDefaultRightsIgnored;
  open.AddRecipient(std::make_shared<CRecipient>());
  AccessContext empty;
  AccessRequest req = Req("alice", 2);
  EXPECT_EQ(open.Decide(req, empty, AccessStage::Request).result, kRefused);
  EXPECT_FALSE(open.IsGranted(req, empty, AccessStage::Request));
}

TEST_F(Rights, LoweredLevelDependsOnRecipientOrderAndFilterHooksDecide) {
  auto forStaff = std::make_shared<CRecipient>("Staff");
  auto everyone = std::make_shared<CRecipient>();
  // bob is assumed (1) and his protocol can log in only at 1.
  CRight first;
  first.IncludeDefaultRights = kDefaultRightsIgnored;
  first.AddRecipient(everyone);
  first.AddRecipient(forStaff);
  AccessRequest req = Req("bob", 1, 1);
  AccessDecision d = first.Decide(req, ctx_, AccessStage::Request);
  EXPECT_EQ(d.result, kAllowed);  // stopped at the first 0: the Staff recipient never ran
  EXPECT_EQ(d.sessionLevel, 1u);

  CRight second;
  second.IncludeDefaultRights = kDefaultRightsIgnored;
  second.AddRecipient(forStaff);
  second.AddRecipient(everyone);
  req = Req("bob", 1, 1);
  d = second.Decide(req, ctx_, AccessStage::Request);
  EXPECT_EQ(d.level, 0u);
  EXPECT_EQ(d.sessionLevel, 0u);  // the Staff recipient lowered it before "everyone" gave 0
  EXPECT_EQ(req.level, 0u);

  // The recipient's own ban filter and request filters, tested against the request's variables.
  CRight filtered;
  filtered.IncludeDefaultRights = kDefaultRightsIgnored;
  auto rc = std::make_shared<CRecipient>();
  rc->SpecifyBan = 1;
  rc->SpecifyRequest = 1;
  auto ban = std::make_shared<CRequestCriterion>();
  ban->DataIndex = kPropHTTPURL;
  ban->Comparison = TL_COMPARE_CONTAINS;
  ban->Value.SetString("casino");
  rc->BanFilter.AddCriterion(ban);
  auto byMethod = std::make_shared<CRequestFilter>();
  auto get = std::make_shared<CRequestCriterion>();
  get->DataIndex = kPropHTTPMethod;
  get->Value.SetString("GET");
  byMethod->AddCriterion(get);
  auto level = std::make_shared<CRequestCriterion>();
  level->DataIndex = kPropUserLevel;
  level->Value.SetInteger(2);
  auto asksTwo = std::make_shared<CRequestFilter>();
  asksTwo->AddCriterion(level);
  rc->RequestFilter.Add(byMethod);
  rc->RequestFilter.Add(asksTwo);
  filtered.AddRecipient(rc);

  struct Vars : IRequestVariables {
    CString url = "http://example.test/", method = "GET", user = "alice";
    int32_t level = 1;
    void GetProperty(uint32_t code, CTLDataObject& v) const override {
      if (code == kPropHTTPURL) v.SetString(url);
      if (code == kPropHTTPMethod) v.SetString(method);
      if (code == kPropUserLevel) v.SetInteger(level);
      if (code == kPropServerIPAddress) v.SetString("127.0.0.1");
    }
    bool GetHeaderField(const CString&, CString&) const override { return false; }
    CString GetUserName() const override { return user; }
  } vars;
  req = Req("alice", 1);
  req.variables = &vars;
  EXPECT_EQ(filtered.Check(req, ctx_, AccessStage::Request), 0u);  // a GET needs nothing
  vars.method = "POST";
  EXPECT_EQ(filtered.Check(req, ctx_, AccessStage::Request), 2u);  // only the level filter is left
  rc->MinimumSecurityLevel = 2;
  vars.method = "GET";
  EXPECT_EQ(filtered.Check(req, ctx_, AccessStage::Request), 2u);
  rc->MinimumSecurityLevel = 0;
  vars.url = "http://CASINO.test/";
  EXPECT_EQ(filtered.Check(req, ctx_, AccessStage::Request), 3u);
  EXPECT_EQ(filtered.Check(req, ctx_, AccessStage::Accept), 0u);  // filters wait for the request
  AccessRequest logged = Req("alice", 2);
  logged.variables = &vars;
  EXPECT_FALSE(filtered.IsGranted(logged, ctx_, AccessStage::Request));
  vars.url = "http://example.test/";
  EXPECT_TRUE(filtered.IsGranted(logged, ctx_, AccessStage::Request));
  // Without variables to test, the filters cannot be evaluated: refused, not granted.
  AccessRequest blind = Req("alice", 2);
  EXPECT_EQ(filtered.Decide(blind, ctx_, AccessStage::Request).result, kRefused);
  EXPECT_FALSE(filtered.IsGranted(blind, ctx_, AccessStage::Request));
}

std::shared_ptr<CRecipient> Restricted(const CString& name) {
  auto rc = std::make_shared<CRecipient>(name);
  rc->Description = "Restricted by " + name;
  rc->SpecifyLocation = 1;
  rc->IncludedLocations = {"192.168.*", "10.1.2.3"};
  rc->ExcludedLocations = {"192.168.9.*"};
  rc->SpecifyTime = 1;
  rc->SpecifyBan = 1;
  rc->MinimumSecurityLevel = 2;
  rc->TimeFilter.AddInclusion(Hours(CTimeSlice::kWeekdays, 8, 18));
  rc->TimeFilter.AddExclusion(Hours(CTimeSlice::kAllDays, 12, 13));
  rc->SpecifyRequest = 1;
  auto ban = std::make_shared<CRequestCriterion>();
  ban->DataIndex = kPropHTTPURL;
  ban->Comparison = TL_COMPARE_CONTAINS;
  ban->Value.SetString("casino");
  rc->BanFilter.Name = "No gambling";
  rc->BanFilter.AddCriterion(ban);
  auto gets = std::make_shared<CRequestFilter>();
  auto get = std::make_shared<CRequestCriterion>();
  get->DataIndex = kPropHTTPMethod;
  get->Value.SetString("GET");
  gets->AddCriterion(get);
  rc->RequestFilter.Add(gets);
  return rc;
}

std::vector<uint8_t> FilterBytes(CObject& filters) {
  CArchive ar;
  filters.Serialize(ar);
  return ar.Bytes();
}

void ExpectSameRecipients(const CRight& a, const CRight& b) {
  const auto ra = a.GetRecipients();
  const auto rb = b.GetRecipients();
  ASSERT_EQ(ra.size(), rb.size());
  for (size_t i = 0; i < ra.size(); ++i) {
    EXPECT_EQ(ra[i]->UserName, rb[i]->UserName) << i;
    EXPECT_EQ(ra[i]->Description, rb[i]->Description) << i;
    EXPECT_EQ(ra[i]->SpecifyUser, rb[i]->SpecifyUser) << i;
    EXPECT_EQ(ra[i]->SpecifyLocation, rb[i]->SpecifyLocation) << i;
    EXPECT_EQ(ra[i]->SpecifyTime, rb[i]->SpecifyTime) << i;
    EXPECT_EQ(ra[i]->SpecifyBan, rb[i]->SpecifyBan) << i;
    EXPECT_EQ(ra[i]->MinimumSecurityLevel, rb[i]->MinimumSecurityLevel) << i;
    auto sorted = [](std::vector<CString> v) { std::sort(v.begin(), v.end()); return v; };
    EXPECT_EQ(sorted(ra[i]->IncludedLocations), sorted(rb[i]->IncludedLocations)) << i;
    EXPECT_EQ(ra[i]->ExcludedLocations, rb[i]->ExcludedLocations) << i;
    EXPECT_EQ(ra[i]->TimeFilter.Inclusions.GetCount(), rb[i]->TimeFilter.Inclusions.GetCount()) << i;
    EXPECT_EQ(ra[i]->TimeFilter.Exclusions.GetCount(), rb[i]->TimeFilter.Exclusions.GetCount()) << i;
    EXPECT_EQ(ra[i]->TimeFilter.Match(kMonday10), rb[i]->TimeFilter.Match(kMonday10)) << i;
    EXPECT_EQ(FilterBytes(ra[i]->BanFilter), FilterBytes(rb[i]->BanFilter)) << i;
    EXPECT_EQ(FilterBytes(ra[i]->RequestFilter), FilterBytes(rb[i]->RequestFilter)) << i;
  }
}

TEST_F(Rights, RegistryRoundTripKeepsRecipientOrderPastTen) {
  CRight right;
  right.RightType = 4;
  right.Description = "Users can create/delete services";
  right.IncludeDefaultRights = kDefaultRightsBoth;
  for (int i = 0; i < 12; ++i) right.AddRecipientByName("user" + std::to_string(i));
  right.AddRecipient(Restricted("Staff"));
  ASSERT_TRUE(right.Save("Rights\\Test"));
  EXPECT_TRUE(RegKeyExists("Rights\\Test\\Recipient10"));
  EXPECT_EQ(RegReadDWORD("Rights\\Test\\Recipient12\\IncludedLocations", "10.1.2.3", 7), 0u);

  // Recipients held before a load do not survive it.
  CRight loaded;
  loaded.AddRecipientByName("stale");
  ASSERT_TRUE(loaded.Load("Rights\\Test"));
  EXPECT_EQ(loaded.RightType, 4);
  EXPECT_EQ(loaded.Description, right.Description);
  EXPECT_EQ(loaded.IncludeDefaultRights, kDefaultRightsBoth);
  ExpectSameRecipients(right, loaded);

  // Saving again drops recipients removed since.
  loaded.Recipients.RemoveTail();
  ASSERT_TRUE(loaded.Save("Rights\\Test"));
  EXPECT_FALSE(RegKeyExists("Rights\\Test\\Recipient12"));

  // Levels stored out of range come back clamped; missing values take their defaults.
  RegWriteDWORD("Rights\\Test\\Recipient0", "MinimumSecurityLevel", 0xFFFFFFFFu);
  RegWriteDWORD("Rights\\Test\\Recipient1", "MinimumSecurityLevel", 9);
  RegRemoveValue("Rights\\Test", "IncludeDefaultRights");
  RegRemoveValue("Rights\\Test\\Recipient2", "UserName");
  CRight again;
  again.Load("Rights\\Test");
  auto rcs = again.GetRecipients();
  ASSERT_EQ(rcs.size(), 12u);
  EXPECT_EQ(rcs[0]->MinimumSecurityLevel, 0);
  EXPECT_EQ(rcs[1]->MinimumSecurityLevel, 3);
  EXPECT_EQ(rcs[2]->UserName, "");
  EXPECT_EQ(again.IncludeDefaultRights, kDefaultRightsEither);
}

TEST_F(Rights, ArchiveRoundTripAndTruncatedStreams) {
  CRight right;
  right.RightType = 1;
  right.Description = "Users can start/stop services";
  right.IncludeDefaultRights = kDefaultRightsIgnored;
  right.AddRecipient(std::make_shared<CRecipient>());
  right.AddRecipient(Restricted("All"));

  CArchive out;
  out.WriteObject(&right);
  const auto bytes = out.Bytes();
  CArchive in(bytes.data(), bytes.size());
  auto copy = in.ReadObjectAs<CRight>();
  ASSERT_TRUE(copy);
  EXPECT_EQ(in.BytesLeft(), 0u);
  EXPECT_EQ(copy->RightType, 1);
  EXPECT_EQ(copy->Description, right.Description);
  EXPECT_EQ(copy->IncludeDefaultRights, kDefaultRightsIgnored);
  ExpectSameRecipients(right, *copy);

  // Every shortened stream fails, and a right read from one keeps what it held.
  CArchive plain;
  right.Serialize(plain);
  const auto body = plain.Bytes();
  for (size_t n = 0; n < bytes.size(); ++n) {
    CArchive part(bytes.data(), n);
    EXPECT_THROW(part.ReadObjectAs<CRight>(), CArchiveException) << n;
  }
  for (size_t n = 0; n < body.size(); ++n) {
    CRight target;
    target.Description = "kept";
    target.AddRecipientByName("kept");
    CArchive part(body.data(), n);
    EXPECT_THROW(target.Serialize(part), CArchiveException) << n;
    EXPECT_EQ(target.Description, "kept") << n;
    ASSERT_EQ(target.Recipients.GetCount(), 1u) << n;
    EXPECT_EQ(target.GetRecipients()[0]->UserName, "kept") << n;
  }
}

TEST_F(Rights, EmptyRightsAreFilledWithDefaultTextsAndRecipients) {
  for (const auto& def : kEngineRights) {
    CRight right;
    ASSERT_TRUE(right.FillDefaults(def.code, def.description));
    EXPECT_EQ(right.RightType, def.code);
    EXPECT_EQ(right.Description, def.description);
    auto rcs = right.GetRecipients();
    ASSERT_EQ(rcs.size(), 1u) << def.key;
    if (def.code == kRightAccess) {
      EXPECT_EQ(rcs[0]->UserName, "Everyone");
      EXPECT_EQ(rcs[0]->SpecifyUser, 0u);
    } else {
      EXPECT_EQ(rcs[0]->UserName, "Administrators");
      EXPECT_EQ(rcs[0]->SpecifyUser, 1u);
    }
    EXPECT_EQ(rcs[0]->Description, "Unrestricted Rights");
  }
  // The system rights then belong to the administrators only.
  CRight shutdown;
  shutdown.FillDefaults(10, "Users can shutdown Trellis");
  EXPECT_TRUE(shutdown.IsGranted(Req("Administrator", 2), ctx_, AccessStage::Request));
  EXPECT_FALSE(shutdown.IsGranted(Req("alice", 2), ctx_, AccessStage::Request));

  // A described right is left alone; an undescribed one gets its default recipient beside the
  // ones it has.
  CRight described;
  described.Description = "mine";
  EXPECT_FALSE(described.FillDefaults(0, "Users can access services"));
  EXPECT_TRUE(described.Recipients.IsEmpty());
  CRight restricted;
  restricted.AddRecipientByName("alice");
  EXPECT_TRUE(restricted.FillDefaults(0, "Users can access services"));
  ASSERT_EQ(restricted.Recipients.GetCount(), 2u);
  EXPECT_EQ(restricted.GetRecipients()[0]->UserName, "alice");
  EXPECT_EQ(restricted.GetRecipients()[1]->UserName, "Everyone");
}

TEST(Recipient, RestrictionDescriptionAndCopy) {
  CRecipient r;
  EXPECT_EQ(r.GetRestrictionDescription(), "Unrestricted Rights");
  auto src = Restricted("Staff");
  src->SpecifyRequest = 1;
  EXPECT_EQ(src->GetRestrictionDescription(), "Restricted by security level, location, time, ban list, request");
  CRecipient timeAndRequest;
  timeAndRequest.SpecifyTime = timeAndRequest.SpecifyRequest = 1;
  EXPECT_EQ(timeAndRequest.GetRestrictionDescription(), "Restricted by time, request");
  r.CopyFrom(*src);
  EXPECT_EQ(r.UserName, "Staff");
  EXPECT_EQ(r.IncludedLocations, src->IncludedLocations);
  ASSERT_EQ(r.TimeFilter.Inclusions.GetCount(), 1u);
  // The copy's slices are its own.
  EXPECT_NE(r.TimeFilter.Inclusions.GetHead(), src->TimeFilter.Inclusions.GetHead());
}

}  // namespace
