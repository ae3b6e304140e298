#include "cli/terminal.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "common/text.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quorvin::cli {
namespace {

// Closed standard streams are opened on the null device before any file is: otherwise the
// first file opened would take descriptor 1 or 2 and report text would land inside it.
void open_closed_standard_streams() {
#ifdef _WIN32
  // The C runtime keeps descriptors 0 to 2 reserved, so only the missing handle needs a home.
  const std::pair<DWORD, std::FILE*> streams[] = {{STD_OUTPUT_HANDLE, stdout}, {STD_ERROR_HANDLE, stderr}};
  for (const auto& [id, stream] : streams) {
    const HANDLE handle = GetStdHandle(id);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) (void)std::freopen("NUL", "wb", stream);
  }
#else
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is the closed one itself.
    const int opened = ::open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != descriptor) {
      dup2(opened, descriptor);
      ::close(opened);
    }
  }
#endif
}

}  // namespace

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  std::vector<std::string> arguments;
#ifdef _WIN32
  (void)argc;
  (void)argv;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; wide != nullptr && i < count; ++i) {
    const std::wstring argument(wide[i]);
    arguments.push_back(quorvin::utf16_to_utf8(std::u16string(argument.begin(), argument.end())));
  }
  LocalFree(wide);
#else
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
#endif
  return arguments;
}

std::size_t help_width() {
#ifndef _WIN32
  winsize size{};
  if (isatty(STDOUT_FILENO) != 0 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  const char* columns = std::getenv("COLUMNS");
  const long value = columns != nullptr ? std::strtol(columns, nullptr, 10) : 0;
  return value > 0 && value < 1000 ? static_cast<std::size_t>(value) : 80;
}

bool error_stream_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

bool report_shares_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdout)) != 0 && _isatty(_fileno(stderr)) != 0;  // one console
#else
  struct stat out {};
  struct stat error {};
  return isatty(STDOUT_FILENO) != 0 && isatty(STDERR_FILENO) != 0 && fstat(STDOUT_FILENO, &out) == 0 &&
         fstat(STDERR_FILENO, &error) == 0 && out.st_rdev == error.st_rdev;
#endif
}

bool write_text(std::FILE* stream, const std::string& text) {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  return std::fflush(stream) == 0 && written;
}

void prepare_standard_streams() {
  open_closed_standard_streams();
#ifdef _WIN32
  // Report lines are UTF-8 with "\n" line ends, the same bytes as on every other platform.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

}  // namespace quorvin::cli
