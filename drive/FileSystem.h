// TFileSystem: the one object through which both drives reach their remote trees.
//
// It owns the two root nodes (index 0 and 1; a root whose text was empty stays null), the table
// of open handles, the files deleted while still open (usable through their opens until the
// last one closes, as Windows' delete-pending files are), and the one lock, FileInfoListLock. Every
// operation takes the lock with a TLockGuard. The lock is reentrant: a drive callback that needs
// several operations to act as one request (a seek and its read) holds Lock() around them.
//
// Transfers run without the lock, holding up only the requests that need their node: a read of a
// file being fetched waits on that fetch (YunReadFileAt), a write or resize waits for its end
// (YunAwaitContent), a folder being listed makes only the requests for it wait
// (YunPrepareListings, called by the callbacks before they enter the facade), an upload runs with
// the lock released while its node is busy (SendLocked; a move or deletion of a busy node waits
// on FUploadEnded and tries again, so commands for one node keep their order); so do MKDIR,
// DELETE and MOVE, whose nodes are busy meanwhile; so does an archive's download (PrepareArchive).
// Content that is all here is read without the lock.
// Waiting on FUploadEnded needs the lock held once only, which is how the callbacks that close,
// move and delete call the facade.
//
// FileInfoListLock guards FRoot (and every node below), FOpenDic with each record, FDetached,
// FKeptLocalTold and FLastRefusal. Lock order: FileInfoListLock, then FFetchersLock or
// FRefreshersLock; the locks of a fetch, a listing's LIST, the journal of pending changes and the
// node-handle map are taken last and alone. The open-handle counter is atomic.
//
// Transfers, changes waiting, conflicts and kept-local files are told to the process-wide
// TTransferObserver (TransferObserver.h).
//
// Pending changes: a failed upload stays in the tree as a changed node and in the journal of
// pending changes, which the write-back queue (WriteBackQueue.h, FQueue) owns. At the facade's
// creation the queue makes one round over this student's entries (server, port and own root),
// and what is still waiting is shown on the drive with its local content. The queue's thread
// sends them again with back-off while the drive runs (TryPendingEntry, the PUT without the
// tree's lock), and leaves alone nodes that are open. A change the server refuses for good is
// given up: its content goes to the recovery folder (GiveUpPendingEntry), and the observer is
// told where. A truncation or new empty file is recorded as pending at the close(2) that ends
// its writing (YunFlushFileBuffers), before its upload at the release, so a crash between the
// two does not lose it.
//
// Uploads: only an open that changed the content sends it. Bytes written (Wrote) are sent by
// YunFlushFileBuffers (every close(2) and fsync(2)) and at the open's close; a creation, an
// emptying or a resize that no write followed (Truncated) is sent by fsync(2) and at the open's
// close, never by the close(2) of one of its descriptors, so "printf x > f" and "cp" over a file
// send one upload with the new content, never an empty one first. Looking at a file (an open that
// changes nothing) never sends anything.
//
// Results mirror the Windows functions: 32-bit truth values are WIN_TRUE / WIN_FALSE,
// INVALID_HANDLE_VALUE and INVALID_FILE_ATTRIBUTES mark failures. A failed operation leaves a
// Windows error code in the calling thread's last-error slot: the tree's own code, or the one
// FailureCode gives for the facade's own failures. Exceptions from the tree (a cache file that
// cannot be made, an archive entry that cannot be read) pass through, with the lock released.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <semaphore>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "drive/DokanWin.h"
#include "drive/WriteBackQueue.h"
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "tree/ContentFetch.h"
#include "tree/FileSysUnit.h"
#include "tree/PendingJournal.h"

namespace zelvo {

struct TSysOpenInfo {
  uint32_t hFileInfo = 0; // the node handle
  uint32_t hOpenInfo = 0; // the open handle, the record's key
  int64_t Position = 0;
  bool Wrote = false;     // bytes written through this open since its last upload
  bool Truncated = false; // created, emptied or resized through this open, not yet sent
};

// The process-wide open-handle counter: the first open handle is 1001.
extern std::atomic<uint32_t> OpenHandleCounter;

// The facade's own failures, each with the code a Windows program would expect.
enum class TFacadeFailure { UnknownHandle, BadRoot, PathMissing, IsFolder };
uint32_t FailureCode(TFacadeFailure aFailure);

class TFileSystem {
public:
  using TLockGuard = std::unique_lock<std::recursive_mutex>;

