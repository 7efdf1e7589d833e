// The simulated receiver's screen: regions and the region table, drawing,
// text, the packed graphic, composition of the visible regions, and the PNG
// files of the frame.
#include <dirent.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/dialog.h"
#include "sim/control.h"
#include "tests/support/sim_fixture.h"

extern "C" TYPE_OsdInfoEntry _osdInfo[];

namespace {

constexpr uint32_t kRed = 0xFFFF0000, kBlue = 0xFF0000FF, kWhite = 0xFFFFFFFF;

class ScreenTest : public SimTest {
 protected:
  static word Create(dword x, dword y, dword w, dword h, int flag = 0) {
    int r = TAP_Osd_Create(x, y, w, h, 0, flag);
    EXPECT_GE(r, 128);
    return static_cast<word>(r);
  }
  // Columns of the frame's rows [y0, y1) and columns [0, x1) where a pixel
  // differs from bg.
  static std::pair<int, int> InkColumns(int y0, int y1, int x1, uint32_t bg) {
    int lo = 720, hi = -1;
    for (int y = y0; y < y1; ++y)
      for (int x = 0; x < x1; ++x)
        if (sim_screen_pixel(x, y) != bg) {
          lo = std::min(lo, x);
          hi = std::max(hi, x);
        }
    return {lo, hi};
  }
};

std::vector<std::string> PngFiles(const std::string& dir) {
  std::vector<std::string> v;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (strstr(e->d_name, ".png")) v.push_back(e->d_name);
    closedir(d);
  }
  std::sort(v.begin(), v.end());
  return v;
}

bool IsPng(const std::string& path) {
  unsigned char sig[8] = {0};
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  size_t n = fread(sig, 1, 8, f);
  fclose(f);
  static const unsigned char kSig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  return n == 8 && memcmp(sig, kSig, 8) == 0;
}

// --- regions and the region table ---------------------------------------------

TEST_F(ScreenTest, HandlesStartAt128AndTheTableFollowsThem) {
  word a = Create(0, 0, 300, 40);
  word b = Create(10, 10, 20, 30, 0x8000);
  EXPECT_EQ(128, a);
  EXPECT_EQ(129, b);
  EXPECT_EQ(300, _osdInfo[a].width);
  EXPECT_EQ(40, _osdInfo[a].height);
  EXPECT_EQ(20, _osdInfo[b].width);
  EXPECT_EQ(0, TAP_Osd_Delete(a));
  EXPECT_EQ(0, _osdInfo[a].width);
  EXPECT_EQ(0, _osdInfo[a].height);
  EXPECT_EQ(0, sim_region_alive(a));
  EXPECT_NE(0, TAP_Osd_Delete(a));
  EXPECT_EQ(128, TAP_Osd_Create(0, 0, 5, 5, 0, 0));  // freed handle comes back
}

TEST_F(ScreenTest, CreateRefusesEmptyRegionsAndRunsOutOfHandles) {
  EXPECT_EQ(-1, TAP_Osd_Create(0, 0, 0, 10, 0, 0));
  EXPECT_EQ(-1, TAP_Osd_Create(0, 0, 10, 0, 0, 0));
  for (int i = 0; i < 128; ++i) ASSERT_EQ(128 + i, TAP_Osd_Create(0, 0, 1, 1, 0, 0x8000));
  EXPECT_EQ(-1, TAP_Osd_Create(0, 0, 1, 1, 0, 0));
}

TEST_F(ScreenTest, DrawingIntoAMissingRegionFails) {
  EXPECT_NE(0, TAP_Osd_FillBox(130, 0, 0, 1, 1, kRed));
  EXPECT_NE(0, TAP_Osd_PutS(130, 0, 0, 100, "x", kRed, 0, 0, 0, 0, 0));
  EXPECT_NE(0, TAP_Osd_Copy(130, 131, 0, 0, 1, 1, 0, 0, 0));
  EXPECT_EQ(1, sim_screen_empty());
}

TEST_F(ScreenTest, SimInitResetsTheScreen) {
  word a = Create(0, 0, 50, 50);
  TAP_Osd_FillBox(a, 0, 0, 50, 50, kRed);
  ASSERT_EQ(1, sim_init(disk.c_str()));
  EXPECT_EQ(0, sim_region_alive(a));
  EXPECT_EQ(0, _osdInfo[a].width);
  EXPECT_EQ(1, sim_screen_empty());
  EXPECT_EQ(128, TAP_Osd_Create(0, 0, 5, 5, 0, 0));
}

// --- composition ----------------------------------------------------------------

