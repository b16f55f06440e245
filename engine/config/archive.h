#pragma once
// The archive codec shared by the engine and the console.
//
// Byte form (both ends follow it exactly; every reader treats the bytes as untrusted):
//
//   Text            CString is std::string: 8-bit bytes, no terminator, no character-set conversion.
//   Integers        little-endian: uint8, uint16, uint32, int32, uint64, int64 at their natural widths.
//   double          IEEE 754 binary64, 8 bytes little-endian.
//   String          length, then that many bytes:
//                     length < 255            one byte
//                     255 .. 65534            0xFF, then u16 length
//                     65535 and longer        0xFF, u16 0xFFFF, then u32 length
//                   Texts are never UTF-16: 0xFF, u16 0xFFFE is simply a length of 65534.
//                   Longer encodings of short lengths are accepted on read; the writer always uses
//                   the shortest unambiguous form.
//   Count           (element counts of the string map, list and array collections)
//                     n < 0xFFFF              u16 n
//                     otherwise               u16 0xFFFF, then u32 n
//                   The object map (CLockableMap) writes its count as a plain u32.
//   Object          (class-tagged form, WriteObject/ReadObject)
//                     null pointer            u16 0x0000
//                     first object of a class u16 0xFFFF, u16 schema, u16 name length, name bytes,
//                                             then the object's Serialize output
//                     later object, same class u16 (0x8000 | class index), then Serialize output
//                   Classes and objects share one index counter that starts at 1 in every archive:
//                   each class seen for the first time takes the next index, then each object
//                   written takes the next one. An index >= 0x7FFF uses the big form: u16 0x7FFF,
//                   then u32 (0x80000000 | index) for a class reference. Objects are never written
//                   as back-references, so a reader refuses any tag that refers to an earlier object
//                   (u16 below 0x8000 other than 0 and 0x7FFF, or a big tag without 0x80000000).
//                   A schema different from the registered class's schema is refused, and so is a
//                   class name that is unknown, not creatable by name, or outside the base class the
//                   reader expects.
//   Collections     (lockable.h)
//                     CLockableMap        u32 count; per entry, in key order: key (string), the
//                                         element's run-time class name (string), the element's
//                                         Serialize output (no length: an unknown class name
//                                         ends the read)
//                     CLockableStringMap  count; per entry key and value (strings), in key order
//                     CLockableList/Array count; each element in the object form (null allowed)
//
// Reading is bounded: the archive knows how many bytes are left, checks every length and count
// against them before allocating (a count of N elements needs at least N bytes) and throws
// CArchiveException on any short or malformed input. It never reads past its buffer. Objects read
// inside objects (tagged objects, object-map elements) nest at most 64 deep.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/config/object.h"

using CString = std::string;

class CArchiveException : public std::exception {
 public:
  enum Cause {
    generic = 1,
    endOfFile,     // fewer bytes left than the form needs
    badIndex,      // object tag that names no class read so far, or a back-reference
    badClass,      // unknown class, not creatable, or outside the expected base
    badSchema,     // schema differs from the registered class's
    badLength,     // malformed or impossible length/count
    wrongMode,     // a read on a storing archive or a write on a loading one
    tooLarge,      // a value that the byte form cannot carry
  };

  CArchiveException(Cause cause, std::string text);
  Cause GetCause() const noexcept { return m_cause; }
  const char* what() const noexcept override { return m_text.c_str(); }

 private:
  Cause m_cause;
  std::string m_text;
};

class CArchive {
 public:
  enum Mode { store, load };

  // A storing archive that writes into its own growing byte vector (mode load gives an empty
  // loading archive).
  explicit CArchive(Mode mode = store);
  // A loading archive over bytes the caller keeps alive for the archive's lifetime.
  CArchive(const uint8_t* data, size_t n);
  CArchive(const CArchive&) = delete;
  CArchive& operator=(const CArchive&) = delete;

  bool IsStoring() const { return m_storing; }
  bool IsLoading() const { return !m_storing; }

