// Firmware symbols found by name at run time, the receiver model, checked
// allocation.
#include "lib/firmware.h"

#include <dlfcn.h>
#include <stdio.h>

#include "lib/log.h"

word ApplID;
int TAP_TableIndex;

namespace {

void* vTAP_TableAddress;
void* vcurTapTask;
int LibInitialized;

// A found address is kept for good; a failed lookup is tried again next time.
void* CachedLookup(void** cache, const char* name) {
  if (*cache == nullptr) *cache = TryResolve(name);
  return *cache;
}

}  // namespace

void* TryResolve(const char* name) {
  if (name == nullptr) return nullptr;
  void* handle = dlopen(nullptr, RTLD_LAZY | RTLD_GLOBAL);
  if (handle == nullptr) return nullptr;
  dlerror();  // forget an older error, so that only this lookup's result counts
  void* address = dlsym(handle, name);
  const char* error = dlerror();
  dlclose(handle);
  return error != nullptr ? nullptr : address;
}

void* FIS_vTAPTable(void) {
  return CachedLookup(&vTAP_TableAddress, "_tapTask");
}

void* FIS_vcurTapTask(void) {
  return CachedLookup(&vcurTapTask, "_curTapTask");
}

int InitTAPex(void) {
  if (LibInitialized) return 1;
  ApplID = static_cast<word>(TAP_GetVersion() & 0xFFFF);
  const void* current = FIS_vcurTapTask();
  if (current != nullptr) TAP_TableIndex = *static_cast<const int*>(current);
  LibInitialized = 1;
  return 1;
}

word GetSysID(void) {
  if (!LibInitialized) InitTAPex();
  return static_cast<word>(TAP_GetSystemId() & 0xFFFF);
}

// Bounds: the warning is shown only; a tag too long for puffer is cut, and
// the line still ends in a line feed.
void* TAP_MemAlloc_Chk(const char* tag, dword size) {
  void* block = TAP_MemAlloc(size);
  if (block == nullptr) {
    int len = snprintf(puffer, sizeof puffer,
                       "TAP_MemAlloc_Chk Warning: TAP_MemAlloc(%d) returned NULL pointer @ %s\n",
                       static_cast<int>(size), tag != nullptr ? tag : "");
    if (len >= static_cast<int>(sizeof puffer)) puffer[sizeof puffer - 2] = '\n';
    PrintNet(puffer);
  }
  return block;
}
