#include "plan/exact_options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <deque>
#include <limits>
#include <tuple>
#include <mutex>
#include <type_traits>
#include <vector>

#include "common/limits.h"
#include "common/parse.h"
#include "common/text.h"
#include "generator/family.h"
#include "modulation/catalogue.h"
#include "plan/exact_option_rows.h"
#include "plan/payloads.h"
#include "plan/stages/stage.h"

namespace quorvin {

std::optional<double> finite_number(std::string_view text) {
  const std::optional<double> value = read_c_decimal(utf8_to_utf16(text));
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return value;
}

namespace {

// `field` is a member of ExactSettings, of its impairments or of its scene.
template <typename Choice, auto field>
bool read_choice(std::string_view text, ExactSettings& into, std::initializer_list<std::pair<std::string_view, Choice>> names) {
  for (const auto& [name, choice] : names) {
    if (text == name) {
      field_of(into, field) = choice;
      return true;
    }
  }
  return false;
}

bool read_pulse(std::string_view text, ExactSettings& into) {
  return read_choice<PulseShape, &ExactSettings::pulse>(
      text, into, {{"rrc", PulseShape::rrc}, {"rect", PulseShape::rect}, {"linear", PulseShape::linear}});
}
bool read_snr_definition(std::string_view text, ExactSettings& into) {
  return read_choice<SnrDefinition, &ExactSettings::snr_definition>(
      text, into, {{"sample", SnrDefinition::sample}, {"esn0", SnrDefinition::esn0}, {"ebn0", SnrDefinition::ebn0}});
}
bool read_rate_scale(std::string_view text, ExactSettings& into) {
  return read_choice<RateScale, &ExactSettings::symbol_rate_scale>(text, into, {{"linear", RateScale::linear}, {"log", RateScale::log}});
}
bool read_scene(std::string_view text, ExactSettings& into) {
  return read_choice<SceneKind, &SceneSettings::kind>(text, into, {{"none", SceneKind::none}, {"wideband", SceneKind::wideband}});
}
bool read_overlap(std::string_view text, ExactSettings& into) {
  return read_choice<SceneOverlap, &SceneSettings::overlap>(
      text, into, {{"any", SceneOverlap::any}, {"boxes", SceneOverlap::boxes}, {"none", SceneOverlap::none}});
}
bool read_datatype(std::string_view text, ExactSettings& into) {
  return read_choice<SigmfDatatype, &ExactSettings::datatype>(
      text, into, {{"cf32_le", SigmfDatatype::cf32_le}, {"ci16_le", SigmfDatatype::ci16_le}});
}
bool read_sideband(std::string_view text, ExactSettings& into) {
  return read_choice<std::optional<Sideband>, &ExactSettings::sideband>(
      text, into, {{"lower", Sideband::lower}, {"upper", Sideband::upper}, {"random", std::nullopt}});
}

// A number from -1e12 to 1e12, or the empty text for none (the analog carrier's ends: the run's
// --analog-fc then).
template <std::optional<double> ExactSettings::*field>
bool read_optional_frequency(std::string_view text, ExactSettings& into) {
  if (text.empty()) {
    into.*field = std::nullopt;
    return true;
  }
  const std::optional<double> value = finite_number(text);
  if (!value || std::abs(*value) > 1e12) return false;
  into.*field = *value;
  return true;
}

// Any text: the recording is opened once the run's other settings are known (open_background).
bool read_background(std::string_view text, ExactSettings& into) {
  into.background = std::string(text);
  into.background_recording = nullptr;
  return true;
}

constexpr std::string_view per_name_accepted =
    "NAME:KEY=LOW..HIGH entries separated by ';' (a name of the catalogue; KEY snr from -600 to 600, "
    "symbol-rate above 0 up to 1e12, or samples-per-symbol from 1 to 1e12)";

// One entry of --per-name, "QPSK:snr=0..10": as typed and as read.
struct NameEntry {
  std::string_view text;
  std::string_view name;
  std::string_view key;
  std::array<double, 2> ends;
};

// Whether a key's ends are within its bounds.
bool within_bounds(std::string_view key, double low, double high) {
  const bool positive = low > 0.0 && high > 0.0 && low <= 1e12 && high <= 1e12;
  if (key == "snr") return std::abs(low) <= exact_snr_limit_db && std::abs(high) <= exact_snr_limit_db;
  if (key == "symbol-rate") return positive;
  return key == "samples-per-symbol" && positive && low >= 1.0 && high >= 1.0;
}

// Why a name takes no rate of its own: it has no symbols (analog names, Noise), or its symbol
// rate follows from its own draws (OFDM, a radar's pulses, CSS), whatever rate is drawn for it;
// nothing when it draws its rate.
std::optional<std::string_view> rate_fault(std::string_view name) {
  const Waveform w = resolve_waveform(name);
  if (!is_digital(w)) return "which has no symbols";
  if (w.family->symbol_rate == nullptr) return std::nullopt;
  std::vector<double> draws;
  for (const FamilyRange& range : w.family->ranges) draws.push_back(range.defaults[0]);
  const bool follows = w.family->symbol_rate(w, draws, 1e6, 1000.0) == 1000.0 && w.family->symbol_rate(w, draws, 1e6, 2000.0) == 2000.0;
  return follows ? std::nullopt : std::optional<std::string_view>("whose symbol rate follows from its own ranges");
}

std::string entry_refusal(std::string_view entry) {
  return "{--per-name} takes " + std::string(per_name_accepted) + ", not '" + marked_text(entry) + "'";
}

// The entries of a --per-name text (the empty text: none), or why one cannot serve, naming it
// (marked): each whole, of a known name and key, within the key's bounds; no rate for a name
// without symbols; no key twice for one name, nor both ways of its rate (one would be ignored).
std::variant<std::vector<NameEntry>, std::string> per_name_entries(std::string_view text) {
  constexpr std::size_t none = std::string_view::npos;
  std::vector<NameEntry> entries;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find(';', start), text.size());
    const std::string_view entry = text.substr(start, end - start);
    start = end + 1;
    const std::size_t colon = entry.rfind(':');
    const std::size_t equals = entry.find('=', colon == none ? 0 : colon);
    const std::size_t dots = entry.find("..", equals == none ? 0 : equals);
    if (colon == none || equals == none || dots == none) return entry_refusal(entry);
    // "-1...5" is -1 .. .5 as much as -1. .. 5: neither is taken for the user.
    if (entry.find("...", equals) != none) {
      return "{--per-name}: the ends of '" + marked_text(entry) +
             "' are unclear; write each end with a digit beside the dots (-1..0.5, -1.0..5)";
    }
    const NameEntry read{entry, entry.substr(0, colon), entry.substr(colon + 1, equals - colon - 1), {}};
    const std::optional<double> low = finite_number(entry.substr(equals + 1, dots - equals - 1));
    const std::optional<double> high = finite_number(entry.substr(dots + 2));
    if (find_modulation(read.name) == nullptr || !low || !high || !within_bounds(read.key, *low, *high)) {
      return entry_refusal(entry);
    }
    if (const auto fault = read.key == "snr" ? std::nullopt : rate_fault(read.name)) {
      return "{--per-name}: '" + marked_text(entry) + "' gives a rate to " + marked_text(read.name) + ", " +
             std::string(*fault);
    }
    for (const NameEntry& earlier : entries) {
      if (earlier.name != read.name || (earlier.key != read.key && (earlier.key == "snr" || read.key == "snr"))) continue;
      return "{--per-name} gives " + marked_text(read.name) +
             (earlier.key == read.key ? " its " + std::string(read.key) + " twice"
                                      : std::string(" both a symbol rate and samples per symbol")) +
             ": '" + marked_text(earlier.text) + "' and '" + marked_text(entry) + "'";
    }
    entries.push_back(read);
    entries.back().ends = {*low, *high};
  }
  return entries;
}

