#include "tree/ContentFetch.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <linux/falloc.h>
#include <mutex>
#include <set>
#include <unistd.h>

#include "common/Streams.h"
#include "common/TextCodec.h"
#include "protocol/Commands.h"
#include "protocol/YunClientUnit.h"
#include "tree/FileSysUnit.h"

namespace zelvo {
namespace {

// The cache file as the fetch writes it: every piece is written at its place and then told to
// the fetch, so readers can use it at once.
class TFetchStream final : public TStream {
public:
  TFetchStream(int aFd, TContentFetch& aFetch, std::stop_token aStop, std::stop_token aCancel)
      : FFd(aFd), FFetch(aFetch), FStop(std::move(aStop)), FCancel(std::move(aCancel)) {}

  int64_t GetSize() const override { return FEnd; }
  bool SetSize(int64_t aSize) override {
    FEnd = aSize;
    return ::ftruncate(FFd, aSize) == 0;
  }
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* aBuffer, int64_t aCount) override {
    if (FStop.stop_requested() || FCancel.stop_requested()) return 0;
    Reserve(FPosition + aCount);
    if (const int64_t FDone = WriteAt(FFd, aBuffer, aCount, FPosition); FDone < aCount)
      return FDone;
    FPosition += aCount;
    FEnd = std::max(FEnd, FPosition);
    FFetch.Advance(FPosition);
    return aCount;
  }
  bool PrepareSize(int64_t aSize) override {
    FTotal = aSize;
    FFetch.Announce(aSize);
    return true;
  }

private:
  // Reserving the blocks ahead of the writes, a stretch at a time, halves what each piece costs
  // the file system, and the first bytes need not wait for a whole big file's reservation. A
  // file system that cannot reserve still takes the writes, so the outcome is not needed.
  void Reserve(int64_t aEnd) {
    if (aEnd <= FReserved || FReserved >= FTotal) return;
    const int64_t FUntil = std::min(FTotal, std::max(aEnd, FReserved + kReserveStretch));
    (void)::fallocate(FFd, FALLOC_FL_KEEP_SIZE, FReserved, FUntil - FReserved);
    FReserved = FUntil;
  }

  static constexpr int64_t kReserveStretch = 32 << 20;
  int FFd;
  TContentFetch& FFetch;
  int64_t FTotal = 0;
  int64_t FReserved = 0;
  std::stop_token FStop;
  std::stop_token FCancel;
  int64_t FEnd = 0;
};

// A name as a log line may show it: control characters and the marks that reorder or break
// lines are written as \u{XXXX}, so a hostile name cannot forge a line.
std::string Printable(std::u16string_view aName) {
  std::u16string FSafe;
  for (const char16_t FChar : aName) {
    if (FChar >= 0x20 && FChar != 0x7F && FChar != 0x85 && FChar != 0x2028 && FChar != 0x2029 &&
        !(FChar >= 0x202A && FChar <= 0x202E) && !(FChar >= 0x2066 && FChar <= 0x2069)) {
      FSafe += FChar;
      continue;
    }
    char FCode[16];
    std::snprintf(FCode, sizeof FCode, "\\u{%04X}", static_cast<unsigned>(FChar));
    FSafe += Utf8ToUtf16(FCode);
  }
  return Utf16ToUtf8(FSafe);
}

// Enough to explain any student's missing file; a server listing millions of odd names does not
// fill the log or the memory.
constexpr size_t kMaxHiddenTold = 10000;

// A listed name the drive hides, told once per process (listings are fetched again and again).
void ReportHidden(const std::u16string& aFolder, const uint8_t* aRecord, const char* aReason) {
  // Never destroyed: a listing may still arrive on a background thread while the process ends.
  static std::mutex& FLock = *new std::mutex; // guards FTold
  static std::set<std::u16string>& FTold = *new std::set<std::u16string>;
  const auto& FRaw = DecodeFindData(aRecord).cFileName;
  const std::u16string FName(FRaw.data(), std::find(FRaw.begin(), FRaw.end(), u'\0'));
  std::lock_guard FGuard(FLock);
  if (FTold.size() >= kMaxHiddenTold || !FTold.insert(aFolder + u'\\' + FName).second) return;
  std::cerr << "zelvo: in " << Printable(aFolder) << ", \"" << Printable(FName)
            << "\" is not shown: " << aReason << std::endl;
}

// A LIST reply as it arrives: every whole record becomes an entry of the listing at once.
class TRecordStream final : public TStream {
public:
  explicit TRecordStream(TFileInfo& aListing) : FListing(aListing) {}

