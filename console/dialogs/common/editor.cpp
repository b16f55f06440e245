#include "console/dialogs/common/editor.h"

#include <cctype>

#include "engine/access/filter_component.h"
#include "engine/access/location.h"

CString ControlName(int id) { return "c" + std::to_string(id); }

CString IntegerRangeText(uint64_t min, uint64_t max) {
  return "Please enter an integer between " + std::to_string(min) + " and " + std::to_string(max) + ".";
}

static CString Trimmed(const CString& text) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  return text.substr(b, e - b);
}

std::optional<uint64_t> ParseUnsigned(const CString& text, uint64_t min, uint64_t max) {
  const CString t = Trimmed(text);
  if (t.empty() || t.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    // Overflow of 64 bits is out of every range a field has.
    if (v > (UINT64_MAX - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  if (v < min || v > max) return std::nullopt;
  return v;
}

bool ReadUnsigned(const CString& text, int control, uint64_t min, uint64_t max, uint64_t* value, FieldError* error) {
  if (auto v = ParseUnsigned(text, min, max)) {
    *value = *v;
    return true;
  }
  // A number at all (only out of range) gets the range; anything else the plain request.
  const bool number = ParseUnsigned(text, 0, UINT64_MAX).has_value();
  *error = FieldError{control, number ? IntegerRangeText(min, max) : CString(kTextEnterPositiveInteger)};
  return false;
}

std::optional<CCurrency> ParseCurrency(const CString& text) {
  const CString t = Trimmed(text);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  __int128 units = 0;
  int digits = 0, decimals = -1;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    if (c == '.' && decimals < 0) {
      decimals = 0;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    if (decimals >= 0 && ++decimals > 4) return std::nullopt;
    units = units * 10 + (c - '0');
    if (++digits > 19) return std::nullopt;
  }
  if (digits == 0) return std::nullopt;
  for (int d = decimals < 0 ? 0 : decimals; d < 4; ++d) units *= 10;
  if (negative) units = -units;
  if (units > INT64_MAX || units < INT64_MIN) return std::nullopt;
  return CCurrency::FromUnits(static_cast<int64_t>(units));
}

bool ReadCurrency(const CString& text, int control, CCurrency* value, FieldError* error) {
  if (auto v = ParseCurrency(text)) {
    *value = *v;
    return true;
  }
  *error = FieldError{control, kTextEnterCurrency};
  return false;
}

bool CheckObjectName(const CString& name, Prompter& prompter) {
  if (IsValidObjectName(name)) return true;
  prompter.Message(kTitleInvalidName, kTextInvalidName, EDITOR_MB_STOP);
  return false;
}

std::shared_ptr<CObject> CloneObject(const CObject& obj) {
  CArchive out(CArchive::store);
  out.WriteObject(&obj);
  const std::vector<uint8_t>& bytes = out.Bytes();
  CArchive in(bytes.data(), bytes.size());
  auto copy = in.ReadObject(obj.GetRuntimeClass());
  if (!copy || in.BytesLeft() != 0) throw std::runtime_error("clone did not read back whole");
  return copy;
}

std::vector<uint8_t> ArchiveBytes(const CObject& obj) {
  CArchive out(CArchive::store);
  // Serialize is not const in the class library's form; storing does not change the object.
  const_cast<CObject&>(obj).Serialize(out);
  return out.TakeBytes();
}

CString InvalidLocationText(const CString& pattern) {
  return "The location \"" + pattern + "\" is not a valid address pattern";
}

bool CheckLocationPattern(const CString& pattern, Prompter& prompter) {
  if (CIPFilter::IsValidPattern(pattern)) return true;
  prompter.Message(kTitleInvalidLocation, InvalidLocationText(pattern), EDITOR_MB_STOP);
  return false;
}
