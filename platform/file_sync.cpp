#include "platform/file_sync.h"

#include <stdio.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace quorvin::platform {

bool sync_file_to_storage(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
#ifdef _WIN32
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle) != 0;
#else
  return ::fsync(::fileno(file)) == 0;
#endif
}

}  // namespace quorvin::platform
