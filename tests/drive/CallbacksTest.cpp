#include <filesystem>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <thread>

#include "common/TextCodec.h"
#include "platform/LastError.h"
#include "tests/drive/DriveFixture.h"

namespace zelvo {
namespace {

class CallbacksTest : public test::DriveTest {};

TEST_F(CallbacksTest, OpeningFoldersAndFiles) {
  struct TCase {
    const char16_t* FPath;
    uint32_t FDisposition;
    uint32_t FOptions;
    bool FAskFolder;
    NTSTATUS FStatus;
    bool FContext;
  };
  const TCase FCases[] = {
      {u"\\作业", FILE_OPEN, FILE_NON_DIRECTORY_FILE, false, STATUS_FILE_IS_A_DIRECTORY, false},
      {u"\\作业\\notes.txt", FILE_OPEN, FILE_DIRECTORY_FILE, true, STATUS_NOT_A_DIRECTORY, false},
      {u"\\作业", FILE_OPEN_IF, FILE_DIRECTORY_FILE, false, STATUS_OBJECT_NAME_COLLISION, true},
      {u"\\作业", FILE_CREATE, FILE_DIRECTORY_FILE, true, STATUS_OBJECT_NAME_COLLISION, false},
      {u"\\作业", FILE_OPEN, 0, false, STATUS_SUCCESS, true},
      {u"\\新文件夹", FILE_CREATE, FILE_DIRECTORY_FILE, true, STATUS_SUCCESS, true},
      {u"\\作业\\notes.txt", FILE_OPEN, FILE_NON_DIRECTORY_FILE, false, STATUS_SUCCESS, true},
      {u"\\missing.txt", FILE_OPEN, 0, false, STATUS_OBJECT_NAME_NOT_FOUND, false},
      {u"\\no\\missing.txt", FILE_OPEN, 0, false, STATUS_OBJECT_PATH_NOT_FOUND, false},
      {u"\\欢迎使用.txt", FILE_CREATE, 0, false, STATUS_OBJECT_NAME_COLLISION, false},
      {u"\\new.txt", FILE_OPEN_IF, 0, false, STATUS_SUCCESS, true},
  };
  for (const auto& FCase : FCases) {
    SCOPED_TRACE(std::u16string(FCase.FPath).size());
    DOKAN_FILE_INFO FInfo = Info();
    FInfo.IsDirectory = FCase.FAskFolder;
    EXPECT_EQ(Open(FCase.FPath, FInfo, FCase.FDisposition, FCase.FOptions), FCase.FStatus);
    EXPECT_EQ(FInfo.Context != 0, FCase.FContext);
    Cleanup(FCase.FPath, &FInfo);
    CloseFile(FCase.FPath, &FInfo);
  }
  EXPECT_TRUE(test::WaitUntil([&] {
    return std::filesystem::is_directory(FServer.Storage() / "home/一年级一班/张三/新文件夹");
  }));
}

TEST_F(CallbacksTest, AttributeRulesOfTruncationAndDeleteOnClose) {
  // Attributes of server files are plain; make a hidden, a system and a read-only node.
  TFileInfo* FListing = FFacade->Root(0)->GetChild();
  for (const auto& [FName, FAttributes] :
       {std::pair{u"h.txt", FILE_ATTRIBUTE_HIDDEN}, std::pair{u"s.txt", FILE_ATTRIBUTE_SYSTEM},
        std::pair{u"r.txt", FILE_ATTRIBUTE_READONLY}}) {
    WIN32_FIND_DATAW FRecord = MakeFindData(FName, false);
    FRecord.dwFileAttributes = FAttributes;
    FListing->Add(std::make_unique<TFileInfo>(FRecord, FListing->FullName()));
  }
  DOKAN_FILE_INFO FInfo = Info();
  EXPECT_EQ(Open(u"\\h.txt", FInfo, FILE_OVERWRITE), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Open(u"\\s.txt", FInfo, FILE_OVERWRITE_IF), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Open(u"\\h.txt", FInfo, FILE_OVERWRITE, 0, FILE_ATTRIBUTE_HIDDEN), STATUS_SUCCESS);
  CloseFile(u"\\h.txt", &FInfo);
  EXPECT_EQ(Open(u"\\r.txt", FInfo, FILE_OPEN, FILE_DELETE_ON_CLOSE), STATUS_CANNOT_DELETE);
  EXPECT_EQ(Open(u"\\new.txt", FInfo, FILE_CREATE, FILE_DELETE_ON_CLOSE, FILE_ATTRIBUTE_READONLY),
            STATUS_CANNOT_DELETE);
}

TEST_F(CallbacksTest, TemporaryOpensCloseAndUpload) {
  DOKAN_FILE_INFO FInfo = Info();
  char FBuffer[32];
  uint32_t FCount = 0;
  ASSERT_EQ(ReadFile(u"\\作业\\notes.txt", FBuffer, 5, &FCount, 6, &FInfo), STATUS_SUCCESS);
  EXPECT_EQ(std::string(FBuffer, FCount), "ASCII");
  ASSERT_EQ(WriteFile(u"\\作业\\notes.txt", "PLAIN", 5, &FCount, 0, &FInfo), STATUS_SUCCESS);
  EXPECT_EQ(FCount, 5u);
  EXPECT_EQ(FInfo.Context, 0u);
  EXPECT_TRUE(StoredIs("作业/notes.txt", "PLAIN ASCII notes\n")) << "the temporary close sent it";
  BY_HANDLE_FILE_INFORMATION FFileInfo;
  ASSERT_EQ(GetFileInformation(u"\\作业\\notes.txt", &FFileInfo, &FInfo), STATUS_SUCCESS);
  EXPECT_EQ(FFileInfo.nFileSizeLow, 18u);
  EXPECT_EQ(ReadFile(u"\\missing", FBuffer, 5, &FCount, 0, &FInfo), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ReadFile(u"\\作业\\notes.txt", FBuffer, 5, &FCount, 18, &FInfo), STATUS_END_OF_FILE);
}

TEST_F(CallbacksTest, PagingWritesNeverExtendAndWritesToEndAppend) {
  DOKAN_FILE_INFO FInfo = Info();
  ASSERT_EQ(Open(u"\\作业\\notes.txt", FInfo), STATUS_SUCCESS); // 18 bytes
  uint32_t FCount = 99;
  FInfo.PagingIo = 1;
  EXPECT_EQ(WriteFile(u"\\作业\\notes.txt", "xxxx", 4, &FCount, 18, &FInfo), STATUS_SUCCESS);
  EXPECT_EQ(FCount, 0u);
  EXPECT_EQ(WriteFile(u"\\作业\\notes.txt", "WXYZ", 4, &FCount, 16, &FInfo), STATUS_SUCCESS);
  EXPECT_EQ(FCount, 2u);
  FInfo.PagingIo = 0;
  FInfo.WriteToEndOfFile = 1;
  EXPECT_EQ(WriteFile(u"\\作业\\notes.txt", "++", 2, &FCount, 0, &FInfo), STATUS_SUCCESS);
  FInfo.WriteToEndOfFile = 0;
  Cleanup(u"\\作业\\notes.txt", &FInfo);
  EXPECT_TRUE(StoredIs("作业/notes.txt", "plain ASCII noteWX++"));
}

TEST_F(CallbacksTest, MovesDeletesAndListings) {
  DOKAN_FILE_INFO FNone = Info();
  EXPECT_EQ(MoveFile(u"\\欢迎使用.txt", u"\\welcome.txt", 0, &FNone), STATUS_INVALID_HANDLE);
  EXPECT_EQ(SetEndOfFile(u"\\欢迎使用.txt", 0, &FNone), STATUS_INVALID_HANDLE);
  EXPECT_EQ(DeleteFile(u"\\作业", &FNone), STATUS_ACCESS_DENIED);
  EXPECT_EQ(DeleteDirectory(u"\\作业", &FNone), STATUS_DIRECTORY_NOT_EMPTY);

  DOKAN_FILE_INFO FInfo = Info();
  ASSERT_EQ(Open(u"\\欢迎使用.txt", FInfo), STATUS_SUCCESS);
  EXPECT_EQ(MoveFile(u"\\欢迎使用.txt", u"\\welcome.txt", 0, &FInfo), STATUS_SUCCESS);
  Cleanup(u"\\欢迎使用.txt", &FInfo);
  EXPECT_TRUE(test::WaitUntil([&] {
    return std::filesystem::exists(FServer.Storage() / "home/一年级一班/张三/welcome.txt");
  }));

  std::vector<std::u16string> FNames;
  static std::vector<std::u16string>* FCollect = nullptr;
  FCollect = &FNames;
  const PFillFindData FFill = [](WIN32_FIND_DATAW* aData, PDOKAN_FILE_INFO) {
    FCollect->push_back(FieldText(aData->cFileName));
    return 0;
  };
  EXPECT_EQ(FindFiles(u"\\作业", FFill, &FNone), STATUS_SUCCESS);
  EXPECT_EQ(FNames.size(), 2u);
  FNames.clear();
  EXPECT_EQ(FindFiles(u"\\nothing\\here", FFill, &FNone), STATUS_SUCCESS);
  EXPECT_TRUE(FNames.empty());

  DOKAN_FILE_INFO FDelete = Info();
  ASSERT_EQ(Open(u"\\welcome.txt", FDelete, FILE_OPEN, FILE_DELETE_ON_CLOSE), STATUS_SUCCESS);
  FDelete.DeleteOnClose = 1;
  EXPECT_EQ(DeleteFile(u"\\welcome.txt", &FDelete), STATUS_SUCCESS);
  Cleanup(u"\\welcome.txt", &FDelete);
  EXPECT_TRUE(test::WaitUntil([&] {
    return !std::filesystem::exists(FServer.Storage() / "home/一年级一班/张三/welcome.txt");
  }));
}

TEST_F(CallbacksTest, AllocationSizeOnlyShortens) {
  DOKAN_FILE_INFO FInfo = Info();
  ASSERT_EQ(Open(u"\\作业\\notes.txt", FInfo), STATUS_SUCCESS);
  EXPECT_EQ(SetAllocationSize(u"\\作业\\notes.txt", 4096, &FInfo), STATUS_SUCCESS);
  EXPECT_EQ(SetAllocationSize(u"\\作业\\notes.txt", 5, &FInfo), STATUS_SUCCESS);
  Cleanup(u"\\作业\\notes.txt", &FInfo);
  EXPECT_TRUE(StoredIs("作业/notes.txt", "plain"));
  DOKAN_FILE_INFO FFolder = Info();
  ASSERT_EQ(Open(u"\\作业", FFolder), STATUS_SUCCESS);
  EXPECT_NE(SetAllocationSize(u"\\作业", 0, &FFolder), STATUS_SUCCESS);
}

TEST_F(CallbacksTest, FailuresInsideTheTreeBecomeStatuses) {
  DOKAN_FILE_INFO FInfo = Info();
  ASSERT_EQ(Open(u"\\作业\\notes.txt", FInfo), STATUS_SUCCESS);
  // A cache folder that is a file now: no cache file can be made.
  const auto FAside = FCacheDir.Path().string() + ".aside";
  std::filesystem::rename(FCacheDir.Path(), FAside);
  std::ofstream(FCacheDir.Path()) << "x";
  char FBuffer[8];
  uint32_t FCount = 0;
  EXPECT_EQ(ReadFile(u"\\作业\\notes.txt", FBuffer, 8, &FCount, 0, &FInfo), STATUS_IO_DEVICE_ERROR);
  std::filesystem::remove(FCacheDir.Path());
  std::filesystem::rename(FAside, FCacheDir.Path());
  ASSERT_EQ(ReadFile(u"\\作业\\notes.txt", FBuffer, 5, &FCount, 0, &FInfo), STATUS_SUCCESS)
      << "the lock was released";
  EXPECT_EQ(std::string(FBuffer, FCount), "plain");

  DOKAN_FILE_INFO FOther = Info();
  ASSERT_EQ(Open(u"\\资料\\大文件.bin", FOther), STATUS_SUCCESS);
  FServer.Stop();
  EXPECT_EQ(ReadFile(u"\\资料\\大文件.bin", FBuffer, 8, &FCount, 0, &FOther),
            STATUS_UNEXPECTED_NETWORK_ERROR);
}

// A save that fails reports it through FlushFileBuffers, stays pending in the
// journal, and the background retries send it once the server is back; the files left behind
// are the pending ones only.
TEST_F(CallbacksTest, FailedSaveIsReportedAndSentLater) {
  DOKAN_FILE_INFO FInfo = Info();
  ASSERT_EQ(Open(u"\\later.txt", FInfo, FILE_CREATE), STATUS_SUCCESS);
  uint32_t FCount = 0;
  ASSERT_EQ(WriteFile(u"\\later.txt", "later", 5, &FCount, 0, &FInfo), STATUS_SUCCESS);
  FServer.Stop();
  EXPECT_EQ(FlushFileBuffers(u"\\later.txt", &FInfo), STATUS_UNEXPECTED_NETWORK_ERROR);
  Cleanup(u"\\later.txt", &FInfo);
  EXPECT_EQ(FInfo._CleanupStatus, STATUS_SUCCESS) << "pending: the retries send it, not the close";
  CloseFile(u"\\later.txt", &FInfo);
  EXPECT_EQ(FFacade->PendingFiles(), std::vector<std::u16string>{u"\\later.txt"});
  const auto FEntries = PendingChanges().Entries();
  ASSERT_EQ(FEntries.size(), 1u);
  EXPECT_EQ(FEntries[0].FFullName, u"\\home\\一年级一班\\张三\\\\later.txt");
  EXPECT_EQ(FCacheDir.ReadFile(Utf16ToUtf8(FEntries[0].FCacheFile.substr(FCacheDir.Text().size()))),
            "later");

  FServer.Start();
  EXPECT_TRUE(
      test::WaitUntil([&] { return FFacade->PendingFiles().empty(); }, std::chrono::seconds(20)));
  EXPECT_TRUE(StoredIs("later.txt", "later"));
  EXPECT_TRUE(PendingChanges().Entries().empty());
}

// A journal entry whose content file was removed by hand is dropped at the next login, which
// goes on.
TEST_F(CallbacksTest, PendingChangeWithoutItsContentIsDropped) {
  FCacheDir.WriteFile("pending.journal", "2\t127.0.0.1\t" + std::to_string(FServer.Port()) +
                                             "\t\\home\\一年级一班\\张三\\\\gone.txt\t"
                                             "pending-gone.cache\t\t\t0\t\n");
  std::unique_ptr<TFileSystem> FNext;
  EXPECT_NO_THROW(
      FNext = std::make_unique<TFileSystem>(test::MountConfig(FServer.Port(), FCacheDir.Text()),
                                            u"\\home\\一年级一班\\张三", u"\\share\\一年级一班"));
  EXPECT_TRUE(PendingChanges().Entries().empty());
  EXPECT_EQ(FNext->Root(0)->Child()->ThisFindFile(u"gone.txt"), nullptr);
}

// The close of the open a deletion was made through has nothing left to do, whatever error an
// earlier call left behind.
TEST_F(CallbacksTest, CloseAfterTheDeletionItWasOpenedFor) {
  DOKAN_FILE_INFO FMade = Info();
  FMade.IsDirectory = 1;
  ASSERT_EQ(Open(u"\\空目录", FMade, FILE_CREATE, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  Cleanup(u"\\空目录", &FMade);
  CloseFile(u"\\空目录", &FMade);
  DOKAN_FILE_INFO FInfo = Info();
  ASSERT_EQ(Open(u"\\空目录", FInfo), STATUS_SUCCESS);
  EXPECT_EQ(DeleteDirectory(u"\\空目录", &FInfo), STATUS_SUCCESS);
  SetLastError(ERROR_FILE_NOT_FOUND);
  Cleanup(u"\\空目录", &FInfo);
  EXPECT_EQ(FInfo._CleanupStatus, STATUS_SUCCESS);
  CloseFile(u"\\空目录", &FInfo);
  EXPECT_FALSE(std::filesystem::exists(FServer.Storage() / "home/一年级一班/张三/空目录"));
}

// The kernel reads ahead on one handle from several threads at once.
TEST_F(CallbacksTest, ParallelReadsOnOneHandleEachUseTheirOffset) {
  const std::string FContent = Stored("资料/大文件.bin");
  DOKAN_FILE_INFO FInfo = Info();
  ASSERT_EQ(Open(u"\\资料\\大文件.bin", FInfo), STATUS_SUCCESS);
  std::atomic<int> FWrong = 0;
  std::vector<std::thread> FThreads;
  for (int t = 0; t < 8; ++t) {
    FThreads.emplace_back([&, t] {
      std::mt19937 FRandom(static_cast<unsigned>(t));
      std::vector<char> FBuffer(4096);
      DOKAN_FILE_INFO FCall = FInfo; // the library passes one context to every request
      for (int i = 0; i < 100; ++i) {
        const int64_t FOffset = FRandom() % (FContent.size() - FBuffer.size());
        uint32_t FCount = 0;
        if (ReadFile(u"\\资料\\大文件.bin", FBuffer.data(), 4096, &FCount, FOffset, &FCall) !=
                STATUS_SUCCESS ||
            std::string_view(FBuffer.data(), FCount) !=
                std::string_view(FContent).substr(FOffset, 4096))
          ++FWrong;
      }
    });
  }
  for (auto& FThread : FThreads)
    FThread.join();
  EXPECT_EQ(FWrong, 0);
  CloseFile(u"\\资料\\大文件.bin", &FInfo);
}

// A drive told to go while it is still being mounted goes once it is up: its thread ends and
// nothing stays mounted (the window's exit can come that early).
TEST_F(CallbacksTest, DriveStoppedWhileMountingEnds) {
  test::TTempDir FMounts;
  for (int i = 0; i < 3; ++i) {
    const auto FPoint = FMounts.Path() / "Z";
    TYunDiskThread FDrive(0, u"", Utf8ToUtf16(FPoint.string()), u"drive", false);
    FDrive.Stop(u'Z');
    EXPECT_TRUE(FDrive.Finished());
    struct stat FPointStat {
    }, FParentStat{};
    ASSERT_EQ(::stat(FPoint.c_str(), &FPointStat), 0);
    ASSERT_EQ(::stat(FMounts.Path().c_str(), &FParentStat), 0);
    EXPECT_EQ(FPointStat.st_dev, FParentStat.st_dev) << "still mounted";
  }
}

} // namespace
} // namespace zelvo