bool read_per_name(std::string_view text, ExactSettings& into) {
  const auto entries = per_name_entries(text);
  if (std::holds_alternative<std::string>(entries)) return false;
  into.per_name.clear();
  for (const NameEntry& entry : std::get<std::vector<NameEntry>>(entries)) {
    NameRanges& ranges = into.per_name[std::string(entry.name)];
    (entry.key == "snr" ? ranges.snr : entry.key == "symbol-rate" ? ranges.symbol_rate : ranges.samples_per_symbol) =
        entry.ends;
  }
  return true;
}

std::string per_name_refusal(std::string_view text) { return std::get<std::string>(per_name_entries(text)); }

// The payloads' lines, as the command line reads them from its file and Python gives its bytes.
bool read_payloads(std::string_view text, ExactSettings& into) {
  auto read = read_payloads_marked(text);
  if (std::holds_alternative<std::string>(read)) return false;
  into.payloads = std::get<Payloads>(std::move(read));
  return true;
}

std::string payloads_refusal(std::string_view text) { return std::get<std::string>(read_payloads_marked(text)); }

using S = ExactSettings;
using C = SceneSettings;
constexpr std::int64_t most_samples = static_cast<std::int64_t>(max_samples_per_file);

const ExactRow option_rows[] = {
    ExactOption{"--pulse", "pulse", PairEnd::none, "rrc",
                "pulse of the linear modulations: rrc (root-raised cosine), rect or linear (exact)",
                "rrc, rect or linear", read_pulse},
    ExactOption{"--filter-span", "filter_span", PairEnd::none, "10",
                "length of the rrc pulse, symbols (exact)", "a whole number from 2 to 256",
                read_whole<&S::filter_span, 2, 256>},
    ExactOption{
        "--snr-definition", "snr_definition", PairEnd::none, "sample",
        "what the SNR range draws: sample (per-sample SNR over the whole band), esn0 or ebn0 (exact)",
        "sample, esn0 or ebn0", read_snr_definition},
    ExactOption{"--symbol-rate-scale", "symbol_rate_scale", PairEnd::none, "linear",
                "how the symbol rate (or samples per symbol) is drawn in its range: linear (uniformly) or log "
                "(uniformly in its logarithm) (exact)",
                "linear or log", read_rate_scale},
    ExactRange{"--samples-per-symbol", "samples_per_symbol", {"0", "0"},
               {"fewest samples per symbol drawn; the symbol rate is then the sample rate over them (exact; 0 with "
                "--samples-per-symbol-max 0: off, the symbol-rate range where one is given, else 2 .. 16 fitted to "
                "the band)",
                "most samples per symbol drawn (exact)"},
               "a number from 0 to 1e6",
               decimal_range<&S::samples_per_symbol_min, &S::samples_per_symbol_max, 0, 1000000>},
    ExactOption{"--sideband", "sideband", PairEnd::none, "random",
                "sideband of AM-SSB: lower, upper, or random for one drawn per file (exact)",
                "lower, upper or random", read_sideband},
    ExactOption{"--analog-fc-min", "analog_fc_min", PairEnd::none, "",
                "lowest analog carrier frequency drawn, Hz (exact; default: --analog-fc)",
                "a number from -1e12 to 1e12", read_optional_frequency<&S::analog_fc_min>},
    ExactOption{"--analog-fc-max", "analog_fc_max", PairEnd::none, "",
                "highest analog carrier frequency drawn, Hz (exact; default: --analog-fc)",
                "a number from -1e12 to 1e12", read_optional_frequency<&S::analog_fc_max>},
    ExactRange{"--message-frequency", "message_frequency", {"100", "2000"},
               {"lowest analog message frequency drawn, Hz (exact)",
                "highest analog message frequency drawn, Hz (exact)"},
               "a number above 0 up to 1e12",
               decimal_range<&S::message_frequency_min, &S::message_frequency_max, 0, 1000000000000LL, 1, true>},
    ExactOption{"--samples-per-file", "samples_per_file", PairEnd::none, "0",
                "every file exactly N samples from a random start inside the first symbol; "
                "--num-symbols is then ignored (exact; 0: off)",
                "a whole number from 0 to 67108864",
                read_whole<&S::samples_per_file, 0, most_samples>},
    ExactOption{"--save-channel", "save_channel", PairEnd::none, "false",
                "also write each file's fading taps and carrier phase over time, as .npy files "
                "beside it or datasets of --format hdf5 (exact)",
                "true or false", read_flag<&S::save_channel>, true},
    ExactOption{"--save-symbols", "save_symbols", PairEnd::none, "false",
                "also write each digital file's transmitted symbols (index, instant, symbol, value, Gray bits) "
                "as a .npy file beside it (exact)",
                "true or false", read_flag<&S::save_symbols>, true},
    ExactOption{"--per-name", "per_name", PairEnd::none, "",
                "ranges of one name in place of the run's: NAME:KEY=LOW..HIGH entries separated by ';', KEY snr (dB), "
                "symbol-rate (Baud) or samples-per-symbol, e.g. '2FSK:symbol-rate=1000..2000;QPSK:snr=0..10' (exact)",
                per_name_accepted, read_per_name, false, nullptr, per_name_refusal},
    ExactOption{"--payload", "payloads", PairEnd::none, "",
                "the standards' payloads in place of drawn ones: a file of one payload a line in hexadecimal bytes, "
                "file k of each name sending line k (the lines again from the first when there are fewer); the "
                "payload is ADS-B's ME field, POCSAG's message text, AIS's 168-bit message, APRS's information "
                "field, BLE's AdvData, 802.11a/g's PSDU before its FCS (exact)",
                "a file of payloads, one a line of hexadecimal bytes", read_payloads, false, nullptr, payloads_refusal},
    // Scenes: several emitters per capture.
    ExactOption{"--scene", "scene", PairEnd::none, "none",
                "none (one signal per file) or wideband: each file a capture of --samples-per-file samples holding "
                "several emitters, each with its box in time and frequency (exact)",
                "none or wideband", read_scene},
    ExactOption{"--background", "background", PairEnd::none, "",
                "a SigMF recording (cf32_le or ci16_le, one channel; its base name, .sigmf-meta or .sigmf-data) to lay "
                "each scene's emitters over in place of synthetic noise: capture k takes its k-th span of "
                "--samples-per-file samples (again from its start past its end), the SNRs stand over the span's "
                "measured noise floor, and its annotations are carried (exact; --format sigmf)",
                "a SigMF recording", read_background},
    ExactRange{"--emitters", "emitters", {"1", "4"},
               {"fewest emitters in a scene (exact)", "most emitters in a scene (exact)"},
               "a whole number from 1 to 64", whole_range<&C::emitters_min, &C::emitters_max, 1, 64>},
    ExactOption{"--overlap", "overlap", PairEnd::none, "any",
                "how a scene's emitters may overlap: any; boxes (their boxes never meet: a frequency is shared "
                "only at other times); none (no frequency shared) (exact)",
                "any, boxes or none", read_overlap},
    ExactRange{"--burst", "burst", {"0.25", "1"},
               {"shortest burst of a scene's emitter, fraction of the capture (exact)",
                "longest burst, fraction of the capture (exact)"},
               "a number above 0 up to 1", decimal_range<&C::burst_min, &C::burst_max, 0, 1, 1, true>},
    ExactOption{"--datatype", "datatype", PairEnd::none, "cf32_le",
                "sample type of --format sigmf: cf32_le (complex float32) or ci16_le (complex int16: I and Q each "
                "32767 / full scale, the full scale 4 times the file's nominal RMS, recorded as quorvin:full_scale) (exact)",
                "cf32_le or ci16_le", read_datatype},
};

