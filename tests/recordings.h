#pragma once
// The files a standard's receiver test decodes: one name's run planned and made as the run layer
// makes it, each file's labels and samples.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "label_rows.h"
#include "form/options.h"
#include "run/exact_file.h"
#include "run/parameters.h"
#include "run/plan.h"
#include "run/seeds.h"

namespace quorvin::test {

// A file's labels by key, as its settings file and metadata give them.
struct Labels {
  std::vector<ParameterRow> rows;
  std::string text(std::string_view key) const { return label_text(rows, key); }
  double number(std::string_view key) const { return label(rows, key); }
  std::vector<double> list(std::string_view key) const { return label_list(rows, key); }
};

// Each file of `name` under `texts` and run seed `seed`, its symbols seeded as a run seeds them:
// each(labels, samples), traced by the file's index. The run must get the sample rate `fs`
// without naming one.
template <class Each>
void for_each_recording(const std::string& name, const OptionTexts& texts, std::uint32_t seed, double fs, Each each) {
  auto read = read_options({{name}, texts});
  ASSERT_TRUE(std::holds_alternative<RunSettings>(read)) << std::get<Refusal>(read).text;
  const RunSettings s = std::get<RunSettings>(std::move(read));
  ASSERT_EQ(s.sample_rate, fs) << "the rate a run without one gets";
  RunPlan plan(s, seed);
  while (std::optional<PlannedFile> next = plan.next()) {
    PlannedFile file = *next;
    file.seeds = derive_file_seeds(seed, file.modulation, file.index);
    SCOPED_TRACE("file " + std::to_string(file.index));
    each(Labels{file_parameters({s, file, std::nullopt})}, synthesize_exact_file(s, file));
  }
}

}  // namespace quorvin::test
