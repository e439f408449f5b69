#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "app/viewer_config.h"

namespace fs = std::filesystem;

namespace {

class ConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("mv_config_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, ec);
    fs::remove_all(dir_, ec);
  }

  void writeFile(const std::string& bytes) {
    std::ofstream(dir_ / "config.ini", std::ios::binary) << bytes;
  }
  std::string readFile() const {
    std::ifstream in(dir_ / "config.ini", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  ViewerConfig readBack(const std::string& bytes) {
    writeFile(bytes);
    ViewerConfig c;
    EXPECT_TRUE(ReadConfig(c, dir_));
    return c;
  }

  fs::path dir_;
};

const char kDefaultFile[] =
    "ModelPath = mira1.43a.dae\r\n"
    "ExtModel = .mdl\r\n"
    "ExtAnim = .ani\r\n"
    "ExtCdr = .cdr\r\n"
    "ExtDae = .dae\r\n"
    "BKColorA = 255\r\n"
    "BKColorR = 140\r\n"
    "BKColorG = 110\r\n"
    "BKColorB = 110\r\n"
    "TextColorA = 255\r\n"
    "TextColorR = 200\r\n"
    "TextColorG = 180\r\n"
    "TextColorB = 180\r\n"
    "BarColorA = 255\r\n"
    "BarColorR = 100\r\n"
    "BarColorG = 70\r\n"
    "BarColorB = 70\r\n"
    "ViewerBKColorA = 255\r\n"
    "ViewerBKColorR = 220\r\n"
    "ViewerBKColorG = 220\r\n"
    "ViewerBKColorB = 220\r\n"
    "MenuBKColorA = 255\r\n"
    "MenuBKColorR = 110\r\n"
    "MenuBKColorG = 80\r\n"
    "MenuBKColorB = 80\r\n"
    "MenuTextColorA = 255\r\n"
    "MenuTextColorR = 220\r\n"
    "MenuTextColorG = 200\r\n"
    "MenuTextColorB = 200\r\n"
    "LightPosX = 10.000000\r\n"
    "LightPosY = 10.000000\r\n"
    "LightPosZ = 10.000000\r\n"
    "RotationX = 1.100000\r\n"
    "RotationZ = -2.500000\r\n";

TEST_F(ConfigFile, DefaultsAreWrittenByteForByte) {
  ASSERT_TRUE(WriteConfig(ViewerConfig{}, dir_));
  EXPECT_EQ(readFile(), kDefaultFile);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(ConfigFile, MissingFileLeavesDefaultsAndReportsFalse) {
  ViewerConfig c;
  c.bkColorR = 1;
  EXPECT_FALSE(ReadConfig(c, dir_));
  EXPECT_EQ(c.bkColorR, 1);
}

TEST_F(ConfigFile, EmptyOrUnknownKeysLeaveEveryDefault) {
  ViewerConfig c = readBack("bkcolora = 3\nFoo = 1\n\n   \n=\n = = \nBKColorR\n");
  ASSERT_TRUE(WriteConfig(c, dir_));
  EXPECT_EQ(readFile(), kDefaultFile);
}

TEST_F(ConfigFile, TokenisingTakesTheFirstTokenAfterTheName) {
  ViewerConfig c = readBack(
      "BKColorA=5\n"
      "BKColorR 6\n"
      "   BKColorG = 7 trailing words\n"
      "BKColorB\t= 9\n"               // tab is part of the name: no key
      "ModelPath = My Models\n"       // value ends at the space
      "TextColorA =\n"                // no value: field unchanged
      "TextColorR = 007\n"
      "RotationX = 1e1\n"
      "LightPosX = abc\n");
  EXPECT_EQ(c.bkColorA, 5);
  EXPECT_EQ(c.bkColorR, 6);
  EXPECT_EQ(c.bkColorG, 7);
  EXPECT_EQ(c.bkColorB, 110);
  EXPECT_EQ(c.modelPath, u"My");
  EXPECT_EQ(c.textColorA, 255);
  EXPECT_EQ(c.textColorR, 7);
  EXPECT_EQ(c.rotationX, 10.0f);
  EXPECT_EQ(c.lightPosX, 0.0f);
}

TEST_F(ConfigFile, ValuesRoundTripNormalised) {
  ViewerConfig c = readBack("BKColorR = 300\r\nRotationX = 1e1\r\nBKColorB = 1\nBKColorB = 2\n"
                            "BarColorG = 99999999999\n");
  EXPECT_EQ(c.bkColorR, 300);
  EXPECT_EQ(c.bkColorB, 2);  // last occurrence wins
  EXPECT_EQ(c.barColorG, std::numeric_limits<int32_t>::max());
  ASSERT_TRUE(WriteConfig(c, dir_));
  std::string file = readFile();
  EXPECT_NE(file.find("BKColorR = 300\r\n"), std::string::npos);
  EXPECT_NE(file.find("RotationX = 10.000000\r\n"), std::string::npos);
  EXPECT_NE(file.find("BKColorB = 2\r\n"), std::string::npos);
  EXPECT_NE(file.find("BarColorG = 2147483647\r\n"), std::string::npos);
}

TEST_F(ConfigFile, TextValuesGoThroughCp932) {
  ViewerConfig c = readBack("ModelPath = \x83\x82\x83\x66\x83\x8B.dae\nExtAnim = \x81\n");
  EXPECT_EQ(c.modelPath, u"モデル.dae");
  EXPECT_EQ(c.extAnim, u"");  // invalid text gives an empty field
  c.extDae = u"\U0001F600";   // no CP932 form: written empty
  ASSERT_TRUE(WriteConfig(c, dir_));
  std::string file = readFile();
  EXPECT_NE(file.find("ModelPath = \x83\x82\x83\x66\x83\x8B.dae\r\n"), std::string::npos);
  EXPECT_NE(file.find("ExtDae = \r\n"), std::string::npos);
}

TEST_F(ConfigFile, OverlongLinesArriveInPiecesAndValuesAreCutToFit) {
  // A 1500-byte value: the first 1023 bytes of the line form one piece; the rest is read as a
  // line of its own and matches no key.
  std::string longValue(1500, 'x');
  ViewerConfig c = readBack("ModelPath = " + longValue + "\nBKColorA = 1\n");
  EXPECT_EQ(c.modelPath.size(), 1023u - 12u);
  EXPECT_EQ(c.bkColorA, 1);
  ASSERT_TRUE(WriteConfig(c, dir_));
  std::string file = readFile();
  std::string firstLine = file.substr(0, file.find('\n') + 1);
  EXPECT_EQ(firstLine.size(), 1023u + 1u);  // line fits the 1024-byte buffer, plus the CR on disk
  ViewerConfig again;
  ASSERT_TRUE(ReadConfig(again, dir_));
  EXPECT_EQ(again.bkColorA, 1);
}

TEST_F(ConfigFile, FailedWriteKeepsThePreviousFile) {
  EXPECT_FALSE(WriteConfig(ViewerConfig{}, dir_ / "missing"));

  // A write that fails half-way (the disk full, say): the old file stays as it was and no
  // temporary file is left. A file-size limit makes the write fail even for root.
  writeFile("BKColorR = 1\r\n");
  ViewerConfig c;
  c.bkColorR = 77;
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool written = WriteConfig(c, dir_);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(written);
  EXPECT_EQ(readFile(), "BKColorR = 1\r\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

  if (::geteuid() != 0) {  // root ignores folder permissions
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(WriteConfig(c, dir_));
    fs::permissions(dir_, fs::perms::owner_all);
    EXPECT_EQ(readFile(), "BKColorR = 1\r\n");
  }
}

}  // namespace
