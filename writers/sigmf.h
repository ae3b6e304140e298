#pragma once
// SigMF metadata for each recording. Built into quorvin_sigmf, apart from the core: its JSON is
// written by nlohmann's library, whose number text the recorded corpora hold.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "plan/plan.h"
#include "plan/settings.h"
#include "synthesis/background.h"

namespace quorvin {

// One recording: the file, its run and what made it.
struct SigmfRecording {
  const RunSettings& settings;
  const PlannedFile& file;
  std::uint64_t samples = 0;               // samples in the .sigmf-data
  std::optional<std::uint32_t> run_seed;   // a seeded run's, whose per-file seeds are recorded too
  std::string_view recorder;               // "quorvin-cli 0.1.0"
  std::optional<double> full_scale;        // ci16_le: what 32767 stood for (ci16_full_scale)
  std::string_view data_sha512;            // the .sigmf-data's SHA-512, 128 hex digits; empty where not known
};

// The .sigmf-meta JSON of a recording: core fields, one capture at the RF frequency the samples
// are tuned to (sigmf_capture_frequency), one annotation over the whole file with the signal
// extension's detail and, in the exact model, the band its signal occupies, and every parameter
// of the settings file under the "quorvin" namespace (lists as arrays, complex values as
// [re, im]). A non-finite value, such as the SNR of a run without noise, is null. Ends with a
// line end.
std::string sigmf_metadata(const SigmfRecording& recording);

// The recording settings.exact.background names (its base name, or either of its files),
// opened for the run: its metadata read, its data hashed (and checked against its core:sha512
// where it gives one). Or why it cannot serve, marked as a Refusal's text and naming
// {--background} and the recording: a missing file, metadata that is not SigMF, more than one
// channel, a datatype other than cf32_le and ci16_le, fewer samples than one capture, a sample
// rate or capture frequency other than the run's {--sample-rate} and {--rf-frequency} (each
// named with both values), or an infinite SNR (no floor to stand over).
std::variant<std::shared_ptr<const BackgroundRecording>, std::string> open_background_marked(const RunSettings& settings);

// The capture's core:frequency, Hz: the RF frequency the recording's 0 Hz stands for, the exact
// model's --rf-frequency where given, else 0 (the samples' own baseband: every offset, the mixing
// frequency among them, is in the samples).
double sigmf_capture_frequency(const RunSettings& settings);

// The .sigmf-collection JSON of a run's recordings: SigMF's collection object with core:version
// and core:streams, one per recording in the order given: its base name ("QPSK_signal_1") and the
// SHA-512 of its .sigmf-meta. Ends with a line end.
struct SigmfStream {
  std::string name;
  std::string meta_sha512;
};
std::string sigmf_collection(std::span<const SigmfStream> streams, std::string_view description);

}  // namespace quorvin
