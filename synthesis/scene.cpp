#include "synthesis/scene.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <functional>
#include <stdexcept>

#include "channel/gaussian.h"
#include "channel/impairments.h"
#include "channel/noise.h"
#include "common/limits.h"
#include "common/splitmix.h"
#include "common/text.h"
#include "plan/seeds.h"
#include "synthesis/background.h"
#include "synthesis/exact_file.h"

namespace quorvin {
namespace {

// Keeps scene engines apart from every file engine of the same run seed.
constexpr std::uint64_t scene_salt = 0x73636556e65ull;

struct Uniform {
  GaussianSource source;
  double operator()(double lo, double hi) { return lo + source.next_uniform() * (hi - lo); }
  // Each whole number of lo .. hi equally likely.
  std::int64_t whole(std::int64_t lo, std::int64_t hi) {
    if (hi < lo) std::swap(lo, hi);
    const auto span = static_cast<double>(hi - lo) + 1.0;
    return lo + static_cast<std::int64_t>(std::min(span - 1.0, std::floor((*this)(0.0, span))));
  }
};

// The seed of a scene's draws, and the seed of its emitter k (from 0): what draw_scene keys.
std::uint64_t scene_seed(std::uint32_t draw_seed, std::uint64_t position) {
  return splitmix64(splitmix64(scene_salt ^ draw_seed) ^ position);
}
std::uint32_t emitter_seed(std::uint64_t scene, std::size_t k) {
  return static_cast<std::uint32_t>(splitmix64(scene ^ ((static_cast<std::uint64_t>(k) + 1) << 40)) & 0xFFFFFFFFull);
}

// An emitter's name and draws, as the plan draws a run of that one name from its own seed.
PlannedFile draw_emitter_file(RunPlan& plan, std::size_t m, std::uint32_t seed, bool seed_files) {
  PlannedFile file = plan.draw_first_file(m, seed);
  file.seeds = seed_files ? derive_file_seeds(seed, file.modulation, 1) : DigitalSeeds{device_seed(), device_seed()};
  return file;
}

// Where the emitter's centre is moved to before the clock, Hz: its carrier offset (mixing, drawn
// offset, the clock's share of the RF carrier), and for a digital emitter the centre itself (an
// analog emitter's waveform puts its carrier there).
double emitter_shift(const RunSettings& s, const SceneEmitter& e) {
  return exact_carrier_offset(s, e.file) + (is_analog(waveform_of(e.file)) ? 0.0 : e.centre_frequency);
}

// Centres from `low` to `high` less the open intervals `taken`, as sorted disjoint pieces.
std::vector<std::array<double, 2>> free_pieces(double low, double high, std::vector<std::array<double, 2>> taken) {
  std::sort(taken.begin(), taken.end());
  std::vector<std::array<double, 2>> pieces;
  double at = low;
  for (const auto& [a, b] : taken) {
    if (a > at) pieces.push_back({at, std::min(a, high)});
    at = std::max(at, b);
    if (at >= high) break;
  }
  if (at < high) pieces.push_back({at, high});
  std::erase_if(pieces, [](const std::array<double, 2>& p) { return !(p[1] > p[0]); });
  return pieces;
}

// A centre drawn uniformly over the pieces; nothing where they are empty.
std::optional<double> draw_centre(const std::vector<std::array<double, 2>>& pieces, Uniform& u) {
  double total = 0.0;
  for (const auto& p : pieces) total += p[1] - p[0];
  if (!(total > 0.0)) return std::nullopt;
  double r = u(0.0, total);
  for (const auto& p : pieces) {
    if (r <= p[1] - p[0]) return p[0] + r;
    r -= p[1] - p[0];
  }
  return pieces.back()[1];
}

// Places emitter `e` (its file drawn): its burst, band and centre; false where no centre is free.
bool place(const RunSettings& s, SceneEmitter& e, const std::vector<SceneEmitter>& placed, Uniform& u) {
  const SceneSettings& scene = s.exact.scene;
  const std::int64_t length = s.exact.samples_per_file;
  const double fs = s.sample_rate;
  if (!e.frames.empty()) {
    // A standard keeps its own repetition: its frames where its file lays them, each whole, and
    // silence between them, so a burst's ramp would only cut into a frame.
    e.burst_start = 0;
    e.burst_stop = length;
    e.box.sample_start = std::clamp<std::int64_t>(static_cast<std::int64_t>(std::floor(e.frames.front()[0])), 0, length - 1);
    e.box.sample_count =
        std::clamp<std::int64_t>(static_cast<std::int64_t>(std::ceil(e.frames.back()[1])) + 1, e.box.sample_start + 1, length) -
        e.box.sample_start;
  } else {
    // At least half of every burst lies inside the capture, so no box is empty.
    const std::int64_t duration =
        std::max<std::int64_t>(1, std::llround(u(scene.burst_min, scene.burst_max) * static_cast<double>(length)));
    const std::int64_t half = duration / 2;
    e.burst_start = u.whole(-half, length - (duration - half));
    e.burst_stop = e.burst_start + duration;
    e.box.sample_start = std::max<std::int64_t>(0, e.burst_start);
    e.box.sample_count = std::min(length, e.burst_stop) - e.box.sample_start;
  }
  // The box closes over the band as the burst resolves it, so that no line is cut in half at an edge.
  const BandEdges band = exact_resolved_band(s, e.file, e.box.sample_count);
  const double c = clock_factor(e.file.impairments);
  const double offset = exact_carrier_offset(s, e.file);
  // Edges (centre + offset + edge) c, inside -fs/2 .. fs/2.
  std::vector<std::array<double, 2>> taken;
  if (scene.overlap != SceneOverlap::any) {
    for (const SceneEmitter& other : placed) {
      const SceneBox& o = other.box;
      const bool together = o.sample_start < e.box.sample_start + e.box.sample_count &&
                            e.box.sample_start < o.sample_start + o.sample_count;
      if (scene.overlap == SceneOverlap::boxes && !together) continue;
      taken.push_back({other.box.freq_lower_edge / c - offset - band.high, other.box.freq_upper_edge / c - offset - band.low});
    }
  }
  const std::optional<double> centre =
      draw_centre(free_pieces(-fs / 2.0 / c - offset - band.low, fs / 2.0 / c - offset - band.high, taken), u);
  if (!centre) return false;
  e.centre_frequency = *centre;
  if (is_analog(waveform_of(e.file))) e.file.carrier_frequency = *centre;
  e.box.freq_lower_edge = std::max(-fs / 2.0, (*centre + offset + band.low) * c);
  e.box.freq_upper_edge = std::min(fs / 2.0, (*centre + offset + band.high) * c);
  return true;
}

// Samples an emitter without whole-burst stages is made in at a time.
constexpr std::size_t scene_block_samples = 8192;

// The channel a capture's emitters are made in: the capture's samples, the margins its stages
// read, and its clock (capture sample k reads channel sample before + k clock).
struct SceneChannel {
  std::size_t length;
  StageMargins margins;
  std::size_t total;
  double clock;
};

SceneChannel scene_channel(const RunSettings& s, const std::vector<const ImpairmentDraws*>& draws) {
  const std::size_t length = require_sample_count(static_cast<double>(s.exact.samples_per_file));
  StageMargins most;
  for (const ImpairmentDraws* d : draws) most = covering(most, stage_margins(s.exact.impairments, *d, length));
  return {length, most, require_sample_count(static_cast<double>(most.before + length + most.after)),
          clock_factor(*draws.front())};
}

// The emitter in the scene's channel at its unit nominal power, through the transmitter's stages
// that shape it (its amplifier, burst and fading), handed to `add` block by block, each with the
// run the stages that only turn it take (its carrier offset, and its gain: its power and carrier
// phase), its channel sample at run.at.
void make_emitter(const RunSettings& s, const SceneEmitter& e, const SceneChannel& channel, Sample gain,
                  const std::function<void(Signal, const StageRun&)>& add) {
  const std::size_t before = channel.margins.before, after = channel.margins.after, total = channel.total;
  const double c = channel.clock;
  const PlannedFile& f = e.file;
  // The burst in channel samples: the capture's sample k reads the channel at k c.
  const double first = static_cast<double>(before) + std::ceil(static_cast<double>(e.burst_start) * c);
  const double last = static_cast<double>(before) + std::ceil(static_cast<double>(e.burst_stop) * c);
  StageRun run{.settings = s,
               .draws = f.impairments,
               .noise_seed = f.seeds.noise ? *f.seeds.noise : device_seed(),
               .length = channel.length,
               .margins = channel.margins,
               .carrier_offset = emitter_shift(s, e),
               .gain = gain,
               .burst = e.frames.empty() ? std::optional<std::array<double, 2>>(std::array<double, 2>{first, last}) : std::nullopt};
  const StageFlow flow = stages_flow(run, StagePart::shaping);
  // Only the burst's samples are made (its amplifier's level is the burst's own); an emitter whose
  // stages need it whole (faded) over the capture, its channel reckoned from the capture's first
  // sample.
  const auto clamp = [total](double at) { return static_cast<std::size_t>(std::clamp(at, 0.0, static_cast<double>(total))); };
  const bool whole = flow == StageFlow::whole;
  const std::size_t lo = whole ? 0 : clamp(first);
  const std::size_t hi = whole ? total : clamp(last);
  if (hi <= lo) return;
  // A scene promises its emitters within filter error of their single files, not their bits.
  const WaveformRange waveform =
      exact_waveform_range(s, f, static_cast<std::int64_t>(channel.length), before, after, PhasorMath::polynomial);
  const auto block = [&](std::size_t at) {
    return waveform(static_cast<std::int64_t>(at) - static_cast<std::int64_t>(before), std::min(scene_block_samples, hi - at));
  };
  if (whole) {
    Signal v = waveform(static_cast<std::int64_t>(lo) - static_cast<std::int64_t>(before), hi - lo);
    run.at = lo;
    apply_stages(v, run, StagePart::shaping);
    add(std::move(v), run);
    return;
  }
  // Block by block, while a block is in the cache: a range's and the carrier's values do not
  // depend on where a block begins, so the samples are the whole burst's. A burst-flow stage's
  // level is the burst's power on the air (its samples that are not 0), summed in sample order over
  // a first pass, as over the whole.
  if (flow == StageFlow::burst) {
    double energy = 0.0;
    std::size_t on_air = 0;
    for (std::size_t at = lo; at < hi; at += scene_block_samples) {
      for (const Sample& x : block(at)) {
        energy += std::norm(x);
        if (x != Sample(0.0)) ++on_air;
      }
    }
    run.burst_energy = energy;
    run.burst_samples = on_air;
  }
  for (std::size_t at = lo; at < hi; at += scene_block_samples) {
    Signal v = block(at);
    run.at = at;
    apply_stages(v, run, StagePart::shaping);
    add(std::move(v), run);
  }
}

// The emitter's |x|^2 summed over its box (channel samples from / the capture's clock), from the
// blocks make_emitter hands out, in their order.
struct BoxEnergy {
  double from;
  double to;
  double energy = 0.0;

