// Transfers outside the tree's lock, against a peer that holds a GET half-way or a PUT's answer:
// the rest of both drives goes on, readers get their range as it arrives and share one GET, a
// broken fetch fails only the reads still waiting, a slow upload holds up only its close.
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>

#include "common/Globals.h"
#include "drive/FileSystem.h"
#include "drive/YunDiskUnit.h"
#include "server/ZipWriter.h"
#include "tests/drive/DriveFixture.h"
#include "tests/support/FakeServer.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "tests/tree/TreeFixture.h"

namespace zelvo {
namespace {

using namespace std::chrono_literals;

constexpr size_t kSize = 1 << 20;
constexpr size_t kFirstPart = 64 << 10;

std::string Content() {
  std::string FData(kSize, '\0');
  for (size_t i = 0; i < kSize; ++i)
    FData[i] = static_cast<char>(i * 31 + i / 4096);
  return FData;
}

class TransferTest : public ::testing::Test {
protected:
  void SetUp() override {
    FFacade = test::StartFacade(FPeer.Port(), FCacheDir.Text(), u"\\r", u"\\s", FOptions);
  }
  void TearDown() override {
    Release(false);
    FileSystem = nullptr;
  }

  // The peer: listings at once but the one of "slow"; GET of big.bin sends its first part,
  // then waits for Release; so does the answer to the PUT of new.bin.
  void Serve(test::TFakeConnection& aConnection) {
    const std::string FLine = aConnection.ReadLine();
    if (FLine == "LIST \\r\\\\*")
      aConnection.Send(
          test::ListingReply({test::Record(u"big.bin", 32, kSize), test::Record(u"other", 16),
                              test::Record(u"slow", 16), test::Record(u"held.zip", 32, 1)}));
    else if (FLine == "LIST \\r\\\\slow\\*")
      ServeSlowList(aConnection);
    else if (FLine == "LIST \\r\\\\other\\*")
      aConnection.Send(test::ListingReply({test::Record(u"x.txt", 32, 1)}));
    else if (FLine == "LIST \\s\\\\*")
      aConnection.Send(test::ListingReply({test::Record(u"shared.txt", 32, 1)}));
    else if (FLine == "GET \\r\\\\big.bin")
      ServeGet(aConnection);
    else if (FLine == "PUT \\r\\\\new.bin")
      ServePut(aConnection);
    else if (FLine == "MKDIR \\r\\\\slowdir")
      ServeHeld(aConnection);
    else if (FLine == "GET \\r\\\\held.zip")
      ServeHeldArchive(aConnection);
  }
  // The listing of "slow" waits for Release.
  void ServeSlowList(test::TFakeConnection& aConnection) {
    ++FSlowLists;
    std::unique_lock FGuard(FGateLock);
    FGateChanged.wait(FGuard, [&] { return FReleased || FPeer.Stopping(); });
    aConnection.Send(test::ListingReply({test::Record(u"a", 32), test::Record(u"b", 32)}));
  }
  // A command whose answer waits for Release.
  void ServeHeld(test::TFakeConnection& aConnection) {
    ++FHeld;
    std::unique_lock FGuard(FGateLock);
    FGateChanged.wait(FGuard, [&] { return FReleased || FPeer.Stopping(); });
    aConnection.Send(test::Block("OK"));
  }
  // An archive whose content waits for Release.
  void ServeHeldArchive(test::TFakeConnection& aConnection) {
    ++FHeld;
    std::unique_lock FGuard(FGateLock);
    FGateChanged.wait(FGuard, [&] { return FReleased || FPeer.Stopping(); });
    aConnection.Send(test::Block(server::MakeZip({{"in/a.txt", "a"}, {"b.txt", "bb"}})));
  }
  // PUT of new.bin: the whole content is taken, the answer waits for Release.
  void ServePut(test::TFakeConnection& aConnection) {
    const std::string FCount = aConnection.ReadBytes(4);
    aConnection.ReadBytes(static_cast<uint8_t>(FCount[3]));
    ++FPuts;
    std::unique_lock FGuard(FGateLock);
    FGateChanged.wait(FGuard, [&] { return FReleased || FPeer.Stopping(); });
    aConnection.Send(test::Block("OK"));
  }
  void ServeGet(test::TFakeConnection& aConnection) {
    const bool FHold = ++FGets == 1;
    const std::string FData = Content();
    aConnection.Send(test::BlockCount(kSize) + FData.substr(0, kFirstPart));
    if (!FHold) {
      aConnection.Send(FData.substr(kFirstPart));
      return;
    }
    std::unique_lock FGuard(FGateLock);
    FGateChanged.wait(FGuard, [&] { return FReleased || FPeer.Stopping(); });
    if (!FBreak) aConnection.Send(FData.substr(kFirstPart));
  }
  // Lets the held GET go on (aBreak: the connection closes instead).
  void Release(bool aBreak) {
    {
      std::lock_guard FGuard(FGateLock);
      if (FReleased) return;
      FReleased = true;
      FBreak = aBreak;
    }
    FGateChanged.notify_all();
  }

