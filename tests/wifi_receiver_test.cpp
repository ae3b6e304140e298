// 802.11a/g against a receiver written from the standard alone: each PPDU found by its power and
// the short training field's period, the carrier offset from the short and the long training
// fields, the symbol timing by correlation with the long training symbol and the channel from
// its two repetitions; the SIGNAL field decoded and its parity checked, then every DATA symbol
// equalised with its pilots, demapped, deinterleaved, depunctured and Viterbi-decoded, the
// scrambler's state read from the SERVICE field, and the PSDU's CRC-32 checked. Every field must
// equal the file's labels. The scrambler's published sequence and the annex's SIGNAL field pin
// the bits themselves.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
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
constexpr double two_pi = 2.0 * std::numbers::pi;

Bits bit_text(std::string_view text) {
  Bits bits;
  for (const char c : text) {
    if (c == '0' || c == '1') bits.push_back(c - '0');
  }
  return bits;
}

// The scrambler x^7 + x^4 + 1 as the standard draws it: registers x1 .. x7, the output x7 xor x4
// fed back into x1. `state` lists x1 .. x7.
Bits scrambler_output(std::array<int, 7> x, std::size_t count) {
  Bits out;
  for (std::size_t i = 0; i < count; ++i) {
    const int bit = x[6] ^ x[3];
    for (std::size_t r = 6; r > 0; --r) x[r] = x[r - 1];
    x[0] = bit;
    out.push_back(bit);
  }
  return out;
}

// The pilots' polarity p_0 .. p_126 as the standard's table lists them (its first 32).
constexpr int polarity_table[32] = {1, 1, 1, 1, -1, -1, -1, 1, -1, -1, -1, -1, 1, 1, -1, 1,
                                    -1, -1, 1, 1, -1, 1, 1, -1, 1, 1, 1, 1, 1, 1, -1, 1};

TEST(WifiHandVectors, ScramblerSequenceAndPilotPolarity) {
  // The standard's 127-bit sequence from the all-ones state.
  const Bits published = bit_text(
      "00001110 11110010 11001001 00000010 00100110 00101110 10110110 00001100 11010100 11100111 10110100 00101010 "
      "11111010 01010001 10111000 1111111");
  ASSERT_EQ(published.size(), 127U);
  const Bits ours = scrambler_output({1, 1, 1, 1, 1, 1, 1}, 254);
  EXPECT_EQ(Bits(ours.begin(), ours.begin() + 127), published);
  EXPECT_EQ(Bits(ours.begin() + 127, ours.end()), published) << "its period is 127";
  // The polarity is that sequence with 0 as +1.
  for (std::size_t i = 0; i < std::size(polarity_table); ++i) EXPECT_EQ(polarity_table[i], published[i] != 0 ? -1 : 1) << i;
}

// ----- the receiver -----

// The standard's training sequences, subcarrier -26 first.
constexpr int long_values[53] = {1, 1, -1, -1, 1, 1, -1, 1, -1, 1, 1, 1, 1, 1, 1, -1, -1, 1, 1, -1, 1, -1, 1, 1, 1, 1, 0,
                                 1, -1, -1, 1, 1, -1, 1, -1, 1, -1, -1, -1, -1, -1, 1, 1, -1, -1, 1, -1, 1, -1, 1, 1, 1, 1};

// DFT bin of subcarrier k.
std::size_t bin(int k) { return static_cast<std::size_t>((k + 64) % 64); }

// The 64-point DFT of x[at .. at + 63], by its definition.
std::array<Sample, 64> dft64(const Signal& x, std::size_t at) {
  std::array<Sample, 64> out{};
  for (std::size_t b = 0; b < 64; ++b) {
    Sample sum = 0.0;
    for (std::size_t n = 0; n < 64; ++n) sum += x[at + n] * std::polar(1.0, -two_pi * static_cast<double>(b * n % 64) / 64.0);
    out[b] = sum;
  }
  return out;
}

