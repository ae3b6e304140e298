// The channel impairments against their textbook laws: Rayleigh and Rician envelopes, the
// Doppler spectrum's edges, phase-noise variance, image rejection and its sign, quantisation
// noise, Rapp's curve, the clock's ppm; the realised SNR of faded, amplified and pulsed files; and
// each stage's label rows against estimates from a file's samples.

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
#include "dsp_reference.h"
#include "modulation/fft.h"
#include "standard_files.h"
#include "waveform_samples.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

constexpr double two_pi = 2.0 * std::numbers::pi;

Signal ones(std::size_t n) { return Signal(n, Sample{1.0, 0.0}); }

FadingChannel one_tap(bool rician, double k, double doppler) { return {{0.0}, {0.0}, rician, k, doppler, 1e4}; }

// The rails' means, variances and covariance.
struct Rails {
  double mean_i = 0.0, mean_q = 0.0, var_i = 0.0, var_q = 0.0, cov = 0.0;
};

Rails rails(const Signal& x) {
  Rails r;
  const auto n = static_cast<double>(x.size());
  for (const Sample& s : x) r.mean_i += s.real() / n, r.mean_q += s.imag() / n;
  for (const Sample& s : x) {
    const double i = s.real() - r.mean_i, q = s.imag() - r.mean_q;
    r.var_i += i * i / n, r.var_q += q * q / n, r.cov += i * q / n;
  }
  return r;
}

// A circular signal (E[I^2] = E[Q^2], E[IQ] = 0) through I' = I, Q' = g (Q cos phi - I sin phi):
// the rails' correlation is -sin phi, the image's phase the one the power ratio cannot tell.
double rail_correlation(const Rails& r) { return r.cov / std::sqrt(r.var_i * r.var_q); }

// The tone's frequency, Hz: the mean phase step between samples.
double tone_frequency(const Signal& x, double sample_rate) {
  double turned = 0.0;
  for (std::size_t k = 1; k < x.size(); ++k) turned += std::arg(x[k] * std::conj(x[k - 1]));
  return turned / static_cast<double>(x.size() - 1) * sample_rate / two_pi;
}

// The variance of the phase walked over disjoint spans of tau samples, unwrapped sample by sample.
double phase_walk_variance(const Signal& y, std::size_t tau) {
  double sum = 0.0;
  double squares = 0.0;
  std::size_t count = 0;
  for (std::size_t k = 0; k + tau < y.size(); k += tau) {
    double step = 0.0;
    for (std::size_t j = k; j < k + tau; ++j) step += std::arg(y[j + 1] * std::conj(y[j]));
    sum += step;
    squares += step * step;
    ++count;
  }
  const double mean = sum / static_cast<double>(count);
  return squares / static_cast<double>(count) - mean * mean;
}

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
    EXPECT_NEAR(phase_walk_variance(y, tau) / (two_pi * linewidth * static_cast<double>(tau) / 1e4), 1.0, 0.05) << tau;
  }
}

// The image's power against its closed form, and the sign of phi, which that power (even in phi)
// cannot tell, by the rails' correlation.
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
    EXPECT_NEAR(rail_correlation(rails(y)), -std::sin(phase_deg * std::numbers::pi / 180.0), 1e-9) << phase_deg;
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
  // A burst's silence does not lower the saturation: the same three samples amid 997 zeros are
  // amplified as alone (the file's RMS would put the saturation 25 dB lower).
  Signal burst(1000);
  std::copy(x.begin(), x.end(), burst.begin() + 500);
  const Signal amplified = apply_rapp_amplifier(burst, 0.0, 2.0);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(std::abs(amplified[500 + i]), expected[i], 1e-6) << i;
  EXPECT_EQ(amplified[0], Sample(0.0));
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
    SCOPED_TRACE(c.name);
    const OptionTexts texts = {{"--sample-rate", "100000"}, {"--samples-per-file", "50000"},
                               {"--snr-min", "10"}, {"--snr-max", "10"}};
    const RunSettings s = test::read_settings(c.modulation, test::over(texts, c.stages));
    RunPlan plan(s, 3);
    PlannedFile file = plan.next().value();
    file.seeds = {5, 6};
    const Signal noisy = synthesize_exact_file(s, file);
    const double realised = test::label(file_parameters({s, file, std::nullopt}), "realised_snr_db");
    const PlannedFile noisy_file = file;
    file.snr_db = HUGE_VAL;
    const Signal clean = synthesize_exact_file(s, file);
    ASSERT_EQ(noisy.size(), clean.size());
    double signal = 0.0;
    double noise = 0.0;
    for (std::size_t k = 0; k < noisy.size(); ++k) {
      signal += std::norm(clean[k]);
      noise += std::norm(noisy[k] - clean[k]);
    }
    const auto n = static_cast<double>(noisy.size());
    // 50000 complex deviates: the power's estimate scatters by 0.45 %, 0.02 dB; 1500 by 0.11 dB.
    const double spread = n < 10000 ? 0.35 : 0.1;
    EXPECT_NEAR(10 * std::log10(noise / n), -10.0, spread);
    EXPECT_NEAR(realised, 10.0 * std::log10(signal / n) + 10.0, 0.01) << "against the signal's power";
    // The power the labels took from making the samples is the one they would measure alone, to the bit.
    EXPECT_EQ(realised, 10.0 + 10.0 * std::log10(exact_signal_power(s, noisy_file).value()));
    EXPECT_NEAR(realised, 10.0 * std::log10(signal / noise), spread);
  }
}

