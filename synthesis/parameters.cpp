#include "synthesis/parameters.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>

#include "common/text.h"
#include "modulation/catalogue.h"
#include "plan/stages/stage.h"
#include "synthesis/exact_file.h"

namespace quorvin {
namespace {

using Value = std::optional<ParameterValue>;

// A file's facts with its waveform, resolved once for all its parameters.
struct Facts : FileFacts {
  Waveform resolved;
};

using Getter = Value (*)(const Facts&);

struct Definition {
  ParameterKind kind;
  Getter value;  // nothing for a file without this parameter
};

const Waveform& waveform(const Facts& f) { return f.resolved; }
DrawnParameters uses(const Facts& f) { return drawn_parameters(waveform(f)); }

bool analog(const Facts& f) { return is_analog(waveform(f)); }
// A name without a family (made by hand) keeps the digital labels it always had.
bool digital(const Facts& f) { return !analog(f) && !is_silent(waveform(f)); }
bool silent(const Facts& f) { return is_silent(waveform(f)); }
bool exact(const Facts& f) { return f.settings.signal_model == SignalModel::exact; }

bool keyed(const Facts& f) { return waveform(f).family != nullptr && waveform(f).family->modulation_index != nullptr; }
bool linear(const Facts& f) { return digital(f) && !keyed(f); }
// Symbols through a pulse (a name made by hand without a family too): OFDM and chirps have none.
bool pulse_shaped(const Facts& f) { return linear(f) && (waveform(f).family == nullptr || uses(f).pulse); }
bool framed(const Facts& f) { return exact(f) && f.settings.exact.samples_per_file > 0; }

// The symbol timing the file's samples realise.
RealisedTiming realised(const Facts& f) {
  const RunSettings& s = f.settings;
  if (!exact(f)) return classic_realised_timing(f.file.modulation, s.num_symbols, f.file.symbol_rate, s.sample_rate);
  return exact_realised_timing(s, f.file);
}

// The message tone where the samples hold it: a real passband file folds it into 0 .. fs / 2.
double apparent_message_frequency(const Facts& f) {
  const double fm = f.file.message_frequency;
  if (exact(f)) return fm;
  const double fs = f.settings.sample_rate;
  return std::abs(fm - fs * std::round(fm / fs));
}

// Es/N0 of the symbols the samples realise: unit nominal power over the realised symbol period.
double es_n0_db(const Facts& f) { return f.file.snr_db + 10.0 * std::log10(realised(f).samples_per_symbol); }


// The SNR the samples hold: the signal's power as written (faded, amplified) over the noise's,
// 10^(-SNR / 10) of the unit nominal power. A file without noise or without a signal keeps its SNR.
Value realised_snr_db(const Facts& f) {
  if (silent(f) || !std::isfinite(f.file.snr_db)) return Value{f.file.snr_db};
  // A file that cannot be made (its failure is its report) has no realised SNR.
  const auto measure = [&f]() -> std::optional<double> {
    try {
      return exact_signal_power(f.settings, f.file);
    } catch (const std::exception&) {
      return std::nullopt;
    }
  };
  const std::optional<double> power = f.signal_power ? f.signal_power : remembered_measure(signal_power_key(f.settings, f.file), measure);
  return power ? Value{f.file.snr_db + 10.0 * std::log10(*power)} : Value{};
}

std::string_view pulse_name(PulseShape shape) {
  switch (shape) {
    case PulseShape::rrc: return "rrc";
    case PulseShape::rect: return "rect";
    case PulseShape::linear: return "linear";
  }
  return "";
}

Value for_digital(const Facts& f, double value) { return digital(f) ? Value{value} : Value{}; }
Value for_analog(const Facts& f, double value) { return analog(f) ? Value{value} : Value{}; }

Value seed(const Facts& f, const std::optional<Seed>& value) {
  return f.run_seed && value ? Value{std::int64_t{*value}} : Value{};
}

constexpr ManifestPlace none = ManifestPlace::none;
constexpr ManifestPlace leading = ManifestPlace::leading;
constexpr ManifestPlace trailing = ManifestPlace::trailing;
constexpr ManifestPlace exact_trailing = ManifestPlace::exact_trailing;

// Every parameter a file may have: these, then the channel's stages' labels (plan/stages/), then the
// closing ones. The order is the manifest's column order; the settings file sorts by label and the
// metadata by key, so there the order does not matter.
const Definition opening_definitions[] = {
    {{"modulation", "Modulation Type", "", true, leading, ParameterType::text}, [](const Facts& f) { return Value{f.file.modulation}; }},
    {{"class_index", "", "", false, leading, ParameterType::whole},
     [](const Facts& f) {
       const ModulationRow* row = waveform(f).row;
       return Value{static_cast<std::int64_t>(row == nullptr ? modulation_count : static_cast<std::size_t>(row - modulation_catalogue))};
     }},
    {{"file_index", "", "", true, leading, ParameterType::whole}, [](const Facts& f) { return Value{std::int64_t{f.file.index}}; }},
    {{"sample_rate", "Sample Rate", " Hz", false, trailing}, [](const Facts& f) { return Value{f.settings.sample_rate}; }},
    {{"mix_frequency", "Mixed Frequency", " Hz", true, trailing},
     [](const Facts& f) { return Value{f.settings.mix_frequency}; }},
    // One key, two labels: a digital file counts symbols, an analog one samples.
    {{"num_symbols", "Number of Symbols", "", true, trailing, ParameterType::whole},
     [](const Facts& f) { return !digital(f) || framed(f) ? Value{} : Value{std::int64_t{f.settings.num_symbols}}; }},
    {{"num_symbols", "Number of Samples", "", true, trailing, ParameterType::whole},
     [](const Facts& f) {
       if (digital(f)) return Value{};
       return Value{exact(f) ? static_cast<std::int64_t>(exact_file_samples(f.settings, f.file)) : f.settings.num_symbols};
     }},
    {{"snr_db", "SNR", " dB", true, trailing}, [](const Facts& f) { return Value{f.file.snr_db}; }},
    {{"noise_power_db", "Noise Power", " dB", true, none},
     [](const Facts& f) { return silent(f) ? Value{10.0 * std::log10(f.file.noise_power)} : Value{}; }},
    {{"symbol_rate", "Symbol Rate", " Baud", true, trailing},
     [](const Facts& f) { return for_digital(f, f.file.symbol_rate); }},
    {{"timing_error", "Symbol Timing Error", "", true, trailing},
     [](const Facts& f) { return for_digital(f, f.file.timing_error); }},
    // The exact model offsets analog carriers too.
    {{"frequency_offset", "Frequency Offset", " Hz", true, trailing},
     [](const Facts& f) { return (analog(f) && !exact(f)) || silent(f) ? Value{} : Value{f.file.frequency_offset}; }},
    {{"amplitude", "Amplitude", "", true, trailing}, [](const Facts& f) { return for_analog(f, f.file.amplitude); }},
    {{"message_frequency", "Message Frequency", " Hz", true, trailing},
     [](const Facts& f) {
       return exact(f) && !uses(f).message ? Value{} : for_analog(f, f.file.message_frequency);
     }},
    {{"carrier_frequency", "Carrier Frequency", " Hz", true, trailing},
     [](const Facts& f) {
       return for_analog(f, exact(f) ? f.file.carrier_frequency : f.settings.analog_carrier_frequency);
     }},
    {{"frequency_deviation", "Frequency Deviation", " Hz", true, trailing},
     [](const Facts& f) { return uses(f).deviation ? Value{f.settings.analog_deviation} : Value{}; }},
    {{"symbol_seed", "", "", true, trailing, ParameterType::whole},
     [](const Facts& f) { return digital(f) ? seed(f, f.file.seeds.symbols) : Value{}; }},
    {{"noise_seed", "", "", true, trailing, ParameterType::whole}, [](const Facts& f) { return seed(f, f.file.seeds.noise); }},
    // What the samples realise, beside what was drawn; in the exact model the two agree.
    {{"signal_model", "", "", true, trailing, ParameterType::text}, [](const Facts& f) { return exact(f) ? Value{} : Value{std::string("classic")}; }},
    {{"signal_model", "Signal Model", "", true, trailing, ParameterType::text},
     [](const Facts& f) { return exact(f) ? Value{std::string("exact")} : Value{}; }},
    {{"realised_symbol_rate", "", " Baud", true, trailing},
     [](const Facts& f) { return for_digital(f, realised(f).symbol_rate); }},
    {{"samples_per_symbol", "", "", true, trailing},
     [](const Facts& f) { return for_digital(f, realised(f).samples_per_symbol); }},
    {{"symbols_spanned", "", "", true, trailing},
     [](const Facts& f) { return exact(f) ? Value{} : for_digital(f, realised(f).symbols_spanned); }},
    {{"symbols_spanned", "Symbols Spanned", "", true, trailing},
     [](const Facts& f) { return exact(f) ? for_digital(f, realised(f).symbols_spanned) : Value{}; }},
    {{"apparent_message_frequency", "", " Hz", true, trailing},
     [](const Facts& f) {
       return uses(f).message ? for_analog(f, apparent_message_frequency(f)) : Value{};
     }},
    // The exact model's own draws and the values derived from them.
    {{"pulse", "Pulse Shape", "", true, trailing, ParameterType::text},
     [](const Facts& f) { return exact(f) && pulse_shaped(f) ? Value{std::string(pulse_name(f.settings.exact.pulse))} : Value{}; }},
    {{"filter_span", "Filter Span", " symbols", true, trailing, ParameterType::whole},
     [](const Facts& f) {
       return exact(f) && pulse_shaped(f) && f.settings.exact.pulse == PulseShape::rrc
                  ? Value{std::int64_t{f.settings.exact.filter_span}}
                  : Value{};
     }},
    {{"modulation_index", "Modulation Index", "", true, trailing},
     [](const Facts& f) {
       return exact(f) && !analog(f) && keyed(f) ? Value{waveform(f).family->modulation_index(waveform(f), f.file.family_draws)}
                                                 : Value{};
     }},
    {{"es_n0_db", "Es/N0", " dB", true, trailing},
     [](const Facts& f) { return exact(f) ? for_digital(f, es_n0_db(f)) : Value{}; }},
    {{"eb_n0_db", "Eb/N0", " dB", true, trailing},
     [](const Facts& f) {
       // A symbol without bits (a radar pulse) has no Eb/N0.
       const double bits = exact(f) ? waveform_bits_per_symbol(waveform(f), f.file.family_draws) : 0.0;
       return bits > 0.0 ? for_digital(f, es_n0_db(f) - 10.0 * std::log10(bits)) : Value{};
     }},
    {{"start_offset", "Start Offset", " symbols", true, trailing},
     [](const Facts& f) { return framed(f) ? for_digital(f, f.file.start_offset) : Value{}; }},
    {{"sideband", "Sideband", "", true, trailing, ParameterType::text},
     [](const Facts& f) {
       return exact(f) && uses(f).sideband
                  ? Value{std::string(f.file.sideband == Sideband::lower ? "lower" : "upper")}
                  : Value{};
     }},
};

// The rows after the channel's stages' labels.
const Definition closing_definitions[] = {
    // Columns the classic model's manifests never had: they keep their bytes.
    {{"message_phase", "Message Phase", " rad", true, exact_trailing},
     [](const Facts& f) { return exact(f) && uses(f).message ? for_analog(f, f.file.message_phase) : Value{}; }},
    {{"total_carrier_offset", "Total Carrier Offset", " Hz", true, exact_trailing},
     [](const Facts& f) { return exact(f) && !silent(f) ? Value{exact_total_carrier_offset(f.settings, f.file)} : Value{}; }},
    {{"realised_snr_db", "Realised SNR", " dB", true, exact_trailing},
     [](const Facts& f) { return exact(f) ? realised_snr_db(f) : Value{}; }},
    {{"run_seed", "", "", true, none, ParameterType::whole},
     [](const Facts& f) { return f.run_seed ? Value{std::int64_t{*f.run_seed}} : Value{}; }},
};

// A family's range told after every other label (its column last), not at a place of the table
// above nor by another label.
bool labelled_last(const FamilyRange& r) { return !r.label.empty() && r.labelled_after.empty(); }

// The manifest place of the label keyed `key` in the tables above; none for another.
ManifestPlace place_of(std::string_view key) {
  for (const auto& table : {std::span<const Definition>(opening_definitions), std::span<const Definition>(closing_definitions)}) {
    for (const Definition& d : table) {
      if (d.kind.key == key) return d.kind.manifest;
    }
  }
  return none;
}

// The label of each family's own range, one per key: a range told at a place of the tables takes
// that place's manifest column.
const std::vector<ParameterKind>& family_range_kinds() {
  static const std::vector<ParameterKind> kinds = [] {
    std::vector<ParameterKind> all;
    for (const SignalFamily* family : signal_families()) {
      std::vector<FamilyRange> labelled(family->ranges.begin(), family->ranges.end());
      labelled.insert(labelled.end(), family->derived.begin(), family->derived.end());
      for (const FamilyRange& r : labelled) {
        if (r.label.empty() || std::any_of(all.begin(), all.end(), [&](const ParameterKind& k) { return k.key == r.key; })) continue;
        const ParameterType type = !r.choices.empty() ? ParameterType::text : r.whole ? ParameterType::whole : ParameterType::real;
        const ManifestPlace place = r.labelled_after.empty() ? ManifestPlace::family : place_of(r.labelled_after);
        all.push_back({r.key, r.label, r.unit, true, place, type});
      }
    }
    return all;
  }();
  return kinds;
}

const ParameterKind& family_range_kind(std::string_view key) {
  const std::vector<ParameterKind>& kinds = family_range_kinds();
  return *std::find_if(kinds.begin(), kinds.end(), [key](const ParameterKind& k) { return k.key == key; });
}

ParameterValue range_value(const FamilyRange& range, double value) {
  if (!range.choices.empty()) return std::string(range.choices[std::min(range.choices.size() - 1, static_cast<std::size_t>(value))]);
  if (range.whole) return static_cast<std::int64_t>(value);
  return value;
}

// The range keyed `key` told at its place in the table: the file's draw where its family draws it
// (with the run's pulse, for a range of one pulse).
Value placed_range_value(const Facts& f, std::string_view key) {
  if (!exact(f) || waveform(f).family == nullptr) return {};
  const std::span<const FamilyRange> ranges = waveform(f).family->ranges;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (ranges[i].key != key || (uses(f).ranges >> i & 1U) == 0) continue;
    if (ranges[i].pulse && *ranges[i].pulse != f.settings.exact.pulse) return {};
    return range_value(ranges[i], range_draw(ranges, f.file.family_draws, i));
  }
  return {};
}

// One parameter of the whole list: a row of the tables above, a family's range told at its place
// among them, or a stage's label.
struct Entry {
  const ParameterKind* kind;
  Getter own = nullptr;
  std::optional<ParameterValue> (*stage)(const FileFacts&) = nullptr;
  bool placed_range = false;

