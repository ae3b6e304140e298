#pragma once
// A run's SigMF collection: each saved recording's data digest set in its metadata, and one
// .sigmf-collection listing the recordings by name and metadata digest, written like the manifest.

#include <filesystem>
#include <string>
#include <vector>

#include "run/atomic_file.h"
#include "run/plan.h"
#include "run/settings.h"
#include "run/sigmf.h"

namespace quorvin {

class SigmfCollection {
 public:
  // The collection `<name>.sigmf-collection` of the recordings in the settings' output folder.
  SigmfCollection(const RunSettings& settings, std::string name, const WriteContext& write = {});

  // The collection's base name, each recording's core:collection.
  const std::string& name() const { return name_; }

  // A recording the run put in place, in plan order: the SHA-512 of its .sigmf-data, read back
  // from the file, set as its metadata's core:sha512 (the .sigmf-meta replaced whole), and the
  // recording listed. False when either file cannot be read or the metadata replaced (failure()
  // says why): the collection is then not written.
  bool add(const PlannedFile& file);

  // Writes the collection: to a temporary file, put in place when complete. False when a
  // recording failed before or the collection cannot be written.
  bool finish();

  // Why the collection was not written, in the system's words; empty while nothing failed.
  const std::string& failure() const { return failure_; }

  // Where it goes, as text: "out/dataset.sigmf-collection".
  const std::string& path_text() const { return path_text_; }

 private:
  bool fail(std::string reason);

  const RunSettings settings_;  // a copy: the collection may outlive the caller's settings
  std::string name_;
  WriteContext write_;
  std::filesystem::path path_;
  std::string path_text_;
  std::vector<SigmfStream> streams_;
  std::string failure_;
};

}  // namespace quorvin
