#include "tests/support/MountProcess.h"

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/Shell.h"
#include "tests/support/Wait.h"

namespace zelvo::test {
namespace {

constexpr auto kDeadline = std::chrono::seconds(30);

} // namespace

TMountProcess::TMountProcess(uint16_t aPort, const std::string& aClass, const std::string& aUser,
                             const std::string& aPassword, const std::filesystem::path& aFolder)
    : TMountProcess(aPort, TMountSetup{aClass, aUser, aPassword, aFolder}) {}

TMountProcess::TMountProcess(uint16_t aPort, const TMountSetup& aSetup) {
  const std::string& aClass = aSetup.FClass;
  const std::string& aUser = aSetup.FUser;
  const std::string& aPassword = aSetup.FPassword;
  FMountDir = aSetup.FFolder.empty() ? FDir.Path() / "mnt" : aSetup.FFolder;
  const std::string FPort = std::to_string(aPort);
  const std::string FTimeOut = std::to_string(aSetup.FTimeOutMs);
  const std::string FRefresh = std::to_string(aSetup.FRefreshSeconds);
  const std::string FCache =
      (aSetup.FCache.empty() ? FDir.Path() / "cache" : aSetup.FCache).string();
  const std::string FLog = (FDir.Path() / "mount.log").string();
  FRecovery = aSetup.FRecovery.empty() ? FDir.Path() / "recovered" : aSetup.FRecovery;
  const std::string FRecoveryText = FRecovery.string();
  FCommand = std::string(ZELVO_CLI_BIN) + " mount --port " + FPort + " --timeout " + FTimeOut +
             " --refresh " + FRefresh + " --cache " + FCache + " --recovery " + FRecoveryText +
             " 127.0.0.1 " + aClass + " " + aUser + " " + FMountDir.string();
  int FIn[2];
  int FOut[2];
  if (::pipe2(FIn, O_CLOEXEC) != 0 || ::pipe2(FOut, O_CLOEXEC) != 0) return;
  FPid = ::fork();
  if (FPid == 0) {
    ::dup2(FIn[0], STDIN_FILENO);
    ::dup2(FOut[1], STDOUT_FILENO);
    const int FLogFd = ::open(FLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(FLogFd, STDERR_FILENO);
    ::execl(ZELVO_CLI_BIN, ZELVO_CLI_BIN, "mount", "--port", FPort.c_str(), "--timeout",
            FTimeOut.c_str(), "--refresh", FRefresh.c_str(), "--cache", FCache.c_str(),
            "--recovery", FRecoveryText.c_str(), "127.0.0.1", aClass.c_str(), aUser.c_str(),
            FMountDir.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(FIn[0]);
  ::close(FOut[1]);
  const std::string FLine = aPassword + "\n";
  (void)!::write(FIn[1], FLine.data(), FLine.size());
  ::close(FIn[1]);
  FReady = ReadLineWithin(FOut[0], "ready", kDeadline) == "ready";
  ::close(FOut[0]);
  if (aSetup.FExpectReady) {
    EXPECT_TRUE(FReady) << "not ready; log " << FLog << ":\n" << Log() << "\ncommand: " << FCommand;
  }
}

std::string TMountProcess::Log() const {
  return FDir.ReadFile("mount.log");
}

int TMountProcess::Stop() {
  if (FPid <= 0) return -1;
  ::kill(FPid, SIGTERM);
  int FStatus = 0;
  const bool FExited =
      WaitUntil([&] { return ::waitpid(FPid, &FStatus, WNOHANG) == FPid; }, kDeadline);
  if (!FExited) {
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, &FStatus, 0);
  }
  FPid = -1;
  const std::string FLog = Log();
  for (const char* FBad : {"Sanitizer", "runtime error:"})
    EXPECT_EQ(FLog.find(FBad), std::string::npos) << "mount log:\n"
                                                  << FLog << "\ncommand: " << FCommand;
  return FExited && WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : -1;
}

void TMountProcess::Crash() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGKILL);
  ::waitpid(FPid, nullptr, 0);
  FPid = -1;
}

TMountProcess::~TMountProcess() {
  if (FPid > 0) Stop();
  for (const auto& FPoint : {Shared(), Own()})
    ::umount2(FPoint.c_str(), MNT_DETACH);
}

} // namespace zelvo::test
