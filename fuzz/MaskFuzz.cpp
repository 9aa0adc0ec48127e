// libFuzzer target for masks: the input as UTF-16 units (as the drive hands names over), split
// at its first NUL unit into a mask and a name; a mask that is not one raises EMaskException, any
// other is matched against the name. "*" matches every name, and every name matches itself with its
// wildcard characters taken literally only when it holds none.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/FuzzInput.h"
#include "tree/Mask.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace zelvo;
  const std::u16string FUnits = fuzz::Units(fuzz::Bytes(aData, aSize));
  const size_t FNul = std::min(FUnits.find(u'\0'), FUnits.size());
  const std::u16string FMaskText = FUnits.substr(0, FNul);
  const std::u16string FName = FUnits.substr(std::min(FNul + 1, FUnits.size()));
  try {
    TMask(FMaskText).Matches(FName);
  } catch (const EMaskException&) {
  }
  if (!TMask(u"*").Matches(FName)) std::abort();
  if (FName.find_first_of(u"*?[]") == std::u16string::npos && !TMask(FName).Matches(FName))
    std::abort();
  return 0;
}
