// The channel's .npy files, byte by byte against hand-worked headers and values.

#include "writers/channel_file.h"

#include "run_test_support.h"

namespace quorvin {
namespace {

using test::read_file;
using ChannelFileWritten = test::TempFolder;

const ChannelTrack phase_track{.name = "phase", .key = "phase", .report = "Channel phase"};
const ChannelTrack taps_track{.name = "taps", .key = "fading_taps", .report = "Channel taps", .complex = true};

TEST(ChannelFile, HeaderIsPaddedToSixtyFourBytes) {
  // "{'descr': '<f8', 'fortran_order': False, 'shape': (3,), }" is 57 characters: 10 + 57 + 1 = 68,
  // so 60 spaces make 128 and the dict with its newline is 118 = 0x76 bytes long.
  const std::string header = npy_header("<f8", "(3,)");
  ASSERT_EQ(header.size(), 128u);
  EXPECT_EQ(header.substr(0, 10), std::string("\x93NUMPY\x01\x00\x76\x00", 10));
  EXPECT_EQ(header.substr(10, 57), "{'descr': '<f8', 'fortran_order': False, 'shape': (3,), }");
  EXPECT_EQ(header.substr(67), std::string(60, ' ') + "\n");
}

TEST_F(ChannelFileWritten, ValuesAreLittleEndianAfterTheHeader) {
  {
    AtomicFileWriter phase(folder() / "p.npy");
    append_track_npy(phase, {.track = &phase_track, .rows = {}, .real = {1.0, -2.5}});
    ASSERT_TRUE(phase.finish());
    AtomicFileWriter taps(folder() / "t.npy");
    append_track_npy(taps, {.track = &taps_track, .rows = {{Sample(1.0, -2.0)}, {Sample(0.5, 0.1)}}, .real = {}});
    ASSERT_TRUE(taps.finish());
  }
  // 1.0 is 0x3FF0000000000000 and -2.5 is 0xC004000000000000, least significant byte first.
  EXPECT_EQ(read_file(folder() / "p.npy"), npy_header("<f8", "(2,)") + std::string("\0\0\0\0\0\0\xF0\x3F\0\0\0\0\0\0\x04\xC0", 16));
  // float32: 1 is 0x3F800000, -2 is 0xC0000000, 0.5 is 0x3F000000, 0.1 rounds to 0x3DCCCCCD.
  EXPECT_EQ(read_file(folder() / "t.npy"), npy_header("<c8", "(2, 1)") +
                                           std::string("\0\0\x80\x3F\0\0\0\xC0\0\0\0\x3F\xCD\xCC\xCC\x3D", 16));
}

}  // namespace
}  // namespace quorvin
