// ADS-B: one aircraft's Mode S extended squitters (downlink format 17), pulse-position modulated at
// 1 Mb/s. Each squitter is the 8 us preamble (pulses at 0, 1, 3.5 and 4.5 us) and 112 bits of 1 us,
// a 1 a 0.5 us pulse in the first half of its bit and a 0 one in the second. A file is one aircraft
// drawn from its symbol seed (address, call sign, position, altitude, velocity) sending its
// identification, its even and odd airborne positions and its airborne velocity in turn, a drawn
// gap of silence before each. The symbol period is the bit: its rate is always 1 MHz. A payload the
// user gives is the 56-bit ME field (7 bytes) every squitter then carries; the address stays drawn
// and the parity is computed.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/splitmix.h"
#include "generator/family.h"
#include "generator/symbols.h"
#include "generator/time_base.h"
#include "modulation/fft.h"
#include "standards/frames.h"

namespace quorvin {
namespace {

constexpr double bit_rate = 1e6;
constexpr int preamble_bits = 8;
constexpr int message_bits = 112;
constexpr double squitter_length = preamble_bits + message_bits;  // us
// Each pulse rises and falls over 2 edge_half_width with a raised-cosine edge: 10 to 90 % in
// 0.094 us, within the 0.05 to 0.1 us a transponder's rise time may take; the 50 % points are
// the nominal 0.5 us apart, and a pulse that follows another at once joins it flat.
constexpr double edge_half_width = 0.08;  // us

constexpr FamilyRange adsb_ranges[] = {
    {.key = "squitter_gap", .label = "Squitter Gap", .unit = " us", .help = "ADS-B silence before each squitter, microseconds",
     .defaults = {20.0, 200.0}, .low = 2.0, .high = 1e6, .whole = true},
};

enum Label : std::size_t { icao, call_sign, latitude, longitude, altitude, east_velocity, north_velocity, vertical_rate, type_codes };
constexpr FrameLabel adsb_labels[] = {
    {.key = "icao_address", .label = "ICAO Address"},
    {.key = "call_sign", .label = "Call Sign"},
    {.key = "latitude", .label = "Latitude", .unit = " degrees", .type = FrameLabelType::real},
    {.key = "longitude", .label = "Longitude", .unit = " degrees", .type = FrameLabelType::real},
    {.key = "altitude", .label = "Altitude", .unit = " ft", .type = FrameLabelType::whole},
    {.key = "east_velocity", .label = "East Velocity", .unit = " kt", .type = FrameLabelType::whole},
    {.key = "north_velocity", .label = "North Velocity", .unit = " kt", .type = FrameLabelType::whole},
    {.key = "vertical_rate", .label = "Vertical Rate", .unit = " ft/min", .type = FrameLabelType::whole},
    {.key = "type_codes", .label = "Type Codes", .list = true},
};

double gap(std::span<const double> draws) { return draws.empty() ? adsb_ranges[0].defaults[0] : draws[0]; }

FrameLayout layout_of(std::span<const double> draws) {
  return {.lead = gap(draws), .period = squitter_length + gap(draws), .length = squitter_length, .edge = edge_half_width};
}

// The compact position reporting's latitude zones, NL(lat): longitude zones at a latitude, from
// the closed form with 15 latitude zones per quadrant.
int longitude_zones(double lat) {
  const double a = std::abs(lat);
  if (a == 0.0) return 59;
  if (a == 87.0) return 2;
  if (a > 87.0) return 1;
  const double nz = 15.0;
  const double c = std::cos(pi / 180.0 * a);
  const double x = 1.0 - (1.0 - std::cos(pi / (2.0 * nz))) / (c * c);
  return static_cast<int>(std::floor(2.0 * pi / std::acos(x)));
}

double modulo(double x, double y) { return x - y * std::floor(x / y); }

constexpr double cpr_scale = 131072.0;  // 2^17

// One format's (0 even, 1 odd) airborne CPR encoding of a position, and the position it stands for.
struct Cpr {
  std::uint32_t yz;
  std::uint32_t xz;
  double lat;  // Rlat, degrees
  double lon;  // degrees, -180 .. 180
};
Cpr encode_cpr(double lat, double lon, int format) {
  const double dlat = 360.0 / (60.0 - format);
  const double yz = std::floor(cpr_scale * modulo(lat, dlat) / dlat + 0.5);
  const double rlat = dlat * (yz / cpr_scale + std::floor(lat / dlat));
  const int zones = longitude_zones(rlat) - format;
  const double dlon = 360.0 / std::max(zones, 1);
  const double xz = std::floor(cpr_scale * modulo(lon, dlon) / dlon + 0.5);
  double rlon = dlon * (xz / cpr_scale + std::floor(lon / dlon));
  if (rlon >= 180.0) rlon -= 360.0;
  if (rlon < -180.0) rlon += 360.0;
  return {static_cast<std::uint32_t>(modulo(yz, cpr_scale)), static_cast<std::uint32_t>(modulo(xz, cpr_scale)), rlat, rlon};
}

// One aircraft as its squitters tell it.
struct Aircraft {
  std::uint32_t icao = 0;
  std::string call_sign;  // 8 characters, spaces after the last
  std::uint32_t category = 0;  // within set A (type code 4)
  std::uint32_t position_type = 11;  // 9 .. 18: barometric altitude, by its integrity
  std::array<Cpr, 2> cpr{};  // even, odd
  std::uint32_t altitude_code = 0;  // N: 25 N - 1000 ft
  std::int32_t east = 0;  // kt
  std::int32_t north = 0;  // kt
  std::int32_t vertical = 0;  // 64 ft/min steps, up positive
};

Aircraft draw_aircraft(std::uint64_t seed) {
  ContentDraws d{seed};
  Aircraft a;
  a.icao = static_cast<std::uint32_t>(d.whole(1, 0xFFFFFF));
  a.call_sign.clear();
  for (int i = 0; i < 3; ++i) a.call_sign.push_back(static_cast<char>('A' + d.whole(0, 25)));
  const std::int64_t digits = d.whole(1, 4);
  for (std::int64_t i = 0; i < digits; ++i) a.call_sign.push_back(static_cast<char>('0' + d.whole(0, 9)));
  a.call_sign.resize(8, ' ');
  a.category = static_cast<std::uint32_t>(d.whole(0, 7));
  a.position_type = static_cast<std::uint32_t>(d.whole(9, 18));
  // A receiver decodes a pair only where both formats' latitudes share their longitude zones:
  // positions too near a zone's edge are drawn again.
  do {
    const double lat = d.uniform(-85.0, 85.0);
    const double lon = d.uniform(-180.0, 180.0);
    a.cpr = {encode_cpr(lat, lon, 0), encode_cpr(lat, lon, 1)};
  } while (longitude_zones(a.cpr[0].lat) != longitude_zones(a.cpr[1].lat));
  a.altitude_code = static_cast<std::uint32_t>(d.whole(40, 1800));
  a.east = static_cast<std::int32_t>(d.whole(-600, 600));
  a.north = static_cast<std::int32_t>(d.whole(-600, 600));
  a.vertical = static_cast<std::int32_t>(d.whole(-60, 60));
  return a;
}

// The six-bit character set: A-Z 1..26, space 32, 0-9 48..57.
std::uint64_t character_code(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<std::uint64_t>(c - 'A' + 1);
  if (c >= '0' && c <= '9') return static_cast<std::uint64_t>(c - '0' + 48);
  return 32;
}

// The 56-bit ME fields of the four messages a file sends in turn.
std::uint64_t identification(const Aircraft& a) {
  std::uint64_t me = (std::uint64_t{4} << 51) | (std::uint64_t{a.category} << 48);
  for (int i = 0; i < 8; ++i) me |= character_code(a.call_sign[static_cast<std::size_t>(i)]) << (42 - 6 * i);
  return me;
}

std::uint64_t airborne_position(const Aircraft& a, int format) {
  // The 12-bit altitude: N's seven high bits, Q = 1 (25 ft steps), its four low bits.
  const std::uint64_t n = a.altitude_code;
  const std::uint64_t altitude = ((n >> 4) << 5) | (1U << 4) | (n & 0xF);
  const Cpr& c = a.cpr[static_cast<std::size_t>(format)];
  return (std::uint64_t{a.position_type} << 51) | (altitude << 36) | (std::uint64_t(format) << 34) |
         (std::uint64_t{c.yz} << 17) | c.xz;
}

std::uint64_t airborne_velocity(const Aircraft& a) {
  const auto sign = [](std::int32_t v) { return std::uint64_t{v < 0 ? 1U : 0U}; };
  const auto size = [](std::int32_t v) { return static_cast<std::uint64_t>(std::abs(v)) + 1; };
  // Subtype 1 (ground speed, subsonic), NACv 1, the vertical rate's source barometric, no
  // difference from the GNSS height.
  return (std::uint64_t{19} << 51) | (std::uint64_t{1} << 48) | (std::uint64_t{1} << 43) | (sign(a.east) << 42) |
         (size(a.east) << 32) | (sign(a.north) << 31) | (size(a.north) << 21) | (std::uint64_t{1} << 20) |
         (sign(a.vertical) << 19) | (size(a.vertical) << 10);
}

// The 24-bit parity of the message's first 88 bits, generator 0x1FFF409.
std::uint32_t mode_s_parity(std::uint64_t high, std::uint32_t low) {
  std::uint32_t r = 0;
  for (int i = 0; i < 88; ++i) {
    const std::uint32_t bit = i < 64 ? static_cast<std::uint32_t>(high >> (63 - i)) & 1U : (low >> (87 - i)) & 1U;
    const std::uint32_t top = ((r >> 23) & 1U) ^ bit;
    r = (r << 1) & 0xFFFFFF;
    if (top != 0) r ^= 0xFFF409;
  }
  return r;
}

using Message = std::array<std::uint8_t, message_bits>;

// A DF 17 squitter of `me`: DF 17, capability 5 (airborne), the address, ME, parity.
Message squitter(std::uint32_t icao, std::uint64_t me) {
  const std::uint64_t high = (std::uint64_t{17} << 59) | (std::uint64_t{5} << 56) | (std::uint64_t{icao} << 32) | (me >> 24);
  const auto low = static_cast<std::uint32_t>(me & 0xFFFFFF);
  const std::uint32_t parity = mode_s_parity(high, low);
  Message bits{};
  for (int i = 0; i < 64; ++i) bits[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((high >> (63 - i)) & 1U);
  for (int i = 0; i < 24; ++i) bits[static_cast<std::size_t>(64 + i)] = static_cast<std::uint8_t>((low >> (23 - i)) & 1U);
  for (int i = 0; i < 24; ++i) bits[static_cast<std::size_t>(88 + i)] = static_cast<std::uint8_t>((parity >> (23 - i)) & 1U);
  return bits;
}

constexpr std::size_t me_bytes = 7;

// A given ME field's 56 bits, its first byte the most significant.
std::uint64_t me_of(std::span<const std::uint8_t> payload) {
  std::uint64_t me = 0;
  for (const std::uint8_t b : payload) me = (me << 8) | b;
  return me;
}

// The file's four squitters, frame k sending squitters[k % 4]; with a given ME field, the same
// one four times.
struct Squitters {
  Aircraft aircraft;
  std::array<Message, 4> messages;
  std::array<std::uint64_t, 4> me;
};
Squitters squitters_of(std::uint64_t seed, const Payload* given) {
  Squitters s{draw_aircraft(seed), {}, {}};
  const Aircraft& a = s.aircraft;
  s.me = {identification(a), airborne_position(a, 0), airborne_position(a, 1), airborne_velocity(a)};
  if (given != nullptr) s.me.fill(me_of(*given));
  for (std::size_t i = 0; i < 4; ++i) s.messages[i] = squitter(a.icao, s.me[i]);
  return s;
}

std::uint32_t type_code(std::uint64_t me) { return static_cast<std::uint32_t>(me >> 51); }
std::uint64_t me_field(std::uint64_t me, int first, int width) { return (me >> (56 - first - width)) & ((std::uint64_t{1} << width) - 1); }

// The labels a given ME field tells, each where its type code and fields allow. Its bits are
// counted from 0, the type code's first.
void given_labels(std::uint64_t me, std::vector<std::optional<FrameLabelValue>>& values) {
  const std::uint32_t tc = type_code(me);
  if (tc >= 1 && tc <= 4) {
    // A character outside the six-bit set's letters, digits and space leaves no text to tell.
    std::string text;
    for (int i = 0; i < 8; ++i) {
      const auto code = static_cast<char>(me_field(me, 8 + 6 * i, 6));
      if (code >= 1 && code <= 26) text.push_back(static_cast<char>('A' + code - 1));
      else if (code >= 48 && code <= 57) text.push_back(static_cast<char>('0' + code - 48));
      else if (code == 32) text.push_back(' ');
      else return;
    }
    // Spaces pad a shorter call sign; eight of them tell none.
    if (const std::size_t last = text.find_last_not_of(' '); last != std::string::npos) values[call_sign] = text.substr(0, last + 1);
  }
  // Barometric altitude in 25 ft steps (Q = 1); the Gillham code of Q = 0 and an altitude of 0
  // (none) tell none. One position alone is no decoded position: latitude and longitude stay absent.
  const std::uint64_t altitude_code = me_field(me, 8, 12);
  if (tc >= 9 && tc <= 18 && altitude_code != 0 && (altitude_code & 0x10U) != 0) {
    const std::uint64_t n = ((altitude_code >> 5) << 4) | (altitude_code & 0xF);
    values[altitude] = std::int64_t{25} * static_cast<std::int64_t>(n) - 1000;
  }
  // Ground speed, subsonic: a component or rate of 0 is "none".
  if (tc == 19 && me_field(me, 5, 3) == 1) {
    const auto signed_value = [me](int sign_bit, int width, std::int64_t scale) -> std::optional<FrameLabelValue> {
      const auto size = static_cast<std::int64_t>(me_field(me, sign_bit + 1, width));
      if (size == 0) return std::nullopt;
      return scale * (me_field(me, sign_bit, 1) != 0 ? 1 - size : size - 1);
    };
    values[east_velocity] = signed_value(13, 10, 1);
    values[north_velocity] = signed_value(24, 10, 1);
    values[vertical_rate] = signed_value(36, 9, 64);
  }
}

// One pulse's envelope t us after its nominal start: raised-cosine edges centred on 0 and 0.5.
double pulse(double t) {
  constexpr double r = edge_half_width;
  if (t <= -r || t >= 0.5 + r) return 0.0;
  if (t < r) return 0.5 * (1.0 - std::cos(pi * (t + r) / (2.0 * r)));
  if (t > 0.5 - r) return 0.5 * (1.0 + std::cos(pi * (t - 0.5 + r) / (2.0 * r)));
  return 1.0;
}

// Whether half-microsecond chip c of a squitter holds a pulse.
bool chip_on(const Message& m, std::int64_t c) {
  if (c < 0 || c >= 2 * static_cast<std::int64_t>(squitter_length)) return false;
  if (c < 2 * preamble_bits) return c == 0 || c == 2 || c == 7 || c == 9;
  const std::int64_t bit = (c - 2 * preamble_bits) / 2;
  const bool first_half = (c % 2) == 0;
  return (m[static_cast<std::size_t>(bit)] != 0) == first_half;
}

// Half the data's pulses are on, so sqrt(2) gives the squitter's bits unit power.
const double pulse_amplitude = std::sqrt(2.0);

WaveformRange adsb_signal(const Waveform&, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  const FrameLayout layout = layout_of(p.family_draws);
  const FrameRun run = whole_frames(layout, time);
  const auto sent = std::make_shared<const Squitters>(squitters_of(seed, p.payload.get()));
  return [=](std::int64_t first, std::size_t count) {
    Signal out(count);
    for (std::size_t j = 0; j < count; ++j) {
      const std::optional<FramePlace> at = frame_at(layout, run, time.at(first + static_cast<std::int64_t>(j)));
      // Silence between squitters, the most of a file at the widest gaps, stays 0 at once.
      if (!at || at->into <= -edge_half_width || at->into >= squitter_length + edge_half_width) continue;
      const Message& m = sent->messages[static_cast<std::size_t>(at->frame % 4)];
      const auto chip = static_cast<std::int64_t>(std::floor(2.0 * at->into));
      double envelope = 0.0;
      for (std::int64_t c = chip - 1; c <= chip + 1; ++c) {
        if (chip_on(m, c)) envelope += pulse(at->into - 0.5 * static_cast<double>(c));
      }
      out[j] = Sample(pulse_amplitude * envelope, 0.0);
    }
    return out;
  };
}

// The rate is the standard's whatever the run drew.
double symbol_rate(const Waveform&, std::span<const double>, double, double) { return bit_rate; }


WaveformRange prepare(const Waveform& w, const WaveformParameters& p) { return prepare_digital(w, at_own_rate(w, p), adsb_signal); }

// The data bits of the whole frames within `reach`, each centred on its bit period: the value
// +1 for a 1 (its pulse first), -1 for a 0.
TransmittedSymbols adsb_symbols(const Waveform&, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time,
                                const SymbolReach& reach) {
  const FrameLayout layout = layout_of(p.family_draws);
  const FrameRun run = whole_frames(layout, time);
  const Squitters sent = squitters_of(seed, p.payload.get());
  TransmittedSymbols out{1, {}};
  for (std::int64_t k = run.first; k < run.first + run.count; ++k) {
    append_frame_bits(out, time, reach_periods(time, reach), frame_start(layout, k) + preamble_bits,
                      sent.messages[static_cast<std::size_t>(k % 4)], {Sample(-1.0, 0.0), Sample(1.0, 0.0)});
  }
  return out;
}

TransmittedSymbols symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach) {
  return digital_symbols(w, at_own_rate(w, p), reach, adsb_symbols);
}

std::string hex_address(std::uint32_t icao) {
  char text[8];
  std::snprintf(text, sizeof text, "%06X", static_cast<unsigned>(icao));
  return text;
}

FrameFacts frames(const Waveform& w, const WaveformParameters& given) {
  const std::optional<FramedFile> file = w.order > 0 ? framed_file(at_own_rate(w, given)) : std::nullopt;
  if (!file) return {};
  const FrameLayout layout = layout_of(given.family_draws);
  const FrameRun run = whole_frames(layout, file->time);
  FrameFacts facts{frame_spans(layout, run, file->time), std::vector<std::optional<FrameLabelValue>>(std::size(adsb_labels))};
  const Squitters sent = squitters_of(file->seed, given.payload.get());
  std::string codes;
  for (std::int64_t k = run.first; k < run.first + run.count; ++k) {
    codes += (codes.empty() ? "" : ";") + std::to_string(type_code(sent.me[static_cast<std::size_t>(k % 4)]));
  }
  if (run.count == 0) return facts;
  const Aircraft& a = sent.aircraft;
  if (given.payload) {
    facts.values[icao] = hex_address(a.icao);
    given_labels(sent.me[0], facts.values);
    facts.values[type_codes] = codes;
    return facts;
  }
  // Each field where a frame of the file tells it: the position from an even and odd pair, the
  // odd one (the later) giving it.
  const auto told = [&](std::int64_t kind) {
    for (std::int64_t k = run.first; k < run.first + run.count; ++k) {
      if (k % 4 == kind) return true;
    }
    return false;
  };
  facts.values[icao] = hex_address(a.icao);
  if (told(0)) facts.values[call_sign] = a.call_sign.substr(0, a.call_sign.find(' '));
  if (told(1) && told(2)) {
    facts.values[latitude] = a.cpr[1].lat;
    facts.values[longitude] = a.cpr[1].lon;
  }
  if (told(1) || told(2)) facts.values[altitude] = std::int64_t{25} * a.altitude_code - 1000;
  if (told(3)) {
    facts.values[east_velocity] = std::int64_t{a.east};
    facts.values[north_velocity] = std::int64_t{a.north};
    facts.values[vertical_rate] = std::int64_t{64} * a.vertical;
  }
  facts.values[type_codes] = codes;
  return facts;
}

// Symbol periods that hold `frames` whole squitters at the widest gap: the file's first instant
// may fall up to a bit into it.
double holding(const FamilyRanges& ranges, double frames) {
  const auto [a, b] = range_ends(ranges, adsb_ranges[0]);
  return frames * (std::max(a, b) + squitter_length) + edge_half_width + 1.0;
}
double shortest_file(const Waveform&, const FamilyRanges& ranges) { return holding(ranges, 1.0); }
double told_file(const Waveform&, const FamilyRanges& ranges) { return holding(ranges, 4.0); }

// The share of the squitters' power the band holds, as the other families' bands do.
constexpr double held_power = 0.995;

// The half width, Hz, about 0 Hz holding `held_power` of one pulse: the pulse train's spectrum
// lies under a pulse's, so its share holds for the squitter.
double pulse_half_band() {
  constexpr std::size_t per_us = 256;
  constexpr std::size_t n = 1 << 16;
  Signal x(n);
  for (std::size_t k = 0; k < 2 * per_us; ++k) x[k] = Sample(pulse(static_cast<double>(k) / per_us - 0.25), 0.0);
  return held_half_band(x, held_power) * static_cast<double>(per_us) * bit_rate;
}

FamilyBand band(const Waveform&, const BandLimits&) {
  static const double half = pulse_half_band();
  return {{-half, half}, "{--frequency-offset-min/max}, {--mix-frequency}"};
}

DrawnParameters draws(const Waveform&) { return {.ranges = 1U}; }

std::optional<std::string> payload_misfit(std::span<const std::uint8_t> payload, const FamilyRanges&) {
  if (payload.size() == me_bytes) return std::nullopt;
  return "is the 56-bit ME field: 7 bytes, not " + std::to_string(payload.size());
}

}  // namespace

// The band holds 99.5 % of a pulse's power within 4.45 MHz of the carrier: 10 MHz leaves room
// for a carrier offset of 0.5 MHz either way.
constexpr double standard_sample_rate = 10e6;

// A transponder's clock: 100 ppm at most, a small share of a bit over a squitter.
constexpr double transponder_clock_error = 1e-4;

const SignalFamily adsb_family{.name = "adsb", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                               .modulation_index = nullptr, .ranges = adsb_ranges, .symbol_rate = symbol_rate,
                               .symbols = symbols, .clock_error_limit = transponder_clock_error,
                               .frame_labels = adsb_labels, .frames = frames, .shortest_file = shortest_file,
                               .told_file = told_file, .sample_rate = standard_sample_rate,
                               .payload_misfit = payload_misfit};

}  // namespace quorvin
