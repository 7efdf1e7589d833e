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
// replaced. Both folders are dated by the receiver's virtual clock, as a
// file system dates a folder that an entry enters or leaves.
//
// Run by the simulated receiver's shell, mv finds a link to it
// (sim/shell/shell_link.h): it refuses to move anything once the power is
// off, counts its rename as one of the plug-in's disk changes, cuts the
// power right after it when it is the armed change, and fails as the
// scenario's faults say. Without the link (run by hand) the folders keep
// their dates.

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

#include "sim/shell/shell_link.h"

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

void Date(int fd, int64_t clock) {
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(clock);
  ts[0].tv_nsec = ts[1].tv_nsec = 0;
  futimens(fd, ts);
}

// The link to the simulated receiver, read once.
struct Link {
  int fd = -1;
  shell_link::Header header{};
  std::vector<shell_link::Fault> faults;
  std::string cutPath;  // only renames from or to it count for the cut ("" all)

  bool Read() {
    const char* env = getenv(shell_link::kEnvironment);
    if (!env || !*env) return false;
    char* end = nullptr;
    long n = strtol(env, &end, 10);
    if (*end || n < 0) return false;
    fd = static_cast<int>(n);
    if (pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        header.magic != shell_link::kMagic) {
      fd = -1;
      return false;
    }
    std::string list(header.faultBytes, '\0');
    if (header.faultBytes &&
        pread(fd, &list[0], list.size(), sizeof header) != static_cast<ssize_t>(list.size()))
      return false;
    faults = shell_link::DecodeFaults(list.data(), list.size());
    cutPath.assign(header.pathBytes, '\0');
    if (header.pathBytes && pread(fd, &cutPath[0], cutPath.size(), sizeof header + list.size()) !=
                                static_cast<ssize_t>(cutPath.size()))
      return false;
    return true;
  }
  bool Write() {
    return fd >= 0 && pwrite(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
  }
  // Whether a rename from or to these paths counts for the armed cut.
  bool Counts(const std::string& from, const std::string& landed, const std::string& written) {
    return cutPath.empty() || cutPath == from || cutPath == landed || cutPath == written;
  }
  // A line about a fault that hit, for the receiver's time line.
  void Report(const std::string& line) {
    uint32_t used = 0;
    const off_t at = static_cast<off_t>(shell_link::kReportOffset);
    if (pread(fd, &used, sizeof used, at) != static_cast<ssize_t>(sizeof used)) return;
    const size_t cap = shell_link::kSize - shell_link::kReportOffset - sizeof used;
    const std::string text = line + "\n";
    if (used + text.size() > cap) return;
    if (pwrite(fd, text.data(), text.size(), at + static_cast<off_t>(sizeof used + used)) !=
        static_cast<ssize_t>(text.size()))
      return;
    used += static_cast<uint32_t>(text.size());
    pwrite(fd, &used, sizeof used, at);
  }
  // The fault for a move of src to dst (receiver paths), 0 when none.
  char FaultFor(const std::string& src, const std::string& dst) const {
    for (const shell_link::Fault& f : faults)
      if (f.path == src || f.path == dst) return f.kind;
    return 0;
  }
};

std::string ReceiverPath(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
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

  Link link;
  const bool linked = link.Read();
  if (linked && link.header.off) return Refuse(src, dst, "the receiver has no power");
  const std::string source = ReceiverPath(from);
  const char fault = linked ? link.FaultFor(source, ReceiverPath(to)) : 0;
  if (fault == shell_link::kRefuse) {
    link.Report("the shell's mv of " + source + " failed (fail mv)");
    return Refuse(src, dst, strerror(EIO));
  }

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
  std::string target = ReceiverPath(to);  // where SRC lands, as a receiver path
  if (to.empty()) {
    toFd = dup(root);
    toName = fromName;
    target = "/" + fromName;
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
      target += "/" + fromName;
    }
  }

  // Without the link the folders keep their dates.
  const Times fromFolder = linked ? Times{} : Remember(fromFd);
  const Times toFolder = linked ? Times{} : Remember(toFd);
  if (renameat(fromFd, fromName.c_str(), toFd, toName.c_str()) != 0)
    return Refuse(src, dst, strerror(errno));
  if (!linked) {
    Restore(fromFolder);
    Restore(toFolder);
    return 0;
  }
  Date(fromFd, link.header.clock);
  Date(toFd, link.header.clock);
  ++link.header.renames;
  if (link.header.budget != 0 && link.Counts(source, target, ReceiverPath(to)) &&
      --link.header.budget == 0)
    link.header.off = 1;
  link.Write();
  if (fault == shell_link::kMovedButFails) {
    link.Report("the shell's mv of " + source + " moved it and failed (fail mv moved)");
    return Refuse(src, dst, strerror(EIO));
  }
  return 0;
}
