// mv for the simulated receiver's shell: `mv SRC DST` with receiver paths
// below "/mnt/hd", which stands for the sandbox folder named by TAPSIM_DISK.
// Any other path, or one that leaves the sandbox through "..", is refused.
// The sandbox is walked folder by folder from its top without following a
// link, so a link planted on the disk never leads a move outside it: a link
// on the way or as DST is refused, a link as SRC is moved itself. Like GNU mv
// it refuses to move "." or "..". The simulator's marker file in the top of
// the disk is none of the receiver's: a path naming it is refused.
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
const char kMarker[] = ".tapsim-disk";

// The components of a receiver path below "/mnt/hd", "." and ".." resolved.
// False when the path is not below "/mnt/hd" or leaves it. lastIsDot tells
// whether the path as written ends in "." or "..".
bool SplitPath(const char* path, std::vector<std::string>* parts, bool* lastIsDot) {
  const size_t m = sizeof kMount - 1;
  if (strncmp(path, kMount, m) != 0 || (path[m] != '/' && path[m] != '\0')) return false;
  parts->clear();
  *lastIsDot = false;
  const char* p = path + m;
  while (*p) {
    while (*p == '/') ++p;
    const char* e = p;
    while (*e && *e != '/') ++e;
    std::string part(p, static_cast<size_t>(e - p));
    p = e;
    if (part.empty()) continue;
    *lastIsDot = part == "." || part == "..";
    if (part == ".") continue;
    if (part == "..") {
      if (parts->empty()) return false;
      parts->pop_back();
      continue;
    }
    parts->push_back(part);
  }
  return parts->empty() || (*parts)[0] != kMarker;
}

// The folder of the first count components, opened from the sandbox's top
// one folder at a time without following links; -1 (errno set) otherwise.
int OpenFolder(int rootFd, const std::vector<std::string>& parts, size_t count) {
  int fd = dup(rootFd);
  for (size_t i = 0; fd >= 0 && i < count; ++i) {
    int next = openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int saved = errno;
    close(fd);
    errno = saved;
    fd = next;
  }
  return fd;
}

struct Times {
  int fd;
  struct timespec ts[2];
  bool ok;
};

Times Remember(int fd) {
  Times t;
  t.fd = fd;
  struct stat st;
  t.ok = fstat(fd, &st) == 0;
  if (t.ok) {
    t.ts[0] = st.st_atim;
    t.ts[1] = st.st_mtim;
  }
  return t;
}

void Restore(const Times& t) {
  if (t.ok) futimens(t.fd, t.ts);
}

int Refuse(const char* src, const char* dst, const char* why) {
  fprintf(stderr, "mv: cannot move '%s' to '%s': %s\n", src, dst, why);
  return 1;
}

const char* WalkError(int err) {
  // O_NOFOLLOW on a link gives ELOOP; a link or file named as a folder ENOTDIR.
  return err == ELOOP || err == ENOTDIR ? "a link or a file stands where a folder is on the way "
                                          "(the simulated disk follows no links)"
                                        : strerror(err);
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

  std::vector<std::string> from, to;
  bool fromDot = false, toDot = false;
  if (!SplitPath(src, &from, &fromDot) || from.empty()) {
    fprintf(stderr, "mv: cannot move '%s': path outside %s\n", src, kMount);
    return 1;
  }
  if (!SplitPath(dst, &to, &toDot)) {
    fprintf(stderr, "mv: cannot move to '%s': path outside %s\n", dst, kMount);
    return 1;
  }
  // GNU mv refuses these as well: the folder is in use as "." or "..".
  if (fromDot) return Refuse(src, dst, strerror(EBUSY));

  const int root = open(disk, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) {
    fprintf(stderr, "mv: cannot open the disk %s: %s\n", disk, strerror(errno));
    return 1;
  }
  const int fromFd = OpenFolder(root, from, from.size() - 1);
  if (fromFd < 0) return Refuse(src, dst, WalkError(errno));
  const std::string fromName = from.back();
  struct stat st;
  if (fstatat(fromFd, fromName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    fprintf(stderr, "mv: cannot stat '%s': %s\n", src, strerror(errno));
    return 1;
  }

  // DST: an existing folder (not a link to one) takes SRC in under its name.
  int toFd;
  std::string toName;
  if (to.empty()) {
    toFd = dup(root);
    toName = fromName;
  } else {
    toFd = OpenFolder(root, to, to.size() - 1);
    if (toFd < 0) return Refuse(src, dst, WalkError(errno));
    toName = to.back();
    struct stat dt;
    const bool exists = fstatat(toFd, toName.c_str(), &dt, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISLNK(dt.st_mode))
      return Refuse(src, dst, "the target is a link (the simulated disk follows no links)");
    if (exists && S_ISDIR(dt.st_mode)) {
      int inner = openat(toFd, toName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (inner < 0) return Refuse(src, dst, WalkError(errno));
      close(toFd);
      toFd = inner;
      toName = fromName;
    }
  }

  const Times fromFolder = Remember(fromFd);
  const Times toFolder = Remember(toFd);
  if (renameat(fromFd, fromName.c_str(), toFd, toName.c_str()) != 0)
    return Refuse(src, dst, strerror(errno));
  Restore(fromFolder);
  Restore(toFolder);
  return 0;
}
