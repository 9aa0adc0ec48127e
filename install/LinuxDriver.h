// The driver steps on Linux, where the kernel's FUSE with the distribution's fusermount3 is the
// driver: nothing is installed and no service is registered.
#pragma once

#include <functional>
#include <string>

namespace zelvo {

// FUSE can be used: /dev/fuse opens for reading and writing, and fusermount3 is on the path
// (root mounts without it).
bool FuseUsable();

// The first-run driver step: shows "安装驱动时发生未知错误" through aShowMessage when FUSE cannot
// be used; the setup goes on either way.
void CheckDriverForFirstRun(const std::function<void(const std::u16string&)>& aShowMessage);

// The start-up driver step: the service start through a system without a service manager —
// nothing a user cannot do is tried, and nothing is reported.
void StartDriverServiceOnLinux(const std::u16string& aHomeDir);

} // namespace zelvo
