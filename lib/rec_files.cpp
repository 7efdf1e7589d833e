// Operations on recording sets: a stream file (".rec" or ".mpg") and its
// ".inf" and ".nav" companions are renamed, moved and deleted as one. New
// names are made unique first, so nothing already in place is overwritten
// under a stream file's name.
//
// The move runs the shell's mv. Names reach it from broadcast data, so every
// path in the command stands between double quotes with each character the
// shell still interprets there (double quote, dollar sign, backquote and
// backslash) preceded by a backslash; a name that would not fit 127
// characters or the 2,048-byte command is refused and nothing is moved.
#include "lib/rec_files.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lib/dir_stack.h"
#include "lib/firmware.h"
#include "lib/firmware_dat.h"
#include "lib/names.h"

namespace {

constexpr size_t kNameSize = 128;       // file names and name parts: at most 127 characters
constexpr size_t kCommandSize = 2048;   // the shell command
constexpr size_t kEscapedFolder = 512;  // an escaped folder path
constexpr size_t kEscapedName = 256;    // an escaped name: 127 characters, each maybe doubled
// MakeUniqueFileName may add a number to a name of 127 characters; the
// result is checked against 127 afterwards.
constexpr size_t kUniqueSize = 2 * kNameSize;
constexpr size_t kRecInfoSize = 152;  // what TAP_Hdd_GetRecInfo may fill
const char kMountPoint[] = "/mnt/hd";
const char kDeleteTemp[] = "FilerDelete.tmp";

const char* const kCompanions[] = {".inf", ".nav"};

dword MaxRecStreams = 0;

// A usable file name: not empty and at most 127 characters. (The unique-name
// search leaves an empty text when no candidate fits.)
bool FitsName(const char* name) {
  return name && name[0] && strlen(name) < kNameSize;
}

// Stream file names: the operations on them take the companions along.
bool IsStreamName(const char* name) {
  return StringEndsWith(name, ".rec") || StringEndsWith(name, ".mpg");
}

// The companion of name with the companion extension ext (".inf" or ".nav")
// into out (128 bytes). Returns 1 when name could be split and the companion
// name fits 127 characters, else 0 (out then holds an empty text).
int CompanionName(const char* name, const char* ext, char* out) {
  out[0] = 0;
  if (!FitsName(name)) return 0;
  char base[kNameSize];
  char extension[kNameSize];
  int number = 0, isRecording = 0, isDeleted = 0;
  SeparateFileNameComponents(name, base, extension, &number, &isRecording, &isDeleted);
  // The companion extension goes between the stream name and a deletion
  // suffix: Film-2.rec.del gives Film-2.rec.inf.del.
  const char* del = isDeleted ? ".del" : "";
  int length = number == 0 ? snprintf(nullptr, 0, "%s%s%s%s", base, extension, ext, del)
                           : snprintf(nullptr, 0, "%s-%d%s%s%s", base, number, extension, ext, del);
  if (length < 0 || size_t(length) >= kNameSize) return 0;
  if (number == 0) {
    TAP_SPrint(out, "%s%s%s%s", base, extension, ext, del);
  } else {
    TAP_SPrint(out, "%s-%d%s%s%s", base, number, extension, ext, del);
  }
  return 1;
}

// Recording flag of a name as SeparateFileNameComponents gives it.
int RecordingFlag(const char* name) {
  char base[kNameSize];
  char extension[kNameSize];
  int number = 0, isRecording = 0, isDeleted = 0;
  SeparateFileNameComponents(name, base, extension, &number, &isRecording, &isDeleted);
  return isRecording;
}

// Copies text into out (cap bytes) with a backslash before each character
// that keeps a meaning for the shell between double quotes. Returns 1 when the
// escaped text fits, 0 when not.
int EscapeForShell(const char* text, char* out, size_t cap) {
  size_t n = 0;
  for (const char* p = text; *p; ++p) {
    bool special = *p == '"' || *p == '$' || *p == '`' || *p == '\\';
    if (n + (special ? 2 : 1) >= cap) {
      out[0] = 0;
      return 0;
    }
    if (special) out[n++] = '\\';
    out[n++] = *p;
  }
  out[n] = 0;
  return 1;
}

// One half of the move command: the path of name in folder below the mount
// point, escaped. Lead and trail put a "/" between mount point, folder and
// name where the folder has none.
struct PathHalf {
  char folder[kEscapedFolder];
  char name[kEscapedName];
  const char* lead;
  const char* trail;
};

int PreparePath(PathHalf* half, const char* folder, const char* name) {
  size_t length = strlen(folder);
  half->lead = folder[0] == '/' ? "" : "/";
  half->trail = length > 0 && folder[length - 1] == '/' ? "" : "/";
  return EscapeForShell(folder, half->folder, sizeof half->folder) &&
         EscapeForShell(name, half->name, sizeof half->name);
}

// The move command for name in fromFolder to target in toFolder, built in two
// halves into command (kCommandSize bytes). Returns 1 when it fits, else 0
// (command then holds an empty text).
int BuildMoveCommand(char* command, const char* name, const char* fromFolder, const char* target,
                     const char* toFolder) {
  command[0] = 0;
  if (!FitsName(name) || !FitsName(target)) return 0;
  PathHalf source;
  PathHalf dest;
  if (!PreparePath(&source, fromFolder, name) || !PreparePath(&dest, toFolder, target)) return 0;

  int first = snprintf(nullptr, 0, "mv \"%s%s%s%s%s\" ", kMountPoint, source.lead, source.folder,
                       source.trail, source.name);
  int second = snprintf(nullptr, 0, "\"%s%s%s%s%s\"", kMountPoint, dest.lead, dest.folder,
                        dest.trail, dest.name);
  if (first < 0 || second < 0 || size_t(first) + size_t(second) >= kCommandSize) return 0;
  TAP_SPrint(command, "mv \"%s%s%s%s%s\" ", kMountPoint, source.lead, source.folder, source.trail,
             source.name);
  TAP_SPrint(command + first, "\"%s%s%s%s%s\"", kMountPoint, dest.lead, dest.folder, dest.trail,
             dest.name);
  return 1;
}

// A candidate for a set's new name is taken when the stream name or, for a
// recording, its ".inf" or ".nav" companion exists in the current folder (as
// a file or a folder): the set lands on free names only. A companion name
// that would not fit is left to the callers' own check, which refuses it.
int SetTaken(const char* candidate) {
  if (TAP_Hdd_Exist(candidate)) return 1;
  if (!RecordingFlag(candidate)) return 0;
  char companion[kNameSize];
  for (const char* ext : kCompanions) {
    if (CompanionName(candidate, ext, companion) && TAP_Hdd_Exist(companion)) return 1;
  }
  return 0;
}

// The commands that move name to target: the stream first, then each
// companion whose bit is set in companions (1 ".inf", 2 ".nav"). With run 0
// only checks that all of them can be built. When run, the companions follow
// only when the stream has left the current folder (the source folder): a
// stream that stayed keeps its companions with it. Returns 1 when every
// command could be built (and, when run, the stream moved).
int MoveSet(const char* name, const char* fromFolder, const char* target, const char* toFolder,
            unsigned companions, bool run) {
  char command[kCommandSize];
  if (!BuildMoveCommand(command, name, fromFolder, target, toFolder)) return 0;
  if (run) {
    system(command);
    if (TAP_Hdd_Exist(name)) return 0;
  }

  unsigned bit = 1;
  for (const char* ext : kCompanions) {
    bool wanted = (companions & bit) != 0;
    bit <<= 1;
    if (!wanted) continue;
    char from[kNameSize];
    char to[kNameSize];
    if (!CompanionName(name, ext, from) || !CompanionName(target, ext, to)) return 0;
    if (!BuildMoveCommand(command, from, fromFolder, to, toFolder)) return 0;
    if (run) system(command);
  }
  return 1;
}

// Renames name to "FilerDelete.tmp" and deletes that, but only a file that
// this rename produced: a "FilerDelete.tmp" already in the folder is not the
// plug-in's and stays, and so does name. A delete that fails gives the file
// its own name back. Returns 1 when name is gone.
int DeleteUnderTempName(const char* name) {
  if (TAP_Hdd_Exist(kDeleteTemp)) return 0;
  TAP_Hdd_Rename(name, kDeleteTemp);
  if (TAP_Hdd_Exist(name) || !TAP_Hdd_Exist(kDeleteTemp)) return 0;
  TAP_Hdd_Delete(kDeleteTemp);
  if (!TAP_Hdd_Exist(kDeleteTemp)) return 1;
  TAP_Hdd_Rename(kDeleteTemp, name);
  return 0;
}

// A file of the current folder that an operation on sets may touch: it
// exists and is not a folder.
bool IsPlainFile(const char* name) {
  return TAP_Hdd_Exist(name) != 0 && !HDD_IsFolder(name);
}

// The move of fileName, run from inside fromFolder: see HDD_Move.
int MoveFromHere(const char* fileName, const char* fromFolder, const char* toFolder) {
  if (!IsPlainFile(fileName)) return 0;
  const bool withCompanions = RecordingFlag(fileName) != 0;
  // Companions that are folders are not part of the set and stay.
  unsigned companions = 0;
  if (withCompanions) {
    unsigned bit = 1;
    for (const char* ext : kCompanions) {
      char companion[kNameSize];
      if (!CompanionName(fileName, ext, companion)) return 0;
      if (!HDD_IsFolder(companion)) companions |= bit;
      bit <<= 1;
    }
  }

  // The name the set gets there: free for the whole set in the target
  // folder, which must be entered for the names to be tested at all.
  char target[kUniqueSize];
  if (!HDD_TAP_EnterDir(toFolder)) return 0;
  StrCopyBounded(target, sizeof target, fileName);
  MakeUniqueName(target, SetTaken);
  HDD_TAP_PopDir();
  if (!HDD_TAP_IsCurrentDir(fromFolder)) return 0;

  // All commands of the set are checked before the first one runs, so a
  // name that does not fit moves nothing.
  if (!MoveSet(fileName, fromFolder, target, toFolder, companions, false)) return 0;
  return MoveSet(fileName, fromFolder, target, toFolder, companions, true);
}

// A name from a firmware record (at most capacity bytes, maybe without
// terminator) into out (128 bytes); a companion ".inf" of a stream file stands
// for the stream file.
void RecordName(const char* name, size_t capacity, char* out) {
  size_t length = strnlen(name, capacity < kNameSize - 1 ? capacity : kNameSize - 1);
  memcpy(out, name, length);
  out[length] = 0;
  if (StringEndsWith(out, ".rec.inf") || StringEndsWith(out, ".mpg.inf")) out[length - 4] = 0;
}

}  // namespace