// The long training symbol's 64 samples (its body), unscaled.
std::array<Sample, 64> long_symbol() {
  std::array<Sample, 64> t{};
  for (std::size_t n = 0; n < 64; ++n) {
    for (int k = -26; k <= 26; ++k) t[n] += static_cast<double>(long_values[k + 26]) * std::polar(1.0, two_pi * k * static_cast<double>(n) / 64.0);
  }
  return t;
}

// The rates by their RATE bits R1 .. R4: Mb/s, coded bits per subcarrier, code rate.
struct Mode {
  int mbps;
  int bpsc;
  int num;
  int den;
};
std::optional<Mode> mode_of(const Bits& r) {
  const int code = r[0] << 3 | r[1] << 2 | r[2] << 1 | r[3];
  switch (code) {
    case 0b1101: return Mode{6, 1, 1, 2};
    case 0b1111: return Mode{9, 1, 3, 4};
    case 0b0101: return Mode{12, 2, 1, 2};
    case 0b0111: return Mode{18, 2, 3, 4};
    case 0b1001: return Mode{24, 4, 1, 2};
    case 0b1011: return Mode{36, 4, 3, 4};
    case 0b0001: return Mode{48, 6, 2, 3};
    case 0b0011: return Mode{54, 6, 3, 4};
    default: return std::nullopt;
  }
}

// The data subcarriers in order: -26 .. 26 but DC and the pilots.
std::vector<int> data_carriers() {
  std::vector<int> ks;
  for (int k = -26; k <= 26; ++k) {
    if (k != 0 && k != -21 && k != -7 && k != 7 && k != 21) ks.push_back(k);
  }
  return ks;
}

// One axis's level from its `count` Gray bits (the first the most significant of `v`) as the
// standard's tables list them.
double axis_level(int v, int count) {
  static constexpr double two[] = {-1, 1};
  static constexpr double four[] = {-3, -1, 3, 1};  // 00 01 10 11
  static constexpr double eight[] = {-7, -5, -1, -3, 7, 5, 1, 3};  // 000 001 010 011 100 101 110 111
  const auto at = static_cast<std::size_t>(v);
  return count == 1 ? two[at] : count == 2 ? four[at] : eight[at];
}

// Each point of a constellation with its bits.
struct Point {
  Sample value;
  Bits bits;
};
std::vector<Point> constellation(int bpsc) {
  const double scale = bpsc == 1 ? 1.0 : bpsc == 2 ? 1.0 / std::sqrt(2.0) : bpsc == 4 ? 1.0 / std::sqrt(10.0) : 1.0 / std::sqrt(42.0);
  std::vector<Point> points;
  for (int v = 0; v < (1 << bpsc); ++v) {
    Bits b;
    for (int i = bpsc - 1; i >= 0; --i) b.push_back((v >> i) & 1);
    // b0 .. the I bits, then the Q bits (BPSK: I alone).
    const int half = std::max(bpsc / 2, 1);
    const double i_level = axis_level(bpsc == 1 ? v : v >> half, half);
    const double q_level = bpsc == 1 ? 0.0 : axis_level(v & ((1 << half) - 1), half);
    points.push_back({scale * Sample(i_level, q_level), b});
  }
  return points;
}

// Soft bits of an equalised point: for each bit, the nearest point with a 0 minus the nearest
// with a 1 (squared distances): positive means 1.
std::vector<double> soft_bits(Sample y, const std::vector<Point>& points, int bpsc) {
  std::vector<double> out;
  for (int i = 0; i < bpsc; ++i) {
    double zero = std::numeric_limits<double>::infinity();
    double one = zero;
    for (const Point& p : points) {
      double& nearest = p.bits[static_cast<std::size_t>(i)] != 0 ? one : zero;
      nearest = std::min(nearest, std::norm(y - p.value));
    }
    out.push_back(zero - one);
  }
  return out;
}

