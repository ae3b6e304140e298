#include "synthesis/background.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <fstream>
#include <stdexcept>

#include "modulation/fft.h"

namespace quorvin {
namespace {

constexpr std::size_t welch_segment = 256;

// Samples read from the file at a time: a span is converted as it arrives.
constexpr std::size_t read_block_samples = 65536;

std::size_t sample_bytes(SigmfDatatype type) { return type == SigmfDatatype::cf32_le ? 8 : 4; }

std::uint32_t little_endian(const unsigned char* at, std::size_t bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = bytes; i-- > 0;) value = (value << 8) | at[i];
  return value;
}

}  // namespace

std::uint64_t background_span_start(const BackgroundRecording& recording, std::uint64_t position, std::uint64_t length) {
  const std::uint64_t spans = recording.samples / length;
  return (position % spans) * length;
}

Signal read_background_span(const BackgroundRecording& r, std::uint64_t start, std::size_t count) {
  const std::size_t bytes = sample_bytes(r.datatype);
  if (start > r.samples || count > r.samples - start) {
    throw std::runtime_error("samples " + std::to_string(start) + " .. " + std::to_string(start + count) + " lie beyond the " +
                             std::to_string(r.samples) + " of " + r.name);
  }
  std::ifstream in(r.data_path, std::ios::binary);
  if (in) in.seekg(static_cast<std::streamoff>(start * bytes));
  if (!in) throw std::runtime_error(r.name + " cannot be read");
  Signal out;
  out.reserve(count);
  std::vector<unsigned char> block(std::min(count, read_block_samples) * bytes);
  while (out.size() < count) {
    const std::size_t n = std::min(read_block_samples, count - out.size());
    in.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(n * bytes));
    if (static_cast<std::size_t>(in.gcount()) != n * bytes) throw std::runtime_error(r.name + " ended early: was it changed?");
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char* at = block.data() + i * bytes;
      if (r.datatype == SigmfDatatype::cf32_le) {
        out.emplace_back(std::bit_cast<float>(little_endian(at, 4)), std::bit_cast<float>(little_endian(at + 4, 4)));
      } else {
        const auto i16 = static_cast<std::int16_t>(little_endian(at, 2));
        const auto q16 = static_cast<std::int16_t>(little_endian(at + 2, 2));
        out.emplace_back(i16 * r.full_scale / 32767.0, q16 * r.full_scale / 32767.0);
      }
    }
  }
  return out;
}

double background_noise_power(std::span<const Sample> samples) {
  if (samples.size() < 2) return 0.0;
  const std::size_t n = std::min(welch_segment, std::bit_floor(samples.size()));
  std::vector<double> window(n);
  double window_energy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    window[i] = 0.5 - 0.5 * std::cos(2.0 * pi * (static_cast<double>(i) + 0.5) / static_cast<double>(n));
    window_energy += window[i] * window[i];
  }
  std::vector<double> bins;
  bins.reserve(samples.size() / n * n);
  for (std::size_t at = 0; at + n <= samples.size(); at += n) {
    Signal segment(n);
    for (std::size_t i = 0; i < n; ++i) segment[i] = samples[at + i] * window[i];
    for (const Sample& x : fft(std::move(segment), FftDirection::forward)) bins.push_back(std::norm(x) / window_energy);
  }
  const auto middle = bins.begin() + static_cast<std::ptrdiff_t>(bins.size() / 2);
  std::nth_element(bins.begin(), middle, bins.end());
  return *middle / std::log(2.0);
}

}  // namespace quorvin