  DOKAN_FILE_INFO Open(const std::u16string& aPath, int aRoot = 0) {
    DOKAN_FILE_INFO FInfo;
    FInfo.DokanOptions = &FOptions[aRoot];
    EXPECT_EQ(ZwCreateFile(aPath.c_str(), nullptr, FILE_GENERIC_READ, FILE_ATTRIBUTE_NORMAL,
                           FILE_SHARE_READ, FILE_OPEN, 0, &FInfo),
              STATUS_SUCCESS);
    return FInfo;
  }
  // Reads aCount bytes at aOffset on its own thread.
  std::future<std::pair<NTSTATUS, std::string>> ReadLater(DOKAN_FILE_INFO aInfo, int64_t aOffset,
                                                          uint32_t aCount) {
    return std::async(std::launch::async, [=]() mutable {
      std::string FBuffer(aCount, '\0');
      uint32_t FGot = 0;
      const NTSTATUS FStatus =
          ReadFile(u"\\big.bin", FBuffer.data(), aCount, &FGot, aOffset, &aInfo);
      FBuffer.resize(FGot);
      return std::make_pair(FStatus, FBuffer);
    });
  }
  static int CountEntries(const char16_t* aFolder, DOKAN_OPTIONS& aOptions) {
    DOKAN_FILE_INFO FInfo;
    FInfo.DokanOptions = &aOptions;
    static thread_local int FCount;
    FCount = 0;
    FindFiles(
        aFolder, [](WIN32_FIND_DATAW*, PDOKAN_FILE_INFO) { return ++FCount, 0; }, &FInfo);
    return FCount;
  }
  static bool WithinASecond(const std::function<void()>& aRequest) {
    const auto FStart = std::chrono::steady_clock::now();
    aRequest();
    return std::chrono::steady_clock::now() - FStart < 1s;
  }

