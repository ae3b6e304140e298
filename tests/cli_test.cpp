// Runs the built quorvin-cli as a user's script would and checks what it prints, writes and
// returns.

#include <gtest/gtest.h>

#include "parameter_names.h"
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "dsp_reference.h"
#include "run_test_support.h"

extern char** environ;

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

struct Outcome {
  int status = -1;
  std::string out;
  std::string error;
  long peak_kib = 0;  // peak resident memory of the child
};

class Cli : public test::TempFolder {
 protected:
  Outcome run(std::vector<std::string> arguments) const {
    const auto out_path = folder() / "stdout.txt";
    const auto error_path = folder() / "stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    arguments.insert(arguments.begin(), QUORVIN_CLI_PATH);
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    Outcome outcome;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) return outcome;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = test::read_file(out_path);
    outcome.error = test::read_file(error_path);
    outcome.peak_kib = usage.ru_maxrss;
    return outcome;
  }

  std::string sub(const std::string& name) const { return (folder() / name).string(); }

  // Every file under a folder with its bytes.
  static std::map<std::string, std::string> contents(const std::filesystem::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      files[entry.path().filename().string()] = test::read_file(entry.path());
    }
    return files;
  }
};

struct UsageCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string error;  // exact standard error, or a part of it when `exact` is false
  bool exact;
};

class CliUsage : public Cli, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(CliUsage, RefusedWithStatusTwoBeforeAnyFile) {
  std::vector<std::string> arguments = GetParam().arguments;
  arguments.insert(arguments.end(), {"-o", sub("out")});
  const Outcome o = run(arguments);
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.out, "");
  if (GetParam().exact) {
    EXPECT_EQ(o.error, GetParam().error);
  } else {
    EXPECT_NE(o.error.find(GetParam().error), std::string::npos) << o.error;
  }
  EXPECT_FALSE(std::filesystem::exists(folder() / "out"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliUsage,
    ::testing::Values(
        UsageCase{"no_modulation", {}, "No modulation selected.\n", true},
        UsageCase{"bad_box", {"-m", "AM", "--snr-min", "x"}, "Input Error: Invalid SNR Min.\n", true},
        UsageCase{"first_bad_box_only", {"-m", "QPSK", "--amplitude-max", "", "--symbol-rate-min", "0"},
                  "Input Error: Invalid Symbol Rate Min.\n", true},
        UsageCase{"negative_symbols", {"-m", "QPSK", "--num-symbols", "-5"}, "Input Error: Invalid Number of Symbols.\n",
                  true},
        UsageCase{"unknown_name", {"-m", "QPSK,qpsk"}, "unknown modulation 'qpsk'; known: AM, AM-SSB, FM,", false},
        UsageCase{"empty_name", {"-m", "QPSK,"}, "unknown modulation ''", false},
        UsageCase{"negative_seed", {"-m", "AM", "--seed", "-1"}, "--seed takes a whole number", false},
        UsageCase{"seed_too_big", {"-m", "AM", "--seed", "4294967296"}, "--seed takes a whole number", false},
        UsageCase{"shard_out_of_range", {"-m", "AM", "--shard", "3/3"}, "--shard takes K/N", false},
        UsageCase{"shard_of_zero", {"-m", "AM", "--shard", "0/0"}, "--shard takes K/N", false},
        UsageCase{"zero_jobs", {"-m", "AM", "-j", "0"}, "--jobs", false},
        UsageCase{"unknown_option", {"-m", "AM", "--frobnicate"}, "frobnicate", false}),
    test::CaseName());

TEST_F(Cli, ReportInPlanOrderWhateverTheListOrder) {
  const Outcome o = run({"-m", "QPSK,AM", "--files-per-modulation", "2", "--save-settings", "-o", sub("d"), "--seed", "3",
                         "-j", "2"});
  const std::string d = sub("d") + "/";
  EXPECT_EQ(o.status, 0) << o.error;
  EXPECT_EQ(o.out, "AM: Saved to " + d + "AM_signal_1.csv\n  Settings saved to " + d + "AM_signal_1.txt\n" +
                       "AM: Saved to " + d + "AM_signal_2.csv\n  Settings saved to " + d + "AM_signal_2.txt\n" +
                       "QPSK: Saved to " + d + "QPSK_signal_1.csv\n  Settings saved to " + d + "QPSK_signal_1.txt\n" +
                       "QPSK: Saved to " + d + "QPSK_signal_2.csv\n  Settings saved to " + d + "QPSK_signal_2.txt\n");
  EXPECT_EQ(o.error, "");  // no progress line when standard error is not a terminal
  EXPECT_EQ(contents(folder() / "d").size(), 8u);
}

TEST_F(Cli, ExtraNamesComeAfterTheFormsAndRepeatsCountOnce) {
  const Outcome o = run({"-m", "QAM1024,CW,GMSK,AM,GMSK", "--num-symbols", "50", "-o", sub("d")});
  EXPECT_EQ(o.status, 0);
  std::vector<std::string> names;
  for (std::size_t start = 0; start < o.out.size(); start = o.out.find('\n', start) + 1) {
    names.push_back(o.out.substr(start, o.out.find(':', start) - start));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"AM", "GMSK", "CW", "QAM1024"}));
}

