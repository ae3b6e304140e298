// BLE against a receiver written from the standard alone, parked on the file's channel and PHY as
// a scanner is: a frequency discriminator, each packet found by its preamble and access address,
// bits decided at the middle of each bit period, the PDU and CRC de-whitened by the channel's own
// sequence, the CRC-24 checked by polynomial division and the PDU's fields parsed, which must equal
// the file's labels. The modulation index is measured from the discriminator's swing.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
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

constexpr std::uint32_t advertising_address = 0x8E89BED6;

// The whitening sequence of a channel: a 7-bit register (bit i holding position i) set to 1 in
// position 0 and the channel index, most significant bit first, in positions 1 .. 6; each step
// sends position 6 out, shifts up, and adds the output into positions 0 and 4 (x^7 + x^4 + 1).
Bits whitening(int channel, std::size_t count) {
  unsigned r = 1;
  for (int i = 0; i < 6; ++i) r |= ((static_cast<unsigned>(channel) >> (5 - i)) & 1U) << (1 + i);
  Bits out;
  for (std::size_t n = 0; n < count; ++n) {
    const unsigned o = (r >> 6) & 1U;
    out.push_back(static_cast<int>(o));
    r = ((r << 1) & 0x7FU) | o;
    r ^= o << 4;
  }
  return out;
}

// The CRC's polynomial x^24 + x^10 + x^9 + x^6 + x^4 + x^3 + x + 1 and its preset, the register's
// position 23 its highest coefficient.
constexpr std::uint32_t crc_polynomial = (1U << 24) | (1U << 10) | (1U << 9) | (1U << 6) | (1U << 4) | (1U << 3) | (1U << 1) | 1U;
constexpr std::uint32_t crc_preset = 0x555555;

// The CRC of n bits M (sent first as the highest power) by long division: the remainder of
// x^24 M(x) + x^n I(x) by the polynomial, I the preset.
std::uint32_t crc_by_division(const Bits& m) {
  // Coefficients from the highest power down: x^(n + 23) .. x^0.
  const std::size_t n = m.size();
  Bits poly(n + 24, 0);
  for (std::size_t i = 0; i < n; ++i) poly[i] = m[i];
  for (int i = 0; i < 24; ++i) poly[static_cast<std::size_t>(i)] ^= static_cast<int>((crc_preset >> (23 - i)) & 1U);
  for (std::size_t i = 0; i < n; ++i) {
    if (poly[i] == 0) continue;
    for (int j = 0; j <= 24; ++j) poly[i + static_cast<std::size_t>(j)] ^= static_cast<int>((crc_polynomial >> (24 - j)) & 1U);
  }
  std::uint32_t r = 0;
  for (std::size_t i = n; i < n + 24; ++i) r = (r << 1) | static_cast<std::uint32_t>(poly[i]);
  return r;
}

TEST(BleHandVectors, WhiteningAndCrc) {
  // Channel 37 (100101): the register 1 100101 sends 1, 0, 1, 1, 0, 0, 0, 1 first (worked by hand).
  EXPECT_EQ(whitening(37, 8), (Bits{1, 0, 1, 1, 0, 0, 0, 1}));
  // Every channel's sequence is the maximal one of x^7 + x^4 + 1: s(n + 7) = s(n + 4) + s(n),
  // period 127 and no shorter, 64 ones in a period.
  for (const int channel : {0, 12, 37, 38, 39}) {
    const Bits s = whitening(channel, 300);
    for (std::size_t n = 0; n + 7 < s.size(); ++n) ASSERT_EQ(s[n + 7], s[n + 4] ^ s[n]) << channel << " " << n;
    for (std::size_t n = 0; n + 127 < s.size(); ++n) ASSERT_EQ(s[n], s[n + 127]);
    EXPECT_NE(Bits(s.begin(), s.begin() + 63), Bits(s.begin() + 63, s.begin() + 126));
    EXPECT_EQ(std::count(s.begin(), s.begin() + 127, 1), 64);
  }
  // No bits leave the preset; one 1 bit: the preset times x (0xAAAAAA) plus x^24 mod g (0x00065B).
  EXPECT_EQ(crc_by_division({}), crc_preset);
  EXPECT_EQ(crc_by_division({1}), 0xAAACF1U);
  EXPECT_EQ(crc_by_division({0}), 0xAAAAAAU);
}

