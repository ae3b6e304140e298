// The channel impairments against their textbook laws: Rayleigh and Rician envelopes, the
// Doppler spectrum's edges, phase-noise variance, image rejection, quantisation noise, Rapp's
// curve, the clock's ppm; and the realised SNR of faded, amplified and pulsed files.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <span>
#include <string>
#include <numbers>
#include <vector>

#include "channel/gaussian.h"
#include "channel/impairments.h"
#include "channel/noise.h"
#include "modulation/fft.h"
#include "generator/exact.h"
#include "run/exact_file.h"
#include "run/parameters.h"
#include "run/plan.h"
#include "form/options.h"
#include "dsp_reference.h"

namespace quorvin {
namespace {

constexpr double two_pi = 2.0 * std::numbers::pi;

Signal ones(std::size_t n) { return Signal(n, Sample{1.0, 0.0}); }

FadingChannel one_tap(bool rician, double k, double doppler) { return {{0.0}, {0.0}, rician, k, doppler, 1e4}; }

// An exact-model run of files of `samples` at `sample_rate`, its stages off.
RunSettings exact_settings(double sample_rate, std::int32_t samples) {
  RunSettings s;
  s.signal_model = SignalModel::exact;
  s.sample_rate = sample_rate;
  s.exact.samples_per_file = samples;
  return s;
}

// Envelopes of a faded constant, one sample from each of many channels (independent draws).
std::vector<double> envelopes(bool rician, double k, int channels) {
  std::vector<double> r;
  for (int seed = 1; seed <= channels; ++seed) {
    const Signal y = apply_fading(ones(3001), one_tap(rician, k, 30.0), static_cast<std::uint64_t>(seed));
    for (const std::size_t at : {0u, 1000u, 2000u, 3000u}) r.push_back(std::abs(y[at]));
  }
  return r;
}

TEST(Fading, RayleighEnvelopeFollowsTheRayleighLaw) {
  std::vector<double> r = envelopes(false, 0.0, 1000);
  std::sort(r.begin(), r.end());
  double distance = 0.0;  // Kolmogorov-Smirnov against 1 - exp(-r^2), the law at unit mean power
  for (std::size_t i = 0; i < r.size(); ++i) {
    const double law = 1.0 - std::exp(-r[i] * r[i]);
    const double n = static_cast<double>(r.size());
    distance = std::max({distance, std::abs(law - static_cast<double>(i) / n), std::abs(law - (static_cast<double>(i) + 1.0) / n)});
  }
  // Samples 1000 apart at 30 Hz Doppler are nearly independent: 4000 draws, 1 % critical value.
  EXPECT_LT(distance, 1.63 / std::sqrt(static_cast<double>(r.size())));
}

TEST(Fading, RicianKFactorIsRealised) {
  for (const double k : {1.0, 5.0, 10.0}) {
    const std::vector<double> r = envelopes(true, k, 1000);
    double m2 = 0.0;
    double m4 = 0.0;
    for (const double v : r) {
      m2 += v * v;
      m4 += v * v * v * v;
    }
    m2 /= static_cast<double>(r.size());
    m4 /= static_cast<double>(r.size());
    // The moment estimate: gamma = Var(r^2) / E[r^2]^2 = (1 + 2K) / (1 + K)^2.
    const double root = std::sqrt(std::max(0.0, 2.0 - m4 / (m2 * m2)));
    EXPECT_NEAR(root / (1.0 - root) / k, 1.0, 0.1) << k;
    EXPECT_NEAR(m2, 1.0, 0.05) << "unit mean power, K " << k;
  }
}

TEST(Fading, DopplerSpectrumHasItsEdgesAtTheMaximumDoppler) {
  // The gain of one Rayleigh tap over 2^16 samples at 10 kHz, Doppler 200 Hz, averaged spectra.
  const std::size_t n = 1 << 16;
  std::vector<double> psd(n, 0.0);
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    const Signal spectrum = fft(apply_fading(ones(n), one_tap(false, 0.0, 200.0), seed), FftDirection::forward);
    for (std::size_t b = 0; b < n; ++b) psd[b] += std::norm(spectrum[b]);
  }
  const auto band = [&](double lo, double hi) {  // power with lo <= |f| < hi, Hz
    double sum = 0.0;
    for (std::size_t b = 0; b < n; ++b) {
      const double f = std::abs((b < n / 2 ? static_cast<double>(b) : static_cast<double>(b) - n) * 1e4 / n);
      if (f >= lo && f < hi) sum += psd[b];
    }
    return sum;
  };
  const double total = band(0.0, 1e4);
  EXPECT_LT(band(210.0, 1e4) / total, 0.01);
  // The U shape: per hertz, the last tenth below the edge holds far more than the centre.
  EXPECT_GT(band(180.0, 200.5) / band(0.0, 20.0), 2.0);
}

TEST(Fading, FractionalDelaysDelayBandLimitedSignals) {
  // A still channel (no Doppler) of one tap 2.5 samples late: a constant gain times the tone
  // half a sample between its samples.
  const auto tone = [](double k) { return std::polar(1.0, two_pi * 0.05 * k); };
  Signal x(400);
  for (std::size_t k = 0; k < x.size(); ++k) x[k] = tone(static_cast<double>(k));
  for (const double delay : {2.5, 0.3}) {
    const Signal y = apply_fading(x, {{delay}, {0.0}, false, 0.0, 0.0, 1e4}, 9);
    const Sample gain = y[200] / tone(200.0 - delay);
    double worst = 0.0;
    for (std::size_t k = 40; k < 360; ++k) worst = std::max(worst, std::abs(y[k] / tone(static_cast<double>(k) - delay) - gain));
    EXPECT_LT(worst, 1e-3 * std::abs(gain)) << delay;
  }
}

TEST(PhaseNoise, IncrementVarianceGrowsAsTwoPiLinewidthTau) {
  const double linewidth = 10.0;
  const Signal y = apply_phase_noise(ones(400000), 0.0, linewidth, 1e4, 7);
  for (const std::size_t tau : {10u, 100u}) {
    double sum = 0.0;
    double squares = 0.0;
    std::size_t count = 0;
    for (std::size_t k = 0; k + tau < y.size(); k += tau) {
      double step = 0.0;  // the phase walked over tau samples, unwrapped sample by sample
      for (std::size_t j = k; j < k + tau; ++j) step += std::arg(y[j + 1] * std::conj(y[j]));
      sum += step;
      squares += step * step;
      ++count;
    }
    const double mean = sum / static_cast<double>(count);
    const double variance = squares / static_cast<double>(count) - mean * mean;
    EXPECT_NEAR(variance / (two_pi * linewidth * static_cast<double>(tau) / 1e4), 1.0, 0.05) << tau;
  }
}

TEST(IqImbalance, ImageRejectionMatchesTheClosedForm) {
  const std::size_t n = 1000;
  Signal tone(n);
  for (std::size_t k = 0; k < n; ++k) tone[k] = std::polar(1.0, two_pi * 50.0 * static_cast<double>(k) / n);
  const auto power_at = [](const Signal& x, double cycles) { return test::tone_power(x, cycles, 1000.0); };
  for (const auto& [gain_db, phase_deg] : {std::pair{1.0, 5.0}, std::pair{-0.5, 0.0}, std::pair{0.0, -3.0}}) {
    const Signal y = apply_iq_imbalance(tone, gain_db, phase_deg, 0.0, 0.0);
    const double g = std::pow(10.0, gain_db / 20.0);
    const double c = std::cos(phase_deg * std::numbers::pi / 180.0);
    const double expected = (1.0 + 2.0 * g * c + g * g) / (1.0 - 2.0 * g * c + g * g);
    EXPECT_NEAR(10 * std::log10(power_at(y, 50) / power_at(y, -50)), 10 * std::log10(expected), 1e-6) << gain_db;
  }
  // DC offsets land at 0 Hz as fractions of the RMS (1 here).
  const Signal dc = apply_iq_imbalance(tone, 0.0, 0.0, 0.25, -0.5);
  EXPECT_NEAR(std::sqrt(power_at(dc, 0)), std::abs(Sample(0.25, -0.5)), 1e-9);
}

TEST(Quantisation, FullScaleSineGivesSixDecibelsPerBit) {
  const std::size_t n = 100000;
  Signal sine(n);
  for (std::size_t k = 0; k < n; ++k) sine[k] = {std::sin(two_pi * 0.01234 * static_cast<double>(k)), 0.0};
  for (const int bits : {6, 8, 12}) {
    const Signal q = quantise(sine, bits, 0.0);
    double signal = 0.0;
    double error = 0.0;
    double largest = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
      signal += sine[k].real() * sine[k].real();
      error += std::norm(q[k].real() - sine[k].real());
      largest = std::max(largest, std::abs(q[k].real()));
    }
    EXPECT_NEAR(10 * std::log10(signal / error), 6.02 * bits + 1.76, 0.3) << bits;
    EXPECT_LE(largest, 1.0) << "no level beyond full scale";
  }
}

