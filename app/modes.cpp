// The mode machine: one step per idle event. Startup switches the firmware's
// timeshift settings on and checks the folders; Idle waits for the timeshift
// slot to record; Timeshifting samples the programme watched; Filehandler
// saves the closed buffer; FileChecker expires old saved recordings.
#include "app/modes.h"

#include <string.h>

#include "app/expiry.h"
#include "app/main.h"
#include "app/saving.h"
#include "lib/dir_stack.h"
#include "lib/log.h"
#include "lib/message_win.h"
#include "lib/names.h"
#include "lib/rec_files.h"

dword ProgMode = PM_Startup;
dword NextMessageStop = 0;
dword LastTick = 0;
char MyEventStr[512];
dword MyEventStartTick = 0;
dword MyEventDuration = 0;
char CurEventStr[512];
dword CurEventDuration = 0;
dword CurSvcType = 0;
dword CurSvcNum = 0;
dword PeriodEnded = 0;
dword PeriodEndTick = 0;

namespace {

// Error texts [language][row]: 0 German, 1 English. ISO-8859-1.
const char* const lanItems[2][6] = {
    {
        "Brantlow - Fehler",
        "'Timeshiftpuffer speichern' ist ausgeschaltet",
        "Bitte zuerst im TMS Men\xFC einschalten",
        "Ordner '/DataFiles/TimeShift' nicht gefunden",
        "Ordner '/DataFiles/TimeShift/Save' kann nicht erzeugt werden",
        "'Timeshift' ist ausgeschaltet",
    },
    {
        "Brantlow - Error",
        "'Time Shift Storage' is disabled",
        "Please enable in TMS menu before using this TAP",
        "Folder '/DataFiles/TimeShift' not found",
        "Folder '/DataFiles/TimeShift/Save' cannot be created",
        "'Time Shifting' is disabled",
    },
};

enum { ERR_TITLE = 0, ERR_NO_TIMESHIFT_FOLDER = 3, ERR_NO_SAVE_FOLDER = 4 };

// Record of the timeshift slot; only its kind (byte 0) is read.
TYPE_RecInfo tMyRecInfo;

constexpr dword kSampleTicks = 1001;
constexpr dword kMessageHoldTicks = 800;

// The files the timeshift slot's record named during the current period: the
// period's buffers. More than one when the firmware began a new file without
// the slot going idle in between; the oldest name gives way when full.
constexpr int kPeriodBuffers = 4;
char PeriodBuffers[kPeriodBuffers][128];
int PeriodBufferCount = 0;

void NotePeriodBuffer(void) {
  if (tMyRecInfo.recType != 2 || tMyRecInfo.fileName[0] == '\0') return;
  char name[128];
  HDD_RecordedName(tMyRecInfo.fileName, sizeof(tMyRecInfo.fileName), name);
  for (int i = 0; i < PeriodBufferCount; ++i) {
    if (strcmp(PeriodBuffers[i], name) == 0) return;
  }
  if (PeriodBufferCount == kPeriodBuffers) {
    memmove(PeriodBuffers[0], PeriodBuffers[1], sizeof(PeriodBuffers[0]) * (kPeriodBuffers - 1));
    --PeriodBufferCount;
  }
  memcpy(PeriodBuffers[PeriodBufferCount++], name, sizeof(name));
}

const char* ErrorText(byte lanIndex, int row) {
  return lanItems[lanIndex ? 1 : 0][row];
}

// Holds the start-up error window on screen and leaves the normal screen
// mode until the hold ends.
void ShowStartupError(byte lanIndex, int row) {
  ShowMessageWin(ErrorText(lanIndex, ERR_TITLE), ErrorText(lanIndex, row), "", 0);
  TAP_ExitNormal();
  NextMessageStop = TAP_GetTick() + kMessageHoldTicks;
  if (NextMessageStop == 0) NextMessageStop = 1;  // 0 would mean "no message held"
}

// Programme key of an event record: name, and "~" and the description when
// there is one. The record's texts are read within their fields, since the
// firmware does not promise a terminator.
void BuildProgrammeKey(char* key, size_t size, const TYPE_TapEvent* event) {
  key[0] = '\0';
  if (event == NULL || event->evtId == 0) return;
  size_t nameLen = strnlen(event->eventName, sizeof(event->eventName));
  size_t descLen = strnlen(event->description, sizeof(event->description));
  size_t pos = 0;
  size_t n = nameLen < size - 1 ? nameLen : size - 1;
  memcpy(key, event->eventName, n);
  pos = n;
  if (descLen > 0 && pos + 1 < size) {
    key[pos++] = '~';
    n = descLen < size - 1 - pos ? descLen : size - 1 - pos;
    memcpy(key + pos, event->description, n);
    pos += n;
  }
  key[pos] = '\0';
}

// One programme sample: extends the current viewing run or starts a new one,
// and keeps the longest run of the timeshift period. Returns 1 when a new
// run began (the first sample of a period, or the viewer switched).
int SampleProgramme(void) {
  dword now = TAP_GetTick();
  if (LastTick != 0 && TAP_DiffTick(LastTick, now) < kSampleTicks) return 0;
  LastTick = now;

  int svcType = 0, svcNum = 0;
  TAP_Channel_GetCurrent(&svcType, &svcNum);
  char key[sizeof(MyEventStr)];
  BuildProgrammeKey(key, sizeof(key), TAP_GetCurrentEvent(svcType, svcNum));

  // The first sample of a period always begins a run: an empty key would
  // otherwise equal the emptied MyEventStr and count from tick 0.
  int newRun = 0;
  if (MyEventDuration == 0 || strcmp(key, MyEventStr) != 0) {
    newRun = 1;
    MyEventStartTick = now;
    MyEventDuration = 1;
    memcpy(MyEventStr, key, sizeof(MyEventStr));
  } else {
    MyEventDuration = TAP_DiffTick(MyEventStartTick, now);
  }

  if (MyEventDuration > CurEventDuration) {
    CurEventDuration = MyEventDuration;
    memcpy(CurEventStr, MyEventStr, sizeof(CurEventStr));
    CurSvcType = (dword)svcType;
    CurSvcNum = (dword)svcNum;
    TRACE("New Current event %s,%u\r\n", CurEventStr, CurEventDuration);
  }
  return newRun;
}

const char kTimeshiftFolder[] = "/DataFiles/TimeShift";

enum { FOLDER_MISSING = 1, FOLDER_NOT_CONFIRMED = 2, FOLDER_NOT_SAVED = 3 };
// The start-up check's last problem that showed no window (0: none), so that
// a check made again and again logs it once.
int StartupProblem = 0;

// Why the timeshift folder could not be entered: missing (its parent
// "/DataFiles" stands confirmed and has no "TimeShift", or the disk's root
// has no "DataFiles"), not confirmed (it may be there), or the current
// folder could not be saved to look.
int TimeshiftFolderMissing(void) {
  if (!HDD_TAP_PushDir()) return FOLDER_NOT_SAVED;
  int why = FOLDER_NOT_CONFIRMED;
  if (HDD_ChangeDir("/DataFiles") && HDD_TAP_IsCurrentDir("/DataFiles")) {
    if (!TAP_Hdd_Exist("TimeShift")) why = FOLDER_MISSING;
  } else if (HDD_ChangeDir("/") && HDD_TAP_IsCurrentDir("/")) {
    if (!TAP_Hdd_Exist("DataFiles")) why = FOLDER_MISSING;
  }
  HDD_TAP_PopDir();
  return why;
}

// Startup: settings, notices, folders and the first folder pass.
void StartupStep(byte lanIndex, byte renameMode) {
  int changes = 0;
  if (TAP_GetSystemVar(SYSVAR_Timeshift) == 0) {
    TAP_SetSystemVar(SYSVAR_Timeshift, 4);
    changes = 1;
  }
  if (TAP_GetSystemVar(SYSVAR_TimeshiftStorage) == 0) {
    TAP_SPrint(puffer, "Updating TimeshiftStorage: \r\n");
    PrintNet(puffer);
    TAP_SetSystemVar(SYSVAR_TimeshiftStorage, 1);
    changes += 2;
  }
  if (changes != 0) TAP_WriteSystemVar();
  if (changes == 3) {
    LogLine("Timeshift and Timeshift storage switched on");
    bShowTimeshiftMessage = 1;
  } else if (changes != 0) {
    LogLine("Timeshift storage switched on");
    bShowTimeshiftStorageMessage = 1;
  }

  // "Save" is looked for and created only inside the timeshift folder
  // itself. The window says the folder is missing only when it is: a folder
  // that could not be entered or confirmed, or a folder that could not be
  // saved first, shows no window; the log says why and the check is made
  // again on the next steps.
  int passed = 1;
  int entered = HDD_TAP_EnterDir(kTimeshiftFolder);
  if (!entered) {
    int why = TimeshiftFolderMissing();
    if (why == FOLDER_MISSING) {
      ShowStartupError(lanIndex, ERR_NO_TIMESHIFT_FOLDER);
    } else {
      if (StartupProblem != why) {
        LogLine(why == FOLDER_NOT_SAVED
                    ? "Current folder cannot be saved, checking the folders later"
                    : "Folder /DataFiles/TimeShift not confirmed, checking later");
      }
      StartupProblem = why;
      return;
    }
  } else {
    if (TAP_Hdd_Exist("Save")) {
      TRACE("Folder Save found\r\n");
    } else {
      TAP_Hdd_Create("Save", ATTR_FOLDER);
      if (TAP_Hdd_Exist("Save")) {
        TRACE("Folder Save not found -> created\r\n");
      } else {
        ShowStartupError(lanIndex, ERR_NO_SAVE_FOLDER);
        passed = 0;
      }
    }
    HDD_TAP_PopDir();
  }

  if (passed) {
    StartupProblem = 0;
    WatchClock();  // the clock's first look: later jumps are measured from here
    ProgMode = PM_Idle;
    TRACE("Checking TS folder on startup\r\n");
    CheckTimeshiftFolder(renameMode);
  }
}

}  // namespace

