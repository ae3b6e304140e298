// The carrier's phase: a uniform carrier phase drawn per signal, and the receiver's phase noise, a
// Wiener walk of the drawn linewidth.

#include "channel/impairments.h"
#include "plan/stages/stage.h"

namespace quorvin {
namespace {

using I = ImpairmentSettings;

const StageSlot slots[] = {StageSlot::carrier_phase, StageSlot::phase_noise};

const ExactRow options[] = {
    ExactOption{"--carrier-phase", "carrier_phase", PairEnd::none, "false",
                "a uniform random carrier phase per file (exact)", "true or false",
                read_flag<&I::carrier_phase>, true},
    ExactRange{"--phase-noise", "phase_noise", {"0", "0"},
               {"lowest phase-noise linewidth drawn, Hz (exact)",
                "highest phase-noise linewidth drawn, Hz (exact)"},
               "a number from 0 to 1e9",
               decimal_range<&I::phase_noise_min, &I::phase_noise_max, 0, 1000000000>},
};

const StageLabel labels[] = {
    {{"carrier_phase", "Carrier Phase", " rad", true, ManifestPlace::trailing},
     [](const FileFacts& f) { return stage_value(f.file.impairments.carrier_phase); }},
    {{"phase_noise", "Phase Noise Linewidth", " Hz", true, ManifestPlace::trailing},
     [](const FileFacts& f) { return stage_value(f.file.impairments.phase_noise); }},
};

std::uint64_t seed_of(const StageRun& run) { return stage_seed(run.noise_seed, StageSlot::phase_noise); }

const ChannelTrack track{
    .name = "phase",
    .key = "phase",
    .report = "Channel phase",
    .complex = false,
    .rows = [](const ImpairmentSettings& x, const ImpairmentDraws* d) -> std::size_t {
      if (d != nullptr) return d->carrier_phase || d->phase_noise ? 1 : 0;
      return x.carrier_phase || range_on(x.phase_noise_min, x.phase_noise_max) ? 1 : 0;
    },
};

}  // namespace

extern const ChannelStage phase_stage;
const ChannelStage phase_stage{
    .name = "carrier phase and phase noise",
    .side = StageSide::receiver,
    .flow = StageFlow::whole,
    .slots = slots,
    .options = options,
    .labels = labels,
    .on = [](const StageRun& run) { return run.carrier_phase.has_value() || run.draws.phase_noise.has_value(); },
    // The walk starts at the file's first sample.
    .apply =
        [](Signal& signal, const StageRun& run) {
          signal = apply_phase_noise(std::move(signal), run.carrier_phase.value_or(0.0), run.draws.phase_noise.value_or(0.0),
                                     run.settings.sample_rate, seed_of(run), run.margins.before);
        },
    .draw =
        [](const ImpairmentSettings& x, const StageKey& key, ImpairmentDraws& into) {
          if (x.carrier_phase) into.carrier_phase = key.engine(StageSlot::carrier_phase).uniform(0.0, 2.0 * pi);
          if (range_on(x.phase_noise_min, x.phase_noise_max)) {
            into.phase_noise = key.engine(StageSlot::phase_noise).uniform(x.phase_noise_min, x.phase_noise_max);
          }
        },
    // A scene's emitters keep their own carrier phases; the walk is the receiver's.
    .take = [](const ImpairmentDraws& from, ImpairmentDraws& into) { into.phase_noise = from.phase_noise; },
    .track = &track,
    .path =
        [](TrackValues& values, const StageRun& run, std::size_t first, std::size_t count) {
          values.real = phase_noise_path(run.carrier_phase.value_or(0.0), run.draws.phase_noise.value_or(0.0),
                                        run.settings.sample_rate, seed_of(run), first, count, run.margins.before);
        },
    .turns_only = true,
};

}  // namespace quorvin
