// libFuzzer harness: arbitrary bytes as "FirmwareTMS.dat".
//
// Each input is written as /ProgramFiles/Settings/FirmwareTMS.dat on one
// simulated disk and LoadFirmwareDat and HDD_NumberOfRECSlots are called.
// The plug-in keeps the first valid image and the slot count for its life,
// so every input is in addition checked and walked directly, through the
// same routines LoadFirmwareDat and HDD_NumberOfRECSlots use, over an
// exactly sized copy: a read past its end is caught by the sanitizer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz/support/fuzz_sandbox.h"
#include "lib/dir_stack.h"
#include "lib/firmware.h"
#include "lib/firmware_dat.h"
#include "lib/rec_files.h"
#include "sim/control.h"

namespace {

word RecordModel(const byte* record) {
  return word(record[0] | record[1] << 8);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzSandboxInit("firmware_dat");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;

  sim_write_file("/ProgramFiles/Settings/FirmwareTMS.dat", data, size);
  int depth = HDD_TAP_DirStackDepth();
  byte* file = nullptr;
  byte* models = nullptr;
  byte* rest = nullptr;
  if (LoadFirmwareDat(&file, &models, &rest) == 1) {
    dword length = FirmwareDatLoadedLength();
    if (!file || length < FWDAT_HEADER_SIZE || models != file + FWDAT_HEADER_SIZE ||
        rest < models || rest > file + length || (rest - models) % FWDAT_MODEL_SIZE != 0) {
      abort();
    }
    // Touch every byte handed out as model records.
    volatile byte sum = 0;
    for (const byte* p = models; p < rest; ++p) sum = byte(sum + *p);
  }
  dword slots = HDD_NumberOfRECSlots();
  if (slots == 0) abort();
  if (HDD_TAP_DirStackDepth() != depth) abort();

  // The same checks and walk over this input itself, exactly sized.
  byte* copy = static_cast<byte*>(malloc(size ? size : 1));
  if (!copy) return 0;
  if (size) memcpy(copy, data, size);
  dword length = dword(size);
  int valid = FirmwareDatCheck(copy, length);
  dword count = FirmwareDatModelCount(copy, length);
  if (size < FWDAT_HEADER_SIZE && (valid || count)) abort();
  if (count > 0 && uint64_t(FWDAT_HEADER_SIZE) + uint64_t(count) * FWDAT_MODEL_SIZE > size) abort();
  FirmwareDatSlotsOfModel(copy, length, GetSysID());
  if (count > 0) {
    // A model that is present: the first and the last record inside the image.
    FirmwareDatSlotsOfModel(copy, length, RecordModel(copy + FWDAT_HEADER_SIZE));
    FirmwareDatSlotsOfModel(copy, length,
                            RecordModel(copy + FWDAT_HEADER_SIZE + (count - 1) * FWDAT_MODEL_SIZE));
  }
  free(copy);
  return 0;
}
