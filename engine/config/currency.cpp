#include "engine/config/currency.h"

#include <cstdlib>
#include <limits>

#include "engine/config/util.h"

namespace {

CCurrency FromWide(__int128 v) {
  if (v > std::numeric_limits<int64_t>::max() || v < std::numeric_limits<int64_t>::min()) {
    return CCurrency::Invalid();
  }
  return CCurrency::FromUnits(static_cast<int64_t>(v));
}

}  // namespace

CCurrency CCurrency::FromUnits(int64_t units) {
  CCurrency c;
  c.m_cur = units;
  return c;
}

CCurrency CCurrency::FromHiLo(uint32_t hi, uint32_t lo) {
  return FromUnits(static_cast<int64_t>((static_cast<uint64_t>(hi) << 32) | lo));
}

CCurrency CCurrency::Invalid() {
  CCurrency c;
  c.m_status = invalid;
  return c;
}

CCurrency CCurrency::operator+(const CCurrency& other) const {
  if (!IsValid() || !other.IsValid()) return Invalid();
  return FromWide(static_cast<__int128>(m_cur) + other.m_cur);
}

CCurrency CCurrency::operator-(const CCurrency& other) const {
  if (!IsValid() || !other.IsValid()) return Invalid();
  return FromWide(static_cast<__int128>(m_cur) - other.m_cur);
}

CCurrency CCurrency::operator-() const {
  if (!IsValid()) return Invalid();
  return FromWide(-static_cast<__int128>(m_cur));
}

CString CCurrency::Format() const {
  if (!IsValid()) return CString();
  const bool negative = m_cur < 0;
  // Magnitude in unsigned arithmetic, so the most negative amount has one too.
  const uint64_t mag = negative ? 0 - static_cast<uint64_t>(m_cur) : static_cast<uint64_t>(m_cur);
  CString text = FormatString("%s%llu", negative ? "-" : "", static_cast<unsigned long long>(mag / kScale));
  unsigned frac = static_cast<unsigned>(mag % kScale);
  if (frac != 0) {
    CString digits = FormatString("%04u", frac);
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text;
}

void CCurrency::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << static_cast<uint32_t>(m_status) << GetHi() << GetLo();
    return;
  }
  uint32_t status = 0, hi = 0, lo = 0;
  ar >> status >> hi >> lo;
  *this = FromHiLo(hi, lo);
  m_status = status == valid ? valid : (status == null ? null : invalid);
}

bool CCurrency::WriteToRegistry(RegArg path, const CString& name) const {
  const bool hi = RegWriteDWORD(path, name + "Hi", GetHi());
  const bool lo = RegWriteDWORD(path, name + "Lo", GetLo());
  return hi && lo;
}

void CCurrency::ReadFromRegistry(RegArg path, const CString& name) {
  *this = FromHiLo(RegReadDWORD(path, name + "Hi", 0), RegReadDWORD(path, name + "Lo", 0));
}
