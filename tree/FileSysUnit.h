// The remote file tree of a drive: TFileInfo nodes that mirror the server's folders, the local
// cache files of their contents, and the changes sent to the server.
//
// Roles of one class: a file node; a folder node, whose entries live in its listing (FChild); a
// listing (handle 0, never an item of a list); an archive node (a ".zip" file shown as a folder,
// built by ZipFileToFolder); a drive's root node.
//
// Ownership: a folder node owns its listing, a listing owns its entries (std::unique_ptr), a node
// owns its cache stream. Deleting a node, or replacing it by a move, destroys it with everything
// below it; a destroyed node's cache file stays in the cache folder.
//
// Threads and locks: no operation here locks. The facade calls everything under its one lock.
// No operation here makes a network exchange or waits for one: a GET runs through StartFetch
// (TContentFetch), a LIST through StartListing (TListingFetch), a PUT through BeginUpload /
// TUploadJob::Send / EndUpload, MKDIR, DELETE and MOVE through BeginCreateDirectory /
// BeginDelete / BeginMove and their End, each exchange run by the caller without the lock. A
// listing or content that is not here yet is a failure (ERROR_UNEXP_NET_ERR), never fetched on
// the spot. The node-handle counter is atomic, and the process-wide map from node handle to node
// has a lock of its own (nodes are made and destroyed by tests and archives outside the facade
// too).
//
// Lookups take constant time: every node with a handle is in the handle map from its
// construction to its destruction, and each listing keeps a map from the ASCII-folded name to
// the first entry of that name in list order (kept right by Add, Extract and Rename).
//
// Errors: network failures are results (false), with a Windows code in the last-error slot:
// ERROR_UNEXP_NET_ERR for an exchange that failed (no connection, time-out), ERROR_ACCESS_DENIED
// for a change the server refused, ERROR_HANDLE_EOF for a read at or past the end,
// ERROR_FILE_TOO_LARGE past kMaxFileSize, ERROR_DISK_FULL when the cache file cannot take a
// write, ERROR_PRIVILEGE_NOT_HELD for a new ".zip" name (it would be an archive folder),
// ERROR_FILE_EXISTS / ERROR_FILE_NOT_FOUND / ERROR_SUCCESS from CreateOpenFile,
// ERROR_ALREADY_EXISTS from BeginCreateDirectory, ERROR_DIR_NOT_EMPTY from BeginDelete. A cache
// file that cannot be made raises EFileStreamError; an invalid mask raises EMaskException.
//
// The state of a file node is two types, TContent and TSync (below), besides FOnServer (the
// server has the node at all: a file created in this run has none until its first upload, so its
// moves are the tree's alone) and FUploading (a command of the node is under way: PUT, MKDIR,
// DELETE or MOVE; the node is busy meanwhile).
// A read or write of a remote node needs its content fetched first (the facade does that); a
// failed fetch leaves it remote. A folder made here starts with an empty listing. A namespace
// change is made in the tree only once the server has confirmed its command: refused or
// undelivered, the tree stays as it was.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Streams.h"
#include "platform/WinTypes.h"
#include "protocol/ServerVersion.h"
#include "protocol/YunClientUnit.h"
#include "tree/MountConfig.h"
#include "tree/Remote.h"

