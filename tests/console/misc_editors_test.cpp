// The assumed-user editors, the message and confirmation dialogs and the New-service commands
// without a display: the pages' rules and checks with their exact texts, the all-or-nothing OK over
// both mirrors, nothing sent off-line; then against the real engine: the rules reach the engine
// (read back by a second console) and a browser from 127.0.0.1 is given the assumed user; a
// message goes to another console and its reply comes back; a service of every class is made
// from its first values and the engine takes it, a POP3 gateway answering on its new port.
#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <thread>

#include "console/dialogs/access/assumed_editors.h"
#include "console/dialogs/access/user_editors.h"
#include "console/dialogs/core/service_sheet.h"
#include "console/dialogs/remote/message_dialogs.h"
#include "engine/netsvc/dhcp/dhcp_settings.h"
#include "engine/netsvc/dns/dns_settings.h"
#include "engine/proxy/pop3/pop3_settings.h"
#include "engine/proxy/telnet/telnet_settings.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"
#include "tests/support/test_env.h"

namespace trellis::test {
namespace {

struct ScriptedPrompter : Prompter {
  struct Box {
    CString title, text;
  };
  void Message(const CString& title, const CString& text, uint32_t) override { boxes.push_back({title, text}); }
  bool AskYesNo(const CString& title, const CString& text, uint32_t) override {
    boxes.push_back({title, text});
    return yes;
  }
  void Beep() override {}
  CString Last() const { return boxes.empty() ? CString() : boxes.back().title + ": " + boxes.back().text; }
  std::vector<Box> boxes;
  bool yes = true;
};

// Fills the dialogs as a test tells it and runs their own OK checks.
struct ScriptedAssumedDialogs : AssumedDialogs {
  bool EditNameLocation(NameLocationDialog& d) override {
    offered = d.Users();
    if (!fill) return false;
    d.machine = machine;
    d.user = user;
    return d.Validate(prompter);
  }
  bool EditLocationRule(LocationRuleDialog& d, CLocation& location) override {
    offered = d.Users();
    shownPattern = d.pattern;
    if (!fill) return false;
    d.pattern = pattern;
    d.user = user;
    return d.Ok(prompter, location);
  }
  ScriptedPrompter prompter;
  bool fill = true;
  CString machine, pattern, user, shownPattern;
  std::vector<CString> offered;
};

class AssumedOffline : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<CLookoutClient>(ui, loop.Poster());
    auto& m = client->EditMirrors();
    m.users->CreateBuiltInAccounts(nullptr);
    ASSERT_TRUE(m.users->Add(std::make_shared<CUser>("bob", "Bob", "pw", ""), nullptr));
    m.machineNames->SetAt("LABPC", "bob");
    m.machineNames->SetAt("HALL", "Guest");
    m.locations->Add(std::make_shared<CLocation>("10.*.*.*", "bob"));
    m.locations->Add(std::make_shared<CLocation>("192.168.1.*", "Guest"));
    m.locations->Add(std::make_shared<CLocation>("172.16", "Administrator"));
  }
  std::vector<uint8_t> Locations() { return ArchiveBytes(*client->Mirrors().locations); }
  std::vector<uint8_t> Names() { return ArchiveBytes(*client->Mirrors().machineNames); }
  std::vector<CString> Patterns(const AssumedByIPPage& p) {
    std::vector<CString> out;
    for (const auto& r : p.Rows()) out.push_back(r.first);
    return out;
  }

  TestLoop loop;
  RecordingUi ui;
  std::unique_ptr<CLookoutClient> client;
  ScriptedPrompter prompter;
  ScriptedAssumedDialogs dialogs;
};

