// The plug-in's yes/no dialog: one window, one or two buttons, a time-out.
#pragma once

#include "platform/tap.h"

extern const TYPE_GrData _selectGd;
extern const byte _selectCpm[153];

void Dialog_DisplayWindow(dword identifier, dword selected, const char* title, const char* text,
                          const char* button1, const char* button2, int timeOut);
int Dialog_IsActive(void);
int Dialog_ProcessKey(dword* identifier, dword event, dword param1, dword param2);
void Dialog_HideWindow(void);