  // Makes the roots of the non-empty root paths, of aConfig's mount; sends the pending changes of
  // earlier runs and fetches the roots' listings (before anything serves); starts the write-back
  // queue. Every exchange goes through aRemote (default: aConfig's server).
  TFileSystem(const TMountConfig& aConfig, const std::u16string& Root0, const std::u16string& Root1,
              std::shared_ptr<TRemote> aRemote = {});
  TFileSystem(const TFileSystem&) = delete;
  TFileSystem& operator=(const TFileSystem&) = delete;

  [[nodiscard]] TLockGuard Lock() { return TLockGuard(FileInfoListLock); }

  // The open-handle table; callers hold the lock.
  uint32_t CreateOpenInfo(uint32_t aFileInfo);
  void CloseOpenInfo(uint32_t aOpenInfo);
  uint32_t OpenInfoToFileInfo(uint32_t aOpenInfo) const;
  int64_t GetPosition(uint32_t aOpenInfo) const;

  uint32_t YunCreateFileW(int RootIndex, LPCWSTR lpFileName, uint32_t dwDesiredAccess,
                          uint32_t dwShareMode, void* lpSecurityAttributes,
                          uint32_t dwCreationDisposition, uint32_t dwFlagsAndAttributes,
                          void* hTemplateFile);
  bool YunCloseHandle(int RootIndex, uint32_t Handle, bool DeleteOnClose);
  uint32_t YunGetFileAttributesW(int RootIndex, LPCWSTR aFileName);
  bool YunFindFiles(int RootIndex, LPCWSTR aFileName, std::vector<uint8_t>& Buf);
  // The same entries handed to aEach under the lock (memory only), without records in between.
  bool YunFindFiles(int RootIndex, LPCWSTR aFileName,
                    const std::function<void(const TFileInfo&)>& aEach);
  uint32_t YunSetFilePointerEx(int RootIndex, uint32_t hFile, int64_t liDistanceToMove,
                               int64_t* lpNewFilePointer, uint32_t dwMoveMethod);
  bool YunSetEndOfFile(int RootIndex, uint32_t hFile);
  uint32_t YunReadFile(int RootIndex, uint32_t hFile, void* Buffer, uint32_t nNumberOfBytesToRead,
                       uint32_t* lpNumberOfBytesRead);
  // A read at an offset that waits for a fetch outside the lock: the first reader of a remote
  // file starts its GET on a thread of its own, and every reader returns once its range arrived.
  uint32_t YunReadFileAt(int RootIndex, uint32_t hFile, void* Buffer, uint32_t nNumberOfBytesToRead,
                         int64_t aOffset, uint32_t* lpNumberOfBytesRead);
  // Lists, outside the lock, the folders along aPath whose listings are not here yet (the path
  // itself included when it names a folder), so the operation that follows finds them; a folder
  // being listed holds up only the requests that need it. Listings along aPath older than
  // the mount's refresh period are fetched again in the background: the request answers from the
  // old listing, and the new one is merged when it arrives. Callers do not hold the lock.
  // aArchiveItself false (an open that only looks at what aPath names): an archive named by
  // aPath is not built; its attributes as a folder come from its listing entry, and its content
  // is fetched only when its entries are listed or read.
  void YunPrepareListings(int RootIndex, LPCWSTR aPath, bool aArchiveItself = true);
  // Waits, outside the lock, until the file's whole content is here (before a write or resize,
  // which need it); the fetch's failure is left to the operation that follows.
  void YunAwaitContent(int RootIndex, uint32_t hFile);
  uint32_t YunWriteFile(int RootIndex, uint32_t hFile, const void* Buffer,
                        uint32_t nNumberOfBytesToWrite, uint32_t* lpNumberOfBytesWritten,
                        void* lpOverlapped);
  // Carries out a pending move and sends what this open wrote (with aWrittenOnly false, also a
  // creation or truncation of it); WIN_FALSE with the failure's code.
  uint32_t YunFlushFileBuffers(int RootIndex, uint32_t hFile, bool aWrittenOnly = false);
  uint32_t YunGetFileSize(int RootIndex, uint32_t hFile, uint32_t* lpFileSizeHigh);
  bool YunGetFileSizeEx(int RootIndex, uint32_t hFile, int64_t* fileSize);
  uint32_t YunGetFileInformationByHandle(int RootIndex, uint32_t hFile,
                                         BY_HANDLE_FILE_INFORMATION* lpFileInformation);
  // The same record for a path, without an open (what a by-name attribute query needs).
  uint32_t YunGetFileInformationByName(int RootIndex, LPCWSTR aFileName,
                                       BY_HANDLE_FILE_INFORMATION* lpFileInformation);
  bool YunDeleteFile(int RootIndex, LPCWSTR FileName);
  bool YunMoveFile(int RootIndex, uint32_t hFile, LPCWSTR Filename, LPCWSTR NewFileName,
                   bool ReplaceIfExisting);
  bool YunCreateDirectoryW(int RootIndex, LPCWSTR aFileName);

