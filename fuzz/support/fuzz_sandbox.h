// A simulated receiver on a temporary sandbox of its own, for the harnesses.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

// Starts the simulated receiver once on a fresh temporary folder (in $TMPDIR,
// else /dev/shm, else /tmp), which is removed when the process ends. Aborts
// when no sandbox can be made. Every harness is linked with it.
void FuzzSandboxInit(const char* harness);

// Ends the run as a finding when a property does not hold.
inline void FuzzCheck(bool condition) {
  if (!condition) abort();
}

// The input as a zero-terminated text in a block of exactly size + 1 bytes
// (malloc; the caller frees it), so the sanitizer sees every byte outside it.
char* FuzzCopy(const uint8_t* data, size_t size);
