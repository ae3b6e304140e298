// APRS: one station's position reports in AX.25 UI frames, Bell 202 AFSK (1200 Bd, a line 1 the
// mark tone of 1200 Hz, a 0 the space tone of 2200 Hz, the audio's phase continuous) on narrowband
// FM. A frame is 24 flags for the receiver to settle, then the destination, source and path
// addresses, control 0x03, PID 0xF0 and the information field ("!DDMM.mmN/DDDMM.mmW" a symbol
// and a comment), its frame check sequence, bit stuffed, then 3 flags; all NRZI on the line. The
// station (call sign, SSID, position, symbol, comment) is drawn from the file's symbol seed; the
// file repeats its frame after a drawn gap of silence while a whole one fits. A payload the user
// gives is the information field (printable ASCII) in place of the drawn position report; the
// addresses stay drawn, and the position is labelled where the field is an uncompressed one.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/phasor.h"
#include "common/text.h"
#include "generator/family.h"
#include "generator/symbols.h"
#include "generator/time_base.h"
#include "standards/frames.h"
#include "standards/hdlc.h"

namespace quorvin {
namespace {

constexpr double baud = 1200.0;
constexpr double mark = 1200.0;  // Hz
constexpr double space = 2200.0;
constexpr std::size_t leading_flags = 24;
constexpr std::size_t trailing_flags = 3;
// The carrier rises over the first half bit and falls over one bit after the last.
constexpr double tail_bits = 1.0;

constexpr std::string_view paths[] = {"none", "WIDE1-1", "WIDE2-1", "WIDE1-1,WIDE2-1", "WIDE2-2"};

constexpr FamilyRange aprs_ranges[] = {
    {.key = "aprs_gap", .label = "APRS Gap", .unit = " bits", .help = "APRS silence before each frame, bit periods",
     .defaults = {24.0, 240.0}, .low = 1.0, .high = 1e6, .whole = true},
    {.key = "aprs_deviation", .label = "APRS Deviation", .unit = " Hz", .help = "APRS FM peak deviation, Hz",
     .defaults = {2500.0, 3500.0}, .low = 500.0, .high = 5000.0},
    {.key = "aprs_path", .label = "APRS Path", .unit = "", .help = "APRS digipeater path",
     .defaults = {0.0, 4.0}, .low = 0.0, .high = 4.0, .whole = true, .choices = paths},
    {.key = "aprs_comment", .label = "APRS Comment Length", .unit = " characters", .help = "APRS comment length, characters",
     .defaults = {0.0, 20.0}, .low = 0.0, .high = 200.0, .whole = true},
};
enum Draw : std::size_t { gap, deviation, path, comment };

double draw(std::span<const double> draws, Draw i) { return i < draws.size() ? draws[i] : aprs_ranges[i].defaults[0]; }

enum Label : std::size_t { source, destination, via, info, latitude, longitude, bytes_label };
constexpr FrameLabel aprs_labels[] = {
    {.key = "aprs_source", .label = "APRS Source"},
    {.key = "aprs_destination", .label = "APRS Destination"},
    {.key = "aprs_via", .label = "APRS Via"},
    {.key = "aprs_info", .label = "APRS Information"},
    {.key = "latitude", .label = "Latitude", .unit = " degrees", .type = FrameLabelType::real},
    {.key = "longitude", .label = "Longitude", .unit = " degrees", .type = FrameLabelType::real},
    {.key = "ax25_frame", .label = "AX.25 Frame"},
};

// An address as a receiver prints it: the call sign, then "-SSID" unless the SSID is 0.
struct Address {
  std::string call;
  int ssid = 0;
};
std::string address_text(const Address& a) { return a.ssid == 0 ? a.call : a.call + "-" + std::to_string(a.ssid); }

// An address field's 7 bytes: the call sign padded with spaces to 6, each shifted up a bit, then
// the SSID byte: `top` (the C or H bit), the two reserved bits set, the SSID, and the last
// address's extension bit.
void append_address(std::vector<std::uint8_t>& out, const Address& a, bool top, bool last) {
  for (std::size_t i = 0; i < 6; ++i) out.push_back(static_cast<std::uint8_t>((i < a.call.size() ? a.call[i] : ' ') << 1));
  out.push_back(static_cast<std::uint8_t>((top ? 0x80U : 0U) | 0x60U | (static_cast<unsigned>(a.ssid) << 1) | (last ? 1U : 0U)));
}

// One station's frame as it is sent.
struct Station {
  Address from;
  Address to;
  std::vector<Address> via;
  std::string info;
  std::int64_t latitude = 0;  // 1/100 min, north positive
  std::int64_t longitude = 0;  // 1/100 min, east positive
  std::vector<std::uint8_t> frame;  // addresses to information, without the check sequence
  std::vector<std::uint8_t> levels;  // the line's, 1 the mark tone
};

// "DDMM.mmH" (latitude, 2 digits of degrees) or "DDDMM.mmH" of a value in 1/100 min.
std::string position_text(std::int64_t value, int degree_digits, char positive, char negative) {
  const std::int64_t a = std::abs(value);
  char text[48];
  std::snprintf(text, sizeof text, "%0*lld%02lld.%02lld%c", degree_digits, static_cast<long long>(a / 6000),
                static_cast<long long>(a % 6000 / 100), static_cast<long long>(a % 100), value < 0 ? negative : positive);
  return text;
}

// The characters of a position report before its comment: "!", latitude, table, longitude, symbol.
constexpr std::size_t position_characters = 20;

// A value of "DDMM.mmH" (or "DDDMM.mmH" with 3 degree digits) in 1/100 min, or nothing where the
// text is not one; `positive` and `negative` the hemispheres.
std::optional<std::int64_t> position_value(std::string_view text, std::size_t degree_digits, char positive, char negative,
                                           std::int64_t most_degrees) {
  if (text.size() != degree_digits + 6 || text[degree_digits + 2] != '.') return std::nullopt;
  // The digits either side of the point: degrees, then minutes and their hundredths.
  std::int64_t degrees = 0;
  std::int64_t hundredths = 0;
  for (std::size_t i = 0; i < degree_digits + 5; ++i) {
    if (i == degree_digits + 2) continue;
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    std::int64_t& into = i < degree_digits ? degrees : hundredths;
    into = 10 * into + (text[i] - '0');
  }
  const char hemisphere = text[degree_digits + 5];
  if ((hemisphere != positive && hemisphere != negative) || hundredths >= 6000 || degrees * 6000 + hundredths > most_degrees * 6000) {
    return std::nullopt;
  }
  const std::int64_t value = degrees * 6000 + hundredths;
  return hemisphere == positive ? value : -value;
}

// The position of an information field that opens with an uncompressed position report without a
// timestamp ("!" or "=", "DDMM.mmN", the table, "DDDMM.mmE", the symbol): latitude and longitude in
// 1/100 min; nothing for any other field.
std::optional<std::array<std::int64_t, 2>> told_position(std::string_view info) {
  if (info.size() < position_characters || (info[0] != '!' && info[0] != '=')) return std::nullopt;
  const auto lat = position_value(info.substr(1, 8), 2, 'N', 'S', 90);
  const auto lon = position_value(info.substr(10, 9), 3, 'E', 'W', 180);
  if (!lat || !lon) return std::nullopt;
  return std::array<std::int64_t, 2>{*lat, *lon};
}

Station draw_station(std::uint64_t seed, std::span<const double> draws, const Payload* given) {
  ContentDraws d{seed};
  Station s;
  // A call sign: one or two letters, a digit, one to three letters.
  const auto letter = [&d] { return static_cast<char>('A' + d.whole(0, 25)); };
  const std::int64_t prefix = d.whole(1, 2);
  for (std::int64_t i = 0; i < prefix; ++i) s.from.call.push_back(letter());
  s.from.call.push_back(static_cast<char>('0' + d.whole(0, 9)));
  const std::int64_t suffix = d.whole(1, 3);
  for (std::int64_t i = 0; i < suffix; ++i) s.from.call.push_back(letter());
  s.from.ssid = static_cast<int>(d.whole(0, 15));
  // An experimental software's destination: APZ and three digits.
  s.to.call = "APZ";
  for (int i = 0; i < 3; ++i) s.to.call.push_back(static_cast<char>('0' + d.whole(0, 9)));
  const std::string_view chosen = paths[static_cast<std::size_t>(std::clamp(draw(draws, path), 0.0, 4.0))];
  if (chosen != "none") {
    for (std::size_t at = 0; at < chosen.size();) {
      const std::size_t end = std::min(chosen.find(',', at), chosen.size());
      const std::string_view hop = chosen.substr(at, end - at);
      const std::size_t dash = hop.find('-');
      s.via.push_back({std::string(hop.substr(0, dash)), hop[dash + 1] - '0'});
      at = end + 1;
    }
  }
  s.latitude = d.whole(-539999, 539999);
  s.longitude = d.whole(-1079999, 1079999);
  constexpr std::string_view symbols = "->[k<bYjv";
  s.info = "!" + position_text(s.latitude, 2, 'N', 'S') + "/" + position_text(s.longitude, 3, 'E', 'W') +
           symbols[static_cast<std::size_t>(d.whole(0, static_cast<std::int64_t>(symbols.size()) - 1))];
  // The comment's last character is no space, which receivers may trim.
  constexpr std::string_view set = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 .-/";
  const auto count = static_cast<std::int64_t>(draw(draws, comment));
  for (std::int64_t i = 0; given == nullptr && i < count; ++i) {
    s.info.push_back(set[static_cast<std::size_t>(d.whole(0, static_cast<std::int64_t>(set.size()) - (i + 1 == count ? 5 : 1)))]);
  }
  if (given != nullptr) s.info.assign(given->begin(), given->end());
  // Destination (a command: its C bit set), source, the path's addresses; then UI and no layer 3.
  append_address(s.frame, s.to, true, false);
  append_address(s.frame, s.from, false, s.via.empty());
  for (std::size_t i = 0; i < s.via.size(); ++i) append_address(s.frame, s.via[i], false, i + 1 == s.via.size());
  s.frame.push_back(0x03);
  s.frame.push_back(0xF0);
  s.frame.insert(s.frame.end(), s.info.begin(), s.info.end());
  std::vector<std::uint8_t> bits;
  append_flags(bits, leading_flags);
  append_stuffed_frame(bits, s.frame);
  append_flags(bits, trailing_flags);
  s.levels = nrzi_levels(bits, 1);
  return s;
}

// A frame, its layout, and at the start of each bit the audio's phase and the carrier's (radians).
struct Sent {
  Station station;
  FrameLayout layout;
  std::vector<double> audio;
  std::vector<double> carrier;
  double deviation = 0.0;  // Hz
  // Within bit n the carrier's phase is base[n] - scale[n] cos(audio[n] + step[n] (u - n)).
  std::vector<double> step;
  std::vector<double> scale;
  std::vector<double> base;
};

double tone(std::uint8_t level) { return level != 0 ? mark : space; }

// The carrier's phase turns by 2 pi deviation times the audio's integral: over a stretch of one
// tone f from audio phase a, (deviation / f) (cos a - cos(a + 2 pi f t)).
double carrier_turn(double deviation, double f, double audio_from, double audio_to) {
  return deviation / f * (std::cos(audio_from) - std::cos(audio_to));
}

Sent sent_of(std::uint64_t seed, std::span<const double> draws, const Payload* given) {
  Sent s{draw_station(seed, draws, given), {}, {}, {}, draw(draws, deviation), {}, {}, {}};
  const double length = static_cast<double>(s.station.levels.size()) + tail_bits;
  s.layout = {.lead = draw(draws, gap), .period = draw(draws, gap) + length, .length = length, .edge = 0.0};
  const std::size_t n = s.station.levels.size();
  s.audio.assign(n + 1, 0.0);
  s.carrier.assign(n + 1, 0.0);
  for (std::size_t k = 0; k < n; ++k) {
    const double f = tone(s.station.levels[k]);
    // Kept within a turn, so a long frame's phases keep their precision.
    s.audio[k + 1] = std::remainder(s.audio[k] + 2.0 * pi * f / baud, 2.0 * pi);
    s.carrier[k + 1] = std::remainder(s.carrier[k] + carrier_turn(s.deviation, f, s.audio[k], s.audio[k] + 2.0 * pi * f / baud), 2.0 * pi);
  }
  for (std::size_t k = 0; k < n; ++k) {
    const double f = tone(s.station.levels[k]);
    s.step.push_back(2.0 * pi * f / baud);
    s.scale.push_back(s.deviation / f);
    s.base.push_back(s.carrier[k] + s.scale[k] * std::cos(s.audio[k]));
  }
  return s;
}

WaveformRange aprs_signal(const Waveform&, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  const auto sent = std::make_shared<const Sent>(sent_of(seed, p.family_draws, p.payload.get()));
  const FrameRun run = whole_frames(sent->layout, time);
  const auto bits = static_cast<double>(sent->station.levels.size());
  return [=](std::int64_t first, std::size_t count) {
    // Per sample: the audio's angle, then the carrier's as base - scale cos(audio), each angle's
    // phasor from the polynomials, which give the same bits wherever a sample stands in a range.
    constexpr std::uint32_t silent = ~std::uint32_t{0};
    std::vector<double> angle(count, 0.0);
    std::vector<std::uint32_t> bit(count, silent);
    bool ramps = false;
    for (std::size_t j = 0; j < count; ++j) {
      const std::optional<FramePlace> at = frame_at(sent->layout, run, time.at(first + static_cast<std::int64_t>(j)));
      if (!at || at->into < 0.0 || at->into >= sent->layout.length) continue;
      // Past the last bit its tone runs on while the carrier falls.
      const auto n = static_cast<std::size_t>(std::min(std::floor(at->into), bits - 1.0));
      angle[j] = sent->audio[n] + sent->step[n] * (at->into - static_cast<double>(n));
      bit[j] = static_cast<std::uint32_t>(n);
      ramps = ramps || at->into < 0.5 || at->into > bits;
    }
    Signal out(count);
    unit_phasors(angle, out, PhasorMath::polynomial);
    for (std::size_t j = 0; j < count; ++j) {
      if (bit[j] != silent) angle[j] = sent->base[bit[j]] - sent->scale[bit[j]] * out[j].real();
    }
    unit_phasors(angle, out, PhasorMath::polynomial);
    for (std::size_t j = 0; j < count; ++j) {
      if (bit[j] == silent) out[j] = 0.0;
    }
    if (!ramps) return out;
    // The carrier's rise over the first half bit and fall after the last.
    for (std::size_t j = 0; j < count; ++j) {
      if (bit[j] == silent) continue;
      const double into = frame_at(sent->layout, run, time.at(first + static_cast<std::int64_t>(j)))->into;
      if (into < 0.5) out[j] *= std::sin(pi * into);
      if (into > bits) out[j] *= std::cos(0.5 * pi * (into - bits) / tail_bits);
    }
    return out;
  };
}

double symbol_rate(const Waveform&, std::span<const double>, double, double) { return baud; }


WaveformRange prepare(const Waveform& w, const WaveformParameters& p) { return prepare_digital(w, at_own_rate(w, p), aprs_signal); }

// Every line bit of the whole frames within `reach`, flags included: the symbol is the line level
// (1 the mark), its value the audio tone in bauds.
TransmittedSymbols aprs_symbols(const Waveform&, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time,
                                const SymbolReach& reach) {
  const Sent sent = sent_of(seed, p.family_draws, p.payload.get());
  return frame_line_bits(sent.layout, whole_frames(sent.layout, time), time, reach, sent.station.levels,
                         [](std::uint8_t level) { return Sample(tone(level) / baud, 0.0); });
}

TransmittedSymbols symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach) {
  return digital_symbols(w, at_own_rate(w, p), reach, aprs_symbols);
}

std::string hex_text(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t b : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(b));
    text += pair;
  }
  return text;
}