namespace zelvo {

class TContentFetch;
class TZipArchive;
class TListingFetch;
class TFileInfo;

// Where a file node's content is. A fetch under way (Fetch()) is the way from Remote to Fetched.
enum class TContent {
  Remote,  // no cache, the server's content not fetched (made from a listing record)
  Fetched, // the server's content is in the cache file (FinishFetch; an archive entry's, extracted)
  Local,   // made in this run, known, empty at first (CreateOpenFile new or emptied)
  Broken   // a write to the cache failed: not what the program wrote; never uploaded until the
           // node is emptied again
};

// How a file node's content stands with the server.
enum class TSync {
  Clean,   // the server has this content (or nothing was changed here)
  Changed, // the cache differs from the server (Write, SetSize, creation, emptying)
  Pending, // changed, and its upload failed or was refused: the cache file is named after the
           // server, port and full name and listed in the journal of pending changes
           // (PendingJournal.h), so the write-back queue sends it again, in this run or the next
  Refused  // the server refused it for good: its content was kept elsewhere, not sent again
           // until the next change
};

// An upload that runs outside the tree's lock: what BeginUpload took from the node.
struct TUploadJob {
  uint32_t FHandle = 0;
  std::u16string FFullName;
  std::u16string FCacheFile;
  uint64_t FChange = 0; // the node's change count when it began
  // The server's version once it is stored (Send fills it from a confirming server's "OK").
  std::optional<TServerVersion> FStored;
  std::u16string FOutcome; // the server's refusal text, when it refused
  // The PUT, from the cache file; needs no lock. aProgress hears the bytes sent so far.
  TCommandResult Send(TRemote& aRemote, const std::function<void(int64_t)>& aProgress = {});
};
// A move between BeginMove and EndMove (its MOVE runs without the tree's lock). The source, a
// replaced target and the folder moved into are busy meanwhile, so the listings stay.
struct TMovePlan {
  uint32_t FSource = 0;
  uint32_t FTarget = 0; // a node replaced by the move, or 0
  TFileInfo* FFrom = nullptr;
  TFileInfo* FTo = nullptr;
  std::u16string FNewLast;
  std::u16string FOldFullName;
  std::u16string FNewFullName;
  bool FSend = false; // the server has the source: MOVE is sent
};

// A rename asked for through an open file (the drive's move callback), carried out at its close.
struct TPendingMove {
  std::u16string FFrom; // drive paths
  std::u16string FTo;
  bool FReplace = false; // an existing target is replaced
  bool operator==(const TPendingMove&) const = default;
};

enum class TUploadStart {
  Nothing, // nothing to send (unchanged, or kept local)
  Send,    // the job is to be sent, then given to EndUpload
  Busy,    // an upload of this node is under way: wait for its end
  Broken   // the content is broken: never sent (ERROR_DISK_FULL)
};

inline constexpr std::u16string_view NoUploadExtensions = u".tmp;.swf;.exe;.rar;.zip;.7z";
inline constexpr uint32_t kInvalidNodeHandle = 0xFFFFFFFF;
// The largest content an upload can announce (its count is a signed 32-bit number).
inline constexpr int64_t kMaxFileSize = 0x7FFFFFFF;
// The longest name a drive can hold, in UTF-8 bytes.
inline constexpr size_t kMaxNameBytes = 255;

inline constexpr uint32_t CREATE_NEW = 1;
inline constexpr uint32_t CREATE_ALWAYS = 2;
inline constexpr uint32_t OPEN_EXISTING = 3;
inline constexpr uint32_t OPEN_ALWAYS = 4;
inline constexpr uint32_t TRUNCATE_EXISTING = 5;

// The process-wide node-handle counter: the first node gets 1001.
extern std::atomic<uint32_t> NodeHandleCounter;

// A blank record for a new node: attributes 16 (folder) or 128, the local wall-clock time as
// all three file times (no conversion to UTC), size 0, the name cut to 259 units.
WIN32_FIND_DATAW MakeFindData(std::u16string_view aName, bool aIsDir);
// The local wall-clock time as a file time, the time of every change made here.
FILETIME LocalNowAsFileTime();

class TFileInfo {
public:
  // A node from a listing record; its full name is aParentPathName + "\" + its name.
  TFileInfo(const WIN32_FIND_DATAW& Info, std::u16string_view ParentPathName);
  // A listing of the folder aFullName.
  explicit TFileInfo(std::u16string aFullName);
  TFileInfo(const TFileInfo&) = delete;
  TFileInfo& operator=(const TFileInfo&) = delete;
  virtual ~TFileInfo();

  // The mount this node belongs to: given to a drive root (SetConfig), found by every node
  // below it, and kept by a node taken out of its listing.
  void SetConfig(std::shared_ptr<const TMountConfig> aConfig);
  const TMountConfig& Config() const;

  // The list of a listing.
  size_t Count() const { return Entries().size(); }
  TFileInfo* Items(size_t aIndex) const { return Entries()[aIndex].get(); }
  TFileInfo* Add(std::unique_ptr<TFileInfo> aNode);
  // A LIST record (kFindDataSize bytes) as an entry. A name the drive cannot show
  // (HiddenNameReason), or one that differs only in case from an entry listed before it, is
  // dropped (the handle it took stays used); the reason is returned, null when it was added.
  const char* AddRecord(const uint8_t* aRecord);
  std::unique_ptr<TFileInfo> Extract(TFileInfo* aNode);

