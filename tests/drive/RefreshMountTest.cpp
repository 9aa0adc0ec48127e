// Changes made elsewhere, through real mounts: the server's storage changed behind the client's
// back, and two mounts of one student (two machines) saving one file.
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "tests/drive/MountFixture.h"

namespace zelvo::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

void WriteText(const fs::path& aPath, const std::string& aText) {
  std::ofstream(aPath, std::ios::binary | std::ios::trunc) << aText;
}

// A mount that lists its folders again after one second.
class RefreshMountTest : public MountFixture {
protected:
  TMountProcess FFast{FServer.Port(), TMountSetup{.FRefreshSeconds = 1}};
  fs::path Fast(const std::string& aPath) const { return FFast.Own() / aPath; }
  fs::path FastShare(const std::string& aPath) const { return FFast.Shared() / aPath; }
  fs::path Share() const { return FServer.Storage() / "share/一年级一班"; }
};

TEST_F(RefreshMountTest, ChangesOnTheServerShowUpAfterThePeriod) {
  ASSERT_TRUE(FFast.Ready()) << FFast.Log();
  ASSERT_EQ(Read(Fast("作业/notes.txt")), "plain ASCII notes\n");
  ASSERT_TRUE(fs::exists(Fast("欢迎使用.txt")));
  ASSERT_FALSE(fs::exists(FastShare("新通知.txt")));
  const int FOpen = ::open(Fast("作业/第一周/数学.txt").c_str(), O_RDONLY);
  ASSERT_GE(FOpen, 0);
  char FBuffer[16] = {};
  ASSERT_EQ(::pread(FOpen, FBuffer, sizeof FBuffer, 0), 10); // its content is here now

  WriteText(Share() / "新通知.txt", "明天放假\n");
  WriteText(Home() / "作业/notes.txt", "changed on the server, longer than before\n");
  fs::remove(Home() / "欢迎使用.txt");
  fs::remove(Home() / "作业/第一周/数学.txt");

  EXPECT_TRUE(WaitUntil([&] { return fs::exists(FastShare("新通知.txt")); }))
      << "a new file in the share";
  EXPECT_TRUE(WaitUntil([&] { return !fs::exists(Fast("欢迎使用.txt")); })) << "a deleted file";
  EXPECT_TRUE(WaitUntil([&] {
    return Read(Fast("作业/notes.txt")) == "changed on the server, longer than before\n";
  })) << "a changed file reads its new content";
  // Open, so it stays through the refreshes, and reads as it was.
  std::this_thread::sleep_for(2500ms);
  EXPECT_TRUE(fs::exists(Fast("作业/第一周/数学.txt")));
  EXPECT_EQ(::pread(FOpen, FBuffer, sizeof FBuffer, 0), 10);
  ::close(FOpen);
  // What ls shows: the folder's listing, looked at again until a refresh has dropped it.
  const auto FListed = [&](const std::string& aName) {
    for (const auto& FEntry : fs::directory_iterator(Fast("作业/第一周")))
      if (FEntry.path().filename() == aName) return true;
    return false;
  };
  EXPECT_TRUE(WaitUntil([&] { return !FListed("数学.txt"); }, 20s)) << "gone once closed";

  // The mount with the default period has not looked again yet.
  EXPECT_TRUE(fs::exists(Z("欢迎使用.txt")) || !FMount.Ready());
  EXPECT_EQ(FFast.Stop(), 0);
}

TEST(RefreshOffTest, ZeroKeepsOneListingPerRun) {
  TServerProcess FServer;
  TMountProcess FMount(FServer.Port(), TMountSetup{.FRefreshSeconds = 0});
  ASSERT_TRUE(FMount.Ready()) << FMount.Log();
  ASSERT_FALSE(fs::exists(FMount.Shared() / "新通知.txt"));
  WriteText(FServer.Storage() / "share/一年级一班/新通知.txt", "x");
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(fs::exists(FMount.Shared() / "新通知.txt"));
  }
  EXPECT_EQ(FMount.Stop(), 0);
}

// The same student on two machines: two mounts, two caches. The second save is checked against
// the server's entry of the file right before its upload, so no refresh timing matters: the
// machine that saves second has not listed the folder since it read the file.
TEST_F(RefreshMountTest, TwoEditsOfOneFileAreBothKept) {
  ASSERT_TRUE(FMount.Ready() && FFast.Ready()) << FMount.Log() << FFast.Log();
  ASSERT_EQ(Read(Z("作业/notes.txt")), "plain ASCII notes\n");
  ASSERT_EQ(Read(Z("作业/第一周/语文.txt")), "床前明月光，疑是地上霜。\n");

  WriteText(Fast("作业/notes.txt"), "saved on the first machine\n");
  ASSERT_EQ(Read(Home() / "作业/notes.txt"), "saved on the first machine\n");
  WriteText(Z("作业/notes.txt"), "saved on the second machine\n");
  WriteText(Z("作业/第一周/语文.txt"), "nobody else changed this\n");

  EXPECT_EQ(Read(Home() / "作业/第一周/语文.txt"), "nobody else changed this\n")
      << "an unchanged server version is simply replaced";
  // "notes (张三的冲突副本 yyyy-mm-dd HHmm).txt"
  const auto FIsConflictCopy = [](const std::string& aName) {
    const std::string FHead = "notes (张三的冲突副本 ";
    return aName.starts_with(FHead) && aName.ends_with(").txt") &&
           aName.size() == FHead.size() + std::string("2026-12-10 1530").size() + 5;
  };
  fs::path FCopy;
  for (const auto& FEntry : fs::directory_iterator(Home() / "作业"))
    if (FIsConflictCopy(FEntry.path().filename().string())) FCopy = FEntry.path();
  ASSERT_FALSE(FCopy.empty()) << FMount.Log() << FServer.Log();
  EXPECT_EQ(Read(FCopy), "saved on the second machine\n");
  EXPECT_EQ(Read(Home() / "作业/notes.txt"), "saved on the first machine\n");
  EXPECT_TRUE(fs::exists(Z("作业") / FCopy.filename())) << "both show on the drive";
  EXPECT_EQ(Read(Z("作业/notes.txt")), "saved on the first machine\n");
  EXPECT_TRUE(WaitUntil([&] { return fs::exists(Fast("作业") / FCopy.filename()); }))
      << "and on the other machine once it lists again";
  EXPECT_EQ(FMount.Stop(), 0);
  EXPECT_NE(FMount.Log().find("was changed on the server meanwhile"), std::string::npos)
      << FMount.Log();
}

} // namespace
} // namespace zelvo::test
