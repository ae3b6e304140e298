// 802.11a/g: legacy OFDM PPDUs at 20 MHz. Each PPDU is the short training field (10 repetitions of
// 0.8 us), the long training field (a 1.6 us guard and two 3.2 us symbols), the SIGNAL symbol
// (RATE, LENGTH, parity and tail, BPSK at rate 1/2, never scrambled) and the DATA symbols (SERVICE,
// the PSDU, tail and pad bits, scrambled by x^7 + x^4 + 1, convolutionally coded with K = 7 and
// punctured, interleaved and mapped onto 48 subcarriers beside 4 pilots). Every OFDM symbol is
// 4 us: a 0.8 us guard and 64 subcarriers of 312.5 kHz. The symbol period of the time base is the
// OFDM symbol, so the rate is 250 kBaud whatever the run drew.
//
// The samples are the standard's continuous-time sum of subcarriers, taken at each sample's own
// instant, each field fading into the next over 100 ns (its window's transition). A file draws
// one PPDU (rate, length, PSDU with its CRC-32 FCS, scrambler seed) and sends it again after each
// drawn gap of silence while a whole one fits. A payload the user gives is the PSDU before its FCS,
// which is computed and appended; rate, scrambler seed and gap stay drawn.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "generator/family.h"
#include "generator/symbols.h"
#include "generator/time_base.h"
#include "modulation/fft.h"
#include "standards/frames.h"