// Where interleaved bit k of a symbol was sent: the standard's two permutations.
std::size_t interleaved_place(int k, int cbps, int bpsc) {
  const int s = std::max(bpsc / 2, 1);
  const int i = (cbps / 16) * (k % 16) + k / 16;
  return static_cast<std::size_t>(s * (i / s) + (i + cbps - (16 * i) / cbps) % s);
}

// A stream of soft coded bits back at the code's rate 1/2: the punctured places as 0 (no opinion).
std::vector<double> depuncture(const std::vector<double>& in, int num, int den) {
  if (num == 1) return in;
  // Of each period's A, B pairs, which were sent: 2/3 sends A0 B0 A1, 3/4 A0 B0 A1 B2.
  const std::vector<int> sent = num == 2 ? std::vector<int>{1, 1, 1, 0} : std::vector<int>{1, 1, 1, 0, 0, 1};
  static_cast<void>(den);
  std::vector<double> out;
  std::size_t at = 0;
  while (at < in.size()) {
    for (const int s : sent) {
      out.push_back(s != 0 && at < in.size() ? in[at++] : 0.0);
    }
  }
  return out;
}

// The Viterbi decoder of the K = 7 code (133, 171 octal) over soft pairs, from the zero state.
Bits viterbi(const std::vector<double>& soft, std::size_t bits) {
  constexpr int states = 64;
  const auto parity = [](unsigned v) { return std::popcount(v) % 2; };
  std::vector<double> metric(states, -1e300);
  metric[0] = 0.0;
  std::vector<std::array<std::uint8_t, states>> from(bits);
  for (std::size_t n = 0; n < bits; ++n) {
    std::vector<double> next(states, -1e300);
    const double sa = 2 * n < soft.size() ? soft[2 * n] : 0.0;
    const double sb = 2 * n + 1 < soft.size() ? soft[2 * n + 1] : 0.0;
    for (int s = 0; s < states; ++s) {
      if (metric[static_cast<std::size_t>(s)] < -1e299) continue;
      for (int b = 0; b <= 1; ++b) {
        // The register: the new bit, then the six before it (s holds them, newest in bit 0).
        const unsigned reg = static_cast<unsigned>(b) | (static_cast<unsigned>(s) << 1);
        const int a = parity(reg & 0b1101101U);
        const int c = parity(reg & 0b1001111U);
        const double m = metric[static_cast<std::size_t>(s)] + (a != 0 ? sa : -sa) + (c != 0 ? sb : -sb);
        const auto ns = static_cast<std::size_t>(reg & 0x3FU);
        if (m > next[ns]) {
          next[ns] = m;
          from[n][ns] = static_cast<std::uint8_t>(s);
        }
      }
    }
    metric = next;
  }
  auto state = static_cast<std::size_t>(std::max_element(metric.begin(), metric.end()) - metric.begin());
  Bits out(bits);
  for (std::size_t n = bits; n-- > 0;) {
    out[n] = static_cast<int>(state & 1U);
    state = from[n][state];
  }
  return out;
}

// The CRC-32 of the standard read bit by bit in the order sent, x^32 + x^26 + ... + 1 from all
// ones: over a PSDU and its FCS it leaves the fixed remainder C704DD7B.
std::uint32_t crc_remainder(const Bits& bits) {
  std::uint32_t r = 0xFFFFFFFFU;
  for (const int b : bits) {
    const std::uint32_t top = (r >> 31) ^ static_cast<std::uint32_t>(b);
    r <<= 1;
    if (top != 0) r ^= 0x04C11DB7U;
  }
  return r;
}

struct Ppdu {
  double start = 0.0;  // samples: the short training field's first
  Bits signal;         // the SIGNAL field's 24 bits
  Mode mode{};
  std::size_t length = 0;
  int seed = 0;  // x1 .. x7 as bits 0 .. 6
  std::vector<std::uint8_t> psdu;
  bool crc_ok = false;
  std::vector<std::uint64_t> demapped;  // the DATA symbols' subcarrier bits, hard, b0 most significant
};