TEST_F(AssumedOffline, PagesLoadBothMirrorsAndOkWithoutChangesKeepsTheirBytes) {
  const auto locations = Locations(), names = Names();
  AssumedUsersSheet sheet(*client);
  ASSERT_EQ(sheet.byName.rows.size(), 2u);
  EXPECT_EQ(sheet.byName.rows[0].first, "HALL");
  EXPECT_EQ(sheet.byName.rows[1].user, "bob");
  EXPECT_EQ(Patterns(sheet.byIP), (std::vector<CString>{"10.*.*.*", "192.168.1.*", "172.16"}));
  EXPECT_EQ(sheet.Ok(prompter), -1);
  EXPECT_TRUE(prompter.boxes.empty());
  // New objects replaced the mirrors, with the same bytes; off-line nothing went out.
  EXPECT_EQ(Locations(), locations);
  EXPECT_EQ(Names(), names);
  EXPECT_EQ(client->OutstandingRequests(), 0u);
}

TEST_F(AssumedOffline, UpAndDownStopAtTheEndsAndRemoveFollowsTheSelection) {
  AssumedUsersSheet sheet(*client);
  AssumedByIPPage& ip = sheet.byIP;
  // Rules: Remove needs a row; Up not on the first, Down not on the last.
  struct Rule {
    int selected;
    bool remove, up, down;
  } rules[] = {{-1, false, false, false}, {0, true, false, true}, {1, true, true, true}, {2, true, true, false}};
  for (const Rule& r : rules) {
    ip.selected = r.selected;
    ControlStates s = ip.States();
    EXPECT_EQ(s[AssumedByIPPage::REMOVE].enabled, r.remove) << r.selected;
    EXPECT_EQ(s[AssumedByIPPage::UP].enabled, r.up) << r.selected;
    EXPECT_EQ(s[AssumedByIPPage::DOWN].enabled, r.down) << r.selected;
  }
  EXPECT_FALSE(ip.Up(0));
  EXPECT_FALSE(ip.Down(2));
  EXPECT_FALSE(ip.Down(7));
  EXPECT_EQ(Patterns(ip), (std::vector<CString>{"10.*.*.*", "192.168.1.*", "172.16"}));
  EXPECT_TRUE(ip.Down(0));
  EXPECT_EQ(ip.selected, 1);
  EXPECT_TRUE(ip.Up(2));
  EXPECT_EQ(ip.selected, 1);
  EXPECT_EQ(Patterns(ip), (std::vector<CString>{"192.168.1.*", "172.16", "10.*.*.*"}));
  EXPECT_TRUE(ip.Remove(2));
  EXPECT_EQ(ip.selected, 1);
  EXPECT_FALSE(ip.Remove(5));

  ASSERT_EQ(sheet.Ok(prompter), -1);
  // The engine tries the table in this order.
  EXPECT_EQ(client->Mirrors().locations->FindByAddress("10.1.2.3"), "");
  EXPECT_EQ(client->Mirrors().locations->FindByAddress("172.16.0.9"), "Administrator");
  EXPECT_EQ(client->Mirrors().locations->GetSize(), 2u);
}

