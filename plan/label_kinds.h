#pragma once
// The kinds of label a file is told by, and the facts their values are taken from. Declared here,
// below the channel's stages, because each stage declares its own labels; the table of every
// label and its values is synthesis/parameters.h.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "plan/plan.h"
#include "plan/settings.h"

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

}  // namespace quorvin
