#pragma once
// What producing one file left, as the writers of a run's records (manifest, container) read it.

#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "generator/symbols.h"
#include "plan/label_kinds.h"
#include "plan/stages/stage.h"

namespace quorvin {

enum class FileOutcome { saved, generation_failed, save_failed };

// What producing one file left: its report lines and whether everything asked for was saved.
struct ProducedFile {
  std::u16string report;
  FileOutcome outcome = FileOutcome::save_failed;  // of the sample file (with its metadata)
  std::optional<bool> settings_saved;              // when a settings file was asked for and due
  bool saved = false;         // sample file, and settings file when asked, written completely
  std::uint64_t samples = 0;  // samples in the sample file
  // For each file that could not be saved, "<file name>: <the system's reason>" (UTF-8).
  std::vector<std::string> problems;
  // SampleFormat::container: the samples as complex float32, I then Q.
  std::vector<std::complex<float>> kept;
  // SampleFormat::container with --save-channel: the channel over the file's samples.
  ChannelPath channel;
  // SampleFormat::container with --save-symbols: the symbols the file transmits.
  TransmittedSymbols symbols;
  // The file's label rows when the run asked for them beside its samples (OutputOptions::labels),
  // so that the thread writing the run's records only copies them; a scene's are never here.
  std::optional<std::vector<ParameterRow>> labels;
};

enum class SampleFormat {
  csv,    // <name>_signal_<k>.csv: "I,Q" text lines
  sigmf,  // <name>_signal_<k>.sigmf-data (cf32_le) with its .sigmf-meta
  container,  // no file: the samples travel in ProducedFile::kept, for the container the caller writes
};

}  // namespace quorvin
