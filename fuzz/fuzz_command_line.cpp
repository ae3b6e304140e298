// quorvin-cli's command-line parser on arbitrary arguments: the input split at NUL bytes.
// Properties: it never throws and never writes a file; its outcomes hold what every parse holds
// (fuzz_cli_checks.h), and an accepted run has 1 to 1024 jobs and a shard K < N.

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_cli_checks.h"

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
  const quorvin::cli::RunRequest* request = checked_outcome(parsed);
  if (request == nullptr) return 0;
  QUORVIN_FUZZ_CHECK(request->jobs >= 1 && request->jobs <= 1024);
  QUORVIN_FUZZ_CHECK(request->shard.count >= 1 && request->shard.index < request->shard.count);
  return 0;
}
