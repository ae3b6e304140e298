#include "common/limits.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace quorvin {
namespace {

TEST(SampleLimit, CountsUpToTheCeilingPass) {
  EXPECT_EQ(require_sample_count(0.0), 0u);
  EXPECT_EQ(require_sample_count(3333.0), 3333u);
  EXPECT_EQ(require_sample_count(static_cast<double>(max_samples_per_file)), max_samples_per_file);
}

TEST(SampleLimit, LargerOrUndefinedCountsThrowWithTheCountAndCeiling) {
  const std::string limit = std::to_string(max_samples_per_file);
  struct Case {
    double count;
    std::string message;
  };
  const Case cases[] = {
      {21474836470.0, "signal of 21474836470 samples exceeds the limit of " + limit + " samples per file."},
      {999999999999999.0, "signal of 999999999999999 samples exceeds the limit of " + limit + " samples per file."},
      {1e15, "signal of 1e+15 samples exceeds the limit of " + limit + " samples per file."},
      {1.0000004e304, "signal of 1e+304 samples exceeds the limit of " + limit + " samples per file."},
      {static_cast<double>(max_samples_per_file) + 1.0,
       "signal of " + std::to_string(max_samples_per_file + 1) + " samples exceeds the limit of " + limit +
           " samples per file."},
      {std::numeric_limits<double>::infinity(),
       "signal of unbounded length exceeds the limit of " + limit + " samples per file."},
      {std::nan(""), "signal of unbounded length exceeds the limit of " + limit + " samples per file."},
  };
  for (const Case& c : cases) {
    try {
      require_sample_count(c.count);
      ADD_FAILURE() << "no exception for " << c.count;
    } catch (const std::length_error& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
}

TEST(SampleLimit, WholeSamplesPerSymbolTruncatesAndSaturates) {
  EXPECT_EQ(whole_samples_per_symbol(3.99), 3u);
  EXPECT_EQ(whole_samples_per_symbol(1.0), 1u);
  EXPECT_EQ(whole_samples_per_symbol(0.99), 0u);
  EXPECT_EQ(whole_samples_per_symbol(-5.0), 0u);
  EXPECT_EQ(whole_samples_per_symbol(std::nan("")), 0u);
  EXPECT_EQ(whole_samples_per_symbol(4294967295.5), 4294967295u);
  EXPECT_EQ(whole_samples_per_symbol(1e300), 4294967295u);
  EXPECT_EQ(whole_samples_per_symbol(std::numeric_limits<double>::infinity()), 4294967295u);
}

}  // namespace
}  // namespace quorvin