  Value of(const Facts& f) const {
    if (placed_range) return placed_range_value(f, kind->key);
    return own != nullptr ? own(f) : stage(f);
  }
};

const std::vector<Entry>& definitions() {
  static const std::vector<Entry> all = [] {
    std::vector<Entry> entries;
    // Each entry followed by the families' ranges told after it.
    const auto add = [&entries](const Entry& entry, const auto& again) -> void {
      entries.push_back(entry);
      for (const ParameterKind& kind : family_range_kinds()) {
        if (kind.manifest == ManifestPlace::family) continue;
        for (const SignalFamily* family : signal_families()) {
          const auto& ranges = family->ranges;
          const bool after = std::any_of(ranges.begin(), ranges.end(), [&](const FamilyRange& r) {
            return r.key == kind.key && r.labelled_after == entry.kind->key;
          });
          const bool added = std::any_of(entries.begin(), entries.end(), [&](const Entry& e) { return e.kind->key == kind.key; });
          if (after && !added) again(Entry{&kind, nullptr, nullptr, true}, again);
        }
      }
    };
    for (const Definition& d : opening_definitions) add({&d.kind, d.value}, add);
    for (const ChannelStage* stage : stages_by_slot()) {
      for (const StageLabel& label : stage->labels) add({&label.kind, nullptr, label.value}, add);
    }
    for (const Definition& d : closing_definitions) add({&d.kind, d.value}, add);
    return entries;
  }();
  return all;
}

// Every standard's frames: each whole frame's first and last instant.
constexpr ParameterKind frame_span_kinds[] = {
    {"frame_starts", "Frame Starts", " samples", true, ManifestPlace::family, ParameterType::text, true},
    {"frame_ends", "Frame Ends", " samples", true, ManifestPlace::family, ParameterType::text, true},
};

static_assert(std::is_same_v<FrameLabelValue, ParameterValue>);

// The labels of what the standards' frames carry, one per key.
const std::vector<ParameterKind>& frame_label_kinds() {
  static const std::vector<ParameterKind> kinds = [] {
    std::vector<ParameterKind> all(std::begin(frame_span_kinds), std::end(frame_span_kinds));
    for (const SignalFamily* family : signal_families()) {
      for (const FrameLabel& l : family->frame_labels) {
        if (std::any_of(all.begin(), all.end(), [&](const ParameterKind& k) { return k.key == l.key; })) continue;
        const ParameterType type = l.list || l.type == FrameLabelType::text ? ParameterType::text
                                   : l.type == FrameLabelType::whole        ? ParameterType::whole
                                                                            : ParameterType::real;
        all.push_back({l.key, l.label, l.unit, true, ManifestPlace::family, type, l.list});
      }
    }
    return all;
  }();
  return kinds;
}

const ParameterKind& frame_label_kind(std::string_view key) {
  const std::vector<ParameterKind>& kinds = frame_label_kinds();
  return *std::find_if(kinds.begin(), kinds.end(), [key](const ParameterKind& k) { return k.key == key; });
}

// The rows of a standard's file's frames: their spans, then what they carry.
void add_frame_rows(const Facts& f, std::vector<ParameterRow>& rows) {
  FrameFacts facts;
  try {
    facts = exact_file_frames(f.settings, f.file);
  } catch (const std::exception&) {
    return;  // a file that cannot be made has no frames (its failure is its report)
  }
  std::vector<double> starts;
  std::vector<double> ends;
  for (const std::array<double, 2>& span : facts.spans) {
    starts.push_back(span[0]);
    ends.push_back(span[1]);
  }
  rows.push_back({&frame_span_kinds[0], joined_numbers(starts)});
  rows.push_back({&frame_span_kinds[1], joined_numbers(ends)});
  const std::span<const FrameLabel> labels = waveform(f).family->frame_labels;
  for (std::size_t i = 0; i < labels.size() && i < facts.values.size(); ++i) {
    if (facts.values[i]) rows.push_back({&frame_label_kind(labels[i].key), *facts.values[i]});
  }
}

}  // namespace