  bool IsDir() const { return FIsDir; }
  uint32_t FileAttributes() const { return FFileAttributes; }
  const std::u16string& FileName() const { return FFileName; }
  // Made from the listing that holds the node (an entry keeps no copy of its folder's path).
  std::u16string FullName() const;
  const std::u16string& AlternateFileName() const;
  FILETIME CreationTime() const { return FCreationTime; }
  FILETIME LastAccessTime() const { return FLastAccessTime; }
  FILETIME LastWriteTime() const { return FLastWriteTime; }
  int64_t Size() const { return FSize; }
  TContent Content() const { return FContent; }
  TSync Sync() const { return FSync; }
  bool Modified() const { return FSync == TSync::Changed || FSync == TSync::Pending; }
  bool Cached() const { return FContent == TContent::Fetched; }
  bool OnServer() const { return FOnServer; }
  bool Pending() const { return FSync == TSync::Pending; }
  bool Broken() const { return FContent == TContent::Broken; }
  TStream* Cache() const { return FCache.get(); }
  uint32_t Handle() const { return FHandle; }
  TFileInfo* Child() const { return FChild.get(); }
  const std::optional<TPendingMove>& RenameOnClose() const;
  // A pending move, carried out on aRootManager at the next close.
  void SetRenameOnClose(TPendingMove aMove, TFileInfo* aRootManager);

  // The node model: a folder's listing when it is here (an archive's is built from its content
  // then), else null with ERROR_UNEXP_NET_ERR (StartListing fetches it).
  virtual TFileInfo* GetChild();
  virtual TFileInfo* CreateNewFileInfo(const std::u16string& aFileName,
                                       const std::u16string& ParentPath, bool aIsDir);
  // Content.
  virtual uint32_t CreateOpenFile(const std::u16string& aFileName, uint32_t dwCreationDisposition);
  virtual bool FileCanMove() { return true; }
  virtual bool Read(void* Buffer, uint32_t BufferLength, uint32_t& ReadLength, int64_t Offset);
  virtual bool Write(const void* Buffer, uint32_t BufferLength, uint32_t& WriteLength,
                     int64_t Offset);
  // Namespace changes in steps, so their command runs without the tree's lock: Begin checks and
  // marks the node busy (a new folder is in the tree, busy, from the start), the caller sends the
  // command (none for a node the server does not have), End takes the result: on success the
  // deletion is made (the removed node handed over: a file still open stays usable through it),
  // on failure the new folder goes again.
  TFileInfo* BeginCreateDirectory(const std::u16string& aFileName);
  static bool EndCreateDirectory(TFileInfo* aNew, TCommandResult aResult);
  TFileInfo* BeginDelete(const std::u16string& aFileName);
  static bool EndDelete(TFileInfo* aNode, TCommandResult aResult,
                        std::unique_ptr<TFileInfo>& aRemoved);
  virtual void Rename(const std::u16string& aNewFileName, const std::u16string& aNewFullName);
  // Content that needs no server: true when the content is here afterwards (an archive entry
  // extracts it from its archive); a server's file without its content fails
  // (ERROR_UNEXP_NET_ERR).
  virtual bool ProvideContent();

  // Content, continued.
  void CreateCacheStream();
  // Resizes the content, which must be here; false when it is not.
  bool SetSize(int64_t Value);
  void ClearFileData();
  // Content fetched outside the tree's lock (ContentFetch.h). StartFetch gives the node's fetch,
  // made when it has none (aStarted: the caller runs it), or null when the node needs none (its
  // content is here, or it is not fetched from the server) or its last fetch failed less than
  // kRefetchPause ago (the read then fails). FinishFetch takes an ended fetch's outcome into the
  // node; a running one is left alone. A fetch whose reply disagreed with the listed size marks
  // the node's listing out of date (listed again at the next look).
  std::shared_ptr<TContentFetch> StartFetch(const std::shared_ptr<TRemote>& aRemote,
                                            bool& aStarted);
  void FinishFetch();
  // A failed fetch is not started again for kRefetchPause, unless the file is opened again.
  static constexpr std::chrono::seconds kRefetchPause{2};
  void ForgetFetchFailure();
  bool FetchIs(const std::shared_ptr<TContentFetch>& aFetch) const { return Fetch() == aFetch; }
  // The content when it is all here (no fetch runs), for reads without the tree's lock: the
  // cache file's stream and the size it has now; null otherwise (Read then does the work).
  std::shared_ptr<const TFileStream> PresentContent(int64_t& aSize);
  virtual bool FetchesFromServer() const { return true; }

