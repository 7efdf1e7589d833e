// The tapsim runner as a user meets it: run as a child process on the
// plug-in file and on scenario files, judged by its output and exit status.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/emulator.h"
#include "tests/support/sim_fixture.h"

namespace {

struct Result {
  int status = -1;  // exit status, -1 when the runner did not exit normally
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void Spit(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

// A fresh work folder of the current test in the build tree. (Not through
// system(): the simulated receiver serves that call for the plug-in.)
std::string WorkDir() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string base = TestDisks();
  mkdir(base.c_str(), 0755);
  std::string dir = base + "/tapsim-" + info->test_suite_name() + "." + info->name();
  nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  EXPECT_EQ(0, mkdir(dir.c_str(), 0755)) << dir;
  return dir;
}

Result RunTapsim(const std::vector<std::string>& args, const std::string& work) {
  Result r;
  std::string outPath = work + "/stdout.txt";
  std::string errPath = work + "/stderr.txt";
  std::string runner = BuildPath("sim/tapsim");
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(127);
    dup2(out, 1);
    dup2(err, 2);
    // In the receiver build tapsim is a MIPS program: started through the emulator.
    std::vector<std::string> emulator = EmulatorCommand();
    std::vector<char*> argv;
    for (const std::string& w : emulator) argv.push_back(const_cast<char*>(w.c_str()));
    argv.push_back(const_cast<char*>(runner.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = Slurp(outPath);
  r.err = Slurp(errPath);
  return r;
}

std::string Plugin() {
  std::string path = BuildPath("brantlow.tap");
  struct stat st;
  EXPECT_EQ(0, stat(path.c_str(), &st)) << "build the target brantlow_tap_diag first";
  return path;
}

// A hand-made plug-in file: an ELF header, the given sections and their
// name table; nothing loadable. Enough for everything the runner reads
// before it loads the plug-in.
struct Section {
  std::string name;
  std::string bytes;
  uint32_t type = 1;  // program data; 7 for notes
};

void Put(std::string& b, size_t at, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) b[at + i] = char((v >> (8 * i)) & 0xFF);
}

std::string MakeElf(bool is64, unsigned machine, const std::vector<Section>& sections) {
  const size_t ehsize = is64 ? 64 : 52;
  const size_t shentsize = is64 ? 64 : 40;
  std::string b(ehsize, '\0');
  b.replace(0, 4,
            "\x7f"
            "ELF");
  b[4] = is64 ? 2 : 1;
  b[5] = 1;  // little-endian
  b[6] = 1;
  Put(b, 16, 3, 2);  // shared object
  Put(b, 18, machine, 2);
  Put(b, 20, 1, 4);
  std::vector<size_t> offsets;
  for (const Section& s : sections) {
    offsets.push_back(b.size());
    b += s.bytes;
  }
  std::string names(1, '\0');
  std::vector<size_t> nameAt;
  for (const Section& s : sections) {
    nameAt.push_back(names.size());
    names += s.name + '\0';
  }
  size_t shstrName = names.size();
  names += std::string(".shstrtab") + '\0';
  size_t namesAt = b.size();
  b += names;
  while (b.size() % 8) b += '\0';
  size_t shoff = b.size();
  size_t count = sections.size() + 2;
  b += std::string(count * shentsize, '\0');
  auto header = [&](size_t index, size_t name, uint32_t type, size_t offset, size_t size) {
    size_t at = shoff + index * shentsize;
    Put(b, at, name, 4);
    Put(b, at + 4, type, 4);
    Put(b, at + (is64 ? 24 : 16), offset, is64 ? 8 : 4);
    Put(b, at + (is64 ? 32 : 20), size, is64 ? 8 : 4);
  };
  for (size_t i = 0; i < sections.size(); ++i)
    header(i + 1, nameAt[i], sections[i].type, offsets[i], sections[i].bytes.size());
  header(count - 1, shstrName, 3, namesAt, names.size());
  Put(b, is64 ? 0x28 : 0x20, shoff, is64 ? 8 : 4);
  Put(b, is64 ? 0x34 : 0x28, ehsize, 2);
  Put(b, is64 ? 0x3A : 0x2E, shentsize, 2);
  Put(b, is64 ? 0x3C : 0x30, count, 2);
  Put(b, is64 ? 0x3E : 0x32, count - 1, 2);
  return b;
}

std::string Padded(const std::string& text, size_t size) {
  std::string s = text;
  s.resize(size, '\0');
  return s;
}

std::vector<Section> IdBlock() {
  std::string header = Padded("TFAPMIPS", 32);
  header[8] = 16;
  return {
      {"._tap_etcinfo", Padded("Jan 02 2020", 64)},
      {"._tap_description", Padded("Test plug-in", 128)},
      {"._tap_author_name", Padded("Tester", 64)},
      {"._tap_program_name", Padded("Fixture V0.1", 64)},
      {"._tap_id", std::string("\x21\x43\x65\x87", 4)},
      {"._tap_header", header},
  };
}

constexpr unsigned kMips = 8;
constexpr unsigned kX8664 = 62;

// The machine this build of the runner runs on (the receiver build: 32-bit
// MIPS under the emulator; the host build: x86-64), and the other one.
constexpr bool kOnReceiver = sizeof(void*) == 4;
const char* const kThisMachine = kOnReceiver ? "MIPS32 little-endian" : "x86-64";
const char* const kOtherMachine = kOnReceiver ? "x86-64" : "MIPS32 little-endian";

std::string ThisMachineElf(const std::vector<Section>& sections) {
  return kOnReceiver ? MakeElf(false, kMips, sections) : MakeElf(true, kX8664, sections);
}
std::string OtherMachineElf(const std::vector<Section>& sections) {
  return kOnReceiver ? MakeElf(true, kX8664, sections) : MakeElf(false, kMips, sections);
}

// A hand-made plug-in for this machine: passes every check before loading.
std::string HostFixture(const std::string& work) {
  std::string path = work + "/fixture.tap";
  Spit(path, ThisMachineElf(IdBlock()));
  return path;
}

}  // namespace

// ---------------------------------------------------------------------------
// Identification block (--info)

TEST(TapsimInfo, ShowsTheIdentificationBlockOfThePlugin) {
  std::string work = WorkDir();
  Result r = RunTapsim({"--info", Plugin()}, work);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find("Brantlow V1.4")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("0x80480889")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Dec 19 2011")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Manages Timeshift buffer")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find(kThisMachine)) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("version 16")) << r.out;
  EXPECT_NE(
      std::string::npos,
      r.out.find("Build        diagnostic (writes every trace line), version " BRANTLOW_VERSION
                 "\n"))
      << r.out;
  size_t id = r.out.find("Build id     ");
  ASSERT_NE(std::string::npos, id) << r.out;
  EXPECT_EQ(40u, r.out.find('\n', id) - id - 13) << "a 20-byte build id in hexadecimal: " << r.out;
}

