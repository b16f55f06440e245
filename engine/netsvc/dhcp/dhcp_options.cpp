#include "engine/netsvc/dhcp/dhcp_options.h"

#include <algorithm>
#include <cstring>

#include "engine/config/archive.h"
#include "engine/config/reg_helpers.h"

TL_IMPLEMENT_SERIAL(CDHCPOption, CObject, 1)
TL_IMPLEMENT_SERIAL(CDHCPOptionsContainer, CObject, 1)

namespace {
// A decimal subkey name 0-255 (an option code).
bool ParseCode(const CString& text, uint32_t* out) {
  if (text.empty() || text.size() > 3) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v > 0xFF) return false;
  *out = v;
  return true;
}
}  // namespace

CDHCPOption::CDHCPOption(uint8_t code, const void* data, size_t length) : Code(code) { SetData(data, length); }

void CDHCPOption::SetData(const void* data, size_t length) {
  length = std::min(length, kMaxData);
  std::memset(Data, 0, sizeof Data);
  if (length > 0) std::memcpy(Data, data, length);
  Length = static_cast<uint8_t>(length);
}

void CDHCPOption::SetAddress(uint32_t a) {
  const uint8_t b[4] = {static_cast<uint8_t>(a >> 24), static_cast<uint8_t>(a >> 16), static_cast<uint8_t>(a >> 8),
                        static_cast<uint8_t>(a)};
  SetData(b, 4);
}

void CDHCPOption::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << Code << Length;
    for (size_t i = 0; i < Length; ++i) ar << static_cast<uint16_t>(Data[i]);
    return;
  }
  uint8_t code = 0, length = 0;
  ar >> code >> length;
  // The length byte goes up to 255 while the buffer holds 252: the words past it are read and
  // dropped, so the stream stays in step and nothing is written past the buffer.
  ar.CheckAvailable(length, 2);
  uint8_t data[kMaxData] = {};
  for (size_t i = 0; i < length; ++i) {
    uint16_t word = 0;
    ar >> word;
    if (i < kMaxData) data[i] = static_cast<uint8_t>(word & 0xFF);
  }
  Code = code;
  SetData(data, length);
}

bool CDHCPOption::Save(const CString& key) const {
  bool ok = RegWriteDWORD(key, "Option", Code);
  ok = RegWriteDWORD(key, "OptionLength", Length) && ok;
  return RegWriteBinary(key, "OptionData", Data, Length) && ok;
}

bool CDHCPOption::Load(const CString& key) {
  if (!RegValueExists(key, "Option")) return false;
  uint32_t code = RegReadDWORD(key, "Option", 0);
  if (code > 0xFF) return false;
  uint32_t length = RegReadDWORD(key, "OptionLength", 0);
  std::string bytes = RegReadBytes(key, "OptionData").value_or(std::string());
  // Never more than the stored bytes, never more than the buffer.
  size_t n = std::min<size_t>({length, bytes.size(), kMaxData});
  Code = static_cast<uint8_t>(code);
  SetData(bytes.data(), n);
  return true;
}

// ---- Container ------------------------------------------------------------------------------------

CDHCPOptionsContainer::CDHCPOptionsContainer(const CDHCPOptionsContainer& other) : CObject() {
  std::lock_guard g(other.m_mutex);
  m_options = other.m_options;
}

void CDHCPOptionsContainer::SetOption(const CDHCPOption& option) {
  std::lock_guard g(m_mutex);
  m_options[option.Code] = option;
}

std::optional<CDHCPOption> CDHCPOptionsContainer::GetOption(uint8_t code) const {
  std::lock_guard g(m_mutex);
  auto it = m_options.find(code);
  if (it == m_options.end()) return std::nullopt;
  return it->second;
}

bool CDHCPOptionsContainer::RemoveOption(uint8_t code) {
  std::lock_guard g(m_mutex);
  return m_options.erase(code) > 0;
}

void CDHCPOptionsContainer::RemoveAll() {
  std::lock_guard g(m_mutex);
  m_options.clear();
}

size_t CDHCPOptionsContainer::GetCount() const {
  std::lock_guard g(m_mutex);
  return m_options.size();
}

std::map<uint8_t, CDHCPOption> CDHCPOptionsContainer::Snapshot() const {
  std::lock_guard g(m_mutex);
  return m_options;
}

void CDHCPOptionsContainer::CopyFrom(const CDHCPOptionsContainer& other) {
  if (&other == this) return;
  std::scoped_lock g(m_mutex, other.m_mutex);
  m_options = other.m_options;
}

void CDHCPOptionsContainer::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    auto options = Snapshot();
    ar << static_cast<uint32_t>(options.size());
    for (auto& [code, option] : options) {
      ar << code;
      option.Serialize(ar);
    }
    return;
  }
  uint32_t count = 0;
  ar >> count;
  // Each option takes at least three bytes (key, code, length).
  ar.CheckAvailable(count, 3);
  std::map<uint8_t, CDHCPOption> read;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t key = 0;
    ar >> key;
    CDHCPOption option;
    option.Serialize(ar);
    // The option's own code decides where it goes; the key byte before it only repeats it.
    read[option.Code] = option;
  }
  std::lock_guard g(m_mutex);
  m_options = std::move(read);
}

bool CDHCPOptionsContainer::Save(const CString& key) const {
  auto options = Snapshot();
  bool ok = true;
  for (const CString& sub : RegEnumSubKeys(key)) {
    uint32_t code = 0;
    if (!ParseCode(sub, &code) || !options.count(static_cast<uint8_t>(code)))
      ok = RegDeleteKeyTree(key + "\\" + sub) && ok;
  }
  for (const auto& [code, option] : options) ok = option.Save(FormatString("%s\\%u", key.c_str(), code)) && ok;
  return ok;
}

void CDHCPOptionsContainer::Load(const CString& key) {
  std::map<uint8_t, CDHCPOption> read;
  for (const CString& sub : RegEnumSubKeys(key)) {
    CDHCPOption option;
    if (option.Load(key + "\\" + sub)) read[option.Code] = option;
  }
  std::lock_guard g(m_mutex);
  m_options = std::move(read);
}
