#include "form/form.h"

#include <gtest/gtest.h>

#include "parameter_names.h"

#include <cerrno>
#include <cmath>
#include <cwchar>
#include <limits>
#include <string>

#include "common/text.h"
#include "dsp_reference.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

constexpr double inf = std::numeric_limits<double>::infinity();

struct DecimalCase {
  const char* name;
  std::u16string text;
  std::optional<double> expected;  // nullopt: refused; NaN: accepted as NaN
};

class DecimalRule : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(DecimalRule, AcceptsOrRefusesAsWcstodWould) {
  const DecimalCase c = GetParam();
  const std::optional<double> value = parse_decimal_field(c.text);
  ASSERT_EQ(value.has_value(), c.expected.has_value());
  if (!value) return;
  if (std::isnan(*c.expected)) {
    EXPECT_TRUE(std::isnan(*value));
  } else {
    EXPECT_EQ(*value, *c.expected);
    EXPECT_EQ(std::signbit(*value), std::signbit(*c.expected));
  }
}

const double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Texts, DecimalRule,
    ::testing::Values(
        DecimalCase{"leading_space", u" 10", 10.0}, DecimalCase{"trailing_space", u"10 ", std::nullopt},
        DecimalCase{"exponent", u"1e3", 1000.0}, DecimalCase{"comma", u"1,5", std::nullopt},
        DecimalCase{"leading_point", u".5", 0.5}, DecimalCase{"trailing_point", u"1.", 1.0},
        DecimalCase{"point_only", u".", std::nullopt}, DecimalCase{"empty", u"", std::nullopt},
        DecimalCase{"blanks_only", u" \t ", std::nullopt}, DecimalCase{"plus", u"+12", 12.0},
        DecimalCase{"minus", u"-3", -3.0}, DecimalCase{"minus_zero", u"-0", -0.0},
        DecimalCase{"all_c_spaces", u"\t\n\v\f\r 5", 5.0}, DecimalCase{"signed_fraction", u"-.5e1", -5.0},
        DecimalCase{"hex", u"0x10", 16.0}, DecimalCase{"hex_binary_exponent", u"0X1p-2", 0.25},
        DecimalCase{"hex_fraction", u"0x.8", 0.5}, DecimalCase{"hex_without_digits", u"0x", std::nullopt},
        DecimalCase{"hex_dangling_exponent", u"0x1p", std::nullopt},
        DecimalCase{"dangling_exponent", u"1e", std::nullopt}, DecimalCase{"dangling_sign", u"1e+", std::nullopt},
        DecimalCase{"double_sign", u"+-1", std::nullopt}, DecimalCase{"inf", u"inf", inf},
        DecimalCase{"minus_infinity", u"-Infinity", -inf}, DecimalCase{"upper_inf", u"INF", inf},
        DecimalCase{"inf_with_tail", u"infx", std::nullopt}, DecimalCase{"infinit", u"infinit", std::nullopt},
        DecimalCase{"nan", u"nan", nan}, DecimalCase{"nan_payload", u"NaN(abc_1)", nan},
        DecimalCase{"nan_open", u"nan(", std::nullopt}, DecimalCase{"overflow", u"1e999", std::nullopt},
        DecimalCase{"negative_overflow", u"-1e999", std::nullopt},
        DecimalCase{"rounds_to_overflow", u"1.7976931348623159e308", std::nullopt},
        DecimalCase{"largest", u"1.7976931348623157e308", 1.7976931348623157e308},
        DecimalCase{"big", u"-1e308", -1e308}, DecimalCase{"underflow", u"1e-400", std::nullopt},
        DecimalCase{"decimal_subnormal", u"1e-310", std::nullopt},
        DecimalCase{"smallest_normal", u"2.2250738585072014e-308", 2.2250738585072014e-308},
        DecimalCase{"rounds_up_to_smallest_normal", u"2.2250738585072012014e-308", 2.2250738585072014e-308},
        DecimalCase{"exact_hex_subnormal", u"0x1p-1074", 4.9406564584124654e-324},
        DecimalCase{"inexact_hex_subnormal", u"0x1.8p-1074", std::nullopt},
        DecimalCase{"zero_exponent_huge", u"0e-99999", 0.0},
        DecimalCase{"no_break_space", u"\u00a05", std::nullopt},
        DecimalCase{"fullwidth_digit", u"\uff15", std::nullopt},
        DecimalCase{"arabic_digit", u"\u0665", std::nullopt},
        DecimalCase{"embedded_nul", std::u16string(u"1\0", 2), std::nullopt},
        DecimalCase{"letter", u"a", std::nullopt}),
    test::CaseName());

