// The form's boxes: each text is read as wcstod or wcstol would read it, every box accepts or
// refuses it as its rule and the run's needs say, with its own message, in the command's order.

#include "form/form.h"

#include <gtest/gtest.h>

#include "parameter_names.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <cmath>
#include <cwchar>
#include <limits>
#include <string>

#include "common/text.h"
#include "dsp_reference.h"
#include "run_test_support.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();
constexpr auto no = std::nullopt;

struct TextCase {
  const char* name;
  std::u16string text;
  std::optional<double> decimal;        // the decimal rule's value (NaN: accepted as NaN)
  std::optional<std::int32_t> integer;  // the integer rule's value
};

const TextCase texts[] = {
    {"empty", u"", no, no}, {"blanks", u" \t\r\n\v\f", no, no}, {"leading_space", u" 10", 10.0, 10},
    {"all_c_spaces", u"\t\n\v\f\r 5", 5.0, 5},
    {"blanks_then_number_256", std::u16string(255, u' ') + u"5", 5.0, 5},
    {"trailing_space", u"10 ", no, no}, {"zero", u"0", 0.0, 0}, {"plus", u"+12", 12.0, 12},
    {"minus", u"-3", -3.0, -3}, {"minus_zero", u"-0", -0.0, 0}, {"sign_only", u"-", no, no},
    {"double_sign", u"+-1", no, no}, {"letter", u"a", no, no}, {"comma", u"1,5", no, no},
    {"decimal_point", u"1.0", 1.0, no}, {"leading_point", u".5", 0.5, no},
    {"trailing_point", u"1.", 1.0, no}, {"point_only", u".", no, no}, {"exponent", u"1e3", 1000.0, no},
    {"signed_fraction", u"-.5e1", -5.0, no}, {"exponent_only", u"e5", no, no},
    {"dangling_exponent", u"1e", no, no}, {"dangling_sign", u"1e+", no, no}, {"hex", u"0x10", 16.0, no},
    {"hex_binary_exponent", u"0X1p-2", 0.25, no}, {"hex_point_first", u"0x.8", 0.5, no},
    {"hex_negative_fraction", u"-0x1.8p1", -3.0, no}, {"hex_without_digits", u"0x", no, no},
    {"hex_dangling_exponent", u"0x1p", no, no}, {"inf", u"inf", inf, no},
    {"upper_inf", u"INF", inf, no}, {"minus_infinity", u"-Infinity", -inf, no},
    {"inf_with_tail", u"infx", no, no}, {"infinit", u"infinit", no, no}, {"nan", u"nan", nan, no},
    {"nan_payload", u"NaN(abc_1)", nan, no}, {"nan_open", u"nan(", no, no},
    {"overflow", u"1e999", no, no}, {"negative_overflow", u"-1e999", no, no},
    {"rounds_to_overflow", u"1.7976931348623159e308", no, no},
    {"largest", u"1.7976931348623157e308", 1.7976931348623157e308, no},
    {"big_negative", u"-1e308", -1e308, no},
    {"number_300_characters", u"1" + std::u16string(299, u'0'), 1e299, no},
    {"fraction_303_characters", u"0." + std::u16string(300, u'0') + u"1", 1e-301, no},
    {"tiny", u"1e-300", 1e-300, no}, {"underflow", u"1e-400", no, no},
    {"decimal_subnormal", u"1e-310", no, no},
    {"smallest_normal", u"2.2250738585072014e-308", 2.2250738585072014e-308, no},
    {"rounds_up_to_smallest_normal", u"2.2250738585072012014e-308", 2.2250738585072014e-308, no},
    {"exact_hex_subnormal", u"0x1p-1074", 4.9406564584124654e-324, no},
    {"inexact_hex_subnormal", u"0x1.8p-1074", no, no}, {"zero_exponent_huge", u"0e-99999", 0.0, no},
    {"int_max", u"2147483647", 2147483647.0, 2147483647},
    {"int_max_plus_one", u"2147483648", 2147483648.0, no},
    {"int_min", u"-2147483648", -2147483648.0, -2147483647 - 1},
    {"int_min_minus_one", u"-2147483649", -2147483649.0, no},
    {"many_digits", u"99999999999999999999999", 99999999999999999999999.0, no},
    {"leading_zeros_261", std::u16string(260, u'0') + u"7", 7.0, 7},
    {"arabic_indic_digit", u"\u0665", no, no}, {"devanagari_digits", u"\u0967\u0966", no, no},
    {"fullwidth_digits", u"\uff11\uff10", no, no}, {"fullwidth_minus", u"\uff0d1", no, no},
    {"ideographic_space", u"\u30005", no, no}, {"no_break_space", u"\u00a05", no, no},
    {"lone_surrogate", u"1\xd800", no, no}, {"embedded_nul", std::u16string(u"1\0" u"2", 3), no, no},
    {"trailing_nul", std::u16string(u"7\0", 2), no, no}, {"only_nul", std::u16string(1, u'\0'), no, no},
};

