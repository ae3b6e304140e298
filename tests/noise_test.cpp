#include "channel/noise.h"

#include "dsp_reference.h"

// Stages that pass their input unchanged (offset of 0.0 Hz, infinite SNR) are checked, with the
// buffer they come back in, in pass_through_test.cpp. make_engine's seeding is checked through the
// draws: the generator's symbols and the noise below against std::mt19937.

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

TEST(FrequencyOffset, EmptyPassesAndOnlyExactZeroIsSkipped) {
  const Signal s = test_tone(64, 1.5);
  EXPECT_TRUE(apply_frequency_offset({}, 1000.0, 50.0).empty());
  EXPECT_TRUE(test::same_bits(apply_frequency_offset(s, 1000.0, 1e-300),
                              frequency_shift(s, 1000.0, 1e-300)));
}

TEST(Awgn, EdgesOfTheSnrAndTheSignal) {
  EXPECT_TRUE(add_awgn({}, 10.0).empty());
  const Signal zeros(50, Sample(0.0, 0.0));
  EXPECT_TRUE(test::same_bits(add_awgn(zeros, -20.0, 1u), zeros)) << "silence stays silent";
  const Signal s = test_tone(100, 1.0);
  EXPECT_FALSE(test::same_bits(add_awgn(s, 300.0, 5u), s)) << "a huge finite SNR still adds noise";
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

TEST(Awgn, SeedsReproduceAndTheFirstDrawGoesToQ) {
  const Signal s = test_tone(1000, 1.0);
  EXPECT_TRUE(test::same_bits(add_awgn(s, 5.0, 42u), add_awgn(s, 5.0, 42u)));
  EXPECT_FALSE(test::same_bits(add_awgn(s, 5.0, 42u), add_awgn(s, 5.0, 43u)));
  EXPECT_FALSE(test::same_bits(add_awgn(s, 5.0), add_awgn(s, 5.0))) << "device seeds differ";
  // Independent reference: the same engine and distribution, first draw to Q.
  std::mt19937 engine(7u);
  std::normal_distribution<double> noise(0.0, std::sqrt(0.5));
  const double q = noise(engine);
  const double i = noise(engine);
  EXPECT_EQ(add_awgn({{1.0, 0.0}}, 0.0, 7u)[0], Sample(1.0 + i, q));
}

}  // namespace
}  // namespace quorvin
