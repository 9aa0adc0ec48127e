// zelvo-server: the reference server of the cloud disk.
//
//   zelvo-server init DIR [--demo]          create a data folder (with demo classes and files)
//   zelvo-server add-user DIR CLASS NAME [--reset]   add a student (--reset: change an existing
//                                                   one's password); password on standard input
//   zelvo-server set-password DIR CLASS NAME         change a password; their sessions end
//   zelvo-server remove-user DIR CLASS NAME [--delete-files]
//   zelvo-server list-users DIR [CLASS]              "class student" per line
//   zelvo-server share-add DIR CLASS FILE... [--to FOLDER]   copy files into a class share
// The administration commands work while the data folder is served, and say what they did.
//   zelvo-server serve DIR [--listen A] [--port N] [--idle-timeout MS] [--max-connections N]
//                          [--max-connections-per-address N] [--min-upload-rate KIB]
//                          [--session-idle-hours H] [--hash-threads N] [--open-access]
//                          [--no-ranges]
// Everything the server makes is readable by its own user only (umask 077). One data folder is
// served by one process at a time (TServeLock): a second "serve" of it exits with status 1.
#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "common/TextCodec.h"
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

bool NamesUsable(const std::string& aClass, const std::string& aUser) {
  for (const auto& [FName, FIsClass] : {std::pair{aClass, true}, std::pair{aUser, false}}) {
    if (const auto FProblem = NameProblem(FName, FIsClass); !FProblem.empty()) {
      std::cerr << "zelvo-server: \"" << FName << "\": " << FProblem << '\n';
      return false;
    }
  }
  return true;
}

// The first line of standard input; none (with a message) when it is too short to keep out a
// classmate's guesses.
std::optional<std::string> ReadPassword() {
  std::string FPassword;
  std::getline(std::cin, FPassword);
  if (!FPassword.empty() && FPassword.back() == '\r') FPassword.pop_back();
  if (Utf8ToUtf16(FPassword).size() < kMinPasswordLength) {
    std::cerr << "zelvo-server: the password (first line of standard input) needs at least "
              << kMinPasswordLength << " characters\n";
    return std::nullopt;
  }
  return FPassword;
}

struct TUserArgs {
  std::string FFolder;
  std::string FClass;
  std::string FUser;
};

// add-user (aReset: --reset) and set-password (aMustExist).
int SetUser(const TUserArgs& aArgs, bool aReset, bool aMustExist) {
  if (!NamesUsable(aArgs.FClass, aArgs.FUser)) return 1;
  const auto FPassword = ReadPassword();
  if (!FPassword) return 1;
  InitDataFolder(aArgs.FFolder);
  TAccounts FAccounts(DatabasePath(aArgs.FFolder).string());
  const std::string FWho = aArgs.FClass + " " + aArgs.FUser;
  const bool FExists = FAccounts.HasUser(aArgs.FClass, aArgs.FUser);
  if (FExists && !aReset) {
    std::cerr << "zelvo-server: " << FWho << " exists already; nothing changed (add-user --reset "
              << "or set-password changes a password)\n";
    return 1;
  }
  if (!FExists && aMustExist) {
    std::cerr << "zelvo-server: there is no " << FWho << " (add-user adds one)\n";
    return 1;
  }
  if (!FAccounts.HasClass(aArgs.FClass))
    std::cout << "class " << aArgs.FClass << " does not exist yet: it is created\n";
  FAccounts.SetPassword(aArgs.FClass, aArgs.FUser, *FPassword);
  TStorage(StoragePath(aArgs.FFolder)).EnsureRoots(aArgs.FClass, aArgs.FUser);
  if (FExists)
    std::cout << "password of " << FWho << " changed; their sessions end\n";
  else
    std::cout << "added " << FWho << '\n';
  return 0;
}

bool IsDataFolder(const std::string& aFolder) {
  if (std::filesystem::exists(DatabasePath(aFolder))) return true;
  std::cerr << "zelvo-server: " << aFolder << " is not a data folder (run init first)\n";
  return false;
}

int RemoveUser(const TUserArgs& aArgs, bool aDeleteFiles) {
  // The names become the path of what --delete-files deletes.
  if (!NamesUsable(aArgs.FClass, aArgs.FUser) || !IsDataFolder(aArgs.FFolder)) return 1;
  TAccounts FAccounts(DatabasePath(aArgs.FFolder).string());
  const std::string FWho = aArgs.FClass + " " + aArgs.FUser;
  if (!FAccounts.RemoveUser(aArgs.FClass, aArgs.FUser)) {
    std::cerr << "zelvo-server: there is no " << FWho << '\n';
    return 1;
  }
  const auto FHome = StoragePath(aArgs.FFolder) / "home" / aArgs.FClass / aArgs.FUser;
  std::cout << "removed " << FWho << "; their sessions end\n";
  if (aDeleteFiles) {
    std::filesystem::remove_all(FHome);
    std::cout << "deleted their files\n";
  } else {
    std::cout << "their files stay in " << FHome.string() << '\n';
  }
  return 0;
}

