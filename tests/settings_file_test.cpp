// A settings file's lines and bytes, for every name, are pinned by the classic corpus.

#include "writers/settings_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>

namespace quorvin {
namespace {

TEST(FixedText, MatchesPrintfF) {
  const double values[] = {10000.0, 0.1, -3.5, 1e20, -1e-9, 0.0, -0.0, 0.0000005, 0.0000015,
                           2.5e-7, 123456789.123456789, 1.7976931348623157e308, -4.9e-324};
  for (const double v : values) {
    char expected[400];
    std::snprintf(expected, sizeof expected, "%f", v);
    EXPECT_EQ(fixed_text(v), expected) << v;
  }
  EXPECT_EQ(fixed_text(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(fixed_text(-std::numeric_limits<double>::quiet_NaN()), "nan");
}

}  // namespace
}  // namespace quorvin
