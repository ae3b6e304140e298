// The two parse rules of the form's boxes on any text. The first byte picks how the rest
// becomes UTF-16: decoded as UTF-8, or taken as raw little-endian units (lone surrogates,
// NUL, full-width digits). Properties: nothing but ASCII is ever accepted; an integer text is
// also a decimal text of the same value; and on ASCII texts both rules agree with the C
// library's wcstod and wcstol in the classic locale, the reference they are written to.

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cwchar>
#include <string>

#include "common/text.h"
#include "form/form.h"
#include "fuzz_support.h"

namespace {

std::u16string text_of(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {};
  if ((data[0] & 1) == 0) {
    return quorvin::utf8_to_utf16(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  }
  std::u16string text;
  for (std::size_t i = 1; i + 1 < size; i += 2) {
    text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  return text;
}

bool plain_ascii(const std::u16string& text) {
  for (const char16_t c : text) {
    if (c == 0 || c >= 0x80) return false;
  }
  return true;
}

void compare_with_c_library(const std::u16string& text, const std::optional<double>& decimal,
                            const std::optional<std::int32_t>& integer) {
  const std::wstring wide(text.begin(), text.end());
  wchar_t* end = nullptr;
  errno = 0;
  const double reference = std::wcstod(wide.c_str(), &end);
  const bool whole_text = end != wide.c_str() && *end == L'\0';
  // glibc reads a NaN's payload with wcstoull and leaves its ERANGE behind for a payload beyond
  // 64 bits; the value is a NaN all the same, not out of range, and the rule accepts it.
  const bool payload_quirk = whole_text && std::isnan(reference) && errno == ERANGE;
  const bool decimal_valid = whole_text && (errno != ERANGE || payload_quirk);
  // glibc also lets some inexact hexadecimal subnormals pass without ERANGE (0x8.0000000000004p-1074
  // loses its last bit); the rule refuses every subnormal that loses bits, so there only the value
  // of an accepted text is compared.
  const bool hex_subnormal = whole_text && std::fpclassify(reference) == FP_SUBNORMAL &&
                             text.find_first_of(u"xX") != std::u16string::npos;
  // glibc judges underflow before rounding: a text just below the smallest normal double that
  // rounds up to it gets ERANGE. The rule judges the value read, which is that normal double.
  const bool rounds_up_to_normal = whole_text && errno == ERANGE && std::fabs(reference) == DBL_MIN;
  if (!hex_subnormal && !rounds_up_to_normal) QUORVIN_FUZZ_CHECK(decimal.has_value() == decimal_valid);
  if (decimal && !std::isnan(reference)) {
    QUORVIN_FUZZ_CHECK(*decimal == reference && std::signbit(*decimal) == std::signbit(reference));
  }
  if (decimal) QUORVIN_FUZZ_CHECK(std::isnan(*decimal) == std::isnan(reference));

  errno = 0;
  const long long whole = std::wcstoll(wide.c_str(), &end, 10);
  const bool integer_valid = end != wide.c_str() && *end == L'\0' && errno != ERANGE &&
                             whole >= INT32_MIN && whole <= INT32_MAX;
  QUORVIN_FUZZ_CHECK(integer.has_value() == integer_valid);
  if (integer) QUORVIN_FUZZ_CHECK(*integer == whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string text = text_of(data, size);
  const std::optional<double> decimal = quorvin::parse_decimal_field(text);
  const std::optional<std::int32_t> integer = quorvin::parse_integer_field(text);
  const bool ascii = plain_ascii(text);
  if (decimal || integer) QUORVIN_FUZZ_CHECK(ascii);
  if (integer) {
    QUORVIN_FUZZ_CHECK(decimal.has_value() && *decimal == static_cast<double>(*integer));
  }
  if (ascii) compare_with_c_library(text, decimal, integer);
  return 0;
}