// One end of a family's range: a number within its bounds (a whole one where it draws whole
// numbers).
bool read_family_end(const FamilyRange& range, PairEnd end, std::string_view text, ExactSettings& into) {
  const std::optional<double> value = finite_number(text);
  if (!value || *value < range.low || *value > range.high || (range.open_low && *value == range.low) ||
      (range.whole && *value != std::floor(*value))) {
    return false;
  }
  auto [given, fresh] = into.family_ranges.try_emplace(std::string(range.key), range.defaults);
  given->second[end == PairEnd::min ? 0 : 1] = *value;
  return true;
}

// What a family's range accepts, as the refusal says it.
std::string accepted_text(const FamilyRange& range) {
  return std::string(range.whole ? "a whole number " : "a number ") + (range.open_low ? "above " : "from ") +
         shortest_text(range.low) + (range.open_low ? " up to " : " to ") + shortest_text(range.high);
}

// Texts made for the generated options, held for the views they are read through.
std::string_view kept_text(std::string text) {
  static std::deque<std::string> texts;
  static std::mutex guard;
  const std::lock_guard lock(guard);
  return texts.emplace_back(std::move(text));
}

// The families' ranges whose options follow `option` ("" for those after every other), each key
// once (families that share a value share its declaration), with their families' names.
std::vector<std::pair<const FamilyRange*, std::string_view>> ranges_after(std::string_view option) {
  std::vector<std::pair<const FamilyRange*, std::string_view>> found;
  std::vector<std::string_view> keys;
  for (const SignalFamily* family : signal_families()) {
    for (const FamilyRange& range : family->ranges) {
      if (std::find(keys.begin(), keys.end(), range.key) != keys.end()) continue;
      keys.push_back(range.key);
      if (range.options_after == option) found.emplace_back(&range, family->name);
    }
  }
  return found;
}

