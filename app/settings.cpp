// Settings read from "Brantlow.ini" and the dialog texts in both languages.
#include "app/settings.h"

#include "lib/ini.h"
#include "lib/log.h"

dword KeepBufferHours = 36;
dword RenameMode = 2;

// ISO-8859-1; umlauts as byte escapes so the bytes do not depend on the
// encoding of this source file.
const char* const lanItems[2][LAN_ROWS_DIALOG] = {
    {"Ja", "Nein", "Gespeicherte Timeshiftpuffer l\xF6schen ?", "Timeshift eingeschaltet",
     "Timeshift speichern eingeschaltet"},
    {"Yes", "No", "Delte all saved timeshift recordings ?", "Timeshift switched on",
     "Timeshift storage switched on"},
};

int LoadIni(void) {
  if (INIOpenFile("Brantlow.ini", "Brantlow") == 1) {
    TRACE("Brantlow.ini not Found, using KeepBufferHours=%d, RenameMode %d\r\n",
          static_cast<int>(KeepBufferHours), static_cast<int>(RenameMode));
  } else {
    KeepBufferHours = static_cast<dword>(INIGetInt("KeepBufferHours", 36, 0, 10000));
    RenameMode = static_cast<dword>(INIGetInt("RenameMode", 1, 0, 2));
    TRACE("Brantlow.ini Found, KeepBufferHours=%d, RenameMode %d\r\n",
          static_cast<int>(KeepBufferHours), static_cast<int>(RenameMode));
  }
  return INICloseFile();
}
