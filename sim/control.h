// Control interface of the simulated receiver. The runner (tapsim) and the
// unit tests set the receiver's state and read what the plug-in did through
// these calls; the plug-in itself only ever uses the firmware API of
// platform/tap.h. Paths are receiver paths ("/DataFiles/TimeShift/x.rec")
// unless a name says host path.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------------------
// Life of the simulated receiver

// Starts a fresh receiver on the sandbox folder diskDir: created if missing,
// used if empty, emptied if an earlier sim_init marked it as its own (a file
// ".tapsim-disk" in it, which the plug-in never sees), refused otherwise
// (sim_disk_error says why) and then left untouched. All state back to
// power-on defaults, the default
// folders "/ProgramFiles", "/ProgramFiles/Settings", "/DataFiles" and
// "/DataFiles/TimeShift" created, the plug-in's current folder
// "/ProgramFiles", clock 2026-12-08 20:00:00 at tick 0. Returns 1, or 0 when
// the folder cannot be used.
int sim_init(const char* diskDir);
// Why the last sim_init or sim_copy_in returned 0 ("" when it did not).
const char* sim_disk_error(void);
// Copies the files and folders of a host folder (a copy of a receiver's
// disk: "DataFiles", "ProgramFiles") into the disk's top, merged with the
// folders there, each file dated as its original. Links and special files
// are left out. The host folder is only read. 1 on success; files and
// skipped (either may be NULL) count what was copied and left out.
int sim_copy_in(const char* hostFolder, unsigned* files, unsigned* skipped);
const char* sim_disk_root(void);  // host path of the sandbox

// Host path of a receiver path, into out (size cap). Returns out, or NULL when
// the path would leave the sandbox or does not fit.
char* sim_host_path(const char* receiverPath, char* out, size_t cap);

// ---------------------------------------------------------------------------
// Disk (receiver paths)
int sim_mkdir(const char* path);   // with parents; 1 on success
int sim_rmtree(const char* path);  // removes a file or a folder tree; 1 on success
int sim_write_file(const char* path, const void* data, size_t len);  // 1 on success
long sim_read_file(const char* path, void* buf, size_t cap);         // length read, -1 if missing
long long sim_file_size(const char* path);                           // -1 if missing
int sim_exists(const char* path);
// How the firmware's folder record names the disk's top folder: "/mnt/hd/"
// (slash 1, the default) or "/mnt/hd" (slash 0).
void sim_set_top_folder_slash(int slash);
// Sets a file's modification time (as the receiver's clock reads it).
int sim_set_mtime(const char* path, int year, int month, int day, int hour, int min, int sec);
// A recording set as the firmware writes it: the stream file (4096 bytes),
// ".inf" (128) whose bytes 8-11 hold the start time (packed MJD/hour/minute,
// little-endian) and ".nav" (64); all three dated at the start time. The
// stream's bytes 1 on, the ".inf"'s bytes 28 on and the ".nav"'s first bytes
// hold "PATH SECONDS" (the receiver path it was made under, the start in
// seconds since 1970), as far as they fit: every set's bytes are its own.
int sim_make_recording(const char* streamPath, int year, int month, int day, int hour, int min,
                       int sec);
// "FirmwareTMS.dat" in folder, with one model record mapping model to slots.
int sim_write_firmwaredat(const char* folder, unsigned model, unsigned slots);
// Lists a folder into out as lines "name size YYYY-MM-DD HH:MM", sorted by
// name; returns the number of entries, -1 if the folder is missing.
int sim_list_folder(const char* folder, char* out, size_t cap);

// ---------------------------------------------------------------------------
// Faults on demand: every firmware call the plug-in makes that can fail on a
// receiver. A path fault names a receiver path (relative names of the
// plug-in are resolved against its current folder before they are
// compared); it holds until sim_clear_faults or sim_init.
void sim_fail_alloc(unsigned nth);       // the nth TAP_MemAlloc from now returns NULL (0: off)
void sim_fail_alloc_all(int on);         // every TAP_MemAlloc returns NULL while on
void sim_fail_open(const char* path);    // TAP_Hdd_Fopen of this file fails
void sim_fail_chdir(const char* path);   // TAP_Hdd_ChangeDir into this folder fails
void sim_fail_create(const char* path);  // TAP_Hdd_Create of this name fails
void sim_fail_rename(const char* path);  // TAP_Hdd_Rename from or to this name fails
void sim_fail_delete(const char* path);  // TAP_Hdd_Delete of this name fails
// The shell's mv of this source (or to this target as the command writes
// it): moved 0 moves nothing and exits with 1; moved 1 makes the move and
// still exits with 1.
void sim_fail_mv(const char* path, int moved);
// TAP_Hdd_Fread of this file: shortRead 0 reads nothing and returns 0;
// shortRead 1 reads only the first half of the bytes asked for and returns
// the whole blocks among them.
void sim_fail_read(const char* path, int shortRead);
void sim_fail_write(const char* path);   // TAP_Hdd_Fwrite to this file writes nothing, returns 0
void sim_fail_list(const char* folder);  // TAP_Hdd_FindFirst in this folder finds nothing (0)
// Every TAP_Osd_FillBox (TAP_Osd_Copy) draws nothing and returns result,
// which may be any value, positive ones too; 0 switches the fault off.
void sim_fail_osd_fill(int result);
void sim_fail_osd_copy(int result);
void sim_fail_symbol(const char* name, int fail);  // dlsym of a firmware symbol finds nothing
// Clears every fault above, sim_fail_osd_create's too (a power cut keeps them).
void sim_clear_faults(void);

