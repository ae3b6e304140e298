#include "channel/timing.h"

#include "dsp_reference.h"

// Inputs handed back unchanged (equal rates, a rate not positive, no timing error) are checked,
// with the buffer they come back in, in pass_through_test.cpp.

namespace quorvin {
namespace {

const Sample a{1.0, -2.0};
const Sample b{-3.0, 4.0};

TEST(Resample, TwoSymbolsToFourTimesTheRate) {
  const Signal s = resample_to_sample_rate({a, b}, 1000.0, 4000.0);
  const Signal expected{a, 0.75 * a + 0.25 * b, 0.5 * a + 0.5 * b, 0.25 * a + 0.75 * b, b, b, b, b};
  EXPECT_EQ(s.size(), 8u);
  EXPECT_LT(test::max_abs_difference(s, expected), 1e-15);
}

TEST(Resample, LengthRoundsHalvesAwayFromZero) {
  // Symbols, Rs, fs and the length expected.
  const std::tuple<std::size_t, double, double, std::size_t> cases[] = {
      {1000, 3000, 10000, 3333},  // 3333.33
      {1, 1000, 2500, 3},         // 2.5 rounds up
      {2, 4000, 1000, 1},         // 0.5 rounds up
      {1, 4000, 1000, 0},         // 0.25: empty
      {0, 1000, 4000, 0},         // nothing to resample
  };
  for (const auto& [symbols, symbol_rate, sample_rate, expected] : cases) {
    EXPECT_EQ(resample_to_sample_rate(Signal(symbols, a), symbol_rate, sample_rate).size(), expected)
        << symbols << " symbols, " << symbol_rate << " -> " << sample_rate;
  }
}

TEST(Resample, OversizedResultIsRefusedBeforeAllocating) {
  EXPECT_THROW(resample_to_sample_rate(Signal(10, a), 1e-9, 1e9), std::length_error);
  EXPECT_THROW(resample_to_sample_rate(Signal(10, a), 1e-300, 1e300), std::length_error);
}

Signal ramp(std::size_t n) {
  Signal s(n);
  for (std::size_t i = 0; i < n; ++i) s[i] = {static_cast<double>(i), -static_cast<double>(i)};
  return s;
}

TEST(TimingError, OneSymbolOfDriftReadsTheLastSampleOneSymbolAhead) {
  const std::size_t n = 8000;
  const Signal out = apply_timing_error(ramp(n), 1.0, 1000.0, 8000.0);
  ASSERT_EQ(out.size(), n);
  EXPECT_EQ(out[0], Sample(0.0, -0.0));
  // Sample 4000 is read half a symbol (4 samples) ahead; the last ones hold the final value.
  EXPECT_NEAR(out[4000].real(), 4004.0, 1e-6);
  EXPECT_EQ(out[n - 1].real(), static_cast<double>(n - 1));
  EXPECT_NEAR(out[n - 9].real(), static_cast<double>(n - 1), 1.0 + 1e-6);
}

TEST(TimingError, NegativeErrorReadsLateAndKeepsTheFirstSample) {
  const Signal out = apply_timing_error(ramp(1000), -0.5, 1000.0, 10000.0);
  EXPECT_EQ(out[0].real(), 0.0);
  EXPECT_NEAR(out[500].real(), 500.0 - 2.5, 1e-6);
}

TEST(TimingError, EmptyOrZeroSymbolRateKeepsTheLengthWithoutACrash) {
  EXPECT_TRUE(apply_timing_error({}, 0.5, 1000.0, 8000.0).empty());
  EXPECT_EQ(apply_timing_error(ramp(10), 0.5, 0.0, 1000.0).size(), 10u);  // undefined samples
}

}  // namespace
}  // namespace quorvin
