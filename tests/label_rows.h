#pragma once
// A file's label rows (synthesis/parameters.h) read back by the tests that hold them against the samples.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "synthesis/parameters.h"

namespace quorvin::test {

// A number among a file's labels, whole or not; a failure, and NaN, when the file lacks it.
inline double label(const std::vector<ParameterRow>& rows, std::string_view key) {
  for (const ParameterRow& row : rows) {
    if (row.kind->key != key) continue;
    if (const auto* whole = std::get_if<std::int64_t>(&row.value)) return static_cast<double>(*whole);
    return std::get<double>(row.value);
  }
  ADD_FAILURE() << "no label " << key;
  return std::numeric_limits<double>::quiet_NaN();
}

// A text among a file's labels; "<none>" when the file lacks it.
inline std::string label_text(const std::vector<ParameterRow>& rows, std::string_view key) {
  for (const ParameterRow& row : rows) {
    if (row.kind->key == key && std::holds_alternative<std::string>(row.value)) return std::get<std::string>(row.value);
  }
  return "<none>";
}

// A list of numbers among a file's labels (joined by ';'); empty when the file lacks it.
inline std::vector<double> label_list(const std::vector<ParameterRow>& rows, std::string_view key) {
  std::vector<double> values;
  const std::string text = label_text(rows, key);
  if (text == "<none>") return values;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(';', at), text.size());
    values.push_back(std::stod(text.substr(at, end - at)));
    at = end + 1;
  }
  return values;
}

}  // namespace quorvin::test
