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

} // namespace
} // namespace zelvo
