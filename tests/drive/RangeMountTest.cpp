// End to end: reads of parts of a big file from a server that serves ranged reads, as programs
// make them through the mount; the server's request log tells what was fetched and how.
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

#include "server/ZipWriter.h"
#include "tests/drive/MountFixture.h"
#include "tests/support/StallingProxy.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;
using test::Shell;

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kBigSize = 24 * kMiB + 12345;

std::string Pattern(int64_t aSize, uint32_t aSeed) {
  std::string FData(static_cast<size_t>(aSize), '\0');
  std::mt19937 FRandom(aSeed);
  for (auto& FByte : FData)
    FByte = static_cast<char>(FRandom());
  return FData;
}

// How many requests of aCommand ("GET", "GETRANGE") the server logged for a name.
size_t Logged(const std::string& aLog, const std::string& aCommand, const std::string& aName) {
  size_t FCount = 0;
  for (size_t FAt = 0; (FAt = aLog.find(" " + aCommand + " ", FAt)) != std::string::npos; ++FAt) {
    const size_t FEnd = aLog.find('\n', FAt);
    if (aLog.substr(FAt, FEnd - FAt).find(aName) != std::string::npos) ++FCount;
  }
  return FCount;
}

// pread through a new open (the kernel keeps no pages of an earlier one); the bytes read, or
// "<errno N>" when the read failed.
std::string ReadAt(const fs::path& aPath, int64_t aOffset, size_t aCount) {
  const int FFd = ::open(aPath.c_str(), O_RDONLY);
  if (FFd < 0) return "<open errno " + std::to_string(errno) + ">";
  std::string FData(aCount, '\0');
  const ssize_t FGot = ::pread(FFd, FData.data(), aCount, aOffset);
  const int FError = errno;
  ::close(FFd);
  if (FGot < 0) return "<errno " + std::to_string(FError) + ">";
  FData.resize(static_cast<size_t>(FGot));
  return FData;
}

class RangeMountTest : public ::testing::Test {
protected:
  explicit RangeMountTest(std::vector<std::string> aServeArgs = {})
      : FServer({.FExtraArgs = std::move(aServeArgs)}) {
    std::ofstream(Home() / "大.bin", std::ios::binary) << FBig;
  }
  fs::path Home() const { return FServer.Storage() / "home/一年级一班/张三"; }
  fs::path Z(const std::string& aPath = "") const { return FMount->Own() / aPath; }
  void Mount() {
    FMount = std::make_unique<test::TMountProcess>(FServer.Port());
    ASSERT_TRUE(FMount->Ready()) << FMount->Log();
  }
  size_t Logged(const std::string& aCommand, const std::string& aName) const {
    return zelvo::Logged(FServer.Log(), aCommand, aName);
  }
  void TearDown() override {
    if (FMount) {
      EXPECT_EQ(FMount->Stop(), 0);
    }
  }

  const std::string FBig = Pattern(kBigSize, 7);
  test::TServerProcess FServer;
  std::unique_ptr<test::TMountProcess> FMount;
};

// Reads at many places, across block edges and the file's end, give the file's bytes, and the
// file is never fetched whole for them.
TEST_F(RangeMountTest, RandomReadsAreTheFilesBytesWithoutAWholeGet) {
  Mount();
  struct TRead {
    int64_t FOffset;
    size_t FCount;
  };
  for (const TRead FRead :
       {TRead{5 * kMiB + 3, 4096}, TRead{kMiB - 10, 4096}, TRead{17 * kMiB, 1},
        TRead{8 * kMiB - 100, 2 * kMiB}, TRead{kBigSize - 100, 4096}, TRead{kBigSize, 10},
        TRead{kBigSize + kMiB, 10}, TRead{3 * kMiB + 12345, 300000}, TRead{20 * kMiB + 1, 65536}}) {
    const size_t FExpected = static_cast<size_t>(
        std::clamp<int64_t>(kBigSize - FRead.FOffset, 0, static_cast<int64_t>(FRead.FCount)));
    const std::string FGot = ReadAt(Z("大.bin"), FRead.FOffset, FRead.FCount);
    ASSERT_EQ(FGot.size(), FExpected) << FRead.FOffset << " " << FGot.substr(0, 40);
    EXPECT_TRUE(FGot ==
                FBig.substr(static_cast<size_t>(std::min(FRead.FOffset, kBigSize)), FExpected))
        << "at " << FRead.FOffset;
  }
  EXPECT_EQ(Logged("GET", "大.bin"), 0u);
  EXPECT_GT(Logged("GETRANGE", "大.bin"), 0u);
  // A reader from the start gets the whole file, streamed as before.
  std::string FAll;
  ASSERT_EQ(Shell("cat '" + Z("大.bin").string() + "'", &FAll), 0);
  EXPECT_TRUE(FAll == FBig);
  EXPECT_TRUE(test::WaitUntil([&] { return Logged("GET", "大.bin") == 1; }));
}

