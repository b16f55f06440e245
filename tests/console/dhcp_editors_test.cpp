// The DHCP editors' logic without a display: the option table, every option type's bytes against
// the server's own reply writer (and back), the length bounds refused rather than cut, the
// options dialog never putting an empty option in use, the scope and reservation checks and the
// MAC address form the server compares, the DHCP Mode rules, and the DHCP Settings tree and its
// commands on a copy: Cancel and OK without changes keep the service's bytes, and the
// configuration's lease side effects never run from the console.
#include "console/dialogs/netsvc/dhcp_editors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>

#include "console/dialogs/core/dhcp_pages.h"
#include "console/model/lookout_client.h"
#include "engine/netsvc/dhcp/dhcp_message.h"
#include "engine/netsvc/dhcp/dhcp_settings.h"
#include "tests/console/console_harness.h"

namespace trellis::test {
namespace {

// Each dialog the editors open takes the next scripted answer of its kind; none left is Cancel.
struct ScriptedDialogs : DHCPDialogs {
  bool EditOption(CDHCPOption& o) override { return Next(option, o); }
  bool EditOptions(CDHCPOptionsContainer& c) override { return Next(options, c); }
  bool EditScope(CDHCPScope& s, const std::vector<CIPRange>& o) override {
    others = o;
    return Next(scope, s);
  }
  bool EditReservation(CDHCPReservation& r, const std::vector<CString>& t, const std::vector<CIPRange>& s) override {
    taken = t;
    scopes = s;
    return Next(reservation, r);
  }
  template <class Q, class T>
  static bool Next(Q& queue, T& obj) {
    if (queue.empty()) return false;
    auto fn = std::move(queue.front());
    queue.pop_front();
    return fn(obj);
  }
  std::deque<std::function<bool(CDHCPOption&)>> option;
  std::deque<std::function<bool(CDHCPOptionsContainer&)>> options;
  std::deque<std::function<bool(CDHCPScope&)>> scope;
  std::deque<std::function<bool(CDHCPReservation&)>> reservation;
  std::vector<CString> taken;
  std::vector<CIPRange> others, scopes;
};

// Records every call the configuration makes to the engine's lease table.
struct RecordingHost : IDHCPAddressHost {
  std::optional<LeaseState> GetLeaseState(uint32_t) override {
    ++calls;
    return std::nullopt;
  }
  bool RemoveLease(uint32_t) override { return ++calls, true; }
  void AddReservedLease(uint32_t, uint32_t) override { ++calls; }
  bool IsLocalAddress(uint32_t) override { return ++calls, false; }
  void RemoveLeasesOfScope(uint32_t) override { ++calls; }
  EchoState Ping(uint32_t) override { return ++calls, EchoState::kSilent; }
  int calls = 0;
};

uint32_t Ip(const char* text) { return ParseIPAddress(text); }

CDHCPOption Option(uint8_t code, std::vector<uint8_t> bytes) { return CDHCPOption(code, bytes.data(), bytes.size()); }

std::vector<uint8_t> Bytes(const CDHCPOption& o) { return std::vector<uint8_t>(o.Data, o.Data + o.Length); }

// The editor of code's type, given values by set, through its OK.
std::optional<CDHCPOption> Edited(uint8_t code, const std::function<void(DHCPOptionEditorLogic&)>& set,
                                  RecordingPrompter& prompter, FieldError* error = nullptr) {
  CDHCPOption o;
  o.Code = code;
  DHCPOptionEditorLogic editor(o);
  set(editor);
  FieldError e;
  if (!editor.Validate(prompter, error ? error : &e)) return std::nullopt;
  editor.Apply(o);
  return o;
}

// The option as the server's reply writer puts it on the wire: code, length, data.
std::vector<uint8_t> OnTheWire(uint8_t code, const std::function<bool(dhcp::CDHCPMessageWriter&)>& write) {
  uint8_t request[dhcp::kMinRequest] = {1, 1, 6};
  dhcp::CDHCPMessageWriter w(request, sizeof request);
  EXPECT_TRUE(write(w));
  const uint8_t* p = w.Data() + dhcp::kOptionsStart;
  EXPECT_EQ(p[0], code);
  return std::vector<uint8_t>(p, p + 2 + p[1]);
}

std::vector<uint8_t> Written(const CDHCPOption& o) {
  return OnTheWire(o.Code, [&](auto& w) { return w.SetOption(o.Code, o.Data, o.Length); });
}

TEST(DHCPOptionTable, OffersTheFortyEditableCodesAndNeverTheProtocolsOwn) {
  const std::vector<uint8_t> offered = OfferedDHCPOptions();
  std::vector<uint8_t> expected;
  for (int c = 2; c <= 49; ++c)
    if (!(c >= 21 && c <= 26) && c != 33 && c != 43) expected.push_back(static_cast<uint8_t>(c));
  EXPECT_EQ(offered, expected);
  EXPECT_EQ(offered.size(), 40u);
  EXPECT_EQ(DHCPOptionName(255), "DHCP_END");
  EXPECT_EQ(DHCPOptionsLogic::Description(255), "DHCP_END");
  EXPECT_EQ(DHCPOptionName(53), "DHCPOPT_DHCPMESSAGETYPE");
  EXPECT_EQ(DHCPOptionName(6), "DNS server");
  EXPECT_EQ(DHCPOptionsLogic::Description(45), "Netbios over TCP/IP datagram server (NBDD)");
  EXPECT_EQ(FindDHCPOptionInfo(46)->type, DHCP_TYPE_NODE_TYPE);
  EXPECT_EQ(FindDHCPOptionInfo(62), nullptr);
}

TEST(DHCPOptionCodecs, EveryTypeWritesWhatTheServerWritesAndReadsBackUnchanged) {
  RecordingPrompter p;
  // One address: the server's own address writer and its option record's.
  auto swap = Edited(
      16, [](auto& e) { e.value = " 10.1.2.3 "; }, p);
  ASSERT_TRUE(swap);
  EXPECT_EQ(Bytes(*swap), (std::vector<uint8_t>{10, 1, 2, 3}));
  EXPECT_EQ(Written(*swap), OnTheWire(16, [](auto& w) { return w.SetOptionAddress(16, Ip("10.1.2.3")); }));
  CDHCPOption record;
  record.Code = 16;
  record.SetAddress(Ip("10.1.2.3"));
  EXPECT_EQ(Bytes(*swap), Bytes(record));
  // 32-bit: the server's dword writer.
  auto arp = Edited(
      35, [](auto& e) { e.value = "16909060"; }, p);
  ASSERT_TRUE(arp);
  EXPECT_EQ(Written(*arp), OnTheWire(35, [](auto& w) { return w.SetOptionDword(35, 0x01020304); }));
  // 8-bit: the server's byte writer.
  auto ttl = Edited(
      37, [](auto& e) { e.value = "64"; }, p);
  ASSERT_TRUE(ttl);
  EXPECT_EQ(Written(*ttl), OnTheWire(37, [](auto& w) { return w.SetOptionByte(37, 64); }));
  // 16-bit in network order, and a flag as one byte.
  auto boot = Edited(
      13, [](auto& e) { e.value = "258"; }, p);
  ASSERT_TRUE(boot);
  EXPECT_EQ(Written(*boot), (std::vector<uint8_t>{13, 2, 1, 2}));
  auto forward = Edited(
      19, [](auto& e) { e.flag = true; }, p);
  ASSERT_TRUE(forward);
  EXPECT_EQ(Written(*forward), OnTheWire(19, [](auto& w) { return w.SetOptionByte(19, 1); }));
  // The time offset is signed: five hours west of UTC.
  auto offset = Edited(
      2, [](auto& e) { e.value = "-18000"; }, p);
  ASSERT_TRUE(offset);
  EXPECT_EQ(Written(*offset), OnTheWire(2, [](auto& w) { return w.SetOptionDword(2, static_cast<uint32_t>(-18000)); }));
  // Addresses in order, text without a NUL, node types 1/2/4/8.
  auto dns = Edited(
      6,
      [](auto& e) {
        e.list = {"10.0.0.2", "10.0.0.1"};
      },
      p);
  ASSERT_TRUE(dns);
  EXPECT_EQ(Written(*dns), (std::vector<uint8_t>{6, 8, 10, 0, 0, 2, 10, 0, 0, 1}));
  auto domain = Edited(
      15, [](auto& e) { e.value = "lab.test"; }, p);
  ASSERT_TRUE(domain);
  EXPECT_EQ(Written(*domain), (std::vector<uint8_t>{15, 8, 'l', 'a', 'b', '.', 't', 'e', 's', 't'}));
  for (uint8_t node : {1, 2, 4, 8}) {
    auto nbt = Edited(
        46, [&](auto& e) { e.nodeType = node; }, p);
    ASSERT_TRUE(nbt);
    EXPECT_EQ(Written(*nbt), OnTheWire(46, [&](auto& w) { return w.SetOptionByte(46, node); }));
  }
  EXPECT_TRUE(p.boxes.empty());

  // Back: every option loads into its editor and goes out through OK byte for byte.
  for (const CDHCPOption& o : {*swap, *arp, *ttl, *boot, *forward, *offset, *dns, *domain}) {
    DHCPOptionEditorLogic editor(o);
    FieldError e;
    ASSERT_TRUE(editor.Validate(p, &e)) << int(o.Code);
    CDHCPOption again;
    editor.Apply(again);
    EXPECT_EQ(again.Code, o.Code);
    EXPECT_EQ(Bytes(again), Bytes(o)) << int(o.Code);
  }
  EXPECT_EQ(DHCPOptionEditorLogic(*offset).value, "-18000");
  EXPECT_EQ(DHCPOptionEditorLogic(*dns).list, (std::vector<CString>{"10.0.0.2", "10.0.0.1"}));
  // Data of the wrong length for its type shows as no value rather than a misread one.
  EXPECT_EQ(DHCPOptionEditorLogic(Option(16, {10, 1, 2})).value, "");
  EXPECT_TRUE(DHCPOptionEditorLogic(Option(6, {10, 1, 2, 3, 4})).list.empty());
  EXPECT_EQ(DHCPOptionEditorLogic(Option(46, {3})).nodeType, 0);
}

TEST(DHCPOptionCodecs, OverlongTextsAndListsAreRefusedNeverCut) {
  RecordingPrompter p;
  // 252 bytes is the most an option holds, and the server's writer carries it whole.
  auto longest = Edited(
      17, [](auto& e) { e.value = CString(252, 'r'); }, p);
  ASSERT_TRUE(longest);
  EXPECT_EQ(longest->Length, 252);
  EXPECT_EQ(Written(*longest).size(), 254u);
  EXPECT_FALSE(Edited(
      17, [](auto& e) { e.value = CString(253, 'r'); }, p));
  EXPECT_EQ(p.boxes.back(), CString("Edit DHCP Option|") + DHCPTextTooLongText(253));
  EXPECT_EQ(DHCPTextTooLongText(253), "The text is 253 bytes long; a DHCP option holds at most 252.");
  // The bound is in bytes: 127 two-byte characters are too many.
  CString accents;
  for (int i = 0; i < 127; ++i) accents += "\xc3\xa9";
  EXPECT_FALSE(Edited(
      15, [&](auto& e) { e.value = accents; }, p));
  EXPECT_EQ(p.boxes.back(), CString("Edit DHCP Option|") + DHCPTextTooLongText(254));

  // 63 addresses fit; the 64th is refused at Add and stays in the edit.
  CDHCPOption o;
  o.Code = 42;
  DHCPOptionEditorLogic list(o);
  for (int i = 1; i <= 63; ++i) {
    list.listEdit = FormatString("10.0.%d.%d", i / 200, i % 200 + 1);
    ASSERT_TRUE(list.AddAddress(p));
  }
  EXPECT_FALSE(list.States().at(DHCPOptionEditorLogic::LIST_ADD).enabled);
  list.listEdit = "10.9.9.9";
  EXPECT_FALSE(list.AddAddress(p));
  EXPECT_EQ(p.boxes.back(), CString("Edit DHCP Option|") + kTextTooManyAddresses);
  EXPECT_EQ(list.listEdit, "10.9.9.9");
  FieldError e;
  ASSERT_TRUE(list.Validate(p, &e));
  list.Apply(o);
  EXPECT_EQ(o.Length, 252);
  EXPECT_EQ(Written(o).size(), 254u);
  // A list grown past the bound some other way is refused at OK, too.
  list.list.push_back("10.9.9.9");
  EXPECT_FALSE(list.Validate(p, &e));
  EXPECT_FALSE(EncodeDHCPAddressList(std::vector<uint32_t>(64, 1)));
  EXPECT_FALSE(EncodeDHCPText(CString(253, 'x')));
}

TEST(DHCPOptionEditors, RefuseWhatDoesNotParseWithTheirTexts) {
  RecordingPrompter p;
  FieldError e;
  EXPECT_FALSE(Edited(
      37, [](auto& x) { x.value = "256"; }, p, &e));
  EXPECT_EQ(e.control, DHCPOptionEditorLogic::VALUE);
  EXPECT_EQ(e.text, IntegerRangeText(0, 255));
  EXPECT_FALSE(Edited(
      13, [](auto& x) { x.value = "65536"; }, p, &e));
  EXPECT_EQ(e.text, IntegerRangeText(0, 65535));
  EXPECT_FALSE(Edited(
      35, [](auto& x) { x.value = "-1"; }, p, &e));
  EXPECT_FALSE(Edited(
      2, [](auto& x) { x.value = "2147483648"; }, p, &e));
  EXPECT_EQ(e.text, kTextEnterSignedInteger);
  EXPECT_TRUE(Edited(
      2, [](auto& x) { x.value = "-2147483648"; }, p));
  EXPECT_FALSE(Edited(
      16, [](auto& x) { x.value = "10.1.2"; }, p, &e));
  EXPECT_EQ(e.text, kTextEnterAddress);
  EXPECT_FALSE(Edited(
      12, [](auto& x) { x.value = ""; }, p, &e));
  EXPECT_EQ(e.text, kTextEnterText);
  const size_t before = p.boxes.size();
  EXPECT_FALSE(Edited(
      3, [](auto&) {}, p));
  EXPECT_FALSE(Edited(
      46, [](auto&) {}, p));
  ASSERT_EQ(p.boxes.size(), before + 2);
  EXPECT_EQ(p.boxes[before], CString("Edit DHCP Option|") + kTextNoAddresses);
  EXPECT_EQ(p.boxes[before + 1], CString("Edit DHCP Option|") + kTextChooseNodeType);

  // The list editor: a bad address is refused; Remove puts the address back; Up and Dn move.
  CDHCPOption o;
  o.Code = 3;
  DHCPOptionEditorLogic list(o);
  list.listEdit = "10.0.0.300";
  EXPECT_FALSE(list.AddAddress(p));
  for (const char* a : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
    list.listEdit = a;
    ASSERT_TRUE(list.AddAddress(p));
  }
  list.listSelected = 2;
  list.MoveAddress(true);
  EXPECT_EQ(list.list, (std::vector<CString>{"10.0.0.1", "10.0.0.3", "10.0.0.2"}));
  EXPECT_EQ(list.listSelected, 1u);
  list.listSelected = 0;
  EXPECT_FALSE(list.States().at(DHCPOptionEditorLogic::LIST_UP).enabled);
  list.RemoveAddress();
  EXPECT_EQ(list.listEdit, "10.0.0.1");
  EXPECT_EQ(list.list, (std::vector<CString>{"10.0.0.3", "10.0.0.2"}));
}

TEST(DHCPOptionsDialog, ListsOnlyOfferedCodesAndAddsAnOptionOnlyWithItsValue) {
  CDHCPOptionsContainer c;
  c.SetOption(Option(1, {255, 255, 255, 0}));
  c.SetOption(Option(53, {5}));
  c.SetOption(Option(3, {10, 0, 0, 1}));
  DHCPOptionsLogic logic(c);
  EXPECT_EQ(logic.InUse(), std::vector<uint8_t>{3});
  const auto available = logic.Available();
  EXPECT_EQ(available.size(), 39u);
  EXPECT_EQ(available.front(), 2);
  for (uint8_t never : {0, 1, 21, 26, 33, 43, 50, 53, 61})
    EXPECT_EQ(std::count(available.begin(), available.end(), never), 0);
  ScriptedDialogs none;
  EXPECT_FALSE(logic.Add(53, none));
  EXPECT_FALSE(logic.Remove(1));
  EXPECT_TRUE(c.GetOption(1));

  // "Add >>" with the editor cancelled leaves nothing in use.
  ScriptedDialogs d;
  d.option.push_back([](CDHCPOption&) { return false; });
  EXPECT_FALSE(logic.Add(6, d));
  EXPECT_FALSE(c.GetOption(6));
  d.option.push_back([](CDHCPOption& o) {
    EXPECT_EQ(o.Code, 6);
    EXPECT_EQ(o.Length, 0);
    RecordingPrompter p;
    DHCPOptionEditorLogic e(o);
    e.list = {"10.0.0.53"};
    FieldError err;
    if (!e.Validate(p, &err)) return false;
    e.Apply(o);
    return true;
  });
  EXPECT_TRUE(logic.Add(6, d));
  EXPECT_EQ(Bytes(*c.GetOption(6)), (std::vector<uint8_t>{10, 0, 0, 53}));
  EXPECT_EQ(logic.InUse(), (std::vector<uint8_t>{3, 6}));
  // Edit works on a copy: Cancel keeps the value even when the editor touched it.
  d.option.push_back([](CDHCPOption& o) {
    o.SetAddress(1);
    return false;
  });
  EXPECT_FALSE(logic.Edit(3, d));
  EXPECT_EQ(Bytes(*c.GetOption(3)), (std::vector<uint8_t>{10, 0, 0, 1}));
  d.option.push_back([](CDHCPOption& o) {
    o.SetAddress(Ip("10.0.0.254"));
    return true;
  });
  EXPECT_TRUE(logic.Edit(3, d));
  EXPECT_EQ(Bytes(*c.GetOption(3)), (std::vector<uint8_t>{10, 0, 0, 254}));
  EXPECT_TRUE(logic.Remove(3));
  EXPECT_EQ(logic.InUse(), std::vector<uint8_t>{6});
}

TEST(DHCPScopeDialog, ChecksTheRangeMaskAndLeaseAndKeepsExclusionsInOrder) {
  RecordingPrompter p;
  CDHCPScope scope;
  ScopeDialogLogic s;
  s.Load(scope);
  EXPECT_EQ(s.from, "");
  EXPECT_EQ(s.mask, "255.255.255.0");
  EXPECT_EQ(s.days, "3");
  FieldError e;
  EXPECT_FALSE(s.Validate(p, &e));
  EXPECT_EQ(e.control, ScopeDialogLogic::FROM);
  EXPECT_EQ(e.text, kTextEnterAddress);

  struct Case {
    const char *from, *to, *mask, *days, *hours, *minutes;
    int control;       // a field that does not parse
    const char* text;  // or a refusal's text
  } cases[] = {
      {"10.0.0.10", "10.0.0.x", "255.255.255.0", "1", "0", "0", ScopeDialogLogic::TO, nullptr},
      {"10.0.0.10", "10.0.0.20", "255.255.255.0", "61", "0", "0", ScopeDialogLogic::DAYS, nullptr},
      {"10.0.0.10", "10.0.0.20", "255.255.255.0", "0", "24", "0", ScopeDialogLogic::HOURS, nullptr},
      {"10.0.0.10", "10.0.0.20", "255.255.255.0", "0", "0", "60", ScopeDialogLogic::MINUTES, nullptr},
      {"10.0.0.20", "10.0.0.10", "255.255.255.0", "1", "0", "0", 0, kTextRangeOrder},
      {"10.0.0.10", "10.0.1.20", "255.255.255.0", "1", "0", "0", 0, kTextRangeOutsideMask},
      {"10.0.0.10", "10.0.0.20", "255.0.255.0", "1", "0", "0", 0, kTextBadMask},
      {"10.0.0.10", "10.0.0.20", "0.0.0.0", "1", "0", "0", 0, kTextBadMask},
      {"10.0.0.10", "10.0.0.20", "255.255.255.0", "0", "0", "0", 0, kTextZeroLease},
  };
  for (const Case& c : cases) {
    s.from = c.from, s.to = c.to, s.mask = c.mask, s.days = c.days, s.hours = c.hours, s.minutes = c.minutes;
    FieldError err;
    const size_t boxes = p.boxes.size();
    EXPECT_FALSE(s.Validate(p, &err)) << c.from << " " << c.to << " " << c.mask;
    EXPECT_EQ(err.control, c.control);
    if (c.text) {
      ASSERT_EQ(p.boxes.size(), boxes + 1);
      EXPECT_EQ(p.boxes.back(), CString("Scope Properties|") + c.text);
    } else {
      EXPECT_EQ(p.boxes.size(), boxes);
    }
  }
  EXPECT_EQ(IntegerRangeText(0, 60), "Please enter an integer between 0 and 60.");

  // Exclusions: a bad address or a reversed range is refused; Remove puts both back.
  s.excludeFrom = "10.0.0.12";
  s.excludeTo = "10.0.0.11";
  EXPECT_FALSE(s.AddExclusion(p, &e));
  EXPECT_EQ(p.boxes.back(), CString("Scope Properties|") + kTextExclusionOrder);
  s.excludeTo = "nonsense";
  EXPECT_FALSE(s.AddExclusion(p, &e));
  EXPECT_EQ(e.control, ScopeDialogLogic::EXCLUDE_TO);
  s.excludeTo = "10.0.0.14";
  ASSERT_TRUE(s.AddExclusion(p, &e));
  s.excludeFrom = "10.0.0.18";
  s.excludeTo = "";
  ASSERT_TRUE(s.AddExclusion(p, &e));
  EXPECT_EQ(s.ExclusionRows(), (std::vector<CString>{"10.0.0.12 - 10.0.0.14", "10.0.0.18"}));
  s.exclusionSelected = 0;
  s.RemoveExclusion();
  EXPECT_EQ(s.excludeFrom, "10.0.0.12");
  EXPECT_EQ(s.excludeTo, "10.0.0.14");
  EXPECT_EQ(s.ExclusionRows(), std::vector<CString>{"10.0.0.18"});

  // OK: the lease in seconds, the range, the mask, the exclusions and the options.
  s.from = "10.0.0.10", s.to = "10.0.0.20", s.mask = "255.255.255.0";
  s.days = "1", s.hours = "2", s.minutes = "3";
  s.description = "lab";
  s.enabled = false;
  ScriptedDialogs d;
  d.options.push_back([](CDHCPOptionsContainer& c) {
    c.SetOption(Option(15, {'l', 'a', 'b'}));
    return true;
  });
  ASSERT_TRUE(s.EditOptions(d));
  ASSERT_TRUE(s.Validate(p, &e));
  s.Apply(scope);
  EXPECT_EQ(scope.LeaseDuration, 86400u + 2 * 3600 + 3 * 60);
  EXPECT_EQ(scope.InclusionRange.StartAddress, Ip("10.0.0.10"));
  EXPECT_EQ(scope.InclusionRange.EndAddress, Ip("10.0.0.20"));
  EXPECT_EQ(scope.NetMask, Ip("255.255.255.0"));
  EXPECT_EQ(scope.Enabled, 0u);
  EXPECT_EQ(scope.Description, "lab");
  ASSERT_EQ(scope.GetExclusions().size(), 1u);
  EXPECT_EQ(scope.GetExclusions()[0].StartAddress, Ip("10.0.0.18"));
  EXPECT_EQ(scope.GetExclusions()[0].EndAddress, 0u);
  EXPECT_TRUE(scope.Options.GetOption(15));

  // A range that overlaps another scope's, and an exclusion outside the range, are kept only on
  // the operator's Yes.
  ScopeDialogLogic o;
  o.Load(scope, {CIPRange(Ip("10.0.0.30"), Ip("10.0.0.40")), CIPRange(Ip("10.0.0.5"), Ip("10.0.0.12"))});
  o.excludeFrom = "10.0.0.60";
  ASSERT_TRUE(o.AddExclusion(p, &e));
  for (bool yes : {false, true}) {
    p.boxes.clear();
    p.answer = yes;
    EXPECT_EQ(o.Validate(p, &e), yes);
    ASSERT_EQ(p.boxes.size(), yes ? 2u : 1u);
    EXPECT_EQ(p.boxes[0], "Scope Properties|" + DHCPScopeOverlapText(CIPRange(Ip("10.0.0.5"), Ip("10.0.0.12"))));
    if (yes) {
      EXPECT_EQ(p.boxes[1], "Scope Properties|" + DHCPExclusionOutsideText(CIPRange(Ip("10.0.0.60"), 0)));
    }
  }
  // Beside the other scopes and with its exclusions inside: no question.
  o.Load(scope, {CIPRange(Ip("10.0.0.30"), Ip("10.0.0.40")), CIPRange(Ip("10.0.0.21"), 0)});
  p.boxes.clear();
  EXPECT_TRUE(o.Validate(p, &e));
  EXPECT_TRUE(p.boxes.empty());
  EXPECT_EQ(DHCPScopeOverlapText(CIPRange(Ip("10.0.0.5"), Ip("10.0.0.12"))),
            "The range overlaps the scope 10.0.0.5 - 10.0.0.12:\nan address of both could be given to two "
            "clients.\n\nDo you wish to keep it?");
  p.answer = false;
}

TEST(DHCPReservationDialog, RequiresAFreeAddressAndStoresTheMacAsTheServerComparesIt) {
  RecordingPrompter p;
  FieldError e;
  CDHCPReservation r;
  ReservationDialogLogic logic;
  logic.Load(r, {"10.0.0.50"}, {CIPRange(Ip("10.0.0.10"), Ip("10.0.0.99"))});
  logic.matchOn = CDHCPReservation::MATCH_HARDWARE_ADDRESS;
  logic.match = "02:00:00:aa:bb:0c";
  EXPECT_FALSE(logic.Validate(p, &e));
  EXPECT_EQ(e.control, ReservationDialogLogic::ADDRESS);
  EXPECT_EQ(e.text, kTextReservedAddressRequired);
  logic.address = "10.0.0";
  EXPECT_FALSE(logic.Validate(p, &e));
  EXPECT_EQ(e.text, kTextEnterAddress);
  logic.address = "10.0.0.50";
  EXPECT_FALSE(logic.Validate(p, &e));
  EXPECT_EQ(p.boxes.back(), "Reservation|The address 10.0.0.50 is already reserved.");

  for (const char* bad :
       {"02:00:00:aa:bb", "02:00-00:aa:bb:0c", "0200000aabb0c", "02:00:00:aa:bb:0g", "2:0:0:aa:bb:c"}) {
    logic.address = "10.0.0.51";
    logic.match = bad;
    e = {};
    EXPECT_FALSE(logic.Validate(p, &e)) << bad;
    EXPECT_EQ(e.text, kTextBadMac) << bad;
  }
  logic.match = "";
  EXPECT_FALSE(logic.Validate(p, &e));
  EXPECT_EQ(e.text, kTextMatchRequired);
  for (const char* good : {"02:00:00:aa:bb:0c", "02-00-00-AA-BB-0C", "020000aabb0C"}) {
    logic.match = good;
    ASSERT_TRUE(logic.Validate(p, &e)) << good;
    logic.Apply(r);
    EXPECT_EQ(r.MatchData, "020000AABB0C");
  }
  EXPECT_EQ(r.IPAddress, "10.0.0.51");
  // The server's text of that client's hardware address matches it.
  uint8_t request[dhcp::kMinRequest] = {1, 1, 6, 0};
  const uint8_t mac[6] = {0x02, 0, 0, 0xaa, 0xbb, 0x0c};
  std::memcpy(request + 28, mac, 6);
  std::memcpy(request + 236, "\x63\x82\x53\x63", 4);
  dhcp::Request parsed;
  const char* why = nullptr;
  std::vector<uint8_t> datagram(request, request + sizeof request);
  datagram.push_back(53), datagram.push_back(1), datagram.push_back(1), datagram.push_back(255);
  ASSERT_TRUE(dhcp::ParseRequest(datagram.data(), datagram.size(), &parsed, &why)) << why;
  EXPECT_TRUE(r.Matches("", parsed.hardwareAddress));
  // A computer name is kept as typed.
  logic.matchOn = CDHCPReservation::MATCH_COMPUTER_NAME;
  logic.match = " Desk-01 ";
  ASSERT_TRUE(logic.Validate(p, &e));
  logic.Apply(r);
  EXPECT_EQ(r.MatchData, "Desk-01");
  EXPECT_EQ(r.MatchOn, CDHCPReservation::MATCH_COMPUTER_NAME);
  // An address in no scope's range is never given out: kept only on the operator's Yes.
  logic.address = "10.0.1.7";
  for (bool yes : {false, true}) {
    p.boxes.clear();
    p.answer = yes;
    EXPECT_EQ(logic.Validate(p, &e), yes);
    EXPECT_EQ(p.boxes, std::vector<CString>{"Reservation|" + DHCPReservationOutsideText("10.0.1.7")});
  }
}

class DHCPSheet : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<CLookoutClient>(ui, loop.Poster());
    auto& m = client->EditMirrors();
    for (const char* a : {"192.168.1.1", "192.168.2.1"}) {
      auto lan = std::make_shared<CInterface>(INTERFACE_IP, a);
      lan->m_lan = 1;
      m.interfaces->SetAt(a, lan);
    }
    auto svc = std::make_shared<CDHCPServiceSettings>();
    svc->SetName("DHCP Service");
    svc->BindingOption = BINDING_SPECIFIC;
    svc->SpecificBinding = "192.168.1.1";
    // As the Policies page keeps it for this service (the engine never consults default rights
    // for it), so the sheet's OK has nothing of its own to change.
    svc->AccessRights.IncludeDefaultRights = kDefaultRightsIgnored;
    auto& db = svc->Database;
    db.OperatingMode = CDHCPDatabase::MODE_MANUAL;
    db.AutoOptions = CDHCPDatabase::AUTO_ROUTER;
    auto scope = std::make_shared<CDHCPScope>();
    scope->BoundInterface = "192.168.1.1";
    scope->Description = "office";
    scope->InclusionRange = CIPRange(Ip("192.168.1.10"), Ip("192.168.1.99"));
    db.AddScope(scope);
    // A scope on an interface the service is no longer bound to stays in the tree.
    auto old = std::make_shared<CDHCPScope>();
    old->BoundInterface = "192.168.9.1";
    old->InclusionRange = CIPRange(Ip("192.168.9.10"), Ip("192.168.9.20"));
    db.AddScope(old);
    auto r = std::make_shared<CDHCPReservation>();
    r->IPAddress = "192.168.1.50";
    r->MatchData = "020000000001";
    r->MatchOn = 1;
    r->ScopeID = 1;
    db.AddReservation(r);
    db.GlobalOptions.SetOption(Option(15, {'l', 'a', 'b'}));
    // The engine's lease table behind the mirror's object: the console must never reach it.
    svc->Database.SetAddressHost(&host);
    m.services->SetAt(svc->GetName(), svc);
  }
  std::vector<uint8_t> ServiceBytes() { return ArchiveBytes(*client->Mirrors().services->Lookup("DHCP Service")); }
  std::shared_ptr<CDHCPServiceSettings> Service() {
    return client->Mirrors().services->LookupAs<CDHCPServiceSettings>("DHCP Service");
  }
  static const DHCPTreeItem* Find(const std::vector<DHCPTreeItem>& tree, const CString& text) {
    for (const DHCPTreeItem& item : tree) {
      if (item.text == text) return &item;
      if (const DHCPTreeItem* found = Find(item.children, text)) return found;
    }
    return nullptr;
  }

