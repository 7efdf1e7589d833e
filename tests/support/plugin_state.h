// The plug-in's static state as it was when the program started, put back
// between test cases (and between benchmark runs in one process), so that
// every case sees the plug-in as the firmware loads it: each static at its
// initial value, whatever an earlier case left. The statics are found by where
// the linker puts them (tests/support/plugin_state.ld), not by a list, so a
// module or a static added later is covered too.
#pragma once

// The first call keeps a copy of the statics; every later call writes that
// copy back. Call the first before any plug-in code has run.
void FreshPluginState();
