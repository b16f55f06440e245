#include "engine/proxy/pop3/pop3_settings.h"

#include "engine/config/settings_table.h"

TL_IMPLEMENT_SERIAL_AS(CPOP3ServiceSettings, "CPOP3Service", CTCPServiceSettings, 1)

namespace {

using Row = CSettingRow<CPOP3ServiceSettings>;
using S = CPOP3ServiceSettings;
constexpr Row kPOP3Rows[] = {
    Row::Dword("Delimiter", &S::Delimiter, S::kDefaultDelimiter),
};

}  // namespace

CPOP3ServiceSettings::CPOP3ServiceSettings()
    : CTCPServiceSettings(kDefaultPort, "POP3 Proxy server", "POP3 Proxy server") {
  ConnectMethodsOffered = CONNECT_HTTP_PROXY | CONNECT_SOCKS4 | CONNECT_HTTP_TUNNEL;
}

CPOP3ServiceSettings::~CPOP3ServiceSettings() = default;

bool CPOP3ServiceSettings::SaveSettings(const CString& key) {
  bool ok = CTCPServiceSettings::SaveSettings(key);
  RegBatch batch;
  CLockGuard g(*this);
  ok &= SaveSettingRows(*this, key, kPOP3Rows);
  return ok;
}

void CPOP3ServiceSettings::LoadSettings(const CString& key) {
  CTCPServiceSettings::LoadSettings(key);
  CLockGuard g(*this);
  LoadSettingRows(*this, key, kPOP3Rows);
}

void CPOP3ServiceSettings::Serialize(CArchive& ar) {
  CTCPServiceSettings::Serialize(ar);
  CLockGuard g(*this);
  SerializeSettingRows(*this, ar, kPOP3Rows);
}

uint32_t CPOP3ServiceSettings::GetDelimiter() const {
  CLockGuard g(*this);
  return Delimiter;
}
