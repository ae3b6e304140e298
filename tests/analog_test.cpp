#include "modulation/analog.h"

#include "common/limits.h"
#include "dsp_reference.h"

namespace quorvin {
namespace {

constexpr double fs = 10000.0;

// A real waveform of exactly the count asked for: Q is +0.0 throughout, none for a count of
// zero, and counts above the ceiling are refused before anything is allocated.
TEST(Analog, EveryModulatorGivesARealWaveformOfTheRequestedLength) {
  const std::pair<const char*, std::function<Signal(std::uint32_t)>> modulators[] = {
      {"AM", [](std::uint32_t n) { return am_modulate(1000, 300, 0.8, fs, n); }},
      {"FM", [](std::uint32_t n) { return fm_modulate(1000, 300, 500, 0.8, fs, n); }},
      {"SSB", [](std::uint32_t n) { return am_ssb_modulate(1000, 300, 0.8, fs, n); }},
      {"CW", [](std::uint32_t n) { return cw_tone(1000, 0.8, fs, n); }},
  };
  for (const auto& [name, make] : modulators) {
    SCOPED_TRACE(name);
    const Signal s = make(777);
    ASSERT_EQ(s.size(), 777u);
    for (const Sample& x : s) {
      ASSERT_EQ(x.imag(), 0.0);
      ASSERT_FALSE(std::signbit(x.imag()));
    }
    EXPECT_TRUE(make(0).empty());
    EXPECT_THROW(make(static_cast<std::uint32_t>(max_samples_per_file + 1)), std::length_error);
  }
}

TEST(Analog, HandWorkedSamples) {
  const Signal am = am_modulate(1000, 250, 0.5, fs, 100);
  EXPECT_EQ(am[0].real(), 0.5);  // message sin(0) = 0, carrier cos(0) = 1
  // At t = 1 ms the message sin(2 pi 250 t) = 1 and the carrier cos(2 pi) = 1: envelope 2 A.
  EXPECT_NEAR(am[10].real(), 1.0, 1e-12);
  // A quarter cycle per sample of a sine that starts at zero.
  EXPECT_LT(test::max_abs_difference(cw_tone(2500, 3.0, fs, 5), {0, 3, 0, -3, 0}), 1e-12);
  EXPECT_EQ(cw_tone(2500, 3.0, fs, 5)[0].real(), 0.0);
  EXPECT_EQ(am_ssb_modulate(1000, 300, 1.0, fs, 1), Signal{0.0});
  // FM without deviation is the carrier one sample ahead: the phase advances before each sample.
  EXPECT_LT(test::max_abs_difference(fm_modulate(2500, 300, 0.0, 2.0, fs, 4), {0, -2, 0, 2}), 1e-12);
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

// Lower sideband only: a tone at fc - fm of peak A, and the upper sideband 60 dB or more below,
// for power-of-two and other lengths alike (the form's default of 1000 samples among them).
// Message and carrier both lie on exact DFT bins of the length at fs.
TEST(AmSsb, UpperSidebandSuppressedByAtLeast60dB) {
  struct Case {
    std::uint32_t num_samples;
    int message_bin;
    int carrier_bin;
  };
  const double amplitude = 0.9;
  for (const Case& c : {Case{1000, 30, 200}, Case{1000, 123, 300}, Case{1024, 50, 205},
                        Case{999, 37, 150}, Case{4001, 400, 1000}}) {
    SCOPED_TRACE(testing::Message() << c.num_samples << " samples, bins " << c.message_bin << ", "
                                    << c.carrier_bin);
    const double fm = c.message_bin * fs / c.num_samples;
    const double fc = c.carrier_bin * fs / c.num_samples;
    const Signal s = am_ssb_modulate(fc, fm, amplitude, fs, c.num_samples);
    const double lower = test::tone_power(s, fc - fm, fs) + test::tone_power(s, -(fc - fm), fs);
    const double upper = test::tone_power(s, fc + fm, fs) + test::tone_power(s, -(fc + fm), fs);
    EXPECT_NEAR(lower, amplitude * amplitude / 2.0, 1e-9);
    EXPECT_LT(10.0 * std::log10(upper / lower), -60.0);
  }
}

// What the run's memory budget counts for an AM-SSB file, worked by hand: a power of two and its
// twiddle table; a short padded transform with the chirps, b's transform and a twiddle table beside
// it (1000 samples pad to 2048); long ones (padded to 2^19) by quarters: just above a quarter of the
// padded length the input, two quarters and a class of eight (131073 + 2 * 2^17 + 2^16), near a
// half the input, the first half's kept values and two quarters (2 * 262143 + 2^17); at three
// eighths both come to the same.
TEST(AmSsb, PeakSamplesCoverThePaddedTransform) {
  const std::pair<std::uint32_t, double> cases[] = {{0, 0.0},
                                                    {1024, 1536.0},
                                                    {1000, 2.5 * 2048 + 1000},
                                                    {131073, 131073 + 2 * 131072 + 65536},
                                                    {196608, 196608 + 2 * 131072 + 65536},
                                                    {262143, 2 * 262143 + 131072},
                                                    {1u << 20, 1u << 20}};
  for (const auto& [n, peak] : cases) EXPECT_EQ(am_ssb_peak_samples(n), peak) << n;
}

// The classic AM-SSB files are frozen to the bit: the output must be what the message, its
// Hilbert transform through the whole-vector DFT and the phasing formula gave when they were
// first made, for lengths that are powers of two, odd, prime and long enough for the padded
// transform to be made by quarters, just above a quarter of its padded length and just below half.
TEST(AmSsb, SameBitsAsTheWholeVectorHilbertTransform) {
  const double fc = 1234.5;
  const double fm = 321.0;
  const double amplitude = 0.7;
  for (const std::uint32_t n : {2u, 3u, 5u, 64u, 999u, 1000u, 4001u, 65537u, 131073u, 262143u}) {
    const double step = 2.0 * pi * fm;
    Signal message(n);
    for (std::size_t i = 0; i < n; ++i) message[i] = std::sin(step * (static_cast<double>(i) / fs));
    Signal spectrum = test::whole_vector_fft(message, false);
    for (std::size_t k = 1; k < n; ++k) {
      if (k < n / 2) spectrum[k] *= Sample{-0.0, -1.0};
      if (k > n / 2) spectrum[k] *= Sample{0.0, 1.0};
    }
    const Signal quadrature = test::whole_vector_fft(spectrum, true);
    Signal expected(n);
    for (std::size_t i = 0; i < n; ++i) {
      const double angle = 2.0 * pi * fc * (static_cast<double>(i) / fs);
      expected[i] = {(message[i].real() * std::cos(angle) + quadrature[i].real() * std::sin(angle)) * amplitude, 0.0};
    }
    EXPECT_TRUE(test::same_bits(am_ssb_modulate(fc, fm, amplitude, fs, n), expected)) << n;
  }
}

}  // namespace
}  // namespace quorvin
