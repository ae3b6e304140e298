#pragma once
// HDLC's framing as AIS bursts and AX.25 frames both send it: bytes least significant bit first,
// the 16-bit frame check sequence, a 0 stuffed after five 1s in a row so that no data looks like
// the flag 0x7E, and NRZI on the line (a 0 a change of level, a 1 none).

#include <cstdint>
#include <span>
#include <vector>

namespace quorvin {

inline constexpr std::uint8_t hdlc_flag = 0x7E;

// The frame check sequence of `bytes`: CRC-16-CCITT (x^16 + x^12 + x^5 + 1) over their bits in
// the order they are sent, the register preset to all ones and the result complemented. Sent low
// byte first.
std::uint16_t hdlc_fcs(std::span<const std::uint8_t> bytes);

// Appends the bits of `bytes`, each least significant bit first: 8 bits a byte.
void append_byte_bits(std::vector<std::uint8_t>& bits, std::span<const std::uint8_t> bytes);

// Appends `count` flags, unstuffed: 8 bits each.
void append_flags(std::vector<std::uint8_t>& bits, std::size_t count);

// Appends `bytes` and their check sequence as sent between flags: each byte's bits, least
// significant first, with a 0 after every five 1s in a row. 8 (n + 2) bits and one per stuffed 0.
void append_stuffed_frame(std::vector<std::uint8_t>& bits, std::span<const std::uint8_t> bytes);

// The line levels (0 or 1) of `bits` by NRZI: a 0 turns the level, a 1 keeps it; `level` is the
// one before the first bit. One level a bit.
std::vector<std::uint8_t> nrzi_levels(std::span<const std::uint8_t> bits, std::uint8_t level);

}  // namespace quorvin
