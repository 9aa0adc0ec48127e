// Process privileges (the stand-in for the Windows token functions). A drive on Linux needs no
// "SeSecurityPrivilege": enabling it does nothing and reports nothing.
#pragma once

namespace zelvo {

inline void EnableSecurityPrivilege() {}

} // namespace zelvo
