// The firmware data file: loading, checks, a file that is short or lies about
// its model count, and the slot count taken from it.
#include <gtest/gtest.h>

#include <string>

#include "lib/dir_stack.h"
#include "lib/firmware_dat.h"
#include "lib/rec_files.h"
#include "sim/control.h"
#include "tests/support/sim_fixture.h"

namespace {

const char kSettingsDat[] = "/ProgramFiles/Settings/FirmwareTMS.dat";

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = char((v >> (8 * i)) & 0xFF);
}

std::string Header(uint32_t models, uint32_t magic = 0x12345678, uint32_t reserved = 0) {
  std::string s(20, '\0');
  Put32(s, 0, magic);
  Put32(s, 8, reserved);
  Put32(s, 12, models);
  return s;
}

std::string Record(uint16_t model, uint32_t slots) {
  std::string s(348, '\0');
  s[0] = char(model & 0xFF);
  s[1] = char(model >> 8);
  Put32(s, 324, slots);
  return s;
}

class FirmwareDatTest : public SimTest {
 protected:
  int Load() { return LoadFirmwareDat(&file, &models, &rest); }
  byte* file = nullptr;
  byte* models = nullptr;
  byte* rest = nullptr;
};

TEST_F(FirmwareDatTest, LoadsHeaderWithoutModelsAndKeepsIt) {
  WriteText(kSettingsDat, Header(0) + "tail");
  ASSERT_EQ(1, Load());
  EXPECT_EQ(file + 20, models);
  EXPECT_EQ(file + 20, rest);
  EXPECT_EQ(24u, FirmwareDatLoadedLength());

  // The second call hands out the same image without a file or folder touched.
  sim_reset_counts();
  byte* file2 = nullptr;
  byte* models2 = nullptr;
  byte* rest2 = nullptr;
  int depth = HDD_TAP_DirStackDepth();
  EXPECT_EQ(1, LoadFirmwareDat(&file2, &models2, &rest2));
  EXPECT_EQ(file, file2);
  EXPECT_EQ(models, models2);
  EXPECT_EQ(rest, rest2);
  EXPECT_EQ(0u, sim_call_count("TAP_Hdd_Fopen"));
  EXPECT_EQ(0u, sim_call_count("TAP_Hdd_ChangeDir"));
  EXPECT_EQ(depth, HDD_TAP_DirStackDepth());
  EXPECT_EQ(1, LoadFirmwareDat(nullptr, nullptr, nullptr));
}

TEST_F(FirmwareDatTest, RejectsBadHeaderFreesItAndLooksAgain) {
  unsigned heap = sim_heap_in_use();
  WriteText(kSettingsDat, Header(1, 0x87654321) + Record(0, 4));
  EXPECT_EQ(0, Load());
  EXPECT_EQ(nullptr, file);
  EXPECT_EQ(heap, sim_heap_in_use());
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());

  WriteText(kSettingsDat, Header(1, 0x12345678, 7) + Record(0, 4));
  EXPECT_EQ(0, Load());
  EXPECT_EQ(heap, sim_heap_in_use());

  // Mended, the file is read again on the next call.
  WriteText(kSettingsDat, Header(1) + Record(0, 4));
  sim_reset_counts();
  EXPECT_EQ(1, Load());
  EXPECT_EQ(1u, sim_call_count("TAP_Hdd_Fopen"));
  EXPECT_EQ(file + 20 + 348, rest);
}

TEST_F(FirmwareDatTest, MissingFileOrNoMemoryGivesZeroAndRestoresFolder) {
  char before[200] = {0};
  HDD_TAP_GetCurrentDir(before);
  EXPECT_EQ(0, Load());
  char after[200] = {0};
  HDD_TAP_GetCurrentDir(after);
  EXPECT_STREQ(before, after);
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());

  WriteText(kSettingsDat, Header(1) + Record(0, 4));
  sim_fail_alloc_all(1);
  EXPECT_EQ(0, Load());
  sim_fail_alloc_all(0);
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
  EXPECT_EQ(1, Load());
}

TEST_F(FirmwareDatTest, SettingsCopyIsPreferredOverProgramFiles) {
  WriteText("/ProgramFiles/FirmwareTMS.dat", Header(1) + Record(0, 2));
  WriteText(kSettingsDat, Header(2) + Record(0, 4) + Record(1, 4));
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  ASSERT_EQ(1, Load());
  EXPECT_EQ(20u + 2 * 348, FirmwareDatLoadedLength());
  char now[200] = {0};
  HDD_TAP_GetCurrentDir(now);
  EXPECT_STREQ("/DataFiles", now);
}

