#include "channel/impairments.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>
#include <span>

#include "channel/gaussian.h"
#include "common/vector_build.h"

namespace quorvin {
namespace {

// Windowed sinc for band-limited interpolation: 16 samples each side under a Blackman window,
// tabulated at 1024 fractions of a sample and read linearly between them. Passband up to 0.8 of
// Nyquist holds about 1e-4 accuracy, finer than any file's noise. Row r holds the 32 weights of
// the samples around a position whose fraction is r / 1024, contiguous.
constexpr int sinc_half = 16;
constexpr int sinc_taps = 2 * sinc_half;
constexpr int sinc_resolution = 1024;

double windowed_sinc(double x) {
  if (std::abs(x) >= sinc_half) return 0.0;
  const double w = 0.42 + 0.5 * std::cos(pi * x / sinc_half) + 0.08 * std::cos(2.0 * pi * x / sinc_half);
  return (x == 0.0 ? 1.0 : std::sin(pi * x) / (pi * x)) * w;
}

const std::vector<double>& sinc_rows() {
  static const std::vector<double> rows = [] {
    std::vector<double> t((sinc_resolution + 1) * sinc_taps);
    for (int r = 0; r <= sinc_resolution; ++r) {
      const double frac = static_cast<double>(r) / sinc_resolution;
      // Tap j weighs the sample at floor(position) - sinc_half + 1 + j.
      for (int j = 0; j < sinc_taps; ++j) t[static_cast<std::size_t>(r * sinc_taps + j)] = windowed_sinc(frac - (j - sinc_half + 1));
    }
    return t;
  }();
  return rows;
}

// The 32 weights for a position's fraction.
std::array<double, sinc_taps> sinc_weights(double frac) {
  const std::vector<double>& rows = sinc_rows();
  const double x = frac * sinc_resolution;
  const auto r = std::min(static_cast<std::size_t>(x), static_cast<std::size_t>(sinc_resolution - 1));
  const double f = x - static_cast<double>(r);
  std::array<double, sinc_taps> w{};
  for (std::size_t j = 0; j < w.size(); ++j) {
    const double lo = rows[r * sinc_taps + j];
    w[j] = lo + f * (rows[(r + 1) * sinc_taps + j] - lo);
  }
  return w;
}

// Sum of x[j] w[j] over the 32 taps, x wholly inside the signal. Two sums for each part keep the
// additions from waiting on each other.
Sample dot_taps(const Sample* x, const double* w) {
  double re0 = 0.0, im0 = 0.0, re1 = 0.0, im1 = 0.0;
  for (int j = 0; j < sinc_taps; j += 2) {
    re0 += x[j].real() * w[j];
    im0 += x[j].imag() * w[j];
    re1 += x[j + 1].real() * w[j + 1];
    im1 += x[j + 1].imag() * w[j + 1];
  }
  return {re0 + re1, im0 + im1};
}

// Sum of x[first + j] w[j]; samples outside the signal count as zero.
Sample weighted_sum(const Signal& x, std::int64_t first, const double* w) {
  if (first >= 0 && first + sinc_taps <= static_cast<std::int64_t>(x.size())) {
    return dot_taps(x.data() + first, w);
  }
  Sample sum = 0.0;
  for (std::int64_t j = 0; j < sinc_taps; ++j) {
    const std::int64_t k = first + j;
    if (k >= 0 && k < static_cast<std::int64_t>(x.size())) sum += x[static_cast<std::size_t>(k)] * w[j];
  }
  return sum;
}

// The signal at a fractional position (sample units); zero outside it. The two table rows
// around the fraction are summed separately and blended, which is the sum with blended weights.
Sample interpolate_at(const Signal& x, double position) {
  const double base = std::floor(position);
  const double scaled = (position - base) * sinc_resolution;
  const auto r = std::min(static_cast<std::size_t>(scaled), static_cast<std::size_t>(sinc_resolution - 1));
  const double f = scaled - static_cast<double>(r);
  const double* rows = sinc_rows().data();
  const std::int64_t first = static_cast<std::int64_t>(base) - sinc_half + 1;
  const Sample lo = weighted_sum(x, first, rows + r * sinc_taps);
  const Sample hi = weighted_sum(x, first, rows + (r + 1) * sinc_taps);
  return lo + f * (hi - lo);
}

double rms(const Signal& signal) {
  double sum = 0.0;
  for (const Sample& s : signal) sum += std::norm(s);
  return signal.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(signal.size()));
}

// A rotating phasor: one complex multiplication per step, set afresh every 1024 steps.
struct Rotor {
  double cycles_per_sample;
  double phase;  // radians at step 0

