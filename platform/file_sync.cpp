#include "platform/file_sync.h"

#include <stdio.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

#ifdef _WIN32

bool hold_temporary(std::FILE*, const std::filesystem::path&) { return true; }

bool remove_unheld_temporary(const std::filesystem::path& path) {
  // The C runtime opens files without FILE_SHARE_DELETE: a writer's open temporary stays.
  return DeleteFileW(path.c_str()) != 0;
}

#else

namespace {

// `path` names the file open on `descriptor` (a link is never the same file).
bool names_open_file(const std::filesystem::path& path, int descriptor) {
  struct stat opened {}, named {};
  return ::fstat(descriptor, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
}

}  // namespace

bool hold_temporary(std::FILE* file, const std::filesystem::path& path) {
  const int descriptor = ::fileno(file);
  if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) return errno != EWOULDBLOCK;  // held: a clearing run has it
  return names_open_file(path, descriptor);
}

bool remove_unheld_temporary(const std::filesystem::path& path) {
  // Non-blocking: a FIFO of that name must not stall the run.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return false;
  struct stat opened {};
  const bool removed = ::fstat(descriptor, &opened) == 0 && S_ISREG(opened.st_mode) &&
                       ::flock(descriptor, LOCK_EX | LOCK_NB) == 0 && names_open_file(path, descriptor) &&
                       ::unlink(path.c_str()) == 0;
  ::close(descriptor);
  return removed;
}

#endif

}  // namespace quorvin::platform