  test::TFakeServer FPeer{[this](test::TFakeConnection& aConnection) { Serve(aConnection); },
                          "127.0.0.1", 0, true};
  std::atomic<int> FGets = 0;
  std::atomic<int> FPuts = 0;
  std::atomic<int> FSlowLists = 0;
  std::atomic<int> FHeld = 0;
  std::mutex FGateLock; // guards FReleased and FBreak
  std::condition_variable FGateChanged;
  bool FReleased = false;
  bool FBreak = false;
  test::TTempDir FCacheDir;
  DOKAN_OPTIONS FOptions[2];
  std::unique_ptr<TFileSystem> FFacade;
};

TEST_F(TransferTest, StalledFetchHoldsUpOnlyItsReaders) {
  DOKAN_FILE_INFO FReader = Open(u"\\big.bin");
  auto FLate = ReadLater(FReader, kSize - 4096, 4096);
  ASSERT_TRUE(test::WaitUntil([&] { return FGets == 1; }));

  // The first block is there: its read returns while the rest is held.
  auto FEarly = ReadLater(FReader, 0, 4096);
  ASSERT_EQ(FEarly.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(FEarly.get(), std::make_pair(STATUS_SUCCESS, Content().substr(0, 4096)));

  // Everything else goes on: another folder, a by-name query, the other drive.
  EXPECT_TRUE(WithinASecond([&] { EXPECT_EQ(CountEntries(u"\\other", FOptions[0]), 1); }));
  EXPECT_TRUE(WithinASecond([&] { EXPECT_EQ(CountEntries(u"\\", FOptions[1]), 1); }));
  EXPECT_TRUE(WithinASecond([&] {
    BY_HANDLE_FILE_INFORMATION FRecord;
    DOKAN_FILE_INFO FInfo;
    FInfo.DokanOptions = &FOptions[0];
    EXPECT_EQ(GetFileInformation(u"\\other\\x.txt", &FRecord, &FInfo), STATUS_SUCCESS);
  }));

  // A second reader of the same file waits on the same GET.
  DOKAN_FILE_INFO FSecond = Open(u"\\big.bin");
  auto FOther = ReadLater(FSecond, kSize / 2, 4096);
  EXPECT_EQ(FOther.wait_for(200ms), std::future_status::timeout);
  Release(false);
  EXPECT_EQ(FLate.get(), std::make_pair(STATUS_SUCCESS, Content().substr(kSize - 4096)));
  EXPECT_EQ(FOther.get(), std::make_pair(STATUS_SUCCESS, Content().substr(kSize / 2, 4096)));
  EXPECT_EQ(FGets, 1);
  Cleanup(u"\\big.bin", &FReader);
  CloseFile(u"\\big.bin", &FReader);
  Cleanup(u"\\big.bin", &FSecond);
  CloseFile(u"\\big.bin", &FSecond);
}

// A folder being listed holds up only the requests that need its listing, and they share it.
TEST_F(TransferTest, SlowListingHoldsUpOnlyItsFolder) {
  auto FFirst =
      std::async(std::launch::async, [&] { return CountEntries(u"\\slow", FOptions[0]); });
  ASSERT_TRUE(test::WaitUntil([&] { return FSlowLists == 1; }));
  auto FSecond =
      std::async(std::launch::async, [&] { return CountEntries(u"\\slow", FOptions[0]); });
  EXPECT_TRUE(WithinASecond([&] { EXPECT_EQ(CountEntries(u"\\other", FOptions[0]), 1); }));
  EXPECT_TRUE(WithinASecond([&] { EXPECT_EQ(CountEntries(u"\\", FOptions[1]), 1); }));
  EXPECT_EQ(FSecond.wait_for(100ms), std::future_status::timeout);
  Release(false);
  EXPECT_EQ(FFirst.get(), 2);
  EXPECT_EQ(FSecond.get(), 2);
  EXPECT_EQ(FSlowLists, 1);
}

// A new folder the server is slow to confirm holds up only its own request.
TEST_F(TransferTest, SlowCommandHoldsUpOnlyItsRequest) {
  auto FMade =
      std::async(std::launch::async, [&] { return FFacade->YunCreateDirectoryW(0, u"\\slowdir"); });
  ASSERT_TRUE(test::WaitUntil([&] { return FHeld == 1; }));
  EXPECT_TRUE(WithinASecond([&] { EXPECT_EQ(CountEntries(u"\\other", FOptions[0]), 1); }));
  EXPECT_EQ(FMade.wait_for(100ms), std::future_status::timeout);
  Release(false);
  EXPECT_TRUE(FMade.get());
  EXPECT_EQ(FFacade->YunGetFileAttributesW(0, u"\\slowdir"), FILE_ATTRIBUTE_DIRECTORY);
}

// An archive being fetched holds up only the requests that look inside it.
TEST_F(TransferTest, SlowArchiveHoldsUpOnlyItsFolder) {
  auto FInside =
      std::async(std::launch::async, [&] { return CountEntries(u"\\held.zip", FOptions[0]); });
  ASSERT_TRUE(test::WaitUntil([&] { return FHeld == 1; }));
  EXPECT_TRUE(WithinASecond([&] { EXPECT_EQ(CountEntries(u"\\other", FOptions[0]), 1); }));
  EXPECT_TRUE(WithinASecond([&] { EXPECT_EQ(CountEntries(u"\\", FOptions[1]), 1); }));
  EXPECT_EQ(FInside.wait_for(100ms), std::future_status::timeout);
  Release(false);
  EXPECT_EQ(FInside.get(), 2);
  EXPECT_EQ(CountEntries(u"\\held.zip\\in", FOptions[0]), 1);
  EXPECT_EQ(FHeld, 1);
}

// An upload the server is slow to confirm holds up its own close only.
TEST_F(TransferTest, SlowUploadHoldsUpOnlyItsClose) {
  DOKAN_FILE_INFO FWriter;
  FWriter.DokanOptions = &FOptions[0];
  ASSERT_EQ(ZwCreateFile(u"\\new.bin", nullptr, FILE_GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL,
                         FILE_SHARE_READ, FILE_CREATE, 0, &FWriter),
            STATUS_SUCCESS);
  uint32_t FCount = 0;
  ASSERT_EQ(WriteFile(u"\\new.bin", "content", 7, &FCount, 0, &FWriter), STATUS_SUCCESS);
  auto FClose =
      std::async(std::launch::async, [&] { return FlushFileBuffers(u"\\new.bin", &FWriter); });
  ASSERT_TRUE(test::WaitUntil([&] { return FPuts == 1; }));
  EXPECT_TRUE(WithinASecond([&] {
    BY_HANDLE_FILE_INFORMATION FRecord;
    DOKAN_FILE_INFO FInfo;
    FInfo.DokanOptions = &FOptions[0];
    EXPECT_EQ(GetFileInformation(u"\\other\\x.txt", &FRecord, &FInfo), STATUS_SUCCESS);
  }));
  EXPECT_EQ(FClose.wait_for(100ms), std::future_status::timeout);
  Release(false);
  EXPECT_EQ(FClose.get(), STATUS_SUCCESS);
  Cleanup(u"\\new.bin", &FWriter);
  CloseFile(u"\\new.bin", &FWriter);
  EXPECT_EQ(FPuts, 1);
}

TEST_F(TransferTest, BrokenFetchFailsTheWaitingReadsAndIsTriedAgain) {
  DOKAN_FILE_INFO FReader = Open(u"\\big.bin");
  auto FWaiting = ReadLater(FReader, kSize - 4096, 4096);
  ASSERT_TRUE(test::WaitUntil([&] { return FGets == 1; }));
  Release(true);
  EXPECT_EQ(FWaiting.get().first, STATUS_UNEXPECTED_NETWORK_ERROR);
  // The kernel reads a failed page again at once: that fails without asking the server again.
  EXPECT_EQ(ReadLater(FReader, 0, 4096).get().first, STATUS_UNEXPECTED_NETWORK_ERROR);
  EXPECT_EQ(FGets, 1);
  // The student opening the file again asks again.
  DOKAN_FILE_INFO FAgainReader = Open(u"\\big.bin");
  auto FAgain = ReadLater(FAgainReader, kSize - 4096, 4096);
  EXPECT_EQ(FAgain.get(), std::make_pair(STATUS_SUCCESS, Content().substr(kSize - 4096)));
  EXPECT_EQ(FGets, 2);
  for (DOKAN_FILE_INFO* FOpen : {&FReader, &FAgainReader}) {
    Cleanup(u"\\big.bin", FOpen);
    CloseFile(u"\\big.bin", FOpen);
  }
}

} // namespace
} // namespace zelvo
