// The C library calls the plug-in makes beside the firmware API, served by
// the simulated receiver: symbol lookup (dlsym / dlerror, so that a firmware
// symbol can be made to fail), shell commands (system, run on the sandbox),
// and the network terminals /dev/pts/N (open / close, captured in memory).
// libtap.so defines these names, so the dynamic loader binds the plug-in's
// calls here; everything else is forwarded to the C library.
#undef _FORTIFY_SOURCE
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sim/libtap/internal.h"
#include "sim/shell/shell_link.h"

// The sanitizer runtimes look their functions up with dlsym before they are
// set up, so the lookup path must run uninstrumented.
#if defined(__clang__) || defined(__GNUC__)
#define SIM_UNINSTRUMENTED __attribute__((no_sanitize("address", "undefined")))
#else
#define SIM_UNINSTRUMENTED
#endif

namespace sim {
namespace {

// ---------------------------------------------------------------------------
// The C library's own functions
typedef void* (*DlsymFn)(void*, const char*);
typedef char* (*DlerrorFn)(void);
typedef int (*OpenFn)(const char*, int, ...);
typedef int (*CloseFn)(int);

SIM_UNINSTRUMENTED void* VersionedNext(const char* name) {
  static const char* const kVersions[] = {"GLIBC_2.34", "GLIBC_2.2.5", "GLIBC_2.0"};
  for (const char* v : kVersions)
    if (void* p = dlvsym(RTLD_NEXT, name, v)) return p;
  return nullptr;
}

SIM_UNINSTRUMENTED DlsymFn RealDlsym() {
  static DlsymFn fn;
  if (!fn) fn = reinterpret_cast<DlsymFn>(VersionedNext("dlsym"));
  return fn;
}

SIM_UNINSTRUMENTED DlerrorFn RealDlerror() {
  static DlerrorFn fn;
  if (!fn) fn = reinterpret_cast<DlerrorFn>(VersionedNext("dlerror"));
  return fn;
}

// Looking the loader's functions up sets and clears the loader's error state:
// do it once at load time, so that the first dlerror after a failed dlopen
// still reports that failure.
__attribute__((constructor)) SIM_UNINSTRUMENTED void ResolveLoaderFunctions() {
  RealDlsym();
  RealDlerror();
}

void* NextSymbol(const char* name) {
  DlsymFn real = RealDlsym();
  return real ? real(RTLD_NEXT, name) : nullptr;
}

OpenFn RealOpen() {
  static OpenFn fn;
  if (!fn) fn = reinterpret_cast<OpenFn>(NextSymbol("open"));
  return fn;
}

CloseFn RealClose() {
  static CloseFn fn;
  if (!fn) fn = reinterpret_cast<CloseFn>(NextSymbol("close"));
  return fn;
}

// ---------------------------------------------------------------------------
// Symbol faults (plain arrays: dlsym may be called before constructors run).
constexpr int kMaxFailSyms = 16;
char gFailSyms[kMaxFailSyms][64];
int gFailSymCount;
bool gSymErrorPending;
char gSymError[160];

SIM_UNINSTRUMENTED bool SymbolFails(const char* name) {
  for (int i = 0; i < gFailSymCount; ++i) {
    const char* a = gFailSyms[i];
    const char* b = name;
    while (*a && *a == *b) ++a, ++b;
    if (*a == *b) return true;
  }
  return false;
}

// The loader's object of an address, or null.
SIM_UNINSTRUMENTED struct link_map* MapOf(const void* p) {
  Dl_info info;
  struct link_map* lm = nullptr;
  if (!p || !dladdr1(p, &info, reinterpret_cast<void**>(&lm), RTLD_DL_LINKMAP)) return nullptr;
  return lm;
}

// True when object b is loaded after object a.
SIM_UNINSTRUMENTED bool LoadedAfter(const struct link_map* a, const struct link_map* b) {
  for (const struct link_map* l = a ? a->l_next : nullptr; l; l = l->l_next)
    if (l == b) return true;
  return false;
}

// This library's own versions of the C library functions it replaces.
void* OwnDefinition(const char* name);

// RTLD_NEXT on behalf of a caller (the C library would otherwise search
// after this library instead of after the caller). A caller loaded before
// this library (a sanitizer runtime, the program) gets the first definition
// loaded after itself: the one the global search finds when that lies after
// the caller, else this library's own, else the C library's.
SIM_UNINSTRUMENTED void* NextAfter(const void* caller, const char* name) {
  DlsymFn real = RealDlsym();
  if (!real) return nullptr;
  struct link_map* callerMap = MapOf(caller);
  struct link_map* selfMap = MapOf(reinterpret_cast<const void*>(&MapOf));
  if (!callerMap || !selfMap || !LoadedAfter(callerMap, selfMap)) return real(RTLD_NEXT, name);
  void* first = real(RTLD_DEFAULT, name);
  struct link_map* owner = MapOf(first);
  if (first && owner && LoadedAfter(callerMap, owner)) return first;
  if (void* own = OwnDefinition(name)) return own;
  return real(RTLD_NEXT, name);
}

// ---------------------------------------------------------------------------
// Shell
unsigned gShellCommands;
std::string* gLastShell;
std::vector<shell_link::Fault>* gMvFaults;
int gLinkFd = -1;  // the memory file shared with the shell's commands

std::vector<shell_link::Fault>& MvFaults() {
  if (!gMvFaults) gMvFaults = new std::vector<shell_link::Fault>;
  return *gMvFaults;
}

// The link is mapped into this process once: filling and reading it costs
// no system call, only the shell's child clears its close-on-exec flag.
unsigned char* gLink;  // the mapping of gLinkFd

// Fills the link for the next command: the changes left before an armed
// cut and the path they count, the clock, the faults of mv (as many as
// fit). False when there is no link.
bool PrepareLink() {
  if (!gLink) {
    if (gLinkFd < 0) gLinkFd = memfd_create("tapsim-shell", MFD_CLOEXEC);
    if (gLinkFd < 0 || ftruncate(gLinkFd, shell_link::kSize) != 0) return false;
    void* p = mmap(nullptr, shell_link::kSize, PROT_READ | PROT_WRITE, MAP_SHARED, gLinkFd, 0);
    if (p == MAP_FAILED) return false;
    gLink = static_cast<unsigned char*>(p);
  }
  const std::string path = CutPath();
  std::string faults = shell_link::EncodeFaults(MvFaults());
  const size_t room = shell_link::kReportOffset - sizeof(shell_link::Header) - path.size();
  if (faults.size() > room) faults.resize(faults.rfind('\0', room - 1) + 1);
  shell_link::Header h;
  memset(&h, 0, sizeof h);
  h.magic = shell_link::kMagic;
  h.budget = ChangesBeforeCut();
  h.clock = ClockSeconds();
  h.faultBytes = static_cast<uint32_t>(faults.size());
  h.pathBytes = static_cast<uint32_t>(path.size());
  memcpy(gLink, &h, sizeof h);
  memcpy(gLink + sizeof h, faults.data(), faults.size());
  memcpy(gLink + sizeof h + faults.size(), path.data(), path.size());
  memset(gLink + shell_link::kReportOffset, 0, sizeof(uint32_t));
  return true;
}

// What the command did for the plug-in: the faults that hit its mv, its
// renames (changes of the disk), and whether the power went with one of them.
void ReadLink(const char* command) {
  shell_link::Header h;
  memcpy(&h, gLink, sizeof h);
  if (h.magic != shell_link::kMagic) return;
  uint32_t reported = 0;
  memcpy(&reported, gLink + shell_link::kReportOffset, sizeof reported);
  const size_t cap = shell_link::kSize - shell_link::kReportOffset - sizeof reported;
  const char* text = reinterpret_cast<const char*>(gLink + shell_link::kReportOffset + 4);
  std::string lines(text, reported < cap ? reported : cap);
  for (size_t at = 0; at < lines.size();) {
    size_t nl = lines.find('\n', at);
    if (nl == std::string::npos) nl = lines.size();
    if (nl > at) NoteFault(lines.substr(at, nl - at));
    at = nl + 1;
  }
  NoteShellRenames(h.renames, h.budget, h.off != 0, command);
}

std::string ShellBinFolder() {
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&TAP_GetTick), &info) || !info.dli_fname) return "";
  char real[PATH_MAX];
  std::string lib = realpath(info.dli_fname, real) ? real : info.dli_fname;
  size_t slash = lib.rfind('/');
  return (slash == std::string::npos ? std::string(".") : lib.substr(0, slash)) + "/shellbin";
}

