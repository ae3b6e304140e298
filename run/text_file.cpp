#include "run/text_file.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <system_error>

namespace quorvin {
namespace {

std::atomic<bool> abandoned{false};
std::atomic<FileSync> file_sync{nullptr};

constexpr std::string_view temporary_suffix = ".partial";
constexpr std::size_t kept_name_length = 200;

// Binary, so that the bytes are the same everywhere; unbuffered, since the writer batches the
// text into large writes itself.
void open_for_writing(std::ofstream& stream, const std::filesystem::path& path, std::ios::openmode mode) {
  stream.rdbuf()->pubsetbuf(nullptr, 0);
  stream.open(path, std::ios::out | std::ios::binary | mode);
}

// Whether this user may write the existing file: opening it to append changes nothing and asks
// the system rather than guessing from mode bits (a rename over a read-only file would succeed).
bool is_writable(const std::filesystem::path& path) {
  std::ofstream probe;
  open_for_writing(probe, path, std::ios::app);
  return probe.is_open();
}

// A fresh nonce per temporary file; an existing name is never reused, so a clash only costs a
// retry.
std::uint32_t next_nonce() {
  static const std::uint64_t base = [] {
    std::random_device device;
    return (std::uint64_t{device()} << 32) ^ device();
  }();
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t z = base + 0x9E3779B97F4A7C15ull * (counter.fetch_add(1) + 1) +
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

// What stands at the final name, and whether this user could write it.
TargetKind classify(const std::filesystem::path& target) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(target, error);
  if (status.type() == std::filesystem::file_type::not_found) return TargetKind::absent;
  if (error || std::filesystem::is_directory(status) || !is_writable(target)) return TargetKind::refused;
  return std::filesystem::is_regular_file(status) ? TargetKind::regular : TargetKind::device;
}

bool sync_to_storage(const std::filesystem::path& file) {
  const FileSync sync = file_sync.load();
  return sync == nullptr || sync(file);
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
void set_file_sync(FileSync sync) { file_sync.store(sync); }

TextFileWriter::TextFileWriter(std::filesystem::path path) : target_(resolved_target(path)) {
  const TargetKind kind = classify(target_);
  if (kind == TargetKind::refused) return;
  if (kind == TargetKind::device) {
    open_for_writing(stream_, target_, std::ios::trunc);
  } else {
    for (int attempt = 0; attempt < 16 && !stream_.is_open(); ++attempt) {
      temporary_ = temporary_file_path(target_, next_nonce());
      std::error_code error;
      if (std::filesystem::exists(std::filesystem::symlink_status(temporary_, error))) continue;
      open_for_writing(stream_, temporary_, std::ios::trunc);
      if (!stream_.is_open()) break;  // the folder refuses new files
    }
    if (!stream_.is_open()) {
      temporary_.clear();
    } else if (kind == TargetKind::regular) {
      // The replaced file's mode carries over (failing that, the default). It was writable, and
      // a read-only temporary could not be removed on Windows, so the owner keeps write access.
      std::error_code ignored;
      const auto mode = std::filesystem::status(target_, ignored).permissions() | std::filesystem::perms::owner_write;
      std::filesystem::permissions(temporary_, mode, std::filesystem::perm_options::replace, ignored);
    }
  }
  open_ = stream_.is_open();
  if (open_) buffer_.reserve(flush_size + 256);
}

TextFileWriter::~TextFileWriter() {
  if (is_open()) discard();
}

void TextFileWriter::flush() {
  if (abandoned.load()) failed_ = true;
  if (!failed_ && !buffer_.empty()) {
    stream_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    if (!stream_.good()) failed_ = true;
  }
  buffer_.clear();
}

void TextFileWriter::discard() {
  stream_.close();
  open_ = false;
  // Only ever the temporary file: a device written in place, or an earlier file, stays.
  if (!temporary_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
  }
}

bool TextFileWriter::finish() {
  if (!is_open()) return false;
  flush();
  stream_.close();  // fails when the last bytes cannot be written out (a full disk)
  open_ = false;
  const bool written = !failed_ && !stream_.fail();
  if (temporary_.empty()) return written;
  // On the storage before the rename, so that the final name never points at data that a crash
  // of the machine could still lose, and so that errors the device reports late are seen.
  // The target may have become a folder or a read-only file meanwhile.
  const bool ready = written && sync_to_storage(temporary_) && !abandoned.load() &&
                     classify(target_) != TargetKind::refused;
  std::error_code error;
  if (ready) std::filesystem::rename(temporary_, target_, error);  // replaces an earlier file
  if (!ready || error) {
    std::filesystem::remove(temporary_, error);
    return false;
  }
  return true;
}

}  // namespace quorvin
