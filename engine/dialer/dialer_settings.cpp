#include "engine/dialer/dialer_settings.h"

#include <strings.h>

#include <algorithm>

#include "engine/config/reg_helpers.h"
#include "engine/config/util.h"

TL_IMPLEMENT_SERIAL_AS(CDialerProfileSettings, "CDialerProfile", CFilterComponent, 1)
TL_IMPLEMENT_SERIAL_AS(CDialerSettings, "CDialer", CLockableObject, 1)

namespace {

CString Sub(const CString& key, const char* name) { return key + "\\" + name; }

void WriteList(CArchive& ar, const std::vector<CString>& list) {
  ar.WriteCount(list.size());
  for (const auto& s : list) ar << s;
}

std::vector<CString> ReadList(CArchive& ar) {
  const size_t n = ar.ReadCount(1);
  if (n > CDialerSettings::kMaxListEntries) throw CArchiveException(CArchiveException::badLength, "list too long");
  std::vector<CString> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(ar.ReadString());
  return out;
}

}  // namespace

// ---- CDialerProfileSettings -----------------------------------------------------------------

CDialerProfileSettings::CDialerProfileSettings() : CFilterComponent(kNewProfileName, CString()) {
  AccessRights.RightType = kRightAccess;
  AccessRights.Description = kRightDescription;
  AccessRights.IncludeDefaultRights = kDefaultRightsIgnored;
}

CString CDialerProfileSettings::GetDescription() const {
  CLockGuard g(*this);
  return FormatString("Account %s at %s %s", Username.c_str(), ProfileName.c_str(), AutoConnect ? "" : "(disabled)");
}

CString CDialerProfileSettings::GetStatusText() const {
  CLockGuard g(*this);
  return m_statusText;
}

void CDialerProfileSettings::SetStatusText(const CString& text) {
  CLockGuard g(*this);
  m_statusText = text;
}

bool CDialerProfileSettings::SaveToRegistry(const CString& key) const {
  RegBatch batch;
  CLockGuard g(*this);
  bool ok = CFilterComponent::SaveToRegistry(key);
  ok &= RegWriteDWORD(key, "AutoConnect", AutoConnect);
  ok &= RegWriteDWORD(key, "AutoDisconnect", AutoDisconnect);
  ok &= RegWriteDWORD(key, "DisconnectAfter", DisconnectAfter);
  ok &= RegWriteString(key, "ProfileName", ProfileName);
  ok &= RegWriteString(key, "Username", Username);
  CString scrambled = Password;
  ScrambleString(scrambled);
  ok &= RegWriteString(key, "Password", scrambled);
  ok &= RegWriteString(key, "Domain", Domain);
  ok &= RegWriteDWORD(key, "Retries", static_cast<uint32_t>(Retries));
  ok &= AccessRights.Save(Sub(key, "AccessRights"));
  return ok;
}

bool CDialerProfileSettings::LoadFromRegistry(const CString& key) {
  CLockGuard g(*this);
  CFilterComponent::LoadFromRegistry(key);
  AutoConnect = RegReadDWORD(key, "AutoConnect", 1);
  AutoDisconnect = RegReadDWORD(key, "AutoDisconnect", 1);
  DisconnectAfter = RegReadDWORD(key, "DisconnectAfter", kDefaultDisconnectAfter);
  ProfileName = RegReadString(key, "ProfileName", "");
  Username = RegReadString(key, "Username", "");
  Password = RegReadString(key, "Password", "");
  ScrambleString(Password);
  Domain = RegReadString(key, "Domain", "");
  Retries = static_cast<int32_t>(RegReadDWORD(key, "Retries", kDefaultRetries));
  AccessRights.Load(Sub(key, "AccessRights"));
  AccessRights.RightType = kRightAccess;
  if (AccessRights.Description.empty()) AccessRights.Description = kRightDescription;
  return true;
}

void CDialerProfileSettings::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    CLockGuard g(*this);
    CFilterComponent::Serialize(ar);
    CString scrambled = Password;
    ScrambleString(scrambled);
    ar << AutoConnect << AutoDisconnect << DisconnectAfter << ProfileName << Username << scrambled << Domain << Retries
       << m_statusText;
    AccessRights.Serialize(ar);
    return;
  }
  // Read whole into a scratch profile first: a stream that breaks off changes nothing.
  CDialerProfileSettings in;
  in.CFilterComponent::Serialize(ar);
  if (!IsValidObjectName(in.Name))
    throw CArchiveException(CArchiveException::badLength, "profile name unfit for a key: \"" + in.Name + "\"");
  ar >> in.AutoConnect >> in.AutoDisconnect >> in.DisconnectAfter >> in.ProfileName >> in.Username >> in.Password >>
      in.Domain >> in.Retries >> in.m_statusText;
  ScrambleString(in.Password);
  in.AccessRights.Serialize(ar);
  CopySettingsFrom(in);
  CLockGuard g(*this);
  m_statusText = in.m_statusText;
}

