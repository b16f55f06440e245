#pragma once
// Rights, their recipients and the access decision.
//
// A right is a list of recipients. A recipient names everybody or one user or group and may
// restrict that by client address, by time, by a ban filter, by request filters and by a minimum
// security level. Two questions are asked of a right:
//   - Check / Decide: which security level the request needs (0 the user need not be known,
//     1 an assumed user suffices, 2 the user must have logged in through the protocol, 3 refused),
//     and from that whether the request is allowed now, allowed only after a login, or refused.
//   - IsGranted: a plain yes or no (system rights, DHCP, the dialer).
//
// The decision never reaches engine globals: everything it needs of the engine (the user
// database, the default rights, the clock, the request filters) comes in through AccessContext,
// and everything it needs of the session through AccessRequest. What it would change on the
// session (its level, its end time) comes back in AccessDecision for the caller to apply.
//
// Decisions fail closed: an exception, a level or mode outside its range, a missing user
// database or a restriction this build cannot evaluate refuses.
//
// Archive forms (engine and console follow them):
//   CRight      RightType (i32), Description (string), IncludeDefaultRights (i32), then the
//               recipient list in the list form (lockable.h; elements CRecipient; a load replaces
//               every recipient held, and only once the whole list has been read).
//   CRecipient  UserName, Description (strings); SpecifyUser, SpecifyLocation, SpecifyTime,
//               SpecifyBan, SpecifyRequest (u32 each), MinimumSecurityLevel (i32); IncludedLocations,
//               ExcludedLocations (each a count in the collection count form, then the strings);
//               TimeFilter, BanFilter, RequestFilter, each in its own form (time_filter.h,
//               request_filter.h). A level read is clamped to 0..3; a load changes the recipient
//               only once the whole form has been read.
// Registry (keys relative to the root):
//   right K     "RightType", "IncludeDefaultRights" DWORDs, "Description" string; recipients in
//               "K\\Recipient<n>", n from 0 in list order, loaded back in numeric order.
//   recipient R "UserName", "Description" strings; "SpecifyUser", "SpecifyLocation", "SpecifyTime",
//               "SpecifyBan", "SpecifyRequest", "MinimumSecurityLevel" DWORDs; sub-keys
//               "IncludedLocations" and "ExcludedLocations" with one DWORD 0 value per pattern
//               (value name = the pattern); "TimeFilter" with the time filter's values;
//               "BanFilter" with the ban filter's, "RequestFilter" with the collection's.
//
// Ban and request filters are consulted at the request stage only. They test the request through
// AccessRequest::variables; a request without one cannot be judged by them, and a recipient that
// asks for them then refuses.
//
// Lock order: a right's recipient list, then the user database, then a group's member lock. The
// list's lock also guards RightType, Description and IncludeDefaultRights while a right is copied
// into (CopyFrom) or written to an archive.
// IsGranted takes and releases the user database's lock before it takes the list lock.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/access/request_filter.h"
#include "engine/access/time_filter.h"
#include "engine/config/datetime.h"
#include "engine/config/lockable.h"

class CGroupMemberDatabase;
class CRecipient;
class CRight;

// Security levels, compared as numbers.
enum : uint32_t {
  kLevelGuest = 0,          // the user need not be known
  kLevelAssumed = 1,        // an assumed user suffices
  kLevelAuthenticated = 2,  // the user must have logged in through the protocol
  kLevelRefused = 3,
};

// Any stored, received or computed level brought into 0..3.
inline uint32_t ClampSecurityLevel(int64_t level) {
  return level < 0 ? 0u : level > 3 ? 3u : static_cast<uint32_t>(level);
}

// Right types: 0..2 have an engine default right; 3 and up are the engine's system rights (11 is
// not used).
enum : int32_t {
  kRightAccess = 0,
  kRightStartStop = 1,
  kRightEdit = 2,
  kRightUserAdd = 3,
  kRightServiceAdd = 4,
  kRightActivityMonitor = 5,
  kRightActivityControl = 6,
  kRightPolicyEdit = 7,
  kRightDialerEdit = 8,
  kRightCacheManagement = 9,
  kRightShutdown = 10,
  kRightScheduler = 12,
};

