#include "engine/proxy/mapping/mapping_settings.h"

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

TL_IMPLEMENT_SERIAL_AS(CTCPMappingServiceSettings, "CTCPMappingService", CTCPServiceSettings, 1)
TL_IMPLEMENT_SERIAL_AS(CUDPMappingServiceSettings, "CUDPMappingService", CUDPServiceSettings, 1)

namespace {

constexpr const char* kMappingsSubKey = "\\Mappings";

CString Scrambled(CString text) {
  ScrambleString(text);
  return text;
}

}  // namespace

// ---- CTCPMappingServiceSettings -----------------------------------------------------------------

// Port 0 until the operator sets one: such a service refuses to start (tcp_mapping_service.cpp).
CTCPMappingServiceSettings::CTCPMappingServiceSettings()
    : CTCPServiceSettings(0, "TCP Mapping service", "TCP Mapping service") {
  ConnectMethodsOffered = CONNECT_SOCKS4 | CONNECT_HTTP_TUNNEL;
}

CTCPMappingServiceSettings::~CTCPMappingServiceSettings() = default;

bool CTCPMappingServiceSettings::SaveSettings(const CString& key) {
  bool ok = CTCPServiceSettings::SaveSettings(key);
  RegBatch batch;
  ok &= Mappings->Save(key + kMappingsSubKey);
  CLockGuard g(*this);
  // Registry and archive put SpecifyUserForIncomingConnection before EncryptConnectionsIn.
  ok &= RegWriteDWORD(key, "SpecifyUserForIncomingConnection", SpecifyUserForIncomingConnection);
  ok &= RegWriteDWORD(key, "EncryptConnectionsIn", EncryptConnectionsIn);
  ok &= RegWriteString(key, "UsernameIn", UsernameIn);
  ok &= RegWriteString(key, "PasswordIn", Scrambled(PasswordIn));
  ok &= RegWriteDWORD(key, "EncryptConnectionsOut", EncryptConnectionsOut);
  ok &= RegWriteString(key, "UsernameOut", UsernameOut);
  ok &= RegWriteString(key, "PasswordOut", Scrambled(PasswordOut));
  return ok;
}

void CTCPMappingServiceSettings::LoadSettings(const CString& key) {
  CTCPServiceSettings::LoadSettings(key);
  Mappings->Load(key + kMappingsSubKey);
  CLockGuard g(*this);
  SpecifyUserForIncomingConnection = RegReadDWORD(key, "SpecifyUserForIncomingConnection", 0);
  EncryptConnectionsIn = RegReadDWORD(key, "EncryptConnectionsIn", 0);
  UsernameIn = RegReadString(key, "UsernameIn", "");
  PasswordIn = Scrambled(RegReadString(key, "PasswordIn", ""));
  EncryptConnectionsOut = RegReadDWORD(key, "EncryptConnectionsOut", 0);
  UsernameOut = RegReadString(key, "UsernameOut", "");
  PasswordOut = Scrambled(RegReadString(key, "PasswordOut", ""));
}

void CTCPMappingServiceSettings::Serialize(CArchive& ar) {
  CTCPServiceSettings::Serialize(ar);
  Mappings->Serialize(ar);
  CLockGuard g(*this);
  if (ar.IsStoring()) {
    ar << SpecifyUserForIncomingConnection << EncryptConnectionsIn << UsernameIn << Scrambled(PasswordIn);
    ar << EncryptConnectionsOut << UsernameOut << Scrambled(PasswordOut);
    return;
  }
  CMappingLinkSettings in;
  ar >> in.SpecifyUserForIncomingConnection >> in.EncryptConnectionsIn;
  in.UsernameIn = ar.ReadString();
  in.PasswordIn = Scrambled(ar.ReadString());
  ar >> in.EncryptConnectionsOut;
  in.UsernameOut = ar.ReadString();
  in.PasswordOut = Scrambled(ar.ReadString());
  static_cast<CMappingLinkSettings&>(*this) = std::move(in);
}

void CTCPMappingServiceSettings::GetFixedDestinations(std::vector<CFixedDestination>& out) const {
  CTCPServiceSettings::GetFixedDestinations(out);
  for (const CHostPort& d : Mappings->GetDestinations()) out.push_back({d.Host, d.Port, SERVICE_TRANSPORT_TCP});
}

CMappingLinkSettings CTCPMappingServiceSettings::GetLinkSettings() const {
  CLockGuard g(*this);
  return *this;
}

// ---- CUDPMappingServiceSettings -----------------------------------------------------------------

CUDPMappingServiceSettings::CUDPMappingServiceSettings()
    : CUDPServiceSettings(0, "UDP Mapping service", "UDP Mapping service") {}

CUDPMappingServiceSettings::~CUDPMappingServiceSettings() = default;

bool CUDPMappingServiceSettings::SaveSettings(const CString& key) {
  bool ok = CUDPServiceSettings::SaveSettings(key);
  ok &= Mappings->Save(key + kMappingsSubKey);
  return ok;
}

void CUDPMappingServiceSettings::LoadSettings(const CString& key) {
  CUDPServiceSettings::LoadSettings(key);
  Mappings->Load(key + kMappingsSubKey);
}

void CUDPMappingServiceSettings::Serialize(CArchive& ar) {
  CUDPServiceSettings::Serialize(ar);
  Mappings->Serialize(ar);
}

void CUDPMappingServiceSettings::GetFixedDestinations(std::vector<CFixedDestination>& out) const {
  for (const CHostPort& d : Mappings->GetDestinations()) out.push_back({d.Host, d.Port, SERVICE_TRANSPORT_UDP});
}