void CDialerProfileSettings::CopySettingsFrom(const CDialerProfileSettings& other) {
  if (&other == this) return;
  CString name, description, profileName, username, password, domain;
  uint32_t autoConnect, autoDisconnect, disconnectAfter;
  int32_t retries;
  {
    CLockGuard g(other);
    name = other.Name;
    description = other.Description;
    autoConnect = other.AutoConnect;
    autoDisconnect = other.AutoDisconnect;
    disconnectAfter = other.DisconnectAfter;
    profileName = other.ProfileName;
    username = other.Username;
    password = other.Password;
    domain = other.Domain;
    retries = other.Retries;
  }
  CLockGuard g(*this);
  Name = name;
  Description = description;
  AutoConnect = autoConnect;
  AutoDisconnect = autoDisconnect;
  DisconnectAfter = disconnectAfter;
  ProfileName = profileName;
  Username = username;
  Password = password;
  Domain = domain;
  Retries = retries;
  AccessRights.CopyFrom(other.AccessRights);
  AccessRights.RightType = kRightAccess;
}

// ---- CDialerSettings ------------------------------------------------------------------------

CDialerSettings::CDialerSettings() { Profiles.SetElementClass(TL_RUNTIME_CLASS(CDialerProfileSettings)); }

CDialerSettings::~CDialerSettings() = default;

std::shared_ptr<CDialerProfileSettings> CDialerSettings::NewProfile() {
  // The program's own class for the stored name: the engine's running profile, the console's settings.
  auto obj = TL_RUNTIME_CLASS(CDialerProfileSettings)->CreateObject();
  auto profile = std::dynamic_pointer_cast<CDialerProfileSettings>(obj);
  return profile ? profile : std::make_shared<CDialerProfileSettings>();
}

std::vector<std::shared_ptr<CDialerProfileSettings>> CDialerSettings::GetProfileList() const {
  std::vector<std::shared_ptr<CDialerProfileSettings>> out;
  for (const auto& [name, obj] : Profiles.Snapshot())
    if (auto p = std::dynamic_pointer_cast<CDialerProfileSettings>(obj)) out.push_back(p);
  return out;
}

std::shared_ptr<CDialerProfileSettings> CDialerSettings::FindProfileSettings(const CString& name) const {
  return Profiles.LookupAs<CDialerProfileSettings>(name);
}

bool CDialerSettings::AddProfile(std::shared_ptr<CDialerProfileSettings> profile) {
  if (!profile) return false;
  CString name;
  {
    CLockGuard g(*profile);
    name = profile->Name;
  }
  if (!IsValidObjectName(name)) return false;
  Profiles.SetAt(name, std::move(profile));
  return true;
}

bool CDialerSettings::RemoveProfile(const CString& name) {
  auto profile = FindProfileSettings(name);
  if (!profile || !Profiles.RemoveKey(name)) return false;
  OnProfileDropped(profile);
  return true;
}

void CDialerSettings::ApplyProfiles(const std::vector<Incoming>& incoming) {
  std::vector<std::shared_ptr<CDialerProfileSettings>> dropped;
  {
    CLockGuard mapLock(Profiles);
    std::vector<CString> keep;
    for (const auto& in : incoming) {
      keep.push_back(in.name);
      auto live = Profiles.LookupAs<CDialerProfileSettings>(in.name);
      if (live) {
        // In place: whoever holds the profile (a dial, a session waiting for it) keeps it.
        live->CopySettingsFrom(*in.profile);
      } else {
        live = NewProfile();
        live->CopySettingsFrom(*in.profile);
        Profiles.SetAt(in.name, live);
      }
      CLockGuard g(*live);
      live->Name = in.name;
    }
    for (const auto& [name, obj] : Profiles.Snapshot()) {
      if (std::find(keep.begin(), keep.end(), name) != keep.end()) continue;
      if (auto p = std::dynamic_pointer_cast<CDialerProfileSettings>(obj)) dropped.push_back(p);
      Profiles.RemoveKey(name);
    }
  }
  for (const auto& p : dropped) OnProfileDropped(p);
}

