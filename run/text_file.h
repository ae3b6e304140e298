#pragma once
// Buffered writing of a whole output file that either completes or leaves nothing behind.

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace quorvin {

// Creates or truncates `path` (binary mode, so the bytes are the same on every platform) and
// collects text in a large buffer written out in few large writes. A file that was opened but
// could not be finished completely is removed.
class TextFileWriter {
 public:
  explicit TextFileWriter(std::filesystem::path path);
  ~TextFileWriter();
  TextFileWriter(const TextFileWriter&) = delete;
  TextFileWriter& operator=(const TextFileWriter&) = delete;

  bool is_open() const { return opened_; }

  // Appends text; flushes the buffer when it is full.
  void append(std::string_view text) {
    buffer_.append(text);
    if (buffer_.size() >= flush_size) flush();
  }

  // Writes what is left and closes; true only when every byte reached the file.
  bool finish();

 private:
  static constexpr std::size_t flush_size = std::size_t{1} << 20;
  void flush();
  void discard();

  std::filesystem::path path_;
  std::ofstream stream_;
  std::string buffer_;
  bool opened_ = false;
  bool finished_ = false;
};

}  // namespace quorvin
