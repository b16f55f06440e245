#include "console/dialogs/core/dhcp_pages.h"

#include <algorithm>

#include "engine/config/util.h"
#include "engine/netsvc/dhcp/dhcp_settings.h"

// ---- DHCP Mode --------------------------------------------------------------------------------------

void DHCPModePage::Load(const CServiceSettings& s) {
  if (auto* d = dynamic_cast<const CDHCPServiceSettings*>(&s)) {
    mode = d->Database.OperatingMode.load();
    autoOptions = d->Database.AutoOptions.load();
  }
}

ControlStates DHCPModePage::States() const {
  ControlStates st;
  for (const auto& [id, bit] : kBits) st[id].enabled = mode == CDHCPDatabase::MODE_SEMI_AUTOMATIC;
  return st;
}

void DHCPModePage::Apply(CServiceSettings& s) const {
  auto* d = dynamic_cast<CDHCPServiceSettings*>(&s);
  if (!d) return;
  d->Database.OperatingMode = mode;
  uint32_t bits = 0;
  for (const auto& [id, bit] : kBits) bits |= autoOptions & bit;
  d->Database.AutoOptions = bits;
}

// ---- DHCP Settings ------------------------------------------------------------------------------------

void DHCPSettingsPage::Load(const CServiceSettings& s) {
  auto* d = dynamic_cast<const CDHCPServiceSettings*>(&s);
  // The page's own copy: made through the archive, it has no address host, so the database's
  // lease side effects cannot run from here.
  m_db = d ? Clone(d->Database) : std::make_shared<CDHCPDatabase>();
}

