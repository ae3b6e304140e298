// AIS: one ship's class A position reports (message 1, 2 or 3) in bursts of one slot: GMSK of BT
// 0.4 and modulation index 0.5 at 9600 b/s. A burst is 8 bits of ramp and 24 of training (both
// alternating 0 and 1), the start flag, the 168-bit report and its frame check sequence, bit
// stuffed, the end flag, all NRZI on the line, then 8 bits of ramp down: within the slot's 256
// bits, as a transmitter keeps it by sending at most 4 stuffed bits. The ship (MMSI, position,
// course, speed, heading) is drawn from the file's symbol seed; the file repeats its report after
// a drawn number of silent slots. A payload the user gives is the 168-bit message itself (21 bytes,
// its first bit the type's most significant): a position report, type 1, 2 or 3, whose stuffing
// the slot holds; the labels are decoded from it.

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "common/phasor.h"
#include "generator/family.h"
#include "generator/symbols.h"
#include "generator/time_base.h"
#include "modulation/keying.h"
#include "standards/frames.h"
#include "standards/hdlc.h"

namespace quorvin {
namespace {

constexpr double bit_rate = 9600.0;
constexpr double bandwidth_time = 0.4;
constexpr std::size_t slot_bits = 256;
constexpr std::size_t ramp_bits = 8;
constexpr std::size_t training_bits = 24;
constexpr std::size_t report_bytes = 21;  // 168 bits
constexpr std::size_t most_stuffed_bits = 4;

constexpr std::string_view message_types[] = {"1", "2", "3"};

constexpr FamilyRange ais_ranges[] = {
    {.key = "ais_gap", .label = "AIS Gap", .unit = " slots", .help = "AIS silent slots (256 bits) before each burst",
     .defaults = {1.0, 4.0}, .low = 0.0, .high = 2250.0, .whole = true},
    {.key = "ais_message", .label = "AIS Message", .unit = "", .help = "AIS position report's message type",
     .defaults = {0.0, 2.0}, .low = 0.0, .high = 2.0, .whole = true, .choices = message_types},
};
enum Draw : std::size_t { gap, kind };

double draw(std::span<const double> draws, Draw i) { return i < draws.size() ? draws[i] : ais_ranges[i].defaults[0]; }

enum Label : std::size_t { type, mmsi, status, latitude, longitude, speed, course, heading, payload };
constexpr FrameLabel ais_labels[] = {
    {.key = "ais_message_type", .label = "AIS Message Type", .type = FrameLabelType::whole},
    {.key = "mmsi", .label = "MMSI", .type = FrameLabelType::whole},
    {.key = "navigation_status", .label = "Navigation Status", .type = FrameLabelType::whole},
    {.key = "latitude", .label = "Latitude", .unit = " degrees", .type = FrameLabelType::real},
    {.key = "longitude", .label = "Longitude", .unit = " degrees", .type = FrameLabelType::real},
    {.key = "speed_over_ground", .label = "Speed Over Ground", .unit = " kn", .type = FrameLabelType::real},
    {.key = "course_over_ground", .label = "Course Over Ground", .unit = " degrees", .type = FrameLabelType::real},
    {.key = "true_heading", .label = "True Heading", .unit = " degrees", .type = FrameLabelType::whole},
    {.key = "ais_payload", .label = "AIS Payload"},
};

// One position report's fields, in the units the message carries.
struct Report {
  std::int64_t type = 1;
  std::int64_t mmsi = 0;
  std::int64_t status = 0;
  std::int64_t turn = 0;  // rate of turn indicator, -126 .. 126
  std::int64_t speed = 0;  // 1/10 kn
  std::int64_t accuracy = 0;
  std::int64_t longitude = 0;  // 1/10000 min
  std::int64_t latitude = 0;
  std::int64_t course = 0;  // 1/10 degree
  std::int64_t heading = 0;  // degrees
  std::int64_t second = 0;
  std::int64_t radio = 0;  // the communication state, 19 bits
};

// The report's 168 bits, most significant first, packed into bytes from each byte's top bit: the
// order HDLC then sends least significant first within each byte.
std::array<std::uint8_t, report_bytes> report_bytes_of(const Report& r) {
  std::array<std::uint8_t, report_bytes> bytes{};
  std::size_t at = 0;
  const auto put = [&](std::int64_t value, int width) {
    const auto v = static_cast<std::uint64_t>(value);
    for (int i = width - 1; i >= 0; --i, ++at) {
      if (((v >> i) & 1U) != 0) bytes[at / 8] = static_cast<std::uint8_t>(bytes[at / 8] | (0x80U >> (at % 8)));
    }
  };
  put(r.type, 6);
  put(0, 2);  // repeat indicator
  put(r.mmsi, 30);
  put(r.status, 4);
  put(r.turn, 8);
  put(r.speed, 10);
  put(r.accuracy, 1);
  put(r.longitude, 28);
  put(r.latitude, 27);
  put(r.course, 12);
  put(r.heading, 9);
  put(r.second, 6);
  put(0, 2);  // no special manoeuvre
  put(0, 3);  // spare
  put(0, 1);  // RAIM off
  put(r.radio, 19);
  return bytes;
}

// A message's field of `width` bits from bit `first` (0 the type's first), two's complement where
// `signed_field`.
std::int64_t field_of(std::span<const std::uint8_t> bytes, std::size_t first, int width, bool signed_field = false) {
  std::uint64_t v = 0;
  for (std::size_t i = first; i < first + static_cast<std::size_t>(width); ++i) v = (v << 1) | ((static_cast<unsigned>(bytes[i / 8]) >> (7U - static_cast<unsigned>(i % 8))) & 1U);
  if (signed_field && ((v >> (width - 1)) & 1U) != 0) return static_cast<std::int64_t>(v) - (std::int64_t{1} << width);
  return static_cast<std::int64_t>(v);
}

// The report a message's bytes carry (the inverse of report_bytes_of).
Report report_of(std::span<const std::uint8_t> bytes) {
  return {.type = field_of(bytes, 0, 6),
          .mmsi = field_of(bytes, 8, 30),
          .status = field_of(bytes, 38, 4),
          .turn = field_of(bytes, 42, 8, true),
          .speed = field_of(bytes, 50, 10),
          .accuracy = field_of(bytes, 60, 1),
          .longitude = field_of(bytes, 61, 28, true),
          .latitude = field_of(bytes, 89, 27, true),
          .course = field_of(bytes, 116, 12),
          .heading = field_of(bytes, 128, 9),
          .second = field_of(bytes, 137, 6),
          .radio = field_of(bytes, 149, 19)};
}

// The bits a burst of `bytes` sends: ramp, training, flag, the stuffed message and FCS, flag.
std::vector<std::uint8_t> burst_bits_of(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> bits;
  for (std::size_t i = 0; i < ramp_bits + training_bits; ++i) bits.push_back(static_cast<std::uint8_t>(i % 2));
  append_flags(bits, 1);
  append_stuffed_frame(bits, bytes);
  append_flags(bits, 1);
  return bits;
}

// Whether a burst's bits keep within the slot's stuffing allowance.
bool fits_slot(const std::vector<std::uint8_t>& bits) {
  return bits.size() <= ramp_bits + training_bits + 16 + 8 * (report_bytes + 2) + most_stuffed_bits;
}

// One burst as it is sent: the report, its bytes and the bits before NRZI.
struct Burst {
  Report report;
  std::array<std::uint8_t, report_bytes> bytes{};
  std::vector<std::uint8_t> bits;  // ramp, training, flag, stuffed report and FCS, flag
  std::vector<std::uint8_t> levels;  // the line's, 1 the upper frequency
};

Burst draw_burst(std::uint64_t seed, std::span<const double> draws, const Payload* given) {
  ContentDraws d{seed};
  Burst b;
  Report& r = b.report;
  if (given != nullptr) {
    std::copy(given->begin(), given->end(), b.bytes.begin());
    r = report_of(b.bytes);
    b.bits = burst_bits_of(b.bytes);
    b.levels = nrzi_levels(b.bits, 0);
    return b;
  }
  r.type = static_cast<std::int64_t>(std::clamp(draw(draws, kind), 0.0, 2.0)) + 1;
  // The slot keeps 4 bits for stuffing: a report that would need more is drawn again, whole (184
  // random bits need more about one time in six).
  do {
    // A ship's identity: three digits of its country (201 .. 775), then six of its own.
    r.mmsi = d.whole(201000000, 775999999);
    r.status = d.whole(0, 8);
    r.turn = d.whole(-126, 126);
    r.speed = d.whole(0, 400);
    r.accuracy = d.whole(0, 1);
    r.longitude = d.whole(-108000000, 108000000);
    r.latitude = d.whole(-54000000, 54000000);
    r.course = d.whole(0, 3599);
    r.heading = d.whole(0, 359);
    r.second = d.whole(0, 59);
    r.radio = d.whole(0, (1 << 19) - 1);
    b.bytes = report_bytes_of(r);
    b.bits = burst_bits_of(b.bytes);
  } while (!fits_slot(b.bits));
  b.levels = nrzi_levels(b.bits, 0);
  return b;
}

// A burst, its layout and the phase's running sums: the GMSK phase at bit period u is pi/2 times
// the completed levels' sum plus each level under way times the phase pulse at u - n.
struct Sent {
  Burst burst;
  FrameLayout layout;
  std::vector<double> completed;  // before level n: the sum of the levels (+1 or -1) before it
};

double burst_bits(const Burst& b) { return static_cast<double>(b.bits.size() + ramp_bits); }

Sent sent_of(std::uint64_t seed, std::span<const double> draws, const Payload* given) {
  Sent s{draw_burst(seed, draws, given), {}, {}};
  const double lead = draw(draws, gap) * static_cast<double>(slot_bits);
  s.layout = {.lead = lead, .period = lead + static_cast<double>(slot_bits), .length = burst_bits(s.burst), .edge = 0.0};
  s.completed.assign(s.burst.levels.size() + 1, 0.0);
  for (std::size_t n = 0; n < s.burst.levels.size(); ++n) s.completed[n + 1] = s.completed[n] + (s.burst.levels[n] != 0 ? 1.0 : -1.0);
  return s;
}

// The phase pulse at BT 0.4, tabulated per_bit points a bit from -tail bits to 1 + tail: its
// Gaussian's tails beyond six deviations are below 1e-8.
struct PhasePulse {
  int tail;
  std::vector<double> points;
  static constexpr int per_bit = 256;
};

const PhasePulse& phase_pulse() {
  static const PhasePulse pulse = [] {
    const int tail = static_cast<int>(std::ceil(6.0 * gaussian_sigma(bandwidth_time)));
    return PhasePulse{tail, gaussian_phase_pulse_points(bandwidth_time, tail, PhasePulse::per_bit)};
  }();
  return pulse;
}

// The carrier's rise over the ramp's bits, and its fall over as many after the end flag.
double envelope(double into, double data_end) {
  constexpr auto ramp = static_cast<double>(ramp_bits);
  if (into < ramp) return 0.5 * (1.0 - std::cos(pi * into / ramp));
  if (into > data_end) return 0.5 * (1.0 + std::cos(pi * std::min(into - data_end, ramp) / ramp));
  return 1.0;
}

WaveformRange ais_signal(const Waveform&, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  const auto sent = std::make_shared<const Sent>(sent_of(seed, p.family_draws, p.payload.get()));
  const FrameRun run = whole_frames(sent->layout, time);
  const PhasePulse& pulse = phase_pulse();
  return [=, &pulse](std::int64_t first, std::size_t count) {
    // Each sample's angle and envelope, then the angles' phasors from the polynomials, which give
    // the same bits wherever a sample stands in a range.
    std::vector<double> angle(count, 0.0);
    std::vector<double> amplitude(count, 0.0);
    const std::vector<std::uint8_t>& levels = sent->burst.levels;
    const auto bits = static_cast<std::int64_t>(levels.size());
    for (std::size_t j = 0; j < count; ++j) {
      const std::optional<FramePlace> at = frame_at(sent->layout, run, time.at(first + static_cast<std::int64_t>(j)));
      if (!at || at->into < 0.0 || at->into >= sent->layout.length) continue;
      const double u = at->into;
      // Levels up to `done` have turned the phase fully; those after it, up to `active`, partly
      // (the pulse rises from tail bits before its own).
      const auto done = std::clamp<std::int64_t>(static_cast<std::int64_t>(std::floor(u)) - 1 - pulse.tail, -1, bits - 1);
      const auto active = std::clamp<std::int64_t>(static_cast<std::int64_t>(std::ceil(u)) + pulse.tail - 1, -1, bits - 1);
      double turns = sent->completed[static_cast<std::size_t>(done + 1)];
      // Every level under way reads the table at the same fraction of a bit, a whole bit apart:
      // level n at bit (u - n + tail) of the table.
      const double whole = std::floor(u);
      const double x = (u - whole) * PhasePulse::per_bit;
      const auto within = static_cast<std::int64_t>(x);
      const double f = x - static_cast<double>(within);
      const auto m = static_cast<std::int64_t>(whole) + pulse.tail;
      for (std::int64_t n = done + 1; n <= active; ++n) {
        const auto i = static_cast<std::size_t>((m - n) * PhasePulse::per_bit + within);
        const double q = pulse.points[i] + f * (pulse.points[i + 1] - pulse.points[i]);
        turns += levels[static_cast<std::size_t>(n)] != 0 ? q : -q;
      }
      angle[j] = 0.5 * pi * turns;
      amplitude[j] = envelope(u, static_cast<double>(bits));
    }
    Signal out(count);
    unit_phasors(angle, out, PhasorMath::polynomial);
    for (std::size_t j = 0; j < count; ++j) out[j] *= amplitude[j];
    return out;
  };
}

double symbol_rate(const Waveform&, std::span<const double>, double, double) { return bit_rate; }


WaveformRange prepare(const Waveform& w, const WaveformParameters& p) { return prepare_digital(w, at_own_rate(w, p), ais_signal); }

// Every line bit of the whole bursts within `reach`, ramp and training included: the symbol is the
// line level (1 the upper frequency), its value the frequency's offset in bit rates (+-1/4).
TransmittedSymbols ais_symbols(const Waveform&, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time,
                               const SymbolReach& reach) {
  const Sent sent = sent_of(seed, p.family_draws, p.payload.get());
  return frame_line_bits(sent.layout, whole_frames(sent.layout, time), time, reach, sent.burst.levels,
                         [](std::uint8_t level) { return Sample(level != 0 ? 0.25 : -0.25, 0.0); });
}

TransmittedSymbols symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach) {
  return digital_symbols(w, at_own_rate(w, p), reach, ais_symbols);
}

FrameFacts frames(const Waveform& w, const WaveformParameters& given) {
  const std::optional<FramedFile> file = w.order > 0 ? framed_file(at_own_rate(w, given)) : std::nullopt;
  if (!file) return {};
  const Sent sent = sent_of(file->seed, given.family_draws, given.payload.get());
  const FrameRun run = whole_frames(sent.layout, file->time);
  FrameFacts facts{frame_spans(sent.layout, run, file->time), std::vector<std::optional<FrameLabelValue>>(std::size(ais_labels))};
  if (run.count == 0) return facts;
  const Report& r = sent.burst.report;
  facts.values[type] = r.type;
  facts.values[mmsi] = r.mmsi;
  facts.values[status] = r.status;
  // The message's "not available" values (91 and 181 degrees, 1023, 3600, 511), which a given one
  // may hold, are no values: those labels are then absent.
  if (r.latitude != 91 * 600000) facts.values[latitude] = static_cast<double>(r.latitude) / 600000.0;
  if (r.longitude != 181 * 600000) facts.values[longitude] = static_cast<double>(r.longitude) / 600000.0;
  if (r.speed != 1023) facts.values[speed] = static_cast<double>(r.speed) / 10.0;
  if (r.course != 3600) facts.values[course] = static_cast<double>(r.course) / 10.0;
  if (r.heading != 511) facts.values[heading] = r.heading;
  std::string bits;
  for (std::size_t i = 0; i < 8 * report_bytes; ++i) bits.push_back(((static_cast<unsigned>(sent.burst.bytes[i / 8]) >> (7U - static_cast<unsigned>(i % 8))) & 1U) != 0 ? '1' : '0');
  facts.values[payload] = bits;
  return facts;
}

// Bit periods a file needs for one whole burst at the widest gap: the silent slots, the burst's
// slot and up to a bit of start.
double shortest_file(const Waveform&, const FamilyRanges& ranges) {
  const auto [a, b] = range_ends(ranges, ais_ranges[gap]);
  return (std::max(a, b) + 1.0) * static_cast<double>(slot_bits) + 1.0;
}

// Its band: GMSK of BT 0.4 at h 0.5 holds 99.5 % of its power within 0.53 bit rates of the
// carrier (measured over random bits); 0.57 leaves room for the ramps.
FamilyBand band(const Waveform&, const BandLimits&) {
  constexpr double half = 0.57 * bit_rate;
  return {{-half, half}, "{--frequency-offset-min/max}, {--mix-frequency}"};
}

DrawnParameters draws(const Waveform&) { return {.ranges = 0b11U}; }

std::optional<std::string> payload_misfit(std::span<const std::uint8_t> message, const FamilyRanges&) {
  if (message.size() != report_bytes) return "is the 168-bit message: 21 bytes, not " + std::to_string(message.size());
  const std::int64_t t = field_of(message, 0, 6);
  if (t < 1 || t > 3) return "is a position report, message type 1, 2 or 3 (its first 6 bits), not " + std::to_string(t);
  if (!fits_slot(burst_bits_of(message))) {
    return "needs more than the " + std::to_string(most_stuffed_bits) + " stuffed bits a slot keeps for it";
  }
  return std::nullopt;
}

// The drawn message type is the given message's.
void payload_draws(std::span<const std::uint8_t> message, std::span<double> draws) {
  draws[kind] = static_cast<double>(field_of(message, 0, 6) - 1);
}

// 5.5 kHz either side: 48 kHz, an audio rate, leaves room for a carrier offset of 15 kHz.
constexpr double standard_sample_rate = 48000.0;

}  // namespace

// A ship's transmitter keeps its slots to a few microseconds: 100 ppm bounds its clock too.
constexpr double ship_clock_error = 1e-4;

const SignalFamily ais_family{.name = "ais", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                              .modulation_index = nullptr, .ranges = ais_ranges, .symbol_rate = symbol_rate,
                              .symbols = symbols, .clock_error_limit = ship_clock_error,
                              .frame_labels = ais_labels, .frames = frames, .shortest_file = shortest_file,
                              .told_file = shortest_file, .sample_rate = standard_sample_rate,
                              .payload_misfit = payload_misfit, .payload_draws = payload_draws};

}  // namespace quorvin
