// End to end: the reference server, "zelvo-cli mount" in a private folder, and the drives used
// through system calls and shell tools, checked against the server's storage.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "tests/drive/MountFixture.h"
#include "tests/support/FakeServer.h"
#include "tests/support/MountProcess.h"
#include "tests/support/RawPeer.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;
using test::Shell;

class MountTest : public test::MountFixture {};

TEST_F(MountTest, BrowseBothDrives) {
  ASSERT_TRUE(FMount.Ready());
  std::string FList;
  Shell("ls " + Z().string() + " " + Z("作业/第一周").string(), &FList);
  for (const char* FName : {"作业", "欢迎使用.txt", "照片集.zip", "资料", "数学.txt", "语文.txt"})
    EXPECT_NE(FList.find(FName), std::string::npos) << FName << " in\n" << FList;
  EXPECT_EQ(Read(Z("作业/第一周/语文.txt")), Read(Home() / "作业/第一周/语文.txt"));
  EXPECT_EQ(Read(Y("课程表.txt")), Read(FServer.Storage() / "share/一年级一班/课程表.txt"));
  EXPECT_TRUE(fs::is_directory(Z("照片集.zip/相册/秋游")));
  EXPECT_EQ(Read(Z("照片集.zip/相册/秋游/合影.txt")), std::string(5000, 'x'));
  EXPECT_EQ(Read(Y("课件.zip/课件/第二章.txt")), "第二章\n");
  struct stat FStat {};
  ASSERT_EQ(::stat(Z("欢迎使用.txt").c_str(), &FStat), 0);
  EXPECT_EQ(FStat.st_mode, S_IFREG | 0644u);
  EXPECT_EQ(FStat.st_uid, ::getuid());
  EXPECT_GE(FStat.st_nlink, 1u);
  ASSERT_EQ(::stat(Y("课程表.txt").c_str(), &FStat), 0);
  EXPECT_EQ(FStat.st_mode, S_IFREG | 0444u);
  std::string FDf;
  Shell("df " + Z().string() + " " + Y().string(), &FDf);
  EXPECT_NE(FDf.find("张三的云盘空间"), std::string::npos) << FDf;
  EXPECT_NE(FDf.find("一年级一班共享空间"), std::string::npos) << FDf;
  EXPECT_EQ(FMount.Stop(), 0);
}

TEST_F(MountTest, ChangesReachTheServer) {
  ASSERT_TRUE(FMount.Ready());
  test::TTempDir FLocal;
  Run("head -c 20971520 /dev/urandom > " + (FLocal.Path() / "big").string());
  Run("cp " + (FLocal.Path() / "big").string() + " " + Z("big.bin").string());
  Run("cmp " + (FLocal.Path() / "big").string() + " " + (Home() / "big.bin").string());
  Run("cp " + Z("资料/大文件.bin").string() + " " + (FLocal.Path() / "out").string());
  Run("cmp " + (FLocal.Path() / "out").string() + " " + (Home() / "资料/大文件.bin").string());

  Run("echo one > " + Z("log.txt").string() + " && echo two >> " + Z("log.txt").string());
  EXPECT_EQ(Stored(Home() / "log.txt", "one\ntwo\n"), "one\ntwo\n");
  Run("printf XY | dd of=" + Z("作业/notes.txt").string() +
      " bs=1 seek=2 conv=notrunc 2>/dev/null");
  EXPECT_EQ(Stored(Home() / "作业/notes.txt", "plXYn ASCII notes\n"), "plXYn ASCII notes\n");
  Run("truncate -s 5 " + Z("作业/notes.txt").string());
  EXPECT_EQ(Stored(Home() / "作业/notes.txt", "plXYn"), "plXYn");

  Run("mkdir " + Z("新目录").string());
  EXPECT_TRUE(fs::is_directory(Home() / "新目录"));
  Run("mv " + Z("log.txt").string() + " " + Z("新目录/日志.txt").string());
  EXPECT_EQ(Stored(Home() / "新目录/日志.txt", "one\ntwo\n"), "one\ntwo\n");
  ExpectErrno(::rmdir(Z("新目录").c_str()), ENOTEMPTY, "rmdir of a full folder");
  Run("mv " + Z("新目录/日志.txt").string() + " " + Z("新目录/LOG.txt").string());
  Run("mv " + Z("新目录/LOG.txt").string() + " " + Z("新目录/log.txt").string());
  EXPECT_TRUE(fs::exists(Home() / "新目录/log.txt")) << "case-only rename";
  Run("cp " + Z("作业/notes.txt").string() + " " + Z("新目录/other.txt").string());
  Run("mv " + Z("新目录/other.txt").string() + " " + Z("新目录/log.txt").string());
  EXPECT_EQ(Stored(Home() / "新目录/log.txt", "plXYn"), "plXYn") << "moved onto an existing file";
  EXPECT_FALSE(fs::exists(Home() / "新目录/other.txt"));
  Run("rm " + Z("新目录/log.txt").string() + " && rmdir " + Z("新目录").string());
  EXPECT_FALSE(fs::exists(Home() / "新目录"));
  Run("mv " + Z("作业").string() + " " + Z("资料/作业").string());
  EXPECT_EQ(Read(Z("资料/作业/第一周/数学.txt")), "1 + 1 = 2\n");
  EXPECT_EQ(Stored(Home() / "资料/作业/第一周/数学.txt", "1 + 1 = 2\n"), "1 + 1 = 2\n");
  ExpectErrno(::rename(Z("资料").c_str(), Z("资料/作业/x").c_str()), EINVAL,
              "into its own subtree");
  EXPECT_EQ(FMount.Stop(), 0);
}

