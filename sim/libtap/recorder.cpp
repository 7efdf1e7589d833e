// The simulated receiver's recorder, player and tuner: recording slots and
// the timeshift slot after them, playback, channels and their current events.

// 64-bit file offsets and inode numbers also on the 32-bit receiver build
// (a 32-bit stat fails on large inode numbers).
#define _FILE_OFFSET_BITS 64
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sim/libtap/internal.h"

namespace sim {
namespace {

constexpr const char* kTimeShiftFolder = "/DataFiles/TimeShift";

struct Slot {
  byte kind;       // 0 idle, 1 recording, 2 timeshift
  char name[128];  // recorded file, no folder
};

int gSlots = 2;
// A firmware that refuses no slot: the slots beyond the timeshift slot answer
// with an idle record.
bool gAnswerEverySlot = false;
Slot gRec[4];
Slot gTs;

struct Play {
  bool active;
  byte mode;
  long long blocks;  // what the play info reports, -1: from the file's size
  std::string path;  // receiver path
} gPlay;
TYPE_FileRecord* gPlayRecord;  // low memory

unsigned gStopTs, gStopMp3;
unsigned gStopRecord[256];

struct Channel {
  int type, num;
  std::string name;
  bool hasEvent;
  std::string eventName, description;
  word evtId;
};
std::vector<Channel> gChannels;
bool gTuned;
int gTunedType, gTunedNum;
word gNextEvtId = 1;
TYPE_TapEvent gEvent;

void CopyCut(char* dst, size_t cap, const char* src) {
  size_t n = strnlen(src, cap - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

Channel* FindChannel(int type, int num) {
  for (Channel& c : gChannels)
    if (c.type == type && c.num == num) return &c;
  return nullptr;
}

Channel& ChannelOf(int type, int num) {
  if (Channel* c = FindChannel(type, num)) return *c;
  gChannels.push_back(Channel{type, num, "", false, "", "", 0});
  return gChannels.back();
}

std::string TimeShiftPath(const char* name) {
  return std::string(kTimeShiftFolder) + "/" + name;
}

void StopTimeshift() {
  if (gTs.kind == 0) return;
  const std::string stream = TimeShiftPath(gTs.name);
  gTs.kind = 0;
  if (sim_get_sysvar(SYSVAR_TimeshiftStorage) == 0) {
    // The buffer is not kept: the firmware discards the set.
    static const char* const kSuffixes[] = {"", ".inf", ".nav"};
    for (const char* s : kSuffixes) {
      char host[PATH_MAX];
      if (sim_host_path((stream + s).c_str(), host, sizeof host)) {
        struct stat st;
        if (lstat(host, &st) == 0 && !S_ISDIR(st.st_mode)) unlink(host);
      }
    }
    char folder[PATH_MAX];
    if (sim_host_path(kTimeShiftFolder, folder, sizeof folder)) StampNow(folder);
  }
  gTs.name[0] = '\0';
}

void FillSlot(TYPE_RecInfo* rec, const Slot& s) {
  rec->recType = s.kind;
  if (s.kind != 0) CopyCut(rec->fileName, sizeof rec->fileName, s.name);
}

}  // namespace

void RecorderReset() {
  gSlots = 2;
  gAnswerEverySlot = false;
  memset(gRec, 0, sizeof gRec);
  memset(&gTs, 0, sizeof gTs);
  gPlay.active = false;
  gPlay.mode = 0;
  gPlay.blocks = -1;
  gPlay.path.clear();
  gChannels.clear();
  gTuned = false;
  gTunedType = gTunedNum = 0;
  gNextEvtId = 1;
  memset(&gEvent, 0, sizeof gEvent);
  ResetStopCounts();
}

// The power goes: every slot stops where it was. A power failure discards
// nothing, so the timeshift buffer's set stays in the timeshift folder as far
// as it was written, whatever system variable 18 says; at the next start
// nothing records or plays until the viewer starts it again.
void RecorderPowerCut() {
  memset(gRec, 0, sizeof gRec);
  memset(&gTs, 0, sizeof gTs);
  gPlay.active = false;
}

void ResetStopCounts() {
  gStopTs = gStopMp3 = 0;
  memset(gStopRecord, 0, sizeof gStopRecord);
}

}  // namespace sim

using namespace sim;

extern "C" {

// ---------------------------------------------------------------------------
// Firmware API: recorder and player
int TAP_Hdd_GetRecInfo(byte slot, TYPE_RecInfo* recInfo) {
  SIM_COUNT_CALL();
  if (!recInfo) return 0;
  memset(recInfo, 0, sizeof *recInfo);
  SIM_WHEN_DARK_RETURN(0);
  if (slot < gSlots) {
    FillSlot(recInfo, gRec[slot]);
  } else if (slot == gSlots) {
    FillSlot(recInfo, gTs);
  } else if (!gAnswerEverySlot) {
    return 0;
  }
  return 1;
}

int TAP_Hdd_GetPlayInfo(TYPE_PlayInfo* playInfo) {
  SIM_COUNT_CALL();
  if (!playInfo) return 0;
  memset(playInfo, 0, sizeof *playInfo);
  SIM_WHEN_DARK_RETURN(0);
  if (!gPlay.active || !gPlayRecord) return 1;
  playInfo->playMode = gPlay.mode;
  const long long size = sim_file_size(gPlay.path.c_str());
  playInfo->totalBlock = gPlay.blocks >= 0 ? static_cast<dword>(gPlay.blocks)
                                           : static_cast<dword>((size > 0 ? size : 0) / 9024 + 1);
  playInfo->fileWord = LowWord(gPlayRecord);
  return 1;
}

// Stops the recording of a slot (the slot after the recording slots is the
// timeshift buffer). 1 when something was recording there, else 0.
int TAP_Hdd_StopRecord(byte slot) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  ++gStopRecord[slot];
  if (slot < gSlots && gRec[slot].kind != 0) {
    memset(&gRec[slot], 0, sizeof gRec[slot]);
    return 1;
  }
  if (slot == gSlots && gTs.kind != 0) {
    StopTimeshift();
    return 1;
  }
  return 0;
}

int TAP_Hdd_StopTs(void) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  ++gStopTs;
  const bool was = gPlay.active;
  gPlay.active = false;
  return was ? 1 : 0;
}

int TAP_Hdd_StopMp3(void) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  ++gStopMp3;
  const bool was = gPlay.active;
  gPlay.active = false;
  return was ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Firmware API: programme
int TAP_Channel_GetCurrent(int* svcType, int* svcNum) {
  SIM_COUNT_CALL();
  if (PowerOff()) {
    if (svcType) *svcType = 0;
    if (svcNum) *svcNum = 0;
    return 0;
  }
  if (svcType) *svcType = gTunedType;
  if (svcNum) *svcNum = gTunedNum;
  return gTuned ? 1 : 0;
}

TYPE_TapEvent* TAP_GetCurrentEvent(int svcType, int svcNum) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(nullptr);
  const Channel* c = FindChannel(svcType, svcNum);
  if (!c || !c->hasEvent) return nullptr;
  memset(&gEvent, 0, sizeof gEvent);
  gEvent.evtId = c->evtId;
  CopyCut(gEvent.eventName, sizeof gEvent.eventName, c->eventName.c_str());
  CopyCut(gEvent.description, sizeof gEvent.description, c->description.c_str());
  return &gEvent;
}

