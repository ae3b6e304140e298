#pragma once
// A file of options (--config FILE): one grammar, a subset of TOML, read here for every front end
// (quorvin-cli, quorvin.Config.from_file, quorvin.Dataset.from_file, python3 -m
// quorvin.distributed). docs/reference/config.md describes it.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quorvin {

// One key of the file, its value as the command line takes it.
struct ConfigEntry {
  std::string option;  // the long option the key names, "--sample-rate", "--modulations"
  std::string key;     // as the file writes it, "sample-rate", "m"
  std::string text;    // a list's items joined by commas; a flag's "true" or "false"
  std::size_t line = 0;
};

// A file's entries in file order, each option once.
using ConfigEntries = std::vector<ConfigEntry>;

// Why a file gives no entries: "--config NAME: line 3: ...", "--config NAME is a folder; ...".
struct ConfigRefusal {
  std::string text;
  bool unreadable = false;  // no such file, or not permitted: "--config NAME cannot be read"
};

// A file of options is a page of text: a device, a FIFO or a huge file would be read without end
// (or wait for a writer) before anything is checked. Bytes.
inline constexpr std::uintmax_t largest_config_file = std::uintmax_t{1} << 20;

// The entries of `text`, refusals naming the file as `name` (as typed): keys checked against the
// options (a misspelt one with the nearest), each option once, values of the option's type, the
// control options' values (seed, jobs, shard, format) checked as the command line checks them.
std::variant<ConfigEntries, ConfigRefusal> parse_config_text(std::string_view text, std::string_view name);

// The file at `path` (named `name`), read when it is a regular file of at most
// largest_config_file bytes, through parse_config_text.
std::variant<ConfigEntries, ConfigRefusal> read_config_file(const std::filesystem::path& path, std::string_view name);

// A file of payloads is at most this many bytes: about 8000 of 802.11a/g's longest PSDU.
inline constexpr std::uintmax_t largest_payload_file = std::uintmax_t{64} << 20;

// The text of the file of payloads at `path` (named `name` as typed), for the --payload option's
// reader (plan/payloads.h): a regular file of at most largest_payload_file bytes holding at least
// one line; else why not, "--payload NAME cannot be read".
std::variant<std::string, ConfigRefusal> read_payload_file(const std::filesystem::path& path, std::string_view name);

}  // namespace quorvin