// The build note and the build id, as the file's notes give them; notes
// that are not whole are passed over, never read past their section.
TEST(TapsimInfo, ReadsTheBuildNotes) {
  std::string work = WorkDir();
  auto note = [](const std::string& owner, uint32_t type, const std::string& desc) {
    std::string n(12, '\0');
    Put(n, 0, owner.size() + 1, 4);
    Put(n, 4, desc.size(), 4);
    Put(n, 8, type, 4);
    n += owner + '\0';
    while (n.size() % 4) n += '\0';
    n += desc;
    while (n.size() % 4) n += '\0';
    return n;
  };
  std::string build = note("Brantlow", 1, Padded("2.0.1 plain", 32));
  std::string id = note("GNU", 3, std::string("\x01\xab\xff\x00", 4));
  struct Case {
    const char* what;
    std::vector<Section> notes;
    const char* shown[2];
  } cases[] = {
      {"both notes",
       {{".note.gnu.build-id", id, 7}, {".note.brantlow", build, 7}},
       {"Build        plain (writes no trace lines), version 2.0.1\n", "Build id     01abff00\n"}},
      {"none", {}, {"Build        not told", "Build id     none\n"}},
      {"not a note section", {{".note.brantlow", build, 1}}, {"Build        not told", ""}},
      {"descriptor past the section",
       {{".note.brantlow", build.substr(0, build.size() - 4), 7}},
       {"Build        not told", ""}},
      {"sizes near 4 GiB",
       {{".note.x", std::string("\xfd\xff\xff\xff\xfd\xff\xff\xff\x01\0\0\0", 12), 7}},
       {"Build id     none\n", ""}},
  };
  for (const Case& c : cases) {
    std::vector<Section> sections = IdBlock();
    sections.insert(sections.begin(), c.notes.begin(), c.notes.end());
    std::string path = work + "/notes.tap";
    Spit(path, ThisMachineElf(sections));
    Result r = RunTapsim({"--info", path}, work);
    EXPECT_EQ(0, r.status) << c.what << ": " << r.err;
    for (const char* text : c.shown)
      EXPECT_NE(std::string::npos, r.out.find(text)) << c.what << ": " << r.out;
  }
}

TEST(TapsimInfo, ReadsAFileOfTheOtherMachine) {
  std::string work = WorkDir();
  std::string path = work + "/other.tap";
  Spit(path, OtherMachineElf(IdBlock()));
  Result r = RunTapsim({"--info", path}, work);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.out.find(kOtherMachine)) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("0x87654321")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Fixture V0.1")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Jan 02 2020")) << r.out;

  // ... but does not run it on this machine.
  std::string scn = work + "/empty.scn";
  Spit(scn, "run 0:00:01\n");
  r = RunTapsim({path, scn}, work);
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find(std::string("built for ") + kOtherMachine)) << r.err;
}

TEST(TapsimInfo, RefusesFilesThatAreNoPlugin) {
  std::string work = WorkDir();
  std::string text = work + "/notes.txt";
  Spit(text, "just some text\n");
  Result r = RunTapsim({"--info", text}, work);
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find(text + ": not an ELF file")) << r.err;

  std::string missing = work + "/missing.tap";
  r = RunTapsim({"--info", missing}, work);
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find(missing + ": cannot open")) << r.err;

  // An ordinary shared object: ELF, but without the identification block.
  std::vector<Section> none;
  std::string plain = work + "/plain.so";
  Spit(plain, ThisMachineElf(none));
  r = RunTapsim({"--info", plain}, work);
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find("lacks the section ._tap_etcinfo")) << r.err;
}