// ---------------------------------------------------------------------------
// Power
//
// A disk change is a change the plug-in makes to the disk: TAP_Hdd_Create of
// a file or a folder, each TAP_Hdd_Fwrite, TAP_Hdd_Fclose of a handle that
// was written through, TAP_Hdd_Rename, TAP_Hdd_Delete, and each rename the
// shell's mv makes for it. Only calls that change something count (a create
// of an existing file, a failed rename do not). The firmware's own writes
// (recordings, sim_* calls of the runner or tests) are not counted.
unsigned sim_disk_changes(void);  // changes since sim_init
// The kind of the nth change since sim_init (1 the first): "create",
// "write", "close", "rename", "delete" or "mv"; "" for no such change.
const char* sim_disk_change_kind(unsigned n);
// The power goes right after the nth change from now (0 disarms); half: when
// that change is a write, half way through it (the first half of its bytes
// is written, the call returns 0). Any other change is whole when the power
// goes. Armed while the power is off, it counts from the next start.
void sim_power_cut_after(unsigned n, int half);
// The same, counting only the changes that name path (a receiver path): the
// file created, written, closed or deleted, or the old or new name of a
// rename or of a move of the shell's mv. NULL or "" counts every change.
void sim_power_cut_after_changes_to(const char* path, unsigned n, int half);
void sim_power_cut(void);       // power goes now
int sim_power_is_off(void);     // 1 from the cut until sim_power_restore
unsigned sim_power_cuts(void);  // cuts since sim_init
// While the power is off every firmware call of the plug-in changes nothing
// and reports failure or nothing (ticks and the clock run on, TAP_Delay
// waits, TAP_SPrint and TAP_MemSet work on the plug-in's own buffers), and
// system() runs nothing. The disk writes through: what a call did before
// the cut is on the disk. At the cut open files and scans are dropped, the
// recording slots and playback stop (a power failure discards nothing: the
// timeshift buffer's set stays in "/DataFiles/TimeShift" as far as it was
// written, whatever system variable 18 says), the screen goes dark.
//
// The receiver starts again over the same disk, darkTicks after the cut
// (does nothing while the power is on): the clock and ticks move on, system
// variables as TAP_WriteSystemVar last stored them (sim_set_sysvar stores
// too), every TAP_MemAlloc block gone (the plug-in instance that ran before
// the cut must never run again), the plug-in's current folder
// "/ProgramFiles", no region, TAP_Exit and TAP_ExitNormal forgotten,
// nothing recording or playing. The terminals that are open stay open (they
// are the network's); the plug-in's descriptors on them carry nothing more.
// Faults, channels, the tuner and the disk stay. The caller then loads the
// plug-in afresh (sim/loader/plugin_loader.h).
void sim_power_restore(uint32_t darkTicks);

// ---------------------------------------------------------------------------
// Time: ticks (100 a second) and the wall clock move only here
void sim_set_clock(int year, int month, int day, int hour, int min, int sec);
void sim_set_clock_unset(
    void);  // the receiver has no time yet: TAP_GetTime reports MJD 0, 00:00:00
uint32_t sim_ticks(void);
void sim_set_ticks(uint32_t ticks);  // also moves the wall clock by the difference
void sim_advance(uint32_t ticks);    // moves ticks and wall clock

// ---------------------------------------------------------------------------
// System
void sim_set_sysvar(int n, int value);
int sim_get_sysvar(int n);
unsigned sim_sysvar_writes(void);  // calls of TAP_WriteSystemVar
void sim_set_state(uint32_t state, uint32_t subState);
void sim_set_system_id(uint32_t id);
int sim_exited(void);             // TAP_Exit was called
unsigned sim_normal_depth(void);  // TAP_ExitNormal calls minus TAP_EnterNormal calls

// ---------------------------------------------------------------------------
// Virtual terminals /dev/pts/0 .. /dev/pts/19 (none open at power-on)
void sim_terminal_open(int n, int open);
// Everything written to terminal n so far, zero bytes left out.
const char* sim_terminal_text(int n);
// Bytes written to terminal n so far, zero bytes included.
unsigned long sim_terminal_bytes(int n);
// 1 when a text holding needle reached any terminal.
int sim_console_contains(const char* needle);
// Lines the plug-in wrote to files whose name ends in ".log", in order,
// separated by "\n" (the CR LF of each line left out).
const char* sim_log_text(void);
int sim_log_contains(const char* needle);

