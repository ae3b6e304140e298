#include "run/atomic_file.h"

#include <gtest/gtest.h>

#include "parameter_names.h"

#include <filesystem>
#include <fstream>
#include <stop_token>
#include <string>
#include <vector>

#include "run_test_support.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

namespace fs = std::filesystem;

class AtomicFile : public test::TempFolder {
 protected:
  // Names in the folder, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder())) found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
  }
  void put(const std::string& name, const std::string& text) const {
    std::ofstream(folder() / name, std::ios::binary) << text;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(folder(), fs::perms::owner_all, fs::perm_options::add, ignored);
    TempFolder::TearDown();
  }
};

bool running_as_root() {
#ifdef _WIN32
  return false;
#else
  return ::geteuid() == 0;
#endif
}

TEST_F(AtomicFile, ReplacesAnEarlierFileWholeAndLeavesNothingElse) {
  put("a.csv", "earlier contents that are longer than the new ones\r\n");
  AtomicFileWriter writer(folder() / "a.csv");
  ASSERT_TRUE(writer.is_open());
  writer.append("1,2\r\n");
  ASSERT_TRUE(writer.finish());
  EXPECT_EQ(test::read_file(folder() / "a.csv"), "1,2\r\n");
  EXPECT_EQ(names(), std::vector<std::string>{"a.csv"});
}

TEST_F(AtomicFile, TheFinalNameKeepsTheEarlierFileUntilTheEnd) {
  put("a.csv", "old\r\n");
  AtomicFileWriter writer(folder() / "a.csv");
  ASSERT_TRUE(writer.is_open());
  const std::string line(1000, 'x');
  for (int i = 0; i < 3000; ++i) writer.append(line);  // several buffer write-outs
  ASSERT_EQ(names().size(), 2u);
  EXPECT_TRUE(is_temporary_file_name(names()[0])) << names()[0];
  EXPECT_EQ(test::read_file(folder() / "a.csv"), "old\r\n");
  ASSERT_TRUE(writer.finish());
  EXPECT_EQ(fs::file_size(folder() / "a.csv"), 3000000u);
  EXPECT_EQ(names(), std::vector<std::string>{"a.csv"});
}

// Every way a file is given up: the earlier file stays as it was and no temporary is left.
enum class GiveUp { destroyed_unfinished, abandoned_before_finish, abandoned_before_writing };

[[maybe_unused]] void PrintTo(GiveUp way, std::ostream* os) {
  constexpr const char* names[] = {"destroyed_unfinished", "abandoned_before_finish", "abandoned_before_writing"};
  *os << names[static_cast<int>(way)];
}

class AtomicFileGivenUp : public AtomicFile, public ::testing::WithParamInterface<GiveUp> {};

TEST_P(AtomicFileGivenUp, KeepsTheEarlierFile) {
  put("a.csv", "old\r\n");
  {
    std::stop_source abandon;
    AtomicFileWriter writer(folder() / "a.csv", {.sync = nullptr, .abandon = abandon.get_token()});
    ASSERT_TRUE(writer.is_open());
    if (GetParam() == GiveUp::abandoned_before_writing) abandon.request_stop();
    writer.append(std::string(3u << 20, 'y'));
    if (GetParam() == GiveUp::abandoned_before_finish) abandon.request_stop();
    if (GetParam() != GiveUp::destroyed_unfinished) {
      EXPECT_FALSE(writer.finish());
    }
  }
  EXPECT_EQ(test::read_file(folder() / "a.csv"), "old\r\n");
  EXPECT_EQ(names(), std::vector<std::string>{"a.csv"});
}

INSTANTIATE_TEST_SUITE_P(Ways, AtomicFileGivenUp,
                         ::testing::Values(GiveUp::destroyed_unfinished, GiveUp::abandoned_before_finish,
                                           GiveUp::abandoned_before_writing));

TEST_F(AtomicFile, RefusedTargetsAreNeverOpened) {
  fs::create_directory(folder() / "dir.csv");
  put("plain", "x");
  const fs::path targets[] = {folder() / "dir.csv", folder() / "missing" / "a.csv", folder() / "plain" / "a.csv"};
  for (const fs::path& target : targets) {
    AtomicFileWriter writer(target);
    EXPECT_FALSE(writer.is_open()) << target;
    EXPECT_FALSE(writer.finish()) << target;
  }
  EXPECT_TRUE(fs::is_directory(folder() / "dir.csv"));
  EXPECT_FALSE(fs::exists(folder() / "missing"));  // the writer never makes a folder
  EXPECT_EQ(names(), (std::vector<std::string>{"dir.csv", "plain"}));
}