TEST(TapsimInfo, NamesWhatIsWrongWithTheIdentificationBlock) {
  std::string work = WorkDir();
  struct Case {
    const char* what;
    void (*change)(std::vector<Section>&);
    const char* message;
  };
  const Case cases[] = {
      {"short id", [](std::vector<Section>& s) { s[4].bytes.resize(3); },
       "section ._tap_id has 3 bytes (expected 4)"},
      {"missing program name", [](std::vector<Section>& s) { s.erase(s.begin() + 3); },
       "lacks the section ._tap_program_name"},
      {"wrong magic", [](std::vector<Section>& s) { s[5].bytes[4] = 'X'; },
       "does not start with \"TFAPMIPS\""},
      {"wrong version", [](std::vector<Section>& s) { s[5].bytes[8] = 17; },
       "header version is 17 (expected 16)"},
      {"reserved bytes", [](std::vector<Section>& s) { s[5].bytes[31] = 1; },
       "bytes 12-31 must be zero"},
      {"twice", [](std::vector<Section>& s) { s.push_back(s[0]); }, "appears twice"},
  };
  for (const Case& c : cases) {
    std::vector<Section> sections = IdBlock();
    c.change(sections);
    std::string path = work + "/bad.tap";
    Spit(path, ThisMachineElf(sections));
    Result r = RunTapsim({"--info", path}, work);
    EXPECT_EQ(2, r.status) << c.what;
    EXPECT_NE(std::string::npos, r.err.find(path + ": ")) << c.what << ": " << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.what << ": " << r.err;
  }
}

TEST(TapsimInfo, SurvivesTruncatedAndCorruptedFiles) {
  std::string work = WorkDir();
  // A 64-bit file on either machine: the reader checks it before the machine.
  std::string whole = MakeElf(true, kX8664, IdBlock());
  std::string path = work + "/cut.tap";
  // Every cut of the file: refused cleanly (exit 2), never a crash.
  for (size_t len :
       {size_t(0), size_t(3), size_t(20), size_t(63), size_t(64), size_t(300), whole.size() - 1}) {
    Spit(path, whole.substr(0, len));
    Result r = RunTapsim({"--info", path}, work);
    EXPECT_EQ(2, r.status) << "length " << len;
    EXPECT_NE(std::string::npos, r.err.find(path)) << r.err;
  }
  // Section table offset and count pointing far outside the file.
  std::string bad = whole;
  Put(bad, 0x28, 0xFFFFFFFFFFFFFF00ull, 8);
  Spit(path, bad);
  Result r = RunTapsim({"--info", path}, work);
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find("outside the file")) << r.err;
  bad = whole;
  Put(bad, 0x3E, 0xFFF0, 2);  // name table index beyond the table
  Spit(path, bad);
  r = RunTapsim({"--info", path}, work);
  EXPECT_EQ(2, r.status);
}

// ---------------------------------------------------------------------------
// Scenario files: the whole file is read first, the first bad line named

TEST(TapsimScenario, NamesTheFirstBadLineAndRunsNothing) {
  std::string work = WorkDir();
  std::string plugin = HostFixture(work);
  struct Case {
    const char* text;
    int line;
    const char* message;
  };
  const Case cases[] = {
      {"# comment\nclock 2026-12-08 20:00:00\nfrobnicate 3\n", 3, "unknown directive 'frobnicate'"},
      {"at 0:1:00 key ok\n", 1, "bad time '0:1:00'"},
      {"at 0:00:70 key ok\n", 1, "bad time"},
      {"write /a.txt \"never ends\n", 1, "unterminated quote"},
      {"dir /DataFiles/../../etc\n", 1, "leaves the disk"},
      {"\nexpect file \"/../x\"\n", 2, "leaves the disk"},
      {"at 0:10:00 key ok\nat 0:05:00 key ok\n", 2, "is before 0:10:00 of line 1"},
      {"run 0:10:00\nat 0:09:59 request 1\n", 2, "times must not go backwards"},
      {"key ok\n", 1, "is a timed action"},
      {"at 0:00:01 key ok\nsysvar 1 2\n", 2, "after the first timed line"},
      {"write /a \"\\q\"\n", 1, "unknown escape"},
      {"slots 3\n", 1, "bad number '3'"},
      {"at 0:00:01 request\n", 1, "missing request number"},
      {"at 0:00:01 request x1\n", 1, "bad number 'x1'"},
      {"terminal 20\n", 1, "expected 0 to 19"},
      {"clock 2026-02-30 10:00:00\n", 1, "bad date"},
      {"at 0:00:01 expect log\n", 1, "missing text"},
      {"at 0:00:01 expect sky\n", 1, "unknown expectation 'sky'"},
      {"tune 1 1 extra\n", 1, "unexpected 'extra'"},
      {"at 0:00:01 record 0 start \"a/b.rec\"\n", 1, "plain file name"},
      {"power cut\n", 1, "'power cut' is a timed action"},
      {"power cut after\n", 1, "missing number of disk changes"},
      {"power cut after 3 whole\n", 1, "unexpected 'whole'"},
      {"at 0:00:01 power off\n", 1, "expected 'cut', not 'off'"},
      {"boot delay 30\n", 1, "bad time '30'"},
      {"fail frob /x\n", 1, "unknown fault 'frob'"},
      {"fail mv /x quietly\n", 1, "unexpected 'quietly'"},
      {"fail fill\n", 1, "missing the result it gives"},
      {"at 0:00:01 play /x.rec blocks\n", 1, "missing number of blocks"},
      {"at 0:00:01 play /x.rec speed 2\n", 1, "expected mode or blocks"},
      {"at 0:00:01 expect cuts\n", 1, "missing number of power cuts"},
      {"# settings and expectations only\nsysvar 1 2\nexpect running\n", 3,
       "no 'run' or 'at' line, so nothing would be played"},
      {"", 1, "no 'run' or 'at' line"},
  };
  for (const Case& c : cases) {
    std::string scn = work + "/bad.scn";
    Spit(scn, c.text);
    std::string disk = work + "/disk";
    Result r = RunTapsim({"--disk", disk, plugin, scn}, work);
    EXPECT_EQ(2, r.status) << c.text;
    std::string where = scn + ":" + std::to_string(c.line) + ": ";
    EXPECT_NE(std::string::npos, r.err.find(where)) << c.text << "\n" << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.text << "\n" << r.err;
    struct stat st;
    EXPECT_NE(0, stat(disk.c_str(), &st)) << "a bad scenario must not start the receiver";
  }
}

