#include "common/text.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace quorvin {
namespace {

constexpr char32_t replacement = 0xFFFD;

// A byte that is not part of valid UTF-8 travels as the lone low surrogate U+DC80..U+DCFF and
// comes back as the same byte, so a POSIX path (bytes, not text) survives both conversions.
constexpr char32_t first_escape = 0xDC80;
constexpr char32_t last_escape = 0xDCFF;

void append_utf8(std::string& out, char32_t c) {
  const auto byte = [](std::uint32_t v) { return static_cast<char>(static_cast<unsigned char>(v)); };
  if (c < 0x80) {
    out += byte(c);
  } else if (c < 0x800) {
    out += byte(0xC0 | (c >> 6));
    out += byte(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += byte(0xE0 | (c >> 12));
    out += byte(0x80 | ((c >> 6) & 0x3F));
    out += byte(0x80 | (c & 0x3F));
  } else {
    out += byte(0xF0 | (c >> 18));
    out += byte(0x80 | ((c >> 12) & 0x3F));
    out += byte(0x80 | ((c >> 6) & 0x3F));
    out += byte(0x80 | (c & 0x3F));
  }
}

void append_utf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  }
}

bool is_high_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool is_low_surrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Decodes one UTF-8 sequence at text[i], advancing i. Overlong forms, surrogates and values
// beyond U+10FFFF are malformed: then only the lead byte is taken, as its escape.
char32_t next_code_point(std::string_view text, std::size_t& i) {
  const std::size_t start = i;
  const auto lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) return lead;
  const char32_t escape = first_escape + (lead - 0x80);
  const int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || lead > 0xF4) return escape;
  char32_t c = lead & (0x7F >> length);
  for (int k = 1; k < length; ++k) {
    if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      i = start + 1;
      return escape;
    }
    c = (c << 6) | (static_cast<unsigned char>(text[i++]) & 0x3F);
  }
  const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < smallest[length] || c > 0x10FFFF || is_high_surrogate(c) || is_low_surrogate(c)) {
    i = start + 1;
    return escape;
  }
  return c;
}

}  // namespace

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (is_high_surrogate(c) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= first_escape && c <= last_escape) {
      out += static_cast<char>(static_cast<unsigned char>(c - first_escape + 0x80));
      continue;
    } else if (is_high_surrogate(c) || is_low_surrogate(c)) {
      c = replacement;
    }
    append_utf8(out, c);
  }
  return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) append_utf16(out, next_code_point(text, i));
  return out;
}

std::string shortest_text(double value) {
  if (std::isnan(value)) return "nan";  // never "-nan": a manifest cell reads the same either way
  char digits[32];
  return std::string(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

std::string marked_text(std::string_view text) {
  std::string marked;
  for (const char c : text) {
    marked.push_back(c);
    if (c == '{' || c == '}') marked.push_back(c);
  }
  return marked;
}

std::string command_line_text(std::string_view marked) {
  std::string text;
  bool inside = false;  // a reference's own text holds no braces
  for (std::size_t i = 0; i < marked.size(); ++i) {
    const char c = marked[i];
    if (c != '{' && c != '}') {
      text.push_back(c);
    } else if (!inside && i + 1 < marked.size() && marked[i + 1] == c) {
      text.push_back(c);
      ++i;
    } else {
      inside = c == '{';
    }
  }
  return text;
}

}  // namespace quorvin
