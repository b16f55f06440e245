// The service property sheet's logic without a display: the page set and OK order by class, the
// pages' rules and questions with their texts, restart-needed, OK without changes keeping the
// service's bytes, a refusal leaving the mirror as it was; then a port, a binding and the logging
// changed through the sheet against the real engine, seen on the sockets and read back from the
// engine after a restart.
#include "console/dialogs/core/service_sheet.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>

#include "console/model/lookout_client.h"
#include "engine/proxy/www/www_settings.h"
#include "engine/remote/rc_codes.h"
#include "engine/remote/rc_service_settings.h"
#include "tests/console/console_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"

namespace trellis::test {
namespace {

class ServiceSheetOffline : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<CLookoutClient>(ui, loop.Poster());
    auto& m = client->EditMirrors();
    auto lan = std::make_shared<CInterface>(INTERFACE_IP, "192.168.1.1");
    lan->m_lan = 1;
    auto wan = std::make_shared<CInterface>(INTERFACE_IP, "203.0.113.5");
    wan->m_outside = 1;
    m.interfaces->SetAt("192.168.1.1", lan);
    m.interfaces->SetAt("203.0.113.5", wan);
    m.interfaces->SetAt("127.0.0.1", std::make_shared<CInterface>(INTERFACE_LOOPBACK, "127.0.0.1"));
    m.interfaces->SetAt("Provider", std::make_shared<CInterface>(INTERFACE_DIALUP, "Provider"));
    auto www = std::make_shared<CWWWServiceSettings>();
    www->SetName("WWW Proxy server");
    www->SetDescription("the web proxy");
    www->PortNumber = 8080;
    www->BindingOption = BINDING_LIST;
    auto b = std::make_shared<CBinding>();
    b->m_state = BINDING_LISTENING;
    b->m_interface = CInterface(INTERFACE_IP, "192.168.1.1");
    www->Bindings.SetAt("192.168.1.1", b);
    www->LogOptions = 1 | 4 | 64;
    www->ConnectMethod = 1;
    www->ProxyServer = "upstream";
    www->ProxyPort = 3128;
    www->NonProxyRequestAction = 3;
    www->ServerRoot = "/srv/www";
    m.services->SetAt(www->GetName(), www);
    auto rc = std::make_shared<CRemoteControlServiceSettings>();
    rc->SetName("Remote Control Service");
    rc->PortNumber = 808;
    m.services->SetAt(rc->GetName(), rc);
  }
  std::vector<uint8_t> Bytes(const CString& name) { return ArchiveBytes(*client->Mirrors().services->Lookup(name)); }

  TestLoop loop;
  RecordingUi ui;
  std::unique_ptr<CLookoutClient> client;
  ScriptedPrompter prompter;
};

TEST_F(ServiceSheetOffline, PagesAndOkOrderFollowTheClass) {
  CWWWServiceSettings www;
  EXPECT_EQ(ServicePageSet(www), (std::vector<int>{147, 187, 188, 151, 148, 149, 178, 160}));
  EXPECT_EQ(ServiceOkOrder(www), (std::vector<int>{147, 151, 148, 160, 178, 149, 187, 188}));
  CRemoteControlServiceSettings rc;
  std::vector<int> rcPages = ServicePageSet(rc);
  EXPECT_EQ(rcPages.front(), 147);
  EXPECT_EQ(rcPages.back(), 160);
  CUDPServiceSettings udp;
  EXPECT_EQ(ServicePageSet(udp), (std::vector<int>{147, 187, 188, 151, 148, 149, 160}));

  EditServiceSheet rcSheet(*client, "Remote Control Service");
  EXPECT_FALSE(rcSheet.general.States()[GeneralPage::ENABLED].enabled);
  EXPECT_FALSE(rcSheet.general.States()[GeneralPage::NAME].enabled);
  EXPECT_FALSE(rcSheet.general.States()[GeneralPage::JAVA_CLIENT].visible);
  EditServiceSheet sheet(*client, "WWW Proxy server");
  EXPECT_EQ(sheet.Title(), "WWW Proxy server Properties");
  EXPECT_TRUE(sheet.general.States()[GeneralPage::ENABLED].enabled);
  EXPECT_TRUE(sheet.general.States()[GeneralPage::JAVA_CLIENT].visible);
  EXPECT_FALSE(sheet.general.States()[GeneralPage::DELIMITER].visible);
}

