#include "writers/symbol_file.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "writers/channel_file.h"

namespace quorvin {
namespace {

// Writes `bits` least significant byte first at `at`, whatever the host's order; the next place.
// A little-endian host copies them as they are (a third of a frame's symbols' cost otherwise).
template <typename Bits>
char* put_little_endian(char* at, Bits bits) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(at, &bits, sizeof(Bits));
  } else {
    const auto wide = static_cast<std::uint64_t>(bits);
    for (std::size_t i = 0; i < sizeof(Bits); ++i) at[i] = static_cast<char>((wide >> (8 * i)) & 0xFFu);
  }
  return at + sizeof(Bits);
}

}  // namespace

bool saves_symbols(const RunSettings& s) { return s.signal_model == SignalModel::exact && s.exact.save_symbols; }

std::string symbol_records(const TransmittedSymbols& symbols) {
  std::string bytes(symbols.symbols.size() * symbol_record_bytes, '\0');
  write_symbol_records(symbols, bytes.data());
  return bytes;
}

char* write_symbol_records(const TransmittedSymbols& symbols, char* at) {
  for (const TransmittedSymbol& s : symbols.symbols) {
    at = put_little_endian(at, static_cast<std::uint64_t>(s.index));
    at = put_little_endian(at, std::bit_cast<std::uint64_t>(s.instant));
    at = put_little_endian(at, static_cast<std::uint32_t>(s.symbol));
    at = put_little_endian(at, std::bit_cast<std::uint32_t>(static_cast<float>(s.value.real())));
    at = put_little_endian(at, std::bit_cast<std::uint32_t>(static_cast<float>(s.value.imag())));
    at = put_little_endian(at, s.bits);
  }
  return at;
}

void append_symbols_npy(AtomicFileWriter& writer, const TransmittedSymbols& symbols) {
  writer.append(npy_header(symbols_dtype, "(" + std::to_string(symbols.symbols.size()) + ",)"));
  writer.append(symbol_records(symbols));
}

}  // namespace quorvin
