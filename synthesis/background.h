#pragma once
// A real capture as the ground of a wideband scene (--background): its samples in place of the
// synthetic noise, the scene's SNRs over its measured noise floor, its annotations carried.
//
// Capture k of a run (its plan position, from 0) takes the recording's span k mod M of
// --samples-per-file samples, M being the whole spans the recording holds: captures take the
// recording in order and begin again at its start when they run past its last whole span.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/signal.h"
#include "plan/settings.h"

namespace quorvin {

// One annotation of the recording: its first sample and length (none: to the recording's end),
// and its JSON object as the recording wrote it.
struct BackgroundAnnotation {
  std::int64_t sample_start = 0;
  std::optional<std::int64_t> sample_count;
  std::string json;
};

struct BackgroundRecording {
  std::string name;                 // the .sigmf-data's file name, as the outputs record it
  std::filesystem::path data_path;  // the .sigmf-data
  std::string data_sha512;          // of the .sigmf-data, 128 hex digits
  SigmfDatatype datatype = SigmfDatatype::cf32_le;
  double full_scale = 1.0;  // ci16_le: what 32767 stands for (its quorvin:full_scale, else 1)
  double sample_rate = 0.0;  // Hz
  double frequency = 0.0;    // Hz: its capture's core:frequency (0 where none is given)
  std::uint64_t samples = 0;
  std::vector<BackgroundAnnotation> annotations;
};

// The first sample of the span of `length` samples that capture `position` (from 0) takes.
// Needs recording.samples >= length >= 1.
std::uint64_t background_span_start(const BackgroundRecording& recording, std::uint64_t position, std::uint64_t length);

// `count` samples of the recording from sample `start`, as complex values (ci16_le scaled by
// full_scale / 32767). Throws std::runtime_error naming the file where they cannot be read.
Signal read_background_span(const BackgroundRecording& recording, std::uint64_t start, std::size_t count);

// The noise power per sample over the full band that `samples` stand on, robust to the signals
// among them: the median of the bins of Hann-windowed periodograms of 256-sample segments
// (shorter for a shorter capture; no overlap), each scaled so that white noise of power P gives
// bins of mean P, divided by ln 2 (a complex Gaussian bin's power is exponential, whose median is
// ln 2 times its mean). 0 for fewer than 2 samples.
double background_noise_power(std::span<const Sample> samples);

}  // namespace quorvin
