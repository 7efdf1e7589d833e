// Saving of finished timeshift buffers: every recording the firmware left in
// "/DataFiles/TimeShift" is renamed after the programme watched longest and
// moved with its companions into "/DataFiles/TimeShift/Save".
#include "app/saving.h"

#include <string.h>

#include "app/expiry.h"
#include "app/modes.h"
#include "app/name_cleanup.h"
#include "lib/dir_stack.h"
#include "lib/log.h"
#include "lib/names.h"
#include "lib/rec_files.h"

dword dwLastCheckStart = 0;

namespace {

const char kTimeshiftFolder[] = "/DataFiles/TimeShift";
const char kSaveFolder[] = "/DataFiles/TimeShift/Save";

// Programme part of a new name (bracket prefix included) is cut to this.
constexpr size_t kProgrammeNameMax = 80;
// Longest stream name handed on for renaming. Names on the disk hold at most
// 127 characters; the unique form may add "-" and a number, and the
// companions add ".inf" / ".nav", so room is kept for both.
constexpr size_t kStreamNameMax = 127 - 4 - 8;
// Ticks after the start of a series of checks during which a pass that
// found nothing reports the series as still open.
constexpr dword kSeriesTicks = 101;

// Appends src to dst (size bytes) as far as it fits; dst stays terminated.
void AppendBounded(char* dst, size_t size, const char* src) {
  size_t len = strnlen(dst, size - 1);
  StrCopyBounded(dst + len, size - len, src);
}

// Cuts a name to at most max characters, keeping its extension (from the last
// "."), so that the kind of the file does not change.
void CutKeepingExtension(char* name, size_t max) {
  size_t len = strlen(name);
  if (len <= max) return;
  const char* dot = strrchr(name, '.');
  size_t extLen = dot ? strlen(dot) : 0;
  if (extLen >= max) {  // no room for any base: cut plainly
    name[max] = '\0';
    return;
  }
  memmove(name + (max - extLen), name + len - extLen, extLen + 1);
}

// The new name of a buffer: see CheckTimeshiftFolder. The programme watched
// names only a buffer of the period in which it was watched: a buffer left
// from an earlier period (one that had to wait in the timeshift folder)
// already has its name and is treated as if no programme were known.
void BuildNewName(char* newName, size_t size, const char* entryName, byte renameMode,
                  bool ofThisPeriod) {
  newName[0] = '\0';
  KillCtrChar(CurEventStr);
  KillNonWindowsChar(CurEventStr);

  if (CurEventStr[0] == '\0' || renameMode == 0 || !ofThisPeriod) {
    if (StringEndsWithAnyCase(entryName, ".ts")) {
      StrCopyBounded(newName, size, "[Unknown].rec");
      return;
    }
    StrCopyBounded(newName, size, entryName);
    KillCtrChar(newName);
    KillNonWindowsChar(newName);
    CutKeepingExtension(newName, kStreamNameMax);
    return;
  }

  if (renameMode == 2) {
    TYPE_ChInfo chInfo;
    memset(&chInfo, 0, sizeof(chInfo));
    chInfo.chName[0] = '\0';
    TAP_Channel_GetInfo((int)CurSvcType, (int)CurSvcNum, &chInfo);
    char service[sizeof(chInfo.chName)];
    size_t len = strnlen(chInfo.chName, sizeof(chInfo.chName) - 1);
    memcpy(service, chInfo.chName, len);
    service[len] = '\0';
    if (service[0] != '\0') {
      AppendBounded(newName, size, "[");
      AppendBounded(newName, size, service);
      AppendBounded(newName, size, "]");
      KillCtrChar(newName);
      KillNonWindowsChar(newName);
    }
  }
  AppendBounded(newName, size, CurEventStr);
  if (strlen(newName) > kProgrammeNameMax) newName[kProgrammeNameMax] = '\0';
  AppendBounded(newName, size, StringEndsWithAnyCase(entryName, ".mpg") ? ".mpg" : ".rec");
}

// What the firmware is recording stays where it is: the live timeshift
// buffer, and any file a recording slot records (the slots name no folder,
// so the name decides). Every slot is asked, whatever is being played.
bool IsRecordedNow(const char* name) {
  return HDD_isFileRecorded(name) >= 3;
}

// The folders of the current folder, from their entries, noted before any
// set is touched: a folder named like a companion is a folder even when the
// firmware refuses to enter it. The timeshift folder holds a few entries, so
// the extra scan is cheap.
void NoteFolders(void) {
  TYPE_FolderEntry entry;
  memset(&entry, 0, sizeof(entry));
  int count = (int)TAP_Hdd_FindFirst(&entry, NULL);
  for (int visited = 0; visited < count; ++visited) {
    if (visited > 0 && (int)TAP_Hdd_FindNext(&entry) <= 0) break;
    if (!IsFolderEntry(&entry)) continue;
    char name[128];
    size_t len = strnlen(entry.name, sizeof(entry.name) - 1);
    memcpy(name, entry.name, len);
    name[len] = '\0';
    HDD_NoteFolder(name);
  }
}

}  // namespace

