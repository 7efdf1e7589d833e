// The receiver firmware's plug-in API as the plug-in sees it: basic types,
// event and key codes, the records the firmware fills, and every call the
// plug-in makes. On the receiver these calls live in the firmware's libtap.so;
// on the host the simulated receiver (sim/) provides the same library.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint8_t byte;
typedef uint16_t word;
typedef uint32_t dword;

// Symbols the firmware resolves by name in the plug-in file.
#define TAP_EXPORT __attribute__((visibility("default")))

// ---------------------------------------------------------------------------
// Events (low 16 bits of the handler's first argument)
enum : dword {
  EVT_IDLE = 0x0000,
  EVT_KEY = 0x0100,
  EVT_UART = 0x0900,  // handled like the idle event
  EVT_TAPCMD = 0x0B00,
};

// Remote-control key codes (param1 of EVT_KEY)
enum : dword {
  RKEY_Ok = 0x1001E,
  RKEY_Exit = 0x10017,
  RKEY_Left = 0x1000F,
  RKEY_Right = 0x10015,
};

// System variables the plug-in reads or sets
enum : int {
  SYSVAR_OsdLan = 1,
  SYSVAR_Timeshift = 17,
  SYSVAR_TimeshiftStorage = 18,
};

// Attributes of TAP_Hdd_Create
enum : byte {
  ATTR_FOLDER = 224,
  ATTR_NORMAL = 208,
};

// ---------------------------------------------------------------------------
// Records filled by the firmware. Only the fields named here are read; the
// rest belongs to the firmware. Pointers that the firmware stores in a
// record are 32-bit words (the receiver is a 32-bit machine); read them with
// PtrFromWord.

// Recording slot (TAP_Hdd_GetRecInfo): 148 bytes.
struct TYPE_RecInfo {
  byte recType;  // 0 idle, 2 timeshift, other values other recordings
  byte reserved1[19];
  char fileName[128];  // name of the recorded file, empty when idle
};
static_assert(sizeof(TYPE_RecInfo) == 148, "rec info is 148 bytes");
static_assert(offsetof(TYPE_RecInfo, recType) == 0, "kind at byte 0");
static_assert(offsetof(TYPE_RecInfo, fileName) == 20, "name at byte 20");

// Playback state (TAP_Hdd_GetPlayInfo): 312 bytes.
struct TYPE_PlayInfo {
  byte playMode;  // 0 nothing plays
  byte reserved1[15];
  dword totalBlock;  // non-zero when the record names a file
  dword fileWord;    // 32-bit pointer to the played file's TYPE_File record
  byte reserved2[288];
};
static_assert(sizeof(TYPE_PlayInfo) == 312, "play info is 312 bytes");
static_assert(offsetof(TYPE_PlayInfo, totalBlock) == 16, "file word at byte 16");
static_assert(offsetof(TYPE_PlayInfo, fileWord) == 20, "file pointer at byte 20");

// The firmware's record of an open or played file; the name starts at byte 16.
struct TYPE_FileRecord {
  byte reserved1[16];
  char name[128];
};
static_assert(offsetof(TYPE_FileRecord, name) == 16, "file record name at byte 16");

// Handle returned by TAP_Hdd_Fopen; the plug-in never looks inside.
struct TYPE_File;

// Folder entry (TAP_Hdd_FindFirst / TAP_Hdd_FindNext): 152 bytes.
struct TYPE_FolderEntry {
  dword attr;      // attribute, trace only
  dword info;      // shown as "info" in the trace
  dword dateTime;  // packed date-time: MJD << 16 | hour << 8 | minute
  byte reserved1[12];
  char name[128];
};
static_assert(sizeof(TYPE_FolderEntry) == 152, "folder entry is 152 bytes");
static_assert(offsetof(TYPE_FolderEntry, attr) == 0, "attribute at byte 0");
static_assert(offsetof(TYPE_FolderEntry, info) == 4, "info word at byte 4");
static_assert(offsetof(TYPE_FolderEntry, dateTime) == 8, "date word at byte 8");
static_assert(offsetof(TYPE_FolderEntry, name) == 24, "name at byte 24");