int HDD_IsFolder(const char* name) {
  if (!FitsName(name) || TAP_Hdd_Exist(name) == 0) return 0;
  // A folder is what can be entered. When the plug-in cannot tell, or
  // cannot get back to where it stood, the name counts as a folder, so that
  // nothing is done with it.
  char here[200];
  here[0] = 0;
  if (HDD_TAP_GetCurrentDir(here) != 0 || here[0] == 0) return 1;
  if (!HDD_TAP_PushDir()) return 1;
  int entered = HDD_ChangeDir(name);
  int back = HDD_TAP_PopDir();
  if (!back || !HDD_TAP_IsCurrentDir(here)) return 1;
  return entered ? 1 : 0;
}

int HDD_RenameFile(const char* oldName, const char* newName) {
  if (!FitsName(oldName) || !FitsName(newName)) return 0;
  if (!IsPlainFile(oldName) || TAP_Hdd_Exist(newName)) return 0;
  TAP_Hdd_Rename(oldName, newName);
  return TAP_Hdd_Exist(oldName) == 0 && TAP_Hdd_Exist(newName) != 0 ? 1 : 0;
}

void HDD_Rename(const char* oldName, char* newName) {
  if (!FitsName(oldName) || !FitsName(newName)) return;
  if (!IsPlainFile(oldName)) return;

  char target[kUniqueSize];
  StrCopyBounded(target, sizeof target, newName);
  MakeUniqueName(target, SetTaken);
  if (!FitsName(target)) return;

  // Every name of the set must fit before anything is renamed.
  bool withCompanions = RecordingFlag(oldName) && IsStreamName(oldName);
  char oldInf[kNameSize], newInf[kNameSize], oldNav[kNameSize], newNav[kNameSize];
  if (withCompanions &&
      (!CompanionName(oldName, ".inf", oldInf) || !CompanionName(target, ".inf", newInf) ||
       !CompanionName(oldName, ".nav", oldNav) || !CompanionName(target, ".nav", newNav))) {
    return;
  }

  StrCopyBounded(newName, kNameSize, target);
  // The companions follow only a stream that took its new name; a companion
  // that is a folder, or is missing, stays.
  if (!HDD_RenameFile(oldName, newName) || !withCompanions) return;
  HDD_RenameFile(oldInf, newInf);
  HDD_RenameFile(oldNav, newNav);
}