TEST_F(AssumedOffline, DialogsOfferUsersOnlyAndRefuseBadNamesPatternsAndDuplicates) {
  const auto locations = Locations(), names = Names();
  AssumedUsersSheet sheet(*client);
  // Users, not groups, in name order.
  dialogs.fill = false;
  EXPECT_FALSE(sheet.byName.Add(dialogs));
  EXPECT_EQ(dialogs.offered, (std::vector<CString>{"Administrator", "Guest", "bob"}));
  dialogs.fill = true;

  struct Case {
    const char* machine;
    const char* user;
    const char* box;
  } cases[] = {
      {"", "bob", "Machine name: You must enter a machine name"},
      {"labpc", "bob", "Machine name: The machine name \"labpc\" is already in the list"},
      {"a\\b", "bob",
       "Invalid name: A name may not be empty, longer than 255 characters, or hold \\, / or control "
       "characters."},
      {"NEWPC", "", "Assumed user: You must choose the user that is assumed"},
      {"NEWPC", "Users", "Assumed user: \"Users\" is not a user of this engine"},
      {"NEWPC", "nobody", "Assumed user: \"nobody\" is not a user of this engine"},
  };
  for (const Case& c : cases) {
    dialogs.machine = c.machine;
    dialogs.user = c.user;
    EXPECT_FALSE(sheet.byName.Add(dialogs)) << c.machine;
    EXPECT_EQ(dialogs.prompter.Last(), c.box);
  }
  EXPECT_EQ(sheet.byName.rows.size(), 2u);
  // A row may keep its own name when edited, in another letter case too.
  dialogs.machine = "labpc";
  dialogs.user = "Administrator";
  EXPECT_TRUE(sheet.byName.Edit(1, dialogs));
  EXPECT_EQ(sheet.byName.rows[1].first, "labpc");
  dialogs.machine = "NEWPC";
  dialogs.user = "bob";
  EXPECT_TRUE(sheet.byName.Add(dialogs));
  EXPECT_EQ(sheet.byName.selected, 2);

  // Patterns: one that does not compile is refused and the row keeps its values.
  for (const char* bad : {"", "10.*.*.*.*", "300.1", "abc", "1..2"}) {
    dialogs.pattern = bad;
    dialogs.user = "bob";
    EXPECT_FALSE(sheet.byIP.Edit(0, dialogs)) << bad;
    EXPECT_EQ(dialogs.prompter.Last(),
              CString("Invalid location: The location \"") + bad + "\" is not a valid address pattern");
    EXPECT_FALSE(sheet.byIP.Add(dialogs)) << bad;
  }
  EXPECT_EQ(dialogs.shownPattern, "");  // a new rule starts empty
  EXPECT_EQ(Patterns(sheet.byIP), (std::vector<CString>{"10.*.*.*", "192.168.1.*", "172.16"}));
  dialogs.pattern = "10.1.*.*";
  dialogs.user = "Guest";
  EXPECT_TRUE(sheet.byIP.Edit(0, dialogs));
  EXPECT_EQ(dialogs.shownPattern, "10.*.*.*");
  dialogs.pattern = "127.*.*.*";
  dialogs.user = "bob";
  EXPECT_TRUE(sheet.byIP.Add(dialogs));
  EXPECT_EQ(Patterns(sheet.byIP), (std::vector<CString>{"10.1.*.*", "192.168.1.*", "172.16", "127.*.*.*"}));

  // Cancel: the sheet goes away; the mirrors never saw any of it.
  EXPECT_EQ(Locations(), locations);
  EXPECT_EQ(Names(), names);

  // OK: both mirrors take the rows; the new mask is in force.
  ASSERT_EQ(sheet.Ok(prompter), -1);
  EXPECT_EQ(client->Mirrors().locations->FindByAddress("127.0.0.1"), "bob");
  EXPECT_EQ(client->Mirrors().locations->FindByAddress("10.1.9.9"), "Guest");
  CString user;
  EXPECT_TRUE(client->Mirrors().machineNames->Lookup("labpc", user));
  EXPECT_EQ(user, "Administrator");
  EXPECT_FALSE(client->Mirrors().machineNames->Lookup("LABPC", user));
  EXPECT_TRUE(client->Mirrors().machineNames->Lookup("NEWPC", user));
}

TEST_F(AssumedOffline, ARowWhoseUserWasDeletedRefusesTheSheetAndTouchesNeither) {
  const auto locations = Locations(), names = Names();
  AssumedUsersSheet sheet(*client);
  // bob is deleted (another console) while the sheet is open.
  ASSERT_TRUE(client->EditMirrors().users->RemoveKey("bob"));
  EXPECT_EQ(sheet.Ok(prompter), 0);
  EXPECT_EQ(prompter.Last(), "Assumed user: \"bob\" is not a user of this engine");
  EXPECT_EQ(sheet.byName.selected, 1);
  ASSERT_TRUE(sheet.byName.Remove(1));
  EXPECT_EQ(sheet.Ok(prompter), 1);
  EXPECT_EQ(sheet.byIP.selected, 0);
  EXPECT_EQ(Locations(), locations);
  EXPECT_EQ(Names(), names);
  ASSERT_TRUE(sheet.byIP.Remove(0));
  EXPECT_EQ(sheet.Ok(prompter), -1);
  EXPECT_EQ(client->Mirrors().locations->GetSize(), 2u);
}

