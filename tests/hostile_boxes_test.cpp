// Hostile texts in every box of the form: each is accepted or refused exactly as the box's parse
// rule and the run's needs say, with that box's own message, and never brings anything down.

#include <gtest/gtest.h>

#include "parameter_names.h"

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "form/form.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

struct Hostile {
  const char* name;
  std::u16string text;
  std::optional<double> decimal;        // the decimal rule's value; nullopt when refused
  std::optional<std::int32_t> integer;  // the integer rule's value; nullopt when refused
};

const std::u16string long_spaces = std::u16string(255, u' ') + u"5";
const std::u16string long_number = u"1" + std::u16string(299, u'0');
const std::u16string long_fraction = u"0." + std::u16string(300, u'0') + u"1";
const std::u16string long_digits = std::u16string(260, u'0') + u"7";

const Hostile hostile[] = {
    {"empty", u"", std::nullopt, std::nullopt},
    {"blanks", u" \t\r\n\v\f", std::nullopt, std::nullopt},
    {"blanks_then_number_256", long_spaces, 5.0, 5},
    {"number_300_characters", long_number, 1e299, std::nullopt},
    {"fraction_303_characters", long_fraction, 1e-301, std::nullopt},
    {"leading_zeros_261", long_digits, 7.0, 7},
    {"arabic_indic_digit", u"\u0665", std::nullopt, std::nullopt},
    {"devanagari_digits", u"\u0967\u0966", std::nullopt, std::nullopt},
    {"fullwidth_digits", u"\uff11\uff10", std::nullopt, std::nullopt},
    {"fullwidth_minus", u"\uff0d1", std::nullopt, std::nullopt},
    {"ideographic_space", u"\u30005", std::nullopt, std::nullopt},
    {"no_break_space", u"\u00a05", std::nullopt, std::nullopt},
    {"lone_surrogate", u"1\xd800", std::nullopt, std::nullopt},
    {"embedded_nul", std::u16string(u"1\0" u"2", 3), std::nullopt, std::nullopt},
    {"trailing_nul", std::u16string(u"7\0", 2), std::nullopt, std::nullopt},
    {"only_nul", std::u16string(1, u'\0'), std::nullopt, std::nullopt},
    {"hex_float", u"0x1p4", 16.0, std::nullopt},
    {"hex_fraction", u"-0x1.8p1", -3.0, std::nullopt},
    {"decimal_denormal", u"4.9e-324", std::nullopt, std::nullopt},
    {"exact_hex_denormal", u"0x1p-1074", 4.9406564584124654e-324, std::nullopt},
    {"inexact_hex_denormal", u"0x3p-1076", std::nullopt, std::nullopt},
    {"huge", u"1e308", 1e308, std::nullopt},
    {"huge_negative", u"-1e308", -1e308, std::nullopt},
    {"beyond_double", u"1e309", std::nullopt, std::nullopt},
    {"minus_zero", u"-0", -0.0, 0},
    {"infinity", u"inf", inf, std::nullopt},
    {"minus_infinity", u"-INFINITY", -inf, std::nullopt},
    {"not_a_number", u"nan", nan, std::nullopt},
    {"int_max", u"2147483647", 2147483647.0, 2147483647},
    {"int_max_plus_one", u"2147483648", 2147483648.0, std::nullopt},
    {"int_min", u"-2147483648", -2147483648.0, -2147483647 - 1},
    {"int_min_minus_one", u"-2147483649", -2147483649.0, std::nullopt},
    {"sign_only", u"-", std::nullopt, std::nullopt},
    {"exponent_only", u"e5", std::nullopt, std::nullopt},
};

// What a box needs beyond its parse rule, because the run could not serve the value otherwise.
enum class Need { anything, finite, positive, snr, count };

struct BoxUnderTest {
  const char* name;
  std::u16string FormSnapshot::*text;
  const char16_t* message;
  bool integer;
  Need need;
  double RunSettings::*decimal;
  std::int32_t RunSettings::*whole;
};