std::vector<CString> DHCPSettingsPage::Interfaces() const {
  std::vector<CString> out;
  auto add = [&](const CString& name) {
    if (!name.empty() && std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
  };
  // The interfaces the service serves, as the Bindings page has them now.
  if (m_bindings.option == BINDING_SPECIFIC) {
    add(m_bindings.specific);
  } else if (m_bindings.option == BINDING_LIST) {
    for (const InterfaceRow& r : m_bindings.bound) add(r.name);
  } else {
    for (const CString& name : m_bindings.combo) add(name);
  }
  // A scope on an interface no longer bound stays reachable.
  if (m_db)
    for (const auto& scope : m_db->GetScopes()) {
      CLockGuard g(*scope);
      add(scope->BoundInterface);
    }
  return out;
}

namespace {
DHCPTreeItem Item(int kind, const CString& text, const CString& iface = CString(), uint32_t scopeId = 0,
                  const CString& address = CString()) {
  DHCPTreeItem item;
  item.kind = kind;
  item.text = text;
  item.interfaceName = iface;
  item.scopeId = scopeId;
  item.address = address;
  return item;
}
}  // namespace

std::vector<DHCPTreeItem> DHCPSettingsPage::Tree() const {
  std::vector<DHCPTreeItem> tree;
  auto scopes = m_db->GetScopes();
  std::sort(scopes.begin(), scopes.end(), [](const auto& a, const auto& b) { return a->ScopeID < b->ScopeID; });
  const auto reservations = m_db->Reservations.Snapshot();
  for (const CString& name : Interfaces()) {
    DHCPTreeItem item = Item(DHCP_ITEM_INTERFACE, name, name);
    for (const auto& scope : scopes) {
      CLockGuard g(*scope);
      if (scope->BoundInterface != name) continue;
      DHCPTreeItem s =
          Item(DHCP_ITEM_SCOPE,
               FormatString("[%s] %s", DHCPRangeText(scope->InclusionRange).c_str(), scope->Description.c_str()), name,
               scope->ScopeID);
      for (const auto& [address, obj] : reservations) {
        auto r = std::static_pointer_cast<CDHCPReservation>(obj);
        CLockGuard rg(*r);
        if (r->ScopeID != scope->ScopeID) continue;
        s.children.push_back(Item(DHCP_ITEM_RESERVATION,
                                  FormatString("[%s] %s", r->IPAddress.c_str(), r->MatchData.c_str()), name, r->ScopeID,
                                  r->IPAddress));
      }
      item.children.push_back(std::move(s));
    }
    tree.push_back(std::move(item));
  }
  tree.push_back(Item(DHCP_ITEM_GLOBAL, "Global Options"));
  return tree;
}

ControlStates DHCPSettingsPage::States(const DHCPTreeItem* sel) const {
  const int kind = sel ? sel->kind : 0;
  const bool scopeOrReservation = kind == DHCP_ITEM_SCOPE || kind == DHCP_ITEM_RESERVATION;
  ControlStates st;
  st[NEW_SCOPE].enabled = kind == DHCP_ITEM_INTERFACE || scopeOrReservation;
  // A reservation lives under a scope; on an interface it would be in none and never shown.
  st[NEW_RESERVATION].enabled = scopeOrReservation;
  st[DELETE].enabled = scopeOrReservation;
  st[PROPERTIES].enabled = scopeOrReservation || kind == DHCP_ITEM_GLOBAL;
  return st;
}

std::vector<CString> DHCPSettingsPage::TakenAddresses(const CString& except) const {
  std::vector<CString> out;
  for (const CString& key : m_db->Reservations.Keys())
    if (key != except) out.push_back(key);
  return out;
}

std::vector<CIPRange> DHCPSettingsPage::ScopeRanges(uint32_t except) const {
  std::vector<CIPRange> out;
  for (const auto& scope : m_db->GetScopes()) {
    CLockGuard g(*scope);
    if (scope->ScopeID != except) out.push_back(scope->InclusionRange);
  }
  return out;
}

bool DHCPSettingsPage::NewScope(const DHCPTreeItem& sel, DHCPDialogs& dialogs) {
  CString iface;
  if (sel.kind == DHCP_ITEM_INTERFACE) {
    iface = sel.interfaceName;
  } else if (sel.kind == DHCP_ITEM_SCOPE || sel.kind == DHCP_ITEM_RESERVATION) {
    auto scope = m_db->FindScope(sel.scopeId);
    if (!scope) return false;
    CLockGuard g(*scope);
    iface = scope->BoundInterface;
  } else {
    return false;
  }
  auto scope = std::make_shared<CDHCPScope>();
  if (!dialogs.EditScope(*scope, ScopeRanges(0))) return false;
  {
    CLockGuard g(*scope);
    scope->ScopeID = 0;  // the configuration numbers it
    scope->BoundInterface = iface;
  }
  m_db->AddScope(scope);
  return true;
}

bool DHCPSettingsPage::NewReservation(const DHCPTreeItem& sel, DHCPDialogs& dialogs) {
  if ((sel.kind != DHCP_ITEM_SCOPE && sel.kind != DHCP_ITEM_RESERVATION) || !m_db->FindScope(sel.scopeId)) return false;
  auto r = std::make_shared<CDHCPReservation>();
  r->ScopeID = sel.scopeId;
  r->MatchOn = CDHCPReservation::MATCH_HARDWARE_ADDRESS;
  if (!dialogs.EditReservation(*r, TakenAddresses(CString()), ScopeRanges(0))) return false;
  return m_db->AddReservation(r);
}

bool DHCPSettingsPage::Delete(const DHCPTreeItem& sel) {
  if (sel.kind == DHCP_ITEM_SCOPE) return m_db->RemoveScope(sel.scopeId);
  if (sel.kind == DHCP_ITEM_RESERVATION) return m_db->RemoveReservation(sel.address);
  return false;
}

bool DHCPSettingsPage::Properties(const DHCPTreeItem& sel, DHCPDialogs& dialogs) {
  if (sel.kind == DHCP_ITEM_SCOPE) {
    auto scope = m_db->FindScope(sel.scopeId);
    if (!scope) return false;
    CDHCPScope copy(*scope);
    if (!dialogs.EditScope(copy, ScopeRanges(sel.scopeId))) return false;
    scope->CopyFrom(copy);
    return true;
  }
  if (sel.kind == DHCP_ITEM_RESERVATION) {
    auto r = m_db->FindReservationByAddress(sel.address);
    if (!r) return false;
    auto copy = std::make_shared<CDHCPReservation>(*r);
    if (!dialogs.EditReservation(*copy, TakenAddresses(sel.address), ScopeRanges(0))) return false;
    // The address is the key: a changed one moves the entry.
    m_db->RemoveReservation(sel.address);
    return m_db->AddReservation(copy);
  }
  if (sel.kind == DHCP_ITEM_GLOBAL) {
    CDHCPOptionsContainer copy(m_db->GlobalOptions);
    if (!dialogs.EditOptions(copy)) return false;
    m_db->GlobalOptions.CopyFrom(copy);
    return true;
  }
  return false;
}

void DHCPSettingsPage::Apply(CServiceSettings& s) const {
  auto* d = dynamic_cast<CDHCPServiceSettings*>(&s);
  if (!d || !m_db) return;
  // Copies, so the sheet's working objects never become the mirror's.
  d->Database.Scopes.RemoveAll();
  for (const auto& scope : m_db->GetScopes()) {
    auto copy = std::make_shared<CDHCPScope>(*scope);
    d->Database.Scopes.SetAt(std::to_string(copy->ScopeID), copy);
  }
  d->Database.Reservations.RemoveAll();
  for (const auto& [address, obj] : m_db->Reservations.Snapshot())
    d->Database.Reservations.SetAt(
        address, std::make_shared<CDHCPReservation>(*std::static_pointer_cast<CDHCPReservation>(obj)));
  d->Database.GlobalOptions.CopyFrom(m_db->GlobalOptions);
}