  Sample at(std::size_t k) const {
    const double cycles = cycles_per_sample * static_cast<double>(k);
    return unit_phasor(phase + 2.0 * pi * (cycles - std::floor(cycles)));
  }
};

constexpr int sinusoids_per_tap = 16;

struct Tap {
  std::size_t whole;      // integer part of the delay
  double fraction;        // and the rest, interpolated
  double diffuse_amplitude;
  double los_amplitude;
  std::vector<Rotor> rotors;  // the diffuse sinusoids, then the line of sight when there is one
};

std::vector<Tap> make_taps(const FadingChannel& c, std::uint64_t seed) {
  GaussianSource source(seed);
  double total = 0.0;
  for (const double g : c.gains_db) total += std::pow(10.0, g / 10.0);
  std::vector<Tap> taps;
  for (std::size_t l = 0; l < c.delays.size() && l < c.gains_db.size(); ++l) {
    const double power = std::pow(10.0, c.gains_db[l] / 10.0) / total;
    const double k = l == 0 && c.rician ? c.k_factor : 0.0;
    const double delay = std::max(0.0, c.delays[l]);
    Tap tap{static_cast<std::size_t>(delay), delay - std::floor(delay), std::sqrt(power / (k + 1.0) / sinusoids_per_tap),
            std::sqrt(power * k / (k + 1.0)), {}};
    const int count = sinusoids_per_tap + (k > 0.0 ? 1 : 0);
    for (int n = 0; n < count; ++n) {
      const double angle = 2.0 * pi * source.next_uniform();
      const double phase = 2.0 * pi * source.next_uniform();
      tap.rotors.push_back({c.doppler_hz * std::cos(angle) / c.sample_rate, phase});
    }
    taps.push_back(std::move(tap));
  }
  return taps;
}

// A tap's sinusoids at sample k.
std::vector<Sample> sinusoids_at(const Tap& tap, std::size_t k) {
  std::vector<Sample> now;
  for (const Rotor& r : tap.rotors) now.push_back(r.at(k));
  return now;
}

// The turn of each sinusoid over `stride` samples.
std::vector<Sample> sinusoid_steps(const Tap& tap, std::size_t stride) {
  std::vector<Sample> steps;
  for (const Rotor& r : tap.rotors) {
    const double cycles = r.cycles_per_sample * static_cast<double>(stride);
    steps.push_back(unit_phasor(2.0 * pi * (cycles - std::floor(cycles))));
  }
  return steps;
}

// The tap's gain from its sinusoids: the diffuse sum, then the line of sight when there is one.
Sample gain_of(const Tap& tap, const std::vector<Sample>& now) {
  Sample diffuse = 0.0;
  for (int n = 0; n < sinusoids_per_tap; ++n) diffuse += now[static_cast<std::size_t>(n)];
  Sample g = diffuse * tap.diffuse_amplitude;
  if (now.size() > sinusoids_per_tap) g += now.back() * tap.los_amplitude;
  return g;
}

#if defined(__GNUC__)
// Each sample times (start times its turn), as `times` works each product out, two samples a
// vector: with a's parts doubled and b's swapped, a difference is a sum with the term negated,
// which rounds alike.
using Pairs = double __attribute__((vector_size(32)));

QUORVIN_KERNEL void times_pairs(const Pairs& a, const Pairs& b, Pairs& out) {
  const Pairs real = __builtin_shufflevector(a, a, 0, 0, 2, 2);
  const Pairs imag = __builtin_shufflevector(a, a, 1, 1, 3, 3);
  const Pairs swapped = __builtin_shufflevector(b, b, 1, 0, 3, 2);
  out = real * b + imag * swapped * Pairs{-1.0, 1.0, -1.0, 1.0};
}

QUORVIN_WIDE_CLONES void turn_samples(std::span<Sample> samples, Sample start, const Sample* turns) {
  const Pairs first = {start.real(), start.imag(), start.real(), start.imag()};
  std::size_t i = 0;
  for (; i + 2 <= samples.size(); i += 2) {
    Pairs turn;
    Pairs value;
    std::memcpy(&turn, turns + i, sizeof turn);
    std::memcpy(&value, static_cast<const void*>(samples.data() + i), sizeof value);
    Pairs phasor;
    times_pairs(first, turn, phasor);
    times_pairs(value, phasor, value);
    std::memcpy(static_cast<void*>(samples.data() + i), &value, sizeof value);
  }
  for (; i < samples.size(); ++i) samples[i] = times(samples[i], times(start, turns[i]));
}
#else
void turn_samples(std::span<Sample> samples, Sample start, const Sample* turns) {
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = times(samples[i], times(start, turns[i]));
}
#endif

}  // namespace

