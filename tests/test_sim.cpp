// The simulated receiver's own promises: every other test stands on them.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <functional>

#include "app/expiry.h"
#include "app/saving.h"
#include "platform/tap.h"
#include "sim/loader/plugin_loader.h"
#include "tests/support/sim_fixture.h"

namespace {

std::vector<std::string> gEvents;  // "kind:text" reported to the observer
void Record(const char* kind, const char* text) {
  gEvents.push_back(std::string(kind) + ":" + text);
}

// The plug-in's current folder as the plug-in reads it from the firmware's
// plug-in table (the full Linux path).
std::string FolderFromTable() {
  void* self = dlopen(nullptr, RTLD_LAZY | RTLD_GLOBAL);
  const TYPE_TapTaskEntry* table = static_cast<const TYPE_TapTaskEntry*>(dlsym(self, "_tapTask"));
  const dword* index = static_cast<const dword*>(dlsym(self, "_curTapTask"));
  dlclose(self);
  if (!table || !index) return "<no table>";
  const auto* folder = static_cast<const TYPE_TapFolder*>(PtrFromWord(table[*index].folderWord));
  if (!folder) return "<no folder>";
  const char* path = static_cast<const char*>(PtrFromWord(folder->pathWord));
  return path ? path : "<no path>";
}

uint32_t Packed(int mjd, int hour, int min) {
  return uint32_t(mjd) << 16 | hour << 8 | min;
}

}  // namespace

// ---------------------------------------------------------------------------
// Folders and the current folder

TEST_F(SimTest, PowerOnDiskAndCurrentFolderInTheTable) {
  for (const char* f :
       {"/ProgramFiles", "/ProgramFiles/Settings", "/DataFiles", "/DataFiles/TimeShift"})
    EXPECT_EQ(1, sim_exists(f)) << f;
  void* self = dlopen(nullptr, RTLD_LAZY);
  const dword* index = static_cast<const dword*>(dlsym(self, "_curTapTask"));
  const TYPE_TapTaskEntry* table = static_cast<const TYPE_TapTaskEntry*>(dlsym(self, "_tapTask"));
  dlclose(self);
  ASSERT_NE(nullptr, index);
  ASSERT_NE(nullptr, table);
  EXPECT_NE(0u, *index);  // index mistakes must show
  EXPECT_EQ(0u, table[0].folderWord);
  EXPECT_EQ("/mnt/hd/ProgramFiles", FolderFromTable());
  // Dated by the receiver's clock, also the folders a folder was made in.
  char list[256];
  sim_list_folder("/", list, sizeof list);
  EXPECT_STREQ("DataFiles 0 2026-12-08 20:00\nProgramFiles 0 2026-12-08 20:00\n", list);

  EXPECT_EQ(0u, TAP_Hdd_ChangeDir("Settings"));
  EXPECT_EQ("/mnt/hd/ProgramFiles/Settings", FolderFromTable());
  EXPECT_EQ(0u, TAP_Hdd_ChangeDir("../../DataFiles/./TimeShift/"));
  EXPECT_EQ("/mnt/hd/DataFiles/TimeShift", FolderFromTable());
  EXPECT_EQ(0u, TAP_Hdd_ChangeDir("/"));
  EXPECT_EQ("/mnt/hd/", FolderFromTable());
}

TEST_F(SimTest, TheDiskMarkerIsTheSimulatorsAndNoneOfTheReceivers) {
  struct stat st;
  ASSERT_EQ(0, lstat((disk + "/.tapsim-disk").c_str(), &st));
  char list[512];
  EXPECT_EQ(2, sim_list_folder("/", list, sizeof list)) << list;
  ASSERT_EQ(0u, TAP_Hdd_ChangeDir("/"));
  TYPE_FolderEntry e;
  EXPECT_EQ(2u, TAP_Hdd_FindFirst(&e, nullptr));
  EXPECT_EQ(0, TAP_Hdd_Exist(".tapsim-disk"));
  EXPECT_NE(0u, TAP_Hdd_Delete(".tapsim-disk"));
  EXPECT_NE(0u, TAP_Hdd_Rename(".tapsim-disk", "x"));
  EXPECT_EQ(0, sim_write_file("/.tapsim-disk", "x", 1));
  EXPECT_NE(0, system("mv /mnt/hd/.tapsim-disk /mnt/hd/DataFiles"));
  EXPECT_NE(0, system("mv /mnt/hd/DataFiles/TimeShift /mnt/hd/.tapsim-disk"));
  // A marked folder is the simulator's to empty again.
  WriteText("/DataFiles/left.rec", "x");
  ASSERT_EQ(1, sim_init(disk.c_str())) << sim_disk_error();
  EXPECT_EQ(0, sim_exists("/DataFiles/left.rec"));
  EXPECT_EQ(0, lstat((disk + "/.tapsim-disk").c_str(), &st));
}

TEST_F(SimTest, ChangeDirFailuresKeepTheFolder) {
  WriteText("/ProgramFiles/plain.txt", "x");
  EXPECT_NE(0u, TAP_Hdd_ChangeDir(""));
  EXPECT_NE(0u, TAP_Hdd_ChangeDir("Missing"));
  EXPECT_NE(0u, TAP_Hdd_ChangeDir("plain.txt"));
  EXPECT_EQ("/mnt/hd/ProgramFiles", FolderFromTable());
  EXPECT_EQ(1, TAP_Hdd_Exist("plain.txt"));
}

TEST_F(SimTest, DotDotNeverLeavesTheSandbox) {
  const std::string outside = disk + "/../sim-escape.txt";
  unlink(outside.c_str());
  ASSERT_EQ(0u, TAP_Hdd_ChangeDir("/"));
  EXPECT_NE(0u, TAP_Hdd_ChangeDir(".."));
  EXPECT_NE(0u, TAP_Hdd_ChangeDir("/DataFiles/../../tmp"));
  EXPECT_EQ("/mnt/hd/", FolderFromTable());
  EXPECT_NE(0u, TAP_Hdd_Create("../sim-escape.txt", ATTR_NORMAL));
  EXPECT_EQ(nullptr, TAP_Hdd_Fopen("../sim-escape.txt"));
  EXPECT_EQ(0, TAP_Hdd_Exist("../ProgramFiles"));
  char host[512];
  EXPECT_EQ(nullptr, sim_host_path("/DataFiles/../../x", host, sizeof host));
  EXPECT_EQ(0, sim_write_file("/../sim-escape.txt", "x", 1));
  struct stat st;
  EXPECT_NE(0, lstat(outside.c_str(), &st));
}

// ---------------------------------------------------------------------------
// Files

TEST_F(SimTest, CreateDeleteRenameWorkInTheCurrentFolder) {
  ASSERT_EQ(0u, TAP_Hdd_ChangeDir("/DataFiles"));
  EXPECT_EQ(0u, TAP_Hdd_Create("New", ATTR_FOLDER));
  EXPECT_EQ(1, sim_exists("/DataFiles/New"));
  WriteText("/DataFiles/a.rec", "keep");
  EXPECT_EQ(0u, TAP_Hdd_Create("a.rec", ATTR_NORMAL));  // left untouched
  EXPECT_EQ("keep", ReadText("/DataFiles/a.rec"));
  EXPECT_EQ(0u, TAP_Hdd_Create("b.rec", ATTR_NORMAL));
  EXPECT_EQ(0, sim_file_size("/DataFiles/b.rec"));

  EXPECT_NE(0u, TAP_Hdd_Rename("a.rec", "b.rec"));  // target exists: refused
  EXPECT_EQ("keep", ReadText("/DataFiles/a.rec"));
  EXPECT_EQ(0u, TAP_Hdd_Rename("a.rec", "c.rec"));
  EXPECT_EQ("keep", ReadText("/DataFiles/c.rec"));
  EXPECT_EQ(0, sim_exists("/DataFiles/a.rec"));
  EXPECT_NE(0u, TAP_Hdd_Rename("a.rec", "d.rec"));

  WriteText("/DataFiles/New/inner", "x");
  EXPECT_NE(0u, TAP_Hdd_Delete("New"));  // not empty
  EXPECT_EQ(0u, TAP_Hdd_Delete("New/inner"));
  EXPECT_EQ(0u, TAP_Hdd_Delete("New"));
  EXPECT_EQ(0, sim_exists("/DataFiles/New"));
  EXPECT_NE(0u, TAP_Hdd_Delete("New"));
}

