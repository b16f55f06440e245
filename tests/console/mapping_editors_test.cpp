// The mapping editors' logic without a display: the Mapping sheet's rules and its refusal texts,
// location patterns checked before they are kept, the Mappings page's working copy (add, edit in
// place, remove) reaching the service only at the service sheet's OK, and OK without changes
// keeping the service's and the rule's bytes; then a rule edited on the sheets against the real engine and
// read back from it after a restart.
#include "console/dialogs/core/mapping_editors.h"

#include <gtest/gtest.h>

#include "console/model/lookout_client.h"
#include "engine/proxy/mapping/mapping_settings.h"
#include "engine/remote/rc_codes.h"
#include "tests/console/console_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"

namespace trellis::test {
namespace {

std::shared_ptr<CMapping> Rule(const CString& host, uint32_t port) { return std::make_shared<CMapping>(host, port); }

TEST(MappingSheet, RulesRefusalsAndDescriptions) {
  RecordingPrompter prompter;
  CMapping m("db.example", 5432);
  MappingSheet sheet(m, true, {{"Provider"}, {{"alice", "", false}, {"Staff", "the staff", true}}});
  // Enable rules: the connection combo follows 1335, the user list 1106, the eight list controls 1110.
  EXPECT_FALSE(sheet.server.States().at(MappingServerPage::CONNECTOID).enabled);
  sheet.server.dialerDependent = true;
  EXPECT_TRUE(sheet.server.States().at(MappingServerPage::CONNECTOID).enabled);
  EXPECT_FALSE(sheet.user.States().at(MappingUserPage::LIST).enabled);
  for (int id = MappingLocationPage::INCLUDED; id <= MappingLocationPage::EXCLUDED_REMOVE; ++id)
    EXPECT_FALSE(sheet.location.States().at(id).enabled) << id;
  sheet.location.specify = true;
  EXPECT_TRUE(sheet.location.States().at(MappingLocationPage::EXCLUDED_REMOVE).enabled);

  // A user rule without a name is refused with the Error box, and nothing is written.
  sheet.user.specify = true;
  int refused = -1;
  EXPECT_FALSE(sheet.Ok(prompter, &refused));
  EXPECT_EQ(refused, 1);
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0], "Error|You must select a user or group");
  sheet.user.Select(sheet.Context(), 1);
  EXPECT_EQ(sheet.user.name, "Staff");

  // Location patterns: an invalid one is refused at Add and stays in the edit; Remove gives it back.
  sheet.location.includedEdit = "10.1.";
  EXPECT_FALSE(sheet.location.Add(false, prompter));
  EXPECT_EQ(prompter.boxes.back(), "Invalid location|The location \"10.1.\" is not a valid address pattern");
  EXPECT_EQ(sheet.location.includedEdit, "10.1.");
  sheet.location.includedEdit = "10.1.*.*";
  EXPECT_TRUE(sheet.location.Add(false, prompter));
  EXPECT_TRUE(sheet.location.includedEdit.empty());
  sheet.location.excludedEdit = "10.1.2.3";
  EXPECT_TRUE(sheet.location.Add(true, prompter));
  sheet.location.includedEdit = "";
  EXPECT_FALSE(sheet.location.Add(false, prompter));  // empty: nothing happens, no box
  EXPECT_EQ(prompter.boxes.size(), 2u);
  // A pattern that came in some other way is still checked at OK.
  sheet.location.included.push_back("300.1.1.1");
  EXPECT_FALSE(sheet.Ok(prompter, &refused));
  EXPECT_EQ(refused, 2);
  sheet.location.Remove(false, 1);
  EXPECT_EQ(sheet.location.includedEdit, "300.1.1.1");

  auto done = sheet.Ok(prompter);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->UserName, "Staff");
  EXPECT_EQ(done->IncludedLocations, std::vector<CString>{"10.1.*.*"});
  EXPECT_EQ(done->ExcludedLocations, std::vector<CString>{"10.1.2.3"});
  EXPECT_EQ(MappingDescription(*done), "Link to db.example:5432 by location and user");
  // The rule handed in is never touched by the sheet.
  EXPECT_EQ(m.SpecifyUser, 0u);

  done->SpecifyLocation = 0;
  done->Enabled = 0;
  EXPECT_EQ(MappingDescription(*done), "Link to db.example:5432 by user (disabled)");
  EXPECT_EQ(MappingDescription(CMapping("h", 1)), "Link to h:1 no dependencies");

  // OK without changes gives the rule's own bytes back, "from everywhere" lists included.
  CMapping full("x.example", 80);
  full.SpecifyLocation = 0;
  full.IncludedLocations = {"192.168.*.*"};
  full.DialerDependent = 1;
  full.DUNConnectoid = "Provider";
  MappingSheet same(full, true);
  auto back = same.Ok(prompter);
  ASSERT_TRUE(back);
  EXPECT_EQ(ArchiveBytes(*back), ArchiveBytes(full));
}