int HDD_Move(const char* fileName, const char* fromFolder, const char* toFolder) {
  if (!fileName || !fromFolder || !toFolder) return 0;
  // A file name names a file inside fromFolder: a "/" in it would reach
  // other folders, and "." and ".." are folders themselves.
  if (!FitsName(fileName) || strchr(fileName, '/')) return 0;
  if (strcmp(fileName, ".") == 0 || strcmp(fileName, "..") == 0) return 0;

  if (!HDD_TAP_EnterDir(fromFolder)) return 0;
  int result = MoveFromHere(fileName, fromFolder, toFolder);
  HDD_TAP_PopDir();
  return result;
}

int HDD_Delete(const char* fileName) {
  if (!FitsName(fileName)) return 0;
  if (!IsPlainFile(fileName)) return 0;

  int inUse = HDD_isFileInUse(fileName);
  if (inUse == 1 || inUse == 2) {
    TAP_Hdd_StopTs();
    TAP_Hdd_StopMp3();
  } else if (inUse >= 3) {
    TAP_Hdd_StopRecord(byte(inUse - 3));
  }

  // The companions go only after the stream went.
  if (!DeleteUnderTempName(fileName)) return 0;
  if (!RecordingFlag(fileName) || !IsStreamName(fileName)) return 1;

  char companion[kNameSize];
  for (const char* ext : kCompanions) {
    if (CompanionName(fileName, ext, companion) && IsPlainFile(companion)) {
      DeleteUnderTempName(companion);
    }
  }
  return 1;
}

