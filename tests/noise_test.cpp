#include "channel/noise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <ostream>

#include "dsp_reference.h"
#include "modulation/analog.h"

namespace quorvin {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

Signal test_tone(std::size_t n, double amplitude) {
  Signal s(n);
  for (std::size_t i = 0; i < n; ++i) s[i] = amplitude * unit_phasor(0.01 * static_cast<double>(i));
  return s;
}

TEST(FrequencyShift, HandWorkedQuarterTurnsPerSample) {
  // A shift of fs / 4 turns sample i by i * 90 degrees.
  const Signal s = frequency_shift({{1, 0}, {1, 0}, {1, 0}, {0, 2}}, 4000.0, 1000.0);
  EXPECT_LT(test::max_abs_difference(s, {{1, 0}, {0, 1}, {-1, 0}, {2, 0}}), 1e-12);
  EXPECT_EQ(s[0], Sample(1.0, 0.0));  // angle 0: unchanged
}

TEST(FrequencyShift, MovesACwToneToDcAndMinusTwiceTheCarrier) {
  const double fs = 8000.0;
  const double fc = 1000.0;
  const Signal shifted = frequency_shift(cw_tone(fc, 1.0, fs, 800), fs, -fc);
  EXPECT_NEAR(test::tone_power(shifted, 0.0, fs), 0.25, 1e-9);
  EXPECT_NEAR(test::tone_power(shifted, -2.0 * fc, fs), 0.25, 1e-9);
  EXPECT_NEAR(test::tone_power(shifted, fc, fs), 0.0, 1e-9);
}

TEST(FrequencyOffset, ExactlyZeroOrEmptyPassesUnchanged) {
  const Signal s = test_tone(64, 1.5);
  EXPECT_TRUE(test::same_bits(apply_frequency_offset(s, 1000.0, 0.0), s));
  EXPECT_TRUE(test::same_bits(apply_frequency_offset(s, 1000.0, -0.0), s));
  EXPECT_TRUE(apply_frequency_offset({}, 1000.0, 50.0).empty());
  EXPECT_TRUE(test::same_bits(apply_frequency_offset(s, 1000.0, 1e-300),
                              frequency_shift(s, 1000.0, 1e-300)));
}

TEST(Awgn, InfiniteSnrAndEmptyInputAddNothing) {
  const Signal s = test_tone(100, 2.0);
  EXPECT_TRUE(test::same_bits(add_awgn(s, inf), s));
  EXPECT_TRUE(add_awgn({}, 10.0).empty());
}

TEST(Awgn, SilentSignalStaysSilent) {
  const Signal zeros(50, Sample(0.0, 0.0));
  EXPECT_TRUE(test::same_bits(add_awgn(zeros, -20.0, 1u), zeros));
}

TEST(Awgn, EvenAHugeFiniteSnrAddsNoise) {
  const Signal s = test_tone(100, 1.0);
  EXPECT_FALSE(test::same_bits(add_awgn(s, 300.0, 5u), s));
}

struct SnrCase {
  double snr_db;
  double amplitude;
};

std::ostream& operator<<(std::ostream& out, const SnrCase& c) {
  return out << c.snr_db << " dB, amplitude " << c.amplitude;
}

class AwgnPower : public ::testing::TestWithParam<SnrCase> {};

// Noise power is P / snr, split evenly between I and Q, mean zero, whatever the amplitude.
TEST_P(AwgnPower, MatchesRequestedSnrWithEvenIqSplit) {
  const auto [snr_db, amplitude] = GetParam();
  const std::size_t n = 200000;
  const Signal clean = test_tone(n, amplitude);
  const Signal noisy = add_awgn(clean, snr_db, 12345u);
  double i_power = 0.0, q_power = 0.0, i_mean = 0.0, q_mean = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const Sample d = noisy[k] - clean[k];
    i_power += d.real() * d.real();
    q_power += d.imag() * d.imag();
    i_mean += d.real();
    q_mean += d.imag();
  }
  const double expected = amplitude * amplitude / std::pow(10.0, snr_db / 10.0);
  const double count = static_cast<double>(n);
  EXPECT_NEAR((i_power + q_power) / count / expected, 1.0, 0.01);
  EXPECT_NEAR(i_power / count / (expected / 2.0), 1.0, 0.015);
  EXPECT_NEAR(q_power / count / (expected / 2.0), 1.0, 0.015);
  const double sigma = std::sqrt(expected / 2.0);
  EXPECT_LT(std::abs(i_mean / count), 5.0 * sigma / std::sqrt(count));
  EXPECT_LT(std::abs(q_mean / count), 5.0 * sigma / std::sqrt(count));
}

INSTANTIATE_TEST_SUITE_P(Snrs, AwgnPower,
                         ::testing::Values(SnrCase{0.0, 1.0}, SnrCase{10.0, 0.5}, SnrCase{-6.0, 3.0},
                                           SnrCase{30.0, 1e-3}));

TEST(Awgn, ExplicitSeedIsReproducibleAndDrawsQBeforeI) {
  const Signal s = test_tone(1000, 1.0);
  EXPECT_TRUE(test::same_bits(add_awgn(s, 5.0, 42u), add_awgn(s, 5.0, 42u)));
  EXPECT_FALSE(test::same_bits(add_awgn(s, 5.0, 42u), add_awgn(s, 5.0, 43u)));
  // Independent reference: the same engine and distribution, first draw to Q.
  const Signal one{{1.0, 0.0}};
  const Signal noisy = add_awgn(one, 0.0, 7u);
  std::mt19937 engine(7u);
  std::normal_distribution<double> noise(0.0, std::sqrt(0.5));
  const double q = noise(engine);
  const double i = noise(engine);
  EXPECT_EQ(noisy[0], Sample(1.0 + i, q));
}

TEST(Awgn, DefaultSeedingDiffersBetweenCalls) {
  const Signal s = test_tone(1000, 1.0);
  EXPECT_FALSE(test::same_bits(add_awgn(s, 5.0), add_awgn(s, 5.0)));
}

TEST(Awgn, UndefinedNoisePowerGivesUndefinedSamplesNotACrash) {
  const Signal s = add_awgn(test_tone(10, 1.0), -inf, 1u);
  ASSERT_EQ(s.size(), 10u);
  EXPECT_TRUE(std::isnan(s[3].real()));
}

TEST(RandomSource, MakeEngineWithSeedIsTheStandardMersenneTwister) {
  std::mt19937 reference(99u);
  std::mt19937 engine = make_engine(99u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(engine(), reference());
}

}  // namespace
}  // namespace quorvin
