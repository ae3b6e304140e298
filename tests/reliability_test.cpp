// quorvin-cli under faults, run as a separate process: a full disk, a file-size limit, targets it
// may not write, paths too long for the system, hostile surroundings and interrupts. Whatever
// happens, the final names hold complete files only, an earlier file survives a failed write, and
// no temporary file is left behind.

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "parameter_names.h"
#include "run/atomic_file.h"
#include "run_test_support.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

namespace fs = std::filesystem;
using test::Outcome;
using test::with;

class Reliability : public test::CliFolder {
 protected:
  // Temporary files anywhere below the folder.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder())) {
      if (is_temporary_file_name(entry.path().filename().string())) found.push_back(entry.path().string());
    }
    return found;
  }
};

// Where a child may run as an unprivileged user: root's own permission checks would let it
// write a read-only file.
std::optional<passwd> unprivileged_user() {
  const passwd* nobody = geteuid() == 0 ? getpwnam("nobody") : nullptr;
  return nobody ? std::optional<passwd>(*nobody) : std::nullopt;
}

// In the child: becomes that user, if there is one; status 126 if that fails.
void drop_privileges() {
  if (const auto user = unprivileged_user()) {
    if (setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0) _exit(126);
  }
}

// Whether the child has ended; it is left to be reaped by finish().
bool has_ended(pid_t child) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Waits, without a deadline of its own, until the file holds `text` `count` times; false if the
// child ended first.
bool wait_for(const fs::path& file, const std::string& text, pid_t child, std::size_t count = 1) {
  while (occurrences(test::read_file(file), text) < count) {
    if (has_ended(child)) return occurrences(test::read_file(file), text) >= count;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Gives a child a minute to end; one still running then (the hang under test) is killed.
void expect_ends_within_a_minute(pid_t child) {
  for (int waited = 0; waited < 3000 && !has_ended(child); ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (has_ended(child)) return;
  kill(child, SIGKILL);
  ADD_FAILURE() << "quorvin-cli still running after a minute";
}

const fs::perms read_only = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
const std::string earlier_text = "earlier complete file\r\n";

fs::path put_earlier(const fs::path& path) {
  std::ofstream(path, std::ios::binary) << earlier_text;
  return path;
}

// Part-way through the first file: 64 KiB of a file of some 2.5 MB. Ignored SIGXFSZ turns the
// limit into a write error (quorvin-cli also ignores it itself).
void limit_file_size() {
  signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{64 << 10, 64 << 10};
  setrlimit(RLIMIT_FSIZE, &limit);
}

struct Fault {
  const char* name;
  // Prepares the target of AM's file and returns the earlier file that must survive, if any.
  std::function<fs::path(const fs::path& target)> prepare;
  std::function<void()> in_child;  // limits or identity for the child
  bool fm_saved;                   // FM's file, written after AM's, is not hit by the fault
  const char* reason;              // the system's words on standard error
};

const Fault faults[] = {
    {"full_disk", [](const fs::path& at) { fs::create_symlink("/dev/full", at); return fs::path(); }, {}, true,
     "No space left on device"},
    {"file_size_limit", put_earlier, limit_file_size, false, "File too large"},
    {"folder_at_target", [](const fs::path& at) { fs::create_directory(at); return put_earlier(at / "inside.txt"); },
     {}, true, "Is a directory"},
    {"read_only_file",
     [](const fs::path& at) {
       fs::permissions(put_earlier(at), read_only);
       fs::permissions(at.parent_path(), fs::perms::all);  // for the unprivileged user
       return at;
     },
     drop_privileges, true, "Permission denied"},
    // Opening a FIFO would wait for a reader: refused at once.
    {"fifo", [](const fs::path& at) { ::mkfifo(at.c_str(), 0666); return fs::path(); }, {}, true,
     "not a regular file or device"},
};

class FaultInjection : public Reliability, public ::testing::WithParamInterface<Fault> {};

TEST_P(FaultInjection, FailureLineStatusOneNoPartialFileEarlierFileIntact) {
  const Fault& fault = GetParam();
  if (std::string(fault.name) == "read_only_file" && geteuid() == 0 && !unprivileged_user()) {
    GTEST_SKIP() << "running as root with no user 'nobody' to drop to: a read-only file is writable for root";
  }
  const fs::path out = folder() / "out";
  fs::create_directory(out);
  const fs::path earlier = fault.prepare(out / "AM_signal_1.csv");
  const fs::file_type kind = fs::symlink_status(out / "AM_signal_1.csv").type();
  // FM's file is written as usual: one failure does not stop the run.
  const pid_t child = start({"-m", "AM,FM", "--num-symbols", "100000", "--seed", "1", "-j", "1", "-o", out.string()},
                            fault.in_child);
  expect_ends_within_a_minute(child);
  const Outcome o = finish(child);
  ASSERT_NE(o.status, 126) << "could not drop to an unprivileged user";
  EXPECT_EQ(o.status, 1) << o.error;
  const fs::path fm = out / "FM_signal_1.csv";
  EXPECT_EQ(o.out, "AM: Failed to save file.\nFM: " +
                       (fault.fm_saved ? "Saved to " + fm.string() + "\n" : std::string("Failed to save file.\n")));
  EXPECT_EQ(o.error, std::string("quorvin-cli: AM_signal_1.csv: ") + fault.reason + "\n" +
                         (fault.fm_saved ? "" : "quorvin-cli: FM_signal_1.csv: " + std::string(fault.reason) + "\n"));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
  EXPECT_EQ(fs::symlink_status(out / "AM_signal_1.csv").type(), kind);  // a link, folder or FIFO stays one
  if (!earlier.empty()) {
    EXPECT_EQ(test::read_file(earlier), earlier_text);
  }
  const std::string text = test::read_file(fm);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), fault.fm_saved ? 100000 : 0);
  EXPECT_EQ(fs::exists(fm), fault.fm_saved);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultInjection, ::testing::ValuesIn(faults),
                         [](const ::testing::TestParamInfo<Fault>& p) { return std::string(p.param.name); });

TEST_F(Reliability, PathsTooLongForTheSystemAreFailureLines) {
  // One name component beyond 255 bytes, and a whole path beyond 4096 bytes.
  std::string long_path = folder().string();
  while (long_path.size() <= 4200) long_path += "/" + std::string(200, 'p');
  for (const std::string& out : {sub(std::string(300, 'c')), long_path}) {
    const Outcome o = run({"-m", "AM", "--files-per-modulation", "2", "--num-symbols", "10", "-o", out});
    EXPECT_EQ(o.status, 1) << o.error;
    EXPECT_EQ(o.out, "AM: Failed to save file.\nAM: Failed to save file.\n");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
}

struct Interrupt {
  const char* name;
  int signal_number;
  bool twice;
  int status;
};

class Interrupts : public Reliability, public ::testing::WithParamInterface<Interrupt> {};

TEST_P(Interrupts, StopStartingFilesReportWhatWasDoneAndLeaveOnlyCompleteFiles) {
  const Interrupt& interrupt = GetParam();
  const fs::path out = folder() / "out";
  const pid_t child = start({"-m", "all", "--files-per-modulation", "100", "--num-symbols", "20000", "--save-settings",
                             "--seed", "9", "-j", "2", "-o", out.string()});
  ASSERT_TRUE(wait_for(folder() / "stdout.txt", "Saved to", child));
  kill(child, interrupt.signal_number);
  if (interrupt.twice) {
    ASSERT_TRUE(wait_for(folder() / "stderr.txt", "interrupted", child));
    kill(child, interrupt.signal_number);
  }
  const Outcome o = finish(child);
  EXPECT_EQ(o.status, interrupt.status);
  EXPECT_NE(o.error.find("quorvin-cli: interrupted"), std::string::npos) << o.error;
  // The report ends with a whole line; every file it names as saved is there whole, and no other.
  EXPECT_TRUE(o.out.ends_with('\n')) << "a report line was cut: " << o.out;
  std::size_t saved = 0;
  std::istringstream lines(o.out);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find("aved to ");  // "Saved to " and "Settings saved to "
    if (at == std::string::npos) continue;
    EXPECT_TRUE(test::read_file(line.substr(at + 8)).ends_with("\r\n")) << line;
    ++saved;
  }
  std::size_t on_disk = 0;
  for (const auto& entry : fs::directory_iterator(out)) {
    ++on_disk;
    EXPECT_FALSE(is_temporary_file_name(entry.path().filename().string())) << entry.path();
  }
  EXPECT_EQ(on_disk, saved);
  EXPECT_LT(on_disk, 2u * 22 * 100);  // stopped well before the end
  EXPECT_NE(test::read_file(out / "AM_signal_1.txt").find("Modulation Type: AM\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupts,
                         ::testing::Values(Interrupt{"sigint", SIGINT, false, 130}, Interrupt{"sigterm", SIGTERM, false, 143},
                                           Interrupt{"sigint_twice", SIGINT, true, 130}),
                         [](const ::testing::TestParamInfo<Interrupt>& p) { return std::string(p.param.name); });

TEST_F(Reliability, ClosedStandardStreamsNeverReceiveReportText) {
  const std::vector<std::string> batch = {"-m", "all", "--files-per-modulation", "2", "--num-symbols", "300",
                                          "--seed", "1", "-j", "2"};
  ASSERT_EQ(run(with(batch, {"-o", sub("reference")})).status, 0);
  struct Case {
    const char* name;
    int closed;
    std::vector<std::string> extra;
  };
  const Case cases[] = {{"stdout", 1, {}}, {"stderr", 2, {"--progress"}}, {"manifest", 1, {"--manifest", sub("m.csv")}}};
  for (const Case& c : cases) {
    const Outcome o = run(with(batch, with({"-o", sub(c.name)}, c.extra)), [closed = c.closed] { ::close(closed); });
    EXPECT_EQ(o.status, 0) << c.name << ": " << o.error;
    std::size_t compared = 0;
    for (const auto& entry : fs::directory_iterator(folder() / "reference")) {
      EXPECT_EQ(test::read_file(folder() / c.name / entry.path().filename()), test::read_file(entry.path()))
          << c.name << " " << entry.path().filename();
      ++compared;
    }
    EXPECT_GT(compared, 0u);
  }
  EXPECT_TRUE(test::read_file(sub("m.csv")).starts_with("sample_file,metadata_file,")) << "manifest";
}

TEST_F(Reliability, AReportThatCannotBeWrittenFailsTheRun) {
  const Outcome full = run({"-m", "AM,FM", "--num-symbols", "10", "-o", sub("out")}, [] {
    dup2(::open("/dev/full", O_WRONLY), 1);
  });
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.error, "quorvin-cli: cannot write the report to standard output (No space left on device); "
                        "no further file is started\n");

  // A reader that closes the pipe after one line (`| head -1`): the run stops, status 1.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const pid_t child = start({"-m", "all", "--files-per-modulation", "40", "--num-symbols", "2000", "--seed", "7",
                             "-j", "2", "-o", sub("piped")},
                            [&ends] {
                              dup2(ends[1], 1);
                              ::close(ends[0]);
                            });
  ::close(ends[1]);
  char c = 0;
  while (::read(ends[0], &c, 1) == 1 && c != '\n') {
  }
  ::close(ends[0]);
  expect_ends_within_a_minute(child);
  const Outcome piped = finish(child);
  EXPECT_EQ(piped.status, 1);
  EXPECT_NE(piped.error.find("cannot write the report to standard output (Broken pipe)"), std::string::npos) << piped.error;
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
  EXPECT_LT(std::distance(fs::directory_iterator(folder() / "piped"), fs::directory_iterator()), 22 * 40);
}