namespace quorvin {
namespace {

constexpr double symbol_rate_hz = 250e3;  // one OFDM symbol of 4 us
constexpr double native_per_symbol = 80.0;  // samples of 50 ns an OFDM symbol spans
constexpr int subcarriers = 53;  // -26 .. 26, DC among them (always 0)
constexpr double preamble_symbols = 4.0;  // 16 us of training
// The window's transition, 100 ns: half of it each side of a field's edge, in 50 ns samples.
constexpr double half_transition = 1.0;

// The eight rates: Mb/s, RATE bits (R1 first, as sent), coded bits per subcarrier, the code rate.
struct RateRow {
  double mbps;
  std::array<std::uint8_t, 4> rate_bits;
  int bits_per_subcarrier;  // N_BPSC
  int rate_num;             // the code rate num/den
  int rate_den;
};
constexpr RateRow rate_rows[] = {
    {6, {1, 1, 0, 1}, 1, 1, 2},  {9, {1, 1, 1, 1}, 1, 3, 4},  {12, {0, 1, 0, 1}, 2, 1, 2}, {18, {0, 1, 1, 1}, 2, 3, 4},
    {24, {1, 0, 0, 1}, 4, 1, 2}, {36, {1, 0, 1, 1}, 4, 3, 4}, {48, {0, 0, 0, 1}, 6, 2, 3}, {54, {0, 0, 1, 1}, 6, 3, 4},
};
constexpr std::string_view rate_names[] = {"6", "9", "12", "18", "24", "36", "48", "54"};

int coded_bits(const RateRow& r) { return 48 * r.bits_per_subcarrier; }  // N_CBPS
int data_bits(const RateRow& r) { return coded_bits(r) * r.rate_num / r.rate_den; }  // N_DBPS

constexpr FamilyRange wifi_ranges[] = {
    {.key = "wifi_rate", .label = "802.11a/g Rate", .unit = " Mb/s", .help = "802.11a/g data rate, Mb/s",
     .defaults = {0.0, 7.0}, .low = 0.0, .high = 7.0, .whole = true, .choices = rate_names},
    {.key = "wifi_length", .label = "802.11a/g PSDU Length", .unit = " octets", .help = "802.11a/g PSDU length (its 4-octet FCS included), octets",
     .defaults = {20.0, 200.0}, .low = 5.0, .high = 4095.0, .whole = true},
    {.key = "wifi_gap", .label = "802.11a/g Gap", .unit = " us", .help = "802.11a/g silence before each PPDU, microseconds",
     .defaults = {34.0, 200.0}, .low = 1.0, .high = 1e6, .whole = true},
};
enum Draw : std::size_t { rate, length, gap };

double draw(std::span<const double> draws, Draw i) { return i < draws.size() ? draws[i] : wifi_ranges[i].defaults[0]; }
const RateRow& rate_of(std::span<const double> draws) {
  return rate_rows[static_cast<std::size_t>(std::clamp(draw(draws, rate), 0.0, 7.0))];
}

enum Label : std::size_t { scrambler_seed, psdu };
constexpr FrameLabel wifi_labels[] = {
    {.key = "wifi_scrambler_seed", .label = "802.11a/g Scrambler Seed", .type = FrameLabelType::whole},
    {.key = "wifi_psdu", .label = "802.11a/g PSDU"},
};

using Bits = std::vector<std::uint8_t>;

// DATA symbols of a PSDU of `octets` at `r`: SERVICE, the PSDU, the tail, padded to whole symbols.
std::int64_t data_symbols(const RateRow& r, double octets) {
  return static_cast<std::int64_t>(std::ceil((16.0 + 8.0 * octets + 6.0) / data_bits(r)));
}

// The CRC-32 of IEEE 802.3 (reflected 0x04C11DB7, preset and inverted): the FCS, sent least
// significant octet first.
std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t c = 0xFFFFFFFFU;
  for (const std::uint8_t b : bytes) {
    c ^= b;
    for (int i = 0; i < 8; ++i) c = (c >> 1) ^ (0xEDB88320U & (0U - (c & 1U)));
  }
  return ~c;
}

// The scrambler's sequence from a 7-bit state (x1 .. x7 as bits 0 .. 6): each output is x7 ^ x4,
// which then enters as x1.
Bits scrambler_sequence(std::uint32_t state, std::size_t count) {
  Bits out(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t bit = ((state >> 6) ^ (state >> 3)) & 1U;
    state = ((state << 1) | bit) & 0x7FU;
    out[i] = static_cast<std::uint8_t>(bit);
  }
  return out;
}

// The pilots' polarity p_0 .. p_126: the scrambler's sequence from all ones, 0 as +1 and 1 as -1.
const Bits& polarity() {
  static const Bits p = scrambler_sequence(0x7FU, 127);
  return p;
}

// The K = 7 code (133, 171 octal), A then B for each bit, punctured to num/den.
Bits convolve(const Bits& in, const RateRow& r) {
  Bits out;
  out.reserve(in.size() * 2);
  std::uint32_t shift = 0;  // bit i: the input i bits back
  // Of each group's A, B pairs, the ones sent: 3/4 drops B1 and A2, 2/3 drops B1.
  const int group = r.rate_num;
  for (std::size_t n = 0; n < in.size(); ++n) {
    shift = ((shift << 1) | in[n]) & 0x7FU;
    const auto a = static_cast<std::uint8_t>(std::popcount(shift & 0b1101101U) & 1);  // delays 0, 2, 3, 5, 6
    const auto b = static_cast<std::uint8_t>(std::popcount(shift & 0b1001111U) & 1);  // delays 0, 1, 2, 3, 6
    const auto place = static_cast<int>(n % static_cast<std::size_t>(group));
    const bool keep_a = !(r.rate_num == 3 && place == 2);
    const bool keep_b = !(r.rate_num != 1 && place == 1);
    if (keep_a) out.push_back(a);
    if (keep_b) out.push_back(b);
  }
  return out;
}

// One symbol's coded bits interleaved: bit k goes to j, by the two permutations.
Bits interleave(std::span<const std::uint8_t> in, int bpsc) {
  const int cbps = static_cast<int>(in.size());
  const int s = std::max(bpsc / 2, 1);
  Bits out(in.size());
  for (int k = 0; k < cbps; ++k) {
    const int i = (cbps / 16) * (k % 16) + k / 16;
    const int j = s * (i / s) + (i + cbps - (16 * i) / cbps) % s;
    out[static_cast<std::size_t>(j)] = in[static_cast<std::size_t>(k)];
  }
  return out;
}

// A subcarrier's point from its N_BPSC bits (b0 first): each axis Gray-coded, b0 its sign.
Sample map_point(std::span<const std::uint8_t> b, int bpsc) {
  const auto axis = [](std::span<const std::uint8_t> bits) {
    // The level from Gray bits: b0 the sign, then the distance from the middle.
    static constexpr int two[] = {-1, 1};
    static constexpr int four[] = {-3, -1, 3, 1};  // 00, 01, 10, 11
    static constexpr int eight[] = {-7, -5, -1, -3, 7, 5, 1, 3};  // 000 .. 111
    int v = 0;
    for (const std::uint8_t bit : bits) v = 2 * v + bit;
    if (bits.size() == 1) return two[v];
    if (bits.size() == 2) return four[v];
    return eight[v];
  };
  switch (bpsc) {
    case 1: return {static_cast<double>(axis(b.subspan(0, 1))), 0.0};
    case 2: return Sample(axis(b.subspan(0, 1)), axis(b.subspan(1, 1))) / std::sqrt(2.0);
    case 4: return Sample(axis(b.subspan(0, 2)), axis(b.subspan(2, 2))) / std::sqrt(10.0);
    default: return Sample(axis(b.subspan(0, 3)), axis(b.subspan(3, 3))) / std::sqrt(42.0);
  }
}

// The subcarrier of data carrier d (0 .. 47): -26 .. 26 without DC and the pilots' -21, -7, 7, 21.
int data_subcarrier(int d) {
  int k = d - 26;
  if (k >= -21) ++k;
  if (k >= -7) ++k;
  if (k >= 0) ++k;
  if (k >= 7) ++k;
  if (k >= 21) ++k;
  return k;
}

using Coefficients = std::array<Sample, subcarriers>;  // subcarrier -26 first

// A SIGNAL or DATA symbol's subcarriers from its interleaved bits, pilots of polarity p_n.
Coefficients ofdm_symbol(std::span<const std::uint8_t> bits, int bpsc, std::size_t n, std::vector<Sample>* points) {
  Coefficients c{};
  for (int d = 0; d < 48; ++d) {
    const Sample v = map_point(bits.subspan(static_cast<std::size_t>(d * bpsc), static_cast<std::size_t>(bpsc)), bpsc);
    c[static_cast<std::size_t>(data_subcarrier(d) + 26)] = v;
    if (points != nullptr) points->push_back(v);
  }
  const double p = polarity()[n % 127] != 0 ? -1.0 : 1.0;
  c[26 - 21] = p;
  c[26 - 7] = p;
  c[26 + 7] = p;
  c[26 + 21] = -p;
  return c;
}

// The training fields' subcarriers, -26 first.
Coefficients short_training() {
  constexpr int signs[subcarriers] = {0, 0, 1, 0, 0, 0, -1, 0, 0, 0, 1, 0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0, 1, 0, 0, 0, 0,
                                      0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0};
  Coefficients c{};
  for (std::size_t k = 0; k < c.size(); ++k) c[k] = std::sqrt(13.0 / 6.0) * Sample(signs[k], signs[k]);
  return c;
}
Coefficients long_training() {
  constexpr int values[subcarriers] = {1, 1, -1, -1, 1, 1, -1, 1, -1, 1, 1, 1, 1, 1, 1, -1, -1, 1, 1, -1, 1, -1, 1, 1, 1, 1, 0,
                                       1, -1, -1, 1, 1, -1, 1, -1, 1, -1, -1, -1, -1, -1, 1, 1, -1, -1, 1, -1, 1, -1, 1, 1, 1, 1};
  Coefficients c{};
  for (std::size_t k = 0; k < c.size(); ++k) c[k] = values[k];
  return c;
}

// A field of the PPDU: samples start .. end (50 ns each, 0 the PPDU's first), its sum of
// subcarriers reckoned from `origin`.
struct Field {
  double start;
  double end;
  double origin;
  Coefficients c;
};

// One PPDU as it is sent.
struct Ppdu {
  const RateRow* rate = nullptr;
  std::uint32_t seed = 0;  // the scrambler's initial state, x1 .. x7 as bits 0 .. 6
  std::vector<std::uint8_t> psdu;
  std::vector<Field> fields;
  std::vector<Sample> points;  // the DATA symbols' 48 points each
  Bits coded;                  // the DATA symbols' interleaved bits
  double samples = 0.0;        // its length, 50 ns samples
};

Ppdu draw_ppdu(std::uint64_t seed, std::span<const double> draws, const Payload* given) {
  ContentDraws d{seed};
  Ppdu f;
  f.rate = &rate_of(draws);
  const RateRow& r = *f.rate;
  f.seed = static_cast<std::uint32_t>(d.whole(1, 127));
  const auto octets = static_cast<std::size_t>(draw(draws, length));
  f.psdu.resize(octets);
  for (std::size_t i = 0; i + 4 < octets; ++i) f.psdu[i] = given != nullptr ? (*given)[i] : static_cast<std::uint8_t>(d.whole(0, 255));
  const std::uint32_t fcs = crc32(std::span(f.psdu).first(octets - 4));
  for (std::size_t i = 0; i < 4; ++i) f.psdu[octets - 4 + i] = static_cast<std::uint8_t>(fcs >> (8 * i));

  f.fields.push_back({0.0, 160.0, 0.0, short_training()});
  f.fields.push_back({160.0, 320.0, 192.0, long_training()});
  // SIGNAL: RATE, a reserved 0, LENGTH least significant bit first, even parity, six zeros.
  Bits signal(24, 0);
  std::copy(r.rate_bits.begin(), r.rate_bits.end(), signal.begin());
  for (std::size_t i = 0; i < 12; ++i) signal[5 + i] = static_cast<std::uint8_t>((octets >> i) & 1U);
  signal[17] = static_cast<std::uint8_t>(std::count(signal.begin(), signal.begin() + 17, 1) & 1);
  f.fields.push_back({320.0, 400.0, 336.0, ofdm_symbol(interleave(convolve(signal, rate_rows[0]), 1), 1, 0, nullptr)});

  // DATA: SERVICE (16 zeros), the PSDU least significant bit first, tail and pad, scrambled; the
  // tail's six bits zero again after scrambling so that the code ends in its zero state.
  const std::int64_t count = data_symbols(r, static_cast<double>(octets));
  Bits bits(static_cast<std::size_t>(count * data_bits(r)), 0);
  for (std::size_t i = 0; i < octets * 8; ++i) bits[16 + i] = static_cast<std::uint8_t>((static_cast<unsigned>(f.psdu[i / 8]) >> (i % 8)) & 1U);
  const Bits scramble = scrambler_sequence(f.seed, bits.size());
  for (std::size_t i = 0; i < bits.size(); ++i) bits[i] ^= scramble[i];
  std::fill_n(bits.begin() + static_cast<std::ptrdiff_t>(16 + 8 * octets), 6, std::uint8_t{0});
  const Bits coded = convolve(bits, r);
  const auto cbps = static_cast<std::size_t>(coded_bits(r));
  for (std::int64_t n = 0; n < count; ++n) {
    const Bits sent = interleave(std::span(coded).subspan(static_cast<std::size_t>(n) * cbps, cbps), r.bits_per_subcarrier);
    f.coded.insert(f.coded.end(), sent.begin(), sent.end());
    const double start = 400.0 + native_per_symbol * static_cast<double>(n);
    f.fields.push_back({start, start + native_per_symbol, start + 16.0,
                        ofdm_symbol(sent, r.bits_per_subcarrier, static_cast<std::size_t>(n) + 1, &f.points)});
  }
  f.samples = f.fields.back().end;
  return f;
}

// The PPDU's frames on the time base: `gap` us of silence, then the PPDU.
FrameLayout layout_of(std::span<const double> draws, double samples) {
  const double lead = draw(draws, gap) / 4.0;
  const double ppdu = samples / native_per_symbol;
  return {.lead = lead, .period = lead + ppdu, .length = ppdu, .edge = half_transition / native_per_symbol};
}

// Every subcarrier's sum at t samples (50 ns) past a field's origin, unscaled:
// sum c_k exp(j 2 pi k t / 64), by Horner's rule in exp(j 2 pi t / 64).
Sample subcarrier_sum(const Coefficients& c, double t) {
  const double turns = t / 64.0 - std::floor(t / 64.0);
  const Sample z = unit_phasor(2.0 * pi * turns);
  Sample acc = c[subcarriers - 1];
  for (int m = subcarriers - 2; m >= 0; --m) acc = acc * z + c[static_cast<std::size_t>(m)];
  return acc * unit_phasor(-26.0 * 2.0 * pi * turns);
}

// The window's weight of a field t samples after its start edge (or before its end edge, -t):
// sin^2 over the transition, 1 inside.
double edge_weight(double t) {
  if (t >= half_transition) return 1.0;
  if (t <= -half_transition) return 0.0;
  const double s = std::sin(0.25 * pi * (1.0 + t / half_transition));
  return s * s;
}

// The field holding sample tau of the PPDU (its last for tau past the end).
std::size_t field_at(const Ppdu& f, double tau) {
  if (tau < 160.0) return 0;
  if (tau < 320.0) return 1;
  return std::min(f.fields.size() - 1, static_cast<std::size_t>(2.0 + std::floor((tau - 320.0) / native_per_symbol)));
}

// Sample tau of the PPDU from the fields whose windows reach it.
Sample ppdu_sample(const Ppdu& f, double tau) {
  const std::size_t i = field_at(f, tau);
  const std::size_t low = i > 0 ? i - 1 : 0;
  const std::size_t high = std::min(i + 1, f.fields.size() - 1);
  Sample sum = 0.0;
  for (std::size_t j = low; j <= high; ++j) {
    const Field& field = f.fields[j];
    const double weight = std::min(edge_weight(tau - field.start), edge_weight(field.end - tau));
    if (weight > 0.0) sum += weight * subcarrier_sum(field.c, tau - field.origin);
  }
  return sum;
}

// The power of each field, 52 subcarriers of unit energy: a sum over them has unit power at 1/sqrt(52).
const double amplitude = 1.0 / std::sqrt(52.0);

// A field's samples where they lie 1 + e samples of 50 ns apart (a file at 20 MHz, e its clock's
// drift): with t_n = t_c + (n - c) + (n - c) e about the field's middle sample c, the sum is
// sum_m ((j 2 pi (n - c) e / 64)^m / m!) sum_k k^m D_k exp(j 2 pi k (n - c) / 64), D_k the
// subcarriers turned by t_c: one inverse DFT of 64 points per power m, and few powers, as
// 2 pi 26 |(n - c) e| / 64 stays far below 1.
struct FastField {
  std::int64_t frame = -1;  // none yet
  std::int64_t inside_first = 0;  // the file's samples of the field at least half a transition from its edges
  std::int64_t inside_last = -1;
  std::int64_t centre = 0;  // the file's sample c
  std::int64_t whole = 0;   // floor of its time after the field's origin
  std::vector<Signal> terms;  // power m's 64 samples, scaled, from that time's fraction
};

// Powers of the series that bring its remainder below 1e-15 of the sum for a drift `excess`
// over `reach` samples either side; 0 where that takes too many.
std::size_t series_terms(double excess, double reach) {
  const double x = 2.0 * pi * 26.0 * std::abs(excess) * reach / 64.0;
  double bound = 1.0;  // x^m / m!, what the powers below m leave
  for (std::size_t m = 1; m <= 12; ++m) {
    bound *= x / static_cast<double>(m);
    if (bound <= 1e-15) return m;
  }
  return 0;
}

WaveformRange wifi_signal(const Waveform&, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  const auto sent = std::make_shared<const Ppdu>(draw_ppdu(seed, p.family_draws, p.payload.get()));
  const FrameLayout layout = layout_of(p.family_draws, sent->samples);
  const FrameRun run = whole_frames(layout, time);
  const double advance = native_per_symbol * periods_per_sample(time);
  // Half a field and a sample either side of its middle: the training fields' 160 samples, the
  // symbols' 80.
  const std::size_t training_powers = series_terms(advance - 1.0, 82.0);
  const std::size_t symbol_powers = series_terms(advance - 1.0, 42.0);
  const std::shared_ptr<const FftPlan> plan = cached_fft_plan(64, FftDirection::inverse);
  auto made = std::make_shared<FastField>();
  // Sample k's place: its frame and samples into the PPDU.
  const auto place = [=](std::int64_t k) -> std::optional<std::pair<std::int64_t, double>> {
    const std::optional<FramePlace> at = frame_at(layout, run, time.at(k));
    if (!at) return std::nullopt;
    return std::pair{at->frame, at->into * native_per_symbol};
  };
  // Silence runs until the frame beginning at symbol period `u` (its edge included): the last
  // sample surely before it, two samples short of where the time base reaches it, so no sample
  // it skips could hold signal. Only a clock running forward is skipped.
  const double per_sample = periods_per_sample(time);
  const auto silent_until = [=](double u) {
    if (!(per_sample > 0.0)) return std::numeric_limits<std::int64_t>::min();
    const double k = std::floor((u - layout.edge - time.u0) / per_sample) - 2.0;
    return k < -9e18 ? std::numeric_limits<std::int64_t>::min() : k > 9e18 ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(k);
  };
  // Sample k of the field `made` holds, one of its inside samples.
  const auto series_sample = [=](const FastField& m, std::int64_t k) {
    const std::int64_t d = k - m.centre;
    const auto slot = static_cast<std::size_t>((((m.whole + d) % 64) + 64) % 64);
    // Horner's rule over the powers (each term already over m!): x^m with x = j 2 pi d e / 64,
    // a product by j x taken on the parts.
    const double x = 2.0 * pi * static_cast<double>(d) * (advance - 1.0) / 64.0;
    Sample sum = m.terms.back()[slot];
    for (std::size_t power = m.terms.size() - 1; power-- > 0;) sum = Sample(-sum.imag() * x, sum.real() * x) + m.terms[power][slot];
    return sum;
  };
  return [=](std::int64_t first, std::size_t count) {
    const Ppdu& f = *sent;
    Signal out(count);
    FastField& m = *made;
    for (std::size_t j = 0; j < count; ++j) {
      const std::int64_t k = first + static_cast<std::int64_t>(j);
      if (m.frame >= 0 && k >= m.inside_first && k <= m.inside_last) {
        // The rest of the field's inside samples within the call at once.
        const std::int64_t last = std::min(m.inside_last, first + static_cast<std::int64_t>(count) - 1);
        for (std::int64_t a = k; a <= last; ++a) out[static_cast<std::size_t>(a - first)] = series_sample(m, a);
        j = static_cast<std::size_t>(last - first);
        continue;
      }
      const auto at = place(k);
      // In silence, on to the next frame's first samples (or the call's end).
      std::optional<double> next;
      if (!at) {
        if (run.count > 0 && time.at(k) < frame_start(layout, run.first)) next = frame_start(layout, run.first);
      } else if (at->second <= -half_transition) {
        next = frame_start(layout, at->first);
      } else if (at->second >= f.samples + half_transition) {
        if (at->first + 1 < run.first + run.count) next = frame_start(layout, at->first + 1);
      }
      if (!at || at->second <= -half_transition || at->second >= f.samples + half_transition) {
        if (per_sample > 0.0) {
          const std::int64_t quiet = next ? silent_until(*next) : std::numeric_limits<std::int64_t>::max();
          const std::int64_t last = first + static_cast<std::int64_t>(count) - 1;
          if (quiet > k) j = static_cast<std::size_t>(std::min(quiet, last) - first);
        }
        continue;
      }
      const double tau = at->second;
      const std::size_t i = field_at(f, tau);
      const Field& field = f.fields[i];
      const auto inside = [&](std::int64_t a) {
        const auto there = place(a);
        return there && there->first == at->first && there->second - field.start >= half_transition &&
               field.end - there->second >= half_transition;
      };
      const std::size_t powers = i < 2 ? training_powers : symbol_powers;
      if (powers == 0 || !inside(k)) {
        out[j] = amplitude * ppdu_sample(f, tau);
        continue;
      }
      // The field's first and last inside samples, found from this one: the same whatever the
      // call's range, as is its middle, which the series is taken about.
      std::int64_t begin = k;
      while (inside(begin - 1)) --begin;
      std::int64_t end = std::max(k, begin + static_cast<std::int64_t>(field.end - field.start) - 4);
      while (!inside(end)) --end;
      while (inside(end + 1)) ++end;
      m.inside_first = begin;
      m.inside_last = end;
      m.centre = begin + (end - begin) / 2;
      const double t0 = place(m.centre)->second - field.origin;
      const double whole = std::floor(t0);
      const double fraction = t0 - whole;
      m.whole = static_cast<std::int64_t>(whole);
      // D_k, the subcarriers turned by the fraction: exp(j 2 pi k fraction / 64) from its -26th power on.
      std::array<Sample, subcarriers> turned{};
      const Sample step = unit_phasor(2.0 * pi * fraction / 64.0);
      Sample turn = unit_phasor(-26.0 * 2.0 * pi * fraction / 64.0);
      for (std::size_t s = 0; s < turned.size(); ++s, turn *= step) turned[s] = 64.0 * amplitude * field.c[s] * turn;
      m.terms.resize(powers);
      for (std::size_t power = 0; power < powers; ++power) {
        Signal& values = m.terms[power];
        values.assign(64, Sample{});
        for (int s = -26; s <= 26; ++s) values[static_cast<std::size_t>((s + 64) % 64)] = turned[static_cast<std::size_t>(s + 26)];
        fft_in_place(*plan, values);
        // The next power's k^(m+1) / (m+1)!.
        for (int s = -26; s <= 26; ++s) turned[static_cast<std::size_t>(s + 26)] *= static_cast<double>(s) / static_cast<double>(power + 1);
      }
      m.frame = at->first;
      out[j] = series_sample(m, k);
    }
    return out;
  };
}

double symbol_rate(const Waveform&, std::span<const double>, double, double) { return symbol_rate_hz; }


WaveformRange prepare(const Waveform& w, const WaveformParameters& p) { return prepare_digital(w, at_own_rate(w, p), wifi_signal); }

// The DATA symbols' points of the whole frames within `reach`: 48 a symbol in data-carrier order,
// each at the instant its body begins (after the guard), with its N_BPSC interleaved bits, b0
// the most significant; the symbol's number is the OFDM symbol period it fills.
TransmittedSymbols wifi_symbols(const Waveform&, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time,
                                const SymbolReach& reach) {
  const Ppdu sent = draw_ppdu(seed, p.family_draws, p.payload.get());
  const FrameLayout layout = layout_of(p.family_draws, sent.samples);
  const FrameRun run = whole_frames(layout, time);
  const auto [low, high] = reach_periods(time, reach);
  const int bpsc = sent.rate->bits_per_subcarrier;
  TransmittedSymbols out{bpsc, {}};
  const std::size_t count = sent.points.size() / 48;
  for (std::int64_t k = run.first; k < run.first + run.count; ++k) {
    for (std::size_t n = 0; n < count; ++n) {
      const double u = frame_start(layout, k) + preamble_symbols + 1.0 + static_cast<double>(n);
      if (u + 1.0 < low || u > high) continue;
      const double instant = instant_of(time, u + 16.0 / native_per_symbol);
      for (std::size_t d = 0; d < 48; ++d) {
        std::uint64_t bits = 0;
        for (int b = 0; b < bpsc; ++b) bits = (bits << 1) | sent.coded[(n * 48 + d) * static_cast<std::size_t>(bpsc) + static_cast<std::size_t>(b)];
        out.symbols.push_back({static_cast<std::int64_t>(std::floor(u)), instant, static_cast<std::int32_t>(bits), sent.points[n * 48 + d], bits});
      }
    }
  }
  return out;
}

TransmittedSymbols symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach) {
  return digital_symbols(w, at_own_rate(w, p), reach, wifi_symbols);
}

