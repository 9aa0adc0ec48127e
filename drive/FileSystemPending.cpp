// The facade's side of pending changes: the write-back queue's tries and give-ups, the changes
// of earlier runs at login.
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <set>

#include "common/LocalFolders.h"
#include "common/TextCodec.h"
#include "drive/FileSystem.h"
#include "drive/TransferObserver.h"
#include "platform/TcpSocket.h"
#include "protocol/YunClientUnit.h"

namespace zelvo {
namespace {

// "\root\\a\b" -> "\a\b": the drive path of a full name below aRoot.
std::u16string DrivePathOf(const std::u16string& aFullName, const std::u16string& aRoot) {
  return aFullName.substr(aRoot.size() + 1);
}

// "<folder>\<conflict name of the last part>" for this user, now.
std::u16string ConflictPath(const std::u16string& aFullName, const std::u16string& aStudent) {
  const auto FSlash = aFullName.rfind(u'\\');
  const std::time_t FNow = std::time(nullptr);
  std::tm FLocal{};
  ::localtime_r(&FNow, &FLocal);
  return aFullName.substr(0, FSlash + 1) +
         ConflictName(std::u16string_view(aFullName).substr(FSlash + 1), aStudent, FLocal);
}

void Forget(const TPendingEntry& aEntry) {
  PendingChanges().Remove(aEntry.FServer, aEntry.FPort, aEntry.FFullName);
  std::error_code FIgnored;
  std::filesystem::remove(Utf16ToUtf8(aEntry.FCacheFile), FIgnored);
}

// An entry whose content file is gone (removed by hand) has nothing left to send: it is dropped
// instead of failing every attempt, or the login that adopts it.
bool ForgetIfGone(const TPendingEntry& aEntry) {
  std::error_code FIgnored;
  if (std::filesystem::exists(Utf16ToUtf8(aEntry.FCacheFile), FIgnored)) return false;
  std::cerr << "zelvo: the pending change of " << Utf16ToUtf8(aEntry.FFullName)
            << " lost its content file and is dropped" << std::endl;
  PendingChanges().Remove(aEntry.FServer, aEntry.FPort, aEntry.FFullName);
  return true;
}

TTryOutcome OutcomeOf(TCommandResult aResult, const std::u16string& aText) {
  switch (aResult) {
  case TCommandResult::Done:
    return {TTryKind::Sent, u"OK"};
  case TCommandResult::Refused:
    return {TTryKind::Refused, aText.empty() ? u"refused" : aText};
  case TCommandResult::Full:
    return {TTryKind::Full, std::u16string(kDiskFullRefusal)};
  case TCommandResult::Failed:
    break;
  }
  return {TTryKind::NotNow, u"not delivered"};
}

// The outcome of a failed send through the tree, from the code it left (ReportedResult's).
TTryOutcome OutcomeOfError(uint32_t aError, const std::u16string& aRefusal) {
  return OutcomeOf(aError == ERROR_ACCESS_DENIED ? TCommandResult::Refused
                   : aError == ERROR_DISK_FULL   ? TCommandResult::Full
                                                 : TCommandResult::Failed,
                   aRefusal);
}

// A path element made of the server's name: never a separator, never "." or "..".
std::filesystem::path SafeFolderName(const std::u16string& aServer) {
  std::string FName = Utf16ToUtf8(aServer);
  std::replace(FName.begin(), FName.end(), '/', '_');
  if (FName.empty() || FName == "." || FName == "..") FName = "_" + FName;
  return FName;
}

// aPath itself when nothing is there yet, else "<stem> (n)<ext>" for the first free n.
std::filesystem::path FreePath(const std::filesystem::path& aPath) {
  std::error_code FIgnored;
  std::filesystem::path FFree = aPath;
  for (int FNumber = 2; std::filesystem::exists(FFree, FIgnored); ++FNumber)
    FFree = aPath.parent_path() / (aPath.stem().string() + " (" + std::to_string(FNumber) + ")" +
                                   aPath.extension().string());
  return FFree;
}

} // namespace

std::filesystem::path TFileSystem::RecoveryPathOf(const TPendingEntry& aEntry) const {
  // "<recovery>/<server>/<path within the drive>"; parts that would leave a folder are dropped.
  std::filesystem::path FPath =
      std::filesystem::path(Utf16ToUtf8(FRecovery)) / SafeFolderName(aEntry.FServer);
  const std::u16string FDrivePath = DrivePathOf(aEntry.FFullName, FOwnRoot);
  for (size_t FAt = 0; FAt <= FDrivePath.size();) {
    const size_t FEnd = std::min(FDrivePath.find(u'\\', FAt), FDrivePath.size());
    const std::u16string FPart = FDrivePath.substr(FAt, FEnd - FAt);
    if (!FPart.empty() && FPart != u"." && FPart != u"..") FPath /= Utf16ToUtf8(FPart);
    FAt = FEnd + 1;
  }
  return FPath;
}

TCommandResult TFileSystem::PutJournalled(const TPendingEntry& aEntry, std::u16string& aText) {
  std::u16string FTarget = aEntry.FFullName;
  if (aEntry.FBase) {
    std::optional<TServerVersion> FNow;
    if (!FRemote->AskVersion(FTarget, FNow)) return TCommandResult::Failed;
    // Saved elsewhere since this content was made: it goes beside that version.
    if (FNow && *FNow != *aEntry.FBase) FTarget = ConflictPath(FTarget, FConfig->FStudent);
  }
  TUploadJob FJob{0, FTarget, aEntry.FCacheFile, 0};
  const TCommandResult FResult = FJob.Send(*FRemote);
  aText = FJob.FOutcome;
  if (FResult == TCommandResult::Done && FTarget != aEntry.FFullName)
    Transfers().Conflict(aEntry.FFullName, FTarget);
  return FResult;
}

void TFileSystem::AdoptWaitingLocked() {
  if (!FQueue) return;
  for (const auto& FEntry : FQueue->Waiting())
    AdoptLocked(FEntry);
}

TFileInfo* TFileSystem::AdoptLocked(const TPendingEntry& aEntry) {
  std::u16string FLast;
  TFileInfo* FFolder = PendingFolderLocked(aEntry, FLast);
  if (FFolder == nullptr || !FFolder->FileCanMove()) return nullptr;
  TFileInfo* FNode = FFolder->ThisFindFile(FLast);
  // Changed here since (or already shown): that content is the newer one.
  if (FNode != nullptr && FNode->Sync() != TSync::Clean) return FNode;
  return FFolder->AdoptPendingFile(FLast, aEntry.FCacheFile, aEntry.FBase);
}

TFileInfo* TFileSystem::PendingFolderLocked(const TPendingEntry& aEntry, std::u16string& aLast) {
  TFileInfo* FRootListing = FRoot[0] ? FRoot[0]->Child() : nullptr;
  const std::u16string FPath = DrivePathOf(aEntry.FFullName, FOwnRoot);
  // A folder along the path that is not listed holds no node, and is not listed for this.
  if (FRootListing == nullptr || FRootListing->FirstUnlisted(FPath) != nullptr) return nullptr;
  return FRootListing->GetDirectory(FPath, aLast);
}

TFileInfo* TFileSystem::PendingNodeLocked(const TPendingEntry& aEntry) {
  std::u16string FLast;
  TFileInfo* FFolder = PendingFolderLocked(aEntry, FLast);
  return FFolder ? FFolder->ThisFindFile(FLast) : nullptr;
}

TTryOutcome TFileSystem::TryPendingEntry(const TPendingEntry& aEntry) {
  auto FGuard = Lock();
  if (ForgetIfGone(aEntry)) return {TTryKind::Sent, u"content gone"};
  // Shown on the drive as soon as its folder is: a program never edits the older version.
  TFileInfo* FNode = AdoptLocked(aEntry);
  if (FNode == nullptr) {
    // Not in the tree (its folder is gone from it, or not listed): straight from the content
    // file, the tree free meanwhile.
    FGuard.unlock();
    std::u16string FText;
    const TCommandResult FResult = PutJournalled(aEntry, FText);
    if (FResult == TCommandResult::Done) Forget(aEntry);
    return OutcomeOf(FResult, FText);
  }
  if (!FNode->Pending()) {
    // A file made here since, under that name: its content is the newer one (and may live in
    // the entry's file, which then stays).
    if (FNode->CacheFileName() == aEntry.FCacheFile)
      PendingChanges().Remove(aEntry.FServer, aEntry.FPort, aEntry.FFullName);
    else
      Forget(aEntry);
    return {TTryKind::Sent, u"replaced here"};
  }
  // An open node is sent by its own close.
  if (HasOpensLocked(FNode->Handle())) return {TTryKind::Held, {}};
  if (!SendLocked(FGuard, FNode->Handle())) return OutcomeOfError(GetLastError(), FLastRefusal);
  Transfers().SentLater(aEntry.FFullName);
  return {TTryKind::Sent, u"OK"};
}

bool TFileSystem::GiveUpPendingEntry(const TPendingEntry& aEntry) {
  namespace fs = std::filesystem;
  std::error_code FError;
  fs::path FTarget = RecoveryPathOf(aEntry);
  MakePrivateFolder(fs::path(Utf16ToUtf8(FRecovery)));
  fs::create_directories(FTarget.parent_path(), FError);
  FTarget = FreePath(FTarget);
  // Whole or not at all: the student never finds half a file under the name.
  fs::path FPart = FTarget;
  FPart += ".part";
  if (!FError)
    fs::copy_file(Utf16ToUtf8(aEntry.FCacheFile), FPart, fs::copy_options::overwrite_existing,
                  FError);
  if (!FError && !SyncToDisk(FPart)) FError = std::make_error_code(std::errc::io_error);
  if (!FError) fs::rename(FPart, FTarget, FError);
  if (FError || !SyncToDisk(FTarget)) {
    std::error_code FIgnored;
    fs::remove(FPart, FIgnored);
    std::cerr << "zelvo: the change of " << Utf16ToUtf8(aEntry.FFullName)
              << " that the server refused could not be kept in " << FTarget.string() << ": "
              << (FError ? FError.message() : "not written to the disk") << std::endl;
    return false;
  }
  {
    const auto FGuard = Lock();
    PendingChanges().Remove(aEntry.FServer, aEntry.FPort, aEntry.FFullName);
    TFileInfo* FNode = PendingNodeLocked(aEntry);
    if (FNode != nullptr && FNode->Pending())
      FNode->GiveUpPending();
    else if (FNode == nullptr)
      fs::remove(Utf16ToUtf8(aEntry.FCacheFile), FError);
  }
  Transfers().Unsendable(aEntry.FFullName, Utf8ToUtf16(FTarget.string()), aEntry.FLastOutcome);
  Transfers().PendingChanged(PendingCount());
  return true;
}

bool TFileSystem::RetryPendingChanges() {
  if (!FQueue) return true;
  FQueue->RunDue(TWriteBackQueue::TClock::now());
  return FQueue->Waiting().empty();
}

std::vector<std::u16string> TFileSystem::PendingFiles() const {
  std::vector<std::u16string> FNames;
  if (!FQueue) return FNames;
  for (const auto& FEntry : FQueue->Waiting())
    FNames.push_back(DrivePathOf(FEntry.FFullName, FOwnRoot));
  return FNames;
}

size_t TFileSystem::PendingCount() const {
  return FQueue ? FQueue->Waiting().size() : 0;
}

std::vector<std::u16string> TFileSystem::UnsentOpens() {
  const auto FGuard = Lock();
  std::set<std::u16string> FNames;
  for (const auto& [FHandle, FRecord] : FOpenDic) {
    if (!FRecord->Wrote && !FRecord->Truncated) continue;
    const TFileInfo* FNode = TFileInfo::FindNodeByHandle(FRecord->hFileInfo);
    if (FNode == nullptr) continue;
    const std::u16string FFullName = FNode->FullName();
    // The shared drive is read-only: only the own drive has writers.
    if (FFullName.size() > FOwnRoot.size() && FFullName.starts_with(FOwnRoot))
      FNames.insert(DrivePathOf(FFullName, FOwnRoot));
  }
  return {FNames.begin(), FNames.end()};
}

void TFileSystem::StopRetries() {
  if (FQueue) FQueue->Stop();
}

void TFileSystem::CancelExchanges() {
  FRemote->CancelAll();
}

TFileSystem::~TFileSystem() {
  CancelExchanges();
}

} // namespace zelvo
