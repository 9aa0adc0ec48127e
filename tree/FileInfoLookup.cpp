// Path lookup and find-data records: every search works on a listing, names compare with the
// ASCII-only case-insensitive rule, and the first match in list order wins.
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "tree/FileSysUnit.h"
#include "tree/Mask.h"

namespace zelvo {

TFileInfo* TFileInfo::GetDirectory(std::u16string_view Path, std::u16string& LastFilename) {
  TFileInfo* FListing = this;
  for (;;) {
    const auto FSlash = Path.size() > 1 ? Path.find(u'\\', 1) : std::u16string_view::npos;
    if (FSlash == std::u16string_view::npos || FSlash == 1) {
      LastFilename = std::u16string(Path.empty() ? Path : Path.substr(1));
      return FListing;
    }
    TFileInfo* FFolder = FListing->ThisFindFile(Path.substr(1, FSlash - 1));
    if (FFolder == nullptr || !FFolder->FIsDir) {
      SetLastError(ERROR_PATH_NOT_FOUND);
      return nullptr;
    }
    FListing = FFolder->GetChild();
    if (FListing == nullptr) return nullptr; // not listed: GetChild said why
    Path = Path.substr(FSlash);
  }
}

TFileInfo* TFileInfo::FindFile(std::u16string_view aFileName) {
  std::u16string FLast;
  TFileInfo* FListing = GetDirectory(aFileName, FLast);
  return FListing ? FListing->ThisFindFile(FLast) : nullptr;
}

bool TFileInfo::FindFile(std::u16string_view aFileName, std::vector<uint8_t>& Buf) {
  return FindFile(aFileName, [&](const TFileInfo& aItem) {
    const auto FRecord = EncodeFindData(FileInfoToFindData(aItem));
    Buf.insert(Buf.end(), FRecord.begin(), FRecord.end());
  });
}

bool TFileInfo::FindFile(std::u16string_view aFileName,
                         const std::function<void(const TFileInfo&)>& aEach) {
  std::u16string FMaskText;
  TFileInfo* FListing = GetDirectory(aFileName, FMaskText);
  // A folder that is not there has no entries; one the server could not list is a failure.
  if (FListing == nullptr) return GetLastError() != ERROR_UNEXP_NET_ERR;
  const TMask FMask(FMaskText);
  for (const auto& FItem : FListing->Entries())
    if (FMask.Matches(FItem->FFileName)) aEach(*FItem);
  return true;
}

TFileInfo* TFileInfo::FindFileByHandle(uint32_t aHandle) {
  // Below this listing: up the chain of listings and the folders that own them.
  TFileInfo* FNode = FindNodeByHandle(aHandle);
  for (const TFileInfo* FUp = FNode; FUp != nullptr;
       FUp = FUp->FParent ? FUp->FParent->Owner() : nullptr)
    if (FUp->FParent == this) return FNode;
  return nullptr;
}

uint32_t TFileInfo::GetFileAttributesW(std::u16string_view aFileName) {
  const TFileInfo* FNode = FindFile(aFileName);
  return FNode ? FNode->FFileAttributes : INVALID_FILE_ATTRIBUTES;
}

} // namespace zelvo
