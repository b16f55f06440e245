#pragma once
// A growable block of bytes, used to gather request headers and other input until a pattern
// (such as the blank line ending a header) turns up. Input comes from peers, so growth is capped:
// an append that would pass the cap fails and leaves the buffer as it was.
#include <cstddef>
#include <cstdint>

class CByteBuffer {
 public:
  static constexpr size_t kDefaultMaxLength = size_t{64} << 20;  // 64 MiB

  CByteBuffer() = default;
  explicit CByteBuffer(size_t maxLength) : m_maxLength(maxLength) {}
  ~CByteBuffer();
  CByteBuffer(const CByteBuffer&) = delete;
  CByteBuffer& operator=(const CByteBuffer&) = delete;
  CByteBuffer(CByteBuffer&& other) noexcept;
  CByteBuffer& operator=(CByteBuffer&& other) noexcept;

  // Appends n bytes: 1 on success, 0 (buffer unchanged) when the length would pass the cap or
  // memory runs out. Appending nothing succeeds.
  int Append(const void* bytes, size_t n);
  // Lowers the length by n, not below 0. The bytes stay in the block.
  void Shrink(size_t n);
  // Frees the block; capacity and length become 0. The cap stays.
  void Empty();
  // The data address plus the smaller of offset and the length (null while no block is held).
  uint8_t* GetPointer(size_t offset = 0);
  const uint8_t* GetPointer(size_t offset = 0) const;
  // Index of the first match of the n-byte pattern at or after from; -1 when there is none, when
  // n is not positive or when pattern is null.
  ptrdiff_t Find(const void* pattern, ptrdiff_t n, size_t from = 0) const;

  size_t GetLength() const { return m_length; }
  size_t GetCapacity() const { return m_capacity; }
  size_t GetMaxLength() const { return m_maxLength; }
  // Lowering the cap below the present length refuses further appends but keeps the data.
  void SetMaxLength(size_t maxLength) { m_maxLength = maxLength; }

 private:
  uint8_t* m_data = nullptr;
  size_t m_capacity = 0;
  size_t m_length = 0;
  size_t m_maxLength = kDefaultMaxLength;
};
