#include "engine/config/currency.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(Currency, HalvesFormatAndOverflow) {
  for (int64_t v : {int64_t{0}, int64_t{-1}, -(int64_t{5} << 33) - 7, INT64_MAX, INT64_MIN}) {
    CCurrency c = CCurrency::FromUnits(v);
    EXPECT_EQ(CCurrency::FromHiLo(c.GetHi(), c.GetLo()).GetUnits(), v);
  }
  EXPECT_EQ(CCurrency::FromUnits(15000).Format(), "1.5");
  EXPECT_EQ(CCurrency::FromUnits(-125000).Format(), "-12.5");
  EXPECT_EQ(CCurrency::FromUnits(1).Format(), "0.0001");
  EXPECT_EQ(CCurrency::FromUnits(INT64_MIN).Format(), "-922337203685477.5808");
  EXPECT_FALSE((CCurrency::FromUnits(INT64_MAX) + CCurrency::FromUnits(1)).IsValid());
  EXPECT_FALSE((-CCurrency::FromUnits(INT64_MIN)).IsValid());
  EXPECT_FALSE((CCurrency::Invalid() + CCurrency::FromUnits(1)).IsValid());
}

}  // namespace
