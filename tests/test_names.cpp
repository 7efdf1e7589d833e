// File name helpers: name parts, unique names against the simulated disk,
// character classes, UTF-8, comparisons and the bounded copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "lib/dir_stack.h"
#include "lib/names.h"
#include "tests/support/sim_fixture.h"

namespace {

struct Parts {
  char base[128];
  char extension[128];
  int number = -1;
  int isRecording = -1;
  int isDeleted = -1;
};

Parts Split(const char* name) {
  Parts p;
  memset(p.base, 'x', sizeof p.base);
  memset(p.extension, 'x', sizeof p.extension);
  SeparateFileNameComponents(name, p.base, p.extension, &p.number, &p.isRecording, &p.isDeleted);
  return p;
}

void ExpectParts(const char* name, const char* base, const char* extension, int number,
                 int isRecording, int isDeleted) {
  SCOPED_TRACE(name);
  Parts p = Split(name);
  EXPECT_STREQ(base, p.base);
  EXPECT_STREQ(extension, p.extension);
  EXPECT_EQ(number, p.number);
  EXPECT_EQ(isRecording, p.isRecording);
  EXPECT_EQ(isDeleted, p.isDeleted);
}

}  // namespace

TEST(SeparateFileNameComponents, SplitsSuffixesExtensionAndNumber) {
  ExpectParts("Film-2.rec.inf", "Film", ".rec", 2, 1, 0);
  ExpectParts("Film.rec.nav.del", "Film", ".rec", 0, 1, 1);
  ExpectParts("Film-3.mpg.del", "Film", ".mpg", 3, 1, 1);
  ExpectParts("Film.mpg.nav", "Film", ".mpg", 0, 1, 0);
  ExpectParts("Film.ts", "Film", ".ts", 0, 0, 0);
  ExpectParts("Film.REC", "Film", ".REC", 0, 0, 0);
  ExpectParts("A.b.rec", "A.b", ".rec", 0, 1, 0);
}

TEST(SeparateFileNameComponents, KeepsNumbersThatAreNotSingleDigits) {
  ExpectParts("Film-10.rec", "Film-10", ".rec", 0, 1, 0);
  ExpectParts("Film-0.mpg", "Film-0", ".mpg", 0, 1, 0);
  ExpectParts("ab-5", "ab", "", 5, 0, 0);
  ExpectParts("-5.rec", "-5", ".rec", 0, 1, 0);
  ExpectParts("NoDot", "NoDot", "", 0, 0, 0);
  ExpectParts("", "", "", 0, 0, 0);
}

TEST(SeparateFileNameComponents, RefusesNamesLongerThan127) {
  std::string fits = std::string(123, 'a') + ".rec";  // 127 characters
  ExpectParts(fits.c_str(), std::string(123, 'a').c_str(), ".rec", 0, 1, 0);
  std::string tooLong = std::string(124, 'a') + ".rec";  // 128 characters
  ExpectParts(tooLong.c_str(), "", "", 0, 0, 0);
  std::string huge = std::string(5000, 'b') + "-2.rec.inf.del";
  ExpectParts(huge.c_str(), "", "", 0, 0, 0);
}

class MakeUniqueFileNameTest : public SimTest {
 protected:
  void Put(const char* name) {
    std::string path = std::string("/ProgramFiles/") + name;
    ASSERT_EQ(1, sim_write_file(path.c_str(), "x", 1));
  }
  std::string Unique(const char* name) {
    char buffer[128];
    StrCopyBounded(buffer, sizeof buffer, name);
    MakeUniqueFileName(buffer);
    return buffer;
  }
};

// MakeUniqueName asks the test it is given about each candidate in turn: the
// plain name first, then the name with "-N" before the extension from the
// name's own number (or 2) up; the first candidate the test lets through is
// the result.
namespace {
std::set<std::string> gTaken;
std::string gAsked;
int Taken(const char* candidate) {
  gAsked += std::string(candidate) + " ";
  return gTaken.count(candidate) != 0;
}
}  // namespace

