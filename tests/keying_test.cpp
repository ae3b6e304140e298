#include "modulation/keying.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <random>
#include <stdexcept>

#include "dsp_reference.h"
#include "modulation/fft.h"

namespace quorvin {
namespace {

double degrees(Sample s) { return std::atan2(s.imag(), s.real()) * 180.0 / pi; }

Symbols random_bits(std::size_t n, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_int_distribution<std::int32_t> bit(0, 1);
  Symbols out(n);
  for (auto& s : out) s = bit(engine);
  return out;
}

TEST(Pi4Dqpsk, RepeatedZerosStepBy45Degrees) {
  const Signal s = pi4_dqpsk_map({0, 0, 0}, pi * 0.25);
  ASSERT_EQ(s.size(), 3u);
  EXPECT_NEAR(degrees(s[0]), 45.0, 1e-12);
  EXPECT_NEAR(degrees(s[1]), 90.0, 1e-12);
  EXPECT_NEAR(degrees(s[2]), 135.0, 1e-12);
}

TEST(Pi4Dqpsk, EmptyAndSingleSymbol) {
  EXPECT_TRUE(pi4_dqpsk_map({}, pi * 0.25).empty());
  const Signal one = pi4_dqpsk_map({2}, 1.0);  // the first point ignores the offset
  ASSERT_EQ(one.size(), 1u);
  EXPECT_NEAR(degrees(one[0]), -135.0, 1e-12);
}

TEST(Pi4Dqpsk, PointsAlternateBetweenTheTwoQpskSets) {
  const Symbols symbols = {3, 1, 2, 0, 0, 3, 2, 1, 1};
  const Signal s = pi4_dqpsk_map(symbols, pi * 0.25);
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double angle = std::fmod(degrees(s[i]) + 360.0, 90.0);
    EXPECT_NEAR(angle > 89.0 ? angle - 90.0 : angle, i % 2 == 0 ? 45.0 : 0.0, 1e-9) << i;
    EXPECT_NEAR(std::abs(s[i]), 1.0, 1e-12);
  }
}

TEST(QpskPi4, FourRotatedPoints) {
  const Signal s = qpsk_pi4_map({0, 1, 2, 3});
  const double expected[] = {45.0, 135.0, -135.0, -45.0};
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(degrees(s[i]), expected[i], 1e-12);
}

TEST(Oqpsk, RefusesFewerThanTwoSamplesPerSymbolWithExactMessage) {
  for (const Symbols& symbols : {Symbols{0, 1}, Symbols{}}) {
    try {
      oqpsk_modulate(symbols, 1.99);
      ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "samples_per_symbol must be at least 2 for OQPSK.");
    }
  }
  EXPECT_NO_THROW(oqpsk_modulate({0, 1}, 2.0));
}

TEST(Oqpsk, TwoSymbolsHandWorked) {
  const Signal s = oqpsk_modulate({0, 2}, 2.0);
  EXPECT_EQ(s, (Signal{{1, 1}, {0, 1}, {-1, 0}}));
}

TEST(Oqpsk, LengthAndOffsetRamps) {
  EXPECT_TRUE(oqpsk_modulate({}, 4.0).empty());
  EXPECT_EQ(oqpsk_modulate({0}, 4.0).size(), 1u);
  EXPECT_EQ(oqpsk_modulate({0, 1, 2, 3, 0}, 4.5).size(), 4u * 4u + 1u);
  // Symbols 1 then 0: I ramps -1 -> 1 over the first symbol, Q holds 1 throughout.
  const Signal s = oqpsk_modulate({1, 0, 0}, 4.0);
  EXPECT_EQ(s[2], Sample(0.0, 1.0));
  EXPECT_EQ(s[4], Sample(1.0, 1.0));
  // Symbol 3 has Q = -1: the Q ramp starts only at x = 1.5 and is half done at x = 2.
  const Signal t = oqpsk_modulate({0, 0, 3}, 4.0);
  EXPECT_EQ(t[6], Sample(1.0, 1.0));
  EXPECT_EQ(t[8], Sample(1.0, 0.0));
}

