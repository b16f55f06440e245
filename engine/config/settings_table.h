#pragma once
// One table of stored settings per class drives its registry form (save, load) and its archive
// form, so a new setting is written once, in one row.
//
// Rows are in archive order: that order is the wire form and must never change for an existing
// class. The registry form goes by value name, so the order in which the values are written does
// not matter there. A row is stored (registry), archived, or both; a custom row runs an archive
// step of its own (a value computed when stored, such as a service's running state) and has no
// registry form. A text row may name a check: an archive that carries a text the check refuses
// is refused (CArchiveException), with the fields of the rows before it already read.
//
//   using Row = CSettingRow<CMySettings>;
//   constexpr Row kRows[] = {
//       Row::Text("Name", &CMySettings::Name, "", kSettingBoth, &CMySettings::IsValidName),
//       Row::Dword("PortNumber", &CMySettings::PortNumber, 0),
//       Row::Dword("RestartNeeded", &CMySettings::RestartNeeded, 0, kSettingArchived),
//   };
//   SaveSettingRows(*this, key, kRows);   LoadSettingRows(*this, key, kRows);
//   SerializeSettingRows(*this, ar, kRows);
//
// The callers hold the owner's lock; the rows take none.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/config/archive.h"
#include "engine/config/reg_helpers.h"

enum : uint8_t { kSettingStored = 1, kSettingArchived = 2, kSettingBoth = 3 };

template <class Owner>
struct CSettingRow {
  enum Kind : uint8_t { kDword, kAtomicDword, kText, kCustom };

  Kind kind = kDword;
  const char* name = "";
  uint8_t where = kSettingBoth;
  uint32_t Owner::*dword = nullptr;
  std::atomic<uint32_t> Owner::*atomicDword = nullptr;
  CString Owner::*text = nullptr;
  uint32_t dwordDefault = 0;
  const char* textDefault = "";
  bool (*check)(const CString&) = nullptr;
  void (*custom)(Owner&, CArchive&) = nullptr;

  static constexpr CSettingRow Dword(const char* name, uint32_t Owner::*member, uint32_t def,
                                     uint8_t where = kSettingBoth) {
    CSettingRow r;
    r.kind = kDword;
    r.name = name;
    r.where = where;
    r.dword = member;
    r.dwordDefault = def;
    return r;
  }
  static constexpr CSettingRow AtomicDword(const char* name, std::atomic<uint32_t> Owner::*member, uint32_t def,
                                           uint8_t where = kSettingBoth) {
    CSettingRow r;
    r.kind = kAtomicDword;
    r.name = name;
    r.where = where;
    r.atomicDword = member;
    r.dwordDefault = def;
    return r;
  }
  static constexpr CSettingRow Text(const char* name, CString Owner::*member, const char* def,
                                    uint8_t where = kSettingBoth, bool (*check)(const CString&) = nullptr) {
    CSettingRow r;
    r.kind = kText;
    r.name = name;
    r.where = where;
    r.text = member;
    r.textDefault = def;
    r.check = check;
    return r;
  }
  static constexpr CSettingRow Custom(void (*archive)(Owner&, CArchive&)) {
    CSettingRow r;
    r.kind = kCustom;
    r.where = kSettingArchived;
    r.custom = archive;
    return r;
  }
};

// Writes every stored row under key; false when a write failed (the rest are still written).
template <class Owner, size_t N>
bool SaveSettingRows(const std::type_identity_t<Owner>& owner, const CString& key,
                     const CSettingRow<Owner> (&rows)[N]) {
  bool ok = true;
  for (const auto& r : rows) {
    if (!(r.where & kSettingStored)) continue;
    switch (r.kind) {
      case CSettingRow<Owner>::kDword: ok &= RegWriteDWORD(key, r.name, owner.*r.dword); break;
      case CSettingRow<Owner>::kAtomicDword: ok &= RegWriteDWORD(key, r.name, (owner.*r.atomicDword).load()); break;
      case CSettingRow<Owner>::kText: ok &= RegWriteString(key, r.name, owner.*r.text); break;
      case CSettingRow<Owner>::kCustom: break;
    }
  }
  return ok;
}

// Reads every stored row from key; a missing value takes the row's default.
template <class Owner, size_t N>
void LoadSettingRows(std::type_identity_t<Owner>& owner, const CString& key, const CSettingRow<Owner> (&rows)[N]) {
  for (const auto& r : rows) {
    if (!(r.where & kSettingStored)) continue;
    switch (r.kind) {
      case CSettingRow<Owner>::kDword: owner.*r.dword = RegReadDWORD(key, r.name, r.dwordDefault); break;
      case CSettingRow<Owner>::kAtomicDword:
        (owner.*r.atomicDword).store(RegReadDWORD(key, r.name, r.dwordDefault));
        break;
      case CSettingRow<Owner>::kText: owner.*r.text = RegReadString(key, r.name, r.textDefault); break;
      case CSettingRow<Owner>::kCustom: break;
    }
  }
}

// Stores or loads every archived row in table order.
template <class Owner, size_t N>
void SerializeSettingRows(std::type_identity_t<Owner>& owner, CArchive& ar, const CSettingRow<Owner> (&rows)[N]) {
  for (const auto& r : rows) {
    if (!(r.where & kSettingArchived)) continue;
    switch (r.kind) {
      case CSettingRow<Owner>::kDword:
        if (ar.IsStoring()) {
          ar << owner.*r.dword;
        } else {
          ar >> owner.*r.dword;
        }
        break;
      case CSettingRow<Owner>::kAtomicDword:
        if (ar.IsStoring()) {
          ar << (owner.*r.atomicDword).load();
        } else {
          uint32_t v = 0;
          ar >> v;
          (owner.*r.atomicDword).store(v);
        }
        break;
      case CSettingRow<Owner>::kText:
        if (ar.IsStoring()) {
          ar << owner.*r.text;
        } else {
          CString v;
          ar >> v;
          if (r.check && !r.check(v)) {
            throw CArchiveException(CArchiveException::badLength, CString("invalid ") + r.name + ": \"" + v + "\"");
          }
          owner.*r.text = std::move(v);
        }
        break;
      case CSettingRow<Owner>::kCustom: r.custom(owner, ar); break;
    }
  }
}

// Copies the value of every stored or archived row (not the custom ones).
template <class Owner, size_t N>
void CopySettingRows(std::type_identity_t<Owner>& to, const std::type_identity_t<Owner>& from,
                     const CSettingRow<Owner> (&rows)[N]) {
  for (const auto& r : rows) {
    switch (r.kind) {
      case CSettingRow<Owner>::kDword: to.*r.dword = from.*r.dword; break;
      case CSettingRow<Owner>::kAtomicDword: (to.*r.atomicDword).store((from.*r.atomicDword).load()); break;
      case CSettingRow<Owner>::kText: to.*r.text = from.*r.text; break;
      case CSettingRow<Owner>::kCustom: break;
    }
  }
}