// What a box needs beyond its parse rule, because the run could not serve the value otherwise.
// An SNR box alone may not be infinite: +inf means "no noise" only for the whole range.
enum class Need { anything, finite, positive, snr, any_integer, count };

struct BoxCase {
  std::u16string FormSnapshot::*text;
  std::u16string message;
  Need need;
  double RunSettings::*decimal = nullptr;
  std::int32_t RunSettings::*whole = nullptr;
};

// The boxes in the order the command checks them.
const BoxCase boxes[] = {
    {&FormSnapshot::symbol_rate_min, u"Invalid Symbol Rate Min.", Need::positive, &RunSettings::symbol_rate_min},
    {&FormSnapshot::symbol_rate_max, u"Invalid Symbol Rate Max.", Need::positive, &RunSettings::symbol_rate_max},
    {&FormSnapshot::sample_rate, u"Invalid Sample Rate.", Need::positive, &RunSettings::sample_rate},
    {&FormSnapshot::snr_min, u"Invalid SNR Min.", Need::snr, &RunSettings::snr_min_db},
    {&FormSnapshot::snr_max, u"Invalid SNR Max.", Need::snr, &RunSettings::snr_max_db},
    {&FormSnapshot::multipath_error, u"Invalid Multipath Error.", Need::anything},
    {&FormSnapshot::timing_error_min, u"Invalid Symbol Timing Error Min.", Need::finite, &RunSettings::timing_error_min},
    {&FormSnapshot::timing_error_max, u"Invalid Symbol Timing Error Max.", Need::finite, &RunSettings::timing_error_max},
    {&FormSnapshot::frequency_offset_min, u"Invalid Frequency Offset Min.", Need::finite, &RunSettings::frequency_offset_min},
    {&FormSnapshot::frequency_offset_max, u"Invalid Frequency Offset Max.", Need::finite, &RunSettings::frequency_offset_max},
    {&FormSnapshot::mix_frequency, u"Invalid Mix Frequency.", Need::finite, &RunSettings::mix_frequency},
    {&FormSnapshot::files_per_modulation, u"Invalid File Count.", Need::any_integer, nullptr, &RunSettings::files_per_modulation},
    {&FormSnapshot::num_symbols, u"Invalid Number of Symbols.", Need::count, nullptr, &RunSettings::num_symbols},
    {&FormSnapshot::analog_carrier_frequency, u"Invalid Analog Fc.", Need::finite, &RunSettings::analog_carrier_frequency},
    {&FormSnapshot::analog_deviation, u"Invalid Analog Deviation.", Need::finite, &RunSettings::analog_deviation},
    {&FormSnapshot::amplitude_min, u"Invalid Amplitude Min.", Need::finite, &RunSettings::amplitude_min},
    {&FormSnapshot::amplitude_max, u"Invalid Amplitude Max.", Need::finite, &RunSettings::amplitude_max},
};

bool served(Need need, double value) {
  switch (need) {
    case Need::anything: case Need::any_integer: return true;
    case Need::finite: case Need::snr: return std::isfinite(value);
    case Need::positive: return std::isfinite(value) && value > 0.0;
    case Need::count: return value >= 0.0;
  }
  return false;
}

