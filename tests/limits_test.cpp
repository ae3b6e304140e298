#include "common/limits.h"

#include "dsp_reference.h"

namespace quorvin {
namespace {

using test::inf;

TEST(SampleLimit, CountsUpToTheCeilingPass) {
  EXPECT_EQ(require_sample_count(0.0), 0u);
  EXPECT_EQ(require_sample_count(3333.0), 3333u);
  EXPECT_EQ(require_sample_count(static_cast<double>(max_samples_per_file)), max_samples_per_file);
}

// Whole digits while they are readable, six significant ones beyond 1e15, and no number at all
// for a count that is not finite.
TEST(SampleLimit, LargerOrUndefinedCountsThrowWithTheCountAndCeiling) {
  const std::pair<double, std::string> cases[] = {
      {21474836470.0, "21474836470 samples"},
      {999999999999999.0, "999999999999999 samples"},
      {1e15, "1e+15 samples"},
      {1.2345678e304, "1.23457e+304 samples"},
      {static_cast<double>(max_samples_per_file) + 1.0, std::to_string(max_samples_per_file + 1) + " samples"},
      {inf, "unbounded length"},
      {std::nan(""), "unbounded length"},
  };
  for (const auto& [count, shown] : cases) {
    EXPECT_EQ(test::thrown_message<std::length_error>([c = count] { require_sample_count(c); }),
              "signal of " + shown + " exceeds the limit of " +
                  std::to_string(max_samples_per_file) + " samples per file.")
        << count;
  }
}

TEST(SampleLimit, WholeSamplesPerSymbolTruncatesAndSaturates) {
  const std::pair<double, std::uint32_t> cases[] = {
      {3.99, 3u}, {1.0, 1u}, {0.99, 0u}, {-5.0, 0u}, {std::nan(""), 0u},
      {4294967295.5, 4294967295u}, {1e300, 4294967295u}, {inf, 4294967295u},
  };
  for (const auto& [ratio, expected] : cases) EXPECT_EQ(whole_samples_per_symbol(ratio), expected) << ratio;
}

}  // namespace
}  // namespace quorvin
