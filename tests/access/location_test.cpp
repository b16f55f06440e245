#include "engine/access/location.h"

#include <gtest/gtest.h>

#include "engine/config/reg_helpers.h"
#include "engine/access/user_db.h"
#include "engine/config/util.h"
#include "tests/support/registry_fixture.h"

namespace {

uint32_t Ip(const char* text) {
  uint32_t a = 0;
  EXPECT_TRUE(TryParseIPAddress(text, &a)) << text;
  return a;
}

TEST(IPFilter, CompilesPatternsToMasks) {
  const struct {
    const char* pattern;
    const char* mask;
  } table[] = {
      {"192.168.*.*", "192168??????"}, {"10.0.0.*5", "010000000??5"}, {"192.168", "192168"},
      {"*", "???"},                    {"1*", "1??"},                 {"*5", "??5"},
      {"1*5", "1?5"},                  {"**", "???"},                 {"19?", "19?"},
      {"7", "007"},                    {"42", "042"},                 {"255.255.255.255", "255255255255"},
      {"2*", "2??"},                   {"2*9", "2?9"},
  };
  for (const auto& row : table) {
    CIPFilter f(row.pattern);
    EXPECT_TRUE(f.IsValid()) << row.pattern;
    EXPECT_EQ(f.InternalFilter, row.mask) << row.pattern;
  }
}

TEST(IPFilter, MatchesAddresses) {
  const struct {
    const char* pattern;
    const char* address;
    bool match;
  } table[] = {
      {"*", "8.8.8.8", true},
      {"1*", "100.0.0.1", true},
      {"1*", "199.255.0.1", true},
      {"1*", "99.0.0.1", false},
      {"1*", "200.0.0.1", false},
      {"*5", "5.1.1.1", true},
      {"*5", "255.1.1.1", true},
      {"*5", "6.1.1.1", false},
      {"192.168", "192.168.77.3", true},
      {"192.168", "192.169.0.1", false},
      {"192.168.*.*", "192.168.0.1", true},
      {"10.0.0.*5", "10.0.0.15", true},
      {"10.0.0.*5", "10.0.0.16", false},
      {"10.0.0.1", "10.0.0.1", true},
      {"10.0.0.1", "10.0.0.10", false},  // padding keeps octets apart
      {"10.0.0.1", "100.0.0.1", false},
      {"192.168.1.1", "::ffff:192.168.1.1", true},
      {"192.168.1.1", "::FFFF:192.168.1.1", true},
      {"*", "host.example", false},
      {"*", "1.2.3", false},
      {"*", "1.2.3.4 ", false},
      {"*", "", false},
  };
  for (const auto& row : table) {
    CIPFilter f(row.pattern);
    EXPECT_EQ(f.Matches(std::string_view(row.address)), row.match) << row.pattern << " / " << row.address;
  }
  EXPECT_TRUE(CIPFilter("127.0.0.1").Matches(0x7F000001u));
  CLocation loc("10.*", "alice");
  EXPECT_TRUE(loc.Matches(Ip("10.20.30.40")));
  EXPECT_FALSE(loc.Matches(Ip("11.20.30.40")));
}

TEST(IPFilter, InvalidPatternsAreRefusedAndNeverWidened) {
  const char* invalid[] = {"",        "192.168.1.1000", "1.2.3.4.5", "256.1.1.1", "1..2",      "192.168.",
                           ".1",      "a.b.c.d",        "3*",        "26*",       " 1.2.3.4", "1.2.3.-4",
                           "1.2.3.4/8", "1,2",          "0x10",      "1.2.3.4.5.6.7.8.9.10.11.12"};
  const uint32_t probes[] = {Ip("192.168.1.1"), Ip("1.2.3.4"), Ip("0.0.0.0"), Ip("255.255.255.255")};
  for (const char* p : invalid) {
    EXPECT_FALSE(CIPFilter::IsValidPattern(p)) << p;
    CIPFilter f(p);
    EXPECT_FALSE(f.IsValid()) << p;
    EXPECT_TRUE(f.InternalFilter.empty()) << p;
    for (uint32_t a : probes) {
      EXPECT_FALSE(f.Matches(a)) << p;
      EXPECT_TRUE(f.MatchesForExclusion(a)) << p;  // as an exclusion it excludes everyone
    }
    CIPFilter kept("10.*");
    EXPECT_FALSE(kept.SetFilter(p)) << p;
    EXPECT_EQ(kept.Filter, "10.*");
    EXPECT_EQ(kept.InternalFilter, "010???");

    CLocation loc("10.*", "alice");
    EXPECT_FALSE(loc.Set("bob", p)) << p;
    EXPECT_EQ(loc.GetName(), "10.*");
    EXPECT_EQ(loc.GetUsername(), "alice");
  }
  // A mask set behind Compile's back is checked too: an empty or malformed one matches nothing.
  CIPFilter f;
  EXPECT_FALSE(f.Matches(Ip("1.2.3.4")));
  f.InternalFilter = "1921";
  EXPECT_FALSE(f.Matches(Ip("192.1.0.1")));
  f.InternalFilter = "19216800100*";
  EXPECT_FALSE(f.Matches(Ip("192.168.1.1")));
  // User names that could not name an account are refused by the editor's path.
  CLocation loc;
  EXPECT_FALSE(loc.Set("", "10.*"));
  EXPECT_FALSE(loc.Set("a\\b", "10.*"));
  EXPECT_TRUE(loc.Set("alice", "10.*"));
}

class LocationStore : public trellis::test::PrivateRegistryTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(PrivateRegistryTest::SetUp());
    ASSERT_TRUE(users_.Add(std::make_shared<CUser>("alice", "", "", ""), nullptr));
    ASSERT_TRUE(users_.Add(std::make_shared<CUser>("bob", "", "", ""), nullptr));
    ASSERT_TRUE(users_.Add(std::make_shared<CUser>("Guest", "", "", ""), nullptr));
    ASSERT_TRUE(users_.Add(std::make_shared<CGroup>("staff", ""), nullptr));
  }
  void WriteLocation(const char* sub, const char* pattern, const char* user, const char* mask = "") {
    const CString key = CString("Locations\\") + sub;
    ASSERT_TRUE(RegWriteString(key, "Filter", pattern));
    ASSERT_TRUE(RegWriteString(key, "InternalFilter", mask));
    ASSERT_TRUE(RegWriteString(key, "Username", user));
  }

  CGroupMemberDatabase users_;
};