// The file is outside data: a short file is rejected, records the header
// announces beyond the file's end are absent.
TEST_F(FirmwareDatTest, ShortFileIsRejected) {
  unsigned heap = sim_heap_in_use();
  std::string head = Header(0);
  WriteText(kSettingsDat, head.substr(0, 12));
  EXPECT_EQ(0, Load());
  WriteText(kSettingsDat, head.substr(0, 19));
  EXPECT_EQ(0, Load());
  WriteText(kSettingsDat, "");
  EXPECT_EQ(0, Load());
  EXPECT_EQ(heap, sim_heap_in_use());
  EXPECT_EQ(2u, HDD_NumberOfRECSlots());
}

TEST_F(FirmwareDatTest, ModelCountBeyondFileIsCutToWholeRecords) {
  sim_set_system_id(0x4321);
  WriteText(kSettingsDat, Header(1000) + Record(0x1111, 2) + Record(0x4321, 4) + "xx");
  ASSERT_EQ(1, Load());
  EXPECT_EQ(file + 20 + 2 * 348, rest);
  EXPECT_EQ(2u, FirmwareDatModelCount(file, FirmwareDatLoadedLength()));
  EXPECT_EQ(4u, HDD_NumberOfRECSlots());
}

TEST_F(FirmwareDatTest, HugeModelCountDoesNotWrap) {
  // 0xFFFFFFFF records of 348 bytes would wrap a 32-bit product.
  std::string image = Header(0xFFFFFFFFu) + Record(0x0042, 4);
  const byte* p = reinterpret_cast<const byte*>(image.data());
  EXPECT_EQ(1u, FirmwareDatModelCount(p, dword(image.size())));
  EXPECT_EQ(4u, FirmwareDatSlotsOfModel(p, dword(image.size()), 0x0042));
  EXPECT_EQ(0u, FirmwareDatSlotsOfModel(p, dword(image.size()), 0x0043));
}

TEST_F(FirmwareDatTest, TruncatedRecordIsAbsent) {
  sim_set_system_id(0x0042);
  std::string record = Record(0x0042, 4);
  WriteText(kSettingsDat, Header(1) + record.substr(0, 326));
  ASSERT_EQ(1, Load());
  EXPECT_EQ(models, rest);
  EXPECT_EQ(2u, HDD_NumberOfRECSlots());
}

TEST_F(FirmwareDatTest, CheckAndWalkOverRawImages) {
  std::string good = Header(2) + Record(7, 3) + Record(7, 4);
  const byte* p = reinterpret_cast<const byte*>(good.data());
  EXPECT_EQ(1, FirmwareDatCheck(p, dword(good.size())));
  EXPECT_EQ(0, FirmwareDatCheck(p, 19));
  EXPECT_EQ(1, FirmwareDatCheck(p, 20));  // the header alone
  EXPECT_EQ(0, FirmwareDatCheck(nullptr, 100));
  EXPECT_EQ(3u, FirmwareDatSlotsOfModel(p, dword(good.size()), 7));  // the first match wins
  EXPECT_EQ(1u, FirmwareDatModelCount(p, 20 + 348 + 347));
  EXPECT_EQ(0u, FirmwareDatModelCount(p, 19));
}

}  // namespace

// A read that fails or comes back short leaves the image unread: the file
// is not taken, whatever the bytes that did arrive say.
TEST_F(FirmwareDatTest, FailedOrShortReadIsRejected) {
  WriteText(kSettingsDat, Header(1) + Record(0x1234, 4));
  const unsigned heap = sim_heap_in_use();
  for (int shortRead : {0, 1}) {
    sim_clear_faults();
    sim_fail_read(kSettingsDat, shortRead);
    EXPECT_EQ(0, Load()) << shortRead;
    EXPECT_EQ(0u, FirmwareDatLoadedLength()) << shortRead;
    EXPECT_EQ(heap, sim_heap_in_use()) << "the image is freed";
    EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
  }
  sim_clear_faults();
  EXPECT_EQ(1, Load()) << "read again once the disk reads";
  EXPECT_EQ(20u + 348u, FirmwareDatLoadedLength());
}
