// What the drives tell a front end about their transfers and changes waiting to be sent, with no
// window code in it: the window shows it in its tray icon and status line, zelvo-cli on stderr.
//
// Threads: events come from the threads that make the transfers (a fetch's own thread, the
// thread of a close, the write-back queue), never with the tree's lock held while an
// implementation runs a slow step of its own; implementations are thread-safe and quick (they
// post to their own thread). One process-wide observer, set before the drives start
// (SetTransferObserver); until then every event goes nowhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelvo {

struct TTransfer {
  enum class TDirection { Download, Upload };
  uint64_t FId = 0; // one transfer, from its start to its end
  TDirection FDirection = TDirection::Download;
  std::u16string FPath; // the server path
  int64_t FDone = 0;    // bytes so far
  int64_t FTotal = -1;  // -1 while unknown
};

class TTransferObserver {
public:
  virtual ~TTransferObserver() = default;
  virtual void TransferStarted(const TTransfer&) {}
  virtual void TransferProgress(const TTransfer&) {}
  // aOk false: a failed download (the next read tries again) or upload (the change waits).
  virtual void TransferEnded(const TTransfer&, bool /*aOk*/) {}
  // How many changed files wait for the server (journal of pending changes).
  virtual void PendingChanged(size_t /*aCount*/) {}
  // A save the program was told failed (its close or flush got an error): the change is in the
  // journal of pending changes, kept on this computer and retried. Told once per failed save.
  virtual void SaveFailed(const std::u16string& /*aPath*/) {}
  // A new ".zip" was refused (EPERM for the program): zip files are shown as read-only folders,
  // so the drive cannot make one.
  virtual void ArchiveRefused(const std::u16string& /*aPath*/) {}
  // A retry of a pending change failed (aWhy); it stays pending and is tried again later.
  virtual void RetryFailed(const std::u16string& /*aPath*/, const std::u16string& /*aWhy*/) {}
  // A change that had failed reached the server later.
  virtual void SentLater(const std::u16string& /*aPath*/) {}
  // A file whose extension is never uploaded was saved: told once per path and run.
  virtual void KeptLocal(const std::u16string& /*aPath*/) {}
  // Someone else changed aPath meanwhile: this computer's version went to aCopyPath.
  virtual void Conflict(const std::u16string& /*aPath*/, const std::u16string& /*aCopyPath*/) {}
  // The server refused a pending change of aPath for good (aWhy): it is given up, and its
  // content was kept in the local file aKeptAt ("/" separators). Told once per change.
  virtual void Unsendable(const std::u16string& /*aPath*/, const std::u16string& /*aKeptAt*/,
                          const std::u16string& /*aWhy*/) {}
  // The journal of pending changes held lines that are never used (malformed, or naming a file
  // outside the cache folder); the journal as it was is kept in aFile.
  virtual void JournalSetAside(const std::u16string& /*aFile*/) {}
};

// Progress events at most every 200 ms per transfer (the last one always goes with the end).
class TProgressPace {
public:
  bool Due();

private:
  int64_t FLastMs = -1000000;
};

void SetTransferObserver(TTransferObserver* aObserver);
TTransferObserver& Transfers();
// A new transfer's identity.
uint64_t NewTransferId();

} // namespace zelvo
