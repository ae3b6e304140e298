#include "platform/file_sync.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace quorvin::platform {

bool sync_file_to_storage(const std::filesystem::path& file) {
#ifdef _WIN32
  const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  const bool flushed = FlushFileBuffers(handle) != 0;
  return CloseHandle(handle) != 0 && flushed;
#else
  // fsync acts on the file, not on the descriptor that wrote it, so a fresh one serves.
  const int descriptor = ::open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) return false;
  const bool flushed = ::fsync(descriptor) == 0;
  return ::close(descriptor) == 0 && flushed;
#endif
}

}  // namespace quorvin::platform
