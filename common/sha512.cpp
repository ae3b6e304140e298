#include "common/sha512.h"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "common/vector_build.h"

namespace quorvin {
namespace {

// The first 64 bits of the fractional parts of the cube roots of the first 80 primes.
constexpr std::uint64_t round_constants[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc, 0x3956c25bf348b538,
    0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118, 0xd807aa98a3030242, 0x12835b0145706fbe,
    0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2, 0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235,
    0xc19bf174cf692694, 0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5, 0x983e5152ee66dfab,
    0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4, 0xc6e00bf33da88fc2, 0xd5a79147930aa725,
    0x06ca6351e003826f, 0x142929670a0e6e70, 0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed,
    0x53380d139d95b3df, 0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30, 0xd192e819d6ef5218,
    0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8, 0x19a4c116b8d2d0c8, 0x1e376c085141ab53,
    0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8, 0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373,
    0x682e6ff3d6b2b8a3, 0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b, 0xca273eceea26619c,
    0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178, 0x06f067aa72176fba, 0x0a637dc5a2c898a6,
    0x113f9804bef90dae, 0x1b710b35131c471b, 0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc,
    0x431d67c49c100d4c, 0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817,
};

constexpr std::uint64_t rotr(std::uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

// Written as shifts of bytes, which compilers turn into one load and a byte swap.
inline std::uint64_t big_endian(const std::uint8_t* bytes) {
  return (std::uint64_t{bytes[0]} << 56) | (std::uint64_t{bytes[1]} << 48) | (std::uint64_t{bytes[2]} << 40) |
         (std::uint64_t{bytes[3]} << 32) | (std::uint64_t{bytes[4]} << 24) | (std::uint64_t{bytes[5]} << 16) |
         (std::uint64_t{bytes[6]} << 8) | std::uint64_t{bytes[7]};
}

// The working variables a..h, kept in place: round t reads them rotated by t (a is v[(8 - t) % 8]),
// so no round moves seven words along, and eight rounds bring them back where they were.
using Words = std::array<std::uint64_t, 8>;

// One round. The schedule's word for it, w, is already in the ring; Ch and Maj in their forms
// with fewer operations.
template <int t>
[[gnu::always_inline]] inline void round(Words& v, std::uint64_t& b_xor_c, std::uint64_t k, std::uint64_t w) {
  std::uint64_t& a = v[(8 - t) % 8];
  std::uint64_t& b = v[(9 - t) % 8];
  std::uint64_t& d = v[(11 - t) % 8];
  std::uint64_t& e = v[(12 - t) % 8];
  std::uint64_t& f = v[(13 - t) % 8];
  std::uint64_t& g = v[(14 - t) % 8];
  std::uint64_t& h = v[(15 - t) % 8];
  const std::uint64_t t1 = h + (rotr(e, 14) ^ rotr(e, 18) ^ rotr(e, 41)) + (g ^ (e & (f ^ g))) + k + w;
  // Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)); a ^ b is the next round's b ^ c.
  const std::uint64_t a_xor_b = a ^ b;
  const std::uint64_t t2 = (rotr(a, 28) ^ rotr(a, 34) ^ rotr(a, 39)) + (b ^ (a_xor_b & b_xor_c));
  b_xor_c = a_xor_b;
  d += t1;
  h = t1 + t2;  // the next round's a
}

// The schedule's word for round t >= 16 (i = t % 16) from the 16 before it, held in a ring of 16.
template <int i>
[[gnu::always_inline]] inline std::uint64_t schedule(std::array<std::uint64_t, 16>& w) {
  const std::uint64_t w15 = w[(i + 1) & 15];
  const std::uint64_t w2 = w[(i + 14) & 15];
  const std::uint64_t s0 = rotr(w15, 1) ^ rotr(w15, 8) ^ (w15 >> 7);
  const std::uint64_t s1 = rotr(w2, 19) ^ rotr(w2, 61) ^ (w2 >> 6);
  w[i] += s0 + w[(i + 9) & 15] + s1;
  return w[i];
}

// Sixteen rounds from round `first` (a multiple of 16): round first + i takes word(i), whose
// place in the schedule's ring is i, a constant, so the ring and the variables stay in registers.
template <typename Word, int... i>
[[gnu::always_inline]] inline void sixteen_rounds(Words& v, std::uint64_t& b_xor_c, const std::uint64_t* k, Word word,
                                                  std::integer_sequence<int, i...>) {
  (round<i % 8>(v, b_xor_c, k[i], word(std::integral_constant<int, i>{})), ...);
}

// Compresses `count` whole blocks of 128 bytes into `state`.
QUORVIN_BIT_CLONES void compress_blocks(Words& state, const std::uint8_t* blocks, std::size_t count) {
  constexpr auto sixteen = std::make_integer_sequence<int, 16>{};
  for (std::size_t n = 0; n < count; ++n, blocks += 128) {
    std::array<std::uint64_t, 16> w;
    Words v = state;
    std::uint64_t b_xor_c = v[1] ^ v[2];
    sixteen_rounds(v, b_xor_c, round_constants, [&](auto i) { return w[i] = big_endian(blocks + 8 * i); }, sixteen);
    for (int first = 16; first < 80; first += 16) {
      sixteen_rounds(v, b_xor_c, round_constants + first, [&](auto i) { return schedule<i>(w); }, sixteen);
    }
    for (std::size_t i = 0; i < state.size(); ++i) state[i] += v[i];
  }
}

}  // namespace

// The first 64 bits of the fractional parts of the square roots of the first 8 primes.
Sha512::Sha512()
    : state_{0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
             0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179} {}

void Sha512::compress(const std::uint8_t* block) { compress_blocks(state_, block, 1); }

void Sha512::add(std::span<const std::uint8_t> bytes) {
  length_ += bytes.size();
  while (!bytes.empty()) {
    // Whole blocks straight from the input; a partial one through block_.
    if (filled_ == 0 && bytes.size() >= block_.size()) {
      const std::size_t blocks = bytes.size() / block_.size();
      compress_blocks(state_, bytes.data(), blocks);
      bytes = bytes.subspan(blocks * block_.size());
      continue;
    }
    const std::size_t taken = std::min(block_.size() - filled_, bytes.size());
    std::memcpy(block_.data() + filled_, bytes.data(), taken);
    filled_ += taken;
    bytes = bytes.subspan(taken);
    if (filled_ == block_.size()) {
      compress(block_.data());
      filled_ = 0;
    }
  }
}

void Sha512::add(std::string_view text) {
  add(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string Sha512::hex() {
  // Padding: a 1 bit, zeros, then the message's length in bits as a 128-bit big-endian number.
  const std::uint64_t bits = length_ * 8;
  block_[filled_++] = 0x80;
  if (filled_ > block_.size() - 16) {
    std::fill(block_.begin() + static_cast<std::ptrdiff_t>(filled_), block_.end(), std::uint8_t{0});
    compress(block_.data());
    filled_ = 0;
  }
  std::fill(block_.begin() + static_cast<std::ptrdiff_t>(filled_), block_.end(), std::uint8_t{0});
  for (std::size_t i = 0; i < 8; ++i) block_[block_.size() - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  block_[block_.size() - 9] = static_cast<std::uint8_t>(length_ >> 61);
  compress(block_.data());
  filled_ = 0;
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(128);
  for (const std::uint64_t word : state_) {
    for (int shift = 60; shift >= 0; shift -= 4) text.push_back(digits[(word >> shift) & 0xF]);
  }
  return text;
}

std::string sha512_hex(std::string_view text) {
  Sha512 digest;
  digest.add(text);
  return digest.hex();
}

}  // namespace quorvin