using test::hex_text;

// One packet as the receiver read it.
struct Packet {
  double start = 0.0;  // samples: the first preamble bit's leading edge
  double end = 0.0;    // the last CRC bit's trailing edge
  Bits air;            // every bit as sent, preamble first
  std::vector<int> pdu;  // octets, de-whitened
  std::uint32_t crc = 0;
  bool crc_ok = false;
  double index = 0.0;  // the modulation index measured
};

using test::mean_over;

// The receiver: every packet in the samples at `rate` bits a second on channel `channel`.
std::vector<Packet> receive(const Signal& x, double fs, double rate, int channel) {
  const std::vector<double> freq = test::discriminator(x, fs);
  const double spb = fs / rate;
  const int preamble = rate > 1.5e6 ? 16 : 8;
  // The preamble and access address as sent: the address least significant bit first, the
  // preamble alternating into it.
  Bits sync;
  for (int i = 0; i < preamble; ++i) sync.push_back(static_cast<int>(((advertising_address & 1U) + static_cast<unsigned>(i)) & 1U));
  for (int i = 0; i < 32; ++i) sync.push_back(static_cast<int>((advertising_address >> i) & 1U));

  const test::CarrierSense sense(x, 8);
  std::vector<Packet> packets;
  std::size_t from = 0;
  while (true) {
    const std::size_t on = sense.next(from, true);
    if (on >= x.size()) break;
    // The carrier's offset and the bits from instant t0: the preamble alternates, so its mean
    // frequency is the offset; a 1 is the upper frequency.
    const auto offset_at = [&](double t0) { return mean_over(freq, t0 + 1.0 * spb, t0 + (preamble - 1.0) * spb); };
    const auto bits_at = [&](double t0, std::size_t count) {
      const double offset = offset_at(t0);
      Bits bits;
      for (std::size_t i = 0; i < count; ++i) {
        const double middle = t0 + (static_cast<double>(i) + 0.5) * spb;
        bits.push_back(mean_over(freq, middle - 0.2 * spb, middle + 0.2 * spb) > offset ? 1 : 0);
      }
      return bits;
    };
    // The preamble and address where they read whole: the middle of the instants that read them.
    std::vector<double> hits;
    for (double t = static_cast<double>(on) - 3.0 * spb; t <= static_cast<double>(on) + 3.0 * spb; t += spb / 32.0) {
      if (t >= 0.0 && t + static_cast<double>(sync.size() + 1) * spb < static_cast<double>(x.size()) && bits_at(t, sync.size()) == sync) {
        hits.push_back(t);
      }
    }
    if (hits.empty()) {
      ADD_FAILURE() << "a carrier at sample " << on << " without the access address";
      break;
    }
    Packet p;
    p.start = (hits.front() + hits.back()) / 2.0;
    const std::size_t header_at = sync.size();
    const auto read = [&](std::size_t count) { return bits_at(p.start, count); };
    // The header's second octet gives the payload's length: de-whiten the header first.
    Bits air = read(header_at + 16);
    Bits white = whitening(channel, 16);
    int length = 0;
    for (int i = 0; i < 8; ++i) length |= (air[header_at + 8 + static_cast<std::size_t>(i)] ^ white[8 + static_cast<std::size_t>(i)]) << i;
    const std::size_t pdu_bits = 16 + 8 * static_cast<std::size_t>(length);
    const std::size_t total = header_at + pdu_bits + 24;
    p.end = p.start + static_cast<double>(total) * spb;
    if (p.end + spb > static_cast<double>(x.size())) {
      ADD_FAILURE() << "a packet cut at the file's end";
      break;
    }
    p.air = read(total);
    white = whitening(channel, pdu_bits + 24);
    Bits plain;
    for (std::size_t i = 0; i < pdu_bits + 24; ++i) plain.push_back(p.air[header_at + i] ^ white[i]);
    for (std::size_t o = 0; o < pdu_bits / 8; ++o) {
      int v = 0;
      for (int i = 0; i < 8; ++i) v |= plain[8 * o + static_cast<std::size_t>(i)] << i;
      p.pdu.push_back(v);
    }
    for (std::size_t i = pdu_bits; i < pdu_bits + 24; ++i) p.crc = (p.crc << 1) | static_cast<std::uint32_t>(plain[i]);
    p.crc_ok = crc_by_division(Bits(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(pdu_bits))) == p.crc;
    // The swing: in the middle of three equal bits the Gaussian's frequency has reached h/2 bit
    // rates, within 1e-4 over its middle half bit at BT 0.5. Half the difference of the ones' and
    // the zeros' means leaves the carrier's offset out.
    std::array<double, 2> sum{};
    std::array<int, 2> counted{};
    for (std::size_t i = 1; i + 1 < total; ++i) {
      if (p.air[i - 1] != p.air[i] || p.air[i + 1] != p.air[i]) continue;
      const double middle = p.start + (static_cast<double>(i) + 0.5) * spb;
      const auto b = static_cast<std::size_t>(p.air[i]);
      sum[b] += mean_over(freq, middle - 0.25 * spb, middle + 0.25 * spb);
      ++counted[b];
    }
    p.index = counted[0] > 0 && counted[1] > 0 ? (sum[1] / counted[1] - sum[0] / counted[0]) / rate : 0.0;
    packets.push_back(p);
    from = sense.next(static_cast<std::size_t>(p.end + 2.0 * spb), false);
  }
  return packets;
}