// The receiver at 20 MHz: every PPDU in the samples.
std::vector<Ppdu> receive(const Signal& x) {
  std::vector<Ppdu> found;
  // A PPDU begins where 16 samples' power (the short training field's period) passes a quarter
  // of the file's mean: OFDM's peaks would make the loudest sample a poor yardstick.
  double mean = 0.0;
  for (const Sample& v : x) mean += std::norm(v) / static_cast<double>(x.size());
  const auto power = [&](std::size_t k) {
    double sum = 0.0;
    for (std::size_t i = k; i < k + 16 && i < x.size(); ++i) sum += std::norm(x[i]);
    return sum / 16.0;
  };
  const std::array<Sample, 64> reference = long_symbol();
  const std::vector<int> carriers = data_carriers();
  std::size_t from = 0;
  while (true) {
    std::size_t on = from;
    while (on < x.size() && power(on) < 0.25 * mean) ++on;
    if (on + 400 >= x.size()) break;
    // The short training field repeats every 16 samples: its lag-16 correlation's angle is the
    // carrier offset, coarse.
    Sample c16 = 0.0;
    for (std::size_t n = on + 16; n < on + 128; ++n) c16 += x[n + 16] * std::conj(x[n]);
    double offset = std::arg(c16) / (two_pi * 16.0);  // cycles a sample
    const auto corrected = [&](std::size_t n) { return x[n] * std::polar(1.0, -two_pi * offset * static_cast<double>(n)); };
    // The first long symbol's body: 160 + 32 samples after the start, found by correlation.
    std::size_t t1 = on + 192;
    double best = -1.0;
    for (std::size_t t = on + 192 - 24; t <= on + 192 + 24; ++t) {
      Sample c = 0.0;
      for (std::size_t m = 0; m < 64; ++m) c += corrected(t + m) * std::conj(reference[m]);
      if (std::abs(c) > best) {
        best = std::abs(c);
        t1 = t;
      }
    }
    // Fine offset from the two long symbols, 64 samples apart.
    Sample c64 = 0.0;
    for (std::size_t m = 0; m < 64; ++m) c64 += corrected(t1 + 64 + m) * std::conj(corrected(t1 + m));
    offset += std::arg(c64) / (two_pi * 64.0);
    // Every symbol's DFT window starts two samples early, inside its guard.
    constexpr std::size_t early = 2;
    const auto symbol_at = [&](std::size_t at) {
      Signal y(64);
      for (std::size_t m = 0; m < 64; ++m) y[m] = corrected(at - early + m);
      return dft64(y, 0);
    };
    const std::array<Sample, 64> l1 = symbol_at(t1);
    const std::array<Sample, 64> l2 = symbol_at(t1 + 64);
    std::array<Sample, 64> channel{};
    for (int k = -26; k <= 26; ++k) {
      if (k != 0) channel[bin(k)] = (l1[bin(k)] + l2[bin(k)]) / (2.0 * long_values[k + 26]);
    }
    // A symbol equalised, its pilots (polarity p) taking out the common phase and the slope a
    // residual timing error leaves across the subcarriers.
    const auto equalised = [&](std::size_t at, int p) {
      std::array<Sample, 64> y = symbol_at(at);
      const int pilots[] = {-21, -7, 7, 21};
      const double expected[] = {1.0, 1.0, 1.0, -1.0};
      double sk = 0.0, sp = 0.0, skk = 0.0, skp = 0.0;
      Sample common = 0.0;
      for (std::size_t i = 0; i < 4; ++i) common += y[bin(pilots[i])] / channel[bin(pilots[i])] * (expected[i] * p);
      for (std::size_t i = 0; i < 4; ++i) {
        const double phase = std::arg(y[bin(pilots[i])] / channel[bin(pilots[i])] * (expected[i] * p) / common);
        sk += pilots[i];
        sp += phase;
        skk += pilots[i] * pilots[i];
        skp += pilots[i] * phase;
      }
      const double slope = (4.0 * skp - sk * sp) / (4.0 * skk - sk * sk);
      const double turn = std::arg(common) + sp / 4.0;
      std::array<Sample, 64> out{};
      for (int k = -26; k <= 26; ++k) {
        if (k != 0) out[bin(k)] = y[bin(k)] / channel[bin(k)] * std::polar(1.0, -(turn + slope * k));
      }
      return out;
    };
    const Bits polarity_bits = scrambler_output({1, 1, 1, 1, 1, 1, 1}, 127);
    const auto polarity = [&](std::size_t n) { return polarity_bits[n % 127] != 0 ? -1 : 1; };
    // A symbol's deinterleaved soft bits.
    const auto symbol_bits = [&](const std::array<Sample, 64>& y, int bpsc, std::vector<std::uint64_t>* hard) {
      const std::vector<Point> points = constellation(bpsc);
      std::vector<double> sent;
      for (const int k : carriers) {
        const std::vector<double> soft = soft_bits(y[bin(k)], points, bpsc);
        sent.insert(sent.end(), soft.begin(), soft.end());
        if (hard != nullptr) {
          std::uint64_t v = 0;
          for (const double s : soft) v = (v << 1) | (s > 0.0 ? 1U : 0U);
          hard->push_back(v);
        }
      }
      const int cbps = 48 * bpsc;
      std::vector<double> out(sent.size());
      for (int k = 0; k < cbps; ++k) out[static_cast<std::size_t>(k)] = sent[interleaved_place(k, cbps, bpsc)];
      return out;
    };
    Ppdu ppdu;
    ppdu.start = static_cast<double>(t1) - 192.0;
    const std::size_t signal_at = t1 + 128 + 16;
    ppdu.signal = viterbi(symbol_bits(equalised(signal_at, polarity(0)), 1, nullptr), 24);
    const Bits& s = ppdu.signal;
    int ones = 0;
    for (std::size_t i = 0; i < 18; ++i) ones += s[i];
    EXPECT_EQ(ones % 2, 0) << "the SIGNAL field's parity";
    EXPECT_EQ(s[4], 0) << "the reserved bit";
    EXPECT_EQ(Bits(s.begin() + 18, s.end()), Bits(6, 0)) << "the SIGNAL field's tail";
    const std::optional<Mode> mode = mode_of(Bits(s.begin(), s.begin() + 4));
    if (!mode) {
      ADD_FAILURE() << "no rate has the RATE bits of the PPDU at " << ppdu.start;
      break;
    }
    ppdu.mode = *mode;
    for (std::size_t i = 0; i < 12; ++i) ppdu.length |= static_cast<std::size_t>(s[5 + i]) << i;
    const int dbps = 48 * mode->bpsc * mode->num / mode->den;
    const std::size_t symbols = (16 + 8 * ppdu.length + 6 + static_cast<std::size_t>(dbps) - 1) / static_cast<std::size_t>(dbps);
    if (signal_at + 80 * (symbols + 1) + 64 > x.size()) {
      ADD_FAILURE() << "a PPDU cut at the file's end";
      break;
    }
    std::vector<double> coded;
    for (std::size_t n = 0; n < symbols; ++n) {
      const std::vector<double> soft =
          symbol_bits(equalised(signal_at + 80 * (n + 1), polarity(n + 1)), mode->bpsc, &ppdu.demapped);
      coded.insert(coded.end(), soft.begin(), soft.end());
    }
    const Bits scrambled = viterbi(depuncture(coded, mode->num, mode->den), symbols * static_cast<std::size_t>(dbps));
    // The SERVICE field's first seven bits were zeros: scrambled, they are the scrambler's first
    // outputs, which only one initial state gives.
    for (int seed = 1; seed < 128; ++seed) {
      std::array<int, 7> state{};
      for (std::size_t r = 0; r < 7; ++r) state[r] = (seed >> r) & 1;
      if (scrambler_output(state, 7) == Bits(scrambled.begin(), scrambled.begin() + 7)) ppdu.seed = seed;
    }
    std::array<int, 7> state{};
    for (std::size_t r = 0; r < 7; ++r) state[r] = (ppdu.seed >> r) & 1;
    const Bits key = scrambler_output(state, scrambled.size());
    Bits bits(scrambled.size());
    for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = scrambled[i] ^ key[i];
    EXPECT_EQ(Bits(bits.begin(), bits.begin() + 16), Bits(16, 0)) << "the SERVICE field";
    const Bits psdu_bits(bits.begin() + 16, bits.begin() + 16 + static_cast<std::ptrdiff_t>(8 * ppdu.length));
    // The tail's six bits are sent as zeros after scrambling, so that the code ends in its zero state.
    const auto tail = scrambled.begin() + 16 + static_cast<std::ptrdiff_t>(8 * ppdu.length);
    EXPECT_EQ(Bits(tail, tail + 6), Bits(6, 0)) << "the tail";
    ppdu.crc_ok = crc_remainder(psdu_bits) == 0xC704DD7BU;
    for (std::size_t i = 0; i < ppdu.length; ++i) {
      int byte = 0;
      for (std::size_t b = 0; b < 8; ++b) byte |= psdu_bits[8 * i + b] << b;  // least significant first
      ppdu.psdu.push_back(static_cast<std::uint8_t>(byte));
    }
    found.push_back(ppdu);
    from = signal_at + 80 * (symbols + 1);
    while (from < x.size() && power(from) >= 0.25 * mean) ++from;
  }
  return found;
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  for (const std::uint8_t b : bytes) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(b));
    text += two;
  }
  return text;
}

