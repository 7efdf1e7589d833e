// Log file and network console: time-stamped lines in a log file and on the
// first open pseudo-terminal, and the trace pattern every log line follows.
#include "lib/log.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "lib/dir_stack.h"
#include "lib/names.h"

char LogPuffer[1000];
char puffer[512];

namespace {

// Room for the longest stamp any packed value can give (25 characters, with
// a 5-digit year and 3-digit fields) plus the blank LogEntry appends; the
// usual stamp is 19 characters. TimeFormat formats into one byte less than
// the buffer, so the blank always fits.
char sTimeStamp[28];

// The console's terminals, in the order they are tried. A table, not a
// formatted name: with no terminal open every console piece tries all twenty.
const char* const kTerminalNames[] = {
    "/dev/pts/0",  "/dev/pts/1",  "/dev/pts/2",  "/dev/pts/3",  "/dev/pts/4",
    "/dev/pts/5",  "/dev/pts/6",  "/dev/pts/7",  "/dev/pts/8",  "/dev/pts/9",
    "/dev/pts/10", "/dev/pts/11", "/dev/pts/12", "/dev/pts/13", "/dev/pts/14",
    "/dev/pts/15", "/dev/pts/16", "/dev/pts/17", "/dev/pts/18", "/dev/pts/19",
};
static_assert(sizeof kTerminalNames / sizeof kTerminalNames[0] == 20, "terminals 0 to 19");

void WriteAll(TYPE_File* file, const char* data, size_t len) {
  if (len > 0) TAP_Hdd_Fwrite(data, static_cast<dword>(len), 1, file);
}

// Sends text to the console through puffer. Bounds: a text longer than
// puffer (a log line may hold up to 999 characters) goes out in consecutive
// pieces of at most 511 characters, so nothing is lost and nothing overruns.
void PrintNetPieces(const char* text) {
  size_t len = strlen(text);
  size_t done = 0;
  do {
    size_t n = len - done;
    if (n > sizeof puffer - 1) n = sizeof puffer - 1;
    memmove(puffer, text + done, n);  // text may itself lie in puffer
    puffer[n] = 0;
    PrintNet(puffer);
    done += n;
  } while (done < len);
}

}  // namespace

dword Now(byte* seconds) {
  word mjd = 0;
  byte hour = 0;
  byte minute = 0;
  byte second = 0;
  TAP_GetTime(&mjd, &hour, &minute, &second);
  if (seconds != nullptr) *seconds = second;
  return (static_cast<dword>(mjd) << 16) | (static_cast<dword>(hour) << 8) | minute;
}

// Bounds: every field of a packed value fits sTimeStamp in full; the
// formatting is bounded all the same.
char* TimeFormat(dword dateTime, byte seconds, byte format) {
  word year = 0;
  byte month = 0;
  byte day = 0;
  byte weekDay = 0;
  TAP_ExtractMjd(static_cast<word>(dateTime >> 16), &year, &month, &day, &weekDay);
  int hour = (dateTime >> 8) & 0xFF;
  int minute = dateTime & 0xFF;
  int second = seconds;
  const size_t room = sizeof sTimeStamp - 1;
  sTimeStamp[0] = 0;
  switch (format) {
    case 1:
      snprintf(sTimeStamp, room, "%02d:%02d", hour, minute);
      break;
    case 2:
      snprintf(sTimeStamp, room, "%02d:%02d:%02d", hour, minute, second);
      break;
    case 3:
      snprintf(sTimeStamp, room, "%02d-%02d-%02d", year, month, day);
      break;
    case 4:
      snprintf(sTimeStamp, room, "%04d-%02d-%02d %02d:%02d", year, month, day, hour, minute);
      break;
    case 5:
      snprintf(sTimeStamp, room, "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute,
               second);
      break;
    case 6:
      snprintf(sTimeStamp, room, "%04d%02d%02d_%02d%02d", year, month, day, hour, minute);
      break;
    default:
      break;
  }
  return sTimeStamp;
}

void LogEntry(const char* fileName, const char* programName, int console, int timeFormat,
              const char* text) {
  byte seconds = 0;
  dword now = Now(&seconds);
  char* stamp = TimeFormat(now, seconds, static_cast<byte>(timeFormat));
  size_t stampLen = strlen(stamp);
  if (stampLen > 0) {
    stamp[stampLen++] = ' ';
    stamp[stampLen] = 0;
  }
  size_t textLen = text != nullptr ? strlen(text) : 0;

  if (fileName != nullptr && fileName[0] != 0) {
    TAP_Hdd_Create(fileName, ATTR_NORMAL);
    TYPE_File* file = TAP_Hdd_Fopen(fileName);
    if (file != nullptr) {
      TAP_Hdd_Fseek(file, 0, 2);
      WriteAll(file, stamp, stampLen);
      WriteAll(file, text, textLen);
      WriteAll(file, "\r\n", 2);
      TAP_Hdd_Fclose(file);
    }
  }

  if (console == 0) return;
  if (timeFormat != 0) PrintNetPieces(stamp);
  if (programName != nullptr && programName[0] != 0) {
    // Bounds: the name is shown only; a name too long for puffer is cut so
    // that ": " still follows it.
    size_t nameLen = strnlen(programName, sizeof puffer - 3);
    memmove(puffer, programName, nameLen);
    memcpy(puffer + nameLen, ": ", 3);
    PrintNet(puffer);
  }
  if (textLen > 0) PrintNetPieces(text);
  StrCopyBounded(puffer, sizeof puffer, "\n");
  PrintNet(puffer);
}

void PrintNet(const char* text) {
  if (text == nullptr) return;
  for (const char* device : kTerminalNames) {
    int fd = open(device, O_RDWR);
    if (fd < 0) continue;
    ssize_t written = write(fd, text, strlen(text) + 1);
    (void)written;  // the console is best effort; a short write is not retried
    close(fd);
    return;
  }
}

// The trace pattern. Bounds: the formatted line is cut to fit LogPuffer.
// When the folder cannot be pushed (the stack is full or the firmware's
// tables cannot be read) the line goes to the console only: changing the
// folder without a way back would disturb the caller, and a pop after a
// failed push would take an entry that belongs to an outer caller.
void LogLine(const char* format, ...) {
  int pushed = HDD_TAP_PushDir();
  if (pushed) HDD_ChangeDir("/ProgramFiles/Settings/Brantlow");
  va_list args;
  va_start(args, format);
  if (format == nullptr || vsnprintf(LogPuffer, sizeof LogPuffer, format, args) < 0)
    LogPuffer[0] = 0;
  va_end(args);
  LogEntry(pushed ? "Brantlow.log" : nullptr, "Brantlow", 1, 5, LogPuffer);
  if (pushed) HDD_TAP_PopDir();
}