class MappingsOffline : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<CLookoutClient>(ui, loop.Poster());
    auto tcp = std::make_shared<CTCPMappingServiceSettings>();
    tcp->SetName("Database link");
    tcp->PortNumber = 15432;
    tcp->Mappings->AllowDefault = 0;
    tcp->Mappings->Default = CHostPort("fallback", 1);
    tcp->Mappings->AddMapping(Rule("first", 1));
    auto second = Rule("second", 2);
    second->SpecifyUser = 1;
    second->UserName = "alice";
    tcp->Mappings->AddMapping(second);
    client->EditMirrors().services->SetAt(tcp->GetName(), tcp);
    auto udp = std::make_shared<CUDPMappingServiceSettings>();
    udp->SetName("Name relay");
    udp->PortNumber = 5353;
    udp->Mappings->AddMapping(Rule("dns", 53));
    client->EditMirrors().services->SetAt(udp->GetName(), udp);
  }
  std::vector<uint8_t> Bytes(const CString& name) { return ArchiveBytes(*client->Mirrors().services->Lookup(name)); }
  std::shared_ptr<CMappings> Rules(const CString& name) {
    return ServiceMappings(*client->Mirrors().services->LookupAs<CServiceSettings>(name));
  }

  TestLoop loop;
  RecordingUi ui;
  std::unique_ptr<CLookoutClient> client;
  RecordingPrompter prompter;
};

TEST_F(MappingsOffline, OkWithoutChangesKeepsBothServicesBytes) {
  for (const char* name : {"Database link", "Name relay"}) {
    const auto before = Bytes(name);
    EditServiceSheet sheet(*client, name);
    ASSERT_NE(sheet.Page(SERVICE_PAGE_MAPPINGS), nullptr) << name;
    EXPECT_EQ(sheet.Ok(prompter), 0);
    EXPECT_EQ(Bytes(name), before) << name;
  }
  EXPECT_TRUE(prompter.boxes.empty());
}

TEST_F(MappingsOffline, TheGeneralPageShowsAndWritesTheDefaultDestination) {
  EditServiceSheet sheet(*client, "Database link");
  auto st = sheet.general.States();
  for (int id : {GeneralPage::ALLOW_DEFAULT, GeneralPage::DEFAULT_GROUP, GeneralPage::DEFAULT_HOST,
                 GeneralPage::DEFAULT_PORT, GeneralPage::DEFAULT_HOST_LABEL, GeneralPage::DEFAULT_PORT_LABEL})
    EXPECT_TRUE(st.at(id).visible) << id;
  // Loaded off: host and port follow 1191.
  EXPECT_FALSE(sheet.general.allowDefault);
  EXPECT_EQ(sheet.general.defaultHost, "fallback");
  EXPECT_FALSE(st.at(GeneralPage::DEFAULT_HOST).enabled);
  sheet.general.allowDefault = true;
  EXPECT_TRUE(sheet.general.States().at(GeneralPage::DEFAULT_PORT).enabled);
  sheet.general.defaultHost = "spare";
  sheet.general.defaultPort = 9;
  // The Mappings page runs first in the OK order; the General page's default stands.
  ASSERT_EQ(sheet.Ok(prompter), 0);
  auto rules = Rules("Database link");
  EXPECT_EQ(rules->AllowDefault, 1u);
  EXPECT_EQ(rules->Default.Host, "spare");
  EXPECT_EQ(rules->Default.Port, 9u);
  EXPECT_EQ(rules->GetMappings().size(), 2u);
}

TEST_F(MappingsOffline, WorkingCopyReachesTheServiceOnlyAtOk) {
  auto original = Rules("Database link");
  {
    EditServiceSheet sheet(*client, "Database link");
    EXPECT_EQ(sheet.mappings.Rows(),
              (std::vector<CString>{"Link to first:1 no dependencies", "Link to second:2 by user"}));
    EXPECT_FALSE(sheet.mappings.States().at(MappingsPage::REMOVE).enabled);
    sheet.mappings.selected = 0;
    EXPECT_TRUE(sheet.mappings.States().at(MappingsPage::REMOVE).enabled);
    sheet.mappings.Remove(0);
    sheet.mappings.Remove(7);  // no such row: nothing
    // Edit in place: the sheet's result replaces the row at its position.
    MappingSheet edit(*sheet.mappings.Rules()[0], true);
    edit.server.port = 2222;
    sheet.mappings.Replace(0, edit.Ok(prompter));
    // Add: a fresh rule joins the end.
    MappingSheet add(CMapping(), false);
    add.server.host = "third";
    add.server.port = 3;
    add.location.specify = true;
    add.location.includedEdit = "192.168.1.*";
    ASSERT_TRUE(add.location.Add(false, prompter));
    sheet.mappings.Add(add.Ok(prompter));
    // Nothing reached the mirror before OK; the service sheet is cancelled by dropping it.
    EXPECT_EQ(Rules("Database link")->GetMappings().size(), 2u);
    EXPECT_EQ(Rules("Database link")->GetMappings()[1]->Destination.Port, 2u);
  }
  EXPECT_EQ(Rules("Database link"), original);

  EditServiceSheet sheet(*client, "Database link");
  sheet.mappings.Remove(0);
  MappingSheet add(CMapping(), false);
  add.server.host = "third";
  add.server.port = 3;
  sheet.mappings.Add(add.Ok(prompter));
  ASSERT_EQ(sheet.Ok(prompter), 0);
  auto now = Rules("Database link");
  auto rules = now->GetMappings();
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(MappingDescription(*rules[0]), "Link to second:2 by user");
  EXPECT_EQ(MappingDescription(*rules[1]), "Link to third:3 no dependencies");
  // The default destination and its switch are the service's own, kept by this page.
  EXPECT_EQ(now->AllowDefault, 0u);
  EXPECT_EQ(now->Default.Host, "fallback");
  // The rules the old service object held (and running sessions may share) were not changed.
  EXPECT_EQ(original->GetMappings().size(), 2u);
  EXPECT_EQ(original->GetMappings()[0]->Destination.Host, "first");
}

