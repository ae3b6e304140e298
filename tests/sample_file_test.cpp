#include "writers/sample_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "run_test_support.h"
#include "writers/atomic_file.h"

namespace quorvin {
namespace {

// The sample text, its special values and decimal ties and whole files line by line, is checked
// against printf by format_slow_test.cpp; the replacing of an earlier file by the atomic
// writer's tests, an empty signal's empty file by the run's.

class SampleFile : public test::TempFolder {};

// I then Q, each rounded half away from zero and saturated to +-32767, little-endian.
TEST_F(SampleFile, Ci16LevelsHandWorked) {
  const auto path = folder() / "a.sigmf-data";
  {
    AtomicFileWriter writer(path);
    append_ci16_samples(writer, Signal{{0.5, -0.5}, {1.0, -1.0}, {2.0, -2.0}, {3.0e-5, -3.1e-5}}, 32767.0);
    ASSERT_TRUE(writer.finish());
  }
  // 16384 = 0x4000, -16384 = 0xC000, 32767 = 0x7FFF, -32767 = 0x8001; 0.98 and -1.02 round to 1, -1.
  const unsigned char expected[] = {0x00, 0x40, 0x00, 0xC0, 0xFF, 0x7F, 0x01, 0x80,
                                    0xFF, 0x7F, 0x01, 0x80, 0x01, 0x00, 0xFF, 0xFF};
  EXPECT_EQ(test::read_file(path), std::string(reinterpret_cast<const char*>(expected), sizeof expected));
}

// A sample no format can hold fails its file, whichever block it is in: no file of infinities
// or of levels from a scale of none is ever put in place.
TEST_F(SampleFile, ASampleThatIsNotFiniteFailsTheFile) {
  enum class Format { csv, cf32, ci16 };
  struct Case { const char* name; Format format; Sample bad; double scale = 1.0; std::size_t at = 4321; };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {{"csv_infinity", Format::csv, {1.0, -inf}},
                        {"csv_nan", Format::csv, {std::nan(""), 0.0}},
                        {"cf32_infinity", Format::cf32, {inf, 0.0}},
                        {"cf32_beyond_float", Format::cf32, {0.0, 1e39}},
                        {"cf32_nan", Format::cf32, {std::nan(""), 0.0}},
                        {"cf32_last_of_an_odd_block", Format::cf32, {0.0, -1e39}, 1.0, 5000},
                        {"ci16_nan", Format::ci16, {std::nan(""), 0.0}},
                        {"ci16_infinity", Format::ci16, {0.0, -inf}},
                        {"ci16_scale_of_an_infinite_full_scale", Format::ci16, {0.5, 0.5}, 32767.0 / inf},
                        {"ci16_scale_nan", Format::ci16, {0.5, 0.5}, std::nan("")}};
  for (const Case& c : cases) {
    Signal samples(5001, Sample{0.25, -0.25});  // beyond one block of each writer, the last one odd
    samples[c.at] = c.bad;
    const auto path = folder() / c.name;
    AtomicFileWriter writer(path);
    switch (c.format) {
      case Format::csv: append_sample_lines(writer, samples); break;
      case Format::cf32: append_cf32_samples(writer, samples); break;
      case Format::ci16: append_ci16_samples(writer, samples, c.scale); break;
    }
    EXPECT_FALSE(writer.finish()) << c.name;
    EXPECT_EQ(writer.failure(), non_finite_sample) << c.name;
    EXPECT_FALSE(std::filesystem::exists(path)) << c.name;
  }
}

// A target that cannot be written (a full device, a folder, a missing folder) fails as the atomic
// writer's own tests show: the sample file is written through it.

// A run's files skip the look at their names only in a folder that can be listed and holds no
// name an output file could have, in any letter case (Windows' names ignore it).
TEST_F(SampleFile, AFolderHoldsNoOutputFilesOnlyWhenNoNameHasTheMarker) {
  struct Case { const char* name; std::vector<const char*> files; bool fresh; };
  const Case cases[] = {{"empty", {}, true},
                        {"unrelated", {"notes.txt", "signal.csv", "a_signal.csv", ".qv-00000001.partial"}, true},
                        {"output", {"notes.txt", "QPSK_signal_3.csv"}, false},
                        {"other_case", {"qpsk_SIGNAL_3.CSV"}, false},
                        {"marker_alone", {"x_signal_"}, false}};
  for (const Case& c : cases) {
    const std::filesystem::path at = folder() / c.name;
    std::filesystem::create_directory(at);
    for (const char* file : c.files) std::ofstream(at / file) << "x";
    EXPECT_EQ(holds_no_output_files(at), c.fresh) << c.name;
  }
  EXPECT_FALSE(holds_no_output_files(folder() / "missing"));
  std::ofstream(folder() / "plain") << "x";
  EXPECT_FALSE(holds_no_output_files(folder() / "plain"));
}

constexpr char16_t sep = static_cast<char16_t>(std::filesystem::path::preferred_separator);

// Folder, separator, name, index and extension; an empty folder is the working folder, slashes
// in a name stay in one file name, and a folder that is not ASCII is kept faithfully.
TEST(OutputFilePath, FolderSeparatorNameIndexExtension) {
  struct Case { std::u16string folder; const char* name; int index; const char* extension; std::u16string file; };
  const Case cases[] = {{u".", "QPSK", 3, ".csv", u"QPSK_signal_3.csv"},
                        {u"out", "AM", 10, ".txt", u"AM_signal_10.txt"},
                        {u"", "FM", 1, ".csv", u"FM_signal_1.csv"},
                        {u"d", "Pi/4-DQPSK", 1, ".csv", u"Pi_4-DQPSK_signal_1.csv"},
                        {u"d", "a\\b", 2, ".csv", u"a_b_signal_2.csv"},
                        {u"donn\u00e9es/\u6570\u636e", "QPSK", 1, ".csv", u"QPSK_signal_1.csv"}};
  for (const Case& c : cases) {
    const OutputPath p = output_file_path(c.folder, c.name, c.index, c.extension);
    EXPECT_EQ(p.text, c.folder.empty() ? c.file : c.folder + sep + c.file) << c.name;
  }
  EXPECT_EQ(output_file_path(u"", "FM", 1, ".csv").file_system, std::filesystem::path("FM_signal_1.csv"));
#ifndef _WIN32
  EXPECT_EQ(output_file_path(u"donn\u00e9es/\u6570\u636e", "QPSK", 1, ".csv").file_system.string(),
            "donn\xc3\xa9" "es/\xe6\x95\xb0\xe6\x8d\xae/QPSK_signal_1.csv");
#endif
}

TEST_F(SampleFile, NonAsciiFolderReceivesTheFile) {
  const std::u16string name = u"\u00e9t\u00e9-\u6570";
  const OutputPath p = output_file_path(folder().u16string() + sep + name, "QPSK", 1, ".csv");
  std::filesystem::create_directory(p.file_system.parent_path());
  ASSERT_TRUE(write_sample_file(p.file_system, {{1, 2}}));
  EXPECT_EQ(test::read_file(folder() / std::filesystem::path(name) / "QPSK_signal_1.csv"), "1,2\r\n");
}

}  // namespace
}  // namespace quorvin
