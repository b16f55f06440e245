#pragma once
// A local date-time value: days since 30 December 1899 00:00 (the fraction is the time of day)
// with a status, and the clock the configuration classes ask for "now".
//
// Dates before day 0 follow the usual convention of such counts: the whole part counts days back
// and the fraction's magnitude still adds time of day (-1.25 is 29 December 1899 06:00). A value
// is valid only when finite and within years 100..9999; anything else read from a file, the
// registry or the network becomes status invalid and never reaches the calendar or strftime.
//
// Archive form (engine and console both follow it): the status as u32 (0 valid, 1 invalid,
// 2 null), then the day count as a little-endian IEEE 754 double. A reader maps an unknown status,
// or a valid status with a count out of range, to invalid; it never throws for the value itself.
// Registry form: the day count alone as an 8-byte REG_BINARY value; a missing or short value
// reads as the caller's default, an out-of-range one as invalid.
//
// Calculations that compare instants (time slices) work in whole seconds: a value is rounded to
// the nearest second first, so 17:00 stored as a day fraction equals 17:00 exactly.
#include <cstdint>

#include "engine/config/archive.h"
#include "engine/config/reg_helpers.h"

class CDateTime {
 public:
  enum DateTimeStatus : uint32_t { valid = 0, invalid = 1, null = 2 };

  static constexpr int64_t kSecondsPerDay = 86400;

  CDateTime() = default;  // valid, day 0
  // Invalid when not finite or outside years 100..9999.
  CDateTime(double dateTime);  // NOLINT: converts like the day count it wraps
  CDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

  // Now, from the process's clock (SetDateTimeClock).
  static CDateTime GetCurrentTime();
  // From linear seconds since day 0 (see GetTotalSeconds).
  static CDateTime FromSeconds(int64_t seconds);

  DateTimeStatus GetStatus() const { return m_status; }
  void SetStatus(DateTimeStatus status) { m_status = status; }
  bool IsValid() const { return m_status == valid; }
  double GetValue() const { return m_dt; }
  // Takes the count with the validity rules of the constructor.
  void SetValue(double dateTime);

  // Calendar parts; -1 for a value that is not valid. Day of week 1 Sunday .. 7 Saturday.
  int GetYear() const;
  int GetMonth() const;
  int GetDay() const;
  int GetHour() const;
  int GetMinute() const;
  int GetSecond() const;
  int GetDayOfWeek() const;

  // Seconds since day 0 on a linear scale (negative before it), rounded to the nearest second.
  // Only meaningful for valid values (0 otherwise).
  int64_t GetTotalSeconds() const;
  // floor(GetTotalSeconds / 86400) and the second of that day (0..86399).
  int64_t GetDayNumber() const;
  int32_t GetSecondOfDay() const;

  // strftime in the C locale ("%c" -> "%m/%d/%y %H:%M:%S", "%X" -> "%H:%M:%S"); empty when the
  // value is not valid.
  CString Format(const char* format) const;

  // Same status and same count; for valid values, equality of the rounded seconds.
  bool operator==(const CDateTime& other) const;
  bool operator!=(const CDateTime& other) const { return !(*this == other); }
  // Orders valid values by their rounded seconds.
  bool operator<(const CDateTime& other) const { return GetTotalSeconds() < other.GetTotalSeconds(); }

  void Serialize(CArchive& ar);
  // Registry value (path relative to the registry root).
  bool WriteToRegistry(RegArg path, RegArg name) const;
  // Missing or shorter than 8 bytes: def (day 0 without one).
  void ReadFromRegistry(RegArg path, RegArg name);
  void ReadFromRegistry(RegArg path, RegArg name, const CDateTime& def);

  double m_dt = 0.0;
  DateTimeStatus m_status = valid;
};

// The clock behind CDateTime::GetCurrentTime: a function returning the local date-time of now as a
// day count. Null restores the default (GetCurrentDateTime). Tests and the engine may set it; the
// setting is process-wide and safe to change while other threads read it.
using DateTimeClock = double (*)();
void SetDateTimeClock(DateTimeClock clock);
DateTimeClock GetDateTimeClock();
