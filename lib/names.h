// File name helpers: splitting a recording's name into its parts, unique and
// valid names, ISO-8859-1 to UTF-8, and two text comparisons.
#pragma once

#include "platform/tap.h"

// Character classes of isLegalChar; each set bit rejects one class.
enum : dword {
  LegalNoControl = 1,
  LegalNoLineBreak = 2,
  LegalNoReserved = 4,
  LegalAsciiOnly = 8,
};

void SeparateFileNameComponents(const char* name, char* base, char* extension, int* number,
                                int* isRecording, int* isDeleted);
void MakeUniqueFileName(char* name);
// MakeUniqueFileName with the test of a candidate passed in: taken(candidate)
// non-zero means the candidate cannot be used.
void MakeUniqueName(char* name, int (*taken)(const char* candidate));
void MakeValidFileName(char* name, dword flags);
int isLegalChar(byte c, dword flags);
void StrToUTF8(const char* source, char* destination);
word CharToUTF8(const char* c);
int StringEndsWith(const char* text, const char* suffix);
// StringEndsWith with the letters A to Z matched in either case.
int StringEndsWithAnyCase(const char* text, const char* suffix);
char* stricstr(const char* text, const char* pattern);

// Bounded copy: copies src into dst of size bytes, always terminated. Returns
// 1 when the whole text fitted, 0 when it was cut.
int StrCopyBounded(char* dst, size_t size, const char* src);

// Length in bytes of the UTF-8 form of an ISO-8859-1 text, terminator not
// counted (0 for NULL). Lets a caller check that StrToUTF8 fits its buffer.
size_t UTF8Length(const char* source);
