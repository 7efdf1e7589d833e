// Directory stack and navigation: every operation that leaves the current
// folder pushes it first and pops it afterwards.
#include "lib/dir_stack.h"

#include <string.h>

#include "lib/firmware.h"
#include "lib/names.h"

namespace {

constexpr int kStackEntries = 16;
constexpr size_t kPathSize = 200;
constexpr size_t kUtf8Size = 256;
// The firmware keeps the current folder as a Linux path below the disk's
// mount point; the TAP view of it starts behind these characters.
constexpr size_t kMountPointLength = 7;  // "/mnt/hd"

char TAPDirStack[kStackEntries][kPathSize];
int TAPDirStackDepth = -1;
int ReturnTypeToBeChecked = 1;
dword ChDirSuccessful;

}  // namespace

// The firmware's success value of TAP_Hdd_ChangeDir is learnt once, from a
// change into "/ProgramFiles", which always exists. Bounds: a path whose
// UTF-8 form does not fit 255 bytes gets no second try (a cut path would name
// another folder); the result is then that of the first try.
int HDD_ChangeDir(const char* path) {
  if (ReturnTypeToBeChecked) {
    ChDirSuccessful = TAP_Hdd_ChangeDir("/ProgramFiles");
    ReturnTypeToBeChecked = 0;
  }
  if (path == nullptr) return 0;
  if (TAP_Hdd_ChangeDir(path) == ChDirSuccessful) return 1;

  if (UTF8Length(path) >= kUtf8Size) return 0;
  char utf8[kUtf8Size];
  StrToUTF8(path, utf8);
  return TAP_Hdd_ChangeDir(utf8) == ChDirSuccessful ? 1 : 0;
}

// Bounds: a firmware path that does not fit the caller's 200 bytes (more
// than 199 characters behind the mount point), or that is too short to hold
// the mount point, is refused like unreachable tables: empty text and -3. A
// cut path would name another folder, and a push of it would return there.
int HDD_TAP_GetCurrentDir(char* path) {
  const void* table = FIS_vTAPTable();
  const void* current = FIS_vcurTapTask();
  if (table == nullptr || current == nullptr) {
    if (path != nullptr) path[0] = 0;
    return -3;
  }
  if (path == nullptr) return 0;

  dword index = *static_cast<const dword*>(current);
  const TYPE_TapTaskEntry* entry = static_cast<const TYPE_TapTaskEntry*>(table) + index;
  if (entry->folderWord == 0) return 0;
  const TYPE_TapFolder* folder = static_cast<const TYPE_TapFolder*>(PtrFromWord(entry->folderWord));
  if (folder->pathWord == 0) return 0;
  const char* full = static_cast<const char*>(PtrFromWord(folder->pathWord));

  size_t length = strnlen(full, kMountPointLength + kPathSize);
  if (length < kMountPointLength || length - kMountPointLength >= kPathSize) {
    path[0] = 0;
    return -3;
  }
  memcpy(path, full + kMountPointLength, length - kMountPointLength + 1);
  return 0;
}

int HDD_TAP_PushDir(void) {
  ++TAPDirStackDepth;
  if (TAPDirStackDepth >= kStackEntries) {
    --TAPDirStackDepth;
    return 0;
  }
  if (HDD_TAP_GetCurrentDir(TAPDirStack[TAPDirStackDepth]) != 0) {
    --TAPDirStackDepth;
    return 0;
  }
  return 1;
}

int HDD_TAP_PopDir(void) {
  if (TAPDirStackDepth < 0) return 0;
  int top = TAPDirStackDepth--;
  return HDD_ChangeDir(TAPDirStack[top]);
}

int HDD_TAP_DirStackDepth(void) {
  return TAPDirStackDepth;
}

namespace {

// Length of a folder path without its trailing "/" characters; the root
// keeps its one "/".
size_t FolderLength(const char* path, size_t length) {
  while (length > 1 && path[length - 1] == '/') --length;
  return length;
}

// 1 when current (a path from the disk's root) names folder, where a folder
// without a leading "/" counts from the root as the move command reads it.
int SameFolder(const char* current, const char* folder) {
  if (folder[0] == '/') {
    size_t a = FolderLength(current, strlen(current));
    size_t b = FolderLength(folder, strlen(folder));
    return a == b && memcmp(current, folder, a) == 0;
  }
  if (current[0] != '/') return 0;
  size_t a = FolderLength(current, strlen(current));
  size_t b = FolderLength(folder, strlen(folder));
  if (b == 0) return a == 1;
  return a == b + 1 && memcmp(current + 1, folder, b) == 0;
}

}  // namespace

// The firmware's folder record tells where the plug-in stands, whatever a
// change reported. A folder found only in its UTF-8 form is current under
// that form.
int HDD_TAP_IsCurrentDir(const char* folder) {
  if (folder == nullptr || folder[0] == 0) return 0;
  char current[kPathSize];
  current[0] = 0;
  if (HDD_TAP_GetCurrentDir(current) != 0 || current[0] == 0) return 0;
  if (SameFolder(current, folder)) return 1;
  if (UTF8Length(folder) >= kUtf8Size) return 0;
  char utf8[kUtf8Size];
  StrToUTF8(folder, utf8);
  return SameFolder(current, utf8);
}

int HDD_TAP_EnterDir(const char* folder) {
  if (!HDD_TAP_PushDir()) return 0;
  if (HDD_ChangeDir(folder) && HDD_TAP_IsCurrentDir(folder)) return 1;
  HDD_TAP_PopDir();
  return 0;
}