TEST_F(LocationStore, RegistryRoundTripKeepsOrderAndHoles) {
  CLocationArray table;
  table.Add(std::make_shared<CLocation>("10.*", "alice"));
  table.Add(nullptr);
  table.Add(std::make_shared<CLocation>("192.168.1.*5", "bob"));
  ASSERT_TRUE(table.Save(kLocationsKey));
  EXPECT_EQ(RegReadString("Locations\\Location2", "InternalFilter", ""), "192168001??5");
  EXPECT_FALSE(RegValueExists("Locations\\Location1", "Filter"));

  CLocationArray loaded;
  EXPECT_EQ(loaded.Load(kLocationsKey, users_), 0u);
  ASSERT_EQ(loaded.GetSize(), 3u);
  EXPECT_EQ(loaded.GetLocation(0)->GetName(), "10.*");
  EXPECT_EQ(loaded.GetLocation(1), nullptr);
  EXPECT_EQ(loaded.GetLocation(2)->GetUsername(), "bob");
  EXPECT_EQ(loaded.FindByAddress("192.168.1.25"), "bob");
  EXPECT_EQ(loaded.FindByName("192.168.1.*5")->GetUsername(), "bob");
  EXPECT_EQ(loaded.FindByName("172.*"), nullptr);
  EXPECT_EQ(loaded.FindIndex(loaded.GetLocation(2).get()), 2);

  // Saving again rewrites the whole tree: no stale entry survives.
  ASSERT_TRUE(RegWriteString("Locations\\Location9", "Filter", "1.*"));
  ASSERT_TRUE(loaded.Save(kLocationsKey));
  EXPECT_EQ(RegEnumSubKeys(kLocationsKey).size(), 2u);
}

