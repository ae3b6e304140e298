#include "modulation/constellation.h"

#include <gtest/gtest.h>

#include "parameter_names.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <set>
#include <utility>

#include "dsp_reference.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

using Mapper = std::function<Signal(const Symbols&)>;

const Mapper bpsk = [](const Symbols& s) { return psk_map(s, 2); };
const Mapper qpsk = [](const Symbols& s) { return psk_map(s, 4); };
const Mapper psk8 = [](const Symbols& s) { return psk_map(s, 8); };
const Mapper qam16 = [](const Symbols& s) { return qam_square_map(s, 16); };
const Mapper qam64 = [](const Symbols& s) { return qam_square_map(s, 64); };
const Mapper qam1024 = [](const Symbols& s) { return qam_square_map(s, 1024); };
const Mapper qam32 = [](const Symbols& s) { return qam32_map(s); };
const Mapper qam128 = [](const Symbols& s) { return qam128_map(s); };
const Mapper apsk16 = [](const Symbols& s) { return apsk_map(s, {4, 12}, {0.5, 1.5}); };

struct PointCase {
  const char* name;
  Mapper map;
  std::int32_t symbol;
  Sample expected;
};

class ConstellationPoint : public ::testing::TestWithParam<PointCase> {};

TEST_P(ConstellationPoint, MapsToTablePoint) {
  const Signal s = GetParam().map({GetParam().symbol});
  ASSERT_EQ(s.size(), 1u);
  EXPECT_LT(std::abs(s[0] - GetParam().expected), 1e-15);
}

const double h = std::sqrt(0.5);

INSTANTIATE_TEST_SUITE_P(
    Tables, ConstellationPoint,
    ::testing::Values(
        PointCase{"bpsk_0", bpsk, 0, {1, 0}}, PointCase{"bpsk_1", bpsk, 1, {-1, 0}},
        PointCase{"qpsk_1_on_axis", qpsk, 1, {0, 1}}, PointCase{"qpsk_3", qpsk, 3, {0, -1}},
        PointCase{"psk8_1", psk8, 1, {h, h}}, PointCase{"psk8_wraps", psk8, 9, {h, h}},
        PointCase{"qam16_0", qam16, 0, {-3, -3}}, PointCase{"qam16_3", qam16, 3, {3, -3}},
        PointCase{"qam16_4", qam16, 4, {-3, -1}}, PointCase{"qam16_15", qam16, 15, {3, 3}},
        PointCase{"qam16_beyond_grid", qam16, 16, {-3, 5}},
        PointCase{"qam16_negative_truncates", qam16, -1, {-5, -3}},
        PointCase{"qam64_63", qam64, 63, {7, 7}}, PointCase{"qam1024_0", qam1024, 0, {-31, -31}},
        PointCase{"qam1024_1023", qam1024, 1023, {31, 31}},
        PointCase{"qam32_0", qam32, 0, {-3, 5}}, PointCase{"qam32_4", qam32, 4, {-5, 3}},
        PointCase{"qam32_15", qam32, 15, {5, 1}}, PointCase{"qam32_31", qam32, 31, {3, -5}},
        PointCase{"qam32_32", qam32, 32, {0, 0}}, PointCase{"qam32_minus1", qam32, -1, {0, 0}},
        PointCase{"qam128_0", qam128, 0, {-7, -11}}, PointCase{"qam128_8", qam128, 8, {-9, -9}},
        PointCase{"qam128_127", qam128, 127, {7, 11}}, PointCase{"qam128_128", qam128, 128, {0, 0}},
        PointCase{"qam128_minus1", qam128, -1, {0, 0}},
        PointCase{"apsk16_0", apsk16, 0, {0.5, 0}}, PointCase{"apsk16_1", apsk16, 1, {0, 0.5}},
        PointCase{"apsk16_4", apsk16, 4, {1.5, 0}}, PointCase{"apsk16_7", apsk16, 7, {0, 1.5}},
        PointCase{"apsk16_16", apsk16, 16, {0, 0}}, PointCase{"apsk16_minus1", apsk16, -1, {0, 0}}),
    test::CaseName());

TEST(Constellation, OnePointPerSymbolInOrderAndNoneForNoSymbols) {
  EXPECT_EQ(qam16({15, 0, 5}), (Signal{{3, 3}, {-3, -3}, {-1, -1}}));
  for (const Mapper& map : {bpsk, qam16, qam32, qam128, apsk16}) EXPECT_TRUE(map({}).empty());
}

TEST(QamSquare, OnlyPositivePerfectSquareOrdersAndNoOverflow) {
  for (const std::int32_t order : {32, 128, 2048, 0, -16, 2147483647}) {
    EXPECT_TRUE(qam_square_map({0, 1, 2}, order).empty()) << order;
  }
  EXPECT_EQ(qam_square_map({2147483647}, 1), (Signal{{0.0, 2.0 * 2147483647.0}}));
}

// The cross constellations: every symbol a distinct grid point, the corners left out as tabulated.
TEST(CrossQam, DistinctPointsWithoutTheLeftOutCorners) {
  struct Case {
    const char* name;
    Mapper map;
    int order;
    std::set<std::pair<int, int>> absent, present;
  };
  const Case cases[] = {
      {"qam32", qam32, 32, {{5, 5}, {-5, -5}}, {}},
      {"qam128", qam128, 128, {{11, 7}, {-11, -7}}, {{7, 11}, {9, 9}, {11, 5}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Symbols all(static_cast<std::size_t>(c.order));
    for (int s = 0; s < c.order; ++s) all[static_cast<std::size_t>(s)] = s;
    std::set<std::pair<int, int>> points;
    for (const Sample& p : c.map(all)) points.insert({static_cast<int>(p.real()), static_cast<int>(p.imag())});
    EXPECT_EQ(points.size(), static_cast<std::size_t>(c.order));
    for (const auto& p : c.absent) EXPECT_EQ(points.count(p), 0u) << p.first << "," << p.second;
    for (const auto& p : c.present) EXPECT_EQ(points.count(p), 1u) << p.first << "," << p.second;
  }
}

TEST(Apsk, MismatchedOrEmptyRingListsGiveEmptySignal) {
  EXPECT_TRUE(apsk_map({0}, {}, {}).empty());
  EXPECT_TRUE(apsk_map({0}, {4, 12}, {0.5}).empty());
  EXPECT_TRUE(apsk_map({0}, {4}, {}).empty());
}

TEST(Apsk, HugeRingCountsNeitherOverflowNorAllocate) {
  const Signal s = apsk_map({2147483647, 5}, {2147483647, 2147483647}, {1.0, 2.0});
  ASSERT_EQ(s.size(), 2u);
  EXPECT_NEAR(std::abs(s[0]), 2.0, 1e-12);  // first point of the second ring
  EXPECT_NEAR(std::abs(s[1]), 1.0, 1e-12);
}

}  // namespace
}  // namespace quorvin
