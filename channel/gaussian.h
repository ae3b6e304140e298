#pragma once
// The exact model's random source: xoshiro256** for uniform bits and a 256-layer ziggurat for
// normal deviates. Both are defined here to the bit (the ziggurat's tables are computed from
// their defining recurrence), so a seed gives the same draws with every standard library, which
// std::normal_distribution does not promise. The ziggurat spends one 64-bit draw and two table
// reads on about 99 % of deviates; the polar method it replaced spent two draws, a logarithm and
// a square root, and was the largest cost of a noisy file.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/splitmix.h"

namespace quorvin {

// The ziggurat's layer edges x[0..256] (x[0] is the base layer's equivalent width, x[1] the tail's
// start, x[256] = 0) and the density exp(-x^2 / 2) at each.
struct ZigguratTables {
  std::array<double, 257> x;
  std::array<double, 257> f;
};
const ZigguratTables& ziggurat_tables();

class GaussianSource {
 public:
  // The four state words from SplitMix64 steps of the seed, as xoshiro's authors advise.
  explicit GaussianSource(std::uint64_t seed) {
    for (std::uint64_t& word : state_) word = seed = splitmix64(seed);
  }

  std::uint64_t next_bits() {
    const std::uint64_t result = rotl(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return result;
  }

  // Uniform in [0, 1), 53 bits.
  double next_uniform() { return static_cast<double>(next_bits() >> 11) * 0x1.0p-53; }

  // One standard normal deviate. The low 8 bits of a draw pick the layer, the top 53 a signed
  // position in it; inside the layer's core rectangle the deviate is that position.
  double next_normal() {
    const ZigguratTables& t = *tables_;
    const std::uint64_t bits = next_bits();
    const std::size_t layer = bits & 0xFF;
    const double u = static_cast<double>(static_cast<std::int64_t>(bits) >> 11) * 0x1.0p-52;  // [-1, 1)
    const double x = u * t.x[layer];
    if ((x < 0.0 ? -x : x) < t.x[layer + 1]) return x;
    return next_normal_edge(layer, x);
  }

  // Two independent standard normal deviates.
  void next_normal_pair(double& first, double& second) {
    first = next_normal();
    second = next_normal();
  }

 private:
  // The rare draws outside a layer's core: the tail beyond x[1], or the wedge under the curve.
  double next_normal_edge(std::size_t layer, double x);
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t state_[4] = {};
  const ZigguratTables* tables_ = &ziggurat_tables();
};

// Four xoshiro256** streams side by side, each read through the same ziggurat, for the long runs
// of deviates white noise takes. The streams' draws do not wait on one another, so one step of
// all four runs as vector arithmetic, several times as fast per deviate as GaussianSource's one
// stream. Deviate 4i + j is stream j's i-th; stream j's four state words are SplitMix64 steps
// 4j + 1 .. 4j + 4 of the seed. A draw's low 8 bits pick the layer, bit 8 the sign and the top
// 52 the magnitude, so the deviates run symmetrically about zero.
class NoiseSource {
 public:
  explicit NoiseSource(std::uint64_t seed);

  // The next two deviates, in order.
  void next_normal_pair(double& first, double& second) {
    if (used_ == ready_.size()) refill();
    first = ready_[used_];
    second = ready_[used_ + 1];
    used_ += 2;
  }

  // The next deviates, in order, as many as are ready up to `most` (at least one, and an even
  // count for an even `most`); valid until the source is next used.
  std::span<const double> next_deviates(std::size_t most) {
    if (used_ == ready_.size()) refill();
    const std::size_t count = std::min(most, ready_.size() - used_);
    const std::span<const double> taken(ready_.data() + used_, count);
    used_ += count;
    return taken;
  }

  // Word w of stream j is words[w][j].
  using Words = std::array<std::array<std::uint64_t, 4>, 4>;
  // Deviates made at a time: 16 steps of the four streams.
  static constexpr std::size_t batch = 64;

 private:
  void refill();
  Words words_{};
  std::array<double, batch> ready_{};
  std::size_t used_ = batch;
};

}  // namespace quorvin
