// Shared pieces of the tree tests: a private cache folder, the process-wide connection values
// pointed at a test server, drive roots made as the facade makes them, and a recording peer
// that answers by request line.
#pragma once

#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/Globals.h"
#include "platform/WinTypes.h"
#include "tests/support/FakeServer.h"
#include "tests/support/TempDir.h"
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

class TreeTest : public ::testing::Test {
protected:
  void UseServer(uint16_t aPort) {
    CurrentServerHost = u"127.0.0.1";
    ServerPort = aPort;
    ClientTimeOut = 5000;
    CacheDir = FCacheDir.Text();
  }
  // A drive root as the facade makes it: a blank folder record under the root path.
  static std::unique_ptr<TFileInfo> MakeRoot(const std::u16string& aRootPath) {
    return std::make_unique<TFileInfo>(Record(u"", FILE_ATTRIBUTE_DIRECTORY), aRootPath);
  }

public:
  static std::string ReadAllOf(TFileInfo& aNode) { return ReadAll(aNode); }

protected:
  static std::string ReadAll(TFileInfo& aNode) {
    std::string FContent;
    char FBuffer[65536];
    uint32_t FGot = 0;
    while (aNode.Read(FBuffer, sizeof FBuffer, FGot, static_cast<int64_t>(FContent.size())))
      FContent.append(FBuffer, FGot);
    return FContent;
  }
  static bool WriteText(TFileInfo& aNode, const std::string& aText, int64_t aOffset) {
    uint32_t FDone = 0;
    return aNode.Write(aText.data(), static_cast<uint32_t>(aText.size()), FDone, aOffset) &&
           FDone == aText.size();
  }

  TTempDir FCacheDir;
};

} // namespace zelvo::test