TEST_F(ServiceSheetOffline, RulesOfEveryPageAsTables) {
  EditServiceSheet sheet(*client, "WWW Proxy server");
  // Bindings: dial-up interfaces are never offered; the bound one is listed with its state.
  BindingsPage& b = sheet.bindings;
  EXPECT_EQ(b.combo, (std::vector<CString>{"127.0.0.1", "192.168.1.1", "203.0.113.5"}));
  EXPECT_EQ(b.specific, "127.0.0.1");  // nothing stored: the first entry is offered
  ASSERT_EQ(b.bound.size(), 1u);
  EXPECT_EQ(b.bound[0].status, "Started");
  struct Row {
    uint32_t option;
    bool lists, combo, reuseEnabled;
    std::optional<bool> reuseChecked;
  };
  for (const Row& r :
       {Row{0, false, false, true, false}, Row{1, false, true, true, false}, Row{2, true, false, false, true}}) {
    b.option = r.option;
    ControlStates st = b.States();
    EXPECT_EQ(st[BindingsPage::BOUND].enabled, r.lists) << r.option;
    EXPECT_EQ(st[BindingsPage::AVAILABLE].enabled, r.lists) << r.option;
    EXPECT_EQ(st[BindingsPage::COMBO].enabled, r.combo) << r.option;
    EXPECT_EQ(st[BindingsPage::REUSE].enabled, r.reuseEnabled) << r.option;
    EXPECT_EQ(st[BindingsPage::REUSE].checked, r.reuseChecked) << r.option;
  }
  // Interfaces.
  for (uint32_t m : {0u, 1u, 2u}) {
    sheet.interfaces.method = m;
    ControlStates st = sheet.interfaces.States();
    EXPECT_EQ(st[InterfacesPage::COMBO].enabled, m == 1) << m;
    EXPECT_EQ(st[InterfacesPage::IN_USE].enabled, m == 2) << m;
  }
  // Non-proxy: which controls each action enables.
  struct NP {
    uint32_t action;
    bool pipe, url, web;
  };
  for (const NP& r :
       {NP{0, false, false, false}, NP{1, true, false, false}, NP{2, false, true, false}, NP{3, false, false, true}}) {
    sheet.nonProxy.action = r.action;
    ControlStates st = sheet.nonProxy.States();
    for (int id : {1082, 1083, 1073, 1074, 1078}) EXPECT_EQ(st[id].enabled, r.pipe) << r.action << " " << id;
    EXPECT_EQ(st[NonProxyPage::URL].enabled, r.url);
    EXPECT_EQ(st[NonProxyPage::WEB_SERVER].enabled, r.web);
    EXPECT_TRUE(st[NonProxyPage::WEB_SERVER].visible);
  }
  // Connection: offered methods only; the SOCKS4 password only for SOCKS4.
  ConnectionPage& c = sheet.connection;
  c.offered = 1 | 4;
  c.method = 0;
  ControlStates st = c.States();
  EXPECT_TRUE(st[ConnectionPage::CASCADED].enabled);
  EXPECT_FALSE(st[ConnectionPage::SOCKS4].enabled);
  EXPECT_FALSE(st[ConnectionPage::SERVER].enabled);
  c.method = 2;
  st = c.States();
  EXPECT_TRUE(st[ConnectionPage::SERVER].enabled);
  EXPECT_TRUE(st[ConnectionPage::SOCKS4_PASSWORD].enabled);
  // Logging.
  sheet.logging.enabled = false;
  for (const auto& [id, bit] : LoggingPage::kBits) EXPECT_FALSE(sheet.logging.States()[id].enabled) << id;
}

