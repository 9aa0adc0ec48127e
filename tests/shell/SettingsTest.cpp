#include <filesystem>
#include <gtest/gtest.h>

#include "common/Globals.h"
#include "common/TextCodec.h"
#include "shell/Settings.h"
#include "tests/support/TempDir.h"

namespace zelvo {
namespace {

class SettingsTest : public ::testing::Test {
protected:
  void SetUp() override {
    HomeDir = FDir.Text();
    LocalCacheDir.clear(); // beside the settings, as run from a build
    SetupHooks() = {};
  }
  void TearDown() override { SetupHooks() = {}; }
  test::TTempDir FDir;
};

struct TLoadCase {
  std::string FContent;
  std::u16string FHost;
  int32_t FPort;
  int32_t FTimeOut;
  bool FFirstRun;
};

TEST_F(SettingsTest, LoadsValuesWithTheirDefaults) {
  const TLoadCase FCases[] = {
      {"", u"127.0.0.1", 8783, 12000, true},
      {"[Setup]\nServerPort=0x2250\nSysInited=1\n", u"127.0.0.1", 8784, 12000, false},
      {"[Setup]\nServerPort=0X2250\nSysInited=2\n", u"127.0.0.1", 8784, 12000, false},
      {"[Setup]\nServerPort=abc\nClientTimeOut=\nSysInited=yes\n", u"127.0.0.1", 8783, 12000, true},
      {"[Setup]\nServerHost=\nSysInited=0\n", u"", 8783, 12000, true},
      {"[Setup]\nServerHost = ' a|b '\nClientTimeOut=-1\n", u" a|b ", 8783, -1, true},
      {"[Setup]\nServerPort=99999999999\nClientTimeOut=0x\n", u"127.0.0.1", 8783, 12000, true},
      {"[Setup]\nServerPort=+80\nClientTimeOut=0xFFFFFFFF\n", u"127.0.0.1", 80, -1, true},
      {"[Setup]\nServerPort=80x\nClientTimeOut=0x1G\n", u"127.0.0.1", 8783, 12000, true},
      {"[Setup]\nServerHost=" + std::string(3000, 'h') + "\n", std::u16string(2047, u'h'), 8783,
       12000, true},
  };
  for (const auto& FCase : FCases) {
    SCOPED_TRACE(FCase.FContent);
    FDir.WriteFile("setup.ini", FCase.FContent);
    bool FFirstRun = false;
    SetupHooks().FirstRunSetup = [&](TIniFile&) { FFirstRun = true; };
    LoadSetup();
    EXPECT_EQ(ServerHost, FCase.FHost);
    EXPECT_EQ(ServerPort, FCase.FPort);
    EXPECT_EQ(ClientTimeOut, FCase.FTimeOut);
    EXPECT_EQ(FFirstRun, FCase.FFirstRun);
  }
}

TEST_F(SettingsTest, FirstRunThenDriverStartThenCacheFolder) {
  std::vector<std::string> FSteps;
  SetupHooks().FirstRunSetup = [&](TIniFile& aIni) {
    FSteps.push_back("first-run");
    aIni.WriteBool(kSetupSection, u"SysInited", true);
    aIni.WriteString(kSetupSection, u"ServerHost", u"10.0.0.5|10.0.0.6");
    ServerHost = u"10.0.0.5|10.0.0.6";
  };
  SetupHooks().StartDriverService = [&] {
    FSteps.push_back(std::filesystem::exists(FDir.Path() / "Cache") ? "driver, cache" : "driver");
  };
  LoadSetup();
  EXPECT_EQ(FSteps, (std::vector<std::string>{"first-run", "driver"}));
  EXPECT_EQ(CacheDir, FDir.Text() + u"Cache/");
  EXPECT_TRUE(std::filesystem::is_directory(FDir.Path() / "Cache"));
  EXPECT_EQ(FDir.ReadFile("setup.ini"), "[Setup]\nSysInited=1\nServerHost=10.0.0.5|10.0.0.6\n");

  FSteps.clear();
  LoadSetup();
  EXPECT_EQ(FSteps, std::vector<std::string>{"driver, cache"});
  EXPECT_EQ(ServerHost, u"10.0.0.5|10.0.0.6");
}

TEST_F(SettingsTest, FailedWriteRaisesAndSkipsTheRestOfTheLoad) {
  FDir.WriteFile("plain", "x");
  HomeDir = FDir.Text() + u"plain/";
  CacheDir.clear();
  bool FDriverStarted = false;
  SetupHooks().FirstRunSetup = [](TIniFile& aIni) {
    aIni.WriteBool(kSetupSection, u"SysInited", true);
  };
  SetupHooks().StartDriverService = [&] { FDriverStarted = true; };
  try {
    LoadSetup();
    FAIL() << "no error";
  } catch (const EIniFileException& aError) {
    EXPECT_EQ(std::string(aError.what()),
              "Unable to write to " + FDir.Path().string() + "/plain/setup.ini");
  }
  EXPECT_FALSE(FDriverStarted);
  EXPECT_TRUE(CacheDir.empty());
}

} // namespace
} // namespace zelvo
