#include "run/sample_file.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <system_error>

#include "common/text.h"
#include "run/text_file.h"

namespace quorvin {
namespace {

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
  text += u"_signal_";
  text += utf8_to_utf16(std::to_string(index));
  text += utf8_to_utf16(extension);
  return {text, native_path(text)};
}

char* format_sample_value(char* out, double value) {
  if (std::isnan(value)) return std::copy_n("nan", 3, out);
  return std::to_chars(out, out + 16, value, std::chars_format::general, 6).ptr;
}

bool write_sample_file(const std::filesystem::path& path, const Signal& signal) {
  TextFileWriter writer(path);
  if (!writer.is_open()) return false;
  for (const Sample& sample : signal) {
    char line[40];
    char* end = format_sample_value(line, sample.real());
    *end++ = ',';
    end = format_sample_value(end, sample.imag());
    *end++ = '\r';
    *end++ = '\n';
    writer.append(std::string_view(line, static_cast<std::size_t>(end - line)));
  }
  return writer.finish();
}

}  // namespace quorvin
