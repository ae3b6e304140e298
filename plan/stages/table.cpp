#include <algorithm>

#include "common/splitmix.h"
#include "plan/seeds.h"
#include "plan/stages/stage.h"

namespace quorvin {

// One line per stage, in the chain's order: a real transmitter's, then a real receiver's.
extern const ChannelStage amplifier_stage, keying_stage, fading_stage, carrier_offset_stage, phase_stage, clock_stage,
    thermal_noise_stage, iq_dc_stage, quantisation_stage;

namespace {

const ChannelStage* const table[] = {
    &amplifier_stage,      // Rapp's amplifier
    &keying_stage,         // a scene's burst
    &fading_stage,         // multipath
    &carrier_offset_stage, // mixing, frequency offset, the clock's share of the RF carrier
    &phase_stage,          // carrier phase and phase noise
    &clock_stage,          // the sample clock
    &thermal_noise_stage,  // the receiver's noise
    &iq_dc_stage,          // IQ imbalance and DC offset
    &quantisation_stage,   // the ADC
};

bool in_part(const ChannelStage& stage, StagePart part, bool noise_passed) {
  switch (part) {
    case StagePart::all: return true;
    case StagePart::before_noise: return !noise_passed && !stage.is_noise;
    case StagePart::shaping: return stage.side == StageSide::transmitter && !stage.turns_only;
    case StagePart::turning: return stage.side == StageSide::transmitter && stage.turns_only;
    case StagePart::receiver: return stage.side == StageSide::receiver;
  }
  return false;
}

// Calls use(stage) for each stage of `part`, in the chain's order.
template <typename Use>
void each_stage(StagePart part, Use use) {
  bool noise_passed = false;
  for (const ChannelStage* stage : table) {
    noise_passed = noise_passed || stage->is_noise;
    if (in_part(*stage, part, noise_passed)) use(*stage);
  }
}

}  // namespace

std::span<const ChannelStage* const> channel_stages() { return table; }

std::span<const ChannelTrack* const> channel_tracks() {
  static const std::vector<const ChannelTrack*> tracks = [] {
    std::vector<const ChannelTrack*> all;
    for (const ChannelStage* stage : table) {
      if (stage->track != nullptr) all.push_back(stage->track);
    }
    return all;
  }();
  return tracks;
}

std::vector<const ChannelStage*> stages_by_slot() {
  std::vector<const ChannelStage*> stages;
  for (const ChannelStage* stage : table) {
    if (!stage->slots.empty()) stages.push_back(stage);
  }
  std::stable_sort(stages.begin(), stages.end(),
                   [](const ChannelStage* a, const ChannelStage* b) { return a->slots.front() < b->slots.front(); });
  return stages;
}

void apply_stages(Signal& signal, const StageRun& run, StagePart part) {
  each_stage(part, [&](const ChannelStage& stage) {
    if (stage.on(run)) stage.apply(signal, run);
  });
}

StageFlow stages_flow(const StageRun& run, StagePart part) {
  StageFlow most = StageFlow::block;
  each_stage(part, [&](const ChannelStage& stage) {
    if (stage.on(run)) most = std::max(most, stage.flow);
  });
  return most;
}

StageMargins stage_margins(const ImpairmentSettings& settings, const ImpairmentDraws& draws, std::size_t length) {
  StageMargins most;
  for (const ChannelStage* stage : table) {
    if (stage->margins == nullptr) continue;
    most = covering(most, stage->margins(settings, draws, length));
  }
  return most;
}

ImpairmentDraws draw_stages(const ImpairmentSettings& settings, const StageKey& key) {
  ImpairmentDraws draws;
  for (const ChannelStage* stage : table) {
    if (stage->draw != nullptr) stage->draw(settings, key, draws);
  }
  return draws;
}

void take_receiver_draws(const ImpairmentDraws& from, ImpairmentDraws& into) {
  each_stage(StagePart::receiver, [&](const ChannelStage& stage) {
    if (stage.take != nullptr) stage.take(from, into);
  });
}

ImpairmentDraws draws_after_noise(const ImpairmentDraws& draws) {
  ImpairmentDraws kept;
  bool noise_passed = false;
  for (const ChannelStage* stage : table) {
    noise_passed = noise_passed || stage->is_noise;
    if (noise_passed && stage->take != nullptr) stage->take(draws, kept);
  }
  return kept;
}

double add_carrier_shifts(double offset, const ImpairmentSettings& settings, const ImpairmentDraws& draws) {
  for (const ChannelStage* stage : table) {
    if (stage->carrier_shift == nullptr) continue;
    if (const std::optional<double> shift = stage->carrier_shift(settings, draws)) offset += *shift;
  }
  return offset;
}

BandEdges stages_band(const ImpairmentDraws& draws, BandEdges band) {
  for (const ChannelStage* stage : table) {
    if (stage->band != nullptr) band = stage->band(draws, band);
  }
  return band;
}

StageDraws StageKey::engine(StageSlot slot) const {
  return StageDraws{GaussianSource(derive_impairment_seed(draw_seed, modulation, index, static_cast<std::uint32_t>(slot)))};
}

std::uint64_t stage_seed(std::uint64_t noise_seed, StageSlot slot) {
  return splitmix64(noise_seed ^ (static_cast<std::uint64_t>(slot) << 32));
}

}  // namespace quorvin