// Data bits an OFDM symbol carries: N_DBPS.
double bits_per_symbol(const Waveform&, std::span<const double> draws) { return data_bits(rate_of(draws)); }

std::string hex_text(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t b : bytes) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", static_cast<unsigned>(b));
    text += two;
  }
  return text;
}

FrameFacts frames(const Waveform& w, const WaveformParameters& given) {
  const std::optional<FramedFile> file = w.order > 0 ? framed_file(at_own_rate(w, given)) : std::nullopt;
  if (!file) return {};
  const Ppdu sent = draw_ppdu(file->seed, given.family_draws, given.payload.get());
  const FrameLayout layout = layout_of(given.family_draws, sent.samples);
  const FrameRun run = whole_frames(layout, file->time);
  FrameFacts facts{frame_spans(layout, run, file->time), std::vector<std::optional<FrameLabelValue>>(std::size(wifi_labels))};
  if (run.count == 0) return facts;
  facts.values[scrambler_seed] = std::int64_t{sent.seed};
  facts.values[psdu] = hex_text(sent.psdu);
  return facts;
}

// Symbol periods a file needs for one whole PPDU at the widest gap and length and the slowest
// rate the ranges draw, its window's edges, and up to a symbol of start.
double shortest_file(const Waveform&, const FamilyRanges& ranges) {
  const auto [r0, r1] = range_ends(ranges, wifi_ranges[rate]);
  const auto [l0, l1] = range_ends(ranges, wifi_ranges[length]);
  const auto [g0, g1] = range_ends(ranges, wifi_ranges[gap]);
  const RateRow& slowest = rate_rows[static_cast<std::size_t>(std::clamp(std::min(r0, r1), 0.0, 7.0))];
  return std::max(g0, g1) / 4.0 + preamble_symbols + 1.0 + static_cast<double>(data_symbols(slowest, std::max(l0, l1))) +
         2.0 * half_transition / native_per_symbol + 1.0;
}

