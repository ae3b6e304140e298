#pragma once
// Wideband scenes: one capture holding several emitters, each an exact-model signal with its own
// name, draws, band, burst and power, and its box in time and frequency known by construction.
//
// A scene run's plan is the single-signal run's: --files-per-modulation scenes per selected
// name, each scene's first emitter of that name and the others of names drawn among the run's,
// so every selected class is in at least that many scenes. Everything a scene draws comes from
// engines keyed by the run's seed and the scene's plan position, so its bytes do not depend on
// -j or the shard.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/signal.h"
#include "plan/plan.h"
#include "plan/settings.h"
#include "synthesis/parameters.h"

namespace quorvin {

// An emitter's box in the capture: samples sample_start .. sample_start + sample_count - 1 (inside
// 0 .. L - 1, never empty), frequencies freq_lower_edge .. freq_upper_edge, Hz (inside -fs/2 ..
// fs/2, lower below upper).
struct SceneBox {
  std::int64_t sample_start = 0;
  std::int64_t sample_count = 0;
  double freq_lower_edge = 0.0;
  double freq_upper_edge = 0.0;
};

struct SceneEmitter {
  // Its name and draws as a single file of its own would have them (index: its place in the
  // scene, from 1), with the capture's receiver draws (phase noise, clock, IQ, DC, ADC) in place of
  // its own; an analog emitter's carrier_frequency is its centre.
  PlannedFile file;
  double centre_frequency = 0.0;  // Hz: a digital baseband's 0 Hz or an analog carrier, before offsets
  // The burst, capture samples from the first (it may begin before 0 or end after the capture).
  std::int64_t burst_start = 0;
  std::int64_t burst_stop = 0;
  // A standard's whole frames, each first and last instant in capture samples (its labels'
  // frame_starts and frame_ends): it sends its own file's frames over the whole capture, with no
  // burst of its own, and its box spans them. Empty for other names.
  std::vector<std::array<double, 2>> frames;
  SceneBox box;
};

struct Scene {
  std::string name;  // the name its plan place stands for (its first emitter's, or Noise)
  std::vector<SceneEmitter> emitters;
  std::string fault;  // why the scene cannot be made (no free band for an emitter); empty when it can
  // The noise floor's power per sample that the emitters' SNRs stand over: 1 (the synthetic
  // noise's), or the span of the recording --background lays them over, as measured there
  // (background_noise_power), the span's first sample in the recording beside it.
  double noise_power = 1.0;
  std::uint64_t background_start = 0;
};

// What keys a scene's draws.
struct SceneKey {
  std::uint32_t draw_seed = 0;  // the run's
  std::uint64_t position = 0;   // the scene's place in the plan, from 0
  bool seed_files = false;      // emitters' engines from the seed; else the device's
};

// The symbol and noise seeds of emitter `emitter` (from 1) of the scene at plan `position` (from
// 0) of a run seeded with `run_seed`, `name` the emitter's modulation: its manifest row's seeds.
DigitalSeeds scene_emitter_seeds(std::uint32_t run_seed, std::uint64_t position, std::size_t emitter,
                                  std::string_view name);

// The scene of the planned file `host` of `plan`'s run (its name is the first emitter's; its
// receiver draws are the capture's), each emitter drawn by the plan from the names it resolved
// once, the plan's place kept. Never throws for a scene that does not fit: its fault says why.
std::shared_ptr<const Scene> draw_scene(RunPlan& plan, const SceneKey& key, const PlannedFile& host);

// Makes the planned file `file` a scene, as every front end plans one: its scene drawn (its name is
// the first emitter's, its receiver draws the capture's), then the file renamed "scene", numbered
// by its plan position from 1.
void plan_scene(RunPlan& plan, const SceneKey& key, PlannedFile& file);

// The capture of a file holding a scene (settings.exact.samples_per_file samples): each emitter's
// waveform, amplifier, burst, fading, carrier offset, carrier phase and power, summed; then the
// receiver's phase noise and clock, unit-power white noise (none with `noise` false), IQ
// imbalance and DC offset, quantisation. Over a background recording, each emitter's amplitude
// is 10^(SNR / 20) times the square root of the scene's noise_power, and the recording's span
// stands where the white noise would (none with `noise` false): the IQ, DC and ADC stages after
// it take the sum. Throws std::invalid_argument with the scene's fault.
Signal synthesize_scene(const RunSettings& settings, const PlannedFile& file, bool noise = true);

// An emitter's labels: its box, centre, and every parameter of its own file.
std::vector<ParameterRow> emitter_parameters(const RunSettings& settings, const SceneEmitter& emitter,
                                             std::optional<std::uint32_t> run_seed);

// The manifest's and container's columns of a scene run: the single-signal ones with the
// emitter's number, its box and its centre after the leading ones.
std::vector<std::string_view> scene_label_columns(const RunSettings& settings);

// The type of a manifest or container column `key`, a scene run's own included (num_samples and
// saved whole), for a column no row has a value for.
ParameterType label_column_type(std::string_view key);

// The capture's nominal power per sample with every emitter on: its noise floor (none where an
// emitter's SNR is infinite, as the capture then has no noise) and each emitter's power,
// 10^(SNR / 10) of it (1 for an infinite SNR). A scene of no emitter: the floor alone.
double scene_nominal_power(const Scene& scene);

// Whether the run makes scenes.
inline bool makes_scenes(const RunSettings& s) {
  return s.signal_model == SignalModel::exact && s.exact.scene.kind != SceneKind::none;
}

}  // namespace quorvin
