#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/mount.h>
#include <unistd.h>

#include "common/TextCodec.h"
#include "drive/TransferObserver.h"
#include "platform/LastError.h"
#include "tests/drive/DriveFixture.h"

namespace zelvo {
namespace {

class FacadeTest : public test::DriveTest {
protected:
  // As the callbacks open: the folders along the path listed first, without the lock.
  uint32_t OpenFile(const char16_t* aPath, uint32_t aDisposition = OPEN_EXISTING, int aRoot = 0) {
    FFacade->YunPrepareListings(aRoot, aPath);
    return FFacade->YunCreateFileW(aRoot, aPath, GENERIC_READ, 0, nullptr, aDisposition, 0,
                                   nullptr);
  }
};

TEST_F(FacadeTest, RootAttributesAndRootOpens) {
  TFileSystem FEmpty(TMountConfig{}, u"", u"");
  EXPECT_EQ(FEmpty.YunGetFileAttributesW(0, u"\\"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(FEmpty.YunCreateFileW(0, u"\\x", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE)
      << "a missing root is never touched";
  EXPECT_EQ(FEmpty.YunGetFileAttributesW(5, u"\\x"), INVALID_FILE_ATTRIBUTES);

  const uint32_t FRoot = OpenFile(u"\\");
  BY_HANDLE_FILE_INFORMATION FInfo;
  FInfo.nNumberOfLinks = 7;
  FInfo.dwVolumeSerialNumber = 7;
  ASSERT_EQ(FFacade->YunGetFileInformationByHandle(0, FRoot, &FInfo), WIN_TRUE);
  EXPECT_EQ(FInfo.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(FInfo.nNumberOfLinks, 0u);
  EXPECT_EQ(FInfo.dwVolumeSerialNumber, 0u);
  char FBuffer[4];
  uint32_t FGot = 0;
  EXPECT_EQ(FFacade->YunReadFile(0, FRoot, FBuffer, 4, &FGot), WIN_FALSE);
  EXPECT_TRUE(FFacade->YunCloseHandle(0, FRoot, false));
}

TEST_F(FacadeTest, OpenHandlesCountFromOneThousandAndOne) {
  const uint32_t FBefore = OpenHandleCounter;
  const uint32_t FFirst = OpenFile(u"\\欢迎使用.txt");
  FFacade->YunCloseHandle(0, FFirst, false);
  const uint32_t FSecond = OpenFile(u"\\课程表.txt", OPEN_EXISTING, 1);
  EXPECT_EQ(FFirst, FBefore + 1);
  EXPECT_EQ(FSecond, FBefore + 2) << "both drives share the counter; closed ones are not reused";
  if (FBefore == 1000) {
    EXPECT_EQ(FFirst, 1001u);
  }
}

TEST_F(FacadeTest, UnknownHandles) {
  constexpr uint32_t kUnknown = 0x7FFF0000;
  char FBuffer[4];
  uint32_t FCount = 0;
  uint32_t FHigh = 99;
  int64_t FSize = 42;
  BY_HANDLE_FILE_INFORMATION FInfo;
  EXPECT_EQ(FFacade->YunReadFile(0, kUnknown, FBuffer, 4, &FCount), WIN_FALSE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(FFacade->YunWriteFile(0, kUnknown, FBuffer, 4, &FCount, nullptr), WIN_FALSE);
  EXPECT_FALSE(FFacade->YunSetEndOfFile(0, kUnknown));
  EXPECT_FALSE(FFacade->YunMoveFile(0, kUnknown, u"\\a", u"\\b", false));
  EXPECT_EQ(FFacade->YunGetFileInformationByHandle(0, kUnknown, &FInfo), WIN_FALSE);
  EXPECT_EQ(FFacade->YunSetFilePointerEx(0, kUnknown, 0, nullptr, FILE_BEGIN), WIN_FALSE);
  EXPECT_EQ(FFacade->YunGetFileSize(0, kUnknown, &FHigh), 0u);
  EXPECT_EQ(FHigh, 99u);
  EXPECT_TRUE(FFacade->YunGetFileSizeEx(0, kUnknown, &FSize));
  EXPECT_EQ(FSize, 42);
  EXPECT_TRUE(FFacade->YunCloseHandle(0, kUnknown, false));
}

TEST_F(FacadeTest, SeeksReadsAndSizes) {
  const uint32_t FHandle = OpenFile(u"\\作业\\notes.txt"); // "plain ASCII notes\n", 18 bytes
  FFacade->YunAwaitContent(0, FHandle);
  int64_t FPosition = -1;
  EXPECT_EQ(FFacade->YunSetFilePointerEx(0, FHandle, 6, &FPosition, FILE_BEGIN), WIN_TRUE);
  EXPECT_EQ(FPosition, 6);
  EXPECT_EQ(FFacade->YunSetFilePointerEx(0, FHandle, -10, &FPosition, FILE_CURRENT), WIN_TRUE);
  EXPECT_EQ(FPosition, 6) << "a negative position changes nothing";
  char FBuffer[8];
  uint32_t FGot = 0;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(FFacade->YunReadFile(0, FHandle, FBuffer, 5, &FGot), WIN_TRUE);
    EXPECT_EQ(std::string(FBuffer, FGot), "ASCII") << "reads do not move the position";
  }
  EXPECT_EQ(FFacade->YunSetFilePointerEx(0, FHandle, -4, &FPosition, FILE_END), WIN_TRUE);
  EXPECT_EQ(FPosition, 14);
  EXPECT_EQ(FFacade->YunSetFilePointerEx(0, FHandle, 0, &FPosition, FILE_END), WIN_TRUE);
  EXPECT_EQ(FPosition, 18);
  EXPECT_EQ(FFacade->YunReadFile(0, FHandle, FBuffer, 5, &FGot), WIN_FALSE);
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);

  const uint32_t FFolder = OpenFile(u"\\作业");
  uint32_t FHigh = 77;
  int64_t FSize = 55;
  EXPECT_EQ(FFacade->YunGetFileSize(0, FFolder, &FHigh), 0u);
  EXPECT_EQ(FHigh, 77u);
  EXPECT_TRUE(FFacade->YunGetFileSizeEx(0, FFolder, &FSize));
  EXPECT_EQ(FSize, 55);
  EXPECT_EQ(FFacade->YunReadFile(0, FFolder, FBuffer, 1, &FGot), WIN_FALSE);
}

TEST_F(FacadeTest, OnlyTheLastMoveBeforeTheCloseIsCarriedOut) {
  const uint32_t FHandle = OpenFile(u"\\作业\\notes.txt");
  ASSERT_TRUE(FFacade->YunMoveFile(0, FHandle, u"\\作业\\notes.txt", u"\\first.txt", false));
  ASSERT_TRUE(FFacade->YunMoveFile(0, FHandle, u"\\作业\\notes.txt", u"\\second.txt", false));
  EXPECT_EQ(FFacade->YunGetFileAttributesW(0, u"\\second.txt"), INVALID_FILE_ATTRIBUTES)
      << "the move waits for the close";
  EXPECT_TRUE(FFacade->YunCloseHandle(0, FHandle, false));
  EXPECT_NE(FFacade->YunGetFileAttributesW(0, u"\\second.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(FFacade->YunGetFileAttributesW(0, u"\\first.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(StoredIs("second.txt", "plain ASCII notes\n"));
}

TEST_F(FacadeTest, FoldersAndDeletes) {
  EXPECT_TRUE(FFacade->YunCreateDirectoryW(0, u"\\新目录"));
  EXPECT_FALSE(FFacade->YunCreateDirectoryW(0, u"\\新目录"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(FFacade->YunCreateDirectoryW(0, u"\\no\\such"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  FFacade->YunPrepareListings(0, u"\\作业"); // as the callbacks do: is it empty?
  EXPECT_FALSE(FFacade->YunDeleteFile(0, u"\\作业"));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_TRUE(FFacade->YunDeleteFile(0, u"\\新目录")) << "made here: known to be empty";
  std::vector<uint8_t> FRecords;
  EXPECT_TRUE(FFacade->YunFindFiles(0, u"\\作业\\*.txt", FRecords));
  EXPECT_EQ(FRecords.size(), kFindDataSize);
}

// The server, except for what a test scripts: uploads refused, or held until let go.
class TScriptedRemote final : public TRemote {
public:
  explicit TScriptedRemote(std::shared_ptr<TRemote> aServer) : FServer(std::move(aServer)) {}
  bool List(const std::u16string& aFolder, TStream& aRecords) override {
    return FServer->List(aFolder, aRecords);
  }
  TGetResult Get(const std::u16string& aFile, int64_t aListedSize, TStream& aContent) override {
    return FServer->Get(aFile, aListedSize, aContent);
  }
  TCommandResult Put(TStream& aContent, const std::u16string& aFile,
                     TChangeAnswer& aAnswer) override {
    ++FPuts;
    if (!FRefusePuts) return FServer->Put(aContent, aFile, aAnswer);
    aAnswer.FRefusal = u"refused (no such folder)";
    return TCommandResult::Refused;
  }
  TCommandResult Command(const std::u16string& aCommand, TChangeAnswer& aAnswer) override {
    return FServer->Command(aCommand, aAnswer);
  }
  bool AskVersion(const std::u16string& aFile, std::optional<TServerVersion>& aVersion) override {
    return FServer->AskVersion(aFile, aVersion);
  }

  std::atomic<bool> FRefusePuts{false};
  std::atomic<int> FPuts{0};

private:
  std::shared_ptr<TRemote> FServer;
};

class TGivenUp final : public TTransferObserver {
public:
  void Unsendable(const std::u16string& aPath, const std::u16string& aKeptAt,
                  const std::u16string& aWhy) override {
    std::lock_guard FGuard(FLock);
    FTold.push_back(aPath + u" | " + aKeptAt + u" | " + aWhy);
  }
  std::vector<std::u16string> Told() {
    std::lock_guard FGuard(FLock);
    return FTold;
  }

private:
  std::mutex FLock; // guards FTold
  std::vector<std::u16string> FTold;
};

// A change the server refuses for good: the close says so, the write-back queue tries three
// times more, then keeps the content in the recovery folder and tells where, once.
TEST(ScriptedRemoteTest, AChangeRefusedForGoodIsGivenUp) {
  test::TServerProcess FServer;
  ASSERT_TRUE(test::LogIn(FServer.Port(), "一年级一班", "张三"));
  test::TTempDir FCache;
  const TMountConfig FConfig = test::MountConfig(FServer.Port(), FCache.Text());
  auto FRemote = std::make_shared<TScriptedRemote>(ServerRemote(FConfig));
  TGivenUp FObserver;
  SetTransferObserver(&FObserver);
  TFileSystem FFacade(FConfig, u"\\home\\一年级一班\\张三", u"", FRemote);
  const uint32_t FHandle = FFacade.YunCreateFileW(0, u"\\refused.txt", GENERIC_WRITE, 0, nullptr,
                                                  CREATE_NEW, 0, nullptr);
  ASSERT_NE(FHandle, INVALID_HANDLE_VALUE);
  uint32_t FWritten = 0;
  ASSERT_EQ(FFacade.YunWriteFile(0, FHandle, "work", 4, &FWritten, nullptr), WIN_TRUE);
  FRemote->FRefusePuts = true;
  EXPECT_FALSE(FFacade.YunCloseHandle(0, FHandle, false));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  const auto FKept = FCache.Path() / "recovered/127.0.0.1/refused.txt";
  EXPECT_TRUE(test::WaitUntil([&] { return std::filesystem::exists(FKept); }));
  EXPECT_EQ(test::TTempDir::ReadPath(FKept), "work");
  EXPECT_TRUE(test::WaitUntil([&] { return FObserver.Told().size() == 1; }));
  EXPECT_EQ(FObserver.Told().at(0), u"\\home\\一年级一班\\张三\\\\refused.txt | " +
                                        Utf8ToUtf16(FKept.string()) +
                                        u" | refused (no such folder)");
  EXPECT_EQ(FRemote->FPuts, 1 + TWriteBackQueue::kMaxRefusals) << "the close, then three tries";
  EXPECT_TRUE(FFacade.PendingFiles().empty());
  FFacade.StopRetries();
  SetTransferObserver(nullptr);
}

// A cache disk too full to record a pending change: the close fails with ENOSPC instead of
// promising to send it, and the change stays in memory, so the next close sends it.
TEST(FullCacheTest, AChangeThatCannotBeRecordedFailsItsCloseAndIsKept) {
  test::TServerProcess FServer;
  ASSERT_TRUE(test::LogIn(FServer.Port(), "一年级一班", "张三"));
  test::TTempDir FDir;
  const auto FCache = FDir.Path() / "cache";
  std::filesystem::create_directory(FCache);
  ASSERT_EQ(::mount("tmpfs", FCache.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
  struct TUnmount {
    std::filesystem::path FPath;
    ~TUnmount() { ::umount2(FPath.c_str(), MNT_DETACH); }
  } FUnmount{FCache};
  TFileSystem FFacade(test::MountConfig(FServer.Port(), Utf8ToUtf16(FCache.string() + "/")),
                      u"\\home\\一年级一班\\张三", u"");
  const uint32_t FHandle =
      FFacade.YunCreateFileW(0, u"\\kept.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(FHandle, INVALID_HANDLE_VALUE);
  uint32_t FWritten = 0;
  ASSERT_EQ(FFacade.YunWriteFile(0, FHandle, "mine", 4, &FWritten, nullptr), WIN_TRUE);
  const int FFiller = ::open((FCache / "filler").c_str(), O_WRONLY | O_CREAT, 0600);
  const std::string FBlock(4096, 'x');
  while (::write(FFiller, FBlock.data(), FBlock.size()) > 0) {
  }
  while (::write(FFiller, "x", 1) > 0) {
  }
  FServer.Stop();
  EXPECT_EQ(FFacade.YunFlushFileBuffers(0, FHandle), WIN_FALSE);
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL) << "not recorded: the call says so";
  EXPECT_TRUE(FFacade.PendingFiles().empty()) << "nothing promised";
  ::close(FFiller);
  std::filesystem::remove(FCache / "filler");
  FServer.Start();
  EXPECT_TRUE(FFacade.YunCloseHandle(0, FHandle, false)) << "still changed: this close sends it";
  EXPECT_EQ(test::TTempDir::ReadPath(FServer.Storage() / "home/一年级一班/张三/kept.txt"), "mine");
  FFacade.StopRetries();
}

} // namespace
} // namespace zelvo
