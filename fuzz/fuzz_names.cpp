// File name helpers: name parts, valid names, UTF-8, the comparisons, and
// unique names against a few files on the simulated disk. Buffers are
// allocated at exactly the size the routines are promised, so the sanitizer
// sees every byte written or read outside them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz/support/fuzz_sandbox.h"
#include "lib/names.h"
#include "sim/control.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzSandboxInit("names");
  const char* names[] = {"Film.rec",     "Film-2.rec", "Film-3.rec",
                         "Film.rec.del", "B.rec",      "News-10.rec"};
  for (const char* name : names) {
    char path[64] = "/ProgramFiles/";
    strcat(path, name);
    sim_write_file(path, "x", 1);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  dword flags = data[0];
  char* name = FuzzCopy(data + 1, size - 1);
  size_t length = strlen(name);

  char* base = static_cast<char*>(malloc(128));
  char* extension = static_cast<char*>(malloc(128));
  int number, isRecording, isDeleted;
  SeparateFileNameComponents(name, base, extension, &number, &isRecording, &isDeleted);
  FuzzCheck(number >= 0 && number <= 9 && (isRecording | isDeleted) <= 1);
  FuzzCheck(strlen(base) + strlen(extension) <= length);

  char* valid = FuzzCopy(data + 1, size - 1);
  MakeValidFileName(valid, flags);
  FuzzCheck(strlen(valid) <= length);
  for (const char* p = valid; *p; ++p) FuzzCheck(isLegalChar(static_cast<byte>(*p), flags) == 1);

  size_t utf8Length = UTF8Length(name);
  char* utf8 = static_cast<char*>(malloc(2 * length + 1));
  StrToUTF8(name, utf8);
  FuzzCheck(strlen(utf8) == utf8Length);
  if (length > 0) FuzzCheck(CharToUTF8(name) != 0);

  FuzzCheck(StringEndsWith(name, name + length / 2) == 1);
  StringEndsWith(name + length / 2, name);
  char* found = stricstr(name, name + length / 2);
  FuzzCheck(found == nullptr ? name[length / 2] == 0 : found <= name + length / 2);

  if (length <= 127) {
    char* unique = static_cast<char*>(malloc(128));
    memcpy(unique, name, length + 1);
    MakeUniqueFileName(unique);
    FuzzCheck(strlen(unique) <= 127);
    // A name that names a path outside the current folder is the firmware's
    // business; a plain name must come back free.
    if (unique[0] != 0 && strchr(unique, '/') == nullptr) FuzzCheck(TAP_Hdd_Exist(unique) == 0);
    free(unique);
  }

  free(utf8);
  free(valid);
  free(extension);
  free(base);
  free(name);
  return 0;
}