// Channel information (TAP_Channel_GetInfo): the plug-in reserves 80 bytes.
struct TYPE_ChInfo {
  byte reserved1[16];
  char chName[64];
};
static_assert(sizeof(TYPE_ChInfo) == 80, "channel info is 80 bytes");
static_assert(offsetof(TYPE_ChInfo, chName) == 16, "service name at byte 16");

// Current event of a channel (TAP_GetCurrentEvent).
struct TYPE_TapEvent {
  word evtId;  // non-zero when the record is valid
  byte reserved1[13];
  char eventName[128];
  char description[256];
};
static_assert(offsetof(TYPE_TapEvent, evtId) == 0, "event id at byte 0");
static_assert(offsetof(TYPE_TapEvent, eventName) == 15, "event name at byte 15");
static_assert(offsetof(TYPE_TapEvent, description) == 143, "description at byte 143");

// Entry of the firmware's plug-in table "_tapTask": 44 bytes.
struct TYPE_TapTaskEntry {
  byte reserved1[40];
  dword folderWord;  // 32-bit pointer to TYPE_TapFolder, may be 0
};
static_assert(sizeof(TYPE_TapTaskEntry) == 44, "plug-in table entry is 44 bytes");
static_assert(offsetof(TYPE_TapTaskEntry, folderWord) == 40, "folder record at byte 40");

// A plug-in's folder record: the word at byte 4 points to the current
// folder's full Linux path ("/mnt/hd/ProgramFiles"), may be 0.
struct TYPE_TapFolder {
  dword reserved1;
  dword pathWord;
};
static_assert(offsetof(TYPE_TapFolder, pathWord) == 4, "path pointer at byte 4");

// Entry of the firmware's region table "_osdInfo": 16 bytes, indexed by handle.
struct TYPE_OsdInfoEntry {
  dword reserved1;
  word width;
  word height;
  dword reserved2[2];
};
static_assert(sizeof(TYPE_OsdInfoEntry) == 16, "region table entry is 16 bytes");
static_assert(offsetof(TYPE_OsdInfoEntry, width) == 4, "width at byte 4");
static_assert(offsetof(TYPE_OsdInfoEntry, height) == 6, "height at byte 6");

// Graphic descriptor read by TAP_Osd_PutGd: 16 bytes on the receiver.
struct TYPE_GrData {
  byte version;         // 1
  byte reserved;        // 0
  byte dataFormat;      // 0
  byte compressMethod;  // 2
  const byte* data;     // compressed image
  dword size;           // unpacked size in bytes
  word width;
  word height;
};
static_assert(sizeof(void*) != 4 || sizeof(TYPE_GrData) == 16, "graphic descriptor is 16 bytes");

// A pointer the firmware stores in a 32-bit word of one of its records.
static inline const void* PtrFromWord(dword w) {
  return (const void*)(uintptr_t)w;
}

// The start record handed to __TAP_Init_: the two code addresses.
typedef int (*TAP_MainFn)(void);
typedef dword (*TAP_EventHandlerFn)(dword event, dword param1, dword param2);
struct TYPE_TapStart {
  TAP_MainFn main;
  TAP_EventHandlerFn eventHandler;
};

// Identification block: six records, each in an ELF section of its own.
#define TAP_ID_SECTIONS                                                                        \
  "._tap_etcinfo", "._tap_description", "._tap_author_name", "._tap_program_name", "._tap_id", \
      "._tap_header"
struct TYPE_TapHeader {
  char magic[8];  // "TFAPMIPS", no terminator
  dword version;  // 16
  byte reserved[20];
};
static_assert(sizeof(TYPE_TapHeader) == 32, "header record is 32 bytes");
enum : dword { TAP_ID_BRANTLOW = 0x80480889, TAP_HEADER_VERSION = 16 };

