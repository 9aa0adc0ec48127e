// zelvo-cli: the headless front end of the client.
//
//   zelvo-cli classes [--port N] [--timeout MS] HOSTS      class items of every server in HOSTS
//   zelvo-cli users   [--port N] [--timeout MS] HOST CLASS  the students of a class
//   zelvo-cli mount   [--port N] [--timeout MS] [--cache DIR] [--refresh S] [--trace]
//                     HOST CLASS USER MOUNTDIR
//                     logs in (password: first line of standard input), mounts the own space at
//                     MOUNTDIR/Z and the shared space read-only at MOUNTDIR/Y, prints "ready",
//                     and unmounts Y then Z on SIGINT or SIGTERM
//
// Exit status 0 on a completed exchange, 1 with a one-line message on stderr otherwise.
#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <thread>

#include "common/Globals.h"
#include "common/LocalFolders.h"
#include "common/TextCodec.h"
#include "common/Utils.h"
#include "common/WindowDispatcher.h"
#include "drive/TransferObserver.h"
#include "platform/Locale.h"
#include "protocol/Commands.h"
#include "protocol/GroupListThread.h"
#include "protocol/YunClientUnit.h"
#include "shell/DriveStart.h"

namespace zelvo {
namespace {

struct TConnectionOptions {
  int32_t FPort = kDefaultServerPort;
  int32_t FTimeOut = kDefaultClientTimeOut;
};

void AddConnectionOptions(CLI::App& aCommand, TConnectionOptions& aOptions) {
  aCommand.add_option("--port", aOptions.FPort, "TCP port of the servers")
      ->capture_default_str()
      ->check(CLI::Range(1, 65535));
  aCommand.add_option("--timeout", aOptions.FTimeOut, "connect and read time-out, ms")
      ->capture_default_str();
}

void PrintLines(const TStringList& aLines) {
  for (const auto& FLine : aLines)
    std::cout << Utf16ToUtf8(FLine) << '\n';
}

// Collects the class lists as the login window does, with this thread as the window thread.
int RunClasses(const TConnectionOptions& aOptions, const std::string& aHosts) {
  ServerPort = aOptions.FPort;
  ClientTimeOut = aOptions.FTimeOut;
  const auto FHosts = SplitDelimited(Utf8ToUtf16(aHosts), u'|');
  if (FHosts.empty()) {
    std::cerr << "zelvo-cli: no server given\n";
    return 1;
  }
  auto FDispatcher = std::make_shared<TWindowDispatcher>();
  TStringListStrings FGroups;
  size_t FFinished = 0;
  size_t FAnswered = 0;
  for (const auto& FHost : FHosts) {
    TGroupListThread::Create(FHost, ServerPort, FGroups, FDispatcher, [&, FHost](bool aAnswered) {
      ++FFinished;
      if (aAnswered)
        ++FAnswered;
      else
        std::cerr << "zelvo-cli: server \"" << Utf16ToUtf8(FHost) << "\" could not be reached\n";
    });
  }
  while (FFinished < FHosts.size())
    FDispatcher->WaitAndRunPending(std::chrono::milliseconds(100));
  FDispatcher->Close();
  PrintLines(FGroups.FItems);
  return FAnswered > 0 ? 0 : 1;
}

int RunUsers(const TConnectionOptions& aOptions, const std::string& aHost,
             const std::string& aClass) {
  TStringList FNames;
  TYunClient FClient(Utf8ToUtf16(aHost), aOptions.FPort, aOptions.FTimeOut);
  if (!FClient.DoCommand(UlistRequest(Utf8ToUtf16(aClass)), FNames)) {
    std::cerr << "zelvo-cli: server \"" << aHost << "\" "
              << (FClient.InvalidReply() ? "sent an invalid reply" : "could not be reached")
              << '\n';
    return 1;
  }
  SortTextLocale(FNames);
  PrintLines(FNames);
  return 0;
}

struct TMountOptions {
  std::string FCache;
  std::string FRecovery;
  int32_t FRefresh = kDefaultListRefreshSeconds;
  bool FTrace = false;
  std::string FHost;
  std::string FClass;
  std::string FUser;
  std::string FMountDir;
};

constexpr long kFuseMagic = 0x65735546;

bool Serving(const std::filesystem::path& aPath) {
  struct statfs FStat {};
  return ::statfs(aPath.c_str(), &FStat) == 0 && FStat.f_type == kFuseMagic;
}

// Waits until both drives serve; false when a mount thread ended first.
bool WaitServing(const TDrives& aDrives, const std::filesystem::path& aOwn,
                 const std::filesystem::path& aShared) {
  const auto FDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!(Serving(aOwn) && Serving(aShared))) {
    if (aDrives.FOwn->Finished() || aDrives.FShared->Finished() ||
        std::chrono::steady_clock::now() > FDeadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// What the drives tell, as stderr lines: a failed save, a change sent later, a conflict copy, a
// file kept on this computer only, a zip that cannot be made.
class TStderrObserver final : public TTransferObserver {
public:
  // The program was told its save failed; the retries of the journal follow (a retry that fails
  // again is not news, one that succeeds is SentLater).
  void SaveFailed(const std::u16string& aPath) override {
    Say("save failed: " + Utf16ToUtf8(aPath) +
        " was not uploaded; the change stays on this computer and is retried");
  }
  void ArchiveRefused(const std::u16string& aPath) override {
    Say("cannot create " + Utf16ToUtf8(aPath) +
        ": zip files open as read-only folders and cannot be created on the drive");
  }
  void SentLater(const std::u16string& aPath) override { Say("sent later: " + Utf16ToUtf8(aPath)); }
  void Conflict(const std::u16string& aPath, const std::u16string& aCopyPath) override {
    Say(Utf16ToUtf8(aPath) +
        " was changed on the server meanwhile; this computer's version is saved beside it as " +
        Utf16ToUtf8(aCopyPath));
  }
  void KeptLocal(const std::u16string& aPath) override {
    Say(Utf16ToUtf8(aPath) + " stays on this computer only (files of its kind are never uploaded)");
  }
  void Unsendable(const std::u16string& aPath, const std::u16string& aKeptAt,
                  const std::u16string& aWhy) override {
    Say("the server refused " + Utf16ToUtf8(aPath) + " (" + Utf16ToUtf8(aWhy) +
        "); it will not be sent again, and your content is kept in " + Utf16ToUtf8(aKeptAt));
  }
  void JournalSetAside(const std::u16string& aFile) override {
    Say("unusable lines of the pending-changes journal were set aside, never sent: " +
        Utf16ToUtf8(aFile));
  }

private:
  void Say(const std::string& aLine) {
    std::lock_guard FGuard(FLock);
    std::cerr << "zelvo: " << aLine << std::endl;
  }
  std::mutex FLock; // one line at a time
};

// A folder with a file system of its own mounted on it (a stale mount that no longer answers is
// not one: the drive start cleans those).
bool IsMountPoint(const std::filesystem::path& aPath) {
  struct stat FHere {};
  struct stat FParent {};
  return ::stat(aPath.c_str(), &FHere) == 0 && ::stat(aPath.parent_path().c_str(), &FParent) == 0 &&
         FHere.st_dev != FParent.st_dev;
}

int RunMount(const TConnectionOptions& aConnection, const TMountOptions& aOptions) {
  // Another student's drives already there stay as they are.
  for (const char* FLetter : {"Z", "Y"}) {
    const auto FPoint = std::filesystem::absolute(aOptions.FMountDir) / FLetter;
    if (IsMountPoint(FPoint)) {
      std::cerr << "zelvo-cli: " << FPoint.string()
                << " is already a mount point; unmount it first (nothing was changed)\n";
      return 1;
    }
  }
  ServerPort = aConnection.FPort;
  ClientTimeOut = aConnection.FTimeOut;
  ListRefreshSeconds = aOptions.FRefresh;
  CurrentServerHost = Utf8ToUtf16(aOptions.FHost);
  InitHomeDir();
  CacheDir = aOptions.FCache.empty()
                 ? LocalCacheDir
                 : Utf8ToUtf16(std::filesystem::absolute(aOptions.FCache).string() + "/");
  MakePrivateFolder(Utf16ToUtf8(CacheDir));
  // Two mounts on one cache folder would wipe each other's pending changes.
  const TFolderLock FCacheLock(Utf16ToUtf8(CacheDir));
  if (!FCacheLock.Held()) {
    std::cerr << "zelvo-cli: the cache folder " << Utf16ToUtf8(CacheDir)
              << " is in use by another login; give another one with --cache (nothing was "
                 "changed)\n";
    return 1;
  }
  if (!aOptions.FRecovery.empty())
    RecoveryDir = Utf8ToUtf16(std::filesystem::absolute(aOptions.FRecovery).string() + "/");
  DriveTrace = aOptions.FTrace;
  static TStderrObserver FObserver;
  SetTransferObserver(&FObserver);

  std::string FPassword;
  std::getline(std::cin, FPassword);
  std::u16string FServerTime;
  switch (LoginToServer(Utf8ToUtf16(aOptions.FClass), Utf8ToUtf16(aOptions.FUser),
                        Utf8ToUtf16(FPassword), FServerTime)) {
  case TLoginResult::Unreachable:
    std::cerr << "zelvo-cli: server \"" << aOptions.FHost << "\" could not be reached\n";
    return 1;
  case TLoginResult::Invalid:
    std::cerr << "zelvo-cli: server \"" << aOptions.FHost << "\" sent an invalid reply ("
              << Utf16ToUtf8(kInvalidReply) << ")\n";
    return 1;
  case TLoginResult::Refused:
    std::cerr << Utf16ToUtf8(kWrongLogin) << '\n';
    return 1;
  case TLoginResult::LoggedIn:
    break;
  }

  // The signals are taken by sigwait below, never by a drive's threads.
  sigset_t FSignals;
  sigemptyset(&FSignals);
  sigaddset(&FSignals, SIGINT);
  sigaddset(&FSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &FSignals, nullptr);

  const auto FBase = std::filesystem::absolute(aOptions.FMountDir);
  const auto FOwn = FBase / "Z";
  const auto FShared = FBase / "Y";
  TDrives FDrives = MountYunDisks(Utf8ToUtf16(FOwn.string()), Utf8ToUtf16(FShared.string()));
  if (!WaitServing(FDrives, FOwn, FShared)) {
    std::cerr << "zelvo-cli: the drives could not be mounted at " << FBase.string() << '\n';
    UnmountYunDisks(FDrives);
    return 1;
  }
  std::cout << "ready" << std::endl;
  int FSignal = 0;
  sigwait(&FSignals, &FSignal);
  UnmountYunDisks(FDrives);
  for (const auto& FPath : SettlePendingChanges())
    std::cerr << "zelvo-cli: not yet on the server, sent at the next login: " << Utf16ToUtf8(FPath)
              << '\n';
  return 0;
}

} // namespace
} // namespace zelvo

int main(int argc, char** argv) {
  using namespace zelvo;
  // A mistyped command is named, not reported as a stray argument.
  if (argc > 1 && argv[1][0] != '-' && std::string_view(argv[1]) != "classes" &&
      std::string_view(argv[1]) != "users" && std::string_view(argv[1]) != "mount") {
    std::cerr << "zelvo-cli: unknown command \"" << argv[1]
              << "\" (the commands are classes, users and mount; see --help)\n";
    return 1;
  }
  CLI::App FApp{"Zelvo cloud disk client, headless"};
  FApp.require_subcommand(1);

  TConnectionOptions FClassesOptions;
  std::string FHosts;
  auto* FClasses = FApp.add_subcommand("classes", "list the classes of every server");
  AddConnectionOptions(*FClasses, FClassesOptions);
  FClasses->add_option("HOSTS", FHosts, "servers separated by |")->required();

  TConnectionOptions FUsersOptions;
  std::string FHost;
  std::string FClass;
  auto* FUsers = FApp.add_subcommand("users", "list the students of a class");
  AddConnectionOptions(*FUsers, FUsersOptions);
  FUsers->add_option("HOST", FHost, "the class's server")->required();
  FUsers->add_option("CLASS", FClass, "the class name")->required();

  TConnectionOptions FMountConnection;
  TMountOptions FMountOptions;
  auto* FMount = FApp.add_subcommand("mount", "log in and mount the drives");
  AddConnectionOptions(*FMount, FMountConnection);
  FMount->add_option(
      "--cache", FMountOptions.FCache,
      "cache folder (default: Cache/ beside the program, or ~/.cache/zelvo when installed)");
  FMount->add_option("--recovery", FMountOptions.FRecovery,
                     "where changes the server refused for good are kept (default: "
                     "~/.local/share/zelvo/未上传)");
  FMount->add_flag("--trace", FMountOptions.FTrace, "trace every drive callback on stderr");
  FMount
      ->add_option("--refresh", FMountOptions.FRefresh,
                   "seconds after which a folder is listed again (0: once per run)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  FMount->add_option("HOST", FMountOptions.FHost, "the class's server")->required();
  FMount->add_option("CLASS", FMountOptions.FClass, "the class name")->required();
  FMount->add_option("USER", FMountOptions.FUser, "the user name")->required();
  FMount->add_option("MOUNTDIR", FMountOptions.FMountDir, "where Z and Y appear")->required();

  CLI11_PARSE(FApp, argc, argv);
  if (*FClasses) return RunClasses(FClassesOptions, FHosts);
  if (*FMount) return RunMount(FMountConnection, FMountOptions);
  return RunUsers(FUsersOptions, FHost, FClass);
}
