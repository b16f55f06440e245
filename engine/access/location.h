#pragma once
// Client address patterns, locations (a pattern tied to a user name) and the location table that
// gives a newly seen client machine its assumed user.
//
// Pattern grammar: one to four parts separated by ".", each of one to three characters from
// "0123456789*?". A part without "*" is padded on the left with "0" to three characters; "*" alone
// and "**" stand for any octet; a two-character part "*d" means any number ending in d ("??d") and
// "d*" means d followed by two digits ("d??"); in a three-character part each "*" or "?" stands
// for one digit. "?" anywhere stands for one digit. The compiled mask holds three characters per
// part, "?" for any digit, and is compared with the client's address padded to twelve digits; a
// mask of fewer parts matches every address that begins with those octets.
//
// A pattern outside that grammar, or with a part that no octet can fit (the part read with every
// wildcard as 0 is above 255), is invalid. An invalid pattern is never shortened into one that
// matches more: it compiles to an empty mask and matches no address. Where a pattern excludes
// clients, an invalid one excludes every client instead (MatchesForExclusion), so a broken rule
// always fails closed.
//
// Archive forms: CIPFilter = InternalFilter, Filter (strings); CLocation = its filter's form, then
// Username; CLocationArray = the object array's form (elements CLocation, null for holes).
// Registry: CIPFilter writes "InternalFilter" then "Filter" under its key; CLocation adds
// "Username"; the table saves each location under "<key>\\Location<position>". The mask read
// back from the registry or a stream is never trusted: it is rebuilt from Filter.
//
// Lock order: the location table, then one location. The assumed-user lookup takes the
// machine-name map, the table and the user database one after the other, never two at once.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "engine/config/archive.h"
#include "engine/config/lockable.h"

class CGroupMemberDatabase;

// Where the engine keeps its location table and its machine-name-to-user map.
inline constexpr const char* kLocationsKey = "Locations";
inline constexpr const char* kMachineAssumptionsKey = "DHCP\\Assumptions";

// Positions a loaded table may use; a stored position beyond this is refused rather than grown to.
inline constexpr uint32_t kMaxLocations = 4096;

class CIPFilter : public CObject {
  TL_DECLARE_SERIAL(CIPFilter)

 public:
  CIPFilter() = default;
  // Sets and compiles the pattern (an invalid one matches nothing).
  explicit CIPFilter(std::string_view pattern);

  // Builds the mask of a pattern; false (mask emptied) when the pattern is invalid.
  static bool CompilePattern(std::string_view pattern, CString* mask);
  static bool IsValidPattern(std::string_view pattern);

  // Builds InternalFilter from Filter; false when Filter is invalid, which leaves the mask empty.
  bool Compile();
  // Replaces the pattern only when it is valid (the editors' path); false leaves both unchanged.
  bool SetFilter(std::string_view pattern);
  // True when the held mask is a well-formed compiled mask (one to four parts).
  bool IsValid() const;

  // The address fits the mask. The text must be a dotted quad ("::ffff:" before it is accepted);
  // any other text, and an invalid filter, never match.
  bool Matches(std::string_view addressText) const;
  bool Matches(uint32_t addressHostOrder) const;
  // For exclusion lists: true when the address fits, or when the filter is invalid.
  bool MatchesForExclusion(uint32_t addressHostOrder) const;

  // Registry save and load under key (relative to the root). Save returns false when a write
  // failed; Load returns false when the stored pattern is invalid (kept as text, matching nothing).
  bool Save(const CString& key) const;
  bool Load(const CString& key);

  // Loading refuses (CArchiveException) a pattern that is invalid.
  void Serialize(CArchive& ar) override;

  CString Filter;          // the pattern as written
  CString InternalFilter;  // the compiled mask
};

class CLocation : public CLockableObject {
  TL_DECLARE_SERIAL(CLocation)

 public:
  CLocation() = default;
  CLocation(std::string_view pattern, CString username);
  CLocation(const CLocation& other);
  CLocation& operator=(const CLocation& other);

  bool Matches(std::string_view addressText) const;
  bool Matches(uint32_t addressHostOrder) const;

  // A location is known to the operator by its pattern: the name is the pattern as written.
  const CString& GetName() const { return IPFilter.Filter; }
  const CString& GetUsername() const { return Username; }
  bool IsValid() const;