using test::Made;

std::vector<Made> made_files(const OptionTexts& texts, std::uint32_t seed, RunSettings& s) { return test::made_files("802.11a/g", texts, seed, s); }

struct Case {
  std::string name;
  OptionTexts extra;
  double start_tolerance;  // samples
  std::size_t every = 1;   // the receiver's 20 MHz is every `every`-th sample of the file
};
class WifiReceiver : public testing::TestWithParam<Case> {};

TEST_P(WifiReceiver, DecodesEveryPpduToItsLabels) {
  RunSettings s;
  const std::vector<Made> made = made_files(test::over({{"--files-per-modulation", "8"}, {"--wifi-length-max", "120"}}, GetParam().extra), 53, s);
  ASSERT_EQ(made.size(), 8U);
  const std::size_t every = GetParam().every;
  ASSERT_EQ(s.sample_rate, 20e6 * static_cast<double>(every)) << "the rate a run without one gets";
  std::vector<int> rates;
  for (const auto& [file, labels, whole] : made) {
    SCOPED_TRACE("file " + std::to_string(file.index));
    // Faster files are taken down without a filter: their band lies within 10 MHz.
    Signal x;
    for (std::size_t k = 0; k < whole.size(); k += every) x.push_back(whole[k]);
    const std::vector<Ppdu> found = receive(x);
    std::vector<double> starts = labels.list("frame_starts");
    for (double& start : starts) start /= static_cast<double>(every);
    ASSERT_EQ(found.size(), starts.size());
    ASSERT_GE(found.size(), 1U) << "a file that names no length holds a whole PPDU";
    std::vector<std::uint64_t> demapped;
    for (std::size_t i = 0; i < found.size(); ++i) {
      const Ppdu& p = found[i];
      EXPECT_NEAR(p.start, starts[i], GetParam().start_tolerance);
      EXPECT_TRUE(p.crc_ok) << "PPDU " << i;
      EXPECT_EQ(std::to_string(p.mode.mbps), labels.text("wifi_rate"));
      EXPECT_EQ(static_cast<double>(p.length), labels.number("wifi_length"));
      EXPECT_EQ(p.seed, labels.number("wifi_scrambler_seed"));
      EXPECT_EQ(hex(p.psdu), labels.text("wifi_psdu"));
      demapped.insert(demapped.end(), p.demapped.begin(), p.demapped.end());
    }
    rates.push_back(found[0].mode.mbps);
    // --save-symbols tells the DATA symbols' subcarrier bits the receiver demapped.
    test::expect_symbols_told(s, file, demapped);
  }
  std::sort(rates.begin(), rates.end());
  EXPECT_GE(std::unique(rates.begin(), rates.end()) - rates.begin(), 4) << "the files draw many rates";
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, WifiReceiver,
    testing::Values(Case{"noise_free", test::noise_free(), 0.6},
                    Case{"noise_and_carrier_offset", test::conditions("32", "40", "200000"), 1.0},
                    Case{"timing_drift", test::noise_free({{"--timing-error-min", "-1"}, {"--timing-error-max", "1"}}), 1.0},
                    Case{"clock_offsets", test::conditions("35", "40", "", "40"), 1.0},
                    Case{"at_40_mhz", test::noise_free({{"--sample-rate", "40000000"}}), 1.0, 2}),
    test::CaseName());

