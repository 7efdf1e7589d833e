// Checked screen calls. Each wrapper compares its arguments with the screen
// (720 x 576) or with the regions' real sizes from the firmware's region
// table, prints one console line per doubtful value and then makes the call
// exactly as asked: nothing is refused, clipped or corrected.
#include "lib/osd_check.h"

#include "lib/firmware.h"
#include "lib/log.h"

namespace {

constexpr dword kScreenW = 720;
constexpr dword kScreenH = 576;

// Address of the firmware's region table; null until it has been found.
void* vOSDMap = nullptr;

// The tag is the only part of a warning whose length the wrappers do not
// control; every format prints at most this many bytes of it, so a line
// always fits the 512-byte console buffer.
#define TAG_FMT "%.300s"

const char* TagText(const char* tag) {
  return tag ? tag : "";
}

// Values are printed as signed numbers, so a coordinate of -1 reads as -1.
inline int S(dword v) {
  return static_cast<int>(v);
}

}  // namespace

void* FIS_vOSDMap(void) {
  if (vOSDMap) return vOSDMap;
  vOSDMap = TryResolve("_osdInfo");
  return vOSDMap;
}

dword GetOSDRegionWidth(word rgn) {
  const TYPE_OsdInfoEntry* map = static_cast<const TYPE_OsdInfoEntry*>(FIS_vOSDMap());
  if (!map) return 0;
  return map[rgn].width;
}

dword GetOSDRegionHeight(word rgn) {
  const TYPE_OsdInfoEntry* map = static_cast<const TYPE_OsdInfoEntry*>(FIS_vOSDMap());
  if (!map) return 0;
  return map[rgn].height;
}

int isOSDRegionAlive(word rgn) {
  if (GetOSDRegionWidth(rgn) == 0) return 0;
  return GetOSDRegionHeight(rgn) != 0 ? 1 : 0;
}

int TAP_Osd_Create_Chk(const char* tag, dword x, dword y, dword w, dword h, byte lutIdx,
                       int flags) {
  const char* t = TagText(tag);
  if (x >= kScreenW) {
    TAP_SPrint(puffer, "TAP_Osd_Create_Chk Warning: x(%d) out of range @ " TAG_FMT "\n", S(x), t);
    PrintNet(puffer);
  }
  if (y >= kScreenH) {
    TAP_SPrint(puffer, "TAP_Osd_Create_Chk Warning: y(%d) out of range @ " TAG_FMT "\n", S(y), t);
    PrintNet(puffer);
  }
  if (x + w > kScreenW) {
    TAP_SPrint(puffer, "TAP_Osd_Create_Chk Warning: x(%d) + w(%d) out of range @ " TAG_FMT "\n",
               S(x), S(w), t);
    PrintNet(puffer);
  }
  if (y + h > kScreenH) {
    TAP_SPrint(puffer, "TAP_Osd_Create_Chk Warning: y(%d) + h(%d) out of range @ " TAG_FMT "\n",
               S(y), S(h), t);
    PrintNet(puffer);
  }
  int ret = TAP_Osd_Create(x, y, w, h, lutIdx, flags);
  if (ret < 128) {
    TAP_SPrint(puffer, "TAP_Osd_Create_Chk Warning: TAP_Osd_Create() returned %d @ " TAG_FMT "\n",
               ret, t);
    PrintNet(puffer);
  }
  return ret;
}

