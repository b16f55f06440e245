#include "engine/access/request_filter.h"

#include <gtest/gtest.h>

#include <map>

#include "engine/access/user_db.h"
#include "engine/config/reg_helpers.h"
#include "tests/support/registry_fixture.h"

namespace {

// A request whose variables the test sets.
struct FakeRequest : IRequestVariables {
  std::map<uint32_t, CTLDataObject> props;
  std::map<CString, CString> headers;
  bool hasHeaders = true;
  CString user = "alice";

  void Set(uint32_t code, const CString& text) { props[code].SetString(text); }
  void SetNumber(uint32_t code, uint32_t n) { props[code].SetDWord(n); }
  void SetSigned(uint32_t code, int32_t n) { props[code].SetInteger(n); }
  void GetProperty(uint32_t code, CTLDataObject& v) const override {
    auto it = props.find(code);
    if (it != props.end()) v.CopyFrom(it->second);
  }
  bool GetHeaderField(const CString& name, CString& value) const override {
    if (!hasHeaders) return false;
    auto it = headers.find(name);
    value = it == headers.end() ? CString() : it->second;
    return true;
  }
  CString GetUserName() const override { return user; }
};

struct FakeEntry : ICacheEntryFields {
  std::map<uint32_t, CTLDataObject> fields;
  void GetField(uint32_t code, CTLDataObject& v) const override {
    auto it = fields.find(code);
    if (it != fields.end()) v.CopyFrom(it->second);
  }
};

std::shared_ptr<CRequestCriterion> Text(uint32_t var, int32_t cmp, const CString& text, bool negate = false) {
  auto c = std::make_shared<CRequestCriterion>();
  c->DataIndex = static_cast<int32_t>(var);
  c->Comparison = cmp;
  c->Value.SetString(text);
  c->Not = negate ? 1 : 0;
  return c;
}

std::shared_ptr<CRequestCriterion> Number(uint32_t var, int32_t cmp, uint32_t n, bool negate = false) {
  auto c = std::make_shared<CRequestCriterion>();
  c->DataIndex = static_cast<int32_t>(var);
  c->Comparison = cmp;
  c->Value.SetDWord(n);
  c->Not = negate ? 1 : 0;
  return c;
}

std::shared_ptr<CRequestCriterion> Level(int32_t cmp, int32_t v, bool negate = false) {
  auto c = std::make_shared<CRequestCriterion>();
  c->DataIndex = kPropUserLevel;
  c->Comparison = cmp;
  c->Value.SetInteger(v);
  c->Not = negate ? 1 : 0;
  return c;
}

class RequestFilters : public trellis::test::PrivateRegistryTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(PrivateRegistryTest::SetUp());
    ASSERT_TRUE(db_.Add(std::make_shared<CUser>("alice", "", "", ""), nullptr));
    ASSERT_TRUE(db_.Add(std::make_shared<CUser>("bob", "", "", ""), nullptr));
    auto staff = std::make_shared<CGroup>("Staff", "");
    staff->AddMember("alice", CGroup::kUser);
    ASSERT_TRUE(db_.Add(staff, nullptr));
    req_.Set(kPropHTTPURL, "http://www.Example.test/index.html");
    req_.Set(kPropHTTPMethod, "GET");
    req_.Set(kPropServerIPAddress, "127.0.0.1");
    req_.SetNumber(kPropClientPort, 40000);
    req_.SetSigned(kPropIsNonProxyRequest, 1);
    req_.headers["User-Agent"] = "curl/7.88";
    ctx_.request = &req_;
    ctx_.users = &db_;
    ctx_.isProfileConnected = [this](const CString& name) { return name == online_; };
  }
  bool Eval(const std::shared_ptr<CRequestCriterion>& c) { return c->Evaluate(ctx_); }

  CGroupMemberDatabase db_;
  FakeRequest req_;
  RequestFilterContext ctx_;
  CString online_ = "ISP";
};

