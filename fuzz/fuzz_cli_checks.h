#pragma once
// What every outcome of quorvin-cli's parser holds, for the targets that parse its arguments: a
// refusal has status 2 and text on standard error only, help and lists status 0 and text on
// standard output only, and an accepted run names at least one modulation; in the exact model
// every SNR end (the run's and each name's own) is infinite on both ends or within the model's
// limit, and each --per-name entry is of a name of the run, a rate (one way only) only for a
// name with symbols.

#include <algorithm>
#include <cmath>
#include <variant>

#include "cli/options.h"
#include "fuzz_support.h"
#include "generator/family.h"
#include "plan/exact_options.h"

inline bool within_snr_limit(double snr) { return std::abs(snr) <= quorvin::exact_snr_limit_db; }

inline void check_exact_run(const quorvin::RunSettings& s) {
  QUORVIN_FUZZ_CHECK((std::isinf(s.snr_min_db) && std::isinf(s.snr_max_db)) ||
                     (within_snr_limit(s.snr_min_db) && within_snr_limit(s.snr_max_db)));
  for (const auto& [name, ranges] : s.exact.per_name) {
    QUORVIN_FUZZ_CHECK(std::find(s.modulations.begin(), s.modulations.end(), name) != s.modulations.end());
    if (ranges.snr) QUORVIN_FUZZ_CHECK(within_snr_limit((*ranges.snr)[0]) && within_snr_limit((*ranges.snr)[1]));
    if (ranges.symbol_rate || ranges.samples_per_symbol) {
      QUORVIN_FUZZ_CHECK(quorvin::is_digital(quorvin::resolve_waveform(name)));
      QUORVIN_FUZZ_CHECK(!(ranges.symbol_rate && ranges.samples_per_symbol));
    }
  }
}

// The accepted request, or null for an immediate exit; a broken property stops the run.
inline const quorvin::cli::RunRequest* checked_outcome(
    const std::variant<quorvin::cli::RunRequest, quorvin::cli::ImmediateExit>& parsed) {
  if (const auto* exit = std::get_if<quorvin::cli::ImmediateExit>(&parsed)) {
    QUORVIN_FUZZ_CHECK(exit->status == 0 || exit->status == 2);
    if (exit->status == 2) {
      QUORVIN_FUZZ_CHECK(exit->out_text.empty() && !exit->error_text.empty());
    } else {
      QUORVIN_FUZZ_CHECK(!exit->out_text.empty() && exit->error_text.empty());
    }
    return nullptr;
  }
  const auto& request = std::get<quorvin::cli::RunRequest>(parsed);
  QUORVIN_FUZZ_CHECK(!request.settings.modulations.empty());
  if (request.settings.signal_model == quorvin::SignalModel::exact) check_exact_run(request.settings);
  return &request;
}
