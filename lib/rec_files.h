// Operations on recording sets: the stream file and its ".inf" and ".nav"
// companions renamed, moved and deleted as one.
//
// A set operation works out the names of all members first and checks them;
// then it writes an intent record (lib/intent.h) and takes its steps, the
// companions first and the stream last, each onto a free name and checked
// after it ran. A step that fails brings the members back where they were.
// A power failure between two steps leaves the record, and
// HDD_RecoverSetOperation at the next start finishes or undoes the operation.
#pragma once

#include "platform/tap.h"

// Renames oldName and, for a stream file (".rec" or ".mpg" in any letter
// case), its companions; newName (a 128-byte buffer) becomes the name used,
// free for the whole set. 1 when the set took its new name; 0 when nothing
// was renamed (newName unchanged).
int HDD_Rename(const char* oldName, char* newName);
// The same with the companions taken along (withCompanions non-zero) or not,
// whatever the name: a ".ts" buffer's "x.ts.inf" becomes "new.rec.inf".
int HDD_RenameSet(const char* oldName, char* newName, int withCompanions);
int HDD_Move(const char* fileName, const char* fromFolder, const char* toFolder);
// 1 when fileName and, for a stream, its companions that are files are gone.
int HDD_Delete(const char* fileName);
// 1 or 2 when fileName is being played, 3 + slot when a recording slot
// records it, else 0.
int HDD_isFileInUse(const char* fileName);
// Asks the slots alone, whatever is being played: 3 + slot of the first slot
// that records fileName, the timeshift slot included, else 0.
int HDD_isFileRecorded(const char* fileName);
// The stream a firmware record names (name: capacity bytes, maybe without
// terminator) into out (128 bytes): a stream's ".inf" stands for the stream.
void HDD_RecordedName(const char* name, size_t capacity, char* out);
// The number of recording slots, learnt once from the firmware data file and
// the firmware's slot records.
dword HDD_NumberOfRECSlots(void);
// The slot that records the timeshift buffer: the one after the recording
// slots. While no source has told the slots, every slot is looked at for the
// buffer on each call.
dword HDD_TimeshiftSlot(void);
// 1 when name exists in the current folder and can be entered, or a folder
// scan listed it as a folder (or when that cannot be told): such a name is
// never renamed, moved or deleted.
int HDD_IsFolder(const char* name);
// Renames one file of the current folder onto a free name; folders, names
// that are not known to be files, and taken names are refused. 1 when
// oldName is gone and newName is there.
int HDD_RenameFile(const char* oldName, const char* newName);
// A folder scan met name as a folder entry: a companion of that name is a
// folder even when the firmware refuses to enter it.
void HDD_NoteFolder(const char* name);

// What HDD_RecoverSetOperation found.
enum : int {
  RECOVER_NONE = 0,        // no operation was in flight
  RECOVER_DONE = 1,        // an interrupted operation was finished
  RECOVER_UNDONE = 2,      // it was undone (or had not begun): the set is as before it
  RECOVER_LEFT = 3,        // it could not be finished now; its record stays for the next pass
  RECOVER_UNREADABLE = 4,  // the plug-in's folder or the record cannot be read
  RECOVER_GIVEN_UP = 5,    // it can be neither finished nor undone (that would overwrite
                           // somebody's file, or a delete keeps failing): the record goes,
                           // the files stay where they are, a delete is tried again later
};
// Finishes or undoes a set operation that a power failure cut short, as its
// intent record names it. name (128 bytes, or NULL): the set's stream name.
int HDD_RecoverSetOperation(char* name);
