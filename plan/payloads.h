#pragma once
// Payloads the user gives the standards' emitters in place of drawn ones: one per line of
// hexadecimal bytes ("8D 40 62 1D"), file k of a name sending line k (the lines again from the
// first when there are fewer).

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "generator/family.h"
#include "plan/settings.h"

namespace quorvin {

// The longest payload a line may give, bytes: above every standard's (802.11a/g's PSDU).
inline constexpr std::size_t longest_payload = 4096;

using Payloads = std::vector<std::shared_ptr<const Payload>>;

// The payloads of `text`: lines ended by '\n' (the last one's optional, a '\r' before it
// dropped), each pairs of hexadecimal digits with blanks anywhere between pairs; an empty line is
// an empty payload; the empty text gives none. Or why a line is refused, marked, naming its
// number and text: "{--payload} line 3 takes ..., not 'XYZ'".
std::variant<Payloads, std::string> read_payloads_marked(std::string_view text);

// Up to 32 bytes as hexadecimal digits, "..." after them for a longer payload.
std::string payload_hex(std::span<const std::uint8_t> payload);

// Why the run's payloads cannot be sent (marked): a name of the run that takes none, or a line
// one of its names cannot send, naming the line, its bytes and the reason; nothing when all can.
std::optional<std::string> payload_misfit_marked(const RunSettings& settings);

// The payload file `index` (1-based within its name) sends; none without payloads.
std::shared_ptr<const Payload> payload_of_file(const ExactSettings& settings, std::int32_t index);

}  // namespace quorvin