int TAP_Osd_FillBox_Chk(const char* tag, word rgn, dword x, dword y, dword w, dword h,
                        dword color) {
  const char* t = TagText(tag);
  if (!isOSDRegionAlive(rgn)) {
    TAP_SPrint(puffer,
               "TAP_Osd_FillBox_Chk Warning: rgn(%d) points to an undefined region @ " TAG_FMT "\n",
               static_cast<int>(rgn), t);
    PrintNet(puffer);
  }
  if (x >= kScreenW) {
    TAP_SPrint(puffer, "TAP_Osd_FillBox_Chk Warning: x(%d) out of range @ " TAG_FMT "\n", S(x), t);
    PrintNet(puffer);
  }
  if (y >= kScreenH) {
    TAP_SPrint(puffer, "TAP_Osd_FillBox_Chk Warning: y(%d) out of range @ " TAG_FMT "\n", S(y), t);
    PrintNet(puffer);
  }
  if (x + w > kScreenW) {
    TAP_SPrint(puffer, "TAP_Osd_FillBox_Chk Warning: x(%d) + w(%d) out of range @ " TAG_FMT "\n",
               S(x), S(w), t);
    PrintNet(puffer);
  }
  if (y + h > kScreenH) {
    TAP_SPrint(puffer, "TAP_Osd_FillBox_Chk Warning: y(%d) + h(%d) out of range @ " TAG_FMT "\n",
               S(y), S(h), t);
    PrintNet(puffer);
  }
  int ret = TAP_Osd_FillBox(rgn, x, y, w, h, color);
  if (ret != 0) {
    TAP_SPrint(puffer, "TAP_Osd_FillBox_Chk Warning: TAP_Osd_FillBox() returned %d @ " TAG_FMT "\n",
               ret, t);
    PrintNet(puffer);
  }
  return ret;
}

int TAP_Osd_Copy_Chk(const char* tag, word srcRgn, word dstRgn, dword srcX, dword srcY, dword w,
                     dword h, dword dstX, dword dstY, int sprite) {
  const char* t = TagText(tag);
  dword srcW = GetOSDRegionWidth(srcRgn);
  dword srcH = GetOSDRegionHeight(srcRgn);
  if (srcX >= srcW) {
    TAP_SPrint(puffer, "TAP_Osd_Copy_Chk Warning: srcX(%d) >= srcRgnW(%d) @ " TAG_FMT "\n", S(srcX),
               S(srcW), t);
    PrintNet(puffer);
  }
  if (srcY >= srcH) {
    TAP_SPrint(puffer, "TAP_Osd_Copy_Chk Warning: srcY(%d) >= srcRgnH(%d) @ " TAG_FMT "\n", S(srcY),
               S(srcH), t);
    PrintNet(puffer);
  }
  if (srcX + w > srcW) {
    TAP_SPrint(puffer, "TAP_Osd_Copy_Chk Warning: (srcX(%d) + w(%d)) > srcRgnW(%d) @ " TAG_FMT "\n",
               S(srcX), S(w), S(srcW), t);
    PrintNet(puffer);
  }
  if (srcY + h > srcH) {
    TAP_SPrint(puffer, "TAP_Osd_Copy_Chk Warning: (srcY(%d) + h(%d)) > srcRgnH(%d) @ " TAG_FMT "\n",
               S(srcY), S(h), S(srcH), t);
    PrintNet(puffer);
  }
  dword dstW = GetOSDRegionWidth(dstRgn);
  dword dstH = GetOSDRegionHeight(dstRgn);
  if (dstX >= dstW) {
    TAP_SPrint(puffer, "TAP_Osd_Copy_Chk Warning: dstX(%d) >= dstRgnW(%d) @ " TAG_FMT "\n", S(dstX),
               S(dstW), t);
    PrintNet(puffer);
  }
  if (dstY >= dstH) {
    TAP_SPrint(puffer, "TAP_Osd_Copy_Chk Warning: dstY(%d) >= dstRgnH(%d) @ " TAG_FMT "\n", S(dstY),
               S(dstH), t);
    PrintNet(puffer);
  }
  if (dstX + w > dstW) {
    TAP_SPrint(puffer, "TAP_Osd_Copy_Chk Warning: (dstX(%d) + w(%d)) > dstRgnW(%d) @ " TAG_FMT "\n",
               S(dstX), S(w), S(dstW), t);
    PrintNet(puffer);
  }
  if (dstY + h > dstH) {
    TAP_SPrint(puffer, "TAP_Osd_Copy_Chk Warning: (dstY(%d) + h(%d)) > dstRgnH(%d) @ " TAG_FMT "\n",
               S(dstY), S(h), S(dstH), t);
    PrintNet(puffer);
  }
  int ret = TAP_Osd_Copy(srcRgn, dstRgn, srcX, srcY, w, h, dstX, dstY, sprite);
  if (ret != 0) {
    TAP_SPrint(puffer, "TAP_Osd_Copy_Chk Warning: TAP_Osd_Copy() returned %d @ " TAG_FMT "\n", ret,
               t);
    PrintNet(puffer);
  }
  return ret;
}
