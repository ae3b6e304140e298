// quorvin-cli's --config reader on arbitrary file contents: TOML lines of options, --per-name's
// entries among them, the file's names (or none) the run's. Properties: it never throws, and its
// outcomes hold what every parse holds (fuzz_cli_checks.h).

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_cli_checks.h"

namespace {

// One file per fuzzing process, written anew for each input and removed at its exit.
struct ConfigFile {
  std::string path =
      (std::filesystem::temp_directory_path() / ("quorvin-fuzz-config-" + std::to_string(getpid()) + ".toml")).string();
  ~ConfigFile() {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
};

const std::string& config_path() {
  static const ConfigFile file;
  return file.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    std::ofstream file(config_path(), std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  checked_outcome(quorvin::cli::parse_command_line({"--config", config_path()}, 4));
  return 0;
}
