#include "common/limits.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace quorvin {

std::string sample_limit_message(double count) {
  const std::string limit = std::to_string(max_samples_per_file);
  if (!std::isfinite(count)) {
    return "signal of unbounded length exceeds the limit of " + limit + " samples per file.";
  }
  // Whole digits while they are readable; absurd counts (a symbol rate of 1e-300, say) as
  // "1e+304" rather than three hundred digits.
  char digits[400];
  const double whole = std::floor(count);
  const auto end = whole < 1e15 ? std::to_chars(digits, digits + sizeof digits, whole, std::chars_format::fixed, 0).ptr
                                : std::to_chars(digits, digits + sizeof digits, whole, std::chars_format::general, 6).ptr;
  return "signal of " + std::string(digits, end) + " samples exceeds the limit of " + limit +
         " samples per file.";
}

std::size_t require_sample_count(double count) {
  // Written so that NaN fails the test too.
  if (!(count <= static_cast<double>(max_samples_per_file))) {
    throw std::length_error(sample_limit_message(count));
  }
  return count > 0.0 ? static_cast<std::size_t>(count) : 0;
}

std::uint32_t whole_samples_per_symbol(double samples_per_symbol) {
  if (!(samples_per_symbol >= 1.0)) return 0;
  if (samples_per_symbol >= 4294967296.0) return UINT32_MAX;
  return static_cast<std::uint32_t>(samples_per_symbol);
}

}  // namespace quorvin
