// The receiver's IQ imbalance and DC offset, one stage: both are set against the RMS of the
// signal they meet.

#include "channel/impairments.h"
#include "plan/stages/stage.h"

namespace quorvin {
namespace {

using I = ImpairmentSettings;

const StageSlot slots[] = {StageSlot::iq_imbalance, StageSlot::dc_offset};

const ExactRow options[] = {
    ExactRange{"--iq-amplitude", "iq_amplitude", {"0", "0"},
               {"lowest IQ amplitude imbalance drawn, dB (exact)",
                "highest IQ amplitude imbalance drawn, dB (exact)"},
               "a number from -20 to 20",
               decimal_range<&I::iq_amplitude_min, &I::iq_amplitude_max, -20, 20>},
    ExactRange{"--iq-phase", "iq_phase", {"0", "0"},
               {"lowest IQ phase imbalance drawn, degrees (exact)",
                "highest IQ phase imbalance drawn, degrees (exact)"},
               "a number from -45 to 45",
               decimal_range<&I::iq_phase_min, &I::iq_phase_max, -45, 45>},
    ExactRange{"--dc-offset", "dc_offset", {"0", "0"},
               {"lowest DC offset drawn for I and for Q, fraction of the RMS (exact)",
                "highest DC offset drawn, fraction of the RMS (exact)"},
               "a number from -10 to 10",
               decimal_range<&I::dc_offset_min, &I::dc_offset_max, -10, 10>},
};

const StageLabel labels[] = {
    {{"iq_amplitude", "IQ Amplitude Imbalance", " dB", true, ManifestPlace::trailing},
     [](const FileFacts& f) { return stage_value(f.file.impairments.iq_amplitude); }},
    {{"iq_phase", "IQ Phase Imbalance", " degrees", true, ManifestPlace::trailing},
     [](const FileFacts& f) { return stage_value(f.file.impairments.iq_phase); }},
    {{"dc_offset_i", "DC Offset I", "", true, ManifestPlace::trailing},
     [](const FileFacts& f) { return stage_value(f.file.impairments.dc_i); }},
    {{"dc_offset_q", "DC Offset Q", "", true, ManifestPlace::trailing},
     [](const FileFacts& f) { return stage_value(f.file.impairments.dc_q); }},
};

}  // namespace

extern const ChannelStage iq_dc_stage;
const ChannelStage iq_dc_stage{
    .name = "IQ imbalance and DC offset",
    .side = StageSide::receiver,
    .flow = StageFlow::whole,
    .slots = slots,
    .options = options,
    .labels = labels,
    .on = [](const StageRun& run) { return run.draws.iq_amplitude || run.draws.dc_i; },
    .apply =
        [](Signal& signal, const StageRun& run) {
          const ImpairmentDraws& d = run.draws;
          signal = apply_iq_imbalance(std::move(signal), d.iq_amplitude.value_or(0.0), d.iq_phase.value_or(0.0),
                                      d.dc_i.value_or(0.0), d.dc_q.value_or(0.0));
        },
    .draw =
        [](const ImpairmentSettings& x, const StageKey& key, ImpairmentDraws& into) {
          if (range_on(x.iq_amplitude_min, x.iq_amplitude_max) || range_on(x.iq_phase_min, x.iq_phase_max)) {
            StageDraws draws = key.engine(StageSlot::iq_imbalance);
            into.iq_amplitude = draws.uniform(x.iq_amplitude_min, x.iq_amplitude_max);
            into.iq_phase = draws.uniform(x.iq_phase_min, x.iq_phase_max);
          }
          if (range_on(x.dc_offset_min, x.dc_offset_max)) {
            StageDraws draws = key.engine(StageSlot::dc_offset);
            into.dc_i = draws.uniform(x.dc_offset_min, x.dc_offset_max);
            into.dc_q = draws.uniform(x.dc_offset_min, x.dc_offset_max);
          }
        },
    .take =
        [](const ImpairmentDraws& from, ImpairmentDraws& into) {
          into.iq_amplitude = from.iq_amplitude;
          into.iq_phase = from.iq_phase;
          into.dc_i = from.dc_i;
          into.dc_q = from.dc_q;
        },
};

}  // namespace quorvin