TEST_F(Reliability, AFifoIsRefusedAtOnceAsManifest) {
  ASSERT_EQ(::mkfifo(sub("manifest.fifo").c_str(), 0666), 0);
  const pid_t child = start({"-m", "QPSK", "--manifest", sub("manifest.fifo"), "-o", sub("out")});
  expect_ends_within_a_minute(child);
  const Outcome o = finish(child);
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.error, "Input Error: --manifest " + sub("manifest.fifo") + " cannot be written (not a regular file or device).\n");
}

TEST_F(Reliability, AThreadLimitMeansFewerWorkersNotACrash) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
  // 2 GB of address space holds about 240 thread stacks, far from 1024.
  const Outcome o = run({"-m", "AM,QPSK", "--files-per-modulation", "20", "--num-symbols", "1000", "--seed", "3",
                         "-j", "1024", "-o", sub("out")},
                        [] {
                          const rlimit limit{2000000ull << 10, 2000000ull << 10};
                          setrlimit(RLIMIT_AS, &limit);
                        });
  EXPECT_EQ(o.status, 0) << o.error;
  EXPECT_NE(o.error.find(" of 1024 worker threads ("), std::string::npos) << o.error;
  EXPECT_EQ(occurrences(o.out, "Saved to"), 40u);
}

TEST_F(Reliability, ASettingsFileThatMayNotBeReplacedKeepsItsSampleFileToo) {
  if (!unprivileged_user()) GTEST_SKIP() << "needs root and the user 'nobody': a read-only file is writable for root";
  const fs::path out = folder() / "out";
  const std::vector<std::string> batch = {"-m", "AM", "--num-symbols", "100", "--save-settings", "-o", out.string()};
  ASSERT_EQ(run(with(batch, {"--seed", "8"})).status, 0);
  const std::string earlier_csv = test::read_file(out / "AM_signal_1.csv");
  const std::string earlier_txt = test::read_file(out / "AM_signal_1.txt");
  fs::permissions(out, fs::perms::all);
  fs::permissions(out / "AM_signal_1.csv", fs::perms::all);
  fs::permissions(out / "AM_signal_1.txt", read_only);
  const Outcome o = run(with(batch, {"--seed", "7"}), drop_privileges);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "AM: Failed to save file.\n");
  EXPECT_EQ(o.error, "quorvin-cli: AM_signal_1.txt: Permission denied\n");
  EXPECT_EQ(test::read_file(out / "AM_signal_1.csv"), earlier_csv);
  EXPECT_EQ(test::read_file(out / "AM_signal_1.txt"), earlier_txt);
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// After a kill, each final sample file stands with its own companion (settings file, metadata)
// or none: never with the earlier run's.
class KilledPairs : public Reliability, public ::testing::WithParamInterface<std::string> {};

