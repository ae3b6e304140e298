#include "modulation/analog.h"

#include <gtest/gtest.h>

#include "parameter_names.h"

#include <cmath>
#include <cstddef>
#include <functional>
#include <stdexcept>

#include "common/limits.h"
#include "dsp_reference.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

constexpr double fs = 10000.0;

struct AnalogCase {
  const char* name;
  std::function<Signal(std::uint32_t)> make;
};

class EveryAnalogModulator : public ::testing::TestWithParam<AnalogCase> {};

TEST_P(EveryAnalogModulator, ZeroSamplesGiveEmptySignal) { EXPECT_TRUE(GetParam().make(0).empty()); }

TEST_P(EveryAnalogModulator, RealWaveformWithExactlyZeroQ) {
  const Signal s = GetParam().make(777);
  ASSERT_EQ(s.size(), 777u);
  for (const Sample& x : s) {
    ASSERT_EQ(x.imag(), 0.0);
    ASSERT_FALSE(std::signbit(x.imag()));
  }
}

TEST_P(EveryAnalogModulator, CountsAboveTheCeilingAreRefusedBeforeAllocating) {
  const auto too_many = static_cast<std::uint32_t>(max_samples_per_file + 1);
  EXPECT_THROW(GetParam().make(too_many), std::length_error);
}

INSTANTIATE_TEST_SUITE_P(
    Modulators, EveryAnalogModulator,
    ::testing::Values(
        AnalogCase{"AM", [](std::uint32_t n) { return am_modulate(1000, 300, 0.8, fs, n); }},
        AnalogCase{"FM", [](std::uint32_t n) { return fm_modulate(1000, 300, 500, 0.8, fs, n); }},
        AnalogCase{"SSB", [](std::uint32_t n) { return am_ssb_modulate(1000, 300, 0.8, fs, n); }},
        AnalogCase{"CW", [](std::uint32_t n) { return cw_tone(1000, 0.8, fs, n); }}),
    test::CaseName());

TEST(AmModulate, FirstSampleIsAmplitudeAndEnvelopeFollowsMessage) {
  const Signal s = am_modulate(1000, 250, 0.5, fs, 100);
  EXPECT_EQ(s[0].real(), 0.5);
  // At t = 1 ms the message sin(2 pi 250 t) = 1 and the carrier cos(2 pi) = 1: envelope 2 * A.
  EXPECT_NEAR(s[10].real(), 1.0, 1e-12);
}

TEST(AmModulate, NoMessageIsAPlainCosineCarrier) {
  const Signal s = am_modulate(1234, 0.0, 0.7, fs, 50);
  for (std::size_t i = 0; i < s.size(); ++i) {
    EXPECT_EQ(s[i].real(), 0.7 * std::cos(2.0 * pi * 1234.0 * (static_cast<double>(i) / fs)));
  }
}

TEST(FmModulate, NoDeviationIsACarrierOneSampleAhead) {
  const Signal s = fm_modulate(1000, 300, 0.0, 2.0, fs, 500);
  for (std::size_t i = 0; i < s.size(); ++i) {
    EXPECT_NEAR(s[i].real(), 2.0 * std::cos(2.0 * pi * 1000.0 * static_cast<double>(i + 1) / fs), 1e-9);
  }
}

TEST(FmModulate, InstantaneousFrequencySwingsByTheDeviation) {
  // With fm = 10 Hz over 1000 samples the phase steps of the first quarter cycle reach fc + dev.
  const Signal s = fm_modulate(0.0, 10.0, 500.0, 1.0, fs, 1000);
  double max_step = 0.0;
  for (std::size_t i = 1; i < s.size(); ++i) {
    max_step = std::max(max_step, std::abs(std::acos(std::clamp(s[i].real(), -1.0, 1.0)) -
                                           std::acos(std::clamp(s[i - 1].real(), -1.0, 1.0))));
  }
  EXPECT_NEAR(max_step, 2.0 * pi * 500.0 / fs, 2e-3);
}

TEST(CwTone, SineStartingAtZero) {
  const Signal s = cw_tone(2500, 3.0, fs, 5);
  EXPECT_EQ(s[0].real(), 0.0);
  EXPECT_NEAR(s[1].real(), 3.0, 1e-12);   // sin(pi / 2)
  EXPECT_NEAR(s[2].real(), 0.0, 1e-12);   // sin(pi)
  EXPECT_NEAR(s[3].real(), -3.0, 1e-12);  // sin(3 pi / 2)
}

TEST(AmSsbModulate, SingleSampleIsZero) {
  const Signal s = am_ssb_modulate(1000, 300, 1.0, fs, 1);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].real(), 0.0);
}

struct SsbCase {
  const char* name;
  std::uint32_t num_samples;
  int message_bin;  // message and carrier both on exact DFT bins of num_samples at fs
  int carrier_bin;
};

class AmSsbSideband : public ::testing::TestWithParam<SsbCase> {};

// Lower sideband only: a tone at fc - fm of peak A, and the upper sideband 60 dB or more below,
// for power-of-two and other lengths alike (the form's default of 1000 samples among them).
TEST_P(AmSsbSideband, UpperSidebandSuppressedByAtLeast60dB) {
  const SsbCase c = GetParam();
  const double bin = fs / c.num_samples;
  const double fm = c.message_bin * bin;
  const double fc = c.carrier_bin * bin;
  const double amplitude = 0.9;
  const Signal s = am_ssb_modulate(fc, fm, amplitude, fs, c.num_samples);
  const double lower = test::tone_power(s, fc - fm, fs) + test::tone_power(s, -(fc - fm), fs);
  const double upper = test::tone_power(s, fc + fm, fs) + test::tone_power(s, -(fc + fm), fs);
  EXPECT_NEAR(lower, amplitude * amplitude / 2.0, 1e-9);
  EXPECT_LT(10.0 * std::log10(upper / lower), -60.0);
}

INSTANTIATE_TEST_SUITE_P(Lengths, AmSsbSideband,
                         ::testing::Values(SsbCase{"n1000_default_length", 1000, 30, 200},
                                           SsbCase{"n1000_high_message", 1000, 123, 300},
                                           SsbCase{"n1024_power_of_two", 1024, 50, 205},
                                           SsbCase{"n999_odd", 999, 37, 150},
                                           SsbCase{"n4001_prime", 4001, 400, 1000}),
                         test::CaseName());

}  // namespace
}  // namespace quorvin