TEST(Msk, TwoOnesHandWorked) {
  const Signal s = msk_modulate({1, 1}, 4.0);
  ASSERT_EQ(s.size(), 8u);
  for (std::size_t i = 0; i < 8; ++i) {
    EXPECT_NEAR(s[i].real(), std::cos(static_cast<double>(i) * pi / 8), 1e-12);
    EXPECT_NEAR(s[i].imag(), std::sin(static_cast<double>(i) * pi / 8), 1e-12);
  }
}

TEST(Msk, ZeroAndOtherValuesTurnBackwards) {
  const Signal zero = msk_modulate({0}, 2.0);
  const Signal seven = msk_modulate({7}, 2.0);
  EXPECT_TRUE(test::same_bits(zero, seven));
  EXPECT_NEAR(degrees(zero[1]), -45.0, 1e-12);
}

TEST(KeyedLength, MskAndGmskGiveNTimesTruncatedSamplesPerSymbol) {
  for (const double sps : {0.5, 1.0, 3.7, 8.0}) {
    const auto expected = static_cast<std::size_t>(std::trunc(sps)) * 5;
    EXPECT_EQ(msk_modulate({1, 0, 1, 1, 0}, sps).size(), expected) << sps;
    EXPECT_EQ(gmsk_modulate({1, 0, 1, 1, 0}, sps).size(), expected) << sps;
  }
}

TEST(Gmsk, ConstantEnvelopeAndContinuousPhase) {
  const double sps = 8.0;
  const Signal s = gmsk_modulate(random_bits(400, 7), sps);
  double worst_step = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    ASSERT_NEAR(std::abs(s[i]), 1.0, 1e-12);
    if (i > 0) worst_step = std::max(worst_step, std::abs(std::arg(s[i] * std::conj(s[i - 1]))));
  }
  // The Gaussian filter never makes the frequency exceed MSK's peak of Rs / 4.
  EXPECT_LE(worst_step, pi / 2.0 / sps * (1.0 + 1e-5));
  EXPECT_GT(worst_step, 0.9 * pi / 2.0 / sps);
}

TEST(Gmsk, LongRunOfOnesSettlesToMskPhaseSlope) {
  const double sps = 10.0;
  const Signal s = gmsk_modulate(Symbols(40, 1), sps);
  for (std::size_t i = 150; i < 250; ++i) {
    EXPECT_NEAR(std::arg(s[i] * std::conj(s[i - 1])), pi / 2.0 / sps, 1e-6) << i;
  }
}

TEST(Gmsk, EachSymbolTurnsThePhaseByExactlyHalfPi) {
  // Flipping one symbol changes the phase by exactly pi once its pulse is over, and nothing
  // before its pulse begins.
  Symbols a = random_bits(30, 11);
  Symbols b = a;
  b[10] = 1 - a[10];
  const double sps = 6.0;
  const Signal sa = gmsk_modulate(a, sps);
  const Signal sb = gmsk_modulate(b, sps);
  for (std::size_t i = 0; i < 8 * 6; ++i) EXPECT_NEAR(std::abs(sa[i] - sb[i]), 0.0, 1e-12) << i;
  for (std::size_t i = 13 * 6; i < sa.size(); ++i) EXPECT_NEAR(std::abs(sa[i] + sb[i]), 0.0, 1e-9) << i;
}

// Share of power farther than `edge` cycles per sample from the centre.
double out_of_band_fraction(const Signal& s, double edge) {
  const Signal spectrum = fft(s, FftDirection::forward);
  double total = 0.0;
  double outside = 0.0;
  const double n = static_cast<double>(s.size());
  for (std::size_t k = 0; k < spectrum.size(); ++k) {
    const double f = (static_cast<double>(k) < n / 2 ? static_cast<double>(k) : static_cast<double>(k) - n) / n;
    total += std::norm(spectrum[k]);
    if (std::abs(f) > edge) outside += std::norm(spectrum[k]);
  }
  return outside / total;
}

TEST(Gmsk, SpectrumNarrowerThanMsk) {
  const double sps = 8.0;
  const Symbols bits = random_bits(1024, 3);
  const double edge = 0.75 / sps;  // 0.75 * symbol rate
  const double msk = out_of_band_fraction(msk_modulate(bits, sps), edge);
  const double gmsk = out_of_band_fraction(gmsk_modulate(bits, sps), edge);
  EXPECT_GT(msk, 0.005);
  EXPECT_LT(gmsk, msk / 10.0);
}

}  // namespace
}  // namespace quorvin
