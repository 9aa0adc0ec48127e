// File contents: the cache file of a node, its fetch and upload, reads, writes and resizes,
// the open dispositions and the closing work.
#include <filesystem>

#include "common/Globals.h"
#include "common/TextCodec.h"
#include "common/Utils.h"
#include "platform/LastError.h"
#include "platform/Locale.h"
#include "platform/WinError.h"
#include "tree/FileSysUnit.h"

namespace zelvo {

bool IsKeptLocal(std::u16string_view aFileName) {
  const std::u16string FExt = LowerCaseLocale(ExtractFileExt(aFileName));
  return !FExt.empty() && NoUploadExtensions.find(FExt) != std::u16string_view::npos;
}

std::u16string TFileInfo::CacheFileName() const {
  const std::string FHandleText = std::to_string(FHandle);
  return CacheDir + std::u16string(FHandleText.begin(), FHandleText.end()) + u".cache";
}

void TFileInfo::CreateCacheStream() {
  if (FCache) return;
  const std::u16string FName = CacheFileName();
  std::error_code FIgnored;
  // Only a fetched node's own file is kept: names repeat from run to run.
  const bool FKeep = FCached && std::filesystem::exists(Utf16ToUtf8(FName), FIgnored);
  FCache = std::make_unique<TFileStream>(FName, FKeep ? TFileStream::TMode::OpenReadWrite
                                                      : TFileStream::TMode::Create);
}

bool TFileInfo::EnsureContent() {
  CreateCacheStream();
  return HasContent() || SyncGetFile();
}

void TFileInfo::MarkLocalContent() {
  FLocalContent = true;
  FModified = true;
}

bool TFileInfo::Read(void* Buffer, uint32_t BufferLength, uint32_t& ReadLength, int64_t Offset) {
  if (!EnsureContent()) return false;
  if (Offset >= FSize) {
    SetLastError(ERROR_HANDLE_EOF);
    return false;
  }
  FCache->SetPosition(Offset);
  ReadLength = static_cast<uint32_t>(FCache->Read(Buffer, BufferLength));
  if (ReadLength == 0) SetLastError(ERROR_HANDLE_EOF);
  return ReadLength != 0;
}

bool TFileInfo::Write(const void* Buffer, uint32_t BufferLength, uint32_t& WriteLength,
                      int64_t Offset) {
  // A node's first write completes its content first, so the upload never replaces a stored
  // file with only the written bytes.
  if (!EnsureContent()) return false;
  FCache->SetPosition(Offset);
  WriteLength = static_cast<uint32_t>(FCache->Write(Buffer, BufferLength));
  if (WriteLength == 0) {
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  FModified = true;
  if (Offset + WriteLength > FSize) FSize = Offset + WriteLength;
  return true;
}

bool TFileInfo::SetSize(int64_t Value) {
  if (!FileCanMove()) { // an archive entry: read-only
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  // What a resize keeps must be the server's content.
  if (!EnsureContent()) return false;
  if (!FCache->SetSize(Value)) {
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  if (Value != FSize) FModified = true;
  FSize = Value;
  return true;
}

void TFileInfo::ClearFileData() {
  FSize = 0;
  if (FCache) FCache->SetSize(0);
}

namespace {

uint32_t Refuse(uint32_t aError) {
  SetLastError(aError);
  return kInvalidNodeHandle;
}

} // namespace

uint32_t TFileInfo::CreateOpenFile(const std::u16string& aFileName,
                                   uint32_t dwCreationDisposition) {
  TFileInfo* FNode = ThisFindFile(aFileName);
  if (FNode && FNode->FIsDir) return FNode->FHandle;
  const auto FCreate = [&] {
    TFileInfo* FNew = CreateNewFileInfo(aFileName, FFullName, false);
    if (!FNew->FIsDir) FNew->MarkLocalContent(); // an empty new file is stored at close
    return FNew->FHandle;
  };
  const auto FEmpty = [&] {
    FNode->ClearFileData();
    FNode->MarkLocalContent(); // emptied is known, and the server must hear of it
    return FNode->FHandle;
  };
  switch (dwCreationDisposition) {
  case CREATE_NEW:
    if (FNode) return Refuse(ERROR_FILE_EXISTS);
    return FCreate();
  case CREATE_ALWAYS:
    return FNode ? FEmpty() : FCreate();
  case OPEN_EXISTING:
    if (!FNode) return Refuse(ERROR_FILE_NOT_FOUND);
    return FNode->FHandle;
  case OPEN_ALWAYS:
    if (FNode) return FNode->FHandle;
    SetLastError(ERROR_SUCCESS);
    return FCreate();
  case TRUNCATE_EXISTING:
    if (!FNode) return Refuse(ERROR_FILE_NOT_FOUND);
    return FEmpty();
  default:
    return kInvalidNodeHandle;
  }
}

bool TFileInfo::CloseOpenFile(uint32_t aHandle, bool DeleteOnClose) {
  TFileInfo* FNode = FindFileByHandle(aHandle);
  if (FNode == nullptr) return false;
  if (DeleteOnClose) return true;
  bool FResult = true;
  if (!FNode->FRenameOnClose.empty()) {
    const auto [FOldPath, FRest] = SplitText(FNode->FRenameOnClose, u'|');
    const auto [FNewPath, FFlag] = SplitText(FRest, u'|');
    FNode->FRenameOnClose.clear();
    FResult = FNode->FRootManager->MoveFile(FOldPath, FNewPath, FFlag == u"1");
  }
  // A failed upload leaves the node changed, so a later close sends it again.
  if (FNode->FModified && !IsKeptLocal(FNode->FFileName)) {
    FNode->CreateCacheStream(); // a new file that was never written has none yet
    if (FNode->SyncPutFile()) FNode->FModified = false;
  }
  return FResult;
}

} // namespace zelvo
