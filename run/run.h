#pragma once
// The generation run: every planned file synthesised, impaired, written and reported.

#include <complex>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/signal.h"
#include "plan/plan.h"
#include "plan/settings.h"
#include "synthesis/exact_file.h"
#include "writers/atomic_file.h"
#include "writers/produced_file.h"

namespace quorvin {

// The finished signal of one planned file: the analog modulator, mixing (always) and noise, or
// the digital generator. Throws what the stages throw (the size ceiling, OQPSK's rate check).
Signal synthesize_file(const RunSettings& settings, const PlannedFile& file);

// The same samples as a stream, made as they are written where the route allows it (see
// prepare_exact_file); the classic model's signal is made whole, here. Throws as synthesize_file.
// The stream refers to `settings` and `file`: emit it while they live.
SampleStream prepare_file(const RunSettings& settings, const PlannedFile& file);

// The most samples producing `file` holds at once, for budgeting memory across parallel files.
double planned_peak_samples(const RunSettings& settings, const PlannedFile& file);

struct OutputOptions {
  SampleFormat format = SampleFormat::csv;
  WriteContext write;  // the disk flush, and abandoning files in flight
  // The .sigmf-meta text of a recording of `samples` samples, with the full scale its ci16_le
  // samples were written at (none for cf32_le) and the SHA-512 of its .sigmf-data's bytes, 128
  // hexadecimal digits (empty for a device written in place); needed for SampleFormat::sigmf.
  std::function<std::string(const PlannedFile& file, std::uint64_t samples, std::optional<double> full_scale,
                            std::string_view data_sha512)>
      sigmf_metadata;
  // Set by run_dataset from its one listing of the folder: no output file was there when the run
  // began, so each file is created and renamed into place without a look at its final name.
  bool fresh_folder = false;
  // Called on the producing thread once a file's samples are all with its writer, before the
  // writer's disk flush: a run of several jobs may start another file while this one waits.
  std::function<void()> samples_written;
  // A file's label rows (file_parameters), made by the producing thread once its samples are
  // done, for the run's manifest and container; none asked for when empty.
  std::function<std::vector<ParameterRow>(const PlannedFile& file)> labels;
};

// Synthesises and writes one planned file and, when the settings ask for it, its settings file.
// Never throws for a file that cannot be made: the failure becomes its report line.
ProducedFile produce_file(const RunSettings& settings, const PlannedFile& file,
                          const OutputOptions& output = {});

}  // namespace quorvin