  TestLoop loop;
  RecordingUi ui;
  RecordingHost host;
  std::unique_ptr<CLookoutClient> client;
  RecordingPrompter prompter;
};

TEST_F(DHCPSheet, ModePageTakesOnlyTheThreeFlagsAndEnablesThemOnlyWhenSemiAutomatic) {
  const std::shared_ptr<CDHCPServiceSettings> service = Service();
  ASSERT_TRUE(service);
  service->Database.AutoOptions = 0xFF;
  EditServiceSheet sheet(*client, "DHCP Service");
  ASSERT_TRUE(sheet.Page(SERVICE_PAGE_DHCP_MODE));
  ASSERT_TRUE(sheet.Page(SERVICE_PAGE_DHCP_SETTINGS));
  DHCPModePage& mode = *sheet.dhcpMode;
  EXPECT_EQ(mode.mode, CDHCPDatabase::MODE_MANUAL);
  for (auto [m, enabled] : {std::pair{0u, false}, std::pair{1u, true}, std::pair{2u, false}}) {
    mode.mode = m;
    for (int id : {DHCPModePage::CREATE_SCOPES, DHCPModePage::ASSIGN_GATEWAY, DHCPModePage::ASSIGN_DNS})
      EXPECT_EQ(mode.States().at(id).enabled, enabled) << m << " " << id;
  }
  mode.mode = CDHCPDatabase::MODE_SEMI_AUTOMATIC;
  mode.autoOptions = 0xF0 | CDHCPDatabase::AUTO_DNS;
  EXPECT_EQ(sheet.Ok(prompter), 0);
  EXPECT_EQ(Service()->Database.OperatingMode.load(), CDHCPDatabase::MODE_SEMI_AUTOMATIC);
  EXPECT_EQ(Service()->Database.AutoOptions.load(), CDHCPDatabase::AUTO_DNS);
  // Off-line: the mirror changed, nothing went out.
  EXPECT_EQ(client->OutstandingRequests(), 0u);
}

