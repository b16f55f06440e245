// The service sheet over every service class, without a display: the page set and OK order of each
// class, the General page's class controls (shown per class, the delimiter's check, the public
// addresses warning, values written), SOCKS Advanced and Encryption as tables of their rules with
// their refusals, OK without changes keeping each class's bytes; then a SOCKS service and a TCP
// mapping service made through the sheet against the real engine, read back after a restart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>

#include "console/dialogs/core/service_sheet.h"
#include "console/model/lookout_client.h"
#include "engine/netsvc/dhcp/dhcp_settings.h"
#include "engine/netsvc/dns/dns_settings.h"
#include "engine/proxy/ftp/ftp_settings.h"
#include "engine/proxy/mapping/mapping_settings.h"
#include "engine/proxy/pop3/pop3_settings.h"
#include "engine/proxy/socks/socks_settings.h"
#include "engine/proxy/streaming/realaudio_settings.h"
#include "engine/proxy/streaming/vdolive_settings.h"
#include "engine/proxy/streaming/xdma_settings.h"
#include "engine/proxy/telnet/telnet_settings.h"
#include "engine/proxy/www/www_settings.h"
#include "engine/remote/rc_codes.h"
#include "engine/remote/rc_service_settings.h"
#include "tests/console/console_harness.h"
#include "tests/console/engine_process.h"
#include "tests/support/loopback.h"

namespace trellis::test {
namespace {

class ServicePagesOffline : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<CLookoutClient>(ui, loop.Poster());
    auto& m = client->EditMirrors();
    m.interfaces->SetAt("127.0.0.1", std::make_shared<CInterface>(INTERFACE_LOOPBACK, "127.0.0.1"));
    auto lan = std::make_shared<CInterface>(INTERFACE_IP, "192.168.1.1");
    lan->m_lan = 1;
    m.interfaces->SetAt("192.168.1.1", lan);
    auto www = std::make_shared<CWWWServiceSettings>();
    www->SetName("WWW Proxy server");
    m.services->SetAt(www->GetName(), www);
    auto second = std::make_shared<CWWWServiceSettings>();
    second->SetName("Caching proxy");
    m.services->SetAt(second->GetName(), second);
  }
  // Puts s into the mirror under name and returns it.
  template <class T>
  std::shared_ptr<T> Add(std::shared_ptr<T> s, const CString& name) {
    s->SetName(name);
    s->SetDescription("described");
    s->PortNumber = 4000;
    auto b = std::make_shared<CBinding>();
    b->m_state = BINDING_LISTENING;
    // The LAN address, which every class accepts (DNS and DHCP take no loopback).
    b->m_interface = CInterface(INTERFACE_IP, "192.168.1.1");
    s->BindingOption = BINDING_LIST;
    s->Bindings.SetAt("192.168.1.1", b);
    client->EditMirrors().services->SetAt(name, s);
    return s;
  }
  std::vector<uint8_t> Bytes(const CString& name) { return ArchiveBytes(*client->Mirrors().services->Lookup(name)); }

  TestLoop loop;
  RecordingUi ui;
  std::unique_ptr<CLookoutClient> client;
  ScriptedPrompter prompter;
};