// ---------------------------------------------------------------------------
// Terminals: one memory file per open terminal; the plug-in's descriptors are
// duplicates of it, so everything written lands at its end.
constexpr int kTerminals = 20;
constexpr int kFdMap = 65536;
int gTermFd[kTerminals];        // memory file + 1, 0 when closed
off64_t gTermRead[kTerminals];  // bytes collected so far
unsigned char gFdTerm[kFdMap];  // terminal + 1 of a descriptor handed out, 0 otherwise
// Bytes written to each terminal since power-on, zero bytes included.
unsigned long gTermBytes[kTerminals];
std::string* gTermText[kTerminals];

std::string& TermText(int n) {
  if (!gTermText[n]) gTermText[n] = new std::string;
  return *gTermText[n];
}

// Moves what was written to terminal n since the last look into its text
// and reports it. While the power is off nothing reaches a terminal: what
// the plug-in still writes to a descriptor it holds is passed over.
void Collect(int n, bool keep = !PowerOff()) {
  if (n < 0 || n >= kTerminals || gTermFd[n] == 0) return;
  const int fd = gTermFd[n] - 1;
  struct stat64 st;  // 64-bit: a 32-bit fstat fails on large inode numbers
  if (fstat64(fd, &st) != 0 || st.st_size <= gTermRead[n]) return;
  std::string fresh;
  char buf[4096];
  while (gTermRead[n] < st.st_size) {
    ssize_t got = pread64(fd, buf, sizeof buf, gTermRead[n]);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    gTermRead[n] += got;
    if (!keep) continue;
    gTermBytes[n] += static_cast<unsigned long>(got);
    for (ssize_t i = 0; i < got; ++i)
      if (buf[i] != '\0') fresh += buf[i];
  }
  if (fresh.empty()) return;
  TermText(n) += fresh;
  Notify("console", fresh.c_str());
}