// IncludeDefaultRights: how the engine's default right of the same type joins the decision.
enum : int32_t { kDefaultRightsIgnored = 0, kDefaultRightsEither = 1, kDefaultRightsBoth = 2 };

// When the check runs: once the request is known (ban and request filters consulted), or when
// the connection is accepted (they are not).
enum class AccessStage : uint32_t { Request = 0, Accept = 1 };

// What the decision needs to know of the session asking.
struct AccessRequest {
  CString userName;
  // The session's security level. A check may lower 1 to 0 (an assumed user that fails a
  // recipient's user test while the protocol can log in only at level 1 is treated as a guest
  // that must log in); the lowered level stays here for the recipients after it and for the
  // caller to write back to the session.
  uint32_t level = kLevelGuest;
  uint32_t clientAddress = 0;  // host byte order
  // The level the session's own protocol can still establish by a login (0 when it cannot).
  uint32_t authenticatedLevel = kLevelGuest;
  // The request's variables, for the ban and request filters (the engine's session); null where
  // there is no request to test.
  const IRequestVariables* variables = nullptr;
};

// The engine state a decision reads. Pointers are borrowed for the call.
struct AccessContext {
  const CGroupMemberDatabase* users = nullptr;  // null refuses everything
  // The engine's default rights by type (Access, StartStop, Edit); null entries have none.
  std::array<const CRight*, 3> defaultRights{};
  // Now, as local date-time; null uses CDateTime::GetCurrentTime. Read once per decision.
  std::function<CDateTime()> clock;
  // Whether a dialer profile is on line (request criteria on that variable); null where there is
  // no dialer, and such criteria then refuse.
  std::function<bool(const CString&)> isProfileConnected;
};

enum class AccessResult {
  Allowed,        // the session's level reaches the level needed
  LoginRequired,  // only a login of the session's own protocol can reach it: serve nothing before
  Refused,
};

struct AccessDecision {
  AccessResult result = AccessResult::Refused;
  // Check: the level the request needs (3 refused). IsGranted: 0 granted, 3 not.
  uint32_t level = kLevelRefused;
  // The request's level after the check (see AccessRequest::level).
  uint32_t sessionLevel = kLevelGuest;
  // When the permission ends (the next change of the time filter of the recipients that granted
  // it). Unless refused, the caller sets the session's end time from these after Check / Decide;
  // after IsGranted only when endTimeEnabled (an untimed grant leaves the session's end time).
  bool endTimeEnabled = false;
  CDateTime endTime;
};

class CRecipient : public CObject {
  TL_DECLARE_SERIAL(CRecipient)

 public:
  // "Everyone", "Unrestricted Rights", no restriction.
  CRecipient();
  // Only that user or the members of that group ("Unrestricted Rights" otherwise).
  explicit CRecipient(const CString& userOrGroup);
  CRecipient(const CRecipient&) = delete;
  CRecipient& operator=(const CRecipient&) = delete;

  // The level 0..3 this recipient asks of the request; may lower request.level (see there).
  // Never throws: a failure refuses. endTime/hasEnd receive the recipient's end of permission
  // when it does not refuse.
  uint32_t Match(AccessRequest& request, const AccessContext& ctx, AccessStage stage, const CDateTime& now,
                 bool* hasEnd, CDateTime* endTime) const;
  // Whether this recipient grants the request; never throws (a failure grants nothing).
  bool Grants(const AccessRequest& request, const AccessContext& ctx, AccessStage stage, const CDateTime& now,
              bool* hasEnd, CDateTime* endTime) const;

  // Whether the client address passes the location restriction (true without one). An invalid
  // included pattern matches no address; an invalid excluded pattern excludes every address.
  bool LocationAllows(uint32_t addressHostOrder) const;

