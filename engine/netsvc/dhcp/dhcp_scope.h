#pragma once
// Address ranges, reservations and scopes of the DHCP server's configuration, and the interface
// through which the configuration side asks the engine about leases, its own addresses and
// ping answers (the console has no engine: without a host no address is ever free).
//
// Registry forms (relative to the key given):
//   CIPRange:         "StartAddress", "EndAddress" (DWORDs, host order)
//   CDHCPReservation: "IPAddress", "MatchData" (strings), "MatchOn", "ScopeID" (DWORDs), "Options"
//   CDHCPScope:       "ScopeID", "NetMask", "Description", "BoundInterface", "LeaseDuration",
//                     "Enabled", "InclusionRange", "Exclusions\\%u", "Options"
// Archive forms: docs/wire-format.md.
//
// Threads: scopes and reservations are reached from the DHCP thread and console sessions; each
// guards its fields with its own lock. The address walk calls the host (lease table, what is known
// of pings) while holding no lock of its own; it never waits for a ping.
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "engine/config/lockable.h"
#include "engine/netsvc/dhcp/dhcp_options.h"

// What the engine tells the address walk. All addresses in host order.
class IDHCPAddressHost {
 public:
  struct LeaseState {
    bool expired = false;      // the address may be taken back
    uint32_t expiredFor = 0;   // seconds since it lapsed (the longest-lapsed goes first)
  };
  virtual ~IDHCPAddressHost() = default;
  // The lease the engine holds for that address, if any.
  virtual std::optional<LeaseState> GetLeaseState(uint32_t address) = 0;
  virtual bool RemoveLease(uint32_t address) = 0;
  // A reserved lease for a new reservation, when the table has none for that address.
  virtual void AddReservedLease(uint32_t address, uint32_t scopeId) = 0;
  virtual bool IsLocalAddress(uint32_t address) = 0;
  // The leases of a scope that is being removed go with it.
  virtual void RemoveLeasesOfScope(uint32_t scopeId) = 0;
  // What is known of an echo to the address: a host answers, nobody does, or nobody has asked
  // yet (the caller has it checked, which takes a while, and asks again once that is done).
  enum class EchoState { kSilent, kAnswers, kUnknown };
  virtual EchoState Ping(uint32_t address) = 0;
};

class CIPRange : public CObject {
  TL_DECLARE_SERIAL(CIPRange)

 public:
  CIPRange() = default;
  CIPRange(uint32_t start, uint32_t end) : StartAddress(start), EndAddress(end) {}

  // An end of 0 means the start address alone.
  uint32_t Last() const { return EndAddress == 0 ? StartAddress : EndAddress; }
  bool Contains(uint32_t a) const;
  bool ContainsNetwork(uint32_t a, uint32_t mask) const;

  void Serialize(CArchive& ar) override;
  bool Save(const CString& key) const;
  void Load(const CString& key);

  uint32_t StartAddress = 0;
  uint32_t EndAddress = 0;
};

class CDHCPReservation : public CLockableObject {
  TL_DECLARE_SERIAL(CDHCPReservation)

 public:
  enum : uint32_t { MATCH_COMPUTER_NAME = 0, MATCH_HARDWARE_ADDRESS = 1 };

  CDHCPReservation() = default;
  CDHCPReservation(const CDHCPReservation& other);

  // Both without regard to case; a kind other than 0 and 1 never matches, nor does empty data.
  bool Matches(const CString& computerName, const CString& hardwareAddress) const;

  void Serialize(CArchive& ar) override;
  bool Save(const CString& key) const;
  bool Load(const CString& key);
  const std::string* GetKeyName() const override { return &IPAddress; }

  CDHCPOptionsContainer Options;
  CString IPAddress;
  CString MatchData;
  uint32_t MatchOn = MATCH_COMPUTER_NAME;
  uint32_t ScopeID = 0;
};

class CDHCPScope : public CLockableObject {
  TL_DECLARE_SERIAL(CDHCPScope)

 public:
  static constexpr uint32_t kDefaultLeaseDuration = 259200;

  CDHCPScope() = default;
  CDHCPScope(const CDHCPScope& other);

  bool IsExcluded(uint32_t a) const;
  // In the range, not excluded, not the engine's own.
  bool IsAddressFree(uint32_t a, IDHCPAddressHost* host) const;
  // Same network as the requester's n, free, and nobody answers a ping. When the ping's answer is
  // not known yet, false with *probe set to a (without probe such an address is not offered).
  bool CanOffer(uint32_t a, uint32_t n, IDHCPAddressHost* host, uint32_t* probe = nullptr) const;
  // An address for a requester on network n. reservedForOther(a) is true for an address that a
  // reservation keeps for another client. A never-leased address comes first; otherwise the lease
  // that lapsed longest ago is taken back from the table. The walk stops at the first never-leased
  // address whose ping answer is not known yet: false with *probe set to it (without probe such
  // addresses are passed over).
  bool FindFreeAddress(uint32_t n, IDHCPAddressHost* host, const std::function<bool(uint32_t)>& reservedForOther,
                       uint32_t* out, uint32_t* probe = nullptr) const;
  void CopyFrom(const CDHCPScope& other);

  std::vector<CIPRange> GetExclusions() const;
  void SetExclusions(std::vector<CIPRange> exclusions);
  CIPRange GetRange() const;

  void Serialize(CArchive& ar) override;
  bool Save(const CString& key) const;
  void Load(const CString& key);

  CDHCPOptionsContainer Options;
  uint32_t ScopeID = 0;
  uint32_t NetMask = 0xFFFFFF00u;
  CString Description;
  CString BoundInterface;
  uint32_t LeaseDuration = kDefaultLeaseDuration;
  uint32_t Enabled = 1;
  CIPRange InclusionRange;

 private:
  std::vector<CIPRange> m_exclusions;  // under the object's lock
};
