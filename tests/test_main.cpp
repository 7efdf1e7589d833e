// The entry: start-up, language choice and the event handler's dispatch.
#include "app/main.h"

#include <string.h>

#include <string>

#include "app/dialog.h"
#include "app/modes.h"
#include "app/settings.h"
#include "tests/support/sim_fixture.h"

namespace {

class EntryTest : public SimTest {};

TEST_F(EntryTest, ManagementRequestsAreAnsweredFromTheTable) {
  struct {
    dword request;
    dword answer;
  } const table[] = {{0, 0}, {2, 1}, {3, 0x01000006}, {4, 1}, {5, 0}, {7, 0}, {8, 0}, {200, 0}};
  for (const auto& row : table) {
    EXPECT_EQ(row.answer, TAP_EventHandler(EVT_TAPCMD, row.request, 0))
        << "request " << row.request;
    EXPECT_FALSE(Dialog_IsActive()) << "request " << row.request;
  }
  EXPECT_EQ(0, sim_exited()) << "only request 1 ends the plug-in";
}

TEST_F(EntryTest, RequestSixOpensTheDeleteQuestion) {
  EXPECT_EQ(1u, TAP_EventHandler(EVT_TAPCMD, 6, 0));
  EXPECT_TRUE(Dialog_IsActive());
  EXPECT_TRUE(sim_screen_shows("Delte all saved timeshift recordings ?"));
  EXPECT_TRUE(sim_screen_shows("No"));
}

TEST_F(EntryTest, OnlyTheLow16BitsOfTheEventAreTheCode) {
  // 0x12340B00 is a management request, 0xABCD0100 a key with no dialog open.
  EXPECT_EQ(0x01000006u, TAP_EventHandler(0x12340B00, 3, 0));
  EXPECT_EQ(0x1001Eu, TAP_EventHandler(0xABCD0100, 0x1001E, 7));
  EXPECT_EQ(0, sim_exited());
}

TEST_F(EntryTest, OtherEventCodesReturnParam1Unchanged) {
  for (dword code : {0x0100u, 0x0200u, 0x0A00u, 0x0B01u, 0xFFFFu}) {
    EXPECT_EQ(0xDEADBEEFu, TAP_EventHandler(code, 0xDEADBEEF, 1)) << std::hex << code;
  }
  EXPECT_EQ(PM_Startup, (int)ProgMode) << "only codes 0 and 0x900 drive the mode machine";
}

TEST_F(EntryTest, IdleAndUartEventsRunTheModeMachineAndReturnParam1) {
  sim_set_sysvar(SYSVAR_Timeshift, 4);
  sim_set_sysvar(SYSVAR_TimeshiftStorage, 1);
  EXPECT_EQ(5u, TAP_EventHandler(EVT_UART, 5, 0));
  EXPECT_EQ(PM_Idle, (int)ProgMode);
  EXPECT_EQ(77u, TAP_EventHandler(0xFFFF0000, 77, 0));
  EXPECT_EQ(PM_Idle, (int)ProgMode);
}

TEST_F(EntryTest, SetLanIndexPicksGermanOnlyForTwoInTheLowSevenBits) {
  struct {
    int value;
    byte index;
  } const table[] = {{2, 0}, {0x82, 0}, {1, 1}, {0, 1}, {3, 1}, {0x81, 1}};
  for (const auto& row : table) {
    sim_set_sysvar(SYSVAR_OsdLan, row.value);
    SetLanIndex();
    EXPECT_EQ(row.index, LanIndex) << "system variable 1 = " << row.value;
  }
}

TEST_F(EntryTest, MainReadsSettingsAndSlotsAndStaysResident) {
  ASSERT_EQ(1, sim_write_firmwaredat("/ProgramFiles/Settings", 0x4321, 4));
  sim_set_system_id(0x4321);
  sim_set_sysvar(SYSVAR_OsdLan, 2);
  WriteText("/ProgramFiles/Settings/Brantlow/Brantlow.ini",
            "KeepBufferHours=48\r\nRenameMode=0\r\n");
  EXPECT_EQ(1, TAP_Main());
  EXPECT_EQ(0, LanIndex);
  EXPECT_EQ(48u, KeepBufferHours);
  EXPECT_EQ(0u, RenameMode);
  EXPECT_EQ(1u, bFourRecs);
  EXPECT_EQ(0u, sim_sysvar_writes()) << "no firmware setting changes before the first idle event";
  EXPECT_EQ(PM_Startup, (int)ProgMode);
}

TEST_F(EntryTest, TwoSlotReceiverLeavesFourRecorderFlagClear) {
  EXPECT_EQ(1, TAP_Main());
  EXPECT_EQ(0u, bFourRecs);
}

TEST_F(EntryTest, ThreeSlotsAreNotFour) {
  ASSERT_EQ(1, sim_write_firmwaredat("/ProgramFiles/Settings", 0x4321, 3));
  sim_set_system_id(0x4321);
  EXPECT_EQ(1, TAP_Main());
  EXPECT_EQ(0u, bFourRecs);
}

// The plug-in ends itself (request 1, a keep time of 0, the end of the hold
// of a start-up error window) with nothing of it left: whatever window was
// open is gone from the screen and the regions, the firmware's normal screen
// mode is given back as often as it was left, and TAP_Exit is the last
// firmware call it makes.
TEST_F(EntryTest, EndingClosesWhatIsOpenAndExitsLast) {
  struct Row {
    const char* what;
    void (*setup)();
    bool shown;           // something of the plug-in on screen before the end
    dword event, param1;  // the event that ends the plug-in
    dword answer;
  };
  const Row table[] = {
      {"nothing open", [] {}, false, EVT_TAPCMD, 1, 1},
      {"the delete-all question open", [] { TAP_EventHandler(EVT_TAPCMD, 6, 0); }, true, EVT_TAPCMD,
       1, 1},
      {"a notice open",
       [] {
         bShowTimeshiftMessage = 1;
         TAP_EventHandler(EVT_KEY, 0x1234, 0);
       },
       true, EVT_TAPCMD, 1, 1},
      {"the error window held",
       [] {
         ASSERT_EQ(1, sim_rmtree("/DataFiles/TimeShift"));
         TAP_EventHandler(EVT_IDLE, 0, 0);
       },
       true, EVT_TAPCMD, 1, 1},
      {"the error window held and the question over it",
       [] {
         ASSERT_EQ(1, sim_rmtree("/DataFiles/TimeShift"));
         TAP_EventHandler(EVT_IDLE, 0, 0);
         TAP_EventHandler(EVT_TAPCMD, 6, 0);
       },
       true, EVT_TAPCMD, 1, 1},
      {"the error window's hold over",
       [] {
         ASSERT_EQ(1, sim_rmtree("/DataFiles/TimeShift"));
         TAP_EventHandler(EVT_IDLE, 0, 0);
         sim_advance(801);
       },
       true, EVT_IDLE, 7, 7},
      {"a keep time of 0", [] { KeepBufferHours = 0; }, false, EVT_IDLE, 9, 9},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    Restart();
    sim_set_state(0, 0x1F);
    sim_set_sysvar(SYSVAR_Timeshift, 4);
    sim_set_sysvar(SYSVAR_TimeshiftStorage, 1);
    row.setup();
    ASSERT_EQ(0, sim_exited());
    ASSERT_EQ(row.shown, !sim_screen_empty());
    sim_reset_call_sequence();
    EXPECT_EQ(row.answer, TAP_EventHandler(row.event, row.param1, 0));
    EXPECT_EQ(1, sim_exited());
    EXPECT_FALSE(Dialog_IsActive());
    EXPECT_TRUE(sim_screen_empty()) << sim_screen_texts();
    int regions = 0;
    for (int h = 0; h < 0x10000; ++h) regions += sim_region_alive(h);
    EXPECT_EQ(0, regions);
    EXPECT_EQ(0u, sim_normal_depth());
    const std::string calls = sim_call_sequence();
    EXPECT_EQ(calls.size() - strlen("TAP_Exit "), calls.find("TAP_Exit ")) << calls;
    EXPECT_EQ(row.event == EVT_IDLE, sim_log_contains("Brantlow Error, exiting") != 0);
  }
}

// The dispatch order with a real dialog.
class EntryDialogTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim_set_state(0, 0x1F);
  }
};

