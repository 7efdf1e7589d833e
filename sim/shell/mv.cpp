// mv for the simulated receiver's shell: `mv SRC DST` with receiver paths
// below "/mnt/hd", which stands for the sandbox folder named by TAPSIM_DISK.
// Any other path, or one that leaves the sandbox through "..", is refused.
// The move is a rename(2), so its cost does not depend on the file's size.
// DST naming an existing folder moves SRC into it; an existing file DST is
// replaced. The folders' modification times are kept, since the simulated
// receiver dates everything by its own virtual clock.

// 64-bit file offsets and inode numbers also on the 32-bit receiver build
// (a 32-bit stat fails on large inode numbers).
#define _FILE_OFFSET_BITS 64
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char kMount[] = "/mnt/hd";

// Host path of a receiver path below "/mnt/hd", or "" when it is refused.
std::string MapPath(const std::string& root, const char* path) {
  const size_t m = sizeof kMount - 1;
  if (strncmp(path, kMount, m) != 0 || (path[m] != '/' && path[m] != '\0')) return "";
  std::vector<std::string> parts;
  const char* p = path + m;
  while (*p) {
    while (*p == '/') ++p;
    const char* e = p;
    while (*e && *e != '/') ++e;
    std::string part(p, static_cast<size_t>(e - p));
    p = e;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) return "";
      parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string host = root;
  for (const std::string& part : parts) host += "/" + part;
  return host;
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Times {
  std::string path;
  struct timespec ts[2];
  bool ok;
};

Times Remember(const std::string& path) {
  Times t;
  t.path = path;
  struct stat st;
  t.ok = stat(path.c_str(), &st) == 0;
  if (t.ok) {
    t.ts[0] = st.st_atim;
    t.ts[1] = st.st_mtim;
  }
  return t;
}

void Restore(const Times& t) {
  if (t.ok) utimensat(AT_FDCWD, t.path.c_str(), t.ts, 0);
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  if (argc > first && strcmp(argv[first], "--") == 0) ++first;
  if (argc - first != 2) {
    fprintf(stderr, "mv: usage: mv SOURCE DEST\n");
    return 1;
  }
  const char* src = argv[first];
  const char* dst = argv[first + 1];
  const char* disk = getenv("TAPSIM_DISK");
  if (!disk || disk[0] != '/') {
    fprintf(stderr, "mv: TAPSIM_DISK is not set\n");
    return 1;
  }
  std::string root(disk);
  while (root.size() > 1 && root.back() == '/') root.pop_back();

  std::string from = MapPath(root, src);
  if (from.empty() || from == root) {
    fprintf(stderr, "mv: cannot move '%s': path outside %s\n", src, kMount);
    return 1;
  }
  std::string to = MapPath(root, dst);
  if (to.empty()) {
    fprintf(stderr, "mv: cannot move to '%s': path outside %s\n", dst, kMount);
    return 1;
  }
  struct stat st;
  if (lstat(from.c_str(), &st) != 0) {
    fprintf(stderr, "mv: cannot stat '%s': %s\n", src, strerror(errno));
    return 1;
  }
  struct stat dt;
  if (stat(to.c_str(), &dt) == 0 && S_ISDIR(dt.st_mode)) to += "/" + BaseOf(from);

  const Times fromFolder = Remember(ParentOf(from));
  const Times toFolder = Remember(ParentOf(to));
  if (rename(from.c_str(), to.c_str()) != 0) {
    fprintf(stderr, "mv: cannot move '%s' to '%s': %s\n", src, dst, strerror(errno));
    return 1;
  }
  Restore(fromFolder);
  Restore(toFolder);
  return 0;
}
