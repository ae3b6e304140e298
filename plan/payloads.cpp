#include "plan/payloads.h"

#include <cstdio>

#include "common/text.h"
#include "plan/exact_options.h"

namespace quorvin {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool blank(char c) { return c == ' ' || c == '\t'; }

// A line as a refusal shows it: at most 64 characters of it.
std::string shown_line(std::string_view line) {
  return marked_text(line.size() > 64 ? std::string(line.substr(0, 64)) + "..." : std::string(line));
}

}  // namespace

std::variant<Payloads, std::string> read_payloads_marked(std::string_view text) {
  Payloads payloads;
  std::size_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (line.ends_with('\r')) line.remove_suffix(1);
    Payload bytes;
    int high = -1;
    for (const char c : line) {
      if (blank(c) && high < 0) continue;
      const int digit = hex_digit(c);
      if (digit < 0 || bytes.size() == longest_payload) {
        const std::string why = digit < 0 ? "pairs of hexadecimal digits (8D40621D, or 8D 40 62 1D)"
                                          : "at most " + std::to_string(longest_payload) + " bytes";
        return "{--payload} line " + std::to_string(number) + " takes " + why + ", not '" + shown_line(line) + "'";
      }
      if (high < 0) {
        high = digit;
      } else {
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
        high = -1;
      }
    }
    if (high >= 0) {
      return "{--payload} line " + std::to_string(number) + " takes whole bytes, two hexadecimal digits each; '" +
             shown_line(line) + "' has an odd digit over";
    }
    payloads.push_back(std::make_shared<const Payload>(std::move(bytes)));
  }
  return payloads;
}

std::string payload_hex(std::span<const std::uint8_t> payload) {
  std::string text;
  for (std::size_t i = 0; i < payload.size() && i < 32; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", static_cast<unsigned>(payload[i]));
    text += pair;
  }
  return payload.size() > 32 ? text + "..." : text;
}

std::optional<std::string> payload_misfit_marked(const RunSettings& s) {
  const Payloads& payloads = s.exact.payloads;
  if (payloads.empty()) return std::nullopt;
  if (s.signal_model != SignalModel::exact) return std::string("{--payload} applies to {--signal-model exact} only");
  if (s.exact.scene.kind != SceneKind::none) {
    return std::string("{--payload} does not apply to {--scene wideband}: a payload is a single file's frames'");
  }
  for (const std::string& name : s.modulations) {
    const Waveform w = resolve_waveform(name);
    if (w.family == nullptr || w.family->payload_misfit == nullptr) {
      return "{--payload} applies to the standards' emitters (ADS-B, POCSAG, AIS, APRS, BLE, 802.11a/g), not to " +
             marked_text(name);
    }
    const FamilyRanges& ranges = settings_for_name(s, name).exact.family_ranges;
    for (std::size_t i = 0; i < payloads.size(); ++i) {
      if (const std::optional<std::string> why = w.family->payload_misfit(*payloads[i], ranges)) {
        return "{--payload} line " + std::to_string(i + 1) + " ('" + marked_text(payload_hex(*payloads[i])) + "'): " +
               marked_text(name) + " cannot send it: the payload " + *why;
      }
    }
  }
  return std::nullopt;
}

std::shared_ptr<const Payload> payload_of_file(const ExactSettings& settings, std::int32_t index) {
  if (settings.payloads.empty() || index < 1) return nullptr;
  return settings.payloads[static_cast<std::size_t>(index - 1) % settings.payloads.size()];
}

}  // namespace quorvin
