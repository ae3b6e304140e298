#pragma once
// Writing a whole output file so that its final name only ever holds a complete file.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace quorvin {

// The temporary name a file is written under before it is renamed to `target`: in the same
// folder, ".<name>.<nonce as 8 hex digits>.partial", the name cut to 200 characters so that the
// temporary name stays within the file system's limit whenever the final one does. A leftover
// one means a process was killed while writing it; it is never a result.
std::filesystem::path temporary_file_path(const std::filesystem::path& target, std::uint32_t nonce);

// True for a file name made by temporary_file_path.
bool is_temporary_file_name(std::string_view file_name);

// When set, every writer in the process gives up at its next write or at finish(): the
// temporary file is removed, the final name is left as it was, and finish() returns false.
// Used when a second interrupt asks to abandon the files in flight.
void set_writes_abandoned(bool abandoned);
bool writes_abandoned();

// Flushes a closed file's data to its storage; false when the device reports an error. The
// standard library has no such call, so a front end installs its platform's one at start-up;
// without one, files are renamed into place once the system has accepted every byte.
using FileSync = bool (*)(const std::filesystem::path& file);
void set_file_sync(FileSync sync);

// Collects text in a large buffer and writes it out in few large writes (binary, so the bytes
// are the same on every platform), replacing `path` only when everything was written:
// - a regular file (or none yet) is written to a temporary file beside it (temporary_file_path),
//   closed, flushed to the disk (see set_file_sync) and renamed over the final name (a replacing
//   rename on Windows too), keeping the permissions of the file it replaces. On any failure the temporary file is
//   removed and an earlier file of that name is left intact;
// - a symbolic link is followed: the file it names is replaced, the link stays;
// - a target that exists but is no regular file (a device such as /dev/full) is written in
//   place, nothing is renamed or removed;
// - a folder, a file the user may not write, and a folder that does not exist are refused at
//   once (is_open() is false), and no folder is ever created.
class TextFileWriter {
 public:
  explicit TextFileWriter(std::filesystem::path path);
  ~TextFileWriter();  // discards an unfinished file
  TextFileWriter(const TextFileWriter&) = delete;
  TextFileWriter& operator=(const TextFileWriter&) = delete;

  bool is_open() const { return open_; }

  // Appends text; writes the buffer out when it is full.
  void append(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= flush_size) flush();
  }

  // Writes what is left, closes and puts the file under its final name; true only when every
  // byte reached the file and the file is in place.
  bool finish();

 private:
  static constexpr std::size_t flush_size = std::size_t{1} << 20;
  void flush();
  void discard();

  std::filesystem::path target_;     // the final file, symbolic links followed
  std::filesystem::path temporary_;  // empty when writing a device in place
  std::ofstream stream_;
  bool open_ = false;
  bool failed_ = false;
  std::string buffer_;
};

}  // namespace quorvin
