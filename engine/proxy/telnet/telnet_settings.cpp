#include "engine/proxy/telnet/telnet_settings.h"

#include "engine/config/settings_table.h"

TL_IMPLEMENT_SERIAL_AS(CTelnetServiceSettings, "CTelnetService", CTCPServiceSettings, 1)

namespace {

using Row = CSettingRow<CTelnetServiceSettings>;
using S = CTelnetServiceSettings;
constexpr Row kTelnetRows[] = {
    Row::Text("Prompt", &S::Prompt, "Trellis>"),
    Row::Dword("EnableLogin", &S::EnableLogin, 1),
};

}  // namespace

CTelnetServiceSettings::CTelnetServiceSettings()
    : CTCPServiceSettings(kDefaultPort, "Telnet Proxy server", "Telnet Proxy server") {
  ConnectMethodsOffered = CONNECT_SOCKS4 | CONNECT_HTTP_TUNNEL;
}

CTelnetServiceSettings::~CTelnetServiceSettings() = default;

bool CTelnetServiceSettings::SaveSettings(const CString& key) {
  bool ok = CTCPServiceSettings::SaveSettings(key);
  RegBatch batch;
  CLockGuard g(*this);
  ok &= SaveSettingRows(*this, key, kTelnetRows);
  return ok;
}

void CTelnetServiceSettings::LoadSettings(const CString& key) {
  CTCPServiceSettings::LoadSettings(key);
  CLockGuard g(*this);
  LoadSettingRows(*this, key, kTelnetRows);
}

void CTelnetServiceSettings::Serialize(CArchive& ar) {
  CTCPServiceSettings::Serialize(ar);
  CLockGuard g(*this);
  SerializeSettingRows(*this, ar, kTelnetRows);
}

CTelnetOptions CTelnetServiceSettings::GetTelnetOptions() const {
  CLockGuard g(*this);
  return static_cast<const CTelnetOptions&>(*this);
}
