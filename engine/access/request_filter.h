#pragma once
// Request criteria, request filters and their collections: the tests a recipient's ban filter and
// request filters apply to a request, and the tests the web cache applies to requests (what to
// cache) and to its entries (what a purge removes).
//
// A criterion compares one request variable (or one cache-entry field) with a value; a filter is a
// list of criteria; a collection is a list of filters. They are configuration objects: the console
// builds them, they travel inside their owners' archives and the registry keeps them.
//
// Evaluation fails closed. Anything that cannot be evaluated (no request to ask, no user database
// for a group test, no dialer for a profile test, a variable or comparison code this engine does
// not know, a filter that lost criteria on loading) throws
// out of Evaluate and Match, and the callers that decide turn that into the refusing answer: a ban
// filter bans (Bans), a collection asks level 3 and matches nothing, a purge removes nothing.
//
// Archive forms (schema 1):
//   CRequestCriterion, CCachePurgeCriterion
//                Name, Description (strings); Comparison, DataIndex (i32); VariableName (string);
//                Not (i32); the value in CTLDataObject's form (data_object.h).
//   CRequestFilter  Name, Description; the criteria in the list form (count, then class-tagged
//                criteria; a load replaces the list once it has been read completely).
//   CRequestFilterCollection  the list form of its filters (class-tagged CRequestFilter).
// Registry forms (keys relative to the root):
//   criterion C  "Type" (the class name), "Name", "Description", "VariableName" strings;
//                "Comparison", "DataIndex", "Not" DWORDs; the value's "DataType", "dwData", "nData",
//                "dData" (8-byte binary), "strData" in the same key.
//   filter F     "Name", "Description"; criteria under "F\\Criterion<n>" (n from 0 in list order).
//   collection K filters under "K\\Filter<n>".
// Lists load in the numeric order of their sub-keys. A criterion sub-key whose "Type" is neither
// class name (compared byte for byte) is skipped, and the filter remembers that it is incomplete:
// it then fails closed rather than banning less than its author wrote.
//
// Lock order: the owner's lock (a recipient list, the cache), then a collection's list, then a
// filter's list, then, inside a criterion's test, the user database (group membership, taken and
// held across the lookup and the membership test) or the dialer's profile lock.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "engine/access/filter_component.h"
#include "engine/config/data_object.h"
#include "engine/config/lockable.h"

class CGroupMemberDatabase;

// Request variables (codes of criteria and of the sessions' GetProperty).
enum : uint32_t {
  kPropClientIP = 0,
  kPropClientPort = 1,
  kPropServerName = 2,
  kPropServerPort = 3,
  kPropUserName = 4,
  kPropUserLevel = 5,
  kPropUserBytesSentToClient = 6,
  kPropUserBytesReceivedFromClient = 7,
  kPropUserBytesSentForClient = 8,
  kPropUserBytesReceivedForClient = 9,
  kPropUserSecondsOnLine = 10,
  kPropUserAccountBalance = 11,
  kPropHTTPProtocol = 12,
  kPropHTTPMethod = 13,
  kPropHTTPResource = 14,
  kPropHTTPURL = 15,
  kPropHTTPPostData = 16,
  kPropHTTPQueryString = 17,
  kPropHTTPHeaderField = 18,
  kPropPOP3UserName = 19,
  kPropFTPUserName = 20,
  kPropVDOLiveFile = 21,
  kPropSOCKSVersion = 22,
  kPropSOCKSCommand = 23,
  kPropSOCKSAddressType = 24,
  kPropXDMAFilename = 25,
  kPropSessionDescription = 26,
  kPropClientNetBIOSName = 27,
  kPropClientMACAddress = 28,
  kPropIsNonProxyRequest = 29,
  kPropIsDHCPClient = 30,
  kPropSessionHandedOver = 31,
  kPropUserMemberOf = 32,
  kPropDialerOnLine = 33,
  kPropServerIPAddress = 34,
  kPropertyCount = 35,
};

// Cache-entry fields (codes of purge criteria and of CCacheEntry::GetField).
enum : uint32_t {
  kCacheFieldURL = 0,
  kCacheFieldFileName = 1,
  kCacheFieldFileSize = 2,
  kCacheFieldContentType = 3,
  kCacheFieldHitCount = 4,
  kCacheFieldHitsTimesSize = 5,
  kCacheFieldEfficiency = 6,
  kCacheFieldHoursSinceHit = 7,
  kCacheFieldHoursSinceModified = 8,
  kCacheFieldCount = 9,
};

// Comparisons.
enum : int32_t {
  TL_COMPARE_EQUALS = 0,
  TL_COMPARE_GREATER = 1,
  TL_COMPARE_LESS = 2,
  TL_COMPARE_CONTAINS = 3,
  TL_COMPARE_BEGINS = 4,
  TL_COMPARE_ENDS = 5,
  TL_COMPARE_EMPTY = 6,
  TL_COMPARE_TRUE = 7,
  TL_COMPARE_FALSE = 8,
  TL_COMPARE_COUNT = 9,
};

// Names shown by the console and used in descriptions; null beyond the table.
const char* GetPropertyName(uint32_t code);
const char* GetCacheFieldName(uint32_t code);
const char* GetComparisonName(int32_t code);
// The kind (value type) of a variable; -1 beyond the table.
int32_t GetPropertyKind(int32_t code);
int32_t GetCacheFieldKind(int32_t code);

// What a criterion asks of the request it tests (the engine's sessions answer).
class IRequestVariables {
 public:
  virtual ~IRequestVariables() = default;
  // Fills value with a request variable (left as it is for one the request does not answer).
  virtual void GetProperty(uint32_t code, CTLDataObject& value) const = 0;
  // A request header's text; false when the request has no headers.
  virtual bool GetHeaderField(const CString& name, CString& value) const = 0;
  virtual CString GetUserName() const = 0;
};

