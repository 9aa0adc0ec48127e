// End to end against a server that breaks the protocol on purpose: what it can make the client
// spend (disk, memory, time) stays bounded, the other drive goes on meanwhile, the program ends
// promptly, and names no program could open are hidden and reported.
#include <chrono>
#include <csignal>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/BrokenServer.h"
#include "tests/support/MountProcess.h"
#include "tests/support/Shell.h"
#include "tests/support/Wait.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;
using test::TBrokenServer;
using TBehaviour = TBrokenServer::TBehaviour;
using TClock = std::chrono::steady_clock;

test::TMountSetup BrokenSetup(bool aExpectReady = true) {
  test::TMountSetup FSetup;
  FSetup.FClass = "c";
  FSetup.FUser = "u";
  FSetup.FTimeOutMs = 2000;
  FSetup.FExpectReady = aExpectReady;
  return FSetup;
}

// The kilobytes of memory a process has used at most (VmHWM).
int64_t PeakKiB(pid_t aPid) {
  std::ifstream FStatus("/proc/" + std::to_string(aPid) + "/status");
  for (std::string FLine; std::getline(FStatus, FLine);)
    if (FLine.starts_with("VmHWM:")) return std::stoll(FLine.substr(6));
  return -1;
}

// Far above what the client needs (tens of MB under the sanitizers), far below what an
// unbounded reply costs (hundreds of MB).
constexpr int64_t kMemoryBoundKiB = 250 * 1024;

size_t Occurrences(const std::string& aText, const std::string& aPart) {
  size_t FCount = 0;
  for (size_t FAt = aText.find(aPart); FAt != std::string::npos; FAt = aText.find(aPart, FAt + 1))
    ++FCount;
  return FCount;
}

TEST(BrokenServerMountTest, DownloadStopsAtWhatWasListed) {
  TBrokenServer FServer({{{u"small.txt", 20}}, TBehaviour::EndlessCount});
  test::TMountProcess FMount(FServer.Port(), BrokenSetup());
  ASSERT_TRUE(FMount.Ready());
  std::string FOutput;
  EXPECT_NE(test::Shell("cat " + (FMount.Own() / "small.txt").string(), &FOutput), 0);
  EXPECT_NE(FOutput.find("Input/output error"), std::string::npos) << FOutput;
  // Socket buffers hold a few megabytes; without the bound the flood runs to its own limit.
  EXPECT_LT(FServer.Flooded(), 64 << 20);
  EXPECT_LT(PeakKiB(FMount.Pid()), kMemoryBoundKiB);
  // The listing that disagreed with the reply is asked for again at the next look.
  const int FLists = FServer.Count(std::string("LIST ") + TBrokenServer::kOwnRoot);
  test::Shell("ls " + FMount.Own().string());
  EXPECT_TRUE(test::WaitUntil(
      [&] { return FServer.Count(std::string("LIST ") + TBrokenServer::kOwnRoot) > FLists; }));
  EXPECT_EQ(FMount.Stop(), 0);
}

