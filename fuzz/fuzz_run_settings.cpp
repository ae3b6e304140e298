// read_run_settings on arbitrary snapshots: the ticks, the "Save Settings File" box and the 18
// texts all come from the fuzzer's bytes. Properties: the outcome is exactly what the box
// rules give, box by box in the form's order (the first refused box names the error, every
// earlier one parses), and accepted settings hold the parsed values and only values the run
// can serve.

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "common/text.h"
#include "form/form.h"
#include "fuzz_support.h"

namespace {

using quorvin::FormSnapshot;
using quorvin::RunSettings;

struct Box {
  std::u16string FormSnapshot::*text;
  const char16_t* message;
  bool integer;
};

const Box boxes[] = {
    {&FormSnapshot::symbol_rate_min, u"Invalid Symbol Rate Min.", false},
    {&FormSnapshot::symbol_rate_max, u"Invalid Symbol Rate Max.", false},
    {&FormSnapshot::sample_rate, u"Invalid Sample Rate.", false},
    {&FormSnapshot::snr_min, u"Invalid SNR Min.", false},
    {&FormSnapshot::snr_max, u"Invalid SNR Max.", false},
    {&FormSnapshot::multipath_error, u"Invalid Multipath Error.", false},
    {&FormSnapshot::timing_error_min, u"Invalid Symbol Timing Error Min.", false},
    {&FormSnapshot::timing_error_max, u"Invalid Symbol Timing Error Max.", false},
    {&FormSnapshot::frequency_offset_min, u"Invalid Frequency Offset Min.", false},
    {&FormSnapshot::frequency_offset_max, u"Invalid Frequency Offset Max.", false},
    {&FormSnapshot::mix_frequency, u"Invalid Mix Frequency.", false},
    {&FormSnapshot::files_per_modulation, u"Invalid File Count.", true},
    {&FormSnapshot::num_symbols, u"Invalid Number of Symbols.", true},
    {&FormSnapshot::analog_carrier_frequency, u"Invalid Analog Fc.", false},
    {&FormSnapshot::analog_deviation, u"Invalid Analog Deviation.", false},
    {&FormSnapshot::amplitude_min, u"Invalid Amplitude Min.", false},
    {&FormSnapshot::amplitude_max, u"Invalid Amplitude Max.", false},
};

bool parses(const Box& box, const FormSnapshot& s) {
  return box.integer ? quorvin::parse_integer_field(s.*box.text).has_value()
                     : quorvin::parse_decimal_field(s.*box.text).has_value();
}

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b)); }

void check_accepted(const FormSnapshot& s, const RunSettings& r) {
  const double decimals[] = {r.symbol_rate_min, r.symbol_rate_max, r.sample_rate, r.snr_min_db, r.snr_max_db, 0.0,
                             r.timing_error_min, r.timing_error_max, r.frequency_offset_min, r.frequency_offset_max,
                             r.mix_frequency, 0.0, 0.0, r.analog_carrier_frequency, r.analog_deviation,
                             r.amplitude_min, r.amplitude_max};
  for (std::size_t i = 0; i < std::size(boxes); ++i) {
    QUORVIN_FUZZ_CHECK(parses(boxes[i], s));
    if (i == 5 || boxes[i].integer) continue;  // the multipath value is dropped
    QUORVIN_FUZZ_CHECK(same(*quorvin::parse_decimal_field(s.*boxes[i].text), decimals[i]));
  }
  QUORVIN_FUZZ_CHECK(*quorvin::parse_integer_field(s.files_per_modulation) == r.files_per_modulation);
  QUORVIN_FUZZ_CHECK(*quorvin::parse_integer_field(s.num_symbols) == r.num_symbols);
  // What the run needs: positive finite rates, a count of symbols, finite values elsewhere,
  // and an SNR range that is finite or wholly +inf (no noise).
  for (const double rate : {r.symbol_rate_min, r.symbol_rate_max, r.sample_rate}) {
    QUORVIN_FUZZ_CHECK(std::isfinite(rate) && rate > 0.0);
  }
  QUORVIN_FUZZ_CHECK(r.num_symbols >= 0);
  for (const double value : {r.timing_error_min, r.timing_error_max, r.frequency_offset_min, r.frequency_offset_max,
                             r.mix_frequency, r.analog_carrier_frequency, r.analog_deviation, r.amplitude_min,
                             r.amplitude_max}) {
    QUORVIN_FUZZ_CHECK(std::isfinite(value));
  }
  QUORVIN_FUZZ_CHECK((std::isfinite(r.snr_min_db) && std::isfinite(r.snr_max_db)) ||
                     (std::isinf(r.snr_min_db) && r.snr_min_db > 0.0 && std::isinf(r.snr_max_db) && r.snr_max_db > 0.0));
  QUORVIN_FUZZ_CHECK(r.output_folder == s.output_folder);
  QUORVIN_FUZZ_CHECK(r.save_settings_file == s.save_settings_checked);
  std::size_t next = 0;
  for (std::size_t i = 0; i < quorvin::modulation_checkbox_count; ++i) {
    if (!s.modulation_checked[i]) continue;
    QUORVIN_FUZZ_CHECK(next < r.modulations.size() && r.modulations[next] == quorvin::modulation_checkbox_names[i]);
    ++next;
  }
  QUORVIN_FUZZ_CHECK(next == r.modulations.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  FormSnapshot s;
  bool any_ticked = false;
  for (bool& ticked : s.modulation_checked) {
    ticked = input.ConsumeBool();
    any_ticked = any_ticked || ticked;
  }
  s.save_settings_checked = input.ConsumeBool();
  // Boxes the input does not reach keep the form's defaults.
  for (const Box& box : boxes) {
    if (input.remaining_bytes() == 0) break;
    s.*box.text = quorvin::utf8_to_utf16(input.ConsumeRandomLengthString(300));
  }
  if (input.remaining_bytes() > 0) s.output_folder = quorvin::utf8_to_utf16(input.ConsumeRandomLengthString(300));

  const auto outcome = quorvin::read_run_settings(s);
  if (const auto* error = std::get_if<quorvin::FormError>(&outcome)) {
    if (!any_ticked) {
      QUORVIN_FUZZ_CHECK(error->kind == quorvin::FormError::Kind::no_modulation);
      QUORVIN_FUZZ_CHECK(error->message == u"No modulation selected.");
      return 0;
    }
    QUORVIN_FUZZ_CHECK(error->kind == quorvin::FormError::Kind::invalid_field);
    std::size_t named = std::size(boxes);
    for (std::size_t i = 0; i < std::size(boxes); ++i) {
      if (error->message == boxes[i].message) named = i;
    }
    QUORVIN_FUZZ_CHECK(named < std::size(boxes));
    // Every box before the named one passed its parse rule; the SNR pair may name the left box
    // after the right one was read, so its right box is allowed to have passed too.
    for (std::size_t i = 0; i < named; ++i) QUORVIN_FUZZ_CHECK(parses(boxes[i], s));
    return 0;
  }
  QUORVIN_FUZZ_CHECK(any_ticked);
  check_accepted(s, std::get<RunSettings>(outcome));
  return 0;
}
