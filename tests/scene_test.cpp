// Wideband scenes against estimators that see only the samples: an energy detector on a
// spectrogram, emitters cut out by their boxes, and the bytes of any -j and shard.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "blind_rate.h"
#include "common/text.h"
#include "dsp_reference.h"
#include "form/options.h"
#include "label_rows.h"
#include "modulation/catalogue.h"
#include "parameter_names.h"
#include "run/dataset.h"
#include "scene_files.h"
#include "standard_files.h"
#include "synthesis/scene.h"

namespace quorvin {

QUORVIN_PRINT_CASES_BY_NAME

namespace {

constexpr double fs = 1e6;
constexpr std::int64_t capture = 32768;

// The settings a run of `names` with `texts` reads; a refusal fails the test.
RunSettings settings_of(std::vector<std::string> names, const OptionTexts& texts) {
  auto read = read_options({std::move(names), texts});
  if (const Refusal* refusal = std::get_if<Refusal>(&read)) ADD_FAILURE() << refusal->text << " " << refusal->option;
  return std::get<RunSettings>(std::move(read));
}

RunSettings scene_settings(std::vector<std::string> names, const OptionTexts& extra = {}) {
  const OptionTexts texts = {{"--sample-rate", "1000000"},      {"--samples-per-file", std::to_string(capture)},
                             {"--scene", "wideband"},           {"--snr-min", "20"},
                             {"--snr-max", "20"},               {"--samples-per-symbol-min", "16"},
                             {"--samples-per-symbol-max", "32"}, {"--files-per-modulation", "2"},
                             {"--overlap", "none"},             {"--analog-fc", "0"},
                             {"--message-frequency-min", "2000"}, {"--message-frequency-max", "8000"},
                             {"--analog-deviation", "5000"}};
  return settings_of(std::move(names), test::over(texts, extra));
}

using test::alone_in;
using test::scene_at;

// Power spectrogram: Blackman-windowed frames of n samples every n, bins in FFT order.
std::vector<std::vector<double>> spectrogram(const Signal& x, std::size_t n) {
  std::vector<std::vector<double>> frames;
  for (std::size_t at = 0; at + n <= x.size(); at += n) {
    Signal frame(x.begin() + static_cast<std::ptrdiff_t>(at), x.begin() + static_cast<std::ptrdiff_t>(at + n));
    for (std::size_t i = 0; i < n; ++i) {
      const double a = 2.0 * pi * static_cast<double>(i) / static_cast<double>(n);
      frame[i] *= 0.42 - 0.5 * std::cos(a) + 0.08 * std::cos(2.0 * a);
    }
    const Signal spectrum = test::whole_vector_fft(frame, false);
    std::vector<double> power(n);
    for (std::size_t k = 0; k < n; ++k) power[k] = std::norm(spectrum[k]);
    frames.push_back(std::move(power));
  }
  return frames;
}

// A scene's names, how many emitters it draws and how they may overlap.
struct CrowdCase {
  const char* name;
  std::vector<std::string> names;
  const char* emitters_min;
  const char* emitters_max;
  const char* overlap;
  const char* fewest_samples_per_symbol;  // 16FSK's tones need room at the sample rate
};

QUORVIN_PRINT_CASES_BY_NAME

RunSettings crowd_settings(const CrowdCase& c, const OptionTexts& extra = {}) {
  return scene_settings(c.names, test::over({{"--emitters-min", c.emitters_min}, {"--emitters-max", c.emitters_max},
                                             {"--overlap", c.overlap},
                                             {"--samples-per-symbol-min", c.fewest_samples_per_symbol},
                                             {"--samples-per-symbol-max", "64"}},
                                            extra));
}

TEST(Scene, AnEnergyDetectorFindsEveryBoxWithinItsResolutionAndNothingElsewhere) {
  constexpr std::size_t n = 256;
  constexpr double bin = fs / n;
  // A line spreads over the Blackman window's main lobe, three bins either side (its sidelobes
  // stay 58 dB down): the detector's own resolution in frequency.
  constexpr double lobe = 3.0;
  const RunSettings s = crowd_settings({"linear_and_analog", {"QPSK", "QAM16", "8PSK", "CW", "AM"}, "3", "5", "none",
                                        "16"});
  std::size_t scenes = 0;
  for (std::uint64_t position = 0; position < 8; ++position) {
    SCOPED_TRACE(position);
    const PlannedFile file = scene_at(s, 11, position);
    // A crowded band may have no room for the last emitters: that scene is refused whole.
    if (!file.scene->fault.empty()) continue;
    ++scenes;
    std::string emitters;
    for (const SceneEmitter& e : file.scene->emitters) {
      emitters += e.file.modulation + " " + std::to_string(e.box.sample_start) + "+" + std::to_string(e.box.sample_count) + " " +
                  std::to_string(e.box.freq_lower_edge) + ".." + std::to_string(e.box.freq_upper_edge) + "; ";
    }
    SCOPED_TRACE(emitters);
    const auto frames = spectrogram(synthesize_scene(s, file), n);
    // The noise floor: the median cell; a cell is occupied 15 dB above it (noise alone exceeds that
    // once in a billion cells).
    std::vector<double> all;
    for (const auto& f : frames) all.insert(all.end(), f.begin(), f.end());
    std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(all.size() / 2), all.end());
    const double threshold = 30.0 * all[all.size() / 2];
    // A cell belongs to the box nearest in frequency among those within a hop of it in time.
    const auto owner = [&](std::size_t t, std::size_t k) -> std::optional<std::size_t> {
      std::optional<std::size_t> best;
      double nearest = lobe * bin;
      const double t0 = static_cast<double>(t * n);
      const double f = test::bin_frequency(k, n, fs);
      for (std::size_t j = 0; j < file.scene->emitters.size(); ++j) {
        const SceneBox& b = file.scene->emitters[j].box;
        if (t0 + 2.0 * n <= static_cast<double>(b.sample_start) || t0 - n >= static_cast<double>(b.sample_start + b.sample_count)) continue;
        const double away = std::max({0.0, b.freq_lower_edge - f, f - b.freq_upper_edge});
        if (away <= nearest) {
          nearest = away;
          best = j;
        }
      }
      return best;
    };
    std::vector<std::array<double, 4>> found(file.scene->emitters.size(), {1e30, -1e30, 1e30, -1e30});
    for (std::size_t t = 0; t < frames.size(); ++t) {
      for (std::size_t k = 0; k < n; ++k) {
        if (frames[t][k] < threshold) continue;
        const std::optional<std::size_t> j = owner(t, k);
        EXPECT_TRUE(j) << "energy at frame " << t << ", " << test::bin_frequency(k, n, fs) << " Hz, where no box is";
        if (!j) continue;
        auto& [first, last, low, high] = found[*j];
        first = std::min(first, static_cast<double>(t * n));
        last = std::max(last, static_cast<double>((t + 1) * n));
        low = std::min(low, test::bin_frequency(k, n, fs));
        high = std::max(high, test::bin_frequency(k, n, fs));
      }
    }
    for (std::size_t j = 0; j < found.size(); ++j) {
      const SceneEmitter& e = file.scene->emitters[j];
      SCOPED_TRACE(e.file.modulation);
      const auto& [first, last, low, high] = found[j];
      EXPECT_NEAR(first, static_cast<double>(e.box.sample_start), static_cast<double>(n));
      EXPECT_NEAR(last, static_cast<double>(e.box.sample_start + e.box.sample_count), static_cast<double>(n));
      EXPECT_NEAR(low, e.box.freq_lower_edge, lobe * bin);
      EXPECT_NEAR(high, e.box.freq_upper_edge, lobe * bin);
    }
  }
  EXPECT_GE(scenes, 4U);
}

class SceneCrowdOfEveryName : public testing::TestWithParam<CrowdCase> {};

// Crowded scenes of every name (1 to 8 emitters, each overlap rule, clocks and carrier offsets
// that move the boxes, bursts down to 1 % of the capture): every box lies inside the capture and,
// as the rule asks, apart from the others in frequency or in time; each emitter, made alone with
// the scene's draws (its burst, place, the receiver's clock), keeps 99 % of its energy in its box.
// An energy detector cannot tell one emitter's skirts from another's signal where they may
// overlap, so each is measured apart.
TEST_P(SceneCrowdOfEveryName, EachBoxKeepsItsPlaceAndHoldsItsEmittersEnergy) {
  const CrowdCase& c = GetParam();
  const RunSettings s = crowd_settings(c, {{"--clock-ppm-min", "-50"}, {"--clock-ppm-max", "50"},
                                           {"--burst-min", "0.01"}, {"--frequency-offset-min", "-3000"},
                                           {"--frequency-offset-max", "3000"}});
  const std::string overlap = c.overlap;
  std::size_t emitters = 0;
  // Wide names leave no room for others apart: many such scenes are refused, so more are drawn.
  for (std::uint64_t position = 0; position < 32; ++position) {
    SCOPED_TRACE(position);
    const PlannedFile file = scene_at(s, 11, position);
    if (!file.scene->fault.empty()) continue;
    const std::vector<SceneEmitter>& all = file.scene->emitters;
    for (std::size_t i = 0; i < all.size(); ++i) {
      const SceneEmitter& e = all[i];
      SCOPED_TRACE(e.file.modulation);
      ++emitters;
      const SceneBox& b = e.box;
      EXPECT_GE(b.sample_start, 0);
      EXPECT_GT(b.sample_count, 0);
      EXPECT_LE(b.sample_start + b.sample_count, capture);
      EXPECT_LT(b.freq_lower_edge, b.freq_upper_edge);
      EXPECT_GE(b.freq_lower_edge, -fs / 2.0);
      EXPECT_LE(b.freq_upper_edge, fs / 2.0);
      for (std::size_t j = 0; j < i && overlap != "any"; ++j) {
        const SceneBox& o = all[j].box;
        const bool apart_in_time = overlap == "boxes" && (b.sample_start + b.sample_count <= o.sample_start ||
                                                          o.sample_start + o.sample_count <= b.sample_start);
        EXPECT_TRUE(apart_in_time || b.freq_upper_edge <= o.freq_lower_edge + 1e-6 ||
                    o.freq_upper_edge <= b.freq_lower_edge + 1e-6);
      }
      const Signal alone = synthesize_scene(s, alone_in(file, e), false);
      EXPECT_GE(test::band_share(alone, fs, b.freq_lower_edge, b.freq_upper_edge), 0.99)
          << b.freq_lower_edge << " .. " << b.freq_upper_edge << " Hz";
    }
  }
  EXPECT_GT(emitters, 30U);
}

INSTANTIATE_TEST_SUITE_P(Scene, SceneCrowdOfEveryName,
                         testing::Values(CrowdCase{"apart", {"every"}, "1", "8", "none", "40"},
                                         CrowdCase{"apart_in_time", {"every"}, "1", "8", "boxes", "40"},
                                         CrowdCase{"anywhere", {"every"}, "1", "8", "any", "40"}),
                         [](const testing::TestParamInfo<CrowdCase>& row) { return std::string(row.param.name); });

// A windowed-sinc low-pass of cutoff `cutoff` Hz at `rate`, 2 half + 1 taps (same length, the first
// and last `half` samples 0).
Signal low_pass(const Signal& x, double cutoff, std::size_t half, double rate = fs) {
  std::vector<double> taps(2 * half + 1);
  for (std::size_t i = 0; i < taps.size(); ++i) {
    const double m = static_cast<double>(i) - static_cast<double>(half);
    const double sinc = m == 0.0 ? 2.0 * cutoff / rate : std::sin(2.0 * pi * cutoff / rate * m) / (pi * m);
    taps[i] = sinc * (0.42 + 0.5 * std::cos(pi * m / static_cast<double>(half)) +
                      0.08 * std::cos(2.0 * pi * m / static_cast<double>(half)));
  }
  Signal y(x.size());
  for (std::size_t k = half; k + half < x.size(); ++k) {
    Sample acc = 0.0;
    for (std::size_t i = 0; i < taps.size(); ++i) acc += taps[i] * x[k + half - i];
    y[k] = acc;
  }
  return y;
}

// The energy of x over samples a .. b (clamped to its ends).
double energy_over(const Signal& x, double a, double b) {
  double sum = 0.0;
  const auto lo = static_cast<std::size_t>(std::clamp(std::floor(a), 0.0, static_cast<double>(x.size())));
  const auto hi = static_cast<std::size_t>(std::clamp(std::ceil(b) + 1.0, 0.0, static_cast<double>(x.size())));
  for (std::size_t k = lo; k < hi; ++k) sum += std::norm(x[k]);
  return sum;
}

TEST(Scene, EachEmitterCutOutByItsBoxIsItsOwnSingleFileAtItsLabelledPowerAndSymbolRate) {
  const RunSettings s = scene_settings({"QPSK", "QAM16", "8PSK"}, {{"--emitters-min", "3"}, {"--emitters-max", "3"}});
  const PlannedFile file = scene_at(s, 5, 1);
  ASSERT_TRUE(file.scene->fault.empty()) << file.scene->fault;
  const Signal scene = synthesize_scene(s, file, false);
  for (const SceneEmitter& e : file.scene->emitters) {
    SCOPED_TRACE(e.file.modulation);
    // Shift the box's middle to 0 Hz and keep its band.
    const double middle = (e.box.freq_lower_edge + e.box.freq_upper_edge) / 2.0;
    Signal cut = scene;
    for (std::size_t k = 0; k < cut.size(); ++k) cut[k] *= std::polar(1.0, -2.0 * pi * middle * static_cast<double>(k) / fs);
    const double cutoff = (e.box.freq_upper_edge - e.box.freq_lower_edge) / 2.0 * 1.05;
    cut = low_pass(cut, cutoff, 200);
    // The same name, draws and seeds made alone, without noise, put at the same place.
    PlannedFile alone = e.file;
    alone.snr_db = test::inf;
    alone.impairments = {};
    Signal single = synthesize_file(s, alone);
    const double gain = std::pow(10.0, e.file.snr_db / 20.0);
    for (std::size_t k = 0; k < single.size(); ++k) {
      single[k] *= gain * std::polar(1.0, 2.0 * pi * (e.centre_frequency - middle) * static_cast<double>(k) / fs);
    }
    single = low_pass(single, cutoff, 200);
    // Inside the burst, away from its edges and the filter's.
    const auto from = static_cast<std::size_t>(e.box.sample_start) + 400;
    const auto to = static_cast<std::size_t>(e.box.sample_start + e.box.sample_count) - 400;
    double error = 0.0;
    double power = 0.0;
    for (std::size_t k = from; k < to; ++k) {
      error += std::norm(cut[k] - single[k]);
      power += std::norm(cut[k]);
    }
    EXPECT_LT(error / power, 1e-3);
    EXPECT_NEAR(10.0 * std::log10(power / static_cast<double>(to - from)), e.file.snr_db, 0.5);
    // Its blind symbol rate: the spectral line of |x|^2, against the drawn rate with its drift.
    Signal envelope(cut.begin() + static_cast<std::ptrdiff_t>(from), cut.begin() + static_cast<std::ptrdiff_t>(to));
    for (Sample& x : envelope) x = std::norm(x);
    const double labelled = e.file.symbol_rate + e.file.timing_error * fs / static_cast<double>(capture);
    envelope.resize(131072);  // zero-padded: bins of 7.6 Hz
    const Signal spectrum = test::whole_vector_fft(envelope, false);
    const double bin = fs / static_cast<double>(spectrum.size());
    // The strongest bin within 5 % of the label.
    const auto at = [&](double f) { return spectrum.begin() + static_cast<std::ptrdiff_t>(std::ceil(f / bin)); };
    const auto peak = std::max_element(at(0.95 * labelled), at(1.05 * labelled),
                                       [](Sample a, Sample b) { return std::abs(a) < std::abs(b); });
    EXPECT_NEAR(static_cast<double>(peak - spectrum.begin()) * bin, labelled, 1e-3 * labelled);
  }
}

// Every name alone in its scenes at the draws a user gets by default (a 20 MHz capture, bursts,
// drift, 2 to 16 samples a symbol): its box holds 99 % of its emitter's energy, counted in the
// capture's whole spectrum without noise.
class SceneName : public testing::TestWithParam<ModulationRow> {};

TEST_P(SceneName, AloneItsBoxHoldsItsEnergy) {
  const ModulationRow& row = GetParam();
  const Waveform w = resolve_waveform(row.name);
  if (is_silent(w)) return;  // Noise makes no emitter
  OptionTexts texts = {{"--sample-rate", "20000000"}, {"--samples-per-file", "65536"}, {"--scene", "wideband"},
                       {"--emitters-min", "1"}, {"--emitters-max", "1"}, {"--snr-min", "20"}, {"--snr-max", "20"},
                       {"--files-per-modulation", "3"}};
  if (is_standard(row)) {
    // At its own rate, in the shortest capture of whole 4096s that holds a frame at its slowest rate
    // (POCSAG's take seconds).
    const double rate = w.family->sample_rate;
    const double periods = w.family->shortest_file(w, {});
    const double samples = std::ceil(periods * rate / w.family->symbol_rate(w, {}, rate, 0.0) / 4096.0) * 4096.0;
    texts["--sample-rate"] = shortest_text(rate);
    texts["--samples-per-file"] = shortest_text(samples);
  }
  const RunSettings s = test::read_settings(std::string(row.name), texts);
  for (std::uint64_t position = 0; position < 3; ++position) {
    SCOPED_TRACE(position);
    const PlannedFile file = scene_at(s, 21, position);
    ASSERT_TRUE(file.scene->fault.empty()) << file.scene->fault;
    const SceneBox& b = file.scene->emitters.at(0).box;
    EXPECT_EQ(file.scene->emitters[0].frames.empty(), !is_standard(row));
    EXPECT_GE(test::band_share(synthesize_scene(s, file, false), s.sample_rate, b.freq_lower_edge, b.freq_upper_edge), 0.99) << b.freq_lower_edge << " .. " << b.freq_upper_edge << " Hz";
  }
}

INSTANTIATE_TEST_SUITE_P(Catalogue, SceneName, testing::ValuesIn(modulation_catalogue), test::RowName());

struct MovedCase {
  const char* name;
  OptionTexts options;
  // Where the line should be, from the emitter's labels: centre, offset, clock.
  double (*expected)(const SceneEmitter& e);
};

double at_centre(const SceneEmitter& e) { return e.centre_frequency; }
double offset_moved(const SceneEmitter& e) { return e.centre_frequency + e.file.frequency_offset; }
double clock_scaled(const SceneEmitter& e) { return e.centre_frequency * (1.0 + *e.file.impairments.clock_ppm * 1e-6); }

TEST(Scene, BoxesMoveWithEachOffsetAsTheLineDoes) {
  const MovedCase cases[] = {
      {"none", {}, at_centre},
      {"carrier offset", {{"--frequency-offset-min", "4000"}, {"--frequency-offset-max", "6000"}}, offset_moved},
      {"clock", {{"--clock-ppm-min", "900"}, {"--clock-ppm-max", "1000"}}, clock_scaled},
  };
  for (const MovedCase& c : cases) {
    SCOPED_TRACE(c.name);
    OptionTexts options = c.options;
    options.insert({{"--emitters-max", "1"}, {"--burst-min", "1"}, {"--overlap", "any"}, {"--frequency-offset-min", "0"},
                    {"--frequency-offset-max", "0"}});
    const RunSettings s = scene_settings({"CW"}, options);
    for (std::uint64_t position = 0; position < 2; ++position) {
      const PlannedFile file = scene_at(s, 21, position);
      const SceneEmitter& e = file.scene->emitters.at(0);
      const double line = test::strongest_tone(synthesize_scene(s, file, false), fs);
      EXPECT_NEAR(line, c.expected(e), 0.05);
      EXPECT_NEAR(line, (e.box.freq_lower_edge + e.box.freq_upper_edge) / 2.0, 0.05);
      if (c.expected != at_centre) {
        EXPECT_GT(std::abs(c.expected(e) - e.centre_frequency), 300.0);
      }
    }
  }
}

TEST(Scene, AFadedEmittersBoxHoldsItsDopplerSpreadPower) {
  const RunSettings s = scene_settings({"CW"}, {{"--emitters-max", "1"}, {"--burst-min", "1"}, {"--fading", "rayleigh"},
                                                {"--doppler-min", "3000"}, {"--doppler-max", "3000"}});
  const PlannedFile file = scene_at(s, 2, 0);
  const SceneEmitter& e = file.scene->emitters.at(0);
  // The Doppler spread either side, and the burst's own spread of a line beyond it.
  EXPECT_GE(e.box.freq_upper_edge - e.box.freq_lower_edge, 6000.0);
  EXPECT_LT(e.box.freq_upper_edge - e.box.freq_lower_edge, 7500.0);
  const Signal x = synthesize_scene(s, file, false);
  EXPECT_GT(test::band_share(x, fs, e.box.freq_lower_edge, e.box.freq_upper_edge), 0.99);
  // Outside the centre's +-1500 Hz: the spread reaches out to its Doppler.
  EXPECT_LT(test::band_share(x, fs, e.centre_frequency - 1500.0, e.centre_frequency + 1500.0), 0.9);
}

// An emitter's realised SNR is its power over its box, burst ramps, amplifier and fading
// included, over the floor's: both measured from the capture, made without and with its noise.
TEST(Scene, RealisedSnrIsTheEmittersPowerOverItsBox) {
  const OptionTexts cases[] = {
      {{"--fading", "rayleigh"}, {"--doppler-min", "2"}, {"--doppler-max", "2"}, {"--burst-min", "0.3"}, {"--burst-max", "0.3"}},
      {{"--pa-backoff-min", "1"}, {"--pa-backoff-max", "1"}, {"--clock-ppm-min", "40"}, {"--clock-ppm-max", "40"}},
      {{"--fading", "rician"}, {"--doppler-max", "5"}, {"--burst-min", "0.5"}, {"--clock-ppm-min", "-30"}},
  };
  for (const OptionTexts& stages : cases) {
    OptionTexts options = stages;
    options.insert({{"--emitters-max", "1"}, {"--snr-min", "8"}, {"--snr-max", "8"}});
    const RunSettings s = scene_settings({"QPSK", "OFDM-64", "AM"}, options);
    for (std::uint64_t position = 0; position < 3; ++position) {
      const PlannedFile file = scene_at(s, 4, position);
      const SceneEmitter& e = file.scene->emitters.at(0);
      const Signal clean = synthesize_scene(s, file, false);
      const Signal noisy = synthesize_scene(s, file, true);
      const auto start = static_cast<double>(e.box.sample_start);
      const double signal = energy_over(clean, start, start + static_cast<double>(e.box.sample_count - 1)) /
                            static_cast<double>(e.box.sample_count);
      double noise = 0.0;
      for (std::size_t k = 0; k < clean.size(); ++k) noise += std::norm(noisy[k] - clean[k]);
      noise /= static_cast<double>(clean.size());
      const double label = test::label(emitter_parameters(s, e, 4), "realised_snr_db");
      EXPECT_NEAR(label, 10.0 * std::log10(signal), 0.02) << e.file.modulation << " " << position;
      // 32768 deviates of the floor: its power's estimate scatters by 0.024 dB.
      EXPECT_NEAR(label, 10.0 * std::log10(signal / noise), 0.1) << e.file.modulation << " " << position;
    }
  }
}

// Scenes holding the standards among other names, each capture long enough for every
// standard's frames.
struct StandardsCase {
  const char* name;
  std::vector<std::string> names;
  const char* sample_rate;
  std::int64_t length;
  OptionTexts narrow;  // the standards' own ranges, narrowed so that the capture holds their frames
};

RunSettings standards_settings(const StandardsCase& c, const OptionTexts& extra = {}) {
  const OptionTexts texts = {{"--sample-rate", c.sample_rate}, {"--samples-per-file", std::to_string(c.length)},
                             {"--scene", "wideband"}, {"--snr-min", "20"}, {"--snr-max", "20"}, {"--overlap", "any"},
                             {"--files-per-modulation", "1"}, {"--emitters-min", std::to_string(c.names.size())},
                             {"--emitters-max", std::to_string(c.names.size())}, {"--message-frequency-min", "2000"},
                             {"--message-frequency-max", "8000"}, {"--analog-deviation", "5000"}, {"--analog-fc", "0"}};
  return settings_of(c.names, test::over(test::over(texts, c.narrow), extra));
}

class SceneStandards : public testing::TestWithParam<StandardsCase> {};

// Each emitter made alone with its scene's draws, without noise: a standard's energy lies in its
// labelled frames, each whole inside the capture and holding its share, silence between them; and
// every emitter's inside its band. Together: each frame's box, and nothing outside the boxes.
TEST_P(SceneStandards, EachFrameLiesWholeInItsBox) {
  const StandardsCase& c = GetParam();
  const RunSettings s = standards_settings(c);
  const double rate = s.sample_rate;
  std::map<std::string, std::size_t> frames_seen;
  for (std::uint64_t position = 0; position < 2; ++position) {
    SCOPED_TRACE(position);
    const PlannedFile file = scene_at(s, 7, position);
    ASSERT_TRUE(file.scene->fault.empty()) << file.scene->fault;
    for (const SceneEmitter& e : file.scene->emitters) {
      SCOPED_TRACE(e.file.modulation);
      const Signal x = synthesize_scene(s, alone_in(file, e), false);
      const double total = energy_over(x, 0.0, static_cast<double>(x.size()));
      ASSERT_GT(total, 0.0);
      if (is_standard(*waveform_of(e.file).row)) {
        ASSERT_FALSE(e.frames.empty());
        frames_seen[e.file.modulation] += e.frames.size();
        // Its filter's tails (a Gaussian or raised-cosine pulse) reach a symbol or two beyond a frame.
        const double tail = 2.0 * rate / e.file.symbol_rate;
        double inside = 0.0;
        double held = 0.0;
        for (std::size_t i = 0; i < e.frames.size(); ++i) {
          const auto [start, end] = e.frames[i];
          EXPECT_GE(start, 0.0);
          EXPECT_LE(end, static_cast<double>(c.length - 1));
          EXPECT_GE(start, static_cast<double>(e.box.sample_start));
          EXPECT_LE(end, static_cast<double>(e.box.sample_start + e.box.sample_count));
          if (i > 0) {
            EXPECT_GT(start - e.frames[i - 1][1], 2.0 * tail) << "frame " << i << " meets the one before";
          }
          inside += energy_over(x, start - tail, end + tail);
          held += end - start;
        }
        EXPECT_GE(inside / total, 0.99);
        // Each frame holds its share: none is empty, misplaced or cut.
        for (const auto& [start, end] : e.frames) {
          EXPECT_GT(energy_over(x, start, end) / (end - start), 0.3 * total / held) << start << " .. " << end;
        }
      }
      EXPECT_GE(test::band_share(x, rate, e.box.freq_lower_edge, e.box.freq_upper_edge), 0.99) << e.box.freq_lower_edge << " .. " << e.box.freq_upper_edge;
    }
  }
  for (const std::string& name : c.names) {
    if (is_standard(*resolve_waveform(name).row)) {
      EXPECT_GT(frames_seen[name], 0U) << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scene, SceneStandards,
    testing::Values(StandardsCase{"at_20_MHz",
                                  {"QPSK", "FM", "ADS-B", "AIS", "BLE", "802.11a/g"},
                                  "20000000",
                                  std::int64_t{1} << 20,
                                  {{"--ais-gap-min", "0"}, {"--ais-gap-max", "0"}, {"--ble-adv-interval-max", "32"}}},
                    StandardsCase{"paging_and_packet_radio",
                                  {"QPSK", "FM", "POCSAG", "APRS", "AIS"},
                                  "100000",
                                  std::int64_t{1} << 19,
                                  {}}),
    [](const testing::TestParamInfo<StandardsCase>& row) { return std::string(row.param.name); });

// The remainder of an ADS-B message by its parity's generator: 0 for a message received whole.
std::uint32_t adsb_parity_remainder(const std::vector<int>& bits) {
  std::uint64_t r = 0;
  for (const int b : bits) {
    r = (r << 1) | static_cast<std::uint64_t>(b);
    if ((r >> 24) & 1U) r ^= 0x1FFF409;
  }
  return static_cast<std::uint32_t>(r);
}

// The capture, every emitter and its noise, moved so that the ADS-B emitter's band is at 0 Hz and
// low-passed to it; then each labelled squitter read at its labelled start, bit by bit, by which
// half of the bit holds the pulse: every message passes its parity.
TEST(Scene, AnAdsbReceiverDecodesEverySquitterAtItsLabelledStartFromACrowdedCapture) {
  const StandardsCase c{"", {"ADS-B", "QPSK", "FM", "BLE"}, "20000000", std::int64_t{1} << 18, {}};
  const RunSettings s = standards_settings(c, {{"--overlap", "none"}, {"--snr-min", "15"}, {"--snr-max", "15"}});
  const double rate = s.sample_rate;
  std::size_t decoded = 0;
  for (std::uint64_t position = 0; position < 4 && decoded == 0; ++position) {
    const PlannedFile file = scene_at(s, 3, position);
    if (!file.scene->fault.empty()) continue;
    const auto adsb = std::find_if(file.scene->emitters.begin(), file.scene->emitters.end(),
                                   [](const SceneEmitter& e) { return e.file.modulation == "ADS-B"; });
    if (adsb == file.scene->emitters.end()) continue;
    const SceneEmitter& e = *adsb;
    const double middle = (e.box.freq_lower_edge + e.box.freq_upper_edge) / 2.0;
    Signal x = synthesize_scene(s, file);
    for (std::size_t k = 0; k < x.size(); ++k) x[k] *= std::polar(1.0, -2.0 * pi * middle * static_cast<double>(k) / rate);
    // A short filter, as a pulse of 0.5 us is 10 samples long.
    const Signal filtered = low_pass(x, (e.box.freq_upper_edge - e.box.freq_lower_edge) / 2.0, 12, rate);
    std::vector<double> power(x.size());
    std::transform(filtered.begin(), filtered.end(), power.begin(), [](Sample v) { return std::norm(v); });
    const double per_us = rate / 1e6;
    for (const std::array<double, 2>& span : e.frames) {
      const double start = span[0];
      EXPECT_NEAR(span[1] - start, 120.0 * per_us, 0.1 * per_us);
      // Chip c's mean power: half a microsecond from start + c / 2 us, its middle half.
      const auto chip = [&](int ch) { return test::mean_over(power, start + (0.5 * ch + 0.12) * per_us, start + (0.5 * ch + 0.38) * per_us); };
      std::vector<int> bits;
      for (int b = 0; b < 112; ++b) bits.push_back(chip(16 + 2 * b) > chip(17 + 2 * b) ? 1 : 0);
      EXPECT_EQ(adsb_parity_remainder(bits), 0U) << "the squitter at " << start;
      // The preamble's pulses where the label puts them.
      for (const int ch : {0, 2, 7, 9}) EXPECT_GT(chip(ch), 4.0 * chip(ch + 1)) << "chip " << ch << " of the squitter at " << start;
      ++decoded;
    }
  }
  EXPECT_GT(decoded, 10U);
}

// What a file's labels and draws tell of it, to compare two draws of it.
std::string drawn_text(const RunSettings& s, const PlannedFile& f) {
  std::string text = f.modulation + " " + std::to_string(f.index) + " " + shortest_text(f.snr_db) + " " + shortest_text(f.symbol_rate) +
                     " " + shortest_text(f.carrier_frequency) + " " + shortest_text(f.start_offset) + " " +
                     shortest_text(f.impairments.clock_ppm.value_or(0.0)) + " " + shortest_text(f.impairments.carrier_phase.value_or(0.0));
  for (const double d : f.family_draws) text += " " + shortest_text(d);
  return text + " " + file_fingerprint({s, f, std::nullopt});
}

// A scene's emitter is the first file a plan of its name alone, seeded with the emitter's seed,
// would draw; the run's plan draws it from the name it resolved once and goes on as if it had not.
TEST(Scene, TheRunsPlanDrawsAnEmittersFileAsAPlanOfItsNameAloneAndKeepsItsPlace) {
  const RunSettings s = scene_settings({"QPSK", "2FSK", "OFDM-64", "AM", "FM", "AIS", "Noise"},
                                       {{"--per-name", "QPSK:snr=3..4;AM:snr=30..31"}, {"--clock-ppm-max", "20"},
                                        {"--carrier-phase", "true"}, {"--samples-per-file", "262144"}});
  RunPlan walked(s, 5);
  RunPlan fresh(s, 5);
  for (std::size_t m = 0; m < s.modulations.size(); ++m) {
    SCOPED_TRACE(s.modulations[m]);
    for (const std::uint32_t seed : {1u, 77u, 4000000000u}) {
      RunSettings one = s;
      one.modulations = {s.modulations[m]};
      one.files_per_modulation = 1;
      EXPECT_EQ(drawn_text(s, walked.draw_first_file(m, seed)), drawn_text(s, *RunPlan(one, seed).next()));
    }
    const std::optional<PlannedFile> a = walked.next();
    const std::optional<PlannedFile> b = fresh.next();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(drawn_text(s, *a), drawn_text(s, *b));
  }
}

// The kept samples of every scene of a run, in plan order.
std::vector<std::vector<std::complex<float>>> run_scenes(const RunSettings& s, unsigned jobs, Shard shard) {
  DatasetRun run;
  run.draw_seed = 9;
  run.seed_files = true;
  run.jobs = jobs;
  run.shard = shard;
  run.output.format = SampleFormat::container;
  std::vector<std::vector<std::complex<float>>> kept;
  run_dataset(s, run, [&](const PlannedFile&, const ProducedFile& produced) { kept.push_back(produced.kept); });
  return kept;
}

TEST(Scene, ScenesHaveTheSameBytesForAnyJobsAndShards) {
  const RunSettings s = scene_settings({"QPSK", "AM"}, {{"--carrier-phase", "true"}, {"--phase-noise-max", "10"}});
  const auto one = run_scenes(s, 1, {});
  ASSERT_EQ(one.size(), 4u);
  EXPECT_EQ(run_scenes(s, 2, {}), one);
  const auto even = run_scenes(s, 2, {0, 2});
  const auto odd = run_scenes(s, 1, {1, 2});
  ASSERT_EQ(even.size(), 2u);
  ASSERT_EQ(odd.size(), 2u);
  for (std::size_t i = 0; i < one.size(); ++i) EXPECT_EQ((i % 2 == 0 ? even : odd)[i / 2], one[i]) << "scene " << i;
}

}  // namespace
}  // namespace quorvin
