// BLE: one device's legacy advertising packets on one advertising channel (37, 38 or 39), as a
// receiver parked on that channel hears them. Each packet is the preamble (one octet at LE 1M, two
// at LE 2M, alternating, its first bit the access address's first), the advertising access
// address 0x8E89BED6, the PDU (a 16-bit header, AdvA, AdvData: flags and a complete local name)
// and its CRC-24, the PDU and CRC whitened by the channel's sequence. Every field is sent least
// significant bit first but the CRC, sent from its highest bit. GFSK: BT 0.5, a 1 the upper
// frequency, the modulation index drawn within the standard's 0.45 .. 0.55. The device is drawn
// from the file's symbol seed; its advertising events repeat every advInterval plus a fresh
// advDelay of 0 .. 10 ms. The symbol period is the bit: 1 or 2 MHz by the drawn PHY. A payload the
// user gives is the AdvData (up to 31 octets) in place of the flags and name; the local name is
// labelled from its complete (or else shortened) local name structure, where it holds one.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/splitmix.h"
#include "common/text.h"
#include "generator/family.h"
#include "generator/pulse.h"
#include "generator/symbols.h"
#include "generator/time_base.h"
#include "modulation/keying.h"
#include "standards/frames.h"

namespace quorvin {
namespace {

constexpr std::uint32_t access_address = 0x8E89BED6;
constexpr double gaussian_bt = 0.5;
// The carrier rises and falls over 1 us each side of the packet's bits.
constexpr double ramp_us = 1.0;
// Silence before the first packet, us: the capture begins just before an advertising event.
constexpr double lead_us = 16.0;
// advInterval's unit, us, and advDelay's reach.
constexpr double interval_unit_us = 625.0;
constexpr std::int64_t most_delay_us = 10000;

constexpr std::string_view phys[] = {"LE 1M", "LE 2M"};
constexpr std::string_view pdu_types[] = {"ADV_IND", "ADV_NONCONN_IND", "ADV_SCAN_IND"};
constexpr std::uint8_t pdu_type_codes[] = {0x0, 0x2, 0x6};
// Flags AD: LE General Discoverable and BR/EDR Not Supported; a non-connectable device that is
// not discoverable sets the latter alone.
constexpr std::uint8_t pdu_type_flags[] = {0x06, 0x04, 0x06};
// Flags (3 octets) and the name's length and type leave 26 of AdvData's 31 octets to the name.
constexpr double longest_name = 26.0;

constexpr FamilyRange ble_ranges[] = {
    {.key = "ble_phy", .label = "BLE PHY", .help = "BLE PHY", .defaults = {0.0, 1.0}, .low = 0.0, .high = 1.0, .whole = true,
     .choices = phys},
    {.key = "ble_channel", .label = "BLE Channel", .help = "BLE advertising channel index", .defaults = {37.0, 39.0},
     .low = 37.0, .high = 39.0, .whole = true},
    {.key = "ble_pdu_type", .label = "BLE PDU Type", .help = "BLE advertising PDU type", .defaults = {0.0, 2.0}, .low = 0.0,
     .high = 2.0, .whole = true, .choices = pdu_types},
    {.key = "ble_modulation_index", .label = "BLE Modulation Index", .help = "BLE GFSK modulation index",
     .defaults = {0.45, 0.55}, .low = 0.45, .high = 0.55},
    {.key = "ble_name_length", .label = "BLE Name Length", .unit = " characters", .help = "BLE complete local name, characters",
     .defaults = {4.0, 12.0}, .low = 1.0, .high = longest_name, .whole = true},
    {.key = "ble_adv_interval", .label = "BLE Advertising Interval", .unit = " x 0.625 ms",
     .help = "BLE advertising interval, units of 0.625 ms (20 ms .. 10.24 s)", .defaults = {32.0, 160.0}, .low = 32.0,
     .high = 16384.0, .whole = true},
};
enum Draw : std::size_t { phy, channel, pdu_type, modulation_index, name_length, adv_interval };

double draw(std::span<const double> draws, Draw i) { return i < draws.size() ? draws[i] : ble_ranges[i].defaults[0]; }

// Bits a microsecond: 1 at LE 1M, 2 at LE 2M.
double bits_per_us(std::span<const double> draws) { return draw(draws, phy) >= 0.5 ? 2.0 : 1.0; }
double bit_rate(std::span<const double> draws) { return 1e6 * bits_per_us(draws); }
std::size_t type_of(std::span<const double> draws) {
  return static_cast<std::size_t>(std::clamp(draw(draws, pdu_type), 0.0, 2.0));
}

enum Label : std::size_t { adv_address, address_type, local_name, adv_data, pdu, crc };
constexpr FrameLabel ble_labels[] = {
    {.key = "ble_adv_address", .label = "BLE AdvA"},
    {.key = "ble_address_type", .label = "BLE Address Type"},
    {.key = "ble_local_name", .label = "BLE Local Name"},
    {.key = "ble_adv_data", .label = "BLE AdvData"},
    {.key = "ble_pdu", .label = "BLE PDU"},
    {.key = "ble_crc", .label = "BLE CRC"},
};

// The CRC-24 of the PDU's bits in the order they are sent: the register of positions 0 .. 23
// (position i bit i) preset to 0x555555, each bit fed in at position 23's output through the taps
// of x^24 + x^10 + x^9 + x^6 + x^4 + x^3 + x + 1.
std::uint32_t crc24(const std::vector<std::uint8_t>& bits) {
  std::uint32_t r = 0x555555;
  for (const std::uint8_t b : bits) {
    const std::uint32_t feedback = ((r >> 23) & 1U) ^ b;
    r = (r << 1) & 0xFFFFFF;
    if (feedback != 0) r ^= 0x00065B;
  }
  return r;
}

// Whitens `bits` in place with the channel's sequence: the 7 positions of x^7 + x^4 + 1, position
// 0 set to 1 and positions 1 .. 6 to the channel index, its most significant bit in position 1;
// position 6's output whitens the bit and feeds positions 0 and 4.
void whiten(std::vector<std::uint8_t>& bits, std::uint32_t channel_index) {
  std::array<std::uint8_t, 7> at{};
  at[0] = 1;
  for (int i = 1; i <= 6; ++i) at[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((channel_index >> (6 - i)) & 1U);
  for (std::uint8_t& b : bits) {
    const std::uint8_t out = at[6];
    b ^= out;
    for (std::size_t i = 6; i > 0; --i) at[i] = at[i - 1];
    at[0] = out;
    at[4] ^= out;
  }
}

void put_octet(std::vector<std::uint8_t>& bits, std::uint32_t octet) {
  for (int i = 0; i < 8; ++i) bits.push_back(static_cast<std::uint8_t>((octet >> i) & 1U));
}

std::string hex_text(const std::vector<std::uint8_t>& octets) {
  std::string text;
  for (const std::uint8_t o : octets) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", static_cast<unsigned>(o));
    text += two;
  }
  return text;
}

// One device's advertising packet as it is sent.
struct Packet {
  std::array<std::uint8_t, 6> address{};  // most significant octet first
  bool random_address = false;
  std::string name;
  std::vector<std::uint8_t> adv_data;
  std::vector<std::uint8_t> pdu;  // header, AdvA (least significant octet first), AdvData
  std::uint32_t crc = 0;
  std::vector<std::uint8_t> bits;  // the whole packet on air, preamble first
};

// A random static address's 46 random bits are neither all 0 nor all 1.
bool static_address_allowed(const std::array<std::uint8_t, 6>& a) {
  const auto all = [&a](std::uint8_t high, std::uint8_t rest) {
    return (a[0] & 0x3F) == high && std::all_of(a.begin() + 1, a.end(), [rest](std::uint8_t o) { return o == rest; });
  };
  return !all(0x00, 0x00) && !all(0x3F, 0xFF);
}

// AdvData's AD structure types that carry the device's name.
constexpr std::uint8_t shortened_name = 0x08;
constexpr std::uint8_t complete_name = 0x09;

// The local name AdvData's structures (length, type, data; a length of 0 ends them) tell: the
// complete one, else the shortened one; nothing where neither is whole inside it or its name is
// not printable ASCII.
std::optional<std::string> local_name_of(std::span<const std::uint8_t> adv) {
  std::optional<std::string> shortened;
  for (std::size_t at = 0; at < adv.size() && adv[at] != 0;) {
    const std::size_t length = adv[at];
    if (at + 1 + length > adv.size()) break;
    const auto data = adv.subspan(at + 2, length - 1);
    const bool printable = std::all_of(data.begin(), data.end(), [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E; });
    if (printable && adv[at + 1] == complete_name) return std::string(data.begin(), data.end());
    if (printable && adv[at + 1] == shortened_name && !shortened) shortened = std::string(data.begin(), data.end());
    at += 1 + length;
  }
  return shortened;
}

Packet draw_packet(std::uint64_t seed, std::span<const double> draws, const Payload* given) {
  ContentDraws d{seed};
  Packet p;
  p.random_address = d.whole(0, 1) == 1;
  do {
    for (std::uint8_t& o : p.address) o = static_cast<std::uint8_t>(d.whole(0, 255));
    // A random static address: its two highest bits 1.
    if (p.random_address) p.address[0] |= 0xC0;
  } while (p.random_address && !static_address_allowed(p.address));
  constexpr std::string_view characters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  const auto count = given != nullptr ? 0 : static_cast<std::int64_t>(std::clamp(draw(draws, name_length), 1.0, longest_name));
  for (std::int64_t i = 0; i < count; ++i) {
    p.name.push_back(characters[static_cast<std::size_t>(d.whole(0, static_cast<std::int64_t>(characters.size()) - 1))]);
  }
  const std::size_t type = type_of(draws);
  p.adv_data = {0x02, 0x01, pdu_type_flags[type], static_cast<std::uint8_t>(p.name.size() + 1), complete_name};
  p.adv_data.insert(p.adv_data.end(), p.name.begin(), p.name.end());
  if (given != nullptr) {
    p.adv_data = *given;
    p.name = local_name_of(p.adv_data).value_or("");
  }
  // Header: PDU type (bits 0-3), RFU, ChSel 0, TxAdd (bit 6), RxAdd 0; then the payload's length.
  p.pdu = {static_cast<std::uint8_t>(pdu_type_codes[type] | (p.random_address ? 0x40 : 0x00)),
           static_cast<std::uint8_t>(6 + p.adv_data.size())};
  for (std::size_t i = 6; i > 0; --i) p.pdu.push_back(p.address[i - 1]);
  p.pdu.insert(p.pdu.end(), p.adv_data.begin(), p.adv_data.end());

  std::vector<std::uint8_t> protected_bits;
  for (const std::uint8_t o : p.pdu) put_octet(protected_bits, o);
  p.crc = crc24(protected_bits);
  for (int i = 23; i >= 0; --i) protected_bits.push_back(static_cast<std::uint8_t>((p.crc >> i) & 1U));
  whiten(protected_bits, static_cast<std::uint32_t>(draw(draws, channel)));

  const auto preamble_bits = static_cast<int>(8.0 * bits_per_us(draws));
  for (int i = 0; i < preamble_bits; ++i) p.bits.push_back(static_cast<std::uint8_t>((access_address & 1U) ^ (i & 1)));
  for (int i = 0; i < 32; ++i) p.bits.push_back(static_cast<std::uint8_t>((access_address >> i) & 1U));
  p.bits.insert(p.bits.end(), protected_bits.begin(), protected_bits.end());
  return p;
}

// The instants of a file's whole packets, bit periods: the first `lead` in, each next one an
// advInterval and a fresh advDelay (whole microseconds, drawn from the seed by event) later.
struct Events {
  std::vector<double> starts;  // each packet's first preamble bit
  double length = 0.0;  // bits
  double edge = 0.0;    // the ramps' reach beyond them, bits
};

Events events_of(std::uint64_t seed, std::span<const double> draws, const Packet& packet, const TimeBase& time) {
  Events e;
  const double per_us = bits_per_us(draws);
  e.length = static_cast<double>(packet.bits.size());
  e.edge = ramp_us * per_us;
  if (!(time.length >= 1.0)) return e;
  const auto last_sample = static_cast<std::int64_t>(time.length) - 1;
  const double begin = std::min(time.at(0), time.at(last_sample));
  const double end = std::max(time.at(0), time.at(last_sample));
  const double interval = std::max(draw(draws, adv_interval), 32.0) * interval_unit_us * per_us;
  ContentDraws delays{splitmix64(seed ^ 0x616476446C6179ull)};
  for (double start = lead_us * per_us; start - e.edge <= end;
       start += interval + static_cast<double>(delays.whole(0, most_delay_us)) * per_us) {
    if (start - e.edge >= begin && start + e.length + e.edge <= end) e.starts.push_back(start);
  }
  return e;
}

// The packet sent, its Gaussian phase pulse and the running sums of its bits' signs.
struct Transmission {
  Packet packet;
  double index = 0.5;  // modulation index h
  std::shared_ptr<const Table> shape;  // the phase pulse, 0 to 1 over [-tail, 1 + tail]
  std::int64_t tail = 0;
  std::vector<double> turns;  // before bit n: the sum of the bits' signs before it
};

std::shared_ptr<const Table> phase_shape(std::int64_t tail) {
  static const std::shared_ptr<const Table> shape = std::make_shared<const Table>(Table{
      static_cast<double>(-tail), gaussian_phase_pulse_points(gaussian_bt, static_cast<int>(tail), table_points_per_symbol)});
  return shape;
}

Transmission transmission_of(std::uint64_t seed, std::span<const double> draws, const Payload* given) {
  Transmission t{draw_packet(seed, draws, given), std::clamp(draw(draws, modulation_index), 0.45, 0.55), nullptr, 0, {}};
  // The Gaussian's tails beyond six deviations are below 1e-8 of its peak.
  t.tail = static_cast<std::int64_t>(std::ceil(6.0 * gaussian_sigma(gaussian_bt)));
  t.shape = phase_shape(t.tail);
  const std::vector<std::uint8_t>& bits = t.packet.bits;
  t.turns.assign(bits.size() + 1, 0.0);
  for (std::size_t n = 0; n < bits.size(); ++n) t.turns[n + 1] = t.turns[n] + (bits[n] != 0 ? 1.0 : -1.0);
  return t;
}

// The phase at `into` bit periods after the first preamble bit's leading edge, radians.
double phase_at(const Transmission& t, double into) {
  const auto bits = static_cast<std::int64_t>(t.packet.bits.size());
  const auto n = static_cast<std::int64_t>(std::floor(into));
  // Bits that ended more than `tail` periods ago have turned the phase fully; those after
  // n + tail have not begun to.
  const std::int64_t low = std::clamp<std::int64_t>(n - t.tail, 0, bits);
  const std::int64_t high = std::clamp<std::int64_t>(n + t.tail + 1, 0, bits);
  double turns = t.turns[static_cast<std::size_t>(low)];
  for (std::int64_t m = low; m < high; ++m) {
    const double sign = t.packet.bits[static_cast<std::size_t>(m)] != 0 ? 1.0 : -1.0;
    turns += sign * t.shape->at(into - static_cast<double>(m));
  }
  return pi * t.index * turns;
}

// The carrier's envelope: a raised cosine over the ramps, 1 between them.
double envelope(const Events& e, double into) {
  if (into < 0.0) return 0.5 * (1.0 + std::cos(pi * into / e.edge));
  if (into > e.length) return 0.5 * (1.0 + std::cos(pi * (into - e.length) / e.edge));
  return 1.0;
}

// The event whose packet and ramps reach instant u, if any.
const double* event_at(const Events& e, double u) {
  const auto after = std::upper_bound(e.starts.begin(), e.starts.end(), u + e.edge);
  if (after == e.starts.begin()) return nullptr;
  const double* start = &*(after - 1);
  return u <= *start + e.length + e.edge ? start : nullptr;
}

WaveformRange ble_signal(const Waveform&, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  const auto sent = std::make_shared<const Transmission>(transmission_of(seed, p.family_draws, p.payload.get()));
  const auto events = std::make_shared<const Events>(events_of(seed, p.family_draws, sent->packet, time));
  return [=](std::int64_t first, std::size_t count) {
    Signal out(count);
    for (std::size_t j = 0; j < count; ++j) {
      const double u = time.at(first + static_cast<std::int64_t>(j));
      const double* start = event_at(*events, u);
      if (start == nullptr) continue;
      const double into = u - *start;
      out[j] = envelope(*events, into) * unit_phasor(phase_at(*sent, into));
    }
    return out;
  };
}

double symbol_rate(const Waveform&, std::span<const double> draws, double, double) { return bit_rate(draws); }


WaveformRange prepare(const Waveform& w, const WaveformParameters& p) { return prepare_digital(w, at_own_rate(w, p), ble_signal); }

// Every bit of the whole packets within `reach`, preamble included, each centred on its bit
// period: the symbol is the bit, its value the frequency's offset h a / 2 in bit rates (a = +-1).
TransmittedSymbols ble_symbols(const Waveform&, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time,
                               const SymbolReach& reach) {
  const Transmission sent = transmission_of(seed, p.family_draws, p.payload.get());
  const Events events = events_of(seed, p.family_draws, sent.packet, time);
  TransmittedSymbols out{1, {}};
  for (const double start : events.starts) {
    append_frame_bits(out, time, reach_periods(time, reach), start, sent.packet.bits,
                      {Sample(-0.5 * sent.index, 0.0), Sample(0.5 * sent.index, 0.0)});
  }
  return out;
}

TransmittedSymbols symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach) {
  return digital_symbols(w, at_own_rate(w, p), reach, ble_symbols);
}

FrameFacts frames(const Waveform& w, const WaveformParameters& given) {
  const std::optional<FramedFile> file = w.order > 0 ? framed_file(at_own_rate(w, given)) : std::nullopt;
  if (!file) return {};
  const Packet packet = draw_packet(file->seed, given.family_draws, given.payload.get());
  const Events events = events_of(file->seed, given.family_draws, packet, file->time);
  FrameFacts facts{{}, std::vector<std::optional<FrameLabelValue>>(std::size(ble_labels))};
  for (const double start : events.starts) {
    facts.spans.push_back({instant_of(file->time, start), instant_of(file->time, start + events.length)});
  }
  if (events.starts.empty()) return facts;
  std::string address;
  for (const std::uint8_t o : packet.address) address += (address.empty() ? "" : ":") + hex_text({o});
  facts.values[adv_address] = address;
  facts.values[address_type] = std::string(packet.random_address ? "random" : "public");
  // A given AdvData without a name tells none.
  if (!packet.name.empty()) facts.values[local_name] = packet.name;
  facts.values[adv_data] = hex_text(packet.adv_data);
  facts.values[pdu] = hex_text(packet.pdu);
  facts.values[crc] = hex_text({static_cast<std::uint8_t>(packet.crc >> 16), static_cast<std::uint8_t>(packet.crc >> 8),
                                static_cast<std::uint8_t>(packet.crc)});
  return facts;
}

// Bit periods a file needs for one whole packet of the longest name at the faster PHY the ranges
// allow (a preamble octet for each bit a microsecond): the lead, the packet, its ramp, and up to a
// bit of start.
double shortest_file(const Waveform&, const FamilyRanges& ranges) {
  const auto [a, b] = range_ends(ranges, ble_ranges[name_length]);
  const auto [p0, p1] = range_ends(ranges, ble_ranges[phy]);
  const double per_us = bits_per_us(std::array<double, 1>{std::max(p0, p1)});
  const double octets = per_us + 4.0 + 2.0 + 6.0 + 5.0 + std::clamp(std::max(a, b), 1.0, longest_name) + 3.0;
  return (lead_us + ramp_us) * per_us + 8.0 * octets + 1.0;
}

// Its band: the GFSK spectrum holds 99.5 % of its power within 0.57 bit rates of the carrier at
// h = 0.55 (measured over random bits: 0.54 at 0.45); 0.6 leaves room for the ramps.
FamilyBand band(const Waveform&, const BandLimits& x) {
  const FamilyRanges given = x.family_ranges != nullptr ? *x.family_ranges : FamilyRanges{};
  const auto [a, b] = range_ends(given, ble_ranges[phy]);
  const double half = 0.6 * bit_rate(std::array<double, 1>{std::max(a, b)});
  return {{-half, half}, "{--ble-phy-max}, {--frequency-offset-min/max}, {--mix-frequency}"};
}

DrawnParameters draws(const Waveform&) { return {.ranges = (1U << std::size(ble_ranges)) - 1U}; }

// The flags' 3 octets and the name's length and type besides the name.
constexpr double adv_data_beside_name = 5.0;

// A given AdvData fits where it is no longer than the AdvData of the longest name the ranges draw,
// so the files the run is sized for hold its packet.
std::optional<std::string> payload_misfit(std::span<const std::uint8_t> adv, const FamilyRanges& ranges) {
  const auto [a, b] = range_ends(ranges, ble_ranges[name_length]);
  const double most = adv_data_beside_name + std::clamp(std::max(a, b), 1.0, longest_name);
  if (static_cast<double>(adv.size()) <= most) return std::nullopt;
  if (adv.size() > 31) return "is the AdvData: at most 31 octets, not " + std::to_string(adv.size());
  return "of " + std::to_string(adv.size()) + " octets is longer than the AdvData of the longest name of "
         "{--ble-name-length-max} (" + shortest_text(most) + " octets): raise it";
}

// The name's length is the given AdvData's name's (0 for none).
void payload_draws(std::span<const std::uint8_t> adv, std::span<double> draws) {
  draws[name_length] = static_cast<double>(local_name_of(adv).value_or("").size());
}

// LE 2M reaches 1.2 MHz either side: 8 MHz gives four samples a bit and room for any carrier
// offset the standard allows (150 kHz).
constexpr double standard_sample_rate = 8e6;

}  // namespace

// The symbol clock of an LE transmitter: 50 ppm at most.
constexpr double radio_clock_error = 50e-6;

const SignalFamily ble_family{.name = "ble", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                              .modulation_index = nullptr, .ranges = ble_ranges, .symbol_rate = symbol_rate,
                              .symbols = symbols, .clock_error_limit = radio_clock_error, .frame_labels = ble_labels,
                              .frames = frames, .shortest_file = shortest_file, .told_file = shortest_file,
                              .sample_rate = standard_sample_rate, .payload_misfit = payload_misfit,
                              .payload_draws = payload_draws};

}  // namespace quorvin
