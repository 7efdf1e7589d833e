// Message window: a passive window with a title and text lines, sized to its
// contents. It is drawn into an off-screen region first and then copied into
// the visible region in one step, so it appears whole.
#include "lib/message_win.h"

#include "lib/osd_check.h"

dword msgwin_rgn = 0;

namespace {

constexpr dword kScreenW = 720;
constexpr dword kScreenH = 576;

// Per font size: line height and the width margin added to each measured
// text; the frame border and the line insets derive from the margin.
struct FontMetrics {
  dword lineHeight;
  dword widthMargin;
};
constexpr FontMetrics kMetrics[3] = {{19, 14}, {22, 16}, {26, 20}};

// a - b, or 0 when b is larger: a window cut down to a few pixels at the
// screen edge must not turn its inner sizes into huge values.
inline dword SatSub(dword a, dword b) {
  return a > b ? a - b : 0;
}

}  // namespace

void ShowMessageWin(const char* title, const char* line1, const char* line2, dword delay) {
  const char* content[4] = {title, line1, line2, nullptr};
  ShowMessageWindow(content, kScreenW, kScreenH, 2, 1, 0xFF9C9C9C, 0xFFFFFF52, 0xFFE6FFE6,
                    0xFF192952, delay);
}

void ShowMessageWindow(const char** content, dword x, dword y, byte fontSize, byte align,
                       dword frameColor, dword titleColor, dword textColor, dword bgColor,
                       dword delay) {
  if (!content) return;
  if (!content[0] && !content[1]) content[0] = "";

  if (fontSize > 2) fontSize = 2;
  const dword lineH = kMetrics[fontSize].lineHeight;
  const dword margin = kMetrics[fontSize].widthMargin;
  const dword border = margin / 4;
  const dword inset = align == 1 ? margin / 4 : margin / 2;

  const char* title = content[0];
  dword height = 10;
  dword width = 0;
  if (title) {
    height = lineH + 10;
    width = TAP_Osd_GetW(title, 0, fontSize) + margin;
  }

  // Lines while they fit above the screen's last row; a null entry ends the
  // list.
  int lines = 0;
  for (int i = 1;; ++i) {
    if (y < kScreenH) {
      if (y + height + lineH >= kScreenH) break;
    } else if (height + lineH >= kScreenH) {
      break;
    }
    if (!content[i]) break;
    height += lineH;
    dword w = TAP_Osd_GetW(content[i], 0, fontSize) + margin;
    if (w > width) width = w;
    ++lines;
  }

  if (x >= kScreenW) {
    if (width > kScreenW) {
      width = kScreenW;
      x = 0;
    } else {
      x = (kScreenW - width) / 2;
    }
  } else if (width > kScreenW - x) {
    width = kScreenW - x;
  }
  if (y >= kScreenH) y = (kScreenH - height) / 2;

  word rgnA =
      static_cast<word>(TAP_Osd_Create_Chk("ShowMessageWindow A", x, y, width, height, 0, 0x8000));
  TAP_Osd_FillBox_Chk("ShowMessageWindow A", rgnA, 0, 0, width, height, frameColor);
  TAP_Osd_FillBox_Chk("ShowMessageWindow B", rgnA, border, border, SatSub(width, 2 * border),
                      SatSub(height, 2 * border), bgColor);

  dword row = 0;
  if (title) {
    TAP_Osd_PutS(rgnA, border, 5, SatSub(width, border), title, titleColor, bgColor, 0, fontSize, 0,
                 1);
    row = lineH;
  }
  for (int i = 1; i <= lines; ++i) {
    TAP_Osd_PutS(rgnA, inset, row + 5, SatSub(width, inset), content[i], textColor, bgColor, 0,
                 fontSize, 0, align);
    row += lineH;
  }

  if (msgwin_rgn != 0) TAP_Osd_Delete(static_cast<word>(msgwin_rgn));
  msgwin_rgn =
      static_cast<dword>(TAP_Osd_Create_Chk("ShowMessageWindow B", x, y, width, height, 0, 0));
  TAP_Osd_Copy_Chk("ShowMessageWindow A", rgnA, static_cast<word>(msgwin_rgn), 0, 0, width, height,
                   0, 0, 0);
  TAP_Osd_Delete(rgnA);
  TAP_Osd_Sync();

  if (delay != 0) {
    TAP_Delay(delay);
    EndMessageWin();
  }
}

void EndMessageWin(void) {
  if (msgwin_rgn != 0) TAP_Osd_Delete(static_cast<word>(msgwin_rgn));
  msgwin_rgn = 0;
  TAP_Osd_Sync();
}