TEST_F(ServiceSheetOffline, OkWithoutChangesKeepsTheBytesAndARefusalKeepsTheMirror) {
  const auto before = Bytes("WWW Proxy server");
  {
    EditServiceSheet sheet(*client, "WWW Proxy server");
    EXPECT_EQ(sheet.Ok(prompter), 0);
    EXPECT_TRUE(prompter.boxes.empty());
    EXPECT_EQ(Bytes("WWW Proxy server"), before);
    EXPECT_EQ(client->OutstandingRequests(), 0u);  // off-line
  }
  {
    // The description alone needs no restart.
    EditServiceSheet sheet(*client, "WWW Proxy server");
    sheet.general.description = "changed";
    EXPECT_EQ(sheet.Ok(prompter), 0);
    auto s = client->Mirrors().services->LookupAs<CServiceSettings>("WWW Proxy server");
    EXPECT_EQ(s->Description, "changed");
    EXPECT_EQ(s->RestartNeeded, 0u);
  }
  const auto changed = Bytes("WWW Proxy server");
  EditServiceSheet sheet(*client, "WWW Proxy server");
  sheet.general.port = 9090;
  sheet.logging.options = 2;
  // Unbinding the only interface asks; No refuses at Bindings, after General and Logging
  // validated, and nothing is written anywhere.
  sheet.bindings.Unbind(0);
  EXPECT_EQ(sheet.Ok(prompter), SERVICE_PAGE_BINDINGS);
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0].title, kTitleInvalidSetting);
  EXPECT_EQ(prompter.boxes[0].text, kTextNoBindings);
  EXPECT_EQ(Bytes("WWW Proxy server"), changed);
  // Binding the outside interface asks first; No leaves it available.
  auto row = [&](const char* name) {
    for (size_t i = 0; i < sheet.bindings.available.size(); ++i)
      if (sheet.bindings.available[i].name == name) return i;
    return sheet.bindings.available.size();
  };
  sheet.bindings.Bind(row("203.0.113.5"), prompter);
  EXPECT_EQ(prompter.boxes.back().title, kTitleSecurityProblem);
  EXPECT_TRUE(sheet.bindings.bound.empty());
  prompter.answers = {true};
  sheet.bindings.Bind(row("203.0.113.5"), prompter);
  ASSERT_EQ(sheet.bindings.bound.size(), 1u);
  // Rotating over no interface is refused: the engine would have none to take.
  sheet.interfaces.method = INTERFACE_METHOD_ROUND_ROBIN;
  EXPECT_EQ(sheet.Ok(prompter), SERVICE_PAGE_INTERFACES);
  EXPECT_EQ(prompter.boxes.back().text, kTextNoRotateInterfaces);
  sheet.interfaces.Move(false, 0);
  EXPECT_EQ(sheet.Ok(prompter), 0);
  auto s = client->Mirrors().services->LookupAs<CServiceSettings>("WWW Proxy server");
  EXPECT_EQ(s->PortNumber, 9090u);
  EXPECT_EQ(s->LogOptions, 2u);
  EXPECT_EQ(s->RestartNeeded, 1u);
  EXPECT_FALSE(s->Bindings.Lookup("192.168.1.1"));
  ASSERT_TRUE(s->Bindings.LookupAs<CBinding>("203.0.113.5"));
  EXPECT_EQ(s->Bindings.LookupAs<CBinding>("203.0.113.5")->m_state, BINDING_TO_OPEN);
  EXPECT_EQ(s->Interfaces.GetCount(), 1u);
  EXPECT_TRUE(ui.HasView(VIEW_TREE_UPDATE, RC_NOTIFY_SERVICE_CHANGED, "WWW Proxy server"));

  // An interface moved back out of use leaves the service's list.
  EditServiceSheet back(*client, "WWW Proxy server");
  ASSERT_EQ(back.interfaces.inUse.size(), 1u);
  back.interfaces.method = INTERFACE_METHOD_ANY;
  back.interfaces.Move(true, 0);
  EXPECT_EQ(back.Ok(prompter), 0);
  EXPECT_TRUE(client->Mirrors().services->LookupAs<CServiceSettings>("WWW Proxy server")->Interfaces.IsEmpty());

  // An upstream method needs its server.
  EditServiceSheet upstream(*client, "WWW Proxy server");
  upstream.connection.server.clear();
  EXPECT_EQ(upstream.Ok(prompter), SERVICE_PAGE_CONNECTION);
  EXPECT_EQ(prompter.boxes.back().text, kTextNoProxyServer);

  // Option 1 needs an interface; a new service needs a name no service holds, in any case.
  EditServiceSheet again(*client, "WWW Proxy server");
  again.bindings.option = BINDING_SPECIFIC;
  again.bindings.specific.clear();
  EXPECT_EQ(again.Ok(prompter), SERVICE_PAGE_BINDINGS);
  EXPECT_EQ(prompter.boxes.back().text, kTextNoSpecificBinding);
  // Choosing the option alone takes the offered entry, and the service restarts on it.
  EditServiceSheet offered(*client, "WWW Proxy server");
  offered.bindings.option = BINDING_SPECIFIC;
  EXPECT_EQ(offered.Ok(prompter), 0);
  auto specific = client->Mirrors().services->LookupAs<CServiceSettings>("WWW Proxy server");
  EXPECT_EQ(specific->SpecificBinding, "127.0.0.1");
  EXPECT_EQ(specific->RestartNeeded, 1u);
  EditServiceSheet fresh(*client, std::make_shared<CWWWServiceSettings>());
  EXPECT_TRUE(fresh.general.States()[GeneralPage::NAME].enabled);
  // A new service starts bound to the inside only: loopback and the LAN address, never the
  // outside one or a dial-up connection.
  EXPECT_EQ(fresh.bindings.option, BINDING_LIST);
  ASSERT_EQ(fresh.bindings.bound.size(), 2u);
  EXPECT_EQ(fresh.bindings.bound[0].name, "127.0.0.1");
  EXPECT_EQ(fresh.bindings.bound[1].name, "192.168.1.1");
  fresh.general.name = "www proxy SERVER";
  EXPECT_EQ(fresh.Ok(prompter), SERVICE_PAGE_GENERAL);
  EXPECT_EQ(prompter.boxes.back().title, kTitleDuplicateService);
  EXPECT_EQ(prompter.boxes.back().text, kTextChooseAnotherServiceName);
  fresh.general.name = "";
  EXPECT_EQ(fresh.Ok(prompter), SERVICE_PAGE_GENERAL);
  EXPECT_EQ(prompter.boxes.back().title, kTitleInvalidName);
  fresh.general.name = "Second proxy";
  fresh.general.port = 8081;
  EXPECT_EQ(fresh.Ok(prompter), 0);
  EXPECT_TRUE(client->Mirrors().services->LookupAs<CWWWServiceSettings>("Second proxy"));
}

