#pragma once
// A fresh temporary folder per test, removed afterwards, and whole-file reading.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

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

}  // namespace quorvin::test