using test::Labels;
using test::Made;

struct Case {
  std::string name;
  OptionTexts extra;
  double index_tolerance;  // the discriminator's noise at the case's SNR
  bool every_kind = true;  // the case draws both PHYs and every PDU type
  std::size_t least_packets = 1;  // in every file
};
class BleReceiver : public testing::TestWithParam<Case> {};

constexpr double fs = 8e6;

TEST_P(BleReceiver, DecodesEveryPacketToItsLabels) {
  RunSettings s;
  const std::vector<Made> made = test::made_files("BLE", test::over({{"--files-per-modulation", "10"}}, GetParam().extra), 43, s);
  ASSERT_EQ(made.size(), 10U);
  ASSERT_EQ(s.sample_rate, fs) << "the rate a run without one gets";
  std::vector<std::string> seen;
  for (const auto& [file, labels, x] : made) {
    SCOPED_TRACE("file " + std::to_string(file.index));
    const double rate = labels.text("ble_phy") == "LE 2M" ? 2e6 : 1e6;
    ASSERT_NEAR(labels.number("realised_symbol_rate"), rate, 1e-4 * rate) << "the transmitter's clock within 100 ppm";
    const auto channel = static_cast<int>(labels.number("ble_channel"));
    const std::vector<Packet> packets = receive(x, fs, rate, channel);
    const std::vector<double> starts = labels.list("frame_starts");
    const std::vector<double> ends = labels.list("frame_ends");
    ASSERT_EQ(packets.size(), starts.size());
    ASSERT_EQ(ends.size(), starts.size());
    ASSERT_GE(packets.size(), GetParam().least_packets) << "a file that names no length holds a whole packet";
    const double spb = fs / rate;
    std::vector<std::uint64_t> air_bits;
    for (std::size_t i = 0; i < packets.size(); ++i) {
      const Packet& p = packets[i];
      SCOPED_TRACE("packet " + std::to_string(i));
      EXPECT_TRUE(p.crc_ok) << std::hex << p.crc;
      EXPECT_NEAR(p.start, starts[i], 0.15 * spb);
      EXPECT_NEAR(p.end, ends[i], 0.15 * spb);
      ASSERT_GE(p.pdu.size(), 2U + 6U);
      constexpr std::string_view types[] = {"ADV_IND", "?", "ADV_NONCONN_IND", "?", "?", "?", "ADV_SCAN_IND"};
      const int type = p.pdu[0] & 0xF;
      EXPECT_EQ(type < 7 ? std::string(types[type]) : "?", labels.text("ble_pdu_type"));
      EXPECT_EQ((p.pdu[0] >> 6) & 1, labels.text("ble_address_type") == "random" ? 1 : 0);
      EXPECT_EQ(static_cast<std::size_t>(p.pdu[1]), p.pdu.size() - 2);
      std::string address;
      for (std::size_t o = 7; o >= 2; --o) address += (address.empty() ? "" : ":") + hex_text(std::vector<int>{p.pdu[o]});
      EXPECT_EQ(address, labels.text("ble_adv_address"));
      if (labels.text("ble_address_type") == "random") {
        EXPECT_EQ(p.pdu[7] >> 6, 3) << "a static address's top bits";
      }
      // AdvData's AD structures: length, type, data; flags and the complete local name.
      const std::vector<int> data(p.pdu.begin() + 8, p.pdu.end());
      std::string name = "<none>";
      int flags = -1;
      for (std::size_t at = 0; at < data.size();) {
        const auto size = static_cast<std::size_t>(data[at]);
        ASSERT_GE(size, 1U);
        ASSERT_LE(at + 1 + size, data.size()) << "an AD structure past AdvData's end";
        if (data[at + 1] == 0x01) flags = data[at + 2];
        if (data[at + 1] == 0x09) name.assign(data.begin() + static_cast<std::ptrdiff_t>(at + 2), data.begin() + static_cast<std::ptrdiff_t>(at + 1 + size));
        at += 1 + size;
      }
      EXPECT_EQ(flags, type == 0x2 ? 0x04 : 0x06);
      EXPECT_EQ(name, labels.text("ble_local_name"));
      EXPECT_EQ(static_cast<double>(name.size()), labels.number("ble_name_length"));
      EXPECT_EQ(hex_text(data), labels.text("ble_adv_data"));
      EXPECT_EQ(hex_text(p.pdu), labels.text("ble_pdu"));
      char crc[8];
      std::snprintf(crc, sizeof crc, "%06X", static_cast<unsigned>(p.crc));
      EXPECT_EQ(crc, labels.text("ble_crc"));
      EXPECT_NEAR(p.index, labels.number("ble_modulation_index"), GetParam().index_tolerance);
      for (const int b : p.air) air_bits.push_back(static_cast<std::uint64_t>(b));
    }
    // Events follow one another by advInterval and an advDelay of 0 .. 10 ms.
    const double interval = labels.number("ble_adv_interval") * 625e-6 * fs;
    for (std::size_t i = 1; i < packets.size(); ++i) {
      const double gap = packets[i].start - packets[i - 1].start;
      EXPECT_GE(gap, interval * (1.0 - 2e-4));
      EXPECT_LE(gap, (interval + 0.01 * fs) * (1.0 + 2e-4));
    }
    // --save-symbols tells the bits the receiver read, in order.
    test::expect_symbols_told(s, file, air_bits);
    seen.push_back(labels.text("ble_phy") + " " + labels.text("ble_pdu_type"));
  }
  if (!GetParam().every_kind) return;
  for (const std::string_view kind : {"LE 1M", "LE 2M", "ADV_IND", "ADV_NONCONN_IND", "ADV_SCAN_IND"}) {
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [kind](const std::string& k) { return k.find(kind) != std::string::npos; }))
        << kind;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, BleReceiver,
    testing::Values(Case{"noise_free", test::noise_free(), 0.002},
                    Case{"noise_and_carrier_offset", test::conditions("15", "25", "150000"), 0.03},
                    Case{"clock_offsets", test::conditions("20", "30", "", "50"), 0.03},
                    Case{"events_repeated",
                         test::conditions("20", "20", "", "", {{"--num-symbols", "70000"}, {"--ble-phy-max", "0"}, {"--ble-adv-interval-max", "32"}}),
                         0.03, false, 3}),
    test::CaseName());

