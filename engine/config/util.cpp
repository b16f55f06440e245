#include "engine/config/util.h"

#include <arpa/inet.h>
#include <locale.h>

#include <cmath>
#include <cstdio>
#include <cstring>

// ---- Text -------------------------------------------------------------------------------------

void ScrambleString(CString& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char>(static_cast<uint8_t>(text[i]) ^ static_cast<uint8_t>(2 * i + 2));
  }
}

void BytesToHexUnpadded(CString& out, const void* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  out.clear();
  const auto* p = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < count; ++i) {
    if (p[i] >= 0x10) out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 0x0F];
  }
}

void BytesToHex(CString& out, const void* bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  out.clear();
  out.reserve(count * 2);
  const auto* p = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < count; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 0x0F];
  }
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void URLDecode(std::string_view text, CString& out) {
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 && HexDigitValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
}

void URLEncodeSpaces(std::string_view text, CString& out) {
  out.clear();
  out.reserve(text.size());
  for (char c : text) {
    if (c == ' ') {
      out += "%20";
    } else {
      out += c;
    }
  }
}

void BackslashesToSlashes(CString& text) {
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
}

void BackslashesToSlashes(char* text) {
  if (!text) return;
  for (; *text; ++text) {
    if (*text == '\\') *text = '/';
  }
}

void FormatStringV(CString& out, const char* format, va_list args) {
  out.clear();
  if (!format) return;
  // Most texts fit a small buffer: formatted once there; a longer one is measured by that first
  // pass (widths, precisions and long arguments make any estimate unsafe) and formatted again.
  char small[512];
  va_list first;
  va_copy(first, args);
  int n = vsnprintf(small, sizeof small, format, first);
  va_end(first);
  if (n <= 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out.assign(small, static_cast<size_t>(n));
    return;
  }
  out.resize(static_cast<size_t>(n));
  va_list fill;
  va_copy(fill, args);
  int written = vsnprintf(out.data(), static_cast<size_t>(n) + 1, format, fill);
  va_end(fill);
  if (written != n) out.clear();
}

void FormatString(CString& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  FormatStringV(out, format, args);
  va_end(args);
}

CString FormatString(const char* format, ...) {
  CString out;
  va_list args;
  va_start(args, format);
  FormatStringV(out, format, args);
  va_end(args);
  return out;
}

CString FormatOperatorText(std::string_view format, std::initializer_list<std::string_view> args) {
  CString out;
  out.reserve(format.size());
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%' || i + 1 == format.size()) {
      out += c;
      continue;
    }
    char conv = format[i + 1];
    if (conv == '%') {
      out += '%';
      ++i;
    } else if ((conv == 's' || conv == 'u' || conv == 'd' || conv == 'i') && next != args.end()) {
      out.append(next->data(), next->size());
      ++next;
      ++i;
    } else {
      out += c;  // the sequence is copied as text; its next character follows in the loop
    }
  }
  return out;
}

// ---- Time -------------------------------------------------------------------------------------

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Day 0 of the count (1899-12-30) as days since 1970-01-01.
constexpr int64_t kDayCountEpoch = -25569;
// Years DateTimeToTm accepts, as day counts: 0100-01-01 and the end of 9999-12-31.
constexpr double kMinDateTime = -657434.0;
constexpr double kMaxDateTime = 2958466.0;

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Seconds since the count's epoch to the count form.
double SecondsToDateTime(int64_t seconds, double subSeconds = 0.0) {
  const int64_t day = FloorDiv(seconds, kSecondsPerDay);
  const double timeOfDay = (static_cast<double>(seconds - day * kSecondsPerDay) + subSeconds) /
                           static_cast<double>(kSecondsPerDay);
  return day >= 0 ? static_cast<double>(day) + timeOfDay : static_cast<double>(day) - timeOfDay;
}

