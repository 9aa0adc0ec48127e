// End to end: what one save sends (the server's request log counts the uploads), and the limits
// of names and sizes as programs meet them.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/drive/MountFixture.h"
#include "tests/support/MountProcess.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/Shell.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;
using test::Shell;

class SaveMountTest : public test::MountFixture {
protected:
  // The uploads the server has logged for a name, once it logged aExpected of them (it logs a
  // request after answering it) or the deadline passed.
  size_t Puts(const std::string& aName, size_t aExpected) const {
    test::WaitUntil([&] { return LoggedPuts(aName) >= aExpected; }, std::chrono::seconds(2));
    return LoggedPuts(aName);
  }
  size_t LoggedPuts(const std::string& aName) const {
    const std::string FLog = FServer.Log();
    size_t FCount = 0;
    for (size_t FAt = 0; (FAt = FLog.find(" PUT ", FAt)) != std::string::npos; ++FAt) {
      const size_t FEnd = FLog.find('\n', FAt);
      if (FLog.substr(FAt, FEnd - FAt).find("\\" + aName + "\" ") != std::string::npos) ++FCount;
    }
    return FCount;
  }
};

// An overwrite sends the new content once, never an empty file first; looking at a file while
// it is written sends nothing.
TEST_F(SaveMountTest, OneUploadPerSave) {
  ASSERT_TRUE(FMount.Ready());
  Run("printf x > " + Z("欢迎使用.txt").string());
  EXPECT_EQ(Read(Home() / "欢迎使用.txt"), "x");
  EXPECT_EQ(Puts("欢迎使用.txt", 1), 1u) << FServer.Log();

  test::TTempDir FLocal;
  FLocal.WriteFile("new.txt", "copied over");
  Run("cp " + (FLocal.Path() / "new.txt").string() + " " + Z("作业/notes.txt").string());
  EXPECT_EQ(Read(Home() / "作业/notes.txt"), "copied over");
  EXPECT_EQ(Puts("notes.txt", 1), 1u) << FServer.Log();

  Run("touch " + Z("empty.txt").string());
  EXPECT_TRUE(test::WaitUntil([&] { return fs::exists(Home() / "empty.txt"); }))
      << "a new empty file is sent when its last descriptor goes";
  EXPECT_EQ(Puts("empty.txt", 1), 1u);

  // Looked at from this process: a child process would close its inherited copy of the
  // descriptor, and every close(2) sends what was written.
  const int FFd = ::open(Z("growing.bin").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(FFd, 0);
  ASSERT_EQ(::write(FFd, "part", 4), 4);
  for (const auto& FItem : fs::directory_iterator(Z()))
    (void)fs::status(FItem.path()); // what ls -l does
  struct stat FStat {};
  EXPECT_EQ(::stat(Z("growing.bin").c_str(), &FStat), 0);
  const int FReader = ::open(Z("growing.bin").c_str(), O_RDONLY);
  char FBuffer[16];
  EXPECT_EQ(::read(FReader, FBuffer, sizeof FBuffer), 4);
  EXPECT_EQ(::close(FReader), 0);
  EXPECT_EQ(LoggedPuts("growing.bin"), 0u) << "looking never uploads";
  ASSERT_EQ(::write(FFd, "-whole", 6), 6);
  EXPECT_EQ(::close(FFd), 0);
  EXPECT_EQ(Read(Home() / "growing.bin"), "part-whole");
  EXPECT_EQ(Puts("growing.bin", 1), 1u);
  EXPECT_EQ(FMount.Stop(), 0);
}

// fsync(2) sends any change of its open at once, a truncation too; writes and truncations
// give the file a new last-write time.
TEST_F(SaveMountTest, FsyncSendsAndTimesMove) {
  const fs::path FStored = Home() / "资料/大文件.bin"; // in a folder not listed yet
  fs::last_write_time(FStored, fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
  ASSERT_TRUE(FMount.Ready());
  struct stat FBefore {};
  ASSERT_EQ(::stat(Z("资料/大文件.bin").c_str(), &FBefore), 0);
  const int FFd = ::open(Z("资料/大文件.bin").c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(FFd, 0);
  EXPECT_EQ(::fsync(FFd), 0);
  EXPECT_EQ(fs::file_size(FStored), 0u) << "sent by fsync, before the close";
  struct stat FAfter {};
  ASSERT_EQ(::fstat(FFd, &FAfter), 0);
  EXPECT_GT(FAfter.st_mtime, FBefore.st_mtime + 3600 * 24 * 300);
  EXPECT_EQ(::close(FFd), 0);
  EXPECT_EQ(FMount.Stop(), 0);
}

// Kept-local extensions compare whole: these names are stored like any other.
TEST_F(SaveMountTest, NamesThatAreUploaded) {
  ASSERT_TRUE(FMount.Ready());
  for (const char* FName : {"report.", "notes.t", "x.e", "a.zi", "plain"}) {
    Run("printf data > '" + Z(FName).string() + "'");
    EXPECT_TRUE(fs::exists(Home() / FName)) << FName;
  }
  Run("printf data > " + Z("scratch.TMP").string());
  EXPECT_FALSE(fs::exists(Home() / "scratch.TMP")) << "kept local";
  EXPECT_EQ(FMount.Stop(), 0);
}

TEST_F(SaveMountTest, LimitsAreTold) {
  ASSERT_TRUE(FMount.Ready());
  ExpectErrno(::truncate(Z("欢迎使用.txt").c_str(), int64_t{2} << 30), EFBIG, "truncate to 2 GiB");
  const int FFd = ::open(Z("欢迎使用.txt").c_str(), O_WRONLY);
  ASSERT_GE(FFd, 0);
  ExpectErrno(static_cast<int>(::pwrite(FFd, "x", 1, (int64_t{2} << 30) - 1)), EFBIG,
              "write ending at 2 GiB");
  EXPECT_EQ(::close(FFd), 0);

  const std::string FLong(256, 'n');
  ExpectErrno(::open(Z(FLong).c_str(), O_CREAT | O_WRONLY, 0644), ENAMETOOLONG, "create");
  ExpectErrno(::mkdir(Z(FLong).c_str(), 0755), ENAMETOOLONG, "mkdir");
  ExpectErrno(::rename(Z("欢迎使用.txt").c_str(), Z(FLong).c_str()), ENAMETOOLONG, "rename");
  struct stat FStat {};
  ExpectErrno(::stat(Z(FLong).c_str(), &FStat), ENAMETOOLONG, "look-up");

  // A new .zip would be a read-only archive folder the server never gets.
  test::TTempDir FLocal;
  FLocal.WriteFile("a.zip", "PK");
  std::string FOutput;
  EXPECT_NE(Shell("cp " + (FLocal.Path() / "a.zip").string() + " " + Z("a.zip").string(), &FOutput),
            0);
  EXPECT_NE(FOutput.find("Operation not permitted"), std::string::npos) << FOutput;
  EXPECT_FALSE(fs::exists(Z("a.zip")));
  EXPECT_EQ(FMount.Stop(), 0);
  // The program gets EPERM; the student is told why.
  EXPECT_NE(FMount.Log().find("zelvo: cannot create \\home\\一年级一班\\张三\\\\a.zip: zip files "
                              "open as read-only folders"),
            std::string::npos)
      << FMount.Log();
}

// Folders far below the root list like any other (made in a folder not listed yet).
TEST_F(SaveMountTest, DeepFoldersList) {
  fs::path FDeep = Home() / "资料";
  std::string FDrivePath = "/资料";
  for (int i = 0; i < 6; ++i) {
    const std::string FPart = "第" + std::to_string(i) + std::string(50, 'd');
    FDeep /= FPart;
    FDrivePath += "/" + FPart;
  }
  ASSERT_GT(FDrivePath.size(), 300u);
  fs::create_directories(FDeep);
  std::ofstream(FDeep / "leaf.txt") << "deep";
  ASSERT_TRUE(FMount.Ready());
  EXPECT_EQ(Read(FMount.Own().string() + FDrivePath + "/leaf.txt"), "deep");
  std::string FList;
  Shell("ls " + FMount.Own().string() + FDrivePath, &FList);
  EXPECT_EQ(FList, "leaf.txt\n");
  EXPECT_EQ(FMount.Stop(), 0);
}

// A file deleted while open stays usable through its descriptor until it is closed.
TEST_F(SaveMountTest, UnlinkedWhileOpen) {
  ASSERT_TRUE(FMount.Ready());
  const int FFd = ::open(Z("temp.txt").c_str(), O_CREAT | O_RDWR, 0644);
  ASSERT_GE(FFd, 0);
  ASSERT_EQ(::write(FFd, "abc", 3), 3);
  ASSERT_EQ(::unlink(Z("temp.txt").c_str()), 0);
  EXPECT_FALSE(fs::exists(Z("temp.txt")));
  ASSERT_EQ(::write(FFd, "def", 3), 3);
  char FBuffer[8] = {};
  EXPECT_EQ(::pread(FFd, FBuffer, sizeof FBuffer, 0), 6);
  EXPECT_EQ(std::string(FBuffer, 6), "abcdef");
  EXPECT_EQ(::close(FFd), 0);
  EXPECT_FALSE(fs::exists(Home() / "temp.txt"));
  EXPECT_EQ(FMount.Stop(), 0);
}

} // namespace
} // namespace zelvo
