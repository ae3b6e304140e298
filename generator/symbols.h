#pragma once
// The symbols a digital file transmits, with their bits and instants: the truth a demodulator is
// trained and scored against. Each family computes them from the same draw its samples read.

#include <cstdint>
#include <vector>

#include "common/signal.h"
#include "generator/family.h"
#include "generator/time_base.h"

namespace quorvin {

// One transmitted symbol. `index` n is the draw's own number: symbol n is centred at u = n
// (keyed routes: u = n + 1/2, the middle of the interval it keys), u at the file's first sample
// being the start offset, so symbol 0 is the last one centred at or before it and earlier ones
// are negative.
struct TransmittedSymbol {
  std::int64_t index;
  double instant;  // where the symbol's centre falls, in (fractional) samples from the first
  std::int32_t symbol;  // the alphabet index s drawn (keyed routes: the tone, lowest first)
  Sample value;  // linear routes: the unit-energy point sent; keyed: the tone's offset h a / 2, in Rs
  std::uint64_t bits;  // the Gray label of `symbol` (see symbol_label), most significant bit first
};

struct TransmittedSymbols {
  std::int32_t bits_per_symbol = 0;  // ceil(log2 M)
  std::vector<TransmittedSymbol> symbols;  // in index order
};

// The span of a file's samples the symbols must reach, in samples of the waveform (0: the file's
// first): 0 .. (L - 1)(1 + ppm 1e-6) when a sample clock offset reads it stretched.
struct SymbolReach {
  double first = 0.0;
  double last = 0.0;
};

// The label of symbol s of a name: PSK (every order, OQPSK, Pi/4-DQPSK's phase step), ASK and
// every keyed route: the Gray code s ^ (s >> 1) of its place around the circle or along the line
// or the tones; square QAM: the Gray code of its column (I) then of its row (Q); OOK, the cross
// QAMs and APSK: s itself in binary (no Gray code fits them).
std::uint64_t symbol_label(const Waveform& w, std::int32_t s);

// Bits per symbol of an alphabet of `order`: ceil(log2 order), 0 below 2.
std::int32_t label_bits(std::int32_t order);

// Symbol periods a sample of the waveform advances over `time`: Rs/fs + drift/L.
inline double periods_per_sample(const TimeBase& time) {
  return time.drift == 0.0 ? time.step : time.step + time.drift / time.length;
}

// A digital file's instant of symbol period u, in samples of the waveform: the k with u_k = u.
double instant_of(const TimeBase& time, double u);

// The symbol periods u spanned by `reach`, lowest first.
std::pair<double, double> reach_periods(const TimeBase& time, const SymbolReach& reach);

// A family's symbols over its time base: `first` .. `last` drawn by number as the samples draw
// them, each labelled; `value` gives the point of symbol i of the run and `centre` the lag of a
// symbol's centre after its number (0 or 1/2).
struct SymbolSource {
  std::int64_t first;
  std::int64_t last;
  double centre;
};
template <class Value>
TransmittedSymbols collect_symbols(const Waveform& w, const TimeBase& time, const SymbolRun& run, const SymbolSource& source,
                                   Value value) {
  TransmittedSymbols out{label_bits(w.order), {}};
  if (source.last >= source.first) out.symbols.reserve(static_cast<std::size_t>(source.last - source.first + 1));
  const double per_sample = periods_per_sample(time);  // instant_of's, worked out once
  for (std::int64_t n = std::max(source.first, run.first); n <= source.last; ++n) {
    const auto i = static_cast<std::size_t>(n - run.first);
    if (i >= run.symbols.size()) break;
    const std::int32_t s = run.symbols[i];
    const double instant = (static_cast<double>(n) + source.centre - time.u0) / per_sample;
    out.symbols.push_back({n, instant, s, value(i, s), symbol_label(w, s)});
  }
  return out;
}

// A digital family's symbols: the checks and time base of prepare_digital, then `symbols`; none
// without a symbol seed of the file's own (the device's cannot be told), an order or samples.
using DigitalSymbols = TransmittedSymbols (*)(const Waveform&, const WaveformParameters&, std::uint64_t symbol_seed,
                                              const TimeBase&, const SymbolReach&);
TransmittedSymbols digital_symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach,
                                   DigitalSymbols symbols);

// The symbols of a waveform's family over `reach`; none for a family without symbols.
TransmittedSymbols transmitted_symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach);

}  // namespace quorvin
