#include <array>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "tests/support/FakeServer.h"
#include "tests/support/ServerProcess.h"

namespace zelvo {
namespace {

struct TRun {
  int FStatus;
  std::string FOut;
};

TRun RunCli(const std::string& aArgs, const std::string& aRedirect = "2>/dev/null") {
  FILE* FPipe = ::popen((std::string(ZELVO_CLI_BIN) + " " + aArgs + " " + aRedirect).c_str(), "r");
  std::array<char, 4096> FBuffer;
  std::string FOut;
  while (const size_t FGot = std::fread(FBuffer.data(), 1, FBuffer.size(), FPipe))
    FOut.append(FBuffer.data(), FGot);
  const int FStatus = ::pclose(FPipe);
  return {WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : -1, FOut};
}

TEST(CliTest, ClassesFromTwoServersAndUsersOfAClass) {
  test::TServerProcess FFirst;
  test::TServerProcess FSecond({.FDemo = false, .FListen = "127.0.0.2", .FPort = FFirst.Port()});
  ASSERT_EQ(test::TServerProcess::RunTool("add-user '" + FSecond.Folder().string() + "' 高一 甲",
                                          "password-1\n"),
            0);
  const std::string FPort = " --port " + std::to_string(FFirst.Port());

  const auto FClasses = RunCli("classes" + FPort + " '127.0.0.1|127.0.0.2'");
  EXPECT_EQ(FClasses.FStatus, 0);
  for (const char* FItem : {"一年级一班(127.0.0.1)\n", "一年级二班(127.0.0.1)\n",
                            "教师组(127.0.0.1)\n", "高一(127.0.0.2)\n"})
    EXPECT_NE(FClasses.FOut.find(FItem), std::string::npos) << FItem << " in\n" << FClasses.FOut;

  const auto FUsers = RunCli("users" + FPort + " 127.0.0.1 一年级二班");
  EXPECT_EQ(FUsers.FStatus, 0);
  EXPECT_EQ(FUsers.FOut.size(), std::string("孙七\n赵六\n").size());
}

TEST(CliTest, UnreachableServersExitWithOneLine) {
  const std::string FPort = " --port " + std::to_string(test::ClosedPort());
  const auto FClasses = RunCli("classes --timeout 2000" + FPort + " 127.0.0.1", "2>&1");
  EXPECT_EQ(FClasses.FStatus, 1);
  EXPECT_EQ(FClasses.FOut, "zelvo-cli: server \"127.0.0.1\" could not be reached\n");
  const auto FUsers = RunCli("users" + FPort + " 127.0.0.1 x", "2>&1");
  EXPECT_EQ(FUsers.FStatus, 1);
  EXPECT_EQ(FUsers.FOut, "zelvo-cli: server \"127.0.0.1\" could not be reached\n");
}

// Usage mistakes are named: an unknown command, a port that cannot be one.
TEST(CliTest, MistakesAreNamed) {
  const struct {
    const char* FArgs;
    const char* FNamed;
  } FCases[] = {
      {"mnt 127.0.0.1 c u /tmp/x", "unknown command \"mnt\""},
      {"classes --port 0 127.0.0.1", "--port"},
      {"users --port 70000 127.0.0.1 c", "--port"},
  };
  for (const auto& FCase : FCases) {
    const auto FRun = RunCli(FCase.FArgs, "2>&1");
    EXPECT_NE(FRun.FStatus, 0) << FCase.FArgs;
    EXPECT_NE(FRun.FOut.find(FCase.FNamed), std::string::npos) << FCase.FArgs << ":\n" << FRun.FOut;
  }
}

} // namespace
} // namespace zelvo
