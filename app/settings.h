// Settings read from "Brantlow.ini" and the dialog texts in both languages.
#pragma once

#include "platform/tap.h"

extern dword KeepBufferHours;  // built-in 36
extern dword RenameMode;       // built-in 2

enum { LAN_ROWS_DIALOG = 5 };
// [language][row]: 0 Ja/Yes, 1 Nein/No, 2 the delete-all question,
// 3 timeshift switched on, 4 timeshift storage switched on. ISO-8859-1.
extern const char* const lanItems[2][LAN_ROWS_DIALOG];

int LoadIni(void);