  // Listings fetched outside the tree's lock. FirstUnlisted (on a listing) gives the first folder
  // along aPath whose listing is not here yet (an archive not built yet among them: its content
  // is fetched like a file's, then built under the lock from the cache);
  // StartListing gives its LIST, made when it has none (aStarted: the caller runs it);
  // FinishListing turns an ended LIST into the folder's entries. aArchiveItself false: an
  // archive that aPath names (its last part) is not one (looking at it needs no content).
  TFileInfo* FirstUnlisted(std::u16string_view aPath, bool aArchiveItself = true);
  bool IsArchive() const { return FArchive; }
  // An archive whose listing is not here yet: its content is fetched, then the listing built.
  bool ArchiveNotBuilt() const { return FArchive && !FChild; }
  std::shared_ptr<TListingFetch> StartListing(const std::shared_ptr<TRemote>& aRemote,
                                              bool& aStarted);
  // What a refresh must leave alone besides the tree's own busy nodes (changed, pending, being
  // sent or fetched, not on the server yet): the facade's open files.
  using TKeepTest = std::function<bool(const TFileInfo&)>;
  // A refreshed listing is merged into the one here (MergeListing); a first one is taken as it is.
  void FinishListing(const TKeepTest& aKeep = {});

  // Listings fetched again (the mount's refresh period): CollectStale (on a root's listing) gives
  // the folders along aPath, the root's own included, whose listing was fetched before
  // aListedBefore and is not being fetched again; StartRefresh gives a folder's new LIST (null when
  // one runs). The merge keeps a name's node and handle, adds new names, and drops gone names
  // unless they are busy or kept; a file changed on the server that is not busy loses its cached
  // content, so its next read fetches the new one. A listing changed here while its LIST ran keeps
  // its gone names until the next refresh (the LIST may predate the change).
  void CollectStale(std::u16string_view aPath, std::chrono::steady_clock::time_point aListedBefore,
                    std::vector<TFileInfo*>& aFolders);
  std::shared_ptr<TListingFetch> StartRefresh(const std::shared_ptr<TRemote>& aRemote);

  // An upload in three steps, so the PUT runs outside the tree's lock: BeginUpload and EndUpload
  // under the lock, TUploadJob::Send between them. While it runs the node is busy: moves and
  // deletions of it answer ERROR_SHARING_VIOLATION, so its commands keep their order.
  TUploadStart BeginUpload(TUploadJob& aJob);
  bool EndUpload(const TUploadJob& aJob, TCommandResult aResult);
  bool Uploading() const { return FUploading; }
  // Records a changed content as pending before its upload (a crash before the upload then
  // loses nothing); true when there was nothing to record (unchanged, kept local, broken), false
  // with ERROR_DISK_FULL when it could not be recorded.
  bool RecordPending();
  // The write-back queue gave this change up (its content is kept elsewhere): no longer pending
  // nor changed, until the next change.
  void GiveUpPending();

  // Two edits of one file: the base is the server's version this content came from (fetched, or
  // confirmed by this client's own upload); none for content made here. When the server's
  // version differs from it right before an upload, someone else saved meanwhile: SplitConflict
  // renames this node (its content, its opens) to "<stem> (<user>的冲突副本 <yyyy-mm-dd
  // HHmm>)<ext>", not yet on the server, and puts a node of aServer's version under the original
  // name; it returns this node (null when it is in no listing).
  bool HasBase() const { return FExtra && FExtra->FHasBase; }
  std::optional<TServerVersion> Base() const;
  void SetBase(const TServerVersion& aVersion);
  // The folder node whose listing holds this node, or null.
  TFileInfo* Folder() const { return FParent ? FParent->Owner() : nullptr; }
  // On a folder: whether its listing was fetched before aTime (or is not here).
  bool ListedBefore(std::chrono::steady_clock::time_point aTime) const {
    return !FChild || !FChild->FExtra || FChild->FExtra->FListedAt < aTime;
  }
  const std::shared_ptr<TListingFetch>& ListingFetch() const;
  TFileInfo* SplitConflict(std::u16string_view aUser, const TServerVersion& aServer);
  // On a listing: the conflict name of aName for aUser now that no entry here has yet.
  std::u16string FreeConflictName(std::u16string_view aName, std::u16string_view aUser);