// A mapping service made on the sheet (32), its rule then edited through the Mapping sheet (34),
// read back from the engine after a restart.
TEST(MappingsAgainstEngine, ARuleEditedOnTheSheetIsTheEnginesAfterARestart) {
  EngineProcess engine;
  std::string log;
  ASSERT_TRUE(engine.Start(&log)) << log;
  TestLoop loop;
  RecordingUi ui;
  auto client = std::make_unique<CLookoutClient>(ui, loop.Poster());
  ASSERT_EQ(FirstAdminLogIn(*client, ui, loop, engine.rcPort, RC_REQ_GET_SERVICES), "");
  const size_t shown = ui.boxes.size();
  RecordingPrompter prompter;

  uint16_t port = 0;
  do port = FreePort();
  while (port == engine.wwwPort || port == engine.rcPort);
  EditServiceSheet fresh(*client, std::make_shared<CTCPMappingServiceSettings>());
  fresh.general.name = "Database link";
  fresh.general.port = port;
  fresh.bindings.option = BINDING_SPECIFIC;
  fresh.bindings.specific = "127.0.0.1";
  MappingSheet add(CMapping(), false);
  add.server.host = "127.0.0.1";
  add.server.port = 5432;
  fresh.mappings.Add(add.Ok(prompter));
  ASSERT_EQ(fresh.Ok(prompter), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return client->OutstandingRequests() == 0; }));

  EditServiceSheet sheet(*client, "Database link");
  ASSERT_EQ(sheet.mappings.Rules().size(), 1u);
  MappingSheet edit(*sheet.mappings.Rules()[0], true, MappingContextOf(*client));
  edit.server.port = 6432;
  edit.user.specify = true;
  edit.user.Select(edit.Context(), 0);
  ASSERT_FALSE(edit.user.name.empty());  // the engine's users and groups are listed
  edit.location.specify = true;
  edit.location.includedEdit = "127.0.*.*";
  ASSERT_TRUE(edit.location.Add(false, prompter));
  sheet.mappings.Replace(0, edit.Ok(prompter));
  ASSERT_EQ(sheet.Ok(prompter), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return client->OutstandingRequests() == 0; }));
  EXPECT_TRUE(prompter.boxes.empty());
  EXPECT_EQ(ui.boxes.size(), shown);
  const CString user = edit.user.name;

  client->Request(RC_REQ_SAVE_CONFIGURATION);
  ASSERT_TRUE(loop.RunUntil([&] { return client->OutstandingRequests() == 0; }));
  ASSERT_TRUE(client->Stop(5000));
  client.reset();
  ASSERT_TRUE(engine.Restart(&log)) << log;

  trellis::test::FreshConsole afterRestart;
  ASSERT_TRUE(afterRestart.LogIn(engine.rcPort, "Administrator", "admin-pw", RC_REQ_GET_SERVICES));
  CLookoutClient& again = afterRestart.client;
  auto svc = again.Mirrors().services->LookupAs<CTCPMappingServiceSettings>("Database link");
  ASSERT_TRUE(svc);
  EXPECT_EQ(svc->PortNumber, port);
  auto rules = svc->Mappings->GetMappings();
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_EQ(rules[0]->Destination.Host, "127.0.0.1");
  EXPECT_EQ(rules[0]->Destination.Port, 6432u);
  EXPECT_EQ(rules[0]->SpecifyUser, 1u);
  EXPECT_EQ(rules[0]->UserName, user);
  EXPECT_EQ(rules[0]->SpecifyLocation, 1u);
  EXPECT_EQ(rules[0]->IncludedLocations, std::vector<CString>{"127.0.*.*"});
  EXPECT_TRUE(again.Stop(5000));
}

}  // namespace
}  // namespace trellis::test
