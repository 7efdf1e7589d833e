// The intent record of a set operation: before the first step of a rename,
// move or delete of a recording set, what it is about to do is written to
// "Brantlow.intent" in the plug-in's own folder, and the record is removed
// after the last step. A start after a power failure finds the record and
// finishes (or undoes) what it names, and nothing else.
#pragma once

#include "platform/tap.h"

enum : byte {
  INTENT_RENAME = 1,  // old names to new names, within folder
  INTENT_MOVE = 2,    // from folder to the folder "to", old names to new names
  INTENT_DELETE = 3,  // each member under the temporary name newName[0], then deleted
};

constexpr int kIntentMembers = 3;  // stream, ".inf", ".nav"
constexpr int kIntentNameSize = 128;
constexpr int kIntentFolderSize = 200;

struct SetIntent {
  byte kind;
  byte count;  // members, 1 to 3, in the order their steps run
  char folder[kIntentFolderSize];
  char to[kIntentFolderSize];  // a move's target folder, else empty
  char oldName[kIntentMembers][kIntentNameSize];
  char newName[kIntentMembers][kIntentNameSize];
  dword size[kIntentMembers];  // each member's length when the operation began
};

// Writes the record (the plug-in's own folder is made when it is missing).
// 1 only when the whole record is on the disk and closed; 0 when it could not
// be written, or a record is there already (it is left as it is).
int IntentWrite(const SetIntent* intent);
// Reads the record: 1 and intent filled when a whole record is there; 0 when
// there is none (a record that is not whole, as a cut while it was written
// leaves it, is removed and counts as none); -1 when the folder or the file
// cannot be read, so that nobody can tell.
int IntentRead(SetIntent* intent);
// Removes the record. 1 when none is left.
int IntentClear(void);
