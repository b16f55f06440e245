// The service sheet's class pages: SOCKS Advanced and Encryption (declared in service_sheet.h).
#include <algorithm>

#include "console/dialogs/core/service_sheet.h"
#include "engine/proxy/mapping/mapping_settings.h"
#include "engine/proxy/socks/socks_settings.h"
#include "engine/proxy/www/www_settings.h"

// ---- SOCKS Advanced -------------------------------------------------------------------------------

void SOCKSAdvancedPage::Load(const CServiceSettings& s) {
  wwwServices.clear();
  if (m_ctx.services)
    for (const auto& [name, obj] : m_ctx.services->Snapshot())
      if (std::dynamic_pointer_cast<CWWWServiceSettings>(obj)) wwwServices.push_back(name);
  const auto* socks = dynamic_cast<const CSOCKSServiceSettings*>(&s);
  if (!socks) return;
  refer = socks->ReferHTTPRequests != 0;
  cache = socks->CacheReferredHTTPRequests != 0;
  useSpecified = socks->UseSpecifiedPolicy != 0 ? 1 : 0;
  policy = socks->HTTPPolicy;
  reverse = socks->DoReverseLookups != 0;
  rfc1929 = socks->UseRFC1929 != 0;
}

ControlStates SOCKSAdvancedPage::States() const {
  ControlStates st;
  for (int id : {CACHE, OWN_POLICY, USE_POLICY}) st[id].enabled = refer;
  st[POLICY].enabled = refer && useSpecified == 1;
  return st;
}

bool SOCKSAdvancedPage::Validate(Prompter& prompter) {
  if (refer && useSpecified == 1 && policy.empty()) {
    prompter.Message(kTitleInvalidSetting, kTextNoPolicyService, EDITOR_MB_STOP);
    return false;
  }
  return true;
}

void SOCKSAdvancedPage::Apply(CServiceSettings& s) const {
  auto* socks = dynamic_cast<CSOCKSServiceSettings*>(&s);
  if (!socks) return;
  socks->ReferHTTPRequests = refer;
  socks->CacheReferredHTTPRequests = cache;
  socks->UseSpecifiedPolicy = useSpecified;
  socks->HTTPPolicy = policy;
  socks->DoReverseLookups = reverse;
  socks->UseRFC1929 = rfc1929;
}

// ---- Encryption -----------------------------------------------------------------------------------

void EncryptionPage::Load(const CServiceSettings& s) {
  const auto* tcp = dynamic_cast<const CTCPMappingServiceSettings*>(&s);
  if (!tcp) return;
  encryptIn = tcp->EncryptConnectionsIn != 0;
  specifyUser = tcp->SpecifyUserForIncomingConnection != 0 ? 1 : 0;
  userIn = tcp->UsernameIn;
  passwordIn = tcp->PasswordIn;
  encryptOut = tcp->EncryptConnectionsOut != 0;
  userOut = tcp->UsernameOut;
  passwordOut = tcp->PasswordOut;
}

ControlStates EncryptionPage::States() const {
  ControlStates st;
  st[ANY_USER].enabled = st[SPECIFIED_USER].enabled = encryptIn;
  st[USER_IN].enabled = st[PASSWORD_IN].enabled = encryptIn && specifyUser == 1;
  st[USER_OUT].enabled = st[PASSWORD_OUT].enabled = encryptOut;
  return st;
}

bool EncryptionPage::Validate(Prompter& prompter) {
  if (encryptIn && specifyUser == 1 && userIn.empty()) {
    prompter.Message(kTitleInvalidSetting, kTextNoUserIn, EDITOR_MB_STOP);
    return false;
  }
  if (encryptOut && userOut.empty()) {
    prompter.Message(kTitleInvalidSetting, kTextNoUserOut, EDITOR_MB_STOP);
    return false;
  }
  return true;
}

void EncryptionPage::Apply(CServiceSettings& s) const {
  auto* tcp = dynamic_cast<CTCPMappingServiceSettings*>(&s);
  if (!tcp) return;
  tcp->EncryptConnectionsIn = encryptIn;
  tcp->SpecifyUserForIncomingConnection = specifyUser;
  tcp->UsernameIn = userIn;
  tcp->PasswordIn = passwordIn;
  tcp->EncryptConnectionsOut = encryptOut;
  tcp->UsernameOut = userOut;
  tcp->PasswordOut = passwordOut;
}