TEST_F(RequestFilters, ComparisonsOverKindsWithNot) {
  struct Case {
    std::shared_ptr<CRequestCriterion> c;
    bool expected;
  } cases[] = {
      {Text(kPropHTTPURL, TL_COMPARE_EQUALS, "HTTP://WWW.EXAMPLE.TEST/INDEX.HTML"), true},  // case ignored
      {Text(kPropHTTPURL, TL_COMPARE_CONTAINS, "example"), true},
      {Text(kPropHTTPURL, TL_COMPARE_CONTAINS, ""), true},  // an empty text is found everywhere
      {Text(kPropHTTPURL, TL_COMPARE_CONTAINS, "casino"), false},
      {Text(kPropHTTPURL, TL_COMPARE_BEGINS, "http://www"), true},
      {Text(kPropHTTPURL, TL_COMPARE_ENDS, ".HTML"), true},
      {Text(kPropHTTPMethod, TL_COMPARE_ENDS, "XGET"), false},  // longer than the variable
      {Text(kPropHTTPMethod, TL_COMPARE_BEGINS, "GETX"), false},
      {Text(kPropHTTPMethod, TL_COMPARE_EMPTY, ""), false},
      {Text(kPropHTTPMethod, TL_COMPARE_EQUALS, "post", true), true},
      {Text(kPropHTTPMethod, TL_COMPARE_GREATER, "A"), false},        // unsuited: never holds
      {Text(kPropHTTPMethod, TL_COMPARE_GREATER, "A", true), false},  // not even with Not
      {Number(kPropClientPort, TL_COMPARE_GREATER, 1024), true},
      {Number(kPropClientPort, TL_COMPARE_LESS, 1024), false},
      {Number(kPropClientPort, TL_COMPARE_EQUALS, 40000, true), false},
      {Number(kPropClientPort, TL_COMPARE_CONTAINS, 4), false},  // unsuited
      {Level(TL_COMPARE_GREATER, 0), false},  // a signed value against a missing answer: no compare
  };
  for (const auto& k : cases) EXPECT_EQ(Eval(k.c), k.expected) << k.c->GetDescription();

  // Yes/no variables.
  auto yes = std::make_shared<CRequestCriterion>();
  yes->DataIndex = kPropIsNonProxyRequest;
  yes->Comparison = TL_COMPARE_TRUE;
  yes->Value.SetType(TL_DATA_BOOLEAN);
  EXPECT_TRUE(Eval(yes));
  yes->Comparison = TL_COMPARE_FALSE;
  EXPECT_FALSE(Eval(yes));
  EXPECT_EQ(yes->GetDescription(), "Is non-proxy request is FALSE");

  // Header fields: absent headers are empty; a request without headers answers empty too.
  auto ua = Text(kPropHTTPHeaderField, TL_COMPARE_BEGINS, "curl/");
  ua->VariableName = "User-Agent";
  EXPECT_TRUE(Eval(ua));
  EXPECT_EQ(ua->GetDescription(), "HTTP Header field User-Agent begins with \"curl/\"");
  auto referer = Text(kPropHTTPHeaderField, TL_COMPARE_EMPTY, "");
  referer->VariableName = "Referer";
  EXPECT_TRUE(Eval(referer));
  req_.hasHeaders = false;
  EXPECT_FALSE(Eval(ua));
  EXPECT_TRUE(Eval(referer));
}

