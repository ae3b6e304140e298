#include "writers/sample_file.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <system_error>

#include "common/text.h"
#include "common/vector_build.h"
#include "writers/atomic_file.h"

namespace quorvin {
namespace {

// 10^0 .. 10^22, each exact in a double.
constexpr std::array<double, 23> exact_powers = [] {
  std::array<double, 23> powers{};
  double power = 1.0;
  for (double& p : powers) {
    p = power;
    power *= 10.0;
  }
  return powers;
}();

// The six significant digits %.6g shows of a positive normal value, as m in 100000 .. 999999,
// and the decimal exponent of the first. Scaling by an exact power of ten rounds once, so the
// digits are printf's unless that rounding could have crossed a decimal midpoint: those few
// values, and those whose power of ten is not exact, return false for the exact conversion.
// Twice as fast as std::to_chars, which is the whole cost of a text sample file.
bool six_digits(double magnitude, std::int64_t& m, int& exponent) {
  const auto binary = static_cast<int>((std::bit_cast<std::uint64_t>(magnitude) >> 52) & 0x7FF) - 1023;
  // floor(log10(2) binary) is the decimal exponent or one below it; +400 floors by truncation.
  exponent = static_cast<int>(binary * 0.30102999566398120 + 400.0) - 400;
  double scaled = 0.0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int k = 5 - exponent;
    if (k > 22 || k < -22) return false;
    scaled = k >= 0 ? magnitude * exact_powers[static_cast<std::size_t>(k)]
                    : magnitude / exact_powers[static_cast<std::size_t>(-k)];
    if (scaled < 1e6) break;
    ++exponent;
  }
  if (scaled < 1e5 || scaled >= 1e6) return false;
  const auto whole = static_cast<std::int64_t>(scaled);
  const double fraction = scaled - static_cast<double>(whole);  // exact: below 2^53
  // The rounding moved `scaled` by at most 1.2e-10: keep far clear of the midpoint.
  if (std::abs(fraction - 0.5) < 1e-8) return false;
  m = whole + (fraction > 0.5 ? 1 : 0);
  if (m == 1000000) {
    m = 100000;
    ++exponent;
  }
  return true;
}

// The end of the digits once trailing zeros, and then a trailing point, are dropped.
char* without_trailing_zeros(char* begin, char* end) {
  while (end > begin && end[-1] == '0') --end;
  if (end > begin && end[-1] == '.') --end;
  return end;
}


// In every output file name, between the modulation's name and the index.
constexpr std::string_view output_marker = "_signal_";


}  // namespace

std::filesystem::path native_path(const std::u16string& text) {
  if constexpr (sizeof(wchar_t) == sizeof(char16_t)) {
    return std::filesystem::path(std::wstring(text.begin(), text.end()));
  } else {
    return std::filesystem::path(utf16_to_utf8(text));
  }
}

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
  std::int64_t m = 0;
  int exponent = 0;
  const double magnitude = std::abs(value);
  // Zeros, subnormals, infinities and the rare values the fast path cannot vouch for take the
  // library's exact conversion.
  if (!(magnitude >= 0x1p-1022 && magnitude <= 0x1.fffffffffffffp1023) || !six_digits(magnitude, m, exponent)) {
    return std::to_chars(out, out + 16, value, std::chars_format::general, 6).ptr;
  }
  char digits[6];
  const auto pair = [&digits](std::size_t at, std::int64_t two) {
    digits[at] = static_cast<char>('0' + two / 10);
    digits[at + 1] = static_cast<char>('0' + two % 10);
  };
  pair(0, m / 10000);
  pair(2, m / 100 % 100);
  pair(4, m % 100);
  char* p = out;
  if (value < 0.0) *p++ = '-';
  char* const start = p;
  // %g: fixed notation for decimal exponents -4 .. 5, else scientific; trailing zeros dropped.
  if (exponent >= -4 && exponent < 6) {
    if (exponent >= 0) {
      p = std::copy_n(digits, exponent + 1, p);
      *p++ = '.';
      p = std::copy_n(digits + exponent + 1, 5 - exponent, p);
    } else {
      *p++ = '0';
      *p++ = '.';
      p = std::fill_n(p, -exponent - 1, '0');
      p = std::copy_n(digits, 6, p);
    }
    return without_trailing_zeros(start, p);
  }
  *p++ = digits[0];
  *p++ = '.';
  p = without_trailing_zeros(start, std::copy_n(digits + 1, 5, p));
  *p++ = 'e';
  *p++ = exponent < 0 ? '-' : '+';
  const int e = std::abs(exponent);
  if (e >= 100) *p++ = static_cast<char>('0' + e / 100);
  *p++ = static_cast<char>('0' + e / 10 % 10);
  *p++ = static_cast<char>('0' + e % 10);
  return p;
}

