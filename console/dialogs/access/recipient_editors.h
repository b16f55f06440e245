#pragma once
// The recipient sheet without a toolkit: which pages a right's recipient shows (by the kind of
// service that owns the right and the right's type), the Recipient, Location and Time pages with
// their rules, questions and writes, and the Time Slice dialog's values.
//
// The sheet edits its own copy of the recipient: the caller's object is never touched, every page
// validates (in the sheet's OK order) before any page writes, and the pages write into a clone of
// that copy, which is the sheet's result. So a refusal or Cancel leaves nothing half written, and
// a second OK after a refusal starts from the same copy.
//
// Threads: the user-interface thread, which owns the mirrors.
#include <memory>
#include <vector>

#include "console/dialogs/common/editor.h"
#include "console/dialogs/common/location_lists.h"
#include "console/dialogs/common/principals.h"
#include "engine/access/right.h"

class CLookoutClient;
class BanListPage;
class RecipientAdvancedPage;
class CriterionDialogs;
struct CriterionContext;

// The sheet's page templates.
enum : int {
  RECIPIENT_PAGE_USER = 156,
  RECIPIENT_PAGE_LOCATION = 157,
  RECIPIENT_PAGE_TIME = 158,
  RECIPIENT_PAGE_BAN = 210,
  RECIPIENT_PAGE_ADVANCED = 161,
};

// The pages a recipient of a right of that type, owned by a service of that kind, shows, in add
// order (which is also the OK order). The DHCP service's access right has no user or location
// (its clients are not known yet); only an access right has request filters, and a ban list only
// where the service has requests to ban.
std::vector<int> RecipientPageSet(uint32_t serviceKind, int32_t rightType);

inline constexpr const char* kTitlePossibleProblem = "Possible setting problem";
inline constexpr const char* kTextNoLocations =
    "You have not specified any locations for this recipient\nbut you have indicated that locations are "
    "significant.\nThis renders this recipient unusable.\n\nDo you wish to continue?";
inline constexpr const char* kTextLocalhost =
    "Localhost (127.0.0.1) has not been included or has\nbeen excluded from this recipient.  This will ban "
    "this\nrecipient from using Trellis services that are bound\nto the localhost address\n\nDo you wish to "
    "continue?";
inline constexpr const char* kTextNoTimes =
    "You have not specified any time slices for this recipient\nbut you have indicated that time is "
    "significant.\nThis renders this recipient unusable.\n\nDo you wish to continue?";
inline constexpr const char* kNewRecipientTitle = "Properties for new recipient";
// "Properties for recipient %s"
CString RecipientTitle(const CString& userName);

// What the Recipient page lists: every user and group of the console's mirror.
struct RecipientSheetContext {
  using Principal = ::Principal;
  std::vector<Principal> principals;
  // The dialer's profile names, offered by the Criterion dialog for "Dialer is on line".
  std::vector<CString> profiles;
};
RecipientSheetContext RecipientContextOf(const CLookoutClient& client);

// Base of the sheet's pages. `modified` is set by every change the operator makes on the page; a
// page that tests it writes nothing while it is clear, so an untouched page keeps the recipient's
// values exactly.
class RecipientPage : public PageLogic<CRecipient> {
 public:
  bool existing = false;
  bool modified = false;
};

class RecipientUserPage : public RecipientPage {
 public:
  enum : int {
    EVERYONE = 1105,
    SPECIFY = 1106,
    UNKNOWN = 1107,
    ASSUMED = 1108,
    AUTHENTICATED = 1109,
    NAME = 1000,
    LIST = 1099
  };
  void Load(const CRecipient& r) override;
  // An existing recipient keeps who it is: both radios and the list are off. Otherwise the list
  // follows "Specify user or group".
  ControlStates States() const override;
  bool Validate(Prompter& prompter) override;
  // The level always; who the recipient is only when the page was changed.
  void Apply(CRecipient& r) const override;
  // The operator's changes.
  void SetSpecify(bool value);
  void Select(const RecipientSheetContext& ctx, size_t row);
  void SetName(const CString& value);

  bool specify = false;
  int32_t level = kLevelGuest;
  CString name;
};

class RecipientLocationPage : public RecipientPage, public LocationLists {
 public:
  void Load(const CRecipient& r) override;
  ControlStates States() const override { return ListStates(); }
  // Untouched: accepted as it is. Otherwise every pattern must compile; with "Specify locations"
  // an empty included list and a list that leaves out 127.0.0.1 are asked about.
  bool Validate(Prompter& prompter) override;
  void Apply(CRecipient& r) const override;

 protected:
  void Touched() override { modified = true; }
};

class RecipientTimePage : public RecipientPage {
 public:
  enum : int {
    ALWAYS = 1120,
    SPECIFY = 1121,
    INCLUDED = 1112,
    INCLUDED_ADD = 1114,
    INCLUDED_REMOVE = 1115,
    EXCLUDED = 1116,
    EXCLUDED_ADD = 1118,
    EXCLUDED_REMOVE = 1119
  };
  void Load(const CRecipient& r) override;
  ControlStates States() const override;
  bool Validate(Prompter& prompter) override;
  // The page's own copy of the time filter replaces the recipient's (when changed).
  void Apply(CRecipient& r) const override;
  void SetSpecify(bool value);

