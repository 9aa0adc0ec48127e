// libFuzzer target for change confirmations: any bytes as the text of a server's answer to a
// change, its first line judged and read for the stored version; a version read must write back
// as a line that reads the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/TextCodec.h"
#include "fuzz/FuzzInput.h"
#include "protocol/ReplyReader.h"
#include "protocol/ServerVersion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace zelvo;
  TConfirmationReply FReply{TConfirmationReply::TKind::Text,
                            SplitTextLines(DecodeTextReply(fuzz::Bytes(aData, aSize)))};
  std::u16string FConfirmation;
  std::u16string FRefusal;
  JudgeConfirmation(FReply, true, FConfirmation, FRefusal);
  const auto FVersion = ParseConfirmation(FConfirmation);
  if (FVersion && ParseConfirmation(Utf8ToUtf16(ConfirmationText(*FVersion))) != FVersion)
    std::abort();
  return 0;
}
