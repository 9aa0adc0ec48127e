// Putting the file system driver in place: the package of the running Windows release copied
// to HomeDir + "Sys" and its INF installation run (first start only), and the driver service
// registered and started (every start). The decisions — which folder, what is copied, what is
// reported — are plain logic over TDriverPlatform; paths here are Windows paths ("\").
// Window thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "install/SysDriver.h"

namespace zelvo {

inline constexpr char16_t kDriverInstallFailed[] = u"安装驱动时发生未知错误";

struct TWindowsVersion {
  uint32_t FMajor = 0;
  uint32_t FMinor = 0;
};

struct TFolderEntry {
  std::u16string FName;
  bool FIsFolder = false;
};

// Raised by the folder copy for a path it cannot work with.
class EDirectoryError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TDriverPlatform {
public:
  virtual ~TDriverPlatform() = default;
  // System information.
  virtual uint16_t NativeProcessorArchitecture() = 0; // 9: x64
  virtual TWindowsVersion ReportedVersion() = 0;
  virtual std::optional<TWindowsVersion> Kernel32ProductVersion() = 0;
  virtual std::optional<TWindowsVersion> WorkstationVersion() = 0;
  // The shell and the clock.
  virtual intptr_t ShellExecuteW(const std::u16string& aVerb, const std::u16string& aFile,
                                 const std::u16string& aParameters) = 0; // hidden, no folder
  virtual void Sleep(uint32_t aMilliseconds) = 0;
  virtual void ShowMessage(const std::u16string& aText) = 0;
  // The file operations of the folder copy.
  virtual bool FolderExists(const std::u16string& aPath) = 0;
  virtual bool DriveExists(const std::u16string& aPath) = 0;
  virtual bool CreateFolder(const std::u16string& aPath) = 0; // one level
  virtual std::vector<TFolderEntry> ListFolder(const std::u16string& aPath) = 0;
  virtual bool CopyFile(const std::u16string& aFrom, const std::u16string& aTo) = 0; // replaces
  virtual TServiceControl& Services() = 0;
};

inline constexpr uint16_t PROCESSOR_ARCHITECTURE_AMD64 = 9;

bool IsWindows64Bit(TDriverPlatform& aPlatform);
TWindowsVersion RealWindowsVersion(TDriverPlatform& aPlatform);
// "Win7Release\sys" and so on; empty for a release without a package.
std::u16string ReleaseFolder(TWindowsVersion aVersion);

void CopyFolderTree(TDriverPlatform& aPlatform, const std::u16string& aSource,
                    const std::u16string& aDestination);
bool RunInfInstaller(TDriverPlatform& aPlatform, const std::u16string& aInfPath);
void InstallDriverPackage(TDriverPlatform& aPlatform, const std::u16string& aHomeDir);
// Registers "dokan1" from aHomeDir + "Sys\" when needed and starts it; every result is ignored.
bool StartDriverService(TDriverPlatform& aPlatform, const std::u16string& aHomeDir);

} // namespace zelvo