TEST_F(ScreenTest, VisibleRegionsComposeInCreationOrder) {
  word below = Create(100, 100, 50, 50);
  word above = Create(120, 120, 50, 50);
  TAP_Osd_FillBox(below, 0, 0, 50, 50, kRed);
  TAP_Osd_FillBox(above, 0, 0, 50, 50, kBlue);
  EXPECT_EQ(kRed, sim_screen_pixel(110, 110));
  EXPECT_EQ(kBlue, sim_screen_pixel(130, 130));
  EXPECT_EQ(kBlue, sim_screen_pixel(169, 169));
  EXPECT_EQ(0u, sim_screen_pixel(170, 169));
  // Transparent pixels of the upper region let the lower one through.
  TAP_Osd_FillBox(above, 0, 0, 10, 10, 0);
  EXPECT_EQ(kRed, sim_screen_pixel(125, 125));
  // Regions reaching over the edge are cut at it.
  word edge = Create(700, 560, 100, 100);
  TAP_Osd_FillBox(edge, 0, 0, 100, 100, kWhite);
  EXPECT_EQ(kWhite, sim_screen_pixel(719, 575));
}

TEST_F(ScreenTest, OffscreenRegionsAreNeverShown) {
  word off = Create(0, 0, 200, 40, 0x8000);
  TAP_Osd_FillBox(off, 0, 0, 200, 40, kRed);
  TAP_Osd_PutS(off, 0, 5, 200, "hidden", kWhite, 0, 0, 2, 0, 0);
  TAP_Osd_Sync();
  EXPECT_EQ(1, sim_screen_empty());
  EXPECT_EQ(0u, sim_screen_pixel(10, 10));
  EXPECT_EQ(0, sim_screen_shows("hidden"));
  EXPECT_STREQ("", sim_screen_texts());

  word vis = Create(300, 300, 200, 40);
  EXPECT_EQ(0, TAP_Osd_Copy(off, vis, 0, 0, 200, 40, 0, 0, 0));
  EXPECT_EQ(kRed, sim_screen_pixel(300, 300));
  EXPECT_EQ(1, sim_screen_shows("hidden"));
  TAP_Osd_Delete(off);
  EXPECT_EQ(1, sim_screen_shows("hidden"));
}

// --- texts beside the pixels ------------------------------------------------------

TEST_F(ScreenTest, FillsCoverTextsAndCopiesCarryThem) {
  word a = Create(0, 0, 300, 100);
  TAP_Osd_PutS(a, 0, 0, 300, "top line", kWhite, 0, 0, 1, 0, 0);
  TAP_Osd_PutS(a, 0, 50, 300, "bottom line", kWhite, 0, 0, 1, 0, 0);
  EXPECT_STREQ("top line\nbottom line\n", sim_screen_texts());
  TAP_Osd_FillBox(a, 0, 45, 300, 55, kBlue);
  EXPECT_EQ(0, sim_screen_shows("bottom"));
  EXPECT_EQ(1, sim_screen_shows("top line"));
  // A sliver of fill leaves the text readable.
  TAP_Osd_FillBox(a, 0, 0, 300, 2, kBlue);
  EXPECT_EQ(1, sim_screen_shows("top line"));

  // Copy a part holding the text into another region, then copy over it.
  word b = Create(0, 200, 300, 100);
  TAP_Osd_Copy(a, b, 0, 0, 300, 30, 0, 60, 0);
  EXPECT_STREQ("top line\ntop line\n", sim_screen_texts());
  TAP_Osd_Copy(a, b, 0, 45, 300, 40, 0, 50, 0);
  EXPECT_STREQ("top line\n", sim_screen_texts());
}

TEST_F(ScreenTest, TextUnderAnOpaqueRegionIsNotRead) {
  word below = Create(0, 0, 300, 30);
  TAP_Osd_PutS(below, 0, 0, 300, "under", kWhite, 0, 0, 1, 0, 1);
  word above = Create(0, 0, 300, 30);
  EXPECT_EQ(1, sim_screen_shows("under"));  // the new region is transparent
  TAP_Osd_FillBox(above, 0, 0, 300, 30, kBlue);
  EXPECT_EQ(0, sim_screen_shows("under"));
}

