#include "standards/frames.h"

#include <algorithm>
#include <cmath>

#include "generator/symbols.h"

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

std::vector<std::array<double, 2>> frame_spans(const FrameLayout& layout, const FrameRun& run, const TimeBase& time) {
  std::vector<std::array<double, 2>> spans;
  for (std::int64_t k = run.first; k < run.first + run.count; ++k) {
    spans.push_back({instant_of(time, frame_start(layout, k)), instant_of(time, frame_start(layout, k) + layout.length)});
  }
  return spans;
}

TransmittedSymbols frame_line_bits(const FrameLayout& layout, const FrameRun& run, const TimeBase& time, const SymbolReach& reach,
                                   std::span<const std::uint8_t> levels, Sample (*value)(std::uint8_t level)) {
  TransmittedSymbols out{1, {}};
  for (std::int64_t k = run.first; k < run.first + run.count; ++k) {
    append_frame_bits(out, time, reach_periods(time, reach), frame_start(layout, k), levels, {value(0), value(1)});
  }
  return out;
}

void append_frame_bits(TransmittedSymbols& out, const TimeBase& time, std::pair<double, double> reach, double start,
                       std::span<const std::uint8_t> bits, std::array<Sample, 2> values) {
  for (std::size_t b = 0; b < bits.size(); ++b) {
    const double u = start + static_cast<double>(b);
    if (u + 1.0 < reach.first || u > reach.second) continue;
    const std::int32_t bit = bits[b];
    out.symbols.push_back({static_cast<std::int64_t>(u), instant_of(time, u + 0.5), bit, values[bits[b] != 0 ? 1 : 0],
                           static_cast<std::uint64_t>(bit)});
  }
}

std::optional<FramedFile> framed_file(const WaveformParameters& p) {
  if (!p.symbol_seed) return std::nullopt;
  const std::size_t length = require_length(p.num_samples);
  require_rate(p.symbol_rate, "the symbol rate");
  require_rate(p.sample_rate, "the sample rate");
  if (length == 0) return std::nullopt;
  return FramedFile{digital_time_base(p, length), *p.symbol_seed};
}

}  // namespace quorvin
