// Properties every name of the catalogue holds, one case per name: its family, its class index,
// its place on the form, its power and the band its band check allows.

#include "modulation/catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "form/form.h"
#include "generator/family.h"
#include "run/exact_file.h"
#include "run/parameters.h"
#include "run/plan.h"
#include "run/seeds.h"
#include "parameter_names.h"
#include "blind_rate.h"
#include "dsp_reference.h"
#include "form/options.h"

namespace quorvin {

// Catalogue rows print as their name (found by argument-dependent lookup in their namespace).
QUORVIN_PRINT_CASES_BY_NAME

namespace {

class EveryName : public testing::TestWithParam<ModulationRow> {};

// Stored datasets carry class indices and the form's order: a row's position is its index, and
// the form's names are the leading rows, in order.
TEST_P(EveryName, ClassIndexIsItsPositionAndFormNamesLead) {
  const ModulationRow& row = GetParam();
  const std::size_t index = modulation_class_index(row.name);
  ASSERT_LT(index, modulation_count);
  EXPECT_EQ(modulation_catalogue[index].name, row.name);
  EXPECT_EQ(row.on_form, index < modulation_checkbox_names.size());
  if (row.on_form) {
    EXPECT_EQ(modulation_checkbox_names[index], row.name);
  }
}

// One clean exact-model file of the name, as a run plans and makes it.
struct CleanFile {
  RunSettings settings;
  PlannedFile file;
  Signal samples;
};

// `snr_db` finite: with the receiver's noise at that SNR, over `band_share` of the sample rate
// (the symbol rate and carriers stay, so a wider rate leaves room beside the band; chirps and
// OFDM, whose bands scale with the rate, are narrowed, and radar pulses made long enough that
// their band is their sweep's).
CleanFile clean_file(const ModulationRow& row, double snr_db = INFINITY, double band_share = 1.0) {
  RunSettings s;
  s.signal_model = SignalModel::exact;
  s.modulations = {std::string(row.name)};
  s.files_per_modulation = 1;
  s.num_symbols = 1 << 16;
  s.exact.samples_per_file = 1 << 16;
  s.sample_rate = 20000.0 / band_share;
  // A fractional ratio, wide enough for 16FSK's tones at index 1.
  s.symbol_rate_min = s.symbol_rate_max = 20000.0 / 17.3;
  s.analog_carrier_frequency = 2000.0;
  s.analog_deviation = 1500.0;
  s.exact.message_frequency_min = s.exact.message_frequency_max = 310.0;
  s.snr_min_db = s.snr_max_db = snr_db;
  if (band_share < 1.0) {
    s.exact.family_ranges = {{"chirp_bandwidth", {0.3, 0.4}}, {"ofdm_occupancy", {0.5, 0.6}}, {"pulse_width", {256.0, 512.0}}};
  }
  RunPlan plan(s, 11);
  PlannedFile file = *plan.next();
  file.seeds = derive_file_seeds(11, file.modulation, file.index);  // the device's symbols would vary run by run
  file.start_offset = 0.999;  // the frame starts just before a symbol: still the asked length
  if (!is_silent(waveform_of(file))) file.snr_db = snr_db;
  if (std::isinf(snr_db)) file.noise_power = 1.0;  // Noise's without a receiver's noise on top
  Signal samples = synthesize_exact_file(s, file);
  return {std::move(s), std::move(file), std::move(samples)};
}

// The share of a signal's power within [low, high] Hz, from averaged Hann-windowed periodograms.
double power_within(const Signal& x, double sample_rate, double low, double high) {
  const std::size_t n = 4096;
  const std::vector<double> psd = test::centred_psd(x, n);
  double inside = 0.0;
  const double bin = sample_rate / static_cast<double>(n);
  for (std::size_t k = 0; k < n; ++k) {
    const double f = (static_cast<double>(k) - static_cast<double>(n / 2)) * bin;
    // The window spreads a line over two bins on each side: those bins count with their line.
    if (f >= low - 2.0 * bin && f <= high + 2.0 * bin) inside += psd[k];
  }
  return inside / std::accumulate(psd.begin(), psd.end(), 0.0);
}

// The SNR in dB found blind: the noise floor where no signal is (beyond [low, high] Hz and a guard
// of 2 % of the sample rate, which the pulses' and symbols' sidelobes may reach), against the
// whole power.
double blind_snr_db(const Signal& x, double sample_rate, double low, double high) {
  const std::size_t n = 1024;
  const std::vector<double> psd = test::centred_psd(x, n);
  const double bin = sample_rate / static_cast<double>(n);
  const double guard = 0.02 * sample_rate;
  double floor = 0.0;
  std::size_t quiet = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const double f = (static_cast<double>(k) - static_cast<double>(n / 2)) * bin;
    if (f < low - guard || f > high + guard) floor += psd[k], ++quiet;
  }
  EXPECT_GE(quiet, n / 20) << "room beside the band for the noise floor";
  const double noise = floor / static_cast<double>(quiet) * static_cast<double>(n);
  return 10.0 * std::log10((std::accumulate(psd.begin(), psd.end(), 0.0) - noise) / noise);
}

// The share of a tone-modulated FM signal's power in its lines within Carson's band: the
// Bessel lines n fm with |n| fm <= deviation + fm.
double carson_share(double deviation, double fm) {
  double share = 0.0;
  for (int n = 0; n * fm <= deviation + fm; ++n) {
    share += (n == 0 ? 1.0 : 2.0) * std::pow(std::cyl_bessel_j(n, deviation / fm), 2);
  }
  return share;
}

// Names whose symbols the line estimator cannot see: OFDM's and CSS's symbols are longer than its
// twenty samples at most (their own tests time them), and a radar's pulse carries no symbol.
bool no_blind_rate(const Waveform& w) {
  static const std::vector<Route> skipped = {Route::ofdm, Route::css, Route::lfm_radar};
  return std::find(skipped.begin(), skipped.end(), w.variant) != skipped.end();
}

// Every name has unit mean power and the asked length, its band check's band holds 99 % of its
// power (FM: what Carson's rule spans, which may be less), a digital name's symbol rate is found
// blind within 0.1 %, and the SNR blind within 0.3 dB (the band at a quarter of a wider rate), as
// is the labelled Es/N0 from it.
TEST_P(EveryName, UnitPowerWithinItsCheckedBandAndBlindRate) {
  const CleanFile c = clean_file(GetParam());
  const Waveform w = waveform_of(c.file);
  ASSERT_EQ(c.samples.size(), std::size_t{1} << 16);
  double power = 0.0;
  for (const Sample& v : c.samples) power += std::norm(v);
  EXPECT_NEAR(power / static_cast<double>(c.samples.size()), 1.0, 0.03);
  double rate = NAN;  // found blind
  if (is_digital(w) && !no_blind_rate(w)) {
    const test::RateFeature feature = w.family == &keyed_family || w.variant == Route::lfm_data ? test::RateFeature::frequency_change
                                      : w.variant == Route::oqpsk ? test::RateFeature::in_phase
                                                                  : test::RateFeature::envelope;
    rate = test::strongest_line(test::rate_feature(c.samples, feature)) * c.settings.sample_rate;
    EXPECT_NEAR(rate / c.file.symbol_rate, 1.0, 1e-3);
  }
  if (is_silent(w)) return;  // noise fills the band: its flatness is checked apart
  const auto band_of = [&w](const CleanFile& f) {
    const FamilyBand band = w.family->band(w, {.symbol_rate = f.file.symbol_rate,
                                               .pulse = f.settings.exact.pulse,
                                               .rolloff = f.file.rolloff,
                                               .fsk_index = f.file.fsk_index,
                                               .gmsk_bt = f.file.gmsk_bt,
                                               .message_frequency = f.file.message_frequency,
                                               .deviation = f.settings.analog_deviation,
                                               .sideband = f.file.sideband,
                                               .family_ranges = &f.settings.exact.family_ranges,
                                               .sample_rate = f.settings.sample_rate});
    const double centre = is_analog(w) ? f.file.carrier_frequency : 0.0;
    return std::pair{centre + band.edges.low, centre + band.edges.high};
  };
  const auto [low, high] = band_of(c);
  const double least = GetParam().route == Route::fm ? carson_share(c.settings.analog_deviation, c.file.message_frequency) - 0.002 : 0.99;
  EXPECT_GE(power_within(c.samples, c.settings.sample_rate, low, high), least);
  // The SNR is against the nominal unit power; a frame holding part of a radar pulse more or less
  // has its own, which its clean twin tells.
  const CleanFile noisy = clean_file(GetParam(), 0.0, 0.25);
  const auto [noisy_low, noisy_high] = band_of(noisy);
  double own = 0.0;
  for (const Sample& v : clean_file(GetParam(), INFINITY, 0.25).samples) own += std::norm(v) / static_cast<double>(noisy.samples.size());
  const double snr = blind_snr_db(noisy.samples, noisy.settings.sample_rate, noisy_low, noisy_high);
  EXPECT_NEAR(snr, noisy.file.snr_db + 10.0 * std::log10(own), 0.3);
  // Es / N0 = signal power x symbol period / (noise power / sample rate), at the blind rate.
  for (const ParameterRow& row : file_parameters({noisy.settings, noisy.file, std::nullopt})) {
    if (row.kind->key == "es_n0_db" && !std::isnan(rate)) {
      EXPECT_NEAR(std::get<double>(row.value), snr + 10.0 * std::log10(noisy.settings.sample_rate / rate), 0.3);
    }
  }
}

// A file is written in blocks, a scene reads an emitter over its burst and Python reads frames
// anywhere: any cut of a drifting waveform's range (OFDM's with its window), through one range or
// fresh ones, gives the whole's samples to the bit.
TEST_P(EveryName, AnyCutOfItsRangeGivesTheWholesSamples) {
  RunSettings s;
  s.signal_model = SignalModel::exact;
  s.modulations = {std::string(GetParam().name)};
  s.files_per_modulation = 1;
  s.exact.samples_per_file = 4000;
  s.sample_rate = 20000.0;
  s.symbol_rate_min = s.symbol_rate_max = 20000.0 / 17.3;
  s.exact.family_ranges = {{"pulse_width", {40.0, 40.0}}, {"spreading_factor", {5.0, 5.0}},
                           {"ofdm_window", {0.5, 0.5}}};
  RunPlan plan(s, 11);
  PlannedFile file = *plan.next();
  file.seeds = derive_file_seeds(11, file.modulation, file.index);
  // Each drifting path: a small drift, and large ones either way (for OFDM some 2 % of the rate).
  for (const double drift : {0.01, 0.3, -0.8}) {
    SCOPED_TRACE(drift);
    file.timing_error = drift;
    const Signal whole = exact_waveform_range(s, file, 4000, 50, 50)(-50, 4100);
    const WaveformRange kept = exact_waveform_range(s, file, 4000, 50, 50);
    const std::int64_t cuts[] = {-50, -49, 100, 101, 307, 1999, 2000, 4050};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
      const auto count = static_cast<std::size_t>(cuts[i + 1] - cuts[i]);
      const Signal once = kept(cuts[i], count);
      const Signal fresh = exact_waveform_range(s, file, 4000, 50, 50)(cuts[i], count);
      for (std::size_t k = 0; k < count; ++k) {
        const Sample expected = whole[static_cast<std::size_t>(cuts[i] + 50) + k];
        ASSERT_EQ(once[k], expected) << "at " << cuts[i] + static_cast<std::int64_t>(k);
        ASSERT_EQ(fresh[k], expected) << "at " << cuts[i] + static_cast<std::int64_t>(k);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryName, testing::ValuesIn(modulation_catalogue), test::RowName());

TEST(Catalogue, NamesAreCaseSensitiveAndPrefixNamesAreLinear) {
  EXPECT_EQ(modulation_class_index("QAM16384"), modulation_count);
  EXPECT_EQ(resolve_waveform("am").family, nullptr);
  EXPECT_EQ(resolve_waveform("QAM16384").family, &linear_family);
  EXPECT_EQ(resolve_waveform("QAM16384").order, 16384);
  // An order that cannot be read is kept, and thrown when the samples are asked for.
  const Waveform w = resolve_waveform("QAMx");
  EXPECT_EQ(w.family, nullptr);
  EXPECT_THROW(prepare_waveform(w, {}), std::invalid_argument);
}

// Existing selections keep their names; "every" and the groups select in catalogue order, and the
// classic model keeps its own names in its order.
TEST(Catalogue, SelectionsAndTheClassicModelsNames) {
  const auto names = [](std::vector<std::string> asked, std::map<std::string, std::string> texts = {}) {
    auto read = read_options({.modulations = std::move(asked), .texts = std::move(texts)});
    if (const Refusal* refusal = std::get_if<Refusal>(&read)) return std::vector<std::string>{"refused: " + refusal->text};
    return std::get<RunSettings>(read).modulations;
  };
  EXPECT_EQ(names({"every"}).size(), modulation_count);
  EXPECT_EQ(names({"fsk"}), (std::vector<std::string>{"2FSK", "4FSK", "8FSK", "16FSK", "2GFSK", "4GFSK", "8GFSK", "16GFSK"}));
  EXPECT_EQ(names({"Noise", "ssb", "ask"}),
            (std::vector<std::string>{"AM-SSB", "4ASK", "8ASK", "16ASK", "32ASK", "64ASK", "AM-LSB", "AM-USB", "Noise"}));
  EXPECT_EQ(names({"QAM1024", "QPSK"}, {{"--signal-model", "classic"}}), (std::vector<std::string>{"QPSK", "QAM1024"}));
}

}  // namespace
}  // namespace quorvin
