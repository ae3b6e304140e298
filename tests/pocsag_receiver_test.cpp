// POCSAG against a receiver written from the standard alone: a frequency discriminator, the bit
// rate found by which of the three finds the sync codeword after the preamble, the bit timing
// taken again at every batch's sync codeword, every codeword's BCH(31,21) syndrome and parity
// checked, and the page decoded (numeric BCD or 7-bit text, by the function bits' convention),
// which must equal the file's labels.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "dsp_reference.h"
#include "recordings.h"

namespace quorvin {

QUORVIN_PRINT_CASES_BY_NAME

namespace {

constexpr std::uint32_t sync_word = 0x7CD215D8;
constexpr std::uint32_t idle_word = 0x7A89C197;

// The remainder of a 31-bit codeword (without its parity bit) by x^10+x^9+x^8+x^6+x^5+x^3+1.
std::uint32_t syndrome(std::uint32_t word32) {
  std::uint32_t r = word32 >> 1;
  for (int bit = 30; bit >= 10; --bit) {
    if ((r >> bit) & 1U) r ^= 0x769U << (bit - 10);
  }
  return r;
}
bool even_parity(std::uint32_t word32) { return std::popcount(word32) % 2 == 0; }

TEST(PocsagHandVectors, SyncIdleAndAWorkedCodewordCheck) {
  // Both fixed codewords are codewords: zero syndrome, even parity.
  for (const std::uint32_t w : {sync_word, idle_word}) {
    EXPECT_EQ(syndrome(w), 0U) << std::hex << w;
    EXPECT_TRUE(even_parity(w)) << std::hex << w;
  }
  // Address 0 with function 0: data all zero, so check bits and parity are zero too; flipping
  // one bit of it leaves a syndrome equal to that bit's remainder, x^k mod g.
  EXPECT_EQ(syndrome(0), 0U);
  EXPECT_EQ(syndrome(1U << 1), 1U) << "the lowest check bit is its own remainder";
  EXPECT_EQ(syndrome(1U << 11), 0x769U & 0x3FFU) << "the lowest data bit, x^10 mod g: g without its leading term";
  EXPECT_NE(syndrome(1U << 20), 0U);
  EXPECT_EQ(syndrome(idle_word ^ (1U << 20)), syndrome(1U << 20)) << "a received word's syndrome is its error's";
}

struct Page {
  double start;  // samples: the first preamble bit's leading edge
  std::uint32_t address;
  std::uint32_t function;
  std::string text;
};

using test::mean_over;

std::string numeric_text(const std::vector<std::uint32_t>& payloads) {
  const std::string_view set = "0123456789*U -)(";
  std::string text;
  for (const std::uint32_t p : payloads) {
    for (int c = 0; c < 5; ++c) {
      const std::uint32_t nibble = (p >> (16 - 4 * c)) & 0xFU;
      std::uint32_t v = 0;
      for (int i = 0; i < 4; ++i) v |= ((nibble >> (3 - i)) & 1U) << i;  // sent least significant first
      text.push_back(set[v]);
    }
  }
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

std::string alphanumeric_text(const std::vector<std::uint32_t>& payloads) {
  std::vector<int> bits;
  for (const std::uint32_t p : payloads) {
    for (int i = 19; i >= 0; --i) bits.push_back(static_cast<int>((p >> i) & 1U));
  }
  std::string text;
  for (std::size_t at = 0; at + 7 <= bits.size(); at += 7) {
    int c = 0;
    for (int i = 0; i < 7; ++i) c |= bits[at + static_cast<std::size_t>(i)] << i;  // least significant first
    if (c != 0) text.push_back(static_cast<char>(c));
  }
  return text;
}

// The receiver: every page in the samples, each codeword checked.
std::vector<Page> receive(const Signal& x, double fs) {
  const std::vector<double> freq = test::discriminator(x, fs);
  const test::CarrierSense sense(x, 8);
  std::vector<Page> pages;
  std::size_t from = 0;
  while (true) {
    const std::size_t on = sense.next(from, true);
    if (on >= x.size()) break;
    std::optional<Page> found;
    double resume = static_cast<double>(x.size());
    for (const double rate : {512.0, 1200.0, 2400.0}) {
      const double spb = fs / rate;
      if (static_cast<double>(on) + 700.0 * spb > static_cast<double>(x.size())) continue;
      // The preamble alternates, so its mean frequency is the carrier's offset.
      const double offset = mean_over(freq, static_cast<double>(on) + 16.0 * spb, static_cast<double>(on) + 500.0 * spb);
      const auto word_at = [&](double t0) {  // the 32 bits from instant t0, 1 the lower tone
        std::uint32_t w = 0;
        for (int i = 0; i < 32; ++i) {
          const double soft = mean_over(freq, t0 + (i + 0.3) * spb, t0 + (i + 0.7) * spb) - offset;
          w = (w << 1) | (soft < 0.0 ? 1U : 0U);
        }
        return w;
      };
      // A sync codeword near where one is expected: the middle of the instants that read it.
      const auto sync_near = [&](double expected, double reach) -> std::optional<double> {
        std::vector<double> hits;
        for (double t = expected - reach; t <= expected + reach; t += spb / 32.0) {
          if (t >= 0.0 && t + 33.0 * spb < static_cast<double>(x.size()) && word_at(t) == sync_word) hits.push_back(t);
        }
        if (hits.empty()) return std::nullopt;
        return (hits.front() + hits.back()) / 2.0;
      };
      std::optional<double> sync = sync_near(static_cast<double>(on) + 576.0 * spb, 3.0 * spb);
      if (!sync) continue;
      Page page{*sync - 576.0 * spb, 0, 0, {}};
      std::vector<std::uint32_t> payloads;
      bool addressed = false;
      bool ended = false;  // the message ended by an idle codeword, as a pager needs to know it whole
      while (sync) {
        for (int j = 0; j < 16; ++j) {
          const std::uint32_t w = word_at(*sync + 32.0 * (j + 1) * spb);
          EXPECT_EQ(syndrome(w), 0U) << "codeword " << j << " " << std::hex << w;
          EXPECT_TRUE(even_parity(w)) << "codeword " << j << " " << std::hex << w;
          if (w == idle_word) {
            ended = addressed;
            continue;
          }
          EXPECT_FALSE(ended) << "a codeword after the message's end";
          if ((w >> 31) == 0) {
            page.address = ((w >> 13) & 0x3FFFFU) << 3 | static_cast<std::uint32_t>(j / 2);
            page.function = (w >> 11) & 3U;
            addressed = true;
          } else {
            EXPECT_TRUE(addressed) << "a message codeword before its address";
            payloads.push_back((w >> 11) & 0xFFFFFU);
          }
        }
        resume = *sync + 544.0 * spb + 2.0 * spb;
        // Another batch where the samples hold one whole.
        sync = *sync + 1088.5 * spb < static_cast<double>(x.size()) ? sync_near(*sync + 544.0 * spb, 2.0 * spb) : std::nullopt;
      }
      EXPECT_TRUE(ended) << "a transmission that stops before an idle codeword ends its message";
      page.text = page.function == 3 ? alphanumeric_text(payloads) : numeric_text(payloads);
      found = page;
      break;
    }
    if (!found) {
      ADD_FAILURE() << "a carrier at sample " << on << " without a sync codeword at any rate";
      break;
    }
    pages.push_back(*found);
    // On past the transmission's end and the carrier's fall (a bit), to where it is off.
    from = sense.next(static_cast<std::size_t>(resume), false);
  }
  return pages;
}

struct Case {
  std::string name;
  OptionTexts extra;
};
class PocsagReceiver : public testing::TestWithParam<Case> {};

constexpr double fs = 32000.0;

TEST_P(PocsagReceiver, DecodesEveryPageToItsLabels) {
  std::vector<std::string> kinds;
  test::for_each_recording("POCSAG", test::over({{"--files-per-modulation", "8"}}, GetParam().extra), 41, fs, [&](const test::Recording& r) {
    const test::Labels& labels = r.labels;
    const std::vector<Page> pages = receive(r.x, fs);
    const std::vector<double> starts = labels.list("frame_starts");
    ASSERT_EQ(pages.size(), starts.size());
    ASSERT_GE(pages.size(), 1U) << "a file that names no length holds a whole transmission";
    const double spb = fs / labels.number("realised_symbol_rate");
    for (std::size_t i = 0; i < pages.size(); ++i) {
      EXPECT_NEAR(pages[i].start, starts[i], 0.1 * spb);
      EXPECT_EQ(pages[i].address, labels.number("pocsag_address"));
      EXPECT_EQ(pages[i].function, labels.number("pocsag_function"));
      EXPECT_EQ(pages[i].text, labels.text("pocsag_text"));
    }
    kinds.push_back(labels.text("pocsag_message"));
  });
  EXPECT_NE(std::find(kinds.begin(), kinds.end(), "numeric"), kinds.end());
  EXPECT_NE(std::find(kinds.begin(), kinds.end(), "alphanumeric"), kinds.end());
}

// Given texts are the pages the receiver decodes, file k sending line k (the lines again past the
// last): numeric where every character is of the numeric set and the last no space, else 7-bit text.
TEST(PocsagPayload, EachFileSendsItsLineAndTheLabelsTellIt) {
  struct Given {
    std::string text;
    std::string kind;
  };
  const std::vector<Given> given = {{"0123 U-456", "numeric"}, {"Hello, pager! 42", "alphanumeric"}, {"12 ", "alphanumeric"}};
  std::string lines;
  for (const Given& g : given) lines += test::payload_line(g.text);
  test::for_each_recording("POCSAG", test::noise_free({{"--files-per-modulation", "4"}, {"--payload", lines}}), 43, fs, [&](const test::Recording& r) {
    const Given& sent = given[static_cast<std::size_t>(r.file.index - 1) % given.size()];
    const test::Labels& labels = r.labels;
    const std::vector<Page> pages = receive(r.x, fs);
    ASSERT_GE(pages.size(), 1U);
    for (const Page& page : pages) {
      EXPECT_EQ(page.text, sent.text);
      EXPECT_EQ(page.function, labels.number("pocsag_function"));
      EXPECT_EQ(page.address, labels.number("pocsag_address"));
    }
    EXPECT_EQ(labels.text("pocsag_text"), sent.text);
    EXPECT_EQ(labels.text("pocsag_message"), sent.kind);
    EXPECT_EQ(labels.number("pocsag_length"), static_cast<double>(sent.text.size()));
  });
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, PocsagReceiver,
    testing::Values(Case{"noise_free", test::noise_free()},
                    Case{"pages_repeated", test::conditions("20", "20", "", "", {{"--num-symbols", "8000"}})},
                    Case{"noise_and_carrier_offset", test::conditions("12", "20", "1500")},
                    Case{"clock_offsets", test::conditions("15", "25", "", "100")}),
    test::CaseName());

// A rate whose band cannot hold the tones and their keying, or a length that cannot hold one
// transmission, is refused with its reason.
TEST(PocsagOptions, RefusesARateOrLengthTooSmall) {
  test::expect_refused("POCSAG", {{"--sample-rate", "16000"}}, "POCSAG does not fit in the band");
  test::expect_refused("POCSAG", {{"--num-symbols", "1000"}}, "POCSAG cannot hold a whole frame in 1000 symbols: it needs 1674");
  // The length is judged at the slowest rate the run's range draws: 1674 bit periods are 33,480
  // samples at 2400 b/s and 48 kHz, but 156,938 at 512 b/s.
  const OptionTexts fast = {{"--sample-rate", "48000"}, {"--pocsag-bit-rate-min", "2"}, {"--pocsag-bit-rate-max", "2"}};
  auto fits = fast;
  fits["--samples-per-file"] = "33480";
  EXPECT_TRUE(std::holds_alternative<RunSettings>(read_options({{"POCSAG"}, fits})));
  auto short_of_it = fast;
  short_of_it["--samples-per-file"] = "33479";
  test::expect_refused("POCSAG", short_of_it, "it needs 33480 at this sample rate (1674 symbol periods of 2400 Baud)");
}

}  // namespace
}  // namespace quorvin
