#pragma once
// Outputs for dataset pipelines: SigMF metadata for each recording, and a manifest of the run.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "form/form.h"
#include "run/plan.h"
#include "run/run.h"
#include "run/atomic_file.h"

namespace quorvin::cli {

// The .sigmf-meta JSON of one recording of `samples` cf32_le samples: core fields, one capture
// at the mixing frequency, one annotation over the whole file with the signal extension's detail,
// and every parameter of the settings file under the "quorvin" namespace (the seeds too when the
// run was seeded). A non-finite value, such as the SNR of a run without noise, is null.
std::string sigmf_metadata(const RunSettings& settings, const PlannedFile& file,
                           std::uint64_t samples, std::optional<std::uint32_t> run_seed);

// A CSV manifest, one row per planned file in plan order after a header line, written to a
// temporary file and put in place only when complete. A seeded run (run_seed) records each
// file's seeds too. With SampleFormat::kept a saved file's sample_file is its place in the
// container named `container`: "dataset.h5#12" for its row 12 (from 0), in plan order.
class ManifestWriter {
 public:
  ManifestWriter(const std::filesystem::path& path, const RunSettings& settings, SampleFormat format,
                 std::optional<std::uint32_t> run_seed, const WriteContext& write = {}, std::string container = {});
  bool is_open() const { return writer_.is_open(); }
  // Why the manifest could not be written, in the system's words.
  const std::string& failure() const { return writer_.failure(); }
  void add(const PlannedFile& file, const ProducedFile& produced);
  bool finish();
  // Gives the manifest up: its temporary is removed and the final name left as it was.
  void abandon() { writer_.discard(); }

 private:
  AtomicFileWriter writer_;
  const RunSettings settings_;  // a copy: the writer may outlive the caller's settings
  SampleFormat format_;
  std::optional<std::uint32_t> run_seed_;
  std::string container_;
  std::uint64_t container_rows_ = 0;
  std::vector<std::string_view> leading_;   // parameter columns before the file's results
  std::vector<std::string_view> trailing_;  // and after them
};

}  // namespace quorvin::cli
