// Operations on recording sets: the stream file and its ".inf" and ".nav"
// companions renamed, moved and deleted as one.
#pragma once

#include "platform/tap.h"

void HDD_Rename(const char* oldName, char* newName);  // newName: 128-byte buffer
int HDD_Move(const char* fileName, const char* fromFolder, const char* toFolder);
// 1 when fileName and, for a stream, its companions that are files are gone.
int HDD_Delete(const char* fileName);
int HDD_isFileInUse(const char* fileName);
dword HDD_NumberOfRECSlots(void);
// 1 when name exists in the current folder and can be entered (or when that
// cannot be told): such a name is never renamed, moved or deleted.
int HDD_IsFolder(const char* name);
// Renames one file of the current folder onto a free name; folders and taken
// names are refused. 1 when oldName is gone and newName is there.
int HDD_RenameFile(const char* oldName, const char* newName);
