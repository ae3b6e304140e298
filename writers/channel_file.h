#pragma once
// The time-varying channel of an exact-model file (--save-channel) as NumPy .npy files, format
// 1.0 written by hand: numpy.load reads each in one call and the core needs no library for it.

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/signal.h"
#include "plan/settings.h"
#include "plan/stages/stage.h"
#include "writers/atomic_file.h"

namespace quorvin {

// The file name ending of a track's companion of "<name>_signal_<k>": ".taps.npy".
std::string track_extension(const ChannelTrack& track);

// Whether the run writes the channel beside its files: the exact model with --save-channel.
bool saves_channel(const RunSettings& settings);

// The header of an .npy file of little-endian `descr` ("<c8", "<f8", or a structured type's list
// of fields "[('index', '<i8'), ...]") and `shape` ("(3, 100)"),
// padded so the data starts at a multiple of 64 bytes. Result length: a multiple of 64.
std::string npy_header(std::string_view descr, std::string_view shape);

// Appends an .npy file of a track: a complex track's rows (every row of one length L) as
// complex64 of shape (rows, L), each part rounded once to float32; a real track's L values as
// float64 of shape (L,).
void append_track_npy(AtomicFileWriter& writer, const TrackValues& values);

}  // namespace quorvin
