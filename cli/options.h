#pragma once
// The command line of quorvin-cli: the form's boxes as options, plus the batch controls.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "form/form.h"
#include "run/dataset.h"
#include "run/run.h"

namespace quorvin::cli {

inline constexpr const char* program_version = QUORVIN_VERSION;  // CMake's project version

enum class Progress { automatic, shown, hidden };

// A command line that asks for a run.
struct RunRequest {
  SampleFormat format = SampleFormat::csv;  // container: one HDF5 container (--format hdf5)
  bool compress = false;                    // deflate the container's samples
  std::string manifest;  // UTF-8 path of the manifest; empty for none
  RunSettings settings;  // validated by the form's own rules
  unsigned jobs = 1;
  std::optional<std::uint32_t> seed;
  Shard shard;
  Progress progress = Progress::automatic;
  bool quiet = false;  // no report lines on standard output
  // Ranges that are served but almost certainly mistaken: "--snr-min 30 is above --snr-max 10; ...".
  std::vector<std::string> warnings;
};

// A command line that ends at once: help, version, the name list, or a usage or input error.
struct ImmediateExit {
  int status = 0;           // 0 for help and lists, 2 for usage and input errors
  std::string out_text;     // for standard output
  std::string error_text;   // for standard error
};

// A path given on the command line: its bytes as they are on POSIX, UTF-8 turned wide on Windows.
std::filesystem::path command_line_path(const std::string& text);

// Parses UTF-8 arguments (without the program name). The options go through the core's reader
// (read_options), which reads the boxes as the form does, so a refused box gives its option, its
// text and the form's message: "quorvin-cli: --sample-rate 10k: Invalid Sample Rate.". The help is
// wrapped to `help_width` columns.
std::variant<RunRequest, ImmediateExit> parse_command_line(const std::vector<std::string>& arguments,
                                                           unsigned hardware_threads, std::size_t help_width = 80);

}  // namespace quorvin::cli
