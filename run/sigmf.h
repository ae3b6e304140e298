#pragma once
// SigMF metadata for each recording. Built into quorvin_sigmf, apart from the core: its JSON is
// written by nlohmann's library, whose number text the recorded corpora hold.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "run/plan.h"
#include "run/settings.h"

namespace quorvin {

// One recording: the file, its run and what made it.
struct SigmfRecording {
  const RunSettings& settings;
  const PlannedFile& file;
  std::uint64_t samples = 0;               // samples in the .sigmf-data
  std::optional<std::uint32_t> run_seed;   // a seeded run's, whose per-file seeds are recorded too
  std::string_view recorder;               // "quorvin-cli 0.1.0"
  std::optional<double> full_scale;        // ci16_le: what 32767 stood for (ci16_full_scale)
};

// The .sigmf-meta JSON of a recording: core fields, one capture at the mixing frequency, one
// annotation over the whole file with the signal extension's detail, and every parameter of the
// settings file under the "quorvin" namespace. A non-finite value, such as the SNR of a run
// without noise, is null. Ends with a line end.
std::string sigmf_metadata(const SigmfRecording& recording);

}  // namespace quorvin
