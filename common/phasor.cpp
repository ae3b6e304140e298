#include "common/phasor.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "common/vector_build.h"

namespace quorvin {
namespace {

// pi/2 in four parts of 26 bits: q times each is exact for |q| < 2^27, so the remainder loses
// nothing to the first subtraction and the tail left out is below 1e-32 q.
constexpr double pio2_1 = 0x1.921fb5p+0;
constexpr double pio2_2 = 0x1.110b46p-26;
constexpr double pio2_3 = 0x1.1a6263p-54;
constexpr double pio2_4 = 0x1.8a2e03p-81;
constexpr double two_over_pi = 6.36619772367581382433e-01;
// Adding 1.5 2^52 rounds to a whole number, held in the low bits of the sum.
constexpr double round_shift = 6755399441055744.0;
// Beyond this |angle| the quotient outgrows the exact products: the library reduces it.
constexpr double largest_reduced = 2e8;

// fdlibm's minimax polynomials of sin and cos on [-pi/4, pi/4].
constexpr std::array<double, 6> sine = {-1.66666666666666324348e-01, 8.33333333332248946124e-03, -1.98412698298579493134e-04,
                                        2.75573137070700676789e-06, -2.50507602534068634195e-08, 1.58969099521155010221e-10};
constexpr std::array<double, 6> cosine = {4.16666666666666019037e-02, -1.38888888888741095749e-03, 2.48015872894767294178e-05,
                                          -2.75573143513906633035e-07, 2.08757232129817482790e-09, -1.13596475577881948265e-11};

#if defined(__GNUC__)
using Real = double __attribute__((vector_size(32)));
using Whole = std::uint64_t __attribute__((vector_size(32)));
#else
using Real = double;
using Whole = std::uint64_t;
#endif
constexpr std::size_t lanes = sizeof(Real) / sizeof(double);

// Through references: a vector passed or returned by value would change the calling convention
// between builds with and without AVX.
template <class To, class From>
QUORVIN_KERNEL void same_bits(const From& from, To& to) {
  std::memcpy(&to, &from, sizeof to);
}

// Each lane's cos and sin, by the same operations in every lane and every build.
QUORVIN_KERNEL void evaluate(const Real& x, Real& c, Real& s) {
  const Real shifted = x * two_over_pi + round_shift;
  const Real q = shifted - round_shift;
  Whole quadrant;
  same_bits(shifted, quadrant);
  quadrant &= std::uint64_t{3};
  const Real r = (((x - q * pio2_1) - q * pio2_2) - q * pio2_3) - q * pio2_4;
  const Real z = r * r;
  const Real sin_r = r + r * z * (sine[0] + z * (sine[1] + z * (sine[2] + z * (sine[3] + z * (sine[4] + z * sine[5])))));
  const Real cos_r =
      (1.0 - 0.5 * z) + z * z * (cosine[0] + z * (cosine[1] + z * (cosine[2] + z * (cosine[3] + z * (cosine[4] + z * cosine[5])))));
  Whole sin_bits;
  Whole cos_bits;
  same_bits(sin_r, sin_bits);
  same_bits(cos_r, cos_bits);
  // Quadrants 1 and 3 swap cos and sin; the sign bit flips cos in 1 and 2, sin in 2 and 3.
  const Whole swap = std::uint64_t{0} - (quadrant & std::uint64_t{1});
  const Whole cos_turned = ((sin_bits & swap) | (cos_bits & ~swap)) ^ (((quadrant + std::uint64_t{1}) & std::uint64_t{2}) << 62);
  const Whole sin_turned = ((cos_bits & swap) | (sin_bits & ~swap)) ^ ((quadrant & std::uint64_t{2}) << 62);
  same_bits(cos_turned, c);
  same_bits(sin_turned, s);
}

// `lanes` angles from `a` into `out`; an angle too large to reduce exactly, by the library.
QUORVIN_KERNEL void group(const double* a, Sample* out) {
  Real x;
  Real c;
  Real s;
  std::memcpy(&x, a, sizeof x);
  evaluate(x, c, s);
#if defined(__GNUC__)
  // Every lane reduced exactly (the rule): the pairs interleaved and stored whole.
  Whole bits;
  same_bits(x, bits);
  bits &= ~(std::uint64_t{1} << 63);
  Real magnitude;
  same_bits(bits, magnitude);
  const auto large = magnitude > largest_reduced;
  if ((large[0] | large[1] | large[2] | large[3]) == 0) {
    const Real low = __builtin_shufflevector(c, s, 0, 4, 1, 5);
    const Real high = __builtin_shufflevector(c, s, 2, 6, 3, 7);
    std::memcpy(static_cast<void*>(out), &low, sizeof low);
    std::memcpy(static_cast<void*>(out + 2), &high, sizeof high);
    return;
  }
#endif
  std::array<double, lanes> cos_values;
  std::array<double, lanes> sin_values;
  std::memcpy(cos_values.data(), &c, sizeof c);
  std::memcpy(sin_values.data(), &s, sizeof s);
  for (std::size_t i = 0; i < lanes; ++i) {
    out[i] = std::abs(a[i]) > largest_reduced ? unit_phasor(a[i]) : Sample(cos_values[i], sin_values[i]);
  }
}

QUORVIN_WIDE_CLONES void polynomial_phasors(std::span<const double> angles, std::span<Sample> out) {
  std::size_t k = 0;
  for (; k + lanes <= angles.size(); k += lanes) group(angles.data() + k, out.data() + k);
  if (k == angles.size()) return;
  // The last few through a padded group: a lane's value does not depend on its neighbours.
  std::array<double, lanes> rest{};
  std::array<Sample, lanes> made{};
  std::memcpy(rest.data(), angles.data() + k, (angles.size() - k) * sizeof(double));
  group(rest.data(), made.data());
  for (std::size_t i = 0; k + i < angles.size(); ++i) out[k + i] = made[i];
}

}  // namespace

void unit_phasors(std::span<const double> angles, std::span<Sample> out, PhasorMath math) {
  if (out.size() != angles.size()) throw std::invalid_argument("unit_phasors needs one output per angle.");
  if (math == PhasorMath::polynomial) {
    polynomial_phasors(angles, out);
    return;
  }
  for (std::size_t k = 0; k < angles.size(); ++k) out[k] = unit_phasor(angles[k]);
}

}  // namespace quorvin
