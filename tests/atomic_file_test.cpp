#include "writers/atomic_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stop_token>
#include <string>
#include <vector>

#include "parameter_names.h"
#include "run_test_support.h"

#include "platform/file_sync.h"

#ifndef _WIN32
#include <sys/resource.h>
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
  // The file still holds `text` and nothing else is in the folder: no temporary was left.
  void expect_only(const std::string& name, const std::string& text) const {
    EXPECT_EQ(test::read_file(folder() / name), text);
    EXPECT_EQ(names(), std::vector<std::string>{name});
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(folder(), fs::perms::owner_all, fs::perm_options::add, ignored);
    TempFolder::TearDown();
  }
};

#ifndef _WIN32
bool running_as_root() { return ::geteuid() == 0; }
#endif

TEST_F(AtomicFile, ReplacesAnEarlierFileWholeAndOnlyAtTheEnd) {
  // A file shorter than the earlier one, and one long enough for several buffer write-outs.
  for (const auto& [piece, count] : {std::pair{std::string("1,2\r\n"), 1}, std::pair{std::string(1000, 'x'), 3000}}) {
    SCOPED_TRACE(count);
    put("a.csv", "earlier contents that are longer than the new ones\r\n");
    AtomicFileWriter writer(folder() / "a.csv");
    ASSERT_TRUE(writer.is_open());
    std::string text;
    for (int i = 0; i < count; ++i) {
      writer.append(piece);
      text += piece;
    }
    ASSERT_EQ(names().size(), 2u);
    EXPECT_TRUE(is_temporary_file_name(names()[0])) << names()[0];
    EXPECT_EQ(test::read_file(folder() / "a.csv"), "earlier contents that are longer than the new ones\r\n");
    ASSERT_TRUE(writer.finish());
    expect_only("a.csv", text);
  }
}

// The digest kept while writing is the digest of the file's bytes, whatever pieces they came in
// and however many times the buffer went out; none was asked of a writer without keep_digest().
TEST_F(AtomicFile, KeepsTheDigestOfTheBytesItWrote) {
  struct Case {
    std::size_t piece;
    std::size_t count;
  };
  for (const Case c : {Case{0, 0}, Case{5, 1}, Case{1000, 700}, Case{65537, 9}, Case{300000, 2}}) {
    SCOPED_TRACE(testing::Message() << c.count << " pieces of " << c.piece);
    AtomicFileWriter writer(folder() / "a.sigmf-data");
    writer.keep_digest();
    for (std::size_t i = 0; i < c.count; ++i) {
      std::string piece(c.piece, '\0');
      for (std::size_t k = 0; k < c.piece; ++k) piece[k] = static_cast<char>((i * 31 + k * k) % 256);
      writer.append(piece);
    }
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(writer.digest_hex(), sha512_hex(test::read_file(folder() / "a.sigmf-data")));
  }
  AtomicFileWriter plain(folder() / "b.csv");
  plain.append("1,2\r\n");
  ASSERT_TRUE(plain.finish());
  EXPECT_EQ(plain.digest_hex(), "");
}

TEST_F(AtomicFile, AFileGivenUpLeavesTheEarlierOne) {
  for (const std::string way : {"destroyed_unfinished", "abandoned_before_finish", "abandoned_before_writing"}) {
    SCOPED_TRACE(way);
    put("a.csv", "old\r\n");
    {
      std::stop_source abandon;
      AtomicFileWriter writer(folder() / "a.csv", {.sync = nullptr, .abandon = abandon.get_token()});
      ASSERT_TRUE(writer.is_open());
      if (way == "abandoned_before_writing") abandon.request_stop();
      writer.append(std::string(3u << 20, 'y'));
      if (way == "abandoned_before_finish") abandon.request_stop();
      if (way != "destroyed_unfinished") {
        EXPECT_FALSE(writer.finish());
      }
    }
    expect_only("a.csv", "old\r\n");
  }
}

