#pragma once
// A run's SigMF collection: one .sigmf-collection listing the run's recordings by name and
// metadata digest, written like the manifest; and the digest of a data file's bytes.

#include <filesystem>
#include <string>
#include <vector>

#include "plan/plan.h"
#include "plan/settings.h"
#include "writers/atomic_file.h"
#include "writers/sigmf.h"

namespace quorvin {

// The SHA-512 of the bytes of the file at `path`, 128 hexadecimal digits. Throws
// std::runtime_error naming the file's `name` when it cannot be read.
std::string file_sha512(const std::filesystem::path& path, const std::string& name);

class SigmfCollection {
 public:
  // The collection `<name>.sigmf-collection` of the recordings in the settings' output folder.
  SigmfCollection(const RunSettings& settings, std::string name, const WriteContext& write = {});

  // A recording the run put in place, in plan order: listed with the SHA-512 of its .sigmf-meta,
  // read back. False when it cannot be read (failure() says why): the collection is then not
  // written.
  bool add(const PlannedFile& file);

  // Writes the collection: to a temporary file, put in place when complete. False when a
  // recording could not be listed or the collection cannot be written.
  bool finish();

  // Why the collection was not written, in the system's words; empty while nothing failed.
  const std::string& failure() const { return failure_; }

  // Where it goes, as text: "out/dataset.sigmf-collection".
  const std::string& path_text() const { return path_text_; }

 private:
  const RunSettings settings_;  // a copy: the collection may outlive the caller's settings
  std::string name_;
  WriteContext write_;
  std::filesystem::path path_;
  std::string path_text_;
  std::vector<SigmfStream> streams_;
  std::string failure_;
};

}  // namespace quorvin