TEST_F(ServicePagesOffline, EveryClassShowsItsPagesInAddOrderAndValidatesInOkOrder) {
  // Add order: General, Bindings, Interfaces (outgoing interfaces), DHCP Mode and Settings (DHCP),
  // SOCKS Advanced (SOCKS), Mappings (mapping services), Sessions (not DHCP), Policies, Non-proxy
  // (classes that have it), Encryption (TCP mapping), Connection (TCP with upstream methods), Logging.
  struct Row {
    std::shared_ptr<CServiceSettings> service;
    std::vector<int> pages, ok;
  };
  const Row rows[] = {
      {std::make_shared<CSOCKSServiceSettings>(),
       {147, 187, 188, 164, 151, 148, 160},
       {147, 151, 148, 160, 164, 187, 188}},
      // No non-proxy requests for Telnet and SOCKS, no outgoing interfaces for DNS.
      {std::make_shared<CTelnetServiceSettings>(),
       {147, 187, 188, 151, 148, 178, 160},
       {147, 151, 148, 160, 178, 187, 188}},
      {std::make_shared<CDNSServiceSettings>(), {147, 187, 151, 148, 149, 160}, {147, 151, 148, 160, 149, 187}},
      {std::make_shared<CTCPMappingServiceSettings>(),
       {147, 187, 188, 165, 151, 148, 182, 178, 160},
       {165, 147, 151, 148, 160, 178, 182, 187, 188}},
      {std::make_shared<CUDPMappingServiceSettings>(),
       {147, 187, 188, 165, 151, 148, 160},
       {165, 147, 151, 148, 160, 187, 188}},
      {std::make_shared<CDHCPServiceSettings>(),
       {147, 187, 188, 189, 200, 148, 149, 160},
       {147, 148, 160, 149, 187, 188, 200, 189}},
  };
  for (const Row& r : rows) {
    const CString cls = r.service->GetRuntimeClass()->m_className;
    EXPECT_EQ(ServicePageSet(*r.service), r.pages) << cls;
    EXPECT_EQ(ServiceOkOrder(*r.service), r.ok) << cls;
  }
  // Every other class: its pages follow its three answers and its connect methods.
  const std::shared_ptr<CServiceSettings> others[] = {
      std::make_shared<CPOP3ServiceSettings>(),      std::make_shared<CDNSServiceSettings>(),
      std::make_shared<CTelnetServiceSettings>(),    std::make_shared<CFTPServiceSettings>(),
      std::make_shared<CRealAudioServiceSettings>(), std::make_shared<CVDOLiveServiceSettings>(),
      std::make_shared<CXDMAServiceSettings>(),      std::make_shared<CRemoteControlServiceSettings>()};
  for (const auto& s : others) {
    std::vector<int> want{147, 187};
    if (s->HasOutgoingInterfaces()) want.push_back(188);
    want.insert(want.end(), {151, 148});
    if (s->HasNonProxySettings()) want.push_back(149);
    auto* tcp = dynamic_cast<CTCPServiceSettings*>(s.get());
    if (tcp && tcp->ConnectMethodsOffered) want.push_back(178);
    want.push_back(160);
    EXPECT_EQ(ServicePageSet(*s), want) << s->GetRuntimeClass()->m_className;
  }
  // Every page a class shows is built here, apart from the DHCP pages (their own editors).
  Add(std::make_shared<CTCPMappingServiceSettings>(), "Link");
  Add(std::make_shared<CSOCKSServiceSettings>(), "SOCKS");
  for (const char* name : {"Link", "SOCKS"}) {
    EditServiceSheet sheet(*client, name);
    for (int id : sheet.Pages()) EXPECT_NE(sheet.Page(id), nullptr) << name << " " << id;
  }
}

TEST_F(ServicePagesOffline, GeneralShowsTheControlsOfItsClassOnly) {
  Add(std::make_shared<CPOP3ServiceSettings>(), "POP3");
  Add(std::make_shared<CDNSServiceSettings>(), "DNS");
  Add(std::make_shared<CDHCPServiceSettings>(), "DHCP");
  Add(std::make_shared<CTelnetServiceSettings>(), "Telnet");
  Add(std::make_shared<CTCPMappingServiceSettings>(), "Link");
  Add(std::make_shared<CSOCKSServiceSettings>(), "SOCKS");
  // name -> visible {1069/1093 delimiter, 1211, 1345, 1306, 1307/1346/1347, 1191 and the default}
  struct Row {
    const char* name;
    bool delimiter, autodial, publicIPs, java, telnet, mapping;
  };
  for (const Row& r :
       {Row{"POP3", true, false, false, false, false, false}, Row{"DNS", false, true, false, false, false, false},
        Row{"DHCP", false, false, true, false, false, false},
        Row{"WWW Proxy server", false, false, false, true, false, false},
        Row{"Telnet", false, false, false, false, true, false}, Row{"Link", false, false, false, false, false, true},
        Row{"SOCKS", false, false, false, false, false, false}}) {
    EditServiceSheet sheet(*client, r.name);
    ControlStates st = sheet.general.States();
    EXPECT_EQ(st[GeneralPage::DELIMITER].visible, r.delimiter) << r.name;
    EXPECT_EQ(st[GeneralPage::DELIMITER_LABEL].visible, r.delimiter) << r.name;
    EXPECT_EQ(st[GeneralPage::AUTODIAL].visible, r.autodial) << r.name;
    EXPECT_EQ(st[GeneralPage::PUBLIC_IPS].visible, r.publicIPs) << r.name;
    EXPECT_EQ(st[GeneralPage::JAVA_CLIENT].visible, r.java) << r.name;
    for (int id : {GeneralPage::LOGIN, GeneralPage::PROMPT, GeneralPage::PROMPT_LABEL})
      EXPECT_EQ(st[id].visible, r.telnet) << r.name << " " << id;
    for (int id : {1191, 1192, 1074, 1095, 1070, 1094}) EXPECT_EQ(st[id].visible, r.mapping) << r.name << " " << id;
    EXPECT_FALSE(st[GeneralPage::NAME].enabled);
    EXPECT_TRUE(st[GeneralPage::ENABLED].enabled);
  }
}

