// Clean-up of programme and service names: each routine on an exactly sized
// copy of the input, with the properties the rest of the plug-in relies on.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "app/name_cleanup.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

char* Copy(const uint8_t* data, size_t size) {
  char* text = static_cast<char*>(malloc(size + 1));
  memcpy(text, data, size);
  text[size] = 0;
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t length = strnlen(reinterpret_cast<const char*>(data), size);

  char* text = Copy(data, size);
  KillCtrChar(text);
  Check(strlen(text) <= length);
  for (const unsigned char* p = reinterpret_cast<unsigned char*>(text); *p; ++p)
    Check((*p >= 0x20 && *p <= 0x7E) || *p == 0x8A || *p >= 0xA0);
  free(text);

  text = Copy(data, size);
  KillNonWindowsChar(text);
  Check(strlen(text) <= length && strpbrk(text, "\"*/:<>?\\|") == nullptr);
  free(text);

  text = Copy(data, size);
  strlwr(text);
  Check(strlen(text) == length);
  for (const char* p = text; *p; ++p) Check(*p < 'A' || *p > 'Z');
  free(text);

  text = Copy(data, size);
  trim(text);
  size_t trimmed = strlen(text);
  Check(trimmed <= length && (trimmed <= 1 || text[trimmed - 1] != ' '));
  free(text);

  // All four in the order the saving of a buffer uses them.
  text = Copy(data, size);
  KillCtrChar(text);
  KillNonWindowsChar(text);
  strlwr(text);
  trim(text);
  Check(strlen(text) <= length);
  free(text);
  return 0;
}
