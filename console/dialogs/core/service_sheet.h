#pragma once
// The service property sheet without a toolkit: which pages a service's class shows and in which
// order they validate, the pages' values, rules, checks and writes, and the sheet's OK (every page
// validates, then writes into a clone of the mirror's service, which replaces it and goes to the
// engine as 34, or as 32 for a new service).
//
// Threads: the user-interface thread, which owns the mirrors.
#include <memory>
#include <vector>

#include "console/dialogs/common/editor.h"
#include "engine/access/right.h"
#include "engine/core/service_settings.h"
#include "engine/proxy/mapping/mapping.h"

class CLookoutClient;
class DHCPModePage;
class DHCPSettingsPage;

// Page templates (the sheet's page ids).
enum : int {
  SERVICE_PAGE_GENERAL = 147,
  SERVICE_PAGE_BINDINGS = 187,
  SERVICE_PAGE_INTERFACES = 188,
  SERVICE_PAGE_DHCP_MODE = 189,
  SERVICE_PAGE_DHCP_SETTINGS = 200,
  SERVICE_PAGE_SOCKS = 164,
  SERVICE_PAGE_MAPPINGS = 165,
  SERVICE_PAGE_SESSIONS = 151,
  SERVICE_PAGE_POLICIES = 148,
  SERVICE_PAGE_NON_PROXY = 149,
  SERVICE_PAGE_ENCRYPTION = 182,
  SERVICE_PAGE_CONNECTION = 178,
  SERVICE_PAGE_LOGGING = 160,
};

// The pages a service shows, in the order they are added, and the order their OK steps run.
std::vector<int> ServicePageSet(const CServiceSettings& service);
std::vector<int> ServiceOkOrder(const CServiceSettings& service);

inline constexpr const char* kTitleDuplicateService = "Duplicate Service name";
inline constexpr const char* kTextChooseAnotherServiceName = "You must choose another name for this service";
inline constexpr const char* kTextNoSpecificBinding = "You have not selected a specific binding";
inline constexpr const char* kTextNoBindings =
    "You have no bindings selected\nthe service will be disabled.\nDo you wish to continue";
inline constexpr const char* kTextNoRotateInterfaces = "You have not chosen any interface to rotate connections out on";
inline constexpr const char* kTextBindAny =
    "This will allow connections from anywhere,\nincluding the internet.  You should ensure\nthat you have "
    "configured policies that\ndisallow unauthorised use of this service";
inline constexpr const char* kTextNoProxyServer = "You must enter the server that connections are made through";
inline constexpr const char* kTextBadDelimiter =
    "The delimiter must be one printable character other than a space or \":\"";
inline constexpr const char* kTitleWarning = "Warning";
inline constexpr const char* kTextPublicIPs =
    "You should only enable this option if you are not using\nprivate IP addresses on your LAN.  Private addresses "
    "are:\n\n\t192.168.0.0 - 192.168.255.255\n\t172.16.0.0 - 172.31.255.255\n\t10.0.0.0 - 10.255.255.255\n\nIf "
    "you use a cable modem to connect to the internet, be aware\nthat some service providers may deny you service if "
    "your DHCP\nservice allocates numbers to their other clients.  You MUST make\nsure that this service is NOT "
    "bound (bindings tab) to the IP\naddress of the cable modem interface.";
inline constexpr const char* kTextNoPolicyService = "You must choose the WWW service whose access policy is used";
inline constexpr const char* kTextNoUserIn = "You must enter the username that connections to this service use";
inline constexpr const char* kTextNoUserOut = "You must enter the username that connections made by this service use";
inline constexpr const char* kTitleSecurityProblem = "Potential Security Problem";
inline constexpr const char* kTextExternalInterface =
    "This is an externally available interface.  If you bind\nto this interface, people on the internet will be "
    "able\nto connect to this service, and may cause you problems\n\nIf you wish to bind to this interface to allow "
    "external\naccess to this service, you should make sure that you have\nspecified policies to restrict what "
    "users of this service\nare able to do";

// A new service starts bound to the gateway's inside: the list option with every IP or loopback
// interface of the list that is not marked outside and is on the LAN or has a private address.
// Only a service still set to "any interface" (or to a specific one left empty) is changed. The
// console's interface list is passed in and nothing is saved: the engine stores the service when
// it receives it.
void AutoBindNew(CServiceSettings& service, const CLockableMap& interfaces);

