#include "platform/LastError.h"
#include "platform/WinError.h"
#include "tests/support/RawPeer.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/Wait.h"
#include "tests/tree/TreeFixture.h"

namespace zelvo {
namespace {

using test::ListingReply;
using test::Record;

class ContentTest : public test::TreeTest {
protected:
  void SetUp() override {
    UseServer(FPeer.Port());
    FPeer.Reply("LIST \\r\\\\*", ListingReply({Record(u"ten.txt", 32, 10), Record(u"d", 16)}));
    FPeer.Reply("GET \\r\\\\ten.txt", test::Block("0123456789"));
    FRoot = MakeRoot(u"\\r");
    FListing = test::Listed(*FRoot);
  }
  TFileInfo* Open(const std::u16string& aName, uint32_t aDisposition) {
    const uint32_t FHandle = FListing->CreateOpenFile(aName, aDisposition);
    return FHandle == kInvalidNodeHandle ? nullptr : FListing->FindFileByHandle(FHandle);
  }
  test::TRecordingPeer FPeer;
  std::unique_ptr<TFileInfo> FRoot;
  TFileInfo* FListing = nullptr;
};

TEST_F(ContentTest, Dispositions) {
  constexpr uint32_t kUnset = 0xDEAD;
  struct TCase {
    const char16_t* FName;
    uint32_t FDisposition;
    bool FOpened;
    uint32_t FError;
    int64_t FSize;
  };
  const TCase FCases[] = {
      {u"ten.txt", CREATE_NEW, false, ERROR_FILE_EXISTS, 10},
      {u"new1", CREATE_NEW, true, kUnset, 0},
      {u"ten.txt", CREATE_ALWAYS, true, kUnset, 0},
      {u"new2", CREATE_ALWAYS, true, kUnset, 0},
      {u"ten.txt", OPEN_EXISTING, true, kUnset, 10},
      {u"new3", OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, -1},
      {u"ten.txt", OPEN_ALWAYS, true, kUnset, 10},
      {u"new4", OPEN_ALWAYS, true, ERROR_SUCCESS, 0},
      {u"TEN.TXT", TRUNCATE_EXISTING, true, kUnset, 0},
      {u"new5", TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, -1},
      {u"ten.txt", 9, false, kUnset, 10},
      {u"new6", 0, false, kUnset, -1},
      {u"d", CREATE_NEW, true, kUnset, 0},
      {u"D", TRUNCATE_EXISTING, true, kUnset, 0},
  };
  for (const auto& FCase : FCases) {
    SCOPED_TRACE(
        std::to_string(FCase.FDisposition) + " " +
        std::string(FCase.FName, FCase.FName + std::char_traits<char16_t>::length(FCase.FName)));
    SetUp();
    SetLastError(kUnset);
    TFileInfo* FNode = Open(FCase.FName, FCase.FDisposition);
    EXPECT_EQ(FNode != nullptr, FCase.FOpened);
    EXPECT_EQ(GetLastError(), FCase.FError);
    TFileInfo* FNamed = FListing->ThisFindFile(FCase.FName);
    EXPECT_EQ(FNamed ? FNamed->Size() : -1, FCase.FSize);
  }
  // A new ".zip" would become an archive folder the server never gets: refused, nothing made.
  SetLastError(0);
  EXPECT_EQ(Open(u"new.ZIP", CREATE_NEW), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PRIVILEGE_NOT_HELD);
  EXPECT_EQ(FListing->ThisFindFile(u"new.zip"), nullptr);
}

TEST_F(ContentTest, ReadsAtAndPastTheEnd) {
  TFileInfo* FNode = Open(u"ten.txt", OPEN_EXISTING);
  test::Fetched(*FNode);
  char FBuffer[16];
  uint32_t FGot = 77;
  SetLastError(0);
  EXPECT_FALSE(FNode->Read(FBuffer, 16, FGot, 10));
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
  EXPECT_EQ(FGot, 77u);
  ASSERT_TRUE(FNode->Read(FBuffer, 16, FGot, 9));
  EXPECT_EQ(std::string(FBuffer, FGot), "9");
  ASSERT_TRUE(FNode->Read(FBuffer, 4, FGot, 0));
  EXPECT_EQ(std::string(FBuffer, FGot), "0123");
  EXPECT_TRUE(FNode->Cached());
  EXPECT_EQ(FPeer.Requests(2).back(), "GET \\r\\\\ten.txt") << "fetched once";
}

TEST_F(ContentTest, WriteAtAnOffsetOfANewFile) {
  TFileInfo* FNode = Open(u"gap.bin", CREATE_NEW);
  ASSERT_TRUE(WriteText(*FNode, "hello", 100));
  EXPECT_EQ(FNode->Size(), 105);
  EXPECT_EQ(ReadAll(*FNode), std::string(100, '\0') + "hello");
  const std::string FHandle = std::to_string(FNode->Handle());
  EXPECT_EQ(FNode->CacheFileName(),
            FCacheDir.Text() + std::u16string(FHandle.begin(), FHandle.end()) + u".cache");
  EXPECT_EQ(FCacheDir.ReadFile(std::to_string(FNode->Handle()) + ".cache"),
            std::string(100, '\0') + "hello");
}

TEST_F(ContentTest, BrokenFetchIsRetriedAndNeverServed) {
  FPeer.ReplyTwice("GET \\r\\\\ten.txt", test::BlockCount(10) + "0123", test::Block("0123456789"));
  TFileInfo* FNode = Open(u"ten.txt", OPEN_EXISTING);
  char FBuffer[16];
  uint32_t FGot = 0;
  test::Fetched(*FNode);
  SetLastError(0);
  EXPECT_FALSE(FNode->Read(FBuffer, 16, FGot, 0)) << "no fetch of its own under the lock";
  EXPECT_EQ(GetLastError(), ERROR_UNEXP_NET_ERR);
  EXPECT_FALSE(FNode->Cached());
  EXPECT_EQ(FNode->Size(), 10);
  bool FStarted = false;
  EXPECT_EQ(FNode->StartFetch(ServerRemote(FNode->Config()), FStarted), nullptr)
      << "right after the failure the server is not asked again";
  FNode->ForgetFetchFailure(); // the file opened again
  test::Fetched(*FNode);
  ASSERT_TRUE(FNode->Read(FBuffer, 16, FGot, 0));
  EXPECT_EQ(std::string(FBuffer, FGot), "0123456789");
}

TEST_F(ContentTest, EmptiedFileReadsEmptyWithoutAFetch) {
  TFileInfo* FNode = Open(u"ten.txt", TRUNCATE_EXISTING);
  char FBuffer[4];
  uint32_t FGot = 0;
  EXPECT_FALSE(FNode->Read(FBuffer, 4, FGot, 0));
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_EOF);
  EXPECT_EQ(FPeer.Requests(1), std::vector<std::string>{"LIST \\r\\\\*"});
}

TEST(KeptLocalTest, WholeExtensionsOnly) {
  const std::pair<std::u16string, bool> FCases[] = {
      {u"a.tmp", true},  {u"A.TMP", true},    {u"a.7z", true},       {u"a.exe", true},
      {u"a.zip", true},  {u".swf", true},     {u"a.rar", true},      {u"noext", false},
      {u"a.txt", false}, {u"report.", false}, {u"notes.t", false},   {u"x.e", false},
      {u"a.ZI", false},  {u"a.mp", false},    {u"a.tmp.doc", false}, {u"a.p;", false},
  };
  for (const auto& [FName, FKept] : FCases)
    EXPECT_EQ(IsKeptLocal(FName), FKept) << std::string(FName.begin(), FName.end());
}

// Against the reference server: what a close sends, and what the server then holds.
class ContentServerTest : public test::TreeTest {
protected:
  void SetUp() override {
    ASSERT_TRUE(test::LogIn(FServer.Port(), "一年级一班", "张三"));
    UseServer(FServer.Port());
    FRoot = MakeRoot(u"\\home\\一年级一班\\张三");
    FListing = test::Listed(*FRoot);
  }
  std::string Stored(const std::string& aPath) {
    return test::TTempDir::ReadPath(FServer.Storage() / "home/一年级一班/张三" / aPath);
  }
  // Uploads get no reply: wait, with a deadline, until the server has stored what is expected.
  std::string StoredAs(const std::string& aPath, const std::string& aExpected) {
    test::WaitUntil([&] { return Exists(aPath) && Stored(aPath) == aExpected; });
    return Exists(aPath) ? Stored(aPath) : "<missing>";
  }
  bool Exists(const std::string& aPath) {
    return std::filesystem::exists(FServer.Storage() / "home/一年级一班/张三" / aPath);
  }
  TFileInfo* Open(const std::u16string& aPath, uint32_t aDisposition) {
    test::ListAlong(*FListing, aPath);
    std::u16string FLast;
    TFileInfo* FFolder = FListing->GetDirectory(aPath, FLast);
    const uint32_t FHandle = FFolder->CreateOpenFile(FLast, aDisposition);
    return FHandle == kInvalidNodeHandle ? nullptr : FListing->FindFileByHandle(FHandle);
  }
  bool Close(TFileInfo* aNode) { return test::Close(*FListing, aNode->Handle(), false); }

