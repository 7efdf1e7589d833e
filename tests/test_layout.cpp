// What differs between the host and the receiver (32-bit little-endian MIPS):
// the bytes of records the firmware reads, reads at odd addresses and the
// byte order of the files read. The receiver build runs these under
// qemu-mipsel, where a word read at an odd address stops the program.
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "app/dialog.h"
#include "app/expiry.h"
#include "tests/support/sim_fixture.h"

namespace {

dword LittleEndianWord(const byte* p) {
  return (dword)p[0] | ((dword)p[1] << 8) | ((dword)p[2] << 16) | ((dword)p[3] << 24);
}

}  // namespace

// The button graphic's descriptor: the format bytes, the compressed image,
// its unpacked size (100 x 25 pixels of 16 bits) and its measures.
TEST(Layout, SelectGdDescribesTheButtonGraphic) {
  EXPECT_EQ(1, _selectGd.version);
  EXPECT_EQ(0, _selectGd.reserved);
  EXPECT_EQ(0, _selectGd.dataFormat);
  EXPECT_EQ(2, _selectGd.compressMethod);
  EXPECT_EQ(_selectCpm, _selectGd.data);
  EXPECT_EQ(5000u, _selectGd.size);
  EXPECT_EQ(100, _selectGd.width);
  EXPECT_EQ(25, _selectGd.height);
}

// The firmware reads the descriptor as 16 bytes: four format bytes, a 32-bit
// pointer, the 32-bit unpacked size, width and height, little-endian.
TEST(Layout, SelectGdIsTheSixteenBytesTheFirmwareReads) {
  if (sizeof(void*) != 4) {
    GTEST_SKIP() << "the byte image is checked in the receiver build (32-bit pointers)";
  }
  ASSERT_EQ(16u, sizeof(_selectGd));
  byte raw[16];
  memcpy(raw, &_selectGd, sizeof(raw));
  const byte format[4] = {1, 0, 0, 2};
  EXPECT_EQ(0, memcmp(raw, format, 4));
  EXPECT_EQ((dword)(uintptr_t)_selectCpm, LittleEndianWord(raw + 4));
  EXPECT_EQ(5000u, LittleEndianWord(raw + 8));
  EXPECT_EQ(100, raw[12] | raw[13] << 8);
  EXPECT_EQ(25, raw[14] | raw[15] << 8);
}

// getDword reads byte by byte: at every alignment and in both byte orders the
// value is the same on either machine (a word load at an odd address would
// stop the receiver build).
TEST(Layout, GetDwordReadsAtEveryAlignment) {
  alignas(8) byte buf[12];
  for (int offset = 0; offset < 4; offset++) {
    memset(buf, 0xEE, sizeof(buf));
    const byte value[4] = {0x01, 0x02, 0x03, 0x04};
    memcpy(buf + offset, value, 4);
    EXPECT_EQ(0x04030201u, getDword(buf + offset, 0)) << "offset " << offset;
    EXPECT_EQ(0x01020304u, getDword(buf + offset, 1)) << "offset " << offset;
  }
  const byte high[4] = {0xFF, 0x80, 0x00, 0xF0};
  EXPECT_EQ(0xF00080FFu, getDword(high, 0));
  EXPECT_EQ(0xFF8000F0u, getDword(high, 1));
}

class LayoutFile : public SimTest {};

// The start time in a recording's information file is little-endian on disk,
// whatever the reading machine's byte order.
TEST_F(LayoutFile, InfStartTimeIsReadLittleEndian) {
  std::vector<char> header(28, 0);
  const dword packed = MjdHourMinToPackedTime(61382, 19, 7);
  for (int i = 0; i < 4; i++) header[8 + i] = (char)((packed >> (8 * i)) & 0xFF);
  header[7] = (char)0xAA;  // neighbours must not leak into the value
  header[12] = (char)0xBB;
  // The plug-in starts in "/ProgramFiles": the name is relative to it.
  ASSERT_EQ(1, sim_write_file("/ProgramFiles/Show.rec.inf", header.data(), header.size()));
  EXPECT_EQ(packed, TMS_GetStarttimeFromFile("Show.rec"));
}
