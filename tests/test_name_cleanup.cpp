// Clean-up of programme and service names.
#include <gtest/gtest.h>

#include <string>

#include "app/name_cleanup.h"

namespace {

template <void (*Fn)(char*)>
std::string Apply(std::string text) {
  Fn(&text[0]);
  return text.c_str();
}

}  // namespace

TEST(KillCtrChar, RemovesControlBytesKeeps0x8A) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  std::string kept = Apply<KillCtrChar>(all);
  std::string expected;
  for (int c = 1; c < 256; ++c)
    if ((c >= 0x20 && c <= 0x7E) || c == 0x8A || c >= 0xA0) expected += static_cast<char>(c);
  EXPECT_EQ(expected, kept);
  EXPECT_EQ(
      "News\x8A"
      "Day",
      Apply<KillCtrChar>("\x86Ne\x87ws\x8A\tDay\x1F"));
  EXPECT_EQ("", Apply<KillCtrChar>(""));
  EXPECT_EQ("", Apply<KillCtrChar>("\x01\x7F\x9F"));
}

TEST(KillNonWindowsChar, RemovesTheNineReservedCharacters) {
  EXPECT_EQ("ACDC Live", Apply<KillNonWindowsChar>("AC/DC: Live?"));
  EXPECT_EQ("", Apply<KillNonWindowsChar>("\"*/:<>?\\|"));
  EXPECT_EQ("a\x80\xFF\x01.", Apply<KillNonWindowsChar>("a\x80\xFF\x01."));
}

TEST(strlwr, LowersOnlyAsciiLetters) {
  EXPECT_EQ("news.rec", Apply<strlwr>("NEWS.REC"));
  EXPECT_EQ("\xC4@[", Apply<strlwr>("\xC4@["));
  EXPECT_EQ("az`{", Apply<strlwr>("AZ`{"));
}

TEST(trim, RemovesTrailingBlanksButNeverTheFirstCharacter) {
  EXPECT_EQ("abc", Apply<trim>("abc   "));
  EXPECT_EQ(" ", Apply<trim>("   "));
  EXPECT_EQ(" ", Apply<trim>(" "));
  EXPECT_EQ("", Apply<trim>(""));
  EXPECT_EQ("a b\t", Apply<trim>("a b\t"));
  EXPECT_EQ(" a", Apply<trim>(" a  "));
}