// What the pages read besides the service: the interface list and the services of the mirror,
// and the Bind External confirmation switch.
struct ServiceSheetContext {
  const CLockableMap* interfaces = nullptr;  // CInterface by name
  const CLockableMap* services = nullptr;    // CServiceSettings by name
  bool confirmBindExternal = true;
  bool existing = true;
};

class ServicePage : public PageLogic<CServiceSettings> {
 public:
  explicit ServicePage(const ServiceSheetContext& ctx) : m_ctx(ctx) {}

 protected:
  const ServiceSheetContext& m_ctx;
};

class GeneralPage : public ServicePage {
 public:
  enum : int {
    NAME = 1066,
    DESCRIPTION = 1067,
    ENABLED = 1071,
    PORT = 1068,
    DELIMITER = 1069,
    DELIMITER_LABEL = 1093,
    AUTODIAL = 1211,
    PUBLIC_IPS = 1345,
    JAVA_CLIENT = 1306,
    LOGIN = 1307,
    PROMPT = 1347,
    PROMPT_LABEL = 1346,
    ALLOW_DEFAULT = 1191,
    DEFAULT_GROUP = 1192,
    DEFAULT_HOST = 1074,
    DEFAULT_HOST_LABEL = 1095,
    DEFAULT_PORT = 1070,
    DEFAULT_PORT_LABEL = 1094
  };
  using ServicePage::ServicePage;
  void Load(const CServiceSettings& s) override;
  ControlStates States() const override;
  bool Validate(Prompter& prompter) override;
  void Apply(CServiceSettings& s) const override;
  // A click on 1345: checking it shows the warning about public addresses.
  void ClickPublicIPs(bool checked, Prompter& prompter);

  CString name, description;
  bool enabled = true;
  uint32_t port = 0;
  bool useJavaClient = false;   // WWW
  CString delimiter;            // POP3: one character
  bool allowAutodial = false;   // DNS
  bool allowPublicIPs = false;  // DHCP
  bool enableLogin = false;     // Telnet
  CString prompt;               // Telnet
  // Mapping services: the default destination when no rule applies.
  bool allowDefault = false;
  CString defaultHost;
  uint32_t defaultPort = 0;

 private:
  bool m_www = false, m_remoteControl = false, m_mappings = false;
  bool m_pop3 = false, m_dns = false, m_dhcp = false, m_telnet = false;
};

struct InterfaceRow {
  CString name, status;
  uint32_t kind = 0;
};

class BindingsPage : public ServicePage {
 public:
  enum : int { ANY = 1254, SPECIFIC = 1271, LIST = 1256, COMBO = 1030, REUSE = 1257, BOUND = 1259, AVAILABLE = 1260 };
  using ServicePage::ServicePage;
  void Load(const CServiceSettings& s) override;
  ControlStates States() const override;
  bool Validate(Prompter& prompter) override;
  void Apply(CServiceSettings& s) const override;
  // Handlers: a click on "any interface" warns; a choice in the combo of an external interface
  // warns; double clicks move between the lists (binding an external interface asks first).
  void ChooseOption(uint32_t value, Prompter& prompter);
  void ChooseSpecific(const CString& name, Prompter& prompter);
  void Bind(size_t availableRow, Prompter& prompter);
  void Unbind(size_t boundRow);

  uint32_t option = BINDING_ALL;
  CString specific;
  bool reuseAddr = false;
  std::vector<CString> combo;
  std::vector<InterfaceRow> bound, available;
  bool dhcp = false;

 private:
  bool External(const CString& name) const;
  uint32_t m_loadedOption = 0;
  CString m_loadedSpecific;
  CString m_shownSpecific;
  bool m_moved = false;
};

class InterfacesPage : public ServicePage {
 public:
  enum : int { ANY = 1261, FIXED = 1262, ROTATE = 1263, COMBO = 1030, IN_USE = 1259, AVAILABLE = 1260 };
  using ServicePage::ServicePage;
  void Load(const CServiceSettings& s) override;
  ControlStates States() const override;
  bool Validate(Prompter& prompter) override;
  void Apply(CServiceSettings& s) const override;
  void Move(bool fromInUse, size_t row);

  uint32_t method = INTERFACE_METHOD_ANY;
  CString fixed;
  std::vector<CString> combo;
  std::vector<InterfaceRow> inUse, available;
};

class SessionsPage : public ServicePage {
 public:
  enum : int { TIME_OUT = 1069, TIMEOUT_SECONDS = 1070, LIMIT = 1071, LIMIT_COUNT = 1072 };
  using ServicePage::ServicePage;
  void Load(const CServiceSettings& s) override;
  void Apply(CServiceSettings& s) const override;