TEST(TapsimScenario, NeverCrashesOnOddInput) {
  std::string work = WorkDir();
  std::string plugin = HostFixture(work);
  const std::string inputs[] = {
      std::string("at 0:00:01 write /x \"a\0b\"\n", 25),
      "\"\n",
      "at\n",
      "at 99999:00:00 key ok\n",
      "at 0:00:01 key 0x\n",
      "at 0:00:01 play\n",
      "fail\n",
      "event 1 1 \"a\"\n",
      "write /x \"\\x4\"\n",
      "write /x \"tail\"junk\n",
      std::string(100000, 'a'),
      "recording /x.rec start 2026-12-08\n",
      "firmwaredat /ProgramFiles model 1 slots\n",
      "sysvar 1 99999999999999999999999\n",
  };
  for (const std::string& text : inputs) {
    std::string scn = work + "/odd.scn";
    Spit(scn, text);
    Result r = RunTapsim({"--disk", work + "/disk", plugin, scn}, work);
    EXPECT_EQ(2, r.status) << text.substr(0, 60);
    EXPECT_NE(std::string::npos, r.err.find(scn + ":1: ")) << r.err;
  }
}

// ---------------------------------------------------------------------------
// The disk folder

void MakeTree(const std::string& dir,
              const std::vector<std::pair<std::string, std::string>>& files) {
  mkdir(dir.c_str(), 0755);
  for (const auto& f : files) {
    std::string path = dir + "/" + f.first;
    for (size_t slash = path.find('/', dir.size() + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
      mkdir(path.substr(0, slash).c_str(), 0755);
    if (path.back() == '/')
      mkdir(path.c_str(), 0755);
    else
      Spit(path, f.second);
  }
}

TEST(TapsimDisk, RefusesAFolderOfOtherFilesAndLeavesItByteForByte) {
  std::string work = WorkDir();
  std::string plugin = HostFixture(work);
  std::string scn = work + "/ok.scn";
  Spit(scn, "run 0:00:01\n");
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
    const char* message;
  };
  const Case cases[] = {
      {"a copy of a receiver's disk",
       {{"DataFiles/TimeShift/Save/Film.rec", "stream"},
        {"DataFiles/TimeShift/Save/Film.rec.inf", "inf"},
        {"ProgramFiles/Settings/Brantlow/Brantlow.ini", "KeepBufferHours=1\r\n"},
        {"thesis.txt", "years of work"}},
       "holds files (DataFiles, ProgramFiles, thesis.txt) and is no disk of the simulator"},
      {"a hidden file only", {{".profile", "PATH=/bin"}}, "holds files (.profile)"},
      {"a folder where the marker file belongs",
       {{".tapsim-disk/", ""}, {"a", "b"}},
       "holds files (.tapsim-disk, a)"},
  };
  for (const Case& c : cases) {
    std::string precious = work + "/precious";
    MakeTree(precious, c.files);
    const std::string before = Snapshot(precious);
    Result r = RunTapsim({"--disk", precious, plugin, scn}, work);
    EXPECT_EQ(2, r.status) << c.what;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.what << "\n" << r.err;
    EXPECT_NE(std::string::npos, r.err.find("it is left as it is")) << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("start ")) << "nothing may run: " << r.out;
    EXPECT_EQ(before, Snapshot(precious)) << c.what;
    // Named through a link, the folder is refused all the same.
    std::string link = work + "/link";
    ASSERT_EQ(0, symlink(precious.c_str(), link.c_str()));
    r = RunTapsim({"--disk", link, plugin, scn}, work);
    EXPECT_EQ(2, r.status) << c.what;
    EXPECT_EQ(before, Snapshot(precious)) << c.what;
    unlink(link.c_str());
    nftw(precious.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  // A file is no folder; the root is never emptied.
  Spit(work + "/file", "x");
  Result r = RunTapsim({"--disk", work + "/file", plugin, scn}, work);
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find("is not a folder")) << r.err;
  EXPECT_EQ("x", Slurp(work + "/file"));
  r = RunTapsim({"--disk", "/", plugin, scn}, work);
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find("the whole file system")) << r.err;

  // An empty folder becomes a disk of the simulator, which the next run
  // empties again (nothing that the plug-in left survives it).
  std::string disk = work + "/disk";
  ASSERT_EQ(0, mkdir(disk.c_str(), 0755));
  r = RunTapsim({"--disk", disk, Plugin(), scn}, work);
  EXPECT_EQ(0, r.status) << r.err;
  Spit(disk + "/DataFiles/left-over.rec", "x");
  r = RunTapsim({"--disk", disk, Plugin(), scn}, work);
  EXPECT_EQ(0, r.status) << r.err;
  struct stat st;
  EXPECT_NE(0, lstat((disk + "/DataFiles/left-over.rec").c_str(), &st));
  EXPECT_EQ(0, lstat((disk + "/.tapsim-disk").c_str(), &st));
}