namespace {

// Whether a block of sample text holds finite values only: "%.6g" writes "inf" and "nan" for the
// others, and never an 'n' otherwise. Cheaper than a test of every value as it is formatted.
bool finite_text(const char* begin, const char* end) {
  return std::memchr(begin, 'n', static_cast<std::size_t>(end - begin)) == nullptr;
}

// Whether both parts of every sample are finite.
bool all_finite(std::span<const Sample> samples) {
  return std::all_of(samples.begin(), samples.end(),
                     [](const Sample& x) { return std::isfinite(x.real()) && std::isfinite(x.imag()); });
}

}  // namespace

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
      if (!finite_text(block, end)) return writer.fail(std::string(non_finite_sample));
      writer.append(std::string_view(block, static_cast<std::size_t>(end - block)));
      end = block;
    }
  }
  if (!finite_text(block, end)) return writer.fail(std::string(non_finite_sample));
  writer.append(std::string_view(block, static_cast<std::size_t>(end - block)));
}

bool write_sample_file(const std::filesystem::path& path, const Signal& signal) {
  AtomicFileWriter writer(path);
  append_sample_lines(writer, signal);
  return writer.finish();
}

namespace {

// The values of `samples` (I then Q) as float32 into `to`; whether each is finite after the
// conversion (a double beyond float32's range becomes an infinity there).
#if defined(__GNUC__)
QUORVIN_WIDE_CLONES bool to_floats(std::span<const Sample> samples, float* to) {
  using Doubles = double __attribute__((vector_size(32)));
  using Floats = float __attribute__((vector_size(16)));
  using Words = std::uint32_t __attribute__((vector_size(16)));
  using Mask = std::int32_t __attribute__((vector_size(16)));
  constexpr std::uint32_t exponent = 0x7F800000;  // all ones: an infinity or a NaN
  const std::size_t values = 2 * samples.size();
  const auto* from = reinterpret_cast<const double*>(samples.data());
  Mask unfinished = {0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 4 <= values; i += 4) {
    Doubles wide;
    std::memcpy(&wide, from + i, sizeof wide);
    const Floats narrow = __builtin_convertvector(wide, Floats);
    std::memcpy(to + i, &narrow, sizeof narrow);
    Words bits;
    std::memcpy(&bits, &narrow, sizeof bits);
    unfinished |= (bits & exponent) == exponent;
  }
  bool finite = (unfinished[0] | unfinished[1] | unfinished[2] | unfinished[3]) == 0;
  for (; i < values; ++i) {
    to[i] = static_cast<float>(from[i]);
    finite = finite && std::isfinite(to[i]);
  }
  return finite;
}
#else
bool to_floats(std::span<const Sample> samples, float* to) {
  bool finite = true;
  for (std::size_t k = 0; k < samples.size(); ++k) {
    to[2 * k] = static_cast<float>(samples[k].real());
    to[2 * k + 1] = static_cast<float>(samples[k].imag());
    finite = finite && std::isfinite(to[2 * k]) && std::isfinite(to[2 * k + 1]);
  }
  return finite;
}
#endif

}  // namespace

void append_cf32_samples(AtomicFileWriter& writer, std::span<const Sample> samples) {
  // Samples go out in blocks, like the text lines, each value as its four little-endian bytes:
  // on a little-endian machine the floats' own bytes, copied whole.
  constexpr std::size_t block_samples = 2048;
  // Each block's values are written before they are read: no zeros first.
  std::array<float, 2 * block_samples> values;
  for (std::size_t at = 0; at < samples.size(); at += block_samples) {
    const std::size_t count = std::min(block_samples, samples.size() - at);
    if (!to_floats(samples.subspan(at, count), values.data())) return writer.fail(std::string(non_finite_sample));
    if constexpr (std::endian::native == std::endian::little) {
      writer.append(std::string_view(reinterpret_cast<const char*>(values.data()), 2 * count * sizeof(float)));
    } else {
      std::array<char, sizeof values> bytes{};
      for (std::size_t i = 0; i < 2 * count; ++i) {
        const auto bits = std::bit_cast<std::uint32_t>(values[i]);
        for (std::size_t b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<char>((bits >> (8 * b)) & 0xFF);
      }
      writer.append(std::string_view(bytes.data(), 8 * count));
    }
  }
}

void append_ci16_samples(AtomicFileWriter& writer, std::span<const Sample> samples, double scale) {
  constexpr std::size_t block_samples = 2048;
  std::array<char, 4 * block_samples> bytes{};
  // A scale of none (a full scale that overflowed) would write every level 0 or saturated.
  if (!(std::isfinite(scale) && scale > 0.0)) return writer.fail(std::string(non_finite_sample));
  const auto level = [scale](double x) {
    const double scaled = std::round(x * scale);
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(scaled, -32767.0, 32767.0)));
  };
  for (std::size_t at = 0; at < samples.size(); at += block_samples) {
    const std::size_t count = std::min(block_samples, samples.size() - at);
    if (!all_finite(samples.subspan(at, count))) return writer.fail(std::string(non_finite_sample));
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint16_t parts[2] = {level(samples[at + k].real()), level(samples[at + k].imag())};
      for (std::size_t i = 0; i < 2; ++i) {
        bytes[4 * k + 2 * i] = static_cast<char>(parts[i] & 0xFF);
        bytes[4 * k + 2 * i + 1] = static_cast<char>(parts[i] >> 8);
      }
    }
    writer.append(std::string_view(bytes.data(), 4 * count));
  }
}

}  // namespace quorvin