TEST_F(ServicePagesOffline, GeneralChecksTheDelimiterWarnsAboutPublicAddressesAndWritesClassValues) {
  auto pop3 = Add(std::make_shared<CPOP3ServiceSettings>(), "POP3");
  pop3->Delimiter = 0;  // a value the gateway cannot use: it reads "#"
  {
    EditServiceSheet sheet(*client, "POP3");
    EXPECT_EQ(sheet.general.delimiter, "#");
    // Empty, a blank, ":" (the port separator of "user#host:port") and more than one byte refuse.
    for (const char* bad : {"", " ", ":", "\x7f", "ab", "\xc3\xa9"}) {
      sheet.general.delimiter = bad;
      EXPECT_EQ(sheet.Ok(prompter), SERVICE_PAGE_GENERAL) << bad;
      EXPECT_EQ(prompter.boxes.back().title, kTitleInvalidSetting);
      EXPECT_EQ(prompter.boxes.back().text, kTextBadDelimiter);
      EXPECT_EQ(prompter.boxes.back().style, EDITOR_MB_STOP);
    }
    EXPECT_EQ(client->Mirrors().services->LookupAs<CPOP3ServiceSettings>("POP3")->Delimiter, 0u);
    sheet.general.delimiter = "!";
    EXPECT_EQ(sheet.Ok(prompter), 0);
    EXPECT_EQ(client->Mirrors().services->LookupAs<CPOP3ServiceSettings>("POP3")->Delimiter, uint32_t('!'));
  }

  Add(std::make_shared<CDHCPServiceSettings>(), "DHCP");
  EditServiceSheet dhcp(*client, "DHCP");
  const size_t boxes = prompter.boxes.size();
  dhcp.general.ClickPublicIPs(false, prompter);
  EXPECT_EQ(prompter.boxes.size(), boxes);
  dhcp.general.ClickPublicIPs(true, prompter);
  ASSERT_EQ(prompter.boxes.size(), boxes + 1);
  EXPECT_EQ(prompter.boxes.back().title, "Warning");
  EXPECT_EQ(prompter.boxes.back().text, kTextPublicIPs);
  EXPECT_EQ(prompter.boxes.back().style, EDITOR_MB_EXCLAMATION);
  EXPECT_EQ(dhcp.Ok(prompter), 0);
  EXPECT_EQ(client->Mirrors().services->LookupAs<CDHCPServiceSettings>("DHCP")->AllowAllocatePublicIPs, 1u);

  Add(std::make_shared<CDNSServiceSettings>(), "DNS");
  EditServiceSheet dns(*client, "DNS");
  EXPECT_TRUE(dns.general.allowAutodial);
  dns.general.allowAutodial = false;
  EXPECT_EQ(dns.Ok(prompter), 0);
  EXPECT_EQ(client->Mirrors().services->LookupAs<CDNSServiceSettings>("DNS")->AllowAutodial, 0u);

  Add(std::make_shared<CTelnetServiceSettings>(), "Telnet");
  EditServiceSheet telnet(*client, "Telnet");
  EXPECT_EQ(telnet.general.prompt, "Trellis>");
  EXPECT_TRUE(telnet.general.enableLogin);
  telnet.general.prompt = "gw>";
  telnet.general.enableLogin = false;
  EXPECT_EQ(telnet.Ok(prompter), 0);
  auto t = client->Mirrors().services->LookupAs<CTelnetServiceSettings>("Telnet");
  EXPECT_EQ(t->Prompt, "gw>");
  EXPECT_EQ(t->EnableLogin, 0u);
  // Class values alone need no restart.
  EXPECT_EQ(t->RestartNeeded, 0u);
}

