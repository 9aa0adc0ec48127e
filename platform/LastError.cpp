#include "platform/LastError.h"

namespace zelvo {
namespace {
thread_local uint32_t FLastError = 0;
}

void SetLastError(uint32_t aErrorCode) {
  FLastError = aErrorCode;
}
uint32_t GetLastError() {
  return FLastError;
}

} // namespace zelvo
