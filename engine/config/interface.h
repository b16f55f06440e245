#pragma once
// The machine's network interfaces as services listen on them and sessions connect out from
// them, and the engine's record of its host.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/config/archive.h"
#include "engine/config/lockable.h"
#include "engine/config/object.h"

enum : uint32_t {
  INTERFACE_IP = 1,        // a configured IP address
  INTERFACE_DIALUP = 2,    // a dial-up connection named by its phonebook entry
  INTERFACE_LOOPBACK = 4,  // the loopback address
};

// What the dialer knows about dial-up connections. The engine installs its dialer here; the
// console and tools leave it empty, and then no dial-up connection is ever up.
struct DialupInfo {
  // Address text of the connection of a phonebook entry while it is up.
  std::function<bool(const CString& entry, CString* address)> connectionAddress;
  // Addresses of every active dial-up connection.
  std::function<std::vector<CString>()> activeAddresses;
  // Names of the phonebook entries.
  std::function<std::vector<CString>()> entryNames;
};
void SetDialupInfo(DialupInfo info);
DialupInfo GetDialupInfo();

class CInterface : public CObject {
  TL_DECLARE_SERIAL(CInterface)

 public:
  CInterface() = default;
  CInterface(uint32_t kind, const CString& name) : m_kind(kind), m_name(name) {}
  CInterface(const CInterface&) = default;
  CInterface& operator=(const CInterface&) = default;

  void Serialize(CArchive& ar) override;
  const std::string* GetKeyName() const override { return &m_name; }
  virtual bool Save(const CString& path) const;
  virtual void Load(const CString& path);

  // The current address: the name itself (kind 1), the dial-up connection's address (kind 2),
  // "127.0.0.1" (kind 4).
  const CString& GetAddressText();
  bool IsAvailable();

  uint32_t m_kind = INTERFACE_IP;
  CString m_name;
  CString m_address;
  uint32_t m_lan = 0;
  uint32_t m_outside = 0;
  // Why automatic binding of the services that serve only the inside (DHCP, the DNS relay) keeps
  // off this interface: it carries the default route or the route to the resolver or an upstream
  // proxy. Empty for an inside interface. Found at each start; neither stored nor archived.
  CString m_upstream;
};

class CSysInfo : public CObject {
  TL_DECLARE_SERIAL(CSysInfo)

 public:
  CSysInfo();
  // Sent to the console: versions and the version text (the interface map travels separately).
  void Serialize(CArchive& ar) override;

  void GetOSVersion();
  // The addresses of the machine's own adapters that are up, loopback excluded.
  static void GetLocalAddresses(std::vector<CString>& out);
  // The host name up to its first ".", whole: it is compared with the names clients ask for, and
  // a host here has no 15-character NetBIOS name, so a name cut to 15 characters would name no
  // host and the real name would no longer count as this machine's.
  static CString ReadComputerName();

  CLockableMap m_interfaces;  // interface name -> CInterface
  CString m_computerName;
  uint32_t m_majorVersion = 0;
  uint32_t m_minorVersion = 0;
  uint32_t m_isNT = 1;
  CString m_version = "Trellis 2.1d";
  uint32_t m_multiInterface = 0;
};

// One local address with its real prefix, as the kernel reports it.
struct LocalAddress {
  uint32_t address = 0;  // host order
  uint32_t netmask = 0;  // host order
  bool loopback = false;
  CString device;  // the interface's name ("eth0")
};
std::vector<LocalAddress> ReadLocalAddresses();
