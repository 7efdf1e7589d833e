// The identification block the firmware reads from the plug-in file: six
// read-only records, each in a section of its own, in this address order
// (the file is compiled without top-level reordering to keep it).
#include "platform/tap.h"

#define TAP_ID_RECORD(name) extern TAP_EXPORT __attribute__((section(name), used, aligned(4)))

extern "C" {
TAP_ID_RECORD("._tap_etcinfo") const char __tap_etc_str__[64] = "Dec 19 2011";

TAP_ID_RECORD("._tap_description")
const char __tap_description__[128] =
    "Manages Timeshift buffer\n"
    "Moves saved Timeshift recordings to subfolder /TimeShift/Save and deletes them after a "
    "certain time.";

TAP_ID_RECORD("._tap_author_name") const char __tap_author_name__[64] = "Brantlow developers";

TAP_ID_RECORD("._tap_program_name") const char __tap_program_name__[64] = "Brantlow V1.4";

TAP_ID_RECORD("._tap_id") const dword __tap_ud__ = TAP_ID_BRANTLOW;

TAP_ID_RECORD("._tap_header")
const TYPE_TapHeader __tap_Header__ = {
    {'T', 'F', 'A', 'P', 'M', 'I', 'P', 'S'}, TAP_HEADER_VERSION, {0}};
}