  TFileInfo* Root(int RootIndex) const;
  // One round of sending pending changes (what the background thread does); true when none is
  // left.
  bool RetryPendingChanges();
  // The drive paths of this session's files whose changes the server does not have yet.
  std::vector<std::u16string> PendingFiles() const;
  size_t PendingCount() const;
  // The drive paths of the own drive's files open with written bytes not yet sent.
  std::vector<std::u16string> UnsentOpens();
  // Ends the background retries (at unmount: what is left waits for the next login).
  void StopRetries();
  // Ends every exchange of this mount at once, as failures, and fails every later one: the
  // drives are going, and a server that answers slowly or never must not hold their end.
  void CancelExchanges();
  // Cancels the exchanges, so that no fetch or refresh thread holds the end.
  ~TFileSystem();

private:
  // The root's listing (fetched when needed), or null with the code: a bad index or a missing
  // root, or a root the server could not list.
  TFileInfo* RootListing(int RootIndex);
  // The listing holding a path's last part (given in aLast), or null with the failure's code
  // (ERROR_UNEXP_NET_ERR when a folder along it could not be listed).
  TFileInfo* FolderOfLocked(int RootIndex, LPCWSTR aPath, std::u16string& aLast);
  // The node an open handle names, or null (with the failure's code in the last-error slot).
  TFileInfo* ResolveLocked(int RootIndex, uint32_t hFile);
  TFileInfo* ResolveFileLocked(int RootIndex, uint32_t hFile);
  TSysOpenInfo* RecordLocked(uint32_t hFile);
  bool HasOpensLocked(uint32_t aNodeHandle) const;
  // Pending changes (FileSystemPending.cpp).
  // Waiting changes shown on the drive with their content, in the folders that are listed (a
  // node changed here since keeps its own content); AdoptLocked gives the entry's node, or null
  // when its folder is not listed or gone.
  void AdoptWaitingLocked();
  TFileInfo* AdoptLocked(const TPendingEntry& aEntry);
  // The queue's try of one entry: through its node when the tree has one, else straight from
  // its content file; takes the lock itself.
  TTryOutcome TryPendingEntry(const TPendingEntry& aEntry);
  // The queue's give-up: the content copied to the recovery folder, the entry and the node's
  // pending state ended, the observer told.
  bool GiveUpPendingEntry(const TPendingEntry& aEntry);
  std::filesystem::path RecoveryPathOf(const TPendingEntry& aEntry) const;
  // The listing that holds a pending entry's name (aLast), and the entry's node, from the
  // listings that are here (none is fetched for it); null when not there.
  TFileInfo* PendingFolderLocked(const TPendingEntry& aEntry, std::u16string& aLast);
  TFileInfo* PendingNodeLocked(const TPendingEntry& aEntry);
  // A journal entry sent straight from its cache file (no node), checked against its base;
  // aText receives the server's refusal text.
  TCommandResult PutJournalled(const TPendingEntry& aEntry, std::u16string& aText);
  // The fetch to wait for before reading this node (started here when needed), or null when its
  // content is here. aWhole: its whole GET runs (a sparse fetch's only when asked for: writes,
  // archives, sequential readers).
  std::shared_ptr<TContentFetch> FetchLocked(TFileInfo& aNode, bool aWhole = true);
  // An archive's folder from its directory alone, read by range (a server that serves them).
  bool BuildRangedArchive(TLockGuard& aGuard, uint32_t aHandle,
                          const std::shared_ptr<TContentFetch>& aFetch, int64_t aSize);
  // A zip entry of such an archive is extracted without the lock (aNode found again after it);
  // false (with the error set) when that failed or the node went.
  bool ExtractByRangeLocked(TLockGuard& aGuard, TFileInfo*& aNode);
  // An archive not built yet: its content fetched without the lock, then its folder built from
  // the cache file; false when it could not be (the request goes no further).
  bool PrepareArchive(TLockGuard& aGuard, TFileInfo& aArchive);
  // Sends a node's changed content with the lock released during the PUT (aGuard is the only
  // hold of the lock); false with the failure's code. A file whose content came from the server
  // is first checked against the server's entry of it, asked right then: when someone else saved
  // meanwhile, this content goes beside it under a conflict name (TFileInfo::SplitConflict), and
  // the observer is told.
  bool SendLocked(TLockGuard& aGuard, uint32_t aNodeHandle);
  // The check, for a job begun (its node busy): Done to send (to the job's name, a conflict copy's
  // when it split), Failed when the server could not be asked.
  TCommandResult CheckBeforeSendLocked(TLockGuard& aGuard, TUploadJob& aJob);
  // The PUT with the lock released, told to the observer; fills the job's stored version.
  TCommandResult PutUnlocked(TLockGuard& aGuard, TUploadJob& aJob);
  // The server's entry of one file, asked with the lock released; false when the exchange failed.
  bool AskVersionUnlocked(TLockGuard& aGuard, const std::u16string& aFullName,
                          std::optional<TServerVersion>& aVersion);
  // A changed file of a kept-local extension: told to the observer once per path.
  // Tells the front end that a save the program sees failing is kept and retried.
  void TellSaveFailedLocked(uint32_t aNodeHandle);
  void AnnounceKeptLocalLocked(const TFileInfo& aNode);
  // Background refreshes of the listings along aPath that are older than the refresh period.
  void RefreshStaleLocked(int RootIndex, LPCWSTR aPath);
  // One LIST of a folder (its node handle) and the merge of its result; aGuard released meanwhile.
  void RefreshLocked(TLockGuard& aGuard, uint32_t aFolder,
                     const std::shared_ptr<TListingFetch>& aLoad);
  // What a refresh must keep: files that are open.
  TFileInfo::TKeepTest OpenNodes() const;
  // The node's pending move, its MOVE sent with the lock released; true when none is pending.
  // A save by rename (TFileInfo::SavesByRename) sends the content to the new name instead, and
  // the move is made only once the server has it (checked against the replaced document's
  // version first: a conflict puts it beside the document).
  bool CarryOutMoveLocked(TLockGuard& aGuard, uint32_t aNodeHandle);
  bool SaveByRenameLocked(TLockGuard& aGuard, TMovePlan& aPlan);
  TCommandResult CheckReplacedLocked(TLockGuard& aGuard, TMovePlan& aPlan, TUploadJob& aJob);
  // EndMove, keeping a replaced file that is still open among the detached ones.
  bool EndMoveLocked(const TMovePlan& aPlan, TCommandResult aResult);
  // One change command with the lock released (aGuard is the only hold of the lock).
  TCommandResult CommandUnlocked(TLockGuard& aGuard, const std::u16string& aCommand);
  // Runs aOperation again, after the uploads under way ended, while it answers busy
  // (ERROR_SHARING_VIOLATION); aGuard is the only hold of the lock.
  template <typename TOperation>
  bool UntilIdleLocked(TLockGuard& aGuard, TOperation aOperation) {
    for (;;) {
      if (aOperation()) return true;
      if (GetLastError() != ERROR_SHARING_VIOLATION) return false;
      FUploadEnded.wait(aGuard);
    }
  }

