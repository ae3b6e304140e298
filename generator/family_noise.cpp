// The noise family: no signal at all. Its waveform is silence, so the file is the receiver's
// white noise alone (of the power a file of its drawn SNR has: noise_power in plan/plan.h) with
// the receiver's stages after it applied.

#include "common/limits.h"
#include "generator/family.h"
#include "generator/time_base.h"

namespace quorvin {
namespace {

WaveformRange prepare(const Waveform&, const WaveformParameters& p) {
  require_length(p.num_samples);
  require_rate(p.sample_rate, "the sample rate");
  require_sample_count(static_cast<double>(p.num_samples) + static_cast<double>(p.pad_before) + static_cast<double>(p.pad_after));
  return [](std::int64_t, std::size_t count) { return Signal(count); };
}

// Nothing to fit inside the sample rate: the noise fills it by definition.
FamilyBand band(const Waveform&, const BandLimits&) { return {}; }

DrawnParameters draws(const Waveform&) { return {}; }

}  // namespace

const SignalFamily noise_family{.name = "noise", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                                .modulation_index = nullptr, .silent = true};

}  // namespace quorvin