TEST_F(ServicePagesOffline, SOCKSAdvancedFollowsItsTableAndRefusesAPolicyWithoutAService) {
  auto socks = Add(std::make_shared<CSOCKSServiceSettings>(), "SOCKS");
  client->EditMirrors().services->SetAt("DNS", std::make_shared<CDNSServiceSettings>());
  EditServiceSheet sheet(*client, "SOCKS");
  SOCKSAdvancedPage& p = sheet.socks;
  // Only WWW services are offered.
  EXPECT_EQ(p.wwwServices, (std::vector<CString>{"Caching proxy", "WWW Proxy server"}));
  EXPECT_TRUE(p.refer);
  struct Row {
    bool refer;
    uint32_t use;
    bool others, combo;
  };
  for (const Row& r : {Row{false, 0, false, false}, Row{false, 1, false, false}, Row{true, 0, true, false},
                       Row{true, 1, true, true}}) {
    p.refer = r.refer;
    p.useSpecified = r.use;
    ControlStates st = p.States();
    for (int id : {1183, 1184, 1185}) EXPECT_EQ(st[id].enabled, r.others) << r.refer << r.use << " " << id;
    EXPECT_EQ(st[1188].enabled, r.combo) << r.refer << r.use;
    // Reverse lookups and RFC 1929 are never governed.
    EXPECT_EQ(st.count(1186) + st.count(1187), 0u);
  }
  p.refer = true;
  p.useSpecified = 1;
  p.policy.clear();
  EXPECT_EQ(sheet.Ok(prompter), SERVICE_PAGE_SOCKS);
  EXPECT_EQ(prompter.boxes.back().title, kTitleInvalidSetting);
  EXPECT_EQ(prompter.boxes.back().text, kTextNoPolicyService);
  // Not referring, the policy is never used and nothing is asked.
  p.refer = false;
  const size_t boxes = prompter.boxes.size();
  p.policy = "Caching proxy";
  p.refer = true;
  p.cache = false;
  p.reverse = true;
  p.rfc1929 = true;
  EXPECT_EQ(sheet.Ok(prompter), 0);
  EXPECT_EQ(prompter.boxes.size(), boxes);
  auto s = client->Mirrors().services->LookupAs<CSOCKSServiceSettings>("SOCKS");
  EXPECT_EQ(s->ReferHTTPRequests, 1u);
  EXPECT_EQ(s->CacheReferredHTTPRequests, 0u);
  EXPECT_EQ(s->UseSpecifiedPolicy, 1u);
  EXPECT_EQ(s->HTTPPolicy, "Caching proxy");
  EXPECT_EQ(s->DoReverseLookups, 1u);
  EXPECT_EQ(s->UseRFC1929, 1u);
  EXPECT_EQ(s->RestartNeeded, 0u);
  // The mirror's old object was replaced, not changed.
  EXPECT_EQ(socks->UseRFC1929, 0u);
}

TEST_F(ServicePagesOffline, EncryptionFollowsItsTableAndRefusesALinkWithoutAUser) {
  Add(std::make_shared<CTCPMappingServiceSettings>(), "Link");
  EditServiceSheet sheet(*client, "Link");
  EncryptionPage& p = sheet.encryption;
  struct Row {
    bool in;
    uint32_t specify;
    bool out;
    bool radios, inUser, outUser;
  };
  for (const Row& r : {Row{false, 0, false, false, false, false}, Row{false, 1, true, false, false, true},
                       Row{true, 0, false, true, false, false}, Row{true, 1, true, true, true, true}}) {
    p.encryptIn = r.in;
    p.specifyUser = r.specify;
    p.encryptOut = r.out;
    ControlStates st = p.States();
    const CString at = std::to_string(r.in) + std::to_string(r.specify) + std::to_string(r.out);
    EXPECT_EQ(st[1106].enabled, r.radios) << at;
    EXPECT_EQ(st[1235].enabled, r.radios) << at;
    EXPECT_EQ(st[1209].enabled, r.inUser) << at;
    EXPECT_EQ(st[1210].enabled, r.inUser) << at;
    EXPECT_EQ(st[1233].enabled, r.outUser) << at;
    EXPECT_EQ(st[1234].enabled, r.outUser) << at;
  }
  const auto before = Bytes("Link");
  p.encryptIn = true;
  p.specifyUser = 1;
  EXPECT_EQ(sheet.Ok(prompter), SERVICE_PAGE_ENCRYPTION);
  EXPECT_EQ(prompter.boxes.back().text, kTextNoUserIn);
  p.userIn = "linkuser";
  p.passwordIn = "in-secret";
  p.encryptOut = true;
  EXPECT_EQ(sheet.Ok(prompter), SERVICE_PAGE_ENCRYPTION);
  EXPECT_EQ(prompter.boxes.back().text, kTextNoUserOut);
  EXPECT_EQ(Bytes("Link"), before);
  p.userOut = "far";
  p.passwordOut = "out-secret";
  EXPECT_EQ(sheet.Ok(prompter), 0);
  auto s = client->Mirrors().services->LookupAs<CTCPMappingServiceSettings>("Link");
  EXPECT_EQ(s->EncryptConnectionsIn, 1u);
  EXPECT_EQ(s->SpecifyUserForIncomingConnection, 1u);
  EXPECT_EQ(s->UsernameIn, "linkuser");
  EXPECT_EQ(s->PasswordIn, "in-secret");
  EXPECT_EQ(s->EncryptConnectionsOut, 1u);
  EXPECT_EQ(s->UsernameOut, "far");
  EXPECT_EQ(s->PasswordOut, "out-secret");
}

