// The calling thread's last-error slot (the stand-in for SetLastError / GetLastError).
//
// Each thread has its own slot, starting at 0. Operations that fail leave a Windows error code
// here for their caller; the slot is never cleared implicitly.
#pragma once

#include <cstdint>

namespace zelvo {

void SetLastError(uint32_t aErrorCode);
uint32_t GetLastError();

} // namespace zelvo
