#include "platform/LastError.h"
#include "platform/WinError.h"
#include "tests/tree/TreeFixture.h"
#include "tree/Mask.h"
#include <functional>

namespace zelvo {
namespace {

using test::ListingReply;
using test::Record;

class NodeModelTest : public test::TreeTest {
protected:
  void SetUp() override { UseServer(FPeer.Port()); }
  test::TRecordingPeer FPeer;
};

TEST_F(NodeModelTest, FullNamesAndListRequests) {
  FPeer.Reply("LIST \\r\\\\*", ListingReply({Record(u".", 16), Record(u"..", 16), Record(u"a", 16),
                                             Record(u"a.txt", 32, 5)}));
  FPeer.Reply("LIST \\r\\\\a\\*", ListingReply({Record(u"b", 32, 1)}));
  auto FRoot = MakeRoot(u"\\r");
  EXPECT_EQ(FRoot->FullName(), u"\\r\\");
  TFileInfo* FListing = test::Listed(*FRoot);
  ASSERT_EQ(FListing->Count(), 2u);
  EXPECT_EQ(FListing->Items(0)->FullName(), u"\\r\\\\a");
  EXPECT_EQ(FListing->Items(1)->FullName(), u"\\r\\\\a.txt");
  EXPECT_EQ(FListing->Items(1)->Size(), 5);
  // "." and ".." took handles of their own.
  EXPECT_EQ(FListing->Items(1)->Handle(), FListing->Items(0)->Handle() + 1);
  EXPECT_EQ(FListing->Items(0)->Handle(), FRoot->Handle() + 3);
  EXPECT_EQ(FListing->Handle(), 0u);
  TFileInfo* FSub = test::Listed(*FListing->Items(0));
  ASSERT_EQ(FSub->Count(), 1u);
  EXPECT_EQ(FSub->Items(0)->FullName(), u"\\r\\\\a\\b");
  EXPECT_EQ(FListing->Items(1)->GetChild(), nullptr);
  EXPECT_EQ(FRoot->GetChild(), FListing) << "a listing is fetched once";
  EXPECT_EQ(FPeer.Requests(2), (std::vector<std::string>{"LIST \\r\\\\*", "LIST \\r\\\\a\\*"}));
}

TEST_F(NodeModelTest, ListReplyLengths) {
  const std::pair<std::string, size_t> FCases[] = {
      {std::string(4, '\0'), 0},
      {ListingReply({}, 591), 0},
      {ListingReply({Record(u"x", 32), Record(u"y", 32)}, 100), 2},
      {std::string("\0\0\0\x80", 4), 0},
  };
  for (const auto& [FReply, FEntries] : FCases) {
    FPeer.Reply("LIST \\r\\\\*", FReply);
    EXPECT_EQ(test::Listed(*MakeRoot(u"\\r"))->Count(), FEntries);
  }
  // A failed LIST is no listing (not an empty one), and the next look asks again.
  auto FMissing = MakeRoot(u"\\missing");
  EXPECT_EQ(test::Listed(*FMissing), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_UNEXP_NET_ERR);
  bool FStarted = false;
  ASSERT_TRUE(FMissing->StartListing(ServerRemote({u"127.0.0.1", FPeer.Port(), 2000}), FStarted));
  EXPECT_TRUE(FStarted);
}

TEST_F(NodeModelTest, ZipNamesBecomeArchiveFolders) {
  FPeer.Reply("LIST \\r\\\\*", ListingReply({Record(u"A.ZIP", 32, 100), Record(u"d.zip", 16),
                                             Record(u"x.zipped", 32, 1)}));
  auto FRoot = MakeRoot(u"\\r");
  TFileInfo* FListing = test::Listed(*FRoot);
  TFileInfo* FArchive = FListing->Items(0);
  EXPECT_TRUE(FArchive->IsDir());
  EXPECT_EQ(FArchive->FileAttributes(), 16u);
  EXPECT_TRUE(FArchive->ArchiveNotBuilt());
  EXPECT_EQ(FArchive->Size(), 100) << "the archive's own size, as listed";
  EXPECT_EQ(FListing->Items(1)->Size(), 0) << "a folder named .zip stays a folder";
  EXPECT_FALSE(FListing->Items(2)->IsDir());
}

// Names no program could open, or that a request could not carry, never reach the drive; of
// names differing only in case, the first listed stays.
TEST_F(NodeModelTest, UnusableListedNamesAreHidden) {
  const std::pair<std::u16string, bool> FNames[] = {
      {u"report.doc", true},
      {u"REPORT.DOC", false},
      {u"", false},
      {u".", false},
      {u"..", false},
      {u"a\\b", false},
      {u"a/b", false},
      {u"tab\there", false},
      {u"del\x7f", false},
      {u"c1\x85", false},
      {std::u16string(255, u'n'), true},
      {std::u16string(256, u'n'), false},
      {std::u16string(85, u'中'), true},
      {std::u16string(86, u'中'), false},
      {u"Ünïcode.txt", true},
  };
  std::vector<WIN32_FIND_DATAW> FRecords;
  for (const auto& FName : FNames)
    FRecords.push_back(Record(FName.first, 32, 1));
  FPeer.Reply("LIST \\r\\\\*", ListingReply(FRecords));
  auto FRoot = MakeRoot(u"\\r");
  TFileInfo* FListing = test::Listed(*FRoot);
  std::vector<std::u16string> FShown;
  for (size_t i = 0; i < FListing->Count(); ++i)
    FShown.push_back(FListing->Items(i)->FileName());
  std::vector<std::u16string> FExpected;
  for (const auto& [FName, FVisible] : FNames)
    if (FVisible) FExpected.push_back(FName);
  EXPECT_EQ(FShown, FExpected);
}

class LookupTest : public NodeModelTest {
protected:
  void SetUp() override {
    NodeModelTest::SetUp();
    FPeer.Reply("LIST \\r\\\\*",
                ListingReply({Record(u"Docs", 16), Record(u"ÄBC.txt", 32, 3),
                              Record(u"dup.txt", 32, 1), Record(u"unfetched", 16)}));
    FPeer.Reply("LIST \\r\\\\Docs\\*", ListingReply({Record(u"a.txt", 32, 7), Record(u"b.doc", 32),
                                                     Record(u"c.txt", 32)}));
    FRoot = MakeRoot(u"\\r");
    FListing = test::Listed(*FRoot);
    // A second entry of one name (a listing never gives one: made here, as a move can).
    FListing->Add(std::make_unique<TFileInfo>(Record(u"DUP.TXT", 32, 2), u"\\r"));
  }
  std::unique_ptr<TFileInfo> FRoot;
  TFileInfo* FListing = nullptr;
};

TEST_F(LookupTest, PathsAndNames) {
  test::ListAlong(*FListing, u"\\Docs\\x"); // as the facade does before a lookup
  std::u16string FLast;
  EXPECT_EQ(FListing->GetDirectory(u"\\", FLast), FListing);
  EXPECT_EQ(FLast, u"");
  TFileInfo* FDocs = FListing->GetDirectory(u"\\docs\\A.TXT", FLast);
  EXPECT_EQ(FDocs, FListing->Items(0)->Child());
  EXPECT_EQ(FLast, u"A.TXT");
  EXPECT_EQ(FListing->GetDirectory(u"\\Docs\\", FLast), FListing->Items(0)->Child());
  EXPECT_EQ(FLast, u"");
  EXPECT_EQ(FListing->GetDirectory(u"\\nothing\\x", FLast), nullptr);
  EXPECT_EQ(FListing->GetDirectory(u"\\dup.txt\\x", FLast), nullptr) << "through a file";

  EXPECT_EQ(FListing->FindFile(u"\\DOCS\\a.TXT")->Size(), 7);
  EXPECT_EQ(FListing->FindFile(u"\\äbc.txt"), nullptr) << "only ASCII letters ignore case";
  EXPECT_EQ(FListing->FindFile(u"\\Dup.Txt")->Size(), 1) << "the first in reply order";
  EXPECT_EQ(FListing->GetFileAttributesW(u"\\docs\\b.doc"), 32u);
  EXPECT_EQ(FListing->GetFileAttributesW(u"\\docs\\none"), INVALID_FILE_ATTRIBUTES);
}

// The name index keeps the rule through changes: ASCII case folded, the first in list order.
TEST_F(LookupTest, NameIndexFollowsChanges) {
  const auto FSizeOf = [&](const char16_t* aName) {
    TFileInfo* FNode = FListing->ThisFindFile(aName);
    return FNode ? FNode->Size() : -1;
  };
  struct TStep {
    const char* FWhat;
    std::function<void()> FChange;
    const char16_t* FName;
    int64_t FSize;
  };
  const TStep FSteps[] = {
      {"first of two", [] {}, u"Dup.txt", 1},
      {"the first renamed away",
       [&] { FListing->ThisFindFile(u"dup.txt")->Rename(u"other.txt", u"\\r\\\\other.txt"); },
       u"DUP.txt", 2},
      {"renamed name found", [] {}, u"OTHER.TXT", 1},
      {"renamed back: it stands before DUP.TXT again",
       [&] { FListing->ThisFindFile(u"other.txt")->Rename(u"dup.txt", u"\\r\\\\dup.txt"); },
       u"dup.TXT", 1},
      {"the first taken out", [&] { FListing->Extract(FListing->ThisFindFile(u"dup.txt")); },
       u"dup.txt", 2},
      {"the last taken out", [&] { FListing->Extract(FListing->ThisFindFile(u"dup.txt")); },
       u"dup.txt", -1},
  };
  for (const auto& FStep : FSteps) {
    FStep.FChange();
    EXPECT_EQ(FSizeOf(FStep.FName), FStep.FSize) << FStep.FWhat;
  }
}

TEST_F(LookupTest, HandlesAreFoundOnlyInFetchedListings) {
  TFileInfo* FDocs = FListing->Items(0);
  const uint32_t FBeforeDocs = FListing->Items(4)->Handle();
  EXPECT_EQ(FListing->FindFileByHandle(FDocs->Handle()), FDocs);
  EXPECT_EQ(FListing->FindFileByHandle(FBeforeDocs + 1), nullptr) << "Docs not fetched yet";
  EXPECT_EQ(FListing->FindFile(u"\\Docs\\a.txt"), nullptr) << "nor fetched by a lookup";
  test::Listed(*FDocs);
  TFileInfo* FA = FListing->FindFile(u"\\Docs\\a.txt");
  EXPECT_EQ(FListing->FindFileByHandle(FA->Handle()), FA);
  EXPECT_EQ(FListing->FindFileByHandle(FRoot->Handle()), nullptr);
  EXPECT_EQ(FListing->Items(3)->Child(), nullptr);
}

TEST_F(LookupTest, FindFileRecordsThroughAMask) {
  test::Listed(*FListing->Items(0));
  std::vector<uint8_t> FBuf;
  ASSERT_TRUE(FListing->FindFile(u"\\Docs\\*.TXT", FBuf));
  ASSERT_EQ(FBuf.size(), 2 * kFindDataSize);
  EXPECT_EQ(FieldText(DecodeFindData(FBuf.data()).cFileName), u"a.txt");
  EXPECT_EQ(DecodeFindData(FBuf.data()).nFileSizeLow, 7u);
  EXPECT_EQ(FieldText(DecodeFindData(FBuf.data() + kFindDataSize).cFileName), u"c.txt");

  std::vector<uint8_t> FKept{1, 2, 3};
  EXPECT_TRUE(FListing->FindFile(u"\\missing\\*", FKept));
  EXPECT_EQ(FKept, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_THROW(FListing->FindFile(u"\\Docs\\[a", FKept), EMaskException);
}

TEST(MaskTest, Matching) {
  struct TCase {
    std::u16string FMask;
    std::u16string FName;
    bool FMatch;
  };
  const TCase FCases[] = {
      {u"*", u"", true},
      {u"*", u"anything.txt", true},
      {u"*.txt", u"A.TXT", true},
      {u"*.txt", u"a.txt.doc", false},
      {u"a?c", u"abc", true},
      {u"a?c", u"ac", false},
      {u"[a-c]*", u"Bx", true},
      {u"[!a-c]*", u"bx", false},
      {u"[!a-c]*", u"dx", true},
      {u"[xyz]", u"y", true},
      {u"*a*b*", u"xxaxxbxx", true},
      {u"*a*b", u"ab_", false},
      {u"文*", u"文件", true},
      {u"É", u"é", false},
      {u"a*", u"", false},
  };
  for (const auto& FCase : FCases)
    EXPECT_EQ(TMask(FCase.FMask).Matches(FCase.FName), FCase.FMatch)
        << std::string(FCase.FMask.begin(), FCase.FMask.end());
}

TEST(MaskTest, InvalidMasks) {
  const std::pair<std::u16string, std::string> FCases[] = {
      {u"[abc", "'[abc' is an invalid mask at (5)"},
      {u"[-a]", "'[-a]' is an invalid mask at (2)"},
      {std::u16string(31, u'*'), "'" + std::string(31, '*') + "' is an invalid mask at (31)"},
  };
  for (const auto& [FMask, FMessage] : FCases) {
    try {
      TMask FParsed(FMask);
      ADD_FAILURE() << FMessage;
    } catch (const EMaskException& aError) {
      EXPECT_EQ(aError.what(), FMessage);
    }
  }
  EXPECT_NO_THROW(TMask(std::u16string(30, u'*')));
}

} // namespace
} // namespace zelvo
