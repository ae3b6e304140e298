#pragma once
// A standard's frames on a digital file's time base: laid one after another at a fixed period, and
// sent only where the whole frame lies inside the file, so a file never holds a cut frame.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/signal.h"
#include "common/splitmix.h"
#include "generator/time_base.h"

namespace quorvin {

// Frame k begins at symbol period lead + k period and lasts `length` periods; its edges reach
// `edge` periods further each side.
struct FrameLayout {
  double lead = 0.0;
  double period = 0.0;
  double length = 0.0;
  double edge = 0.0;
};

// The frames wholly inside the file's own samples (0 .. time.length - 1): first .. first + count - 1.
struct FrameRun {
  std::int64_t first = 0;
  std::int64_t count = 0;
};
FrameRun whole_frames(const FrameLayout& layout, const TimeBase& time);

// Symbol period u as frame k and the periods into it (0 .. period), where frame k is among `run`.
struct FramePlace {
  std::int64_t frame;
  double into;
};
std::optional<FramePlace> frame_at(const FrameLayout& layout, const FrameRun& run, double u);

// The first instant of frame k (its period lead + k period), symbol periods.
inline double frame_start(const FrameLayout& layout, std::int64_t k) { return layout.lead + static_cast<double>(k) * layout.period; }

// Each whole frame's first and last instant, samples of the waveform.
std::vector<std::array<double, 2>> frame_spans(const FrameLayout& layout, const FrameRun& run, const TimeBase& time);

struct SymbolReach;
struct TransmittedSymbols;

// Every line bit of the whole frames of `run` within `reach`, each centred on its bit period (the
// symbol period): bit b of frame k at period frame_start(k) + b, its symbol the line level and
// `value(level)` its value. One symbol a bit of each frame reached.
TransmittedSymbols frame_line_bits(const FrameLayout& layout, const FrameRun& run, const TimeBase& time, const SymbolReach& reach,
                                   std::span<const std::uint8_t> levels, Sample (*value)(std::uint8_t level));

// Appends to `out` each of a frame's `bits` (bit b spanning symbol periods start + b .. + 1) that
// reaches the periods low .. high, centred on its period: the symbol is the bit, its value
// values[bit].
void append_frame_bits(TransmittedSymbols& out, const TimeBase& time, std::pair<double, double> reach, double start,
                       std::span<const std::uint8_t> bits, std::array<Sample, 2> values);

// A standard's file as its labels see it: its time base and the seed its content is drawn from;
// nothing without a symbol seed of its own or without samples. Checks the rates and the length
// as prepare_digital does.
struct FramedFile {
  TimeBase time;
  std::uint64_t seed;
};
std::optional<FramedFile> framed_file(const WaveformParameters& p);

// A frame's content drawn value after value from a seed (SplitMix64's outputs).
struct ContentDraws {
  std::uint64_t seed;
  std::uint64_t n = 0;
  std::uint64_t next() { return splitmix64(seed + (++n) * 0x9E3779B97F4A7C15ull); }
  // A whole number from lo to hi, each equally likely but for a bias below 2^-40.
  std::int64_t whole(std::int64_t lo, std::int64_t hi) {
    return lo + static_cast<std::int64_t>(next() % static_cast<std::uint64_t>(hi - lo + 1));
  }
  double uniform(double lo, double hi) { return lo + static_cast<double>(next() >> 11) * 0x1.0p-53 * (hi - lo); }
};

}  // namespace quorvin
