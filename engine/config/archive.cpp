#include "engine/config/archive.h"

#include <cstring>
#include <utility>

namespace {

constexpr uint16_t kNullTag = 0x0000;
constexpr uint16_t kNewClassTag = 0xFFFF;
constexpr uint16_t kClassTag = 0x8000;
constexpr uint16_t kBigObjectTag = 0x7FFF;
constexpr uint32_t kBigClassTag = 0x80000000u;
constexpr uint32_t kMaxIndex = 0x7FFFFFFFu;

// Objects may hold objects; a stream nesting them without end must not exhaust the stack.
constexpr int kMaxObjectDepth = 64;

}  // namespace

CArchiveException::CArchiveException(Cause cause, std::string text)
    : m_cause(cause), m_text("archive: " + std::move(text)) {}

CArchive::CArchive(Mode mode) : m_storing(mode == store) { m_loadedIndex.push_back(nullptr); }

CArchive::CArchive(const uint8_t* data, size_t n) : m_storing(false), m_data(data), m_size(data ? n : 0) {
  m_loadedIndex.push_back(nullptr);
}

CArchive::NestingGuard::NestingGuard(CArchive& ar) : m_ar(ar) {
  if (m_ar.m_depth >= kMaxObjectDepth) {
    throw CArchiveException(CArchiveException::badLength, "objects nested too deeply");
  }
  ++m_ar.m_depth;
}

void CArchive::ThrowClassMismatch() {
  throw CArchiveException(CArchiveException::badClass, "object is not of the expected type");
}

void CArchive::RequireStoring() const {
  if (!m_storing) throw CArchiveException(CArchiveException::wrongMode, "write on a loading archive");
}

void CArchive::RequireLoading() const {
  if (m_storing) throw CArchiveException(CArchiveException::wrongMode, "read on a storing archive");
}

void CArchive::Need(size_t n) const {
  RequireLoading();
  if (n > m_size - m_pos) {
    throw CArchiveException(CArchiveException::endOfFile,
                            "needs " + std::to_string(n) + " bytes, " + std::to_string(m_size - m_pos) + " left");
  }
}

void CArchive::CheckAvailable(uint64_t n, size_t minBytesEach) const {
  RequireLoading();
  if (minBytesEach == 0) return;
  if (n > BytesLeft() / minBytesEach) {
    throw CArchiveException(CArchiveException::badLength,
                            "count " + std::to_string(n) + " exceeds the " + std::to_string(BytesLeft()) + " bytes left");
  }
}

void CArchive::Write(const void* data, size_t n) {
  RequireStoring();
  if (n == 0) return;
  const auto* p = static_cast<const uint8_t*>(data);
  m_out.insert(m_out.end(), p, p + n);
}

void CArchive::Read(void* data, size_t n) {
  Need(n);
  if (n == 0) return;
  std::memcpy(data, m_data + m_pos, n);
  m_pos += n;
}

