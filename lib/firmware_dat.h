// The firmware data file "FirmwareTMS.dat": receiver models and their
// recording slots.
#pragma once

#include "platform/tap.h"

enum : dword { FWDAT_HEADER_SIZE = 20, FWDAT_MODEL_SIZE = 348 };

int LoadFirmwareDat(byte** fileOut, byte** modelsOut, byte** restOut);

// Checks of an image of the data file, shared by LoadFirmwareDat, the slot
// lookup and the fuzz harness. The file is outside data: an image shorter
// than its 20-byte header is invalid, and model records that the header
// announces but that do not lie wholly inside the image count as absent.

// 1 when image (length bytes) holds a whole header with the magic 0x12345678
// at byte 0 and 0 at byte 8, else 0.
int FirmwareDatCheck(const byte* image, dword length);
// Number of model records that lie wholly inside the image: the header's
// count N, cut to (length - 20) / 348. 0 for an image shorter than the header.
dword FirmwareDatModelCount(const byte* image, dword length);
// Slot count of the first model record whose model number is model, 0 when
// no record inside the image matches (or the matching record holds 0).
dword FirmwareDatSlotsOfModel(const byte* image, dword length, word model);
// Length in bytes of the image LoadFirmwareDat keeps, 0 while none is loaded.
dword FirmwareDatLoadedLength(void);
