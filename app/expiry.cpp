// Expiry of saved recordings: every recording in the Save folder whose age in
// whole hours has reached the keep limit is deleted with its companions.
//
// A recording's age is the youngest of the ages its dates give: the start
// time in its ".inf" file, the folder entry's date (the stream's last write,
// that is where its recording ended), and, for a buffer this plug-in saw end,
// the ticks counted since that end. Wall-clock ages leave out every forward
// jump of the clock that came after the date: the plug-in compares the clock
// with the tick counter at each look (start-up and every expiry pass), and a
// clock that moved more than the ticks did jumped. A clock set back gives
// dates in the future, and they count as new.
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

// Plausible dates run from 2005-01-01 (MJD 53371) to the last day the packed
// date-time can hold, 2038-04-22 (MJD 65535, the largest 16-bit day number).
constexpr dword kFirstPlausibleMjd = 53371;
constexpr dword kLastPlausibleHour = 24;

constexpr dword kTicksPerMinute = 6000;
constexpr dword kTicksPerHour = 360000;
// The clock may drift from the ticks by this much between two looks before
// it counts as a jump (looks are whole minutes apart at best).
constexpr dword kJumpToleranceMinutes = 5;

// A forward jump of the clock: dates (minute counts) up to before were
// written before it, and their wall-clock ages are too high by minutes.
struct ClockJump {
  dword before;
  dword minutes;
};
constexpr int kJumps = 8;
ClockJump Jumps[kJumps];
int JumpCount = 0;

// The last look at the clock.
bool Looked = false;
dword LookMinutes = 0;
dword LookTick = 0;

// Buffers saved in this run with the tick at which their recording ended,
// found again by the stream's folder date (which the move keeps).
struct SavedEnd {
  dword dateTime;
  dword endTick;
};
constexpr int kSavedEnds = 32;
SavedEnd SavedEnds[kSavedEnds];
int SavedEndCount = 0;

void AddJump(dword before, dword minutes) {
  if (JumpCount == kJumps) {
    // Two jumps become one that covers both: dates before the earlier one
    // lose both jumps as before, those between lose the earlier one too, and
    // so are kept longer, never shorter.
    Jumps[1].minutes += Jumps[0].minutes;
    if (Jumps[0].before > Jumps[1].before) Jumps[1].before = Jumps[0].before;
    memmove(&Jumps[0], &Jumps[1], sizeof(Jumps[0]) * (kJumps - 1));
    --JumpCount;
  }
  Jumps[JumpCount].before = before;
  Jumps[JumpCount].minutes = minutes;
  ++JumpCount;
}

bool PlausibleDate(dword packed) {
  return (packed >> 16) >= kFirstPlausibleMjd && ((packed >> 8) & 0xFF) <= kLastPlausibleHour;
}

// Whole hours from a date to now by the wall clock, the jumps after the date
// left out; a date after now gives 0.
dword WallAgeHours(dword nowMin, dword date) {
  dword dateMin = PackedTimeToMin(date);
  if (dateMin > nowMin) return 0;
  dword minutes = nowMin - dateMin;
  for (int i = 0; i < JumpCount; ++i) {
    if (dateMin <= Jumps[i].before)
      minutes = minutes > Jumps[i].minutes ? minutes - Jumps[i].minutes : 0;
  }
  return minutes / 60;
}

SavedEnd* FindSavedEnd(dword dateTime) {
  for (int i = 0; i < SavedEndCount; ++i) {
    if (SavedEnds[i].dateTime == dateTime) return &SavedEnds[i];
  }
  return NULL;
}

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

void WatchClock(void) {
  dword nowMin = PackedTimeToMin(GetCurrentTime());
  dword tick = TAP_GetTick();
  if (Looked) {
    dword expected = LookMinutes + TAP_DiffTick(LookTick, tick) / kTicksPerMinute;
    if (nowMin > expected + kJumpToleranceMinutes) {
      AddJump(expected, nowMin - expected);
      TRACE("Clock jumped %u minutes ahead, older recordings age by the ticks\r\n",
            nowMin - expected);
    } else if (nowMin + kJumpToleranceMinutes < expected) {
      TRACE("Clock set back %u minutes\r\n", expected - nowMin);
    }
  }
  Looked = true;
  LookMinutes = nowMin;
  LookTick = tick;
}

void NoteSavedBuffer(dword dateTime, dword endTick) {
  SavedEnd* slot = FindSavedEnd(dateTime);
  if (slot == NULL) {
    if (SavedEndCount < kSavedEnds) {
      slot = &SavedEnds[SavedEndCount++];
    } else {
      // Full: the end longest ago gives way; its set ages by its dates.
      dword now = TAP_GetTick();
      slot = &SavedEnds[0];
      for (int i = 1; i < kSavedEnds; ++i) {
        if (TAP_DiffTick(SavedEnds[i].endTick, now) > TAP_DiffTick(slot->endTick, now)) {
          slot = &SavedEnds[i];
        }
      }
    }
  }
  slot->dateTime = dateTime;
  slot->endTick = endTick;
}

dword GetFileAgeHours(dword now, const TYPE_FolderEntry* entry) {
  char name[128];
  CopyEntryName(name, entry);

  // An information file whose start cannot be trusted makes the whole age
  // untrusted: the recording is kept.
  dword start = TMS_GetStarttimeFromFile(name);
  if (start != 0 && !PlausibleDate(start)) return 0;

  dword nowMin = PackedTimeToMin(now);
  bool dated = false;
  dword age = 0xFFFFFFFFu;
  if (start != 0) {
    age = WallAgeHours(nowMin, start);
    dated = true;
  }
  if (PlausibleDate(entry->dateTime)) {
    dword byEntry = WallAgeHours(nowMin, entry->dateTime);
    if (byEntry < age) age = byEntry;
    dated = true;
  }
  if (const SavedEnd* end = FindSavedEnd(entry->dateTime)) {
    dword byTicks = TAP_DiffTick(end->endTick, TAP_GetTick()) / kTicksPerHour;
    if (byTicks < age) age = byTicks;
    dated = true;
  }
  return dated ? age : 0;
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
    case RECOVER_GIVEN_UP:
      TRACE("Interrupted operation on %s given up, its files stay where they are\r\n", name);
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
  WatchClock();
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