int TAP_Channel_GetInfo(int svcType, int svcNum, void* chInfo) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  const Channel* c = FindChannel(svcType, svcNum);
  if (!c || !chInfo) return 0;
  TYPE_ChInfo* info = static_cast<TYPE_ChInfo*>(chInfo);
  memset(info, 0, sizeof *info);
  CopyCut(info->chName, sizeof info->chName, c->name.c_str());
  return 1;
}

// ---------------------------------------------------------------------------
// Control: tuner
TAP_EXPORT void sim_add_channel(int svcType, int svcNum, const char* name) {
  ChannelOf(svcType, svcNum).name = name ? name : "";
}

TAP_EXPORT void sim_set_event(int svcType, int svcNum, const char* name, const char* description) {
  Channel& c = ChannelOf(svcType, svcNum);
  c.hasEvent = name != nullptr;
  c.eventName = name ? name : "";
  c.description = description ? description : "";
  if (name) {
    c.evtId = gNextEvtId;
    if (++gNextEvtId == 0) gNextEvtId = 1;
  }
}

TAP_EXPORT void sim_set_event_id(int svcType, int svcNum, unsigned id) {
  ChannelOf(svcType, svcNum).evtId = static_cast<word>(id);
}

TAP_EXPORT void sim_tune(int svcType, int svcNum) {
  gTuned = true;
  gTunedType = svcType;
  gTunedNum = svcNum;
}

