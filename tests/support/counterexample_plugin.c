/* A plug-in file built the way the receiver must not get it, for the build
 * checks to fail on: built for MIPS32 release 2, linked against the build
 * machine's C library (dlopen from libc with a 2021 symbol version, tolower
 * through the C library's tables) with a run path, and with floating point.
 * It is never run. */
#include <ctype.h>
#include <dlfcn.h>

int CounterexampleOpen(const char* name, double scale, unsigned word) {
  void* handle = dlopen(name, RTLD_NOW);
  double scaled = handle ? scale * 1.5 : scale;
  return tolower((unsigned char)name[0]) + (int)scaled + (int)__builtin_bswap32(word) +
         (signed char)word;
}
