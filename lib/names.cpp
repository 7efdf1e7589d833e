// File name helpers: splitting a recording's name into its parts, unique and
// valid names, ISO-8859-1 to UTF-8, and two text comparisons.
#include "lib/names.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

namespace {

// Every name and name part lives in a 128-byte buffer: at most 127 characters.
constexpr size_t kNameSize = 128;

const char kDeletionSuffix[] = ".del";

// Cuts n characters off the end of text (n never exceeds its length here).
void CutEnd(char* text, size_t n) {
  size_t len = strlen(text);
  text[len >= n ? len - n : 0] = 0;
}

// ASCII case of one byte, as the C library's tolower and toupper give it
// without a locale; written out so that the file needs no C library tables.
char AsciiLower(byte c) {
  return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
}
char AsciiUpper(byte c) {
  return static_cast<char>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
}

int EndsWith(const char* text, const char* suffix, bool anyCase) {
  if (text == nullptr || suffix == nullptr) return 0;
  size_t textLen = strlen(text);
  size_t suffixLen = strlen(suffix);
  if (suffixLen > textLen) return 0;
  const char* tail = text + textLen - suffixLen;
  int differs = anyCase ? strncasecmp(tail, suffix, suffixLen) : memcmp(tail, suffix, suffixLen);
  return differs == 0 ? 1 : 0;
}

}  // namespace

int StrCopyBounded(char* dst, size_t size, const char* src) {
  if (dst == nullptr || size == 0) return 0;
  if (src == nullptr) {
    dst[0] = 0;
    return 1;
  }
  size_t len = strnlen(src, size);
  if (len < size) {
    memcpy(dst, src, len + 1);
    return 1;
  }
  memcpy(dst, src, size - 1);
  dst[size - 1] = 0;
  return 0;
}

// Bounds: a name of more than 127 characters is refused, not cut. A cut base
// name would stand for another file, and its companions would be built from
// it; instead every part comes back empty and both flags 0, so no caller
// builds a companion name or treats the name as a recording.
void SeparateFileNameComponents(const char* name, char* base, char* extension, int* number,
                                int* isRecording, int* isDeleted) {
  if (base == nullptr || extension == nullptr || number == nullptr || isRecording == nullptr ||
      isDeleted == nullptr)
    return;
  base[0] = 0;
  extension[0] = 0;
  *number = 0;
  *isRecording = 0;
  *isDeleted = 0;
  if (name == nullptr || !StrCopyBounded(base, kNameSize, name)) {
    base[0] = 0;
    return;
  }

  if (StringEndsWith(base, kDeletionSuffix)) {
    *isDeleted = 1;
    CutEnd(base, 4);
  }

  // Companion extensions, each tested on what the previous test left.
  if (StringEndsWith(base, ".rec.inf")) CutEnd(base, 4);
  if (StringEndsWith(base, ".mpg.inf")) CutEnd(base, 4);
  if (StringEndsWith(base, ".rec.nav")) CutEnd(base, 4);
  if (StringEndsWith(base, ".mpg.nav")) CutEnd(base, 4);

  *isRecording = (StringEndsWith(base, ".rec") || StringEndsWith(base, ".mpg")) ? 1 : 0;

  char* dot = strrchr(base, '.');
  if (dot != nullptr) {
    // The extension is a tail of base, so it fits the same 128 bytes.
    memcpy(extension, dot, strlen(dot) + 1);
    *dot = 0;
  }

  size_t len = strlen(base);
  if (len >= 3 && base[len - 2] == '-' && base[len - 1] >= '1' && base[len - 1] <= '9') {
    *number = base[len - 1] - '0';
    base[len - 2] = 0;
  }
}

// Bounds: name is a 128-byte buffer. A candidate of more than 127 characters
// is refused rather than cut, since a cut candidate would be another file's
// name (and might exist). On refusal, and for a name that is itself too long,
// name becomes the empty text; callers treat an empty result as "no name".
void MakeUniqueFileName(char* name) {
  MakeUniqueName(name, TAP_Hdd_Exist);
}

