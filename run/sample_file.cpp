#include "run/sample_file.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <fstream>
#include <system_error>

#include "common/text.h"
#include "run/atomic_file.h"

namespace quorvin {
namespace {

// In every output file name, between the modulation's name and the index.
constexpr std::string_view output_marker = "_signal_";

std::filesystem::path native_path(const std::u16string& text) {
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    return std::filesystem::path(std::wstring(text.begin(), text.end()));
  } else {
    return std::filesystem::path(utf16_to_utf8(text));
  }
}

}  // namespace

OutputPath output_file_path(std::u16string_view folder, std::string_view modulation_name,
                            std::int32_t index, std::string_view extension) {
  std::u16string text(folder);
  if (!text.empty()) text += static_cast<char16_t>(std::filesystem::path::preferred_separator);
  for (const char16_t c : utf8_to_utf16(modulation_name)) text += c == u'/' || c == u'\\' ? u'_' : c;
  text += utf8_to_utf16(output_marker);
  text += utf8_to_utf16(std::to_string(index));
  text += utf8_to_utf16(extension);
  return {text, native_path(text)};
}

std::filesystem::path output_folder_path(std::u16string_view folder) {
  return folder.empty() ? std::filesystem::path(".") : native_path(std::u16string(folder));
}

bool holds_no_output_files(const std::filesystem::path& folder) {
  // Letter case is compared for ASCII only, as Windows folds it: the marker is ASCII.
  const auto same_letter = [](auto name_char, char marker_char) {
    return (name_char >= 'A' && name_char <= 'Z' ? name_char - 'A' + 'a' : name_char) == marker_char;
  };
  std::error_code error;
  for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
    const std::filesystem::path file_name = entry->path().filename();
    const auto& name = file_name.native();  // wide on Windows, never converted
    if (std::search(name.begin(), name.end(), output_marker.begin(), output_marker.end(), same_letter) != name.end()) {
      return false;
    }
  }
  return !error;
}

char* format_sample_value(char* out, double value) {
  if (std::isnan(value)) return std::copy_n("nan", 3, out);
  return std::to_chars(out, out + 16, value, std::chars_format::general, 6).ptr;
}

void append_sample_lines(AtomicFileWriter& writer, std::span<const Sample> samples) {
  // Lines are formatted into a block that is handed over when nearly full, so the writer's
  // buffer is appended to once per block rather than once per line.
  constexpr std::size_t block_size = 16384;
  constexpr std::size_t longest_line = 40;  // two values of at most 16 characters, ",", CR LF
  char block[block_size];
  char* end = block;
  for (const Sample& sample : samples) {
    end = format_sample_value(end, sample.real());
    *end++ = ',';
    end = format_sample_value(end, sample.imag());
    *end++ = '\r';
    *end++ = '\n';
    if (static_cast<std::size_t>(end - block) > block_size - longest_line) {
      writer.append(std::string_view(block, static_cast<std::size_t>(end - block)));
      end = block;
    }
  }
  writer.append(std::string_view(block, static_cast<std::size_t>(end - block)));
}

bool write_sample_file(const std::filesystem::path& path, const Signal& signal) {
  AtomicFileWriter writer(path);
  append_sample_lines(writer, signal);
  return writer.finish();
}

void append_cf32_samples(AtomicFileWriter& writer, std::span<const Sample> samples) {
  // Samples go out in blocks, like the text lines, each value as its four little-endian bytes.
  constexpr std::size_t block_samples = 2048;
  char block[block_samples * 8];
  std::size_t used = 0;
  const auto put = [&block, &used](double value) {
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
    for (int shift = 0; shift < 32; shift += 8) block[used++] = static_cast<char>((bits >> shift) & 0xFF);
  };
  for (const Sample& sample : samples) {
    put(sample.real());
    put(sample.imag());
    if (used == sizeof block) {
      writer.append(std::string_view(block, used));
      used = 0;
    }
  }
  writer.append(std::string_view(block, used));
}

}  // namespace quorvin