TEST_F(Cli, SeedGivesByteIdenticalFilesForAnyJobCount) {
  const std::vector<std::string> common = {"-m", "all,CW,QAM1024", "--files-per-modulation", "2", "--num-symbols",
                                           "200", "--seed", "11", "--save-settings"};
  const auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> a = common;
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  };
  ASSERT_EQ(run(with({"-j", "1", "-o", sub("a")})).status, 0);
  ASSERT_EQ(run(with({"-j", "2", "-o", sub("b")})).status, 0);
  ASSERT_EQ(run(with({"-j", "2", "-o", sub("c")})).status, 0);
  const auto a = contents(folder() / "a");
  EXPECT_EQ(a.size(), 96u);
  EXPECT_EQ(a, contents(folder() / "b"));
  EXPECT_EQ(a, contents(folder() / "c"));
  // A different seed changes both the drawn parameters and the samples.
  ASSERT_EQ(run({"-m", "QPSK", "--num-symbols", "200", "--seed", "12", "--save-settings", "-o", sub("e")}).status, 0);
  EXPECT_NE(contents(folder() / "e").at("QPSK_signal_1.csv"), a.at("QPSK_signal_1.csv"));
  EXPECT_NE(contents(folder() / "e").at("QPSK_signal_1.txt"), a.at("QPSK_signal_1.txt"));
}

TEST_F(Cli, ShardsTogetherMakeTheWholeRun) {
  const std::vector<std::string> common = {"-m", "AM,BPSK,2FSK,APSK32", "--files-per-modulation", "5", "--num-symbols",
                                           "100", "--seed", "5", "--save-settings", "-j", "1"};
  auto whole = common;
  whole.insert(whole.end(), {"-o", sub("whole")});
  ASSERT_EQ(run(whole).status, 0);
  std::string shard_reports;
  for (const char* shard : {"0/3", "1/3", "2/3"}) {
    auto args = common;
    args.insert(args.end(), {"--shard", shard, "-o", sub("shards")});
    const Outcome o = run(args);
    ASSERT_EQ(o.status, 0);
    shard_reports += o.out;
  }
  EXPECT_EQ(contents(folder() / "whole"), contents(folder() / "shards"));
  // Shard 1/3 holds exactly plan positions 1, 4, 7, ...: AM 2, AM 5, BPSK 3, 2FSK 1, ...
  auto args = common;
  args.insert(args.end(), {"--shard", "1/3", "-o", sub("one")});
  const Outcome one = run(args);
  EXPECT_EQ(one.out.substr(0, one.out.find('\n')), "AM: Saved to " + sub("one") + "/AM_signal_2.csv");
  EXPECT_EQ(contents(folder() / "one").size(), 14u);  // 7 of 20 files, each with settings
}

TEST_F(Cli, AnyFailedFileGivesStatusOne) {
  const Outcome o = run({"-m", "OQPSK,BPSK", "--symbol-rate-min", "6000", "--symbol-rate-max", "6000", "-o", sub("d")});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "BPSK: Saved to " + sub("d") + "/BPSK_signal_1.csv\n" +
                       "OQPSK: Failed to generate signal: samples_per_symbol must be at least 2 for OQPSK.\n");
}

TEST_F(Cli, ListsVersionAndHelp) {
  const Outcome list = run({"--list-modulations"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out.substr(0, 10), "AM\nAM-SSB\n");
  EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 24);
  EXPECT_TRUE(list.out.ends_with("GMSK\nCW\nQAM1024\n"));
  EXPECT_EQ(run({"--version"}).out, "quorvin-cli 0.1.0\n");
  const Outcome help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--symbol-rate-min", "--snr-max", "--mix-frequency", "--files-per-modulation",
                             "--output-folder", "--jobs", "--seed", "--shard", "--no-progress", "=1000", "=0.1"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
}

TEST_F(Cli, ProgressLineOnlyOnRequestAndNeverInTheReport) {
  const Outcome o = run({"-m", "BPSK", "--files-per-modulation", "3", "--num-symbols", "10", "--progress", "-o", sub("d")});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.error.find("files 3/3"), std::string::npos) << o.error;
  EXPECT_EQ(o.out.find("files"), std::string::npos);
}

TEST_F(Cli, NonAsciiFolderIsKept) {
  const std::string folder_name = sub("donn\xc3\xa9" "es");
  const Outcome o = run({"-m", "FM", "--num-symbols", "10", "-o", folder_name});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "FM: Saved to " + folder_name + "/FM_signal_1.csv\n");
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(folder_name) / "FM_signal_1.csv"));
}

// Peak memory follows the files in flight, not the number of files in the run.
TEST_F(Cli, PeakMemoryDoesNotGrowWithTheNumberOfFiles) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine, so peaks say nothing here";
#endif
  const auto peak = [&](const char* files, const char* jobs, const char* out) {
    const Outcome o = run({"-m", "QPSK", "--num-symbols", "300000", "--symbol-rate-min", "2000", "--symbol-rate-max",
                           "2000", "--files-per-modulation", files, "-j", jobs, "--seed", "1", "-o", sub(out)});
    EXPECT_EQ(o.status, 0);
    return static_cast<double>(o.peak_kib);
  };
  const double one = peak("1", "1", "one");
  const double many = peak("8", "1", "many");
  const double parallel = peak("8", "2", "parallel");
  EXPECT_LT(many, one * 1.25 + 8192) << one << " " << many;
  EXPECT_LT(parallel, one * 2.25 + 8192) << one << " " << parallel;
}

}  // namespace
}  // namespace quorvin
