// POCSAG: one page per transmission, two-level FSK of +-4.5 kHz at 512, 1200 or 2400 b/s (a 0 the
// upper tone, a 1 the lower), its phase continuous. A transmission is 576 bits of preamble
// (1010...), then batches of a sync codeword and 8 frames of 2 codewords: the address codeword in
// the first codeword of frame (address mod 8), the message codewords after it, idle codewords in
// every other place, at least one after the message. Each codeword is 21 bits (a flag, then 18
// address bits and 2 function bits, or 20 message bits), BCH(31,21) check bits and even parity. The page (address, message kind,
// text) is drawn from the file's symbol seed; the file repeats it after a gap of silence while a
// whole transmission fits. A payload the user gives is the message's text (its bytes, ASCII): numeric
// where every character is one of the numeric set and the last no space (a padding's lookalike),
// else alphanumeric.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "common/phasor.h"
#include "common/text.h"
#include "generator/family.h"
#include "generator/symbols.h"
#include "generator/time_base.h"
#include "standards/frames.h"

namespace quorvin {
namespace {

constexpr double deviation = 4500.0;  // Hz
constexpr std::int64_t preamble_bits = 576;
constexpr std::int64_t codeword_bits = 32;
constexpr std::int64_t batch_codewords = 16;
constexpr std::uint32_t sync_codeword = 0x7CD215D8;
constexpr std::uint32_t idle_codeword = 0x7A89C197;
// Silence before each transmission, bit periods; the carrier rises over the first half bit and
// falls over one more bit after the last.
constexpr double lead_bits = 8.0;
constexpr double tail_bits = 1.0;

constexpr std::string_view bit_rates[] = {"512", "1200", "2400"};
constexpr double bit_rate_values[] = {512.0, 1200.0, 2400.0};
constexpr std::string_view message_kinds[] = {"numeric", "alphanumeric"};

constexpr FamilyRange pocsag_ranges[] = {
    {.key = "pocsag_bit_rate", .label = "POCSAG Bit Rate", .unit = " b/s", .help = "POCSAG bit rate",
     .defaults = {0.0, 2.0}, .low = 0.0, .high = 2.0, .whole = true, .choices = bit_rates},
    {.key = "pocsag_message", .label = "POCSAG Message Kind", .unit = "", .help = "POCSAG message kind",
     .defaults = {0.0, 1.0}, .low = 0.0, .high = 1.0, .whole = true, .choices = message_kinds},
    {.key = "pocsag_length", .label = "POCSAG Message Length", .unit = " characters", .help = "POCSAG message length, characters",
     .defaults = {1.0, 40.0}, .low = 1.0, .high = 400.0, .whole = true},
};
enum Draw : std::size_t { rate, kind, length };

double draw(std::span<const double> draws, Draw i) { return i < draws.size() ? draws[i] : pocsag_ranges[i].defaults[0]; }

double bit_rate(std::span<const double> draws) {
  return bit_rate_values[static_cast<std::size_t>(std::clamp(draw(draws, rate), 0.0, 2.0))];
}
bool alphanumeric(std::span<const double> draws) { return draw(draws, kind) >= 0.5; }

enum Label : std::size_t { address, function, message };
constexpr FrameLabel pocsag_labels[] = {
    {.key = "pocsag_address", .label = "POCSAG Address", .type = FrameLabelType::whole},
    {.key = "pocsag_function", .label = "POCSAG Function", .type = FrameLabelType::whole},
    {.key = "pocsag_text", .label = "POCSAG Message"},
};

// The BCH(31,21) check bits of 21 data bits: their remainder times x^10 by
// x^10 + x^9 + x^8 + x^6 + x^5 + x^3 + 1; then the even parity bit over all 31.
std::uint32_t codeword(std::uint32_t data21) {
  constexpr std::uint32_t generator = 0x769;
  std::uint32_t r = data21 << 10;
  for (int bit = 30; bit >= 10; --bit) {
    if ((r >> bit) & 1U) r ^= generator << (bit - 10);
  }
  const std::uint32_t word = (data21 << 11) | (r << 1);
  return word | static_cast<std::uint32_t>(std::popcount(word) & 1);
}

// The four bits of a numeric character, BCD sent least significant first: 0-9, then the
// standard's spare, U (urgent), space, hyphen, ')' and '('.
std::uint32_t numeric_code(char c) {
  constexpr std::string_view set = "0123456789*U -)(";
  const std::uint32_t v = static_cast<std::uint32_t>(set.find(c));
  std::uint32_t reversed = 0;
  for (int i = 0; i < 4; ++i) reversed |= ((v >> i) & 1U) << (3 - i);
  return reversed;
}

// One page as it is sent.
struct Page {
  std::uint32_t address = 0;  // 21 bits
  std::uint32_t function = 0;
  std::string text;
  std::vector<std::uint8_t> bits;  // the whole transmission, preamble first
};

constexpr std::string_view numeric_characters = "0123456789*U -)(";

// Whether a given text is sent numeric: every character of the numeric set, the last no space.
bool numeric_payload(std::span<const std::uint8_t> text) {
  return !text.empty() && text.back() != ' ' &&
         std::all_of(text.begin(), text.end(), [](std::uint8_t c) { return c != 0 && numeric_characters.find(static_cast<char>(c)) != std::string_view::npos; });
}

Page draw_page(std::uint64_t seed, std::span<const double> draws, const Payload* given) {
  ContentDraws d{seed};
  Page page;
  page.address = static_cast<std::uint32_t>(d.whole(0, (1 << 21) - 1));
  const bool alpha = alphanumeric(draws);
  // The function bits pagers conventionally give each kind: 0 numeric, 3 alphanumeric.
  page.function = alpha ? 3 : 0;
  const auto count = given != nullptr ? 0 : static_cast<std::int64_t>(draw(draws, length));
  if (given != nullptr) page.text.assign(given->begin(), given->end());
  constexpr std::string_view alpha_set = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 .-!?:";
  constexpr std::string_view numeric_set = "0123456789U -";
  const std::string_view set = alpha ? alpha_set : numeric_set;
  for (std::int64_t i = 0; i < count; ++i) {
    // The last character is neither a space nor a padding's lookalike, so the text ends where it is told.
    const std::int64_t last = static_cast<std::int64_t>(set.size()) - (i + 1 == count ? (alpha ? 6 : 3) : 1);
    page.text.push_back(set[static_cast<std::size_t>(d.whole(0, last))]);
  }
  // Message bits: numeric 4 a character, alphanumeric 7 (ASCII, least significant first); the
  // last codeword filled with spaces (numeric) or zeros (alphanumeric).
  std::vector<std::uint8_t> payload;
  for (const char c : page.text) {
    if (alpha) {
      for (int i = 0; i < 7; ++i) payload.push_back(static_cast<std::uint8_t>((static_cast<unsigned>(c) >> i) & 1U));
    } else {
      const std::uint32_t v = numeric_code(c);
      for (int i = 3; i >= 0; --i) payload.push_back(static_cast<std::uint8_t>((v >> i) & 1U));
    }
  }
  while (payload.size() % 20 != 0) {
    if (alpha) {
      payload.push_back(0);
    } else {
      const std::uint32_t v = numeric_code(' ');
      for (int i = 3; i >= 0 && payload.size() % 20 != 0; --i) payload.push_back(static_cast<std::uint8_t>((v >> i) & 1U));
    }
  }
  std::vector<std::uint32_t> words;
  const std::uint32_t slot = 2 * (page.address & 7U);
  words.assign(slot, idle_codeword);
  words.push_back(codeword(((page.address >> 3) << 2) | page.function));
  for (std::size_t at = 0; at < payload.size(); at += 20) {
    std::uint32_t v = 1U << 20;
    for (std::size_t i = 0; i < 20; ++i) v |= static_cast<std::uint32_t>(payload[at + i]) << (19 - i);
    words.push_back(codeword(v));
  }
  // A message ends at the next address or idle codeword: at least one idle codeword follows it,
  // in a batch of its own where the message fills the last one.
  words.push_back(idle_codeword);
  while (words.size() % batch_codewords != 0) words.push_back(idle_codeword);
  for (std::int64_t i = 0; i < preamble_bits; ++i) page.bits.push_back(static_cast<std::uint8_t>((i + 1) % 2));
  const auto put = [&page](std::uint32_t word) {
    for (int i = 31; i >= 0; --i) page.bits.push_back(static_cast<std::uint8_t>((word >> i) & 1U));
  };
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i % batch_codewords == 0) put(sync_codeword);
    put(words[i]);
  }
  return page;
}