  // The editor's OK: sets user and pattern and rebuilds the mask; refused (nothing changed) when
  // the pattern is invalid or the user name could not name an account.
  bool Set(const CString& username, std::string_view pattern);
  void CopyFrom(const CLocation& other);

  // Save: false when a write failed. Load: false when the pattern or the user name is unusable.
  virtual bool Save(const CString& key) const;
  virtual bool Load(const CString& key);

  // Loading refuses an invalid pattern or a user name that could not name an account.
  void Serialize(CArchive& ar) override;

  CIPFilter IPFilter;
  CString Username = "Guest";
};

// The ordered location table. Positions may be empty (a location dropped at load keeps its place
// empty); every walk passes over empty positions.
class CLocationArray : public CLockableArray {
  TL_DECLARE_SERIAL(CLocationArray)

 public:
  CLocationArray();
  ~CLocationArray() override = default;

  // The user name of the first location, in position order, whose pattern matches; "" when none.
  CString FindByAddress(std::string_view addressText) const;
  CString FindByAddress(uint32_t addressHostOrder) const;
  // The first location whose pattern (its name) is exactly that text, or null.
  std::shared_ptr<CLocation> FindByName(const CString& name) const;
  std::shared_ptr<CLocation> GetLocation(size_t i) const;  // null for an empty position

  // Position of that location, or -1.
  int FindIndex(const CLocation* location) const;
  // Takes the location out; later ones move up. False when it was not held.
  bool Remove(const CLocation* location);
  virtual void DeleteAll();
  // Swaps a location with its neighbour; the first does not move up, the last not down.
  bool MoveUp(const CLocation* location);
  bool MoveDown(const CLocation* location);
  // Under both tables' locks: this table becomes copies of the other's locations (holes kept).
  void CopyFrom(const CLocationArray& other);

  // Removes every location that names that user; returns how many. For deleting an account, so
  // that a later account of the same name does not inherit the old assumptions.
  size_t RemoveUser(const CString& username);
  // Removes every location that names no existing user (a group, or a deleted account) or whose
  // pattern is invalid; for a table received from a console before it is used.
  size_t DropUnusable(const CGroupMemberDatabase& users);

  // Deletes the key's tree and saves each location under "<key>\\Location<position>". False when
  // something could not be written.
  bool Save(const CString& key) const;
  // Reads every "<key>\\Location<n>" (n decimal, at most kMaxLocations - 1) into position n. A
  // location whose user is not an existing user, whose pattern is invalid, or whose number is out
  // of range is dropped. Replaces the table in one step. Returns how many were dropped.
  using CLockableCollection::Load;
  size_t Load(const CString& key, const CGroupMemberDatabase& users);
};

// The assumed user of a client machine, or "" (the caller then takes "Guest" at level 0).
// computerName is the computer name of the address's current DHCP lease, empty when there is
// none: only then is the machine-name map consulted (names compared without regard to case). When
// the name is not mapped, or mapped to a name that is not an existing user, the first matching
// location decides. A name that is not an existing user (deleted, or a group) is never assumed.
CString FindAssumedUser(uint32_t addressHostOrder, const CString& computerName,
                        const CLockableStringMap& assumptions, const CLocationArray& locations,
                        const CGroupMemberDatabase& users);

// The level that goes with an assumed name: 0 for none or "Guest", 1 for any other user.
uint32_t AssumedUserLevel(const CString& assumedUser);

// The machine-name map's registry form: one string value per computer name under key, the value
// being the user name. Load takes only entries whose user is an existing user and whose computer
// name is usable; it returns how many were skipped.
size_t LoadMachineAssumptions(const CString& key, CLockableStringMap& assumptions,
                              const CGroupMemberDatabase& users);
bool SaveMachineAssumptions(const CString& key, const CLockableStringMap& assumptions);
// Removes the entries that map to that user; returns how many.
size_t RemoveMachineAssumptionsOfUser(CLockableStringMap& assumptions, const CString& username);
// Removes entries with an unusable computer name or a user that is not an existing user.
size_t DropUnusableMachineAssumptions(CLockableStringMap& assumptions, const CGroupMemberDatabase& users);
