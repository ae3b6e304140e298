#pragma once
// Reading integers as C's strtol does in the classic locale, for text of any character type:
// the form's UTF-16 boxes and the orders in 8-bit modulation names follow the same rule.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvin {

// The white space that strtol, strtod and their wide forms skip in the classic locale.
template <class Char>
constexpr bool is_c_space(Char c) {
  return c == Char(' ') || (c >= Char('\t') && c <= Char('\r'));
}

template <class Char>
constexpr bool is_c_digit(Char c) {
  return c >= Char('0') && c <= Char('9');
}

struct IntegerPrefix {
  std::size_t length = 0;  // characters read; 0 when no digit follows the white space and sign
  std::int32_t value = 0;
  bool out_of_range = false;  // beyond 32 bits (value then holds the nearest limit)
};

// The base-10 integer at the start of `text`: white space, an optional sign, then every digit,
// as strtol reads it (a long run of digits is out of range, never cut short).
template <class Char>
constexpr IntegerPrefix read_integer_prefix(std::basic_string_view<Char> text) {
  std::size_t i = 0;
  while (i < text.size() && is_c_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == Char('+') || text[i] == Char('-'))) negative = text[i++] == Char('-');
  const std::size_t first_digit = i;
  const std::int64_t limit = negative ? std::int64_t{1} << 31 : (std::int64_t{1} << 31) - 1;
  std::int64_t value = 0;
  bool out_of_range = false;
  for (; i < text.size() && is_c_digit(text[i]); ++i) {
    value = value * 10 + (text[i] - Char('0'));
    if (value > limit) {
      out_of_range = true;
      value = limit;
    }
  }
  if (i == first_digit) return {};
  return {i, static_cast<std::int32_t>(negative ? -value : value), out_of_range};
}

// A whole text as one number as wcstod reads it in the classic locale: leading white space, a sign,
// decimal or hexadecimal digits with an exponent, inf and nan; nothing when anything else is left
// or the value is out of range (overflow, and underflow that loses digits). The form's decimal
// boxes and the exact model's options read numbers alike.
std::optional<double> read_c_decimal(std::u16string_view text);

}  // namespace quorvin