#ifndef _WIN32
// The C library's wcstod in the classic locale as an independent reference.
TEST(DecimalRule, AgreesWithTheCLibrary) {
  const char* texts[] = {"0", "12.5", "  -7e-3", "1e", "1e+", "0x1A.8p3", "0x", "nan", "-inf", "infinity",
                         "1e-320", "1e-307", "3.4e38", "9e307", "1e309", "00012", "+.e5", "5.", "1.2.3",
                         "0x1p-1074", "0x1p-1075", "0x3p-1074", "0x1.4p-1072", "1 ", "- 1", "0x.p1"};
  for (const char* text : texts) {
    const std::wstring wide(text, text + std::char_traits<char>::length(text));
    wchar_t* end = nullptr;
    errno = 0;
    const double reference = std::wcstod(wide.c_str(), &end);
    const bool valid = end != wide.c_str() && *end == L'\0' && errno != ERANGE;
    const std::optional<double> value = parse_decimal_field(utf8_to_utf16(text));
    ASSERT_EQ(value.has_value(), valid) << text;
    if (valid && !std::isnan(reference)) {
      EXPECT_EQ(*value, reference) << text;
    }
  }
}
#endif

struct IntegerCase {
  const char* name;
  std::u16string text;
  std::optional<std::int32_t> expected;
};

