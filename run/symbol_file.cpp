#include "run/symbol_file.h"

#include <bit>
#include <cstdint>
#include <string>

#include "run/channel_file.h"

namespace quorvin {
namespace {

template <typename Bits>
void append_little_endian(std::string& out, Bits bits) {
  const auto wide = static_cast<std::uint64_t>(bits);
  for (std::size_t i = 0; i < sizeof(Bits); ++i) out += static_cast<char>((wide >> (8 * i)) & 0xFFu);
}

}  // namespace

bool saves_symbols(const RunSettings& s) { return s.signal_model == SignalModel::exact && s.exact.save_symbols; }

std::string symbol_records(const TransmittedSymbols& symbols) {
  std::string bytes;
  bytes.reserve(symbols.symbols.size() * symbol_record_bytes);
  for (const TransmittedSymbol& s : symbols.symbols) {
    append_little_endian(bytes, static_cast<std::uint64_t>(s.index));
    append_little_endian(bytes, std::bit_cast<std::uint64_t>(s.instant));
    append_little_endian(bytes, static_cast<std::uint32_t>(s.symbol));
    append_little_endian(bytes, std::bit_cast<std::uint32_t>(static_cast<float>(s.value.real())));
    append_little_endian(bytes, std::bit_cast<std::uint32_t>(static_cast<float>(s.value.imag())));
    append_little_endian(bytes, s.bits);
  }
  return bytes;
}

void append_symbols_npy(AtomicFileWriter& writer, const TransmittedSymbols& symbols) {
  writer.append(npy_header(symbols_dtype, "(" + std::to_string(symbols.symbols.size()) + ",)"));
  writer.append(symbol_records(symbols));
}

}  // namespace quorvin
