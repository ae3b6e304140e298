#pragma once
// Output file names and the sample file format: one "I,Q" line per sample, CR LF line ends.

#include <cstdint>
#include <filesystem>
#include <string>
#include <span>
#include <string_view>

#include "common/signal.h"

namespace quorvin {

// A file name and folder as the user sees them and as the file system takes them.
struct OutputPath {
  std::u16string text;               // shown in the report
  std::filesystem::path file_system; // UTF-8 on POSIX (the bytes given), wide on Windows
};

// folder + separator + name + "_signal_" + index + extension, the separator "\" on Windows and
// "/" elsewhere. An empty folder means the working folder (the file name alone). "/" and "\" in
// the name become "_" so that every name stays one file in the folder.
OutputPath output_file_path(std::u16string_view folder, std::string_view modulation_name,
                            std::int32_t index, std::string_view extension);

// The folder itself as the file system takes it; "." for the empty folder.
std::filesystem::path output_folder_path(std::u16string_view folder);

// A UTF-16 path text as the system's path (wide on Windows, UTF-8 elsewhere).
std::filesystem::path native_path(const std::u16string& text);

// True when `folder` can be listed and no name in it holds "_signal_" in any letter case: no
// output file of any run is there, so none of a run's files needs a look before it is written.
bool holds_no_output_files(const std::filesystem::path& folder);

// Writes value as C's "%.6g" does in the classic locale ("nan", "inf", "-inf" when not
// finite) into out, which must hold 16 characters; returns the end of the text.
char* format_sample_value(char* out, double value);

class AtomicFileWriter;

// Why the append functions below fail a file: a sample is no finite number in its format (an
// infinity, a NaN, or beyond float32's range in cf32), or ci16's scale is none.
inline constexpr std::string_view non_finite_sample =
    "a sample is not a finite number in this format (the noise or a stage's level is beyond what a sample holds)";

// Appends every sample as I "," Q CR LF (the sample file's text). A sample that is not finite
// fails the file (non_finite_sample), as a failed write does.
void append_sample_lines(AtomicFileWriter& writer, std::span<const Sample> samples);

// Appends every sample as two little-endian IEEE float32 values, I then Q (8 bytes a sample); a
// value that is not finite as a float32 fails the file.
void append_cf32_samples(AtomicFileWriter& writer, std::span<const Sample> samples);

// Appends samples as ci16_le: I then Q, each round(x * scale) saturated to -32767 .. 32767, two
// little-endian bytes; a sample that is not finite, or a scale that is not finite and above 0,
// fails the file.
void append_ci16_samples(AtomicFileWriter& writer, std::span<const Sample> samples, double scale);

// Writes every sample as I "," Q CR LF, replacing any earlier file. False, with no file left
// behind, when the file cannot be created, written or closed completely.
bool write_sample_file(const std::filesystem::path& path, const Signal& signal);

}  // namespace quorvin