TEST(Rapp, AmplitudeCurveFollowsTheFormula) {
  // Amplitudes 0.5, 1 and sqrt(1.75) have unit RMS, so at back-off 0 dB the saturation amplitude
  // is 1; for p = 2, |y| = |x| / (1 + |x|^4)^(1/4), worked out by hand.
  const Signal x = {{0.5, 0.0}, {0.0, 1.0}, std::polar(std::sqrt(1.75), 2.0)};
  const Signal y = apply_rapp_amplifier(x, 0.0, 2.0);
  const double expected[] = {0.492479, 0.840896, 0.931796};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_NEAR(std::abs(y[i]), expected[i], 1e-6) << i;
    EXPECT_NEAR(std::arg(y[i]), std::arg(x[i]), 1e-12) << "no AM/PM";
  }
  // 6 dB of back-off doubles the saturation amplitude.
  EXPECT_NEAR(std::abs(apply_rapp_amplifier(x, 20 * std::log10(2.0), 2.0)[1]), 2 * 0.5 / std::pow(1 + 0.0625, 0.25), 1e-9);
}

TEST(ClockOffset, FrequenciesMoveByTheDrawnPpm) {
  const std::size_t n = 200000;
  Signal tone(n + 100);
  for (std::size_t k = 0; k < tone.size(); ++k) tone[k] = std::polar(1.0, two_pi * 0.1 * static_cast<double>(k));
  for (const double ppm : {-50.0, 200.0}) {
    const Signal y = resample_by_clock(tone, 20.0, ppm, n);
    double turn = 0.0;  // the measured frequency: the mean phase step, cycles per sample
    for (std::size_t k = 1000; k + 1 < n - 1000; ++k) turn += std::arg(y[k + 1] * std::conj(y[k]));
    turn /= (n - 2001.0) * two_pi;
    EXPECT_NEAR((turn / 0.1 - 1.0) * 1e6, ppm, 0.5) << ppm;
  }
}

