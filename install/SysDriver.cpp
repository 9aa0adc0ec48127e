#include "install/SysDriver.h"

#include <utility>

#include "platform/LastError.h"
#include "platform/WinError.h"

namespace zelvo {
namespace {

class TLinuxServiceControl final : public TServiceControl {
public:
  SC_HANDLE OpenSCManagerW(uint32_t) override { return Fail(ERROR_ACCESS_DENIED); }
  bool CloseServiceHandle(SC_HANDLE) override { return Fail(ERROR_INVALID_HANDLE); }
  SC_HANDLE CreateServiceW(SC_HANDLE, const std::u16string&, const std::u16string&, uint32_t,
                           uint32_t, uint32_t, uint32_t, const std::u16string&) override {
    return Fail(ERROR_INVALID_HANDLE);
  }
  SC_HANDLE OpenServiceW(SC_HANDLE, const std::u16string&, uint32_t) override {
    return Fail(ERROR_INVALID_HANDLE);
  }
  bool StartServiceW(SC_HANDLE) override { return Fail(ERROR_INVALID_HANDLE); }
  bool ControlService(SC_HANDLE, uint32_t) override { return Fail(ERROR_INVALID_HANDLE); }
  bool DeleteService(SC_HANDLE) override { return Fail(ERROR_INVALID_HANDLE); }
  HANDLE CreateDeviceW(const std::u16string&) override {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return kInvalidHandle;
  }
  bool CloseHandle(HANDLE) override { return Fail(ERROR_INVALID_HANDLE); }
  bool DeviceIoControl(HANDLE, uint32_t, void*, uint32_t, void*, uint32_t, uint32_t*) override {
    return Fail(ERROR_INVALID_HANDLE);
  }

private:
  static uintptr_t Fail(uint32_t aError) {
    SetLastError(aError);
    return 0;
  }
};

struct TErrorText {
  uint32_t FCode;
  const char16_t* FText;
};

constexpr TErrorText kErrorTexts[] = {
    {0, u"Operation was successful"},
    {1, u"Invalid Function"},
    {5, u"Access denied"},
    {1059, u"Circular dependency"},
    {1065, u"Database doesn't exist"},
    {1051, u"Dependent services running"},
    {52, u"Display name already exists"},
    {6, u"Invalid handle"},
    {123, u"Invalid service name"},
    {87, u"Invalid Parameter"},
    {1057, u"User account doesn't exist"},
    {1052, u"Invalid service control code"},
    {3, u"Path not found"},
    {1056, u"Service already running"},
    {1061, u"Service can't accept control"},
    {1055, u"The database is locked"},
    {1075, u"Depends on nonexistant service"},
    {1068, u"Depends on service that failed"},
    {1058, u"Service has been disabled"},
    {1060, u"Service doesn't exist"},
    {1073, u"Service already exists"},
    {1069, u"Service couldn't be logged on"},
    {1072, u"Service marked for deletion"},
    {1054, u"Couldn't create thread"},
    {1062, u"Service hasn't been started"},
    {1053, u"Service timed out"},
    {9997, u"Buffer too small"},
    {9997, u"No device handle"}, // never produced: the row above matches first
    {9998, u"Can't connect to Service Control Manager"},
    {9999, u"An unexpected error occured"},
};

} // namespace

TServiceControl& LinuxServiceControl() {
  static TLinuxServiceControl FControl;
  return FControl;
}

TSysDriver::TSysDriver(TServiceControl& aSystem, const std::u16string& aHomeDir,
                       const std::u16string& DeviceName)
    : HomeDir(aHomeDir), DriverName(DeviceName), DEVICE_NAME_STRING(DeviceName), FSystem(aSystem) {
  if (HomeDir.empty() || HomeDir.back() != u'\\') HomeDir += u'\\';
}

uint32_t TSysDriver::OpenSCM() {
  hSCMan = FSystem.OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
  return hSCMan == 0 ? kCannotOpenManager : 0;
}

uint32_t TSysDriver::CloseSCM() {
  FSystem.CloseServiceHandle(hSCMan);
  hSCMan = 0;
  return 0;
}

uint32_t TSysDriver::Install(const std::u16string& newdriverpath) {
  if (newdriverpath.empty()) {
    DriverDir = HomeDir;
    DriverName = DEVICE_NAME_STRING;
  } else {
    DriverDir = newdriverpath.substr(0, newdriverpath.find_last_of(u"\\:") + 1);
  }
  DriverPath = DriverDir + DriverName + u".sys";
  const SC_HANDLE FService = FSystem.CreateServiceW(
      hSCMan, DriverName, DriverName, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
      SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, DriverPath);
  if (FService == 0) return GetLastError();
  FSystem.CloseServiceHandle(FService);
  return 0;
}

template <typename TAction>
uint32_t TSysDriver::WithService(TAction aAction) {
  const SC_HANDLE FService = FSystem.OpenServiceW(hSCMan, DriverName, SERVICE_ALL_ACCESS);
  if (FService == 0) return GetLastError();
  const uint32_t FResult = aAction(FService) ? 0 : GetLastError();
  FSystem.CloseServiceHandle(FService);
  return FResult;
}

uint32_t TSysDriver::Start() {
  return WithService([&](SC_HANDLE aService) { return FSystem.StartServiceW(aService); });
}

uint32_t TSysDriver::Stop() {
  return WithService(
      [&](SC_HANDLE aService) { return FSystem.ControlService(aService, SERVICE_CONTROL_STOP); });
}

uint32_t TSysDriver::Remove() {
  const uint32_t FStopped = Stop();
  const uint32_t FRemoved =
      WithService([&](SC_HANDLE aService) { return FSystem.DeleteService(aService); });
  return FRemoved != 0 ? FRemoved : FStopped;
}

uint32_t TSysDriver::DeviceOpen() {
  if (hDevice != kInvalidHandle) DeviceClose();
  hDevice = FSystem.CreateDeviceW(u"\\\\.\\" + DEVICE_NAME_STRING);
  if (hDevice == kInvalidHandle) return GetLastError();
  HaveLoad = true;
  return 0;
}

uint32_t TSysDriver::DeviceClose() {
  if (hDevice != kInvalidHandle) FSystem.CloseHandle(hDevice);
  hDevice = kInvalidHandle;
  return 0;
}

bool TSysDriver::IOControl(uint32_t Cmd, void* inBuf, uint32_t inSize, void* outbuf,
                           uint32_t& outSize) {
  if (hDevice == kInvalidHandle) return false;
  uint32_t FReturned = 0;
  return FSystem.DeviceIoControl(hDevice, Cmd, inBuf, inSize, outbuf, outSize, &FReturned);
}

std::u16string TSysDriver::ErrorLookup(uint32_t ErrorNum) {
  for (const auto& FRow : kErrorTexts)
    if (FRow.FCode == ErrorNum) return FRow.FText;
  return std::end(kErrorTexts)[-1].FText;
}

} // namespace zelvo
