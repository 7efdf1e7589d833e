// Checked screen calls: the warning lines of each wrapper, in order, and the
// calls made unchanged whatever the checks say.
#include <string.h>

#include <algorithm>
#include <string>

#include "lib/log.h"
#include "lib/osd_check.h"
#include "sim/control.h"
#include "tests/support/sim_fixture.h"

namespace {

class OsdCheckTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim_terminal_open(0, 1);
  }
  std::string Console() { return sim_terminal_text(0); }
  // Console text written since the last call.
  std::string Take() {
    std::string all = Console();
    std::string fresh = all.substr(std::min(mark, all.size()));
    mark = all.size();
    return fresh;
  }
  size_t mark = 0;
};

const char kTag[] = "unit";

// --- TAP_Osd_Create_Chk -----------------------------------------------------

TEST_F(OsdCheckTest, CreateInRangeAndAtTheEdgesWarnsNothing) {
  int full = TAP_Osd_Create_Chk(kTag, 0, 0, 720, 576, 0, 0);
  int corner = TAP_Osd_Create_Chk(kTag, 719, 575, 1, 1, 0, 0);
  EXPECT_EQ(128, full);
  EXPECT_EQ(129, corner);
  EXPECT_EQ("", Console());
}

TEST_F(OsdCheckTest, CreateOutOfRangeWarnsInOrderAndStillCreates) {
  int rgn = TAP_Osd_Create_Chk(kTag, 1, 0, 720, 576, 0, 0);
  EXPECT_EQ("TAP_Osd_Create_Chk Warning: x(1) + w(720) out of range @ unit\n", Take());
  EXPECT_EQ(1, sim_region_alive(rgn));
  EXPECT_EQ(720u, GetOSDRegionWidth(static_cast<word>(rgn)));

  int rgn2 = TAP_Osd_Create_Chk("B", 720, 576, 10, 20, 0, 0);
  EXPECT_EQ(std::string() +
                "TAP_Osd_Create_Chk Warning: x(720) out of range @ B\n"
                "TAP_Osd_Create_Chk Warning: y(576) out of range @ B\n"
                "TAP_Osd_Create_Chk Warning: x(720) + w(10) out of range @ B\n"
                "TAP_Osd_Create_Chk Warning: y(576) + h(20) out of range @ B\n",
            Take());
  EXPECT_EQ(1, sim_region_alive(rgn2));
}

TEST_F(OsdCheckTest, CreateNegativeCoordinatesPrintAsNegative) {
  TAP_Osd_Create_Chk(kTag, static_cast<dword>(-1), 0, 10, 10, 0, 0);
  EXPECT_EQ("TAP_Osd_Create_Chk Warning: x(-1) out of range @ unit\n", Take());
  TAP_Osd_Create_Chk(kTag, 0, 10, 10, 567, 0, 0);  // y + h = 577
  EXPECT_EQ("TAP_Osd_Create_Chk Warning: y(10) + h(567) out of range @ unit\n", Take());
}

TEST_F(OsdCheckTest, CreateResultBelow128Warns) {
  sim_fail_osd_create(127);
  EXPECT_EQ(127, TAP_Osd_Create_Chk(kTag, 0, 0, 10, 10, 0, 0));
  EXPECT_EQ("TAP_Osd_Create_Chk Warning: TAP_Osd_Create() returned 127 @ unit\n", Console());

  sim_fail_osd_create(128);
  std::string before = Console();
  EXPECT_EQ(128, TAP_Osd_Create_Chk(kTag, 0, 0, 10, 10, 0, 0));
  EXPECT_EQ(before, Console());
}

TEST_F(OsdCheckTest, CreateFailingForLackOfHandlesWarnsMinusOne) {
  int last = 0;
  for (int i = 0; i < 128; ++i) last = TAP_Osd_Create_Chk(kTag, 0, 0, 4, 4, 0, 0x8000);
  EXPECT_EQ(255, last);
  EXPECT_EQ("", Console());
  EXPECT_EQ(-1, TAP_Osd_Create_Chk("full", 0, 0, 4, 4, 0, 0x8000));
  EXPECT_EQ("TAP_Osd_Create_Chk Warning: TAP_Osd_Create() returned -1 @ full\n", Console());
}

// --- TAP_Osd_FillBox_Chk ----------------------------------------------------

TEST_F(OsdCheckTest, FillBoxChecksAgainstTheScreenNotTheRegion) {
  word rgn = static_cast<word>(TAP_Osd_Create(0, 0, 100, 100, 0, 0));
  // Beyond the region but inside the screen: no warning.
  EXPECT_EQ(0, TAP_Osd_FillBox_Chk(kTag, rgn, 0, 0, 720, 576, 0xFF112233));
  EXPECT_EQ("", Console());
  EXPECT_EQ(0xFF112233u, sim_screen_pixel(99, 99));

  TAP_Osd_FillBox_Chk(kTag, rgn, static_cast<dword>(-1), 576, 1, 1, 0xFF000000);
  EXPECT_EQ(
      "TAP_Osd_FillBox_Chk Warning: x(-1) out of range @ unit\n"
      "TAP_Osd_FillBox_Chk Warning: y(576) out of range @ unit\n"
      "TAP_Osd_FillBox_Chk Warning: y(576) + h(1) out of range @ unit\n",
      Console());
  Take();
  TAP_Osd_FillBox_Chk(kTag, rgn, 720, 575, 0, 1, 0xFF000000);  // column 720, last row
  EXPECT_EQ("TAP_Osd_FillBox_Chk Warning: x(720) out of range @ unit\n", Take());
}