int HDD_isFileInUse(const char* fileName) {
  if (!fileName) return 0;
  char name[kNameSize];

  TYPE_PlayInfo play;
  memset(&play, 0, sizeof play);
  TAP_Hdd_GetPlayInfo(&play);
  if (play.playMode != 0 && play.totalBlock != 0) {
    const TYPE_FileRecord* file = static_cast<const TYPE_FileRecord*>(PtrFromWord(play.fileWord));
    if (file) {
      RecordName(file->name, sizeof file->name, name);
      if (strcmp(name, fileName) == 0) return play.playMode == 5 ? 2 : 1;
    }
  }

  dword slots = HDD_NumberOfRECSlots();
  for (dword slot = 0; slot < slots && slot < 256; ++slot) {
    union {
      TYPE_RecInfo info;
      byte raw[kRecInfoSize];
    } rec;
    memset(&rec, 0, sizeof rec);
    TAP_Hdd_GetRecInfo(byte(slot), &rec.info);
    if (rec.info.fileName[0] == 0) continue;
    RecordName(rec.info.fileName, sizeof rec.info.fileName, name);
    if (strcmp(name, fileName) == 0) return int(3 + slot);
  }
  return 0;
}

dword HDD_NumberOfRECSlots(void) {
  if (MaxRecStreams != 0) return MaxRecStreams;

  byte* image = nullptr;
  byte* models = nullptr;
  if (LoadFirmwareDat(&image, &models, nullptr) == 1) {
    dword length = FirmwareDatLoadedLength();
    if (FirmwareDatModelCount(image, length) != 0) {
      MaxRecStreams = FirmwareDatSlotsOfModel(image, length, GetSysID());
    }
  }
  if (MaxRecStreams == 0) MaxRecStreams = 2;
  return MaxRecStreams;
}
