// libFuzzer target for the reply framing: any bytes as what a server sends after a request, read
// as a size-prefixed block (small bounds, so a run stays small), as a listing and as a change
// confirmation, handed out in pieces whose size the first byte picks. A reader must never store
// more than its bound.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/Streams.h"
#include "fuzz/FuzzInput.h"
#include "protocol/ReplyReader.h"

namespace {

class TPieceSource final : public zelvo::TByteSource {
public:
  TPieceSource(std::string_view aBytes, size_t aPiece) : FBytes(aBytes), FPiece(aPiece) {}
  zelvo::TReceiveStatus Receive(void* aBuffer, size_t aCapacity, size_t& aGot) override {
    aGot = std::min({aCapacity, FPiece, FBytes.size()});
    if (aGot == 0) return zelvo::TReceiveStatus::Closed;
    std::copy_n(FBytes.data(), aGot, static_cast<char*>(aBuffer));
    FBytes.remove_prefix(aGot);
    return zelvo::TReceiveStatus::Data;
  }

private:
  std::string_view FBytes;
  size_t FPiece;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace zelvo;
  if (aSize == 0) return 0;
  const size_t FPiece = aData[0] % 64 + 1;
  const std::string_view FReply = fuzz::Bytes(aData + 1, aSize - 1);

  constexpr TBlockBounds kBounds{4096, 1024};
  TPieceSource FBlockSource(FReply, FPiece);
  TMemoryStream FBlock;
  ReadBlock(FBlockSource, FBlock, kBounds);
  if (FBlock.GetSize() > kBounds.FMaxCount) std::abort();

  TPieceSource FListingSource(FReply, FPiece);
  TMemoryStream FRecords;
  ReadListing(FListingSource, FRecords, 4);
  if (FRecords.GetSize() > 4 * 592) std::abort();

  TPieceSource FConfirmationSource(FReply, FPiece);
  std::u16string FConfirmation;
  std::u16string FRefusal;
  JudgeConfirmation(ReadConfirmation(FConfirmationSource), aData[0] & 1, FConfirmation, FRefusal);
  return 0;
}
