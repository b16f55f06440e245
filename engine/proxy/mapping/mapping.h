#pragma once
// Mapping rules of the port mapping services: which destination a client is relayed to.
//
// CMapping is one rule: a destination and optional conditions (enabled, an up dial-up connection
// of a phonebook entry, a user or group, included and excluded client location patterns).
// CMappings holds the rules in order and a default destination that applies when no rule matches
// and AllowDefault is set. The console edits copies of both; the engine's mapping sessions resolve
// through the service's own CMappings.
//
// Registry, below the rule's key: Host, Port, DialerDependent, DUNConnectoid, Enabled,
// SpecifyUser, SpecifyLocation, UserName, and the sub-keys "IncludedLocations" and
// "ExcludedLocations" holding one DWORD value (0) per pattern, named by the pattern. Below the
// list's key: AllowDefault, Host, Port and one sub-key "Mapping%u" per rule, numbered from 0 in
// list order and loaded in numeric order (Mapping10 after Mapping9), so the first match stays
// the first after a restart.
//
// Archive: CMapping = Enabled, SpecifyUser, SpecifyLocation (u32), UserName (string),
// DialerDependent (u32), DUNConnectoid (string), destination (Host string, Port u32), included
// patterns, excluded patterns (count, then strings). CMappings = AllowDefault (u32), default
// destination, then the list form with elements CMapping.
//
// Threads: Resolve, Save, Serialize and AddMapping hold the list's lock; Match takes the user
// database's lock while it looks the user up. Lock order: the list, then the user database.
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/config/archive.h"
#include "engine/config/host_port.h"
#include "engine/config/lockable.h"

class CGroupMemberDatabase;

// What a rule is judged on: the session's user and client address, the user database and the
// dialer's answer for a phonebook entry (whether a connection of that entry is up).
struct CMappingRequest {
  CString UserName;
  CString ClientAddress;  // dotted
  const CGroupMemberDatabase* Users = nullptr;
  std::function<bool(const CString& entry)> IsConnectionUp;
};

class CMapping : public CObject {
  TL_DECLARE_SERIAL(CMapping)

 public:
  // Location patterns longer than this cannot name a registry value and are not kept.
  static constexpr size_t kMaxPatternLength = 255;
  // A stored or archived list holds at most this many patterns.
  static constexpr size_t kMaxPatterns = 4096;

  CMapping() = default;
  CMapping(CString host, uint32_t port) : Destination(std::move(host), port) {}

  // Each condition in order; the first that fails gives false. Throws what a lookup throws.
  bool Match(const CMappingRequest& request) const;

  bool Save(const CString& key) const;
  void Load(const CString& key);
  void Serialize(CArchive& ar) override;

  CHostPort Destination;
  uint32_t DialerDependent = 0;
  CString DUNConnectoid;
  uint32_t Enabled = 1;
  uint32_t SpecifyUser = 0;
  uint32_t SpecifyLocation = 0;
  CString UserName;
  std::vector<CString> IncludedLocations;
  std::vector<CString> ExcludedLocations;
};

class CMappings : public CLockableList {
 public:
  CMappings();
  ~CMappings() override;

  // The first rule that matches, else the default when AllowDefault is set. A rule whose test
  // throws ends the walk with neither a match nor the default: a broken condition refuses.
  bool Resolve(const CMappingRequest& request, CHostPort& destination) const;
  void AddMapping(std::shared_ptr<CMapping> mapping);
  std::vector<std::shared_ptr<CMapping>> GetMappings() const;
  // Where the rules can send a client: every enabled rule's destination, then the default when it
  // is allowed. Which of them a given client meets depends on its user, its address and the
  // dialer, so a question about every client (can this lead back here?) asks about all of them.
  std::vector<CHostPort> GetDestinations() const;

  bool Save(const CString& key) const;
  void Load(const CString& key);
  // Archive form above; a failed load throws (CArchiveException) and changes nothing.
  void Serialize(CArchive& ar) override;

  uint32_t AllowDefault = 1;
  CHostPort Default;
};
