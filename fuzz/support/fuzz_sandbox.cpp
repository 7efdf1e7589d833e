#include "fuzz/support/fuzz_sandbox.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "sim/control.h"

namespace {

char sandbox[256];

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void RemoveSandbox() {
  if (sandbox[0] != 0) nftw(sandbox, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

void FuzzSandboxInit(const char* harness) {
  if (sandbox[0] != 0) return;
  // Every run writes files: a memory file system keeps that fast.
  const char* tmp = getenv("TMPDIR");
  if (tmp == nullptr) tmp = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  snprintf(sandbox, sizeof sandbox, "%s/brantlow-%s-XXXXXX", tmp, harness);
  if (mkdtemp(sandbox) == nullptr || !sim_init(sandbox)) {
    fprintf(stderr, "cannot make a sandbox %s\n", sandbox);
    abort();
  }
  atexit(RemoveSandbox);
}

char* FuzzCopy(const uint8_t* data, size_t size) {
  char* text = static_cast<char*>(malloc(size + 1));
  memcpy(text, data, size);
  text[size] = 0;
  return text;
}