// A reader that has needed many blocks here and there: on a far link, where each range waits
// longer for its answer than it takes to receive, the whole file is streamed beside the ranges;
// on a slow link, where receiving is what costs, ranges alone bring far fewer bytes.
TEST(RangeLinkTest, AReaderAllOverAFileGetsItWholeOnlyOnAFarLink) {
  struct TCase {
    const char* FLink;
    std::chrono::milliseconds FDelay;
    int64_t FPace; // bytes per second
    bool FWhole;
  };
  for (const TCase FCase : {TCase{"far", std::chrono::milliseconds(40), 0, true},
                            TCase{"slow", std::chrono::milliseconds(0), 10'000'000, false}}) {
    test::TServerProcess FServer;
    const std::string FBig = Pattern(kBigSize, 7);
    std::ofstream(FServer.Storage() / "home/一年级一班/张三/大.bin", std::ios::binary) << FBig;
    test::TStallingProxy FProxy(FServer.Port());
    FProxy.Delay(FCase.FDelay);
    FProxy.Pace(FCase.FPace);
    test::TMountProcess FMount(FProxy.Port());
    ASSERT_TRUE(FMount.Ready()) << FMount.Log();
    const fs::path FFile = FMount.Own() / "大.bin";
    for (const int64_t FBlock : {9, 2, 14, 5, 20, 11, 3, 17, 7, 22, 1, 13, 19, 4, 16, 8, 21, 6}) {
      const int64_t FOffset = FBlock * kMiB + 100;
      ASSERT_EQ(ReadAt(FFile, FOffset, 10), FBig.substr(static_cast<size_t>(FOffset), 10))
          << FCase.FLink;
    }
    // A whole GET is begun by the read that found it due, two reads before these ended.
    if (FCase.FWhole)
      EXPECT_TRUE(test::WaitUntil([&] { return FProxy.Requests("GET") == 1; })) << FCase.FLink;
    else
      EXPECT_EQ(FProxy.Requests("GET"), 0) << FCase.FLink;
    EXPECT_GE(FProxy.Requests("GETRANGE"), 16) << FCase.FLink;
    EXPECT_EQ(FMount.Stop(), 0);
  }
}

// A file replaced on the server between two reads: the read that meets the new version does not
// mix it with the old one; once the listing is asked again, every read gives the new bytes.
TEST_F(RangeMountTest, AFileChangedOnTheServerIsNoticed) {
  Mount();
  ASSERT_EQ(ReadAt(Z("大.bin"), 5 * kMiB, 100), FBig.substr(5 * kMiB, 100));
  const std::string FNew = Pattern(kBigSize + 7, 8);
  {
    std::ofstream FOut(Home() / "大.bin.new", std::ios::binary);
    FOut << FNew;
  }
  fs::rename(Home() / "大.bin.new", Home() / "大.bin");
  const std::string FSecond = ReadAt(Z("大.bin"), 15 * kMiB, 100);
  EXPECT_NE(FSecond, FBig.substr(15 * kMiB, 100)) << "bytes of the old version after the change";
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        return ReadAt(Z("大.bin"), 5 * kMiB, 100) == FNew.substr(5 * kMiB, 100) &&
               ReadAt(Z("大.bin"), 15 * kMiB, 100) == FNew.substr(15 * kMiB, 100);
      },
      std::chrono::seconds(60)));
}

