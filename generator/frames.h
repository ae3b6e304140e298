#pragma once
// A standard's frames on a digital file's time base: laid one after another at a fixed period, and
// sent only where the whole frame lies inside the file, so a file never holds a cut frame.

#include <cstdint>
#include <optional>

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

}  // namespace quorvin
