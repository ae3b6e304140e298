#pragma once
// A digital file's transmitted symbols (--save-symbols) as a NumPy .npy file beside it: one
// structured record per symbol, read by numpy.load in one call.

#include <cstddef>
#include <string>
#include <string_view>

#include "generator/symbols.h"
#include "plan/settings.h"
#include "writers/atomic_file.h"

namespace quorvin {

// The file name ending of the symbols' companion of "<name>_signal_<k>".
inline constexpr std::string_view symbols_extension = ".symbols.npy";

// Whether the run writes the symbols beside its files: the exact model with --save-symbols.
bool saves_symbols(const RunSettings& settings);

// The record's numpy dtype, packed (36 bytes): index <i8, instant <f8, symbol <i4, value <c8, bits <u8.
inline constexpr std::string_view symbols_dtype =
    "[('index', '<i8'), ('instant', '<f8'), ('symbol', '<i4'), ('value', '<c8'), ('bits', '<u8')]";

// Bytes of one record, and the records of `symbols` as little-endian bytes, in that layout.
inline constexpr std::size_t symbol_record_bytes = 36;
std::string symbol_records(const TransmittedSymbols& symbols);

// The same bytes written at `out` (room for symbols.symbols.size() records); the end.
char* write_symbol_records(const TransmittedSymbols& symbols, char* out);

// Appends an .npy file of `symbols`, shape (count,), the values rounded once to float32.
void append_symbols_npy(AtomicFileWriter& writer, const TransmittedSymbols& symbols);

}  // namespace quorvin