// The rows with each range as its two options, in the order they are checked: a family's range
// after the option it names, the others' last.
std::vector<ExactOption> expanded() {
  std::vector<ExactOption> options;
  const auto place = [&options](const ExactOption& option, const auto& again) -> void {
    options.push_back(option);
    for (const auto& [range, family] : ranges_after(option.option)) {
      for (const ExactOption& own : family_range_options(*range, family)) again(own, again);
    }
  };
  const auto add = [&place](const ExactRow& row) {
    if (const ExactOption* option = std::get_if<ExactOption>(&row)) {
      place(*option, place);
      return;
    }
    const ExactRange& range = std::get<ExactRange>(row);
    for (std::size_t i = 0; i < 2; ++i) {
      place({kept_text(std::string(range.stem) + (i == 0 ? "-min" : "-max")), range.keyword, i == 0 ? PairEnd::min : PairEnd::max,
             range.default_texts[i], range.helps[i], range.accepted, range.read[i]},
            place);
    }
  };
  for (const ExactRow& row : option_rows) add(row);
  // The channel's stages' own (plan/stages/), each off until asked for.
  for (const ChannelStage* stage : stages_by_slot()) {
    for (const ExactRow& row : stage->options) add(row);
  }
  for (const auto& [range, family] : ranges_after("")) {
    for (const ExactOption& option : family_range_options(*range, family)) options.push_back(option);
  }
  return options;
}