void CloseTerminal(int n, bool collect) {
  if (gTermFd[n] == 0) return;
  if (collect) Collect(n);
  CloseFn real = RealClose();
  if (real) real(gTermFd[n] - 1);
  gTermFd[n] = 0;
  gTermRead[n] = 0;
}

// A "/dev/pts/..." path: the descriptor of an open virtual terminal, or -1
// (always while the power is off).
// A terminal that is not open costs what it costs on a receiver, one failed
// system call: the kernel walks the same path and is asked for a folder
// opened for writing, which nothing can satisfy (a folder cannot be opened
// for writing, anything else is not a folder), so no host terminal is ever
// opened.
int OpenTerminal(const char* path, const char* rest) {
  int n = -1;
  if (rest[0] >= '0' && rest[0] <= '9' &&
      (rest[1] == '\0' || (rest[0] != '0' && rest[2] == '\0' && rest[1] >= '0' && rest[1] <= '9')))
    n = atoi(rest);
  if (PowerOff()) {
    errno = ENOENT;
    return -1;
  }
  if (n < 0 || n >= kTerminals || gTermFd[n] == 0) {
    OpenFn real = RealOpen();
    int fd = real ? real(path, O_RDWR | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd >= 0) {
      CloseFn realClose = RealClose();
      if (realClose) realClose(fd);
    }
    errno = ENOENT;
    return -1;
  }
  int fd = dup(gTermFd[n] - 1);
  if (fd < 0) return -1;
  if (fd < kFdMap) gFdTerm[fd] = static_cast<unsigned char>(n + 1);
  return fd;
}

int OpenAny(const char* path, int flags, mode_t mode) {
  if (path && strncmp(path, "/dev/pts/", 9) == 0) return OpenTerminal(path, path + 9);
  OpenFn real = RealOpen();
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  int fd = real(path, flags, mode);
  if (fd >= 0 && fd < kFdMap) gFdTerm[fd] = 0;
  return fd;
}

bool TakesMode(int flags) {
#ifdef O_TMPFILE
  if ((flags & O_TMPFILE) == O_TMPFILE) return true;
#endif
  return (flags & O_CREAT) != 0;
}

}  // namespace

void ClearSymbolFaults() {
  gFailSymCount = 0;
  gSymErrorPending = false;
}

void ClearShellFaults() {
  MvFaults().clear();
}

// The power goes: what reached the terminals before stays; nothing after.
void HostCallsPowerCut() {
  for (int n = 0; n < kTerminals; ++n) Collect(n, true);
}

