// Identification block of a plug-in file: the ELF section headers are parsed
// by hand (ELF32 and ELF64, little-endian) with every read bounds-checked.
#include "sim/tapsim/elf_info.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <vector>

namespace tapsim {
namespace {

constexpr unsigned kMachineMips = 8;
constexpr unsigned kMachineX8664 = 62;
constexpr uint32_t kSectionSymbols = 2;
constexpr uint32_t kSectionNote = 7;
constexpr uint32_t kSectionNoBits = 8;
constexpr uint32_t kNoteBuild = 1;    // owner "Brantlow": version and kind
constexpr uint32_t kNoteBuildId = 3;  // owner "GNU": the linker's build id
constexpr size_t kMaxFileSize = 256u * 1024 * 1024;

// Little-endian reads that fail instead of reading past the image.
struct Image {
  const uint8_t* data;
  size_t size;

  bool Has(uint64_t offset, uint64_t len) const { return offset <= size && len <= size - offset; }
  uint64_t Read(uint64_t offset, unsigned bytes) const {  // caller checked Has
    uint64_t v = 0;
    for (unsigned i = 0; i < bytes; ++i) v |= uint64_t(data[offset + i]) << (8 * i);
    return v;
  }
};

struct Section {
  uint32_t name = 0;
  uint32_t type = 0;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint32_t link = 0;
};

struct Wanted {
  const char* name;
  uint64_t size;
};
constexpr Wanted kSections[] = {
    {"._tap_etcinfo", 64},     {"._tap_description", 128},
    {"._tap_author_name", 64}, {"._tap_program_name", 64},
    {"._tap_id", 4},           {"._tap_header", 32},
};

std::string Format(const char* fmt, unsigned long long a, unsigned long long b = 0) {
  char buf[200];
  snprintf(buf, sizeof buf, fmt, a, b);
  return buf;
}

// Text of a zero-padded field: the bytes up to the first zero, never past
// the field.
std::string FieldText(const uint8_t* p, size_t len) {
  size_t n = 0;
  while (n < len && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

// Reads the notes of one note section: entries of a 12-byte head (name
// size, descriptor size, type), the owner's name and the descriptor, each
// padded to 4 bytes. Notes that are not ours or run past the section are
// passed over; the section itself lies in the file (checked by the caller).
void ReadNotes(const Image& img, const Section& s, TapInfo& info) {
  uint64_t at = s.offset;
  const uint64_t end = s.offset + s.size;
  while (at + 12 <= end) {
    uint64_t nameSize = img.Read(at, 4);
    uint64_t descSize = img.Read(at + 4, 4);
    uint32_t type = uint32_t(img.Read(at + 8, 4));
    uint64_t nameAt = at + 12;
    uint64_t descAt = nameAt + (nameSize + 3) / 4 * 4;
    uint64_t next = descAt + (descSize + 3) / 4 * 4;
    if (next > end) return;
    std::string owner = FieldText(img.data + nameAt, size_t(nameSize));
    const uint8_t* desc = img.data + descAt;
    if (owner == "Brantlow" && type == kNoteBuild) {
      std::string text = FieldText(desc, size_t(descSize));
      size_t space = text.rfind(' ');
      if (space != std::string::npos) {
        info.version = text.substr(0, space);
        info.buildKind = text.substr(space + 1);
      }
    } else if (owner == "GNU" && type == kNoteBuildId && descSize <= 64) {
      static const char kHex[] = "0123456789abcdef";
      info.buildId.clear();
      for (uint64_t i = 0; i < descSize; ++i) {
        info.buildId += kHex[desc[i] >> 4];
        info.buildId += kHex[desc[i] & 15];
      }
    }
    at = next;
  }
}

// The value of the object symbol "ProgMode" in a symbol table whose string
// table is names; 0 when there is none. Entries that run past the file or
// name outside the string table are passed over.
uint64_t ModeVariable(const Image& img, bool is64, const Section& symbols, const Section& names) {
  const uint64_t entry = is64 ? 24 : 16;
  if (!img.Has(symbols.offset, symbols.size) || !img.Has(names.offset, names.size)) return 0;
  static const char kName[] = "ProgMode";
  for (uint64_t at = symbols.offset; at + entry <= symbols.offset + symbols.size; at += entry) {
    uint64_t name = img.Read(at, 4);
    unsigned type = unsigned(img.Read(at + (is64 ? 4 : 12), 1)) & 0xF;
    if (type != 1 || name + sizeof kName > names.size) continue;  // STT_OBJECT only
    if (memcmp(img.data + names.offset + name, kName, sizeof kName) != 0) continue;
    return is64 ? img.Read(at + 8, 8) : img.Read(at + 4, 4);
  }
  return 0;
}

}  // namespace

bool ParseTapInfo(const uint8_t* data, size_t size, TapInfo& info, std::string& error) {
  Image img{data, size};
  info = TapInfo();
  if (!img.Has(0, 16) || memcmp(data,
                                "\x7f"
                                "ELF",
                                4) != 0) {
    error = "not an ELF file (no ELF signature)";
    return false;
  }
  const uint8_t cls = data[4];
  if (cls != 1 && cls != 2) {
    error = Format("unknown ELF class %llu (expected 32- or 64-bit)", cls);
    return false;
  }
  if (data[5] != 1) {
    error = "big-endian or unknown byte order (a plug-in is little-endian)";
    return false;
  }
  const bool is64 = cls == 2;
  info.elfClass = is64 ? 64 : 32;
  const uint64_t ehsize = is64 ? 64 : 52;
  if (!img.Has(0, ehsize)) {
    error = "file too short for an ELF header";
    return false;
  }
  info.machine = unsigned(img.Read(18, 2));
  if (info.machine == kMachineX8664 && is64)
    info.machineName = "x86-64";
  else if (info.machine == kMachineMips && !is64)
    info.machineName = "MIPS32 little-endian";
  else
    info.machineName = Format(
        is64 ? "unknown machine (%llu, 64-bit)" : "unknown machine (%llu, 32-bit)", info.machine);

  uint64_t shoff = is64 ? img.Read(0x28, 8) : img.Read(0x20, 4);
  uint64_t shentsize = img.Read(is64 ? 0x3A : 0x2E, 2);
  uint64_t shnum = img.Read(is64 ? 0x3C : 0x30, 2);
  uint64_t shstrndx = img.Read(is64 ? 0x3E : 0x32, 2);
  const uint64_t minEnt = is64 ? 64 : 40;
  if (shoff == 0) {
    error = "has no section headers";
    return false;
  }
  if (shentsize < minEnt) {
    error =
        Format("section header size %llu is too small (expected at least %llu)", shentsize, minEnt);
    return false;
  }
  auto readSection = [&](uint64_t index, Section& s) -> bool {
    // index < shnum and the table lies in the file: checked by the caller
    // for the table, here for the entry.
    uint64_t at = shoff + index * shentsize;
    if (!img.Has(at, minEnt)) return false;
    s.name = uint32_t(img.Read(at, 4));
    s.type = uint32_t(img.Read(at + 4, 4));
    s.offset = is64 ? img.Read(at + 24, 8) : img.Read(at + 16, 4);
    s.size = is64 ? img.Read(at + 32, 8) : img.Read(at + 20, 4);
    s.link = uint32_t(is64 ? img.Read(at + 40, 4) : img.Read(at + 24, 4));
    return true;
  };
  // Extended numbering: a count or string table index too large for the
  // header lives in section 0.
  if (shnum == 0 || shstrndx == 0xFFFF) {
    if (!img.Has(shoff, minEnt)) {
      error = "section header table lies outside the file";
      return false;
    }
    Section first;
    readSection(0, first);
    if (shnum == 0) shnum = first.size;
    if (shstrndx == 0xFFFF) shstrndx = first.link;
  }
  if (shnum == 0 || shnum > size / minEnt || !img.Has(shoff, shnum * shentsize)) {
    error = "section header table lies outside the file";
    return false;
  }
  if (shstrndx == 0 || shstrndx >= shnum) {
    error = "has no section name table";
    return false;
  }
  Section names;
  readSection(shstrndx, names);
  if (names.type == kSectionNoBits || !img.Has(names.offset, names.size)) {
    error = "section name table lies outside the file";
    return false;
  }

  const uint8_t* found[6] = {};
  for (uint64_t i = 1; i < shnum; ++i) {
    Section s;
    readSection(i, s);
    if (s.type == kSectionNote && img.Has(s.offset, s.size)) ReadNotes(img, s, info);
    if (s.type == kSectionSymbols && s.link > 0 && s.link < shnum) {
      Section strings;
      readSection(s.link, strings);
      info.modeVariable = ModeVariable(img, is64, s, strings);
    }
    if (s.name >= names.size) continue;  // a name outside the table is no name we look for
    const char* name = reinterpret_cast<const char*>(data + names.offset + s.name);
    size_t room = size_t(names.size - s.name);
    size_t len = strnlen(name, room);
    if (len == room) continue;  // unterminated
    for (size_t w = 0; w < 6; ++w) {
      if (strcmp(name, kSections[w].name) != 0) continue;
      if (found[w]) {
        error = std::string("section ") + kSections[w].name + " appears twice";
        return false;
      }
      if (s.size != kSections[w].size) {
        error = std::string("section ") + kSections[w].name +
                Format(" has %llu bytes (expected %llu)", s.size, kSections[w].size);
        return false;
      }
      if (s.type == kSectionNoBits || !img.Has(s.offset, s.size)) {
        error = std::string("section ") + kSections[w].name + " has no data in the file";
        return false;
      }
      found[w] = data + s.offset;
    }
  }
  for (size_t w = 0; w < 6; ++w) {
    if (!found[w]) {
      error = std::string("lacks the section ") + kSections[w].name +
              " (not a plug-in: no identification block)";
      return false;
    }
  }

  const uint8_t* header = found[5];
  if (memcmp(header, "TFAPMIPS", 8) != 0) {
    error = "header record does not start with \"TFAPMIPS\"";
    return false;
  }
  info.headerVersion = uint32_t(header[8]) | uint32_t(header[9]) << 8 | uint32_t(header[10]) << 16 |
                       uint32_t(header[11]) << 24;
  if (info.headerVersion != 16) {
    error = Format("header version is %llu (expected 16)", info.headerVersion);
    return false;
  }
  for (int i = 12; i < 32; ++i) {
    if (header[i] != 0) {
      error = Format("header byte %llu is 0x%02llx (bytes 12-31 must be zero)", i, header[i]);
      return false;
    }
  }
  info.buildDate = FieldText(found[0], 64);
  info.description = FieldText(found[1], 128);
  info.author = FieldText(found[2], 64);
  info.programName = FieldText(found[3], 64);
  info.id = uint32_t(found[4][0]) | uint32_t(found[4][1]) << 8 | uint32_t(found[4][2]) << 16 |
            uint32_t(found[4][3]) << 24;
  return true;
}

bool ReadTapInfo(const char* path, TapInfo& info, std::string& error) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    error = std::string(path) + ": cannot open: " + strerror(errno);
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  size_t n;
  bool tooLarge = false;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    if (bytes.size() + n > kMaxFileSize) {
      tooLarge = true;
      break;
    }
    bytes.insert(bytes.end(), buf, buf + n);
  }
  bool readError = ferror(f) != 0;
  fclose(f);
  if (readError) {
    error = std::string(path) + ": cannot read (is it a folder?)";
    return false;
  }
  if (tooLarge) {
    error = std::string(path) + ": file is larger than 256 MiB, not a plug-in";
    return false;
  }
  std::string why;
  if (!ParseTapInfo(bytes.data(), bytes.size(), info, why)) {
    error = std::string(path) + ": " + why;
    return false;
  }
  return true;
}

bool MachineMatchesRunner(const TapInfo& info, std::string& runnerMachine) {
#if defined(__x86_64__)
  runnerMachine = "x86-64";
  return info.elfClass == 64 && info.machine == kMachineX8664;
#elif defined(__mips__) && defined(__MIPSEL__) && !defined(__mips64)
  runnerMachine = "MIPS32 little-endian";
  return info.elfClass == 32 && info.machine == kMachineMips;
#else
  runnerMachine = "this machine";
  (void)info;
  return false;
#endif
}

}  // namespace tapsim
