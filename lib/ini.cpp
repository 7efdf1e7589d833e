// Reader for small settings files of key=value lines.
#include "lib/ini.h"

#include <string.h>

#include "lib/dir_stack.h"
#include "lib/names.h"

char* INIBuffer;
dword BufferSize;

namespace {

constexpr size_t kPathSize = 200;
constexpr size_t kKeyLength = 78;     // a key is cut to this many characters
constexpr dword kValueExamined = 11;  // characters of a value that are checked
constexpr dword kBlock = 512;
// Larger files are refused: the block size computation must not wrap.
constexpr dword kLargestFile = 0xFFFFFFFFu - 2 * kBlock;

// Decimal conversion as the receiver's 32-bit strtoul does it, on every
// machine: all consecutive digits, a leading "-" negates modulo 2^32, a
// number beyond 32 bits gives 2^32 - 1.
dword StrToDword(const char* text) {
  bool negative = false;
  if (*text == '-') {
    negative = true;
    ++text;
  }
  uint64_t value = 0;
  bool overflow = false;
  for (; *text >= '0' && *text <= '9'; ++text) {
    if (!overflow) {
      value = value * 10 + static_cast<uint64_t>(*text - '0');
      if (value > 0xFFFFFFFFu) overflow = true;
    }
  }
  if (overflow) return 0xFFFFFFFFu;
  dword result = static_cast<dword>(value);
  return negative ? 0u - result : result;
}

}  // namespace

int INILocateFile(const char* fileName, const char* appName) {
  char path[kPathSize] = "";
  if (fileName == nullptr) return 0;
  if (TAP_Hdd_Exist(fileName)) return 2;

  int place = 0;
  HDD_TAP_GetCurrentDir(path);
  if (HDD_ChangeDir("/ProgramFiles")) {
    if (TAP_Hdd_Exist(fileName)) {
      place = 5;
      StrCopyBounded(path, sizeof path, "/ProgramFiles");
    }
    if (HDD_ChangeDir("Settings")) {
      if (TAP_Hdd_Exist(fileName)) {
        place = 4;
        StrCopyBounded(path, sizeof path, "/ProgramFiles/Settings");
      }
      if (appName != nullptr && appName[0] != 0 && appName[0] != '/' && HDD_ChangeDir(appName) &&
          TAP_Hdd_Exist(fileName)) {
        place = 3;
        path[0] = 0;
      }
    }
  }
  if (path[0] != 0) HDD_ChangeDir(path);
  return place;
}

// The caller's folder is restored by a pop only when the push succeeded, so
// that a failed push never costs an outer caller its entry.
int INIOpenFile(const char* fileName, const char* appName) {
  INICloseFile();  // a block still held from an earlier open is not leaked
  int pushed = HDD_TAP_PushDir();
  int place = INILocateFile(fileName, appName);

  if (place == 0) {
    if (pushed) HDD_TAP_PopDir();
    INIBuffer = static_cast<char*>(TAP_MemAlloc(kBlock));
    if (INIBuffer == nullptr) return 0;
    BufferSize = kBlock;
    TAP_MemSet(INIBuffer, 0, kBlock);
    return 1;
  }

  TYPE_File* file = TAP_Hdd_Fopen(fileName);
  if (file == nullptr) {
    if (pushed) HDD_TAP_PopDir();
    return 0;
  }

  dword length = TAP_Hdd_Flen(file);
  int readOk = 0;
  if (length <= kLargestFile) {
    dword size = (length / kBlock + 2) * kBlock;
    INIBuffer = static_cast<char*>(TAP_MemAlloc(size));
    if (INIBuffer != nullptr) {
      BufferSize = size;
      TAP_MemSet(INIBuffer, 0, size);
      readOk = length == 0 || TAP_Hdd_Fread(INIBuffer, length, 1, file) != 0;
      if (!readOk) TAP_MemSet(INIBuffer, 0, size);
      // The block has at least 513 bytes behind the file's length, so the
      // text ends in a NUL inside it and there is room for CR LF.
      size_t textLength = strlen(INIBuffer);
      if (textLength == 0) {
        memcpy(INIBuffer, "\r\n", 3);
      } else if (INIBuffer[textLength - 1] != '\r' && INIBuffer[textLength - 1] != '\n') {
        memcpy(INIBuffer + textLength, "\r\n", 3);
      }
    }
  }
  TAP_Hdd_Fclose(file);

  if (pushed) HDD_TAP_PopDir();
  return INIBuffer != nullptr && readOk ? place : 0;
}

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsLineEnd(char c) {
  return c == '\r' || c == '\n';
}

// 1 when text begins with pattern, letters A to Z compared without regard
// to case.
bool StartsWithNoCase(const char* text, const char* pattern) {
  for (; *pattern; ++text, ++pattern) {
    char a = *text;
    char b = *pattern;
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

}  // namespace

// Lines end in CR LF, LF or CR. A line whose first character that is not a
// blank is ";" or "#" is a comment, whatever follows; a key counts only at
// the start of a line, after any blanks. The first line that holds the key
// wins. A value ends at the first CR or LF behind its key.
void INIFindStartEnd(const char* search, char** start, char** end, dword maxLength) {
  if (start == nullptr || end == nullptr || maxLength == 0) return;
  if (INIBuffer == nullptr || search == nullptr) {
    *start = nullptr;
    return;
  }
  *end = nullptr;
  *start = nullptr;

  char* match = nullptr;
  for (char* line = INIBuffer; *line != 0;) {
    char* p = line;
    while (IsBlank(*p)) ++p;
    if (*p != ';' && *p != '#' && StartsWithNoCase(p, search)) {
      match = p;
      break;
    }
    while (*p != 0 && !IsLineEnd(*p)) ++p;
    if (*p == 0) break;
    line = p + 1;
  }
  *start = match;
  if (match == nullptr) return;

  // The line end is looked for behind the matched text, so the character
  // before it never lies in front of the match.
  char* lineEnd = match + strlen(search);
  while (*lineEnd != 0 && !IsLineEnd(*lineEnd)) ++lineEnd;
  if (*lineEnd == 0) return;
  *end = lineEnd - 1;
  if (*end >= match + maxLength) *end = match + maxLength - 1;
}

// A whole number: an optional "-" and digits, then maybe blanks, and maybe a
// comment from a ";" or "#" on. Only the characters up to end are examined.
int INIGetInt(const char* key, int defaultValue, int minValue, int maxValue) {
  if (key == nullptr) return 0;
  char search[kKeyLength + 2];
  size_t keyLength = strnlen(key, kKeyLength);
  memcpy(search, key, keyLength);
  search[keyLength] = '=';
  search[keyLength + 1] = 0;

  char* start = nullptr;
  char* end = nullptr;
  INIFindStartEnd(search, &start, &end, static_cast<dword>(keyLength + 1 + kValueExamined));
  if (start == nullptr || end == nullptr) return defaultValue;
  char* value = start + keyLength + 1;
  if (end < value) return defaultValue;

  char* p = value;
  if (*p == '-') ++p;
  char* digits = p;
  while (p <= end && *p >= '0' && *p <= '9') ++p;
  if (p == digits) return defaultValue;
  while (p <= end && IsBlank(*p)) ++p;
  if (p <= end && *p != ';' && *p != '#') return defaultValue;

  int result = static_cast<int>(StrToDword(value));
  if (result < minValue) result = minValue;
  if (result > maxValue) result = maxValue;
  return result;
}

int INICloseFile(void) {
  if (INIBuffer == nullptr) return 0;
  TAP_MemFree(INIBuffer);
  INIBuffer = nullptr;
  BufferSize = 0;
  return 1;
}