// The channel's path over a file rebuilds it: with two whole-sample taps, a carrier phase, phase
// noise and a carrier offset, every sample is the taps' gains at it times the delayed clean
// waveform, turned by the offset and the phase path, and the first gains are the label's.
TEST(ExactChannel, ChannelPathRebuildsTheFile) {
  RunSettings s = exact_settings(1e4, 3000);
  s.exact.impairments = {.fading = Fading::rayleigh, .fading_delays = {0.0, 2.0}, .fading_gains_db = {0.0, -3.0}};
  const PlannedFile file{.modulation = "QPSK", .snr_db = HUGE_VAL, .symbol_rate = 2000.0, .frequency_offset = 37.0,
                         .seeds = {5, 6}, .start_offset = 0.5,
                         .impairments = {.fading_k = 0.0, .doppler = 40.0, .carrier_phase = 1.0, .phase_noise = 3.0}};
  const Signal y = synthesize_exact_file(s, file);
  const ChannelPath channel = exact_channel_path(s, file);
  ASSERT_EQ(channel.tracks.size(), 2u);
  ASSERT_TRUE(channel.find("taps") && channel.find("phase"));
  const auto& taps = channel.find("taps")->rows;
  const auto& phase = channel.find("phase")->real;
  ASSERT_EQ(taps.size(), 2u);
  ASSERT_EQ(taps[0].size(), y.size());
  ASSERT_EQ(phase.size(), y.size());
  const Signal w = test::waveform_samples("QPSK", {.sample_rate = 1e4, .num_samples = 3000, .pad_before = 2,
                                                   .symbol_rate = 2000.0, .start_offset = 0.5,
                                                   .symbol_seed = 5});
  double worst = 0.0;
  double moved = 0.0;
  for (std::size_t k = 0; k < y.size(); ++k) {
    const Sample faded = taps[0][k] * w[k + 2] + taps[1][k] * w[k];
    const Sample expected = faded * std::polar(1.0, two_pi * 37.0 * static_cast<double>(k) / 1e4 + phase[k]);
    worst = std::max(worst, std::abs(y[k] - expected));
    moved = std::max(moved, std::abs(taps[0][k] - taps[0][0]) + std::abs(phase[k] - phase[0]));
  }
  EXPECT_LT(worst, 1e-9);
  EXPECT_GT(moved, 0.1) << "the channel varies over the file";
  EXPECT_EQ(phase[0], 1.0);
  const std::vector<Sample> first = exact_fading_taps(s, file);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[0], taps[0][0]);
  EXPECT_EQ(first[1], taps[1][0]);
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
                       Case{"GMSK", 70001, 5.0}, Case{"FM", 70002, 0.0}, Case{"8PSK", 3000, HUGE_VAL}}) {
    RunSettings s = exact_settings(37000.0, c.samples);
    s.mix_frequency = 250.0;
    const PlannedFile file{.modulation = c.name, .amplitude = 0.7, .snr_db = c.snr_db, .message_frequency = 900.0,
                           .symbol_rate = 10000.0, .timing_error = 0.3, .frequency_offset = 37.0, .seeds = {5, 6},
                           .start_offset = 0.25, .carrier_frequency = 1300.0,
                           .message_phase = 0.4};
    std::vector<std::size_t> sizes;
    Signal streamed;
    prepare_exact_file(s, file).emit([&](std::span<const Sample> block) {
      sizes.push_back(block.size());
      streamed.insert(streamed.end(), block.begin(), block.end());
    });
    const bool analog = std::string(c.name) == "FM";
    Signal whole = analog ? test::waveform_samples(analog_waveform(Route::fm),
                                                   {.sample_rate = s.sample_rate, .num_samples = c.samples,
                                                    .amplitude = 0.7, .carrier_frequency = 1300.0,
                                                    .message_frequency = 900.0, .deviation = s.analog_deviation,
                                                    .message_phase = 0.4})
                          : test::waveform_samples(c.name, {.sample_rate = s.sample_rate, .num_samples = c.samples,
                                                            .symbol_rate = 10000.0, .start_offset = 0.25,
                                                            .timing_error = 0.3,
                                                            .symbol_seed = 5});
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

// ---- Each stage's labels against its samples: a noise-free unit tone (CW, circular: over whole
// cycles E[I^2] = E[Q^2] = 1/2 and E[IQ] = 0) through one stage, read by an estimator written
// from README's model of that stage and compared with the file's label rows.

using test::label;

struct StageCase {
  const char* name;
  double carrier;  // Hz, at 10 kHz
  ImpairmentDraws draws;
  void (*settings)(ImpairmentSettings&);
  void (*check)(const Signal& x, const std::vector<ParameterRow>& rows);
};

constexpr double stage_rate = 1e4;

// I' = I + dc_i, Q' = g (Q cos phi - I sin phi) + dc_q: g^2 is the rails' variance ratio, -sin phi
// their correlation (of sign opposite to phi's), and the offsets their means over the RMS before.
void check_iq(const Signal& x, const std::vector<ParameterRow>& rows) {
  const Rails r = rails(x);
  EXPECT_NEAR(10.0 * std::log10(r.var_q / r.var_i), label(rows, "iq_amplitude"), 1e-9);
  EXPECT_NEAR(-std::asin(rail_correlation(r)) * 180.0 / std::numbers::pi, label(rows, "iq_phase"), 1e-9);
  const double level = std::sqrt(2.0 * r.var_i);  // I is untouched: half the power before
  EXPECT_NEAR(r.mean_i / level, label(rows, "dc_offset_i"), 1e-9);
  EXPECT_NEAR(r.mean_q / level, label(rows, "dc_offset_q"), 1e-9);
}

// The carrier's phase at sample 0, against the tone's own.
void check_carrier_phase(const Signal& x, const std::vector<ParameterRow>& rows) {
  const double turns = label(rows, "carrier_frequency") / stage_rate;
  const auto sum = test::phasor_sum(x, [turns](std::size_t k) { return -turns * static_cast<double>(k); });
  EXPECT_NEAR(std::remainder(static_cast<double>(std::arg(sum)) - label(rows, "carrier_phase"), two_pi), 0.0, 1e-9);
}

// A Wiener phase: steps of variance 2 pi linewidth / fs about the tone's own.
void check_phase_noise(const Signal& x, const std::vector<ParameterRow>& rows) {
  EXPECT_NEAR(phase_walk_variance(x, 1) / (two_pi * label(rows, "phase_noise") / stage_rate), 1.0, 0.03);
}

// The RF carrier moves by rf ppm 1e-6 Hz and every frequency by the factor 1 + ppm 1e-6.
void check_clock(const Signal& x, const std::vector<ParameterRow>& rows) {
  const double ppm = label(rows, "clock_ppm") * 1e-6;
  const double line = tone_frequency(x, stage_rate);
  EXPECT_NEAR(line, (label(rows, "carrier_frequency") + label(rows, "rf_frequency") * ppm) * (1.0 + ppm), 1e-4);
}

// Mid-rise levels (odd multiples of half a step) of 2^bits steps over twice the full scale, which
// lies `adc_backoff` dB above the peak rail value (the tone's, 1 within 1e-6 over its dense phases).
void check_adc(const Signal& x, const std::vector<ParameterRow>& rows) {
  std::vector<double> levels;
  for (const Sample& s : x) levels.push_back(s.real());
  std::sort(levels.begin(), levels.end());
  levels.erase(std::unique(levels.begin(), levels.end()), levels.end());
  double step = HUGE_VAL;
  for (std::size_t i = 1; i < levels.size(); ++i) step = std::min(step, levels[i] - levels[i - 1]);
  for (const double v : levels) EXPECT_NEAR(std::remainder(v / step - 0.5, 1.0), 0.0, 1e-9) << v;
  const double full_scale = step * std::ldexp(1.0, static_cast<int>(label(rows, "adc_bits"))) / 2.0;
  EXPECT_NEAR(20.0 * std::log10(full_scale), label(rows, "adc_backoff"), 1e-4);
}

// Rapp's curve on AM's envelope (written here from README's AM): with a the input envelope and A
// the saturation amplitude pa_backoff dB above its RMS, |y| = a / (1 + (a / A)^2p)^(1/2p).
void check_amplifier(const Signal& x, const std::vector<ParameterRow>& rows) {
  std::vector<double> envelope(x.size());
  double power = 0.0;
  for (std::size_t k = 0; k < x.size(); ++k) {
    const double t = static_cast<double>(k) / stage_rate;
    envelope[k] = label(rows, "amplitude") *
                  (1.0 + label(rows, "am_index") * std::sin(two_pi * label(rows, "message_frequency") * t + label(rows, "message_phase")));
    power += envelope[k] * envelope[k] / static_cast<double>(x.size());
  }
  const double saturation = std::sqrt(power) * std::pow(10.0, label(rows, "pa_backoff") / 20.0);
  const double p = label(rows, "pa_smoothness");
  for (std::size_t k = 0; k < x.size(); k += 97) {
    const double expected = envelope[k] / std::pow(1.0 + std::pow(envelope[k] / saturation, 2.0 * p), 0.5 / p);
    EXPECT_NEAR(std::abs(x[k]), expected, 1e-9) << k;
  }
}

// One Rician tap: the gain's spectrum (the tone taken off) holds the line of sight, K / (K + 1) of
// the power, and the diffuse sinusoids, 1 / 16 (K + 1) each, at Doppler fD cos(angle): the
// outermost of them lies within fD and, at 16 random angles, beyond 0.9 fD.
void check_fading(const Signal& x, const std::vector<ParameterRow>& rows) {
  const std::size_t n = x.size();
  const double carrier = label(rows, "carrier_frequency");
  Signal gain(n);
  double window_sum = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double u = two_pi * static_cast<double>(k) / static_cast<double>(n);
    const double blackman = 0.42 - 0.5 * std::cos(u) + 0.08 * std::cos(2.0 * u);
    gain[k] = blackman * x[k] * std::polar(1.0, -two_pi * carrier * static_cast<double>(k) / stage_rate);
    window_sum += blackman;
  }
  const Signal spectrum = fft(gain, FftDirection::forward);
  std::vector<double> power(n);
  double total = 0.0;
  for (std::size_t b = 0; b < n; ++b) total += power[b] = std::norm(spectrum[b]) / (window_sum * window_sum);
  const double bin = stage_rate / static_cast<double>(n);
  const double k_factor = label(rows, "fading_k");
  double outermost = 0.0;
  for (std::size_t b = 0; b < n; ++b) {
    if (power[b] > 0.25 / (16.0 * (k_factor + 1.0))) {
      outermost = std::max(outermost, std::abs(test::bin_frequency(b, n, stage_rate)));
    }
  }
  const double doppler = label(rows, "doppler");
  EXPECT_LE(outermost, doppler + 3.0 * bin);
  EXPECT_GE(outermost, 0.9 * doppler);
  const auto strongest = static_cast<std::size_t>(std::max_element(power.begin(), power.end()) - power.begin());
  double line = 0.0;
  for (std::size_t d = 0; d <= 8; ++d) line += power[(strongest + n - 4 + d) % n];
  EXPECT_NEAR(line / (total - line) / k_factor, 1.0, 0.1);
}