std::string file_fingerprint(const FileFacts& facts) {
  const Facts f{facts, waveform_of(facts.file)};
  std::string text = std::to_string(f.file.seeds.symbols.value_or(0)) + "," + std::to_string(f.file.seeds.noise.value_or(0));
  for (const Entry& d : definitions()) {
    // The seeds' labels come and go with the run's seed: the seeds themselves stand for them.
    if (d.kind->key == "realised_snr_db" || d.kind->key.ends_with("_seed")) continue;
    const Value value = d.of(f);
    if (!value) continue;
    text += "\n" + std::string(d.kind->key) + std::string(d.kind->label) + "=";
    std::visit([&text](const auto& v) {
      if constexpr (std::is_same_v<std::decay_t<decltype(v)>, std::string>) {
        text += v;
      } else if constexpr (std::is_same_v<std::decay_t<decltype(v)>, double>) {
        text += shortest_text(v);
      } else {
        text += std::to_string(v);
      }
    }, *value);
  }
  for (const double draw : f.file.family_draws) text += ";" + shortest_text(draw);
  return text;
}

std::string signal_power_key(const RunSettings& settings, const PlannedFile& file) {
  return "file " + file_fingerprint({settings, file, std::nullopt});
}

std::optional<double> remembered_measure(const std::string& key, const std::function<std::optional<double>()>& measure) {
  constexpr std::size_t kept = 256;  // more than a run's files in flight
  static std::mutex mutex;
  static std::deque<std::pair<std::string, std::optional<double>>> known;
  {
    const std::lock_guard lock(mutex);
    for (const auto& [asked, value] : known) {
      if (asked == key) return value;
    }
  }
  const std::optional<double> value = measure();
  const std::lock_guard lock(mutex);
  if (known.size() == kept) known.pop_front();
  known.emplace_back(key, value);
  return value;
}

