#pragma once
// Conversions between the UTF-16 text of the form and the UTF-8 text of names and paths, and
// the shortest text of a number.

#include <complex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvin {

// UTF-16 to UTF-8; a lone U+DC80..U+DCFF becomes the byte 0x80..0xFF it stands for (see
// utf8_to_utf16), any other lone surrogate U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

// UTF-8 to UTF-16; each byte of a malformed sequence becomes a lone U+DC80..U+DCFF, so that text
// that is not UTF-8 (a POSIX file name is bytes) converts back to exactly the same bytes.
std::u16string utf8_to_utf16(std::string_view text);

// The shortest decimal text that reads back as exactly `value` ("0.1", "1e+20", "-3"); "inf",
// "-inf" and "nan" (any NaN, whatever its sign) when not finite. At most 24 characters.
std::string shortest_text(double value);

// Numbers joined by ';' in their shortest exact texts (a comma would split a manifest cell);
// complex ones as "re+imj".
std::string joined_numbers(std::span<const double> values);
std::string joined_numbers(std::span<const std::complex<double>> values);

// Messages that name options mark each reference in braces ("{--rolloff-max} takes ..."), so
// that each front end can spell it its own way; a brace of a user's own text is doubled.
// A user's text for a marked message: its braces doubled.
std::string marked_text(std::string_view text);

// A marked message as the command line writes it: the braces dropped.
std::string command_line_text(std::string_view marked);

// A text as it would be typed back: quoted when empty or holding blanks.
std::string as_typed(std::string_view text);

// What the user most likely meant by `typed` among `candidates`, best first, at most four: those
// equal to it but for case and punctuation ("qpsk" QPSK, "QAM-16" QAM16); else those it begins,
// case aside, when at most four do ("--snr": --snr-min, --snr-max, --snr-definition), then those fewest edits
// away, at most a quarter of its length (one at least; a swapped pair is one edit). Empty when
// nothing is near.
std::vector<std::string> nearest_names(std::string_view typed, std::span<const std::string> candidates);

// "did you mean QPSK?", "did you mean --snr-min or --snr-max?"; empty for no names.
std::string did_you_mean(const std::vector<std::string>& names);

}  // namespace quorvin