TEST(MakeUniqueName, FirstCandidateTheTestLetsThrough) {
  std::vector<std::string> many = {"Many.rec"};
  for (int n = 2; n <= 12; ++n) many.push_back("Many-" + std::to_string(n) + ".rec");
  std::string manyAsked;
  for (const std::string& m : many) manyAsked += m + " ";
  const std::string tooLong(128, 'L');  // no room for its terminator in 128 bytes
  struct {
    const char* name;
    std::set<std::string> taken;
    const char* unique;
    std::string asked;
  } const table[] = {
      {"Film.rec", {}, "Film.rec", "Film.rec "},
      {"Film.rec", {"Film.rec"}, "Film-2.rec", "Film.rec Film-2.rec "},
      {"Film.rec", {"Film.rec", "Film-2.rec"}, "Film-3.rec", "Film.rec Film-2.rec Film-3.rec "},
      {"Film.rec", {"Film-2.rec"}, "Film.rec", "Film.rec "},
      {"Film-5.rec", {}, "Film.rec", "Film.rec "},  // the plain name first
      {"Film-5.rec", {"Film.rec"}, "Film-5.rec", "Film.rec Film-5.rec "},
      {"Film-5.rec", {"Film.rec", "Film-5.rec"}, "Film-6.rec", "Film.rec Film-5.rec Film-6.rec "},
      {"B.rec.inf", {}, "B.rec", "B.rec "},  // a companion asks for the stream's name
      {"B.rec.inf", {"B.rec"}, "B-2.rec", "B.rec B-2.rec "},
      {"Film.rec.del", {"Film.rec.del"}, "Film-2.rec.del", "Film.rec.del Film-2.rec.del "},
      {"Film-10.rec", {"Film-10.rec"}, "Film-10-2.rec", "Film-10.rec Film-10-2.rec "},
      {"News", {"News"}, "News-2", "News News-2 "},
      {"Many.rec", {many.begin(), many.end()}, "Many-13.rec", manyAsked + "Many-13.rec "},
      // A name too long for the 128 bytes is no name: nothing is asked, so an
      // empty text that counts as taken never makes it "-2".
      {tooLong.c_str(), {""}, "", ""},
  };
  for (const auto& row : table) {
    gTaken = row.taken;
    gAsked.clear();
    std::string name = row.name;
    name.resize(std::max<size_t>(name.size(), 128));  // the 128 bytes MakeUniqueName may fill
    MakeUniqueName(&name[0], Taken);
    EXPECT_STREQ(row.unique, name.c_str()) << row.name;
    EXPECT_EQ(row.asked, gAsked) << row.name;
  }
}

TEST_F(MakeUniqueFileNameTest, WorksInTheFolderThatIsCurrent) {
  ASSERT_EQ(1, sim_write_file("/DataFiles/Film.rec", "x", 1));
  EXPECT_EQ("Film.rec", Unique("Film.rec"));
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  EXPECT_EQ("Film-2.rec", Unique("Film.rec"));
}

TEST_F(MakeUniqueFileNameTest, RefusesCandidatesThatDoNotFit) {
  std::string name = std::string(123, 'a') + ".rec";  // 127 characters
  EXPECT_EQ(name, Unique(name.c_str()));
  Put(name.c_str());
  // "-2" would make 129 characters: refused rather than cut to another name.
  EXPECT_EQ("", Unique(name.c_str()));

  std::string tooLong = std::string(200, 'c') + ".rec";
  std::string buffer = tooLong;
  MakeUniqueFileName(&buffer[0]);
  EXPECT_STREQ("", buffer.c_str());
}

TEST(isLegalChar, ClassesRejectTheirCharacters) {
  // Control class: 0x00-0x1F but 0x0A, 0x7F-0x9F but 0x80, 0x8A, 0x91, 0x92.
  for (int c = 0; c < 256; ++c) {
    bool control = (c < 0x20 && c != 0x0A) ||
                   (c >= 0x7F && c <= 0x9F && c != 0x80 && c != 0x8A && c != 0x91 && c != 0x92);
    EXPECT_EQ(control ? 0 : 1, isLegalChar(static_cast<byte>(c), LegalNoControl)) << c;
    bool ascii = c >= 0x20 && c <= 0x7E;
    EXPECT_EQ(ascii ? 1 : 0, isLegalChar(static_cast<byte>(c), LegalAsciiOnly)) << c;
  }
  EXPECT_EQ(0, isLegalChar(0x0A, LegalNoLineBreak));
  EXPECT_EQ(0, isLegalChar(0x8A, LegalNoLineBreak));
  EXPECT_EQ(1, isLegalChar(0x0D, LegalNoLineBreak));
  int reserved = 0;
  for (int c = 0; c < 256; ++c)
    reserved += isLegalChar(static_cast<byte>(c), LegalNoReserved) ? 0 : 1;
  EXPECT_EQ(9, reserved);
  EXPECT_EQ(1, isLegalChar(0x01, 0x10));  // bits above the four mean nothing
}