TEST_F(EntryDialogTest, PendingNoticeOpensAndConsumesTheSameEvent) {
  bShowTimeshiftMessage = 1;
  bShowTimeshiftStorageMessage = 1;
  EXPECT_EQ(0u, TAP_EventHandler(EVT_IDLE, 0, 0)) << "the event goes to the new dialog";
  EXPECT_TRUE(Dialog_IsActive());
  EXPECT_TRUE(sim_screen_shows("Timeshift switched on"));
  EXPECT_EQ(0u, bShowTimeshiftMessage);
  EXPECT_EQ(1u, bShowTimeshiftStorageMessage) << "the second notice waits";
  EXPECT_EQ(PM_Startup, (int)ProgMode) << "the mode machine rests while a dialog is open";
}

TEST_F(EntryDialogTest, NoticeWaitsForNormalViewing) {
  bShowTimeshiftStorageMessage = 1;
  for (dword subState : {0x1Eu, 0x20u, 0u}) {
    sim_set_state(subState == 0 ? 2 : 0, subState);
    TAP_EventHandler(EVT_KEY, 0x1234, 0);
    EXPECT_FALSE(Dialog_IsActive()) << subState;
  }
  sim_set_state(0, 0x1F);
  TAP_EventHandler(EVT_KEY, 0x1234, 0);
  EXPECT_TRUE(Dialog_IsActive());
  EXPECT_TRUE(sim_screen_shows("Timeshift storage switched on"));
}