TEST(MessageDialogs, ReplyTitleButtonsAndLabelFollowTheModeAndNothingIsSentOffline) {
  TestLoop loop;
  RecordingUi ui;
  CLookoutClient client(ui, loop.Poster());
  SendMessageForm f = SendMessageForm::Received("Message from Administrator on 192.168.0.2", "hi", "192.168.0.2");
  EXPECT_EQ(f.GetMode(), SendMessageForm::READING);
  EXPECT_EQ(f.ButtonText(), "&Reply");
  EXPECT_EQ(f.LabelText(), "Message");
  EXPECT_FALSE(f.States()[SendMessageForm::TEXT].enabled);
  EXPECT_FALSE(f.PressButtonOne(client));  // stays open
  EXPECT_EQ(f.Title(), "Reply to Administrator on 192.168.0.2");
  EXPECT_EQ(f.ButtonText(), "&Send");
  EXPECT_EQ(f.LabelText(), "Your Message");
  EXPECT_EQ(f.text, "hi");  // the text box keeps its content
  EXPECT_TRUE(f.States()[SendMessageForm::TEXT].enabled);
  f.text = "answer";
  EXPECT_TRUE(f.PressButtonOne(client));  // closes, off-line without sending
  EXPECT_EQ(f.SentRequest(), 0u);
  EXPECT_EQ(f.Address(), "192.168.0.2");
  // A title the session did not make is not cut blindly: the reply names the address.
  SendMessageForm odd = SendMessageForm::Received("Hi", "x", "10.0.0.7");
  odd.ToWriting();
  EXPECT_EQ(odd.Title(), "Reply to 10.0.0.7");
  SendMessageForm to = SendMessageForm::ToUser("bob", "10.0.0.8");
  EXPECT_EQ(to.Title(), "Message to bob on 10.0.0.8");
  EXPECT_EQ(to.ButtonText(), "&Send");
}

TEST(MessageDialogs, ConfirmationSwitchesRoundTripThroughTheProfile) {
  struct Store : KeyValueStore {
    std::optional<CString> Get(const CString& g, const CString& k) const override {
      auto it = v.find(g + "/" + k);
      return it == v.end() ? std::nullopt : std::optional<CString>(it->second);
    }
    void Set(const CString& g, const CString& k, const CString& value) override { v[g + "/" + k] = value; }
    std::map<CString, CString> v;
  } store;
  ConsoleSettings settings;
  settings.Load(store);
  ConfirmationOptionsForm form;
  form.Load(settings.warnings);
  for (int id : ConfirmationOptionsForm::kIds) EXPECT_TRUE(form.Checked(id)) << id;
  form.SetChecked(ConfirmationOptionsForm::DELETE_SERVICE, false);
  form.SetChecked(ConfirmationOptionsForm::DELETE_SESSION, false);
  form.Apply(settings.warnings);
  settings.SaveLogin(store);
  EXPECT_EQ(store.v["Warnings/DeleteService"], "0");
  EXPECT_EQ(store.v["Warnings/DeleteSession"], "0");
  EXPECT_EQ(store.v["Warnings/BindExternal"], "1");
  ConsoleSettings next;
  next.Load(store);
  ConfirmationOptionsForm again;
  again.Load(next.warnings);
  EXPECT_FALSE(again.Checked(ConfirmationOptionsForm::DELETE_SERVICE));
  EXPECT_FALSE(again.Checked(ConfirmationOptionsForm::DELETE_SESSION));
  EXPECT_TRUE(again.Checked(ConfirmationOptionsForm::DELETE_USER_GROUP));
  EXPECT_TRUE(again.Checked(ConfirmationOptionsForm::BIND_EXTERNAL));
}

