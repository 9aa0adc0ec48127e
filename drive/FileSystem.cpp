#include "drive/FileSystem.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>

#include "common/LocalFolders.h"
#include "common/TextCodec.h"
#include "drive/TransferObserver.h"
#include "platform/LastError.h"
#include "protocol/Commands.h"
#include "tree/ZipArchive.h"

namespace zelvo {

std::atomic<uint32_t> OpenHandleCounter{1000};
TFileSystem* FileSystem = nullptr;

uint32_t FailureCode(TFacadeFailure aFailure) {
  switch (aFailure) {
  case TFacadeFailure::UnknownHandle:
    return ERROR_INVALID_HANDLE;
  case TFacadeFailure::BadRoot:
  case TFacadeFailure::PathMissing:
    return ERROR_PATH_NOT_FOUND;
  case TFacadeFailure::IsFolder:
    return ERROR_ACCESS_DENIED;
  }
  return ERROR_INVALID_PARAMETER;
}

namespace {

template <typename TResult>
TResult Fail(TFacadeFailure aFailure, TResult aResult) {
  SetLastError(FailureCode(aFailure));
  return aResult;
}

uint32_t Truth(bool aValue) {
  return aValue ? WIN_TRUE : WIN_FALSE;
}

} // namespace

TFileSystem::TFileSystem(const TMountConfig& aConfig, const std::u16string& Root0,
                         const std::u16string& Root1, std::shared_ptr<TRemote> aRemote)
    : FConfig(std::make_shared<const TMountConfig>(aConfig)),
      FRemote(aRemote ? std::move(aRemote) : ServerRemote(aConfig)), FOwnRoot(Root0),
      FRecovery(aConfig.FRecovery.empty() ? RecoveryFolderFor(UserPlacesFromEnvironment())
                                          : aConfig.FRecovery) {
  WIN32_FIND_DATAW FRecord = MakeFindData(u"", true);
  const std::u16string* FPaths[] = {&Root0, &Root1};
  for (size_t i = 0; i < FRoot.size(); ++i) {
    if (FPaths[i]->empty()) continue;
    FRoot[i] = std::make_unique<TFileInfo>(FRecord, *FPaths[i]);
    FRoot[i]->SetConfig(FConfig);
  }
  const auto FSetAside = PendingChanges().Open(FConfig->FCacheDir);
  if (!FSetAside.empty()) {
    std::cerr << "zelvo: the pending-changes journal held lines that are never used (malformed, "
                 "or naming a file outside the cache folder); it was kept as "
              << FSetAside.string() << std::endl;
    Transfers().JournalSetAside(Utf8ToUtf16(FSetAside.string()));
  }
  if (FRoot[0])
    FQueue = std::make_unique<TWriteBackQueue>(
        FConfig->FServer, FConfig->FPort, FOwnRoot, PendingChanges(),
        [this](const TPendingEntry& aEntry) { return TryPendingEntry(aEntry); },
        [this](const TPendingEntry& aEntry) { return GiveUpPendingEntry(aEntry); });
  // One round of the changes earlier runs left, before the listings, which then show them.
  if (FQueue) FQueue->RunDue(TWriteBackQueue::TClock::now());
  // Nothing serves yet: the roots are listed here (one that fails is listed at the next request).
  for (const auto& FRootNode : FRoot) {
    bool FStarted = false;
    if (!FRootNode) continue;
    if (const auto FLoad = FRootNode->StartListing(FRemote, FStarted)) {
      FLoad->Run();
      FRootNode->FinishListing();
    }
  }
  AdoptWaitingLocked();
  if (FQueue) FQueue->Start();
}

uint32_t TFileSystem::CreateOpenInfo(uint32_t aFileInfo) {
  const uint32_t FHandle = ++OpenHandleCounter;
  FOpenDic[FHandle] = std::make_unique<TSysOpenInfo>(TSysOpenInfo{aFileInfo, FHandle, 0});
  return FHandle;
}

void TFileSystem::CloseOpenInfo(uint32_t aOpenInfo) {
  const uint32_t FNodeHandle = OpenInfoToFileInfo(aOpenInfo);
  FOpenDic.erase(aOpenInfo);
  if (FDetached.contains(FNodeHandle) && !HasOpensLocked(FNodeHandle)) {
    std::error_code FIgnored;
    std::filesystem::remove(Utf16ToUtf8(FDetached[FNodeHandle]->CacheFileName()), FIgnored);
    FDetached.erase(FNodeHandle);
  }
}

bool TFileSystem::HasOpensLocked(uint32_t aNodeHandle) const {
  return std::any_of(FOpenDic.begin(), FOpenDic.end(),
                     [&](const auto& aEntry) { return aEntry.second->hFileInfo == aNodeHandle; });
}

TSysOpenInfo* TFileSystem::RecordLocked(uint32_t hFile) {
  const auto FFound = FOpenDic.find(hFile);
  return FFound == FOpenDic.end() ? nullptr : FFound->second.get();
}

uint32_t TFileSystem::OpenInfoToFileInfo(uint32_t aOpenInfo) const {
  const auto FFound = FOpenDic.find(aOpenInfo);
  return FFound == FOpenDic.end() ? 0 : FFound->second->hFileInfo;
}

int64_t TFileSystem::GetPosition(uint32_t aOpenInfo) const {
  const auto FFound = FOpenDic.find(aOpenInfo);
  return FFound == FOpenDic.end() ? 0 : FFound->second->Position;
}

TFileInfo* TFileSystem::Root(int RootIndex) const {
  return RootIndex == 0 || RootIndex == 1 ? FRoot[static_cast<size_t>(RootIndex)].get() : nullptr;
}

TFileInfo* TFileSystem::RootListing(int RootIndex) {
  TFileInfo* FRootNode = Root(RootIndex);
  return FRootNode ? FRootNode->GetChild() : Fail(TFacadeFailure::BadRoot, nullptr);
}

TFileInfo* TFileSystem::FolderOfLocked(int RootIndex, LPCWSTR aPath, std::u16string& aLast) {
  TFileInfo* FListing = RootListing(RootIndex);
  if (FListing == nullptr) return nullptr;
  return FListing->GetDirectory(aPath, aLast); // null with why: missing, or not listed
}

TFileInfo* TFileSystem::ResolveLocked(int RootIndex, uint32_t hFile) {
  TFileInfo* FListing = RootListing(RootIndex);
  if (FListing == nullptr) return nullptr;
  const uint32_t FNodeHandle = OpenInfoToFileInfo(hFile);
  TFileInfo* FNode = FListing->FindFileByHandle(FNodeHandle);
  if (FNode == nullptr && FDetached.contains(FNodeHandle)) FNode = FDetached[FNodeHandle].get();
  return FNode ? FNode : Fail(TFacadeFailure::UnknownHandle, nullptr);
}

TFileInfo* TFileSystem::ResolveFileLocked(int RootIndex, uint32_t hFile) {
  TFileInfo* FNode = ResolveLocked(RootIndex, hFile);
  if (FNode && FNode->IsDir()) return Fail(TFacadeFailure::IsFolder, nullptr);
  return FNode;
}

uint32_t TFileSystem::YunCreateFileW(int RootIndex, LPCWSTR lpFileName, uint32_t, uint32_t, void*,
                                     uint32_t dwCreationDisposition, uint32_t, void*) {
  const auto FGuard = Lock();
  TFileInfo* FRootNode = Root(RootIndex);
  if (FRootNode == nullptr) return Fail(TFacadeFailure::BadRoot, INVALID_HANDLE_VALUE);
  const std::u16string FName(lpFileName);
  uint32_t FNodeHandle = FRootNode->Handle();
  if (FName != u"\\") {
    std::u16string FLast;
    TFileInfo* FListing = FolderOfLocked(RootIndex, lpFileName, FLast);
    if (FListing == nullptr) return INVALID_HANDLE_VALUE;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
      SetLastError(ERROR_INVALID_PARAMETER);
    const bool FExisted = FListing->ThisFindFile(FLast) != nullptr;
    FNodeHandle = FListing->CreateOpenFile(FLast, dwCreationDisposition);
    if (FNodeHandle == kInvalidNodeHandle) {
      if (GetLastError() == ERROR_PRIVILEGE_NOT_HELD)
        Transfers().ArchiveRefused(FListing->FullName() + u'\\' + FLast);
      return INVALID_HANDLE_VALUE;
    }
    const uint32_t FOpen = CreateOpenInfo(FNodeHandle);
    // The student opening the file again asks for it again, even right after a failed fetch.
    if (TFileInfo* FNode = TFileInfo::FindNodeByHandle(FNodeHandle)) FNode->ForgetFetchFailure();
    // A new or emptied file is this open's change, sent when it closes.
    FOpenDic[FOpen]->Truncated = dwCreationDisposition == CREATE_ALWAYS ||
                                 dwCreationDisposition == TRUNCATE_EXISTING || !FExisted;
    return FOpen;
  }
  return CreateOpenInfo(FNodeHandle);
}

bool TFileSystem::YunCloseHandle(int RootIndex, uint32_t Handle, bool DeleteOnClose) {
  auto FGuard = Lock();
  const uint32_t FNodeHandle = OpenInfoToFileInfo(Handle);
  // The record goes whatever the closing work does, exceptions included.
  struct TForget {
    TFileSystem& FOwner;
    uint32_t FHandle;
    ~TForget() { FOwner.CloseOpenInfo(FHandle); }
  } FForget{*this, Handle};
  TFileInfo* FRootNode = Root(RootIndex);
  // A file deleted while open has nothing to carry out: it is gone from the server too.
  // Nor has one deleted by the request it was opened for (rmdir, unlink).
  if (FRootNode == nullptr || FNodeHandle == 0 || FNodeHandle == FRootNode->Handle() ||
      !FRootNode->Child() || FDetached.contains(FNodeHandle) ||
      FRootNode->Child()->FindFileByHandle(FNodeHandle) == nullptr)
    return true;
  if (DeleteOnClose) return true; // the deletion follows; a pending move stays
  const TSysOpenInfo* FRecord = RecordLocked(Handle);
  const bool FChanged = FRecord && (FRecord->Wrote || FRecord->Truncated);
  // The move first (after any upload of the node under way), then this open's upload.
  const bool FMoved = CarryOutMoveLocked(FGuard, FNodeHandle);
  if (!FChanged) return FMoved;
  const uint32_t FMoveError = GetLastError();
  if (SendLocked(FGuard, FNodeHandle)) return FMoved;
  TellSaveFailedLocked(FNodeHandle);
  if (!FMoved) SetLastError(FMoveError);
  return false;
}

bool TFileSystem::AskVersionUnlocked(TLockGuard& aGuard, const std::u16string& aFullName,
                                     std::optional<TServerVersion>& aVersion) {
  aGuard.unlock();
  const bool FAsked = FRemote->AskVersion(aFullName, aVersion);
  aGuard.lock();
  return FAsked;
}

TCommandResult TFileSystem::CheckBeforeSendLocked(TLockGuard& aGuard, TUploadJob& aJob) {
  const TFileInfo* FNode = TFileInfo::FindNodeByHandle(aJob.FHandle);
  const auto FBase = FNode ? FNode->Base() : std::nullopt;
  if (!FBase) return TCommandResult::Done; // content made here: nobody else's to overwrite
  std::optional<TServerVersion> FNow;
  // Without the server's word the save waits: it could overwrite an edit made elsewhere.
  if (!AskVersionUnlocked(aGuard, aJob.FFullName, FNow)) return TCommandResult::Failed;
  TFileInfo* FSaved = TFileInfo::FindNodeByHandle(aJob.FHandle);
  // Gone from the server: saving it again overwrites nobody's edit.
  if (FSaved == nullptr || !FNow || *FNow == *FBase) return TCommandResult::Done;
  if (FSaved->SplitConflict(FConfig->FStudent, *FNow) == nullptr) return TCommandResult::Done;
  Transfers().Conflict(aJob.FFullName, FSaved->FullName());
  aJob.FFullName = FSaved->FullName();
  return TCommandResult::Done;
}

void TFileSystem::AnnounceKeptLocalLocked(const TFileInfo& aNode) {
  if (!aNode.Modified() || !IsKeptLocal(aNode.FileName())) return;
  const std::u16string FPath = aNode.FullName();
  if (FKeptLocalTold.insert(FPath).second) Transfers().KeptLocal(FPath);
}

void TFileSystem::TellSaveFailedLocked(uint32_t aNodeHandle) {
  // Only a change the retries will send: one refused for good or broken is told otherwise.
  const uint32_t FError = GetLastError();
  if (const TFileInfo* FNode = TFileInfo::FindNodeByHandle(aNodeHandle); FNode && FNode->Pending())
    Transfers().SaveFailed(FNode->FullName());
  SetLastError(FError);
}

bool TFileSystem::SendLocked(TLockGuard& aGuard, uint32_t aNodeHandle) {
  TUploadJob FJob;
  for (bool FReady = false; !FReady;) {
    TFileInfo* FNode = TFileInfo::FindNodeByHandle(aNodeHandle);
    if (FNode == nullptr) return true;
    switch (FNode->BeginUpload(FJob)) {
    case TUploadStart::Nothing:
      AnnounceKeptLocalLocked(*FNode);
      return true;
    case TUploadStart::Broken:
      return false;
    case TUploadStart::Busy:
      FUploadEnded.wait(aGuard);
      break;
    case TUploadStart::Send:
      FReady = true;
      break;
    }
  }
  // The node is busy from here to EndUpload: nothing else sends, moves or deletes it.
  TCommandResult FResult = CheckBeforeSendLocked(aGuard, FJob);
  if (FResult == TCommandResult::Done) FResult = PutUnlocked(aGuard, FJob);
  FLastRefusal = FJob.FOutcome;
  TFileInfo* FNode = TFileInfo::FindNodeByHandle(aNodeHandle);
  const bool FOk = FNode ? FNode->EndUpload(FJob, FResult) : ReportedResult(FResult);
  FUploadEnded.notify_all();
  Transfers().PendingChanged(PendingCount());
  return FOk;
}

TCommandResult TFileSystem::PutUnlocked(TLockGuard& aGuard, TUploadJob& aJob) {
  std::error_code FNoSize;
  TTransfer FTransfer{
      NewTransferId(), TTransfer::TDirection::Upload, aJob.FFullName, 0,
      static_cast<int64_t>(std::filesystem::file_size(Utf16ToUtf8(aJob.FCacheFile), FNoSize))};
  Transfers().TransferStarted(FTransfer);
  // The PUT holds only this node: the tree is free while it runs.
  aGuard.unlock();
  TProgressPace FPace;
  const TCommandResult FResult = aJob.Send(*FRemote, [&](int64_t aDone) {
    FTransfer.FDone = aDone;
    if (FPace.Due()) Transfers().TransferProgress(FTransfer);
  });
  aGuard.lock();
  // A server that does not confirm is asked what it stored, at once: the base of the next save.
  if (FResult == TCommandResult::Done && !aJob.FStored)
    AskVersionUnlocked(aGuard, aJob.FFullName, aJob.FStored); // unanswered: no base
  Transfers().TransferEnded(FTransfer, FResult == TCommandResult::Done);
  return FResult;
}

uint32_t TFileSystem::YunGetFileAttributesW(int RootIndex, LPCWSTR aFileName) {
  const auto FGuard = Lock();
  const std::u16string FName(aFileName);
  if (FName == u"\\") return FILE_ATTRIBUTE_DIRECTORY;
  TFileInfo* FListing = RootListing(RootIndex);
  if (FListing == nullptr) return INVALID_FILE_ATTRIBUTES;
  const uint32_t FAttributes = FListing->GetFileAttributesW(FName);
  if (FAttributes == INVALID_FILE_ATTRIBUTES) SetLastError(ERROR_FILE_NOT_FOUND);
  return FAttributes;
}

bool TFileSystem::YunFindFiles(int RootIndex, LPCWSTR aFileName, std::vector<uint8_t>& Buf) {
  const auto FGuard = Lock();
  TFileInfo* FListing = RootListing(RootIndex);
  if (FListing == nullptr) return false;
  return FListing->FindFile(std::u16string_view(aFileName), Buf);
}

bool TFileSystem::YunFindFiles(int RootIndex, LPCWSTR aFileName,
                               const std::function<void(const TFileInfo&)>& aEach) {
  const auto FGuard = Lock();
  TFileInfo* FListing = RootListing(RootIndex);
  if (FListing == nullptr) return false;
  return FListing->FindFile(std::u16string_view(aFileName), aEach);
}

uint32_t TFileSystem::YunSetFilePointerEx(int RootIndex, uint32_t hFile, int64_t liDistanceToMove,
                                          int64_t* lpNewFilePointer, uint32_t dwMoveMethod) {
  const auto FGuard = Lock();
  const auto FFound = FOpenDic.find(hFile);
  if (FFound == FOpenDic.end()) return Fail(TFacadeFailure::UnknownHandle, WIN_FALSE);
  TSysOpenInfo& FRecord = *FFound->second;
  int64_t FNew = 0;
  switch (dwMoveMethod) {
  case FILE_BEGIN:
    FNew = liDistanceToMove;
    break;
  case FILE_CURRENT:
    FNew = FRecord.Position + liDistanceToMove;
    break;
  case FILE_END: {
    TFileInfo* FNode = ResolveLocked(RootIndex, hFile);
    if (FNode == nullptr) return WIN_FALSE;
    FNew = FNode->Size() + liDistanceToMove;
    break;
  }
  default:
    SetLastError(ERROR_INVALID_PARAMETER);
    return WIN_FALSE;
  }
  if (FNew >= 0) {
    FRecord.Position = FNew;
    if (lpNewFilePointer) *lpNewFilePointer = FNew;
  }
  return WIN_TRUE;
}

bool TFileSystem::YunSetEndOfFile(int RootIndex, uint32_t hFile) {
  const auto FGuard = Lock();
  const int64_t FLength = GetPosition(hFile);
  TFileInfo* FNode = ResolveFileLocked(RootIndex, hFile);
  if (FNode == nullptr || !FNode->SetSize(FLength)) return false;
  RecordLocked(hFile)->Truncated = true;
  return true;
}

uint32_t TFileSystem::YunReadFile(int RootIndex, uint32_t hFile, void* Buffer,
                                  uint32_t nNumberOfBytesToRead, uint32_t* lpNumberOfBytesRead) {
  const auto FGuard = Lock();
  const int64_t FOffset = GetPosition(hFile);
  TFileInfo* FNode = ResolveFileLocked(RootIndex, hFile);
  return Truth(FNode != nullptr &&
               FNode->Read(Buffer, nNumberOfBytesToRead, *lpNumberOfBytesRead, FOffset));
}

std::shared_ptr<TContentFetch> TFileSystem::FetchLocked(TFileInfo& aNode, bool aWhole) {
  bool FStarted = false;
  auto FFetch = aNode.StartFetch(FRemote, FStarted);
  if (!FFetch || (FFetch->Ranged() && !aWhole) || !FFetch->BeginWhole()) return FFetch;
  TTransfer FTransfer{NewTransferId(), TTransfer::TDirection::Download, aNode.FullName(), 0,
                      aNode.Size()};
  std::lock_guard FGuard(FFetchersLock);
  FFetchers.remove_if([](const auto& aFetcher) { return aFetcher.first->Done(); });
  FFetchers.emplace_back(FFetch, std::jthread([FFetch, FTransfer](std::stop_token aStop) mutable {
                           Transfers().TransferStarted(FTransfer);
                           TProgressPace FPace;
                           FFetch->Run(aStop, [&](int64_t aDone, int64_t aTotal) {
                             FTransfer.FDone = aDone;
                             if (aTotal >= 0) FTransfer.FTotal = aTotal;
                             if (FPace.Due()) Transfers().TransferProgress(FTransfer);
                           });
                           Transfers().TransferEnded(FTransfer, FFetch->Succeeded());
                         }));
  return FFetch;
}

bool TFileSystem::PrepareArchive(TLockGuard& aGuard, TFileInfo& aArchive) {
  const uint32_t FHandle = aArchive.Handle();
  if (const auto FSparse = FetchLocked(aArchive, false); FSparse && FSparse->Ranged())
    return BuildRangedArchive(aGuard, FHandle, FSparse, aArchive.Size());
  if (const auto FFetch = FetchLocked(aArchive)) {
    aGuard.unlock(); // the archive's content comes without the lock, like a file's
    FFetch->WaitForEnd();
    aGuard.lock();
  }
  TFileInfo* FNode = TFileInfo::FindNodeByHandle(FHandle);
  if (FNode == nullptr) return false;
  FNode->FinishFetch();
  // Built from the cache file: a failed fetch leaves it unbuilt, and this request stops here.
  return FNode->GetChild() != nullptr;
}

// Only the end-of-central-directory record and the central directory are fetched, by range and
// without the lock; the entries' bytes come when they are read.
bool TFileSystem::BuildRangedArchive(TLockGuard& aGuard, uint32_t aHandle,
                                     const std::shared_ptr<TContentFetch>& aFetch, int64_t aSize) {
  aGuard.unlock();
  std::shared_ptr<TZipArchive> FArchive;
  bool FReached = true;
  try {
    FArchive = std::make_shared<TZipArchive>(
        std::make_unique<TRangeStream>(aFetch, aSize, FRangePool), true);
  } catch (const ERangeUnavailable&) {
    FReached = false;
  } catch (const std::exception&) {
    // not a zip archive: an empty folder
  }
  aGuard.lock();
  TFileInfo* FNode = TFileInfo::FindNodeByHandle(aHandle);
  if (FNode == nullptr) return false;
  FNode->FinishFetch(); // one that disagreed goes, and the listing is asked for again
  if (!FReached) return false;
  if (FNode->ArchiveNotBuilt() && FNode->FetchIs(aFetch)) FNode->BuildArchiveFolder(FArchive);
  return FNode->GetChild() != nullptr;
}

bool TFileSystem::ExtractByRangeLocked(TLockGuard& aGuard, TFileInfo*& aNode) {
  auto* FEntry = dynamic_cast<TZipFileInfo*>(aNode);
  if (FEntry == nullptr || !FEntry->ExtractsByRange()) return true;
  const uint32_t FHandle = FEntry->Handle();
  const auto FArchive = FEntry->ZipFile();
  const auto FIndex = static_cast<size_t>(FEntry->ZipIndex());
  const std::u16string FTarget = FEntry->ExtractionFile(NewTransferId());
  aGuard.unlock();
  bool FDone = false;
  try {
    TFileStream FOut(FTarget, TFileStream::TMode::Create);
    FArchive->Extract(FIndex, FOut);
    FDone = true;
  } catch (const std::exception&) {
    std::error_code FIgnored;
    std::filesystem::remove(Utf16ToUtf8(FTarget), FIgnored);
  }
  aGuard.lock();
  aNode = TFileInfo::FindNodeByHandle(FHandle);
  if (aNode == nullptr) return false;
  if (!FDone) {
    SetLastError(ERROR_UNEXP_NET_ERR); // the archive could not be read: a read error
    return false;
  }
  static_cast<TZipFileInfo*>(aNode)->AdoptExtraction(FTarget);
  return true;
}

uint32_t TFileSystem::YunReadFileAt(int RootIndex, uint32_t hFile, void* Buffer,
                                    uint32_t nNumberOfBytesToRead, int64_t aOffset,
                                    uint32_t* lpNumberOfBytesRead) {
  std::shared_ptr<TContentFetch> FFetch;
  std::shared_ptr<const TFileStream> FContent;
  int64_t FSize = 0;
  {
    auto FGuard = Lock();
    TFileInfo* FNode = ResolveFileLocked(RootIndex, hFile);
    if (FNode == nullptr || !ExtractByRangeLocked(FGuard, FNode)) return WIN_FALSE;
    // A sparse fetch gets its whole GET once reads go on sequentially from the start.
    FFetch = FetchLocked(*FNode, false);
    if (FFetch && FFetch->Ranged() &&
        FFetch->NoteRead(aOffset, aOffset + static_cast<int64_t>(nNumberOfBytesToRead)))
      FetchLocked(*FNode, true);
    if (!FFetch) FContent = FNode->PresentContent(FSize);
    if (!FFetch && !FContent)
      return Truth(FNode->Read(Buffer, nNumberOfBytesToRead, *lpNumberOfBytesRead, aOffset));
  }
  // Content that is all here is copied without the lock: readers of different files, and the
  // rest of both drives, never queue behind a copy.
  if (FContent) {
    const int64_t FWant = std::min<int64_t>(nNumberOfBytesToRead, FSize - aOffset);
    *lpNumberOfBytesRead =
        FWant > 0 ? static_cast<uint32_t>(FContent->ReadAt(Buffer, FWant, aOffset)) : 0;
    if (*lpNumberOfBytesRead == 0) SetLastError(ERROR_HANDLE_EOF);
    return Truth(*lpNumberOfBytesRead != 0);
  }
  // Only this node's readers wait here; the tree is free meanwhile.
  const int64_t FEnd = aOffset + static_cast<int64_t>(nNumberOfBytesToRead);
  const bool FArrived =
      FFetch->Ranged() ? FFetch->Need(aOffset, FEnd, FRangePool) : FFetch->WaitFor(FEnd);
  auto FGuard = Lock();
  TFileInfo* FNode = ResolveFileLocked(RootIndex, hFile);
  if (FNode == nullptr) return WIN_FALSE;
  if (FArrived && FFetch->Ranged() && FFetch->WholeWanted() && FNode->FetchIs(FFetch))
    FetchLocked(*FNode, true);
  // A broken fetch fails the reads still waiting, and one that another reader has already
  // cleared away fails this one too: the next read starts a new fetch.
  if (!FArrived || (!FFetch->Succeeded() && !FNode->FetchIs(FFetch))) {
    FNode->FinishFetch();
    SetLastError(ERROR_UNEXP_NET_ERR);
    return WIN_FALSE;
  }
  if (!FNode->FetchIs(FFetch) || FFetch->Done())
    return Truth(FNode->Read(Buffer, nNumberOfBytesToRead, *lpNumberOfBytesRead, aOffset));
  // Still the node's running fetch, and the range has arrived: those bytes are final, so they
  // are copied without the lock.
  FGuard.unlock();
  *lpNumberOfBytesRead = FFetch->ReadArrived(Buffer, nNumberOfBytesToRead, aOffset);
  if (*lpNumberOfBytesRead == 0) SetLastError(ERROR_HANDLE_EOF);
  return Truth(*lpNumberOfBytesRead != 0);
}

void TFileSystem::YunPrepareListings(int RootIndex, LPCWSTR aPath, bool aArchiveItself) {
  for (;;) {
    std::shared_ptr<TListingFetch> FLoad;
    bool FStarted = false;
    uint32_t FFolder = 0;
    {
      auto FGuard = Lock();
      // The root's own listing too: one that failed at the start is asked for again here.
      TFileInfo* FRootNode = Root(RootIndex);
      TFileInfo* FListing = FRootNode ? FRootNode->Child() : nullptr;
      TFileInfo* FUnlisted = FRootNode && !FListing ? FRootNode
                             : FListing             ? FListing->FirstUnlisted(aPath, aArchiveItself)
                                                    : nullptr;
      if (FUnlisted == nullptr) {
        RefreshStaleLocked(RootIndex, aPath);
        return;
      }
      if (FUnlisted->ArchiveNotBuilt()) {
        if (!PrepareArchive(FGuard, *FUnlisted)) return;
        continue;
      }
      FLoad = FUnlisted->StartListing(FRemote, FStarted);
      if (!FLoad) return;
      FFolder = FUnlisted->Handle();
    }
    if (FStarted)
      FLoad->Run();
    else
      FLoad->Wait();
    const auto FGuard = Lock();
    TFileInfo* FNode = TFileInfo::FindNodeByHandle(FFolder);
    if (FNode == nullptr) return;
    FNode->FinishListing();
    if (FNode->Child() == nullptr) return; // failed: the request answers EIO
    AdoptWaitingLocked();                  // waiting changes of that folder show at once
  }
}

TFileInfo::TKeepTest TFileSystem::OpenNodes() const {
  return [this](const TFileInfo& aNode) { return HasOpensLocked(aNode.Handle()); };
}

void TFileSystem::RefreshStaleLocked(int RootIndex, LPCWSTR aPath) {
  if (FConfig->FRefreshSeconds <= 0) return;
  TFileInfo* FListing = RootListing(RootIndex);
  if (FListing == nullptr) return;
  std::vector<TFileInfo*> FStale;
  FListing->CollectStale(
      aPath, std::chrono::steady_clock::now() - std::chrono::seconds(FConfig->FRefreshSeconds),
      FStale);
  if (FStale.empty()) return;
  std::lock_guard FGuard(FRefreshersLock);
  FRefreshers.remove_if([](const TRefresher& aRefresher) { return aRefresher.FDone->load(); });
  for (TFileInfo* FFolder : FStale) {
    auto FLoad = FFolder->StartRefresh(FRemote);
    if (!FLoad) continue;
    auto FDone = std::make_shared<std::atomic<bool>>(false);
    FRefreshers.push_back({FDone, std::jthread([this, FLoad, FDone, FHandle = FFolder->Handle()] {
                             {
                               auto FLock = Lock();
                               RefreshLocked(FLock, FHandle, FLoad);
                             }
                             *FDone = true;
                           })});
  }
}

void TFileSystem::RefreshLocked(TLockGuard& aGuard, uint32_t aFolder,
                                const std::shared_ptr<TListingFetch>& aLoad) {
  aGuard.unlock();
  aLoad->Run();
  aGuard.lock();
  if (TFileInfo* FFolder = TFileInfo::FindNodeByHandle(aFolder))
    FFolder->FinishListing(OpenNodes());
}

void TFileSystem::YunAwaitContent(int RootIndex, uint32_t hFile) {
  std::shared_ptr<TContentFetch> FFetch;
  {
    const auto FGuard = Lock();
    TFileInfo* FNode = ResolveFileLocked(RootIndex, hFile);
    if (FNode == nullptr) return;
    FFetch = FetchLocked(*FNode);
  }
  if (FFetch) FFetch->WaitForEnd();
}

uint32_t TFileSystem::YunWriteFile(int RootIndex, uint32_t hFile, const void* Buffer,
                                   uint32_t nNumberOfBytesToWrite, uint32_t* lpNumberOfBytesWritten,
                                   void*) {
  const auto FGuard = Lock();
  const int64_t FOffset = GetPosition(hFile);
  TFileInfo* FNode = ResolveFileLocked(RootIndex, hFile);
  if (FNode == nullptr) return WIN_FALSE;
  const bool FOk = FNode->Write(Buffer, nNumberOfBytesToWrite, *lpNumberOfBytesWritten, FOffset);
  // A failed write changed the content too (in part): the close must report it.
  RecordLocked(hFile)->Wrote = true;
  return Truth(FOk);
}

uint32_t TFileSystem::YunFlushFileBuffers(int RootIndex, uint32_t hFile, bool aWrittenOnly) {
  auto FGuard = Lock();
  TSysOpenInfo* FRecord = RecordLocked(hFile);
  if (FRecord == nullptr) return Fail(TFacadeFailure::UnknownHandle, WIN_FALSE);
  TFileInfo* FNode = ResolveLocked(RootIndex, hFile);
  if (FNode == nullptr || FNode->IsDir() || FDetached.contains(FRecord->hFileInfo)) return WIN_TRUE;
  const uint32_t FNodeHandle = FNode->Handle();
  if (!CarryOutMoveLocked(FGuard, FNodeHandle)) return WIN_FALSE;
  FRecord = RecordLocked(hFile);
  if (FRecord == nullptr || (!FRecord->Wrote && !FRecord->Truncated)) return WIN_TRUE;
  // A creation or emptying that no write followed is sent at the release, after the last
  // descriptor: it is recorded now, so that close(2) returning means it is kept.
  if (!FRecord->Wrote && aWrittenOnly) return Truth(FNode->RecordPending());
  // Cleared before the send: writes during it set them again for the next close.
  FRecord->Wrote = FRecord->Truncated = false;
  const bool FSent = SendLocked(FGuard, FNodeHandle);
  if (!FSent) TellSaveFailedLocked(FNodeHandle);
  FNode = TFileInfo::FindNodeByHandle(FNodeHandle);
  // A failed upload is pending now: the retries send it, not this open's release again.
  if (!FSent && (FRecord = RecordLocked(hFile)) && FNode && !FNode->Pending())
    FRecord->Wrote = true;
  return Truth(FSent);
}

uint32_t TFileSystem::YunGetFileSize(int RootIndex, uint32_t hFile, uint32_t* lpFileSizeHigh) {
  const auto FGuard = Lock();
  TFileInfo* FNode = ResolveFileLocked(RootIndex, hFile);
  if (FNode == nullptr) return 0;
  const auto FSize = static_cast<uint64_t>(FNode->Size());
  if (lpFileSizeHigh) *lpFileSizeHigh = static_cast<uint32_t>(FSize >> 32);
  SetLastError(ERROR_SUCCESS); // tells a size whose low half is 0xFFFFFFFF from a failure
  return static_cast<uint32_t>(FSize);
}

bool TFileSystem::YunGetFileSizeEx(int RootIndex, uint32_t hFile, int64_t* fileSize) {
  const auto FGuard = Lock();
  if (TFileInfo* FNode = ResolveFileLocked(RootIndex, hFile)) *fileSize = FNode->Size();
  return true;
}

namespace {

void FillInformation(const TFileInfo& aNode, BY_HANDLE_FILE_INFORMATION* lpFileInformation) {
  const auto FSize = static_cast<uint64_t>(aNode.Size());
  lpFileInformation->dwFileAttributes = aNode.FileAttributes();
  lpFileInformation->ftCreationTime = aNode.CreationTime();
  lpFileInformation->ftLastAccessTime = aNode.LastAccessTime();
  lpFileInformation->ftLastWriteTime = aNode.LastWriteTime();
  lpFileInformation->dwVolumeSerialNumber = 0;
  lpFileInformation->nFileSizeHigh = static_cast<uint32_t>(FSize >> 32);
  lpFileInformation->nFileSizeLow = static_cast<uint32_t>(FSize);
  lpFileInformation->nNumberOfLinks = 0;
  lpFileInformation->nFileIndexHigh = 0;
}

} // namespace

uint32_t TFileSystem::YunGetFileInformationByHandle(int RootIndex, uint32_t hFile,
                                                    BY_HANDLE_FILE_INFORMATION* lpFileInformation) {
  const auto FGuard = Lock();
  TFileInfo* FRootNode = Root(RootIndex);
  if (FRootNode == nullptr) return Fail(TFacadeFailure::BadRoot, WIN_FALSE);
  TFileInfo* FNode = OpenInfoToFileInfo(hFile) == FRootNode->Handle()
                         ? FRootNode
                         : ResolveLocked(RootIndex, hFile);
  if (FNode == nullptr) return WIN_FALSE;
  FillInformation(*FNode, lpFileInformation);
  return WIN_TRUE;
}

uint32_t TFileSystem::YunGetFileInformationByName(int RootIndex, LPCWSTR aFileName,
                                                  BY_HANDLE_FILE_INFORMATION* lpFileInformation) {
  const auto FGuard = Lock();
  TFileInfo* FRootNode = Root(RootIndex);
  if (FRootNode == nullptr) return Fail(TFacadeFailure::BadRoot, WIN_FALSE);
  TFileInfo* FNode = FRootNode;
  if (std::u16string_view(aFileName) != u"\\") {
    std::u16string FLast;
    TFileInfo* FFolder = FolderOfLocked(RootIndex, aFileName, FLast);
    if (FFolder == nullptr) return WIN_FALSE;
    FNode = FFolder->ThisFindFile(FLast);
    if (FNode == nullptr) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return WIN_FALSE;
    }
  }
  FillInformation(*FNode, lpFileInformation);
  return WIN_TRUE;
}