TEST_F(ScreenTest, PutSAlignsBetweenXAndMaxXAndClips) {
  word a = Create(0, 0, 400, 30);
  TAP_Osd_FillBox(a, 0, 0, 400, 30, 0xFF000000);
  const char* t = "Mmmm";
  const int w = static_cast<int>(TAP_Osd_GetW(t, 0, 1));
  ASSERT_GT(w, 20);
  TAP_Osd_PutS(a, 100, 4, 300, t, kWhite, 0, 0, 1, 0, 1);
  auto ink = InkColumns(0, 30, 400, 0xFF000000);
  EXPECT_NEAR(100 + (200 - w) / 2, ink.first, 3);
  EXPECT_NEAR(100 + (200 - w) / 2 + w, ink.second, 4);

  TAP_Osd_FillBox(a, 0, 0, 400, 30, 0xFF000000);
  TAP_Osd_PutS(a, 100, 4, 300, t, kWhite, 0, 0, 1, 0, 2);
  ink = InkColumns(0, 30, 400, 0xFF000000);
  EXPECT_NEAR(300 - w, ink.first, 3);
  EXPECT_LT(ink.second, 300);

  TAP_Osd_FillBox(a, 0, 0, 400, 30, 0xFF000000);
  TAP_Osd_PutS(a, 100, 4, 110, t, kWhite, 0, 0, 1, 0, 0);
  ink = InkColumns(0, 30, 400, 0xFF000000);
  EXPECT_NEAR(100, ink.first, 3);
  EXPECT_LT(ink.second, 110);

  // A background colour fills the line between x and maxX.
  TAP_Osd_PutS(a, 10, 0, 50, "", kWhite, kRed, 0, 1, 0, 0);
  EXPECT_EQ(kRed, sim_screen_pixel(10, 0));
  EXPECT_EQ(kRed, sim_screen_pixel(49, 21));
  EXPECT_EQ(0xFF000000u, sim_screen_pixel(50, 0));
}

TEST_F(ScreenTest, TextWidthsGrowWithTheFontSize) {
  const char* t = "Timeshift switched on";
  dword w0 = TAP_Osd_GetW(t, 0, 0), w1 = TAP_Osd_GetW(t, 0, 1), w2 = TAP_Osd_GetW(t, 0, 2);
  EXPECT_LT(0u, w0);
  EXPECT_LT(w0, w1);
  EXPECT_LT(w1, w2);
  EXPECT_EQ(w2, TAP_Osd_GetW(t, 0, 7));
  EXPECT_EQ(0u, TAP_Osd_GetW("", 0, 2));
  EXPECT_EQ(0u, TAP_Osd_GetW(nullptr, 0, 2));
  // ISO-8859-1 bytes are characters of their own.
  EXPECT_GT(TAP_Osd_GetW("l\xF6schen", 0, 2), TAP_Osd_GetW("lschen", 0, 2));
  // The dialog's longest line fits its window at size 1.
  EXPECT_LT(TAP_Osd_GetW("Gespeicherte Timeshiftpuffer l\xF6schen ?", 0, 1), 360u);
  EXPECT_LT(TAP_Osd_GetW("Delte all saved timeshift recordings ?", 0, 1), 360u);
}

TEST_F(ScreenTest, TextStaysInsideItsLine) {
  for (int size = 0; size < 3; ++size) {
    static const int kLine[3] = {19, 22, 26};
    word a = Create(0, 100, 400, 100);
    TAP_Osd_FillBox(a, 0, 0, 400, 100, 0xFF000000);
    TAP_Osd_PutS(a, 0, 10, 400, "\xC4gypten Qj|", kWhite, 0, 0, static_cast<byte>(size), 0, 0);
    int top = 1000, bottom = -1;
    for (int y = 100; y < 200; ++y)
      for (int x = 0; x < 400; ++x)
        if (sim_screen_pixel(x, y) != 0xFF000000) {
          top = std::min(top, y - 100);
          bottom = std::max(bottom, y - 100);
        }
    EXPECT_GE(top, 10) << size;
    EXPECT_LT(bottom, 10 + kLine[size]) << size;
    EXPECT_GT(bottom - top, kLine[size] / 2) << size;
    TAP_Osd_Delete(a);
  }
}

// --- the packed graphic ----------------------------------------------------------