TEST(TapsimDisk, DiskFromPlaysOverACopyOfTheOwnersRecordings) {
  std::string work = WorkDir();
  // The owner's copy of the receiver's disk: saved sets, a settings file, a
  // file of their own and a link (made here with the runner's help, then
  // stripped of its marker as a real copy would be).
  std::string owner = work + "/owner";
  std::string setup = work + "/setup.scn";
  Spit(setup,
       "dir /DataFiles/TimeShift/Save\n"
       "recording \"/DataFiles/TimeShift/Save/Old Film.rec\" start 2026-12-06 18:00:00\n"
       "recording \"/DataFiles/TimeShift/Save/Morning Show.rec\" start 2026-12-08 09:00:00\n"
       "write /ProgramFiles/Settings/Brantlow/Brantlow.ini \"KeepBufferHours=36\\r\\n\"\n"
       "write /DataFiles/notes.txt \"mine\"\n"
       "run 0:00:00\n");
  Result r = RunTapsim({"--disk", owner, Plugin(), setup}, work);
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(0, unlink((owner + "/.tapsim-disk").c_str()));
  std::string elsewhere = work + "/elsewhere";
  ASSERT_EQ(0, mkdir(elsewhere.c_str(), 0755));
  ASSERT_EQ(0, symlink(elsewhere.c_str(), (owner + "/DataFiles/TimeShift/Save/Link").c_str()));
  const std::string before = Snapshot(owner);

  std::string scn = work + "/evening.scn";
  Spit(scn,
       "clock 2026-12-08 19:55:00\n"
       "channel 1 1 \"One\"\n"
       "event 1 1 \"News\" \"The evening news\"\n"
       "tune 1 1\n"
       "expect file \"/DataFiles/TimeShift/Save/Old Film.rec\"\n"
       "expect nofile /DataFiles/TimeShift/Save/Link\n"
       "at 0:01:00 timeshift start \"TS.rec\"\n"
       "at 0:21:00 timeshift stop\n"
       "run 0:22:00\n"
       "expect file \"/DataFiles/TimeShift/Save/News~The evening news.rec\"\n"
       "expect nofile \"/DataFiles/TimeShift/Save/Old Film.rec\"\n"
       "expect file \"/DataFiles/TimeShift/Save/Morning Show.rec\"\n"
       "expect file /DataFiles/notes.txt\n");
  // Onto a temporary disk (-k keeps it to look at) and onto a named one.
  r = RunTapsim({"--disk-from", owner, "-k", Plugin(), scn}, work);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  // Two sets, the settings, the notes and the log of the setup run.
  EXPECT_NE(std::string::npos, r.out.find("disk     copied 9 files from " + owner +
                                          " (left out 1 link or special file)"))
      << r.out;
  size_t at = r.out.find("Disk         /tmp/tapsim-");
  ASSERT_NE(std::string::npos, at) << r.out;
  std::string temp = r.out.substr(at + 13, r.out.find(' ', at + 13) - at - 13);
  EXPECT_EQ("mine", Slurp(temp + "/DataFiles/notes.txt"));
  nftw(temp.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  r = RunTapsim({"--disk-from=" + owner, "--disk=" + work + "/disk", Plugin(), scn}, work);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(before, Snapshot(owner)) << "the owner's copy is only read";

  // A folder that is no disk, and a disk folder inside the copy, are refused.
  r = RunTapsim({"--disk-from", work + "/elsewhere", Plugin(), scn}, work);
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find("holds neither DataFiles nor ProgramFiles")) << r.err;
  r = RunTapsim({"--disk-from", owner, "--disk", owner + "/DataFiles/Sim", Plugin(), scn}, work);
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find("overlap")) << r.err;
  EXPECT_EQ(before, Snapshot(owner));
}

