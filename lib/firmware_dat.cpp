// The firmware data file "FirmwareTMS.dat": found with the settings reader's
// folder search, read whole once, checked, and kept for the plug-in's life.
//
// The file is outside data and may be short or lie about its size. This
// module never trusts the model count N of the header: an image shorter than
// the 20-byte header is rejected, and model records beyond the image's end are
// treated as absent (only the records that lie wholly inside the image are
// ever read). The length of the image is kept beside it for that purpose.
#include "lib/firmware_dat.h"

#include "lib/dir_stack.h"
#include "lib/firmware.h"
#include "lib/ini.h"

namespace {

constexpr dword kMagic = 0x12345678;
constexpr dword kOffsetMagic = 0;
constexpr dword kOffsetReserved = 8;
constexpr dword kOffsetModelCount = 12;
constexpr dword kModelOffsetNumber = 0;
constexpr dword kModelOffsetSlots = 324;
static_assert(kModelOffsetSlots + 4 <= FWDAT_MODEL_SIZE, "slot count inside the record");
static_assert(kOffsetModelCount + 4 <= FWDAT_HEADER_SIZE, "model count inside the header");

const char kFileName[] = "FirmwareTMS.dat";

byte* FWDATBin = nullptr;  // the checked image, kept once loaded
dword FWDATSize = 0;       // its length in bytes

// Little-endian words read byte by byte: the image may sit anywhere.
dword ReadLE32(const byte* p) {
  return dword(p[0]) | dword(p[1]) << 8 | dword(p[2]) << 16 | dword(p[3]) << 24;
}
word ReadLE16(const byte* p) {
  return word(p[0] | p[1] << 8);
}

}  // namespace

int FirmwareDatCheck(const byte* image, dword length) {
  if (!image || length < FWDAT_HEADER_SIZE) return 0;
  if (ReadLE32(image + kOffsetMagic) != kMagic) return 0;
  if (ReadLE32(image + kOffsetReserved) != 0) return 0;
  return 1;
}

dword FirmwareDatModelCount(const byte* image, dword length) {
  if (!image || length < FWDAT_HEADER_SIZE) return 0;
  dword announced = ReadLE32(image + kOffsetModelCount);
  dword fitting = (length - FWDAT_HEADER_SIZE) / FWDAT_MODEL_SIZE;
  return announced < fitting ? announced : fitting;
}

dword FirmwareDatSlotsOfModel(const byte* image, dword length, word model) {
  dword count = FirmwareDatModelCount(image, length);
  const byte* record = image + FWDAT_HEADER_SIZE;
  for (dword i = 0; i < count; ++i, record += FWDAT_MODEL_SIZE) {
    if (ReadLE16(record + kModelOffsetNumber) == model) {
      return ReadLE32(record + kModelOffsetSlots);
    }
  }
  return 0;
}

dword FirmwareDatLoadedLength(void) {
  return FWDATBin ? FWDATSize : 0;
}

int LoadFirmwareDat(byte** fileOut, byte** modelsOut, byte** restOut) {
  bool pushed = false;
  if (!FWDATBin) {
    if (!HDD_TAP_PushDir()) return 0;
    pushed = true;
    if (INILocateFile(kFileName, nullptr) == 0) {
      HDD_TAP_PopDir();
      return 0;
    }
    TYPE_File* file = TAP_Hdd_Fopen(kFileName);
    if (!file) {
      HDD_TAP_PopDir();
      return 0;
    }
    dword length = TAP_Hdd_Flen(file);
    // Too short for the header: nothing in it could be read safely.
    if (length < FWDAT_HEADER_SIZE) {
      TAP_Hdd_Fclose(file);
      HDD_TAP_PopDir();
      return 0;
    }
    byte* image = static_cast<byte*>(TAP_MemAlloc_Chk("LoadFirmwareDat", length));
    if (!image) {
      TAP_Hdd_Fclose(file);
      HDD_TAP_PopDir();
      return 0;
    }
    dword readResult = TAP_Hdd_Fread(image, length, 1, file);
    TAP_Hdd_Fclose(file);
    if (readResult == 0 || !FirmwareDatCheck(image, length)) {
      TAP_MemFree(image);
      HDD_TAP_PopDir();
      return 0;
    }
    FWDATBin = image;
    FWDATSize = length;
  }

  // Records beyond the image's end are absent: restOut ends after the last
  // record that lies wholly inside the image.
  dword models = FirmwareDatModelCount(FWDATBin, FWDATSize);
  if (fileOut) *fileOut = FWDATBin;
  if (modelsOut) *modelsOut = FWDATBin + FWDAT_HEADER_SIZE;
  if (restOut) *restOut = FWDATBin + FWDAT_HEADER_SIZE + models * FWDAT_MODEL_SIZE;
  if (pushed) HDD_TAP_PopDir();
  return 1;
}
