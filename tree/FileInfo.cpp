// The node model: construction from listing records, the one-time LIST, and the server
// exchanges of a node.
#include <algorithm>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "common/TextCodec.h"
#include "platform/LastError.h"
#include "platform/Locale.h"
#include "platform/WinError.h"
#include "protocol/Commands.h"
#include "protocol/YunClientUnit.h"
#include "tree/ContentFetch.h"
#include "tree/FileSysUnit.h"
#include "tree/Mask.h"

namespace zelvo {

std::atomic<uint32_t> NodeHandleCounter{1000};

namespace {

// Every node with a handle, from its construction to its destruction.
class TNodeRegistry {
public:
  void Insert(uint32_t aHandle, TFileInfo* aNode) {
    std::lock_guard FGuard(FLock);
    FNodes[aHandle] = aNode;
  }
  void Erase(uint32_t aHandle) {
    std::lock_guard FGuard(FLock);
    FNodes.erase(aHandle);
  }
  TFileInfo* Find(uint32_t aHandle) const {
    std::lock_guard FGuard(FLock);
    const auto FFound = FNodes.find(aHandle);
    return FFound == FNodes.end() ? nullptr : FFound->second;
  }

private:
  mutable std::mutex FLock; // guards FNodes
  std::unordered_map<uint32_t, TFileInfo*> FNodes;
};

TNodeRegistry& Nodes() {
  static auto* FRegistry = new TNodeRegistry; // nodes may outlive static destruction
  return *FRegistry;
}

} // namespace

FILETIME LocalNowAsFileTime() {
  timespec FNow{};
  ::clock_gettime(CLOCK_REALTIME, &FNow);
  std::tm FLocal{};
  ::localtime_r(&FNow.tv_sec, &FLocal);
  const int64_t FLocalSeconds = int64_t{FNow.tv_sec} + FLocal.tm_gmtoff;
  const int64_t FMillis = FNow.tv_nsec / 1000000;
  return FileTimeFromInt(kFileTimeUnixEpoch + FLocalSeconds * 10000000 + FMillis * 10000);
}

// A change command's result as the tree reports it: true, or false with the code the drive
// turns into EIO (not delivered) or EACCES (refused).
bool ReportedResult(TCommandResult aResult) {
  switch (aResult) {
  case TCommandResult::Done:
    return true;
  case TCommandResult::Refused:
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  case TCommandResult::Full:
    SetLastError(ERROR_DISK_FULL);
    return false;
  case TCommandResult::Failed:
    break;
  }
  SetLastError(ERROR_UNEXP_NET_ERR);
  return false;
}

WIN32_FIND_DATAW MakeFindData(std::u16string_view aName, bool aIsDir) {
  WIN32_FIND_DATAW FData;
  FData.dwFileAttributes = aIsDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  FData.ftCreationTime = FData.ftLastAccessTime = FData.ftLastWriteTime = LocalNowAsFileTime();
  SetFieldText(FData.cFileName, aName);
  return FData;
}

std::u16string ExtractFileExt(std::u16string_view aFileName) {
  const auto FDot = aFileName.rfind(u'.');
  return FDot == std::u16string_view::npos ? std::u16string()
                                           : std::u16string(aFileName.substr(FDot));
}

TFileInfo::TFileInfo(const WIN32_FIND_DATAW& Info, std::u16string_view ParentPathName)
    : TFileInfo(Info) {
  Extra().FFullName = std::u16string(ParentPathName) + u"\\" + FFileName;
}

TFileInfo::TFileInfo(const WIN32_FIND_DATAW& Info)
    : FFileAttributes(Info.dwFileAttributes), FHandle(++NodeHandleCounter),
      FFileName(FieldText(Info.cFileName)), FCreationTime(Info.ftCreationTime),
      FLastAccessTime(Info.ftLastAccessTime), FLastWriteTime(Info.ftLastWriteTime),
      FSize(static_cast<int64_t>(uint64_t{Info.nFileSizeHigh} << 32 | Info.nFileSizeLow)),
      FIsDir((Info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
  if (const std::u16string FShort = FieldText(Info.cAlternateFileName); !FShort.empty())
    Extra().FAlternateFileName = FShort;
  Nodes().Insert(FHandle, this);
  if (!FIsDir && LowerCaseLocale(ExtractFileExt(FFileName)) == u".zip") {
    FIsDir = true;
    FFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    FArchive = true;
  }
}

TFileInfo::TFileInfo(std::u16string aFullName) {
  Extra().FFullName = std::move(aFullName);
}

TFileInfo::~TFileInfo() {
  CancelFetch();
  if (FHandle != 0) Nodes().Erase(FHandle);
}

// The index holds one entry per folded name; FShadowed counts the entries left out because an
// earlier one has their name, so that only then does a change need a pass over the list.
struct TFileInfo::TNameIndex {
  struct THash {
    using is_transparent = void;
    size_t operator()(std::u16string_view aName) const { return FoldedNameHash(aName); }
    size_t operator()(const TFileInfo* aNode) const { return FoldedNameHash(aNode->FFileName); }
  };
  struct TEqual {
    using is_transparent = void;
    static std::u16string_view Name(std::u16string_view aName) { return aName; }
    static std::u16string_view Name(const TFileInfo* aNode) { return aNode->FFileName; }
    template <class TLeft, class TRight>
    bool operator()(const TLeft& aLeft, const TRight& aRight) const {
      return SameNameAscii(Name(aLeft), Name(aRight));
    }
  };
  std::unordered_set<TFileInfo*, THash, TEqual> FFirst;
  size_t FShadowed = 0;
};

TFileInfo::TNodeExtra& TFileInfo::Extra() {
  if (!FExtra) FExtra = std::make_unique<TNodeExtra>();
  return *FExtra;
}

void TFileInfo::TrimExtra() {
  if (FExtra && FExtra->Empty()) FExtra.reset();
}

const std::u16string& TFileInfo::StoredName() const {
  static const std::u16string FNone;
  return FExtra ? FExtra->FFullName : FNone;
}

const std::vector<std::unique_ptr<TFileInfo>>& TFileInfo::Entries() const {
  static const std::vector<std::unique_ptr<TFileInfo>> FNone;
  return FExtra ? FExtra->FItems : FNone;
}

const std::shared_ptr<TContentFetch>& TFileInfo::Fetch() const {
  static const std::shared_ptr<TContentFetch> FNone;
  return FExtra ? FExtra->FFetch : FNone;
}

const std::shared_ptr<TListingFetch>& TFileInfo::ListingFetch() const {
  static const std::shared_ptr<TListingFetch> FNone;
  return FExtra ? FExtra->FListingFetch : FNone;
}

const std::u16string& TFileInfo::CachePath() const {
  static const std::u16string FNone;
  return FExtra ? FExtra->FCachePath : FNone;
}

const std::u16string& TFileInfo::AlternateFileName() const {
  static const std::u16string FNone;
  return FExtra ? FExtra->FAlternateFileName : FNone;
}

const std::optional<TPendingMove>& TFileInfo::RenameOnClose() const {
  static const std::optional<TPendingMove> FNone;
  return FExtra ? FExtra->FRenameOnClose : FNone;
}

std::u16string TFileInfo::FullName() const {
  if (FParent == nullptr) return StoredName();
  const std::u16string& FFolder = FParent->StoredName();
  std::u16string FName;
  FName.reserve(FFolder.size() + 1 + FFileName.size());
  return FName.append(FFolder).append(1, u'\\').append(FFileName);
}

void TFileInfo::SetConfig(std::shared_ptr<const TMountConfig> aConfig) {
  Extra().FConfig = std::move(aConfig);
}

const std::shared_ptr<const TMountConfig>& TFileInfo::Mount() const {
  // Up through listings and their folders to the root (or to a node taken out of the tree).
  for (const TFileInfo* FNode = this; FNode != nullptr;) {
    if (FNode->FExtra && FNode->FExtra->FConfig) return FNode->FExtra->FConfig;
    FNode = FNode->FParent ? FNode->FParent : FNode->Owner();
  }
  static const std::shared_ptr<const TMountConfig> FNone;
  return FNone;
}

const TMountConfig& TFileInfo::Config() const {
  static const TMountConfig FNone; // a node of no mount: no cache folder, no server
  const auto& FMount = Mount();
  return FMount ? *FMount : FNone;
}

TFileInfo* TFileInfo::Add(std::unique_ptr<TFileInfo> aNode) {
  aNode->FParent = this;
  if (aNode->FExtra) {
    std::u16string().swap(aNode->FExtra->FFullName); // made from this listing from now on
    aNode->FExtra->FConfig.reset();                  // and its mount from the tree
    aNode->TrimExtra();
  }
  auto& FItems = Extra().FItems;
  ++FExtra->FLocalChanges;
  FItems.push_back(std::move(aNode));
  IndexName(FItems.back().get());
  return FItems.back().get();
}

const char* TFileInfo::AddRecord(const uint8_t* aRecord) {
  std::unique_ptr<TFileInfo> FNode(new TFileInfo(DecodeFindData(aRecord)));
  if (const char* FReason = HiddenNameReason(FNode->FFileName)) return FReason;
  // Names compare without case: a second one could never be opened.
  if (ThisFindFile(FNode->FFileName) != nullptr) return "another entry differs only in case";
  Add(std::move(FNode));
  return nullptr;
}

const char* HiddenNameReason(std::u16string_view aName) {
  if (aName.empty()) return "an empty name";
  if (aName == u"." || aName == u"..") return ""; // the folder's own entries, expected
  if (aName.find_first_of(u"/\\") != std::u16string_view::npos) return "a path separator";
  if (!IsUsableName(aName) || std::any_of(aName.begin(), aName.end(), [](char16_t aChar) {
        return aChar == 0x7F || (aChar >= 0x80 && aChar <= 0x9F);
      }))
    return "a control character";
  size_t FBytes = 0;
  for (const char16_t FChar : aName)
    FBytes += FChar < 0x80 ? 1 : FChar < 0x800 || (FChar >= 0xD800 && FChar < 0xE000) ? 2 : 3;
  if (FBytes > kMaxNameBytes) return "longer than 255 bytes";
  return nullptr;
}

bool IsUsableName(std::u16string_view aName) {
  return std::none_of(aName.begin(), aName.end(),
                      [](char16_t aChar) { return aChar < 0x20 || aChar == u'\\'; });
}

std::unique_ptr<TFileInfo> TFileInfo::Extract(TFileInfo* aNode) {
  if (!FExtra) return nullptr;
  auto& FItems = FExtra->FItems;
  const auto FItem = std::find_if(FItems.begin(), FItems.end(),
                                  [&](const auto& aItem) { return aItem.get() == aNode; });
  if (FItem == FItems.end()) return nullptr;
  UnindexName(aNode);
  ++FExtra->FLocalChanges;
  auto FNode = std::move(*FItem);
  FItems.erase(FItem);
  FNode->Extra().FConfig = Mount(); // out of the tree, still of this mount
  FNode->Extra().FFullName = FNode->FullName();
  FNode->FParent = nullptr;
  return FNode;
}

TFileInfo* TFileInfo::ThisFindFile(std::u16string_view aFileName) {
  if (!FExtra || !FExtra->FByName) return nullptr;
  const auto& FFirst = FExtra->FByName->FFirst;
  const auto FFound = FFirst.find(aFileName);
  return FFound == FFirst.end() ? nullptr : *FFound;
}

void TFileInfo::IndexName(TFileInfo* aNode) {
  auto& FByName = Extra().FByName;
  if (!FByName) FByName = std::make_unique<TNameIndex>();
  const auto [FAt, FNew] = FByName->FFirst.insert(aNode);
  if (FNew) return;
  ++FByName->FShadowed;
  // Two entries of one name: the first in list order is the one found.
  for (const auto& FItem : FExtra->FItems) {
    if (FItem.get() == *FAt) return;
    if (FItem.get() == aNode) {
      FByName->FFirst.erase(FAt);
      FByName->FFirst.insert(aNode);
      return;
    }
  }
}

void TFileInfo::UnindexName(TFileInfo* aNode) {
  if (!FExtra || !FExtra->FByName) return;
  const auto& FByName = FExtra->FByName;
  const auto FAt = FByName->FFirst.find(std::u16string_view(aNode->FFileName));
  if (FAt == FByName->FFirst.end()) return;
  if (*FAt != aNode) {
    --FByName->FShadowed;
    return;
  }
  FByName->FFirst.erase(FAt);
  if (FByName->FShadowed == 0) return;
  // The next entry of that name in list order takes its place.
  for (const auto& FItem : FExtra->FItems)
    if (FItem.get() != aNode && SameNameAscii(FItem->FFileName, aNode->FFileName)) {
      FByName->FFirst.insert(FItem.get());
      --FByName->FShadowed;
      return;
    }
}

void TFileInfo::SetChild(std::unique_ptr<TFileInfo> aListing) {
  FChild = std::move(aListing);
  if (!FChild) return;
  FChild->Extra().FOwner = this;
  FChild->FExtra->FListedAt = std::chrono::steady_clock::now();
}

TFileInfo* TFileInfo::FindNodeByHandle(uint32_t aHandle) {
  return Nodes().Find(aHandle);
}

void TFileInfo::SetRenameOnClose(TPendingMove aMove, TFileInfo* aRootManager) {
  Extra().FRenameOnClose = std::move(aMove);
  FExtra->FRootManager = aRootManager;
}

TFileInfo* TFileInfo::GetChild() {
  if (FChild) return FChild.get();
  if (!FIsDir) return nullptr;
  if (FArchive) ZipFileToFolder(); // from its content, when that is here
  // Not listed yet, or its LIST failed: an empty listing would say the folder is empty.
  if (!FChild) SetLastError(ERROR_UNEXP_NET_ERR);
  return FChild.get();
}

TFileInfo* TFileInfo::FirstUnlisted(std::u16string_view aPath, bool aArchiveItself) {
  TFileInfo* FListing = this;
  while (!aPath.empty()) {
    aPath.remove_prefix(aPath.front() == u'\\' ? 1 : 0);
    const auto FEnd = std::min(aPath.find(u'\\'), aPath.size());
    TFileInfo* FNode = FListing->ThisFindFile(aPath.substr(0, FEnd));
    if (FNode == nullptr || !FNode->FIsDir) return nullptr;
    const bool FLast = aPath.find_first_not_of(u'\\', FEnd) == std::u16string_view::npos;
    if (!FNode->FChild && FLast && !aArchiveItself && FNode->FArchive) return nullptr;
    if (!FNode->FChild) return FNode;
    FListing = FNode->FChild.get();
    aPath.remove_prefix(FEnd);
  }
  return nullptr;
}

std::shared_ptr<TListingFetch> TFileInfo::StartListing(const std::shared_ptr<TRemote>& aRemote,
                                                       bool& aStarted) {
  aStarted = false;
  if (ListingFetch()) return ListingFetch();
  if (FChild || !FIsDir || ArchiveNotBuilt()) return nullptr;
  Extra().FListingFetch = std::make_shared<TListingFetch>(aRemote, FullName());
  aStarted = true;
  return FExtra->FListingFetch;
}

void TFileInfo::FinishListing(const TKeepTest& aKeep) {
  if (!ListingFetch() || !ListingFetch()->Done()) return;
  const auto FEnded = std::move(FExtra->FListingFetch);
  auto FListing = FEnded->TakeListing();
  if (FChild) {
    // A refresh that failed changes nothing: an empty reply is not an empty folder.
    if (FEnded->Succeeded()) MergeListing(std::move(FListing), aKeep, FEnded->Started());
    return;
  }
  if (!FEnded->Succeeded()) return;         // unlisted still: the next request lists it again
  FListing->Extra().FFullName = FullName(); // the folder may have moved meanwhile
  SetChild(std::move(FListing));
}

void TFileInfo::CollectStale(std::u16string_view aPath,
                             std::chrono::steady_clock::time_point aListedBefore,
                             std::vector<TFileInfo*>& aFolders) {
  const auto FStale = [&](const TFileInfo* aFolder) {
    return aFolder->FChild && aFolder->FChild->FetchesFromServer() && !aFolder->ListingFetch() &&
           aFolder->FChild->Extra().FListedAt < aListedBefore;
  };
  TFileInfo* FListing = this;
  for (TFileInfo* FFolder = Owner();;) {
    if (FFolder && FStale(FFolder)) aFolders.push_back(FFolder);
    while (!aPath.empty() && aPath.front() == u'\\')
      aPath.remove_prefix(1);
    if (aPath.empty()) return;
    const auto FEnd = std::min(aPath.find(u'\\'), aPath.size());
    FFolder = FListing->ThisFindFile(aPath.substr(0, FEnd));
    if (FFolder == nullptr || !FFolder->FIsDir || !FFolder->FChild) return;
    FListing = FFolder->FChild.get();
    aPath.remove_prefix(FEnd);
  }
}

std::shared_ptr<TListingFetch> TFileInfo::StartRefresh(const std::shared_ptr<TRemote>& aRemote) {
  if (!FChild || ListingFetch()) return nullptr;
  Extra().FListingFetch = std::make_shared<TListingFetch>(aRemote, FullName());
  FExtra->FChangesAtList = FChild->Extra().FLocalChanges;
  return FExtra->FListingFetch;
}

void TFileInfo::MergeListing(std::unique_ptr<TFileInfo> aFresh, const TKeepTest& aKeep,
                             std::chrono::steady_clock::time_point aListedAt) {
  TNodeExtra& FHere = FChild->Extra();
  const bool FChangedHere = FHere.FLocalChanges != Extra().FChangesAtList;
  std::vector<std::unique_ptr<TFileInfo>> FOld = std::move(FHere.FItems);
  FHere.FItems.clear();
  FHere.FByName.reset();
  std::unordered_map<std::u16string_view, size_t> FOldByName;
  for (size_t i = 0; i < FOld.size(); ++i)
    FOldByName.try_emplace(FOld[i]->FFileName, i);
  // The server's order first: a name that stays keeps its node and handle.
  for (auto& FNew : aFresh->Extra().FItems) {
    const auto FAt = FOldByName.find(FNew->FFileName);
    auto* FOldNode = FAt == FOldByName.end() ? nullptr : &FOld[FAt->second];
    if (FOldNode && *FOldNode && (*FOldNode)->FIsDir == FNew->FIsDir) {
      (*FOldNode)->TakeServerRecord(*FNew, aKeep);
      FChild->Add(std::move(*FOldNode));
    } else {
      FChild->Add(std::move(FNew));
    }
  }
  // Names the server no longer has: kept only while busy here.
  for (auto& FNode : FOld) {
    if (!FNode) continue;
    if (FChangedHere || FNode->Busy(aKeep))
      FChild->Add(std::move(FNode));
    else
      FNode->DropCachedContent();
  }
  FHere.FListedAt = aListedAt;
}

void TFileInfo::TakeServerRecord(const TFileInfo& aFresh, const TKeepTest& aKeep) {
  if (FIsDir) return; // a folder's entries refresh with its own listing; archives stay built
  const bool FChanged = aFresh.FSize != FSize ||
                        FileTimeToInt(aFresh.FLastWriteTime) != FileTimeToInt(FLastWriteTime);
  if (!FChanged || Busy(aKeep)) return;
  FSize = aFresh.FSize;
  FCreationTime = aFresh.FCreationTime;
  FLastAccessTime = aFresh.FLastAccessTime;
  FLastWriteTime = aFresh.FLastWriteTime;
  DropCachedContent();
}

bool TFileInfo::Busy(const TKeepTest& aKeep) const {
  // A fetch that ended waits only for its outcome to be taken: it holds nothing.
  if ((aKeep && aKeep(*this)) || FSync != TSync::Clean || FUploading || !FOnServer ||
      (Fetch() && !Fetch()->Done()) || ListingFetch())
    return true;
  if (FChild)
    for (const auto& FItem : FChild->Entries())
      if (FItem->Busy(aKeep)) return true;
  return false;
}

TFileInfo* TFileInfo::CreateNewFileInfo(const std::u16string& aFileName,
                                        const std::u16string& ParentPath, bool aIsDir) {
  return Add(std::make_unique<TFileInfo>(MakeFindData(aFileName, aIsDir), ParentPath));
}

bool TFileInfo::ProvideContent() {
  if (HasContent()) return true;
  SetLastError(ERROR_UNEXP_NET_ERR); // fetched by StartFetch, without the tree's lock
  return false;
}

namespace {

// A content read for an upload, telling how far it got.
class TCountingStream final : public TStream {
public:
  TCountingStream(TFileStream& aContent, const std::function<void(int64_t)>& aProgress)
      : FContent(aContent), FProgress(aProgress) {}
  int64_t GetSize() const override { return FContent.GetSize(); }
  bool SetSize(int64_t) override { return false; }
  int64_t Write(const void*, int64_t) override { return 0; }
  bool PrepareSize(int64_t) override { return false; }
  int64_t Read(void* aBuffer, int64_t aCount) override {
    const int64_t FGot = FContent.ReadAt(aBuffer, aCount, FPosition);
    FPosition += FGot;
    if (FProgress) FProgress(FPosition);
    return FGot;
  }

private:
  TFileStream& FContent;
  const std::function<void(int64_t)>& FProgress;
};

} // namespace

TCommandResult TUploadJob::Send(TRemote& aRemote, const std::function<void(int64_t)>& aProgress) {
  try {
    TFileStream FContent(FCacheFile, TFileStream::TMode::OpenRead);
    TCountingStream FCounted(FContent, aProgress);
    TChangeAnswer FAnswer;
    const TCommandResult FResult = aRemote.Put(FCounted, FFullName, FAnswer);
    FStored = FAnswer.FStored;
    FOutcome = FAnswer.FRefusal;
    return FResult;
  } catch (const EFileStreamError&) {
    return TCommandResult::Failed;
  }
}

bool TFileInfo::EndUpload(const TUploadJob& aJob, TCommandResult aResult) {
  FUploading = false;
  if (!ReportedResult(aResult)) {
    const uint32_t FError = GetLastError();
    // Kept for the write-back queue; when even that cannot be recorded, the change stays in
    // memory only and the call says why.
    SetLastError(MarkPending() ? FError : ERROR_DISK_FULL);
    return false;
  }
  // Changed while it was sent: the newer content goes with a later close.
  if (aJob.FChange != FChangeCount || aJob.FFullName != FullName()) return true;
  ClearPending();
  FSync = TSync::Clean;
  FOnServer = true;
  // The server's version is now this content, as the server said it stored it; without its
  // word the next save has nothing to check against (a later listing may show someone else's).
  if (aJob.FStored) {
    SetBase(*aJob.FStored);
    FLastWriteTime = aJob.FStored->FWriteTime;
  } else if (FExtra) {
    FExtra->FHasBase = false;
  }
  return true;
}

std::optional<TServerVersion> TFileInfo::Base() const {
  if (!HasBase()) return std::nullopt;
  return TServerVersion{FExtra->FBaseSize, FExtra->FBaseWriteTime};
}

void TFileInfo::SetBase(const TServerVersion& aVersion) {
  TNodeExtra& FHere = Extra();
  FHere.FHasBase = true;
  FHere.FBaseSize = aVersion.FSize;
  FHere.FBaseWriteTime = aVersion.FWriteTime;
}

std::u16string ConflictName(std::u16string_view aName, std::u16string_view aUser,
                            const std::tm& aLocal, int aNumber) {
  const std::u16string FExt = ExtractFileExt(aName);
  const std::u16string_view FStem = aName.substr(0, aName.size() - FExt.size());
  char FWhen[32];
  std::strftime(FWhen, sizeof FWhen, "%Y-%m-%d %H%M", &aLocal);
  const std::string FNumber = aNumber > 1 ? " " + std::to_string(aNumber) : "";
  const std::u16string FTail =
      u" (" + std::u16string(aUser) + u"的冲突副本 " + Utf8ToUtf16(FWhen + FNumber) + u")" + FExt;
  // A name past 255 bytes cannot be stored: the stem gives way, whole characters at a time.
  std::u16string FName = std::u16string(FStem) + FTail;
  while (Utf16ToUtf8(FName).size() > kMaxNameBytes && FName.size() > FTail.size()) {
    size_t FCut = FName.size() - FTail.size() - 1;
    if (FCut > 0 && FName[FCut] >= 0xDC00 && FName[FCut] <= 0xDFFF) --FCut; // a surrogate pair
    FName.erase(FCut, FName.size() - FTail.size() - FCut);
  }
  return FName;
}

std::u16string TFileInfo::FreeConflictName(std::u16string_view aName, std::u16string_view aUser) {
  const std::time_t FNow = std::time(nullptr);
  std::tm FLocal{};
  ::localtime_r(&FNow, &FLocal);
  std::u16string FName;
  for (int FNumber = 1; FName.empty() || ThisFindFile(FName); ++FNumber)
    FName = ConflictName(aName, aUser, FLocal, FNumber);
  return FName;
}

TFileInfo* TFileInfo::SplitConflict(std::u16string_view aUser, const TServerVersion& aServer) {
  if (FParent == nullptr) return nullptr;
  const std::u16string FName = FParent->FreeConflictName(FFileName, aUser);
  // The server's version keeps the name, as a node to fetch; this content goes beside it.
  WIN32_FIND_DATAW FRecord = MakeFindData(FFileName, false);
  FRecord.nFileSizeHigh = static_cast<uint32_t>(static_cast<uint64_t>(aServer.FSize) >> 32);
  FRecord.nFileSizeLow = static_cast<uint32_t>(aServer.FSize);
  FRecord.ftLastWriteTime = aServer.FWriteTime;
  TFileInfo* FListing = FParent;
  if (FExtra) FExtra->FHasBase = false;
  FOnServer = false;
  Rename(FName, FListing->StoredName() + u"\\" + FName);
  FListing->Add(std::unique_ptr<TFileInfo>(new TFileInfo(FRecord)));
  return this;
}

WIN32_FIND_DATAW FileInfoToFindData(const TFileInfo& aNode) {
  WIN32_FIND_DATAW FData;
  FData.dwFileAttributes = aNode.FileAttributes();
  FData.ftCreationTime = aNode.CreationTime();
  FData.ftLastAccessTime = aNode.LastAccessTime();
  FData.ftLastWriteTime = aNode.LastWriteTime();
  const auto FSize = static_cast<uint64_t>(aNode.Size());
  FData.nFileSizeHigh = static_cast<uint32_t>(FSize >> 32);
  FData.nFileSizeLow = static_cast<uint32_t>(FSize);
  SetFieldText(FData.cFileName, aNode.FileName());
  SetFieldText(FData.cAlternateFileName, aNode.AlternateFileName());
  return FData;
}

} // namespace zelvo