// The annex's worked example sends 100 octets at 36 Mb/s: its SIGNAL field is these 24 bits.
// A given PSDU is what every PPDU carries before the FCS the receiver checks; one line serves every
// file, again from the first.
TEST(WifiPayload, EveryPpduCarriesTheGivenPsdu) {
  const std::string body = "Quorvin's given PSDU: 0123456789 abcdefghij";
  RunSettings s;
  const std::vector<Made> made = made_files(
      test::noise_free({{"--files-per-modulation", "3"}, {"--payload", test::payload_line(body)}}), 19, s);
  ASSERT_EQ(made.size(), 3U);
  for (const auto& [file, labels, x] : made) {
    SCOPED_TRACE("file " + std::to_string(file.index));
    const std::vector<Ppdu> found = receive(x);
    ASSERT_EQ(found.size(), labels.list("frame_starts").size());
    ASSERT_GE(found.size(), 1U);
    for (const Ppdu& p : found) {
      EXPECT_TRUE(p.crc_ok);
      ASSERT_EQ(p.length, body.size() + 4);
      EXPECT_EQ(std::string(p.psdu.begin(), p.psdu.begin() + static_cast<std::ptrdiff_t>(body.size())), body);
      EXPECT_EQ(hex(p.psdu), labels.text("wifi_psdu"));
    }
    EXPECT_EQ(labels.number("wifi_length"), static_cast<double>(body.size() + 4));
  }
}

