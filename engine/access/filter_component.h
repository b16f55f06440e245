#pragma once
// The named, described, lockable element that users, groups, time slices, time filters, request
// criteria and dialer profiles derive from.
//
// Archive form: Name, Description (strings). Registry: "Name" and "Description" string values
// under the element's key (missing: empty).
#include <string_view>

#include "engine/config/archive.h"
#include "engine/config/lockable.h"

// Names that become registry keys or file names (users, groups, services, profiles, events ...):
// non-empty, at most 255 bytes, no "\\", "/" or control characters. An empty name would address
// the parent key itself (a delete of "UserDatabase\\" + "" is a delete of the whole database).
bool IsValidObjectName(std::string_view name);

class CFilterComponent : public CLockableObject {
  TL_DECLARE_DYNAMIC(CFilterComponent)

 public:
  CFilterComponent() = default;
  CFilterComponent(CString name, CString description)
      : Name(std::move(name)), Description(std::move(description)) {}
  CFilterComponent(const CFilterComponent&) = default;
  CFilterComponent& operator=(const CFilterComponent&) = default;

  // Whether the element stands for or contains that name (users and groups); false here.
  virtual bool Includes(const CString& name) const;
  virtual CString GetDescription() const;
  // Key paths are relative to the registry root. False when a write failed.
  virtual bool SaveToRegistry(const CString& key) const;
  virtual bool LoadFromRegistry(const CString& key);

  void Serialize(CArchive& ar) override;

  CString Name;
  CString Description;
};