// A given AdvData is what every packet carries behind the drawn address, its CRC right; the local
// name is labelled from its complete local name, and absent where it holds none.
TEST(BlePayload, EveryPacketCarriesTheGivenAdvData) {
  const std::string named = std::string("\x02\x01\x06\x0A\x09", 5) + "Quorvin-1";
  const std::string unnamed("\x02\x01\x04\x03\x03\x0F\x18", 7);  // flags, a 16-bit service UUID
  const std::vector<std::string> given = {named, unnamed};
  RunSettings s;
  const std::vector<Made> made = test::made_files(
      "BLE", test::noise_free({{"--files-per-modulation", "2"}, {"--payload", test::payload_line(named) + test::payload_line(unnamed)}}),
      17, s);
  ASSERT_EQ(made.size(), 2U);
  for (const auto& [file, labels, x] : made) {
    SCOPED_TRACE("file " + std::to_string(file.index));
    const std::string& sent = given[static_cast<std::size_t>(file.index - 1)];
    const double rate = labels.text("ble_phy") == "LE 2M" ? 2e6 : 1e6;
    const std::vector<Packet> packets = receive(x, fs, rate, static_cast<int>(labels.number("ble_channel")));
    ASSERT_EQ(packets.size(), labels.list("frame_starts").size());
    ASSERT_GE(packets.size(), 1U);
    for (const Packet& p : packets) {
      EXPECT_TRUE(p.crc_ok);
      std::string data;
      for (std::size_t o = 8; o < p.pdu.size(); ++o) data.push_back(static_cast<char>(p.pdu[o]));
      EXPECT_EQ(data, sent);
      EXPECT_EQ(hex_text(std::vector<int>(p.pdu.begin() + 8, p.pdu.end())), labels.text("ble_adv_data"));
    }
    EXPECT_EQ(labels.text("ble_local_name"), file.index == 1 ? "Quorvin-1" : "<none>");
    EXPECT_EQ(labels.number("ble_name_length"), file.index == 1 ? 9.0 : 0.0);
  }
}