TEST(BrokenServerMountTest, DribblingDownloadFailsWhileTheOtherDriveAnswers) {
  TBrokenServer FServer({{{u"slow.bin", 100000}}, TBehaviour::Dribble});
  test::TMountProcess FMount(FServer.Port(), BrokenSetup());
  ASSERT_TRUE(FMount.Ready());
  const auto FBegan = TClock::now();
  auto FCat = std::async(std::launch::async, [&] {
    return test::Shell("cat " + (FMount.Own() / "slow.bin").string() + " >/dev/null");
  });
  ASSERT_TRUE(test::WaitUntil([&] { return FServer.Count("GET \\home") >= 1; }))
      << ::testing::PrintToString(FServer.Requests()) << FMount.Log();
  std::string FShared;
  EXPECT_EQ(test::Shell("cat " + (FMount.Shared() / "shared.txt").string(), &FShared), 0);
  EXPECT_EQ(FShared, "xx");
  EXPECT_EQ(FCat.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
      << "the other drive answered while the download was still held";
  ASSERT_EQ(FCat.wait_for(std::chrono::seconds(90)), std::future_status::ready);
  EXPECT_NE(FCat.get(), 0);
  // The pace's grace is 10 s; far below the 100,000 s the server would take.
  EXPECT_LT(TClock::now() - FBegan, std::chrono::seconds(60));
  EXPECT_EQ(FServer.Count("GET \\home"), 1) << "the kernel's retry of the failed read asked again";
  EXPECT_EQ(FMount.Stop(), 0);
}

TEST(BrokenServerMountTest, EndsPromptlyDuringADribble) {
  TBrokenServer FServer({{{u"slow.bin", 100000}}, TBehaviour::Dribble});
  test::TMountProcess FMount(FServer.Port(), BrokenSetup());
  ASSERT_TRUE(FMount.Ready());
  auto FCat = std::async(std::launch::async, [&] {
    return test::Shell("cat " + (FMount.Own() / "slow.bin").string() + " >/dev/null 2>&1");
  });
  ASSERT_TRUE(test::WaitUntil([&] { return FServer.Count("GET \\home") >= 1; }))
      << ::testing::PrintToString(FServer.Requests()) << FMount.Log();
  const auto FBegan = TClock::now();
  EXPECT_EQ(FMount.Stop(), 0);
  // The grace for exchanges is 2 s; the bound leaves room for a loaded machine.
  EXPECT_LT(TClock::now() - FBegan, std::chrono::seconds(10));
  std::string FMounts;
  test::Shell("cat /proc/mounts", &FMounts);
  EXPECT_EQ(FMounts.find(FMount.Own().string()), std::string::npos);
  FCat.wait();
}

TEST(BrokenServerMountTest, ListingsAreBoundedInSizeAndTime) {
  for (const TBehaviour FBehaviour : {TBehaviour::Endless, TBehaviour::Dribble}) {
    TBrokenServer FServer({{{u"folder", 0, true}}, TBehaviour::Honest, FBehaviour});
    test::TMountProcess FMount(FServer.Port(), BrokenSetup());
    ASSERT_TRUE(FMount.Ready());
    auto FList = std::async(std::launch::async, [&] {
      std::string FOutput;
      const int FStatus = test::Shell("ls " + (FMount.Own() / "folder").string(), &FOutput);
      return std::make_pair(FStatus, FOutput);
    });
    // Reached at least once: a loaded machine's kernel may look again before the poll does.
    ASSERT_TRUE(test::WaitUntil([&] { return FServer.Count("LIST \\home\\c\\u\\\\folder") >= 1; }))
        << ::testing::PrintToString(FServer.Requests()) << FMount.Log();
    EXPECT_EQ(test::Shell("ls " + FMount.Shared().string()), 0);
    ASSERT_EQ(FList.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const auto [FStatus, FOutput] = FList.get();
    EXPECT_NE(FStatus, 0);
    EXPECT_NE(FOutput.find("Input/output error"), std::string::npos) << FOutput;
    EXPECT_LT(FServer.Flooded(), 64 << 20);
    EXPECT_LT(PeakKiB(FMount.Pid()), kMemoryBoundKiB);
    EXPECT_EQ(FMount.Stop(), 0);
    if (FBehaviour == TBehaviour::Endless) {
      EXPECT_NE(FMount.Log().find("announced more than 1000000 entries"), std::string::npos)
          << FMount.Log();
    }
  }
}

// A process run to its end: exit status, output and peak memory (from wait4).
struct TRun {
  int FStatus = -1;
  int64_t FPeakKiB = -1;
};

TRun RunCounted(const std::vector<std::string>& aArguments, const std::string& aInput = "") {
  int FIn[2];
  if (::pipe(FIn) != 0) return {};
  const pid_t FPid = ::fork();
  if (FPid == 0) {
    ::dup2(FIn[0], STDIN_FILENO);
    ::close(FIn[1]);
    std::vector<char*> FArgv;
    for (const auto& FArgument : aArguments)
      FArgv.push_back(const_cast<char*>(FArgument.c_str()));
    FArgv.push_back(nullptr);
    ::execv(FArgv[0], FArgv.data());
    ::_exit(127);
  }
  ::close(FIn[0]);
  (void)!::write(FIn[1], aInput.data(), aInput.size());
  ::close(FIn[1]);
  int FStatus = 0;
  rusage FUsage{};
  ::wait4(FPid, &FStatus, 0, &FUsage);
  return {WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : -1, FUsage.ru_maxrss};
}

TEST(BrokenServerMountTest, HugeTextRepliesFailTheCommand) {
  TBrokenServer FServer(
      {{}, TBehaviour::Honest, TBehaviour::Honest, TBehaviour::HugeText, TBehaviour::HugeText});
  const std::string FPort = std::to_string(FServer.Port());
  const TRun FUsers =
      RunCounted({ZELVO_CLI_BIN, "users", "--port", FPort, "--timeout", "2000", "127.0.0.1", "c"});
  EXPECT_EQ(FUsers.FStatus, 1);
  EXPECT_LT(FUsers.FPeakKiB, kMemoryBoundKiB);

  test::TMountProcess FMount(FServer.Port(), BrokenSetup(false));
  EXPECT_FALSE(FMount.Ready());
  EXPECT_EQ(FMount.Stop(), 1);
  EXPECT_NE(FMount.Log().find("sent an invalid reply"), std::string::npos) << FMount.Log();
  EXPECT_LT(FServer.Flooded(), 64 << 20);
}

TEST(BrokenServerMountTest, UnusableNamesAreHiddenAndToldOnce) {
  TBrokenServer FServer({{{u"Report.doc", 1},
                          {u"REPORT.DOC", 2},
                          {u"back\\slash", 1},
                          {u"tab\there", 1},
                          {std::u16string(256, u'n'), 1},
                          {u"ok.txt", 1}}});
  test::TMountSetup FSetup = BrokenSetup();
  FSetup.FRefreshSeconds = 1;
  test::TMountProcess FMount(FServer.Port(), FSetup);
  ASSERT_TRUE(FMount.Ready());
  std::string FNames;
  ASSERT_EQ(test::Shell("LC_ALL=C ls -1 " + FMount.Own().string(), &FNames), 0)
      << FNames << ::testing::PrintToString(FServer.Requests()) << FMount.Log();
  EXPECT_EQ(FNames, "Report.doc\nok.txt\n");
  // Listed again (the refresh period is a second): still told once.
  const std::string FRootList = std::string("LIST ") + TBrokenServer::kOwnRoot;
  EXPECT_TRUE(test::WaitUntil([&] {
    test::Shell("ls " + FMount.Own().string());
    return FServer.Count(FRootList) >= 3;
  }));
  EXPECT_EQ(FMount.Stop(), 0);
  const std::string FLog = FMount.Log();
  for (const char* FTold : {"\"REPORT.DOC\" is not shown: another entry differs only in case",
                            "\"back\\slash\" is not shown: a path separator",
                            "\"tab\\u{0009}here\" is not shown: a control character",
                            "is not shown: longer than 255 bytes"})
    EXPECT_EQ(Occurrences(FLog, FTold), 1u) << FTold << "\n" << FLog;
}

} // namespace
} // namespace zelvo
