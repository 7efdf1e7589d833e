// Firmware symbols found by name at run time, the receiver model, checked
// allocation.
#pragma once

#include "platform/tap.h"

extern word ApplID;
extern int TAP_TableIndex;

void* TryResolve(const char* name);
void* FIS_vTAPTable(void);
void* FIS_vcurTapTask(void);
int InitTAPex(void);
word GetSysID(void);
void* TAP_MemAlloc_Chk(const char* tag, dword size);
