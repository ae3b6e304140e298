#pragma once
// The time-varying channel of an exact-model file (--save-channel) as NumPy .npy files, format
// 1.0 written by hand: numpy.load reads each in one call and the core needs no library for it.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/signal.h"
#include "plan/settings.h"
#include "writers/atomic_file.h"

namespace quorvin {

// File name endings of the channel's companions of "<name>_signal_<k>": the fading taps'
// gains and the carrier's phase.
inline constexpr std::string_view taps_extension = ".taps.npy";
inline constexpr std::string_view phase_extension = ".phase.npy";

// Whether the run writes the channel beside its files: the exact model with --save-channel.
bool saves_channel(const RunSettings& settings);

// The header of an .npy file of little-endian `descr` ("<c8", "<f8", or a structured type's list
// of fields "[('index', '<i8'), ...]") and `shape` ("(3, 100)"),
// padded so the data starts at a multiple of 64 bytes. Result length: a multiple of 64.
std::string npy_header(std::string_view descr, std::string_view shape);

// Appends an .npy file of `taps` (one row per tap, every row of one length L) as complex64 of
// shape (taps, L), each part rounded once to float32.
void append_taps_npy(AtomicFileWriter& writer, const std::vector<std::vector<Sample>>& taps);

// Appends an .npy file of `phase` (radians) as float64 of shape (L,).
void append_phase_npy(AtomicFileWriter& writer, std::span<const double> phase);

}  // namespace quorvin
