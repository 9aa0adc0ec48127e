// Shared pieces of the tree tests: a private cache folder, a mount pointed at a test server,
// drive roots made as the facade makes them, a recording peer that
// answers by request line, and the facade's part around the tree's steps (each exchange run at
// once, as the facade runs it without the lock).
#pragma once

#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "platform/WinError.h"
#include "platform/WinTypes.h"
#include "protocol/Commands.h"
#include "tests/support/FakeServer.h"
#include "tests/support/TempDir.h"
#include "tree/ContentFetch.h"
#include "tree/FileSysUnit.h"

namespace zelvo::test {

inline WIN32_FIND_DATAW Record(std::u16string_view aName, uint32_t aAttributes,
                               uint64_t aSize = 0) {
  WIN32_FIND_DATAW FData;
  FData.dwFileAttributes = aAttributes;
  FData.nFileSizeHigh = static_cast<uint32_t>(aSize >> 32);
  FData.nFileSizeLow = static_cast<uint32_t>(aSize);
  FData.ftLastWriteTime = FileTimeFromInt(kFileTimeUnixEpoch + 10000000);
  SetFieldText(FData.cFileName, aName);
  return FData;
}

// A listing block: little-endian count, then the records (and any extra bytes).
inline std::string ListingReply(const std::vector<WIN32_FIND_DATAW>& aRecords, size_t aExtra = 0) {
  std::string FData;
  for (const auto& FRecord : aRecords) {
    const auto FBytes = EncodeFindData(FRecord);
    FData.append(FBytes.begin(), FBytes.end());
  }
  FData.append(aExtra, '\x7F');
  const auto FCount = static_cast<uint32_t>(FData.size());
  return std::string{static_cast<char>(FCount), static_cast<char>(FCount >> 8),
                     static_cast<char>(FCount >> 16), static_cast<char>(FCount >> 24)} +
         FData;
}

// Answers each request line with its reply (none: close without reply); keeps PUT bodies.
class TRecordingPeer {
public:
  TRecordingPeer()
      : FServer([this](TFakeConnection& aConnection) {
          const std::string FLine = aConnection.ReadLine();
          if (FLine.starts_with("PUT ")) {
            const std::string FBody = aConnection.Stall();
            std::lock_guard FGuard(FLock);
            FBodies[FLine.substr(4)] = FBody.size() >= 4 ? FBody.substr(4) : "";
            return;
          }
          std::string FReply;
          {
            std::lock_guard FGuard(FLock);
            const auto FFound = FReplies.find(FLine);
            if (FFound == FReplies.end()) return;
            FReply = FFound->second;
            if (auto FNext = FLater.find(FLine); FNext != FLater.end()) {
              FReplies[FLine] = FNext->second;
              FLater.erase(FNext);
            }
          }
          aConnection.Send(FReply);
        }) {}

