#pragma once
// The form of the desktop program without its window: the raw snapshot of the controls, its
// reading into validated run settings, and the Modulate command that joins it to the run.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "modulation/catalogue.h"
#include "plan/exact_options.h"
#include "plan/settings.h"
#include "writers/atomic_file.h"

namespace quorvin {

inline constexpr std::size_t modulation_checkbox_count = 22;

// The 22 modulation names of the form, in checkbox order ("AM" first, "GMSK" last).
inline constexpr std::array<std::string_view, modulation_checkbox_count> modulation_checkbox_names =
    form_modulation_names<modulation_checkbox_count>();
static_assert(modulation_checkbox_names.back() == "GMSK", "the catalogue's form rows are the 22 checkboxes");

// The form as it stood when "Modulate" was pressed. Texts are UTF-16, as the window holds them;
// a new snapshot holds the form's defaults (form_boxes).
struct FormSnapshot {
  FormSnapshot();
  std::array<bool, modulation_checkbox_count> modulation_checked{};  // checkbox order
  bool save_settings_checked = false;
  std::u16string symbol_rate_min;
  std::u16string symbol_rate_max;
  std::u16string sample_rate;
  std::u16string snr_min;
  std::u16string snr_max;
  std::u16string multipath_error;
  std::u16string timing_error_min;
  std::u16string timing_error_max;
  std::u16string frequency_offset_min;
  std::u16string frequency_offset_max;
  std::u16string mix_frequency;  // the "Carrier Freq (Hz):" box
  std::u16string files_per_modulation;
  std::u16string num_symbols;
  std::u16string analog_carrier_frequency;
  std::u16string analog_deviation;
  std::u16string amplitude_min;
  std::u16string amplitude_max;
  std::u16string output_folder;  // the "File Path:" box
};

// How a box's text is read, and what its value must satisfy beyond parsing because the run
// cannot serve it otherwise.
enum class BoxRule { any_decimal, finite, positive, finite_or_no_noise, any_integer, not_negative, folder };

// One box of the form. The form reader, the window and, through option_declarations()
// (form/options.h), quorvin-cli's options and the Python keywords all read this table.
struct FormBox {
  std::u16string FormSnapshot::*text;
  std::u16string_view default_text;
  std::string_view option;  // quorvin-cli's option (CLI11's name list)
  std::string_view keyword;  // the Python keyword
  PairEnd end;               // which end of the keyword's pair
  std::string_view help;    // and its help text
  BoxRule rule;
  std::u16string_view message;                   // shown under "Input Error"; none for the folder
  double RunSettings::*decimal = nullptr;        // the field a decimal box fills (none: multipath)
  std::int32_t RunSettings::*integer = nullptr;  // the field an integer box fills
  // The default as the help tells it where the models differ (the default text is the classic
  // model's and the form's); empty: the default text.
  std::string_view default_help = {};
};

inline constexpr std::size_t form_box_count = 18;

// Every box in the order they are checked (the first failure is the one reported), the folder last.
inline constexpr std::array<FormBox, form_box_count> form_boxes = {{
    {&FormSnapshot::symbol_rate_min, u"1000", "--symbol-rate-min", "symbol_rate", PairEnd::min, "lowest symbol rate drawn, Baud (digital)",
     BoxRule::positive, u"Invalid Symbol Rate Min.", &RunSettings::symbol_rate_min, nullptr,
     "2 .. 16 samples per symbol in the exact model (from the fewest that fit the band to 8 times that where 2 do "
     "not) while neither end is given; 1000 with --symbol-rate-max and in the classic model"},
    {&FormSnapshot::symbol_rate_max, u"5000", "--symbol-rate-max", "symbol_rate", PairEnd::max, "highest symbol rate drawn, Baud (digital)",
     BoxRule::positive, u"Invalid Symbol Rate Max.", &RunSettings::symbol_rate_max, nullptr,
     "as --symbol-rate-min's in the exact model while neither end is given; 5000 with --symbol-rate-min and in the "
     "classic model"},
    {&FormSnapshot::sample_rate, u"10000", "--sample-rate", "sample_rate", PairEnd::none, "sample rate, Hz", BoxRule::positive,
     u"Invalid Sample Rate.", &RunSettings::sample_rate},
    {&FormSnapshot::snr_min, u"10", "--snr-min", "snr", PairEnd::min, "lowest SNR drawn, dB (inf with --snr-max inf: no noise)",
     BoxRule::finite_or_no_noise, u"Invalid SNR Min.", &RunSettings::snr_min_db},
    {&FormSnapshot::snr_max, u"30", "--snr-max", "snr", PairEnd::max, "highest SNR drawn, dB", BoxRule::finite_or_no_noise,
     u"Invalid SNR Max.", &RunSettings::snr_max_db},
    {&FormSnapshot::multipath_error, u"0", "--multipath-error", "multipath_error", PairEnd::none, "the desktop program's Multipath Error box: checked like it, and has no effect",
     BoxRule::any_decimal, u"Invalid Multipath Error."},
    {&FormSnapshot::timing_error_min, u"0", "--timing-error-min", "timing_error", PairEnd::min,
     "lowest symbol timing error drawn, symbol periods (digital)", BoxRule::finite,
     u"Invalid Symbol Timing Error Min.", &RunSettings::timing_error_min},
    {&FormSnapshot::timing_error_max, u"0.1", "--timing-error-max", "timing_error", PairEnd::max,
     "highest symbol timing error drawn, symbol periods (digital)", BoxRule::finite,
     u"Invalid Symbol Timing Error Max.", &RunSettings::timing_error_max},
    {&FormSnapshot::frequency_offset_min, u"0", "--frequency-offset-min", "frequency_offset", PairEnd::min,
     "lowest frequency offset drawn, Hz (digital; analog too in the exact model)", BoxRule::finite, u"Invalid Frequency Offset Min.",
     &RunSettings::frequency_offset_min},
    {&FormSnapshot::frequency_offset_max, u"100", "--frequency-offset-max", "frequency_offset", PairEnd::max,
     "highest frequency offset drawn, Hz (digital; analog too in the exact model)", BoxRule::finite, u"Invalid Frequency Offset Max.",
     &RunSettings::frequency_offset_max},
    {&FormSnapshot::mix_frequency, u"0", "--mix-frequency", "mix_frequency", PairEnd::none,
     "mixing frequency of every signal, Hz (the desktop program's Carrier Freq)", BoxRule::finite,
     u"Invalid Mix Frequency.", &RunSettings::mix_frequency},
    {&FormSnapshot::files_per_modulation, u"1", "--files-per-modulation", "files_per_modulation", PairEnd::none, "files written for each modulation",
     BoxRule::any_integer, u"Invalid File Count.", nullptr, &RunSettings::files_per_modulation},
    {&FormSnapshot::num_symbols, u"1000", "--num-symbols", "num_symbols", PairEnd::none, "symbols per digital file, samples per analog file",
     BoxRule::not_negative, u"Invalid Number of Symbols.", nullptr, &RunSettings::num_symbols},
    {&FormSnapshot::analog_carrier_frequency, u"1000", "--analog-fc", "analog_fc", PairEnd::none,
     "carrier frequency of the analog modulations, Hz", BoxRule::finite, u"Invalid Analog Fc.",
     &RunSettings::analog_carrier_frequency},
    {&FormSnapshot::analog_deviation, u"500", "--analog-deviation", "analog_deviation", PairEnd::none, "peak frequency deviation of FM, Hz",
     BoxRule::finite, u"Invalid Analog Deviation.", &RunSettings::analog_deviation},
    {&FormSnapshot::amplitude_min, u"0.5", "--amplitude-min", "amplitude", PairEnd::min, "lowest amplitude drawn (analog)", BoxRule::finite,
     u"Invalid Amplitude Min.", &RunSettings::amplitude_min},
    {&FormSnapshot::amplitude_max, u"1", "--amplitude-max", "amplitude", PairEnd::max, "highest amplitude drawn (analog)", BoxRule::finite,
     u"Invalid Amplitude Max.", &RunSettings::amplitude_max},
    {&FormSnapshot::output_folder, u".", "-o,--output-folder", "output_folder", PairEnd::none,
     "folder of the output files, made when missing (empty: the working folder)", BoxRule::folder, u""},
}};

// The boxes' texts, in form_boxes order.
using BoxTexts = std::array<std::u16string, form_box_count>;

struct FormError {
  enum class Kind { no_modulation, invalid_field };
  Kind kind;
  std::u16string message;  // exact text shown to the user
};

// What the window shows when the command returns: the output box's new text, or a message box
// captioned "Input Error".
struct ModulateOutcome {
  enum class Kind { show_output, show_message };
  Kind kind;
  std::u16string text;
};

// A decimal box: the whole text is one number as wcstod reads it in the classic locale (leading
// white space, sign, exponent, hex floats, inf and nan); nothing when anything else is left or
// the value is out of range.
std::optional<double> parse_decimal_field(std::u16string_view text);

// An integer box: the whole text is one base-10 number as wcstol reads it, within 32 bits.
std::optional<std::int32_t> parse_integer_field(std::u16string_view text);

// The boxes' texts checked in order into a run's ranges, counts and folder (modulations and the
// settings-file choice are the caller's); the first failure is the error.
std::variant<RunSettings, FormError> read_boxes(const BoxTexts& texts);

// The snapshot read as the form does: "No modulation selected." first, then read_boxes.
std::variant<RunSettings, FormError> read_run_settings(const FormSnapshot& snapshot);

// The Modulate command: reads the form and, when it is valid, runs the generation and returns
// its report. A run seed replaces the clock as the seed of the parameter draws.
ModulateOutcome handle_modulate(const FormSnapshot& snapshot,
                                std::optional<std::uint32_t> run_seed = std::nullopt,
                                const WriteContext& write = {});

}  // namespace quorvin