bool TFileSystem::YunDeleteFile(int RootIndex, LPCWSTR FileName) {
  auto FGuard = Lock();
  // A node being sent is deleted after its PUT.
  TFileInfo* FNode = nullptr;
  if (!UntilIdleLocked(FGuard, [&] {
        std::u16string FLast;
        TFileInfo* FFolder = FolderOfLocked(RootIndex, FileName, FLast);
        return FFolder != nullptr && (FNode = FFolder->BeginDelete(FLast)) != nullptr;
      }))
    return false;
  // The node is busy meanwhile, so it is still there afterwards.
  const uint32_t FNodeHandle = FNode->Handle();
  const TCommandResult FResult = FNode->OnServer()
                                     ? CommandUnlocked(FGuard, DeleteRequest(FNode->FullName()))
                                     : TCommandResult::Done; // the server never had it
  std::unique_ptr<TFileInfo> FRemoved;
  const bool FDone =
      TFileInfo::EndDelete(TFileInfo::FindNodeByHandle(FNodeHandle), FResult, FRemoved);
  FUploadEnded.notify_all();
  if (!FDone) return false;
  // Still open elsewhere: usable through those opens until the last one closes.
  if (FRemoved && !FRemoved->IsDir() && HasOpensLocked(FRemoved->Handle())) {
    FDetached[FRemoved->Handle()] = std::move(FRemoved);
    return true;
  }
  if (FRemoved && !FRemoved->IsDir()) {
    std::error_code FIgnored;
    std::filesystem::remove(Utf16ToUtf8(FRemoved->CacheFileName()), FIgnored);
  }
  return true;
}

