#include "generator/frames.h"

#include <algorithm>
#include <cmath>

namespace quorvin {

FrameRun whole_frames(const FrameLayout& layout, const TimeBase& time) {
  if (!(time.length >= 1.0) || !(layout.period > 0.0)) return {};
  const auto last_sample = static_cast<std::int64_t>(time.length) - 1;
  const double begin = std::min(time.at(0), time.at(last_sample));
  const double end = std::max(time.at(0), time.at(last_sample));
  // The first frame whose leading edge is at or after the file's first instant, the last whose
  // trailing edge is at or before its last.
  const double first = std::max(0.0, std::ceil((begin + layout.edge - layout.lead) / layout.period));
  const double last = std::floor((end - layout.edge - layout.length - layout.lead) / layout.period);
  if (!(last >= first)) return {};
  return {static_cast<std::int64_t>(first), static_cast<std::int64_t>(last - first) + 1};
}

std::optional<FramePlace> frame_at(const FrameLayout& layout, const FrameRun& run, double u) {
  // A frame's edges stay within its period: the gap between frames exceeds them.
  const double k = std::floor((u - layout.lead + layout.edge) / layout.period);
  if (!(k >= static_cast<double>(run.first)) || !(k < static_cast<double>(run.first + run.count))) return std::nullopt;
  const auto frame = static_cast<std::int64_t>(k);
  return FramePlace{frame, u - frame_start(layout, frame)};
}

}  // namespace quorvin
