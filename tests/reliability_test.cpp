// quorvin-cli under faults, run as a separate process: a full disk, a file-size limit, targets it
// may not write, paths too long for the system, and interrupts. Whatever happens, the final
// names hold complete files only, an earlier file survives a failed write, and no temporary
// file is left behind.

#include <fcntl.h>
#include <gtest/gtest.h>

#include "parameter_names.h"
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "run/atomic_file.h"
#include "run_test_support.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out;
  std::string error;
};

class Reliability : public test::TempFolder {
 protected:
  // Starts quorvin-cli with standard output and error in files; `before_exec` runs in the child.
  pid_t start(std::vector<std::string> arguments, const std::function<void()>& before_exec = {}) const {
    arguments.insert(arguments.begin(), QUORVIN_CLI_PATH);
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = (folder() / "stdout.txt").string();
    const std::string error = (folder() / "stderr.txt").string();
    const pid_t pid = fork();
    if (pid == 0) {
      const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      const int error_fd = ::open(error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      dup2(out_fd, 1);
      dup2(error_fd, 2);
      if (before_exec) before_exec();
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid;
  }

  Outcome finish(pid_t pid) const {
    int status = 0;
    waitpid(pid, &status, 0);
    Outcome outcome;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = test::read_file(folder() / "stdout.txt");
    outcome.error = test::read_file(folder() / "stderr.txt");
    return outcome;
  }

  Outcome run(std::vector<std::string> arguments, const std::function<void()>& before_exec = {}) const {
    return finish(start(std::move(arguments), before_exec));
  }

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
  if (geteuid() != 0) return std::nullopt;
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) return std::nullopt;
  return *nobody;
}

struct Fault {
  const char* name;
  // Prepares out/ and returns the target of AM file 1; an empty path: no earlier file there.
  std::function<fs::path(const fs::path& out)> prepare;
  std::function<void()> in_child;  // limits or identity for the child
  bool earlier_file = true;        // an earlier AM_signal_1.csv that must survive
  bool fm_saved = true;            // FM's file, written after AM's, is not hit by the fault
  const char* reason = "";         // the system's words on standard error
};

std::string earlier_text() { return "earlier complete file\r\n"; }

void put_earlier(const fs::path& path) { std::ofstream(path, std::ios::binary) << earlier_text(); }

const Fault faults[] = {
    {"full_disk",
     [](const fs::path& out) {
       fs::create_symlink("/dev/full", out / "AM_signal_1.csv");
       return out / "AM_signal_1.csv";
     },
     {}, false, true, "No space left on device"},
    {"file_size_limit",
     [](const fs::path& out) {
       put_earlier(out / "AM_signal_1.csv");
       return out / "AM_signal_1.csv";
     },
     [] {
       // Part-way through the first file: 64 KiB of a file of some 2.5 MB. Ignored SIGXFSZ
       // turns the limit into a write error (quorvin-cli also ignores it itself).
       signal(SIGXFSZ, SIG_IGN);
       const rlimit limit{64 << 10, 64 << 10};
       setrlimit(RLIMIT_FSIZE, &limit);
     },
     true, false, "File too large"},
    {"folder_at_target",
     [](const fs::path& out) {
       fs::create_directory(out / "AM_signal_1.csv");
       put_earlier(out / "AM_signal_1.csv" / "inside.txt");
       return out / "AM_signal_1.csv" / "inside.txt";
     },
     {}, true, true, "Is a directory"},
    {"read_only_file",
     [](const fs::path& out) {
       put_earlier(out / "AM_signal_1.csv");
       fs::permissions(out / "AM_signal_1.csv", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
       if (const auto user = unprivileged_user()) {
         fs::permissions(out, fs::perms::all);  // the folder itself is writable by everyone
       }
       return out / "AM_signal_1.csv";
     },
     [] {
       if (const auto user = unprivileged_user()) {
         if (setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0) _exit(126);
       }
     },
     true, true, "Permission denied"},
};

class FaultInjection : public Reliability, public ::testing::WithParamInterface<Fault> {};

TEST_P(FaultInjection, FailureLineStatusOneNoPartialFileEarlierFileIntact) {
  const Fault& fault = GetParam();
  if (std::string(fault.name) == "read_only_file" && geteuid() == 0 && !unprivileged_user()) {
    GTEST_SKIP() << "running as root with no user 'nobody' to drop to: a read-only file is writable for root";
  }
  const fs::path out = folder() / "out";
  fs::create_directory(out);
  const fs::path earlier = fault.prepare(out);
  // FM's file is written as usual: one failure does not stop the run.
  const Outcome o = run({"-m", "AM,FM", "--num-symbols", "100000", "--seed", "1", "-j", "1", "-o", out.string()},
                        fault.in_child);
  ASSERT_NE(o.status, 126) << "could not drop to an unprivileged user";
  EXPECT_EQ(o.status, 1) << o.error;
  const fs::path fm = out / "FM_signal_1.csv";
  EXPECT_EQ(o.out, "AM: Failed to save file.\n" +
                       (fault.fm_saved ? "FM: Saved to " + fm.string() + "\n" : std::string("FM: Failed to save file.\n")));
  EXPECT_NE(o.error.find(std::string("quorvin-cli: AM_signal_1.csv: ") + fault.reason + "\n"), std::string::npos) << o.error;
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
  if (fault.earlier_file) {
    EXPECT_EQ(test::read_file(earlier), earlier_text());
  }
  if (std::string(fault.name) == "full_disk") {
    EXPECT_EQ(fs::read_symlink(out / "AM_signal_1.csv"), "/dev/full");
  }
  if (std::string(fault.name) == "folder_at_target") {
    EXPECT_TRUE(fs::is_directory(out / "AM_signal_1.csv"));
  }
  if (fault.fm_saved) {
    const std::string text = test::read_file(fm);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 100000);
  } else {
    EXPECT_FALSE(fs::exists(fm));
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultInjection, ::testing::ValuesIn(faults),
                         [](const ::testing::TestParamInfo<Fault>& p) { return std::string(p.param.name); });

TEST_F(Reliability, PathsTooLongForTheSystemAreFailureLines) {
  // One name component beyond 255 bytes, and a whole path beyond 4096 bytes.
  const std::string long_component = (folder() / std::string(300, 'c')).string();
  std::string long_path = folder().string();
  while (long_path.size() <= 4200) long_path += "/" + std::string(200, 'p');
  for (const std::string& out : {long_component, long_path}) {
    const Outcome o = run({"-m", "AM", "--files-per-modulation", "2", "--num-symbols", "10", "-o", out});
    EXPECT_EQ(o.status, 1) << o.error;
    EXPECT_EQ(o.out, "AM: Failed to save file.\nAM: Failed to save file.\n");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
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
// child ended first. The child is left to be reaped by finish().
bool wait_for(const fs::path& file, const std::string& text, pid_t child, std::size_t count = 1) {
  for (;;) {
    if (occurrences(test::read_file(file), text) >= count) return true;
    if (has_ended(child)) return occurrences(test::read_file(file), text) >= count;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
  // Every file under a final name was reported as saved, and every saved one is there whole.
  std::size_t saved = 0;
  std::size_t lines_start = 0;
  while (lines_start < o.out.size()) {
    const std::size_t end = o.out.find('\n', lines_start);
    ASSERT_NE(end, std::string::npos) << "a report line was cut: " << o.out.substr(lines_start);
    const std::string line = o.out.substr(lines_start, end - lines_start);
    lines_start = end + 1;
    for (const std::string marker : {"Saved to ", "Settings saved to "}) {
      const std::size_t at = line.find(marker);
      if (at == std::string::npos) continue;
      const std::string text = test::read_file(line.substr(at + marker.size()));
      EXPECT_TRUE(text.ends_with("\r\n")) << line;
      ++saved;
    }
  }
  std::size_t on_disk = 0;
  for (const auto& entry : fs::directory_iterator(out)) {
    ++on_disk;
    EXPECT_FALSE(is_temporary_file_name(entry.path().filename().string())) << entry.path();
  }
  EXPECT_EQ(on_disk, saved);
  EXPECT_LT(on_disk, 2u * 22 * 100);  // stopped well before the end
  const std::string text = test::read_file(out / "AM_signal_1.txt");
  EXPECT_NE(text.find("Modulation Type: AM\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupts,
                         ::testing::Values(Interrupt{"sigint", SIGINT, false, 130}, Interrupt{"sigterm", SIGTERM, false, 143},
                                           Interrupt{"sigint_twice", SIGINT, true, 130}),
                         [](const ::testing::TestParamInfo<Interrupt>& p) { return std::string(p.param.name); });

TEST_F(Reliability, HostileBoxesOnTheCommandLineAreInputErrors) {
  struct Case {
    const char* option;
    std::string text;
    const char* message;
  };
  const Case cases[] = {{"--sample-rate", "\xef\xbc\x91\xef\xbc\x90", "Invalid Sample Rate."},  // full-width 10
                        {"--snr-min", "\xd9\xa5", "Invalid SNR Min."},                            // Arabic-Indic 5
                        {"--num-symbols", "2147483648", "Invalid Number of Symbols."},
                        {"--sample-rate", "-0", "Invalid Sample Rate."},
                        {"--sample-rate", "4.9e-324", "Invalid Sample Rate."},
                        {"--amplitude-max", "1e309", "Invalid Amplitude Max."},
                        {"--mix-frequency", "nan", "Invalid Mix Frequency."},
                        {"--timing-error-min", " ", "Invalid Symbol Timing Error Min."},
                        {"--analog-fc", std::string(300, '9') + "x", "Invalid Analog Fc."}};
  for (const Case& c : cases) {
    const Outcome o = run({"-m", "AM", c.option, c.text, "-o", (folder() / "out").string()});
    EXPECT_EQ(o.status, 2) << c.option << " " << c.text;
    EXPECT_EQ(o.error, std::string("Input Error: ") + c.message + "\n") << c.option;
    EXPECT_FALSE(fs::exists(folder() / "out"));
  }
}

// --- hostile surroundings: closed streams, FIFOs, pipes, limits, odd paths -----------------

// Gives a child a minute to end; one still running then (the hang under test) is killed.
void expect_ends_within_a_minute(pid_t child) {
  for (int waited = 0; waited < 3000 && !has_ended(child); ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (has_ended(child)) return;
  kill(child, SIGKILL);
  ADD_FAILURE() << "quorvin-cli still running after a minute";
}

// Every file of `folder` that `reference` also has, byte for byte the same.
void expect_same_files(const fs::path& folder, const fs::path& reference) {
  std::size_t compared = 0;
  for (const auto& entry : fs::directory_iterator(reference)) {
    EXPECT_EQ(test::read_file(folder / entry.path().filename()), test::read_file(entry.path())) << entry.path().filename();
    ++compared;
  }
  EXPECT_GT(compared, 0u);
}

TEST_F(Reliability, ClosedStandardStreamsNeverReceiveReportText) {
  const std::vector<std::string> batch = {"-m", "all", "--files-per-modulation", "2", "--num-symbols", "300",
                                          "--seed", "1", "-j", "2"};
  const auto with = [&batch](std::vector<std::string> extra) {
    extra.insert(extra.begin(), batch.begin(), batch.end());
    return extra;
  };
  ASSERT_EQ(run(with({"-o", (folder() / "reference").string()})).status, 0);
  struct Case {
    const char* name;
    int closed;
    std::vector<std::string> extra;
  };
  const Case cases[] = {{"stdout", 1, {}},
                        {"stderr", 2, {"--progress"}},
                        {"manifest", 1, {"--manifest", (folder() / "manifest.csv").string()}}};
  for (const Case& c : cases) {
    const fs::path out = folder() / c.name;
    std::vector<std::string> arguments = with({"-o", out.string()});
    arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
    const Outcome o = run(arguments, [closed = c.closed] { ::close(closed); });
    EXPECT_EQ(o.status, 0) << c.name << ": " << o.error;
    expect_same_files(out, folder() / "reference");
  }
  EXPECT_TRUE(test::read_file(folder() / "manifest.csv").starts_with("sample_file,metadata_file,")) << "manifest";
}

TEST_F(Reliability, AReportThatCannotBeWrittenFailsTheRun) {
  const Outcome full = run({"-m", "AM,FM", "--num-symbols", "10", "-o", (folder() / "out").string()}, [] {
    const int device = ::open("/dev/full", O_WRONLY);
    dup2(device, 1);
  });
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.error, "quorvin-cli: cannot write the report to standard output (No space left on device); "
                        "no further file is started\n");

  // A reader that closes the pipe after one line (`| head -1`): the run stops, status 1.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const pid_t child = start({"-m", "all", "--files-per-modulation", "40", "--num-symbols", "2000", "--seed", "7",
                             "-j", "2", "-o", (folder() / "piped").string()},
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

TEST_F(Reliability, AFifoIsRefusedAtOnceAsTargetAndAsManifest) {
  const fs::path out = folder() / "out";
  fs::create_directory(out);
  ASSERT_EQ(::mkfifo((out / "AM_signal_1.csv").c_str(), 0666), 0);
  const auto run_to_end = [this](std::vector<std::string> arguments) {
    const pid_t child = start(std::move(arguments));
    expect_ends_within_a_minute(child);
    return finish(child);
  };
  const Outcome target = run_to_end({"-m", "AM,QPSK", "--seed", "1", "--num-symbols", "100", "-o", out.string()});
  EXPECT_EQ(target.status, 1);
  EXPECT_EQ(target.out, "AM: Failed to save file.\nQPSK: Saved to " + (out / "QPSK_signal_1.csv").string() + "\n");
  EXPECT_EQ(target.error, "quorvin-cli: AM_signal_1.csv: not a regular file or device\n");

  const fs::path manifest = folder() / "manifest.fifo";
  ASSERT_EQ(::mkfifo(manifest.c_str(), 0666), 0);
  const Outcome listed = run_to_end({"-m", "QPSK", "--manifest", manifest.string(), "-o", out.string()});
  EXPECT_EQ(listed.status, 2);
  EXPECT_EQ(listed.error, "Input Error: --manifest " + manifest.string() + " cannot be written (not a regular file or device).\n");
}

TEST_F(Reliability, AThreadLimitMeansFewerWorkersNotACrash) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
  // 2 GB of address space holds about 240 thread stacks, far from 1024.
  const Outcome o = run({"-m", "AM,QPSK", "--files-per-modulation", "20", "--num-symbols", "1000", "--seed", "3",
                         "-j", "1024", "-o", (folder() / "out").string()},
                        [] {
                          const rlimit limit{2000000ull << 10, 2000000ull << 10};
                          setrlimit(RLIMIT_AS, &limit);
                        });
  EXPECT_EQ(o.status, 0) << o.error;
  EXPECT_NE(o.error.find(" of 1024 worker threads ("), std::string::npos) << o.error;
  EXPECT_EQ(occurrences(o.out, "Saved to"), 40u);
}

TEST_F(Reliability, AManifestThatCannotServeIsRefusedBeforeTheRun) {
  const std::string out = (folder() / "out").string();
  struct Case {
    std::vector<std::string> arguments;
    std::string error;
  };
  const Case cases[] = {
      {{"--manifest", out + "/AM_signal_1.csv"},
       "Input Error: --manifest " + out + "/AM_signal_1.csv is one of the run's own output files.\n"},
      {{"--save-settings", "--manifest", out + "/./AM_signal_2.txt"},
       "Input Error: --manifest " + out + "/./AM_signal_2.txt is one of the run's own output files.\n"},
      {{"--format", "sigmf", "--manifest", out + "/AM_signal_1.sigmf-meta"},
       "Input Error: --manifest " + out + "/AM_signal_1.sigmf-meta is one of the run's own output files.\n"},
      {{"--manifest", out + "/"}, "Input Error: --manifest " + out + "/ is the output folder.\n"},
      {{"--manifest", ""}, "quorvin-cli: --manifest needs a file name\nRun with --help for the options.\n"},
      {{"--manifest", out + "/missing/m.csv"},
       "Input Error: --manifest " + out + "/missing/m.csv cannot be written (No such file or directory).\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"-m", "AM", "--files-per-modulation", "2", "--num-symbols", "10", "-o", out};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const Outcome o = run(arguments);
    EXPECT_EQ(o.status, 2) << c.error;
    EXPECT_EQ(o.error, c.error);
    EXPECT_EQ(o.out, "");
    EXPECT_FALSE(fs::exists(out + "/AM_signal_1.csv")) << c.error;
  }
  // A name the run does not write is a manifest like any other.
  const Outcome beside = run({"-m", "AM", "--files-per-modulation", "2", "--num-symbols", "10", "-o", out,
                              "--manifest", out + "/AM_signal_3.csv"});
  EXPECT_EQ(beside.status, 0) << beside.error;
}

TEST_F(Reliability, CommandLineTextsArriveAsTyped) {
  // Folder bytes that are not UTF-8 are a POSIX path like any other.
  const std::string odd = (folder() / "bad\xff\xfename").string();
  const Outcome bytes = run({"-m", "AM", "--num-symbols", "10", "-o", odd});
  EXPECT_EQ(bytes.status, 0) << bytes.error;
  EXPECT_EQ(bytes.out, "AM: Saved to " + odd + "/AM_signal_1.csv\n");
  EXPECT_TRUE(fs::exists(fs::path(odd) / "AM_signal_1.csv"));
  const Outcome manifest = run({"-m", "AM", "--num-symbols", "10", "-o", odd, "--manifest", odd + "/m\xcd\xce.csv"});
  EXPECT_EQ(manifest.status, 0) << manifest.error;
  EXPECT_TRUE(fs::exists(fs::path(odd) / "m\xcd\xce.csv"));
  // "--option=" is the empty text, checked like the box.
  for (const auto& [option, message] : {std::pair{"--symbol-rate-min=", "Invalid Symbol Rate Min."},
                                        std::pair{"--sample-rate=", "Invalid Sample Rate."}}) {
    const Outcome empty = run({"-m", "AM", option, "-o", (folder() / "out").string()});
    EXPECT_EQ(empty.status, 2);
    EXPECT_EQ(empty.error, std::string("Input Error: ") + message + "\n");
  }
}

TEST_F(Reliability, ASettingsFileThatMayNotBeReplacedKeepsItsSampleFileToo) {
  const auto user = unprivileged_user();
  if (!user) GTEST_SKIP() << "needs root and the user 'nobody': a read-only file is writable for root";
  const fs::path out = folder() / "out";
  const std::vector<std::string> batch = {"-m", "AM", "--num-symbols", "100", "--save-settings", "-o", out.string()};
  std::vector<std::string> earlier = batch;
  earlier.insert(earlier.end(), {"--seed", "8"});
  ASSERT_EQ(run(earlier).status, 0);
  const std::string earlier_csv = test::read_file(out / "AM_signal_1.csv");
  const std::string earlier_txt = test::read_file(out / "AM_signal_1.txt");
  fs::permissions(out, fs::perms::all);
  fs::permissions(out / "AM_signal_1.csv", fs::perms::all);
  fs::permissions(out / "AM_signal_1.txt", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  std::vector<std::string> later = batch;
  later.insert(later.end(), {"--seed", "7"});
  const Outcome o = run(later, [&user] {
    if (setgid(user->pw_gid) != 0 || setuid(user->pw_uid) != 0) _exit(126);
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "AM: Failed to save file.\n");
  EXPECT_EQ(o.error, "quorvin-cli: AM_signal_1.txt: Permission denied\n");
  EXPECT_EQ(test::read_file(out / "AM_signal_1.csv"), earlier_csv);
  EXPECT_EQ(test::read_file(out / "AM_signal_1.txt"), earlier_txt);
  EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// After a kill, each final sample file stands with its own companion (settings file, metadata)
// or none: never with the earlier run's.
class KilledPairs : public Reliability, public ::testing::WithParamInterface<const char*> {};

TEST_P(KilledPairs, EachFileKeepsItsOwnCompanionOrNone) {
  const bool sigmf = std::string(GetParam()) == "sigmf";
  const std::vector<std::string> batch = {"-m", "all", "--files-per-modulation", "6", "--num-symbols", "3000",
                                          "--save-settings", "--format", GetParam(), "-j", "2"};
  const auto batch_with = [&batch](std::initializer_list<std::string> extra) {
    std::vector<std::string> arguments = batch;
    arguments.insert(arguments.end(), extra);
    return arguments;
  };
  ASSERT_EQ(run(batch_with({"--seed", "7", "-o", (folder() / "new").string()})).status, 0);
  ASSERT_EQ(run(batch_with({"--seed", "8", "-o", (folder() / "old").string()})).status, 0);
  const std::string data = sigmf ? ".sigmf-data" : ".csv";
  const std::vector<std::string> companions = sigmf ? std::vector<std::string>{".sigmf-meta", ".txt"}
                                                    : std::vector<std::string>{".txt"};
  for (const std::size_t lines : {1u, 9u, 40u, 90u}) {
    const fs::path out = folder() / ("killed-" + std::to_string(lines));
    fs::copy(folder() / "old", out);
    const pid_t child = start(batch_with({"--seed", "7", "-o", out.string()}));
    wait_for(folder() / "stdout.txt", "Saved to", child, lines);
    kill(child, SIGKILL);
    finish(child);
    for (const auto& entry : fs::directory_iterator(out)) {
      const fs::path name = entry.path().filename();
      if (name.extension() != data) continue;
      const std::string text = test::read_file(entry.path());
      const bool is_new = text == test::read_file(folder() / "new" / name);
      ASSERT_TRUE(is_new || text == test::read_file(folder() / "old" / name)) << name;
      for (const std::string& extension : companions) {
        const fs::path companion = fs::path(entry.path()).replace_extension(extension);
        if (!fs::exists(companion)) continue;
        EXPECT_EQ(test::read_file(companion), test::read_file(folder() / (is_new ? "new" : "old") / companion.filename()))
            << companion.filename() << " beside the " << (is_new ? "new " : "earlier ") << name;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, KilledPairs, ::testing::Values("csv", "sigmf"));

}  // namespace
}  // namespace quorvin
