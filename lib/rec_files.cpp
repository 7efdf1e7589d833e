// Operations on recording sets: a stream file (".rec" or ".mpg") and its
// ".inf" and ".nav" companions are renamed, moved and deleted as one. New
// names are made unique first, so nothing already in place is overwritten
// under a stream file's name.
//
// The move runs the shell's mv. Names reach it from broadcast data, so every
// path in the command stands between double quotes with each character the
// shell still interprets there (double quote, dollar sign, backquote and
// backslash) preceded by a backslash; a name that would not fit 127
// characters or the 2,048-byte command is refused and nothing is moved.
#include "lib/rec_files.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "lib/dir_stack.h"
#include "lib/firmware.h"
#include "lib/firmware_dat.h"
#include "lib/intent.h"
#include "lib/names.h"

namespace {

constexpr size_t kNameSize = 128;       // file names and name parts: at most 127 characters
constexpr size_t kCommandSize = 2048;   // the shell command
constexpr size_t kEscapedFolder = 512;  // an escaped folder path
constexpr size_t kEscapedName = 256;    // an escaped name: 127 characters, each maybe doubled
// MakeUniqueFileName may add a number to a name of 127 characters; the
// result is checked against 127 afterwards.
constexpr size_t kUniqueSize = 2 * kNameSize;
constexpr size_t kRecInfoSize = 152;  // what TAP_Hdd_GetRecInfo may fill
const char kMountPoint[] = "/mnt/hd";
const char kDeleteTemp[] = "FilerDelete.tmp";

const char* const kCompanions[] = {".inf", ".nav"};

dword MaxRecStreams = 0;

// A usable file name: not empty and at most 127 characters. (The unique-name
// search leaves an empty text when no candidate fits.)
bool FitsName(const char* name) {
  return name && name[0] && strlen(name) < kNameSize;
}

// Stream file names, ".rec" or ".mpg" in any letter case: the operations on
// them take the companions along.
bool IsStreamName(const char* name) {
  return StringEndsWithAnyCase(name, ".rec") || StringEndsWithAnyCase(name, ".mpg");
}

// The companion of name with the companion extension ext (".inf" or ".nav")
// into out (128 bytes). Returns 1 when name could be split and the companion
// name fits 127 characters, else 0 (out then holds an empty text).
int CompanionName(const char* name, const char* ext, char* out) {
  out[0] = 0;
  if (!FitsName(name)) return 0;
  char base[kNameSize];
  char extension[kNameSize];
  int number = 0, isRecording = 0, isDeleted = 0;
  SeparateFileNameComponents(name, base, extension, &number, &isRecording, &isDeleted);
  // The companion extension goes between the stream name and a deletion
  // suffix: Film-2.rec.del gives Film-2.rec.inf.del.
  const char* del = isDeleted ? ".del" : "";
  int length = number == 0 ? snprintf(nullptr, 0, "%s%s%s%s", base, extension, ext, del)
                           : snprintf(nullptr, 0, "%s-%d%s%s%s", base, number, extension, ext, del);
  if (length < 0 || size_t(length) >= kNameSize) return 0;
  if (number == 0) {
    TAP_SPrint(out, "%s%s%s%s", base, extension, ext, del);
  } else {
    TAP_SPrint(out, "%s-%d%s%s%s", base, number, extension, ext, del);
  }
  return 1;
}

// Recording flag of a name as SeparateFileNameComponents gives it.
int RecordingFlag(const char* name) {
  char base[kNameSize];
  char extension[kNameSize];
  int number = 0, isRecording = 0, isDeleted = 0;
  SeparateFileNameComponents(name, base, extension, &number, &isRecording, &isDeleted);
  return isRecording;
}

// Copies text into out (cap bytes) with a backslash before each character
// that keeps a meaning for the shell between double quotes. Returns 1 when the
// escaped text fits, 0 when not.
int EscapeForShell(const char* text, char* out, size_t cap) {
  size_t n = 0;
  for (const char* p = text; *p; ++p) {
    bool special = *p == '"' || *p == '$' || *p == '`' || *p == '\\';
    if (n + (special ? 2 : 1) >= cap) {
      out[0] = 0;
      return 0;
    }
    if (special) out[n++] = '\\';
    out[n++] = *p;
  }
  out[n] = 0;
  return 1;
}

// One half of the move command: the path of name in folder below the mount
// point, escaped. Lead and trail put a "/" between mount point, folder and
// name where the folder has none.
struct PathHalf {
  char folder[kEscapedFolder];
  char name[kEscapedName];
  const char* lead;
  const char* trail;
};

int PreparePath(PathHalf* half, const char* folder, const char* name) {
  size_t length = strlen(folder);
  half->lead = folder[0] == '/' ? "" : "/";
  half->trail = length > 0 && folder[length - 1] == '/' ? "" : "/";
  return EscapeForShell(folder, half->folder, sizeof half->folder) &&
         EscapeForShell(name, half->name, sizeof half->name);
}

// The move command for name in fromFolder to target in toFolder, built in two
// halves into command (kCommandSize bytes). Returns 1 when it fits, else 0
// (command then holds an empty text). With command NULL it only tells
// whether the command would fit.
int BuildMoveCommand(char* command, const char* name, const char* fromFolder, const char* target,
                     const char* toFolder) {
  if (command) command[0] = 0;
  if (!FitsName(name) || !FitsName(target)) return 0;
  PathHalf source;
  PathHalf dest;
  if (!PreparePath(&source, fromFolder, name) || !PreparePath(&dest, toFolder, target)) return 0;

  int first = snprintf(nullptr, 0, "mv \"%s%s%s%s%s\" ", kMountPoint, source.lead, source.folder,
                       source.trail, source.name);
  int second = snprintf(nullptr, 0, "\"%s%s%s%s%s\"", kMountPoint, dest.lead, dest.folder,
                        dest.trail, dest.name);
  if (first < 0 || second < 0 || size_t(first) + size_t(second) >= kCommandSize) return 0;
  if (!command) return 1;
  TAP_SPrint(command, "mv \"%s%s%s%s%s\" ", kMountPoint, source.lead, source.folder, source.trail,
             source.name);
  TAP_SPrint(command + first, "\"%s%s%s%s%s\"", kMountPoint, dest.lead, dest.folder, dest.trail,
             dest.name);
  return 1;
}

// A name with companions: a stream file (".rec" or ".mpg", in any letter
// case), or a name that SeparateFileNameComponents marks as a recording's (a
// companion's name, or one with the deletion suffix).
bool HasCompanions(const char* name) {
  return IsStreamName(name) || RecordingFlag(name) != 0;
}

// A candidate for a set's new name is taken when the stream name or, for a
// recording, its ".inf" or ".nav" companion exists in the current folder (as
// a file or a folder): the set lands on free names only. A companion name
// that would not fit is left to the callers' own check, which refuses it.
int SetTaken(const char* candidate) {
  if (TAP_Hdd_Exist(candidate)) return 1;
  if (!HasCompanions(candidate)) return 0;
  char companion[kNameSize];
  for (const char* ext : kCompanions) {
    if (CompanionName(candidate, ext, companion) && TAP_Hdd_Exist(companion)) return 1;
  }
  return 0;
}

// Folders named like companions, as the passes' folder scans listed them: a
// name whose entry says folder is a folder, also when the firmware refuses to
// enter it. Each is kept with the folder it was listed in (a path of at most
// 199 and a name of 127 characters), a few at a time, the oldest giving way.
constexpr int kSeenFolders = 4;
constexpr size_t kSeenSize = 200 + kNameSize;
char SeenFolders[kSeenFolders][kSeenSize];
int SeenFolderNext = 0;

// The current folder and name as one text ("/DataFiles/TimeShift/X.rec.inf")
// into out (kSeenSize bytes); 0 when the current folder is unknown.
int SeenKey(const char* name, char* out) {
  char here[200];
  here[0] = 0;
  if (HDD_TAP_GetCurrentDir(here) != 0 || here[0] == 0 || !FitsName(name)) return 0;
  size_t folder = strlen(here), length = strlen(name);  // 199 and 127 at the most
  memcpy(out, here, folder);
  out[folder] = '/';
  memcpy(out + folder + 1, name, length + 1);
  return 1;
}

bool SeenAsFolder(const char* name) {
  char key[kSeenSize];
  if (!SeenKey(name, key)) return false;
  for (const char* seen : SeenFolders)
    if (seen[0] && strcmp(seen, key) == 0) return true;
  return false;
}

// Whether entering name worked: 1 entered, 0 refused, -1 the plug-in cannot
// tell (where it stands is unknown, or it could not get back there).
int EnterTest(const char* name) {
  char here[200];
  here[0] = 0;
  if (HDD_TAP_GetCurrentDir(here) != 0 || here[0] == 0) return -1;
  if (!HDD_TAP_PushDir()) return -1;
  int entered = HDD_ChangeDir(name);
  int back = HDD_TAP_PopDir();
  if (!back || !HDD_TAP_IsCurrentDir(here)) return -1;
  return entered ? 1 : 0;
}

enum Kind { kAbsent, kFile, kFolder, kUnknown };

// What name is in the current folder. A file can be opened and cannot be
// entered; a folder can be entered, or was listed as one; anything else (a
// name that is neither, or that the plug-in cannot test) is unknown, and an
// operation that meets it leaves the whole set alone. size: a file's length.
Kind Inspect(const char* name, dword* size) {
  if (!FitsName(name) || TAP_Hdd_Exist(name) == 0) return kAbsent;
  int entered = EnterTest(name);
  if (entered == 1) return kFolder;
  if (entered < 0) return kUnknown;
  TYPE_File* file = TAP_Hdd_Fopen(name);
  if (!file) return SeenAsFolder(name) ? kFolder : kUnknown;
  if (size) *size = TAP_Hdd_Flen(file);
  TAP_Hdd_Fclose(file);
  return kFile;
}

// A recording set as one value: the names of its members that are files, in
// the order their steps run (the companions first, the stream last), each
// with the part it is (0 the stream, 1 ".inf", 2 ".nav") and its length.
// Every name is worked out and checked to fit before anything is done.
struct RecSet {
  int count;
  char name[kIntentMembers][kNameSize];
  int part[kIntentMembers];
  dword size[kIntentMembers];
};

// The set of name in the current folder; companions only when withCompanions.
// 0 when name is no file, a companion name would not fit, or a member is
// unknown: then nothing may be done with the set.
int GatherSet(const char* name, bool withCompanions, RecSet* set) {
  memset(set, 0, sizeof *set);
  dword size = 0;
  if (Inspect(name, &size) != kFile) return 0;
  if (withCompanions) {
    for (int part = 1; part <= 2; ++part) {
      char companion[kNameSize];
      if (!CompanionName(name, kCompanions[part - 1], companion)) return 0;
      if (strcmp(companion, name) == 0) continue;  // a companion's own name
      dword length = 0;
      Kind kind = Inspect(companion, &length);
      if (kind == kUnknown) return 0;
      if (kind != kFile) continue;  // missing, or a folder: not part of the set
      StrCopyBounded(set->name[set->count], kNameSize, companion);
      set->part[set->count] = part;
      set->size[set->count] = length;
      ++set->count;
    }
  }
  StrCopyBounded(set->name[set->count], kNameSize, name);
  set->part[set->count] = 0;
  set->size[set->count] = size;
  ++set->count;
  return 1;
}

// The same members under the stream name stream. 0 when a name does not fit.
int RenamedSet(const RecSet* set, const char* stream, RecSet* out) {
  *out = *set;
  for (int i = 0; i < set->count; ++i) {
    if (set->part[i] == 0) {
      if (!FitsName(stream)) return 0;
      StrCopyBounded(out->name[i], kNameSize, stream);
    } else if (!CompanionName(stream, kCompanions[set->part[i] - 1], out->name[i])) {
      return 0;
    }
  }
  return 1;
}

void FillIntent(SetIntent* intent, byte kind, const char* folder, const char* to,
                const RecSet* from, const RecSet* dest) {
  memset(intent, 0, sizeof *intent);
  intent->kind = kind;
  intent->count = byte(from->count);
  StrCopyBounded(intent->folder, sizeof intent->folder, folder);
  StrCopyBounded(intent->to, sizeof intent->to, to);
  for (int i = 0; i < from->count; ++i) {
    StrCopyBounded(intent->oldName[i], kNameSize, from->name[i]);
    StrCopyBounded(intent->newName[i], kNameSize, dest->name[i]);
    intent->size[i] = from->size[i];
  }
}

// One rename in the current folder, onto a free name. 1 when from is gone
// and to is there.
int RenameStep(const char* from, const char* to) {
  if (!TAP_Hdd_Exist(from) || TAP_Hdd_Exist(to)) return 0;
  TAP_Hdd_Rename(from, to);
  return TAP_Hdd_Exist(from) == 0 && TAP_Hdd_Exist(to) != 0 ? 1 : 0;
}

// The rename steps of a set: member by member, each onto its free new name.
// When one fails, the members renamed so far get their old names back.
// Returns 1 when all are renamed, 0 when all are back, -1 when neither.
int RenameMembers(const RecSet* from, const RecSet* to) {
  int done = 0;
  while (done < from->count && RenameStep(from->name[done], to->name[done])) ++done;
  if (done == from->count) return 1;
  while (done > 0 && RenameStep(to->name[done - 1], from->name[done - 1])) --done;
  return done == 0 ? 0 : -1;
}

// A temporary name that is free in the current folder: "FilerDelete.tmp",
// else its unique forms. Another "FilerDelete.tmp" is not the plug-in's and
// blocks nothing.
int FreeTempName(char* out) {
  StrCopyBounded(out, kNameSize, kDeleteTemp);
  MakeUniqueName(out, TAP_Hdd_Exist);
  return FitsName(out);
}

// Deletes one file under the temporary name temp: a delete that fails gives
// the file its own name back. 1 when name is gone, 0 when it stays, -1 when
// it stays under the temporary name.
int DeleteStep(const char* name, const char* temp) {
  if (!RenameStep(name, temp)) return 0;
  TAP_Hdd_Delete(temp);
  if (!TAP_Hdd_Exist(temp)) return 1;
  return RenameStep(temp, name) ? 0 : -1;
}

// The delete steps of a set, the companions first: a set cut short keeps its
// stream, which the next expiry pass finds. 1 when every member is gone, else
// what the step that failed returned.
int DeleteMembers(const RecSet* set, const char* temp) {
  for (int i = 0; i < set->count; ++i) {
    int step = DeleteStep(set->name[i], temp);
    if (step != 1) return step;
  }
  return 1;
}

// Stops what plays or records name, as HDD_isFileInUse tells.
void StopUser(const char* name) {
  int inUse = HDD_isFileInUse(name);
  if (inUse == 1 || inUse == 2) {
    TAP_Hdd_StopTs();
    TAP_Hdd_StopMp3();
  } else if (inUse >= 3) {
    TAP_Hdd_StopRecord(byte(inUse - 3));
  }
}

// The move of a set: its members' names on both sides and the two folders.
// Each command is checked to fit before the first runs, and built when it
// runs (one buffer on the stack at a time, never a table of them).
struct MovePlan {
  const RecSet* from;
  const RecSet* to;
  const char* fromFolder;
  const char* toFolder;
};
MovePlan Plan;

int BuildStep(int i, bool back, char* command) {
  return back ? BuildMoveCommand(command, Plan.to->name[i], Plan.toFolder, Plan.from->name[i],
                                 Plan.fromFolder)
              : BuildMoveCommand(command, Plan.from->name[i], Plan.fromFolder, Plan.to->name[i],
                                 Plan.toFolder);
}

int PlanMove(const RecSet* from, const char* fromFolder, const RecSet* to, const char* toFolder) {
  Plan = MovePlan{from, to, fromFolder, toFolder};
  // The way back holds the same two paths the other way round, so it fits
  // when the way there does.
  for (int i = 0; i < from->count; ++i) {
    if (!BuildStep(i, false, nullptr)) return 0;
  }
  return 1;
}

// One member's move command, there or back, run from inside the source
// folder; 1 when the member then stands where it was sent (its old name gone
// after the way there, back after the way back).
int MoveStep(const char* oldName, int i, bool back) {
  char command[kCommandSize];
  if (!BuildStep(i, back, command)) return 0;
  system(command);
  return (TAP_Hdd_Exist(oldName) != 0) == back ? 1 : 0;
}

// The move steps, run from inside the source folder: member by member; a
// member whose source is still there after its command did not move, and
// the members moved so far are brought back. Returns 1 when all left, 0 when
// all are back, -1 when neither.
int MoveMembers(const RecSet* from) {
  int done = 0;
  while (done < from->count && MoveStep(from->name[done], done, false)) ++done;
  if (done == from->count) return 1;
  while (done > 0 && MoveStep(from->name[done - 1], done - 1, true)) --done;
  return done == 0 ? 0 : -1;
}

// The move of fileName, run from inside fromFolder: see HDD_Move.
int MoveFromHere(const char* fileName, const char* fromFolder, const char* toFolder) {
  RecSet set;
  if (!GatherSet(fileName, HasCompanions(fileName), &set)) return 0;

  // The name the set gets there: free for the whole set in the target
  // folder, which must be entered for the names to be tested at all.
  char target[kUniqueSize];
  if (!HDD_TAP_EnterDir(toFolder)) return 0;
  StrCopyBounded(target, sizeof target, fileName);
  MakeUniqueName(target, SetTaken);
  HDD_TAP_PopDir();
  if (!HDD_TAP_IsCurrentDir(fromFolder)) return 0;

  RecSet dest;
  if (!RenamedSet(&set, target, &dest) || !PlanMove(&set, fromFolder, &dest, toFolder)) return 0;
  SetIntent intent;
  FillIntent(&intent, INTENT_MOVE, fromFolder, toFolder, &set, &dest);
  if (!IntentWrite(&intent) || !HDD_TAP_IsCurrentDir(fromFolder)) return 0;
  int result = MoveMembers(&set);
  if (result >= 0) IntentClear();
  return result == 1 ? 1 : 0;
}

// A name from a firmware record (at most capacity bytes, maybe without
// terminator) into out (128 bytes). A record may name a buffer's information
// file instead of its stream: the ".inf" of a stream (".rec", ".mpg" or ".ts",
// in any letter case) stands for the stream.
void RecordName(const char* name, size_t capacity, char* out) {  // see HDD_RecordedName
  size_t length = strnlen(name, capacity < kNameSize - 1 ? capacity : kNameSize - 1);
  memcpy(out, name, length);
  out[length] = 0;
  if (length <= 4 || !StringEndsWith(out, ".inf")) return;
  out[length - 4] = 0;
  if (!IsStreamName(out) && !StringEndsWithAnyCase(out, ".ts")) {
    out[length - 4] = '.';
  }
}

// Slots. The recording slots come first, the timeshift slot right after
// them, so the timeshift slot's number is the number of recording slots.
// That number is learnt once, from the strongest source there is:
//   - a slot record of kind 2: the firmware is recording the timeshift buffer
//     in that slot, whatever anything else says (noted whenever a record is
//     read, so a data file that is wrong for this receiver is overruled);
//   - FirmwareTMS.dat, when it has a record for this model;
//   - the firmware's answers: it answers for every slot it has and refuses
//     the first one beyond, so the last slot answered is the timeshift slot;
//   - else two recording slots, unconfirmed: then every slot up to the
//     highest asked is looked at for the buffer until a record shows it.
// Only slots up to kProbeSlots - 1 are ever asked, and a probe stops at the
// first slot refused.
constexpr dword kProbeSlots = 6;    // slots 0..5: one beyond a four-slot receiver's timeshift slot
constexpr dword kFewestSlots = 2;   // every receiver of the platform has at least two
constexpr byte kKindTimeshift = 2;  // the kind of the slot that records the buffer

enum SlotSource { SLOTS_GUESSED, SLOTS_ANSWERED, SLOTS_DATAFILE, SLOTS_SEEN };

bool SlotsSettled = false;
int SlotsFrom = SLOTS_GUESSED;

union SlotRecord {
  TYPE_RecInfo info;
  byte raw[kRecInfoSize];
};

// Reads one slot's record; 0 when the firmware refused the slot. A record
// that shows the timeshift buffer settles the timeshift slot.
int ReadSlot(dword slot, SlotRecord* rec) {
  memset(rec, 0, sizeof *rec);
  int answered = TAP_Hdd_GetRecInfo(byte(slot), &rec->info);
  if (rec->info.recType == kKindTimeshift && slot >= 1 &&
      (SlotsFrom != SLOTS_SEEN || MaxRecStreams != slot)) {
    MaxRecStreams = slot;
    SlotsFrom = SLOTS_SEEN;
  }
  return answered;
}

// Asks slots from 0 up to (not including) limit until one shows the buffer
// or is refused. Returns the first slot refused, or limit.
dword ProbeSlots(dword limit) {
  for (dword slot = 0; slot < limit; ++slot) {
    SlotRecord rec;
    if (!ReadSlot(slot, &rec)) return slot;
    if (SlotsFrom == SLOTS_SEEN) break;
  }
  return limit;
}

void SettleSlots() {
  if (SlotsSettled) return;
  SlotsSettled = true;

  dword fromFile = 0;
  byte* image = nullptr;
  byte* models = nullptr;
  if (LoadFirmwareDat(&image, &models, nullptr) == 1) {
    dword length = FirmwareDatLoadedLength();
    if (FirmwareDatModelCount(image, length) != 0) {
      fromFile = FirmwareDatSlotsOfModel(image, length, GetSysID());
    }
  }
  // A count beyond the slots the plug-in asks is not this platform's.
  if (fromFile >= kProbeSlots) fromFile = 0;

  // The firmware is asked in any case: a record that shows the buffer
  // overrules a data file that is wrong for this receiver.
  dword refused = ProbeSlots(kProbeSlots);
  if (SlotsFrom == SLOTS_SEEN) return;
  if (fromFile != 0) {
    MaxRecStreams = fromFile;
    SlotsFrom = SLOTS_DATAFILE;
  } else if (refused < kProbeSlots && refused >= kFewestSlots + 1) {
    MaxRecStreams = refused - 1;
    SlotsFrom = SLOTS_ANSWERED;
  } else {
    MaxRecStreams = kFewestSlots;
    SlotsFrom = SLOTS_GUESSED;
  }
}

// The slots asked whether they record a file: the recording slots, and the
// timeshift slot too when withTimeshift; every slot that may exist while the
// slots are unconfirmed.
dword SlotsToAsk(bool withTimeshift) {
  SettleSlots();
  if (SlotsFrom == SLOTS_GUESSED) return kProbeSlots;
  return MaxRecStreams + (withTimeshift ? 1 : 0);
}

// 3 + the first slot whose record names fileName, else 0. The timeshift
// slot counts only when withTimeshift.
int SlotRecording(const char* fileName, bool withTimeshift) {
  char name[kNameSize];
  for (dword slot = 0; slot < SlotsToAsk(withTimeshift) && slot < 256; ++slot) {
    SlotRecord rec;
    int answered = ReadSlot(slot, &rec);
    if (!answered && SlotsFrom == SLOTS_GUESSED) break;
    if (rec.info.recType == kKindTimeshift && !withTimeshift) continue;
    if (rec.info.fileName[0] == 0) continue;
    RecordName(rec.info.fileName, sizeof rec.info.fileName, name);
    if (strcmp(name, fileName) == 0) return int(3 + slot);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Recovery of an operation that a power failure cut short.

// The members of intent found under names[] in the current folder, each
// with the length it had when the operation began.
void FindMembers(const SetIntent* intent, const char (*names)[kNameSize], int* found) {
  for (int i = 0; i < intent->count; ++i) {
    dword size = 0;
    found[i] = Inspect(names[i], &size) == kFile && size == intent->size[i];
  }
}

void SetFromIntent(const SetIntent* intent, const char (*names)[kNameSize], RecSet* set) {
  memset(set, 0, sizeof *set);
  set->count = intent->count;
  for (int i = 0; i < intent->count; ++i) {
    StrCopyBounded(set->name[i], kNameSize, names[i]);
    set->size[i] = intent->size[i];
  }
}

// One step of a rename or move being finished (back 0) or undone (back 1):
// member i of intent from its old name to its new one, or the other way.
using StepFn = int (*)(const SetIntent* intent, int i, bool back);

int RenameStepOf(const SetIntent* intent, int i, bool back) {
  return back ? RenameStep(intent->newName[i], intent->oldName[i])
              : RenameStep(intent->oldName[i], intent->newName[i]);
}

int MoveStepOf(const SetIntent* intent, int i, bool back) {
  return MoveStep(intent->oldName[i], i, back);
}

// Finishes a rename or move cut short. The steps ran member by member in
// order, so the members that stand under their new names (atNew) are the
// ones that went; a member that has not gone is still under its old name,
// while whatever stands under the old name of one that went is somebody
// else's (the firmware may have started a new buffer under it) and is never
// touched. Forward: each member not yet there goes, onto its name when that
// is free (freeNew) and its old name holds a file (hasOld). When one cannot,
// the members that went come back, each onto its old name when that is free
// (freeOld). The current folder is the one the steps run from.
int FinishSteps(const SetIntent* intent, int* atNew, const int* hasOld, const int* freeNew,
                int* freeOld, StepFn step) {
  bool forward = true;
  for (int i = 0; i < intent->count && forward; ++i) {
    if (atNew[i] || !hasOld[i]) continue;  // went, or is gone altogether
    forward = freeNew[i] && step(intent, i, false) == 1;
    if (forward) atNew[i] = freeOld[i] = 1;  // and its old name is free again
  }
  bool any = false;
  for (int i = intent->count - 1; i >= 0; --i) {
    if (!forward && atNew[i] && freeOld[i] && step(intent, i, true)) atNew[i] = 0;
    any = any || atNew[i];
  }
  if (forward) return RECOVER_DONE;
  // A member that can go neither way: nothing more can be done without
  // overwriting somebody's file, so the record goes and the set stays.
  return any ? RECOVER_GIVEN_UP : RECOVER_UNDONE;
}

int RecoverRename(const SetIntent* intent) {
  if (!HDD_TAP_EnterDir(intent->folder)) return RECOVER_LEFT;
  int atNew[kIntentMembers], hasOld[kIntentMembers], freeNew[kIntentMembers],
      freeOld[kIntentMembers];
  FindMembers(intent, intent->newName, atNew);
  for (int i = 0; i < intent->count; ++i) {
    hasOld[i] = TAP_Hdd_Exist(intent->oldName[i]) != 0;
    freeOld[i] = !hasOld[i];
    freeNew[i] = TAP_Hdd_Exist(intent->newName[i]) == 0;
  }
  int result = FinishSteps(intent, atNew, hasOld, freeNew, freeOld, RenameStepOf);
  HDD_TAP_PopDir();
  return result;
}

int RecoverMove(const SetIntent* intent) {
  int atNew[kIntentMembers], hasOld[kIntentMembers], freeNew[kIntentMembers],
      freeOld[kIntentMembers];
  if (!HDD_TAP_EnterDir(intent->to)) return RECOVER_LEFT;
  FindMembers(intent, intent->newName, atNew);
  for (int i = 0; i < intent->count; ++i) freeNew[i] = TAP_Hdd_Exist(intent->newName[i]) == 0;
  HDD_TAP_PopDir();
  if (!HDD_TAP_EnterDir(intent->folder)) return RECOVER_LEFT;
  for (int i = 0; i < intent->count; ++i) {
    hasOld[i] = TAP_Hdd_Exist(intent->oldName[i]) != 0;
    freeOld[i] = !hasOld[i];
  }
  RecSet from, to;
  SetFromIntent(intent, intent->oldName, &from);
  SetFromIntent(intent, intent->newName, &to);
  int result = RECOVER_LEFT;
  if (PlanMove(&from, intent->folder, &to, intent->to))
    result = FinishSteps(intent, atNew, hasOld, freeNew, freeOld, MoveStepOf);
  HDD_TAP_PopDir();
  return result;
}

int RecoverDelete(const SetIntent* intent) {
  if (!HDD_TAP_EnterDir(intent->folder)) return RECOVER_LEFT;
  int present[kIntentMembers];
  FindMembers(intent, intent->oldName, present);
  // The steps run in order, so the last member that is gone is the one that
  // may stand under the temporary name: a file there is the plug-in's only
  // when it has that member's length; any other is somebody's.
  int lastGone = -1;
  for (int i = 0; i < intent->count; ++i)
    if (!present[i]) lastGone = i;
  const char* temp = intent->newName[0];
  int result = RECOVER_DONE;
  if (lastGone < 0) {
    result = RECOVER_UNDONE;  // nothing had begun: the next pass decides anew
  } else {
    dword size = 0;
    if (Inspect(temp, &size) == kFile && size == intent->size[lastGone]) {
      TAP_Hdd_Delete(temp);
      // A delete that fails gives the member its name back; the next pass
      // finds what is left of the set expired and tries again.
      if (TAP_Hdd_Exist(temp))
        result = RenameStep(temp, intent->oldName[lastGone]) ? RECOVER_GIVEN_UP : RECOVER_LEFT;
    }
    // The record's temporary name while it is free, so that a step cut
    // short again is found again.
    char freeTemp[kNameSize];
    StrCopyBounded(freeTemp, sizeof freeTemp, temp);
    for (int i = 0; i < intent->count && result == RECOVER_DONE; ++i) {
      if (!present[i]) continue;
      if (HDD_isFileRecorded(intent->oldName[i]) ||
          (TAP_Hdd_Exist(freeTemp) && !FreeTempName(freeTemp))) {
        result = RECOVER_LEFT;
        break;
      }
      StopUser(intent->oldName[i]);
      int step = DeleteStep(intent->oldName[i], freeTemp);
      if (step != 1) result = step == 0 ? RECOVER_GIVEN_UP : RECOVER_LEFT;
    }
  }
  HDD_TAP_PopDir();
  return result;
}

}  // namespace

void HDD_NoteFolder(const char* name) {
  if (!FitsName(name) || SeenAsFolder(name)) return;
  const char* const ends[] = {".inf", ".nav"};
  bool companionLike = false;
  for (const char* end : ends) companionLike = companionLike || StringEndsWithAnyCase(name, end);
  if (!companionLike) return;
  if (!SeenKey(name, SeenFolders[SeenFolderNext])) return;
  SeenFolderNext = (SeenFolderNext + 1) % kSeenFolders;
}

int HDD_IsFolder(const char* name) {
  if (!FitsName(name) || TAP_Hdd_Exist(name) == 0) return 0;
  // A folder is what can be entered, or what a folder scan listed as one.
  // When the plug-in cannot tell, or cannot get back to where it stood, the
  // name counts as a folder, so that nothing is done with it.
  return EnterTest(name) != 0 || SeenAsFolder(name) ? 1 : 0;
}

int HDD_RenameFile(const char* oldName, const char* newName) {
  if (!FitsName(oldName) || !FitsName(newName)) return 0;
  if (Inspect(oldName, nullptr) != kFile) return 0;
  return RenameStep(oldName, newName);
}

int HDD_RenameSet(const char* oldName, char* newName, int withCompanions) {
  if (!FitsName(oldName) || !FitsName(newName)) return 0;
  RecSet set;
  if (!GatherSet(oldName, withCompanions != 0, &set)) return 0;

  char target[kUniqueSize];
  StrCopyBounded(target, sizeof target, newName);
  MakeUniqueName(target, SetTaken);
  RecSet dest;
  // Every name of the set must fit before anything is renamed.
  if (!RenamedSet(&set, target, &dest)) return 0;

  char folder[200];
  folder[0] = 0;
  if (HDD_TAP_GetCurrentDir(folder) != 0 || folder[0] == 0) return 0;
  SetIntent intent;
  FillIntent(&intent, INTENT_RENAME, folder, "", &set, &dest);
  if (!IntentWrite(&intent) || !HDD_TAP_IsCurrentDir(folder)) return 0;
  int result = RenameMembers(&set, &dest);
  if (result >= 0) IntentClear();
  if (result != 1) return 0;
  StrCopyBounded(newName, kNameSize, target);
  return 1;
}

int HDD_Rename(const char* oldName, char* newName) {
  // Renaming a companion or a name with the deletion suffix renames that one
  // file; a stream takes its companions along.
  return HDD_RenameSet(oldName, newName, IsStreamName(oldName));
}

int HDD_Move(const char* fileName, const char* fromFolder, const char* toFolder) {
  if (!fileName || !fromFolder || !toFolder) return 0;
  // A file name names a file inside fromFolder: a "/" in it would reach
  // other folders, and "." and ".." are folders themselves.
  if (!FitsName(fileName) || strchr(fileName, '/')) return 0;
  if (strcmp(fileName, ".") == 0 || strcmp(fileName, "..") == 0) return 0;

  if (!HDD_TAP_EnterDir(fromFolder)) return 0;
  int result = MoveFromHere(fileName, fromFolder, toFolder);
  HDD_TAP_PopDir();
  return result;
}

int HDD_Delete(const char* fileName) {
  if (!FitsName(fileName)) return 0;
  RecSet set;
  if (!GatherSet(fileName, IsStreamName(fileName), &set)) return 0;
  char temp[kNameSize];
  if (!FreeTempName(temp)) return 0;
  char folder[200];
  folder[0] = 0;
  if (HDD_TAP_GetCurrentDir(folder) != 0 || folder[0] == 0) return 0;

  // Only now that the set can go is what uses it stopped.
  StopUser(fileName);

  // The record lets a start after a power failure finish the delete. Without
  // it (the plug-in's folder cannot be written) the delete goes on all the
  // same: a cut then leaves at worst the stream, which the next pass finds
  // expired, or the temporary name, which stays as somebody's.
  RecSet temps;
  memset(&temps, 0, sizeof temps);
  for (int i = 0; i < set.count; ++i) StrCopyBounded(temps.name[i], kNameSize, temp);
  SetIntent intent;
  FillIntent(&intent, INTENT_DELETE, folder, "", &set, &temps);
  int recorded = IntentWrite(&intent);
  if (!HDD_TAP_IsCurrentDir(folder)) return 0;
  int result = DeleteMembers(&set, temp);
  // A file left under the temporary name keeps the record, so that the next
  // pass finishes it.
  if (recorded && result >= 0) IntentClear();
  return result == 1 ? 1 : 0;
}

int HDD_RecoverSetOperation(char* name) {
  SetIntent intent;
  int found = IntentRead(&intent);
  if (found < 0) return RECOVER_UNREADABLE;
  if (found == 0) return RECOVER_NONE;
  if (name) StrCopyBounded(name, kNameSize, intent.oldName[intent.count - 1]);
  int result = RECOVER_LEFT;
  switch (intent.kind) {
    case INTENT_RENAME:
      result = RecoverRename(&intent);
      break;
    case INTENT_MOVE:
      result = RecoverMove(&intent);
      break;
    default:
      result = RecoverDelete(&intent);
      break;
  }
  if (result != RECOVER_LEFT && !IntentClear()) result = RECOVER_LEFT;
  return result;
}

int HDD_isFileInUse(const char* fileName) {
  if (!fileName) return 0;
  char name[kNameSize];

  TYPE_PlayInfo play;
  memset(&play, 0, sizeof play);
  TAP_Hdd_GetPlayInfo(&play);
  if (play.playMode != 0 && play.totalBlock != 0) {
    const TYPE_FileRecord* file = static_cast<const TYPE_FileRecord*>(PtrFromWord(play.fileWord));
    if (file) {
      RecordName(file->name, sizeof file->name, name);
      if (strcmp(name, fileName) == 0) return play.playMode == 5 ? 2 : 1;
    }
  }
  return SlotRecording(fileName, false);
}

void HDD_RecordedName(const char* name, size_t capacity, char* out) {
  RecordName(name, capacity, out);
}

int HDD_isFileRecorded(const char* fileName) {
  if (!fileName) return 0;
  return SlotRecording(fileName, true);
}

dword HDD_NumberOfRECSlots(void) {
  SettleSlots();
  return MaxRecStreams;
}

dword HDD_TimeshiftSlot(void) {
  if (SlotsFrom != SLOTS_GUESSED) return MaxRecStreams;  // asked on every idle step
  SettleSlots();
  if (SlotsFrom == SLOTS_GUESSED) ProbeSlots(kProbeSlots);
  return MaxRecStreams;
}