TEST(NewServiceGeneralPage, EachClassShowsItsOwnFieldsAndOkWithoutChangesKeepsItsBytes) {
  TestLoop loop;
  RecordingUi ui;
  CLookoutClient client(ui, loop.Poster());
  client.EditMirrors().users->CreateBuiltInAccounts(nullptr);
  // Class -> the one class-specific control group it shows (0: none).
  const std::pair<const char*, int> table[] = {{"CPOP3Service", GeneralPage::DELIMITER},
                                               {"CDNSService", GeneralPage::AUTODIAL},
                                               {"CDHCPService", GeneralPage::PUBLIC_IPS},
                                               {"CTelnetService", GeneralPage::LOGIN},
                                               {"CWWWService", GeneralPage::JAVA_CLIENT},
                                               {"CFTPService", 0},
                                               {"CXDMAService", 0}};
  const int specific[] = {GeneralPage::DELIMITER,    GeneralPage::DELIMITER_LABEL, GeneralPage::AUTODIAL,
                          GeneralPage::PUBLIC_IPS,   GeneralPage::LOGIN,           GeneralPage::PROMPT,
                          GeneralPage::PROMPT_LABEL, GeneralPage::JAVA_CLIENT};
  for (const auto& [cls, shown] : table) {
    auto svc = std::dynamic_pointer_cast<CServiceSettings>(CRuntimeClass::FromName(cls)->CreateObject());
    ASSERT_TRUE(svc) << cls;
    svc->SetName(CString("old ") + cls);
    svc->PortNumber = 4000;
    svc->SpecificBinding = "192.168.1.1";  // a DHCP server binds to one interface
    // ...and its access right never takes the default rights (the sheet keeps it so).
    if (CString(cls) == "CDHCPService") svc->AccessRights.IncludeDefaultRights = kDefaultRightsIgnored;
    client.EditMirrors().services->SetAt(svc->GetName(), svc);
    const auto before = ArchiveBytes(*svc);
    EditServiceSheet sheet(client, svc->GetName());
    ControlStates st = sheet.general.States();
    for (int id : specific) {
      const bool want = id == shown || (shown == GeneralPage::DELIMITER && id == GeneralPage::DELIMITER_LABEL) ||
                        (shown == GeneralPage::LOGIN && (id == GeneralPage::PROMPT || id == GeneralPage::PROMPT_LABEL));
      EXPECT_EQ(st[id].visible, want) << cls << " " << id;
    }
    ScriptedPrompter p;
    ASSERT_EQ(sheet.Ok(p), 0) << cls << ": " << p.Last();
    EXPECT_EQ(ArchiveBytes(*client.Mirrors().services->Lookup(svc->GetName())), before) << cls;
  }
  // The first values of a new POP3 service: "#" as its delimiter.
  EditServiceSheet pop3(client, std::make_shared<CPOP3ServiceSettings>());
  EXPECT_EQ(pop3.general.delimiter, "#");
  EditServiceSheet telnet(client, std::make_shared<CTelnetServiceSettings>());
  EXPECT_EQ(telnet.general.prompt, "Trellis>");
  EXPECT_TRUE(telnet.general.enableLogin);
  EditServiceSheet dns(client, std::make_shared<CDNSServiceSettings>());
  EXPECT_TRUE(dns.general.allowAutodial);
  // Turning public addresses on warns; turning them off does not.
  EditServiceSheet dhcp(client, std::make_shared<CDHCPServiceSettings>());
  ScriptedPrompter p;
  dhcp.general.ClickPublicIPs(false, p);
  EXPECT_TRUE(p.boxes.empty());
  dhcp.general.ClickPublicIPs(true, p);
  ASSERT_EQ(p.boxes.size(), 1u);
  EXPECT_EQ(p.boxes[0].title, "Warning");
  EXPECT_EQ(p.boxes[0].text.rfind("You should only enable this option if you are not using\nprivate IP", 0), 0u);
  dhcp.general.name = "lan dhcp";
  dhcp.bindings.specific = "192.168.1.1";
  dhcp.general.port = 67;
  ASSERT_EQ(dhcp.Ok(p), 0);
  EXPECT_EQ(client.Mirrors().services->LookupAs<CDHCPServiceSettings>("lan dhcp")->AllowAllocatePublicIPs, 1u);
}

