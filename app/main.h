// The plug-in's entry: identification block, start-up, language and the
// event handler through which all work reaches the plug-in.
#pragma once

#include "platform/tap.h"

extern byte LanIndex;    // 0 German, 1 English
extern dword bFourRecs;  // 1 when the receiver has four recording slots (as known at start)
extern dword bShowTimeshiftMessage;
extern dword bShowTimeshiftStorageMessage;

extern "C" {
TAP_EXPORT int TAP_Main(void);
TAP_EXPORT dword TAP_EventHandler(dword event, dword param1, dword param2);
TAP_EXPORT int __TAP_Init_(TYPE_TapStart* start);
}

void SetLanIndex(void);