  std::recursive_mutex FileInfoListLock;
  std::array<std::unique_ptr<TFileInfo>, 2> FRoot;
  std::unordered_map<uint32_t, std::unique_ptr<TSysOpenInfo>> FOpenDic;
  // Files deleted while open, by node handle; each goes with the last open of it.
  std::unordered_map<uint32_t, std::unique_ptr<TFileInfo>> FDetached;
  // Where this session's changes go; fixed at creation.
  std::shared_ptr<const TMountConfig> FConfig; // also the roots'
  std::shared_ptr<TRemote> FRemote;            // every exchange, always without the lock
  std::u16string FOwnRoot;
  std::u16string FRecovery;                // where given-up changes go, ending in "/"
  std::set<std::u16string> FKeptLocalTold; // paths announced as kept local
  std::u16string FLastRefusal;             // the server's text when the last upload was refused
  std::mutex FFetchersLock;                // guards FFetchers
  std::list<std::pair<std::shared_ptr<TContentFetch>, std::jthread>> FFetchers;
  // Range fetches under way at once, over all files of both drives (readers beyond wait).
  std::counting_semaphore<> FRangePool{4};
  std::condition_variable_any FUploadEnded; // waited on with FileInfoListLock
  struct TRefresher {
    std::shared_ptr<std::atomic<bool>> FDone;
    std::jthread FThread;
  };
  std::mutex FRefreshersLock; // guards FRefreshers
  std::list<TRefresher> FRefreshers;
  std::unique_ptr<TWriteBackQueue> FQueue; // last: stopped before the rest goes
};

// The one process-wide facade reference the drive callbacks use; set before any mount.
extern TFileSystem* FileSystem;

} // namespace zelvo