double larger(double a, double b) { return std::max(std::abs(a), std::abs(b)); }

// The longest capture of a scene that fades: each emitter is made whole over it (its taps run from
// the capture's start), its waveform and faded copy beside the capture's sum, about 140 bytes a
// sample at the peak, one emitter at a time: about 1.2 GB here.
constexpr std::int64_t longest_faded_scene = std::int64_t{1} << 23;

// The fewest samples a scene's burst holds: the half of it inside the capture, 4 samples or more,
// keeps its box at half the band or narrower.
constexpr double fewest_burst_samples = 8.0;

using Reach = SettingsReach;

// The highest symbol rate a digital name may draw, Baud: the sample rate over the fewest samples
// per symbol where those are drawn, else the symbol-rate range's larger end.
double symbol_rate_ceiling(const RunSettings& s, const std::string& name) {
  const ExactSettings& x = s.exact;
  if (const auto fitted = x.fitted_samples_per_symbol.find(name); fitted != x.fitted_samples_per_symbol.end()) {
    return s.sample_rate / fitted->second.fewest;
  }
  if (draws_samples_per_symbol(x)) return s.sample_rate / std::min(x.samples_per_symbol_min, x.samples_per_symbol_max);
  return larger(s.symbol_rate_min, s.symbol_rate_max);
}

std::optional<Reach> reach_at(const RunSettings& s, const std::string& name, double symbol_rate) {
  const ExactSettings& x = s.exact;
  const Waveform w = resolve_waveform(name);
  // A name's own fault is reported with its file; noise alone fills any band.
  if (w.family == nullptr || is_silent(w)) return std::nullopt;
  FamilyBand band = w.family->band(w, {.symbol_rate = symbol_rate,
                                             .pulse = x.pulse,
                                             .message_frequency = larger(x.message_frequency_min, x.message_frequency_max),
                                             .deviation = s.analog_deviation,
                                             .sideband = x.sideband,
                                             .family_ranges = &x.family_ranges,
                                             .sample_rate = s.sample_rate});
  double lowest = s.mix_frequency;
  double highest = s.mix_frequency;
  // An analog family's band sits around its own carrier.
  if (w.family->analog) {
    lowest += std::min(x.analog_fc_min.value_or(s.analog_carrier_frequency), x.analog_fc_max.value_or(s.analog_carrier_frequency));
    highest += std::max(x.analog_fc_min.value_or(s.analog_carrier_frequency), x.analog_fc_max.value_or(s.analog_carrier_frequency));
  }
  lowest += std::min(s.frequency_offset_min, s.frequency_offset_max);
  highest += std::max(s.frequency_offset_min, s.frequency_offset_max);
  // Drawn per symbol, the rate's ceiling is set by the fewest samples per symbol.
  const std::string rate = "{--symbol-rate-max}";
  if (const std::size_t at = band.options.find(rate); at != std::string::npos && draws_samples_per_symbol(x)) {
    band.options.replace(at, rate.size(), "{--samples-per-symbol-min}");
  }
  return Reach{lowest + band.edges.low, highest + band.edges.high, band.options};
}

std::optional<Reach> reach_of(const RunSettings& run, const std::string& name) {
  const RunSettings s = settings_for_name(run, name);
  std::optional<Reach> reach = reach_at(s, name, symbol_rate_ceiling(s, name));
  // A rate of the name's own is narrowed where it was given.
  const auto own = run.exact.per_name.find(name);
  if (reach && own != run.exact.per_name.end() && (own->second.symbol_rate || own->second.samples_per_symbol)) {
    for (const std::string_view rate : {"{--symbol-rate-max}", "{--samples-per-symbol-min}"}) {
      if (const std::size_t at = reach->options.find(rate); at != std::string::npos) reach->options.replace(at, rate.size(), "{--per-name}");
    }
  }
  return reach;
}

