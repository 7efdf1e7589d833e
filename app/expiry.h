// Expiry of saved recordings, file age and the packed date-time.
#pragma once

#include "platform/tap.h"

int CleanupSaveFolder(word keepHours);
// One look at the clock beside the tick counter: a clock that moved further
// than the ticks since the last look jumped ahead, and the recordings dated
// before the jump do not age by it.
void WatchClock(void);
// A buffer saved now whose recording ended at endTick, found again in Save by
// its stream's folder date: it ages by the ticks since its end.
void NoteSavedBuffer(dword dateTime, dword endTick);
dword GetFileAgeHours(dword now, const TYPE_FolderEntry* entry);
dword TMS_GetStarttimeFromFile(const char* name);
dword getDword(const byte* p, int bigEndian);
dword MjdHourMinToPackedTime(dword mjd, dword hour, dword minute);
dword GetCurrentTime(void);
dword PackedTimeToMin(dword packed);
int isRec(const char* name);
// Finishes or undoes a set operation that a power failure cut short (and
// traces what it did). Every pass that renames, moves or deletes calls it
// first.
void RecoverInterrupted(void);
// Folders are never recordings, whatever their name.
int IsFolderEntry(const TYPE_FolderEntry* entry);