TEST_F(EntryDialogTest, RequestsAreAnsweredWhileADialogIsOpen) {
  bShowTimeshiftMessage = 1;
  TAP_EventHandler(EVT_IDLE, 0, 0);
  ASSERT_TRUE(Dialog_IsActive());
  EXPECT_EQ(0x01000006u, TAP_EventHandler(EVT_TAPCMD, 3, 0));
  // Request 6 redraws the one dialog with the question and identifier 1.
  EXPECT_EQ(1u, TAP_EventHandler(EVT_TAPCMD, 6, 0));
  EXPECT_TRUE(sim_screen_shows("Delte all saved timeshift recordings ?"));
  EXPECT_FALSE(sim_screen_shows("Timeshift switched on"));
  dword id = 99;
  EXPECT_EQ(5, Dialog_ProcessKey(&id, EVT_KEY, 0x12345, 0));
  EXPECT_EQ(1u, id);
  EXPECT_EQ(0u, TAP_EventHandler(EVT_KEY, 0x12345, 0)) << "a key the dialog does not use";
}

TEST_F(EntryDialogTest, PendingNoticeComesBeforeTheRequestIsAnswered) {
  bShowTimeshiftMessage = 1;
  EXPECT_EQ(1u, TAP_EventHandler(EVT_TAPCMD, 1, 0));
  EXPECT_EQ("TAP_GetState TAP_Osd_Create TAP_Exit ",
            CallsAmong({"TAP_GetState", "TAP_Osd_Create", "TAP_Exit"}));
}

TEST_F(EntryDialogTest, IdleEventsAreSwallowedWhileADialogIsOpen) {
  TAP_EventHandler(EVT_TAPCMD, 6, 0);
  EXPECT_EQ(0u, TAP_EventHandler(EVT_IDLE, 42, 0));
  EXPECT_EQ(0u, TAP_EventHandler(EVT_UART, 42, 0));
  EXPECT_EQ(PM_Startup, (int)ProgMode);
}

TEST_F(EntryDialogTest, OnlyYesOnTheQuestionDeletes) {
  ASSERT_EQ(1, sim_mkdir("/DataFiles/TimeShift/Save"));
  ASSERT_EQ(1, sim_make_recording("/DataFiles/TimeShift/Save/Old.rec", 2026, 12, 1, 20, 0, 0));

  // "Ok" on a notice (identifier 0) deletes nothing.
  bShowTimeshiftMessage = 1;
  TAP_EventHandler(EVT_IDLE, 0, 0);
  TAP_EventHandler(EVT_KEY, RKEY_Ok, 0);
  EXPECT_FALSE(Dialog_IsActive());
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/Old.rec"));

  // "No" (preselected) deletes nothing.
  TAP_EventHandler(EVT_TAPCMD, 6, 0);
  EXPECT_EQ(0u, TAP_EventHandler(EVT_KEY, RKEY_Ok, 0));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/Old.rec"));

  // Left, then ok: "Yes" deletes every recording with its companions.
  TAP_EventHandler(EVT_TAPCMD, 6, 0);
  TAP_EventHandler(EVT_KEY, RKEY_Left, 0);
  EXPECT_EQ(0u, TAP_EventHandler(EVT_KEY, RKEY_Ok, 0));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/Old.rec"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/Old.rec.inf"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/Old.rec.nav"));
}

}  // namespace