void ResetShellCounts() {
  gShellCommands = 0;
  if (gLastShell) gLastShell->clear();
}

void HostCallsReset() {
  for (int n = 0; n < kTerminals; ++n) {
    CloseTerminal(n, false);
    if (gTermText[n]) gTermText[n]->clear();
    gTermBytes[n] = 0;
  }
  ClearSymbolFaults();
  ClearShellFaults();
  ResetShellCounts();
}

}  // namespace sim

using namespace sim;

extern "C" {

// ---------------------------------------------------------------------------
// Dynamic loader
SIM_UNINSTRUMENTED TAP_EXPORT void* dlsym(void* __restrict handle,
                                          const char* __restrict name) __THROW {
  // The C library declares the name non-null; a caller may still pass none,
  // so the check must survive the compiler's knowledge of that declaration.
  const char* checked = name;
  __asm__("" : "+r"(checked));
  if (checked && SymbolFails(checked)) {
    snprintf(gSymError, sizeof gSymError, "tapsim: undefined symbol: %s", name);
    gSymErrorPending = true;
    return nullptr;
  }
  gSymErrorPending = false;
  if (handle == RTLD_NEXT) return NextAfter(__builtin_return_address(0), name);
  DlsymFn real = RealDlsym();
  return real ? real(handle, name) : nullptr;
}

SIM_UNINSTRUMENTED TAP_EXPORT char* dlerror(void) __THROW {
  DlerrorFn real = RealDlerror();
  if (gSymErrorPending) {
    gSymErrorPending = false;
    if (real) real();  // the loader's own state is consumed as well
    return gSymError;
  }
  return real ? real() : nullptr;
}

}  // extern "C"

// ---------------------------------------------------------------------------
// The replacements themselves, with internal linkage so that this library
// can hand out their addresses (OwnDefinition) whoever else defines the names.
namespace sim {
namespace {

// Shell: /bin/sh -c CMD in the sandbox, with only the simulator's commands on
// PATH. Returns the wait status like system(); while the power is off it
// runs nothing and returns -1.
int SystemImpl(const char* command) {
  if (!command) return 1;
  if (PowerOff()) return -1;
  ++gShellCommands;
  if (!gLastShell) gLastShell = new std::string;
  *gLastShell = command;
  Notify("shell", command);
  const char* root = DiskRoot();
  if (!root || !*root) return -1;
  const std::string pathVar = "PATH=" + ShellBinFolder();
  const std::string diskVar = std::string("TAPSIM_DISK=") + root;
  const bool linked = PrepareLink();
  const std::string linkVar =
      std::string(shell_link::kEnvironment) + "=" + std::to_string(linked ? gLinkFd : -1);
  char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                        const_cast<char*>(command), nullptr};
  char* const envp[] = {const_cast<char*>(pathVar.c_str()), const_cast<char*>(diskVar.c_str()),
                        const_cast<char*>(linkVar.c_str()), nullptr};
  const int linkFd = linked ? gLinkFd : -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (chdir(root) != 0) _exit(127);
    if (linkFd >= 0 && fcntl(linkFd, F_SETFD, 0) != 0) _exit(127);
    execve("/bin/sh", argv, envp);
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (linked) ReadLink(command);
  return status;
}

#define SIM_OPEN_MODE(flags, mode)               \
  mode_t mode = 0;                               \
  if (TakesMode(flags)) {                        \
    va_list ap;                                  \
    va_start(ap, flags);                         \
    mode = static_cast<mode_t>(va_arg(ap, int)); \
    va_end(ap);                                  \
  }

int OpenImpl(const char* path, int flags, ...) {
  SIM_OPEN_MODE(flags, mode);
  return OpenAny(path, flags, mode);
}

int Open64Impl(const char* path, int flags, ...) {
  SIM_OPEN_MODE(flags, mode);
  return OpenAny(path, flags | O_LARGEFILE, mode);
}

// Entry points of the fortified open.
int Open2Impl(const char* path, int flags) {
  return OpenAny(path, flags, 0);
}
int Open64_2Impl(const char* path, int flags) {
  return OpenAny(path, flags | O_LARGEFILE, 0);
}

int CloseImpl(int fd) {
  int term = fd >= 0 && fd < kFdMap ? gFdTerm[fd] : 0;
  if (term) gFdTerm[fd] = 0;
  CloseFn real = RealClose();
  int r = real ? real(fd) : -1;
  if (term) Collect(term - 1);
  return r;
}

SIM_UNINSTRUMENTED void* OwnDefinition(const char* name) {
  static const struct {
    const char* name;
    void* fn;
  } kOwn[] = {
      {"system", reinterpret_cast<void*>(&SystemImpl)},
      {"open", reinterpret_cast<void*>(&OpenImpl)},
      {"open64", reinterpret_cast<void*>(&Open64Impl)},
      {"__open_2", reinterpret_cast<void*>(&Open2Impl)},
      {"__open64_2", reinterpret_cast<void*>(&Open64_2Impl)},
      {"close", reinterpret_cast<void*>(&CloseImpl)},
  };
  for (const auto& own : kOwn) {
    const char* a = own.name;
    const char* b = name;
    while (*a && *a == *b) ++a, ++b;
    if (*a == *b) return own.fn;
  }
  return nullptr;
}

}  // namespace
}  // namespace sim