TEST(TapsimDisk, TheTemporaryDiskIsNamedAndRemovedUnlessKept) {
  std::string work = WorkDir();
  std::string scn = work + "/ok.scn";
  Spit(scn, "write /DataFiles/x.txt \"x\"\nrun 0:00:01\nexpect file /DataFiles/x.txt\n");
  for (bool keep : {false, true}) {
    std::vector<std::string> args = {"--quiet", Plugin(), scn};
    if (keep) args.insert(args.begin(), "--keep-disk");
    Result r = RunTapsim(args, work);
    EXPECT_EQ(0, r.status) << r.err;
    const std::string lead = "Disk /tmp/tapsim-";
    ASSERT_EQ(0u, r.out.find(lead)) << "the first line names the disk: " << r.out;
    std::string temp = r.out.substr(5, r.out.find(' ', 5) - 5);
    EXPECT_NE(std::string::npos,
              r.out.find(keep ? "(kept after the run)" : "(removed after the run)"))
        << r.out;
    struct stat st;
    EXPECT_EQ(keep ? 0 : -1, lstat((temp + "/DataFiles/x.txt").c_str(), &st)) << temp;
    EXPECT_EQ(keep ? 0 : -1, lstat(temp.c_str(), &st)) << temp;
    nftw(temp.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
}

// ---------------------------------------------------------------------------
// The command line

TEST(TapsimCommandLine, TakesGnuStyleOptions) {
  std::string work = WorkDir();
  std::string scn = work + "/ok.scn";
  Spit(scn, "run 0:00:01\nexpect running\n");
  std::string dashed = work + "/-dashed.scn";
  Spit(dashed, "run 0:00:01\n");
  const std::string disk = work + "/disk";
  const std::string plugin = Plugin();
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;  // found in stdout ("" : not checked)
    std::string err;  // found in stderr
  };
  const Case cases[] = {
      {{"--version"}, 0, "tapsim (Brantlow) " BRANTLOW_VERSION "\n", ""},
      {{"-V"}, 0, "tapsim (Brantlow) " BRANTLOW_VERSION, ""},
      {{"--help"}, 0, "docs/scenarios.md", ""},
      {{"-h"}, 0, "-d, --disk=DIR", ""},
      {{"--disk=" + disk, plugin, scn}, 0, "Disk         " + disk + "\n", ""},
      {{"-d", disk, "--quiet", plugin, scn}, 0, "1 passed, 0 failed", ""},
      {{"-qd" + disk, plugin, scn}, 0, "1 passed, 0 failed", ""},
      {{"--disk", disk, "-q", "--", plugin, dashed}, 0, "0 passed, 0 failed", ""},
      {{"--disk", disk, plugin, "--", scn}, 0, "", ""},
      {{"-i", plugin}, 0, "Brantlow V1.4", ""},
      {{"--frobnicate", plugin, scn}, 2, "", "unknown option --frobnicate"},
      {{"-x", plugin, scn}, 2, "", "unknown option -x"},
      {{plugin, scn, "-d"}, 2, "", "-d needs a folder"},
      {{"--disk=", plugin, scn}, 2, "", "--disk needs a folder"},
      {{"--screens"}, 2, "", "--screens needs a folder"},
      {{"-r"}, 2, "", "-r needs a file"},
      {{"--report=", plugin, scn}, 2, "", "--report needs a file"},
      {{"--junit"}, 2, "", "--junit needs a file"},
      {{"--junit=", plugin, scn}, 2, "", "--junit needs a file"},
      {{"--quiet=yes", plugin, scn}, 2, "", "--quiet takes no value"},
      {{"-d", disk, plugin, scn, scn}, 2, "", "too many files"},
      {{"--power-cut", "0", plugin, scn}, 2, "", "--power-cut takes a number of disk changes"},
      {{"--power-cut=x", plugin, scn}, 2, "", "not 'x'"},
      {{"--power-cut"}, 2, "", "--power-cut needs a number"},
      {{"--half", plugin, scn}, 2, "", "--half needs --power-cut"},
      {{"-q", "--power-cut", "4294967295", "--half", plugin, scn}, 0, "plug-in disk changes: ", ""},
      {{plugin}, 2, "", "expected a plug-in file and a scenario file"},
  };
  for (const Case& c : cases) {
    Result r = RunTapsim(c.args, work);
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    EXPECT_EQ(c.status, r.status) << shown << "\n" << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find(c.out)) << shown << "\n" << r.out;
    EXPECT_NE(std::string::npos, r.err.find(c.err)) << shown << "\n" << r.err;
  }
}

// ---------------------------------------------------------------------------
// Runs of the plug-in

TEST(TapsimRun, RequestOneEndsThePlugin) {
  std::string work = WorkDir();
  std::string scn = work + "/exit.scn";
  Spit(scn,
       "run 0:00:05\n"
       "expect running          # before the request of the same time\n"
       "at 0:00:05 request 1\n"
       "expect exited\n"
       "at 0:00:06 key ok\n"
       "run 0:01:00\n"
       "expect exited\n");
  Result r = RunTapsim({"--disk", work + "/disk", Plugin(), scn}, work);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("Brantlow V1.4")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("TAP_Main -> 1")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find(" 0:00:05.00  event    request 1 -> 1")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("key ok (0x1001E) not sent")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find(scn + ":2")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("3 passed, 0 failed")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("/DataFiles/TimeShift/Save")) << r.out;
}

