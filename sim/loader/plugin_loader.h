// Loading the plug-in file as the firmware does at every start of the
// receiver: a fresh instance each time, every static as at a first load, its
// start routine called. Used by the runner (at power-on and after each power
// cut) and by tests that start the plug-in file more than once in one
// process.
#pragma once

#include <string>

#include "platform/tap.h"

struct LoadedPlugin {
  void* handle;
  int (*main)(void);
  dword (*eventHandler)(dword, dword, dword);
};

// Loads a fresh instance of the plug-in file (every static as at a first
// load) and calls __TAP_Init_ (its result into initResult when not null).
// The first load of a file in a process loads the file itself; a file that
// is loaded already is loaded again from a copy of its bytes, which the
// loader removes at once, so nothing is left behind. False with a message in
// error (when not null) if the file cannot be loaded or names no entry points.
bool LoadPluginFresh(const char* path, LoadedPlugin* out, std::string* error,
                     int* initResult = nullptr);

// Unloads an instance that will never run again (its static destructors
// run); the simulated receiver must hold nothing of it. Optional: an
// instance left loaded costs only memory.
void UnloadPlugin(LoadedPlugin* plugin);
