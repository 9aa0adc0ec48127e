// libFuzzer target for LIST records: any bytes as a listing's records, each made an entry of a
// folder (or hidden), then every entry found again by its name, written back as a record and
// matched against a mask, as a directory read does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/WinTypes.h"
#include "tree/FileSysUnit.h"
#include "tree/Mask.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  using namespace zelvo;
  TFileInfo FListing(u"\\fuzz");
  for (size_t FAt = 0; FAt + kFindDataSize <= aSize; FAt += kFindDataSize)
    FListing.AddRecord(aData + FAt);
  const TMask FAll(u"*");
  for (size_t i = 0; i < FListing.Count(); ++i) {
    const TFileInfo* FEntry = FListing.Items(i);
    if (HiddenNameReason(FEntry->FileName()) != nullptr) std::abort();
    if (FListing.ThisFindFile(FEntry->FileName()) != FEntry) std::abort(); // no duplicates
    EncodeFindData(FileInfoToFindData(*FEntry));
    FAll.Matches(FEntry->FileName());
  }
  std::vector<uint8_t> FBuf;
  FListing.FindFile(u"\\*", FBuf);
  return 0;
}