  // Storing: the bytes written so far.
  const std::vector<uint8_t>& Bytes() const { return m_out; }
  std::vector<uint8_t> TakeBytes() { return std::move(m_out); }
  // Loading: bytes not read yet (0 for a storing archive).
  size_t BytesLeft() const { return m_storing ? 0 : m_size - m_pos; }

  // Raw bytes.
  void Write(const void* data, size_t n);
  void Read(void* data, size_t n);

  CArchive& operator<<(uint8_t v);
  CArchive& operator<<(uint16_t v);
  CArchive& operator<<(uint32_t v);
  CArchive& operator<<(int32_t v);
  CArchive& operator<<(uint64_t v);
  CArchive& operator<<(int64_t v);
  CArchive& operator<<(double v);
  CArchive& operator<<(const CString& s) { WriteString(s); return *this; }
  CArchive& operator<<(const char* s) { WriteString(s); return *this; }
  // A flag has no width of its own: callers choose one (usually int32 or uint32).
  CArchive& operator<<(bool) = delete;

  CArchive& operator>>(uint8_t& v);
  CArchive& operator>>(uint16_t& v);
  CArchive& operator>>(uint32_t& v);
  CArchive& operator>>(int32_t& v);
  CArchive& operator>>(uint64_t& v);
  CArchive& operator>>(int64_t& v);
  CArchive& operator>>(double& v);
  CArchive& operator>>(CString& s) { s = ReadString(); return *this; }
  CArchive& operator>>(bool&) = delete;

  void WriteString(std::string_view s);
  CString ReadString();

  // Collection counts (u16 with an escape to u32).
  void WriteCount(uint64_t n);
  // Reads a count and refuses it unless n * minBytesEach bytes are still left.
  size_t ReadCount(size_t minBytesEach = 1);
  // Throws unless at least n * minBytesEach bytes are left (loading).
  void CheckAvailable(uint64_t n, size_t minBytesEach = 1) const;

  // Class-tagged objects. Writing refuses objects whose class cannot be created by name, since no
  // reader could rebuild them.
  void WriteObject(const CObject* obj);
  // Reads one tagged object: null for the null tag; throws CArchiveException for an unknown class,
  // a class without a factory, or one not derived from expectedBase (a null expectedBase refuses
  // every class).
  std::shared_ptr<CObject> ReadObject(const CRuntimeClass* expectedBase);
  // The same, typed: T names its own run-time class.
  template <class T>
  std::shared_ptr<T> ReadObjectAs() {
    auto obj = ReadObject(T::GetThisClass());
    auto typed = std::dynamic_pointer_cast<T>(obj);
    if (obj && !typed) ThrowClassMismatch();
    return typed;
  }

  // Held while an object is read inside another one; refuses nesting deeper than a stream of
  // real configuration ever has, so a hostile stream cannot exhaust the stack.
  class NestingGuard {
   public:
    explicit NestingGuard(CArchive& ar);
    ~NestingGuard() { --m_ar.m_depth; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

   private:
    CArchive& m_ar;
  };

 private:
  [[noreturn]] static void ThrowClassMismatch();
  void Need(size_t n) const;
  void RequireStoring() const;
  void RequireLoading() const;
  template <class U>
  void PutLE(U v);
  template <class U>
  U GetLE();
  void WriteTag(uint32_t index, bool classRef);
  uint32_t NextIndex();

  bool m_storing;
  std::vector<uint8_t> m_out;
  const uint8_t* m_data = nullptr;
  size_t m_size = 0;
  size_t m_pos = 0;

  // One counter for classes and objects, shared by both directions' bookkeeping.
  uint32_t m_nextIndex = 1;
  std::unordered_map<const CRuntimeClass*, uint32_t> m_storedClasses;
  // Loading: the class of each index that names a class; null for indexes taken by objects.
  std::vector<const CRuntimeClass*> m_loadedIndex;
  int m_depth = 0;  // objects being read inside objects
};