Signal apply_carrier_offset(Signal signal, double frequency, double sample_rate, std::int64_t first, Sample gain) {
  const bool scaled = gain != Sample(1.0);
  if (frequency == 0.0) {
    if (scaled) {
      for (Sample& s : signal) s = times(gain, s);
    }
    return signal;
  }
  constexpr std::int64_t stretch = 256;
  const double cycles_per_sample = frequency / sample_rate;
  const Sample step = unit_phasor(2.0 * pi * (cycles_per_sample - std::floor(cycles_per_sample)));
  // The phasor of sample k is the exact one at the start of k's stretch of 256 samples times
  // step^(k mod 256), so a sample's value does not depend on where its block began, and each
  // sample's product stands alone rather than waiting on the one before.
  std::array<Sample, stretch> turns{};
  turns[0] = 1.0;
  for (std::size_t j = 1; j < turns.size(); ++j) turns[j] = times(turns[j - 1], step);
  std::size_t k = 0;
  while (k < signal.size()) {
    const std::int64_t index = first + static_cast<std::int64_t>(k);
    const auto j = static_cast<std::size_t>(((index % stretch) + stretch) % stretch);
    const double cycles = cycles_per_sample * static_cast<double>(index - static_cast<std::int64_t>(j));
    const Sample exact = unit_phasor(2.0 * pi * (cycles - std::floor(cycles)));
    const Sample start = scaled ? times(gain, exact) : exact;
    const std::size_t count = std::min(turns.size() - j, signal.size() - k);
    turn_samples(std::span<Sample>(signal).subspan(k, count), start, turns.data() + j);
    k += count;
  }
  return signal;
}

double rapp_saturation(double energy, std::size_t count, double backoff_db) {
  const double level = count == 0 ? 0.0 : std::sqrt(energy / static_cast<double>(count));
  return level * std::pow(10.0, backoff_db / 20.0);
}

void apply_rapp_curve(Signal& signal, double saturation, double smoothness) {
  if (!(saturation > 0.0)) return;
  for (Sample& s : signal) {
    const double ratio = std::abs(s) / saturation;
    s /= std::pow(1.0 + std::pow(ratio, 2.0 * smoothness), 1.0 / (2.0 * smoothness));
  }
}

Signal apply_rapp_amplifier(Signal signal, double backoff_db, double smoothness) {
  double energy = 0.0;
  std::size_t on_air = 0;
  for (const Sample& s : signal) {
    energy += std::norm(s);
    if (s != Sample(0.0)) ++on_air;
  }
  apply_rapp_curve(signal, rapp_saturation(energy, on_air, backoff_db), smoothness);
  return signal;
}

namespace {

// The samples between the tap gains' exact values: each is worked out exactly at 64 or more
// points per Doppler cycle (every 16 samples at most) and linearly in between, within 2e-3 of the
// exact gain.
std::size_t gain_stride(const FadingChannel& channel) {
  const double per_cycle = channel.doppler_hz > 0.0 ? channel.sample_rate / (64.0 * channel.doppler_hz) : 16.0;
  return static_cast<std::size_t>(std::clamp(std::floor(per_cycle), 1.0, 16.0));
}

// Calls use(k, gain) for k = 0 .. count - 1 with the tap's gain at sample k as the channel
// applies it. The sinusoids turn by one multiplication each per stride, and are set afresh from
// their phases every 64 strides so that long files keep their precision.
template <typename Use>
void walk_tap_gain(const Tap& tap, std::size_t count, std::size_t stride, Use use) {
  const std::vector<Sample> steps = sinusoid_steps(tap, stride);
  std::vector<Sample> now = sinusoids_at(tap, 0);
  Sample from = gain_of(tap, now);
  std::size_t strides = 0;
  for (std::size_t start = 0; start < count; start += stride) {
    if (++strides % 64 == 0) {
      now = sinusoids_at(tap, start + stride);
    } else {
      for (std::size_t i = 0; i < now.size(); ++i) now[i] *= steps[i];
    }
    const Sample to = gain_of(tap, now);
    for (std::size_t k = start; k < std::min(count, start + stride); ++k) {
      use(k, from + (to - from) * (static_cast<double>(k - start) / static_cast<double>(stride)));
    }
    from = to;
  }
}

}  // namespace

