// End to end under faults, as users meet them: the server stopped, a folder removed on the
// server, a link that stalls mid-upload, a full cache disk. Each change either reaches the
// server or fails the call that made it, and what failed is sent later without being asked.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/MountProcess.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/StallingProxy.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;

struct TCallResult {
  int FResult = 0;
  int FErrno = 0;
};

// Writes aContent to aPath through its own descriptor; the results of the last write and of
// the close.
std::pair<TCallResult, TCallResult> WriteAndClose(const fs::path& aPath,
                                                  const std::string& aContent) {
  const int FFd = ::open(aPath.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  if (FFd < 0) return {{-1, errno}, {-1, errno}};
  TCallResult FWrite;
  for (size_t FAt = 0; FAt < aContent.size();) {
    const ssize_t FDone =
        ::write(FFd, aContent.data() + FAt, std::min<size_t>(aContent.size() - FAt, 1 << 20));
    if (FDone < 0) {
      FWrite = {-1, errno};
      break;
    }
    FAt += static_cast<size_t>(FDone);
  }
  TCallResult FClose;
  FClose.FResult = ::close(FFd);
  FClose.FErrno = FClose.FResult == 0 ? 0 : errno;
  return {FWrite, FClose};
}

class FaultMountTest : public ::testing::Test {
protected:
  fs::path Home() const { return FServer.Storage() / "home/一年级一班/张三"; }
  static std::string Read(const fs::path& aPath) { return test::TTempDir::ReadPath(aPath); }
  static bool Holds(const fs::path& aPath, const std::string& aContent,
                    std::chrono::milliseconds aDeadline = std::chrono::seconds(30)) {
    return test::WaitUntil([&] { return fs::exists(aPath) && Read(aPath) == aContent; }, aDeadline);
  }

  test::TServerProcess FServer;
  test::TTempDir FCache;
};

// The server stops: a save fails at close(2), mkdir and rm fail and change nothing; once the
// server is back the saved file arrives with no further action.
TEST_F(FaultMountTest, ServerStoppedThenBack) {
  test::TMountProcess FMount(FServer.Port(), test::TMountSetup{.FCache = FCache.Path()});
  ASSERT_TRUE(FMount.Ready());
  const fs::path Z = FMount.Own();
  ASSERT_TRUE(fs::exists(Z / "欢迎使用.txt"));
  FServer.Stop();

  const auto [FWrite, FClose] = WriteAndClose(Z / "草稿.txt", "written while away");
  EXPECT_EQ(FWrite.FResult, 0);
  EXPECT_EQ(FClose.FResult, -1);
  EXPECT_EQ(FClose.FErrno, EIO) << std::strerror(FClose.FErrno);
  EXPECT_EQ(Read(Z / "草稿.txt"), "written while away") << "readable with its local content";

  EXPECT_EQ(::mkdir((Z / "新目录").c_str(), 0755), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_FALSE(fs::exists(Z / "新目录"));
  EXPECT_EQ(::unlink((Z / "欢迎使用.txt").c_str()), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_TRUE(fs::exists(Z / "欢迎使用.txt"));
  EXPECT_EQ(::rename((Z / "欢迎使用.txt").c_str(), (Z / "x.txt").c_str()), -1);
  EXPECT_EQ(errno, EIO);

  FServer.Start();
  EXPECT_TRUE(Holds(Home() / "草稿.txt", "written while away")) << FMount.Log();
  EXPECT_EQ(FMount.Stop(), 0);
  // One stderr line when the save failed (the retries that failed too add none), one when it
  // was sent later.
  const std::string FLog = FMount.Log();
  const std::string FFailed = "zelvo: save failed: \\home\\一年级一班\\张三\\\\草稿.txt was not "
                              "uploaded; the change stays on this computer and is retried";
  const size_t FAt = FLog.find(FFailed);
  EXPECT_NE(FAt, std::string::npos) << FLog;
  EXPECT_EQ(FLog.find(FFailed, FAt + 1), std::string::npos) << FLog;
  EXPECT_NE(FLog.find("zelvo: sent later: \\home\\一年级一班\\张三\\\\草稿.txt"), std::string::npos)
      << FLog;
}

// A change still pending at unmount is named on stderr and sent at the next login.
TEST_F(FaultMountTest, PendingChangeSurvivesTheUnmount) {
  {
    test::TMountProcess FMount(FServer.Port(), test::TMountSetup{.FCache = FCache.Path()});
    ASSERT_TRUE(FMount.Ready());
    // Listed while the server answers: a folder never listed refuses new files (EIO).
    ASSERT_TRUE(fs::exists(FMount.Own() / "作业" / "notes.txt"));
    FServer.Stop();
    EXPECT_EQ(WriteAndClose(FMount.Own() / "作业" / "未交.txt", "keep").second.FErrno, EIO);
    EXPECT_EQ(FMount.Stop(), 0);
    EXPECT_NE(FMount.Log().find("sent at the next login: /作业/未交.txt"), std::string::npos)
        << FMount.Log();
  }
  FServer.Start();
  test::TMountProcess FAgain(FServer.Port(), test::TMountSetup{.FCache = FCache.Path()});
  ASSERT_TRUE(FAgain.Ready());
  EXPECT_TRUE(Holds(Home() / "作业/未交.txt", "keep"));
  EXPECT_EQ(Read(FAgain.Own() / "作业/未交.txt"), "keep");
  EXPECT_EQ(FAgain.Stop(), 0);
  for (const auto& FItem : fs::directory_iterator(FCache.Path()))
    EXPECT_NE(FItem.path().extension(), ".cache") << FItem.path() << " left after the unmount";
}

// A folder removed on the server refuses a file saved into it (EACCES at close); once the
// folder is back, the retry stores it.
TEST_F(FaultMountTest, FolderRemovedOnTheServer) {
  test::TMountProcess FMount(FServer.Port(), test::TMountSetup{.FCache = FCache.Path()});
  ASSERT_TRUE(FMount.Ready());
  ASSERT_TRUE(fs::exists(FMount.Own() / "资料/大文件.bin"));
  fs::rename(Home() / "资料", FServer.Storage() / "away");
  const auto [FWrite, FClose] = WriteAndClose(FMount.Own() / "资料/新.txt", "new");
  EXPECT_EQ(FClose.FResult, -1);
  EXPECT_EQ(FClose.FErrno, EACCES) << std::strerror(FClose.FErrno);
  fs::rename(FServer.Storage() / "away", Home() / "资料");
  EXPECT_TRUE(Holds(Home() / "资料/新.txt", "new"));
  EXPECT_EQ(FMount.Stop(), 0);
}

// A link that stops carrying bytes mid-upload fails the close within about the time-out.
TEST_F(FaultMountTest, StalledUploadFailsWithinTheTimeOut) {
  test::TStallingProxy FProxy(FServer.Port());
  test::TMountProcess FMount(FProxy.Port(),
                             test::TMountSetup{.FCache = FCache.Path(), .FTimeOutMs = 1500});
  ASSERT_TRUE(FMount.Ready());
  const int FFd = ::open((FMount.Own() / "big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(FFd, 0);
  const std::string FPiece(1 << 20, 'z');
  for (int i = 0; i < 32; ++i)
    ASSERT_EQ(::write(FFd, FPiece.data(), FPiece.size()), static_cast<ssize_t>(FPiece.size()));
  FProxy.Stall();
  const auto FStart = std::chrono::steady_clock::now();
  EXPECT_EQ(::close(FFd), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_LT(std::chrono::steady_clock::now() - FStart, std::chrono::seconds(15));
  EXPECT_FALSE(fs::exists(Home() / "big.bin")) << "never a partial file";
  FProxy.Resume();
  EXPECT_EQ(FMount.Stop(), 0);
}

// A full cache disk fails the write and the close; the server never gets a part of the file.
TEST_F(FaultMountTest, FullCacheDisk) {
  ASSERT_EQ(::mount("zelvo-test", FCache.Path().c_str(), "tmpfs", 0, "size=1m"), 0)
      << std::strerror(errno);
  struct TUnmount {
    fs::path FPath;
    ~TUnmount() { ::umount2(FPath.c_str(), MNT_DETACH); }
  } FUnmount{FCache.Path()};
  {
    test::TMountProcess FMount(FServer.Port(), test::TMountSetup{.FCache = FCache.Path()});
    ASSERT_TRUE(FMount.Ready());
    const auto [FWrite, FClose] =
        WriteAndClose(FMount.Own() / "big.bin", std::string(4 << 20, 'f'));
    EXPECT_EQ(FWrite.FErrno, ENOSPC) << std::strerror(FWrite.FErrno);
    EXPECT_EQ(FClose.FResult, -1);
    EXPECT_EQ(FClose.FErrno, ENOSPC) << std::strerror(FClose.FErrno);
    EXPECT_EQ(FMount.Stop(), 0);
  }
  EXPECT_FALSE(fs::exists(Home() / "big.bin"));
}

} // namespace
} // namespace zelvo
