// File contents: the cache file of a node, its fetch and upload, reads, writes and resizes,
// the open dispositions and the closing work.
#include <algorithm>
#include <filesystem>
#include <utility>

#include "common/LocalFolders.h"
#include "common/TextCodec.h"
#include "platform/LastError.h"
#include "platform/Locale.h"
#include "platform/WinError.h"
#include "tree/ContentFetch.h"
#include "tree/FileSysUnit.h"
#include "tree/PendingJournal.h"

namespace zelvo {

bool IsKeptLocal(std::u16string_view aFileName) {
  const std::u16string FExt = LowerCaseLocale(ExtractFileExt(aFileName));
  if (FExt.empty()) return false;
  for (std::u16string_view FRest = NoUploadExtensions; !FRest.empty();) {
    const auto FEnd = std::min(FRest.find(u';'), FRest.size());
    if (FRest.substr(0, FEnd) == FExt) return true;
    FRest.remove_prefix(std::min(FEnd + 1, FRest.size()));
  }
  return false;
}

std::u16string TFileInfo::HandleFileName(std::u16string_view aSuffix) const {
  const std::string FHandleText = std::to_string(FHandle);
  return Config().FCacheDir + std::u16string(FHandleText.begin(), FHandleText.end()) +
         std::u16string(aSuffix);
}

std::u16string TFileInfo::CacheFileName() const {
  return CachePath().empty() ? HandleFileName(u".cache") : CachePath();
}

void TFileInfo::CreateCacheStream() {
  if (FCache) return;
  const std::u16string FName = CacheFileName();
  std::error_code FIgnored;
  // Only a fetched node's own file is kept: names repeat from run to run.
  const bool FKeep = (FContent == TContent::Fetched || FContent == TContent::Broken) &&
                     std::filesystem::exists(Utf16ToUtf8(FName), FIgnored);
  FCache = std::make_shared<TFileStream>(FName, FKeep ? TFileStream::TMode::OpenReadWrite
                                                      : TFileStream::TMode::Create);
}

namespace {

bool Refused(uint32_t aError) {
  SetLastError(aError);
  return false;
}

} // namespace

bool TFileInfo::EnsureContent() {
  // A fetch under way is waited for by the facade, without the lock; one still running here
  // was started since, after a failure.
  if (Fetch() && !Fetch()->Done()) return Refused(ERROR_UNEXP_NET_ERR);
  FinishFetch();
  CreateCacheStream();
  // A download that failed is not made again here: the change fails, and the next read or open
  // starts a new download without the lock.
  return ProvideContent();
}

std::shared_ptr<TContentFetch> TFileInfo::StartFetch(const std::shared_ptr<TRemote>& aRemote,
                                                     bool& aStarted) {
  aStarted = false;
  if (Fetch()) return Fetch();
  if (HasContent() || !FetchesFromServer()) return nullptr;
  // Right after a failure the same reader's retries (the kernel reads a failed page again) fail
  // at once instead of asking the server again; a new open asks again (ForgetFetchFailure).
  if (FExtra && std::chrono::steady_clock::now() < FExtra->FFetchFailedAt + kRefetchPause)
    return nullptr;
  Extra().FFetch =
      std::make_shared<TContentFetch>(aRemote, FullName(), HandleFileName(u".part.cache"), FSize,
                                      TServerVersion{FSize, FLastWriteTime});
  aStarted = true;
  return FExtra->FFetch;
}

void TFileInfo::FinishFetch() {
  if (!Fetch() || !Fetch()->Done()) return;
  const auto FEnded = std::move(FExtra->FFetch);
  if (!FEnded->Succeeded()) {
    FEnded->Cancel(); // the part file goes; the node stays unfetched, the next read tries again
    FExtra->FFetchFailedAt = std::chrono::steady_clock::now();
    // A reply that disagreed with the listing: the listing is asked for again at the next look.
    if (FEnded->Disagreed() && FParent && FParent->FExtra) FParent->FExtra->FListedAt = {};
    // A range reply said which version the server has: the next fetch asks for that one (a
    // refresh made while the file is open would leave the old one).
    if (const auto FNow = FEnded->ServerVersion(); FNow && FSync == TSync::Clean) {
      FSize = FNow->FSize;
      FLastWriteTime = FNow->FWriteTime;
    }
    return;
  }
  // The part file becomes the cache file.
  FCache.reset();
  std::error_code FError;
  std::filesystem::rename(Utf16ToUtf8(FEnded->PartFile()), Utf16ToUtf8(CacheFileName()), FError);
  if (FError) return;
  FContent = TContent::Fetched;
  CreateCacheStream();
  if (ArchiveNotBuilt()) return; // an archive takes its size once it is built
  FSize = FCache->GetSize();
  RecordBase();
}

void TFileInfo::ForgetFetchFailure() {
  if (!FExtra) return;
  FExtra->FFetchFailedAt = {};
  TrimExtra();
}

void TFileInfo::RecordBase() {
  SetBase({FSize, FLastWriteTime});
}

void TFileInfo::DropCachedContent() {
  CancelFetch();
  FCache.reset();
  if (HasContent()) {
    std::error_code FIgnored;
    std::filesystem::remove(Utf16ToUtf8(CacheFileName()), FIgnored);
  }
  FContent = TContent::Remote;
  // The base stays: programs may still hold what was served before, and a save of theirs must
  // not replace the newer version unseen.
}

void TFileInfo::CancelFetch() {
  if (!Fetch()) return;
  FExtra->FFetch->Cancel();
  FExtra->FFetch.reset();
}

bool TFileInfo::ReadWhileFetching(void* Buffer, uint32_t BufferLength, uint32_t& ReadLength,
                                  int64_t Offset) {
  const auto FRunning = Fetch();
  bool FResult = false;
  if (!FRunning->Holds(Offset, Offset + BufferLength)) {
    SetLastError(ERROR_UNEXP_NET_ERR); // not here (yet): the facade waits without the lock
  } else {
    ReadLength = FRunning->ReadArrived(Buffer, BufferLength, Offset);
    FResult = ReadLength != 0;
    if (!FResult) SetLastError(ERROR_HANDLE_EOF);
  }
  FinishFetch();
  return FResult;
}

void TFileInfo::MarkChanged() {
  if (FSync != TSync::Pending) FSync = TSync::Changed;
  ++FChangeCount;
  FLastWriteTime = LocalNowAsFileTime();
}

void TFileInfo::MarkLocalContent() {
  FContent = TContent::Local; // emptied: the content is known again, broken or not
  MarkChanged();
}

std::shared_ptr<const TFileStream> TFileInfo::PresentContent(int64_t& aSize) {
  if (Fetch() || !HasContent()) return nullptr;
  CreateCacheStream();
  aSize = FSize;
  return FCache;
}

bool TFileInfo::Read(void* Buffer, uint32_t BufferLength, uint32_t& ReadLength, int64_t Offset) {
  if (Fetch()) return ReadWhileFetching(Buffer, BufferLength, ReadLength, Offset);
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
  if (Offset < 0 || Offset + int64_t{BufferLength} > kMaxFileSize)
    return Refused(ERROR_FILE_TOO_LARGE);
  // A node's first write completes its content first, so the upload never replaces a stored
  // file with only the written bytes.
  if (!EnsureContent()) return false;
  FCache->SetPosition(Offset);
  WriteLength = static_cast<uint32_t>(std::max<int64_t>(0, FCache->Write(Buffer, BufferLength)));
  MarkChanged();
  if (Offset + WriteLength > FSize) FSize = Offset + WriteLength;
  // A full or failing cache disk: what the program wrote is not all there, so the node must
  // never be uploaded in part.
  if (WriteLength < BufferLength) {
    FContent = TContent::Broken;
    return Refused(ERROR_DISK_FULL);
  }
  return true;
}

bool TFileInfo::SetSize(int64_t Value) {
  if (!FileCanMove()) return Refused(ERROR_ACCESS_DENIED); // an archive entry: read-only
  if (Value < 0 || Value > kMaxFileSize) return Refused(ERROR_FILE_TOO_LARGE);
  // What a resize keeps must be the server's content.
  if (!EnsureContent()) return false;
  if (!FCache->SetSize(Value)) return Refused(ERROR_DISK_FULL);
  if (Value != FSize) MarkChanged();
  FSize = Value;
  return true;
}

void TFileInfo::ClearFileData() {
  // What was read of it came from the server's version of its listing: a later save of this
  // file is checked against that version, however far its fetch got.
  if (Fetch() && !HasBase()) RecordBase();
  CancelFetch(); // emptied: what the server had no longer matters
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
    // A new ".zip" would be an archive folder that is never uploaded: refuse it outright.
    if (LowerCaseLocale(ExtractFileExt(aFileName)) == u".zip")
      return Refuse(ERROR_PRIVILEGE_NOT_HELD);
    TFileInfo* FNew = CreateNewFileInfo(aFileName, StoredName(), false);
    FNew->MarkLocalContent(); // an empty new file is stored at close
    FNew->FOnServer = false;
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

bool TFileInfo::BeginPendingMove(TMovePlan& aPlan) {
  aPlan.FSource = 0;
  if (!RenameOnClose()) return true;
  const TPendingMove FPending = *std::exchange(FExtra->FRenameOnClose, std::nullopt);
  if (FExtra->FRootManager->BeginMove(FPending.FFrom, FPending.FTo, FPending.FReplace, aPlan))
    return true;
  aPlan.FSource = 0;
  if (GetLastError() == ERROR_SHARING_VIOLATION) FExtra->FRenameOnClose = FPending; // again later
  return false;
}

TUploadStart TFileInfo::BeginUpload(TUploadJob& aJob) {
  if (!Modified() || IsKeptLocal(FFileName)) return TUploadStart::Nothing;
  if (FContent == TContent::Broken) {
    SetLastError(ERROR_DISK_FULL);
    return TUploadStart::Broken;
  }
  if (FUploading) return TUploadStart::Busy;
  CreateCacheStream(); // a new file that was never written has none yet
  FUploading = true;
  aJob = {FHandle, FullName(), CacheFileName(), FChangeCount};
  return TUploadStart::Send;
}

bool TFileInfo::SavesByRename(const TMovePlan& aPlan) const {
  if (FIsDir || !Modified() || IsKeptLocal(aPlan.FNewLast)) return false;
  return IsKeptLocal(FFileName) || !FOnServer || FSync == TSync::Pending;
}

TUploadStart TFileInfo::BeginSaveByRename(const TMovePlan& aPlan, TUploadJob& aJob) {
  if (FContent == TContent::Broken) {
    SetLastError(ERROR_DISK_FULL);
    return TUploadStart::Broken;
  }
  CreateCacheStream(); // busy since BeginMove: nothing else sends it meanwhile
  aJob = {FHandle, aPlan.FNewFullName, CacheFileName(), FChangeCount};
  return TUploadStart::Send;
}

void TFileInfo::RetargetMove(TMovePlan& aPlan, const std::u16string& aNewLast) {
  if (TFileInfo* FTarget = aPlan.FTarget ? FindNodeByHandle(aPlan.FTarget) : nullptr)
    FTarget->FUploading = false; // stays where it is: no longer replaced
  aPlan.FTarget = 0;
  aPlan.FNewLast = aNewLast;
  aPlan.FNewFullName = aPlan.FTo->StoredName() + u"\\" + aNewLast;
}

bool TFileInfo::MarkPending() {
  const TMountConfig& FMount = Config();
  const std::u16string FName =
      TPendingJournal::PendingFileName(FMount.FCacheDir, FMount.FServer, FMount.FPort, FullName());
  if (CacheFileName() != FName) {
    std::error_code FError;
    std::filesystem::rename(Utf16ToUtf8(CacheFileName()), Utf16ToUtf8(FName), FError);
    if (FError) return false; // still changed in memory: the next close or fsync tries again
    Extra().FCachePath = FName;
  }
  // Recorded only once the content and the journal are both on the disk: a crash after the
  // call returned must find them.
  TPendingEntry FEntry{FMount.FServer, FMount.FPort, FullName(), FName, Base()};
  if (const auto FOld = PendingChanges().Find(FMount.FServer, FMount.FPort, FullName())) {
    FEntry.FRefusals = FOld->FRefusals;
    FEntry.FLastOutcome = FOld->FLastOutcome;
  }
  if (!SyncToDisk(Utf16ToUtf8(FName)) || !PendingChanges().Add(FEntry)) return false;
  FSync = TSync::Pending;
  return true;
}

bool TFileInfo::RecordPending() {
  if (!Modified() || FContent == TContent::Broken || FUploading || IsKeptLocal(FFileName))
    return true;
  CreateCacheStream(); // a new file that was never written has none yet
  if (MarkPending()) return true;
  return Refused(ERROR_DISK_FULL);
}

void TFileInfo::GiveUpPending() {
  FSync = TSync::Refused;
}

void TFileInfo::ClearPending() {
  if (FSync != TSync::Pending) return;
  PendingChanges().Remove(Config().FServer, Config().FPort, FullName());
  FSync = TSync::Changed;
}

void TFileInfo::FollowPending(const std::u16string& aOldFullName) {
  if (FSync != TSync::Pending) return;
  PendingChanges().Remove(Config().FServer, Config().FPort, aOldFullName);
  if (!MarkPending()) FSync = TSync::Changed; // sent by its next close
}

TFileInfo* TFileInfo::AdoptPendingFile(const std::u16string& aFileName,
                                       const std::u16string& aCacheFile,
                                       const std::optional<TServerVersion>& aBase) {
  TFileInfo* FNode = ThisFindFile(aFileName);
  if (FNode != nullptr && FNode->FIsDir) return nullptr;
  if (FNode == nullptr) {
    FNode = CreateNewFileInfo(aFileName, StoredName(), false);
    FNode->FOnServer = false;
  }
  FNode->Extra().FCachePath = aCacheFile;
  FNode->FCache.reset();
  FNode->FCache = std::make_shared<TFileStream>(aCacheFile, TFileStream::TMode::OpenReadWrite);
  FNode->FSize = FNode->FCache->GetSize();
  FNode->MarkLocalContent();
  // Checked against the version it was made from, not whatever the listing shows now.
  if (aBase)
    FNode->SetBase(*aBase);
  else if (FNode->FExtra)
    FNode->FExtra->FHasBase = false;
  FNode->FSync = TSync::Pending;
  return FNode;
}

} // namespace zelvo