Signal apply_fading(const Signal& signal, const FadingChannel& channel, std::uint64_t seed) {
  Signal out(signal.size(), Sample{0.0, 0.0});
  const std::size_t stride = gain_stride(channel);
  for (const Tap& tap : make_taps(channel, seed)) {
    // Position k - delay lies one sample below k - whole, at fraction 1 - fraction: the same
    // weights for every sample.
    const std::array<double, sinc_taps> weights = sinc_weights(1.0 - tap.fraction);
    walk_tap_gain(tap, out.size(), stride, [&](std::size_t k, Sample gain) {
      const Sample delayed = tap.fraction == 0.0
                                 ? (k >= tap.whole ? signal[k - tap.whole] : Sample{0.0, 0.0})
                                 : weighted_sum(signal, static_cast<std::int64_t>(k - tap.whole) - sinc_half, weights.data());
      out[k] += gain * delayed;
    });
  }
  return out;
}

std::vector<std::vector<Sample>> fading_tap_paths(const FadingChannel& channel, std::uint64_t seed, std::size_t first,
                                                  std::size_t count) {
  std::vector<std::vector<Sample>> paths;
  for (const Tap& tap : make_taps(channel, seed)) {
    std::vector<Sample>& path = paths.emplace_back(count);
    walk_tap_gain(tap, first + count, gain_stride(channel), [&](std::size_t k, Sample gain) {
      if (k >= first) path[k - first] = gain;
    });
  }
  return paths;
}

Signal apply_phase_noise(Signal signal, double phase, double linewidth_hz, double sample_rate, std::uint64_t seed,
                         std::size_t origin) {
  const std::vector<double> path = phase_noise_path(phase, linewidth_hz, sample_rate, seed, 0, signal.size(), origin);
  for (std::size_t k = 0; k < signal.size(); ++k) signal[k] *= unit_phasor(path[k]);
  return signal;
}

std::vector<double> phase_noise_path(double phase, double linewidth_hz, double sample_rate, std::uint64_t seed,
                                     std::size_t first, std::size_t count, std::size_t origin) {
  // The walk W_k from 0, increments of deviation sqrt(2 pi linewidth / fs), drawn in pairs.
  std::vector<double> walk(std::max(first + count, origin + 1), 0.0);
  const double sigma = std::sqrt(2.0 * pi * linewidth_hz / sample_rate);
  if (sigma > 0.0) {
    GaussianSource source(seed);
    double spare = 0.0;
    for (std::size_t k = 1; k < walk.size(); ++k) {
      double step = spare;
      if (k % 2 == 1) source.next_normal_pair(step, spare);
      walk[k] = walk[k - 1] + sigma * step;
    }
  }
  std::vector<double> path(count);
  for (std::size_t k = 0; k < count; ++k) path[k] = phase + (walk[first + k] - walk[origin]);
  return path;
}

Signal resample_by_clock(const Signal& signal, double first, double ppm, std::size_t count) {
  Signal out(count);
  const double rate = 1.0 + ppm * 1e-6;
  for (std::size_t k = 0; k < count; ++k) out[k] = interpolate_at(signal, first + static_cast<double>(k) * rate);
  return out;
}

Signal apply_iq_imbalance(Signal signal, double amplitude_db, double phase_deg, double dc_i, double dc_q) {
  const double level = rms(signal);
  const double g = std::pow(10.0, amplitude_db / 20.0);
  const double phi = phase_deg * pi / 180.0;
  for (Sample& s : signal) {
    s = {s.real() + dc_i * level, g * (s.imag() * std::cos(phi) - s.real() * std::sin(phi)) + dc_q * level};
  }
  return signal;
}

Signal quantise(Signal signal, int bits, double backoff_db) {
  if (bits <= 0 || signal.empty()) return signal;
  double peak = 0.0;
  for (const Sample& s : signal) peak = std::max({peak, std::abs(s.real()), std::abs(s.imag())});
  const double full_scale = peak * std::pow(10.0, backoff_db / 20.0);
  if (!(full_scale > 0.0)) return signal;
  const double levels = std::ldexp(1.0, bits);
  const double step = 2.0 * full_scale / levels;
  const auto level = [&](double v) {
    const double index = std::clamp(std::floor(v / step), -levels / 2.0, levels / 2.0 - 1.0);
    return (index + 0.5) * step;
  };
  for (Sample& s : signal) s = {level(s.real()), level(s.imag())};
  return signal;
}

}  // namespace quorvin
