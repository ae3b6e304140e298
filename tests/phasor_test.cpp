#include "common/phasor.h"

#include <bit>
#include <cstdint>
#include <random>
#include <utility>

#include "dsp_reference.h"

namespace quorvin {
namespace {

std::vector<double> uniform_angles(double low, double high, std::size_t count) {
  std::mt19937_64 engine(7);
  std::uniform_real_distribution<double> draw(low, high);
  std::vector<double> angles(count);
  for (double& a : angles) a = draw(engine);
  return angles;
}

Signal phasors(const std::vector<double>& angles, PhasorMath math) {
  Signal out(angles.size());
  unit_phasors(angles, out, math);
  return out;
}

// glibc reduces an angle of any size exactly; other C libraries (MinGW's, under wine) lose up to
// about |a| 2^-64 to their own reduction, which then bounds the comparison, not this code.
#if defined(__GLIBC__)
constexpr double library_reduction = 0.0;
#else
constexpr double library_reduction = 0x1p-63;
#endif

// The polynomial phasors against the C library's cos and sin, over every range the families'
// angles take: within a few units in the last place of a unit value.
TEST(Phasors, PolynomialAgreesWithTheLibrary) {
  std::vector<double> near_quadrants;
  for (int k = -8; k <= 8; ++k) {
    for (const double nudge : {-1e-9, 0.0, 1e-9}) near_quadrants.push_back(k * pi / 4.0 + nudge);
  }
  const std::tuple<const char*, std::vector<double>> cases[] = {
      {"one turn", uniform_angles(-2.0 * pi, 2.0 * pi, 20001)},
      {"keyed phase sums", uniform_angles(-5e3, 5e3, 20001)},
      {"carriers of 10 MHz over a second", uniform_angles(-6.3e7, 6.3e7, 20001)},
      {"beyond the exact reduction", uniform_angles(2e8, 1e12, 2001)},
      {"tiny", uniform_angles(-1e-12, 1e-12, 101)},
      {"octant edges", near_quadrants},
  };
  for (const auto& [name, angles] : cases) {
    const Signal made = phasors(angles, PhasorMath::polynomial);
    double worst = 0.0;  // the largest error over its bound
    for (std::size_t k = 0; k < angles.size(); ++k) {
      const double bound = 5e-16 + std::abs(angles[k]) * library_reduction;
      const double error = std::max(std::abs(made[k].real() - std::cos(angles[k])), std::abs(made[k].imag() - std::sin(angles[k])));
      worst = std::max(worst, error / bound);
    }
    EXPECT_LT(worst, 1.0) << name;
  }
}

// A block of samples may begin anywhere: an angle's phasor is the same bits alone, at any place
// in a span and with any neighbours, including the library's for the largest angles.
TEST(Phasors, AnAnglesPhasorDoesNotDependOnItsPlace) {
  std::vector<double> angles = uniform_angles(-3e6, 3e6, 37);
  angles[5] = std::numeric_limits<double>::quiet_NaN();
  for (const PhasorMath math : {PhasorMath::library, PhasorMath::polynomial}) {
    const Signal whole = phasors(angles, math);
    for (std::size_t first = 0; first < angles.size(); ++first) {
      for (std::size_t count = 1; first + count <= angles.size(); count += 3) {
        const Signal part = phasors({angles.begin() + static_cast<std::ptrdiff_t>(first),
                                     angles.begin() + static_cast<std::ptrdiff_t>(first + count)},
                                    math);
        ASSERT_TRUE(test::same_bits(part, Signal(whole.begin() + static_cast<std::ptrdiff_t>(first),
                                                 whole.begin() + static_cast<std::ptrdiff_t>(first + count))))
            << first << " " << count;
      }
    }
  }
}

TEST(Phasors, LibraryIsEachAnglesCosAndSinAndNonFiniteAnglesGiveNan) {
  const std::vector<double> angles = {0.0, 1.0, -2.5, 1e7, std::numeric_limits<double>::infinity(),
                                      std::numeric_limits<double>::quiet_NaN()};
  const Signal library = phasors(angles, PhasorMath::library);
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(library[k].real(), std::cos(angles[k]));
    EXPECT_EQ(library[k].imag(), std::sin(angles[k]));
  }
  const Signal polynomial = phasors(angles, PhasorMath::polynomial);
  for (std::size_t k = 4; k < angles.size(); ++k) {
    EXPECT_TRUE(std::isnan(polynomial[k].real()) && std::isnan(polynomial[k].imag())) << angles[k];
  }
  Signal short_out(2);
  EXPECT_THROW(unit_phasors(angles, short_out, PhasorMath::polynomial), std::invalid_argument);
}

// The OFDM chirps take exp(-j x) as the conjugate of exp(j x), one table for both: the C library's
// cosine must be even and its sine odd to the bit, at every size of angle the chirps reach.
TEST(Phasors, LibraryPhasorOfTheOppositeAngleIsTheConjugate) {
  for (const auto& [low, high] : {std::pair{0.0, 1e-6}, std::pair{0.0, 7.0}, std::pair{7.0, 1e3}, std::pair{1e3, 1e7}}) {
    for (const double a : uniform_angles(low, high, 20000)) {
      const Sample forward = unit_phasor(a);
      const Sample back = unit_phasor(-a);
      ASSERT_EQ(std::bit_cast<std::uint64_t>(back.real()), std::bit_cast<std::uint64_t>(forward.real())) << a;
      ASSERT_EQ(std::bit_cast<std::uint64_t>(back.imag()), std::bit_cast<std::uint64_t>(-forward.imag())) << a;
    }
  }
}

}  // namespace
}  // namespace quorvin