TEST_F(LocationStore, LoadRefusesWhatItCannotTrust) {
  WriteLocation("Location3", "10.*", "alice");
  WriteLocation("Location0", "192.168.1.1000", "alice", "");  // would widen to the /24
  WriteLocation("Location1", "", "alice", "");                // would match everyone
  WriteLocation("Location2", "172.16.*", "staff");            // a group is not an assumed user
  WriteLocation("Location4", "172.17.*", "carol");            // no such user
  WriteLocation("Location5", "11.*", "alice", "????????????");  // tampered mask is rebuilt
  WriteLocation("Location99999999", "12.*", "alice");         // position beyond the cap
  WriteLocation("Location07", "13.*", "alice");               // not a position number
  WriteLocation("LocationX", "14.*", "alice");

  CLocationArray table;
  table.Add(std::make_shared<CLocation>("1.*", "bob"));
  EXPECT_EQ(table.Load(kLocationsKey, users_), 5u);
  ASSERT_EQ(table.GetSize(), 6u);
  for (size_t i : {0u, 1u, 2u, 4u}) EXPECT_EQ(table.GetLocation(i), nullptr) << i;
  EXPECT_EQ(table.GetLocation(3)->GetUsername(), "alice");
  EXPECT_EQ(table.GetLocation(5)->IPFilter.InternalFilter, "011???");
  EXPECT_EQ(table.FindByAddress("192.168.1.100"), "");
  EXPECT_EQ(table.FindByAddress("12.0.0.1"), "");
  EXPECT_EQ(table.FindByAddress("1.0.0.1"), "");  // the old table is gone
  EXPECT_EQ(table.FindByAddress("11.0.0.1"), "alice");
}

TEST_F(LocationStore, ArchiveRoundTripAndRefusal) {
  CLocationArray table;
  table.Add(std::make_shared<CLocation>("10.*", "alice"));
  table.Add(nullptr);
  table.Add(std::make_shared<CLocation>("*", "bob"));
  CArchive out;
  ASSERT_TRUE(table.Store(out));

  CLocationArray copy;
  const auto bytes = out.Bytes();
  CArchive in(bytes.data(), bytes.size());
  ASSERT_TRUE(copy.Load(in));
  ASSERT_EQ(copy.GetSize(), 3u);
  EXPECT_EQ(copy.GetLocation(1), nullptr);
  EXPECT_EQ(copy.GetLocation(2)->IPFilter.InternalFilter, "???");
  EXPECT_EQ(copy.FindByAddress("10.1.1.1"), "alice");
  EXPECT_EQ(copy.FindByAddress("11.1.1.1"), "bob");

  // A received location is judged by its pattern, never by the mask that came with it, and one
  // bad location refuses the whole table: the old one stays in force.
  auto frame = [](const char* mask, const char* pattern, const char* user) {
    CArchive ar;
    ar.WriteCount(1);
    auto loc = std::make_shared<CLocation>();
    loc->IPFilter.InternalFilter = mask;
    loc->IPFilter.Filter = pattern;
    loc->Username = user;
    ar.WriteObject(loc.get());
    return ar.TakeBytes();
  };
  for (const auto& bad : {frame("192168001", "192.168.1.1000", "alice"), frame("", "", "alice"),
                          frame("???", "*", ""), frame("???", "*", "../x")}) {
    CArchive ar(bad.data(), bad.size());
    EXPECT_FALSE(copy.Load(ar));
    EXPECT_EQ(copy.GetSize(), 3u);
    EXPECT_EQ(copy.FindByAddress("192.168.1.5"), "bob");
  }
  const auto rebuilt = frame("????????????", "10.1.*", "alice");
  CArchive ar(rebuilt.data(), rebuilt.size());
  ASSERT_TRUE(copy.Load(ar));
  EXPECT_EQ(copy.GetLocation(0)->IPFilter.InternalFilter, "010001???");
  EXPECT_EQ(copy.FindByAddress("10.2.0.1"), "");

  // Received from a console: a group or unknown user is dropped before the table is used.
  CLocationArray received;
  received.Add(std::make_shared<CLocation>("1.*", "staff"));
  received.Add(std::make_shared<CLocation>("2.*", "carol"));
  received.Add(std::make_shared<CLocation>("3.*", "bob"));
  EXPECT_EQ(received.DropUnusable(users_), 2u);
  ASSERT_EQ(received.GetSize(), 1u);
  EXPECT_EQ(received.GetLocation(0)->GetUsername(), "bob");
}