std::vector<ParameterRow> file_parameters(const FileFacts& facts) {
  const Facts f{facts, waveform_of(facts.file)};
  std::vector<ParameterRow> rows;
  for (const Entry& d : definitions()) {
    if (Value value = d.of(f)) rows.push_back({d.kind, std::move(*value)});
  }
  const DrawnParameters drawn = uses(f);
  if (exact(f) && waveform(f).family != nullptr && waveform(f).family->frames != nullptr) add_frame_rows(f, rows);
  if (!exact(f) || drawn.ranges == 0) return rows;
  const std::span<const FamilyRange> ranges = waveform(f).family->ranges;
  for (std::size_t i = 0; i < ranges.size() && i < f.file.family_draws.size(); ++i) {
    if ((drawn.ranges >> i & 1U) == 0 || !labelled_last(ranges[i])) continue;
    rows.push_back({&family_range_kind(ranges[i].key), range_value(ranges[i], f.file.family_draws[i])});
  }
  const SignalFamily& family = *waveform(f).family;
  if (family.derive == nullptr) return rows;
  std::vector<double> values(family.derived.size());
  family.derive(waveform(f), f.file.family_draws, f.settings.sample_rate, values);
  for (std::size_t i = 0; i < values.size(); ++i) rows.push_back({&family_range_kind(family.derived[i].key), range_value(family.derived[i], values[i])});
  return rows;
}

