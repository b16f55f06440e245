#pragma once
// The dialer's editors without a toolkit: the "Trellis Dialer Properties" sheet (Phonebook, Local
// sites, Settings) over the console's dialer mirror, and the "Edit Profile" sheet (General,
// Access) over one dial-up profile.
//
// The dialer sheet never changes the mirror while the operator works: the Phonebook page keeps the
// profiles it added, edited or removed as its own copies, the other pages keep their values, and
// OK or Apply lays all of it over a clone of the mirror's dialer as it is at that moment (another
// console's change that arrived meanwhile is the base), commits the clone into the mirror and, on
// line, sends it (62). Cancel leaves the mirror as it was. Status lines (notification 63) reach the
// sheet as a profile name and a text, and find their row by that name; a row that is gone makes
// the update a no-op.
//
// Threads: the user-interface thread, which owns the mirrors.
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "console/dialogs/access/recipient_dialogs.h"
#include "console/dialogs/common/editor.h"
#include "engine/access/user_db.h"
#include "engine/dialer/dialer_settings.h"

class CLookoutClient;

// Control ids of the dialer's windows (their own numbering; widget names "c" + id).
enum : int {
  // Phonebook page.
  DIALER_PHONEBOOK_LIST = 3001,
  DIALER_PHONEBOOK_ADD = 3002,
  DIALER_PHONEBOOK_REMOVE = 3003,
  DIALER_PHONEBOOK_DIAL = 3004,
  DIALER_PHONEBOOK_RESET = 3005,
  // Local sites page.
  DIALER_SITES_LIST = 3011,
  DIALER_SITES_EDIT = 3012,
  DIALER_SITES_ADD = 3013,
  DIALER_SITES_REMOVE = 3014,
  // Settings page.
  DIALER_SETTINGS_NO_LOGGING = 3021,
  DIALER_SETTINGS_LOGGING = 3022,
  DIALER_SETTINGS_LOG_DIAL = 3023,
  DIALER_SETTINGS_LOG_DEBUG = 3024,
  DIALER_SETTINGS_TIMER = 3025,
  DIALER_SETTINGS_SYNC = 3026,
  DIALER_SETTINGS_RASDIAL_TIMEOUT = 3027,
  DIALER_SETTINGS_RETRY_WAIT = 3028,
  // Edit Profile: General page.
  PROFILE_GENERAL_NAME = 3101,
  PROFILE_GENERAL_ENTRY = 3102,
  PROFILE_GENERAL_USERNAME = 3103,
  PROFILE_GENERAL_PASSWORD = 3104,
  PROFILE_GENERAL_DOMAIN = 3105,
  PROFILE_GENERAL_AUTO_CONNECT = 3106,
  PROFILE_GENERAL_AUTO_DISCONNECT = 3107,
  PROFILE_GENERAL_DISCONNECT_AFTER = 3108,
  PROFILE_GENERAL_RETRIES = 3109,
  // Edit Profile: Access page.
  PROFILE_ACCESS_RIGHT = 3121,
  PROFILE_ACCESS_LIST = 3122,
  PROFILE_ACCESS_ADD = 3123,
  PROFILE_ACCESS_REMOVE = 3124,
};

inline constexpr const char* kTitleDialerSheet = "Trellis Dialer Properties";
inline constexpr const char* kTitleDuplicateProfile = "Duplicate Profile Name";
inline constexpr const char* kTextChooseAnotherProfileName = "You must choose another name for this profile";
inline constexpr const char* kTextLocalSites =
    "The following sites (or sites containing the following) will not initiate dialing.";
inline constexpr const char* kTextDialerGone = "The dialer settings are no longer available from the engine.";

// The field ranges of the Settings page and of a profile.
inline constexpr uint64_t kTimerIntervalMin = 1, kTimerIntervalMax = 60;
inline constexpr uint64_t kRetryWaitMin = 1, kRetryWaitMax = 1000000;
// A profile dials Retries times; 0 would make Dial do nothing at all.
inline constexpr uint64_t kRetriesMin = 1, kRetriesMax = INT32_MAX;

