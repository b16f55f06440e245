#pragma once
// A currency amount: a signed 64-bit count of 1/10000 units with a status.
//
// Archive form (engine and console both follow it): the status as u32 (0 valid, 1 invalid,
// 2 null), then the high 32 bits and the low 32 bits of the amount, each as u32 (the amount's
// two's-complement halves). A reader maps an unknown status to invalid.
// Registry form: two REG_DWORD values, <name>Hi with the high and <name>Lo with the low 32 bits
// of the amount; the status is not stored (a loaded amount is valid). A missing half reads as 0.
//
// Arithmetic that would leave the 64-bit range gives status invalid instead of wrapping, and
// anything computed from an amount that is not valid is not valid either.
#include <cstdint>

#include "engine/config/archive.h"
#include "engine/config/reg_helpers.h"

class CCurrency {
 public:
  enum CurrencyStatus : uint32_t { valid = 0, invalid = 1, null = 2 };
  static constexpr int64_t kScale = 10000;

  CCurrency() = default;
  // An amount in 1/10000 units.
  static CCurrency FromUnits(int64_t units);
  // From the two registry/archive halves.
  static CCurrency FromHiLo(uint32_t hi, uint32_t lo);
  static CCurrency Invalid();

  CurrencyStatus GetStatus() const { return m_status; }
  void SetStatus(CurrencyStatus status) { m_status = status; }
  bool IsValid() const { return m_status == valid; }
  int64_t GetUnits() const { return m_cur; }
  uint32_t GetHi() const { return static_cast<uint32_t>(static_cast<uint64_t>(m_cur) >> 32); }
  uint32_t GetLo() const { return static_cast<uint32_t>(static_cast<uint64_t>(m_cur)); }

  CCurrency operator+(const CCurrency& other) const;
  CCurrency operator-(const CCurrency& other) const;
  CCurrency operator-() const;
  bool operator==(const CCurrency& other) const {
    return m_status == other.m_status && m_cur == other.m_cur;
  }
  bool operator!=(const CCurrency& other) const { return !(*this == other); }

  // "-12.5", "1.5", "3", "0.0001": the amount with the trailing zeros of the fraction dropped;
  // empty when not valid.
  CString Format() const;

  void Serialize(CArchive& ar);
  bool WriteToRegistry(RegArg path, const CString& name) const;
  void ReadFromRegistry(RegArg path, const CString& name);

  int64_t m_cur = 0;
  CurrencyStatus m_status = valid;
};
