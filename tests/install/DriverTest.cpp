#include <gtest/gtest.h>

#include "tests/install/SimulatedWindows.h"

namespace zelvo {
namespace {

using test::TSimulatedWindows;
constexpr char16_t kHome[] = u"C:\\App\\";

TEST(DriverPackageTest, ReleaseFolderByVersionAndProcessor) {
  struct TCase {
    TWindowsVersion FVersion;
    uint16_t FArchitecture;
    std::u16string FSource; // empty: the release has no package
  };
  const TCase FCases[] = {
      {{6, 0}, 0, u"C:\\App\\win32\\Win7Release\\sys"},
      {{6, 1}, 9, u"C:\\App\\x64\\Win7Release\\sys"},
      {{6, 2}, 9, u"C:\\App\\x64\\Win8Release\\sys"},
      {{6, 3}, 0, u"C:\\App\\win32\\Win8.1Release\\sys"},
      {{10, 0}, 9, u"C:\\App\\x64\\Win10Release\\sys"},
      {{10, 7}, 12, u"C:\\App\\win32\\Win10Release\\sys"},
      {{5, 1}, 9, u""},
      {{6, 4}, 9, u""},
      {{11, 0}, 9, u""},
  };
  for (const auto& FCase : FCases) {
    SCOPED_TRACE(std::to_string(FCase.FVersion.FMajor) + "." +
                 std::to_string(FCase.FVersion.FMinor));
    TSimulatedWindows FWindows;
    FWindows.FReported = {6, 2}; // above 6.1: the kernel32 version is the real one
    FWindows.FKernel32 = FCase.FVersion;
    if (FCase.FVersion.FMajor < 6 || (FCase.FVersion.FMajor == 6 && FCase.FVersion.FMinor < 2)) {
      FWindows.FReported = FCase.FVersion;
      FWindows.FKernel32.reset();
    }
    FWindows.FArchitecture = FCase.FArchitecture;
    if (!FCase.FSource.empty()) FWindows.AddFile(FCase.FSource + u"\\dokan.inf", "inf");
    InstallDriverPackage(FWindows, kHome);
    if (FCase.FSource.empty()) {
      EXPECT_EQ(FWindows.FMessages, std::vector<std::u16string>{kDriverInstallFailed});
      EXPECT_TRUE(FWindows.FShellCalls.empty());
      EXPECT_FALSE(FWindows.FolderExists(u"C:\\App\\Sys"));
    } else {
      EXPECT_TRUE(FWindows.FMessages.empty());
      EXPECT_EQ(FWindows.File(u"C:\\App\\Sys\\dokan.inf"), "inf");
    }
  }
}

TEST(DriverPackageTest, InstallerParametersAndWait) {
  TSimulatedWindows FWindows;
  FWindows.FReported = {10, 0};
  FWindows.FKernel32 = TWindowsVersion{10, 0};
  FWindows.AddFile(u"C:\\App\\x64\\Win10Release\\sys\\dokan1.sys", "sys");
  InstallDriverPackage(FWindows, kHome);
  ASSERT_EQ(FWindows.FShellCalls.size(), 1u);
  EXPECT_EQ(FWindows.FShellCalls[0].FVerb, u"open");
  EXPECT_EQ(FWindows.FShellCalls[0].FFile, u"rundll32.exe");
  EXPECT_EQ(FWindows.FShellCalls[0].FParameters,
            u"setupapi,InstallHinfSection DefaultInstall 132 C:\\App\\Sys\\dokan.inf");
  EXPECT_EQ(FWindows.FSleeps, std::vector<uint32_t>{3000});
  EXPECT_TRUE(FWindows.FMessages.empty());

  FWindows.FShellResult = 2;
  InstallDriverPackage(FWindows, kHome);
  EXPECT_EQ(FWindows.FMessages, std::vector<std::u16string>{kDriverInstallFailed});
}

TEST(DriverPackageTest, MissingPackageRaisesAndRunsNothing) {
  TSimulatedWindows FWindows;
  try {
    InstallDriverPackage(FWindows, kHome);
    FAIL();
  } catch (const EDirectoryError& aError) {
    EXPECT_STREQ(aError.what(), "The specified path was not found");
  }
  EXPECT_TRUE(FWindows.FShellCalls.empty());
}

TEST(FolderCopyTest, ReplacesKeepsAndSkips) {
  TSimulatedWindows FWindows;
  FWindows.AddFile(u"C:\\S\\a.sys", "new a");
  FWindows.AddFile(u"C:\\S\\.hidden", "hidden");
  FWindows.AddFile(u"C:\\S\\sub\\b.cat", "b");
  FWindows.AddFile(u"C:\\S\\locked.dll", "locked");
  FWindows.FUncopyable.insert(TSimulatedWindows::Key(u"C:\\S\\locked.dll"));
  FWindows.AddFile(u"C:\\D\\a.sys", "old a");
  FWindows.AddFile(u"C:\\D\\extra.txt", "extra");
  CopyFolderTree(FWindows, u"C:\\S", u"C:\\D\\");
  EXPECT_EQ(FWindows.File(u"C:\\D\\a.sys"), "new a");
  EXPECT_EQ(FWindows.File(u"C:\\D\\.hidden"), "hidden");
  EXPECT_EQ(FWindows.File(u"C:\\D\\sub\\b.cat"), "b");
  EXPECT_EQ(FWindows.File(u"C:\\D\\extra.txt"), "extra");
  EXPECT_EQ(FWindows.File(u"C:\\D\\locked.dll"), "<missing>");
}

TEST(FolderCopyTest, PathsItRefuses) {
  TSimulatedWindows FWindows;
  FWindows.AddFile(u"C:\\S\\a", "a");
  const std::pair<std::pair<std::u16string, std::u16string>, std::string> FCases[] = {
      {{u"C:\\missing", u"C:\\D"}, "The specified path was not found"},
      {{u"C:\\S", u"c:\\s\\"}, "The source directory is the same as the destination directory"},
      {{u"C:\\" + std::u16string(250, u'x'), u"C:\\D"}, "The specified path is too long"},
      {{u"C:\\S", u"C:\\a:b"}, "The path format is not supported"},
      {{u"  ", u"C:\\D"}, "Invalid characters in path"},
      {{u"C:\\S", u"C:\\a|b"}, "Invalid characters in path"},
      {{u"C:\\S", u"Q:\\D"}, "The drive cannot be found"},
  };
  for (const auto& [FPaths, FError] : FCases) {
    try {
      CopyFolderTree(FWindows, FPaths.first, FPaths.second);
      ADD_FAILURE() << FError;
    } catch (const EDirectoryError& aError) {
      EXPECT_EQ(aError.what(), FError);
    }
  }
}

TEST(SysDriverTest, ServiceSequencesAndCodes) {
  TSimulatedWindows FWindows;
  TSysDriver FDriver(FWindows, u"C:\\App", u"dokan1");
  EXPECT_EQ(FDriver.HomeDir, u"C:\\App\\");
  uint32_t FOutSize = 4;
  EXPECT_FALSE(FDriver.IOControl(1, nullptr, 0, nullptr, FOutSize)) << "no device yet";
  EXPECT_EQ(FWindows.FIoControls, 0);
  EXPECT_EQ(FDriver.OpenSCM(), 0u);
  EXPECT_EQ(FDriver.Install(u""), 0u);
  EXPECT_EQ(FDriver.DriverPath, u"C:\\App\\dokan1.sys");
  EXPECT_EQ(FDriver.Install(u"D:\\Drivers\\"), 1073u);
  EXPECT_EQ(FDriver.DriverPath, u"D:\\Drivers\\dokan1.sys");
  EXPECT_EQ(FWindows.FServices[u"dokan1"].FBinaryPath, u"C:\\App\\dokan1.sys") << "unchanged";
  EXPECT_EQ(FDriver.Start(), 0u);
  EXPECT_EQ(FDriver.Start(), 1056u);
  EXPECT_EQ(FDriver.Stop(), 0u);
  EXPECT_EQ(FDriver.Remove(), 1062u);
  EXPECT_FALSE(FWindows.FServices.count(u"dokan1"));
  EXPECT_EQ(FDriver.Start(), 1060u);
  EXPECT_EQ(FDriver.DeviceOpen(), 0u);
  EXPECT_TRUE(FDriver.HaveLoad);
  EXPECT_EQ(FWindows.FDevicesOpened, std::vector<std::u16string>{u"\\\\.\\dokan1"});
  EXPECT_TRUE(FDriver.IOControl(1, nullptr, 0, nullptr, FOutSize));

  TSimulatedWindows FDenied;
  FDenied.FManagerAllowed = false;
  TSysDriver FUser(FDenied, u"C:\\App\\", u"dokan1");
  EXPECT_EQ(FUser.OpenSCM(), 9998u);
  EXPECT_EQ(FUser.Install(u""), uint32_t{ERROR_INVALID_HANDLE});
}

TEST(SysDriverTest, StartDriverServiceKeepsAnExistingRegistration) {
  TSimulatedWindows FWindows;
  FWindows.FServices[u"dokan1"] = {u"C:\\Windows\\System32\\drivers\\dokan1.sys", false};
  EXPECT_TRUE(StartDriverService(FWindows, kHome));
  EXPECT_EQ(FWindows.FServices[u"dokan1"].FBinaryPath,
            u"C:\\Windows\\System32\\drivers\\dokan1.sys");
  EXPECT_TRUE(FWindows.FServices[u"dokan1"].FRunning);
}

TEST(SysDriverTest, ErrorTexts) {
  const std::pair<uint32_t, std::u16string> FCases[] = {
      {0, u"Operation was successful"},
      {1073, u"Service already exists"},
      {1062, u"Service hasn't been started"},
      {9997, u"Buffer too small"},
      {9998, u"Can't connect to Service Control Manager"},
      {12345, u"An unexpected error occured"},
  };
  for (const auto& [FCode, FText] : FCases)
    EXPECT_EQ(TSysDriver::ErrorLookup(FCode), FText) << FCode;
}

TEST(SysDriverTest, LinuxHasNoServiceManager) {
  TSysDriver FDriver(LinuxServiceControl(), u"/opt/zelvo/", u"dokan1");
  EXPECT_EQ(FDriver.OpenSCM(), 9998u);
  EXPECT_NE(FDriver.Start(), 0u);
}

} // namespace
} // namespace zelvo
