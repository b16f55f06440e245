#pragma once
// One DHCP lease as the engine keeps it: in its three lease tables (by address, by computer name,
// by hardware address) and under "DHCP\\Leases\\<address>" in the registry. Leases are not
// archived; the DHCP service makes and changes them, the engine stores them and lets them expire.
//
// Registry values: "IPAddress", "MACAddress", "ComputerName" (strings), "ClientStatus",
// "ScopeID", "TimeStamp", "LeaseDuration" (DWORDs; a duration of 0xFFFFFFFF never ends).
#include <cstdint>
#include <ctime>

#include "engine/config/lockable.h"

inline constexpr const char* kLeasesKey = "DHCP\\Leases";

class CDHCPLease : public CLockableObject {
  TL_DECLARE_DYNAMIC(CDHCPLease)

 public:
  enum Status : uint32_t {
    kOfferLapsed = 0,
    kOffered = 1,
    kBound = 2,
    kReleased = 3,  // released by the client, or expired while bound
    kReserved = 4,
  };
  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

  CDHCPLease() = default;
  // The time stamp is now.
  CDHCPLease(CString address, uint32_t scopeId, CString computerName, CString hardwareAddress, uint32_t duration,
             uint32_t status);

  // Time stamp := now; the duration changes only when one is given.
  void Renew();
  void Renew(uint32_t duration);
  // True for a released lease; never for an infinite one; else when its time has run out.
  bool IsExpired(time_t now = time(nullptr)) const;
  // How long a released lease has been over; 0 for every other status.
  uint32_t SecondsExpired(time_t now = time(nullptr)) const;

  // Under key (relative to the root). Load refuses (false, nothing changed) a lease whose address
  // is not dotted text, since the address is its key everywhere.
  bool Save(const CString& key) const;
  bool Load(const CString& key);

  CString IPAddress;
  CString MACAddress;
  CString ComputerName;
  uint32_t ClientStatus = kOffered;
  uint32_t ScopeID = 0;
  uint32_t TimeStamp = 0;  // seconds since 1970, unsigned so it goes on past 2038
  uint32_t LeaseDuration = 0;

  // Out of the engine's tables (set and cleared by the engine under the lease's lock): whoever
  // holds the lease from an earlier look must not write or delete the key of its address, which
  // may belong to a newer lease by now.
  bool m_removed = false;
};
