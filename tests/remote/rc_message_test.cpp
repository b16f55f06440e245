#include "engine/remote/rc_message.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/config/reg_helpers.h"
#include "tests/support/test_env.h"

namespace {

std::vector<uint8_t> Store(CObject& obj) {
  CArchive ar;
  obj.Serialize(ar);
  return ar.TakeBytes();
}

TEST(RCPMessage, ArchiveFormIsCodeThenThreeStrings) {
  CTLRCPMessage msg(0x1234, "ab", "", "xyz");
  msg.m_object = std::make_shared<CTLDataObject>();  // never travels with the message
  const std::vector<uint8_t> want = {0x34, 0x12, 2, 'a', 'b', 0, 3, 'x', 'y', 'z'};
  EXPECT_EQ(Store(msg), want);

  CTLRCPMessage back;
  CArchive in(want.data(), want.size());
  back.Serialize(in);
  EXPECT_EQ(in.BytesLeft(), 0u);
  EXPECT_EQ(back.m_code, 0x1234);
  EXPECT_EQ(back.m_text1, "ab");
  EXPECT_EQ(back.m_text2, "");
  EXPECT_EQ(back.m_text3, "xyz");
  EXPECT_EQ(back.m_object, nullptr);

  // A 255-byte text takes the 16-bit length form.
  CTLRCPMessage longText(1, CString(255, 'q'));
  std::vector<uint8_t> bytes = Store(longText);
  ASSERT_GE(bytes.size(), 5u);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 2, bytes.begin() + 5), (std::vector<uint8_t>{0xFF, 0xFF, 0x00}));
}

TEST(RCPMessage, TruncatedStreamThrowsAndLeavesMessageAsItWas) {
  const std::vector<uint8_t> bytes = {7, 0, 2, 'a', 'b', 5, 'x'};  // third text missing, second short
  CTLRCPMessage msg(3, "keep");
  CArchive in(bytes.data(), bytes.size());
  EXPECT_THROW(msg.Serialize(in), CArchiveException);
  EXPECT_EQ(msg.m_code, 3);
  EXPECT_EQ(msg.m_text1, "keep");
}

TEST(DataObject, TextValueStillCarriesItsNumericFields) {
  CTLDataObject v;
  v.SetString("Hi");
  v.dwData = 7;
  v.nData = -2;
  v.dData = 1.5;
  const std::vector<uint8_t> want = {2, 0, 0, 0, 7, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF,
                                     0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 2, 'H', 'i'};
  EXPECT_EQ(Store(v), want);

  CTLDataObject back;
  CArchive in(want.data(), want.size());
  back.Serialize(in);
  EXPECT_EQ(back.DataType, TL_DATA_STRING);
  EXPECT_EQ(back.dwData, 7u);
  EXPECT_EQ(back.nData, -2);
  EXPECT_EQ(back.dData, 1.5);
  EXPECT_EQ(back.strData, "Hi");

  // Errors propagate instead of being swallowed, and the value is untouched.
  CTLDataObject keep;
  keep.SetDWord(99);
  CArchive shortIn(want.data(), want.size() - 1);
  EXPECT_THROW(keep.Serialize(shortIn), CArchiveException);
  EXPECT_EQ(keep.DataType, TL_DATA_DWORD);
  EXPECT_EQ(keep.dwData, 99u);
}

TEST(DataObject, DifferentTypesAreNeitherEqualGreaterNorLess) {
  CTLDataObject a, b;
  a.SetInteger(5);
  b.SetDWord(5);
  EXPECT_FALSE(a.IsEqual(b));
  EXPECT_FALSE(a.IsGreaterThan(b));
  EXPECT_FALSE(a.IsLessThan(b));
  // Same text, but a group name is not a text.
  a.SetString("staff");
  b.SetString("staff");
  b.SetType(TL_DATA_GROUP);
  EXPECT_FALSE(a.IsEqual(b));
  EXPECT_FALSE(b.IsEqual(a));
  // A type nobody defined compares with nothing, not even its equal.
  a.SetInteger(1);
  a.SetType(5);
  EXPECT_FALSE(a.IsEqual(a));
  EXPECT_FALSE(a.IsGreaterThan(a) || a.IsLessThan(a));
}