TEST_F(ServiceSheetOffline, PoliciesAskOnlyAboutARightEmptiedHereAndKeepTheirCopiesAcrossARefusal) {
  auto www = client->Mirrors().services->LookupAs<CServiceSettings>("WWW Proxy server");
  www->AccessRights.Recipients.RemoveAll();
  www->AccessRights.AddRecipientByName("Users");
  www->AccessRights.IncludeDefaultRights = kDefaultRightsIgnored;
  www->EditRights.Recipients.RemoveAll();  // empty, and not touched on the page
  www->EditRights.IncludeDefaultRights = kDefaultRightsBoth;
  const auto before = Bytes("WWW Proxy server");

  EditServiceSheet sheet(*client, "WWW Proxy server");
  PoliciesPage& p = sheet.policies;
  ASSERT_EQ(p.RightNames().size(), 3u);
  ASSERT_EQ(p.Rows().size(), 1u);
  EXPECT_EQ(p.Rows()[0].recipient, "Users");
  EXPECT_EQ(p.Rows()[0].rights, "Unrestricted Rights");
  EXPECT_TRUE(p.States()[PoliciesPage::MODE].enabled);
  p.Remove(0);
  EXPECT_TRUE(p.Rows().empty());
  // No: refused at Policies with the right's description as the title; nothing written.
  EXPECT_EQ(sheet.Ok(prompter), SERVICE_PAGE_POLICIES);
  ASSERT_EQ(prompter.boxes.size(), 1u);
  EXPECT_EQ(prompter.boxes[0].title, p.RightNames()[0]);
  EXPECT_EQ(prompter.boxes[0].text, kTextNoRecipients);
  EXPECT_EQ(prompter.boxes[0].style, EDITOR_MB_STOP | EDITOR_MB_DEFAULT_NO);
  EXPECT_EQ(Bytes("WWW Proxy server"), before);
  // "May be used instead" needs no recipients: written without a question, on a second OK that
  // still finds the working copies.
  p.SetMode(kDefaultRightsEither);
  EXPECT_EQ(sheet.Ok(prompter), 0);
  EXPECT_EQ(prompter.boxes.size(), 1u);
  auto s = client->Mirrors().services->LookupAs<CServiceSettings>("WWW Proxy server");
  EXPECT_TRUE(s->AccessRights.GetRecipients().empty());
  EXPECT_EQ(s->AccessRights.IncludeDefaultRights, kDefaultRightsEither);
  EXPECT_EQ(s->EditRights.IncludeDefaultRights, kDefaultRightsBoth);
}

