#pragma once
// Settings of the port mapping services: what the console edits and the registry keeps for a TCP
// or UDP mapping service on top of the TCP or datagram service's. Stored as "CTCPMappingService"
// and "CUDPMappingService"; the engine runs them as CTCPMappingService (tcp_mapping_service.h)
// and CUDPMappingService (udp_mapping_service.h).
//
// Registry (under the service's key, after the base's values): the rules under "<key>\\Mappings"
// (mapping.h); for the TCP service then SpecifyUserForIncomingConnection, EncryptConnectionsIn,
// UsernameIn, PasswordIn, EncryptConnectionsOut, UsernameOut, PasswordOut. The two passwords are
// stored scrambled (ScrambleString); the registry file itself is private to its owner (0600).
// Archive: the base's form, the rules' form, then (TCP) SpecifyUserForIncomingConnection,
// EncryptConnectionsIn (u32), UsernameIn, PasswordIn (scrambled) (strings), EncryptConnectionsOut
// (u32), UsernameOut, PasswordOut (scrambled) (strings).
#include <cstdint>

#include "engine/core/service_settings.h"
#include "engine/proxy/mapping/mapping.h"

// The enciphered link's values a TCP mapping session copies from its service.
struct CMappingLinkSettings {
  uint32_t SpecifyUserForIncomingConnection = 0;
  uint32_t EncryptConnectionsIn = 0;
  CString UsernameIn;
  CString PasswordIn;  // plain in memory
  uint32_t EncryptConnectionsOut = 0;
  CString UsernameOut;
  CString PasswordOut;  // plain in memory
};

// Link fields are guarded by the object's lock like the base's settings; the rules by their own.
class CTCPMappingServiceSettings : public CTCPServiceSettings, public CMappingLinkSettings {
  TL_DECLARE_SERIAL(CTCPMappingServiceSettings)

 public:
  CTCPMappingServiceSettings();
  ~CTCPMappingServiceSettings() override;

  bool HasNonProxySettings() const override { return false; }
  bool HasMappings() const override { return true; }
  bool SaveSettings(const CString& key) override;
  void LoadSettings(const CString& key) override;
  void Serialize(CArchive& ar) override;

  CMappingLinkSettings GetLinkSettings() const;
  // The base's, then every destination a rule or the default can give (TCP).
  void GetFixedDestinations(std::vector<CFixedDestination>& out) const override;

  // Shared with the sessions: a service deleted while its sessions still relay leaves them rules
  // that stay valid.
  std::shared_ptr<CMappings> Mappings = std::make_shared<CMappings>();
};

class CUDPMappingServiceSettings : public CUDPServiceSettings {
  TL_DECLARE_SERIAL(CUDPMappingServiceSettings)

 public:
  CUDPMappingServiceSettings();
  ~CUDPMappingServiceSettings() override;

  bool HasNonProxySettings() const override { return false; }
  bool HasMappings() const override { return true; }
  bool SaveSettings(const CString& key) override;
  void LoadSettings(const CString& key) override;
  void Serialize(CArchive& ar) override;
  // Every destination a rule or the default can give (UDP).
  void GetFixedDestinations(std::vector<CFixedDestination>& out) const override;

  std::shared_ptr<CMappings> Mappings = std::make_shared<CMappings>();
};