// Batches a page of `characters` needs at most (its address in the last frame, an idle codeword
// after its message).
double most_batches(double characters, bool alpha) {
  const double words = std::ceil(characters * (alpha ? 7.0 : 4.0) / 20.0);
  return std::ceil((14.0 + 1.0 + words + 1.0) / static_cast<double>(batch_codewords));
}

FrameLayout layout_of(std::size_t bits) {
  const double length = static_cast<double>(bits) + tail_bits;
  return {.lead = lead_bits, .period = lead_bits + length, .length = length, .edge = 0.0};
}

// A whole transmission and its phase at the start of each bit, radians over 2 pi h (h the
// deviation over the bit rate, twice).
struct Transmission {
  Page page;
  FrameLayout layout;
  std::vector<double> turns;  // before bit n: the sum of the tones' signs before it
};

Transmission transmission_of(std::uint64_t seed, std::span<const double> draws, const Payload* given) {
  Transmission t{draw_page(seed, draws, given), {}, {}};
  t.layout = layout_of(t.page.bits.size());
  t.turns.assign(t.page.bits.size() + 1, 0.0);
  for (std::size_t n = 0; n < t.page.bits.size(); ++n) t.turns[n + 1] = t.turns[n] + (t.page.bits[n] != 0 ? -1.0 : 1.0);
  return t;
}

