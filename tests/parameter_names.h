#pragma once
// Table-driven cases print as their name in test listings ("GetParam() = no_modulation") rather
// than as their bytes. Use the macro inside a test file's own namespace, so that
// argument-dependent lookup finds the printer for the cases that file defines.

#include <concepts>
#include <ostream>
#include <string_view>

#define QUORVIN_PRINT_CASES_BY_NAME                                     \
  template <class Case>                                                 \
    requires requires(const Case& c) {                                  \
      { c.name } -> std::convertible_to<std::string_view>;              \
    }                                                                   \
  [[maybe_unused]] void PrintTo(const Case& c, std::ostream* os) {      \
    *os << std::string_view(c.name);                                    \
  }
