// A 1,000,000-sample wideband scene of 5 emitters, side by side with making its 5 emitters as
// single files of the same length.

#include <benchmark/benchmark.h>

#include <variant>

#include "bench_support.h"
#include "form/options.h"
#include "plan/seeds.h"
#include "run/run.h"
#include "synthesis/scene.h"

namespace quorvin::bench {
namespace {

constexpr std::int64_t length = 1000000;

struct SceneCase {
  RunSettings settings;
  PlannedFile file;
};

SceneCase scene_case() {
  auto read = read_options({{"QPSK", "QAM16", "2FSK", "GMSK", "AM"},
                            {{"--sample-rate", "20000000"}, {"--samples-per-file", std::to_string(length)},
                             {"--scene", "wideband"}, {"--emitters-min", "5"}, {"--emitters-max", "5"},
                             {"--samples-per-symbol-min", "16"}, {"--samples-per-symbol-max", "64"}}});
  SceneCase c{std::get<RunSettings>(std::move(read)), {}};
  RunPlan plan(c.settings, 1);
  c.file = *plan.next();
  c.file.seeds = derive_file_seeds(1, c.file.modulation, c.file.index);
  plan_scene(plan, {1, 0, true}, c.file);
  return c;
}

void scene_of_five(benchmark::State& state) {
  const SceneCase c = scene_case();
  for (auto _ : state) benchmark::DoNotOptimize(synthesize_scene(c.settings, c.file).data());
  count_items(state, length);
}

void five_single_files(benchmark::State& state) {
  const SceneCase c = scene_case();
  for (auto _ : state) {
    for (const SceneEmitter& e : c.file.scene->emitters) benchmark::DoNotOptimize(synthesize_file(c.settings, e.file).data());
  }
  count_items(state, length);
}

BENCHMARK(scene_of_five)->Unit(benchmark::kMillisecond);
BENCHMARK(five_single_files)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvin::bench