  // Rows: the slices' descriptions in list order.
  std::vector<CString> Rows(bool excluded) const;
  std::shared_ptr<CTimeSlice> Slice(bool excluded, size_t row) const;
  // A slice the Time Slice dialog made joins the end of its list.
  void Add(bool excluded, std::shared_ptr<CTimeSlice> slice);
  // A slice the dialog edited (its own copy) takes the row's place.
  void Replace(bool excluded, size_t row, std::shared_ptr<CTimeSlice> slice);
  // At once, without a question; a row out of range does nothing.
  void Remove(bool excluded, size_t row);

  bool specify = false;

 private:
  CTimeFilter m_filter;  // the page's copy; the recipient's is replaced at OK
};

// The Time Slice dialog (159): one slice, edited on the dialog's own values.
class TimeSliceEditor {
 public:
  enum : int {
    REGULAR = 1122,
    SINGLE = 1161,
    SUNDAY = 1160,
    MONDAY = 1154,
    TUESDAY = 1155,
    WEDNESDAY = 1156,
    THURSDAY = 1157,
    FRIDAY = 1158,
    SATURDAY = 1159,
    ALL_DAY = 1110,
    BETWEEN = 1162,
    FROM = 1150,
    TO = 1151,
    STARTING = 1152,
    FINISHING = 1153
  };
  // The day controls in weekday-bit order (bit 0 Sunday .. bit 6 Saturday).
  static constexpr int kDays[7] = {SUNDAY, MONDAY, TUESDAY, WEDNESDAY, THURSDAY, FRIDAY, SATURDAY};

  // A slice to edit (copied), or null for a new one (every day, all day, from now for an hour).
  explicit TimeSliceEditor(const CTimeSlice* slice);
  ControlStates States() const;
  // A slice that could never contain an instant is refused (a time range past midnight, an end
  // before the start); a recurring one without any day is asked about.
  bool Validate(Prompter& prompter) const;
  // The edited slice, a new object (the caller's slice is never touched).
  std::shared_ptr<CTimeSlice> Result() const;

  bool single = false;
  uint32_t days = CTimeSlice::kAllDays;
  bool between = false;
  // Recurring: only the time of day counts; the date part of a loaded slice is kept.
  CDateTime fromTime, toTime;
  // Single occurrence.
  CDateTime starting, finishing;

 private:
  std::shared_ptr<CTimeSlice> m_base;
};

inline constexpr const char* kTitleInvalidTimeSlice = "Time Slice";
inline constexpr const char* kTextOvernight =
    "The start time is after the end time.\nA time slice cannot run past midnight: make two slices, one "
    "ending at 23:59:59\nand one starting at 00:00:00.";
inline constexpr const char* kTextEndBeforeStart = "The finishing time is before the starting time.";
inline constexpr const char* kTextInvalidDateTime = "Please enter a valid date and time.";
inline constexpr const char* kTextNoDays =
    "You have not chosen any day for this time slice.\nIt will never apply.\n\nDo you wish to continue?";

// A time of day (seconds from midnight) on the day of base: the date part a recurring slice keeps.
CDateTime WithTimeOfDay(const CDateTime& base, int32_t secondOfDay);

class RecipientSheet {
 public:
  // existing: the recipient to edit (copied; never touched), or null for a new one.
  RecipientSheet(const CRecipient* existing, uint32_t serviceKind, int32_t rightType, RecipientSheetContext ctx = {});

  bool Existing() const { return m_existing; }
  uint32_t ServiceKind() const { return m_kind; }
  int32_t RightType() const { return m_type; }
  const RecipientSheetContext& Context() const { return m_ctx; }
  // "Properties for recipient %s" or "Properties for new recipient".
  CString Title() const;
  // Every page this recipient shows, in add and OK order.
  const std::vector<int>& Pages() const { return m_pages; }
  // The logic of a shown page, or null (the Ban list and Advanced pages until AddFilterPages).
  RecipientPage* Page(int id);
  // The copy the pages were loaded from.
  const CRecipient& Copy() const { return *m_copy; }

  // OK: the shown pages validate in order, then write into a clone of the sheet's copy, which is
  // returned. Null when a page refused (*refusedPage: its template).
  std::shared_ptr<CRecipient> Ok(Prompter& prompter, int* refusedPage = nullptr);

  RecipientUserPage user;
  RecipientLocationPage location;
  RecipientTimePage time;
  // The Ban list and Advanced pages (filter_editors.h), made and loaded by AddFilterPages where
  // the page set shows them; they open the Criterion dialog through `dialogs`.
  void AddFilterPages(CriterionDialogs& dialogs, const CriterionContext& ctx);
  std::shared_ptr<BanListPage> ban;
  std::shared_ptr<RecipientAdvancedPage> advanced;

 private:
  std::shared_ptr<CRecipient> m_copy;
  bool m_existing;
  uint32_t m_kind;
  int32_t m_type;
  RecipientSheetContext m_ctx;
  std::vector<int> m_pages;
};

// A right's recipient at row replaced by another, in place (nothing for a row out of range).
void ReplaceRecipient(CRight& right, size_t row, std::shared_ptr<CRecipient> recipient);
