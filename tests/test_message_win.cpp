// Message window: size and place from the font metrics, lines that fit,
// clipping at the screen edge, one window at a time.
#include <algorithm>
#include <string>
#include <vector>

#include "lib/message_win.h"
#include "lib/osd_check.h"
#include "sim/control.h"
#include "tests/support/sim_fixture.h"

namespace {

constexpr uint32_t kFrame = 0xFF9C9C9C;
constexpr uint32_t kBack = 0xFF192952;

class MessageWinTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim_terminal_open(0, 1);
  }
  word Rgn() const { return static_cast<word>(msgwin_rgn); }
  dword Width() const { return GetOSDRegionWidth(Rgn()); }
  dword Height() const { return GetOSDRegionHeight(Rgn()); }
  static int LiveRegions() {
    int n = 0;
    for (int h = 0; h < 0x10000; ++h) n += sim_region_alive(h);
    return n;
  }
};

std::vector<std::string> Numbered(int n) {
  std::vector<std::string> v;
  for (int i = 1; i <= n; ++i) v.push_back("line " + std::to_string(i));
  return v;
}

// --- size and place ---------------------------------------------------------

TEST_F(MessageWinTest, ErrorWindowIsCentredAndEightyEightHigh) {
  const char* title = "Brantlow";
  const char* text = "Folder '/DataFiles/TimeShift' not found";
  ShowMessageWin(title, text, "", 0);

  ASSERT_NE(0u, msgwin_rgn);
  EXPECT_EQ(88u, Height());
  dword w = TAP_Osd_GetW(text, 0, 2) + 20;
  ASSERT_GT(w, TAP_Osd_GetW(title, 0, 2) + 20);
  EXPECT_EQ(w, Width());
  const int x = static_cast<int>((720 - w) / 2), y = 244;
  EXPECT_EQ(kFrame, sim_screen_pixel(x, y));
  EXPECT_EQ(kFrame, sim_screen_pixel(x + static_cast<int>(w) - 1, y + 87));
  EXPECT_EQ(0u, sim_screen_pixel(x - 1, y));
  EXPECT_EQ(0u, sim_screen_pixel(x, y - 1));
  EXPECT_EQ(0u, sim_screen_pixel(x + static_cast<int>(w), y));
  EXPECT_EQ(0u, sim_screen_pixel(x, y + 88));
  EXPECT_EQ(kFrame, sim_screen_pixel(x + 4, y + 82));
  EXPECT_EQ(kBack, sim_screen_pixel(x + 5, y + 82));

  EXPECT_EQ(std::string(title) + "\n" + text + "\n", sim_screen_texts());
  // The off-screen drawing region is gone; no checked call complained.
  EXPECT_EQ(1, LiveRegions());
  EXPECT_EQ(2u, sim_call_count("TAP_Osd_Create"));
  EXPECT_EQ("", std::string(sim_terminal_text(0)));
}

TEST_F(MessageWinTest, TwentyLinesFitUnderATitleAndTwentyOneWithout) {
  std::vector<std::string> lines = Numbered(25);
  std::vector<const char*> content{"Title"};
  for (auto& l : lines) content.push_back(l.c_str());
  content.push_back(nullptr);

  ShowMessageWindow(content.data(), 720, 576, 2, 0, kFrame, 0xFFFFFFFF, 0xFFFFFFFF, kBack, 0);
  EXPECT_EQ(556u, Height());
  EXPECT_EQ(10u, (576 - Height()) / 2);
  EXPECT_EQ(1, sim_screen_shows("line 20"));
  EXPECT_EQ(0, sim_screen_shows("line 21"));

  content[0] = nullptr;
  ShowMessageWindow(content.data(), 720, 576, 2, 0, kFrame, 0xFFFFFFFF, 0xFFFFFFFF, kBack, 0);
  EXPECT_EQ(556u, Height());
  EXPECT_EQ(1, sim_screen_shows("line 21"));
  EXPECT_EQ(0, sim_screen_shows("line 22"));
  EXPECT_EQ(0, sim_screen_shows("Title"));
}

