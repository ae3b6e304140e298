#include "run/text_file.h"

#include <system_error>

namespace quorvin {

TextFileWriter::TextFileWriter(std::filesystem::path path) : path_(std::move(path)) {
  // Unbuffered: the writer's own buffer already batches the output into large writes.
  stream_.rdbuf()->pubsetbuf(nullptr, 0);
  stream_.open(path_, std::ios::out | std::ios::binary | std::ios::trunc);
  opened_ = stream_.is_open();
  if (opened_) buffer_.reserve(flush_size + 256);
}

TextFileWriter::~TextFileWriter() {
  if (opened_ && !finished_) discard();
}

void TextFileWriter::flush() {
  if (!buffer_.empty() && stream_.good()) {
    stream_.write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  }
  buffer_.clear();
}

void TextFileWriter::discard() {
  stream_.close();
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

bool TextFileWriter::finish() {
  if (!opened_ || finished_) return false;
  flush();
  stream_.close();  // sets failbit when the final write-out or the close fails (a full disk)
  finished_ = true;
  if (stream_.fail()) {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
    return false;
  }
  return true;
}

}  // namespace quorvin
