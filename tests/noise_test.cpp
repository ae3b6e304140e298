#include "channel/noise.h"

#include <numbers>

#include "channel/gaussian.h"

#include "dsp_reference.h"

// Stages that pass their input unchanged (offset of 0.0 Hz, infinite SNR) are checked, with the
// buffer they come back in, in pass_through_test.cpp. make_engine's seeding is checked through the
// generator's symbols against std::mt19937; the classic noise's bytes are pinned by golden_corpus.

namespace quorvin {
namespace {

using test::inf;

Signal test_tone(std::size_t n, double amplitude) {
  Signal s(n);
  for (std::size_t i = 0; i < n; ++i) s[i] = amplitude * unit_phasor(0.01 * static_cast<double>(i));
  return s;
}

TEST(FrequencyShift, HandWorkedQuarterTurnsPerSample) {
  // A shift of fs / 4 turns sample i by i * 90 degrees.
  const Signal s = frequency_shift({{1, 0}, {1, 0}, {1, 0}, {0, 2}}, 4000.0, 1000.0);
  EXPECT_LT(test::max_abs_difference(s, {{1, 0}, {0, 1}, {-1, 0}, {2, 0}}), 1e-12);
  EXPECT_EQ(s[0], Sample(1.0, 0.0));  // angle 0: unchanged
}

TEST(Awgn, EdgesOfTheSnrAndTheSignal) {
  EXPECT_TRUE(add_awgn({}, 10.0).empty());
  const Signal zeros(50, Sample(0.0, 0.0));
  EXPECT_TRUE(test::same_bits(add_awgn(zeros, -20.0, 1u), zeros)) << "silence stays silent";
  const Signal s = test_tone(100, 1.0);
  EXPECT_FALSE(test::same_bits(add_awgn(s, 300.0, 5u), s)) << "a huge finite SNR still adds noise";
  EXPECT_FALSE(test::same_bits(add_awgn(s, 5.0), add_awgn(s, 5.0))) << "device seeds differ";
  const Signal undefined = add_awgn(test_tone(10, 1.0), -inf, 1u);  // undefined, not a crash
  ASSERT_EQ(undefined.size(), 10u);
  EXPECT_TRUE(std::isnan(undefined[3].real()));
}

// Noise power is P / snr, split evenly between I and Q, mean zero, whatever the amplitude.
TEST(Awgn, PowerMatchesRequestedSnrWithEvenIqSplit) {
  const std::size_t n = 200000;
  const double count = static_cast<double>(n);
  for (const auto& [snr_db, amplitude] : {std::pair{0.0, 1.0}, {10.0, 0.5}, {-6.0, 3.0}, {30.0, 1e-3}}) {
    SCOPED_TRACE(testing::Message() << snr_db << " dB, amplitude " << amplitude);
    const Signal clean = test_tone(n, amplitude);
    const Signal noisy = add_awgn(clean, snr_db, 12345u);
    Sample sum = 0.0;
    double i_power = 0.0, q_power = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
      const Sample d = noisy[k] - clean[k];
      sum += d;
      i_power += d.real() * d.real();
      q_power += d.imag() * d.imag();
    }
    const double expected = amplitude * amplitude / std::pow(10.0, snr_db / 10.0);
    EXPECT_NEAR((i_power + q_power) / count / expected, 1.0, 0.01);
    EXPECT_NEAR(i_power / count / (expected / 2.0), 1.0, 0.015);
    EXPECT_NEAR(q_power / count / (expected / 2.0), 1.0, 0.015);
    const double mean_bound = 5.0 * std::sqrt(expected / 2.0) / std::sqrt(count);
    EXPECT_LT(std::abs(sum.real() / count), mean_bound);
    EXPECT_LT(std::abs(sum.imag() / count), mean_bound);
  }
}

// The exact model's normal sources against the normal law itself: the share of 4 million draws in
// bins across the whole line (tails beyond 4 and 5 sigma included) against erfc, the first four
// moments, and no correlation between the two deviates of a pair or between neighbouring seeds.
// GaussianSource serves the impairments' draws, NoiseSource (four streams) the white noise.
template <class Source>
void expect_normal_law(std::uint64_t seed) {
  constexpr int n = 4'000'000;
  const std::vector<double> edges = {-5.0, -4.0, -3.0, -2.0, -1.0, -0.5, 0.0, 0.5, 1.0, 2.0, 3.0, 3.6541528853610088, 4.0, 5.0};
  std::vector<double> counts(edges.size() + 1, 0.0);
  const auto normal_cdf = [](double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); };
  Source source(seed);
  Source neighbour(seed + 1);
  double m1 = 0, m2 = 0, m3 = 0, m4 = 0, pair = 0, seeds = 0;
  for (int i = 0; i < n / 2; ++i) {
    double a = 0.0, b = 0.0, c = 0.0, d = 0.0;
    source.next_normal_pair(a, b);
    neighbour.next_normal_pair(c, d);
    pair += a * b;
    seeds += a * c;
    for (const double x : {a, b}) {
      m1 += x, m2 += x * x, m3 += x * x * x, m4 += x * x * x * x;
      counts[static_cast<std::size_t>(std::upper_bound(edges.begin(), edges.end(), x) - edges.begin())] += 1.0;
    }
  }
  for (std::size_t bin = 0; bin < counts.size(); ++bin) {
    const double lo = bin == 0 ? 0.0 : normal_cdf(edges[bin - 1]);
    const double hi = bin == edges.size() ? 1.0 : normal_cdf(edges[bin]);
    const double expected = (hi - lo) * n;
    // Five standard deviations of a binomial count, and at least 3 for the nearly empty far tails.
    EXPECT_NEAR(counts[bin], expected, std::max(3.0, 5.0 * std::sqrt(expected))) << "bin " << bin;
  }
  EXPECT_NEAR(m1 / n, 0.0, 0.003);
  EXPECT_NEAR(m2 / n, 1.0, 0.004);
  EXPECT_NEAR(m3 / n, 0.0, 0.01);
  EXPECT_NEAR(m4 / n, 3.0, 0.03);
  EXPECT_NEAR(pair / (n / 2), 0.0, 0.004) << "I and Q of one sample";
  EXPECT_NEAR(seeds / (n / 2), 0.0, 0.004) << "files with neighbouring seeds";
}

