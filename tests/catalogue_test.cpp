// Properties every name of the catalogue holds, one case per name: its family, its class index,
// its place on the form, its power and the band its band check allows.

#include "modulation/catalogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "blind_rate.h"
#include "dsp_reference.h"
#include "exact_runs.h"
#include "form/form.h"
#include "form/options.h"
#include "generator/family.h"
#include "generator/symbols.h"
#include "label_rows.h"
#include "parameter_names.h"

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
CleanFile clean_file(const ModulationRow& row, double snr_db = HUGE_VAL, double band_share = 1.0) {
  // A fractional ratio, wide enough for 16FSK's tones at index 1.
  RunSettings s = test::exact_run({.names = {std::string(row.name)}, .sample_rate = 20000.0 / band_share, .samples = 1 << 16,
                                   .symbol_rate = 20000.0 / 17.3, .snr_db = snr_db});
  s.num_symbols = 1 << 16;
  s.analog_carrier_frequency = 2000.0;
  s.analog_deviation = 1500.0;
  s.exact.message_frequency_min = s.exact.message_frequency_max = 310.0;
  if (band_share < 1.0) {
    s.exact.family_ranges = {{"chirp_bandwidth", {0.3, 0.4}}, {"ofdm_occupancy", {0.5, 0.6}}, {"pulse_width", {256.0, 512.0}}};
  }
  PlannedFile file = test::first_file(s, 11);  // seeded: the device's symbols would vary run by run
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
  if (is_standard(GetParam())) GTEST_SKIP() << "a standard's frames have gaps and a rate of their own: its receiver test checks them";
  const CleanFile c = clean_file(GetParam());
  const Waveform w = waveform_of(c.file);
  ASSERT_EQ(c.samples.size(), std::size_t{1} << 16);
  EXPECT_NEAR(test::mean_power(c.samples), 1.0, 0.03);
  double rate = std::nan("");  // found blind
  if (is_digital(w) && !no_blind_rate(w)) {
    const test::RateFeature feature = w.family == &keyed_family || w.variant == Route::lfm_data ? test::RateFeature::frequency_change
                                      : w.variant == Route::oqpsk ? test::RateFeature::in_phase
                                                                  : test::RateFeature::envelope;
    rate = test::strongest_line(test::rate_feature(c.samples, feature)) * c.settings.sample_rate;
    EXPECT_NEAR(rate / c.file.symbol_rate, 1.0, 1e-3);
  }
  if (is_silent(w)) return;  // noise fills the band: its flatness is checked apart
  const auto band_of = [&w](const CleanFile& f) {
    // The run's ends, the file's own draws for the values drawn with its symbols.
    FamilyRanges ends = f.settings.exact.family_ranges;
    for (std::size_t i = 0; i < w.family->ranges.size() && i < f.file.family_draws.size(); ++i) {
      if (w.family->ranges[i].slot != RangeSlot::last) ends[std::string(w.family->ranges[i].key)] = {f.file.family_draws[i], f.file.family_draws[i]};
    }
    const FamilyBand band = w.family->band(w, {.symbol_rate = f.file.symbol_rate,
                                               .pulse = f.settings.exact.pulse,
                                               .message_frequency = f.file.message_frequency,
                                               .deviation = f.settings.analog_deviation,
                                               .sideband = f.file.sideband,
                                               .family_ranges = &ends,
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
  const double own = test::mean_power(clean_file(GetParam(), HUGE_VAL, 0.25).samples);
  const double snr = blind_snr_db(noisy.samples, noisy.settings.sample_rate, noisy_low, noisy_high);
  EXPECT_NEAR(snr, noisy.file.snr_db + 10.0 * std::log10(own), 0.3);
  // Es / N0 = signal power x symbol period / (noise power / sample rate), at the blind rate.
  if (!std::isnan(rate)) {
    const double es_n0 = test::label(test::labels_of(noisy.settings, noisy.file), "es_n0_db");
    EXPECT_NEAR(es_n0, snr + 10.0 * std::log10(noisy.settings.sample_rate / rate), 0.3);
  }
}

// A file is written in blocks, a scene reads an emitter over its burst and Python reads frames
// anywhere: any cut of a drifting waveform's range (OFDM's with its window), through one range or
// fresh ones, gives the whole's samples to the bit.
TEST_P(EveryName, AnyCutOfItsRangeGivesTheWholesSamples) {
  const RunSettings s = test::exact_run(
      {.names = {std::string(GetParam().name)}, .sample_rate = 20000.0, .samples = 4000, .symbol_rate = 20000.0 / 17.3,
       .ranges = {{"pulse_width", {40.0, 40.0}}, {"spreading_factor", {5.0, 5.0}}, {"ofdm_window", {0.5, 0.5}}}});
  PlannedFile file = test::first_file(s, 11);
  // The grid without drift, then each drifting path: a small drift, and large ones either way
  // (for OFDM some 2 % of the rate).
  for (const double drift : {0.0, 0.01, 0.3, -0.8}) {
    SCOPED_TRACE(drift);
    file.timing_error = drift;
    const Signal whole = exact_waveform_range(s, file, 4000, 50, 50)(-50, 4100);
    const std::vector<std::int64_t> cuts = {-50, -49, 100, 101, 307, 1999, 2000, 4050};
    test::expect_cuts_of_whole(exact_waveform_range(s, file, 4000, 50, 50), whole, cuts);  // one range, cut after cut
    const auto fresh = [&s, &file](std::int64_t first, std::size_t count) {
      return exact_waveform_range(s, file, 4000, 50, 50)(first, count);
    };
    test::expect_cuts_of_whole(fresh, whole, cuts);  // a fresh range for each cut
  }
}

// Bits a symbol carries, from the textbook: log2 of the alphabet; an OFDM symbol's K subcarriers
// of its labelled constellation; a CSS chirp's spreading factor; a radar pulse none.
double textbook_bits(const ModulationRow& row, const std::vector<ParameterRow>& labels) {
  if (row.route == Route::ofdm) {
    const std::map<std::string, double, std::less<>> points = {{"BPSK", 1}, {"QPSK", 2}, {"QAM16", 4}, {"QAM64", 6}, {"QAM256", 8}};
    return test::label(labels, "active_subcarriers") * points.at(test::label_text(labels, "subcarrier_modulation"));
  }
  if (row.route == Route::css) return test::label(labels, "spreading_factor");
  // A 4 us OFDM symbol carries the data rate's bits in 4 us.
  if (row.route == Route::wifi) return 4.0 * std::stod(test::label_text(labels, "wifi_rate"));
  return std::log2(static_cast<double>(row.alphabet));
}

// An Eb/N0 drawn at 10 dB is labelled 10 dB for every digital name, and the labelled Es/N0 (which
// the blind SNR and rate check above) lies the textbook's bits above it.
TEST_P(EveryName, EbN0DrawnIsTheLabelOverTheTextbooksBits) {
  const ModulationRow& row = GetParam();
  if (row.kind != SignalKind::digital || row.route == Route::lfm_radar) return;  // no bits to count
  RunSettings s = clean_file(row).settings;
  s.snr_min_db = s.snr_max_db = 10.0;
  s.exact.snr_definition = SnrDefinition::ebn0;
  s.files_per_modulation = 3;
  RunPlan plan(s, 12);
  for (int file = 0; file < 3; ++file) {
    const std::vector<ParameterRow> labels = test::labels_of(s, *plan.next());
    const double eb = test::label(labels, "eb_n0_db");
    EXPECT_NEAR(eb, 10.0, 1e-9);
    EXPECT_NEAR(test::label(labels, "es_n0_db") - eb, 10.0 * std::log10(textbook_bits(row, labels)), 1e-9);
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

// A run's settings as the options read them (the exact model's by default).
RunSettings settings_read(std::vector<std::string> asked, std::map<std::string, std::string> texts = {}) {
  auto read = read_options({.modulations = std::move(asked), .texts = std::move(texts)});
  if (const Refusal* refusal = std::get_if<Refusal>(&read)) {
    ADD_FAILURE() << refusal->text;
    return {};
  }
  return std::get<RunSettings>(std::move(read));
}

// Existing selections keep their names; "every" and the groups select in catalogue order, without
// AM-SSB (its name still selects it), and the classic model keeps its own names in its order.
TEST(Catalogue, SelectionsAndTheClassicModelsNames) {
  const auto names = [](std::vector<std::string> asked, std::map<std::string, std::string> texts = {}) {
    return settings_read(std::move(asked), std::move(texts)).modulations;
  };
  const auto standards = static_cast<std::size_t>(std::count_if(std::begin(modulation_catalogue), std::end(modulation_catalogue), is_standard));
  EXPECT_GE(standards, 1U);
  EXPECT_EQ(names({"every"}).size(), modulation_count - 1 - standards) << "every name but AM-SSB and the standards";
  EXPECT_EQ(names({"standard"}), (std::vector<std::string>{"ADS-B", "POCSAG", "AIS", "APRS", "BLE", "802.11a/g"}));
  EXPECT_EQ(names({"fsk"}), (std::vector<std::string>{"2FSK", "4FSK", "8FSK", "16FSK", "2GFSK", "4GFSK", "8GFSK", "16GFSK"}));
  EXPECT_EQ(names({"Noise", "ssb", "ask"}),
            (std::vector<std::string>{"4ASK", "8ASK", "16ASK", "32ASK", "64ASK", "AM-LSB", "AM-USB", "Noise"}));
  EXPECT_EQ(names({"ssb", "AM-SSB"}), (std::vector<std::string>{"AM-SSB", "AM-LSB", "AM-USB"}));
  EXPECT_EQ(names({"QAM1024", "QPSK"}, {{"--signal-model", "classic"}}), (std::vector<std::string>{"QPSK", "QAM1024"}));
}

// The values a draw reaches, low .. high, an end left out where the draw only approaches it.
struct Span {
  double low;
  double high;
  bool low_open = false;
  bool high_open = false;
};

// A range whose draw reaches both ends (draw_uniform's), and one drawn by an engine's fraction in
// [0, 1) from `from` towards `to`, never reaching `to` (the analog carrier's and its offset's).
Span closed(double a, double b) { return {std::min(a, b), std::max(a, b)}; }
Span towards(double from, double to) {
  if (from == to) return {from, to};
  return from < to ? Span{from, to, false, true} : Span{to, from, true, false};
}
Span operator+(Span a, Span b) { return {a.low + b.low, a.high + b.high, a.low_open || b.low_open, a.high_open || b.high_open}; }
Span operator-(Span a) { return {-a.high, -a.low, a.high_open, a.low_open}; }

bool overlap(Span a, Span b) {
  const auto below = [](Span x, Span y) { return x.high < y.low || (x.high == y.low && (x.high_open || y.low_open)); };
  return !below(a, b) && !below(b, a);
}

// One formula a name's files follow for some of its draws: what the formula fixes (files of two
// formulas are never one signal) and the values drawn within it, in the formula's order. Two names
// are one signal for some draw where laws of theirs share a formula and every drawn span overlaps.
// What every name draws alike (symbol rate, pulse, SNR, a digital name's offset) and the phase at
// the start (--carrier-phase draws it) are not counted: that only makes more pairs meet.
struct Law {
  std::string formula;
  std::vector<Span> drawn;
};

// A linear name's points as a carrier phase leaves them: the magnitudes of the distinct points a
// file of 2^17 symbols sends (all of the alphabet's, 4096 points' included).
std::string magnitudes_sent(const std::string& name) {
  const RunSettings s = test::exact_run({.sample_rate = 2000.0, .samples = 1 << 18});
  const PlannedFile file{.modulation = name, .snr_db = HUGE_VAL, .symbol_rate = 1000.0, .seeds = {11, 12}};
  std::set<std::pair<long long, long long>> points;  // in 1e-9
  for (const TransmittedSymbol& t : exact_file_symbols(s, file).symbols) {
    points.insert({std::llround(t.value.real() * 1e9), std::llround(t.value.imag() * 1e9)});
  }
  std::map<long long, int> magnitudes;  // in 1e-6, with their counts
  for (const auto& [re, im] : points) ++magnitudes[std::llround(std::hypot(re, im) * 1e-3)];
  std::string text = std::to_string(points.size()) + " points, magnitudes";
  for (const auto& [magnitude, count] : magnitudes) text += " " + std::to_string(magnitude) + " x" + std::to_string(count);
  return text;
}

// An analog name's laws with its tone message: its lines about c (the drawn carrier plus the drawn
// offset) and fm. CW c alone; a sideband c - fm or c + fm alone (AM-SSB either, unless --sideband
// fixes it); AM c with c +- fm, or c alone at index 0; DSB-SC c +- fm without c; FM c + n fm for
// every n, or c alone without deviation. One line is one formula whichever name makes it.
std::vector<Law> analog_laws(Route variant, const RunSettings& s) {
  const ExactSettings& x = s.exact;
  const double fc = s.analog_carrier_frequency;
  const Span c = towards(x.analog_fc_min.value_or(fc), x.analog_fc_max.value_or(fc)) + towards(s.frequency_offset_min, s.frequency_offset_max);
  const Span fm = closed(x.message_frequency_min, x.message_frequency_max);
  const auto [m_low, m_high] = range_ends(x.family_ranges, analog_family.ranges[0]);
  const Span m = closed(m_low, m_high);
  const Law carrier{"one line", {c}};
  const Law lower{"one line", {c + -fm}};
  const Law upper{"one line", {c + fm}};
  const Law am{"a carrier line and lines fm either side", {c, fm, m}};
  switch (variant) {
    case Route::cw: return {carrier};
    case Route::am_lsb: return {lower};
    case Route::am_usb: return {upper};
    case Route::am_ssb: return x.sideband ? std::vector{*x.sideband == Sideband::lower ? lower : upper} : std::vector{lower, upper};
    case Route::am_dsb_sc: return {{"two lines fm either side of no carrier", {c, fm}}};
    case Route::am: return m.high == 0.0 ? std::vector{carrier} : m.low == 0.0 ? std::vector{carrier, am} : std::vector{am};
    default: return s.analog_deviation == 0.0 ? std::vector{carrier} : std::vector<Law>{{"lines n fm from the carrier", {c, fm}}};
  }
}

// A name's laws under the run's ranges. Keyed names: M tones of a rectangular or Gaussian
// frequency pulse, the index h and the BT drawn. Linear names: how the points follow the symbols
// and the points. Noise sends nothing; each OFDM name has a count of subcarriers of its own and
// each chirp name sweeps of its own (a radar's gated ones, data's up and down ones, CSS's
// cyclically shifted up-sweeps), which their alphabets tell apart.
std::vector<Law> laws_of(const std::string& name, const RunSettings& s) {
  const Waveform w = resolve_waveform(name);
  const ExactSettings& x = s.exact;
  const std::string order = std::to_string(w.order);
  if (is_analog(w)) return analog_laws(w.variant, s);
  if (w.family == &keyed_family) {
    const auto [h_low, h_high] = range_ends(x.family_ranges, w.family->ranges[0]);
    const Span h = closed(w.family->modulation_index(w, std::array{h_low}), w.family->modulation_index(w, std::array{h_high}));
    if ((drawn_parameters(w).ranges & 2U) == 0) return {{order + " tones, a rectangular frequency pulse", {h}}};
    const auto [bt_low, bt_high] = range_ends(x.family_ranges, w.family->ranges[1]);
    return {{order + " tones, a Gaussian frequency pulse", {h, closed(bt_low, bt_high)}}};
  }
  if (w.family == &linear_family) {
    const std::string timing = w.variant == Route::oqpsk       ? "Q half a symbol late, "
                               : w.variant == Route::pi4_dqpsk ? "each point turned from the one before, "
                                                               : "a point a symbol, ";
    return {{timing + magnitudes_sent(name), {}}};
  }
  return {{std::string(w.family->name) + ", alphabet " + order, {}}};
}

// Two names as "A = B", in class order.
std::string pair_text(std::string_view a, std::string_view b) {
  if (modulation_class_index(a) > modulation_class_index(b)) std::swap(a, b);
  return std::string(a) + " = " + std::string(b);
}

// The pairs of the run's names that are one signal for some draw of its ranges.
std::set<std::string> one_signal_pairs(const RunSettings& s) {
  std::vector<std::vector<Law>> laws;
  for (const std::string& name : s.modulations) laws.push_back(laws_of(name, s));
  std::set<std::string> pairs;
  for (std::size_t i = 0; i < laws.size(); ++i) {
    for (std::size_t j = i + 1; j < laws.size(); ++j) {
      for (const Law& a : laws[i]) {
        for (const Law& b : laws[j]) {
          if (a.formula != b.formula) continue;
          bool meet = true;
          for (std::size_t k = 0; k < a.drawn.size(); ++k) meet = meet && overlap(a.drawn[k], b.drawn[k]);
          if (meet) pairs.insert(pair_text(s.modulations[i], s.modulations[j]));
        }
      }
    }
  }
  return pairs;
}

struct OneSignal {
  const char* name;
  std::vector<std::string> asked;
  std::map<std::string, std::string> texts;
  std::set<std::string> pairs;  // that meet
};

// At the defaults "every" holds no two names that are one signal: each pair differs in its
// formula (family, alphabet, points, pulse, lines) or in a drawn range that the other's does not
// reach. Beside it, the ranges that make names meet. The defaults' carrier offset (0 .. 100 Hz,
// never 100) and lowest message frequency (100 Hz) keep CW's line [fc, fc + 100) from the
// sidebands' [fc - 2000, fc) and [fc + 100, fc + 2100).
const OneSignal one_signal_cases[] = {
    {"every_at_the_defaults", {"every"}, {}, {}},
    {"am_ssb_at_the_defaults", {"every", "AM-SSB"}, {}, {"AM-SSB = AM-LSB", "AM-SSB = AM-USB"}},
    {"a_fixed_side", {"ssb", "AM-SSB"}, {{"--sideband", "upper"}}, {"AM-SSB = AM-USB"}},
    {"fsk_index_one_half",
     {"every"},
     {{"--fsk-index-min", "0.5"}},
     {"2FSK = MSK", "4FSK = 4MSK", "8FSK = 8MSK", "16FSK = 16MSK", "GMSK = 2GFSK", "4GFSK = 4GMSK", "8GFSK = 8GMSK",
      "16GFSK = 16GMSK"}},
    {"am_index_from_zero", {"every"}, {{"--am-index-min", "0"}}, {"AM = CW"}},
    {"fm_without_deviation", {"every"}, {{"--analog-deviation", "0"}}, {"FM = CW"}},
    {"message_below_the_offsets_span", {"every"}, {{"--message-frequency-min", "99"}}, {"CW = AM-LSB", "CW = AM-USB"}},
    {"message_at_half_the_span", {"every"}, {{"--message-frequency-min", "50"}}, {"CW = AM-LSB", "CW = AM-USB"}},
    {"a_drawn_carrier",
     {"every"},
     {{"--analog-fc-min", "1000"}, {"--analog-fc-max", "1101"}},
     {"CW = AM-LSB", "CW = AM-USB", "AM-LSB = AM-USB"}},
};

class OneSignalCase : public testing::TestWithParam<OneSignal> {};

TEST_P(OneSignalCase, PairsThatMeet) {
  EXPECT_EQ(one_signal_pairs(settings_read(GetParam().asked, GetParam().texts)), GetParam().pairs);
}

INSTANTIATE_TEST_SUITE_P(Catalogue, OneSignalCase, testing::ValuesIn(one_signal_cases), test::CaseName());

// The catalogue's pairs that can be one signal are the ones that meet above; those that meet at
// the defaults are the ones "every" leaves out.
TEST(Catalogue, SharedSignalsAreThePairsThatMeet) {
  std::set<std::string> listed;
  std::set<std::string> always;
  for (const SharedSignal& shared : shared_signals) {
    listed.insert(pair_text(shared.name, shared.other));
    if (shared.always) always.insert(pair_text(shared.name, shared.other));
  }
  std::set<std::string> met;
  for (const OneSignal& c : one_signal_cases) met.insert(c.pairs.begin(), c.pairs.end());
  EXPECT_EQ(met, listed);
  EXPECT_EQ(one_signal_cases[1].pairs, always);
}

}  // namespace
}  // namespace quorvin
