#pragma once
// The rows of the exact model's option table and their readers, shared by the table
// (plan/exact_options.cpp) and the channel's stages (plan/stages/), each of which declares its own.

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "common/parse.h"
#include "plan/exact_options.h"
#include "plan/settings.h"

namespace quorvin {

// A whole text as one finite number, read as the form reads its decimal boxes (README's number
// rule); nothing for anything else.
std::optional<double> finite_number(std::string_view text);

// The field a member pointer names, in the model's settings or in their impairments.
template <typename T>
T& field_of(ExactSettings& s, T ExactSettings::*field) {
  return s.*field;
}
template <typename T>
T& field_of(ExactSettings& s, T ImpairmentSettings::*field) {
  return s.impairments.*field;
}
template <typename T>
T& field_of(ExactSettings& s, T SceneSettings::*field) {
  return s.scene.*field;
}

// Bounds are whole numbers over `scale` (template arguments of floating type are not yet
// accepted by every compiler this builds with).
template <auto field, long long low_whole, long long high_whole, long long scale = 1, bool open_low = false>
bool read_decimal(std::string_view text, ExactSettings& into) {
  constexpr double low = static_cast<double>(low_whole) / scale;
  constexpr double high = static_cast<double>(high_whole) / scale;
  const std::optional<double> value = finite_number(text);
  if (!value || *value > high || *value < low || (open_low && *value == low)) return false;
  field_of(into, field) = *value;
  return true;
}

// A whole number as the form's integer boxes read theirs (wcstol's rule, within 32 bits).
template <auto field, std::int64_t low, std::int64_t high>
bool read_whole(std::string_view text, ExactSettings& into) {
  const IntegerPrefix number = read_integer_prefix(text);
  const std::int64_t value = number.value;
  if (number.length == 0 || number.length != text.size() || number.out_of_range || value < low || value > high) {
    return false;
  }
  auto& target = field_of(into, field);
  target = static_cast<std::remove_reference_t<decltype(target)>>(value);
  return true;
}

// Comma-separated numbers from low to high, 1 to 32 of them.
template <auto field, long long low_whole, long long high_whole>
bool read_list(std::string_view text, ExactSettings& into) {
  constexpr auto low = static_cast<double>(low_whole);
  constexpr auto high = static_cast<double>(high_whole);
  std::vector<double> values;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::optional<double> value = finite_number(text.substr(start, comma - start));
    if (!value || *value < low || *value > high || values.size() == 32) return false;
    values.push_back(*value);
    start = comma + 1;
  }
  field_of(into, field) = std::move(values);
  return true;
}

template <auto field>
bool read_flag(std::string_view text, ExactSettings& into) {
  if (text != "true" && text != "false") return false;
  field_of(into, field) = text == "true";
  return true;
}

using Reader = bool (*)(std::string_view text, ExactSettings& into);

// The readers of a range's two ends, within the same bounds.
template <auto min_field, auto max_field, auto... bounds>
constexpr std::array<Reader, 2> decimal_range = {read_decimal<min_field, bounds...>,
                                                 read_decimal<max_field, bounds...>};
template <auto min_field, auto max_field, auto... bounds>
constexpr std::array<Reader, 2> whole_range = {read_whole<min_field, bounds...>,
                                               read_whole<max_field, bounds...>};

// A range drawn per file, declared once: its two options "--rolloff-min" and "--rolloff-max",
// which are the Python keyword's (min, max) pair, each end with its own default and help.
struct ExactRange {
  std::string_view stem;  // "--rolloff"
  std::string_view keyword;
  std::array<std::string_view, 2> default_texts;
  std::array<std::string_view, 2> helps;
  std::string_view accepted;
  std::array<Reader, 2> read;
};

using ExactRow = std::variant<ExactOption, ExactRange>;


}  // namespace quorvin
