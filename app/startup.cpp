// The plug-in file's start-up unit. It lives only in the .tap file: linked
// into a test program, its abort and _init would replace the C library's.
#include <stddef.h>

#include "app/main.h"

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
