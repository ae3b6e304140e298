// ADS-B against a receiver written from the standard alone: it finds each squitter's preamble in
// the samples' envelope, reads the 112 bits by comparing the two halves of each bit, checks the
// parity (generator 0x1FFF409) and decodes the fields, which must equal the file's labels. Hand
// vectors of published messages pin the parity and the position decoding themselves.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "dsp_reference.h"
#include "recordings.h"

namespace quorvin {

QUORVIN_PRINT_CASES_BY_NAME

namespace {

using Bits = std::vector<int>;

// Bits of a message written in hexadecimal, most significant first.
Bits hex_bits(std::string_view hex) {
  Bits bits;
  for (const char c : hex) {
    const int v = c <= '9' ? c - '0' : c - 'A' + 10;
    for (int i = 3; i >= 0; --i) bits.push_back((v >> i) & 1);
  }
  return bits;
}

std::uint64_t field(const Bits& bits, int first, int count) {  // 1-based first bit
  std::uint64_t v = 0;
  for (int i = 0; i < count; ++i) v = (v << 1) | static_cast<std::uint64_t>(bits[static_cast<std::size_t>(first - 1 + i)]);
  return v;
}

// The remainder of the whole message by the parity's generator: 0 for a message without errors.
std::uint32_t parity_remainder(const Bits& bits) {
  const std::uint64_t generator = 0x1FFF409;
  std::uint64_t r = 0;
  for (const int b : bits) {
    r = (r << 1) | static_cast<std::uint64_t>(b);
    if ((r >> 24) & 1U) r ^= generator;
  }
  return static_cast<std::uint32_t>(r);
}

// The number of longitude zones at a latitude, NL, from the standard's closed form.
int nl(double lat) {
  if (std::abs(lat) >= 87.0) return std::abs(lat) > 87.0 ? 1 : 2;
  if (lat == 0.0) return 59;
  const double a = 1.0 - std::cos(std::numbers::pi / 30.0);
  const double b = std::pow(std::cos(std::numbers::pi / 180.0 * std::abs(lat)), 2.0);
  return static_cast<int>(std::floor(2.0 * std::numbers::pi / std::acos(1.0 - a / b)));
}

double mod(double x, double y) { return x - y * std::floor(x / y); }

struct Position {
  double lat;
  double lon;
};

// Globally unambiguous decoding of an even and an odd airborne report; `odd_latest` picks the
// report whose zone the answer is taken from. Nothing where the two straddle a zone boundary.
std::optional<Position> decode_pair(double yz0, double xz0, double yz1, double xz1, bool odd_latest) {
  const double scale = 131072.0;
  const double dlat0 = 360.0 / 60.0;
  const double dlat1 = 360.0 / 59.0;
  const double j = std::floor((59.0 * yz0 - 60.0 * yz1) / scale + 0.5);
  double lat0 = dlat0 * (mod(j, 60.0) + yz0 / scale);
  double lat1 = dlat1 * (mod(j, 59.0) + yz1 / scale);
  if (lat0 >= 270.0) lat0 -= 360.0;
  if (lat1 >= 270.0) lat1 -= 360.0;
  if (nl(lat0) != nl(lat1)) return std::nullopt;
  const double lat = odd_latest ? lat1 : lat0;
  const int zones = nl(lat);
  const double ni = std::max(zones - (odd_latest ? 1 : 0), 1);
  const double m = std::floor((xz0 * (zones - 1) - xz1 * zones) / scale + 0.5);
  double lon = (360.0 / ni) * (mod(m, ni) + (odd_latest ? xz1 : xz0) / scale);
  if (lon >= 180.0) lon -= 360.0;
  return Position{lat, lon};
}

int altitude_ft(std::uint64_t code) {  // the 12-bit field with Q = 1
  const std::uint64_t n = ((code & 0xFE0) >> 1) | (code & 0xF);
  return static_cast<int>(25 * n) - 1000;
}

std::string call_sign(const Bits& m) {
  const std::string_view set = "#ABCDEFGHIJKLMNOPQRSTUVWXYZ##### ###############0123456789######";
  std::string text;
  for (int i = 0; i < 8; ++i) text.push_back(set[static_cast<std::size_t>(field(m, 41 + 6 * i, 6))]);
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

TEST(AdsbHandVectors, PublishedIdentificationChecksAndReads) {
  const Bits m = hex_bits("8D4840D6202CC371C32CE0576098");
  EXPECT_EQ(parity_remainder(m), 0U);
  EXPECT_EQ(field(m, 1, 5), 17U);
  EXPECT_EQ(field(m, 9, 24), 0x4840D6U);
  EXPECT_EQ(field(m, 33, 5), 4U);
  EXPECT_EQ(call_sign(m), "KLM1023");
  // Bit 41 flipped (the hex digit 2 made A).
  EXPECT_NE(parity_remainder(hex_bits("8D4840D620ACC371C32CE0576098")), 0U) << "one flipped bit breaks the parity";
}

TEST(AdsbHandVectors, PublishedPositionPairDecodes) {
  const Bits even = hex_bits("8D40621D58C382D690C8AC2863A7");
  const Bits odd = hex_bits("8D40621D58C386435CC412692AD6");
  ASSERT_EQ(parity_remainder(even), 0U);
  ASSERT_EQ(parity_remainder(odd), 0U);
  EXPECT_EQ(field(even, 54, 1), 0U);
  EXPECT_EQ(field(odd, 54, 1), 1U);
  EXPECT_EQ(altitude_ft(field(even, 41, 12)), 38000);
  const auto p = decode_pair(static_cast<double>(field(even, 55, 17)), static_cast<double>(field(even, 72, 17)),
                             static_cast<double>(field(odd, 55, 17)), static_cast<double>(field(odd, 72, 17)), false);
  ASSERT_TRUE(p);
  EXPECT_NEAR(p->lat, 52.25720, 1e-5);
  EXPECT_NEAR(p->lon, 3.91937, 1e-5);
}

// The receiver: squitters found in the samples, each checked by its parity.
struct Squitter {
  double start;  // samples
  Bits bits;
};

std::vector<Squitter> receive(const Signal& x, double fs) {
  const double per_us = fs / 1e6;
  std::vector<double> power(x.size());
  for (std::size_t k = 0; k < x.size(); ++k) power[k] = std::norm(x[k]);
  // The mean power in the middle of half-microsecond chip c of a squitter starting at sample s.
  const auto chip = [&](double s, int c) {
    const auto a = static_cast<std::ptrdiff_t>(std::ceil(s + (0.5 * c + 0.12) * per_us));
    const auto b = static_cast<std::ptrdiff_t>(std::floor(s + (0.5 * c + 0.38) * per_us));
    double sum = 0.0;
    for (std::ptrdiff_t k = a; k <= b; ++k) sum += power[static_cast<std::size_t>(k)];
    return sum / static_cast<double>(b - a + 1);
  };
  // A preamble: its four pulses each well above every empty chip of its 8 us, scored by how far.
  const auto preamble_score = [&](double s) {
    double weakest = std::numeric_limits<double>::infinity();
    double strongest_off = 0.0;
    for (int c = 0; c < 16; ++c) {
      const double p = chip(s, c);
      if (c == 0 || c == 2 || c == 7 || c == 9) {
        weakest = std::min(weakest, p);
      } else {
        strongest_off = std::max(strongest_off, p);
      }
    }
    return weakest > 2.0 * strongest_off ? weakest - strongest_off : 0.0;
  };
  const auto span = static_cast<std::size_t>(std::ceil(120.5 * per_us));
  double loudest = 0.0;
  for (std::size_t s = 0; s + span < x.size(); ++s) loudest = std::max(loudest, preamble_score(static_cast<double>(s)));
  std::vector<Squitter> found;
  for (std::size_t s = 0; s + span + static_cast<std::size_t>(per_us) < x.size(); ++s) {
    if (preamble_score(static_cast<double>(s)) < 0.5 * loudest) continue;
    std::size_t best = s;
    for (std::size_t t = s; t <= s + static_cast<std::size_t>(per_us); ++t) {
      if (preamble_score(static_cast<double>(t)) > preamble_score(static_cast<double>(best))) best = t;
    }
    // The start to a fraction of a sample: where each preamble pulse's envelope rises through half
    // the pulses' height, between the two samples either side.
    const double height = std::sqrt((chip(static_cast<double>(best), 0) + chip(static_cast<double>(best), 2) +
                                     chip(static_cast<double>(best), 7) + chip(static_cast<double>(best), 9)) / 4.0);
    double start = 0.0;
    for (const double at : {0.0, 1.0, 3.5, 4.5}) {
      const double nominal = static_cast<double>(best) + at * per_us;
      auto k = static_cast<std::size_t>(std::floor(nominal - 0.3 * per_us));
      while (std::abs(x[k + 1]) < height / 2.0) ++k;
      const double a = std::abs(x[k]);
      const double b = std::abs(x[k + 1]);
      start += (static_cast<double>(k) + (height / 2.0 - a) / (b - a) - at * per_us) / 4.0;
    }
    Squitter q{start, {}};
    for (int b = 0; b < 112; ++b) q.bits.push_back(chip(q.start, 16 + 2 * b) > chip(q.start, 17 + 2 * b) ? 1 : 0);
    if (parity_remainder(q.bits) != 0) {
      ADD_FAILURE() << "a squitter at sample " << best << " fails its parity";
      continue;
    }
    found.push_back(q);
    s = best + span - 1;
  }
  return found;
}

using test::Labels;
using test::Made;

// Each file of a run of ADS-B with `texts`, its labels and its samples.
std::vector<Made> made_files(const OptionTexts& texts, std::uint32_t seed, RunSettings& s) { return test::made_files("ADS-B", texts, seed, s); }

struct Case {
  std::string name;
  OptionTexts extra;
  double start_tolerance;  // samples
};

class AdsbReceiver : public testing::TestWithParam<Case> {};

constexpr double fs = 10e6;

TEST_P(AdsbReceiver, DecodesEverySquitterToItsLabels) {
  const OptionTexts texts = test::over({{"--sample-rate", "10000000"}, {"--num-symbols", "2000"}, {"--files-per-modulation", "5"},
                                       {"--squitter-gap-min", "20"}, {"--squitter-gap-max", "60"}},
                                      GetParam().extra);
  RunSettings s;
  const std::vector<Made> made = made_files(texts, 29, s);
  ASSERT_EQ(made.size(), 5U);
  for (const auto& [file, labels, x] : made) {
    SCOPED_TRACE("file " + std::to_string(file.index));
    const std::vector<Squitter> found = receive(x, fs);
    const std::vector<double> starts = labels.list("frame_starts");
    const std::vector<double> ends = labels.list("frame_ends");
    const std::vector<double> codes = labels.list("type_codes");
    ASSERT_EQ(found.size(), starts.size());
    ASSERT_EQ(codes.size(), starts.size());
    ASSERT_GE(found.size(), 4U) << "every kind of message is sent";
    std::optional<Bits> even;
    std::optional<Bits> odd;
    Bits sent;
    for (std::size_t i = 0; i < found.size(); ++i) {
      const Bits& m = found[i].bits;
      sent.insert(sent.end(), m.begin(), m.end());
      EXPECT_NEAR(found[i].start, starts[i], GetParam().start_tolerance);
      // 120 bits at the rate the file realises (the transponder's and the receiver's clocks).
      EXPECT_NEAR(ends[i] - starts[i], 120.0 * fs / labels.number("realised_symbol_rate"), 1e-6);
      EXPECT_EQ(field(m, 1, 5), 17U);
      char hex[8];
      std::snprintf(hex, sizeof hex, "%06X", static_cast<unsigned>(field(m, 9, 24)));
      EXPECT_EQ(hex, labels.text("icao_address"));
      const std::uint64_t tc = field(m, 33, 5);
      EXPECT_EQ(static_cast<double>(tc), codes[i]);
      if (tc >= 1 && tc <= 4) {
        EXPECT_EQ(call_sign(m), labels.text("call_sign"));
      }
      if (tc >= 9 && tc <= 18) {
        EXPECT_EQ(altitude_ft(field(m, 41, 12)), labels.number("altitude"));
        (field(m, 54, 1) == 0 ? even : odd) = m;
      }
      if (tc == 19) {
        ASSERT_EQ(field(m, 38, 3), 1U) << "subtype 1";
        const auto velocity = [&](int sign_bit) {
          const double size = static_cast<double>(field(m, sign_bit + 1, 10)) - 1.0;
          return field(m, sign_bit, 1) != 0 ? -size : size;
        };
        EXPECT_EQ(velocity(46), labels.number("east_velocity"));
        EXPECT_EQ(velocity(57), labels.number("north_velocity"));
        const double rate = 64.0 * (static_cast<double>(field(m, 70, 9)) - 1.0);
        EXPECT_EQ(field(m, 69, 1) != 0 ? -rate : rate, labels.number("vertical_rate"));
      }
    }
    ASSERT_TRUE(even && odd);
    const auto p = decode_pair(static_cast<double>(field(*even, 55, 17)), static_cast<double>(field(*even, 72, 17)),
                               static_cast<double>(field(*odd, 55, 17)), static_cast<double>(field(*odd, 72, 17)), true);
    ASSERT_TRUE(p);
    EXPECT_NEAR(p->lat, labels.number("latitude"), 1e-9);
    EXPECT_NEAR(p->lon, labels.number("longitude"), 1e-9);
    // --save-symbols tells the bits the receiver read, in order.
    test::expect_symbols_told(s, file, sent);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, AdsbReceiver,
    testing::Values(Case{"noise_free", test::noise_free(), 0.1},
                    Case{"noise_and_carrier_offset", test::conditions("10", "20", "200000"), 0.5},
                    Case{"clock_offsets", test::conditions("15", "25", "", "100"), 0.5}),
    test::CaseName());

// A given ME field is what every squitter of the file carries, behind the drawn address, its
// parity right; the labels tell what the field decodes to, and what it cannot tell is absent.
struct GivenMe {
  std::string name;
  std::string me;  // 14 hexadecimal digits
  std::string call_sign;  // "<none>": absent
  std::vector<std::pair<std::string, double>> numbers;
  std::vector<std::string> absent;
};
class AdsbPayload : public testing::TestWithParam<GivenMe> {};
TEST_P(AdsbPayload, EverySquitterCarriesItAndTheLabelsDecodeIt) {
  const GivenMe& given = GetParam();
  OptionTexts texts = test::noise_free({{"--sample-rate", "10000000"}, {"--num-symbols", "2000"}, {"--files-per-modulation", "2"}});
  RunSettings s;
  const std::vector<Made> drawn = made_files(texts, 5, s);
  texts["--payload"] = given.me + "\n";
  const std::vector<Made> made = made_files(texts, 5, s);
  ASSERT_EQ(made.size(), 2U);
  ASSERT_EQ(drawn.size(), 2U);
  const Bits me = hex_bits(given.me);
  for (const auto& [file, labels, x] : made) {
    // Everything but the content is drawn as without the payload.
    const Labels& without = drawn[static_cast<std::size_t>(file.index - 1)].labels;
    EXPECT_EQ(labels.text("icao_address"), without.text("icao_address"));
    EXPECT_EQ(labels.text("frame_starts"), without.text("frame_starts"));
    EXPECT_EQ(labels.number("frequency_offset"), without.number("frequency_offset"));
    EXPECT_EQ(labels.number("squitter_gap"), without.number("squitter_gap"));
    const std::vector<Squitter> found = receive(x, fs);
    ASSERT_EQ(found.size(), labels.list("frame_starts").size());
    ASSERT_GE(found.size(), 4U);
    for (const Squitter& q : found) {
      EXPECT_EQ(Bits(q.bits.begin() + 32, q.bits.begin() + 88), me);
      EXPECT_EQ(static_cast<double>(field(q.bits, 33, 5)), labels.list("type_codes").front());
    }
    EXPECT_EQ(labels.text("call_sign"), given.call_sign);
    for (const auto& [key, value] : given.numbers) EXPECT_EQ(labels.number(key), value) << key;
    for (const std::string& key : given.absent) EXPECT_FALSE(labels.has(key)) << key;
  }
}
INSTANTIATE_TEST_SUITE_P(
    PublishedFields, AdsbPayload,
    testing::Values(GivenMe{"identification", "202CC371C32CE0", "KLM1023", {}, {"altitude", "latitude", "east_velocity"}},
                    // One position alone decodes to no position: only its altitude is told.
                    GivenMe{"airborne_position", "58C382D690C8AC", "<none>", {{"altitude", 38000.0}}, {"latitude", "longitude"}},
                    GivenMe{"airborne_velocity", "99440994083817", "<none>",
                            {{"east_velocity", -8.0}, {"north_velocity", -159.0}, {"vertical_rate", -832.0}}, {"altitude"}},
                    // Character code 0 is none of the set's: no call sign can be told.
                    GivenMe{"unreadable_identification", "20000000000000", "<none>", {}, {"call_sign"}}),
    test::CaseName());

// Outside its whole frames (and their edges' 0.08 us) a noise-free file is silent, so no frame is
// cut at either end; within the band the band check takes (99.5 % of one pulse's power), the file
// holds 99 % of its power.
TEST(AdsbFile, SilentBetweenWholeFramesAndHeldByItsBand) {
  test::for_each_recording("ADS-B", test::noise_free({{"--sample-rate", "10000000"}, {"--samples-per-file", "4096"}, {"--files-per-modulation", "6"}}),
                           3, fs, [](const test::Recording& r) { test::expect_silent_outside_frames_and_held(r, 0.99, 0.08 * fs / 1e6); });
}

// A run naming ADS-B without a rate or a length gets 10 MHz and a length that tells every kind of
// squitter at the widest gap (4 squitters of 120 us, 200 us before each, and the edges).
TEST(AdsbFile, UnsaidRateAndLengthAreTheStandardsNeeds) {
  const RunSettings s = test::read_settings("ADS-B", {});
  EXPECT_EQ(s.sample_rate, 10e6);
  EXPECT_EQ(s.num_symbols, 1282);
  auto given = read_options({{"ADS-B", "QPSK"}, {{"--sample-rate", "20000000"}, {"--num-symbols", "500"}}});
  ASSERT_TRUE(std::holds_alternative<RunSettings>(given)) << std::get<Refusal>(given).text;
  EXPECT_EQ(std::get<RunSettings>(given).sample_rate, 20e6) << "a given rate is kept";
  EXPECT_EQ(std::get<RunSettings>(given).num_symbols, 500) << "a given length is kept";
}

// A rate whose band cannot hold the pulses, or a length that cannot hold one frame after the
// widest gap, is refused with its reason before any file is made.
TEST(AdsbOptions, RefusesARateOrLengthTooSmall) {
  test::expect_refused("ADS-B", {{"--sample-rate", "2000000"}, {"--num-symbols", "1000"}}, "ADS-B does not fit in the band");
  test::expect_refused("ADS-B", {{"--sample-rate", "10000000"}, {"--num-symbols", "300"}},
                       "ADS-B cannot hold a whole frame in 300 symbols: it needs 322");
  test::expect_refused("ADS-B", {{"--sample-rate", "10000000"}, {"--samples-per-file", "1000"}, {"--squitter-gap-max", "20"}},
                       "ADS-B cannot hold a whole frame in 1000 samples: it needs 1411");
}

}  // namespace
}  // namespace quorvin
