#include "writing/sink.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/unit/read_back.h"

namespace quilltap {
namespace {

namespace fs = std::filesystem;

class SinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quilltap-sink-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch = pattern;
    options.sampleRate = 48000;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(scratch, ignored);
  }
  Status make(const std::string& dir, const std::vector<std::string>& names, bool mixing = false,
              const std::string& suffix = "") {
    options.mixing = mixing;
    options.outputs.clear();
    for (const std::string& name : names) options.outputs.push_back(Output{name, 1});
    sink.reset();
    return Sink::create(drive, options, dir, suffix, &sink);
  }
  // The file names a Sink makes in a fresh folder for `names`.
  std::vector<std::string> namesFor(const std::vector<std::string>& names, bool mixing = false,
                                    const std::string& suffix = "") {
    EXPECT_TRUE(make(scratch + "/names" + std::to_string(++folders), names, mixing, suffix).ok());
    std::vector<std::string> made;
    for (const std::string& path : sink->paths())
      made.push_back(fs::path(path).filename().string());
    return made;
  }

  std::string scratch;
  Options options;
  PosixFileSystem drive;
  SinkRef sink;
  int folders = 0;
};

TEST_F(SinkTest, FilesAreNumberedAndNamedAfterTheirOutputs) {
  EXPECT_EQ(namesFor({"Kick", "Vox: lead", "   "}),
            (std::vector<std::string>{"01 Kick.wav", "02 Vox_ lead.wav", "03 Track.wav"}));
  EXPECT_EQ(namesFor({"Kick"}, false, " (part 2)"),
            (std::vector<std::string>{"01 Kick (part 2).wav"}));
  EXPECT_EQ(namesFor({"Main mix"}, true, " (part 2)"),
            (std::vector<std::string>{"Main mix (part 2).wav"}));
  std::vector<std::string> hundred = namesFor(std::vector<std::string>(100, "Ch"));
  EXPECT_EQ(hundred[98], "99 Ch.wav");
  EXPECT_EQ(hundred[99], "100 Ch.wav");
}

TEST_F(SinkTest, UnsafeCharactersEachBecomeOneUnderscore) {
  EXPECT_EQ(safeFileName("a/\\:*?\"<>|b"), "a_________b");
  EXPECT_EQ(safeFileName("//Bass"), "__Bass");
  EXPECT_EQ(safeFileName("Gtr\tL\nR"), "Gtr_L_R");
  EXPECT_EQ(safeFileName("Zero\u200Bwidth"), "Zero_width");
  EXPECT_EQ(safeFileName("\u3000Koto\u2003"), "Koto");
  EXPECT_EQ(safeFileName("\u00A0 \u00A0"), "Track");
  EXPECT_EQ(safeFileName("Für Elise ♪"), "Für Elise ♪");
}

TEST_F(SinkTest, FailuresNameTheFolderOrFileAndLeaveTheEarlierFiles) {
  const std::string dir = scratch + "/a/b";
  ASSERT_TRUE(fs::create_directories(dir + "/03 C.wav"));
  EXPECT_EQ(make(dir, {"A", "B", "C", "D"}).message(),
            "Could not create " + dir + "/03 C.wav: Is a directory");
  EXPECT_EQ(readFloat(dir + "/01 A.wav").info.frames, 0);  // closed, as valid empty WAV files
  EXPECT_FALSE(fs::exists(dir + "/04 D.wav"));
  { std::ofstream(scratch + "/plain") << "not a folder"; }
  EXPECT_EQ(make(scratch + "/plain", {"A"}).message(), scratch + "/plain: Not a directory");
}

}  // namespace
}  // namespace quilltap