TEST(WifiFile, TheAnnexSignalField) {
  RunSettings s;
  const std::vector<Made> made = made_files(test::noise_free({{"--files-per-modulation", "1"}, {"--wifi-rate-min", "5"}, {"--wifi-rate-max", "5"},
                                                              {"--wifi-length-min", "100"}, {"--wifi-length-max", "100"}}),
                                            7, s);
  ASSERT_EQ(made.size(), 1U);
  ASSERT_GE(made[0].labels.list("frame_starts").size(), 1U);
  const std::vector<Ppdu> found = receive(made[0].x);
  ASSERT_GE(found.size(), 1U);
  EXPECT_EQ(found[0].signal, bit_text("1011 0 001001100000 0 000000"));
  EXPECT_EQ(made[0].labels.text("wifi_rate"), "36");
}

// A file at 20 MHz holds the samples its run at 40 MHz holds at the same instants (every other),
// whether made by the transforms of 64 points (with and without the clock's drift) or by the
// subcarriers' sum sample by sample.
TEST(WifiFile, TheSameInstantsAtAnyRate) {
  for (const char* drift : {"0", "0.1"}) {
    SCOPED_TRACE(std::string("timing error ") + drift);
    const OptionTexts common = test::noise_free({{"--files-per-modulation", "3"}, {"--timing-error-min", drift}, {"--timing-error-max", drift}});
    RunSettings s;
    const std::vector<Made> at20 = made_files(test::over(common, {{"--sample-rate", "20000000"}}), 11, s);
    const std::vector<Made> at40 = made_files(test::over(common, {{"--sample-rate", "40000000"}}), 11, s);
    ASSERT_EQ(at20.size(), 3U);
    ASSERT_EQ(at40.size(), 3U);
    for (std::size_t f = 0; f < at20.size(); ++f) {
      ASSERT_EQ(at40[f].x.size(), 2 * at20[f].x.size());
      ASSERT_EQ(at40[f].labels.number("timing_error"), at20[f].labels.number("timing_error"));
      double worst = 0.0;
      for (std::size_t k = 0; k < at20[f].x.size(); ++k) worst = std::max(worst, std::abs(at20[f].x[k] - at40[f].x[2 * k]));
      EXPECT_LT(worst, 1e-9) << "file " << f;
    }
  }
}

