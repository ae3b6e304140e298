// The carrier's offset: mixing, the drawn frequency offset and the clock's share of the RF carrier,
// each emitter's own, with its amplitude and carrier phase in a scene.

#include "channel/impairments.h"
#include "plan/stages/stage.h"

namespace quorvin {

extern const ChannelStage carrier_offset_stage;
const ChannelStage carrier_offset_stage{
    .name = "carrier offset",
    .side = StageSide::transmitter,
    .flow = StageFlow::block,
    .slots = {},
    .options = {},
    .labels = {},
    .on = [](const StageRun&) { return true; },
    // Reckoned from the file's first sample, whatever the block.
    .apply =
        [](Signal& signal, const StageRun& run) {
          const auto origin = static_cast<std::int64_t>(run.at) - static_cast<std::int64_t>(run.margins.before);
          signal = apply_carrier_offset(std::move(signal), run.carrier_offset, run.settings.sample_rate, origin, run.gain);
        },
    .turns_only = true,
};

}  // namespace quorvin
