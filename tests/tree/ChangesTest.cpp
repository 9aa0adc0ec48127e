#include <functional>

#include "platform/LastError.h"
#include "platform/WinError.h"
#include "tests/support/RawPeer.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/Wait.h"
#include "tests/tree/TreeFixture.h"
#include "tree/ContentFetch.h"

namespace zelvo {
namespace {

using test::ListingReply;
using test::Record;

// The exact commands, through a recording peer.
class ChangesTest : public test::TreeTest {
protected:
  void SetUp() override {
    UseServer(FPeer.Port());
    FPeer.Reply("LIST \\r\\\\*", ListingReply({Record(u"a.txt", 32, 1), Record(u"dir", 16),
                                               Record(u"full", 16), Record(u"b.txt", 32, 1)}));
    FPeer.Reply("LIST \\r\\\\full\\*", ListingReply({Record(u"x", 32)}));
    FPeer.Reply("LIST \\r\\\\dir\\*", ListingReply({Record(u"sub", 16)}));
    FPeer.Reply("LIST \\r\\\\dir\\sub\\*", ListingReply({Record(u"deep.txt", 32, 4)}));
    FRoot = MakeRoot(u"\\r");
    FListing = test::Listed(*FRoot);
    FRequests = 1;
  }
  // The requests since the last call.
  std::vector<std::string> Sent(int aNewConnections) {
    FRequests += aNewConnections;
    auto FAll = FPeer.Requests(FRequests);
    std::vector<std::string> FNew(FAll.begin() + (FRequests - aNewConnections), FAll.end());
    return FNew;
  }
  test::TRecordingPeer FPeer;
  std::unique_ptr<TFileInfo> FRoot;
  TFileInfo* FListing = nullptr;
  int FRequests = 0;
};

TEST_F(ChangesTest, CreateDirectory) {
  ASSERT_TRUE(test::MakeDir(*FListing, u"新.zip"));
  TFileInfo* FNew = FListing->ThisFindFile(u"新.zip");
  EXPECT_TRUE(FNew->IsDir());
  EXPECT_EQ(FNew->Size(), 0) << "a folder named .zip stays a folder";
  EXPECT_EQ(Sent(1), std::vector<std::string>{"MKDIR \\r\\\\\xE6\x96\xB0.zip"});
  for (const char16_t* FName : {u"A.TXT", u"DIR"}) {
    SetLastError(0);
    EXPECT_FALSE(test::MakeDir(*FListing, FName));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  }
  EXPECT_EQ(FListing->Count(), 5u);
}

TEST_F(ChangesTest, Delete) {
  EXPECT_FALSE(test::Delete(*FListing, u"full")) << "a folder with entries";
  EXPECT_EQ(Sent(1), std::vector<std::string>{"LIST \\r\\\\full\\*"});
  ASSERT_TRUE(test::Delete(*FListing, u"A.txt"));
  EXPECT_EQ(Sent(1), std::vector<std::string>{"DELETE \\r\\\\a.txt"});
  FPeer.Reply("LIST \\r\\\\dir\\sub\\*", ListingReply({}));
  TFileInfo* FDir = FListing->ThisFindFile(u"dir");
  ASSERT_TRUE(test::Delete(*test::Listed(*FDir), u"sub"));
  EXPECT_EQ(Sent(3), (std::vector<std::string>{"LIST \\r\\\\dir\\*", "LIST \\r\\\\dir\\sub\\*",
                                               "DELETE \\r\\\\dir\\sub"}));
  EXPECT_EQ(FListing->ThisFindFile(u"a.txt"), nullptr);
  EXPECT_FALSE(test::Delete(*FListing, u"missing"));
}

// A change the server refuses, or that never reaches it, leaves the tree as it was, with the
// code the drive turns into EACCES or EIO.
TEST_F(ChangesTest, RefusedOrUndeliveredChangesLeaveTheTree) {
  const std::pair<std::string, uint32_t> FServers[] = {{"refused", ERROR_ACCESS_DENIED},
                                                       {"unreachable", ERROR_UNEXP_NET_ERR}};
  for (const auto& [FHow, FError] : FServers) {
    SCOPED_TRACE(FHow);
    const std::string FRefusal = test::Block("\xEF\xBB\xBFrefused\r\n");
    for (const char* FCommand :
         {"MKDIR \\r\\\\new", "DELETE \\r\\\\a.txt", "MOVE \\r\\\\b.txt|\\r\\\\c.txt"})
      FPeer.Reply(FCommand, FRefusal);
    if (FHow == "unreachable") FMount->FPort = test::ClosedPort();
    const std::pair<const char*, std::function<bool()>> FChanges[] = {
        {"mkdir", [&] { return test::MakeDir(*FListing, u"new"); }},
        {"delete", [&] { return test::Delete(*FListing, u"a.txt"); }},
        {"move", [&] { return test::Move(*FListing, u"\\b.txt", u"\\c.txt", false); }},
    };
    for (const auto& [FWhat, FChange] : FChanges) {
      SetLastError(0);
      EXPECT_FALSE(FChange()) << FWhat;
      EXPECT_EQ(GetLastError(), FError) << FWhat;
    }
    EXPECT_EQ(FListing->ThisFindFile(u"new"), nullptr);
    EXPECT_NE(FListing->ThisFindFile(u"a.txt"), nullptr);
    EXPECT_NE(FListing->ThisFindFile(u"b.txt"), nullptr);
    EXPECT_EQ(FListing->ThisFindFile(u"c.txt"), nullptr);
    EXPECT_EQ(FListing->Count(), 4u);
  }
}

// A file the server never had is deleted and moved in the tree alone: no command could succeed.
TEST_F(ChangesTest, FilesNotYetUploadedChangeOnlyTheTree) {
  const uint32_t FHandle = FListing->CreateOpenFile(u"fresh.txt", CREATE_NEW);
  EXPECT_FALSE(FListing->FindFileByHandle(FHandle)->OnServer());
  ASSERT_TRUE(test::Move(*FListing, u"\\fresh.txt", u"\\renamed.txt", false));
  ASSERT_TRUE(test::Delete(*FListing, u"renamed.txt"));
  EXPECT_EQ(FListing->Count(), 4u);
  EXPECT_EQ(FPeer.Requests(1).size(), 1u) << "only the root's LIST was sent";
}

TEST_F(ChangesTest, RenameInPlaceKeepsHandleAndPlace) {
  TFileInfo* FNode = FListing->ThisFindFile(u"a.txt");
  const uint32_t FHandle = FNode->Handle();
  ASSERT_TRUE(test::Move(*FListing, u"\\a.txt", u"\\c.txt", false));
  EXPECT_EQ(Sent(1), std::vector<std::string>{"MOVE \\r\\\\a.txt|\\r\\\\c.txt"});
  EXPECT_EQ(FListing->Items(0), FNode);
  EXPECT_EQ(FNode->Handle(), FHandle);
  EXPECT_EQ(FNode->FullName(), u"\\r\\\\c.txt");
}

TEST_F(ChangesTest, CaseOnlyRenameNeverDestroysTheNode) {
  TFileInfo* FNode = FListing->ThisFindFile(u"a.txt");
  for (const bool FReplace : {false, true}) {
    const std::u16string FNew = FReplace ? u"\\a.txt" : u"\\A.TXT";
    ASSERT_TRUE(test::Move(*FListing, FReplace ? u"\\A.TXT" : u"\\a.txt", FNew, FReplace));
    EXPECT_EQ(FListing->Items(0), FNode);
    EXPECT_EQ(FNode->FileName(), FNew.substr(1));
  }
  EXPECT_EQ(FListing->Count(), 4u);
}

TEST_F(ChangesTest, ReplaceSendsOneMove) {
  TFileInfo* FSource = FListing->ThisFindFile(u"a.txt");
  SetLastError(0);
  EXPECT_FALSE(test::Move(*FListing, u"\\a.txt", u"\\b.txt", false));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(test::Move(*FListing, u"\\a.txt", u"\\B.TXT", true));
  EXPECT_EQ(Sent(1), std::vector<std::string>{"MOVE \\r\\\\a.txt|\\r\\\\B.TXT"});
  EXPECT_EQ(FListing->Count(), 3u);
  EXPECT_EQ(FListing->Items(2), FSource);
  EXPECT_FALSE(test::Move(*FListing, u"\\a.txt", u"\\dir", true)) << "a folder is not replaced";
}

TEST_F(ChangesTest, MovedFolderTakesItsSubtreeAlong) {
  test::ListAlong(*FListing, u"\\dir\\sub\\deep.txt");
  TFileInfo* FDeep = FListing->FindFile(u"\\dir\\sub\\deep.txt");
  ASSERT_NE(FDeep, nullptr);
  ASSERT_TRUE(test::Move(*FListing, u"\\dir", u"\\full\\moved", false));
  EXPECT_EQ(FDeep->FullName(), u"\\r\\\\full\\moved\\sub\\deep.txt");
  EXPECT_EQ(FListing->FindFile(u"\\full\\moved\\sub")->Child()->FullName(),
            u"\\r\\\\full\\moved\\sub");
  FPeer.Reply("GET \\r\\\\full\\moved\\sub\\deep.txt", test::Block("deep"));
  EXPECT_EQ(ReadAll(*FDeep), "deep");
  EXPECT_FALSE(test::Move(*FListing, u"\\full", u"\\full\\moved\\sub\\x", false))
      << "not into its own subtree";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(test::Move(*FListing, u"\\nothing", u"\\x", false));
  EXPECT_FALSE(test::Move(*FListing, u"\\a.txt", u"\\nodir\\x", false));
}

TEST_F(ChangesTest, PendingMovesRunAtCloseThenTheUpload) {
  const uint32_t FHandle = FListing->CreateOpenFile(u"new.txt", CREATE_NEW);
  TFileInfo* FNode = FListing->FindFileByHandle(FHandle);
  ASSERT_TRUE(WriteText(*FNode, "data", 0));
  FNode->SetRenameOnClose({u"\\new.txt", u"\\first.txt", false}, FListing);
  FNode->SetRenameOnClose({u"\\new.txt", u"\\dir\\second.txt", false}, FListing);
  EXPECT_TRUE(test::Close(*FListing, FHandle, true)) << "delete-on-close does nothing here";
  EXPECT_EQ(FNode->RenameOnClose(), (TPendingMove{u"\\new.txt", u"\\dir\\second.txt", false}));
  EXPECT_TRUE(test::Close(*FListing, FHandle, false));
  // The server never had new.txt: the move is the tree's alone, the upload uses the new name.
  EXPECT_EQ(Sent(2),
            (std::vector<std::string>{"LIST \\r\\\\dir\\*", "PUT \\r\\\\dir\\second.txt"}));
  EXPECT_EQ(FPeer.Body("\\r\\\\dir\\second.txt"), "data");
  EXPECT_FALSE(FNode->RenameOnClose());
  EXPECT_FALSE(test::Close(*FListing, 999999, false));
}

// A new listing merged into the tree: names that stay keep their nodes, new ones come, gone
// ones go unless busy here (changed, not on the server yet) or kept by the caller (open).
TEST_F(ChangesTest, RefreshMergesTheNewListing) {
  TFileInfo* FDir = FListing->ThisFindFile(u"dir");
  const uint32_t FDirHandle = FDir->Handle();
  // a.txt emptied here and not sent yet; new.txt made here; "full" open.
  ASSERT_NE(FListing->CreateOpenFile(u"a.txt", CREATE_ALWAYS), kInvalidNodeHandle);
  ASSERT_NE(FListing->CreateOpenFile(u"new.txt", CREATE_NEW), kInvalidNodeHandle);
  const uint32_t FOpenHandle = FListing->ThisFindFile(u"full")->Handle();

  FPeer.Reply("LIST \\r\\\\*",
              ListingReply({Record(u"dir", 16), Record(u"c.txt", 32, 3), Record(u"full", 32, 9)}));
  const auto FLoad = FRoot->StartRefresh(ServerRemote(FRoot->Config()));
  ASSERT_TRUE(FLoad);
  EXPECT_EQ(FRoot->StartRefresh(ServerRemote(FRoot->Config())), nullptr) << "one at a time";
  FLoad->Run();
  FRoot->FinishListing([&](const TFileInfo& aNode) { return aNode.Handle() == FOpenHandle; });

  std::vector<std::u16string> FNames;
  for (size_t i = 0; i < FListing->Count(); ++i)
    FNames.push_back(FListing->Items(i)->FileName());
  EXPECT_EQ(FNames,
            (std::vector<std::u16string>{u"dir", u"c.txt", u"full", u"a.txt", u"full", u"new.txt"}))
      << "the server's order, then what stays although gone (b.txt went)";
  EXPECT_EQ(FListing->ThisFindFile(u"dir")->Handle(), FDirHandle);
  EXPECT_FALSE(FListing->ThisFindFile(u"full")->IsDir()) << "the server's file comes first";
  EXPECT_EQ(FListing->FindFileByHandle(FOpenHandle)->FileName(), u"full") << "open: kept";
  EXPECT_EQ(FListing->ThisFindFile(u"b.txt"), nullptr);
  EXPECT_EQ(Sent(1), std::vector<std::string>{"LIST \\r\\\\*"});
}

TEST_F(ChangesTest, RefusedPendingMoveFailsTheClose) {
  const uint32_t FHandle = FListing->CreateOpenFile(u"a.txt", OPEN_EXISTING);
  FListing->FindFileByHandle(FHandle)->SetRenameOnClose({u"\\a.txt", u"\\b.txt", false}, FListing);
  EXPECT_FALSE(test::Close(*FListing, FHandle, false));
  EXPECT_FALSE(FListing->FindFileByHandle(FHandle)->RenameOnClose()) << "not retried";
}

// The whole round against the reference server.
TEST(ChangesServerTest, FolderRenameThenGetBelowIt) {
  test::TServerProcess FServer;
  ASSERT_TRUE(test::LogIn(FServer.Port(), "一年级一班", "张三"));
  test::TTempDir FCache;
  auto FRoot = test::MakeRootOf(std::make_shared<TMountConfig>(TMountConfig{
                                    u"127.0.0.1", FServer.Port(), 5000, FCache.Text()}),
                                u"\\home\\一年级一班\\张三");
  TFileInfo* FListing = test::Listed(*FRoot);
  test::ListAlong(*FListing, u"\\作业\\第一周\\数学.txt");
  TFileInfo* FFile = FListing->FindFile(u"\\作业\\第一周\\数学.txt");
  ASSERT_NE(FFile, nullptr);
  ASSERT_TRUE(test::Move(*FListing, u"\\作业", u"\\功课", false));
  // MOVE has no reply: the GET below may only go once the server has carried it out.
  const auto FHome = FServer.Storage() / "home/一年级一班/张三";
  ASSERT_TRUE(test::WaitUntil([&] { return std::filesystem::exists(FHome / "功课"); }));
  EXPECT_EQ(test::TreeTest::ReadAllOf(*FFile), "1 + 1 = 2\n");
  ASSERT_TRUE(test::MakeDir(*FListing, u"新目录"));
  ASSERT_TRUE(test::Delete(*FListing, u"欢迎使用.txt"));
  EXPECT_TRUE(test::WaitUntil([&] {
    return std::filesystem::is_directory(FHome / "新目录") &&
           !std::filesystem::exists(FHome / "欢迎使用.txt");
  }));
}

} // namespace
} // namespace zelvo
