#pragma once
// A file's parameters as rows, built once per file: the settings file, the SigMF metadata and
// the manifest only format them, so the three can never disagree.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "run/plan.h"
#include "run/settings.h"

namespace quorvin {

// Where a parameter stands in the manifest: among the leading columns (after the file names),
// after the file's results (number of samples, saved), after those in the manifests of
// exact-model runs only (columns added since the classic model's manifests were fixed), last in
// the manifests of runs that make a name of its family (a family's own ranges), or not at all.
enum class ManifestPlace { none, leading, trailing, exact_trailing, family };

using ParameterValue = std::variant<std::string, double, std::int64_t>;

// What a kind's values are, whether or not a file has one: its ParameterValue alternative, so a
// typed column (the container's) is typed even when no file of a run has the value.
enum class ParameterType { text, real, whole };
static_assert(std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(ParameterType::text), ParameterValue>, std::string> &&
              std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(ParameterType::real), ParameterValue>, double> &&
              std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(ParameterType::whole), ParameterValue>, std::int64_t>);

// One kind of parameter. A key names it in the SigMF metadata ("quorvin:<key>") and the
// manifest; a label and unit in the settings file, which leaves out a kind without a label.
struct ParameterKind {
  std::string_view key;
  std::string_view label;
  std::string_view unit;  // appended to the settings file's value, " Hz"
  bool in_metadata;
  ManifestPlace manifest;
  ParameterType type = ParameterType::real;
  // A list, written as numbers joined by ';' ("re+imj" for complex ones) in the settings file and
  // the manifest, and as a JSON array in the SigMF metadata.
  bool list = false;
};

struct ParameterRow {
  const ParameterKind* kind;
  ParameterValue value;
};

// The facts a file's parameters are taken from. run_seed is set for a seeded run only, whose
// per-file seeds are then recorded too.
struct FileFacts {
  const RunSettings& settings;
  const PlannedFile& file;
  std::optional<std::uint32_t> run_seed;
  // The power per sample of the file's signal as its samples hold it, relative to the unit
  // nominal power, where the caller measured it (a scene's emitter, over its box); otherwise the
  // realised SNR measures the file's own (exact_signal_power).
  std::optional<double> signal_power = std::nullopt;
};

// The parameters of one file, in the order of the table of kinds; a kind the file does not have
// (a symbol rate of an analog file) is left out.
std::vector<ParameterRow> file_parameters(const FileFacts& facts);

// What a file's samples are made from, as text: its seeds and every label but the realised SNR
// (which follows from the samples) and the seeds' own labels.
std::string file_fingerprint(const FileFacts& facts);

// What `measure` gives for `key`, kept for the last few keys asked: each output of a file asks for
// its labels, and a measure may cost as much as the file. The first value given for a key stays.
std::optional<double> remembered_measure(const std::string& key, const std::function<std::optional<double>()>& measure);

// The key its realised SNR's signal power is remembered by: making the file's samples gives the
// power as a by-product (exact_signal_power's value, to the bit), so its labels need not make it again.
std::string signal_power_key(const RunSettings& settings, const PlannedFile& file);

// The labels of a classic-model file that its samples do not realise: "symbol_rate" where the
// samples' rate differs from the drawn one (keyed routes, Pi/4-DQPSK, trunc(fs/Rs) samples per
// symbol), "message_frequency" where the tone lies beyond half the sample rate and folds. None
// for the exact model, whose every label is realised.
std::vector<std::string_view> unrealised_labels(const FileFacts& facts);

// The type of the kind keyed `key` (every kind of one key has one type); text for an unknown key.
ParameterType parameter_type(std::string_view key);

// The unit of the kind keyed `key` without the settings file's leading space ("Hz", "dB", "Baud",
// "symbols"); empty for a ratio, a text or an unknown key.
std::string_view parameter_unit(std::string_view key);

// The manifest's parameter columns at `place`, one per key, in table order.
std::vector<std::string_view> manifest_parameter_keys(ManifestPlace place);

// The columns of a run's manifest at `place` (leading or trailing): the trailing ones of an
// exact-model run are followed by the exact_trailing ones, then by the own ranges of the families
// of `modulations`.
std::vector<std::string_view> manifest_columns(ManifestPlace place, SignalModel model,
                                               std::span<const std::string> modulations = {});

}  // namespace quorvin
