#include "drive/WriteBackQueue.h"

#include <algorithm>
#include <iostream>
#include <set>

#include "common/TextCodec.h"
#include "drive/TransferObserver.h"

namespace zelvo {

TWriteBackQueue::TWriteBackQueue(std::u16string aServer, int32_t aPort, std::u16string aRoot,
                                 TPendingJournal& aJournal, TTry aTry, TGiveUp aGiveUp)
    : FServer(std::move(aServer)), FPort(aPort), FRoot(std::move(aRoot)), FJournal(aJournal),
      FTry(std::move(aTry)), FGiveUp(std::move(aGiveUp)) {}

std::vector<TPendingEntry> TWriteBackQueue::Waiting() const {
  return FJournal.EntriesBelow(FServer, FPort, FRoot);
}

void TWriteBackQueue::Postpone(TSchedule& aSchedule, TClock::time_point aNow) {
  aSchedule.FNext = aNow + aSchedule.FDelay;
  aSchedule.FDelay = std::min<TClock::duration>(aSchedule.FDelay * 2, kLastDelay);
}

TWriteBackQueue::TClock::time_point TWriteBackQueue::RunDue(TClock::time_point aNow) {
  std::lock_guard FGuard(FLock);
  const auto FEntries = Waiting();
  std::set<std::u16string> FNames;
  for (const auto& FEntry : FEntries)
    FNames.insert(FEntry.FFullName);
  std::erase_if(FSchedule, [&](const auto& aItem) { return !FNames.contains(aItem.first); });
  auto FNextDue = TClock::time_point::max();
  std::optional<TClock::time_point> FServerBack; // set once the server did not answer
  for (const auto& FEntry : FEntries) {
    TSchedule& FItem = FSchedule[FEntry.FFullName];
    if (FItem.FNext == TClock::time_point{}) FItem.FNext = aNow; // new: due at once
    if (FServerBack && FItem.FNext <= aNow) FItem.FNext = *FServerBack;
    if (FItem.FNext > aNow) {
      FNextDue = std::min(FNextDue, FItem.FNext);
      continue;
    }
    const TTryOutcome FOutcome = FTry(FEntry);
    Settle(FEntry, FOutcome, FItem, aNow);
    // Settle may have ended the entry's schedule (FItem is gone then).
    const auto FAfter = FSchedule.find(FEntry.FFullName);
    if (FAfter == FSchedule.end()) continue;
    if (FOutcome.FKind == TTryKind::NotNow) FServerBack = FAfter->second.FNext;
    FNextDue = std::min(FNextDue, FAfter->second.FNext);
  }
  return FNextDue;
}

void TWriteBackQueue::Settle(const TPendingEntry& aEntry, const TTryOutcome& aOutcome,
                             TSchedule& aSchedule, TClock::time_point aNow) {
  // The try may have sent it, or a close may have replaced it meanwhile: the journal says.
  auto FNow = FJournal.Find(aEntry.FServer, aEntry.FPort, aEntry.FFullName);
  switch (aOutcome.FKind) {
  case TTryKind::Sent:
    if (!FNow) {
      FSchedule.erase(aEntry.FFullName);
      return;
    }
    aSchedule = {aNow + kFirstDelay, kFirstDelay}; // a newer change of it waits
    return;
  case TTryKind::Held:
    aSchedule.FNext = aNow + kFirstDelay;
    return;
  case TTryKind::NotNow:
    Postpone(aSchedule, aNow);
    break;
  case TTryKind::Refused:
  case TTryKind::Full:
    if (!FNow) break;
    ++FNow->FRefusals;
    Postpone(aSchedule, aNow);
    break;
  }
  if (!FNow) {
    FSchedule.erase(aEntry.FFullName);
    return;
  }
  FNow->FLastOutcome = aOutcome.FText;
  Transfers().RetryFailed(aEntry.FFullName, aOutcome.FText);
  if (FNow->FRefusals < kMaxRefusals) {
    FJournal.Add(*FNow); // a failed write keeps the count in memory: the next try writes it
    return;
  }
  if (FGiveUp(*FNow)) {
    FSchedule.erase(aEntry.FFullName);
    return;
  }
  aSchedule.FNext = aNow + kLastDelay;
}

void TWriteBackQueue::Start() {
  FThread = std::jthread([this](std::stop_token aStop) { Loop(aStop); });
}

void TWriteBackQueue::Stop() {
  FThread.request_stop();
  if (FThread.joinable()) FThread.join();
}

void TWriteBackQueue::Loop(std::stop_token aStop) {
  while (!aStop.stop_requested()) {
    auto FNext = TClock::now() + kFirstDelay; // new entries are looked for this often
    try {
      FNext = std::min(FNext, RunDue(TClock::now()));
    } catch (const std::exception& aError) {
      std::cerr << "zelvo: sending pending changes: " << aError.what() << std::endl;
    }
    std::unique_lock FWait(FWaitLock);
    FWake.wait_until(FWait, aStop, FNext, [] { return false; });
  }
}

} // namespace zelvo
