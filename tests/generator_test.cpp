#include "generator/generator.h"

#include "channel/noise.h"
#include "channel/timing.h"
#include "common/limits.h"
#include "dsp_reference.h"
#include "generator/fsk.h"
#include "modulation/constellation.h"
#include "modulation/keying.h"

namespace quorvin {
namespace {

using test::inf;
constexpr double fs = 10000.0;
constexpr double rs = 3000.0;
constexpr Seed symbol_seed = 2024u;
const double sps = fs / rs;

// Symbols only: no noise, mixing, drift or offset.
DigitalParameters bare(std::int32_t n, double symbol_rate = rs, double sample_rate = fs,
                       DigitalSeeds seeds = {symbol_seed, std::nullopt}) {
  return {.num_symbols = n, .symbol_rate = symbol_rate, .sample_rate = sample_rate, .snr_db = inf,
          .seeds = seeds};
}

Signal clean(std::string_view name, std::int32_t n) { return generate_digital_signal(name, bare(n)); }

using Reference = std::function<Signal(const Symbols&)>;

// One point per symbol, then brought from Rs to fs.
Reference mapped(std::function<Signal(const Symbols&)> map) {
  return [map](const Symbols& s) { return resample_to_sample_rate(map(s), rs, fs); };
}
Reference psk(std::int32_t m) { return mapped([m](const Symbols& s) { return psk_map(s, m); }); }
Reference qam(std::int32_t m) { return mapped([m](const Symbols& s) { return qam_square_map(s, m); }); }
Reference apsk(std::vector<std::int32_t> counts, std::vector<double> radii) {
  return mapped([=](const Symbols& s) { return apsk_map(s, counts, radii); });
}
Reference fsk(std::int32_t m) { return [m](const Symbols& s) { return fsk_modulate(s, m, rs, fs); }; }

// Every name reaches its own modulator: with no impairments the result is exactly the building
// block applied to the symbols drawn from the seed, over the name's whole alphabet.
TEST(DigitalRoute, EveryFormNameReachesItsModulatorWithTheDocumentedLength) {
  struct Case {
    const char* name;
    std::size_t expected_samples;  // 1000 symbols, fs = 10000 Hz, Rs = 3000 Baud
    std::int32_t alphabet;
    Reference reference;
  };
  const Case cases[] = {
      {"BPSK", 3333, 2, psk(2)}, {"QPSK", 3333, 4, psk(4)}, {"8PSK", 3333, 8, psk(8)},
      {"16PSK", 3333, 16, psk(16)},
      {"OQPSK", 2998, 4, [](const Symbols& s) { return oqpsk_modulate(s, sps); }},
      {"Pi/4-DQPSK", 1000, 4, [](const Symbols& s) { return pi4_dqpsk_map(s, pi / 4); }},
      {"QAM16", 3333, 16, qam(16)}, {"QAM64", 3333, 64, qam(64)}, {"QAM256", 3333, 256, qam(256)},
      {"QAM1024", 3333, 1024, qam(1024)}, {"QAM32", 3333, 32, mapped(qam32_map)},
      {"QAM128", 3333, 128, mapped(qam128_map)}, {"APSK16", 3333, 16, apsk({4, 12}, {0.5, 1.5})},
      {"APSK32", 3333, 32, apsk({4, 12, 16}, {0.3, 0.7, 1.2})},
      {"APSK64", 3333, 64, apsk({8, 12, 20, 24}, {0.8, 1.2, 2.0, 2.5})},
      {"2FSK", 3000, 2, fsk(2)}, {"4FSK", 3000, 4, fsk(4)}, {"8FSK", 3000, 8, fsk(8)},
      {"MSK", 3000, 2, [](const Symbols& s) { return msk_modulate(s, sps); }},
      {"GMSK", 3000, 2, [](const Symbols& s) { return gmsk_modulate(s, sps); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Signal out = clean(c.name, 1000);
    EXPECT_EQ(out.size(), c.expected_samples);
    EXPECT_TRUE(test::same_bits(out, c.reference(test::random_symbols(1000, c.alphabet, symbol_seed))));
    EXPECT_TRUE(clean(c.name, 0).empty());
  }
}

TEST(DigitalRoute, NamesThatRouteNowhereGiveNoSamplesAndNoError) {
  for (const char* name : {"QAM2048", "QAM032", "QAM+32", "QAM0", "QAM-16", "APSK8", "qpsk",
                           "QPSK ", "AM", "", "QA"}) {
    EXPECT_TRUE(clean(name, 100).empty()) << '"' << name << '"';
  }
}

// "QAM" and "APSK" orders are read as std::stoi reads them, and fail with its types and texts.
TEST(DigitalRoute, OrderIsReadLikeStoi) {
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

// Mixing (skipped at exactly zero only), drift and offset in that order, noise last: each stage
// exactly as its own building block gives it.
TEST(Channel, StagesRunInOrderWithNoiseLast) {
  for (const double mix : {1500.0, 1e-9, 0.0, -0.0}) {
    const Signal out = generate_digital_signal(
        "8PSK", {.num_symbols = 300, .symbol_rate = rs, .sample_rate = fs, .snr_db = 12.0,
                 .mix_frequency = mix, .timing_error = 0.05, .frequency_offset = 40.0,
                 .seeds = {symbol_seed, 77u}});
    const Signal symbols = clean("8PSK", 300);
    const Signal mixed = mix == 0.0 ? symbols : frequency_shift(symbols, fs, mix);
    const Signal expected = frequency_shift(apply_timing_error(mixed, 0.05, rs, fs), fs, 40.0);
    EXPECT_TRUE(test::same_bits(out, add_awgn(expected, 12.0, 77u))) << mix;
  }
}

TEST(Seeds, ExplicitSeedsReproduceDefaultSeedsDiffer) {
  const auto run = [](DigitalSeeds seeds) {
    return generate_digital_signal("QAM64", {.num_symbols = 500, .symbol_rate = rs, .sample_rate = fs,
                                             .snr_db = 20.0, .timing_error = 0.02,
                                             .frequency_offset = 10.0, .seeds = seeds});
  };
  EXPECT_TRUE(test::same_bits(run({1u, 2u}), run({1u, 2u})));
  EXPECT_FALSE(test::same_bits(run({1u, 2u}), run({1u, 3u})));
  EXPECT_FALSE(test::same_bits(run({1u, 2u}), run({4u, 2u})));
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
  for (const auto& [name, count] : cases) {
    EXPECT_EQ(test::thrown_message<std::length_error>([name] { generate_digital_signal(name, bare(1000, 1e3, 1e300)); }),
              "signal of " + std::string(count) + " samples" + limit)
        << name;
  }
  EXPECT_EQ(test::thrown_message<std::length_error>([] { generate_digital_signal("2FSK", bare(3, 1.0, 5e9)); }),
            "signal of 15000000000 samples" + limit);
}

}  // namespace
}  // namespace quorvin
