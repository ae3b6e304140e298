#pragma once
// Conversions between the UTF-16 text of the form and the UTF-8 text of names and paths.

#include <string>
#include <string_view>

namespace quorvin {

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

// UTF-8 to UTF-16; a malformed byte sequence becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

}  // namespace quorvin
