#include "tests/support/sim_fixture.h"

#include <string.h>

#include <vector>

void SimTest::SetUp() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  disk = std::string(BRANTLOW_BUILD_DIR) + "/test-disks/" + info->test_suite_name() + "." +
         info->name();
  ASSERT_EQ(1, sim_init(disk.c_str())) << "cannot use sandbox " << disk;
}

std::string SimTest::ReadText(const char* path) {
  long long size = sim_file_size(path);
  if (size < 0) return "";
  std::vector<char> buf(static_cast<size_t>(size) + 1);
  long n = sim_read_file(path, buf.data(), buf.size());
  return n < 0 ? "" : std::string(buf.data(), static_cast<size_t>(n));
}

void SimTest::WriteText(const char* path, const std::string& text) {
  ASSERT_EQ(1, sim_write_file(path, text.data(), text.size())) << path;
}

std::string BuildPath(const char* relative) {
  return std::string(BRANTLOW_BUILD_DIR) + "/" + relative;
}

std::string SourcePath(const char* relative) {
  return std::string(BRANTLOW_SOURCE_DIR) + "/" + relative;
}

std::string CallsAmong(std::initializer_list<const char*> names) {
  std::string out;
  const char* p = sim_call_sequence();
  while (*p) {
    const char* end = strchr(p, ' ');
    std::string name(p, end ? end : p + strlen(p));
    for (const char* n : names)
      if (name == n) out += name + " ";
    p = end ? end + 1 : p + name.size();
  }
  return out;
}