TEST_F(AtomicFile, AReadOnlyFileIsRefusedAndKept) {
  if (running_as_root()) GTEST_SKIP() << "root may write read-only files; tests/reliability_test.cpp checks as nobody";
  put("a.txt", "kept\r\n");
  fs::permissions(folder() / "a.txt", fs::perms::owner_read);
  {
    AtomicFileWriter writer(folder() / "a.txt");
    EXPECT_FALSE(writer.is_open());
  }
  fs::permissions(folder() / "a.txt", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(test::read_file(folder() / "a.txt"), "kept\r\n");
  EXPECT_EQ(names(), std::vector<std::string>{"a.txt"});
}

#ifndef _WIN32
TEST_F(AtomicFile, AFileThatBecameReadOnlyWhileWritingIsNotReplaced) {
  if (running_as_root()) GTEST_SKIP() << "root may write read-only files";
  put("a.txt", "kept\r\n");
  AtomicFileWriter writer(folder() / "a.txt");
  ASSERT_TRUE(writer.is_open());
  writer.append("new\r\n");
  fs::permissions(folder() / "a.txt", fs::perms::owner_read);
  EXPECT_FALSE(writer.finish());
  EXPECT_EQ(test::read_file(folder() / "a.txt"), "kept\r\n");
  EXPECT_EQ(names(), std::vector<std::string>{"a.txt"});
}

TEST_F(AtomicFile, AnUnwritableFolderIsRefused) {
  if (running_as_root()) GTEST_SKIP() << "root may write anywhere";
  put("a.txt", "kept\r\n");
  fs::permissions(folder(), fs::perms::owner_read | fs::perms::owner_exec);
  AtomicFileWriter writer(folder() / "a.txt");
  EXPECT_FALSE(writer.is_open());
  fs::permissions(folder(), fs::perms::owner_all);
  EXPECT_EQ(test::read_file(folder() / "a.txt"), "kept\r\n");
}

TEST_F(AtomicFile, ReplacedFilesKeepTheirPermissions) {
  put("a.txt", "old");
  fs::permissions(folder() / "a.txt", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  AtomicFileWriter writer(folder() / "a.txt");
  writer.append("new");
  ASSERT_TRUE(writer.finish());
  EXPECT_EQ(fs::status(folder() / "a.txt").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(AtomicFile, ALinkIsFollowedAndStays) {
  fs::create_directory(folder() / "real");
  put("real/a.csv", "old");
  fs::create_symlink("real/a.csv", folder() / "link.csv");
  AtomicFileWriter writer(folder() / "link.csv");
  writer.append("new");
  ASSERT_TRUE(writer.finish());
  EXPECT_EQ(fs::read_symlink(folder() / "link.csv"), "real/a.csv");
  EXPECT_EQ(test::read_file(folder() / "real" / "a.csv"), "new");
  EXPECT_EQ(names(), (std::vector<std::string>{"link.csv", "real"}));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder() / "real"), {}), 1);
}

TEST_F(AtomicFile, ADeviceIsWrittenInPlaceAndAFullOneFails) {
  fs::create_symlink("/dev/null", folder() / "null.csv");
  fs::create_symlink("/dev/full", folder() / "full.csv");
  AtomicFileWriter null_writer(folder() / "null.csv");
  null_writer.append("discarded");
  EXPECT_TRUE(null_writer.finish());
  AtomicFileWriter full_writer(folder() / "full.csv");
  full_writer.append("lost");
  EXPECT_FALSE(full_writer.finish());
  EXPECT_EQ(names(), (std::vector<std::string>{"full.csv", "null.csv"}));
  EXPECT_TRUE(fs::exists("/dev/full"));
}
#endif

// A file and its companion put in place together: which of the new files land, and what stays of
// the earlier pair ("a.csv" and "a.txt" hold "old" before each case).
struct PairCase {
  const char* name;
  bool primary_fails;
  bool companion_fails;
  bool required;
  const char* csv_after;  // "" when no file is left
  const char* txt_after;
  bool placed;
};

class PutTogether : public AtomicFile, public ::testing::WithParamInterface<PairCase> {};

TEST_P(PutTogether, NeverLeavesACompanionBesideAnotherFile) {
  const PairCase& c = GetParam();
  put("a.csv", "old");
  put("a.txt", "old");
  AtomicFileWriter primary(folder() / "a.csv");
  AtomicFileWriter companion(folder() / "a.txt");
  primary.append("new");
  companion.append("new");
  // A writer that was abandoned before completing stands for any failure while writing.
  if (c.primary_fails) primary.discard();
  if (c.companion_fails) companion.discard();
  primary.complete();
  companion.complete();
  const Companion companions[] = {{companion, c.required}};
  EXPECT_EQ(put_in_place_together(primary, companions), c.placed);
  const auto text = [this](const char* name) {
    return fs::exists(folder() / name) ? test::read_file(folder() / name) : std::string();
  };
  EXPECT_EQ(text("a.csv"), c.csv_after);
  EXPECT_EQ(text("a.txt"), c.txt_after);
  for (const std::string& name : names()) EXPECT_FALSE(is_temporary_file_name(name)) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, PutTogether,
    ::testing::Values(PairCase{"both_written", false, false, false, "new", "new", true},
                      PairCase{"required_both_written", false, false, true, "new", "new", true},
                      PairCase{"primary_fails", true, false, false, "old", "old", false},
                      PairCase{"optional_companion_fails", false, true, false, "new", "", true},
                      PairCase{"required_companion_fails", false, true, true, "old", "old", false}),
    [](const ::testing::TestParamInfo<PairCase>& p) { return std::string(p.param.name); });

#ifndef _WIN32
// Windows refuses to move a folder that holds an open file.
TEST_F(AtomicFile, ATemporaryMovedAwayWithItsFolderIsNamedAsLeftover) {
  fs::create_directory(folder() / "before");
  AtomicFileWriter writer(folder() / "before" / "a.csv");
  writer.append("text");
  fs::rename(folder() / "before", folder() / "after");
  writer.discard();
  ASSERT_FALSE(writer.leftover().empty());
  EXPECT_TRUE(is_temporary_file_name(writer.leftover().filename().string()));
  EXPECT_TRUE(fs::exists(folder() / "after" / writer.leftover().filename()));
}

TEST_F(AtomicFile, RefusalsGiveTheSystemsReason) {
  fs::create_directory(folder() / "dir.csv");
  ASSERT_EQ(::mkfifo((folder() / "fifo.csv").c_str(), 0666), 0);
  const std::pair<fs::path, std::string> cases[] = {
      {folder() / "dir.csv", "Is a directory"},
      {folder() / "missing" / "a.csv", "No such file or directory"},
      {folder() / "fifo.csv", "not a regular file or device"},  // opening it would wait for a reader
  };
  for (const auto& [target, reason] : cases) {
    AtomicFileWriter writer(target);
    EXPECT_FALSE(writer.is_open()) << target;
    EXPECT_EQ(writer.failure(), reason) << target;
  }
  fs::create_symlink("/dev/full", folder() / "full.csv");
  AtomicFileWriter device(folder() / "full.csv");
  device.append("x");
  EXPECT_FALSE(device.finish());
  EXPECT_EQ(device.failure(), "No space left on device");
}
#endif

TEST(TemporaryFileName, IsShortHiddenBesideTheTargetAndRecognised) {
  const fs::path target = fs::path("out") / "QPSK_signal_1.csv";
  const fs::path temporary = temporary_file_path(target, 0x00c0ffee);
  EXPECT_EQ(temporary.parent_path(), fs::path("out"));
  EXPECT_EQ(temporary.filename().string(), ".qv-00c0ffee.partial");
  EXPECT_EQ(temporary_file_path("a.txt", 1).string(), ".qv-00000001.partial");
  // The same 20 characters for any final name, so a temporary fits wherever its final path does.
  EXPECT_EQ(temporary_file_path(std::string(300, 'n'), 2).string(), ".qv-00000002.partial");
}

TEST(TemporaryFileName, OnlyWritersNamesAreTemporary) {
  struct Case {
    const char* name;
    bool temporary;
  };
  const Case cases[] = {{".qv-0123abcd.partial", true},  {".qv-00000000.partial", true},
                        {"qv-0123abcd.partial", false},  {".qv-0123ABCD.partial", false},
                        {".qv-0123abc.partial", false},  {".qv-0123abcde.partial", false},
                        {".qv_0123abcd.partial", false}, {".qv-0123abcd.part", false},
                        {".a.csv.0123abcd.partial", false}, {"QPSK_signal_1.csv", false},
                        {".partial", false},             {"", false}};
  for (const Case& c : cases) EXPECT_EQ(is_temporary_file_name(c.name), c.temporary) << c.name;
}

}  // namespace
}  // namespace quorvin
