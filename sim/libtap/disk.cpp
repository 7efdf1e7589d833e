// The simulated receiver's disk: a sandbox folder plays "/mnt/hd". File calls
// of the firmware API work relative to the plug-in's current folder, which
// the firmware keeps in its plug-in table (_tapTask / _curTapTask). Also the
// control calls that prepare and inspect the disk, and log capture.

// 64-bit file offsets and inode numbers also on the 32-bit receiver build
// (a 32-bit stat fails on large inode numbers).
#define _FILE_OFFSET_BITS 64
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "sim/libtap/internal.h"

// The firmware's plug-in table and the index of the running plug-in. The
// plug-in looks both up by name through the dynamic loader.
extern "C" {
TAP_EXPORT TYPE_TapTaskEntry _tapTask[8];
TAP_EXPORT dword _curTapTask = 3;
}

// An open file of TAP_Hdd_Fopen.
struct TYPE_File {
  int fd;
  bool isLog;        // name ends in ".log": written lines are captured
  bool written;      // a write went through it: its close is a change of the disk
  std::string path;  // receiver path, for faults and the time line
  std::string line;  // captured text of the line being written
};

namespace sim {
namespace {

constexpr const char* kMount = "/mnt/hd";
constexpr size_t kPathTextCap = 4096 + 16;
// The file in the top of a disk folder that says the simulator made it: only
// such a folder (or an empty one) is ever emptied. The receiver never sees it.
constexpr const char kMarker[] = ".tapsim-disk";
constexpr const char kMarkerText[] =
    "This folder is a disk of the simulated receiver (tapsim). The next run that\n"
    "uses it empties it.\n";

std::string gRoot;          // host path of the sandbox
bool gTopWithSlash = true;  // the folder record names the top "/mnt/hd/", else "/mnt/hd"
std::string gDiskError;     // why the last sim_init refused its folder
char gCur[PATH_MAX] = "/ProgramFiles";  // current folder, receiver path
TYPE_TapFolder* gFolderRecord;          // low memory
char* gFolderPath;                      // low memory, "/mnt/hd/..."

// Faults by receiver path.
std::vector<std::string> gFailOpen, gFailChdir, gFailCreate, gFailRename, gFailDelete, gFailWrite,
    gFailList;
std::vector<std::string> gFailRead, gFailReadShort;  // reads nothing / half of what was asked

// Folder scan of TAP_Hdd_FindFirst / TAP_Hdd_FindNext.
std::string gScanFolder;  // host path
std::vector<std::string> gScanNames;
size_t gScanNext;

std::unordered_set<TYPE_File*> gOpenFiles;
std::string gLogText;

// ---------------------------------------------------------------------------
// Low memory
void* MapLow(size_t size) {
#if UINTPTR_MAX == 0xFFFFFFFFu
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
#elif defined(__x86_64__) && defined(MAP_32BIT)
  void* p =
      mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
#else
  // Other 64-bit machines: ask for addresses below 4 GiB and check.
  for (uintptr_t hint = 0x10000000u; hint < 0xF0000000u; hint += 0x10000000u) {
    void* p = mmap(reinterpret_cast<void*>(hint), size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) continue;
    if (reinterpret_cast<uintptr_t>(p) + size <= 0xFFFFFFFFu) return p;
    munmap(p, size);
  }
  return nullptr;
#endif
}

// ---------------------------------------------------------------------------
// Paths
bool InFaultList(const std::vector<std::string>& list, const char* receiverPath) {
  for (const std::string& p : list)
    if (p == receiverPath) return true;
  return false;
}

// A fault of the list that hits the call on path: reported to the time
// line, e.g. "TAP_Hdd_Fopen /DataFiles/x.inf failed (fail open)".
bool Hits(const std::vector<std::string>& list, const char* receiverPath, const char* call,
          const char* word, const char* what = "failed") {
  if (!InFaultList(list, receiverPath)) return false;
  NoteFault(std::string(call) + " " + receiverPath + " " + what + " (fail " + word + ")");
  return true;
}

void AddFault(std::vector<std::string>& list, const char* path) {
  char norm[PATH_MAX];
  if (path && NormalisePath("/", path, norm, sizeof norm)) list.push_back(norm);
}

// Receiver and host path of a name relative to the current folder.
bool Resolve(const char* name, char* receiverPath, char* hostPath) {
  if (!name || !*name) return false;
  return NormalisePath(gCur, name, receiverPath, PATH_MAX) &&
         HostPathOf(receiverPath, hostPath, PATH_MAX);
}

// Host path of an absolute (or root-relative) receiver path of a control call.
bool ControlPath(const char* path, char* hostPath) {
  char rp[PATH_MAX];
  return path && *path && NormalisePath("/", path, rp, sizeof rp) &&
         HostPathOf(rp, hostPath, PATH_MAX);
}

void StampParent(const char* hostPath) {
  std::string parent(hostPath);
  size_t slash = parent.rfind('/');
  if (slash == std::string::npos || slash < gRoot.size()) return;
  parent.resize(slash);
  StampNow(parent.c_str());
}

bool SetFolderText(const char* receiverPath) {
  if (!gFolderPath) return false;
  size_t n = strlen(kMount) + strlen(receiverPath) + 1;
  if (n > kPathTextCap) return false;
  const bool top = strcmp(receiverPath, "/") == 0;
  snprintf(gFolderPath, kPathTextCap, "%s%s", kMount, top && !gTopWithSlash ? "" : receiverPath);
  return true;
}

bool MakeDirs(const char* hostPath) {
  std::string p(hostPath);
  for (size_t i = gRoot.size() + 1; i <= p.size(); ++i) {
    if (i != p.size() && p[i] != '/') continue;
    std::string part = p.substr(0, i);
    struct stat st;
    if (lstat(part.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return false;  // a file or a link in the way
      continue;
    }
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    StampNow(part.c_str());
    StampParent(part.c_str());
  }
  return true;
}

bool MakeParentDirs(const char* hostPath) {
  std::string parent(hostPath);
  size_t slash = parent.rfind('/');
  if (slash == std::string::npos || slash <= gRoot.size()) return true;
  parent.resize(slash);
  return MakeDirs(parent.c_str());
}

bool WriteWhole(const char* hostPath, const void* data, size_t len, int64_t mtime) {
  int fd = ::open(hostPath, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(fd, p + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(mtime);
  ts[0].tv_nsec = ts[1].tv_nsec = 0;
  futimens(fd, ts);
  close(fd);
  return done == len;
}

// A folder opened for reading its entries; a link in its place is refused.
DIR* OpenFolder(const char* hostFolder) {
  int fd = ::open(hostFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* d = fdopendir(fd);
  if (!d) close(fd);
  return d;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path) == 0 ? 0 : -1;
}

// Removes a tree (or only what is inside it when keepTop).
bool RemoveTree(const char* hostPath, bool keepTop) {
  struct stat st;
  if (lstat(hostPath, &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) return unlink(hostPath) == 0;
  if (keepTop) {
    DIR* d = OpenFolder(hostPath);
    if (!d) return false;
    bool ok = true;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      names.push_back(std::string(hostPath) + "/" + e->d_name);
    }
    closedir(d);
    for (const std::string& n : names) ok = RemoveTree(n.c_str(), false) && ok;
    return ok;
  }
  return nftw(hostPath, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

// Sorted names of a folder without "." and ".." (and without the marker
// file in the top of the disk).
bool ListNames(const char* hostFolder, std::vector<std::string>* names) {
  DIR* d = OpenFolder(hostFolder);
  if (!d) return false;
  names->clear();
  const bool top = gRoot == hostFolder;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (top && strcmp(e->d_name, kMarker) == 0) continue;
    names->push_back(e->d_name);
  }
  closedir(d);
  std::sort(names->begin(), names->end());
  return true;
}

bool FillEntry(TYPE_FolderEntry* entry, const std::string& folder, const std::string& name) {
  struct stat st;
  if (lstat((folder + "/" + name).c_str(), &st) != 0) return false;
  if (!entry) return true;
  memset(entry, 0, sizeof *entry);
  const bool dir = S_ISDIR(st.st_mode);
  entry->attr = dir ? ATTR_FOLDER : ATTR_NORMAL;
  entry->info = dir ? 0 : static_cast<dword>(st.st_size);
  entry->dateTime = PackedFromSeconds(st.st_mtime);
  size_t n = std::min(name.size(), sizeof entry->name - 1);
  memcpy(entry->name, name.data(), n);
  entry->name[n] = '\0';
  return true;
}

bool EndsWith(const char* s, const char* suffix) {
  size_t a = strlen(s), b = strlen(suffix);
  return a >= b && memcmp(s + a - b, suffix, b) == 0;
}

void CaptureLogLine(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  gLogText += line;
  gLogText += '\n';
  Notify("log", line.c_str());
  line.clear();
}

void CaptureLog(TYPE_File* f, const char* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (data[i] == '\n')
      CaptureLogLine(f->line);
    else
      f->line += data[i];
  }
}

void CloseFile(TYPE_File* f) {
  if (f->isLog && !f->line.empty()) CaptureLogLine(f->line);
  close(f->fd);
  gOpenFiles.erase(f);
  delete f;
}

// Recording set: stream, ".inf" (start time at bytes 8-11) and ".nav". Each
// set's bytes are its own: the stream's first packet and the ".nav" begin
// with the receiver path it was recorded under and its start, so that a
// checker tells sets of the same sizes apart wherever they went.
bool WriteRecordingSet(const char* hostStream, const char* receiverPath, int64_t start) {
  if (!MakeParentDirs(hostStream)) return false;
  const std::string id = std::string(receiverPath) + " " + std::to_string(start);
  std::vector<unsigned char> stream(4 * 1024);
  for (size_t i = 0; i < stream.size(); ++i)
    stream[i] = i % 188 == 0 ? 0x47 : static_cast<unsigned char>(i);
  memcpy(stream.data() + 1, id.data(), std::min<size_t>(id.size(), 187));
  unsigned char inf[128] = {};
  const uint32_t packed = PackedFromSeconds(start);
  for (int i = 0; i < 4; ++i) inf[8 + i] = static_cast<unsigned char>(packed >> (8 * i));
  // Behind the 28-byte header the plug-in reads, the same text.
  memcpy(inf + 28, id.data(), std::min<size_t>(id.size(), sizeof inf - 28));
  unsigned char nav[64] = {};
  memcpy(nav, id.data(), std::min(id.size(), sizeof nav));
  std::string base(hostStream);
  bool ok = WriteWhole(hostStream, stream.data(), stream.size(), start) &&
            WriteWhole((base + ".inf").c_str(), inf, sizeof inf, start) &&
            WriteWhole((base + ".nav").c_str(), nav, sizeof nav, start);
  StampParent(hostStream);
  return ok;
}

// One file's bytes from one descriptor to another: in the kernel where it
// can (a copy-on-write file system shares the blocks), by reading otherwise.
bool CopyBytes(int from, int to) {
  for (;;) {
    ssize_t n = copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
    if (n == 0) return true;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != ENOSYS && errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP) return false;
    break;
  }
  std::vector<char> buf(1 << 20);
  for (;;) {
    ssize_t n = read(from, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(to, buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
    }
  }
}

// Copies the files and folders of the folder src into the folder dst,
// folders merged with those already there, files dated as the originals.
// Links and special files are left out (counted in skipped); the source is
// only read. where names src for messages.
bool CopyTree(int src, int dst, const std::string& where, unsigned* files, unsigned* skipped) {
  int scan = dup(src);
  DIR* d = scan < 0 ? nullptr : fdopendir(scan);
  if (!d) {
    if (scan >= 0) close(scan);
    gDiskError = where + ": cannot read the folder: " + strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = where + "/" + name;
    struct stat st;
    if (fstatat(src, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      gDiskError = path + ": " + strerror(errno);
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      if (mkdirat(dst, name.c_str(), 0755) != 0 && errno != EEXIST) {
        gDiskError = "cannot make the folder for " + path + ": " + strerror(errno);
        return false;
      }
      const int in = openat(src, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      const int out = openat(dst, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      bool ok = in >= 0 && out >= 0 && CopyTree(in, out, path, files, skipped);
      if ((in < 0 || out < 0) && gDiskError.empty()) gDiskError = path + ": " + strerror(errno);
      if (ok) {
        const struct timespec ts[2] = {st.st_atim, st.st_mtim};
        futimens(out, ts);
      }
      if (in >= 0) close(in);
      if (out >= 0) close(out);
      if (!ok) return false;
      continue;
    }
    if (!S_ISREG(st.st_mode)) {
      ++*skipped;
      continue;
    }
    const int in = openat(src, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const int out =
        openat(dst, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0 && CopyBytes(in, out);
    if (!ok) gDiskError = "cannot copy " + path + ": " + strerror(errno);
    if (ok) {
      const struct timespec ts[2] = {st.st_atim, st.st_mtim};
      futimens(out, ts);
      ++*files;
    }
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
bool NormalisePath(const char* base, const char* path, char* out, size_t cap) {
  if (!path || !out || cap < 2) return false;
  std::string joined;
  if (path[0] != '/') {
    joined = base ? base : "/";
    joined += '/';
  }
  joined += path;
  std::string result;
  std::vector<size_t> starts;  // start of each component in result
  size_t i = 0;
  while (i < joined.size()) {
    while (i < joined.size() && joined[i] == '/') ++i;
    size_t j = i;
    while (j < joined.size() && joined[j] != '/') ++j;
    if (j == i) break;
    const size_t len = j - i;
    if (len == 1 && joined[i] == '.') {
      // stays
    } else if (len == 2 && joined[i] == '.' && joined[i + 1] == '.') {
      if (starts.empty()) return false;  // would leave the disk
      result.resize(starts.back());
      starts.pop_back();
    } else {
      starts.push_back(result.size());
      result += '/';
      result.append(joined, i, len);
    }
    i = j;
  }
  if (result.empty()) result = "/";
  if (result.size() + 1 > cap) return false;
  memcpy(out, result.c_str(), result.size() + 1);
  return true;
}

bool HostPathOf(const char* receiverPath, char* out, size_t cap) {
  const bool root = strcmp(receiverPath, "/") == 0;
  if (receiverPath[0] == '/' && strcmp(receiverPath + 1, kMarker) == 0) return false;
  int n = snprintf(out, cap, "%s%s", gRoot.c_str(), root ? "" : receiverPath);
  return n >= 0 && static_cast<size_t>(n) < cap && NoLinkOnTheWay(out);
}

bool NoLinkOnTheWay(const char* hostPath) {
  char part[PATH_MAX];
  const size_t len = strlen(hostPath);
  if (len >= sizeof part || len < gRoot.size()) return false;
  memcpy(part, hostPath, len + 1);
  for (size_t i = gRoot.size() + 1; i < len; ++i) {
    if (part[i] != '/') continue;
    part[i] = '\0';
    struct stat st;
    const bool exists = lstat(part, &st) == 0;
    part[i] = '/';
    if (!exists) return true;  // what follows does not exist either
    if (S_ISLNK(st.st_mode)) return false;
  }
  return true;
}

void StampNow(const char* hostPath) {
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(ClockSeconds());
  ts[0].tv_nsec = ts[1].tv_nsec = 0;
  utimensat(AT_FDCWD, hostPath, ts, AT_SYMLINK_NOFOLLOW);
}

void* LowAlloc(size_t size) {
  static unsigned char* arena;
  static size_t used;
  constexpr size_t kArena = 1 << 20;
  if (!arena) arena = static_cast<unsigned char*>(MapLow(kArena));
  if (!arena) return nullptr;
  size = (size + 15) & ~static_cast<size_t>(15);
  if (size > kArena - used) return nullptr;
  void* p = arena + used;
  used += size;
  return p;
}

dword LowWord(const void* p) {
  return static_cast<dword>(reinterpret_cast<uintptr_t>(p));
}

const char* DiskRoot() {
  return gRoot.c_str();
}

void ClearDiskFaults() {
  for (std::vector<std::string>* list :
       {&gFailOpen, &gFailChdir, &gFailCreate, &gFailRename, &gFailDelete, &gFailWrite, &gFailList,
        &gFailRead, &gFailReadShort})
    list->clear();
}

// The power goes: open files are dropped (what was written is on the disk;
// a log line not ended is captured as far as it got) and a folder scan ends.
void DiskPowerCut() {
  for (TYPE_File* f : std::vector<TYPE_File*>(gOpenFiles.begin(), gOpenFiles.end())) CloseFile(f);
  gScanNames.clear();
  gScanNext = 0;
}

// The receiver starts again: the plug-in stands in "/ProgramFiles".
void DiskPowerRestore() {
  strcpy(gCur, "/ProgramFiles");
  SetFolderText(gCur);
}

// Recording sets for the recorder (receiver path of the stream file).
bool MakeRecordingAt(const char* receiverPath, int64_t start) {
  char host[PATH_MAX];
  char rp[PATH_MAX];
  return receiverPath && *receiverPath && NormalisePath("/", receiverPath, rp, sizeof rp) &&
         HostPathOf(rp, host, sizeof host) && WriteRecordingSet(host, rp, start);
}

// A folder the receiver may start on: missing, empty, or marked as a disk
// of the simulator. Anything else is somebody's files and is left alone.
static bool DiskFolderUsable(const std::string& dir, std::string* why) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    *why = dir + ": " + strerror(errno);
    return false;
  }
  if (S_ISLNK(st.st_mode) && stat(dir.c_str(), &st) != 0) {
    *why = dir + " is a link to nothing";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *why = dir + " is not a folder";
    return false;
  }
  if (dir == "/") {
    *why = "/ is the whole file system; choose a new or empty folder";
    return false;
  }
  struct stat marker;
  if (lstat((dir + "/" + kMarker).c_str(), &marker) == 0 && S_ISREG(marker.st_mode)) return true;
  DIR* d = opendir(dir.c_str());
  if (!d) {
    *why = dir + ": cannot read the folder: " + strerror(errno);
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  if (names.empty()) return true;
  std::sort(names.begin(), names.end());
  std::string shown;
  for (size_t i = 0; i < names.size() && i < 4; ++i) shown += (i ? ", " : "") + names[i];
  if (names.size() > 4) shown += ", ...";
  *why = dir + " holds files (" + shown + ") and is no disk of the simulator (it has no " +
         kMarker + " file); it is left as it is. Choose a new or empty folder, or copy a " +
         "receiver's disk in with --disk-from";
  return false;
}

bool InitDisk(const char* diskDir) {
  for (TYPE_File* f : std::vector<TYPE_File*>(gOpenFiles.begin(), gOpenFiles.end())) CloseFile(f);
  gScanNames.clear();
  gScanNext = 0;
  gLogText.clear();
  ClearDiskFaults();
  gTopWithSlash = true;
  gRoot.clear();
  gDiskError.clear();
  if (!diskDir || !*diskDir) {
    gDiskError = "no disk folder named";
    return false;
  }

  // Absolute host path of the sandbox, created with its parents.
  std::string dir(diskDir);
  if (dir[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return false;
    dir = std::string(cwd) + "/" + dir;
  }
  if (!DiskFolderUsable(dir, &gDiskError)) return false;
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i != dir.size() && dir[i] != '/') continue;
    std::string part = dir.substr(0, i);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      gDiskError = "cannot make the folder " + part + ": " + strerror(errno);
      return false;
    }
  }
  char real[PATH_MAX];
  if (!realpath(dir.c_str(), real)) {
    gDiskError = dir + ": " + strerror(errno);
    return false;
  }
  // Checked again on the real path: a link may have named another folder.
  if (!DiskFolderUsable(real, &gDiskError)) return false;
  if (!RemoveTree(real, true)) {
    gDiskError = std::string("cannot empty ") + real + ": " + strerror(errno);
    return false;
  }
  std::string marker = std::string(real) + "/" + kMarker;
  if (!WriteWhole(marker.c_str(), kMarkerText, sizeof kMarkerText - 1, 0)) {
    gDiskError = "cannot write " + marker + ": " + strerror(errno);
    return false;
  }
  gRoot = real;

  static const char* const kFolders[] = {"/ProgramFiles", "/ProgramFiles/Settings", "/DataFiles",
                                         "/DataFiles/TimeShift"};
  for (const char* f : kFolders)
    if (mkdir((gRoot + f).c_str(), 0755) != 0) return false;
  // Dated once all are made: a folder made inside another dates it anew.
  for (const char* f : kFolders) StampNow((gRoot + f).c_str());
  StampNow(gRoot.c_str());

  // The plug-in's folder record in the firmware's table, in low memory.
  if (!gFolderRecord) {
    gFolderRecord = static_cast<TYPE_TapFolder*>(LowAlloc(sizeof(TYPE_TapFolder)));
    gFolderPath = static_cast<char*>(LowAlloc(kPathTextCap));
    if (!gFolderRecord || !gFolderPath) return false;
  }
  strcpy(gCur, "/ProgramFiles");
  SetFolderText(gCur);
  memset(_tapTask, 0, sizeof _tapTask);
  _curTapTask = 3;
  gFolderRecord->reserved1 = 0;
  gFolderRecord->pathWord = LowWord(gFolderPath);
  _tapTask[_curTapTask].folderWord = LowWord(gFolderRecord);
  return true;
}

}  // namespace sim

using namespace sim;

extern "C" {

// ---------------------------------------------------------------------------
// Firmware API: folders and files. Results of 0 mean success for ChangeDir,
// Create, Delete and Rename; 1 means failure.
dword TAP_Hdd_ChangeDir(const char* dir) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(1);
  char rp[PATH_MAX], host[PATH_MAX];
  if (!Resolve(dir, rp, host) || Hits(gFailChdir, rp, "TAP_Hdd_ChangeDir", "chdir")) return 1;
  struct stat st;  // a link to a folder is no folder: never entered
  if (lstat(host, &st) != 0 || !S_ISDIR(st.st_mode)) return 1;
  if (!SetFolderText(rp)) return 1;
  strcpy(gCur, rp);  // the root reads "/mnt/hd/": "/" in the plug-in's view
  return 0;
}

int TAP_Hdd_Exist(const char* name) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  char rp[PATH_MAX], host[PATH_MAX];
  struct stat st;
  return Resolve(name, rp, host) && lstat(host, &st) == 0 ? 1 : 0;
}

dword TAP_Hdd_Create(const char* name, byte attr) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(1);
  char rp[PATH_MAX], host[PATH_MAX];
  if (!Resolve(name, rp, host) || Hits(gFailCreate, rp, "TAP_Hdd_Create", "create") ||
      strcmp(rp, "/") == 0)
    return 1;
  struct stat st;
  const bool exists = lstat(host, &st) == 0;
  if (attr == ATTR_FOLDER) {
    if (exists) return S_ISDIR(st.st_mode) ? 0 : 1;
    if (mkdir(host, 0755) != 0) return 1;
  } else if (attr == ATTR_NORMAL) {
    if (exists) return S_ISREG(st.st_mode) ? 0 : 1;
    int fd = ::open(host, O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) return 1;
    close(fd);
  } else {
    return 1;
  }
  StampNow(host);
  StampParent(host);
  NoteDiskChange(Change::Create, rp);
  return 0;
}

dword TAP_Hdd_Delete(const char* name) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(1);
  char rp[PATH_MAX], host[PATH_MAX];
  struct stat st;
  if (!Resolve(name, rp, host) || strcmp(rp, "/") == 0 ||
      Hits(gFailDelete, rp, "TAP_Hdd_Delete", "delete") || lstat(host, &st) != 0)
    return 1;
  if ((S_ISDIR(st.st_mode) ? rmdir(host) : unlink(host)) != 0) return 1;
  StampParent(host);
  NoteDiskChange(Change::Delete, rp);
  return 0;
}

dword TAP_Hdd_Rename(const char* oldName, const char* newName) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(1);
  char rpOld[PATH_MAX], hostOld[PATH_MAX], rpNew[PATH_MAX], hostNew[PATH_MAX];
  if (!Resolve(oldName, rpOld, hostOld) || !Resolve(newName, rpNew, hostNew)) return 1;
  if (strcmp(rpOld, "/") == 0 || strcmp(rpNew, "/") == 0) return 1;
  if (InFaultList(gFailRename, rpOld) || InFaultList(gFailRename, rpNew)) {
    NoteFault(std::string("TAP_Hdd_Rename ") + rpOld + " to " + rpNew + " failed (fail rename)");
    return 1;
  }
  struct stat st;
  if (lstat(hostOld, &st) != 0 || lstat(hostNew, &st) == 0) return 1;
  if (rename(hostOld, hostNew) != 0) return 1;
  StampParent(hostOld);
  StampParent(hostNew);
  NoteDiskChange(Change::Rename, rpOld, rpNew);
  return 0;
}

dword TAP_Hdd_FindFirst(TYPE_FolderEntry* entry, const char* ext) {
  SIM_COUNT_CALL();
  (void)ext;  // the plug-in passes none; every entry is listed
  char host[PATH_MAX];
  gScanNames.clear();
  gScanNext = 0;
  if (entry) memset(entry, 0, sizeof *entry);
  SIM_WHEN_DARK_RETURN(0);
  if (Hits(gFailList, gCur, "TAP_Hdd_FindFirst", "list", "found nothing")) return 0;
  if (!HostPathOf(gCur, host, sizeof host) || !ListNames(host, &gScanNames)) return 0;
  gScanFolder = host;
  const dword count = static_cast<dword>(gScanNames.size());
  while (gScanNext < gScanNames.size())
    if (FillEntry(entry, gScanFolder, gScanNames[gScanNext++])) break;
  return count;
}

dword TAP_Hdd_FindNext(TYPE_FolderEntry* entry) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  // Entries removed or renamed since the scan began are passed over.
  while (gScanNext < gScanNames.size())
    if (FillEntry(entry, gScanFolder, gScanNames[gScanNext++])) return 1;
  return 0;
}

TYPE_File* TAP_Hdd_Fopen(const char* name) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(nullptr);
  char rp[PATH_MAX], host[PATH_MAX];
  if (!Resolve(name, rp, host) || Hits(gFailOpen, rp, "TAP_Hdd_Fopen", "open")) return nullptr;
  struct stat st;
  if (lstat(host, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  int fd = ::open(host, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) fd = ::open(host, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  TYPE_File* f = new TYPE_File;
  f->fd = fd;
  f->isLog = EndsWith(rp, ".log");
  f->written = false;
  f->path = rp;
  gOpenFiles.insert(f);
  return f;
}

dword TAP_Hdd_Flen(TYPE_File* file) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  struct stat st;
  if (!gOpenFiles.count(file) || fstat(file->fd, &st) != 0) return 0;
  return static_cast<dword>(st.st_size);
}

// A read fault reads nothing, or (short) half of the bytes asked for.
dword TAP_Hdd_Fread(void* buf, dword blockSize, dword blockCount, TYPE_File* file) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  if (!buf || blockSize == 0 || blockCount == 0 || !gOpenFiles.count(file)) return 0;
  if (Hits(gFailRead, file->path.c_str(), "TAP_Hdd_Fread", "read")) return 0;
  uint64_t total = static_cast<uint64_t>(blockSize) * blockCount;
  if (total > SIZE_MAX / 2) return 0;
  if (Hits(gFailReadShort, file->path.c_str(), "TAP_Hdd_Fread", "read short", "came back short"))
    total /= 2;
  char* p = static_cast<char*>(buf);
  uint64_t done = 0;
  while (done < total) {
    ssize_t n = read(file->fd, p + done, static_cast<size_t>(total - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint64_t>(n);
  }
  return static_cast<dword>(done / blockSize);
}

// A write goes to the disk at once. The power cut armed for it half way
// leaves the first half of its bytes there.
dword TAP_Hdd_Fwrite(const void* buf, dword blockSize, dword blockCount, TYPE_File* file) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  if (!buf || blockSize == 0 || blockCount == 0 || !gOpenFiles.count(file)) return 0;
  if (Hits(gFailWrite, file->path.c_str(), "TAP_Hdd_Fwrite", "write")) return 0;
  uint64_t total = static_cast<uint64_t>(blockSize) * blockCount;
  if (total > SIZE_MAX / 2) return 0;
  const bool cutHalfWay = CutHalfWayThrough(file->path.c_str());
  if (cutHalfWay) total /= 2;
  const char* p = static_cast<const char*>(buf);
  uint64_t done = 0;
  while (done < total) {
    ssize_t n = write(file->fd, p + done, static_cast<size_t>(total - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint64_t>(n);
  }
  if (done > 0) {
    struct timespec ts[2];
    ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(ClockSeconds());
    ts[0].tv_nsec = ts[1].tv_nsec = 0;
    futimens(file->fd, ts);
    if (file->isLog) CaptureLog(file, p, static_cast<size_t>(done));
    file->written = true;
  }
  const dword blocks = cutHalfWay ? 0 : static_cast<dword>(done / blockSize);
  // Last: a cut here drops the file.
  if (done > 0 || cutHalfWay) NoteDiskChange(Change::Write, file->path.c_str());
  return blocks;
}

// Moves the file position (origin 0 start, 1 current, 2 end). Returns the
// new position, or 0xFFFFFFFF when the seek fails.
dword TAP_Hdd_Fseek(TYPE_File* file, long offset, long origin) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0xFFFFFFFFu);
  if (!gOpenFiles.count(file) || origin < 0 || origin > 2) return 0xFFFFFFFFu;
  const int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
  off_t pos = lseek(file->fd, static_cast<off_t>(offset), whence);
  return pos < 0 ? 0xFFFFFFFFu : static_cast<dword>(pos);
}

void TAP_Hdd_Fclose(TYPE_File* file) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN();
  if (!gOpenFiles.count(file)) return;
  if (!file->written) {
    CloseFile(file);
    return;
  }
  const std::string path = file->path;
  CloseFile(file);
  NoteDiskChange(Change::Close, path.c_str());
}

// ---------------------------------------------------------------------------
// Control: disk
TAP_EXPORT const char* sim_disk_root(void) {
  return gRoot.c_str();
}

TAP_EXPORT const char* sim_disk_error(void) {
  return gDiskError.c_str();
}

TAP_EXPORT int sim_copy_in(const char* hostFolder, unsigned* files, unsigned* skipped) {
  unsigned copied = 0, left = 0;
  gDiskError.clear();
  if (gRoot.empty() || !hostFolder || !*hostFolder) {
    gDiskError = "no disk or no folder to copy";
    return 0;
  }
  const int src = ::open(hostFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int dst = ::open(gRoot.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  bool ok = src >= 0 && dst >= 0 && CopyTree(src, dst, hostFolder, &copied, &left);
  if (src < 0 || dst < 0) gDiskError = std::string(hostFolder) + ": " + strerror(errno);
  if (src >= 0) close(src);
  if (dst >= 0) close(dst);
  if (files) *files = copied;
  if (skipped) *skipped = left;
  return ok ? 1 : 0;
}

TAP_EXPORT char* sim_host_path(const char* receiverPath, char* out, size_t cap) {
  char rp[PATH_MAX];
  if (!out || gRoot.empty() || !receiverPath || !NormalisePath("/", receiverPath, rp, sizeof rp) ||
      !HostPathOf(rp, out, cap))
    return nullptr;
  return out;
}

TAP_EXPORT int sim_mkdir(const char* path) {
  char host[PATH_MAX];
  return ControlPath(path, host) && MakeDirs(host) ? 1 : 0;
}

TAP_EXPORT int sim_rmtree(const char* path) {
  char rp[PATH_MAX], host[PATH_MAX];
  if (!path || !NormalisePath("/", path, rp, sizeof rp) || !HostPathOf(rp, host, sizeof host))
    return 0;
  const bool root = strcmp(rp, "/") == 0;
  if (!RemoveTree(host, root)) return 0;
  if (!root) StampParent(host);
  return 1;
}

TAP_EXPORT int sim_write_file(const char* path, const void* data, size_t len) {
  char host[PATH_MAX];
  if (!ControlPath(path, host) || (!data && len) || !MakeParentDirs(host)) return 0;
  bool ok = WriteWhole(host, data ? data : "", len, ClockSeconds());
  StampParent(host);
  return ok ? 1 : 0;
}

TAP_EXPORT long sim_read_file(const char* path, void* buf, size_t cap) {
  char host[PATH_MAX];
  if (!ControlPath(path, host)) return -1;
  int fd = ::open(host, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t done = 0;
  while (buf && done < cap) {
    ssize_t n = read(fd, static_cast<char*>(buf) + done, cap - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return static_cast<long>(done);
}

TAP_EXPORT long long sim_file_size(const char* path) {
  char host[PATH_MAX];
  struct stat st;
  if (!ControlPath(path, host) || lstat(host, &st) != 0) return -1;
  return S_ISDIR(st.st_mode) ? 0 : static_cast<long long>(st.st_size);
}

TAP_EXPORT int sim_exists(const char* path) {
  char host[PATH_MAX];
  struct stat st;
  return ControlPath(path, host) && lstat(host, &st) == 0 ? 1 : 0;
}

TAP_EXPORT int sim_set_mtime(const char* path, int year, int month, int day, int hour, int min,
                             int sec) {
  char host[PATH_MAX];
  if (!ControlPath(path, host)) return 0;
  struct timespec ts[2];
  ts[0].tv_sec = ts[1].tv_sec =
      static_cast<time_t>(DaysFromCivil(year, month, day) * 86400 + hour * 3600 + min * 60 + sec);
  ts[0].tv_nsec = ts[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, host, ts, AT_SYMLINK_NOFOLLOW) == 0 ? 1 : 0;
}

TAP_EXPORT int sim_make_recording(const char* streamPath, int year, int month, int day, int hour,
                                  int min, int sec) {
  const int64_t start = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + min * 60 + sec;
  return MakeRecordingAt(streamPath, start) ? 1 : 0;
}

TAP_EXPORT int sim_write_firmwaredat(const char* folder, unsigned model, unsigned slots) {
  char host[PATH_MAX];
  if (!ControlPath(folder, host) || !MakeDirs(host)) return 0;
  unsigned char data[20 + 348] = {};
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) data[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  put32(0, 0x12345678u);
  put32(8, 0);
  put32(12, 1);
  data[20] = static_cast<unsigned char>(model);
  data[21] = static_cast<unsigned char>(model >> 8);
  put32(20 + 324, slots);
  std::string file = std::string(host) + "/FirmwareTMS.dat";
  bool ok = WriteWhole(file.c_str(), data, sizeof data, ClockSeconds());
  StampParent(file.c_str());
  return ok ? 1 : 0;
}

TAP_EXPORT int sim_list_folder(const char* folder, char* out, size_t cap) {
  char host[PATH_MAX];
  std::vector<std::string> names;
  if (out && cap) out[0] = '\0';
  if (!ControlPath(folder, host) || !ListNames(host, &names)) return -1;
  std::string text;
  for (const std::string& n : names) {
    struct stat st;
    if (lstat((std::string(host) + "/" + n).c_str(), &st) != 0) continue;
    int64_t days = st.st_mtime / 86400 - (st.st_mtime % 86400 < 0);
    int64_t rest = st.st_mtime - days * 86400;
    int64_t y;
    int mo, d;
    CivilFromDays(days, &y, &mo, &d);
    char line[64];
    snprintf(line, sizeof line, " %lld %04lld-%02d-%02d %02d:%02d\n",
             S_ISDIR(st.st_mode) ? 0LL : static_cast<long long>(st.st_size),
             static_cast<long long>(y), mo, d, static_cast<int>(rest / 3600),
             static_cast<int>(rest % 3600 / 60));
    text += n;
    text += line;
  }
  if (out && cap) {
    size_t n = std::min(text.size(), cap - 1);
    memcpy(out, text.data(), n);
    out[n] = '\0';
  }
  return static_cast<int>(names.size());
}

TAP_EXPORT void sim_fail_open(const char* path) {
  AddFault(gFailOpen, path);
}
TAP_EXPORT void sim_fail_chdir(const char* path) {
  AddFault(gFailChdir, path);
}
TAP_EXPORT void sim_fail_create(const char* path) {
  AddFault(gFailCreate, path);
}
TAP_EXPORT void sim_fail_rename(const char* path) {
  AddFault(gFailRename, path);
}
TAP_EXPORT void sim_fail_delete(const char* path) {
  AddFault(gFailDelete, path);
}
TAP_EXPORT void sim_fail_read(const char* path, int shortRead) {
  AddFault(shortRead ? gFailReadShort : gFailRead, path);
}
TAP_EXPORT void sim_fail_write(const char* path) {
  AddFault(gFailWrite, path);
}
TAP_EXPORT void sim_fail_list(const char* folder) {
  AddFault(gFailList, folder);
}

TAP_EXPORT void sim_set_top_folder_slash(int slash) {
  gTopWithSlash = slash != 0;
  if (strcmp(gCur, "/") == 0) SetFolderText(gCur);
}

TAP_EXPORT const char* sim_log_text(void) {
  return gLogText.c_str();
}
TAP_EXPORT int sim_log_contains(const char* needle) {
  return needle && gLogText.find(needle) != std::string::npos ? 1 : 0;
}

}  // extern "C"