  void Reply(const std::string& aLine, std::string aReply) {
    std::lock_guard FGuard(FLock);
    FReplies[aLine] = std::move(aReply);
  }
  // The first request gets aFirst, later ones aThen.
  void ReplyTwice(const std::string& aLine, std::string aFirst, std::string aThen) {
    std::lock_guard FGuard(FLock);
    FReplies[aLine] = std::move(aFirst);
    FLater[aLine] = std::move(aThen);
  }
  std::string Body(const std::string& aPath) {
    std::lock_guard FGuard(FLock);
    return FBodies.count(aPath) ? FBodies[aPath] : "<none>";
  }
  // Every request so far, once each connection has been served.
  std::vector<std::string> Requests(int aConnections) {
    FServer.WaitHandled(aConnections);
    return FServer.Requests();
  }
  uint16_t Port() const { return FServer.Port(); }

private:
  std::mutex FLock; // guards the maps
  std::map<std::string, std::string> FReplies;
  std::map<std::string, std::string> FLater;
  std::map<std::string, std::string> FBodies;
  TFakeServer FServer;
};

inline TCommandResult SendCommand(const TFileInfo& aNode, const std::u16string& aCommand) {
  TChangeAnswer FAnswer;
  return ServerRemote(aNode.Config())->Command(aCommand, FAnswer);
}

// A node's content fetched when it is not here.
inline void Fetched(TFileInfo& aNode) {
  bool FStarted = false;
  const auto FFetch = aNode.StartFetch(ServerRemote(aNode.Config()), FStarted);
  if (!FFetch) return;
  FFetch->Run(std::stop_token());
  aNode.FinishFetch();
}

// A folder's listing, fetched (an archive's built from its fetched content) when it is not here;
// null when that failed.
inline TFileInfo* Listed(TFileInfo& aFolder) {
  if (aFolder.ArchiveNotBuilt()) Fetched(aFolder);
  bool FStarted = false;
  if (const auto FLoad = aFolder.StartListing(ServerRemote(aFolder.Config()), FStarted)) {
    FLoad->Run();
    aFolder.FinishListing();
  }
  return aFolder.GetChild();
}

// Every folder along aPath listed, below a root's listing.
inline void ListAlong(TFileInfo& aRootListing, std::u16string_view aPath) {
  while (TFileInfo* FFolder = aRootListing.FirstUnlisted(aPath))
    if (Listed(*FFolder) == nullptr) return;
}

inline bool MakeDir(TFileInfo& aListing, const std::u16string& aName) {
  TFileInfo* FNew = aListing.BeginCreateDirectory(aName);
  return FNew &&
         TFileInfo::EndCreateDirectory(FNew, SendCommand(aListing, MkdirRequest(FNew->FullName())));
}

inline bool Delete(TFileInfo& aListing, const std::u16string& aName) {
  if (TFileInfo* FFolder = aListing.ThisFindFile(aName); FFolder && FFolder->IsDir())
    Listed(*FFolder); // whether it is empty must be known
  TFileInfo* FNode = aListing.BeginDelete(aName);
  if (FNode == nullptr) return false;
  std::unique_ptr<TFileInfo> FRemoved;
  return TFileInfo::EndDelete(FNode,
                              FNode->OnServer()
                                  ? SendCommand(aListing, DeleteRequest(FNode->FullName()))
                                  : TCommandResult::Done,
                              FRemoved);
}

inline bool SendMove(const TMovePlan& aPlan) {
  return TFileInfo::EndMove(
      aPlan, aPlan.FSend
                 ? SendCommand(*aPlan.FTo, MoveRequest(aPlan.FOldFullName, aPlan.FNewFullName))
                 : TCommandResult::Done);
}

inline bool Move(TFileInfo& aRootListing, const std::u16string& aFrom, const std::u16string& aTo,
                 bool aReplace) {
  ListAlong(aRootListing, aFrom);
  ListAlong(aRootListing, aTo.substr(0, aTo.rfind(u'\\')));
  TMovePlan FPlan;
  return aRootListing.BeginMove(aFrom, aTo, aReplace, FPlan) && SendMove(FPlan);
}

inline bool Upload(TFileInfo& aNode) {
  TUploadJob FJob;
  switch (aNode.BeginUpload(FJob)) {
  case TUploadStart::Nothing:
    return true;
  case TUploadStart::Broken:
    return false;
  case TUploadStart::Busy:
    SetLastError(ERROR_SHARING_VIOLATION);
    return false;
  case TUploadStart::Send:
    break;
  }
  return aNode.EndUpload(FJob, FJob.Send(*ServerRemote(aNode.Config())));
}

// The closing work of an open, as the facade does it: the pending move, then the upload.
inline bool Close(TFileInfo& aListing, uint32_t aHandle, bool aDeleteOnClose) {
  TFileInfo* FNode = aListing.FindFileByHandle(aHandle);
  if (FNode == nullptr) return false;
  if (aDeleteOnClose) return true;
  if (const auto& FMove = FNode->RenameOnClose()) {
    ListAlong(aListing, FMove->FFrom);
    ListAlong(aListing, FMove->FTo.substr(0, FMove->FTo.rfind(u'\\')));
  }
  TMovePlan FPlan;
  bool FResult = FNode->BeginPendingMove(FPlan) && (FPlan.FSource == 0 || SendMove(FPlan));
  const uint32_t FMoveError = GetLastError();
  if (!Upload(*FNode)) {
    if (!FResult) SetLastError(FMoveError);
    FResult = false;
  }
  return FResult;
}

inline std::unique_ptr<TFileInfo> MakeRootOf(std::shared_ptr<const TMountConfig> aMount,
                                             const std::u16string& aRootPath) {
  auto FRoot = std::make_unique<TFileInfo>(Record(u"", FILE_ATTRIBUTE_DIRECTORY), aRootPath);
  FRoot->SetConfig(std::move(aMount));
  return FRoot;
}

class TreeTest : public ::testing::Test {
protected:
  void UseServer(uint16_t aPort) { FMount->FPort = aPort; }
  // A drive root as the facade makes it: a blank folder record under the root path, of FMount.
  std::unique_ptr<TFileInfo> MakeRoot(const std::u16string& aRootPath) {
    return MakeRootOf(FMount, aRootPath);
  }

public:
  static std::string ReadAllOf(TFileInfo& aNode) { return ReadAll(aNode); }

protected:
  static std::string ReadAll(TFileInfo& aNode) {
    Fetched(aNode);
    std::string FContent;
    char FBuffer[65536];
    uint32_t FGot = 0;
    while (aNode.Read(FBuffer, sizeof FBuffer, FGot, static_cast<int64_t>(FContent.size())))
      FContent.append(FBuffer, FGot);
    return FContent;
  }
  static bool WriteText(TFileInfo& aNode, const std::string& aText, int64_t aOffset) {
    Fetched(aNode); // as the facade does before a write
    uint32_t FDone = 0;
    return aNode.Write(aText.data(), static_cast<uint32_t>(aText.size()), FDone, aOffset) &&
           FDone == aText.size();
  }

  TTempDir FCacheDir;
  // Changed by tests (a closed port) while the roots use it.
  std::shared_ptr<TMountConfig> FMount = std::make_shared<TMountConfig>(
      TMountConfig{u"127.0.0.1", 0, 5000, FCacheDir.Text(), 30, u"张三"});
};

} // namespace zelvo::test
