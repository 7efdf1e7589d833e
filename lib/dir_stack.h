// Directory stack and navigation: every operation that leaves the current
// folder pushes it first and pops it afterwards.
#pragma once

#include "platform/tap.h"

int HDD_ChangeDir(const char* path);
int HDD_TAP_GetCurrentDir(char* path);  // path: at least 200 bytes, or NULL
int HDD_TAP_PushDir(void);
int HDD_TAP_PopDir(void);
int HDD_TAP_DirStackDepth(void);  // index of the top entry, -1 when empty
// 1 when the current folder is folder (a TAP path; one without a leading "/"
// counts from the disk's root, a trailing "/" does not count), else 0.
int HDD_TAP_IsCurrentDir(const char* folder);
// Pushes the current folder and changes into folder. Returns 1 only when the
// push took and the folder now current is the one asked for; the caller then
// owes one HDD_TAP_PopDir. Returns 0 otherwise, with nothing left pushed.
int HDD_TAP_EnterDir(const char* folder);
