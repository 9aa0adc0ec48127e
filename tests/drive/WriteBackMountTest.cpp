// Pending changes through real mounts: one mount per cache folder, a journal that is checked, a
// change the server refuses for good, servers told apart by port, a crash right after a close,
// and a write after a failed download.
#include <fstream>

#include "tests/drive/MountFixture.h"
#include "tests/support/StallingProxy.h"

namespace zelvo::test {
namespace {

namespace fs = std::filesystem;

constexpr char kHome[] = "\\home\\一年级一班\\张三\\";

class WriteBackMountTest : public ::testing::Test {
protected:
  static fs::path Home(const TServerProcess& aServer) {
    return aServer.Storage() / "home/一年级一班/张三";
  }
  static std::string Read(const fs::path& aPath) { return TTempDir::ReadPath(aPath); }
  static std::string Stored(const fs::path& aPath, const std::string& aExpected) {
    WaitUntil([&] { return fs::exists(aPath) && Read(aPath) == aExpected; });
    return fs::exists(aPath) ? Read(aPath) : "<missing>";
  }
  // A pending change an earlier run left: its content file and its journal line.
  void LeavePending(uint16_t aPort, const std::string& aDrivePath, const std::string& aContent) {
    const std::string FFile = "pending-test-" + std::to_string(++FLeft) + ".cache";
    FCache.WriteFile(FFile, aContent);
    std::ofstream(FCache.Path() / "pending.journal", std::ios::app)
        << "2\t127.0.0.1\t" << aPort << '\t' << kHome << '\\' << aDrivePath << '\t' << FFile
        << "\t\t\t0\t\n";
  }
  TMountSetup Setup() const { return TMountSetup{.FCache = FCache.Path()}; }

