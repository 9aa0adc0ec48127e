#include "shell/DriveStart.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/Globals.h"
#include "drive/FileSystem.h"
#include "protocol/Commands.h"
#include "protocol/LoginReply.h"
#include "protocol/ServerVersion.h"
#include "protocol/YunClientUnit.h"

namespace zelvo {
namespace {

// Whom the session at CurrentServerHost belongs to, for the log-out at unmount.
std::u16string LoggedClass;
std::u16string LoggedUser;

// Ends the session on the server, so the next person at this computer does not inherit it. A
// server that does not know the command closes; either way the end waits at most about
// 2 s (a connect and a read of a second each).
void LogOutOfServer() {
  if (LoggedUser.empty()) return;
  TYunClient(CurrentServerHost, ServerPort, kLogoutTimeOutMs)
      .Command(LogoutRequest(LoggedClass, LoggedUser));
  LoggedClass.clear();
  LoggedUser.clear();
}

} // namespace

TLoginResult LoginToServer(const std::u16string& aClassName, const std::u16string& aUserName,
                           const std::u16string& aPassword, std::u16string& aServerTime) {
  TStringList FLines;
  TYunClient FClient(CurrentServerHost, ServerPort, ClientTimeOut);
  if (!FClient.DoCommand(LoginRequest(aClassName, aUserName, aPassword), FLines))
    return FClient.InvalidReply() ? TLoginResult::Invalid : TLoginResult::Unreachable;
  const auto FReply = ParseLoginReply(FLines);
  if (!FReply) return TLoginResult::Refused;
  Root0 = FReply->FRoot0;
  Root1 = FReply->FRoot1;
  OwnerName = FReply->FOwnerName;
  ShareVolumeName = FReply->FShareVolumeName;
  aServerTime = FReply->FServerTime;
  ServerConfirmsChanges = FReply->FConfirms;
  ServerServesRanges = FReply->FRanges;
  LoggedClass = aClassName;
  LoggedUser = aUserName;
  return TLoginResult::LoggedIn;
}

TMountConfig CurrentMountConfig() {
  TMountConfig FConfig{CurrentServerHost,  ServerPort, ClientTimeOut,         CacheDir,
                       ListRefreshSeconds, OwnerName,  ServerConfirmsChanges, RecoveryDir};
  FConfig.FRanges = ServerServesRanges;
  return FConfig;
}

TDrives MountYunDisks(const std::u16string& aOwnMountPoint,
                      const std::u16string& aSharedMountPoint) {
  // One facade per process, never destroyed: the callbacks may run until the process ends.
  static std::unique_ptr<TFileSystem> FFacade;
  FFacade = std::make_unique<TFileSystem>(CurrentMountConfig(), Root0, Root1);
  FileSystem = FFacade.get();
  TDrives FDrives;
  FDrives.FOwn =
      std::make_unique<TYunDiskThread>(0, u"", aOwnMountPoint, OwnerName + u"的云盘空间", false);
  FDrives.FShared =
      std::make_unique<TYunDiskThread>(1, u"", aSharedMountPoint, ShareVolumeName, true);
  return FDrives;
}

void UnmountYunDisks(TDrives& aDrives) {
  std::jthread FWatchdog([](std::stop_token aStop) {
    std::mutex FLock; // only for the wait
    std::condition_variable_any FNever;
    std::unique_lock FGuard(FLock);
    FNever.wait_for(FGuard, aStop, kUnmountGrace, [] { return false; });
    if (!aStop.stop_requested() && FileSystem != nullptr) FileSystem->CancelExchanges();
  });
  if (aDrives.FShared) aDrives.FShared->Stop(u'Y');
  if (aDrives.FOwn) aDrives.FOwn->Stop(u'Z');
  FWatchdog.request_stop();
  // Background fetches and refreshes nobody waits for any more.
  if (FileSystem != nullptr) FileSystem->CancelExchanges();
  LogOutOfServer();
}

std::vector<std::u16string> SettlePendingChanges() {
  if (FileSystem == nullptr) return {};
  FileSystem->StopRetries();
  CleanCacheFolder(CacheDir);
  auto FPaths = FileSystem->PendingFiles();
  for (auto& FPath : FPaths)
    std::replace(FPath.begin(), FPath.end(), u'\\', u'/');
  return FPaths;
}

} // namespace zelvo
