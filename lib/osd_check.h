// Checked screen calls: warn on the console about doubtful arguments, then
// make the call unchanged. Region sizes come from the firmware's region table.
#pragma once

#include "platform/tap.h"

int TAP_Osd_Create_Chk(const char* tag, dword x, dword y, dword w, dword h, byte lutIdx, int flags);
int TAP_Osd_FillBox_Chk(const char* tag, word rgn, dword x, dword y, dword w, dword h, dword color);
int TAP_Osd_Copy_Chk(const char* tag, word srcRgn, word dstRgn, dword srcX, dword srcY, dword w,
                     dword h, dword dstX, dword dstY, int sprite);
dword GetOSDRegionWidth(word rgn);
dword GetOSDRegionHeight(word rgn);
int isOSDRegionAlive(word rgn);
void* FIS_vOSDMap(void);