TEST_F(RequestFilters, GroupProfileAndUnknownVariables) {
  auto member = Text(kPropUserMemberOf, TL_COMPARE_EQUALS, "");
  member->Value.SetType(TL_DATA_GROUP);
  member->VariableName = "Staff";
  EXPECT_TRUE(Eval(member));
  EXPECT_EQ(member->GetDescription(), "User is member of group Staff");
  req_.user = "bob";
  EXPECT_FALSE(Eval(member));
  member->VariableName = "alice";  // a user, not a group
  req_.user = "alice";
  EXPECT_FALSE(Eval(member));
  member->Not = 1;
  EXPECT_TRUE(Eval(member));

  auto online = Text(kPropDialerOnLine, TL_COMPARE_EQUALS, "");
  online->Value.SetType(TL_DATA_PROFILE);
  online->VariableName = "ISP";
  EXPECT_TRUE(Eval(online));
  EXPECT_EQ(online->GetDescription(), "Dialer ISP is on line");
  online_ = "Other";
  EXPECT_FALSE(Eval(online));
  // Without a dialer or a user database the test cannot be made: it throws, and filters refuse.
  RequestFilterContext bare;
  bare.request = &req_;
  EXPECT_THROW(online->Evaluate(bare), std::exception);
  EXPECT_THROW(member->Evaluate(bare), std::exception);
  CRequestFilter ban;
  ban.AddCriterion(online);
  EXPECT_TRUE(ban.Bans(bare));

  // A variable or comparison code the engine does not know makes its filter invalid, with or
  // without Not: a ban bans, request filters ask level 3 and grant nothing.
  struct Bad {
    int32_t index, comparison;
  } bad[] = {{-1, TL_COMPARE_EQUALS}, {35, TL_COMPARE_EQUALS}, {99, TL_COMPARE_CONTAINS}, {1000000, TL_COMPARE_EQUALS},
             {kPropHTTPURL, 9},       {kPropHTTPURL, -1},      {kPropUserLevel, 99},      {kPropUserMemberOf, 42}};
  for (const auto& b : bad) {
    for (bool negate : {false, true}) {
      auto unknown = Text(0, b.comparison, "x", negate);
      unknown->DataIndex = b.index;
      const std::string what = std::to_string(b.index) + "/" + std::to_string(b.comparison) + (negate ? " not" : "");
      EXPECT_THROW(Eval(unknown), std::exception) << what;
      CRequestFilter ban;
      ban.AddCriterion(unknown);
      EXPECT_TRUE(ban.Bans(ctx_)) << what;
      EXPECT_EQ(ban.GetRequiredLevel(ctx_), 3u) << what;
      auto allow = std::make_shared<CRequestFilter>();
      allow->AddCriterion(unknown->Clone());
      CRequestFilterCollection collection;
      collection.Add(allow);
      EXPECT_EQ(collection.GetRequiredLevel(ctx_), 3u) << what;
      EXPECT_FALSE(collection.AnyMatches(ctx_)) << what;
    }
  }
  auto unknown = Text(0, TL_COMPARE_EQUALS, "x");
  unknown->DataIndex = 35;
  EXPECT_EQ(unknown->GetDescription(), "Unknown variable 35");
}

TEST_F(RequestFilters, LevelsAskedByCriteriaFiltersAndCollections) {
  req_.SetSigned(kPropUserLevel, 2);
  EXPECT_EQ(Level(TL_COMPARE_GREATER, 0)->GetRequiredLevel(ctx_), 1u);
  EXPECT_EQ(Level(TL_COMPARE_EQUALS, 2)->GetRequiredLevel(ctx_), 2u);
  EXPECT_EQ(Level(TL_COMPARE_EQUALS, 0, true)->GetRequiredLevel(ctx_), 1u);
  EXPECT_EQ(Level(TL_COMPARE_GREATER, 1, true)->GetRequiredLevel(ctx_), 3u);  // level 2 > 1
  req_.SetSigned(kPropUserLevel, 1);
  EXPECT_EQ(Level(TL_COMPARE_GREATER, 1, true)->GetRequiredLevel(ctx_), 0u);
  // "less than": sessions below v pass, the others are refused; "not less than v" asks v.
  EXPECT_EQ(Level(TL_COMPARE_LESS, 2)->GetRequiredLevel(ctx_), 0u);
  EXPECT_EQ(Level(TL_COMPARE_LESS, 1)->GetRequiredLevel(ctx_), 3u);
  EXPECT_EQ(Level(TL_COMPARE_LESS, 2, true)->GetRequiredLevel(ctx_), 2u);
  // Stored values beyond the levels are clamped, never overflowed.
  EXPECT_EQ(Level(TL_COMPARE_EQUALS, 1000)->GetRequiredLevel(ctx_), 3u);
  EXPECT_EQ(Level(TL_COMPARE_GREATER, INT32_MAX)->GetRequiredLevel(ctx_), 3u);
  EXPECT_EQ(Level(TL_COMPARE_EQUALS, -5)->GetRequiredLevel(ctx_), 0u);
  EXPECT_EQ(Level(TL_COMPARE_CONTAINS, 1)->GetRequiredLevel(ctx_), 3u);

  CRequestFilter oneAndTwo;
  oneAndTwo.AddCriterion(Level(TL_COMPARE_EQUALS, 1));
  oneAndTwo.AddCriterion(Level(TL_COMPARE_EQUALS, 2));
  EXPECT_EQ(oneAndTwo.GetRequiredLevel(ctx_), 2u);
  auto failing = std::make_shared<CRequestFilter>();
  failing->AddCriterion(Text(kPropHTTPMethod, TL_COMPARE_EQUALS, "POST"));
  EXPECT_EQ(failing->GetRequiredLevel(ctx_), 3u);
  CRequestFilter empty;
  EXPECT_TRUE(empty.Match(ctx_, true));
  EXPECT_FALSE(empty.Match(ctx_, false));
  EXPECT_EQ(empty.GetRequiredLevel(ctx_), 0u);

  CRequestFilterCollection collection;
  EXPECT_EQ(collection.GetRequiredLevel(ctx_), 3u);  // nothing allows
  EXPECT_FALSE(collection.AnyMatches(ctx_));
  auto two = std::make_shared<CRequestFilter>();
  two->AddCriterion(Level(TL_COMPARE_EQUALS, 2));
  auto one = std::make_shared<CRequestFilter>();
  one->AddCriterion(Level(TL_COMPARE_EQUALS, 1));
  collection.Add(two);
  collection.Add(one);
  collection.Add(failing);
  EXPECT_EQ(collection.GetRequiredLevel(ctx_), 1u);
  EXPECT_TRUE(collection.AnyMatches(ctx_));

  // A purge criterion in a request filter cannot be evaluated: the filter refuses and grants
  // nothing, a ban bans.
  auto purge = std::make_shared<CCachePurgeCriterion>();
  auto broken = std::make_shared<CRequestFilter>();
  broken->AddCriterion(purge);
  EXPECT_EQ(broken->GetRequiredLevel(ctx_), 3u);
  EXPECT_TRUE(broken->Bans(ctx_));
  CRequestFilterCollection onlyBroken;
  onlyBroken.Add(broken);
  EXPECT_FALSE(onlyBroken.AnyMatches(ctx_));
  EXPECT_EQ(onlyBroken.GetRequiredLevel(ctx_), 3u);
}

