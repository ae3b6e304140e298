#pragma once
// A file's label rows (run/parameters.h) read back by the tests that hold them against the samples.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "run/parameters.h"

namespace quorvin::test {

// A number among a file's labels, whole or not; a failure, and NaN, when the file lacks it.
inline double label(const std::vector<ParameterRow>& rows, std::string_view key) {
  for (const ParameterRow& row : rows) {
    if (row.kind->key != key) continue;
    if (const auto* whole = std::get_if<std::int64_t>(&row.value)) return static_cast<double>(*whole);
    return std::get<double>(row.value);
  }
  ADD_FAILURE() << "no label " << key;
  return NAN;
}

}  // namespace quorvin::test