int CheckTimeshiftFolder(byte renameMode) {
  if (dwLastCheckStart == 0) dwLastCheckStart = TAP_GetTick();
  int handled = 0;
  RecoverInterrupted();

  // Only inside the timeshift folder itself: a pass that could not save its
  // folder, or stands elsewhere, touches nothing.
  if (!HDD_TAP_EnterDir(kTimeshiftFolder)) {
    TRACE("Chdir to %s failed\r\n", kTimeshiftFolder);
  } else {
    NoteFolders();
    TYPE_FolderEntry entry;
    memset(&entry, 0, sizeof(entry));
    int count = (int)TAP_Hdd_FindFirst(&entry, NULL);
    TRACE("TAP_Hdd_FindFirst: %s, %d\r\n", kTimeshiftFolder, count);
    int scan = count;
    for (int visited = 0; visited < count;) {
      char entryName[128];
      size_t nameLen = strnlen(entry.name, sizeof(entry.name) - 1);
      memcpy(entryName, entry.name, nameLen);
      entryName[nameLen] = '\0';
      TRACE("File Found fn:%d, attr:%d,  %s info: %d\n", scan, (int)entry.attr, entryName,
            (int)entry.info);

      int isTs = StringEndsWithAnyCase(entryName, ".ts");
      if ((isRec(entryName) || isTs) && !IsFolderEntry(&entry) && !IsRecordedNow(entryName)) {
        // HDD_Rename works on a 128-byte buffer; the name built here is at
        // most 84 bytes (programme) or kStreamNameMax (present name).
        char newName[200];
        const bool ofThisPeriod = IsPeriodBuffer(entryName) != 0;
        BuildNewName(newName, 128, entryName, renameMode, ofThisPeriod);
        MakeValidFileName(newName, LegalNoControl);
        // A ".ts" buffer's companions are renamed with it, to the new name's.
        int renamed = HDD_RenameSet(entryName, newName, isTs || isRec(entryName));

        handled = 1;
        TRACE("Rename %s to %s\r\n", entryName, newName);
        // A set that kept its name is moved under it. The period's buffer
        // ages from the end of its recording (the move keeps the stream's
        // folder date, by which expiry finds it again).
        const char* moving = renamed ? newName : entryName;
        if (HDD_Move(moving, kTimeshiftFolder, kSaveFolder) && ofThisPeriod && PeriodEnded) {
          NoteSavedBuffer(entry.dateTime, PeriodEndTick);
        }
        TRACE("Move %s from %s to %s\r\n", moving, kTimeshiftFolder, kSaveFolder);
      }

      ++visited;
      if (visited >= count) break;
      scan = (int)TAP_Hdd_FindNext(&entry);
      if (scan <= 0) break;
    }
    HDD_TAP_PopDir();
  }

  dword elapsed = TAP_DiffTick(dwLastCheckStart, TAP_GetTick());
  if (elapsed < kSeriesTicks && !handled) return 0;
  TRACE("Ending Filehandler mode\r\n");
  dwLastCheckStart = 0;
  return 1;
}
