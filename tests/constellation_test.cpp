#include "modulation/constellation.h"

#include "dsp_reference.h"

namespace quorvin {
namespace {

Signal apsk16(const Symbols& s) { return apsk_map(s, {4, 12}, {0.5, 1.5}); }

// Points worked out from each layout: one per symbol in order, wrapping or off-grid symbols
// where the layout allows them, (0, 0) where it does not, nothing for no symbols.
TEST(Constellation, HandWorkedPoints) {
  const double h = std::sqrt(0.5);
  const std::tuple<const char*, Signal, Signal> cases[] = {
      {"bpsk", psk_map({0, 1}, 2), {{1, 0}, {-1, 0}}},
      {"qpsk_on_the_axes", psk_map({1, 3}, 4), {{0, 1}, {0, -1}}},
      {"psk8_wraps", psk_map({1, 9}, 8), {{h, h}, {h, h}}},
      // Row-major from the lowest corner; 16 lies beyond the grid and -1 truncates towards zero.
      {"qam16", qam_square_map({0, 3, 4, 15, 16, -1}, 16),
       {{-3, -3}, {3, -3}, {-3, -1}, {3, 3}, {-3, 5}, {-5, -3}}},
      {"qam16_in_symbol_order", qam_square_map({15, 0, 5}, 16), {{3, 3}, {-3, -3}, {-1, -1}}},
      {"qam64", qam_square_map({63}, 64), {{7, 7}}},
      {"qam1024", qam_square_map({0, 1023}, 1024), {{-31, -31}, {31, 31}}},
      {"qam32", qam32_map({0, 4, 15, 31, 32, -1}), {{-3, 5}, {-5, 3}, {5, 1}, {3, -5}, {0, 0}, {0, 0}}},
      {"qam128", qam128_map({0, 8, 127, 128, -1}), {{-7, -11}, {-9, -9}, {7, 11}, {0, 0}, {0, 0}}},
      {"apsk16", apsk16({0, 1, 4, 7, 16, -1}), {{0.5, 0}, {0, 0.5}, {1.5, 0}, {0, 1.5}, {0, 0}, {0, 0}}},
      {"qam1_without_overflow", qam_square_map({2147483647}, 1), {{0.0, 2.0 * 2147483647.0}}},
      // Ring lists that do not match give nothing.
      {"apsk_without_rings", apsk_map({0}, {}, {}), {}},
      {"apsk_without_a_radius", apsk_map({0}, {4, 12}, {0.5}), {}},
      {"apsk_without_radii", apsk_map({0}, {4}, {}), {}},
  };
  for (const auto& [name, points, expected] : cases) {
    SCOPED_TRACE(name);
    ASSERT_EQ(points.size(), expected.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
      EXPECT_LT(std::abs(points[i] - expected[i]), 1e-15) << i << ": " << points[i];
    }
  }
  for (const Signal& none :
       {psk_map({}, 2), qam_square_map({}, 16), qam32_map({}), qam128_map({}), apsk16({})})
    EXPECT_TRUE(none.empty());
  // Square QAM only of positive perfect-square orders.
  for (const std::int32_t order : {32, 128, 2048, 0, -16, 2147483647}) {
    EXPECT_TRUE(qam_square_map({0, 1, 2}, order).empty()) << order;
  }
}

TEST(Apsk, HugeRingsDoNotOverflow) {
  const Signal s = apsk_map({2147483647, 5}, {2147483647, 2147483647}, {1.0, 2.0});
  ASSERT_EQ(s.size(), 2u);
  EXPECT_NEAR(std::abs(s[0]), 2.0, 1e-12);  // first point of the second ring
  EXPECT_NEAR(std::abs(s[1]), 1.0, 1e-12);
}

}  // namespace
}  // namespace quorvin