  // On a listing: takes a pending file's content from an earlier run as the changed content of
  // the entry aFileName (made when the server does not have it).
  TFileInfo* AdoptPendingFile(const std::u16string& aFileName, const std::u16string& aCacheFile,
                              const std::optional<TServerVersion>& aBase = std::nullopt);

  // Path lookup, on a listing.
  TFileInfo* GetDirectory(std::u16string_view Path, std::u16string& LastFilename);
  TFileInfo* ThisFindFile(std::u16string_view aFileName);
  TFileInfo* FindFile(std::u16string_view aFileName);
  bool FindFile(std::u16string_view aFileName, std::vector<uint8_t>& Buf);
  // The same entries handed to aEach one by one, with no record made of them.
  bool FindFile(std::u16string_view aFileName, const std::function<void(const TFileInfo&)>& aEach);
  TFileInfo* FindFileByHandle(uint32_t aHandle);
  // Any live node with that handle, in whatever tree (or none).
  static TFileInfo* FindNodeByHandle(uint32_t aHandle);
  uint32_t GetFileAttributesW(std::u16string_view aFileName);

  // Moves and renames, on the listing of the drive root, in steps so the MOVE runs without the
  // tree's lock: BeginMove checks and marks
  // the nodes busy, the caller sends MOVE when aPlan.FSend, EndMove makes the move in the tree
  // when it succeeded (and leaves the tree as it was otherwise).
  bool BeginMove(const std::u16string& Filename, const std::u16string& NewFileName,
                 bool ReplaceIfExisting, TMovePlan& aPlan);
  // aReplaced, when given, receives the node the move replaced (else it is destroyed).
  static bool EndMove(const TMovePlan& aPlan, TCommandResult aResult,
                      std::unique_ptr<TFileInfo>* aReplaced = nullptr);
  // BeginMove of the pending move (FRenameOnClose, cleared); false with the code when it cannot
  // begin (kept for later when the answer is busy). aPlan.FSource stays 0 when none is pending.
  bool BeginPendingMove(TMovePlan& aPlan);
  // A save by rename: this file (the plan's source) holds content the server does not have (kept
  // local, never uploaded, or pending) and goes to a name that is uploaded, as editors save
  // through a temporary file. Its content is then sent to the new name (the job, begun while the
  // plan keeps the node busy) before the tree's move; EndUpload takes the outcome afterwards.
  bool SavesByRename(const TMovePlan& aPlan) const;
  TUploadStart BeginSaveByRename(const TMovePlan& aPlan, TUploadJob& aJob);
  // The plan goes to aNewLast in the same folder instead, replacing nothing (a conflict copy).
  static void RetargetMove(TMovePlan& aPlan, const std::u16string& aNewLast);

  // Zip archives shown as folders: from the content here, or from an archive read by range
  // (null: not a zip archive, an empty folder).
  void ZipFileToFolder();
  void BuildArchiveFolder(const std::shared_ptr<TZipArchive>& aArchive);

  std::u16string CacheFileName() const;

protected:
  // The mount's cache folder + node handle + aSuffix.
  std::u16string HandleFileName(std::u16string_view aSuffix) const;
  void SetChild(std::unique_ptr<TFileInfo> aListing);

  bool HasContent() const { return FContent != TContent::Remote; }
  // A change of the content: changed, unless it is already pending (then the journal's entry
  // stays and takes the newer content at the next send).
  void MarkChanged();
  // Makes sure the cache holds the node's whole content: opens it; a remote node's content must
  // have been fetched (false otherwise).
  bool EnsureContent();
  void MarkLocalContent();
  // Whether aListing is this node's listing or lies below it.
  bool ContainsListing(const TFileInfo* aListing) const;
  // After a rename or move of this node (or of a folder above it) from aOldFullName.
  void FollowRename(const std::u16string& aOldFullName);
  // Records the changed content as pending (journal and content on the disk); false when that
  // could not be done (the node stays changed, in memory only).
  bool MarkPending();
  void ClearPending();
  void CancelFetch();
  // A read while a fetch runs: the range must have arrived (the facade waits for it without the
  // lock first).
  bool ReadWhileFetching(void* Buffer, uint32_t BufferLength, uint32_t& ReadLength, int64_t Offset);
  // A pending node under a new full name: its journal entry and cache file follow.
  void FollowPending(const std::u16string& aOldFullName);