TEST(GaussianSource, DrawsFollowTheNormalLawIntoTheTails) { expect_normal_law<GaussianSource>(7); }
TEST(NoiseSource, DrawsFollowTheNormalLawIntoTheTails) { expect_normal_law<NoiseSource>(7); }

// The four streams take turns: deviate 4i + j is stream j's, so over a run each stream's share
// has unit variance and no stream repeats another.
TEST(NoiseSource, EachStreamDrawsItsOwnDeviates) {
  NoiseSource source(11);
  std::array<double, 4> power{};
  std::array<double, 4> cross{};
  constexpr int steps = 200'000;
  for (int i = 0; i < steps; ++i) {
    std::array<double, 4> x{};
    source.next_normal_pair(x[0], x[1]);
    source.next_normal_pair(x[2], x[3]);
    for (std::size_t j = 0; j < 4; ++j) {
      power[j] += x[j] * x[j];
      cross[j] += x[j] * x[(j + 1) % 4];
    }
  }
  for (std::size_t j = 0; j < 4; ++j) {
    EXPECT_NEAR(power[j] / steps, 1.0, 0.015) << "stream " << j;
    EXPECT_NEAR(cross[j] / steps, 0.0, 0.015) << "streams " << j << " and " << (j + 1) % 4;
  }
}

TEST(GaussianSource, ZigguratConstantsCloseTheLayers) {
  // The tail's start and the layer area must agree: the base layer (its rectangle and the tail
  // beyond it, by erfc) holds one layer's area, and the layers built up from it end exactly at
  // the peak, the top one with the same area again.
  const ZigguratTables& t = ziggurat_tables();
  const double tail = std::sqrt(std::numbers::pi / 2.0) * std::erfc(t.x[1] / std::sqrt(2.0));
  const double area = t.x[0] * t.f[1];
  EXPECT_NEAR((t.x[1] * t.f[1] + tail) / area, 1.0, 1e-9);
  EXPECT_NEAR(t.x[255] * (1.0 - t.f[255]) / area, 1.0, 1e-6);
}

// The noise of a signal made in blocks of any length, odd ones and ones beyond a batch of
// deviates included, is each sample plus the deviation times the source's next pair (I then Q),
// and a block of none draws nothing.
TEST(NoiseSource, BlocksOfAnyLengthTakeTheDeviatesInPairs) {
  const std::size_t lengths[] = {0, 1, 3, 31, 32, 33, 0, 2, 100, 5};
  NoiseSource blocks(11);
  NoiseSource pairs(11);
  std::size_t made = 0;
  for (const std::size_t length : lengths) {
    Signal x(length);
    for (std::size_t k = 0; k < length; ++k) x[k] = Sample(0.5 + static_cast<double>(made + k), -0.25 * static_cast<double>(k));
    const Signal noisy = add_deviates(x, 0.3, blocks);
    ASSERT_EQ(noisy.size(), length);
    for (std::size_t k = 0; k < length; ++k) {
      double i_noise = 0.0;
      double q_noise = 0.0;
      pairs.next_normal_pair(i_noise, q_noise);
      ASSERT_EQ(noisy[k], Sample(x[k].real() + 0.3 * i_noise, x[k].imag() + 0.3 * q_noise)) << "sample " << made + k;
    }
    made += length;
  }
}

}  // namespace
}  // namespace quorvin
