// A scene emitter's burst: the transmitter keys on and off inside its box.

#include <algorithm>
#include <cmath>

#include "common/signal.h"
#include "plan/stages/stage.h"

namespace quorvin {
namespace {

// Samples over which a burst rises and falls (a quarter of a short burst), inside its box, as a
// transmitter keys on: a raised-cosine ramp, so keying spreads no energy beyond the band.
constexpr double burst_ramp = 256.0;

// Multiplies the signal, channel samples from run.at, by the burst's envelope. Between the ramps it
// is 1, so those samples are left as they are.
void apply(Signal& v, const StageRun& run) {
  const double first = (*run.burst)[0];
  const double last = (*run.burst)[1];
  const double ramp = std::min(burst_ramp, std::floor((last - first) / 4.0));
  const std::size_t lo = run.at;
  const auto envelope = [&](std::size_t i) {
    const double j = static_cast<double>(lo + i);
    if (j < first || j >= last) {
      v[i] *= 0.0;
      return;
    }
    const double edge = std::min(j - first, last - 1.0 - j) + 0.5;
    if (edge < ramp) v[i] *= 0.5 - 0.5 * std::cos(pi * edge / ramp);
  };
  // Only the samples within a sample or two of the ramps can change.
  const auto index = [&](double at) {
    return static_cast<std::size_t>(std::clamp(at - static_cast<double>(lo), 0.0, static_cast<double>(v.size())));
  };
  const std::size_t rise_end = index(first + ramp + 2.0);
  const std::size_t fall_start = std::max(rise_end, index(last - ramp - 2.0));
  for (std::size_t i = 0; i < rise_end; ++i) envelope(i);
  for (std::size_t i = fall_start; i < v.size(); ++i) envelope(i);
}

}  // namespace

extern const ChannelStage keying_stage;
const ChannelStage keying_stage{
    .name = "keying",
    .side = StageSide::transmitter,
    .flow = StageFlow::block,
    .slots = {},
    .options = {},
    .labels = {},
    .on = [](const StageRun& run) { return run.burst.has_value(); },
    .apply = apply,
};

}  // namespace quorvin