FrameFacts frames(const Waveform& w, const WaveformParameters& given) {
  const std::optional<FramedFile> file = w.order > 0 ? framed_file(at_own_rate(w, given)) : std::nullopt;
  if (!file) return {};
  const Sent sent = sent_of(file->seed, given.family_draws, given.payload.get());
  const FrameRun run = whole_frames(sent.layout, file->time);
  FrameFacts facts{frame_spans(sent.layout, run, file->time), std::vector<std::optional<FrameLabelValue>>(std::size(aprs_labels))};
  if (run.count == 0) return facts;
  const Station& s = sent.station;
  facts.values[source] = address_text(s.from);
  facts.values[destination] = address_text(s.to);
  std::string hops;
  for (const Address& a : s.via) hops += (hops.empty() ? "" : ",") + address_text(a);
  if (!hops.empty()) facts.values[via] = hops;
  facts.values[info] = s.info;
  // A given field tells a position only where it is one.
  const std::optional<std::array<std::int64_t, 2>> position =
      given.payload ? told_position(s.info) : std::array<std::int64_t, 2>{s.latitude, s.longitude};
  if (position) {
    facts.values[latitude] = static_cast<double>((*position)[0]) / 6000.0;
    facts.values[longitude] = static_cast<double>((*position)[1]) / 6000.0;
  }
  // The frame between its flags as a receiver takes it: its bytes and check sequence, low byte first.
  std::vector<std::uint8_t> whole = s.frame;
  const std::uint16_t fcs = hdlc_fcs(s.frame);
  whole.push_back(static_cast<std::uint8_t>(fcs & 0xFFU));
  whole.push_back(static_cast<std::uint8_t>(fcs >> 8));
  facts.values[bytes_label] = hex_text(whole);
  return facts;
}

