#include "generator/fsk.h"

#include "dsp_reference.h"

namespace quorvin {
namespace {

TEST(Fsk, FirstSampleOfEverySymbolRestartsAtPhaseZero) {
  const Signal s = fsk_modulate({0, 3, 1, 2}, 4, 3000.0, 10000.0);
  ASSERT_EQ(s.size(), 12u);  // trunc(3.33) = 3 samples per symbol
  for (std::size_t j = 0; j < 4; ++j) EXPECT_EQ(s[3 * j], Sample(1.0, 0.0)) << j;
  EXPECT_TRUE(std::signbit(s[0].imag()));   // symbol 0: negative tone, Q is -0
  EXPECT_FALSE(std::signbit(s[3].imag()));  // symbol 3: positive tone
}

// Tone of symbol s is (s - (M - 1) / 2) * Rs: symmetric about zero and spaced by the symbol rate.
TEST(Fsk, SymmetricTonesSpacedByTheSymbolRate) {
  // Order, symbol and its tone in symbol rates.
  const std::tuple<std::int32_t, std::int32_t, double> cases[] = {
      {2, 0, -0.5}, {2, 1, 0.5}, {4, 0, -1.5}, {4, 2, 0.5}, {8, 0, -3.5}, {8, 7, 3.5}};
  const double rs = 500.0, fs = 16000.0;  // 32 samples per symbol
  for (const auto& [order, symbol, tone] : cases) {
    SCOPED_TRACE(testing::Message() << order << "FSK symbol " << symbol);
    const Signal s = fsk_modulate({symbol}, order, rs, fs);
    ASSERT_EQ(s.size(), 32u);
    for (std::size_t k = 0; k < s.size(); ++k) {
      const double theta = 2.0 * pi * tone * rs * static_cast<double>(k) / fs;
      ASSERT_NEAR(std::abs(s[k] - unit_phasor(theta)), 0.0, 1e-12) << k;
    }
  }
}

TEST(Fsk, EmptyBelowOneSamplePerSymbolAndAbsurdRatiosRefused) {
  EXPECT_TRUE(fsk_modulate({0, 1, 1}, 2, 5000.0, 4000.0).empty());
  EXPECT_TRUE(fsk_modulate({}, 2, 1000.0, 4000.0).empty());
  EXPECT_THROW(fsk_modulate({0, 1}, 2, 1e-300, 1e10), std::length_error);
  EXPECT_THROW(fsk_modulate({0, 1}, 2, 0.0, 10000.0), std::length_error);
}

}  // namespace
}  // namespace quorvin
