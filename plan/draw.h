#pragma once
// The 15-bit draw source of a run's per-file parameters.

#include <cstdint>

namespace quorvin {

// A linear congruential generator yielding 0 .. 32767, the same on every platform and local to
// one run (no global rand state). Seeded with the low 32 bits of the time in seconds.
class DrawSource {
 public:
  explicit DrawSource(std::uint32_t seed) : state_(seed) {}

  // The whole state: a source made from it continues with the same values.
  std::uint32_t state() const { return state_; }

  // The next value, 0 .. 32767.
  std::uint32_t next() {
    state_ = state_ * 214013u + 2531011u;
    ++drawn_;
    return (state_ >> 16) & 0x7FFFu;
  }

  // Passes over `count` values in O(log count) steps: the state `count` draws on.
  void skip(std::uint64_t count);

  // Values drawn by next() since this source was made (skipped ones not counted).
  std::uint64_t drawn() const { return drawn_; }

 private:
  std::uint32_t state_;
  std::uint64_t drawn_ = 0;
};

inline constexpr double draw_scale = 32767.0;

// r / 32767 * (hi - lo) + lo for the next value r: lo at r = 0, hi at r = 32767. Both bounds
// +infinity give +infinity (the formula alone would give NaN).
double draw_uniform(double lo, double hi, DrawSource& source);

// lo (hi / lo)^(r / 32767) for the next value r: uniform in the logarithm, lo and hi positive.
double draw_log_uniform(double lo, double hi, DrawSource& source);

// The low 32 bits of the current calendar time in whole seconds.
std::uint32_t clock_seed();

}  // namespace quorvin
