#pragma once
// The one file operation the standard library lacks, for the front ends to hand to the core.

#include <filesystem>

namespace quorvin::platform {

// Flushes the closed file's data to its storage device; false when the device reports an error
// (a removed medium, say). fsync on POSIX, FlushFileBuffers on Windows.
bool sync_file_to_storage(const std::filesystem::path& file);

}  // namespace quorvin::platform