bool TFileSystem::YunMoveFile(int RootIndex, uint32_t hFile, LPCWSTR Filename, LPCWSTR NewFileName,
                              bool ReplaceIfExisting) {
  const auto FGuard = Lock();
  TFileInfo* FNode = ResolveLocked(RootIndex, hFile);
  if (FNode == nullptr) return false;
  FNode->SetRenameOnClose({Filename, NewFileName, ReplaceIfExisting}, RootListing(RootIndex));
  return true;
}

bool TFileSystem::YunCreateDirectoryW(int RootIndex, LPCWSTR aFileName) {
  auto FGuard = Lock();
  std::u16string FLast;
  TFileInfo* FFolder = FolderOfLocked(RootIndex, aFileName, FLast);
  TFileInfo* FNew = FFolder ? FFolder->BeginCreateDirectory(FLast) : nullptr;
  if (FNew == nullptr) return false;
  // The new folder is busy meanwhile, so it is still there afterwards.
  const uint32_t FNodeHandle = FNew->Handle();
  const TCommandResult FResult = CommandUnlocked(FGuard, MkdirRequest(FNew->FullName()));
  const bool FMade =
      TFileInfo::EndCreateDirectory(TFileInfo::FindNodeByHandle(FNodeHandle), FResult);
  FUploadEnded.notify_all();
  return FMade;
}

