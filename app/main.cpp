// Start-up, language choice and the event handler: the only door through
// which work reaches the plug-in after the firmware has started it.
#include "app/main.h"

#include "app/dialog.h"
#include "app/expiry.h"
#include "app/modes.h"
#include "app/settings.h"
#include "lib/log.h"
#include "lib/message_win.h"
#include "lib/rec_files.h"

byte LanIndex = 1;
dword bFourRecs = 0;
dword bShowTimeshiftMessage = 0;
dword bShowTimeshiftStorageMessage = 0;

namespace {

const char kTitle[] = "Brantlow";

enum : dword {
  DIALOG_NOTICE = 0,
  DIALOG_DELETE_ALL = 1,
  NOTICE_TIMEOUT = 5,
  QUESTION_TIMEOUT = 10,
};

// A pending notice is shown once the receiver is in normal viewing (state 0,
// sub-state 0x1F); at most one per call, the second waits for a later call.
void ShowPendingNotice() {
  dword state = 0, subState = 0;
  TAP_GetState(&state, &subState);
  if (state != 0 || subState != 0x1F) return;
  if (bShowTimeshiftMessage) {
    bShowTimeshiftMessage = 0;
    Dialog_DisplayWindow(DIALOG_NOTICE, 0, kTitle, lanItems[LanIndex][3], "Ok", "", NOTICE_TIMEOUT);
  } else if (bShowTimeshiftStorageMessage) {
    bShowTimeshiftStorageMessage = 0;
    Dialog_DisplayWindow(DIALOG_NOTICE, 0, kTitle, lanItems[LanIndex][4], "Ok", "", NOTICE_TIMEOUT);
  }
}

// The plug-in ends itself: an open dialog or a held error window is closed
// and the firmware's normal screen mode given back first, so nothing of the
// plug-in stays on screen.
void EndPlugin() {
  if (Dialog_IsActive()) Dialog_HideWindow();
  if (NextMessageStop != 0) {
    EndMessageWin();
    NextMessageStop = 0;
    TAP_EnterNormal();
  }
  TAP_Exit();
}

// Answers a request of the firmware's plug-in management.
dword AnswerRequest(dword request) {
  switch (request) {
    case 1:
      EndPlugin();
      return 1;
    case 2:
    case 4:
      return 1;
    case 3:
      return 0x01000006;
    case 6:
      Dialog_DisplayWindow(DIALOG_DELETE_ALL, 1, kTitle, lanItems[LanIndex][2],
                           lanItems[LanIndex][0], lanItems[LanIndex][1], QUESTION_TIMEOUT);
      return 1;
    default:
      return 0;
  }
}

}  // namespace

void SetLanIndex(void) {
  LanIndex = (TAP_GetSystemVar(SYSVAR_OsdLan) & 0x7F) == 2 ? 0 : 1;
}

int TAP_Main(void) {
  SetLanIndex();
  LoadIni();
  if (HDD_NumberOfRECSlots() == 4) bFourRecs = 1;
  TRACE("Recording slots %d, buffer slot %d\r\n", static_cast<int>(HDD_NumberOfRECSlots()),
        static_cast<int>(HDD_TimeshiftSlot()));
  return 1;
}

dword TAP_EventHandler(dword event, dword param1, dword param2) {
  const dword code = event & 0xFFFF;

  ShowPendingNotice();

  if (code == EVT_TAPCMD) return AnswerRequest(param1);

  if (Dialog_IsActive()) {
    dword identifier = 0;
    int result = Dialog_ProcessKey(&identifier, event, param1, param2);
    if (result == 1 && identifier == DIALOG_DELETE_ALL) CleanupSaveFolder(0);
    if (result != 0) return 0;
  }

  if (code == EVT_IDLE || code == EVT_UART) {
    // The slots may be learnt only later, from the first record that shows
    // the timeshift buffer: the slot is asked for on every step.
    if (CheckRecInfo(LanIndex, (word)KeepBufferHours, (byte)RenameMode, HDD_TimeshiftSlot()) != 0) {
      TRACE("Brantlow Error, exiting\r\n");
      EndPlugin();
    }
    return param1;
  }
  return param1;
}