// ---- Against the real engine ------------------------------------------------------------------------

class MiscAgainstEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string log;
    ASSERT_TRUE(engine.Start(&log)) << log;
    client = std::make_unique<CLookoutClient>(ui, loop.Poster());
    ASSERT_EQ(FirstAdminLogIn(*client, ui, loop, engine.rcPort, RC_REQ_GET_USERS), "");
    // The first log-in's "must change password" box is behind us.
    ui.boxes.clear();
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
};

TEST_F(MiscAgainstEngine, AssumedRulesReachTheEngineAndABrowserIsGivenTheAssumedUser) {
  struct NoConfirm : UserDialogs {
    std::optional<CString> ConfirmPassword(const CString& typed) override { return typed; }
  } userDialogs;
  EditUserSheet carol(*client, "", userDialogs);
  carol.info.name = "carol";
  carol.info.password = carol.info.confirm = "carol-pw";
  ASSERT_EQ(carol.Ok(prompter), -1);
  ASSERT_TRUE(loop.RunUntil([&] { return Done(); }));

  ScriptedAssumedDialogs dialogs;
  AssumedUsersSheet sheet(*client);
  dialogs.pattern = "127.*.*.*";
  dialogs.user = "carol";
  ASSERT_TRUE(sheet.byIP.Add(dialogs));
  dialogs.machine = "LABPC";
  ASSERT_TRUE(sheet.byName.Add(dialogs));
  ASSERT_EQ(sheet.Ok(prompter), -1);
  ASSERT_TRUE(loop.RunUntil([&] { return Done(); }));
  EXPECT_TRUE(ui.boxes.empty()) << ui.boxes[0].title << ": " << ui.boxes[0].text;
  EXPECT_TRUE(client->ConfigurationChanged());

  // A second console reads both tables back from the engine.
  FreshConsole other;
  ASSERT_TRUE(other.LogIn(engine.rcPort, "Administrator", "admin-pw", RC_REQ_GET_ASSUMPTIONS));
  EXPECT_EQ(other.client.Mirrors().locations->FindByAddress("127.0.0.9"), "carol");
  CString user;
  EXPECT_TRUE(other.client.Mirrors().machineNames->Lookup("LABPC", user));
  EXPECT_EQ(user, "carol");

  // A browser from 127.0.0.3 through the web proxy: the engine assumes carol for its machine
  // (level 1), and the consoles' activity shows it.
  // Its request stays open until the machine was seen.
  const int browser = ConnectTo("127.0.0.3", "127.0.0.1", engine.wwwPort);
  ASSERT_GE(browser, 0);
  ASSERT_TRUE(SendAll(browser, "GET http://127.0.0.2:9/ HTTP/1.0\r\n"));
  const bool seen = other.loop.RunUntil(
      [&] {
        auto it = other.client.Mirrors().machines.find("127.0.0.3");
        return it != other.client.Mirrors().machines.end() && it->second.record.UserName == "carol";
      },
      60000);
  close(browser);
  ASSERT_TRUE(seen) << "the machine was not given the assumed user";
  EXPECT_EQ(other.client.Mirrors().machines.at("127.0.0.3").record.SecurityLevel, 1u);
  EXPECT_TRUE(other.client.Stop(5000));
}

