// Dial on demand: before a session connects out, whether the outside link must be brought up
// first, and bringing it up. Runs on the session's own thread.
//
// One session dials a profile while the others that need it wait on the profile's gate and then
// use the link; the profile map's lock is held only to copy the profiles out, never while a link
// is tested or dialled, so the console's requests, rights checks and the scheduler never wait for
// a dial.
#include <strings.h>

#include "engine/config/util.h"
#include "engine/core/machine.h"
#include "engine/core/service_settings.h"
#include "engine/core/session.h"
#include "engine/dialer/dialer.h"
#include "engine/net/socket_exception.h"
#include "engine/proxy/common/two_end_session.h"

namespace {

bool SameNoCase(const CString& a, const CString& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

bool ContainsNoCase(const CString& haystack, const CString& needle) {
  if (needle.size() > haystack.size()) return false;
  for (size_t i = 0; i + needle.size() <= haystack.size(); ++i)
    if (strncasecmp(haystack.c_str() + i, needle.c_str(), needle.size()) == 0) return true;
  return false;
}

// Whether the profile's right grants the session (a failure refuses).
bool Grants(const CDialerProfile& profile, CSession& session) {
  CSessionHost* host = GetSessionHost();
  if (!host) return false;
  AccessRequest request;
  request.userName = session.GetUserName();
  request.level = ClampSecurityLevel(session.GetSecurityLevel());
  request.authenticatedLevel = session.GetAuthenticatedLevel();
  uint32_t address = 0;
  if (TryParseIPAddress(session.GetClientAddress(), &address)) request.clientAddress = address;
  request.variables = &session;
  return profile.AccessRights.IsGranted(request, host->GetAccessContext(), AccessStage::Request);
}

// The session asked for an interface of its own (a dial-up one passes only its profile).
bool RequestedInterface(CSession& session, CInterface* iface) {
  *iface = session.GetOutgoingInterface();
  return session.GetInterfaceMethod() != INTERFACE_METHOD_ANY;
}

bool PassesInterface(CDialerProfile& profile, bool requested, const CInterface& iface) {
  if (!requested) return true;
  CLockGuard g(profile);
  return SameNoCase(profile.ProfileName, iface.m_name);
}

}  // namespace

std::shared_ptr<CDialerProfile> CDialer::FindAcceptableProfile(CSession* session) {
  if (!session) return nullptr;
  try {
    CInterface iface;
    const bool requested = RequestedInterface(*session, &iface);
    for (const auto& p : GetProfiles()) {
      if (!PassesInterface(*p, requested, iface)) continue;
      {
        CLockGuard g(*p);
        if (!p->AutoConnect) continue;
      }
      if (Grants(*p, *session)) return p;
    }
  } catch (...) {
    // Counted as no acceptable profile: the session is refused rather than let through.
  }
  return nullptr;
}

void CDialer::CheckDialFirst(CSession* session) {
  if (!session || !IsActive()) return;
  CInterface iface;
  const bool requested = RequestedInterface(*session, &iface);
  if (requested && iface.m_kind != INTERFACE_DIALUP) {
    Log(DIALER_LOG_DEBUG, "Interface requested (%s) is LAN card - no dialling required", iface.m_name.c_str());
    return;
  }
  CTLDataObject server;
  session->GetProperty(kPropServerName, server);
  CString destination = server.strData;
  if (auto* twoEnd = dynamic_cast<CTwoEndTCPSession*>(session)) {
    const CConnectSettings cs = twoEnd->GetConnectSettings();
    if (cs.ConnectMethod != CONNECT_DIRECT) destination = cs.ProxyServer;
  }
  std::vector<CString> sites;
  {
    CLockGuard g(*this);
    sites = LocalSites;
  }
  for (const auto& site : sites) {
    // An empty site would match every destination; host names match whatever their case.
    if (site.empty() || !ContainsNoCase(destination, site)) continue;
    Log(DIALER_LOG_DEBUG, "Local site %s not dialed - matched on %s", destination.c_str(), site.c_str());
    return;
  }

  bool refused = false;
  bool failed = false;
  try {
    const auto profiles = GetProfiles();
    bool anyEnabled = false;
    for (const auto& p : profiles) {
      CLockGuard g(*p);
      anyEnabled |= p->AutoConnect != 0;
    }
    if (!anyEnabled) {
      Log(DIALER_LOG_DEBUG, "No profiles enabled - not dialing");
      return;
    }
    const CString description = session->GetDescription();
    // A link that is up and may be used serves, whether or not its profile dials on demand.
    for (const auto& p : profiles) {
      if (!PassesInterface(*p, requested, iface)) continue;
      if (p->CheckConnection(*this) && Grants(*p, *session)) {
        Log(DIALER_LOG_DEBUG, "Profile %s on line and grants access for %s", p->ProfileNameText().c_str(),
            description.c_str());
        return;
      }
    }
    auto profile = FindAcceptableProfile(session);
    if (!profile) {
      Log(DIALER_LOG_DEBUG, "No acceptable dialer profiles - request denied for %s", description.c_str());
      refused = true;
    } else if (!profile->DialForSession(*this)) {
      Log(DIALER_LOG_DEBUG, "Profile %s failed connection", profile->ProfileNameText().c_str());
      failed = true;
    }
  } catch (...) {
    Log(DIALER_LOG_DEBUG, "Caught unknown exception in CDialer::CheckDialFirst - ignoring");
  }
  if (refused) throw X1SocketException(0, kDialerRefusedText);
  if (failed) throw X1SocketException(0, kDialerFailedText);
}

bool CDialer::AllowsLookups() {
  if (!IsActive()) return true;
  bool anyEnabled = false;
  for (const auto& p : GetProfiles()) {
    if (p->GetState() == PROFILE_CONNECTED && p->CheckConnection(*this)) return true;
    CLockGuard g(*p);
    anyEnabled |= p->AutoConnect != 0;
  }
  // A link made outside the engine counts as well.
  return !anyEnabled || !EnumConnections().empty();
}
