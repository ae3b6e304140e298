#include "modulation/keying.h"

#include "dsp_reference.h"

namespace quorvin {
namespace {

double degrees(Sample s) { return std::atan2(s.imag(), s.real()) * 180.0 / pi; }

// Hand-worked points of the one-point-per-symbol keyers and of MSK's phase ramp, all of them on
// the unit circle.
TEST(Keying, HandWorkedAnglesOnTheUnitCircle) {
  const std::tuple<const char*, Signal, std::vector<double>> cases[] = {
      {"pi4_dqpsk_zeros_step_by_45", pi4_dqpsk_map({0, 0, 0}, pi / 4), {45, 90, 135}},
      {"pi4_dqpsk_first_point_ignores_offset", pi4_dqpsk_map({2}, 1.0), {-135}},
      {"pi4_dqpsk_empty", pi4_dqpsk_map({}, pi / 4), {}},
      // Each point turns the one before by s quarter turns and the offset: 315, +135, +225, +45.
      {"pi4_dqpsk_turns", pi4_dqpsk_map({3, 1, 2, 0}, pi / 4), {-45, 90, -45, 0}},
      {"qpsk_pi4_rotated_points", qpsk_pi4_map({0, 1, 2, 3}), {45, 135, -135, -45}},
      {"msk_ones_turn_forwards", msk_modulate({1, 1}, 4.0), {0, 22.5, 45, 67.5, 90, 112.5, 135, 157.5}},
      {"msk_zero_turns_backwards", msk_modulate({0}, 2.0), {0, -45}},
      {"msk_other_values_turn_backwards", msk_modulate({7}, 2.0), {0, -45}},
  };
  for (const auto& [name, points, expected] : cases) {
    SCOPED_TRACE(name);
    ASSERT_EQ(points.size(), expected.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
      EXPECT_NEAR(degrees(points[i]), expected[i], 1e-10) << i;
      EXPECT_NEAR(std::abs(points[i]), 1.0, 1e-12) << i;
    }
  }
}

TEST(Oqpsk, HandWorkedRampsAndLengthsFromTwoSamplesPerSymbol) {
  for (const Symbols& symbols : {Symbols{0, 1}, Symbols{}}) {
    EXPECT_EQ(test::thrown_message<std::invalid_argument>([&] { oqpsk_modulate(symbols, 1.99); }),
              "samples_per_symbol must be at least 2 for OQPSK.");
  }
  EXPECT_EQ(oqpsk_modulate({0, 2}, 2.0), (Signal{{1, 1}, {0, 1}, {-1, 0}}));
  EXPECT_TRUE(oqpsk_modulate({}, 4.0).empty());
  EXPECT_EQ(oqpsk_modulate({0}, 4.0).size(), 1u);
  EXPECT_EQ(oqpsk_modulate({0, 1, 2, 3, 0}, 4.5).size(), 4u * 4u + 1u);
  // Symbols 1 then 0: I ramps -1 -> 1 over the first symbol, Q holds 1 throughout.
  const Signal s = oqpsk_modulate({1, 0, 0}, 4.0);
  EXPECT_EQ(s[2], Sample(0.0, 1.0));
  EXPECT_EQ(s[4], Sample(1.0, 1.0));
  // Symbol 3 has Q = -1: the Q ramp starts only at x = 1.5 and is half done at x = 2.
  const Signal t = oqpsk_modulate({0, 0, 3}, 4.0);
  EXPECT_EQ(t[6], Sample(1.0, 1.0));
  EXPECT_EQ(t[8], Sample(1.0, 0.0));
}

TEST(KeyedLength, MskAndGmskGiveNTimesTruncatedSamplesPerSymbol) {
  for (const double sps : {0.5, 1.0, 3.7, 8.0}) {
    const auto expected = static_cast<std::size_t>(std::trunc(sps)) * 5;
    EXPECT_EQ(msk_modulate({1, 0, 1, 1, 0}, sps).size(), expected) << sps;
    EXPECT_EQ(gmsk_modulate({1, 0, 1, 1, 0}, sps).size(), expected) << sps;
  }
}

// Constant envelope and continuous phase: the Gaussian filter never makes the frequency exceed
// MSK's peak of Rs / 4, and a long run of ones settles to exactly that slope.
TEST(Gmsk, PhaseStepsReachButNeverExceedMsks) {
  const double sps = 8.0;
  const Signal s = gmsk_modulate(test::random_symbols(400, 2, 7), sps);
  double worst_step = 0.0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    ASSERT_NEAR(std::abs(s[i]), 1.0, 1e-12);
    if (i > 0) worst_step = std::max(worst_step, std::abs(std::arg(s[i] * std::conj(s[i - 1]))));
  }
  EXPECT_LE(worst_step, pi / 2.0 / sps * (1.0 + 1e-5));
  EXPECT_GT(worst_step, 0.9 * pi / 2.0 / sps);
  const Signal ones = gmsk_modulate(Symbols(40, 1), 10.0);
  for (std::size_t i = 150; i < 250; ++i) {
    EXPECT_NEAR(std::arg(ones[i] * std::conj(ones[i - 1])), pi / 20.0, 1e-6) << i;
  }
}

TEST(Gmsk, EachSymbolTurnsThePhaseByExactlyHalfPi) {
  // Flipping one symbol changes the phase by exactly pi once its pulse is over, and nothing
  // before its pulse begins.
  Symbols a = test::random_symbols(30, 2, 11);
  Symbols b = a;
  b[10] = 1 - a[10];
  const Signal sa = gmsk_modulate(a, 6.0);
  const Signal sb = gmsk_modulate(b, 6.0);
  for (std::size_t i = 0; i < 8 * 6; ++i) EXPECT_NEAR(std::abs(sa[i] - sb[i]), 0.0, 1e-12) << i;
  for (std::size_t i = 13 * 6; i < sa.size(); ++i) EXPECT_NEAR(std::abs(sa[i] + sb[i]), 0.0, 1e-9) << i;
}

// Gaussian filtering keeps the spectrum much tighter than MSK's: a tenth of the power or less
// beyond 0.75 times the symbol rate.
TEST(Gmsk, SpectrumNarrowerThanMsk) {
  const double sps = 8.0;
  const Symbols bits = test::random_symbols(1024, 2, 3);
  const auto out_of_band = [sps](const Signal& s) { return 1.0 - test::band_share(s, 1.0, -0.75 / sps, 0.75 / sps); };
  const double msk = out_of_band(msk_modulate(bits, sps));
  EXPECT_GT(msk, 0.005);
  EXPECT_LT(out_of_band(gmsk_modulate(bits, sps)), msk / 10.0);
}

}  // namespace
}  // namespace quorvin
