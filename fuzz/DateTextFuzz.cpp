// libFuzzer target for the server's date and time text: any text read against a year the first
// bytes pick; what it gives must be a date a clock could be set to.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/DateTimeText.h"
#include "common/TextCodec.h"
#include "fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace zelvo;
  if (aSize < 2) return 0;
  const int FYear = 1 + (aData[0] | aData[1] << 8) % 9999;
  const std::string_view FBytes = fuzz::Bytes(aData + 2, aSize - 2);
  for (const std::u16string& FText : {Utf8ToUtf16(FBytes), fuzz::Units(FBytes)}) {
    try {
      const SYSTEMTIME FTime = ReadDateTimeText(FText, FYear);
      if (FTime.wMonth < 1 || FTime.wMonth > 12 || FTime.wDay < 1 || FTime.wDay > 31 ||
          FTime.wHour > 23 || FTime.wMinute > 59 || FTime.wSecond > 59 || FTime.wMilliseconds > 999)
        std::abort();
    } catch (const EConvertError&) {
    }
  }
  return 0;
}