// What a purge criterion asks of a cache entry.
class ICacheEntryFields {
 public:
  virtual ~ICacheEntryFields() = default;
  virtual void GetField(uint32_t code, CTLDataObject& value) const = 0;
};

// Everything a request criterion may need besides its request. Pointers are borrowed for the call.
struct RequestFilterContext {
  const IRequestVariables* request = nullptr;
  const CGroupMemberDatabase* users = nullptr;
  // Whether the dialer profile of that name is on line.
  std::function<bool(const CString&)> isProfileConnected;
};

class CRequestCriterion : public CFilterComponent {
  TL_DECLARE_SERIAL(CRequestCriterion)

 public:
  CRequestCriterion();

  // Does the request meet the criterion. Throws when it cannot be told (see the file comment).
  virtual bool Evaluate(const RequestFilterContext& ctx) const;
  // The security level 0..3 this criterion asks of the request (3 refused). Throws like Evaluate.
  virtual uint32_t GetRequiredLevel(const RequestFilterContext& ctx) const;
  // The description built from the fields (Description itself is left as it is for a kind that
  // has no generated text); UpdateDescription stores it in Description.
  CString GetDescription() const override;
  void UpdateDescription() { Description = GetDescription(); }
  // A new criterion of the same class and the same values.
  std::shared_ptr<CRequestCriterion> Clone() const;

  bool SaveToRegistry(const CString& key) const override;
  bool LoadFromRegistry(const CString& key) override;
  void Serialize(CArchive& ar) override;

  int32_t Comparison = TL_COMPARE_EQUALS;
  int32_t DataIndex = 0;
  CString VariableName;
  CTLDataObject Value;
  int32_t Not = 0;

 protected:
  // Steps common to both kinds of criterion: the validity test, the comparison of v with the
  // value, and Not. c is a copy of the criterion's value.
  static bool Compare(int32_t comparison, const CTLDataObject& c, const CTLDataObject& v);
  static bool SuitsKind(int32_t comparison, uint32_t kind);
  // Throws when the comparison code or the variable (its kind, -1 when unknown) is not one this
  // engine knows.
  static void CheckCodes(int32_t comparison, int32_t variableKind);
  CString Describe(const char* name, int32_t kind) const;
};

class CCachePurgeCriterion : public CRequestCriterion {
  TL_DECLARE_SERIAL(CCachePurgeCriterion)

 public:
  // A purge criterion tests cache entries only: asked of a request it cannot be evaluated.
  bool Evaluate(const RequestFilterContext& ctx) const override;
  uint32_t GetRequiredLevel(const RequestFilterContext& ctx) const override;
  bool EvaluateEntry(const ICacheEntryFields& entry) const;
  CString GetDescription() const override;
};

class CRequestFilter : public CFilterComponent {
  TL_DECLARE_SERIAL(CRequestFilter)

 public:
  CRequestFilter();
  CRequestFilter(const CRequestFilter&) = delete;
  CRequestFilter& operator=(const CRequestFilter&) = delete;

  // all: every criterion must hold (true for an empty filter); otherwise one suffices (false for
  // an empty filter). While the request's server address is "255.255.255.255" criteria on that
  // variable are skipped. Throws when something cannot be evaluated.
  bool Match(const RequestFilterContext& ctx, bool all) const;
  // The ban test: some criterion holds; a failure bans.
  bool Bans(const RequestFilterContext& ctx) const;
  // The highest level its criteria ask, 3 at the first that refuses; a failure refuses.
  uint32_t GetRequiredLevel(const RequestFilterContext& ctx) const;
  // Every criterion holds for the entry (true for an empty filter). A plain request criterion
  // cannot test an entry: the filter then does not match, nor does it when a test fails.
  bool MatchCacheEntry(const ICacheEntryFields& entry) const;

  // Appends unless that very criterion is there already; false when nothing was added.
  bool AddCriterion(std::shared_ptr<CRequestCriterion> criterion);
  std::vector<std::shared_ptr<CRequestCriterion>> GetCriteria() const;
  // Makes this filter equal to other (copies of its criteria).
  void CopyFrom(const CRequestFilter& other);
  // A criterion was skipped on loading: the filter fails closed.
  bool IsIncomplete() const { return m_incomplete.load(); }

  // Deletes the key's tree, then writes the values and the criteria.
  bool SaveToRegistry(const CString& key) const override;
  // Replaces the criteria by those stored under the key.
  bool LoadFromRegistry(const CString& key) override;
  void Serialize(CArchive& ar) override;

  CLockableList Criteria;  // elements CRequestCriterion (or CCachePurgeCriterion)

 private:
  std::atomic<bool> m_incomplete{false};
};

class CRequestFilterCollection : public CLockableList {
  TL_DECLARE_SERIAL(CRequestFilterCollection)

 public:
  CRequestFilterCollection();

  // The lowest level its filters ask (3 for an empty collection); a failure refuses.
  uint32_t GetRequiredLevel(const RequestFilterContext& ctx) const;
  // Some filter's every criterion holds; a failure matches nothing.
  bool AnyMatches(const RequestFilterContext& ctx) const;
  // Some filter matches the cache entry; a failure matches nothing.
  bool AnyMatchesCacheEntry(const ICacheEntryFields& entry) const;

  void Add(std::shared_ptr<CRequestFilter> filter);
  std::vector<std::shared_ptr<CRequestFilter>> GetFilters() const;
  void CopyFrom(const CRequestFilterCollection& other);

  // Deletes the key's tree, then writes each filter. False when a write failed.
  bool Save(const CString& key) const;
  // Replaces the filters by those stored under the key.
  bool Load(const CString& key);
  using CLockableList::Load;
};