class StageLabels : public testing::TestWithParam<StageCase> {};

// The clock's cases: a carrier at 100 kHz RF, which the ppm moves too.
void with_rf(ImpairmentSettings& x) { x.rf_frequency = 1e5; }

TEST_P(StageLabels, AreWhatTheSamplesShow) {
  const StageCase c = GetParam();
  RunSettings s = exact_settings(stage_rate, 1 << 16);
  if (c.settings != nullptr) c.settings(s.exact.impairments);
  const bool amplified = c.draws.pa_backoff.has_value();
  const PlannedFile file{.modulation = amplified ? "AM" : "CW", .amplitude = amplified ? 0.8 : 1.0, .snr_db = HUGE_VAL,
                         .message_frequency = 50.0, .seeds = {5, 6}, .carrier_frequency = c.carrier,
                         .message_phase = 0.3, .family_draws = {0.6}, .impairments = c.draws};
  c.check(synthesize_exact_file(s, file), file_parameters({s, file, std::nullopt}));
}

// The tones: 6400 whole cycles of 2^16 samples (the IQ case's sums exact), or dense phases (the
// ADC's rails reach their peak of 1).
INSTANTIATE_TEST_SUITE_P(
    Stages, StageLabels,
    testing::Values(
        StageCase{"iq_and_dc", 6400.0 * stage_rate / 65536.0, {.iq_amplitude = 1.5, .iq_phase = 7.0, .dc_i = 0.2, .dc_q = -0.3}, nullptr, check_iq},
        StageCase{"carrier_phase", 1000.0, {.carrier_phase = 1.1}, nullptr, check_carrier_phase},
        StageCase{"phase_noise", 1000.0, {.phase_noise = 20.0}, nullptr, check_phase_noise},
        StageCase{"clock", 1000.0, {.clock_ppm = 400.0}, with_rf, check_clock},
        StageCase{"slow_clock", 1000.0, {.clock_ppm = -50.0}, with_rf, check_clock},
        StageCase{"amplifier", 1000.0, {.pa_backoff = 1.5}, [](ImpairmentSettings& x) { x.pa_smoothness = 3.0; }, check_amplifier},
        StageCase{"adc", 1234.5678, {.adc_bits = 7}, [](ImpairmentSettings& x) { x.adc_backoff = 3.0; }, check_adc},
        StageCase{"rician_fading", 1000.0, {.fading_k = 4.0, .doppler = 50.0},
                  [](ImpairmentSettings& x) {
                    x = {.fading = Fading::rician, .fading_delays = {0.0}, .fading_gains_db = {0.0}};
                  },
                  check_fading}),
    test::CaseName{});

