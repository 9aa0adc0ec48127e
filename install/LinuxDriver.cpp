#include "install/LinuxDriver.h"

#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

#include "install/DriverPackage.h"

namespace zelvo {
namespace {

bool OnPath(const std::string& aProgram) {
  const char* FPath = std::getenv("PATH");
  std::istringstream FFolders(FPath ? FPath : "/usr/bin:/bin");
  for (std::string FFolder; std::getline(FFolders, FFolder, ':');)
    if (!FFolder.empty() && ::access((FFolder + "/" + aProgram).c_str(), X_OK) == 0) return true;
  return false;
}

} // namespace

bool FuseUsable() {
  const int FFd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (FFd < 0) return false;
  ::close(FFd);
  return ::geteuid() == 0 || OnPath("fusermount3");
}

void CheckDriverForFirstRun(const std::function<void(const std::u16string&)>& aShowMessage) {
  if (!FuseUsable()) aShowMessage(kDriverInstallFailed);
}

void StartDriverServiceOnLinux(const std::u16string& aHomeDir) {
  TSysDriver FDriver(LinuxServiceControl(), aHomeDir, u"dokan1");
  FDriver.OpenSCM(); // fails: there is no service manager, so nothing further is tried
}

} // namespace zelvo
