#pragma once
// One HDF5 container per run or shard: the samples and the manifest's labels, streamed file by
// file in plan order, written under a temporary name and renamed when complete. Built into
// quorvin_hdf5, apart from the core, which stays free of the HDF5 library; without HDF5 that
// library refuses every container (hdf5_available() is false).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plan/plan.h"
#include "writers/atomic_file.h"
#include "writers/produced_file.h"

namespace quorvin {

// Whether this build can write HDF5 (the library was found when it was configured).
bool hdf5_available();

// Why this build cannot write HDF5, a clause for a refusal ("it was built with
// -DQUORVIN_HDF5=OFF"); empty where it can.
std::string_view hdf5_absence();

// The container's file name in the output folder: "dataset.h5", or "dataset-K-of-N.h5" for a shard.
std::string container_file_name(const Shard& shard);

// Layout: with a fixed length N, "iq" is (files, N) complex64 (a compound of float32 "r" and
// "i", which h5py reads as complex64), chunked, deflated when `compress`; otherwise "iq" is one
// complex64 row of every file's samples end to end and "offsets" (int64) where each file starts.
// "labels/<key>" holds one column per manifest_label_columns key (text as UTF-8 strings); "class_index" is
// int64; the root attribute "class_names" lists the catalogue's names in class-index order.
// With --save-channel (fixed lengths only; refused otherwise) "channel_taps" is (files, taps, N)
// complex64 where the run's fading is on and "channel_phase" (files, N) float64, radians, where it
// draws a carrier phase or phase noise: exact_channel_path of each file, NaN rows for a file
// that drew no such stage.
// A scene run's "iq" holds one row per capture and "scene" (int64) each capture's scene number;
// its labels are one row per emitter (scene_label_columns), with "class_index" the emitter's and
// "capture_index" (int64) the row of "iq" holding it.
// The container is written as every other output file (AtomicFileWriter): into a temporary of a
// fresh name in its folder, created exclusively, flushed to its storage device through `write`'s
// sync and renamed over the final name, whose rules it follows (a link is followed; a folder, a
// file this user may not write and a FIFO are refused). Rows are written in blocks, so a run's
// cost grows with its files alone.
class Hdf5Writer {
 public:
  Hdf5Writer(const std::filesystem::path& path, const RunSettings& settings, std::optional<std::uint32_t> run_seed,
             std::int64_t fixed_length, bool compress, const WriteContext& write = {});
  ~Hdf5Writer();
  Hdf5Writer(const Hdf5Writer&) = delete;
  Hdf5Writer& operator=(const Hdf5Writer&) = delete;

  bool is_open() const;
  const std::string& failure() const;
  // Appends one produced file (its kept samples and labels); false once anything failed.
  bool add(const PlannedFile& file, const ProducedFile& produced);
  // Closes the container and puts it in place; false (and the temporary removed) on failure.
  bool finish();
  // Gives the container up: its temporary is removed and the final name left as it was.
  void abandon();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quorvin