TEST_F(MessageWinTest, GivenYStopsLinesAboveTheLastRowAndSmallerFonts) {
  std::vector<std::string> lines = Numbered(10);
  std::vector<const char*> content{nullptr};
  for (auto& l : lines) content.push_back(l.c_str());
  content.push_back(nullptr);
  // y 400: 400 + 10 + n * 19 must stay below 576, so 8 lines at size 0.
  ShowMessageWindow(content.data(), 10, 400, 0, 0, kFrame, 0, 0xFFFFFFFF, kBack, 0);
  EXPECT_EQ(10u + 8 * 19, Height());
  EXPECT_EQ(kFrame, sim_screen_pixel(10, 400));
  EXPECT_EQ(1, sim_screen_shows("line 8"));
  EXPECT_EQ(0, sim_screen_shows("line 9"));
  // Size 1 rows are 22 high; a size beyond 2 counts as 2.
  ShowMessageWindow(content.data(), 10, 10, 1, 0, kFrame, 0, 0xFFFFFFFF, kBack, 0);
  EXPECT_EQ(10u + 10 * 22, Height());
  dword widest = 0;
  for (auto& l : lines) widest = std::max(widest, TAP_Osd_GetW(l.c_str(), 0, 1));
  EXPECT_EQ(widest + 16, Width());
  ShowMessageWindow(content.data(), 10, 10, 9, 0, kFrame, 0, 0xFFFFFFFF, kBack, 0);
  EXPECT_EQ(10u + 10 * 26, Height());
}

TEST_F(MessageWinTest, MissingTitleAndFirstLineGiveAnEmptyTitleRow) {
  const char* content[] = {nullptr, nullptr, "never"};
  ShowMessageWindow(content, 720, 576, 2, 1, kFrame, 0, 0, kBack, 0);
  EXPECT_STREQ("", content[0]);
  EXPECT_EQ(36u, Height());
  EXPECT_EQ(20u, Width());
  EXPECT_EQ(0, sim_screen_shows("never"));
}

TEST_F(MessageWinTest, NullFirstLineEndsTheListOfShowMessageWin) {
  ShowMessageWin("T", nullptr, "second", 0);
  EXPECT_EQ(36u, Height());
  EXPECT_EQ(0, sim_screen_shows("second"));
}

TEST_F(MessageWinTest, OddSizesCentreRoundingDownAndNoLineEndsOnRow576) {
  std::string text = "a";
  while ((TAP_Osd_GetW(text.c_str(), 0, 0) + 14) % 2 == 0 && text[0] < 'z') ++text[0];
  const char* content[] = {nullptr, text.c_str(), nullptr};
  ShowMessageWindow(content, 720, 576, 0, 0, kFrame, 0, 0xFFFFFFFF, kBack, 0);
  ASSERT_EQ(1u, Width() % 2);
  ASSERT_EQ(29u, Height());
  const int x = (720 - static_cast<int>(Width())) / 2;  // half the rest, rounded down
  EXPECT_EQ(kFrame, sim_screen_pixel(x, 273));
  EXPECT_EQ(0u, sim_screen_pixel(x - 1, 273));
  EXPECT_EQ(0u, sim_screen_pixel(x, 272));

  // At y 414 the eighth line of size 0 would end on row 576: seven lines.
  std::vector<std::string> lines = Numbered(10);
  std::vector<const char*> many{nullptr};
  for (auto& l : lines) many.push_back(l.c_str());
  many.push_back(nullptr);
  for (dword y : {413u, 414u}) {
    ShowMessageWindow(many.data(), 10, y, 0, 0, kFrame, 0, 0xFFFFFFFF, kBack, 0);
    EXPECT_EQ(10u + (y == 413 ? 8 : 7) * 19, Height()) << y;
  }
}

