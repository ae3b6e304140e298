#include "writers/channel_file.h"

#include <bit>
#include <cstdint>

namespace quorvin {
namespace {

constexpr std::size_t chunk_bytes = 1 << 16;  // appended to the writer at a time

// The bytes of `bits`, least significant first, whatever the host's order.
template <typename Bits>
void append_little_endian(std::string& out, Bits bits) {
  const auto wide = static_cast<std::uint64_t>(bits);
  for (std::size_t i = 0; i < sizeof(Bits); ++i) out += static_cast<char>((wide >> (8 * i)) & 0xFFu);
}

void pass_on(AtomicFileWriter& writer, std::string& bytes, bool last = false) {
  if (bytes.size() < chunk_bytes && !last) return;
  writer.append(bytes);
  bytes.clear();
}

}  // namespace

bool saves_channel(const RunSettings& s) { return s.signal_model == SignalModel::exact && s.exact.save_channel; }

std::string npy_header(std::string_view descr, std::string_view shape) {
  // A structured type's list of fields is written as it is; a plain type is a quoted string.
  const std::string type = descr.starts_with('[') ? std::string(descr) : "'" + std::string(descr) + "'";
  std::string dict = "{'descr': " + type + ", 'fortran_order': False, 'shape': " + std::string(shape) + ", }";
  const std::size_t magic = 10;  // "\x93NUMPY", version 1.0, the dict's length
  dict.append((64 - (magic + dict.size() + 1) % 64) % 64, ' ');
  dict += '\n';
  std::string header = "\x93NUMPY";
  header += '\x01';
  header += '\x00';
  append_little_endian(header, static_cast<std::uint16_t>(dict.size()));
  return header + dict;
}

std::string track_extension(const ChannelTrack& track) { return "." + std::string(track.name) + ".npy"; }

namespace {

void append_complex_rows(AtomicFileWriter& writer, const std::vector<std::vector<Sample>>& taps) {
  const std::size_t length = taps.empty() ? 0 : taps.front().size();
  std::string bytes = npy_header("<c8", "(" + std::to_string(taps.size()) + ", " + std::to_string(length) + ")");
  for (const std::vector<Sample>& tap : taps) {
    for (const Sample& gain : tap) {
      append_little_endian(bytes, std::bit_cast<std::uint32_t>(static_cast<float>(gain.real())));
      append_little_endian(bytes, std::bit_cast<std::uint32_t>(static_cast<float>(gain.imag())));
      pass_on(writer, bytes);
    }
  }
  pass_on(writer, bytes, true);
}

void append_real_row(AtomicFileWriter& writer, std::span<const double> phase) {
  std::string bytes = npy_header("<f8", "(" + std::to_string(phase.size()) + ",)");
  for (const double radians : phase) {
    append_little_endian(bytes, std::bit_cast<std::uint64_t>(radians));
    pass_on(writer, bytes);
  }
  pass_on(writer, bytes, true);
}

}  // namespace

void append_track_npy(AtomicFileWriter& writer, const TrackValues& values) {
  if (values.track->complex) {
    append_complex_rows(writer, values.rows);
  } else {
    append_real_row(writer, values.real);
  }
}

}  // namespace quorvin