// The noise is set by the nominal power, the same for every file: a faded or amplified file's
// noise has the labelled SNR's power whatever the stages did to the signal's, and its realised
// SNR is the signal's power as written over the noise's, each measured from the samples (the file
// made again without noise from the same seeds). Short radar pulses and a short QAM frame are far
// from unit power even unfaded.
struct RealisedCase {
  const char* name;
  const char* modulation;
  OptionTexts stages;
};

TEST(ExactChannel, RealisedSnrIsTheWrittenSignalOverTheNoise) {
  const RealisedCase cases[] = {
      {"slowly faded QPSK", "QPSK", {{"--fading", "rayleigh"}, {"--doppler-min", "1"}, {"--doppler-max", "1"}}},
      {"Rician OFDM with a clock", "OFDM-64",
       {{"--fading", "rician"}, {"--fading-k-min", "3"}, {"--doppler-max", "5"}, {"--clock-ppm-min", "15"}, {"--clock-ppm-max", "15"}}},
      {"amplified AM", "AM", {{"--pa-backoff-min", "1"}, {"--pa-backoff-max", "1"}}},
      {"radar pulses in a short frame", "LFM-radar", {{"--samples-per-file", "512"}}},
      {"short QAM64 frame", "QAM64", {{"--samples-per-file", "1500"}}},
  };
  for (const RealisedCase& c : cases) {
    OptionTexts texts = {{"--sample-rate", "100000"}, {"--samples-per-file", "50000"}, {"--snr-min", "10"}, {"--snr-max", "10"}};
    for (const auto& [key, value] : c.stages) texts[key] = value;
    auto read = read_options({{c.modulation}, texts});
    ASSERT_TRUE(std::holds_alternative<RunSettings>(read)) << c.name << ": " << std::get<Refusal>(read).text;
    const RunSettings s = std::get<RunSettings>(std::move(read));
    RunPlan plan(s, 3);
    PlannedFile file = plan.next().value();
    file.seeds = {5, 6};
    const Signal noisy = synthesize_exact_file(s, file);
    const std::vector<ParameterRow> rows = file_parameters({s, file, std::nullopt});
    const PlannedFile noisy_file = file;
    file.snr_db = INFINITY;
    const Signal clean = synthesize_exact_file(s, file);
    ASSERT_EQ(noisy.size(), clean.size()) << c.name;
    double signal = 0.0;
    double noise = 0.0;
    for (std::size_t k = 0; k < noisy.size(); ++k) {
      signal += std::norm(clean[k]);
      noise += std::norm(noisy[k] - clean[k]);
    }
    const auto n = static_cast<double>(noisy.size());
    // 50000 complex deviates: the power's estimate scatters by 0.45 %, 0.02 dB; 1500 by 0.11 dB.
    const double spread = n < 10000 ? 0.35 : 0.1;
    EXPECT_NEAR(10 * std::log10(noise / n), -10.0, spread) << c.name;
    const auto realised = std::find_if(rows.begin(), rows.end(), [](const ParameterRow& r) { return r.kind->key == "realised_snr_db"; });
    ASSERT_NE(realised, rows.end()) << c.name;
    EXPECT_NEAR(std::get<double>(realised->value), 10.0 * std::log10(signal / n) + 10.0, 0.01) << c.name << ": against the signal's power";
    // The power the labels took from making the samples is the one they would measure alone, to the bit.
    EXPECT_EQ(std::get<double>(realised->value), 10.0 + 10.0 * std::log10(exact_signal_power(s, noisy_file).value())) << c.name;
    EXPECT_NEAR(std::get<double>(realised->value), 10.0 * std::log10(signal / noise), spread) << c.name;
  }
}