TEST_F(DHCPSheet, TheTreeShowsInterfacesScopesReservationsAndGlobalOptionsLast) {
  EditServiceSheet sheet(*client, "DHCP Service");
  DHCPSettingsPage& page = *sheet.dhcpSettings;
  auto tree = page.Tree();
  ASSERT_EQ(tree.size(), 3u);
  EXPECT_EQ(tree[0].text, "192.168.1.1");
  EXPECT_EQ(tree[1].text, "192.168.9.1");
  EXPECT_EQ(tree[2].text, "Global Options");
  EXPECT_EQ(tree[2].kind, DHCP_ITEM_GLOBAL);
  ASSERT_EQ(tree[0].children.size(), 1u);
  EXPECT_EQ(tree[0].children[0].text, "[192.168.1.10 - 192.168.1.99] office");
  ASSERT_EQ(tree[0].children[0].children.size(), 1u);
  EXPECT_EQ(tree[0].children[0].children[0].text, "[192.168.1.50] 020000000001");
  // The tree follows the Bindings page as it is now.
  sheet.bindings.option = BINDING_LIST;
  sheet.bindings.bound = {{"192.168.2.1", "Stopped", INTERFACE_IP}};
  EXPECT_EQ(page.Tree()[0].text, "192.168.2.1");

  // Commands by the kind of item.
  struct Row {
    int kind;
    bool newScope, newReservation, del, properties;
  } rows[] = {{DHCP_ITEM_INTERFACE, true, false, false, false},
              {DHCP_ITEM_SCOPE, true, true, true, true},
              {DHCP_ITEM_RESERVATION, true, true, true, true},
              {DHCP_ITEM_GLOBAL, false, false, false, true}};
  for (const Row& r : rows) {
    DHCPTreeItem item;
    item.kind = r.kind;
    const ControlStates st = page.States(&item);
    EXPECT_EQ(st.at(DHCPSettingsPage::NEW_SCOPE).enabled, r.newScope) << r.kind;
    EXPECT_EQ(st.at(DHCPSettingsPage::NEW_RESERVATION).enabled, r.newReservation) << r.kind;
    EXPECT_EQ(st.at(DHCPSettingsPage::DELETE).enabled, r.del) << r.kind;
    EXPECT_EQ(st.at(DHCPSettingsPage::PROPERTIES).enabled, r.properties) << r.kind;
  }
}

