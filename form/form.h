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
#include "run/atomic_file.h"
#include "run/settings.h"

namespace quorvin {

inline constexpr std::size_t modulation_checkbox_count = 22;

// The 22 modulation names of the form, in checkbox order ("AM" first, "GMSK" last).
inline constexpr std::array<std::string_view, modulation_checkbox_count> modulation_checkbox_names =
    form_modulation_names<modulation_checkbox_count>();
static_assert(modulation_checkbox_names.back() == "GMSK", "the catalogue's form rows are the 22 checkboxes");

// The form as it stood when "Modulate" was pressed. Texts are UTF-16, as the window holds them.
struct FormSnapshot {
  std::array<bool, modulation_checkbox_count> modulation_checked{};  // checkbox order
  bool save_settings_checked = false;
  std::u16string symbol_rate_min = u"1000";
  std::u16string symbol_rate_max = u"5000";
  std::u16string sample_rate = u"10000";
  std::u16string snr_min = u"10";
  std::u16string snr_max = u"30";
  std::u16string multipath_error = u"0";
  std::u16string timing_error_min = u"0";
  std::u16string timing_error_max = u"0.1";
  std::u16string frequency_offset_min = u"0";
  std::u16string frequency_offset_max = u"100";
  std::u16string mix_frequency = u"0";  // the "Carrier Freq (Hz):" box
  std::u16string files_per_modulation = u"1";
  std::u16string num_symbols = u"1000";
  std::u16string analog_carrier_frequency = u"1000";
  std::u16string analog_deviation = u"500";
  std::u16string amplitude_min = u"0.5";
  std::u16string amplitude_max = u"1";
  std::u16string output_folder = u".";  // the "File Path:" box
};

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

// The snapshot checked box by box in the form's order; the first failure is the error.
std::variant<RunSettings, FormError> read_run_settings(const FormSnapshot& snapshot);

// The Modulate command: reads the form and, when it is valid, runs the generation and returns
// its report. A run seed replaces the clock as the seed of the parameter draws.
ModulateOutcome handle_modulate(const FormSnapshot& snapshot,
                                std::optional<std::uint32_t> run_seed = std::nullopt,
                                const WriteContext& write = {});

}  // namespace quorvin