// Bits a frame of the longest comment and path sends, most stuffed: every sixth bit.
double most_frame_bits(const FamilyRanges& ranges) {
  const auto [c0, c1] = range_ends(ranges, aprs_ranges[comment]);
  const auto [p0, p1] = range_ends(ranges, aprs_ranges[path]);
  const double hops = std::max(p0, p1) >= 3.0 ? 2.0 : (std::max(p0, p1) >= 1.0 ? 1.0 : 0.0);
  const double bytes = 7.0 * (2.0 + hops) + 2.0 + 20.0 + std::max(c0, c1) + 2.0;
  return 8.0 * static_cast<double>(leading_flags + trailing_flags) + std::ceil(8.0 * bytes * 6.0 / 5.0);
}

// Bit periods a file needs for one whole frame at the widest draws: the gap, the frame, the
// carrier's fall and up to a bit of start.
double shortest_file(const Waveform&, const FamilyRanges& ranges) {
  const auto [a, b] = range_ends(ranges, aprs_ranges[gap]);
  return std::max(a, b) + most_frame_bits(ranges) + tail_bits + 1.0;
}

// Its band: FM of the two tones at the widest deviation holds 99.5 % of its power within the
// deviation and 3 kHz more (measured over random bits: 1.3 to 2.8 kHz more from 0.5 to 5 kHz).
FamilyBand band(const Waveform&, const BandLimits& x) {
  const FamilyRanges given = x.family_ranges != nullptr ? *x.family_ranges : FamilyRanges{};
  const auto [a, b] = range_ends(given, aprs_ranges[deviation]);
  const double half = std::max(a, b) + 3000.0;
  return {{-half, half}, "{--aprs-deviation-max}, {--frequency-offset-min/max}, {--mix-frequency}"};
}