// Seconds of the local wall clock since the day count's epoch.
int64_t LocalTmToSeconds(const struct tm& tm) {
  const int64_t year = static_cast<int64_t>(tm.tm_year) + 1900 + FloorDiv(tm.tm_mon, 12);
  const int64_t month = tm.tm_mon - FloorDiv(tm.tm_mon, 12) * 12;  // 0..11
  const int64_t days = DaysFromCivil(year, month + 1, 1) + (tm.tm_mday - 1) - kDayCountEpoch;
  return days * kSecondsPerDay + static_cast<int64_t>(tm.tm_hour) * 3600 + static_cast<int64_t>(tm.tm_min) * 60 +
         tm.tm_sec;
}

double LocalTmToDateTime(const struct tm& tm, double subSeconds) {
  return SecondsToDateTime(LocalTmToSeconds(tm), subSeconds);
}

double LocalDateTimeOf(time_t t, double subSeconds) {
  struct tm local {};
  if (!localtime_r(&t, &local)) return 0.0;
  return LocalTmToDateTime(local, subSeconds);
}

locale_t CLocale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

}  // namespace

int32_t GetTimeZoneBias() {
  time_t now = time(nullptr);
  struct tm local {};
  if (!localtime_r(&now, &local)) return 0;
  return static_cast<int32_t>(-local.tm_gmtoff / 60);
}

double GetCurrentDateTime() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  // Every rights check asks; the local time of a second is worked out once per thread (the
  // conversion takes the time zone's lock).
  thread_local time_t s_second = -1;
  thread_local int64_t s_local = 0;
  if (ts.tv_sec != s_second) {
    struct tm local {};
    if (!localtime_r(&ts.tv_sec, &local)) return 0.0;
    s_local = LocalTmToSeconds(local);
    s_second = ts.tv_sec;
  }
  return SecondsToDateTime(s_local, static_cast<double>(ts.tv_nsec) / 1e9);
}

uint64_t UnixTimeToFileTime(time_t t, uint32_t nanoseconds) {
  const int64_t ticks = static_cast<int64_t>(t) * static_cast<int64_t>(kFileTimeTicksPerSecond) +
                        static_cast<int64_t>(nanoseconds / 100);
  const int64_t ft = ticks + static_cast<int64_t>(kFileTimeUnixEpoch);
  return ft < 0 ? 0 : static_cast<uint64_t>(ft);
}

time_t FileTimeToUnixTime(uint64_t fileTime) {
  const int64_t seconds = static_cast<int64_t>(fileTime / kFileTimeTicksPerSecond);
  return static_cast<time_t>(seconds - static_cast<int64_t>(kFileTimeUnixEpoch / kFileTimeTicksPerSecond));
}

uint64_t GetCurrentFileTime() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return UnixTimeToFileTime(ts.tv_sec, static_cast<uint32_t>(ts.tv_nsec));
}

double FileTimeToLocalDateTime(uint64_t fileTime) {
  const double sub = static_cast<double>(fileTime % kFileTimeTicksPerSecond) / kFileTimeTicksPerSecond;
  return LocalDateTimeOf(FileTimeToUnixTime(fileTime), sub);
}

double TimeToLocalDateTime(time_t t) { return LocalDateTimeOf(t, 0.0); }

time_t LocalDateTimeToTime(double dateTime) {
  struct tm tm {};
  if (!DateTimeToTm(dateTime, &tm)) return static_cast<time_t>(-1);
  tm.tm_isdst = -1;
  return mktime(&tm);
}

double TmToDateTime(const struct tm& tm) { return LocalTmToDateTime(tm, 0.0); }

double MakeDateTime(int year, int month, int day, int hour, int minute, int second) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return TmToDateTime(tm);
}

bool DateTimeToTm(double dateTime, struct tm* out) {
  if (!out || !std::isfinite(dateTime) || dateTime < kMinDateTime || dateTime >= kMaxDateTime) {
    return false;
  }
  // The whole part names the day, the fraction's magnitude the time of day (also below zero).
  double whole = std::trunc(dateTime);
  int64_t day = static_cast<int64_t>(whole);
  int64_t seconds = std::llround(std::fabs(dateTime - whole) * kSecondsPerDay);
  if (seconds >= kSecondsPerDay) {
    ++day;
    seconds -= kSecondsPerDay;
  }
  const int64_t unixDays = day + kDayCountEpoch;
  int64_t y;
  int m, d;
  CivilFromDays(unixDays, &y, &m, &d);
  *out = {};
  out->tm_year = static_cast<int>(y - 1900);
  out->tm_mon = m - 1;
  out->tm_mday = d;
  out->tm_hour = static_cast<int>(seconds / 3600);
  out->tm_min = static_cast<int>(seconds / 60 % 60);
  out->tm_sec = static_cast<int>(seconds % 60);
  out->tm_wday = static_cast<int>(((unixDays % 7) + 7 + 4) % 7);  // 1970-01-01 was a Thursday
  out->tm_yday = static_cast<int>(unixDays - DaysFromCivil(y, 1, 1));
  out->tm_isdst = -1;
  return true;
}

