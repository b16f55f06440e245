#pragma once
// The DHCP server's whole configuration: scopes, reservations, global options, the operating
// mode and the automatic flags. The console edits a copy and sends it; the engine's DHCP service
// owns one and gives it an address host (the lease table, its own addresses, ping).
//
// Registry layout under "<key>" (the service's "<name>\\Database"):
//   "OperatingMode", "AutoOptions"
//   "Scopes\\%010u"          one scope each (dhcp_scope.h)
//   "Reservations\\<address>" one reservation each
//   "GlobalOptions\\%u"      the global options
// Archive form: docs/wire-format.md.
//
// Lock order: scope map, then reservation map, then one scope or reservation, then an options
// container. The address host is called with no map lock held except the scope map's during a
// lease choice (the engine's lease tables come after it).
#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/config/lockable.h"
#include "engine/netsvc/dhcp/dhcp_scope.h"

class CDHCPDatabase : public CObject {
  TL_DECLARE_SERIAL(CDHCPDatabase)

 public:
  enum : uint32_t { MODE_AUTOMATIC = 0, MODE_SEMI_AUTOMATIC = 1, MODE_MANUAL = 2 };
  enum : uint32_t { AUTO_CREATE_SCOPES = 1, AUTO_ROUTER = 2, AUTO_DNS = 4 };

  CDHCPDatabase();

  void SetAddressHost(IDHCPAddressHost* host) { m_host.store(host); }
  IDHCPAddressHost* GetAddressHost() const { return m_host.load(); }

  // A scope with id 0 gets the next id (largest + 1, 1 for the first). Returns the id.
  uint32_t AddScope(std::shared_ptr<CDHCPScope> scope);
  // The scope, its reservations and their leases go.
  bool RemoveScope(uint32_t id);
  std::shared_ptr<CDHCPScope> FindScope(uint32_t id) const;
  std::vector<std::shared_ptr<CDHCPScope>> GetScopes() const;

  // Refused (false) when the address is not dotted IPv4. A reserved lease is made when the lease
  // table has none for the address.
  bool AddReservation(std::shared_ptr<CDHCPReservation> reservation);
  bool RemoveReservation(const CString& address);
  std::shared_ptr<CDHCPReservation> FindReservation(const CString& computerName, const CString& hardwareAddress) const;
  std::shared_ptr<CDHCPReservation> FindReservationByAddress(const CString& address) const;
  // True when a reservation holds that address for a client other than this one.
  bool IsReservedForOther(uint32_t address, const CString& computerName, const CString& hardwareAddress) const;

  // The reservation's option, else the scope's, else the global one.
  std::optional<CDHCPOption> GetOption(uint8_t code, const CDHCPScope* scope, const CDHCPReservation* reservation) const;
  // Codes 1-61 for the lease's scope and the reservation of its address.
  void GetEffectiveOptions(CDHCPOptionsContainer& out, uint32_t scopeId, const CString& address) const;

  bool MayCreateScopes() const;
  bool SuppliesRouter() const;
  bool SuppliesDNS() const;

  void Serialize(CArchive& ar) override;
  bool Save(const CString& key) const;
  void Load(const CString& key);

  std::atomic<uint32_t> OperatingMode{MODE_AUTOMATIC};
  std::atomic<uint32_t> AutoOptions{AUTO_CREATE_SCOPES | AUTO_ROUTER | AUTO_DNS};
  CLockableMap Scopes;        // "%u" -> CDHCPScope
  CLockableMap Reservations;  // address -> CDHCPReservation
  CDHCPOptionsContainer GlobalOptions;

 private:
  std::atomic<IDHCPAddressHost*> m_host{nullptr};
};
