// The link between the simulated receiver and the commands its shell runs:
// a memory file that the shell inherits, its descriptor named by the
// environment variable TAPSIM_LINK. The receiver fills it before a command
// runs and reads it back afterwards; the simulator's mv reads it, counts its
// renames in it and cuts the power there when the armed change is one of
// them. Both sides are built from this header (mv also for the host when the
// receiver runs under the emulator: the layout is the same on both machines).
#pragma once

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

namespace shell_link {

constexpr const char kEnvironment[] = "TAPSIM_LINK";
constexpr uint32_t kMagic = 0x4B4E4C54u;  // "TLNK"

// The memory file: the header, the fault list and the path the armed cut
// counts (if any) after it, below kReportOffset; from there the lines mv
// writes about the faults that hit (a 32-bit length, then the text).
constexpr size_t kSize = 64 * 1024;
constexpr size_t kReportOffset = 48 * 1024;

struct Header {
  uint32_t magic;
  uint32_t renames;     // renames made for the plug-in by this command
  uint32_t budget;      // changes left before the power goes (0: no cut armed)
  uint32_t off;         // 1 once the power went
  int64_t clock;        // the receiver's clock (seconds since 1970) that dates folders
  uint32_t faultBytes;  // size of the fault list that follows the header
  uint32_t pathBytes;   // size of the path after it: only renames from or to it count (0: all)
};
static_assert(sizeof(Header) == 32, "the same layout on both machines");

// Faults of the shell's mv: the source (or the target as written) of a move,
// as a receiver path ("/DataFiles/TimeShift/x.rec").
enum FaultKind : char {
  kRefuse = 'F',         // nothing moves, and mv reports failure
  kMovedButFails = 'M',  // the move is made, and mv still reports failure
};
struct Fault {
  char kind;
  std::string path;
};

// The fault list as it follows the header: kind, path, zero byte.
inline std::string EncodeFaults(const std::vector<Fault>& faults) {
  std::string out;
  for (const Fault& f : faults) {
    out += f.kind;
    out += f.path;
    out += '\0';
  }
  return out;
}

inline std::vector<Fault> DecodeFaults(const char* data, size_t size) {
  std::vector<Fault> faults;
  size_t i = 0;
  while (i < size) {
    const void* end = memchr(data + i, '\0', size - i);
    if (!end) break;
    const size_t stop = static_cast<size_t>(static_cast<const char*>(end) - data);
    if (stop > i) faults.push_back(Fault{data[i], std::string(data + i + 1, stop - i - 1)});
    i = stop + 1;
  }
  return faults;
}

}  // namespace shell_link