TEST_P(KilledPairs, EachFileKeepsItsOwnCompanionOrNone) {
  const bool sigmf = GetParam() == "sigmf";
  const std::vector<std::string> batch = {"-m", "all", "--files-per-modulation", "6", "--num-symbols", "3000",
                                          "--save-settings", "--format", GetParam(), "-j", "2"};
  ASSERT_EQ(run(with(batch, {"--seed", "7", "-o", sub("new")})).status, 0);
  ASSERT_EQ(run(with(batch, {"--seed", "8", "-o", sub("old")})).status, 0);
  const std::vector<std::string> companions = sigmf ? std::vector<std::string>{".sigmf-meta", ".txt"}
                                                    : std::vector<std::string>{".txt"};
  for (const std::size_t lines : {1u, 9u, 40u, 90u}) {
    const fs::path out = folder() / ("killed-" + std::to_string(lines));
    fs::copy(folder() / "old", out);
    const pid_t child = start(with(batch, {"--seed", "7", "-o", out.string()}));
    wait_for(folder() / "stdout.txt", "Saved to", child, lines);
    kill(child, SIGKILL);
    finish(child);
    for (const auto& entry : fs::directory_iterator(out)) {
      const fs::path name = entry.path().filename();
      if (name.extension() != (sigmf ? ".sigmf-data" : ".csv")) continue;
      const std::string text = test::read_file(entry.path());
      const std::string run = text == test::read_file(folder() / "new" / name) ? "new" : "old";
      ASSERT_EQ(text, test::read_file(folder() / run / name)) << name;
      for (const std::string& extension : companions) {
        const fs::path companion = fs::path(entry.path()).replace_extension(extension);
        if (!fs::exists(companion)) continue;
        EXPECT_EQ(test::read_file(companion), test::read_file(folder() / run / companion.filename()))
            << companion.filename() << " beside the " << run << " " << name;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, KilledPairs, ::testing::Values("csv", "sigmf"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
}  // namespace quorvin
