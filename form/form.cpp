#include "form/form.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "common/parse.h"
#include "common/text.h"
#include "run/dataset.h"

namespace quorvin {

std::optional<double> parse_decimal_field(std::u16string_view text) { return read_c_decimal(text); }

std::optional<std::int32_t> parse_integer_field(std::u16string_view text) {
  const IntegerPrefix number = read_integer_prefix(text);
  // Nothing may follow the digits, and beyond 32 bits is wcstol's range error.
  if (number.length == 0 || number.length != text.size() || number.out_of_range) return std::nullopt;
  return number.value;
}

namespace {

bool satisfies(double value, BoxRule rule) {
  switch (rule) {
    case BoxRule::finite: return std::isfinite(value);
    case BoxRule::positive: return std::isfinite(value) && value > 0.0;
    case BoxRule::finite_or_no_noise:
      return std::isfinite(value) || value == std::numeric_limits<double>::infinity();
    case BoxRule::not_negative: return value >= 0.0;
    default: return true;
  }
}

FormError invalid(std::u16string_view message) {
  return {FormError::Kind::invalid_field, std::u16string(message)};
}

// +infinity dB means no noise, which only makes sense for the whole range: a pair with one
// infinite end is refused at the right box, naming the box that holds the infinity.
std::optional<FormError> check_snr_pair(const RunSettings& settings) {
  const bool min_inf = std::isinf(settings.snr_min_db);
  const bool max_inf = std::isinf(settings.snr_max_db);
  if (min_inf == max_inf) return std::nullopt;
  return invalid(min_inf ? u"Invalid SNR Min." : u"Invalid SNR Max.");
}

}  // namespace

FormSnapshot::FormSnapshot() {
  for (const FormBox& box : form_boxes) this->*box.text = box.default_text;
}

std::variant<RunSettings, FormError> read_boxes(const BoxTexts& texts) {
  RunSettings settings;
  for (std::size_t i = 0; i < form_box_count; ++i) {
    const FormBox& box = form_boxes[i];
    const std::u16string& text = texts[i];
    if (box.rule == BoxRule::folder) {
      settings.output_folder = text;
    } else if (box.rule == BoxRule::any_integer || box.rule == BoxRule::not_negative) {
      const std::optional<std::int32_t> value = parse_integer_field(text);
      if (!value || !satisfies(*value, box.rule)) return invalid(box.message);
      settings.*box.integer = *value;
    } else {
      const std::optional<double> value = parse_decimal_field(text);
      if (!value || !satisfies(*value, box.rule)) return invalid(box.message);
      if (box.decimal != nullptr) settings.*box.decimal = *value;
      if (box.decimal == &RunSettings::snr_max_db) {
        if (auto error = check_snr_pair(settings)) return *error;
      }
    }
  }
  return settings;
}

std::variant<RunSettings, FormError> read_run_settings(const FormSnapshot& snapshot) {
  std::vector<std::string> modulations;
  for (std::size_t i = 0; i < modulation_checkbox_count; ++i) {
    if (snapshot.modulation_checked[i]) modulations.emplace_back(modulation_checkbox_names[i]);
  }
  if (modulations.empty()) return FormError{FormError::Kind::no_modulation, u"No modulation selected."};
  BoxTexts texts;
  for (std::size_t i = 0; i < form_box_count; ++i) texts[i] = snapshot.*form_boxes[i].text;
  auto settings = read_boxes(texts);
  if (RunSettings* read = std::get_if<RunSettings>(&settings)) {
    read->modulations = std::move(modulations);
    read->save_settings_file = snapshot.save_settings_checked;
  }
  return settings;
}

ModulateOutcome handle_modulate(const FormSnapshot& snapshot, std::optional<std::uint32_t> run_seed,
                                const WriteContext& write) {
  auto settings = read_run_settings(snapshot);
  if (const FormError* error = std::get_if<FormError>(&settings)) {
    const auto kind = error->kind == FormError::Kind::no_modulation ? ModulateOutcome::Kind::show_output
                                                                    : ModulateOutcome::Kind::show_message;
    return {kind, error->message};
  }
  return {ModulateOutcome::Kind::show_output,
          run_generation(std::get<RunSettings>(std::move(settings)), run_seed, write)};
}

}  // namespace quorvin
