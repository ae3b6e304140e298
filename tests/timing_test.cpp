#include "channel/timing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <ostream>
#include <stdexcept>

#include "dsp_reference.h"
#include "modulation/interpolate.h"

namespace quorvin {
namespace {

const Sample a{1.0, -2.0};
const Sample b{-3.0, 4.0};

TEST(Resample, TwoSymbolsToFourTimesTheRate) {
  const Signal s = resample_to_sample_rate({a, b}, 1000.0, 4000.0);
  const Signal expected{a, 0.75 * a + 0.25 * b, 0.5 * a + 0.5 * b, 0.25 * a + 0.75 * b, b, b, b, b};
  EXPECT_LT(test::max_abs_difference(s, expected), 1e-15);
  EXPECT_EQ(s.size(), 8u);
}

struct LengthCase {
  std::size_t symbols;
  double symbol_rate;
  double sample_rate;
  std::size_t expected;
};

std::ostream& operator<<(std::ostream& out, const LengthCase& c) {
  return out << c.symbols << " symbols, " << c.symbol_rate << " -> " << c.sample_rate;
}

class ResampleLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(ResampleLength, RoundsHalvesAwayFromZero) {
  const auto c = GetParam();
  EXPECT_EQ(resample_to_sample_rate(Signal(c.symbols, a), c.symbol_rate, c.sample_rate).size(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ResampleLength,
                         ::testing::Values(LengthCase{1000, 3000, 10000, 3333},  // 3333.33
                                           LengthCase{1, 1000, 2500, 3},         // 2.5 rounds up
                                           LengthCase{2, 4000, 1000, 1},         // 0.5 rounds up
                                           LengthCase{1, 4000, 1000, 0},         // 0.25: empty
                                           LengthCase{7, 1000, 1000, 7},         // equal rates
                                           LengthCase{7, 0, 1000, 7},            // invalid rate
                                           LengthCase{7, 1000, -5, 7}));

TEST(Resample, EqualRatesReturnTheInputUnchanged) {
  const Signal in{a, b, a};
  EXPECT_TRUE(test::same_bits(resample_to_sample_rate(in, 2000.0, 2000.0), in));
  EXPECT_TRUE(resample_to_sample_rate({}, 1000.0, 4000.0).empty());
}

TEST(Resample, OversizedResultIsRefusedBeforeAllocating) {
  EXPECT_THROW(resample_to_sample_rate(Signal(10, a), 1e-9, 1e9), std::length_error);
  EXPECT_THROW(resample_to_sample_rate(Signal(10, a), 1e-300, 1e300), std::length_error);
}

TEST(Resample, MatchesPerSampleInterpolationBitForBit) {
  Signal symbols(300);
  for (std::size_t k = 0; k < symbols.size(); ++k) {
    symbols[k] = {std::sin(1.7 * static_cast<double>(k)), std::cos(0.9 * static_cast<double>(k))};
  }
  Grid grid(symbols.size());
  for (std::size_t k = 0; k < grid.size(); ++k) grid[k] = static_cast<double>(k);
  for (const auto& [rs, fs] : {std::pair{3000.0, 10000.0}, {1234.5, 9999.0}, {4999.0, 5000.0},
                               {7000.0, 10000.0}, {1.0, 3.0}}) {
    const Signal out = resample_to_sample_rate(symbols, rs, fs);
    const double ratio = fs / rs;
    Signal reference(out.size());
    for (std::size_t j = 0; j < out.size(); ++j) {
      reference[j] = interpolate_linear(grid, symbols, static_cast<double>(j) / ratio);
    }
    EXPECT_TRUE(test::same_bits(out, reference)) << rs << " " << fs;
  }
}

Signal ramp(std::size_t n) {
  Signal s(n);
  for (std::size_t i = 0; i < n; ++i) s[i] = {static_cast<double>(i), -static_cast<double>(i)};
  return s;
}

TEST(TimingError, ZeroOrEmptyPassesUnchanged) {
  const Signal s = ramp(100);
  EXPECT_TRUE(test::same_bits(apply_timing_error(s, 0.0, 1000.0, 8000.0), s));
  EXPECT_TRUE(test::same_bits(apply_timing_error(s, -0.0, 1000.0, 8000.0), s));
  EXPECT_TRUE(apply_timing_error({}, 0.5, 1000.0, 8000.0).empty());
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

TEST(TimingError, MatchesPerSampleInterpolationBitForBit) {
  const std::size_t n = 2000;
  Signal in(n);
  for (std::size_t i = 0; i < n; ++i) in[i] = unit_phasor(0.05 * static_cast<double>(i));
  for (const double error : {0.1, -0.1, 3.0, -250.0, 1e-7}) {
    const double rs = 1700.0, fs = 10000.0;
    const Signal out = apply_timing_error(in, error, rs, fs);
    Grid t(n);
    for (std::size_t i = 0; i < n; ++i) t[i] = static_cast<double>(i) / fs;
    const double drift = (1.0 / rs) * error;
    Signal reference(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double u = (static_cast<double>(i) / static_cast<double>(n)) * drift + static_cast<double>(i) / fs;
      reference[i] = interpolate_linear(t, in, u);
    }
    EXPECT_TRUE(test::same_bits(out, reference)) << error;
  }
}

TEST(TimingError, ZeroSymbolRateGivesUndefinedSamplesNotACrash) {
  const Signal out = apply_timing_error(ramp(10), 0.5, 0.0, 1000.0);
  ASSERT_EQ(out.size(), 10u);
}

}  // namespace
}  // namespace quorvin
