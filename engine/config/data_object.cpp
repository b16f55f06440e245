#include "engine/config/data_object.h"

#include <cmath>
#include <utility>

#include "engine/config/reg_helpers.h"

TL_IMPLEMENT_SERIAL(CTLDataObject, CObject, 1)

// ---- CTLDataObject ----------------------------------------------------------------------------

namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool IsTextType(uint32_t type) {
  return type == TL_DATA_STRING || type == TL_DATA_GROUP || type == TL_DATA_PROFILE;
}

template <class T>
int Order(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

constexpr int kIncomparable = 2;

}  // namespace

void CTLDataObject::SetInteger(int32_t value) {
  *this = CTLDataObject();
  DataType = TL_DATA_INTEGER;
  nData = value;
}

void CTLDataObject::SetDWord(uint32_t value) {
  *this = CTLDataObject();
  DataType = TL_DATA_DWORD;
  dwData = value;
}

void CTLDataObject::SetString(std::string_view value) {
  *this = CTLDataObject();
  DataType = TL_DATA_STRING;
  strData.assign(value);
}

void CTLDataObject::SetDouble(double value) {
  *this = CTLDataObject();
  DataType = TL_DATA_DOUBLE;
  dData = value;
}

void CTLDataObject::CopyFrom(const CTLDataObject& other) {
  if (this == &other) return;
  DataType = other.DataType;
  dwData = other.dwData;
  nData = other.nData;
  dData = other.dData;
  strData = other.strData;
}

int CTLDataObject::Compare(const CTLDataObject& other) const {
  if (DataType != other.DataType) return kIncomparable;
  switch (DataType) {
    case TL_DATA_INTEGER:
    case TL_DATA_BOOLEAN:
      return Order(nData, other.nData);
    case TL_DATA_DWORD:
      return Order(dwData, other.dwData);
    case TL_DATA_DOUBLE:
      // Values from the network or the registry may be NaN: not comparable with anything.
      if (std::isnan(dData) || std::isnan(other.dData)) return kIncomparable;
      return Order(dData, other.dData);
    case TL_DATA_STRING:
    case TL_DATA_GROUP:
    case TL_DATA_PROFILE: {
      // Byte-wise, as unsigned bytes whatever the signedness of char.
      int c = std::string_view(strData).compare(other.strData);
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    default:
      return kIncomparable;
  }
}

bool CTLDataObject::IsEqual(const CTLDataObject& other) const {
  if (DataType != other.DataType) return false;
  if (IsTextType(DataType)) return EqualNoCase(strData, other.strData);
  return Compare(other) == 0;
}

bool CTLDataObject::EqualsText(std::string_view text) const { return EqualNoCase(strData, text); }

bool CTLDataObject::IsGreaterThan(const CTLDataObject& other) const { return Compare(other) == 1; }

bool CTLDataObject::IsLessThan(const CTLDataObject& other) const { return Compare(other) == -1; }

void CTLDataObject::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar << DataType << dwData << nData << dData << strData;
  } else {
    // Errors propagate (a criterion list loads all or nothing); the value keeps its content
    // until the whole form has been read.
    CTLDataObject v;
    ar >> v.DataType >> v.dwData >> v.nData >> v.dData >> v.strData;
    CopyFrom(v);
  }
}

bool CTLDataObject::Save(const CString& key) const {
  RegBatch batch;
  bool ok = RegWriteDWORD(key, "DataType", DataType);
  ok = RegWriteDWORD(key, "dwData", dwData) && ok;
  ok = RegWriteDWORD(key, "nData", static_cast<uint32_t>(nData)) && ok;
  ok = RegWriteDouble(key, "dData", dData) && ok;
  ok = RegWriteString(key, "strData", strData) && ok;
  return ok;
}

bool CTLDataObject::Load(const CString& key) {
  DataType = RegReadDWORD(key, "DataType", 0);
  dwData = RegReadDWORD(key, "dwData", 0);
  nData = static_cast<int32_t>(RegReadDWORD(key, "nData", 0));
  dData = RegReadDouble(key, "dData", 0.0);
  strData = RegReadString(key, "strData", "");
  return true;
}