extern "C" {

TAP_EXPORT int system(const char* command) {
  return SystemImpl(command);
}

// Terminals
TAP_EXPORT int open(const char* path, int flags, ...) {
  SIM_OPEN_MODE(flags, mode);
  return OpenAny(path, flags, mode);
}

#if defined(__GLIBC__) && !defined(__USE_FILE_OFFSET64)
TAP_EXPORT int open64(const char* path, int flags, ...) {
  SIM_OPEN_MODE(flags, mode);
  return OpenAny(path, flags | O_LARGEFILE, mode);
}
#endif

#if defined(__GLIBC__)
TAP_EXPORT int __open_2(const char* path, int flags) {
  return Open2Impl(path, flags);
}
TAP_EXPORT int __open64_2(const char* path, int flags) {
  return Open64_2Impl(path, flags);
}
#endif

TAP_EXPORT int close(int fd) {
  return CloseImpl(fd);
}

// ---------------------------------------------------------------------------
// Control
TAP_EXPORT void sim_fail_symbol(const char* name, int fail) {
  if (!name) return;
  for (int i = 0; i < gFailSymCount; ++i) {
    if (strcmp(gFailSyms[i], name) != 0) continue;
    if (!fail) {
      memmove(gFailSyms[i], gFailSyms[i + 1], sizeof gFailSyms[0] * (gFailSymCount - i - 1));
      --gFailSymCount;
    }
    return;
  }
  if (fail && gFailSymCount < kMaxFailSyms && strlen(name) < sizeof gFailSyms[0])
    strcpy(gFailSyms[gFailSymCount++], name);
}

TAP_EXPORT void sim_fail_mv(const char* path, int moved) {
  char norm[PATH_MAX];
  if (path && NormalisePath("/", path, norm, sizeof norm))
    MvFaults().push_back(
        shell_link::Fault{moved ? shell_link::kMovedButFails : shell_link::kRefuse, norm});
}

TAP_EXPORT unsigned sim_shell_commands(void) {
  return gShellCommands;
}
TAP_EXPORT const char* sim_last_shell_command(void) {
  return gLastShell ? gLastShell->c_str() : "";
}

TAP_EXPORT void sim_terminal_open(int n, int open) {
  if (n < 0 || n >= kTerminals) return;
  if (!open) {
    CloseTerminal(n, true);
    return;
  }
  if (gTermFd[n] != 0) return;
  int fd = memfd_create("tapsim-pts", MFD_CLOEXEC);
  if (fd < 0) return;
  gTermFd[n] = fd + 1;
  gTermRead[n] = 0;
}

TAP_EXPORT const char* sim_terminal_text(int n) {
  if (n < 0 || n >= kTerminals) return "";
  Collect(n);
  return TermText(n).c_str();
}

TAP_EXPORT unsigned long sim_terminal_bytes(int n) {
  if (n < 0 || n >= kTerminals) return 0;
  Collect(n);
  return gTermBytes[n];
}

TAP_EXPORT int sim_console_contains(const char* needle) {
  if (!needle) return 0;
  for (int n = 0; n < kTerminals; ++n) {
    Collect(n);
    if (gTermText[n] && gTermText[n]->find(needle) != std::string::npos) return 1;
  }
  return 0;
}

}  // extern "C"