  bool timeOut = true, limit = false;
  uint32_t timeout = 0, sessionLimit = 0;
};

class NonProxyPage : public ServicePage {
 public:
  enum : int {
    REJECT = 1071,
    PIPE = 1072,
    REDIRECT = 1075,
    SERVE = 1079,
    HOST = 1073,
    PORT = 1074,
    CACHE = 1078,
    URL = 1076,
    PREPEND = 1082,
    PREPEND_INFO = 1083,
    WEB_SERVER = 1248,
    REDIRECT_LABEL = 1077
  };
  using ServicePage::ServicePage;
  void Load(const CServiceSettings& s) override;
  ControlStates States() const override;
  void Apply(CServiceSettings& s) const override;

  uint32_t action = 0;
  CString host;
  uint32_t port = 0;
  bool www = false;
  bool cache = false, prepend = false;
  CString url, prependInfo;
  // The Web Server Settings dialog's values (1250, 1249, 1251, 1253, 1252, 1254).
  CString serverRoot, defaultFilename, cgiRoot, cgiLabel;
  bool browsing = false, cgi = false;
};

class ConnectionPage : public ServicePage {
 public:
  enum : int {
    DIRECT = 1221,
    CASCADED = 1222,
    SOCKS4 = 1223,
    TUNNEL = 1224,
    SERVER = 1026,
    PORT = 1226,
    SOCKS4_PASSWORD = 1225,
    BYPASS = 1338
  };
  using ServicePage::ServicePage;
  void Load(const CServiceSettings& s) override;
  ControlStates States() const override;
  // An upstream method with no server would make every connection of the service fail.
  bool Validate(Prompter& prompter) override;
  void Apply(CServiceSettings& s) const override;

  uint32_t method = CONNECT_DIRECT;
  uint32_t offered = 0;
  CString server, socks4Password;
  uint32_t port = 0;
  bool bypass = false;
};

// The service's three rights, each edited on a working copy that lives as long as the sheet.
class PoliciesPage : public ServicePage {
 public:
  enum : int { RIGHT = 1097, LIST = 1043, MODE = 1341, ADD = 1098, REMOVE = 1099 };
  using ServicePage::ServicePage;
  void Load(const CServiceSettings& s) override;
  ControlStates States() const override;
  bool Validate(Prompter& prompter) override;
  void Apply(CServiceSettings& s) const override;

  struct Row {
    CString recipient, rights;
  };
  // The selected right's recipients: name and restriction description.
  std::vector<Row> Rows() const;
  std::vector<CString> RightNames() const;
  int32_t Mode() const;
  void SetMode(int32_t mode);
  // Remove: no question; the right counts as changed.
  void Remove(size_t row);
  // The recipient sheet's result joins the selected right (Add), or takes the row's place (Edit);
  // either way the right counts as changed.
  void Add(std::shared_ptr<CRecipient> recipient);
  void Replace(size_t row, std::shared_ptr<CRecipient> recipient);
  // The selected right's recipient at row (for the recipient sheet to copy), or null.
  std::shared_ptr<const CRecipient> Recipient(size_t row) const;
  // What the recipient sheet needs: the service's kind and the selected right's type.
  uint32_t ServiceKind() const { return m_kind; }
  int32_t SelectedType() const;

  size_t selected = 0;

 private:
  struct Working {
    std::shared_ptr<CRight> copy;
    // One flag per right: only a right whose list was changed here is asked about.
    bool modified = false;
  };
  bool Fixed(const Working& w) const;
  std::vector<Working> m_rights;
  uint32_t m_kind = 0;
};

class LoggingPage : public ServicePage {
 public:
  enum : int { OFF = 1165, ON = 1166 };
  static constexpr std::pair<int, uint32_t> kBits[] = {{1171, 1},  {1172, 2},  {1167, 4},   {1168, 8},  {1169, 16},
                                                       {1170, 32}, {1173, 64}, {1174, 128}, {1176, 512}};
  using ServicePage::ServicePage;
  void Load(const CServiceSettings& s) override;
  ControlStates States() const override;
  void Apply(CServiceSettings& s) const override;

  bool enabled = true;
  uint32_t options = 0;
};