TEST_F(SimTest, NamesAreStoredAsTheirBytes) {
  const char name[] = "K\xE4se \xB0.rec";
  ASSERT_EQ(0u, TAP_Hdd_Create(name, ATTR_NORMAL));
  struct stat st;
  EXPECT_EQ(0, lstat((disk + "/ProgramFiles/" + name).c_str(), &st));
  EXPECT_EQ(1, TAP_Hdd_Exist(name));
}

TEST_F(SimTest, ReadWriteSeekAndShortReads) {
  ASSERT_EQ(0u, TAP_Hdd_Create("f.bin", ATTR_NORMAL));
  TYPE_File* f = TAP_Hdd_Fopen("f.bin");
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(2u, TAP_Hdd_Fwrite("abcdef", 3, 2, f));
  TAP_Hdd_Fseek(f, 0, 2);
  EXPECT_EQ(1u, TAP_Hdd_Fwrite("gh", 2, 1, f));
  EXPECT_EQ(8u, TAP_Hdd_Flen(f));
  TAP_Hdd_Fseek(f, 2, 0);
  char buf[16] = {};
  EXPECT_EQ(0u, TAP_Hdd_Fread(buf, 10, 1, f));  // a short file: no whole block ...
  EXPECT_STREQ("cdefgh", buf);                  // ... but its bytes are there
  TAP_Hdd_Fseek(f, -3, 2);
  memset(buf, 0, sizeof buf);
  EXPECT_EQ(3u, TAP_Hdd_Fread(buf, 1, 3, f));
  EXPECT_STREQ("fgh", buf);
  TAP_Hdd_Fclose(f);
  EXPECT_EQ("abcdefgh", ReadText("/ProgramFiles/f.bin"));
  EXPECT_EQ(nullptr, TAP_Hdd_Fopen("missing.bin"));
  EXPECT_EQ(nullptr, TAP_Hdd_Fopen("Settings"));
}

TEST_F(SimTest, LogFilesAreCapturedLineByLine) {
  gEvents.clear();
  sim_set_observer(Record);
  ASSERT_EQ(0u, TAP_Hdd_Create("Brantlow.log", ATTR_NORMAL));
  ASSERT_EQ(0u, TAP_Hdd_Create("other.txt", ATTR_NORMAL));
  TYPE_File* f = TAP_Hdd_Fopen("Brantlow.log");
  TYPE_File* g = TAP_Hdd_Fopen("other.txt");
  ASSERT_NE(nullptr, f);
  ASSERT_NE(nullptr, g);
  TAP_Hdd_Fwrite("20:00 ", 6, 1, f);
  TAP_Hdd_Fwrite("first\r\n", 7, 1, f);
  TAP_Hdd_Fwrite("not a log line\r\n", 16, 1, g);
  TAP_Hdd_Fwrite("second\r\n\r\n", 10, 1, f);
  TAP_Hdd_Fclose(f);
  TAP_Hdd_Fclose(g);
  sim_set_observer(nullptr);
  EXPECT_STREQ("20:00 first\nsecond\n\n", sim_log_text());
  EXPECT_EQ(1, sim_log_contains("first"));
  EXPECT_EQ(0, sim_log_contains("not a log"));
  EXPECT_EQ((std::vector<std::string>{"log:20:00 first", "log:second", "log:"}), gEvents);
  EXPECT_EQ("20:00 first\r\nsecond\r\n\r\n", ReadText("/ProgramFiles/Brantlow.log"));
}

// ---------------------------------------------------------------------------
// Folder scans

TEST_F(SimTest, FolderEntriesAreSortedAndDatedByTheReceiverClock) {
  sim_set_clock(2026, 12, 6, 18, 30, 59);
  WriteText("/DataFiles/b.rec", "12345");
  sim_mkdir("/DataFiles/a");
  sim_set_clock(2026, 12, 8, 20, 0, 0);
  WriteText("/DataFiles/c.rec", "");
  ASSERT_EQ(1, sim_set_mtime("/DataFiles/c.rec", 2025, 3, 1, 7, 5, 0));
  ASSERT_EQ(0u, TAP_Hdd_ChangeDir("/DataFiles"));

  TYPE_FolderEntry e;
  memset(&e, 0xAB, sizeof e);
  // "TimeShift" sorts before the lower-case names (byte order).
  EXPECT_EQ(4u, TAP_Hdd_FindFirst(&e, nullptr));
  EXPECT_STREQ("TimeShift", e.name);
  EXPECT_EQ(224u, e.attr);
  EXPECT_EQ(0, e.reserved1[0]);
  ASSERT_EQ(1u, TAP_Hdd_FindNext(&e));
  EXPECT_STREQ("a", e.name);
  EXPECT_EQ(224u, e.attr);
  EXPECT_EQ(Packed(61380, 18, 30), e.dateTime);
  ASSERT_EQ(1u, TAP_Hdd_FindNext(&e));
  EXPECT_STREQ("b.rec", e.name);
  EXPECT_EQ(208u, e.attr);
  EXPECT_EQ(5u, e.info);
  EXPECT_EQ(Packed(61380, 18, 30), e.dateTime);
  ASSERT_EQ(1u, TAP_Hdd_FindNext(&e));
  EXPECT_STREQ("c.rec", e.name);
  EXPECT_EQ(Packed(60735, 7, 5), e.dateTime);  // 2025-03-01
  EXPECT_EQ(0u, TAP_Hdd_FindNext(&e));
}

TEST_F(SimTest, ScanPassesOverEntriesRemovedMeanwhile) {
  for (const char* n :
       {"/DataFiles/TimeShift/1", "/DataFiles/TimeShift/2", "/DataFiles/TimeShift/3"})
    WriteText(n, "x");
  ASSERT_EQ(0u, TAP_Hdd_ChangeDir("/DataFiles/TimeShift"));
  TYPE_FolderEntry e;
  EXPECT_EQ(3u, TAP_Hdd_FindFirst(&e, nullptr));
  EXPECT_STREQ("1", e.name);
  EXPECT_EQ(0u, TAP_Hdd_Delete("2"));
  EXPECT_EQ(0u, TAP_Hdd_ChangeDir("/"));  // the scan stays in its folder
  ASSERT_EQ(1u, TAP_Hdd_FindNext(&e));
  EXPECT_STREQ("3", e.name);
  EXPECT_EQ(0u, TAP_Hdd_FindNext(&e));
}

TEST_F(SimTest, ListFolderAndFirmwareDataFile) {
  ASSERT_EQ(1, sim_write_firmwaredat("/ProgramFiles/Settings", 0x1234, 4));
  unsigned char d[400] = {};
  ASSERT_EQ(20 + 348, sim_read_file("/ProgramFiles/Settings/FirmwareTMS.dat", d, sizeof d));
  EXPECT_EQ(0x78, d[0]);
  EXPECT_EQ(0x12, d[3]);
  EXPECT_EQ(0, d[8] | d[9] | d[10] | d[11]);
  EXPECT_EQ(1, d[12]);
  EXPECT_EQ(0x34, d[20]);
  EXPECT_EQ(0x12, d[21]);
  EXPECT_EQ(4, d[20 + 324]);
  char out[256];
  EXPECT_EQ(1, sim_list_folder("/ProgramFiles/Settings", out, sizeof out));
  EXPECT_STREQ("FirmwareTMS.dat 368 2026-12-08 20:00\n", out);
  EXPECT_EQ(-1, sim_list_folder("/Nowhere", out, sizeof out));
}

// ---------------------------------------------------------------------------
// 32-bit words of the firmware's records

TEST_F(SimTest, RecordsBehindWordsLiveInTheLow4GiB) {
  sim_play("/DataFiles/Film.rec", 0);
  TYPE_PlayInfo p;
  ASSERT_EQ(1, TAP_Hdd_GetPlayInfo(&p));
  EXPECT_EQ(1, p.playMode);
  EXPECT_NE(0u, p.totalBlock);
  const auto* rec = static_cast<const TYPE_FileRecord*>(PtrFromWord(p.fileWord));
  ASSERT_NE(nullptr, rec);
  EXPECT_STREQ("Film.rec", rec->name);
  TAP_Hdd_StopTs();
  EXPECT_EQ(1u, sim_stop_ts_calls());
  ASSERT_EQ(1, TAP_Hdd_GetPlayInfo(&p));
  EXPECT_EQ(0, p.playMode);
  EXPECT_EQ(0u, p.fileWord);
  // The folder record and its path text are reached the same way.
  EXPECT_EQ("/mnt/hd/ProgramFiles", FolderFromTable());
}