TEST_F(RequestFilters, UnknownServerAddressSkipsItsCriteria) {
  CRequestFilter f;
  f.AddCriterion(Text(kPropServerIPAddress, TL_COMPARE_EQUALS, "10.1.1.1"));
  EXPECT_FALSE(f.Match(ctx_, true));
  EXPECT_EQ(f.GetRequiredLevel(ctx_), 3u);
  req_.Set(kPropServerIPAddress, "255.255.255.255");
  EXPECT_TRUE(f.Match(ctx_, true));
  EXPECT_FALSE(f.Match(ctx_, false));
  EXPECT_EQ(f.GetRequiredLevel(ctx_), 0u);
}

TEST_F(RequestFilters, PurgeCriteriaTestCacheEntries) {
  FakeEntry entry;
  entry.fields[kCacheFieldURL].SetString("http://a.test/big.iso");
  entry.fields[kCacheFieldFileSize].SetDWord(5000);
  entry.fields[kCacheFieldEfficiency].SetDouble(12.5);
  auto big = std::make_shared<CCachePurgeCriterion>();
  big->DataIndex = kCacheFieldFileSize;
  big->Comparison = TL_COMPARE_GREATER;
  big->Value.SetDWord(4096);
  auto iso = std::make_shared<CCachePurgeCriterion>();
  iso->DataIndex = kCacheFieldURL;
  iso->Comparison = TL_COMPARE_ENDS;
  iso->Value.SetString(".ISO");
  EXPECT_EQ(big->GetDescription(), "Cachefile size (bytes) greater than 4096");
  auto f = std::make_shared<CRequestFilter>();
  f->AddCriterion(big);
  f->AddCriterion(iso);
  EXPECT_TRUE(f->MatchCacheEntry(entry));
  entry.fields[kCacheFieldFileSize].SetDWord(10);
  EXPECT_FALSE(f->MatchCacheEntry(entry));
  auto yes = std::make_shared<CCachePurgeCriterion>();
  yes->Comparison = TL_COMPARE_TRUE;
  yes->Value.SetType(TL_DATA_BOOLEAN);
  EXPECT_FALSE(yes->EvaluateEntry(entry));  // entries have no yes/no fields
  // Neither does a purge criterion on an unknown field or with an unknown comparison, with or
  // without Not.
  for (int32_t index : {-1, 9, 99}) {
    auto unknown = std::make_shared<CCachePurgeCriterion>();
    unknown->DataIndex = index;
    unknown->Comparison = TL_COMPARE_CONTAINS;
    unknown->Value.SetString("");
    unknown->Not = index == 9;
    CRequestFilter invalid;
    invalid.AddCriterion(unknown);
    EXPECT_FALSE(invalid.MatchCacheEntry(entry)) << index;
  }
  auto badComparison = std::make_shared<CCachePurgeCriterion>();
  badComparison->DataIndex = kCacheFieldURL;
  badComparison->Comparison = 77;
  badComparison->Not = 1;
  CRequestFilter invalid;
  invalid.AddCriterion(badComparison);
  EXPECT_FALSE(invalid.MatchCacheEntry(entry));
  // A plain request criterion in a purge filter never removes anything.
  CRequestFilter mixed;
  mixed.AddCriterion(Text(kPropHTTPURL, TL_COMPARE_CONTAINS, ""));
  EXPECT_FALSE(mixed.MatchCacheEntry(entry));
  CRequestFilterCollection purge;
  EXPECT_FALSE(purge.AnyMatchesCacheEntry(entry));
  purge.Add(f);
  entry.fields[kCacheFieldFileSize].SetDWord(9000);
  EXPECT_TRUE(purge.AnyMatchesCacheEntry(entry));
}

