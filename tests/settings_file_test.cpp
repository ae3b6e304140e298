#include "run/settings_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>

#include "run_test_support.h"

namespace quorvin {
namespace {

TEST(FixedText, MatchesPrintfF) {
  const double values[] = {10000.0, 0.1, -3.5, 1e20, -1e-9, 0.0, -0.0, 0.0000005, 0.0000015,
                           2.5e-7, 123456789.123456789, 1.7976931348623157e308, -4.9e-324};
  for (const double v : values) {
    char expected[400];
    std::snprintf(expected, sizeof expected, "%f", v);
    EXPECT_EQ(fixed_text(v), expected) << v;
  }
  EXPECT_EQ(fixed_text(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(fixed_text(-std::numeric_limits<double>::quiet_NaN()), "nan");
}

class SettingsFile : public test::TempFolder {};

// The settings lines of one file, from its parameter rows.
SettingsEntries entries_of(const RunSettings& s, const PlannedFile& f) {
  return settings_entries(file_parameters({s, f, 7u}));  // seeds never reach the settings file
}

TEST_F(SettingsFile, DigitalFileSortedByLabelExactBytes) {
  const auto path = folder() / "QPSK_signal_1.txt";
  RunSettings s;
  s.sample_rate = 10000;
  s.num_symbols = 1000;
  PlannedFile f{.modulation = "QPSK", .snr_db = 10, .symbol_rate = 1000, .seeds = {1, 2}};
  ASSERT_TRUE(write_settings_file(path, entries_of(s, f)));
  EXPECT_EQ(test::read_file(path),
            "Frequency Offset: 0.000000 Hz\r\n"
            "Mixed Frequency: 0.000000 Hz\r\n"
            "Modulation Type: QPSK\r\n"
            "Number of Symbols: 1000\r\n"
            "SNR: 10.000000 dB\r\n"
            "Sample Rate: 10000.000000 Hz\r\n"
            "Symbol Rate: 1000.000000 Baud\r\n"
            "Symbol Timing Error: 0.000000\r\n");
}

TEST_F(SettingsFile, FmFileHasNineLinesWithDeviationThird) {
  const auto path = folder() / "FM_signal_1.txt";
  RunSettings s;
  s.sample_rate = 8000;
  s.analog_carrier_frequency = 1000;
  s.analog_deviation = 500;
  s.mix_frequency = 250;
  PlannedFile f{.modulation = "FM", .amplitude = 0.75, .snr_db = -3, .message_frequency = 12.5, .seeds = {}};
  ASSERT_TRUE(write_settings_file(path, entries_of(s, f)));
  EXPECT_EQ(test::read_file(path),
            "Amplitude: 0.750000\r\n"
            "Carrier Frequency: 1000.000000 Hz\r\n"
            "Frequency Deviation: 500.000000 Hz\r\n"
            "Message Frequency: 12.500000 Hz\r\n"
            "Mixed Frequency: 250.000000 Hz\r\n"
            "Modulation Type: FM\r\n"
            "Number of Samples: 0\r\n"
            "SNR: -3.000000 dB\r\n"
            "Sample Rate: 8000.000000 Hz\r\n");
}

// The other analog names have FM's lines but the deviation (FM's nine are checked above).
TEST(SettingsEntries, OnlyFmRecordsTheDeviation) {
  RunSettings s;
  s.num_symbols = -8;
  for (const char* name : {"AM", "AM-SSB", "CW"}) {
    const SettingsEntries e = entries_of(s, {.modulation = name, .seeds = {}});
    EXPECT_EQ(e.size(), 8u) << name;
    EXPECT_EQ(e.count("Frequency Deviation"), 0u) << name;
    EXPECT_EQ(e.at("Number of Samples"), "-8");
    EXPECT_EQ(e.begin()->first, "Amplitude");
    EXPECT_EQ(e.rbegin()->first, "Sample Rate");
  }
}

}  // namespace
}  // namespace quorvin
