#include "generator/generator.h"

#include "common/limits.h"
#include "dsp_reference.h"

namespace quorvin {
namespace {

using test::inf;
constexpr double fs = 10000.0;
constexpr double rs = 3000.0;
constexpr Seed symbol_seed = 2024u;

// Symbols only: no noise, mixing, drift or offset. Every name's bytes, with and without the
// channel's stages, are pinned by golden_corpus.
DigitalParameters bare(std::int32_t n, double symbol_rate = rs, double sample_rate = fs,
                       DigitalSeeds seeds = {symbol_seed, std::nullopt}) {
  return {.num_symbols = n, .symbol_rate = symbol_rate, .sample_rate = sample_rate, .snr_db = inf,
          .seeds = seeds};
}

Signal clean(std::string_view name, std::int32_t n) { return generate_digital_signal(name, bare(n)); }

TEST(DigitalRoute, NamesThatRouteNowhereGiveNoSamplesAndNoError) {
  for (const char* name : {"QAM2048", "QAM032", "QAM+32", "QAM0", "QAM-16", "APSK8", "qpsk",
                           "QPSK ", "AM", "", "QA"}) {
    EXPECT_TRUE(clean(name, 100).empty()) << '"' << name << '"';
  }
}

// "QAM" and "APSK" orders are read as std::stoi reads them, and fail with its types and texts.
TEST(DigitalRoute, OrderIsReadLikeStoi) {
  ASSERT_FALSE(clean("QAM16", 50).empty());
  EXPECT_TRUE(test::same_bits(clean("QAM 16", 50), clean("QAM16", 50)));
  EXPECT_TRUE(test::same_bits(clean("QAM16xyz", 50), clean("QAM16", 50)));
  EXPECT_TRUE(test::same_bits(clean("APSK+016", 50), clean("APSK16", 50)));
  EXPECT_EQ(parse_modulation_order("2147483647"), 2147483647);
  EXPECT_EQ(parse_modulation_order("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(parse_modulation_order("\t\n 42abc"), 42);
  for (const char* name : {"QAM", "APSK", "QAMx16", "APSK-", "QAM+-4"}) {
    EXPECT_EQ(test::thrown_message<std::invalid_argument>([&] { clean(name, 10); }),
              "invalid stoi argument") << name;
  }
  for (const char* name : {"QAM2147483648", "APSK-2147483649", "QAM99999999999999999999999"}) {
    EXPECT_EQ(test::thrown_message<std::out_of_range>([&] { clean(name, 10); }),
              "stoi argument out of range") << name;
  }
}

// The route passes fs / Rs unrounded: 1.99 samples per symbol is refused, 2.0 is not.
TEST(Oqpsk, RefusedBelowTwoSamplesPerSymbolAcceptedAtTwo) {
  EXPECT_EQ(test::thrown_message<std::invalid_argument>(
                [] { generate_digital_signal("OQPSK", bare(10, 1000.0, 1990.0)); }),
            "samples_per_symbol must be at least 2 for OQPSK.");
  EXPECT_EQ(generate_digital_signal("OQPSK", bare(10, 1000.0, 2000.0)).size(), 19u);
}

// Without seeds each run draws its own symbols (seeded runs' bytes are pinned by golden_corpus).
TEST(Seeds, DefaultSeedsDiffer) {
  const auto symbols_only = [] { return generate_digital_signal("QAM64", bare(500, rs, fs, {})); };
  EXPECT_FALSE(test::same_bits(symbols_only(), symbols_only()));
}

TEST(Limits, OversizedSignalsAndNegativeCountsAreRefusedBeforeAllocating) {
  EXPECT_EQ(test::thrown_message<std::length_error>(
                [] { generate_digital_signal("2FSK", bare(2147483647, 1000.0, 10000.0)); }),
            "signal of 21474836470 samples exceeds the limit of " +
                std::to_string(max_samples_per_file) + " samples per file.");
  EXPECT_THROW(generate_digital_signal("QPSK", bare(2147483647, 1e-300, 1e300)), std::length_error);
  EXPECT_THROW(generate_digital_signal("MSK", bare(10, 0.0, 10000.0)), std::length_error);
  EXPECT_THROW(generate_digital_signal("QPSK", bare(100, std::nan(""), 10000.0)), std::length_error);
  // A long baseband counts even when resampling would shrink it.
  EXPECT_THROW(generate_digital_signal("QPSK", bare(2147483647, 1e9, 1.0)), std::length_error);
  EXPECT_THROW(generate_digital_signal("QPSK", bare(-1)), std::invalid_argument);
  EXPECT_TRUE(generate_digital_signal("4FSK", bare(100, 5000.0, 4000.0)).empty());
}

// The modulators take at most 2^32 - 1 samples per symbol; the refusal still gives the true count.
TEST(Limits, ARefusalAtAHugeSampleRateGivesTheTrueCount) {
  const std::string limit = " exceeds the limit of " + std::to_string(max_samples_per_file) + " samples per file.";
  // 1000 symbols at 1e3 symbols a second and 1e300 samples a second: 1e297 samples per symbol.
  // OQPSK cuts its last symbol to one sample.
  const std::pair<const char*, const char*> cases[] = {{"2FSK", "1e+300"}, {"4FSK", "1e+300"}, {"8FSK", "1e+300"},
                                                       {"MSK", "1e+300"},  {"GMSK", "1e+300"}, {"OQPSK", "9.99e+299"}};
  for (const auto& one : cases) {
    const char* name = one.first;
    EXPECT_EQ(test::thrown_message<std::length_error>([name] { generate_digital_signal(name, bare(1000, 1e3, 1e300)); }),
              "signal of " + std::string(one.second) + " samples" + limit)
        << name;
  }
  EXPECT_EQ(test::thrown_message<std::length_error>([] { generate_digital_signal("2FSK", bare(3, 1.0, 5e9)); }),
            "signal of 15000000000 samples" + limit);
}

}  // namespace
}  // namespace quorvin
