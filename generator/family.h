#pragma once
// The exact model's signal families. A name is resolved once into a Waveform: its catalogue row,
// its order and variant, and the family module that makes its samples, sizes its band and says
// which drawn parameters it reads. Nothing downstream looks the name up again.
//
// Adding a family: a file generator/family_<name>.cpp defining one SignalFamily, its FamilyId in
// modulation/catalogue.h and its line in family_of (family.cpp), then one catalogue row per name.

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "channel/random.h"
#include "common/phasor.h"
#include "common/signal.h"
#include "generator/route.h"
#include "generator/waveform.h"
#include "modulation/catalogue.h"

namespace quorvin {

// A file's clean waveform made ready once (its symbols drawn and mapped), evaluated over any range
// of its samples: (first, count) gives samples first .. first + count - 1, where 0 is the file's
// first sample and negative ones are margin before it. A range gives the same values, to the bit,
// as the same samples of the whole. It may keep what it made last for its next call, so one
// range serves one thread at a time.
using WaveformRange = std::function<Signal(std::int64_t first, std::size_t count)>;

struct SignalFamily;
struct TransmittedSymbols;

// A payload's bytes, in the order the standard's own text sets them out (see each family).
using Payload = std::vector<std::uint8_t>;
struct SymbolReach;

// Where among a file's draws a family's range is drawn. The draws' order decides which file gets
// which values, so a value keeps the place it was first drawn at.
enum class RangeSlot : std::uint8_t {
  last,     // after every other draw of the file
  symbols,  // a digital file's, before its frame's start offset
  message,  // an analog file's, after its message frequency
};

// A value a family draws per file from a range of its own, declared once in the family's file:
// the run's two options ("--<key>-min", "--<key>-max"; Python's keyword <key>, a (min, max)
// pair), the draw and the file's label all follow from this record.
struct FamilyRange {
  std::string_view key;    // the label's key and the Python keyword: "cyclic_prefix"
  std::string_view label;  // the settings file's label: "Cyclic Prefix"
  std::string_view unit = {};  // appended to the settings file's value: " samples"
  std::string_view help = {};  // what is drawn, for the options' help: "cyclic prefix, fraction of N"
  std::array<double, 2> defaults = {};
  double low = 0.0;  // accepted values of either end: low .. high
  double high = 0.0;
  bool open_low = false;  // low itself refused
  bool whole = false;     // whole numbers, drawn uniformly among those between the ends
  // A choice from a list: the drawn whole number indexes these names, and the label is the name.
  std::span<const std::string_view> choices = {};
  // Off while both ends are 0 (its defaults): then not drawn, so runs without it keep their draws.
  bool off_at_zero = false;
  // The values older than the family modules keep their places: where they are drawn, the label
  // they are told after (their manifest column there too; empty: after every other label, the
  // column last; a range without a `label` is told by another, the keyed family's modulation
  // index), the option their two follow (empty: after every other) and their options' own help
  // (empty: "lowest <help> drawn", "highest <help> drawn").
  RangeSlot slot = RangeSlot::last;
  std::string_view labelled_after = {};
  std::string_view options_after = {};
  std::array<std::string_view, 2> helps = {};
  // Drawn and labelled only with this pulse (the run's); none: with any.
  std::optional<PulseShape> pulse = std::nullopt;
};

// The ranges of `ranges` drawn at `slot`: bit i for ranges[i].
std::uint32_t ranges_at(std::span<const FamilyRange> ranges, RangeSlot slot);

// Range i's draw in `draws`, else its default (a file made without its family's draws).
double range_draw(std::span<const FamilyRange> ranges, std::span<const double> draws, std::size_t i);

// The run's ends of the families' ranges, by key; a key without an entry draws its defaults.
using FamilyRanges = std::map<std::string, std::array<double, 2>, std::less<>>;

// The ends of `range` in `given`, else its defaults.
std::array<double, 2> range_ends(const FamilyRanges& given, const FamilyRange& range);

// A name as the exact model makes it.
struct Waveform {
  const SignalFamily* family = nullptr;  // nothing: the name makes no samples
  const ModulationRow* row = nullptr;    // nothing for a "QAM<n>" or "APSK<n>" outside the table
  Route variant = Route::cw;
  std::int32_t order = 0;  // symbols of a digital name; 0 for analog ones and unusable orders
  ApskRings rings;
  std::exception_ptr fault;  // why a name's order cannot be read; thrown when its samples are asked for
};

// The draws one file's samples are made from; each family reads its own. Hz, Baud, radians.
struct WaveformParameters {
  double sample_rate = 0.0;
  std::int64_t num_samples = 0;  // the file's length
  // Extra samples made before sample 0 and after the file's last, on the same time base.
  std::size_t pad_before = 0;
  std::size_t pad_after = 0;
  // Digital families.
  double symbol_rate = 0.0;
  double start_offset = 0.0;  // symbol periods between symbol 0's instant and sample 0
  double timing_error = 0.0;  // symbol periods of linear clock drift over the file
  PulseShape pulse = PulseShape::rrc;
  std::int32_t filter_span = 10;  // symbols; the pulse is truncated to +-span/2
  std::optional<Seed> symbol_seed = std::nullopt;  // none: the device's
  // The family's own ranges' draws, one per FamilyRange in its order (0 where not drawn).
  std::span<const double> family_draws = {};
  // A standard's payload the user gave, sent in every frame in place of the drawn one; none: drawn.
  std::shared_ptr<const Payload> payload = nullptr;
  // The analog family.
  double amplitude = 0.0;  // of the carrier (AM, FM, CW) or of the single sideband's tone
  double carrier_frequency = 0.0;
  double message_frequency = 0.0;
  double deviation = 0.0;  // FM's peak frequency deviation
  double message_phase = 0.0;  // at t = 0
  Sideband sideband = Sideband::lower;
  // How the analog names carrying amplitude turn their angles into samples (the phase-only names,
  // keyed and FM, always take the polynomial phasors).
  PhasorMath phasors = PhasorMath::library;
};

// The widest values a run may draw, for the band check; a family reads its own.
struct BandLimits {
  double symbol_rate = 0.0;
  PulseShape pulse = PulseShape::rrc;
  double message_frequency = 0.0;
  double deviation = 0.0;
  std::optional<Sideband> sideband = std::nullopt;  // nothing: either side may be drawn
  const FamilyRanges* family_ranges = nullptr;  // the run's; nothing: every range's defaults
  double sample_rate = 0.0;  // Hz, for bands drawn as a fraction of it
};

// The band a signal occupies around its centre (0 Hz for a digital one, its carrier for an
// analog one), Hz, and the options that name the values it grows with, for the refusal message.
struct BandEdges {
  double low = 0.0;
  double high = 0.0;
};
struct FamilyBand {
  BandEdges edges;
  std::string options;  // the options to narrow, each marked {--name} for the front end to name
};

// Which of a file's drawn values a family's waveform reads (each also labels the file).
struct DrawnParameters {
  bool pulse = false;  // symbols through a pulse: its shape and span labels
  bool message = false;  // message frequency and phase
  bool sideband = false;
  bool deviation = false;
  std::uint32_t ranges = 0;  // bit i: the family's ranges[i]
};

// What a standard's frames carry, told per file: an address, a call sign, a message. Declared once
// in the family's file; its values are text, real or whole numbers (a list: numbers joined by ';').
enum class FrameLabelType { text, real, whole };
using FrameLabelValue = std::variant<std::string, double, std::int64_t>;
struct FrameLabel {
  std::string_view key;    // the label's key: "icao_address"
  std::string_view label;  // the settings file's label: "ICAO Address"
  std::string_view unit = {};
  FrameLabelType type = FrameLabelType::text;
  bool list = false;
};

// A file's whole frames and what they carry: each frame's first and last instant (samples of the
// waveform, 0 its first), and one value per FrameLabel of the family, none where the file has none.
struct FrameFacts {
  std::vector<std::array<double, 2>> spans;
  std::vector<std::optional<FrameLabelValue>> values;
};

// One family module.
struct SignalFamily {
  std::string_view name;
  // Analog: a carrier of its own, drawn per file; the run's analog draws and labels.
  bool analog;
  // The waveform of `p` as ranges. Throws std::invalid_argument for a negative length or a rate
  // that is not positive and finite, std::length_error past the per-file ceiling.
  WaveformRange (*prepare)(const Waveform&, const WaveformParameters& p);
  // Its band for the widest draws of `limits`.
  FamilyBand (*band)(const Waveform&, const BandLimits& limits);
  DrawnParameters (*draws)(const Waveform&);
  // The modulation index h of a keyed name (from its draws, one per FamilyRange, where it draws
  // one); nullptr for a family without one.
  double (*modulation_index)(const Waveform&, std::span<const double> draws);
  // Values of its own drawn per file, at most 32; `draws` says which a name reads.
  std::span<const FamilyRange> ranges = {};
  // No signal at all: the file is the receiver's noise alone (its SNR minus infinity).
  bool silent = false;
  // A family whose symbol period follows from its own draws (an OFDM symbol, a chirp): the rate
  // it realises, Baud, from `draws` (its ranges' values) and the sample rate; `drawn` is the
  // run's drawn symbol rate. nullptr: the drawn rate.
  double (*symbol_rate)(const Waveform&, std::span<const double> draws, double sample_rate, double drawn) = nullptr;
  // Bits one symbol carries where its alphabet is drawn per file; nullptr: log2 of the order.
  double (*bits_per_symbol)(const Waveform&, std::span<const double> draws) = nullptr;
  // Labels its draws make (an FFT size, a spacing): each one's key, label, unit and whole, and
  // `derive` writing their values in this order from the draws and the sample rate (Hz).
  std::span<const FamilyRange> derived = {};
  void (*derive)(const Waveform&, std::span<const double> draws, double sample_rate, std::span<double> values) = nullptr;
  // The symbols that reach the samples of `reach` (generator/symbols.h), from the draw the
  // samples read; nullptr for a family without symbols.
  TransmittedSymbols (*symbols)(const Waveform&, const WaveformParameters& p, const SymbolReach& reach) = nullptr;
  // The largest clock error, relative, that the timing error may make: a drift of a tenth of a
  // symbol over a frame shorter than one symbol would run the clock many times too fast, and its
  // sizes in samples (an FFT length, a sweep) would no longer be the labels'. The drawn timing
  // error is held to this share of the file's symbols. 0: no bound.
  double clock_error_limit = 0.0;
  // A standard's frames: what the file `p` makes carries, from the draw its samples read, and the
  // labels that tell it; nullptr for a family of random symbols.
  std::span<const FrameLabel> frame_labels = {};
  FrameFacts (*frames)(const Waveform&, const WaveformParameters& p) = nullptr;
  // Symbol periods a file needs to hold one whole frame at the widest of `ranges` (the run's; an
  // absent key its defaults); 0: any length.
  double (*shortest_file)(const Waveform&, const FamilyRanges& ranges) = nullptr;
  // Symbol periods a file needs to tell every kind of its frames (a full cycle) at the widest of
  // `ranges`: the length a run that gives none gets; nullptr: the run's.
  double (*told_file)(const Waveform&, const FamilyRanges& ranges) = nullptr;
  // The sample rate a run that gives none gets, Hz: one whose band holds the frames; 0: the run's.
  double sample_rate = 0.0;
  // A standard whose payload the user may give: why `payload` cannot be sent within the run's
  // `ranges` (the words after "the payload"), or nothing; nullptr: no payload may be given.
  std::optional<std::string> (*payload_misfit)(std::span<const std::uint8_t> payload, const FamilyRanges& ranges) = nullptr;
  // Sets the draws a given payload decides (its length, its kind) to the payload's, so their
  // labels tell what is sent; nullptr: none does.
  void (*payload_draws)(std::span<const std::uint8_t> payload, std::span<double> draws) = nullptr;
  // An analog family's carrier amplitude that gives its file unit nominal power, from its draws
  // (one per FamilyRange); nullptr: 1.
  double (*carrier_amplitude)(const Waveform&, std::span<const double> draws) = nullptr;
};

extern const SignalFamily linear_family;  // PSK, QAM, APSK, ASK, OOK, OQPSK, Pi/4-DQPSK
extern const SignalFamily keyed_family;   // FSK, GFSK, MSK, GMSK of any order
extern const SignalFamily analog_family;  // AM, AM-SSB, AM-DSB-SC, AM-LSB, AM-USB, FM, CW
extern const SignalFamily noise_family;   // Noise
extern const SignalFamily ofdm_family;    // OFDM-<active subcarriers>
extern const SignalFamily chirp_family;   // LFM-radar, LFM-data, CSS
// The field's standard emitters, in standards/.
extern const SignalFamily adsb_family;    // ADS-B: Mode S extended squitters
extern const SignalFamily pocsag_family;  // POCSAG: pages
extern const SignalFamily ais_family;     // AIS: class A position reports
extern const SignalFamily aprs_family;    // APRS: AX.25 position reports on AFSK and FM
extern const SignalFamily ble_family;     // BLE: LE advertising packets
extern const SignalFamily wifi_family;    // 802.11a/g: legacy OFDM PPDUs

// The module of a family.
const SignalFamily& family_of(FamilyId id);

// Every family module, in FamilyId order.
std::span<const SignalFamily* const> signal_families();

// A name resolved: its row, else the "QAM<n>" and "APSK<n>" prefix rules; a name that routes
// nowhere has no family. Never throws: an order that cannot be read is kept as `fault`.
Waveform resolve_waveform(std::string_view name);

// An analog variant outside any name (am, am_ssb, fm or cw).
Waveform analog_waveform(Route variant);

// Whether the name's samples are the analog family's.
inline bool is_analog(const Waveform& w) { return w.family != nullptr && w.family->analog; }

// Whether the name makes no signal (Noise): no symbols, no carrier, only the receiver's noise.
inline bool is_silent(const Waveform& w) { return w.family != nullptr && w.family->silent; }

// Whether the name's samples carry symbols (its family is neither analog nor silent).
inline bool is_digital(const Waveform& w) { return w.family != nullptr && !w.family->analog && !w.family->silent; }

// Whether the name's family tells the symbols it sends; a name of one symbol value (LFM-radar's
// pulses) sends nothing to tell.
inline bool tells_symbols(const Waveform& w) { return is_digital(w) && w.family->symbols != nullptr && w.order > 1; }

// `p` at the symbol rate its family's own draws give (its `symbol_rate`), whatever the run drew;
// unchanged for a family whose rate is the run's.
inline WaveformParameters at_own_rate(const Waveform& w, WaveformParameters p) {
  if (w.family != nullptr && w.family->symbol_rate != nullptr) {
    p.symbol_rate = w.family->symbol_rate(w, p.family_draws, p.sample_rate, p.symbol_rate);
  }
  return p;
}

// The waveform's ranges: its family's; empty ranges without a family, or its fault thrown.
WaveformRange prepare_waveform(const Waveform& w, const WaveformParameters& p);

// What a family reads, none without a family.
DrawnParameters drawn_parameters(const Waveform& w);

// Bits one symbol of a digital name carries with the file's family draws (`draws`, one per
// FamilyRange): its family's count where the alphabet is drawn, else log2 of the order; 0 for a
// name without symbols. The Eb/N0 draw and the Eb/N0 label both read it.
double waveform_bits_per_symbol(const Waveform& w, std::span<const double> draws);

}  // namespace quorvin
