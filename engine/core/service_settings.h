#pragma once
// The settings half of every service: what the registry keeps under "Services\\<name>", what the
// console holds, edits and sends back, and their archive form. Configuration library: no sockets,
// no threads, no engine globals.
//
// The engine's running services (service.h) join a settings class with a runtime base, so in the
// engine one object carries both, while the console, linking only the configuration library,
// makes the settings alone from the same stored class name (docs/services.md):
//   CServiceSettings     stored as "CService"
//   CTCPServiceSettings  stored as "CTCPService"
//   a service's own settings class is stored under the name of its running class.
//
// Threads: every read or write of the setting fields from another thread than the object's owner
// holds the object's own lock (CLockGuard g(settings)). Lock order: the object's lock, then its
// binding map, then its outgoing-interface list.
#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/access/right.h"
#include "engine/config/interface.h"
#include "engine/config/lockable.h"

// Transports (GetTransport).
enum : uint32_t { SERVICE_TRANSPORT_NONE = 0, SERVICE_TRANSPORT_TCP = 1, SERVICE_TRANSPORT_UDP = 2 };

// Service kind codes (GetServiceKind): the console chooses a service's pages and a recipient's
// pages and criteria by them.
enum : uint32_t {
  SERVICE_KIND_NONE = 0,
  SERVICE_KIND_WWW = 2,
  SERVICE_KIND_POP3 = 3,
  SERVICE_KIND_TELNET = 4,
  SERVICE_KIND_FTP = 5,
  SERVICE_KIND_SOCKS = 7,
  SERVICE_KIND_DNS = 9,
  SERVICE_KIND_REALAUDIO = 10,
  SERVICE_KIND_VDOLIVE = 11,
  SERVICE_KIND_XDMA = 13,
  SERVICE_KIND_DHCP = 14,
};

// Binding options.
enum : uint32_t { BINDING_ALL = 0, BINDING_SPECIFIC = 1, BINDING_LIST = 2 };

// States of one binding of the list option.
enum : uint32_t {
  BINDING_LISTENING = 0,
  BINDING_TO_OPEN = 1,
  BINDING_FAILED = 2,
};

// Outgoing interface methods.
enum : uint32_t { INTERFACE_METHOD_ANY = 0, INTERFACE_METHOD_FIXED = 1, INTERFACE_METHOD_ROUND_ROBIN = 2 };

// Running states.
enum : uint32_t { SERVICE_STOPPED = 0, SERVICE_RUNNING = 1, SERVICE_PARTIAL = 2 };

// Service log event types (the bits of LogOptions). Sessions write 2..32 into the same file.
enum : uint32_t {
  LOG_CONFIGURATION = 1,
  LOG_FAILED_AUTHORISATION = 2,
  LOG_CREATED = 4,
  LOG_REQUESTED = 8,
  LOG_TRAFFIC = 16,
  LOG_TERMINATED = 32,
  LOG_INFORMATION = 64,
  LOG_ERROR = 128,
  LOG_DEBUG = 512,
};

// Upstream methods a TCP service offers its sessions (ConnectMethodsOffered bits) and the stored
// ConnectMethod values.
enum : uint32_t {
  CONNECT_DIRECT = 0,
  CONNECT_HTTP_PROXY = 1,
  CONNECT_SOCKS4 = 2,
  CONNECT_HTTP_TUNNEL = 4,
};

// The registry key below the root that holds one sub-key per service.
inline constexpr const char* kServicesKey = "Services";

// The texts a service's rights are given back after every load.
inline constexpr const char* kServiceAccessRightText = "Users can access this service";
inline constexpr const char* kServiceStartStopRightText = "Users can start/stop this service";
inline constexpr const char* kServiceEditRightText = "Users can modify this service";

class CService;

// A destination a service connects to whatever its clients ask, as its operator set it (a fixed
// server for requests addressed to the gateway, an upstream proxy, a mapping's rule or default).
// The engine follows these to find roads that lead from a service back into its own listener.
struct CFixedDestination {
  CString Host;
  uint32_t Port = 0;
  uint32_t Transport = SERVICE_TRANSPORT_TCP;
};