  // "Unrestricted Rights", or "Restricted by " and the kinds present.
  CString GetRestrictionDescription() const;
  // Makes this recipient equal to other (copies of its time slices).
  void CopyFrom(const CRecipient& other);

  // Key paths are relative to the registry root. False when a write failed.
  virtual bool Save(const CString& key) const;
  virtual bool Load(const CString& key);
  void Serialize(CArchive& ar) override;

  CString UserName = "Everyone";
  CString Description = "Unrestricted Rights";
  uint32_t SpecifyUser = 0;
  uint32_t SpecifyLocation = 0;
  uint32_t SpecifyTime = 0;
  uint32_t SpecifyBan = 0;
  uint32_t SpecifyRequest = 0;
  std::vector<CString> IncludedLocations;
  std::vector<CString> ExcludedLocations;
  int32_t MinimumSecurityLevel = 0;
  CTimeFilter TimeFilter;
  CRequestFilter BanFilter;
  CRequestFilterCollection RequestFilter;
};

class CRight : public CObject {
  TL_DECLARE_SERIAL(CRight)

 public:
  CRight();
  CRight(const CRight&) = delete;
  CRight& operator=(const CRight&) = delete;

  // The full decision. request.level may be lowered (see AccessRequest). Never throws.
  AccessDecision Decide(AccessRequest& request, const AccessContext& ctx, AccessStage stage) const;
  // The level 0..3 the request needs (Decide's level).
  uint32_t Check(AccessRequest& request, const AccessContext& ctx, AccessStage stage) const;
  // Whether some recipient grants the request (with the default right as IncludeDefaultRights
  // says). Never throws. The decision, when asked for, carries the granting recipient's end time.
  bool IsGranted(const AccessRequest& request, const AccessContext& ctx, AccessStage stage,
                 AccessDecision* decision = nullptr) const;

  // Appends under the list lock; the right holds it from then on.
  void AddRecipient(std::shared_ptr<CRecipient> recipient);
  // Appends a recipient for that user or group (SpecifyUser set).
  void AddRecipientByName(const CString& userOrGroup);
  std::vector<std::shared_ptr<CRecipient>> GetRecipients() const;
  // Makes this right equal to other (copies of its recipients).
  void CopyFrom(const CRight& other);

  // A right whose Description is empty takes code and description and gets one more recipient: a
  // default recipient (everybody) for the Access right, a recipient for the group "Administrators"
  // for every other. True when it was filled.
  bool FillDefaults(int32_t code, const CString& description);

  // Deletes the key's tree, then writes the values and every recipient. False on any failure.
  virtual bool Save(const CString& key) const;
  // Reads the values (defaults 0, "", 1) and replaces the recipients by those stored under the
  // key, in the numeric order of their sub-keys.
  virtual bool Load(const CString& key);
  void Serialize(CArchive& ar) override;

  int32_t RightType = kRightAccess;
  CString Description;
  int32_t IncludeDefaultRights = kDefaultRightsEither;
  CLockableList Recipients;  // elements CRecipient

  // The part of a decision that one right (or one recipient) contributes.
  struct Verdict {
    uint32_t level = kLevelRefused;
    bool hasEnd = false;
    CDateTime end;
  };

 private:
  Verdict CheckVerdict(AccessRequest& request, const AccessContext& ctx, AccessStage stage, const CDateTime& now,
                       bool consultDefault) const;
  bool GrantVerdict(const AccessRequest& request, const AccessContext& ctx, AccessStage stage, const CDateTime& now,
                    bool consultDefault, Verdict* out) const;
  const CRight* DefaultRight(const AccessContext& ctx) const;
};

// The engine's own rights: registry key, code and the description an empty right is filled with.
struct EngineRightDefinition {
  const char* key;
  int32_t code;
  const char* description;
};
extern const std::array<EngineRightDefinition, 12> kEngineRights;