class IntegerRule : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerRule, AcceptsOrRefusesAsWcstolWould) {
  EXPECT_EQ(parse_integer_field(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IntegerRule,
    ::testing::Values(IntegerCase{"leading_spaces", u"  12", 12}, IntegerCase{"plus", u"+12", 12},
                      IntegerCase{"minus", u"-3", -3}, IntegerCase{"zero", u"0", 0},
                      IntegerCase{"decimal_point", u"1.0", std::nullopt},
                      IntegerCase{"trailing_space", u"12 ", std::nullopt},
                      IntegerCase{"hex", u"0x10", std::nullopt}, IntegerCase{"empty", u"", std::nullopt},
                      IntegerCase{"sign_only", u"-", std::nullopt},
                      IntegerCase{"largest", u"2147483647", 2147483647},
                      IntegerCase{"one_more", u"2147483648", std::nullopt},
                      IntegerCase{"smallest", u"-2147483648", -2147483647 - 1},
                      IntegerCase{"one_less", u"-2147483649", std::nullopt},
                      IntegerCase{"many_digits", u"000000000000000000000000000042", 42},
                      IntegerCase{"huge", u"99999999999999999999999", std::nullopt},
                      IntegerCase{"fullwidth", u"\uff11\uff12", std::nullopt}),
    test::CaseName());

FormSnapshot ticked(std::initializer_list<std::size_t> boxes) {
  FormSnapshot s;
  for (const std::size_t i : boxes) s.modulation_checked[i] = true;
  return s;
}

std::u16string error_of(const FormSnapshot& s) {
  const auto result = read_run_settings(s);
  const FormError* error = std::get_if<FormError>(&result);
  return error ? error->message : u"(accepted)";
}

using Box = std::u16string FormSnapshot::*;

struct BoxCase {
  const char* name;
  Box box;
  std::u16string message;
};

const BoxCase check_order[] = {
    {"symbol_rate_min", &FormSnapshot::symbol_rate_min, u"Invalid Symbol Rate Min."},
    {"symbol_rate_max", &FormSnapshot::symbol_rate_max, u"Invalid Symbol Rate Max."},
    {"sample_rate", &FormSnapshot::sample_rate, u"Invalid Sample Rate."},
    {"snr_min", &FormSnapshot::snr_min, u"Invalid SNR Min."},
    {"snr_max", &FormSnapshot::snr_max, u"Invalid SNR Max."},
    {"multipath", &FormSnapshot::multipath_error, u"Invalid Multipath Error."},
    {"timing_min", &FormSnapshot::timing_error_min, u"Invalid Symbol Timing Error Min."},
    {"timing_max", &FormSnapshot::timing_error_max, u"Invalid Symbol Timing Error Max."},
    {"offset_min", &FormSnapshot::frequency_offset_min, u"Invalid Frequency Offset Min."},
    {"offset_max", &FormSnapshot::frequency_offset_max, u"Invalid Frequency Offset Max."},
    {"mix", &FormSnapshot::mix_frequency, u"Invalid Mix Frequency."},
    {"files", &FormSnapshot::files_per_modulation, u"Invalid File Count."},
    {"symbols", &FormSnapshot::num_symbols, u"Invalid Number of Symbols."},
    {"analog_fc", &FormSnapshot::analog_carrier_frequency, u"Invalid Analog Fc."},
    {"deviation", &FormSnapshot::analog_deviation, u"Invalid Analog Deviation."},
    {"amplitude_min", &FormSnapshot::amplitude_min, u"Invalid Amplitude Min."},
    {"amplitude_max", &FormSnapshot::amplitude_max, u"Invalid Amplitude Max."},
};

// Each box is checked in turn: a bad box is reported only when every earlier box is fine, and
// it is reported even when every later box is bad too.
TEST(ReadRunSettings, ChecksBoxesInOrderAndReportsTheFirstBadOne) {
  for (std::size_t k = 0; k < std::size(check_order); ++k) {
    FormSnapshot s = ticked({0});
    for (std::size_t later = k; later < std::size(check_order); ++later) s.*check_order[later].box = u"x";
    EXPECT_EQ(error_of(s), check_order[k].message) << check_order[k].name;
  }
}

TEST(ReadRunSettings, NothingTickedIsReportedBeforeAnyBox) {
  FormSnapshot s;
  for (const BoxCase& c : check_order) s.*c.box = u"";
  const auto result = read_run_settings(s);
  const FormError& error = std::get<FormError>(result);
  EXPECT_EQ(error.kind, FormError::Kind::no_modulation);
  EXPECT_EQ(error.message, u"No modulation selected.");
}

TEST(ReadRunSettings, OnlyTheFirstOfSeveralBadBoxes) {
  FormSnapshot s = ticked({0});
  s.symbol_rate_min = u"";
  s.snr_min = u"a";
  EXPECT_EQ(error_of(s), u"Invalid Symbol Rate Min.");
}

struct RefusalCase {
  const char* name;
  Box box;
  std::u16string text;
  std::u16string message;  // "(accepted)" when the value is served
};

class ServableValues : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(ServableValues, RefusesWhatTheRunCannotServe) {
  FormSnapshot s = ticked({4});
  s.*GetParam().box = GetParam().text;
  EXPECT_EQ(error_of(s), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, ServableValues,
    ::testing::Values(
        RefusalCase{"zero_symbol_rate", &FormSnapshot::symbol_rate_min, u"0", u"Invalid Symbol Rate Min."},
        RefusalCase{"negative_symbol_rate", &FormSnapshot::symbol_rate_max, u"-5", u"Invalid Symbol Rate Max."},
        RefusalCase{"infinite_symbol_rate", &FormSnapshot::symbol_rate_min, u"inf", u"Invalid Symbol Rate Min."},
        RefusalCase{"zero_sample_rate", &FormSnapshot::sample_rate, u"0", u"Invalid Sample Rate."},
        RefusalCase{"nan_sample_rate", &FormSnapshot::sample_rate, u"nan", u"Invalid Sample Rate."},
        RefusalCase{"tiny_sample_rate", &FormSnapshot::sample_rate, u"1e-300", u"(accepted)"},
        RefusalCase{"nan_snr", &FormSnapshot::snr_min, u"nan", u"Invalid SNR Min."},
        RefusalCase{"minus_inf_snr", &FormSnapshot::snr_max, u"-inf", u"Invalid SNR Max."},
        RefusalCase{"only_min_snr_infinite", &FormSnapshot::snr_min, u"inf", u"Invalid SNR Min."},
        RefusalCase{"only_max_snr_infinite", &FormSnapshot::snr_max, u"Infinity", u"Invalid SNR Max."},
        RefusalCase{"negative_snr", &FormSnapshot::snr_min, u"-40", u"(accepted)"},
        RefusalCase{"nan_multipath_kept_plain", &FormSnapshot::multipath_error, u"nan", u"(accepted)"},
        RefusalCase{"infinite_timing", &FormSnapshot::timing_error_max, u"inf", u"Invalid Symbol Timing Error Max."},
        RefusalCase{"negative_timing", &FormSnapshot::timing_error_min, u"-0.5", u"(accepted)"},
        RefusalCase{"nan_offset", &FormSnapshot::frequency_offset_min, u"nan", u"Invalid Frequency Offset Min."},
        RefusalCase{"infinite_mix", &FormSnapshot::mix_frequency, u"-inf", u"Invalid Mix Frequency."},
        RefusalCase{"infinite_fc", &FormSnapshot::analog_carrier_frequency, u"inf", u"Invalid Analog Fc."},
        RefusalCase{"nan_deviation", &FormSnapshot::analog_deviation, u"nan", u"Invalid Analog Deviation."},
        RefusalCase{"infinite_amplitude", &FormSnapshot::amplitude_max, u"inf", u"Invalid Amplitude Max."},
        RefusalCase{"negative_symbols", &FormSnapshot::num_symbols, u"-1", u"Invalid Number of Symbols."},
        RefusalCase{"zero_symbols", &FormSnapshot::num_symbols, u"0", u"(accepted)"},
        RefusalCase{"most_symbols", &FormSnapshot::num_symbols, u"2147483647", u"(accepted)"},
        RefusalCase{"too_many_symbols", &FormSnapshot::num_symbols, u"2147483648", u"Invalid Number of Symbols."},
        RefusalCase{"negative_files", &FormSnapshot::files_per_modulation, u"-1", u"(accepted)"},
        RefusalCase{"fractional_files", &FormSnapshot::files_per_modulation, u"2.0", u"Invalid File Count."}),
    test::CaseName());

TEST(ReadRunSettings, BothSnrBoxesInfiniteMeanNoNoise) {
  FormSnapshot s = ticked({0});
  s.snr_min = u"inf";
  s.snr_max = u"INF";
  const RunSettings settings = std::get<RunSettings>(read_run_settings(s));
  EXPECT_EQ(settings.snr_min_db, inf);
  EXPECT_EQ(settings.snr_max_db, inf);
}

TEST(ReadRunSettings, DefaultsGiveTheDocumentedValues) {
  FormSnapshot s = ticked({21, 0});  // "GMSK" and "AM": checkbox order, not click order
  s.save_settings_checked = true;
  s.snr_min = u"30";
  s.snr_max = u"10";  // minimum above maximum stays as typed
  s.multipath_error = u"5";
  s.output_folder = u"";
  const RunSettings r = std::get<RunSettings>(read_run_settings(s));
  EXPECT_EQ(r.modulations, (std::vector<std::string>{"AM", "GMSK"}));
  EXPECT_TRUE(r.save_settings_file);
  EXPECT_EQ(r.symbol_rate_min, 1000.0);
  EXPECT_EQ(r.symbol_rate_max, 5000.0);
  EXPECT_EQ(r.sample_rate, 10000.0);
  EXPECT_EQ(r.snr_min_db, 30.0);
  EXPECT_EQ(r.snr_max_db, 10.0);
  EXPECT_EQ(r.timing_error_min, 0.0);
  EXPECT_EQ(r.timing_error_max, 0.1);
  EXPECT_EQ(r.frequency_offset_min, 0.0);
  EXPECT_EQ(r.frequency_offset_max, 100.0);
  EXPECT_EQ(r.mix_frequency, 0.0);
  EXPECT_EQ(r.files_per_modulation, 1);
  EXPECT_EQ(r.num_symbols, 1000);
  EXPECT_EQ(r.analog_carrier_frequency, 1000.0);
  EXPECT_EQ(r.analog_deviation, 500.0);
  EXPECT_EQ(r.amplitude_min, 0.5);
  EXPECT_EQ(r.amplitude_max, 1.0);
  EXPECT_EQ(r.output_folder, u"");
}

TEST(ReadRunSettings, CheckboxNamesInFormOrder) {
  FormSnapshot s;
  s.modulation_checked.fill(true);
  const RunSettings r = std::get<RunSettings>(read_run_settings(s));
  ASSERT_EQ(r.modulations.size(), 22u);
  EXPECT_EQ(r.modulations.front(), "AM");
  EXPECT_EQ(r.modulations[6], "Pi/4-DQPSK");
  EXPECT_EQ(r.modulations.back(), "GMSK");
}

TEST(HandleModulate, ErrorsBecomeOutputOrMessageBox) {
  const ModulateOutcome none = handle_modulate(FormSnapshot{});
  EXPECT_EQ(none.kind, ModulateOutcome::Kind::show_output);
  EXPECT_EQ(none.text, u"No modulation selected.");
  FormSnapshot bad = ticked({1});
  bad.amplitude_max = u"1,0";
  const ModulateOutcome refused = handle_modulate(bad);
  EXPECT_EQ(refused.kind, ModulateOutcome::Kind::show_message);
  EXPECT_EQ(refused.text, u"Invalid Amplitude Max.");
}

}  // namespace
}  // namespace quorvin
