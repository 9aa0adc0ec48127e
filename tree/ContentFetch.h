// One GET of a file's content into its cache file, run on a thread of its own while readers
// wait only for the bytes they need.
//
// The fetch writes into a file of its own (aPartFile, made at construction) and records how far
// the content has arrived; readers wait (WaitFor) until their range is there or the fetch has
// ended, then read it with ReadArrived. Every reader of one node shares the node's one fetch; the
// node takes the file as its cache file once the fetch succeeded (so a fetch given up, for instance
// because the file was emptied meanwhile, never writes into the node's content). The fetch
// touches neither the tree nor the process-wide settings: what it needs is given to it.
//
// With a server that serves ranged reads (TRemote::ServesRanges) and a file bigger than one
// range block, the fetch is sparse: the whole GET runs only once asked for (BeginWhole: reads
// sequential from the start, a write, an archive), and a read elsewhere fetches the aligned
// blocks around it (Need) on the reader's thread, at most so many at once per mount (the pool a
// caller hands in). Blocks that arrived are kept in a range map beside the whole GET's prefix;
// a read copies what either holds. A range reply of another version than the listed one means
// the file changed on the server: the fetch ends as failed and disagreeing (its ranges dropped
// with it, the listing asked for again).
//
// Threads: Run on the fetch's thread; Need on readers' threads; everything else from any
// thread. FLock guards the progress fields and the range map; waiting happens on FChanged,
// never under the tree's lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include "tree/Remote.h"

namespace zelvo {

class TFileInfo;

class TContentFetch {
public:
  // Creates (or empties) aPartFile; raises EFileStreamError when it cannot. aListedSize: the
  // size the file's listing gave, which bounds the download (TRemote::Get).
  // aListed: the version the file's listing gave, checked against every range reply.
  TContentFetch(std::shared_ptr<TRemote> aRemote, std::u16string aFullName,
                std::u16string aPartFile, int64_t aListedSize,
                std::optional<TServerVersion> aListed = std::nullopt);
  TContentFetch(const TContentFetch&) = delete;
  TContentFetch& operator=(const TContentFetch&) = delete;
  ~TContentFetch();

  const std::u16string& PartFile() const { return FPartFile; }
  // Reads up to aCount of the bytes that have arrived from aOffset on (by the whole GET or by
  // ranges, up to the first byte not here); the count read (0 when none is here).
  uint32_t ReadArrived(void* aBuffer, uint32_t aCount, int64_t aOffset) const;

  static constexpr int64_t kRangeBlock = int64_t{1} << 20;
  static constexpr int64_t kMostReadAhead = int64_t{8} << 20;
  // Sparse: the whole GET waits for BeginWhole.
  bool Ranged() const { return FRanged; }
  // True once: the caller starts Run (on a thread of its own). A fetch that is not sparse is
  // begun at once by whoever started it.
  bool BeginWhole();
  // A read of [aOffset, aEnd) is made: true once when reads have gone on sequentially from the
  // start, so the whole GET (faster for them) is due.
  bool NoteRead(int64_t aOffset, int64_t aEnd);
  // A reader that has needed this many blocks reads all over the file. Where its ranges spent
  // longer waiting for their answers than receiving their bytes (a far link, or one so fast that
  // a block takes less than a round trip), the whole GET streamed beside them soon holds
  // everything; where receiving is what costs (a slow link), ranges alone bring far fewer bytes.
  static constexpr int kRangesBeforeWhole = 16;
  // True when the whole GET is due for that reason (the caller begins it).
  bool WholeWanted() const;
  // Makes [aOffset, aEnd) be here: it is, or the whole GET is past it, or a range under way
  // brings it, or this reader fetches the blocks around it (holding a slot of aPool while it
  // asks). False when the range fetch failed or the fetch ended without it.
  bool Need(int64_t aOffset, int64_t aEnd, std::counting_semaphore<>& aPool);
  // Ends the transfer at its next piece and removes the part file.
  void Cancel();

  // The GET; ends when the content is complete, the transfer failed or aStop was requested.
  // aProgress, when given, hears each piece (bytes arrived, announced total or -1).
  void Run(std::stop_token aStop, const std::function<void(int64_t, int64_t)>& aProgress = {});

  // Waits until the first aEnd bytes have arrived or the fetch has ended; true when they are
  // there, or when the fetch succeeded (a range past the end then reads as the end).
  bool WaitFor(int64_t aEnd);
  // The same without waiting: whether [aOffset, aEnd) is here now.
  bool Holds(int64_t aOffset, int64_t aEnd) const;
  // Waits until the fetch has ended (all bytes having arrived is not yet the end: the node may
  // take the content only once the fetch is done).
  void WaitForEnd();
  bool Done() const;
  bool Succeeded() const;
  // After Done: the fetch failed because the reply disagreed with the listed size.
  bool Disagreed() const;
  // After a range reply disagreed: the version the server holds now.
  std::optional<TServerVersion> ServerVersion() const;
  int64_t Arrived() const;