// SOCKS Advanced (SOCKS services): web requests referred to a caching WWW service, reverse lookups
// and RFC 1929 log-ins. Logic in service_pages.cpp.
class SOCKSAdvancedPage : public ServicePage {
 public:
  enum : int {
    REFER = 1182,
    CACHE = 1183,
    OWN_POLICY = 1184,
    USE_POLICY = 1185,
    POLICY = 1188,
    REVERSE = 1186,
    RFC1929 = 1187
  };
  using ServicePage::ServicePage;
  void Load(const CServiceSettings& s) override;
  ControlStates States() const override;
  // A referred request with "use following policy" and no service named would be refused every time.
  bool Validate(Prompter& prompter) override;
  void Apply(CServiceSettings& s) const override;

  bool refer = false, cache = false, reverse = false, rfc1929 = false;
  uint32_t useSpecified = 0;
  CString policy;
  std::vector<CString> wwwServices;  // the combo's entries
};

// Encryption (TCP mapping services): the enciphered link toward clients and toward the server.
// Logic in service_pages.cpp.
class EncryptionPage : public ServicePage {
 public:
  enum : int {
    ENCRYPT_IN = 1230,
    ANY_USER = 1106,
    SPECIFIED_USER = 1235,
    USER_IN = 1209,
    PASSWORD_IN = 1210,
    ENCRYPT_OUT = 1231,
    USER_OUT = 1233,
    PASSWORD_OUT = 1234
  };
  using ServicePage::ServicePage;
  void Load(const CServiceSettings& s) override;
  ControlStates States() const override;
  // An enciphered link needs a user name to log in with; without one every connection fails.
  bool Validate(Prompter& prompter) override;
  void Apply(CServiceSettings& s) const override;

  bool encryptIn = false, encryptOut = false;
  uint32_t specifyUser = 0;
  CString userIn, passwordIn, userOut, passwordOut;
};

// The Mappings page of a port mapping service: a working copy of the service's rules, whose
// rows the Mapping sheet (mapping_editors.h) edits. Logic in mapping_editors.cpp.
class MappingsPage : public ServicePage {
 public:
  enum : int { LIST = 1189, ADD = 1190, REMOVE = 1191 };
  using ServicePage::ServicePage;
  void Load(const CServiceSettings& s) override;
  ControlStates States() const override;
  void Apply(CServiceSettings& s) const override;

  std::vector<CString> Rows() const;
  const std::vector<std::shared_ptr<CMapping>>& Rules() const { return m_rules; }
  // Add: the result of a Mapping sheet over a fresh rule joins the end.
  void Add(std::shared_ptr<CMapping> rule);
  // Edit (double click): the rule at row is replaced by the sheet's result, in place.
  void Replace(size_t row, std::shared_ptr<CMapping> rule);
  // Remove: no question; a row out of range does nothing.
  void Remove(size_t row);

  std::optional<size_t> selected;

 private:
  bool m_has = false;
  std::vector<std::shared_ptr<CMapping>> m_rules;
};

class EditServiceSheet {
 public:
  // An existing service of the mirror.
  EditServiceSheet(CLookoutClient& client, const CString& serviceName, bool confirmBindExternal = true);
  // A new service object, which the sheet owns until OK.
  EditServiceSheet(CLookoutClient& client, std::shared_ptr<CServiceSettings> fresh, bool confirmBindExternal = true);

  bool Existing() const { return m_ctx.existing; }
  const CLookoutClient& Client() const { return m_client; }
  // "%s Properties".
  CString Title() const;
  const std::vector<int>& Pages() const { return m_pages; }
  // The logic of a page template this sheet shows, or null (also for pages not built yet).
  ServicePage* Page(int id);

  // OK: every shown page validates in OK order, then writes; the service replaces the mirror's
  // and, on-line, goes to the engine (34, or 32 class-tagged for a new one). Returns the template
  // of the refusing page, or 0 when done.
  int Ok(Prompter& prompter);

  GeneralPage general{m_ctx};
  BindingsPage bindings{m_ctx};
  InterfacesPage interfaces{m_ctx};
  SessionsPage sessions{m_ctx};
  NonProxyPage nonProxy{m_ctx};
  ConnectionPage connection{m_ctx};
  PoliciesPage policies{m_ctx};
  LoggingPage logging{m_ctx};
  MappingsPage mappings{m_ctx};
  SOCKSAdvancedPage socks{m_ctx};
  EncryptionPage encryption{m_ctx};

  // The DHCP service's pages (dhcp_pages.h), made for a DHCP service only.
  std::shared_ptr<DHCPModePage> dhcpMode;
  std::shared_ptr<DHCPSettingsPage> dhcpSettings;

 private:
  void Init();
  CLookoutClient& m_client;
  ServiceSheetContext m_ctx;
  std::shared_ptr<CServiceSettings> m_service;
  CString m_name;
  std::vector<int> m_pages;
};