// One interface of the list option (BindingOption 2) and its state. The engine's listener for it
// belongs to the running service, never to this record.
class CBinding : public CObject {
  TL_DECLARE_SERIAL(CBinding)

 public:
  CBinding() = default;

  // Archive: the state (u32), then the interface.
  void Serialize(CArchive& ar) override;
  const std::string* GetKeyName() const override { return &m_interface.m_name; }
  virtual bool Save(const CString& path) const { return m_interface.Save(path); }
  virtual void Load(const CString& path) { m_interface.Load(path); }

  uint32_t m_state = BINDING_TO_OPEN;
  CInterface m_interface;
};

class CServiceSettings : public CLockableObject {
  TL_DECLARE_SERIAL(CServiceSettings)

 public:
  static constexpr uint32_t kDefaultSessionTimeout = 60;
  static constexpr uint32_t kLoadedSessionTimeout = 180;  // a stored service without the value
  static constexpr uint32_t kDefaultSessionLimit = 5;
  static constexpr uint32_t kDefaultLogOptions = 219;
  // A name longer than this (or empty, or holding "\\", "/" or control characters) cannot name a
  // registry key or a log file and is refused.
  static constexpr size_t kMaxNameLength = 255;

  CServiceSettings();
  CServiceSettings(uint32_t port, const CString& name, const CString& description);
  ~CServiceSettings() override;
  CServiceSettings(const CServiceSettings&) = delete;
  CServiceSettings& operator=(const CServiceSettings&) = delete;

  static bool IsValidName(const CString& name);

  // What the service is (the console chooses its pages by these).
  virtual uint32_t GetTransport() const { return SERVICE_TRANSPORT_NONE; }
  // The service's kind code; neither stored nor archived (each class knows its own).
  virtual uint32_t GetServiceKind() const { return SERVICE_KIND_NONE; }
  // Every interface kind but dial-up.
  virtual bool AcceptsInterface(const CInterface& entry) const;
  // A service for the inside network only (DHCP, the DNS relay): automatic binding leaves out the
  // interfaces that face the outside (CInterface::m_upstream, m_outside) and names them in the
  // service log, and "every interface" is bound that way too. An operator's own list or address
  // binds where it says.
  virtual bool ServesInsideOnly() const { return false; }
  virtual bool HasNonProxySettings() const { return true; }
  virtual bool HasMappings() const { return false; }
  virtual bool HasOutgoingInterfaces() const { return true; }
  // Appends the service's fixed destinations (none in the base).
  virtual void GetFixedDestinations(std::vector<CFixedDestination>& /*out*/) const {}

  CString GetName() const;
  // False (nothing changed) for a name IsValidName refuses.
  bool SetName(const CString& name);
  CString GetDescription() const;
  void SetDescription(const CString& description);

  // key: the service's key relative to the registry root ("Services\\<name>"). Derived settings
  // call the base first, then write or read their own rows. False when a write failed.
  virtual bool SaveSettings(const CString& key);
  virtual void LoadSettings(const CString& key);
  // Converts values older versions wrote under key (called by LoadSettings while the root has no
  // "Settings\\Version").
  virtual void UpgradeLegacySettings(const CString& key);

  void Serialize(CArchive& ar) override;
  const std::string* GetKeyName() const override { return &Name; }

  // The live state while a running service owns this object (the engine); otherwise the state the
  // last archive read carried (the console's view of the engine).
  uint32_t GetRunningState() const;
  uint32_t GetReportedRunningState() const { return m_reportedRunningState.load(); }
  // The console's mirror follows the engine's start and stop notifications with this.
  void SetReportedRunningState(uint32_t state) { m_reportedRunningState.store(state); }
  // Takes every outgoing-interface entry of that name out of Interfaces; the number removed.
  size_t RemoveOutgoingInterface(const CString& name);
  std::array<CRight*, 3> GetRights() { return {&AccessRights, &StartStopRights, &EditRights}; }
  // The running state's step of the archive rows: stores GetRunningState, loads the reported one.
  static void ArchiveRunningState(CServiceSettings& self, CArchive& ar);