// 99.5 % of the power lies within 8.3 MHz of the carrier (measured over random 64-QAM symbols
// with the 100 ns transitions; 26 subcarriers reach 8.125 MHz): 8.5 MHz is the band.
FamilyBand band(const Waveform&, const BandLimits&) {
  constexpr double half = 8.5e6;
  return {{-half, half}, "{--frequency-offset-min/max}, {--mix-frequency}"};
}

DrawnParameters draws(const Waveform&) { return {.ranges = 0b111U}; }

constexpr std::size_t fcs_octets = 4;

// A given PSDU fits where, with its FCS, it is no longer than the longest the ranges draw, so the
// files the run is sized for hold its PPDU.
std::optional<std::string> payload_misfit(std::span<const std::uint8_t> body, const FamilyRanges& ranges) {
  const auto octets = static_cast<double>(body.size() + fcs_octets);
  if (octets < wifi_ranges[length].low || octets > wifi_ranges[length].high) {
    return "is the PSDU before its 4-octet FCS: 1 to 4091 octets, not " + std::to_string(body.size());
  }
  const auto [l0, l1] = range_ends(ranges, wifi_ranges[length]);
  if (octets <= std::max(l0, l1)) return std::nullopt;
  return "of " + std::to_string(body.size()) + " octets and its FCS is longer than the longest PSDU of {--wifi-length-max} (" +
         shortest_text(std::max(l0, l1)) + " octets): raise it";
}

// The PSDU's length is the given one's and its FCS.
void payload_draws(std::span<const std::uint8_t> body, std::span<double> draws) {
  draws[length] = static_cast<double>(body.size() + fcs_octets);
}

}  // namespace

// The standard's 20 MHz: the band's 8.5 MHz leaves room for a carrier offset of 1.5 MHz.
constexpr double standard_sample_rate = 20e6;

// A transmitter's symbol clock: 20 ppm at most.
constexpr double wifi_clock_error = 2e-5;

const SignalFamily wifi_family{.name = "wifi", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                               .modulation_index = nullptr, .ranges = wifi_ranges, .symbol_rate = symbol_rate,
                               .bits_per_symbol = bits_per_symbol, .symbols = symbols,
                               .clock_error_limit = wifi_clock_error, .frame_labels = wifi_labels, .frames = frames,
                               .shortest_file = shortest_file, .told_file = shortest_file,
                               .sample_rate = standard_sample_rate, .payload_misfit = payload_misfit,
                               .payload_draws = payload_draws};

}  // namespace quorvin