// ---------------------------------------------------------------------------
// Time

TEST_F(SimTest, VirtualClockAndTicks) {
  word mjd;
  byte h, m, s;
  TAP_GetTime(&mjd, &h, &m, &s);
  EXPECT_EQ(61382, mjd);  // 2026-12-08
  EXPECT_EQ(20, h);
  EXPECT_EQ(0, m);
  EXPECT_EQ(0u, TAP_GetTick());
  sim_advance(4 * 3600 * 100 + 150);  // past midnight, and a half second
  TAP_Delay(50);
  TAP_Sleep(100);
  EXPECT_EQ(4u * 3600 * 100 + 300, TAP_GetTick());
  TAP_GetTime(&mjd, &h, &m, &s);
  EXPECT_EQ(61383, mjd);
  EXPECT_EQ(0, h);
  EXPECT_EQ(3, s);
  sim_set_ticks(100);  // back: the clock follows
  TAP_GetTime(&mjd, &h, &m, &s);
  EXPECT_EQ(61382, mjd);
  EXPECT_EQ(20, h);
  EXPECT_EQ(1, s);
  EXPECT_EQ(10u, TAP_DiffTick(0xFFFFFFFBu, 5));
  sim_set_clock_unset();
  TAP_GetTime(&mjd, &h, &m, &s);
  EXPECT_EQ(0, mjd | h | m | s);
}

TEST_F(SimTest, ExtractMjdOverTheWholeRange) {
  struct Case {
    word mjd;
    int y, mo, d, wd;  // weekday 0 Sunday
  } cases[] = {{0, 1858, 11, 17, 3},    {40587, 1970, 1, 1, 4}, {60369, 2024, 2, 29, 4},
               {61382, 2026, 12, 8, 2}, {51544, 2000, 1, 1, 6}, {65535, 2038, 4, 22, 4}};
  for (const Case& c : cases) {
    word y;
    byte mo, d, wd;
    TAP_ExtractMjd(c.mjd, &y, &mo, &d, &wd);
    EXPECT_EQ(c.y, y) << c.mjd;
    EXPECT_EQ(c.mo, mo) << c.mjd;
    EXPECT_EQ(c.d, d) << c.mjd;
    EXPECT_EQ(c.wd, wd) << c.mjd;
  }
}

// ---------------------------------------------------------------------------
// Recorder

TEST_F(SimTest, TimeshiftBufferKeptWhenStorageIsOn) {
  sim_set_sysvar(SYSVAR_TimeshiftStorage, 1);
  sim_advance(90 * 100);  // 20:01:30
  sim_timeshift_start(nullptr);
  unsigned char raw[160];
  memset(raw, 0xEE, sizeof raw);
  ASSERT_EQ(1, TAP_Hdd_GetRecInfo(2, reinterpret_cast<TYPE_RecInfo*>(raw)));
  EXPECT_EQ(2, raw[0]);
  EXPECT_STREQ("Timeshift.rec", reinterpret_cast<char*>(raw + 20));
  EXPECT_EQ(0xEE, raw[148]);  // exactly 148 bytes
  EXPECT_GE(sim_file_size("/DataFiles/TimeShift/Timeshift.rec"), 1024);
  unsigned char inf[64] = {};
  ASSERT_GE(sim_read_file("/DataFiles/TimeShift/Timeshift.rec.inf", inf, sizeof inf), 28);
  EXPECT_EQ(Packed(61382, 20, 1), uint32_t(inf[8] | inf[9] << 8 | inf[10] << 16 | inf[11] << 24));
  EXPECT_EQ(1, sim_exists("/DataFiles/TimeShift/Timeshift.rec.nav"));

  sim_timeshift_stop();
  ASSERT_EQ(1, TAP_Hdd_GetRecInfo(2, reinterpret_cast<TYPE_RecInfo*>(raw)));
  EXPECT_EQ(0, raw[0]);
  EXPECT_EQ(0, raw[20]);
  EXPECT_EQ(1, sim_exists("/DataFiles/TimeShift/Timeshift.rec"));
  sim_timeshift_start(nullptr);  // the name is taken: a new one
  TYPE_RecInfo r;
  TAP_Hdd_GetRecInfo(2, &r);
  EXPECT_STREQ("Timeshift-2.rec", r.fileName);
}

TEST_F(SimTest, TimeshiftBufferDiscardedWhenStorageIsOff) {
  sim_set_slots(4);
  sim_timeshift_start("Buffer.rec");
  TYPE_RecInfo r;
  ASSERT_EQ(1, TAP_Hdd_GetRecInfo(4, &r));
  EXPECT_EQ(2, r.recType);
  ASSERT_EQ(1, TAP_Hdd_GetRecInfo(2, &r));
  EXPECT_EQ(0, r.recType);
  EXPECT_EQ(0, TAP_Hdd_GetRecInfo(5, &r));
  sim_timeshift_stop();
  EXPECT_EQ(0, sim_exists("/DataFiles/TimeShift/Buffer.rec"));
  EXPECT_EQ(0, sim_exists("/DataFiles/TimeShift/Buffer.rec.inf"));
  EXPECT_EQ(0, sim_exists("/DataFiles/TimeShift/Buffer.rec.nav"));
}

TEST_F(SimTest, RecordingSlotsAndStops) {
  sim_record_start(1, "Film.rec");
  TYPE_RecInfo r;
  ASSERT_EQ(1, TAP_Hdd_GetRecInfo(1, &r));
  EXPECT_EQ(1, r.recType);
  EXPECT_STREQ("Film.rec", r.fileName);
  EXPECT_EQ(1, sim_exists("/DataFiles/Film.rec.inf"));
  TAP_Hdd_StopRecord(1);
  EXPECT_EQ(1u, sim_stop_record_calls(1));
  ASSERT_EQ(1, TAP_Hdd_GetRecInfo(1, &r));
  EXPECT_EQ(0, r.recType);
  EXPECT_EQ(1, sim_exists("/DataFiles/Film.rec"));
  TAP_Hdd_StopMp3();
  EXPECT_EQ(1u, sim_stop_mp3_calls());
}

// ---------------------------------------------------------------------------
// Channels and events

TEST_F(SimTest, ChannelsAndCurrentEvents) {
  sim_add_channel(1, 5, "Five");
  sim_set_event(1, 5, "News", std::string(300, 'd').c_str());
  sim_tune(1, 5);
  int t = -1, n = -1;
  TAP_Channel_GetCurrent(&t, &n);
  EXPECT_EQ(1, t);
  EXPECT_EQ(5, n);
  const TYPE_TapEvent* e = TAP_GetCurrentEvent(1, 5);
  ASSERT_NE(nullptr, e);
  EXPECT_NE(0, e->evtId);
  EXPECT_STREQ("News", e->eventName);
  EXPECT_EQ(255u, strlen(e->description));
  unsigned char info[96];
  memset(info, 0xEE, sizeof info);
  EXPECT_NE(0, TAP_Channel_GetInfo(1, 5, info));
  EXPECT_STREQ("Five", reinterpret_cast<char*>(info + 16));
  EXPECT_EQ(0xEE, info[80]);
  memset(info, 0xEE, sizeof info);
  EXPECT_EQ(0, TAP_Channel_GetInfo(1, 6, info));
  EXPECT_EQ(0xEE, info[16]);
  sim_set_event(1, 5, nullptr, nullptr);
  EXPECT_EQ(nullptr, TAP_GetCurrentEvent(1, 5));
}

// ---------------------------------------------------------------------------
// Shell commands

