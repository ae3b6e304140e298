// quorvin-cli under faults, run as a separate process: a full disk, a file-size limit, targets it
// may not write, paths too long for the system, hostile surroundings and interrupts. Whatever
// happens, the final names hold complete files only, an earlier file survives a failed write, and
// no temporary file is left behind.

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "parameter_names.h"
#include "run_test_support.h"
#include "writers/atomic_file.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

namespace fs = std::filesystem;
using test::occurrences;
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
  // quorvin-cli with its standard output into a pipe; the child and the pipe's reading end.
  std::pair<pid_t, int> start_into_pipe(std::vector<std::string> arguments) const {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    const pid_t child = start(std::move(arguments), [&ends] {
      dup2(ends[1], 1);
      ::close(ends[0]);
    });
    ::close(ends[1]);
    return {child, ends[0]};
  }
  // Whether this build writes HDF5 containers.
  bool runs_hdf5() const {
    const bool made = run({"-m", "AM", "--format", "hdf5", "-q", "-o", sub("probe")}).status == 0;
    fs::remove_all(folder() / "probe");
    return made;
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

// Waits, without a deadline of its own, until the file holds `text` `count` times; false if the
// child ended first.
bool wait_for(const fs::path& file, const std::string& text, pid_t child, std::size_t count = 1) {
  while (occurrences(test::read_file(file), text) < count) {
    if (test::has_ended(child)) return occurrences(test::read_file(file), text) >= count;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
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

// Four names of fixed-length frames in one container, `files` of each.
std::vector<std::string> container_batch(const std::string& files, const std::string& samples = "16384") {
  return {"-m", "QPSK,AM,GMSK,QAM64", "--signal-model", "exact", "--sample-rate", "100000", "--samples-per-file", samples,
          "--files-per-modulation", files, "--format", "hdf5", "-j", "1"};
}

struct Fault {
  const char* name;
  std::function<void(const fs::path& target)> prepare;  // what stands at the target's name before the run
  std::function<void()> in_child;                       // limits or identity for the child
  bool fm_saved;                                        // FM's files, written after AM's, escape the fault
  std::string words;                                    // the system's words on standard error
  const char* failing = "AM_signal_1.csv";              // the sample files' run: the file it names
  bool sample_files_only = false;
};

const Fault faults[] = {
    {"full_disk", [](const fs::path& at) { fs::create_symlink("/dev/full", at); }, {}, true, "No space left on device"},
    {"file_size_limit", [](const fs::path& at) { put_earlier(at); }, limit_file_size, false, "File too large"},
    {"folder_at_target",
     [](const fs::path& at) {
       fs::create_directory(at);
       put_earlier(at / "inside.txt");
     }, {}, true, "Is a directory"},
    {"read_only_file", [](const fs::path& at) { fs::permissions(put_earlier(at), read_only); }, drop_privileges, true,
     "Permission denied"},
    // The sample file may be replaced, its settings file may not: neither is.
    {"read_only_settings_file",
     [](const fs::path& at) {
       fs::permissions(put_earlier(at), fs::perms::all);
       fs::permissions(put_earlier(fs::path(at).replace_extension(".txt")), read_only);
     },
     drop_privileges, true, "Permission denied", "AM_signal_1.txt", true},
    // Opening a FIFO would wait for a reader: refused at once.
    {"fifo", [](const fs::path& at) { ::mkfifo(at.c_str(), 0666); }, {}, true, "not a regular file or device"},
};

// The fault stands at AM's first sample file, or at the HDF5 container.
class FaultInjection : public Reliability, public ::testing::WithParamInterface<std::tuple<Fault, bool>> {};

// Status 1 and the system's words, never a crash; what stood at the name (a link, folder, FIFO or
// an earlier file) stays as it was, and no temporary is left.
TEST_P(FaultInjection, FailureLineStatusOneNoPartialFileEarlierFilesIntact) {
  const auto& [fault, container] = GetParam();
  if (container && fault.sample_files_only) GTEST_SKIP() << "a container has no settings files";
  if (std::string(fault.name).starts_with("read_only") && geteuid() == 0 && !unprivileged_user()) {
    GTEST_SKIP() << "running as root with no user 'nobody' to drop to: a read-only file is writable for root";
  }
  if (container && !runs_hdf5()) GTEST_SKIP() << "built without HDF5";
  const fs::path out = folder() / "out";
  fs::create_directory(out);
  const fs::path at = out / (container ? "dataset.h5" : "AM_signal_1.csv");
  fault.prepare(at);
  fs::permissions(out, fs::perms::all);  // for the unprivileged user
  std::map<fs::path, std::string> earlier;
  for (const auto& entry : fs::recursive_directory_iterator(out)) {
    if (entry.is_regular_file()) earlier[entry.path()] = test::read_file(entry.path());
  }
  const fs::file_type kind = fs::symlink_status(at).type();
  // FM's files are written as usual: one failure does not stop the run.
  const std::vector<std::string> batch = container ? container_batch("4", "65536")
                                                   : std::vector<std::string>{"-m", "AM,FM", "--num-symbols", "100000",
                                                                              "--save-settings", "-j", "1"};
  const Outcome o = run(with(batch, {"--seed", "1", "-o", out.string()}), fault.in_child);
  ASSERT_NE(o.status, 126) << "could not drop to an unprivileged user";
  EXPECT_EQ(o.status, 1) << o.error;
  if (container) {
    EXPECT_NE(o.error.find("quorvin-cli: " + at.string() + ": "), std::string::npos) << o.error;
    EXPECT_NE(o.error.find(fault.words), std::string::npos) << o.error;
    EXPECT_EQ(o.out.find("Dataset saved"), std::string::npos) << o.out;
  } else {
    const std::string fm = (out / "FM_signal_1").string();
    EXPECT_EQ(o.out, "AM: Failed to save file.\nFM: " + (fault.fm_saved ? "Saved to " + fm + ".csv\n  Settings saved to " +
                                                                             fm + ".txt\n"
                                                                       : std::string("Failed to save file.\n")));
    EXPECT_EQ(o.error, "quorvin-cli: " + std::string(fault.failing) + ": " + fault.words + "\n" +
                           (fault.fm_saved ? "" : "quorvin-cli: FM_signal_1.csv: " + fault.words + "\n"));
    const std::string text = test::read_file(fm + ".csv");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), fault.fm_saved ? 100000 : 0);
    EXPECT_EQ(fs::exists(fm + ".csv"), fault.fm_saved);
  }
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
  EXPECT_EQ(fs::symlink_status(at).type(), kind);  // a link, folder or FIFO stays one
  for (const auto& [path, text] : earlier) EXPECT_EQ(test::read_file(path), text) << path;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultInjection, ::testing::Combine(::testing::ValuesIn(faults), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<Fault, bool>>& p) {
                           return std::string(std::get<1>(p.param) ? "container_" : "") + std::get<0>(p.param).name;
                         });

TEST_F(Reliability, FoldersThatCannotBeMadeAreRefusedOnce) {
  // One name component beyond 255 bytes, a whole path beyond 4096 bytes, and a file in the way.
  std::string long_path = folder().string();
  while (long_path.size() <= 4200) long_path += "/" + std::string(200, 'p');
  std::ofstream(sub("afile")) << "x";
  const std::pair<std::string, const char*> cases[] = {{sub(std::string(300, 'c')), "File name too long"},
                                                       {long_path, "File name too long"},
                                                       {sub("afile/sub"), "Not a directory"}};
  for (const auto& [out, reason] : cases) {
    const Outcome o = run({"-m", "AM", "--files-per-modulation", "2", "--num-symbols", "10", "-o", out});
    EXPECT_EQ(o.status, 2) << o.error;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.error, "quorvin-cli: --output-folder " + out + " cannot be made (" + reason + ")\n");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
  // A folder that can be made, whose files' names pass the limit: a failure line per file.
  std::string near_limit = folder().string();
  while (near_limit.size() < 4096 - 220) near_limit += "/" + std::string(200, 'n');
  near_limit += "/" + std::string(4096 - 12 - near_limit.size(), 'n');
  const Outcome o = run({"-m", "AM", "--files-per-modulation", "2", "--num-symbols", "10", "-o", near_limit});
  EXPECT_EQ(o.status, 1) << o.error;
  EXPECT_EQ(o.out, "AM: Failed to save file.\nAM: Failed to save file.\n");
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

struct Interrupt {
  const char* name;
  int signal_number;
  bool twice;
  int status;
};

class Interrupts : public Reliability, public ::testing::WithParamInterface<Interrupt> {
 protected:
  // Interrupts `child` once it has reported `progress` (twice, once it has said so, where the case
  // asks), and waits for its end.
  Outcome interrupted(pid_t child, const std::string& progress) const {
    const Interrupt& interrupt = GetParam();
    EXPECT_TRUE(wait_for(folder() / "stdout.txt", progress, child));
    kill(child, interrupt.signal_number);
    if (interrupt.twice) {
      EXPECT_TRUE(wait_for(folder() / "stderr.txt", "interrupted", child));
      kill(child, interrupt.signal_number);
    }
    return finish(child);
  }
};

TEST_P(Interrupts, StopStartingFilesReportWhatWasDoneAndLeaveOnlyCompleteFiles) {
  const Interrupt& interrupt = GetParam();
  const fs::path out = folder() / "out";
  const pid_t child = start({"-m", "all", "--files-per-modulation", "100", "--num-symbols", "20000", "--save-settings",
                             "--seed", "9", "-j", "2", "-o", out.string()});
  const Outcome o = interrupted(child, "Saved to");
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
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
  EXPECT_EQ(contents("out").size(), saved);
  EXPECT_LT(saved, 2u * 22 * 100);  // stopped well before the end
  EXPECT_NE(test::read_file(out / "AM_signal_1.txt").find("Modulation Type: AM\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupts,
                         ::testing::Values(Interrupt{"sigint", SIGINT, false, 130}, Interrupt{"sigterm", SIGTERM, false, 143},
                                           Interrupt{"sigint_twice", SIGINT, true, 130}),
                         [](const ::testing::TestParamInfo<Interrupt>& p) { return std::string(p.param.name); });

// A reader that stops reading (a paused pager) blocks the report's write; interrupts must still
// be taken, and the third must end the process.
TEST_F(Reliability, InterruptsAreTakenWhileTheReportIsBlocked) {
  const auto [child, reading] = start_into_pipe(
      {"-m", "all", "--files-per-modulation", "200", "--num-symbols", "10", "--progress", "-o", sub("out")});
  // Blocked: the pipe (64 KiB) holds no room for another line and stays so.
  for (int unread = 0, before = -1; (unread < 65000 || unread != before) && !test::has_ended(child);) {
    before = unread;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ioctl(reading, FIONREAD, &unread);
  }
  // Ten seconds for each interrupt's message, where a taken one needs milliseconds.
  const auto said = [this](const char* text) {
    for (int waited = 0; waited < 500; ++waited) {
      if (test::read_file(folder() / "stderr.txt").find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  bool taken = true;
  for (const char* message : {"interrupted", "abandoning"}) {
    kill(child, SIGINT);
    taken = taken && said(message);
  }
  kill(child, SIGINT);
  if (!taken) kill(child, SIGKILL);
  const Outcome o = finish(child);
  ::close(reading);
  EXPECT_TRUE(taken) << "an interrupt waited for the blocked report";
  EXPECT_EQ(o.status, 130);  // the third interrupt's own exit: the run's thread is still blocked
}

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
    EXPECT_EQ(contents(c.name), contents("reference")) << c.name;
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
  const auto [child, reading] = start_into_pipe(
      {"-m", "all", "--files-per-modulation", "40", "--num-symbols", "2000", "--seed", "7", "-j", "2", "-o",
       sub("piped")});
  char c = 0;
  while (::read(reading, &c, 1) == 1 && c != '\n') {
  }
  ::close(reading);
  const Outcome piped = finish(child);
  EXPECT_EQ(piped.status, 1);
  EXPECT_NE(piped.error.find("cannot write the report to standard output (Broken pipe)"), std::string::npos) << piped.error;
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
  EXPECT_LT(std::distance(fs::directory_iterator(folder() / "piped"), fs::directory_iterator()), 22 * 40);
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

// After a kill, each final sample file stands with its own companion (settings file, metadata)
// or none: never with the earlier run's.
class KilledPairs : public Reliability, public ::testing::WithParamInterface<std::string> {};

TEST_P(KilledPairs, EachFileKeepsItsOwnCompanionOrNone) {
  const bool sigmf = GetParam() == "sigmf";
  const std::vector<std::string> batch = {"-m", "all", "--files-per-modulation", "6", "--num-symbols", "3000",
                                          "--save-settings", "--format", GetParam(), "-j", "2"};
  const auto fresh = made(with(batch, {"--seed", "7"}), "new");
  const auto earlier = made(with(batch, {"--seed", "8"}), "old");
  const std::vector<std::string> companions = sigmf ? std::vector<std::string>{".sigmf-meta", ".txt"}
                                                    : std::vector<std::string>{".txt"};
  for (const std::size_t lines : {1u, 9u, 40u, 90u}) {
    const std::string out = "killed-" + std::to_string(lines);
    fs::copy(folder() / "old", folder() / out);
    const pid_t child = start(with(batch, {"--seed", "7", "-o", sub(out)}));
    wait_for(folder() / "stdout.txt", "Saved to", child, lines);
    kill(child, SIGKILL);
    finish(child);
    const auto killed = contents(out);
    for (const auto& [name, text] : killed) {
      if (!name.ends_with(sigmf ? ".sigmf-data" : ".csv")) continue;
      const bool is_new = text == fresh.at(name);
      ASSERT_EQ(text, (is_new ? fresh : earlier).at(name)) << name;
      for (const std::string& extension : companions) {
        const std::string companion = name.substr(0, name.rfind('.')) + extension;
        if (!killed.contains(companion)) continue;
        EXPECT_EQ(killed.at(companion), (is_new ? fresh : earlier).at(companion))
            << companion << " beside the " << (is_new ? "new " : "earlier ") << name;
      }
    }
    // The next complete run clears what the kill left, and what an older kill left.
    std::ofstream(temporary_file_path(folder() / out / "x", 0x0badf00d)) << "left by an older kill";
    EXPECT_EQ(made(with(batch, {"--seed", "7"}), out), fresh);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, KilledPairs, ::testing::Values("csv", "sigmf"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });

// --- the HDF5 container ---------------------------------------------------------------------

// A run stopped by an interrupt abandons its container, and its manifest with it: the earlier
// complete container stays, and no report says "Dataset saved".
TEST_P(Interrupts, AContainerIsAbandonedAndTheEarlierOneKept) {
  const Interrupt& interrupt = GetParam();
  fs::create_directory(folder() / "out");
  const fs::path container = folder() / "out" / "dataset.h5";
  const std::vector<std::string> fading = {"--fading", "rayleigh", "--doppler-max", "20", "-o", sub("out")};
  const Outcome earlier_run = run(with(container_batch("3"), with(fading, {"--seed", "1"})));
  if (earlier_run.error.find("no HDF5 support") != std::string::npos) GTEST_SKIP() << "built without HDF5";
  ASSERT_EQ(earlier_run.status, 0) << earlier_run.error;
  const std::string earlier = test::read_file(container);
  fs::remove(folder() / "stdout.txt");  // the earlier run's "Added to" lines
  const pid_t child = start(with(container_batch("1000"), with(fading, {"--seed", "2", "--manifest", sub("m.csv")})));
  const Outcome o = interrupted(child, "Added to");
  EXPECT_EQ(o.status, interrupt.status);
  EXPECT_TRUE(o.out.ends_with("Failed to save dataset to " + container.string() + "\nFailed to save manifest to " +
                              sub("m.csv") + "\n"))
      << o.out;
  EXPECT_NE(o.error.find(container.string() + ": abandoned, the run stopped before its last file"), std::string::npos)
      << o.error;
  EXPECT_EQ(test::read_file(container), earlier);
  EXPECT_FALSE(fs::exists(folder() / "m.csv"));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// A killed run's container temporary (as large as the rows it held) is cleared by the next
// container run into the folder, as sample files' runs clear theirs.
TEST_F(Reliability, AKilledContainersTemporaryIsClearedByTheNextRun) {
  if (!runs_hdf5()) GTEST_SKIP() << "built without HDF5";
  const pid_t child = start(with(container_batch("1000"), {"--seed", "7", "-o", sub("out")}));
  ASSERT_TRUE(wait_for(folder() / "stdout.txt", "Added to", child));
  kill(child, SIGKILL);
  finish(child);
  ASSERT_EQ(leftovers().size(), 1u);
  const Outcome o = run(with(container_batch("1"), {"--seed", "8", "-o", sub("out")}));
  EXPECT_EQ(o.status, 0) << o.error;
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
  EXPECT_EQ(contents("out").size(), 1u);  // dataset.h5
}

// Two runs into one folder each write a temporary of their own: both succeed and the folder
// holds one whole container, never an empty one.
TEST_F(Reliability, TwoRunsIntoOneContainersFolderNeverMeet) {
  if (!runs_hdf5()) GTEST_SKIP() << "built without HDF5";
  const pid_t first = start(with(container_batch("150"), {"--seed", "7", "-o", sub("out")}));
  ASSERT_TRUE(wait_for(folder() / "stdout.txt", "Added to", first));
  const Outcome second = run(with(container_batch("1"), {"--seed", "8", "-o", sub("out")}));
  EXPECT_EQ(second.status, 0) << second.error;
  const Outcome o = finish(first);
  EXPECT_EQ(o.status, 0) << o.error;
  EXPECT_TRUE(test::read_file(folder() / "out" / "dataset.h5").starts_with("\x89HDF\r\n\x1a\n"));
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace quorvin