// ---------------------------------------------------------------------------
// Control: recorder
TAP_EXPORT void sim_answer_every_slot(int on) {
  gAnswerEverySlot = on != 0;
}

TAP_EXPORT void sim_set_slots(int slots) {
  if (slots != 2 && slots != 4) return;
  gSlots = slots;
  for (int i = slots; i < 4; ++i) memset(&gRec[i], 0, sizeof gRec[i]);
}

TAP_EXPORT void sim_timeshift_start(const char* name) {
  StopTimeshift();
  char chosen[128];
  if (name && *name) {
    CopyCut(chosen, sizeof chosen, name);
  } else {
    strcpy(chosen, "Timeshift.rec");
    for (int n = 2; sim_exists(TimeShiftPath(chosen).c_str()) && n < 10000; ++n)
      snprintf(chosen, sizeof chosen, "Timeshift-%d.rec", n);
  }
  MakeRecordingAt(TimeShiftPath(chosen).c_str(), ClockSeconds());
  gTs.kind = 2;
  strcpy(gTs.name, chosen);
}

TAP_EXPORT void sim_timeshift_stop(void) {
  StopTimeshift();
}

TAP_EXPORT void sim_record_start(int slot, const char* name) {
  if (slot < 0 || slot >= gSlots || !name || !*name) return;
  char chosen[128];
  CopyCut(chosen, sizeof chosen, name);
  MakeRecordingAt((std::string("/DataFiles/") + chosen).c_str(), ClockSeconds());
  gRec[slot].kind = 1;
  strcpy(gRec[slot].name, chosen);
}

TAP_EXPORT void sim_record_stop(int slot) {
  if (slot >= 0 && slot < 4) memset(&gRec[slot], 0, sizeof gRec[slot]);
}

TAP_EXPORT void sim_play(const char* path, int playMode) {
  if (!path || !*path) return;
  if (!gPlayRecord) gPlayRecord = static_cast<TYPE_FileRecord*>(LowAlloc(sizeof(TYPE_FileRecord)));
  if (!gPlayRecord) return;
  const char* slash = strrchr(path, '/');
  memset(gPlayRecord, 0, sizeof *gPlayRecord);
  CopyCut(gPlayRecord->name, sizeof gPlayRecord->name, slash ? slash + 1 : path);
  gPlay.active = true;
  gPlay.mode = static_cast<byte>(playMode == 0 ? 1 : playMode);
  gPlay.blocks = -1;
  gPlay.path = path;
}

TAP_EXPORT void sim_play_blocks(long long blocks) {
  gPlay.blocks = blocks < 0 ? -1 : blocks > 0xFFFFFFFFLL ? 0xFFFFFFFFLL : blocks;
}

TAP_EXPORT void sim_play_stop(void) {
  gPlay.active = false;
}

TAP_EXPORT unsigned sim_stop_ts_calls(void) {
  return gStopTs;
}
TAP_EXPORT unsigned sim_stop_mp3_calls(void) {
  return gStopMp3;
}
TAP_EXPORT unsigned sim_stop_record_calls(int slot) {
  return slot >= 0 && slot < 256 ? gStopRecord[slot] : 0;
}

}  // extern "C"
