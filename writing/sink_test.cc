#include "writing/sink.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/unit/recording_fixture.h"

namespace quilltap {
namespace {

namespace fs = std::filesystem;

// Frames of the WAV file at `path`, or -1 when libsndfile cannot open it.
sf_count_t framesIn(const std::string& path) {
  SF_INFO info = {};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return -1;
  sf_close(file);
  return info.frames;
}

class SinkTest : public RecordingTest {
 protected:
  void SetUp() override {
    RecordingTest::SetUp();
    rec().sampleRate = 48000;
    rec().bitDepth = 24;
  }

  void outputs(const std::vector<std::string>& names) {
    rec().outputs.clear();
    for (const std::string& name : names) rec().outputs.push_back(Output{name, 1});
  }

  // The file names a Sink makes in a fresh folder for `names`.
  std::vector<std::string> namesFor(const std::vector<std::string>& names, bool mixing = false,
                                    const std::string& suffix = "") {
    outputs(names);
    rec().mixing = mixing;
    std::string dir = scratch + "/names" + std::to_string(++folders_);
    Error error;
    SinkRef sink = Sink::create(dir, suffix, &error);
    EXPECT_NE(sink, nullptr) << error.description;
    if (!sink) return {};
    EXPECT_EQ(sink->dir(), dir);
    std::vector<std::string> made;
    for (const std::string& path : sink->paths()) {
      EXPECT_EQ(fs::path(path).parent_path().string(), dir);
      EXPECT_TRUE(fs::is_regular_file(path)) << path;
      made.push_back(fs::path(path).filename().string());
    }
    EXPECT_EQ(sink->files().size(), names.size());
    return made;
  }

 private:
  int folders_ = 0;
};

TEST_F(SinkTest, FilesAreNumberedAndNamedAfterTheirOutputs) {
  EXPECT_EQ(namesFor({"Kick", "Vox: lead", "   "}),
            (std::vector<std::string>{"01 Kick.wav", "02 Vox_ lead.wav", "03 Track.wav"}));
  EXPECT_EQ(namesFor({"Kick", "Snare"}, false, " (part 2)"),
            (std::vector<std::string>{"01 Kick (part 2).wav", "02 Snare (part 2).wav"}));
  EXPECT_EQ(namesFor({"Main mix"}, true), (std::vector<std::string>{"Main mix.wav"}));
  EXPECT_EQ(namesFor({"Main mix"}, true, " (part 2)"), (std::vector<std::string>{"Main mix (part 2).wav"}));
}

TEST_F(SinkTest, TheHundredthOutputIsNumberedWithThreeDigits) {
  std::vector<std::string> names(100, "Ch");
  std::vector<std::string> made = namesFor(names);
  ASSERT_EQ(made.size(), 100u);
  EXPECT_EQ(made[8], "09 Ch.wav");
  EXPECT_EQ(made[98], "99 Ch.wav");
  EXPECT_EQ(made[99], "100 Ch.wav");
}

TEST_F(SinkTest, UnsafeCharactersEachBecomeOneUnderscore) {
  for (char c : std::string("/\\:*?\"<>|")) {
    EXPECT_EQ(safeFileName(std::string("a") + c + "b"), "a_b") << c;
  }
  EXPECT_EQ(safeFileName("a/\\:*?\"<>|b"), "a_________b");
  EXPECT_EQ(safeFileName("//Bass"), "__Bass");
  EXPECT_EQ(safeFileName("Gtr\tL\nR"), "Gtr_L_R");
  EXPECT_EQ(safeFileName("Zero\u200Bwidth"), "Zero_width");
  EXPECT_EQ(safeFileName("\u00A0 Keys \u00A0"), "Keys");
  EXPECT_EQ(safeFileName("\u3000Koto\u2003"), "Koto");
  EXPECT_EQ(safeFileName("\u00A0 \u00A0"), "Track");
  EXPECT_EQ(safeFileName(""), "Track");
  EXPECT_EQ(safeFileName("Für Elise ♪"), "Für Elise ♪");
}

TEST_F(SinkTest, MissingFoldersAreCreatedAndASecondRecordingReplacesTheFiles) {
  outputs({"Kick"});
  const std::string dir = scratch + "/a/b/c";
  Error error;
  SinkRef first = Sink::create(dir, "", &error);
  ASSERT_NE(first, nullptr) << error.description;
  EXPECT_TRUE(fs::is_directory(dir));
  const std::string path = dir + "/01 Kick.wav";
  PcmBuffer buffer(1, 4800);
  for (int i = 0; i < 4800; ++i) buffer.channel(0)[i] = 0.25f;
  std::string description;
  ASSERT_TRUE(first->files()[0]->write(buffer, &description)) << description;
  first->files().clear();
  ASSERT_EQ(framesIn(path), 4800);

  SinkRef second = Sink::create(dir, "", &error);
  ASSERT_NE(second, nullptr) << error.description;
  EXPECT_EQ(second->paths(), first->paths());
  EXPECT_EQ(framesIn(path), 0);
  EXPECT_LT(fs::file_size(path), 4800u);
}

TEST_F(SinkTest, AFileThatCannotBeMadeFailsTheSinkAndLeavesTheEarlierFiles) {
  outputs({"A", "B", "C", "D"});
  const std::string dir = scratch + "/out";
  ASSERT_TRUE(fs::create_directories(dir + "/03 C.wav"));
  Error error;
  EXPECT_EQ(Sink::create(dir, "", &error), nullptr);
  EXPECT_EQ(error.domain, "quilltap");
  EXPECT_EQ(error.code, 2);
  EXPECT_EQ(error.description, "Could not create " + dir + "/03 C.wav: Is a directory");
  // The files made before stay, closed, as valid empty WAV files.
  EXPECT_EQ(framesIn(dir + "/01 A.wav"), 0);
  EXPECT_EQ(framesIn(dir + "/02 B.wav"), 0);
  EXPECT_FALSE(fs::exists(dir + "/04 D.wav"));
}

TEST_F(SinkTest, AFolderPathThatIsAFileFailsNamingIt) {
  outputs({"A"});
  const std::string dir = scratch + "/plain";
  { std::ofstream(dir) << "not a folder"; }
  Error error;
  EXPECT_EQ(Sink::create(dir, "", &error), nullptr);
  EXPECT_EQ(error.description, dir + ": Not a directory");
  EXPECT_EQ(Sink::create(dir + "/below", "", &error), nullptr);
  EXPECT_EQ(error.description.rfind(dir, 0), 0u) << error.description;
  EXPECT_NE(error.description.find("Not a directory"), std::string::npos) << error.description;
}

}  // namespace
}  // namespace quilltap