TEST_F(OsdCheckTest, FillBoxIntoDeletedRegionWarnsAndStillCalls) {
  word rgn = static_cast<word>(TAP_Osd_Create(0, 0, 100, 100, 0, 0));
  TAP_Osd_Delete(rgn);
  sim_reset_counts();
  int ret = TAP_Osd_FillBox_Chk("gone", rgn, 10, 10, 711, 5, 0xFF000000);
  EXPECT_EQ(1u, sim_call_count("TAP_Osd_FillBox"));
  EXPECT_NE(0, ret);
  EXPECT_EQ(
      "TAP_Osd_FillBox_Chk Warning: rgn(128) points to an undefined region @ gone\n"
      "TAP_Osd_FillBox_Chk Warning: x(10) + w(711) out of range @ gone\n"
      "TAP_Osd_FillBox_Chk Warning: TAP_Osd_FillBox() returned " +
          std::to_string(ret) + " @ gone\n",
      Console());
}

// --- TAP_Osd_Copy_Chk -------------------------------------------------------

TEST_F(OsdCheckTest, CopyEndingAtTheRegionEdgePasses) {
  word a = static_cast<word>(TAP_Osd_Create(0, 0, 100, 50, 0, 0x8000));
  word b = static_cast<word>(TAP_Osd_Create(0, 0, 60, 40, 0, 0));
  EXPECT_EQ(0, TAP_Osd_Copy_Chk(kTag, a, b, 40, 10, 60, 40, 0, 0, 0));
  EXPECT_EQ("", Console());
  TAP_Osd_Copy_Chk(kTag, a, b, 41, 10, 60, 40, 0, 0, 0);
  EXPECT_EQ("TAP_Osd_Copy_Chk Warning: (srcX(41) + w(60)) > srcRgnW(100) @ unit\n", Console());
}

TEST_F(OsdCheckTest, CopyReportsEverySourceThenEveryDestinationCheck) {
  word a = static_cast<word>(TAP_Osd_Create(0, 0, 100, 50, 0, 0x8000));
  word b = static_cast<word>(TAP_Osd_Create(0, 0, 60, 40, 0, 0));
  sim_reset_counts();
  TAP_Osd_Copy_Chk("cp", a, b, 100, 50, 1, 1, 60, 40, 0);
  EXPECT_EQ(1u, sim_call_count("TAP_Osd_Copy"));
  EXPECT_EQ(
      "TAP_Osd_Copy_Chk Warning: srcX(100) >= srcRgnW(100) @ cp\n"
      "TAP_Osd_Copy_Chk Warning: srcY(50) >= srcRgnH(50) @ cp\n"
      "TAP_Osd_Copy_Chk Warning: (srcX(100) + w(1)) > srcRgnW(100) @ cp\n"
      "TAP_Osd_Copy_Chk Warning: (srcY(50) + h(1)) > srcRgnH(50) @ cp\n"
      "TAP_Osd_Copy_Chk Warning: dstX(60) >= dstRgnW(60) @ cp\n"
      "TAP_Osd_Copy_Chk Warning: dstY(40) >= dstRgnH(40) @ cp\n"
      "TAP_Osd_Copy_Chk Warning: (dstX(60) + w(1)) > dstRgnW(60) @ cp\n"
      "TAP_Osd_Copy_Chk Warning: (dstY(40) + h(1)) > dstRgnH(40) @ cp\n",
      Console());
}

TEST_F(OsdCheckTest, FailedCopyWarnsItsResultAfterTheChecks) {
  word a = static_cast<word>(TAP_Osd_Create(0, 0, 100, 50, 0, 0x8000));
  word b = static_cast<word>(TAP_Osd_Create(0, 0, 60, 40, 0, 0));
  TAP_Osd_Delete(a);
  sim_reset_counts();
  int ret = TAP_Osd_Copy_Chk("gone", a, b, 0, 0, 10, 10, 0, 0, 0);
  EXPECT_EQ(1u, sim_call_count("TAP_Osd_Copy"));
  ASSERT_NE(0, ret);
  EXPECT_EQ(
      "TAP_Osd_Copy_Chk Warning: srcX(0) >= srcRgnW(0) @ gone\n"
      "TAP_Osd_Copy_Chk Warning: srcY(0) >= srcRgnH(0) @ gone\n"
      "TAP_Osd_Copy_Chk Warning: (srcX(0) + w(10)) > srcRgnW(0) @ gone\n"
      "TAP_Osd_Copy_Chk Warning: (srcY(0) + h(10)) > srcRgnH(0) @ gone\n"
      "TAP_Osd_Copy_Chk Warning: TAP_Osd_Copy() returned " +
          std::to_string(ret) + " @ gone\n",
      Take());
  // A copy that succeeds says nothing of its result.
  a = static_cast<word>(TAP_Osd_Create(0, 0, 100, 50, 0, 0x8000));
  EXPECT_EQ(0, TAP_Osd_Copy_Chk("ok", a, b, 0, 0, 10, 10, 0, 0, 0));
  EXPECT_EQ("", Take());
}