WaveformRange pocsag_signal(const Waveform&, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time) {
  const auto sent = std::make_shared<const Transmission>(transmission_of(seed, p.family_draws, p.payload.get()));
  const FrameRun run = whole_frames(sent->layout, time);
  // Radians a bit period at the upper tone.
  const double per_bit = 2.0 * pi * deviation / p.symbol_rate;
  const auto bits = static_cast<double>(sent->page.bits.size());
  return [=](std::int64_t first, std::size_t count) {
    // Each sample's phase and amplitude (0 off the air), then the phasors of all the phases at
    // once by the vector phasors, as the other phase-only names make theirs.
    std::vector<double> phase(count, 0.0);
    std::vector<double> amplitude(count, 0.0);
    for (std::size_t j = 0; j < count; ++j) {
      const std::optional<FramePlace> at = frame_at(sent->layout, run, time.at(first + static_cast<std::int64_t>(j)));
      if (!at || at->into < 0.0 || at->into >= sent->layout.length) continue;
      const double u = std::min(at->into, bits);
      const auto n = static_cast<std::size_t>(std::min(std::floor(u), bits - 1.0));
      const double sign = sent->page.bits[n] != 0 ? -1.0 : 1.0;
      // Past the last bit the tone runs on while the carrier falls.
      phase[j] = per_bit * (sent->turns[n] + sign * (at->into - static_cast<double>(n)));
      amplitude[j] = 1.0;
      if (at->into < 0.5) amplitude[j] = std::sin(pi * at->into);
      if (at->into > bits) amplitude[j] = std::cos(0.5 * pi * (at->into - bits) / tail_bits);
    }
    Signal out(count);
    unit_phasors(phase, out, PhasorMath::polynomial);
    for (std::size_t j = 0; j < count; ++j) out[j] *= amplitude[j];
    return out;
  };
}

double symbol_rate(const Waveform&, std::span<const double> draws, double, double) { return bit_rate(draws); }


WaveformRange prepare(const Waveform& w, const WaveformParameters& p) { return prepare_digital(w, at_own_rate(w, p), pocsag_signal); }

// Every transmitted bit of the whole transmissions within `reach`, preamble and sync included,
// each centred on its bit period: the symbol is the bit, its value the tone's offset in bit rates.
TransmittedSymbols pocsag_symbols(const Waveform&, const WaveformParameters& p, std::uint64_t seed, const TimeBase& time,
                                  const SymbolReach& reach) {
  const Transmission sent = transmission_of(seed, p.family_draws, p.payload.get());
  const FrameRun run = whole_frames(sent.layout, time);
  TransmittedSymbols out{1, {}};
  for (std::int64_t k = run.first; k < run.first + run.count; ++k) {
    append_frame_bits(out, time, reach_periods(time, reach), frame_start(sent.layout, k), sent.page.bits,
                      {Sample(deviation / p.symbol_rate, 0.0), Sample(-deviation / p.symbol_rate, 0.0)});
  }
  return out;
}

TransmittedSymbols symbols(const Waveform& w, const WaveformParameters& p, const SymbolReach& reach) {
  return digital_symbols(w, at_own_rate(w, p), reach, pocsag_symbols);
}

