// In-place clean-up of programme and service names.
#pragma once

void KillCtrChar(char* text);
void KillNonWindowsChar(char* text);
void strlwr(char* text);
void trim(char* text);
