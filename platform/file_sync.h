#pragma once
// The file operations the standard library lacks, for the front ends to hand to the core.

#include <cstdio>
#include <filesystem>

namespace quorvin::platform {

// Flushes what was written through the open `file` to its storage device (stdio's buffer first);
// false when the device reports an error (a removed medium, say). fsync on POSIX,
// FlushFileBuffers on Windows, on the file's own descriptor or handle: no second open by name.
bool sync_file_to_storage(std::FILE* file);

// Holds the temporary `file`, just created at `path`, for as long as it stays open, so that
// remove_unheld_temporary leaves it: on POSIX an exclusive flock on its descriptor, then a check
// that `path` still names it (false when another run's clearing took it first); on Windows an
// open file cannot be deleted, so there is nothing to do. A file system without locks holds
// nothing and never fails here.
bool hold_temporary(std::FILE* file, const std::filesystem::path& path);

// Removes the leftover temporary at `path` unless a live writer holds it (hold_temporary); true
// when it was removed. A link or anything but a regular file is left alone.
bool remove_unheld_temporary(const std::filesystem::path& path);

}  // namespace quorvin::platform