std::vector<std::string_view> unrealised_labels(const FileFacts& facts) {
  const Facts f{facts, waveform_of(facts.file)};
  std::vector<std::string_view> labels;
  if (exact(f)) return labels;
  if (analog(f)) {
    if (uses(f).message && std::abs(f.file.message_frequency) > f.settings.sample_rate / 2.0) labels.emplace_back("message_frequency");
  } else if (std::abs(realised(f).symbol_rate / f.file.symbol_rate - 1.0) > 1e-9) {
    labels.emplace_back("symbol_rate");
  }
  return labels;
}

ParameterType parameter_type(std::string_view key) {
  for (const Entry& d : definitions()) {
    if (d.kind->key == key) return d.kind->type;
  }
  for (const std::vector<ParameterKind>* kinds : {&family_range_kinds(), &frame_label_kinds()}) {
    for (const ParameterKind& kind : *kinds) {
      if (kind.key == key) return kind.type;
    }
  }
  return ParameterType::text;
}

std::string_view parameter_unit(std::string_view key) {
  const auto bare = [](std::string_view unit) { return unit.substr(std::min(unit.size(), unit.find_first_not_of(' '))); };
  for (const Entry& d : definitions()) {
    if (d.kind->key == key && !d.kind->unit.empty()) return bare(d.kind->unit);
  }
  for (const std::vector<ParameterKind>* kinds : {&family_range_kinds(), &frame_label_kinds()}) {
    for (const ParameterKind& kind : *kinds) {
      if (kind.key == key && !kind.unit.empty()) return bare(kind.unit);
    }
  }
  return {};
}