TEST(MakeValidFileName, RemovesWhatTheFlagsReject) {
  char a[] =
      "A\x86\tB\n\x8A"
      "C";
  MakeValidFileName(a, 1);
  EXPECT_STREQ(
      "AB\n\x8A"
      "C",
      a);
  char b[] =
      "A\x86\tB\n\x8A"
      "C";
  MakeValidFileName(b, 3);
  EXPECT_STREQ("ABC", b);
  char c[] = "a:b?c";
  MakeValidFileName(c, 4);
  EXPECT_STREQ("abc", c);
  char d[] = "Caf\xE9 \x7F\xFFx";
  MakeValidFileName(d, 8);
  EXPECT_STREQ("Caf x", d);
  char e[] = "\x01\x02";
  MakeValidFileName(e, 1);
  EXPECT_STREQ("", e);
}

TEST(Utf8, ConvertsEveryByteFrom0x80) {
  EXPECT_EQ(0, CharToUTF8(nullptr));
  EXPECT_EQ('A', CharToUTF8("A"));
  EXPECT_EQ(0xC3A9, CharToUTF8("\xE9"));
  EXPECT_EQ(0xC280, CharToUTF8("\x80"));
  EXPECT_EQ(0xC3BF, CharToUTF8("\xFF"));

  char out[16];
  StrToUTF8("F\xFCr", out);
  EXPECT_STREQ("F\xC3\xBCr", out);
  StrToUTF8("plain", out);
  EXPECT_STREQ("plain", out);
  memset(out, 'x', sizeof out);
  StrToUTF8("", out);
  EXPECT_STREQ("", out);
  StrToUTF8(nullptr, out);  // does nothing
  EXPECT_STREQ("", out);
  StrToUTF8("a", nullptr);

  EXPECT_EQ(4u, UTF8Length("F\xFCr"));
  EXPECT_EQ(3u, UTF8Length("\x7F\x80"));  // 0x80 is the first byte that takes two
  EXPECT_EQ(0u, UTF8Length(""));
  EXPECT_EQ(0u, UTF8Length(nullptr));
}

TEST(Comparisons, StringEndsWith) {
  EXPECT_EQ(1, StringEndsWith("Film.rec", ".rec"));
  EXPECT_EQ(1, StringEndsWith("Film.rec", ""));
  EXPECT_EQ(1, StringEndsWith("", ""));
  EXPECT_EQ(0, StringEndsWith("A.REC", ".rec"));
  EXPECT_EQ(0, StringEndsWith("rec", ".rec"));  // suffix longer than the text
  EXPECT_EQ(1, StringEndsWith(".rec", ".rec"));
}

TEST(Comparisons, stricstr) {
  const char* text = "Hello World";
  EXPECT_EQ(text + 6, stricstr(text, "WORLD"));
  EXPECT_EQ(text + 10, stricstr(text, "D"));
  EXPECT_EQ(text, stricstr(text, "hello w"));
  EXPECT_EQ(nullptr, stricstr(text, ""));
  EXPECT_EQ(nullptr, stricstr(text, "Worlds"));
  EXPECT_EQ(nullptr, stricstr("Gr\xE4"
                              "fin",
                              "GR\xC4"));  // no case folding of umlauts
  const char* repeated = "aaab";
  EXPECT_EQ(repeated + 2, stricstr(repeated, "AB"));
}

TEST(StrCopyBounded, CopiesOrCutsAndAlwaysTerminates) {
  char small[5];
  EXPECT_EQ(1, StrCopyBounded(small, sizeof small, "abcd"));
  EXPECT_STREQ("abcd", small);
  EXPECT_EQ(0, StrCopyBounded(small, sizeof small, "abcde"));
  EXPECT_STREQ("abcd", small);
  EXPECT_EQ(1, StrCopyBounded(small, sizeof small, nullptr));
  EXPECT_STREQ("", small);
  EXPECT_EQ(0, StrCopyBounded(small, 0, "a"));
}
