// The receiver's noise: white Gaussian noise at the file's SNR, a scene's floor or its recording, as
// the chain's owner adds it.

#include "plan/stages/stage.h"

namespace quorvin {

extern const ChannelStage thermal_noise_stage;
const ChannelStage thermal_noise_stage{
    .name = "thermal noise",
    .side = StageSide::receiver,
    .flow = StageFlow::block,
    .slots = {},
    .options = {},
    .labels = {},
    .on = [](const StageRun& run) { return run.noise != nullptr; },
    .apply = [](Signal& signal, const StageRun& run) { run.noise(signal, run); },
    .is_noise = true,
};

}  // namespace quorvin