  // ---- Settings (registry value names; guarded by the object's lock) -------------------------

  uint32_t PortNumber = 0;
  CString Name;
  CString Description;
  uint32_t BindingOption = BINDING_ALL;
  CString SpecificBinding;
  uint32_t ReuseAddr = 0;
  uint32_t InterfaceMethod = INTERFACE_METHOD_ANY;
  uint32_t Enabled = 1;
  uint32_t TimeOutSessions = 1;
  uint32_t SessionTimeout = kDefaultSessionTimeout;
  uint32_t LimitSessions = 0;
  uint32_t SessionLimit = kDefaultSessionLimit;
  uint32_t NonProxyRequestAction = 0;
  CString NonProxyRequestHost;
  uint32_t NonProxyRequestPort = 0;
  uint32_t LoggingEnabled = 1;
  uint32_t LogOptions = kDefaultLogOptions;
  uint32_t RestartNeeded = 0;
  CRight AccessRights;
  CRight StartStopRights;
  CRight EditRights;
  CLockableMap Bindings;     // interface name -> CBinding
  CLockableList Interfaces;  // CInterface, the list of method 2
  CInterface FixedInterface{INTERFACE_IP, "0.0.0.0"};

 protected:
  // Sets the three rights' types and texts (after construction and every load).
  void ResetRightIdentities();

 private:
  // The running half sets the live state; nothing else may.
  friend class CService;

  std::atomic<bool> m_live{false};
  std::atomic<uint32_t> m_runningState{SERVICE_STOPPED};
  std::atomic<uint32_t> m_reportedRunningState{SERVICE_STOPPED};
};

// The settings of a datagram service: the base's settings, stored under "CUDPService". Datagram
// services (DNS, DHCP, the UDP relays) add theirs after these.
class CUDPServiceSettings : public CServiceSettings {
  TL_DECLARE_SERIAL(CUDPServiceSettings)

 public:
  CUDPServiceSettings();
  CUDPServiceSettings(uint32_t port, const CString& name, const CString& description);
  ~CUDPServiceSettings() override;

  uint32_t GetTransport() const override { return SERVICE_TRANSPORT_UDP; }
};

// Connection settings a two-end session copies from its TCP service.
struct CConnectSettings {
  uint32_t ConnectMethod = CONNECT_DIRECT;
  CString ProxyServer;
  uint32_t ProxyPort = 0;
  CString SOCKS4Password;
  uint32_t BypassProxyOnLocal = 0;
};

class CTCPServiceSettings : public CServiceSettings {
  TL_DECLARE_SERIAL(CTCPServiceSettings)

 public:
  CTCPServiceSettings();
  CTCPServiceSettings(uint32_t port, const CString& name, const CString& description);
  ~CTCPServiceSettings() override;

  uint32_t GetTransport() const override { return SERVICE_TRANSPORT_TCP; }
  bool SaveSettings(const CString& key) override;
  void LoadSettings(const CString& key) override;
  void Serialize(CArchive& ar) override;

  // The settings a session connects out with. A stored method the service does not offer is
  // ignored: a service that offers none always connects directly, whatever ConnectMethod holds,
  // and one of the upstream methods (1, 2, 4) outside ConnectMethodsOffered means direct too.
  // Values that are no method at all are passed on and refused when connecting.
  CConnectSettings GetConnectSettings() const;
  // The non-proxy server of action 1 (when the service has non-proxy settings) and the upstream
  // proxy of the method in effect.
  void GetFixedDestinations(std::vector<CFixedDestination>& out) const override;

  // Offered upstream methods: set by derived constructors, neither stored nor archived.
  uint32_t ConnectMethodsOffered = 0;
  uint32_t ConnectMethod = CONNECT_DIRECT;
  CString ProxyServer;
  uint32_t ProxyPort = 0;
  CString SOCKS4Password;
  uint32_t BypassProxyOnLocal = 0;
};
