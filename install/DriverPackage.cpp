#include "install/DriverPackage.h"

#include <algorithm>
#include <memory>

#include "platform/Locale.h"

namespace zelvo {
namespace {

constexpr size_t kMaxPath = 248;
constexpr char16_t kDeviceName[] = u"dokan1";

bool Blank(const std::u16string& aPath) {
  return std::all_of(aPath.begin(), aPath.end(), [](char16_t aChar) { return aChar == u' '; });
}

// The checks a path passes before the copy touches anything.
void CheckPath(const std::u16string& aPath) {
  if (Blank(aPath) || aPath.find_first_of(u"<>|\"") != std::u16string::npos ||
      std::any_of(aPath.begin(), aPath.end(), [](char16_t aChar) { return aChar < 32; }))
    throw EDirectoryError("Invalid characters in path");
  if (aPath.size() >= kMaxPath) throw EDirectoryError("The specified path is too long");
  const auto FColon = aPath.find(u':');
  if (FColon != std::u16string::npos &&
      (FColon != 1 || aPath.find(u':', 2) != std::u16string::npos))
    throw EDirectoryError("The path format is not supported");
}

std::u16string WithoutSlash(std::u16string aPath) {
  while (aPath.size() > 1 && aPath.back() == u'\\')
    aPath.pop_back();
  return aPath;
}

void CreateFolders(TDriverPlatform& aPlatform, const std::u16string& aPath) {
  if (aPlatform.FolderExists(aPath)) return;
  const auto FSlash = aPath.rfind(u'\\');
  if (FSlash != std::u16string::npos && FSlash > 2)
    CreateFolders(aPlatform, aPath.substr(0, FSlash));
  aPlatform.CreateFolder(aPath);
}

void CopyEntries(TDriverPlatform& aPlatform, const std::u16string& aSource,
                 const std::u16string& aDestination) {
  for (const auto& FEntry : aPlatform.ListFolder(aSource)) {
    if (FEntry.FName == u"." || FEntry.FName == u"..") continue;
    const std::u16string FFrom = aSource + u"\\" + FEntry.FName;
    const std::u16string FTo = aDestination + u"\\" + FEntry.FName;
    if (FEntry.FIsFolder) {
      if (!aPlatform.FolderExists(FTo)) aPlatform.CreateFolder(FTo);
      CopyEntries(aPlatform, FFrom, FTo);
    } else {
      aPlatform.CopyFile(FFrom, FTo); // a file that cannot be copied is skipped
    }
  }
}

} // namespace

bool IsWindows64Bit(TDriverPlatform& aPlatform) {
  const TWindowsVersion FVersion = aPlatform.ReportedVersion();
  if (FVersion.FMajor < 5 || (FVersion.FMajor == 5 && FVersion.FMinor < 1)) return false;
  return aPlatform.NativeProcessorArchitecture() == PROCESSOR_ARCHITECTURE_AMD64;
}

TWindowsVersion RealWindowsVersion(TDriverPlatform& aPlatform) {
  const TWindowsVersion FReported = aPlatform.ReportedVersion();
  if (FReported.FMajor < 6 || (FReported.FMajor == 6 && FReported.FMinor <= 1)) return FReported;
  if (const auto FKernel = aPlatform.Kernel32ProductVersion()) return *FKernel;
  if (const auto FWorkstation = aPlatform.WorkstationVersion()) return *FWorkstation;
  return FReported;
}

std::u16string ReleaseFolder(TWindowsVersion aVersion) {
  if (aVersion.FMajor == 10) return u"Win10Release\\sys";
  if (aVersion.FMajor != 6) return {};
  switch (aVersion.FMinor) {
  case 0:
  case 1:
    return u"Win7Release\\sys";
  case 2:
    return u"Win8Release\\sys";
  case 3:
    return u"Win8.1Release\\sys";
  default:
    return {};
  }
}

void CopyFolderTree(TDriverPlatform& aPlatform, const std::u16string& aSource,
                    const std::u16string& aDestination) {
  CheckPath(aSource);
  CheckPath(aDestination);
  const std::u16string FSource = WithoutSlash(aSource);
  const std::u16string FDestination = WithoutSlash(aDestination);
  if (!aPlatform.FolderExists(FSource)) throw EDirectoryError("The specified path was not found");
  if (LowerCaseLocale(FSource) == LowerCaseLocale(FDestination))
    throw EDirectoryError("The source directory is the same as the destination directory");
  if (!aPlatform.DriveExists(FDestination)) throw EDirectoryError("The drive cannot be found");
  CreateFolders(aPlatform, FDestination);
  CopyEntries(aPlatform, FSource, FDestination);
}

bool RunInfInstaller(TDriverPlatform& aPlatform, const std::u16string& aInfPath) {
  const intptr_t FResult = aPlatform.ShellExecuteW(
      u"open", u"rundll32.exe", u"setupapi,InstallHinfSection DefaultInstall 132 " + aInfPath);
  aPlatform.Sleep(3000);
  return FResult > 32;
}

void InstallDriverPackage(TDriverPlatform& aPlatform, const std::u16string& aHomeDir) {
  const std::u16string FProcessor = IsWindows64Bit(aPlatform) ? u"x64\\" : u"win32\\";
  const std::u16string FRelease = ReleaseFolder(RealWindowsVersion(aPlatform));
  if (FRelease.empty()) {
    aPlatform.ShowMessage(kDriverInstallFailed);
    return;
  }
  CopyFolderTree(aPlatform, aHomeDir + FProcessor + FRelease, aHomeDir + u"Sys");
  if (!RunInfInstaller(aPlatform, aHomeDir + u"Sys\\dokan.inf"))
    aPlatform.ShowMessage(kDriverInstallFailed);
}

bool StartDriverService(TDriverPlatform& aPlatform, const std::u16string& aHomeDir) {
  // One object for the life of the process, its manager handle left open.
  static std::unique_ptr<TSysDriver> DriverControl;
  if (!DriverControl)
    DriverControl = std::make_unique<TSysDriver>(aPlatform.Services(), aHomeDir, kDeviceName);
  DriverControl->OpenSCM();
  DriverControl->Install(DriverControl->HomeDir + u"Sys\\");
  DriverControl->Start();
  return true;
}

} // namespace zelvo