std::vector<uint8_t> Bytes(CObject& o) {
  CArchive ar;
  o.Serialize(ar);
  return ar.Bytes();
}

TEST_F(RequestFilters, RegistryAndArchiveFormsRoundTrip) {
  CRequestFilterCollection c;
  auto f = std::make_shared<CRequestFilter>();
  f->Name = "No gambling";
  f->Description = "Sites we do not serve";
  auto ua = Text(kPropHTTPHeaderField, TL_COMPARE_CONTAINS, "bot", true);
  ua->VariableName = "User-Agent";
  ua->UpdateDescription();
  f->AddCriterion(ua);
  f->AddCriterion(Number(kPropClientPort, TL_COMPARE_LESS, 1024));
  auto p = std::make_shared<CCachePurgeCriterion>();
  p->DataIndex = kCacheFieldEfficiency;
  p->Comparison = TL_COMPARE_LESS;
  p->Value.SetDouble(0.25);
  p->UpdateDescription();
  EXPECT_EQ(p->Description, "Relative Cache efficiency (%) less than 0.25");
  f->AddCriterion(p);
  c.Add(f);
  c.Add(std::make_shared<CRequestFilter>());
  const auto before = Bytes(c);

  ASSERT_TRUE(c.Save("Filters"));
  EXPECT_EQ(RegReadString("Filters\\Filter0\\Criterion0", "Type", ""), "CRequestCriterion");
  EXPECT_EQ(RegReadString("Filters\\Filter0\\Criterion2", "Type", ""), "CCachePurgeCriterion");
  EXPECT_EQ(RegReadString("Filters\\Filter0\\Criterion0", "VariableName", ""), "User-Agent");
  CRequestFilterCollection loaded;
  ASSERT_TRUE(loaded.Load("Filters"));
  EXPECT_EQ(Bytes(loaded), before);

  CArchive in(before.data(), before.size());
  CRequestFilterCollection fromWire;
  fromWire.SerializeChecked(in);
  EXPECT_EQ(in.BytesLeft(), 0u);
  EXPECT_EQ(Bytes(fromWire), before);
  // Every shorter stream is refused and leaves the collection as it was.
  for (size_t n = 0; n < before.size(); ++n) {
    CArchive part(before.data(), n);
    EXPECT_THROW(fromWire.SerializeChecked(part), CArchiveException) << n;
    EXPECT_EQ(Bytes(fromWire), before) << n;
  }

  // Saving deletes the key first; a removed criterion leaves no sub-key.
  f->Criteria.RemoveTail();
  ASSERT_TRUE(c.Save("Filters"));
  EXPECT_FALSE(RegKeyExists("Filters\\Filter0\\Criterion2"));

  // A criterion of a "Type" spelled otherwise is skipped, and the filter then fails closed.
  ASSERT_TRUE(RegWriteString("Filters\\Filter0\\Criterion1", "Type", "crequestcriterion"));
  CRequestFilter partial;
  partial.LoadFromRegistry("Filters\\Filter0");
  EXPECT_EQ(partial.GetCriteria().size(), 1u);
  EXPECT_TRUE(partial.IsIncomplete());
  EXPECT_TRUE(partial.Bans(ctx_));
  EXPECT_EQ(partial.GetRequiredLevel(ctx_), 3u);
}

}  // namespace