bool TFileSystem::CarryOutMoveLocked(TLockGuard& aGuard, uint32_t aNodeHandle) {
  TMovePlan FPlan;
  if (!UntilIdleLocked(aGuard, [&] {
        TFileInfo* FNode = TFileInfo::FindNodeByHandle(aNodeHandle);
        return FNode == nullptr || FNode->BeginPendingMove(FPlan);
      }))
    return false;
  if (FPlan.FSource == 0) return true; // none pending
  // The nodes are busy meanwhile, so they are all still there afterwards.
  TFileInfo* FSource = TFileInfo::FindNodeByHandle(FPlan.FSource);
  if (FSource->SavesByRename(FPlan)) return SaveByRenameLocked(aGuard, FPlan);
  const TCommandResult FResult =
      FPlan.FSend ? CommandUnlocked(aGuard, MoveRequest(FPlan.FOldFullName, FPlan.FNewFullName))
                  : TCommandResult::Done; // the server does not have it: the tree's move alone
  const bool FMoved = EndMoveLocked(FPlan, FResult);
  FUploadEnded.notify_all();
  return FMoved;
}

bool TFileSystem::EndMoveLocked(const TMovePlan& aPlan, TCommandResult aResult) {
  std::unique_ptr<TFileInfo> FReplaced;
  if (!TFileInfo::EndMove(aPlan, aResult, &FReplaced)) return false;
  // A file replaced while open stays readable through its opens, as on a local disk.
  if (FReplaced && !FReplaced->IsDir() && HasOpensLocked(FReplaced->Handle()))
    FDetached[FReplaced->Handle()] = std::move(FReplaced);
  return true;
}