TEST_F(MountTest, RefusedChanges) {
  ASSERT_TRUE(FMount.Ready());
  ExpectErrno(::open(Y("new.txt").c_str(), O_CREAT | O_WRONLY, 0644), EROFS, "create on Y");
  ExpectErrno(::open(Y("课程表.txt").c_str(), O_WRONLY), EROFS, "write on Y");
  ExpectErrno(::mkdir(Y("d").c_str(), 0755), EROFS, "mkdir on Y");
  ExpectErrno(::unlink(Y("课程表.txt").c_str()), EROFS, "rm on Y");
  ExpectErrno(::rename(Y("课程表.txt").c_str(), Y("x.txt").c_str()), EROFS, "mv on Y");
  ExpectErrno(::truncate(Y("课程表.txt").c_str(), 0), EROFS, "truncate on Y");
  for (const char* FName : {"a|b", "a\\b", "a:b", "a*b", "a?b", "a\"b", "a<b", "a>b"})
    ExpectErrno(::open(Z(FName).c_str(), O_CREAT | O_WRONLY, 0644), EINVAL, FName);
  ExpectErrno(::mkdir(Z("x|y").c_str(), 0755), EINVAL, "mkdir x|y");
  ExpectErrno(::rename(Z("欢迎使用.txt").c_str(), Z("a|b").c_str()), EINVAL, "mv to a|b");
  ExpectErrno(::open(Z("bad\xFF").c_str(), O_CREAT | O_WRONLY, 0644), EINVAL, "not UTF-8");
  ExpectErrno(::rename(Z("欢迎使用.txt").c_str(), Z("照片集.zip/x.txt").c_str()), EACCES,
              "into an archive");
  ExpectErrno(::unlink(Z("照片集.zip/readme.txt").c_str()), EACCES, "rm inside an archive");
  const int FEntry = ::open(Z("照片集.zip/readme.txt").c_str(), O_WRONLY);
  ASSERT_GE(FEntry, 0);
  ExpectErrno(static_cast<int>(::write(FEntry, "x", 1)), EACCES, "write inside an archive");
  ::close(FEntry);
  EXPECT_EQ(FMount.Stop(), 0);
}

// A second mount onto drives already there is refused and leaves them alone.
TEST_F(MountTest, AlreadyMountedFolderIsRefused) {
  ASSERT_TRUE(FMount.Ready()) << FMount.Log();
  test::TMountProcess FSecond(FServer.Port(),
                              test::TMountSetup{.FUser = "李四",
                                                .FFolder = FMount.Own().parent_path(),
                                                .FExpectReady = false});
  EXPECT_FALSE(FSecond.Ready());
  EXPECT_NE(FSecond.Log().find("is already a mount point"), std::string::npos) << FSecond.Log();
  EXPECT_EQ(Read(Z("作业/notes.txt")), "plain ASCII notes\n");
  EXPECT_EQ(FMount.Stop(), 0);
}

