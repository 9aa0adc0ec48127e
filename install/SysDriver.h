// Driver installation: TSysDriver controls a kernel driver's service through the service control
// manager, and the package installation puts the driver in place (DriverPackage.h).
//
// Everything reaches the system through TServiceControl (services and devices); on Linux the
// kernel's FUSE needs no service, and LinuxServiceControl answers as a system without a service
// manager would. Operations return 0 or a Windows error code (9998: the manager could not be
// opened); none raises or shows anything. One object belongs to one thread (the window thread).
#pragma once

#include <cstdint>
#include <string>

namespace zelvo {

using SC_HANDLE = uintptr_t;
using HANDLE = uintptr_t;
inline constexpr HANDLE kInvalidHandle = ~HANDLE{0};

inline constexpr uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr uint32_t SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr uint32_t SERVICE_KERNEL_DRIVER = 1;
inline constexpr uint32_t SERVICE_DEMAND_START = 3;
inline constexpr uint32_t SERVICE_ERROR_NORMAL = 1;
inline constexpr uint32_t SERVICE_CONTROL_STOP = 1;

// The service control manager and device calls. Failures return 0 (or kInvalidHandle, false)
// and leave their code in the last-error slot.
class TServiceControl {
public:
  virtual ~TServiceControl() = default;
  virtual SC_HANDLE OpenSCManagerW(uint32_t aDesiredAccess) = 0;
  virtual bool CloseServiceHandle(SC_HANDLE aHandle) = 0;
  virtual SC_HANDLE CreateServiceW(SC_HANDLE aManager, const std::u16string& aServiceName,
                                   const std::u16string& aDisplayName, uint32_t aDesiredAccess,
                                   uint32_t aServiceType, uint32_t aStartType,
                                   uint32_t aErrorControl, const std::u16string& aBinaryPath) = 0;
  virtual SC_HANDLE OpenServiceW(SC_HANDLE aManager, const std::u16string& aServiceName,
                                 uint32_t aDesiredAccess) = 0;
  virtual bool StartServiceW(SC_HANDLE aService) = 0;
  virtual bool ControlService(SC_HANDLE aService, uint32_t aControl) = 0;
  virtual bool DeleteService(SC_HANDLE aService) = 0;
  virtual HANDLE CreateDeviceW(const std::u16string& aDevicePath) = 0; // read/write, exclusive
  virtual bool CloseHandle(HANDLE aHandle) = 0;
  virtual bool DeviceIoControl(HANDLE aDevice, uint32_t aCode, void* aIn, uint32_t aInSize,
                               void* aOut, uint32_t aOutSize, uint32_t* aReturned) = 0;
};

// Linux: no service control manager; every call fails with ERROR_ACCESS_DENIED (opening the
// manager, which comes first) or ERROR_INVALID_HANDLE, and nothing is tried.
TServiceControl& LinuxServiceControl();

class TSysDriver {
public:
  // aHomeDir: the executable's folder ("\" appended when missing).
  TSysDriver(TServiceControl& aSystem, const std::u16string& aHomeDir,
             const std::u16string& DeviceName);

  uint32_t OpenSCM();
  uint32_t CloseSCM();
  uint32_t Install(const std::u16string& newdriverpath);
  uint32_t Start();
  uint32_t Stop();
  uint32_t Remove();
  uint32_t DeviceOpen();
  uint32_t DeviceClose();
  bool IOControl(uint32_t Cmd, void* inBuf, uint32_t inSize, void* outbuf, uint32_t& outSize);
  static std::u16string ErrorLookup(uint32_t ErrorNum);

  std::u16string HomeDir;
  std::u16string DriverDir;
  std::u16string DriverName;
  std::u16string DEVICE_NAME_STRING;
  std::u16string DriverPath;
  SC_HANDLE hSCMan = 0;
  HANDLE hDevice = kInvalidHandle;
  bool HaveLoad = false;
  uint32_t BaseControlCode = 0;

  static constexpr uint32_t kCannotOpenManager = 9998;

private:
  // Opens the service, runs aAction on it, closes it; the last error on any failure.
  template <typename TAction>
  uint32_t WithService(TAction aAction);

  TServiceControl& FSystem;
};

} // namespace zelvo
