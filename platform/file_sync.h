#pragma once
// The one file operation the standard library lacks, for the front ends to hand to the core.

#include <cstdio>

namespace quorvin::platform {

// Flushes what was written through the open `file` to its storage device (stdio's buffer first);
// false when the device reports an error (a removed medium, say). fsync on POSIX,
// FlushFileBuffers on Windows, on the file's own descriptor or handle: no second open by name.
bool sync_file_to_storage(std::FILE* file);

}  // namespace quorvin::platform