  struct TNameIndex; // the first entry of each ASCII-folded name in list order
  // What few nodes need: made on first use (Extra), so a listed entry costs its name and the
  // fixed fields below.
  struct TNodeExtra {
    std::u16string FFullName; // while no listing holds the node (listings, roots, removed nodes)
    std::vector<std::unique_ptr<TFileInfo>> FItems; // a listing's entries
    std::unique_ptr<TNameIndex> FByName;            // a listing's name index
    TFileInfo* FOwner = nullptr;                    // a listing's folder node
    std::shared_ptr<const TMountConfig> FConfig;    // a root's, or a node's out of every listing
    std::u16string FAlternateFileName;
    std::u16string FCachePath; // the cache file when it is not named after the node handle
    std::optional<TPendingMove> FRenameOnClose;
    TFileInfo* FRootManager = nullptr;                      // not owned: the drive root's listing
    std::shared_ptr<TContentFetch> FFetch;                  // the GET under way, if any
    std::shared_ptr<TListingFetch> FListingFetch;           // the LIST under way, if any
    std::chrono::steady_clock::time_point FListedAt{};      // a listing's: when its LIST was made
    std::chrono::steady_clock::time_point FFetchFailedAt{}; // a file's: its last fetch failed
    uint64_t FLocalChanges = 0;  // a listing's: entries added or taken out here
    uint64_t FChangesAtList = 0; // a folder's: its listing's FLocalChanges when a LIST began
    // A file's: the server's size and last-write time its content came from.
    bool FHasBase = false;
    int64_t FBaseSize = 0;
    FILETIME FBaseWriteTime{};

    // Nothing set that the node needs (the base's size and time count only with FHasBase, the
    // listing's time only with its owner). Beside the fields, so a new one is not forgotten.
    bool Empty() const {
      return FFullName.empty() && FItems.empty() && !FByName && !FOwner && !FConfig &&
             FAlternateFileName.empty() && FCachePath.empty() && !FRenameOnClose && !FRootManager &&
             !FFetch && !FListingFetch && !FHasBase && FChangesAtList == 0 && FLocalChanges == 0 &&
             FFetchFailedAt == std::chrono::steady_clock::time_point{};
    }
  };
  // A listed entry's node, without a full name of its own.
  explicit TFileInfo(const WIN32_FIND_DATAW& Info);
  TNodeExtra& Extra();
  // Drops the extra part when nothing in it is set any more.
  void TrimExtra();
  const std::u16string& StoredName() const;
  const std::shared_ptr<const TMountConfig>& Mount() const;
  const std::vector<std::unique_ptr<TFileInfo>>& Entries() const;
  TFileInfo* Owner() const { return FExtra ? FExtra->FOwner : nullptr; }
  const std::shared_ptr<TContentFetch>& Fetch() const;
  const std::u16string& CachePath() const;
  void IndexName(TFileInfo* aNode);
  // Merges a new LIST of this folder into its listing (see CollectStale).
  // aListedAt: when its LIST began (a listing is as old as the question it answers).
  void MergeListing(std::unique_ptr<TFileInfo> aFresh, const TKeepTest& aKeep,
                    std::chrono::steady_clock::time_point aListedAt);
  // A kept entry takes what the server's record says now.
  void TakeServerRecord(const TFileInfo& aFresh, const TKeepTest& aKeep);
  // Whether this node, or anything below it, must stay although the server no longer lists it.
  bool Busy(const TKeepTest& aKeep) const;
  // Forgets the cached content: the next read fetches the server's.
  void DropCachedContent();
  // The content just fetched is the server's version of now (size and last-write time).
  void RecordBase();
  void UnindexName(TFileInfo* aNode);

