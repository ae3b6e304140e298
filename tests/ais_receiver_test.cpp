// AIS against a receiver written from the standard alone: a bit-long channel filter and a
// one-bit differential phase detector, each burst found by its carrier, the bit timing that opens
// the eye widest, NRZI read back, the frame cut at its flags, de-stuffed and its check sequence checked, and the
// 168-bit position report read field by field, which must equal the file's labels.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dsp_reference.h"
#include "hdlc_reference.h"
#include "recordings.h"
#include "standards/hdlc.h"

namespace quorvin {

QUORVIN_PRINT_CASES_BY_NAME

namespace {

// The framing's steps against published and hand-worked values, and the receiving side's
// reading of what the sending side writes.
TEST(HdlcHandVectors, CheckSequenceStuffingAndNrzi) {
  // The 16-bit check of "123456789" as the X.25 and HDLC texts give it.
  const std::string text = "123456789";
  const std::vector<std::uint8_t> nine(text.begin(), text.end());
  EXPECT_EQ(hdlc_fcs(nine), 0x906E);
  // 0xFF then 0x01, least significant bit first: five 1s take a 0, three more, then 1 0000000;
  // the check sequence's own bits follow.
  std::vector<std::uint8_t> bits;
  append_stuffed_frame(bits, std::vector<std::uint8_t>{0xFF, 0x01});
  const std::vector<std::uint8_t> head = {1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_GE(bits.size(), head.size());
  EXPECT_EQ(std::vector<std::uint8_t>(bits.begin(), bits.begin() + static_cast<std::ptrdiff_t>(head.size())), head);
  // A 0 turns the level, a 1 keeps it.
  EXPECT_EQ(nrzi_levels(std::vector<std::uint8_t>{0, 1, 1, 0, 0, 1}, 1), (std::vector<std::uint8_t>{0, 0, 0, 1, 0, 0}));
  // Round trip through the receiving side: flags, a frame of every byte value, flags.
  std::vector<std::uint8_t> all(256);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  std::vector<std::uint8_t> sent;
  append_flags(sent, 2);
  append_stuffed_frame(sent, all);
  append_flags(sent, 1);
  const std::vector<std::uint8_t> line = nrzi_levels(sent, 0);
  const std::vector<int> read = test::nrzi_decode(std::vector<int>(line.begin(), line.end()), 0);
  const std::vector<test::ReceivedFrame> frames = test::hdlc_frames(read);
  ASSERT_EQ(frames.size(), 1U);
  EXPECT_TRUE(frames[0].fcs_good);
  ASSERT_EQ(frames[0].bytes.size(), all.size() + 2);
  EXPECT_EQ(std::vector<std::uint8_t>(frames[0].bytes.begin(), frames[0].bytes.end() - 2), all);
  EXPECT_EQ(frames[0].bytes[256] | frames[0].bytes[257] << 8, hdlc_fcs(all));
  // One bit flipped anywhere fails the check.
  for (const std::size_t flip : {20UL, 700UL, 2000UL}) {
    std::vector<int> bad = read;
    bad[flip] ^= 1;
    const std::vector<test::ReceivedFrame> f = test::hdlc_frames(bad);
    EXPECT_TRUE(f.empty() || !f[0].fcs_good) << flip;
  }
}

// One report as a receiver reads it.
struct Report {
  double start = 0.0;  // samples: the burst's first instant (its ramp's), from the flag's
  double end = 0.0;    // samples: its last (the ramp down's)
  std::int64_t type, mmsi, status, speed, longitude, latitude, course, heading;
  std::string payload;
};

// Bits `at` .. at + width - 1 of the message, most significant first; signed where asked.
std::int64_t field(const std::string& m, std::size_t at, std::size_t width, bool is_signed = false) {
  std::int64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = v * 2 + (m[at + i] == '1' ? 1 : 0);
  if (is_signed && m[at] == '1') v -= std::int64_t{1} << width;
  return v;
}

constexpr double rate = 9600.0;

std::vector<Report> receive(const Signal& x, double fs) {
  const double spb = fs / rate;
  // A channel filter: the mean over a bit's samples, centred.
  const auto width = static_cast<std::ptrdiff_t>(std::lround(spb));
  Signal y(x.size());
  for (std::ptrdiff_t k = 0; k < static_cast<std::ptrdiff_t>(x.size()); ++k) {
    for (std::ptrdiff_t i = k - width / 2; i <= k + width / 2; ++i) {
      if (i >= 0 && i < static_cast<std::ptrdiff_t>(x.size())) y[static_cast<std::size_t>(k)] += x[static_cast<std::size_t>(i)];
    }
  }
  const auto at = [&](double t) {  // y between its samples, linearly
    const double c = std::clamp(t, 0.0, static_cast<double>(x.size() - 2));
    const auto k = static_cast<std::size_t>(c);
    return y[k] + (c - static_cast<double>(k)) * (y[k + 1] - y[k]);
  };
  // The phase's turn over the bit from t: GMSK at h 1/2 turns it about +-pi/2.
  const auto turn = [&](double t) { return std::arg(at(t + spb) * std::conj(at(t))); };
  const test::CarrierSense sense(x, 8);
  std::vector<Report> reports;
  std::size_t from = 0;
  while (true) {
    const std::size_t on = sense.next(from, true);
    if (on + static_cast<std::size_t>(200 * spb) > x.size()) break;
    // The carrier is half up 4 bits into the ramp; the training's levels (two up, two down) turn
    // the phase by the carrier's offset on average.
    const double ramp_start = static_cast<double>(on) - 4.0 * spb;
    double offset = 0.0;
    for (int b = 8; b < 32; ++b) offset += turn(ramp_start + b * spb) / 24.0;
    const auto soft = [&](double t) { return turn(t) - offset; };
    // The timing whose turns stand furthest from the offset: the training alone (two bits up, two
    // down) hardly tells it, the flag and the report do.
    double best = 0.0;
    double phase = 0.0;
    for (int i = 0; i < 32; ++i) {
      const double t0 = ramp_start + (i - 16) * spb / 16.0;
      double eye = 0.0;
      for (int b = 8; b < 200; ++b) eye += std::abs(soft(t0 + b * spb));
      if (eye > best) {
        best = eye;
        phase = t0;
      }
    }
    std::vector<int> levels;
    for (int b = 0; b < 256 && phase + (b + 1) * spb < static_cast<double>(x.size()); ++b) levels.push_back(soft(phase + b * spb) > 0.0 ? 1 : 0);
    const std::vector<int> bits = test::nrzi_decode(levels, levels.front());
    const std::vector<test::ReceivedFrame> frames = test::hdlc_frames(bits);
    if (frames.empty()) {
      ADD_FAILURE() << "a carrier at sample " << on << " without a frame";
      break;
    }
    const test::ReceivedFrame& f = frames.front();
    EXPECT_TRUE(f.fcs_good) << "burst at sample " << on;
    EXPECT_EQ(f.bytes.size(), 23U);
    std::string m;
    for (std::size_t i = 0; i + 2 < f.bytes.size(); ++i) {
      for (int b = 7; b >= 0; --b) m.push_back(((static_cast<unsigned>(f.bytes[i]) >> b) & 1U) != 0 ? '1' : '0');
    }
    if (m.size() < 168) {
      ADD_FAILURE() << "a short report";
      break;
    }
    // The start flag follows 8 bits of ramp and 24 of training; 8 bits of ramp down follow the end flag.
    Report r{phase + (static_cast<double>(f.open) - 32.0) * spb, phase + (static_cast<double>(f.close) + 8.0) * spb,
             field(m, 0, 6), field(m, 8, 30), field(m, 38, 4), field(m, 50, 10), field(m, 61, 28, true),
             field(m, 89, 27, true), field(m, 116, 12), field(m, 128, 9), m};
    EXPECT_EQ(field(m, 6, 2), 0) << "repeat indicator";
    reports.push_back(r);
    from = sense.next(static_cast<std::size_t>(r.end) + 1, false);
  }
  return reports;
}

struct Case {
  std::string name;
  OptionTexts extra;
};
class AisReceiver : public testing::TestWithParam<Case> {};

constexpr double fs = 48000.0;

TEST_P(AisReceiver, DecodesEveryBurstToItsLabels) {
  std::set<double> types;
  test::for_each_recording("AIS", test::over({{"--files-per-modulation", "6"}}, GetParam().extra), 43, fs, [&](const test::Recording& file) {
    const test::Labels& labels = file.labels;
    const Signal& x = file.x;
    const std::vector<Report> reports = receive(x, fs);
    const std::vector<double> starts = labels.list("frame_starts");
    const std::vector<double> ends = labels.list("frame_ends");
    ASSERT_EQ(reports.size(), starts.size());
    ASSERT_EQ(reports.size(), ends.size());
    ASSERT_GE(reports.size(), 1U) << "a file that names no length holds a whole burst";
    const double spb = fs / rate;
    for (std::size_t i = 0; i < reports.size(); ++i) {
      const Report& r = reports[i];
      EXPECT_NEAR(r.start, starts[i], 0.2 * spb);
      EXPECT_NEAR(r.end, ends[i], 0.2 * spb);
      EXPECT_LE(ends[i] - starts[i], 256.0 * spb * 1.001) << "a burst keeps to its slot";
      EXPECT_EQ(r.type, labels.number("ais_message_type"));
      EXPECT_EQ(std::to_string(r.type), labels.text("ais_message"));
      EXPECT_EQ(r.mmsi, labels.number("mmsi"));
      EXPECT_EQ(r.status, labels.number("navigation_status"));
      EXPECT_NEAR(static_cast<double>(r.latitude) / 600000.0, labels.number("latitude"), 1e-9);
      EXPECT_NEAR(static_cast<double>(r.longitude) / 600000.0, labels.number("longitude"), 1e-9);
      EXPECT_NEAR(static_cast<double>(r.speed) / 10.0, labels.number("speed_over_ground"), 1e-9);
      EXPECT_NEAR(static_cast<double>(r.course) / 10.0, labels.number("course_over_ground"), 1e-9);
      EXPECT_EQ(r.heading, labels.number("true_heading"));
      EXPECT_EQ(r.payload, labels.text("ais_payload"));
      // --save-symbols tells the line levels sent: read back, they hold the same report.
      const std::vector<int> levels = test::frame_levels(file, i);
      ASSERT_EQ(levels.size(), static_cast<std::size_t>(std::lround((ends[i] - starts[i]) / spb)) - 8) << "every bit but the ramp down's";
      const std::vector<test::ReceivedFrame> told = test::hdlc_frames(test::nrzi_decode(levels, 0));
      ASSERT_EQ(told.size(), 1U);
      EXPECT_TRUE(told[0].fcs_good);
      std::string bits;
      for (std::size_t b = 0; b + 2 < told[0].bytes.size(); ++b) {
        for (int k = 7; k >= 0; --k) bits.push_back(((static_cast<unsigned>(told[0].bytes[b]) >> k) & 1U) != 0 ? '1' : '0');
      }
      EXPECT_EQ(bits, r.payload);
    }
    types.insert(labels.number("ais_message_type"));
  });
  EXPECT_GT(types.size(), 1U) << "message types drawn";
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, AisReceiver,
    testing::Values(Case{"noise_free", test::noise_free()},
                    Case{"bursts_repeated", test::conditions("25", "25", "", "", {{"--num-symbols", "3000"}, {"--ais-gap-max", "1"}})},
                    Case{"noise_and_carrier_offset", test::conditions("15", "25", "1000")},
                    Case{"clock_offsets", test::conditions("20", "30", "", "100")}),
    test::CaseName());

TEST(AisFile, SilentOutsideWholeBurstsAndHeldByItsBand) {
  test::for_each_recording("AIS", test::noise_free({{"--files-per-modulation", "4"}, {"--num-symbols", "4096"}}),
                           5, fs, [](const test::Recording& r) { test::expect_silent_outside_frames_and_held(r, 0.995); });
}

// Every drawn report keeps to its slot: at most 4 stuffed bits, so a burst (ramps, training,
// flags, report, check sequence) spans 240 to 244 bits; many files' labels, no samples.
TEST(AisFile, EveryBurstKeepsToItsSlot) {
  const RunSettings s = test::read_settings("AIS", {{"--files-per-modulation", "400"}, {"--ais-gap-min", "0"}, {"--ais-gap-max", "0"}});
  RunPlan plan(s, 7);
  std::vector<double> lengths;
  while (std::optional<PlannedFile> next = plan.next()) {
    PlannedFile file = *next;
    file.seeds = derive_file_seeds(7, file.modulation, file.index);
    const test::Labels labels{file_parameters({s, file, std::nullopt})};
    const std::vector<double> starts = labels.list("frame_starts");
    ASSERT_EQ(starts.size(), labels.list("frame_ends").size());
    ASSERT_FALSE(starts.empty());
    lengths.push_back(std::round((labels.list("frame_ends")[0] - starts[0]) * rate / fs));
  }
  ASSERT_EQ(lengths.size(), 400U);
  EXPECT_EQ(*std::min_element(lengths.begin(), lengths.end()), 240.0);
  EXPECT_EQ(*std::max_element(lengths.begin(), lengths.end()), 244.0);
}

// A published position report (its six-bit armoured text as a receiver prints it) as the bits it
// stands for, most significant first.
std::string armoured_bits(std::string_view armoured) {
  std::string bits;
  for (const char c : armoured) {
    int v = c - 48;
    if (v > 40) v -= 8;
    for (int i = 5; i >= 0; --i) bits.push_back(((v >> i) & 1) != 0 ? '1' : '0');
  }
  return bits;
}

std::string bits_as_bytes(const std::string& bits) {
  std::string bytes(bits.size() / 8, '\0');
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (bits[i] == '1') bytes[i / 8] = static_cast<char>(bytes[i / 8] | (0x80 >> (i % 8)));
  }
  return bytes;
}

// A given message is what every burst carries, its fields the labels; a field the message holds
// as "not available" (heading 511) is no label.
TEST(AisPayload, EveryBurstCarriesTheGivenMessage) {
  // Type 1, MMSI 477553000, moored (5), 0 kn, 47.582833 N 122.345833 W, course 51, heading 181.
  const std::string published = armoured_bits("177KQJ5000G?tO`K>RA1wUbN0TKH");
  ASSERT_EQ(published.size(), 168U);
  std::string unknown_heading = published;
  unknown_heading.replace(128, 9, "111111111");
  const std::vector<std::string> given = {published, unknown_heading};
  test::for_each_recording("AIS", test::noise_free({{"--files-per-modulation", "2"},
                                                     {"--payload", test::payload_line(bits_as_bytes(published)) + test::payload_line(bits_as_bytes(unknown_heading))}}),
                           11, fs, [&](const test::Recording& file) {
    const std::string& sent = given[static_cast<std::size_t>(file.file.index - 1)];
    const std::vector<Report> reports = receive(file.x, fs);
    ASSERT_EQ(reports.size(), file.labels.list("frame_starts").size());
    ASSERT_GE(reports.size(), 1U);
    for (const Report& r : reports) {
      EXPECT_EQ(r.payload, sent);
      EXPECT_EQ(r.type, 1);
      EXPECT_EQ(r.mmsi, 477553000);
      EXPECT_EQ(r.status, 5);
      EXPECT_EQ(r.course, 510);
    }
    EXPECT_EQ(file.labels.text("ais_payload"), sent);
    EXPECT_EQ(file.labels.number("mmsi"), 477553000.0);
    EXPECT_EQ(file.labels.text("ais_message"), "1");
    EXPECT_NEAR(file.labels.number("latitude"), 47.582833, 1e-6);
    EXPECT_NEAR(file.labels.number("longitude"), -122.345833, 1e-6);
    EXPECT_EQ(file.labels.number("speed_over_ground"), 0.0);
    if (file.file.index == 1) {
      EXPECT_EQ(file.labels.number("true_heading"), 181.0);
    } else {
      EXPECT_FALSE(file.labels.has("true_heading"));
    }
  });
}

// A rate whose band cannot hold the burst, or a length that cannot hold one, is refused with its reason.
TEST(AisOptions, RefusesARateOrLengthTooSmall) {
  test::expect_refused("AIS", {{"--sample-rate", "9600"}}, "AIS does not fit in the band");
  test::expect_refused("AIS", {{"--num-symbols", "1000"}}, "AIS cannot hold a whole frame in 1000 symbols: it needs 1281");
}

}  // namespace
}  // namespace quorvin
