// The plug-in file's start-up unit. It lives only in the .tap file: linked
// into a test program, its abort and _init would replace the C library's.
#include <stddef.h>

#include "app/main.h"

#ifndef BRANTLOW_VERSION
#define BRANTLOW_VERSION "0"
#endif
#if BRANTLOW_DIAG
#define BRANTLOW_BUILD_KIND "diagnostic"
#else
#define BRANTLOW_BUILD_KIND "plain"
#endif

// What build this file is, for whoever looks at it (tapsim --info, readelf -n):
// an ELF note of its own, owner "Brantlow", type 1, whose text is the version
// and the build's kind. It lies with the other notes at the start of the
// file, away from the identification block, and the linker's build id note
// beside it tells two builds of one version apart.
namespace {
struct BuildNote {
  unsigned nameSize, textSize, type;
  char name[12];
  char text[32];
};
static_assert(sizeof(BuildNote) == 56, "note fields are 4-byte aligned");
__attribute__((section(".note.brantlow"), used, aligned(4)))
const BuildNote kBuildNote = {9, 32, 1, "Brantlow", BRANTLOW_VERSION " " BRANTLOW_BUILD_KIND};
}  // namespace

extern "C" {

// The firmware's start call: hand over the two entry points.
int __TAP_Init_(TYPE_TapStart* start) {
  start->main = TAP_Main;
  start->eventHandler = TAP_EventHandler;
  return 0;
}

// Initialisation and finalisation entries of the file; nothing to do.
TAP_EXPORT void _init(void) {}
TAP_EXPORT void _finit(void) {}

// There is nowhere to abort to inside the firmware: sleep for ever.
TAP_EXPORT void abort(void) noexcept {
  for (;;) TAP_Sleep(1000);
}

// The allocation routine the compiler's object creation calls.
TAP_EXPORT void* __builtin_new(size_t size) {
  TAP_Print("__builtin_new. size=%d\n", (int)size);
  return TAP_MemAlloc((dword)size);
}
}
