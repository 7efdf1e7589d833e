// The plug-in's confirmation dialog: one window with a title, one line of
// text and one or two buttons, drawn straight with the firmware's screen
// calls. There is one dialog at a time; opening it again redraws it in place.
#include "app/dialog.h"

#include <string.h>

// The selection bar: a 100 x 25 picture of 16-bit pixels (bit 15 opaque,
// then 5 bits each of red, green and blue), run-length packed. The packed
// stream is a series of packets until the picture is full:
//   0x00-0x7F  n: the next pixel (2 bytes, little-endian) n + 1 times
//   0x80-0xFE  n: n - 0x7F pixels follow as they are (2 bytes each)
//   0xFF       end of the picture
// Pixels without bit 15 are transparent. The bar is a light amber gradient
// with a pale border, a bright top line, a darker bottom edge and rounded top
// corners.
extern const byte _selectCpm[153] = {
    0x80, 0x00, 0x00, 0x61, 0xD9, 0xFF, 0x81, 0x00, 0x00, 0xD9, 0xFF, 0x61, 0xFE, 0xFF, 0x01, 0xD9,
    0xFF, 0x61, 0x94, 0xFF, 0x01, 0xD9, 0xFF, 0x61, 0x73, 0xFF, 0x01, 0xD9, 0xFF, 0x61, 0x72, 0xFF,
    0x01, 0xD9, 0xFF, 0x61, 0x72, 0xFF, 0x01, 0xD9, 0xFF, 0x61, 0x51, 0xFF, 0x01, 0xD9, 0xFF, 0x61,
    0x50, 0xFF, 0x01, 0xD9, 0xFF, 0x61, 0x30, 0xFB, 0x01, 0xD9, 0xFF, 0x61, 0x2F, 0xFB, 0x01, 0xD9,
    0xFF, 0x61, 0x2E, 0xFB, 0x01, 0xD9, 0xFF, 0x61, 0x0E, 0xFB, 0x01, 0xD9, 0xFF, 0x61, 0x0D, 0xFB,
    0x01, 0xD9, 0xFF, 0x61, 0xEC, 0xFA, 0x01, 0xD9, 0xFF, 0x61, 0xEC, 0xFA, 0x01, 0xD9, 0xFF, 0x61,
    0xEB, 0xFA, 0x01, 0xD9, 0xFF, 0x61, 0xCA, 0xF6, 0x01, 0xD9, 0xFF, 0x61, 0xCA, 0xF6, 0x01, 0xD9,
    0xFF, 0x61, 0xA9, 0xF6, 0x01, 0xD9, 0xFF, 0x61, 0xA8, 0xF6, 0x01, 0xD9, 0xFF, 0x61, 0xA8, 0xF6,
    0x01, 0xD9, 0xFF, 0x61, 0x87, 0xF6, 0x01, 0xD9, 0xFF, 0x61, 0x86, 0xF6, 0x01, 0xD9, 0xFF, 0x61,
    0x86, 0xF6, 0x80, 0xD9, 0xFF, 0x63, 0x82, 0xCD, 0xFF,
};

extern const TYPE_GrData _selectGd = {1, 0, 0, 2, _selectCpm, 5000, 100, 25};

namespace {

int dialogisActive = 0;
word dialogregion = 0;
dword SavedIdentifier = 0;
int SelectedDialog = 0;
char SavedDialogTitle[256];
char SavedDialogText[256];
char SavedButton1Text[256];
char SavedButton2Text[256];
int SavedTimeOut = 0;
dword MessageBoxTicks = 0;
word textoffset = 0;

constexpr dword kTitleColor = 0xFFE89211;
constexpr dword kTextColor = 0xFFC0C0C0;
constexpr dword kFrameColor = 0xFF464646;
constexpr dword kTitleFill = 0xFF202020;
constexpr dword kBodyFill = 0xFF282828;
constexpr dword kButtonDark = 0xFF242424;
constexpr dword kButtonText = 0xFFFFFFFF;

// Keeps the first 254 characters of src in dst, always terminated. src may be
// dst itself (a redraw passes the saved texts) or overlap it.
void SaveText(char* dst, const char* src) {
  if (!src) src = "";
  size_t n = strnlen(src, 254);
  if (src != dst) memmove(dst, src, n);
  dst[n] = '\0';
  dst[254] = '\0';
}

// Texts drawn as passed; a missing one draws as an empty line.
const char* Shown(const char* s) {
  return s ? s : "";
}

}  // namespace

