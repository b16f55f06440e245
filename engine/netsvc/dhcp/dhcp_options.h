#pragma once
// DHCP options as the console edits them and the server sends them: one option (code, length and
// up to 252 data bytes) and a container of options keyed by code with a mutex of its own.
//
// Registry form of an option (under "<key>\\<code>"): "Option" (DWORD code), "OptionLength"
// (DWORD), "OptionData" (binary). Archive form: code byte, length byte, then each data byte as a
// 16-bit word (low byte = the data byte). A length above 252 in either form is cut to 252, and a
// registry length is never believed beyond the bytes "OptionData" really holds.
//
// Lock order: a container's mutex is a leaf; CopyFrom takes both containers' mutexes together.
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

#include "engine/config/object.h"
#include "engine/config/util.h"

class CDHCPOption : public CObject {
  TL_DECLARE_SERIAL(CDHCPOption)

 public:
  static constexpr size_t kMaxData = 252;

  CDHCPOption() = default;
  CDHCPOption(uint8_t code, const void* data, size_t length);

  void Serialize(CArchive& ar) override;
  bool Save(const CString& key) const;
  // False (nothing changed) when the key holds no option.
  bool Load(const CString& key);

  // Stores at most kMaxData bytes.
  void SetData(const void* data, size_t length);
  // Four bytes in network order.
  void SetAddress(uint32_t addressHostOrder);

  uint8_t Code = 0;
  uint8_t Length = 0;  // never above kMaxData
  uint8_t Data[kMaxData] = {};
};

class CDHCPOptionsContainer : public CObject {
  TL_DECLARE_SERIAL(CDHCPOptionsContainer)

 public:
  CDHCPOptionsContainer() = default;
  CDHCPOptionsContainer(const CDHCPOptionsContainer& other);
  CDHCPOptionsContainer& operator=(const CDHCPOptionsContainer&) = delete;

  void SetOption(const CDHCPOption& option);
  std::optional<CDHCPOption> GetOption(uint8_t code) const;
  bool RemoveOption(uint8_t code);
  void RemoveAll();
  size_t GetCount() const;
  // In code order.
  std::map<uint8_t, CDHCPOption> Snapshot() const;
  // Becomes a copy of other (options other lacks go).
  void CopyFrom(const CDHCPOptionsContainer& other);

  // Archive: u32 count, then per option its code byte and the option's own form.
  void Serialize(CArchive& ar) override;
  // Each option under "<key>\\<code>"; options that are no longer held are deleted.
  bool Save(const CString& key) const;
  // Replaces the content with the options stored under key.
  void Load(const CString& key);

 private:
  mutable std::recursive_mutex m_mutex;
  std::map<uint8_t, CDHCPOption> m_options;
};