// The text of `option` as given, or its default.
std::string_view text_given(const ExactTexts& texts, std::string_view option) {
  const auto table = exact_options();
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i].option != option) continue;
    return i < texts.size() && texts[i] ? std::string_view(*texts[i]) : table[i].default_text;
  }
  return {};
}

// The band after the channel's stages that move or widen it, in the chain's order.
Reach through_channel(const ImpairmentSettings& x, Reach reach) {
  for (const ChannelStage* stage : channel_stages()) {
    if (stage->widen != nullptr) stage->widen(x, reach);
  }
  return reach;
}

}  // namespace

std::array<ExactOption, 2> family_range_options(const FamilyRange& range, std::string_view family) {
  std::string stem = "--" + std::string(range.key);
  std::replace(stem.begin(), stem.end(), '_', '-');
  const std::string_view accepted = kept_text(accepted_text(range));
  std::string what(range.help);
  // A choice's numbers name the list's entries.
  for (std::size_t i = 0; i < range.choices.size(); ++i) {
    what += (i == 0 ? " (" : ", ") + std::to_string(i) + " " + std::string(range.choices[i]) + (i + 1 == range.choices.size() ? ")" : "");
  }
  const bool own = !range.helps[0].empty();
  return {ExactOption{kept_text(stem + "-min"), range.key, PairEnd::min, kept_text(shortest_text(range.defaults[0])),
                      own ? range.helps[0] : kept_text("lowest " + what + " drawn (exact; " + std::string(family) + ")"),
                      accepted, nullptr, false, &range},
          ExactOption{kept_text(stem + "-max"), range.key, PairEnd::max, kept_text(shortest_text(range.defaults[1])),
                      own ? range.helps[1] : kept_text("highest " + what + " drawn (exact)"), accepted, nullptr, false,
                      &range}};
}

std::vector<std::string> accepted_choices(std::string_view accepted) {
  if (accepted.starts_with("a whole number") || accepted.starts_with("a number") || accepted.starts_with("NAME:") ||
      accepted.starts_with("a SigMF") || accepted.starts_with("a file") ||
      accepted.find("comma-separated numbers") != std::string_view::npos) {
    return {};
  }
  std::vector<std::string> choices;
  for (std::size_t start = 0; start < accepted.size();) {
    const std::size_t end = std::min(accepted.find_first_of(", ", start), accepted.size());
    const std::string_view word = accepted.substr(start, end - start);
    if (!word.empty() && word != "or") choices.emplace_back(word);
    start = end + 1;
  }
  return choices;
}

std::string not_accepted_marked(std::string_view option, std::string_view accepted, std::string_view text) {
  const std::string meant = did_you_mean(nearest_names(text, accepted_choices(accepted)));
  return "{" + std::string(option) + "} takes " + std::string(accepted) + ", not '" + marked_text(text) + "'" +
         (meant.empty() ? "" : "; " + meant);
}

std::span<const ExactOption> exact_options() {
  static const std::vector<ExactOption> table = expanded();
  return table;
}