  uint32_t FFileAttributes = 0;
  uint32_t FHandle = 0;
  std::u16string FFileName;
  FILETIME FCreationTime;
  FILETIME FLastAccessTime;
  FILETIME FLastWriteTime;
  int64_t FSize = 0;
  uint64_t FChangeCount = 0;           // counts every change of the content
  std::shared_ptr<TFileStream> FCache; // shared with reads made without the lock
  std::unique_ptr<TFileInfo> FChild;
  std::unique_ptr<TNodeExtra> FExtra;
  TFileInfo* FParent = nullptr; // the listing that holds this node, while one does
  bool FIsDir = false;
  bool FArchive = false; // a ".zip" file shown as a folder (its listing built from its content)
  TContent FContent = TContent::Remote;
  TSync FSync = TSync::Clean;
  bool FOnServer = true;   // the server has this node (false for a file not yet uploaded)
  bool FUploading = false; // a command of this node is under way (busy)
};

class TZipArchive;

// An entry, folder or listing inside a zip archive shown as a folder: read-only, never sent to
// the server. An entry's content is extracted into its own cache file on its first read. All
// nodes of one archive share its reader, which keeps the archive's cache file open.
class TZipFileInfo : public TFileInfo {
public:
  using TFileInfo::TFileInfo;

  const std::shared_ptr<TZipArchive>& ZipFile() const { return FZipFile; }
  int32_t ZipIndex() const { return FZipIndex; }

  TFileInfo* CreateNewFileInfo(const std::u16string& aFileName, const std::u16string& ParentPath,
                               bool aIsDir) override;
  uint32_t CreateOpenFile(const std::u16string& aFileName, uint32_t dwCreationDisposition) override;
  bool FileCanMove() override { return false; }
  bool Write(const void* Buffer, uint32_t BufferLength, uint32_t& WriteLength,
             int64_t Offset) override;
  bool ProvideContent() override;
  bool FetchesFromServer() const override { return false; } // extracted from the archive
  // An archive read by range: the entry is extracted without the tree's lock, into a file of
  // that reader's own (readers of one entry may extract at once), which AdoptExtraction then
  // takes as its content unless another came first.
  bool ExtractsByRange() const;
  std::u16string ExtractionFile(uint64_t aReader) const;
  void AdoptExtraction(const std::u16string& aFile);

  TZipFileInfo* CreateNewZipFileInfo(const std::u16string& aFileName,
                                     const std::u16string& ParentPath, bool aIsDir);
  // Places one entry (path parts separated by "") in this listing, making the folders its
  // path implies; aIsFolder for the archive's own folder entries. False when a folder part
  // names an existing file, which ends the building.
  bool ExecuteZipFileOne(int32_t aZipIndex, std::u16string_view aName,
                         const std::shared_ptr<TZipArchive>& aZipFile, bool aIsFolder = false);

private:
  TZipFileInfo* AddFolder(const std::u16string& aName, int32_t aZipIndex,
                          const std::shared_ptr<TZipArchive>& aZipFile);

  std::shared_ptr<TZipArchive> FZipFile;
  int32_t FZipIndex = 0;
};

// A change command's result as the tree reports it: true, or false with the code the drive
// turns into EIO (not delivered, ERROR_UNEXP_NET_ERR), EACCES (refused, ERROR_ACCESS_DENIED) or
// ENOSPC (the server's disk is full, ERROR_DISK_FULL).
bool ReportedResult(TCommandResult aResult);

// "<stem> (<user>的冲突副本 <yyyy-mm-dd HHmm>)<ext>"; a number after the time from the second on;
// the stem shortened (the rest kept) when the name would pass kMaxNameBytes in UTF-8.
std::u16string ConflictName(std::u16string_view aName, std::u16string_view aUser,
                            const std::tm& aLocal, int aNumber = 1);

// Whether a name can travel in a request line: no control character (CR or LF would end the
// line and start another request) and no "\" (it would split the name in two).
bool IsUsableName(std::u16string_view aName);
// Why a listed name cannot be shown on a drive, or null when it can: empty, "." or "..", a "/"
// or "\\", a control character, or more than kMaxNameBytes in UTF-8 (no request could carry it,
// or no program could open it). "." and ".." give an empty reason: every listing has them.
const char* HiddenNameReason(std::u16string_view aName);

// The find-data record of a node.
WIN32_FIND_DATAW FileInfoToFindData(const TFileInfo& aNode);
// The extension from the last "." on, "." included; empty when there is none.
std::u16string ExtractFileExt(std::u16string_view aFileName);
// Whether a changed file of this name stays local: its lower-cased extension equals one entry of
// NoUploadExtensions (entries separated by ";"). "report." and "notes.t" are uploaded.
bool IsKeptLocal(std::u16string_view aFileName);

} // namespace zelvo
