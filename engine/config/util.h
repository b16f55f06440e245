#pragma once
// Small utilities shared by the engine and the console: password scrambling, hexadecimal text,
// URL decoding, local date-times as day counts, formatted strings and IPv4 address helpers.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <string_view>

#include "engine/config/archive.h"  // CString

// ---- Text -------------------------------------------------------------------------------------

// Replaces byte i by byte i XOR ((2*i + 2) mod 256). Its own inverse. The result has the same
// length and may hold zero bytes, so it must be stored length-exact.
void ScrambleString(CString& text);

// Empties out, then appends each byte as "%x" (lower case, no leading zero).
void BytesToHexUnpadded(CString& out, const void* bytes, size_t count);
// Empties out, then appends each byte as "%02X".
void BytesToHex(CString& out, const void* bytes, size_t count);

// The value of one hexadecimal digit of either case, or -1.
int HexDigitValue(char c);
// "+" becomes a space and "%" followed by two hexadecimal digits becomes that byte. A "%" without
// two hexadecimal digits after it is copied as it stands. The result may hold zero bytes ("%00"):
// callers that turn it into a file name must refuse them.
void URLDecode(std::string_view text, CString& out);
// Replaces every space by "%20", nothing else.
void URLEncodeSpaces(std::string_view text, CString& out);
// Replaces every "\\" by "/" in place.
void BackslashesToSlashes(CString& text);
void BackslashesToSlashes(char* text);

// printf-style formatting into out (replacing its contents). Never truncates; an invalid
// conversion leaves out empty.
void FormatStringV(CString& out, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
void FormatString(CString& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
CString FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Fills a text the operator may have reworded (an error text from the registry). Only "%s", "%u",
// "%d" and "%i" are replaced, in order, by the already rendered args; "%%" gives "%". Any other
// "%" sequence, and conversions beyond the args, are copied as they stand, so a reworded text can
// never read what it was not given.
CString FormatOperatorText(std::string_view format, std::initializer_list<std::string_view> args);
// A client's text as it may be shown in a log line or on a screen: control characters and DEL
// become '?'.
CString Printable(CString text);

// ---- Time -------------------------------------------------------------------------------------
//
// A date-time is a day count: days since 30 December 1899 00:00, the fraction being the time of
// day. Dates before that day follow the usual convention of such counts: the whole part counts
// days back and the fraction still adds time of day (-1.25 is 29 December 1899 06:00).

// Minutes to add to local time to get UTC at this moment (-60 for UTC+1).
int32_t GetTimeZoneBias();

// The local date-time of now.
double GetCurrentDateTime();

// File times count 100-nanosecond ticks since 1 January 1601 UTC (the form the cache and other
// stored records use).
constexpr uint64_t kFileTimeTicksPerSecond = 10000000ULL;
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;  // 1970-01-01 as a file time
uint64_t UnixTimeToFileTime(time_t t, uint32_t nanoseconds = 0);
// Seconds since 1970 of a file time (rounded down).
time_t FileTimeToUnixTime(uint64_t fileTime);
uint64_t GetCurrentFileTime();

// The local date-time of a UTC instant, using the time-zone rules in force at that instant.
double FileTimeToLocalDateTime(uint64_t fileTime);
double TimeToLocalDateTime(time_t t);
// The instant of a local date-time (mktime rules for times that do not exist or occur twice).
// (time_t)-1 when the count is out of range.
time_t LocalDateTimeToTime(double dateTime);

// Calendar conversions, no time zone involved. TmToDateTime reads tm_year, tm_mon, tm_mday,
// tm_hour, tm_min and tm_sec (out-of-range fields carry over as in mktime). DateTimeToTm fills
// every calendar field including tm_wday and tm_yday, rounds to the nearest second and sets
// tm_isdst to -1; false for counts that are not finite or beyond years 100..9999.
double TmToDateTime(const struct tm& tm);
bool DateTimeToTm(double dateTime, struct tm* out);
double MakeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

// strftime of a day count in the C locale, whatever the process locale. "%c" renders as
// "%m/%d/%y %H:%M:%S", "%x" as "%m/%d/%y" and "%X" as "%H:%M:%S". Empty for a count that
// DateTimeToTm refuses.
CString FormatDateTime(double dateTime, const char* format);

// ---- IPv4 -------------------------------------------------------------------------------------
// Addresses are 32-bit numbers in host byte order (127.0.0.1 is 0x7F000001).

// Strict dotted quad: four decimal numbers 0-255 without leading zeros or anything around them.
bool TryParseIPAddress(const char* text, uint32_t* out);
bool TryParseIPAddress(const CString& text, uint32_t* out);
// 0xFFFFFFFF for text that is not a dotted quad (use TryParseIPAddress to tell it from
// 255.255.255.255).
uint32_t ParseIPAddress(const char* text);
uint32_t ParseIPAddress(const CString& text);
// "%u.%u.%u.%u".
void FormatIPAddress(uint32_t address, CString& out);
CString FormatIPAddress(uint32_t address);
// 255.0.0.0 below 128.0.0.0, 255.255.0.0 below 192.0.0.0, 255.255.255.0 below 224.0.0.0,
// 255.255.255.224 above.
uint32_t GetClassfulMask(uint32_t address);
// b lies in a's classful network.
bool IsSameNetwork(uint32_t a, uint32_t b);
// 10/8, 172.16/12, 192.168/16 and 127.0.0.1 alone.
bool IsPrivateAddress(uint32_t address);