template <class U>
void CArchive::PutLE(U v) {
  RequireStoring();
  for (size_t i = 0; i < sizeof(U); ++i) m_out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

template <class U>
U CArchive::GetLE() {
  Need(sizeof(U));
  U v = 0;
  for (size_t i = 0; i < sizeof(U); ++i) v |= static_cast<U>(static_cast<U>(m_data[m_pos + i]) << (8 * i));
  m_pos += sizeof(U);
  return v;
}

CArchive& CArchive::operator<<(uint8_t v) { PutLE(v); return *this; }
CArchive& CArchive::operator<<(uint16_t v) { PutLE(v); return *this; }
CArchive& CArchive::operator<<(uint32_t v) { PutLE(v); return *this; }
CArchive& CArchive::operator<<(int32_t v) { PutLE(static_cast<uint32_t>(v)); return *this; }
CArchive& CArchive::operator<<(uint64_t v) { PutLE(v); return *this; }
CArchive& CArchive::operator<<(int64_t v) { PutLE(static_cast<uint64_t>(v)); return *this; }
CArchive& CArchive::operator<<(double v) {
  uint64_t bits;
  static_assert(sizeof bits == sizeof v);
  std::memcpy(&bits, &v, sizeof bits);
  PutLE(bits);
  return *this;
}

CArchive& CArchive::operator>>(uint8_t& v) { v = GetLE<uint8_t>(); return *this; }
CArchive& CArchive::operator>>(uint16_t& v) { v = GetLE<uint16_t>(); return *this; }
CArchive& CArchive::operator>>(uint32_t& v) { v = GetLE<uint32_t>(); return *this; }
CArchive& CArchive::operator>>(int32_t& v) { v = static_cast<int32_t>(GetLE<uint32_t>()); return *this; }
CArchive& CArchive::operator>>(uint64_t& v) { v = GetLE<uint64_t>(); return *this; }
CArchive& CArchive::operator>>(int64_t& v) { v = static_cast<int64_t>(GetLE<uint64_t>()); return *this; }
CArchive& CArchive::operator>>(double& v) {
  uint64_t bits = GetLE<uint64_t>();
  std::memcpy(&v, &bits, sizeof v);
  return *this;
}

void CArchive::WriteString(std::string_view s) {
  RequireStoring();
  const size_t n = s.size();
  if (n < 0xFF) {
    PutLE(static_cast<uint8_t>(n));
  } else if (n < 0xFFFF) {
    PutLE(static_cast<uint8_t>(0xFF));
    PutLE(static_cast<uint16_t>(n));
  } else if (n <= 0xFFFFFFFFu) {
    PutLE(static_cast<uint8_t>(0xFF));
    PutLE(static_cast<uint16_t>(0xFFFF));
    PutLE(static_cast<uint32_t>(n));
  } else {
    throw CArchiveException(CArchiveException::tooLarge, "string longer than 4 GiB");
  }
  Write(s.data(), n);
}

CString CArchive::ReadString() {
  size_t n = GetLE<uint8_t>();
  if (n == 0xFF) {
    const uint16_t w = GetLE<uint16_t>();
    n = (w == 0xFFFF) ? GetLE<uint32_t>() : w;
  }
  Need(n);
  CString s(reinterpret_cast<const char*>(m_data + m_pos), n);
  m_pos += n;
  return s;
}

void CArchive::WriteCount(uint64_t n) {
  if (n < 0xFFFF) {
    PutLE(static_cast<uint16_t>(n));
  } else if (n <= 0xFFFFFFFFu) {
    PutLE(static_cast<uint16_t>(0xFFFF));
    PutLE(static_cast<uint32_t>(n));
  } else {
    throw CArchiveException(CArchiveException::tooLarge, "count above 32 bits");
  }
}

size_t CArchive::ReadCount(size_t minBytesEach) {
  uint32_t n = GetLE<uint16_t>();
  if (n == 0xFFFF) n = GetLE<uint32_t>();
  CheckAvailable(n, minBytesEach);
  return n;
}

uint32_t CArchive::NextIndex() {
  if (m_nextIndex > kMaxIndex) {
    throw CArchiveException(CArchiveException::tooLarge, "too many objects in one archive");
  }
  return m_nextIndex++;
}

void CArchive::WriteTag(uint32_t index, bool classRef) {
  if (index < kBigObjectTag) {
    PutLE(static_cast<uint16_t>((classRef ? kClassTag : 0) | index));
  } else {
    PutLE(kBigObjectTag);
    PutLE((classRef ? kBigClassTag : 0) | index);
  }
}

void CArchive::WriteObject(const CObject* obj) {
  RequireStoring();
  if (obj == nullptr) {
    PutLE(kNullTag);
    return;
  }
  const CRuntimeClass* cls = obj->GetRuntimeClass();
  if (cls == nullptr || cls->m_createObject == nullptr) {
    throw CArchiveException(CArchiveException::badClass,
                            std::string("class cannot be created by name: ") +
                                (cls && cls->m_className ? cls->m_className : "?"));
  }
  auto it = m_storedClasses.find(cls);
  if (it == m_storedClasses.end()) {
    const size_t len = std::strlen(cls->m_className);
    if (len > 0xFFFF) throw CArchiveException(CArchiveException::tooLarge, "class name too long");
    PutLE(kNewClassTag);
    PutLE(cls->m_schema);
    PutLE(static_cast<uint16_t>(len));
    Write(cls->m_className, len);
    m_storedClasses.emplace(cls, NextIndex());
  } else {
    WriteTag(it->second, true);
  }
  NextIndex();  // the object's own index; never referred to, since objects are not shared
  const_cast<CObject*>(obj)->Serialize(*this);
}

std::shared_ptr<CObject> CArchive::ReadObject(const CRuntimeClass* expectedBase) {
  const uint16_t tag = GetLE<uint16_t>();
  if (tag == kNullTag) return nullptr;

  const CRuntimeClass* cls = nullptr;
  bool newClass = false;
  if (tag == kNewClassTag) {
    const uint16_t schema = GetLE<uint16_t>();
    const uint16_t len = GetLE<uint16_t>();
    Need(len);
    const std::string_view name(reinterpret_cast<const char*>(m_data + m_pos), len);
    m_pos += len;
    cls = CRuntimeClass::FromName(name);
    if (cls == nullptr) throw CArchiveException(CArchiveException::badClass, "unknown class " + std::string(name));
    if (cls->m_schema != schema) {
      throw CArchiveException(CArchiveException::badSchema,
                              "class " + std::string(name) + " schema " + std::to_string(schema) + ", expected " +
                                  std::to_string(cls->m_schema));
    }
    newClass = true;
  } else {
    uint32_t index;
    bool classRef;
    if (tag == kBigObjectTag) {
      const uint32_t big = GetLE<uint32_t>();
      classRef = (big & kBigClassTag) != 0;
      index = big & ~kBigClassTag;
    } else {
      classRef = (tag & kClassTag) != 0;
      index = tag & ~kClassTag;
    }
    if (!classRef) throw CArchiveException(CArchiveException::badIndex, "reference to an earlier object");
    if (index == 0 || index >= m_loadedIndex.size() || m_loadedIndex[index] == nullptr) {
      throw CArchiveException(CArchiveException::badIndex, "class index " + std::to_string(index) + " not defined");
    }
    cls = m_loadedIndex[index];
  }

  if (expectedBase == nullptr || !cls->IsDerivedFrom(expectedBase)) {
    throw CArchiveException(CArchiveException::badClass,
                            std::string("class ") + cls->m_className + " not allowed here");
  }
  std::shared_ptr<CObject> obj = cls->CreateObject();
  if (!obj) {
    throw CArchiveException(CArchiveException::badClass,
                            std::string("class ") + cls->m_className + " cannot be created by name");
  }
  if (newClass) {
    NextIndex();
    m_loadedIndex.push_back(cls);
  }
  NextIndex();
  m_loadedIndex.push_back(nullptr);

  NestingGuard nesting(*this);
  obj->Serialize(*this);
  return obj;
}
