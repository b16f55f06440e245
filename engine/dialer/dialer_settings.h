#pragma once
// The dialer's settings, as the console holds, edits and sends them and the registry keeps them:
// the dial-up profiles (one phonebook entry each, with credentials, retries, on-demand and idle
// rules and an access right) and the dialer's own values. The engine's running dialer and
// profiles (dialer.h, dialer_profile.h) derive from these and are made under the same stored
// names ("CDialer", "CDialerProfile").
//
// Registry, below the key the engine gives ("Dialer"):
//   Profiles\<name>   "Name", "Description" strings; "AutoConnect", "AutoDisconnect",
//                     "DisconnectAfter" DWORDs; "ProfileName", "Username" strings; "Password"
//                     string, scrambled; "Domain" string; "Retries" DWORD; subkey "AccessRights"
//                     (the right's form, right.h). Missing: 1, 1, 180, "", "", "", "", 3.
//   LocalSites        one DWORD 0 per site, the value's name being the site.
//   values            "LoggingEnabled" (1), "LogOptions" (1), "TimerInterval" (2),
//                     "RasdialTimeout" (120000; 180000 in a new object), "TimeBetweenRetries"
//                     (1000), "UseSynchronousRasdial" (0).
// Archive forms (docs/wire-format.md):
//   CDialerProfile    Name, Description (strings); AutoConnect, AutoDisconnect, DisconnectAfter
//                     (u32); ProfileName, Username, Password (scrambled), Domain (strings);
//                     Retries (i32); status text (string); AccessRights (CRight form).
//   CDialer           u32 profile count, then per profile its name (string) and its form;
//                     the phonebook entries and LocalSites, each a count (collection count form)
//                     and the strings; LoggingEnabled, LogOptions, TimerInterval,
//                     UseSynchronousRasdial, RasdialTimeout, TimeBetweenRetries (u32 each).
//
// A received or loaded dialer is read whole before anything changes; profile names must be fit
// for a registry key (IsValidObjectName), empty local sites are dropped (an empty site would match
// every destination), and a TimerInterval of 0 becomes 2 wherever it arrives.
//
// Lock order: the profile map, then the dialer object's own lock (lists and values), then one
// profile's lock.
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/access/filter_component.h"
#include "engine/access/right.h"
#include "engine/config/lockable.h"

class CDialerProfileSettings : public CFilterComponent {
  TL_DECLARE_SERIAL(CDialerProfileSettings)

 public:
  static constexpr const char* kNewProfileName = "New Dialer Profile";
  static constexpr const char* kRightDescription = "Users can use this dialer account";
  static constexpr uint32_t kDefaultDisconnectAfter = 180;
  static constexpr int32_t kDefaultRetries = 3;

  CDialerProfileSettings();
  CDialerProfileSettings(const CDialerProfileSettings&) = delete;
  CDialerProfileSettings& operator=(const CDialerProfileSettings&) = delete;

  // "Account <Username> at <ProfileName> " and "(disabled)" when AutoConnect is 0.
  CString GetDescription() const override;
  bool SaveToRegistry(const CString& key) const override;
  bool LoadFromRegistry(const CString& key) override;
  void Serialize(CArchive& ar) override;

  // Takes every setting of other (not the live state, not the status text).
  void CopySettingsFrom(const CDialerProfileSettings& other);
  CString GetStatusText() const;
  // The console keeps the last status line the engine announced for the profile.
  void SetStatusText(const CString& text);

  CRight AccessRights;
  uint32_t AutoConnect = 1;
  uint32_t AutoDisconnect = 1;
  uint32_t DisconnectAfter = kDefaultDisconnectAfter;
  CString ProfileName;
  CString Username;
  CString Password;  // plain in memory
  CString Domain;
  int32_t Retries = kDefaultRetries;

 protected:
  CString m_statusText;  // the last status line; guarded by the object's lock
};

class CDialerSettings : public CLockableObject {
  TL_DECLARE_SERIAL(CDialerSettings)

 public:
  static constexpr uint32_t kDefaultTimerInterval = 2;
  static constexpr uint32_t kNewRasdialTimeout = 180000;
  static constexpr uint32_t kLoadedRasdialTimeout = 120000;
  static constexpr uint32_t kDefaultTimeBetweenRetries = 1000;
  // A received list longer than this is refused (a phonebook or a site list of a real network is
  // far shorter; the bound keeps a hostile frame from filling memory).
  static constexpr size_t kMaxListEntries = 4096;

  CDialerSettings();
  ~CDialerSettings() override;
  CDialerSettings(const CDialerSettings&) = delete;
  CDialerSettings& operator=(const CDialerSettings&) = delete;

  // False when a write failed.
  virtual bool Save(const CString& key);
  virtual void Load(const CString& key);
  void Serialize(CArchive& ar) override;

  // 0 is taken as 2: the idle pass divides by it.
  static uint32_t SaneTimerInterval(uint32_t value) { return value == 0 ? kDefaultTimerInterval : value; }

  // The profiles by name, in name order.
  std::vector<std::shared_ptr<CDialerProfileSettings>> GetProfileList() const;
  std::shared_ptr<CDialerProfileSettings> FindProfileSettings(const CString& name) const;
  // Enters a profile under its Name (refused for a name unfit for a key).
  bool AddProfile(std::shared_ptr<CDialerProfileSettings> profile);
  bool RemoveProfile(const CString& name);

  CLockableMap Profiles;  // name -> CDialerProfileSettings
  std::vector<CString> LocalSites;
  std::vector<CString> PhonebookEntries;
  uint32_t LoggingEnabled = 1;
  uint32_t LogOptions = 1;
  uint32_t TimerInterval = kDefaultTimerInterval;
  uint32_t RasdialTimeout = kNewRasdialTimeout;
  uint32_t TimeBetweenRetries = kDefaultTimeBetweenRetries;
  uint32_t UseSynchronousRasdial = 0;

 protected:
  // A new profile object of the program's own class for the stored name.
  virtual std::shared_ptr<CDialerProfileSettings> NewProfile();
  // A profile no longer named by what was loaded or received has left the map (no lock held);
  // the engine hangs it up.
  virtual void OnProfileDropped(const std::shared_ptr<CDialerProfileSettings>& profile) {}

 private:
  struct Incoming {
    CString name;
    std::shared_ptr<CDialerProfileSettings> profile;
  };
  // Makes the map hold exactly these profiles: a name already there is updated in place, a new
  // one made, a missing one dropped.
  void ApplyProfiles(const std::vector<Incoming>& incoming);
};
