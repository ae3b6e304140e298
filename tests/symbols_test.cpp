// The transmitted symbols' labels against textbook receivers written here: a matched filter of the
// labelled pulse at the labelled instants and a nearest-point decision on the textbook's points
// (the crosses and DVB-S2X APSKs: the labelled points, each a textbook one) for linear names, tone
// correlation for keyed ones, up and down sweep correlation for LFM-data, dechirp and DFT for
// CSS, recover every labelled symbol and bit of noise-free files.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "dsp_reference.h"
#include "exact_runs.h"
#include "generator/family.h"
#include "generator/symbols.h"
#include "label_rows.h"
#include "modulation/catalogue.h"
#include "modulation/fft.h"

namespace quorvin {
namespace {

std::uint64_t gray(std::uint64_t s) { return s ^ (s >> 1); }

// A textbook constellation with its Gray labels, indexed as the README lists the points.
struct Textbook {
  std::vector<Sample> points;
  std::vector<std::uint64_t> labels;
};

std::optional<Textbook> textbook(const Waveform& w) {
  Textbook t;
  const int m = w.order;
  switch (w.variant) {
    case Route::psk:
    case Route::oqpsk:
      for (int k = 0; k < m; ++k) {
        t.points.push_back(std::polar(1.0, 2.0 * pi * k / m + (w.variant == Route::oqpsk ? pi / 4.0 : 0.0)));
        t.labels.push_back(gray(static_cast<std::uint64_t>(k)));
      }
      return t;
    case Route::ask:
      for (int k = 0; k < m; ++k) {
        t.points.emplace_back((2.0 * k - (m - 1)) / std::sqrt((m * m - 1.0) / 3.0), 0.0);
        t.labels.push_back(gray(static_cast<std::uint64_t>(k)));
      }
      return t;
    case Route::qam_square: {
      const int side = static_cast<int>(std::lround(std::sqrt(m)));
      const int half = std::countr_zero(static_cast<unsigned>(side));
      const double scale = std::sqrt(2.0 * (m - 1) / 3.0);
      for (int k = 0; k < m; ++k) {
        const int i = k % side;
        const int q = k / side;
        t.points.emplace_back((2.0 * i - (side - 1)) / scale, (2.0 * q - (side - 1)) / scale);
        t.labels.push_back(gray(static_cast<std::uint64_t>(i)) << half | gray(static_cast<std::uint64_t>(q)));
      }
      return t;
    }
    case Route::ook: return Textbook{{0.0, std::sqrt(2.0)}, {0, 1}};
    default: return std::nullopt;  // the crosses and APSK: the labelled points themselves
  }
}

// The crosses' and the DVB-S2X APSKs' textbook points at unit mean energy, unlabelled: the odd QAM
// grid without its corner blocks (every point distinct), and the rings of code rates 135/180 and
// 116/180; none for the other names.
std::vector<Sample> textbook_points(const Waveform& w) {
  std::vector<Sample> points;
  const auto grid = [&points](int side, int corner) {
    const int edge = side - 1 - 2 * corner;
    for (int i = 1 - side; i < side; i += 2) {
      for (int q = 1 - side; q < side; q += 2) {
        if (std::abs(i) <= edge || std::abs(q) <= edge) points.emplace_back(i, q);
      }
    }
  };
  const auto rings = [&points](std::vector<int> counts, std::vector<double> radii) {
    for (std::size_t r = 0; r < counts.size(); ++r) {
      for (int k = 0; k < counts[r]; ++k) points.push_back(std::polar(radii[r], 2.0 * pi * k / counts[r]));
    }
  };
  if (w.variant == Route::qam32) {
    grid(6, 1);
  } else if (w.variant == Route::qam128) {
    grid(12, 2);
  } else if (w.variant == Route::qam_cross) {
    grid(w.order == 512 ? 24 : 48, w.order == 512 ? 4 : 8);
  } else if (w.variant == Route::apsk && w.order == 128) {
    rings({16, 16, 16, 16, 16, 48}, {1.0, 1.715, 2.118, 2.681, 2.75, 3.819});
  } else if (w.variant == Route::apsk && w.order == 256) {
    rings(std::vector<int>(8, 32), {1.0, 1.791, 2.405, 2.98, 3.569, 4.235, 5.078, 6.536});
  }
  double energy = 0.0;
  for (const Sample p : points) energy += std::norm(p) / static_cast<double>(points.size());
  for (Sample& p : points) p /= std::sqrt(energy);
  return points;
}

std::size_t nearest(const std::vector<Sample>& points, Sample y) {
  const auto closer = [y](Sample a, Sample b) { return std::norm(y - a) < std::norm(y - b); };
  return static_cast<std::size_t>(std::min_element(points.begin(), points.end(), closer) - points.begin());
}

struct Timing {
  const char* name;
  double timing_error;
  double ppm;
};

struct Made {
  Signal x;
  TransmittedSymbols sent;
  double sps;  // realised samples per symbol, from the labelled instants
};

// The chirps' draws: a bandwidth of 0.45 fs and CSS's spreading factor 7 (M = 128 chips, so
// 284.4 samples a symbol).
constexpr double chirp_bandwidth = 0.45;
constexpr int chirp_sf = 7;

// Keyed names and LFM-data at 15.91 samples per symbol, so that 16FSK's outer tones (7.5 Rs at
// h = 1) fit and an up sweep and a down one differ well.
Made make(const ModulationRow& row, const Timing& timing, double bt, double h = 1.0) {
  const Waveform w = resolve_waveform(row.name);
  const bool wide = w.family == &keyed_family || w.variant == Route::lfm_data;
  RunSettings s = test::exact_run({.sample_rate = wide ? 15910.0 : 3700.0,
                                   .samples = w.variant == Route::css ? 300000 : wide ? 16384 : 4096});
  s.exact.filter_span = 40;
  PlannedFile file{.modulation = std::string(row.name), .snr_db = HUGE_VAL, .symbol_rate = 1000.0,
                   .timing_error = timing.timing_error, .seeds = {11, 12}, .start_offset = 0.37,
                   .family_draws = w.family == &linear_family  ? std::vector{0.35}
                                   : w.family == &keyed_family ? std::vector{h, bt}
                                                               : std::vector{chirp_bandwidth, 1.0 * chirp_sf, 0.0, 0.0, 0.0}};
  if (w.variant == Route::css) file.symbol_rate = chirp_bandwidth * s.sample_rate / (1 << chirp_sf);
  if (timing.ppm != 0.0) file.impairments.clock_ppm = timing.ppm;
  Made made{synthesize_exact_file(s, file), exact_file_symbols(s, file), 0.0};
  const std::vector<TransmittedSymbol>& v = made.sent.symbols;
  made.sps = (v.back().instant - v.front().instant) / static_cast<double>(v.back().index - v.front().index);
  return made;
}

// The matched filter's reading at `centre`, scaled so a lone unit point reads 1.
double matched(const Signal& x, double centre, double sps, bool imaginary) {
  const auto lo = std::max<std::ptrdiff_t>(0, static_cast<std::ptrdiff_t>(std::ceil(centre - 20.0 * sps)));
  const auto hi = std::min(static_cast<std::ptrdiff_t>(x.size()) - 1, static_cast<std::ptrdiff_t>(std::floor(centre + 20.0 * sps)));
  double sum = 0.0;
  double energy = 0.0;
  for (std::ptrdiff_t k = lo; k <= hi; ++k) {
    const double p = test::reference_rrc((static_cast<double>(k) - centre) / sps, 0.35);
    sum += p * (imaginary ? x[static_cast<std::size_t>(k)].imag() : x[static_cast<std::size_t>(k)].real());
    energy += p * p;
  }
  return sum / std::sqrt(energy * sps);
}

// x at the fractional sample t: a Hann-windowed sinc over 16 samples each side (the chirps stay
// within 0.225 fs, well inside its passband).
Sample interpolated(const Signal& x, double t) {
  Sample sum = 0.0;
  for (auto k = static_cast<std::ptrdiff_t>(std::floor(t)) - 15; k <= static_cast<std::ptrdiff_t>(std::floor(t)) + 16; ++k) {
    const double d = t - static_cast<double>(k);
    const double sinc = std::abs(d) < 1e-12 ? 1.0 : std::sin(pi * d) / (pi * d);
    sum += x[static_cast<std::size_t>(k)] * sinc * (0.5 + 0.5 * std::cos(pi * d / 16.0));
  }
  return sum;
}

// The symbol a chirp name's receiver reads over the period centred at `centre` (samples).
// LFM-data: the stronger of its correlations with the textbook up sweep (-B/2 to +B/2, phase
// pi B T (x^2 - x) over x = 0 .. 1) and the down sweep, 1 for up. CSS: the period resampled at its
// M chips, dechirped by the base up sweep (B T = M) and the strongest bin of an M-point DFT: a
// base sweep cyclically shifted by s chips dechirps to the tone of bin s.
std::int32_t chirp_decision(const Waveform& w, const Made& made, double centre) {
  const double start = centre - made.sps / 2.0;
  if (w.variant == Route::lfm_data) {
    const double bt = chirp_bandwidth * 15.91;  // B T from the labels: bandwidth fs / Rs
    Sample up = 0.0;
    Sample down = 0.0;
    for (auto k = static_cast<std::size_t>(std::ceil(start)); static_cast<double>(k) < start + made.sps; ++k) {
      const double x = (static_cast<double>(k) - start) / made.sps;
      up += made.x[k] * std::polar(1.0, -pi * bt * (x * x - x));
      down += made.x[k] * std::polar(1.0, pi * bt * (x * x - x));
    }
    return std::abs(up) > std::abs(down) ? 1 : 0;
  }
  const int m = 1 << chirp_sf;
  Signal dechirped(static_cast<std::size_t>(m));
  for (int c = 0; c < m; ++c) {
    const double x = static_cast<double>(c) / m;
    dechirped[static_cast<std::size_t>(c)] = interpolated(made.x, start + x * made.sps) * std::polar(1.0, -pi * m * (x * x - x));
  }
  const Signal line = fft(std::move(dechirped), FftDirection::forward);
  const auto weaker = [](Sample a, Sample b) { return std::abs(a) < std::abs(b); };
  return static_cast<std::int32_t>(std::max_element(line.begin(), line.end(), weaker) - line.begin());
}

class EveryDigitalName : public testing::TestWithParam<ModulationRow> {};

TEST_P(EveryDigitalName, ATextbookReceiverRecoversEveryLabelledSymbolAndBit) {
  const Waveform w = resolve_waveform(GetParam().name);
  const bool chirp = w.family == &chirp_family;
  // Keyed and chirp symbols are centred on the periods they fill.
  const bool keyed = w.family == &keyed_family || chirp;
  for (const Timing timing : {Timing{"plain", 0.0, 0.0}, Timing{"drift", 7.0, 0.0}, Timing{"clock", 0.0, 700.0}}) {
    SCOPED_TRACE(timing.name);
    const Made made = make(GetParam(), timing, 1.0);
    const auto length = static_cast<double>(made.x.size());
    const std::vector<TransmittedSymbol>& sent = made.sent.symbols;
    ASSERT_GT(sent.size(), 1000U);
    EXPECT_EQ(made.sent.bits_per_symbol, w.variant == Route::css ? chirp_sf : std::bit_width(static_cast<unsigned>(w.order - 1)));
    // Consecutive, and covering the file with the pulse's reach to spare on each side.
    for (std::size_t i = 1; i < sent.size(); ++i) ASSERT_EQ(sent[i].index, sent[i - 1].index + 1);
    EXPECT_LE(sent.front().instant, (keyed ? 0.5 : -19.0) * made.sps);
    EXPECT_GE(sent.back().instant, length - 1.0 - (keyed ? 0.5 : -19.0) * made.sps);
    const std::optional<Textbook> own = textbook(w);
    const std::vector<Sample> unlabelled = textbook_points(w);
    std::vector<Sample> labelled;  // the crosses' and APSK's points as the labels give them
    for (const TransmittedSymbol& t : sent) {
      if (std::find(labelled.begin(), labelled.end(), t.value) == labelled.end()) labelled.push_back(t.value);
    }
    std::size_t checked = 0;
    std::size_t previous = 0;  // Pi/4-DQPSK's last decided point
    for (std::size_t i = 0; i < sent.size(); ++i) {
      const TransmittedSymbol& t = sent[i];
      const double reach = keyed ? 0.5 * made.sps + (chirp ? 17.0 : 0.0) : 20.5 * made.sps;
      if (t.instant - reach < 0.0 || t.instant + reach > length - 1.0) continue;
      ++checked;
      if (chirp) {
        const std::int32_t s = chirp_decision(w, made, t.instant);
        ASSERT_EQ(t.symbol, s) << "symbol " << t.index;
        ASSERT_EQ(t.bits, gray(static_cast<std::uint64_t>(s))) << "symbol " << t.index;
        // CSS: the sweep starts s chips above -B/2, s - M/2 symbol rates; LFM-data: its direction.
        ASSERT_EQ(t.value, Sample(w.variant == Route::css ? s - (1 << chirp_sf) / 2.0 : 2.0 * s - 1.0, 0.0));
        continue;
      }
      if (keyed) {
        // The tone whose correlation over the symbol's interval is strongest (the Gaussian kinds:
        // over its middle half, where its neighbours' spread tones reach least).
        const double half = (w.variant == Route::gmsk || w.variant == Route::gfsk ? 0.25 : 0.5) * made.sps;
        // The index: the MSK kinds' own half, else the file's 1.
        const double h = w.variant == Route::msk || w.variant == Route::gmsk ? 0.5 : 1.0;
        std::size_t best = 0;
        double strongest = -1.0;
        for (int m = 0; m < w.order; ++m) {
          const double tone = h * (2.0 * m - (w.order - 1)) / 2.0;
          Sample sum = 0.0;
          for (auto k = static_cast<std::size_t>(std::ceil(t.instant - half)); static_cast<double>(k) <= t.instant + half; ++k) {
            sum += made.x[k] * std::polar(1.0, -2.0 * pi * tone * (static_cast<double>(k) - t.instant) / made.sps);
          }
          if (std::abs(sum) > strongest) strongest = std::abs(sum), best = static_cast<std::size_t>(m);
        }
        ASSERT_EQ(static_cast<std::size_t>(t.symbol), best) << "symbol " << t.index;
        ASSERT_EQ(t.bits, gray(best)) << "symbol " << t.index;
        continue;
      }
      const double lag = w.variant == Route::oqpsk ? 0.5 * made.sps : 0.0;
      const Sample y(matched(made.x, t.instant, made.sps, false), matched(made.x, t.instant + lag, made.sps, true));
      if (w.variant == Route::pi4_dqpsk) {
        std::vector<Sample> eight;
        for (int k = 0; k < 8; ++k) eight.push_back(std::polar(1.0, k * pi / 4.0));
        const std::size_t point = nearest(eight, y);
        ASSERT_LT(std::abs(eight[point] - t.value), 1e-9) << "symbol " << t.index;
        if (checked > 1) {
          // The phase step of s pi/2 + pi/4 carries s.
          const std::size_t step = (point + 8 - previous) % 8;
          ASSERT_EQ(static_cast<std::size_t>(t.symbol), (step - 1) / 2) << "symbol " << t.index;
          ASSERT_EQ(t.bits, gray((step - 1) / 2)) << "symbol " << t.index;
        }
        previous = point;
        continue;
      }
      if (own) {
        const std::size_t point = nearest(own->points, y);
        ASSERT_EQ(static_cast<std::size_t>(t.symbol), point) << "symbol " << t.index << " read " << y;
        ASSERT_EQ(t.bits, own->labels[point]) << "symbol " << t.index;
        ASSERT_LT(std::abs(own->points[point] - t.value), 1e-9) << "symbol " << t.index;
      } else {
        ASSERT_EQ(labelled[nearest(labelled, y)], t.value) << "symbol " << t.index << " read " << y;
        ASSERT_EQ(t.bits, static_cast<std::uint64_t>(t.symbol));
        if (!unlabelled.empty()) {
          ASSERT_LT(std::abs(unlabelled[nearest(unlabelled, t.value)] - t.value), 1e-9) << "symbol " << t.index;
        }
      }
    }
    EXPECT_GT(checked, 900U);
    if (!unlabelled.empty() && w.order <= 128) {
      EXPECT_EQ(labelled.size(), unlabelled.size()) << "every textbook point sent";
    }
  }
}

// Every digital name whose family tells its symbols (LFM-radar sends none): OFDM's, read by a DFT
// receiver below, or the others'.
std::vector<ModulationRow> digital_rows(bool ofdm) {
  std::vector<ModulationRow> rows;
  for (const ModulationRow& row : modulation_catalogue) {
    const Waveform w = resolve_waveform(row.name);
    // A standard's bits are read by its own receiver test.
    if (tells_symbols(w) && !is_standard(row) && (w.family == &ofdm_family) == ofdm) rows.push_back(row);
  }
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Symbols, EveryDigitalName, testing::ValuesIn(digital_rows(false)), test::RowName());

struct OfdmMade {
  Signal x;
  TransmittedSymbols sent;
  double size;    // N, labelled
  double prefix;  // CP samples, labelled
};

using test::label;

// A noise-free OFDM file of 2^15 samples at 20 MHz, its subcarriers the `scheme`-th modulation.
OfdmMade make_ofdm(const ModulationRow& row, const Timing& timing, double scheme) {
  const RunSettings s = test::exact_run({.names = {std::string(row.name)}, .sample_rate = 20e6, .samples = 1 << 15,
                                         .ranges = {{"subcarrier_modulation", {scheme, scheme}}}});
  PlannedFile file = test::first_file(s, 7);
  file.snr_db = HUGE_VAL;
  file.frequency_offset = 0.0;
  file.impairments = {};
  file.timing_error = timing.timing_error;
  if (timing.ppm != 0.0) file.impairments.clock_ppm = timing.ppm;
  const std::vector<ParameterRow> rows = test::labels_of(s, file);
  return {synthesize_exact_file(s, file), exact_file_symbols(s, file), label(rows, "fft_size"), label(rows, "cyclic_prefix_samples")};
}

class EveryOfdmName : public testing::TestWithParam<ModulationRow> {};

// A receiver's own DFT over each labelled body: file sample k sits (k - start) / d samples into it
// (d the file's samples per sample of body, from consecutive starts), so subcarrier b reads
// sqrt(K) / count sum x[k] exp(-j 2 pi b (k - start) / (d N)) over the body's N d samples; the
// nearest textbook point is every record's symbol, point and Gray bits, under drift and a clock
// offset too, for BPSK, QPSK and QAM256 subcarriers. Without them the points lie within -40 dB of
// the textbook's and the idle subcarriers, DC among them, are empty.
TEST_P(EveryOfdmName, ADftReceiverRecoversEverySubcarriersSymbolAndBits) {
  const auto active = static_cast<std::size_t>(std::stoi(std::string(GetParam().name).substr(5)));
  for (const Timing timing : {Timing{"plain", 0.0, 0.0}, Timing{"drift", 0.1, 0.0}, Timing{"clock", 0.0, 300.0}}) {
    for (const auto& [scheme, order] : {std::pair{0.0, 2}, std::pair{1.0, 4}, std::pair{4.0, 256}}) {
      SCOPED_TRACE(std::string(timing.name) + " order " + std::to_string(order));
      const OfdmMade made = make_ofdm(GetParam(), timing, scheme);
      const std::vector<TransmittedSymbol>& sent = made.sent.symbols;
      EXPECT_EQ(made.sent.bits_per_symbol, std::bit_width(static_cast<unsigned>(order - 1)));
      ASSERT_EQ(sent.size() % active, 0U);
      const std::size_t symbols = sent.size() / active;
      ASSERT_GE(symbols, 6U);
      Waveform sub;
      sub.variant = order == 2 ? Route::psk : Route::qam_square;
      sub.order = order;
      const Textbook own = *textbook(sub);
      const bool plain = timing.timing_error == 0.0 && timing.ppm == 0.0;
      double error = 0.0;
      double energy = 0.0;
      double idle = 0.0;
      const double d = (sent.back().instant - sent.front().instant) /
                       static_cast<double>(sent.back().index - sent.front().index) / (made.size + made.prefix);
      std::size_t checked = 0;
      for (std::size_t n = 0; n < symbols; ++n) {
        const TransmittedSymbol& head = sent[n * active];
        ASSERT_EQ(head.index, sent.front().index + static_cast<std::int64_t>(n));
        const double start = head.instant;
        // The whole number of samples nearest the body's N d, so the subcarriers stay orthogonal,
        // from half the prefix before the body (which repeats its end), so none is the next
        // symbol's.
        const double from = start - 0.5 * made.prefix * d;
        if (from < 0.0 || from + (made.size + 1.0) * d > static_cast<double>(made.x.size())) continue;
        const auto first = static_cast<std::size_t>(std::ceil(from));
        const auto last = first + static_cast<std::size_t>(std::lround(made.size * d));  // one past
        const auto read = [&](double b) {  // subcarrier b's point
          const double turn = -2.0 * pi * b / (d * made.size);
          Sample phasor = std::polar(1.0, turn * (static_cast<double>(first) - start));
          const Sample step = std::polar(1.0, turn);
          Sample sum = 0.0;
          for (std::size_t k = first; k < last; ++k, phasor *= step) sum += made.x[k] * phasor;
          return sum * std::sqrt(static_cast<double>(active)) / static_cast<double>(last - first);
        };
        for (std::size_t i = 0; i < active; ++i) {
          const TransmittedSymbol& t = sent[n * active + i];
          ASSERT_EQ(t.index, head.index);
          ASSERT_EQ(t.instant, head.instant);
          const double b = static_cast<double>(i) - static_cast<double>(active / 2) + (i < active / 2 ? 0.0 : 1.0);
          const Sample y = read(b);
          const std::size_t point = nearest(own.points, y);
          ASSERT_EQ(static_cast<std::size_t>(t.symbol), point) << "symbol " << t.index << " bin " << b << " read " << y;
          ASSERT_EQ(t.bits, own.labels[point]) << "symbol " << t.index << " bin " << b;
          ASSERT_LT(std::abs(own.points[point] - t.value), 1e-9) << "symbol " << t.index << " bin " << b;
          error += std::norm(y - own.points[point]);
          energy += std::norm(own.points[point]);
        }
        for (double b = -std::floor(made.size / 2.0); plain && b < made.size / 2.0; ++b) {
          if (b == 0.0 || std::abs(b) > static_cast<double>(active / 2)) idle = std::max(idle, std::abs(read(b)));
        }
        ++checked;
      }
      EXPECT_GE(checked, 4U);
      if (plain) {
        EXPECT_LT(10.0 * std::log10(error / energy), -40.0);
        EXPECT_LT(idle, 1e-9);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Symbols, EveryOfdmName, testing::ValuesIn(digital_rows(true)), test::RowName());

// A keyed file's phase between any two samples against the labelled symbols' turns worked out
// here: a symbol keying h a / 2 Rs over its period turns the phase by 2 pi (h a / 2) q(tau), q the
// running integral of the frequency pulse, a rectangle over one period (FSK) or that rectangle
// through a Gaussian of deviation sqrt(ln 2) / (2 pi BT) periods (GFSK, GMSK). q is integrated
// numerically (Simpson's rule) rather than from the closed form the generator reads. The labels
// key h a / 2 Rs, a = ±1, ±3, ..., ±(M - 1), at the drawn index h (the MSK kinds' own 1/2), every
// level used: M-FSK's tones sit h Rs apart, M-ary MSK steps by odd quarter turns.
TEST(SymbolLabels, KeyedPhaseIsTheLabelledSymbolsTurns) {
  // Name, index h and BT (0: a rectangular frequency pulse).
  for (const auto& [name, h, bt] : {std::tuple{"GMSK", 0.5, 0.3}, std::tuple{"4GFSK", 1.0, 0.5}, std::tuple{"8GMSK", 0.5, 0.25},
                                    std::tuple{"2FSK", 1.0, 0.0}, std::tuple{"16FSK", 0.7, 0.0}, std::tuple{"4MSK", 0.5, 0.0},
                                    std::tuple{"8MSK", 0.5, 0.0}, std::tuple{"16MSK", 0.5, 0.0}}) {
    for (const Timing timing : {Timing{"plain", 0.0, 0.0}, Timing{"drift", 7.0, 0.0}}) {
      SCOPED_TRACE(std::string(name) + ", " + timing.name);
      const Made made = make(*find_modulation(name), timing, bt > 0.0 ? bt : 1.0, h);
      const bool gaussian = bt > 0.0;
      // q on a grid of 1/4096 period from -8 to 9 periods, by Simpson's rule over each step.
      const double sigma = std::sqrt(std::log(2.0)) / (2.0 * pi * bt);
      const auto frequency = [&](double t) {
        return 0.5 * (std::erf(t / (sigma * std::sqrt(2.0))) - std::erf((t - 1.0) / (sigma * std::sqrt(2.0))));
      };
      const double step = 1.0 / 4096.0;
      std::vector<double> grid(17 * 4096 + 1, 0.0);
      for (std::size_t i = 1; i < grid.size(); ++i) {
        const double t = -8.0 + static_cast<double>(i - 1) * step;
        grid[i] = grid[i - 1] + step / 6.0 * (frequency(t) + 4.0 * frequency(t + step / 2.0) + frequency(t + step));
      }
      const auto q = [&](double tau) {
        if (!gaussian) return std::clamp(tau, 0.0, 1.0);
        const double x = std::clamp((tau + 8.0) / step, 0.0, static_cast<double>(grid.size() - 2));
        const auto i = static_cast<std::size_t>(x);
        return grid[i] + (x - static_cast<double>(i)) * (grid[i + 1] - grid[i]);
      };
      const std::vector<TransmittedSymbol>& sent = made.sent.symbols;
      const int order = resolve_waveform(name).order;
      std::set<long> levels;
      for (const TransmittedSymbol& t : sent) {
        const double a = 2.0 * t.value.real() / h;
        ASSERT_NEAR(a, std::round(a), 1e-9);
        ASSERT_TRUE(std::lround(a) % 2 != 0 && std::abs(std::lround(a)) < order) << a;
        levels.insert(std::lround(a));
      }
      EXPECT_EQ(levels.size(), static_cast<std::size_t>(order));
      // Sample k's phase, less the turns completed before the first labelled symbol.
      const auto phase = [&](std::size_t k) {
        double sum = 0.0;
        for (std::size_t n = 0; n + 1 < sent.size(); ++n) {
          // The period a symbol keys, in samples: between its centre and its neighbours' midpoints.
          const double start = (sent[n].instant + (n > 0 ? sent[n - 1].instant : 2.0 * sent[n].instant - sent[n + 1].instant)) / 2.0;
          const double end = (sent[n].instant + sent[n + 1].instant) / 2.0;
          sum += 2.0 * pi * sent[n].value.real() * q((static_cast<double>(k) - start) / (end - start));
        }
        return sum;
      };
      const std::size_t reference = made.x.size() / 2;
      const double at_reference = phase(reference);
      double worst = 0.0;
      for (std::size_t k = 16 * 40; k + 16 * 40 < made.x.size(); k += 37) {
        const double turned = std::arg(made.x[k] * std::conj(made.x[reference]));
        worst = std::max(worst, std::abs(std::remainder(turned - (phase(k) - at_reference), 2.0 * pi)));
      }
      // The generator's Gaussian table is read by straight lines between points 1/1024 period apart.
      EXPECT_LT(worst, gaussian ? 1e-5 : 1e-9);
    }
  }
}

// Q(x), the Gaussian tail.
double q_function(double x) { return 0.5 * std::erfc(x / std::sqrt(2.0)); }

// Bit error rates of files drawn at a fixed Eb/N0 (--snr-definition ebn0), read by the matched
// filter at the labelled instants and a nearest-point decision, against Q(sqrt(2 Eb/N0)): the
// Eb/N0 the measured rate stands for lies within 0.2 dB of the files' eb_n0_db label. About 300
// errors a point.
TEST(SymbolLabels, BitErrorRatesOfBpskAndQpskFollowTheory) {
  for (const char* name : {"BPSK", "QPSK"}) {
    for (const double ebn0_db : {4.0, 6.8}) {
      RunSettings s = test::exact_run({.names = {name}, .files = ebn0_db > 5.0 ? 12 : 4, .sample_rate = 3700.0, .samples = 1 << 16,
                                       .symbol_rate = 1000.0, .snr_db = ebn0_db, .ranges = {{"rolloff", {0.35, 0.35}}}});
      s.exact.snr_definition = SnrDefinition::ebn0;
      s.exact.filter_span = 40;
      RunPlan plan(s, 5);
      const Textbook own = *textbook(resolve_waveform(name));
      double bits = 0.0;
      double errors = 0.0;
      double labelled = std::nan("");
      while (std::optional<PlannedFile> file = plan.next()) {
        file->seeds = derive_file_seeds(5, file->modulation, file->index);
        labelled = label(test::labels_of(s, *file), "eb_n0_db");
        const Signal x = synthesize_exact_file(s, *file);
        const TransmittedSymbols sent = exact_file_symbols(s, *file);
        const double sps = s.sample_rate / file->symbol_rate;
        for (const TransmittedSymbol& t : sent.symbols) {
          if (t.instant < 20.0 * sps || t.instant > static_cast<double>(x.size()) - 1.0 - 20.0 * sps) continue;
          const Sample y(matched(x, t.instant, sps, false), matched(x, t.instant, sps, true));
          errors += std::popcount(own.labels[nearest(own.points, y)] ^ t.bits);
          bits += sent.bits_per_symbol;
        }
      }
      const double ber = errors / bits;
      double low = 0.0;  // the Eb/N0 (dB) at which theory gives the measured rate, by bisection
      double high = 15.0;
      for (int i = 0; i < 60; ++i) {
        const double mid = (low + high) / 2.0;
        (q_function(std::sqrt(2.0 * std::pow(10.0, mid / 10.0))) > ber ? low : high) = mid;
      }
      EXPECT_NEAR(low, labelled, 0.2) << name << " at " << ebn0_db << " dB: BER " << ber << " over " << bits << " bits";
    }
  }
}

}  // namespace
}  // namespace quorvin