// The channel's path over a file rebuilds it: with two whole-sample taps, a carrier phase, phase
// noise and a carrier offset, every sample is the taps' gains at it times the delayed clean
// waveform, turned by the offset and the phase path, and the first gains are the label's.
TEST(ExactChannel, ChannelPathRebuildsTheFile) {
  RunSettings s = exact_settings(1e4, 3000);
  s.exact.impairments.fading = Fading::rayleigh;
  s.exact.impairments.fading_delays = {0.0, 2.0};
  s.exact.impairments.fading_gains_db = {0.0, -3.0};
  const PlannedFile file{.modulation = "QPSK", .snr_db = INFINITY, .symbol_rate = 2000.0, .frequency_offset = 37.0,
                         .seeds = {5, 6}, .rolloff = 0.35, .start_offset = 0.5,
                         .impairments = {.fading_k = 0.0, .doppler = 40.0, .carrier_phase = 1.0, .phase_noise = 3.0}};
  const Signal y = synthesize_exact_file(s, file);
  const ChannelPath path = exact_channel_path(s, file);
  ASSERT_EQ(path.taps.size(), 2u);
  ASSERT_EQ(path.taps[0].size(), y.size());
  ASSERT_EQ(path.phase.size(), y.size());
  const Signal w = exact_digital_waveform("QPSK", {.symbol_rate = 2000.0, .sample_rate = 1e4, .num_samples = 3000,
                                                   .start_offset = 0.5, .rolloff = 0.35, .seeds = {5, 6}, .pad_before = 2});
  double worst = 0.0;
  double moved = 0.0;
  for (std::size_t k = 0; k < y.size(); ++k) {
    const Sample faded = path.taps[0][k] * w[k + 2] + path.taps[1][k] * w[k];
    const Sample expected = faded * std::polar(1.0, two_pi * 37.0 * static_cast<double>(k) / 1e4 + path.phase[k]);
    worst = std::max(worst, std::abs(y[k] - expected));
    moved = std::max(moved, std::abs(path.taps[0][k] - path.taps[0][0]) + std::abs(path.phase[k] - path.phase[0]));
  }
  EXPECT_LT(worst, 1e-9);
  EXPECT_GT(moved, 0.1) << "the channel varies over the file";
  EXPECT_EQ(path.phase[0], 1.0);
  const std::vector<Sample> first = exact_fading_taps(s, file);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], path.taps[0][0]);
  EXPECT_EQ(first[1], path.taps[1][0]);
}

