#include "run/write_run.h"

#include <utility>

#include "plan/draw.h"
#include "synthesis/parameters.h"
#include "writers/hdf5_container.h"
#include "writers/manifest.h"
#include "writers/sample_file.h"
#include "writers/sigmf.h"
#include "writers/sigmf_collection.h"

namespace quorvin {
namespace {

// The container's end once the run is over. A run stopped before its last file (an interrupt, a
// report that could not be written or the container that failed) leaves a partial container:
// it is abandoned, and an earlier container of that name stays.
OutputEnd end_container(Hdf5Writer& container, bool stop_requested, bool every_file_done) {
  const bool failed_adding = !container.is_open();
  if ((stop_requested && !every_file_done) || failed_adding) {
    container.abandon();
    return failed_adding ? OutputEnd::failed_adding : OutputEnd::abandoned;
  }
  return container.finish() ? OutputEnd::saved : OutputEnd::failed;
}

}  // namespace

std::string container_path_text(const RunSettings& settings, const Shard& shard) {
  const std::filesystem::path folder = output_folder_path(settings.output_folder);
  const std::string name = container_file_name(shard);
  return (folder.empty() ? std::filesystem::path(name) : folder / name).string();
}

WrittenRun write_run(const RunSettings& settings, RunWrite request) {
  WrittenRun out;
  const WriteContext& write = request.run.output.write;
  const SampleFormat format = request.run.output.format;
  // Opened before the run, so that a manifest that cannot be written is known before hours of work.
  std::optional<ManifestWriter> manifest;
  if (!request.manifest.empty()) {
    manifest.emplace(request.manifest, settings, format, request.seed, write, container_file_name(request.run.shard));
    if (!manifest->is_open()) {
      out.refused = RefusedOutput::manifest;
      out.refusal = manifest->failure();
      return out;
    }
  }
  DatasetRun& run = request.run;
  run.draw_seed = request.seed ? *request.seed : clock_seed();
  run.seed_files = request.seed.has_value();
  run.stop = request.stop.get_token();
  // SigMF recordings: each with its data's digest, taken as its bytes were written, and the
  // run's collection of them.
  std::optional<SigmfCollection> collection;
  if (format == SampleFormat::sigmf) {
    collection.emplace(settings, std::filesystem::path(container_file_name(run.shard)).stem().string(), write);
  }
  run.output.sigmf_metadata = [&](const PlannedFile& file, std::uint64_t samples, std::optional<double> full_scale,
                                  std::string_view data_sha512) {
    return sigmf_metadata({.settings = settings, .file = file, .samples = samples, .run_seed = request.seed,
                           .recorder = request.recorder, .full_scale = full_scale,
                           .data_sha512 = data_sha512});
  };
  // The records' label rows are made on the producing threads, beside the samples: here they
  // would hold up the next file's record.
  if (manifest || format == SampleFormat::container) {
    run.output.labels = [&](const PlannedFile& file) { return file_parameters({settings, file, request.seed}); };
  }
  // One container for the run (or shard), its samples and labels in plan order.
  std::optional<Hdf5Writer> container;
  if (format == SampleFormat::container) {
    // What killed runs left, their containers' temporaries among them (each as large as the rows
    // it held): cleared as a run of sample files clears its folder, before this run's own.
    remove_stale_temporaries(output_folder_path(settings.output_folder), write);
    out.container_name = container_path_text(settings, run.shard);
    container.emplace(out.container_name, settings, request.seed, settings.exact.samples_per_file, request.compress,
                      write);
    if (!container->is_open()) {
      out.refused = RefusedOutput::container;
      out.refusal = container->failure();
      return out;
    }
  }
  if (request.opened) request.opened();
  std::uint64_t files_total = 0;  // of this shard, once a file was done
  out.files = run_dataset(
      settings, run,
      [&](const PlannedFile& file, const ProducedFile& produced) {
        WrittenFile written{.file = file, .produced = produced, .in_container = false, .added = false,
                            .container_failed = std::nullopt};
        if (container && produced.saved) {
          const bool was_open = container->is_open();
          written.in_container = true;
          written.added = container->add(file, produced);
          // A container that failed cannot be completed: no further file is made for it.
          if (was_open && !written.added) {
            request.stop.request_stop();
            written.container_failed = container->failure();
          }
        }
        if (collection && produced.outcome == FileOutcome::saved) collection->add(file);
        if (request.file_written) request.file_written(written);
        if (manifest) manifest->add(file, produced);
      },
      [&](const RunProgress& p) {
        files_total = p.files_total;
        if (request.progress) request.progress(p);
      });
  if (container) {
    const bool every_file_done = files_total > 0 && out.files.files_produced + out.files.files_failed == files_total;
    out.container = end_container(*container, request.stop.stop_requested(), every_file_done);
    out.container_failure = container->failure();
  }
  if (collection) {
    out.collection_name = collection->path_text();
    out.collection = collection->finish() ? OutputEnd::saved : OutputEnd::failed;
    out.collection_failure = collection->failure();
  }
  if (manifest) {
    // An HDF5 run's manifest names rows of its container: it goes with the container.
    if (!output_kept(out.container)) {
      manifest->abandon();
      out.manifest = OutputEnd::abandoned;
    } else {
      out.manifest = manifest->finish() ? OutputEnd::saved : OutputEnd::failed;
      out.manifest_failure = manifest->failure();
    }
  }
  return out;
}

}  // namespace quorvin
