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

#include "plan/label_kinds.h"
#include "plan/plan.h"
#include "plan/settings.h"

namespace quorvin {

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
