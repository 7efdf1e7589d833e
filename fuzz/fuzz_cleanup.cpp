// Clean-up of programme and service names: each routine on an exactly sized
// copy of the input, with the properties the rest of the plug-in relies on.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "app/name_cleanup.h"
#include "fuzz/support/fuzz_sandbox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t length = strnlen(reinterpret_cast<const char*>(data), size);

  char* text = FuzzCopy(data, size);
  KillCtrChar(text);
  FuzzCheck(strlen(text) <= length);
  for (const unsigned char* p = reinterpret_cast<unsigned char*>(text); *p; ++p)
    FuzzCheck((*p >= 0x20 && *p <= 0x7E) || *p == 0x8A || *p >= 0xA0);
  free(text);

  text = FuzzCopy(data, size);
  KillNonWindowsChar(text);
  FuzzCheck(strlen(text) <= length && strpbrk(text, "\"*/:<>?\\|") == nullptr);
  free(text);

  text = FuzzCopy(data, size);
  strlwr(text);
  FuzzCheck(strlen(text) == length);
  for (const char* p = text; *p; ++p) FuzzCheck(*p < 'A' || *p > 'Z');
  free(text);

  text = FuzzCopy(data, size);
  trim(text);
  size_t trimmed = strlen(text);
  FuzzCheck(trimmed <= length && (trimmed <= 1 || text[trimmed - 1] != ' '));
  free(text);

  // All four in the order the saving of a buffer uses them.
  text = FuzzCopy(data, size);
  KillCtrChar(text);
  KillNonWindowsChar(text);
  strlwr(text);
  trim(text);
  FuzzCheck(strlen(text) <= length);
  free(text);
  return 0;
}
