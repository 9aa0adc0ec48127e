// Zip archives shown as folders: building an archive's folder from its central directory, and
// what the read-only nodes inside it do.
#include <algorithm>
#include <filesystem>

#include "common/TextCodec.h"
#include "common/Utils.h"
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "tree/FileSysUnit.h"
#include "tree/ZipArchive.h"

namespace zelvo {

void TFileInfo::ZipFileToFolder() {
  CreateCacheStream();
  // Not fetched (or its fetch failed): the next request fetches it, without the lock.
  if (!ProvideContent()) return;
  FSize = FCache->GetSize();
  FCache.reset();
  std::shared_ptr<TZipArchive> FArchive;
  try {
    FArchive = std::make_shared<TZipArchive>(
        std::make_unique<TFileStream>(CacheFileName(), TFileStream::TMode::OpenRead));
  } catch (const std::exception&) {
    // not a zip archive: an empty folder
  }
  BuildArchiveFolder(FArchive);
}

void TFileInfo::BuildArchiveFolder(const std::shared_ptr<TZipArchive>& aArchive) {
  auto FListing = std::make_unique<TZipFileInfo>(FullName());
  TZipFileInfo* FZipListing = FListing.get();
  SetChild(std::move(FListing));
  if (!aArchive) return;
  const std::shared_ptr<TZipArchive>& FArchive = aArchive;
  const auto& FEntries = FArchive->Entries();
  for (size_t i = 0; i < FEntries.size(); ++i) {
    std::u16string FName = FEntries[i].FName;
    std::replace(FName.begin(), FName.end(), u'/', u'\\');
    if (!FZipListing->ExecuteZipFileOne(static_cast<int32_t>(i), FName, FArchive,
                                        FEntries[i].IsFolder()))
      return;
  }
}

TFileInfo* TZipFileInfo::CreateNewFileInfo(const std::u16string& aFileName,
                                           const std::u16string& ParentPath, bool aIsDir) {
  return CreateNewZipFileInfo(aFileName, ParentPath, aIsDir);
}

TZipFileInfo* TZipFileInfo::CreateNewZipFileInfo(const std::u16string& aFileName,
                                                 const std::u16string& ParentPath, bool aIsDir) {
  auto FNode = std::make_unique<TZipFileInfo>(MakeFindData(aFileName, aIsDir), ParentPath);
  TZipFileInfo* FResult = FNode.get();
  Add(std::move(FNode));
  return FResult;
}

TZipFileInfo* TZipFileInfo::AddFolder(const std::u16string& aName, int32_t aZipIndex,
                                      const std::shared_ptr<TZipArchive>& aZipFile) {
  TZipFileInfo* FFolder = CreateNewZipFileInfo(aName, StoredName(), true);
  FFolder->FZipIndex = aZipIndex;
  FFolder->FZipFile = aZipFile;
  FFolder->SetChild(std::make_unique<TZipFileInfo>(FFolder->FullName()));
  return FFolder;
}

bool TZipFileInfo::ExecuteZipFileOne(int32_t aZipIndex, std::u16string_view aName,
                                     const std::shared_ptr<TZipArchive>& aZipFile, bool aIsFolder) {
  const auto [FHead, FRest] = SplitText(aName, u'\\');
  if (FHead.empty()) return true;
  TFileInfo* FFound = ThisFindFile(FHead);
  if (FRest.empty() && !aIsFolder) {
    TZipFileInfo* FNode = CreateNewZipFileInfo(FHead, StoredName(), false);
    FNode->FZipIndex = aZipIndex;
    FNode->FZipFile = aZipFile;
    // Also overwrites the mark of a nested ".zip": it shows as an empty folder.
    FNode->FSize = static_cast<int64_t>(aZipFile->Entries()[aZipIndex].FUncompressedSize);
    return true;
  }
  // A folder, named by a folder entry or implied by a deeper path: one node per name.
  if (FFound == nullptr) FFound = AddFolder(FHead, aZipIndex, aZipFile);
  auto* FListing = dynamic_cast<TZipFileInfo*>(FFound->Child());
  if (!FFound->IsDir() || FListing == nullptr) return false;
  return FRest.empty() || FListing->ExecuteZipFileOne(aZipIndex, FRest, aZipFile, aIsFolder);
}

uint32_t TZipFileInfo::CreateOpenFile(const std::u16string& aFileName,
                                      uint32_t dwCreationDisposition) {
  TFileInfo* FNode = ThisFindFile(aFileName);
  if (FNode && FNode->IsDir()) return FNode->Handle();
  switch (dwCreationDisposition) {
  case CREATE_NEW:
    if (FNode) SetLastError(ERROR_FILE_EXISTS);
    return kInvalidNodeHandle;
  case CREATE_ALWAYS:
    if (!FNode) return kInvalidNodeHandle;
    FNode->ClearFileData();
    return FNode->Handle();
  case OPEN_EXISTING:
    if (!FNode) SetLastError(ERROR_FILE_NOT_FOUND);
    return FNode ? FNode->Handle() : kInvalidNodeHandle;
  case OPEN_ALWAYS:
    return FNode ? FNode->Handle() : kInvalidNodeHandle;
  default:
    return kInvalidNodeHandle;
  }
}

bool TZipFileInfo::ExtractsByRange() const {
  return !HasContent() && !IsDir() && FZipFile && FZipFile->Remote();
}

std::u16string TZipFileInfo::ExtractionFile(uint64_t aReader) const {
  return HandleFileName(u".part" + Utf8ToUtf16(std::to_string(aReader)) + u".cache");
}

void TZipFileInfo::AdoptExtraction(const std::u16string& aFile) {
  std::error_code FError;
  // Another reader's extraction came first: this one is the same content, not needed.
  if (HasContent()) {
    std::filesystem::remove(Utf16ToUtf8(aFile), FError);
    return;
  }
  FCache.reset();
  std::filesystem::rename(Utf16ToUtf8(aFile), Utf16ToUtf8(CacheFileName()), FError);
  if (FError) return;
  FContent = TContent::Fetched;
  CreateCacheStream();
  FSize = FCache->GetSize();
}

bool TZipFileInfo::Write(const void*, uint32_t, uint32_t&, int64_t) {
  SetLastError(ERROR_ACCESS_DENIED);
  return false;
}

// An extraction that fails leaves the entry unfetched: its next read tries again, and no read
// ever serves a partial copy.
bool TZipFileInfo::ProvideContent() {
  if (HasContent()) return true;
  FCache->SetSize(0);
  FCache->SetPosition(0);
  try {
    FZipFile->Extract(static_cast<size_t>(FZipIndex), *FCache);
  } catch (...) {
    FCache->SetSize(0);
    throw;
  }
  FContent = TContent::Fetched;
  FSize = FCache->GetSize();
  return true;
}

} // namespace zelvo
