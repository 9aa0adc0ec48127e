// zelvo-server: the reference server of the cloud disk.
//
//   zelvo-server init DIR [--demo]          create a data folder (with demo classes and files)
//   zelvo-server add-user DIR CLASS NAME    add or update a user; password on standard input
//   zelvo-server serve DIR [--listen A] [--port N] [--idle-timeout MS] [--max-connections N]
//                          [--max-connections-per-address N] [--min-upload-rate KIB]
//                          [--session-idle-hours H] [--hash-threads N] [--open-access]
// Everything the server makes is readable by its own user only (umask 077). One data folder is
// served by one process at a time (TServeLock): a second "serve" of it exits with status 1.
#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "server/DataFolder.h"
#include "server/Server.h"
#include "server/Sessions.h"

namespace zelvo::server {
namespace {

std::string HostName() {
  char FName[256] = {};
  return ::gethostname(FName, sizeof FName - 1) == 0 ? FName : "?";
}

int Init(const std::string& aFolder, bool aDemo) {
  InitDataFolder(aFolder);
  if (aDemo) {
    TAccounts FAccounts(DatabasePath(aFolder).string());
    AddDemoData(FAccounts, TStorage(StoragePath(aFolder)));
    std::cout << "demo data added; every demo student's password is " << kDemoPassword << '\n';
  }
  return 0;
}

int AddUser(const std::string& aFolder, const std::string& aClass, const std::string& aUser) {
  for (const auto& [FName, FIsClass] : {std::pair{aClass, true}, std::pair{aUser, false}}) {
    if (const auto FProblem = NameProblem(FName, FIsClass); !FProblem.empty()) {
      std::cerr << "zelvo-server: \"" << FName << "\": " << FProblem << '\n';
      return 1;
    }
  }
  std::string FPassword;
  std::getline(std::cin, FPassword);
  if (!FPassword.empty() && FPassword.back() == '\r') FPassword.pop_back();
  if (FPassword.empty()) {
    std::cerr << "zelvo-server: the password (first line of standard input) is empty\n";
    return 1;
  }
  InitDataFolder(aFolder);
  TAccounts FAccounts(DatabasePath(aFolder).string());
  FAccounts.SetPassword(aClass, aUser, FPassword);
  TStorage(StoragePath(aFolder)).EnsureRoots(aClass, aUser);
  return 0;
}

struct TGuardOptions {
  bool FOpenAccess = false;
  double FSessionIdleHours = 12;
};

int Serve(const std::string& aFolder, TServerOptions aOptions, const TGuardOptions& aGuard) {
  if (!std::filesystem::exists(DatabasePath(aFolder))) {
    std::cerr << "zelvo-server: " << aFolder << " is not a data folder (run init first)\n";
    return 1;
  }
  // Before anything is cleaned up: the uploads left behind may be another live server's.
  std::string FHolder;
  const auto FLock = TServeLock::Take(aFolder, FHolder);
  if (!FLock) {
    std::cerr << "zelvo-server: " << aFolder << " is served already"
              << (FHolder.empty() ? std::string() : " (" + FHolder + ")")
              << "; one data folder has one server at a time\n";
    return 1;
  }
  TAccounts FAccounts(DatabasePath(aFolder).string());
  TStorage FStorage(StoragePath(aFolder));
  if (const int FLeft = FStorage.RemoveLeftoverUploads())
    std::cerr << "zelvo-server: removed " << FLeft
              << " incomplete uploads left by an earlier run\n";
  std::optional<TSessions> FSessions;
  const std::chrono::milliseconds FIdle(
      static_cast<int64_t>(aGuard.FSessionIdleHours * 3600 * 1000));
  if (aGuard.FOpenAccess)
    std::cerr << "zelvo-server: open access: every address reaches every file (no sessions)\n";
  else
    FSessions.emplace(FAccounts, FIdle);
  // An address where a student logged in stays trusted for that student as long as a session.
  TLoginThrottle FThrottle(FIdle);
  TRequestHandler FHandler(FStorage, FAccounts, FSessions ? &*FSessions : nullptr, FThrottle);
  TServer FServer(std::move(aOptions), FHandler);
  const std::string FWhere = FServer.Options().FListen + ':' + std::to_string(FServer.Port());
  FLock->Describe("pid " + std::to_string(::getpid()) + " on " + HostName() + ", listening on " +
                  FWhere);
  std::cout << "listening on " << FWhere << std::endl;
  FServer.Run();
  std::cout << "stopped" << std::endl;
  return 0;
}

} // namespace
} // namespace zelvo::server

int main(int argc, char** argv) {
  using namespace zelvo::server;
  // A peer or a reader of our output that went away is an error result, not a reason to die.
  std::signal(SIGPIPE, SIG_IGN);
  ::umask(077); // accounts, sessions and every stored file belong to the server's user alone
  CLI::App FApp{"Zelvo cloud disk reference server"};
  FApp.require_subcommand(1);
  std::string FFolder;
  std::string FClass;
  std::string FUser;
  bool FDemo = false;
  TServerOptions FOptions;
  int64_t FIdleMs = FOptions.FIdleTimeOut.count();

  auto* FInit = FApp.add_subcommand("init", "create a data folder");
  FInit->add_option("DIR", FFolder)->required();
  FInit->add_flag("--demo", FDemo, "add demo classes, students and files");

  auto* FAdd = FApp.add_subcommand("add-user", "add a user (password from standard input)");
  FAdd->add_option("DIR", FFolder)->required();
  FAdd->add_option("CLASS", FClass)->required();
  FAdd->add_option("NAME", FUser)->required();

  auto* FServe = FApp.add_subcommand("serve", "serve a data folder");
  FServe->add_option("DIR", FFolder)->required();
  FServe->add_option("--listen", FOptions.FListen)->capture_default_str();
  FServe->add_option("--port", FOptions.FPort, "0 picks a free port")->capture_default_str();
  FServe->add_option("--idle-timeout", FIdleMs, "ms")->capture_default_str();
  FServe->add_option("--max-connections", FOptions.FMaxConnections)->capture_default_str();
  FServe->add_option("--threads", FOptions.FThreads)->capture_default_str();
  FServe
      ->add_option("--hash-threads", FOptions.FHashThreads,
                   "password checks at once (0: half the cores)")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  FServe->add_option("--max-connections-per-address", FOptions.FMaxConnectionsPerAddress)
      ->capture_default_str();
  int64_t FMinRateKiB = FOptions.FMinUploadRate / 1024;
  FServe->add_option("--min-upload-rate", FMinRateKiB, "KiB/s an upload must keep on average")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  TGuardOptions FGuard;
  FServe
      ->add_option("--session-idle-hours", FGuard.FSessionIdleHours,
                   "a login's session ends after this long unused")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  FServe->add_flag("--open-access", FGuard.FOpenAccess,
                   "no address sessions: anyone who reaches the port reaches every file");

  CLI11_PARSE(FApp, argc, argv);
  try {
    if (*FInit) return Init(FFolder, FDemo);
    if (*FAdd) return AddUser(FFolder, FClass, FUser);
    FOptions.FIdleTimeOut = std::chrono::milliseconds(FIdleMs);
    FOptions.FMinUploadRate = FMinRateKiB * 1024;
    return Serve(FFolder, std::move(FOptions), FGuard);
  } catch (const std::exception& aError) {
    std::cerr << "zelvo-server: " << aError.what() << '\n';
    return 1;
  }
}