  int64_t GetSize() const override { return FPosition; }
  bool SetSize(int64_t) override { return true; }
  int64_t Read(void*, int64_t) override { return 0; }
  bool PrepareSize(int64_t aCount) override {
    FAnnounced = aCount;
    return true;
  }
  int64_t Announced() const { return FAnnounced; }
  int64_t Write(const void* aBuffer, int64_t aCount) override {
    const auto* FBytes = static_cast<const uint8_t*>(aBuffer);
    for (int64_t FLeft = aCount; FLeft > 0;) {
      const auto FTake = std::min<int64_t>(FLeft, static_cast<int64_t>(kFindDataSize - FHeld));
      std::copy_n(FBytes, FTake, FRecord.data() + FHeld);
      FBytes += FTake;
      FLeft -= FTake;
      FHeld += static_cast<size_t>(FTake);
      if (FHeld == kFindDataSize) {
        if (const char* FReason = FListing.AddRecord(FRecord.data()); FReason && *FReason)
          ReportHidden(FListing.FullName(), FRecord.data(), FReason);
        FHeld = 0;
      }
    }
    FPosition += aCount;
    return aCount;
  }

private:
  TFileInfo& FListing;
  std::array<uint8_t, kFindDataSize> FRecord{};
  size_t FHeld = 0;
  int64_t FAnnounced = 0;
};

} // namespace

TContentFetch::TContentFetch(std::shared_ptr<TRemote> aRemote, std::u16string aFullName,
                             std::u16string aPartFile, int64_t aListedSize,
                             std::optional<TServerVersion> aListed)
    : FRemote(std::move(aRemote)), FFullName(std::move(aFullName)), FPartFile(std::move(aPartFile)),
      FListedSize(aListedSize), FListed(aListed),
      FRanged(FRemote->ServesRanges() && aListed && aListedSize > kRangeBlock),
      FFd(::open(Utf16ToUtf8(FPartFile).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)) {
  if (FFd < 0)
    throw EFileStreamError("Cannot create file \"" + Utf16ToUtf8(FPartFile) + "\". " +
                           std::strerror(errno));
}

TContentFetch::~TContentFetch() {
  if (FFd >= 0) ::close(FFd);
}

void TContentFetch::Run(std::stop_token aStop,
                        const std::function<void(int64_t, int64_t)>& aProgress) {
  if (FFd < 0) return Finish(false);
  FProgress = aProgress;
  TFetchStream FStream(FFd, *this, aStop, FCancel.get_token());
  const TGetResult FResult = FRemote->Get(FFullName, FListedSize, FStream);
  if (FResult == TGetResult::Disagreed) {
    std::lock_guard FGuard(FLock);
    FDisagreed = true;
  }
  Finish(FResult == TGetResult::Done && !FCancel.stop_requested());
}

bool TContentFetch::Disagreed() const {
  std::lock_guard FGuard(FLock);
  return FDisagreed;
}

uint32_t TContentFetch::ReadArrived(void* aBuffer, uint32_t aCount, int64_t aOffset) const {
  int64_t FHere = 0;
  {
    std::lock_guard FGuard(FLock);
    FHere = FDone && FOk ? aOffset + aCount : HereUntilLocked(aOffset);
  }
  const int64_t FWant = std::min<int64_t>(aCount, FHere - aOffset);
  if (FWant <= 0) return 0;
  const ssize_t FGot = ::pread(FFd, aBuffer, static_cast<size_t>(FWant), aOffset);
  return FGot < 0 ? 0 : static_cast<uint32_t>(FGot);
}

