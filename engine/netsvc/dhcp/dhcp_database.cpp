#include "engine/netsvc/dhcp/dhcp_database.h"

#include <cstdlib>

#include "engine/config/archive.h"
#include "engine/config/reg_helpers.h"

TL_IMPLEMENT_SERIAL(CDHCPDatabase, CObject, 1)

namespace {
bool ParseId(const CString& text, uint32_t* out) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v == 0 || v > 0xFFFFFFFFu) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}
}  // namespace

CDHCPDatabase::CDHCPDatabase() {
  Scopes.SetElementClass(TL_RUNTIME_CLASS(CDHCPScope));
  Reservations.SetElementClass(TL_RUNTIME_CLASS(CDHCPReservation));
}

uint32_t CDHCPDatabase::AddScope(std::shared_ptr<CDHCPScope> scope) {
  CLockGuard g(Scopes);
  uint32_t id;
  {
    CLockGuard s(*scope);
    if (scope->ScopeID == 0) {
      uint32_t largest = 0;
      for (const auto& [key, obj] : Scopes) {
        uint32_t k = 0;
        if (ParseId(key, &k) && k > largest) largest = k;
      }
      scope->ScopeID = largest + 1;
    }
    id = scope->ScopeID;
  }
  Scopes.SetAt(std::to_string(id), std::move(scope));
  return id;
}

bool CDHCPDatabase::RemoveScope(uint32_t id) {
  std::vector<uint32_t> addresses;
  {
    std::scoped_lock g(Scopes, Reservations);
    if (!Scopes.RemoveKey(std::to_string(id))) return false;
    for (const auto& [key, obj] : Reservations.Snapshot()) {
      auto r = std::static_pointer_cast<CDHCPReservation>(obj);
      CLockGuard rg(*r);
      if (r->ScopeID != id) continue;
      uint32_t a = 0;
      if (TryParseIPAddress(r->IPAddress, &a)) addresses.push_back(a);
      Reservations.RemoveKey(key);
    }
  }
  // The leases of the scope's reservations go with them, and so do the scope's own: a lease left
  // behind would still hold its address and name its client to the DNS relay.
  if (IDHCPAddressHost* host = GetAddressHost()) {
    for (uint32_t a : addresses) host->RemoveLease(a);
    host->RemoveLeasesOfScope(id);
  }
  return true;
}

std::shared_ptr<CDHCPScope> CDHCPDatabase::FindScope(uint32_t id) const {
  return Scopes.LookupAs<CDHCPScope>(std::to_string(id));
}

std::vector<std::shared_ptr<CDHCPScope>> CDHCPDatabase::GetScopes() const {
  std::vector<std::shared_ptr<CDHCPScope>> out;
  for (const auto& [key, obj] : Scopes.Snapshot()) out.push_back(std::static_pointer_cast<CDHCPScope>(obj));
  return out;
}

bool CDHCPDatabase::AddReservation(std::shared_ptr<CDHCPReservation> reservation) {
  CString address;
  uint32_t scopeId;
  {
    CLockGuard g(*reservation);
    address = reservation->IPAddress;
    scopeId = reservation->ScopeID;
  }
  uint32_t a = 0;
  if (!TryParseIPAddress(address, &a)) return false;
  Reservations.SetAt(address, std::move(reservation));
  if (IDHCPAddressHost* host = GetAddressHost())
    if (!host->GetLeaseState(a)) host->AddReservedLease(a, scopeId);
  return true;
}

bool CDHCPDatabase::RemoveReservation(const CString& address) {
  if (!Reservations.RemoveKey(address)) return false;
  uint32_t a = 0;
  if (IDHCPAddressHost* host = GetAddressHost())
    if (TryParseIPAddress(address, &a)) host->RemoveLease(a);
  return true;
}

std::shared_ptr<CDHCPReservation> CDHCPDatabase::FindReservation(const CString& computerName,
                                                                 const CString& hardwareAddress) const {
  for (const auto& [key, obj] : Reservations.Snapshot()) {
    auto r = std::static_pointer_cast<CDHCPReservation>(obj);
    if (r->Matches(computerName, hardwareAddress)) return r;
  }
  return nullptr;
}

std::shared_ptr<CDHCPReservation> CDHCPDatabase::FindReservationByAddress(const CString& address) const {
  return Reservations.LookupAs<CDHCPReservation>(address);
}

bool CDHCPDatabase::IsReservedForOther(uint32_t address, const CString& computerName,
                                       const CString& hardwareAddress) const {
  auto r = FindReservationByAddress(FormatIPAddress(address));
  return r && !r->Matches(computerName, hardwareAddress);
}

