// Rapp's solid-state amplifier: each emitter's, at a back-off above its own RMS.

#include "channel/impairments.h"
#include "plan/stages/stage.h"

namespace quorvin {
namespace {

using I = ImpairmentSettings;

const StageSlot slots[] = {StageSlot::amplifier};

const ExactRow options[] = {
    ExactRange{"--pa-backoff", "pa_backoff", {"0", "0"},
               {"lowest amplifier input back-off drawn: saturation above the RMS, dB (exact)",
                "highest amplifier back-off drawn, dB (exact)"},
               "a number from -20 to 60",
               decimal_range<&I::pa_backoff_min, &I::pa_backoff_max, -20, 60>},
    ExactOption{"--pa-smoothness", "pa_smoothness", PairEnd::none, "2",
                "Rapp's smoothness p of the amplifier (exact)", "a number above 0 up to 100",
                read_decimal<&I::pa_smoothness, 0, 100, 1, true>},
};

const StageLabel labels[] = {
    {{"pa_backoff", "PA Backoff", " dB", true, ManifestPlace::trailing},
     [](const FileFacts& f) { return stage_value(f.file.impairments.pa_backoff); }},
    {{"pa_smoothness", "PA Smoothness", "", true, ManifestPlace::trailing},
     [](const FileFacts& f) {
       return f.file.impairments.pa_backoff ? std::optional<ParameterValue>(f.settings.exact.impairments.pa_smoothness)
                                            : std::nullopt;
     }},
};

void apply(Signal& signal, const StageRun& run) {
  const double backoff = *run.draws.pa_backoff;
  const double smoothness = run.settings.exact.impairments.pa_smoothness;
  if (!run.burst_energy) {
    signal = apply_rapp_amplifier(std::move(signal), backoff, smoothness);
    return;
  }
  // Block by block, at the level of the whole burst.
  apply_rapp_curve(signal, rapp_saturation(*run.burst_energy, run.burst_samples, backoff), smoothness);
}

}  // namespace

extern const ChannelStage amplifier_stage;
const ChannelStage amplifier_stage{
    .name = "amplifier",
    .side = StageSide::transmitter,
    .flow = StageFlow::burst,
    .slots = slots,
    .options = options,
    .labels = labels,
    .on = [](const StageRun& run) { return run.draws.pa_backoff.has_value(); },
    .apply = apply,
    .draw =
        [](const ImpairmentSettings& x, const StageKey& key, ImpairmentDraws& into) {
          if (range_on(x.pa_backoff_min, x.pa_backoff_max)) {
            into.pa_backoff = key.engine(StageSlot::amplifier).uniform(x.pa_backoff_min, x.pa_backoff_max);
          }
        },
};

}  // namespace quorvin