  test::TServerProcess FServer;
  std::unique_ptr<TFileInfo> FRoot;
  TFileInfo* FListing = nullptr;
};

TEST_F(ContentServerTest, WriteBeforeReadKeepsTheOtherBytes) {
  TFileInfo* FNode = Open(u"\\作业\\notes.txt", OPEN_EXISTING);
  ASSERT_TRUE(WriteText(*FNode, "AI", 2));
  EXPECT_TRUE(Close(FNode));
  EXPECT_EQ(StoredAs("作业/notes.txt", "plAIn ASCII notes\n"), "plAIn ASCII notes\n");
}

TEST_F(ContentServerTest, NewAndEmptiedFilesReachTheServer) {
  EXPECT_TRUE(Close(Open(u"\\empty.txt", CREATE_NEW)));
  EXPECT_EQ(StoredAs("empty.txt", ""), "");
  EXPECT_TRUE(Close(Open(u"\\欢迎使用.txt", CREATE_ALWAYS)));
  EXPECT_EQ(StoredAs("欢迎使用.txt", ""), "");
  TFileInfo* FNew = Open(u"\\新建.txt", OPEN_ALWAYS);
  ASSERT_TRUE(WriteText(*FNew, "内容", 0));
  EXPECT_TRUE(Close(FNew));
  EXPECT_EQ(StoredAs("新建.txt", "内容"), "内容");
  EXPECT_FALSE(FNew->Modified());
}

TEST_F(ContentServerTest, ResizeFetchesFirstAndIsUploaded) {
  TFileInfo* FNode = Open(u"\\作业\\notes.txt", OPEN_EXISTING);
  test::Fetched(*FNode); // as the facade does before a resize
  ASSERT_TRUE(FNode->SetSize(5));
  EXPECT_TRUE(FNode->Modified());
  EXPECT_TRUE(Close(FNode));
  EXPECT_EQ(StoredAs("作业/notes.txt", "plain"), "plain");
}

TEST_F(ContentServerTest, KeptLocalUntilMovedToAnotherExtension) {
  TFileInfo* FNode = Open(u"\\draft.TMP", CREATE_NEW);
  ASSERT_TRUE(WriteText(*FNode, "draft", 0));
  EXPECT_TRUE(Close(FNode));
  EXPECT_FALSE(Exists("draft.TMP"));
  EXPECT_TRUE(FNode->Modified());
  FNode->SetRenameOnClose({u"\\draft.TMP", u"\\final.txt", false}, FListing);
  EXPECT_TRUE(Close(FNode));
  EXPECT_EQ(StoredAs("final.txt", "draft"), "draft");
  EXPECT_FALSE(FNode->Modified());
}

TEST_F(ContentServerTest, FailedUploadStaysChanged) {
  TFileInfo* FNode = Open(u"\\retry.txt", CREATE_NEW);
  ASSERT_TRUE(WriteText(*FNode, "keep me", 0));
  const int32_t FPort = FMount->FPort;
  FMount->FPort = test::ClosedPort();
  SetLastError(0);
  EXPECT_FALSE(Close(FNode)) << "the close tells the upload failed";
  EXPECT_EQ(GetLastError(), ERROR_UNEXP_NET_ERR);
  EXPECT_TRUE(FNode->Modified());
  FMount->FPort = FPort;
  EXPECT_TRUE(Close(FNode));
  EXPECT_FALSE(FNode->Modified());
  EXPECT_EQ(StoredAs("retry.txt", "keep me"), "keep me");
}

TEST_F(ContentServerTest, MissingServerFileFailsTheReadInsteadOfReadingEmpty) {
  TFileInfo* FNode = Open(u"\\作业\\notes.txt", OPEN_EXISTING);
  std::filesystem::remove(FServer.Storage() / "home/一年级一班/张三/作业/notes.txt");
  char FBuffer[8];
  uint32_t FGot = 0;
  test::Fetched(*FNode);
  EXPECT_FALSE(FNode->Read(FBuffer, 8, FGot, 0));
  EXPECT_EQ(GetLastError(), ERROR_UNEXP_NET_ERR);
  EXPECT_FALSE(WriteText(*FNode, "x", 0)) << "nothing to complete the write with";
  EXPECT_TRUE(Close(FNode));
  EXPECT_FALSE(Exists("作业/notes.txt")) << "no partial upload";
}

} // namespace
} // namespace zelvo