TEST_F(ScreenTest, PutGdUnpacksTheSelectionBar) {
  word a = Create(0, 0, 120, 40);
  TAP_Osd_FillBox(a, 0, 0, 120, 40, kBlue);
  EXPECT_EQ(0, TAP_Osd_PutGd(a, 10, 10, &_selectGd, 0));
  int untouched = 0;
  for (int y = 10; y < 35; ++y)
    for (int x = 10; x < 110; ++x) untouched += sim_screen_pixel(x, y) == kBlue;
  EXPECT_EQ(2, untouched);  // the two rounded top corners
  EXPECT_EQ(kBlue, sim_screen_pixel(10, 10));
  EXPECT_EQ(kBlue, sim_screen_pixel(109, 10));
  EXPECT_EQ(kBlue, sim_screen_pixel(9, 20));
  EXPECT_EQ(kBlue, sim_screen_pixel(110, 20));
  EXPECT_EQ(kBlue, sim_screen_pixel(50, 35));
  // Lighter at the top than at the bottom, a darker bottom edge.
  auto lum = [](uint32_t p) { return ((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF); };
  EXPECT_GT(lum(sim_screen_pixel(60, 12)), lum(sim_screen_pixel(60, 32)));
  EXPECT_GT(lum(sim_screen_pixel(60, 32)), lum(sim_screen_pixel(60, 34)));
  EXPECT_EQ(0xFFu, sim_screen_pixel(60, 20) >> 24);
}

TEST_F(ScreenTest, PutGdRefusesUnknownFormsAndStopsAtTheEndMark) {
  word a = Create(0, 0, 20, 20);
  TYPE_GrData gd = _selectGd;
  gd.compressMethod = 7;
  EXPECT_NE(0, TAP_Osd_PutGd(a, 0, 0, &gd, 0));
  EXPECT_NE(0, TAP_Osd_PutGd(a, 0, 0, nullptr, 0));
  // A stream that ends early leaves the rest of the picture transparent.
  static const byte kShort[] = {0x03, 0x00, 0xFC, 0xFF};  // 4 red pixels, end
  gd = TYPE_GrData{1, 0, 0, 2, kShort, 2 * 4 * 4, 4, 4};
  EXPECT_EQ(0, TAP_Osd_PutGd(a, 0, 0, &gd, 0));
  EXPECT_EQ(0xFFFF0000u, sim_screen_pixel(3, 0));
  EXPECT_EQ(0u, sim_screen_pixel(0, 1));
  // Literal pixels.
  static const byte kLit[] = {0x81, 0x1F, 0x80, 0xE0, 0x83, 0xFF};  // blue, green
  gd = TYPE_GrData{1, 0, 0, 2, kLit, 4, 2, 1};
  EXPECT_EQ(0, TAP_Osd_PutGd(a, 5, 5, &gd, 0));
  EXPECT_EQ(0xFF0000FFu, sim_screen_pixel(5, 5));
  EXPECT_EQ(0xFF00FF00u, sim_screen_pixel(6, 5));
}

// --- the frame and its files -----------------------------------------------------

std::vector<std::string>* g_seen;
void Observe(const char* kind, const char* text) {
  if (g_seen && strcmp(kind, "screen") == 0) g_seen->push_back(text);
}

TEST_F(ScreenTest, SyncWritesAPngWhenTheFrameChanged) {
  if (!sim_screen_has_png()) GTEST_SKIP() << "this build of the screen writes no PNG files";
  std::string dir = disk + "-png";
  for (const std::string& old : PngFiles(dir)) remove((dir + "/" + old).c_str());
  std::vector<std::string> seen;
  g_seen = &seen;
  sim_set_observer(Observe);
  sim_screen_set_output(dir.c_str());

  TAP_Osd_Sync();  // nothing drawn yet: no file
  EXPECT_TRUE(PngFiles(dir).empty());
  word a = Create(100, 100, 50, 50);
  TAP_Osd_FillBox(a, 0, 0, 50, 50, kRed);
  sim_set_ticks(12345);  // 0:02:03.45
  TAP_Osd_Sync();
  ASSERT_EQ(std::vector<std::string>{"screen-00-02-03.45.png"}, PngFiles(dir));
  EXPECT_TRUE(IsPng(dir + "/screen-00-02-03.45.png"));
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(dir + "/screen-00-02-03.45.png", seen[0]);

  sim_set_ticks(20000);
  TAP_Osd_Sync();  // unchanged
  EXPECT_EQ(1u, PngFiles(dir).size());
  TAP_Osd_Delete(a);
  TAP_Osd_Sync();
  EXPECT_EQ(2u, PngFiles(dir).size());
  EXPECT_EQ(2u, seen.size());

  sim_screen_set_output(nullptr);
  a = Create(0, 0, 5, 5);
  TAP_Osd_FillBox(a, 0, 0, 5, 5, kRed);
  TAP_Osd_Sync();
  EXPECT_EQ(2u, PngFiles(dir).size());
  sim_set_observer(nullptr);
  g_seen = nullptr;

  EXPECT_EQ(1, sim_screen_write_png((dir + "/now.png").c_str()));
  EXPECT_TRUE(IsPng(dir + "/now.png"));
}

}  // namespace
