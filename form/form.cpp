#include "form/form.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "common/parse.h"
#include "common/text.h"
#include "run/run.h"

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

std::optional<double> parse_decimal_field(std::u16string_view text) {
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

std::optional<std::int32_t> parse_integer_field(std::u16string_view text) {
  const IntegerPrefix number = read_integer_prefix(text);
  // Nothing may follow the digits, and beyond 32 bits is wcstol's range error.
  if (number.length == 0 || number.length != text.size() || number.out_of_range) return std::nullopt;
  return number.value;
}

namespace {

bool satisfies(double value, BoxRule rule) {
  switch (rule) {
    case BoxRule::finite: return std::isfinite(value);
    case BoxRule::positive: return std::isfinite(value) && value > 0.0;
    case BoxRule::finite_or_no_noise:
      return std::isfinite(value) || value == std::numeric_limits<double>::infinity();
    case BoxRule::not_negative: return value >= 0.0;
    default: return true;
  }
}

FormError invalid(std::u16string_view message) {
  return {FormError::Kind::invalid_field, std::u16string(message)};
}

// +infinity dB means no noise, which only makes sense for the whole range: a pair with one
// infinite end is refused at the right box, naming the box that holds the infinity.
std::optional<FormError> check_snr_pair(const RunSettings& settings) {
  const bool min_inf = std::isinf(settings.snr_min_db);
  const bool max_inf = std::isinf(settings.snr_max_db);
  if (min_inf == max_inf) return std::nullopt;
  return invalid(min_inf ? u"Invalid SNR Min." : u"Invalid SNR Max.");
}

}  // namespace

FormSnapshot::FormSnapshot() {
  for (const FormBox& box : form_boxes) this->*box.text = box.default_text;
}

std::variant<RunSettings, FormError> read_boxes(const BoxTexts& texts) {
  RunSettings settings;
  for (std::size_t i = 0; i < form_box_count; ++i) {
    const FormBox& box = form_boxes[i];
    const std::u16string& text = texts[i];
    if (box.rule == BoxRule::folder) {
      settings.output_folder = text;
    } else if (box.rule == BoxRule::any_integer || box.rule == BoxRule::not_negative) {
      const std::optional<std::int32_t> value = parse_integer_field(text);
      if (!value || !satisfies(*value, box.rule)) return invalid(box.message);
      settings.*box.integer = *value;
    } else {
      const std::optional<double> value = parse_decimal_field(text);
      if (!value || !satisfies(*value, box.rule)) return invalid(box.message);
      if (box.decimal != nullptr) settings.*box.decimal = *value;
      if (box.decimal == &RunSettings::snr_max_db) {
        if (auto error = check_snr_pair(settings)) return *error;
      }
    }
  }
  return settings;
}

std::variant<RunSettings, FormError> read_run_settings(const FormSnapshot& snapshot) {
  std::vector<std::string> modulations;
  for (std::size_t i = 0; i < modulation_checkbox_count; ++i) {
    if (snapshot.modulation_checked[i]) modulations.emplace_back(modulation_checkbox_names[i]);
  }
  if (modulations.empty()) return FormError{FormError::Kind::no_modulation, u"No modulation selected."};
  BoxTexts texts;
  for (std::size_t i = 0; i < form_box_count; ++i) texts[i] = snapshot.*form_boxes[i].text;
  auto settings = read_boxes(texts);
  if (RunSettings* read = std::get_if<RunSettings>(&settings)) {
    read->modulations = std::move(modulations);
    read->save_settings_file = snapshot.save_settings_checked;
  }
  return settings;
}

ModulateOutcome handle_modulate(const FormSnapshot& snapshot, std::optional<std::uint32_t> run_seed,
                                const WriteContext& write) {
  auto settings = read_run_settings(snapshot);
  if (const FormError* error = std::get_if<FormError>(&settings)) {
    const auto kind = error->kind == FormError::Kind::no_modulation ? ModulateOutcome::Kind::show_output
                                                                    : ModulateOutcome::Kind::show_message;
    return {kind, error->message};
  }
  return {ModulateOutcome::Kind::show_output,
          run_generation(std::get<RunSettings>(std::move(settings)), run_seed, write)};
}

}  // namespace quorvin
