#include "platform/file_sync.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "parameter_names.h"
#include "run_test_support.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

// The flush is handed a file still open and possibly buffered: what stdio holds must reach the
// file first, and a device that refuses the bytes or the flush must be reported.
struct SyncCase {
  const char* name;
  const char* device;  // nullptr: a regular file in a fresh folder
  const char* text;    // left in stdio's buffer before the flush
  bool synced;
};

class SyncFileToStorage : public test::TempFolder, public ::testing::WithParamInterface<SyncCase> {};

TEST_P(SyncFileToStorage, FlushesTheBufferThenTheFileAndReportsFailure) {
  const SyncCase& c = GetParam();
  const std::filesystem::path path = c.device != nullptr ? std::filesystem::path(c.device) : folder() / "a.csv";
  std::FILE* file = std::fopen(path.string().c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_GE(std::fputs(c.text, file), 0);  // still in stdio's buffer
  EXPECT_EQ(platform::sync_file_to_storage(file), c.synced);
  if (c.device == nullptr) {
    EXPECT_EQ(test::read_file(path), c.text);  // before the file is closed
  }
  std::fclose(file);
}

std::vector<SyncCase> sync_cases() {
  std::vector<SyncCase> cases = {{"buffered_text", nullptr, "1,2\r\n3,4\r\n", true},
                                 {"nothing_written", nullptr, "", true}};
#ifndef _WIN32
  cases.push_back({"full_device", "/dev/full", "lost", false});           // the buffer's write fails
  cases.push_back({"device_without_flush", "/dev/null", "", false});      // fsync itself refuses
#endif
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, SyncFileToStorage, ::testing::ValuesIn(sync_cases()),
                         [](const ::testing::TestParamInfo<SyncCase>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace quorvin