std::variant<ExactSettings, std::string> read_exact_options_marked(const ExactTexts& texts) {
  ExactSettings settings;
  for (const ExactOption& o : exact_options()) {
    const std::string_view text = text_given(texts, o.option);
    if (!(o.range != nullptr ? read_family_end(*o.range, o.end, text, settings) : o.read(text, settings))) {
      if (o.refusal != nullptr) return o.refusal(text);
      return not_accepted_marked(o.option, o.accepted, text);
    }
  }
  const ImpairmentSettings& x = settings.impairments;
  for (const ChannelStage* stage : stages_by_slot()) {
    if (stage->refuse == nullptr) continue;
    if (std::optional<std::string> refusal = stage->refuse(x)) return *std::move(refusal);
  }
  // The fading's and the clock's margins count against the limit too: refused here, not file by
  // file.
  if (const std::int64_t longest = longest_framed_file(x); settings.samples_per_file > longest) {
    return "{--samples-per-file} takes a whole number from 0 to " + std::to_string(longest) +
           " with these {--fading} and {--clock-ppm-min/max} settings (their margins count against "
           "the limit of " +
           std::to_string(max_samples_per_file) + " samples), not '" +
           marked_text(text_given(texts, "--samples-per-file")) + "'";
  }
  const double fewest = std::min(settings.samples_per_symbol_min, settings.samples_per_symbol_max);
  if (draws_samples_per_symbol(settings) && !(fewest >= 1.0)) {
    return std::string("{--samples-per-symbol-min and --samples-per-symbol-max} take 1 or more each, or 0 both for the "
                       "symbol-rate range");
  }
  if (settings.scene.kind != SceneKind::none && settings.samples_per_file == 0) {
    return std::string("{--scene wideband} takes a capture length: give {--samples-per-file}");
  }
  // A burst's box is at least two cells of fs / its samples wide, and at least half a burst
  // lies in the capture: a burst of fewer samples makes a box as wide as the band or wider, and
  // no emitter could be placed, whatever the overlap.
  const SceneSettings& scene = settings.scene;
  const double shortest = std::min(scene.burst_min, scene.burst_max);
  if (scene.kind != SceneKind::none && shortest * static_cast<double>(settings.samples_per_file) < fewest_burst_samples) {
    const std::string_view end = scene.burst_max < scene.burst_min ? "--burst-max" : "--burst-min";
    return "{" + std::string(end) + "} takes " +
           shortest_text(fewest_burst_samples / static_cast<double>(settings.samples_per_file)) + " or more with {--samples-per-file " +
           marked_text(text_given(texts, "--samples-per-file")) + "} (a burst of " + shortest_text(fewest_burst_samples) +
           " samples at least), not '" + marked_text(text_given(texts, end)) + "'";
  }
  if (scene.kind == SceneKind::none && !settings.background.empty()) {
    return std::string("{--background} applies to {--scene wideband} only: it is the ground a scene's emitters are laid over");
  }
  if (settings.scene.kind != SceneKind::none && settings.save_channel) {
    return std::string("{--save-channel} does not apply to {--scene wideband}: each emitter has its own channel");
  }
  if (settings.scene.kind != SceneKind::none && settings.save_symbols) {
    return std::string("{--save-symbols} does not apply to {--scene wideband}: each emitter has its own symbols");
  }
  if (scene.kind != SceneKind::none && x.fading != Fading::none && settings.samples_per_file > longest_faded_scene) {
    return "{--samples-per-file} takes at most " + std::to_string(longest_faded_scene) +
           " with {--scene wideband} and {--fading}: a faded emitter is made over the whole capture (about 140 bytes a "
           "sample held), not '" + marked_text(text_given(texts, "--samples-per-file")) +
           "'; fewer samples per file, or no fading";
  }
  return settings;
}

std::optional<std::string> per_name_misfit_marked(const RunSettings& s, const ExactTexts& texts) {
  const auto entries = per_name_entries(text_given(texts, "--per-name"));
  if (!std::holds_alternative<std::vector<NameEntry>>(entries)) return std::get<std::string>(entries);
  for (const NameEntry& entry : std::get<std::vector<NameEntry>>(entries)) {
    if (std::find(s.modulations.begin(), s.modulations.end(), entry.name) != s.modulations.end()) continue;
    return "{--per-name}: '" + marked_text(entry.text) + "' names " + marked_text(entry.name) +
           ", which is not among the run's names";
  }
  return std::nullopt;
}

// Why a standard's files cannot hold one whole frame: a file of --samples-per-file or
// --num-symbols shorter than its frame and the widest gap before it; nothing when they can.
static std::optional<std::string> frame_misfit_marked(const RunSettings& s, const std::string& name) {
  const Waveform w = resolve_waveform(name);
  if (w.family == nullptr || w.family->shortest_file == nullptr || w.family->symbol_rate == nullptr) return std::nullopt;
  const FamilyRanges& given = settings_for_name(s, name).exact.family_ranges;
  const double needed = w.family->shortest_file(w, given);
  // The slowest rate its ranges let it draw: its rate at the one end or the other of every range.
  double rate = std::numeric_limits<double>::infinity();
  for (const std::size_t end : {0U, 1U}) {
    std::vector<double> draws;
    for (const FamilyRange& range : w.family->ranges) draws.push_back(range_ends(given, range)[end]);
    rate = std::min(rate, w.family->symbol_rate(w, draws, s.sample_rate, 0.0));
  }
  if (s.exact.samples_per_file > 0) {
    const double samples = std::ceil(needed * s.sample_rate / rate);
    if (static_cast<double>(s.exact.samples_per_file) >= samples) return std::nullopt;
    return name + " cannot hold a whole frame in " + std::to_string(s.exact.samples_per_file) + " samples: it needs " +
           shortest_text(samples) + " at this sample rate (" + shortest_text(needed) + " symbol periods of " +
           shortest_text(rate) + " Baud). Raise {--samples-per-file} or narrow its own ranges.";
  }
  if (static_cast<double>(s.num_symbols) >= std::ceil(needed)) return std::nullopt;
  return name + " cannot hold a whole frame in " + std::to_string(s.num_symbols) + " symbols: it needs " +
         shortest_text(std::ceil(needed)) + " (symbol periods of " + shortest_text(rate) +
         " Baud). Raise {--num-symbols} or narrow its own ranges.";
}

