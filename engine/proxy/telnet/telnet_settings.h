#pragma once
// The Telnet gateway's settings: the TCP service's, the host prompt and whether a client may log in
// at the gateway. Stored as "CTelnetService"; the engine runs it as CTelnetService
// (telnet_service.h).
//
// Registry values (under the service's key, beside the TCP service's): Prompt (text, "Trellis>"),
// EnableLogin (DWORD, 1). Archive form: the TCP service's fields, then Prompt (string), EnableLogin
// (u32).
#include <cstdint>

#include "engine/core/service_settings.h"

struct CTelnetOptions {
  CString Prompt = "Trellis>";
  uint32_t EnableLogin = 1;
};

class CTelnetServiceSettings : public CTCPServiceSettings, public CTelnetOptions {
  TL_DECLARE_SERIAL(CTelnetServiceSettings)

 public:
  static constexpr uint32_t kDefaultPort = 23;

  CTelnetServiceSettings();
  ~CTelnetServiceSettings() override;

  uint32_t GetServiceKind() const override { return SERVICE_KIND_TELNET; }
  // A client without a host is prompted for one: there are no non-proxy request settings.
  bool HasNonProxySettings() const override { return false; }
  bool SaveSettings(const CString& key) override;
  void LoadSettings(const CString& key) override;
  void Serialize(CArchive& ar) override;

  CTelnetOptions GetTelnetOptions() const;
};
