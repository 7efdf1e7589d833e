// Expiry of saved recordings: every recording in the Save folder whose age in
// whole hours has reached the keep limit is deleted with its companions. The
// age comes from the start time in the recording's ".inf" file, or from the
// folder entry's date when that file gives none.
#include "app/expiry.h"

#include <string.h>

#include "app/name_cleanup.h"
#include "lib/dir_stack.h"
#include "lib/log.h"
#include "lib/names.h"
#include "lib/rec_files.h"

namespace {

const char kSaveFolder[] = "/DataFiles/TimeShift/Save";

// Work buffer of isRec: a lower-case copy of the name's tail.
char isRecBuffer[128];

// Size of the header of an information file that is read.
constexpr dword kInfHeaderSize = 28;
// Offset of the start time (packed date-time, little-endian) in that header.
constexpr dword kInfStartOffset = 8;

// Copies a folder entry's name, which the firmware may leave unterminated in
// its 128-byte field, into a terminated buffer of the same size.
void CopyEntryName(char* out, const TYPE_FolderEntry* entry) {
  size_t len = strnlen(entry->name, sizeof(entry->name) - 1);
  memcpy(out, entry->name, len);
  out[len] = '\0';
}

// Deletes an expired recording with its companions, unless a slot is
// recording a file of that name (the slots are asked on their own, so a
// playback of the same name hides nothing): the firmware's slots name no
// folder, so the set stays and is looked at again on the next pass. A
// playback of it is stopped by the deletion itself.
void ExpireRecording(const char* name) {
  if (HDD_isFileRecorded(name) >= 3) {
    TRACE("%s is being recorded, kept\r\n", name);
    return;
  }
  if (HDD_Delete(name)) {
    TRACE("%s deleted\r\n", name);
  } else {
    TRACE("%s not deleted\r\n", name);
  }
}

}  // namespace

int IsFolderEntry(const TYPE_FolderEntry* entry) {
  return entry->attr == ATTR_FOLDER;
}

dword getDword(const byte* p, int bigEndian) {
  if (bigEndian) {
    return ((dword)p[0] << 24) | ((dword)p[1] << 16) | ((dword)p[2] << 8) | (dword)p[3];
  }
  return (dword)p[0] | ((dword)p[1] << 8) | ((dword)p[2] << 16) | ((dword)p[3] << 24);
}

dword MjdHourMinToPackedTime(dword mjd, dword hour, dword minute) {
  return ((mjd & 0xFFFF) << 16) | ((hour & 0xFF) << 8) | (minute & 0xFF);
}

dword GetCurrentTime(void) {
  word mjd = 0;
  byte hour = 0, minute = 0, second = 0;
  TAP_GetTime(&mjd, &hour, &minute, &second);
  return MjdHourMinToPackedTime(mjd, hour, minute);
}

dword PackedTimeToMin(dword packed) {
  return 1440 * (packed >> 16) + 60 * ((packed >> 8) & 0xFF) + (packed & 0xFF);
}

int isRec(const char* name) {
  if (name == NULL) return 0;
  size_t len = strlen(name);
  if (len < 4) return 0;
  // Only the last four characters decide, whatever the name's length: they
  // alone are copied and lowered, not the whole name of every entry.
  memcpy(isRecBuffer, name + len - 4, 5);
  strlwr(isRecBuffer);
  return memcmp(isRecBuffer, ".rec", 4) == 0 || memcmp(isRecBuffer, ".mpg", 4) == 0;
}

dword TMS_GetStarttimeFromFile(const char* name) {
  byte header[kInfHeaderSize];
  TAP_MemSet(header, 0, sizeof(header));
  if (name == NULL) return 0;

  char path[128];
  size_t len = strlen(name);
  if (StringEndsWith(name, ".rec.inf")) {
    if (len > sizeof(path) - 1) return 0;
    memcpy(path, name, len + 1);
  } else {
    if (len + 4 > sizeof(path) - 1) return 0;  // the path would exceed 127 characters
    TAP_SPrint(path, "%s.inf", name);
  }

  TYPE_File* file = TAP_Hdd_Fopen(path);
  if (file == NULL) return 0;
  TAP_Hdd_Fread(header, sizeof(header), 1, file);
  TAP_Hdd_Fclose(file);
  return getDword(header + kInfStartOffset, 0);
}

dword GetFileAgeHours(dword now, const TYPE_FolderEntry* entry) {
  char name[128];
  CopyEntryName(name, entry);

  dword start = TMS_GetStarttimeFromFile(name);
  if (start == 0) start = entry->dateTime;

  word year = 0;
  byte month = 0, day = 0, weekDay = 0;
  TAP_ExtractMjd((word)(start >> 16), &year, &month, &day, &weekDay);
  dword hour = (start >> 8) & 0xFF;
  bool plausible =
      (word)(year - 2005) < 25 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 24;
  if (!plausible) return 0;

  dword nowMin = PackedTimeToMin(now);
  dword startMin = PackedTimeToMin(start);
  // A start later than now (the clock went back, or is not set yet) cannot
  // give an age: the recording counts as new and is kept.
  if (startMin > nowMin) return 0;
  return (nowMin - startMin) / 60;
}

void RecoverInterrupted(void) {
  char name[128];
  name[0] = '\0';
  switch (HDD_RecoverSetOperation(name)) {
    case RECOVER_DONE:
      TRACE("Interrupted operation on %s finished\r\n", name);
      break;
    case RECOVER_UNDONE:
      TRACE("Interrupted operation on %s undone\r\n", name);
      break;
    case RECOVER_LEFT:
      TRACE("Interrupted operation on %s left for the next pass\r\n", name);
      break;
    case RECOVER_UNREADABLE:
      TRACE("Brantlow.intent cannot be read\r\n");
      break;
    default:
      break;
  }
}

int CleanupSaveFolder(word keepHours) {
  RecoverInterrupted();
  // Only inside the Save folder itself: a pass that could not save its
  // folder, or stands elsewhere, deletes nothing.
  if (!HDD_TAP_EnterDir(kSaveFolder)) {
    TRACE("Cleanup HDD_ChangeDir failed\r\n");
    return 1;
  }

  TYPE_FolderEntry entry;
  memset(&entry, 0, sizeof(entry));
  int count = (int)TAP_Hdd_FindFirst(&entry, NULL);
  TRACE("Cleanup TAP_Hdd_FindFirst: %s, %d\r\n", kSaveFolder, count);
  if (count <= 0) {
    HDD_TAP_PopDir();
    return 1;
  }

  int scan = 1;
  for (int visited = 0; visited < count;) {
    char name[128];
    CopyEntryName(name, &entry);
    if (IsFolderEntry(&entry)) HDD_NoteFolder(name);
    if (isRec(name) && !IsFolderEntry(&entry)) {
      dword age = GetFileAgeHours(GetCurrentTime(), &entry);
      TRACE("File Found fn:%d, attr:%d,  %s info: %d, Age: %d (%d)\n", scan, (int)entry.attr, name,
            (int)entry.info, (int)age, (int)keepHours);
      if (age >= keepHours) ExpireRecording(name);
    }
    ++visited;
    if (visited >= count) break;
    scan = (int)TAP_Hdd_FindNext(&entry);
    if (scan <= 0) break;
  }

  HDD_TAP_PopDir();
  return 1;
}