  // The stream's side: progress as bytes are written.
  void Announce(int64_t aTotal);
  void Advance(int64_t aArrived);

private:
  void Finish(bool aOk);
  // Under FLock: how far from aOffset the bytes here reach without a gap.
  int64_t HereUntilLocked(int64_t aOffset) const;
  bool CompleteLocked() const;
  // One GETRANGE of [aStart, aEnd) into the part file; false when it failed or disagreed.
  bool FetchBlock(int64_t aStart, int64_t aEnd);
  // [aFrom, aTo) is here, after aWaited for the answer's first byte and aReceiving for the rest;
  // true when that made the content whole by ranges alone.
  bool MarkArrived(int64_t aFrom, int64_t aTo, std::chrono::nanoseconds aWaited,
                   std::chrono::nanoseconds aReceiving);
  // A range reply named another version than the listed one: the fetch ends failed.
  void Disagree(const TServerVersion& aOnServer);

  const std::shared_ptr<TRemote> FRemote;
  const std::u16string FFullName;
  const std::u16string FPartFile;
  const int64_t FListedSize;
  const std::optional<TServerVersion> FListed;
  const bool FRanged;
  std::function<void(int64_t, int64_t)> FProgress; // set by Run, used on its thread
  int FFd = -1; // read by readers, written by Run: pread/pwrite only
  std::stop_source FCancel;
  mutable std::mutex FLock; // guards the fields below
  std::condition_variable FChanged;
  int64_t FArrived = 0;
  int64_t FTotal = -1; // -1 until the server announces it
  bool FDone = false;
  bool FOk = false;
  bool FDisagreed = false;
  bool FWholeBegun = false;
  std::optional<TServerVersion> FServerVersion; // set by a range reply of another version
  std::map<int64_t, int64_t> FRanges;           // start -> end of the blocks that arrived
  std::map<int64_t, int64_t> FInFlight;         // start -> end of the blocks being fetched
  int64_t FSequentialEnd = -1;      // where a read continuing from the start would begin
  int64_t FLastBlockEnd = -1;       // the end of the last block asked for
  int64_t FReadAhead = kRangeBlock; // grows while blocks are asked for one after another
  int FBlocksFetched = 0;
  std::chrono::nanoseconds FRangesWaited{0};    // for their answers' first bytes
  std::chrono::nanoseconds FRangesReceiving{0}; // for the rest of their bytes
};

// A sparse fetch read as a stream of aSize bytes: what an archive's directory and entries are
// read from, by range, outside the tree's lock. A range that cannot be fetched raises
// ERangeUnavailable (the server did not answer, or the file changed on it).
class ERangeUnavailable : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class TRangeStream final : public TStream {
public:
  TRangeStream(std::shared_ptr<TContentFetch> aFetch, int64_t aSize,
               std::counting_semaphore<>& aPool)
      : FFetch(std::move(aFetch)), FSize(aSize), FPool(aPool) {}
  int64_t GetSize() const override { return FSize; }
  bool SetSize(int64_t) override { return false; }
  int64_t Read(void* aBuffer, int64_t aCount) override;
  int64_t Write(const void*, int64_t) override { return 0; }
  bool PrepareSize(int64_t) override { return true; }

private:
  const std::shared_ptr<TContentFetch> FFetch;
  const int64_t FSize;
  std::counting_semaphore<>& FPool;
};

// One LIST of a folder, run by the first request that needs the listing, outside the tree's
// lock; other requests for that folder wait on it (Wait), requests elsewhere go on. The records
// become nodes of a listing of their own as they arrive (no copy of the whole reply), which the
// folder takes under the lock afterwards (TFileInfo::FinishListing).
class TListingFetch {
public:
  TListingFetch(std::shared_ptr<TRemote> aRemote, std::u16string aFolder);
  TListingFetch(const TListingFetch&) = delete;
  TListingFetch& operator=(const TListingFetch&) = delete;
  ~TListingFetch();
  void Run();
  void Wait();
  bool Done() const;
  // After Done, once: the listing (empty when the LIST failed, as a failed LIST shows).
  std::unique_ptr<TFileInfo> TakeListing();
  // After Done: whether the server answered the LIST.
  bool Succeeded() const;
  // After Done: when the LIST began (what the listing is as old as).
  std::chrono::steady_clock::time_point Started() const;

private:
  const std::shared_ptr<TRemote> FRemote;
  const std::u16string FFolder;
  std::unique_ptr<TFileInfo> FListing;            // written by Run before FDone, taken after it
  std::chrono::steady_clock::time_point FStarted; // written by Run before FDone
  mutable std::mutex FLock;                       // guards FDone and FOk
  std::condition_variable FChanged;
  bool FDone = false;
  bool FOk = false;
};

} // namespace zelvo
