#include "engine/config/byte_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {
// Room added beyond what an append needs, so a run of small appends does not reallocate each time.
constexpr size_t kSlack = 512;
}  // namespace

CByteBuffer::~CByteBuffer() { std::free(m_data); }

CByteBuffer::CByteBuffer(CByteBuffer&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr)),
      m_capacity(std::exchange(other.m_capacity, 0)),
      m_length(std::exchange(other.m_length, 0)),
      m_maxLength(other.m_maxLength) {}

CByteBuffer& CByteBuffer::operator=(CByteBuffer&& other) noexcept {
  if (this != &other) {
    std::free(m_data);
    m_data = std::exchange(other.m_data, nullptr);
    m_capacity = std::exchange(other.m_capacity, 0);
    m_length = std::exchange(other.m_length, 0);
    m_maxLength = other.m_maxLength;
  }
  return *this;
}

int CByteBuffer::Append(const void* bytes, size_t n) {
  if (n == 0) return 1;
  if (!bytes) return 0;
  // The cap also keeps every size computation below far from overflow.
  if (n > m_maxLength || m_length > m_maxLength - n) return 0;
  const size_t needed = m_length + n;
  if (needed > m_capacity) {
    // Grow by at least half the block so that a long run of appends stays linear.
    size_t want = std::max(needed + kSlack, m_capacity + m_capacity / 2);
    want = std::min(want, m_maxLength + kSlack);
    void* grown = std::realloc(m_data, want);
    if (!grown) return 0;
    m_data = static_cast<uint8_t*>(grown);
    m_capacity = want;
  }
  std::memcpy(m_data + m_length, bytes, n);
  m_length = needed;
  return 1;
}

void CByteBuffer::Shrink(size_t n) { m_length = n >= m_length ? 0 : m_length - n; }

void CByteBuffer::Empty() {
  std::free(m_data);
  m_data = nullptr;
  m_capacity = 0;
  m_length = 0;
}

uint8_t* CByteBuffer::GetPointer(size_t offset) {
  return m_data ? m_data + std::min(offset, m_length) : nullptr;
}

const uint8_t* CByteBuffer::GetPointer(size_t offset) const {
  return m_data ? m_data + std::min(offset, m_length) : nullptr;
}

ptrdiff_t CByteBuffer::Find(const void* pattern, ptrdiff_t n, size_t from) const {
  if (!pattern || n <= 0 || !m_data || from >= m_length) return -1;
  const size_t len = static_cast<size_t>(n);
  if (len > m_length - from) return -1;
  const void* hit = memmem(m_data + from, m_length - from, pattern, len);
  return hit ? static_cast<const uint8_t*>(hit) - m_data : -1;
}
