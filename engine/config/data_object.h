#pragma once
// The typed value of request criteria and of the variables they test: a signed or unsigned number,
// a text or a floating value, with the kind of a criterion's variable carried in its type.
//
// Archive form (schema 1, archive.h for the primitives):
//   CTLDataObject   u32 DataType; u32 dwData; i32 nData; double dData; string strData
//                   (all five whatever the type, so a reader never depends on the type to stay
//                   in step)
#include <cstdint>
#include <string_view>

#include "engine/config/archive.h"
#include "engine/config/object.h"

// Value types. 0-3 are the types of request variables; a criterion's value also carries the
// kind of its variable: 4 yes/no (held in nData), 6 group name and 8 dialer profile name (held in
// strData).
enum : uint32_t {
  TL_DATA_INTEGER = 0,
  TL_DATA_DWORD = 1,
  TL_DATA_STRING = 2,
  TL_DATA_DOUBLE = 3,
  TL_DATA_BOOLEAN = 4,
  TL_DATA_GROUP = 6,
  TL_DATA_PROFILE = 8,
};

class CTLDataObject : public CObject {
  TL_DECLARE_SERIAL(CTLDataObject)

 public:
  CTLDataObject() = default;

  // Each sets the type and its value; the other fields go back to 0 and "", so a value never
  // carries a stale field of an earlier type.
  void SetInteger(int32_t value);
  void SetDWord(uint32_t value);
  void SetString(std::string_view value);
  void SetDouble(double value);
  // Sets only the type (the kind of a criterion's variable), keeping the fields.
  void SetType(uint32_t type) { DataType = type; }

  void CopyFrom(const CTLDataObject& other);

  // False when the types differ or the type is unknown. Numbers (and yes/no) by value, floating
  // values by value (NaN equals nothing), texts (types 2, 6, 8) without regard to ASCII case.
  bool IsEqual(const CTLDataObject& other) const;
  // strData equals text without regard to ASCII case (whatever the type).
  bool EqualsText(std::string_view text) const;
  // this > other / this < other. False when the types differ, the type is unknown or a floating
  // value is NaN. Type 0 (and 4) signed, 1 unsigned, texts byte-wise, 3 floating.
  bool IsGreaterThan(const CTLDataObject& other) const;
  bool IsLessThan(const CTLDataObject& other) const;

  // Every field whatever the type; a short or malformed stream throws CArchiveException.
  void Serialize(CArchive& ar) override;

  // Registry form in key (relative to the root): DWORDs "DataType", "dwData", "nData", the
  // 8-byte binary "dData" and the string "strData". Save returns false when a write failed.
  // Load takes missing (or too short) values as 0 and "".
  bool Save(const CString& key) const;
  bool Load(const CString& key);

  uint32_t DataType = TL_DATA_INTEGER;
  uint32_t dwData = 0;
  int32_t nData = 0;
  double dData = 0;
  CString strData;

 private:
  // -1, 0, 1, or 2 when the two cannot be compared.
  int Compare(const CTLDataObject& other) const;
};