  TServerProcess FServer;
  TTempDir FCache;
  int FLeft = 0;
};

TEST_F(WriteBackMountTest, ASecondMountOfOneCacheFolderTouchesNothing) {
  TMountProcess FFirst(FServer.Port(), Setup());
  ASSERT_TRUE(FFirst.Ready()) << FFirst.Log();
  FServer.Stop();
  Shell("printf mine > '" + (FFirst.Own() / "mine.txt").string() + "'"); // kept, not sent
  const std::string FJournal = FCache.ReadFile("pending.journal");
  ASSERT_NE(FJournal.find("mine.txt"), std::string::npos);
  const size_t FContentAt = FJournal.find("pending-");
  const std::string FContent =
      FJournal.substr(FContentAt, FJournal.find('\t', FContentAt) - FContentAt);

  // The server stays down meanwhile: only the first mount's queue could send (or count) it, and
  // the second one is refused before it logs in.
  TMountSetup FSecondSetup = Setup();
  FSecondSetup.FUser = "李四";
  FSecondSetup.FExpectReady = false;
  TMountProcess FSecond(FServer.Port(), FSecondSetup);
  EXPECT_FALSE(FSecond.Ready());
  EXPECT_EQ(FSecond.Stop(), 1) << FSecond.Log();
  EXPECT_NE(FSecond.Log().find("is in use by another login"), std::string::npos) << FSecond.Log();
  EXPECT_NE(FCache.ReadFile("pending.journal").find("mine.txt\t" + FContent), std::string::npos);
  EXPECT_EQ(FCache.ReadFile(FContent), "mine");
  // The first mount's change was left alone, so it still arrives.
  FServer.Start();
  EXPECT_EQ(Stored(Home(FServer) / "mine.txt", "mine"), "mine");
}

// A journal line naming a file outside the cache folder is never read, sent or deleted.
TEST_F(WriteBackMountTest, AJournalLinePointingOutsideIsSetAside) {
  TTempDir FElsewhere;
  FElsewhere.WriteFile("secret.txt", "not for the server");
  std::ofstream(FCache.Path() / "pending.journal")
      << "127.0.0.1\t" << kHome << "\\secret.txt\t" << (FElsewhere.Path() / "secret.txt").string()
      << '\n';
  TMountProcess FMount(FServer.Port(), Setup());
  ASSERT_TRUE(FMount.Ready()) << FMount.Log();
  EXPECT_FALSE(fs::exists(Home(FServer) / "secret.txt"));
  EXPECT_FALSE(fs::exists(FMount.Own() / "secret.txt"));
  EXPECT_EQ(FElsewhere.ReadFile("secret.txt"), "not for the server");
  EXPECT_NE(FMount.Log().find("set aside"), std::string::npos) << FMount.Log();
  EXPECT_EQ(FMount.Stop(), 0);
  EXPECT_EQ(FElsewhere.ReadFile("secret.txt"), "not for the server");
}

// A change whose folder another machine deleted is refused for good: three tries, then its
// content is in the recovery folder and the student is told where.
TEST_F(WriteBackMountTest, AChangeRefusedForGoodIsKeptInTheRecoveryFolder) {
  LeavePending(FServer.Port(), "gone\\f.txt", "my work");
  TMountProcess FMount(FServer.Port(), Setup());
  ASSERT_TRUE(FMount.Ready()) << FMount.Log();
  const fs::path FKept = FMount.Recovery() / "127.0.0.1/gone/f.txt";
  EXPECT_TRUE(WaitUntil([&] { return fs::exists(FKept); })) << FMount.Log();
  EXPECT_EQ(Read(FKept), "my work");
  EXPECT_TRUE(WaitUntil([&] { return FMount.Log().find(FKept.string()) != std::string::npos; }))
      << FMount.Log();
  // The drive answers meanwhile and afterwards, and nothing waits any more.
  EXPECT_EQ(Shell("ls '" + FMount.Own().string() + "' > /dev/null"), 0);
  EXPECT_EQ(FCache.ReadFile("pending.journal").find("f.txt"), std::string::npos);
  size_t FPuts = 0;
  for (size_t FAt = 0; (FAt = FServer.Log().find("PUT", FAt)) != std::string::npos; ++FAt)
    ++FPuts;
  EXPECT_EQ(FPuts, 3u) << FServer.Log();
  EXPECT_EQ(FMount.Stop(), 0);
  EXPECT_EQ(FMount.Log().find("sent at the next login"), std::string::npos) << FMount.Log();
}

// Two servers on one host: a change goes only to the server (port) it was made on.
TEST_F(WriteBackMountTest, AChangeGoesOnlyToItsOwnPort) {
  TServerProcess FOther;
  LeavePending(FOther.Port(), "port.txt", "for the other server");
  {
    TMountProcess FHere(FServer.Port(), Setup());
    ASSERT_TRUE(FHere.Ready()) << FHere.Log();
    EXPECT_FALSE(fs::exists(Home(FServer) / "port.txt"));
    EXPECT_FALSE(fs::exists(FHere.Own() / "port.txt"));
    EXPECT_EQ(FHere.Stop(), 0);
  }
  TMountProcess FThere(FOther.Port(), Setup());
  ASSERT_TRUE(FThere.Ready()) << FThere.Log();
  EXPECT_EQ(Stored(Home(FOther) / "port.txt", "for the other server"), "for the other server");
  EXPECT_FALSE(fs::exists(Home(FServer) / "port.txt"));
}

// ": > f" with the server down returns 0 only once the truncation is kept: a kill -9 right
// after it loses nothing.
TEST_F(WriteBackMountTest, ATruncationSurvivesACrashRightAfterItsClose) {
  std::ofstream(Home(FServer) / "f.txt") << "OLD";
  {
    TMountProcess FMount(FServer.Port(), Setup());
    ASSERT_TRUE(FMount.Ready()) << FMount.Log();
    ASSERT_EQ(Read(FMount.Own() / "f.txt"), "OLD");
    FServer.Stop();
    EXPECT_EQ(Shell(": > '" + (FMount.Own() / "f.txt").string() + "'"), 0);
    FMount.Crash();
  }
  FServer.Start();
  TMountProcess FAgain(FServer.Port(), Setup());
  ASSERT_TRUE(FAgain.Ready()) << FAgain.Log();
  EXPECT_EQ(Stored(Home(FServer) / "f.txt", ""), "");
}

// A write to a file whose download just failed fails at once, without a second download under
// the tree's lock.
TEST_F(WriteBackMountTest, AWriteAfterAFailedDownloadFailsAtOnce) {
  std::ofstream(Home(FServer) / "f.txt") << "OLD";
  TStallingProxy FProxy(FServer.Port());
  TMountSetup FSetup = Setup();
  FSetup.FTimeOutMs = 1500;
  TMountProcess FMount(FProxy.Port(), FSetup);
  ASSERT_TRUE(FMount.Ready()) << FMount.Log();
  ASSERT_EQ(Shell("ls '" + FMount.Own().string() + "' > /dev/null"), 0);
  FProxy.Stall();
  const int FBefore = FProxy.Accepted();
  std::string FOutput;
  EXPECT_NE(Shell("printf x >> '" + (FMount.Own() / "f.txt").string() + "'", &FOutput), 0);
  EXPECT_NE(FOutput.find("I/O error"), std::string::npos) << FOutput;
  EXPECT_EQ(FProxy.Accepted() - FBefore, 1) << "one download, outside the lock";
  EXPECT_EQ(Shell("ls '" + FMount.Shared().string() + "' > /dev/null"), 0);
  FProxy.Resume();
  EXPECT_EQ(Read(Home(FServer) / "f.txt"), "OLD");
}

} // namespace
} // namespace zelvo::test