TEST_F(AtomicFile, AFailedRenameIsAFailureNotAPlacedFile) {
  put("a.csv", "earlier");
  AtomicFileWriter writer(folder() / "a.csv");
  writer.append("new");
  ASSERT_TRUE(writer.complete());
  // The finished temporary vanishes before it is put in place (another process, a full clean-up).
  // On Windows it cannot: the writer holds it open until the rename.
  bool vanished = false;
  for (const std::string& name : names()) {
    std::error_code error;
    if (name != "a.csv") vanished = fs::remove(folder() / name, error);
  }
#ifdef _WIN32
  ASSERT_FALSE(vanished);
  EXPECT_TRUE(writer.put_in_place());
  expect_only("a.csv", "new");
#else
  ASSERT_TRUE(vanished);
  EXPECT_FALSE(writer.put_in_place());
  EXPECT_FALSE(writer.is_placed());
  EXPECT_EQ(writer.failure(), "No such file or directory");
  expect_only("a.csv", "earlier");
#endif
}

TEST_F(AtomicFile, RefusedTargetsAreNeverOpenedAndSayWhy) {
  fs::create_directory(folder() / "dir.csv");
  put("plain", "x");
  std::vector<std::pair<fs::path, std::string>> cases = {{folder() / "dir.csv", "Is a directory"},
                                                         {folder() / "missing" / "a.csv", "No such file or directory"},
                                                         {folder() / "plain" / "a.csv", "Not a directory"}};
  // A FIFO, which opening would wait on, is refused as the run's faults show.
  for (const auto& [target, reason] : cases) {
    AtomicFileWriter writer(target);
    EXPECT_FALSE(writer.is_open()) << target;
    EXPECT_FALSE(writer.finish()) << target;
#ifndef _WIN32  // Windows words its reasons its own way
    EXPECT_EQ(writer.failure(), reason) << target;
#endif
  }
  EXPECT_TRUE(fs::is_directory(folder() / "dir.csv"));
  EXPECT_EQ(names(), (std::vector<std::string>{"dir.csv", "plain"}));  // the writer never makes a folder
}

// Read-only means no write permission for anyone (the read-only attribute on Windows), for
// root too: such a file is refused and keeps its mode.
TEST_F(AtomicFile, AReadOnlyFileIsRefusedAndKept) {
  put("a.txt", "kept\r\n");
  fs::permissions(folder() / "a.txt", fs::perms::owner_read);
  const AtomicFileWriter writer(folder() / "a.txt");
  EXPECT_FALSE(writer.is_open());
#ifndef _WIN32
  EXPECT_EQ(writer.failure(), "Permission denied");
#endif
  const fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  EXPECT_EQ(fs::status(folder() / "a.txt").permissions() & write, fs::perms::none);  // still read-only
  fs::permissions(folder() / "a.txt", fs::perms::owner_read | fs::perms::owner_write);
  expect_only("a.txt", "kept\r\n");
}

#ifndef _WIN32
TEST_F(AtomicFile, AFileThatBecameReadOnlyWhileWritingIsNotReplaced) {
  put("a.txt", "kept\r\n");
  AtomicFileWriter writer(folder() / "a.txt");
  ASSERT_TRUE(writer.is_open());
  writer.append("new\r\n");
  fs::permissions(folder() / "a.txt", fs::perms::owner_read);
  EXPECT_FALSE(writer.finish());
  expect_only("a.txt", "kept\r\n");
}

TEST_F(AtomicFile, AnUnwritableFolderIsRefused) {
  if (running_as_root()) GTEST_SKIP() << "root may write anywhere";
  put("a.txt", "kept\r\n");
  fs::permissions(folder(), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_FALSE(AtomicFileWriter(folder() / "a.txt").is_open());
  fs::permissions(folder(), fs::perms::owner_all);
  expect_only("a.txt", "kept\r\n");
}

// A replaced file keeps its mode exactly, also one without its owner's write bit, which root's
// own permission checks let it write.
TEST_F(AtomicFile, ReplacedFilesKeepTheirPermissions) {
  const fs::perms group_write = fs::perms::owner_read | fs::perms::group_read | fs::perms::group_write;
  for (const fs::perms perms : {fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read, group_write}) {
    if (perms == group_write && !running_as_root()) continue;
    put("a.txt", "old");
    fs::permissions(folder() / "a.txt", perms);
    AtomicFileWriter writer(folder() / "a.txt");
    writer.append("new");
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(test::read_file(folder() / "a.txt"), "new");
    EXPECT_EQ(fs::status(folder() / "a.txt").permissions() & fs::perms::all, perms);
  }
}

TEST_F(AtomicFile, ALinkIsFollowedAndStays) {
  fs::create_directory(folder() / "real");
  put("real/a.csv", "old");
  fs::create_symlink("real/a.csv", folder() / "link.csv");
  AtomicFileWriter writer(folder() / "link.csv");
  writer.append("new");
  ASSERT_TRUE(writer.finish());
  EXPECT_EQ(fs::read_symlink(folder() / "link.csv"), "real/a.csv");
  EXPECT_EQ(names(), (std::vector<std::string>{"link.csv", "real"}));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder() / "real"), {}), 1);
  EXPECT_EQ(test::read_file(folder() / "real" / "a.csv"), "new");
}

