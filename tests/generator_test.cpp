#include "generator/generator.h"

#include <gtest/gtest.h>

#include "parameter_names.h"

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <string>

#include "channel/noise.h"
#include "channel/timing.h"
#include "common/limits.h"
#include "dsp_reference.h"
#include "generator/fsk.h"
#include "modulation/constellation.h"
#include "modulation/keying.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double fs = 10000.0;
constexpr double rs = 3000.0;
constexpr Seed symbol_seed = 2024u;

// The symbols the generator must draw for a seed: the standard engine and distribution.
Symbols reference_symbols(std::int32_t n, std::int32_t alphabet) {
  std::mt19937 engine(symbol_seed);
  std::uniform_int_distribution<std::int32_t> draw(0, alphabet - 1);
  Symbols s(static_cast<std::size_t>(n));
  for (auto& x : s) x = draw(engine);
  return s;
}

// Symbols only: no noise, mixing, drift or offset.
DigitalParameters bare(std::int32_t n, double symbol_rate, double sample_rate, DigitalSeeds seeds = {}) {
  return {.num_symbols = n, .symbol_rate = symbol_rate, .sample_rate = sample_rate, .snr_db = inf,
          .mix_frequency = 0.0, .timing_error = 0.0, .frequency_offset = 0.0, .seeds = seeds};
}

// The channel's parameters set on top of bare ones.
DigitalParameters with_channel(DigitalParameters p, double snr_db, double mix, double timing, double offset) {
  p.snr_db = snr_db;
  p.mix_frequency = mix;
  p.timing_error = timing;
  p.frequency_offset = offset;
  return p;
}

Signal clean(std::string_view name, std::int32_t n, double symbol_rate = rs, double sample_rate = fs) {
  return generate_digital_signal(name, bare(n, symbol_rate, sample_rate, {symbol_seed, std::nullopt}));
}

struct RouteCase {
  const char* name;
  std::size_t expected_samples;  // 1000 symbols, fs = 10000 Hz, Rs = 3000 Baud
  std::function<Signal(const Symbols&)> reference;
  std::int32_t alphabet;
};

Signal resampled(const Signal& s) { return resample_to_sample_rate(s, rs, fs); }
const double sps = fs / rs;

class DigitalRoute : public ::testing::TestWithParam<RouteCase> {};

// Every name reaches its own modulator: with no impairments the result is exactly the building
// block applied to the symbols drawn from the seed.
TEST_P(DigitalRoute, ReachesItsModulatorWithTheDocumentedLength) {
  const RouteCase c = GetParam();
  const Signal out = clean(c.name, 1000);
  EXPECT_EQ(out.size(), c.expected_samples);
  EXPECT_TRUE(test::same_bits(out, c.reference(reference_symbols(1000, c.alphabet))));
}

TEST_P(DigitalRoute, ZeroSymbolsGiveEmptySignal) {
  EXPECT_TRUE(generate_digital_signal(GetParam().name, with_channel(bare(0, rs, fs), 10.0, 100.0, 0.1, 50.0)).empty());
}