bool TFileSystem::SaveByRenameLocked(TLockGuard& aGuard, TMovePlan& aPlan) {
  TUploadJob FJob;
  TFileInfo* FSource = TFileInfo::FindNodeByHandle(aPlan.FSource);
  if (FSource->BeginSaveByRename(aPlan, FJob) != TUploadStart::Send) {
    TFileInfo::EndMove(aPlan, TCommandResult::Failed); // never sent: the tree stays as it was
    FUploadEnded.notify_all();
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  TCommandResult FResult = CheckReplacedLocked(aGuard, aPlan, FJob);
  if (FResult == TCommandResult::Done) FResult = PutUnlocked(aGuard, FJob);
  // The old name on the server (a kept-local file someone uploaded) goes with the save.
  if (FResult == TCommandResult::Done && aPlan.FSend)
    CommandUnlocked(aGuard, DeleteRequest(aPlan.FOldFullName));
  const bool FMoved = EndMoveLocked(aPlan, FResult);
  // Failed: the temporary file stays where it was, with its content; done: the moved node holds
  // the server's version now.
  if (FMoved)
    if (TFileInfo* FSaved = TFileInfo::FindNodeByHandle(FJob.FHandle))
      FSaved->EndUpload(FJob, FResult);
  FUploadEnded.notify_all();
  Transfers().PendingChanged(PendingCount());
  return FMoved;
}

TCommandResult TFileSystem::CheckReplacedLocked(TLockGuard& aGuard, TMovePlan& aPlan,
                                                TUploadJob& aJob) {
  // The document the save replaces carries the version its editor opened.
  const TFileInfo* FTarget = aPlan.FTarget ? TFileInfo::FindNodeByHandle(aPlan.FTarget) : nullptr;
  const auto FBase = FTarget ? FTarget->Base() : std::nullopt;
  if (!FBase) return TCommandResult::Done;
  std::optional<TServerVersion> FNow;
  if (!AskVersionUnlocked(aGuard, aJob.FFullName, FNow)) return TCommandResult::Failed;
  if (!FNow || *FNow == *FBase) return TCommandResult::Done;
  // Saved elsewhere meanwhile: that version keeps the name, this content goes beside it.
  const std::u16string FDocument = aJob.FFullName;
  TFileInfo::RetargetMove(aPlan, aPlan.FTo->FreeConflictName(aPlan.FNewLast, FConfig->FStudent));
  aJob.FFullName = aPlan.FNewFullName;
  Transfers().Conflict(FDocument, aJob.FFullName);
  return TCommandResult::Done;
}

TCommandResult TFileSystem::CommandUnlocked(TLockGuard& aGuard, const std::u16string& aCommand) {
  aGuard.unlock();
  TChangeAnswer FAnswer;
  const TCommandResult FResult = FRemote->Command(aCommand, FAnswer);
  aGuard.lock();
  return FResult;
}

} // namespace zelvo