// Any cut of a file's samples, mid-symbol or mid-silence, by a kept range or a fresh one, gives
// the whole's samples to the bit: without drift, with the drift a clock may have and with more.
TEST(WifiFile, AnyCutGivesTheWholesSamples) {
  test::expect_cuts_give_the_whole("802.11a/g", {{"--samples-per-file", "20000"}, {"--wifi-gap-max", "60"}, {"--wifi-length-max", "60"}}, 17,
                                   20000, {0.0, 0.004, -0.3}, {-50, -49, 100, 101, 307, 1999, 2000, 5003, 9999, 15001, 20050},
                                   [](const Signal& whole) {
                                     double power = 0.0;
                                     for (const Sample& v : whole) power += std::norm(v);
                                     ASSERT_GT(power, 1000.0) << "the file holds PPDUs";
                                   });
}

// Outside its whole PPDUs (and their windows' 50 ns) a noise-free file is silent; its PPDUs hold
// unit power.
TEST(WifiFile, SilentBetweenWholeFramesAtUnitPower) {
  test::for_each_recording("802.11a/g", test::noise_free({{"--files-per-modulation", "4"}, {"--num-symbols", "300"}}), 5, 20e6,
                           [](const test::Recording& r) {
    // The band the band check takes holds 99.5 % of the power.
    test::expect_silent_outside_frames_and_held(r, 0.995, 1.0);
    const std::vector<double> starts = r.labels.list("frame_starts");
    const std::vector<double> ends = r.labels.list("frame_ends");
    double power = 0.0;
    double count = 0.0;
    for (std::size_t i = 0; i < starts.size(); ++i) {
      for (auto k = static_cast<std::size_t>(std::ceil(starts[i] + 1.0)); static_cast<double>(k) <= ends[i] - 1.0; ++k) {
        power += std::norm(r.x[k]);
        count += 1.0;
      }
      // Whole OFDM symbols at the rate the file realises (its clock's drift).
      const double symbols = (ends[i] - starts[i]) * r.labels.number("realised_symbol_rate") / 20e6;
      EXPECT_NEAR(symbols, std::round(symbols), 1e-9) << "whole 4 us symbols";
    }
    ASSERT_GT(count, 0.0);
    EXPECT_NEAR(power / count, 1.0, 0.05);
  });
}

// A run naming 802.11a/g without a rate gets 20 MHz; a rate whose band cannot hold the
// subcarriers, or a length that cannot hold one PPDU, is refused with its reason.
TEST(WifiOptions, UnsaidRateAndRefusals) {
  const RunSettings s = test::read_settings("802.11a/g", {});
  EXPECT_EQ(s.sample_rate, 20e6);
  EXPECT_EQ(s.num_symbols, 1000) << "the run's own length holds a PPDU";
  // The widest gap (50 symbols), the preamble and SIGNAL (5), 4095 octets at 6 Mb/s (1366), the
  // windows' edges and a symbol of start.
  EXPECT_EQ(test::read_settings("802.11a/g", {{"--wifi-length-max", "4095"}}).num_symbols, 1423);
  test::expect_refused("802.11a/g", {{"--sample-rate", "10000000"}}, "802.11a/g does not fit in the band");
  test::expect_refused("802.11a/g", {{"--num-symbols", "20"}}, "802.11a/g cannot hold a whole frame in 20 symbols");
}

}  // namespace
}  // namespace quorvin