// A write into a file that is only partly here: the server gets the whole file with the change.
TEST_F(RangeMountTest, APartlyHereFileIsSavedWhole) {
  Mount();
  ASSERT_EQ(ReadAt(Z("大.bin"), 10 * kMiB, 100), FBig.substr(10 * kMiB, 100));
  const int FFd = ::open(Z("大.bin").c_str(), O_WRONLY);
  ASSERT_GE(FFd, 0);
  ASSERT_EQ(::pwrite(FFd, "EDIT", 4, 20 * kMiB), 4);
  ASSERT_EQ(::close(FFd), 0);
  std::string FExpected = FBig;
  FExpected.replace(20 * kMiB, 4, "EDIT");
  EXPECT_TRUE(
      test::WaitUntil([&] { return test::TTempDir::ReadPath(Home() / "大.bin") == FExpected; }));
}

// Looking at a folder of archives (ls -l, stat) fetches none of them; listing one's entries does.
TEST_F(RangeMountTest, LookingAtArchivesFetchesNone) {
  for (const char* FName : {"a.zip", "b.zip", "c.zip"})
    fs::copy_file(Home() / "照片集.zip", Home() / FName);
  Mount();
  std::string FOutput;
  ASSERT_EQ(Shell("ls -l '" + Z().string() + "' && stat '" + Z("a.zip").string() + "'", &FOutput),
            0)
      << FOutput;
  EXPECT_NE(FOutput.find("b.zip"), std::string::npos) << FOutput;
  for (const char* FName : {"a.zip", "b.zip", "c.zip", "照片集.zip"})
    EXPECT_EQ(Logged("GET", FName) + Logged("GETRANGE", FName), 0u) << FName;
  ASSERT_EQ(Shell("ls '" + Z("b.zip").string() + "'", &FOutput), 0) << FOutput;
  EXPECT_NE(FOutput.find("readme.txt"), std::string::npos) << FOutput;
  EXPECT_EQ(Logged("GET", "a.zip"), 0u);
}

// A zip folder is listed from the archive's directory and an entry read from its own bytes: the
// archive is never fetched whole, and far fewer of its bytes travel than it holds.
TEST_F(RangeMountTest, AZipFolderIsReadFromItsDirectory) {
  std::vector<server::TZipEntry> FEntries;
  for (int i = 0; i < 100; ++i)
    FEntries.push_back(
        {"课件/第" + std::to_string(i) + "章.bin", Pattern(256 * 1024, 100 + i), false});
  for (const bool FZip64 : {false, true}) {
    const std::string FName = FZip64 ? "大64.zip" : "大.zip";
    std::ofstream(Home() / FName, std::ios::binary) << server::MakeZip(FEntries, FZip64);
  }
  Mount();
  for (const std::string FName : {"大.zip", "大64.zip"}) {
    std::string FOutput;
    ASSERT_EQ(Shell("ls '" + Z(FName + "/课件").string() + "' | wc -l", &FOutput), 0) << FOutput;
    EXPECT_EQ(FOutput, "100\n") << FName;
    EXPECT_EQ(test::TTempDir::ReadPath(Z(FName + "/课件/第42章.bin")), FEntries[42].FData);
    EXPECT_EQ(Logged("GET", FName), 0u) << FName;
    EXPECT_GT(Logged("GETRANGE", FName), 0u) << FName;
  }
}

// A server that does not announce ranged reads is asked for whole files, as before.
class PlainServerMountTest : public RangeMountTest {
protected:
  PlainServerMountTest() : RangeMountTest({"--no-ranges"}) {}
};

TEST_F(PlainServerMountTest, ReadsFetchTheWholeFile) {
  Mount();
  EXPECT_EQ(ReadAt(Z("大.bin"), 17 * kMiB, 100), FBig.substr(17 * kMiB, 100));
  EXPECT_TRUE(test::WaitUntil([&] { return Logged("GET", "大.bin") == 1; }));
  EXPECT_EQ(Logged("GETRANGE", "大.bin"), 0u);
}

} // namespace
} // namespace zelvo
