#pragma once
// A run written through the writers, as quorvin-cli and the Python package write one: the
// manifest and the HDF5 container opened before any file, every produced file added to them in
// plan order, then both finished or given up. Built into quorvin_write_run, beside the writers'
// libraries; the front ends word what it reports.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "plan/plan.h"
#include "plan/settings.h"
#include "run/dataset.h"
#include "run/run.h"

namespace quorvin {

// One file as the run produced it, told before its manifest row is written.
struct WrittenFile {
  const PlannedFile& file;
  const ProducedFile& produced;
  bool in_container = false;  // a saved file of a container run
  bool added = false;         // in_container, and its row was written
  // Why the container failed, when this file's row was the one that failed it; no further file
  // is started.
  std::optional<std::string> container_failed;
};

// What writing a run takes beyond its settings.
struct RunWrite {
  // The run's seed: draws and each file's engines seeded from it; none for an unseeded run (the
  // clock's draws, the device's engines).
  std::optional<std::uint32_t> seed;
  std::filesystem::path manifest;  // empty for none
  bool compress = false;           // deflate the container's samples
  std::string recorder;            // SigMF's core:recorder, "quorvin-cli 0.1.0"
  // The run's jobs, shard, budget, warn and output (format and write; the write's context serves
  // the manifest and container too). Its seeds, stop and SigMF metadata are set from the above.
  DatasetRun run;
  // Requested from outside (an interrupt) or by a failed container: no further file is started.
  std::stop_source stop;
  std::function<void()> opened;  // both outputs are open; the first file comes next
  std::function<void(const WrittenFile&)> file_written;
  std::function<void(const RunProgress&)> progress;
};

// How an output ended.
enum class OutputEnd {
  none,   // the run had none
  saved,  // put in place
  // Given up, its final name left as it was: the container of a run stopped before its last
  // file, the manifest of a container that was not saved.
  abandoned,
  failed_adding,  // the container failed on a file's row (told through container_failed)
  failed,         // finishing it failed; failure says why
};

// An output that could not be opened, refused before any file.
enum class RefusedOutput { none, manifest, container };

struct WrittenRun {
  RefusedOutput refused = RefusedOutput::none;
  std::string refusal;         // why, in the system's words
  std::string container_name;  // its path as text: "out/dataset.h5"; empty without a container
  RunSummary files;
  OutputEnd container = OutputEnd::none;
  std::string container_failure;  // in the system's words
  OutputEnd manifest = OutputEnd::none;
  std::string manifest_failure;
  // SampleFormat::sigmf: the run's .sigmf-collection (saved or failed), its path as text and why
  // it failed.
  OutputEnd collection = OutputEnd::none;
  std::string collection_name;
  std::string collection_failure;
};

// The path of a container run's container, as text: its shard's container_file_name in the
// output folder ("out/dataset.h5"; "dataset.h5" in the working folder).
std::string container_path_text(const RunSettings& settings, const Shard& shard);

// Writes the run of `settings` through the manifest (when named) and, for
// SampleFormat::container, the container of its shard in the output folder; for
// SampleFormat::sigmf, each recording's data digest in its metadata and the shard's
// .sigmf-collection in the output folder, named as its container would be ("dataset",
// "dataset-K-of-N"). Refuses before any
// file when either cannot be opened; otherwise the files' counts and what became of each output.
// Throws what run_dataset throws.
WrittenRun write_run(const RunSettings& settings, RunWrite request);

// Whether an output ended as the run wanted: saved, or never asked for.
inline bool output_kept(OutputEnd end) { return end == OutputEnd::none || end == OutputEnd::saved; }

}  // namespace quorvin