INSTANTIATE_TEST_SUITE_P(
    FormNames, DigitalRoute,
    ::testing::Values(
        RouteCase{"BPSK", 3333, [](const Symbols& s) { return resampled(psk_map(s, 2)); }, 2},
        RouteCase{"QPSK", 3333, [](const Symbols& s) { return resampled(psk_map(s, 4)); }, 4},
        RouteCase{"8PSK", 3333, [](const Symbols& s) { return resampled(psk_map(s, 8)); }, 8},
        RouteCase{"16PSK", 3333, [](const Symbols& s) { return resampled(psk_map(s, 16)); }, 16},
        RouteCase{"OQPSK", 2998, [](const Symbols& s) { return oqpsk_modulate(s, sps); }, 4},
        RouteCase{"Pi/4-DQPSK", 1000, [](const Symbols& s) { return pi4_dqpsk_map(s, pi * 0.25); }, 4},
        RouteCase{"QAM16", 3333, [](const Symbols& s) { return resampled(qam_square_map(s, 16)); }, 16},
        RouteCase{"QAM32", 3333, [](const Symbols& s) { return resampled(qam32_map(s)); }, 32},
        RouteCase{"QAM64", 3333, [](const Symbols& s) { return resampled(qam_square_map(s, 64)); }, 64},
        RouteCase{"QAM128", 3333, [](const Symbols& s) { return resampled(qam128_map(s)); }, 128},
        RouteCase{"QAM256", 3333, [](const Symbols& s) { return resampled(qam_square_map(s, 256)); }, 256},
        RouteCase{"QAM1024", 3333, [](const Symbols& s) { return resampled(qam_square_map(s, 1024)); }, 1024},
        RouteCase{"APSK16", 3333,
                  [](const Symbols& s) { return resampled(apsk_map(s, {4, 12}, {0.5, 1.5})); }, 16},
        RouteCase{"APSK32", 3333,
                  [](const Symbols& s) { return resampled(apsk_map(s, {4, 12, 16}, {0.3, 0.7, 1.2})); }, 32},
        RouteCase{"APSK64", 3333,
                  [](const Symbols& s) {
                    return resampled(apsk_map(s, {8, 12, 20, 24}, {0.8, 1.2, 2.0, 2.5}));
                  },
                  64},
        RouteCase{"2FSK", 3000, [](const Symbols& s) { return fsk_modulate(s, 2, rs, fs); }, 2},
        RouteCase{"4FSK", 3000, [](const Symbols& s) { return fsk_modulate(s, 4, rs, fs); }, 4},
        RouteCase{"8FSK", 3000, [](const Symbols& s) { return fsk_modulate(s, 8, rs, fs); }, 8},
        RouteCase{"MSK", 3000, [](const Symbols& s) { return msk_modulate(s, sps); }, 2},
        RouteCase{"GMSK", 3000, [](const Symbols& s) { return gmsk_modulate(s, sps); }, 2}),
    [](const auto& param_info) {
      std::string name = param_info.param.name;
      for (char& c : name) if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(DigitalRoute, Qam1024UsesTheWholeThirtyTwoByThirtyTwoGrid) {
  const Signal out = clean("QAM1024", 20000, fs, fs);  // equal rates: one sample per symbol
  std::set<std::pair<int, int>> points;
  for (const Sample& p : out) {
    ASSERT_EQ(std::fmod(std::abs(p.real()), 2.0), 1.0);
    ASSERT_LE(std::abs(p.real()), 31.0);
    ASSERT_LE(std::abs(p.imag()), 31.0);
    points.insert({static_cast<int>(p.real()), static_cast<int>(p.imag())});
  }
  EXPECT_EQ(points.size(), 1024u);
}

struct NameCase {
  const char* name;
  const char* modulation_name;
};

class EmptyResult : public ::testing::TestWithParam<NameCase> {};

TEST_P(EmptyResult, GivesNoSamplesAndNoError) {
  EXPECT_TRUE(clean(GetParam().modulation_name, 100).empty());
}

INSTANTIATE_TEST_SUITE_P(Names, EmptyResult,
                         ::testing::Values(NameCase{"qam2048_not_square", "QAM2048"},
                                           NameCase{"qam_leading_zero_32", "QAM032"},
                                           NameCase{"qam_plus_32", "QAM+32"},
                                           NameCase{"qam_zero", "QAM0"},
                                           NameCase{"qam_negative", "QAM-16"},
                                           NameCase{"apsk_without_rings", "APSK8"},
                                           NameCase{"lower_case", "qpsk"},
                                           NameCase{"trailing_space", "QPSK "},
                                           NameCase{"analog_name", "AM"},
                                           NameCase{"empty", ""},
                                           NameCase{"short_prefix", "QA"}),
                         test::CaseName());

TEST(DigitalRoute, QamOrderIsReadLikeStoi) {
  EXPECT_TRUE(test::same_bits(clean("QAM 16", 50), clean("QAM16", 50)));
  EXPECT_TRUE(test::same_bits(clean("QAM16xyz", 50), clean("QAM16", 50)));
  EXPECT_TRUE(test::same_bits(clean("APSK+016", 50), clean("APSK16", 50)));
}

struct ErrorCase {
  const char* name;
  const char* modulation_name;
  const char* message;
  bool out_of_range;
};

class OrderError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(OrderError, ThrowsTheStandardTypeWithExactText) {
  const ErrorCase c = GetParam();
  try {
    clean(c.modulation_name, 10);
    ADD_FAILURE() << "no exception";
  } catch (const std::out_of_range& e) {
    EXPECT_TRUE(c.out_of_range);
    EXPECT_STREQ(e.what(), c.message);
  } catch (const std::invalid_argument& e) {
    EXPECT_FALSE(c.out_of_range);
    EXPECT_STREQ(e.what(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, OrderError,
    ::testing::Values(ErrorCase{"bare_qam", "QAM", "invalid stoi argument", false},
                      ErrorCase{"bare_apsk", "APSK", "invalid stoi argument", false},
                      ErrorCase{"letters", "QAMx16", "invalid stoi argument", false},
                      ErrorCase{"sign_only", "APSK-", "invalid stoi argument", false},
                      ErrorCase{"double_sign", "QAM+-4", "invalid stoi argument", false},
                      ErrorCase{"just_too_big", "QAM2147483648", "stoi argument out of range", true},
                      ErrorCase{"just_too_small", "APSK-2147483649", "stoi argument out of range", true},
                      ErrorCase{"long_digits", "QAM99999999999999999999999", "stoi argument out of range",
                                true}),
    test::CaseName());

TEST(ModulationOrder, LimitsOfThirtyTwoBits) {
  EXPECT_EQ(parse_modulation_order("2147483647"), 2147483647);
  EXPECT_EQ(parse_modulation_order("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(parse_modulation_order("\t\n 42abc"), 42);
}

TEST(Oqpsk, RefusedBelowTwoSamplesPerSymbolAcceptedAtTwo) {
  try {
    generate_digital_signal("OQPSK", bare(10, 1000.0, 1990.0));
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "samples_per_symbol must be at least 2 for OQPSK.");
  }
  EXPECT_EQ(generate_digital_signal("OQPSK", bare(10, 1000.0, 2000.0)).size(), 19u);
}

TEST(Channel, MixingIsSkippedAtExactlyZeroOnly) {
  const Signal reference = clean("QPSK", 200);
  for (const double zero : {0.0, -0.0}) {
    EXPECT_TRUE(test::same_bits(
        generate_digital_signal("QPSK", with_channel(bare(200, rs, fs, {symbol_seed, {}}), inf, zero, 0.0, 0.0)), reference));
  }
  const Signal mixed = generate_digital_signal("QPSK", with_channel(bare(200, rs, fs, {symbol_seed, {}}), inf, 1e-9, 0.0, 0.0));
  EXPECT_FALSE(test::same_bits(mixed, reference));
  EXPECT_TRUE(test::same_bits(mixed, frequency_shift(reference, fs, 1e-9)));
}

TEST(Channel, StagesRunInOrderWithNoiseLast) {
  const Seed noise_seed = 77u;
  const Signal out =
      generate_digital_signal("8PSK", with_channel(bare(300, rs, fs, {symbol_seed, noise_seed}), 12.0, 1500.0, 0.05, 40.0));
  Signal expected = frequency_shift(clean("8PSK", 300), fs, 1500.0);
  expected = apply_timing_error(expected, 0.05, rs, fs);
  expected = frequency_shift(expected, fs, 40.0);
  expected = add_awgn(expected, 12.0, noise_seed);
  EXPECT_TRUE(test::same_bits(out, expected));
}

TEST(Seeds, ExplicitSeedsReproduceDefaultSeedsDiffer) {
  const auto run = [](DigitalSeeds seeds) {
    return generate_digital_signal("QAM64", with_channel(bare(500, rs, fs, seeds), 20.0, 0.0, 0.02, 10.0));
  };
  EXPECT_TRUE(test::same_bits(run({1u, 2u}), run({1u, 2u})));
  EXPECT_FALSE(test::same_bits(run({1u, 2u}), run({1u, 3u})));
  EXPECT_FALSE(test::same_bits(run({1u, 2u}), run({4u, 2u})));
  const auto symbols_only = [] { return generate_digital_signal("QAM64", bare(500, rs, fs)); };
  EXPECT_FALSE(test::same_bits(symbols_only(), symbols_only()));
}

TEST(Limits, OversizedSignalsAreRefusedBeforeAllocating) {
  const std::string limit = std::to_string(max_samples_per_file);
  try {
    generate_digital_signal("2FSK", bare(2147483647, 1000.0, 10000.0));
    ADD_FAILURE() << "no exception";
  } catch (const std::length_error& e) {
    EXPECT_EQ(e.what(), "signal of 21474836470 samples exceeds the limit of " + limit + " samples per file.");
  }
  EXPECT_THROW(generate_digital_signal("QPSK", bare(2147483647, 1e-300, 1e300)), std::length_error);
  EXPECT_THROW(generate_digital_signal("MSK", bare(10, 0.0, 10000.0)), std::length_error);
  EXPECT_THROW(generate_digital_signal("QPSK", bare(100, std::nan(""), 10000.0)), std::length_error);
  // A long baseband counts even when resampling would shrink it.
  EXPECT_THROW(generate_digital_signal("QPSK", bare(2147483647, 1e9, 1.0)), std::length_error);
}

TEST(Limits, NegativeSymbolCountIsAnError) {
  EXPECT_THROW(generate_digital_signal("QPSK", bare(-1, rs, fs)), std::invalid_argument);
}

TEST(Limits, SampleRateBelowSymbolRateForFskGivesEmptySignal) {
  EXPECT_TRUE(generate_digital_signal("4FSK", with_channel(bare(100, 5000.0, 4000.0), 10.0, 0, 0, 0)).empty());
}

}  // namespace
}  // namespace quorvin
