#pragma once
// A scene run's files as the tests draw them: the planned file at a place of the run, and one of
// its emitters alone.

#include <cstdint>
#include <memory>

#include "plan/plan.h"
#include "plan/seeds.h"
#include "synthesis/scene.h"

namespace quorvin::test {

// The planned file at `position` of the run, made a scene as every front end plans one.
inline PlannedFile scene_at(const RunSettings& s, std::uint32_t seed, std::uint64_t position) {
  RunPlan plan(s, seed);
  plan.seek_file(position);
  PlannedFile file = *plan.next();
  file.seeds = derive_file_seeds(seed, file.modulation, file.index);
  plan_scene(plan, {seed, position, true}, file);
  return file;
}

// The file of `scene` with emitter `e` alone in it, every other draw the scene's.
inline PlannedFile alone_in(const PlannedFile& scene, const SceneEmitter& e) {
  PlannedFile alone = scene;
  auto only = std::make_shared<Scene>(*scene.scene);
  only->emitters = {e};
  alone.scene = only;
  return alone;
}

}  // namespace quorvin::test