std::optional<std::string> band_misfit_marked(const RunSettings& s) {
  const double edge = s.sample_rate / 2.0;
  for (const std::string& name : s.modulations) {
    if (std::optional<std::string> misfit = frame_misfit_marked(s, name)) return misfit;
    std::optional<Reach> reach = reach_of(s, name);
    if (reach) reach = through_channel(s.exact.impairments, *reach);
    // A hair of tolerance: a band that touches the edge exactly fits.
    if (!reach || (reach->low >= -edge * (1.0 + 1e-12) && reach->high <= edge * (1.0 + 1e-12)))
      continue;
    return name + " does not fit in the band of the sample rate: its signal may reach from " +
           shortest_text(reach->low) + " Hz to " + shortest_text(reach->high) + " Hz, beyond -" +
           shortest_text(edge) + " .. " + shortest_text(edge) +
           " Hz. Raise {--sample-rate} or narrow " + reach->options + ".";
  }
  return std::nullopt;
}

std::variant<ExactSettings, std::string> read_exact_options(const ExactTexts& texts) {
  auto read = read_exact_options_marked(texts);
  if (std::string* refusal = std::get_if<std::string>(&read))
    *refusal = command_line_text(*refusal);
  return read;
}

void fit_samples_per_symbol(RunSettings& s) {
  s.exact.fitted_samples_per_symbol.clear();
  const double edge = s.sample_rate / 2.0;
  for (const std::string& name : s.modulations) {
    const Waveform w = resolve_waveform(name);
    if (w.family == nullptr || w.family->analog) continue;
    // A name given its own rate or samples per symbol draws those.
    if (const auto own = s.exact.per_name.find(name);
        own != s.exact.per_name.end() && (own->second.symbol_rate || own->second.samples_per_symbol)) {
      continue;
    }
    // The reach grows linearly with the symbol rate (the band with it, the clock's scaling of
    // both): from the reach at 0 and at 1 Baud, the highest rate that stays inside the band.
    std::optional<Reach> at_zero = reach_at(s, name, 0.0);
    std::optional<Reach> at_one = reach_at(s, name, 1.0);
    if (!at_zero || !at_one) continue;
    at_zero = through_channel(s.exact.impairments, *at_zero);
    at_one = through_channel(s.exact.impairments, *at_one);
    const double up = at_one->high - at_zero->high;
    const double down = at_zero->low - at_one->low;
    if (!(up > 0.0) || !(down > 0.0)) continue;
    const double fastest = std::min((edge - at_zero->high) / up, (edge + at_zero->low) / down);
    if (!(fastest > 0.0) || !std::isfinite(fastest)) continue;  // nothing fits: the band check says why
    const double fewest = std::max(2.0, s.sample_rate / fastest);
    s.exact.fitted_samples_per_symbol[name] = {fewest, 8.0 * fewest};
  }
}

RunSettings settings_for_name(const RunSettings& settings, std::string_view name) {
  const auto own = settings.exact.per_name.find(name);
  if (own == settings.exact.per_name.end()) return settings;
  RunSettings s = settings;
  const NameRanges& r = own->second;
  if (r.snr) std::tie(s.snr_min_db, s.snr_max_db) = std::pair{(*r.snr)[0], (*r.snr)[1]};
  if (r.symbol_rate || r.samples_per_symbol) {
    s.exact.fitted_samples_per_symbol.erase(std::string(name));
    s.exact.samples_per_symbol_min = r.samples_per_symbol ? (*r.samples_per_symbol)[0] : 0.0;
    s.exact.samples_per_symbol_max = r.samples_per_symbol ? (*r.samples_per_symbol)[1] : 0.0;
  }
  if (r.symbol_rate) std::tie(s.symbol_rate_min, s.symbol_rate_max) = std::pair{(*r.symbol_rate)[0], (*r.symbol_rate)[1]};
  return s;
}

std::optional<std::string> band_misfit(const RunSettings& settings) {
  std::optional<std::string> misfit = band_misfit_marked(settings);
  if (misfit) misfit = command_line_text(*misfit);
  return misfit;
}

}  // namespace quorvin