TEST_F(MiscAgainstEngine, AMessageReachesTheConsoleAtThatAddressAndItsReplyComesBack) {
  FreshConsole other;
  ASSERT_TRUE(other.LogIn(engine.rcPort, "Administrator", "admin-pw", RC_REQ_GET_USERS));
  SendMessageForm to = SendMessageForm::ToUser("Administrator", "127.0.0.1");
  to.text = "are you there?";
  ASSERT_TRUE(to.PressButtonOne(*client));
  EXPECT_NE(to.SentRequest(), 0u);
  ASSERT_TRUE(other.loop.RunUntil([&] { return !other.ui.popups.empty(); }));
  const auto& got = other.ui.popups[0];
  EXPECT_EQ(got.style, 2u);
  EXPECT_EQ(got.title, "Message from Administrator on 127.0.0.1");
  EXPECT_EQ(got.text, "are you there?|127.0.0.1");

  // The other console answers in the same dialog.
  SendMessageForm answer = SendMessageForm::Received(got.title, "are you there?", "127.0.0.1");
  EXPECT_FALSE(answer.PressButtonOne(other.client));
  answer.text = "yes";
  EXPECT_TRUE(answer.PressButtonOne(other.client));
  ASSERT_TRUE(loop.RunUntil([&] {
    for (const auto& p : ui.popups)
      if (p.text == "yes|127.0.0.1") return true;
    return false;
  }));
  EXPECT_TRUE(other.client.Stop(5000));
}

TEST_F(MiscAgainstEngine, ANewServiceOfEveryClassIsTakenByTheEngineAndAPop3GatewayServesOnItsPort) {
  const char* classes[] = {"CDNSService",           "CFTPService",        "CPOP3Service",       "CRealAudioService",
                           "CSOCKSService",         "CTCPMappingService", "CUDPMappingService", "CVDOLiveService",
                           "CRemoteControlService", "CWWWService",        "CTelnetService",     "CXDMAService",
                           "CDHCPService"};
  uint16_t pop3Port = 0;
  for (const char* cls : classes) {
    const CRuntimeClass* rc = CRuntimeClass::FromName(cls);
    ASSERT_TRUE(rc) << cls;
    auto fresh = std::dynamic_pointer_cast<CServiceSettings>(rc->CreateObject());
    ASSERT_TRUE(fresh) << cls;
    EditServiceSheet sheet(*client, fresh);
    EXPECT_TRUE(sheet.general.enabled) << cls;
    sheet.general.name = CString("new ") + cls;
    // UDP classes take their port from a UDP probe, the others from TCP: both free on loopback.
    sheet.general.port = FreePort();
    if (CString(cls) == "CPOP3Service") {
      pop3Port = static_cast<uint16_t>(sheet.general.port);
      sheet.general.delimiter = "!";
    }
    if (CString(cls) == "CTelnetService") {
      sheet.general.prompt = "gw>";
      sheet.general.enableLogin = false;
    }
    ASSERT_EQ(sheet.Ok(prompter), 0) << cls << ": " << prompter.Last();
    ASSERT_TRUE(loop.RunUntil([&] { return Done(); })) << cls;
  }
  EXPECT_TRUE(ui.boxes.empty()) << ui.boxes[0].title << ": " << ui.boxes[0].text;

  FreshConsole other;
  ASSERT_TRUE(other.LogIn(engine.rcPort, "Administrator", "admin-pw", RC_REQ_GET_SERVICES));
  for (const char* cls : classes) {
    auto svc = other.client.Mirrors().services->LookupAs<CServiceSettings>(CString("new ") + cls);
    ASSERT_TRUE(svc) << cls;
    EXPECT_STREQ(svc->GetRuntimeClass()->m_className, cls);
  }
  EXPECT_EQ(other.client.Mirrors().services->LookupAs<CPOP3ServiceSettings>("new CPOP3Service")->Delimiter, 33u);
  auto telnet = other.client.Mirrors().services->LookupAs<CTelnetServiceSettings>("new CTelnetService");
  EXPECT_EQ(telnet->Prompt, "gw>");
  EXPECT_EQ(telnet->EnableLogin, 0u);
  // The engine started the gateway on the port the sheet gave it.
  std::string greeting;
  for (int i = 0; i < 50 && greeting.empty(); ++i) {
    int fd = Connect(pop3Port);
    if (fd >= 0) {
      greeting = ReadSome(fd, 10, 3000);
      close(fd);
    }
    if (greeting.empty()) usleep(100000);
  }
  EXPECT_EQ(greeting.rfind("+OK Trellis", 0), 0u) << greeting;
  EXPECT_TRUE(other.client.Stop(5000));
}

}  // namespace
}  // namespace trellis::test
