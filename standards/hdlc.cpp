#include "standards/hdlc.h"

namespace quorvin {

std::uint16_t hdlc_fcs(std::span<const std::uint8_t> bytes) {
  // Bits enter least significant first, so the register runs reflected: 0x8408 is 0x1021 reversed.
  std::uint16_t r = 0xFFFF;
  for (const std::uint8_t byte : bytes) {
    r ^= byte;
    for (int i = 0; i < 8; ++i) r = (r & 1U) != 0 ? static_cast<std::uint16_t>((r >> 1) ^ 0x8408U) : static_cast<std::uint16_t>(r >> 1);
  }
  return static_cast<std::uint16_t>(~r);
}

void append_byte_bits(std::vector<std::uint8_t>& bits, std::span<const std::uint8_t> bytes) {
  for (const std::uint8_t byte : bytes) {
    for (int i = 0; i < 8; ++i) bits.push_back(static_cast<std::uint8_t>((byte >> i) & 1U));
  }
}

void append_flags(std::vector<std::uint8_t>& bits, std::size_t count) {
  const std::uint8_t flag[] = {hdlc_flag};
  for (std::size_t i = 0; i < count; ++i) append_byte_bits(bits, flag);
}

void append_stuffed_frame(std::vector<std::uint8_t>& bits, std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> plain;
  append_byte_bits(plain, bytes);
  const std::uint16_t fcs = hdlc_fcs(bytes);
  const std::uint8_t check[] = {static_cast<std::uint8_t>(fcs & 0xFFU), static_cast<std::uint8_t>(fcs >> 8)};
  append_byte_bits(plain, check);
  int ones = 0;
  for (const std::uint8_t bit : plain) {
    bits.push_back(bit);
    ones = bit != 0 ? ones + 1 : 0;
    if (ones == 5) {
      bits.push_back(0);
      ones = 0;
    }
  }
}

std::vector<std::uint8_t> nrzi_levels(std::span<const std::uint8_t> bits, std::uint8_t level) {
  std::vector<std::uint8_t> levels;
  levels.reserve(bits.size());
  for (const std::uint8_t bit : bits) {
    if (bit == 0) level = static_cast<std::uint8_t>(level ^ 1U);
    levels.push_back(level);
  }
  return levels;
}

}  // namespace quorvin