// A file made in blocks is, to the bit, its waveform through the carrier offset and the noise as
// whole-signal stages: short files (first pass kept), long ones (waveform made twice), a length
// that is not a whole number of blocks, analog and keyed routes, and no noise at all.
TEST(ExactChannel, BlocksAreTheWholeChainToTheBit) {
  struct Case {
    const char* name;
    std::int32_t samples;
    double snr_db;
  };
  for (const Case c : {Case{"QPSK", 1000, 10.0}, Case{"QPSK", 5 * 16384 + 77, 3.0}, Case{"OQPSK", 70000, 20.0},
                       Case{"GMSK", 70001, 5.0}, Case{"FM", 70002, 0.0}, Case{"8PSK", 3000, INFINITY}}) {
    RunSettings s = exact_settings(37000.0, c.samples);
    s.mix_frequency = 250.0;
    const PlannedFile file{.modulation = c.name, .amplitude = 0.7, .snr_db = c.snr_db, .message_frequency = 900.0,
                           .symbol_rate = 10000.0, .timing_error = 0.3, .frequency_offset = 37.0, .seeds = {5, 6},
                           .rolloff = 0.35, .gmsk_bt = 0.3, .start_offset = 0.25, .carrier_frequency = 1300.0,
                           .message_phase = 0.4};
    std::vector<std::size_t> sizes;
    Signal streamed;
    prepare_exact_file(s, file).emit([&](std::span<const Sample> block) {
      sizes.push_back(block.size());
      streamed.insert(streamed.end(), block.begin(), block.end());
    });
    const bool analog = std::string(c.name) == "FM";
    Signal whole = analog ? exact_analog_waveform({.route = Route::fm, .amplitude = 0.7, .carrier_frequency = 1300.0,
                                                   .message_frequency = 900.0, .deviation = s.analog_deviation,
                                                   .message_phase = 0.4, .sample_rate = s.sample_rate,
                                                   .num_samples = c.samples})
                          : exact_digital_waveform(c.name, {.symbol_rate = 10000.0, .sample_rate = s.sample_rate,
                                                            .num_samples = c.samples, .start_offset = 0.25,
                                                            .timing_error = 0.3, .rolloff = 0.35, .gmsk_bt = 0.3,
                                                            .seeds = {5, 6}});
    // Analog carriers are offset too; the noise is relative to the unit nominal power.
    whole = apply_carrier_offset(std::move(whole), 287.0, s.sample_rate);
    if (std::isfinite(c.snr_db)) {
      NoiseSource source(6);
      whole = add_deviates(std::move(whole), noise_deviation(1.0, c.snr_db), source);
    }
    ASSERT_EQ(streamed.size(), whole.size()) << c.name;
    EXPECT_EQ(std::memcmp(streamed.data(), whole.data(), whole.size() * sizeof(Sample)), 0) << c.name << " " << c.samples;
    EXPECT_LE(*std::max_element(sizes.begin(), sizes.end()), exact_block_samples) << c.name;
  }
}

}  // namespace
}  // namespace quorvin
