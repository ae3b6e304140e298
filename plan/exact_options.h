#pragma once
// The exact model's options as quorvin-cli and the Python package offer them: one table of
// names, default texts, help and accepted values, read into ExactSettings by one routine.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "plan/settings.h"

namespace quorvin {

// Which end of its keyword's (min, max) pair an option is, in the Python package.
enum class PairEnd : std::uint8_t { none, min, max };

struct ExactOption {
  std::string_view option;        // the command line's name, "--rolloff-min"
  std::string_view keyword;       // the Python keyword, "rolloff"
  PairEnd end;                    // which end of the keyword's pair
  std::string_view default_text;  // read when the option is not given
  std::string_view help;
  std::string_view accepted;  // what the text may be, for the refusal's message
  // Reads the text into its field; false when the text is not accepted.
  bool (*read)(std::string_view text, ExactSettings& into);
  bool flag = false;  // given alone on the command line: its text is then "true"
  // A family's own range (generator/family.h) whose `end` this option is; `read` is then unused.
  const FamilyRange* range = nullptr;
  // The refusal of a text `read` refused, marked, for an option that tells which part failed
  // (an entry of --per-name); nullptr: "{option} takes <accepted>, not '<text>'".
  std::string (*refusal)(std::string_view text) = nullptr;
};

// The exact model's SNR ends, dB, in either direction: beyond them the noise (or, in a scene, a
// signal scaled over unit noise) leaves float32's range once Es/N0's 60 dB at 10^6 samples per
// symbol, a Gaussian's peaks, 64 emitters and the IQ and DC stages are added (float32 holds
// about 770 dB of power).
inline constexpr double exact_snr_limit_db = 600.0;

// Every option, in the order they are checked (the first refusal is the one reported): the
// families' own ranges last, each key once.
std::span<const ExactOption> exact_options();

// The choices of an accepted text that lists them ("rrc, rect or linear": rrc, rect, linear);
// empty for any other ("a number from 0 to 1", "comma-separated numbers", --per-name's entries).
std::vector<std::string> accepted_choices(std::string_view accepted);

// "{--pulse} takes rrc, rect or linear, not 'rct'; did you mean rect?": a text an option does not
// take, marked, with the nearest of its choices when `accepted` lists them.
std::string not_accepted_marked(std::string_view option, std::string_view accepted, std::string_view text);

// A family's range as its two options, "--<key>-min" and "--<key>-max" (underscores as hyphens),
// Python's keyword <key>; `family` names it in the help.
std::array<ExactOption, 2> family_range_options(const FamilyRange& range, std::string_view family);

// One text per option of exact_options(); an absent one reads its default.
using ExactTexts = std::vector<std::optional<std::string>>;

// The texts read into settings, or the refusal marked as Refusal's text is (common/text.h):
// "{--rolloff-min} takes a number from 0 to 1, not 'x'".
std::variant<ExactSettings, std::string> read_exact_options_marked(const ExactTexts& texts);

// As read_exact_options_marked, the refusal as the command line writes it.
std::variant<ExactSettings, std::string> read_exact_options(const ExactTexts& texts);

// Why --per-name does not serve the run's names (marked, naming the entry): an entry of a name
// the run does not make; nothing when every entry's name is made.
std::optional<std::string> per_name_misfit_marked(const RunSettings& settings, const ExactTexts& texts);

// Why the exact model cannot make every ticked name inside the sample rate's band for every
// value the ranges allow, naming the modulation and the options to change (marked); nothing when
// all fit.
std::optional<std::string> band_misfit_marked(const RunSettings& settings);

// For a run that gives neither a symbol-rate range nor samples per symbol: each digital name's
// samples per symbol, from the fewest at which it fits the band with every value the other
// ranges allow (2 at least) to 8 times that.
void fit_samples_per_symbol(RunSettings& settings);

// The run's settings as `name` draws them: its own ranges of --per-name in place of the run's.
RunSettings settings_for_name(const RunSettings& settings, std::string_view name);

// As band_misfit_marked, as the command line writes it.
std::optional<std::string> band_misfit(const RunSettings& settings);

}  // namespace quorvin