TEST_F(LocationStore, AssumedUser) {
  CLocationArray locations;
  locations.Add(nullptr);
  locations.Add(std::make_shared<CLocation>("192.168.1.*", "alice"));
  locations.Add(std::make_shared<CLocation>("192.168", "bob"));  // later and wider: loses on overlap
  locations.Add(std::make_shared<CLocation>("10.*", "Guest"));
  CLockableStringMap assumptions;
  assumptions.SetAt("WORKSTATION7", "bob");
  assumptions.SetAt("KIOSK", "staff");  // a group is never assumed

  const uint32_t a1 = Ip("192.168.1.9"), a2 = Ip("192.168.2.9");
  EXPECT_EQ(FindAssumedUser(a1, "", assumptions, locations, users_), "alice");
  EXPECT_EQ(FindAssumedUser(a2, "", assumptions, locations, users_), "bob");
  EXPECT_EQ(FindAssumedUser(Ip("8.8.8.8"), "", assumptions, locations, users_), "");
  // The machine-name map speaks only when a lease names the machine; names ignore case.
  EXPECT_EQ(FindAssumedUser(a1, "WORKSTATION7", assumptions, locations, users_), "bob");
  EXPECT_EQ(FindAssumedUser(a1, "workstation7", assumptions, locations, users_), "bob");
  EXPECT_EQ(FindAssumedUser(a1, "OTHER", assumptions, locations, users_), "alice");
  EXPECT_EQ(FindAssumedUser(a1, "KIOSK", assumptions, locations, users_), "alice");

  // The caller's levels: "Guest" and no answer give 0, any other user 1.
  EXPECT_EQ(FindAssumedUser(Ip("10.0.0.1"), "", assumptions, locations, users_), "Guest");
  EXPECT_EQ(AssumedUserLevel("Guest"), 0u);
  EXPECT_EQ(AssumedUserLevel(""), 0u);
  EXPECT_EQ(AssumedUserLevel("alice"), 1u);

  // A deleted account is never assumed, and its entries can be cleaned out.
  ASSERT_TRUE(users_.Remove("alice", nullptr));
  EXPECT_EQ(FindAssumedUser(a1, "", assumptions, locations, users_), "");
  EXPECT_EQ(locations.RemoveUser("alice"), 1u);
  EXPECT_EQ(FindAssumedUser(a1, "", assumptions, locations, users_), "bob");
  EXPECT_EQ(RemoveMachineAssumptionsOfUser(assumptions, "bob"), 1u);
  EXPECT_EQ(FindAssumedUser(Ip("8.8.8.8"), "WORKSTATION7", assumptions, locations, users_), "");
}

TEST_F(LocationStore, MachineAssumptionsRegistryForm) {
  CLockableStringMap map;
  map.SetAt("PC1", "alice");
  map.SetAt("PC2", "bob");
  ASSERT_TRUE(SaveMachineAssumptions(kMachineAssumptionsKey, map));
  ASSERT_TRUE(RegWriteString(kMachineAssumptionsKey, "PC3", "staff"));
  ASSERT_TRUE(RegWriteString(kMachineAssumptionsKey, "PC4", ""));

  CLockableStringMap loaded;
  loaded.SetAt("OLD", "bob");
  EXPECT_EQ(LoadMachineAssumptions(kMachineAssumptionsKey, loaded, users_), 2u);
  EXPECT_EQ(loaded.Snapshot(), map.Snapshot());

  loaded.SetAt("PC5", "carol");
  EXPECT_EQ(DropUnusableMachineAssumptions(loaded, users_), 1u);
  EXPECT_EQ(loaded.GetCount(), 2u);
}

TEST_F(LocationStore, EditorOperations) {
  CLocationArray table;
  auto a = std::make_shared<CLocation>("1.*", "alice");
  auto b = std::make_shared<CLocation>("2.*", "bob");
  table.Add(a);
  table.Add(b);
  EXPECT_FALSE(table.MoveUp(a.get()));
  EXPECT_FALSE(table.MoveDown(b.get()));
  EXPECT_TRUE(table.MoveDown(a.get()));
  EXPECT_EQ(table.FindIndex(a.get()), 1);

  CLocationArray copy;
  copy.CopyFrom(table);
  ASSERT_EQ(copy.GetSize(), 2u);
  EXPECT_NE(copy.GetLocation(0).get(), b.get());  // copies, not shared objects
  ASSERT_TRUE(b->Set("alice", "3.*"));
  EXPECT_EQ(copy.FindByAddress("2.0.0.1"), "bob");

  EXPECT_TRUE(table.Remove(b.get()));
  EXPECT_FALSE(table.Remove(b.get()));
  EXPECT_EQ(table.FindIndex(b.get()), -1);
  table.DeleteAll();
  EXPECT_TRUE(table.IsEmpty());
}

}  // namespace
