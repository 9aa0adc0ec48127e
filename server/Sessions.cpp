#include "server/Sessions.h"

#include <algorithm>

namespace zelvo::server {
namespace {

constexpr std::chrono::minutes kStoreEvery{1};

int64_t SecondsOf(TWallClock::time_point aTime) {
  return std::chrono::duration_cast<std::chrono::seconds>(aTime.time_since_epoch()).count();
}

} // namespace

TSessions::TSessions(TAccounts& aAccounts, std::chrono::milliseconds aIdle)
    : FAccounts(aAccounts), FIdle(aIdle) {
  const auto FNow = TWallClock::now();
  for (const auto& FStored : FAccounts.Sessions()) {
    const TWallClock::time_point FUsed{std::chrono::seconds(FStored.FUsedSeconds)};
    if (FNow - FUsed < FIdle)
      FSessions[{FStored.FAddress, FStored.FClass, FStored.FUser}] = {FUsed, FUsed, FNow};
    else
      FAccounts.DropSession(FStored.FAddress, FStored.FClass, FStored.FUser);
  }
}

void TSessions::Open(const std::string& aAddress, const std::string& aClass,
                     const std::string& aUser) {
  const auto FNow = TWallClock::now();
  {
    std::lock_guard FGuard(FLock);
    FSessions[{aAddress, aClass, aUser}] = {FNow, FNow, FNow};
  }
  FAccounts.StoreSession(aAddress, aClass, aUser, SecondsOf(FNow));
}

bool TSessions::RenewLocked(std::map<TKey, TSession>::iterator aAt, TWallClock::time_point aNow) {
  const auto& [FAddress, FClass, FUser] = aAt->first;
  if (aNow - aAt->second.FUsed >= FIdle) {
    FAccounts.DropSession(FAddress, FClass, FUser);
    FSessions.erase(aAt);
    return false;
  }
  // An administrator's password change removed the row: before a renewal could write it back.
  if (aNow - aAt->second.FChecked >= kCheckEvery) {
    if (!FAccounts.HasSession(FAddress, FClass, FUser)) {
      FSessions.erase(aAt);
      return false;
    }
    aAt->second.FChecked = aNow;
  }
  aAt->second.FUsed = aNow;
  if (aNow - aAt->second.FStored >= kStoreEvery) {
    aAt->second.FStored = aNow;
    FAccounts.StoreSession(FAddress, FClass, FUser, SecondsOf(aNow));
  }
  return true;
}

bool TSessions::Use(const std::string& aAddress, const std::string& aClass,
                    const std::string& aUser) {
  std::lock_guard FGuard(FLock);
  const auto FAt = FSessions.find({aAddress, aClass, aUser});
  return FAt != FSessions.end() && RenewLocked(FAt, TWallClock::now());
}

bool TSessions::UseClass(const std::string& aAddress, const std::string& aClass) {
  std::lock_guard FGuard(FLock);
  const auto FNow = TWallClock::now();
  bool FLive = false;
  // The sessions of one address and class lie together in the map's order.
  for (auto FAt = FSessions.lower_bound({aAddress, aClass, std::string()});
       FAt != FSessions.end() && std::get<0>(FAt->first) == aAddress &&
       std::get<1>(FAt->first) == aClass;) {
    const auto FNext = std::next(FAt);
    FLive = RenewLocked(FAt, FNow) || FLive;
    FAt = FNext;
  }
  return FLive;
}

bool TSessions::HasAt(const std::string& aAddress) {
  std::lock_guard FGuard(FLock);
  const auto FNow = TWallClock::now();
  for (auto FAt = FSessions.lower_bound({aAddress, std::string(), std::string()});
       FAt != FSessions.end() && std::get<0>(FAt->first) == aAddress; ++FAt)
    if (FNow - FAt->second.FUsed < FIdle) return true;
  return false;
}

bool TSessions::End(const std::string& aAddress, const std::string& aClass,
                    const std::string& aUser) {
  {
    std::lock_guard FGuard(FLock);
    if (FSessions.erase({aAddress, aClass, aUser}) == 0) return false;
  }
  FAccounts.DropSession(aAddress, aClass, aUser);
  return true;
}

void TSessions::EndOthers(const std::string& aClass, const std::string& aUser,
                          const std::string& aKeptAddress) {
  std::vector<std::string> FEnded;
  {
    std::lock_guard FGuard(FLock);
    std::erase_if(FSessions, [&](const auto& aEntry) {
      const auto& [FAddress, FClass, FUser] = aEntry.first;
      if (FClass != aClass || FUser != aUser || FAddress == aKeptAddress) return false;
      FEnded.push_back(FAddress);
      return true;
    });
  }
  for (const auto& FAddress : FEnded)
    FAccounts.DropSession(FAddress, aClass, aUser);
}

namespace {

std::string AtAddress(const std::string& aUserKey, const std::string& aAddress) {
  return "ua " + aUserKey + "|" + aAddress;
}

} // namespace

void TLoginThrottle::DropOldFailures(TCount& aCount, TClock::time_point aNow) {
  while (!aCount.FFailures.empty() && aNow - aCount.FFailures.front() >= kWindow)
    aCount.FFailures.pop_front();
}

bool TLoginThrottle::TrustedLocked(const std::string& aAddress, const std::string& aUserKey,
                                   TClock::time_point aNow) const {
  const auto FAt = FSucceeded.find({aUserKey, aAddress});
  return FAt != FSucceeded.end() && aNow - FAt->second < FTrusted;
}

bool TLoginThrottle::AttackedLocked(const std::string& aUserKey, TClock::time_point aNow) {
  const auto FAt = FCounts.find("u " + aUserKey);
  if (FAt == FCounts.end()) return false;
  DropOldFailures(FAt->second, aNow);
  return static_cast<int>(FAt->second.FFailures.size()) >= kFailures;
}

std::chrono::seconds TLoginThrottle::Paused(const std::string& aAddress,
                                            const std::string& aUserKey, TClock::time_point aNow) {
  std::lock_guard FGuard(FLock);
  if (TrustedLocked(aAddress, aUserKey, aNow)) return std::chrono::seconds{0};
  std::chrono::seconds FLongest{0};
  for (const auto& FKey : {"a " + aAddress, AtAddress(aUserKey, aAddress)}) {
    const auto FAt = FCounts.find(FKey);
    if (FAt != FCounts.end() && FAt->second.FPausedUntil > aNow)
      FLongest = std::max(FLongest,
                          std::chrono::ceil<std::chrono::seconds>(FAt->second.FPausedUntil - aNow));
  }
  if (FLongest.count() > 0 || !AttackedLocked(aUserKey, aNow)) return FLongest;
  // Attempts on an attacked user from elsewhere go one a second, whoever makes them.
  auto& FLast = FCounts["u " + aUserKey].FLastAttempt;
  if (aNow - FLast < kUserPace) return kUserPace;
  FLast = aNow;
  return std::chrono::seconds{0};
}

std::chrono::seconds TLoginThrottle::Failed(const std::string& aAddress,
                                            const std::string& aUserKey, TClock::time_point aNow) {
  std::lock_guard FGuard(FLock);
  ForgetStaleLocked(aNow);
  FailedLocked(FCounts["u " + aUserKey], aNow, false);
  return std::max(FailedLocked(FCounts["a " + aAddress], aNow),
                  FailedLocked(FCounts[AtAddress(aUserKey, aAddress)], aNow));
}

std::chrono::seconds TLoginThrottle::FailedLocked(TCount& aCount, TClock::time_point aNow,
                                                  bool aPauses) {
  DropOldFailures(aCount, aNow);
  aCount.FFailures.push_back(aNow);
  if (!aPauses || static_cast<int>(aCount.FFailures.size()) < kFailures)
    return std::chrono::seconds{0};
  aCount.FFailures.clear();
  const auto FPause = std::min(kLongestPause, kFirstPause * (1 << std::min(aCount.FPauses, 7)));
  ++aCount.FPauses;
  aCount.FPausedUntil = aNow + FPause;
  return FPause;
}

void TLoginThrottle::Succeeded(const std::string& aAddress, const std::string& aUserKey,
                               TClock::time_point aNow) {
  std::lock_guard FGuard(FLock);
  FCounts.erase("a " + aAddress);
  FCounts.erase(AtAddress(aUserKey, aAddress));
  FSucceeded[{aUserKey, aAddress}] = aNow;
}

// Counts with nothing recent and no pause running are dropped, so a flood of names costs no
// memory for long; an address or user that was paused keeps its count of pauses for a day.
void TLoginThrottle::ForgetStaleLocked(TClock::time_point aNow) {
  if (FSucceeded.size() >= 4096)
    std::erase_if(FSucceeded, [&](const auto& aEntry) { return aNow - aEntry.second >= FTrusted; });
  if (FCounts.size() < 4096) return;
  std::erase_if(FCounts, [&](const auto& aEntry) {
    const TCount& FCount = aEntry.second;
    const bool FRecent = !FCount.FFailures.empty() && aNow - FCount.FFailures.back() < kWindow;
    return !FRecent && aNow - FCount.FPausedUntil > std::chrono::hours(24);
  });
}

} // namespace zelvo::server
