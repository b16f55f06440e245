#include "engine/config/byte_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

namespace {

CByteBuffer Filled(const std::string& s) {
  CByteBuffer b;
  EXPECT_EQ(b.Append(s.data(), s.size()), 1);
  return b;
}

std::string Contents(const CByteBuffer& b) {
  return b.GetLength() ? std::string(reinterpret_cast<const char*>(b.GetPointer(0)), b.GetLength()) : std::string();
}

TEST(ByteBufferFind, MatchStartingInsideAFailedPartialMatch) {
  CByteBuffer b = Filled("\r\n\r\r\n\r\n");
  EXPECT_EQ(b.Find("\r\n\r\n", 4), 3);
  CByteBuffer c = Filled("aaab");
  EXPECT_EQ(c.Find("aab", 3), 1);
}

TEST(ByteBufferFind, EdgeCases) {
  CByteBuffer b = Filled("GET / HTTP/1.0\r\n\r\nbody");
  EXPECT_EQ(b.Find("\r\n\r\n", 4), 14);
  EXPECT_EQ(b.Find("GET", 3), 0);
  EXPECT_EQ(b.Find("body", 4), 18);
  EXPECT_EQ(b.Find("bodyx", 5), -1);
  EXPECT_EQ(b.Find("GET", 0), -1);
  EXPECT_EQ(b.Find("GET", -3), -1);
  EXPECT_EQ(b.Find(nullptr, 3), -1);
  std::string longer(100, 'G');
  EXPECT_EQ(b.Find(longer.data(), static_cast<ptrdiff_t>(longer.size())), -1);
  // Searching from an offset.
  EXPECT_EQ(b.Find("\r\n", 2, 15), 16);
  EXPECT_EQ(b.Find("\r\n", 2, 1000), -1);
  CByteBuffer empty;
  EXPECT_EQ(empty.Find("a", 1), -1);
}

TEST(ByteBufferFind, AgreesWithPlainSearchOnRandomData) {
  std::mt19937 rng(42);
  for (int round = 0; round < 3000; ++round) {
    std::string hay, needle;
    const int hn = static_cast<int>(rng() % 24), nn = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < hn; ++i) hay += static_cast<char>('a' + rng() % 2);
    for (int i = 0; i < nn; ++i) needle += static_cast<char>('a' + rng() % 2);
    CByteBuffer b;
    ASSERT_EQ(b.Append(hay.data(), hay.size()), 1);
    const size_t pos = hay.find(needle);
    const ptrdiff_t expected = pos == std::string::npos ? -1 : static_cast<ptrdiff_t>(pos);
    EXPECT_EQ(b.Find(needle.data(), nn), expected) << hay << " / " << needle;
  }
}

TEST(ByteBuffer, AppendKeepsContentsAcrossGrowth) {
  CByteBuffer b;
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    std::string chunk = std::to_string(i) + ",";
    ASSERT_EQ(b.Append(chunk.data(), chunk.size()), 1);
    expected += chunk;
  }
  EXPECT_EQ(Contents(b), expected);
  EXPECT_GE(b.GetCapacity(), b.GetLength());
  EXPECT_EQ(b.Append("x", 0), 1);
  EXPECT_EQ(b.GetLength(), expected.size());
  EXPECT_EQ(b.Append(nullptr, 3), 0);
  EXPECT_EQ(b.GetLength(), expected.size());
}

TEST(ByteBuffer, ShrinkEmptyAndPointerBounds) {
  CByteBuffer b = Filled("abcdef");
  EXPECT_EQ(b.GetPointer(2)[0], 'c');
  EXPECT_EQ(b.GetPointer(6), b.GetPointer(0) + 6);
  EXPECT_EQ(b.GetPointer(1000), b.GetPointer(0) + 6);

  b.Shrink(2);
  EXPECT_EQ(Contents(b), "abcd");
  EXPECT_EQ(b.GetPointer(1000), b.GetPointer(0) + 4);
  // A match in the bytes beyond the length is not found.
  EXPECT_EQ(b.Find("ef", 2), -1);
  b.Shrink(100);
  EXPECT_EQ(b.GetLength(), 0u);
  EXPECT_NE(b.GetCapacity(), 0u);

  b.Empty();
  EXPECT_EQ(b.GetLength(), 0u);
  EXPECT_EQ(b.GetCapacity(), 0u);
  EXPECT_EQ(b.GetPointer(0), nullptr);
  EXPECT_EQ(b.GetPointer(5), nullptr);
  ASSERT_EQ(b.Append("xy", 2), 1);
  EXPECT_EQ(Contents(b), "xy");
}

TEST(ByteBuffer, CapRefusesGrowthAndLeavesTheBufferUnchanged) {
  CByteBuffer b(1000);
  std::string a(600, 'a'), c(500, 'c'), d(400, 'd');
  ASSERT_EQ(b.Append(a.data(), a.size()), 1);
  EXPECT_EQ(b.Append(c.data(), c.size()), 0);
  EXPECT_EQ(Contents(b), a);
  EXPECT_EQ(b.Append(d.data(), d.size()), 1);  // exactly at the cap
  EXPECT_EQ(b.GetLength(), 1000u);
  EXPECT_EQ(b.Append("z", 1), 0);
  EXPECT_EQ(Contents(b), a + d);

  // Sizes near the top of the range must not wrap around.
  CByteBuffer big(SIZE_MAX);
  ASSERT_EQ(big.Append("abc", 3), 1);
  EXPECT_EQ(big.Append("abc", SIZE_MAX), 0);
  EXPECT_EQ(big.Append("abc", SIZE_MAX - 1), 0);
  EXPECT_EQ(Contents(big), "abc");

  CByteBuffer def;
  EXPECT_EQ(def.GetMaxLength(), CByteBuffer::kDefaultMaxLength);
  def.SetMaxLength(2);
  EXPECT_EQ(def.Append("abc", 3), 0);
  EXPECT_EQ(def.GetLength(), 0u);
}

TEST(ByteBuffer, MoveTransfersTheBlock) {
  CByteBuffer a = Filled("hello");
  CByteBuffer b(std::move(a));
  EXPECT_EQ(Contents(b), "hello");
  EXPECT_EQ(a.GetLength(), 0u);
  EXPECT_EQ(a.GetPointer(0), nullptr);
  CByteBuffer c = Filled("x");
  c = std::move(b);
  EXPECT_EQ(Contents(c), "hello");
}

}  // namespace
