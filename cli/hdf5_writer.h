#pragma once
// One HDF5 container per run or shard: the samples and the manifest's labels, streamed file by
// file in plan order, written under a temporary name and renamed when complete.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run/atomic_file.h"
#include "run/plan.h"
#include "run/run.h"

namespace quorvin::cli {

// Whether this build can write HDF5 (the library was found when it was configured).
bool hdf5_available();

// Layout: with a fixed length N, "iq" is (files, N) complex64 (a compound of float32 "r" and
// "i", which h5py reads as complex64), chunked, deflated when `compress`; otherwise "iq" is one
// complex64 row of every file's samples end to end and "offsets" (int64) where each file starts.
// "labels/<key>" holds one UTF-8 string per file for every manifest column; "class_index" is
// int64; the root attribute "class_names" lists the catalogue's names in class-index order.
// `sync` flushes the finished container to its storage device before the rename, as every other
// output file is (none: renamed once the system has accepted every byte).
class Hdf5Writer {
 public:
  Hdf5Writer(const std::filesystem::path& path, const RunSettings& settings, std::optional<std::uint32_t> run_seed,
             std::int64_t fixed_length, bool compress, FileSync sync = nullptr);
  ~Hdf5Writer();
  Hdf5Writer(const Hdf5Writer&) = delete;
  Hdf5Writer& operator=(const Hdf5Writer&) = delete;

  bool is_open() const;
  const std::string& failure() const;
  // Appends one produced file (its kept samples and labels); false once anything failed.
  bool add(const PlannedFile& file, const ProducedFile& produced);
  // Closes the container and puts it in place; false (and the temporary removed) on failure.
  bool finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quorvin::cli