// ---------------------------------------------------------------------------
// Tuner, channels and their current events
void sim_add_channel(int svcType, int svcNum, const char* name);
// name NULL: the channel has no current event (TAP_GetCurrentEvent gives NULL).
void sim_set_event(int svcType, int svcNum, const char* name, const char* description);
// The event id of the channel's current event (sim_set_event numbers them
// from 1); 0 is what the firmware gives a record that holds no programme.
void sim_set_event_id(int svcType, int svcNum, unsigned id);
void sim_tune(int svcType, int svcNum);

// ---------------------------------------------------------------------------
// Recorder: recording slots 0 .. slots-1, the timeshift slot right after them
void sim_set_slots(int slots);  // 2 (default) or 4
// 1: TAP_Hdd_GetRecInfo answers every slot, those beyond the timeshift slot
// with an idle record, as a firmware that refuses no slot does; 0 (the
// default): it refuses the first slot beyond the timeshift slot.
void sim_answer_every_slot(int on);
// Starts the timeshift buffer: the timeshift slot reports kind 2 and names
// the file; the set (stream, .inf with the start time, .nav) appears in
// "/DataFiles/TimeShift". name NULL picks "Timeshift.rec"-style default.
void sim_timeshift_start(const char* name);
// Closes the buffer: the slot goes idle (kind 0). The set stays when system
// variable 18 is not 0 and is discarded otherwise.
void sim_timeshift_stop(void);
void sim_record_start(int slot, const char* name);  // records "/DataFiles/<name>", kind 1
void sim_record_stop(int slot);
void sim_play(const char* path, int playMode);  // playMode 0 means 1
// The size of the playback in blocks as TAP_Hdd_GetPlayInfo reports it:
// blocks 0 or more (0: the empty playback the firmware reports before it
// has read the file), -1 from the file's size (what each sim_play starts with).
void sim_play_blocks(long long blocks);
void sim_play_stop(void);
// What the plug-in stopped: counts of TAP_Hdd_StopTs, TAP_Hdd_StopMp3, and
// TAP_Hdd_StopRecord per slot.
unsigned sim_stop_ts_calls(void);
unsigned sim_stop_mp3_calls(void);
unsigned sim_stop_record_calls(int slot);

// ---------------------------------------------------------------------------
// Observation
unsigned sim_call_count(const char* apiName);  // calls of one firmware API function
unsigned sim_total_calls(void);                // calls of all firmware API functions
void sim_reset_counts(void);                   // also resets the shell and stop counters
// The firmware API calls since the last reset (sim_reset_counts or
// sim_reset_call_sequence; up to 64 KiB of names), in order, each name
// followed by a blank: "TAP_Hdd_StopTs TAP_Hdd_StopMp3 ".
const char* sim_call_sequence(void);
void sim_reset_call_sequence(void);
unsigned sim_shell_commands(void);  // commands run through system()
const char* sim_last_shell_command(void);
unsigned sim_heap_in_use(void);  // blocks from TAP_MemAlloc not yet freed

// The runner's time line: called for every console text, log line, shell
// command and screen file as it happens. kind: "console", "log", "shell",
// "screen", "exit", "power" (a cut, and the start after it). NULL switches it
// off.
typedef void (*sim_observer_fn)(const char* kind, const char* text);
void sim_set_observer(sim_observer_fn fn);

// ---------------------------------------------------------------------------
// Screen
// Writes a PNG for every TAP_Osd_Sync that changed the frame, into dir, named
// by virtual time ("screen-HH-MM-SS.cc.png"); NULL switches it off.
void sim_screen_set_output(const char* dir);
int sim_screen_shows(const char* needle);  // a text holding needle is visible now
int sim_screen_empty(void);                // nothing of the plug-in is visible now
// The texts visible now, one a line, top to bottom.
const char* sim_screen_texts(void);
// Writes the current frame as PNG to a host path; 1 on success.
int sim_screen_write_png(const char* hostPath);
// ARGB value of the composed frame at (x, y), 0 outside.
uint32_t sim_screen_pixel(int x, int y);
// Region table queries for tests: 1 if the handle is a live region.
int sim_region_alive(int handle);

#ifdef __cplusplus
}
#endif

// ---------------------------------------------------------------------------
// Screen additions for tests: a region creation fault, and whether the
// screen writes PNG files.
#ifdef __cplusplus
extern "C" {
#endif
// The next TAP_Osd_Create creates nothing and returns result (for example
// 127 or -1, which no working create gives back while handles are left).
void sim_fail_osd_create(int result);
// 1 when this build of the screen draws with FreeType and writes PNG files
// (0 in the receiver build, which keeps pixels and texts only).
int sim_screen_has_png(void);
#ifdef __cplusplus
}
#endif