TEST(TapsimRun, AFailedExpectationGivesExitStatusOne) {
  std::string work = WorkDir();
  std::string scn = work + "/fail.scn";
  Spit(scn,
       "at 0:00:10 request 2\n"
       "expect exited\n"
       "expect file /ProgramFiles\n"
       "expect nofile /DataFiles/NotThere.rec\n");
  Result r = RunTapsim({"--quiet", "--disk", work + "/disk", Plugin(), scn}, work);
  EXPECT_EQ(1, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find(scn + ":2")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("FAIL")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("PASS")) << "quiet prints only failures: " << r.out;
  EXPECT_NE(std::string::npos, r.out.find("2 passed, 1 failed")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("TAP_Main")) << "quiet: " << r.out;
}

TEST(TapsimRun, FailedExpectationsSayWhatWasThereInstead) {
  std::string work = WorkDir();
  std::string scn = work + "/fail.scn";
  Spit(scn,
       "clock 2026-12-08 19:55:00\n"
       "sysvar 17 0\n"
       "terminal 0\n"
       "dir /DataFiles/TimeShift/Save\n"
       "recording \"/DataFiles/TimeShift/Save/Morning Show.rec\" start 2026-12-08 09:00:00\n"
       "run 0:00:01\n"
       "expect file /DataFiles/TimeShift/Save/Evening.rec\n"
       "expect nofile \"/DataFiles/TimeShift/Save/Morning Show.rec\"\n"
       "expect file /DataFiles/Nowhere/x.rec\n"
       "expect log \"Timeshift switched off\"\n"
       "expect nolog \"switched on\"\n"
       "expect console \"storage switched of\"\n"
       "expect screen \"Timeshift switched off\"\n"
       "expect noscreen\n"
       "expect exited\n");
  Result r = RunTapsim({"--quiet", "--disk", work + "/disk", Plugin(), scn}, work);
  EXPECT_EQ(1, r.status) << r.out << r.err;
  const char* const details[] = {
      "FAIL\n      /DataFiles/TimeShift/Save holds 3 entries:\n"
      "        Morning Show.rec 4096 2026-12-08 09:00\n",
      "FAIL\n      it is there; /DataFiles/TimeShift/Save holds 3 entries:",
      "FAIL\n      /DataFiles/Nowhere is missing; /DataFiles holds 1 entry:\n        TimeShift 0",
      "FAIL\n      no line holds \"Timeshift switched off\"; the closest of the",
      "lines written to .log files:\n        2026-12-08 19:55:00 Timeshift and Timeshift "
      "storage switched on\n",
      "FAIL\n      1 line written to .log files holds \"switched on\":",
      "FAIL\n      no line holds \"storage switched of\"; the closest of the",
      "lines written to the terminals:\n",
      "Brantlow: Timeshift and Timeshift storage switched on\n",
      "FAIL\n      the texts visible:\n        \"Brantlow\"\n        \"Timeshift switched on\"\n",
      "FAIL\n      the plug-in is still running",
      "0 passed, 9 failed",
  };
  for (const char* d : details) EXPECT_NE(std::string::npos, r.out.find(d)) << d << "\n" << r.out;
}

TEST(TapsimRun, SetsUpTheDiskAndFailsOnImpossibleSetup) {
  std::string work = WorkDir();
  std::string scn = work + "/disk.scn";
  Spit(scn,
       "dir \"/DataFiles/TimeShift/Save\"\n"
       "recording /DataFiles/TimeShift/Save/Old.rec start 2026-12-06 18:00:00\n"
       "write /ProgramFiles/note.txt \"a\\tb\\r\\n\"\n"
       "nodir /DataFiles/TimeShift/Save/../Save/Gone\n"
       "expect file /DataFiles/TimeShift/Save/Old.rec\n"
       "expect file /DataFiles/TimeShift/Save/Old.rec.inf\n"
       "expect file /ProgramFiles/note.txt\n"
       "at 0:00:01 request 1\n");
  std::string disk = work + "/disk";
  Result r = RunTapsim({"--disk", disk, Plugin(), scn}, work);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ("a\tb\r\n", Slurp(disk + "/ProgramFiles/note.txt"));
  EXPECT_NE(std::string::npos, r.out.find("Old.rec")) << r.out;

  Spit(scn, "dir /Some/Folder\nwrite /Some/Folder \"a folder is in the way\"\nrun 0:00:01\n");
  r = RunTapsim({"--disk", disk, Plugin(), scn}, work);
  EXPECT_EQ(2, r.status);
  EXPECT_NE(std::string::npos, r.err.find(scn + ":2: cannot write /Some/Folder")) << r.err;
}

// ---------------------------------------------------------------------------
// Power cuts: the receiver goes dark, starts again over the same disk after
// the boot delay, and the plug-in starts afresh.

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// "plug-in disk changes: K" of a report.
unsigned DiskChanges(const std::string& out) {
  size_t at = out.find("plug-in disk changes: ");
  return at == std::string::npos ? 0 : unsigned(std::stoul(out.substr(at + 22)));
}

}  // namespace

