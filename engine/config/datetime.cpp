#include "engine/config/datetime.h"

#include <atomic>
#include <cmath>
#include <ctime>

#include "engine/config/util.h"

namespace {

// Day counts of 0100-01-01 and of the end of 9999-12-31.
constexpr double kMinDateTime = -657434.0;
constexpr double kMaxDateTime = 2958466.0;

bool InRange(double dt) { return std::isfinite(dt) && dt >= kMinDateTime && dt < kMaxDateTime; }

std::atomic<DateTimeClock> g_clock{nullptr};

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

int Part(const CDateTime& d, int tm::*field, int offset = 0) {
  struct tm tm {};
  if (!d.IsValid() || !DateTimeToTm(d.m_dt, &tm)) return -1;
  return tm.*field + offset;
}

}  // namespace

void SetDateTimeClock(DateTimeClock clock) { g_clock.store(clock); }

DateTimeClock GetDateTimeClock() {
  DateTimeClock c = g_clock.load();
  return c ? c : &GetCurrentDateTime;
}

CDateTime::CDateTime(double dateTime) { SetValue(dateTime); }

CDateTime::CDateTime(int year, int month, int day, int hour, int minute, int second) {
  SetValue(MakeDateTime(year, month, day, hour, minute, second));
}

void CDateTime::SetValue(double dateTime) {
  m_dt = dateTime;
  m_status = InRange(dateTime) ? valid : invalid;
}

CDateTime CDateTime::GetCurrentTime() { return CDateTime(GetDateTimeClock()()); }

CDateTime CDateTime::FromSeconds(int64_t seconds) {
  const int64_t day = FloorDiv(seconds, kSecondsPerDay);
  const double tod = static_cast<double>(seconds - day * kSecondsPerDay) / kSecondsPerDay;
  return CDateTime(day >= 0 ? static_cast<double>(day) + tod : static_cast<double>(day) - tod);
}

int CDateTime::GetYear() const { return Part(*this, &tm::tm_year, 1900); }
int CDateTime::GetMonth() const { return Part(*this, &tm::tm_mon, 1); }
int CDateTime::GetDay() const { return Part(*this, &tm::tm_mday); }
int CDateTime::GetHour() const { return Part(*this, &tm::tm_hour); }
int CDateTime::GetMinute() const { return Part(*this, &tm::tm_min); }
int CDateTime::GetSecond() const { return Part(*this, &tm::tm_sec); }
int CDateTime::GetDayOfWeek() const { return Part(*this, &tm::tm_wday, 1); }

int64_t CDateTime::GetTotalSeconds() const {
  if (!IsValid()) return 0;
  const double whole = std::trunc(m_dt);
  return static_cast<int64_t>(whole) * kSecondsPerDay +
         std::llround(std::fabs(m_dt - whole) * kSecondsPerDay);
}

int64_t CDateTime::GetDayNumber() const { return FloorDiv(GetTotalSeconds(), kSecondsPerDay); }

int32_t CDateTime::GetSecondOfDay() const {
  return static_cast<int32_t>(GetTotalSeconds() - GetDayNumber() * kSecondsPerDay);
}

CString CDateTime::Format(const char* format) const {
  if (!IsValid()) return CString();
  return FormatDateTime(m_dt, format);
}

bool CDateTime::operator==(const CDateTime& other) const {
  if (m_status != other.m_status) return false;
  if (m_status == valid) return GetTotalSeconds() == other.GetTotalSeconds();
  return true;
}

void CDateTime::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << static_cast<uint32_t>(m_status) << m_dt;
    return;
  }
  uint32_t status = 0;
  double dt = 0.0;
  ar >> status >> dt;
  m_dt = dt;
  if (status == valid) {
    m_status = InRange(dt) ? valid : invalid;
  } else {
    m_status = status == null ? null : invalid;
  }
}

bool CDateTime::WriteToRegistry(RegArg path, RegArg name) const { return RegWriteDouble(path, name, m_dt); }

void CDateTime::ReadFromRegistry(RegArg path, RegArg name) { ReadFromRegistry(path, name, CDateTime()); }

void CDateTime::ReadFromRegistry(RegArg path, RegArg name, const CDateTime& def) {
  double dt = 0.0;
  size_t stored = 0;
  if (!RegReadBinary(path, name, &dt, sizeof dt, &stored) || stored < sizeof dt) {
    *this = def;
    return;
  }
  SetValue(dt);
}
