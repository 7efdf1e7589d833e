// The commented sample settings file of the user guide reads as documented.
#include <fstream>
#include <sstream>

#include "app/settings.h"
#include "tests/support/sim_fixture.h"

namespace {

class SampleIniTest : public SimTest {
 protected:
  std::string Sample() {
    std::ifstream in(SourcePath("docs/Brantlow.ini"), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

TEST_F(SampleIniTest, SampleGivesTheDocumentedValues) {
  std::string sample = Sample();
  ASSERT_FALSE(sample.empty());
  WriteText("/ProgramFiles/Settings/Brantlow/Brantlow.ini", sample);
  KeepBufferHours = 1;
  RenameMode = 0;
  LoadIni();
  EXPECT_EQ(36u, KeepBufferHours);
  EXPECT_EQ(2u, RenameMode);
}

TEST_F(SampleIniTest, EditedSampleWithWindowsLineEndsReadsTheEditedValues) {
  std::string sample = Sample();
  sample.replace(sample.find("KeepBufferHours=36"), 18, "KeepBufferHours=48");
  sample.replace(sample.find("RenameMode=2"), 12, "RenameMode=1");
  std::string crlf;
  for (char c : sample) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  WriteText("/ProgramFiles/Settings/Brantlow/Brantlow.ini", crlf);
  LoadIni();
  EXPECT_EQ(48u, KeepBufferHours);
  EXPECT_EQ(1u, RenameMode);
}

TEST_F(SampleIniTest, SwitchedOffLinesGiveTheDefaults) {
  std::string sample = Sample();
  sample.replace(sample.find("KeepBufferHours=36"), 18, ";KeepBufferHours=5");
  sample.replace(sample.find("RenameMode=2"), 12, "#RenameMode=0");
  WriteText("/ProgramFiles/Settings/Brantlow/Brantlow.ini", sample);
  LoadIni();
  EXPECT_EQ(36u, KeepBufferHours);
  EXPECT_EQ(1u, RenameMode) << "a file without the key gives its default 1";
}

}  // namespace
