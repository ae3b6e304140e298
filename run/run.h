#pragma once
// The generation run: every planned file synthesised, impaired, written and reported.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/signal.h"
#include "form/form.h"
#include "run/plan.h"

namespace quorvin {

// The finished signal of one planned file: the analog modulator, mixing (always) and noise, or
// the digital generator. Throws what the stages throw (the size ceiling, OQPSK's rate check).
Signal synthesize_file(const RunSettings& settings, const PlannedFile& file);

// The most samples producing `file` holds at once, for budgeting memory across parallel files.
double planned_peak_samples(const RunSettings& settings, const PlannedFile& file);

// What producing one file left: its report lines and whether everything asked for was saved.
struct ProducedFile {
  std::u16string report;
  bool saved = false;         // sample file, and settings file when asked, written completely
  std::uint64_t samples = 0;  // samples in the sample file
};

enum class SampleFormat {
  csv,    // <name>_signal_<k>.csv: "I,Q" text lines
  sigmf,  // <name>_signal_<k>.sigmf-data (cf32_le) with its .sigmf-meta
};

struct OutputOptions {
  SampleFormat format = SampleFormat::csv;
  // The .sigmf-meta text of a recording of `samples` samples; needed for SampleFormat::sigmf.
  std::function<std::string(const PlannedFile& file, std::uint64_t samples)> sigmf_metadata;
};

// Synthesises and writes one planned file and, when the settings ask for it, its settings file.
// Never throws for a file that cannot be made: the failure becomes its report line.
ProducedFile produce_file(const RunSettings& settings, const PlannedFile& file,
                          const OutputOptions& output = {});

// The whole run in plan order. The parameter draws are seeded with draw_seed, or with the clock
// in whole seconds. Returns the report, one "\n"-terminated line per event.
std::u16string run_generation(const RunSettings& settings,
                              std::optional<std::uint32_t> draw_seed = std::nullopt);

}  // namespace quorvin
