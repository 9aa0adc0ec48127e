// The sparse side of a content fetch: blocks fetched by range around the reads that need them.
#include <algorithm>
#include <limits>

#include "tree/ContentFetch.h"

namespace zelvo {
namespace {

int64_t AlignDown(int64_t aOffset) {
  return aOffset / TContentFetch::kRangeBlock * TContentFetch::kRangeBlock;
}

// A whole GET this close behind a read brings it sooner than a range of its own would.
constexpr int64_t kWholeIsNear = 4 * TContentFetch::kRangeBlock;

} // namespace

bool TContentFetch::BeginWhole() {
  std::lock_guard FGuard(FLock);
  if (FWholeBegun || FDone) return false;
  FWholeBegun = true;
  return true;
}

bool TContentFetch::WholeWanted() const {
  std::lock_guard FGuard(FLock);
  return FBlocksFetched >= kRangesBeforeWhole && FRangesWaited > FRangesReceiving && !FWholeBegun &&
         !FDone;
}

bool TContentFetch::NoteRead(int64_t aOffset, int64_t aEnd) {
  std::lock_guard FGuard(FLock);
  const bool FContinues = aOffset == 0 || aOffset == FSequentialEnd;
  const bool FDue = FContinues && aOffset > 0 && !FWholeBegun;
  FSequentialEnd = FContinues ? aEnd : -1;
  return FDue;
}

int64_t TContentFetch::HereUntilLocked(int64_t aOffset) const {
  int64_t FUntil = aOffset;
  for (bool FGrew = true; FGrew;) {
    FGrew = false;
    if (FUntil < FArrived) {
      FUntil = FArrived;
      FGrew = true;
    }
    auto FAt = FRanges.upper_bound(FUntil);
    if (FAt != FRanges.begin() && (--FAt)->second > FUntil) {
      FUntil = FAt->second;
      FGrew = true;
    }
  }
  return FUntil;
}

bool TContentFetch::CompleteLocked() const {
  return HereUntilLocked(0) >= FListedSize;
}

bool TContentFetch::Need(int64_t aOffset, int64_t aEnd, std::counting_semaphore<>& aPool) {
  aEnd = std::min(aEnd, FListedSize);
  std::unique_lock FGuard(FLock);
  for (;;) {
    if (FDone) return FOk;
    const int64_t FHere = HereUntilLocked(aOffset);
    if (aOffset >= aEnd || FHere >= aEnd) return true;
    const bool FUnderWay = std::any_of(FInFlight.begin(), FInFlight.end(), [&](const auto& a) {
      return a.first < aEnd && a.second > FHere;
    });
    if (FUnderWay || (FWholeBegun && FHere - FArrived <= kWholeIsNear && FHere >= FArrived)) {
      FChanged.wait(FGuard);
      continue;
    }
    // The blocks from the first byte missing, growing while they follow one another.
    const int64_t FStart = AlignDown(FHere);
    FReadAhead = FStart == FLastBlockEnd ? std::min(FReadAhead * 2, kMostReadAhead) : kRangeBlock;
    int64_t FStop = std::max(AlignDown(aEnd - 1) + kRangeBlock, FStart + FReadAhead);
    FStop = std::min({FStop, FListedSize, FStart + kMaxRangeLength});
    if (const auto FNext = FInFlight.upper_bound(FStart); FNext != FInFlight.end())
      FStop = std::min(FStop, FNext->first);
    FInFlight[FStart] = FStop;
    FLastBlockEnd = FStop;
    FGuard.unlock();
    aPool.acquire();
    const bool FOk = FetchBlock(FStart, FStop);
    aPool.release();
    FGuard.lock();
    FInFlight.erase(FStart);
    FChanged.notify_all();
    if (!FOk) return false;
  }
}

bool TContentFetch::FetchBlock(int64_t aStart, int64_t aEnd) {
  // Straight into the cache file: a range is never held in memory.
  const auto FAsked = std::chrono::steady_clock::now();
  auto FFirstByte = FAsked;
  int64_t FWriteAt = aStart;
  const TRangeTarget FToCache = [&](std::string_view aBytes) {
    if (FWriteAt == aStart) FFirstByte = std::chrono::steady_clock::now();
    const auto FCount = static_cast<int64_t>(aBytes.size());
    if (WriteAt(FFd, aBytes.data(), FCount, FWriteAt) != FCount) return false;
    FWriteAt += FCount;
    return true;
  };
  TRangeReply FReply;
  switch (FRemote->GetRange({FFullName, aStart, aEnd - aStart, FListed}, FToCache, FReply)) {
  case TRangeResult::Done:
    break;
  case TRangeResult::OtherVersion:
    Disagree(*FReply.FVersion);
    return false;
  case TRangeResult::Failed:
    return false;
  }
  const auto FEnded = std::chrono::steady_clock::now();
  if (FReply.FLength == 0) FFirstByte = FEnded; // past the end: all of it was the wait
  const bool FComplete =
      MarkArrived(aStart, aStart + FReply.FLength, FFirstByte - FAsked, FEnded - FFirstByte);
  FChanged.notify_all();
  // Every byte came by ranges: the content is whole without a GET.
  if (FComplete && BeginWhole()) Finish(true);
  return true;
}

// Merged with the blocks it touches, so the map stays a list of gaps' edges.
bool TContentFetch::MarkArrived(int64_t aFrom, int64_t aTo, std::chrono::nanoseconds aWaited,
                                std::chrono::nanoseconds aReceiving) {
  std::lock_guard FGuard(FLock);
  FRangesWaited += aWaited;
  FRangesReceiving += aReceiving;
  auto FAt = FRanges.upper_bound(aFrom);
  if (FAt != FRanges.begin() && std::prev(FAt)->second >= aFrom) --FAt;
  while (FAt != FRanges.end() && FAt->first <= aTo) {
    aFrom = std::min(aFrom, FAt->first);
    aTo = std::max(aTo, FAt->second);
    FAt = FRanges.erase(FAt);
  }
  if (aTo > aFrom) FRanges[aFrom] = aTo;
  ++FBlocksFetched;
  return !FWholeBegun && CompleteLocked();
}

// Changed on the server since it was listed: nothing fetched so far is that version.
void TContentFetch::Disagree(const TServerVersion& aOnServer) {
  {
    std::lock_guard FGuard(FLock);
    if (!FDone) {
      FDone = true;
      FOk = false;
      FDisagreed = true;
      FServerVersion = aOnServer;
    }
  }
  FCancel.request_stop();
  FChanged.notify_all();
}

std::optional<TServerVersion> TContentFetch::ServerVersion() const {
  std::lock_guard FGuard(FLock);
  return FServerVersion;
}

int64_t TRangeStream::Read(void* aBuffer, int64_t aCount) {
  const int64_t FWant = std::min(aCount, FSize - FPosition);
  if (FWant <= 0) return 0;
  if (!FFetch->Need(FPosition, FPosition + FWant, FPool))
    throw ERangeUnavailable("part of the file could not be fetched");
  auto* FBytes = static_cast<char*>(aBuffer);
  int64_t FGot = 0;
  while (FGot < FWant) {
    const auto FPiece = static_cast<uint32_t>(std::min<int64_t>(FWant - FGot, 1 << 30));
    const uint32_t FRead = FFetch->ReadArrived(FBytes + FGot, FPiece, FPosition + FGot);
    if (FRead == 0) break;
    FGot += FRead;
  }
  FPosition += FGot;
  return FGot;
}

} // namespace zelvo