std::vector<std::string_view> manifest_parameter_keys(ManifestPlace place) {
  std::vector<std::string_view> keys;
  for (const Entry& d : definitions()) {
    if (d.kind->manifest == place && std::find(keys.begin(), keys.end(), d.kind->key) == keys.end()) {
      keys.push_back(d.kind->key);
    }
  }
  return keys;
}

std::vector<std::string_view> manifest_columns(ManifestPlace place, SignalModel model, std::span<const std::string> modulations) {
  std::vector<std::string_view> keys = manifest_parameter_keys(place);
  if (place != ManifestPlace::trailing || model != SignalModel::exact) return keys;
  for (const std::string_view key : manifest_parameter_keys(ManifestPlace::exact_trailing)) keys.push_back(key);
  // The families' own columns, in the order of their families and ranges: only a run that makes
  // one of their names has them, so every other manifest keeps its columns.
  for (const SignalFamily* family : signal_families()) {
    const bool made = std::any_of(modulations.begin(), modulations.end(),
                                  [family](const std::string& name) { return resolve_waveform(name).family == family; });
    if (!made) continue;
    for (const auto& labels : {family->ranges, family->derived}) {
      for (const FamilyRange& r : labels) {
        if (labelled_last(r) && std::find(keys.begin(), keys.end(), r.key) == keys.end()) keys.push_back(r.key);
      }
    }
    if (family->frames == nullptr) continue;
    std::vector<std::string_view> framed = {frame_span_kinds[0].key, frame_span_kinds[1].key};
    for (const FrameLabel& l : family->frame_labels) framed.push_back(l.key);
    for (const std::string_view key : framed) {
      if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
    }
  }
  return keys;
}

}  // namespace quorvin