TEST_F(ServicePagesOffline, OkWithoutChangesKeepsEveryClassesBytes) {
  auto pop3 = Add(std::make_shared<CPOP3ServiceSettings>(), "POP3");
  pop3->Delimiter = '%';
  auto dns = Add(std::make_shared<CDNSServiceSettings>(), "DNS");
  dns->AllowAutodial = 0;
  auto dhcp = Add(std::make_shared<CDHCPServiceSettings>(), "DHCP");
  dhcp->AllowAllocatePublicIPs = 1;
  // The page holds the DHCP service's access right to "are ignored" (its intended rewrite).
  dhcp->AccessRights.IncludeDefaultRights = kDefaultRightsIgnored;
  auto telnet = Add(std::make_shared<CTelnetServiceSettings>(), "Telnet");
  telnet->Prompt = "gw>";
  telnet->EnableLogin = 0;
  auto socks = Add(std::make_shared<CSOCKSServiceSettings>(), "SOCKS");
  socks->ReferHTTPRequests = 1;
  socks->CacheReferredHTTPRequests = 0;
  socks->UseSpecifiedPolicy = 1;
  socks->HTTPPolicy = "Caching proxy";
  socks->DoReverseLookups = 1;
  socks->UseRFC1929 = 1;
  auto link = Add(std::make_shared<CTCPMappingServiceSettings>(), "Link");
  link->EncryptConnectionsIn = 1;
  link->SpecifyUserForIncomingConnection = 1;
  link->UsernameIn = "a";
  link->PasswordIn = "b";
  link->EncryptConnectionsOut = 1;
  link->UsernameOut = "c";
  link->PasswordOut = "d";
  link->Mappings->AllowDefault = 1;
  link->Mappings->Default = CHostPort("db.internal", 5432);
  auto udp = Add(std::make_shared<CUDPMappingServiceSettings>(), "Datagrams");
  auto ftp = Add(std::make_shared<CFTPServiceSettings>(), "FTP");
  ftp->ConnectMethod = 2;
  ftp->ProxyServer = "socks.internal";
  ftp->ProxyPort = 1080;
  ftp->SOCKS4Password = "pw";
  Add(std::make_shared<CRealAudioServiceSettings>(), "RealAudio");
  Add(std::make_shared<CVDOLiveServiceSettings>(), "VDOLive");
  Add(std::make_shared<CXDMAServiceSettings>(), "XDMA");
  for (const char* name :
       {"POP3", "DNS", "DHCP", "Telnet", "SOCKS", "Link", "Datagrams", "FTP", "RealAudio", "VDOLive", "XDMA"}) {
    const auto before = Bytes(name);
    EditServiceSheet sheet(*client, name);
    EXPECT_EQ(sheet.Ok(prompter), 0) << name;
    const auto after = Bytes(name);
    EXPECT_EQ(after, before) << name;
    for (size_t i = 0; i < std::min(after.size(), before.size()); ++i)
      if (after[i] != before[i]) {
        ADD_FAILURE() << name << " differs at " << i << " of " << before.size() << "/" << after.size();
        break;
      }
  }
  EXPECT_TRUE(prompter.boxes.empty());
  EXPECT_EQ(client->OutstandingRequests(), 0u);  // off-line: nothing goes out
}

