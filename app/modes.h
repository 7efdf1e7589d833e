// The mode machine that follows the timeshift buffer.
#pragma once

#include "platform/tap.h"

enum { PM_Startup = 0, PM_Idle = 1, PM_Timeshifting = 2, PM_Filehandler = 3, PM_FileChecker = 4 };

extern dword ProgMode;
extern dword NextMessageStop;
extern dword LastTick;
extern char MyEventStr[512];
extern dword MyEventStartTick;
extern dword MyEventDuration;
extern char CurEventStr[512];  // programme key of the longest run of the period
extern dword CurEventDuration;
extern dword CurSvcType;
extern dword CurSvcNum;

// The end of the last timeshift period, as the mode machine saw the slot go
// idle: PeriodEnded is 1 from then until the next period begins.
extern dword PeriodEnded;
extern dword PeriodEndTick;

// timeshiftSlot: the slot that records the timeshift buffer.
int CheckRecInfo(byte lanIndex, word keepHours, byte renameMode, dword timeshiftSlot);
// 1 when name is a buffer of the current (or last) timeshift period, as the
// timeshift slot's record named it; also 1 when the record named no file.
int IsPeriodBuffer(const char* name);