// ---------------------------------------------------------------------------
// The firmware API
#ifdef __cplusplus
extern "C" {
#endif

// Life
void TAP_Exit(void);
int TAP_GetState(dword* state, dword* subState);
void TAP_ExitNormal(void);
void TAP_EnterNormal(void);
dword TAP_GetSystemId(void);
dword TAP_GetVersion(void);

// Settings
int TAP_GetSystemVar(int varId);
int TAP_SetSystemVar(int varId, int value);
int TAP_WriteSystemVar(void);

// Recording and playback
int TAP_Hdd_GetRecInfo(byte slot, TYPE_RecInfo* recInfo);
int TAP_Hdd_GetPlayInfo(TYPE_PlayInfo* playInfo);
int TAP_Hdd_StopRecord(byte slot);
int TAP_Hdd_StopTs(void);
int TAP_Hdd_StopMp3(void);

// Programme
int TAP_Channel_GetCurrent(int* svcType, int* svcNum);
TYPE_TapEvent* TAP_GetCurrentEvent(int svcType, int svcNum);
int TAP_Channel_GetInfo(int svcType, int svcNum, void* chInfo);

// Files and folders, relative to the plug-in's current folder
dword TAP_Hdd_ChangeDir(const char* dir);
int TAP_Hdd_Exist(const char* name);
dword TAP_Hdd_Create(const char* name, byte attr);
dword TAP_Hdd_Delete(const char* name);
dword TAP_Hdd_Rename(const char* oldName, const char* newName);
dword TAP_Hdd_FindFirst(TYPE_FolderEntry* entry, const char* ext);
dword TAP_Hdd_FindNext(TYPE_FolderEntry* entry);
TYPE_File* TAP_Hdd_Fopen(const char* name);
dword TAP_Hdd_Flen(TYPE_File* file);
dword TAP_Hdd_Fread(void* buf, dword blockSize, dword blockCount, TYPE_File* file);
dword TAP_Hdd_Fwrite(const void* buf, dword blockSize, dword blockCount, TYPE_File* file);
dword TAP_Hdd_Fseek(TYPE_File* file, long offset, long origin);
void TAP_Hdd_Fclose(TYPE_File* file);

// Time: 100 ticks a second
dword TAP_GetTick(void);
dword TAP_DiffTick(dword tickStart, dword tickEnd);  // tickEnd - tickStart
int TAP_GetTime(word* mjd, byte* hour, byte* min, byte* sec);
void TAP_ExtractMjd(word mjd, word* year, byte* month, byte* day, byte* weekDay);
void TAP_Delay(dword ticks);
void TAP_Sleep(dword ticks);

// Screen
int TAP_Osd_Create(dword x, dword y, dword w, dword h, byte lutIdx, int flag);
int TAP_Osd_Delete(word rgn);
int TAP_Osd_Sync(void);
int TAP_Osd_FillBox(word rgn, dword x, dword y, dword w, dword h, dword color);
int TAP_Osd_Draw3dBoxFill(word rgn, dword x, dword y, dword w, dword h, dword c1, dword c2,
                          dword fc);
int TAP_Osd_PutS(word rgn, dword x, dword y, dword maxX, const char* str, dword fcolor,
                 dword bcolor, byte fntType, byte fntSize, byte bDot, byte align);
int TAP_Osd_PutGd(word rgn, int x, int y, const TYPE_GrData* gd, int sprite);
dword TAP_Osd_GetW(const char* str, byte fntType, byte fntSize);
int TAP_Osd_Copy(word srcRgn, word dstRgn, dword srcX, dword srcY, dword w, dword h, dword dstX,
                 dword dstY, int sprite);

// Memory and text
void* TAP_MemAlloc(dword size);
int TAP_MemFree(const void* addr);
void TAP_MemSet(void* dst, byte value, dword count);
void TAP_SPrint(char* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void TAP_Print(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
}
#endif
