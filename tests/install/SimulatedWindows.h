// A simulated Windows for the driver installation: versions and processors to choose, a folder
// tree in memory (names compare without regard to case), a service database that answers as
// the service control manager does, and a shell that records what it was asked to run.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "install/DriverPackage.h"
#include "platform/LastError.h"
#include "platform/Locale.h"
#include "platform/WinError.h"

namespace zelvo::test {

class TSimulatedWindows final : public TDriverPlatform, public TServiceControl {
public:
  struct TService {
    std::u16string FBinaryPath;
    bool FRunning = false;
  };
  struct TShellCall {
    std::u16string FVerb, FFile, FParameters;
  };

  uint16_t FArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
  TWindowsVersion FReported{6, 2};
  std::optional<TWindowsVersion> FKernel32;
  std::optional<TWindowsVersion> FWorkstation;
  intptr_t FShellResult = 42;
  std::vector<TShellCall> FShellCalls;
  std::vector<uint32_t> FSleeps;
  std::vector<std::u16string> FMessages;
  std::map<std::u16string, std::string> FFiles; // lower-cased path -> content
  std::set<std::u16string> FFolders{u"c:"};     // lower-cased paths
  std::set<std::u16string> FUncopyable;
  bool FManagerAllowed = true;
  std::map<std::u16string, TService> FServices;

  static std::u16string Key(const std::u16string& aPath) { return LowerCaseLocale(aPath); }
  void AddFile(const std::u16string& aPath, const std::string& aContent) {
    FFiles[Key(aPath)] = aContent;
    for (auto FSlash = aPath.rfind(u'\\'); FSlash != std::u16string::npos && FSlash > 2;
         FSlash = aPath.rfind(u'\\', FSlash - 1))
      FFolders.insert(Key(aPath.substr(0, FSlash)));
  }
  std::string File(const std::u16string& aPath) const {
    const auto FFound = FFiles.find(Key(aPath));
    return FFound == FFiles.end() ? "<missing>" : FFound->second;
  }

  uint16_t NativeProcessorArchitecture() override { return FArchitecture; }
  TWindowsVersion ReportedVersion() override { return FReported; }
  std::optional<TWindowsVersion> Kernel32ProductVersion() override { return FKernel32; }
  std::optional<TWindowsVersion> WorkstationVersion() override { return FWorkstation; }
  intptr_t ShellExecuteW(const std::u16string& aVerb, const std::u16string& aFile,
                         const std::u16string& aParameters) override {
    FShellCalls.push_back({aVerb, aFile, aParameters});
    return FShellResult;
  }
  void Sleep(uint32_t aMilliseconds) override { FSleeps.push_back(aMilliseconds); }
  void ShowMessage(const std::u16string& aText) override { FMessages.push_back(aText); }
  bool FolderExists(const std::u16string& aPath) override { return FFolders.count(Key(aPath)) > 0; }
  bool DriveExists(const std::u16string& aPath) override {
    return FFolders.count(Key(aPath.substr(0, 2))) > 0;
  }
  bool CreateFolder(const std::u16string& aPath) override {
    FFolders.insert(Key(aPath));
    return true;
  }
  std::vector<TFolderEntry> ListFolder(const std::u16string& aPath) override {
    std::vector<TFolderEntry> FEntries;
    const std::u16string FPrefix = Key(aPath) + u"\\";
    const auto FChild = [&](const std::u16string& aKey) {
      return aKey.starts_with(FPrefix) && aKey.find(u'\\', FPrefix.size()) == std::u16string::npos;
    };
    for (const auto& FFolder : FFolders)
      if (FChild(FFolder)) FEntries.push_back({FFolder.substr(FPrefix.size()), true});
    for (const auto& [FFile, FContent] : FFiles)
      if (FChild(FFile)) FEntries.push_back({FFile.substr(FPrefix.size()), false});
    return FEntries;
  }
  bool CopyFile(const std::u16string& aFrom, const std::u16string& aTo) override {
    if (FUncopyable.count(Key(aFrom)) || !FFiles.count(Key(aFrom))) return false;
    FFiles[Key(aTo)] = FFiles[Key(aFrom)];
    return true;
  }
  TServiceControl& Services() override { return *this; }

  SC_HANDLE OpenSCManagerW(uint32_t) override {
    if (FManagerAllowed) return 1;
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  bool CloseServiceHandle(SC_HANDLE aHandle) override { return aHandle != 0; }
  SC_HANDLE CreateServiceW(SC_HANDLE aManager, const std::u16string& aName, const std::u16string&,
                           uint32_t, uint32_t, uint32_t, uint32_t,
                           const std::u16string& aBinaryPath) override {
    if (aManager == 0) return Fail(ERROR_INVALID_HANDLE);
    if (FServices.count(aName)) return Fail(1073);
    FServices[aName] = {aBinaryPath, false};
    return 2;
  }
  SC_HANDLE OpenServiceW(SC_HANDLE aManager, const std::u16string& aName, uint32_t) override {
    if (aManager == 0) return Fail(ERROR_INVALID_HANDLE);
    if (!FServices.count(aName)) return Fail(1060);
    FOpened = aName;
    return 3;
  }
  bool StartServiceW(SC_HANDLE) override {
    if (FServices[FOpened].FRunning) return Fail(1056);
    FServices[FOpened].FRunning = true;
    return true;
  }
  bool ControlService(SC_HANDLE, uint32_t) override {
    if (!FServices[FOpened].FRunning) return Fail(1062);
    FServices[FOpened].FRunning = false;
    return true;
  }
  bool DeleteService(SC_HANDLE) override {
    FServices.erase(FOpened);
    return true;
  }
  HANDLE CreateDeviceW(const std::u16string& aPath) override {
    FDevicesOpened.push_back(aPath);
    return 7;
  }
  bool CloseHandle(HANDLE) override { return true; }
  bool DeviceIoControl(HANDLE, uint32_t, void*, uint32_t, void*, uint32_t, uint32_t*) override {
    ++FIoControls;
    return true;
  }
  std::vector<std::u16string> FDevicesOpened;
  int FIoControls = 0;

private:
  static uintptr_t Fail(uint32_t aError) {
    SetLastError(aError);
    return 0;
  }
  std::u16string FOpened;
};

} // namespace zelvo::test