const BoxUnderTest boxes[] = {
    {"symbol_rate_min", &FormSnapshot::symbol_rate_min, u"Invalid Symbol Rate Min.", false, Need::positive, &RunSettings::symbol_rate_min, nullptr},
    {"symbol_rate_max", &FormSnapshot::symbol_rate_max, u"Invalid Symbol Rate Max.", false, Need::positive, &RunSettings::symbol_rate_max, nullptr},
    {"sample_rate", &FormSnapshot::sample_rate, u"Invalid Sample Rate.", false, Need::positive, &RunSettings::sample_rate, nullptr},
    {"snr_min", &FormSnapshot::snr_min, u"Invalid SNR Min.", false, Need::snr, &RunSettings::snr_min_db, nullptr},
    {"snr_max", &FormSnapshot::snr_max, u"Invalid SNR Max.", false, Need::snr, &RunSettings::snr_max_db, nullptr},
    {"multipath_error", &FormSnapshot::multipath_error, u"Invalid Multipath Error.", false, Need::anything, nullptr, nullptr},
    {"timing_error_min", &FormSnapshot::timing_error_min, u"Invalid Symbol Timing Error Min.", false, Need::finite, &RunSettings::timing_error_min, nullptr},
    {"timing_error_max", &FormSnapshot::timing_error_max, u"Invalid Symbol Timing Error Max.", false, Need::finite, &RunSettings::timing_error_max, nullptr},
    {"frequency_offset_min", &FormSnapshot::frequency_offset_min, u"Invalid Frequency Offset Min.", false, Need::finite, &RunSettings::frequency_offset_min, nullptr},
    {"frequency_offset_max", &FormSnapshot::frequency_offset_max, u"Invalid Frequency Offset Max.", false, Need::finite, &RunSettings::frequency_offset_max, nullptr},
    {"mix_frequency", &FormSnapshot::mix_frequency, u"Invalid Mix Frequency.", false, Need::finite, &RunSettings::mix_frequency, nullptr},
    {"files_per_modulation", &FormSnapshot::files_per_modulation, u"Invalid File Count.", true, Need::anything, nullptr, &RunSettings::files_per_modulation},
    {"num_symbols", &FormSnapshot::num_symbols, u"Invalid Number of Symbols.", true, Need::count, nullptr, &RunSettings::num_symbols},
    {"analog_fc", &FormSnapshot::analog_carrier_frequency, u"Invalid Analog Fc.", false, Need::finite, &RunSettings::analog_carrier_frequency, nullptr},
    {"analog_deviation", &FormSnapshot::analog_deviation, u"Invalid Analog Deviation.", false, Need::finite, &RunSettings::analog_deviation, nullptr},
    {"amplitude_min", &FormSnapshot::amplitude_min, u"Invalid Amplitude Min.", false, Need::finite, &RunSettings::amplitude_min, nullptr},
    {"amplitude_max", &FormSnapshot::amplitude_max, u"Invalid Amplitude Max.", false, Need::finite, &RunSettings::amplitude_max, nullptr},
};

// Whether the box takes a value its rule produced. An SNR box on its own may not be infinite:
// the other box keeps its finite default, and +inf means "no noise" only for the whole range.
bool served(const BoxUnderTest& box, double value) {
  switch (box.need) {
    case Need::anything: return true;
    case Need::finite: return std::isfinite(value);
    case Need::positive: return std::isfinite(value) && value > 0.0;
    case Need::snr: return std::isfinite(value);
    case Need::count: return value >= 0.0;
  }
  return false;
}

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b)); }

class HostileBoxes : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileBoxes, EveryBoxAcceptsOrRefusesAsItsRuleSays) {
  const Hostile& h = GetParam();
  EXPECT_EQ(parse_decimal_field(h.text).has_value(), h.decimal.has_value());
  if (h.decimal && parse_decimal_field(h.text)) {
    EXPECT_TRUE(same(*parse_decimal_field(h.text), *h.decimal));
  }
  EXPECT_EQ(parse_integer_field(h.text), h.integer);
  for (const BoxUnderTest& box : boxes) {
    FormSnapshot snapshot;
    snapshot.modulation_checked[4] = true;  // QPSK
    snapshot.*box.text = h.text;
    const auto outcome = read_run_settings(snapshot);
    const std::optional<double> parsed =
        box.integer ? (h.integer ? std::optional<double>(*h.integer) : std::nullopt) : h.decimal;
    const bool accepted = parsed.has_value() && served(box, *parsed);
    const FormError* error = std::get_if<FormError>(&outcome);
    ASSERT_EQ(error == nullptr, accepted) << box.name;
    if (error != nullptr) {
      EXPECT_EQ(error->kind, FormError::Kind::invalid_field) << box.name;
      EXPECT_TRUE(error->message == box.message) << box.name;
      continue;
    }
    const RunSettings& settings = std::get<RunSettings>(outcome);
    if (box.decimal != nullptr) {
      EXPECT_TRUE(same(settings.*box.decimal, *parsed)) << box.name;
    }
    if (box.whole != nullptr) {
      EXPECT_EQ(settings.*box.whole, *h.integer) << box.name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, HostileBoxes, ::testing::ValuesIn(hostile),
                         [](const ::testing::TestParamInfo<Hostile>& p) { return std::string(p.param.name); });

TEST(HostileBoxes, BothSnrBoxesInfiniteMeanNoNoise) {
  FormSnapshot snapshot;
  snapshot.modulation_checked[0] = true;
  snapshot.snr_min = u"inf";
  snapshot.snr_max = u"INFINITY";
  const auto outcome = read_run_settings(snapshot);
  ASSERT_TRUE(std::holds_alternative<RunSettings>(outcome));
  EXPECT_EQ(std::get<RunSettings>(outcome).snr_min_db, inf);
  snapshot.snr_max = u"-inf";
  EXPECT_TRUE(std::get<FormError>(read_run_settings(snapshot)).message == u"Invalid SNR Max.");
}

}  // namespace
}  // namespace quorvin
