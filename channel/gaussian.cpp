#include "channel/gaussian.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "common/vector_build.h"

namespace quorvin {
namespace {

double density(double x) { return std::exp(-0.5 * x * x); }

// 256 layers of equal area v under exp(-x^2 / 2), the tail beyond r included in the base layer.
constexpr double r = 3.6541528853610088;
constexpr double v = 0.00492867323399;

ZigguratTables make_tables() {
  ZigguratTables t{};
  t.x[0] = v / density(r);
  t.x[1] = r;
  for (std::size_t i = 1; i < 255; ++i) t.x[i + 1] = std::sqrt(-2.0 * std::log(v / t.x[i] + density(t.x[i])));
  t.x[256] = 0.0;
  for (std::size_t i = 0; i < t.x.size(); ++i) t.f[i] = density(t.x[i]);
  t.f[0] = density(r);  // the base layer's rectangle has the tail's start for its height
  return t;
}

// Marsaglia's tail method, exact for the normal beyond r: |x| of a deviate in the base layer's tail.
template <class Uniform>
double tail_beyond_r(Uniform uniform) {
  double tail = 0.0;
  double y = 0.0;
  do {
    tail = -std::log(1.0 - uniform()) / r;
    y = -std::log(1.0 - uniform());
  } while (2.0 * y < tail * tail);
  return r + tail;
}

// The wedge between a layer's core and the curve: whether a point at height `u` (uniform) of the
// layer above |x| lies under the density.
bool under_curve(const ZigguratTables& t, std::size_t layer, double x, double u) {
  return t.f[layer + 1] + (t.f[layer] - t.f[layer + 1]) * u < density(x);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

// One xoshiro256** step of stream j, for the rare draws outside a layer's core.
std::uint64_t next_bits(NoiseSource::Words& w, std::size_t j) {
  const std::uint64_t result = rotl(w[1][j] * 5, 7) * 9;
  const std::uint64_t t = w[1][j] << 17;
  w[2][j] ^= w[0][j];
  w[3][j] ^= w[1][j];
  w[1][j] ^= w[2][j];
  w[0][j] ^= w[3][j];
  w[2][j] ^= t;
  w[3][j] = rotl(w[3][j], 45);
  return result;
}

// |x| of a draw's position in its layer: the top 52 bits as a fraction in [0, 1) (exact: they
// fill a double's mantissa above 1, and 1 is taken off) times the layer's width.
double magnitude_of(std::uint64_t bits, double width) {
  return (std::bit_cast<double>((bits >> 12) | 0x3FF0000000000000ull) - 1.0) * width;
}

// Bit 8 of the draw as the sign, set without a branch (a coin flip would mispredict half the time).
double with_sign_of(std::uint64_t bits, double magnitude) {
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(magnitude) | ((bits & 0x100) << 55));
}

// A deviate of stream j whose first draw fell outside its layer's core, as GaussianSource's edge.
double noise_edge(NoiseSource::Words& w, std::size_t j, std::uint64_t bits, const ZigguratTables& t) {
  const auto uniform = [&w, j] { return static_cast<double>(next_bits(w, j) >> 11) * 0x1.0p-53; };
  for (;;) {
    const std::size_t layer = bits & 0xFF;
    const double magnitude = magnitude_of(bits, t.x[layer]);
    if (magnitude < t.x[layer + 1]) return with_sign_of(bits, magnitude);
    if (layer == 0) return with_sign_of(bits, tail_beyond_r(uniform));
    if (under_curve(t, layer, magnitude, uniform())) return with_sign_of(bits, magnitude);
    bits = next_bits(w, j);
  }
}

// One batch (with AVX2, the four streams in one register): draw 4i + j from stream j's step i, its deviate when it falls inside its layer's
// core (a NaN-free value; the caller redoes the others, which `inside` marks 0), and the state
// advanced.
struct Batch {
  std::array<std::uint64_t, NoiseSource::batch> bits;
  std::array<std::int64_t, NoiseSource::batch> inside;
  bool all_inside;
};
using Values = std::array<double, NoiseSource::batch>;

#if defined(__GNUC__)
QUORVIN_WIDE_CLONES void step_streams(NoiseSource::Words& w, const ZigguratTables& t, Batch& out, Values& values) {
  using Words4 = std::uint64_t __attribute__((vector_size(32)));
  using Signed4 = std::int64_t __attribute__((vector_size(32)));
  using Doubles4 = double __attribute__((vector_size(32)));
  Words4 s0, s1, s2, s3;
  std::memcpy(&s0, w[0].data(), sizeof s0);
  std::memcpy(&s1, w[1].data(), sizeof s1);
  std::memcpy(&s2, w[2].data(), sizeof s2);
  std::memcpy(&s3, w[3].data(), sizeof s3);
  Signed4 all = {-1, -1, -1, -1};
  for (std::size_t i = 0; i < NoiseSource::batch; i += 4) {
    // x * 5 and x * 9 as shifts and additions, which every vector unit has.
    const Words4 five = s1 + (s1 << 2);
    const Words4 turned = (five << 7) | (five >> 57);
    const Words4 bits = turned + (turned << 3);
    const Words4 t1 = s1 << 17;
    s2 ^= s0;
    s3 ^= s1;
    s1 ^= s2;
    s0 ^= s3;
    s2 ^= t1;
    s3 = (s3 << 45) | (s3 >> 19);
    // The ziggurat's fast path for the four draws (as magnitude_of and with_sign_of).
    const Words4 layers = bits & 0xFF;
    const auto layer = [&layers](std::size_t j) { return static_cast<std::size_t>(layers[j]); };
    const Doubles4 fraction = __builtin_bit_cast(Doubles4, (bits >> 12) | 0x3FF0000000000000ull) - 1.0;
    const Doubles4 width = {t.x[layer(0)], t.x[layer(1)], t.x[layer(2)], t.x[layer(3)]};
    const Doubles4 core = {t.x[layer(0) + 1], t.x[layer(1) + 1], t.x[layer(2) + 1], t.x[layer(3) + 1]};
    const Doubles4 magnitude = fraction * width;
    const Signed4 inside = magnitude < core;
    const Words4 value = __builtin_bit_cast(Words4, magnitude) | ((bits & 0x100) << 55);
    all &= inside;
    std::memcpy(out.bits.data() + i, &bits, sizeof bits);
    std::memcpy(values.data() + i, &value, sizeof value);
    std::memcpy(out.inside.data() + i, &inside, sizeof inside);
  }
  out.all_inside = (all[0] & all[1] & all[2] & all[3]) != 0;
  std::memcpy(w[0].data(), &s0, sizeof s0);
  std::memcpy(w[1].data(), &s1, sizeof s1);
  std::memcpy(w[2].data(), &s2, sizeof s2);
  std::memcpy(w[3].data(), &s3, sizeof s3);
}
#else
void step_streams(NoiseSource::Words& w, const ZigguratTables& t, Batch& out, Values& values) {
  for (std::size_t i = 0; i < NoiseSource::batch; ++i) {
    const std::uint64_t bits = next_bits(w, i % 4);
    const std::size_t layer = bits & 0xFF;
    const double magnitude = magnitude_of(bits, t.x[layer]);
    out.bits[i] = bits;
    values[i] = with_sign_of(bits, magnitude);
    out.inside[i] = magnitude < t.x[layer + 1] ? -1 : 0;
  }
  out.all_inside = std::all_of(out.inside.begin(), out.inside.end(), [](std::int64_t in) { return in != 0; });
}
#endif

}  // namespace

NoiseSource::NoiseSource(std::uint64_t seed) {
  for (std::size_t j = 0; j < 4; ++j) {
    for (std::size_t word = 0; word < 4; ++word) words_[word][j] = seed = splitmix64(seed);
  }
}

void NoiseSource::refill() {
  const ZigguratTables& t = ziggurat_tables();
  Batch made;
  step_streams(words_, t, made, ready_);
  // A draw outside its layer's core draws on from its own stream, after the whole batch's steps,
  // so each stream's sequence stays the same whatever the others do.
  for (std::size_t i = 0; i < ready_.size() && !made.all_inside; ++i) {
    if (made.inside[i] == 0) ready_[i] = noise_edge(words_, i % 4, made.bits[i], t);
  }
  used_ = 0;
}

const ZigguratTables& ziggurat_tables() {
  static const ZigguratTables tables = make_tables();
  return tables;
}

double GaussianSource::next_normal_edge(std::size_t layer, double x) {
  for (;;) {
    if (layer == 0) {
      const double tail = tail_beyond_r([this] { return next_uniform(); });
      return x < 0.0 ? -tail : tail;
    }
    const ZigguratTables& t = *tables_;
    if (under_curve(t, layer, x, next_uniform())) return x;
    // Rejected: a fresh draw from the start, as the fast path would make it.
    const std::uint64_t bits = next_bits();
    layer = bits & 0xFF;
    x = static_cast<double>(static_cast<std::int64_t>(bits) >> 11) * 0x1.0p-52 * t.x[layer];
    if (std::abs(x) < t.x[layer + 1]) return x;
  }
}

}  // namespace quorvin
