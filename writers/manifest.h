#pragma once
// The run's manifest: a CSV of one row per planned file. Its columns, in one order, are also the
// HDF5 container's labels.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "plan/plan.h"
#include "synthesis/parameters.h"
#include "writers/atomic_file.h"
#include "writers/produced_file.h"

namespace quorvin {

// Every modulation name of the catalogue in class-index order: the names class_index counts in.
const std::vector<std::string>& class_names();

// The columns after the three file names: the leading parameters, num_samples and saved, then the
// trailing parameters (an exact-model run's own last, then those of the families of
// `modulations`). The container's labels are these.
std::vector<std::string_view> manifest_label_columns(SignalModel model, std::span<const std::string> modulations = {});

// One file's values in `columns` (manifest_label_columns): its parameter of each key, and its
// num_samples and saved (1 or 0) as whole numbers; nothing where the file has no such parameter.
// Result length: columns.size().
std::vector<std::optional<ParameterValue>> label_values(std::span<const std::string_view> columns,
                                                        const std::vector<ParameterRow>& rows,
                                                        const ProducedFile& produced);

// A manifest cell's text: shortest exact decimals for a real number.
std::string cell_text(const ParameterValue& value);

// A CSV manifest, one row per planned file in plan order after a header line, written to a
// temporary file and put in place only when complete. A seeded run (run_seed) records each
// file's seeds too. With SampleFormat::container a saved file's sample_file is its place in the
// container named `container`: "dataset.h5#12" for its row 12 (from 0), in plan order. File
// names are relative to the manifest's folder: "ds/QPSK_signal_1.csv" for a manifest beside the
// run's folder ds, the bare name for one inside it.
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
  // One row: the file names, then the values of `rows` in the columns.
  void append_cells(const std::string& names, const std::vector<ParameterRow>& rows, const ProducedFile& produced);

  AtomicFileWriter writer_;
  const RunSettings settings_;  // a copy: the writer may outlive the caller's settings
  SampleFormat format_;
  std::optional<std::uint32_t> run_seed_;
  std::string container_;
  std::string prefix_;  // the run's folder seen from the manifest's ("" when the same)
  std::uint64_t container_rows_ = 0;
  std::vector<std::string_view> columns_;  // manifest_label_columns
};

}  // namespace quorvin
