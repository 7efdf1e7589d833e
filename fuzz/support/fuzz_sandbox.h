// A simulated receiver on a temporary sandbox of its own, for the harnesses.
#pragma once

// Starts the simulated receiver once on a fresh temporary folder (in $TMPDIR,
// else /dev/shm, else /tmp), which is removed when the process ends. Aborts
// when no sandbox can be made. Every harness is linked with it.
void FuzzSandboxInit(const char* harness);
