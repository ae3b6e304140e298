#pragma once
// A fresh temporary folder per test, removed afterwards, and whole-file reading. The executables
// that run quorvin-cli (POSIX only; they define QUORVIN_CLI_PATH) also get the program as a
// separate process.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#ifdef QUORVIN_CLI_PATH
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <vector>
#endif

namespace quorvin::test {

class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device device;
    folder_ = std::filesystem::temp_directory_path() / ("quorvin-test-" + std::to_string(device()));
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
};

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// How often `part` occurs in `text`, overlapping occurrences too.
inline std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

#ifdef QUORVIN_CLI_PATH
struct Outcome {
  int status = -1;  // the exit status, or 128 + the signal that ended the program
  std::string out;
  std::string error;
  long peak_kib = 0;  // peak resident memory
};

// A batch of options shared by several runs, followed by one run's own.
inline std::vector<std::string> with(std::vector<std::string> batch, const std::vector<std::string>& own) {
  batch.insert(batch.end(), own.begin(), own.end());
  return batch;
}

// Whether the child has ended; it is left to be reaped.
inline bool has_ended(pid_t child) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == child;
}

// quorvin-cli with standard output and error in files of the test's folder; `in_child` runs in
// the child just before the program starts (limits, closed streams, another user).
class CliFolder : public TempFolder {
 protected:
  pid_t start(std::vector<std::string> arguments, const std::function<void()>& in_child = {}) const {
    arguments.insert(arguments.begin(), QUORVIN_CLI_PATH);
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = sub("stdout.txt");
    const std::string error = sub("stderr.txt");
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 1);
      dup2(::open(error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 2);
      if (in_child) in_child();
      execv(argv[0], argv.data());
      _exit(127);
    }
    return pid;
  }
  // Waits for the child; one still running after three minutes (the hang under test) is killed.
  Outcome finish(pid_t pid) const {
    for (int waited = 0; waited < 9000 && !has_ended(pid); ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!has_ended(pid)) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "quorvin-cli still running after three minutes";
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(sub("stdout.txt")),
            read_file(sub("stderr.txt")), usage.ru_maxrss};
  }
  Outcome run(std::vector<std::string> arguments, const std::function<void()>& in_child = {}) const {
    return finish(start(std::move(arguments), in_child));
  }
  std::string sub(const std::string& name) const { return (folder() / name).string(); }
  // Every file of a folder below the test's own, with its bytes.
  std::map<std::string, std::string> contents(const std::string& dir) const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder() / dir)) {
      files[entry.path().filename().string()] = read_file(entry.path());
    }
    return files;
  }
  // The files of a run that must succeed, written into `dir` below the test's own folder.
  std::map<std::string, std::string> made(const std::vector<std::string>& arguments, const std::string& dir) const {
    const Outcome o = run(with(arguments, {"-o", sub(dir)}));
    EXPECT_EQ(o.status, 0) << o.error;
    return contents(dir);
  }
};
#endif

}  // namespace quorvin::test
