#include "run/text_file.h"

#include <atomic>
#include <cerrno>
#include <algorithm>
#include <chrono>
#include <climits>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quorvin {
namespace {

std::atomic<bool> abandoned{false};

constexpr std::string_view temporary_suffix = ".partial";
constexpr std::size_t kept_name_length = 200;

// The few file operations the writer needs, on descriptors, so that every write and close
// error is seen (a stream would hide some in its destructor).
#ifdef _WIN32
int open_new(const std::filesystem::path& path) {
  return _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
int open_existing(const std::filesystem::path& path) {
  return _wopen(path.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
}
bool write_some(int fd, const char* data, std::size_t size, std::size_t& written) {
  const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(size, std::size_t{1} << 30));
  const int n = _write(fd, data, chunk);
  if (n < 0) return false;
  written = static_cast<std::size_t>(n);
  return true;
}
bool sync_file(int fd) { return _commit(fd) == 0; }
bool close_file(int fd) { return _close(fd) == 0; }
void copy_permissions(int, int) {}  // the read-only attribute is checked, nothing else to keep
bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
std::uint32_t process_number() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }
#else
int open_new(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
}
int open_existing(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
}
bool write_some(int fd, const char* data, std::size_t size, std::size_t& written) {
  const ssize_t n = ::write(fd, data, std::min<std::size_t>(size, std::size_t{1} << 30));
  if (n < 0) {
    written = 0;
    return errno == EINTR;
  }
  written = static_cast<std::size_t>(n);
  return n > 0;
}
bool sync_file(int fd) { return ::fsync(fd) == 0; }
bool close_file(int fd) { return ::close(fd) == 0; }
// The replaced file keeps its mode; the owner stays whoever writes it.
void copy_permissions(int from, int to) {
  struct stat info {};
  if (::fstat(from, &info) == 0) (void)::fchmod(to, info.st_mode & 07777);
}
bool replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}
std::uint32_t process_number() { return static_cast<std::uint32_t>(::getpid()); }
#endif

bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    std::size_t written = 0;
    if (!write_some(fd, data, size, written)) return false;
    data += written;
    size -= written;
  }
  return true;
}

// A fresh nonce per attempt: the exclusive create makes a clash harmless, this makes it rare.
std::uint32_t next_nonce() {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t z = counter.fetch_add(1) + 0x9E3779B97F4A7C15ull * process_number() +
                    static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<std::uint32_t>(z ^ (z >> 31));
}

// Where a write through `path` lands: the file a symbolic link names, otherwise the path itself.
std::filesystem::path resolved_target(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) return path;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
  return error ? path : resolved;
}

enum class TargetKind { refused, absent, regular, device };

// What stands at the final name, and whether this user could write it. An existing file is
// opened for writing (without truncating) to ask the system rather than guess from mode bits:
// renaming over a read-only file would succeed on POSIX.
TargetKind classify(const std::filesystem::path& target, int* probe) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(target, error);
  if (status.type() == std::filesystem::file_type::not_found) return TargetKind::absent;
  if (error || std::filesystem::is_directory(status)) return TargetKind::refused;
  const int fd = open_existing(target);
  if (fd < 0) return TargetKind::refused;
  if (probe != nullptr) {
    *probe = fd;
  } else {
    close_file(fd);
  }
  return std::filesystem::is_regular_file(status) ? TargetKind::regular : TargetKind::device;
}

}  // namespace

std::filesystem::path temporary_file_path(const std::filesystem::path& target, std::uint32_t nonce) {
  auto name = target.filename().native();
  if (name.size() > kept_name_length) {
    std::size_t cut = kept_name_length;
    // Never split a UTF-8 sequence (a wide name is cut by units, which Windows accepts).
    if constexpr (sizeof(name[0]) == 1) {
      while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    }
    name.resize(cut);
  }
  static constexpr char hex[] = "0123456789abcdef";
  std::string tail = ".";
  for (int shift = 28; shift >= 0; shift -= 4) tail += hex[(nonce >> shift) & 0xF];
  tail += temporary_suffix;
  std::filesystem::path file = std::filesystem::path(".").native() + name;
  file += tail;
  return target.parent_path() / file;
}

bool is_temporary_file_name(std::string_view name) {
  constexpr std::size_t nonce_length = 9;  // "." and 8 hex digits
  if (name.size() < 1 + nonce_length + temporary_suffix.size() || name[0] != '.' ||
      !name.ends_with(temporary_suffix)) {
    return false;
  }
  const std::string_view nonce = name.substr(name.size() - temporary_suffix.size() - nonce_length, nonce_length);
  if (nonce[0] != '.') return false;
  for (const char c : nonce.substr(1)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void set_writes_abandoned(bool value) { abandoned.store(value); }
bool writes_abandoned() { return abandoned.load(); }

TextFileWriter::TextFileWriter(std::filesystem::path path) : target_(resolved_target(path)) {
  int existing = -1;
  const TargetKind kind = classify(target_, &existing);
  if (kind == TargetKind::refused) return;
  if (kind == TargetKind::device) {
    descriptor_ = existing;
  } else {
    for (int attempt = 0; attempt < 16 && descriptor_ < 0; ++attempt) {
      temporary_ = temporary_file_path(target_, next_nonce());
      descriptor_ = open_new(temporary_);
      if (descriptor_ < 0 && errno != EEXIST) break;
    }
    if (descriptor_ < 0) temporary_.clear();
    if (descriptor_ >= 0 && existing >= 0) copy_permissions(existing, descriptor_);
    if (existing >= 0) close_file(existing);
  }
  if (descriptor_ >= 0) buffer_.reserve(flush_size + 256);
}

TextFileWriter::~TextFileWriter() {
  if (is_open()) discard();
}

void TextFileWriter::flush() {
  if (abandoned.load()) failed_ = true;
  if (!failed_ && !buffer_.empty() && !write_all(descriptor_, buffer_.data(), buffer_.size())) failed_ = true;
  buffer_.clear();
}

void TextFileWriter::discard() {
  close_file(descriptor_);
  descriptor_ = -1;
  // Only ever the temporary file: a device written in place, or an earlier file, stays.
  if (!temporary_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
  }
}

bool TextFileWriter::finish() {
  if (!is_open()) return false;
  flush();
  if (temporary_.empty()) {
    const bool closed = close_file(descriptor_);
    descriptor_ = -1;
    return closed && !failed_;
  }
  // Flushed to the disk before the rename, so that the final name never points at data that a
  // crash of the machine could still lose.
  if (failed_ || !sync_file(descriptor_)) {
    discard();
    return false;
  }
  const bool closed = close_file(descriptor_);
  descriptor_ = -1;
  // The target may have become a folder or a read-only file meanwhile; the rename would not
  // refuse the latter on POSIX.
  if (!closed || abandoned.load() || classify(target_, nullptr) == TargetKind::refused ||
      !replace_file(temporary_, target_)) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
    return false;
  }
  return true;
}

}  // namespace quorvin