CString FormatDateTime(double dateTime, const char* format) {
  struct tm tm {};
  if (!format || !DateTimeToTm(dateTime, &tm)) return CString();
  // One fixed rendering of the locale-dependent conversions, the same on every system.
  CString pattern;
  for (const char* p = format; *p; ++p) {
    if (*p != '%' || p[1] == '\0') {
      pattern += *p;
      continue;
    }
    ++p;
    switch (*p) {
      case 'c': pattern += "%m/%d/%y %H:%M:%S"; break;
      case 'x': pattern += "%m/%d/%y"; break;
      case 'X': pattern += "%H:%M:%S"; break;
      default:
        pattern += '%';
        pattern += *p;
        break;
    }
  }
  if (pattern.empty()) return CString();
  locale_t loc = CLocale();
  for (size_t size = 256; size <= 65536; size *= 4) {
    CString out(size, '\0');
    size_t n = loc ? strftime_l(out.data(), size, pattern.c_str(), &tm, loc)
                   : strftime(out.data(), size, pattern.c_str(), &tm);
    if (n > 0) {
      out.resize(n);
      return out;
    }
  }
  return CString();
}

// ---- IPv4 -------------------------------------------------------------------------------------

bool TryParseIPAddress(const char* text, uint32_t* out) {
  if (!text || strnlen(text, 16) > 15) return false;
  struct in_addr a {};
  if (inet_pton(AF_INET, text, &a) != 1) return false;
  if (out) *out = ntohl(a.s_addr);
  return true;
}

bool TryParseIPAddress(const CString& text, uint32_t* out) {
  if (text.size() > 15 || text.find('\0') != CString::npos) return false;
  return TryParseIPAddress(text.c_str(), out);
}

uint32_t ParseIPAddress(const char* text) {
  uint32_t a = 0;
  return TryParseIPAddress(text, &a) ? a : 0xFFFFFFFFu;
}

uint32_t ParseIPAddress(const CString& text) {
  uint32_t a = 0;
  return TryParseIPAddress(text, &a) ? a : 0xFFFFFFFFu;
}

void FormatIPAddress(uint32_t address, CString& out) {
  // Written digit by digit: every session formats several addresses, and printf is slow at it.
  char buf[16];
  char* p = buf;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const unsigned v = (address >> shift) & 0xFF;
    if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
    if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
    *p++ = static_cast<char>('0' + v % 10);
    if (shift) *p++ = '.';
  }
  out.assign(buf, static_cast<size_t>(p - buf));
}

CString FormatIPAddress(uint32_t address) {
  CString out;
  FormatIPAddress(address, out);
  return out;
}

uint32_t GetClassfulMask(uint32_t address) {
  if ((address & 0x80000000u) == 0) return 0xFF000000u;
  if (address < 0xC0000000u) return 0xFFFF0000u;
  if (address < 0xE0000000u) return 0xFFFFFF00u;
  return 0xFFFFFFE0u;
}

bool IsSameNetwork(uint32_t a, uint32_t b) {
  const uint32_t mask = GetClassfulMask(a);
  return (b & mask) == (a & mask);
}

bool IsPrivateAddress(uint32_t address) {
  return (address & 0xFF000000u) == 0x0A000000u ||  // 10/8
         (address & 0xFFF00000u) == 0xAC100000u ||  // 172.16/12
         (address & 0xFFFF0000u) == 0xC0A80000u ||  // 192.168/16
         address == 0x7F000001u;                   // the loopback address itself only
}

CString Printable(CString text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return text;
}