// A link that names no file is replaced, never followed: no file is ever created through a link.
TEST_F(AtomicFile, ADanglingLinkIsReplacedNotFollowed) {
  for (const FinalName final_name : {FinalName::unknown, FinalName::free}) {
    fs::create_symlink(folder() / "victim", folder() / "link.csv");
    AtomicFileWriter writer(folder() / "link.csv", {}, final_name);
    writer.append("new");
    ASSERT_TRUE(writer.finish());
    EXPECT_FALSE(fs::is_symlink(folder() / "link.csv"));
    EXPECT_EQ(test::read_file(folder() / "link.csv"), "new");
    EXPECT_EQ(names(), std::vector<std::string>{"link.csv"});  // no "victim"
    fs::remove(folder() / "link.csv");
  }
}

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
#endif

// What the disk flush was handed (a plain function pointer, so the record is the test file's).
struct FlushSeen {
  fs::path folder;
  bool result = true;
  int calls = 0;
  long position = -1;     // where the handed file stood: past every byte only if it wrote them
  std::string temporary;  // the temporary's text meanwhile: not yet renamed, every byte in it
} flush_seen;

bool recording_flush(std::FILE* file) {
  ++flush_seen.calls;
  flush_seen.position = std::ftell(file);
  for (const auto& entry : fs::directory_iterator(flush_seen.folder)) {
    if (is_temporary_file_name(entry.path().filename().string())) flush_seen.temporary = test::read_file(entry.path());
  }
  return flush_seen.result;
}

TEST_F(AtomicFile, IsFlushedThroughTheFileThatWroteItBeforeTheRenameAndOnlyThen) {
  struct Case {
    const char* name;
    const char* before;  // at a.csv: "old" a file, "null" a link to /dev/null
    bool abandon, flushed, finished;
    int calls;
    const char* failure;
  };
  std::vector<Case> cases = {{"written", "old", false, true, true, 1, ""},
                             {"flush_fails", "old", false, false, false, 1, "could not be flushed to its storage device"},
                             {"abandoned", "old", true, true, false, 0, "abandoned after an interrupt"}};
#ifndef _WIN32
  cases.push_back({"device_in_place", "null", false, true, true, 0, ""});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(folder() / "a.csv");
    if (c.before == std::string("old")) put("a.csv", "old");
    if (c.before == std::string("null")) fs::create_symlink("/dev/null", folder() / "a.csv");
    flush_seen = FlushSeen{};
    flush_seen.folder = folder();
    flush_seen.result = c.flushed;
    std::stop_source abandon;
    AtomicFileWriter writer(folder() / "a.csv", {.sync = recording_flush, .abandon = abandon.get_token()});
    const std::string text((std::size_t{3} << 19) + 7, 'z');  // a full buffer written out while appending
    writer.append(text);
    if (c.abandon) abandon.request_stop();
    EXPECT_EQ(writer.finish(), c.finished);
    EXPECT_EQ(writer.failure(), c.failure);
    EXPECT_EQ(flush_seen.calls, c.calls);
    if (c.calls == 1) {
      EXPECT_EQ(flush_seen.position, static_cast<long>(text.size()));
      EXPECT_TRUE(flush_seen.temporary == text) << flush_seen.temporary.size() << " bytes in the temporary";
    }
    const bool replaced = c.finished && c.before == std::string("old");
    EXPECT_TRUE(test::read_file(folder() / "a.csv") == (replaced ? text : c.before == std::string("old") ? "old" : ""));
    EXPECT_EQ(names(), std::vector<std::string>{"a.csv"});  // no temporary stays
  }
}