TEST_F(MessageWinTest, LeftAlignedLinesStartHalfTheMarginIn) {
  if (!sim_screen_has_png()) GTEST_SKIP() << "this build draws no glyph pixels";
  const char* content[] = {nullptr, "Hello", nullptr};
  ShowMessageWindow(content, 100, 100, 2, 0, kFrame, 0, 0xFFFFFFFF, kBack, 0);
  int first = 1000;
  for (int y = 105; y < 131; ++y)
    for (int x = 100; x < 100 + static_cast<int>(Width()); ++x) {
      uint32_t p = sim_screen_pixel(x, y);
      if (p != kFrame && p != kBack && x < first) first = x;
    }
  EXPECT_GE(first, 110);  // inset 20 / 2, then the glyph's own bearing
  EXPECT_LE(first, 113);
}

// --- clipping ---------------------------------------------------------------

TEST_F(MessageWinTest, WindowAtX600IsCutAtTheScreenEdge) {
  const char* content[] = {nullptr, "a line clearly wider than one hundred pixels", nullptr};
  ASSERT_GT(TAP_Osd_GetW(content[1], 0, 2) + 20, 120u);
  ShowMessageWindow(content, 600, 100, 2, 0, kFrame, 0, 0xFFFFFFFF, kBack, 0);
  EXPECT_EQ(120u, Width());
  EXPECT_EQ(kFrame, sim_screen_pixel(600, 100));
  EXPECT_EQ(kFrame, sim_screen_pixel(719, 100));
  EXPECT_EQ(0u, sim_screen_pixel(599, 100));
  // x + w = 720 is on the screen: no warning.
  EXPECT_EQ("", std::string(sim_terminal_text(0)));
}

TEST_F(MessageWinTest, OverwideCentredWindowTakesTheWholeWidth) {
  std::string wide(200, 'W');
  ShowMessageWin("T", wide.c_str(), "", 0);
  EXPECT_EQ(720u, Width());
  EXPECT_EQ(kFrame, sim_screen_pixel(0, 244));
  EXPECT_EQ(kFrame, sim_screen_pixel(719, 244));
}

TEST_F(MessageWinTest, WindowCutToAFewPixelsStaysSane) {
  const char* content[] = {"T", "text", nullptr};
  ShowMessageWindow(content, 718, 0, 2, 1, kFrame, 0, 0xFFFFFFFF, kBack, 0);
  EXPECT_EQ(2u, Width());
  EXPECT_EQ(kFrame, sim_screen_pixel(718, 0));
  EXPECT_EQ(kFrame, sim_screen_pixel(719, 0));
}

// --- one window at a time ---------------------------------------------------

TEST_F(MessageWinTest, SecondMessageReplacesTheFirst) {
  ShowMessageWin("Brantlow", "first message", "", 0);
  ShowMessageWin("Brantlow", "second", "", 0);
  EXPECT_EQ(0, sim_screen_shows("first message"));
  EXPECT_EQ(1, sim_screen_shows("second"));
  EXPECT_EQ(1, LiveRegions());
  EXPECT_EQ(1, sim_region_alive(static_cast<int>(msgwin_rgn)));
}

TEST_F(MessageWinTest, EndMessageWinRemovesTheWindowAndAlwaysSyncs) {
  ShowMessageWin("Brantlow", "text", "", 0);
  EXPECT_EQ(0, sim_screen_empty());
  EndMessageWin();
  EXPECT_EQ(0u, msgwin_rgn);
  EXPECT_EQ(1, sim_screen_empty());
  EXPECT_EQ(0, LiveRegions());

  sim_reset_counts();
  EndMessageWin();
  EXPECT_EQ(0u, sim_call_count("TAP_Osd_Delete"));
  EXPECT_EQ(1u, sim_call_count("TAP_Osd_Sync"));
}

TEST_F(MessageWinTest, DelayShowsWaitsAndLeavesNoWindow) {
  uint32_t start = sim_ticks();
  ShowMessageWin("Brantlow", "text", "", 150);
  EXPECT_EQ(start + 150, sim_ticks());
  EXPECT_EQ(0u, msgwin_rgn);
  EXPECT_EQ(1, sim_screen_empty());
  EXPECT_EQ(1u, sim_call_count("TAP_Delay"));
}

}  // namespace
