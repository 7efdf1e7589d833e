// The intent record of a set operation, in the plug-in's own folder.
//
// The record is one block written by one write call: "BRI1", the kind, the
// member count, the folder, the target folder, then per member its old name,
// its new name and its length, and last a checksum of all that comes before
// it. Texts are a length byte and the bytes. A record that a cut left half
// written (or empty, when the cut fell between its creation and its write)
// fails the length or the checksum test and is never acted on.
#include "lib/intent.h"

#include <string.h>

#include "lib/dir_stack.h"

namespace {

const char kOwnFolder[] = "/ProgramFiles/Settings/Brantlow";
const char kParentFolder[] = "/ProgramFiles/Settings";
const char kOwnFolderName[] = "Brantlow";
const char kRecordName[] = "Brantlow.intent";
const byte kMagic[4] = {'B', 'R', 'I', '1'};

constexpr size_t kHeader = sizeof kMagic + 2;
constexpr size_t kChecksum = 4;
// Two folders and three pairs of names with their lengths, each text with
// its length byte.
constexpr size_t kRecordMax =
    kHeader + 2 * kIntentFolderSize + kIntentMembers * (2 * kIntentNameSize + 4) + kChecksum;

byte Record[kRecordMax];

// FNV-1a over the record's bytes.
dword Checksum(const byte* p, size_t n) {
  dword h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

void PutWord(byte* p, dword v) {
  for (int i = 0; i < 4; ++i) p[i] = byte(v >> (8 * i));
}

dword GetWord(const byte* p) {
  return dword(p[0]) | dword(p[1]) << 8 | dword(p[2]) << 16 | dword(p[3]) << 24;
}

// Appends text (shorter than cap) as a length byte and its bytes.
bool PutText(size_t* at, const char* text, size_t cap) {
  size_t n = strnlen(text, cap);
  if (n >= cap || *at + 1 + n > kRecordMax - kChecksum) return false;
  Record[(*at)++] = byte(n);
  memcpy(Record + *at, text, n);
  *at += n;
  return true;
}

// Reads a text of fewer than cap bytes into out; false when the record ends
// first or the text holds a zero byte.
bool GetText(size_t* at, size_t end, char* out, size_t cap) {
  if (*at >= end) return false;
  size_t n = Record[(*at)++];
  if (n >= cap || *at + n > end) return false;
  memcpy(out, Record + *at, n);
  out[n] = 0;
  if (strlen(out) != n) return false;
  *at += n;
  return true;
}

size_t Encode(const SetIntent* in) {
  if (in->kind < INTENT_RENAME || in->kind > INTENT_DELETE || in->count < 1 ||
      in->count > kIntentMembers)
    return 0;
  memcpy(Record, kMagic, sizeof kMagic);
  Record[4] = in->kind;
  Record[5] = in->count;
  size_t at = kHeader;
  if (!PutText(&at, in->folder, kIntentFolderSize) || !PutText(&at, in->to, kIntentFolderSize))
    return 0;
  for (int i = 0; i < in->count; ++i) {
    if (!PutText(&at, in->oldName[i], kIntentNameSize) ||
        !PutText(&at, in->newName[i], kIntentNameSize) || at + 4 > kRecordMax - kChecksum)
      return 0;
    PutWord(Record + at, in->size[i]);
    at += 4;
  }
  PutWord(Record + at, Checksum(Record, at));
  return at + kChecksum;
}

bool Decode(size_t length, SetIntent* out) {
  if (length < kHeader + kChecksum || length > kRecordMax) return false;
  const size_t end = length - kChecksum;
  if (GetWord(Record + end) != Checksum(Record, end)) return false;
  if (memcmp(Record, kMagic, sizeof kMagic) != 0) return false;
  memset(out, 0, sizeof *out);
  out->kind = Record[4];
  out->count = Record[5];
  if (out->kind < INTENT_RENAME || out->kind > INTENT_DELETE || out->count < 1 ||
      out->count > kIntentMembers)
    return false;
  size_t at = kHeader;
  if (!GetText(&at, end, out->folder, sizeof out->folder) ||
      !GetText(&at, end, out->to, sizeof out->to) || out->folder[0] == 0)
    return false;
  for (int i = 0; i < out->count; ++i) {
    if (!GetText(&at, end, out->oldName[i], kIntentNameSize) ||
        !GetText(&at, end, out->newName[i], kIntentNameSize) || at + 4 > end ||
        out->oldName[i][0] == 0 || out->newName[i][0] == 0)
      return false;
    out->size[i] = GetWord(Record + at);
    at += 4;
  }
  return at == end;
}

// Pushes the current folder and enters the plug-in's own folder, made first
// when make is set and it is missing. 1 when entered (one pop owed).
int EnterOwnFolder(bool make) {
  if (HDD_TAP_EnterDir(kOwnFolder)) return 1;
  if (!make || !HDD_TAP_EnterDir(kParentFolder)) return 0;
  if (!TAP_Hdd_Exist(kOwnFolderName)) TAP_Hdd_Create(kOwnFolderName, ATTR_FOLDER);
  if (HDD_ChangeDir(kOwnFolderName) && HDD_TAP_IsCurrentDir(kOwnFolder)) return 1;
  HDD_TAP_PopDir();
  return 0;
}

// 1 when the plug-in's own folder is missing: then there is no record.
int OwnFolderMissing() {
  if (!HDD_TAP_EnterDir(kParentFolder)) return 0;
  int missing = TAP_Hdd_Exist(kOwnFolderName) == 0;
  HDD_TAP_PopDir();
  return missing;
}

}  // namespace

int IntentWrite(const SetIntent* intent) {
  size_t length = intent ? Encode(intent) : 0;
  if (length == 0 || !EnterOwnFolder(true)) return 0;
  int written = 0;
  if (!TAP_Hdd_Exist(kRecordName)) {
    TAP_Hdd_Create(kRecordName, ATTR_NORMAL);
    TYPE_File* file = TAP_Hdd_Fopen(kRecordName);
    if (file) {
      written = TAP_Hdd_Fwrite(Record, dword(length), 1, file) == 1 &&
                TAP_Hdd_Flen(file) == dword(length);
      TAP_Hdd_Fclose(file);
    }
    // A record that is not whole is none: it must not stay to block the next.
    if (!written) TAP_Hdd_Delete(kRecordName);
  }
  HDD_TAP_PopDir();
  return written;
}

int IntentRead(SetIntent* intent) {
  if (!EnterOwnFolder(false)) return OwnFolderMissing() ? 0 : -1;
  int result = 0;
  if (TAP_Hdd_Exist(kRecordName)) {
    result = -1;
    if (TYPE_File* file = TAP_Hdd_Fopen(kRecordName)) {
      dword length = TAP_Hdd_Flen(file);
      bool fits = length > 0 && length <= kRecordMax;
      bool read = fits && TAP_Hdd_Fread(Record, length, 1, file) == 1;
      TAP_Hdd_Fclose(file);
      if (read && Decode(length, intent)) {
        result = 1;
      } else if (read || !fits) {
        // Not a whole record: what a cut during its writing leaves.
        TAP_Hdd_Delete(kRecordName);
        result = TAP_Hdd_Exist(kRecordName) ? -1 : 0;
      }
    }
  }
  HDD_TAP_PopDir();
  return result;
}

int IntentClear(void) {
  if (!EnterOwnFolder(false)) return OwnFolderMissing();
  TAP_Hdd_Delete(kRecordName);
  int gone = TAP_Hdd_Exist(kRecordName) == 0;
  HDD_TAP_PopDir();
  return gone;
}
