// libFuzzer target for the LOGIN reply: any bytes as its text, its lines taken as the session's
// roots and names, and its fifth line read as the server's clock (as the window sets it).
#include <cstddef>
#include <cstdint>

#include "common/DateTimeText.h"
#include "fuzz/FuzzInput.h"
#include "protocol/LoginReply.h"
#include "protocol/WireFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace zelvo;
  const auto FReply = ParseLoginReply(SplitTextLines(DecodeTextReply(fuzz::Bytes(aData, aSize))));
  if (!FReply) return 0;
  try {
    ReadDateTimeText(FReply->FServerTime, 2026);
  } catch (const EConvertError&) {
  }
  return 0;
}
