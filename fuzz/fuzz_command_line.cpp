// quorvin-cli's command-line parser on arbitrary arguments: the input split at NUL bytes.
// Properties: it never throws and never touches a file; a refused line has status 2, text on
// standard error only; help and lists have status 0 and text on standard output only; an
// accepted run names at least one modulation, 1 to 1024 jobs and a shard K < N.

#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments(1);
  for (std::size_t i = 0; i < size && arguments.size() <= 64; ++i) {
    if (data[i] == 0) {
      arguments.emplace_back();
    } else {
      arguments.back() += static_cast<char>(data[i]);
    }
  }
  if (size == 0) arguments.clear();
  const auto parsed = quorvin::cli::parse_command_line(arguments, 4);
  if (const auto* exit = std::get_if<quorvin::cli::ImmediateExit>(&parsed)) {
    QUORVIN_FUZZ_CHECK(exit->status == 0 || exit->status == 2);
    if (exit->status == 2) {
      QUORVIN_FUZZ_CHECK(exit->out_text.empty() && !exit->error_text.empty());
    } else {
      QUORVIN_FUZZ_CHECK(!exit->out_text.empty() && exit->error_text.empty());
    }
    return 0;
  }
  const auto& request = std::get<quorvin::cli::RunRequest>(parsed);
  QUORVIN_FUZZ_CHECK(!request.settings.modulations.empty());
  QUORVIN_FUZZ_CHECK(request.jobs >= 1 && request.jobs <= 1024);
  QUORVIN_FUZZ_CHECK(request.shard.count >= 1 && request.shard.index < request.shard.count);
  return 0;
}
