// Firmware symbols, the receiver model and the checked allocation.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>

#include "lib/firmware.h"
#include "lib/log.h"
#include "tests/support/sim_fixture.h"

TEST_F(SimTest, TryResolveFindsFirmwareSymbolsOnly) {
  void* table = TryResolve("_tapTask");
  EXPECT_NE(nullptr, table);
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "_tapTask"), table);
  EXPECT_NE(nullptr, TryResolve("_curTapTask"));
  EXPECT_EQ(nullptr, TryResolve("_noSuchFirmwareSymbol"));
  EXPECT_EQ(nullptr, TryResolve(nullptr));
  sim_fail_symbol("_tapTask", 1);
  EXPECT_EQ(nullptr, TryResolve("_tapTask"));
}

TEST_F(SimTest, FailedLookupIsRetriedFoundAddressIsCached) {
  sim_fail_symbol("_tapTask", 1);
  EXPECT_EQ(nullptr, FIS_vTAPTable());
  sim_fail_symbol("_tapTask", 0);
  void* table = FIS_vTAPTable();
  ASSERT_NE(nullptr, table);
  sim_fail_symbol("_tapTask", 1);
  EXPECT_EQ(table, FIS_vTAPTable());  // no new lookup once found

  sim_fail_symbol("_curTapTask", 1);
  EXPECT_EQ(nullptr, FIS_vcurTapTask());
  sim_fail_symbol("_curTapTask", 0);
  void* current = FIS_vcurTapTask();
  ASSERT_NE(nullptr, current);
  sim_fail_symbol("_curTapTask", 1);
  EXPECT_EQ(current, FIS_vcurTapTask());
}

TEST_F(SimTest, InitTAPexTakesVersionAndTableIndexOnce) {
  const int* current = static_cast<const int*>(dlsym(RTLD_DEFAULT, "_curTapTask"));
  ASSERT_NE(nullptr, current);
  EXPECT_EQ(1, InitTAPex());
  EXPECT_EQ(static_cast<word>(TAP_GetVersion() & 0xFFFF), ApplID);
  EXPECT_EQ(*current, TAP_TableIndex);
  ApplID = 0x5A5A;
  TAP_TableIndex = 99;
  EXPECT_EQ(1, InitTAPex());  // already done: nothing is taken again
  EXPECT_EQ(0x5A5A, ApplID);
  EXPECT_EQ(99, TAP_TableIndex);
}

TEST_F(SimTest, InitTAPexWithoutCurrentPluginSymbol) {
  sim_fail_symbol("_curTapTask", 1);
  TAP_TableIndex = 0;
  EXPECT_EQ(1, InitTAPex());
  EXPECT_EQ(0, TAP_TableIndex);
  EXPECT_EQ(static_cast<word>(TAP_GetVersion() & 0xFFFF), ApplID);
}

TEST_F(SimTest, GetSysIDInitialisesOnceAndReadsTheModelEachTime) {
  sim_set_system_id(0x12345);
  EXPECT_EQ(0x2345, GetSysID());
  word firstApplID = ApplID;
  ApplID = static_cast<word>(firstApplID + 1);
  sim_set_system_id(0x0BEEF);
  EXPECT_EQ(0xBEEF, GetSysID());
  EXPECT_EQ(static_cast<word>(firstApplID + 1), ApplID);  // InitTAPex did not run again
}

TEST_F(SimTest, MemAllocChkWarnsOnNullAndPassesItBack) {
  sim_terminal_open(0, 1);
  void* block = TAP_MemAlloc_Chk("Test", 100);
  ASSERT_NE(nullptr, block);
  EXPECT_STREQ("", sim_terminal_text(0));
  TAP_MemFree(block);

  sim_fail_alloc(1);
  EXPECT_EQ(nullptr, TAP_MemAlloc_Chk("LoadIni", 100));
  EXPECT_STREQ("TAP_MemAlloc_Chk Warning: TAP_MemAlloc(100) returned NULL pointer @ LoadIni\n",
               sim_terminal_text(0));
}

TEST_F(SimTest, MemAllocChkCutsALongTag) {
  sim_terminal_open(0, 1);
  sim_fail_alloc_all(1);
  std::string tag(2000, 't');
  EXPECT_EQ(nullptr, TAP_MemAlloc_Chk(tag.c_str(), 7));
  std::string shown = sim_terminal_text(0);
  EXPECT_EQ(511u, shown.size());
  EXPECT_EQ(0u,
            shown.find("TAP_MemAlloc_Chk Warning: TAP_MemAlloc(7) returned NULL pointer @ ttt"));
  EXPECT_EQ('\n', shown.back());
}
