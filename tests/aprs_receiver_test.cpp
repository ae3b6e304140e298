// APRS against a receiver written from the standards alone: an FM discriminator gives the audio,
// each bit's energy at 1200 Hz against 2200 Hz says mark or space, the bit timing is the one that
// tells them apart best over the leading flags, NRZI is read back, frames are cut at flags,
// de-stuffed and their check sequence checked, the AX.25 addresses and information field read,
// and the position report's latitude and longitude parsed; all must equal the file's labels.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "dsp_reference.h"
#include "hdlc_reference.h"
#include "recordings.h"

namespace quorvin {

QUORVIN_PRINT_CASES_BY_NAME

namespace {

constexpr double baud = 1200.0;

// A frame as a receiver prints it.
struct Heard {
  double start = 0.0;  // samples: the first flag's first instant
  std::string source, destination, via, info;
  double latitude = 0.0, longitude = 0.0;
  bool positioned = false;  // the information field is a position report ("!" or "=", the primary table)
  std::string hex;
};

// An address's 7 bytes: six characters shifted up a bit, spaces dropped, then "-SSID" unless 0.
std::string address(const std::vector<std::uint8_t>& b, std::size_t at) {
  std::string call;
  for (std::size_t i = 0; i < 6; ++i) {
    const char c = static_cast<char>(b[at + i] >> 1);
    if (c != ' ') call.push_back(c);
  }
  const int ssid = (b[at + 6] >> 1) & 0xF;
  return ssid == 0 ? call : call + "-" + std::to_string(ssid);
}

// "DDMM.mmH" or "DDDMM.mmH" as degrees, south and west negative.
double degrees(const std::string& text, std::size_t degree_digits) {
  const double whole = std::stod(text.substr(0, degree_digits));
  const double minutes = std::stod(text.substr(degree_digits, 5));
  const double v = whole + minutes / 60.0;
  const char h = text[degree_digits + 5];
  return h == 'S' || h == 'W' ? -v : v;
}

std::vector<Heard> receive(const Signal& x, double fs) {
  const double spb = fs / baud;
  const std::vector<double> audio = test::discriminator(x, fs);
  const test::CarrierSense sense(x, 4);
  std::vector<Heard> heard;
  std::size_t from = 0;
  while (true) {
    const std::size_t on = sense.next(from, true);
    const std::size_t off = sense.next(on, false);
    if (off >= x.size() || off - on < static_cast<std::size_t>(300 * spb)) break;
    // The audio's mean over the leading flags is the carrier's offset.
    double offset = 0.0;
    for (std::size_t k = on; k < on + static_cast<std::size_t>(150 * spb); ++k) offset += audio[k];
    offset /= std::floor(150 * spb);
    // Mark minus space energy over a bit from instant t, as a share of both.
    const auto tone_energy = [&](double t, double f) {
      std::complex<double> sum = 0.0;
      for (auto k = static_cast<std::size_t>(std::ceil(t + 0.1 * spb)); static_cast<double>(k) < t + 0.9 * spb; ++k) {
        sum += (audio[k] - offset) * std::polar(1.0, -2.0 * std::numbers::pi * f * static_cast<double>(k) / fs);
      }
      return std::norm(sum);
    };
    const auto contrast = [&](double t) {
      const double m = tone_energy(t, 1200.0);
      const double s = tone_energy(t, 2200.0);
      return (m - s) / (m + s + 1e-30);
    };
    double best = 0.0;
    double phase = static_cast<double>(on);
    for (int i = -8; i <= 8; ++i) {
      const double t0 = static_cast<double>(on) + i * spb / 16.0;
      double sum = 0.0;
      for (int b = 2; b < 150; ++b) sum += std::abs(contrast(t0 + b * spb));
      if (sum > best) {
        best = sum;
        phase = t0;
      }
    }
    std::vector<int> levels;
    for (double t = phase; t + spb < static_cast<double>(off); t += spb) levels.push_back(contrast(t) > 0.0 ? 1 : 0);
    const std::vector<int> bits = test::nrzi_decode(levels, levels.front());
    const std::vector<test::ReceivedFrame> frames = test::hdlc_frames(bits);
    EXPECT_EQ(frames.size(), 1U) << "one frame a transmission, at sample " << on;
    for (const test::ReceivedFrame& f : frames) {
      EXPECT_TRUE(f.fcs_good) << "frame at sample " << on;
      const std::vector<std::uint8_t>& b = f.bytes;
      Heard h;
      h.start = phase;
      h.hex = test::hex_text(b);
      std::size_t at = 14;
      h.destination = address(b, 0);
      h.source = address(b, 7);
      EXPECT_EQ(b[6] & 0x80, 0x80) << "a command: the destination's C bit";
      while ((b[at - 1] & 1) == 0 && at + 7 <= b.size()) {
        h.via += (h.via.empty() ? "" : ",") + address(b, at);
        at += 7;
      }
      EXPECT_EQ(b[at], 0x03) << "UI frame";
      EXPECT_EQ(b[at + 1], 0xF0) << "no layer 3";
      h.info = std::string(b.begin() + static_cast<std::ptrdiff_t>(at + 2), b.end() - 2);
      h.positioned = h.info.size() >= 20 && (h.info[0] == '!' || h.info[0] == '=') && h.info[9] == '/';
      if (h.positioned) {
        h.latitude = degrees(h.info.substr(1, 8), 2);
        h.longitude = degrees(h.info.substr(10, 9), 3);
      }
      heard.push_back(h);
    }
    from = off;
  }
  return heard;
}

struct Case {
  std::string name;
  OptionTexts extra;
};
class AprsReceiver : public testing::TestWithParam<Case> {};

constexpr double fs = 22050.0;

TEST_P(AprsReceiver, DecodesEveryFrameToItsLabels) {
  std::vector<std::string> paths;
  test::for_each_recording("APRS", test::over({{"--files-per-modulation", "6"}}, GetParam().extra), 47, fs, [&](const test::Recording& file) {
    const test::Labels& labels = file.labels;
    const Signal& x = file.x;
    const std::vector<Heard> heard = receive(x, fs);
    const std::vector<double> starts = labels.list("frame_starts");
    ASSERT_EQ(heard.size(), starts.size());
    ASSERT_GE(heard.size(), 1U) << "a file that names no length holds a whole frame";
    for (std::size_t i = 0; i < heard.size(); ++i) {
      const Heard& h = heard[i];
      EXPECT_NEAR(h.start, starts[i], 0.3 * fs / baud) << "the timing found to a share of a bit";
      EXPECT_EQ(h.source, labels.text("aprs_source"));
      EXPECT_EQ(h.destination, labels.text("aprs_destination"));
      EXPECT_EQ(h.via, labels.text("aprs_path") == "none" ? "" : labels.text("aprs_path"));
      EXPECT_EQ(h.via.empty() ? "<none>" : h.via, labels.text("aprs_via")) << "a frame without a path has no such label";
      EXPECT_EQ(h.info, labels.text("aprs_info"));
      EXPECT_TRUE(h.positioned && h.info[0] == '!') << "a drawn frame is a position report";
      EXPECT_NEAR(h.latitude, labels.number("latitude"), 1e-9);
      EXPECT_NEAR(h.longitude, labels.number("longitude"), 1e-9);
      EXPECT_EQ(h.hex, labels.text("ax25_frame"));
      // --save-symbols tells the line levels sent: read back, they hold the same frame.
      const std::vector<int> levels = test::frame_levels(file, i);
      const std::vector<test::ReceivedFrame> told = test::hdlc_frames(test::nrzi_decode(levels, 1));
      ASSERT_EQ(told.size(), 1U);
      EXPECT_TRUE(told[0].fcs_good);
      EXPECT_EQ(test::hex_text(told[0].bytes), h.hex);
    }
    paths.push_back(labels.text("aprs_path"));
  });
  EXPECT_GT(std::count_if(paths.begin(), paths.end(), [&](const std::string& p) { return p != paths.front(); }), 0) << "paths drawn";
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, AprsReceiver,
    testing::Values(Case{"noise_free", test::noise_free()},
                    Case{"frames_repeated", test::conditions("25", "25", "", "", {{"--num-symbols", "4000"}})},
                    Case{"noise_and_carrier_offset", test::conditions("15", "25", "1500")},
                    Case{"clock_offsets", test::conditions("20", "30", "", "100")}),
    test::CaseName());

// A given information field is what every frame carries behind the drawn addresses; a position
// report's position is labelled, any other field's is absent.
TEST(AprsPayload, EveryFrameCarriesTheGivenField) {
  const std::vector<std::string> given = {"=4903.50N/07201.75W-Test 001234", ">Net on 145.200"};
  test::for_each_recording("APRS", test::noise_free({{"--files-per-modulation", "2"}, {"--payload", test::payload_line(given[0]) + test::payload_line(given[1])}}),
                           13, fs, [&](const test::Recording& file) {
    const std::string& sent = given[static_cast<std::size_t>(file.file.index - 1)];
    const std::vector<Heard> heard = receive(file.x, fs);
    ASSERT_EQ(heard.size(), file.labels.list("frame_starts").size());
    ASSERT_GE(heard.size(), 1U);
    for (const Heard& h : heard) {
      EXPECT_EQ(h.info, sent);
      EXPECT_EQ(h.source, file.labels.text("aprs_source"));
      EXPECT_EQ(h.hex, file.labels.text("ax25_frame"));
      EXPECT_EQ(h.positioned, file.file.index == 1);
      EXPECT_EQ(h.positioned, file.labels.has("latitude"));
      if (h.positioned) {
        EXPECT_NEAR(h.latitude, file.labels.number("latitude"), 1e-9);
        EXPECT_NEAR(h.longitude, file.labels.number("longitude"), 1e-9);
      }
    }
    EXPECT_EQ(file.labels.text("aprs_info"), sent);
    EXPECT_EQ(file.labels.number("aprs_comment"), sent.size() > 20 ? static_cast<double>(sent.size() - 20) : 0.0);
  });
}

TEST(AprsFile, SilentOutsideWholeFramesAndHeldByItsBand) {
  test::for_each_recording("APRS", test::noise_free({{"--files-per-modulation", "4"}, {"--num-symbols", "4096"}}),
                           5, fs, [](const test::Recording& r) { test::expect_silent_outside_frames_and_held(r, 0.995); });
}

// A rate whose band cannot hold the deviation and the tones, or a length that cannot hold a
// frame, is refused with its reason.
TEST(AprsOptions, RefusesARateOrLengthTooSmall) {
  test::expect_refused("APRS", {{"--sample-rate", "8000"}}, "APRS does not fit in the band");
  test::expect_refused("APRS", {{"--num-symbols", "500"}}, "APRS cannot hold a whole frame in 500 symbols");
}

}  // namespace
}  // namespace quorvin