TEST_F(OsdCheckTest, OverlongTagIsCutSoTheLineFitsTheBuffer) {
  std::string tag(2000, 't');
  TAP_Osd_Create_Chk(tag.c_str(), 720, 0, 1, 1, 0, 0);
  std::string out = Console();
  EXPECT_LT(out.size(), 2 * sizeof puffer);
  EXPECT_EQ(0u, out.find("TAP_Osd_Create_Chk Warning: x(720) out of range @ ttt"));
  EXPECT_LT(strlen(puffer), sizeof puffer);
}

// --- Region table -----------------------------------------------------------

TEST_F(OsdCheckTest, RegionQueriesReadTheFirmwareTable) {
  word rgn = static_cast<word>(TAP_Osd_Create(10, 20, 300, 40, 0, 0));
  EXPECT_EQ(300u, GetOSDRegionWidth(rgn));
  EXPECT_EQ(40u, GetOSDRegionHeight(rgn));
  EXPECT_EQ(1, isOSDRegionAlive(rgn));
  EXPECT_EQ(0, isOSDRegionAlive(static_cast<word>(rgn + 1)));
  // Either size 0 marks an entry without a region.
  TYPE_OsdInfoEntry* entry = static_cast<TYPE_OsdInfoEntry*>(FIS_vOSDMap()) + rgn;
  for (word* size : {&entry->width, &entry->height}) {
    const word kept = *size;
    *size = 0;
    EXPECT_EQ(0, isOSDRegionAlive(rgn));
    *size = kept;
  }
  TAP_Osd_Delete(rgn);
  EXPECT_EQ(0u, GetOSDRegionWidth(rgn));
  EXPECT_EQ(0, isOSDRegionAlive(rgn));
  EXPECT_EQ(0, isOSDRegionAlive(0xFFFF));
}

TEST_F(OsdCheckTest, WithoutRegionTableEveryRegionIsUndefinedAndLookupIsRetried) {
  word rgn = static_cast<word>(TAP_Osd_Create(0, 0, 100, 100, 0, 0));
  sim_fail_symbol("_osdInfo", 1);
  EXPECT_EQ(nullptr, FIS_vOSDMap());
  EXPECT_EQ(0u, GetOSDRegionWidth(rgn));
  EXPECT_EQ(0u, GetOSDRegionHeight(rgn));
  EXPECT_EQ(0, isOSDRegionAlive(rgn));
  EXPECT_EQ(0, TAP_Osd_FillBox_Chk("nomap", rgn, 0, 0, 10, 10, 0xFF00FF00));
  EXPECT_EQ("TAP_Osd_FillBox_Chk Warning: rgn(128) points to an undefined region @ nomap\n",
            Console());
  // The call went through all the same.
  EXPECT_EQ(0xFF00FF00u, sim_screen_pixel(5, 5));

  // Not cached while missing: found as soon as it is there, then kept.
  sim_fail_symbol("_osdInfo", 0);
  void* map = FIS_vOSDMap();
  ASSERT_NE(nullptr, map);
  EXPECT_EQ(1, isOSDRegionAlive(rgn));
  sim_fail_symbol("_osdInfo", 1);
  EXPECT_EQ(map, FIS_vOSDMap());
  EXPECT_EQ(100u, GetOSDRegionWidth(rgn));
}

}  // namespace

// Any result but 0 is a failed fill or copy, a positive one too: the
// firmware gives back what it likes.
TEST_F(OsdCheckTest, FailedFillOrCopyWarnsWhateverItsResult) {
  word a = static_cast<word>(TAP_Osd_Create(0, 0, 100, 50, 0, 0x8000));
  word b = static_cast<word>(TAP_Osd_Create(0, 0, 60, 40, 0, 0));
  for (int result : {1, 5, 127, -1, -2}) {
    const std::string shown = std::to_string(result);
    sim_fail_osd_fill(result);
    EXPECT_EQ(result, TAP_Osd_FillBox_Chk("fill", b, 0, 0, 10, 10, 0xFF000000));
    EXPECT_EQ("TAP_Osd_FillBox_Chk Warning: TAP_Osd_FillBox() returned " + shown + " @ fill\n",
              Take());
    sim_fail_osd_copy(result);
    EXPECT_EQ(result, TAP_Osd_Copy_Chk("copy", a, b, 0, 0, 10, 10, 0, 0, 0));
    EXPECT_EQ("TAP_Osd_Copy_Chk Warning: TAP_Osd_Copy() returned " + shown + " @ copy\n", Take());
  }
  sim_clear_faults();
  EXPECT_EQ(0, TAP_Osd_FillBox_Chk("fill", b, 0, 0, 10, 10, 0xFF000000));
  EXPECT_EQ("", Take());
}
