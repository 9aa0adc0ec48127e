// The facade's side of pending changes: sending those of earlier runs at login, and retrying
// those of this run in the background.
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <set>

#include "common/Globals.h"
#include "common/TextCodec.h"
#include "drive/FileSystem.h"
#include "drive/TransferObserver.h"
#include "platform/TcpSocket.h"
#include "protocol/YunClientUnit.h"

namespace zelvo {
namespace {

constexpr auto kFirstRetry = std::chrono::milliseconds(500);
constexpr auto kLastRetry = std::chrono::seconds(8);

// "\root\\a\b" -> "\a\b": the drive path of a full name below aRoot.
std::u16string DrivePathOf(const std::u16string& aFullName, const std::u16string& aRoot) {
  return aFullName.substr(aRoot.size() + 1);
}

// "<folder>\<conflict name of the last part>" for this user, now.
std::u16string ConflictPath(const std::u16string& aFullName) {
  const auto FSlash = aFullName.rfind(u'\\');
  const std::time_t FNow = std::time(nullptr);
  std::tm FLocal{};
  ::localtime_r(&FNow, &FLocal);
  return aFullName.substr(0, FSlash + 1) +
         ConflictName(std::u16string_view(aFullName).substr(FSlash + 1), OwnerName, FLocal);
}

void Forget(const TPendingEntry& aEntry) {
  PendingChanges().Remove(aEntry.FServer, aEntry.FFullName);
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
  PendingChanges().Remove(aEntry.FServer, aEntry.FFullName);
  return true;
}

} // namespace

TCommandResult TFileSystem::PutJournalled(const TPendingEntry& aEntry) {
  std::u16string FTarget = aEntry.FFullName;
  if (aEntry.FBase) {
    std::optional<TServerVersion> FNow;
    TYunClient FAsk(aEntry.FServer, FPort, FTimeOut, FConfirms);
    if (!AskServerVersion(FAsk, FTarget, FConfirms, FNow)) return TCommandResult::Failed;
    // Saved elsewhere since this content was made: it goes beside that version.
    if (FNow && *FNow != *aEntry.FBase) FTarget = ConflictPath(FTarget);
  }
  TUploadJob FJob{0, FTarget, aEntry.FCacheFile, 0};
  const TCommandResult FResult = FJob.Send(aEntry.FServer, FPort, FTimeOut, FConfirms);
  if (FResult == TCommandResult::Done && FTarget != aEntry.FFullName)
    Transfers().Conflict(aEntry.FFullName, FTarget);
  return FResult;
}

void TFileSystem::SendPendingOfEarlierRuns() {
  if (!FRoot[0]) return;
  bool FServerDown = false;
  for (const auto& FEntry : PendingChanges().EntriesBelow(FServer, {FOwnRoot})) {
    if (ForgetIfGone(FEntry)) continue;
    if (!FServerDown) {
      const TCommandResult FResult = PutJournalled(FEntry);
      if (FResult == TCommandResult::Done) {
        Forget(FEntry);
        continue;
      }
      FServerDown = FResult == TCommandResult::Failed;
    }
    // Not taken: shown on the drive with its local content, sent again later.
    std::u16string FLast;
    TFileInfo* FFolder =
        FRoot[0]->GetChild()->GetDirectory(DrivePathOf(FEntry.FFullName, FOwnRoot), FLast);
    if (FFolder != nullptr && FFolder->FileCanMove())
      FFolder->AdoptPendingFile(FLast, FEntry.FCacheFile, FEntry.FBase);
  }
}

bool TFileSystem::ServerAnswers() const {
  TTcpSocket FProbe;
  return FProbe.Connect(Utf16ToUtf8(FServer), static_cast<uint16_t>(FPort), FTimeOut);
}

bool TFileSystem::SendPendingEntryLocked(TLockGuard& aGuard, const TPendingEntry& aEntry) {
  std::u16string FLast;
  TFileInfo* FFolder =
      FRoot[0]->GetChild()->GetDirectory(DrivePathOf(aEntry.FFullName, FOwnRoot), FLast);
  TFileInfo* FNode = FFolder ? FFolder->ThisFindFile(FLast) : nullptr;
  if (FNode == nullptr) {
    // Not in the tree (its folder is gone from it): straight from the cache file, the tree free
    // meanwhile.
    if (ForgetIfGone(aEntry)) return true;
    aGuard.unlock();
    const TCommandResult FResult = PutJournalled(aEntry);
    aGuard.lock();
    if (FResult != TCommandResult::Done) return false;
    Forget(aEntry);
    return true;
  }
  if (!FNode->Pending()) {
    // A file made here since, under that name: its content is the newer one.
    Forget(aEntry);
    return true;
  }
  // An open node is sent by its own close.
  if (HasOpensLocked(FNode->Handle())) return false;
  if (!SendLocked(aGuard, FNode->Handle())) return false;
  Transfers().SentLater(aEntry.FFullName);
  return true;
}

bool TFileSystem::RetryPendingChanges() {
  if (!FRoot[0]) return true;
  const auto FEntries = PendingChanges().EntriesBelow(FServer, {FOwnRoot});
  if (FEntries.empty()) return true;
  if (!ServerAnswers()) return false;
  auto FGuard = Lock();
  bool FAllSent = true;
  for (const auto& FEntry : FEntries)
    FAllSent = SendPendingEntryLocked(FGuard, FEntry) && FAllSent;
  return FAllSent;
}

std::vector<std::u16string> TFileSystem::PendingFiles() const {
  std::vector<std::u16string> FNames;
  for (const auto& FEntry : PendingChanges().EntriesBelow(FServer, {FOwnRoot}))
    FNames.push_back(DrivePathOf(FEntry.FFullName, FOwnRoot));
  return FNames;
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
  FRetrier.request_stop();
  if (FRetrier.joinable()) FRetrier.join();
}

void TFileSystem::RetryLoop(std::stop_token aStop) {
  auto FDelay = std::chrono::duration_cast<std::chrono::milliseconds>(kFirstRetry);
  while (!aStop.stop_requested()) {
    {
      std::unique_lock FWait(FRetryLock);
      FRetryWake.wait_for(FWait, aStop, FDelay, [] { return false; });
    }
    if (aStop.stop_requested()) return;
    try {
      FDelay = RetryPendingChanges()
                   ? std::chrono::duration_cast<std::chrono::milliseconds>(kFirstRetry)
                   : std::min<std::chrono::milliseconds>(FDelay * 2, kLastRetry);
    } catch (const std::exception& aError) {
      std::cerr << "zelvo: sending pending changes: " << aError.what() << std::endl;
      FDelay = kLastRetry;
    }
  }
}

} // namespace zelvo