int ListUsers(const std::string& aFolder, const std::string& aClass) {
  if (!IsDataFolder(aFolder)) return 1;
  TAccounts FAccounts(DatabasePath(aFolder).string());
  if (!aClass.empty() && !FAccounts.HasClass(aClass)) {
    std::cerr << "zelvo-server: there is no class " << aClass << '\n';
    return 1;
  }
  const auto FClasses = aClass.empty() ? FAccounts.Classes() : std::vector<std::string>{aClass};
  for (const auto& FClass : FClasses) {
    const auto FUsers = FAccounts.Users(FClass);
    if (FUsers.empty()) std::cout << FClass << '\n';
    for (const auto& FUser : FUsers)
      std::cout << FClass << ' ' << FUser << '\n';
  }
  return 0;
}

int ShareAdd(const std::string& aFolder, const std::string& aClass,
             const std::vector<std::filesystem::path>& aFiles, const std::filesystem::path& aTo) {
  if (!IsDataFolder(aFolder)) return 1;
  if (!TAccounts(DatabasePath(aFolder).string()).HasClass(aClass)) {
    std::cerr << "zelvo-server: there is no class " << aClass << " (list-users lists them)\n";
    return 1;
  }
  AddToShare(aFolder, aClass, aFiles, aTo,
             [](const std::string& aLine) { std::cout << aLine << '\n'; });
  return 0;
}

struct TGuardOptions {
  bool FOpenAccess = false;
  bool FNoRanges = false;
  double FSessionIdleHours = 12;
};

int Serve(const std::string& aFolder, TServerOptions aOptions, const TGuardOptions& aGuard) {
  if (!IsDataFolder(aFolder)) return 1;
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
  FHandler.ServeRanges(!aGuard.FNoRanges);
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
  bool FDemo = false;
  TServerOptions FOptions;
  int64_t FIdleMs = FOptions.FIdleTimeOut.count();

  auto* FInit = FApp.add_subcommand("init", "create a data folder");
  FInit->add_option("DIR", FFolder)->required();
  FInit->add_flag("--demo", FDemo, "add demo classes, students and files");

  TUserArgs FUserArgs;
  const auto AddUserArgs = [&](CLI::App* aCommand) {
    aCommand->add_option("DIR", FUserArgs.FFolder)->required();
    aCommand->add_option("CLASS", FUserArgs.FClass)->required();
    aCommand->add_option("NAME", FUserArgs.FUser)->required();
  };
  bool FReset = false;
  auto* FAdd = FApp.add_subcommand("add-user", "add a student (password from standard input)");
  AddUserArgs(FAdd);
  FAdd->add_flag("--reset", FReset, "change the password of an existing student");
  auto* FSetPassword = FApp.add_subcommand(
      "set-password", "change a student's password (from standard input); their sessions end");
  AddUserArgs(FSetPassword);
  bool FDeleteFiles = false;
  auto* FRemove = FApp.add_subcommand("remove-user", "remove a student; their files stay");
  AddUserArgs(FRemove);
  FRemove->add_flag("--delete-files", FDeleteFiles, "delete the student's own files too");
  auto* FList = FApp.add_subcommand("list-users", "classes and their students");
  FList->add_option("DIR", FFolder)->required();
  FList->add_option("CLASS", FClass);

  std::vector<std::filesystem::path> FFiles;
  std::filesystem::path FTo;
  auto* FShareAdd = FApp.add_subcommand("share-add", "copy files and folders into a class share");
  FShareAdd->add_option("DIR", FFolder)->required();
  FShareAdd->add_option("CLASS", FClass)->required();
  FShareAdd->add_option("FILE", FFiles)->required();
  FShareAdd->add_option("--to", FTo, "a folder inside the share (made when missing)");

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
  FServe->add_flag("--no-ranges", FGuard.FNoRanges,
                   "serve files whole only (no ranged reads), as older servers do");
  FServe->add_flag("--open-access", FGuard.FOpenAccess,
                   "no address sessions: anyone who reaches the port reaches every file");

  CLI11_PARSE(FApp, argc, argv);
  try {
    if (*FInit) return Init(FFolder, FDemo);
    if (*FAdd) return SetUser(FUserArgs, FReset, false);
    if (*FSetPassword) return SetUser(FUserArgs, true, true);
    if (*FRemove) return RemoveUser(FUserArgs, FDeleteFiles);
    if (*FList) return ListUsers(FFolder, FClass);
    if (*FShareAdd) return ShareAdd(FFolder, FClass, FFiles, FTo);
    FOptions.FIdleTimeOut = std::chrono::milliseconds(FIdleMs);
    FOptions.FMinUploadRate = FMinRateKiB * 1024;
    return Serve(FFolder, std::move(FOptions), FGuard);
  } catch (const std::exception& aError) {
    std::cerr << "zelvo-server: " << aError.what() << '\n';
    return 1;
  }
}
