#include "common/text.h"

#include <algorithm>
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

std::string as_typed(std::string_view text) {
  const std::string whole(text);
  return !text.empty() && text.find_first_of(" \t\r\n") == std::string_view::npos ? whole : "'" + whole + "'";
}

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Letters and digits only, in lower case: "QAM-16" and "qam16" are one name.
std::string folded(std::string_view text) {
  std::string kept;
  for (const char c : text) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) kept.push_back(lower(c));
  }
  return kept;
}

// Edits that turn one text into the other, case aside: insertions, deletions, substitutions and
// swaps of neighbours (the commonest slip of typing). Three rows of `b` at a time: a typed text
// may be long.
std::size_t typing_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> before(b.size() + 1), above(b.size() + 1), row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) above[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t change = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      row[j] = std::min({above[j] + 1, row[j - 1] + 1, above[j - 1] + change});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1])) {
        row[j] = std::min(row[j], before[j - 2] + 1);
      }
    }
    std::swap(before, above);
    std::swap(above, row);
  }
  return above[b.size()];
}

constexpr std::size_t most_suggested = 4;

}  // namespace

std::vector<std::string> nearest_names(std::string_view typed, std::span<const std::string> candidates) {
  std::vector<std::string> near;
  const auto add = [&near](const std::string& name) {
    if (near.size() < most_suggested && std::find(near.begin(), near.end(), name) == near.end()) near.push_back(name);
  };
  const std::string key = folded(typed);
  for (const std::string& name : candidates) {
    if (!key.empty() && folded(name) == key) add(name);
  }
  if (!near.empty()) return near;
  const auto begun = [typed](const std::string& name) {
    return !folded(typed).empty() && name.size() > typed.size() &&
           std::equal(typed.begin(), typed.end(), name.begin(), [](char a, char b) { return lower(a) == lower(b); });
  };
  if (std::count_if(candidates.begin(), candidates.end(), begun) <= static_cast<std::ptrdiff_t>(most_suggested)) {
    for (const std::string& name : candidates) {
      if (begun(name)) add(name);
    }
  }
  // A typed text of a few characters is a few edits from anything: the allowance grows with it.
  const std::size_t allowed = std::max<std::size_t>(1, typed.size() / 4);
  std::vector<std::size_t> distances;
  for (const std::string& name : candidates) {
    // The lengths' difference alone is that many edits: no need to count them (a long text is slow to).
    const std::size_t apart = typed.size() > name.size() ? typed.size() - name.size() : name.size() - typed.size();
    distances.push_back(apart > allowed ? apart : typing_distance(typed, name));
  }
  const std::size_t fewest = distances.empty() ? 0 : *std::min_element(distances.begin(), distances.end());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (distances[i] == fewest && fewest <= allowed) add(candidates[i]);
  }
  return near;
}

std::string did_you_mean(const std::vector<std::string>& names) {
  if (names.empty()) return "";
  std::string listed;
  for (std::size_t i = 0; i < names.size(); ++i) {
    listed += (i == 0 ? "" : i + 1 == names.size() ? " or " : ", ") + names[i];
  }
  return "did you mean " + listed + "?";
}

std::string joined_numbers(std::span<const double> values) {
  std::string text;
  for (const double v : values) {
    if (!text.empty()) text.push_back(';');
    text.append(shortest_text(v));
  }
  return text;
}

std::string joined_numbers(std::span<const std::complex<double>> values) {
  std::string text;
  for (const std::complex<double>& v : values) {
    if (!text.empty()) text.push_back(';');
    text.append(shortest_text(v.real()));
    if (!std::signbit(v.imag())) text.push_back('+');
    text.append(shortest_text(v.imag()));
    text.push_back('j');
  }
  return text;
}

}  // namespace quorvin
