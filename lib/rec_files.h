// Operations on recording sets: the stream file and its ".inf" and ".nav"
// companions renamed, moved and deleted as one.
#pragma once

#include "platform/tap.h"

void HDD_Rename(const char* oldName, char* newName);  // newName: 128-byte buffer
int HDD_Move(const char* fileName, const char* fromFolder, const char* toFolder);
void HDD_Delete(const char* fileName);
int HDD_isFileInUse(const char* fileName);
dword HDD_NumberOfRECSlots(void);
