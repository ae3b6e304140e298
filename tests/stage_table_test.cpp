// The channel's table of stages (plan/stages/): each stage's options reach the option table in
// its order, its labels the parameter list, and its draws an engine of its own.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "plan/exact_options.h"
#include "plan/plan.h"
#include "plan/stages/stage.h"
#include "synthesis/parameters.h"

namespace quorvin {
namespace {

// The command-line names a row of the option table stands for.
std::vector<std::string> row_options(const ExactRow& row) {
  if (const ExactOption* option = std::get_if<ExactOption>(&row)) return {std::string(option->option)};
  const ExactRange& range = std::get<ExactRange>(row);
  return {std::string(range.stem) + "-min", std::string(range.stem) + "-max"};
}

TEST(StageTable, EveryStagesOptionsStandTogetherInTheOptionTableInSlotOrder) {
  std::vector<std::string> table;
  for (const ExactOption& o : exact_options()) table.emplace_back(o.option);
  std::ptrdiff_t last = -1;
  for (const ChannelStage* stage : stages_by_slot()) {
    for (const ExactRow& row : stage->options) {
      for (const std::string& name : row_options(row)) {
        SCOPED_TRACE(std::string(stage->name) + ": " + name);
        ASSERT_EQ(std::count(table.begin(), table.end(), name), 1);
        const std::ptrdiff_t at = std::find(table.begin(), table.end(), name) - table.begin();
        // Each stage's options follow the previous stage's with nothing between them.
        EXPECT_TRUE(last < 0 || at == last + 1) << "at " << at << " after " << last;
        last = at;
      }
    }
  }
  // The stages' options close the run's own; the families' ranges follow them.
  ASSERT_GE(last, 0);
  EXPECT_NE(exact_options()[static_cast<std::size_t>(last) + 1].range, nullptr);
}

TEST(StageTable, EverySlotIsOneStagesAndNoneIsTheAnalogCarriers) {
  std::set<StageSlot> seen;
  for (const ChannelStage* stage : channel_stages()) {
    for (const StageSlot slot : stage->slots) {
      EXPECT_TRUE(seen.insert(slot).second) << stage->name << " shares slot " << static_cast<int>(slot);
      EXPECT_NE(slot, StageSlot::analog_carrier) << stage->name;
    }
    // A stage that draws has an engine; one that has options draws or reads settings only.
    EXPECT_EQ(stage->draw != nullptr, !stage->slots.empty()) << stage->name;
  }
}

TEST(StageTable, EveryStageLabelIsOneKindOfTheParameterList) {
  std::set<std::string_view> keys;
  for (const ChannelStage* stage : channel_stages()) {
    for (const StageLabel& label : stage->labels) {
      SCOPED_TRACE(std::string(stage->name) + ": " + std::string(label.kind.key));
      EXPECT_TRUE(keys.insert(label.kind.key).second);
      EXPECT_EQ(parameter_type(label.kind.key), label.kind.type);
      const std::vector<std::string_view> columns = manifest_parameter_keys(label.kind.manifest);
      EXPECT_EQ(std::count(columns.begin(), columns.end(), label.kind.key), 1);
    }
  }
}

// Turning one stage on changes no other stage's values, and its own come from its own slot: with
// every stage on, each draw equals the draw of a run with that stage alone.
TEST(StageTable, EachStageDrawsTheSameAloneAsBesideTheOthers) {
  const ImpairmentSettings every{.fading = Fading::rician, .fading_k_min = 1.0, .doppler_max = 50.0,
                                 .carrier_phase = true, .phase_noise_max = 5.0, .clock_ppm_min = -20.0,
                                 .clock_ppm_max = 20.0, .iq_amplitude_max = 1.0, .iq_phase_max = 2.0,
                                 .dc_offset_max = 0.1, .pa_backoff_max = 6.0, .adc_bits_min = 4, .adc_bits_max = 16};
  const StageKey key{7, "QPSK", 3};
  const ImpairmentDraws all = draw_stages(every, key);
  ImpairmentDraws alone_each;
  for (const ChannelStage* stage : channel_stages()) {
    if (stage->draw != nullptr) stage->draw(every, key, alone_each);
  }
  const auto values = [](const ImpairmentDraws& d) {
    return std::vector<std::optional<double>>{d.fading_k, d.doppler, d.carrier_phase, d.phase_noise, d.clock_ppm,
                                              d.iq_amplitude, d.iq_phase, d.dc_i, d.dc_q, d.pa_backoff,
                                              d.adc_bits ? std::optional<double>(*d.adc_bits) : std::nullopt};
  };
  for (const std::optional<double>& v : values(all)) EXPECT_TRUE(v.has_value());
  EXPECT_EQ(values(all), values(alone_each));
  // A stage turned off draws nothing and leaves the others' values as they were.
  ImpairmentSettings without_phase = every;
  without_phase.phase_noise_max = 0.0;
  ImpairmentDraws expected = all;
  expected.phase_noise = std::nullopt;
  EXPECT_EQ(values(draw_stages(without_phase, key)), values(expected));
  // Another slot's engine gives other values: no two stages share one.
  EXPECT_NE(key.engine(StageSlot::iq_imbalance).uniform(0.0, 1.0), key.engine(StageSlot::dc_offset).uniform(0.0, 1.0));
}

}  // namespace
}  // namespace quorvin