DrawnParameters draws(const Waveform&) { return {.ranges = 0b1111U}; }

// A given field fits where it is no longer than the longest the ranges draw, so the files the run
// is sized for hold its frame.
std::optional<std::string> payload_misfit(std::span<const std::uint8_t> field, const FamilyRanges& ranges) {
  if (field.empty()) return std::string("is the information field: 1 character or more, not none");
  if (std::any_of(field.begin(), field.end(), [](std::uint8_t c) { return c < 0x20 || c > 0x7E; })) {
    return std::string("is the information field: printable ASCII characters (20 to 7E)");
  }
  const auto [c0, c1] = range_ends(ranges, aprs_ranges[comment]);
  const double most = static_cast<double>(position_characters) + std::max(c0, c1);
  if (static_cast<double>(field.size()) <= most) return std::nullopt;
  return "of " + std::to_string(field.size()) + " characters is longer than the " + shortest_text(most) +
         " a position report with the longest comment of {--aprs-comment-max} holds: raise it";
}

// The comment's length is the field's characters beyond a position report's (0 for fewer).
void payload_draws(std::span<const std::uint8_t> field, std::span<double> draws) {
  draws[comment] = static_cast<double>(field.size() > position_characters ? field.size() - position_characters : 0);
}

// 6.5 kHz either side at 3.5 kHz: 22050 Hz, an audio rate, leaves room for a carrier offset of 4 kHz.
constexpr double standard_sample_rate = 22050.0;

}  // namespace

// A station's audio clock: 100 ppm at most.
constexpr double station_clock_error = 1e-4;

const SignalFamily aprs_family{.name = "aprs", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                               .modulation_index = nullptr, .ranges = aprs_ranges, .symbol_rate = symbol_rate,
                               .symbols = symbols, .clock_error_limit = station_clock_error,
                               .frame_labels = aprs_labels, .frames = frames, .shortest_file = shortest_file,
                               .told_file = shortest_file, .sample_rate = standard_sample_rate,
                               .payload_misfit = payload_misfit, .payload_draws = payload_draws};

}  // namespace quorvin