// ---- Against the real engine ------------------------------------------------------------------------

bool Accepts(uint16_t port) {
  const int fd = Connect(port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

TEST(ServicePagesAgainstEngine, NewSOCKSAndMappingServicesFromTheSheetKeepTheirClassValuesAcrossARestart) {
  EngineProcess engine;
  std::string log;
  ASSERT_TRUE(engine.Start(&log)) << log;
  FreshConsole console;
  CLookoutClient& client = console.client;
  // The first log-in changes the installation's empty password.
  console.ui.onCommand = [&](uint32_t id) {
    if (id == kCommandChangePassword) client.ChangePassword("", "admin-pw");
  };
  ASSERT_TRUE(console.LogIn(engine.rcPort, "Administrator", "", RC_REQ_GET_SERVICES));
  const size_t boxes = console.ui.boxes.size();  // the engine's "change your password"
  ScriptedPrompter prompter;

  uint16_t socksPort = 0, linkPort = 0;
  do socksPort = FreePort();
  while (socksPort == engine.rcPort || socksPort == engine.wwwPort);
  do linkPort = FreePort();
  while (linkPort == engine.rcPort || linkPort == engine.wwwPort || linkPort == socksPort);

  EditServiceSheet socks(client, std::make_shared<CSOCKSServiceSettings>());
  socks.general.name = "Gateway SOCKS";
  socks.general.port = socksPort;
  socks.socks.rfc1929 = true;
  socks.socks.useSpecified = 1;
  socks.socks.policy = "WWW Proxy server";
  socks.socks.cache = false;
  ASSERT_EQ(socks.Ok(prompter), 0);
  EditServiceSheet link(client, std::make_shared<CTCPMappingServiceSettings>());
  link.general.name = "Database link";
  link.general.port = linkPort;
  link.general.allowDefault = true;
  link.general.defaultHost = "127.0.0.1";
  link.general.defaultPort = 5432;
  link.encryption.encryptOut = true;
  link.encryption.userOut = "far";
  link.encryption.passwordOut = "out-secret";
  ASSERT_EQ(link.Ok(prompter), 0);
  ASSERT_TRUE(console.loop.RunUntil([&] { return client.OutstandingRequests() == 0; }));
  EXPECT_TRUE(prompter.boxes.empty());
  for (size_t i = boxes; i < console.ui.boxes.size(); ++i)
    ADD_FAILURE() << console.ui.boxes[i].title << ": " << console.ui.boxes[i].text;
  // The engine started both on their ports.
  for (int i = 0; i < 600 && !(Accepts(socksPort) && Accepts(linkPort)); ++i) usleep(50000);
  EXPECT_TRUE(Accepts(socksPort));
  EXPECT_TRUE(Accepts(linkPort));

  client.Request(RC_REQ_SAVE_CONFIGURATION);
  ASSERT_TRUE(console.loop.RunUntil([&] { return client.OutstandingRequests() == 0; }));
  ASSERT_TRUE(client.Stop(5000));
  ASSERT_TRUE(engine.Restart(&log)) << log;

  FreshConsole again;
  ASSERT_TRUE(again.LogIn(engine.rcPort, "Administrator", "admin-pw", RC_REQ_GET_SERVICES));
  auto s = again.client.Mirrors().services->LookupAs<CSOCKSServiceSettings>("Gateway SOCKS");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->PortNumber, socksPort);
  EXPECT_EQ(s->UseRFC1929, 1u);
  EXPECT_EQ(s->UseSpecifiedPolicy, 1u);
  EXPECT_EQ(s->HTTPPolicy, "WWW Proxy server");
  EXPECT_EQ(s->CacheReferredHTTPRequests, 0u);
  auto m = again.client.Mirrors().services->LookupAs<CTCPMappingServiceSettings>("Database link");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->EncryptConnectionsOut, 1u);
  EXPECT_EQ(m->UsernameOut, "far");
  EXPECT_EQ(m->PasswordOut, "out-secret");
  EXPECT_EQ(m->Mappings->AllowDefault, 1u);
  EXPECT_EQ(m->Mappings->Default.Port, 5432u);
  EXPECT_TRUE(again.client.Stop(5000));
}

}  // namespace
}  // namespace trellis::test