TEST_F(DHCPSheet, CommandsWorkOnACopyAndCancelOrOkWithoutChangesKeepTheBytes) {
  const auto before = ServiceBytes();
  {
    // Every command cancelled, then OK: the bytes are those of the engine's object.
    EditServiceSheet sheet(*client, "DHCP Service");
    DHCPSettingsPage& page = *sheet.dhcpSettings;
    ScriptedDialogs d;
    auto tree = page.Tree();
    d.scope.push_back([](CDHCPScope& s) {
      s.Description = "changed, then cancelled";
      return false;
    });
    EXPECT_FALSE(page.Properties(tree[0].children[0], d));
    EXPECT_FALSE(page.NewScope(tree[0], d));
    EXPECT_FALSE(page.NewReservation(tree[0].children[0], d));
    EXPECT_FALSE(page.Properties(tree[0].children[0].children[0], d));
    EXPECT_FALSE(page.Properties(tree.back(), d));
    EXPECT_EQ(page.Tree()[0].children[0].text, "[192.168.1.10 - 192.168.1.99] office");
    ASSERT_EQ(sheet.Ok(prompter), 0);
    EXPECT_EQ(ServiceBytes(), before);
  }
  // OK put a fresh copy in the mirror; the engine's lease table goes behind it again.
  Service()->Database.SetAddressHost(&host);
  EditServiceSheet sheet(*client, "DHCP Service");
  DHCPSettingsPage& page = *sheet.dhcpSettings;
  ScriptedDialogs d;
  auto tree = page.Tree();
  // A new reservation on an interface item is not offered: it would be in no scope.
  EXPECT_FALSE(page.NewReservation(tree[0], d));
  // New scope on the interface: numbered by the configuration, on that interface.
  d.scope.push_back([](CDHCPScope& s) {
    s.InclusionRange = CIPRange(Ip("192.168.1.100"), Ip("192.168.1.120"));
    s.Description = "second";
    return true;
  });
  ASSERT_TRUE(page.NewScope(tree[0], d));
  // The dialog checks the new range against the others.
  ASSERT_FALSE(d.others.empty());
  tree = page.Tree();
  const DHCPTreeItem* second = Find(tree, "[192.168.1.100 - 192.168.1.120] second");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->scopeId, 3u);
  // New reservation on it; the addresses others hold go to the dialog.
  d.reservation.push_back([](CDHCPReservation& r) {
    EXPECT_EQ(r.ScopeID, 3u);
    r.IPAddress = "192.168.1.110";
    r.MatchData = "020000000002";
    return true;
  });
  ASSERT_TRUE(page.NewReservation(*second, d));
  EXPECT_EQ(d.taken, std::vector<CString>{"192.168.1.50"});
  // ... and every scope's range, which the address is checked against.
  EXPECT_EQ(d.scopes.size(), d.others.size() + 1);
  // Editing a reservation moves it when its address changes.
  tree = page.Tree();
  const DHCPTreeItem* r50 = Find(tree, "[192.168.1.50] 020000000001");
  ASSERT_TRUE(r50);
  d.reservation.push_back([](CDHCPReservation& r) {
    r.IPAddress = "192.168.1.51";
    return true;
  });
  ASSERT_TRUE(page.Properties(*r50, d));
  EXPECT_EQ(d.taken, std::vector<CString>{"192.168.1.110"});
  // Deleting the first scope takes its reservation along.
  tree = page.Tree();
  ASSERT_TRUE(page.Delete(tree[0].children[0]));
  EXPECT_FALSE(page.Database().FindReservationByAddress("192.168.1.51"));
  // The mirror's object is untouched until OK, and the lease table was never called.
  EXPECT_EQ(ServiceBytes(), before);
  ASSERT_EQ(sheet.Ok(prompter), 0);
  EXPECT_EQ(host.calls, 0);
  auto svc = Service();
  EXPECT_FALSE(svc->Database.FindScope(1));
  ASSERT_TRUE(svc->Database.FindScope(3));
  EXPECT_EQ(svc->Database.FindScope(3)->BoundInterface, "192.168.1.1");
  ASSERT_TRUE(svc->Database.FindReservationByAddress("192.168.1.110"));
  EXPECT_EQ(svc->Database.FindReservationByAddress("192.168.1.110")->MatchData, "020000000002");
  EXPECT_TRUE(svc->Database.GlobalOptions.GetOption(15));
  EXPECT_EQ(client->OutstandingRequests(), 0u);
}

}  // namespace
}  // namespace trellis::test