void MakeUniqueName(char* name, int (*taken)(const char* candidate)) {
  if (name == nullptr || taken == nullptr) return;
  char base[kNameSize];
  char extension[kNameSize];
  int number;
  int isRecording;
  int isDeleted;
  if (strnlen(name, kNameSize) >= kNameSize) {
    name[0] = 0;
    return;
  }
  SeparateFileNameComponents(name, base, extension, &number, &isRecording, &isDeleted);
  if (number == 0) number = 2;
  const char* suffix = isDeleted ? kDeletionSuffix : "";

  char candidate[kNameSize];
  int len = snprintf(candidate, sizeof candidate, "%s%s%s", base, extension, suffix);
  while (len >= 0 && static_cast<size_t>(len) < sizeof candidate && taken(candidate)) {
    if (number == 0x7FFFFFFF) {
      len = -1;
      break;
    }
    len = snprintf(candidate, sizeof candidate, "%s-%d%s%s", base, number, extension, suffix);
    ++number;
  }
  if (len < 0 || static_cast<size_t>(len) >= sizeof candidate) {
    name[0] = 0;
    return;
  }
  memcpy(name, candidate, static_cast<size_t>(len) + 1);
}

// Only removes characters, so the text never grows: no bound of its own.
void MakeValidFileName(char* name, dword flags) {
  if (name == nullptr) return;
  size_t len = strlen(name);
  size_t out = 0;
  for (size_t i = 0; i < len; ++i) {
    if (isLegalChar(static_cast<byte>(name[i]), flags)) name[out++] = name[i];
  }
  name[out] = 0;
}

int isLegalChar(byte c, dword flags) {
  if (flags & LegalNoControl) {
    if (c < 0x20 && c != 0x0A) return 0;
    if (c >= 0x7F && c <= 0x9F && c != 0x80 && c != 0x8A && c != 0x91 && c != 0x92) return 0;
  }
  if (flags & LegalNoLineBreak) {
    if (c == 0x0A || c == 0x8A) return 0;
  }
  if (flags & LegalNoReserved) {
    if (c != 0 && strchr("\"*/:<>?\\|", c) != nullptr) return 0;
  }
  if (flags & LegalAsciiOnly) {
    if (c < 0x20 || c > 0x7E) return 0;
  }
  return 1;
}

size_t UTF8Length(const char* source) {
  if (source == nullptr) return 0;
  size_t n = 0;
  for (const char* p = source; *p; ++p) n += static_cast<byte>(*p) < 0x80 ? 1 : 2;
  return n;
}

// Bounds: the caller's destination holds twice the source length plus one,
// as it must; callers with a fixed buffer measure with UTF8Length first.
void StrToUTF8(const char* source, char* destination) {
  if (source == nullptr || destination == nullptr) return;
  char* out = destination;
  for (const char* p = source; *p; ++p) {
    if (static_cast<byte>(*p) < 0x80) {
      *out++ = *p;
    } else {
      word w = CharToUTF8(p);
      *out++ = static_cast<char>(w >> 8);
      *out++ = static_cast<char>(w & 0xFF);
    }
  }
  *out = 0;
}

word CharToUTF8(const char* c) {
  if (c == nullptr) return 0;
  byte b = static_cast<byte>(*c);
  if (b < 0x80) return b;
  return static_cast<word>(((0xC0 + (b >> 6)) << 8) | (0x80 + (b & 0x3F)));
}

// Bounds: a suffix longer than the text is never compared (answer 0), so
// nothing before the text is read.
int StringEndsWith(const char* text, const char* suffix) {
  return EndsWith(text, suffix, false);
}

int StringEndsWithAnyCase(const char* text, const char* suffix) {
  return EndsWith(text, suffix, true);
}

char* stricstr(const char* text, const char* pattern) {
  if (text == nullptr || pattern == nullptr || pattern[0] == 0) return nullptr;
  byte first = static_cast<byte>(pattern[0]);
  const char set[3] = {AsciiUpper(first), AsciiLower(first), 0};
  size_t rest = strlen(pattern) - 1;
  const char* p = text;
  for (;;) {
    p = strpbrk(p, set);
    if (p == nullptr) return nullptr;
    if (strncasecmp(p + 1, pattern + 1, rest) == 0) return const_cast<char*>(p);
    if (p[1] == 0) return nullptr;
    ++p;
  }
}
