#pragma once
// The receiving side of HDLC framing, written from its public description for the receiver tests:
// NRZI read back (no change of level a 1), frames cut at flags, stuffed zeros dropped, the frame
// check sequence checked bit by bit by its residue. Nothing here is shared with the core.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorvin::test {

// Bits from line levels: a 1 where the level stays, a 0 where it turns; `before` the level before
// the first.
inline std::vector<int> nrzi_decode(const std::vector<int>& levels, int before) {
  std::vector<int> bits;
  for (const int level : levels) {
    bits.push_back(level == before ? 1 : 0);
    before = level;
  }
  return bits;
}

// Whether bits at .. at + 7 are the flag 0 1 1 1 1 1 1 0.
inline bool flag_at(const std::vector<int>& bits, std::size_t at) {
  if (at + 8 > bits.size()) return false;
  for (std::size_t i = 0; i < 8; ++i) {
    if (bits[at + i] != (i == 0 || i == 7 ? 0 : 1)) return false;
  }
  return true;
}

// The shift register's check: bits fed in sent order through x^16 + x^12 + x^5 + 1, reflected,
// from all ones; a frame with its check sequence leaves the residue 0xF0B8.
inline bool fcs_residue_good(const std::vector<int>& bits) {
  unsigned r = 0xFFFF;
  for (const int b : bits) {
    const unsigned feedback = (r ^ static_cast<unsigned>(b)) & 1U;
    r >>= 1;
    if (feedback != 0) r ^= 0x8408;
  }
  return r == 0xF0B8;
}

// One frame found between flags: where its opening flag starts and its closing flag ends (bit
// indexes), its bytes with the check sequence (least significant bit first each), and the check.
struct ReceivedFrame {
  std::size_t open = 0;
  std::size_t close = 0;
  std::vector<std::uint8_t> bytes;
  bool fcs_good = false;
};

// Every frame of `bits`: the stretches between two flags that hold more than the check sequence,
// their stuffed zeros (a 0 after five 1s) dropped.
inline std::vector<ReceivedFrame> hdlc_frames(const std::vector<int>& bits) {
  std::vector<ReceivedFrame> frames;
  std::size_t at = 0;
  while (at < bits.size() && !flag_at(bits, at)) ++at;
  while (at < bits.size()) {
    const std::size_t open = at;
    std::size_t end = at + 8;
    while (end < bits.size() && !flag_at(bits, end)) ++end;
    if (end >= bits.size()) break;
    std::vector<int> data;
    int ones = 0;
    for (std::size_t i = open + 8; i < end; ++i) {
      if (ones == 5 && bits[i] == 0) {
        ones = 0;
        continue;
      }
      data.push_back(bits[i]);
      ones = bits[i] != 0 ? ones + 1 : 0;
    }
    if (data.size() > 16) {
      ReceivedFrame f{open, end + 8, {}, fcs_residue_good(data)};
      for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
        unsigned byte = 0;
        for (std::size_t b = 0; b < 8; ++b) byte |= static_cast<unsigned>(data[i + b]) << b;
        f.bytes.push_back(static_cast<std::uint8_t>(byte));
      }
      if (data.size() % 8 != 0) f.fcs_good = false;
      frames.push_back(f);
    }
    at = end;
  }
  return frames;
}

}  // namespace quorvin::test
