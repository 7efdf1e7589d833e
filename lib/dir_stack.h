// Directory stack and navigation: every operation that leaves the current
// folder pushes it first and pops it afterwards.
#pragma once

#include "platform/tap.h"

int HDD_ChangeDir(const char* path);
int HDD_TAP_GetCurrentDir(char* path);  // path: at least 200 bytes, or NULL
int HDD_TAP_PushDir(void);
int HDD_TAP_PopDir(void);
int HDD_TAP_DirStackDepth(void);  // index of the top entry, -1 when empty
