// Reader for small settings files of key=value lines.
#pragma once

#include "platform/tap.h"

extern char* INIBuffer;
extern dword BufferSize;

int INIOpenFile(const char* fileName, const char* appName);
int INIGetInt(const char* key, int defaultValue, int minValue, int maxValue);
int INICloseFile(void);
int INILocateFile(const char* fileName, const char* appName);
void INIFindStartEnd(const char* search, char** start, char** end, dword maxLength);