TEST_F(SimTest, ShellMovesWithinTheSandbox) {
  gEvents.clear();
  sim_set_observer(Record);
  WriteText("/DataFiles/TimeShift/x.rec", "stream");
  ASSERT_EQ(1, sim_mkdir("/DataFiles/TimeShift/Save"));
  const char* cmd =
      "mv \"/mnt/hd/DataFiles/TimeShift/x.rec\" \"/mnt/hd/DataFiles/TimeShift/Save/x.rec\"";
  EXPECT_EQ(0, system(cmd));
  EXPECT_EQ("stream", ReadText("/DataFiles/TimeShift/Save/x.rec"));
  EXPECT_EQ(0, sim_exists("/DataFiles/TimeShift/x.rec"));
  EXPECT_EQ(1u, sim_shell_commands());
  EXPECT_STREQ(cmd, sim_last_shell_command());
  ASSERT_FALSE(gEvents.empty());
  EXPECT_EQ(std::string("shell:") + cmd, gEvents[0]);

  // Into an existing folder; over an existing file.
  WriteText("/DataFiles/y.rec", "y");
  EXPECT_EQ(0, system("mv \"/mnt/hd/DataFiles/y.rec\" \"/mnt/hd/DataFiles/TimeShift/Save\""));
  EXPECT_EQ("y", ReadText("/DataFiles/TimeShift/Save/y.rec"));
  EXPECT_EQ(
      0,
      system("mv /mnt/hd/DataFiles/TimeShift/Save/y.rec /mnt/hd/DataFiles/TimeShift/Save/x.rec"));
  EXPECT_EQ("y", ReadText("/DataFiles/TimeShift/Save/x.rec"));
  sim_set_observer(nullptr);
  // Folders stay dated by the receiver's clock.
  char list[512];
  sim_list_folder("/DataFiles", list, sizeof list);
  EXPECT_STREQ("TimeShift 0 2026-12-08 20:00\n", list);
  sim_list_folder("/DataFiles/TimeShift", list, sizeof list);
  EXPECT_STREQ("Save 0 2026-12-08 20:00\n", list);
}

TEST_F(SimTest, ShellTouchesNothingOutsideTheSandbox) {
  const std::string outside = disk + "-outside.txt";
  FILE* f = fopen(outside.c_str(), "w");
  ASSERT_NE(nullptr, f);
  fclose(f);
  WriteText("/DataFiles/a.rec", "a");
  const std::string out1 = "mv \"" + outside + "\" \"/mnt/hd/DataFiles/in.txt\"";
  EXPECT_NE(0, system(out1.c_str()));
  EXPECT_NE(0, system("mv \"/mnt/hd/DataFiles/a.rec\" \"/mnt/hd/../a.rec\""));
  EXPECT_NE(0, system("mv \"/mnt/hd/DataFiles/missing.rec\" \"/mnt/hd/DataFiles/b.rec\""));
  EXPECT_NE(0, system("mv DataFiles/a.rec DataFiles/b.rec"));  // relative: refused
  EXPECT_NE(0, system("ls /"));                                // no other command exists
  // "." and ".." are never moved (GNU mv refuses them too); as a target
  // they name the folder.
  for (const char* cmd : {"mv /mnt/hd/DataFiles/. /mnt/hd/ProgramFiles/x",
                          "mv /mnt/hd/DataFiles/TimeShift/.. /mnt/hd/ProgramFiles/x",
                          "mv /mnt/hd/. /mnt/hd/ProgramFiles/x", "mv /mnt/hd/.. /mnt/hd/x",
                          "mv -- /mnt/hd/DataFiles/./ /mnt/hd/ProgramFiles/x"})
    EXPECT_NE(0, system(cmd)) << cmd;
  EXPECT_EQ(1, sim_exists("/DataFiles/TimeShift"));
  EXPECT_EQ(0, sim_exists("/ProgramFiles/x"));
  EXPECT_EQ(0, system("mv /mnt/hd/DataFiles/a.rec /mnt/hd/DataFiles/TimeShift/."));
  EXPECT_EQ(0, system("mv /mnt/hd/DataFiles/TimeShift/a.rec /mnt/hd/DataFiles/TimeShift/.."));
  WriteText("/DataFiles/a.rec", "a");
  struct stat st;
  EXPECT_EQ(0, lstat(outside.c_str(), &st));
  EXPECT_EQ(0, sim_exists("/DataFiles/in.txt"));
  EXPECT_EQ("a", ReadText("/DataFiles/a.rec"));
  EXPECT_EQ(0, sim_exists("/DataFiles/b.rec"));
  // The shell runs in the sandbox.
  EXPECT_EQ(0, system("echo here > rel.txt"));
  EXPECT_EQ("here\n", ReadText("/rel.txt"));
  unlink(outside.c_str());
}