FrameFacts frames(const Waveform& w, const WaveformParameters& given) {
  const std::optional<FramedFile> file = w.order > 0 ? framed_file(at_own_rate(w, given)) : std::nullopt;
  if (!file) return {};
  const Transmission sent = transmission_of(file->seed, given.family_draws, given.payload.get());
  const FrameRun run = whole_frames(sent.layout, file->time);
  FrameFacts facts{frame_spans(sent.layout, run, file->time), std::vector<std::optional<FrameLabelValue>>(std::size(pocsag_labels))};
  if (run.count == 0) return facts;
  facts.values[address] = std::int64_t{sent.page.address};
  facts.values[function] = std::int64_t{sent.page.function};
  facts.values[message] = sent.page.text;
  return facts;
}

// Symbol periods a file needs for one whole transmission of the longest, slowest-placed page:
// the gap, the preamble, its batches and the carrier's fall, and up to a bit of start.
double shortest_file(const Waveform&, const FamilyRanges& ranges) {
  const auto [a, b] = range_ends(ranges, pocsag_ranges[length]);
  const auto [k0, k1] = range_ends(ranges, pocsag_ranges[kind]);
  const double batches = most_batches(std::max(a, b), std::max(k0, k1) >= 0.5);
  return lead_bits + static_cast<double>(preamble_bits) + batches * static_cast<double>((batch_codewords + 1) * codeword_bits) +
         tail_bits + 1.0;
}

// Its band: the two tones and the spectrum their keying spreads, which holds 99.5 % of the power
// within 3.5 bit rates beyond the tones at every rate (measured over random bits: 3.2 at 512 b/s,
// 2.1 at 1200, 1.6 at 2400).
FamilyBand band(const Waveform&, const BandLimits& x) {
  const FamilyRanges given = x.family_ranges != nullptr ? *x.family_ranges : FamilyRanges{};
  const auto [a, b] = range_ends(given, pocsag_ranges[rate]);
  const double fastest = bit_rate(std::array<double, 1>{std::max(a, b)});
  const double half = deviation + 3.5 * fastest;
  return {{-half, half}, "{--pocsag-bit-rate-max}, {--frequency-offset-min/max}, {--mix-frequency}"};
}

DrawnParameters draws(const Waveform&) { return {.ranges = 0b111U}; }

// A given text fits where the longest page the ranges draw needs as many batches or more, so the
// files the run is sized for hold it.
std::optional<std::string> payload_misfit(std::span<const std::uint8_t> text, const FamilyRanges& ranges) {
  if (text.empty()) return std::string("is the message's text: 1 character or more, not none");
  const bool numeric = numeric_payload(text);
  if (!numeric && std::any_of(text.begin(), text.end(), [](std::uint8_t c) { return c == 0 || c > 127; })) {
    return std::string("is the message's text: numeric (0-9 * U space - ) () or 7-bit ASCII without NUL");
  }
  const auto [a, b] = range_ends(ranges, pocsag_ranges[length]);
  const auto [k0, k1] = range_ends(ranges, pocsag_ranges[kind]);
  const double needed = most_batches(static_cast<double>(text.size()), !numeric);
  const double most = most_batches(std::max(a, b), std::max(k0, k1) >= 0.5);
  if (needed <= most) return std::nullopt;
  return "of " + std::to_string(text.size()) + (numeric ? " numeric" : " alphanumeric") + " characters needs " +
         shortest_text(needed) + " batches, more than the longest page of {--pocsag-length-max} and "
         "{--pocsag-message-max} sends (" + shortest_text(most) + "): raise them";
}

void payload_draws(std::span<const std::uint8_t> text, std::span<double> draws) {
  draws[kind] = numeric_payload(text) ? 0.0 : 1.0;
  draws[length] = static_cast<double>(text.size());
}

// 2400 b/s reaches 12.9 kHz either side: 32 kHz leaves room for a carrier offset of 3 kHz.
constexpr double standard_sample_rate = 32000.0;

}  // namespace

// A pager transmitter's clock: 100 ppm at most.
constexpr double pager_clock_error = 1e-4;

const SignalFamily pocsag_family{.name = "pocsag", .analog = false, .prepare = prepare, .band = band, .draws = draws,
                                 .modulation_index = nullptr, .ranges = pocsag_ranges, .symbol_rate = symbol_rate,
                                 .symbols = symbols, .clock_error_limit = pager_clock_error,
                                 .frame_labels = pocsag_labels, .frames = frames, .shortest_file = shortest_file,
                                 .told_file = shortest_file, .sample_rate = standard_sample_rate,
                                 .payload_misfit = payload_misfit, .payload_draws = payload_draws};

}  // namespace quorvin
