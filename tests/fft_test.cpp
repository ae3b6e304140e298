#include "modulation/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>

#include "dsp_reference.h"

namespace quorvin {
namespace {

Signal ramp_signal(std::size_t n) {
  Signal x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    x[i] = {std::sin(0.37 * t) + 0.25 * t / static_cast<double>(n), std::cos(1.3 * t * t) - 0.5};
  }
  return x;
}

TEST(Fft, EmptyAndSingleElementComeBackUnchanged) {
  EXPECT_TRUE(fft({}, FftDirection::forward).empty());
  EXPECT_TRUE(fft({}, FftDirection::inverse).empty());
  const Signal one{{3.5, -2.0}};
  EXPECT_TRUE(test::same_bits(fft(one, FftDirection::forward), one));
  EXPECT_TRUE(test::same_bits(fft(one, FftDirection::inverse), one));  // no 1/n scaling for n = 1
}

TEST(Fft, TwoPointHandWorked) {
  const Signal forward = fft({{1, 0}, {1, 0}}, FftDirection::forward);
  EXPECT_EQ(forward, (Signal{{2, 0}, {0, 0}}));
  const Signal inverse = fft({{2, 0}, {0, 0}}, FftDirection::inverse);
  EXPECT_EQ(inverse, (Signal{{1, 0}, {1, 0}}));
}

TEST(Fft, FourPointHandWorked) {
  // x = 1, 2, 3, 4: X = 10, -2 + 2j, -2, -2 - 2j.
  const Signal x = fft({{1, 0}, {2, 0}, {3, 0}, {4, 0}}, FftDirection::forward);
  const Signal expected{{10, 0}, {-2, 2}, {-2, 0}, {-2, -2}};
  EXPECT_LT(test::max_abs_difference(x, expected), 1e-12);
}

TEST(Fft, ThreePointIsATrueDft) {
  // A length the radix-2 recursion cannot split: 1, 0, 0 must give a flat spectrum.
  const Signal x = fft({{1, 0}, {0, 0}, {0, 0}}, FftDirection::forward);
  EXPECT_LT(test::max_abs_difference(x, {{1, 0}, {1, 0}, {1, 0}}), 1e-12);
}

class FftLength : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FftLength, MatchesNaiveDftBothWays) {
  const std::size_t n = GetParam();
  const Signal x = ramp_signal(n);
  const double tolerance = 1e-12 * static_cast<double>(n) + 1e-12;
  EXPECT_LT(test::max_abs_difference(fft(x, FftDirection::forward), test::naive_dft(x, false)),
            tolerance * static_cast<double>(n));
  EXPECT_LT(test::max_abs_difference(fft(x, FftDirection::inverse), test::naive_dft(x, true)), tolerance);
}

TEST_P(FftLength, InverseUndoesForward) {
  const Signal x = ramp_signal(GetParam());
  EXPECT_LT(test::max_abs_difference(fft(fft(x, FftDirection::forward), FftDirection::inverse), x), 1e-12);
}

INSTANTIATE_TEST_SUITE_P(PowersOfTwoPrimesAndOthers, FftLength,
                         ::testing::Values(2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 16, 17, 31, 64, 97, 100,
                                           127, 128, 243, 256, 257, 1000, 1021, 1024));

}  // namespace
}  // namespace quorvin