// ---- Edit Profile ------------------------------------------------------------------------------

struct ProfileSheetContext {
  bool existing = false;
  // The names the dialer (as the Phonebook page shows it) already holds.
  std::vector<CString> takenNames;
  // The engine's phonebook entries, for the entry combo.
  std::vector<CString> phonebook;
  // The console's user database (recipient pictures); may be null. Shared: a reply that replaces
  // the mirror's database while the sheet is open leaves this one alive.
  std::shared_ptr<const CGroupMemberDatabase> users;
};

class ProfileGeneralPage : public PageLogic<CDialerProfileSettings> {
 public:
  explicit ProfileGeneralPage(const ProfileSheetContext& ctx) : m_ctx(ctx) {}
  void Load(const CDialerProfileSettings& p) override;
  ControlStates States() const override;
  // A new profile's name: fit for a key and not held by another profile (in any letter case:
  // profiles are registry keys, whose names ignore case).
  bool Validate(Prompter& prompter) override;
  void Apply(CDialerProfileSettings& p) const override;
  // Field texts -> values (the Qt page's store step); false with *error on a bad field.
  bool ReadNumbers(const CString& disconnectAfterText, const CString& retriesText, FieldError* error);

  CString name, entry, username, password, domain;
  bool autoConnect = true, autoDisconnect = true;
  uint32_t disconnectAfter = 0;
  int32_t retries = 0;

 private:
  const ProfileSheetContext& m_ctx;
};

class ProfileAccessPage : public PageLogic<CDialerProfileSettings> {
 public:
  explicit ProfileAccessPage(const ProfileSheetContext& ctx) : m_ctx(ctx) {}
  void Load(const CDialerProfileSettings& p) override;
  ControlStates States() const override;
  void Apply(CDialerProfileSettings& p) const override;

  struct Row {
    CString recipient, rights;
    int image = 0;  // 1 when the console knows the name as a user or group, else 4
  };
  // The right combo's one entry.
  CString RightName() const { return m_copy.Description; }
  std::vector<Row> Rows() const;
  // Add and edit go through the recipient sheet; false when the operator cancelled (or no row).
  bool Add(RecipientDialogs& dialogs);
  bool Edit(size_t row, RecipientDialogs& dialogs);
  void Remove(size_t row);

  std::optional<size_t> selected;

 private:
  const ProfileSheetContext& m_ctx;
  CRight m_copy;
};

class EditProfileSheet {
 public:
  // An existing profile: the sheet edits a copy of it. Null: a new profile with the dialer's
  // defaults and one default recipient.
  EditProfileSheet(const CDialerProfileSettings* existing, ProfileSheetContext ctx);
  // The pages hold the context by reference.
  EditProfileSheet(const EditProfileSheet&) = delete;
  EditProfileSheet& operator=(const EditProfileSheet&) = delete;

  bool Existing() const { return m_ctx.existing; }
  const ProfileSheetContext& Context() const { return m_ctx; }
  // "Properties for dialer entry %s" or "Properties for new dialer entry".
  CString Title() const;
  // OK: General, then Access, validate; then both write into a copy, which is returned. Null when
  // refused (*refused: the page index); the profile given at construction is never touched.
  std::shared_ptr<CDialerProfileSettings> Ok(Prompter& prompter, int* refused = nullptr);

  ProfileGeneralPage general{m_ctx};
  ProfileAccessPage access{m_ctx};

 private:
  ProfileSheetContext m_ctx;
  std::shared_ptr<CDialerProfileSettings> m_profile;
};

// A new profile as the Add button makes it: the dialer's defaults and one default recipient.
std::shared_ptr<CDialerProfileSettings> NewDialerProfile();

// ---- The dialer sheet ----------------------------------------------------------------------------

class PhonebookPage : public PageLogic<CDialerSettings> {
 public:
  // Takes the dialer's profiles as the rows' base; the page's own changes are kept.
  void Load(const CDialerSettings& d) override;
  ControlStates States() const override;
  // The base with the page's changes over it: removed profiles leave, added and edited ones
  // replace the dialer's entry of their name.
  void Apply(CDialerSettings& d) const override;

