#pragma once
// The clean samples of a name as the families that every run uses make them, for tests that look
// at a waveform before the channel.

#include <cstdint>
#include <string_view>

#include "common/signal.h"
#include "generator/family.h"

namespace quorvin::test {

// Samples -pad_before .. num_samples + pad_after - 1 of the waveform of `w`.
inline Signal waveform_samples(const Waveform& w, const WaveformParameters& p) {
  const auto count = static_cast<std::size_t>(p.num_samples) + p.pad_before + p.pad_after;
  return prepare_waveform(w, p)(-static_cast<std::int64_t>(p.pad_before), count);
}

// The same of a name.
inline Signal waveform_samples(std::string_view name, const WaveformParameters& p) {
  return waveform_samples(resolve_waveform(name), p);
}

}  // namespace quorvin::test
