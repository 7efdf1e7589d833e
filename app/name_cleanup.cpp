// In-place clean-up of programme and service names. Every routine only
// removes or lowers characters, so the text never grows past its buffer.
#include "app/name_cleanup.h"

#include <string.h>

namespace {

// Copies every byte that keep() accepts to the front, in order, and ends the
// text behind the last one kept.
template <typename Keep>
void Compact(char* text, Keep keep) {
  if (text == nullptr) return;
  char* out = text;
  for (const char* p = text; *p; ++p) {
    if (keep(static_cast<unsigned char>(*p))) *out++ = *p;
  }
  *out = 0;
}

}  // namespace

void KillCtrChar(char* text) {
  Compact(text, [](unsigned char c) { return (c >= 0x20 && c <= 0x7E) || c == 0x8A || c >= 0xA0; });
}

void KillNonWindowsChar(char* text) {
  Compact(text, [](unsigned char c) { return strchr("\"*/:<>?\\|", c) == nullptr; });
}

void strlwr(char* text) {
  if (text == nullptr) return;
  for (char* p = text; *p; ++p) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  }
}

// Blanks (0x20 only) at the end are removed; the first character is never
// looked at, so an all-blank text keeps one blank.
void trim(char* text) {
  if (text == nullptr) return;
  size_t len = strlen(text);
  while (len > 1 && text[len - 1] == ' ') text[--len] = 0;
}
