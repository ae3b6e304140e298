#include "run/sigmf_collection.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include "common/sha512.h"
#include "common/text.h"
#include "run/sample_file.h"

namespace quorvin {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Every byte of the file at `path` into `digest`; the system's reason when it cannot be read.
std::optional<std::string> read_into(const std::filesystem::path& path, const std::function<void(std::string_view)>& digest) {
#ifdef _WIN32
  std::unique_ptr<std::FILE, FileCloser> file(_wfopen(path.c_str(), L"rb"));
#else
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
#endif
  if (!file) return std::string(std::strerror(errno));
  std::string buffer(std::size_t{1} << 20, '\0');
  for (;;) {
    const std::size_t read = std::fread(buffer.data(), 1, buffer.size(), file.get());
    digest(std::string_view(buffer.data(), read));
    if (read < buffer.size()) break;
  }
  if (std::ferror(file.get()) != 0) return std::string("a read failed");
  return std::nullopt;
}

}  // namespace

SigmfCollection::SigmfCollection(const RunSettings& settings, std::string name, const WriteContext& write)
    : settings_(settings), name_(std::move(name)), write_(write) {
  const std::filesystem::path folder = output_folder_path(settings.output_folder);
  const std::string file_name = name_ + ".sigmf-collection";
  path_ = settings.output_folder.empty() ? std::filesystem::path(file_name) : folder / file_name;
  const std::u8string text = path_.u8string();
  path_text_.assign(text.begin(), text.end());
}

bool SigmfCollection::fail(std::string reason) {
  if (failure_.empty()) failure_ = std::move(reason);
  return false;
}

bool SigmfCollection::add(const PlannedFile& file) {
  if (!failure_.empty()) return false;
  const OutputPath data = output_file_path(settings_.output_folder, file.modulation, file.index, ".sigmf-data");
  const OutputPath meta = output_file_path(settings_.output_folder, file.modulation, file.index, ".sigmf-meta");
  const std::string data_name = utf16_to_utf8(data.text);
  const std::string meta_name = utf16_to_utf8(meta.text);
  Sha512 data_digest;
  if (const auto problem = read_into(data.file_system, [&](std::string_view bytes) { data_digest.add(bytes); })) {
    return fail(data_name + ": cannot be read back for its digest (" + *problem + ")");
  }
  std::string text;
  if (const auto problem = read_into(meta.file_system, [&](std::string_view bytes) { text.append(bytes); })) {
    return fail(meta_name + ": cannot be read back (" + *problem + ")");
  }
  try {
    text = with_data_sha512(text, data_digest.hex());
  } catch (const std::invalid_argument&) {
    return fail(meta_name + ": is no longer the metadata this run wrote");
  }
  AtomicFileWriter writer(meta.file_system, write_);
  writer.append(text);
  if (!writer.finish()) return fail(meta_name + ": " + writer.failure());
  // The recording's base name: the metadata's file name without its extension.
  const std::u8string stem = meta.file_system.stem().u8string();
  streams_.push_back({std::string(stem.begin(), stem.end()), sha512_hex(text)});
  return true;
}

bool SigmfCollection::finish() {
  if (!failure_.empty()) return false;
  AtomicFileWriter writer(path_, write_);
  writer.append(sigmf_collection(streams_, "Synthetic recordings of one run, each with known channel parameters"));
  if (!writer.finish()) return fail(writer.failure());
  return true;
}

}  // namespace quorvin