bool same(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

FormSnapshot ticked(std::initializer_list<std::size_t> indices) {
  FormSnapshot s;
  for (const std::size_t i : indices) s.modulation_checked[i] = true;
  return s;
}

std::u16string error_of(const FormSnapshot& s) {
  const auto result = read_run_settings(s);
  const FormError* error = std::get_if<FormError>(&result);
  return error ? error->message : u"(accepted)";
}

class BoxText : public ::testing::TestWithParam<TextCase> {};

TEST_P(BoxText, ParsesAndEveryBoxAcceptsOrRefusesAsItsRuleSays) {
  const TextCase& c = GetParam();
  const std::optional<double> decimal = parse_decimal_field(c.text);
  ASSERT_EQ(decimal.has_value(), c.decimal.has_value());
  if (decimal) {
    EXPECT_TRUE(same(*decimal, *c.decimal)) << *decimal;
  }
  EXPECT_EQ(parse_integer_field(c.text), c.integer);
  for (const BoxCase& box : boxes) {
    SCOPED_TRACE(utf16_to_utf8(box.message));
    FormSnapshot snapshot = ticked({4});  // QPSK
    snapshot.*box.text = c.text;
    const auto outcome = read_run_settings(snapshot);
    const bool integer = box.need == Need::any_integer || box.need == Need::count;
    const bool parses = integer ? c.integer.has_value() : c.decimal.has_value();
    const double parsed = integer ? c.integer.value_or(0) : c.decimal.value_or(0.0);
    const FormError* error = std::get_if<FormError>(&outcome);
    ASSERT_EQ(error == nullptr, parses && served(box.need, parsed));
    if (error != nullptr) {
      EXPECT_EQ(error->kind, FormError::Kind::invalid_field);
      EXPECT_TRUE(error->message == box.message);
    } else if (box.decimal != nullptr) {
      EXPECT_TRUE(same(std::get<RunSettings>(outcome).*box.decimal, parsed));
    } else if (box.whole != nullptr) {
      EXPECT_EQ(std::get<RunSettings>(outcome).*box.whole, *c.integer);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, BoxText, ::testing::ValuesIn(texts), test::CaseName());

#ifndef _WIN32
// The C library's wcstod in the classic locale as an independent reference.
TEST(DecimalRule, AgreesWithTheCLibrary) {
  const char* references[] = {"0", "12.5", "  -7e-3", "1e", "1e+", "0x1A.8p3", "0x", "nan", "-inf", "infinity",
                              "1e-320", "1e-307", "3.4e38", "9e307", "1e309", "00012", "+.e5", "5.", "1.2.3",
                              "0x1p-1074", "0x1p-1075", "0x3p-1074", "0x1.4p-1072", "1 ", "- 1", "0x.p1"};
  for (const char* text : references) {
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

// A bad box is reported only when every earlier box is fine, even when every later one is bad;
// the form's run shows it in a message box.
TEST(ReadRunSettings, ChecksBoxesInOrderAndReportsTheFirstBadOne) {
  for (std::size_t k = 0; k < std::size(boxes); ++k) {
    FormSnapshot s = ticked({0});
    for (std::size_t later = k; later < std::size(boxes); ++later) s.*boxes[later].text = u"1,0";
    EXPECT_TRUE(error_of(s) == boxes[k].message) << utf16_to_utf8(error_of(s));
    const ModulateOutcome refused = handle_modulate(s);
    EXPECT_EQ(refused.kind, ModulateOutcome::Kind::show_message);
    EXPECT_TRUE(refused.text == boxes[k].message);
  }
}

// Shown in the output box, not as an "Input Error".
TEST(ReadRunSettings, NothingTickedIsReportedBeforeAnyBox) {
  FormSnapshot s;
  for (const BoxCase& c : boxes) s.*c.text = u"";
  const FormError error = std::get<FormError>(read_run_settings(s));
  EXPECT_EQ(error.kind, FormError::Kind::no_modulation);
  EXPECT_EQ(error.message, u"No modulation selected.");
  const ModulateOutcome outcome = handle_modulate(s);
  EXPECT_EQ(outcome.kind, ModulateOutcome::Kind::show_output);
  EXPECT_EQ(outcome.text, u"No modulation selected.");
}

class HandleModulateRun : public test::TempFolder {};

// The form's run writes its files and reports them; it keeps a sample file and its settings file
// from the same run, as the command line's does: a run without settings takes the earlier
// settings file away.
TEST_F(HandleModulateRun, ARunWithoutSettingsTakesTheEarlierSettingsFileAway) {
  FormSnapshot s = ticked({0});  // AM
  s.output_folder = folder().u16string();
  s.num_symbols = u"10";
  s.save_settings_checked = true;
  const ModulateOutcome first = handle_modulate(s, 1);
  const std::filesystem::path sample_file = folder() / "AM_signal_1.csv";
  EXPECT_EQ(first.kind, ModulateOutcome::Kind::show_output);
  EXPECT_EQ(first.text, u"AM: Saved to " + sample_file.u16string() + u"\n  Settings saved to " +
                            (folder() / "AM_signal_1.txt").u16string() + u"\n");
  ASSERT_TRUE(std::filesystem::exists(folder() / "AM_signal_1.txt"));
  s.num_symbols = u"5";
  s.save_settings_checked = false;
  const ModulateOutcome outcome = handle_modulate(s, 2);
  EXPECT_EQ(outcome.text, u"AM: Saved to " + sample_file.u16string() + u"\n");
  EXPECT_FALSE(std::filesystem::exists(folder() / "AM_signal_1.txt"));
  const std::string samples = test::read_file(sample_file);
  EXPECT_EQ(std::count(samples.begin(), samples.end(), '\n'), 5);
}

}  // namespace
}  // namespace quorvin
