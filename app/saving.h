// Saving of finished timeshift buffers into "/DataFiles/TimeShift/Save".
#pragma once

#include "platform/tap.h"

extern dword dwLastCheckStart;

int CheckTimeshiftFolder(byte renameMode);
