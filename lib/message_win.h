// Message window: a passive, centred window with a title and text lines.
#pragma once

#include "platform/tap.h"

extern dword msgwin_rgn;

void ShowMessageWin(const char* title, const char* line1, const char* line2, dword delay);
void ShowMessageWindow(const char** content, dword x, dword y, byte fontSize, byte align,
                       dword frameColor, dword titleColor, dword textColor, dword bgColor,
                       dword delay);
void EndMessageWin(void);
