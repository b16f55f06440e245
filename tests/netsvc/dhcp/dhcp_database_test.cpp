// The DHCP configuration: ranges, the address walk against a lease table and ping that a small
// in-memory host stands in for, reservations, option precedence, and the registry and archive
// forms. This program links the configuration library alone.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "engine/config/archive.h"
#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"
#include "engine/netsvc/dhcp/dhcp_database.h"

namespace {

uint32_t A(const char* text) { return ParseIPAddress(text); }

class FakeHost : public IDHCPAddressHost {
 public:
  std::map<uint32_t, LeaseState> leases;
  std::map<uint32_t, uint32_t> scopeOf;  // lease address -> its scope
  std::set<uint32_t> local, answering, unchecked, reservedLeases;
  int pings = 0;
  std::optional<LeaseState> GetLeaseState(uint32_t a) override {
    auto it = leases.find(a);
    if (it == leases.end()) return std::nullopt;
    return it->second;
  }
  bool RemoveLease(uint32_t a) override { return leases.erase(a) > 0; }
  void RemoveLeasesOfScope(uint32_t id) override {
    for (auto& [a, scope] : scopeOf)
      if (scope == id) leases.erase(a);
  }
  void AddReservedLease(uint32_t a, uint32_t) override {
    reservedLeases.insert(a);
    leases[a] = LeaseState{};
  }
  bool IsLocalAddress(uint32_t a) override { return local.count(a) > 0; }
  EchoState Ping(uint32_t a) override {
    ++pings;
    if (unchecked.count(a)) return EchoState::kUnknown;
    return answering.count(a) ? EchoState::kAnswers : EchoState::kSilent;
  }
};

std::shared_ptr<CDHCPScope> Scope(const char* start, const char* end, uint32_t mask = 0xFFFFFF00u) {
  auto s = std::make_shared<CDHCPScope>();
  s->InclusionRange = CIPRange(A(start), end ? A(end) : 0);
  s->NetMask = mask;
  return s;
}

std::vector<uint8_t> Store(CObject& obj) {
  CArchive ar(CArchive::store);
  obj.Serialize(ar);
  return ar.TakeBytes();
}

void LoadFrom(CObject& obj, const std::vector<uint8_t>& bytes) {
  CArchive ar(bytes.data(), bytes.size());
  obj.Serialize(ar);
}

TEST(DHCPRange, EndZeroIsOneAddressAndNetworksCompareUnderTheMask) {
  CIPRange single(A("10.0.0.7"), 0);
  EXPECT_TRUE(single.Contains(A("10.0.0.7")));
  EXPECT_FALSE(single.Contains(A("10.0.0.8")));
  CIPRange r(A("10.0.1.10"), A("10.0.3.20"));
  EXPECT_TRUE(r.ContainsNetwork(A("10.0.2.99"), 0xFFFFFF00u));
  EXPECT_FALSE(r.ContainsNetwork(A("10.0.4.1"), 0xFFFFFF00u));
}

TEST(DHCPScope, WalkSkipsReservedAndSpecialAddressesAndEnds) {
  FakeHost host;
  // A /25: .0 and .127 are its network and broadcast addresses.
  auto s = Scope("192.168.5.0", "192.168.5.127", 0xFFFFFF80u);
  s->SetExclusions({CIPRange(A("192.168.5.1"), A("192.168.5.2"))});
  host.local.insert(A("192.168.5.3"));
  host.answering.insert(A("192.168.5.4"));
  host.leases[A("192.168.5.5")] = {false, 0};
  auto reservedForOther = [](uint32_t a) { return a == A("192.168.5.6"); };
  uint32_t got = 0;
  ASSERT_TRUE(s->FindFreeAddress(A("192.168.5.0"), &host, reservedForOther, &got));
  EXPECT_EQ(FormatIPAddress(got), "192.168.5.7");
  // An address nobody has pinged yet stops the walk for a check (the caller asks again once it
  // is done); a caller that cannot wait for one passes it over.
  host.unchecked.insert(A("192.168.5.7"));
  uint32_t probe = 0;
  EXPECT_FALSE(s->FindFreeAddress(A("192.168.5.0"), &host, reservedForOther, &got, &probe));
  EXPECT_EQ(FormatIPAddress(probe), "192.168.5.7");
  ASSERT_TRUE(s->FindFreeAddress(A("192.168.5.0"), &host, reservedForOther, &got));
  EXPECT_EQ(FormatIPAddress(got), "192.168.5.8");
  probe = 0;
  EXPECT_FALSE(s->CanOffer(A("192.168.5.7"), A("192.168.5.0"), &host, &probe));
  EXPECT_EQ(FormatIPAddress(probe), "192.168.5.7");
  host.unchecked.clear();
  EXPECT_TRUE(s->CanOffer(A("192.168.5.7"), A("192.168.5.0"), &host));

  // Everything taken: .8-.126 answer ping; the walk finds nothing and never offers .127.
  for (uint32_t a = A("192.168.5.7"); a <= A("192.168.5.127"); ++a) host.answering.insert(a);
  EXPECT_FALSE(s->FindFreeAddress(A("192.168.5.0"), &host, reservedForOther, &got));

  // A requester on another network gets nothing from this scope.
  EXPECT_FALSE(s->FindFreeAddress(A("192.168.6.0"), &host, nullptr, &got));

  // A range up to 255.255.255.255 ends (a 32-bit counter would wrap round for ever).
  auto top = Scope("254.255.255.250", "255.255.255.255", 0xFFFFFF00u);
  EXPECT_FALSE(top->FindFreeAddress(A("254.255.255.0"), &host, nullptr, &got));

  // Without an engine (the console) nothing is free.
  EXPECT_FALSE(s->FindFreeAddress(A("192.168.5.0"), nullptr, nullptr, &got));
}

TEST(DHCPScope, LapsedLeasesOfAnyKindAreTakenBackOldestFirst) {
  FakeHost host;
  auto s = Scope("10.9.0.10", "10.9.0.13");
  host.leases[A("10.9.0.10")] = {false, 0};    // current
  host.leases[A("10.9.0.11")] = {true, 30};    // a lapsed offer
  host.leases[A("10.9.0.12")] = {true, 500};   // expired long ago
  host.leases[A("10.9.0.13")] = {true, 100};
  uint32_t got = 0;
  ASSERT_TRUE(s->FindFreeAddress(A("10.9.0.1"), &host, nullptr, &got));
  EXPECT_EQ(FormatIPAddress(got), "10.9.0.12");
  EXPECT_FALSE(host.leases.count(A("10.9.0.12")));
  host.leases[A("10.9.0.12")] = {false, 0};  // the caller's new lease for it
  ASSERT_TRUE(s->FindFreeAddress(A("10.9.0.1"), &host, nullptr, &got));
  EXPECT_EQ(FormatIPAddress(got), "10.9.0.13");
  EXPECT_EQ(host.pings, 0);  // no address was new
}

TEST(DHCPDatabase, ReservationsScopesAndOptionPrecedence) {
  FakeHost host;
  CDHCPDatabase db;
  db.SetAddressHost(&host);
  EXPECT_EQ(db.AddScope(Scope("10.1.0.10", "10.1.0.20")), 1u);
  auto second = Scope("10.2.0.10", "10.2.0.20");
  second->ScopeID = 7;
  EXPECT_EQ(db.AddScope(second), 7u);
  EXPECT_EQ(db.AddScope(Scope("10.3.0.10", "10.3.0.20")), 8u);

  auto r = std::make_shared<CDHCPReservation>();
  r->IPAddress = "10.2.0.15";
  r->MatchData = "AABBCCDDEEFF";
  r->MatchOn = CDHCPReservation::MATCH_HARDWARE_ADDRESS;
  r->ScopeID = 7;
  ASSERT_TRUE(db.AddReservation(r));
  EXPECT_TRUE(host.reservedLeases.count(A("10.2.0.15")));
  EXPECT_TRUE(r->Matches("any", "aabbccddeeff"));
  EXPECT_FALSE(r->Matches("AABBCCDDEEFF", "001122334455"));
  EXPECT_TRUE(db.IsReservedForOther(A("10.2.0.15"), "x", "001122334455"));
  EXPECT_FALSE(db.IsReservedForOther(A("10.2.0.15"), "x", "AABBCCDDEEFF"));
  auto bad = std::make_shared<CDHCPReservation>();
  bad->IPAddress = "10.2";
  EXPECT_FALSE(db.AddReservation(bad));
  CDHCPReservation other;
  other.MatchData = "PC";
  other.MatchOn = 2;
  EXPECT_FALSE(other.Matches("PC", "PC"));
  other.MatchOn = CDHCPReservation::MATCH_COMPUTER_NAME;
  EXPECT_TRUE(other.Matches("pc", ""));

  uint8_t g3[4] = {10, 0, 0, 1}, s3[4] = {10, 2, 0, 1}, r3[4] = {10, 2, 0, 254}, dns[4] = {10, 0, 0, 53};
  db.GlobalOptions.SetOption(CDHCPOption(3, g3, 4));
  db.GlobalOptions.SetOption(CDHCPOption(6, dns, 4));
  second->Options.SetOption(CDHCPOption(3, s3, 4));
  CDHCPOptionsContainer eff;
  db.GetEffectiveOptions(eff, 7, "10.2.0.11");
  EXPECT_EQ(eff.GetOption(3)->Data[3], 1);
  EXPECT_EQ(eff.GetOption(6)->Data[3], 53);
  r->Options.SetOption(CDHCPOption(3, r3, 4));
  db.GetEffectiveOptions(eff, 7, "10.2.0.15");
  EXPECT_EQ(eff.GetOption(3)->Data[3], 254);
  db.GetEffectiveOptions(eff, 1, "10.1.0.11");
  EXPECT_EQ(eff.GetOption(3)->Data[1], 0);
  EXPECT_EQ(eff.GetCount(), 2u);

  // Removing the scope takes its reservation, the reservation's lease and the scope's dynamic
  // leases; another scope's stay.
  host.leases[A("10.2.0.11")] = {false, 0};
  host.scopeOf[A("10.2.0.11")] = 7;
  host.leases[A("10.1.0.11")] = {false, 0};
  host.scopeOf[A("10.1.0.11")] = 1;
  ASSERT_TRUE(db.RemoveScope(7));
  EXPECT_FALSE(db.FindReservationByAddress("10.2.0.15"));
  EXPECT_FALSE(host.leases.count(A("10.2.0.15")));
  EXPECT_FALSE(host.leases.count(A("10.2.0.11")));
  EXPECT_TRUE(host.leases.count(A("10.1.0.11")));
  EXPECT_FALSE(db.RemoveScope(7));
}

TEST(DHCPOptions, CopyFromAndTheClampedLengths) {
  CDHCPOptionsContainer a, b;
  uint8_t x[3] = {1, 2, 3};
  a.SetOption(CDHCPOption(15, x, 3));
  b.SetOption(CDHCPOption(3, x, 1));
  b.SetOption(CDHCPOption(6, x, 2));
  a.CopyFrom(b);
  EXPECT_FALSE(a.GetOption(15));
  EXPECT_EQ(a.GetOption(6)->Length, 2);

  // An archive carrying a length of 255: the words are consumed, 252 kept, the stream in step.
  CArchive out(CArchive::store);
  out << uint32_t{1} << uint8_t{43} << uint8_t{43} << uint8_t{255};
  for (int i = 0; i < 255; ++i) out << static_cast<uint16_t>(0x1100 | (i & 0xFF));
  out << uint32_t{0xABCD};
  auto bytes = out.TakeBytes();
  CArchive in(bytes.data(), bytes.size());
  CDHCPOptionsContainer c;
  c.Serialize(in);
  uint32_t tail = 0;
  in >> tail;
  EXPECT_EQ(tail, 0xABCDu);
  auto o = c.GetOption(43);
  ASSERT_TRUE(o);
  EXPECT_EQ(o->Length, 252);
  EXPECT_EQ(o->Data[251], 251);

  // A count the stream cannot hold is refused before anything is made.
  CArchive lie(CArchive::store);
  lie << uint32_t{100000};
  auto lb = lie.TakeBytes();
  CArchive lin(lb.data(), lb.size());
  EXPECT_THROW(c.Serialize(lin), CArchiveException);
  EXPECT_EQ(c.GetCount(), 1u);
}

TEST(DHCPDatabase, RegistryAndArchiveRoundTrips) {
  CDHCPDatabase db;
  db.OperatingMode = CDHCPDatabase::MODE_SEMI_AUTOMATIC;
  db.AutoOptions = CDHCPDatabase::AUTO_DNS;
  auto s = Scope("172.20.0.10", "172.20.0.50", 0xFFFF0000u);
  s->Description = "lab";
  s->BoundInterface = "172.20.0.1";
  s->LeaseDuration = 600;
  s->SetExclusions({CIPRange(A("172.20.0.20"), 0), CIPRange(A("172.20.0.30"), A("172.20.0.35"))});
  uint8_t name[] = "lab.test";
  s->Options.SetOption(CDHCPOption(15, name, 8));
  db.AddScope(s);
  auto r = std::make_shared<CDHCPReservation>();
  r->IPAddress = "172.20.0.40";
  r->MatchData = "printer";
  r->ScopeID = 1;
  db.AddReservation(r);
  uint8_t ntp[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  db.GlobalOptions.SetOption(CDHCPOption(42, ntp, 8));

  auto check = [](const CDHCPDatabase& d) {
    EXPECT_EQ(d.OperatingMode.load(), 1u);
    EXPECT_EQ(d.AutoOptions.load(), 4u);
    EXPECT_TRUE(d.SuppliesDNS());
    EXPECT_FALSE(d.SuppliesRouter());
    auto s2 = d.FindScope(1);
    ASSERT_TRUE(s2);
    EXPECT_EQ(s2->NetMask, 0xFFFF0000u);
    EXPECT_EQ(s2->Description, "lab");
    EXPECT_EQ(s2->LeaseDuration, 600u);
    EXPECT_TRUE(s2->IsExcluded(A("172.20.0.33")));
    EXPECT_TRUE(s2->IsExcluded(A("172.20.0.20")));
    EXPECT_FALSE(s2->IsExcluded(A("172.20.0.21")));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s2->Options.GetOption(15)->Data), 8), "lab.test");
    auto r2 = d.FindReservation("PRINTER", "");
    ASSERT_TRUE(r2);
    EXPECT_EQ(r2->IPAddress, "172.20.0.40");
    auto o = d.GlobalOptions.GetOption(42);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->Length, 8);
    EXPECT_EQ(o->Data[7], 8);
  };

  ASSERT_TRUE(db.Save("Services\\DHCP\\Database"));
  EXPECT_TRUE(RegKeyExists("Services\\DHCP\\Database\\Scopes\\0000000001\\Exclusions\\1"));
  CDHCPDatabase loaded;
  loaded.Load("Services\\DHCP\\Database");
  check(loaded);

  // Console and engine exchange the archive form; a load drops what the stream lacks.
  CDHCPDatabase copy;
  copy.AddScope(Scope("10.0.0.1", "10.0.0.9"));
  copy.AddScope(Scope("10.0.1.1", "10.0.1.9"));
  LoadFrom(copy, Store(db));
  check(copy);
  EXPECT_FALSE(copy.FindScope(2));

  // A registry length longer than the stored bytes is cut to those bytes.
  RegWriteDWORD("Services\\DHCP\\Database\\GlobalOptions\\42", "OptionLength", 200);
  loaded.Load("Services\\DHCP\\Database");
  EXPECT_EQ(loaded.GlobalOptions.GetOption(42)->Length, 8);
}

}  // namespace
