#pragma once
// SHA-512 (FIPS 180-4), for the digests SigMF records of its files.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quorvin {

// A running SHA-512 digest: bytes added in any pieces give the digest of their concatenation.
class Sha512 {
 public:
  Sha512();
  void add(std::span<const std::uint8_t> bytes);
  void add(std::string_view text);
  // The 128 lowercase hexadecimal digits of the digest of everything added. The digest is then
  // done: add nothing more.
  std::string hex();

 private:
  void compress(const std::uint8_t* block);

  std::array<std::uint64_t, 8> state_;
  std::array<std::uint8_t, 128> block_{};
  std::size_t filled_ = 0;   // bytes of block_ in use
  std::uint64_t length_ = 0; // bytes added (messages below 2^64 bytes: the length's high word is 0)
};

// The SHA-512 digest of `text` as 128 lowercase hexadecimal digits.
std::string sha512_hex(std::string_view text);

}  // namespace quorvin