  struct Row {
    CString name, description, status;
  };
  // In name order.
  std::vector<Row> Rows() const;
  std::vector<CString> Names() const;
  // A copy of the row's profile for the Edit Profile sheet, or null.
  std::shared_ptr<CDialerProfileSettings> ProfileAt(size_t row) const;
  // The result of Edit Profile (new or edited) takes the row of its name.
  void Put(std::shared_ptr<CDialerProfileSettings> profile);
  // No question; a row out of range does nothing.
  void Remove(size_t row);
  // Notification 63: the status cell of the row of that name. False (nothing changes) when no
  // row has the name.
  bool SetStatus(const CString& name, const CString& text);
  // The page's changes were committed: the next Load starts from the dialer alone.
  void Committed() { m_changes.clear(); }
  bool Changed() const { return !m_changes.empty(); }

  std::optional<size_t> selected;
  bool online = false;

 private:
  std::map<CString, std::shared_ptr<CDialerProfileSettings>> m_base;
  // Name -> the page's version, null for a removed profile.
  std::map<CString, std::shared_ptr<CDialerProfileSettings>> m_changes;
  std::map<CString, CString> m_status;
};

class LocalSitesPage : public PageLogic<CDialerSettings> {
 public:
  // The list is refilled from the dialer unless the operator changed it here.
  void Load(const CDialerSettings& d) override;
  ControlStates States() const override;
  void Apply(CDialerSettings& d) const override;
  // The edit's text (blanks cut) joins the end; an empty text does nothing.
  bool Add();
  // The row leaves the list and its text goes into the edit.
  void Remove(size_t row);
  void Committed() { m_modified = false; }

  std::vector<CString> sites;
  CString edit;
  std::optional<size_t> selected;

 private:
  bool m_modified = false;
};

class DialerSettingsPage : public PageLogic<CDialerSettings> {
 public:
  void Load(const CDialerSettings& d) override;
  // The two log checks follow "Log these events".
  ControlStates States() const override;
  // The ranges again, for values that did not come through the fields.
  bool Validate(Prompter& prompter) override;
  void Apply(CDialerSettings& d) const override;
  // Field texts -> values; false with *error naming the first bad field and its text.
  bool ReadNumbers(const CString& timerText, const CString& rasdialTimeoutText, const CString& retryWaitText,
                   FieldError* error);

  bool loggingEnabled = true;
  bool logDialing = false, logDebug = false;
  uint32_t timerInterval = 0, rasdialTimeout = 0, timeBetweenRetries = 0;
  bool synchronous = false;
};

class DialerSheet {
 public:
  explicit DialerSheet(CLookoutClient& client);

  // Whether the console holds the engine's dialer (the sheet has something to edit).
  bool Available() const;
  const CLookoutClient& Client() const { return m_client; }

  // OK and Apply: every page validates (Phonebook, Local sites, Settings), the pages write into a
  // clone of the mirror's dialer, the clone replaces the mirror's and, on line, goes to the engine
  // (62). Returns the index of the refusing page, -1 when the mirror has no dialer, 3 when done.
  int Commit(Prompter& prompter);
  // Dial ("1") and Reset ("0") of the selected profile: request 63, on line only. The request's
  // id, 0 when nothing was sent.
  uint64_t Dial();
  uint64_t Reset();

  // Notification 62: the lists follow the mirror's new dialer (the pages' own changes stay).
  void DialerChanged();
  // Notification 63, by value.
  bool ProfileStatus(const CString& name, const CString& text) { return phonebook.SetStatus(name, text); }

  // The Edit Profile sheets the Phonebook page opens.
  std::unique_ptr<EditProfileSheet> NewProfileSheet() const;
  // Null when the row is out of range.
  std::unique_ptr<EditProfileSheet> EditSheet(size_t row) const;

  PhonebookPage phonebook;
  LocalSitesPage localSites;
  DialerSettingsPage settings;

 private:
  ProfileSheetContext Context(bool existing) const;
  uint64_t Command(const char* what);
  CLookoutClient& m_client;
};