// Links planted in the disk while the plug-in runs: its save and expiry
// passes, the firmware's file calls, the control calls and the shell reach
// nothing through them.
TEST_F(SimTest, LinksPlantedDuringARunLeadNowhereOutside) {
  const std::string outside = disk + "-outside";
  nftw(
      outside.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
  ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
  ASSERT_EQ(0, mkdir((outside + "/Inner").c_str(), 0755));
  for (const char* name : {"/Old.rec", "/Old.rec.inf", "/Old.rec.nav", "/secret.txt"}) {
    FILE* f = fopen((outside + name).c_str(), "w");
    ASSERT_NE(nullptr, f);
    fputs("outside", f);
    fclose(f);
  }
  const std::string before = Snapshot(outside);
  ASSERT_EQ(1, sim_make_recording("/DataFiles/TimeShift/Timeshift.rec", 2026, 12, 8, 19, 0, 0));
  ASSERT_EQ(1, sim_mkdir("/DataFiles/Deep"));
  ASSERT_EQ(0u, TAP_Hdd_ChangeDir("/DataFiles/Deep"));

  // Planted now: a link in place of Save, a link named like a recording, a
  // link folder, and the current folder swapped for a link.
  ASSERT_EQ(0, symlink(outside.c_str(), (disk + "/DataFiles/TimeShift/Save").c_str()));
  ASSERT_EQ(0, symlink((outside + "/secret.txt").c_str(),
                       (disk + "/DataFiles/TimeShift/Secret.rec").c_str()));
  ASSERT_EQ(0, symlink(outside.c_str(), (disk + "/ProgramFiles/Out").c_str()));
  ASSERT_EQ(0, rename((disk + "/DataFiles/Deep").c_str(), (disk + "/DataFiles/Was").c_str()));
  ASSERT_EQ(0, symlink((outside + "/Inner").c_str(), (disk + "/DataFiles/Deep").c_str()));

  TYPE_FolderEntry e;
  EXPECT_EQ(0u, TAP_Hdd_FindFirst(&e, nullptr));
  EXPECT_NE(0u, TAP_Hdd_Create("new.rec", ATTR_NORMAL));
  EXPECT_NE(0u, TAP_Hdd_Create("NewFolder", ATTR_FOLDER));
  EXPECT_EQ(nullptr, TAP_Hdd_Fopen("new.rec"));
  EXPECT_NE(0u, TAP_Hdd_ChangeDir("/DataFiles/TimeShift/Save"));
  EXPECT_NE(0u, TAP_Hdd_ChangeDir("/ProgramFiles/Out/Inner"));
  EXPECT_EQ(0, TAP_Hdd_Exist("/ProgramFiles/Out/secret.txt"));
  EXPECT_EQ(nullptr, TAP_Hdd_Fopen("/DataFiles/TimeShift/Secret.rec"));
  EXPECT_NE(0u, TAP_Hdd_Delete("/ProgramFiles/Out/secret.txt"));
  EXPECT_NE(0u, TAP_Hdd_Rename("/ProgramFiles/Out/secret.txt", "/DataFiles/taken.txt"));
  EXPECT_NE(0u, TAP_Hdd_Rename("/DataFiles/TimeShift/Timeshift.rec", "/ProgramFiles/Out/x.rec"));
  EXPECT_EQ(0, sim_write_file("/ProgramFiles/Out/x", "x", 1));
  EXPECT_EQ(0, sim_write_file("/DataFiles/TimeShift/Secret.rec", "x", 1));
  EXPECT_EQ(-1, sim_read_file("/DataFiles/TimeShift/Secret.rec", nullptr, 0));
  EXPECT_EQ(0, sim_mkdir("/DataFiles/TimeShift/Save/Sub"));
  EXPECT_EQ(-1, sim_list_folder("/ProgramFiles/Out", nullptr, 0));
  EXPECT_EQ(0, sim_make_recording("/ProgramFiles/Out/made.rec", 2026, 12, 8, 19, 0, 0));
  for (const char* cmd :
       {"mv /mnt/hd/DataFiles/TimeShift/Timeshift.rec /mnt/hd/DataFiles/TimeShift/Save",
        "mv /mnt/hd/DataFiles/TimeShift/Timeshift.rec /mnt/hd/DataFiles/TimeShift/Save/T.rec",
        "mv /mnt/hd/ProgramFiles/Out/secret.txt /mnt/hd/DataFiles/s.txt",
        "mv /mnt/hd/ProgramFiles/Out/Inner /mnt/hd/DataFiles"})
    EXPECT_NE(0, system(cmd)) << cmd;

  // The plug-in's own passes over the folders with the links in them.
  CheckTimeshiftFolder(1);
  CleanupSaveFolder(0);
  EXPECT_EQ(before, Snapshot(outside));
  // The buffer set could not be moved: all three stay in the buffer folder.
  char list[1024];
  sim_list_folder("/DataFiles/TimeShift", list, sizeof list);
  std::string names = std::string("\n") + list;
  size_t sets = 0;
  for (size_t at = names.find("\nTimeshift"); at != std::string::npos;
       at = names.find("\nTimeshift", at + 1))
    ++sets;
  EXPECT_EQ(3u, sets) << list;
  // A link itself may be moved or removed: that changes only the disk.
  EXPECT_EQ(0, system("mv /mnt/hd/ProgramFiles/Out /mnt/hd/DataFiles/OutLink"));
  EXPECT_EQ(0u, TAP_Hdd_Delete("/DataFiles/OutLink"));
  EXPECT_EQ(before, Snapshot(outside));
}

// ---------------------------------------------------------------------------
// Terminals

TEST_F(SimTest, TerminalsCaptureConsoleText) {
  gEvents.clear();
  sim_set_observer(Record);
  sim_terminal_open(3, 1);
  errno = 0;
  EXPECT_EQ(-1, open("/dev/pts/0", 2));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, open("/dev/pts/20", 2));
  int fd = open("/dev/pts/3", 2);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(6, write(fd, "hello", 6));  // with its terminating zero
  EXPECT_EQ(0, close(fd));
  fd = open("/dev/pts/3", 2);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(7, write(fd, " world", 7));
  EXPECT_EQ(0, close(fd));
  EXPECT_STREQ("hello world", sim_terminal_text(3));
  EXPECT_STREQ("", sim_terminal_text(0));
  EXPECT_EQ(1, sim_console_contains("lo wo"));
  EXPECT_EQ(0, sim_console_contains("absent"));
  EXPECT_EQ((std::vector<std::string>{"console:hello", "console: world"}), gEvents);
  sim_terminal_open(3, 0);
  EXPECT_EQ(-1, open("/dev/pts/3", 2));
  EXPECT_STREQ("hello world", sim_terminal_text(3));
  sim_set_observer(nullptr);
  // Other paths reach the host as before.
  fd = open((disk + "/ProgramFiles/real.txt").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(0, close(fd));
  EXPECT_EQ(1, sim_exists("/ProgramFiles/real.txt"));
}

// ---------------------------------------------------------------------------
// Faults

TEST_F(SimTest, FileFaultsByPath) {
  WriteText("/ProgramFiles/Settings/a.ini", "x");
  sim_fail_open("/ProgramFiles/Settings/a.ini");
  sim_fail_chdir("/DataFiles/TimeShift");
  sim_fail_create("/DataFiles/TimeShift/Save");
  EXPECT_EQ(nullptr, TAP_Hdd_Fopen("Settings/a.ini"));
  EXPECT_NE(0u, TAP_Hdd_ChangeDir("/DataFiles/TimeShift"));
  EXPECT_EQ(0u, TAP_Hdd_ChangeDir("/DataFiles"));
  EXPECT_NE(0u, TAP_Hdd_Create("TimeShift/Save", ATTR_FOLDER));
  EXPECT_EQ(0, sim_exists("/DataFiles/TimeShift/Save"));
  sim_clear_faults();
  EXPECT_EQ(0u, TAP_Hdd_Create("TimeShift/Save", ATTR_FOLDER));
  EXPECT_EQ(0u, TAP_Hdd_ChangeDir("TimeShift"));
  TYPE_File* f = TAP_Hdd_Fopen("/ProgramFiles/Settings/a.ini");
  ASSERT_NE(nullptr, f);
  TAP_Hdd_Fclose(f);
}

TEST_F(SimTest, AllocatorFaultsAndHeapCount) {
  sim_fail_alloc(2);
  void* a = TAP_MemAlloc(10);
  void* b = TAP_MemAlloc(10);
  void* c = TAP_MemAlloc(10);
  EXPECT_NE(nullptr, a);
  EXPECT_EQ(nullptr, b);
  EXPECT_NE(nullptr, c);
  EXPECT_EQ(2u, sim_heap_in_use());
  sim_fail_alloc_all(1);
  EXPECT_EQ(nullptr, TAP_MemAlloc(1));
  sim_fail_alloc_all(0);
  TAP_MemSet(a, 7, 10);
  EXPECT_EQ(7, static_cast<unsigned char*>(a)[9]);
  TAP_MemFree(a);
  TAP_MemFree(c);
  EXPECT_EQ(0u, sim_heap_in_use());
}

TEST_F(SimTest, SymbolLookupFaults) {
  sim_fail_symbol("_tapTask", 1);
  void* self = dlopen(nullptr, 5);
  ASSERT_NE(nullptr, self);
  dlerror();
  EXPECT_EQ(nullptr, dlsym(self, "_tapTask"));
  EXPECT_NE(nullptr, dlerror());
  EXPECT_NE(nullptr, dlsym(self, "_curTapTask"));
  EXPECT_EQ(nullptr, dlerror());
  sim_fail_symbol("_tapTask", 0);
  EXPECT_NE(nullptr, dlsym(self, "_tapTask"));
  EXPECT_EQ(nullptr, dlerror());
  dlclose(self);
}

// ---------------------------------------------------------------------------
// System and observation

TEST_F(SimTest, SystemStateAndCounts) {
  dword st = 9, sub = 9;
  TAP_GetState(&st, &sub);
  EXPECT_EQ(0u, st);
  EXPECT_EQ(0x1Fu, sub);
  EXPECT_EQ(0u, TAP_GetSystemId());
  EXPECT_EQ(0, TAP_GetSystemVar(SYSVAR_Timeshift));
  TAP_SetSystemVar(SYSVAR_Timeshift, 1);
  TAP_WriteSystemVar();
  EXPECT_EQ(1, sim_get_sysvar(SYSVAR_Timeshift));
  EXPECT_EQ(1u, sim_sysvar_writes());
  TAP_ExitNormal();
  TAP_ExitNormal();
  TAP_EnterNormal();
  EXPECT_EQ(1u, sim_normal_depth());
  EXPECT_EQ(2u, sim_call_count("TAP_ExitNormal"));
  EXPECT_GE(sim_total_calls(), 8u);
  sim_reset_counts();
  EXPECT_EQ(0u, sim_call_count("TAP_ExitNormal"));
  EXPECT_EQ(0u, sim_total_calls());

  gEvents.clear();
  sim_set_observer(Record);
  char buf[32];
  TAP_SPrint(buf, "%s-%d", "a", 7);
  EXPECT_STREQ("a-7", buf);
  TAP_Print("n=%d\n", 3);
  EXPECT_EQ(0, sim_exited());
  TAP_Exit();
  EXPECT_EQ(1, sim_exited());
  sim_set_observer(nullptr);
  EXPECT_EQ((std::vector<std::string>{"print:n=3\n", "exit:"}), gEvents);
}

// ---------------------------------------------------------------------------
// Power

namespace {

// One step of the plug-in: the calls it makes, and the disk changes they
// are (the kinds sim_disk_change_kind gives, in order; none for a step that
// changes nothing).
struct PluginStep {
  const char* what;
  std::vector<const char*> changes;
  std::function<void()> run;
};

TYPE_File* gOpen;  // the file the steps write

std::vector<PluginStep> EveryKindOfChange() {
  return {
      {"create a file", {"create"}, [] { TAP_Hdd_Create("a.txt", ATTR_NORMAL); }},
      {"create it again", {}, [] { TAP_Hdd_Create("a.txt", ATTR_NORMAL); }},
      {"open", {}, [] { gOpen = TAP_Hdd_Fopen("a.txt"); }},
      {"write", {"write"}, [] { TAP_Hdd_Fwrite("0123456789", 10, 1, gOpen); }},
      {"write nothing", {}, [] { TAP_Hdd_Fwrite("x", 0, 1, gOpen); }},
      {"write more", {"write"}, [] { TAP_Hdd_Fwrite("abcdef", 2, 3, gOpen); }},
      {"close", {"close"}, [] { TAP_Hdd_Fclose(gOpen); }},
      {"read only",
       {},
       [] {
         TYPE_File* f = TAP_Hdd_Fopen("a.txt");
         char buf[4];
         TAP_Hdd_Fread(buf, 4, 1, f);
         TAP_Hdd_Fclose(f);
       }},
      {"create a folder", {"create"}, [] { TAP_Hdd_Create("Box", ATTR_FOLDER); }},
      {"rename", {"rename"}, [] { TAP_Hdd_Rename("a.txt", "b.txt"); }},
      {"rename that fails", {}, [] { TAP_Hdd_Rename("a.txt", "c.txt"); }},
      {"two moves in one command",
       {"mv", "mv"},
       [] {
         TAP_Hdd_Create("c.txt", ATTR_NORMAL);
         system(
             "mv /mnt/hd/ProgramFiles/b.txt /mnt/hd/ProgramFiles/Box; "
             "mv /mnt/hd/ProgramFiles/Box/b.txt /mnt/hd/ProgramFiles/Box/d.txt");
       }},
      {"delete", {"delete"}, [] { TAP_Hdd_Delete("c.txt"); }},
      {"delete what is gone", {}, [] { TAP_Hdd_Delete("c.txt"); }},
  };
}

}  // namespace

// Every kind of change is counted once, what changes nothing not at all;
// a cut after the nth change leaves the disk exactly as the nth change left
// it, whatever the plug-in calls afterwards.
TEST_F(SimTest, PowerCutLeavesTheDiskAsTheNthChangeLeftIt) {
  std::vector<PluginStep> steps = EveryKindOfChange();
  // The "two moves" step makes a file first: its changes are create, mv, mv.
  steps[11].changes.insert(steps[11].changes.begin(), "create");
  std::vector<std::string> after;  // the disk after each change of an uncut run
  std::vector<const char*> kinds;
  for (const PluginStep& step : steps) {
    const unsigned before = sim_disk_changes();
    step.run();
    EXPECT_EQ(before + step.changes.size(), sim_disk_changes()) << step.what;
    for (const char* kind : step.changes) {
      kinds.push_back(kind);
      EXPECT_STREQ(kind, sim_disk_change_kind(unsigned(kinds.size()))) << step.what;
      after.push_back("");
    }
    // A step of several changes leaves only its last state to compare with.
    if (!step.changes.empty()) after.back() = Snapshot(disk);
  }
  EXPECT_STREQ("", sim_disk_change_kind(unsigned(kinds.size() + 1)));
  EXPECT_EQ(0u, sim_power_cuts());
  ASSERT_EQ(1, sim_exists("/ProgramFiles/Box/d.txt"));

  for (unsigned n = 1; n <= kinds.size(); ++n) {
    ASSERT_EQ(1, sim_init(disk.c_str()));
    sim_power_cut_after(n, 0);
    for (const PluginStep& step : steps) step.run();
    EXPECT_EQ(1, sim_power_is_off()) << n;
    EXPECT_EQ(1u, sim_power_cuts()) << n;
    EXPECT_EQ(n, sim_disk_changes()) << "nothing counts after the cut";
    if (!after[n - 1].empty()) {
      EXPECT_EQ(after[n - 1], Snapshot(disk)) << "cut after change " << n;
    }
  }
  // The second move of the command is never made when the first was the last change.
  ASSERT_EQ(1, sim_init(disk.c_str()));
  sim_power_cut_after(8, 0);
  for (const PluginStep& step : steps) step.run();
  EXPECT_EQ(1, sim_exists("/ProgramFiles/Box/b.txt"));
  EXPECT_EQ(0, sim_exists("/ProgramFiles/Box/d.txt"));
}

TEST_F(SimTest, PowerCutHalfWayThroughAWriteLeavesItsFirstHalf) {
  struct Case {
    const char* what;
    unsigned cutAfter;
    int half;
    const char* left;  // the file's bytes after the cut
  } cases[] = {
      {"half way through the first write", 2, 1, "01234"},
      {"right after the first write", 2, 0, "0123456789"},
      {"half way through the second", 3, 1, "0123456789abc"},
      {"half at the close: whole", 4, 1, "0123456789abcdef"},
      {"half at a create: made", 1, 1, ""},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(1, sim_init(disk.c_str()));
    sim_power_cut_after(c.cutAfter, c.half);
    TAP_Hdd_Create("h.txt", ATTR_NORMAL);
    TYPE_File* f = TAP_Hdd_Fopen("h.txt");
    const dword first = TAP_Hdd_Fwrite("0123456789", 1, 10, f);
    TAP_Hdd_Fwrite("abcdef", 1, 6, f);
    TAP_Hdd_Fclose(f);
    EXPECT_EQ(1, sim_power_is_off()) << c.what;
    EXPECT_EQ(c.left, ReadText("/ProgramFiles/h.txt")) << c.what;
    const bool whole = c.cutAfter > 2 || (c.cutAfter == 2 && !c.half);
    EXPECT_EQ(whole ? 10u : 0u, first) << c.what << ": a write cut or in the dark fails";
  }
}

// A cut armed for the changes of one path counts none of the others: the
// rename to it, a move that lands there, a write to it.
TEST_F(SimTest, PowerCutCountsOnlyTheChangesThatNameItsPath) {
  struct Case {
    const char* path;
    unsigned n;
    int half;
    const char* after;  // the step after which the power is off ("" none)
    const char* there;  // a file on the disk then
  } cases[] = {
      {"/ProgramFiles/b.txt", 1, 0, "rename", "/ProgramFiles/b.txt"},  // a rename's new name
      {"/ProgramFiles/b.txt", 2, 0, "two moves in one command", "/ProgramFiles/Box/b.txt"},
      {"/ProgramFiles/Box/d.txt", 1, 0, "two moves in one command", "/ProgramFiles/Box/d.txt"},
      {"/ProgramFiles/Box", 1, 0, "create a folder", "/ProgramFiles/a.txt"},
      {"/ProgramFiles/a.txt", 2, 1, "write", "/ProgramFiles/a.txt"},    // half the first write
      {"/ProgramFiles/none.txt", 1, 0, "", "/ProgramFiles/Box/d.txt"},  // never named: no cut
  };
  for (const Case& c : cases) {
    ASSERT_EQ(1, sim_init(disk.c_str()));
    sim_power_cut_after_changes_to(c.path, c.n, c.half);
    std::string after;
    for (const PluginStep& step : EveryKindOfChange()) {
      step.run();
      if (sim_power_is_off() && after.empty()) after = step.what;
    }
    EXPECT_EQ(c.after, after) << c.path << " " << c.n;
    EXPECT_EQ(1, sim_exists(c.there)) << c.path << " " << c.n;
    if (c.half) {
      EXPECT_EQ("01234", ReadText("/ProgramFiles/a.txt"));
    }
  }
  // The second move of the command is not made when the first was the cut.
  ASSERT_EQ(1, sim_init(disk.c_str()));
  sim_power_cut_after_changes_to("/ProgramFiles/b.txt", 2, 0);
  for (const PluginStep& step : EveryKindOfChange()) step.run();
  EXPECT_EQ(0, sim_exists("/ProgramFiles/Box/d.txt"));
}

// While the power is off the plug-in's calls change nothing and report
// failure or nothing; the start after it is a receiver as at power-on over
// the same disk.
TEST_F(SimTest, DarkReceiverFailsEveryCallAndStartsAgainOverTheSameDisk) {
  gEvents.clear();
  sim_set_observer(Record);
  sim_set_sysvar(SYSVAR_Timeshift, 1);
  TAP_SetSystemVar(SYSVAR_TimeshiftStorage, 1);  // set, never stored
  sim_terminal_open(2, 1);
  ASSERT_EQ(1, sim_mkdir("/DataFiles/Box"));
  sim_timeshift_start("Buffer.rec");
  sim_play("/DataFiles/TimeShift/Buffer.rec", 1);
  ASSERT_EQ(0u, TAP_Hdd_ChangeDir("/DataFiles"));
  void* block = TAP_MemAlloc(16);
  ASSERT_NE(nullptr, block);
  const int region = TAP_Osd_Create(0, 0, 100, 100, 0, 0);
  TAP_Osd_PutS(region, 0, 0, 100, "Shown", 0xFFFFFFFF, 0, 0, 1, 0, 0);
  TAP_Osd_Sync();
  TAP_ExitNormal();
  const int term = open("/dev/pts/2", 2);
  ASSERT_GE(term, 0);
  sim_advance(500);
  sim_power_cut();
  EXPECT_EQ(1, sim_power_is_off());
  EXPECT_EQ(1, sim_screen_empty());
  EXPECT_EQ(6, write(term, "after", 6));  // a descriptor held on: nothing arrives
  close(term);

  const std::string before = Snapshot(disk);
  TYPE_FolderEntry entry;
  TYPE_RecInfo rec;
  TYPE_PlayInfo play;
  char buf[64] = "untouched";
  struct Call {
    const char* name;
    long long result, dark;
  } calls[] = {
      {"TAP_Hdd_ChangeDir", TAP_Hdd_ChangeDir("/DataFiles/Box"), 1},
      {"TAP_Hdd_Exist", TAP_Hdd_Exist("/DataFiles/TimeShift"), 0},
      {"TAP_Hdd_Create", TAP_Hdd_Create("New", ATTR_FOLDER), 1},
      {"TAP_Hdd_Delete", TAP_Hdd_Delete("Box"), 1},
      {"TAP_Hdd_Rename", TAP_Hdd_Rename("Box", "Crate"), 1},
      {"TAP_Hdd_FindFirst", TAP_Hdd_FindFirst(&entry, nullptr), 0},
      {"TAP_Hdd_Fopen", TAP_Hdd_Fopen("/DataFiles/TimeShift/Buffer.rec") != nullptr, 0},
      {"TAP_Hdd_GetRecInfo", TAP_Hdd_GetRecInfo(2, &rec), 0},
      {"TAP_Hdd_GetPlayInfo", TAP_Hdd_GetPlayInfo(&play), 0},
      {"TAP_Hdd_StopTs", TAP_Hdd_StopTs(), 0},
      {"TAP_GetSystemVar", TAP_GetSystemVar(SYSVAR_Timeshift), 0},
      {"TAP_SetSystemVar", TAP_SetSystemVar(SYSVAR_Timeshift, 0), 0},
      {"TAP_MemAlloc", TAP_MemAlloc(8) != nullptr, 0},
      {"TAP_Osd_Create", TAP_Osd_Create(0, 0, 10, 10, 0, 0), -1},
      {"TAP_Osd_FillBox", TAP_Osd_FillBox(word(region), 0, 0, 5, 5, 0xFFFFFFFF), -1},
      {"system", system("mv /mnt/hd/DataFiles/Box /mnt/hd/DataFiles/Crate"), -1},
      {"open of a terminal", open("/dev/pts/2", 2), -1},
  };
  for (const Call& c : calls) EXPECT_EQ(c.dark, c.result) << c.name;
  TAP_SPrint(buf, "%s", "formatted");  // the plug-in's own buffers still work
  EXPECT_STREQ("formatted", buf);
  TAP_Exit();
  EXPECT_EQ(0, sim_exited());
  EXPECT_EQ(before, Snapshot(disk));
  EXPECT_EQ(0u, sim_shell_commands());

  sim_power_restore(3000);
  EXPECT_EQ(0, sim_power_is_off());
  EXPECT_EQ(500u + 3000u, sim_ticks());
  EXPECT_EQ("/mnt/hd/ProgramFiles", FolderFromTable());
  EXPECT_EQ(1, sim_get_sysvar(SYSVAR_Timeshift));
  EXPECT_EQ(0, sim_get_sysvar(SYSVAR_TimeshiftStorage)) << "never stored";
  EXPECT_EQ(0u, sim_heap_in_use());
  EXPECT_EQ(0u, sim_normal_depth());
  EXPECT_EQ(0, sim_region_alive(region));
  // Nothing records or plays; the buffer's set stays as the cut left it,
  // though storage was off.
  ASSERT_EQ(1, TAP_Hdd_GetRecInfo(2, &rec));
  EXPECT_EQ(0, rec.recType);
  ASSERT_EQ(1, TAP_Hdd_GetPlayInfo(&play));
  EXPECT_EQ(0, play.playMode);
  EXPECT_EQ(1, sim_exists("/DataFiles/TimeShift/Buffer.rec.inf"));
  // The terminal open before is open again; what came in the dark is gone.
  int again = open("/dev/pts/2", 2);
  ASSERT_GE(again, 0);
  EXPECT_EQ(4, write(again, "new", 4));
  close(again);
  EXPECT_STREQ("new", sim_terminal_text(2));
  sim_set_observer(nullptr);
  std::vector<std::string> power;
  for (const std::string& e : gEvents)
    if (e.compare(0, 6, "power:") == 0) power.push_back(e);
  EXPECT_EQ((std::vector<std::string>{
                "power:cut before any plug-in disk change",
                "power:on again after 0:00:30 dark: the receiver starts over the same disk"}),
            power);
  sim_power_restore(100);  // the power is on: nothing happens
  EXPECT_EQ(3500u, sim_ticks());
}

// The firmware loads the plug-in afresh at every start: an instance that
// has run does not carry its statics into the next.
TEST_F(SimTest, LoaderGivesAFreshInstanceOfThePluginEveryTime) {
  const std::string file = BuildPath("brantlow.tap");
  struct stat st;
  if (stat(file.c_str(), &st) != 0) GTEST_SKIP() << "no plug-in file in this build";
  LoadedPlugin first, second;
  std::string error;
  int init = -1;
  ASSERT_TRUE(LoadPluginFresh(file.c_str(), &first, &error, &init)) << error;
  EXPECT_EQ(0, init);
  auto startups = [] {
    std::string log = sim_log_text();
    size_t count = 0;
    for (size_t at = log.find("Checking TS folder on startup"); at != std::string::npos;
         at = log.find("Checking TS folder on startup", at + 1))
      ++count;
    return count;
  };
  // Its first step is the start-up pass; later steps are not.
  first.main();
  first.eventHandler(EVT_IDLE, 0, 0);
  first.eventHandler(EVT_IDLE, 0, 0);
  EXPECT_EQ(1u, startups()) << sim_log_text();
  ASSERT_TRUE(LoadPluginFresh(file.c_str(), &second, &error)) << error;
  EXPECT_NE(first.handle, second.handle);
  EXPECT_NE(reinterpret_cast<void*>(first.main), reinterpret_cast<void*>(second.main));
  second.main();
  second.eventHandler(EVT_IDLE, 0, 0);
  EXPECT_EQ(2u, startups()) << "a fresh instance starts with its start-up pass";
  UnloadPlugin(&second);
  EXPECT_EQ(nullptr, second.handle);

  LoadedPlugin none;
  EXPECT_FALSE(LoadPluginFresh((disk + "/missing.tap").c_str(), &none, &error));
  EXPECT_NE(std::string::npos, error.find("cannot load the plug-in")) << error;
}

// ---------------------------------------------------------------------------
// Faults of every call that can fail on a receiver, and folder dates

TEST_F(SimTest, EveryDiskCallCanBeMadeToFail) {
  struct Case {
    const char* what;
    std::function<void()> fault;
    std::function<bool()> fails;  // the call, true when it failed as the fault says
    const char* listing;          // /DataFiles/Box afterwards: names only
  };
  auto names = [] {
    char list[1024];
    sim_list_folder("/DataFiles/Box", list, sizeof list);
    std::string out;
    for (const char* p = list; *p;) {
      const char* sp = strchr(p, ' ');
      out += std::string(p, sp) + " ";
      p = strchr(p, '\n') + 1;
    }
    return out;
  };
  const Case cases[] = {
      {"rename from", [] { sim_fail_rename("/DataFiles/Box/a.rec"); },
       [] { return TAP_Hdd_Rename("a.rec", "b.rec") != 0; }, "a.rec data.bin "},
      {"rename to", [] { sim_fail_rename("/DataFiles/Box/b.rec"); },
       [] { return TAP_Hdd_Rename("a.rec", "b.rec") != 0; }, "a.rec data.bin "},
      {"delete", [] { sim_fail_delete("/DataFiles/Box/a.rec"); },
       [] { return TAP_Hdd_Delete("a.rec") != 0; }, "a.rec data.bin "},
      {"mv refused", [] { sim_fail_mv("/DataFiles/Box/a.rec", 0); },
       [] { return system("mv /mnt/hd/DataFiles/Box/a.rec /mnt/hd/DataFiles/Box/c.rec") != 0; },
       "a.rec data.bin "},
      {"mv moved but failed", [] { sim_fail_mv("/DataFiles/Box/c.rec", 1); },
       [] { return system("mv /mnt/hd/DataFiles/Box/a.rec /mnt/hd/DataFiles/Box/c.rec") != 0; },
       "c.rec data.bin "},
      {"create", [] { sim_fail_create("/DataFiles/Box/n.rec"); },
       [] { return TAP_Hdd_Create("n.rec", ATTR_NORMAL) != 0; }, "a.rec data.bin "},
      {"open", [] { sim_fail_open("/DataFiles/Box/data.bin"); },
       [] { return TAP_Hdd_Fopen("data.bin") == nullptr; }, "a.rec data.bin "},
      {"write", [] { sim_fail_write("/DataFiles/Box/data.bin"); },
       [] {
         TYPE_File* f = TAP_Hdd_Fopen("data.bin");
         const dword n = TAP_Hdd_Fwrite("xyz", 3, 1, f);
         TAP_Hdd_Fclose(f);
         return n == 0 && sim_file_size("/DataFiles/Box/data.bin") == 10;
       },
       "a.rec data.bin "},
      {"read", [] { sim_fail_read("/DataFiles/Box/data.bin", 0); },
       [] {
         char buf[16] = "untouched";
         TYPE_File* f = TAP_Hdd_Fopen("data.bin");
         const dword n = TAP_Hdd_Fread(buf, 10, 1, f);
         TAP_Hdd_Fclose(f);
         return n == 0 && strcmp(buf, "untouched") == 0;
       },
       "a.rec data.bin "},
      {"read short", [] { sim_fail_read("/DataFiles/Box/data.bin", 1); },
       [] {
         char buf[16] = {};
         TYPE_File* f = TAP_Hdd_Fopen("data.bin");
         const dword whole = TAP_Hdd_Fread(buf, 10, 1, f);  // half a block: none whole
         TAP_Hdd_Fseek(f, 0, 0);
         const dword bytes = TAP_Hdd_Fread(buf + 5, 1, 10, f);
         TAP_Hdd_Fclose(f);
         return whole == 0 && bytes == 5 && strcmp(buf, "0123401234") == 0;
       },
       "a.rec data.bin "},
      {"folder listing", [] { sim_fail_list("/DataFiles/Box"); },
       [] {
         TYPE_FolderEntry e;
         const bool none = TAP_Hdd_FindFirst(&e, nullptr) == 0 && e.name[0] == 0;
         TAP_Hdd_ChangeDir("/DataFiles");
         const bool others = TAP_Hdd_FindFirst(&e, nullptr) == 2;
         TAP_Hdd_ChangeDir("Box");
         return none && others;
       },
       "a.rec data.bin "},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(1, sim_init(disk.c_str()));
    WriteText("/DataFiles/Box/a.rec", "a");
    WriteText("/DataFiles/Box/data.bin", "0123456789");
    ASSERT_EQ(0u, TAP_Hdd_ChangeDir("/DataFiles/Box"));
    c.fault();
    gEvents.clear();
    sim_set_observer(Record);
    EXPECT_TRUE(c.fails()) << c.what;
    sim_set_observer(nullptr);
    // The time line tells the fault that hit: "fault:CALL ... (fail WORD)".
    bool told = false;
    for (const std::string& e : gEvents)
      told = told || (e.compare(0, 6, "fault:") == 0 && e.find("(fail ") != std::string::npos);
    EXPECT_TRUE(told) << c.what;
    EXPECT_EQ(c.listing, names()) << c.what;
    // Cleared, the same call works.
    sim_clear_faults();
    WriteText("/DataFiles/Box/a.rec", "a");
    sim_rmtree("/DataFiles/Box/c.rec");
    EXPECT_FALSE(c.fails()) << c.what << " after sim_clear_faults";
  }
}

TEST_F(SimTest, ScreenAndPlayerFaults) {
  const int a = TAP_Osd_Create(0, 0, 50, 50, 0, 0x8000);
  const int b = TAP_Osd_Create(100, 100, 50, 50, 0, 0);
  for (int result : {5, 1, -1, -7}) {
    sim_fail_osd_fill(result);
    sim_fail_osd_copy(-result);
    EXPECT_EQ(result, TAP_Osd_FillBox(word(b), 0, 0, 10, 10, 0xFFFFFFFF));
    EXPECT_EQ(-result, TAP_Osd_Copy(word(a), word(b), 0, 0, 10, 10, 0, 0, 0));
    TAP_Osd_Sync();
    EXPECT_EQ(1, sim_screen_empty()) << "a failed fill or copy draws nothing: " << result;
  }
  sim_fail_osd_fill(0);
  EXPECT_EQ(0, TAP_Osd_FillBox(word(b), 0, 0, 10, 10, 0xFFFFFFFF));
  TAP_Osd_Sync();
  EXPECT_EQ(0xFFFFFFFFu, sim_screen_pixel(105, 105));

  WriteText("/DataFiles/Film.rec", std::string(20000, 'x'));
  TYPE_PlayInfo p;
  for (long long blocks : {0LL, 7LL, -1LL}) {
    sim_play("/DataFiles/Film.rec", 1);
    sim_play_blocks(blocks);
    ASSERT_EQ(1, TAP_Hdd_GetPlayInfo(&p));
    EXPECT_EQ(1, p.playMode);
    EXPECT_EQ(blocks < 0 ? 3u : dword(blocks), p.totalBlock) << blocks;
  }
}

// A file system dates a folder whenever an entry arrives or leaves: the
// firmware's calls and the shell's mv alike, by the receiver's clock.
TEST_F(SimTest, FoldersAreDatedWhenEntriesArriveOrLeave) {
  struct Case {
    const char* what;
    std::function<void()> change;
    std::vector<const char*> dated;  // the folders that take the new date
  } cases[] = {
      {"create", [] { TAP_Hdd_Create("/DataFiles/In/new.rec", ATTR_NORMAL); }, {"In"}},
      {"create a folder", [] { TAP_Hdd_Create("/DataFiles/In/Sub", ATTR_FOLDER); }, {"In"}},
      {"delete", [] { TAP_Hdd_Delete("/DataFiles/In/x.rec"); }, {"In"}},
      {"rename in place",
       [] { TAP_Hdd_Rename("/DataFiles/In/x.rec", "/DataFiles/In/y.rec"); },
       {"In"}},
      {"rename across",
       [] { TAP_Hdd_Rename("/DataFiles/In/x.rec", "/DataFiles/Save/x.rec"); },
       {"In", "Save"}},
      {"mv into a folder",
       [] { system("mv /mnt/hd/DataFiles/In/x.rec /mnt/hd/DataFiles/Save"); },
       {"In", "Save"}},
      {"write",
       [] {
         TYPE_File* f = TAP_Hdd_Fopen("/DataFiles/In/x.rec");
         TAP_Hdd_Fwrite("more", 4, 1, f);
         TAP_Hdd_Fclose(f);
       },
       {}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(1, sim_init(disk.c_str()));
    WriteText("/DataFiles/In/x.rec", "x");
    ASSERT_EQ(1, sim_mkdir("/DataFiles/Save"));
    sim_advance(2 * 3600 * 100);  // 22:00
    c.change();
    char list[512];
    sim_list_folder("/DataFiles", list, sizeof list);
    std::string expected;
    for (const char* folder : {"In", "Save", "TimeShift"}) {
      bool dated = false;
      for (const char* d : c.dated) dated = dated || strcmp(d, folder) == 0;
      expected += std::string(folder) + " 0 2026-12-08 " + (dated ? "22:00" : "20:00") + "\n";
    }
    EXPECT_EQ(expected, list) << c.what;
  }
}

// Every recording set the firmware writes has bytes of its own, its sizes
// those of any other set.
TEST_F(SimTest, RecordingSetsHaveContentsOfTheirOwn) {
  ASSERT_EQ(1, sim_make_recording("/DataFiles/A.rec", 2026, 12, 6, 18, 0, 0));
  ASSERT_EQ(1, sim_make_recording("/DataFiles/B.rec", 2026, 12, 6, 18, 0, 0));
  ASSERT_EQ(1, sim_make_recording("/DataFiles/Save/A.rec", 2026, 12, 6, 18, 0, 0));
  sim_timeshift_start(nullptr);
  const std::string a = ReadText("/DataFiles/A.rec"), b = ReadText("/DataFiles/B.rec");
  EXPECT_EQ(4096u, a.size());
  EXPECT_EQ(a.size(), b.size());
  EXPECT_NE(a, b);
  EXPECT_NE(a, ReadText("/DataFiles/Save/A.rec"));
  EXPECT_EQ(0x47, static_cast<unsigned char>(a[0]));
  EXPECT_EQ(0, a.compare(1, 17, "/DataFiles/A.rec "));
  EXPECT_EQ(64u, ReadText("/DataFiles/B.rec.nav").size());
  EXPECT_EQ(0, ReadText("/DataFiles/B.rec.nav").compare(0, 16, "/DataFiles/B.rec"));
  EXPECT_EQ(0, ReadText("/DataFiles/TimeShift/Timeshift.rec.nav")
                   .compare(0, 34, "/DataFiles/TimeShift/Timeshift.rec"));
}
