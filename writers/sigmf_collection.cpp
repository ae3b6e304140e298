#include "writers/sigmf_collection.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

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
  std::vector<std::uint8_t> buffer(std::size_t{1} << 20);
  std::size_t read = buffer.size();
  while (read == buffer.size()) {
    read = std::fread(buffer.data(), 1, buffer.size(), file.get());
    digest.add(std::span<const std::uint8_t>(buffer.data(), read));
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