TEST(TapsimPower, CutBetweenPassesAndTheStartAfterIt) {
  std::string work = WorkDir();
  std::string scn = work + "/cut.scn";
  // A cut at a time between the passes: the first buffer is saved before
  // it, the second recorded after the start; the buffer that records at the
  // cut stays in the timeshift folder and is saved by the start-up pass.
  Spit(scn,
       "clock 2026-12-08 19:55:00\n"
       "sysvar 17 1\n"
       "sysvar 18 1\n"
       "channel 1 1 \"One\"\n"
       "event 1 1 \"News\" \"The evening news\"\n"
       "tune 1 1\n"
       "write /ProgramFiles/Settings/Brantlow/Brantlow.ini \"KeepBufferHours=48\\r\\n\"\n"
       "boot delay 0:02:00\n"
       "at 0:01:00 timeshift start \"TS.rec\"\n"
       "at 0:11:00 timeshift stop\n"
       "at 0:12:00 timeshift start \"TS2.rec\"\n"
       "at 0:15:00 power cut\n"
       "at 0:15:00 expect cuts 1\n"
       "at 0:15:00 expect restarts 0\n"
       "at 0:16:00 key ok\n"
       "at 0:16:00 timeshift stop\n"
       "at 0:16:00 expect file /DataFiles/TimeShift/TS2.rec\n"
       "at 0:16:00 expect running\n"
       "at 0:17:00 expect running\n"
       "at 0:17:00 expect restarts 1\n"
       "run 0:18:00\n"
       "expect file \"/DataFiles/TimeShift/Save/News~The evening news.rec\"\n"
       "expect nofile /DataFiles/TimeShift/TS2.rec\n"
       "expect file /DataFiles/TimeShift/Save/TS2.rec.nav\n"
       "expect cuts 1\n");
  std::string disk = work + "/disk";
  Result r = RunTapsim({"--disk", disk, Plugin(), scn}, work);
  EXPECT_EQ(1, r.status) << r.out << r.err;
  // Only the expectation of a running plug-in in the dark fails.
  EXPECT_NE(std::string::npos, r.out.find("0:16:00.00  expect   expect running  FAIL")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("the receiver has no power")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("9 passed, 1 failed")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find(" 0:15:00.00  power    cut after plug-in disk change "))
      << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find(" 0:17:00.00  power    on again after 0:02:00 dark: the receiver starts "
                       "over the same disk\n 0:17:00.00  start    __TAP_Init_ -> 0\n"))
      << r.out;
  EXPECT_NE(std::string::npos, r.out.find("key ok (0x1001E) not sent: the receiver has no power"))
      << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find("timeshift stop not carried out: the receiver has no power"))
      << r.out;
  EXPECT_EQ(2u, Count(r.out, "start    TAP_Main -> 1")) << r.out;
  // The log shows both starts, each with its start-up pass.
  std::string log = Slurp(disk + "/ProgramFiles/Settings/Brantlow/Brantlow.log");
  EXPECT_EQ(2u, Count(log, "Checking TS folder on startup")) << log;
  EXPECT_GT(DiskChanges(r.out), 0u) << r.out;
}

// A sweep: a run counts its changes; a cut after the last one happens, one
// after that does not; half way through a write leaves a line cut short.
TEST(TapsimPower, PowerCutOptionCountsFromPowerOn) {
  std::string work = WorkDir();
  std::string scn = work + "/short.scn";
  Spit(scn,
       "write /ProgramFiles/Settings/Brantlow/Brantlow.ini \"KeepBufferHours=48\\r\\n\"\n"
       "boot delay 0:00:05\nrun 0:00:20\nexpect running\n");
  const std::string disk = work + "/disk";
  Result r = RunTapsim({"-q", "--disk", disk, Plugin(), scn}, work);
  ASSERT_EQ(0, r.status) << r.out << r.err;
  const unsigned k = DiskChanges(r.out);
  ASSERT_GT(k, 2u) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("plug-in disk changes: ")) << "also when quiet";
  // The first change is the log's creation, the second its first write.
  struct Case {
    std::vector<std::string> options;
    const char* cut;  // in the time line ("" none)
  } cases[] = {
      {{"--power-cut", std::to_string(k)}, "cut after plug-in disk change "},
      {{"--power-cut", std::to_string(k + 1)}, ""},
      {{"--power-cut=2", "--half"}, "cut after plug-in disk change 2 (TAP_Hdd_Fwrite "},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.options;
    for (const std::string& a : {std::string("--disk"), disk, Plugin(), scn}) args.push_back(a);
    r = RunTapsim(args, work);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ(*c.cut ? 1u : 0u, Count(r.out, "  power    cut after")) << r.out;
    if (*c.cut) {
      EXPECT_NE(std::string::npos, r.out.find(c.cut)) << r.out;
    }
    EXPECT_EQ(*c.cut ? 2u : 1u, Count(r.out, "start    TAP_Main")) << r.out;
  }
  // The half write left a piece of the first line's stamp, never the whole
  // of it, and the plug-in of the next start wrote on after it.
  std::string log = Slurp(disk + "/ProgramFiles/Settings/Brantlow/Brantlow.log");
  EXPECT_EQ(0u, log.find("2026-")) << log;
  EXPECT_EQ(std::string::npos, log.find("2026-12-08 20:00:00 ")) << log;
  EXPECT_NE(std::string::npos, log.find("2026-12-08 20:00:05 ")) << log;
  EXPECT_EQ(1u, Count(log, "Checking TS folder on startup")) << log;
}
