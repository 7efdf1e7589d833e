// Log file and network console: time-stamped lines in a log file and on the
// first open pseudo-terminal, and the trace pattern every log line follows.
#pragma once

#include "platform/tap.h"

extern char LogPuffer[1000];
extern char puffer[512];

void LogEntry(const char* fileName, const char* programName, int console, int timeFormat,
              const char* text);
void PrintNet(const char* text);
dword Now(byte* seconds);
char* TimeFormat(dword dateTime, byte seconds, byte format);

// The trace pattern: push the folder, change to the plug-in's settings
// folder, format the line into LogPuffer, LogEntry to "Brantlow.log" and the
// console with time layout 5, pop. The formatted line is cut to fit
// LogPuffer. Both builds have it; TRACE below is the diagnostic build's use.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

#if BRANTLOW_DIAG
#define TRACE(...) LogLine(__VA_ARGS__)
#else
#define TRACE(...) \
  do {             \
  } while (0)
#endif
