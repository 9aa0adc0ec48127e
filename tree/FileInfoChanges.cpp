// Namespace changes: new folders, deletions, renames and moves, in the tree at once and on the
// server by one command each.
#include "common/Utils.h"
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "tree/FileSysUnit.h"
#include "tree/Mask.h"

namespace zelvo {

namespace {

bool Refuse(uint32_t aError) {
  SetLastError(aError);
  return false;
}

TFileInfo* RefuseNode(uint32_t aError) {
  SetLastError(aError);
  return nullptr;
}

} // namespace

TFileInfo* TFileInfo::BeginCreateDirectory(const std::u16string& aFileName) {
  if (!FileCanMove()) return RefuseNode(ERROR_ACCESS_DENIED); // an archive's listing
  if (ThisFindFile(aFileName) != nullptr) return RefuseNode(ERROR_ALREADY_EXISTS);
  TFileInfo* FNew = CreateNewFileInfo(aFileName, StoredName(), true);
  FNew->FUploading = true; // busy until the server has it
  return FNew;
}

bool TFileInfo::EndCreateDirectory(TFileInfo* aNew, TCommandResult aResult) {
  aNew->FUploading = false;
  if (ReportedResult(aResult)) {
    aNew->SetChild(std::make_unique<TFileInfo>(aNew->FullName())); // new, so empty
    return true;
  }
  const uint32_t FError = GetLastError();
  aNew->FParent->Extract(aNew); // not made on the server: not made here either
  SetLastError(FError);
  return false;
}

TFileInfo* TFileInfo::BeginDelete(const std::u16string& aFileName) {
  if (!FileCanMove()) return RefuseNode(ERROR_ACCESS_DENIED); // an archive's listing
  TFileInfo* FNode = ThisFindFile(aFileName);
  if (FNode == nullptr) return RefuseNode(ERROR_FILE_NOT_FOUND);
  if (FNode->FIsDir) {
    TFileInfo* FListing = FNode->GetChild();
    if (FListing == nullptr) return nullptr; // not listed: whether it is empty is unknown
    if (FListing->Count() > 0) return RefuseNode(ERROR_DIR_NOT_EMPTY);
  }
  if (FNode->FUploading) return RefuseNode(ERROR_SHARING_VIOLATION); // after its command
  FNode->FUploading = true;
  return FNode;
}

bool TFileInfo::EndDelete(TFileInfo* aNode, TCommandResult aResult,
                          std::unique_ptr<TFileInfo>& aRemoved) {
  aNode->FUploading = false;
  if (!ReportedResult(aResult)) return false;
  aNode->ClearPending(); // deleted: nothing of it is to be sent any more
  aRemoved = aNode->FParent->Extract(aNode);
  return true;
}

void TFileInfo::Rename(const std::u16string& aNewFileName, const std::u16string& aNewFullName) {
  const std::u16string FOldFullName = FullName();
  if (FParent) {
    FParent->UnindexName(this);
    FFileName = aNewFileName;
    FParent->IndexName(this);
  } else {
    FFileName = aNewFileName;
    Extra().FFullName = aNewFullName;
  }
  FollowRename(FOldFullName);
}

// Entries take their full names from their listing, so a folder's new path reaches every loaded
// node below through the listings' names; a pending node's journal entry follows its own.
void TFileInfo::FollowRename(const std::u16string& aOldFullName) {
  FollowPending(aOldFullName);
  if (!FChild) return;
  FChild->Extra().FFullName = FullName();
  for (const auto& FItem : FChild->Entries())
    if (FItem->FSync == TSync::Pending || FItem->FChild)
      FItem->FollowRename(aOldFullName + u"\\" + FItem->FFileName);
}

bool TFileInfo::ContainsListing(const TFileInfo* aListing) const {
  if (!FChild) return false;
  if (FChild.get() == aListing) return true;
  for (const auto& FItem : FChild->Entries())
    if (FItem->ContainsListing(aListing)) return true;
  return false;
}

bool TFileInfo::BeginMove(const std::u16string& Filename, const std::u16string& NewFileName,
                          bool ReplaceIfExisting, TMovePlan& aPlan) {
  std::u16string FOldLast;
  std::u16string FNewLast;
  TFileInfo* FFrom = GetDirectory(Filename, FOldLast);
  TFileInfo* FTo = GetDirectory(NewFileName, FNewLast);
  if (FFrom == nullptr || FTo == nullptr || FNewLast.empty()) return Refuse(ERROR_PATH_NOT_FOUND);
  TFileInfo* FSource = FFrom->ThisFindFile(FOldLast);
  if (FSource == nullptr) return Refuse(ERROR_FILE_NOT_FOUND);
  TFileInfo* FTarget = FTo->ThisFindFile(FNewLast);
  // A folder cannot go into its own subtree: it would leave every path from the root.
  if (FSource->ContainsListing(FTo)) return Refuse(ERROR_INVALID_PARAMETER);
  // Archive entries stay where they are, and nothing joins an archive: the server could not
  // follow either move.
  if (!FSource->FileCanMove() || !FTo->FileCanMove()) return Refuse(ERROR_ACCESS_DENIED);
  if (FTarget != nullptr && FTarget != FSource) {
    if (!ReplaceIfExisting) return Refuse(ERROR_ALREADY_EXISTS);
    // The server never replaces a folder, so neither does the tree.
    if (!FTarget->FileCanMove() || FTarget->FIsDir) return Refuse(ERROR_ACCESS_DENIED);
  }
  // A node being sent, made or deleted moves after that command, so the server sees the
  // commands in order; so does anything moving into a folder that is being made.
  TFileInfo* FToFolder = FTo->Owner();
  if (FSource->FUploading || (FTarget && FTarget->FUploading) ||
      (FToFolder && FToFolder->FUploading))
    return Refuse(ERROR_SHARING_VIOLATION);
  // Busy until EndMove: none of them, nor the folder moved into, goes meanwhile.
  FSource->FUploading = true;
  if (FTarget) FTarget->FUploading = true;
  if (FToFolder) FToFolder->FUploading = true;
  aPlan = {FSource->FHandle,
           FTarget && FTarget != FSource ? FTarget->FHandle : 0,
           FFrom,
           FTo,
           FNewLast,
           FSource->FullName(),
           FTo->StoredName() + u"\\" + FNewLast,
           FSource->FOnServer};
  return true;
}

bool TFileInfo::EndMove(const TMovePlan& aPlan, TCommandResult aResult,
                        std::unique_ptr<TFileInfo>* aReplaced) {
  TFileInfo* FSource = FindNodeByHandle(aPlan.FSource);
  TFileInfo* FTarget = aPlan.FTarget ? FindNodeByHandle(aPlan.FTarget) : nullptr;
  FSource->FUploading = false;
  if (FTarget) FTarget->FUploading = false;
  if (aPlan.FTo->Owner()) aPlan.FTo->Owner()->FUploading = false;
  if (!ReportedResult(aResult)) return false;
  const std::u16string FNewFullName = aPlan.FTo->StoredName() + u"\\" + aPlan.FNewLast;
  std::unique_ptr<TFileInfo> FReplaced;
  if (FTarget != nullptr) FReplaced = aPlan.FTo->Extract(FTarget);
  if (aReplaced) *aReplaced = std::move(FReplaced);
  if (aPlan.FFrom == aPlan.FTo && FTarget == nullptr) {
    FSource->Rename(aPlan.FNewLast, FNewFullName);
    return true;
  }
  // Renamed while out of every listing, so its journal entry follows from its old path.
  auto FMoved = aPlan.FFrom->Extract(FSource);
  FSource->Rename(aPlan.FNewLast, FNewFullName);
  aPlan.FTo->Add(std::move(FMoved));
  return true;
}

} // namespace zelvo
