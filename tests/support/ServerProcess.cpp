#include "tests/support/ServerProcess.h"
#include "tests/support/Shell.h"
#include "tests/support/Wait.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zelvo::test {
namespace {

constexpr auto kDeadline = std::chrono::seconds(20);

std::string Quote(const std::string& aText) {
  return "'" + aText + "'";
}

bool WaitForExit(pid_t aPid, int& aStatus) {
  return WaitUntil([&] { return ::waitpid(aPid, &aStatus, WNOHANG) == aPid; }, kDeadline);
}

} // namespace

int TServerProcess::RunTool(const std::string& aArgs, const std::string& aInput,
                            std::string* aOutput) {
  return Shell("printf '%s' " + Quote(aInput) + " | " + ZELVO_SERVER_BIN + " " + aArgs, aOutput);
}

TServerProcess::TServerProcess(TServerSetup aSetup) : FSetup(std::move(aSetup)) {
  std::string FOutput;
  if (RunTool("init " + Quote(FDir.Path().string()) + (FSetup.FDemo ? " --demo" : ""), "",
              &FOutput) != 0)
    throw std::runtime_error("zelvo-server init failed: " + FOutput);
  Start();
}

void TServerProcess::Start() {
  if (FPid > 0) return;
  const std::string FFolder = FDir.Path().string();
  int FOut[2];
  if (::pipe2(FOut, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  FPid = ::fork();
  if (FPid == 0) {
    ::dup2(FOut[1], STDOUT_FILENO);
    const int FLog = ::open((FFolder + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(FLog, STDERR_FILENO);
    const std::string FPortText = std::to_string(FPort != 0 ? FPort : FSetup.FPort);
    std::vector<std::string> FArgs = {ZELVO_SERVER_BIN,
                                      "serve",
                                      FFolder,
                                      "--listen",
                                      FSetup.FListen,
                                      "--port",
                                      FPortText,
                                      "--idle-timeout",
                                      std::to_string(FSetup.FIdleTimeOutMs),
                                      "--max-connections",
                                      std::to_string(FSetup.FMaxConnections)};
    FArgs.insert(FArgs.end(), FSetup.FExtraArgs.begin(), FSetup.FExtraArgs.end());
    std::vector<char*> FArgv;
    for (auto& FArg : FArgs)
      FArgv.push_back(FArg.data());
    FArgv.push_back(nullptr);
    ::execv(ZELVO_SERVER_BIN, FArgv.data());
    ::_exit(127);
  }
  ::close(FOut[1]);
  const std::string FLine = ReadLineWithin(FOut[0], "listening on ", kDeadline);
  ::close(FOut[0]);
  const auto FColon = FLine.rfind(':');
  if (!FLine.starts_with("listening on ") || FColon == std::string::npos) {
    Stop();
    throw std::runtime_error("zelvo-server did not start: " + FLine + Log());
  }
  FPort = static_cast<uint16_t>(std::stoi(FLine.substr(FColon + 1)));
}

TServerProcess::~TServerProcess() {
  Stop();
}

void TServerProcess::Kill() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGKILL);
  int FStatus = 0;
  ::waitpid(FPid, &FStatus, 0);
  FPid = -1;
}

void TServerProcess::Stop() {
  if (FPid <= 0) return;
  ::kill(FPid, SIGTERM);
  int FStatus = 0;
  if (!WaitForExit(FPid, FStatus)) {
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, &FStatus, 0);
    ADD_FAILURE() << "zelvo-server did not stop on SIGTERM";
  }
  FPid = -1;
  const std::string FLog = Log();
  EXPECT_TRUE(WIFEXITED(FStatus) && WEXITSTATUS(FStatus) == 0) << "server exit status " << FStatus;
  for (const char* FBad : {"Sanitizer", "runtime error:"})
    EXPECT_EQ(FLog.find(FBad), std::string::npos) << "server log (" << FDir.Path() << "):\n"
                                                  << FLog;
}

} // namespace zelvo::test
