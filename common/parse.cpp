#include "common/parse.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace quorvin {

namespace {

constexpr auto is_space = is_c_space<char16_t>;
constexpr auto is_digit = is_c_digit<char16_t>;
bool is_hex_digit(char16_t c) {
  return is_digit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}
char16_t lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool starts_with_word(std::u16string_view text, std::u16string_view word) {
  if (text.size() < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (lower(text[i]) != word[i]) return false;
  }
  return true;
}

// Length of the run of characters at the start of `text` that satisfy `accept`.
template <class Accept>
std::size_t span_of(std::u16string_view text, Accept accept) {
  std::size_t n = 0;
  while (n < text.size() && accept(text[n])) ++n;
  return n;
}

// An exponent marker, a sign and digits, counted only when a digit follows, as strtod does.
std::size_t exponent_length(std::u16string_view text, char16_t marker) {
  if (text.empty() || lower(text[0]) != marker) return 0;
  std::size_t n = 1;
  if (n < text.size() && (text[n] == u'+' || text[n] == u'-')) ++n;
  const std::size_t digits = span_of(text.substr(n), is_digit);
  return digits == 0 ? 0 : n + digits;
}

// Mantissa digits with at most one point; 0 unless at least one digit is present.
std::size_t mantissa_length(std::u16string_view text, bool (*digit)(char16_t)) {
  const std::size_t whole = span_of(text, digit);
  std::size_t fraction = 0;
  if (whole < text.size() && text[whole] == u'.') fraction = span_of(text.substr(whole + 1), digit);
  if (whole + fraction == 0) return 0;
  return whole < text.size() && text[whole] == u'.' ? whole + 1 + fraction : whole;
}

std::string ascii(std::u16string_view text) {
  std::string out(text.size(), '\0');
  for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<char>(text[i]);
  return out;
}

// A hex significand rounded into a subnormal is inexact when it has a set bit below 2^-1074.
bool hex_subnormal_is_inexact(std::u16string_view mantissa, std::u16string_view exponent) {
  const std::size_t point = mantissa.find(u'.');
  const std::size_t fraction_digits = point == std::u16string_view::npos ? 0 : mantissa.size() - point - 1;
  std::int64_t trailing_bits = 0;
  std::size_t i = mantissa.size();
  while (i > 0 && (mantissa[i - 1] == u'0' || mantissa[i - 1] == u'.')) {
    if (mantissa[--i] == u'0') trailing_bits += 4;
  }
  if (i == 0) return false;
  const char16_t last = mantissa[i - 1];
  const int value = is_digit(last) ? last - u'0' : lower(last) - u'a' + 10;
  for (int v = value; (v & 1) == 0; v >>= 1) ++trailing_bits;
  std::int64_t power = 0;
  if (!exponent.empty()) {
    const std::string digits = ascii(exponent.substr(1));
    long long parsed = 0;
    const auto [end, error] = std::from_chars(digits.data() + (digits[0] == '+'), digits.data() + digits.size(), parsed);
    power = error == std::errc{} ? parsed : (digits[0] == '-' ? -(1LL << 40) : (1LL << 40));
  }
  return power - 4 * static_cast<std::int64_t>(fraction_digits) + trailing_bits < -1074;
}

// The number at the start of `text` as wcstod reads it; the length consumed is 0 when there is
// no number. Range errors are reported as for strtod: overflow, and underflow that loses bits.
struct Conversion {
  std::size_t length = 0;
  double value = 0.0;
  bool range_error = false;
};

Conversion convert_special(std::u16string_view body, bool negative) {
  const double sign = negative ? -1.0 : 1.0;
  if (starts_with_word(body, u"infinity")) return {8, sign * std::numeric_limits<double>::infinity()};
  if (starts_with_word(body, u"inf")) return {3, sign * std::numeric_limits<double>::infinity()};
  if (!starts_with_word(body, u"nan")) return {};
  std::size_t length = 3;
  if (length < body.size() && body[length] == u'(') {
    const std::size_t chars = span_of(body.substr(4), [](char16_t c) {
      return is_digit(c) || (lower(c) >= u'a' && lower(c) <= u'z') || c == u'_';
    });
    if (4 + chars < body.size() && body[4 + chars] == u')') length = 5 + chars;
  }
  return {length, std::numeric_limits<double>::quiet_NaN()};
}

Conversion convert_number(std::u16string_view body, bool negative) {
  const bool hex = body.size() > 1 && body[0] == u'0' && lower(body[1]) == u'x' &&
                   mantissa_length(body.substr(2), is_hex_digit) > 0;
  const std::u16string_view digits = hex ? body.substr(2) : body;
  const std::size_t mantissa = mantissa_length(digits, hex ? is_hex_digit : is_digit);
  if (mantissa == 0) return {};
  const std::size_t exponent = exponent_length(digits.substr(mantissa), hex ? u'p' : u'e');
  const std::string text = ascii(digits.substr(0, mantissa + exponent));
  double magnitude = 0.0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), magnitude,
                                      hex ? std::chars_format::hex : std::chars_format::general);
  Conversion out{(hex ? 2 : 0) + mantissa + exponent, negative ? -magnitude : magnitude};
  if (result.ec == std::errc::result_out_of_range) {
    out.range_error = true;
  } else if (std::fpclassify(magnitude) == FP_SUBNORMAL) {
    out.range_error = !hex || hex_subnormal_is_inexact(digits.substr(0, mantissa),
                                                       digits.substr(mantissa, exponent));
  }
  return out;
}

}  // namespace

std::optional<double> read_c_decimal(std::u16string_view text) {
  const std::size_t spaces = span_of(text, is_space);
  std::u16string_view body = text.substr(spaces);
  const bool negative = !body.empty() && body[0] == u'-';
  const std::size_t sign = !body.empty() && (body[0] == u'-' || body[0] == u'+') ? 1 : 0;
  body = body.substr(sign);
  Conversion conversion = convert_special(body, negative);
  if (conversion.length == 0) conversion = convert_number(body, negative);
  if (conversion.length == 0 || conversion.length != body.size() || conversion.range_error) {
    return std::nullopt;
  }
  return conversion.value;
}

}  // namespace quorvin
