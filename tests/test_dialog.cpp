// Confirmation dialog: results for every key in every state, the identifier,
// redraws in place, the time-out rule and what the screen shows.
#include <string>

#include "app/dialog.h"
#include "sim/control.h"
#include "tests/support/sim_fixture.h"

namespace {

constexpr dword kOther = 0x10001;  // a key the dialog does not use
constexpr uint32_t kDark = 0xFF242424;

class DialogTest : public SimTest {
 protected:
  void OpenQuestion(dword selected = 1, int timeOut = 10) {
    Dialog_DisplayWindow(1, selected, "Brantlow", "Delte all saved timeshift recordings ?", "Yes",
                         "No", timeOut);
  }
  void OpenNotice(int timeOut = 5, dword selected = 0) {
    Dialog_DisplayWindow(0, selected, "Brantlow", "Timeshift switched on", "Ok", "", timeOut);
  }
  int Key(dword key, dword* id = nullptr) {
    dword dummy = 0;
    return Dialog_ProcessKey(id ? id : &dummy, EVT_KEY, key, 0);
  }
  int Idle(dword* id = nullptr) {
    dword dummy = 0;
    return Dialog_ProcessKey(id ? id : &dummy, EVT_IDLE, 0, 0);
  }
  static int LiveRegions() {
    int n = 0;
    for (int h = 128; h < 256; ++h) n += sim_region_alive(h);
    return n;
  }
  // Screen pixel inside a button, left of its text.
  static uint32_t ButtonPixel(int buttonX) {
    return sim_screen_pixel(180 + buttonX + 4, 212 + 128);
  }
  static bool Light(uint32_t p) {
    return ((p >> 16) & 0xFF) + ((p >> 8) & 0xFF) + (p & 0xFF) > 450;
  }
};

// --- results ------------------------------------------------------------------

struct KeyCase {
  const char* state;
  dword key;
  int result;
  bool open;       // still open after the key
  int selectedOk;  // result of Ok afterwards (0: closed)
};

TEST_F(DialogTest, EveryKeyInEveryState) {
  const KeyCase cases[] = {
      // Two buttons, the second preselected.
      {"q1", RKEY_Left, 3, true, 1},
      {"q1", RKEY_Right, 3, true, 2},
      {"q1", RKEY_Exit, 3, false, 0},
      {"q1", RKEY_Ok, 2, false, 0},
      {"q1", kOther, 5, true, 2},
      // Two buttons, the first preselected.
      {"q0", RKEY_Left, 3, true, 1},
      {"q0", RKEY_Right, 3, true, 2},
      {"q0", RKEY_Exit, 3, false, 0},
      {"q0", RKEY_Ok, 1, false, 0},
      {"q0", kOther, 5, true, 1},
      // One button.
      {"n", RKEY_Left, 3, true, 1},
      {"n", RKEY_Right, 3, true, 1},
      {"n", RKEY_Exit, 3, false, 0},
      {"n", RKEY_Ok, 1, false, 0},
      {"n", kOther, 5, true, 1},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(std::string(c.state) + " key " + std::to_string(c.key));
    if (c.state[0] == 'n')
      OpenNotice();
    else
      OpenQuestion(c.state[1] == '1' ? 1 : 0);
    EXPECT_EQ(c.result, Key(c.key));
    EXPECT_EQ(c.open ? 1 : 0, Dialog_IsActive());
    if (c.open) {
      EXPECT_EQ(c.selectedOk, Key(RKEY_Ok));
    }
    EXPECT_EQ(0, Dialog_IsActive());
    EXPECT_EQ(0u, sim_normal_depth());
    EXPECT_EQ(0, LiveRegions());
  }
}

TEST_F(DialogTest, OneButtonDialogIgnoresSelectionKeys) {
  for (dword selected : {0u, 1u}) {  // whichever selection it was opened with
    OpenNotice(5, selected);
    sim_reset_counts();
    EXPECT_EQ(3, Key(RKEY_Right));
    EXPECT_EQ(3, Key(RKEY_Left));
    EXPECT_EQ(0u, sim_call_count("TAP_Osd_Sync"));
    EXPECT_EQ(selected + 1, static_cast<dword>(Key(RKEY_Ok)));
  }
}

TEST_F(DialogTest, OtherEventCodesChangeNothing) {
  OpenQuestion();
  EXPECT_EQ(3, Dialog_ProcessKey(nullptr, EVT_UART, RKEY_Ok, 0));
  dword id = 7;
  EXPECT_EQ(3, Dialog_ProcessKey(&id, 0x0B00, RKEY_Ok, 0));
  EXPECT_EQ(1u, id);
  // Only the low 16 bits are the code.
  EXPECT_EQ(2, Dialog_ProcessKey(&id, 0x12340100, RKEY_Ok, 0));
}

// --- the identifier -----------------------------------------------------------

TEST_F(DialogTest, IdentifierIsWrittenOnlyWhileOpen) {
  dword id = 0xDEAD;
  EXPECT_EQ(3, Dialog_ProcessKey(&id, EVT_KEY, RKEY_Ok, 0));
  EXPECT_EQ(0xDEADu, id);

  Dialog_DisplayWindow(42, 0, "t", "x", "a", "b", 0);
  id = 0;
  EXPECT_EQ(5, Key(kOther, &id));
  EXPECT_EQ(42u, id);
  id = 0;
  EXPECT_EQ(3, Idle(&id));
  EXPECT_EQ(42u, id);
  id = 0;
  EXPECT_EQ(1, Key(RKEY_Ok, &id));
  EXPECT_EQ(42u, id);
  id = 0xDEAD;
  EXPECT_EQ(3, Key(RKEY_Ok, &id));
  EXPECT_EQ(0xDEADu, id);
}

// --- time-out -------------------------------------------------------------------

TEST_F(DialogTest, TimeOutClosesOnTheFirstIdleAfterIt) {
  sim_set_ticks(1000);
  OpenNotice(5);
  sim_set_ticks(1500);
  EXPECT_EQ(3, Idle());
  EXPECT_EQ(1, Dialog_IsActive());
  sim_set_ticks(1501);
  EXPECT_EQ(5, Key(kOther));  // keys never time out
  EXPECT_EQ(3, Key(RKEY_Left));
  dword id = 9;
  EXPECT_EQ(4, Idle(&id));
  EXPECT_EQ(0u, id);
  EXPECT_EQ(0, Dialog_IsActive());
  EXPECT_EQ(1, sim_screen_empty());
  EXPECT_EQ(0u, sim_normal_depth());
}

TEST_F(DialogTest, NoTimeOutWithZeroOrNegativeSeconds) {
  OpenQuestion(1, 0);
  sim_set_ticks(1000000);
  EXPECT_EQ(3, Idle());
  Dialog_HideWindow();
  OpenQuestion(1, -5);
  sim_set_ticks(2000000);
  EXPECT_EQ(3, Idle());
  EXPECT_EQ(1, Dialog_IsActive());
}

TEST_F(DialogTest, SelectionMoveStopsTheTimeOut) {
  OpenQuestion(1, 10);
  EXPECT_EQ(3, Key(RKEY_Left));
  sim_advance(100000);
  EXPECT_EQ(3, Idle());
  EXPECT_EQ(1, Dialog_IsActive());
  EXPECT_EQ(1, Key(RKEY_Ok));
}

TEST_F(DialogTest, RedrawReusesRegionAndStartTick) {
  sim_set_ticks(200);
  OpenNotice(5);
  int region = -1;
  for (int h = 128; h < 256; ++h)
    if (sim_region_alive(h)) region = h;
  ASSERT_GE(region, 128);
  sim_set_ticks(600);
  OpenQuestion(1, 10);
  EXPECT_EQ(1u, sim_call_count("TAP_Osd_Create"));
  EXPECT_EQ(1u, sim_call_count("TAP_ExitNormal"));
  EXPECT_EQ(1u, sim_normal_depth());
  EXPECT_EQ(1, sim_region_alive(region));
  EXPECT_EQ(1, LiveRegions());
  EXPECT_EQ(0, sim_screen_shows("Timeshift switched on"));
  EXPECT_EQ(1, sim_screen_shows("Delte all saved timeshift recordings ?"));
  // The question's 10 seconds count from the notice's opening at 200.
  sim_set_ticks(1200);
  dword id = 0;
  EXPECT_EQ(3, Idle(&id));
  EXPECT_EQ(1u, id);
  sim_set_ticks(1201);
  EXPECT_EQ(4, Idle());
}

// --- texts ----------------------------------------------------------------------

TEST_F(DialogTest, LongTextsAreDrawnWholeButKeptTo254Characters) {
  std::string title(300, 'T');
  Dialog_DisplayWindow(1, 1, title.c_str(), "x", "Yes", "No", 0);
  EXPECT_EQ(1, sim_screen_shows(title.c_str()));
  Key(RKEY_Left);  // redraw from the saved texts
  EXPECT_EQ(0, sim_screen_shows(title.c_str()));
  EXPECT_EQ(1, sim_screen_shows(title.substr(0, 254).c_str()));
  EXPECT_EQ(std::string(title.substr(0, 254)) + "\nx\nYes\nNo\n", sim_screen_texts());
}

TEST_F(DialogTest, RedrawFromItsOwnBuffersKeepsTheTexts) {
  OpenQuestion(1);
  Key(RKEY_Left);
  Key(RKEY_Right);
  Key(RKEY_Left);
  EXPECT_EQ("Brantlow\nDelte all saved timeshift recordings ?\nYes\nNo\n",
            std::string(sim_screen_texts()));
}

TEST_F(DialogTest, NullTextsDrawEmptyLines) {
  Dialog_DisplayWindow(0, 0, nullptr, nullptr, "Ok", nullptr, 0);
  EXPECT_EQ("Ok\n", std::string(sim_screen_texts()));
  EXPECT_EQ(3, Key(RKEY_Right));
  EXPECT_EQ(1, Key(RKEY_Ok));
}

// --- what the screen shows ------------------------------------------------------

TEST_F(DialogTest, WindowGeometryAndColours) {
  OpenQuestion(1);
  EXPECT_EQ(0u, sim_screen_pixel(179, 212));
  EXPECT_EQ(0u, sim_screen_pixel(180, 211));
  EXPECT_EQ(0xFF464646u, sim_screen_pixel(180, 212));
  EXPECT_EQ(0xFF202020u, sim_screen_pixel(181, 213));
  EXPECT_EQ(0xFF282828u, sim_screen_pixel(181, 212 + 36));
  EXPECT_EQ(0xFF464646u, sim_screen_pixel(539, 366));
  EXPECT_EQ(0u, sim_screen_pixel(540, 366));
  EXPECT_EQ(0u, sim_screen_pixel(539, 367));
}

TEST_F(DialogTest, SelectedButtonShowsTheBar) {
  OpenQuestion(1);
  EXPECT_EQ(kDark, ButtonPixel(60));
  EXPECT_TRUE(Light(ButtonPixel(200)));
  Key(RKEY_Left);
  EXPECT_TRUE(Light(ButtonPixel(60)));
  EXPECT_EQ(kDark, ButtonPixel(200));
  Dialog_HideWindow();
  OpenNotice();
  EXPECT_TRUE(Light(ButtonPixel(140)));
  EXPECT_EQ(0xFF282828u, ButtonPixel(60));
}

TEST_F(DialogTest, HideRemovesEverything) {
  OpenQuestion();
  EXPECT_EQ(1u, sim_normal_depth());
  EXPECT_EQ(0, sim_screen_empty());
  Dialog_HideWindow();
  EXPECT_EQ(0, Dialog_IsActive());
  EXPECT_EQ(1, sim_screen_empty());
  EXPECT_EQ(0, LiveRegions());
  EXPECT_EQ(0u, sim_normal_depth());
}

}  // namespace
