#include "writers/sigmf_collection.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>

#include "common/sha512.h"
#include "common/text.h"
#include "writers/sample_file.h"

namespace quorvin {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::string file_sha512(const std::filesystem::path& path, const std::string& name) {
#ifdef _WIN32
  std::unique_ptr<std::FILE, FileCloser> file(_wfopen(path.c_str(), L"rb"));
#else
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
#endif
  if (!file) throw std::runtime_error(name + ": cannot be read back for its digest (" + std::strerror(errno) + ")");
  Sha512 digest;
  // Left unfilled: a run reads back one short metadata file per recording, and clearing a large
  // buffer each time cost more than the read and its digest.
  constexpr std::size_t buffer_size = std::size_t{1} << 16;
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(buffer_size);
  std::size_t read = buffer_size;
  while (read == buffer_size) {
    read = std::fread(buffer.get(), 1, buffer_size, file.get());
    digest.add(std::span<const std::uint8_t>(buffer.get(), read));
  }
  if (std::ferror(file.get()) != 0) throw std::runtime_error(name + ": cannot be read back for its digest (a read failed)");
  return digest.hex();
}

SigmfCollection::SigmfCollection(const RunSettings& settings, std::string name, const WriteContext& write)
    : settings_(settings), name_(std::move(name)), write_(write) {
  const std::filesystem::path folder = output_folder_path(settings.output_folder);
  const std::string file_name = name_ + ".sigmf-collection";
  path_ = settings.output_folder.empty() ? std::filesystem::path(file_name) : folder / file_name;
  const std::u8string text = path_.u8string();
  path_text_.assign(text.begin(), text.end());
}

bool SigmfCollection::add(const PlannedFile& file) {
  if (!failure_.empty()) return false;
  const OutputPath meta = output_file_path(settings_.output_folder, file.modulation, file.index, ".sigmf-meta");
  try {
    // The recording's base name: the metadata's file name without its extension.
    const std::u8string stem = meta.file_system.stem().u8string();
    streams_.push_back({std::string(stem.begin(), stem.end()), file_sha512(meta.file_system, utf16_to_utf8(meta.text))});
    return true;
  } catch (const std::runtime_error& e) {
    failure_ = e.what();
    return false;
  }
}

bool SigmfCollection::finish() {
  if (!failure_.empty()) return false;
  AtomicFileWriter writer(path_, write_);
  writer.append(sigmf_collection(streams_, "Synthetic recordings of one run, each with known channel parameters"));
  if (!writer.finish()) failure_ = writer.failure();
  return failure_.empty();
}

}  // namespace quorvin