// Outside its whole packets (and their ramps' 1 us) a noise-free file is silent, so no packet is
// cut at either end; over a packet's bits its envelope is constant, the frequency alone keyed; the
// band the band check takes holds 99 % of the file's power.
TEST(BleFile, SilentBetweenWholePacketsConstantWithinAndHeldByItsBand) {
  std::size_t packets = 0;
  test::for_each_recording("BLE", test::noise_free({{"--samples-per-file", "4096"}, {"--files-per-modulation", "6"}}), 5, fs,
                           [&](const test::Recording& r) {
    ASSERT_EQ(r.x.size(), 4096U);
    test::expect_silent_outside_frames_and_held(r, 0.99, 1e-6 * fs);
    const std::vector<double> starts = r.labels.list("frame_starts");
    const std::vector<double> ends = r.labels.list("frame_ends");
    packets += starts.size();
    double low = 1e300;
    double high = 0.0;
    for (std::size_t i = 0; i < starts.size(); ++i) {
      for (auto k = static_cast<std::size_t>(std::ceil(starts[i])); static_cast<double>(k) <= ends[i]; ++k) {
        low = std::min(low, std::abs(r.x[k]));
        high = std::max(high, std::abs(r.x[k]));
      }
    }
    EXPECT_LT(high - low, 1e-6 * high) << "a constant envelope over the bits";
  });
  EXPECT_EQ(packets, 6U) << "one packet a file: the next event is 20 ms on";
}

// The catalogue's cut test runs at a rate too slow for a packet: here a file that holds one gives
// the same samples, to the bit, from any cut of its range as from the whole, drifting or not.
TEST(BleFile, AnyCutThroughAPacketGivesTheWholesSamples) {
  test::expect_cuts_give_the_whole("BLE", {{"--samples-per-file", "4000"}, {"--ble-phy-min", "1"}}, 11, 4000, {0.0, 0.01, -0.02},
                                   {-50, -49, 100, 101, 307, 1000, 1001, 1999, 4050},
                                   [](const Signal& whole) { ASSERT_GT(std::abs(whole[1000]), 0.5) << "the packet spans the middle cuts"; });
}

// A run naming BLE without a rate gets 8 MHz; without a length the run's 1000 symbols, which
// already hold the 307 one packet of the longest name needs (see the refusal below).
TEST(BleFile, UnsaidRateAndLengthAreTheStandardsNeeds) {
  const RunSettings s = test::read_settings("BLE", {});
  EXPECT_EQ(s.sample_rate, 8e6);
  EXPECT_EQ(s.num_symbols, 1000);
}

// A rate whose band cannot hold the packet's spectrum, or a length that cannot hold one packet,
// is refused with its reason: the longest name's packet at LE 2M is 34 octets, after 16 us of
// lead and 1 us of ramp (2 bits each a microsecond), and up to a bit of start; LE 1M alone has one
// preamble octet, 1 bit a microsecond.
TEST(BleOptions, RefusesARateOrLengthTooSmall) {
  test::expect_refused("BLE", {{"--sample-rate", "2000000"}}, "BLE does not fit in the band");
  test::expect_refused("BLE", {{"--num-symbols", "200"}, {"--ble-phy-max", "0"}}, "it needs " + std::to_string(17 + 8 * 33 + 1));
  test::expect_refused("BLE", {{"--num-symbols", "200"}},
                       "BLE cannot hold a whole frame in 200 symbols: it needs " + std::to_string(2 * 17 + 8 * 34 + 1));
}

}  // namespace
}  // namespace quorvin
