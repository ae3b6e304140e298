#include "platform/file_sync.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "run_test_support.h"

namespace quorvin {
namespace {

// Handed a file still open, the flush writes out what stdio holds first, and reports a device that
// refuses the bytes or the flush.
class SyncFileToStorage : public test::TempFolder {};

TEST_F(SyncFileToStorage, FlushesTheBufferThenTheFileAndReportsFailure) {
  struct Case {
    std::string path;  // "" a regular file
    const char* text;  // left in stdio's buffer
    bool synced;
  };
  const std::string regular = (folder() / "a.csv").string();
  std::vector<Case> cases = {{"", "1,2\r\n3,4\r\n", true}};
#ifndef _WIN32
  cases.push_back({"/dev/full", "lost", false});  // the buffer's write fails
  cases.push_back({"/dev/null", "", false});      // fsync itself refuses
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string path = c.path.empty() ? regular : c.path;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_GE(std::fputs(c.text, file), 0);
    EXPECT_EQ(platform::sync_file_to_storage(file), c.synced);
    if (c.path.empty()) {
      EXPECT_EQ(test::read_file(path), c.text);  // before the file is closed
    }
    std::fclose(file);
  }
}

}  // namespace
}  // namespace quorvin
