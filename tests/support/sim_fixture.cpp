#include "tests/support/sim_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/support/plugin_state.h"

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

}  // namespace

void SimTest::SetUp() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  disk = TestDisks() + "/" + info->test_suite_name() + "." + info->name();
  // The folder belongs to this test: whatever an earlier run left goes.
  nftw(disk.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  ASSERT_EQ(1, sim_init(disk.c_str())) << "cannot use sandbox " << disk << ": " << sim_disk_error();
}

void SimTest::Restart() {
  FreshPluginState();
  ASSERT_EQ(1, sim_init(disk.c_str())) << sim_disk_error();
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

std::string TestDisks() {
  const char* own = getenv("BRANTLOW_TEST_DISKS");
  std::string folder = own && *own ? own : BuildPath("test-disks");
  for (size_t at = folder.find('/', 1); at != std::string::npos; at = folder.find('/', at + 1))
    mkdir(folder.substr(0, at).c_str(), 0755);
  mkdir(folder.c_str(), 0755);
  return folder;
}

std::string SourcePath(const char* relative) {
  return std::string(BRANTLOW_SOURCE_DIR) + "/" + relative;
}

std::string Snapshot(const std::string& hostFolder) {
  std::string out;
  std::vector<std::string> names;
  if (DIR* d = opendir(hostFolder.c_str())) {
    while (struct dirent* e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  } else {
    return "<cannot read " + hostFolder + ">\n";
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = hostFolder + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    out += name + " " + std::to_string(static_cast<long long>(st.st_mtime)) + " ";
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = readlink(path.c_str(), target, sizeof target);
      out += "link " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0) + "\n";
    } else if (S_ISDIR(st.st_mode)) {
      out += "folder\n";
      std::string inner = Snapshot(path);
      std::istringstream lines(inner);
      for (std::string line; std::getline(lines, line);) out += name + "/" + line + "\n";
    } else {
      std::ifstream in(path, std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      out +=
          "file " + std::to_string(static_cast<long long>(st.st_size)) + " " + bytes.str() + "\n";
    }
  }
  return out;
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
