// INI reader: a whole settings file and a key. The first input byte gives
// the key's length, the key follows, the rest is the file's text. The text
// goes to the simulated disk and through INIOpenFile like a real file.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz/support/fuzz_sandbox.h"
#include "lib/dir_stack.h"
#include "lib/ini.h"
#include "sim/control.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

void ReadClamped(const char* key, int def, int lo, int hi) {
  int value = INIGetInt(key, def, lo, hi);
  Check(value == def || (value >= lo && value <= hi));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzSandboxInit("ini");
  sim_mkdir("/ProgramFiles/Settings/Brantlow");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t keyLength = data[0];
  if (keyLength > size - 1) keyLength = size - 1;
  char* key = static_cast<char*>(malloc(keyLength + 1));  // exact size: overreads show
  memcpy(key, data + 1, keyLength);
  key[keyLength] = 0;
  const uint8_t* text = data + 1 + keyLength;
  size_t textLength = size - 1 - keyLength;

  Check(sim_write_file("/ProgramFiles/Settings/Brantlow/Fuzz.ini", text, textLength) == 1);
  int place = INIOpenFile("Fuzz.ini", "Brantlow");
  Check(place == 3);
  Check(INIBuffer != nullptr && BufferSize >= textLength + 513);
  Check(HDD_TAP_DirStackDepth() == -1);

  ReadClamped(key, 36, 0, 10000);
  ReadClamped(key, -7, -100, 100);
  ReadClamped(key, 0, INT32_MIN, INT32_MAX);
  ReadClamped("KeepBufferHours", 36, 0, 10000);
  ReadClamped("RenameMode", 1, 0, 2);

  char* start = nullptr;
  char* end = nullptr;
  INIFindStartEnd(key, &start, &end, static_cast<dword>(keyLength + 11));
  if (start != nullptr) {
    Check(start >= INIBuffer && start < INIBuffer + BufferSize);
    if (end != nullptr) Check(end >= start - 1 && end < start + keyLength + 11);
  }

  INICloseFile();
  Check(INIBuffer == nullptr && sim_heap_in_use() == 0);
  free(key);
  return 0;
}
