#include "engine/access/filter_component.h"

#include "engine/config/reg_helpers.h"

TL_IMPLEMENT_DYNAMIC(CFilterComponent, CLockableObject)

bool IsValidObjectName(std::string_view name) {
  if (name.empty() || name.size() > 255) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '\\' || c == '/') return false;
  }
  return true;
}

bool CFilterComponent::Includes(const CString&) const { return false; }

CString CFilterComponent::GetDescription() const {
  CLockGuard guard(*this);
  return Description;
}

bool CFilterComponent::SaveToRegistry(const CString& key) const {
  CLockGuard guard(*this);
  const bool a = RegWriteString(key, "Name", Name);
  const bool b = RegWriteString(key, "Description", Description);
  return a && b;
}

bool CFilterComponent::LoadFromRegistry(const CString& key) {
  CLockGuard guard(*this);
  Name = RegReadString(key, "Name", "");
  Description = RegReadString(key, "Description", "");
  return true;
}

void CFilterComponent::Serialize(CArchive& ar) {
  CLockGuard guard(*this);
  if (ar.IsStoring()) {
    ar << Name << Description;
  } else {
    CString name = ar.ReadString();
    CString description = ar.ReadString();
    Name = std::move(name);
    Description = std::move(description);
  }
}