bool CDialerSettings::Save(const CString& key) {
  RegBatch batch;
  bool ok = true;
  const CString profilesKey = Sub(key, "Profiles");
  const auto profiles = Profiles.Snapshot();
  for (const auto& name : RegEnumSubKeys(profilesKey)) {
    bool kept = false;
    for (const auto& [n, obj] : profiles) kept |= strcasecmp(n.c_str(), name.c_str()) == 0;
    if (!kept) ok &= RegDeleteKeyTree(profilesKey + "\\" + name);
  }
  for (const auto& [name, obj] : profiles) {
    auto p = std::dynamic_pointer_cast<CDialerProfileSettings>(obj);
    if (!p || !IsValidObjectName(name)) continue;
    ok &= p->SaveToRegistry(profilesKey + "\\" + name);
  }
  CLockGuard g(*this);
  const CString sitesKey = Sub(key, "LocalSites");
  ok &= RegDeleteKeyTree(sitesKey);
  for (const auto& site : LocalSites)
    if (!site.empty()) ok &= RegWriteDWORD(sitesKey, site, 0);
  ok &= RegWriteDWORD(key, "LoggingEnabled", LoggingEnabled);
  ok &= RegWriteDWORD(key, "LogOptions", LogOptions);
  ok &= RegWriteDWORD(key, "TimerInterval", TimerInterval);
  ok &= RegWriteDWORD(key, "RasdialTimeout", RasdialTimeout);
  ok &= RegWriteDWORD(key, "TimeBetweenRetries", TimeBetweenRetries);
  ok &= RegWriteDWORD(key, "UseSynchronousRasdial", UseSynchronousRasdial);
  return ok;
}

void CDialerSettings::Load(const CString& key) {
  const CString profilesKey = Sub(key, "Profiles");
  std::vector<Incoming> incoming;
  for (const auto& name : RegEnumSubKeys(profilesKey)) {
    // A key name unfit for a profile (it could never be saved back under its own name) is passed over.
    if (!IsValidObjectName(name)) continue;
    auto p = std::make_shared<CDialerProfileSettings>();
    p->LoadFromRegistry(profilesKey + "\\" + name);
    incoming.push_back({name, p});
  }
  std::vector<CString> sites;
  for (const auto& site : RegEnumValueNames(Sub(key, "LocalSites")))
    if (!site.empty()) sites.push_back(site);
  ApplyProfiles(incoming);
  CLockGuard g(*this);
  LocalSites = std::move(sites);
  LoggingEnabled = RegReadDWORD(key, "LoggingEnabled", 1);
  LogOptions = RegReadDWORD(key, "LogOptions", 1);
  TimerInterval = SaneTimerInterval(RegReadDWORD(key, "TimerInterval", kDefaultTimerInterval));
  RasdialTimeout = RegReadDWORD(key, "RasdialTimeout", kLoadedRasdialTimeout);
  TimeBetweenRetries = RegReadDWORD(key, "TimeBetweenRetries", kDefaultTimeBetweenRetries);
  UseSynchronousRasdial = RegReadDWORD(key, "UseSynchronousRasdial", 0);
}

void CDialerSettings::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    CLockGuard mapLock(Profiles);
    const auto profiles = Profiles.Snapshot();
    ar << static_cast<uint32_t>(profiles.size());
    for (const auto& [name, obj] : profiles) {
      ar << name;
      obj->Serialize(ar);
    }
    CLockGuard g(*this);
    WriteList(ar, PhonebookEntries);
    WriteList(ar, LocalSites);
    ar << LoggingEnabled << LogOptions << TimerInterval << UseSynchronousRasdial << RasdialTimeout
       << TimeBetweenRetries;
    return;
  }
  // Everything is read before anything is applied.
  uint32_t count = 0;
  ar >> count;
  // A profile's form takes far more than 16 bytes; a count the frame cannot hold is refused here.
  ar.CheckAvailable(count, 16);
  std::vector<Incoming> incoming;
  for (uint32_t i = 0; i < count; ++i) {
    CArchive::NestingGuard nest(ar);
    CString name = ar.ReadString();
    if (!IsValidObjectName(name))
      throw CArchiveException(CArchiveException::badLength, "profile name unfit for a key: \"" + name + "\"");
    auto p = std::make_shared<CDialerProfileSettings>();
    p->Serialize(ar);
    incoming.push_back({name, p});
  }
  std::vector<CString> phonebook = ReadList(ar);
  std::vector<CString> sites = ReadList(ar);
  uint32_t logging, options, interval, sync, timeout, between;
  ar >> logging >> options >> interval >> sync >> timeout >> between;
  std::erase_if(sites, [](const CString& s) { return s.empty(); });
  ApplyProfiles(incoming);
  CLockGuard g(*this);
  PhonebookEntries = std::move(phonebook);
  LocalSites = std::move(sites);
  LoggingEnabled = logging;
  LogOptions = options;
  TimerInterval = SaneTimerInterval(interval);
  UseSynchronousRasdial = sync;
  RasdialTimeout = timeout;
  TimeBetweenRetries = between;
}