TEST(DataObject, ComparisonsFollowEachType) {
  CTLDataObject a, b;
  a.SetInteger(-1);
  b.SetInteger(1);
  EXPECT_TRUE(a.IsLessThan(b));
  EXPECT_TRUE(b.IsGreaterThan(a));
  a.SetDWord(0xFFFFFFFFu);
  b.SetDWord(1);
  EXPECT_TRUE(a.IsGreaterThan(b));  // unsigned, not -1

  // Texts: equal without regard to case, ordered byte-wise (upper case before lower, high bytes last).
  a.SetString("Proxy");
  b.SetString("pROXY");
  EXPECT_TRUE(a.IsEqual(b));
  EXPECT_TRUE(a.EqualsText("PROXY"));
  EXPECT_TRUE(a.IsLessThan(b));
  a.SetString("\xE9");
  b.SetString("z");
  EXPECT_TRUE(a.IsGreaterThan(b));
  a.SetString("abc");
  b.SetString("ab");
  EXPECT_TRUE(a.IsGreaterThan(b));
  EXPECT_FALSE(a.IsEqual(b));

  // Profile names compare as texts; yes/no as numbers.
  a.SetString("Dial-Up");
  a.SetType(TL_DATA_PROFILE);
  b.SetString("dial-up");
  b.SetType(TL_DATA_PROFILE);
  EXPECT_TRUE(a.IsEqual(b));
  a.SetInteger(1);
  a.SetType(TL_DATA_BOOLEAN);
  b.SetInteger(0);
  b.SetType(TL_DATA_BOOLEAN);
  EXPECT_TRUE(a.IsGreaterThan(b));

  // NaN (possible from the network or the registry) compares with nothing.
  a.SetDouble(std::numeric_limits<double>::quiet_NaN());
  b.SetDouble(1.0);
  EXPECT_FALSE(a.IsEqual(a));
  EXPECT_FALSE(a.IsGreaterThan(b) || a.IsLessThan(b) || b.IsGreaterThan(a) || b.IsLessThan(a));
  a.SetDouble(0.5);
  EXPECT_TRUE(a.IsLessThan(b));
}

TEST(DataObject, SettersClearFieldsOfEarlierType) {
  CTLDataObject v;
  v.SetString("x");
  v.nData = 4;
  v.SetDWord(3);
  EXPECT_EQ(v.strData, "");
  EXPECT_EQ(v.nData, 0);
}

TEST(DataObject, RegistryRoundTripAndMissingValues) {
  CTLDataObject v;
  v.SetDouble(45000.25);
  v.nData = -7;
  v.strData = "text";
  v.dwData = 0x80000001u;
  ASSERT_TRUE(v.Save("Test\\Criterion0"));

  CTLDataObject back;
  back.SetString("stale");
  ASSERT_TRUE(back.Load("Test\\Criterion0"));
  EXPECT_EQ(back.DataType, TL_DATA_DOUBLE);
  EXPECT_EQ(back.dData, 45000.25);
  EXPECT_EQ(back.nData, -7);
  EXPECT_EQ(back.dwData, 0x80000001u);
  EXPECT_EQ(back.strData, "text");

  // A key with a short dData and nothing else: every field falls back to 0 / "".
  uint8_t four[4] = {1, 2, 3, 4};
  ASSERT_TRUE(RegWriteBinary("Test\\Criterion1", "dData", four, sizeof four));
  ASSERT_TRUE(back.Load("Test\\Criterion1"));
  EXPECT_EQ(back.DataType, 0u);
  EXPECT_EQ(back.dwData, 0u);
  EXPECT_EQ(back.nData, 0);
  EXPECT_EQ(back.dData, 0.0);
  EXPECT_EQ(back.strData, "");
}

}  // namespace