void Dialog_DisplayWindow(dword identifier, dword selected, const char* title, const char* text,
                          const char* button1, const char* button2, int timeOut) {
  if (!dialogisActive) {
    TAP_ExitNormal();
    dialogregion = static_cast<word>(TAP_Osd_Create(180, 212, 360, 155, 0, 2));
    MessageBoxTicks = TAP_GetTick();
  }

  SavedIdentifier = identifier;
  SavedTimeOut = timeOut;
  SaveText(SavedDialogTitle, title);
  SaveText(SavedDialogText, text);
  SaveText(SavedButton1Text, button1);
  SaveText(SavedButton2Text, button2);

  const word rgn = dialogregion;
  title = Shown(title);
  text = Shown(text);
  button1 = Shown(button1);
  button2 = Shown(button2);

  TAP_Osd_Draw3dBoxFill(rgn, 0, 0, 360, 36, kFrameColor, kFrameColor, kTitleFill);
  TAP_Osd_PutS(rgn, 0, textoffset + 5, 360, title, kTitleColor, 0, 0, 1, 0, 1);
  TAP_Osd_Draw3dBoxFill(rgn, 0, 34, 360, 121, kFrameColor, kFrameColor, kBodyFill);
  TAP_Osd_PutS(rgn, 0, textoffset + 65, 360, text, kTextColor, 0, 0, 1, 0, 1);

  const bool twoButtons = button2[0] != '\0';
  const dword x1 = twoButtons ? 60 : 140;
  const dword y = textoffset + 120;
  // A one-button dialog always shows its button marked.
  if (selected == 0 || !twoButtons) {
    TAP_Osd_PutGd(rgn, static_cast<int>(x1), 120, &_selectGd, 0);
    if (twoButtons) TAP_Osd_FillBox(rgn, 200, 120, 100, 25, kButtonDark);
    TAP_Osd_PutS(rgn, x1, y, x1 + 100, button1, kButtonDark, 0, 0, 1, 0, 1);
    TAP_Osd_PutS(rgn, 200, y, 300, button2, kButtonText, 0, 0, 1, 0, 1);
  } else {
    TAP_Osd_PutGd(rgn, 200, 120, &_selectGd, 0);
    TAP_Osd_FillBox(rgn, 60, 120, 100, 25, kButtonDark);
    TAP_Osd_PutS(rgn, x1, y, x1 + 100, button1, kButtonText, 0, 0, 1, 0, 1);
    TAP_Osd_PutS(rgn, 200, y, 300, button2, kButtonDark, 0, 0, 1, 0, 1);
  }

  SelectedDialog = static_cast<int>(selected);
  dialogisActive = 1;
  TAP_Osd_Sync();
}

int Dialog_IsActive(void) {
  return dialogisActive;
}

int Dialog_ProcessKey(dword* identifier, dword event, dword param1, dword param2) {
  (void)param2;
  if (!dialogisActive) return 3;
  if (identifier) *identifier = SavedIdentifier;

  const dword code = event & 0xFFFF;
  if (code == EVT_KEY) {
    switch (param1) {
      case RKEY_Left:
        if (SelectedDialog == 1 && SavedButton2Text[0] != '\0')
          Dialog_DisplayWindow(SavedIdentifier, 0, SavedDialogTitle, SavedDialogText,
                               SavedButton1Text, SavedButton2Text, 0);
        return 3;
      case RKEY_Right:
        if (SelectedDialog == 0 && SavedButton2Text[0] != '\0')
          Dialog_DisplayWindow(SavedIdentifier, 1, SavedDialogTitle, SavedDialogText,
                               SavedButton1Text, SavedButton2Text, 0);
        return 3;
      case RKEY_Exit:
        Dialog_HideWindow();
        return 3;
      case RKEY_Ok: {
        const int result = SelectedDialog == 0 ? 1 : 2;
        Dialog_HideWindow();
        return result;
      }
      default:
        return 5;
    }
  }
  if (code == EVT_IDLE) {
    if (SavedTimeOut <= 0) return 3;
    const dword now = TAP_GetTick();
    if (MessageBoxTicks + static_cast<dword>(SavedTimeOut) * 100u < now) {
      Dialog_HideWindow();
      return 4;
    }
    return 3;
  }
  return 3;
}

void Dialog_HideWindow(void) {
  TAP_Osd_Delete(dialogregion);
  TAP_Osd_Sync();
  TAP_EnterNormal();
  dialogisActive = 0;
}
