#include "modulation/analog.h"

#include <gtest/gtest.h>

#include "parameter_names.h"

#include <algorithm>
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

// A real waveform of exactly the count asked for: Q is +0.0 throughout, none for a count of
// zero, and counts above the ceiling are refused before anything is allocated.
TEST_P(EveryAnalogModulator, RealWaveformOfTheRequestedLength) {
  const Signal s = GetParam().make(777);
  ASSERT_EQ(s.size(), 777u);
  for (const Sample& x : s) {
    ASSERT_EQ(x.imag(), 0.0);
    ASSERT_FALSE(std::signbit(x.imag()));
  }
  EXPECT_TRUE(GetParam().make(0).empty());
  EXPECT_THROW(GetParam().make(static_cast<std::uint32_t>(max_samples_per_file + 1)), std::length_error);
}

INSTANTIATE_TEST_SUITE_P(
    Modulators, EveryAnalogModulator,
    ::testing::Values(
        AnalogCase{"AM", [](std::uint32_t n) { return am_modulate(1000, 300, 0.8, fs, n); }},
        AnalogCase{"FM", [](std::uint32_t n) { return fm_modulate(1000, 300, 500, 0.8, fs, n); }},
        AnalogCase{"SSB", [](std::uint32_t n) { return am_ssb_modulate(1000, 300, 0.8, fs, n); }},
        AnalogCase{"CW", [](std::uint32_t n) { return cw_tone(1000, 0.8, fs, n); }}),
    test::CaseName());

TEST(Analog, HandWorkedSamples) {
  struct Case {
    const char* name;
    Signal s;
    std::size_t index;
    double expected;
  };
  const Case cases[] = {
      {"am_starts_at_the_amplitude", am_modulate(1000, 250, 0.5, fs, 100), 0, 0.5},
      // At t = 1 ms the message sin(2 pi 250 t) = 1 and the carrier cos(2 pi) = 1: envelope 2 A.
      {"am_envelope_follows_the_message", am_modulate(1000, 250, 0.5, fs, 100), 10, 1.0},
      {"cw_sine_starts_at_zero", cw_tone(2500, 3.0, fs, 5), 0, 0.0},
      {"cw_quarter_cycle", cw_tone(2500, 3.0, fs, 5), 1, 3.0},
      {"cw_half_cycle", cw_tone(2500, 3.0, fs, 5), 2, 0.0},
      {"cw_three_quarters", cw_tone(2500, 3.0, fs, 5), 3, -3.0},
      {"ssb_single_sample_is_zero", am_ssb_modulate(1000, 300, 1.0, fs, 1), 0, 0.0},
  };
  for (const Case& c : cases) {
    ASSERT_LT(c.index, c.s.size()) << c.name;
    EXPECT_NEAR(c.s[c.index].real(), c.expected, 1e-12) << c.name;
  }
}

// With no message AM is the plain cosine carrier, and FM without deviation a carrier one sample
// ahead (the phase is advanced before each sample is taken).
TEST(Analog, NoModulationLeavesTheCarrier) {
  const Signal am = am_modulate(1234, 0.0, 0.7, fs, 50);
  const Signal fm = fm_modulate(1000, 300, 0.0, 2.0, fs, 500);
  for (std::size_t i = 0; i < am.size(); ++i) {
    EXPECT_NEAR(am[i].real(), 0.7 * std::cos(2.0 * pi * 1234.0 * static_cast<double>(i) / fs), 1e-12);
  }
  for (std::size_t i = 0; i < fm.size(); ++i) {
    EXPECT_NEAR(fm[i].real(), 2.0 * std::cos(2.0 * pi * 1000.0 * static_cast<double>(i + 1) / fs), 1e-9);
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