TEST_F(MountTest, ParallelReaders) {
  ASSERT_TRUE(FMount.Ready());
  const std::string FBig = Z("资料/大文件.bin").string();
  const std::string FStored = (Home() / "资料/大文件.bin").string();
  std::string FCommand;
  for (int i = 0; i < 6; ++i)
    FCommand += "cmp " + FBig + " " + FStored + " & ";
  for (const char* FOther : {"作业/notes.txt", "作业/第一周/数学.txt", "欢迎使用.txt"})
    FCommand += "cmp " + Z(FOther).string() + " " + (Home() / FOther).string() + " & ";
  Run(FCommand + "wait");
  std::string FFailures;
  Shell("for j in 1 2 3 4; do cmp " + FBig + " " + FStored + " || echo bad & done; wait",
        &FFailures);
  EXPECT_EQ(FFailures.find("bad"), std::string::npos) << FFailures;
  EXPECT_EQ(FMount.Stop(), 0);
}

// The unmount ends the session on the server: the next person at this computer does not reach
// the student's files.
TEST_F(MountTest, UnmountEndsTheSession) {
  ASSERT_TRUE(FMount.Ready());
  const std::string FGet = "GET \\home\\一年级一班\\张三\\欢迎使用.txt";
  EXPECT_GT(test::TRawPeer::Exchange(FServer.Port(), FGet).size(), 4u);
  EXPECT_EQ(FMount.Stop(), 0);
  EXPECT_EQ(test::TRawPeer::Exchange(FServer.Port(), FGet), "");
}

TEST_F(MountTest, WriterStillHoldingAFileAtStop) {
  ASSERT_TRUE(FMount.Ready());
  const int FFd = ::open(Z("held.txt").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(FFd, 0);
  ASSERT_EQ(::write(FFd, "still open\n", 11), 11);
  EXPECT_EQ(FMount.Stop(), 0);
  EXPECT_EQ(Stored(Home() / "held.txt", "still open\n"), "still open\n");
  ::close(FFd);
}

TEST(MountRestartTest, CrashedMountIsCleanedAtTheNextStart) {
  test::TServerProcess FServer;
  test::TTempDir FFolder;
  {
    test::TMountProcess FFirst(FServer.Port(), "一年级一班", "张三", "zelvo123", FFolder.Path());
    ASSERT_TRUE(FFirst.Ready());
    FFirst.Crash();
    struct stat FStat {};
    EXPECT_EQ(::stat((FFolder.Path() / "Z").c_str(), &FStat), -1);
    EXPECT_EQ(errno, ENOTCONN) << "the crash left a stale mount";
  }
  test::TMountProcess FSecond(FServer.Port(), "一年级一班", "张三", "zelvo123", FFolder.Path());
  ASSERT_TRUE(FSecond.Ready());
  EXPECT_TRUE(fs::exists(FFolder.Path() / "Z/欢迎使用.txt"));
  EXPECT_EQ(FSecond.Stop(), 0);
}

TEST(MountLoginTest, WrongPasswordAndUnreachableServer) {
  test::TServerProcess FServer;
  std::string FOutput;
  const std::string FCli = std::string(ZELVO_CLI_BIN) + " mount --port ";
  EXPECT_EQ(Shell("echo wrong | " + FCli + std::to_string(FServer.Port()) +
                      " 127.0.0.1 一年级一班 张三 /tmp/never-mounted-zelvo",
                  &FOutput),
            1);
  EXPECT_EQ(FOutput, "班级、姓名或密码错误！\n");
  EXPECT_EQ(Shell("echo x | " + FCli + std::to_string(test::ClosedPort()) +
                      " 127.0.0.1 一年级一班 张三 /tmp/never-mounted-zelvo",
                  &FOutput),
            1);
  EXPECT_EQ(FOutput, "zelvo-cli: server \"127.0.0.1\" could not be reached\n");
}

} // namespace
} // namespace zelvo