// ---- Against the real engine ------------------------------------------------------------------------

bool Accepts(uint16_t port) {
  const int fd = Connect(port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

TEST(ServiceSheetAgainstEngine, APortBindingAndLoggingFromTheSheetServeAndSurviveARestart) {
  EngineProcess engine;
  std::string log;
  ASSERT_TRUE(engine.Start(&log)) << log;
  TestLoop loop;
  RecordingUi ui;
  auto client = std::make_unique<CLookoutClient>(ui, loop.Poster());
  ASSERT_EQ(FirstAdminLogIn(*client, ui, loop, engine.rcPort, RC_REQ_GET_SERVICES), "");
  ASSERT_TRUE(Accepts(engine.wwwPort));
  const size_t boxes = ui.boxes.size();

  uint16_t port = 0;
  do port = FreePort();
  while (port == engine.wwwPort || port == engine.rcPort);
  ScriptedPrompter prompter;
  EditServiceSheet sheet(*client, "WWW Proxy server");
  sheet.general.port = port;
  sheet.logging.enabled = true;
  sheet.logging.options = 64 | 128;
  // Only the loopback address, which the engine's interface list names.
  auto it = std::find(sheet.bindings.combo.begin(), sheet.bindings.combo.end(), "127.0.0.1");
  ASSERT_NE(it, sheet.bindings.combo.end());
  sheet.bindings.option = BINDING_SPECIFIC;
  sheet.bindings.specific = "127.0.0.1";
  ASSERT_EQ(sheet.Ok(prompter), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return client->OutstandingRequests() == 0; }));
  EXPECT_EQ(ui.boxes.size(), boxes);
  // The engine restarted the service on the new port.
  for (int i = 0; i < 600 && !Accepts(port); ++i) usleep(50000);
  EXPECT_TRUE(Accepts(port));
  EXPECT_FALSE(Accepts(engine.wwwPort));

  // A new service from the sheet: sent class-tagged (32), started by the engine.
  uint16_t port2 = 0;
  do port2 = FreePort();
  while (port2 == port || port2 == engine.rcPort || port2 == engine.wwwPort);
  EditServiceSheet fresh(*client, std::make_shared<CWWWServiceSettings>());
  fresh.general.name = "Second proxy";
  fresh.general.port = port2;
  fresh.bindings.option = BINDING_SPECIFIC;
  fresh.bindings.specific = "127.0.0.1";
  ASSERT_EQ(fresh.Ok(prompter), 0);
  ASSERT_TRUE(loop.RunUntil([&] { return client->OutstandingRequests() == 0; }));
  EXPECT_EQ(ui.boxes.size(), boxes);
  for (int i = 0; i < 600 && !Accepts(port2); ++i) usleep(50000);
  EXPECT_TRUE(Accepts(port2));

  client->Request(RC_REQ_SAVE_CONFIGURATION);
  ASSERT_TRUE(loop.RunUntil([&] { return client->OutstandingRequests() == 0; }));
  ASSERT_TRUE(client->Stop(5000));
  client.reset();
  ASSERT_TRUE(engine.Restart(&log)) << log;

  trellis::test::FreshConsole afterRestart;
  ASSERT_TRUE(afterRestart.LogIn(engine.rcPort, "Administrator", "admin-pw", RC_REQ_GET_SERVICES));
  CLookoutClient& again = afterRestart.client;
  auto www = again.Mirrors().services->LookupAs<CServiceSettings>("WWW Proxy server");
  ASSERT_TRUE(www);
  EXPECT_EQ(www->PortNumber, port);
  EXPECT_EQ(www->LogOptions, 64u | 128u);
  EXPECT_EQ(www->BindingOption, BINDING_SPECIFIC);
  EXPECT_EQ(www->SpecificBinding, "127.0.0.1");
  EXPECT_TRUE(Accepts(port));
  auto second = again.Mirrors().services->LookupAs<CWWWServiceSettings>("Second proxy");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->PortNumber, port2);
  EXPECT_TRUE(again.Stop(5000));
}

}  // namespace
}  // namespace trellis::test
