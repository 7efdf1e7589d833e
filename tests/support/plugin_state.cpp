#include "tests/support/plugin_state.h"

#include <stddef.h>

#include <vector>

// Placed by tests/support/plugin_state.ld around the plug-in's .data and .bss.
extern "C" unsigned char brantlow_state_begin[];
extern "C" unsigned char brantlow_state_end[];

namespace {

std::vector<unsigned char>* gInitial;

// A byte-wise copy that the address sanitizer neither checks nor replaces
// with a checked memcpy: the region holds the sanitizer's red zones around
// each of the plug-in's statics, which are poisoned for the plug-in's code but
// belong to the region all the same. The shadow memory is not touched, so the
// red zones stay poisoned.
__attribute__((no_sanitize("address"))) void CopyRaw(volatile unsigned char* to,
                                                     const volatile unsigned char* from, size_t n) {
  for (size_t i = 0; i < n; ++i) to[i] = from[i];
}

}  // namespace

void FreshPluginState() {
  // A program that uses no module with statics has an empty region. (One
  // linked without the script does not link: the two symbols are the script's.)
  const size_t n = static_cast<size_t>(brantlow_state_end - brantlow_state_begin);
  if (!gInitial) {
    gInitial = new std::vector<unsigned char>(n);
    CopyRaw(gInitial->data(), brantlow_state_begin, n);
    return;
  }
  CopyRaw(brantlow_state_begin, gInitial->data(), n);
}