// The carrier offset turns sample k of a block starting at `first` by 2 pi f (first + k) / fs,
// times the gain: against the turn worked out in long double, for blocks of odd and even lengths
// across the 256-sample stretches, and a block cut at an odd sample gives the whole's samples.
TEST(CarrierOffset, TurnsEachSampleByItsOwnPhaseWhereverTheBlockStarts) {
  struct Case {
    std::size_t length;
    std::int64_t first;
    Sample gain;
  };
  const double frequency = 1234.5;
  const double rate = 40000.0;
  for (const Case c : {Case{0, 0, 1.0}, Case{1, 0, 1.0}, Case{2, 255, 1.0}, Case{3, -3, 1.0}, Case{257, 253, Sample(0.5, 0.25)},
                       Case{1001, -700, 1.0}, Case{512, 1000003, Sample(-0.3, 0.8)}}) {
    SCOPED_TRACE(std::to_string(c.length) + " from " + std::to_string(c.first));
    Signal x(c.length);
    for (std::size_t k = 0; k < x.size(); ++k) x[k] = Sample(std::cos(0.37 * static_cast<double>(k)), 0.5 - 0.001 * static_cast<double>(k));
    const Signal turned = apply_carrier_offset(x, frequency, rate, c.first, c.gain);
    ASSERT_EQ(turned.size(), x.size());
    for (std::size_t k = 0; k < x.size(); ++k) {
      const long double cycles = static_cast<long double>(frequency) * static_cast<long double>(c.first + static_cast<std::int64_t>(k)) /
                                 static_cast<long double>(rate);
      const long double angle = 2.0L * std::numbers::pi_v<long double> * (cycles - std::floor(cycles));
      const Sample expected = x[k] * c.gain * Sample(static_cast<double>(std::cos(angle)), static_cast<double>(std::sin(angle)));
      // The cycles are reckoned in double: a few of their last bits' worth of phase.
      ASSERT_LT(std::abs(turned[k] - expected), 1e-15 * (static_cast<double>(std::abs(cycles)) + 100.0)) << "at " << k;
    }
    if (c.length < 3) continue;
    const std::size_t cut = c.length / 2 | 1;
    Signal head(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(cut));
    Signal tail(x.begin() + static_cast<std::ptrdiff_t>(cut), x.end());
    head = apply_carrier_offset(std::move(head), frequency, rate, c.first, c.gain);
    tail = apply_carrier_offset(std::move(tail), frequency, rate, c.first + static_cast<std::int64_t>(cut), c.gain);
    head.insert(head.end(), tail.begin(), tail.end());
    EXPECT_TRUE(test::same_bits(head, turned));
  }
}

}  // namespace
}  // namespace quorvin
