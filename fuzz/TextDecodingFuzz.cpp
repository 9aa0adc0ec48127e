// libFuzzer target for text replies: any bytes decoded by their byte-order mark (UTF-8, UTF-16)
// or as GB18030, and split into lines; and the UTF-8 and UTF-16 conversions both ways. No line
// may hold a line break.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/TextCodec.h"
#include "fuzz/FuzzInput.h"
#include "protocol/WireFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace zelvo;
  const std::string_view FBytes = fuzz::Bytes(aData, aSize);
  for (const auto& FLine : SplitTextLines(DecodeTextReply(FBytes)))
    if (FLine.find_first_of(u"\r\n") != std::u16string::npos) std::abort();
  const std::u16string FText = Utf8ToUtf16(FBytes);
  if (IsValidUtf8(FBytes) && Utf16ToUtf8(FText) != FBytes) std::abort();
  const std::u16string FUnits = fuzz::Units(FBytes);
  Utf16ToUtf8(FUnits);
  Utf16ToAnsi(FUnits);
  AnsiToUtf16(FBytes);
  return 0;
}