void TContentFetch::Cancel() {
  FCancel.request_stop();
  ::unlink(Utf16ToUtf8(FPartFile).c_str());
}

void TContentFetch::Finish(bool aOk) {
  {
    std::lock_guard FGuard(FLock);
    if (FDone) return; // a range that disagreed ended it first
    FDone = true;
    FOk = aOk;
  }
  FChanged.notify_all();
}

void TContentFetch::Announce(int64_t aTotal) {
  std::lock_guard FGuard(FLock);
  FTotal = aTotal;
}

void TContentFetch::Advance(int64_t aArrived) {
  int64_t FTotalNow = -1;
  {
    std::lock_guard FGuard(FLock);
    FArrived = aArrived;
    FTotalNow = FTotal;
  }
  FChanged.notify_all();
  if (FProgress) FProgress(aArrived, FTotalNow);
}

bool TContentFetch::WaitFor(int64_t aEnd) {
  std::unique_lock FGuard(FLock);
  FChanged.wait(FGuard,
                [&] { return FDone || FArrived >= aEnd || (FTotal >= 0 && FArrived >= FTotal); });
  return FArrived >= aEnd || (FTotal >= 0 && FArrived >= FTotal) || (FDone && FOk);
}

bool TContentFetch::Holds(int64_t aOffset, int64_t aEnd) const {
  std::lock_guard FGuard(FLock);
  if (FRanged) aEnd = std::min(aEnd, FListedSize);
  return aOffset >= aEnd || HereUntilLocked(aOffset) >= aEnd ||
         (FTotal >= 0 && FArrived >= FTotal) || (FDone && FOk);
}

void TContentFetch::WaitForEnd() {
  std::unique_lock FGuard(FLock);
  FChanged.wait(FGuard, [&] { return FDone; });
}

bool TContentFetch::Done() const {
  std::lock_guard FGuard(FLock);
  return FDone;
}

bool TContentFetch::Succeeded() const {
  std::lock_guard FGuard(FLock);
  return FDone && FOk;
}

int64_t TContentFetch::Arrived() const {
  std::lock_guard FGuard(FLock);
  return FArrived;
}

TListingFetch::TListingFetch(std::shared_ptr<TRemote> aRemote, std::u16string aFolder)
    : FRemote(std::move(aRemote)), FFolder(std::move(aFolder)) {}

TListingFetch::~TListingFetch() = default;

void TListingFetch::Run() {
  const auto FBegan = std::chrono::steady_clock::now();
  auto FReceived = std::make_unique<TFileInfo>(FFolder);
  TRecordStream FRecords(*FReceived);
  const bool FAnswered = FRemote->List(FFolder, FRecords);
  if (!FAnswered) FReceived = std::make_unique<TFileInfo>(FFolder);
  if (FRecords.Announced() > kMaxListingRecords * static_cast<int64_t>(kFindDataSize))
    std::cerr << "zelvo: the server's listing of " << Printable(FFolder) << " announced more than "
              << kMaxListingRecords << " entries; it is not shown" << std::endl;
  std::lock_guard FGuard(FLock);
  FListing = std::move(FReceived);
  FStarted = FBegan;
  FOk = FAnswered;
  FDone = true;
  FChanged.notify_all();
}

std::chrono::steady_clock::time_point TListingFetch::Started() const {
  std::lock_guard FGuard(FLock);
  return FStarted;
}

bool TListingFetch::Succeeded() const {
  std::lock_guard FGuard(FLock);
  return FOk;
}

std::unique_ptr<TFileInfo> TListingFetch::TakeListing() {
  std::lock_guard FGuard(FLock);
  return std::move(FListing);
}

void TListingFetch::Wait() {
  std::unique_lock FGuard(FLock);
  FChanged.wait(FGuard, [&] { return FDone; });
}

bool TListingFetch::Done() const {
  std::lock_guard FGuard(FLock);
  return FDone;
}

} // namespace zelvo