std::optional<CDHCPOption> CDHCPDatabase::GetOption(uint8_t code, const CDHCPScope* scope,
                                                    const CDHCPReservation* reservation) const {
  if (reservation)
    if (auto o = reservation->Options.GetOption(code)) return o;
  if (scope)
    if (auto o = scope->Options.GetOption(code)) return o;
  return GlobalOptions.GetOption(code);
}

void CDHCPDatabase::GetEffectiveOptions(CDHCPOptionsContainer& out, uint32_t scopeId, const CString& address) const {
  out.RemoveAll();
  auto scope = FindScope(scopeId);
  auto reservation = FindReservationByAddress(address);
  for (unsigned code = 1; code <= 61; ++code)
    if (auto o = GetOption(static_cast<uint8_t>(code), scope.get(), reservation.get())) out.SetOption(*o);
}

bool CDHCPDatabase::MayCreateScopes() const {
  uint32_t mode = OperatingMode.load();
  return mode == MODE_AUTOMATIC || (mode == MODE_SEMI_AUTOMATIC && (AutoOptions.load() & AUTO_CREATE_SCOPES));
}

bool CDHCPDatabase::SuppliesRouter() const {
  uint32_t mode = OperatingMode.load();
  return mode == MODE_AUTOMATIC || (mode == MODE_SEMI_AUTOMATIC && (AutoOptions.load() & AUTO_ROUTER));
}

bool CDHCPDatabase::SuppliesDNS() const {
  uint32_t mode = OperatingMode.load();
  return mode == MODE_AUTOMATIC || (mode == MODE_SEMI_AUTOMATIC && (AutoOptions.load() & AUTO_DNS));
}

void CDHCPDatabase::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << OperatingMode.load() << AutoOptions.load();
    Scopes.SerializeChecked(ar);
    Reservations.SerializeChecked(ar);
    GlobalOptions.Serialize(ar);
    return;
  }
  uint32_t mode = 0, flags = 0;
  ar >> mode >> flags;
  OperatingMode = mode;
  AutoOptions = flags;
  Scopes.SerializeChecked(ar);
  // A scope is found by its key: a stream whose key and scope id disagree is brought into line
  // by the key, and a key that is no id is dropped.
  {
    CLockGuard g(Scopes);
    for (const auto& [key, obj] : Scopes.Snapshot()) {
      uint32_t id = 0;
      if (!ParseId(key, &id)) {
        Scopes.RemoveKey(key);
        continue;
      }
      auto scope = std::static_pointer_cast<CDHCPScope>(obj);
      CLockGuard s(*scope);
      scope->ScopeID = id;
    }
  }
  Reservations.SerializeChecked(ar);
  GlobalOptions.Serialize(ar);
}

bool CDHCPDatabase::Save(const CString& key) const {
  bool ok = RegWriteDWORD(key, "OperatingMode", OperatingMode.load());
  ok = RegWriteDWORD(key, "AutoOptions", AutoOptions.load()) && ok;
  RegDeleteKeyTree(key + "\\Scopes");
  RegDeleteKeyTree(key + "\\Reservations");
  for (const auto& scope : GetScopes()) {
    uint32_t id;
    {
      CLockGuard g(*scope);
      id = scope->ScopeID;
    }
    ok = scope->Save(FormatString("%s\\Scopes\\%010u", key.c_str(), id)) && ok;
  }
  for (const auto& [address, obj] : Reservations.Snapshot())
    ok = std::static_pointer_cast<CDHCPReservation>(obj)->Save(key + "\\Reservations\\" + address) && ok;
  return GlobalOptions.Save(key + "\\GlobalOptions") && ok;
}

void CDHCPDatabase::Load(const CString& key) {
  OperatingMode = RegReadDWORD(key, "OperatingMode", MODE_AUTOMATIC);
  AutoOptions = RegReadDWORD(key, "AutoOptions", AUTO_CREATE_SCOPES | AUTO_ROUTER | AUTO_DNS);
  Scopes.RemoveAll();
  for (const CString& sub : RegEnumSubKeys(key + "\\Scopes")) {
    auto scope = std::make_shared<CDHCPScope>();
    scope->Load(key + "\\Scopes\\" + sub);
    uint32_t id = 0;
    // The key names the scope; a stored id that disagrees loses.
    if (!ParseId(sub, &id)) continue;
    scope->ScopeID = id;
    Scopes.SetAt(std::to_string(id), scope);
  }
  Reservations.RemoveAll();
  for (const CString& sub : RegEnumSubKeys(key + "\\Reservations")) {
    auto r = std::make_shared<CDHCPReservation>();
    if (r->Load(key + "\\Reservations\\" + sub)) Reservations.SetAt(r->IPAddress, r);
  }
  GlobalOptions.Load(key + "\\GlobalOptions");
}
