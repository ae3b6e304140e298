#include "common/sha512.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvin {
namespace {

struct Vector {
  const char* name;
  std::string message;
  const char* digest;
};

// The standard's examples ("abc", the 896-bit message, a million "a"), the empty message, and the
// lengths either side of the padding spilling into a second block (111 and 112 bytes).
const Vector vectors[] = {
    {"empty", "",
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
    {"abc", "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
    {"a million a", std::string(1000000, 'a'),
     "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    {"111 bytes", std::string(111, 'x'),
     "9a2a120825c2319867758ec277924f6faa254968bf752046dacdd948d8ad299b10359fd04bfd7d3810b5fa1b16a294236138baff981cbb85248478053ac4d3dd"},
    {"112 bytes", std::string(112, 'x'),
     "a3722b515ef40c910f2419f6e0da8ca51d410114ce6272faae64045f9e9f630e7fa8dd5a3243c9860b899d148c3da4bc0f9e07454542604d030bb55531fe0d5b"},
};

TEST(Sha512, PublishedAndPaddingVectors) {
  for (const Vector& v : vectors) EXPECT_EQ(sha512_hex(v.message), v.digest) << v.name;
}

// Pieces of every size, crossing block boundaries anywhere, give the whole message's digest.
TEST(Sha512, PiecesGiveTheWholeDigest) {
  constexpr std::size_t pieces[] = {1, 7, 127, 128, 129, 1000};
  for (const Vector& v : vectors) {
    for (const std::size_t piece : pieces) {
      Sha512 digest;
      for (std::size_t at = 0; at < v.message.size(); at += piece) digest.add(std::string_view(v.message).substr(at, piece));
      EXPECT_EQ(digest.hex(), v.digest) << v.name << " in pieces of " << piece;
    }
  }
}

// Messages of every byte value either side of one and two blocks, and a long one (not a whole
// number of blocks), against digests taken by Python's hashlib: byte i is (i * i + 7 * i) % 251.
TEST(Sha512, AgreesWithAnotherImplementation) {
  struct Long {
    std::size_t length;
    const char* digest;
  };
  const Long cases[] = {
      {127, "e2d1fa6f801cad98656473b828a0906e8493ca8a0006248ecc3c893718b05140251327b45348aaaa1ab8f4dc4e25e71fb2592e7ad648ba0f0d792b059ca04289"},
      {128, "468c874eedac86592b03658fa2bbb92866fac9e49ab315461091cfed097d217575dff95c46025bb207c29a953d3a823601d147799e5e0d8369218489f6d94c56"},
      {129, "e52db0406c20afa1906d3f7a279dcd623803ee30d3bfddbf9fccee0fa27e8ee9d69bffc765c8a39e8168c8ad81282e9bcda8d265f9b82aed10971296fa486c45"},
      {255, "8e8d9fbd2b88895e16fe7fe77b1d03a41c162406e2f79219e51885baebdaba61886169073965dec99e5272d146dd54e678ee0fc4d35f679c003568115beb3dc3"},
      {256, "5f53b4894545a29f65640b3b7887cc88567fee777a73d3334d3fe598deca0f90d0482935113407e57b147b02b43bbbf977f13df24b210d457dfb64b1c897cda6"},
      {257, "4771b1eb1ecf5a194c475ced538919d602682b47628a16b9e3789daf327ebd2779482a65e19f2482c153f2e023dad1d2c01cf005f1fd44a7348496ccaea99996"},
      {1000003, "ea41a0c76b05f062789303c32f8250b0623defa5b020c6d8ca7d72a154fcac8c5fa2a0026f7f7be9ddafa5cb520bbe1a06b2881bea205f49ffafc5b3d2532742"},
  };
  for (const Long& c : cases) {
    std::string message(c.length, '\0');
    for (std::size_t i = 0; i < c.length; ++i) message[i] = static_cast<char>((i * i + 7 * i) % 251);
    EXPECT_EQ(sha512_hex(message), c.digest) << c.length << " bytes";
  }
}

}  // namespace
}  // namespace quorvin