  BoxEnergy(const SceneEmitter& e, const SceneChannel& channel)
      : from(std::ceil(static_cast<double>(channel.margins.before) + static_cast<double>(e.box.sample_start) * channel.clock)),
        to(std::ceil(static_cast<double>(channel.margins.before) +
                     static_cast<double>(e.box.sample_start + e.box.sample_count) * channel.clock)) {}
  void add(std::size_t start, const Signal& v) {
    for (std::size_t j = 0; j < v.size(); ++j) {
      const auto k = static_cast<double>(start + j);
      if (k >= from && k < to) energy += std::norm(v[j]);
    }
  }
  double power() const { return to > from ? energy / (to - from) : 0.0; }
};

// The emitter's power per sample over its box, relative to its unit nominal power, as the capture
// holds it before the receiver's noise: every emitter of a scene fades where one does, and each
// carries the capture's clock, so its own draws give the scene's channel.
double emitter_box_power(const RunSettings& s, const SceneEmitter& e) {
  const SceneChannel channel = scene_channel(s, {&e.file.impairments});
  BoxEnergy box(e, channel);
  make_emitter(s, e, channel, 1.0, [&box](const Signal& v, const StageRun& run) { box.add(run.at, v); });
  return box.power();
}

// The key an emitter's power over its box is remembered by (see signal_power_key).
std::string emitter_power_key(const RunSettings& s, const SceneEmitter& e) {
  return "emitter " + std::to_string(e.box.sample_start) + "+" + std::to_string(e.box.sample_count) + " " +
         std::to_string(e.burst_start) + ".." + std::to_string(e.burst_stop) + " " +
         file_fingerprint({s, e.file, std::nullopt});
}

std::string fault_text(const RunSettings& s, const SceneEmitter& e, std::size_t k, std::size_t count) {
  const BandEdges band = exact_occupied_band(s, e.file);
  return "emitter " + std::to_string(k + 1) + " of " + std::to_string(count) + " (" + e.file.modulation + ", " +
         shortest_text(band.high - band.low) + " Hz wide) finds no free place inside -fs/2 .. fs/2: fewer emitters "
         "(--emitters-max), narrower signals, smaller offsets or --overlap any";
}

}  // namespace

DigitalSeeds scene_emitter_seeds(std::uint32_t run_seed, std::uint64_t position, std::size_t emitter,
                                  std::string_view name) {
  const std::uint32_t seed = emitter_seed(scene_seed(run_seed, position), emitter - 1);
  return derive_file_seeds(seed, name, 1);
}

std::shared_ptr<const Scene> draw_scene(RunPlan& plan, const SceneKey& key, const PlannedFile& host) {
  const RunSettings& s = plan.settings();
  auto scene = std::make_shared<Scene>();
  scene->name = host.modulation;
  const std::uint64_t seed = scene_seed(key.draw_seed, key.position);
  Uniform u{GaussianSource(seed)};
  // A silent name (Noise) makes no emitter: its scenes are the receiver's noise alone, and no
  // other scene draws it.
  std::vector<std::size_t> audible;
  for (std::size_t m = 0; m < s.modulations.size(); ++m) {
    if (!is_silent(plan.waveform(m))) audible.push_back(m);
  }
  const auto named = std::find(s.modulations.begin(), s.modulations.end(), host.modulation);
  const bool silent = is_silent(waveform_of(host)) || audible.empty();
  const auto count =
      silent ? std::size_t{0} : static_cast<std::size_t>(u.whole(s.exact.scene.emitters_min, s.exact.scene.emitters_max));
  if (count > 0 && named == s.modulations.end()) {
    scene->fault = "the scene's name " + host.modulation + " is not among the run's names";
    return scene;
  }
  const ImpairmentDraws& receiver = host.impairments;
  for (std::size_t k = 0; k < count; ++k) {
    // The host is always among the run's names where it makes emitters.
    const std::size_t m = k == 0 ? static_cast<std::size_t>(named - s.modulations.begin())
                                 : audible[static_cast<std::size_t>(u.whole(0, static_cast<std::int64_t>(audible.size()) - 1))];
    SceneEmitter e;
    e.file = draw_emitter_file(plan, m, emitter_seed(seed, k), key.seed_files);
    e.file.index = static_cast<std::int32_t>(k + 1);
    take_receiver_draws(receiver, e.file.impairments);
    // Its file is the capture's length, on the capture's clock: its frames' instants are the capture's.
    if (const Waveform w = waveform_of(e.file); w.family != nullptr && w.family->frames != nullptr) {
      try {
        e.frames = exact_file_frames(s, e.file).spans;
      } catch (const std::exception& error) {
        scene->fault = "emitter " + std::to_string(k + 1) + " (" + e.file.modulation + "): " + error.what();
        break;
      }
      if (e.frames.empty()) {
        scene->fault = "emitter " + std::to_string(k + 1) + " of " + std::to_string(count) + " (" + e.file.modulation +
                       ") has no whole frame in a capture of " + std::to_string(s.exact.samples_per_file) +
                       " samples: a longer capture (--samples-per-file) or narrower ranges of its own";
        break;
      }
    }
    if (!place(s, e, scene->emitters, u)) {
      scene->fault = fault_text(s, e, k, count);
      break;
    }
    scene->emitters.push_back(std::move(e));
  }
  if (const auto& recording = s.exact.background_recording; recording && scene->fault.empty()) {
    const auto length = static_cast<std::uint64_t>(s.exact.samples_per_file);
    scene->background_start = background_span_start(*recording, key.position, length);
    try {
      // A capture longer than an address space holds is refused where the capture is made.
      const auto span = static_cast<std::size_t>(std::min<std::uint64_t>(length, std::numeric_limits<std::size_t>::max()));
      scene->noise_power = background_noise_power(read_background_span(*recording, scene->background_start, span));
    } catch (const std::runtime_error& error) {
      scene->fault = "the background recording: " + std::string(error.what());
    }
    if (scene->fault.empty() && !(scene->noise_power > 0.0 && std::isfinite(scene->noise_power))) {
      scene->fault = "the background recording " + recording->name + " has no noise floor over samples " +
                     std::to_string(scene->background_start) + " .. " + std::to_string(scene->background_start + length) +
                     " (the median of its periodogram is " + shortest_text(scene->noise_power) +
                     "): no SNR can stand over it";
    }
  }
  return scene;
}

void plan_scene(RunPlan& plan, const SceneKey& key, PlannedFile& file) {
  file.scene = draw_scene(plan, key, file);
  file.modulation = "scene";
  file.waveform = std::nullopt;
  file.index = static_cast<std::int32_t>(std::min<std::uint64_t>(key.position + 1, INT32_MAX));
}

Signal synthesize_scene(const RunSettings& s, const PlannedFile& file, bool noise) {
  if (!file.scene) throw std::invalid_argument("the file holds no scene.");
  const Scene& scene = *file.scene;
  if (!scene.fault.empty()) throw std::invalid_argument(scene.fault);
  const ImpairmentDraws& d = file.impairments;
  // Every emitter's stages' margins and the capture's (each emitter carries its clock).
  std::vector<const ImpairmentDraws*> draws = {&d};
  for (const SceneEmitter& e : scene.emitters) draws.push_back(&e.file.impairments);
  const SceneChannel channel = scene_channel(s, draws);
  const std::size_t length = channel.length;
  Signal sum(channel.total);
  bool finite = true;
  for (const SceneEmitter& e : scene.emitters) {
    const PlannedFile& f = e.file;
    finite = finite && std::isfinite(f.snr_db);
    const Sample turn = std::polar(std::isfinite(f.snr_db) ? std::sqrt(scene.noise_power) * std::pow(10.0, f.snr_db / 20.0) : 1.0,
                                   f.impairments.carrier_phase.value_or(0.0));
    // Its power over its box, for its labels, as the samples are made.
    BoxEnergy box(e, channel);
    // Samples from run.at on, moved to the emitter's place and added in.
    make_emitter(s, e, channel, turn, [&](Signal v, const StageRun& run) {
      box.add(run.at, v);
      apply_stages(v, run, StagePart::turning);
      for (std::size_t j = 0; j < v.size(); ++j) sum[run.at + j] += v[j];
    });
    remembered_measure(emitter_power_key(s, e), [&box] { return std::optional<double>(box.power()); });
  }
  // The receiver's stages on the sum; the emitters carried their carrier phases.
  StageRun capture{.settings = s,
                   .draws = d,
                   .noise_seed = file.seeds.noise ? *file.seeds.noise : device_seed(),
                   .length = length,
                   .margins = channel.margins};
  // One noise floor, of unit power per sample or the recording's: each emitter's SNR is its power
  // over it.
  if (noise && s.exact.background_recording) {
    capture.noise = [&](Signal& signal, const StageRun&) {
      const Signal ground = read_background_span(*s.exact.background_recording, scene.background_start, length);
      for (std::size_t i = 0; i < length; ++i) signal[i] += ground[i];
    };
  } else if (noise && finite) {
    capture.noise = [](Signal& signal, const StageRun& run) { signal = add_white_noise(std::move(signal), 0.0, run.noise_seed); };
  }
  apply_stages(sum, capture, StagePart::receiver);
  return sum;
}

namespace {

using enum ManifestPlace;

const ParameterKind emitter_kind{"emitter", "", "", true, leading, ParameterType::whole};
const ParameterKind start_kind{"sample_start", "", "", false, leading, ParameterType::whole};
const ParameterKind count_kind{"sample_count", "", "", false, leading, ParameterType::whole};
const ParameterKind lower_kind{"freq_lower_edge", "", " Hz", false, leading};
const ParameterKind upper_kind{"freq_upper_edge", "", " Hz", false, leading};
const ParameterKind centre_kind{"centre_frequency", "", " Hz", true, leading};

}  // namespace

std::vector<ParameterRow> emitter_parameters(const RunSettings& s, const SceneEmitter& e, std::optional<std::uint32_t> run_seed) {
  std::vector<ParameterRow> rows = {{&emitter_kind, std::int64_t{e.file.index}},
                                    {&start_kind, e.box.sample_start},
                                    {&count_kind, e.box.sample_count},
                                    {&lower_kind, e.box.freq_lower_edge},
                                    {&upper_kind, e.box.freq_upper_edge},
                                    {&centre_kind, e.centre_frequency}};
  // Its realised SNR is its power over its box; each output of a scene asks for it.
  const std::optional<double> power =
      !std::isfinite(e.file.snr_db) ? std::nullopt
                                    : remembered_measure(emitter_power_key(s, e), [&] { return emitter_box_power(s, e); });
  for (ParameterRow& row : file_parameters({s, e.file, run_seed, power})) {
    // An emitter's index is its place in the scene, already its own column.
    if (row.kind->key != "file_index") rows.push_back(std::move(row));
  }
  return rows;
}

ParameterType label_column_type(std::string_view key) {
  for (const ParameterKind* kind : {&emitter_kind, &start_kind, &count_kind, &lower_kind, &upper_kind, &centre_kind}) {
    if (kind->key == key) return kind->type;
  }
  if (key == "num_samples" || key == "saved") return ParameterType::whole;
  return parameter_type(key);
}

double scene_nominal_power(const Scene& scene) {
  double power = 0.0;
  bool noise = true;
  for (const SceneEmitter& e : scene.emitters) {
    const bool finite = std::isfinite(e.file.snr_db);
    noise = noise && finite;
    power += finite ? std::pow(10.0, e.file.snr_db / 10.0) : 1.0;
  }
  return (power + (noise ? 1.0 : 0.0)) * scene.noise_power;
}

std::vector<std::string_view> scene_label_columns(const RunSettings& s) {
  std::vector<std::string_view> columns = manifest_columns(ManifestPlace::leading, s.signal_model);
  std::erase(columns, std::string_view("file_index"));
  for (const ParameterKind* kind : {&emitter_kind, &start_kind, &count_kind, &lower_kind, &upper_kind, &centre_kind}) {
    columns.push_back(kind->key);
  }
  columns.insert(columns.end(), {"num_samples", "saved"});
  for (const std::string_view key : manifest_columns(ManifestPlace::trailing, s.signal_model, s.modulations)) {
    columns.push_back(key);
  }
  return columns;
}

}  // namespace quorvin