int IsPeriodBuffer(const char* name) {
  if (PeriodBufferCount == 0) return 1;
  for (int i = 0; i < PeriodBufferCount; ++i) {
    if (strcmp(PeriodBuffers[i], name) == 0) return 1;
  }
  return 0;
}

int CheckRecInfo(byte lanIndex, word keepHours, byte renameMode, dword timeshiftSlot) {
  if (NextMessageStop != 0) {
    // Signed difference: a hold that runs over the tick counter's wrap
    // still lasts its 800 ticks.
    if ((int32_t)(TAP_GetTick() - NextMessageStop) > 0) {
      EndMessageWin();
      NextMessageStop = 0;
      TAP_EnterNormal();
      return 1;
    }
    return 0;
  }

  if (keepHours == 0) return 1;

  TAP_Hdd_GetRecInfo(byte(timeshiftSlot), &tMyRecInfo);

  switch (ProgMode) {
    case PM_Startup:
      StartupStep(lanIndex, renameMode);
      return 0;

    case PM_Idle:
      if (tMyRecInfo.recType == 2) {
        MyEventStr[0] = '\0';
        CurEventStr[0] = '\0';
        MyEventDuration = 0;
        CurEventDuration = 0;
        MyEventStartTick = 0;
        PeriodBufferCount = 0;
        PeriodEnded = 0;
        NotePeriodBuffer();
        ProgMode = PM_Timeshifting;
        TRACE("Switching to Timeshifting Mode \r\n");
      }
      return 0;

    case PM_Timeshifting:
      if (renameMode != 0 && SampleProgramme()) {
        // The buffer's name is looked at again whenever a new viewing run
        // begins (a zap, where a receiver may begin a new file without the
        // slot going idle): such a file is a buffer of this period too.
        // (Without samples no programme names a buffer.)
        NotePeriodBuffer();
      }
      if (tMyRecInfo.recType != 0) return 0;
      // The buffer's recording ended now: a saved buffer is kept at least
      // the keep time from here.
      PeriodEnded = 1;
      PeriodEndTick = TAP_GetTick();
      ProgMode = PM_Filehandler;
      TRACE("Switching to Filehandler Mode \r\n");
      [[fallthrough]];

    case PM_Filehandler:
      // A pass that reports 0 found nothing yet: it runs again on the next
      // steps, for at most 101 ticks from the start of its series.
      if (CheckTimeshiftFolder(renameMode) == 0) return 0;
      ProgMode = PM_FileChecker;
      TRACE("Switching to FileChecker Mode \r\n");
      [[fallthrough]];

    case PM_FileChecker:
      CleanupSaveFolder(keepHours);
      ProgMode = PM_Idle;
      TRACE("Switching to Idle Mode \r\n");
      return 0;

    default:
      return 0;
  }
}