// A free final name is not looked at before the rename: what appeared there while the file was
// written is replaced if a rename can replace it, and otherwise refused in the words a look before
// writing would have used.
TEST_F(AtomicFile, WhatAppearedAtAFreeNameIsReplacedOrRefusedAndNoTemporaryStays) {
  struct Case {
    const char* name;         // also the folder of the case's a.csv
    const char* appeared;     // "" nothing, "file" or "folder"
    const char* failure;      // "" when the file is placed
    std::u8string subfolder;  // a name outside ASCII takes another rename
  };
  const Case cases[] = {{"nothing", "", "", u8""},
                        {"file", "file", "", u8""},
                        {"folder", "folder", "Is a directory", u8""},
                        {"nothing_outside_ascii", "", "", u8"d\u00e9j\u00e0-\u6570"},
                        {"file_outside_ascii", "file", "", u8"d\u00e9j\u00e0-\u6570"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path at = folder() / c.name / fs::path(c.subfolder);
    const bool placed = *c.failure == '\0';
    fs::create_directories(at);
    AtomicFileWriter writer(at / "a.csv", {}, FinalName::free);
    ASSERT_TRUE(writer.is_open());
    writer.append("new");
    if (std::string(c.appeared) == "file") std::ofstream(at / "a.csv", std::ios::binary) << "appeared";
    if (std::string(c.appeared) == "folder") fs::create_directory(at / "a.csv");
    EXPECT_EQ(writer.finish(), placed);
    EXPECT_EQ(writer.failure(), c.failure);
    EXPECT_EQ(std::distance(fs::directory_iterator(at), {}), 1);  // no temporary stays
    EXPECT_TRUE(placed ? test::read_file(at / "a.csv") == "new" : fs::is_directory(at / "a.csv"));
  }
}

#ifndef _WIN32
// Nonces count up, so the next temporary's name is known: a file already there under it (another
// process's temporary) is left alone and the writer takes the name after it.
TEST_F(AtomicFile, AnExistingTemporaryNameIsNeverTaken) {
  std::string first;
  {
    AtomicFileWriter probe(folder() / "a.csv");
    first = names().at(0);
  }
  const std::uint32_t next = static_cast<std::uint32_t>(std::stoul(first.substr(5, 7), nullptr, 16)) + 1;
  const std::string taken = temporary_file_path("a.csv", next).string();
  put(taken, "another writer's");
  AtomicFileWriter writer(folder() / "a.csv");
  writer.append("new");
  ASSERT_TRUE(writer.finish());
  EXPECT_EQ(test::read_file(folder() / taken), "another writer's");
  EXPECT_EQ(test::read_file(folder() / "a.csv"), "new");
}
#endif

const WriteContext holding{.sync = nullptr, .abandon = {}, .hold = platform::hold_temporary,
                           .remove_stale = platform::remove_unheld_temporary};

// A killed run's temporaries are cleared by the next run into the folder; a live writer's,
// held until it is renamed, are not.
TEST_F(AtomicFile, StaleTemporariesAreClearedAndHeldOnesKept) {
  const std::string left = temporary_file_path("a.csv", 0x0badf00d).string();
  put(left, "left by a kill");
  put(temporary_file_path("a.csv", 0x0badf00e).string(), "left by another");
  put(".qv-notours.partial", "not a temporary's name");
  put("a.csv", "old");
  AtomicFileWriter writer(folder() / "a.csv", holding);
  writer.append("new");
  ASSERT_TRUE(writer.complete());  // complete, not yet renamed: still held
  EXPECT_EQ(remove_stale_temporaries(folder(), holding), 2u);
  EXPECT_EQ(names().size(), 3u);  // a.csv, the foreign name and the live temporary
  put(left, "left by a kill");
  EXPECT_EQ(remove_stale_temporaries(folder(), {}), 0u);  // nothing to remove with
  fs::remove(folder() / left);
  ASSERT_TRUE(writer.put_in_place());
  EXPECT_EQ(names(), (std::vector<std::string>{".qv-notours.partial", "a.csv"}));
  EXPECT_EQ(test::read_file(folder() / "a.csv"), "new");
}

// Another platform's temporary (a Windows program under Wine beside a Linux one), or an earlier
// version's, is held in a way this platform cannot see: it is cleared only once nobody has
// written it for stale_temporary_age, whatever this platform's own test says.
struct LeftoverCase {
  const char* name;
  const char* owner;  // "this", "other" (platform), "earlier" (version) or a name of no temporary
  TemporaryOwner told;
  int days_unwritten;
  bool cleared;
};

class Leftover : public AtomicFile, public ::testing::WithParamInterface<LeftoverCase> {};

TEST_P(Leftover, IsClearedOnlyWhenItsWriterIsProvablyGone) {
  const LeftoverCase& c = GetParam();
  std::string name = temporary_file_path("a.csv", 0x0c0ffee).string();
  const std::string owner = c.owner;
  if (owner == "other") name[4] = name[4] == 'p' ? 'w' : 'p';
  if (owner == "earlier") name = ".qv-00c0ffee.partial";
  if (owner != "this" && owner != "other" && owner != "earlier") name = owner;
  EXPECT_EQ(temporary_owner(name), c.told);
  put(name, "a writer's");
  fs::last_write_time(folder() / name, fs::file_time_type::clock::now() - std::chrono::hours(24 * c.days_unwritten));
  EXPECT_EQ(remove_stale_temporaries(folder(), holding), c.cleared ? 1u : 0u);
  EXPECT_EQ(fs::exists(folder() / name), !c.cleared);
}

INSTANTIATE_TEST_SUITE_P(
    Owners, Leftover,
    ::testing::Values(LeftoverCase{"this_platforms_unheld", "this", TemporaryOwner::this_platform, 0, true},
                      LeftoverCase{"other_platforms_fresh", "other", TemporaryOwner::other_platform, 0, false},
                      LeftoverCase{"other_platforms_six_days", "other", TemporaryOwner::other_platform, 6, false},
                      LeftoverCase{"other_platforms_eight_days", "other", TemporaryOwner::other_platform, 8, true},
                      LeftoverCase{"other_platforms_from_the_future", "other", TemporaryOwner::other_platform, -30,
                                   false},
                      LeftoverCase{"earlier_versions_fresh", "earlier", TemporaryOwner::unknown, 0, false},
                      LeftoverCase{"earlier_versions_eight_days", "earlier", TemporaryOwner::unknown, 8, true},
                      LeftoverCase{"unknown_letter", ".qv-x0c0ffee.partial", TemporaryOwner::none, 8, false},
                      LeftoverCase{"not_hex", ".qv-p0c0ffeg.partial", TemporaryOwner::none, 8, false}),
    [](const ::testing::TestParamInfo<LeftoverCase>& p) { return std::string(p.param.name); });

#ifndef _WIN32
// A temporary that another run's clearing took between its creation and its hold is not held:
// the writer then takes another name.
TEST_F(AtomicFile, ATemporaryTakenBeforeItWasHeldIsNotHeld) {
  std::FILE* file = std::fopen((folder() / ".qv-00000001.partial").c_str(), "wb");
  ASSERT_NE(file, nullptr);
  fs::remove(folder() / ".qv-00000001.partial");
  EXPECT_FALSE(platform::hold_temporary(file, folder() / ".qv-00000001.partial"));
  std::fclose(file);
  // Held by one descriptor, a temporary is not removed through another; a link is never followed.
  file = std::fopen((folder() / ".qv-00000002.partial").c_str(), "wb");
  ASSERT_TRUE(platform::hold_temporary(file, folder() / ".qv-00000002.partial"));
  EXPECT_FALSE(platform::remove_unheld_temporary(folder() / ".qv-00000002.partial"));
  std::fclose(file);
  fs::create_symlink(".qv-00000002.partial", folder() / ".qv-00000003.partial");
  EXPECT_FALSE(platform::remove_unheld_temporary(folder() / ".qv-00000003.partial"));
  EXPECT_TRUE(platform::remove_unheld_temporary(folder() / ".qv-00000002.partial"));
  EXPECT_EQ(names(), std::vector<std::string>{".qv-00000003.partial"});
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
  bool abandoned = false;  // abandoned (a second interrupt) once both are written
};

class PutTogether : public AtomicFile, public ::testing::WithParamInterface<PairCase> {};

TEST_P(PutTogether, NeverLeavesACompanionBesideAnotherFile) {
  const PairCase& c = GetParam();
  put("a.csv", "old");
  put("a.txt", "old");
  std::stop_source abandon;
  const WriteContext context{.sync = nullptr, .abandon = abandon.get_token()};
  AtomicFileWriter primary(folder() / "a.csv", context);
  AtomicFileWriter companion(folder() / "a.txt", context);
  primary.append("new");
  companion.append("new");
  // A writer that was abandoned before completing stands for any failure while writing.
  if (c.primary_fails) primary.discard();
  if (c.companion_fails) companion.discard();
  primary.complete();
  companion.complete();
  if (c.abandoned) abandon.request_stop();
  const Companion companions[] = {{companion, c.required}};
  EXPECT_EQ(put_in_place_together(primary, companions), c.placed);
  EXPECT_EQ(test::read_file(folder() / "a.csv"), c.csv_after);
  EXPECT_EQ(test::read_file(folder() / "a.txt"), c.txt_after);
  for (const std::string& name : names()) EXPECT_FALSE(is_temporary_file_name(name)) << name;
  if (c.abandoned) {
    for (const AtomicFileWriter* w : {&primary, &companion}) EXPECT_EQ(w->failure(), "abandoned after an interrupt");
  }
}

// Whatever stops the new set after it was written (here its earlier sample file made read-only,
// or no descriptor left for the looks), the earlier pair stays whole: every step that can fail
// comes before anything earlier is removed.
struct LateFailureCase {
  const char* name;
  bool read_only_primary;
  bool no_descriptors;
  const char* failure;
};

class LateFailure : public AtomicFile, public ::testing::WithParamInterface<LateFailureCase> {};

TEST_P(LateFailure, KeepsTheEarlierPairWhole) {
  const LateFailureCase& c = GetParam();
  put("a.csv", "old");
  put("a.txt", "old");
  put("a.meta", "old");
  AtomicFileWriter primary(folder() / "a.csv");
  AtomicFileWriter metadata(folder() / "a.meta");
  AtomicFileWriter settings(folder() / "a.txt");
  for (AtomicFileWriter* w : {&primary, &metadata, &settings}) {
    w->append("new");
    ASSERT_TRUE(w->complete());
  }
  if (c.read_only_primary) fs::permissions(folder() / "a.csv", fs::perms::owner_read);
  const Companion companions[] = {{metadata, true}, {settings, false}};
  bool placed = true;
#ifndef _WIN32
  rlimit before{};
  if (c.no_descriptors) {
    // No descriptor above those already open: every look at a final name fails.
    getrlimit(RLIMIT_NOFILE, &before);
    const int next = ::dup(0);
    ::close(next);
    const rlimit none{static_cast<rlim_t>(next), before.rlim_max};
    setrlimit(RLIMIT_NOFILE, &none);
  }
  placed = put_in_place_together(primary, companions);
  if (c.no_descriptors) setrlimit(RLIMIT_NOFILE, &before);
#else
  if (c.no_descriptors) GTEST_SKIP() << "no descriptor limit to lower";
  placed = put_in_place_together(primary, companions);
#endif
  EXPECT_FALSE(placed);
  EXPECT_EQ(primary.failure(), c.failure);
  fs::permissions(folder() / "a.csv", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(names(), (std::vector<std::string>{"a.csv", "a.meta", "a.txt"}));
  for (const char* name : {"a.csv", "a.meta", "a.txt"}) EXPECT_EQ(test::read_file(folder() / name), "old") << name;
}

INSTANTIATE_TEST_SUITE_P(Cases, LateFailure,
                         ::testing::Values(LateFailureCase{"read_only_sample_file", true, false, "Permission denied"},
                                           LateFailureCase{"descriptors_run_out", false, true, "Too many open files"}),
                         [](const ::testing::TestParamInfo<LateFailureCase>& p) { return std::string(p.param.name); });

// A sample file that replaces an earlier one takes the earlier settings file with it even when
// no new one is written; one this user may not write keeps the earlier pair.
TEST_F(AtomicFile, AnEarlierOnlyCompanionGoesWithTheFileItDescribed) {
  for (const bool read_only : {false, true}) {
    SCOPED_TRACE(read_only);
    put("a.csv", "old");
    put("a.txt", "old");
    if (read_only) fs::permissions(folder() / "a.txt", fs::perms::owner_read);
    AtomicFileWriter primary(folder() / "a.csv");
    AtomicFileWriter earlier(folder() / "a.txt", AtomicFileWriter::EarlierOnly{});
    primary.append("new");
    ASSERT_TRUE(primary.complete());
    const Companion companions[] = {{earlier, false}};
    EXPECT_EQ(put_in_place_together(primary, companions), !read_only);
    EXPECT_FALSE(earlier.is_placed());
    if (read_only) {
      EXPECT_EQ(earlier.failure(), "Permission denied");
      fs::permissions(folder() / "a.txt", fs::perms::owner_read | fs::perms::owner_write);
      EXPECT_EQ(test::read_file(folder() / "a.txt"), "old");
      EXPECT_EQ(test::read_file(folder() / "a.csv"), "old");
      EXPECT_EQ(names(), (std::vector<std::string>{"a.csv", "a.txt"}));
    } else {
      EXPECT_EQ(earlier.failure(), "");
      expect_only("a.csv", "new");
    }
    fs::remove(folder() / "a.txt");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, PutTogether,
    ::testing::Values(PairCase{"both_written", false, false, false, "new", "new", true},
                      PairCase{"required_both_written", false, false, true, "new", "new", true},
                      PairCase{"primary_fails", true, false, false, "old", "old", false},
                      PairCase{"optional_companion_fails", false, true, false, "new", "", true},
                      PairCase{"required_companion_fails", false, true, true, "old", "old", false},
                      PairCase{"abandoned_once_written", false, false, false, "old", "old", false, true},
                      PairCase{"required_abandoned_once_written", false, false, true, "old", "old", false, true}),
    [](const ::testing::TestParamInfo<PairCase>& p) { return std::string(p.param.name); });

TEST(TemporaryFileName, IsShortHiddenBesideTheTargetAndRecognised) {
  const fs::path temporary = temporary_file_path(fs::path("out") / "QPSK_signal_1.csv", 0x00c0ffee);
  EXPECT_EQ(temporary.parent_path(), fs::path("out"));
#ifdef _WIN32
  const std::string platform = "w";
#else
  const std::string platform = "p";
#endif
  // The nonce's low 28 bits after the letter of the platform whose writer made it.
  EXPECT_EQ(temporary.filename().string(), ".qv-" + platform + "0c0ffee.partial");
  EXPECT_EQ(temporary_file_path("a.txt", 0xf0000001).string(), ".qv-" + platform + "0000001.partial");
  // The same 20 characters for any final name, so a temporary fits wherever its final path does.
  EXPECT_EQ(temporary_file_path(std::string(300, 'n'), 2).string(), ".qv-" + platform + "0000002.partial");
  for (const char* name : {".qv-p123abcd.partial", ".qv-w0000000.partial", ".qv-0123abcd.partial"}) {
    EXPECT_TRUE(is_temporary_file_name(name)) << name;
  }
  for (const char* name : {"qv-p123abcd.partial", ".qv-p123ABCD.partial", ".qv-p123abc.partial", ".qv-p0123abcd.partial",
                           ".qv-0123ABCD.partial", ".qv-0123abc.partial", ".qv-0123abcde.partial", ".qv-P123abcd.partial",
                           ".qv-x123abcd.partial", ".qv_p123abcd.partial", ".qv-p123abcd.part", ".a.csv.0123abcd.partial",
                           "QPSK_signal_1.csv", ".partial", ""}) {
    EXPECT_FALSE(is_temporary_file_name(name)) << name;
  }
}

}  // namespace
}  // namespace quorvin
